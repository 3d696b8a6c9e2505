#include "index/compound_index.h"

#include "index/backfill.h"
#include "index/declare.h"
#include "index/entry.h"
#include "index/registry.h"

namespace pallix {

namespace {

const std::string kBuildingPayload(1, kCompoundBuilding);

Status CheckFields(std::string_view collection, const std::vector<std::string>& fields) {
  RETURN_IF_ERROR(check_collection_name(collection));
  if (fields.empty()) return Fail(EngineError::InvalidArgument("a compound index needs at least one field"));
  for (const std::string& f : fields) {
    RETURN_IF_ERROR(validate_name(f));
    // 0x01 joins the fields in the namespace: ["a\x01b"] would share the
    // entries of ["a", "b"]. The kind's fixed text names only NUL and "__",
    // so the detail names the byte.
    if (f.find('\x01') != std::string::npos)
      return Fail(EngineError::InvalidName(f + " (a compound index field may not hold the byte 0x01 either)"));
  }
  return Ok();
}

std::string Describe(const CompoundKey& key) {
  std::string out = "collection '" + key.first + "' fields [";
  for (size_t i = 0; i < key.second.size(); ++i) out += (i ? ", '" : "'") + key.second[i] + "'";
  return out + "]";
}

Status CheckNamespaceFree(Engine& engine, std::string_view collection, const std::vector<std::string>& fields) {
  const std::string ns = compound_table_name(collection, fields);
  NamedMutex::Guard guard(engine.scalar_lock);
  ASSIGN_OR_RETURN(ScalarRegistry * reg, scalar_registry(engine));
  for (const auto& [declared, flags] : reg->compounds) {
    if (declared.first == collection && declared.second == fields) continue;
    RETURN_IF_ERROR(check_namespace_free(fields.front(), ns, compound_table_name(declared.first, declared.second),
                                         Describe(declared)));
  }
  return Ok();
}

Status SetFlags(Engine& engine, std::string_view collection, const std::vector<std::string>& fields,
                CompoundFlags flags) {
  NamedMutex::Guard guard(engine.scalar_lock);
  ASSIGN_OR_RETURN(ScalarRegistry * reg, scalar_registry(engine));
  engine.NoteIndexed(collection);
  reg->compounds[CompoundKey(collection, fields)] = flags;
  return Ok();
}

// The values of `fields` in doc, or an empty list when one is missing.
std::vector<const Value*> FieldValues(const Value& doc, const std::vector<std::string>& fields) {
  std::vector<const Value*> values;
  values.reserve(fields.size());
  for (const std::string& f : fields) {
    const Value* v = get_path(doc, f);
    if (v == nullptr) return {};
    values.push_back(v);
  }
  return values;
}

// Writes the document's entry; false when it cannot be indexed (its old
// entry is then gone too, so a rebuild over replaced rows leaves nothing
// stale behind).
Result<bool> PutEntry(WriteCtx& ctx, const std::string& ns, const std::vector<std::string>& fields,
                      std::string_view key, const Value& doc, int64_t* delta = nullptr) {
  std::vector<const Value*> values = FieldValues(doc, fields);
  if (values.empty()) {
    RETURN_IF_ERROR(index_entry_remove(ctx, ns, key, delta));
    return false;
  }
  return compound_entry_put(ctx, ns, key, values, delta);
}

// Whether the registry row is the one the last batch left: complete,
// still in the building state, so no write's miss has settled it since.
bool LeftByTheBuild(const std::optional<std::string>& row) {
  if (!row) return false;
  IndexState state = decode_index_state(*row);
  return !state.cursor && !state.payload.empty() && state.payload[0] == kCompoundBuilding;
}

// After a build: settles whether the index covers every document and
// marks its entry built. Both happen in one write transaction, the entry
// before the commit: a write that cannot index a document either commits
// before it (and has written its miss, which this sees) or begins after
// it (and then finds the entry built and turns it, and the row, not
// covering). Settled apart, such a miss between the last batch and the
// settling would be overwritten by "covering".
Status SettleBuilt(Engine& engine, std::string_view collection, const std::vector<std::string>& fields,
                   bool was_building) {
  const std::string reg_key = compound_registry_key(collection, fields);
  ASSIGN_OR_RETURN(WriteCtx ctx, BeginWriteCtx(engine.store()));
  ASSIGN_OR_RETURN(std::optional<std::string> row, get_row(ctx, kCompoundRegistry, reg_key));
  bool covering = false;
  if (was_building && LeftByTheBuild(row)) {
    ASSIGN_OR_RETURN(std::optional<std::string> miss, get_row(ctx, kCompoundMisses, reg_key));
    covering = !miss;  // with a miss the row stays "state 2, complete": not covering
  }
  if (covering)
    RETURN_IF_ERROR(put_row(ctx, kCompoundRegistry, reg_key, encode_index_state({&kCompoundCovering, 1}, std::nullopt)));
  {
    NamedMutex::Guard guard(engine.scalar_lock);
    ASSIGN_OR_RETURN(ScalarRegistry * reg, scalar_registry(engine));
    CompoundKey id(collection, fields);
    auto it = reg->compounds.find(id);
    if (it != reg->compounds.end() && !it->second.building) covering = covering && it->second.covering;
    engine.NoteIndexed(collection);
    reg->compounds[std::move(id)] = CompoundFlags{false, covering};
  }
  Status committed = ctx.Commit();
  if (!committed && covering) RETURN_IF_ERROR(SetFlags(engine, collection, fields, CompoundFlags{false, false}));
  return committed;
}

// A put that could not index the document.
Status RecordMiss(Engine& engine, WriteCtx& ctx, std::string_view collection, const std::vector<std::string>& fields) {
  const std::string reg_key = compound_registry_key(collection, fields);
  ASSIGN_OR_RETURN(std::optional<std::string> row, get_row(ctx, kCompoundRegistry, reg_key));
  if (row) {
    if (decode_index_state(*row).cursor) {
      RETURN_IF_ERROR(put_row(ctx, kCompoundMisses, reg_key, {}));
    } else {
      RETURN_IF_ERROR(put_row(ctx, kCompoundRegistry, reg_key, encode_index_state({&kCompoundNotCovering, 1}, std::nullopt)));
    }
  }
  NamedMutex::Guard guard(engine.scalar_lock);
  ASSIGN_OR_RETURN(ScalarRegistry * reg, scalar_registry(engine));
  auto it = reg->compounds.find(CompoundKey(collection, fields));
  if (it != reg->compounds.end()) it->second.covering = false;
  return Ok();
}

}  // namespace

Status reset_compound_state(Engine& engine, std::string_view reg_key) {
  ASSIGN_OR_RETURN(WriteCtx ctx, BeginWriteCtx(engine.store()));
  RETURN_IF_ERROR(put_row(ctx, kCompoundRegistry, reg_key, encode_index_state(kBuildingPayload, std::string())));
  RETURN_IF_ERROR(delete_row_counted(ctx, kCompoundMisses, reg_key));
  return ctx.Commit();
}

Status create_compound_index(Engine& engine, std::string_view collection, const std::vector<std::string>& fields) {
  RETURN_IF_ERROR(CheckFields(collection, fields));
  RETURN_IF_ERROR(CheckNamespaceFree(engine, collection, fields));
  const std::string reg_key = compound_registry_key(collection, fields);
  ASSIGN_OR_RETURN(std::optional<IndexState> state, read_index_state_once(engine.store(), kCompoundRegistry, reg_key));
  std::string start;
  if (state && state->cursor) {
    start = *state->cursor;
  } else {
    RETURN_IF_ERROR(reset_compound_state(engine, reg_key));
  }
  RETURN_IF_ERROR(SetFlags(engine, collection, fields, CompoundFlags{true, false}));
  return build_compound_index(engine, collection, fields, std::move(start));
}

Status build_compound_index(Engine& engine, std::string_view collection, const std::vector<std::string>& fields,
                            std::string start) {
  const std::string reg_key = compound_registry_key(collection, fields);
  const std::string ns = compound_table_name(collection, fields);
  ASSIGN_OR_RETURN(std::optional<IndexState> before, read_index_state_once(engine.store(), kCompoundRegistry, reg_key));
  const bool was_building = before && !before->payload.empty() && before->payload[0] == kCompoundBuilding;
  auto writer = [&](WriteCtx& ctx, const std::vector<Row>& batch) -> Status {
    int64_t added = 0;
    for (const Row& row : batch) {
      ASSIGN_OR_RETURN(Value doc, decode_value(row.value));
      ASSIGN_OR_RETURN(bool indexed, PutEntry(ctx, ns, fields, row.key, doc, &added));
      if (!indexed) RETURN_IF_ERROR(put_row(ctx, kCompoundMisses, reg_key, {}));
    }
    return adjust_row_count(ctx, ns, added);
  };
  RETURN_IF_ERROR(backfill_index(engine, collection, ns, kCompoundRegistry, reg_key, kBuildingPayload, std::move(start), writer));
  return SettleBuilt(engine, collection, fields, was_building);
}

Result<std::vector<CompoundInfo>> compound_indexes_of(Engine& engine, std::string_view collection) {
  NamedMutex::Guard guard(engine.scalar_lock);
  ASSIGN_OR_RETURN(ScalarRegistry * reg, scalar_registry(engine));
  std::vector<CompoundInfo> out;
  for (auto it = reg->compounds.lower_bound(CompoundKey(std::string(collection), std::vector<std::string>()));
       it != reg->compounds.end() && it->first.first == collection; ++it)
    out.push_back(CompoundInfo{it->first.second, it->second.building, it->second.covering});
  return out;
}

Result<bool> find_compound_index(Engine& engine, std::string_view collection, const std::vector<std::string>& fields) {
  NamedMutex::Guard guard(engine.scalar_lock);
  ASSIGN_OR_RETURN(ScalarRegistry * reg, scalar_registry(engine));
  auto it = reg->compounds.find(CompoundKey(collection, fields));
  return it != reg->compounds.end() && !it->second.building && it->second.covering;
}

Result<bool> has_compound_index(Engine& engine, std::string_view collection, const std::vector<std::string>& fields) {
  NamedMutex::Guard guard(engine.scalar_lock);
  ASSIGN_OR_RETURN(ScalarRegistry * reg, scalar_registry(engine));
  auto it = reg->compounds.find(CompoundKey(collection, fields));
  return it != reg->compounds.end() && !it->second.building;
}

Status compound_index_put(Engine& engine, WriteCtx& ctx, std::string_view collection, std::string_view key,
                          const Value& doc) {
  ASSIGN_OR_RETURN(std::vector<CompoundInfo> indexes, compound_indexes_of(engine, collection));
  for (const CompoundInfo& index : indexes) {
    ASSIGN_OR_RETURN(bool indexed, PutEntry(ctx, compound_table_name(collection, index.fields), index.fields, key, doc));
    if (!indexed) RETURN_IF_ERROR(RecordMiss(engine, ctx, collection, index.fields));
  }
  return Ok();
}

Status compound_index_remove(Engine& engine, WriteCtx& ctx, std::string_view collection, std::string_view key) {
  ASSIGN_OR_RETURN(std::vector<CompoundInfo> indexes, compound_indexes_of(engine, collection));
  for (const CompoundInfo& index : indexes)
    RETURN_IF_ERROR(index_entry_remove(ctx, compound_table_name(collection, index.fields), key));
  return Ok();
}

}  // namespace pallix
