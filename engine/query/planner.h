// The filter planner: turns a query's top-level filters into the matching
// rows when one declared index (scalar, compound, geo, or one indexed
// disjunction) can narrow the search, and answers "unconstrained" when none
// can, so that the caller walks the collection and evaluates the filters
// itself.
//
// Each index read gives a candidate key list; the single shortest one is
// kept (a tie keeps the earlier), its documents are loaded and every
// filter is evaluated on them. A list is deduplicated before it competes:
// a geo scan may name one key twice (its sweep of back-pointer rows can
// meet a key already met in a cell), and a repeated key must neither load
// nor count a document twice.
//
// Callers: the query executor, the aggregates and run_min_max.
// Thread-safety: reads the caller's snapshot; takes "scalar lock" and "geo
// lock" one at a time, only to ask which indexes exist.

#ifndef PALLIX_QUERY_PLANNER_H_
#define PALLIX_QUERY_PLANNER_H_

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/error.h"
#include "doc/value.h"
#include "query/query_spec.h"
#include "storage/read_view.h"

namespace pallix {

using CandidateRow = std::pair<std::string, Value>;  // (document key, document)
using CandidateRows = std::optional<std::vector<CandidateRow>>;

// Above this many candidates per row of the collection (n * 17 >= N) the
// candidates are matched by one walk instead of point reads.
inline constexpr uint64_t kSelectivityFactor = 17;

// nullopt: no filter, or no index narrowed the filters. Otherwise every
// row of the collection that satisfies every filter and is in the chosen
// candidate list, in that list's order. Errors: those of the index reads,
// Storage, Decode.
Result<CandidateRows> plan_scalar_candidates(const QuerySpec& spec, const ReadView& view);

// The candidate key list the planner would choose (deduplicated), or
// nullopt; exposed for tests that compare it against a walk.
Result<std::optional<std::vector<std::string>>> plan_candidate_keys(const QuerySpec& spec, const ReadView& view);

}  // namespace pallix

#endif  // PALLIX_QUERY_PLANNER_H_
