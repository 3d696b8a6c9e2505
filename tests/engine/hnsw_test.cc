#include "vector/hnsw.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>

#include "tests/engine/clustered_vectors.h"

namespace pallix {
namespace {

// A small deterministic generator, so that the data sets (and the recall
// floors measured on them) are the same on every machine.
class Rng {
 public:
  explicit Rng(uint64_t seed) : s_(seed) {}
  uint64_t Next() {
    s_ += 0x9E3779B97F4A7C15ull;
    uint64_t z = s_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  double Uniform() { return static_cast<double>(Next() >> 11) * 0x1p-53; }  // [0, 1)
  float Normal() {
    double u = 1.0 - Uniform(), v = Uniform();
    return static_cast<float>(std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * v));
  }

 private:
  uint64_t s_;
};

// Clustered vectors in the shape of real embeddings: a mixture of clusters
// in a low-dimensional latent space (centres spread 1, clusters spread 0.5),
// mapped linearly into `dim` dimensions, plus a little noise in every
// direction, normalised to unit length (as embedding models emit them).
class ClusteredData {
 public:
  ClusteredData(size_t clusters, size_t dim, uint64_t seed, size_t latent = 12)
      : dim_(dim), latent_(latent), rng_(seed) {
    for (size_t c = 0; c < clusters; ++c) centres_.push_back(RandomVector(latent, 1.0f));
    mixing_ = RandomVector(latent * dim, 1.0f / std::sqrt(static_cast<float>(latent)));
  }

  std::vector<float> Next() {
    const std::vector<float>& centre = centres_[rng_.Next() % centres_.size()];
    std::vector<float> z(latent_);
    for (size_t i = 0; i < latent_; ++i) z[i] = centre[i] + 0.5f * rng_.Normal();
    std::vector<float> v(dim_);
    double norm = 0;
    for (size_t d = 0; d < dim_; ++d) {
      float x = 0.05f * rng_.Normal();
      for (size_t i = 0; i < latent_; ++i) x += mixing_[d * latent_ + i] * z[i];
      v[d] = x;
      norm += double{x} * x;
    }
    for (auto& x : v) x = static_cast<float>(x / std::sqrt(norm));
    return v;
  }

 private:
  std::vector<float> RandomVector(size_t n, float scale) {
    std::vector<float> v(n);
    for (auto& x : v) x = scale * rng_.Normal();
    return v;
  }

  size_t dim_, latent_;
  Rng rng_;
  std::vector<std::vector<float>> centres_;
  std::vector<float> mixing_;
};

std::string Key(size_t i) { return "k" + std::to_string(i); }

std::vector<std::string> Keys(const std::vector<HnswHit>& hits) {
  std::vector<std::string> out;
  for (const auto& h : hits) out.push_back(h.key);
  return out;
}

// The exact k nearest of `query` by the graph ordering (ties by index).
std::vector<size_t> BruteForce(const std::vector<std::vector<float>>& base, const std::vector<float>& query,
                               Metric metric, size_t k) {
  std::vector<ScoredNode<uint32_t>> all;
  for (size_t i = 0; i < base.size(); ++i) {
    all.push_back({distance_by_metric(metric, query, base[i]), static_cast<uint32_t>(i)});
  }
  std::partial_sort(all.begin(), all.begin() + static_cast<long>(k), all.end(), ScoredBefore<uint32_t>);
  std::vector<size_t> out;
  for (size_t i = 0; i < k; ++i) out.push_back(all[i].id);
  return out;
}

struct RecallSetup {
  Metric metric;
  Quantization quant;
  bool product;
};

// Recall@10 of the graph over 20,000 clustered vectors of dimension 64
// against the exact neighbours under the index's metric.
double MeasureRecall(RecallSetup setup) {
  constexpr size_t kBase = 20000, kQueries = 200, kK = 10, kDim = 64;
  ClusteredData data(40, kDim, 42);
  std::vector<std::vector<float>> base, queries;
  for (size_t i = 0; i < kBase; ++i) base.push_back(data.Next());
  for (size_t i = 0; i < kQueries; ++i) queries.push_back(data.Next());
  std::shared_ptr<const PqCodebook> codebook;
  if (setup.product) {
    // Train on a slice of the rows, as a quick codebook; encoding uses it
    // for all of them.
    std::vector<std::vector<float>> sample(base.begin(), base.begin() + 4000);
    auto trained = pq_train(sample, 16, 64);
    EXPECT_TRUE(trained.has_value());
    codebook = std::make_shared<const PqCodebook>(std::move(*trained));
  }
  HnswIndex graph(setup.metric, setup.quant, codebook);
  for (size_t i = 0; i < kBase; ++i) hnsw_insert(graph, Key(i), base[i]);
  size_t found = 0;
  for (const auto& q : queries) {
    std::set<std::string> exact;
    for (size_t i : BruteForce(base, q, setup.metric, kK)) exact.insert(Key(i));
    for (const auto& hit : hnsw_search(graph, q, kK)) found += exact.count(hit.key);
  }
  return static_cast<double>(found) / (kQueries * kK);
}

void ExpectRecall(RecallSetup setup, double floor, const char* label) {
  double recall = MeasureRecall(setup);
  std::printf("[ recall   ] %s: %.4f\n", label, recall);
  ::testing::Test::RecordProperty(label, std::to_string(recall));
  EXPECT_GE(recall, floor) << label;
}

// Float storage: the measured recall on these data is 0.9995 for each metric
// (the vectors have unit length, so the three rank alike).
TEST(HnswTest, RecallCosine) { ExpectRecall({Metric::kCosine, Quantization::kNone, false}, 0.95, "cosine"); }
TEST(HnswTest, RecallDot) { ExpectRecall({Metric::kDot, Quantization::kNone, false}, 0.95, "dot"); }
TEST(HnswTest, RecallL2) { ExpectRecall({Metric::kL2, Quantization::kNone, false}, 0.95, "l2"); }
// Reduced storage ranks by approximate distances; the floors sit a little
// under what these data measured (binary 0.2910: 64 sign bits leave many
// ties; scalar 0.9920; product 0.5365 with 16 subspaces of 64 centroids).
TEST(HnswTest, RecallBinary) { ExpectRecall({Metric::kCosine, Quantization::kBinary, false}, 0.25, "binary"); }
TEST(HnswTest, RecallScalar) { ExpectRecall({Metric::kL2, Quantization::kScalar, false}, 0.95, "scalar"); }
TEST(HnswTest, RecallProduct) { ExpectRecall({Metric::kL2, Quantization::kNone, true}, 0.45, "product"); }

TEST(HnswTest, EmptyAndDegenerateSearches) {
  HnswIndex graph(Metric::kL2, Quantization::kNone);
  EXPECT_TRUE(hnsw_search(graph, std::vector<float>{1, 2}, 5).empty());
  hnsw_insert(graph, "a", std::vector<float>{1, 2});
  EXPECT_TRUE(hnsw_search(graph, std::vector<float>{1, 2}, 0).empty());
  EXPECT_TRUE(hnsw_search(graph, std::vector<float>{1, 2, 3}, 5).empty());
  EXPECT_TRUE(hnsw_search(graph, {}, 5).empty());
  auto hits = hnsw_search(graph, std::vector<float>{1, 3}, 5);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].key, "a");
  EXPECT_EQ(hits[0].distance, 1.0f);
}

TEST(HnswTest, FewerVectorsThanK) {
  HnswIndex graph(Metric::kL2, Quantization::kNone);
  for (int i = 0; i < 5; ++i) hnsw_insert(graph, Key(i), std::vector<float>{static_cast<float>(i), 0});
  auto hits = hnsw_search(graph, std::vector<float>{0, 0}, 10);
  EXPECT_EQ(Keys(hits), (std::vector<std::string>{"k0", "k1", "k2", "k3", "k4"}));
  EXPECT_EQ(hits[4].distance, 16.0f);
}

