// The on-disk HNSW graph: a vector index kept as rows of one internal
// collection ("__dann__<collection>__<field>"), written inside the caller's
// write transaction and searched through a read view.
//
// The graph algorithm is the in-memory one (vector/hnsw.h): the very same
// insert (HnswConnect) and layer search (hnsw_search_layer), run over a
// store of rows. It differs in three ways: a node's level is drawn from its
// node id (SplitMix64), so it is the same in every database; removal only
// marks a node deleted and raises a counter; searches read node rows in
// place, while the nodes an insert changes are decoded into a
// per-operation cache, which later reads of those nodes go through, and
// are written back once at the end (flush_dann_nodes). Given the same
// levels, both graphs build the same lists. An operation of many inserts
// (a build's batch) keeps one cache for all of them, which then also keeps
// the nodes they meet (see DannNodeCache).
//
// Callers: the index layer drives inserts and removals from the write path
// and from builds (read meta, dann_insert, flush_dann_nodes, write meta),
// runs the repair after each write (vector/disk_hnsw_repair.h, which adds
// the rows "r" and "d" and drops deleted nodes' rows) and writes the
// codebook row; the query executor calls dann_search.
//
// Rows of the namespace (integers big-endian unless marked LE):
//
//   row key                         value
//   "m"                             meta record
//   "k" + document key              node id, u64 (8 bytes)
//   "n" + node id u64 (9 bytes)     node record
//   "q"                             codebook record
//
// Meta record (written as 22 or 26 bytes; read at 17, 18, 22 or 26):
//   offset  size  field
//   0       1     has_entry (1 when an entry point exists; read as != 0)
//   1       8     entry node id (0 without an entry)
//   9       8     next node id
//   17      1     dimension flag (1: a dimension follows)
//   18      4     dimension, u32           (only when the flag is 1)
//   18|22   4     deleted count, u32
//
// Node record (lengths LE, ids big-endian):
//   size          field
//   1             deleted (0 live; anything else deleted, written as 1)
//   4             key length, u32 LE
//   key length    the document key
//   4             vector length in bytes, u32 LE
//   vector length float32 LE components, or code bytes when the index has
//                 a codebook or a quantization other than none
//   4             layer count, u32 LE (the node's level + 1)
//   per layer from 0 up:
//     4           neighbour count n, u32 LE
//     8 * n       neighbour ids
//   Bytes after the last layer are ignored.
//
// Codebook record ("q", all LE):
//   offset  size                     field
//   0       4                        m
//   4       4                        k
//   8       4                        subspace_dim
//   12      4                        dim (= m * subspace_dim)
//   16      4 * m * k * subspace_dim centroid tables of subspaces 0..m-1,
//                                    k centroids of subspace_dim floats each
//
// Failures: malformed meta or node rows fail with CorruptIndex
// ("malformed meta row in index namespace '<ns>'", "malformed node row for
// id <id> in index namespace '<ns>'"); row errors pass through unchanged.
// A node row named by a link or by the meta row but missing is treated as
// absent, never as an error.
//
// Thread-safety: every call runs inside one transaction on one thread; the
// node cache belongs to one operation. Nothing here locks.

#ifndef PALLIX_VECTOR_DISK_HNSW_H_
#define PALLIX_VECTOR_DISK_HNSW_H_

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/error.h"
#include "base/port.h"
#include "storage/read_view.h"
#include "storage/rows.h"
#include "vector/hnsw.h"
#include "vector/pq.h"
#include "vector/quant.h"

namespace pallix {

// Row keys; stored on disk, never change.
inline constexpr char kDannMetaKey[] = "m";
inline constexpr char kDannKeyPrefix = 'k';
inline constexpr char kDannNodePrefix = 'n';
inline constexpr char kDannCodebookKey[] = "q";

struct DiskHnswMeta {
  bool has_entry = false;
  uint64_t entry = 0;
  uint64_t next = 0;
  std::optional<uint32_t> dim;
  uint32_t deleted = 0;

  // next - deleted, floored at 0: ids handed out less the deleted nodes
  // still held (the ids of nodes the repair dropped count as live here).
  uint64_t live() const { return next > deleted ? next - deleted : 0; }
  bool operator==(const DiskHnswMeta&) const = default;
};

struct DiskHnswNode {
  bool deleted = false;
  std::string key;
  StoredVector stored;
  // layers[l]: the neighbour ids on layer l; the level is layers.size() - 1.
  std::vector<std::vector<uint64_t>> layers;
};

// What the index layer passes to every graph call.
struct DiskHnswParams {
  std::shared_ptr<const PqCodebook> codebook;
  uint32_t m = kHnswM;
  uint32_t m0 = kHnswM0;
  uint32_t ef_construction = kHnswEfConstruction;
  double ml = kHnswLevelMultiplier;
  Metric metric = Metric::kCosine;
  Quantization quant = Quantization::kNone;

