#include "vector/hnsw.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <mutex>
#include <new>

#include "base/lock.h"
#include "base/port.h"
#include "vector/hnsw_repair.h"

namespace pallix {

namespace hnsw_internal {

// Holds key bytes at stable addresses: the key map's string_views point here.
struct KeyArena {
  static constexpr size_t kBlockBytes = 64 << 10;
  std::vector<std::unique_ptr<char[]>> blocks;
  char* next = nullptr;
  size_t left = 0;
  size_t used = 0;  // bytes of every key stored, live or not

  const char* Store(std::string_view key) {
    used += key.size();
    if (key.size() > left) {
      // A key larger than a quarter block gets a block of its own, so the
      // current block's free space is not thrown away for it.
      if (key.size() > kBlockBytes / 4) {
        blocks.push_back(std::make_unique_for_overwrite<char[]>(key.size() + 1));
        std::memcpy(blocks.back().get(), key.data(), key.size());
        return blocks.back().get();
      }
      blocks.push_back(std::make_unique_for_overwrite<char[]>(kBlockBytes));
      next = blocks.back().get();
      left = kBlockBytes;
    }
    char* at = next;
    std::memcpy(at, key.data(), key.size());
    next += key.size();
    left -= key.size();
    return at;
  }
};

// Visited stamps: a node is visited when its stamp equals the epoch, so a
// new layer search costs one increment, and the array is cleared only when
// the epoch wraps.
struct Visited {
  std::vector<uint32_t> stamps;
  uint32_t epoch = 0;
};

void StartEpoch(std::vector<uint32_t>& stamps, uint32_t& epoch, size_t nodes) {
  if (stamps.size() < nodes) stamps.resize(nodes, 0);
  if (epoch == UINT32_MAX) {
    std::fill(stamps.begin(), stamps.end(), 0);
    epoch = 1;
  } else {
    ++epoch;
  }
}

// Stamp arrays for searches. A search behaves exactly as with a fresh array;
// reusing one saves zeroing an array as long as the graph per query. The
// pool's own mutex guards only the pool, so searches stay independent of
// each other.
struct VisitedPool {
  std::mutex mu;
  std::vector<std::unique_ptr<Visited>> free;

  std::unique_ptr<Visited> Acquire() {
    std::lock_guard<std::mutex> lock(mu);
    if (free.empty()) return std::make_unique<Visited>();
    auto v = std::move(free.back());
    free.pop_back();
    return v;
  }
  void Release(std::unique_ptr<Visited> v) {
    std::lock_guard<std::mutex> lock(mu);
    free.push_back(std::move(v));
  }
};

}  // namespace hnsw_internal

namespace {

constexpr size_t kHeaderBytes = 16;
constexpr size_t kCountOffset = 0;
constexpr size_t kLevelOffset = 4;
constexpr size_t kSelectedCountOffset = 5;
constexpr size_t kSelectedLayersOffset = 6;
constexpr size_t kUpperSlotOffset = 8;
constexpr size_t kFirstChunkShift = 5;  // chunk 0 holds 32 nodes
constexpr size_t kFirstChunkNodes = size_t{1} << kFirstChunkShift;
// Each upper layer's list: a count and m ids.
constexpr size_t kUpperListWords = 1 + kHnswM;

inline void Prefetch(const void* p) { port::PrefetchLine(p); }

// Node chunks from this size on are mapped in huge pages (HnswIndex's
// chunks_); the smaller ones of a small graph come from operator new, so
// that a process with many small graphs holds no mapping for each.
constexpr size_t kMappedChunkBytes = size_t{2} << 20;

// ScoreNodes: vectors scored per group.
constexpr size_t kScoreGroup = 16;

}  // namespace

// Defined ahead of their callers so that the search loop inlines them.
inline std::byte* HnswIndex::Block(uint32_t id) const {
  size_t q = id >> kFirstChunkShift;
  if (q == 0) return chunks_[0].get() + size_t{id} * block_bytes_;
  size_t chunk = std::bit_width(q);
  size_t start = kFirstChunkNodes << (chunk - 1);
  return chunks_[chunk].get() + (id - start) * block_bytes_;
}

inline HnswIndex::LinkList HnswIndex::Links(uint32_t id, uint32_t layer) const {
  std::byte* block = Block(id);
  if (layer == 0) {
    auto* words = reinterpret_cast<uint32_t*>(block + kCountOffset);
    return {words, reinterpret_cast<uint32_t*>(block + kHeaderBytes)};
  }
  uint32_t slot;
  std::memcpy(&slot, block + kUpperSlotOffset, 4);
  uint32_t* list = upper_[slot].get() + (layer - 1) * kUpperListWords;
  return {list, list + 1};
}

// Starts loading node id's list on layer 0 (a count and up to m0 ids at
// the head of its block); above layer 0 only the block, which says where
// the list lives.
inline void HnswIndex::PrefetchLinks(uint32_t id, uint32_t layer) const {
  const std::byte* block = Block(id);
  Prefetch(block);
  if (layer > 0) return;
  for (size_t line = 64; line < kHeaderBytes + 4 * kHnswM0; line += 64) Prefetch(block + line);
}

// The graph store of hnsw_search_layer for the in-memory graph: node ids are
// 32-bit (four billion nodes are far beyond what memory holds), vectors and
// lists are read in place.
class HnswMemoryStore {
 public:
  using Id = uint32_t;

