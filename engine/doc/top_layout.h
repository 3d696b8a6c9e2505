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
// Callers: RowFilter::PassesRaw and PassesOnLayout (query/row_filter.h),
// which calls Match on every row. Thread-safety: one
// object per walking thread.

#ifndef PALLIX_DOC_TOP_LAYOUT_H_
#define PALLIX_DOC_TOP_LAYOUT_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/coding.h"
#include "base/error.h"
#include "doc/value.h"

namespace pallix {

class TopLayout {
 public:
  // As scan_top_level(bytes, names, raw_out): the same status and the same
  // views. Every call on one object passes the same names.
  Status Scan(std::string_view bytes, std::span<const std::string_view> names, std::span<std::string_view> raw_out);

  // Fills raw_out (as Scan does, for the same names) when bytes has the
  // known layout; false (raw_out then holds nothing to read) when no
  // layout is known or bytes differs from it anywhere, which Scan then
  // reads in full. Inline, for the walks that call it on every row.
  bool Match(std::string_view bytes, std::span<std::string_view> raw_out) const;

  // Whether a layout is known (for tests).
  bool known() const { return known_; }

 private:
  // The names a layout can map to an entry: one bit each.
  static constexpr size_t kMaxNames = 64;

  // One top-level entry: its head (the key's u32 length, its bytes and the
  // value's tag, as stored), matched as its first and last words, which
  // overlap when it is short (eight bytes each from 8 bytes on, else four;
  // a head is at least 5 bytes); the words between them, of a head over 16
  // bytes, are compared from heads_. Then the value's size: fixed, or a u32
  // count (of bytes, or of 4-byte components) and the count's 4 bytes.
  struct Entry {
    uint64_t first;
    uint64_t last;
    uint32_t head_at;    // in heads_
    uint32_t head_size;
    uint32_t fixed;      // the value's size after its tag, when not counted
    uint8_t count_shift;  // counted: the count times 1 << count_shift
    bool counted;
    uint64_t names;      // bit j: the entry is names[j]
  };

  // Learns the layout of bytes, which the full scan accepted.
  void Learn(std::string_view bytes, std::span<const std::string_view> names);
  bool SameMiddle(const char* p, const Entry& e) const;

  std::string heads_;
  std::vector<Entry> entries_;
  uint64_t unnamed_ = 0;  // bit j: no entry of the layout is names[j]
  uint32_t count_ = 0;
  bool known_ = false;
};

inline bool TopLayout::Match(std::string_view bytes, std::span<std::string_view> raw_out) const {
  if (!known_ || bytes.size() < 5 || static_cast<uint8_t>(bytes[0]) != static_cast<uint8_t>(ValueKind::kMap) ||
      DecodeFixed32LE(bytes.data() + 1) != count_)
    return false;
  const char* const p = bytes.data();
  const size_t size = bytes.size();
  size_t at = 5;
  // The rows of a walk share one layout: every branch below goes the same
  // way row after row, and each entry costs a few loads and compares.
  for (const Entry& e : entries_) {
    // The entry read into locals first: the views stored below may alias
    // its words, which would otherwise be loaded again after each store.
    const size_t head_size = e.head_size;
    const uint64_t first = e.first, last = e.last, names = e.names;
    if (size - at < head_size) return false;
    const char* const head = p + at;
    if (head_size >= 8) {
      if (DecodeFixed64LE(head) != first || DecodeFixed64LE(head + head_size - 8) != last) return false;
      if (head_size > 16 && !SameMiddle(head, e)) return false;
    } else if (DecodeFixed32LE(head) != first || DecodeFixed32LE(head + head_size - 4) != last) {
      return false;
    }
    at += head_size;
    size_t value_size = e.fixed;
    if (e.counted) {
      if (size - at < 4) return false;
      value_size = 4 + (static_cast<size_t>(DecodeFixed32LE(p + at)) << e.count_shift);
    }
    if (value_size > size - at) return false;
    at += value_size;
    if (names != 0) {
      const std::string_view value(head + head_size - 1, value_size + 1);  // from the tag on
      for (uint64_t m = names; m != 0; m &= m - 1) raw_out[static_cast<size_t>(__builtin_ctzll(m))] = value;
    }
  }
  for (uint64_t m = unnamed_; m != 0; m &= m - 1) raw_out[static_cast<size_t>(__builtin_ctzll(m))] = {};
  return at == size;
}

}  // namespace pallix

#endif  // PALLIX_DOC_TOP_LAYOUT_H_
