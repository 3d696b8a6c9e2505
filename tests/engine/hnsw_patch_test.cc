// The patch a single removal's repair gives each node around the removed
// one (hnsw_repair_internal::Patch), against a literal transcription of its
// rule over random small graphs: integer vectors, so that every distance is
// exact and ties fall to the id, random lists (removed nodes among them,
// nodes of removed nodes' lists already in the list, copies of the node),
// and random sets of gone neighbours. Also which nodes it reads: none of
// the kept neighbours that the gone ones do not name too.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "vector/hnsw_repair.h"

namespace pallix {
namespace {

// A graph of nodes with integer vectors and one list per layer (layer 0
// only), as HnswRepairGraph asks; squared l2 distances, exact in float.
struct FakeGraph {
  using Id = uint32_t;
  std::vector<std::vector<float>> vectors;
  std::vector<std::vector<Id>> lists;
  std::vector<bool> deleted;
  std::vector<bool> present;
  size_t cap = 6;
  HnswRepairCursor at;
  std::optional<Id> entry;
  std::set<Id> scored_from;  // nodes a distance was measured from or to

  HnswRepairCursor& cursor() { return at; }
  std::vector<Id> NextPresent(uint64_t, size_t) { return {}; }
  bool Present(Id id) const { return id < present.size() && present[id]; }
  bool Deleted(Id id) const { return deleted[id]; }
  bool Doomed(Id id) const { return deleted[id]; }
  bool Queued(Id) const { return false; }
  void Queue(Id) {}
  uint32_t Layers(Id) const { return 1; }
  std::span<const Id> Links(Id id, uint32_t) const { return lists[id]; }
  void SetLinks(Id id, uint32_t, std::span<const Id> ids) { lists[id].assign(ids.begin(), ids.end()); }
  size_t Cap(uint32_t) const { return cap; }
  float Between(Id a, Id b) const {
    float sum = 0;
    for (size_t i = 0; i < vectors[a].size(); ++i) sum += (vectors[a][i] - vectors[b][i]) * (vectors[a][i] - vectors[b][i]);
    return sum;
  }
  void ScoreFrom(Id from, const Id* ids, size_t n, float* out) {
    scored_from.insert(from);
    for (size_t i = 0; i < n; ++i) {
      scored_from.insert(ids[i]);
      out[i] = Between(from, ids[i]);
    }
  }
  std::optional<Id> Entry() const { return entry; }
  void SetEntry(std::optional<Id> id) { entry = id; }
  std::optional<Id> FirstLive(Id) const { return std::nullopt; }
  std::vector<Id> ReadyBatch(size_t) { return {}; }
  void Drop(Id) {}
  void StartPass() {}
  static constexpr bool ok() { return true; }
  uint64_t Born(Id id) const { return id; }
};
static_assert(HnswRepairGraph<FakeGraph>);

// The rule, written out: the list without the gone ids, in its order;
// then, while shorter than it was (and the cap), the nearest candidates
// (named by a gone node that is present, live, not the node, not in the
// list, not a copy) tried in turn, kPatchTries of them, each taken unless a
// kept node named by a gone node too is strictly nearer to it than the
// node is; then the nearest of the rest.
std::vector<uint32_t> PatchModel(const FakeGraph& g, uint32_t id, const std::set<uint32_t>& gone) {
  const std::vector<uint32_t>& own = g.lists[id];
  std::vector<uint32_t> kept;
  std::set<uint32_t> named;
  for (uint32_t v : own) {
    if (!gone.contains(v)) {
      kept.push_back(v);
    } else if (g.Present(v)) {
      named.insert(g.lists[v].begin(), g.lists[v].end());
    }
  }
  if (kept.size() == own.size()) return own;
  const size_t length = std::min(g.cap, own.size());
  std::vector<uint32_t> near_kept;
  for (uint32_t v : kept) {
    if (named.contains(v)) near_kept.push_back(v);
  }
  std::vector<ScoredNode<uint32_t>> near;
  for (uint32_t w : named) {
    if (w == id || std::ranges::find(kept, w) != kept.end() || !g.Present(w) || g.deleted[w]) continue;
    const float d = g.Between(id, w);
    if (d > 0) near.push_back({d, w});
  }
  std::sort(near.begin(), near.end(), [](const auto& a, const auto& b) {
    return a.distance != b.distance ? a.distance < b.distance : a.id < b.id;
  });
  std::set<uint32_t> taken;
  for (size_t i = 0; i < near.size() && i < hnsw_repair_internal::kPatchTries && kept.size() < length; ++i) {
    bool covered = false;
    for (uint32_t k : near_kept) covered = covered || g.Between(near[i].id, k) < near[i].distance;
    if (covered) continue;
    kept.push_back(near[i].id);
    near_kept.push_back(near[i].id);
    taken.insert(near[i].id);
  }
  for (const auto& c : near) {
    if (kept.size() >= length) break;
    if (!taken.contains(c.id)) kept.push_back(c.id);
  }
  return kept;
}

TEST(HnswPatch, MatchesALiteralModelOfItsRule) {
  uint64_t seed = 12345;
  auto next = [&seed](uint32_t below) {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>((seed >> 33) % below);
  };
  size_t patched = 0;
  for (int round = 0; round < 3000; ++round) {
    FakeGraph g;
    const uint32_t n = 6 + next(30);
    g.cap = 2 + next(8);
    for (uint32_t i = 0; i < n; ++i) {
      // Few distinct values: ties and copies of a node are common.
      g.vectors.push_back({static_cast<float>(next(5)), static_cast<float>(next(5)), static_cast<float>(next(3))});
      g.deleted.push_back(next(6) == 0);
      g.present.push_back(next(20) != 0);
    }
    g.lists.resize(n);
    for (uint32_t i = 0; i < n; ++i) {
      const size_t length = std::min<size_t>(next(static_cast<uint32_t>(g.cap) + 1), n - 1);
      while (g.lists[i].size() < length) {
        const uint32_t v = next(n);
        if (v != i && std::ranges::find(g.lists[i], v) == g.lists[i].end()) g.lists[i].push_back(v);
      }
    }
    const uint32_t id = next(n);
    g.present[id] = true;
    g.deleted[id] = false;
    std::set<uint32_t> gone;
    for (uint32_t v : g.lists[id]) {
      if (next(3) == 0) gone.insert(v);
    }
    const std::vector<uint32_t> want = PatchModel(g, id, gone);
    std::set<uint32_t> named;
    for (uint32_t v : gone) {
      if (g.Present(v)) named.insert(g.lists[v].begin(), g.lists[v].end());
    }
    hnsw_repair_internal::Patch(g, id, 0, [&gone](uint32_t v) { return gone.contains(v); });
    ASSERT_EQ(g.lists[id], want) << "round " << round;
    // It measures nothing but from the node to what the gone nodes name,
    // and between those.
    for (uint32_t s : g.scored_from) {
      EXPECT_TRUE(s == id || named.contains(s)) << "round " << round << " scored node " << s;
    }
    patched += gone.empty() ? 0 : 1;
  }
  EXPECT_GT(patched, 1000u);
}

// The nodes around a removed node keep every other neighbour and their
// length, on a graph that a search uses afterwards: one removal's repair
// (no sweep: nothing owed beyond the node's own) patches, never chooses
// the list again.
TEST(HnswPatch, ARemovalKeepsTheOtherNeighboursOfEachNodeAroundIt) {
  HnswIndex graph(Metric::kL2, Quantization::kNone);
  uint64_t seed = 7;
  auto coord = [&seed]() {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<float>((seed >> 33) % 1000) / 100.0f;
  };
  const int n = 400;
  for (int i = 0; i < n; ++i) {
    hnsw_insert(graph, "k" + std::to_string(i), std::vector<float>{coord(), coord(), coord(), coord()});
  }
  for (int round = 0; round < 40; ++round) {
    const std::string key = "k" + std::to_string(round * 7);
    const std::optional<uint64_t> found = graph.find(key);
    ASSERT_TRUE(found.has_value());
    const uint32_t x = static_cast<uint32_t>(*found);
    const std::vector<uint32_t> around(graph.neighbours(x, 0).begin(), graph.neighbours(x, 0).end());
    std::vector<std::vector<uint32_t>> before;
    for (uint32_t v : around) before.emplace_back(graph.neighbours(v, 0).begin(), graph.neighbours(v, 0).end());
    hnsw_remove_key(graph, key);
    hnsw_repair_after_write(graph, x, HnswRepairLimits{64, 16, 64, 0});
    for (size_t i = 0; i < around.size(); ++i) {
      const std::vector<uint32_t>& old = before[i];
      if (std::ranges::find(old, x) == old.end()) continue;
      const std::vector<uint32_t> now(graph.neighbours(around[i], 0).begin(), graph.neighbours(around[i], 0).end());
      EXPECT_EQ(std::ranges::find(now, x), now.end());
      // Every other neighbour is still there, in its order, and the list
      // as long as before; but an anchor given to a node after the patch
      // may take the place of one of them, near the end.
      size_t at = 0, missing = 0;
      for (uint32_t v : old) {
        if (v == x) continue;
        auto it = std::find(now.begin() + static_cast<std::ptrdiff_t>(at), now.end(), v);
        if (it == now.end()) {
          ++missing;
          continue;
        }
        at = static_cast<size_t>(it - now.begin()) + 1;
      }
      EXPECT_LE(missing, 1u) << "round " << round;
      EXPECT_GE(now.size(), old.size() - 1) << "round " << round;
    }
  }
}

}  // namespace
}  // namespace pallix
