#include "doc/value.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <optional>

#include "base/coding.h"
#include "base/lock.h"

namespace pallix {

// ---------------------------------------------------------------- ValueMap

const Value* ValueMap::Find(std::string_view key) const {
  auto it = std::lower_bound(entries_.begin(), entries_.end(), key,
                             [](const MapEntry& e, std::string_view k) { return std::string_view(e.key) < k; });
  if (it == entries_.end() || it->key != key) return nullptr;
  return &it->value;
}

Value* ValueMap::FindMutable(std::string_view key) {
  return const_cast<Value*>(static_cast<const ValueMap*>(this)->Find(key));
}

void ValueMap::Set(std::string key, Value value) {
  auto it = std::lower_bound(entries_.begin(), entries_.end(), key,
                             [](const MapEntry& e, const std::string& k) { return e.key < k; });
  if (it != entries_.end() && it->key == key) {
    it->value = std::move(value);
  } else {
    entries_.insert(it, MapEntry{std::move(key), std::move(value)});
  }
}

Value& ValueMap::AppendUnordered(std::string key, Value value) {
  entries_.push_back(MapEntry{std::move(key), std::move(value)});
  return entries_.back().value;
}

void ValueMap::Reserve(size_t n) { entries_.reserve(n); }

void ValueMap::Normalize() {
  bool sorted = true;
  for (size_t i = 1; i < entries_.size(); ++i) {
    if (!(entries_[i - 1].key < entries_[i].key)) {
      sorted = false;
      break;
    }
  }
  if (sorted) return;
  // Stable sort keeps insertion order among equal keys, so the last one of
  // each run is the latest and wins.
  std::stable_sort(entries_.begin(), entries_.end(),
                   [](const MapEntry& a, const MapEntry& b) { return a.key < b.key; });
  size_t out = 0;
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (i + 1 < entries_.size() && entries_[i + 1].key == entries_[i].key) continue;
    if (out != i) entries_[out] = std::move(entries_[i]);
    ++out;
  }
  entries_.resize(out);
}

// ---------------------------------------------------------------- encoding

// Encoding runs in two passes: the exact size first (which also checks
// every length against the u32 fields), then the bytes, written through a
// pointer into space reserved once. A document costs one buffer growth and
// no per-field bounds checks; a value that cannot be encoded fails before
// anything is written.

EngineError LengthExceeded(std::string_view what, uint64_t n, uint64_t limit) {
  return EngineError::InvalidArgument(std::string(what) + " length " + std::to_string(n) +
                                      " exceeds the limit of " + std::to_string(limit));
}

namespace {

// Sums encoded sizes, stopping at the first length over the limit. Plain
// values rather than Result<size_t> per node keep the walk as cheap as
// the unchecked one was.
class SizeWalk {
 public:
  explicit SizeWalk(uint64_t limit) : limit_(limit) {}

  // The size, or 0 after a failure (every encoding is at least 1 byte).
  size_t Of(const Value& value) {
    switch (value.kind()) {
      case ValueKind::kNull:
        return 1;
      case ValueKind::kBool:
        return 2;
      case ValueKind::kInt:
      case ValueKind::kFloat:
        return 9;
      case ValueKind::kText:
        return Fits("text", value.as_text().size()) ? 5 + value.as_text().size() : 0;
      case ValueKind::kBytes:
        return Fits("bytes", value.as_bytes().size()) ? 5 + value.as_bytes().size() : 0;
      case ValueKind::kArray: {
        if (!Fits("array", value.as_array().size())) return 0;
        size_t n = 5;
        for (const Value& v : value.as_array()) {
          size_t item = Of(v);
          if (item == 0) return 0;
          n += item;
        }
        return n;
      }
      case ValueKind::kMap: {
        if (!Fits("map", value.as_map().size())) return 0;
        size_t n = 5;
        for (const MapEntry& e : value.as_map()) {
          if (!Fits("map key", e.key.size())) return 0;
          size_t item = Of(e.value);
          if (item == 0) return 0;
          n += 4 + e.key.size() + item;
        }
        return n;
      }
      case ValueKind::kVector:
        return Fits("vector", value.as_vector().size()) ? 5 + 4 * value.as_vector().size() : 0;
    }
    return 0;
  }

