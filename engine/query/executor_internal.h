// Private pieces of the executor shared between its files: the routes
// without sources (scan_routes.cc) and the exact route (exact_route.cc).

#ifndef PALLIX_QUERY_EXECUTOR_INTERNAL_H_
#define PALLIX_QUERY_EXECUTOR_INTERNAL_H_

#include <cstdint>
#include <vector>

#include "base/error.h"
#include "query/executor.h"
#include "query/planner.h"
#include "query/query_spec.h"
#include "storage/read_view.h"

namespace pallix {

// offset + limit, saturating; nullopt without a limit.
std::optional<uint64_t> WindowNeed(const QuerySpec& spec);

// Final rows of routes without sources: order (when asked), window,
// projection; every score 0.
std::vector<QueryRow> FinishUnranked(const QuerySpec& spec, std::vector<CandidateRow> rows);

// No sources: the planner's rows, or one (bounded) walk of the collection.
Result<std::vector<QueryRow>> FilteredScanRoute(const QuerySpec& spec, const ReadView& view,
                                                CandidateRows planned);

// No sources, no filters, an indexed order field.
Result<std::vector<QueryRow>> OrderedScanRoute(const QuerySpec& spec, const ReadView& view);

// Every row of the collection that satisfies every filter, in key order.
Result<std::vector<CandidateRow>> WalkFiltered(const QuerySpec& spec, const ReadView& view);
// The same, each document reduced to the filters' paths and fields.
Result<std::vector<CandidateRow>> WalkFilteredPartial(const QuerySpec& spec, const ReadView& view,
                                                      const std::vector<std::string_view>& fields);

// Scores every candidate for every source (candidates nullopt: every row
// of the collection that passes the filters), then fusion, MMR, ordering,
// the window and projection.
Result<std::vector<QueryRow>> ExactRoute(const QuerySpec& spec, const ReadView& view, CandidateRows candidates,
                                         const ExecuteOptions& options);

}  // namespace pallix

#endif  // PALLIX_QUERY_EXECUTOR_INTERNAL_H_
