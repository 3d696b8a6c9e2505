#include "vector/disk_hnsw.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "base/coding.h"
#include "doc/value.h"
#include "vector/disk_hnsw_internal.h"
#include "vector/disk_hnsw_repair.h"
#include "vector/hnsw_repair.h"

namespace pallix {
namespace {

using dann_internal::DannNodeView;
using dann_internal::DannStore;
using dann_internal::SearchLayer;
using dann_internal::SearchLayerAdmitting;

constexpr size_t kMetaBaseBytes = 17;
constexpr size_t kCodebookHeaderBytes = 16;

EngineError Malformed(std::string_view ns, std::string_view what) {
  return EngineError::CorruptIndex(std::string(what) + " in index namespace '" + std::string(ns) + "'");
}

EngineError MalformedNode(std::string_view ns, uint64_t id) { return dann_internal::MalformedDannNode(ns, id); }

uint32_t SaturatingIncrement(uint32_t v) { return v == UINT32_MAX ? v : v + 1; }

// The neighbour lists of a parsed node, decoded into ids.
void DecodeLayers(const DannNodeView& view, std::vector<std::vector<uint64_t>>& layers) {
  layers.resize(view.layer_count);
  const char* p = view.layers;
  for (auto& list : layers) {
    uint32_t n = DecodeFixed32LE(p);
    list.resize(n);
    for (uint32_t i = 0; i < n; ++i) list[i] = DecodeFixed64BE(p + 4 + size_t{i} * 8);
    p += 4 + size_t{n} * 8;
  }
}

StoredVector DecodeStored(std::string_view bytes, bool as_codes) {
  if (as_codes) return StoredVector::Codes(std::vector<uint8_t>(bytes.begin(), bytes.end()));
  std::vector<float> f32(bytes.size() / 4);
  for (size_t i = 0; i < f32.size(); ++i) f32[i] = DecodeFloat32LE(bytes.data() + i * 4);
  return StoredVector::F32(std::move(f32));
}

// get(row key, fn) -> Result<bool> hands the row's bytes to fn when it
// exists; they are decoded before anything else reads or writes.
template <typename Get>
Result<std::shared_ptr<const DiskHnswNode>> LoadThrough(Get get, std::string_view ns, DannNodeCache& cache,
                                                        bool has_codebook, Quantization quant, uint64_t id) {
  if (const auto* held = cache.Held(id)) return std::shared_ptr<const DiskHnswNode>(*held);
  std::optional<Result<DiskHnswNode>> decoded;
  auto decode = [&](std::string_view row) { decoded = decode_dann_node(ns, id, row, has_codebook, quant); };
  ASSIGN_OR_RETURN(bool found, get(dann_node_row_key(id), decode));
  std::shared_ptr<DiskHnswNode> node;
  if (found) {
    if (!decoded->has_value()) return Fail(std::move(*decoded).error());
    node = std::make_shared<DiskHnswNode>(std::move(**decoded));
  }
  cache.Hold(id) = node;
  return std::shared_ptr<const DiskHnswNode>(node);
}

bool AsCodes(const DiskHnswParams& params) { return params.has_codebook() || params.quant != Quantization::kNone; }

// The cached node made private to the cache (copied when another holder
// still shares it) and marked changed; null when it has no row.
DiskHnswNode* Mutable(DannNodeCache& cache, uint64_t id) {
  std::shared_ptr<DiskHnswNode>* held = cache.Held(id);
  if (held == nullptr || *held == nullptr) return nullptr;
  if (held->use_count() > 1) {
    *held = std::make_shared<DiskHnswNode>(**held);
    cache.rebound.push_back(id);
  }
  cache.changed.insert(id);
  return held->get();
}

}  // namespace

// ------------------------------------------------------------ rows

std::string dann_key_row_key(std::string_view key) {
  std::string out(1, kDannKeyPrefix);
  out.append(key);
  return out;
}

std::string dann_node_row_key(uint64_t id) {
  std::string out(1, kDannNodePrefix);
  PutFixed64BE(&out, id);
  return out;
}

Result<DiskHnswMeta> decode_dann_meta(std::string_view ns, std::string_view bytes) {
  const size_t len = bytes.size();
  if (len < kMetaBaseBytes) return Fail(Malformed(ns, "malformed meta row"));
  DiskHnswMeta meta;
  meta.has_entry = bytes[0] != 0;
  meta.entry = DecodeFixed64BE(bytes.data() + 1);
  meta.next = DecodeFixed64BE(bytes.data() + 9);
  if (len == kMetaBaseBytes) return meta;
  size_t deleted_at;
  if (bytes[17] == 1) {
    if (len != 22 && len != 26) return Fail(Malformed(ns, "malformed meta row"));
    meta.dim = DecodeFixed32BE(bytes.data() + 18);
    deleted_at = 22;
  } else {
    if (len != 18 && len != 22) return Fail(Malformed(ns, "malformed meta row"));
    deleted_at = 18;
  }
  if (len == deleted_at + 4) meta.deleted = DecodeFixed32BE(bytes.data() + deleted_at);
  return meta;
}

std::string encode_dann_meta(const DiskHnswMeta& meta) {
  std::string out(1, meta.has_entry ? '\1' : '\0');
  PutFixed64BE(&out, meta.has_entry ? meta.entry : 0);
  PutFixed64BE(&out, meta.next);
  out.push_back(meta.dim.has_value() ? '\1' : '\0');
  if (meta.dim.has_value()) PutFixed32BE(&out, *meta.dim);
  PutFixed32BE(&out, meta.deleted);
  return out;
}

Result<DiskHnswMeta> read_dann_meta(WriteCtx& ctx, std::string_view ns) {
  ASSIGN_OR_RETURN(std::optional<std::string> row, get_row(ctx, ns, kDannMetaKey));
  if (!row.has_value()) return DiskHnswMeta{};
  return decode_dann_meta(ns, *row);
}

Result<DiskHnswMeta> read_dann_meta_ro(const ReadView& view, std::string_view ns) {
  ASSIGN_OR_RETURN(std::optional<std::string> row, view.view_get(ns, kDannMetaKey));
  if (!row.has_value()) return DiskHnswMeta{};
  return decode_dann_meta(ns, *row);
}

Result<DiskHnswNode> decode_dann_node(std::string_view ns, uint64_t id, std::string_view bytes, bool has_codebook,
                                      Quantization quant) {
  DannNodeView view;
  if (!ParseDannNode(bytes, view)) return Fail(MalformedNode(ns, id));
  DiskHnswNode node;
  node.deleted = view.deleted;
  node.key.assign(view.key);
  node.stored = DecodeStored(view.stored, has_codebook || quant != Quantization::kNone);
  DecodeLayers(view, node.layers);
  return node;
}

std::string encode_dann_node(const DiskHnswNode& node) {
  // A flush writes thousands of rows: sized once, then filled in place.
  const bool codes = node.stored.kind == StoredKind::kCodes;
  const size_t vector_bytes = codes ? node.stored.codes.size() : node.stored.f32.size() * 4;
  size_t size = 1 + 4 + node.key.size() + 4 + vector_bytes + 4;
  for (const auto& list : node.layers) size += 4 + list.size() * 8;
  std::string out(size, '\0');
  char* p = out.data();
  *p++ = node.deleted ? '\1' : '\0';
  EncodeFixed32LE(p, static_cast<uint32_t>(node.key.size()));
  p += 4;
  if (!node.key.empty()) std::memcpy(p, node.key.data(), node.key.size());
  p += node.key.size();
  EncodeFixed32LE(p, static_cast<uint32_t>(vector_bytes));
  p += 4;
  if (codes) {
    if (vector_bytes > 0) std::memcpy(p, node.stored.codes.data(), vector_bytes);
  } else if constexpr (std::endian::native == std::endian::little) {
    if (vector_bytes > 0) std::memcpy(p, node.stored.f32.data(), vector_bytes);
  } else {
    for (size_t i = 0; i < node.stored.f32.size(); ++i) EncodeFloat32LE(p + i * 4, node.stored.f32[i]);
  }
  p += vector_bytes;
  EncodeFixed32LE(p, static_cast<uint32_t>(node.layers.size()));
  p += 4;
  for (const auto& list : node.layers) {
    EncodeFixed32LE(p, static_cast<uint32_t>(list.size()));
    p += 4;
    for (uint64_t v : list) {
      EncodeFixed64BE(p, v);
      p += 8;
    }
  }
  return out;
}

std::optional<PqCodebook> decode_dann_codebook(std::string_view bytes) {
  if (bytes.size() < kCodebookHeaderBytes) return std::nullopt;
  PqCodebook cb;
  cb.m = DecodeFixed32LE(bytes.data());
  cb.k = DecodeFixed32LE(bytes.data() + 4);
  cb.subspace_dim = DecodeFixed32LE(bytes.data() + 8);
  cb.dim = DecodeFixed32LE(bytes.data() + 12);
  if (cb.m == 0 || cb.subspace_dim == 0 || cb.k < 2 || cb.k > kPqMaxK) return std::nullopt;
  // In 64 bits: m * subspace_dim and m * k * subspace_dim cannot wrap (each
  // factor is below 2^32 and k at most 256), and the value count is
  // compared with the bytes present before anything is allocated.
  if (uint64_t{cb.m} * cb.subspace_dim != cb.dim) return std::nullopt;
  uint64_t count = uint64_t{cb.dim} * cb.k;
  if (count > (bytes.size() - kCodebookHeaderBytes) / 4) return std::nullopt;
  cb.centroids.resize(count);
  const char* p = bytes.data() + kCodebookHeaderBytes;
  for (uint64_t i = 0; i < count; ++i) cb.centroids[i] = DecodeFloat32LE(p + i * 4);
  return cb;
}

bool dann_codebook_is(std::string_view bytes, const PqCodebook& codebook) {
  if (bytes.size() < kCodebookHeaderBytes || DecodeFixed32LE(bytes.data()) != codebook.m ||
      DecodeFixed32LE(bytes.data() + 4) != codebook.k || DecodeFixed32LE(bytes.data() + 8) != codebook.subspace_dim ||
      DecodeFixed32LE(bytes.data() + 12) != codebook.dim || !codebook.valid())
    return false;
  const size_t count = codebook.centroids.size();
  if (count > (bytes.size() - kCodebookHeaderBytes) / 4) return false;
  const char* p = bytes.data() + kCodebookHeaderBytes;
  if constexpr (std::endian::native == std::endian::little) {
    return std::memcmp(p, codebook.centroids.data(), count * 4) == 0;
  } else {
    for (size_t i = 0; i < count; ++i)
      if (DecodeFixed32LE(p + i * 4) != std::bit_cast<uint32_t>(codebook.centroids[i])) return false;
    return true;
  }
}

std::string encode_dann_codebook(const PqCodebook& codebook) {
  std::string out;
  PutFixed32LE(&out, codebook.m);
  PutFixed32LE(&out, codebook.k);
  PutFixed32LE(&out, codebook.subspace_dim);
  PutFixed32LE(&out, codebook.dim);
  for (float x : codebook.centroids) PutFixed32LE(&out, std::bit_cast<uint32_t>(x));
  return out;
}

uint32_t dann_level(uint64_t id, double ml) {
  uint64_t z = id + 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  double u = static_cast<double>(((z ^ (z >> 31)) >> 11) + 1) * 0x1p-53;  // 0 < u <= 1
  double level = std::floor(-std::log(u) * ml);
  // A level past any real graph's height (possible only with a huge ml) is
  // capped rather than converted out of range.
  return level >= 1e6 ? 1000000u : static_cast<uint32_t>(level);
}

// ------------------------------------------------------------ loads

Result<std::shared_ptr<const DiskHnswNode>> load_dann_node(WriteCtx& ctx, std::string_view ns, DannNodeCache& cache,
                                                           bool has_codebook, Quantization quant, uint64_t id) {
  auto get = [&](const std::string& key, const auto& fn) { return get_row_with(ctx, ns, key, fn); };
  return LoadThrough(get, ns, cache, has_codebook, quant, id);
}

Result<std::shared_ptr<const DiskHnswNode>> load_dann_node_ro(const ReadView& view, std::string_view ns,
                                                              DannNodeCache& cache, bool has_codebook,
                                                              Quantization quant, uint64_t id) {
  auto get = [&](const std::string& key, const auto& fn) { return view.view_get_with(ns, key, fn); };
  return LoadThrough(get, ns, cache, has_codebook, quant, id);
}

PreparedQuery dann_query_prepare(const DiskHnswParams& params, std::span<const float> query) {
  return prepare_query(params.codebook.get(), params.metric, params.quant, query);
}

float dann_code_distance(const DiskHnswParams& params, QueryRef query, StoredRef stored) {
  return pq_code_distance(params.codebook.get(), params.metric, params.quant, query, stored);
}

PreparedQuery dann_internal::NeighbourQuery(const DiskHnswParams& params, StoredRef stored) {
  return NeighbourQuery(params, stored, HnswLinkMetric(params.metric));
}

PreparedQuery dann_internal::NeighbourQuery(const DiskHnswParams& params, StoredRef stored, Metric metric) {
  if (!params.has_codebook()) return query_from_stored(params.quant, stored);
  if (stored.kind == StoredKind::kCodes) {
    if (auto decoded = pq_decode(*params.codebook, stored.codes)) {
      return prepare_query(params.codebook.get(), metric, params.quant, *decoded);
    }
  }
  PreparedQuery empty;
  empty.kind = QueryKind::kPqRaw;
  return empty;
}

// ------------------------------------------------------------ graph

namespace {

// The insert's store as the rule that keeps nodes linked
// (HnswKeepLinked) reads and changes lists: through the store, so that
// what it changes goes into the insert's cache.
class DannLinkAccess {
 public:
  using Id = uint64_t;