TEST(HnswTest, UpsertLeavesOneLiveKeyAndOneTombstone) {
  HnswIndex graph(Metric::kL2, Quantization::kNone);
  hnsw_insert(graph, "a", std::vector<float>{0, 0});
  hnsw_insert(graph, "a", std::vector<float>{5, 5});
  EXPECT_EQ(graph.node_count(), 2u);
  EXPECT_EQ(graph.live_count(), 1u);
  EXPECT_EQ(graph.tombstone_count(), 1u);
  EXPECT_FALSE(graph.key(0).has_value());
  EXPECT_EQ(graph.key(1), "a");
  // The tombstone at (0, 0) is nearer; it routes the search to "a" but is
  // not returned.
  auto hits = hnsw_search(graph, std::vector<float>{0, 0}, 1);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].key, "a");
  EXPECT_EQ(hits[0].distance, 50.0f);
}

TEST(HnswTest, TombstonesRouteButTakeNoPlaceInResults) {
  // 30 stale nodes crowd around the query, all nearer than any live point:
  // every k must still come back, exactly the k nearest live points. (The
  // crowd is no wall: each stale node's candidates cover one another, so
  // its insert widened them and linked it with the points around; even
  // thousands of them leave the live points reachable.)
  HnswIndex graph(Metric::kL2, Quantization::kNone);
  Rng rng(5);
  std::vector<std::vector<float>> base;
  for (int i = 0; i < 300; ++i) {
    base.push_back({rng.Normal(), rng.Normal(), rng.Normal()});
    hnsw_insert(graph, Key(i), base.back());
  }
  for (int i = 0; i < 30; ++i) {
    float x = 0.001f * static_cast<float>(i);
    hnsw_insert(graph, "stale", std::vector<float>{x, -x, x});
  }
  hnsw_remove_key(graph, "stale");
  EXPECT_EQ(graph.tombstone_count(), 30u);
  const std::vector<float> q = {0, 0, 0};
  for (uint64_t k : {1u, 10u, 64u, 100u}) {
    std::vector<std::string> want;
    for (size_t i : BruteForce(base, q, Metric::kL2, k)) want.push_back(Key(i));
    EXPECT_EQ(Keys(hnsw_search(graph, q, k)), want) << "k " << k;
  }
}

// A document rewritten without touching its vector must not leave a
// tombstone behind, whatever form the graph stores vectors in; a vector
// that changes by a single bit is a new vector.
TEST(HnswTest, UnchangedVectorLeavesTheGraphAlone) {
  ClusteredData data(4, 16, 8);
  std::vector<std::vector<float>> vectors;
  for (int i = 0; i < 400; ++i) vectors.push_back(data.Next());
  auto trained = pq_train(vectors, 4, 16);
  ASSERT_TRUE(trained.has_value());
  auto codebook = std::make_shared<const PqCodebook>(std::move(*trained));
  for (auto [quant, book] : {std::pair{Quantization::kNone, std::shared_ptr<const PqCodebook>()},
                             std::pair{Quantization::kBinary, std::shared_ptr<const PqCodebook>()},
                             std::pair{Quantization::kScalar, std::shared_ptr<const PqCodebook>()},
                             std::pair{Quantization::kNone, codebook}}) {
    SCOPED_TRACE(std::string(QuantizationName(quant)) + (book ? " product" : ""));
    HnswIndex graph(Metric::kCosine, quant, book);
    for (size_t i = 0; i < vectors.size(); ++i) hnsw_insert(graph, Key(i), vectors[i]);
    std::vector<std::vector<uint32_t>> links;
    for (uint64_t id = 0; id < graph.node_count(); ++id) {
      auto list = graph.neighbours(id, 0);
      links.emplace_back(list.begin(), list.end());
    }
    for (size_t i = 0; i < vectors.size(); ++i) hnsw_insert(graph, Key(i), std::vector<float>(vectors[i]));
    EXPECT_EQ(graph.node_count(), vectors.size());
    EXPECT_EQ(graph.tombstone_count(), 0u);
    for (uint64_t id = 0; id < graph.node_count(); ++id) {
      auto list = graph.neighbours(id, 0);
      ASSERT_EQ(std::vector<uint32_t>(list.begin(), list.end()), links[id]) << id;
    }
    // A changed vector replaces the node, and so does one that comes back
    // after its key was removed.
    std::vector<float> moved = vectors[3];
    for (float& x : moved) x = -x;
    hnsw_insert(graph, Key(3), moved);
    hnsw_remove_key(graph, Key(4));
    hnsw_insert(graph, Key(4), vectors[4]);
    EXPECT_EQ(graph.node_count(), vectors.size() + 2);
    EXPECT_EQ(graph.tombstone_count(), 2u);
    EXPECT_EQ(graph.find(Key(3)), vectors.size());
    EXPECT_EQ(graph.find(Key(4)), vectors.size() + 1);
  }
  // Bit for bit: -0.0 and +0.0 are different vectors.
  HnswIndex graph(Metric::kL2, Quantization::kNone);
  hnsw_insert(graph, "a", std::vector<float>{0.0f, 1});
  hnsw_insert(graph, "a", std::vector<float>{-0.0f, 1});
  EXPECT_EQ(graph.tombstone_count(), 1u);
}

// A graph with a third of its nodes tombstoned (every search walks through
// them) finds the live neighbours as well as a graph built afresh from the
// live vectors, always k of them, never a removed key.
TEST(HnswTest, ChurnedGraphKeepsItsRecall) {
  constexpr size_t kBase = 6000, kQueries = 200, kK = 10;
  ClusteredData data(40, 64, 17);
  std::map<std::string, std::vector<float>> live;
  HnswIndex churned(Metric::kCosine, Quantization::kNone);
  for (size_t i = 0; i < kBase; ++i) {
    live[Key(i)] = data.Next();
    hnsw_insert(churned, Key(i), live[Key(i)]);
  }
  Rng rng(23);
  for (size_t step = 0; step < 3000; ++step) {
    std::string key = Key(rng.Next() % kBase);
    if (step % 3 == 0) {
      hnsw_remove_key(churned, key);
      live.erase(key);
    } else {
      live[key] = data.Next();
      hnsw_insert(churned, key, live[key]);
    }
  }
  ASSERT_GE(churned.tombstone_count() * 3, churned.node_count());
  HnswIndex fresh(Metric::kCosine, Quantization::kNone);
  std::vector<std::vector<float>> base;
  std::vector<std::string> keys;
  for (const auto& [key, v] : live) {
    hnsw_insert(fresh, key, v);
    base.push_back(v);
    keys.push_back(key);
  }
  size_t found_churned = 0, found_fresh = 0;
  for (size_t q = 0; q < kQueries; ++q) {
    std::vector<float> query = data.Next();
    std::set<std::string> exact;
    for (size_t i : BruteForce(base, query, Metric::kCosine, kK)) exact.insert(keys[i]);
    auto hits = hnsw_search(churned, query, kK);
    ASSERT_EQ(hits.size(), kK);
    for (const auto& hit : hits) {
      ASSERT_TRUE(live.count(hit.key)) << hit.key;
      found_churned += exact.count(hit.key);
    }
    for (const auto& hit : hnsw_search(fresh, query, kK)) found_fresh += exact.count(hit.key);
  }
  double churned_recall = static_cast<double>(found_churned) / (kQueries * kK);
  double fresh_recall = static_cast<double>(found_fresh) / (kQueries * kK);
  std::printf("[ recall   ] churned %.4f, fresh %.4f\n", churned_recall, fresh_recall);
  EXPECT_GE(churned_recall, fresh_recall - 0.02);
  EXPECT_GE(churned_recall, 0.95);
}

TEST(HnswTest, RemovedKeysAreNeverReturned) {
  HnswIndex graph(Metric::kL2, Quantization::kNone);
  for (int i = 0; i < 50; ++i) hnsw_insert(graph, Key(i), std::vector<float>{static_cast<float>(i)});
  hnsw_remove_key(graph, "k0");
  hnsw_remove_key(graph, "k0");        // already gone
  hnsw_remove_key(graph, "missing");  // never there
  EXPECT_EQ(graph.live_count(), 49u);
  EXPECT_EQ(graph.node_count(), 50u);
  EXPECT_FALSE(graph.find("k0").has_value());
  auto hits = hnsw_search(graph, std::vector<float>{0}, 3);
  EXPECT_EQ(Keys(hits), (std::vector<std::string>{"k1", "k2", "k3"}));
}

