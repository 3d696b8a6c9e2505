// Reciprocal Rank Fusion of per-source candidate lists, and Maximal Marginal
// Relevance re-ranking of the fused list.
//
// RRF scores a candidate only by its positions in the source lists and the
// fusion constant, so text and vector sources of any scale combine. MMR then
// trades similarity to the query vector against similarity to candidates
// already picked, spreading near-duplicates apart. Both run inside the
// executor on documents it has already read; neither touches storage.
//
// All ranking arithmetic is in 32-bit floats; scores are ordered by the
// engine's float total order (base/numeric.h) and ties go to the key bytes
// ascending.
//
// Thread-safety: pure functions.

#ifndef PALLIX_QUERY_FUSION_H_
#define PALLIX_QUERY_FUSION_H_

#include <compare>
#include <functional>
#include <span>
#include <string_view>
#include <string>
#include <vector>

#include "doc/value.h"
#include "vector/quant.h"

namespace pallix {

struct FusedEntry {
  std::string key;
  float score = 0.0f;
};

struct MmrCandidate {
  std::string key;
  std::vector<float> vector;
};

// One list per source, in the order the sources were added, each best
// first. Position i of a list adds 1 / (rrf_k + (i + 1)) to its key. Returns
// every key once, by score descending, ties by key ascending.
std::vector<FusedEntry> fuse_rrf(const std::vector<std::vector<std::string>>& source_lists, float rrf_k);

// The candidates' keys in MMR order. Candidates come in fused order; each
// step picks the remaining candidate with the highest
// lambda * rel(i) - (1 - lambda) * maxsim(i), where rel is the negated
// distance to `query` and maxsim the highest negated distance to a picked
// candidate. Throws InvariantError when its selection loop breaks its own
// invariant (never on any input).
std::vector<std::string> rerank_mmr(const std::vector<MmrCandidate>& candidates, std::span<const float> query,
                                    Metric metric, float lambda);

// The fused list re-ordered by MMR: every entry whose document (doc_of its
// key; nullptr = none) holds at `field` a Vector as long as `query` is an MMR
// candidate; they come first in MMR order, then the other entries in their
// fused order. Every entry keeps its fused score.
std::vector<FusedEntry> ApplyMmr(std::vector<FusedEntry> fused,
                                 const std::function<const Value*(std::string_view key)>& doc_of,
                                 std::string_view field, std::span<const float> query, Metric metric, float lambda);

}  // namespace pallix

#endif  // PALLIX_QUERY_FUSION_H_
