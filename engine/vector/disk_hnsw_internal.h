// The store of hnsw_search_layer over node rows, shared by the write side
// (rows read through a WriteCtx) and the read side (through a ReadView).
// Private to disk_hnsw.cc and its test.

#ifndef PALLIX_VECTOR_DISK_HNSW_INTERNAL_H_
#define PALLIX_VECTOR_DISK_HNSW_INTERNAL_H_

#include <limits>
#include <memory>
#include <span>
#include <unordered_set>
#include <utility>

#include "vector/disk_hnsw.h"

namespace pallix::dann_internal {

// Load(id) -> Result<std::shared_ptr<const DiskHnswNode>> (null: no row).
//
// A node without a row is never visited: Visit reports it as seen, so it
// takes no place among candidates or results and its (missing) list is
// never walked. The first load failure is kept; ok() then turns false and
// the layer search stops.
template <typename Load>
class DannStore {
 public:
  using Id = uint64_t;

  DannStore(Load load, QueryScorer& scorer) : load_(std::move(load)), scorer_(scorer) {}

  void StartVisits() { visited_.clear(); }
  bool Visit(Id id) {
    if (!visited_.insert(id).second) return false;
    return Node(id) != nullptr;
  }
  float Distance(Id id) {
    const DiskHnswNode* node = Node(id);
    return node != nullptr ? scorer_(node->stored.ref()) : std::numeric_limits<float>::infinity();
  }
  std::span<const uint64_t> Neighbours(Id id, uint32_t layer) {
    const DiskHnswNode* node = Node(id);
    if (node == nullptr || layer >= node->layers.size()) return {};
    return node->layers[layer];
  }
  bool ok() const { return status_.has_value(); }
  Status status() const { return status_; }

  // The node, or null when its row is missing or its load failed.
  const DiskHnswNode* Node(Id id) {
    if (!ok()) return nullptr;
    Result<std::shared_ptr<const DiskHnswNode>> node = load_(id);
    if (!node.has_value()) {
      status_ = Fail(node.error());
      return nullptr;
    }
    return node->get();
  }

 private:
  Load load_;
  QueryScorer& scorer_;
  std::unordered_set<uint64_t> visited_;
  Status status_;
};

// One layer search from entry; empty when the entry has no row.
template <typename Load>
Result<std::vector<ScoredNode<uint64_t>>> SearchLayer(DannStore<Load>& store, uint64_t entry, uint64_t ef,
                                                      uint32_t layer) {
  if (store.Node(entry) == nullptr) {
    RETURN_IF_ERROR(store.status());
    return std::vector<ScoredNode<uint64_t>>{};
  }
  auto found = hnsw_search_layer(store, entry, ef, layer);
  RETURN_IF_ERROR(store.status());
  return found;
}

}  // namespace pallix::dann_internal

#endif  // PALLIX_VECTOR_DISK_HNSW_INTERNAL_H_
