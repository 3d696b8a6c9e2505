#include "query/fusion.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string_view>
#include <unordered_map>

#include "base/lock.h"
#include "base/numeric.h"

namespace pallix {

namespace {

std::weak_ordering KeyOrder(std::string_view a, std::string_view b) {
  int c = a.compare(b);
  return c < 0 ? std::weak_ordering::less : c > 0 ? std::weak_ordering::greater : std::weak_ordering::equivalent;
}

// Negated distance: the similarity both relevance and redundancy use.
float Similarity(Metric metric, std::span<const float> a, std::span<const float> b) {
  return -distance_by_metric(metric, a, b);
}

// The highest similarity of v to the selected candidates, ignoring NaN; 0
// when nothing is selected yet.
float MaxSimilarity(const std::vector<MmrCandidate>& all, const std::vector<size_t>& selected,
                    const std::vector<float>& v, Metric metric) {
  if (selected.empty()) return 0.0f;
  float best = -std::numeric_limits<float>::infinity();
  for (size_t s : selected) {
    float sim = Similarity(metric, v, all[s].vector);
    if (!std::isnan(sim) && sim > best) best = sim;
  }
  return best;
}

// Whether a later candidate (score, key) displaces the provisional best:
// its score is not <= the best's (greater, or a NaN on either side), or the
// scores are equal and its key is smaller.
bool Displaces(float score, std::string_view key, float best_score, std::string_view best_key) {
  if (!(score <= best_score)) return true;
  return score == best_score && KeyOrder(key, best_key) < 0;
}

}  // namespace

std::vector<FusedEntry> fuse_rrf(const std::vector<std::vector<std::string>>& source_lists, float rrf_k) {
  std::vector<FusedEntry> fused;
  std::unordered_map<std::string_view, size_t> slot;
  for (const auto& list : source_lists) {
    for (size_t i = 0; i < list.size(); ++i) {
      float rank = static_cast<float>(i) + 1.0f;
      float contribution = 1.0f / (rank + rrf_k);
      auto [it, fresh] = slot.try_emplace(list[i], fused.size());
      if (fresh) fused.push_back(FusedEntry{list[i], 0.0f});
      fused[it->second].score += contribution;
    }
  }
  std::sort(fused.begin(), fused.end(), [](const FusedEntry& a, const FusedEntry& b) {
    int o = TotalCompare(a.score, b.score);
    return o != 0 ? o > 0 : KeyOrder(a.key, b.key) < 0;
  });
  return fused;
}

std::vector<std::string> rerank_mmr(const std::vector<MmrCandidate>& candidates, std::span<const float> query,
                                    Metric metric, float lambda) {
  std::vector<float> rel(candidates.size());
  for (size_t i = 0; i < candidates.size(); ++i) rel[i] = Similarity(metric, query, candidates[i].vector);
  std::vector<size_t> remaining(candidates.size());
  for (size_t i = 0; i < remaining.size(); ++i) remaining[i] = i;
  std::vector<size_t> selected;
  selected.reserve(candidates.size());
  while (selected.size() < candidates.size()) {
    PALLIX_INVARIANT(!remaining.empty(), "remaining is non-empty while selected < limit");
    size_t best_pos = 0;
    float best_score = 0.0f;
    for (size_t pos = 0; pos < remaining.size(); ++pos) {
      size_t i = remaining[pos];
      float maxsim = MaxSimilarity(candidates, selected, candidates[i].vector, metric);
      float score = lambda * rel[i] - (1.0f - lambda) * maxsim;
      if (pos == 0 || Displaces(score, candidates[i].key, best_score, candidates[remaining[best_pos]].key)) {
        best_pos = pos;
        best_score = score;
      }
    }
    selected.push_back(remaining[best_pos]);
    remaining.erase(remaining.begin() + static_cast<ptrdiff_t>(best_pos));
  }
  std::vector<std::string> keys;
  keys.reserve(selected.size());
  for (size_t i : selected) keys.push_back(candidates[i].key);
  return keys;
}

std::vector<FusedEntry> ApplyMmr(std::vector<FusedEntry> fused,
                                 const std::function<const Value*(std::string_view key)>& doc_of,
                                 std::string_view field, std::span<const float> query, Metric metric, float lambda) {
  std::vector<MmrCandidate> candidates;
  std::vector<FusedEntry> rest;
  std::unordered_map<std::string_view, float> score_of;
  for (const FusedEntry& e : fused) {
    const Value* doc = doc_of(e.key);
    const Value* v = doc == nullptr ? nullptr : get_path(*doc, field);
    if (v != nullptr && v->is_vector() && v->as_vector().size() == query.size()) {
      candidates.push_back(MmrCandidate{e.key, v->as_vector()});
      score_of.emplace(e.key, e.score);
    } else {
      rest.push_back(e);
    }
  }
  std::vector<FusedEntry> out;
  out.reserve(fused.size());
  for (std::string& key : rerank_mmr(candidates, query, metric, lambda)) {
    float score = score_of.at(key);
    out.push_back(FusedEntry{std::move(key), score});
  }
  for (FusedEntry& e : rest) out.push_back(std::move(e));
  return out;
}

}  // namespace pallix
