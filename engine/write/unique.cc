#include "write/unique.h"

#include <cmath>
#include <utility>

#include "index/index_state.h"
#include "index/scalar_index.h"
#include "index/scalar_key.h"

namespace pallix {

namespace {

// Index entries read per step of the index search.
constexpr size_t kUniqueBatch = 256;

EngineError Violation(const std::string& field) {
  return EngineError::SchemaViolation("field '" + field + "' must be unique; value already exists");
}

// One unique field the new document holds a value for.
struct UniqueProbe {
  const SchemaField* field;
  const Value* value;
  std::optional<std::string> index_key;  // set when the scalar index answers
};

// The full search: one pass over the collection's rows answers every probe
// from `first` on that the index does not answer, so several such fields
// cost one scan, not one each. conflict[i] tells whether probe i met an
// equal value under another key. The pass stops early once probe `first`
// conflicts, since no later probe can then decide the outcome; this keeps
// the result (which field is reported, or whether a Decode error wins) the
// same as checking the fields one scan at a time in declared order.
Result<std::vector<bool>> ScanForConflicts(WriteCtx& ctx, const std::vector<UniqueProbe>& probes, size_t first,
                                           std::string_view collection, std::string_view key) {
  std::vector<bool> conflict(probes.size(), false);
  RETURN_IF_ERROR(for_each_row(ctx, collection, [&](std::string_view row_key, std::string_view bytes) -> Result<bool> {
    if (row_key == key) return true;
    ASSIGN_OR_RETURN(Value stored, decode_value(bytes));
    for (size_t i = first; i < probes.size(); ++i) {
      if (conflict[i] || probes[i].index_key) continue;
      const Value* other = get_path(stored, probes[i].field->name);
      if (other != nullptr && values_same(*other, *probes[i].value)) conflict[i] = true;
    }
    return !conflict[first];
  }));
  return conflict;
}

// The index search: every forward entry under the value's key names a
// document that may hold an equal value; each is re-read and compared.
Result<bool> IndexConflict(WriteCtx& ctx, const UniqueProbe& probe, std::string_view collection,
                           std::string_view key) {
  const std::string ns = scalar_namespace(collection, probe.field->name);
  const std::string& prefix = *probe.index_key;
  std::string start = prefix;
  while (true) {
    ASSIGN_OR_RETURN(std::vector<Row> batch, scan_rows_from(ctx, ns, start, kUniqueBatch));
    for (const Row& row : batch) {
      if (!row.key.starts_with(prefix)) return false;
      std::string_view other = std::string_view(row.key).substr(prefix.size());
      if (other == key) continue;
      ASSIGN_OR_RETURN(std::optional<std::string> bytes, get_row(ctx, collection, other));
      if (!bytes) continue;
      ASSIGN_OR_RETURN(Value stored, decode_value(*bytes));
      const Value* v = get_path(stored, probe.field->name);
      if (v != nullptr && values_same(*v, *probe.value)) return true;
    }
    if (batch.empty()) return false;
    start = batch.back().key;
    start.push_back('\0');
  }
}

// The probe's index key when a built scalar index can answer for it.
Result<std::optional<std::string>> IndexKeyFor(Engine& engine, std::string_view collection, const SchemaField& field,
                                               const Value& value) {
  if (value.is_float() && std::isnan(value.as_float())) return std::nullopt;
  std::optional<std::string> encoded = encode_scalar_key(value);
  if (!encoded) return std::nullopt;
  ASSIGN_OR_RETURN(bool indexed, has_scalar_index(engine, collection, field.name));
  if (!indexed) return std::nullopt;
  return encoded;
}

}  // namespace

Status check_unique_fields(Engine& engine, WriteCtx& ctx, const std::optional<std::vector<SchemaField>>& fields,
                           std::string_view collection, std::string_view key, const Value& document) {
  if (!fields) return Ok();
  std::vector<UniqueProbe> probes;
  for (const SchemaField& f : *fields) {
    if (!f.unique) continue;
    const Value* v = get_path(document, f.name);
    if (v == nullptr || v->is_null()) continue;
    ASSIGN_OR_RETURN(std::optional<std::string> index_key, IndexKeyFor(engine, collection, f, *v));
    probes.push_back(UniqueProbe{&f, v, std::move(index_key)});
  }
  // Probes are decided in declared order; the first conflict is reported.
  std::optional<std::vector<bool>> full;
  for (size_t i = 0; i < probes.size(); ++i) {
    bool conflict;
    if (probes[i].index_key) {
      ASSIGN_OR_RETURN(conflict, IndexConflict(ctx, probes[i], collection, key));
    } else {
      if (!full) {
        ASSIGN_OR_RETURN(full, ScanForConflicts(ctx, probes, i, collection, key));
      }
      conflict = (*full)[i];
    }
    if (conflict) return Fail(Violation(probes[i].field->name));
  }
  return Ok();
}

Status prepare_document_write(Engine& engine, WriteCtx& ctx, std::string_view collection, std::string_view key,
                              const Value& document) {
  return check_unique_fields(engine, ctx, get_schema(engine, collection), collection, key, document);
}

}  // namespace pallix
