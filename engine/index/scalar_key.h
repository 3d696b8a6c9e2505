// Scalar keys: the order-preserving byte form of an indexable value, so that
// an index namespace (an internal collection, ordered bytewise) answers
// equality, range and prefix questions with plain key-range scans.
//
// Callers: the scalar and compound indexes (entries, lookups, ordered
// reads), the unique-field check, the filter planner. Pure computation.
//
// ScalarKey layout (stored on disk inside index row keys; never change):
//
//   offset  size  field
//   0       1     type byte: 1 Bool, 2 number (Int or Float), 3 Text
//                 (stored on disk, never change)
//   1       n     payload with every 0x00 byte written as 0x00 0x01
//   1+n     2     terminator 0x00 0x00
//
//   payload by type:
//     Bool    1 byte: 0 false, 1 true
//     number  8 bytes big-endian: the value as an IEEE double (an Int
//             rounded to nearest), zero of either sign as +0.0, then the
//             sign bit flipped for non-negative bit patterns and every
//             bit complemented for negative ones; NaN keeps its bits
//     Text    the UTF-8 bytes as stored
//
// Null, Bytes, Array, Map and Vector values have no key. The "bound" of a
// value is its key without the terminator: a prefix of every forward key
// holding that value, and above every forward key of a smaller value of the
// same type. A compound key is the keys of several values concatenated,
// each with its own terminator. An escaped payload never holds 0x00 0x00,
// so the first 0x00 0x00 met while skipping 0x00 0x01 pairs is the
// terminator.
//
// Thread-safety: pure functions.

#ifndef PALLIX_INDEX_SCALAR_KEY_H_
#define PALLIX_INDEX_SCALAR_KEY_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/error.h"
#include "doc/value.h"

namespace pallix {

// Type bytes of a ScalarKey. Stored on disk, never change.
inline constexpr uint8_t kKeyTypeBool = 1;
inline constexpr uint8_t kKeyTypeNumber = 2;
inline constexpr uint8_t kKeyTypeText = 3;

// The type byte a value's key would carry, or nullopt for kinds that are
// never indexed.
std::optional<uint8_t> scalar_key_type(const Value& value);

// The value's key, or nullopt for kinds that are never indexed.
std::optional<std::string> encode_scalar_key(const Value& value);
// Appends the key to out and returns true; false (out unchanged) when the
// value has no key.
bool append_scalar_key(const Value& value, std::string& out);
// The key without its terminator (the value's bound), or nullopt.
std::optional<std::string> scalar_key_bound(const Value& value);

// The 64 order-preserving bits of a number (before big-endian writing).
uint64_t number_key_bits(double x);

// Appends bytes with every 0x00 written as 0x00 0x01.
void append_escaped(std::string_view bytes, std::string& out);

// The keys of `values` concatenated in order, or nullopt when any value has
// no key (an empty list gives an empty key).
std::optional<std::string> compound_key(std::span<const Value* const> values);

// The offset of the terminator of the encoded value starting at `start`
// (its type byte), skipping 0x00 0x01 pairs, or nullopt when there is none
// or fewer than 3 bytes remain.
std::optional<size_t> find_key_terminator(std::string_view key, size_t start = 0);

// The document key of a forward row key: the bytes after the first
// terminator (possibly empty), or nullopt (shorter than 3 bytes, or no
// terminator). A view into `key`.
std::optional<std::string_view> doc_key_from_scalar_key(std::string_view key);

// The number held by a number key, whatever its type byte: the unescaped
// payload must be exactly 8 bytes. nullopt otherwise. -0.0 comes back as 0.0.
std::optional<double> decode_scalar_key(std::string_view key);

// A forward key split for the ordered reads. Views into the parsed key.
struct ParsedScalarKey {
  std::string_view bound;       // type byte and escaped payload
  std::string_view doc_key;     // after the terminator
  std::optional<double> number; // set for type byte 2
};

// Splits a forward key of namespace `ns`. Errors: CorruptIndex "empty index
// key in index namespace '<ns>'", "index key without a value terminator in
// index namespace '<ns>': [..]", "numeric index key payload is not 8 bytes
// in index namespace '<ns>': [..]" (the key's bytes as a decimal list).
Result<ParsedScalarKey> parse_scalar_key(std::string_view ns, std::string_view key);

// The bytes as a decimal list, "[3, 97, 0]", as corruption messages show
// keys.
std::string byte_list(std::string_view bytes);

}  // namespace pallix

#endif  // PALLIX_INDEX_SCALAR_KEY_H_
