#include "query/aggregate.h"

#include <cmath>
#include <set>
#include <unordered_set>

#include <gtest/gtest.h>

#include "index/index_state.h"
#include "index/registry.h"
#include "index/scalar_index.h"
#include "query/executor.h"
#include "tests/engine/query_corpus.h"

namespace pallix::test {
namespace {

TEST(AggregateTest, IndexKeyText) {
  EXPECT_EQ(index_key_text(Value::Bool(true)), "b:true");
  EXPECT_EQ(index_key_text(Value::Bool(false)), "b:false");
  EXPECT_EQ(index_key_text(Value::Int(-7)), "i:-7");
  EXPECT_EQ(index_key_text(Value::Float(1.0)), "f:1");
  EXPECT_EQ(index_key_text(Value::Float(0.5)), "f:0.5");
  EXPECT_EQ(index_key_text(Value::Float(-0.0)), "f:0");
  EXPECT_EQ(index_key_text(Value::Float(1e21)), "f:1000000000000000000000");
  EXPECT_EQ(index_key_text(Value::Float(1e-7)), "f:0.0000001");
  EXPECT_EQ(index_key_text(Value::Float(NAN)), "f:NaN");
  EXPECT_EQ(index_key_text(Value::Float(-INFINITY)), "f:-inf");
  EXPECT_EQ(index_key_text(Value::Text("red")), "red");
  EXPECT_EQ(index_key_text(Value::Text("i:1")), "t:i:1");
  EXPECT_EQ(index_key_text(Value::Text("t:")), "t:t:");
  EXPECT_EQ(index_key_text(Value::Text("")), "");
  EXPECT_EQ(index_key_text(Value::Text("x:1")), "x:1");
  EXPECT_FALSE(index_key_text(Value::Null()));
  EXPECT_FALSE(index_key_text(Value::Bytes("a")));
  EXPECT_FALSE(index_key_text(Value::Array({})));
  EXPECT_FALSE(index_key_text(Value::Vector({1.0f})));
}

// Brute force over the oracle's filtered documents.
struct Expected {
  uint64_t count = 0;
  double sum = 0;
  uint64_t numeric = 0;
  std::set<std::string> distinct;
  std::map<std::string, uint64_t> groups;
  std::map<std::string, std::pair<double, uint64_t>> sums;
};

Expected Brute(const std::vector<CandidateRow>& rows) {
  Expected x;
  for (const auto& [key, doc] : rows) {
    ++x.count;
    const Value* n = get_path(doc, "n");
    const Value* g = get_path(doc, "g");
    if (n != nullptr && n->is_number()) x.sum += n->as_number(), ++x.numeric;
    if (n != nullptr && index_key_text(*n)) x.distinct.insert(*index_key_text(*n));
    if (g != nullptr && index_key_text(*g)) {
      ++x.groups[*index_key_text(*g)];
      if (n != nullptr && n->is_number()) {
        auto& s = x.sums[*index_key_text(*g)];
        s.first += n->as_number();
        ++s.second;
      }
    }
  }
  return x;
}

bool SameDouble(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)) || std::fabs(a - b) < 1e-9; }

// Planned (indexed collection) and walked (plain collection) against brute force.
TEST(AggregateTest, PlannedAndWalkedMatchBruteForce) {
  std::mt19937_64 rng(21);
  auto e = MemEngine();
  ASSERT_TRUE(create_scalar_index(*e, "idx", "n").has_value());
  ASSERT_TRUE(create_scalar_index(*e, "idx", "g").has_value());
  std::mt19937_64 same = rng;
  auto docs = FillRandom(*e, "idx", rng, 300);
  FillRandom(*e, "plain", same, 300);
  for (int round = 0; round < 200; ++round) {
    std::vector<Predicate> filters = RandomFilters(rng);
    Expected want = Brute(OracleFilter(docs, filters));
    for (const char* coll : {"idx", "plain"}) {
      QuerySpec spec = SpecOf(e, coll, filters);
      EXPECT_EQ(*run_count(spec), want.count) << coll << " round " << round;
      EXPECT_TRUE(SameDouble(*run_sum(spec, "n"), want.sum)) << coll << " round " << round;
      auto avg = *run_avg(spec, "n");
      EXPECT_EQ(avg.has_value(), want.numeric > 0);
      if (avg) {
        EXPECT_TRUE(SameDouble(*avg, want.sum / static_cast<double>(want.numeric)));
      }
      EXPECT_EQ(*run_count_distinct(spec, "n"), want.distinct.size());
      EXPECT_EQ(*run_group_count(spec, "g"), want.groups);
      auto sums = *run_group_sum(spec, "g", "n");
      auto avgs = *run_group_avg(spec, "g", "n");
      ASSERT_EQ(sums.size(), want.sums.size());
      for (auto& [k, s] : want.sums) {
        EXPECT_TRUE(SameDouble(sums[k], s.first));
        EXPECT_TRUE(SameDouble(avgs[k], s.first / static_cast<double>(s.second)));
      }
    }
  }
}

TEST(AggregateTest, MinMaxRules) {
  auto e = MemEngine();
  auto put = [&](const char* k, Value v) { ASSERT_TRUE(insert(*e, "c", k, Doc({{"x", std::move(v)}})).has_value()); };
  put("a", Value::Int(3));
  put("b", Value::Text("a"));
  put("c", Value::Float(2.5));
  put("d", Value::Float(NAN));
  put("e", Value::Null());
  QuerySpec spec = SpecOf(e, "c");
  auto mn = *run_min_max(spec, "x", std::partial_ordering::less);
  ASSERT_TRUE(mn.has_value());
  EXPECT_TRUE(values_same(*mn, Value::Float(2.5)));
  auto mx = *run_min_max(spec, "x", std::partial_ordering::greater);
  EXPECT_TRUE(values_same(*mx, Value::Int(3)));
  // Ties keep the value met first: Int 2 before Float 2.0.
  put("f", Value::Int(2));
  put("g", Value::Float(2.0));
  auto m2 = *run_min_max(SpecOf(e, "c", {Predicate::Compare("x", CompareOp::kLt, Value::Int(3))}), "x",
                         std::partial_ordering::greater);
  EXPECT_TRUE(values_same(*m2, Value::Float(2.5)));
  EXPECT_FALSE(*run_min_max(spec, "missing", std::partial_ordering::less));
}

