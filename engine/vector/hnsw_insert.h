// The insert that both vector graphs share: neighbour selection (with the
// copies' rule and a "dot" graph's hubs), widening, linking back and
// pruning, over an extension of the search's store (vector/hnsw_search.h).

#ifndef PALLIX_VECTOR_HNSW_INSERT_H_
#define PALLIX_VECTOR_HNSW_INSERT_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "vector/hnsw_search.h"

namespace pallix {

// ---------------------------------------------------------------------------
// The shared insert: both graphs link a new node by the same code, over a
// store that extends HnswLayerStore (whose distances are those to the new
// node) with what linking needs:
//   ScoreFrom(from, ids, n, out)   out[i] = the distance from node `from`'s
//                                  own stored vector, taken as a query (the
//                                  graph's rule for pruning), to node
//                                  ids[i]; +inf for every id when `from` has
//                                  no vector, and for an id without one
//   HasLayer(id, layer) -> bool    whether node id has a list on the layer
//                                  (a damaged on-disk graph may lack one)
//   SetLinks(id, layer, ids, n)    replaces node id's list on the layer
//   AppendLink(id, layer, v)       appends v to node id's list on the layer
// and optionally SelectedPrefix(id, layer) -> size_t: how many leading ids
// of the node's list on the layer are, as they stand, what a neighbour
// selection (below) with the node as the base kept under ScoreFrom's
// distances (0 when nothing is known): ids appended after a selection
// follow them. Pruning such a list need not test those ids against each
// other again (HnswSelectSettled).
// A list the store handed out (Neighbours) may change or lapse once the
// node is changed. Neighbour selection needs only ScoreFrom and ok()
// (HnswPruneStore), so that the repair around removed nodes
// (vector/hnsw_repair.h) chooses lists by the very rule the insert does.
template <typename S>
concept HnswPruneStore = requires(S& s, typename S::Id id, const typename S::Id* ids, size_t n, float* out) {
  s.ScoreFrom(id, ids, n, out);
  { s.ok() } -> std::convertible_to<bool>;
};

template <typename S>
concept HnswInsertStore =
    HnswLayerStore<S> && HnswPruneStore<S> &&
    requires(S& s, typename S::Id id, uint32_t layer, const typename S::Id* ids, size_t n) {
      { s.HasLayer(id, layer) } -> std::same_as<bool>;
      s.SetLinks(id, layer, ids, n);
      s.AppendLink(id, layer, id);
    };

// The neighbour caps and the insert's search width.
struct HnswShape {
  uint32_t m = kHnswM;
  uint32_t m0 = kHnswM0;
  uint64_t ef_construction = kHnswEfConstruction;
};

// Neighbour selection, for a new node's list and for pruning an over-full
// one alike: candidates[0 .. count) are sorted by the graph ordering of
// their distance to the base node; walking them nearest first, a candidate
// is kept unless it is strictly closer to a neighbour kept so far than to
// the base, until cap are kept. The kept ones move to the front in that
// order; returns how many (those kept so far when the store fails).
//
// Keeping only the nearest would fill a node's list with its own tight
// cluster and drop every link towards the rest of the graph, which then
// falls apart into islands no search can leave (and a far node, whose
// neighbours all prune it, into one of its own). A candidate that a kept
// neighbour already covers adds no new direction, so the list spends its
// room on the directions that lead elsewhere. A candidate at equal
// distance from the base and a kept neighbour is kept: duplicate vectors
// would otherwise leave a node one link. The first candidate is always
// kept, so the nearest stays first.
//
// Copies of the base (candidates at distance 0 from it, which no kept
// node can cover) are kept up to kHnswCopiesKept and passed over after:
// where many documents share one vector (the embeddings of empty texts),
// their lists would otherwise hold only each other, and a search that
// enters such a block could not leave it. The copies left out stay
// reachable through their anchors (vector/hnsw_anchor.h).
//
// The tests run kept node by kept node: as soon as a node is kept, its
// distances to every later candidate not yet covered are computed in one
// batch (ScoreFrom), which lets the store overlap the vectors' memory loads
// and score several at once. A candidate meets the same kept nodes in the
// same order as when each candidate is tested in turn, and is no longer
// scored once covered, so the outcome and the distances computed are those
// of the one-at-a-time walk (besides those to candidates past the point
// where cap is reached).
//
// HnswSelectNeighboursFrom resumes such a walk over a longer list: the
// first `kept` candidates are those an earlier selection kept (in its
// order) from candidates all nearer than candidates[kept .. count), which
// it walked to the end. Those new candidates may come in any order: the
// kept ones are tested against them first, as a walk over the whole list
// meets them, which needs no order; only those left uncovered are sorted
// and walked on. The outcome is that of selecting from the whole list
// again, without measuring again what the earlier walk did.
// How many copies of a node's own vector its list keeps.
inline constexpr size_t kHnswCopiesKept = 2;

namespace hnsw_internal {
inline bool IsCopy(float distance_from_base) { return distance_from_base <= 0.0f; }
}  // namespace hnsw_internal

template <HnswPruneStore S>
size_t HnswSelectNeighboursFrom(S& store, ScoredNode<typename S::Id>* candidates, size_t kept, size_t count,
                                size_t cap) {
  using Id = typename S::Id;
  if (kept >= cap) return kept;
  std::vector<uint8_t> covered(count, 0);
  std::vector<Id> ids;
  std::vector<size_t> at;
  std::vector<float> distances;
  // Kept node `from` covers each uncovered candidate from `after` on that
  // is strictly closer to it than to the base.
  auto cover_after = [&](Id from, size_t after) {
    ids.clear();
    at.clear();
    for (size_t j = after; j < count; ++j) {
      if (covered[j]) continue;
      ids.push_back(candidates[j].id);
      at.push_back(j);
    }
    if (ids.empty()) return true;
    distances.resize(ids.size());
    store.ScoreFrom(from, ids.data(), ids.size(), distances.data());
    if (!store.ok()) return false;
    for (size_t k = 0; k < ids.size(); ++k) {
      if (distances[k] < candidates[at[k]].distance) covered[at[k]] = 1;
    }
    return true;
  };
  size_t walk = count;  // the candidates still walked: [kept .. walk)
  if (kept > 0) {
    for (size_t i = 0; i < kept; ++i) {
      if (!cover_after(candidates[i].id, kept)) return kept;
    }
    walk = kept;
    for (size_t j = kept; j < count; ++j) {
      if (!covered[j]) candidates[walk++] = candidates[j];
    }
    std::sort(candidates + kept, candidates + walk,
              [](const ScoredNode<Id>& a, const ScoredNode<Id>& b) { return ScoredBefore(a, b); });
    count = walk;
    std::fill(covered.begin(), covered.end(), 0);
  }
  size_t copies = 0;
  for (size_t i = 0; i < kept; ++i) copies += hnsw_internal::IsCopy(candidates[i].distance) ? 1 : 0;
  for (size_t i = kept; i < count && kept < cap; ++i) {
    if (covered[i]) continue;
    const ScoredNode<Id> candidate = candidates[i];
    if (hnsw_internal::IsCopy(candidate.distance) && copies++ >= kHnswCopiesKept) continue;
    candidates[kept++] = candidate;  // kept <= i: only walked positions move
    if (kept == cap) break;
    if (!cover_after(candidate.id, i + 1)) return kept;
  }
  return kept;
}

template <HnswPruneStore S>
size_t HnswSelectNeighbours(S& store, ScoredNode<typename S::Id>* candidates, size_t count, size_t cap) {
  return HnswSelectNeighboursFrom(store, candidates, 0, count, cap);
}

// HnswSelectNeighbours where the candidates with settled[i] set are known
// not to cover one another: those ids are what an earlier selection with
// the same base kept (in the graph ordering an earlier kept one never
// covers a later one, and the ordering and distances are the same now).
// Their tests against each other are skipped, which changes no outcome;
// only the other candidates are measured against all. A full list that a
// selection kept and one new id then cost at most cap distances instead of
// up to cap * (cap + 1) / 2. settled moves along with the kept candidates.
template <HnswPruneStore S>
size_t HnswSelectSettled(S& store, ScoredNode<typename S::Id>* candidates, uint8_t* settled, size_t count,
                         size_t cap) {
  using Id = typename S::Id;
  std::vector<uint8_t> covered(count, 0);
  std::vector<Id> ids;
  std::vector<size_t> at;
  std::vector<float> distances;
  size_t kept = 0;
  size_t copies = 0;
  for (size_t i = 0; i < count && kept < cap; ++i) {
    if (covered[i]) continue;
    const ScoredNode<Id> candidate = candidates[i];
    if (hnsw_internal::IsCopy(candidate.distance) && copies++ >= kHnswCopiesKept) continue;
    const uint8_t from_settled = settled[i];
    candidates[kept] = candidate;  // kept <= i: only walked positions move
    settled[kept++] = from_settled;
    if (kept == cap) break;
    ids.clear();
    at.clear();
    for (size_t j = i + 1; j < count; ++j) {
      if (covered[j] || (from_settled && settled[j])) continue;
      ids.push_back(candidates[j].id);
      at.push_back(j);
    }
    if (ids.empty()) continue;
    distances.resize(ids.size());
    store.ScoreFrom(candidate.id, ids.data(), ids.size(), distances.data());
    if (!store.ok()) return kept;
    for (size_t k = 0; k < ids.size(); ++k) {
      if (distances[k] < candidates[at[k]].distance) covered[at[k]] = 1;
    }
  }
  return kept;
}

// "dot" graphs keep the last HnswHubSlots(cap) places of a list for hubs:
// the candidates of largest dot product with the list's node; selection
// by the link distance fills the rest from the other candidates. That
// selection keeps the neighbours of a node's own length and direction,
// which is what lets a search reach every node, but a search walks by the
// dot product, whose largest values are at the longest vectors: over
// gaussian data a walk through lists of like lengths climbs towards them
// a step at a time, and its beam is spent on the way (recall@10 0.86 over
// 20,000 32-d vectors, against 0.97 for lists chosen by the negated dot
// product alone). Links to the longest vectors in the node's direction let
// it climb at once. Five eighths of the list: a quarter gave 0.95 there,
// half 0.968 in memory and 0.966 on disk, five eighths 0.9685 and 0.9695,
// and the short positive vectors that the negated dot product loses keep
// their 0.99. The hubs are chosen first, from every candidate, so
// that they depend on the dot products alone: pruning a full list a
// selection kept and one new id then measures the new id and at most one
// hub that lost its place, as it does without hubs, instead of every hub.
inline size_t HnswHubSlots(size_t cap) { return cap * 5 / 8; }

// Whether the store's lists keep hubs: it measures the dot product from a
// node (ScoreDotFrom(from, ids, n, out): out[i] = minus the dot product of
// node from's own stored vector with node ids[i]'s, +inf for a node
// without one) and says its graph ranks by it (LinksHubs()).
template <typename S>
concept HnswHubStore = requires(S& s, typename S::Id id, const typename S::Id* ids, float* out) {
  s.ScoreDotFrom(id, ids, size_t{0}, out);
  { s.LinksHubs() } -> std::convertible_to<bool>;
};

template <typename S>
bool HnswLinksHubs(S& store) {
  if constexpr (HnswHubStore<S>) {
    return store.LinksHubs();
  } else {
    return false;
  }
}

// The hubs of a list: of pool's candidates (whose distances are the link
// distances from base), up to HnswHubSlots(cap), the largest dot product
// with base first (equal ones by id ascending), each with its link
// distance from base; never a copy of the base (link distance <= 0: those
// follow the copies' rule of selection).
//
// When `layer` is given (an insert: the store measures from base and names
// lists), they are chosen from more than pool: also from the lists on
// that layer of the hubs pool alone gives. Those lists hold their own
// hubs, which lead further towards the long vectors than the region where
// the insert's search by link distance stopped (recall@10 0.955 without
// them, 0.968 with, on the gaussian data above).
template <HnswPruneStore S>
  requires HnswHubStore<S>
std::vector<ScoredNode<typename S::Id>> HnswPickHubs(S& store, typename S::Id base,
                                                     const std::vector<ScoredNode<typename S::Id>>& pool,
                                                     size_t cap, std::optional<uint32_t> layer = std::nullopt) {
  using Id = typename S::Id;
  const size_t room = HnswHubSlots(cap);
  std::vector<ScoredNode<Id>> out;
  if (room == 0) return out;
  struct Hub {
    float dot;   // minus the dot product
    Id id;
    float link;  // NaN until measured
  };
  auto before = [](const Hub& x, const Hub& y) {
    return ScoredBefore(ScoredNode<Id>{x.dot, x.id}, ScoredNode<Id>{y.dot, y.id});
  };
  std::vector<Hub> hubs;
  // hubs[0 .. n) become the first n in order (the order is total: ids
  // differ), the rest in any order.
  auto nearest_first = [&](size_t n) {
    if (n < hubs.size()) std::nth_element(hubs.begin(), hubs.begin() + n, hubs.end(), before);
    std::sort(hubs.begin(), hubs.begin() + n, before);
  };
  std::vector<Id> ids;
  hubs.reserve(pool.size());
  ids.reserve(pool.size());
  for (const ScoredNode<Id>& c : pool) {
    if (hnsw_internal::IsCopy(c.distance)) continue;
    ids.push_back(c.id);
    hubs.push_back({0.0f, c.id, c.distance});
  }
  std::vector<float> dots(ids.size());
  if (!ids.empty()) store.ScoreDotFrom(base, ids.data(), ids.size(), dots.data());
  if (!store.ok()) return out;
  for (size_t i = 0; i < ids.size(); ++i) hubs[i].dot = dots[i];
  if constexpr (HnswLayerStore<S>) {
    if (layer) {
      const size_t first = std::min(room, hubs.size());
      nearest_first(first);
      // The store's visited marks tell the ids met already: the pool's,
      // and the base.
      store.StartVisits();
      store.Visit(base);
      for (const ScoredNode<Id>& c : pool) store.Visit(c.id);
      ids.clear();
      for (size_t h = 0; h < first; ++h) {
        const auto& list = store.Neighbours(hubs[h].id, *layer);
        if (!store.ok()) return out;
        for (size_t i = 0, n = list.size(); i < n; ++i) {
          if (store.Visit(list[i])) ids.push_back(list[i]);
        }
      }
      dots.resize(ids.size());
      if (!ids.empty()) store.ScoreDotFrom(base, ids.data(), ids.size(), dots.data());
      if (!store.ok()) return out;
      const float unknown = std::numeric_limits<float>::quiet_NaN();
      for (size_t i = 0; i < ids.size(); ++i) hubs.push_back({dots[i], ids[i], unknown});
    }
  }
  // Walked largest dot first; a node met through a list is measured (by
  // the link distance) only when it comes up, to leave out copies. Only
  // as many are sorted as may be walked: room, then all when copies left
  // some room over.
  const size_t head = std::min(room, hubs.size());
  nearest_first(head);
  for (size_t at = 0; at < hubs.size() && out.size() < room; ++at) {
    if (at == head) std::sort(hubs.begin() + head, hubs.end(), before);
    float d = hubs[at].link;
    if (d != d) {
      if constexpr (HnswLayerStore<S>) d = store.Distance(hubs[at].id);
      if (!store.ok()) return out;
      if (hnsw_internal::IsCopy(d)) continue;
    }
    out.push_back({d, hubs[at].id});
  }
  return out;
}

namespace hnsw_internal {

// Removes the hubs' ids from candidates[0 .. count) (and their flags from
// `flags`, when given), keeping the order; returns the new count.
template <typename Id>
size_t DropHubs(const std::vector<ScoredNode<Id>>& hubs, ScoredNode<Id>* candidates, size_t count,
                uint8_t* flags = nullptr) {
  if (hubs.empty()) return count;
  std::vector<Id> ids(hubs.size());
  for (size_t i = 0; i < hubs.size(); ++i) ids[i] = hubs[i].id;
  std::sort(ids.begin(), ids.end());
  size_t n = 0;
  for (size_t i = 0; i < count; ++i) {
    if (std::binary_search(ids.begin(), ids.end(), candidates[i].id)) continue;
    if (flags != nullptr) flags[n] = flags[i];
    candidates[n++] = candidates[i];
  }
  return n;
}

}  // namespace hnsw_internal

// Neighbour selection keeping fewer than this many of a new node's
// candidates widens them (HnswChooseNeighbours).
inline constexpr size_t kHnswWidenBelow = 8;
// How many of the widened candidates, nearest first, selection sees.
inline constexpr size_t kHnswWidenedCandidates = 256;

// A new node's neighbours on `layer`: neighbour selection, up to cap, over
// the candidates its layer search found (sorted by the graph ordering); the
// kept ones move to the front, and their count is returned.
//
// That search stops in the region nearest to the node. On tightly clustered
// data its ef_construction results are the members of one or two clusters,
// which cover one another, so selection keeps only a few of them, all
// leading the same way; a far point inserted then is linked from that
// region alone, and a later search for it whose beam settles in the next
// cluster never meets it. So when fewer than kHnswWidenBelow are kept, the
// candidates are widened by every node their own lists on the layer name
// (those lead on to the clusters around), the nearest
// kHnswWidenedCandidates of them are kept, and selection runs again over
// those. Elsewhere selection keeps more almost always, and nothing changes.
//
// The search has scored every node the results' lists name, and the
// results are the nearest of what it scored, so the widened list almost
// always begins with the first candidates, in their order. Selection then
// resumes from the first one's outcome (HnswSelectNeighboursFrom) instead
// of walking those again, and only the extra nodes need sorting;
// otherwise it runs over the widened list anew.
//
// self is never a candidate. A store failure met while widening stops it;
// the store keeps the failure for the caller.
template <HnswLayerStore S>
  requires HnswPruneStore<S>
size_t HnswChooseNeighbours(S& store, std::vector<ScoredNode<typename S::Id>>& candidates, typename S::Id self,
                            uint32_t layer, size_t list_cap, size_t* selected = nullptr) {
  using Id = typename S::Id;
  // A "dot" graph's hubs first (HnswPickHubs, from the candidates and the
  // hubs' own lists); selection fills the other places from the other
  // candidates, and the hubs follow what it keeps.
  std::vector<ScoredNode<Id>> hubs;
  size_t cap = list_cap;
  if constexpr (HnswHubStore<S>) {
    if (store.LinksHubs()) {
      hubs = HnswPickHubs(store, self, candidates, list_cap, layer);
      if (!store.ok()) return 0;
      candidates.resize(hnsw_internal::DropHubs(hubs, candidates.data(), candidates.size()));
      cap = list_cap - HnswHubSlots(list_cap);
    }
  }
  auto done = [&](size_t kept) -> size_t {
    if (selected != nullptr) *selected = kept;
    candidates.resize(std::max(candidates.size(), kept + hubs.size()));
    for (const ScoredNode<Id>& h : hubs) candidates[kept++] = h;
    return kept;
  };
  std::vector<ScoredNode<Id>> widened(candidates);  // selection reorders candidates
  const size_t kept = HnswSelectNeighbours(store, candidates.data(), candidates.size(), cap);
  if (kept >= kHnswWidenBelow || widened.empty() || !store.ok()) return done(kept);
  store.StartVisits();
  store.Visit(self);
  for (const ScoredNode<Id>& c : widened) store.Visit(c.id);
  for (const ScoredNode<Id>& h : hubs) store.Visit(h.id);
  if constexpr (requires { store.PrefetchNeighbours(self, layer); }) {
    for (const ScoredNode<Id>& c : widened) store.PrefetchNeighbours(c.id, layer);
  }
  std::vector<Id> fresh;
  for (size_t j = 0, found = widened.size(); j < found; ++j) {
    // A list may live only until the store loads another node: its new
    // ids are taken before any distance is asked for.
    const auto& list = store.Neighbours(widened[j].id, layer);
    if (!store.ok()) return kept;
    if constexpr (requires { store.PrefetchVisit(self); }) {
      for (size_t i = 0, count = list.size(); i < count; ++i) store.PrefetchVisit(list[i]);
    }
    // Every id is written and only a new one counted: whether an id is
    // new follows no pattern a branch could learn.
    size_t n = fresh.size();
    fresh.resize(n + list.size());
    for (size_t i = 0, count = list.size(); i < count; ++i) {
      fresh[n] = list[i];
      n += store.Visit(list[i]) ? 1 : 0;
    }
    fresh.resize(n);
  }
  std::vector<float> distances;
  if (fresh.empty() || !hnsw_internal::ScoreAll(store, fresh, distances)) return done(kept);
  using Node = hnsw_internal::HeapNode<Id>;
  std::vector<Node> extra(fresh.size());
  for (size_t i = 0; i < fresh.size(); ++i) extra[i] = Node::Of(distances[i], fresh[i]);
  // The nearest kHnswWidenedCandidates of candidates and extra, in the
  // graph ordering: ids are distinct, so the ordering is total and any way
  // of finding and sorting them gives the same list. When no extra node
  // comes before the last candidate (and the first selection walked every
  // candidate, not stopping at cap), that list is the candidates followed
  // by the nearest extra ones, and selection resumes.
  bool resumes = kept < cap && widened.size() <= kHnswWidenedCandidates;
  if (resumes) {
    const Node last = Node::Of(widened.back().distance, widened.back().id);
    for (const Node& e : extra) resumes = resumes && !hnsw_internal::HeapBefore(e, last);
  }
  if (resumes) {
    const size_t take = std::min(extra.size(), kHnswWidenedCandidates - widened.size());
    hnsw_internal::NearestAhead(extra, take);
    // candidates[0 .. kept) hold the kept ones; the new candidates follow.
    candidates.resize(kept + take);
    for (size_t i = 0; i < take; ++i) candidates[kept + i] = {extra[i].distance, extra[i].id};
    return done(HnswSelectNeighboursFrom(store, candidates.data(), kept, candidates.size(), cap));
  }
  for (const ScoredNode<Id>& c : widened) extra.push_back(Node::Of(c.distance, c.id));
  const size_t keep = std::min(extra.size(), kHnswWidenedCandidates);
  hnsw_internal::NearestFirst(extra, keep);
  candidates.resize(keep);
  for (size_t i = 0; i < keep; ++i) candidates[i] = {extra[i].distance, extra[i].id};
  return done(HnswSelectNeighbours(store, candidates.data(), candidates.size(), cap));
}

// A link an insert's pruning took away: node `id` left node `from`'s list
// on `layer`.
template <typename Id>
struct HnswUnlinked {
  uint32_t layer;
  Id id;
  Id from;
};

namespace hnsw_internal {

// Tells the store (when it asks, by Unlinked(from, layer, id)) each of
// `before` but the inserted node that node `from`'s list on `layer` no
// longer holds now that it holds kept[0 .. n): such a node may have lost
// its last in-link there. (The inserted node is reported once per layer
// by HnswConnect.)
template <typename S>
void ReportUnlinked(S& store, typename S::Id from, uint32_t layer, const std::vector<typename S::Id>& before,
                    typename S::Id inserted, const typename S::Id* kept, size_t n) {
  if constexpr (requires { store.Unlinked(from, layer, from); }) {
    for (const auto id : before) {
      if (id != inserted && std::find(kept, kept + n, id) == kept + n) store.Unlinked(from, layer, id);
    }
  }
}

}  // namespace hnsw_internal

// Links new_id from node's list on `layer`: appended while the list holds
// fewer than cap ids, else the list is chosen again from its ids and new_id
// by neighbour selection with the node itself as the base, nearest first by
// the graph ordering. A node without that layer is left alone. The ids
// (new_id among them) that selection leaves out are reported to a store
// that asks (hnsw_internal::ReportUnlinked).
template <HnswInsertStore S>
void HnswAddLink(S& store, typename S::Id node, uint32_t layer, typename S::Id new_id, size_t cap) {
  using Id = typename S::Id;
  if (!store.HasLayer(node, layer)) return;
  std::vector<Id> ids;
  {
    const auto& list = store.Neighbours(node, layer);
    if (!store.ok()) return;
    if (list.size() < cap) {
      store.AppendLink(node, layer, new_id);
      return;
    }
    ids.reserve(list.size() + 1);
    for (size_t i = 0, count = list.size(); i < count; ++i) ids.push_back(list[i]);
  }
  size_t settled = 0;
  if constexpr (requires { store.SelectedPrefix(node, layer); }) {
    settled = std::min(store.SelectedPrefix(node, layer), ids.size());
  }
  ids.push_back(new_id);
  std::vector<Id> before;
  if constexpr (requires { store.Unlinked(node, layer, node); }) before = ids;
  std::vector<float> distances(ids.size());
  store.ScoreFrom(node, ids.data(), ids.size(), distances.data());
  if (!store.ok()) return;
  // A "dot" graph's hubs first (HnswPickHubs); selection fills the other
  // places from the other ids, and the hubs follow what it keeps.
  std::vector<ScoredNode<Id>> hubs;
  size_t select_cap = cap;
  std::vector<ScoredNode<Id>> pairs(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) pairs[i] = {distances[i], ids[i]};
  if constexpr (HnswHubStore<S>) {
    if (store.LinksHubs()) {
      hubs = HnswPickHubs(store, node, pairs, cap);
      if (!store.ok()) return;
      select_cap = cap - HnswHubSlots(cap);
    }
  }
  size_t selected = 0;
  if (settled >= 2) {
    std::vector<uint32_t> order(ids.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<uint32_t>(i);
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
      return ScoredBefore(ScoredNode<Id>{distances[a], ids[a]}, ScoredNode<Id>{distances[b], ids[b]});
    });
    std::vector<uint8_t> known(ids.size());
    for (size_t i = 0; i < order.size(); ++i) {
      pairs[i] = {distances[order[i]], ids[order[i]]};
      known[i] = order[i] < settled ? 1 : 0;
    }
    const size_t count = hnsw_internal::DropHubs(hubs, pairs.data(), pairs.size(), known.data());
    selected = HnswSelectSettled(store, pairs.data(), known.data(), count, select_cap);
  } else {
    std::sort(pairs.begin(), pairs.end(),
              [](const ScoredNode<Id>& a, const ScoredNode<Id>& b) { return ScoredBefore(a, b); });
    const size_t count = hnsw_internal::DropHubs(hubs, pairs.data(), pairs.size());
    selected = HnswSelectNeighbours(store, pairs.data(), count, select_cap);
  }
  if (!store.ok()) return;
  size_t kept = selected;
  for (const ScoredNode<Id>& h : hubs) pairs[kept++] = h;
  for (size_t i = 0; i < kept; ++i) ids[i] = pairs[i].id;
  store.SetLinks(node, layer, ids.data(), kept);
  // The hubs follow what selection kept: only those are its outcome.
  if constexpr (requires { store.SetSelectedPrefix(node, layer, selected); }) {
    if (kept != selected) store.SetSelectedPrefix(node, layer, selected);
  }
  hnsw_internal::ReportUnlinked(store, node, layer, before, new_id, ids.data(), kept);
}