  std::optional<EngineError>& error() { return error_; }

 private:
  bool Fits(const char* what, size_t n) {
    if (n <= limit_) return true;
    error_ = LengthExceeded(what, n, limit_);
    return false;
  }

  uint64_t limit_;
  std::optional<EngineError> error_;
};

// Lengths were checked by SizeWalk.
char* PutU32(char* p, size_t n) {
  EncodeFixed32LE(p, static_cast<uint32_t>(n));
  return p + 4;
}

char* PutBytes(char* p, const std::string& s) {
  p = PutU32(p, s.size());
  if (!s.empty()) std::memcpy(p, s.data(), s.size());
  return p + s.size();
}

char* EncodeTo(const Value& value, char* p) {
  static_assert(std::endian::native == std::endian::little);
  *p++ = static_cast<char>(value.kind());
  switch (value.kind()) {
    case ValueKind::kNull:
      return p;
    case ValueKind::kBool:
      *p++ = value.as_bool() ? 1 : 0;
      return p;
    case ValueKind::kInt: {
      EncodeFixed64LE(p, static_cast<uint64_t>(value.as_int()));
      return p + 8;
    }
    case ValueKind::kFloat: {
      // The IEEE bit pattern, NaN payload kept.
      EncodeFixed64LE(p, std::bit_cast<uint64_t>(value.as_float()));
      return p + 8;
    }
    case ValueKind::kText:
      return PutBytes(p, value.as_text());
    case ValueKind::kBytes:
      return PutBytes(p, value.as_bytes());
    case ValueKind::kArray:
      p = PutU32(p, value.as_array().size());
      for (const Value& v : value.as_array()) p = EncodeTo(v, p);
      return p;
    case ValueKind::kMap:
      p = PutU32(p, value.as_map().size());
      for (const MapEntry& e : value.as_map()) p = EncodeTo(e.value, PutBytes(p, e.key));
      return p;
    case ValueKind::kVector: {
      // The in-memory floats are the stored bytes.
      const ValueVector& v = value.as_vector();
      p = PutU32(p, v.size());
      if (!v.empty()) std::memcpy(p, v.data(), 4 * v.size());
      return p + 4 * v.size();
    }
  }
  return p;
}

}  // namespace

Result<size_t> encoded_size(const Value& value, uint64_t max_length) {
  SizeWalk walk(max_length);
  size_t n = walk.Of(value);
  if (walk.error()) return Fail(std::move(*walk.error()));
  return n;
}

void encode_value_into(const Value& value, std::string& out) {
  SizeWalk walk(kMaxEncodedLength);
  const size_t n = walk.Of(value);
  PALLIX_INVARIANT(!walk.error(), "value length exceeds 4 GiB");
  encode_value_into(value, n, out);
}

void encode_value_into(const Value& value, size_t n, std::string& out) {
  const size_t at = out.size();
  // The size handed to the callback is not relied on: libstdc++ 12 passes
  // the capacity there, not the requested size.
  out.resize_and_overwrite(at + n, [&](char* buf, size_t) {
    char* end = EncodeTo(value, buf + at);
    PALLIX_INVARIANT(end == buf + at + n, "encoded size matches the bytes written");
    return at + n;
  });
}

std::string encode_value(const Value& value) {
  std::string out;
  encode_value_into(value, out);
  return out;
}

// ---------------------------------------------------------------- decoding

namespace {

// Decodes into caller-provided slots rather than returning values, so a
// nested value is built in its final place instead of being moved up
// through every level. Maps and arrays reserve their counted size up to a
// small cap, so a hostile count cannot make the decoder allocate much
// before the data behind it is seen.
class Decoder {
 public:
  explicit Decoder(std::string_view in) : in_(in), all_(in) {}