// Keys replaced again and again: the bytes of the old keys are reclaimed,
// so key storage stays within a bound of the live keys, and every live key
// is still found by its own vector afterwards.
TEST(HnswTest, ReplacedKeysDoNotGrowKeyStorage) {
  HnswIndex graph(Metric::kL2, Quantization::kNone);
  constexpr int kKeys = 200;
  auto key = [](int i) { return Key(i) + std::string(1000, 'x'); };
  auto vec = [](int i, int round) { return std::vector<float>{static_cast<float>(i), static_cast<float>(round % 3)}; };
  const size_t live_bytes = kKeys * key(0).size();
  for (int round = 0; round < 25; ++round) {
    for (int i = 0; i < kKeys; ++i) hnsw_insert(graph, key(i), vec(i, round));
    EXPECT_LE(graph.key_bytes_held(), 2 * live_bytes + (1u << 20) + key(0).size()) << round;
  }
  EXPECT_EQ(graph.live_count(), size_t{kKeys});
  for (int i = 0; i < kKeys; ++i) {
    auto hits = hnsw_search(graph, vec(i, 24), 1);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].key, key(i));
    EXPECT_EQ(graph.find(key(i)).has_value(), true);
  }
}

TEST(HnswTest, WrongDimensionIsDroppedAndRemovesTheOldVector) {
  HnswIndex graph(Metric::kL2, Quantization::kNone);
  hnsw_insert(graph, "a", std::vector<float>{1, 0});
  hnsw_insert(graph, "b", std::vector<float>{0, 1});
  EXPECT_EQ(graph.dim(), 2u);
  hnsw_insert(graph, "a", std::vector<float>{1, 0, 0});
  hnsw_insert(graph, "c", std::vector<float>{1});
  EXPECT_EQ(graph.node_count(), 2u);
  EXPECT_EQ(graph.live_count(), 1u);
  EXPECT_EQ(Keys(hnsw_search(graph, std::vector<float>{1, 0}, 10)), (std::vector<std::string>{"b"}));
  EXPECT_EQ(graph.dim(), 2u);
}

TEST(HnswTest, EqualDistancesComeInInsertionOrder) {
  HnswIndex graph(Metric::kDot, Quantization::kNone);
  for (const char* key : {"z", "y", "x", "w"}) hnsw_insert(graph, key, std::vector<float>{1, 1});
  EXPECT_EQ(Keys(hnsw_search(graph, std::vector<float>{1, 0}, 4)), (std::vector<std::string>{"z", "y", "x", "w"}));
}

TEST(HnswTest, VisitedEpochWrapClearsTheStamps) {
  std::vector<uint32_t> stamps = {UINT32_MAX, 1, 7};
  uint32_t epoch = UINT32_MAX;
  hnsw_internal::StartEpoch(stamps, epoch, 5);
  EXPECT_EQ(epoch, 1u);
  EXPECT_EQ(stamps, (std::vector<uint32_t>{0, 0, 0, 0, 0}));  // the old 1 would read as visited
  hnsw_internal::StartEpoch(stamps, epoch, 2);
  EXPECT_EQ(epoch, 2u);
  EXPECT_EQ(stamps.size(), 5u);
}

TEST(HnswTest, SearchWidthSaturates) {
  EXPECT_EQ(HnswSearchEf(1), 64u);
  EXPECT_EQ(HnswSearchEf(16), 64u);
  EXPECT_EQ(HnswSearchEf(17), 68u);
  EXPECT_EQ(HnswSearchEf(UINT64_MAX / 4 + 1), UINT64_MAX);
  EXPECT_EQ(HnswSearchEf(UINT64_MAX), UINT64_MAX);
}

TEST(HnswTest, HugeKWithTombstonesReturnsEveryLiveKeyWithoutHugeMemory) {
  HnswIndex graph(Metric::kL2, Quantization::kNone);
  for (int i = 0; i < 200; ++i) hnsw_insert(graph, Key(i % 150), std::vector<float>{static_cast<float>(i), 1});
  ASSERT_EQ(graph.tombstone_count(), 50u);
  // 4 * k would wrap; the search must neither wrap to a tiny width nor
  // reserve room for ef entries.
  for (uint64_t k : {UINT64_MAX, UINT64_MAX - 10, UINT64_MAX / 4 + 3}) {
    auto hits = hnsw_search(graph, std::vector<float>{0, 1}, k);
    EXPECT_EQ(hits.size(), 150u);
    for (size_t i = 1; i < hits.size(); ++i) EXPECT_LE(hits[i - 1].distance, hits[i].distance);
  }
}

TEST(HnswTest, NeighbourListsRespectTheCapsAndLayers) {
  HnswIndex graph(Metric::kL2, Quantization::kNone);
  ClusteredData data(5, 8, 9);
  for (int i = 0; i < 3000; ++i) hnsw_insert(graph, Key(i), data.Next());
  uint32_t top = graph.level(*graph.entry());
  bool saw_upper = false;
  for (uint64_t id = 0; id < graph.node_count(); ++id) {
    uint32_t level = graph.level(id);
    EXPECT_LE(level, top);
    EXPECT_LE(graph.neighbours(id, 0).size(), kHnswM0);
    for (uint32_t layer = 1; layer <= level; ++layer) {
      saw_upper = true;
      EXPECT_LE(graph.neighbours(id, layer).size(), kHnswM);
    }
    for (uint32_t layer = 0; layer <= level; ++layer) {
      for (uint32_t n : graph.neighbours(id, layer)) {
        EXPECT_LT(n, graph.node_count());
        EXPECT_GE(graph.level(n), layer);
        EXPECT_NE(n, id);
      }
    }
    EXPECT_TRUE(graph.neighbours(id, level + 1).empty());
  }
  EXPECT_TRUE(saw_upper);
}

// Tight clusters and far outliers: every node must be reachable from the
// entry point, and every stored vector found by its own value, or the index
// holds documents it can never return. Linking each node to its nearest
// only kept no link between clusters and let every neighbour of a far
// point prune it; with selection alone, a far point linked only from the
// one cluster its insert's search settled in was missed now and then by a
// search settling in the next one (both data sets here, under l2, and the second under cosine).
TEST(HnswTest, EveryStoredVectorIsFoundByItsOwnValue) {
  for (uint64_t seed : {1, 2}) {
    test::ClusteredVectors data = test::TightClustersWithOutliers(seed);
    for (Metric metric : {Metric::kL2, Metric::kCosine}) {
      SCOPED_TRACE(testing::Message() << MetricName(metric) << " seed " << seed);
      HnswIndex graph(metric, Quantization::kNone);
      for (size_t i = 0; i < data.vectors.size(); ++i) hnsw_insert(graph, Key(i), data.vectors[i]);
      std::vector<bool> seen(graph.node_count());
      std::vector<uint64_t> todo{*graph.entry()};
      seen[*graph.entry()] = true;
      while (!todo.empty()) {
        uint64_t id = todo.back();
        todo.pop_back();
        for (uint32_t layer = 0; layer <= graph.level(id); ++layer) {
          for (uint32_t n : graph.neighbours(id, layer)) {
            if (!seen[n]) todo.push_back(n);
            seen[n] = true;
          }
        }
      }
      EXPECT_EQ(std::count(seen.begin(), seen.end(), true), static_cast<long>(graph.node_count()));
      auto nearest = [&](size_t i) {
        auto hits = hnsw_search(graph, data.vectors[i], 1);
        return hits.empty() ? std::string() : hits[0].key;
      };
      test::Misses misses = test::CountMisses(data, nearest, Key);
      EXPECT_LE(misses.total, data.vectors.size() / 200);
      EXPECT_EQ(misses.outliers, 0u);
    }
  }
}

// The level draw: xorshift64 from the fixed seed, u = ((x >> 11) + 1) 2^-53,
// level = floor(-ln u / ln 16). The entry point is the first node of the
// highest level.
TEST(HnswTest, LevelsFollowTheSeededDrawAndTheEntryIsTheFirstHighest) {
  HnswIndex graph(Metric::kL2, Quantization::kNone);
  uint64_t x = kHnswSeed;
  uint32_t best = 0;
  uint64_t first_best = 0;
  for (int i = 0; i < 2000; ++i) {
    hnsw_insert(graph, Key(i), std::vector<float>{static_cast<float>(i % 17), static_cast<float>(i % 5)});
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    double u = static_cast<double>((x >> 11) + 1) * 0x1p-53;
    auto level = static_cast<uint32_t>(std::floor(-std::log(u) * kHnswLevelMultiplier));
    ASSERT_EQ(graph.level(static_cast<uint64_t>(i)), level) << i;
    if (i == 0 || level > best) {
      best = level;
      first_best = static_cast<uint64_t>(i);
    }
    ASSERT_EQ(graph.entry(), first_best);
  }
}

