// The query run and the executor's route choice; the routes themselves
// live in scan_routes.cc (no sources) and exact_route.cc (exact scoring).

#include "query/executor.h"

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>

#include "base/test_point.h"
#include "index/resume.h"
#include "index/scalar_index.h"
#include "query/executor_internal.h"
#include "query/predicate_eval.h"
#include "query/sources.h"

namespace pallix {

namespace {

// One source whose index may propose candidates: up to count keys, best
// first; nullopt sends the query down the exact route.
Result<std::optional<std::vector<std::string>>> IndexProposal(const QuerySpec& spec, const ReadView& view,
                                                              uint64_t count) {
  const QuerySource& s = spec.sources[0];
  if (const auto* t = std::get_if<TextSource>(&s))
    return IndexTextCandidates(*spec.engine, view, spec.collection, *t, count);
  return IndexVectorCandidates(*spec.engine, view, spec.collection, std::get<VectorSource>(s), count);
}

uint64_t SourceK(const QuerySource& s) {
  if (const auto* t = std::get_if<TextSource>(&s)) return t->k;
  return std::get<VectorSource>(s).k;
}

// The candidate rows of the single source's index: the first k proposed
// keys, in the index's order, that the snapshot holds, each kept when the
// filters pass (only with approx are there any). An in-memory index runs
// ahead of an older snapshot, proposing keys committed since: those are
// passed over and the index asked for twice as many, until k held keys are
// found or it proposes fewer than asked (it holds no more). Having passed a
// key over, an index that runs out may also lack rows the snapshot still
// has (removed since): nullopt then, and the exact route answers. An index
// in step with the snapshot answers in one round, as ever.
Result<std::optional<std::vector<CandidateRow>>> IndexCandidateRows(const QuerySpec& spec, const ReadView& view) {
  using Rows = std::optional<std::vector<CandidateRow>>;
  const uint64_t k = SourceK(spec.sources[0]);
  std::vector<CandidateRow> rows;
  std::unordered_set<std::string> seen;
  uint64_t held = 0;
  bool passed_over = false;
  for (uint64_t count = k;; count = count > UINT64_MAX / 2 ? UINT64_MAX : 2 * count) {
    ASSIGN_OR_RETURN(std::optional<std::vector<std::string>> proposed, IndexProposal(spec, view, count));
    if (!proposed) return Rows();
    for (std::string& key : *proposed) {
      if (held == k) break;
      if (!seen.insert(key).second) continue;
      ASSIGN_OR_RETURN(std::optional<std::string> bytes, view.view_get(spec.collection, key));
      if (!bytes) {
        passed_over = true;
        continue;
      }
      ++held;
      ASSIGN_OR_RETURN(Value doc, decode_value(*bytes));
      if (EvalFilters(spec.filters, doc)) rows.emplace_back(std::move(key), std::move(doc));
    }
    if (held == k) return Rows(std::move(rows));
    if (proposed->size() < count) return passed_over ? Rows() : Rows(std::move(rows));
  }
}

}  // namespace

Result<std::vector<QueryRow>> execute_query(const QuerySpec& spec, const ReadView& view,
                                            const ExecuteOptions& options) {
  if (spec.sources.empty()) {
    if (spec.order_by && spec.filters.empty()) {
      ASSIGN_OR_RETURN(bool indexed, has_scalar_index(*spec.engine, spec.collection, spec.order_by->field));
      if (indexed) return OrderedScanRoute(spec, view);
    }
    ASSIGN_OR_RETURN(CandidateRows planned, plan_scalar_candidates(spec, view));
    return FilteredScanRoute(spec, view, std::move(planned));
  }
  if (spec.sources.size() == 1 && (spec.filters.empty() || spec.approx)) {
    ASSIGN_OR_RETURN(std::optional<std::vector<CandidateRow>> rows, IndexCandidateRows(spec, view));
    if (rows) return ExactRoute(spec, view, std::move(*rows), options);
    // No usable index, or one that lost rows of the snapshot: every
    // candidate is scored exactly.
  }
  ASSIGN_OR_RETURN(CandidateRows planned, plan_scalar_candidates(spec, view));
  return ExactRoute(spec, view, std::move(planned), options);
}

Result<std::vector<QueryRow>> run_query_entry(QuerySpec spec, const ExecuteOptions& options) {
  RETURN_IF_ERROR(ValidateQuerySpec(spec));
  RETURN_IF_ERROR(resume_index_builds(*spec.engine, spec.collection));
  ASSIGN_OR_RETURN(ReadTxn txn, spec.engine->store().BeginRead());
  ReadView view(txn);
  ReachTestPoint(TestPoint::kQueryAfterSnapshot, spec.collection);
  return execute_query(spec, view, options);
}

}  // namespace pallix
