// Read-modify-write entries (patch, update, delete_where) against another
// thread's write started at the moment between their read and their write.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "base/test_point.h"
#include "db/engine.h"
#include "db/schema.h"
#include "index/open.h"
#include "index/scalar_index.h"
#include "index/vector_index.h"
#include "query/delete_where.h"
#include "storage/read_view.h"
#include "tests/engine/test_util.h"
#include "write/write.h"

namespace pallix {
namespace {

using test::Doc;
using test::MemEngine;

// Runs one write on a thread of its own, started from inside another
// entry. Start returns once that write has either finished or stopped to
// wait for the writer turn: the write has then had every chance to land
// where it was started. Only the first Start of a Racer does anything, so
// the racing write may pass the same test point itself.
class Racer {
 public:
  ~Racer() {
    if (thread_.joinable()) thread_.join();
  }

  void Start(std::function<void()> write) {
    if (started_.exchange(true)) return;
    thread_ = std::thread([this, write = std::move(write)] {
      write();
      Signal();
    });
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return signalled_; });
  }

  void Join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Signal() {
    std::lock_guard<std::mutex> lock(mu_);
    signalled_ = true;
    cv_.notify_all();
  }

  std::atomic<bool> started_{false};
  std::mutex mu_;
  std::condition_variable cv_;
  bool signalled_ = false;
  std::thread thread_;
  ScopedTestHook waits_{TestPoint::kWriterWaits, [this](std::string_view) { Signal(); }};
};

std::optional<Value> Stored(Engine& e, std::string_view key) {
  auto r = get_document(e.store(), "c", key);
  EXPECT_TRUE(r.has_value());
  return r.value_or(std::nullopt);
}

int64_t IntOf(const std::optional<std::string>& stored) {
  if (!stored) return 0;
  auto doc = decode_value(*stored);
  return doc && doc->is_int() ? doc->as_int() : -1;
}

// Two patches of different fields of one document, the second started
// between the first's read and its write: both fields end up stored.
TEST(WriteTurnTest, PatchKeepsAFieldPatchedMeanwhile) {
  auto e = MemEngine();
  ASSERT_TRUE(insert(*e, "c", "k", Doc({{"a", Value::Int(0)}, {"b", Value::Int(0)}})).has_value());
  Racer racer;
  ScopedTestHook hook(TestPoint::kAfterRead, [&](std::string_view) {
    racer.Start([&] { EXPECT_TRUE(patch(*e, "c", "k", Doc({{"b", Value::Int(1)}})).has_value()); });
  });
  ASSERT_TRUE(patch(*e, "c", "k", Doc({{"a", Value::Int(1)}})).has_value());
  racer.Join();
  EXPECT_TRUE(values_same(*Stored(*e, "k"), Doc({{"a", Value::Int(1)}, {"b", Value::Int(1)}})));
}

// delete_where(n == 1) while another thread patches one match to n = 2:
// whichever order the two take, the patched document ends up stored with
// n = 2 and every other match is gone. With and without an index on n.
TEST(WriteTurnTest, DeleteWhereNeverDeletesADocumentThatStoppedMatching) {
  for (bool indexed : {false, true}) {
    SCOPED_TRACE(indexed ? "indexed" : "scan");
    auto e = MemEngine();
    if (indexed) {
      ASSERT_TRUE(create_scalar_index(*e, "c", "n").has_value());
    }
    for (int i = 0; i < 10; ++i) {
      ASSERT_TRUE(insert(*e, "c", "k" + std::to_string(i), Doc({{"n", Value::Int(1)}})).has_value());
    }
    Racer racer;
    ScopedTestHook hook(TestPoint::kAfterRead, [&](std::string_view) {
      racer.Start([&] { EXPECT_TRUE(patch(*e, "c", "k3", Doc({{"n", Value::Int(2)}})).has_value()); });
    });
    auto removed = delete_where(e, "c", Predicate::Compare("n", CompareOp::kEq, Value::Int(1)));
    racer.Join();
    ASSERT_TRUE(removed.has_value());
    EXPECT_GE(*removed, 9u);
    for (int i = 0; i < 10; ++i) {
      std::string key = "k" + std::to_string(i);
      std::optional<Value> doc = Stored(*e, key);
      if (i == 3) {
        EXPECT_TRUE(doc && values_same(*doc, Doc({{"n", Value::Int(2)}}))) << key;
      } else {
        EXPECT_FALSE(doc.has_value()) << key;
      }
    }
    EXPECT_EQ(*count_rows(e->store(), "c"), 1u);
  }
}

