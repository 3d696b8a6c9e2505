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
// first; nullopt sends the query down the exact route. *in_memory: whether
// an in-memory index answered.
Result<std::optional<std::vector<std::string>>> IndexProposal(const QuerySpec& spec, const ReadView& view,
                                                              uint64_t count, bool* in_memory) {
  const QuerySource& s = spec.sources[0];
  if (const auto* t = std::get_if<TextSource>(&s))
    return IndexTextCandidates(*spec.engine, view, spec.collection, *t, count, in_memory);
  return IndexVectorCandidates(*spec.engine, view, spec.collection, std::get<VectorSource>(s), count, in_memory);
}

uint64_t SourceK(const QuerySource& s) {
  if (const auto* t = std::get_if<TextSource>(&s)) return t->k;
  return std::get<VectorSource>(s).k;
}

uint64_t Twice(uint64_t n) { return n > UINT64_MAX / 2 ? UINT64_MAX : 2 * n; }

// The candidates an index proposes, as the snapshot holds them.
struct Proposed {
  std::vector<CandidateRow> rows;  // held and passing the filters, in the index's order
  std::unordered_set<std::string> seen;  // every key met
  uint64_t held = 0;  // rows the snapshot holds and the source was not seen to pass by
  bool passed_over = false;  // some key the snapshot does not hold, or holds otherwise
  bool in_memory = false;    // the index is kept up after commits, not read through the snapshot
};

// Takes keys the index proposed, in order, until k are held.
Status TakeProposed(const QuerySpec& spec, const ReadView& view, std::vector<std::string>& keys, uint64_t k,
                    Proposed& out) {
  for (std::string& key : keys) {
    if (out.held == k) break;
    if (!out.seen.insert(key).second) continue;
    ASSIGN_OR_RETURN(std::optional<std::string> bytes, view.view_get(spec.collection, key));
    if (!bytes) {
      out.passed_over = true;
      continue;
    }
    ++out.held;
    ASSIGN_OR_RETURN(Value doc, decode_value(*bytes));
    if (EvalFilters(spec.filters, doc)) out.rows.emplace_back(std::move(key), std::move(doc));
  }
  return Ok();
}

// Whether anything was committed since view's snapshot began. Asked after
// the index answered: a commit the index had applied by then is seen.
bool CommittedSince(const QuerySpec& spec, const ReadView& view) {
  return spec.engine->store().LastCommitId() != view.snapshot_tag().txn_id;
}

// Drops the rows the list does not rank; returns how many.
uint64_t DropUnranked(std::vector<CandidateRow>& rows, const SourceList& list) {
  std::unordered_set<std::string_view> ranked;
  for (const SourceEntry& e : list) ranked.insert(e.key);
  const size_t before = rows.size();
  std::erase_if(rows, [&](const CandidateRow& r) { return !ranked.contains(r.first); });
  return before - rows.size();
}

// The single source's index-backed route: the first k proposed keys, in
// the index's order, whose rows the snapshot holds and the source ranks,
// kept when the filters pass (only with approx are there any), then scored
// exactly. An in-memory index runs ahead of an older snapshot: it proposes
// keys committed since, and keys whose rows changed since (which the
// source may not rank as the snapshot holds them). Those are passed over
// and the index asked for twice as many, until k are found or it proposes
// fewer than asked (it holds no more). An index that runs out short of k
// may also lack rows the snapshot still has (removed since): when it has
// passed a key over, or is in memory and something was committed since
// the snapshot began, nullopt then, and the exact route answers. An index
// in step with the snapshot answers in one round and one scoring.
Result<std::optional<std::vector<QueryRow>>> IndexBackedRoute(const QuerySpec& spec, const ReadView& view) {
  using Answer = std::optional<std::vector<QueryRow>>;
  const uint64_t k = SourceK(spec.sources[0]);
  Proposed found;
  for (uint64_t count = k;; count = Twice(count)) {
    ASSIGN_OR_RETURN(std::optional<std::vector<std::string>> keys, IndexProposal(spec, view, count, &found.in_memory));
    if (!keys) return Answer();
    RETURN_IF_ERROR(TakeProposed(spec, view, *keys, k, found));
    const bool exhausted = keys->size() < count;
    if (found.held < k && !exhausted) continue;
    ASSIGN_OR_RETURN(SourceList list, ScoreSource(spec, view, found.rows, spec.sources[0]));
    if (list.size() < found.rows.size()) {
      // The statistics of a text list span its candidates: the rest are
      // scored again once replaced.
      if (exhausted) return Answer();
      found.held -= DropUnranked(found.rows, list);
      found.passed_over = true;
      continue;
    }
    if (found.held < k && (found.passed_over || (found.in_memory && CommittedSince(spec, view)))) return Answer();
    ASSIGN_OR_RETURN(std::vector<QueryRow> rows, RankedTail(spec, std::move(found.rows), {std::move(list)}));
    return Answer(std::move(rows));
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
    ASSIGN_OR_RETURN(std::optional<std::vector<QueryRow>> rows, IndexBackedRoute(spec, view));
    if (rows) return std::move(*rows);
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
