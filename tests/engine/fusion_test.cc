#include "query/fusion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <random>

#include "base/lock.h"
#include "tests/engine/test_util.h"

namespace pallix {
namespace {

using test::Doc;

const float kInfF = std::numeric_limits<float>::infinity();

std::vector<std::string> KeysOf(const std::vector<FusedEntry>& fused) {
  std::vector<std::string> out;
  for (const auto& e : fused) out.push_back(e.key);
  return out;
}

TEST(Fusion, OneSourceScoresByPosition) {
  auto fused = fuse_rrf({{"a", "b", "c"}}, 60.0f);
  ASSERT_EQ(KeysOf(fused), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(fused[0].score, 1.0f / 61.0f);
  EXPECT_EQ(fused[1].score, 1.0f / 62.0f);
  EXPECT_EQ(fused[2].score, 1.0f / 63.0f);
  EXPECT_EQ(fuse_rrf({{"x"}}, 1.0f)[0].score, 0.5f);
}

TEST(Fusion, CrossedSourcesTieAndFallToKeys) {
  auto fused = fuse_rrf({{"b", "a"}, {"a", "b"}}, 60.0f);
  ASSERT_EQ(KeysOf(fused), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(fused[0].score, fused[1].score);
  EXPECT_EQ(fused[0].score, 1.0f / 62.0f + 1.0f / 61.0f);
  auto partial = fuse_rrf({{"a", "b"}, {"c"}}, 60.0f);
  EXPECT_EQ(partial.size(), 3u);
  for (const auto& e : partial) {
    if (e.key == "b") {
      EXPECT_EQ(e.score, 1.0f / 62.0f);
    }
  }
  EXPECT_TRUE(fuse_rrf({}, 60.0f).empty());
}

// The reference: a plain map of sums, added source by source, then a sort
// by (score descending, key ascending). Scores are positive and finite.
std::vector<FusedEntry> ReferenceRrf(const std::vector<std::vector<std::string>>& lists, float k) {
  std::map<std::string, float> score;
  for (const auto& list : lists)
    for (size_t i = 0; i < list.size(); ++i) {
      float denom = static_cast<float>(i);
      denom = denom + 1.0f;
      denom = denom + k;
      score[list[i]] = score[list[i]] + 1.0f / denom;
    }
  std::vector<FusedEntry> out;
  for (const auto& [key, s] : score) out.push_back({key, s});
  std::stable_sort(out.begin(), out.end(), [](const FusedEntry& a, const FusedEntry& b) { return a.score > b.score; });
  return out;
}

TEST(Fusion, RrfAgreesWithReference) {
  std::mt19937 rng(11);
  for (int round = 0; round < 500; ++round) {
    std::vector<std::vector<std::string>> lists(1 + rng() % 4);
    for (auto& list : lists) {
      std::vector<std::string> keys;
      for (int i = 0; i < 30; ++i) keys.push_back(std::string(1 + i % 3, static_cast<char>('a' + i % 10)));
      std::shuffle(keys.begin(), keys.end(), rng);
      keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
      keys.resize(rng() % keys.size());
      list = keys;
    }
    float k = (rng() % 3 == 0) ? 0.25f : static_cast<float>(1 + rng() % 100);
    auto got = fuse_rrf(lists, k);
    auto want = ReferenceRrf(lists, k);
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
      ASSERT_EQ(got[i].key, want[i].key) << "round " << round << " at " << i;
      ASSERT_EQ(got[i].score, want[i].score);
    }
  }
}

// The reference MMR, written out step by step.
std::vector<std::string> ReferenceMmr(const std::vector<MmrCandidate>& c, const std::vector<float>& q, Metric m,
                                      float lambda) {
  std::vector<bool> taken(c.size(), false);
  std::vector<size_t> order;
  while (order.size() < c.size()) {
    long best = -1;
    float best_score = 0;
    for (size_t i = 0; i < c.size(); ++i) {
      if (taken[i]) continue;
      float rel = -distance_by_metric(m, q, c[i].vector);
      float maxsim = 0.0f;
      if (!order.empty()) {
        maxsim = -kInfF;
        for (size_t s : order) {
          float sim = -distance_by_metric(m, c[i].vector, c[s].vector);
          if (sim == sim && sim > maxsim) maxsim = sim;
        }
      }
      float a = lambda * rel;
      float b = (1.0f - lambda) * maxsim;
      float score = a - b;
      bool better = best < 0 || !(score <= best_score) || (score == best_score && c[i].key < c[best].key);
      if (better) {
        best = static_cast<long>(i);
        best_score = score;
      }
    }
    taken[best] = true;
    order.push_back(static_cast<size_t>(best));
  }
  std::vector<std::string> keys;
  for (size_t i : order) keys.push_back(c[i].key);
  return keys;
}

TEST(Fusion, MmrAgreesWithReference) {
  std::mt19937 rng(5);
  const std::vector<std::vector<float>> shapes = {{1, 0, 0}, {0, 1, 0}, {1, 1, 0}, {0, 0, 0}, {-1, 2, 0.5f},
                                                  {1, 0, 0}, {3, -1, 2}, {0.5f, 0.5f, 0.5f}};
  for (int round = 0; round < 600; ++round) {
    std::vector<MmrCandidate> c;
    size_t n = rng() % 12;
    for (size_t i = 0; i < n; ++i) {
      std::vector<float> v = shapes[rng() % shapes.size()];
      if (rng() % 3 == 0) v[rng() % 3] += static_cast<float>(rng() % 100) / 37.0f;
      if (rng() % 40 == 0) v[0] = std::numeric_limits<float>::quiet_NaN();
      c.push_back({std::string(1 + rng() % 2, static_cast<char>('a' + rng() % 6)) + std::to_string(i), v});
    }
    std::vector<float> q = shapes[rng() % shapes.size()];
    Metric m = static_cast<Metric>(rng() % 3);
    static const float kLambdas[] = {0.0f, 0.3f, 0.5f, 0.7f, 1.0f};
    float lambda = kLambdas[rng() % 5];
    ASSERT_EQ(rerank_mmr(c, q, m, lambda), ReferenceMmr(c, q, m, lambda)) << "round " << round;
  }
}

TEST(Fusion, MmrLambdaOneRanksByRelevanceTiesByKey) {
  std::vector<MmrCandidate> c = {{"far", {0, 1}}, {"b", {1, 0}}, {"a", {2, 0}}, {"mid", {1, 1}}};
  EXPECT_EQ(rerank_mmr(c, std::vector<float>{1, 0}, Metric::kCosine, 1.0f),
            (std::vector<std::string>{"a", "b", "mid", "far"}));
}

TEST(Fusion, MmrLambdaZeroStartsAtSmallestKeyThenSpreads) {
  std::vector<MmrCandidate> c = {{"m", {1, 0}}, {"c", {1, 0.01f}}, {"z", {0, 1}}, {"d", {1, 0.02f}}};
  auto order = rerank_mmr(c, std::vector<float>{1, 0}, Metric::kCosine, 0.0f);
  ASSERT_EQ(order.size(), 4u);
  EXPECT_EQ(order[0], "c");
  EXPECT_EQ(order[1], "z");
}

TEST(Fusion, ApplyMmrPutsNonCandidatesAfterInFusedOrder) {
  std::map<std::string, Value> docs = {
      {"v1", Doc({{"e", Value::Vector({1, 0})}})},     {"short", Doc({{"e", Value::Vector({1})}})},
      {"v2", Doc({{"e", Value::Vector({0.9f, 0.1f})}})}, {"text", Doc({{"e", Value::Text("x")}})},
      {"v3", Doc({{"e", Value::Vector({0, 1})}})}};
  auto doc_of = [&](std::string_view k) -> const Value* {
    auto it = docs.find(std::string(k));
    return it == docs.end() ? nullptr : &it->second;
  };
  std::vector<FusedEntry> fused = {{"short", 0.5f}, {"v2", 0.4f}, {"gone", 0.3f}, {"v3", 0.2f},
                                   {"text", 0.1f},  {"v1", 0.05f}};
  auto out = ApplyMmr(fused, doc_of, "e", std::vector<float>{1, 0}, Metric::kCosine, 1.0f);
  EXPECT_EQ(KeysOf(out), (std::vector<std::string>{"v1", "v2", "v3", "short", "gone", "text"}));
  EXPECT_EQ(out[0].score, 0.05f);
  EXPECT_EQ(out[3].score, 0.5f);
}

TEST(Fusion, ApplyMmrWithoutVectorsKeepsTheFusedOrder) {
  std::vector<FusedEntry> fused = {{"b", 0.5f}, {"a", 0.4f}, {"c", 0.4f}};
  auto none = [](std::string_view) -> const Value* { return nullptr; };
  auto out = ApplyMmr(fused, none, "e", std::vector<float>{1, 0}, Metric::kDot, 0.5f);
  EXPECT_EQ(KeysOf(out), KeysOf(fused));
}

TEST(Fusion, MmrOfNothingIsNothing) {
  EXPECT_TRUE(rerank_mmr({}, std::vector<float>{1}, Metric::kL2, 0.5f).empty());
}

}  // namespace
}  // namespace pallix
