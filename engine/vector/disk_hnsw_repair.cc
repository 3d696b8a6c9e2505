// The on-disk graph's side of the repair (declared in
// vector/disk_hnsw_repair.h): its access for HnswRepairStep over the rows
// of one write transaction.
//
// While sweeping, or repairing around removed nodes, nothing is written
// until the step ends: the slice's node rows are walked once and their
// lists copied (their vectors left where they are), other nodes through a DannStore (whose views of rows a
// write would invalidate), which is the insert's store: relinked lists are
// scored, chosen and changed as an insert's pruning does it, into a node
// cache; the cache, the new queue rows, the meta and the cursor are written
// at the end. Which nodes are queued is read once per sweep step from the
// queue rows, up to kQueueMemo of them, so telling whether a neighbour is
// doomed costs no row read; past that (a bulk removal), a neighbour is
// doomed when it is deleted, which its row tells. While dropping, rows are
// deleted as the step goes, so nodes are read as decoded copies
// (load_dann_node) instead, and a dropped node is forgotten by the cache
// (DannNodeCache::Forget).

#include "vector/disk_hnsw_repair.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/coding.h"
#include "vector/disk_hnsw_internal.h"

namespace pallix {

namespace {

using dann_internal::DannLinks;
using dann_internal::DannNodeView;
using dann_internal::DannStore;

constexpr size_t kCursorBytes = 33;
constexpr size_t kDebtCursorBytes = 25;  // written by earlier builds: no anchors kept
constexpr size_t kOldCursorBytes = 17;   // written by earlier builds: no debt
constexpr size_t kQueueKeyBytes = 10;
constexpr size_t kNodeKeyBytes = 9;
// Rows read per range scan where a walk must go on until a prefix ends.
constexpr size_t kScanBatch = 1024;
// The most queue rows a sweep step reads to know the queued nodes.
constexpr size_t kQueueMemo = 4096;

uint8_t Parity(uint64_t pass) { return static_cast<uint8_t>(pass & 1); }

// A set of node ids that answers "no" for sure and "maybe" otherwise: one
// bit per hash of an id, 2^16 bits, so that a few hundred ids leave about
// one "maybe" in two hundred for ids outside the set.
class DannIdFilter {
 public:
  DannIdFilter() : words_(kWords, 0) {}
  void Add(uint64_t id) {
    const uint32_t bit = Bit(id);
    words_[bit >> 6] |= uint64_t{1} << (bit & 63);
  }
  bool MayHold(uint64_t id) const {
    const uint32_t bit = Bit(id);
    return (words_[bit >> 6] >> (bit & 63)) & 1;
  }

 private:
  static constexpr size_t kBits = 16;
  static constexpr size_t kWords = (size_t{1} << kBits) / 64;
  // Fibonacci hashing: ids are dense counters, and the top bits of the
  // product spread neighbouring ones apart.
  static uint32_t Bit(uint64_t id) { return static_cast<uint32_t>((id * 0x9E3779B97F4A7C15ull) >> (64 - kBits)); }
  std::vector<uint64_t> words_;
};

class DannRepair {
 public:
  using Id = uint64_t;

  // many: a bulk's pass, which changes most nodes of the graph (the cache
  // then keeps them by id).
  DannRepair(WriteCtx& ctx, std::string_view ns, const DiskHnswParams& params, DiskHnswMeta& meta,
             HnswRepairCursor& cursor, bool many = false)
      : ctx_(ctx),
        ns_(ns),
        params_(params),
        meta_(meta),
        cursor_(cursor),
        as_codes_(params.has_codebook() || params.quant != Quantization::kNone),
        unused_(params.codebook.get(), params.metric, params.quant, QueryRef{}),
        cache_(!many) {}

  // The sweep's reads: the queued set (with_queue; without, each test
  // reads the node's queue rows) and a store for the nodes outside the
  // slice.
  Status BeginSweep(bool with_queue) {
    if (with_queue) RETURN_IF_ERROR(LoadQueued());
    BeginStore();
    return Ok();
  }
  // Writes what the step changed, the store gone first.
  Status Finish() {
    store_.reset();
    ForgetSlice();
    RETURN_IF_ERROR(flush_dann_nodes(ctx_, ns_, cache_));
    for (uint64_t id : newly_queued_) RETURN_IF_ERROR(put_row(ctx_, ns_, dann_queue_row_key(cursor_.pass, id), ""));
    return Ok();
  }
  Status status() const { return status_; }

