// The in-memory graph's side of the repair (vector/hnsw_repair.h): its
// access for HnswRepairStep, over the graph's blocks in place.

#include "vector/hnsw_repair.h"

#include <algorithm>

namespace pallix {

using hnsw_internal::RepairState;

class HnswMemoryRepair {
 public:
  using Id = uint32_t;

  explicit HnswMemoryRepair(HnswIndex& graph) : g_(graph), state_(*graph.repair_) {}

  HnswRepairCursor& cursor() { return state_.cursor; }

  std::vector<Id> NextPresent(uint64_t from, size_t max) const {
    std::vector<Id> out;
    for (uint64_t id = from; id < g_.node_count_ && out.size() < max; ++id) {
      if (state_.Mark(static_cast<Id>(id)) != RepairState::kDropped) out.push_back(static_cast<Id>(id));
    }
    return out;
  }
  bool Present(Id id) const { return id < g_.node_count_ && state_.Mark(id) != RepairState::kDropped; }
  bool Deleted(Id id) const { return !g_.key_slots_[id].live; }
  // Every tombstone is known at no cost: links to it go at the first pass.
  bool Doomed(Id id) const { return Deleted(id); }
  bool Queued(Id id) const { return state_.Mark(id) == RepairState::kQueued; }
  void Queue(Id id) {
    state_.SetMark(id, RepairState::kQueued);
    state_.waiting.push_back(id);
  }

  uint64_t Born(Id id) const { return g_.births_[id]; }
  uint32_t Layers(Id id) const { return g_.level(id) + 1; }
  std::span<const uint32_t> Links(Id id, uint32_t layer) const { return g_.neighbours(id, layer); }
  void SetLinks(Id id, uint32_t layer, std::span<const Id> ids) { g_.SetNeighbours(id, layer, ids); }
  static size_t Cap(uint32_t layer) { return layer > 0 ? kHnswM : kHnswM0; }

  // The insert's pruning distance (its store's ScoreFrom).
  void ScoreFrom(Id from, const Id* ids, size_t n, float* out) { g_.ScoreFrom(from, ids, n, out); }

  std::optional<Id> Entry() const { return g_.entry_; }
  void SetEntry(std::optional<Id> id) { g_.entry_ = id; }
  std::optional<Id> FirstLive(Id except) const {
    for (Id id = 0; id < g_.node_count_; ++id) {
      if (id != except && Present(id) && !Deleted(id)) return id;
    }
    return std::nullopt;
  }

  std::vector<Id> ReadyBatch(size_t max) {
    std::vector<Id> out;
    while (out.size() < max && !state_.ready.empty()) {
      out.push_back(state_.ready.back());
      state_.ready.pop_back();
    }
    return out;
  }
  // The node's upper lists are freed; its block waits for a new node.
  void Drop(Id id) {
    g_.FreeUpperLists(id);
    state_.SetMark(id, RepairState::kDropped);
    state_.free_ids.push_back(id);
  }
  void StartPass() {
    state_.ready.swap(state_.waiting);
    state_.waiting.clear();
  }
  static constexpr bool ok() { return true; }

  size_t PresentCount() const { return g_.node_count_ - state_.free_ids.size(); }
  // After a bulk's pass: every tombstone goes, and the queues with them
  // (each queued node is a tombstone).
  void DropAll(std::span<const Id> deleted) {
    for (Id id : deleted) Drop(id);
    state_.waiting.clear();
    state_.ready.clear();
  }
  std::vector<HnswUnlinked<Id>>& Unlinked() { return g_.unlinked_; }

 private:
  HnswIndex& g_;
  RepairState& state_;
};

HnswRepairCounts hnsw_repair(HnswIndex& graph, const HnswRepairLimits& limits) {
  HnswMemoryRepair access(graph);
  return HnswRepairStep(access, limits);
}

HnswRepairCounts hnsw_repair_after_write(HnswIndex& graph, std::optional<uint32_t> removed,
                                         const HnswRepairLimits& limits) {
  HnswMemoryRepair access(graph);
  std::span<const uint32_t> ids;
  if (removed) ids = std::span<const uint32_t>(&*removed, 1);
  return HnswRepairAfterWrite(access, ids, limits);
}

HnswRepairCounts hnsw_repair_after_bulk(HnswIndex& graph, std::span<const uint32_t> removed,
                                        const HnswRepairLimits& limits) {
  HnswMemoryRepair access(graph);
  if (!hnsw_repair_internal::BulkPasses(removed.size(), access.PresentCount(), limits))
    return HnswRepairAfterWrite(access, removed, limits);
  HnswRepairCounts counts;
  const std::vector<uint32_t> deleted = hnsw_repair_internal::FullPass(access, limits, counts);
  access.DropAll(deleted);
  counts.dropped += deleted.size();
  return counts;
}

namespace hnsw_internal {

void RepairNewNode(HnswIndex& graph, uint32_t id) {
  HnswMemoryRepair access(graph);
  HnswRepairNewNode(access, id);
  // Linking again adds no entry: the list is read as it stands.
  std::vector<HnswUnlinked<uint32_t>>& unlinked = access.Unlinked();
  HnswKeepLinked(access, std::span<const HnswUnlinked<uint32_t>>(unlinked));
  unlinked.clear();
}

void AnchorAroundReplaced(HnswIndex& graph, uint32_t id) {
  HnswMemoryRepair access(graph);
  HnswAnchorAround(access, id);
}

}  // namespace hnsw_internal

}  // namespace pallix
