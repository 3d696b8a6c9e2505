// Node rows read in place, and the store of hnsw_search_layer over them,
// shared by the write side (rows read through a WriteCtx, with the nodes
// an operation changed taking precedence) and the read side (through a
// ReadView). Private to disk_hnsw.cc and its test.
//
// A layer search visits thousands of nodes and needs of each only its
// vector and one neighbour list, mostly once. Decoding every row into owned
// strings and vectors made allocation and copying the bulk of a search;
// here a row is parsed once into views over its stored bytes, which stay
// valid and unchanged until the transaction ends or next writes (no store
// outlives a write). Neighbour ids are decoded from their big-endian bytes
// as they are read; float vectors are scored in place when the host is
// little-endian and the bytes are aligned for floats, else from a copy in
// reused scratch space.
//
// Thread-safety: a DannStore belongs to one operation on one thread; the
// tables a query's store borrows come from a pool any thread may use.

#ifndef PALLIX_VECTOR_DISK_HNSW_INTERNAL_H_
#define PALLIX_VECTOR_DISK_HNSW_INTERNAL_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/coding.h"
#include "base/error.h"
#include "base/page_allocator.h"
#include "base/port.h"
#include "storage/read_view.h"
#include "storage/rows.h"
#include "vector/disk_hnsw.h"
#include "vector/hnsw.h"
#include "vector/quant.h"

namespace pallix::dann_internal {

// One neighbour list: ids as stored (8 big-endian bytes each) or as a
// changed node holds them. A sized range indexable by position, as
// hnsw_search_layer walks it.
class DannLinks {
 public:
  DannLinks() = default;
  DannLinks(const char* stored_ids, uint32_t count) : stored_(stored_ids), count_(count) {}
  explicit DannLinks(std::span<const uint64_t> ids)
      : native_(ids.data()), count_(static_cast<uint32_t>(ids.size())) {}

  size_t size() const { return count_; }
  uint64_t operator[](size_t i) const {
    return native_ != nullptr ? native_[i] : DecodeFixed64BE(stored_ + i * 8);
  }

 private:
  const char* stored_ = nullptr;
  const uint64_t* native_ = nullptr;
  uint32_t count_ = 0;
};

// A node record (layout in disk_hnsw.h) as views into its bytes.
struct DannNodeView {
  bool deleted = false;
  std::string_view key;
  std::string_view stored;       // the vector's bytes
  const char* layers = nullptr;  // layer 0's neighbour count
  uint32_t layer_count = 0;
  // Where layer 1's position sits in the parse's `upper` list, when one
  // was given.
  uint32_t upper = 0;

  // The neighbour list of `layer`; empty above the node's level. Walks the
  // lower layers' lists to find it.
  DannLinks Links(uint32_t layer) const;
};

// The error of a node row that does not parse.
EngineError MalformedDannNode(std::string_view ns, uint64_t id);

// Parses a node record; false when a length runs past the end (bytes after
// the last layer are ignored). Every count is checked against the bytes
// left, so a parsed view is safe to walk without further checks. With
// `upper`, the position of each layer above 0 is appended to it, so that a
// damaged row claiming many thousands of layers still costs one walk.
[[nodiscard]] bool ParseDannNode(std::string_view bytes, DannNodeView& out,
                                 std::vector<const char*>* upper = nullptr);

// Where the node rows of one namespace sit in the store's map, as read by
// earlier searches, for as long as the snapshot stays the newest commit
// (SnapshotTag): then every row is where it was, and a search finds the
// rows it met before without descending the B-tree again. A new commit, a
// store reopened or a map that grew empties the table on the next search.
// The tables go with the slot tables a query's store borrows (DannStore's
// pool), one store at a time, so searches never wait on each other.
class RowLocations {
 public:
  // The remembered row of node id; empty when none.
  std::string_view Find(uint64_t id) const;
  // Starts loading where the row of node id is remembered.
  void PrefetchFind(uint64_t id) const {
    if (id < rows_.size()) port::PrefetchLine(&rows_[id]);
  }
  // Remembers the row of node id, read in the table's snapshot.
  void Remember(uint64_t id, std::string_view row);
  // The self product dot(v, v) of the float vector in node id's remembered
  // row, when remembered.
  bool FindSelf(uint64_t id, float& self) const {
    if (id >= rows_.size() || rows_[id].has_self == 0) return false;
    self = rows_[id].self;
    return true;
  }
  // Remembers it beside the row, when the row is remembered: the vector of
  // a row never changes within a snapshot, and a cosine search scores the
  // same node query after query.
  void RememberSelf(uint64_t id, float self) {
    if (id >= rows_.size() || rows_[id].data == nullptr) return;
    rows_[id].self = self;
    rows_[id].has_self = 1;
  }

