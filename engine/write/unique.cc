#include "write/unique.h"

#include <utility>

namespace pallix {

namespace {

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
    // Index-backed search plugs in here: with a built scalar index on the
    // probe's field and a value that has a scalar key (not a NaN), the probe
    // is answered from the index entries under that value, re-reading each
    // candidate document and comparing with values_same; such a probe is
    // then left out of the full pass. Until then every probe takes the full
    // search.
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
