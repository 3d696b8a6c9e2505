#include "doc/top_layout.h"

#include <cstring>

#include "base/coding.h"
#include "doc/value.h"

namespace pallix {

namespace {

constexpr uint8_t kMapTag = static_cast<uint8_t>(ValueKind::kMap);

// a == b for n bytes, n the length of a short entry head: a memcmp call per
// entry would cost as much as the rest of the match.
bool SameHead(const char* a, const char* b, size_t n) {
  if (n >= 8) {
    for (size_t i = 0; i + 8 <= n; i += 8)
      if (DecodeFixed64LE(a + i) != DecodeFixed64LE(b + i)) return false;
    return DecodeFixed64LE(a + n - 8) == DecodeFixed64LE(b + n - 8);
  }
  return std::memcmp(a, b, n) == 0;
}

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
  if (known_ && Match(bytes, raw_out)) return Ok();
  RETURN_IF_ERROR(scan_top_level(bytes, names, raw_out));
  Learn(bytes, names);
  return Ok();
}

bool TopLayout::Match(std::string_view bytes, std::span<std::string_view> raw_out) const {
  if (bytes.size() < 5 || static_cast<uint8_t>(bytes[0]) != kMapTag || DecodeFixed32LE(bytes.data() + 1) != count_)
    return false;
  for (std::string_view& r : raw_out) r = {};
  const char* const p = bytes.data();
  size_t at = 5;
  for (const Entry& e : entries_) {
    if (bytes.size() - at < e.head_size || !SameHead(p + at, heads_.data() + e.head_at, e.head_size)) return false;
    at += e.head_size;
    size_t size;
    if (!PayloadSize(e.tag, p + at, bytes.size() - at, size)) return false;
    const size_t value_at = at - 1;  // the tag
    at += size;
    for (uint64_t m = e.names; m != 0; m &= m - 1)
      raw_out[static_cast<size_t>(__builtin_ctzll(m))] = bytes.substr(value_at, at - value_at);
  }
  return at == bytes.size();
}

void TopLayout::Learn(std::string_view bytes, std::span<const std::string_view> names) {
  known_ = false;
  heads_.clear();
  entries_.clear();
  if (names.size() > kMaxNames || bytes.size() < 5 || static_cast<uint8_t>(bytes[0]) != kMapTag) return;
  count_ = DecodeFixed32LE(bytes.data() + 1);
  size_t at = 5;
  // The scan accepted bytes: every length below lies within them.
  for (uint32_t i = 0; i < count_; ++i) {
    const size_t key_len = DecodeFixed32LE(bytes.data() + at);
    const std::string_view key = bytes.substr(at + 4, key_len);
    const size_t head_size = 4 + key_len + 1;
    const uint8_t tag = static_cast<uint8_t>(bytes[at + head_size - 1]);
    Entry e{static_cast<uint32_t>(heads_.size()), static_cast<uint32_t>(head_size), tag, 0};
    for (size_t j = 0; j < names.size(); ++j)
      if (names[j] == key) e.names |= uint64_t{1} << j;
    heads_.append(bytes.substr(at, head_size));
    at += head_size;
    size_t size;
    if (!PayloadSize(tag, bytes.data() + at, bytes.size() - at, size)) return;  // an array or a map
    at += size;
    entries_.push_back(e);
  }
  known_ = true;
}

}  // namespace pallix
