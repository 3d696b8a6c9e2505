#include "index/vector_index.h"

#include <algorithm>
#include <utility>

#include "base/test_point.h"
#include "index/backfill.h"
#include "index/declare.h"
#include "index/index_state.h"
#include "index/resume.h"
#include "index/vector_repair_batch.h"
#include "storage/read_view.h"
#include "vector/disk_hnsw_repair.h"
#include "vector/hnsw_repair.h"

namespace pallix {

namespace {

std::string Payload(Metric metric, Quantization quant, uint8_t kind) {
  return std::string{static_cast<char>(metric), static_cast<char>(quant), static_cast<char>(kind)};
}

// The names, and the namespace clash check against every other declared
// vector index (see index/declare.h).
Status CheckNames(Engine& engine, std::string_view collection, std::string_view field) {
  RETURN_IF_ERROR(check_index_names(collection, {std::string(field)}));
  const std::string ns = vector_namespace(collection, field);
  NamedMutex::Guard guard(engine.index_lock);
  ASSIGN_OR_RETURN(VectorRegistry * reg, vector_registry(engine));
  for (const auto& [declared, info] : reg->declared) {
    if (declared.first == collection && declared.second == field) continue;
    RETURN_IF_ERROR(check_namespace_free(field, ns, vector_namespace(declared.first, declared.second),
                                         "collection '" + declared.first + "' field '" + declared.second + "'"));
  }
  return Ok();
}

// Keeps the vectors of the length most of them share among the nonzero
// lengths m divides; ties go to the length met first.
void KeepCommonLength(std::vector<std::vector<float>>& vectors, uint64_t m) {
  std::vector<std::pair<size_t, size_t>> counts;  // (length, count), first met first
  for (const std::vector<float>& v : vectors) {
    if (m == 0 || v.empty() || v.size() % m != 0) continue;
    auto it = std::find_if(counts.begin(), counts.end(), [&](const auto& c) { return c.first == v.size(); });
    if (it == counts.end()) {
      counts.emplace_back(v.size(), 1);
    } else {
      ++it->second;
    }
  }
  size_t length = 0, best = 0;
  for (const auto& [len, count] : counts)
    if (count > best) length = len, best = count;
  std::erase_if(vectors, [&](const std::vector<float>& v) { return v.size() != length || length == 0; });
}

Result<std::shared_ptr<const PqCodebook>> Train(Engine& engine, std::string_view collection, std::string_view field,
                                                uint64_t m, uint64_t k, PqTrainingSet training) {
  ASSIGN_OR_RETURN(std::vector<std::vector<float>> vectors, collect_training_vectors(engine, collection, field));
  if (training == PqTrainingSet::kCommonLength) KeepCommonLength(vectors, m);
  std::optional<PqCodebook> codebook = pq_train(vectors, m, k);
  if (!codebook) return Fail(EngineError::EmptyIndexTraining());
  return std::make_shared<const PqCodebook>(std::move(*codebook));
}

// The on-disk indexes of a collection as the write path needs them.
struct DiskIndex {
  std::string ns;
  std::string field;
  DiskHnswParams params;
};

Result<std::vector<DiskIndex>> DiskIndexesOf(Engine& engine, std::string_view collection) {
  NamedMutex::Guard guard(engine.index_lock);
  ASSIGN_OR_RETURN(VectorRegistry * reg, vector_registry(engine));
  std::vector<DiskIndex> out;
  for (auto it = reg->declared.lower_bound(FieldKey(collection, "")); it != reg->declared.end() &&
                                                                      it->first.first == collection;
       ++it) {
    if (!vector_kind_on_disk(it->second.storage_kind)) continue;
    out.push_back(DiskIndex{vector_namespace(collection, it->first.second), it->first.second,
                            vector_index_params(it->second)});
  }
  return out;
}

std::optional<VectorIndexInfo> DeclaredEntry(Engine& engine, std::string_view collection, std::string_view field) {
  NamedMutex::Guard guard(engine.index_lock);
  auto reg = vector_registry(engine);
  if (!reg) return std::nullopt;
  auto it = (*reg)->declared.find(FieldKey(collection, field));
  if (it == (*reg)->declared.end()) return std::nullopt;
  return it->second;
}

Status SetBuilding(Engine& engine, std::string_view collection, std::string_view field, bool building) {
  NamedMutex::Guard guard(engine.index_lock);
  ASSIGN_OR_RETURN(VectorRegistry * reg, vector_registry(engine));
  auto it = reg->declared.find(FieldKey(collection, field));
  if (it != reg->declared.end()) it->second.building = building;
  return Ok();
}

// Inserts the batch's vectors into the graph: one meta read, one node
// cache, one flush and one meta write per batch.
Status InsertBatch(WriteCtx& ctx, const std::string& ns, std::string_view field, const DiskHnswParams& params,
                   const std::vector<Row>& batch) {
  std::vector<std::pair<const std::string*, Value>> docs;
  for (const Row& row : batch) {
    ASSIGN_OR_RETURN(Value doc, decode_value(row.value));
    const Value* v = get_path(doc, field);
    if (v != nullptr && v->is_vector()) docs.emplace_back(&row.key, std::move(doc));
  }
  if (docs.empty()) return Ok();
  ASSIGN_OR_RETURN(DiskHnswMeta meta, read_dann_meta(ctx, ns));
  DannNodeCache cache;
  for (const auto& [key, doc] : docs)
    RETURN_IF_ERROR(dann_insert(ctx, ns, params, cache, meta, *key, get_path(doc, field)->as_vector()));
  RETURN_IF_ERROR(flush_dann_nodes(ctx, ns, cache));
  return put_row(ctx, ns, kDannMetaKey, encode_dann_meta(meta));
}

}  // namespace

DiskHnswParams vector_index_params(const VectorIndexInfo& info) {
  DiskHnswParams params;
  params.codebook = info.codebook;
  params.metric = static_cast<Metric>(info.metric);
  params.quant = static_cast<Quantization>(info.quantization);
  return params;
}

// ------------------------------------------------------------ creators

Status create_vector_index(Engine& engine, std::string_view collection, std::string_view field, Metric metric) {
  return create_vector_index_quantized(engine, collection, field, metric, Quantization::kNone);
}

Status create_vector_index_quantized(Engine& engine, std::string_view collection, std::string_view field,
                                     Metric metric, Quantization quant) {
  RETURN_IF_ERROR(CheckNames(engine, collection, field));
  return register_vector_index(engine, collection, field, metric, quant, kVectorInMemory, nullptr);
}

Status create_vector_index_pq(Engine& engine, std::string_view collection, std::string_view field, Metric metric,
                              uint64_t m, uint64_t k) {
  return create_pq_vector_index(engine, collection, field, metric, m, k, kVectorInMemoryPq, PqTrainingSet::kEvery);
}

Status create_vector_index_ondisk(Engine& engine, std::string_view collection, std::string_view field,
                                  Metric metric, Quantization quant) {
  RETURN_IF_ERROR(CheckNames(engine, collection, field));
  // Waits (poisoned: InvariantError), unless the holder waits for this thread's writer turn.
  RETURN_IF_ERROR(LockWithoutTurnCycle(engine.index_resume_lock));
  TryLockHolder hold(engine.index_resume_lock);
  RETURN_IF_ERROR(register_vector_index(engine, collection, field, metric, quant, kVectorOnDisk, nullptr));
  return build_disk_vector_index(engine, collection, field, std::string());
}

Status create_vector_index_ondisk_pq(Engine& engine, std::string_view collection, std::string_view field,
                                     Metric metric, uint64_t m, uint64_t k) {
  return create_pq_vector_index(engine, collection, field, metric, m, k, kVectorOnDiskPq, PqTrainingSet::kEvery);
}

// Training comes before "index resume lock": it may take long, and the
// lock would hold back every after-commit rebuild meanwhile.
Status create_pq_vector_index(Engine& engine, std::string_view collection, std::string_view field, Metric metric,
                              uint64_t m, uint64_t k, uint8_t kind, PqTrainingSet training) {
  RETURN_IF_ERROR(CheckNames(engine, collection, field));
  ASSIGN_OR_RETURN(std::shared_ptr<const PqCodebook> codebook, Train(engine, collection, field, m, k, training));
  // Waits (poisoned: InvariantError), unless the holder waits for this thread's writer turn.
  RETURN_IF_ERROR(LockWithoutTurnCycle(engine.index_resume_lock));
  TryLockHolder hold(engine.index_resume_lock);
  RETURN_IF_ERROR(register_vector_index(engine, collection, field, metric, Quantization::kNone, kind,
                                        std::move(codebook)));
  if (!vector_kind_on_disk(kind)) return Ok();
  return build_disk_vector_index(engine, collection, field, std::string());
}

// ------------------------------------------------------------ shared steps

Status register_vector_index(Engine& engine, std::string_view collection, std::string_view field, Metric metric,
                             Quantization quant, uint8_t kind, std::shared_ptr<const PqCodebook> codebook) {
  std::optional<std::string> cursor;
  if (vector_kind_on_disk(kind)) cursor.emplace();
  RETURN_IF_ERROR(write_vector_index_registry(engine, registry_key(collection, field),
                                              vector_namespace(collection, field), Payload(metric, quant, kind),
                                              codebook.get(), cursor));
  NamedMutex::Guard guard(engine.index_lock);
  ASSIGN_OR_RETURN(VectorRegistry * reg, vector_registry(engine));
  FieldKey key(collection, field);
  engine.NoteIndexed(collection);
  reg->declared[key] = VectorIndexInfo{kind, static_cast<uint8_t>(metric), static_cast<uint8_t>(quant),
                                       vector_kind_on_disk(kind),
                                       std::move(codebook)};
  reg->loaded.erase(key);
  return Ok();
}

Status write_vector_index_registry(Engine& engine, std::string_view key, std::string_view ns,
                                   std::string_view payload, const PqCodebook* codebook,
                                   const std::optional<std::string>& cursor) {
  ASSIGN_OR_RETURN(WriteCtx ctx, BeginWriteCtx(engine.store()));
  RETURN_IF_ERROR(clear_collection_rows(ctx, ns));
  if (codebook != nullptr) RETURN_IF_ERROR(put_row(ctx, ns, kDannCodebookKey, encode_dann_codebook(*codebook)));
  RETURN_IF_ERROR(put_row(ctx, kVectorRegistry, key, encode_index_state(payload, cursor)));
  RETURN_IF_ERROR(ctx.Commit());
  ReachTestPoint(TestPoint::kIndexReset, ns);
  return Ok();
}

Result<std::vector<std::vector<float>>> collect_training_vectors(Engine& engine, std::string_view collection,
                                                                 std::string_view field) {
  std::vector<std::vector<float>> out;
  std::string start;
  while (out.size() < kMaxTrainingVectors) {
    ASSIGN_OR_RETURN(std::vector<Row> batch, scan_rows_batch(engine.store(), collection, start, kBackfillBatch));
    if (batch.empty()) break;
    for (const Row& row : batch) {
      ASSIGN_OR_RETURN(Value doc, decode_value(row.value));
      const Value* v = get_path(doc, field);
      if (v == nullptr || !v->is_vector()) continue;
      out.push_back(v->as_vector());
      if (out.size() == kMaxTrainingVectors) break;
    }
    start = batch.back().key;
    start.push_back('\0');
  }
  return out;
}

Status build_disk_vector_index(Engine& engine, std::string_view collection, std::string_view field,
                               std::string start) {
  // An in-memory index has no graph rows to build, whatever its registry
  // row says (a damaged row decodes with a cursor).
  std::optional<VectorIndexInfo> info = DeclaredEntry(engine, collection, field);
  if (!info || !vector_kind_on_disk(info->storage_kind)) return Ok();
  const std::string ns = vector_namespace(collection, field);
  const DiskHnswParams params = vector_index_params(*info);
  const std::string payload{static_cast<char>(info->metric), static_cast<char>(info->quantization),
                            static_cast<char>(info->storage_kind)};
  auto writer = [&](WriteCtx& ctx, const std::vector<Row>& batch) -> Status {
    return InsertBatch(ctx, ns, field, params, batch);
  };
  RETURN_IF_ERROR(backfill_index(engine, collection, ns, kVectorRegistry, registry_key(collection, field), payload,
                                 std::move(start), writer));
  return SetBuilding(engine, collection, field, false);
}

Result<IndexMetaInfo> read_index_meta(Engine& engine, std::string_view ns) {
  ASSIGN_OR_RETURN(std::optional<std::string> row, get_row_once(engine.store(), ns, kDannMetaKey));
  if (!row) return IndexMetaInfo{};
  ASSIGN_OR_RETURN(DiskHnswMeta meta, decode_dann_meta(ns, *row));
  return IndexMetaInfo{true, meta.deleted, meta.live()};
}

// ------------------------------------------------------------ write upkeep

namespace {

// The repair a write owes for the node `removed` it deleted, if any: now,
// or, in a bulk, noted for the batch's end.
Status RepairOrNote(WriteCtx& ctx, std::string_view collection, const DiskIndex& index,
                    std::optional<uint64_t> removed, VectorRepairBatch* batch) {
  if (batch == nullptr) {
    RETURN_IF_ERROR(dann_repair_after_write(ctx, index.ns, index.params, removed));
    return Ok();
  }
  if (!removed) return Ok();
  RETURN_IF_ERROR(dann_note_removal(ctx, index.ns, *removed));
  batch->NoteDisk(collection, index.field, *removed);
  return Ok();
}

}  // namespace

Status vector_index_put(Engine& engine, WriteCtx& ctx, std::string_view collection, std::string_view key,
                        const Value& doc, VectorRepairBatch* batch) {
  ASSIGN_OR_RETURN(std::vector<DiskIndex> indexes, DiskIndexesOf(engine, collection));
  for (const DiskIndex& index : indexes) {
    const Value* v = get_path(doc, index.field);
    // The node this write deleted, if any: the repair follows removals
    // (vector/disk_hnsw_repair.h), and a write that leaves the vector as
    // it was pays one row read for it.
    std::optional<uint64_t> removed;
    if (v != nullptr && v->is_vector() && batch != nullptr && batch->shares_inserts()) {
      RETURN_IF_ERROR(batch->SharedInsert(ctx, index.ns, index.params, key, v->as_vector(), &removed));
    } else if (v != nullptr && v->is_vector()) {
      // A write of its own repairs around the node it removed before it
      // commits; in a bulk that repair comes at the bulk's end.
      RETURN_IF_ERROR(dann_upsert(ctx, index.ns, index.params, key, v->as_vector(), &removed, batch == nullptr));
    } else {
      // Reads and writes the graph's rows: what shared inserts changed first.
      if (batch != nullptr) RETURN_IF_ERROR(batch->FlushInserts(ctx, index.ns));
      RETURN_IF_ERROR(
          dann_remove_key(ctx, index.ns, index.params.has_codebook(), index.params.quant, key, &removed));
    }
    RETURN_IF_ERROR(RepairOrNote(ctx, collection, index, removed, batch));
  }
  return Ok();
}

Status vector_index_remove(Engine& engine, WriteCtx& ctx, std::string_view collection, std::string_view key,
                           VectorRepairBatch* batch) {
  ASSIGN_OR_RETURN(std::vector<DiskIndex> indexes, DiskIndexesOf(engine, collection));
  for (const DiskIndex& index : indexes) {
    std::optional<uint64_t> removed;
    if (batch != nullptr) RETURN_IF_ERROR(batch->FlushInserts(ctx, index.ns));
    RETURN_IF_ERROR(dann_remove_key(ctx, index.ns, index.params.has_codebook(), index.params.quant, key, &removed));
    RETURN_IF_ERROR(RepairOrNote(ctx, collection, index, removed, batch));
  }
  return Ok();
}

Status retire_disk_vectors(Engine& engine, WriteCtx& ctx, std::string_view collection, std::string_view key,
                           const Value& doc, VectorRepairBatch& batch) {
  ASSIGN_OR_RETURN(std::vector<DiskIndex> indexes, DiskIndexesOf(engine, collection));
  for (const DiskIndex& index : indexes) {
    const Value* v = get_path(doc, index.field);
    std::span<const float> vector;
    if (v != nullptr && v->is_vector()) vector = v->as_vector();
    std::optional<uint64_t> removed;
    RETURN_IF_ERROR(batch.SharedRetire(ctx, index.ns, index.params, key,
                                       v != nullptr && v->is_vector() ? &vector : nullptr, &removed));
    RETURN_IF_ERROR(RepairOrNote(ctx, collection, index, removed, &batch));
  }
  return Ok();
}

// ------------------------------------------------------------ in memory

Result<HnswIndex> hnsw_from_rows(Engine& engine, std::string_view collection, std::string_view field, Metric metric,
                                 Quantization quant, std::shared_ptr<const PqCodebook> codebook) {
  HnswIndex graph(metric, quant, std::move(codebook));
  ASSIGN_OR_RETURN(ReadTxn txn, engine.store().BeginRead());
  ReadView view(txn);
  RETURN_IF_ERROR(view.view_for_each(collection, [&](std::string_view key, std::string_view value) -> Result<bool> {
    ASSIGN_OR_RETURN(Value doc, decode_value(value));
    const Value* v = get_path(doc, field);
    if (v != nullptr && v->is_vector()) hnsw_insert(graph, key, v->as_vector());
    return true;
  }));
  return graph;
}

Result<bool> memory_vector_index_for(Engine& engine, std::string_view collection, std::string_view field,
                                     const std::function<void(const HnswIndex&)>& visit) {
  NamedMutex::Guard guard(engine.index_lock);
  ASSIGN_OR_RETURN(VectorRegistry * reg, vector_registry(engine));
  FieldKey key(collection, field);
  auto declared = reg->declared.find(key);
  if (declared == reg->declared.end() || vector_kind_on_disk(declared->second.storage_kind)) return false;
  auto loaded = reg->loaded.find(key);
  if (loaded == reg->loaded.end()) {
    const VectorIndexInfo& info = declared->second;
    ASSIGN_OR_RETURN(HnswIndex graph, hnsw_from_rows(engine, collection, field, static_cast<Metric>(info.metric),
                                                     static_cast<Quantization>(info.quantization), info.codebook));
    loaded = reg->loaded.emplace(std::move(key), std::move(graph)).first;
  }
  visit(loaded->second);
  return true;
}

namespace {

// Calls visit(field, graph) for each loaded in-memory graph of collection,
// under "index lock".
template <typename Visit>
void ForEachLoadedGraph(Engine& engine, std::string_view collection, Visit&& visit) {
  NamedMutex::Guard guard(engine.index_lock);
  auto reg = vector_registry(engine);
  if (!reg) return;
  auto& loaded = (*reg)->loaded;
  for (auto it = loaded.lower_bound(FieldKey(collection, "")); it != loaded.end() && it->first.first == collection;
       ++it)
    visit(std::string_view(it->first.second), it->second);
}

}  // namespace

void update_memory_vector_indexes(Engine& engine, std::string_view collection, std::string_view key,
                                  const Value* doc, VectorRepairBatch* batch) {
  ForEachLoadedGraph(engine, collection, [&](std::string_view field, HnswIndex& graph) {
    const std::optional<uint64_t> before = graph.find(key);
    const Value* v = doc == nullptr ? nullptr : get_path(*doc, field);
    if (v != nullptr && v->is_vector()) {
      hnsw_insert(graph, key, v->as_vector());
    } else {
      hnsw_remove_key(graph, key);
    }
    // Tombstones cost every search that walks through them and the memory
    // of their nodes: a write that removed or replaced the key's node
    // repairs the graph around it and pays its share of the sweep
    // (vector/hnsw_repair.h), under the same lock, so no write pays for the
    // whole graph, and one that left the vector alone pays nothing.
    std::optional<uint32_t> removed;
    if (before && !graph.key(*before)) removed = static_cast<uint32_t>(*before);  // now a tombstone
    if (batch == nullptr) {
      hnsw_repair_after_write(graph, removed);
    } else if (removed) {
      batch->NoteMemory(collection, field, *removed);
    }
  });
}

void retire_memory_vectors(Engine& engine, std::string_view collection, std::string_view key, const Value* doc,
                           VectorRepairBatch& batch) {
  ForEachLoadedGraph(engine, collection, [&](std::string_view field, HnswIndex& graph) {
    const std::optional<uint64_t> node = graph.find(key);
    if (!node) return;
    const Value* v = doc == nullptr ? nullptr : get_path(*doc, field);
    if (v != nullptr && v->is_vector() && hnsw_holds(graph, key, v->as_vector())) return;
    hnsw_remove_key(graph, key);
    batch.NoteMemory(collection, field, static_cast<uint32_t>(*node));
  });
}

}  // namespace pallix
