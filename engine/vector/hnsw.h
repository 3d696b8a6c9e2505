// The in-memory HNSW graph (HnswIndex), over the graph search and insert
// that both vector graphs share (vector/hnsw_search.h, vector/hnsw_insert.h).
//
// An in-memory vector index is a hierarchical navigable small-world graph
// over the vectors of one field of one collection. The index layer builds it
// from the collection's rows when the index is first needed, applies every
// committed write to it (hnsw_insert, hnsw_remove_key), and the query
// executor searches it (hnsw_search). It is never persisted and never
// shrinks by itself: a removed or replaced key leaves a tombstoned node
// behind that still routes searches. Searches walk through tombstones but
// give them no place among their results, so they keep the width of a
// graph without any. hnsw_repair (vector/hnsw_repair.h), which the index
// layer runs a bounded step of after every write, links the graph around
// tombstones and drops them; a dropped node's id and storage go to a later
// insert. Rewriting a key with the very vector it has changes nothing.
//
// The graph knows only neighbour links; every distance comes from the rule
// of vector/quant.h through a QueryScorer, so float32, binary, scalar and
// product-quantized storage all use the same code. hnsw_search_layer is
// written against a small store interface (HnswLayerStore, in
// vector/hnsw_search.h), and the insert (HnswConnect: descent, layer
// searches, neighbour selection and widening, linking back and pruning)
// against its extension (HnswInsertStore, vector/hnsw_insert.h), so that the on-disk graph runs
// the same search and the same insert over its node rows: each rule exists
// once.
//
// Ordering: every ordering of (distance, node id) pairs compares distances
// by the IEEE total order of float32 (-0.0 before +0.0, NaN after +inf) and
// equal distances by node id ascending.
//
// Thread-safety: an HnswIndex is not synchronised. Insert and remove mutate
// it (including the insert path's visited stamps); searches only read it and
// keep their visited sets private. The index layer serialises every call
// under its "index lock".

#ifndef PALLIX_VECTOR_HNSW_H_
#define PALLIX_VECTOR_HNSW_H_

#include <algorithm>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/numeric.h"
#include "base/siphash.h"
#include "vector/hnsw_heap.h"
#include "vector/hnsw_insert.h"
#include "vector/pq.h"
#include "vector/quant.h"

namespace pallix {

// ---------------------------------------------------------------------------
// The in-memory graph.

struct HnswHit {
  std::string key;  // an owned copy: results outlive later writes
  float distance;
};

class HnswIndex;

namespace hnsw_internal {
struct KeyArena;
struct VisitedPool;
struct RepairState;
struct InsertMark {
  uint32_t visit;
  uint32_t insert;
  float distance;
};
// hnsw_insert with the new node's level given instead of drawn (none: drawn
// as hnsw_insert draws it), for tests that compare the graph with the
// on-disk one, whose levels come from node ids.
void InsertAtLevel(HnswIndex& graph, std::string_view key, std::span<const float> vector,
                   std::optional<uint32_t> level);
// Node id's place in the order nodes were made (the anchors' order,
// vector/hnsw_anchor.h); for tests.
uint64_t Born(const HnswIndex& graph, uint64_t id);
// Whether the live node of key stores exactly `bytes` (its stored form).
bool Holds(const HnswIndex& graph, std::string_view key, std::span<const uint8_t> bytes);
// Begins a layer search on visited stamps: grows them with zeros to `nodes`
// and moves to the next epoch; when the epoch would wrap, every stamp is
// cleared and the epoch restarts at 1, so no stale stamp reads as visited.
void StartEpoch(std::vector<uint32_t>& stamps, uint32_t& epoch, size_t nodes);
}  // namespace hnsw_internal

class HnswIndex {
 public:
  // An empty graph. With a codebook the nodes hold product-quantization
  // codes and `quant` is not used for storage.
  HnswIndex(Metric metric, Quantization quant, std::shared_ptr<const PqCodebook> codebook = nullptr);
  ~HnswIndex();
  HnswIndex(HnswIndex&&) noexcept;
  HnswIndex& operator=(HnswIndex&&) noexcept;
  HnswIndex(const HnswIndex&) = delete;
  HnswIndex& operator=(const HnswIndex&) = delete;

  Metric metric() const { return metric_; }
  Quantization quant() const { return quant_; }
  const std::shared_ptr<const PqCodebook>& codebook() const { return codebook_; }
  // The vector length, fixed by the first insert; none while unset.
  std::optional<uint64_t> dim() const { return dim_; }
  // The node ids in use: 0 .. n-1, each a live node, a tombstone, or
  // dropped by the repair (present() false) until an insert takes it again.
  size_t node_count() const { return node_count_; }
  // Keys with a live node.
  size_t live_count() const { return key_map_.size(); }
  // Bytes of key storage held, live keys and those not yet reclaimed.
  size_t key_bytes_held() const;
  // Nodes of removed keys not dropped yet.
  size_t tombstone_count() const;
  // Whether id (< node_count()) holds a node: false once dropped.
  bool present(uint64_t id) const;
  // The entry point; none while the graph is empty.
  std::optional<uint64_t> entry() const { return entry_; }