  Status Read(uint32_t depth, Value& out) {
    if (depth > kMaxValueDepth) return Fail(EngineError::Decode("value nests deeper than 128"));
    uint8_t tag;
    if (!in_.Byte(tag)) return Eof();
    switch (tag) {
      case 0:
        out = Value::Null();
        return Ok();
      case 1: {
        uint8_t b;
        if (!in_.Byte(b)) return Eof();
        out = Value::Bool(b != 0);
        return Ok();
      }
      case 2:
      case 3: {
        uint64_t bits;
        if (!in_.U64(bits)) return Eof();
        out = tag == 2 ? Value::Int(static_cast<int64_t>(bits)) : Value::Float(std::bit_cast<double>(bits));
        return Ok();
      }
      case 4:
      case 5: {
        uint32_t len;
        std::string_view bytes;
        if (!in_.U32(len) || !in_.Take(len, bytes)) return Eof();
        if (tag == 5) {
          out = Value::Bytes(std::string(bytes));
          return Ok();
        }
        if (!IsValidUtf8(bytes)) return Utf8Failure("invalid utf-8: ", bytes);
        out = Value::Text(std::string(bytes));
        return Ok();
      }
      case 6:
        return ReadArray(depth, out);
      case 7:
        return ReadMap(depth, out);
      case 8:
        return ReadVector(out);
      default:
        return Fail(EngineError::Decode("unknown tag " + std::to_string(tag)));
    }
  }

  // Read, building only the entries of maps that `node` selects (null or
  // whole: everything).
  Status ReadSelected(uint32_t depth, const PathSet::Node* node, Value& out) {
    if (node == nullptr || node->whole) return Read(depth, out);
    size_t mark = in_.Mark();
    uint8_t tag;
    if (!in_.Byte(tag)) return Eof();
    if (tag != 7 || depth > kMaxValueDepth) {
      in_.Rewind(mark);
      return Read(depth, out);
    }
    uint32_t count;
    if (!in_.U32(count)) return Eof();
    out = Value::Map(ValueMap());
    ValueMap& map = out.mutable_map();
    for (uint32_t i = 0; i < count; ++i) {
      std::string_view key;
      RETURN_IF_ERROR(ReadKey(key));
      const PathSet::Node* child = node->Child(key);
      if (child == nullptr) {
        RETURN_IF_ERROR(Skip(depth + 1));
      } else {
        RETURN_IF_ERROR(ReadSelected(depth + 1, child, map.AppendUnordered(std::string(key), Value())));
      }
    }
    map.Normalize();
    return Ok();
  }

  // ReadSelected at the top, also handing back the encoded bytes (tag
  // included) of each top-level entry named in raw_names; the last entry
  // of a name wins, as it does in the built map.
  Status ReadSelectedRaw(const PathSet::Node* node, std::span<const std::string_view> raw_names,
                         std::span<std::string_view> raw_out, Value& out) {
    for (std::string_view& r : raw_out) r = {};
    size_t mark = in_.Mark();
    uint8_t tag;
    if (!in_.Byte(tag)) return Eof();
    in_.Rewind(mark);
    if (tag != 7 || node == nullptr || node->whole) return ReadSelected(0, node, out);
    in_.Byte(tag);
    uint32_t count;
    if (!in_.U32(count)) return Eof();
    if (!out.is_map()) out = Value::Map(ValueMap());
    ValueMap& map = out.mutable_map();
    map.Clear();
    for (uint32_t i = 0; i < count; ++i) {
      std::string_view key;
      RETURN_IF_ERROR(ReadKey(key));
      const size_t begin = in_.Mark();
      const PathSet::Node* child = node->Child(key);
      if (child == nullptr) {
        RETURN_IF_ERROR(Skip(1));
      } else {
        RETURN_IF_ERROR(ReadSelected(1, child, map.AppendUnordered(std::string(key), Value())));
      }
      for (size_t j = 0; j < raw_names.size(); ++j) {
        if (raw_names[j] == key) raw_out[j] = all_.substr(begin, in_.Mark() - begin);
      }
    }
    map.Normalize();
    return Ok();
  }

