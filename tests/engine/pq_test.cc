#include "vector/pq.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

namespace pallix {
namespace {

std::vector<std::vector<float>> RandomVectors(size_t n, size_t dim, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  std::vector<std::vector<float>> out(n, std::vector<float>(dim));
  for (size_t i = 0; i < n; ++i) {
    // A few clusters, so that k-means has structure to find and moves for
    // several iterations.
    float offset = static_cast<float>(i % 5) * 3.0f;
    for (auto& x : out[i]) x = offset + uniform(rng);
  }
  return out;
}

bool SameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

TEST(PqTest, InvalidShapesTrainNothing) {
  auto good = RandomVectors(10, 12, 1);
  EXPECT_FALSE(pq_train({}, 3, 4).has_value());
  EXPECT_FALSE(pq_train(good, 0, 4).has_value());
  EXPECT_FALSE(pq_train(good, 3, 1).has_value());
  EXPECT_FALSE(pq_train(good, 3, 257).has_value());
  // A k that would look valid once cut to 32 bits.
  EXPECT_FALSE(pq_train(good, 3, (uint64_t{1} << 32) + 2).has_value());
  EXPECT_FALSE(pq_train(good, (uint64_t{1} << 32) + 3, 4).has_value());
  EXPECT_FALSE(pq_train(RandomVectors(10, 10, 1), 3, 4).has_value());  // 10 % 3 != 0
  std::vector<std::vector<float>> empty_first = {{}, {1, 2, 3}};
  EXPECT_FALSE(pq_train(empty_first, 1, 2).has_value());
  auto ragged = good;
  ragged[7].push_back(1.0f);
  EXPECT_FALSE(pq_train(ragged, 3, 4).has_value());
}

TEST(PqTest, AcceptedShapes) {
  auto vectors = RandomVectors(20, 12, 2);
  auto cb = pq_train(vectors, 3, 2);
  ASSERT_TRUE(cb.has_value());
  EXPECT_EQ(cb->m, 3u);
  EXPECT_EQ(cb->k, 2u);
  EXPECT_EQ(cb->subspace_dim, 4u);
  EXPECT_EQ(cb->dim, 12u);
  EXPECT_EQ(cb->centroids.size(), 3u * 2u * 4u);
  auto wide = pq_train(vectors, 12, 256);
  ASSERT_TRUE(wide.has_value());
  EXPECT_EQ(wide->subspace_dim, 1u);
  EXPECT_EQ(wide->centroids.size(), 12u * 256u);
}

TEST(PqTest, InitialCentroidsRepeatWhenKExceedsN) {
  // Slices 0, 10, 20 with k = 8 start as slices 0,0,0,1,1,1,2,2. Each slice
  // is nearest to the first copy of itself (ties go to the lower index);
  // clusters that never win keep their initial centroid.
  std::vector<float> slices = {0, 10, 20};
  std::vector<float> centroids = pq_kmeans(slices, 3, 8, 1, nullptr);
  EXPECT_EQ(centroids, (std::vector<float>{0, 0, 0, 10, 10, 10, 20, 20}));
}

TEST(PqTest, KMeansMovesCentroidsToMeans) {
  // Two groups; initial centroids are slices 0 and 2 (j * n / k).
  std::vector<float> slices = {0, 0, 1, 1, 10, 10, 11, 11};
  std::vector<float> centroids = pq_kmeans(slices, 4, 2, 2, nullptr);
  EXPECT_EQ(centroids, (std::vector<float>{0.5f, 0.5f, 10.5f, 10.5f}));
}

TEST(PqTest, NearestCentroidTiesGoToTheLowestIndex) {
  std::vector<float> table = {1, 1, -1, -1, 1, 1};  // three centroids of dim 2
  EXPECT_EQ(pq_nearest_centroid(std::vector<float>{0, 0}, table, 2), 0u);
  EXPECT_EQ(pq_nearest_centroid(std::vector<float>{-1, -1}, table, 2), 1u);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(pq_nearest_centroid(std::vector<float>{nan, 0}, table, 2), 0u);
  EXPECT_EQ(pq_nearest_centroid(std::vector<float>{0, 0}, {}, 2), 0u);
  EXPECT_EQ(pq_nearest_centroid(std::vector<float>{0, 0}, table, 0), 0u);
  // A short slice compares only its own components.
  EXPECT_EQ(pq_nearest_centroid(std::vector<float>{-1}, table, 2), 1u);
}

// The assignment scores several centroids at once; it must pick what the
// one-at-a-time scan picks, ties, NaN and infinities included.
TEST(PqTest, BatchedAssignmentMatchesTheNearestCentroidScan) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> small(-3, 3);
  const float specials[] = {std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::quiet_NaN(), -0.0f};
  for (uint32_t k : {1u, 3u, 8u, 13u, 256u}) {
    for (uint32_t sd : {1u, 2u, 5u}) {
      size_t n = 300;
      std::vector<float> slices(n * sd), table(size_t{k} * sd);
      // Small integers make exact ties common.
      for (auto& x : slices) x = rng() % 40 == 0 ? specials[rng() % 4] : static_cast<float>(small(rng));
      for (auto& x : table) x = rng() % 60 == 0 ? specials[rng() % 4] : static_cast<float>(small(rng)) * 0.5f;
      std::vector<uint32_t> got = PqAssignNearest(slices, n, table, k, sd, nullptr);
      ASSERT_EQ(got.size(), n);
      for (size_t i = 0; i < n; ++i) {
        std::span<const float> slice(slices.data() + i * sd, sd);
        ASSERT_EQ(got[i], pq_nearest_centroid(slice, table, sd)) << "k " << k << " sd " << sd << " slice " << i;
      }
    }
  }
}

TEST(PqTest, EncodeDecodeAndTables) {
  auto vectors = RandomVectors(50, 8, 3);
  auto cb = pq_train(vectors, 4, 8);
  ASSERT_TRUE(cb.has_value());
  for (const auto& v : vectors) {
    std::vector<uint8_t> codes = pq_encode(*cb, v);
    ASSERT_EQ(codes.size(), 4u);
    auto decoded = pq_decode(*cb, codes);
    ASSERT_TRUE(decoded.has_value());
    for (uint32_t s = 0; s < 4; ++s) {
      ASSERT_LT(codes[s], 8);
      std::span<const float> slice(v.data() + s * 2, 2);
      EXPECT_EQ(codes[s], pq_nearest_centroid(slice, cb->table(s), 2));
      EXPECT_EQ((*decoded)[s * 2], cb->centroid(s, codes[s])[0]);
    }
    auto table = pq_distance_table(*cb, v);
    ASSERT_TRUE(table.has_value());
    ASSERT_EQ(table->size(), 4u * 8u);
    // The own code is the smallest entry of each row.
    for (uint32_t s = 0; s < 4; ++s) {
      for (uint32_t c = 0; c < 8; ++c) EXPECT_LE((*table)[s * 8 + codes[s]], (*table)[s * 8 + c]);
    }
  }
}

TEST(PqTest, WrongLengthsEncodeAsZerosAndHaveNoTable) {
  auto cb = pq_train(RandomVectors(30, 8, 4), 2, 4);
  ASSERT_TRUE(cb.has_value());
  EXPECT_EQ(pq_encode(*cb, std::vector<float>(7, 1.0f)), std::vector<uint8_t>(2, 0));
  EXPECT_FALSE(pq_distance_table(*cb, std::vector<float>(9, 1.0f)).has_value());
  EXPECT_FALSE(pq_decode(*cb, std::vector<uint8_t>{0}).has_value());
  EXPECT_FALSE(pq_decode(*cb, std::vector<uint8_t>{0, 0, 0}).has_value());
  EXPECT_FALSE(pq_decode(*cb, std::vector<uint8_t>{0, 4}).has_value());  // code not below k
}

TEST(PqTest, TeamSizeRule) {
  EXPECT_EQ(PqTeamSize(511, 8), 1u);
  EXPECT_EQ(PqTeamSize(512, 8), 8u);
  EXPECT_EQ(PqTeamSize(512, 64), 8u);
  EXPECT_EQ(PqTeamSize(512, 3), 3u);
  EXPECT_EQ(PqTeamSize(100000, 1), 1u);
  EXPECT_EQ(PqTeamSize(100000, 0), 1u);  // processor count unknown
}

// The assignment step on the team must give the sequential codebook bit for
// bit, whatever the number of members.
TEST(PqTest, TeamTrainingMatchesSequentialBitForBit) {
  for (size_t n : {size_t{512}, size_t{1500}}) {
    auto vectors = RandomVectors(n, 16, static_cast<uint32_t>(n));
    auto sequential = pq_train(vectors, 4, 32, 1);
    ASSERT_TRUE(sequential.has_value());
    for (size_t processors : {size_t{2}, size_t{3}, size_t{8}}) {
      SCOPED_TRACE(processors);
      auto parallel = pq_train(vectors, 4, 32, processors);
      ASSERT_TRUE(parallel.has_value());
      EXPECT_TRUE(SameBits(parallel->centroids, sequential->centroids));
    }
  }
}

// k-means written out step by step: initial centroids, at most 16 rounds
// of assignment (nearest, ties to the lower index) and update (mean of the
// cluster, empty clusters kept), stopping after the first round that
// changed no assignment, its update included.
std::vector<float> ModelKMeans(const std::vector<float>& slices, size_t n, uint32_t k, uint32_t sd, int* rounds) {
  std::vector<float> centroids(size_t{k} * sd, 0.0f);
  for (uint32_t j = 0; j < k; ++j)
    for (uint32_t d = 0; d < sd; ++d) centroids[j * sd + d] = slices[((size_t{j} * n / k) % n) * sd + d];
  std::vector<uint32_t> assignment(n, 0);
  *rounds = 0;
  for (int round = 0; round < 16; ++round) {
    ++*rounds;
    bool changed = false;
    for (size_t i = 0; i < n; ++i) {
      float best = std::numeric_limits<float>::infinity();
      uint32_t best_index = 0;
      for (uint32_t c = 0; c < k; ++c) {
        float sum = 0.0f;
        for (uint32_t d = 0; d < sd; ++d) {
          float diff = slices[i * sd + d] - centroids[c * sd + d];
          sum += diff * diff;
        }
        if (sum < best) best = sum, best_index = c;
      }
      changed |= best_index != assignment[i];
      assignment[i] = best_index;
    }
    for (uint32_t c = 0; c < k; ++c) {
      std::vector<float> sum(sd, 0.0f);
      uint64_t count = 0;
      for (size_t i = 0; i < n; ++i) {
        if (assignment[i] != c) continue;
        ++count;
        for (uint32_t d = 0; d < sd; ++d) sum[d] += slices[i * sd + d];
      }
      if (count == 0) continue;
      for (uint32_t d = 0; d < sd; ++d) centroids[c * sd + d] = sum[d] / static_cast<float>(count);
    }
    if (!changed) break;
  }
  return centroids;
}

TEST(PqTest, KMeansMatchesAStepByStepModel) {
  std::mt19937 rng(5);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  bool saw_cap = false, saw_early_stop = false;
  for (int trial = 0; trial < 40; ++trial) {
    size_t n = 20 + rng() % 300;
    uint32_t k = 2 + rng() % 30, sd = 1 + rng() % 4;
    std::vector<float> slices(n * sd);
    for (auto& x : slices) x = trial % 3 == 0 ? static_cast<float>(static_cast<int>(rng() % 7) - 3) : normal(rng);
    int rounds = 0;
    std::vector<float> want = ModelKMeans(slices, n, k, sd, &rounds);
    saw_cap |= rounds == 16;
    saw_early_stop |= rounds < 16;
    EXPECT_TRUE(SameBits(pq_kmeans(slices, n, k, sd, nullptr), want)) << "trial " << trial;
  }
  EXPECT_TRUE(saw_cap);
  EXPECT_TRUE(saw_early_stop);
}

}  // namespace
}  // namespace pallix
