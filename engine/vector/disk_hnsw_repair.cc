// The on-disk graph's side of the repair (declared in
// vector/disk_hnsw_repair.h): its access for HnswRepairStep over the rows
// of one write transaction.
//
// While sweeping, nothing is written until the step ends: the slice's node
// rows are read in one range scan and parsed in place, other nodes through
// a DannStore (whose views of rows a write would invalidate), which is the
// insert's store: relinked lists are scored, chosen and changed as an
// insert's pruning does it, into a node cache; the cache, the new queue
// rows, the meta and the cursor are written at the end. Which nodes are queued is
// read once per step from the queue rows, so telling whether a neighbour
// is doomed costs no row read. While dropping, rows are deleted as the
// step goes, so nodes are read as decoded copies (load_dann_node) instead,
// and a dropped node is forgotten by the cache (DannNodeCache::Forget).

#include "vector/disk_hnsw_repair.h"

#include <memory>
#include <optional>
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

constexpr size_t kCursorBytes = 17;
constexpr size_t kQueueKeyBytes = 10;
constexpr size_t kNodeKeyBytes = 9;
// Rows read per range scan where a walk must go on until a prefix ends.
constexpr size_t kScanBatch = 1024;

uint8_t Parity(uint64_t pass) { return static_cast<uint8_t>(pass & 1); }

class DannRepair {
 public:
  using Id = uint64_t;

  DannRepair(WriteCtx& ctx, std::string_view ns, const DiskHnswParams& params, DiskHnswMeta& meta,
             HnswRepairCursor& cursor)
      : ctx_(ctx),
        ns_(ns),
        params_(params),
        meta_(meta),
        cursor_(cursor),
        as_codes_(params.has_codebook() || params.quant != Quantization::kNone),
        unused_(params.codebook.get(), params.metric, params.quant, QueryRef{}) {}

  // The sweep's reads: the queued set and a store for the nodes outside
  // the slice.
  Status BeginSweep() {
    RETURN_IF_ERROR(LoadQueued());
    store_ = std::make_unique<DannStore>(ctx_, cache_, ns_, params_, unused_, std::span<const float>());
    return Ok();
  }
  // Writes what the step changed, the store gone first.
  Status Finish() {
    store_.reset();
    swept_.clear();
    RETURN_IF_ERROR(flush_dann_nodes(ctx_, ns_, cache_));
    for (uint64_t id : newly_queued_) RETURN_IF_ERROR(put_row(ctx_, ns_, dann_queue_row_key(cursor_.pass, id), ""));
    return Ok();
  }
  Status status() const { return status_; }

  // ------------------------------------------------ HnswRepairGraph

  HnswRepairCursor& cursor() { return cursor_; }
  bool ok() const { return status_.has_value(); }

