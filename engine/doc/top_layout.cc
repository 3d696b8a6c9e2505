#include "doc/top_layout.h"

#include <cstring>

#include "base/coding.h"
#include "doc/value.h"

namespace pallix {

namespace {

constexpr uint8_t kMapTag = static_cast<uint8_t>(ValueKind::kMap);

// The bytes after the tag of a value of kind tag that starts at, within
// left bytes: false when they run past them. Only the kinds a layout holds.
bool PayloadSize(uint8_t tag, const char* at, size_t left, size_t& size) {
  switch (static_cast<ValueKind>(tag)) {
    case ValueKind::kNull:
      size = 0;
      break;
    case ValueKind::kBool:
      size = 1;
      break;
    case ValueKind::kInt:
    case ValueKind::kFloat:
      size = 8;
      break;
    case ValueKind::kText:
    case ValueKind::kBytes:
    case ValueKind::kVector: {
      if (left < 4) return false;
      const uint64_t n = DecodeFixed32LE(at);
      size = 4 + (tag == static_cast<uint8_t>(ValueKind::kVector) ? 4 * n : n);
      break;
    }
    default:
      return false;
  }
  return size <= left;
}

}  // namespace

Status TopLayout::Scan(std::string_view bytes, std::span<const std::string_view> names,
                       std::span<std::string_view> raw_out) {
  if (Match(bytes, raw_out)) return Ok();
  RETURN_IF_ERROR(scan_top_level(bytes, names, raw_out));
  Learn(bytes, names);
  return Ok();
}

bool TopLayout::SameMiddle(const char* p, const Entry& e) const {
  // The first and last words are matched already; the words between them,
  // eight bytes at a time (a memcmp call per entry would cost as much as
  // the rest of the match).
  const char* const want = heads_.data() + e.head_at;
  for (size_t i = 8; i + 8 < e.head_size; i += 8)
    if (DecodeFixed64LE(p + i) != DecodeFixed64LE(want + i)) return false;
  return true;
}

void TopLayout::Learn(std::string_view bytes, std::span<const std::string_view> names) {
  known_ = false;
  heads_.clear();
  entries_.clear();
  if (names.size() > kMaxNames || bytes.size() < 5 || static_cast<uint8_t>(bytes[0]) != kMapTag) return;
  count_ = DecodeFixed32LE(bytes.data() + 1);
  unnamed_ = names.size() == kMaxNames ? ~uint64_t{0} : (uint64_t{1} << names.size()) - 1;
  size_t at = 5;
  // The scan accepted bytes: every length below lies within them.
  for (uint32_t i = 0; i < count_; ++i) {
    const size_t key_len = DecodeFixed32LE(bytes.data() + at);
    const std::string_view key = bytes.substr(at + 4, key_len);
    const size_t head_size = 4 + key_len + 1;
    const char* const head = bytes.data() + at;
    const uint8_t tag = static_cast<uint8_t>(head[head_size - 1]);
    Entry e{};
    e.head_at = static_cast<uint32_t>(heads_.size());
    e.head_size = static_cast<uint32_t>(head_size);
    if (head_size >= 8) {
      e.first = DecodeFixed64LE(head);
      e.last = DecodeFixed64LE(head + head_size - 8);
    } else {
      e.first = DecodeFixed32LE(head);
      e.last = DecodeFixed32LE(head + head_size - 4);
    }
    for (size_t j = 0; j < names.size(); ++j)
      if (names[j] == key) e.names |= uint64_t{1} << j;
    unnamed_ &= ~e.names;
    heads_.append(head, head_size);
    at += head_size;
    size_t size;
    if (!PayloadSize(tag, bytes.data() + at, bytes.size() - at, size)) return;  // an array or a map
    switch (static_cast<ValueKind>(tag)) {
      case ValueKind::kText:
      case ValueKind::kBytes:
        e.counted = true;
        break;
      case ValueKind::kVector:
        e.counted = true;
        e.count_shift = 2;
        break;
      default:
        e.fixed = static_cast<uint32_t>(size);
    }
    at += size;
    entries_.push_back(e);
  }
  known_ = true;
}

}  // namespace pallix