TEST(HnswTest, SameInsertsBuildTheSameGraph) {
  ClusteredData data_a(4, 16, 3), data_b(4, 16, 3);
  HnswIndex a(Metric::kCosine, Quantization::kNone), b(Metric::kCosine, Quantization::kNone);
  for (int i = 0; i < 1500; ++i) {
    hnsw_insert(a, Key(i), data_a.Next());
    hnsw_insert(b, Key(i), data_b.Next());
  }
  for (uint64_t id = 0; id < a.node_count(); ++id) {
    ASSERT_EQ(a.level(id), b.level(id));
    for (uint32_t layer = 0; layer <= a.level(id); ++layer) {
      auto na = a.neighbours(id, layer), nb = b.neighbours(id, layer);
      ASSERT_TRUE(std::equal(na.begin(), na.end(), nb.begin(), nb.end())) << id;
    }
  }
}

// Random inserts, upserts and removals against a std::map model. With k the
// number of live keys, the results (live nodes only) never fill the search
// width, so the layer-0 search never stops early and examines every node
// reachable from where the descent lands. Neighbour selection and pruning
// can leave a few nodes with no links pointing to them, so not every live
// key need come back; but whatever comes back must be live, unique, at its
// exact distance and in the graph ordering, and nearly all live keys must
// be found.
TEST(HnswTest, MatchesABruteForceModelUnderRandomOperations) {
  for (Metric metric : {Metric::kCosine, Metric::kDot, Metric::kL2}) {
    SCOPED_TRACE(MetricName(metric));
    HnswIndex graph(metric, Quantization::kNone);
    std::map<std::string, std::vector<float>> model;
    Rng rng(static_cast<uint64_t>(metric) + 11);
    for (int step = 0; step < 600; ++step) {
      std::string key = Key(rng.Next() % 120);
      if (rng.Next() % 4 == 0) {
        hnsw_remove_key(graph, key);
        model.erase(key);
      } else {
        std::vector<float> v = {rng.Normal(), rng.Normal(), rng.Normal(), rng.Normal(), rng.Normal()};
        hnsw_insert(graph, key, v);
        model[key] = v;
      }
      ASSERT_EQ(graph.live_count(), model.size());
      ASSERT_EQ(graph.live_count() + graph.tombstone_count(), graph.node_count());
    }
    std::vector<float> q = {rng.Normal(), rng.Normal(), rng.Normal(), rng.Normal(), rng.Normal()};
    auto hits = hnsw_search(graph, q, model.size());
    std::set<std::string> seen;
    for (size_t i = 0; i < hits.size(); ++i) {
      auto it = model.find(hits[i].key);
      ASSERT_NE(it, model.end()) << hits[i].key;
      EXPECT_TRUE(seen.insert(hits[i].key).second) << hits[i].key;
      EXPECT_EQ(hits[i].distance, distance_by_metric(metric, q, it->second));
      if (i > 0) {
        EXPECT_FALSE(TotalLess(hits[i].distance, hits[i - 1].distance));
      }
    }
    EXPECT_GE(hits.size() * 10, model.size() * 8);
  }
}

// The layer search over a store of another shape, as the on-disk graph's
// is: 64-bit ids, neighbour lists held by the store, and a node whose load
// fails; this one keeps its visited set in a std::set.
struct ListStore {
  using Id = uint64_t;
  std::vector<std::vector<uint64_t>> links;
  std::vector<float> distance;
  std::set<uint64_t> visited;
  uint64_t broken = UINT64_MAX;
  bool failed = false;

  void StartVisits() { visited.clear(); }
  bool Visit(Id id) { return visited.insert(id).second; }
  float Distance(Id id) {
    if (id == broken) failed = true;
    return distance[id];
  }
  const std::vector<uint64_t>& Neighbours(Id id, uint32_t) const { return links[id]; }
  bool ok() const { return !failed; }
};

std::vector<uint64_t> Ids(const std::vector<ScoredNode<uint64_t>>& nodes) {
  std::vector<uint64_t> out;
  for (const auto& n : nodes) out.push_back(n.id);
  return out;
}

TEST(HnswTest, LayerSearchOverAnotherStore) {
  ListStore store;
  store.links = {{1, 2}, {3}, {4}, {}, {}};
  store.distance = {5, 3, 4, 2, 1};
  // ef 1 is greedy: 0 -> 1 -> 3; node 4 (behind the farther node 2) is missed.
  EXPECT_EQ(Ids(hnsw_search_layer(store, uint64_t{0}, 1, 0)), (std::vector<uint64_t>{3}));
  // A wide search reaches everything, sorted by distance.
  EXPECT_EQ(Ids(hnsw_search_layer(store, uint64_t{0}, 10, 0)), (std::vector<uint64_t>{4, 3, 1, 2, 0}));
  // A NaN distance is admitted while results are short and sorts last.
  store.distance[2] = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(Ids(hnsw_search_layer(store, uint64_t{0}, 10, 0)), (std::vector<uint64_t>{4, 3, 1, 0, 2}));
  // Nodes not admitted are walked through but hold no place among the ef
  // results: with 3 and 4 refused, ef 2 holds 1 and 2 although 3 and 4 are
  // nearer; with only 4 admitted, even ef 1 walks on until it reaches 4.
  store.distance[2] = 4;
  auto admit = [](uint64_t id) { return id != 3 && id != 4; };
  EXPECT_EQ(Ids(hnsw_search_layer_admitting(store, uint64_t{0}, 2, 0, admit)), (std::vector<uint64_t>{1, 2}));
  auto only_four = [](uint64_t id) { return id == 4; };
  EXPECT_EQ(Ids(hnsw_search_layer_admitting(store, uint64_t{0}, 1, 0, only_four)), (std::vector<uint64_t>{4}));
  // A failed load ends the search; the store keeps the failure.
  store.distance[2] = std::numeric_limits<float>::quiet_NaN();
  store.broken = 3;
  EXPECT_TRUE(hnsw_search_layer(store, uint64_t{0}, 10, 0).empty());
  EXPECT_FALSE(store.ok());
}

// Points on a line whose distances are drawn from a few values, so that
// ties (and, with NaN coordinates, NaN distances) are common: a prune store
// for the selection helpers, with 32- or 64-bit ids.
template <typename IdT>
struct LineStore {
  using Id = IdT;
  std::vector<float> x;
  size_t scored = 0;
  void ScoreFrom(Id from, const Id* ids, size_t n, float* out) {
    scored += n;
    for (size_t i = 0; i < n; ++i) out[i] = std::fabs(x[from] - x[ids[i]]);
  }
  bool ok() const { return true; }
};

