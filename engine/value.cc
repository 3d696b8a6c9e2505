#include "engine/value.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "engine/lock.h"

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

void ValueMap::AppendUnordered(std::string key, Value value) {
  entries_.push_back(MapEntry{std::move(key), std::move(value)});
}

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

namespace {

void PutU32(std::string& out, size_t n) {
  PALLIX_INVARIANT(n <= UINT32_MAX, "value length exceeds 4 GiB");
  uint32_t v = static_cast<uint32_t>(n);
  char b[4] = {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
               static_cast<char>(v >> 24)};
  out.append(b, 4);
}

void PutU64(std::string& out, uint64_t v) {
  char b[8];
  for (int i = 0; i < 8; ++i) b[i] = static_cast<char>(v >> (8 * i));
  out.append(b, 8);
}

}  // namespace

void encode_value_into(const Value& value, std::string& out) {
  out.push_back(static_cast<char>(value.kind()));
  switch (value.kind()) {
    case ValueKind::kNull:
      return;
    case ValueKind::kBool:
      out.push_back(value.as_bool() ? 1 : 0);
      return;
    case ValueKind::kInt:
      PutU64(out, static_cast<uint64_t>(value.as_int()));
      return;
    case ValueKind::kFloat:
      PutU64(out, std::bit_cast<uint64_t>(value.as_float()));
      return;
    case ValueKind::kText:
    case ValueKind::kBytes: {
      const std::string& s = value.is_text() ? value.as_text() : value.as_bytes();
      PutU32(out, s.size());
      out.append(s);
      return;
    }
    case ValueKind::kArray:
      PutU32(out, value.as_array().size());
      for (const Value& v : value.as_array()) encode_value_into(v, out);
      return;
    case ValueKind::kMap:
      PutU32(out, value.as_map().size());
      for (const MapEntry& e : value.as_map()) {
        PutU32(out, e.key.size());
        out.append(e.key);
        encode_value_into(e.value, out);
      }
      return;
    case ValueKind::kVector: {
      const ValueVector& v = value.as_vector();
      PutU32(out, v.size());
      size_t at = out.size();
      out.resize(at + 4 * v.size());
      // Little-endian host: the in-memory floats are the stored bytes.
      static_assert(std::endian::native == std::endian::little);
      if (!v.empty()) std::memcpy(out.data() + at, v.data(), 4 * v.size());
      return;
    }
  }
}

std::string encode_value(const Value& value) {
  std::string out;
  encode_value_into(value, out);
  return out;
}

// ---------------------------------------------------------------- UTF-8

std::string Utf8Error(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const size_t n = s.size();
  size_t i = 0;
  auto invalid = [&](int len) {
    return "invalid utf-8 sequence of " + std::to_string(len) + " bytes from index " + std::to_string(i);
  };
  auto incomplete = [&] { return "incomplete utf-8 byte sequence from index " + std::to_string(i); };
  auto cont = [](unsigned char c) { return (c & 0xC0) == 0x80; };
  while (i < n) {
    // ASCII fast path: eight bytes at a time.
    while (i + 8 <= n) {
      uint64_t w;
      std::memcpy(&w, p + i, 8);
      if (w & 0x8080808080808080ULL) break;
      i += 8;
    }
    if (i >= n) break;
    unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    if (c >= 0xC2 && c <= 0xDF) {
      if (i + 1 >= n) return incomplete();
      if (!cont(p[i + 1])) return invalid(1);
      i += 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      if (i + 1 >= n) return incomplete();
      unsigned char c1 = p[i + 1];
      bool ok = (c == 0xE0) ? (c1 >= 0xA0 && c1 <= 0xBF) : (c == 0xED) ? (c1 >= 0x80 && c1 <= 0x9F) : cont(c1);
      if (!ok) return invalid(1);
      if (i + 2 >= n) return incomplete();
      if (!cont(p[i + 2])) return invalid(2);
      i += 3;
    } else if (c >= 0xF0 && c <= 0xF4) {
      if (i + 1 >= n) return incomplete();
      unsigned char c1 = p[i + 1];
      bool ok = (c == 0xF0) ? (c1 >= 0x90 && c1 <= 0xBF) : (c == 0xF4) ? (c1 >= 0x80 && c1 <= 0x8F) : cont(c1);
      if (!ok) return invalid(1);
      if (i + 2 >= n) return incomplete();
      if (!cont(p[i + 2])) return invalid(2);
      if (i + 3 >= n) return incomplete();
      if (!cont(p[i + 3])) return invalid(3);
      i += 4;
    } else {
      return invalid(1);
    }
  }
  return {};
}