 private:
  friend class RowLocationTables;
  // 16 bytes, as the place and size alone took with their padding.
  struct Location {
    const char* data = nullptr;
    uint32_t size : 31 = 0;
    uint32_t has_self : 1 = 0;
    float self = 0.0f;
  };
  static_assert(sizeof(Location) == 16);
  std::string ns_;
  SnapshotTag tag_;
  uint64_t last_use_ = 0;
  PagedVector<Location> rows_;  // by node id (ids are dense)
};

// The row locations of the last few namespaces searched with one set of
// borrowed tables: enough for a query that alternates two graphs, small
// beside the graphs.
class RowLocationTables {
 public:
  // The table of ns, emptied when it was filled under another snapshot;
  // null when the tag names no read snapshot.
  RowLocations* For(std::string_view ns, const SnapshotTag& tag);
  // The room of the tables, in bytes.
  size_t Bytes() const;

 private:
  std::array<RowLocations, 2> tables_;
  uint64_t clock_ = 0;
};

// The store of hnsw_search_layer for one prepared query. Nodes are looked
// up once per store and kept in an open-addressing table keyed by node id,
// which also holds the visited mark of the current layer search (an epoch
// number), so a neighbour already seen costs one probe.
//
// A node without a row is never visited: Visit reports it as seen, so it
// takes no place among candidates or results and its (missing) list is
// never walked. The first load failure (a storage error, a row that does
// not parse) is kept; ok() then turns false and the layer search stops.
class DannStore {
 public:
  using Id = uint64_t;

  // Over the rows of a read view; `metric` is the scorer's.
  DannStore(const ReadView& view, std::string_view ns, bool as_codes, Metric metric, QueryScorer& scorer,
            std::span<const float> query);
  // Over the rows of a write transaction, where the nodes of `cache`
  // (changed, not yet written back) take precedence over their rows: the
  // store of an insert (HnswInsertStore), which changes nodes through the
  // cache. A node it changes is decoded into the cache from the row it
  // already read (or taken from the cache) and marked changed; the store
  // reads it there from then on. Rows are viewed in place, so the store
  // must not be used after the transaction writes.
  DannStore(WriteCtx& ctx, DannNodeCache& cache, std::string_view ns, const DiskHnswParams& params,
            QueryScorer& scorer, std::span<const float> query);
  ~DannStore();
  DannStore(const DannStore&) = delete;
  DannStore& operator=(const DannStore&) = delete;

  // A hint, before the store meets its first node, that it meets a few
  // hundred at most (a repair step's store): its own table starts at a
  // size for those, not at one for a search's thousands.
  void ExpectFewNodes() { first_slots_ = 512; }

  void StartVisits() { ++epoch_; }
  // Notes a node not seen yet; its row is read with the other nodes noted
  // when the first of them is needed, in one batch (in a write
  // transaction at once, and its bytes prefetched). The search calls this
  // for a whole neighbour list first, so that the rows' memory loads
  // overlap.
  void PrefetchVisit(Id id);
  // A hint that Neighbours(id, layer) follows: starts loading the node's
  // entry when the store has met it.
  void PrefetchNeighbours(Id id, uint32_t layer);
  bool Visit(Id id) {
    Slot* slot = Resolve(id);
    if (slot == nullptr || slot->epoch == epoch_) return false;
    slot->epoch = epoch_;
    return true;
  }
  // Distances from an insert's query are kept in the node's slot: the
  // searches of one insert meet the same nodes on every layer, and
  // widening walks nodes its search already scored. Scoring again gives
  // the very same value, so a kept one changes nothing. A query's search
  // scores each node once (a layer's entry aside), so a query's store
  // keeps only what Distance scores, not a batch's distances, whose slots
  // the batch's vectors have pushed out of the cache by then.
  float Distance(Id id);
  void DistanceBatch(const Id* ids, size_t n, float* out) {
    ScoreBatch(scorer_, query_.size(), ids, n, out, /*remember=*/view_ == nullptr);
  }
  DannLinks Neighbours(Id id, uint32_t layer);
  bool ok() const { return status_.has_value(); }
  Status status() const { return status_; }

