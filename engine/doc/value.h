// Value: the one document type of the engine, and its binary encoding.
//
// Every document stored in a user collection is a Value; the schema check,
// the index layer, the query engine and the graph code all work on it.
// This module is pure computation: no storage, no locks.
//
// Binary encoding (stored on disk as a document row; never change). All
// multi-byte numbers little-endian; lengths and counts u32 little-endian;
// no header, no version, no padding:
//
//   offset  size  field
//   0       1     tag (ValueKind)
//   1       ...   payload by tag:
//     0 Null    nothing
//     1 Bool    1 byte: 1 true, 0 false (any non-zero decodes as true)
//     2 Int     8 bytes, two's complement
//     3 Float   8 bytes, IEEE 754 bit pattern (NaN payload kept)
//     4 Text    u32 byte length, UTF-8 bytes
//     5 Bytes   u32 byte length, bytes
//     6 Array   u32 count, then each element's full encoding
//     7 Map     u32 count, then per entry in ascending bytewise key order:
//               u32 key length, key UTF-8 bytes, value's full encoding
//     8 Vector  u32 count, then each component as 4 bytes (IEEE single)
//
// Thread-safety: Values are plain data; share read-only or copy.

#ifndef PALLIX_DOC_VALUE_H_
#define PALLIX_DOC_VALUE_H_

#include <bit>
#include <compare>
#include <cstring>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "base/coding.h"
#include "base/error.h"
#include "doc/utf8.h"

namespace pallix {

// Value tags. Stored on disk, never change.
enum class ValueKind : uint8_t {
  kNull = 0,
  kBool = 1,
  kInt = 2,
  kFloat = 3,
  kText = 4,
  kBytes = 5,
  kArray = 6,
  kMap = 7,
  kVector = 8,
};

// The deepest nesting the decoder (and the binding) accepts: a value may sit
// inside at most this many containers.
inline constexpr uint32_t kMaxValueDepth = 128;

class Value;
struct MapEntry;
using ValueArray = std::vector<Value>;
using ValueVector = std::vector<float>;

// A string-keyed map whose entries are kept in ascending bytewise key order.
// Iteration, encoding and equality all see that order.
class ValueMap {
 public:
  ValueMap() = default;

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const std::vector<MapEntry>& entries() const { return entries_; }
  std::vector<MapEntry>::const_iterator begin() const;
  std::vector<MapEntry>::const_iterator end() const;

  // The value under key, or nullptr.
  const Value* Find(std::string_view key) const;
  Value* FindMutable(std::string_view key);
  // Inserts, or replaces the value of an existing key.
  void Set(std::string key, Value value);

  // Appends without ordering; call Normalize() before any other use. Lets a
  // builder add entries in arbitrary order in O(n log n) overall. Returns
  // the appended value, valid until the next append or Normalize().
  Value& AppendUnordered(std::string key, Value value);
  // Makes room for n entries in all.
  void Reserve(size_t n);
  // Removes every entry, keeping the room (a decoder reusing one map for
  // row after row).
  void Clear() { entries_.clear(); }
  // Sorts the entries by key and keeps the last of duplicate keys.
  void Normalize();

 private:
  std::vector<MapEntry> entries_;
};

class Value {
 public:
  Value() = default;  // Null
  static Value Null() { return Value(); }
  static Value Bool(bool b) { return Value(Rep(std::in_place_index<1>, b)); }
  static Value Int(int64_t i) { return Value(Rep(std::in_place_index<2>, i)); }
  static Value Float(double f) { return Value(Rep(std::in_place_index<3>, f)); }
  static Value Text(std::string s) { return Value(Rep(std::in_place_index<4>, TextBox{std::move(s)})); }
  static Value Bytes(std::string b) { return Value(Rep(std::in_place_index<5>, BytesBox{std::move(b)})); }
  static Value Array(ValueArray a) { return Value(Rep(std::in_place_index<6>, std::move(a))); }
  static Value Map(ValueMap m) { return Value(Rep(std::in_place_index<7>, std::move(m))); }
  static Value Vector(ValueVector v) { return Value(Rep(std::in_place_index<8>, std::move(v))); }