  // Introspection of node `id` (< node_count()).
  uint32_t level(uint64_t id) const;
  std::span<const uint32_t> neighbours(uint64_t id, uint32_t layer) const;  // empty above its level
  std::optional<std::string_view> key(uint64_t id) const;                   // none once tombstoned
  StoredRef stored(uint64_t id) const;
  // The node id of a live key, or none.
  std::optional<uint64_t> find(std::string_view key) const;

 private:
  friend void hnsw_insert(HnswIndex& graph, std::string_view key, std::span<const float> vector);
  friend void hnsw_internal::InsertAtLevel(HnswIndex& graph, std::string_view key, std::span<const float> vector,
                                           std::optional<uint32_t> level);
  friend void hnsw_remove_key(HnswIndex& graph, std::string_view key);
  friend uint64_t hnsw_internal::Born(const HnswIndex& graph, uint64_t id);
  friend bool hnsw_holds(const HnswIndex& graph, std::string_view key, std::span<const float> vector);
  friend bool hnsw_internal::Holds(const HnswIndex& graph, std::string_view key, std::span<const uint8_t> bytes);

// Whether the live node of `key` stores exactly `vector`, as hnsw_insert
// compares it (an insert of it would leave the node as it is).
bool hnsw_holds(const HnswIndex& graph, std::string_view key, std::span<const float> vector);
  friend std::vector<HnswHit> hnsw_search(const HnswIndex& graph, std::span<const float> query, uint64_t k);
  friend class HnswMemoryStore;
  friend class HnswMemoryInsertStore;
  friend class HnswMemoryRepair;

  struct KeySlot {
    const char* data;
    uint32_t size;
    bool live;
  };
  // The count and ids of one neighbour list inside the graph's storage.
  struct LinkList {
    uint32_t* count;
    uint32_t* ids;
  };

  void FixDimension(size_t dim);
  uint32_t DrawLevel();
  uint32_t AppendNode(uint32_t level, std::span<const uint8_t> stored);
  void Connect(uint32_t id, uint32_t level, const PreparedQuery& query);
  // Node id's own stored vector as a query (viewing it or `scratch`).
  QueryRef OwnQuery(uint32_t id, std::vector<float>& scratch) const;
  // out[i] = the distance from node `from`'s own stored vector, as a query,
  // to node ids[i]: the rule pruning measures by, for the insert's store and
  // the repair alike.
  void ScoreFrom(uint32_t from, const uint32_t* ids, size_t n, float* out);
  // The same by the dot product (minus it, as a "dot" graph's searches
  // rank): what the hub places of its lists are chosen by.
  void ScoreDotFrom(uint32_t from, const uint32_t* ids, size_t n, float* out);
  void AddKey(uint32_t id, std::string_view key);
  void MaybeCompactKeys();
  // For the repair (vector/hnsw_repair.cc): replaces node id's list on
  // `layer` (at most its cap); frees the upper lists of a dropped node.
  void SetNeighbours(uint32_t id, uint32_t layer, std::span<const uint32_t> ids);
  // How many leading ids of node id's list on `layer` a neighbour
  // selection kept (SelectedPrefix of HnswInsertStore), and setting it:
  // on layer 0 any count, above it the whole list or nothing.
  size_t SelectedPrefix(uint32_t id, uint32_t layer) const;
  void SetSelectedPrefix(uint32_t id, uint32_t layer, size_t n);
  void FreeUpperLists(uint32_t id);

  // out[i] = scorer's distance to node ids[i].
  void ScoreNodes(QueryScorer& scorer, const uint32_t* ids, size_t n, float* out) const;
  std::byte* Block(uint32_t id) const;
  LinkList Links(uint32_t id, uint32_t layer) const;
  void PrefetchLinks(uint32_t id, uint32_t layer) const;
  const std::byte* StoredBytes(uint32_t id) const { return Block(id) + stored_offset_; }

  Metric metric_;
  Quantization quant_;
  std::shared_ptr<const PqCodebook> codebook_;
  uint64_t rng_ = kHnswSeed;
  std::optional<uint64_t> dim_;
  std::optional<uint32_t> entry_;
  uint32_t node_count_ = 0;
  // By node id, the order its node was made in (ids are reused, births
  // never): the order anchors follow (vector/hnsw_anchor.h).
  std::vector<uint64_t> births_;
  uint64_t next_birth_ = 0;