  // ------------------------------------------------ HnswRepairGraph

  HnswRepairCursor& cursor() { return cursor_; }
  bool ok() const { return status_.has_value(); }

  // The slice is walked in place, and of each row only its lists are kept
  // (a node's vector, most of its row, is read through the store when a
  // relink scores it, which a few of the slice's nodes need).
  std::vector<Id> NextPresent(uint64_t from, size_t max) {
    std::vector<Id> out;
    ForgetSlice();
    slice_lists_.clear();
    slice_lists_.reserve(max);  // never grows past: the views point into it
    Status walked = for_each_row_from(
        ctx_, ns_, dann_node_row_key(from), [&](std::string_view key, std::string_view value) -> Result<bool> {
          if (out.size() == max || key.size() != kNodeKeyBytes || key[0] != kDannNodePrefix) return false;
          const uint64_t id = DecodeFixed64BE(key.data() + 1);
          DannNodeView view;
          // A damaged row is passed by as a live node without lists: the
          // repair cannot mend it, and a write fails on it only where an
          // insert or a relink must read it.
          if (dann_internal::ParseDannNode(value, view)) {
            const std::string& lists = slice_lists_.emplace_back(
                view.layers, static_cast<size_t>(value.data() + value.size() - view.layers));
            view.layers = lists.data();
            view.key = {};
            view.stored = {};
          } else {
            view = DannNodeView{};
          }
          swept_.emplace(id, view);
          swept_low_ = std::min(swept_low_, id);
          swept_high_ = std::max(swept_high_, id);
          out.push_back(id);
          return true;
        });
    if (!walked) Failed(walked.error());
    return out;
  }
  static uint64_t Born(Id id) { return id; }  // ids are never reused
  bool Present(Id id) { return Find(id).present; }
  bool Deleted(Id id) { return Find(id).deleted; }
  // Every queued node is deleted.
  bool Doomed(Id id) { return queue_known_ ? KnownQueued(id) : Deleted(id); }
  bool Queued(Id id) {
    if (queue_known_ || (may_be_queued_.MayHold(id) && queued_.contains(id))) return KnownQueued(id);
    for (uint64_t parity : {0, 1}) {
      auto row = get_row(ctx_, ns_, dann_queue_row_key(parity, id));
      if (!row) {
        Failed(row.error());
        return false;
      }
      if (row->has_value()) return true;
    }
    return false;
  }
  void Queue(Id id) {
    queued_.insert(id);
    may_be_queued_.Add(id);
    newly_queued_.push_back(id);
  }
  uint32_t Layers(Id id) { return Find(id).layers; }
  DannLinks Links(Id id, uint32_t layer) {
    NodeRef node = Find(id);
    if (!node.present || layer >= node.layers) return {};
    if (node.owned != nullptr) return DannLinks(node.owned->layers[layer]);
    if (node.view != nullptr) return node.view->Links(layer);
    return store_->Neighbours(id, layer);
  }
  // Lists change, are scored and chosen as the insert's own (the store is
  // an HnswInsertStore): the node goes into the cache, marked changed, and
  // the store reads it there from then on.
  void SetLinks(Id id, uint32_t layer, std::span<const Id> ids) {
    store_->SetLinks(id, layer, ids.data(), ids.size());
    if (!store_->ok()) Failed(store_->status().error());
  }
  size_t Cap(uint32_t layer) const { return layer > 0 ? params_.m : params_.m0; }
  void ScoreFrom(Id from, const Id* ids, size_t n, float* out) {
    store_->ScoreFrom(from, ids, n, out);
    if (!store_->ok()) Failed(store_->status().error());
  }

  std::optional<Id> Entry() const { return meta_.has_entry ? std::optional<Id>(meta_.entry) : std::nullopt; }
  void SetEntry(std::optional<Id> id) {
    meta_.has_entry = id.has_value();
    meta_.entry = id.value_or(0);
  }
  // The first live node by id: a walk over the node rows, needed only
  // when a deleted entry point has no live neighbour at all.
  std::optional<Id> FirstLive(Id except) {
    std::string start = dann_node_row_key(0);
    while (ok()) {
      Result<std::vector<Row>> rows = scan_rows_from(ctx_, ns_, start, kScanBatch);
      if (!rows) {
        Failed(rows.error());
        return std::nullopt;
      }
      for (const Row& row : *rows) {
        if (row.key.size() != kNodeKeyBytes || row.key[0] != kDannNodePrefix) return std::nullopt;
        const uint64_t id = DecodeFixed64BE(row.key.data() + 1);
        DannNodeView view;
        if (id != except && dann_internal::ParseDannNode(row.value, view) && !view.deleted) return id;
      }
      if (rows->size() < kScanBatch) return std::nullopt;
      start = rows->back().key;
      start.push_back('\0');
    }
    return std::nullopt;
  }