  ValueKind kind() const { return static_cast<ValueKind>(rep_.index()); }
  bool is_null() const { return kind() == ValueKind::kNull; }
  bool is_bool() const { return kind() == ValueKind::kBool; }
  bool is_int() const { return kind() == ValueKind::kInt; }
  bool is_float() const { return kind() == ValueKind::kFloat; }
  bool is_number() const { return is_int() || is_float(); }
  bool is_text() const { return kind() == ValueKind::kText; }
  bool is_bytes() const { return kind() == ValueKind::kBytes; }
  bool is_array() const { return kind() == ValueKind::kArray; }
  bool is_map() const { return kind() == ValueKind::kMap; }
  bool is_vector() const { return kind() == ValueKind::kVector; }

  // Accessors; the kind must match (checked by std::get).
  bool as_bool() const { return std::get<1>(rep_); }
  int64_t as_int() const { return std::get<2>(rep_); }
  double as_float() const { return std::get<3>(rep_); }
  const std::string& as_text() const { return std::get<4>(rep_).s; }
  const std::string& as_bytes() const { return std::get<5>(rep_).s; }
  const ValueArray& as_array() const { return std::get<6>(rep_); }
  ValueArray& mutable_array() { return std::get<6>(rep_); }
  const ValueMap& as_map() const { return std::get<7>(rep_); }
  ValueMap& mutable_map() { return std::get<7>(rep_); }
  const ValueVector& as_vector() const { return std::get<8>(rep_); }
  ValueVector& mutable_vector() { return std::get<8>(rep_); }
  // Int or Float widened to double (an Int rounds to nearest).
  double as_number() const { return is_int() ? static_cast<double>(as_int()) : as_float(); }

 private:
  struct TextBox {
    std::string s;
  };
  struct BytesBox {
    std::string s;
  };
  using Rep = std::variant<std::monostate, bool, int64_t, double, TextBox, BytesBox, ValueArray, ValueMap,
                           ValueVector>;
  explicit Value(Rep rep) : rep_(std::move(rep)) {}

  Rep rep_;
};

struct MapEntry {
  std::string key;
  Value value;
};

inline std::vector<MapEntry>::const_iterator ValueMap::begin() const { return entries_.begin(); }
inline std::vector<MapEntry>::const_iterator ValueMap::end() const { return entries_.end(); }

// A moving read position over encoded bytes. Both decoders of the value
// encoding (decode_value here, and the binding's direct bytes-to-Python
// decoder) read through it, so the bounds checks live in one place. Every
// read returns false, consuming nothing, when too few bytes are left.
class ByteCursor {
 public:
  explicit ByteCursor(std::string_view in) : p_(in.data()), end_(in.data() + in.size()), begin_(in.data()) {}

  size_t Left() const { return static_cast<size_t>(end_ - p_); }
  bool Byte(uint8_t& out) {
    if (p_ == end_) return false;
    out = static_cast<uint8_t>(*p_++);
    return true;
  }
  bool U32(uint32_t& out) {
    if (Left() < 4) return false;
    out = DecodeFixed32LE(p_);
    p_ += 4;
    return true;
  }
  bool U64(uint64_t& out) {
    if (Left() < 8) return false;
    out = DecodeFixed64LE(p_);
    p_ += 8;
    return true;
  }
  // The next n bytes.
  bool Take(size_t n, std::string_view& out) {
    if (Left() < n) return false;
    out = std::string_view(p_, n);
    p_ += n;
    return true;
  }
  // The current offset, and a return to one taken earlier.
  size_t Mark() const { return static_cast<size_t>(p_ - begin_); }
  void Rewind(size_t mark) { p_ = begin_ + mark; }

