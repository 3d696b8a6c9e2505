#include "index/snapshot_index.h"

#include <memory>
#include <utility>

#include "index/index_state.h"
#include "index/registry.h"
#include "index/text_index.h"
#include "index/vector_index.h"

namespace pallix {

namespace {

using Found = std::optional<SnapshotDiskIndex>;

// The declared codebook of (collection, field) when view's codebook row is
// that very one (the common case: no re-declaration since the snapshot),
// so that it is shared rather than decoded per query; otherwise the row's
// own codebook, or null when the row is absent or unusable. Comparing a
// codebook costs a read of every centroid, so the snapshot found to hold
// the declared one is remembered, and its later readers skip the compare.
Result<std::shared_ptr<const PqCodebook>> SnapshotCodebook(Engine& engine, const ReadView& view,
                                                           std::string_view collection, std::string_view field,
                                                           const std::string& ns) {
  const SnapshotTag tag = view.snapshot_tag();
  std::shared_ptr<const PqCodebook> declared;
  {
    NamedMutex::Guard guard(engine.index_lock);
    ASSIGN_OR_RETURN(VectorRegistry * reg, vector_registry(engine));
    auto it = reg->declared.find(FieldKey(collection, field));
    if (it != reg->declared.end()) declared = it->second.codebook;
    auto seen = reg->codebook_seen.find(FieldKey(collection, field));
    if (declared && seen != reg->codebook_seen.end() && seen->second.codebook == declared &&
        seen->second.snapshot.SameSnapshot(tag))
      return declared;
  }
  std::shared_ptr<const PqCodebook> out;
  bool same = false;
  ASSIGN_OR_RETURN(bool present, view.view_get_with(ns, kDannCodebookKey, [&](std::string_view bytes) {
                     if (declared && dann_codebook_is(bytes, *declared)) {
                       out = declared;
                       same = true;
                     } else if (std::optional<PqCodebook> own = decode_dann_codebook(bytes)) {
                       out = std::make_shared<const PqCodebook>(std::move(*own));
                     }
                   }));
  (void)present;  // an absent row leaves out null
  if (same) {
    NamedMutex::Guard guard(engine.index_lock);
    ASSIGN_OR_RETURN(VectorRegistry * reg, vector_registry(engine));
    reg->codebook_seen[FieldKey(collection, field)] = CodebookSeen{declared, tag};
  }
  return out;
}

Result<Found> SnapshotVectorIndex(Engine& engine, const ReadView& view, std::string_view collection,
                                  std::string_view field, const IndexState& state) {
  std::optional<VectorIndexInfo> info = vector_info_of_payload(state.payload);
  if (!info || !vector_kind_on_disk(info->storage_kind)) return Found();
  SnapshotDiskIndex out{vector_namespace(collection, field), vector_index_params(*info)};
  if (info->storage_kind == kVectorOnDiskPq) {
    ASSIGN_OR_RETURN(out.params.codebook, SnapshotCodebook(engine, view, collection, field, out.ns));
    if (!out.params.has_codebook()) return Found();
  }
  return Found(std::move(out));
}

}  // namespace

Result<std::optional<SnapshotDiskIndex>> snapshot_disk_index(Engine& engine, const ReadView& view,
                                                             DiskIndexFamily family, std::string_view collection,
                                                             std::string_view field) {
  const bool text = family == DiskIndexFamily::kText;
  ASSIGN_OR_RETURN(std::optional<IndexState> state,
                   read_index_state(view, text ? kTextRegistry : kVectorRegistry, registry_key(collection, field)));
  if (!state || state->cursor) return Found();
  if (!text) return SnapshotVectorIndex(engine, view, collection, field, *state);
  if (state->payload.empty() || state->payload[0] != kTextOnDisk) return Found();
  return Found(SnapshotDiskIndex{text_namespace(collection, field), {}});
}

Result<std::optional<std::string>> disk_text_index_namespace(Engine& engine, const ReadView& view,
                                                             std::string_view collection, std::string_view field) {
  ASSIGN_OR_RETURN(Found index, snapshot_disk_index(engine, view, DiskIndexFamily::kText, collection, field));
  if (!index) return std::optional<std::string>();
  return std::optional<std::string>(std::move(index->ns));
}

Result<std::optional<std::vector<HnswHit>>> disk_vector_index_search(Engine& engine, const ReadView& view,
                                                                     std::string_view collection,
                                                                     std::string_view field,
                                                                     std::span<const float> query, uint64_t k) {
  using Hits = std::optional<std::vector<HnswHit>>;
  ASSIGN_OR_RETURN(Found index, snapshot_disk_index(engine, view, DiskIndexFamily::kVector, collection, field));
  if (!index) return Hits();
  // A graph of another dimension holds none of the vectors this query can
  // be compared with: the exact route scores them, as for an in-memory graph.
  ASSIGN_OR_RETURN(DiskHnswMeta meta, read_dann_meta_ro(view, index->ns));
  if (meta.dim && *meta.dim != query.size()) return Hits();
  if (index->params.has_codebook() && index->params.codebook->dim != query.size()) return Hits();
  ASSIGN_OR_RETURN(std::vector<HnswHit> hits, dann_search(view, index->ns, index->params, query, k));
  return Hits(std::move(hits));
}

}  // namespace pallix
