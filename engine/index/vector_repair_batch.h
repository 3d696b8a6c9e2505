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
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "index/registry.h"
#include "storage/rows.h"

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
  std::map<FieldKey, std::vector<uint64_t>> disk_;
  std::map<FieldKey, std::vector<uint32_t>> memory_;
};

}  // namespace pallix

#endif  // PALLIX_INDEX_VECTOR_REPAIR_BATCH_H_