  DannLinkAccess(DannStore& store, const DiskHnswParams& params, DiskHnswMeta& meta)
      : store_(store), params_(params), meta_(meta) {}

  static uint64_t Born(Id id) { return id; }  // ids are never reused
  bool Present(Id id) { return store_.Node(id) != nullptr; }
  bool Deleted(Id id) {
    const DannNodeView* node = store_.Node(id);
    return node != nullptr && node->deleted;
  }
  uint32_t Layers(Id id) {
    const DannNodeView* node = store_.Node(id);
    return node != nullptr ? node->layer_count : 0;
  }
  dann_internal::DannLinks Links(Id id, uint32_t layer) { return store_.Neighbours(id, layer); }
  void SetLinks(Id id, uint32_t layer, std::span<const Id> ids) { store_.SetLinks(id, layer, ids.data(), ids.size()); }
  size_t Cap(uint32_t layer) const { return layer > 0 ? params_.m : params_.m0; }
  void ScoreFrom(Id from, const Id* ids, size_t n, float* out) { store_.ScoreFrom(from, ids, n, out); }
  std::optional<Id> Entry() const { return meta_.has_entry ? std::optional<Id>(meta_.entry) : std::nullopt; }
  void SetEntry(std::optional<Id> id) {
    meta_.has_entry = id.has_value();
    meta_.entry = id.value_or(0);
  }
  bool ok() const { return store_.ok(); }

