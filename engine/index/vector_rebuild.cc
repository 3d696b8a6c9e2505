// The after-commit rebuild of delete-heavy on-disk vector indexes
// (declared in index/vector_index.h).
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

}  // namespace pallix