template <typename IdT>
void CheckSelectionHelpers(uint32_t seed) {
  using Node = hnsw_internal::HeapNode<IdT>;
  std::mt19937 rng(seed);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> values = {0.0f, -0.0f, 0.5f, 1.0f, 1.0f, 2.5f, 1e30f, -1e-30f, 7.0f, nan};
  for (int round = 0; round < 200; ++round) {
    // Nearest first: every way of selecting must give the sorted prefix.
    const size_t n = 1 + rng() % 300, keep = rng() % (n + 2);
    std::vector<Node> nodes;
    std::vector<IdT> ids(n);
    for (size_t i = 0; i < n; ++i) ids[i] = static_cast<IdT>(i * 7919 % 1000003 + (sizeof(IdT) > 4 ? (1ull << 40) : 0));
    std::shuffle(ids.begin(), ids.end(), rng);
    for (size_t i = 0; i < n; ++i) {
      float d = round % 2 ? values[rng() % values.size()] : static_cast<float>(rng() % 5000) * 0.25f;
      nodes.push_back(Node::Of(d, ids[i]));
    }
    std::vector<Node> want = nodes;
    std::sort(want.begin(), want.end(), hnsw_internal::HeapBeforeOrder{});
    want.resize(std::min(keep, n));
    std::vector<Node> got = nodes;
    hnsw_internal::NearestFirst(got, keep);
    got.resize(want.size());
    for (size_t i = 0; i < want.size(); ++i) {
      ASSERT_EQ(got[i].id, want[i].id) << round << " " << i;
      ASSERT_EQ(std::bit_cast<uint32_t>(got[i].distance), std::bit_cast<uint32_t>(want[i].distance));
      ASSERT_EQ(got[i].order, want[i].order);
    }
    // The worst-first heap after ReplaceTop keeps what a push and a pop keep.
    if (!nodes.empty()) {
      std::vector<Node> heap(nodes.begin(), nodes.begin() + static_cast<ptrdiff_t>(std::min<size_t>(n, 16)));
      std::make_heap(heap.begin(), heap.end(), hnsw_internal::HeapBeforeOrder{});
      std::vector<Node> model = heap;
      for (size_t i = heap.size(); i < n; ++i) {
        if (!hnsw_internal::HeapBefore(nodes[i], heap.front())) continue;
        hnsw_internal::ReplaceTop(heap, nodes[i]);
        model.push_back(nodes[i]);
        std::push_heap(model.begin(), model.end(), hnsw_internal::HeapBeforeOrder{});
        std::pop_heap(model.begin(), model.end(), hnsw_internal::HeapBeforeOrder{});
        model.pop_back();
        ASSERT_TRUE(std::is_heap(heap.begin(), heap.end(), hnsw_internal::HeapBeforeOrder{}));
      }
      std::sort(heap.begin(), heap.end(), hnsw_internal::HeapBeforeOrder{});
      std::sort(model.begin(), model.end(), hnsw_internal::HeapBeforeOrder{});
      for (size_t i = 0; i < heap.size(); ++i) ASSERT_EQ(heap[i].id, model[i].id);
    }
    // A selection resumed over extra candidates in any order keeps what one
    // over the whole sorted list keeps, measuring no pair twice.
    LineStore<IdT> store;
    const size_t points = 2 + rng() % 120;
    for (size_t i = 0; i < points; ++i) store.x.push_back(static_cast<float>(rng() % 64) * 0.5f);
    std::vector<ScoredNode<IdT>> all;
    for (size_t i = 1; i < points; ++i) all.push_back({std::fabs(store.x[0] - store.x[i]), static_cast<IdT>(i)});
    std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return ScoredBefore(a, b); });
    const size_t first = 1 + rng() % all.size(), cap = 1 + rng() % 40;
    std::vector<ScoredNode<IdT>> whole = all;
    const size_t want_kept = HnswSelectNeighbours(store, whole.data(), whole.size(), cap);
    const size_t whole_scored = store.scored;
    store.scored = 0;
    std::vector<ScoredNode<IdT>> part(all.begin(), all.begin() + static_cast<ptrdiff_t>(first));
    size_t kept = HnswSelectNeighbours(store, part.data(), part.size(), cap);
    if (kept < cap) {
      part.resize(kept);
      std::vector<ScoredNode<IdT>> extra(all.begin() + static_cast<ptrdiff_t>(first), all.end());
      std::shuffle(extra.begin(), extra.end(), rng);
      part.insert(part.end(), extra.begin(), extra.end());
      kept = HnswSelectNeighboursFrom(store, part.data(), kept, part.size(), cap);
      ASSERT_EQ(kept, want_kept) << round;
      for (size_t i = 0; i < kept; ++i) ASSERT_EQ(part[i].id, whole[i].id) << round << " " << i;
      EXPECT_LE(store.scored, whole_scored);
    }
  }
}

TEST(HnswTest, SelectionHelpersMatchPlainSorting) {
  CheckSelectionHelpers<uint32_t>(3);
  CheckSelectionHelpers<uint64_t>(4);
}

TEST(HnswTest, NaNVectorsSortLast) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  HnswIndex graph(Metric::kL2, Quantization::kNone);
  hnsw_insert(graph, "nan", std::vector<float>{nan, 0});
  for (int i = 0; i < 20; ++i) hnsw_insert(graph, Key(i), std::vector<float>{static_cast<float>(i), 0});
  auto hits = hnsw_search(graph, std::vector<float>{0, 0}, 21);
  ASSERT_EQ(hits.size(), 21u);
  EXPECT_EQ(hits.back().key, "nan");
  EXPECT_TRUE(std::isnan(hits.back().distance));
  EXPECT_EQ(hits.front().key, "k0");
}

TEST(HnswTest, QuantizedStorageKeepsTheStoredForm) {
  std::vector<float> v = {0.5f, -1, 2, 3};
  HnswIndex binary(Metric::kL2, Quantization::kBinary);
  hnsw_insert(binary, "a", v);
  EXPECT_EQ(binary.stored(0).kind, StoredKind::kCodes);
  EXPECT_EQ(std::vector<uint8_t>(binary.stored(0).codes.begin(), binary.stored(0).codes.end()), quantize_binary(v));
  HnswIndex scalar(Metric::kL2, Quantization::kScalar);
  hnsw_insert(scalar, "a", v);
  EXPECT_EQ(std::vector<uint8_t>(scalar.stored(0).codes.begin(), scalar.stored(0).codes.end()), quantize_scalar(v));
  // Binary distances are Hamming counts.
  hnsw_insert(binary, "b", std::vector<float>{-1, -1, 2, 3});
  auto hits = hnsw_search(binary, std::vector<float>{1, 1, 1, 1}, 2);
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].key, "a");
  EXPECT_EQ(hits[0].distance, 1.0f);
  EXPECT_EQ(hits[1].distance, 2.0f);
}

TEST(HnswTest, ProductCodesUseTheCodebook) {
  std::vector<std::vector<float>> vectors;
  ClusteredData data(3, 8, 4);
  for (int i = 0; i < 300; ++i) vectors.push_back(data.Next());
  auto trained = pq_train(vectors, 4, 16);
  ASSERT_TRUE(trained.has_value());
  auto codebook = std::make_shared<const PqCodebook>(std::move(*trained));
  HnswIndex graph(Metric::kL2, Quantization::kBinary, codebook);  // quant is ignored
  for (size_t i = 0; i < vectors.size(); ++i) hnsw_insert(graph, Key(i), vectors[i]);
  EXPECT_EQ(graph.stored(7).kind, StoredKind::kCodes);
  auto codes = graph.stored(7).codes;
  EXPECT_EQ(std::vector<uint8_t>(codes.begin(), codes.end()), pq_encode(*codebook, vectors[7]));
  auto hits = hnsw_search(graph, vectors[7], 5);
  ASSERT_EQ(hits.size(), 5u);
  PreparedQuery table = prepare_query(codebook.get(), Metric::kL2, Quantization::kNone, vectors[7]);
  auto id = graph.find(hits[0].key);
  ASSERT_TRUE(id.has_value());
  EXPECT_EQ(hits[0].distance,
            pq_code_distance(codebook.get(), Metric::kL2, Quantization::kNone, table.ref(), graph.stored(*id)));
}


namespace {

// A literal transcription of the graph's definition, one distance and one
// heap step at a time, with std::set heaps and a hash-free visited array:
// the structure and the results of HnswIndex must match it exactly.
class ModelGraph {
 public:
  ModelGraph(Metric metric, Quantization quant, std::shared_ptr<const PqCodebook> codebook)
      : metric_(metric), quant_(quant), codebook_(std::move(codebook)) {}

