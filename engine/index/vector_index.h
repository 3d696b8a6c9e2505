// The lifecycle of vector indexes: the six declarations (in memory or on
// disk; plain, quantized or product-quantized), the build of an on-disk
// graph over the stored rows, the upkeep of on-disk graphs inside every
// write transaction, and the in-memory graphs built from the rows on first
// use (memory_vector_index_for).
//
// Storage kinds (payload byte 2 of the "__indexes__" row, index/registry.h)
// and what declaring each does:
//
//   creator                         kind  codebook      build
//   create_vector_index             0     none          on first use
//   create_vector_index_quantized   0     none          on first use
//   create_vector_index_pq          3     trained here  on first use
//   create_vector_index_ondisk      1     none          now, resumable
//   create_vector_index_ondisk_pq   2     trained here  now, resumable
//
// Every declaration empties the namespace "__dann__<collection>__<field>"
// and writes the codebook row "q" (product-quantized kinds; layout in
// vector/disk_hnsw.h) and the registry row in one write transaction, so a
// declaration of any kind discards the earlier graph of that field; a
// loaded in-memory graph of the field is dropped too.
//
// Every graph uses m 16, m0 32, ef_construction 128 and mL 1/ln 16. The
// neighbours kept for a node are chosen for the directions they lead in
// (HnswSelectNeighbours in vector/hnsw.h), so clusters stay linked and
// every node reachable.
//
// Callers: the binding and the dump loader (creators), the write path
// (vector_index_put, vector_index_remove, and update_memory_indexes in
// write/write.h), resume_index_builds (build_disk_vector_index),
// the query executor (memory_vector_index_for, vector_index_params).
//
// Locks: "index resume lock" is held by the on-disk and product-quantized
// creators across registration and build; it is always taken before
// "index lock". "index lock" guards the registry and the loaded graphs and
// is held across storage work only while a graph is built from the rows,
// so that no committed write can slip between the build's snapshot and
// the graph's entry in the loaded map.

#ifndef PALLIX_INDEX_VECTOR_INDEX_H_
#define PALLIX_INDEX_VECTOR_INDEX_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "db/engine.h"
#include "doc/value.h"
#include "index/registry.h"
#include "storage/read_view.h"
#include "storage/rows.h"
#include "vector/disk_hnsw.h"
#include "vector/hnsw.h"
#include "vector/pq.h"
#include "vector/quant.h"

