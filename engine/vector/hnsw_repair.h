// Repair of a vector graph around the nodes of removed keys, paid for by
// the writes that remove them, shared by the in-memory graph
// (vector/hnsw.h) and the on-disk graph (vector/disk_hnsw_repair.h): the
// rule is written once here, against a small graph-access interface
// (HnswRepairGraph), and each graph supplies the access.
//
// A removed or replaced key leaves its node behind, marked deleted: it
// still routes searches, which walk through it without returning it. Left
// alone such nodes pile up, and every search pays for the walk and every
// graph for their memory or rows. Rebuilding the whole graph once they pass
// some share makes one write pay for the whole graph; instead the write
// that removes a node pays for a bounded share of the repair, and a write
// that removes nothing pays nothing (HnswRepairAfterWrite):
//
// Around. The removed node is queued for dropping at once, and each live
// node it links to that links back to it on a layer (links are mostly
// mutual, so these are most of the nodes that lose a neighbour) is linked
// again on that layer right away, its place in the list given to one of
// the removed node's neighbours (see Patch), so searches near it lose
// little while it waits to be dropped.
//
// Sweep. A removal also adds to the graph's repair debt
// (HnswRepairCursor::debt): the sweep's share it owes. A cursor passes over
// the node ids in ascending order, a slice per step, and the removing write
// steps until the debt it added is paid. Each node the sweep passes (live
// or deleted) that links, on some layer, to a doomed node is linked again on
// that layer: its other neighbours stay, and the places of the doomed ones
// go to the live neighbours of those (see Patch). A deleted node the sweep
// passes that was not queued yet (one an earlier build removed) is queued
// then. (A bulk's pass, after which a node may have lost most of its list,
// chooses the whole list again: see Relink.)
//
// Drop. Once the sweep has passed every node (a pass), the nodes queued
// before that pass began are dropped, a slice per step; then the next pass
// begins. Such a node has no link from any node: the pass went over every
// node after it was queued, and took every link to it away; new links go
// only to live nodes (an insert links its new node to what its search
// finds, but that node's id is ahead of the cursor, so the pass still goes
// over it, and where a graph reuses a dropped id behind the cursor it
// repairs the new node at once: HnswRepairNewNode); and no search can reach
// it, since the entry point is moved to a live node before the drops
// begin. So dropping it leaves no link dangling, and searches never notice.
//
// Anchors. Every live node keeps a link from a live node made before it
// (vector/hnsw_anchor.h, which states what holds after every call and how
// the tests prove it); each place the repair takes an id out of a list, or
// removes or drops a node, gives the nodes that may have lost theirs new
// ones, and a bulk's pass ends by anchoring every live node (AnchorAll).
//
// Each removal owes HnswRepairLimits::per_removal nodes passed or dropped,
// so a pass ends after about (nodes / per_removal) removals, whatever the
// graph's size: deleted nodes stay a small, bounded share of the graph, and
// the whole repair costs in proportion to what was removed, never to the
// number of writes. A step's cost is bounded by HnswRepairLimits (nodes
// passed, nodes linked again, nodes dropped).
//
// Thread-safety: the repair mutates the graph; callers serialise it with
// every other use of the graph as they do inserts.

#ifndef PALLIX_VECTOR_HNSW_REPAIR_H_
#define PALLIX_VECTOR_HNSW_REPAIR_H_

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "vector/hnsw.h"
#include "vector/hnsw_anchor.h"