  // Past a top-level map's header, its entry count in count; a value of any
  // other kind is checked whole, as Read would, and is_map left false.
  Status EnterTopMap(uint32_t& count, bool& is_map) {
    const size_t mark = in_.Mark();
    uint8_t tag;
    if (!in_.Byte(tag)) return Eof();
    if (tag != 7) {
      in_.Rewind(mark);
      return Skip(0);
    }
    if (!in_.U32(count)) return Eof();
    is_map = true;
    return Ok();
  }

  // Checks the shape of the whole value as Read does, building nothing,
  // and hands back the encoded bytes of the top-level map entries named in
  // names.
  Status ScanTop(std::span<const std::string_view> names, std::span<std::string_view> raw_out) {
    for (std::string_view& r : raw_out) r = {};
    uint32_t count = 0;
    bool is_map = false;
    RETURN_IF_ERROR(EnterTopMap(count, is_map));
    if (!is_map) return Ok();
    for (uint32_t i = 0; i < count; ++i) {
      uint32_t len;
      std::string_view key;
      if (!in_.U32(len) || !in_.Take(len, key)) return Eof();
      const size_t begin = in_.Mark();
      RETURN_IF_ERROR(Skip<false>(1));
      for (size_t j = 0; j < names.size(); ++j) {
        if (SameBytes(names[j], key)) raw_out[j] = all_.substr(begin, in_.Mark() - begin);
      }
    }
    return Ok();
  }

  // Reads the top-level map entries named in names into values (found[j]
  // set to &values[j] when an entry of names[j] is met, the last one
  // winning as in a built map); for the names past values, hands back the
  // entry's encoded bytes in raw_out; checks every byte as Read does. A
  // value that is not a map is checked whole and finds nothing.
  Status ReadTop(std::span<const std::string_view> names, std::span<Value> values, std::span<const Value*> found,
                 std::span<std::string_view> raw_out) {
    for (const Value*& f : found) f = nullptr;
    for (std::string_view& r : raw_out) r = {};
    uint32_t count = 0;
    bool is_map = false;
    RETURN_IF_ERROR(EnterTopMap(count, is_map));
    if (!is_map) return Ok();
    for (uint32_t i = 0; i < count; ++i) {
      std::string_view key;
      RETURN_IF_ERROR(ReadKey(key));
      size_t j = 0;
      while (j < names.size() && !SameBytes(names[j], key)) ++j;
      if (j < values.size()) {
        RETURN_IF_ERROR(Read(1, values[j]));
        found[j] = &values[j];
        continue;
      }
      const size_t begin = in_.Mark();
      RETURN_IF_ERROR(Skip(1));
      if (j < names.size()) raw_out[j - values.size()] = all_.substr(begin, in_.Mark() - begin);
    }
    return Ok();
  }

  // Checks one value as Read does, building nothing. Without kCheckText
  // it checks only the shape (tags, lengths, depth), not the UTF-8 of texts
  // and map keys: what a caller never reads cannot mislead it.
  template <bool kCheckText = true>
  Status Skip(uint32_t depth) {
    if (depth > kMaxValueDepth) return Fail(EngineError::Decode("value nests deeper than 128"));
    uint8_t tag, b;
    uint32_t len;
    uint64_t bits;
    std::string_view bytes;
    if (!in_.Byte(tag)) return Eof();
    switch (tag) {
      case 0:
        return Ok();
      case 1:
        return in_.Byte(b) ? Ok() : Status(Eof());
      case 2:
      case 3:
        return in_.U64(bits) ? Ok() : Status(Eof());
      case 4:
      case 5:
        if (!in_.U32(len) || !in_.Take(len, bytes)) return Eof();
        if (kCheckText && tag == 4 && !IsValidUtf8(bytes))
          return Utf8Failure("invalid utf-8: ", bytes);
        return Ok();
      case 6:
        if (!in_.U32(len)) return Eof();
        for (uint32_t i = 0; i < len; ++i) RETURN_IF_ERROR(Skip<kCheckText>(depth + 1));
        return Ok();
      case 7:
        if (!in_.U32(len)) return Eof();
        for (uint32_t i = 0; i < len; ++i) {
          if constexpr (kCheckText) {
            RETURN_IF_ERROR(ReadKey(bytes));
          } else if (uint32_t key_len; !in_.U32(key_len) || !in_.Take(key_len, bytes)) {
            return Eof();
          }
          RETURN_IF_ERROR(Skip<kCheckText>(depth + 1));
        }
        return Ok();
      case 8:
        if (!in_.U32(len) || !in_.Take(4 * static_cast<size_t>(len), bytes)) return Eof();
        return Ok();
      default:
        return Fail(EngineError::Decode("unknown tag " + std::to_string(tag)));
    }
  }

