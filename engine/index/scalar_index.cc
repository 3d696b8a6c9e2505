#include "index/scalar_index.h"

#include "index/backfill.h"
#include "index/declare.h"
#include "index/entry.h"
#include "index/registry.h"

namespace pallix {

namespace {

// Sets the index's building flag.
Status MarkBuilding(Engine& engine, std::string_view collection, std::string_view field, bool building) {
  NamedMutex::Guard guard(engine.scalar_lock);
  ASSIGN_OR_RETURN(ScalarRegistry * reg, scalar_registry(engine));
  engine.NoteIndexed(collection);
  reg->scalars[FieldKey(collection, field)] = building;
  return Ok();
}

// Refuses a field whose namespace another declaration already uses.
Status CheckNamespaceFree(Engine& engine, std::string_view collection, std::string_view field) {
  const std::string ns = scalar_namespace(collection, field);
  NamedMutex::Guard guard(engine.scalar_lock);
  ASSIGN_OR_RETURN(ScalarRegistry * reg, scalar_registry(engine));
  for (const auto& [declared, building] : reg->scalars) {
    if (declared.first == collection && declared.second == field) continue;
    RETURN_IF_ERROR(check_namespace_free(field, ns, scalar_namespace(declared.first, declared.second),
                                         "collection '" + declared.first + "' field '" + declared.second + "'"));
  }
  return Ok();
}

// The entry of one stored document. A document without the field loses
// any entry it had: a rebuild over rows replaced behind the index's back
// (a dump load writes rows raw) must not keep an old forward row.
Status IndexRow(WriteCtx& ctx, const std::string& ns, std::string_view field, const Row& row, int64_t* delta) {
  ASSIGN_OR_RETURN(Value doc, decode_value(row.value));
  const Value* v = get_path(doc, field);
  if (v == nullptr) return index_entry_remove(ctx, ns, row.key, delta);
  return scalar_entry_put(ctx, ns, row.key, *v, delta);
}

}  // namespace

Status create_scalar_index(Engine& engine, std::string_view collection, std::string_view field) {
  RETURN_IF_ERROR(check_index_names(collection, {std::string(field)}));
  RETURN_IF_ERROR(CheckNamespaceFree(engine, collection, field));
  ASSIGN_OR_RETURN(std::string start,
                   begin_registry_build(engine, kScalarRegistry, registry_key(collection, field), {}));
  RETURN_IF_ERROR(MarkBuilding(engine, collection, field, true));
  return build_scalar_index(engine, collection, field, std::move(start));
}

Status build_scalar_index(Engine& engine, std::string_view collection, std::string_view field, std::string start) {
  const std::string ns = scalar_namespace(collection, field);
  auto writer = [&](WriteCtx& ctx, const std::vector<Row>& batch) -> Status {
    int64_t added = 0;
    for (const Row& row : batch) RETURN_IF_ERROR(IndexRow(ctx, ns, field, row, &added));
    return adjust_row_count(ctx, ns, added);
  };
  RETURN_IF_ERROR(backfill_index(engine, collection, ns, kScalarRegistry, registry_key(collection, field), {},
                                 std::move(start), writer));
  return MarkBuilding(engine, collection, field, false);
}

Result<bool> has_scalar_index(Engine& engine, std::string_view collection, std::string_view field) {
  NamedMutex::Guard guard(engine.scalar_lock);
  ASSIGN_OR_RETURN(ScalarRegistry * reg, scalar_registry(engine));
  auto it = reg->scalars.find(FieldKey(collection, field));
  return it != reg->scalars.end() && !it->second;
}

Result<bool> has_scalar_index_for_read(Engine& engine, std::string_view collection, std::string_view field) {
  NamedMutex::Guard guard(engine.scalar_lock);
  ASSIGN_OR_RETURN(ScalarRegistry * reg, scalar_registry(engine));
  return reg->scalars.contains(FieldKey(collection, field));
}

Result<std::vector<std::string>> scalar_fields_of(Engine& engine, std::string_view collection) {
  NamedMutex::Guard guard(engine.scalar_lock);
  ASSIGN_OR_RETURN(ScalarRegistry * reg, scalar_registry(engine));
  return fields_of(reg->scalars, collection);
}

Status scalar_index_put(Engine& engine, WriteCtx& ctx, std::string_view collection, std::string_view key,
                        const Value& doc) {
  ASSIGN_OR_RETURN(std::vector<std::string> fields, scalar_fields_of(engine, collection));
  for (const std::string& field : fields) {
    const std::string ns = scalar_namespace(collection, field);
    const Value* v = get_path(doc, field);
    if (v == nullptr) {
      RETURN_IF_ERROR(index_entry_remove(ctx, ns, key));
    } else {
      RETURN_IF_ERROR(scalar_entry_put(ctx, ns, key, *v));
    }
  }
  return Ok();
}

Status scalar_index_remove(Engine& engine, WriteCtx& ctx, std::string_view collection, std::string_view key) {
  ASSIGN_OR_RETURN(std::vector<std::string> fields, scalar_fields_of(engine, collection));
  for (const std::string& field : fields) RETURN_IF_ERROR(index_entry_remove(ctx, scalar_namespace(collection, field), key));
  return Ok();
}

}  // namespace pallix