  HnswMemoryStore(const HnswIndex& graph, QueryScorer& scorer, std::vector<uint32_t>& stamps, uint32_t& epoch)
      : graph_(graph), scorer_(scorer), stamps_(stamps), epoch_(epoch) {}

  void StartVisits() { hnsw_internal::StartEpoch(stamps_, epoch_, graph_.node_count_); }
  bool Visit(Id id) {
    // Stamped either way, without a branch on the outcome (see the layer
    // search's loop over a list).
    const bool fresh = stamps_[id] != epoch_;
    stamps_[id] = epoch_;
    return fresh;
  }
  // The stamps of a whole neighbour list are fetched before any is tested.
  void PrefetchVisit(Id id) const { Prefetch(&stamps_[id]); }
  void PrefetchNeighbours(Id id, uint32_t layer) const { graph_.PrefetchLinks(id, layer); }
  float Distance(Id id) { return scorer_(graph_.stored(id)); }
  void DistanceBatch(const Id* ids, size_t n, float* out) { graph_.ScoreNodes(scorer_, ids, n, out); }
  // Layer 0 is every node's; higher layers only exist up to a node's level.
  std::span<const uint32_t> Neighbours(Id id, uint32_t layer) const {
    if (layer > 0) return graph_.neighbours(id, layer);
    HnswIndex::LinkList list = graph_.Links(id, 0);
    return {list.ids, *list.count};
  }
  static constexpr bool ok() { return true; }