  std::vector<Id> ReadyBatch(size_t max) {
    std::vector<Id> out;
    const std::string prefix = dann_queue_row_key(cursor_.pass + 1, 0).substr(0, 2);
    Result<std::vector<Row>> rows = scan_rows_from(ctx_, ns_, prefix, max);
    if (!rows) {
      Failed(rows.error());
      return out;
    }
    for (const Row& row : *rows) {
      if (!row.key.starts_with(prefix)) break;
      if (row.key.size() == kQueueKeyBytes) {
        out.push_back(DecodeFixed64BE(row.key.data() + 2));
        continue;
      }
      // A damaged queue row names no node: it is dropped.
      if (auto gone = delete_row_counted(ctx_, ns_, row.key); !gone) {
        Failed(gone.error());
        return out;
      }
    }
    return out;
  }
  void Drop(Id id) {
    auto loaded = load_dann_node(ctx_, ns_, cache_, params_.has_codebook(), params_.quant, id);
    if (!loaded) return Failed(loaded.error());
    // A queue row of a node that is gone or live again names nothing to drop.
    if (*loaded != nullptr && (*loaded)->deleted) {
      if (auto gone = delete_row_counted(ctx_, ns_, dann_node_row_key(id)); !gone) return Failed(gone.error());
      if (meta_.deleted > 0) --meta_.deleted;
    }
    // Nor is it written back, or met again by a later read of the step.
    cache_.Forget(id);
    if (auto gone = delete_row_counted(ctx_, ns_, dann_queue_row_key(cursor_.pass + 1, id)); !gone)
      Failed(gone.error());
  }
  void StartPass() {}
  // The step's drops are done (no row is deleted from here on): nodes are
  // read in place again, and lists may change, as while sweeping.
  void EndDrops() { BeginStore(); }

 private:
  // A node as the step sees it: changed in this step (owned), in the
  // slice (view), or read through the store or the cache.
  struct NodeRef {
    bool present = false;
    bool deleted = false;
    uint32_t layers = 0;
    const DiskHnswNode* owned = nullptr;
    const DannNodeView* view = nullptr;
  };

  void ForgetSlice() {
    swept_.clear();
    swept_low_ = UINT64_MAX;
    swept_high_ = 0;
  }

  void BeginStore() {
    store_ = std::make_unique<DannStore>(ctx_, cache_, ns_, params_, unused_, std::span<const float>());
    // A step meets a few hundred nodes; a bulk's pass, most of the graph.
    if (cache_.few_ids) store_->ExpectFewNodes();
  }

  NodeRef Find(Id id) {
    NodeRef ref;
    if (!ok()) return ref;
    if (store_ == nullptr || cache_.changed.contains(id)) {
      // A changed node is the cache's already: no load, nor a reference
      // taken and dropped again (most of the nodes a patch looks at are).
      if (store_ != nullptr) {
        if (const DiskHnswNode* held = cache_.HeldNode(id)) {
          return {true, held->deleted, static_cast<uint32_t>(held->layers.size()), held, nullptr};
        }
      }
      auto loaded = load_dann_node(ctx_, ns_, cache_, params_.has_codebook(), params_.quant, id);
      if (!loaded) {
        Failed(loaded.error());
        return ref;
      }
      if (*loaded == nullptr) return ref;
      // The cache keeps its own reference until the step ends.
      ref.owned = loaded->get();
      return {true, ref.owned->deleted, static_cast<uint32_t>(ref.owned->layers.size()), ref.owned, nullptr};
    }
    // The slice is a run of ids: most nodes a step looks at lie outside it.
    if (id >= swept_low_ && id <= swept_high_) {
      if (auto it = swept_.find(id); it != swept_.end()) {
        const DannNodeView& v = it->second;
        return {true, v.deleted, v.layer_count, nullptr, &v};
      }
    }
    const DannNodeView* v = store_->Node(id);
    if (!store_->ok()) {
      Failed(store_->status().error());
      return ref;
    }
    if (v == nullptr) return ref;
    return {true, v->deleted, v->layer_count, nullptr, nullptr};
  }