 private:
  const char* p_;
  const char* end_;
  const char* begin_;
};

// The largest length or count the encoding's u32 fields hold.
inline constexpr uint64_t kMaxEncodedLength = UINT32_MAX;

// The InvalidArgument error of a length or count over a u32 limit:
// "<what> length <n> exceeds the limit of <limit>", where what names the
// field ("text", "bytes", "array", "map", "map key", "vector" here; a
// document key, a node key, a field name elsewhere).
EngineError LengthExceeded(std::string_view what, uint64_t n, uint64_t limit);

// The exact size of value's encoding. InvalidArgument (LengthExceeded, for
// the first offending length in encoding order) when a text, bytes or map
// key is longer than max_length bytes, or an array, map or vector has more
// than max_length elements. Callers pass the default; tests pass a small
// limit to reach every check without values of 4 GiB.
Result<size_t> encoded_size(const Value& value, uint64_t max_length = kMaxEncodedLength);

// The binary encoding of value into a new byte string. A value that
// encoded_size refuses is a broken invariant here: the write path checks
// every document first. Throws InvariantError("value length exceeds 4 GiB").
std::string encode_value(const Value& value);
// Appends the same bytes to buffer.
void encode_value_into(const Value& value, std::string& buffer);
// The same, for a value whose encoded_size is known already: size must be
// that size (a mismatch is a broken invariant). Spares the size walk.
void encode_value_into(const Value& value, size_t size, std::string& buffer);

// Decodes exactly one value occupying all of bytes. Every failure is a
// Decode error with the decoder's message ("unexpected end of input",
// "unknown tag 9", "value nests deeper than 128", "invalid utf-8: ...",
// "invalid utf-8 map key: ...", "1 trailing byte(s) after value").
Result<Value> decode_value(std::string_view bytes);
// As decode_value, into out, whose storage a walk decoding one field of
// row after row reuses. On failure out holds some value that must not be
// read.
Status decode_value_into(std::string_view bytes, Value& out);

// Plain equality: kinds must match (Int 1 != Float 1.0); floats by IEEE
// (NaN != NaN, -0.0 == 0.0).
bool values_equal(const Value& a, const Value& b);
// As values_equal, but a NaN equals a NaN at the same place (floats and
// vector components, at any depth).
bool values_same(const Value& a, const Value& b);
// The partial order: numbers across Int and Float (Int/Int exact), text
// bytewise; everything else unordered.
std::partial_ordering value_partial_cmp(const Value& a, const Value& b);

// Dotted-path lookup through maps only ("a.b"); empty path or a missing
// step gives nullptr. A stored Null is returned as a present Null.
const Value* get_path(const Value& value, std::string_view path);

// A set of dotted paths as a tree of segments (split on '.', as get_path
// splits), for decode_selected. A node marked whole selects its entire
// subtree. The empty path selects nothing (get_path finds nothing there).
class PathSet {
 public:
  struct Node {
    bool whole = false;
    std::map<std::string, Node, std::less<>> children;
    // The child under `key`, or null. A selection has a handful of paths,
    // so a scan that compares lengths first beats the tree's ordered
    // compares on every map key of every decoded row.
    const Node* Child(std::string_view key) const {
      for (const auto& [k, n] : children) {
        if (k.size() == key.size() && k == key) return &n;
      }
      return nullptr;
    }
  };
  void Add(std::string_view path);
  const Node& root() const { return root_; }
  bool empty() const { return root_.children.empty(); }