  void Insert(const std::string& key, const std::vector<float>& v) {
    if (auto it = live_.find(key); it != live_.end() && dim_ == v.size()) {
      StoredVector stored = codebook_ ? StoredVector::Codes(pq_encode(*codebook_, v)) : quantize_vector(quant_, v);
      const StoredVector& old = nodes_[it->second].stored;
      bool same = stored.kind == StoredKind::kCodes
                      ? stored.codes == old.codes
                      : std::memcmp(stored.f32.data(), old.f32.data(), stored.f32.size() * sizeof(float)) == 0;
      if (same) return;
    }
    const auto replaced = live_.find(key);
    const std::optional<uint64_t> old =
        replaced != live_.end() ? std::optional<uint64_t>(replaced->second) : std::nullopt;
    Remove(key);
    if (old) {
      // A removed entry point moves to the first live node of its lists,
      // top layer first; what the old node anchored is anchored anew.
      const bool was_entry = entry_ == *old;
      if (was_entry) {
        bool moved = false;
        for (uint32_t l = Level(*old) + 1; l-- > 0 && !moved;) {
          for (uint64_t v : nodes_[*old].layers[l]) {
            if (Live(v)) {
              entry_ = v;
              moved = true;
              break;
            }
          }
        }
      }
      for (uint32_t l = 0; l <= Level(*old); ++l) {
        const std::vector<uint64_t> list = nodes_[*old].layers[l];
        for (uint64_t w : list) KeepLinked(w, l, was_entry ? w : *old);
      }
    }
    if (dim_ && *dim_ != v.size()) return;
    if (!dim_) dim_ = v.size();
    // "dot" links by a distance of its own (HnswLinkMetric).
    const Metric link = HnswLinkMetric(metric_);
    PreparedQuery q = prepare_query(codebook_.get(), link, quant_, v);
    uint32_t level = DrawLevel();
    std::vector<std::tuple<uint32_t, uint64_t, uint64_t>> unlinked;  // (layer, node, from)
    Node node;
    node.stored = codebook_ ? StoredVector::Codes(pq_encode(*codebook_, v)) : quantize_vector(quant_, v);
    node.layers.resize(level + 1);
    uint64_t id = nodes_.size();
    nodes_.push_back(std::move(node));
    if (entry_) {
      uint64_t ep = *entry_;
      uint32_t top = Level(ep);
      for (uint32_t l = top; l > level; --l) {
        ep = SearchLayer(q, ep, 1, l, stamps_, epoch_, false, {}, link).front().id;
      }
      for (uint32_t l = std::min(top, level) + 1; l-- > 0;) {
        auto w = SearchLayer(q, ep, kHnswEfConstruction, l, stamps_, epoch_, false, {}, link);
        if (w.empty()) continue;
        const uint64_t nearest = w.front().id;
        size_t cap = l > 0 ? kHnswM : kHnswM0;
        // "dot": the hubs first, from the candidates and the lists of the
        // hubs they alone give; the rest is selected from the others.
        std::vector<uint64_t> hubs;
        if (metric_ == Metric::kDot) {
          std::set<uint64_t> pool{id};
          for (const auto& c : w) pool.insert(c.id);
          std::vector<ScoredNode<uint64_t>> more;
          for (uint64_t h : Hubs(id, w, cap)) {
            for (uint64_t v : nodes_[h].layers[l]) {
              if (pool.insert(v).second) more.push_back({Distance(q, v, link), v});
            }
          }
          more.insert(more.end(), w.begin(), w.end());
          hubs = Hubs(id, more, cap);
          std::erase_if(w, [&](const auto& c) { return std::ranges::find(hubs, c.id) != hubs.end(); });
          cap -= HnswHubSlots(cap);
        }
        nodes_[id].layers[l] = Select(w, cap);
        if (nodes_[id].layers[l].size() < kHnswWidenBelow && !w.empty()) {
          // Widened by every node the candidates' lists name, nearest
          // kHnswWidenedCandidates chosen from again.
          std::set<uint64_t> seen{id};
          for (const auto& c : w) seen.insert(c.id);
          for (uint64_t h : hubs) seen.insert(h);
          const size_t found = w.size();
          for (size_t j = 0; j < found; ++j) {
            for (uint64_t v : nodes_[w[j].id].layers[l]) {
              if (seen.insert(v).second) w.push_back({Distance(q, v, link), v});
            }
          }
          std::sort(w.begin(), w.end(), ScoredBefore<uint64_t>);
          if (w.size() > kHnswWidenedCandidates) w.resize(kHnswWidenedCandidates);
          nodes_[id].layers[l] = Select(w, cap);
        }
        for (uint64_t h : hubs) nodes_[id].layers[l].push_back(h);
        cap = l > 0 ? kHnswM : kHnswM0;
        for (uint64_t n : nodes_[id].layers[l]) {
          nodes_[n].layers[l].push_back(id);
          if (nodes_[n].layers[l].size() <= cap) continue;
          const std::vector<uint64_t> before = nodes_[n].layers[l];
          Prune(n, l, cap);
          for (uint64_t v : before) {
            if (v != id && std::ranges::find(nodes_[n].layers[l], v) == nodes_[n].layers[l].end()) {
              unlinked.push_back({l, v, n});
            }
          }
        }
        unlinked.push_back({l, id, id});
        ep = nearest;
      }
      if (level > top) {
        // The old entry point and what it links to may need anchors now.
        for (uint32_t l = 0; l <= top; ++l) {
          unlinked.push_back({l, *entry_, *entry_});
          for (uint64_t v : nodes_[*entry_].layers[l]) unlinked.push_back({l, v, v});
        }
        entry_ = id;
      }
    } else {
      entry_ = id;
    }
    slots_.push_back(key);
    live_[key] = id;
    for (const auto& [l, v, from] : unlinked) KeepLinked(v, l, from);
  }

  void Remove(const std::string& key) {
    auto it = live_.find(key);
    if (it == live_.end()) return;
    slots_[it->second].reset();
    live_.erase(it);
  }

  std::vector<HnswHit> Search(const std::vector<float>& query, uint64_t k) const {
    if (k == 0 || (dim_ && *dim_ != query.size()) || !entry_) return {};
    PreparedQuery q = prepare_query(codebook_.get(), metric_, quant_, query);
    std::vector<uint32_t> stamps;
    uint32_t epoch = 0;
    uint64_t ep = *entry_;
    for (uint32_t l = Level(ep); l >= 1; --l) ep = SearchLayer(q, ep, 1, l, stamps, epoch).front().id;
    auto w = SearchLayer(q, ep, std::max<uint64_t>({4 * k, k, 64}), 0, stamps, epoch, true, *entry_);
    std::vector<HnswHit> out;
    for (size_t i = 0; i < std::min<uint64_t>(k, w.size()); ++i) out.push_back({*slots_[w[i].id], w[i].distance});
    return out;
  }

  size_t size() const { return nodes_.size(); }
  uint32_t Level(uint64_t id) const { return static_cast<uint32_t>(nodes_[id].layers.size() - 1); }
  const std::vector<uint64_t>& Links(uint64_t id, uint32_t l) const { return nodes_[id].layers[l]; }
  std::optional<uint64_t> entry() const { return entry_; }

 private:
  struct Node {
    StoredVector stored;
    std::vector<std::vector<uint64_t>> layers;
  };
  using Pair = std::pair<int32_t, uint64_t>;  // (total-order key, id)

  uint32_t DrawLevel() {
    rng_ ^= rng_ << 13;
    rng_ ^= rng_ >> 7;
    rng_ ^= rng_ << 17;
    double u = static_cast<double>((rng_ >> 11) + 1) * 0x1p-53;
    return static_cast<uint32_t>(std::floor(-std::log(u) * kHnswLevelMultiplier));
  }

  float Distance(const PreparedQuery& q, uint64_t id) const {
    return pq_code_distance(codebook_.get(), metric_, quant_, q.ref(), nodes_[id].stored.ref());
  }
  float Distance(const PreparedQuery& q, uint64_t id, Metric metric) const {
    return pq_code_distance(codebook_.get(), metric, quant_, q.ref(), nodes_[id].stored.ref());
  }
  Metric LinkMetric() const { return HnswLinkMetric(metric_); }
  float Between(uint64_t from, uint64_t to) const { return Distance(Own(from), to, LinkMetric()); }

