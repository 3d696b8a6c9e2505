// The walks without a source cut into parts (part_walk.h) against a model:
// count, sum, avg, count_distinct, group count and the ordered window over
// random collections of every value kind and of 0 to thousands of rows,
// each answer the one-thread walk's in key order (a float sum to the bit);
// the first damaged row's error; and parts left to the caller while
// another thread commits.

#include "query/part_walk.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <map>
#include <random>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "base/work_pool.h"
#include "query/aggregate.h"
#include "query/executor.h"
#include "storage/rows.h"
#include "tests/engine/query_corpus.h"
#include "write/write.h"

namespace pallix::test {
namespace {

// RandomDoc, with n now and then a kind it lacks (bytes, an array, a map,
// a vector, a large or tiny float) so that float sums round at every step.
Value AnyDoc(std::mt19937_64& rng) {
  Value doc = RandomDoc(rng);
  ValueMap m = doc.as_map();
  switch (rng() % 12) {
    case 0: m.Set("n", Value::Bytes("b")); break;
    case 1: m.Set("n", Value::Array({Value::Int(1)})); break;
    case 2: m.Set("n", Value::Map(ValueMap())); break;
    case 3: m.Set("n", Value::Vector({1.0f})); break;
    case 4: m.Set("n", Value::Float(std::ldexp(static_cast<double>(rng() % 1000) + 0.1, static_cast<int>(rng() % 80) - 40))); break;
    case 5: m.Set("n", Value::Int(static_cast<int64_t>(rng() >> 1))); break;
    default: break;
  }
  return Value::Map(std::move(m));
}

// Keys of several lengths, some past the stored key's inline bytes and
// sharing them (the walk sorts such runs), stored in one batch.
std::vector<CandidateRow> FillAny(Engine& engine, const std::string& collection, std::mt19937_64& rng, size_t n) {
  std::map<std::string, Value> docs;
  while (docs.size() < n) {
    std::string key = "k" + std::to_string(rng() % (4 * n + 1));
    if (rng() % 50 == 0) key = std::string(500, 'L') + key;
    docs.insert_or_assign(key, AnyDoc(rng));
  }
  std::vector<CandidateRow> rows(docs.begin(), docs.end());
  EXPECT_TRUE(put_many(engine, collection, rows).has_value());
  return rows;  // bytewise key order, the walk's
}

struct Model {
  uint64_t count = 0;
  double sum = 0.0;  // added in key order, as the one-thread walk adds
  uint64_t numbers = 0;
  std::set<std::string> distinct;
  std::map<std::string, uint64_t> groups;
};

Model Fold(const std::vector<CandidateRow>& rows) {
  Model m;
  for (const auto& [key, doc] : rows) {
    ++m.count;
    const Value* n = get_path(doc, "n");
    if (n != nullptr && n->is_number()) m.sum = n->as_number() + m.sum, ++m.numbers;
    if (n != nullptr && index_key_text(*n)) m.distinct.insert(*index_key_text(*n));
    const Value* g = get_path(doc, "g");
    if (g != nullptr && index_key_text(*g)) ++m.groups[*index_key_text(*g)];
  }
  return m;
}

uint64_t Bits(double x) { return std::bit_cast<uint64_t>(x); }

void ExpectModel(const std::shared_ptr<Engine>& e, const std::vector<CandidateRow>& docs,
                 const std::vector<Predicate>& filters, std::mt19937_64& rng, const std::string& what) {
  const Model want = Fold(OracleFilter(docs, filters));
  QuerySpec spec = SpecOf(e, "c", filters);
  EXPECT_EQ(*run_count(spec), want.count) << what;
  EXPECT_EQ(Bits(*run_sum(spec, "n")), Bits(want.sum)) << what;
  const std::optional<double> avg = *run_avg(spec, "n");
  ASSERT_EQ(avg.has_value(), want.numbers > 0) << what;
  if (avg) {
    EXPECT_EQ(Bits(*avg), Bits(want.sum / static_cast<double>(want.numbers))) << what;
  }
  EXPECT_EQ(*run_count_distinct(spec, "n"), want.distinct.size()) << what;
  EXPECT_EQ(*run_group_count(spec, "g"), want.groups) << what;
  // The ordered window: the model sorts every passing row.
  spec.order_by = OrderBy{rng() % 3 ? "n" : (rng() % 2 ? "g" : "m.x"), rng() % 2 == 0};
  spec.limit = rng() % 4 ? 1 + rng() % 30 : 1 + rng() % 3000;
  spec.offset = rng() % 3 ? 0 : rng() % 20;
  std::vector<QueryRow> model;
  for (const auto& [key, doc] : OracleFilter(docs, filters)) model.push_back(QueryRow{key, doc, 0.0f});
  sort_rows_by_order(model, spec.order_by->field, spec.order_by->descending);
  apply_window(model, spec.offset, spec.limit);
  auto got = run_query_entry(spec);
  ASSERT_TRUE(got.has_value()) << what;
  ASSERT_EQ(KeysOf(*got), KeysOf(model)) << what;
  for (size_t i = 0; i < model.size(); ++i) EXPECT_TRUE(values_same((*got)[i].document, model[i].document)) << what;
}

TEST(PartWalkTest, AnswersAsTheModelAtEverySize) {
  std::mt19937_64 rng(41);
  for (size_t n : {0, 1, 7, 700, 1999, 2000, 4000}) {
    auto e = MemEngine();
    std::vector<CandidateRow> docs = FillAny(*e, "c", rng, n);
    if (n >= 4000 && WorkPool::Shared().helpers() > 0) {
      // The largest collection is walked in parts.
      auto txn = e->store().BeginRead();
      ASSERT_TRUE(txn.has_value());
      auto splits = PartSplits(ReadView(*txn), "c");
      ASSERT_TRUE(splits.has_value());
      EXPECT_GE(splits->size(), 2u);
    }
    for (int round = 0; round < 12; ++round) {
      ExpectModel(e, docs, RandomFilters(rng), rng, "n " + std::to_string(n) + " round " + std::to_string(round));
    }
  }
}

// Two damaged rows far apart: every walk fails with the first one's error,
// whichever part met which first.
TEST(PartWalkTest, FailsWithTheFirstDamagedRowsError) {
  std::mt19937_64 rng(43);
  auto e = MemEngine();
  std::vector<CandidateRow> docs = FillAny(*e, "c", rng, 3000);
  {
    auto ctx = BeginWriteCtx(e->store());
    ASSERT_TRUE(ctx.has_value());
    ASSERT_TRUE(put_row(*ctx, "c", docs[700].first, std::string("\x07\x01\x00\x00\x00\x01\x00\x00\x00n\x09", 11)).has_value());
    ASSERT_TRUE(put_row(*ctx, "c", docs[2500].first, std::string("\x07\x01\x00\x00\x00", 5) + "\x01").has_value());
    ASSERT_TRUE(ctx->Commit().has_value());
  }
  const std::vector<Predicate> filters{Predicate::Exists("g")};
  QuerySpec spec = SpecOf(e, "c", filters);
  for (int round = 0; round < 5; ++round) {
    for (auto message : {run_count(spec).error().Message(), run_sum(spec, "n").error().Message(),
                         run_group_count(spec, "g").error().Message(), run_count_distinct(spec, "n").error().Message()}) {
      EXPECT_NE(message.find("unknown tag 9"), std::string::npos) << message;
    }
    QuerySpec ordered = spec;
    ordered.order_by = OrderBy{"n", false};
    ordered.limit = 5;
    auto got = run_query_entry(ordered);
    ASSERT_FALSE(got.has_value());
    EXPECT_NE(got.error().Message().find("unknown tag 9"), std::string::npos) << got.error().Message();
  }
}

// Commits to another collection while the walks run: a helper that finds a
// later commit leaves its part to the caller, and the answers stay the
// model's.
TEST(PartWalkTest, PartsLeftToTheCallerWhileAnotherThreadCommits) {
  std::mt19937_64 rng(47);
  auto e = MemEngine();
  std::vector<CandidateRow> docs = FillAny(*e, "c", rng, 3000);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; !stop.load(); ++i) {
      ASSERT_TRUE(insert(*e, "other", "w" + std::to_string(i), Doc({{"n", Value::Int(i)}})).has_value());
    }
  });
  for (int round = 0; round < 20; ++round) ExpectModel(e, docs, RandomFilters(rng), rng, "round " + std::to_string(round));
  stop.store(true);
  writer.join();
}

}  // namespace
}  // namespace pallix::test
