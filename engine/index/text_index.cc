#include "index/text_index.h"

#include <utility>

#include "base/test_point.h"
#include "index/backfill.h"
#include "index/declare.h"
#include "index/index_state.h"
#include "index/registry.h"
#include "text/disk_fts.h"

namespace pallix {

namespace {

Status CheckNames(Engine& engine, std::string_view collection, std::string_view field) {
  RETURN_IF_ERROR(check_index_names(collection, {std::string(field)}));
  const std::string ns = text_namespace(collection, field);
  NamedMutex::Guard guard(engine.fts_lock);
  ASSIGN_OR_RETURN(TextRegistry * reg, text_registry(engine));
  for (const auto& [declared, info] : reg->declared) {
    if (declared.first == collection && declared.second == field) continue;
    RETURN_IF_ERROR(check_namespace_free(field, ns, text_namespace(declared.first, declared.second),
                                         "collection '" + declared.first + "' field '" + declared.second + "'"));
  }
  return Ok();
}

std::optional<TextIndexInfo> DeclaredEntry(Engine& engine, std::string_view collection, std::string_view field) {
  NamedMutex::Guard guard(engine.fts_lock);
  auto reg = text_registry(engine);
  if (!reg) return std::nullopt;
  auto it = (*reg)->declared.find(FieldKey(collection, field));
  if (it == (*reg)->declared.end()) return std::nullopt;
  return it->second;
}

// The fields of the collection's on-disk indexes, building or not.
Result<std::vector<std::string>> DiskFieldsOf(Engine& engine, std::string_view collection) {
  NamedMutex::Guard guard(engine.fts_lock);
  ASSIGN_OR_RETURN(TextRegistry * reg, text_registry(engine));
  std::vector<std::string> out;
  for (auto it = reg->declared.lower_bound(FieldKey(collection, ""));
       it != reg->declared.end() && it->first.first == collection; ++it)
    if (it->second.on_disk) out.push_back(it->first.second);
  return out;
}

// A fresh on-disk build: in one transaction the namespace is emptied and
// the registry row records a build from the first row, so that a crash
// between them cannot leave stale rows behind a complete-looking index.
Status BeginFreshBuild(Engine& engine, std::string_view collection, std::string_view field) {
  ASSIGN_OR_RETURN(WriteCtx ctx, BeginWriteCtx(engine.store()));
  RETURN_IF_ERROR(dfts_clear(ctx, text_namespace(collection, field)));
  RETURN_IF_ERROR(put_row(ctx, kTextRegistry, registry_key(collection, field),
                          encode_index_state(std::string(1, kTextOnDisk), std::string())));
  RETURN_IF_ERROR(ctx.Commit());
  ReachTestPoint(TestPoint::kIndexReset, text_namespace(collection, field));
  return Ok();
}

Status IndexRow(WriteCtx& ctx, const std::string& ns, std::string_view field, const Row& row) {
  ASSIGN_OR_RETURN(Value doc, decode_value(row.value));
  const Value* v = get_path(doc, field);
  if (v == nullptr || !v->is_text()) return Ok();
  return dfts_index_document(ctx, ns, row.key, v->as_text());
}

}  // namespace

// ------------------------------------------------------------ declaration

Status create_text_index(Engine& engine, std::string_view collection, std::string_view field) {
  RETURN_IF_ERROR(CheckNames(engine, collection, field));
  RETURN_IF_ERROR(register_text_index(engine, collection, field, kTextInMemory));
  return Ok();
}

Status create_text_index_ondisk(Engine& engine, std::string_view collection, std::string_view field) {
  RETURN_IF_ERROR(CheckNames(engine, collection, field));
  ASSIGN_OR_RETURN(std::string start, register_text_index(engine, collection, field, kTextOnDisk));
  return build_disk_text_index(engine, collection, field, std::move(start));
}

Result<std::string> register_text_index(Engine& engine, std::string_view collection, std::string_view field,
                                        char kind) {
  const std::string key = registry_key(collection, field);
  std::string start;
  if (kind == kTextInMemory) {
    RETURN_IF_ERROR(put_row_once(engine.store(), kTextRegistry, key,
                                 encode_index_state(std::string(1, kTextInMemory), std::nullopt)));
  } else {
    ASSIGN_OR_RETURN(std::optional<IndexState> state, read_index_state_once(engine.store(), kTextRegistry, key));
    if (state && state->cursor) {
      start = *state->cursor;
    } else {
      RETURN_IF_ERROR(BeginFreshBuild(engine, collection, field));
    }
  }
  NamedMutex::Guard guard(engine.fts_lock);
  ASSIGN_OR_RETURN(TextRegistry * reg, text_registry(engine));
  FieldKey fk(collection, field);
  engine.NoteIndexed(collection);
  reg->declared[fk] = TextIndexInfo{kind == kTextOnDisk, kind == kTextOnDisk};
  reg->loaded.erase(fk);
  return start;
}

Status build_disk_text_index(Engine& engine, std::string_view collection, std::string_view field,
                             std::string start) {
  // A row of an in-memory declaration can carry a cursor only when damaged;
  // building rows for it would turn it into an on-disk index behind the
  // declaration's back.
  std::optional<TextIndexInfo> info = DeclaredEntry(engine, collection, field);
  if (info && !info->on_disk) return Ok();
  const std::string ns = text_namespace(collection, field);
  auto writer = [&](WriteCtx& ctx, const std::vector<Row>& batch) -> Status {
    for (const Row& row : batch) RETURN_IF_ERROR(IndexRow(ctx, ns, field, row));
    return Ok();
  };
  RETURN_IF_ERROR(backfill_index(engine, collection, ns, kTextRegistry, registry_key(collection, field),
                                 std::string(1, kTextOnDisk), std::move(start), writer));
  NamedMutex::Guard guard(engine.fts_lock);
  ASSIGN_OR_RETURN(TextRegistry * reg, text_registry(engine));
  engine.NoteIndexed(collection);
  TextIndexInfo& entry = reg->declared[FieldKey(collection, field)];
  if (!info) entry.on_disk = true;
  entry.building = false;
  return Ok();
}

// ------------------------------------------------------------ write upkeep

Status dfts_put_document(Engine& engine, WriteCtx& ctx, std::string_view collection, std::string_view key,
                         const Value& doc) {
  ASSIGN_OR_RETURN(std::vector<std::string> fields, DiskFieldsOf(engine, collection));
  for (const std::string& field : fields)
    RETURN_IF_ERROR(dfts_upkeep_document(ctx, text_namespace(collection, field), field, key, &doc));
  return Ok();
}

Status dfts_remove_document(Engine& engine, WriteCtx& ctx, std::string_view collection, std::string_view key) {
  ASSIGN_OR_RETURN(std::vector<std::string> fields, DiskFieldsOf(engine, collection));
  for (const std::string& field : fields)
    RETURN_IF_ERROR(dfts_upkeep_document(ctx, text_namespace(collection, field), field, key, nullptr));
  return Ok();
}

void update_memory_text_indexes(Engine& engine, std::string_view collection, std::string_view key,
                                const Value* doc) {
  NamedMutex::Guard guard(engine.fts_lock);
  auto reg = text_registry(engine);
  if (!reg) return;
  auto& loaded = (*reg)->loaded;
  for (auto it = loaded.lower_bound(FieldKey(collection, "")); it != loaded.end() && it->first.first == collection;
       ++it) {
    const Value* v = doc == nullptr ? nullptr : get_path(*doc, it->first.second);
    if (v != nullptr && v->is_text()) {
      fts_add_document(it->second, key, v->as_text());
    } else {
      fts_remove_document(it->second, key);
    }
  }
}

// ------------------------------------------------------------ in memory

Result<TextIndex> text_index_from_rows(Engine& engine, std::string_view collection, std::string_view field) {
  TextIndex index;
  ASSIGN_OR_RETURN(ReadTxn txn, engine.store().BeginRead());
  ReadView view(txn);
  RETURN_IF_ERROR(view.view_for_each(collection, [&](std::string_view key, std::string_view value) -> Result<bool> {
    ASSIGN_OR_RETURN(Value doc, decode_value(value));
    const Value* v = get_path(doc, field);
    if (v != nullptr && v->is_text()) fts_add_document(index, key, v->as_text());
    return true;
  }));
  return index;
}

Result<bool> memory_text_index_for(Engine& engine, std::string_view collection, std::string_view field,
                                   const std::function<void(const TextIndex&)>& visit) {
  NamedMutex::Guard guard(engine.fts_lock);
  ASSIGN_OR_RETURN(TextRegistry * reg, text_registry(engine));
  FieldKey key(collection, field);
  auto declared = reg->declared.find(key);
  if (declared == reg->declared.end() || declared->second.on_disk) return false;
  auto loaded = reg->loaded.find(key);
  if (loaded == reg->loaded.end()) {
    ASSIGN_OR_RETURN(TextIndex index, text_index_from_rows(engine, collection, field));
    loaded = reg->loaded.emplace(std::move(key), std::move(index)).first;
  }
  visit(loaded->second);
  return true;
}

Result<bool> loaded_text_index_for(Engine& engine, std::string_view collection, std::string_view field,
                                   const std::function<void(const TextIndex&)>& visit) {
  NamedMutex::Guard guard(engine.fts_lock);
  ASSIGN_OR_RETURN(TextRegistry * reg, text_registry(engine));
  const FieldKey key(collection, field);
  auto declared = reg->declared.find(key);
  if (declared == reg->declared.end() || declared->second.on_disk) return false;
  auto loaded = reg->loaded.find(key);
  if (loaded == reg->loaded.end()) return false;
  visit(loaded->second);
  return true;
}

}  // namespace pallix