  std::vector<Id> NextPresent(uint64_t from, size_t max) {
    std::vector<Id> out;
    Result<std::vector<Row>> rows = scan_rows_from(ctx_, ns_, dann_node_row_key(from), max);
    if (!rows) {
      Failed(rows.error());
      return out;
    }
    slice_rows_ = std::move(*rows);
    for (const Row& row : slice_rows_) {
      if (row.key.size() != kNodeKeyBytes || row.key[0] != kDannNodePrefix) break;
      const uint64_t id = DecodeFixed64BE(row.key.data() + 1);
      DannNodeView view;
      // A damaged row is passed by as a live node without lists: the repair
      // cannot mend it, and a write fails on it only where an insert or a
      // relink must read it.
      if (!dann_internal::ParseDannNode(row.value, view)) view = DannNodeView{};
      swept_.emplace(id, view);
      out.push_back(id);
    }
    return out;
  }
  bool Present(Id id) { return Find(id).present; }
  bool Deleted(Id id) { return Find(id).deleted; }
  bool Doomed(Id id) const { return queued_.contains(id); }
  bool Queued(Id id) const { return queued_.contains(id); }
  void Queue(Id id) {
    queued_.insert(id);
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

  NodeRef Find(Id id) {
    NodeRef ref;
    if (!ok()) return ref;
    if (store_ == nullptr || cache_.changed.contains(id)) {
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
    if (auto it = swept_.find(id); it != swept_.end()) {
      const DannNodeView& v = it->second;
      return {true, v.deleted, v.layer_count, nullptr, &v};
    }
    const DannNodeView* v = store_->Node(id);
    if (!store_->ok()) {
      Failed(store_->status().error());
      return ref;
    }
    if (v == nullptr) return ref;
    return {true, v->deleted, v->layer_count, nullptr, nullptr};
  }

  Status LoadQueued() {
    std::string start(1, kDannQueuePrefix);
    while (true) {
      ASSIGN_OR_RETURN(std::vector<Row> rows, scan_rows_from(ctx_, ns_, start, kScanBatch));
      for (const Row& row : rows) {
        if (row.key.empty() || row.key[0] != kDannQueuePrefix) return Ok();
        if (row.key.size() == kQueueKeyBytes) queued_.insert(DecodeFixed64BE(row.key.data() + 2));
      }
      if (rows.size() < kScanBatch) return Ok();
      start = rows.back().key;
      start.push_back('\0');
    }
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
  DannNodeCache cache_;
  std::unique_ptr<DannStore> store_;
  std::vector<Row> slice_rows_;  // the slice's node rows, which swept_ views
  std::unordered_map<uint64_t, DannNodeView> swept_;
  std::unordered_set<uint64_t> queued_;
  std::vector<uint64_t> newly_queued_;
  Status status_;
};

// The repair row; none when the graph has none yet, or a damaged one. A
// repair may start over at any time: a new pass from id 0 drops only nodes
// queued before it began, after it has gone over every node, whatever
// pass number either parity's rows were queued under.
Result<std::optional<HnswRepairCursor>> ReadCursor(WriteCtx& ctx, std::string_view ns) {
  ASSIGN_OR_RETURN(std::optional<std::string> row, get_row(ctx, ns, kDannRepairKey));
  if (!row) return std::optional<HnswRepairCursor>();
  Result<HnswRepairCursor> cursor = decode_dann_repair_cursor(ns, *row);
  if (!cursor) return std::optional<HnswRepairCursor>();
  return std::optional<HnswRepairCursor>(*cursor);
}

}  // namespace

std::string encode_dann_repair_cursor(const HnswRepairCursor& cursor) {
  std::string out;
  PutFixed64BE(&out, cursor.pass);
  out.push_back(cursor.dropping ? '\1' : '\0');
  PutFixed64BE(&out, cursor.next);
  return out;
}

Result<HnswRepairCursor> decode_dann_repair_cursor(std::string_view ns, std::string_view bytes) {
  if (bytes.size() != kCursorBytes || static_cast<uint8_t>(bytes[8]) > 1) {
    return Fail(EngineError::CorruptIndex("malformed repair row in index namespace '" + std::string(ns) + "'"));
  }
  HnswRepairCursor cursor;
  cursor.pass = DecodeFixed64BE(bytes.data());
  cursor.dropping = bytes[8] == 1;
  cursor.next = DecodeFixed64BE(bytes.data() + 9);
  return cursor;
}

std::string dann_queue_row_key(uint64_t pass, uint64_t id) {
  std::string out(1, kDannQueuePrefix);
  out.push_back(static_cast<char>(Parity(pass)));
  PutFixed64BE(&out, id);
  return out;
}

Result<HnswRepairCounts> dann_repair(WriteCtx& ctx, std::string_view ns, const DiskHnswParams& params,
                                     const HnswRepairLimits& limits) {
  ASSIGN_OR_RETURN(DiskHnswMeta meta, read_dann_meta(ctx, ns));
  if (meta.next == 0) return HnswRepairCounts{};
  ASSIGN_OR_RETURN(std::optional<HnswRepairCursor> stored, ReadCursor(ctx, ns));
  HnswRepairCursor cursor = stored.value_or(HnswRepairCursor{});
  const DiskHnswMeta meta_before = meta;
  DannRepair access(ctx, ns, params, meta, cursor);
  if (!cursor.dropping) RETURN_IF_ERROR(access.BeginSweep());
  HnswRepairCounts counts = HnswRepairStep(access, limits);
  RETURN_IF_ERROR(access.status());
  RETURN_IF_ERROR(access.Finish());
  if (meta != meta_before) RETURN_IF_ERROR(put_row(ctx, ns, kDannMetaKey, encode_dann_meta(meta)));
  if (cursor != stored) {
    RETURN_IF_ERROR(put_row(ctx, ns, kDannRepairKey, encode_dann_repair_cursor(cursor)));
  }
  return counts;
}

}  // namespace pallix
