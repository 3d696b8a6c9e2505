// The in-memory index registries of an open database and their loading at
// open: which index of which kind is declared on which collection field,
// and whether its build over existing rows has finished.
//
// Each registry mirrors one registry collection (index/index_state.h) and is
// guarded by its own lock of the Engine:
//
//   lock           registry    entry
//   "index lock"   vectors     VectorIndexInfo (storage kind, metric,
//                              quantization, building, PQ codebook), and
//                              the loaded in-memory graphs (HnswIndex)
//   "fts lock"     texts       TextIndexInfo (on disk, building), and the
//                              loaded in-memory text indexes (TextIndex)
//   "scalar lock"  scalars     building flag, per (collection, field)
//                  compounds   building and covering flags, per
//                              (collection, field list)
//   "geo lock"     geos        building flag, per (collection, field)
//
// A building index must not answer lookups (its entries are incomplete),
// but write upkeep keeps its entries in step all the same.
//
// Callers: the open sequence (load_index_registries), the index creators,
// builds and lookups of this layer, the write path's upkeep, the query
// engine.
//
// Thread-safety: every registry is read and changed only under its lock;
// a routine holds one registry lock at a time and releases it before any
// storage access, except the loaders, which hold their lock across their
// registry read at open (nobody else can see the Engine yet).

#ifndef PALLIX_INDEX_REGISTRY_H_
#define PALLIX_INDEX_REGISTRY_H_

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.h"
#include "db/engine.h"
#include "index/index_state.h"
#include "storage/read_view.h"
#include "text/fts.h"
#include "vector/disk_hnsw.h"
#include "vector/hnsw.h"
#include "vector/pq.h"

namespace pallix {

// Storage kinds of a vector index (payload byte 2 of its registry row).
// Stored on disk, never change.
inline constexpr uint8_t kVectorInMemory = 0;
inline constexpr uint8_t kVectorOnDisk = 1;
inline constexpr uint8_t kVectorOnDiskPq = 2;
inline constexpr uint8_t kVectorInMemoryPq = 3;

struct VectorIndexInfo {
  uint8_t storage_kind = kVectorInMemory;
  uint8_t metric = 0;        // Metric byte
  uint8_t quantization = 0;  // Quantization byte
  bool building = false;     // the on-disk build has not finished
  std::shared_ptr<const PqCodebook> codebook;
};

// A read snapshot whose codebook row was found to be exactly a declared
// codebook: later readers of the same snapshot share that codebook without
// comparing again (index/snapshot_index.h), while it is still the declared
// one.
struct CodebookSeen {
  std::shared_ptr<const PqCodebook> codebook;
  SnapshotTag snapshot;
};

struct TextIndexInfo {
  bool on_disk = false;
  bool building = false;
};

struct CompoundFlags {
  bool building = false;
  // Every document of the collection has an entry, so the index may answer
  // for a leading part of its fields.
  bool covering = false;
};

using FieldKey = std::pair<std::string, std::string>;
using CompoundKey = std::pair<std::string, std::vector<std::string>>;

// The registries, one per Engine slot. Ordered maps: a collection's indexes
// are one contiguous range, listed in a fixed order. Each is created and
// filled from its registry collection the first time it is needed (the
// open sequence asks for all of them, so a damaged registry fails the
// open), under its lock.
// The loaded maps hold the in-memory indexes built on first use
// (index/vector_index.h, index/text_index.h); they are never persisted and
// start empty at open.
struct VectorRegistry : RegistrySlot {  // Engine::vector_registry, index_lock
  std::map<FieldKey, VectorIndexInfo> declared;
  std::map<FieldKey, HnswIndex> loaded;
  std::map<FieldKey, CodebookSeen> codebook_seen;
};
struct TextRegistry : RegistrySlot {  // Engine::text_registry, fts_lock
  std::map<FieldKey, TextIndexInfo> declared;
  std::map<FieldKey, TextIndex> loaded;
};
struct ScalarRegistry : RegistrySlot {  // Engine::scalar_registry, scalar_lock
  std::map<FieldKey, bool> scalars;  // value: building
  std::map<CompoundKey, CompoundFlags> compounds;
};
struct GeoRegistry : RegistrySlot {  // Engine::geo_registry, geo_lock
  std::map<FieldKey, bool> fields;  // value: building
};

// The registry of each kind, loaded on first use. The caller holds the
// registry's lock. Errors: Transaction, Storage (the slot stays empty and
// the next call tries again).
Result<VectorRegistry*> vector_registry(Engine& engine);
Result<TextRegistry*> text_registry(Engine& engine);
Result<ScalarRegistry*> scalar_registry(Engine& engine);
Result<GeoRegistry*> geo_registry(Engine& engine);

// The fields of `collection` in a (collection, field)-keyed registry, in
// field order. The caller holds the registry's lock.
template <typename V>
std::vector<std::string> fields_of(const std::map<FieldKey, V>& registry, std::string_view collection) {
  std::vector<std::string> out;
  for (auto it = registry.lower_bound(FieldKey(collection, "")); it != registry.end() && it->first.first == collection;
       ++it)
    out.push_back(it->first.second);
  return out;
}

// The entry a vector registry payload declares, without its codebook and
// building flag; nullopt for a payload the open skips (empty, or a metric
// byte of 3 or more). A quantization byte of 3 or more reads as none, a
// storage kind of 4 or more as in memory.
std::optional<VectorIndexInfo> vector_info_of_payload(std::string_view payload);

// The registry row of `key` in `registry`, decoded: nullopt when absent.
// Errors: Storage (and Transaction for the own-transaction form).
Result<std::optional<IndexState>> read_index_state(const ReadView& view, std::string_view registry,
                                                   std::string_view key);
Result<std::optional<IndexState>> read_index_state_once(Store& store, std::string_view registry,
                                                        std::string_view key);

// The codebook record of a vector namespace (its row "q") is stored and
// read by the on-disk graph module: encode_dann_codebook / decode_dann_codebook.

// Loads every registry not loaded yet, in the order vector, text, scalar
// and compound, geo, each under its lock; the open sequence calls it so
// that a registry that cannot be read fails the open. Rows whose keys do
// not split are skipped everywhere; so are vector rows with an empty
// payload or a metric byte of 3 or more. Errors: Transaction, Storage.
Status load_index_registries(Engine& engine);

}  // namespace pallix

#endif  // PALLIX_INDEX_REGISTRY_H_
