#include "write/unique.h"

#include <bit>
#include <cmath>
#include <functional>
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

// A hash that agrees with values_same: -0.0 hashes as 0.0 and every NaN
// alike. Nesting is bounded by the document depth limit.
uint64_t SameHash(const Value& v) {
  auto mix = [](uint64_t h, uint64_t x) { return (h ^ x) * 0x100000001b3ULL + 0x9e3779b97f4a7c15ULL; };
  auto float_bits = [](double x) -> uint64_t {
    if (std::isnan(x)) return 0x7ff8000000000000ULL;
    return std::bit_cast<uint64_t>(x == 0.0 ? 0.0 : x);
  };
  uint64_t h = static_cast<uint64_t>(v.kind()) + 1;
  switch (v.kind()) {
    case ValueKind::kBool: return mix(h, v.as_bool());
    case ValueKind::kInt: return mix(h, static_cast<uint64_t>(v.as_int()));
    case ValueKind::kFloat: return mix(h, float_bits(v.as_float()));
    case ValueKind::kText: return mix(h, std::hash<std::string_view>()(v.as_text()));
    case ValueKind::kBytes: return mix(h, std::hash<std::string_view>()(v.as_bytes()));
    case ValueKind::kArray:
      for (const Value& e : v.as_array()) h = mix(h, SameHash(e));
      return h;
    case ValueKind::kMap:
      for (const auto& e : v.as_map()) h = mix(mix(h, std::hash<std::string_view>()(e.key)), SameHash(e.value));
      return h;
    case ValueKind::kVector:
      for (float f : v.as_vector()) h = mix(h, float_bits(f));
      return h;
    default:
      return h;
  }
}

}  // namespace

UniqueBatch::UniqueBatch(const std::vector<SchemaField>& fields) {
  for (const SchemaField& f : fields) {
    if (f.unique) fields_.push_back(f.name);
  }
  by_hash_.resize(fields_.size());
}

Status UniqueBatch::Load(WriteCtx& ctx, std::string_view collection) {
  RETURN_IF_ERROR(for_each_row(ctx, collection, [&](std::string_view key, std::string_view bytes) -> Result<bool> {
    ASSIGN_OR_RETURN(Value doc, decode_value(bytes));
    Record(key, doc);
    return true;
  }));
  loaded_ = true;
  return Ok();
}

void UniqueBatch::Record(std::string_view key, const Value& document) {
  std::string k(key);
  auto [it, fresh] = values_.try_emplace(k, fields_.size());
  for (size_t i = 0; i < fields_.size(); ++i) {
    std::optional<Value>& slot = it->second[i];
    if (slot) {
      auto [lo, hi] = by_hash_[i].equal_range(SameHash(*slot));
      for (auto e = lo; e != hi; ++e) {
        if (e->second == k) {
          by_hash_[i].erase(e);
          break;
        }
      }
      slot.reset();
    }
    const Value* v = get_path(document, fields_[i]);
    if (v == nullptr || v->is_null()) continue;
    slot = *v;
    by_hash_[i].emplace(SameHash(*v), k);
  }
}

bool UniqueBatch::Conflicts(const std::string& field, std::string_view key, const Value& value) const {
  size_t i = 0;
  while (i < fields_.size() && fields_[i] != field) ++i;
  if (i == fields_.size()) return false;
  auto [lo, hi] = by_hash_[i].equal_range(SameHash(value));
  for (auto e = lo; e != hi; ++e) {
    if (e->second == key) continue;
    const std::optional<Value>& other = values_.at(e->second)[i];
    if (other && values_same(*other, value)) return true;
  }
  return false;
}

Status check_unique_fields(Engine& engine, WriteCtx& ctx, const std::optional<std::vector<SchemaField>>& fields,
                           std::string_view collection, std::string_view key, const Value& document,
                           UniqueBatch* batch) {
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
    } else if (batch != nullptr) {
      if (!batch->loaded()) RETURN_IF_ERROR(batch->Load(ctx, collection));
      conflict = batch->Conflicts(probes[i].field->name, key, *probes[i].value);
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