// Two increments through update, the second started by the first's
// callback: both count.
TEST(WriteTurnTest, UpdateCountsAnIncrementStartedByItsCallback) {
  auto e = MemEngine();
  Racer racer;
  auto increment = [&](const std::optional<std::string>& stored) -> Result<std::optional<Value>> {
    racer.Start([&] {
      EXPECT_TRUE(update(*e, "c", "k", [](const std::optional<std::string>& s) -> Result<std::optional<Value>> {
                    return Value::Int(IntOf(s) + 1);
                  }).has_value());
    });
    return Value::Int(IntOf(stored) + 1);
  };
  ASSERT_TRUE(update(*e, "c", "k", increment).has_value());
  racer.Join();
  EXPECT_TRUE(values_same(*Stored(*e, "k"), Value::Int(2)));
}

// A callback that writes on its own thread (another key, and the key
// itself) goes on at once; update's write follows its writes. A failing
// callback writes nothing of update's own; a delete is a None result.
TEST(WriteTurnTest, UpdateCallbackMayWriteOnItsOwnThread) {
  auto e = MemEngine();
  int calls = 0;
  ASSERT_TRUE(update(*e, "c", "k", [&](const std::optional<std::string>& stored) -> Result<std::optional<Value>> {
                ++calls;
                EXPECT_FALSE(stored.has_value());
                EXPECT_TRUE(insert(*e, "c", "other", Value::Int(7)).has_value());
                EXPECT_TRUE(insert(*e, "c", "k", Value::Int(5)).has_value());
                EXPECT_TRUE(update(*e, "c", "other", [](const std::optional<std::string>& s)
                                                         -> Result<std::optional<Value>> {
                              return Value::Int(IntOf(s) + 1);
                            }).has_value());
                return Value::Int(1);
              }).has_value());
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(values_same(*Stored(*e, "k"), Value::Int(1)));
  EXPECT_TRUE(values_same(*Stored(*e, "other"), Value::Int(8)));
  auto failed = update(*e, "c", "k", [](const std::optional<std::string>&) -> Result<std::optional<Value>> {
    return Fail(EngineError::InvalidArgument("no"));
  });
  EXPECT_EQ(failed.error().code(), 12u);
  EXPECT_TRUE(values_same(*Stored(*e, "k"), Value::Int(1)));
  ASSERT_TRUE(update(*e, "c", "k", [](const std::optional<std::string>&) -> Result<std::optional<Value>> {
                return std::optional<Value>();
              }).has_value());
  EXPECT_FALSE(Stored(*e, "k").has_value());
  // Afterwards the turn is free: another thread writes at once.
  std::thread other([&] { EXPECT_TRUE(insert(*e, "c", "late", Value::Int(1)).has_value()); });
  other.join();
  EXPECT_EQ(*count_rows(e->store(), "c"), 2u);
}

