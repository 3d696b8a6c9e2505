// Product-quantized vector indexes over a field whose vectors do not all
// share one length: which vectors the graph holds.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "index/index_state.h"
#include "index/vector_index.h"
#include "tests/engine/test_util.h"
#include "write/write.h"

namespace pallix::test {
namespace {

// A live database: both graphs trained on 4-float vectors, then a 3-float
// vector comes first in key order. The in-memory graph, built from the
// rows at first use, and the on-disk one, rebuilt from the rows once
// deletes pile up, still hold every 4-float vector.
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
  std::optional<uint64_t> dim;
  size_t live = 0;
  ASSERT_TRUE(memory_vector_index_for(*engine, "c", "e", [&](const HnswIndex& graph) {
                dim = graph.dim();
                live = graph.live_count();
              }).value());
  EXPECT_EQ(dim, 4u);
  EXPECT_EQ(live, 30u);
  for (int i = 0; i < 11; ++i) ASSERT_TRUE(delete_document(*engine, "c", "k" + std::to_string(100 + i)));
  auto meta = read_index_meta(*engine, vector_namespace("c", "o"));  // rebuilt after the 11th delete
  ASSERT_TRUE(meta.has_value());
  EXPECT_EQ(meta->deleted, 0u);
  EXPECT_EQ(meta->live, 19u);
}

}  // namespace
}  // namespace pallix::test
