#include "query/planner.h"

#include <set>

#include <gtest/gtest.h>

#include "index/compound_index.h"
#include "index/geo_index.h"
#include "index/scalar_index.h"
#include "query/executor.h"
#include "tests/engine/query_corpus.h"

namespace pallix::test {
namespace {

std::shared_ptr<Engine> IndexedEngine() {
  auto e = MemEngine();
  EXPECT_TRUE(create_scalar_index(*e, "c", "n").has_value());
  EXPECT_TRUE(create_scalar_index(*e, "c", "g").has_value());
  EXPECT_TRUE(create_scalar_index(*e, "c", "m.x").has_value());
  EXPECT_TRUE(create_compound_index(*e, "c", {"g", "n"}).has_value());
  EXPECT_TRUE(create_geo_index(*e, "c", "p").has_value());
  return e;
}

struct Planned {
  CandidateRows rows;
  std::optional<std::vector<std::string>> keys;
};

Planned Plan(const QuerySpec& spec) {
  auto txn = spec.engine->store().BeginRead();
  EXPECT_TRUE(txn.has_value());
  ReadView view(*txn);
  auto rows = plan_scalar_candidates(spec, view);
  auto keys = plan_candidate_keys(spec, view);
  EXPECT_TRUE(rows.has_value()) << rows.error().Message();
  EXPECT_TRUE(keys.has_value());
  return Planned{std::move(*rows), std::move(*keys)};
}

TEST(PlannerTest, CandidatesEqualWalkAndFilter) {
  std::mt19937_64 rng(7);
  auto e = IndexedEngine();
  auto docs = FillRandom(*e, "c", rng, 400);
  int narrowed = 0;
  for (int round = 0; round < 600; ++round) {
    std::vector<Predicate> filters = RandomFilters(rng);
    QuerySpec spec = SpecOf(e, "c", filters);
    Planned p = Plan(spec);
    std::vector<std::string> expected = KeysOf(OracleFilter(docs, filters));
    if (!p.rows) {
      EXPECT_FALSE(p.keys.has_value());
      continue;
    }
    ++narrowed;
    std::vector<std::string> got = KeysOf(*p.rows);
    EXPECT_EQ(std::set<std::string>(got.begin(), got.end()).size(), got.size()) << "repeated row";
    std::vector<std::string> sorted = got;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, expected) << "round " << round;
    // The rows follow the candidate list's order.
    std::vector<std::string> in_list;
    for (const std::string& k : *p.keys) {
      if (std::find(got.begin(), got.end(), k) != got.end()) in_list.push_back(k);
    }
    EXPECT_EQ(in_list, got);
  }
  EXPECT_GT(narrowed, 200);
}

TEST(PlannerTest, NoFilterIsUnconstrained) {
  auto e = IndexedEngine();
  EXPECT_FALSE(Plan(SpecOf(e, "c")).rows.has_value());
}

TEST(PlannerTest, EmptyChoiceAnswersNoRows) {
  std::mt19937_64 rng(3);
  auto e = IndexedEngine();
  FillRandom(*e, "c", rng, 50);
  Planned p = Plan(SpecOf(e, "c", {Predicate::Compare("n", CompareOp::kEq, Value::Int(100000))}));
  ASSERT_TRUE(p.rows.has_value());
  EXPECT_TRUE(p.rows->empty());
}

TEST(PlannerTest, NeOnTheFieldStopsItsNarrowing) {
  std::mt19937_64 rng(4);
  auto e = IndexedEngine();
  FillRandom(*e, "c", rng, 50);
  Planned p = Plan(SpecOf(e, "c",
                          {Predicate::Compare("n", CompareOp::kGt, Value::Int(1)),
                           Predicate::Compare("n", CompareOp::kNe, Value::Int(3))}));
  EXPECT_FALSE(p.rows.has_value());
}

TEST(PlannerTest, AndFilterDoesNotNarrowButTwoFiltersDo) {
  std::mt19937_64 rng(5);
  auto e = IndexedEngine();
  FillRandom(*e, "c", rng, 50);
  Predicate a = Predicate::Compare("n", CompareOp::kEq, Value::Int(3));
  Predicate b = Predicate::Compare("g", CompareOp::kEq, Value::Text("a"));
  EXPECT_FALSE(Plan(SpecOf(e, "c", {Predicate::And(a, b)})).rows.has_value());
  EXPECT_TRUE(Plan(SpecOf(e, "c", {a, b})).rows.has_value());
  EXPECT_TRUE(Plan(SpecOf(e, "c", {Predicate::Or(a, b)})).rows.has_value());
  Predicate unindexed = Predicate::Compare("t", CompareOp::kEq, Value::Text("x"));
  EXPECT_FALSE(Plan(SpecOf(e, "c", {Predicate::Or(a, unindexed)})).rows.has_value());
}

// Document keys that begin with 0x00 sit among the geo namespace's
// back-pointer rows, which every cell scan also sweeps: such a key can be
// named twice. The planner's list holds it once, and its row comes back once.
TEST(PlannerTest, GeoCandidatesAreDeduplicated) {
  auto e = IndexedEngine();
  std::vector<std::pair<std::string, Value>> pairs;
  for (int i = 0; i < 40; ++i) {
    std::string key(1, '\0');
    key += "g" + std::to_string(i);
    pairs.emplace_back(key, Doc({{"p", Value::Array({Value::Float(1.0 + i * 0.01), Value::Float(1.0)})}}));
  }
  ASSERT_TRUE(put_many(*e, "c", pairs).has_value());
  Planned p = Plan(SpecOf(e, "c", {Predicate::WithinKm("p", 1.0, 1.0, 100.0)}));
  ASSERT_TRUE(p.keys.has_value());
  EXPECT_EQ(std::set<std::string>(p.keys->begin(), p.keys->end()).size(), p.keys->size());
  ASSERT_TRUE(p.rows.has_value());
  EXPECT_EQ(p.rows->size(), 40u);
}

// Predicate trees deeper than any stack: built, copied, planned, evaluated
// and dropped without recursion, along both spines.
TEST(PlannerTest, DeepTreesDoNotRecurse) {
  auto e = IndexedEngine();
  ASSERT_TRUE(insert(*e, "c", "a", Doc({{"n", Value::Int(1)}, {"t", Value::Text("x")}})).has_value());
  constexpr int kDepth = 200000;
  Predicate left = Predicate::Compare("t", CompareOp::kEq, Value::Text("nope"));
  Predicate right = Predicate::Compare("t", CompareOp::kEq, Value::Text("nope"));
  for (int i = 0; i < kDepth; ++i) {
    left = Predicate::Or(std::move(left), Predicate::Compare("t", CompareOp::kEq, Value::Text("nope")));
    right = Predicate::Or(Predicate::Compare("n", CompareOp::kEq, Value::Int(7)), std::move(right));
  }
  left = Predicate::Or(std::move(left), Predicate::Compare("n", CompareOp::kEq, Value::Int(1)));
  Predicate nested = Predicate::Compare("n", CompareOp::kEq, Value::Int(1));
  for (int i = 0; i < kDepth; ++i) nested = Predicate::Not(Predicate::Not(std::move(nested)));
  QuerySpec spec = SpecOf(e, "c", {left, right, nested});
  Planned p = Plan(spec);
  EXPECT_FALSE(p.rows.has_value());  // the first Or has an unindexed disjunct
  auto run = run_query_entry(SpecOf(e, "c", {left, nested}));
  ASSERT_TRUE(run.has_value());
  EXPECT_EQ(run->size(), 1u);
  auto none = run_query_entry(SpecOf(e, "c", {right}));
  ASSERT_TRUE(none.has_value());
  EXPECT_TRUE(none->empty());
}

}  // namespace
}  // namespace pallix::test