namespace pallix {

class VectorRepairBatch;

// Whether a storage kind keeps its graph in the index namespace.
inline bool vector_kind_on_disk(uint8_t kind) { return kind == kVectorOnDisk || kind == kVectorOnDiskPq; }

// The most vectors a codebook is trained on: the first ones in key order.
inline constexpr size_t kMaxTrainingVectors = 50000;

// ------------------------------------------------------------ creators
//
// Each makes the name checks first (ReservedCollection, then InvalidName
// for the collection, the field, or a namespace another vector index
// already uses), then writes and registers. Errors besides: Transaction,
// Storage, Commit of the registry write (nothing changed); the product-
// quantized kinds Decode (a stored document that does not decode) and
// EmptyIndexTraining (no usable training vectors: none at all, m 0, k
// outside 2..256, a dimension of 0 or not a multiple of m, unequal
// lengths), both before anything is written; the on-disk kinds the
// build's errors (the index stays declared and building, resumable).

// Which of the field's vectors train a product-quantization codebook.
enum class PqTrainingSet {
  // Every one: a vector of another length makes training fail, so a
  // declaration never silently leaves vectors out of its codebook.
  kEvery,
  // Those of the length most of them share among the lengths m divides
  // (ties: the length met first in key order). The dump loader uses it to
  // re-declare an index whose field took vectors of another length after
  // its codebook was trained, as a live database allows.
  kCommonLength,
};

Status create_vector_index(Engine& engine, std::string_view collection, std::string_view field, Metric metric);
Status create_vector_index_quantized(Engine& engine, std::string_view collection, std::string_view field,
                                     Metric metric, Quantization quant);
Status create_vector_index_pq(Engine& engine, std::string_view collection, std::string_view field, Metric metric,
                              uint64_t m, uint64_t k);
Status create_vector_index_ondisk(Engine& engine, std::string_view collection, std::string_view field,
                                  Metric metric, Quantization quant);
Status create_vector_index_ondisk_pq(Engine& engine, std::string_view collection, std::string_view field,
                                     Metric metric, uint64_t m, uint64_t k);
// create_vector_index_pq (kind kVectorInMemoryPq) or
// create_vector_index_ondisk_pq (kVectorOnDiskPq) trained on `training`.
Status create_pq_vector_index(Engine& engine, std::string_view collection, std::string_view field, Metric metric,
                              uint64_t m, uint64_t k, uint8_t kind, PqTrainingSet training);

// ------------------------------------------------------------ shared steps

// Writes the registry (write_vector_index_registry: a cursor for kinds 1
// and 2) and then, under "index lock", the declared entry, dropping any
// loaded graph. Errors: Transaction, Storage, Commit (memory unchanged).
Status register_vector_index(Engine& engine, std::string_view collection, std::string_view field, Metric metric,
                             Quantization quant, uint8_t kind, std::shared_ptr<const PqCodebook> codebook);

// One write transaction: empties namespace, writes the codebook row when
// given, and the registry row under key with payload and cursor. Errors:
// Transaction, Storage, Commit (nothing written).
Status write_vector_index_registry(Engine& engine, std::string_view key, std::string_view ns,
                                   std::string_view payload, const PqCodebook* codebook,
                                   const std::optional<std::string>& cursor);

// The float32 vectors of field in the collection's rows, key order, at
// most kMaxTrainingVectors. Errors: Transaction, Storage, Decode.
Result<std::vector<std::vector<float>>> collect_training_vectors(Engine& engine, std::string_view collection,
                                                                 std::string_view field);

// Builds or resumes the on-disk graph of (collection, field) from start; a
// field with no declared index builds nothing. On success the entry stops
// building. Errors: those of backfill_index (index/backfill.h),
// CorruptIndex of a damaged meta or node row.
Status build_disk_vector_index(Engine& engine, std::string_view collection, std::string_view field,
                               std::string start);

// The meta row of namespace ns, read in a transaction of its own.
struct IndexMetaInfo {
  bool present = false;
  uint64_t deleted = 0;
  uint64_t live = 0;
};
// Errors: Transaction, Storage, CorruptIndex ("malformed meta row in index
// namespace '<ns>'").
Result<IndexMetaInfo> read_index_meta(Engine& engine, std::string_view ns);

// The graph parameters of a declared index.
DiskHnswParams vector_index_params(const VectorIndexInfo& info);

// ------------------------------------------------------------ write upkeep

// Inside the caller's write transaction, for every on-disk index of the
// collection (building or not): a Vector at the field is inserted (its
// earlier node replaced), anything else removes the key; then the repair
// the write owes for the node it removed, if any (dann_repair_after_write:
// nothing when the vector was left as it was). Errors: Storage,
// CorruptIndex.
// With a batch (index/vector_repair_batch.h) the removed node is only
// noted, and the repair left to the batch's end.
Status vector_index_put(Engine& engine, WriteCtx& ctx, std::string_view collection, std::string_view key,
                        const Value& doc, VectorRepairBatch* batch = nullptr);
// Removes the key from every on-disk index of the collection, each followed
// by the repair its removal owes. Errors: Storage, CorruptIndex.
Status vector_index_remove(Engine& engine, WriteCtx& ctx, std::string_view collection, std::string_view key,
                           VectorRepairBatch* batch = nullptr);

// ------------------------------------------------------------ in memory

// A graph of every Vector at field in the collection's rows (one read
// transaction, key order). Errors: Transaction, Storage, Decode.
Result<HnswIndex> hnsw_from_rows(Engine& engine, std::string_view collection, std::string_view field, Metric metric,
                                 Quantization quant, std::shared_ptr<const PqCodebook> codebook);

// The in-memory graph of (collection, field), built from the rows when it
// is first asked for, handed to visit under "index lock" (visit must not
// call back into the engine's vector registry). Returns false, without
// calling visit, when the field has no in-memory vector index (none, or an
// on-disk one). Errors: those of hnsw_from_rows (nothing is loaded then).
Result<bool> memory_vector_index_for(Engine& engine, std::string_view collection, std::string_view field,
                                     const std::function<void(const HnswIndex&)>& visit);

// The on-disk search of (collection, field) through view: up to k live
// keys nearest to query (vector/disk_hnsw.h's dann_search, whose deleted
// nodes route but are never returned), with the metric, quantization and
// codebook view holds. nullopt when view may not use an on-disk index of
// the field (index/snapshot_index.h), or the query's length is not the
// graph's (or its codebook's) dimension: the caller then scores exactly.
// Errors: CorruptIndex, Storage, Transaction.
Result<std::optional<std::vector<HnswHit>>> disk_vector_index_search(Engine& engine, const ReadView& view,
                                                                     std::string_view collection,
                                                                     std::string_view field,
                                                                     std::span<const float> query, uint64_t k);

// Ahead of vector_index_put of doc under key with batch (one sharing its
// inserts): takes the key's node out of each on-disk graph of the
// collection, through the batch's shared caches, unless it stores doc's
// vector already, and notes it in batch, so that a repair of the batch
// (FinishDisk) before the puts lets their inserts search and link a graph
// without those nodes. Errors: Storage, CorruptIndex.
Status retire_disk_vectors(Engine& engine, WriteCtx& ctx, std::string_view collection, std::string_view key,
                           const Value& doc, VectorRepairBatch& batch);

// Applies a committed put (doc) or delete (null) to the loaded in-memory
// graphs of the collection, each followed by the repair owed for the node
// it removed, if any (hnsw_repair_after_write), under "index lock"; graphs not loaded
// are left to their first use. Never fails.
// With a batch, a removed node is tombstoned and noted, and the repair
// left to the batch's end.
void update_memory_vector_indexes(Engine& engine, std::string_view collection, std::string_view key,
                                  const Value* doc, VectorRepairBatch* batch = nullptr);

// Before a batch's committed puts and deletes are applied: tombstones the
// node of key in each loaded in-memory graph of the collection that doc
// (null: a delete) replaces or removes, and notes it in batch, so that
// its repair (batch.FinishMemory) comes before the batch's inserts, which
// then search and link a graph without those tombstones. A node that
// stores doc's vector already stays. Under "index lock"; never fails.
void retire_memory_vectors(Engine& engine, std::string_view collection, std::string_view key, const Value* doc,
                           VectorRepairBatch& batch);

}  // namespace pallix

#endif  // PALLIX_INDEX_VECTOR_INDEX_H_
