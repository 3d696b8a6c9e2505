// The store hnsw_search_layer walks over the on-disk graph's rows
// (DannStore), declared in disk_hnsw_internal.h (the pool of tables query
// stores borrow in disk_hnsw_pool.cc; node records and row locations in
// disk_hnsw_rows.cc).

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "base/coding.h"
#include "base/port.h"
#include "vector/disk_hnsw_internal.h"

namespace pallix {

namespace dann_internal {
namespace {

constexpr size_t kCacheLine = 64;
// Vectors scored together: a layer-0 list (m0 = 32), so that one
// candidate's fresh neighbours usually make one batch.
constexpr size_t kBatch = 32;
// A search meets a few hundred to a few thousand nodes: start the table
// (and the entries) at a size most searches never outgrow.
constexpr size_t kFirstSlots = 4096;
constexpr size_t kFirstEntries = 1024;
constexpr size_t kMaxHints = 256;
// Query stores find node ids below this by id (a table of up to 8 MiB),
// any others in a hashed table, which the pool keeps up to this many slots
// (2.5 MiB with their ids), and the room of the entries up to half as many
// (under 4 MiB): enough for a search meeting 32,768 nodes.
constexpr uint64_t kReadDenseIds = uint64_t{1} << 18;
constexpr size_t kMaxKeptSlots = size_t{1} << 16;
// A query's store keeps the rows it parses (DannStore::keep_rows_) while
// fewer than this many are kept: three quarters of the entries' room, so
// that the searches after, which keep none, still fit the rest.
constexpr size_t kMaxKeptEntries = kMaxKeptSlots / 2 / 4 * 3;

inline void Prefetch(const void* p) { port::PrefetchLine(p); }

}  // namespace

// Nor copied into an insert's cache (whose `met` marks are by id), so that
// a damaged id far past the others cannot make them huge.
constexpr uint64_t kMaxCopiedId = uint64_t{1} << 26;
// Nor past this many bytes of copies in one cache: a batch over a graph far
// larger than it can meet most of the graph, whose rows it then reads from
// the store instead of holding them all.
constexpr size_t kMaxCopiedBytes = size_t{256} << 20;

DannStore::DannStore(const ReadView& view, std::string_view ns, bool as_codes, Metric metric, QueryScorer& scorer,
                     std::span<const float> query)
    : view_(&view), ns_(ns), as_codes_(as_codes), scorer_(scorer), query_(query) {
  // Borrowed tables: a query neither allocates nor clears a table for the
  // thousands of nodes it meets.
  reader_ = TakeReader();
  table_ = &reader_->hashed;
  nodes_ = &reader_->by_id.entries;
  upper_ = &reader_->by_id.upper;
  if (reader_->by_id_lookup) {
    locations_ = reader_->locations.For(ns, view.snapshot_tag());
    shared_ = &reader_->by_id;
    dense_ids_ = kReadDenseIds;
    serial_ = shared_->NextStore();
    keeping_ = locations_ != nullptr;
    const SnapshotTag tag = view.snapshot_tag();
    // serial_ at or below kept_from: none kept, or the serials wrapped.
    const bool kept = keeping_ && shared_->kept_from < serial_ && reader_->kept_ns == ns &&
                      reader_->kept_tag.SameSnapshot(tag);
    if (!kept) {
      // Another snapshot may have moved or rewritten every row.
      shared_->entries.clear();
      shared_->upper.clear();
      shared_->kept_from = keeping_ ? serial_ : UINT32_MAX;
      reader_->kept_ns.assign(keeping_ ? ns : std::string_view());
      reader_->kept_tag = tag;
    }
    kept_entries_ = shared_->entries.size();
    kept_upper_ = shared_->upper.size();
    keep_rows_ = keeping_ && kept_entries_ < kMaxKeptEntries;
  }
  query_selfs_ = locations_ != nullptr && !as_codes && metric == Metric::kCosine;
  nodes_->reserve(kFirstEntries);
  StartOwnTable();
}

DannStore::~DannStore() {
  if (reader_ == nullptr) return;
  // The rows kept for the next store of the snapshot stay, and only those;
  // any others are the read transaction's, which no later store may see.
  Shared& by_id = reader_->by_id;
  if (!keeping_) {
    by_id.entries.clear();
    by_id.upper.clear();
  } else if (!keep_rows_) {
    by_id.entries.resize(kept_entries_);
    by_id.upper.resize(kept_upper_);
  }
  // What a search that met far more nodes than most needed is not kept.
  if (reader_->hashed.slots.size() > kMaxKeptSlots) reader_->hashed = OwnTable{};
  if (by_id.entries.capacity() > kMaxKeptSlots / 2) {
    by_id.entries = {};
    by_id.upper = {};
  }
  if (by_id.entries.empty()) {
    by_id.kept_from = UINT32_MAX;
    reader_->kept_ns.clear();
  }
  GiveReader(std::move(reader_));
}

void DannStore::StartOwnTable() {
  if (++table_->serial != 0) return;
  // The stamps wrapped: no slot may look taken by the new serial.
  for (Slot& slot : table_->slots) slot.store = 0;
  table_->serial = 1;
}

DannStore::DannStore(WriteCtx& ctx, DannNodeCache& cache, std::string_view ns, const DiskHnswParams& params,
                     QueryScorer& scorer, std::span<const float> query)
    : ctx_(&ctx),
      cache_(&cache),
      params_(&params),
      ns_(ns),
      as_codes_(params.has_codebook() || params.quant != Quantization::kNone),
      scorer_(scorer),
      query_(query) {
  StartOwnTable();
  // From a cache's second insert on, the stores share one node table by id:
  // a node an earlier insert met is taken over, not looked up again.
  if (cache.inserts++ == 0) return;
  if (cache.shared == nullptr) cache.shared = std::make_shared<Shared>();
  shared_ = static_cast<Shared*>(cache.shared.get());
  nodes_ = &shared_->entries;
  upper_ = &shared_->upper;
  serial_ = shared_->NextStore();
  for (uint64_t id : cache.rebound) {
    if (id >= shared_->slots.size()) continue;
    Slot& slot = shared_->slots[id];
    slot.vec = nullptr;
    const DiskHnswNode* held = cache.HeldNode(id);
    if (held == nullptr) slot.has_self = 0;
    if (slot.node >= kRetry) continue;
    if (held == nullptr) {
      slot.node = kUnused;
      slot.lasting = 0;
      continue;
    }
    Entry& entry = (*nodes_)[slot.node];
    entry.links0_known = false;
    entry.owned = held;
    entry.view.deleted = held->deleted;  // an upsert may have removed it meanwhile
    entry.view.layer_count = static_cast<uint32_t>(held->layers.size());
    entry.lasting = true;
    slot.lasting = 1;
  }
  cache.rebound.clear();
}

void DannStore::TakeOver(Id id, Slot& slot) {
  // A query's slot is kept from a store of the kept snapshot only.
  const bool stale = view_ != nullptr && slot.store < shared_->kept_from;
  slot.store = serial_;
  slot.epoch = 0;
  slot.scored = 0;
  // A lasting entry already follows the cache (the ids it took in or
  // replaced were applied when this store was made).
  if (slot.node >= kRetry || slot.lasting == 0 || stale) {
    slot.node = kUnused;
    slot.lasting = 0;
    slot.parsed = 0;
    slot.vec = nullptr;
    // A query's table was last used by a search of any graph.
    if (view_ != nullptr) slot.has_self = 0;
  }
}

void DannStore::Bind(Slot& slot, uint32_t node) {
  slot.node = node;
  slot.vec = nullptr;
  const bool entry = node < kRetry;
  slot.lasting = entry && (*nodes_)[node].lasting ? 1 : 0;
  slot.parsed = entry && (*nodes_)[node].parsed ? 1 : 0;
  slot.live = slot.parsed != 0 && !(*nodes_)[node].view.deleted ? 1 : 0;
}

void DannStore::PrefetchVisit(Id id) {
  if (!ok()) return;
  // A query's store looks the node up at once: its own table is small and
  // hot, so holding the hint back would cost more than it overlaps.
  if (view_ != nullptr) {
    TakeHint(id);
    return;
  }
  // A search hints a whole list at once: here only the slots' loads are
  // started, none waited for, and what depends on a slot follows once the
  // search needs the first of them (TakeHints), when most have arrived.
  if (shared_ != nullptr && id < dense_ids_) {
    if (id < shared_->slots.size()) Prefetch(&shared_->slots[id]);
  } else if (!table_->slots.empty()) {
    Prefetch(&table_->slots[SlotOf(id, table_->slots.size() - 1)]);
  }
  hints_.push_back(id);
  // A list longer than any the graph's caps allow (a damaged row's) is
  // acted on as it comes rather than held.
  if (hints_.size() >= kMaxHints) TakeHints();
}

void DannStore::TakeHints() {
  // Where each new node's row lies is looked up next, one node after
  // another: the lookups' loads start together instead.
  if (locations_ != nullptr) {
    for (const uint64_t id : hints_) locations_->PrefetchFind(id);
  }
  for (size_t i = 0; i < hints_.size() && ok(); ++i) TakeHint(hints_[i]);
  hints_.clear();
}

void DannStore::TakeHint(Id id) {
  Slot& slot = Probe(id);
  if (slot.node < kRetry) {
    // Met before: unless this search visited it or its distance is kept
    // (most of a list, late in a search), start loading what scoring it
    // reads (its vector, once a batch found it, else its entry), without
    // waiting for anything.
    if (slot.epoch == epoch_ || slot.scored != 0) return;
    if (slot.vec != nullptr) {
      // All of it: the batch scoring it follows shortly. A query's store
      // loads a whole list's vectors so, into the second-level cache as
      // AddRow does; an insert's finds most of them cached already.
      AskForLines(reinterpret_cast<const char*>(slot.vec), query_.size() * sizeof(float));
    } else {
      Prefetch(&(*nodes_)[slot.node]);
    }
    return;
  }
  if (slot.node != kUnused) return;
  if (view_ != nullptr) {
    ++used_;
    if (locations_ != nullptr) {
      if (std::string_view row = locations_->Find(id); !row.empty()) {
        Bind(slot, AddRow(row));
        // Taken while its location is at hand.
        if (query_selfs_) slot.has_self = locations_->FindSelf(id, slot.self) ? 1 : 0;
        return;
      }
    }
    slot.node = kPending;
    pending_.push_back(id);
    return;
  }
  // In a write transaction the nodes met come mostly from the cache: start
  // loading where it keeps them, and fetch them all once one is needed, so
  // that their memory loads overlap rather than follow one another.
  ++used_;
  slot.node = kPending;
  pending_.push_back(id);
  cache_->PrefetchSlots(id);
}

void DannStore::PrefetchNeighbours(Id id, uint32_t layer) {
  (void)layer;
  if (!ok()) return;
  const Slot& slot = Probe(id);
  if (slot.node < kRetry) Prefetch(&(*nodes_)[slot.node]);
}

const DannNodeView* DannStore::Node(Id id) {
  Entry* entry = Find(id);
  return entry != nullptr ? &entry->view : nullptr;
}

DannLinks DannStore::Neighbours(Id id, uint32_t layer) {
  Entry* entry = Find(id);
  if (entry == nullptr) return {};
  if (layer == 0 && entry->links0_known) return entry->links0;
  if (layer >= entry->view.layer_count) return {};
  DannLinks links;
  if (entry->owned != nullptr) {
    links = DannLinks(entry->owned->layers[layer]);
  } else {
    const char* count = layer == 0 ? entry->view.layers : (*upper_)[entry->view.upper + layer - 1];
    links = DannLinks(count + 4, DecodeFixed32LE(count));
  }
  if (layer == 0) {
    entry->links0 = links;
    entry->links0_known = true;
  }
  return links;
}

float DannStore::ScoreWith(QueryScorer& scorer, Id id) {
  Entry* entry = Find(id);
  if (entry == nullptr) return std::numeric_limits<float>::infinity();
  return scorer(Stored(*entry, single_));
}

float DannStore::Distance(Id id) {
  Slot* slot = Resolve(id);
  if (slot == nullptr) return std::numeric_limits<float>::infinity();
  if (slot->scored == 0) {
    slot->distance = scorer_(Stored((*nodes_)[slot->node], single_));
    slot->scored = 1;
  }
  return slot->distance;
}

StoredRef DannStore::StoredOf(Id id, std::vector<float>& scratch) {
  Entry* entry = Find(id);
  if (entry == nullptr) return StoredRef::F32({});
  return Stored(*entry, scratch);
}

void DannStore::ScoreFrom(Id from, const Id* ids, size_t n, float* out) {
  ScoreFromBy(from, /*by_dot=*/false, ids, n, out);
}

void DannStore::ScoreDotFrom(Id from, const Id* ids, size_t n, float* out) {
  ScoreFromBy(from, /*by_dot=*/true, ids, n, out);
}

void DannStore::ScoreFromBy(Id from, bool by_dot, const Id* ids, size_t n, float* out) {
  Entry* entry = Find(from);
  if (entry == nullptr || params_ == nullptr) {
    std::fill(out, out + n, std::numeric_limits<float>::infinity());
    return;
  }
  const Metric metric = by_dot ? Metric::kDot : HnswLinkMetric(params_->metric);
  if (!params_->has_codebook()) {
    // The node's stored form as the query, viewed where it lies (as
    // NeighbourQuery would copy it).
    const QueryRef query = QueryRefFromStored(params_->quant, Stored(*entry, own_), own_decoded_);
    QueryScorer scorer(nullptr, metric, params_->quant, query);
    ScoreBatch(scorer, query.floats.size(), ids, n, out, /*remember=*/false);
    return;
  }
  PreparedQuery query = NeighbourQuery(*params_, Stored(*entry, own_), metric);
  QueryScorer scorer(params_->codebook.get(), metric, params_->quant, query.ref());
  ScoreBatch(scorer, query.floats.size(), ids, n, out, /*remember=*/false);
}

std::vector<uint64_t>* DannStore::MutableLinks(Id id, uint32_t layer) {
  Slot* slot = Resolve(id);
  if (slot == nullptr || cache_ == nullptr) return nullptr;
  Entry& entry = (*nodes_)[slot->node];
  if (layer >= entry.view.layer_count) return nullptr;
  std::shared_ptr<DiskHnswNode>* cached = cache_->Held(id);
  if (cached == nullptr || *cached == nullptr) {
    // Decoded from the row this store read, not read again.
    Result<DiskHnswNode> decoded = decode_dann_node(ns_, id, entry.row, as_codes_, Quantization::kNone);
    if (!decoded.has_value()) {
      status_ = Fail(std::move(decoded).error());
      return nullptr;
    }
    cache_->Hold(id) = std::make_shared<DiskHnswNode>(std::move(*decoded));
  }
  std::shared_ptr<DiskHnswNode>& held = cache_->Hold(id);
  // Another holder keeps the node as it was.
  if (held.use_count() > 1) held = std::make_shared<DiskHnswNode>(*held);
  cache_->changed.insert(id);
  if (entry.owned != held.get()) slot->vec = nullptr;
  entry.links0_known = false;  // the caller changes a list
  entry.owned = held.get();
  entry.lasting = true;
  slot->lasting = 1;
  return &held->layers[layer];
}

void DannStore::SetLinks(Id id, uint32_t layer, const Id* ids, size_t n) {
  if (std::vector<uint64_t>* list = MutableLinks(id, layer)) list->assign(ids, ids + n);
}

void DannStore::AppendLink(Id id, uint32_t layer, Id v) {
  if (std::vector<uint64_t>* list = MutableLinks(id, layer)) list->push_back(v);
}

void DannStore::ScoreBatch(QueryScorer& scorer, size_t dim, const Id* ids, size_t n, float* out, bool remember) {
  if (as_codes_ || !scorer.float_batch()) {
    for (size_t i = 0; i < n; ++i) out[i] = remember ? Distance(ids[i]) : ScoreWith(scorer, ids[i]);
    return;
  }
  batch_.resize(kBatch * dim);
  const float* vectors[kBatch];
  size_t at[kBatch];
  Slot* held[kBatch];
  float found[kBatch];
  float selfs[kBatch];
  size_t count = 0;
  // The batch's slots stay where they are unless a table grows meanwhile.
  uint64_t moves = moves_;
  // An insert's cache keeps each node's self product for cosine, which
  // then costs one product per node and batch instead of two.
  // So does a query's store across the queries of one snapshot (for its
  // own scorer).
  const bool keep_selfs = (cache_ != nullptr && params_ != nullptr && params_->metric == Metric::kCosine) ||
                          (query_selfs_ && &scorer == &scorer_);
  // A slot's vector was checked against the store's own query length.
  const bool slot_vectors = dim == query_.size();
  auto score = [&] {
    if (keep_selfs) {
      scorer.FloatBatchWithSelf(vectors, selfs, count, found);
    } else {
      scorer.FloatBatch(vectors, count, found);
    }
    for (size_t j = 0; j < count; ++j) out[at[j]] = found[j];
    if (remember) {
      for (size_t j = 0; j < count; ++j) {
        Slot& slot = moves == moves_ ? *held[j] : Probe(ids[at[j]]);
        slot.distance = found[j];
        slot.scored = 1;
      }
    }
    count = 0;
    moves = moves_;
  };
  for (size_t i = 0; i < n; ++i) {
    Slot* slot = Resolve(ids[i]);
    if (slot == nullptr) {
      out[i] = std::numeric_limits<float>::infinity();
      continue;
    }
    if (remember && slot->scored != 0) {
      out[i] = slot->distance;
      continue;
    }
    const float* v = slot_vectors ? slot->vec : nullptr;
    if (v == nullptr) {
      float* scratch = batch_.data() + count * dim;
      v = BatchVector((*nodes_)[slot->node], dim, scratch);
      if (v == nullptr) {
        out[i] = remember ? Distance(ids[i]) : ScoreWith(scorer, ids[i]);
        continue;
      }
      if (slot_vectors && v != scratch) slot->vec = v;
    }
    if (keep_selfs) {
      if (slot->has_self == 0) {
        slot->self = SelfOf(ids[i], v, dim);
        slot->has_self = 1;
      }
      selfs[count] = slot->self;
    }
    vectors[count] = v;
    at[count] = i;
    held[count] = slot;
    if (++count == kBatch) score();
  }
  if (count > 0) score();
}

float DannStore::SelfOf(Id id, const float* v, size_t dim) {
  std::span<const float> vector(v, dim);
  if (cache_ == nullptr) {
    float self;
    if (locations_->FindSelf(id, self)) return self;
    self = dot_f32(vector, vector);
    locations_->RememberSelf(id, self);
    return self;
  }
  if (id >= DannNodeCache::kDenseIds || cache_->few_ids) return dot_f32(vector, vector);
  if (id >= cache_->has_self.size()) {
    const size_t size = std::max<size_t>(id + 1, cache_->has_self.size() * 2);
    cache_->has_self.resize(size);
    cache_->selfs.resize(size);
  }
  if (!cache_->has_self[id]) {
    cache_->selfs[id] = dot_f32(vector, vector);
    cache_->has_self[id] = true;
  }
  return cache_->selfs[id];
}

const float* DannStore::BatchVector(const Entry& entry, size_t dim, float* scratch) {
  if (entry.owned != nullptr) {
    const StoredVector& stored = entry.owned->stored;
    return stored.kind == StoredKind::kF32 && stored.f32.size() == dim ? stored.f32.data() : nullptr;
  }
  if (entry.view.stored.size() / 4 != dim) return nullptr;
  // A record's vector follows its key, so it sits at any byte offset; the
  // batch kernels read it there rather than from a copy, which cost a
  // pass over every vector scored.
  if (floats_read_in_place(dim)) return reinterpret_cast<const float*>(entry.view.stored.data());
  return Floats(entry.view.stored, scratch);
}

const float* DannStore::Floats(std::string_view bytes, float* scratch) {
  const size_t count = bytes.size() / 4;
  if constexpr (std::endian::native == std::endian::little) {
    if (reinterpret_cast<uintptr_t>(bytes.data()) % alignof(float) == 0) {
      return reinterpret_cast<const float*>(bytes.data());
    }
    std::memcpy(scratch, bytes.data(), count * 4);
  } else {
    for (size_t i = 0; i < count; ++i) scratch[i] = DecodeFloat32LE(bytes.data() + i * 4);
  }
  return scratch;
}

StoredRef DannStore::Stored(const Entry& entry, std::vector<float>& scratch) const {
  if (entry.owned != nullptr) return entry.owned->stored.ref();
  std::string_view bytes = entry.view.stored;
  if (as_codes_) return StoredRef::Codes({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
  scratch.resize(bytes.size() / 4);
  return StoredRef::F32({Floats(bytes, scratch.data()), scratch.size()});
}

DannStore::Slot& DannStore::ProbeSlow(Id id) {
  if (shared_ != nullptr && id < dense_ids_) {
    PagedVector<Slot>& slots = shared_->slots;
    if (id >= slots.size()) {
      // Reserved exactly first: resize alone may double the room past the
      // ids the table can hold.
      const size_t size = std::min<size_t>(std::max<size_t>(id + 1, slots.size() * 2), dense_ids_);
      slots.reserve(size);
      slots.resize(size);
      ++moves_;
    }
    Slot& slot = slots[id];
    if (slot.store != serial_) TakeOver(id, slot);
    return slot;
  }
  if (used_ * 2 >= table_->slots.size()) Grow();
  OwnTable& table = *table_;
  const size_t mask = table.slots.size() - 1;
  for (size_t i = SlotOf(id, mask);; i = (i + 1) & mask) {
    Slot& slot = table.slots[i];
    if (OwnFree(slot)) {
      // Whoever takes the slot takes it for id; an earlier store's marks
      // go.
      if (slot.store != table.serial) {
        slot = Slot{};
        slot.store = table.serial;
      }
      table.ids[i] = id;
      return slot;
    }
    if (table.ids[i] == id) return slot;
  }
}

DannStore::Slot* DannStore::ResolveSlow(Id id) {
  if (!ok()) return nullptr;
  if (!hints_.empty()) TakeHints();
  if (Probe(id).node == kPending) FetchPending();
  Slot& slot = Probe(id);
  if (slot.node == kUnused || slot.node == kRetry) {
    if (slot.node == kUnused) ++used_;
    Bind(slot, Fetch(id));
  }
  if (slot.node == kMissing || !ok()) return nullptr;
  if (slot.parsed == 0) {
    Entry& entry = (*nodes_)[slot.node];
    if (!entry.parsed) Parse(id, entry);
    if (!ok()) return nullptr;
    slot.parsed = 1;
    slot.live = entry.view.deleted ? 0 : 1;
  }
  return &slot;
}

DannStore::Entry* DannStore::Find(Id id) {
  Slot* slot = Resolve(id);
  return slot != nullptr ? &(*nodes_)[slot->node] : nullptr;
}

Result<bool> DannStore::GetRow(Id id, std::string_view& row) const {
  auto keep = [&row](std::string_view v) { row = v; };
  if (view_ != nullptr) return view_->view_get_with(ns_, dann_node_row_key(id), keep);
  return get_row_with(*ctx_, ns_, dann_node_row_key(id), keep);
}

void DannStore::FetchPending() {
  if (view_ == nullptr) {
    for (uint64_t id : pending_) cache_->PrefetchNode(id);
    for (uint64_t id : pending_) {
      const uint32_t node = Fetch(id);
      // A failed read is not recorded: Visit reads the row again and keeps
      // the failure then, so that failures surface in the order the search
      // meets them.
      const bool failed = !ok();
      if (failed) status_ = Ok();
      Bind(Probe(id), failed ? kRetry : node);
    }
    pending_.clear();
    return;
  }
  // Row keys of 9 bytes each, side by side in one reused buffer.
  constexpr size_t kKeyBytes = 9;
  pending_keys_.resize(pending_.size() * kKeyBytes);
  pending_views_.clear();
  for (size_t i = 0; i < pending_.size(); ++i) {
    char* key = pending_keys_.data() + i * kKeyBytes;
    key[0] = kDannNodePrefix;
    EncodeFixed64BE(key + 1, pending_[i]);
    pending_views_.emplace_back(key, kKeyBytes);
  }
  pending_found_.assign(pending_.size(), kMissing);
  Status read = view_->view_get_batch(ns_, pending_views_, [this](size_t i, std::string_view row) {
    pending_found_[i] = AddRow(row);
    if (locations_ != nullptr) locations_->Remember(pending_[i], row);
  });
  for (size_t i = 0; i < pending_.size(); ++i) {
    // Past a failed read nothing is known: those rows are read again alone.
    Bind(Probe(pending_[i]), !read.has_value() && pending_found_[i] == kMissing ? kRetry : pending_found_[i]);
  }
  pending_.clear();
}

uint32_t DannStore::AddLastingRow(std::string_view row) {
  const uint32_t at = AddRow(row);
  (*nodes_)[at].lasting = true;
  return at;
}

// A query's store asks into the second-level cache only: a list's fresh
// rows (some 32 of about 1.8 KiB for 384 floats) are more than the
// first-level cache holds, so loading them all there pushed out the first
// ones before they were scored.
void DannStore::AskForLines(const char* p, size_t bytes) const {
  for (const char* end = p + bytes; p < end; p += kCacheLine) {
    if (view_ != nullptr) {
      port::PrefetchLineToL2(p);
    } else {
      Prefetch(p);
    }
  }
}

uint32_t DannStore::AddRow(std::string_view row) {
  // The row is parsed and its vector scored shortly: start fetching all of
  // it now so that its lines arrive meanwhile.
  AskForLines(row.data(), row.size());
  Entry& entry = nodes_->emplace_back();
  entry.row = row;
  entry.lasting = keep_rows_;
  return static_cast<uint32_t>(nodes_->size() - 1);
}

uint32_t DannStore::Fetch(Id id) {
  Entry entry;
  if (cache_ != nullptr) {
    if (const auto* held = cache_->Held(id)) {
      if (*held == nullptr) return kMissing;
      const DiskHnswNode& node = **held;
      entry.owned = held->get();
      entry.view.deleted = node.deleted;
      entry.view.key = node.key;
      entry.view.layer_count = static_cast<uint32_t>(node.layers.size());
      entry.parsed = true;
      entry.lasting = true;
      nodes_->push_back(std::move(entry));
      return static_cast<uint32_t>(nodes_->size() - 1);
    }
  }
  if (cache_ != nullptr && id < cache_->rows.size() && !cache_->rows[id].empty()) {
    const std::string& copy = cache_->rows[id];
    const size_t skip = 1 + static_cast<uint8_t>(copy[0]);
    return AddLastingRow(std::string_view(copy).substr(skip));
  }
  if (locations_ != nullptr) {
    if (std::string_view row = locations_->Find(id); !row.empty()) return AddRow(row);
  }
  Result<bool> found = GetRow(id, entry.row);
  if (!found.has_value()) {
    status_ = Fail(found.error());
    return kMissing;
  }
  if (!*found) return kMissing;
  if (locations_ != nullptr) locations_->Remember(id, entry.row);
  // Later inserts of this cache are likely to meet the node too: a copy
  // costs less than one more descent of the B-tree to the row, which a
  // write between them may have moved.
  if (cache_ != nullptr && !cache_->few_ids && id < kMaxCopiedId && cache_->copied_bytes < kMaxCopiedBytes) {
    return AddLastingRow(CopyRow(id, entry.row));
  }
  return AddRow(entry.row);
}

std::string_view DannStore::CopyRow(Id id, std::string_view row) {
  std::vector<std::string>& rows = cache_->rows;
  if (id >= rows.size()) rows.resize(std::max<size_t>(id + 1, rows.size() * 2));
  // The vector starts 9 bytes and the key's length into the row; a heap
  // block is 16-aligned, so this padding puts the vector on a 16-byte
  // boundary and it is scored in place rather than copied first.
  const size_t key_len = row.size() >= 5 ? DecodeFixed32LE(row.data() + 1) : 0;
  const size_t pad = (16 - (1 + 9 + key_len % 16) % 16) % 16;
  std::string& copy = rows[id];
  copy.reserve(1 + pad + row.size());
  copy.assign(1, static_cast<char>(pad));
  copy.append(pad, '\0');
  copy.append(row);
  cache_->copied_bytes += copy.capacity();
  return std::string_view(copy).substr(1 + pad);
}

void DannStore::Parse(Id id, Entry& entry) {
  if (!ParseDannNode(entry.row, entry.view, upper_)) {
    status_ = Fail(MalformedDannNode(ns_, id));
    return;
  }
  entry.parsed = true;
}

void DannStore::Grow() {
  ++moves_;
  OwnTable& table = *table_;
  PagedVector<Slot> old = std::move(table.slots);
  PagedVector<uint64_t> old_ids = std::move(table.ids);
  // Stamped 0, which no serial is: free.
  table.slots.assign(std::max(first_slots_ != 0 ? first_slots_ : kFirstSlots, old.size() * 2), Slot{});
  table.ids.assign(table.slots.size(), 0);
  const size_t mask = table.slots.size() - 1;
  for (size_t k = 0; k < old.size(); ++k) {
    if (OwnFree(old[k])) continue;
    size_t i = SlotOf(old_ids[k], mask);
    while (!OwnFree(table.slots[i])) i = (i + 1) & mask;
    table.slots[i] = old[k];
    table.ids[i] = old_ids[k];
  }
}

}  // namespace dann_internal

}  // namespace pallix
