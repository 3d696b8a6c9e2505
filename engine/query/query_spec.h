// The query description: everything a ranked or filtered query asks for,
// handed whole to the run entry, which owns it for the run and drops it on
// every path. The binding's fluent builder fills it; fusion, re-ranking,
// ordering, projection and the executor read it. Validation (the fusion
// constant, lambda) happens at run time only: the builder stores whatever
// it is given.
//
// Also the query row, the element of a run's result.
//
// Thread-safety: plain values; the shared Engine is thread-safe on its own.

#ifndef PALLIX_QUERY_QUERY_SPEC_H_
#define PALLIX_QUERY_QUERY_SPEC_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "base/error.h"
#include "db/engine.h"
#include "doc/value.h"
#include "query/predicate.h"
#include "vector/quant.h"

namespace pallix {

// Ranks documents by BM25 of their analysed `field` against `query`.
struct TextSource {
  std::string field;  // dotted path
  std::string query;  // analysed like document text
  uint64_t k = 0;     // at most k ranked candidates
};

// Ranks documents by the distance of the Vector at `field` to `query`.
struct VectorSource {
  std::string field;  // dotted path
  std::vector<float> query;
  uint64_t k = 0;  // at most k ranked candidates
  Metric metric = Metric::kCosine;
};

// One candidate source, in the order the caller added it.
using QuerySource = std::variant<TextSource, VectorSource>;

struct OrderBy {
  std::string field;  // dotted path
  bool descending = false;
};

inline constexpr float kDefaultRrfK = 60.0f;

struct QuerySpec {
  std::optional<uint64_t> limit;  // absent: no cap; 0: no rows
  std::vector<Predicate> filters;  // all must hold; empty: no restriction
  std::vector<QuerySource> sources;  // empty: a pure filter/order query
  std::optional<OrderBy> order_by;  // absent: the executor's natural order
  std::optional<std::vector<std::string>> select;  // absent: whole documents
  std::optional<float> mmr_lambda;  // present: MMR re-ranking
  std::shared_ptr<Engine> engine;
  std::string collection;  // the user collection queried
  uint64_t offset = 0;  // leading result rows skipped
  float rrf_k = kDefaultRrfK;  // Reciprocal Rank Fusion constant
  bool approx = false;  // prefer index-backed approximate execution
};

// One result row.
struct QueryRow {
  std::string key;  // the document key
  Value document;  // the document, or its projection under `select`
  float score = 0.0f;  // the fused score; 0 for a query without sources
};

// The run-time checks of a description, before anything is read: the fusion
// constant must be finite and > 0, and a present lambda in [0, 1] (NaN
// fails). InvalidArgument "fuse_rrf: k must be > 0, got <k>" or
// "rerank_mmr: lambda must be in [0, 1], got <lambda>" (shortest positional
// form of the float32); when both are wrong only the constant is reported.
Status ValidateQuerySpec(const QuerySpec& spec);

}  // namespace pallix

#endif  // PALLIX_QUERY_QUERY_SPEC_H_