  // Node storage. Each node has one fixed-size block: its layer-0 list, its
  // level, where its upper lists live, and its stored vector. Blocks sit in
  // chunks that double in size (chunk 0 holds kFirstChunkNodes, chunk i > 0
  // holds kFirstChunkNodes << (i - 1)), so growing never moves a node and
  // untouched capacity is never backed by memory.
  //   offset         size            field
  //   0              4               layer-0 neighbour count
  //   4              1               level
  //   5              1               how many leading ids of the layer-0
  //                                  list a neighbour selection kept
  //                                  (SelectedPrefix)
  //   6              2               bit l (l > 0) set: the whole list on
  //                                  layer l is what a selection kept
  //   8              4               upper slot (index into upper_), level > 0
  //   16             4 * m0          layer-0 neighbour ids
  //   16 + 4 * m0    stored_bytes_   stored vector (float32 or code bytes)
  //   then           4               dot(v, v), float nodes of a cosine graph
  //                                  only: computed once at insert by the
  //                                  kernel every distance uses, it sits
  //                                  beside the vector so that scoring a
  //                                  node reads no other cache line
  bool stores_f32_ = true;
  bool caches_self_ = false;
  size_t stored_bytes_ = 0;
  size_t stored_offset_ = 0;
  size_t scored_bytes_ = 0;  // what a distance reads: the vector, and dot(v, v) when kept
  size_t block_bytes_ = 0;
  // Node blocks live in chunks; those of 2 MiB and more are mapped in huge
  // pages (port::MapHugePages): an insert or search reads a few blocks at
  // random all over them, and with pages of 4 KiB nearly every block read
  // missed the address cache too.
  struct ChunkUnmap {
    size_t bytes = 0;
    void operator()(std::byte* chunk) const;
  };
  std::vector<std::unique_ptr<std::byte[], ChunkUnmap>> chunks_;
  // Lists of layers 1 .. level of the nodes that have them: per layer a
  // count followed by m ids.
  std::vector<std::unique_ptr<uint32_t[]>> upper_;

  // Keys: bytes in an arena, one slot per node id, and a map of the live
  // keys to their node ids (a keyed hash with a random seed, so that chosen
  // keys cannot degrade it).
  std::vector<KeySlot> key_slots_;
  std::unique_ptr<hnsw_internal::KeyArena> arena_;
  std::unordered_map<std::string_view, uint32_t, SeededHash> key_map_;
  size_t live_key_bytes_ = 0;  // bytes of the keys in key_map_

  // The insert path's marks, one per node: its visited stamp, and its
  // distance from the node being linked, kept for the whole insert (where
  // the mark's insert number is insert_epoch_), so that a node the
  // upper-layer, layer-0 and widening searches all meet is scored once.
  // Searches draw their stamps from the pool.
  std::vector<hnsw_internal::InsertMark> insert_marks_;
  uint32_t visit_epoch_ = 0;
  uint32_t insert_epoch_ = 0;
  // Decoding space of the insert path's own-vector queries.
  std::vector<float> own_scratch_;
  std::unique_ptr<hnsw_internal::VisitedPool> search_visited_;
  // Where the repair around tombstones stands, and the dropped ids.
  std::unique_ptr<hnsw_internal::RepairState> repair_;
  // The links the insert under way pruned away, for the repair to keep
  // their nodes linked (hnsw_internal::RepairNewNode).
  std::vector<HnswUnlinked<uint32_t>> unlinked_;
};

// Inserts or replaces the vector of `key`. A live key whose node already
// stores exactly this vector (bit for bit as the graph stores it: the
// float32 components, or the codes of a quantized graph) is left as it is,
// so that rewriting a document without touching its vector leaves no
// tombstone. Otherwise the key's old node is tombstoned first; a vector
// whose length differs from the graph's dimension is then dropped (so the
// key is no longer found). Never fails.
void hnsw_insert(HnswIndex& graph, std::string_view key, std::span<const float> vector);

// Tombstones the key's node and forgets the key; an absent key changes
// nothing.
void hnsw_remove_key(HnswIndex& graph, std::string_view key);

// Up to k live keys nearest to `query`, nearest first (ties by node id, that
// is insertion order). Empty when k is 0, the graph is empty or the query's
// length is not the graph's dimension. The layer-0 search walks through
// tombstones but admits only live nodes to its ef = max(4k, k, 64)
// (saturating) results, so its width does not depend on how many keys were
// removed; memory grows with the nodes reached, not with k.
std::vector<HnswHit> hnsw_search(const HnswIndex& graph, std::span<const float> query, uint64_t k);

}  // namespace pallix

#endif  // PALLIX_VECTOR_HNSW_H_
