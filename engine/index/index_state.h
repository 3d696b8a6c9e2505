// Index registry rows: the names of the registry collections and index
// namespaces, the registry row keys, and IndexState, the value of every
// registry row (which index exists, its descriptor bytes, and whether its
// build over existing rows is done or where it must go on).
//
// Callers: every index creator, loader, build and resume of the index
// layer, the upkeep of compound indexes, and the query engine (to see
// whether a text or vector index exists and is complete). Pure computation.
//
// Registry collections, one row per declared index:
//
//   collection            kind      row key                  payload
//   __indexes__           vector    registry_key(c, f)       3 bytes: metric,
//                                                            quantization,
//                                                            storage kind
//   __text_indexes__      text      registry_key(c, f)       1 byte: 0 in
//                                                            memory, 1 on disk
//   __scalar_indexes__    scalar    registry_key(c, f)       empty
//   __cscalar_indexes__   compound  compound_registry_key    1 state byte
//   __geo_indexes__       geo       registry_key(c, f)       empty
//   __cscalar_misses__    (marker)  compound_registry_key    row value empty
//
// registry_key(c, f) = c's UTF-8 bytes, 0x00, f's UTF-8 bytes. Names never
// hold NUL, so the first 0x00 splits the key. compound_registry_key(c,
// [f1..fn]) = c, then 0x00 + fi for each field in declared order.
//
// IndexState stored form (numbers big-endian):
//
//   offset     size  field
//   0          1     marker 0xFF
//   1          1     0x01: a build cursor follows; 0x00: build complete
//   2          4     (0x01 only) cursor length L, u32
//   6          L     (0x01 only) cursor bytes
//   2 or 6+L   rest  payload bytes, to the end of the value
//
// These bytes, the marker and flag values are stored on disk; never change.
// A value not starting with 0xFF is an older form: all payload, complete.
// A damaged value starting with 0xFF decodes as "unfinished from the first
// row, empty payload", so a damaged registry row costs a rebuild, never a
// failed open.
//
// Thread-safety: pure functions.

#ifndef PALLIX_INDEX_INDEX_STATE_H_
#define PALLIX_INDEX_INDEX_STATE_H_

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pallix {

inline constexpr std::string_view kVectorRegistry = "__indexes__";
inline constexpr std::string_view kTextRegistry = "__text_indexes__";
inline constexpr std::string_view kScalarRegistry = "__scalar_indexes__";
inline constexpr std::string_view kCompoundRegistry = "__cscalar_indexes__";
inline constexpr std::string_view kGeoRegistry = "__geo_indexes__";
inline constexpr std::string_view kCompoundMisses = "__cscalar_misses__";

// Compound state bytes (the payload of a compound registry row). Stored on
// disk, never change.
inline constexpr char kCompoundNotCovering = 0;  // complete; a later write was not indexable
inline constexpr char kCompoundCovering = 1;     // complete; every document has an entry
inline constexpr char kCompoundBuilding = 2;     // building, or complete with a miss seen

// Index namespaces (the internal collections holding the entries).
std::string scalar_namespace(std::string_view collection, std::string_view field);
std::string geo_namespace(std::string_view collection, std::string_view field);
std::string text_namespace(std::string_view collection, std::string_view field);
std::string vector_namespace(std::string_view collection, std::string_view field);
// "__cscalar__<c>__" followed by the fields joined by the byte 0x01.
std::string compound_table_name(std::string_view collection, const std::vector<std::string>& fields);

std::string registry_key(std::string_view collection, std::string_view field);
// (collection, field) split at the first 0x00; nullopt without a 0x00 or
// when either part is not UTF-8. A key ending in the 0x00 gives "".
std::optional<std::pair<std::string, std::string>> split_index_key(std::string_view key);

std::string compound_registry_key(std::string_view collection, const std::vector<std::string>& fields);
// (collection, fields); nullopt without any field (no 0x00) or when a piece
// is not UTF-8.
std::optional<std::pair<std::string, std::vector<std::string>>> parse_compound_registry_key(std::string_view key);

struct IndexState {
  std::string payload;
  // Present: the build is unfinished and goes on from the first row whose
  // key is >= cursor (empty: from the first row). Absent: complete.
  std::optional<std::string> cursor;
  bool operator==(const IndexState&) const = default;
};

// The stored form. A cursor longer than 4 GiB is a broken invariant (it is
// a row key plus one byte).
std::string encode_index_state(std::string_view payload, const std::optional<std::string>& cursor);
// Never fails; see the rules above.
IndexState decode_index_state(std::string_view bytes);

}  // namespace pallix

#endif  // PALLIX_INDEX_INDEX_STATE_H_