  bool has_codebook() const { return codebook != nullptr; }
};

// The nodes one operation has decoded, to change them or through
// load_dann_node (a null pointer records a missing row, so it is read once
// too), and the ids changed since the cache was made.
//
// An operation of many inserts (a build's batch) meets the same nodes again
// and again; reading each from the store every time cost most of a build.
// So the nodes are kept by id in arrays (ids are dense; ids past
// kDenseIds, which only a damaged graph has, in a map), and a row an insert
// reads from the store is copied into `rows`, from where every later insert
// of the same cache reads it. A copy is of
// the row as the transaction holds it; the cache's own nodes take
// precedence over it, and nothing else rewrites a node row while the
// operation runs. rows[id] is empty without a copy, else one byte p, p
// bytes of padding that align the row's vector for the distance kernels,
// and the row. `selfs` keeps dot(v, v) of a node's float vector once a
// cosine distance needed it (the vector of an id never changes).
namespace dann_internal {
class DannStore;
}

// The ids of the nodes an operation changed, for the flush to write back
// in ascending order. An insert marks some sixty lists changed, most of
// them again; a mark by id makes each mark one bit test rather than a
// walk down a tree of thousands of ids.
class DannChangedIds {
 public:
  // Marks id; true when it was not marked.
  bool insert(uint64_t id) {
    if (id >= kDenseIds) return sparse_.insert(id).second;
    if (id >= marks_.size()) marks_.resize(std::max<size_t>(id + 1, marks_.size() * 2));
    if (marks_[id]) return false;
    marks_[id] = true;
    ids_.push_back(id);
    ++count_;
    return true;
  }
  bool contains(uint64_t id) const {
    if (id >= kDenseIds) return sparse_.contains(id);
    return id < marks_.size() && marks_[id];
  }
  void erase(uint64_t id) {
    if (id >= kDenseIds) {
      sparse_.erase(id);
    } else if (id < marks_.size() && marks_[id]) {
      marks_[id] = false;  // its place in ids_ is skipped from now on
      --count_;
    }
  }
  bool empty() const { return count_ == 0 && sparse_.empty(); }
  size_t size() const { return count_ + sparse_.size(); }
  void clear() {
    for (uint64_t id : ids_) marks_[id] = false;
    ids_.clear();
    sparse_.clear();
    count_ = 0;
  }
  // The marked ids, ascending.
  std::vector<uint64_t> Sorted() const {
    std::vector<uint64_t> out;
    out.reserve(size());
    for (uint64_t id : ids_) {
      if (marks_[id]) out.push_back(id);
    }
    std::sort(out.begin(), out.end());
    // An id erased and marked again sits in ids_ twice.
    out.erase(std::unique(out.begin(), out.end()), out.end());
    out.insert(out.end(), sparse_.begin(), sparse_.end());
    return out;
  }

 private:
  static constexpr uint64_t kDenseIds = uint64_t{1} << 26;
  std::vector<uint64_t> ids_;  // every id marked since the last clear, in marking order
  std::vector<bool> marks_;    // by id, below kDenseIds
  size_t count_ = 0;           // ids marked now, below kDenseIds
  std::set<uint64_t> sparse_;  // ids from kDenseIds up (a damaged graph's)
};

struct DannNodeCache {
  static constexpr uint64_t kDenseIds = uint64_t{1} << 26;

  DannNodeCache() = default;
  // few: the cache of one write, which meets a few hundred nodes at most:
  // they are kept in a map, and no row copy or self product is kept by id.
  // Tables by id would cost every write in proportion to the largest id,
  // which grows with every node a graph ever had.
  explicit DannNodeCache(bool few) : few_ids(few) {}
  bool few_ids = false;

  // Inserts made with this cache, and the node table their stores share
  // from the second on (disk_hnsw_internal.h).
  uint64_t inserts = 0;
  std::shared_ptr<void> shared;
  // Ids whose node the cache took in or replaced since the last insert's
  // store was made (every Hold): the shared table follows them.
  std::vector<uint64_t> rebound;

  DannChangedIds changed;
  std::vector<std::string> rows;  // by node id
  size_t copied_bytes = 0;        // held by `rows` (at most about 256 MiB)
  std::vector<float> selfs;       // by node id, where has_self
  std::vector<bool> has_self;

