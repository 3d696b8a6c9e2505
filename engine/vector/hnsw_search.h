// The graph search that both vector graphs share: the graph parameters,
// hnsw_search_layer over a small store interface (HnswLayerStore) and the
// greedy descent. The insert over its extension (HnswInsertStore) is in
// vector/hnsw_insert.h. The in-memory graph (vector/hnsw.h) and the
// on-disk graph (vector/disk_hnsw.h) each supply a store, so each rule
// exists once.
//
// Ordering: every ordering of (distance, node id) pairs compares distances
// by the IEEE total order of float32 (-0.0 before +0.0, NaN after +inf) and
// equal distances by node id ascending.
//
// Thread-safety: the functions here keep no state of their own; a store is
// used by one thread at a time, as its graph's owner serialises it.

#ifndef PALLIX_VECTOR_HNSW_SEARCH_H_
#define PALLIX_VECTOR_HNSW_SEARCH_H_

#include <algorithm>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "base/numeric.h"
#include "vector/hnsw_heap.h"
#include "vector/quant.h"

namespace pallix {

// Graph parameters of every vector graph.
inline constexpr uint32_t kHnswM = 16;                    // neighbour cap above layer 0
inline constexpr uint32_t kHnswM0 = 32;                   // neighbour cap on layer 0
inline constexpr uint32_t kHnswEfConstruction = 128;      // search width while inserting
inline constexpr double kHnswLevelMultiplier = 0.36067376022224085;  // 1 / ln 16
inline constexpr uint64_t kHnswSeed = 0x9E3779B97F4A7C15ull;        // xorshift64 seed
// The narrowest layer-0 search: ef = max(4 * k, k, 64).
inline constexpr uint64_t kHnswMinSearchEf = 64;

// The metric a graph links by: its own, but for "dot" the distance
// max(|a|^2, |b|^2) - dot(a, b) (Metric::kDotLink). The negated dot
// product is no distance (a node is not nearest to itself, and long
// vectors are "near" everything), so a graph linked by it prunes the nodes
// that point away from the long ones out of every list, and searches for
// them never get there. This one is half of |a - b|^2 + | |a|^2 - |b|^2 |:
// zero only between equal vectors, half the squared l2 distance between
// vectors of one length (so unit vectors link as under cosine); it is half
// the squared l2 distance once each pair is lifted, by one more component,
// onto the sphere of the longer one, the lift that turns the largest dot
// product into the nearest point. Searches still walk the graph by the dot
// product and rank by it.
inline Metric HnswLinkMetric(Metric metric) { return metric == Metric::kDot ? Metric::kDotLink : metric; }

// ---------------------------------------------------------------------------
// The shared graph search.

template <typename Id>
struct ScoredNode {
  float distance;
  Id id;
};

// The graph ordering: distance by total order, then id ascending.
template <typename Id>
inline bool ScoredBefore(const ScoredNode<Id>& a, const ScoredNode<Id>& b) {
  int32_t ka = TotalOrderKey(a.distance), kb = TotalOrderKey(b.distance);
  return ka != kb ? ka < kb : a.id < b.id;
}

// What hnsw_search_layer needs from a graph store, for one prepared query:
//   Id                      the node id type
//   StartVisits()           begins a fresh visited set for one layer search
//   Visit(id) -> bool       marks id visited; false when it already was
//   Distance(id) -> float   distance from the query to node id
//   Neighbours(id, layer)   the node's neighbour ids on that layer: a sized
//                           range indexable by position (empty when none)
//   ok() -> bool            false once the store failed (a node row that did
//                           not load); the search then stops early and the
//                           store keeps the failure
// and optionally DistanceBatch(ids, n, out), the distances of n nodes at
// once (the same values Distance gives; a store can overlap their memory
// loads and arithmetic), PrefetchVisit(id), a hint that Visit(id)
// follows shortly, and PrefetchNeighbours(id, layer), a hint that
// Neighbours(id, layer) does.
template <typename S>
concept HnswLayerStore = requires(S& s, typename S::Id id, uint32_t layer) {
  s.StartVisits();
  { s.Visit(id) } -> std::same_as<bool>;
  { s.Distance(id) } -> std::same_as<float>;
  { s.Neighbours(id, layer).size() } -> std::convertible_to<size_t>;
  { s.ok() } -> std::convertible_to<bool>;
};

namespace hnsw_internal {

// distances[i] = the store's distance to ids[i], all at once when the store
// can; false when the store failed meanwhile.
template <HnswLayerStore S>
bool ScoreAll(S& store, const std::vector<typename S::Id>& ids, std::vector<float>& distances) {
  distances.resize(ids.size());
  if constexpr (requires { store.DistanceBatch(ids.data(), ids.size(), distances.data()); }) {
    store.DistanceBatch(ids.data(), ids.size(), distances.data());
  } else {
    for (size_t i = 0; i < ids.size() && store.ok(); ++i) distances[i] = store.Distance(ids[i]);
  }
  return store.ok();
}

}  // namespace hnsw_internal

// The search primitive of insert and search: the (up to) ef nodes nearest to
// the query reachable from ep on `layer`, sorted by the graph ordering.
// Candidates pop closest first; the search stops once ef results are held
// and the closest candidate is farther than the worst result. A neighbour is
// admitted while fewer than ef results are held or when strictly closer
// than the worst. Those two tests are plain IEEE comparisons, so a NaN
// distance never stops the search and is admitted only while results are
// short. Memory grows with the nodes reached, never with ef itself.
//
// The unvisited neighbours of a candidate are marked and their distances
// computed before any of them is admitted: distances do not depend on the
// heaps, so this is the order of the one-at-a-time description, and it lets
// the store fetch all their vectors at once.
//
// With `admit`, only nodes it accepts enter the results: the others (the
// nodes of removed keys) are still reached, queued and walked through, but
// hold no place among the ef results, so a graph full of them needs no
// wider search to return ef usable nodes. The tests against the worst
// result then compare with the worst admitted one. Without it (every node
// admitted) this is the search above, as inserts use it.
//
// `also`, when given, is a second starting node, scored and queued like ep
// (the entry point, for a search that must reach every node the entry
// point reaches; see vector/hnsw_anchor.h).
template <HnswLayerStore S, typename Admit>
std::vector<ScoredNode<typename S::Id>> hnsw_search_layer_admitting(S& store, typename S::Id ep, uint64_t ef,
                                                                    uint32_t layer, Admit admit,
                                                                    std::optional<typename S::Id> also = std::nullopt) {
  using Id = typename S::Id;
  using Node = hnsw_internal::HeapNode<Id>;
  store.StartVisits();
  float d = store.Distance(ep);
  if (!store.ok()) return {};
  store.Visit(ep);
  std::vector<Node> candidates{Node::Of(d, ep)};  // min-heap: closest on top
  std::vector<Node> results;                      // max-heap: worst on top
  if (admit(ep)) results.push_back(Node::Of(d, ep));
  const Id second = also.value_or(ep);
  if (second != ep && store.Visit(second)) {
    const float da = store.Distance(second);
    if (!store.ok()) return {};
    const Node node = Node::Of(da, second);
    candidates.push_back(node);
    std::push_heap(candidates.begin(), candidates.end(), hnsw_internal::HeapAfterOrder{});
    if (ef > 0 && admit(second)) {
      if (results.size() < ef) {
        results.push_back(node);
        std::push_heap(results.begin(), results.end(), hnsw_internal::HeapBeforeOrder{});
      } else if (hnsw_internal::HeapBefore(node, results.front())) {
        hnsw_internal::ReplaceTop(results, node);
      }
    }
  }
  std::vector<Id> fresh;
  std::vector<float> distances;
  while (!candidates.empty()) {
    std::pop_heap(candidates.begin(), candidates.end(), hnsw_internal::HeapAfterOrder{});
    Node c = candidates.back();
    candidates.pop_back();
    if (results.size() >= ef && c.distance > results.front().distance) break;
    // The closest candidate left is most often the next one taken: its list
    // loads while this one's neighbours are scored.
    if constexpr (requires { store.PrefetchNeighbours(ep, layer); }) {
      if (!candidates.empty()) store.PrefetchNeighbours(candidates.front().id, layer);
    }
    const auto& list = store.Neighbours(c.id, layer);
    if (!store.ok()) return {};
    if constexpr (requires { store.PrefetchVisit(ep); }) {
      for (size_t i = 0, count = list.size(); i < count; ++i) store.PrefetchVisit(list[i]);
    }
    // Every id is written and only a new one counted: whether a neighbour
    // was visited already follows no pattern a branch could learn, and a
    // mispredicted one per neighbour cost more than the writes.
    fresh.resize(list.size());
    size_t n = 0;
    for (size_t i = 0, count = list.size(); i < count; ++i) {
      const Id v = list[i];
      fresh[n] = v;
      n += store.Visit(v) ? 1 : 0;
    }
    fresh.resize(n);
    if (!hnsw_internal::ScoreAll(store, fresh, distances)) return {};
    for (size_t i = 0; i < fresh.size(); ++i) {
      float dv = distances[i];
      if (results.size() < ef || dv < results.front().distance) {
        Node node = Node::Of(dv, fresh[i]);
        candidates.push_back(node);
        std::push_heap(candidates.begin(), candidates.end(), hnsw_internal::HeapAfterOrder{});
        if (!admit(node.id)) continue;
        if (results.size() < ef) {
          results.push_back(node);
          std::push_heap(results.begin(), results.end(), hnsw_internal::HeapBeforeOrder{});
        } else {
          // Strictly closer than the worst, which it replaces: one sift
          // instead of a push and a pop, with the same nodes kept.
          hnsw_internal::ReplaceTop(results, node);
        }
      }
    }
  }
  std::sort(results.begin(), results.end(), hnsw_internal::HeapBeforeOrder{});
  std::vector<ScoredNode<Id>> out;
  out.reserve(results.size());
  for (const Node& n : results) out.push_back({n.distance, n.id});
  return out;
}

// Every node admitted: the search of inserts, which link to the nodes of
// removed keys as to any other, and of the descent through upper layers.
template <HnswLayerStore S>
std::vector<ScoredNode<typename S::Id>> hnsw_search_layer(S& store, typename S::Id ep, uint64_t ef, uint32_t layer) {
  return hnsw_search_layer_admitting(store, ep, ef, layer, [](typename S::Id) { return true; });
}

// Greedy descent: from ep on layer `top` down to layer `bottom` + 1, each
// layer searched with ef 1 and its nearest node the entry of the next.
template <HnswLayerStore S>
typename S::Id HnswDescend(S& store, typename S::Id ep, uint32_t top, uint32_t bottom) {
  for (uint32_t layer = top; layer > bottom; --layer) {
    auto nearest = hnsw_search_layer(store, ep, 1, layer);
    if (nearest.empty()) break;
    ep = nearest.front().id;
  }
  return ep;
}

// 4 * a, stopping at the largest value instead of wrapping.
inline uint64_t SaturatingTimes4(uint64_t a) { return a > UINT64_MAX / 4 ? UINT64_MAX : a * 4; }

// The layer-0 search width for k wanted results.
inline uint64_t HnswSearchEf(uint64_t k) {
  return std::max({SaturatingTimes4(k), k, kHnswMinSearchEf});
}

}  // namespace pallix

#endif  // PALLIX_VECTOR_HNSW_SEARCH_H_
