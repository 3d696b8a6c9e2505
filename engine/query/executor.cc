#include "query/executor.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <unordered_map>
#include <unordered_set>

#include "index/resume.h"
#include "index/scalar_index.h"
#include "query/executor_internal.h"
#include "query/fusion.h"
#include "query/ordering.h"
#include "query/predicate_eval.h"
#include "query/projection.h"
#include "query/row_filter.h"
#include "query/sources.h"

namespace pallix {

namespace {

constexpr uint64_t kMinVectorPool = 1024;

std::atomic<bool> raw_field_reads{true};

bool RawFieldsEnabled() { return raw_field_reads.load(std::memory_order_relaxed); }

const VectorSource* FirstVectorSource(const QuerySpec& spec) {
  for (const QuerySource& s : spec.sources) {
    if (const auto* v = std::get_if<VectorSource>(&s)) return v;
  }
  return nullptr;
}

// The bound of a vector source's pool of distances: max(4k, 1024), the
// product saturating.
uint64_t VectorPool(uint64_t k) {
  return std::max<uint64_t>(k > std::numeric_limits<uint64_t>::max() / 4 ? k : 4 * k, kMinVectorPool);
}

// The single-source vector walk over the whole collection: a pool of at
// most max(4k, 1024) distances, cut back to k whenever it fills, so memory
// does not grow with the collection. Only the winners' documents are kept.
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

// Fusion, MMR, ordering, window and projection over the source lists. With
// whole set, rows hold partial documents and the documents returned are
// read whole from it.
Result<std::vector<QueryRow>> RankedTail(const QuerySpec& spec, std::vector<CandidateRow> rows,
                                         const std::vector<SourceList>& lists, const ReadView* whole = nullptr) {
  std::vector<std::vector<std::string>> keys(lists.size());
  for (size_t i = 0; i < lists.size(); ++i) {
    for (const SourceEntry& e : lists[i]) keys[i].push_back(e.key);
  }
  std::vector<FusedEntry> fused = fuse_rrf(keys, spec.rrf_k);
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
// MMR reads the candidates' documents: each kept row's vector distances
// are taken as the walk reaches it (into pools cut back to k as they fill)
// and its partial document is dropped there, so that only keys and the
// texts of the text sources are kept. The candidates' vectors, most of a
// hybrid query's bytes, are then read while still in cache and never held.
// The texts are scored once the walk is over (their statistics span every
// candidate), and the few documents returned are read whole at the end.
//
// When every source reads a top-level field, each row is decoded once, as
// far as the filters reach, and the sources' fields are read from their
// encoded bytes (raw_fields): the kept text is appended to one buffer and
// the distance is taken over the stored components, copied into one reused
// vector, so no partial document is built.
Result<std::vector<QueryRow>> StreamedExactRoute(const QuerySpec& spec, const ReadView& view, bool raw_fields) {
  const size_t n = spec.sources.size();
  std::vector<SourceList> lists(n);
  std::string text_bytes;  // every kept text, end to end
  std::vector<std::vector<std::pair<size_t, size_t>>> texts(n);  // offset and size in text_bytes
  std::vector<std::vector<size_t>> text_rows(n);  // the row of each text
  std::vector<CandidateRow> rows;  // keys only
  const std::vector<std::string_view> fields = RankedFields(spec);
  RowFilter filter(spec.filters, fields);
  std::vector<std::string_view> raw(n);
  ValueVector components;
  auto keep_text = [&](size_t i, std::string_view text) {
    texts[i].emplace_back(text_bytes.size(), text.size());
    text_bytes.append(text);
    text_rows[i].push_back(rows.size() - 1);
  };
  auto keep_distance = [&](size_t i, std::span<const float> v) {
    const VectorSource& src = std::get<VectorSource>(spec.sources[i]);
    if (src.k == 0 || v.size() != src.query.size()) return;
    lists[i].push_back({rows.back().first, distance_by_metric(src.metric, src.query, v)});
    if (lists[i].size() >= VectorPool(src.k)) CutNearest(lists[i], src.k);
  };
  RETURN_IF_ERROR(view.view_for_each(spec.collection, [&](std::string_view key, std::string_view bytes) -> Result<bool> {
    if (raw_fields) {
      ASSIGN_OR_RETURN(bool pass, filter.PassesRaw(bytes, std::span(fields).first(n), raw));
      if (!pass) return true;
      rows.emplace_back(std::string(key), Value());
      for (size_t i = 0; i < n; ++i) {
        if (std::holds_alternative<TextSource>(spec.sources[i])) {
          std::string_view text;
          if (raw_text(raw[i], text)) keep_text(i, text);
        } else if (raw_vector_into(raw[i], components)) {
          keep_distance(i, components);
        }
      }
      return true;
    }
    ASSIGN_OR_RETURN(std::optional<Value> doc, filter.Partial(bytes));
    if (!doc) return true;
    rows.emplace_back(std::string(key), Value());
    for (size_t i = 0; i < n; ++i) {
      const Value* v = get_path(*doc, fields[i]);
      if (v == nullptr) continue;
      if (std::holds_alternative<TextSource>(spec.sources[i])) {
        if (v->is_text()) keep_text(i, v->as_text());
      } else if (v->is_vector()) {
        keep_distance(i, v->as_vector());
      }
    }
    return true;
  }));
  for (size_t i = 0; i < n; ++i) {
    if (const auto* t = std::get_if<TextSource>(&spec.sources[i])) {
      std::vector<TextCandidate> candidates;
      candidates.reserve(texts[i].size());
      for (size_t j = 0; j < texts[i].size(); ++j) {
        candidates.push_back(
            {rows[text_rows[i][j]].first, std::string_view(text_bytes).substr(texts[i][j].first, texts[i][j].second)});
      }
      ASSIGN_OR_RETURN(lists[i], ScoreTextCandidates(*spec.engine, view, spec.collection, candidates, *t));
    } else {
      CutNearest(lists[i], std::get<VectorSource>(spec.sources[i]).k);
    }
  }
  return RankedTail(spec, std::move(rows), lists, &view);
}

// Scores every candidate for every source; candidates nullopt = the whole
// collection, filtered. A walk keeps only what scoring and ordering read of
// each document, and the few documents returned are read whole at the end.
Result<std::vector<QueryRow>> ExactRoute(const QuerySpec& spec, const ReadView& view, CandidateRows candidates) {
  std::vector<SourceList> lists;
  std::vector<CandidateRow> rows;
  const VectorSource* only_vec = spec.sources.size() == 1 ? std::get_if<VectorSource>(&spec.sources[0]) : nullptr;
  if (!candidates && only_vec != nullptr) {
    lists.emplace_back();
    ASSIGN_OR_RETURN(rows, PooledVectorWalk(spec, view, *only_vec, lists.back()));
    return RankedTail(spec, std::move(rows), lists);
  }
  if (!candidates && !spec.order_by && !(spec.mmr_lambda && FirstVectorSource(spec) != nullptr)) {
    return StreamedExactRoute(spec, view, RawFieldsEnabled() && TopLevelSourceFields(spec));
  }
  const ReadView* whole = nullptr;
  if (candidates) {
    rows = std::move(*candidates);
  } else {
    ASSIGN_OR_RETURN(rows, WalkFilteredPartial(spec, view, RankedFields(spec)));
    whole = &view;
  }
  for (const QuerySource& s : spec.sources) {
    if (const auto* t = std::get_if<TextSource>(&s)) {
      ASSIGN_OR_RETURN(SourceList list, ScoreTextSourceIndexed(*spec.engine, view, spec.collection, rows, *t));
      lists.push_back(std::move(list));
    } else {
      lists.push_back(ScoreVectorSource(rows, std::get<VectorSource>(s)));
    }
  }
  return RankedTail(spec, std::move(rows), lists, whole);
}

// The index's proposed keys, fetched and filtered, in the index's order.
Result<std::vector<CandidateRow>> FetchProposed(const QuerySpec& spec, const ReadView& view,
                                                const std::vector<std::string>& keys) {
  std::vector<CandidateRow> rows;
  for (const std::string& key : keys) {
    ASSIGN_OR_RETURN(std::optional<std::string> bytes, view.view_get(spec.collection, key));
    if (!bytes) continue;
    ASSIGN_OR_RETURN(Value doc, decode_value(*bytes));
    if (EvalFilters(spec.filters, doc)) rows.emplace_back(key, std::move(doc));
  }
  return rows;
}

// One source whose index may propose candidates; nullopt sends the query
// down the exact route.
Result<std::optional<std::vector<std::string>>> IndexProposal(const QuerySpec& spec, const ReadView& view) {
  const QuerySource& s = spec.sources[0];
  if (const auto* t = std::get_if<TextSource>(&s)) return IndexTextCandidates(*spec.engine, view, spec.collection, *t);
  return IndexVectorCandidates(*spec.engine, view, spec.collection, std::get<VectorSource>(s));
}

}  // namespace

Result<std::vector<QueryRow>> execute_query(const QuerySpec& spec, const ReadView& view) {
  if (spec.sources.empty()) {
    if (spec.order_by && spec.filters.empty()) {
      ASSIGN_OR_RETURN(bool indexed, has_scalar_index(*spec.engine, spec.collection, spec.order_by->field));
      if (indexed) return OrderedScanRoute(spec, view);
    }
    ASSIGN_OR_RETURN(CandidateRows planned, plan_scalar_candidates(spec, view));
    return FilteredScanRoute(spec, view, std::move(planned));
  }
  if (spec.sources.size() == 1 && (spec.filters.empty() || spec.approx)) {
    ASSIGN_OR_RETURN(std::optional<std::vector<std::string>> proposed, IndexProposal(spec, view));
    if (proposed) {
      ASSIGN_OR_RETURN(std::vector<CandidateRow> rows, FetchProposed(spec, view, *proposed));
      return ExactRoute(spec, view, std::move(rows));
    }
    // No usable index: every candidate is scored exactly.
  }
  ASSIGN_OR_RETURN(CandidateRows planned, plan_scalar_candidates(spec, view));
  return ExactRoute(spec, view, std::move(planned));
}

void set_raw_field_reads(bool on) { raw_field_reads.store(on, std::memory_order_relaxed); }

Result<std::vector<QueryRow>> run_query_entry(QuerySpec spec) {
  RETURN_IF_ERROR(ValidateQuerySpec(spec));
  RETURN_IF_ERROR(resume_index_builds(*spec.engine, spec.collection));
  ASSIGN_OR_RETURN(ReadTxn txn, spec.engine->store().BeginRead());
  ReadView view(txn);
  return execute_query(spec, view);
}

}  // namespace pallix