namespace pallix {

// The most work one step does.
struct HnswRepairLimits {
  size_t nodes = 64;     // nodes the sweep passes
  size_t relinks = 16;   // of those, nodes linked again (the costly part)
  size_t drops = 64;     // queued nodes dropped
  // Not a step's bound: the nodes passed or dropped that each removal owes
  // (HnswRepairCursor::debt). A pass ends after about nodes / per_removal
  // removals, so deleted nodes stay about 2 / per_removal of the graph.
  size_t per_removal = 64;
};

// What one step did; for tests and benchmarks.
struct HnswRepairCounts {
  size_t passed = 0;
  size_t relinked = 0;
  size_t dropped = 0;
  HnswRepairCounts& operator+=(const HnswRepairCounts& o) {
    passed += o.passed;
    relinked += o.relinked;
    dropped += o.dropped;
    return *this;
  }
};

// Where the repair stands.
struct HnswRepairCursor {
  uint64_t pass = 1;      // passes begun; nodes queued in pass p drop after pass p + 1
  bool dropping = false;  // the sweep of this pass is done; its drops are under way
  uint64_t next = 0;      // while sweeping: the lowest node id not passed yet
  uint64_t debt = 0;      // nodes the sweep still owes removals: to pass or drop
  // Removals noted without their neighbours' anchors seen to (a bulk's, in
  // the transactions before its repair; a graph of an earlier build counts
  // 1): while any is owed, a live node may be reached through deleted nodes
  // alone, and the next repair gives every live node its anchor first.
  uint64_t unanchored = 0;
  bool operator==(const HnswRepairCursor&) const = default;
};

// What the repair needs from a graph:
//   Id                         node id type
//   cursor()                   the graph's HnswRepairCursor, changed in place
//   NextPresent(from, max)     up to max ids >= from that hold a node,
//                              ascending (a std::vector<Id>)
//   Present(id)                id holds a node (not dropped, not missing)
//   Deleted(id)                the node of a removed key (id present)
//   Doomed(id)                 a cheap test, over a neighbour, that the
//                              node is deleted; true at least for every
//                              queued node
//   Queued(id), Queue(id)      queued for dropping / queue it in this pass
//   Layers(id)                 the node's layer count (level + 1)
//   Links(id, layer)           its list: a sized range indexable by position,
//                              valid until the graph next changes
//   SetLinks(id, layer, ids)   replaces the list
//   Cap(layer)                 the list cap of the layer
//   ScoreFrom(base, ids, n, out)  out[i] = distance from node base's own
//                              vector to node ids[i], as the insert's
//                              pruning measures it (HnswPruneStore): the
//                              relinked list is chosen by the insert's own
//                              HnswSelectNeighbours over these distances
//   Entry(), SetEntry(id?)     the entry point (SetEntry: only to move it
//                              off a removed node)
//   FirstLive(except)          some live node other than except, or none
//   ReadyBatch(max)            up to max nodes queued before this pass
//   Drop(id)                   removes a queued node and its queue entry
//   StartPass()                the queue of this pass becomes the ready one
//   ok()                       false once the graph failed (a row that did
//                              not read): the step stops, the graph keeps
//                              the failure
//   Born(id)                   the node's place in the order nodes were
//                              made: larger for every later node, never
//                              reused (the on-disk graph's ids; the
//                              in-memory graph reuses ids, so it counts)
//
template <typename G>
concept HnswRepairGraph = HnswLinkGraph<G> && requires(G& g, typename G::Id id, uint32_t layer) {
  { g.cursor() } -> std::same_as<HnswRepairCursor&>;
  { g.NextPresent(uint64_t{0}, size_t{0}) } -> std::same_as<std::vector<typename G::Id>>;
  { g.Doomed(id) } -> std::same_as<bool>;
  { g.Queued(id) } -> std::same_as<bool>;
  g.Queue(id);
  { g.FirstLive(id) } -> std::same_as<std::optional<typename G::Id>>;
  { g.ReadyBatch(size_t{0}) } -> std::same_as<std::vector<typename G::Id>>;
  g.Drop(id);
  g.StartPass();
  { g.ok() } -> std::convertible_to<bool>;
};

namespace hnsw_repair_internal {


template <HnswRepairGraph G>
void MoveEntryIfDeleted(G& g);

// Every live node given an anchor on each of its layers where it has none:
// after a bulk's removals, which take no care of anchors one by one, and
// for a graph whose anchors were never kept (an earlier build's).
template <HnswRepairGraph G>
void AnchorAll(G& g, const HnswRepairLimits& limits) {
  // The entry point first: a removed one anchors nothing, and the nodes
  // made first can have no other anchor.
  MoveEntryIfDeleted(g);
  using Id = typename G::Id;
  std::vector<Id> live;
  for (uint64_t from = 0; g.ok();) {
    const auto ids = g.NextPresent(from, limits.nodes);
    for (const auto id : ids) {
      if (!g.Deleted(id)) live.push_back(id);
    }
    if (ids.size() < limits.nodes) break;
    from = uint64_t{ids.back()} + 1;
  }
  for (const Id w : live) {
    for (uint32_t layer = 0, layers = g.Layers(w); layer < layers && g.ok(); ++layer) {
      if (!Live(g, w) || LinkedNear(g, w, layer, w)) continue;
      LinkFromNear(g, w, layer, w);
    }
  }
}

// Links node id again on `layer`: candidates are its present live
// neighbours and the present live neighbours of its deleted ones.
template <HnswRepairGraph G>
void Relink(G& g, typename G::Id id, uint32_t layer) {
  using Id = typename G::Id;
  std::vector<Id> own;
  {
    const auto& list = g.Links(id, layer);
    own.reserve(list.size());
    for (size_t i = 0, n = list.size(); i < n; ++i) own.push_back(list[i]);
  }
  std::vector<Id> candidates;
  for (Id v : own) {
    if (!g.Present(v)) continue;
    if (!g.Deleted(v)) {
      candidates.push_back(v);
      continue;
    }
    const auto& next = g.Links(v, layer);
    for (size_t i = 0, n = next.size(); i < n; ++i) candidates.push_back(next[i]);
    if (!g.ok()) return;
  }
  std::sort(candidates.begin(), candidates.end());
  candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
  std::erase_if(candidates, [&](Id w) { return w == id || !g.Present(w) || g.Deleted(w); });
  if (!g.ok()) return;
  std::vector<float> distances(candidates.size());
  g.ScoreFrom(id, candidates.data(), candidates.size(), distances.data());
  if (!g.ok()) return;
  std::vector<ScoredNode<Id>> pairs(candidates.size());
  for (size_t i = 0; i < candidates.size(); ++i) pairs[i] = {distances[i], candidates[i]};
  std::sort(pairs.begin(), pairs.end(), ScoredBefore<Id>);
  const std::vector<ScoredNode<Id>> sorted(pairs);  // selection reorders pairs
  const size_t cap = g.Cap(layer);
  const size_t kept = HnswSelectNeighbours(g, pairs.data(), pairs.size(), cap);
  if (!g.ok()) return;
  std::vector<Id> ids(kept);
  for (size_t i = 0; i < kept; ++i) ids[i] = pairs[i].id;
  // Room the selection left is filled as reverse links fill lists, nearest
  // first: the node's own live neighbours it passed over, up to the cap,
  // then the other candidates up to the list's length before. Each such
  // own link may be the only one a far node still has (its other
  // neighbours all select closer nodes), and dropping it here would cut
  // that node off for good; the others keep the node's degree where
  // inserts left it, without filling every relinked list to its cap.
  // Copies of the node that selection passed over stay out (see
  // HnswSelectNeighbours), anchored elsewhere if need be.
  auto fill = [&](bool owned, size_t room) {
    for (const ScoredNode<Id>& pair : sorted) {
      if (ids.size() >= room) return;
      if (hnsw_internal::IsCopy(pair.distance)) continue;
      const bool is_own = std::find(own.begin(), own.end(), pair.id) != own.end();
      if (is_own == owned && std::find(ids.begin(), ids.end(), pair.id) == ids.end()) ids.push_back(pair.id);
    }
  };
  fill(true, cap);
  fill(false, std::min(cap, own.size()));
  g.SetLinks(id, layer, std::span<const Id>(ids));
  // An own live neighbour the list no longer holds may have had its last
  // in-link here.
  if (!Live(g, id)) return;
  for (const Id v : own) {
    if (std::find(ids.begin(), ids.end(), v) == ids.end()) KeepLinked(g, v, layer, id);
  }
}

// How many of the nearest candidates a patched list tests for one that its
// own neighbours do not cover (Patch) before it takes the nearest.
inline constexpr size_t kPatchTries = 4;

// Links node id again on `layer` after it lost a neighbour or a few to
// removals (those `gone` tells), for a fraction of what Relink pays: its
// own neighbours that are not gone stay, in their order, and each place a
// gone one left (up to the list's length before) goes to a candidate from
// the lists of the gone ones (live, not in the list already, not a copy of the
// node): the nearest that none of the list's nodes named in those lists
// too covers (is strictly nearer to it than node id is: selection's
// test), the kPatchTries nearest tried; failing that, the nearest.
//
// Why not choose the whole list again: a single removal leaves some
// twenty nodes around it one neighbour short, and a selection over each
// one's list and the removed node's costs about as much as the insert of
// a vector, which a write that replaces one pays as well. A patch costs
// the distances to the removed node's neighbours and a few tests against
// those of them the node keeps. It reads no node but the removed ones'
// neighbours (an on-disk graph reads each node it looks at as a row): the
// own neighbours it keeps are told apart by `gone` alone (the removed node
// itself, or Doomed, which a sweep knows from its queue), and only those
// the removed ones link to as well, which it reads anyway, stand in the
// tests of cover; those are the neighbours near the candidates. The list
// keeps what a selection chose before; an insert that prunes it chooses
// again. No own neighbour that is not gone leaves the list, so no node
// loses its anchor here; a copy of the node left out is anchored
// elsewhere (selection keeps two at most).
template <HnswRepairGraph G, typename Gone>
void Patch(G& g, typename G::Id id, uint32_t layer, Gone gone) {
  using Id = typename G::Id;
  const std::vector<Id> own = ListOf(g, id, layer);
  std::vector<Id> kept;
  std::vector<Id> pool;  // the ids the doomed neighbours' lists name
  kept.reserve(own.size());
  for (const Id v : own) {
    if (!gone(v)) {
      kept.push_back(v);
      continue;
    }
    if (!g.Present(v)) continue;
    const auto& next = g.Links(v, layer);
    for (size_t i = 0, n = next.size(); i < n; ++i) pool.push_back(next[i]);
    if (!g.ok()) return;
  }
  if (kept.size() == own.size()) return;
  const size_t length = std::min(g.Cap(layer), own.size());
  if (kept.size() < length && !pool.empty()) {
    std::sort(pool.begin(), pool.end());
    pool.erase(std::unique(pool.begin(), pool.end()), pool.end());
    std::vector<Id> near_kept;  // the list's nodes that stand in the tests
    for (const Id v : kept) {
      if (std::binary_search(pool.begin(), pool.end(), v)) near_kept.push_back(v);
    }
    // Cheapest first: the tests that read no node.
    std::erase_if(pool, [&](Id w) {
      return w == id || std::find(kept.begin(), kept.end(), w) != kept.end() || !g.Present(w) || g.Deleted(w);
    });
    if (!g.ok()) return;
    std::vector<float> distances(pool.size());
    g.ScoreFrom(id, pool.data(), pool.size(), distances.data());
    if (!g.ok()) return;
    std::vector<ScoredNode<Id>> near;
    near.reserve(pool.size());
    for (size_t i = 0; i < pool.size(); ++i) {
      if (!hnsw_internal::IsCopy(distances[i])) near.push_back({distances[i], pool[i]});
    }
    // Only the nearest few are ever looked at: the kPatchTries tested, and
    // then one per place still to fill. The order is total (distance, then
    // id), so they come out as a whole sort would put them.
    const size_t looked_at = std::min(near.size(), kPatchTries + (length - kept.size()));
    std::partial_sort(near.begin(), near.begin() + looked_at, near.end(), ScoredBefore<Id>);
    near.resize(looked_at);
    std::vector<uint8_t> taken(near.size(), 0);
    std::vector<float> from;
    for (size_t i = 0; i < near.size() && i < kPatchTries && kept.size() < length; ++i) {
      from.resize(near_kept.size());
      if (!near_kept.empty()) g.ScoreFrom(near[i].id, near_kept.data(), near_kept.size(), from.data());
      if (!g.ok()) return;
      if (std::any_of(from.begin(), from.end(), [&](float d) { return d < near[i].distance; })) continue;
      kept.push_back(near[i].id);
      near_kept.push_back(near[i].id);
      taken[i] = 1;
    }
    for (size_t i = 0; i < near.size() && kept.size() < length; ++i) {
      if (!taken[i]) kept.push_back(near[i].id);
    }
  }
  g.SetLinks(id, layer, std::span<const Id>(kept));
}

// Links node id again on every layer where it links to a doomed node;
// true when it did on any. With `patch`, by Patch (a single write's
// removal: a node loses one neighbour or a few), else by Relink (a bulk's
// pass, after which a node may have lost most of its list).
template <HnswRepairGraph G>
bool RepairNode(G& g, typename G::Id id, bool patch) {
  bool relinked = false;
  for (uint32_t layer = 0, layers = g.Layers(id); layer < layers && g.ok(); ++layer) {
    bool doomed = false;
    {
      const auto& list = g.Links(id, layer);
      for (size_t i = 0, n = list.size(); i < n && !doomed; ++i) doomed = g.Doomed(list[i]);
    }
    if (!doomed) continue;
    if (patch) {
      Patch(g, id, layer, [&g](typename G::Id v) { return g.Doomed(v); });
    } else {
      Relink(g, id, layer);
    }
    relinked = true;
  }
  return relinked;
}

// A live node to stand for node x as the entry point: its nearest live
// neighbour on its highest layer that has one (such a node reaches as
// high), else any live node; none when no node is live.

template <HnswRepairGraph G>
std::optional<typename G::Id> LiveNear(G& g, typename G::Id x) {
  if (auto v = LiveAround(g, x)) return v;
  return g.FirstLive(x);
}

template <HnswRepairGraph G>
void MoveEntryIfDeleted(G& g) {
  std::optional<typename G::Id> entry = g.Entry();
  if (entry && (!g.Present(*entry) || g.Deleted(*entry))) g.SetEntry(LiveNear(g, *entry));
}

template <HnswRepairGraph G>
void Sweep(G& g, const HnswRepairLimits& limits, HnswRepairCounts& counts) {
  HnswRepairCursor& at = g.cursor();
  const auto ids = g.NextPresent(at.next, limits.nodes);
  for (const auto id : ids) {
    if (counts.relinked >= limits.relinks || !g.ok()) return;
    if (g.Deleted(id) && !g.Queued(id)) g.Queue(id);
    if (RepairNode(g, id, true)) ++counts.relinked;
    ++counts.passed;
    at.next = uint64_t{id} + 1;
  }
  if (ids.size() == limits.nodes || !g.ok()) return;  // more nodes may follow
  // The pass is over. No search may reach a node about to be dropped, so
  // the entry point leaves a deleted node now.
  MoveEntryIfDeleted(g);
  at.dropping = true;
  at.next = 0;
}

template <HnswRepairGraph G>
void DropReady(G& g, const HnswRepairLimits& limits, HnswRepairCounts& counts) {
  using Id = typename G::Id;
  HnswRepairCursor& at = g.cursor();
  const auto ready = g.ReadyBatch(limits.drops);
  // (layer, node) pairs the dropped nodes linked to: their links go too.
  std::vector<std::pair<uint32_t, Id>> lost;
  for (const auto x : ready) {
    if (!g.ok()) return;
    // The entry left deleted nodes when the drops began; nothing moves it
    // back onto one, but should it stand here it moves first.
    if (g.Entry() == x) g.SetEntry(LiveNear(g, x));
    if (g.Present(x)) {
      for (uint32_t layer = 0, layers = g.Layers(x); layer < layers; ++layer) {
        for (const Id v : ListOf(g, x, layer)) lost.emplace_back(layer, v);
      }
    }
    g.Drop(x);
    ++counts.dropped;
  }
  // A node an insert linked to a removed one after its removal may hold
  // its last in-link there.
  std::sort(lost.begin(), lost.end());
  lost.erase(std::unique(lost.begin(), lost.end()), lost.end());
  if constexpr (requires { g.EndDrops(); }) {
    if (!lost.empty() && g.ok()) g.EndDrops();
  }
  for (const auto& [layer, v] : lost) KeepLinked(g, v, layer, v);
  if (ready.size() == limits.drops || !g.ok()) return;
  ++at.pass;
  at.dropping = false;
  at.next = 0;
  g.StartPass();
}

// Links again, on each layer of the removed node x, every present live
// node x links to there that links back to x: the nodes that lost a
// neighbour, as far as x's own lists tell.
template <HnswRepairGraph G>
void RepairAround(G& g, typename G::Id x, bool was_entry, HnswRepairCounts& counts) {
  using Id = typename G::Id;
  for (uint32_t layer = 0, layers = g.Layers(x); layer < layers && g.ok(); ++layer) {
    std::vector<Id> near;
    {
      const auto& list = g.Links(x, layer);
      near.reserve(list.size());
      for (size_t i = 0, n = list.size(); i < n; ++i) near.push_back(list[i]);
    }
    for (Id v : near) {
      if (!g.ok()) return;
      if (v == x || !g.Present(v) || g.Deleted(v) || g.Layers(v) <= layer) continue;
      bool back = false;
      {
        const auto& list = g.Links(v, layer);
        for (size_t i = 0, n = list.size(); i < n && !back; ++i) back = list[i] == x;
      }
      if (!back) continue;
      // Other deleted nodes it links to are the sweep's: telling them
      // apart would read each of its neighbours.
      Patch(g, v, layer, [x](Id u) { return u == x; });
      ++counts.relinked;
    }
    // A node x linked to without a link back (a far node, which its own
    // neighbours' lists prune) may have had its last in-link from x.
    // (x stood before every node while it was the entry point.)
    for (Id v : near) KeepLinked(g, v, layer, was_entry ? v : x);
  }
}

}  // namespace hnsw_repair_internal

// One step of the repair: a slice of the sweep, or of the drops after it.
// The nodes it passes or drops pay the debt down.
template <HnswRepairGraph G>
HnswRepairCounts HnswRepairStep(G& g, const HnswRepairLimits& limits) {
  HnswRepairCounts counts;
  if (g.cursor().dropping) {
    hnsw_repair_internal::DropReady(g, limits, counts);
  } else {
    hnsw_repair_internal::Sweep(g, limits, counts);
  }
  HnswRepairCursor& at = g.cursor();
  at.debt -= std::min<uint64_t>(at.debt, counts.passed + counts.dropped);
  return counts;
}

namespace hnsw_repair_internal {

// Queues each removed node (a deleted node, present), repairs around it
// and adds its share to the debt; then moves the entry point off removed
// nodes, so that searches start from a live one.
template <HnswRepairGraph G>
void RepairRemoved(G& g, std::span<const typename G::Id> removed, const HnswRepairLimits& limits,
                   HnswRepairCounts& counts) {
  // A removed entry point anchors nothing, and the nodes made first can have
  // no other anchor: the entry moves to a live node before the anchors are
  // seen to.
  const std::optional<typename G::Id> entry = g.Entry();
  if (!removed.empty() && g.ok()) MoveEntryIfDeleted(g);
  for (const auto x : removed) {
    if (!g.ok()) return;
    if (!g.Present(x) || !g.Deleted(x)) continue;
    if (!g.Queued(x)) g.Queue(x);
    RepairAround(g, x, entry == x, counts);
    g.cursor().debt += limits.per_removal;
  }
  if (!removed.empty() && g.ok()) MoveEntryIfDeleted(g);
}

// What a write leaves owed of a debt it found: one step's worth less.
inline uint64_t DebtKept(uint64_t found, const HnswRepairLimits& limits) {
  return found - std::min<uint64_t>(found, limits.nodes);
}

// Steps (step(counts): one HnswRepairStep, false on a failure) while more
// than `keep` is owed. The steps after a pass's end move on to its drops
// or to the next pass without passing a node; two such in a row mean the
// graph has nothing left to pass, and the debt is let go. `idle`: such
// steps already taken in a row (by a caller that took the first step
// itself).
template <typename StepFn>
void PayDebt(HnswRepairCursor& at, uint64_t keep, HnswRepairCounts& counts, StepFn step, int idle = 0) {
  while (at.debt > keep && idle < 2) {
    HnswRepairCounts one;
    if (!step(one)) return;
    idle = one.passed + one.dropped == 0 ? idle + 1 : 0;
    counts += one;
  }
  if (idle == 2) at.debt = 0;
}

}  // namespace hnsw_repair_internal

// The repair a write owes, after it removed the nodes `removed` (deleted
// nodes; none when it removed or replaced no vector): each is queued and
// repaired around at once, adds limits.per_removal to the debt, and the
// write steps until that share is paid. A write that removed nothing does
// nothing unless a debt is left over (only a graph an earlier build left
// with deleted nodes has one): then one step of it, as a removing write
// pays (at most one step's worth, or one slice) beyond its own share.
template <HnswRepairGraph G>
HnswRepairCounts HnswRepairAfterWrite(G& g, std::span<const typename G::Id> removed,
                                      const HnswRepairLimits& limits) {
  HnswRepairCounts counts;
  HnswRepairCursor& at = g.cursor();
  if (removed.empty()) return at.debt == 0 ? counts : HnswRepairStep(g, limits);
  const uint64_t keep = hnsw_repair_internal::DebtKept(at.debt, limits);
  hnsw_repair_internal::RepairRemoved(g, removed, limits, counts);
  hnsw_repair_internal::PayDebt(at, keep, counts, [&](HnswRepairCounts& one) {
    one = HnswRepairStep(g, limits);
    return g.ok();
  });
  return counts;
}

// ---------------------------------------------------------------------------
// Bulk removals.
//
// A call that removes many nodes at once (a filtered delete, a batch of
// deletes, a dump load that replaces documents) repairs once, at its end,
// instead of once per node. The per-node path above costs each removal
// the relinks around it plus per_removal nodes of the sweep, so past
// nodes / per_removal removals it does more than one pass over the whole
// graph, and relinks most nodes many times over. A bulk past that point
// makes one pass instead, after every node it removed is marked deleted:
// each live node that links, on some layer, to a deleted node is linked
// again there (RepairNode, with every deleted node doomed), the entry
// point leaves the deleted nodes, and then every deleted node is dropped
// at once, whichever queue it waited in: the pass went over every live
// node after all of them were deleted and took every link to them away,
// and relinking adds links to live nodes only. Deleted nodes are not
// relinked, since nothing reaches them once the pass is over. A smaller
// bulk takes the per-node path for all its nodes together, which costs
// what as many single removals would.

namespace hnsw_repair_internal {

// Whether a bulk of `removed` nodes over a graph of about `nodes` present
// nodes makes one pass rather than the per-node path.
inline bool BulkPasses(size_t removed, uint64_t nodes, const HnswRepairLimits& limits) {
  return removed > 0 && removed >= (nodes + limits.per_removal - 1) / limits.per_removal;
}

// The pass of a bulk: every live node linked again away from every deleted
// node, then the entry point moved off them and every live node without
// an anchor given one (AnchorAll). Requires Doomed(id) to hold
// for every deleted node. Returns the deleted nodes met, for the graph to
// drop at once (no node links to them any more); the repair's cursor
// starts a new pass with nothing owed.
template <HnswRepairGraph G>
std::vector<typename G::Id> FullPass(G& g, const HnswRepairLimits& limits, HnswRepairCounts& counts) {
  std::vector<typename G::Id> deleted;
  uint64_t from = 0;
  while (g.ok()) {
    const auto ids = g.NextPresent(from, limits.nodes);
    for (const auto id : ids) {
      if (!g.ok()) break;
      ++counts.passed;
      if (g.Deleted(id)) {
        deleted.push_back(id);
      } else if (RepairNode(g, id, false)) {
        ++counts.relinked;
      }
    }
    if (ids.size() < limits.nodes) break;
    from = uint64_t{ids.back()} + 1;
  }
  if (g.ok()) MoveEntryIfDeleted(g);
  AnchorAll(g, limits);
  HnswRepairCursor& at = g.cursor();
  at = HnswRepairCursor{at.pass + 1, false, 0, 0, 0};
  return deleted;
}

}  // namespace hnsw_repair_internal

// For a graph that hands a dropped id to a new node: a new node behind the
// sweep's cursor is one this pass will not go over, so whatever deleted
// nodes its insert linked it to, it is linked again at once.
template <HnswRepairGraph G>
void HnswRepairNewNode(G& g, typename G::Id id) {
  const HnswRepairCursor& at = g.cursor();
  if (!at.dropping && id < at.next) hnsw_repair_internal::RepairNode(g, id, true);
}


// ---------------------------------------------------------------------------
// The in-memory graph.

// One step of the repair of an in-memory graph, whatever its debt; dropped
// nodes' storage goes to the graph's next inserts.
HnswRepairCounts hnsw_repair(HnswIndex& graph, const HnswRepairLimits& limits = HnswRepairLimits{});

// The repair owed after a write that removed the node `removed` (a key's
// node it deleted or replaced; none: nothing, the usual case, at the cost of
// one test) (HnswRepairAfterWrite). The index layer calls it after each
// write it applies, under the same lock.
HnswRepairCounts hnsw_repair_after_write(HnswIndex& graph, std::optional<uint32_t> removed,
                                         const HnswRepairLimits& limits = HnswRepairLimits{});

// The repair owed after a bulk removal whose nodes `removed` are all
// tombstoned already (ids that are no longer tombstones are passed by):
// one pass and every tombstone dropped, or, for a small bulk, the per-node
// path for all of them (see "Bulk removals" above).
HnswRepairCounts hnsw_repair_after_bulk(HnswIndex& graph, std::span<const uint32_t> removed,
                                        const HnswRepairLimits& limits = HnswRepairLimits{});

namespace hnsw_internal {

// The in-memory graph's repair state (HnswIndex::repair_).
struct RepairState {
  static constexpr uint8_t kUnmarked = 0;
  static constexpr uint8_t kQueued = 1;
  static constexpr uint8_t kDropped = 2;

  HnswRepairCursor cursor;
  std::vector<uint8_t> marks;      // by node id; ids past the end are unmarked
  std::vector<uint32_t> waiting;   // queued in this pass
  std::vector<uint32_t> ready;     // queued in the pass before: dropped after this one
  std::vector<uint32_t> free_ids;  // dropped: their blocks take the next new nodes

  uint8_t Mark(uint32_t id) const { return id < marks.size() ? marks[id] : kUnmarked; }
  void SetMark(uint32_t id, uint8_t mark) {
    if (id >= marks.size()) marks.resize(size_t{id} + 1, kUnmarked);
    marks[id] = mark;
  }
};

// After hnsw_insert placed a new node at id (called by it).
void RepairNewNode(HnswIndex& graph, uint32_t id);
// After hnsw_insert marked a key's old node `id` deleted, before it
// inserts the new one (HnswAnchorAround).
void AnchorAroundReplaced(HnswIndex& graph, uint32_t id);

}  // namespace hnsw_internal

}  // namespace pallix

#endif  // PALLIX_VECTOR_HNSW_REPAIR_H_