  // The queued set, when at most kQueueMemo rows hold it: a walk over the
  // queue rows read in place (every sweep step reads them), into a sorted
  // array (a few hundred ids, looked up for each neighbour the slice names).
  Status LoadQueued() {
    const std::string start(1, kDannQueuePrefix);
    size_t seen = 0;
    bool whole = true;
    RETURN_IF_ERROR(for_each_row_from(ctx_, ns_, start, [&](std::string_view key, std::string_view) -> Result<bool> {
      if (key.empty() || key[0] != kDannQueuePrefix) return false;
      if (++seen > kQueueMemo) {
        whole = false;
        return false;
      }
      if (key.size() == kQueueKeyBytes) {
        known_queued_.push_back(DecodeFixed64BE(key.data() + 2));
        may_be_queued_.Add(known_queued_.back());
      }
      return true;
    }));
    if (!whole) {
      // The filter keeps the bits it has: it may only answer "maybe" too often.
      known_queued_.clear();
      return Ok();
    }
    // Two runs, one per parity, each ascending.
    std::sort(known_queued_.begin(), known_queued_.end());
    queue_known_ = true;
    return Ok();
  }
  bool KnownQueued(Id id) const {
    // A sweep step asks this of every id its slice's lists name (some two
    // thousand), and few are queued: the filter answers most of them.
    if (!may_be_queued_.MayHold(id)) return false;
    return std::binary_search(known_queued_.begin(), known_queued_.end(), id) || queued_.contains(id);
  }

  void Failed(const EngineError& error) {
    if (ok()) status_ = Fail(error);
  }

