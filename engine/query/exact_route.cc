// The exact route: every candidate scored for every source, by a walk of
// the collection or over the rows the planner gave. A walk keeps only what
// scoring and ordering read of each row; the few documents returned are
// read whole at the end. Also the ranked tail every route with sources
// ends in (fusion, MMR, ordering, the window, projection), which the
// index-backed route (executor.cc) enters with its own scored candidates.

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "base/port.h"
#include "query/exact_walk.h"
#include "query/executor_internal.h"
#include "query/fusion.h"
#include "query/ordering.h"
#include "query/part_walk.h"
#include "query/projection.h"
#include "query/row_filter.h"
#include "query/shared_walk.h"
#include "query/sources.h"

namespace pallix {

namespace {

const VectorSource* FirstVectorSource(const QuerySpec& spec) {
  for (const QuerySource& s : spec.sources) {
    if (const auto* v = std::get_if<VectorSource>(&s)) return v;
  }
  return nullptr;
}

// The single-source vector walk over the whole collection when an ordering
// or MMR reads the candidates' documents: a pool of at most max(4k, 1024)
// distances, cut back to k whenever it fills, so memory does not grow with
// the collection. Only the winners' documents are kept.
Result<std::vector<CandidateRow>> PooledVectorWalk(const QuerySpec& spec, const ReadView& view,
                                                   const VectorSource& src, SourceList& list) {
  if (src.k == 0) return std::vector<CandidateRow>();
  const uint64_t pool = VectorPool(src.k);
  RowFilter filter(spec.filters, {src.field});
  RETURN_IF_ERROR(view.view_for_each(spec.collection, [&](std::string_view key, std::string_view bytes) -> Result<bool> {
    ASSIGN_OR_RETURN(std::optional<Value> doc, filter.Partial(bytes));
    if (!doc) return true;
    const Value* v = get_path(*doc, src.field);
    if (v == nullptr || !v->is_vector() || v->as_vector().size() != src.query.size()) return true;
    list.push_back({std::string(key), distance_by_metric(src.metric, src.query, v->as_vector())});
    if (list.size() >= pool) CutNearest(list, src.k);
    return true;
  }));
  CutNearest(list, src.k);
  std::vector<CandidateRow> rows;
  for (const SourceEntry& e : list) {
    ASSIGN_OR_RETURN(std::optional<std::string> bytes, view.view_get(spec.collection, e.key));
    if (!bytes) continue;
    ASSIGN_OR_RETURN(Value doc, decode_value(*bytes));
    rows.emplace_back(e.key, std::move(doc));
  }
  return rows;
}

// The rows of the fused keys by key: the views are the rows' own keys, so
// they outlive the fused list's reordering. A key given twice in rows
// keeps its first row.
std::unordered_map<std::string_view, size_t> RowsOfFused(const std::vector<CandidateRow>& rows,
                                                         const std::vector<FusedEntry>& fused) {
  std::unordered_set<std::string_view> wanted;
  wanted.reserve(fused.size());
  for (const FusedEntry& e : fused) wanted.insert(e.key);
  std::unordered_map<std::string_view, size_t> by_key;
  by_key.reserve(fused.size());
  for (size_t i = 0; i < rows.size(); ++i)
    if (wanted.contains(rows[i].first)) by_key.emplace(rows[i].first, i);
  return by_key;
}

// The sources' lists fused by RRF.
std::vector<FusedEntry> FuseLists(const QuerySpec& spec, const std::vector<SourceList>& lists) {
  std::vector<std::vector<std::string>> keys(lists.size());
  for (size_t i = 0; i < lists.size(); ++i) {
    for (const SourceEntry& e : lists[i]) keys[i].push_back(e.key);
  }
  return fuse_rrf(keys, spec.rrf_k);
}

// Fusion, window and projection over the lists of a walk that kept no
// documents: the few returned are read whole from view.
Result<std::vector<QueryRow>> WholeTail(const QuerySpec& spec, const std::vector<SourceList>& lists,
                                        const ReadView& view) {
  std::vector<FusedEntry> fused = FuseLists(spec, lists);
  apply_window(fused, spec.offset, spec.limit);
  std::vector<QueryRow> out;
  out.reserve(fused.size());
  for (FusedEntry& e : fused) {
    ASSIGN_OR_RETURN(std::optional<Value> doc, get_document_via(view, spec.collection, e.key));
    if (!doc) return Fail(EngineError::InvalidArgument("key came from filtered set"));
    if (spec.select) *doc = project_fields(std::move(*doc), *spec.select);
    out.push_back(QueryRow{std::move(e.key), std::move(*doc), e.score});
  }
  return out;
}

// The paths the sources and the ordering read from a candidate.
std::vector<std::string_view> RankedFields(const QuerySpec& spec) {
  std::vector<std::string_view> fields;
  for (const QuerySource& s : spec.sources) {
    if (const auto* t = std::get_if<TextSource>(&s)) fields.push_back(t->field);
    else fields.push_back(std::get<VectorSource>(s).field);
  }
  if (spec.order_by) fields.push_back(spec.order_by->field);
  return fields;
}

// Whether every source reads a top-level field (one segment), which the
// walk can read from the row's encoded bytes.
bool TopLevelSourceFields(const QuerySpec& spec) {
  for (std::string_view f : RankedFields(spec)) {
    if (f.empty() || f.find('.') != std::string_view::npos) return false;
  }
  return true;
}

// The exact route over the whole collection when neither an ordering nor
// MMR reads the candidates' documents (any sources, a single vector source
// among them): each kept row's vector distances are taken during the walk
// (NearestPool) and its partial document is dropped there, so that only
// keys and the texts of the text sources are kept. The candidates'
// vectors, most of a hybrid query's bytes, are never held. The texts are
// scored once the walk is over (their statistics span every candidate),
// and the few documents returned are read whole at the end.
//
// When every source reads a top-level field, each row is decoded once, as
// far as the filters reach, and the sources' fields are read from their
// encoded bytes (raw_fields, RawBatchWalk): a text is kept as a view of the
// row, and the distance is taken over the stored components, copied into
// one reused vector, so no partial document is built; a vector's bytes are
// read only for rows the filters keep.
Result<std::vector<QueryRow>> StreamedExactRoute(const QuerySpec& spec, const ReadView& view, bool raw_fields,
                                                 bool shared) {
  const size_t n = spec.sources.size();
  const std::vector<std::string_view> fields = RankedFields(spec);
  RowFilter filter(spec.filters, fields);
  StreamedRows rows(n, view.txn().is_snapshot());
  std::vector<std::optional<NearestPool>> pools = PoolsOf(spec);
  for (size_t i = 0; i < n; ++i) {
    if (pools[i]) continue;
    // A loaded index in step with view needs neither the texts nor their
    // hashes (ScoreTextCandidates); should it fall behind by the time the
    // texts are scored, it reads the texts instead.
    if (MemoryIndexesInStep(*spec.engine, view)) continue;
    ASSIGN_OR_RETURN(std::optional<SeededHash> hasher, LoadedTextHasher(*spec.engine, spec.collection, fields[i]));
    if (hasher) rows.HashTexts(i, *hasher);
  }
  auto keep_partial = [&](std::string_view key, std::string_view bytes) -> Status {
    ASSIGN_OR_RETURN(std::optional<Value> doc, filter.Partial(bytes));
    if (!doc) return Ok();
    rows.AddRow(key);
    for (size_t i = 0; i < n; ++i) {
      const Value* v = get_path(*doc, fields[i]);
      if (v == nullptr) continue;
      if (pools[i]) {
        if (v->is_vector()) pools[i]->Offer(rows.LastKey(), v->as_vector());
      } else if (v->is_text()) {
        rows.AddText(i, v->as_text(), false);
      }
    }
    return Ok();
  };
  RawBatchWalk raw_walk(filter, std::span(fields).first(n), pools);
  std::shared_ptr<SharedWalk> sharing;
  if (raw_fields && shared) {
    ASSIGN_OR_RETURN(std::vector<std::string> splits, PartSplits(view, spec.collection));
    if (!splits.empty())
      sharing = std::make_shared<SharedWalk>(spec, view, filter, std::span(fields).first(n), rows, std::move(splits));
  }
  // Ends the shared walk on every way out of this scope: after Run has
  // ended it, Abandon does nothing; should Run be left by an exception,
  // no helper may still be at work when filter and fields, which its lane
  // reads, go.
  struct AbandonOnExit {
    SharedWalk* walk;
    ~AbandonOnExit() {
      if (walk != nullptr) walk->Abandon();
    }
  } abandon{sharing.get()};
  auto serial = [&](std::span<const RowRef> batch) -> Result<bool> {
    if (raw_fields) {
      RETURN_IF_ERROR(raw_walk.Batch(batch, rows));
      return true;
    }
    for (size_t j = 0; j < batch.size(); ++j) {
      if (j + kRowsAhead < batch.size()) port::PrefetchBytes(batch[j + kRowsAhead].value.substr(0, kRowPrefetch));
      RETURN_IF_ERROR(keep_partial(batch[j].key, batch[j].value));
    }
    return true;
  };
  const Status walked = sharing ? sharing->Run(pools) : view.view_for_each_batch(spec.collection, serial);
  RETURN_IF_ERROR(walked);
  std::vector<SourceList> lists(n);
  for (size_t i = 0; i < n; ++i) {
    if (pools[i]) {
      lists[i] = pools[i]->Take();
      continue;
    }
    const std::vector<TextCandidate> candidates = sharing ? sharing->TextCandidates(i) : rows.TextCandidates(i);
    ASSIGN_OR_RETURN(lists[i], ScoreTextCandidates(*spec.engine, view, spec.collection, candidates,
                                                   std::get<TextSource>(spec.sources[i]), rows.Hasher(i)));
  }
  return WholeTail(spec, lists, view);
}

}  // namespace

Result<std::vector<QueryRow>> RankedTail(const QuerySpec& spec, std::vector<CandidateRow> rows,
                                         const std::vector<SourceList>& lists, const ReadView* whole) {
  std::vector<FusedEntry> fused = FuseLists(spec, lists);
  const std::unordered_map<std::string_view, size_t> by_key = RowsOfFused(rows, fused);
  auto doc_of = [&](std::string_view key) -> const Value* {
    auto it = by_key.find(key);
    return it == by_key.end() ? nullptr : &rows[it->second].second;
  };
  const VectorSource* vec = FirstVectorSource(spec);
  if (spec.mmr_lambda && vec != nullptr) {
    fused = ApplyMmr(std::move(fused), doc_of, vec->field, vec->query, vec->metric, *spec.mmr_lambda);
  }
  if (spec.order_by) {
    SortByOrder(
        fused, spec.order_by->field, spec.order_by->descending,
        [&](const FusedEntry& e) { return doc_of(e.key); }, [](const FusedEntry& e) { return std::string_view(e.key); });
  }
  apply_window(fused, spec.offset, spec.limit);
  std::vector<QueryRow> out;
  out.reserve(fused.size());
  for (FusedEntry& e : fused) {
    auto it = by_key.find(e.key);
    if (it == by_key.end()) return Fail(EngineError::InvalidArgument("key came from filtered set"));
    Value doc;
    if (whole != nullptr) {
      ASSIGN_OR_RETURN(std::optional<Value> read, get_document_via(*whole, spec.collection, e.key));
      if (!read) return Fail(EngineError::InvalidArgument("key came from filtered set"));
      doc = std::move(*read);
    } else {
      doc = std::move(rows[it->second].second);
    }
    if (spec.select) doc = project_fields(std::move(doc), *spec.select);
    out.push_back(QueryRow{std::move(e.key), std::move(doc), e.score});
  }
  return out;
}

Result<SourceList> ScoreSource(const QuerySpec& spec, const ReadView& view, const std::vector<CandidateRow>& rows,
                               const QuerySource& source) {
  if (const auto* t = std::get_if<TextSource>(&source))
    return ScoreTextSourceIndexed(*spec.engine, view, spec.collection, rows, *t);
  return ScoreVectorSource(rows, std::get<VectorSource>(source));
}

// Scores every candidate for every source; candidates nullopt = the whole
// collection, filtered. A walk keeps only what scoring and ordering read of
// each document, and the few documents returned are read whole at the end.
Result<std::vector<QueryRow>> ExactRoute(const QuerySpec& spec, const ReadView& view, CandidateRows candidates,
                                         const ExecuteOptions& options) {
  std::vector<SourceList> lists;
  std::vector<CandidateRow> rows;
  if (!candidates && !spec.order_by && !(spec.mmr_lambda && FirstVectorSource(spec) != nullptr)) {
    return StreamedExactRoute(spec, view, options.raw_field_reads && TopLevelSourceFields(spec),
                              options.shared_walk);
  }
  const VectorSource* only_vec = spec.sources.size() == 1 ? std::get_if<VectorSource>(&spec.sources[0]) : nullptr;
  if (!candidates && only_vec != nullptr) {
    lists.emplace_back();
    ASSIGN_OR_RETURN(rows, PooledVectorWalk(spec, view, *only_vec, lists.back()));
    return RankedTail(spec, std::move(rows), lists);
  }
  const ReadView* whole = nullptr;
  if (candidates) {
    rows = std::move(*candidates);
  } else {
    ASSIGN_OR_RETURN(rows, WalkFilteredPartial(spec, view, RankedFields(spec)));
    whole = &view;
  }
  for (const QuerySource& s : spec.sources) {
    ASSIGN_OR_RETURN(SourceList list, ScoreSource(spec, view, rows, s));
    lists.push_back(std::move(list));
  }
  return RankedTail(spec, std::move(rows), lists, whole);
}

}  // namespace pallix