 private:
  Node root_;
};

// decode_value that builds only what the selected paths reach: the entries
// of maps along a selected path that lie off every selected path are read,
// checked exactly as decode_value checks them, and dropped unbuilt. So it
// fails exactly where decode_value fails, and get_path of every selected
// path (and of every prefix of one) finds the same value in both results.
// Filters and aggregates that read a few fields of large documents decode
// with far fewer allocations this way.
Result<Value> decode_selected(std::string_view bytes, const PathSet& paths);

// decode_selected into out that also hands back, in raw_out[i], the encoded
// bytes (tag included) of the top-level map entry named raw_names[i] (the
// last such entry, as in the built map), or an empty view when the value is
// not a map or holds no such entry. Every byte is checked as decode_value
// checks it, so the views hold well-formed values. A walk reads large
// fields (a text, a vector) of the rows it keeps from these views instead
// of building them. Names are single segments (no '.'). out's map (when it
// holds one) is reused, so that a walk decoding row after row allocates for
// the first row only. On failure out holds some value that must not be read.
Status decode_selected_raw_into(std::string_view bytes, const PathSet& paths,
                                std::span<const std::string_view> raw_names, std::span<std::string_view> raw_out,
                                Value& out);

// Checks the shape of bytes as decode_value does (every tag, length and
// depth, and no bytes after the value), building nothing, and hands back in
// raw_out[i] the encoded bytes (tag included) of the top-level map entry
// named names[i] (the last such entry, as in the built map), or an empty
// view when the value is not a map or holds no such entry. Texts and map
// keys are not checked for UTF-8: most of a large row's bytes are fields
// the caller never reads, and it checks what it does read (decode_value,
// or check_value before raw_text). A walk that tests a few top-level
// fields of large rows reads them from these views without building a
// document.
Status scan_top_level(std::string_view bytes, std::span<const std::string_view> names,
                      std::span<std::string_view> raw_out);

// The top-level map entries named names[i] (single segments): for i below
// values.size(), decoded into values[i] with found[i] = &values[i], or
// found[i] null when the value is not a map or holds no such entry; for
// the names after those, their encoded bytes (tag included) handed back in
// raw_out, or an empty view. The last entry of a name wins, as in the built
// map. Every byte is checked exactly as decode_value checks it, so it fails
// exactly where decode_value fails, a raw view holds a well-formed value,
// and get_path of a path below names[i] finds in values[i] what it finds
// in the whole document. values is reused from row to row: a walk that
// reads a few small fields of every row builds no document and, once its
// values hold their kinds, allocates nothing. On failure values, found and
// raw_out must not be read.
Status decode_top_fields(std::string_view bytes, std::span<const std::string_view> names, std::span<Value> values,
                         std::span<const Value*> found, std::span<std::string_view> raw_out);

// Checks bytes exactly as decode_value does (it fails where and as
// decode_value fails), building nothing.
Status check_value(std::string_view bytes);

// Readers of a raw view of decode_selected_raw_into. raw_text: the text when the
// value is a Text. raw_vector_bytes: the components' bytes (float32, little-
// endian, at any alignment) when the value is a Vector. raw_vector_into:
// copies the components into out (reused, so a walk allocates once) when
// the value is a Vector.
bool raw_text(std::string_view encoded, std::string_view& text);
bool raw_vector_bytes(std::string_view encoded, std::string_view& components);
bool raw_vector_into(std::string_view encoded, ValueVector& out);
// A number literal split once for raw_number_order: value_partial_cmp
// compares two Ints as integers and every other pair as doubles.
struct NumberLiteral {
  bool is_int = false;
  int64_t int_value = 0;
  double value = 0;
  static NumberLiteral Of(const Value& number) {
    return {number.is_int(), number.is_int() ? number.as_int() : 0, number.as_number()};
  }
};

// The order of a raw view of an Int or a Float against a literal, as
// value_partial_cmp orders them, as a code: kOrderLess, kOrderEqual,
// kOrderGreater or kOrderUnordered (a NaN); nullopt for any other raw view.
// A walk that tests `field > 5` on every row compares the stored number
// without building it. Inline and computed, not branched on: whether a row
// passes is as good as random from row to row.
inline constexpr unsigned kOrderLess = 0, kOrderEqual = 1, kOrderGreater = 2, kOrderUnordered = 3;
inline std::optional<unsigned> raw_number_order(std::string_view encoded, const NumberLiteral& n) {
  if (encoded.size() != 9) return std::nullopt;
  const uint64_t bits = DecodeFixed64LE(encoded.data() + 1);
  const auto kind = static_cast<ValueKind>(encoded[0]);
  if (kind == ValueKind::kInt && n.is_int) {
    const auto x = static_cast<int64_t>(bits);
    return static_cast<unsigned>(x >= n.int_value) + static_cast<unsigned>(x > n.int_value);
  }
  double x;
  if (kind == ValueKind::kInt) x = static_cast<double>(static_cast<int64_t>(bits));
  else if (kind == ValueKind::kFloat) x = std::bit_cast<double>(bits);
  else return std::nullopt;
  const bool unordered = x != x || n.value != n.value;
  return static_cast<unsigned>(x >= n.value) + static_cast<unsigned>(x > n.value) +
         kOrderUnordered * static_cast<unsigned>(unordered);
}

// raw_number_order as value_partial_cmp(decoded, number) answers it;
// nullopt also when number is not a number.
std::optional<std::partial_ordering> raw_number_cmp(std::string_view encoded, const Value& number);

}  // namespace pallix

#endif  // PALLIX_DOC_VALUE_H_
