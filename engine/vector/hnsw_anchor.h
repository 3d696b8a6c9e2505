// How both vector graphs keep every live node reachable: the anchor rule,
// written once over a small graph-access interface (HnswLinkGraph) that the
// repair's access (vector/hnsw_repair.h) and an insert's store both offer.
//
// Anchors: what holds after every call that returns. Order the nodes with
// the entry point first, then the others in the order they were made
// (Born). On every layer, every live node other than the entry point is
// linked there from a live node before it in that order: its anchor. So
// every live node is reached from the entry point on each of its layers
// (follow anchors back: each step goes to an earlier node, so the chain
// ends, and only at the entry point), and since a search's layer-0 walk
// starts from the entry point as well as from where its descent lands,
// one as wide as the graph returns every live key. A local test ("is some
// neighbour linking to it?") is not enough: a group of nodes that link
// only to each other, as copies of one vector do, passes it.
//
// What keeps it: whenever a node may lose its anchor (KeepLinked), it gets
// a new one if none is found. That is each node a removed node links to
// (RepairAround), each own neighbour a relinked list leaves out (Relink),
// each node a dropped node links to (DropReady), each node an insert's
// pruning left out of a list and the new node itself (HnswKeepLinked), and
// the old entry point and what it linked to when a new node rises above it.
// The test is cheap: links are mostly mutual, so an anchor is almost always
// among a node's own neighbours, found by a look at one or two lists; it
// never answers yes without seeing the link, so a wrong no costs one
// link. A new anchor is the nearest live node before it around it with
// room in its list or an id there to spare (a removed node, or one anchored
// from elsewhere, so that no node loses its anchor for it); failing those,
// a node a walk from the entry point meets. A bulk call removes many nodes
// without this care for each, and ends with AnchorAll over every live node;
// a bulk call cut short (a kill between its transactions) changed no list
// but marked nodes deleted, which still route searches, and the on-disk
// graph records it (HnswRepairCursor::unanchored) so that its next repair
// runs AnchorAll before it changes any list. Graphs written before anchors
// were kept count as owing it.
//
// The proof in the tests: a model test per graph kind (tests/engine/
// vector_reach_test.cc), over tight clusters with far outliers, blocks of
// copies of one vector, four distinct vectors and positive vectors under
// "dot", under every metric, quantized and not, with random single writes,
// bulk removals, batches of inserts sharing a node cache, and bulk calls
// cut short between their transactions, checks after every call that a
// walk from the entry point over each layer reaches every live node, that a
// query with k = live + 10 returns every live key, and (but after a call
// cut short) that every live node has its anchor; the literal model of the
// graph (hnsw_test.cc) follows every anchoring decision link by link.
//
// Thread-safety: these functions mutate the graph; callers serialise them
// with every other use of the graph as they do inserts.

#ifndef PALLIX_VECTOR_HNSW_ANCHOR_H_
#define PALLIX_VECTOR_HNSW_ANCHOR_H_

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <unordered_set>
#include <utility>
#include <vector>

#include "vector/hnsw_insert.h"