 private:
  const HnswIndex& graph_;
  QueryScorer& scorer_;
  std::vector<uint32_t>& stamps_;
  uint32_t& epoch_;
};

HnswIndex::HnswIndex(Metric metric, Quantization quant, std::shared_ptr<const PqCodebook> codebook)
    : metric_(metric),
      quant_(quant),
      codebook_(std::move(codebook)),
      arena_(std::make_unique<hnsw_internal::KeyArena>()),
      key_map_(0, SeededHash()),
      search_visited_(std::make_unique<hnsw_internal::VisitedPool>()),
      repair_(std::make_unique<hnsw_internal::RepairState>()) {}

HnswIndex::~HnswIndex() = default;
HnswIndex::HnswIndex(HnswIndex&&) noexcept = default;
HnswIndex& HnswIndex::operator=(HnswIndex&&) noexcept = default;

void HnswIndex::ScoreNodes(QueryScorer& scorer, const uint32_t* ids, size_t n, float* out) const {
  if (!scorer.float_batch()) {
    for (size_t i = 0; i < n; ++i) out[i] = scorer(stored(ids[i]));
    return;
  }
  // Every line of each vector of the next group is requested, into the
  // second-level cache, while this group is scored. Requested into the
  // first-level cache, they stalled the requests themselves once that
  // cache's few miss buffers were full (on an AMD EPYC, Zen 3, the build
  // took a fifth longer than with only each vector's first four lines
  // requested, which the processor's own prefetcher followed on); into the
  // second level, whose queue is longer, every line of them built a
  // 60,000-vector cosine graph of 384 dimensions in 16% less time than the
  // four lines did, and searched it at 30% more queries per second (l2:
  // 3-12% and 11-41%), on an AMD EPYC (Zen 4).
  constexpr size_t group = kScoreGroup;
  auto prefetch = [&](size_t lo) {
    for (size_t i = lo, end = std::min(n, lo + group); i < end; ++i) {
      const std::byte* p = StoredBytes(ids[i]);
      for (size_t line = 0; line < scored_bytes_; line += 64) port::PrefetchLineToL2(p + line);
    }
  };
  prefetch(0);
  const float* vectors[group];
  float selfs[group];
  for (size_t lo = 0; lo < n; lo += group) {
    if (lo + group < n) prefetch(lo + group);
    const size_t count = std::min(group, n - lo);
    for (size_t i = 0; i < count; ++i) vectors[i] = reinterpret_cast<const float*>(StoredBytes(ids[lo + i]));
    scorer.FloatDots(vectors, count, out + lo);
    if (!caches_self_) continue;
    // A self product sits after its vector's last component: read once
    // the vector has been, it is in the cache rather than a load of its own.
    for (size_t i = 0; i < count; ++i) {
      std::memcpy(&selfs[i], reinterpret_cast<const std::byte*>(vectors[i]) + stored_bytes_, sizeof(float));
    }
    scorer.CosineFromDots(selfs, count, out + lo);
  }
}

uint32_t HnswIndex::level(uint64_t id) const { return static_cast<uint32_t>(Block(static_cast<uint32_t>(id))[kLevelOffset]); }

std::span<const uint32_t> HnswIndex::neighbours(uint64_t id, uint32_t layer) const {
  auto id32 = static_cast<uint32_t>(id);
  if (layer > level(id32)) return {};
  LinkList list = Links(id32, layer);
  return {list.ids, *list.count};
}

size_t HnswIndex::tombstone_count() const {
  return node_count_ - key_map_.size() - repair_->free_ids.size();
}

size_t HnswIndex::key_bytes_held() const { return arena_->used; }

bool HnswIndex::present(uint64_t id) const {
  return id < node_count_ && repair_->Mark(static_cast<uint32_t>(id)) != hnsw_internal::RepairState::kDropped;
}

std::optional<std::string_view> HnswIndex::key(uint64_t id) const {
  const KeySlot& slot = key_slots_[id];
  if (!slot.live) return std::nullopt;
  return std::string_view(slot.data, slot.size);
}

StoredRef HnswIndex::stored(uint64_t id) const {
  const std::byte* p = StoredBytes(static_cast<uint32_t>(id));
  if (stores_f32_) return StoredRef::F32({reinterpret_cast<const float*>(p), stored_bytes_ / sizeof(float)});
  return StoredRef::Codes({reinterpret_cast<const uint8_t*>(p), stored_bytes_});
}

std::optional<uint64_t> HnswIndex::find(std::string_view key) const {
  auto it = key_map_.find(key);
  if (it == key_map_.end()) return std::nullopt;
  return it->second;
}

void HnswIndex::FixDimension(size_t dim) {
  dim_ = dim;
  if (codebook_ != nullptr) {
    stores_f32_ = false;
    stored_bytes_ = codebook_->m;
  } else if (quant_ == Quantization::kNone) {
    stores_f32_ = true;
    stored_bytes_ = dim * sizeof(float);
  } else if (quant_ == Quantization::kBinary) {
    stores_f32_ = false;
    stored_bytes_ = (dim + 7) / 8;
  } else {
    stores_f32_ = false;
    stored_bytes_ = 8 + dim;
  }
  caches_self_ = stores_f32_ && metric_ == Metric::kCosine;
  stored_offset_ = kHeaderBytes + sizeof(uint32_t) * kHnswM0;
  // Blocks stay 16-byte aligned so that float vectors never straddle more
  // cache lines than they must.
  scored_bytes_ = stored_bytes_ + (caches_self_ ? sizeof(float) : 0);
  block_bytes_ = (stored_offset_ + scored_bytes_ + 15) / 16 * 16;
}

uint32_t HnswIndex::DrawLevel() {
  rng_ ^= rng_ << 13;
  rng_ ^= rng_ >> 7;
  rng_ ^= rng_ << 17;
  double u = static_cast<double>((rng_ >> 11) + 1) * 0x1p-53;  // 0 < u <= 1
  // -ln(2^-53) / ln 16 < 14, so the level always fits its byte.
  return static_cast<uint32_t>(std::floor(-std::log(u) * kHnswLevelMultiplier));
}

void HnswIndex::ChunkUnmap::operator()(std::byte* chunk) const {
  if (bytes < kMappedChunkBytes) {
    ::operator delete(chunk);
  } else {
    port::UnmapPages(chunk, bytes);
  }
}

uint32_t HnswIndex::AppendNode(uint32_t level, std::span<const uint8_t> stored) {
  PALLIX_INVARIANT(node_count_ < UINT32_MAX, "hnsw node ids fit 32 bits");
  PALLIX_INVARIANT(stored.size() == stored_bytes_, "hnsw stored vector has the index's size");
  uint32_t id = node_count_;
  if (!repair_->free_ids.empty()) {
    // A node the repair dropped: its block and id are free.
    id = repair_->free_ids.back();
    repair_->free_ids.pop_back();
    repair_->SetMark(id, hnsw_internal::RepairState::kUnmarked);
  } else {
    size_t chunk = id < kFirstChunkNodes ? 0 : std::bit_width(size_t{id} >> kFirstChunkShift);
    if (chunk == chunks_.size()) {
      size_t nodes = chunk == 0 ? kFirstChunkNodes : kFirstChunkNodes << (chunk - 1);
      const size_t bytes = nodes * block_bytes_;
      std::byte* pages;
      if (bytes < kMappedChunkBytes) {
        pages = static_cast<std::byte*>(::operator new(bytes));
      } else {
        pages = static_cast<std::byte*>(port::MapHugePages(bytes));
        if (pages == nullptr) throw std::bad_alloc();  // as an allocation by new would
      }
      chunks_.emplace_back(pages, ChunkUnmap{bytes});
    }
    ++node_count_;
  }
  if (births_.size() <= id) births_.resize(size_t{id} + 1);
  births_[id] = next_birth_++;
  std::byte* block = Block(id);
  std::memset(block, 0, stored_offset_);
  block[kLevelOffset] = static_cast<std::byte>(level);
  if (level > 0) {
    auto slot = static_cast<uint32_t>(upper_.size());
    upper_.push_back(std::make_unique<uint32_t[]>(level * kUpperListWords));  // zeroed: empty lists
    std::memcpy(block + kUpperSlotOffset, &slot, 4);
  }
  if (!stored.empty()) std::memcpy(block + stored_offset_, stored.data(), stored.size());
  if (caches_self_) {
    std::span<const float> v(reinterpret_cast<const float*>(block + stored_offset_), stored_bytes_ / sizeof(float));
    float self = dot_f32(v, v);
    std::memcpy(block + stored_offset_ + stored_bytes_, &self, sizeof(float));
  }
  return id;
}

void HnswIndex::AddKey(uint32_t id, std::string_view key) {
  PALLIX_INVARIANT(key.size() <= UINT32_MAX, "hnsw key length fits 32 bits");
  const char* data = arena_->Store(key);
  KeySlot slot{data, static_cast<uint32_t>(key.size()), true};
  if (id < key_slots_.size()) {
    key_slots_[id] = slot;  // a dropped node's id, taken again
  } else {
    key_slots_.push_back(slot);
  }
  key_map_.emplace(std::string_view(data, key.size()), id);
  live_key_bytes_ += key.size();
  MaybeCompactKeys();
}

// Every replaced or removed key leaves its bytes in the arena, so a graph
// that lives through many writes would grow by its keys without bound.
// Once the dead bytes outweigh the live ones (and are worth a copy), the
// live keys move to a fresh arena: a copy of the live keys at most once per
// as many bytes written, so each write pays a constant share.
void HnswIndex::MaybeCompactKeys() {
  constexpr size_t kMinDeadBytes = 1 << 20;
  const size_t dead = arena_->used - live_key_bytes_;
  if (dead < kMinDeadBytes || dead < live_key_bytes_) return;
  auto fresh = std::make_unique<hnsw_internal::KeyArena>();
  key_map_.clear();
  for (uint32_t id = 0; id < key_slots_.size(); ++id) {
    KeySlot& slot = key_slots_[id];
    if (!slot.live) {
      slot = KeySlot{nullptr, 0, false};  // never read: key() answers none
      continue;
    }
    slot.data = fresh->Store(std::string_view(slot.data, slot.size));
    key_map_.emplace(std::string_view(slot.data, slot.size), id);
  }
  arena_ = std::move(fresh);
}

void HnswIndex::SetNeighbours(uint32_t id, uint32_t layer, std::span<const uint32_t> ids) {
  PALLIX_INVARIANT(ids.size() <= (layer > 0 ? kHnswM : kHnswM0), "hnsw neighbour list within its cap");
  LinkList list = Links(id, layer);
  std::copy(ids.begin(), ids.end(), list.ids);
  *list.count = static_cast<uint32_t>(ids.size());
  SetSelectedPrefix(id, layer, 0);  // the repair's lists: nothing known of them
}

size_t HnswIndex::SelectedPrefix(uint32_t id, uint32_t layer) const {
  const std::byte* block = Block(id);
  if (layer == 0) return static_cast<size_t>(block[kSelectedCountOffset]);
  uint16_t mask;
  std::memcpy(&mask, block + kSelectedLayersOffset, sizeof(mask));
  return (mask >> layer & 1) != 0 ? *Links(id, layer).count : 0;
}

void HnswIndex::SetSelectedPrefix(uint32_t id, uint32_t layer, size_t n) {
  std::byte* block = Block(id);
  if (layer == 0) {
    block[kSelectedCountOffset] = static_cast<std::byte>(n);  // n <= m0
    return;
  }
  uint16_t mask;
  std::memcpy(&mask, block + kSelectedLayersOffset, sizeof(mask));
  const auto bit = static_cast<uint16_t>(1u << layer);
  const bool whole = n > 0 && n == *Links(id, layer).count;
  mask = whole ? static_cast<uint16_t>(mask | bit) : static_cast<uint16_t>(mask & ~bit);
  std::memcpy(block + kSelectedLayersOffset, &mask, sizeof(mask));
}

void HnswIndex::FreeUpperLists(uint32_t id) {
  if (level(id) == 0) return;
  uint32_t slot;
  std::memcpy(&slot, Block(id) + kUpperSlotOffset, 4);
  upper_[slot].reset();
}

// The node's own stored form as a query: decoded codes under product
// quantization (nothing for a float node, which such a graph never has).
QueryRef HnswIndex::OwnQuery(uint32_t id, std::vector<float>& scratch) const {
  StoredRef own = stored(id);
  if (codebook_ == nullptr) return QueryRefFromStored(quant_, own, scratch);
  QueryRef query;
  query.kind = QueryKind::kPqRaw;
  scratch.resize(codebook_->dim);
  if (own.kind == StoredKind::kCodes && PqDecodeInto(*codebook_, own.codes, scratch.data())) query.floats = scratch;
  return query;
}

void HnswIndex::ScoreFrom(uint32_t from, const uint32_t* ids, size_t n, float* out) {
  if (caches_self_) {
    // The node's self product, kept beside its vector, is the one the
    // scorer would compute for it.
    const std::byte* p = StoredBytes(from);
    float self;
    std::memcpy(&self, p + stored_bytes_, sizeof(float));
    QueryScorer scorer(nullptr, HnswLinkMetric(metric_), quant_,
                       QueryRef{QueryKind::kRaw, {reinterpret_cast<const float*>(p), stored_bytes_ / sizeof(float)}, {}},
                       self);
    ScoreNodes(scorer, ids, n, out);
    return;
  }
  QueryScorer scorer(codebook_.get(), HnswLinkMetric(metric_), quant_, OwnQuery(from, own_scratch_));
  ScoreNodes(scorer, ids, n, out);
}

void HnswIndex::ScoreDotFrom(uint32_t from, const uint32_t* ids, size_t n, float* out) {
  QueryScorer scorer(codebook_.get(), Metric::kDot, quant_, OwnQuery(from, own_scratch_));
  ScoreNodes(scorer, ids, n, out);
}

// The insert's store: the search store over the graph being changed, whose
// lists change in place. Distances from the new node are remembered for the
// whole insert (the scorer does not change meanwhile, so a remembered
// distance is the one scoring again would give): the layer searches meet
// the same nodes on every layer, and widening a node's candidates walks
// the lists of its search's results, whose members that search has
// already scored.
class HnswMemoryInsertStore {
 public:
  using Id = uint32_t;
  using Mark = hnsw_internal::InsertMark;

