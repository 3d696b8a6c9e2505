// The on-disk search entry (declared in index/vector_index.h).
//
// A removed or replaced key leaves its node in the on-disk graph, marked
// deleted: it still routes searches, which walk through it without
// returning it. Writes repair the graph around such nodes a bounded slice
// at a time and drop them (vector/disk_hnsw_repair.h); no write rebuilds
// the whole graph.

#include <utility>

#include "index/index_state.h"
#include "index/vector_index.h"

namespace pallix {

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