  // The node, or null when it has no row or a load failed. Valid until the
  // next call that loads a node.
  const DannNodeView* Node(Id id);
  // Whether node id has a row not marked deleted (false when a load
  // failed): Node(id) && !Node(id)->deleted, from the node's slot in a
  // query's store.
  bool Live(Id id) {
    Slot* slot = Resolve(id);
    if (slot == nullptr) return false;
    return view_ != nullptr ? slot->live != 0 : !(*nodes_)[slot->node].view.deleted;
  }
  // The distance from another query's scorer to node id; +inf when it has
  // no row or a load failed.
  float ScoreWith(QueryScorer& scorer, Id id);
  // Node id's stored vector, viewing its row, the node of the cache or
  // `scratch`; an empty F32 vector when it has no row or a load failed.
  StoredRef StoredOf(Id id, std::vector<float>& scratch);

  // The insert's side (a store over a write transaction only). Pruning
  // measures from a node's own stored vector by NeighbourQuery; a node
  // without a row is near nothing.
  void ScoreFrom(Id from, const Id* ids, size_t n, float* out);
  // The same by the dot product (minus it): the hub places of a "dot"
  // graph's lists (HnswLinksHubs).
  void ScoreDotFrom(Id from, const Id* ids, size_t n, float* out);
  bool LinksHubs() const { return params_ != nullptr && params_->metric == Metric::kDot; }
  bool HasLayer(Id id, uint32_t layer) {
    const DannNodeView* node = Node(id);
    return node != nullptr && layer < node->layer_count;
  }
  void SetLinks(Id id, uint32_t layer, const Id* ids, size_t n);
  void AppendLink(Id id, uint32_t layer, Id v);
  // The links an insert's pruning took away (HnswAddLink), kept for
  // HnswKeepLinked once the insert's linking is done.
  void Unlinked(Id from, uint32_t layer, Id id) { unlinked_.push_back({layer, id, from}); }
  std::vector<HnswUnlinked<Id>> TakeUnlinked() { return std::exchange(unlinked_, {}); }

  // The tables query stores borrow: how many sets exist, how many of those
  // the pool keeps for later queries and their room in bytes. Between
  // queries every set is the pool's: no thread keeps one.
  struct KeptTables {
    size_t readers = 0;
    size_t pooled_readers = 0;
    size_t pooled_bytes = 0;
  };
  static KeptTables Kept();
  // For tests: frees every set of tables the pool keeps, so that the next
  // query's store starts on new ones.
  static void EmptyPoolForTesting();

 private:
  // ScoreFrom and ScoreDotFrom: by the dot product, or by the graph's link
  // distance.
  void ScoreFromBy(Id from, bool by_dot, const Id* ids, size_t n, float* out);
  static constexpr uint32_t kUnused = UINT32_MAX;
  static constexpr uint32_t kMissing = UINT32_MAX - 1;
  // Hinted by PrefetchVisit, its row not read yet: read with the others
  // pending once one of them is needed.
  static constexpr uint32_t kPending = UINT32_MAX - 2;
  // Its batched read failed: read again alone when needed, so that the
  // failure surfaces where the search meets it.
  static constexpr uint32_t kRetry = UINT32_MAX - 3;

