// Result ordering by a document field, and the offset/limit window: the
// last steps of every query run.
//
// The order is total and never fails, whatever the documents hold. Rows fall
// into three classes, always in this order whatever the direction:
//   0  orderable: the field holds an Int, a non-NaN Float or a Text;
//   1  present but unorderable: Null, Bool, Bytes, Array, Map, Vector, NaN;
//   2  missing: the path does not resolve.
// Inside a class a number comes before a non-number, numbers compare by
// value across Int and Float, texts bytewise; `descending` reverses that
// value order only. Every remaining tie (equal values, two unorderable
// values, two missing fields) goes to the key bytes, always ascending.
//
// Thread-safety: pure functions.

#ifndef PALLIX_QUERY_ORDERING_H_
#define PALLIX_QUERY_ORDERING_H_

#include <compare>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "doc/value.h"
#include "query/query_spec.h"

namespace pallix {

// The order of two rows given their field values (nullptr = missing) and
// their keys. Never fails; equal only for equal keys with tied values.
std::weak_ordering compare_rows_for_order(const Value* a, const Value* b, bool descending, std::string_view key_a,
                                          std::string_view key_b);

// Bytewise over the shorter length, then the shorter key first.
std::weak_ordering CompareKeys(std::string_view a, std::string_view b);

// Stable sort of items by compare_rows_for_order on get_path(doc, field),
// where doc_of(item) gives the item's document (nullptr: treated as a
// document without the field) and key_of(item) its key. Used on result rows
// and on fused candidates whose documents the caller looks up by key.
template <typename T, typename DocOf, typename KeyOf>
void SortByOrder(std::vector<T>& items, std::string_view field, bool descending, DocOf doc_of, KeyOf key_of);

// sort_rows_by_order over query rows.
void sort_rows_by_order(std::vector<QueryRow>& rows, std::string_view field, bool descending);

// Keeps rows[min(offset, size)..], then at most `limit` of them.
template <typename T>
void apply_window(std::vector<T>& rows, uint64_t offset, std::optional<uint64_t> limit);

// ------------------------------------------------------------ templates

// The permutation that sorts `values` (one field value per item, parallel to
// `keys`) stably; both vectors are indexed by item position.
std::vector<size_t> OrderPermutation(const std::vector<const Value*>& values, const std::vector<std::string_view>& keys,
                                     bool descending);

template <typename T, typename DocOf, typename KeyOf>
void SortByOrder(std::vector<T>& items, std::string_view field, bool descending, DocOf doc_of, KeyOf key_of) {
  std::vector<const Value*> values;
  std::vector<std::string_view> keys;
  values.reserve(items.size());
  keys.reserve(items.size());
  for (const T& item : items) {
    const Value* doc = doc_of(item);
    values.push_back(doc == nullptr ? nullptr : get_path(*doc, field));
    keys.push_back(key_of(item));
  }
  std::vector<size_t> perm = OrderPermutation(values, keys, descending);
  std::vector<T> sorted;
  sorted.reserve(items.size());
  for (size_t i : perm) sorted.push_back(std::move(items[i]));
  items = std::move(sorted);
}

template <typename T>
void apply_window(std::vector<T>& rows, uint64_t offset, std::optional<uint64_t> limit) {
  uint64_t skip = offset < rows.size() ? offset : rows.size();
  rows.erase(rows.begin(), rows.begin() + static_cast<ptrdiff_t>(skip));
  if (limit && *limit < rows.size()) rows.resize(static_cast<size_t>(*limit));
}

}  // namespace pallix

#endif  // PALLIX_QUERY_ORDERING_H_
