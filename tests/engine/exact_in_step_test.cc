// The exact route trusts a loaded in-memory index's text statistics only
// while the index holds what the query's snapshot holds. Two
// databases get the same documents and writes, one with loaded indexes
// and one without any; a hybrid query must answer the same keys and score
// bits from both, when its snapshot is in step with the indexes, when a
// commit it holds has not reached them yet (kAfterCommit), and when they
// have taken a commit its snapshot predates (kQueryAfterSnapshot).

#include <bit>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "base/test_point.h"
#include "index/text_index.h"
#include "index/vector_index.h"
#include "query/executor.h"
#include "tests/engine/at_snapshot.h"
#include "tests/engine/query_corpus.h"
#include "tests/engine/test_util.h"
#include "write/write.h"

namespace pallix::test {
namespace {

const std::vector<float> kQuery = {1.0f, 0.5f, -0.25f, 2.0f};

Value Body(int apples) {
  std::string b;
  for (int i = 0; i < 8; ++i) b += i < apples ? "apple " : "pear ";
  return Value::Text(b);
}

// d07 and d11 start far from the query with no "apple"; the writes make
// each the best of both sources.
Value Row(int i, bool written) {
  std::vector<float> e = {static_cast<float>(i % 7) - 3.0f, static_cast<float>(i % 5), -1.0f, 0.5f * static_cast<float>(i % 3)};
  if (i == 7 || i == 11) e = {-1.0f, -0.5f, 0.25f, -2.0f};
  if (written) e = kQuery;
  return Doc({{"n", Value::Int(i)}, {"body", Body(written ? 7 : (i == 7 || i == 11 ? 0 : i % 4))}, {"e", Value::Vector(e)}});
}

class ExactInStep : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 40; ++i) {
      ASSERT_TRUE(insert(*indexed_, "c", Key(i), Row(i, false)));
      ASSERT_TRUE(insert(*plain_, "p", Key(i), Row(i, false)));
    }
    ASSERT_TRUE(create_text_index(*indexed_, "c", "body").has_value());
    ASSERT_TRUE(create_vector_index(*indexed_, "c", "e", Metric::kCosine).has_value());
    ASSERT_TRUE(memory_text_index_for(*indexed_, "c", "body", [](const TextIndex&) {}).value());
    ASSERT_TRUE(memory_vector_index_for(*indexed_, "c", "e", [](const HnswIndex&) {}).value());
  }

  static std::string Key(int i) { return "d" + std::to_string(100 + i); }

  static Result<std::vector<QueryRow>> Run(std::shared_ptr<Engine> engine, std::string collection) {
    QuerySpec spec = SpecOf(std::move(engine), std::move(collection),
                            {Predicate::Compare("n", CompareOp::kLt, Value::Int(30))});
    spec.sources.push_back(VectorSource{"e", kQuery, 5, Metric::kCosine});
    spec.sources.push_back(TextSource{"body", "apple", 5});
    return run_query_entry(spec);
  }

  // The plain database's answer, which got must equal bit for bit.
  void ExpectPlain(const Result<std::vector<QueryRow>>& got) {
    auto want = Run(plain_, "p");
    ASSERT_TRUE(want.has_value() && got.has_value());
    ASSERT_EQ(KeysOf(*got), KeysOf(*want));
    for (size_t i = 0; i < got->size(); ++i)
      EXPECT_EQ(std::bit_cast<uint32_t>((*got)[i].score), std::bit_cast<uint32_t>((*want)[i].score)) << i;
  }

  std::shared_ptr<Engine> indexed_ = MemEngine();
  std::shared_ptr<Engine> plain_ = MemEngine();
};

TEST_F(ExactInStep, SameAnswerAsWithoutIndexes) { ExpectPlain(Run(indexed_, "c")); }

// Another thread queries while the writer of d07 has committed and not yet
// brought the indexes up to date: its snapshot holds the new d07.
TEST_F(ExactInStep, CommitNotYetInTheIndexes) {
  std::optional<Result<std::vector<QueryRow>>> got;
  {
    ScopedTestHook hook(TestPoint::kAfterCommit, [&](std::string_view c) {
      if (c != "c" || got) return;
      std::thread reader([&] { got = Run(indexed_, "c"); });
      reader.join();
    });
    ASSERT_TRUE(insert(*indexed_, "c", Key(7), Row(7, true)));
  }
  ASSERT_TRUE(got.has_value());
  ASSERT_TRUE(insert(*plain_, "p", Key(7), Row(7, true)));
  ExpectPlain(*got);
  ExpectPlain(Run(indexed_, "c"));
}

// The write of d11 lands, indexes and all, after the query took its
// snapshot: the query answers as before the write.
TEST_F(ExactInStep, IndexesAheadOfTheSnapshot) {
  Result<std::vector<QueryRow>> got = [&] {
    WritesAtSnapshot writes("c", [&] { EXPECT_TRUE(insert(*indexed_, "c", Key(11), Row(11, true))); });
    auto rows = Run(indexed_, "c");
    EXPECT_TRUE(writes.fired());
    return rows;
  }();
  ExpectPlain(got);
  ASSERT_TRUE(insert(*plain_, "p", Key(11), Row(11, true)));
  ExpectPlain(Run(indexed_, "c"));
}

}  // namespace
}  // namespace pallix::test