  HnswMemoryInsertStore(HnswIndex& graph, QueryScorer& scorer)
      : graph_(graph), scorer_(scorer), marks_(graph.insert_marks_) {
    if (marks_.size() < graph_.node_count_) marks_.resize(graph_.node_count_, Mark{0, 0, 0.0f});
    if (graph_.insert_epoch_ == UINT32_MAX) {
      for (Mark& m : marks_) m.insert = 0;
      graph_.insert_epoch_ = 0;
    }
    insert_ = ++graph_.insert_epoch_;
  }

  void StartVisits() {
    if (graph_.visit_epoch_ == UINT32_MAX) {
      for (Mark& m : marks_) m.visit = 0;
      graph_.visit_epoch_ = 0;
    }
    visit_ = ++graph_.visit_epoch_;
  }
  bool Visit(Id id) {
    Mark& m = marks_[id];
    const bool first = m.visit != visit_;
    m.visit = visit_;
    return first;
  }
  void PrefetchVisit(Id id) const { Prefetch(&marks_[id]); }
  void PrefetchNeighbours(Id id, uint32_t layer) const { graph_.PrefetchLinks(id, layer); }
  float Distance(Id id) {
    Mark& m = marks_[id];
    if (m.insert != insert_) {
      m.insert = insert_;
      m.distance = scorer_(graph_.stored(id));
    }
    return m.distance;
  }
  void DistanceBatch(const Id* ids, size_t n, float* out) {
    misses_.clear();
    at_.clear();
    for (size_t i = 0; i < n; ++i) {
      const Mark& m = marks_[ids[i]];
      if (m.insert == insert_) {
        out[i] = m.distance;
      } else {
        misses_.push_back(ids[i]);
        at_.push_back(i);
      }
    }
    if (misses_.empty()) return;
    scored_.resize(misses_.size());
    graph_.ScoreNodes(scorer_, misses_.data(), misses_.size(), scored_.data());
    for (size_t k = 0; k < misses_.size(); ++k) {
      out[at_[k]] = scored_[k];
      marks_[misses_[k]].insert = insert_;
      marks_[misses_[k]].distance = scored_[k];
    }
  }
  std::span<const uint32_t> Neighbours(Id id, uint32_t layer) const {
    if (layer > 0) return graph_.neighbours(id, layer);
    HnswIndex::LinkList list = graph_.Links(id, 0);
    return {list.ids, *list.count};
  }
  static constexpr bool ok() { return true; }