  // The entry of id, made (null) when there was none.
  std::shared_ptr<DiskHnswNode>& Hold(uint64_t id) {
    rebound.push_back(id);
    if (!Dense(id)) return sparse_[id];
    if (id >= held_.size()) {
      const size_t size = std::max<size_t>(id + 1, held_.size() * 2);
      held_.resize(size);
      dense_.resize(size);
    }
    held_[id] = true;
    return dense_[id];
  }
  // The entry of id, or null when there is none.
  std::shared_ptr<DiskHnswNode>* Held(uint64_t id) {
    if (!Dense(id)) {
      auto it = sparse_.find(id);
      return it == sparse_.end() ? nullptr : &it->second;
    }
    return id < held_.size() && held_[id] ? &dense_[id] : nullptr;
  }

  // The node Held(id) names; null when none (or a missing row).
  const DiskHnswNode* HeldNode(uint64_t id) const {
    if (!Dense(id)) {
      auto it = sparse_.find(id);
      return it == sparse_.end() ? nullptr : it->second.get();
    }
    return id < held_.size() && held_[id] ? dense_[id].get() : nullptr;
  }
  // Forgets node id altogether, once the operation deleted its row (the
  // repair dropping a node): its node, any change not written back, its
  // row copy and self product, so that no flush writes the row
  // again and no later insert of this cache meets the node. A shared
  // table drops it when the next insert's store is made (rebound); no
  // store made over the cache may be in use meanwhile.
  void Forget(uint64_t id) {
    rebound.push_back(id);
    changed.erase(id);
    if (!Dense(id)) {
      sparse_.erase(id);
    } else if (id < held_.size()) {
      held_[id] = false;
      dense_[id].reset();
    }
    if (id < rows.size() && !rows[id].empty()) {
      copied_bytes -= std::min(copied_bytes, rows[id].capacity());
      std::string().swap(rows[id]);
    }
    if (id < has_self.size()) has_self[id] = false;
  }
  // Starts loading where Held(id) and the row copy of id are kept; then,
  // once those have arrived, the node or the copy itself.
  void PrefetchSlots(uint64_t id) const {
    if (id < dense_.size()) port::PrefetchLine(&dense_[id]);
    if (id < rows.size()) port::PrefetchLine(&rows[id]);
  }
  void PrefetchNode(uint64_t id) const {
    if (id < held_.size() && held_[id] && dense_[id] != nullptr) {
      port::PrefetchLine(dense_[id].get());
    } else if (id < rows.size() && !rows[id].empty()) {
      port::PrefetchLine(rows[id].data());
    }
  }

 private:
  bool Dense(uint64_t id) const { return !few_ids && id < kDenseIds; }