TEST(AggregateTest, EmptyAndValidation) {
  auto e = MemEngine();
  QuerySpec spec = SpecOf(e, "never");
  EXPECT_EQ(*run_count(spec), 0u);
  EXPECT_EQ(*run_sum(spec, "n"), 0.0);
  EXPECT_FALSE(*run_avg(spec, "n"));
  EXPECT_TRUE(run_group_count(spec, "n")->empty());
  spec.rrf_k = 0;
  EXPECT_EQ(run_sum(spec, "n").error().Message(), "invalid argument: fuse_rrf: k must be > 0, got 0");
  EXPECT_EQ(run_count(spec).error().code(), 12u);
  QuerySpec lam = SpecOf(e, "never");
  lam.mmr_lambda = 2;
  EXPECT_EQ(run_group_count(lam, "n").error().Message(), "invalid argument: rerank_mmr: lambda must be in [0, 1], got 2");
}

TEST(AggregateTest, SumEdgeCases) {
  auto e = MemEngine();
  ASSERT_TRUE(insert(*e, "c", "a", Doc({{"x", Value::Float(-0.0)}})).has_value());
  double s = *run_sum(SpecOf(e, "c"), "x");
  EXPECT_EQ(s, 0.0);
  EXPECT_FALSE(std::signbit(s));
  ASSERT_TRUE(insert(*e, "c", "b", Doc({{"x", Value::Int(int64_t{1} << 62)}})).has_value());
  ASSERT_TRUE(insert(*e, "c", "c", Doc({{"x", Value::Int(int64_t{1} << 62)}})).has_value());
  ASSERT_TRUE(insert(*e, "c", "d", Doc({{"x", Value::Bool(true)}})).has_value());
  ASSERT_TRUE(insert(*e, "c", "e", Doc({{"x", Value::Text("5")}})).has_value());
  EXPECT_EQ(*run_sum(SpecOf(e, "c"), "x"), 9.223372036854776e18);
}

// A build a crash interrupted (its registry row still holds a cursor) is
// finished by the next query of the collection, whatever the query is:
// a plain run and every aggregate without filters, sources or ordering too.
// A build that fails makes the query fail.
TEST(AggregateTest, EveryTerminalResumesPendingBuilds) {
  using Terminal = std::function<Status(const QuerySpec&)>;
  auto ok = [](auto r) -> Status { return r ? Ok() : Fail(r.error()); };
  const auto kLess = std::partial_ordering::less, kGreater = std::partial_ordering::greater;
  std::vector<std::pair<std::string, Terminal>> terminals = {
      {"run", [&](const QuerySpec& s) { return ok(run_query_entry(s)); }},
      {"count", [&](const QuerySpec& s) { return ok(run_count(s)); }},
      {"sum", [&](const QuerySpec& s) { return ok(run_sum(s, "n")); }},
      {"avg", [&](const QuerySpec& s) { return ok(run_avg(s, "n")); }},
      {"min", [&](const QuerySpec& s) { return ok(run_min_max(s, "n", kLess)); }},
      {"max", [&](const QuerySpec& s) { return ok(run_min_max(s, "n", kGreater)); }},
      {"count_distinct", [&](const QuerySpec& s) { return ok(run_count_distinct(s, "n")); }},
      {"group_count", [&](const QuerySpec& s) { return ok(run_group_count(s, "n")); }},
      {"group_sum", [&](const QuerySpec& s) { return ok(run_group_sum(s, "n", "n")); }},
      {"group_avg", [&](const QuerySpec& s) { return ok(run_group_avg(s, "n", "n")); }},
  };
  for (const auto& [name, terminal] : terminals) {
    SCOPED_TRACE(name);
    auto e = MemEngine();
    for (int i = 0; i < 5; ++i)
      ASSERT_TRUE(insert(*e, "c", "k" + std::to_string(i), Doc({{"n", Value::Int(i)}})).has_value());
    ASSERT_TRUE(put_row_once(e->store(), kScalarRegistry, registry_key("c", "n"), encode_index_state("", "")));
    ASSERT_TRUE(terminal(SpecOf(e, "c")));
    auto state = read_index_state_once(e->store(), kScalarRegistry, registry_key("c", "n")).value();
    EXPECT_FALSE(state->cursor.has_value());
    EXPECT_EQ(count_rows(e->store(), scalar_namespace("c", "n")).value(), 10u);  // forward and back rows
  }
  // A stored row that does not decode fails the build; a plain count never
  // decodes a row, so only the resume can report it.
  auto e = MemEngine();
  ASSERT_TRUE(insert(*e, "c", "a", Doc({{"n", Value::Int(1)}})).has_value());
  ASSERT_TRUE(put_row_once(e->store(), "c", "b", "\xff"));
  ASSERT_TRUE(put_row_once(e->store(), kScalarRegistry, registry_key("c", "n"), encode_index_state("", "")));
  auto r = run_count(SpecOf(e, "c"));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ErrorKind::kDecode);
  for (const auto& [name, terminal] : terminals) EXPECT_FALSE(terminal(SpecOf(e, "c"))) << name;
}

}  // namespace
}  // namespace pallix::test