 public:
  // What a layer search reads of a node it meets sits here, beside its
  // visited mark, so that meeting and scoring a node met before reads one
  // slot and the vector: not its entry, nor the node of the cache behind
  // it.
  // 32 bytes, so that no slot straddles two cache lines; a store's own
  // table keeps the ids apart (OwnTable::ids), a shared one is indexed by
  // id.
  struct alignas(32) Slot {
    // The node's float vector, exactly dim long and scored where it lies
    // (the cache's node, a row copy, or a row this store read); null until
    // a batch scored it. Reset whenever the slot's entry or that entry's
    // node changes.
    const float* vec = nullptr;
    uint32_t node = kUnused;  // index into the entries, kMissing (no row) or kUnused
    uint32_t epoch = 0;       // the layer search that last visited it
    uint32_t store = 0;       // the store that last used it (OwnTable::serial, Shared::stores)
    float self = 0.0f;        // dot(v, v) of its float vector, where has_self
    float distance = 0.0f;    // from this store's query, where scored
    uint8_t lasting : 1 = 0;   // its entry is lasting (Entry::lasting)
    uint8_t parsed : 1 = 0;    // its entry is parsed (Entry::parsed)
    uint8_t has_self : 1 = 0;
    uint8_t scored : 1 = 0;    // distance holds this store's distance
    // A query's store: its parsed row is not marked deleted. The search
    // asks for each node it admits, whose entry a kept slot never loads
    // otherwise.
    uint8_t live : 1 = 0;
  };
  struct Entry {
    // Its layer-0 list, once Neighbours found it, where links0_known: the
    // search asks for it once per candidate, and an owned node's list
    // lies three loads further, each waiting on the one before. Forgotten
    // whenever the node of the cache, or its lists, may have changed.
    DannLinks links0;
    bool links0_known = false;
    std::string_view row;                 // the stored bytes, until parsed
    DannNodeView view;                    // once parsed
    const DiskHnswNode* owned = nullptr;  // a node of the cache, instead of a row
    bool parsed = false;
    // Outlives the store: a node of the cache or a row copied into it
    // (else the row is viewed where the transaction keeps it, which a
    // later write may move).
    bool lasting = false;
  };
  // What the stores of one cache's inserts share (DannNodeCache::shared):
  // slots by node id, whose lasting entries later stores take over without
  // looking the node up again.
  static_assert(sizeof(Slot) == 32);
  struct Shared {
    PagedVector<Slot> slots;  // by node id, below DannStore::dense_ids_
    PagedVector<Entry> entries;
    std::vector<const char*> upper;
    uint32_t stores = 0;
    // A query's tables: the stores from this serial on read the same
    // snapshot of one namespace, so the entries and slots they left stay
    // valid (DannStore::keep_rows_); UINT32_MAX when none are kept.
    uint32_t kept_from = UINT32_MAX;
    // A serial for the next store to use these slots; when the stamps
    // wrap, no slot may look taken by the new serial.
    uint32_t NextStore() {
      if (stores == UINT32_MAX) {
        for (Slot& slot : slots) slot.store = 0;
        stores = 0;
      }
      return ++stores;
    }
  };

 private:

  // Acts on the hints of PrefetchVisit not acted on yet, in their order:
  // TakeHint each.
  void TakeHints();
  // Starts loading what scoring node id reads, when met before; else notes
  // it pending, to be read with the others.
  void TakeHint(Id id);
  // The slot of id, its row read on first sight and parsed; null when it
  // has no row or the store failed. A search meets a node it has resolved
  // again and again, most often in a shared table: that case is a bounds
  // test and one load, inline.
  // A query's store meets most nodes several times too (hinted, visited,
  // scored, admitted), in its own table: one probe, inline, there.
  Slot* Resolve(Id id) {
    if (hints_.empty() && ok()) {
      Slot* slot = nullptr;
      if (shared_ != nullptr && id < dense_ids_) {
        if (id < shared_->slots.size() && shared_->slots[id].store == serial_) slot = &shared_->slots[id];
      } else {
        slot = OwnSlot(id);
      }
      if (slot != nullptr && slot->node < kRetry && slot->parsed != 0) return slot;
    }
    return ResolveSlow(id);
  }
  // A store's own table of slots, open addressing by SlotOf. A slot is the
  // store's when stamped with its serial (Slot::store) and taken (node not
  // kUnused); any other is free. So the next store reuses a table without
  // clearing it: a slot is cleared when taken. A query's store borrows one
  // from the pool (Reader).
  struct OwnTable {
    PagedVector<Slot> slots;
    PagedVector<uint64_t> ids;  // the id of each slot taken
    uint32_t serial = 0;        // the stamp of the store using it
  };
  // The tables a query's store borrows from the pool (ReaderPool) for its
  // life: the entries and upper layers that serve the store (emptied,
  // their room kept, unless they were read in the store's own snapshot
  // and namespace: keep_rows_); an own table; and, where by_id_lookup, a table of
  // slots by node id (shared_) for the ids below kReadDenseIds, as an
  // insert's stores share one (the own table then holds only the ids past
  // those), and the row locations of recent searches.
  struct Reader {
    Shared by_id;
    OwnTable hashed;
    RowLocationTables locations;
    // What the kept entries were read from (Shared::kept_from).
    std::string kept_ns;
    SnapshotTag kept_tag;
    bool by_id_lookup = false;
    size_t pooled_bytes = 0;  // Bytes() when given back to the pool
    size_t Bytes() const;
  };
  class ReaderPool;
  // A set of the pool's tables, lent for a query store's life, and given
  // back (disk_hnsw_pool.cc).
  static std::unique_ptr<Reader> TakeReader();
  static void GiveReader(std::unique_ptr<Reader> reader);
  bool OwnFree(const Slot& slot) const { return slot.store != table_->serial || slot.node == kUnused; }
  // Fibonacci hashing: node ids are mostly consecutive integers, which the
  // multiplication spreads over the table.
  static size_t SlotOf(uint64_t id, size_t mask) {
    const uint64_t h = id * 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(h ^ (h >> 32)) & mask;
  }
  // The slot of id in the store's own table; null when it has none.
  Slot* OwnSlot(Id id) {
    PagedVector<Slot>& slots = table_->slots;
    if (slots.empty()) return nullptr;
    const size_t mask = slots.size() - 1;
    for (size_t i = SlotOf(id, mask);; i = (i + 1) & mask) {
      if (OwnFree(slots[i])) return nullptr;
      if (table_->ids[i] == id) return &slots[i];
    }
  }
  // Stamps the own table for this store: every slot of it is free.
  void StartOwnTable();
  Slot* ResolveSlow(Id id);
  Entry* Find(Id id);
  // The slot id has or would take (unused then).
  Slot& Probe(Id id) {
    if (shared_ != nullptr && id < dense_ids_ && id < shared_->slots.size()) {
      Slot& slot = shared_->slots[id];
      if (slot.store == serial_) return slot;
    }
    return ProbeSlow(id);
  }
  Slot& ProbeSlow(Id id);
  // Reads the row of id (or takes the cache's node): its entry's index, or
  // kMissing for no row or a failure (then kept in status_).
  uint32_t Fetch(Id id);
  Result<bool> GetRow(Id id, std::string_view& row) const;
  // Reads the rows of every pending node in one batch.
  void FetchPending();
  // Copies node id's row into the cache (DannNodeCache::rows); the copy.
  std::string_view CopyRow(Id id, std::string_view row);
  // The entry index of a row read: taken from the cache when it holds the
  // node, else the row's bytes (unparsed).
  uint32_t AddRow(std::string_view row);
  // The same for a row copied into the cache, which outlives the store.
  uint32_t AddLastingRow(std::string_view row);
  // Starts loading every line of bytes at p, ahead of scoring them.
  void AskForLines(const char* p, size_t bytes) const;
  // Makes a slot of the shared table this store's: a lasting entry stays
  // (following the cache if it now holds the node), anything else is
  // forgotten.
  void TakeOver(Id id, Slot& slot);
  // Points the slot at entry `node` (or kMissing, kRetry, kPending): its
  // marks follow that entry, and no vector is known yet.
  void Bind(Slot& slot, uint32_t node);
  // Parses the entry's row; status_ keeps the failure when it does not.
  void Parse(Id id, Entry& entry);
  void Grow();
  // The float32 bytes as native floats: in place when the host is
  // little-endian and the bytes are aligned, else copied into scratch
  // (room for bytes.size() / 4 floats).
  static const float* Floats(std::string_view bytes, float* scratch);
  // The entry's vector for FloatBatch (copied into scratch when it must
  // be); null when it is not exactly dim floats long.
  static const float* BatchVector(const Entry& entry, size_t dim, float* scratch);
  // The entry's vector as the distance rule reads it.
  StoredRef Stored(const Entry& entry, std::vector<float>& scratch) const;
  // out[i] = scorer's distance to node ids[i], float vectors of length dim
  // scored several at a time; with `remember` (scorer is this store's),
  // distances kept in the slots are taken and new ones kept.
  void ScoreBatch(QueryScorer& scorer, size_t dim, const Id* ids, size_t n, float* out, bool remember);
  // dot(v, v) of node id's float vector v (dim long), kept in the cache
  // (an insert's store) or beside the row's location (a query's).
  float SelfOf(Id id, const float* v, size_t dim);
  // Node id's list on `layer` in the cache, made private to it and marked
  // changed; null when it has no row or no such layer.
  std::vector<uint64_t>* MutableLinks(Id id, uint32_t layer);

