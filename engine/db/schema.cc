#include "db/schema.h"

#include <algorithm>
#include <cstring>

#include "base/coding.h"
#include "base/lock.h"
#include "base/test_point.h"
#include "db/engine.h"
#include "storage/read_view.h"
#include "storage/rows.h"

namespace pallix {

namespace {

// Room reserved up front for a record's fields, whatever its count says: a
// damaged count must not make the loader allocate gigabytes.
constexpr size_t kMaxReservedFields = 4096;

constexpr std::string_view kTypeNames[] = {"any", "bool", "int", "float", "text", "bytes", "vector", "array", "map"};

void PutU32Le(std::string& out, size_t n) {
  PALLIX_INVARIANT(n <= UINT32_MAX, "schema length exceeds 4 GiB");
  PutFixed32LE(&out, static_cast<uint32_t>(n));
}

uint32_t GetU32Le(std::string_view bytes, size_t at) { return DecodeFixed32LE(bytes.data() + at); }

EngineError Violation(std::string text) { return EngineError::SchemaViolation(std::move(text)); }

}  // namespace

bool field_type_accepts(FieldType type, ValueKind kind) {
  switch (type) {
    case FieldType::kAny: return true;
    case FieldType::kBool: return kind == ValueKind::kBool;
    case FieldType::kInt: return kind == ValueKind::kInt;
    case FieldType::kFloat: return kind == ValueKind::kFloat;
    case FieldType::kText: return kind == ValueKind::kText;
    case FieldType::kBytes: return kind == ValueKind::kBytes;
    case FieldType::kVector: return kind == ValueKind::kVector;
    case FieldType::kArray: return kind == ValueKind::kArray;
    case FieldType::kMap: return kind == ValueKind::kMap;
  }
  return false;
}

std::string_view field_type_name(FieldType type) {
  auto i = static_cast<uint8_t>(type);
  return i <= kMaxFieldType ? kTypeNames[i] : std::string_view("?");
}

std::optional<FieldType> field_type_from_name(std::string_view name) {
  for (uint8_t i = 0; i <= kMaxFieldType; ++i)
    if (kTypeNames[i] == name) return static_cast<FieldType>(i);
  return std::nullopt;
}

std::string encode_schema(const std::vector<SchemaField>& fields) {
  std::string out;
  PutU32Le(out, fields.size());
  for (const SchemaField& f : fields) {
    out.push_back(static_cast<char>(f.type));
    out.push_back(f.required ? 1 : 0);
    out.push_back(f.unique ? 1 : 0);
    PutU32Le(out, f.name.size());
    out.append(f.name);
  }
  return out;
}

std::optional<std::vector<SchemaField>> decode_schema(std::string_view record) {
  if (record.size() < 4) return std::nullopt;
  uint32_t count = GetU32Le(record, 0);
  std::vector<SchemaField> fields;
  fields.reserve(std::min<size_t>(count, kMaxReservedFields));
  size_t at = 4;
  for (uint32_t i = 0; i < count; ++i) {
    if (record.size() - at < 7) return std::nullopt;
    auto type = static_cast<uint8_t>(record[at]);
    if (type > kMaxFieldType) return std::nullopt;
    uint32_t len = GetU32Le(record, at + 3);
    if (record.size() - at - 7 < len) return std::nullopt;
    std::string_view name = record.substr(at + 7, len);
    if (!IsValidUtf8(name)) return std::nullopt;
    fields.push_back(SchemaField{std::string(name), static_cast<FieldType>(type), record[at + 1] != 0,
                                 record[at + 2] != 0});
    at += 7 + len;
  }
  return fields;
}

Status set_schema(Engine& engine, std::string_view collection, const std::vector<SchemaField>& fields) {
  RETURN_IF_ERROR(check_collection_name(collection));
  for (const SchemaField& f : fields) RETURN_IF_ERROR(validate_name(f.name));
  // The record's u32 count and name lengths.
  if (fields.size() > kMaxEncodedLength)
    return Fail(LengthExceeded("schema", fields.size(), kMaxEncodedLength));
  for (const SchemaField& f : fields) {
    if (f.name.size() > kMaxEncodedLength) return Fail(LengthExceeded("field name", f.name.size(), kMaxEncodedLength));
  }
  // The writer turn keeps another set_schema from committing between this
  // commit and the replacement in memory: memory then always holds the
  // schema stored last.
  ASSIGN_OR_RETURN(Store::WriterTurn turn, engine.store().TakeWriterTurn());
  RETURN_IF_ERROR(put_row_once(engine.store(), kSchemasCollection, collection, encode_schema(fields)));
  ReachTestPoint(TestPoint::kAfterCommit, collection);
  NamedMutex::Guard guard(engine.schema_lock);
  engine.schemas->by_collection[std::string(collection)] = fields;
  return Ok();
}

std::optional<std::vector<SchemaField>> get_schema(Engine& engine, std::string_view collection) {
  NamedMutex::Guard guard(engine.schema_lock);
  auto it = engine.schemas->by_collection.find(collection);
  if (it == engine.schemas->by_collection.end()) return std::nullopt;
  return it->second;
}

Status load_schemas(Engine& engine) {
  NamedMutex::Guard guard(engine.schema_lock);
  ASSIGN_OR_RETURN(std::vector<Row> rows, scan_all_rows(engine.store(), kSchemasCollection));
  for (const Row& row : rows) {
    if (!IsValidUtf8(row.key)) continue;
    std::optional<std::vector<SchemaField>> fields = decode_schema(row.value);
    if (fields) engine.schemas->by_collection[row.key] = std::move(*fields);
  }
  return Ok();
}

Status validate_against(const std::vector<SchemaField>& fields, const Value& document) {
  for (const SchemaField& f : fields) {
    const Value* v = get_path(document, f.name);
    if (v == nullptr || v->is_null()) {
      if (f.required) return Fail(Violation("field '" + f.name + "' is required"));
      continue;
    }
    if (!field_type_accepts(f.type, v->kind())) return Fail(Violation("field '" + f.name + "' has the wrong type"));
  }
  return Ok();
}

Status validate_document(Engine& engine, std::string_view collection, const Value& document) {
  std::optional<std::vector<SchemaField>> fields = get_schema(engine, collection);
  if (!fields) return Ok();
  return validate_against(*fields, document);
}

}  // namespace pallix