namespace pallix {

// Keeping a node linked (HnswKeepLinked) needs only the part of it that
// reads and changes lists (HnswLinkGraph: Born, Present, Deleted, Layers,
// Links, SetLinks, Cap, ScoreFrom, Entry, SetEntry, ok), which an insert's
// store offers too (each call is described in vector/hnsw_repair.h).
template <typename G>
concept HnswLinkGraph = HnswPruneStore<G> && requires(G& g, typename G::Id id, uint32_t layer) {
  { g.Born(id) } -> std::convertible_to<uint64_t>;
  { g.Present(id) } -> std::same_as<bool>;
  { g.Deleted(id) } -> std::same_as<bool>;
  { g.Layers(id) } -> std::convertible_to<uint32_t>;
  { g.Links(id, layer).size() } -> std::convertible_to<size_t>;
  { g.Cap(layer) } -> std::convertible_to<size_t>;
  { g.Entry() } -> std::same_as<std::optional<typename G::Id>>;
  g.SetEntry(std::optional<typename G::Id>(id));
};


namespace hnsw_repair_internal {

template <HnswLinkGraph G>
std::vector<typename G::Id> ListOf(G& g, typename G::Id id, uint32_t layer) {
  const auto& list = g.Links(id, layer);
  std::vector<typename G::Id> out;
  out.reserve(list.size());
  for (size_t i = 0, n = list.size(); i < n; ++i) out.push_back(list[i]);
  return out;
}

template <HnswLinkGraph G>
bool Live(G& g, typename G::Id id) {
  return g.Present(id) && !g.Deleted(id);
}

// Whether node y may anchor node w: y comes before w in the anchor order,
// the entry point first, then the nodes in the order they were made.
template <HnswLinkGraph G>
bool Before(G& g, typename G::Id y, typename G::Id w) {
  const std::optional<typename G::Id> entry = g.Entry();
  if (entry == y) return true;
  if (entry == w) return false;
  return g.Born(y) < g.Born(w);
}

// Whether node w is anchored on `layer`: linked there from a live node
// other than `except` that comes before it (Before), as far as w's own
// neighbours there tell (links are mostly mutual, so for all but far nodes
// the first one or two do). The entry point needs no anchor. A failed
// graph answers true: nothing more is done. Never true without such a
// link, so a false answer costs at most a link that was not needed.
template <HnswLinkGraph G>
bool LinkedNear(G& g, typename G::Id w, uint32_t layer, typename G::Id except) {
  using Id = typename G::Id;
  if (g.Entry() == w) return true;
  // A copy: a store's view of a list may lapse once it reads another node.
  // Lists are short: most fit the buffer on the stack.
  Id buffer[64];
  std::vector<Id> spill;
  size_t count;
  {
    const auto& list = g.Links(w, layer);
    count = list.size();
    Id* to = buffer;
    if (count > std::size(buffer)) {
      spill.resize(count);
      to = spill.data();
    }
    for (size_t i = 0; i < count; ++i) to[i] = list[i];
  }
  const Id* own = spill.empty() ? buffer : spill.data();
  for (size_t j = 0; j < count; ++j) {
    const Id y = own[j];
    if (!g.ok()) return true;
    // Cheapest first: the order (a counter by id) rejects the nodes made
    // later without reading them.
    if (y == except || y == w || !Before(g, y, w) || !Live(g, y) || g.Layers(y) <= layer) continue;
    const auto& list = g.Links(y, layer);
    for (size_t i = 0, n = list.size(); i < n; ++i) {
      if (list[i] == w) return true;
    }
  }
  return !g.ok();
}

// How many of the nodes nearest to a node losing its anchor are tried as
// its new anchor, and how many ids of each full list, from the last, as the
// one it replaces.
inline constexpr size_t kInLinkHosts = 8;
// How many anchor candidates the walk from the entry point tries when no
// node near the node can take it.
inline constexpr size_t kAnchorWalkHosts = 4096;

// Adds w to node y's list on `layer`: appended when there is room, else in
// place of an id whose node keeps an anchor without y (a removed node, or
// one anchored elsewhere), tried from the last id (the farthest a
// selection kept) up to kInLinkHosts of them. No node loses its anchor for
// w. False when y can take it neither way.
template <HnswLinkGraph G>
bool TakeInto(G& g, typename G::Id y, typename G::Id w, uint32_t layer, size_t tries) {
  using Id = typename G::Id;
  if (g.Layers(y) <= layer) return false;  // no list there to take it
  std::vector<Id> list = ListOf(g, y, layer);
  if (std::find(list.begin(), list.end(), w) != list.end()) return true;
  if (list.size() < g.Cap(layer)) {
    list.push_back(w);
    g.SetLinks(y, layer, std::span<const Id>(list));
    return true;
  }
  for (size_t i = list.size(), tried = 0; i-- > 0 && tried < tries && g.ok(); ++tried) {
    const Id z = list[i];
    if (!Live(g, z) || g.Layers(z) <= layer || LinkedNear(g, z, layer, y)) {
      list[i] = w;
      g.SetLinks(y, layer, std::span<const Id>(list));
      return true;
    }
  }
  return false;
}

// Gives live node w an anchor on `layer`: a link from a live node that
// comes before it. Tried first are the nodes around it, nearest first (its
// live neighbours there, and those of its removed ones; `except` aside);
// when none of them can take it (TakeInto), the live nodes before it that
// a walk from the entry point meets on that layer, in the order it meets
// them (the entry point itself first, `except` among them). When none of those can either (each
// list full of nodes anchored there alone), w takes the place of a node
// after it in the anchor order, in the first list tried that holds one,
// and that node gets an anchor in turn: each such move goes to a later
// node, so the chain ends.
template <HnswLinkGraph G>
void LinkFromNear(G& g, typename G::Id w0, uint32_t layer, typename G::Id except0) {
  using Id = typename G::Id;
  std::vector<std::pair<Id, Id>> pending{{w0, except0}};  // (node, the list it left)
  bool first = true;
  while (!pending.empty() && g.ok()) {
    const auto [w, except] = pending.back();
    pending.pop_back();
    if (!first && (!Live(g, w) || g.Layers(w) <= layer || LinkedNear(g, w, layer, except))) continue;
    first = false;
    std::vector<Id> hosts;
    for (const Id v : ListOf(g, w, layer)) {
      if (!g.Present(v) || g.Layers(v) <= layer) continue;
      if (!g.Deleted(v)) {
        hosts.push_back(v);
        continue;
      }
      for (const Id u : ListOf(g, v, layer)) hosts.push_back(u);
    }
    std::sort(hosts.begin(), hosts.end());
    hosts.erase(std::unique(hosts.begin(), hosts.end()), hosts.end());
    std::erase_if(hosts, [&](Id y) {
      return y == w || y == except || !Live(g, y) || g.Layers(y) <= layer || !Before(g, y, w);
    });
    if (!g.ok()) return;
    std::vector<Id> tried;  // in the order tried
    bool taken = false;
    if (!hosts.empty()) {
      std::vector<float> distances(hosts.size());
      g.ScoreFrom(w, hosts.data(), hosts.size(), distances.data());
      if (!g.ok()) return;
      std::vector<ScoredNode<Id>> near(hosts.size());
      for (size_t i = 0; i < hosts.size(); ++i) near[i] = {distances[i], hosts[i]};
      std::sort(near.begin(), near.end(), ScoredBefore<Id>);
      for (size_t h = 0; h < near.size() && h < kInLinkHosts && g.ok() && !taken; ++h) {
        tried.push_back(near[h].id);
        taken = TakeInto(g, near[h].id, w, layer, kInLinkHosts);
      }
    }
    // Rare: every list near w is full of nodes anchored there alone.
    // (An entry point moved off a removed node may stand below the top.)
    const std::optional<Id> entry = g.Entry();
    if (!taken && entry && g.ok() && g.Present(*entry) && g.Layers(*entry) > layer) {
      std::vector<Id> todo{*entry};
      std::unordered_set<Id> seen{*entry};
      for (size_t at = 0; at < todo.size() && at < kAnchorWalkHosts && g.ok() && !taken; ++at) {
        const Id y = todo[at];
        // `except` too: the node that just left w out may be the only one
        // before it (the entry point, for the nodes made first).
        if (y != w && Live(g, y) && Before(g, y, w)) {
          tried.push_back(y);
          taken = TakeInto(g, y, w, layer, g.Cap(layer));
          if (taken) break;
        }
        for (const Id v : ListOf(g, y, layer)) {
          if (g.Present(v) && g.Layers(v) > layer && seen.insert(v).second) todo.push_back(v);
        }
      }
    }
    if (taken || !g.ok()) continue;
    for (const Id y : tried) {
      std::vector<Id> list = ListOf(g, y, layer);
      size_t i = list.size();
      while (i-- > 0 && !(list[i] != w && Before(g, w, list[i]))) {
      }
      if (i == SIZE_MAX) continue;
      const Id z = list[i];
      list[i] = w;
      g.SetLinks(y, layer, std::span<const Id>(list));
      pending.push_back({z, y});
      break;
    }
  }
}

// Node w may have lost its anchor on `layer` (a link from `except`, or from
// a node gone): if it is live and no live node before it near it links to
// it any more, it is given a new anchor. A link from a node that does not
// come before w was never its anchor, and w keeps the one it has; except
// == w checks w whatever took a link away (an entry point that stood
// before every node and no longer does).
template <HnswLinkGraph G>
void KeepLinked(G& g, typename G::Id w, uint32_t layer, typename G::Id except) {
  if (!g.ok() || !Live(g, w) || g.Layers(w) <= layer) return;
  if (except != w && !Before(g, except, w)) return;
  if (LinkedNear(g, w, layer, except)) return;
  LinkFromNear(g, w, layer, except);
}

template <HnswLinkGraph G>
std::optional<typename G::Id> LiveAround(G& g, typename G::Id x) {
  if (g.Present(x)) {
    for (uint32_t layer = g.Layers(x); layer-- > 0;) {
      for (const auto v : ListOf(g, x, layer)) {
        if (g.Present(v) && !g.Deleted(v)) return v;
      }
    }
  }
  return std::nullopt;
}

}  // namespace hnsw_repair_internal

// After an insert: each node whose link to it the insert's pruning took
// away (HnswUnlinked; the new node itself, where every list it was linked
// back into left it out) keeps an in-link from a live node near it. Far
// nodes are what selection prunes, and a node no list links to is lost to
// every search. Most such nodes are still linked from a neighbour, which
// costs a look at a list or two; a node that is not is linked again.
template <HnswLinkGraph G>
void HnswKeepLinked(G& g, std::span<const HnswUnlinked<typename G::Id>> unlinked) {
  for (const auto& u : unlinked) hnsw_repair_internal::KeepLinked(g, u.id, u.layer, u.from);
}

// A replacement's insert changes lists in the write that marks the old
// node deleted, before any repair: each node the old node links to that
// had its anchor there gets a new one first, so that no list the insert
// prunes can be what still leads to it. (A bulk's plain removals change no
// list until their repair, and are counted unanchored instead.)
template <HnswLinkGraph G>
void HnswAnchorAround(G& g, typename G::Id x) {
  // A removed entry point anchors nothing, and the nodes made first can have
  // no other anchor: the entry moves to a live node first.
  const bool was_entry = g.Entry() == x;
  if (was_entry) {
    if (auto v = hnsw_repair_internal::LiveAround(g, x)) g.SetEntry(v);
  }
  for (uint32_t layer = 0, layers = g.Layers(x); layer < layers && g.ok(); ++layer) {
    for (const auto v : hnsw_repair_internal::ListOf(g, x, layer)) {
      hnsw_repair_internal::KeepLinked(g, v, layer, was_entry ? v : x);
    }
  }
}

}  // namespace pallix

#endif  // PALLIX_VECTOR_HNSW_ANCHOR_H_
