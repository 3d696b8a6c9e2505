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

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "doc/top_layout.h"
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
  // What PassesRaw reuses from row to row, made by NewRawScratch for one
  // filter and owned by the walk.
  struct RawScratch {
    size_t filter_fields = 0;              // names: the filters' top-level fields,
    std::vector<std::string_view> names;   //   then the caller's raw names
    std::vector<std::string_view> raw;     // their encoded bytes
    std::vector<Value> values;             // the filters' fields, decoded
    std::vector<const Value*> found;       // into values, null when missing
    Value tested;                          // the filters' paths, when below the top
    TopLayout layout;                      // the last row's, for the next one's scan
  };
  // A scratch for PassesRaw that hands back the encoded bytes of the
  // top-level fields raw_names (single segments); the names must outlive it.
  RawScratch NewRawScratch(std::span<const std::string_view> raw_names) const;
  // The filters tested on a row, handing back in raw_out the encoded bytes
  // of the scratch's raw names as decode_selected_raw_into does (raw_out
  // as long as they are); false when a filter fails. One pass over the row,
  // which fails exactly where Partial fails, but for one case: when every
  // path the filters read lies within a top-level field, those fields alone
  // are decoded, from their bytes, and no document is built; the rest of
  // the row is then checked for its shape, not for UTF-8, so a raw text
  // handed back is checked (check_value) before it is read. Errors: Decode.
  Result<bool> PassesRaw(std::string_view bytes, RawScratch& scratch, std::span<std::string_view> raw_out) const;
  // PassesRaw's answer and views for a row of the layout the scratch learnt
  // from the rows before it, when every filter orders a top-level field
  // against a number and the row holds numbers there; else nullopt (raw_out
  // untouched), and the row takes PassesRaw. Such a row has no byte that
  // PassesRaw would check and this does not. Inline: walks call it on
  // every row, and most rows of a walk share one layout.
  std::optional<bool> PassesOnLayout(std::string_view bytes, RawScratch& scratch,
                                     std::span<std::string_view> raw_out) const {
    if (!compares_only_ || !scratch.layout.Match(bytes, scratch.raw)) return std::nullopt;
    const std::optional<bool> held = ComparesOnBytes(scratch.raw);
    if (held)
      for (size_t i = 0; i < raw_out.size(); ++i) raw_out[i] = scratch.raw[scratch.filter_fields + i];
    return held;
  }
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
  // The filters' fields when every path they read is a top-level field:
  // PassesRaw then tests them on those fields' encoded bytes alone, and
  // decodes no document.
  std::optional<std::vector<std::string_view>> top_fields_;

  // A filter that orders a top-level field against a number (field < 5,
  // field >= 2.5): PassesRaw compares a stored Int or Float with it on the
  // field's bytes, as value_partial_cmp orders them, and builds no Value.
  // Any other stored value takes the decode and the general test.
  struct RawCompare {
    size_t field;          // in top_fields_
    uint8_t holds;         // bit o: the filter holds when the order is o (kOrder*)
    NumberLiteral number;
  };
  // One per filter when every filter is such a compare (compares_only_):
  // the filters then hold exactly when every RawCompare does, on rows
  // whose fields they read are all numbers. Else empty.
  std::vector<RawCompare> raw_compares_;
  bool compares_only_ = false;
  // Tests raw_compares_ on the fields' encoded bytes: nullopt when one of
  // them is not a stored number, which the general test decides.
  std::optional<bool> ComparesOnBytes(std::span<const std::string_view> raw) const;
};

inline std::optional<bool> RowFilter::ComparesOnBytes(std::span<const std::string_view> raw) const {
  for (const RawCompare& c : raw_compares_) {
    const std::optional<unsigned> order = raw_number_order(raw[c.field], c.number);
    if (!order) return std::nullopt;
    // The filters are all required: the first that fails decides, whatever
    // the fields after it hold.
    if (((c.holds >> *order) & 1) == 0) return false;
  }
  return true;
}

}  // namespace pallix

#endif  // PALLIX_QUERY_ROW_FILTER_H_