  // Whether the value took every byte: the end of each decode and check.
  Status AtEnd() const {
    if (in_.Left() > 0) return Fail(EngineError::Decode(std::to_string(in_.Left()) + " trailing byte(s) after value"));
    return Ok();
  }

 private:
  // A map key: length, bytes, UTF-8 check.
  Status ReadKey(std::string_view& key) {
    uint32_t len;
    if (!in_.U32(len) || !in_.Take(len, key)) return Eof();
    if (!IsAscii(key) && !IsValidUtf8(key)) return Utf8Failure("invalid utf-8 map key: ", key);
    return Ok();
  }

  static constexpr uint32_t kMaxReserve = 1024;

  // a == b, for the short field names a walk looks for in every row: a
  // memcmp call per key cost more than the rest of the row's scan.
  static bool SameBytes(std::string_view a, std::string_view b) {
    const size_t n = a.size();
    if (n != b.size()) return false;
    const char* p = a.data();
    const char* q = b.data();
    if (n >= 8) {
      for (size_t i = 0; i + 8 <= n; i += 8)
        if (DecodeFixed64LE(p + i) != DecodeFixed64LE(q + i)) return false;
      return DecodeFixed64LE(p + n - 8) == DecodeFixed64LE(q + n - 8);
    }
    if (n >= 4) return DecodeFixed32LE(p) == DecodeFixed32LE(q) && DecodeFixed32LE(p + n - 4) == DecodeFixed32LE(q + n - 4);
    for (size_t i = 0; i < n; ++i)
      if (p[i] != q[i]) return false;
    return true;
  }

  static std::unexpected<EngineError> Eof() { return Fail(EngineError::Decode("unexpected end of input")); }

  // The error of a text or key that failed the UTF-8 check: built only
  // then, off the path of every valid one.
  [[gnu::cold, gnu::noinline]] static std::unexpected<EngineError> Utf8Failure(const char* what,
                                                                               std::string_view bytes) {
    return Fail(EngineError::Decode(what + DescribeUtf8Fault(bytes)));
  }

  // Eight bytes at a time: every map key of every decoded row passes
  // through here, and almost all are ASCII. A text goes to IsValidUtf8
  // straight away, which skips its ASCII runs as fast: a text that is not
  // all ASCII is then read once, not twice.
  static bool IsAscii(std::string_view s) {
    const char* p = s.data();
    size_t n = s.size();
    uint64_t high = 0;
    for (; n >= 8; p += 8, n -= 8) {
      uint64_t w;
      std::memcpy(&w, p, 8);
      high |= w;
    }
    for (; n > 0; ++p, --n) high |= static_cast<unsigned char>(*p);
    return (high & 0x8080808080808080ULL) == 0;
  }

  Status ReadArray(uint32_t depth, Value& out) {
    uint32_t count;
    if (!in_.U32(count)) return Eof();
    out = Value::Array({});
    ValueArray& items = out.mutable_array();
    items.reserve(std::min(count, kMaxReserve));
    for (uint32_t i = 0; i < count; ++i) {
      items.emplace_back();
      RETURN_IF_ERROR(Read(depth + 1, items.back()));
    }
    return Ok();
  }