  // With live_only, tombstones are queued as candidates but never enter
  // the results, and the tests against the worst result use the worst
  // live one.
  // With `also`, a second start: queued (and admitted) right after ep.
  // Inserts measure by `metric` (the link metric); searches by the graph's.
  std::vector<ScoredNode<uint64_t>> SearchLayer(const PreparedQuery& q, uint64_t ep, uint64_t ef, uint32_t l,
                                                std::vector<uint32_t>& stamps, uint32_t& epoch,
                                                bool live_only = false, std::optional<uint64_t> also = {},
                                                std::optional<Metric> metric = {}) const {
    stamps.resize(nodes_.size(), 0);
    if (epoch == UINT32_MAX) {
      std::fill(stamps.begin(), stamps.end(), 0);
      epoch = 1;
    } else {
      ++epoch;
    }
    std::map<uint64_t, float> dist;
    auto pair = [&](uint64_t id) { return Pair{TotalOrderKey(dist[id]), id}; };
    auto measure = [&](uint64_t id) { return Distance(q, id, metric.value_or(metric_)); };
    dist[ep] = measure(ep);
    auto admitted = [&](uint64_t id) { return !live_only || slots_[id].has_value(); };
    std::set<Pair> candidates{pair(ep)}, results;
    if (admitted(ep)) results.insert(pair(ep));
    stamps[ep] = epoch;
    if (also && *also != ep) {
      dist[*also] = measure(*also);
      stamps[*also] = epoch;
      candidates.insert(pair(*also));
      if (admitted(*also)) results.insert(pair(*also));
      if (results.size() > ef) results.erase(std::prev(results.end()));
    }
    while (!candidates.empty()) {
      uint64_t c = candidates.begin()->second;
      candidates.erase(candidates.begin());
      if (results.size() >= ef && dist[c] > dist[results.rbegin()->second]) break;
      if (l >= nodes_[c].layers.size()) continue;
      for (uint64_t v : nodes_[c].layers[l]) {
        if (stamps[v] == epoch) continue;
        stamps[v] = epoch;
        dist[v] = measure(v);
        if (results.size() < ef || dist[v] < dist[results.rbegin()->second]) {
          candidates.insert(pair(v));
          if (!admitted(v)) continue;
          results.insert(pair(v));
          if (results.size() > ef) results.erase(std::prev(results.end()));
        }
      }
    }
    std::vector<ScoredNode<uint64_t>> out;
    for (const Pair& p : results) out.push_back({dist[p.second], p.second});
    return out;
  }

  // Node n's own stored vector as a query.
  PreparedQuery Own(uint64_t n) const {
    PreparedQuery own;
    if (codebook_) {
      own.kind = QueryKind::kPqRaw;
      if (nodes_[n].stored.kind == StoredKind::kCodes) {
        if (auto decoded = pq_decode(*codebook_, nodes_[n].stored.codes)) own.floats = *decoded;
      }
    } else {
      own = query_from_stored(quant_, nodes_[n].stored.ref());
    }
    return own;
  }

  // Candidates nearest first; one is kept unless a node kept before it is
  // strictly nearer to it than the base is, up to cap; of the copies of
  // the base (distance <= 0), two at most.
  std::vector<uint64_t> Select(const std::vector<ScoredNode<uint64_t>>& sorted, size_t cap) const {
    std::vector<uint64_t> kept;
    size_t copies = 0;
    for (const auto& candidate : sorted) {
      if (kept.size() == cap) break;
      bool covered = false;
      for (uint64_t r : kept) covered = covered || Between(r, candidate.id) < candidate.distance;
      if (covered) continue;
      if (candidate.distance <= 0.0f && copies++ >= 2) continue;
      kept.push_back(candidate.id);
    }
    return kept;
  }

  bool Live(uint64_t id) const { return slots_[id].has_value(); }

  // y may anchor w: y is the entry point, or w is not and y was made first.
  bool Before(uint64_t y, uint64_t w) const { return entry_ == y || (entry_ != w && y < w); }

  // Some live node before w among w's neighbours on layer l, other than
  // except, links to w (the entry point needs no link).
  bool LinkedNear(uint64_t w, uint32_t l, uint64_t except) const {
    if (entry_ == w) return true;
    for (uint64_t y : nodes_[w].layers[l]) {
      if (y == except || y == w || !Live(y) || Level(y) < l || !Before(y, w)) continue;
      if (std::ranges::find(nodes_[y].layers[l], w) != nodes_[y].layers[l].end()) return true;
    }
    return false;
  }

  // w into y's list: appended below the cap, else in place of one of the
  // last `tries` ids that is removed or LinkedNear without y.
  bool TakeInto(uint64_t y, uint64_t w, uint32_t l, size_t tries) {
    if (Level(y) < l) return false;
    std::vector<uint64_t>& list = nodes_[y].layers[l];
    if (std::ranges::find(list, w) != list.end()) return true;
    if (list.size() < (l > 0 ? kHnswM : kHnswM0)) {
      list.push_back(w);
      return true;
    }
    for (size_t i = list.size(), tried = 0; i-- > 0 && tried < tries; ++tried) {
      if (!Live(list[i]) || LinkedNear(list[i], l, y)) {
        list[i] = w;
        return true;
      }
    }
    return false;
  }

  // A live node that may have lost its anchor gets one: failing
  // LinkedNear, the nearest of up to 8 live nodes before it around it that
  // takes it (TakeInto, 8 tries), else the first live node before it that
  // takes it in a breadth-first walk from the entry point (any id).
  // A link from a node not before w was never its anchor (except == w:
  // checked whatever took the link away).
  void KeepLinked(uint64_t w, uint32_t l, uint64_t except) {
    if (!Live(w) || Level(w) < l) return;
    if (except != w && !Before(except, w)) return;
    if (LinkedNear(w, l, except)) return;
    std::set<uint64_t> around;
    for (uint64_t v : nodes_[w].layers[l]) {
      if (Level(v) < l) continue;
      if (Live(v)) {
        around.insert(v);
      } else {
        around.insert(nodes_[v].layers[l].begin(), nodes_[v].layers[l].end());
      }
    }
    std::vector<ScoredNode<uint64_t>> hosts;
    for (uint64_t y : around) {
      if (y != w && y != except && Live(y) && Level(y) >= l && Before(y, w)) hosts.push_back({Between(w, y), y});
    }
    std::sort(hosts.begin(), hosts.end(), ScoredBefore<uint64_t>);
    std::vector<uint64_t> tried;
    for (size_t h = 0; h < hosts.size() && h < 8; ++h) {
      tried.push_back(hosts[h].id);
      if (TakeInto(hosts[h].id, w, l, 8)) return;
    }
    std::vector<uint64_t> todo;
    if (Level(*entry_) >= l) todo.push_back(*entry_);
    std::set<uint64_t> seen{*entry_};
    for (size_t at = 0; at < todo.size(); ++at) {
      const uint64_t y = todo[at];
      if (y != w && Live(y) && Before(y, w)) {
        tried.push_back(y);
        if (TakeInto(y, w, l, l > 0 ? kHnswM : kHnswM0)) return;
      }
      for (uint64_t v : nodes_[y].layers[l]) {
        if (Level(v) >= l && seen.insert(v).second) todo.push_back(v);
      }
    }
    // Every list tried is full of nodes anchored there alone: w takes the
    // place of the last node after it in the first such list, which is
    // anchored in turn.
    for (uint64_t y : tried) {
      std::vector<uint64_t>& list = nodes_[y].layers[l];
      for (size_t i = list.size(); i-- > 0;) {
        if (list[i] == w || !Before(w, list[i])) continue;
        const uint64_t z = list[i];
        list[i] = w;
        KeepLinked(z, l, y);
        return;
      }
    }
  }

  // "dot": the hub places (the half of the list of largest dot product
  // with the node, copies of it left out) are taken first; selection
  // fills the rest from the other ids, and the hubs follow.
  void Prune(uint64_t n, uint32_t l, size_t cap) {
    std::vector<ScoredNode<uint64_t>> pairs;
    for (uint64_t id : nodes_[n].layers[l]) pairs.push_back({Between(n, id), id});
    std::sort(pairs.begin(), pairs.end(), ScoredBefore<uint64_t>);
    std::vector<uint64_t> hubs;
    if (metric_ == Metric::kDot) {
      hubs = Hubs(n, pairs, cap);
      std::erase_if(pairs, [&](const auto& c) { return std::ranges::find(hubs, c.id) != hubs.end(); });
      cap -= cap * 5 / 8;
    }
    nodes_[n].layers[l] = Select(pairs, cap);
    for (uint64_t h : hubs) nodes_[n].layers[l].push_back(h);
  }

