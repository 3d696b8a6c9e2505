#include "db/engine.h"

#include "storage/copy.h"

#include "db/schema.h"
#include "doc/value.h"
#include "storage/read_view.h"
#include "storage/rows.h"

namespace pallix {

Engine::Engine(std::unique_ptr<Store> store)
    : schemas(std::make_unique<SchemaRegistry>()), store_(std::move(store)) {}

Engine::~Engine() = default;

Status check_format_version(Store& store) {
  ASSIGN_OR_RETURN(WriteTxn txn, store.BeginWrite());
  ASSIGN_OR_RETURN(std::optional<uint64_t> version, txn.GetU64(StoreTable::kMeta, "format_version"));
  if (!version) {
    RETURN_IF_ERROR(txn.PutU64(StoreTable::kMeta, "format_version", kFormatVersion));
    return txn.Commit();
  }
  // Present: the transaction is dropped unwritten either way.
  if (*version != kFormatVersion) return Fail(EngineError::IncompatibleFormat(*version, kFormatVersion));
  return Ok();
}

Status validate_name(std::string_view name) {
  if (name.find('\0') != std::string_view::npos || name.find("__") != std::string_view::npos)
    return Fail(EngineError::InvalidName(std::string(name)));
  return Ok();
}

Status check_collection_name(std::string_view collection) {
  if (collection.starts_with("__")) return Fail(EngineError::ReservedCollection(std::string(collection)));
  return validate_name(collection);
}

Status check_document_key(std::string_view key) {
  if (key.size() > kMaxEncodedLength) return Fail(LengthExceeded("key", key.size(), kMaxEncodedLength));
  return Ok();
}

Result<std::vector<std::string>> list_collections(Engine& engine) {
  ASSIGN_OR_RETURN(ReadTxn txn, engine.store().BeginRead());
  return ReadView(txn).view_list_collections();
}

Status raise_auto_counters(Engine& engine, const std::vector<std::pair<std::string, uint64_t>>& counters) {
  if (counters.empty()) return Ok();
  ASSIGN_OR_RETURN(WriteTxn txn, engine.store().BeginWrite());
  for (const auto& [collection, value] : counters) {
    std::string key = AutoKey(collection);
    ASSIGN_OR_RETURN(std::optional<uint64_t> current, txn.GetU64(StoreTable::kMeta, key));
    RETURN_IF_ERROR(txn.PutU64(StoreTable::kMeta, key, std::max(current.value_or(0), value)));
  }
  return txn.Commit();
}

Result<bool> compact_engine(Engine& engine) {
  ASSIGN_OR_RETURN(std::unique_ptr<Store> smaller, compact_store(engine.store()));
  if (!smaller) return false;
  // The old store goes here, releasing the old file's lock; the path names
  // the new file already.
  engine.ReplaceStore(std::move(smaller));
  return true;
}

}  // namespace pallix
