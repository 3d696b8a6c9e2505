// Private pieces of the executor shared between its files: the routes
// without sources (scan_routes.cc) and the exact route (exact_route.cc).

#ifndef PALLIX_QUERY_EXECUTOR_INTERNAL_H_
#define PALLIX_QUERY_EXECUTOR_INTERNAL_H_

#include <cstdint>
#include <limits>
#include <vector>

#include "base/error.h"
#include "query/executor.h"
#include "query/planner.h"
#include "query/query_spec.h"
#include "query/sources.h"
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

// Every row of the collection that satisfies every filter, in key order;
// the walk stops once `enough` rows are kept.
Result<std::vector<CandidateRow>> WalkFiltered(const QuerySpec& spec, const ReadView& view,
                                               uint64_t enough = std::numeric_limits<uint64_t>::max());
// The same, each document reduced to the filters' paths and fields.
Result<std::vector<CandidateRow>> WalkFilteredPartial(const QuerySpec& spec, const ReadView& view,
                                                      const std::vector<std::string_view>& fields);

// One source's exact list over the candidate rows: BM25 with the
// candidates' statistics (text), distances (vector); best first, at most k.
Result<SourceList> ScoreSource(const QuerySpec& spec, const ReadView& view, const std::vector<CandidateRow>& rows,
                               const QuerySource& source);

// Fusion, MMR, ordering, window and projection over the sources' lists of
// the candidate rows. With whole set, rows hold partial documents and the
// documents returned are read whole from it.
Result<std::vector<QueryRow>> RankedTail(const QuerySpec& spec, std::vector<CandidateRow> rows,
                                         const std::vector<SourceList>& lists, const ReadView* whole = nullptr);

// Scores every candidate for every source (candidates nullopt: every row
// of the collection that passes the filters), then fusion, MMR, ordering,
// the window and projection.
Result<std::vector<QueryRow>> ExactRoute(const QuerySpec& spec, const ReadView& view, CandidateRows candidates,
                                         const ExecuteOptions& options);

}  // namespace pallix

#endif  // PALLIX_QUERY_EXECUTOR_INTERNAL_H_
