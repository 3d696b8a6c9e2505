// Declared schemas: per collection, an ordered list of fields (a dotted path,
// a type, a required flag, a unique flag) that every document write checks.
//
// Each put is checked for presence and type here (validate_document, before
// any transaction, so a violation costs nothing); the unique-field check
// runs inside the write transaction and lives with the write path
// (write/unique.h). Deletes are never checked, and setting a schema does not
// re-check stored documents.
//
// Callers: the write path calls validate_against; the open
// (index/open.h) calls load_schemas, after the index registries; the binding and
// the dump loader call set_schema and get_schema.
//
// Stored record: one row of the internal collection "__schemas__" per
// collection; row key = the collection name's UTF-8 bytes; row value (all
// integers little-endian):
//
//   offset      size  field
//   0           4     field count n, u32
//   then n fields in declared order, each:
//   +0          1     FieldType byte (stored on disk, never change)
//   +1          1     required: 1 true, 0 false (read: non-zero is true)
//   +2          1     unique:   1 true, 0 false (read: non-zero is true)
//   +3          4     name length m, u32
//   +7          m     name, UTF-8
//
// Bytes after the n-th field are ignored on reading. A row that ends early,
// names a type above 8, or holds a name that is not UTF-8 is dropped whole
// at load: that collection then has no schema.
//
// Thread-safety: the registry (Engine::schemas) is read and written only
// under Engine::schema_lock, held just long enough to copy or replace one
// entry. The checks work on their own copy, so a schema replaced while a
// write runs applies from the next write on. set_schema holds the store's
// writer turn from its write to the replacement in memory, so that of two
// schemas set at once, memory keeps the one stored last.

#ifndef PALLIX_DB_SCHEMA_H_
#define PALLIX_DB_SCHEMA_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/error.h"
#include "doc/value.h"
#include "storage/rows.h"
#include "storage/store.h"

namespace pallix {

class Engine;

// The type a schema field demands. Stored on disk, never change. The order
// is not the Value tag order: vector, array and map come in another order
// here (6 accepts tag 8, 7 accepts tag 6, 8 accepts tag 7).
enum class FieldType : uint8_t {
  kAny = 0,
  kBool = 1,
  kInt = 2,
  kFloat = 3,
  kText = 4,
  kBytes = 5,
  kVector = 6,
  kArray = 7,
  kMap = 8,
};

inline constexpr uint8_t kMaxFieldType = 8;

struct SchemaField {
  std::string name;  // dotted path into the document
  FieldType type = FieldType::kAny;
  bool required = false;  // present and not Null
  bool unique = false;    // no other document of the collection holds the same value
  bool operator==(const SchemaField&) const = default;
};

// The schema registry: collection name to its fields in declared order. A
// collection absent from the map has no schema; an empty list is a schema
// that accepts everything.
using SchemaMap = std::unordered_map<std::string, std::vector<SchemaField>, NameHash, std::equal_to<>>;
struct SchemaRegistry {
  SchemaMap by_collection;
};

// The internal collection holding the schema records.
inline constexpr std::string_view kSchemasCollection = "__schemas__";

// Whether a value of `kind` satisfies `type` (exact: int never accepts a
// Float, float never an Int).
bool field_type_accepts(FieldType type, ValueKind kind);
// The canonical names "any", "bool", "int", "float", "text", "bytes",
// "vector", "array", "map", and the exact, case-sensitive reverse.
std::string_view field_type_name(FieldType type);
std::optional<FieldType> field_type_from_name(std::string_view name);

// The stored record of a field list, and its strict reader: nullopt for a
// record the loader drops (see the table above).
std::string encode_schema(const std::vector<SchemaField>& fields);
std::optional<std::vector<SchemaField>> decode_schema(std::string_view record);

// Declares or replaces the collection's schema: name checks (collection,
// then every field name in order), the record written in a transaction of
// its own, then the registry entry replaced. On any failure the registry is
// unchanged. Errors: ReservedCollection, InvalidName, InvalidArgument (a
// field name over 2^32 - 1 bytes, or a record too large to store),
// Transaction, Storage, Commit.
Status set_schema(Engine& engine, std::string_view collection, const std::vector<SchemaField>& fields);

// A copy of the collection's schema, or nullopt when none is declared. No
// name check; never fails (a poisoned schema lock throws InvariantError).
std::optional<std::vector<SchemaField>> get_schema(Engine& engine, std::string_view collection);

// Fills the registry from "__schemas__" at open, holding the schema lock
// throughout; malformed rows are skipped. Errors: Transaction, Storage.
Status load_schemas(Engine& engine);

// The presence and type check: the first declared field the document
// breaks fails with SchemaViolation "field '<name>' is required" (absent or
// Null) or "field '<name>' has the wrong type". No schema, or an empty one,
// passes.
Status validate_document(Engine& engine, std::string_view collection, const Value& document);
// The same against a schema copy the caller already holds.
Status validate_against(const std::vector<SchemaField>& fields, const Value& document);

}  // namespace pallix

#endif  // PALLIX_DB_SCHEMA_H_