  Status ReadMap(uint32_t depth, Value& out) {
    uint32_t count;
    if (!in_.U32(count)) return Eof();
    out = Value::Map(ValueMap());
    ValueMap& map = out.mutable_map();
    map.Reserve(std::min(count, kMaxReserve));
    for (uint32_t i = 0; i < count; ++i) {
      uint32_t len;
      std::string_view key;
      if (!in_.U32(len) || !in_.Take(len, key)) return Eof();
      if (!IsAscii(key) && !IsValidUtf8(key)) return Utf8Failure("invalid utf-8 map key: ", key);
      RETURN_IF_ERROR(Read(depth + 1, map.AppendUnordered(std::string(key), Value())));
    }
    map.Normalize();
    return Ok();
  }

  Status ReadVector(Value& out) {
    uint32_t count;
    if (!in_.U32(count)) return Eof();
    std::string_view data;
    if (!in_.Take(4 * static_cast<size_t>(count), data)) return Eof();
    ValueVector v(count);
    if (count) std::memcpy(v.data(), data.data(), data.size());
    out = Value::Vector(std::move(v));
    return Ok();
  }

  ByteCursor in_;
  std::string_view all_;
};

}  // namespace

void PathSet::Add(std::string_view path) {
  if (path.empty()) return;
  Node* node = &root_;
  while (true) {
    if (node->whole) return;  // an enclosing path already takes everything
    size_t dot = path.find('.');
    std::string_view seg = path.substr(0, dot);
    auto it = node->children.find(seg);
    if (it == node->children.end()) it = node->children.emplace(std::string(seg), Node()).first;
    node = &it->second;
    if (dot == std::string_view::npos) {
      node->whole = true;
      node->children.clear();
      return;
    }
    path.remove_prefix(dot + 1);
  }
}

Result<Value> decode_selected(std::string_view bytes, const PathSet& paths) {
  Decoder d(bytes);
  Value v;
  RETURN_IF_ERROR(d.ReadSelected(0, &paths.root(), v));
  RETURN_IF_ERROR(d.AtEnd());
  return v;
}

Result<Value> decode_value(std::string_view bytes) {
  Value v;
  RETURN_IF_ERROR(decode_value_into(bytes, v));
  return v;
}

Status decode_value_into(std::string_view bytes, Value& out) {
  Decoder d(bytes);
  RETURN_IF_ERROR(d.Read(0, out));
  return d.AtEnd();
}

// ---------------------------------------------------------------- equality

namespace {

template <bool kNanSame>
bool Equal(const Value& a, const Value& b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case ValueKind::kNull:
      return true;
    case ValueKind::kBool:
      return a.as_bool() == b.as_bool();
    case ValueKind::kInt:
      return a.as_int() == b.as_int();
    case ValueKind::kFloat: {
      double x = a.as_float(), y = b.as_float();
      return x == y || (kNanSame && std::isnan(x) && std::isnan(y));
    }
    case ValueKind::kText:
      return a.as_text() == b.as_text();
    case ValueKind::kBytes:
      return a.as_bytes() == b.as_bytes();
    case ValueKind::kArray: {
      const ValueArray& x = a.as_array();
      const ValueArray& y = b.as_array();
      if (x.size() != y.size()) return false;
      for (size_t i = 0; i < x.size(); ++i)
        if (!Equal<kNanSame>(x[i], y[i])) return false;
      return true;
    }
    case ValueKind::kMap: {
      const auto& x = a.as_map().entries();
      const auto& y = b.as_map().entries();
      if (x.size() != y.size()) return false;
      for (size_t i = 0; i < x.size(); ++i)
        if (x[i].key != y[i].key || !Equal<kNanSame>(x[i].value, y[i].value)) return false;
      return true;
    }
    case ValueKind::kVector: {
      const ValueVector& x = a.as_vector();
      const ValueVector& y = b.as_vector();
      if (x.size() != y.size()) return false;
      for (size_t i = 0; i < x.size(); ++i)
        if (!(x[i] == y[i] || (kNanSame && std::isnan(x[i]) && std::isnan(y[i])))) return false;
      return true;
    }
  }
  return false;
}

}  // namespace

