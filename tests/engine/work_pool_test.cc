#include "base/work_pool.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <stdexcept>
#include <condition_variable>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "index/text_index.h"
#include "query/executor.h"
#include "storage/rows.h"
#include "tests/engine/at_snapshot.h"
#include "tests/engine/query_corpus.h"
#include "write/write.h"

namespace pallix::test {
namespace {

// A walk of many batches: rows with a number, a text and a 4-d vector,
// some without one of them or with another kind there.
std::shared_ptr<Engine> ManyBatches(size_t rows, uint64_t seed) {
  std::mt19937_64 rng(seed);
  auto e = MemEngine();
  for (size_t i = 0; i < rows; ++i) {
    ValueMap m;
    if (rng() % 8) m.Set("n", Value::Int(static_cast<int64_t>(rng() % 40)));
    std::string t;
    for (int w = 0, n = 1 + static_cast<int>(rng() % 6); w < n; ++w) t += std::string(w ? " " : "") + kWords[rng() % 8];
    if (rng() % 7) m.Set("t", rng() % 9 ? Value::Text(t) : Value::Int(3));
    ValueVector v(rng() % 11 ? 4 : 3);
    for (float& x : v) x = static_cast<float>(static_cast<int>(rng() % 200) - 100) / 37.0f;
    if (rng() % 6) m.Set("v", Value::Vector(std::move(v)));
    char key[16];
    snprintf(key, sizeof key, "k%05zu", i);
    EXPECT_TRUE(insert(*e, "c", key, Value::Map(std::move(m))).has_value());
  }
  return e;
}

QuerySpec RandomQuery(const std::shared_ptr<Engine>& e, std::mt19937_64& rng) {
  std::vector<Predicate> filters;
  if (rng() % 4) filters.push_back(Predicate::Compare("n", CompareOp::kGt, Value::Int(static_cast<int64_t>(rng() % 40))));
  QuerySpec spec = SpecOf(e, "c", std::move(filters));
  std::vector<float> q(4);
  for (float& x : q) x = static_cast<float>(static_cast<int>(rng() % 200) - 100) / 41.0f;
  spec.sources.push_back(VectorSource{"v", q, 1 + rng() % 40, rng() % 2 ? Metric::kCosine : Metric::kL2});
  if (rng() % 2) spec.sources.push_back(TextSource{"t", std::string(kWords[rng() % 8]) + " " + kWords[rng() % 8], 1 + rng() % 20});
  if (rng() % 4 == 0) spec.sources.push_back(VectorSource{"v", q, rng() % 6, Metric::kDot});
  if (rng() % 2) std::shuffle(spec.sources.begin(), spec.sources.end(), rng);
  spec.limit = 1 + rng() % 30;
  return spec;
}

// The shared walk's answer must be the serial walk's: keys, score bits,
// documents, or the same error.
void ExpectSameAnswer(const QuerySpec& spec, const std::string& what) {
  auto shared = run_query_entry(spec, ExecuteOptions{.shared_walk = true});
  auto serial = run_query_entry(spec, ExecuteOptions{.shared_walk = false});
  ASSERT_EQ(shared.has_value(), serial.has_value()) << what;
  if (!serial) {
    EXPECT_EQ(shared.error().Message(), serial.error().Message()) << what;
    return;
  }
  ASSERT_EQ(KeysOf(*shared), KeysOf(*serial)) << what;
  for (size_t r = 0; r < serial->size(); ++r) {
    EXPECT_EQ(std::bit_cast<uint32_t>((*shared)[r].score), std::bit_cast<uint32_t>((*serial)[r].score)) << what;
    EXPECT_TRUE(values_same((*shared)[r].document, (*serial)[r].document)) << what;
  }
}

TEST(SharedWalk, AnswersAsTheSerialWalk) {
  auto e = ManyBatches(4000, 5);
  std::mt19937_64 rng(6);
  for (int round = 0; round < 40; ++round) ExpectSameAnswer(RandomQuery(e, rng), "round " + std::to_string(round));
}

// Rows no decoder reads, in two batches far apart: the error is the first
// one's, as in the serial walk, whichever lane met which first.
TEST(SharedWalk, FailsWithTheFirstDamagedRowsError) {
  auto e = ManyBatches(3000, 7);
  {
    auto ctx = BeginWriteCtx(e->store());
    ASSERT_TRUE(ctx.has_value());
    ASSERT_TRUE(put_row(*ctx, "c", "k00900", std::string("\x07\x01\x00\x00\x00\x01\x00\x00\x00n\x09", 11)).has_value());
    ASSERT_TRUE(put_row(*ctx, "c", "k02500", std::string("\x07\x01\x00\x00\x00", 5) + "\x01").has_value());
    ASSERT_TRUE(ctx->Commit().has_value());
  }
  std::mt19937_64 rng(8);
  for (int round = 0; round < 10; ++round) {
    QuerySpec spec = RandomQuery(e, rng);
    spec.filters.clear();
    auto got = run_query_entry(spec);
    ASSERT_FALSE(got.has_value());
    EXPECT_NE(got.error().Message().find("unknown tag 9"), std::string::npos) << got.error().Message();
    ExpectSameAnswer(spec, "round " + std::to_string(round));
  }
}

// Returns once a job of each helper, posted now, has run: every job posted
// before has been started (the pool takes its jobs in order). The jobs
// share their state, which may outlive this call while they leave.
void WaitForEarlierJobs() {
  struct State {
    std::mutex mu;
    std::condition_variable cv;
    size_t ran = 0;
  };
  const size_t helpers = WorkPool::Shared().helpers();
  auto state = std::make_shared<State>();
  for (size_t i = 0; i < helpers; ++i) {
    WorkPool::Shared().Post([state] {
      std::lock_guard lock(state->mu);
      ++state->ran;
      state->cv.notify_all();
    });
  }
  std::unique_lock lock(state->mu);
  state->cv.wait(lock, [&] { return state->ran == helpers; });
}

// Holds every helper of the pool until Release, so that the jobs queries
// post behind them start only after those queries are done. The jobs share
// their state (a job may still be leaving its wait when this object goes).
class HeldHelpers {
 public:
  HeldHelpers() : count_(WorkPool::Shared().helpers()), state_(std::make_shared<State>()) {
    for (size_t i = 0; i < count_; ++i) {
      WorkPool::Shared().Post([state = state_] {
        std::unique_lock lock(state->mu);
        ++state->started;
        state->cv.notify_all();
        state->cv.wait(lock, [&] { return state->released; });
      });
    }
    std::unique_lock lock(state_->mu);
    state_->cv.wait(lock, [&] { return state_->started == count_; });
  }
  // Lets the helpers go and returns once jobs posted after every job
  // posted before this call have run.
  void Release() {
    {
      std::lock_guard lock(state_->mu);
      state_->released = true;
      state_->cv.notify_all();
    }
    WaitForEarlierJobs();
  }