 private:
  DannStore& store_;
  const DiskHnswParams& params_;
  DiskHnswMeta& meta_;
};

// Marks node id deleted when it has a row, and counts one more deletion;
// with `anchor`, what it anchored is anchored anew.
Status MarkDeleted(WriteCtx& ctx, std::string_view ns, const DiskHnswParams& params, DannNodeCache& cache,
                   DiskHnswMeta& meta, uint64_t id, std::optional<uint64_t>* removed, bool anchor = true) {
  ASSIGN_OR_RETURN(auto node, load_dann_node(ctx, ns, cache, params.has_codebook(), params.quant, id));
  bool present = node != nullptr;
  node.reset();  // the cache's reference alone: Mutable need not copy the node
  if (present) {
    Mutable(cache, id)->deleted = true;
    // A shared node table keeps each node's flag beside its entry: the
    // next insert's store takes the new one in.
    cache.rebound.push_back(id);
  }
  if (present && anchor) {
    // The inserts that follow in this write change lists: what the node
    // anchored gets anchors of its own first (HnswAnchorAround).
    QueryScorer unused(params.codebook.get(), params.metric, params.quant, QueryRef{});
    DannStore store(ctx, cache, ns, params, unused, std::span<const float>());
    DannLinkAccess access(store, params, meta);
    HnswAnchorAround(access, id);
    RETURN_IF_ERROR(store.status());
  }
  if (present && removed != nullptr) *removed = id;
  meta.deleted = SaturatingIncrement(meta.deleted);
  return Ok();
}

// Links the new node id (already cached) into every layer up to its level
// (HnswConnect over the insert's store), and keeps linked each node whose
// link the insert's pruning took away (HnswKeepLinked). An entry point without a row is
// treated as absent: the new node becomes the entry. Nothing is written
// meanwhile, so the store's views of rows stay valid.
Status Connect(WriteCtx& ctx, std::string_view ns, const DiskHnswParams& params, DannNodeCache& cache,
               DiskHnswMeta& meta, uint64_t id, uint32_t level, std::span<const float> vector) {
  const Metric link = HnswLinkMetric(params.metric);
  PreparedQuery query = prepare_query(params.codebook.get(), link, params.quant, vector);
  QueryScorer scorer(params.codebook.get(), link, params.quant, query.ref());
  DannStore store(ctx, cache, ns, params, scorer, query.floats);
  const DannNodeView* entry = store.Node(meta.entry);
  RETURN_IF_ERROR(store.status());
  if (entry == nullptr) {
    meta.entry = id;
    return Ok();
  }
  const uint32_t top = entry->layer_count > 0 ? entry->layer_count - 1 : 0;
  HnswConnect(store, id, level, meta.entry, top, HnswShape{params.m, params.m0, params.ef_construction});
  RETURN_IF_ERROR(store.status());
  std::vector<HnswUnlinked<uint64_t>> unlinked = store.TakeUnlinked();
  if (level > top) {
    // The old entry point needed no anchor, and anchored what it links to
    // whatever their order: they may need new ones. A link it lost to this
    // insert's pruning was an anchor too, though the old entry point no
    // longer comes first: that loss is checked as if from no one.
    const uint64_t old_entry = meta.entry;
    meta.entry = id;
    for (auto& u : unlinked) {
      if (u.from == old_entry) u.from = u.id;
    }
    for (uint32_t layer = 0; layer <= top && store.ok(); ++layer) {
      unlinked.push_back({layer, old_entry, old_entry});
      const auto& list = store.Neighbours(old_entry, layer);
      for (size_t i = 0, n = list.size(); i < n; ++i) unlinked.push_back({layer, list[i], list[i]});
    }
    RETURN_IF_ERROR(store.status());
  }
  DannLinkAccess access(store, params, meta);
  HnswKeepLinked(access, std::span<const HnswUnlinked<uint64_t>>(unlinked));
  return store.status();
}

// Whether a stored form holds exactly these bytes: float32 components
// compared bit for bit (so -0.0 differs from +0.0, and a NaN equals itself
// only with the same payload), codes byte for byte.
bool SameStored(const StoredVector& a, const StoredVector& b) {
  if (a.kind != b.kind) return false;
  if (a.kind == StoredKind::kCodes) return a.codes == b.codes;
  return a.f32.size() == b.f32.size() &&
         (a.f32.empty() || std::memcmp(a.f32.data(), b.f32.data(), a.f32.size() * sizeof(float)) == 0);
}

std::string IdValue(uint64_t id) {
  std::string out;
  PutFixed64BE(&out, id);
  return out;
}

}  // namespace

Status dann_insert(WriteCtx& ctx, std::string_view ns, const DiskHnswParams& params, DannNodeCache& cache,
                   DiskHnswMeta& meta, std::string_view key, std::span<const float> vector,
                   std::optional<uint64_t>* removed, bool repair_follows) {
  const std::string key_row = dann_key_row_key(key);
  ASSIGN_OR_RETURN(std::optional<std::string> old, get_row(ctx, ns, key_row));
  // A codebook fixes the length: a vector of another one would be coded as
  // zeros and, inserted first, would shut out every vector it was made for.
  if (!meta.dim.has_value() && params.has_codebook()) meta.dim = params.codebook->dim;
  bool mismatch = vector.size() > UINT32_MAX || (meta.dim.has_value() && *meta.dim != vector.size());
  if (mismatch) {
    if (!old.has_value()) return Ok();
    RETURN_IF_ERROR(delete_row_counted(ctx, ns, key_row));
    if (old->size() != 8) return Ok();
    return MarkDeleted(ctx, ns, params, cache, meta, DecodeFixed64BE(old->data()), removed, !repair_follows);
  }
  StoredVector stored = params.has_codebook() ? StoredVector::Codes(pq_encode(*params.codebook, vector))
                                              : quantize_vector(params.quant, vector);
  if (old.has_value() && old->size() == 8) {
    const uint64_t old_id = DecodeFixed64BE(old->data());
    ASSIGN_OR_RETURN(auto node, load_dann_node(ctx, ns, cache, params.has_codebook(), params.quant, old_id));
    // Most writes of a document leave its vector as it was: its node
    // stays, rather than becoming a deleted node beside an identical one.
    if (node != nullptr && !node->deleted && node->key == key && SameStored(node->stored, stored)) return Ok();
    node.reset();  // the cache's reference alone: MarkDeleted need not copy the node
    RETURN_IF_ERROR(MarkDeleted(ctx, ns, params, cache, meta, old_id, removed, !repair_follows));
  }
  if (!meta.dim.has_value()) meta.dim = static_cast<uint32_t>(vector.size());
  // Ids are never reused; a counter at its end (possible only in a damaged
  // meta row) would hand out an id that another node already has.
  if (meta.next == UINT64_MAX) return Fail(Malformed(ns, "malformed meta row"));
  const uint64_t id = meta.next++;
  const uint32_t level = dann_level(id, params.ml);
  auto node = std::make_shared<DiskHnswNode>();
  node->key.assign(key);
  node->stored = std::move(stored);
  node->layers.resize(size_t{level} + 1);
  cache.Hold(id) = std::move(node);
  cache.changed.insert(id);
  RETURN_IF_ERROR(put_row(ctx, ns, key_row, IdValue(id)));
  // A graph's first node: from here on its repair row says whether every
  // live node has its anchor (a graph without one is an earlier build's).
  if (id == 0) RETURN_IF_ERROR(dann_repair_new_graph(ctx, ns));
  if (!meta.has_entry) {
    meta.has_entry = true;
    meta.entry = id;
    return Ok();
  }
  return Connect(ctx, ns, params, cache, meta, id, level, vector);
}

Status dann_retire(WriteCtx& ctx, std::string_view ns, const DiskHnswParams& params, DannNodeCache& cache,
                   DiskHnswMeta& meta, std::string_view key, const std::span<const float>* vector,
                   std::optional<uint64_t>* removed) {
  const std::string key_row = dann_key_row_key(key);
  ASSIGN_OR_RETURN(std::optional<std::string> old, get_row(ctx, ns, key_row));
  if (!old.has_value()) return Ok();
  if (old->size() != 8) {
    RETURN_IF_ERROR(delete_row_counted(ctx, ns, key_row));
    return Ok();
  }
  const uint64_t old_id = DecodeFixed64BE(old->data());
  std::optional<uint32_t> dim = meta.dim;
  if (!dim.has_value() && params.has_codebook()) dim = params.codebook->dim;
  if (vector != nullptr && vector->size() <= UINT32_MAX && (!dim.has_value() || *dim == vector->size())) {
    StoredVector stored = params.has_codebook() ? StoredVector::Codes(pq_encode(*params.codebook, *vector))
                                                : quantize_vector(params.quant, *vector);
    ASSIGN_OR_RETURN(auto node, load_dann_node(ctx, ns, cache, params.has_codebook(), params.quant, old_id));
    if (node != nullptr && !node->deleted && node->key == key && SameStored(node->stored, stored)) return Ok();
  }
  RETURN_IF_ERROR(delete_row_counted(ctx, ns, key_row));
  return MarkDeleted(ctx, ns, params, cache, meta, old_id, removed);
}

Status flush_dann_nodes(WriteCtx& ctx, std::string_view ns, DannNodeCache& cache) {
  for (uint64_t id : cache.changed.Sorted()) {
    std::shared_ptr<DiskHnswNode>* held = cache.Held(id);
    if (held == nullptr || *held == nullptr) continue;
    RETURN_IF_ERROR(put_row(ctx, ns, dann_node_row_key(id), encode_dann_node(**held)));
  }
  cache.changed.clear();
  return Ok();
}

Status dann_upsert(WriteCtx& ctx, std::string_view ns, const DiskHnswParams& params, std::string_view key,
                   std::span<const float> vector, std::optional<uint64_t>* removed, bool repair_follows) {
  ASSIGN_OR_RETURN(DiskHnswMeta meta, read_dann_meta(ctx, ns));
  const DiskHnswMeta before = meta;
  DannNodeCache cache(true);  // one write: a few nodes
  RETURN_IF_ERROR(dann_insert(ctx, ns, params, cache, meta, key, vector, removed, repair_follows));
  RETURN_IF_ERROR(flush_dann_nodes(ctx, ns, cache));
  // An unchanged vector wrote nothing; neither does its meta row.
  if (meta == before) return Ok();
  return put_row(ctx, ns, kDannMetaKey, encode_dann_meta(meta));
}

Result<bool> dann_remove_key(WriteCtx& ctx, std::string_view ns, bool has_codebook, Quantization quant,
                             std::string_view key, std::optional<uint64_t>* removed) {
  const std::string key_row = dann_key_row_key(key);
  ASSIGN_OR_RETURN(std::optional<std::string> id_bytes, get_row(ctx, ns, key_row));
  if (!id_bytes.has_value()) return false;
  if (id_bytes->size() != 8) {
    RETURN_IF_ERROR(delete_row_counted(ctx, ns, key_row));
    return false;
  }
  const uint64_t id = DecodeFixed64BE(id_bytes->data());
  const std::string node_row = dann_node_row_key(id);
  ASSIGN_OR_RETURN(std::optional<std::string> row, get_row(ctx, ns, node_row));
  if (row.has_value()) {
    // A node row that does not decode stays as it is: the key is gone
    // either way, and the search skips nothing it could not read.
    if (auto node = decode_dann_node(ns, id, *row, has_codebook, quant); node.has_value()) {
      const bool was_live = !node->deleted;
      node->deleted = true;
      RETURN_IF_ERROR(put_row(ctx, ns, node_row, encode_dann_node(*node)));
      if (was_live && removed != nullptr) *removed = id;
    }
  }
  RETURN_IF_ERROR(delete_row_counted(ctx, ns, key_row));
  ASSIGN_OR_RETURN(DiskHnswMeta meta, read_dann_meta(ctx, ns));
  meta.deleted = SaturatingIncrement(meta.deleted);
  RETURN_IF_ERROR(put_row(ctx, ns, kDannMetaKey, encode_dann_meta(meta)));
  return true;
}

// ------------------------------------------------------------ search

Result<std::vector<ScoredNode<uint64_t>>> dann_search_layer(const ReadView& view, std::string_view ns,
                                                            const DiskHnswParams& params,
                                                            std::span<const float> query, uint64_t entry,
                                                            uint64_t ef, uint32_t layer) {
  PreparedQuery prepared = dann_query_prepare(params, query);
  QueryScorer scorer(params.codebook.get(), params.metric, params.quant, prepared.ref());
  DannStore store(view, ns, AsCodes(params), params.metric, scorer, prepared.floats);
  return SearchLayer(store, entry, ef, layer);
}

Result<std::vector<HnswHit>> dann_search(const ReadView& view, std::string_view ns, const DiskHnswParams& params,
                                         std::span<const float> query, uint64_t k) {
  ASSIGN_OR_RETURN(DiskHnswMeta meta, read_dann_meta_ro(view, ns));
  if (k == 0 || !meta.has_entry) return std::vector<HnswHit>{};
  if (meta.dim.has_value() && *meta.dim != query.size()) return std::vector<HnswHit>{};
  if (params.has_codebook() && params.codebook->dim != query.size()) return std::vector<HnswHit>{};
  // One prepared query and one store for every layer: a node met on an
  // upper layer is not read again below.
  PreparedQuery prepared = dann_query_prepare(params, query);
  QueryScorer scorer(params.codebook.get(), params.metric, params.quant, prepared.ref());
  DannStore store(view, ns, AsCodes(params), params.metric, scorer, prepared.floats);
  const DannNodeView* entry = store.Node(meta.entry);
  RETURN_IF_ERROR(store.status());
  if (entry == nullptr) return std::vector<HnswHit>{};
  uint64_t ep = meta.entry;
  for (uint32_t layer = entry->layer_count > 0 ? entry->layer_count - 1 : 0; layer > 0; --layer) {
    ASSIGN_OR_RETURN(auto nearest, SearchLayer(store, ep, 1, layer));
    if (nearest.empty()) break;
    ep = nearest.front().id;
  }
  // Deleted nodes route the search but take no place among its results.
  auto live = [&store](uint64_t id) { return store.Live(id); };
  // The walk starts from the entry point too: every live node is reached
  // from it (vector/hnsw_anchor.h), not always from where the descent lands.
  ASSIGN_OR_RETURN(auto nearest, SearchLayerAdmitting(store, ep, HnswSearchEf(k), 0, live, meta.entry));
  std::vector<HnswHit> hits;
  for (const auto& scored : nearest) {
    if (hits.size() >= k) break;
    const DannNodeView* node = store.Node(scored.id);
    RETURN_IF_ERROR(store.status());
    if (node != nullptr && !node->deleted) hits.push_back(HnswHit{std::string(node->key), scored.distance});
  }
  return hits;
}

}  // namespace pallix