  void ScoreFrom(Id from, const Id* ids, size_t n, float* out) { graph_.ScoreFrom(from, ids, n, out); }
  void ScoreDotFrom(Id from, const Id* ids, size_t n, float* out) { graph_.ScoreDotFrom(from, ids, n, out); }
  bool LinksHubs() const { return graph_.metric_ == Metric::kDot; }
  bool HasLayer(Id id, uint32_t layer) const { return graph_.level(id) >= layer; }
  // The insert sets a list only to what neighbour selection kept: a new
  // node's own list with the distances from its vector as given, which in
  // a float graph are those from its stored vector (ScoreFrom's), and a
  // pruned list with ScoreFrom's. So in a float graph a list set here is
  // a selection's outcome whole; an id appended after it (chosen by no
  // selection) leaves that prefix as it was on layer 0, and above it
  // (where only whole lists are recorded) forgets it.
  size_t SelectedPrefix(Id id, uint32_t layer) const { return graph_.SelectedPrefix(id, layer); }
  void SetLinks(Id id, uint32_t layer, const Id* ids, size_t n) {
    HnswIndex::LinkList list = graph_.Links(id, layer);
    std::copy(ids, ids + n, list.ids);
    *list.count = static_cast<uint32_t>(n);
    graph_.SetSelectedPrefix(id, layer, graph_.stores_f32_ ? n : 0);
  }
  // A "dot" graph's list ends in hubs (HnswPickHubs), which no selection
  // kept: its selection's outcome is the first n ids alone.
  void SetSelectedPrefix(Id id, uint32_t layer, size_t n) {
    graph_.SetSelectedPrefix(id, layer, graph_.stores_f32_ ? n : 0);
  }
  void AppendLink(Id id, uint32_t layer, Id v) {
    HnswIndex::LinkList list = graph_.Links(id, layer);
    list.ids[(*list.count)++] = v;
    if (layer > 0) graph_.SetSelectedPrefix(id, layer, 0);
  }
  void Unlinked(Id from, uint32_t layer, Id id) { graph_.unlinked_.push_back({layer, id, from}); }