  const ReadView* view_ = nullptr;
  RowLocations* locations_ = nullptr;  // with view_: rows met by earlier searches
  // A query's store scoring float vectors by cosine with locations_: each
  // vector's self product is remembered beside its row, so that later
  // queries of the snapshot take one product per vector, not two.
  bool query_selfs_ = false;
  // A query's store by id with locations_ (keeping_): the rows it parses
  // stay parsed (lasting entries) for the next stores of the same snapshot
  // and namespace, which take over the slots without looking a node up,
  // parsing its row or finding its vector again (keep_rows_, while the
  // kept rows are few enough). A store that keeps no more drops the
  // entries it added (past kept_entries_ and kept_upper_) when it ends.
  bool keeping_ = false;
  bool keep_rows_ = false;
  size_t kept_entries_ = 0;
  size_t kept_upper_ = 0;
  WriteCtx* ctx_ = nullptr;
  DannNodeCache* cache_ = nullptr;
  const DiskHnswParams* params_ = nullptr;
  std::string_view ns_;
  bool as_codes_;
  QueryScorer& scorer_;
  std::span<const float> query_;
  OwnTable private_table_;
  OwnTable* table_ = &private_table_;  // private_table_ or the borrowed one (a query's store)
  size_t used_ = 0;                  // slots of the own table this store took
  PagedVector<Entry> own_entries_;
  std::vector<const char*> own_upper_;
  // The entries and the upper layers of every parsed row: this store's own,
  // or those of the cache's shared table.
  PagedVector<Entry>* nodes_ = &own_entries_;
  std::vector<const char*>* upper_ = &own_upper_;
  Shared* shared_ = nullptr;
  uint32_t serial_ = 0;  // this store's number in the shared table
  uint64_t dense_ids_ = DannNodeCache::kDenseIds;  // ids by id in the shared table
  std::unique_ptr<Reader> reader_;  // borrowed from the pool (a query's store)
  std::vector<uint64_t> hints_;     // ids hinted by PrefetchVisit, TakeHint not run yet
  std::vector<uint64_t> pending_;   // ids of kPending slots, in hint order
  std::string pending_keys_;        // their row keys, for the batched read
  std::vector<std::string_view> pending_views_;
  std::vector<uint32_t> pending_found_;
  std::vector<float> single_;       // one vector copied for ScoreWith
  std::vector<float> batch_;        // vectors copied for ScoreBatch
  std::vector<float> own_;          // a pruned node's vector copied for ScoreFrom
  std::vector<float> own_decoded_;  // its scalar codes decoded, as ScoreFrom's query
  std::vector<HnswUnlinked<Id>> unlinked_;
  uint32_t epoch_ = 1;
  uint64_t moves_ = 0;  // how often a table this store uses moved its slots
  size_t first_slots_ = 0;  // the own table's first size (a power of two); 0: a search's
  Status status_;
};

// The query a node's own stored vector gives when its list is pruned:
// without a codebook its stored form as a query; with one, its decoded
// codes prepared as a query (a distance table under l2). Codes that do not
// decode and float nodes give an empty PqRaw query, at +inf from
// everything.
PreparedQuery NeighbourQuery(const DiskHnswParams& params, StoredRef stored);
// The same, measuring by `metric` (for a product-quantized graph).
PreparedQuery NeighbourQuery(const DiskHnswParams& params, StoredRef stored, Metric metric);

// One layer search from entry; empty when the entry has no row.
inline Result<std::vector<ScoredNode<uint64_t>>> SearchLayer(DannStore& store, uint64_t entry, uint64_t ef,
                                                             uint32_t layer) {
  if (store.Node(entry) == nullptr) {
    RETURN_IF_ERROR(store.status());
    return std::vector<ScoredNode<uint64_t>>{};
  }
  auto found = hnsw_search_layer(store, entry, ef, layer);
  RETURN_IF_ERROR(store.status());
  return found;
}

// The same, with only the nodes `admit` accepts among the results (see
// hnsw_search_layer_admitting).
template <typename Admit>
Result<std::vector<ScoredNode<uint64_t>>> SearchLayerAdmitting(DannStore& store, uint64_t entry, uint64_t ef,
                                                               uint32_t layer, Admit admit,
                                                               std::optional<uint64_t> also = std::nullopt) {
  if (store.Node(entry) == nullptr) {
    RETURN_IF_ERROR(store.status());
    return std::vector<ScoredNode<uint64_t>>{};
  }
  const uint64_t second = also.value_or(entry);
  if (store.Node(second) == nullptr) also = entry;
  RETURN_IF_ERROR(store.status());
  auto found = hnsw_search_layer_admitting(store, entry, ef, layer, admit, also);
  RETURN_IF_ERROR(store.status());
  return found;
}

}  // namespace pallix::dann_internal

#endif  // PALLIX_VECTOR_DISK_HNSW_INTERNAL_H_
