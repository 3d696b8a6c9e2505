// Queries while an index is reset: a re-declaration commits the emptied
// index before the in-memory registry says building. A writer thread is
// held right after that commit (the test point kIndexReset) while this
// thread queries; no query may then miss a row.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <semaphore>
#include <string>
#include <thread>
#include <vector>

#include "base/test_point.h"
#include "index/text_index.h"
#include "index/vector_index.h"
#include "query/executor.h"
#include "query/sources.h"
#include "tests/engine/test_util.h"
#include "write/write.h"

namespace pallix::test {
namespace {

// Runs write() on a thread of its own, and check() on this thread while
// that thread is held right after it committed the emptied index `ns`
// (once: later resets of the same write pass).
template <typename Write, typename Check>
void WhileReset(const std::string& ns, Write write, Check check) {
  std::atomic<bool> armed{true};
  std::binary_semaphore reached{0};
  std::binary_semaphore resume{0};
  ScopedTestHook hook(TestPoint::kIndexReset, [&](std::string_view reset) {
    if (reset != ns || !armed.exchange(false)) return;
    reached.release();
    resume.acquire();
  });
  std::thread writer(write);
  reached.acquire();
  check();
  resume.release();
  writer.join();
}

std::vector<float> Vec(int i) { return {static_cast<float>(i % 7), static_cast<float>(i / 7), 1.0f, -0.5f}; }
Value VecDoc(int i) { return Doc({{"e", Value::Vector(Vec(i))}}); }

// Every key of a vector query with k as large as the collection, sorted.
std::vector<std::string> VectorQueryKeys(const std::shared_ptr<Engine>& engine, uint64_t k) {
  QuerySpec spec;
  spec.engine = engine;
  spec.collection = "c";
  spec.sources.push_back(VectorSource{"e", Vec(3), k, Metric::kL2});
  auto rows = run_query_entry(std::move(spec));
  EXPECT_TRUE(rows.has_value()) << rows.error().Message();
  std::vector<std::string> keys;
  if (rows)
    for (const QueryRow& row : *rows) keys.push_back(row.key);
  std::sort(keys.begin(), keys.end());
  return keys;
}

std::vector<std::string> Keys(int from, int to) {
  std::vector<std::string> keys;
  for (int i = from; i < to; ++i) keys.push_back("k" + std::to_string(i));
  std::sort(keys.begin(), keys.end());
  return keys;
}

TEST(IndexReset, VectorRedeclarationNeverAnswersFromTheEmptiedGraph) {
  auto engine = MemEngine();
  for (int i = 0; i < 60; ++i) ASSERT_TRUE(insert(*engine, "c", "k" + std::to_string(i), VecDoc(i)));
  ASSERT_TRUE(create_vector_index_ondisk(*engine, "c", "e", Metric::kL2, Quantization::kNone).has_value());
  ASSERT_EQ(VectorQueryKeys(engine, 60), Keys(0, 60));
  // Each declaration kind in turn replaces the on-disk one.
  for (uint8_t kind : {kVectorOnDisk, kVectorInMemory}) {
    WhileReset(
        vector_namespace("c", "e"),
        [&] {
          auto done = kind == kVectorOnDisk
                          ? create_vector_index_ondisk(*engine, "c", "e", Metric::kL2, Quantization::kScalar)
                          : create_vector_index(*engine, "c", "e", Metric::kL2);
          EXPECT_TRUE(done.has_value());
        },
        [&] { EXPECT_EQ(VectorQueryKeys(engine, 60), Keys(0, 60)) << int(kind); });
    EXPECT_EQ(VectorQueryKeys(engine, 60), Keys(0, 60));
    ASSERT_TRUE(create_vector_index_ondisk(*engine, "c", "e", Metric::kL2, Quantization::kNone).has_value());
  }
}

TEST(IndexReset, TextRedeclarationNeverAnswersFromTheEmptiedIndex) {
  auto engine = MemEngine();
  for (int i = 0; i < 40; ++i)
    ASSERT_TRUE(insert(*engine, "c", "k" + std::to_string(i), Doc({{"t", Value::Text("river " + std::to_string(i))}})));
  ASSERT_TRUE(create_text_index_ondisk(*engine, "c", "t").has_value());
  // The candidates the index-backed route takes: none from an index (the
  // exact route then), or every matching key, never an empty list.
  auto candidates = [&] {
    auto txn = engine->store().BeginRead();
    EXPECT_TRUE(txn.has_value());
    ReadView view(*txn);
    auto keys = IndexTextCandidates(*engine, view, "c", TextSource{"t", "river", 100});
    EXPECT_TRUE(keys.has_value());
    if (keys && *keys) std::sort((*keys)->begin(), (*keys)->end());
    return keys && *keys ? std::optional<std::vector<std::string>>(**keys) : std::nullopt;
  };
  ASSERT_EQ(candidates(), Keys(0, 40));
  WhileReset(
      text_namespace("c", "t"), [&] { EXPECT_TRUE(create_text_index_ondisk(*engine, "c", "t").has_value()); },
      [&] {
        const auto keys = candidates();
        EXPECT_EQ(keys.value_or(Keys(0, 40)), Keys(0, 40));
      });
  EXPECT_EQ(candidates(), Keys(0, 40));
}

}  // namespace
}  // namespace pallix::test
