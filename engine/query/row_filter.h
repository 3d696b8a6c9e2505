// The per-row test of every collection walk of the query engine: decode a
// stored row only as far as the filters (and any field the caller names)
// reach, test the filters, and decode the whole document only for rows
// that pass. A walk over a large collection with a selective filter thus
// builds one small partial document per row instead of every document.
//
// The partial decode checks every byte exactly as the full decode does
// (doc/value.h, decode_selected), so a row that does not decode fails the
// walk whether or not it would have matched.
//
// Callers: the executor's walks and the aggregates.
// Thread-safety: immutable after construction.

#ifndef PALLIX_QUERY_ROW_FILTER_H_
#define PALLIX_QUERY_ROW_FILTER_H_

#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "doc/value.h"
#include "query/predicate.h"

namespace pallix {

// Adds every path the tree names (iteratively, any depth).
void AddPredicatePaths(const Predicate& predicate, PathSet& out);

class RowFilter {
 public:
  // `fields`: further paths the caller reads from the partial document.
  RowFilter(const std::vector<Predicate>& filters, const std::vector<std::string_view>& fields);

  // The document reduced to the filter and field paths, or nullopt when a
  // filter fails. Errors: Decode.
  Result<std::optional<Value>> Partial(std::string_view bytes) const;
  // A decode of the filters' paths alone, tested, that hands back the
  // encoded bytes of the top-level fields raw_names as
  // decode_selected_raw_into does; false when a filter fails. One pass over
  // the row, which fails exactly where Partial fails. scratch holds the
  // decoded filter paths and is reused from row to row. Errors: Decode.
  Result<bool> PassesRaw(std::string_view bytes, std::span<const std::string_view> raw_names,
                         std::span<std::string_view> raw_out, Value& scratch) const;
  // The whole document, or nullopt when a filter fails. Errors: Decode.
  Result<std::optional<Value>> Full(std::string_view bytes) const;

 private:
  const std::vector<Predicate>& filters_;
  PathSet filter_paths_;  // what the filters read
  PathSet paths_;  // and the caller's fields
  // Whether the caller's fields reach past the filters' paths: the filters
  // are then tested on a decode of their own paths first, so that a row they
  // reject never builds the caller's fields (a text, a vector).
  bool two_stage_ = false;
};

}  // namespace pallix

#endif  // PALLIX_QUERY_ROW_FILTER_H_
