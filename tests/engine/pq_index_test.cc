// Product-quantized vector indexes over a field whose vectors do not all
// share one length: which vectors train the codebook, and which the graph
// then holds.

#include <gtest/gtest.h>

#include <set>

#include <string>
#include <vector>

#include "index/index_state.h"
#include "index/vector_index.h"
#include "tests/engine/test_util.h"
#include "write/write.h"

namespace pallix::test {
namespace {

constexpr PqTrainingSet kCommon = PqTrainingSet::kCommonLength;

// 40 vectors of 4 floats, and before them in key order one of 3 floats and
// an empty one; 6-float vectors after them, fewer than the 4-float ones.
std::shared_ptr<Engine> MixedLengths() {
  auto engine = MemEngine();
  auto put = [&](const std::string& key, std::vector<float> v) {
    EXPECT_TRUE(insert(*engine, "c", key, Doc({{"e", Value::Vector(std::move(v))}})).has_value());
  };
  put("a", {0.5f, 0.5f, 0.5f});
  put("b", {});
  for (int i = 0; i < 40; ++i)
    put("k" + std::to_string(100 + i), {static_cast<float>(i % 5), static_cast<float>(i / 5), 1.0f, -1.0f});
  for (int i = 0; i < 10; ++i) put("z" + std::to_string(i), std::vector<float>(6, static_cast<float>(i)));
  return engine;
}

struct GraphShape {
  std::optional<uint64_t> dim;
  size_t live = 0;
};

// The dimension and live count of the in-memory graph of field "e" of "c".
GraphShape InMemoryGraphShape(Engine& engine) {
  GraphShape shape;
  auto found = memory_vector_index_for(engine, "c", "e", [&](const HnswIndex& graph) {
    shape.dim = graph.dim();
    shape.live = graph.live_count();
  });
  EXPECT_TRUE(found.has_value() && *found);
  return shape;
}

// A live database: both graphs trained on 4-float vectors, then a 3-float
// vector comes first in key order. The in-memory graph, built from the
// rows at first use, and the on-disk one, repaired around its deleted
// nodes by the writes, still hold every 4-float vector.
TEST(PqIndex, TheCodebookFixesTheGraphDimension) {
  auto engine = MemEngine();
  for (int i = 0; i < 30; ++i) {
    const Value v = Value::Vector({static_cast<float>(i % 5), static_cast<float>(i / 5), 1.0f, -1.0f});
    ASSERT_TRUE(insert(*engine, "c", "k" + std::to_string(100 + i), Doc({{"e", v}, {"o", v}})));
  }
  ASSERT_TRUE(create_vector_index_pq(*engine, "c", "e", Metric::kL2, 2, 4).has_value());
  ASSERT_TRUE(create_vector_index_ondisk_pq(*engine, "c", "o", Metric::kL2, 2, 4).has_value());
  const Value stray = Value::Vector({0.5f, 0.5f, 0.5f});
  ASSERT_TRUE(insert(*engine, "c", "a", Doc({{"e", stray}, {"o", stray}})));
  const GraphShape shape = InMemoryGraphShape(*engine);
  EXPECT_EQ(shape.dim, 4u);
  EXPECT_EQ(shape.live, 30u);
  for (int i = 0; i < 11; ++i) ASSERT_TRUE(delete_document(*engine, "c", "k" + std::to_string(100 + i)));
  auto txn = engine->store().BeginRead();
  ASSERT_TRUE(txn.has_value());
  ReadView view(*txn);
  const std::vector<float> q{0.0f, 0.0f, 1.0f, -1.0f};
  auto hits = disk_vector_index_search(*engine, view, "c", "o", q, 50);
  ASSERT_TRUE(hits.has_value() && hits->has_value());
  std::set<std::string> keys;
  for (const HnswHit& hit : **hits) keys.insert(hit.key);
  std::set<std::string> want;
  for (int i = 11; i < 30; ++i) want.insert("k" + std::to_string(100 + i));
  EXPECT_EQ(keys, want);
}

TEST(PqIndex, EveryVectorTrainsByDefaultSoOtherLengthsRefuse) {
  auto engine = MixedLengths();
  for (bool on_disk : {false, true}) {
    auto made = on_disk ? create_vector_index_ondisk_pq(*engine, "c", "e", Metric::kL2, 2, 4)
                        : create_vector_index_pq(*engine, "c", "e", Metric::kL2, 2, 4);
    ASSERT_FALSE(made.has_value());
    EXPECT_EQ(made.error().kind(), ErrorKind::kEmptyIndexTraining);
    EXPECT_EQ(made.error().Message(), "cannot train a PQ codebook: no usable training vectors");
  }
}

// The common length (4: 40 vectors, against 10 of 6 floats and one of 3,
// which m = 2 does not divide) trains, and fixes the graph's dimension even
// though shorter vectors come first in key order.
TEST(PqIndex, CommonLengthTrainsAndFixesTheGraphDimension) {
  auto engine = MixedLengths();
  ASSERT_TRUE(create_pq_vector_index(*engine, "c", "e", Metric::kL2, 2, 4, kVectorOnDiskPq, kCommon));
  auto meta = read_index_meta(*engine, vector_namespace("c", "e"));
  ASSERT_TRUE(meta.has_value());
  EXPECT_EQ(meta->live, 40u);
  ASSERT_TRUE(create_pq_vector_index(*engine, "c", "e", Metric::kL2, 2, 4, kVectorInMemoryPq, kCommon));
  const GraphShape shape = InMemoryGraphShape(*engine);
  EXPECT_EQ(shape.dim, 4u);
  EXPECT_EQ(shape.live, 40u);
}

TEST(PqIndex, CommonLengthStillNeedsAVectorOfALengthMDivides) {
  auto engine = MemEngine();
  ASSERT_TRUE(insert(*engine, "c", "a", Doc({{"e", Value::Vector({1.0f, 2.0f, 3.0f})}})));
  ASSERT_TRUE(insert(*engine, "c", "b", Doc({{"e", Value::Vector({})}})));
  auto made = create_pq_vector_index(*engine, "c", "e", Metric::kL2, 2, 4, kVectorOnDiskPq, kCommon);
  ASSERT_FALSE(made.has_value());
  EXPECT_EQ(made.error().kind(), ErrorKind::kEmptyIndexTraining);
  auto state = read_index_state_once(engine->store(), kVectorRegistry, registry_key("c", "e"));
  ASSERT_TRUE(state.has_value());
  EXPECT_FALSE(state->has_value());  // nothing written
}

}  // namespace
}  // namespace pallix::test
