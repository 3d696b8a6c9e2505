// The executor's routes without sources: the filtered scan (planner rows
// or one walk, bounded when a limit caps an ordered result) and the
// ordered scan of a scalar index.

#include <algorithm>
#include <deque>
#include <limits>

#include "index/index_state.h"
#include "index/scalar_lookup.h"
#include "query/executor_internal.h"
#include "query/ordering.h"
#include "query/predicate_eval.h"
#include "query/projection.h"
#include "query/part_walk.h"
#include "query/row_fields.h"
#include "query/row_filter.h"

namespace pallix {

namespace {

constexpr uint64_t kMaxU64 = std::numeric_limits<uint64_t>::max();
constexpr size_t kMinWalkBuffer = 1024;

uint64_t SatAdd(uint64_t a, uint64_t b) { return a > kMaxU64 - b ? kMaxU64 : a + b; }
uint64_t SatDouble(uint64_t a) { return a > kMaxU64 / 2 ? kMaxU64 : 2 * a; }

void SortRows(std::vector<CandidateRow>& rows, const OrderBy& order) {
  SortByOrder(
      rows, order.field, order.descending, [](const CandidateRow& r) { return &r.second; },
      [](const CandidateRow& r) { return std::string_view(r.first); });
}

// Sorts and keeps the first `need` rows.
void TrimOrdered(std::vector<CandidateRow>& rows, const OrderBy& order, uint64_t need) {
  SortRows(rows, order);
  if (rows.size() > need) rows.resize(static_cast<size_t>(need));
}

// Whether an order field value lies outside the index's orderable class:
// missing, or a value that does not compare with itself.
bool Unorderable(const Value* v) {
  return v == nullptr || value_partial_cmp(*v, *v) == std::partial_ordering::unordered;
}

// Loads a batch of keys (absent rows left out) in the batch's order.
Result<std::vector<CandidateRow>> LoadKeys(const ReadView& view, const std::string& collection,
                                           const std::vector<std::string>& keys) {
  std::vector<CandidateRow> rows;
  rows.reserve(keys.size());
  for (const std::string& key : keys) {
    ASSIGN_OR_RETURN(std::optional<std::string> bytes, view.view_get(collection, key));
    if (!bytes) continue;
    ASSIGN_OR_RETURN(Value doc, decode_value(*bytes));
    rows.emplace_back(key, std::move(doc));
  }
  return rows;
}

std::vector<std::string> KeysOfRows(const std::vector<CandidateRow>& rows) {
  std::vector<std::string> keys;
  keys.reserve(rows.size());
  for (const CandidateRow& r : rows) keys.push_back(r.first);
  return keys;
}

// Appends a loaded batch after the skip counter has taken its share.
void TakeBatch(std::vector<CandidateRow>& out, std::vector<CandidateRow> batch, uint64_t& skip) {
  size_t drop = static_cast<size_t>(std::min<uint64_t>(skip, batch.size()));
  skip -= drop;
  for (size_t i = drop; i < batch.size(); ++i) out.push_back(std::move(batch[i]));
}

// A batch of one index value: dropped whole while the offset covers it,
// else loaded and ordered by key (equal values tie on the key).
Status materialize_rows(const QuerySpec& spec, const ReadView& view, const std::vector<std::string>& keys,
                        uint64_t& skip, std::vector<CandidateRow>& out) {
  if (keys.size() <= skip) {
    skip -= keys.size();
    return Ok();
  }
  ASSIGN_OR_RETURN(std::vector<CandidateRow> batch, LoadKeys(view, spec.collection, keys));
  SortRows(batch, *spec.order_by);
  TakeBatch(out, std::move(batch), skip);
  return Ok();
}

// The orderable rows, from the index, in result order.
Result<std::vector<CandidateRow>> OrderableRows(const QuerySpec& spec, const ReadView& view, uint64_t& skip) {
  const std::string ns = scalar_namespace(spec.collection, spec.order_by->field);
  std::vector<CandidateRow> out;
  if (!spec.order_by->descending) {
    RETURN_IF_ERROR(scalar_range_rows(view, ns, [&](std::string_view, std::vector<std::string>& keys) -> Result<bool> {
      RETURN_IF_ERROR(materialize_rows(spec, view, keys, skip, out));
      return !(spec.limit && out.size() >= *spec.limit);
    }));
  } else {
    std::optional<uint64_t> need = WindowNeed(spec);
    std::optional<size_t> target;
    if (need) target = static_cast<size_t>(std::min<uint64_t>(*need, std::numeric_limits<size_t>::max()));
    ASSIGN_OR_RETURN(std::deque<ScalarGroup> groups, scalar_range_keys(view, ns, target));
    // Value groups from the largest down; keys inside a group stay ascending.
    for (auto it = groups.rbegin(); it != groups.rend(); ++it) {
      if (spec.limit && out.size() >= *spec.limit) break;
      RETURN_IF_ERROR(materialize_rows(spec, view, it->keys, skip, out));
    }
  }
  if (spec.limit && out.size() > *spec.limit) out.resize(static_cast<size_t>(*spec.limit));
  return out;
}

}  // namespace

std::optional<uint64_t> WindowNeed(const QuerySpec& spec) {
  if (!spec.limit) return std::nullopt;
  return SatAdd(spec.offset, *spec.limit);
}

std::vector<QueryRow> FinishUnranked(const QuerySpec& spec, std::vector<CandidateRow> rows) {
  if (spec.order_by) SortRows(rows, *spec.order_by);
  apply_window(rows, spec.offset, spec.limit);
  std::vector<QueryRow> out;
  out.reserve(rows.size());
  for (auto& [key, doc] : rows) {
    Value d = spec.select ? project_fields(std::move(doc), *spec.select) : std::move(doc);
    out.push_back(QueryRow{std::move(key), std::move(d), 0.0f});
  }
  return out;
}

Result<std::vector<CandidateRow>> WalkFiltered(const QuerySpec& spec, const ReadView& view, uint64_t enough) {
  std::vector<CandidateRow> rows;
  if (enough == 0) return rows;
  RowFilter filter(spec.filters, {});
  RETURN_IF_ERROR(view.view_for_each(spec.collection, [&](std::string_view key, std::string_view bytes) -> Result<bool> {
    ASSIGN_OR_RETURN(std::optional<Value> doc, filter.Full(bytes));
    if (doc) rows.emplace_back(std::string(key), std::move(*doc));
    return rows.size() < enough;
  }));
  return rows;
}

Result<std::vector<CandidateRow>> WalkFilteredPartial(const QuerySpec& spec, const ReadView& view,
                                                      const std::vector<std::string_view>& fields) {
  std::vector<CandidateRow> rows;
  RowFilter filter(spec.filters, fields);
  RETURN_IF_ERROR(view.view_for_each(spec.collection, [&](std::string_view key, std::string_view bytes) -> Result<bool> {
    ASSIGN_OR_RETURN(std::optional<Value> doc, filter.Partial(bytes));
    if (doc) rows.emplace_back(std::string(key), std::move(*doc));
    return true;
  }));
  return rows;
}

Result<std::vector<QueryRow>> FilteredScanRoute(const QuerySpec& spec, const ReadView& view,
                                                CandidateRows planned) {
  if (planned) {
    if (!spec.order_by) {
      std::stable_sort(planned->begin(), planned->end(),
                       [](const CandidateRow& a, const CandidateRow& b) { return CompareKeys(a.first, b.first) < 0; });
    }
    return FinishUnranked(spec, std::move(*planned));
  }
  std::optional<uint64_t> need = WindowNeed(spec);
  if (!spec.order_by) {
    // The walk meets rows in key order, the order of the result: once the
    // window's last row is met, no later row can enter it. Rows past it are
    // not read, so a row there that does not decode goes unreported.
    ASSIGN_OR_RETURN(std::vector<CandidateRow> rows, WalkFiltered(spec, view, need.value_or(kMaxU64)));
    return FinishUnranked(spec, std::move(rows));
  }
  if (!need) {
    ASSIGN_OR_RETURN(std::vector<CandidateRow> rows, WalkFiltered(spec, view));
    return FinishUnranked(spec, std::move(rows));
  }
  // A bounded walk: memory stays within twice the window per part. The
  // buffers hold partial documents (the order field); the few rows that
  // survive are read whole at the end. Parts walked side by side each keep
  // their own first rows; the order is total (keys break ties), so the
  // first rows of their union are the one-thread walk's.
  const uint64_t bound = std::max<uint64_t>(SatDouble(*need), kMinWalkBuffer);
  ASSIGN_OR_RETURN(std::vector<std::string> splits, PartSplits(view, spec.collection));
  struct Lane {
    Lane(const QuerySpec& spec, const std::string_view& order_field)
        : walk(spec.filters, std::span(&order_field, 1)) {}
    RowFields walk;
    std::vector<CandidateRow> rows;
  };
  const std::string_view order_field = spec.order_by->field;
  std::deque<Lane> lanes;  // one per part: a part is walked by one thread
  for (size_t i = 0; i <= splits.size(); ++i) lanes.emplace_back(spec, order_field);
  RETURN_IF_ERROR(WalkParts(view, spec.collection, splits, [&](size_t part, std::span<const RowRef> batch) -> Result<bool> {
    Lane& lane = lanes[part];
    for (const RowRef& row : batch) {
      ASSIGN_OR_RETURN(bool passed, lane.walk.Next(row.value));
      if (!passed) continue;
      lane.rows.emplace_back(std::string(row.key), lane.walk.Partial());
      if (lane.rows.size() >= bound) TrimOrdered(lane.rows, *spec.order_by, *need);
    }
    return true;
  }));
  std::vector<CandidateRow> rows = std::move(lanes[0].rows);
  for (size_t i = 1; i < lanes.size(); ++i) {
    TrimOrdered(lanes[i].rows, *spec.order_by, *need);
    for (CandidateRow& row : lanes[i].rows) rows.push_back(std::move(row));
  }
  TrimOrdered(rows, *spec.order_by, *need);
  ASSIGN_OR_RETURN(std::vector<CandidateRow> whole, LoadKeys(view, spec.collection, KeysOfRows(rows)));
  return FinishUnranked(spec, std::move(whole));
}

Result<std::vector<QueryRow>> OrderedScanRoute(const QuerySpec& spec, const ReadView& view) {
  if (spec.limit && *spec.limit == 0) return std::vector<QueryRow>();
  uint64_t skip = spec.offset;
  ASSIGN_OR_RETURN(std::vector<CandidateRow> rows, OrderableRows(spec, view, skip));
  if (!(spec.limit && rows.size() >= *spec.limit)) {
    // Rows the index cannot order (missing or unorderable field) follow.
    std::vector<CandidateRow> rest;
    RowFilter filter(spec.filters, {spec.order_by->field});
    RETURN_IF_ERROR(view.view_for_each(spec.collection, [&](std::string_view key, std::string_view bytes) -> Result<bool> {
      ASSIGN_OR_RETURN(std::optional<Value> field_only, filter.Partial(bytes));
      if (!Unorderable(get_path(*field_only, spec.order_by->field))) return true;
      ASSIGN_OR_RETURN(Value doc, decode_value(bytes));
      rest.emplace_back(std::string(key), std::move(doc));
      return true;
    }));
    SortRows(rest, *spec.order_by);
    TakeBatch(rows, std::move(rest), skip);
  }
  QuerySpec window_done;  // the window is applied; only order and projection remain
  window_done.select = spec.select;
  std::vector<QueryRow> out = FinishUnranked(window_done, std::move(rows));
  if (spec.limit && out.size() > *spec.limit) out.resize(static_cast<size_t>(*spec.limit));
  return out;
}

}  // namespace pallix
