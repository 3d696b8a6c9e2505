#include "index/vector_repair_batch.h"

#include <span>
#include <utility>

#include "db/engine.h"
#include "index/index_state.h"
#include "index/vector_index.h"
#include "vector/disk_hnsw_repair.h"
#include "vector/hnsw_repair.h"

namespace pallix {

void VectorRepairBatch::NoteDisk(std::string_view collection, std::string_view field, uint64_t id) {
  disk_[FieldKey(collection, field)].push_back(id);
}

void VectorRepairBatch::NoteMemory(std::string_view collection, std::string_view field, uint32_t id) {
  memory_[FieldKey(collection, field)].push_back(id);
}

Status VectorRepairBatch::SharedInsert(WriteCtx& ctx, const std::string& ns, const DiskHnswParams& params,
                                       std::string_view key, std::span<const float> vector,
                                       std::optional<uint64_t>* removed) {
  ASSIGN_OR_RETURN(Inserts * at, SharedOf(ctx, ns));
  return dann_insert(ctx, ns, params, at->cache, at->meta, key, vector, removed);
}

Status VectorRepairBatch::SharedRetire(WriteCtx& ctx, const std::string& ns, const DiskHnswParams& params,
                                       std::string_view key, const std::span<const float>* vector,
                                       std::optional<uint64_t>* removed) {
  ASSIGN_OR_RETURN(Inserts * at, SharedOf(ctx, ns));
  return dann_retire(ctx, ns, params, at->cache, at->meta, key, vector, removed);
}

Result<VectorRepairBatch::Inserts*> VectorRepairBatch::SharedOf(WriteCtx& ctx, const std::string& ns) {
  auto it = inserts_.find(ns);
  if (it == inserts_.end()) {
    ASSIGN_OR_RETURN(DiskHnswMeta meta, read_dann_meta(ctx, ns));
    it = inserts_.emplace(ns, Inserts{meta, meta, DannNodeCache()}).first;
  }
  return &it->second;
}

Status VectorRepairBatch::FlushInserts(WriteCtx& ctx) {
  for (auto& [ns, at] : inserts_) {
    RETURN_IF_ERROR(flush_dann_nodes(ctx, ns, at.cache));
    if (at.meta == at.written) continue;
    RETURN_IF_ERROR(put_row(ctx, ns, kDannMetaKey, encode_dann_meta(at.meta)));
    at.written = at.meta;
  }
  return Ok();
}

Status VectorRepairBatch::FlushInserts(WriteCtx& ctx, const std::string& ns) {
  auto it = inserts_.find(ns);
  if (it == inserts_.end()) return Ok();
  Inserts& at = it->second;
  RETURN_IF_ERROR(flush_dann_nodes(ctx, ns, at.cache));
  if (at.meta != at.written) RETURN_IF_ERROR(put_row(ctx, ns, kDannMetaKey, encode_dann_meta(at.meta)));
  inserts_.erase(it);
  return Ok();
}

Status VectorRepairBatch::FinishDisk(Engine& engine, WriteCtx& ctx) {
  RETURN_IF_ERROR(FlushInserts(ctx));
  DropInserts();  // the repair changes node rows behind the caches
  auto noted = std::move(disk_);
  disk_.clear();
  for (const auto& [field_key, ids] : noted) {
    std::optional<VectorIndexInfo> info;
    {
      NamedMutex::Guard guard(engine.index_lock);
      ASSIGN_OR_RETURN(VectorRegistry * reg, vector_registry(engine));
      auto it = reg->declared.find(field_key);
      if (it != reg->declared.end() && vector_kind_on_disk(it->second.storage_kind)) info = it->second;
    }
    if (!info) continue;
    const std::string ns = vector_namespace(field_key.first, field_key.second);
    RETURN_IF_ERROR(dann_repair_after_bulk(ctx, ns, vector_index_params(*info), std::span<const uint64_t>(ids)));
  }
  return Ok();
}

Status VectorRepairBatch::FinishDiskAlone(Engine& engine) {
  if (disk_.empty()) return Ok();
  ASSIGN_OR_RETURN(Store::WriterTurn turn, engine.store().TakeWriterTurn());
  ASSIGN_OR_RETURN(WriteCtx ctx, BeginWriteCtx(engine.store()));
  RETURN_IF_ERROR(FinishDisk(engine, ctx));
  return ctx.Commit();
}

void VectorRepairBatch::FinishMemory(Engine& engine) {
  auto noted = std::move(memory_);
  memory_.clear();
  for (const auto& [field_key, ids] : noted) {
    NamedMutex::Guard guard(engine.index_lock);
    auto reg = vector_registry(engine);
    if (!reg) return;
    auto it = (*reg)->loaded.find(field_key);
    if (it != (*reg)->loaded.end()) hnsw_repair_after_bulk(it->second, std::span<const uint32_t>(ids));
  }
}

}  // namespace pallix
