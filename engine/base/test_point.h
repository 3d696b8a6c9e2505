// Test points: the named moments at which the engine lets a test act, so
// that an interleaving with another thread, a failure or a kill happens
// exactly there instead of by chance in a race loop.
//
// The engine calls ReachTestPoint(point, arg) at each moment; with no hook
// installed anywhere that is one relaxed load of a global flag, inline at
// the call site, so a test point costs the read and write paths nothing
// they would notice. A test installs a hook for
// one scope with ScopedTestHook, whose destructor takes it out again even
// when the test fails an assertion and returns early, so no hook outlives
// the test that set it. Scopes nest: a scope restores the hook it
// replaced.
//
// Callers: every layer (ReachTestPoint); tests (ScopedTestHook).
//
// Thread-safety: hooks may be reached from any thread while another
// installs or removes one; a hook that is running when its scope ends
// finishes on the copy it started with.

#ifndef PALLIX_BASE_TEST_POINT_H_
#define PALLIX_BASE_TEST_POINT_H_

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string_view>

namespace pallix {

// The moments. `arg` names what the moment is about, as listed.
enum class TestPoint : size_t {
  kStoreBeforeLock,       // a database file is open, not yet locked: its path
  kCopyBeforeCommit,      // a backup or compaction copy is full, not committed: the path it is for
  kIndexReset,            // an index namespace was emptied and committed: the namespace
  kBuildBatchBeforeWrite, // an index build is about to begin a batch's transaction: the namespace
  kBuildComplete,         // an index build committed its last step, its entry not yet built: the namespace
  kAfterRead,             // a read-modify-write has read, not yet written: the collection
  kQueryAfterSnapshot,    // a query or phrase search holds its read snapshot, before it asks the indexes: the collection
  kWriterWaits,           // a thread's wait for the writer turn another thread holds is recorded, not yet begun: ""
  kAfterCommit,           // a write has committed, its in-memory copy not yet updated: the collection
  kStoreBeforeEnvOpen,    // a store's LMDB lock file is made, LMDB not yet open: the path LMDB is given
  kCopyBeforeName,        // a backup or compaction copy is committed, not yet named: the path it is for
  kLockWaits,             // a thread's wait for a lock another thread holds is recorded (Store::WaitForLock): ""
  kCopyStaged,            // a compaction copy has its staging name, not yet the database's: the staging path
  kWalkShared,            // a collection walk is cut into parts and its helpers asked for, before it takes a part: the collection
  kCount
};

using TestHook = std::function<void(std::string_view arg)>;

namespace test_point_internal {
// Whether a hook is installed at some point (ScopedTestHook keeps it).
inline std::atomic<bool> g_any_hook{false};
// ReachTestPoint past the flag: runs the hook installed at `point`, if any.
void Reach(TestPoint point, std::string_view arg);
}  // namespace test_point_internal

// Runs the hook installed at `point`, if any.
inline void ReachTestPoint(TestPoint point, std::string_view arg = {}) {
  if (test_point_internal::g_any_hook.load(std::memory_order_relaxed)) [[unlikely]] {
    test_point_internal::Reach(point, arg);
  }
}

// Installs `hook` at `point` for the life of the object.
class ScopedTestHook {
 public:
  ScopedTestHook(TestPoint point, TestHook hook);
  ~ScopedTestHook();
  ScopedTestHook(const ScopedTestHook&) = delete;
  ScopedTestHook& operator=(const ScopedTestHook&) = delete;

 private:
  TestPoint point_;
  std::shared_ptr<const TestHook> previous_;
};

}  // namespace pallix

#endif  // PALLIX_BASE_TEST_POINT_H_
