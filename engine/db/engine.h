// Engine: one open database. It owns the store and the in-memory registries
// of every index kind and of schemas, each behind its own named lock, and
// is shared by reference count among the Python handles (the last one to
// drop it closes the store and releases the file lock).
//
// Also here: the format check an open makes, the collection name rules,
// the catalog listing and auto-id counters. Opening itself, which loads the
// registries of the layers above, is index/open.h.
//
// Thread-safety: an Engine may be shared across threads. Registries are
// read and written only under their lock; a routine holds at most one
// registry lock at a time ("index resume lock" before "index lock" when
// both are needed).

#ifndef PALLIX_DB_ENGINE_H_
#define PALLIX_DB_ENGINE_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.h"
#include "base/lock.h"
#include "storage/store.h"

namespace pallix {

struct SchemaRegistry;

// The in-memory registry of one index kind. Each kind's module, in a layer
// above this one, derives its registry from this base and owns its header;
// the Engine only holds the slot (created by that module on first use,
// under the registry's lock) and destroys it.
class RegistrySlot {
 public:
  virtual ~RegistrySlot() = default;
};

// The format version this engine reads and writes ("format_version" in meta).
inline constexpr uint64_t kFormatVersion = 1;

class Engine {
 public:
  explicit Engine(std::unique_ptr<Store> store);
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  Store& store() { return *store_; }
  // Puts `store` in place of the current one and returns that. Only for a
  // caller that knows no transaction of the current store is live and no
  // other thread uses the Engine (compaction).
  std::unique_ptr<Store> ReplaceStore(std::unique_ptr<Store> store) { return std::exchange(store_, std::move(store)); }

  // Registry locks, one per registry; see the thread-safety rule above.
  NamedMutex index_lock{"index lock"};
  NamedMutex fts_lock{"fts lock"};
  NamedMutex scalar_lock{"scalar lock"};
  NamedMutex geo_lock{"geo lock"};
  NamedMutex schema_lock{"schema lock"};
  // Guards no data: serialises vector index declarations and builds
  // against resume_index_builds, which only tries it.
  NamedMutex index_resume_lock{"index resume lock"};

  // The registries. Each is read and written only under its lock above.
  std::unique_ptr<RegistrySlot> vector_registry;  // guarded by index_lock
  std::unique_ptr<RegistrySlot> text_registry;    // guarded by fts_lock
  std::unique_ptr<RegistrySlot> scalar_registry;  // guarded by scalar_lock (scalar and compound)
  std::unique_ptr<RegistrySlot> geo_registry;     // guarded by geo_lock
  std::unique_ptr<SchemaRegistry> schemas;        // guarded by schema_lock; never null

  // Which collections may have an index of some kind, as a mask of one bit
  // per hash of the name: every registry sets a collection's bit, under
  // its lock, before it takes an entry for that collection, and no bit is
  // ever cleared. A write whose collection's bit is clear skips every
  // kind's upkeep: no registry held an entry for the collection when the
  // bit was read, as the upkeep would have found, one registry after
  // another, had it looked then.
  void NoteIndexed(std::string_view collection) {
    indexed_.fetch_or(IndexBit(collection), std::memory_order_acq_rel);
  }
  bool MaybeIndexed(std::string_view collection) const {
    return (indexed_.load(std::memory_order_acquire) & IndexBit(collection)) != 0;
  }

 private:
  static uint64_t IndexBit(std::string_view collection) {
    return uint64_t{1} << (std::hash<std::string_view>{}(collection) & 63);
  }

  std::unique_ptr<Store> store_;
  std::atomic<uint64_t> indexed_{0};
};

// In one write transaction: writes format_version 1 when absent, accepts 1,
// and refuses anything else with IncompatibleFormat (nothing written).
Status check_format_version(Store& store);

// A name holding a NUL byte or "__" anywhere: InvalidName. The empty name
// passes.
Status validate_name(std::string_view name);
// The checks every write entry makes on a user collection name: a name
// beginning with "__" is ReservedCollection, then validate_name.
Status check_collection_name(std::string_view collection);

// The check every write entry makes on a document key: a key over 2^32 - 1
// bytes is InvalidArgument. Each row built from a key (the document's, its
// expiry rows, its edges' rows) holds it behind a u32 length or within one
// LMDB value, so a longer key could be kept by none of them; refusing it on
// every write keeps each stored key deletable.
Status check_document_key(std::string_view key);

// Every catalog name, user and internal, in ascending bytewise order.
// Errors: Transaction, Storage.
Result<std::vector<std::string>> list_collections(Engine& engine);

// For each (collection, value) in order: auto:<collection> := max(current,
// value), always written; one transaction. An empty list does nothing.
// Errors: Transaction, Storage, Commit (nothing written).
Status raise_auto_counters(Engine& engine, const std::vector<std::pair<std::string, uint64_t>>& counters);

// Compacts the database file (storage/copy.h, compact_store) and, when it
// shrank, goes on over the new file: the Engine and its in-memory state
// stay as they are. Returns whether the file shrank. The caller makes sure
// nobody else uses the Engine meanwhile. Errors: Compaction; the database
// stays open and unchanged on every error.
Result<bool> compact_engine(Engine& engine);

}  // namespace pallix

#endif  // PALLIX_DB_ENGINE_H_
