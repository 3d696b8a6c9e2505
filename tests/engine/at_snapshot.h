// Writes that land while a query holds its read snapshot: the hook at
// kQueryAfterSnapshot runs them, once, on a thread of its own and waits
// for it, so every write has committed (and its after-commit index updates
// are done) before the query asks any index, while the query's snapshot
// still shows the rows as they were.

#ifndef PALLIX_TESTS_ENGINE_AT_SNAPSHOT_H_
#define PALLIX_TESTS_ENGINE_AT_SNAPSHOT_H_

#include <atomic>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "base/test_point.h"

namespace pallix::test {

class WritesAtSnapshot {
 public:
  // write runs at the first query of `collection` that reaches the point.
  WritesAtSnapshot(std::string collection, std::function<void()> write)
      : collection_(std::move(collection)),
        write_(std::move(write)),
        hook_(TestPoint::kQueryAfterSnapshot, [this](std::string_view c) {
          if (c != collection_ || fired_.exchange(true)) return;
          std::thread writer(write_);
          writer.join();
        }) {}

  bool fired() const { return fired_.load(); }

 private:
  std::string collection_;
  std::function<void()> write_;
  std::atomic<bool> fired_{false};
  ScopedTestHook hook_;
};

}  // namespace pallix::test

#endif  // PALLIX_TESTS_ENGINE_AT_SNAPSHOT_H_
