#include "engine/schema.h"

#include <algorithm>
#include <cstring>

#include "engine/engine.h"
#include "engine/lock.h"

namespace pallix {

namespace {

// Room reserved up front for a record's fields, whatever its count says: a
// damaged count must not make the loader allocate gigabytes.
constexpr size_t kMaxReservedFields = 4096;

constexpr std::string_view kTypeNames[] = {"any", "bool", "int", "float", "text", "bytes", "vector", "array", "map"};

void PutU32Le(std::string& out, size_t n) {
  PALLIX_INVARIANT(n <= UINT32_MAX, "schema length exceeds 4 GiB");
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(n >> (8 * i)));
}

uint32_t GetU32Le(std::string_view bytes, size_t at) {
  uint32_t v;
  std::memcpy(&v, bytes.data() + at, 4);
  return v;
}

EngineError Violation(std::string text) { return EngineError::SchemaViolation(std::move(text)); }

// One unique field the new document holds a value for.
struct UniqueProbe {
  const SchemaField* field;
  const Value* value;
};

// The full search: one pass over the collection's rows answers every probe
// from `first` on, so several unique fields without an index cost one scan,
// not one each. conflict[i] tells whether probe i met an equal value under
// another key. The pass stops early once probe `first` conflicts, since no
// later probe can then decide the outcome; this keeps the result (which
// field is reported, or whether a Decode error wins) the same as checking
// the fields one scan at a time in declared order.
Result<std::vector<bool>> ScanForConflicts(WriteCtx& ctx, const std::vector<UniqueProbe>& probes, size_t first,
                                           std::string_view collection, std::string_view key) {
  std::vector<bool> conflict(probes.size(), false);
  RETURN_IF_ERROR(for_each_row(ctx, collection, [&](std::string_view row_key, std::string_view bytes) -> Result<bool> {
    if (row_key == key) return true;
    ASSIGN_OR_RETURN(Value stored, decode_value(bytes));
    for (size_t i = first; i < probes.size(); ++i) {
      if (conflict[i]) continue;
      const Value* other = get_path(stored, probes[i].field->name);
      if (other != nullptr && values_same(*other, *probes[i].value)) conflict[i] = true;
    }
    return !conflict[first];
  }));
  return conflict;
}

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
  RETURN_IF_ERROR(put_row_once(engine.store(), kSchemasCollection, collection, encode_schema(fields)));
  NamedMutex::Guard guard(engine.schema_lock);
  engine.schemas[std::string(collection)] = fields;
  return Ok();
}

std::optional<std::vector<SchemaField>> get_schema(Engine& engine, std::string_view collection) {
  NamedMutex::Guard guard(engine.schema_lock);
  auto it = engine.schemas.find(collection);
  if (it == engine.schemas.end()) return std::nullopt;
  return it->second;
}

Status load_schemas(Engine& engine) {
  NamedMutex::Guard guard(engine.schema_lock);
  ASSIGN_OR_RETURN(std::vector<Row> rows, scan_all_rows(engine.store(), kSchemasCollection));
  for (const Row& row : rows) {
    if (!IsValidUtf8(row.key)) continue;
    std::optional<std::vector<SchemaField>> fields = decode_schema(row.value);
    if (fields) engine.schemas[row.key] = std::move(*fields);
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

Status check_unique_fields(WriteCtx& ctx, const std::optional<std::vector<SchemaField>>& fields,
                           std::string_view collection, std::string_view key, const Value& document) {
  if (!fields) return Ok();
  std::vector<UniqueProbe> probes;
  for (const SchemaField& f : *fields) {
    if (!f.unique) continue;
    const Value* v = get_path(document, f.name);
    if (v != nullptr && !v->is_null()) probes.push_back(UniqueProbe{&f, v});
  }
  // Probes are decided in declared order; the first conflict is reported.
  std::optional<std::vector<bool>> full;
  for (size_t i = 0; i < probes.size(); ++i) {
    // Index-backed search plugs in here: when the scalar index module
    // reports a built index on the probe's field and the value has a scalar
    // key (not a NaN), the probe is answered from the index entries under
    // that value, re-reading each candidate document and comparing with
    // values_same. Such a probe must then be left out of the full pass.
    // Without that module every probe takes the full search.
    if (!full) {
      ASSIGN_OR_RETURN(std::vector<bool> conflict, ScanForConflicts(ctx, probes, i, collection, key));
      full = std::move(conflict);
    }
    if ((*full)[i]) return Fail(Violation("field '" + probes[i].field->name + "' must be unique; value already exists"));
  }
  return Ok();
}

Status prepare_document_write(Engine& engine, WriteCtx& ctx, std::string_view collection, std::string_view key,
                              const Value& document) {
  return check_unique_fields(ctx, get_schema(engine, collection), collection, key, document);
}

}  // namespace pallix
