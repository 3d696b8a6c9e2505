#include "query/predicate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace pallix {
namespace {

Predicate Leaf(int i) { return Predicate::Compare("f", CompareOp::kEq, Value::Int(i)); }

// and_(p0, ..., pn-1) as the builders fold it: a left spine.
Predicate LeftFold(int n) {
  Predicate acc = Leaf(0);
  for (int i = 1; i < n; ++i) acc = Predicate::And(std::move(acc), Leaf(i));
  return acc;
}

TEST(Predicate, KindNumbersFollowTheVariant) {
  EXPECT_EQ(Leaf(1).kind(), PredicateKind::kCompare);
  EXPECT_EQ(Predicate::Exists("a").kind(), PredicateKind::kExists);
  EXPECT_EQ(Predicate::In("a", {}).kind(), PredicateKind::kIn);
  EXPECT_EQ(Predicate::Between("a", Value::Int(1), Value::Int(0)).kind(), PredicateKind::kBetween);
  EXPECT_EQ(Predicate::StartsWith("a", "x").kind(), PredicateKind::kStartsWith);
  EXPECT_EQ(Predicate::Contains("a", "x").kind(), PredicateKind::kContains);
  EXPECT_EQ(Predicate::WithinKm("a", 1, 2, 3).kind(), PredicateKind::kWithinKm);
  EXPECT_EQ(Predicate::And(Leaf(1), Leaf(2)).kind(), PredicateKind::kAnd);
  EXPECT_EQ(Predicate::Or(Leaf(1), Leaf(2)).kind(), PredicateKind::kOr);
  EXPECT_EQ(Predicate::Not(Leaf(1)).kind(), PredicateKind::kNot);
  EXPECT_EQ(static_cast<int>(PredicateKind::kNot), 9);
  EXPECT_EQ(static_cast<int>(CompareOp::kGe), 5);
}

TEST(Predicate, CopySharesChildrenAndOutlivesTheOriginal) {
  Predicate a = Predicate::Or(Predicate::Not(Leaf(1)), Predicate::In("g", {Value::Text("x"), Value::Null()}));
  Predicate b = a;
  EXPECT_TRUE(a.SameAs(b));
  EXPECT_EQ(b.NodeCount(), 4u);
  const auto& ao = std::get<OrPred>(a.node());
  const auto& bo = std::get<OrPred>(b.node());
  EXPECT_EQ(ao.left.get(), bo.left.get());
  EXPECT_EQ(ao.right.get(), bo.right.get());
  // Dropping the original leaves the copy whole.
  a = Leaf(7);
  EXPECT_EQ(b.NodeCount(), 4u);
  EXPECT_EQ(std::get<InPred>(bo.right->node()).values.size(), 2u);
  EXPECT_TRUE(b.SameAs(Predicate::Or(Predicate::Not(Leaf(1)), Predicate::In("g", {Value::Text("x"), Value::Null()}))));
}

// The binding's or_(p, q) copies p and q and wraps the copies. Grown one
// call at a time, every call must add one node and reuse every node the
// previous tree had: each step's left child holds exactly the children of
// the tree before it, and the older trees stay whole and usable.
TEST(Predicate, FoldingOneCallAtATimeReusesEveryNode) {
  constexpr int kCalls = 10'000;
  std::vector<Predicate> steps{Leaf(0)};
  steps.reserve(kCalls + 1);
  for (int i = 1; i <= kCalls; ++i) {
    Predicate previous = steps.back();  // a copy, as a consumer takes one
    steps.push_back(Predicate::Or(std::move(previous), Leaf(i)));
  }
  for (int i = 2; i <= kCalls; ++i) {
    const auto& now = std::get<OrPred>(steps[i].node());
    const auto& before = std::get<OrPred>(steps[i - 1].node());
    const auto& held = std::get<OrPred>(now.left->node());
    ASSERT_EQ(held.left.get(), before.left.get()) << i;
    ASSERT_EQ(held.right.get(), before.right.get()) << i;
  }
  EXPECT_EQ(steps.back().NodeCount(), 2u * kCalls + 1);
  EXPECT_EQ(steps[kCalls / 2].NodeCount(), static_cast<size_t>(kCalls + 1));
  // Dropping the newest trees first, then the oldest, frees everything once.
  steps.erase(steps.begin() + kCalls / 2, steps.end());
  EXPECT_EQ(steps.back().NodeCount(), static_cast<size_t>(kCalls - 1));
  steps.clear();
}

TEST(Predicate, LeavesKeepTheirFields) {
  Predicate w = Predicate::WithinKm("loc", 1.5, -2.0, NAN);
  Predicate c = w;
  const auto& f = std::get<WithinKmPred>(c.node());
  EXPECT_EQ(f.path, "loc");
  EXPECT_EQ(f.lat, 1.5);
  EXPECT_EQ(f.lon, -2.0);
  EXPECT_TRUE(std::isnan(f.radius_km));
  EXPECT_TRUE(w.SameAs(c));
  EXPECT_FALSE(w.SameAs(Predicate::WithinKm("loc", 1.5, -2.0, 0)));
  EXPECT_FALSE(Leaf(1).SameAs(Leaf(2)));
  EXPECT_FALSE(Predicate::And(Leaf(1), Leaf(2)).SameAs(Predicate::Or(Leaf(1), Leaf(2))));
}

TEST(Predicate, DeepSpinesCopyAndDropWithoutRecursion) {
  // Deep enough to overflow any thread stack if a copy or a destructor
  // recursed once per level.
  constexpr int kDepth = 300'000;
  Predicate big = LeftFold(kDepth);
  EXPECT_EQ(big.NodeCount(), 2u * kDepth - 1);
  Predicate copy = big;
  EXPECT_TRUE(copy.SameAs(big));
  Predicate negated = Predicate::Not(std::move(copy));
  EXPECT_EQ(negated.NodeCount(), 2u * kDepth);
}

TEST(Predicate, DeepNotChainDrops) {
  Predicate p = Leaf(0);
  for (int i = 0; i < 300'000; ++i) p = Predicate::Not(std::move(p));
  Predicate q = p;
  EXPECT_EQ(q.NodeCount(), 300'001u);
}

TEST(Predicate, SelfAssignmentKeepsTheTree) {
  Predicate p = Predicate::And(Leaf(1), Leaf(2));
  const Predicate& alias = p;
  p = alias;
  EXPECT_EQ(p.NodeCount(), 3u);
}

}  // namespace
}  // namespace pallix