  // Of the candidates (with their link distances from n), cap * 5 / 8 of the
  // largest dot product with n's own vector, largest first, equal ones by
  // id; never a copy of n (link distance <= 0).
  std::vector<uint64_t> Hubs(uint64_t n, const std::vector<ScoredNode<uint64_t>>& candidates, size_t cap) const {
    std::vector<ScoredNode<uint64_t>> by_dot;
    for (const auto& c : candidates) {
      if (!(c.distance <= 0.0f)) by_dot.push_back({Distance(Own(n), c.id, Metric::kDot), c.id});
    }
    std::sort(by_dot.begin(), by_dot.end(), ScoredBefore<uint64_t>);
    std::vector<uint64_t> out;
    for (size_t i = 0; i < by_dot.size() && out.size() < cap * 5 / 8; ++i) out.push_back(by_dot[i].id);
    return out;
  }

  Metric metric_;
  Quantization quant_;
  std::shared_ptr<const PqCodebook> codebook_;
  uint64_t rng_ = kHnswSeed;
  std::optional<size_t> dim_;
  std::optional<uint64_t> entry_;
  std::vector<Node> nodes_;
  std::vector<std::optional<std::string>> slots_;
  std::map<std::string, uint64_t> live_;
  std::vector<uint32_t> stamps_;
  uint32_t epoch_ = 0;
};

void ExpectSameGraph(const HnswIndex& graph, const ModelGraph& model) {
  ASSERT_EQ(graph.node_count(), model.size());
  ASSERT_EQ(graph.entry(), model.entry());
  for (uint64_t id = 0; id < model.size(); ++id) {
    ASSERT_EQ(graph.level(id), model.Level(id)) << id;
    for (uint32_t l = 0; l <= model.Level(id); ++l) {
      auto got = graph.neighbours(id, l);
      ASSERT_EQ(std::vector<uint64_t>(got.begin(), got.end()), model.Links(id, l)) << "node " << id << " layer " << l;
    }
  }
}

void ExpectSameHits(const std::vector<HnswHit>& got, const std::vector<HnswHit>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].key, want[i].key) << i;
    EXPECT_EQ(std::bit_cast<uint32_t>(got[i].distance), std::bit_cast<uint32_t>(want[i].distance)) << i;
  }
}

}  // namespace

// Small integer coordinates make equal distances common, so every tie rule
// (node id on equal distances, strict admission, the stop test) is
// exercised; upserts, removals and wrong-length vectors mix in tombstones.
TEST(HnswTest, MatchesALiteralModelOfTheGraph) {
  std::vector<std::vector<float>> training;
  Rng train_rng(3);
  for (int i = 0; i < 64; ++i) {
    std::vector<float> v(4);
    for (float& x : v) x = static_cast<float>(train_rng.Next() % 3);
    training.push_back(v);
  }
  auto trained = pq_train(training, 2, 4);
  ASSERT_TRUE(trained.has_value());
  auto codebook = std::make_shared<const PqCodebook>(std::move(*trained));
  struct Setup {
    Metric metric;
    Quantization quant;
    bool product;
  };
  for (Setup s : {Setup{Metric::kL2, Quantization::kNone, false}, Setup{Metric::kCosine, Quantization::kNone, false},
                  Setup{Metric::kDot, Quantization::kNone, false}, Setup{Metric::kL2, Quantization::kBinary, false},
                  Setup{Metric::kCosine, Quantization::kScalar, false}, Setup{Metric::kL2, Quantization::kNone, true},
                  Setup{Metric::kDot, Quantization::kNone, true}}) {
    SCOPED_TRACE(std::string(MetricName(s.metric)) + " " + std::string(QuantizationName(s.quant)) +
                 (s.product ? " product" : ""));
    auto book = s.product ? codebook : nullptr;
    HnswIndex graph(s.metric, s.quant, book);
    ModelGraph model(s.metric, s.quant, book);
    Rng rng(static_cast<uint64_t>(s.metric) * 7 + static_cast<uint64_t>(s.quant) + (s.product ? 100 : 0));
    for (int step = 0; step < 400; ++step) {
      std::string key = Key(rng.Next() % 250);
      uint64_t op = rng.Next() % 20;
      if (op == 0) {
        hnsw_remove_key(graph, key);
        model.Remove(key);
        continue;
      }
      std::vector<float> v(op == 1 ? 3 : 4);
      for (float& x : v) x = static_cast<float>(static_cast<int>(rng.Next() % 5) - 2);
      hnsw_insert(graph, key, v);
      model.Insert(key, v);
    }
    ExpectSameGraph(graph, model);
    for (int i = 0; i < 10; ++i) {
      std::vector<float> q(4);
      for (float& x : q) x = static_cast<float>(static_cast<int>(rng.Next() % 5) - 2);
      for (uint64_t k : {1u, 5u, 40u}) ExpectSameHits(hnsw_search(graph, q, k), model.Search(q, k));
    }
  }
}

// A search over a graph whose every node holds a live key skips the test
// for tombstones; it must answer as the model does, before any key goes,
// after a removal and a replacement (tombstones present), and once every
// key is back in a graph whose tombstones remain.
TEST(HnswTest, SearchesWithAndWithoutTombstonesMatchTheModel) {
  for (Metric metric : {Metric::kCosine, Metric::kL2, Metric::kDot}) {
    SCOPED_TRACE(std::string(MetricName(metric)));
    HnswIndex graph(metric, Quantization::kNone);
    ModelGraph model(metric, Quantization::kNone, nullptr);
    Rng rng(static_cast<uint64_t>(metric) + 41);
    auto vector = [&rng] {
      std::vector<float> v(8);
      for (float& x : v) x = static_cast<float>(static_cast<int>(rng.Next() % 7) - 3);
      return v;
    };
    auto expect_same = [&](const char* stage) {
      SCOPED_TRACE(stage);
      for (int i = 0; i < 12; ++i) {
        const std::vector<float> q = vector();
        for (uint64_t k : {1u, 7u, 30u}) ExpectSameHits(hnsw_search(graph, q, k), model.Search(q, k));
      }
    };
    for (int i = 0; i < 200; ++i) {
      const std::vector<float> v = vector();
      hnsw_insert(graph, Key(i), v);
      model.Insert(Key(i), v);
    }
    ASSERT_EQ(graph.tombstone_count(), 0u);
    expect_same("every node live");
    hnsw_remove_key(graph, Key(3));
    model.Remove(Key(3));
    const std::vector<float> moved = vector();
    hnsw_insert(graph, Key(5), moved);
    model.Insert(Key(5), moved);
    expect_same("a removal and a replacement");
    const std::vector<float> back = vector();
    hnsw_insert(graph, Key(3), back);
    model.Insert(Key(3), back);
    expect_same("every key back");
  }
}

// Enough nodes of twelve small integer coordinates that neighbour lists fill
// and are pruned over and over, mostly lists a selection kept and then
// appended to: pruning them skips the tests among the ids a selection
// kept, and must keep exactly the lists that selecting anew keeps.
// Removals mix in lists the repair sets, of which nothing is known.
TEST(HnswTest, PruningSelectedListsMatchesTheModel) {
  for (Metric metric : {Metric::kL2, Metric::kCosine, Metric::kDot}) {
    SCOPED_TRACE(std::string(MetricName(metric)));
    HnswIndex graph(metric, Quantization::kNone);
    ModelGraph model(metric, Quantization::kNone, nullptr);
    Rng rng(static_cast<uint64_t>(metric) + 11);
    for (int step = 0; step < 900; ++step) {
      std::string key = Key(rng.Next() % 800);
      if (rng.Next() % 30 == 0) {
        hnsw_remove_key(graph, key);
        model.Remove(key);
        continue;
      }
      std::vector<float> v(12);
      for (float& x : v) x = static_cast<float>(static_cast<int>(rng.Next() % 5) - 2);
      hnsw_insert(graph, key, v);
      model.Insert(key, v);
    }
    ExpectSameGraph(graph, model);
    for (int i = 0; i < 10; ++i) {
      std::vector<float> q(12);
      for (float& x : q) x = static_cast<float>(static_cast<int>(rng.Next() % 5) - 2);
      ExpectSameHits(hnsw_search(graph, q, 10), model.Search(q, 10));
    }
  }
}

}  // namespace
}  // namespace pallix