// ---------------------------------------------------------------- decoding

namespace {

class Decoder {
 public:
  explicit Decoder(std::string_view in) : p_(in.data()), end_(in.data() + in.size()) {}

  Result<Value> Read(uint32_t depth) {
    if (depth > kMaxValueDepth) return Fail(EngineError::Decode("value nests deeper than 128"));
    if (p_ == end_) return Eof();
    uint8_t tag = static_cast<uint8_t>(*p_++);
    switch (tag) {
      case 0:
        return Value::Null();
      case 1:
        if (p_ == end_) return Eof();
        return Value::Bool(*p_++ != 0);
      case 2: {
        if (Left() < 8) return Eof();
        return Value::Int(static_cast<int64_t>(U64()));
      }
      case 3: {
        if (Left() < 8) return Eof();
        return Value::Float(std::bit_cast<double>(U64()));
      }
      case 4:
      case 5: {
        uint32_t len;
        if (!U32(len) || Left() < len) return Eof();
        std::string s(p_, len);
        p_ += len;
        if (tag == 5) return Value::Bytes(std::move(s));
        std::string err = Utf8Error(s);
        if (!err.empty()) return Fail(EngineError::Decode("invalid utf-8: " + err));
        return Value::Text(std::move(s));
      }
      case 6:
        return ReadArray(depth);
      case 7:
        return ReadMap(depth);
      case 8:
        return ReadVector();
      default:
        return Fail(EngineError::Decode("unknown tag " + std::to_string(tag)));
    }
  }

  size_t Left() const { return static_cast<size_t>(end_ - p_); }

 private:
  static std::unexpected<EngineError> Eof() { return Fail(EngineError::Decode("unexpected end of input")); }

  uint64_t U64() {
    uint64_t v;
    std::memcpy(&v, p_, 8);
    p_ += 8;
    return v;
  }
  bool U32(uint32_t& v) {
    if (Left() < 4) return false;
    std::memcpy(&v, p_, 4);
    p_ += 4;
    return true;
  }

  Result<Value> ReadArray(uint32_t depth) {
    uint32_t count;
    if (!U32(count)) return Eof();
    ValueArray items;
    // A hostile count must not make us allocate before the data is seen.
    items.reserve(std::min<uint32_t>(count, 1024));
    for (uint32_t i = 0; i < count; ++i) {
      ASSIGN_OR_RETURN(Value v, Read(depth + 1));
      items.push_back(std::move(v));
    }
    return Value::Array(std::move(items));
  }

  Result<Value> ReadMap(uint32_t depth) {
    uint32_t count;
    if (!U32(count)) return Eof();
    ValueMap map;
    for (uint32_t i = 0; i < count; ++i) {
      uint32_t len;
      if (!U32(len) || Left() < len) return Eof();
      std::string key(p_, len);
      p_ += len;
      std::string err = Utf8Error(key);
      if (!err.empty()) return Fail(EngineError::Decode("invalid utf-8 map key: " + err));
      ASSIGN_OR_RETURN(Value v, Read(depth + 1));
      map.AppendUnordered(std::move(key), std::move(v));
    }
    map.Normalize();
    return Value::Map(std::move(map));
  }

  Result<Value> ReadVector() {
    uint32_t count;
    if (!U32(count)) return Eof();
    if (Left() / 4 < count) return Eof();
    ValueVector v(count);
    if (count) std::memcpy(v.data(), p_, 4 * static_cast<size_t>(count));
    p_ += 4 * static_cast<size_t>(count);
    return Value::Vector(std::move(v));
  }

  const char* p_;
  const char* end_;
};

}  // namespace

Result<Value> decode_value(std::string_view bytes) {
  Decoder d(bytes);
  ASSIGN_OR_RETURN(Value v, d.Read(0));
  if (d.Left() > 0) return Fail(EngineError::Decode(std::to_string(d.Left()) + " trailing byte(s) after value"));
  return v;
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