// Links node id, of `level`, whose vector the store's distances measure
// from, into every layer up to its level: a greedy descent from entry (of
// level top) to the layer above the node's, then on each layer from
// min(top, level) down to 0 a search of width ef_construction, the node's
// neighbours chosen from its results (HnswChooseNeighbours), and each of
// them linked back (HnswAddLink); the nearest result enters the next layer
// down. A layer whose search finds nothing links nothing. Stops at the
// store's first failure, which the store keeps. The caller makes the node
// the entry when its level is above top. A store that asks (Unlinked) is
// told of each id a pruning left out of a list, and of the new node on
// each layer it was linked into, for the caller to keep them linked
// (HnswKeepLinked, vector/hnsw_anchor.h).
template <HnswInsertStore S>
void HnswConnect(S& store, typename S::Id id, uint32_t level, typename S::Id entry, uint32_t top,
                 const HnswShape& shape) {
  using Id = typename S::Id;
  Id ep = HnswDescend(store, entry, top, level);
  std::vector<Id> own;
  for (uint32_t layer = std::min(top, level) + 1; layer-- > 0 && store.ok();) {
    auto nearest = hnsw_search_layer(store, ep, shape.ef_construction, layer);
    if (!store.ok() || nearest.empty()) continue;
    const size_t cap = layer > 0 ? shape.m : shape.m0;
    // The nearest result enters the next layer down; a "dot" graph's
    // choice may move it off the front (when it is a hub).
    const Id next = nearest.front().id;
    size_t selected = 0;
    const size_t take = HnswChooseNeighbours(store, nearest, id, layer, cap, &selected);
    if (!store.ok()) return;
    own.clear();
    for (size_t i = 0; i < take; ++i) own.push_back(nearest[i].id);
    store.SetLinks(id, layer, own.data(), own.size());
    if constexpr (requires { store.SetSelectedPrefix(id, layer, selected); }) {
      if (take != selected) store.SetSelectedPrefix(id, layer, selected);
    }
    for (size_t i = 0; i < take && store.ok(); ++i) HnswAddLink(store, own[i], layer, id, cap);
    // The new node itself may be linked back from nodes of removed keys
    // alone, which go: it is reported like a link pruned away.
    if constexpr (requires { store.Unlinked(id, layer, id); }) store.Unlinked(id, layer, id);
    ep = next;
  }
}

}  // namespace pallix

#endif  // PALLIX_VECTOR_HNSW_INSERT_H_