  WriteCtx& ctx_;
  std::string_view ns_;
  const DiskHnswParams& params_;
  DiskHnswMeta& meta_;
  HnswRepairCursor& cursor_;
  const bool as_codes_;
  QueryScorer unused_;  // the store's query, never asked: the step scores from nodes (ScoreFrom)
  DannNodeCache cache_;  // one step: a few hundred nodes at most; a bulk's pass: most of the graph
  std::unique_ptr<DannStore> store_;
  std::vector<std::string> slice_lists_;  // the lists of the slice's node rows, which swept_ views
  std::unordered_map<uint64_t, DannNodeView> swept_;
  uint64_t swept_low_ = UINT64_MAX;  // the least and the greatest id of swept_ (none: low > high)
  uint64_t swept_high_ = 0;
  std::vector<uint64_t> known_queued_;   // sorted: the queue rows' nodes, when queue_known_
  std::unordered_set<uint64_t> queued_;  // the nodes queued in this step
  DannIdFilter may_be_queued_;           // every id of known_queued_ and queued_
  bool queue_known_ = false;
  std::vector<uint64_t> newly_queued_;
  Status status_;
};

// The repair row as read: none when the graph has none yet, or a damaged
// one. Every graph this build makes has one from its first node on
// (dann_repair_new_graph), so a graph with nodes and without one was made
// by an earlier build, which kept no anchors. A repair may start over at any time: a new pass from id 0 drops
// only nodes queued before it began, after it has gone over every node,
// whatever pass number either parity's rows were queued under.
struct StoredCursor {
  std::optional<HnswRepairCursor> cursor;
  bool has_debt = false;  // a row of this build's layout
};

Result<StoredCursor> ReadCursor(WriteCtx& ctx, std::string_view ns) {
  ASSIGN_OR_RETURN(std::optional<std::string> row, get_row(ctx, ns, kDannRepairKey));
  StoredCursor out;
  if (!row) return out;
  Result<HnswRepairCursor> cursor = decode_dann_repair_cursor(ns, *row, &out.has_debt);
  if (cursor) out.cursor = *cursor;
  return out;
}

// The debt of a graph whose repair row holds none (a graph of an earlier
// build, a new graph, or a damaged row) that counts `deleted` deleted
// nodes from before this write: the pass under way and two more over
// every id handed out, and their drops, when it has any.
uint64_t DebtWithoutRow(const DiskHnswMeta& meta, uint64_t deleted) {
  if (deleted == 0) return 0;
  return meta.next > (UINT64_MAX - deleted) / 3 ? UINT64_MAX : 3 * meta.next + deleted;
}

// When removals were noted without their neighbours' anchors seen to (a
// bulk cut short, or a graph of an earlier build), every live node is
// given its anchor, before any list changes: till then deleted nodes still
// route searches to what they anchored.
Status AnchorIfOwed(WriteCtx& ctx, std::string_view ns, const DiskHnswParams& params, const HnswRepairLimits& limits,
                    DiskHnswMeta& meta, HnswRepairCursor& cursor) {
  if (cursor.unanchored == 0) return Ok();
  DannRepair access(ctx, ns, params, meta, cursor, /*many=*/true);
  RETURN_IF_ERROR(access.BeginSweep(false));
  hnsw_repair_internal::AnchorAll(access, limits);
  RETURN_IF_ERROR(access.status());
  RETURN_IF_ERROR(access.Finish());
  cursor.unanchored = 0;
  return Ok();
}

// One step, with an access of its own (a sweep's views of rows end with its
// step; the drops delete rows).
Status Step(WriteCtx& ctx, std::string_view ns, const DiskHnswParams& params, const HnswRepairLimits& limits,
            DiskHnswMeta& meta, HnswRepairCursor& cursor, HnswRepairCounts& counts) {
  DannRepair access(ctx, ns, params, meta, cursor);
  if (!cursor.dropping) RETURN_IF_ERROR(access.BeginSweep(true));
  counts = HnswRepairStep(access, limits);
  RETURN_IF_ERROR(access.status());
  return access.Finish();
}

// Every queue row goes: after a bulk's pass no queued node is left.
Status DeleteQueueRows(WriteCtx& ctx, std::string_view ns) {
  const std::string prefix(1, kDannQueuePrefix);
  while (true) {
    ASSIGN_OR_RETURN(std::vector<Row> rows, scan_rows_from(ctx, ns, prefix, kScanBatch));
    size_t queue_rows = 0;
    for (const Row& row : rows) {
      if (!row.key.starts_with(prefix)) break;
      ++queue_rows;
      RETURN_IF_ERROR(delete_row_counted(ctx, ns, row.key));
    }
    if (queue_rows < kScanBatch) return Ok();
  }
}

// The repair after a write, or a small bulk, that removed the nodes
// `removed` (HnswRepairAfterWrite); `noted` of the debt was added already,
// by dann_note_removal, and is taken off first, since the repair adds each
// removal's share.
Result<HnswRepairCounts> RepairAfter(WriteCtx& ctx, std::string_view ns, const DiskHnswParams& params,
                                     std::span<const uint64_t> removed, uint64_t noted,
                                     const HnswRepairLimits& limits) {
  ASSIGN_OR_RETURN(StoredCursor stored, ReadCursor(ctx, ns));
  // The usual write: the vector left alone, nothing owed.
  if (removed.empty() && stored.has_debt && stored.cursor->debt == 0 && stored.cursor->unanchored == 0)
    return HnswRepairCounts{};
  ASSIGN_OR_RETURN(DiskHnswMeta meta, read_dann_meta(ctx, ns));
  if (meta.next == 0) return HnswRepairCounts{};
  HnswRepairCursor cursor = stored.cursor.value_or(HnswRepairCursor{1, false, 0, 0, 1});
  if (!stored.has_debt) {
    cursor.debt = DebtWithoutRow(meta, meta.deleted - std::min<uint64_t>(meta.deleted, removed.size()));
  }
  cursor.debt -= std::min(cursor.debt, noted);
  // The removals noted by the bulk that calls this are seen to below.
  if (noted > 0) cursor.unanchored -= std::min<uint64_t>(cursor.unanchored, removed.size());
  if (removed.empty() && cursor.debt == 0 && cursor.unanchored == 0) return HnswRepairCounts{};
  const DiskHnswMeta meta_before = meta;
  HnswRepairCounts counts;
  RETURN_IF_ERROR(AnchorIfOwed(ctx, ns, params, limits, meta, cursor));
  const uint64_t keep = hnsw_repair_internal::DebtKept(cursor.debt, limits);
  if (!removed.empty()) {
    // While sweeping, the repair around the removed nodes and the first
    // step share one access: the queue is read once (which also tells
    // whether a removed node is queued, without reading its queue rows),
    // and a node both change is written once. The drops delete rows, so a
    // step of them reads through an access of its own.
    DannRepair access(ctx, ns, params, meta, cursor);
    const bool share = !cursor.dropping;
    RETURN_IF_ERROR(access.BeginSweep(share));
    hnsw_repair_internal::RepairRemoved(access, removed, limits, counts);
    RETURN_IF_ERROR(access.status());
    int idle = 0;
    if (share && cursor.debt > keep) {
      HnswRepairCounts one = HnswRepairStep(access, limits);
      RETURN_IF_ERROR(access.status());
      idle = one.passed + one.dropped == 0 ? 1 : 0;
      counts += one;
    }
    RETURN_IF_ERROR(access.Finish());
    Status status = Ok();
    hnsw_repair_internal::PayDebt(
        cursor, keep, counts,
        [&](HnswRepairCounts& one) {
          status = Step(ctx, ns, params, limits, meta, cursor, one);
          return status.has_value();
        },
        idle);
    RETURN_IF_ERROR(status);
  } else if (cursor.debt > 0) {
    RETURN_IF_ERROR(Step(ctx, ns, params, limits, meta, cursor, counts));
  }
  // Without deleted nodes nothing is owed, whatever an earlier build's
  // graph was taken to owe.
  if (meta.deleted == 0) cursor.debt = 0;
  if (meta != meta_before) RETURN_IF_ERROR(put_row(ctx, ns, kDannMetaKey, encode_dann_meta(meta)));
  if (!stored.has_debt || cursor != stored.cursor) {
    RETURN_IF_ERROR(put_row(ctx, ns, kDannRepairKey, encode_dann_repair_cursor(cursor)));
  }
  return counts;
}

}  // namespace

std::string encode_dann_repair_cursor(const HnswRepairCursor& cursor) {
  std::string out;
  PutFixed64BE(&out, cursor.pass);
  out.push_back(cursor.dropping ? '\1' : '\0');
  PutFixed64BE(&out, cursor.next);
  PutFixed64BE(&out, cursor.debt);
  PutFixed64BE(&out, cursor.unanchored);
  return out;
}

Result<HnswRepairCursor> decode_dann_repair_cursor(std::string_view ns, std::string_view bytes, bool* has_debt) {
  if ((bytes.size() != kCursorBytes && bytes.size() != kDebtCursorBytes && bytes.size() != kOldCursorBytes) ||
      static_cast<uint8_t>(bytes[8]) > 1) {
    return Fail(EngineError::CorruptIndex("malformed repair row in index namespace '" + std::string(ns) + "'"));
  }
  HnswRepairCursor cursor;
  cursor.pass = DecodeFixed64BE(bytes.data());
  cursor.dropping = bytes[8] == 1;
  cursor.next = DecodeFixed64BE(bytes.data() + 9);
  if (bytes.size() >= kDebtCursorBytes) cursor.debt = DecodeFixed64BE(bytes.data() + 17);
  // Builds that wrote the shorter rows kept no anchors.
  cursor.unanchored = bytes.size() == kCursorBytes ? DecodeFixed64BE(bytes.data() + 25) : 1;
  if (has_debt != nullptr) *has_debt = bytes.size() >= kDebtCursorBytes;
  return cursor;
}

std::string dann_queue_row_key(uint64_t pass, uint64_t id) {
  std::string out(1, kDannQueuePrefix);
  out.push_back(static_cast<char>(Parity(pass)));
  PutFixed64BE(&out, id);
  return out;
}

Status dann_repair_new_graph(WriteCtx& ctx, std::string_view ns) {
  return put_row(ctx, ns, kDannRepairKey, encode_dann_repair_cursor(HnswRepairCursor{}));
}

Result<HnswRepairCounts> dann_repair(WriteCtx& ctx, std::string_view ns, const DiskHnswParams& params,
                                     const HnswRepairLimits& limits) {
  ASSIGN_OR_RETURN(DiskHnswMeta meta, read_dann_meta(ctx, ns));
  if (meta.next == 0) return HnswRepairCounts{};
  ASSIGN_OR_RETURN(StoredCursor stored, ReadCursor(ctx, ns));
  HnswRepairCursor cursor = stored.cursor.value_or(HnswRepairCursor{1, false, 0, 0, 1});
  if (!stored.has_debt) cursor.debt = DebtWithoutRow(meta, meta.deleted);
  const DiskHnswMeta meta_before = meta;
  HnswRepairCounts counts;
  RETURN_IF_ERROR(AnchorIfOwed(ctx, ns, params, limits, meta, cursor));
  RETURN_IF_ERROR(Step(ctx, ns, params, limits, meta, cursor, counts));
  if (meta != meta_before) RETURN_IF_ERROR(put_row(ctx, ns, kDannMetaKey, encode_dann_meta(meta)));
  if (!stored.has_debt || cursor != stored.cursor) {
    RETURN_IF_ERROR(put_row(ctx, ns, kDannRepairKey, encode_dann_repair_cursor(cursor)));
  }
  return counts;
}

Result<HnswRepairCounts> dann_repair_after_write(WriteCtx& ctx, std::string_view ns, const DiskHnswParams& params,
                                                 std::optional<uint64_t> removed, const HnswRepairLimits& limits) {
  std::span<const uint64_t> ids;
  if (removed) ids = std::span<const uint64_t>(&*removed, 1);
  return RepairAfter(ctx, ns, params, ids, 0, limits);
}

Status dann_note_removal(WriteCtx& ctx, std::string_view ns, uint64_t removed, const HnswRepairLimits& limits) {
  ASSIGN_OR_RETURN(StoredCursor stored, ReadCursor(ctx, ns));
  HnswRepairCursor cursor = stored.cursor.value_or(HnswRepairCursor{1, false, 0, 0, 1});
  if (!stored.has_debt) {
    ASSIGN_OR_RETURN(DiskHnswMeta meta, read_dann_meta(ctx, ns));
    cursor.debt = DebtWithoutRow(meta, meta.deleted - std::min<uint64_t>(meta.deleted, 1));
  }
  RETURN_IF_ERROR(put_row(ctx, ns, dann_queue_row_key(cursor.pass, removed), ""));
  cursor.debt += std::min(limits.per_removal, UINT64_MAX - cursor.debt);
  if (cursor.unanchored < UINT64_MAX) ++cursor.unanchored;
  return put_row(ctx, ns, kDannRepairKey, encode_dann_repair_cursor(cursor));
}

Result<HnswRepairCounts> dann_repair_after_bulk(WriteCtx& ctx, std::string_view ns, const DiskHnswParams& params,
                                                std::span<const uint64_t> removed, const HnswRepairLimits& limits) {
  if (removed.empty()) return HnswRepairCounts{};
  ASSIGN_OR_RETURN(DiskHnswMeta meta, read_dann_meta(ctx, ns));
  if (meta.next == 0) return HnswRepairCounts{};
  // Ids are never reused, so the next one bounds the present nodes.
  if (!hnsw_repair_internal::BulkPasses(removed.size(), meta.next, limits)) {
    // Each removal noted its share of the debt; the per-node path adds it again.
    const uint64_t noted = removed.size() > UINT64_MAX / limits.per_removal ? UINT64_MAX
                                                                            : removed.size() * limits.per_removal;
    return RepairAfter(ctx, ns, params, removed, noted, limits);
  }
  ASSIGN_OR_RETURN(StoredCursor stored, ReadCursor(ctx, ns));
  HnswRepairCursor cursor = stored.cursor.value_or(HnswRepairCursor{});
  HnswRepairCounts counts;
  std::vector<uint64_t> deleted;  // the pass ends with every live node anchored
  {
    DannRepair access(ctx, ns, params, meta, cursor, /*many=*/true);
    RETURN_IF_ERROR(access.BeginSweep(false));  // without the queue, every deleted node is doomed
    deleted = hnsw_repair_internal::FullPass(access, limits, counts);
    RETURN_IF_ERROR(access.status());
    RETURN_IF_ERROR(access.Finish());
  }
  for (uint64_t id : deleted) RETURN_IF_ERROR(delete_row_counted(ctx, ns, dann_node_row_key(id)));
  counts.dropped = deleted.size();
  RETURN_IF_ERROR(DeleteQueueRows(ctx, ns));
  meta.deleted = 0;  // the pass met every node row, and dropped each deleted one
  RETURN_IF_ERROR(put_row(ctx, ns, kDannMetaKey, encode_dann_meta(meta)));
  RETURN_IF_ERROR(put_row(ctx, ns, kDannRepairKey, encode_dann_repair_cursor(cursor)));
  return counts;
}

}  // namespace pallix