// Two schemas set at once, the second started after the first committed
// and before it replaced the schema in memory: memory ends with the
// schema that was stored last.
TEST(WriteTurnTest, SchemaInMemoryIsTheLastOneStored) {
  auto e = MemEngine();
  const std::vector<SchemaField> first{{"a", FieldType::kInt, true, false}};
  const std::vector<SchemaField> second{{"b", FieldType::kText, false, false}};
  Racer racer;
  ScopedTestHook hook(TestPoint::kAfterCommit, [&](std::string_view) {
    racer.Start([&] { EXPECT_TRUE(set_schema(*e, "c", second).has_value()); });
  });
  ASSERT_TRUE(set_schema(*e, "c", first).has_value());
  racer.Join();
  auto stored = get_row_once(e->store(), kSchemasCollection, "c");
  ASSERT_TRUE(stored.has_value() && stored->has_value());
  EXPECT_EQ(decode_schema(**stored), get_schema(*e, "c"));
  EXPECT_EQ(get_schema(*e, "c"), second);
}

// Two writes of one key, the second started after the first committed and
// before the first reached the in-memory vector index: the index ends
// with the vector that was stored last, as a graph built afresh would.
TEST(WriteTurnTest, InMemoryIndexTakesWritesInCommitOrder) {
  auto e = MemEngine();
  auto doc = [](float x) { return Doc({{"e", Value::Vector(ValueVector{x, 1.0f})}}); };
  ASSERT_TRUE(insert(*e, "c", "k", doc(0.0f)).has_value());
  // Enough other keys that the two replacements' tombstones never make
  // the graph build itself again from the rows.
  for (int i = 0; i < 10; ++i) {
    ASSERT_TRUE(insert(*e, "c", "far" + std::to_string(i), doc(100.0f + i)).has_value());
  }
  ASSERT_TRUE(create_vector_index(*e, "c", "e", Metric::kL2).has_value());
  ASSERT_TRUE(memory_vector_index_for(*e, "c", "e", [](const HnswIndex&) {}).value());  // loads it
  {
    Racer racer;
    ScopedTestHook hook(TestPoint::kAfterCommit, [&](std::string_view) {
      racer.Start([&] { EXPECT_TRUE(insert(*e, "c", "k", doc(2.0f)).has_value()); });
    });
    ASSERT_TRUE(insert(*e, "c", "k", doc(1.0f)).has_value());
    racer.Join();
  }
  EXPECT_TRUE(values_same(*Stored(*e, "k"), doc(2.0f)));
  const std::vector<float> stored_last{2.0f, 1.0f};
  ASSERT_TRUE(memory_vector_index_for(*e, "c", "e", [&](const HnswIndex& g) {
    std::vector<HnswHit> hits = hnsw_search(g, stored_last, 1);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].key, "k");
    EXPECT_EQ(hits[0].distance, 0.0f);
  }).value());
}