bool values_equal(const Value& a, const Value& b) { return Equal<false>(a, b); }
bool values_same(const Value& a, const Value& b) { return Equal<true>(a, b); }

std::partial_ordering value_partial_cmp(const Value& a, const Value& b) {
  if (a.is_int() && b.is_int()) return a.as_int() <=> b.as_int();
  if (a.is_number() && b.is_number()) return a.as_number() <=> b.as_number();
  if (a.is_text() && b.is_text()) {
    int c = a.as_text().compare(b.as_text());
    return c < 0 ? std::partial_ordering::less
                 : c > 0 ? std::partial_ordering::greater : std::partial_ordering::equivalent;
  }
  return std::partial_ordering::unordered;
}

const Value* get_path(const Value& value, std::string_view path) {
  if (path.empty()) return nullptr;
  const Value* cur = &value;
  while (true) {
    size_t dot = path.find('.');
    std::string_view seg = path.substr(0, dot);
    if (!cur->is_map()) return nullptr;
    cur = cur->as_map().Find(seg);
    if (cur == nullptr) return nullptr;
    if (dot == std::string_view::npos) return cur;
    path.remove_prefix(dot + 1);
  }
}

}  // namespace pallix

namespace pallix {

Status decode_selected_raw_into(std::string_view bytes, const PathSet& paths,
                                std::span<const std::string_view> raw_names, std::span<std::string_view> raw_out,
                                Value& out) {
  PALLIX_INVARIANT(raw_names.size() == raw_out.size(), "one raw slot per name");
  Decoder d(bytes);
  RETURN_IF_ERROR(d.ReadSelectedRaw(&paths.root(), raw_names, raw_out, out));
  return d.AtEnd();
}

Status scan_top_level(std::string_view bytes, std::span<const std::string_view> names,
                      std::span<std::string_view> raw_out) {
  PALLIX_INVARIANT(names.size() == raw_out.size(), "one raw slot per name");
  Decoder d(bytes);
  RETURN_IF_ERROR(d.ScanTop(names, raw_out));
  return d.AtEnd();
}

Status decode_top_fields(std::string_view bytes, std::span<const std::string_view> names, std::span<Value> values,
                         std::span<const Value*> found, std::span<std::string_view> raw_out) {
  PALLIX_INVARIANT(values.size() == found.size() && names.size() == values.size() + raw_out.size(),
                   "one value or raw slot per name");
  Decoder d(bytes);
  RETURN_IF_ERROR(d.ReadTop(names, values, found, raw_out));
  return d.AtEnd();
}

Status check_value(std::string_view bytes) {
  Decoder d(bytes);
  RETURN_IF_ERROR(d.Skip(0));
  return d.AtEnd();
}

bool raw_text(std::string_view encoded, std::string_view& text) {
  if (encoded.size() < 5 || static_cast<uint8_t>(encoded[0]) != 4) return false;
  text = encoded.substr(5);
  return true;
}

bool raw_vector_bytes(std::string_view encoded, std::string_view& components) {
  if (encoded.size() < 5 || static_cast<uint8_t>(encoded[0]) != 8) return false;
  components = encoded.substr(5);
  return true;
}

std::optional<std::partial_ordering> raw_number_cmp(std::string_view encoded, const Value& number) {
  if (!number.is_number()) return std::nullopt;
  const std::optional<unsigned> order = raw_number_order(encoded, NumberLiteral::Of(number));
  if (!order) return std::nullopt;
  static constexpr std::partial_ordering kOrders[] = {std::partial_ordering::less, std::partial_ordering::equivalent,
                                                      std::partial_ordering::greater,
                                                      std::partial_ordering::unordered};
  return kOrders[*order];
}

bool raw_vector_into(std::string_view encoded, ValueVector& out) {
  std::string_view data;
  if (!raw_vector_bytes(encoded, data)) return false;
  out.resize(data.size() / 4);
  if (!data.empty()) std::memcpy(out.data(), data.data(), data.size());
  return true;
}

}  // namespace pallix
