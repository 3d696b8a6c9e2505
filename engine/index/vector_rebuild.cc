// The after-commit rebuild of delete-heavy on-disk vector indexes and the
// on-disk search entry (declared in index/vector_index.h).
//
// A removed or replaced key leaves its node in the on-disk graph, marked
// deleted: it still routes searches, which walk through it without
// returning it, so a graph that is mostly deleted nodes grows slow and its
// rows pile up. Once live < 2 x deleted (more than a third deleted) the
// index is reset and rebuilt from the rows right after the commit that
// tipped it. In-memory graphs follow the same rule
// (update_memory_vector_indexes).

#include <utility>

#include "index/index_state.h"
#include "index/resume.h"
#include "index/vector_index.h"

namespace pallix {

namespace {

bool NeedsRebuild(const IndexMetaInfo& meta) { return meta.present && meta.live < 2 * meta.deleted; }

// The complete on-disk indexes of the collection.
std::vector<std::string> CompleteDiskFields(Engine& engine, std::string_view collection) {
  std::vector<std::string> out;
  NamedMutex::Guard guard(engine.index_lock);
  auto reg = vector_registry(engine);
  if (!reg) return out;
  const auto& declared = (*reg)->declared;
  for (auto it = declared.lower_bound(FieldKey(collection, "")); it != declared.end() && it->first.first == collection;
       ++it)
    if (vector_kind_on_disk(it->second.storage_kind) && !it->second.building) out.push_back(it->first.second);
  return out;
}

// Steps under "index resume lock": check again, reset, rebuild.
Status ResetAndRebuild(Engine& engine, std::string_view collection, const std::string& field,
                       const std::string& ns) {
  ASSIGN_OR_RETURN(IndexMetaInfo meta, read_index_meta(engine, ns));
  if (!NeedsRebuild(meta)) return Ok();
  VectorIndexInfo info;
  {
    NamedMutex::Guard guard(engine.index_lock);
    ASSIGN_OR_RETURN(VectorRegistry * reg, vector_registry(engine));
    auto it = reg->declared.find(FieldKey(collection, field));
    if (it == reg->declared.end() || !vector_kind_on_disk(it->second.storage_kind) || it->second.building) return Ok();
    info = it->second;
  }
  const std::string payload{static_cast<char>(info.metric), static_cast<char>(info.quantization),
                            static_cast<char>(info.storage_kind)};
  RETURN_IF_ERROR(write_vector_index_registry(engine, registry_key(collection, field), ns, payload,
                                              info.codebook.get(), std::string()));
  {
    NamedMutex::Guard guard(engine.index_lock);
    ASSIGN_OR_RETURN(VectorRegistry * reg, vector_registry(engine));
    auto it = reg->declared.find(FieldKey(collection, field));
    if (it == reg->declared.end() || !vector_kind_on_disk(it->second.storage_kind)) return Ok();
    it->second.building = true;
  }
  return build_disk_vector_index(engine, collection, field, std::string());
}

}  // namespace

void rebuild_deleted_heavy_vector_indexes(Engine& engine, std::string_view collection, std::string_view,
                                          const Value*) {
  for (const std::string& field : CompleteDiskFields(engine, collection)) {
    const std::string ns = vector_namespace(collection, field);
    auto meta = read_index_meta(engine, ns);
    if (!meta || !NeedsRebuild(*meta)) continue;
    NamedMutex& lock = engine.index_resume_lock;
    if (lock.poisoned() || !lock.TryLock()) continue;
    TryLockHolder holder(lock);
    (void)ResetAndRebuild(engine, collection, field, ns);  // a failure leaves the build for resume
  }
}

Result<std::optional<std::vector<HnswHit>>> disk_vector_index_search(Engine& engine, const ReadView& view,
                                                                     std::string_view collection,
                                                                     std::string_view field,
                                                                     std::span<const float> query, uint64_t k) {
  using Hits = std::optional<std::vector<HnswHit>>;
  DiskHnswParams params;
  std::string payload;
  {
    NamedMutex::Guard guard(engine.index_lock);
    ASSIGN_OR_RETURN(VectorRegistry * reg, vector_registry(engine));
    auto it = reg->declared.find(FieldKey(collection, field));
    if (it == reg->declared.end() || !vector_kind_on_disk(it->second.storage_kind) || it->second.building)
      return Hits();
    params = vector_index_params(it->second);
    payload = {static_cast<char>(it->second.metric), static_cast<char>(it->second.quantization),
               static_cast<char>(it->second.storage_kind)};
  }
  // The snapshot must hold this very declaration, complete: a
  // re-declaration or a rebuild commits the emptied namespace (and a cursor
  // in the registry row) before the declared entry says building, and the
  // snapshot may be older or newer than the entry.
  ASSIGN_OR_RETURN(std::optional<IndexState> state,
                   read_index_state(view, kVectorRegistry, registry_key(collection, field)));
  if (!state || state->cursor || !state->payload.starts_with(payload)) return Hits();
  // A graph of another dimension holds none of the vectors this query can
  // be compared with: the exact route scores them, as for an in-memory graph.
  const std::string ns = vector_namespace(collection, field);
  ASSIGN_OR_RETURN(DiskHnswMeta meta, read_dann_meta_ro(view, ns));
  if (meta.dim && *meta.dim != query.size()) return Hits();
  if (params.has_codebook() && params.codebook->dim != query.size()) return Hits();
  ASSIGN_OR_RETURN(std::vector<HnswHit> hits, dann_search(view, ns, params, query, k));
  return Hits(std::move(hits));
}

}  // namespace pallix