// Runs body on a thread of its own and waits for it a generous while: a
// wait cycle among its threads fails the run (the binary ends, as nothing
// can unwind threads that wait forever) instead of hanging it.
void WithinDeadline(std::function<void()> body) {
  std::packaged_task<void()> task(std::move(body));
  std::future<void> done = task.get_future();
  std::thread runner(std::move(task));
  if (done.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
    std::fprintf(stderr, "FAILED: %s hung: its threads wait for each other\n",
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::fflush(stderr);
    std::_Exit(1);
  }
  runner.join();
}

// One-shot signal between two threads.
class Signal {
 public:
  void Set() {
    std::lock_guard<std::mutex> lock(mu_);
    set_ = true;
    cv_.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return set_; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool set_ = false;
};

// An update callback (which holds the writer turn) declares an on-disk
// vector index while another thread's build of one holds "index resume
// lock", and either the build already waits for that turn when the
// callback asks for the lock, or the build comes to wait for the turn only
// once the callback waits for the lock. Whichever wait would close the
// cycle fails at once instead of both waiting forever: the callback's
// declaration in the first case, the build in the second (its index is
// left to be resumed). The callback's other work goes on, and once it is
// done every build finishes.
TEST(WriteTurnTest, TurnHolderNeverWaitsForABuildThatWaitsForItsTurn) {
  for (bool holder_waits_first : {true, false}) {
    SCOPED_TRACE(holder_waits_first ? "build waits first" : "build waits later");
    WithinDeadline([&] {
      auto e = MemEngine();
      for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(insert(*e, "c", "v" + std::to_string(i),
                           Doc({{"e", Value::Vector(ValueVector{float(i), 1.0f})}})).has_value());
      }
      Signal build_holds_lock, may_go_on, build_waits;
      std::atomic<bool> once_batch{false}, once_turn{false}, once_lock{false};
      // "build waits later": the build holds the lock, stopped before its
      // first batch, until the callback waits for the lock.
      ScopedTestHook batch(TestPoint::kBuildBatchBeforeWrite, [&](std::string_view) {
        if (holder_waits_first || once_batch.exchange(true)) return;
        build_holds_lock.Set();
        may_go_on.Wait();
      });
      ScopedTestHook lock_waits(TestPoint::kLockWaits, [&](std::string_view) {
        if (!holder_waits_first && !once_lock.exchange(true)) may_go_on.Set();
      });
      ScopedTestHook turn_waits(TestPoint::kWriterWaits, [&](std::string_view) {
        if (!once_turn.exchange(true)) build_waits.Set();
      });
      std::thread builder;
      Status built = Ok();
      auto build = [&] {
        builder = std::thread(
            [&] { built = create_vector_index_ondisk(*e, "c", "e", Metric::kL2, Quantization::kNone); });
      };
      if (!holder_waits_first) {
        build();
        build_holds_lock.Wait();  // registered, stopped before its first batch
      }
      auto callback = [&](const std::optional<std::string>&) -> Result<std::optional<Value>> {
        if (holder_waits_first) {
          build();
          build_waits.Wait();  // holds the lock (taken before its first write), waits for this turn
        }
        Status declared = create_vector_index_ondisk(*e, "c", "f", Metric::kL2, Quantization::kNone);
        EXPECT_EQ(declared.has_value(), !holder_waits_first);
        if (!declared) {
          EXPECT_EQ(declared.error().Message(),
                    "invalid argument: index resume lock is held by a thread waiting for this thread's write");
        }
        auto removed = delete_where(e, "c", Predicate::Compare("n", CompareOp::kEq, Value::Int(1)));
        EXPECT_TRUE(removed.has_value());
        return Value::Int(1);
      };
      ASSERT_TRUE(update(*e, "c", "k", callback).has_value());
      builder.join();
      EXPECT_EQ(built.has_value(), holder_waits_first);
      if (!built) {
        EXPECT_EQ(built.error().Message(),
                  "invalid argument: writer turn is held by a thread waiting for this thread's write");
      }
      // With the turn let go, every declaration goes through.
      EXPECT_TRUE(create_vector_index_ondisk(*e, "c", "f", Metric::kL2, Quantization::kNone).has_value());
      EXPECT_TRUE(create_vector_index_ondisk(*e, "c", "e", Metric::kL2, Quantization::kNone).has_value());
    });
  }
}

// The waits a turn holder gives up are exactly those that would never end:
// a lock held by a thread that waits for another lock whose holder waits
// for the turn (a chain) is refused; a lock whose holder waits for nothing
// of this thread's is waited for and taken.
TEST(WriteTurnTest, TurnHolderRefusesOnlyLocksWhoseHoldersWaitForItsTurn) {
  WithinDeadline([] {
    auto e = MemEngine();
    Store& store = e->store();
    NamedMutex first("first lock"), second("second lock");
    Signal c_waits, b_waits;
    std::atomic<bool> once_turn{false}, once_lock{false};
    ScopedTestHook turn_waits(TestPoint::kWriterWaits, [&](std::string_view) {
      if (!once_turn.exchange(true)) c_waits.Set();
    });
    ScopedTestHook lock_waits(TestPoint::kLockWaits, [&](std::string_view) {
      if (!once_lock.exchange(true)) b_waits.Set();
    });
    std::thread b, c;
    {
      Store::WriterTurn turn = store.TakeWriterTurn().value();
      c = std::thread([&] {  // holds the second lock, waits for the turn
        NamedMutex::Guard hold(second);
        Store::WriterTurn waited = store.TakeWriterTurn().value();
      });
      c_waits.Wait();
      b = std::thread([&] {  // holds the first lock, waits for the second
        NamedMutex::Guard hold(first);
        EXPECT_TRUE(LockWithoutTurnCycle(second).has_value());  // holds no turn: simply waits
        second.Unlock();
      });
      b_waits.Wait();
      Status refused = LockWithoutTurnCycle(first);
      ASSERT_FALSE(refused.has_value());
      EXPECT_EQ(refused.error().Message(),
                "invalid argument: first lock is held by a thread waiting for this thread's write");
    }
    c.join();
    b.join();
    // A holder that waits for nothing lets go, and the turn holder takes the lock.
    Signal holds;
    std::thread d([&] {
      NamedMutex::Guard hold(first);
      holds.Set();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    });
    holds.Wait();
    Store::WriterTurn turn = store.TakeWriterTurn().value();
    EXPECT_TRUE(LockWithoutTurnCycle(first).has_value());
    first.Unlock();
    d.join();
  });
}

// Counts the threads that came to wait for a writer turn, so that a test
// can wait until a given number of them wait.
class TurnWaits {
 public:
  void WaitFor(int n) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return count_ >= n; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int count_ = 0;
  ScopedTestHook hook_{TestPoint::kWriterWaits, [this](std::string_view) {
                         std::lock_guard<std::mutex> lock(mu_);
                         ++count_;
                         cv_.notify_all();
                       }};
};

// Every kind of write a callback may make into another database.
struct InnerWrite {
  const char* name;
  std::function<Status(const std::shared_ptr<Engine>&)> write;
};

std::vector<InnerWrite> InnerWrites() {
  auto done = [](auto r) -> Status {
    if (!r) return Fail(r.error());
    return Ok();
  };
  return {
      {"insert", [=](const std::shared_ptr<Engine>& e) { return done(insert(*e, "c", "x", Value::Int(1))); }},
      {"patch", [](const std::shared_ptr<Engine>& e) { return patch(*e, "c", "x", Doc({{"a", Value::Int(1)}})); }},
      {"delete", [=](const std::shared_ptr<Engine>& e) { return done(delete_document(*e, "c", "x")); }},
      {"delete_where",
       [=](const std::shared_ptr<Engine>& e) {
         return done(delete_where(e, "c", Predicate::Compare("a", CompareOp::kEq, Value::Int(1))));
       }},
      {"update",
       [](const std::shared_ptr<Engine>& e) {
         return update(*e, "c", "x", [](const std::optional<std::string>&) -> Result<std::optional<Value>> {
           return Value::Int(2);
         });
       }},
      {"put_many",
       [](const std::shared_ptr<Engine>& e) {
         return put_many(*e, "c", {{"x", Value::Int(3)}, {"y", Value::Int(4)}});
       }},
      {"create_scalar_index", [](const std::shared_ptr<Engine>& e) { return create_scalar_index(*e, "c", "a"); }},
  };
}

// An update whose callback writes into the next database of a ring while
// the update of that database writes into the next one, and so on round:
// each callback starts its write once the one before it waits, so the
// last write is the one that would close the cycle. That write fails at
// once (code 12), its update completes, and then each update before it;
// afterwards every database takes writes from another thread at once.
void RingOfUpdates(size_t n, const InnerWrite& inner, bool on_files) {
  SCOPED_TRACE(std::string(inner.name) + (on_files ? " on files" : " in memory") + ", ring of " +
               std::to_string(n));
  WithinDeadline([&] {
    test::TempDir dir;
    std::vector<std::shared_ptr<Engine>> dbs;
    for (size_t i = 0; i < n; ++i) {
      auto e = on_files ? open_engine(dir.path() + "/" + std::to_string(i) + ".db") : open_in_memory();
      ASSERT_TRUE(e.has_value());
      dbs.push_back(*e);
    }
    TurnWaits waits;
    std::vector<Signal> holds(n), go(n);
    std::vector<Status> inner_done(n, Ok()), outer_done(n, Ok());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < n; ++i) {
      threads.emplace_back([&, i] {
        outer_done[i] = update(*dbs[i], "c", "k", [&](const std::optional<std::string>&) -> Result<std::optional<Value>> {
          holds[i].Set();
          go[i].Wait();
          inner_done[i] = inner.write(dbs[(i + 1) % n]);
          return Value::Int(static_cast<int64_t>(i));
        });
      });
    }
    for (Signal& s : holds) s.Wait();  // every update holds its turn
    for (size_t i = 0; i < n; ++i) {
      go[i].Set();
      if (i + 1 < n) waits.WaitFor(static_cast<int>(i + 1));  // its write waits for the next turn
    }
    for (std::thread& t : threads) t.join();
    for (size_t i = 0; i < n; ++i) {
      EXPECT_TRUE(outer_done[i].has_value()) << i;
      EXPECT_EQ(inner_done[i].has_value(), i + 1 < n) << i;
    }
    ASSERT_FALSE(inner_done[n - 1].has_value());
    EXPECT_EQ(inner_done[n - 1].error().code(), 12u);
    EXPECT_EQ(inner_done[n - 1].error().Message(),
              "invalid argument: writer turn is held by a thread waiting for this thread's write");
    for (size_t i = 0; i < n; ++i) {
      std::thread other([&] { EXPECT_TRUE(insert(*dbs[i], "c", "after", Value::Int(1)).has_value()); });
      other.join();
      EXPECT_TRUE(values_same(*get_document(dbs[i]->store(), "c", "k").value(), Value::Int(static_cast<int64_t>(i))));
    }
  });
}

