// Which on-disk index a read snapshot may use: its own registry row and
// codebook decide, whatever was declared since. Readers whose snapshot is
// older than a declaration are held at kQueryAfterSnapshot while another
// thread declares.

#include "index/snapshot_index.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "index/index_state.h"
#include "index/text_index.h"
#include "index/vector_index.h"
#include "query/executor.h"
#include "tests/engine/at_snapshot.h"
#include "tests/engine/test_util.h"
#include "write/write.h"

namespace pallix::test {
namespace {

std::vector<float> RandomVector(std::mt19937_64& rng) {
  std::vector<float> v(8);
  for (float& x : v) x = static_cast<float>(static_cast<int>(rng() % 2001) - 1000) / 250.0f;
  return v;
}

std::vector<std::pair<std::string, float>> RunVector(const std::shared_ptr<Engine>& engine, std::vector<float> q,
                                                     uint64_t k) {
  QuerySpec spec;
  spec.engine = engine;
  spec.collection = "c";
  spec.sources.push_back(VectorSource{"e", std::move(q), k, Metric::kL2});
  auto rows = run_query_entry(std::move(spec));
  EXPECT_TRUE(rows.has_value()) << rows.error().Message();
  std::vector<std::pair<std::string, float>> out;
  if (rows)
    for (QueryRow& r : *rows) out.emplace_back(r.key, r.score);
  return out;
}

// What a view of the engine's newest snapshot may use of (c, field).
std::optional<SnapshotDiskIndex> UsableNow(Engine& engine, DiskIndexFamily family, std::string_view field) {
  auto txn = engine.store().BeginRead();
  EXPECT_TRUE(txn.has_value());
  ReadView view(*txn);
  auto found = snapshot_disk_index(engine, view, family, "c", field);
  EXPECT_TRUE(found.has_value()) << found.error().Message();
  return found ? *found : std::nullopt;
}

// A product-quantized graph re-declared with another m and k while a query
// holds an older snapshot: that snapshot's codes are those of its own
// codebook, and the query answers exactly as before the re-declaration.
TEST(SnapshotIndex, AnOlderSnapshotSearchesWithItsOwnCodebook) {
  std::mt19937_64 rng(5);
  auto engine = MemEngine();
  for (int i = 0; i < 300; ++i)
    ASSERT_TRUE(insert(*engine, "c", "k" + std::to_string(1000 + i), Doc({{"e", Value::Vector(RandomVector(rng))}})));
  ASSERT_TRUE(create_vector_index_ondisk_pq(*engine, "c", "e", Metric::kL2, 2, 16).has_value());
  ASSERT_EQ(UsableNow(*engine, DiskIndexFamily::kVector, "e")->params.codebook->m, 2u);
  for (int round = 0; round < 8; ++round) {
    const std::vector<float> q = RandomVector(rng);
    const auto before = RunVector(engine, q, 5);
    ASSERT_EQ(before.size(), 5u);
    const uint64_t m = round % 2 ? 2 : 4, k = round % 2 ? 16 : 8;
    WritesAtSnapshot redeclare("c", [&] {
      EXPECT_TRUE(create_vector_index_ondisk_pq(*engine, "c", "e", Metric::kL2, m, k).has_value());
    });
    EXPECT_EQ(RunVector(engine, q, 5), before) << "round " << round;
    ASSERT_TRUE(redeclare.fired());
    EXPECT_EQ(UsableNow(*engine, DiskIndexFamily::kVector, "e")->params.codebook->m, m);
  }
}

// A phrase search whose snapshot is older than the on-disk declaration has
// no index rows to read: it scans, and finds every matching document.
TEST(SnapshotIndex, APhraseSearchOlderThanTheIndexScans) {
  auto engine = MemEngine();
  for (int i = 0; i < 30; ++i) {
    const std::string body = i < 20 ? "the quick brown fox " + std::to_string(i) : "a slow grey cat";
    ASSERT_TRUE(insert(*engine, "c", "d" + std::to_string(100 + i), Doc({{"body", Value::Text(body)}})));
  }
  auto scanned = phrase_search_entry(*engine, "c", "body", "quick brown", 50);
  ASSERT_TRUE(scanned.has_value());
  ASSERT_EQ(scanned->size(), 20u);
  WritesAtSnapshot declare("c", [&] { EXPECT_TRUE(create_text_index_ondisk(*engine, "c", "body").has_value()); });
  auto hits = phrase_search_entry(*engine, "c", "body", "quick brown", 50);
  ASSERT_TRUE(declare.fired());
  ASSERT_TRUE(hits.has_value()) << hits.error().Message();
  ASSERT_EQ(hits->size(), scanned->size());
  for (size_t i = 0; i < hits->size(); ++i) {
    EXPECT_EQ((*hits)[i].key, (*scanned)[i].key);
    EXPECT_EQ((*hits)[i].score, (*scanned)[i].score);
  }
  // The next search's snapshot holds the index: the same answer from it.
  auto indexed = phrase_search_entry(*engine, "c", "body", "quick brown", 50);
  ASSERT_TRUE(indexed.has_value());
  EXPECT_EQ(indexed->size(), 20u);
}

// The rule itself, per state of the snapshot's rows.
TEST(SnapshotIndex, TheSnapshotsRowsDecide) {
  auto engine = MemEngine();
  for (int i = 0; i < 40; ++i) {
    const float x = static_cast<float>(i);
    ASSERT_TRUE(insert(*engine, "c", "k" + std::to_string(i),
                       Doc({{"e", Value::Vector({x, 1.0f, -x, 2.0f})}, {"t", Value::Text("word " + std::to_string(i))}})));
  }
  // Nothing declared; then in memory: no on-disk index.
  EXPECT_FALSE(UsableNow(*engine, DiskIndexFamily::kText, "t"));
  EXPECT_FALSE(UsableNow(*engine, DiskIndexFamily::kVector, "e"));
  ASSERT_TRUE(create_text_index(*engine, "c", "t").has_value());
  ASSERT_TRUE(create_vector_index(*engine, "c", "e", Metric::kDot).has_value());
  EXPECT_FALSE(UsableNow(*engine, DiskIndexFamily::kText, "t"));
  EXPECT_FALSE(UsableNow(*engine, DiskIndexFamily::kVector, "e"));
  // Complete on disk: usable, with the row's metric and quantization.
  ASSERT_TRUE(create_text_index_ondisk(*engine, "c", "t").has_value());
  ASSERT_TRUE(create_vector_index_ondisk(*engine, "c", "e", Metric::kDot, Quantization::kScalar).has_value());
  EXPECT_EQ(UsableNow(*engine, DiskIndexFamily::kText, "t")->ns, text_namespace("c", "t"));
  auto vec = UsableNow(*engine, DiskIndexFamily::kVector, "e");
  ASSERT_TRUE(vec);
  EXPECT_EQ(vec->ns, vector_namespace("c", "e"));
  EXPECT_EQ(vec->params.metric, Metric::kDot);
  EXPECT_EQ(vec->params.quant, Quantization::kScalar);
  EXPECT_FALSE(vec->params.has_codebook());
  // A build cursor in the row: not usable.
  for (auto [registry, field] : {std::pair{kTextRegistry, "t"}, std::pair{kVectorRegistry, "e"}}) {
    auto row = get_row_once(engine->store(), registry, registry_key("c", field));
    ASSERT_TRUE(row && *row);
    ASSERT_TRUE(put_row_once(engine->store(), registry, registry_key("c", field),
                             encode_index_state(decode_index_state(**row).payload, std::string("k2"))));
  }
  EXPECT_FALSE(UsableNow(*engine, DiskIndexFamily::kText, "t"));
  EXPECT_FALSE(UsableNow(*engine, DiskIndexFamily::kVector, "e"));
  // A product-quantized graph: the codebook row's own codebook; without a
  // usable one its codes cannot be scored, and it is not used.
  ASSERT_TRUE(create_vector_index_ondisk_pq(*engine, "c", "e", Metric::kL2, 2, 4).has_value());
  vec = UsableNow(*engine, DiskIndexFamily::kVector, "e");
  ASSERT_TRUE(vec && vec->params.has_codebook());
  EXPECT_EQ(vec->params.codebook->k, 4u);
  ASSERT_TRUE(put_row_once(engine->store(), vector_namespace("c", "e"), kDannCodebookKey, "short"));
  EXPECT_FALSE(UsableNow(*engine, DiskIndexFamily::kVector, "e"));
}

}  // namespace
}  // namespace pallix::test
