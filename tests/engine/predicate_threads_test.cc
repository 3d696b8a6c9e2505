// Predicate trees whose subtrees several threads hold at once. The answers
// are fixed whatever the interleaving; the test is there for the
// ThreadSanitizer build (scripts/test.sh): the last holder of a shared
// subtree takes it apart in ~Predicate, and must see every other holder's
// reads of it finished before it does.

#include <gtest/gtest.h>

#include <latch>
#include <thread>
#include <vector>

#include "query/predicate.h"
#include "query/predicate_eval.h"
#include "test_util.h"

namespace pallix {
namespace {

Predicate Leaf(const char* path, int i) { return Predicate::Compare(path, CompareOp::kEq, Value::Int(i)); }

TEST(PredicateThreads, SharedSubtreesAreReadAndDroppedOnAnyThread) {
  // Inner nodes with children of their own, so that whichever thread drops
  // the last reference empties them.
  Predicate shared =
      Predicate::And(Leaf("a", 1), Predicate::Or(Predicate::Not(Leaf("b", 2)), Predicate::And(Leaf("c", 3), Leaf("d", 4))));
  const Value doc = test::Doc({{"a", Value::Int(1)}, {"b", Value::Int(5)}, {"c", Value::Int(3)}});
  ASSERT_TRUE(eval_predicate(shared, doc));
  const size_t shared_nodes = shared.NodeCount();

  constexpr int kThreads = 4;
  std::latch start(kThreads + 1);
  std::vector<int> answers(kThreads, -1);
  std::vector<size_t> sizes(kThreads, 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i, mine = Predicate::Not(shared)]() mutable {
      start.arrive_and_wait();
      answers[i] = eval_predicate(mine, doc) ? 1 : 0;
      Predicate grown = Predicate::Or(std::move(mine), Leaf("e", i));
      sizes[i] = grown.NodeCount();
    });
  }
  // Only the threads hold the shared subtrees from here on.
  shared = Leaf("z", 0);
  start.arrive_and_wait();
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(answers[i], 0) << i;
    EXPECT_EQ(sizes[i], shared_nodes + 3) << i;
  }
}

}  // namespace
}  // namespace pallix