  std::vector<std::shared_ptr<DiskHnswNode>> dense_;
  std::vector<bool> held_;
  std::unordered_map<uint64_t, std::shared_ptr<DiskHnswNode>> sparse_;
};

// ------------------------------------------------------------ rows

std::string dann_key_row_key(std::string_view key);
std::string dann_node_row_key(uint64_t id);

// Decodes a meta value by the accepted lengths above. Errors: CorruptIndex.
Result<DiskHnswMeta> decode_dann_meta(std::string_view ns, std::string_view bytes);
// 22 bytes without a dimension, 26 with one.
std::string encode_dann_meta(const DiskHnswMeta& meta);
// The meta row; a missing row is the empty meta. Errors: CorruptIndex,
// Storage.
Result<DiskHnswMeta> read_dann_meta(WriteCtx& ctx, std::string_view ns);
Result<DiskHnswMeta> read_dann_meta_ro(const ReadView& view, std::string_view ns);

// Decodes a node value; every length is checked against the bytes left
// before anything is allocated. Errors: CorruptIndex.
Result<DiskHnswNode> decode_dann_node(std::string_view ns, uint64_t id, std::string_view bytes, bool has_codebook,
                                      Quantization quant);
std::string encode_dann_node(const DiskHnswNode& node);

// The codebook value, or none when it does not describe a usable codebook
// (too short, a zero field, k above 256 or below 2, dim != m *
// subspace_dim, or fewer centroid values than m * k * subspace_dim).
std::optional<PqCodebook> decode_dann_codebook(std::string_view bytes);
// Whether bytes decode to exactly codebook (its fields, and its centroid
// values bit for bit), without building a copy: a reader that holds a
// codebook and the stored row can tell whether they are the same one.
bool dann_codebook_is(std::string_view bytes, const PqCodebook& codebook);
std::string encode_dann_codebook(const PqCodebook& codebook);

// The level of node id: floor(-ln(u) * ml), u from SplitMix64 of the id.
uint32_t dann_level(uint64_t id, double ml);

// ------------------------------------------------------------ write side

// The cached node, else its decoded row (then cached); none for a missing
// row. Errors: CorruptIndex, Storage.
Result<std::shared_ptr<const DiskHnswNode>> load_dann_node(WriteCtx& ctx, std::string_view ns, DannNodeCache& cache,
                                                           bool has_codebook, Quantization quant, uint64_t id);

// Inserts or replaces the vector of key. The key row is written at once;
// changed nodes stay in the cache for flush_dann_nodes; meta is updated in
// place for the caller to write. A key whose live node already stores
// exactly this vector (bit for bit in its stored form) is left as it is:
// nothing changes and nothing is written. A vector whose length is not the
// index's dimension removes the key instead and is not inserted. A node
// the insert marked deleted (the key's old one) goes into *removed when
// given, for the repair around it (vector/disk_hnsw_repair.h). The nodes
// that node anchored are anchored anew before the insert changes any list
// (HnswAnchorAround), unless `repair_follows`: the caller repairs around
// the removed node in this same transaction (dann_repair_after_write),
// which sees to them, and till then the removed node still routes to
// them. Errors: CorruptIndex, Storage.
Status dann_insert(WriteCtx& ctx, std::string_view ns, const DiskHnswParams& params, DannNodeCache& cache,
                   DiskHnswMeta& meta, std::string_view key, std::span<const float> vector,
                   std::optional<uint64_t>* removed = nullptr, bool repair_follows = false);

// Takes key's node out ahead of an insert of *vector (null: the key keeps
// no vector): marks it deleted and drops the key row, as dann_insert would,
// unless the node is live and stores exactly this vector, when it stays for
// the insert to keep. An insert that follows then searches a graph this
// node no longer routes through once the repair has passed. *removed as
// for dann_insert. Errors: CorruptIndex, Storage.
Status dann_retire(WriteCtx& ctx, std::string_view ns, const DiskHnswParams& params, DannNodeCache& cache,
                   DiskHnswMeta& meta, std::string_view key, const std::span<const float>* vector,
                   std::optional<uint64_t>* removed = nullptr);

// Writes every changed node row and empties the changed set. Errors: Storage.
Status flush_dann_nodes(WriteCtx& ctx, std::string_view ns, DannNodeCache& cache);

// The whole write-side sequence for one document: read meta, insert, flush,
// write meta (unless the insert left it as it was); *removed as for
// dann_insert. Errors: those of the steps.
Status dann_upsert(WriteCtx& ctx, std::string_view ns, const DiskHnswParams& params, std::string_view key,
                   std::span<const float> vector, std::optional<uint64_t>* removed = nullptr,
                   bool repair_follows = false);

// Marks the key's node deleted, drops its key row and raises the deleted
// count; true when the key had a node. A key row that is not 8 bytes is
// dropped silently (false). The node it marked deleted goes into *removed
// when given. Errors: CorruptIndex (meta), Storage.
Result<bool> dann_remove_key(WriteCtx& ctx, std::string_view ns, bool has_codebook, Quantization quant,
                             std::string_view key, std::optional<uint64_t>* removed = nullptr);

// ------------------------------------------------------------ read side

Result<std::shared_ptr<const DiskHnswNode>> load_dann_node_ro(const ReadView& view, std::string_view ns,
                                                              DannNodeCache& cache, bool has_codebook,
                                                              Quantization quant, uint64_t id);

// The query prepared by the rule of prepare_query for the params' index.
PreparedQuery dann_query_prepare(const DiskHnswParams& params, std::span<const float> query);
// The distance rule of pq_code_distance for the params' index.
float dann_code_distance(const DiskHnswParams& params, QueryRef query, StoredRef stored);

// The (up to) ef nodes nearest to query reachable from entry on `layer`,
// ascending by (distance, id); empty when the entry has no row. Errors:
// CorruptIndex or Storage of a node load.
Result<std::vector<ScoredNode<uint64_t>>> dann_search_layer(const ReadView& view, std::string_view ns,
                                                            const DiskHnswParams& params,
                                                            std::span<const float> query, uint64_t entry,
                                                            uint64_t ef, uint32_t layer);

// Up to k live keys nearest to query, nearest first. Empty when k is 0, the
// index is empty, or the query's length differs from the index's dimension
// or its codebook's. Layer 0 is searched with ef = max(4k, k, 64)
// (saturating): deleted nodes route the search but are never admitted to
// its results, so they cannot starve them and need no wider search. Errors:
// CorruptIndex (meta or node rows), Storage.
Result<std::vector<HnswHit>> dann_search(const ReadView& view, std::string_view ns, const DiskHnswParams& params,
                                         std::span<const float> query, uint64_t k);

}  // namespace pallix

#endif  // PALLIX_VECTOR_DISK_HNSW_H_