TEST(WriteTurnTest, UpdatesWritingIntoEachOthersDatabaseRefuseOnlyTheWriteThatClosesTheCycle) {
  for (const InnerWrite& inner : InnerWrites()) {
    for (bool on_files : {false, true}) RingOfUpdates(2, inner, on_files);
  }
  for (bool on_files : {false, true}) RingOfUpdates(3, InnerWrites()[0], on_files);
}

// A wait that may give way: a thread that has just taken the turn waits
// for a lock whose holder then comes to wait for that turn. The holder's
// wait is not refused (it reaches a wait that gives way); the turn holder
// gives way, lets the turn go, and the holder takes it.
TEST(WriteTurnTest, AWaitThatGivesWayLetsTheLaterWaiterThrough) {
  WithinDeadline([] {
    auto e = MemEngine();
    Store& store = e->store();
    NamedMutex lock("handle lock");
    Signal holds, waiting;
    ScopedTestHook lock_waits(TestPoint::kLockWaits, [&](std::string_view) { waiting.Set(); });
    Status holder_wrote = Ok();
    std::thread holder([&] {
      NamedMutex::Guard hold(lock);
      holds.Set();
      waiting.Wait();  // the turn holder's wait for the lock is recorded
      holder_wrote = put_row_once(store, "c", "k", "holder");
    });
    holds.Wait();
    {
      Store::WriterTurn turn = store.TakeWriterTurn().value();
      Store::LockWait waited = Store::WaitForLock(
          lock.owner(), [&](std::chrono::nanoseconds wait) { return lock.TryLockFor(wait); }, true);
      EXPECT_EQ(waited, Store::LockWait::kGaveWay);
      if (waited == Store::LockWait::kTaken) lock.Unlock();
    }
    holder.join();
    EXPECT_TRUE(holder_wrote.has_value());
    // With nothing in the way, the same wait takes the lock.
    Store::WriterTurn turn = store.TakeWriterTurn().value();
    EXPECT_EQ(Store::WaitForLock(
                  lock.owner(), [&](std::chrono::nanoseconds wait) { return lock.TryLockFor(wait); }, true),
              Store::LockWait::kTaken);
    lock.Unlock();
  });
}

}  // namespace
}  // namespace pallix