 private:
  struct State {
    std::mutex mu;
    std::condition_variable cv;
    size_t started = 0;
    bool released = false;
  };
  const size_t count_;
  std::shared_ptr<State> state_;
};

// A query whose helpers never start in time works every batch itself; the
// jobs it posted start after it has returned, find nothing to take and
// touch nothing of it (the sanitizer builds would see it).
TEST(SharedWalk, HelpersThatStartLateTakeNothing) {
  auto e = ManyBatches(3000, 9);
  std::mt19937_64 rng(10);
  HeldHelpers held;
  for (int round = 0; round < 10; ++round) ExpectSameAnswer(RandomQuery(e, rng), "round " + std::to_string(round));
  held.Release();
}

// Holds a shared walk, where it has asked for its helpers, until each
// helper has run the jobs posted before (a job of each after them has
// run): the walk's helpers start before it takes a part, and take every
// part they can.
class HelpersFirst {
 public:
  HelpersFirst()
      : hook_(TestPoint::kWalkShared, [](std::string_view) { WaitForEarlierJobs(); }) {}

 private:
  ScopedTestHook hook_;
};

// A commit between the query's snapshot and its helpers' starts: the
// helpers cannot read the query's snapshot and take nothing, so the answer
// is that of a database without the commit. Without the check they would
// walk every part in the newer snapshot.
TEST(SharedWalk, HelpersInALaterSnapshotTakeNothing) {
  auto e = ManyBatches(4000, 15);
  auto oracle = ManyBatches(4000, 15);
  std::mt19937_64 rng(16);
  HelpersFirst first;
  int changed = 0;
  for (int round = 0; round < 6; ++round) {
    std::vector<std::pair<std::string, Value>> writes;
    for (int i = 0; i < 300; ++i) {
      char key[16];
      snprintf(key, sizeof key, "k%05d", static_cast<int>(rng() % 4000));
      ValueVector v(4);
      for (float& x : v) x = static_cast<float>(static_cast<int>(rng() % 200) - 100) / 29.0f;
      writes.emplace_back(key, Doc({{"n", Value::Int(static_cast<int64_t>(rng() % 40))},
                                    {"t", Value::Text(std::string(kWords[rng() % 8]) + " " + kWords[rng() % 8])},
                                    {"v", Value::Vector(std::move(v))}}));
    }
    auto write_all = [&](Engine& to) {
      for (const auto& [key, doc] : writes) ASSERT_TRUE(insert(to, "c", key, doc).has_value());
    };
    QuerySpec spec = RandomQuery(e, rng);
    std::optional<Result<std::vector<QueryRow>>> got;
    {
      WritesAtSnapshot at("c", [&] { write_all(*e); });
      got = run_query_entry(spec, ExecuteOptions{.shared_walk = true});
      ASSERT_TRUE(at.fired());
    }
    spec.engine = oracle;
    auto want = run_query_entry(spec, ExecuteOptions{.shared_walk = false});
    ASSERT_TRUE(got->has_value() && want.has_value());
    ASSERT_EQ(KeysOf(**got), KeysOf(*want)) << "round " << round;
    for (size_t r = 0; r < want->size(); ++r)
      EXPECT_EQ(std::bit_cast<uint32_t>((**got)[r].score), std::bit_cast<uint32_t>((*want)[r].score)) << round;
    spec.engine = e;
    auto after = run_query_entry(spec, ExecuteOptions{.shared_walk = false});
    ASSERT_TRUE(after.has_value());
    changed += KeysOf(*after) != KeysOf(*want);
    write_all(*oracle);
  }
  EXPECT_GT(changed, 0);  // the commit changes the answers the helpers would give
}

TEST(WorkPool, ForEachCallsEachIndexOnceAndPassesAnExceptionOn) {
  std::vector<std::atomic<int>> calls(1000);
  WorkPool::Shared().ForEach(calls.size(), [&](size_t i) { calls[i]++; });
  for (size_t i = 0; i < calls.size(); ++i) ASSERT_EQ(calls[i].load(), 1) << i;
  EXPECT_THROW(WorkPool::Shared().ForEach(64, [](size_t i) {
    if (i == 37) throw std::runtime_error("37");
  }),
               std::runtime_error);
  // With every helper held, the caller makes every call itself; the jobs
  // it posted start after it returned and call nothing.
  HeldHelpers held;
  std::vector<int> alone(50);
  WorkPool::Shared().ForEach(alone.size(), [&](size_t i) { alone[i]++; });
  held.Release();
  for (int c : alone) EXPECT_EQ(c, 1);
}

// A text source counted from a loaded index over many candidates (over
// 10,000: three parts), in parts on several threads, ranks as one counted
// by analysing every text; also once rewritten documents have new ids out
// of key order, found by the index's key map.
TEST(SharedWalk, TextCountsInPartsScoreAsOneThread) {
  auto indexed = ManyBatches(16000, 13);
  auto plain = ManyBatches(16000, 13);
  ASSERT_TRUE(create_text_index(*indexed, "c", "t").has_value());
  ASSERT_TRUE(memory_text_index_for(*indexed, "c", "t", [](const TextIndex&) {}).value());
  std::mt19937_64 rng(14);
  for (int round = 0; round < 12; ++round) {
    if (round == 6) {
      for (int i = 0; i < 200; ++i) {
        char key[16];
        snprintf(key, sizeof key, "k%05d", static_cast<int>(rng() % 16000));
        const Value doc = Doc({{"n", Value::Int(5)}, {"t", Value::Text(std::string(kWords[rng() % 8]) + " lamp")}});
        for (auto* e : {&indexed, &plain}) ASSERT_TRUE(insert(**e, "c", key, doc).has_value());
      }
    }
    QuerySpec spec = RandomQuery(indexed, rng);
    spec.filters = {Predicate::Compare("n", CompareOp::kGe, Value::Int(0))};
    // Alone in even rounds, beside a vector source in odd ones.
    spec.sources.erase(std::remove_if(spec.sources.begin(), spec.sources.end(),
                                      [&](const QuerySource& s) {
                                        return std::holds_alternative<TextSource>(s) || round % 2 == 0;
                                      }),
                       spec.sources.end());
    spec.sources.push_back(TextSource{"t", std::string(kWords[rng() % 8]) + " " + kWords[rng() % 8], 1 + rng() % 20});
    auto got = run_query_entry(spec);
    spec.engine = plain;
    auto want = run_query_entry(spec);
    ASSERT_TRUE(got.has_value() && want.has_value());
    ASSERT_EQ(KeysOf(*got), KeysOf(*want)) << "round " << round;
    for (size_t r = 0; r < want->size(); ++r)
      EXPECT_EQ(std::bit_cast<uint32_t>((*got)[r].score), std::bit_cast<uint32_t>((*want)[r].score)) << "round " << round;
  }
}

// Each of several callers at work at once asks for an even split of the
// helpers, rounded up: together they keep every helper busy, and none asks
// for a helper more than that needs, nor for more than the pool has.
TEST(WorkPool, FairShareSplitsTheHelpersRoundedUp) {
  EXPECT_EQ(WorkPool::FairShare(5, 0), 5u);
  EXPECT_EQ(WorkPool::FairShare(5, 1), 5u);
  EXPECT_EQ(WorkPool::FairShare(5, 2), 3u);
  EXPECT_EQ(WorkPool::FairShare(5, 4), 2u);
  EXPECT_EQ(WorkPool::FairShare(5, 5), 1u);
  EXPECT_EQ(WorkPool::FairShare(5, 9), 1u);
  EXPECT_EQ(WorkPool::FairShare(0, 3), 0u);
  for (size_t helpers = 0; helpers <= 16; ++helpers) {
    for (size_t sharers = 1; sharers <= 20; ++sharers) {
      const size_t share = WorkPool::FairShare(helpers, sharers);
      EXPECT_LE(share, helpers) << helpers << " " << sharers;
      EXPECT_GE(share * sharers, helpers) << helpers << " " << sharers;
      if (share > 0) {
        EXPECT_LT((share - 1) * sharers, helpers) << helpers << " " << sharers;
      }
    }
  }
}

// A Sharer counts its caller while it lives, and its share is taken among
// the sharers counted then; ForEach's caller is counted while it runs.
TEST(WorkPool, SharersAreCountedWhileAtWork) {
  WorkPool& pool = WorkPool::Shared();
  const size_t before = pool.sharers();
  {
    const WorkPool::Sharer first(pool);
    EXPECT_EQ(pool.sharers(), before + 1);
    EXPECT_EQ(first.helpers(), WorkPool::FairShare(pool.helpers(), before + 1));
    {
      const WorkPool::Sharer second(pool);
      EXPECT_EQ(pool.sharers(), before + 2);
      EXPECT_EQ(second.helpers(), WorkPool::FairShare(pool.helpers(), before + 2));
    }
    EXPECT_EQ(pool.sharers(), before + 1);
  }
  EXPECT_EQ(pool.sharers(), before);
  // Every call, on any thread, runs while ForEach's caller is counted.
  std::atomic<size_t> least{std::numeric_limits<size_t>::max()};
  pool.ForEach(64, [&](size_t) {
    size_t now = pool.sharers();
    size_t seen = least.load();
    while (now < seen && !least.compare_exchange_weak(seen, now)) {
    }
  });
  EXPECT_EQ(least.load(), before + 1);
  EXPECT_EQ(pool.sharers(), before);
}

// A walk that starts while another is at work (held where it has asked for
// its helpers, before it takes a part) is counted beside it and asks for a
// share of the helpers; the helpers take parts of both, and each answers
// as the serial walk does.
TEST(SharedWalk, AWalkBesideAnotherAsksForAShareAndAnswersTheSame) {
  auto e = ManyBatches(4000, 21);
  std::mt19937_64 rng(22);
  const std::thread::id first = std::this_thread::get_id();
  for (int round = 0; round < 6; ++round) {
    const QuerySpec outer = RandomQuery(e, rng);
    const QuerySpec inner = RandomQuery(e, rng);
    std::atomic<size_t> sharers_inside{0};
    std::atomic<int> inner_walks{0};
    ScopedTestHook hook(TestPoint::kWalkShared, [&](std::string_view) {
      if (std::this_thread::get_id() != first) {
        ++inner_walks;
        sharers_inside = WorkPool::Shared().sharers();
        return;
      }
      std::thread other([&] { ExpectSameAnswer(inner, "inner, round " + std::to_string(round)); });
      other.join();
    });
    ExpectSameAnswer(outer, "outer, round " + std::to_string(round));
    ASSERT_EQ(inner_walks.load(), 1) << round;
    EXPECT_EQ(sharers_inside.load(), 2u) << round;  // the held walk and this one
  }
  EXPECT_EQ(WorkPool::Shared().sharers(), 0u);
}

// Queries on several threads at once share the pool's helpers.
TEST(SharedWalk, QueriesOnSeveralThreadsShareThePool) {
  auto e = ManyBatches(3000, 11);
  std::vector<std::thread> threads;
  for (uint64_t t = 0; t < 3; ++t) {
    threads.emplace_back([&e, t] {
      std::mt19937_64 rng(20 + t);
      for (int round = 0; round < 8; ++round)
        ExpectSameAnswer(RandomQuery(e, rng), "thread " + std::to_string(t) + " round " + std::to_string(round));
    });
  }
  for (std::thread& t : threads) t.join();
}

}  // namespace
}  // namespace pallix::test
