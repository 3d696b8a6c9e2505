// The ordered node lists of the vector graphs' search and insert
// (vector/hnsw.h): heap entries ordered by the graph ordering, and the
// selections of the nearest of them that neighbour selection's widening
// needs.
//
// Ordering: distance by the IEEE total order of float32 (-0.0 before +0.0,
// NaN after +inf), equal distances by node id ascending.
//
// Thread-safety: pure functions over the caller's vectors.

#ifndef PALLIX_VECTOR_HNSW_HEAP_H_
#define PALLIX_VECTOR_HNSW_HEAP_H_

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/numeric.h"

namespace pallix::hnsw_internal {

// A heap entry with its total-order key computed once, so that heap
// comparisons are integer comparisons.
template <typename Id>
struct HeapNode {
  int32_t order;
  float distance;
  Id id;

  static HeapNode Of(float distance, Id id) { return {TotalOrderKey(distance), distance, id}; }
};

template <typename Id>
inline bool HeapBefore(const HeapNode<Id>& a, const HeapNode<Id>& b) {
  return a.order != b.order ? a.order < b.order : a.id < b.id;
}

// The orderings as function objects, which the heap and sort algorithms
// inline (a function pointer they call through).
struct HeapBeforeOrder {
  template <typename Id>
  bool operator()(const HeapNode<Id>& a, const HeapNode<Id>& b) const {
    return HeapBefore(a, b);
  }
};
struct HeapAfterOrder {
  template <typename Id>
  bool operator()(const HeapNode<Id>& a, const HeapNode<Id>& b) const {
    return HeapBefore(b, a);
  }
};

// Replaces the worst node of the max-heap `heap` (non-empty) with `node`,
// which comes before it, and restores the heap.
template <typename Id>
void ReplaceTop(std::vector<HeapNode<Id>>& heap, const HeapNode<Id>& node) {
  const size_t n = heap.size();
  size_t hole = 0;
  for (;;) {
    size_t child = 2 * hole + 1;
    if (child >= n) break;
    if (child + 1 < n && HeapBefore(heap[child], heap[child + 1])) ++child;
    if (!HeapBefore(node, heap[child])) break;
    heap[hole] = heap[child];
    hole = child;
  }
  heap[hole] = node;
}

// Leaves the `keep` smallest of the distinct values v[0 .. n) in
// v[0 .. keep), in no particular order; the rest of v is left undefined.
// A radix selection from the highest bit where the values differ, eight
// bits a round: each round counts the values still in doubt by their next
// eight bits, takes all those whose digit is below the one where the count
// reaches what is still needed, and goes on with that digit's values
// alone. Unlike a selection by comparisons, no branch depends on how the
// values compare, which the processor could not predict.
inline void KeepSmallest(uint64_t* v, size_t n, size_t keep, std::vector<uint64_t>& scratch) {
  if (keep == 0 || keep >= n) return;
  uint64_t differ = 0;
  for (size_t i = 0; i < n; ++i) differ |= v[i] ^ v[0];
  int shift = std::max(0, static_cast<int>(std::bit_width(differ)) - 8);
  scratch.resize(2 * n);
  const uint64_t* doubt = v;  // the values in doubt: doubt[0 .. m)
  size_t m = n, taken = 0;    // v[0 .. taken) are among the smallest
  uint64_t* next = scratch.data();
  for (;;) {
    uint32_t count[256] = {};
    for (size_t i = 0; i < m; ++i) ++count[(doubt[i] >> shift) & 255];
    const size_t need = keep - taken;
    size_t below = 0;
    unsigned digit = 0;
    while (below + count[digit] < need) below += count[digit++];
    // v is written no further than it was read: taken <= i.
    size_t in_doubt = 0;
    for (size_t i = 0; i < m; ++i) {
      const uint64_t x = doubt[i];
      const unsigned d = (x >> shift) & 255;
      v[taken] = x;
      taken += d < digit ? 1 : 0;
      next[in_doubt] = x;
      in_doubt += d == digit ? 1 : 0;
    }
    // Distinct values with every bit from `shift` up alike are one value,
    // so the last round always ends here.
    if (in_doubt == keep - taken || shift == 0) {
      std::copy(next, next + (keep - taken), v + taken);
      return;
    }
    doubt = next;
    m = in_doubt;
    next = doubt == scratch.data() ? scratch.data() + n : scratch.data();
    shift = std::max(0, shift - 8);
  }
}

// Leaves the first `keep` nodes in the graph ordering in nodes[0 .. keep),
// in no particular order (nodes hold distinct ids, so the ordering is
// total); the rest of nodes is left undefined. With ids of 32 bits each
// node packs into one integer that orders the same way (its order key,
// sign bit flipped, above its id), selected by KeepSmallest; a node's
// distance is then the inverse of its order key, exact for every distance
// but NaN, whose nodes are looked up again.
template <typename Id>
void NearestAhead(std::vector<HeapNode<Id>>& nodes, size_t keep) {
  keep = std::min(keep, nodes.size());
  if constexpr (sizeof(Id) <= sizeof(uint32_t)) {
    std::vector<uint64_t> packed(nodes.size()), scratch;
    std::vector<HeapNode<Id>> nan_nodes;
    for (size_t i = 0; i < nodes.size(); ++i) {
      const uint64_t order = static_cast<uint32_t>(nodes[i].order) ^ 0x80000000u;
      packed[i] = order << 32 | static_cast<uint32_t>(nodes[i].id);
      if (nodes[i].order == INT32_MAX) nan_nodes.push_back(nodes[i]);
    }
    KeepSmallest(packed.data(), packed.size(), keep, scratch);
    for (size_t i = 0; i < keep; ++i) {
      const auto order = static_cast<int32_t>(static_cast<uint32_t>(packed[i] >> 32) ^ 0x80000000u);
      const auto id = static_cast<Id>(static_cast<uint32_t>(packed[i]));
      if (order == INT32_MAX) {  // every NaN has this key
        for (const HeapNode<Id>& n : nan_nodes) {
          if (n.id == id) nodes[i] = n;
        }
        continue;
      }
      // The key flips the magnitude bits of a negative float and keeps its
      // sign: flipping again gives the float back.
      const int32_t bits = order ^ static_cast<int32_t>(static_cast<uint32_t>(order >> 31) >> 1);
      nodes[i] = {order, std::bit_cast<float>(bits), id};
    }
  } else if (keep < nodes.size()) {
    std::nth_element(nodes.begin(), nodes.begin() + static_cast<ptrdiff_t>(keep), nodes.end(), HeapBeforeOrder{});
  }
}

// NearestAhead, then those `keep` sorted.
template <typename Id>
void NearestFirst(std::vector<HeapNode<Id>>& nodes, size_t keep) {
  keep = std::min(keep, nodes.size());
  NearestAhead(nodes, keep);
  std::sort(nodes.begin(), nodes.begin() + static_cast<ptrdiff_t>(keep), HeapBeforeOrder{});
}

}  // namespace pallix::hnsw_internal

#endif  // PALLIX_VECTOR_HNSW_HEAP_H_