 private:
  HnswIndex& graph_;
  QueryScorer& scorer_;
  std::vector<Mark>& marks_;
  uint32_t visit_ = 0;
  uint32_t insert_ = 0;
  std::vector<Id> misses_;
  std::vector<size_t> at_;
  std::vector<float> scored_;
};

// Links a freshly appended node into every layer up to its level.
void HnswIndex::Connect(uint32_t id, uint32_t level, const PreparedQuery& query) {
  QueryScorer scorer(codebook_.get(), HnswLinkMetric(metric_), quant_, query.ref());
  HnswMemoryInsertStore store(*this, scorer);
  const uint32_t old_entry = *entry_;
  const uint32_t top = this->level(old_entry);
  HnswConnect(store, id, level, old_entry, top, HnswShape{});
  if (level <= top) return;
  entry_ = id;
  // The old entry point needed no anchor, and anchored what it links to
  // whatever their order: they may need new ones. A link it lost to this
  // insert's pruning was an anchor too, though the old entry point no
  // longer comes first: that loss is checked as if from no one.
  for (auto& u : unlinked_) {
    if (u.from == old_entry) u.from = u.id;
  }
  for (uint32_t layer = 0; layer <= top; ++layer) {
    unlinked_.push_back({layer, old_entry, old_entry});
    for (uint32_t v : neighbours(old_entry, layer)) unlinked_.push_back({layer, v, v});
  }
}

namespace {

// The bytes a node of vector stores in graph: float nodes keep the vector
// as given; the other forms are encoded into codes. Meaningful only for a
// vector of the graph's length (or any, while that is unset).
std::span<const uint8_t> StoredForm(const HnswIndex& graph, std::span<const float> vector,
                                    std::vector<uint8_t>& codes) {
  const bool fits = !graph.dim().has_value() || *graph.dim() == vector.size();
  if (fits && graph.codebook() != nullptr) {
    codes = pq_encode(*graph.codebook(), vector);
    return codes;
  }
  if (fits && graph.quant() != Quantization::kNone) {
    codes = quantize_vector(graph.quant(), vector).codes;
    return codes;
  }
  return {reinterpret_cast<const uint8_t*>(vector.data()), vector.size_bytes()};
}

}  // namespace

bool hnsw_holds(const HnswIndex& graph, std::string_view key, std::span<const float> vector) {
  if (graph.dim_.has_value() && *graph.dim_ != vector.size()) return false;
  std::vector<uint8_t> codes;
  return hnsw_internal::Holds(graph, key, StoredForm(graph, vector, codes));
}

bool hnsw_internal::Holds(const HnswIndex& graph, std::string_view key, std::span<const uint8_t> bytes) {
  auto it = graph.key_map_.find(key);
  return it != graph.key_map_.end() && bytes.size() == graph.stored_bytes_ &&
         std::memcmp(graph.StoredBytes(it->second), bytes.data(), bytes.size()) == 0;
}

void hnsw_insert(HnswIndex& graph, std::string_view key, std::span<const float> vector) {
  hnsw_internal::InsertAtLevel(graph, key, vector, std::nullopt);
}

void hnsw_internal::InsertAtLevel(HnswIndex& graph, std::string_view key, std::span<const float> vector,
                                  std::optional<uint32_t> given_level) {
  // A codebook fixes the length: a vector of another one would be coded as
  // zeros and, inserted first, would shut out every vector it was made for.
  if (!graph.dim_.has_value() && graph.codebook_ != nullptr) graph.FixDimension(graph.codebook_->dim);
  const bool fits = !graph.dim_.has_value() || *graph.dim_ == vector.size();
  std::vector<uint8_t> codes;
  std::span<const uint8_t> bytes = StoredForm(graph, vector, codes);
  // Most writes of a document leave its vector as it was: its node stays,
  // rather than becoming a tombstone beside an identical new node.
  if (fits && Holds(graph, key, bytes)) return;
  const std::optional<uint64_t> old = graph.find(key);
  hnsw_remove_key(graph, key);
  if (old) AnchorAroundReplaced(graph, static_cast<uint32_t>(*old));
  if (!fits) return;
  if (!graph.dim_.has_value()) graph.FixDimension(vector.size());
  PreparedQuery query = prepare_query(graph.codebook_.get(), HnswLinkMetric(graph.metric_), graph.quant_, vector);
  uint32_t level = given_level.has_value() ? *given_level : graph.DrawLevel();
  uint32_t id = graph.AppendNode(level, bytes);
  if (!graph.entry_.has_value()) {
    graph.entry_ = id;
  } else {
    graph.Connect(id, level, query);
  }
  graph.AddKey(id, key);
  hnsw_internal::RepairNewNode(graph, id);
}

uint64_t hnsw_internal::Born(const HnswIndex& graph, uint64_t id) { return graph.births_[id]; }

void hnsw_remove_key(HnswIndex& graph, std::string_view key) {
  auto it = graph.key_map_.find(key);
  if (it == graph.key_map_.end()) return;
  graph.key_slots_[it->second].live = false;
  graph.live_key_bytes_ -= it->first.size();
  graph.key_map_.erase(it);
}

std::vector<HnswHit> hnsw_search(const HnswIndex& graph, std::span<const float> query, uint64_t k) {
  if (k == 0 || !graph.entry_.has_value() || graph.dim_ != query.size()) return {};
  PreparedQuery prepared = prepare_query(graph.codebook_.get(), graph.metric_, graph.quant_, query);
  QueryScorer scorer(graph.codebook_.get(), graph.metric_, graph.quant_, prepared.ref());
  std::unique_ptr<hnsw_internal::Visited> visited = graph.search_visited_->Acquire();
  HnswMemoryStore store(graph, scorer, visited->stamps, visited->epoch);
  uint32_t ep = HnswDescend(store, *graph.entry_, graph.level(*graph.entry_), 0);
  // Tombstones route the search but take no place among its results.
  // When every node holds a live key (each key has a node of its own, so
  // as many keys as nodes means no node without one) the test admits
  // everything, and the search does without it: its key slot, read for
  // every node that comes near the results, lies apart from the node's
  // block and vector and missed the cache each time.
  auto live = [&graph](uint32_t id) { return graph.key_slots_[id].live; };
  auto all = [](uint32_t) { return true; };
  // The walk starts from the entry point too: every live node is reached
  // from it (vector/hnsw_anchor.h), not always from where the descent lands.
  const uint64_t ef = HnswSearchEf(k);
  auto nearest = graph.key_map_.size() == graph.node_count_
                     ? hnsw_search_layer_admitting(store, ep, ef, 0, all, graph.entry_)
                     : hnsw_search_layer_admitting(store, ep, ef, 0, live, graph.entry_);
  graph.search_visited_->Release(std::move(visited));

  std::vector<HnswHit> hits;
  size_t take = std::min<uint64_t>(k, nearest.size());
  hits.reserve(take);
  for (size_t i = 0; i < take; ++i) {
    std::optional<std::string_view> key = graph.key(nearest[i].id);
    PALLIX_INVARIANT(key.has_value(), "hnsw search admits live nodes only");
    hits.push_back(HnswHit{std::string(*key), nearest[i].distance});
  }
  return hits;
}

}  // namespace pallix
