// The scan of a row's top-level map (scan_top_level) for a walk whose rows
// share one shape. Rows written by one program hold the same keys in the
// same order, with values of the same kinds, row after row; only the
// lengths of their texts and the numbers differ. TopLayout keeps the
// layout of the last row it scanned in full when every top-level value is
// a scalar, a text, bytes or a vector: the next row is matched against it
// entry by entry (the key's length and bytes and the value's tag as one
// compare, then the value's own length), with none of the general scan's
// search of the names or its dispatch on each tag. A row that differs
// anywhere is scanned in full, which learns its layout in turn.
//
// The matched row's views and status are the full scan's: the layout was
// learnt from a row the scan accepted, a row whose every key and tag bytes
// equal it has the same entries of the same kinds, and each of its lengths
// is checked against the bytes left, as the scan checks it.
//
// Callers: RowFilter::PassesRaw (query/row_filter.h). Thread-safety: one
// object per walking thread.

#ifndef PALLIX_DOC_TOP_LAYOUT_H_
#define PALLIX_DOC_TOP_LAYOUT_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"

namespace pallix {

class TopLayout {
 public:
  // As scan_top_level(bytes, names, raw_out): the same status and the same
  // views. Every call on one object passes the same names.
  Status Scan(std::string_view bytes, std::span<const std::string_view> names, std::span<std::string_view> raw_out);

  // Whether a layout is known (for tests).
  bool known() const { return known_; }

 private:
  // The names a layout can map to an entry: one bit each.
  static constexpr size_t kMaxNames = 64;

  struct Entry {
    uint32_t head_at;    // in heads_: the key's u32 length, its bytes and
    uint32_t head_size;  //   the value's tag, as stored
    uint8_t tag;
    uint64_t names;      // bit j: the entry is names[j]
  };

  // Fills raw_out when bytes has the known layout; false (raw_out then
  // holds nothing to read) when it differs anywhere.
  bool Match(std::string_view bytes, std::span<std::string_view> raw_out) const;
  // Learns the layout of bytes, which the full scan accepted.
  void Learn(std::string_view bytes, std::span<const std::string_view> names);

  std::string heads_;
  std::vector<Entry> entries_;
  uint32_t count_ = 0;
  bool known_ = false;
};

}  // namespace pallix

#endif  // PALLIX_DOC_TOP_LAYOUT_H_
