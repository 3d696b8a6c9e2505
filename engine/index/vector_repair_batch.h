// The vector-graph repair of a call that removes many documents at once
// (a filtered delete, a batch of deletes, a dump load that replaces
// documents), held back to the call's end so that it repairs each graph
// once instead of once per removed node (see "Bulk removals" in
// vector/hnsw_repair.h).
//
// The call hands one VectorRepairBatch to the write path's upkeep
// (vector_index_put, vector_index_remove, update_memory_vector_indexes).
// A removal from an on-disk graph is noted in the removal's own
// transaction (dann_note_removal: the node queued, its share of the debt
// recorded), so that a call cut short, by a failure or a crash, leaves the
// repair to later writes as single removals do; its node id is kept here.
// A removal from a loaded in-memory graph only tombstones the node and
// keeps its id. At the end the call repairs: FinishDisk inside a write
// transaction (the last one of the call, or one of its own), then
// FinishMemory after that transaction's commit.
//
// Node ids are kept per (collection, field) and looked up again at the
// end: an index declared again meanwhile is repaired with what it is now,
// and ids that no longer name a deleted node are passed by.
//
// Thread-safety: one batch belongs to one call on one thread.

#ifndef PALLIX_INDEX_VECTOR_REPAIR_BATCH_H_
#define PALLIX_INDEX_VECTOR_REPAIR_BATCH_H_

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "index/registry.h"
#include "storage/rows.h"
#include "vector/disk_hnsw.h"

namespace pallix {

class Engine;

class VectorRepairBatch {
 public:
  // The node `id` of the on-disk graph of (collection, field), deleted and
  // noted in its transaction.
  void NoteDisk(std::string_view collection, std::string_view field, uint64_t id);
  // The node `id` of the loaded in-memory graph of (collection, field),
  // tombstoned.
  void NoteMemory(std::string_view collection, std::string_view field, uint32_t id);

  bool has_disk() const { return !disk_.empty(); }
  // Forgets the on-disk removals noted, once the transaction that made
  // them is gone (a removal that stays is repaired by later writes).
  void DropDisk() { disk_.clear(); }

  // Inserts into on-disk graphs (a dump load's, which replaces many
  // vectors in one transaction) then share one node cache and meta row per
  // graph, as an index build's batch does, instead of reading both anew
  // per document: SharedInsert. FlushInserts writes what they changed;
  // it must come before anything else reads or writes those graphs' rows
  // (a removal, the repair, the commit of a nested transaction), and
  // DropInserts after a nested transaction holding unflushed or flushed
  // inserts is aborted.
  void ShareInserts() { share_inserts_ = true; }
  bool shares_inserts() const { return share_inserts_; }
  // dann_insert of key's vector into the graph in ns through the shared
  // cache; *removed as dann_insert's. Errors: as dann_insert's, and
  // CorruptIndex of the meta row.
  Status SharedInsert(WriteCtx& ctx, const std::string& ns, const DiskHnswParams& params, std::string_view key,
                      std::span<const float> vector, std::optional<uint64_t>* removed);
  // dann_retire of key's node in the graph in ns through the shared cache,
  // ahead of the insert of *vector (null: none). Errors: as dann_retire's,
  // and CorruptIndex of the meta row.
  Status SharedRetire(WriteCtx& ctx, const std::string& ns, const DiskHnswParams& params, std::string_view key,
                      const std::span<const float>* vector, std::optional<uint64_t>* removed);
  // Writes the changed nodes and the meta row of every graph inserted
  // into; the caches stay, current, for the next inserts. Errors: Storage.
  Status FlushInserts(WriteCtx& ctx);
  // The same for the graph in ns alone, which is then let go.
  Status FlushInserts(WriteCtx& ctx, const std::string& ns);
  void DropInserts() { inserts_.clear(); }
  // Whether shared inserts were made since the last drop.
  bool has_inserts() const { return !inserts_.empty(); }

  // Repairs, inside ctx, every on-disk graph that removals were noted in
  // and that is still declared on disk (dann_repair_after_bulk), and
  // forgets them. Errors: Storage, CorruptIndex.
  Status FinishDisk(Engine& engine, WriteCtx& ctx);
  // The same in a write transaction of its own, with the writer turn,
  // when any removal was noted. Errors: Transaction, Commit besides.
  Status FinishDiskAlone(Engine& engine);
  // Repairs every loaded in-memory graph that removals were noted in
  // (hnsw_repair_after_bulk), under "index lock", and forgets them.
  void FinishMemory(Engine& engine);

 private:
  struct Inserts;
  Result<Inserts*> SharedOf(WriteCtx& ctx, const std::string& ns);

  struct Inserts {
    DiskHnswMeta meta;
    DiskHnswMeta written;  // the meta row as stored
    DannNodeCache cache;
  };

  std::map<FieldKey, std::vector<uint64_t>> disk_;
  std::map<FieldKey, std::vector<uint32_t>> memory_;
  bool share_inserts_ = false;
  std::map<std::string, Inserts, std::less<>> inserts_;  // by namespace
};

}  // namespace pallix

#endif  // PALLIX_INDEX_VECTOR_REPAIR_BATCH_H_
