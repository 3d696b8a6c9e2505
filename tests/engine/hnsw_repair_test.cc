// The repair of vector graphs around removed nodes (vector/hnsw_repair.h),
// on the in-memory and the on-disk graph alike, against a model: random
// inserts, removals and replacements, each write followed by the repair it
// owes, then every live key found by its own vector, searches within
// recall of brute force and never returning a removed key, no write's
// repair beyond its bounds, the graph's invariants (caps, no link to a
// dropped node), and every removed node dropped in the end; the repair's
// work follows the removals, never the number of writes; on tight clusters
// with far outliers every live node stays reachable after every batch of
// writes. Then an on-disk
// graph written by earlier rules (deleted nodes left as they were, or a
// repair row without a debt) is repaired by later writes, and the repair
// row's layout.

#include "vector/hnsw_repair.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/engine/graph_reach.h"
#include "tests/engine/test_util.h"
#include "vector/disk_hnsw.h"
#include "vector/disk_hnsw_repair.h"

namespace pallix {
namespace {

constexpr size_t kDim = 8;
constexpr char kNs[] = "__dann__c__v";

// Vectors of kDim components.
class Rng : public test::LcgRng {
 public:
  using LcgRng::LcgRng;
  std::vector<float> Vector() { return LcgRng::Vector(kDim); }
  std::vector<float> Vector16() { return LcgRng::Vector(16); }
};

DiskHnswParams L2Params() {
  DiskHnswParams params;
  params.metric = Metric::kL2;
  return params;
}

using Model = std::map<std::string, std::vector<float>>;

// Small limits, so that many steps, passes and drop phases happen.
constexpr HnswRepairLimits kSmall{16, 4, 8, 16};

// One explicit step's bounds.
void ExpectWithin(const HnswRepairCounts& counts, const HnswRepairLimits& limits) {
  EXPECT_LE(counts.passed, limits.nodes);
  EXPECT_LE(counts.relinked, limits.relinks);
  EXPECT_LE(counts.dropped, limits.drops);
}

// Nodes a removed node's lists can hold (layers 0 to 7; the test graphs
// are far smaller than needing more).
constexpr size_t kAroundMost = kHnswM0 + 7 * kHnswM;

// The bounds of a write's repair: nothing unless it removed a node; else
// its share of the sweep (the last step may pass a slice beyond it), the
// relinks around the node and at most one per node passed.
void ExpectWriteWithin(const HnswRepairCounts& counts, bool removed, const HnswRepairLimits& limits) {
  if (!removed) {
    EXPECT_EQ(counts.passed + counts.relinked + counts.dropped, 0u) << "a write that removed nothing repaired";
    return;
  }
  EXPECT_LE(counts.passed + counts.dropped, limits.per_removal + std::max(limits.nodes, limits.drops));
  EXPECT_LE(counts.relinked, kAroundMost + counts.passed);
}

using Node = test::ReachNode;

// The in-memory graph under test.
class MemoryGraph {
 public:
  // Each write and the repair it owes; *removed: it removed a node.
  HnswRepairCounts Put(const std::string& key, const std::vector<float>& v, const HnswRepairLimits& limits,
                       bool* removed = nullptr) {
    return Write(key, limits, removed, [&] { hnsw_insert(graph_, key, v); });
  }
  HnswRepairCounts Remove(const std::string& key, const HnswRepairLimits& limits, bool* removed = nullptr) {
    return Write(key, limits, removed, [&] { hnsw_remove_key(graph_, key); });
  }
  // One step, whatever the debt.
  HnswRepairCounts Step(const HnswRepairLimits& limits) { return hnsw_repair(graph_, limits); }
  std::vector<HnswHit> Search(const std::vector<float>& q, uint64_t k) { return hnsw_search(graph_, q, k); }
  size_t Deleted() { return graph_.tombstone_count(); }

  // Caps, links only to present nodes that have the layer, the entry point
  // present, every model key live under its node. Returns the present
  // node count.
  size_t CheckInvariants(const Model& model) {
    size_t present = 0;
    for (uint64_t id = 0; id < graph_.node_count(); ++id) {
      if (!graph_.present(id)) continue;
      ++present;
      for (uint32_t layer = 0; layer <= graph_.level(id); ++layer) {
        auto list = graph_.neighbours(id, layer);
        EXPECT_LE(list.size(), layer > 0 ? kHnswM : kHnswM0);
        for (uint32_t v : list) {
          EXPECT_NE(v, id);
          EXPECT_TRUE(v < graph_.node_count() && graph_.present(v)) << id << " links to dropped " << v;
          if (v < graph_.node_count() && graph_.present(v)) {
            EXPECT_GE(graph_.level(v), layer);
          }
        }
      }
    }
    if (graph_.entry()) {
      EXPECT_TRUE(graph_.present(*graph_.entry()));
    }
    EXPECT_EQ(graph_.entry().has_value(), !model.empty());
    EXPECT_EQ(graph_.live_count(), model.size());
    for (const auto& [key, v] : model) {
      auto id = graph_.find(key);
      EXPECT_TRUE(id && graph_.present(*id) && graph_.key(*id) == key) << key;
    }
    EXPECT_EQ(present, graph_.live_count() + graph_.tombstone_count());
    return present;
  }

  // The live keys no walk from the entry point over the links of `layer`
  // reaches (those with a node on the layer).
  std::set<std::string> Unreached(uint32_t layer) {
    std::map<uint64_t, Node> nodes;
    for (uint64_t id = 0; id < graph_.node_count(); ++id) {
      if (!graph_.present(id)) continue;
      Node& node = nodes[id];
      node.key = graph_.key(id) ? std::string(*graph_.key(id)) : std::string();
      node.live = graph_.key(id).has_value();
      for (uint32_t l = 0; l <= graph_.level(id); ++l) {
        auto list = graph_.neighbours(id, l);
        node.layers.emplace_back(list.begin(), list.end());
      }
    }
    return test::Unreached(nodes, graph_.entry(), layer);
  }

 private:
  template <typename Fn>
  HnswRepairCounts Write(const std::string& key, const HnswRepairLimits& limits, bool* removed, Fn fn) {
    const std::optional<uint64_t> before = graph_.find(key);
    fn();
    std::optional<uint32_t> gone;
    if (before && graph_.find(key) != before) gone = static_cast<uint32_t>(*before);
    if (removed != nullptr) *removed = gone.has_value();
    return hnsw_repair_after_write(graph_, gone, limits);
  }

  HnswIndex graph_{Metric::kL2, Quantization::kNone};
};

// The on-disk graph under test: each write and its step in one transaction.
class DiskGraph {
 public:
  HnswRepairCounts Put(const std::string& key, const std::vector<float>& v, const HnswRepairLimits& limits,
                       bool* removed = nullptr) {
    return Write(limits, removed, [&](WriteCtx& ctx, std::optional<uint64_t>* gone) {
      return dann_upsert(ctx, kNs, params_, key, v, gone);
    });
  }
  HnswRepairCounts Remove(const std::string& key, const HnswRepairLimits& limits, bool* removed = nullptr) {
    return Write(limits, removed, [&](WriteCtx& ctx, std::optional<uint64_t>* gone) -> Status {
      auto existed = dann_remove_key(ctx, kNs, false, Quantization::kNone, key, gone);
      if (!existed) return Fail(existed.error());
      return Ok();
    });
  }
  // One step, whatever the debt.
  HnswRepairCounts Step(const HnswRepairLimits& limits) {
    HnswRepairCounts counts;
    auto ctx = BeginWriteCtx(engine_->store());
    EXPECT_TRUE(ctx.has_value());
    auto step = dann_repair(*ctx, kNs, params_, limits);
    EXPECT_TRUE(step.has_value()) << step.error().Message();
    if (step) counts = *step;
    EXPECT_TRUE(ctx->Commit().has_value());
    return counts;
  }
  std::vector<HnswHit> Search(const std::vector<float>& q, uint64_t k) {
    auto txn = engine_->store().BeginRead();
    auto hits = dann_search(ReadView(*txn), kNs, params_, q, k);
    EXPECT_TRUE(hits.has_value()) << hits.error().Message();
    return hits ? *hits : std::vector<HnswHit>{};
  }
  size_t Deleted() { return Meta().deleted; }
  DiskHnswMeta Meta() {
    auto txn = engine_->store().BeginRead();
    auto meta = read_dann_meta_ro(ReadView(*txn), kNs);
    EXPECT_TRUE(meta.has_value());
    return meta ? *meta : DiskHnswMeta{};
  }

  // The same invariants over the rows, and the meta row's deleted count
  // equal to the deleted node rows, every queue row naming a deleted node.
  size_t CheckInvariants(const Model& model) {
    auto txn = engine_->store().BeginRead();
    ReadView view(*txn);
    std::map<uint64_t, DiskHnswNode> nodes;
    std::map<std::string, uint64_t> keys;
    std::set<uint64_t> queued;
    auto visit = [&](std::string_view key, std::string_view value) -> Result<bool> {
      if (key[0] == kDannNodePrefix) {
        uint64_t id = DecodeFixed64BE(key.data() + 1);
        auto node = decode_dann_node(kNs, id, value, false, Quantization::kNone);
        EXPECT_TRUE(node.has_value());
        if (node) nodes[id] = std::move(*node);
      } else if (key[0] == kDannKeyPrefix) {
        keys[std::string(key.substr(1))] = DecodeFixed64BE(value.data());
      } else if (key[0] == kDannQueuePrefix) {
        queued.insert(DecodeFixed64BE(key.data() + 2));
      }
      return true;
    };
    EXPECT_TRUE(view.view_for_each(kNs, visit).has_value());
    size_t deleted = 0;
    for (const auto& [id, node] : nodes) {
      deleted += node.deleted;
      for (uint32_t layer = 0; layer < node.layers.size(); ++layer) {
        EXPECT_LE(node.layers[layer].size(), layer > 0 ? kHnswM : kHnswM0);
        for (uint64_t v : node.layers[layer]) {
          EXPECT_NE(v, id);
          auto it = nodes.find(v);
          EXPECT_NE(it, nodes.end()) << id << " links to dropped " << v;
          if (it != nodes.end()) {
            EXPECT_GT(it->second.layers.size(), layer);
          }
        }
      }
    }
    DiskHnswMeta meta = Meta();
    EXPECT_EQ(meta.deleted, deleted);
    if (meta.has_entry) {
      EXPECT_TRUE(nodes.contains(meta.entry));
    }
    EXPECT_EQ(meta.has_entry, !model.empty());
    for (uint64_t id : queued) EXPECT_TRUE(nodes.contains(id) && nodes[id].deleted) << id;
    EXPECT_EQ(keys.size(), model.size());
    for (const auto& [key, v] : model) {
      auto it = keys.find(key);
      EXPECT_TRUE(it != keys.end() && nodes.contains(it->second) && !nodes[it->second].deleted &&
                  nodes[it->second].key == key)
          << key;
    }
    return nodes.size();
  }

  std::set<std::string> Unreached(uint32_t layer) {
    auto txn = engine_->store().BeginRead();
    std::map<uint64_t, Node> nodes;
    auto visit = [&](std::string_view key, std::string_view value) -> Result<bool> {
      uint64_t id = DecodeFixed64BE(key.data() + 1);
      auto node = decode_dann_node(kNs, id, value, false, Quantization::kNone);
      EXPECT_TRUE(node.has_value());
      if (node) nodes[id] = Node{node->key, !node->deleted, node->layers};
      return true;
    };
    EXPECT_TRUE(ReadView(*txn).view_for_each_prefix(kNs, std::string(1, kDannNodePrefix), visit).has_value());
    DiskHnswMeta meta = Meta();
    return test::Unreached(nodes, meta.has_entry ? std::optional<uint64_t>(meta.entry) : std::nullopt, layer);
  }

  Engine& engine() { return *engine_; }

 private:
  template <typename Fn>
  HnswRepairCounts Write(const HnswRepairLimits& limits, bool* removed, Fn fn) {
    HnswRepairCounts counts;
    auto ctx = BeginWriteCtx(engine_->store());
    EXPECT_TRUE(ctx.has_value());
    std::optional<uint64_t> gone;
    EXPECT_TRUE(fn(*ctx, &gone).has_value());
    if (removed != nullptr) *removed = gone.has_value();
    auto step = dann_repair_after_write(*ctx, kNs, params_, gone, limits);
    EXPECT_TRUE(step.has_value()) << step.error().Message();
    if (step) counts = *step;
    EXPECT_TRUE(ctx->Commit().has_value());
    return counts;
  }

  std::shared_ptr<Engine> engine_ = test::MemEngine();
  DiskHnswParams params_ = L2Params();
};

std::set<std::string> Exact(const Model& model, const std::vector<float>& q, size_t k) {
  std::vector<std::pair<float, std::string>> all;
  for (const auto& [key, v] : model) all.emplace_back(l2_f32(q, v), key);
  std::sort(all.begin(), all.end());
  std::set<std::string> out;
  for (size_t i = 0; i < std::min(k, all.size()); ++i) out.insert(all[i].second);
  return out;
}

// Every live key found by its own vector, recall@10 of random queries, no
// removed key ever returned.
template <typename Graph>
void ExpectSearchesRight(Graph& graph, const Model& model, Rng& rng, double min_recall) {
  for (const auto& [key, v] : model) {
    bool found = false;
    for (const HnswHit& hit : graph.Search(v, 10)) found = found || hit.key == key;
    EXPECT_TRUE(found) << key << " not found by its own vector";
  }
  double found = 0, wanted = 0;
  for (int i = 0; i < 40; ++i) {
    std::vector<float> q = rng.Vector();
    std::set<std::string> exact = Exact(model, q, 10);
    for (const HnswHit& hit : graph.Search(q, 10)) {
      EXPECT_TRUE(model.contains(hit.key)) << "removed key " << hit.key << " returned";
      found += exact.count(hit.key);
    }
    wanted += exact.size();
  }
  if (wanted > 0) {
    EXPECT_GE(found / wanted, min_recall);
  }
}

template <typename Graph>
class HnswRepairModel : public ::testing::Test {};
using Graphs = ::testing::Types<MemoryGraph, DiskGraph>;
TYPED_TEST_SUITE(HnswRepairModel, Graphs);

TYPED_TEST(HnswRepairModel, ChurnKeepsSearchesRightAndDropsEveryRemovedNode) {
  TypeParam graph;
  Model model;
  Rng rng(17);
  std::vector<std::string> keys;
  for (int i = 0; i < 300; ++i) keys.push_back("k" + std::to_string(i));
  size_t most_present = 0, steps_dropping = 0;
  for (int op = 0; op < 3000; ++op) {
    const std::string& key = keys[rng.Next() % keys.size()];
    HnswRepairCounts counts;
    bool removed = false;
    if (rng.Next() % 10 < 4 && model.contains(key)) {
      counts = graph.Remove(key, kSmall, &removed);
      model.erase(key);
    } else {
      std::vector<float> v = rng.Vector();  // a new key, or a replacement
      counts = graph.Put(key, v, kSmall, &removed);
      model[key] = v;
    }
    ExpectWriteWithin(counts, removed, kSmall);
    steps_dropping += counts.dropped > 0;
    if (op % 250 == 249) {
      most_present = std::max(most_present, graph.CheckInvariants(model));
      ExpectSearchesRight(graph, model, rng, 0.95);
    }
  }
  EXPECT_GT(steps_dropping, 10u) << "the repair never got to drop nodes";
  // 3000 writes on at most 300 keys: without drops about 2000 nodes.
  EXPECT_LT(most_present, model.size() * 2);
  // Without writes, steps alone drop every removed node.
  for (int i = 0; i < 2000 && graph.Deleted() > 0; ++i) ExpectWithin(graph.Step(kSmall), kSmall);
  EXPECT_EQ(graph.Deleted(), 0u);
  EXPECT_EQ(graph.CheckInvariants(model), model.size());
  ExpectSearchesRight(graph, model, rng, 0.95);

  // Everything removed and dropped, the entry point with it; the graph
  // then starts again from its next insert.
  for (const auto& [key, v] : model) ExpectWriteWithin(graph.Remove(key, kSmall), true, kSmall);
  model.clear();
  for (int i = 0; i < 2000 && graph.Deleted() > 0; ++i) graph.Step(kSmall);
  EXPECT_EQ(graph.CheckInvariants(model), 0u);
  EXPECT_TRUE(graph.Search(rng.Vector(), 10).empty());
  for (int i = 0; i < 20; ++i) {
    std::vector<float> v = rng.Vector();
    graph.Put(keys[i], v, kSmall);
    model[keys[i]] = v;
  }
  graph.CheckInvariants(model);
  ExpectSearchesRight(graph, model, rng, 1.0);
}

// The repair's work follows the removals: writes that remove nothing (new
// keys, vectors written again as they were) do none at all, however many;
// over R removals among many more writes the whole repair passes and
// drops about per_removal nodes per removal, and links again at most the
// nodes around each removed one plus those passed; and it keeps up: the
// deleted nodes stay a small share of the graph.
TYPED_TEST(HnswRepairModel, RepairWorkFollowsRemovalsNotTheNumberOfWrites) {
  TypeParam graph;
  Model model;
  Rng rng(23);
  const HnswRepairLimits limits;
  std::vector<std::string> keys;
  for (int i = 0; i < 400; ++i) {
    keys.push_back("k" + std::to_string(i));
    model[keys.back()] = rng.Vector();
    bool removed = true;
    ExpectWriteWithin(graph.Put(keys.back(), model[keys.back()], limits, &removed), false, limits);
    EXPECT_FALSE(removed);
  }
  HnswRepairCounts total;
  size_t removals = 0;
  for (int op = 0; op < 2400; ++op) {
    const std::string key = keys[rng.Next() % keys.size()];
    const uint64_t r = rng.Next() % 24;
    HnswRepairCounts counts;
    bool removed = false;
    if (r == 0 && model.contains(key)) {
      counts = graph.Remove(key, limits, &removed);
      model.erase(key);
    } else if (r == 1 || !model.contains(key)) {
      model[key] = rng.Vector();  // a replacement, or the key back
      counts = graph.Put(key, model[key], limits, &removed);
    } else if (r < 4) {
      keys.push_back("n" + std::to_string(op));
      model[keys.back()] = rng.Vector();
      counts = graph.Put(keys.back(), model[keys.back()], limits, &removed);
    } else {
      counts = graph.Put(key, model[key], limits, &removed);  // as it was
    }
    ExpectWriteWithin(counts, removed, limits);
    removals += removed;
    total += counts;
  }
  EXPECT_GT(removals, 60u);
  EXPECT_LT(removals, 400u);
  EXPECT_LE(total.passed + total.dropped, removals * (limits.per_removal + limits.nodes));
  EXPECT_LE(total.relinked, removals * kAroundMost + total.passed);
  const size_t present = graph.CheckInvariants(model);
  EXPECT_LE(graph.Deleted(), 4 * (present / limits.per_removal + 2)) << "the repair fell behind";
  ExpectSearchesRight(graph, model, rng, 0.95);
  // However many more writes remove nothing, they repair nothing.
  for (int op = 0; op < 3000; ++op) {
    const auto& [key, v] = *std::next(model.begin(), op % model.size());
    bool removed = true;
    ExpectWriteWithin(graph.Put(key, v, limits, &removed), false, limits);
    EXPECT_FALSE(removed);
  }
}

// Tight clusters with a few far outliers, under inserts, replacements and
// removals: a far node is linked from few nodes (neighbour selection
// prunes it from the lists of the clusters' nodes), and it must keep an
// in-link whenever the node holding its last one is removed or relinked.
// After every batch of writes each live key is reached from the entry
// point on every layer it has, and found by a query wide enough to return
// every live key.
TYPED_TEST(HnswRepairModel, EveryLiveNodeStaysReachableOnClusteredDataWithOutliers) {
  constexpr size_t kWideDim = 16, kClusters = 12;
  for (uint64_t seed = 1; seed <= 4; ++seed) {
    TypeParam graph;
    Model model;
    Rng rng(seed * 7919);
    std::vector<std::vector<float>> centres;
    for (size_t c = 0; c < kClusters; ++c) centres.push_back(rng.Vector16());
    auto draw = [&] {
      std::vector<float> v = rng.Vector16();
      if (rng.Next() % 100 < 3) {
        for (float& x : v) x *= 6.0f;  // a far outlier: six times the clusters' spread
        return v;
      }
      const std::vector<float>& centre = centres[rng.Next() % kClusters];
      for (size_t i = 0; i < kWideDim; ++i) v[i] = centre[i] + 0.01f * v[i];
      return v;
    };
    std::vector<std::string> keys;
    for (int i = 0; i < 400; ++i) keys.push_back("k" + std::to_string(i));
    for (int op = 0; op < 1500; ++op) {
      const std::string& key = keys[rng.Next() % keys.size()];
      if (model.contains(key) && rng.Next() % 3 == 0) {
        graph.Remove(key, HnswRepairLimits{});
        model.erase(key);
      } else {
        model[key] = draw();  // a new key, or a replacement
        graph.Put(key, model[key], HnswRepairLimits{});
      }
      if (op % 10 != 9) continue;
      for (uint32_t layer = 0; layer < 3; ++layer) {
        std::set<std::string> missing = graph.Unreached(layer);
        ASSERT_TRUE(missing.empty()) << "seed " << seed << " write " << op << " layer " << layer << ": "
                                     << missing.size() << " live keys unreachable, e.g. " << *missing.begin();
      }
      std::set<std::string> found;
      for (const std::vector<float>& q : {std::vector<float>(kWideDim, 0.0f), centres[op % kClusters]}) {
        for (const HnswHit& hit : graph.Search(q, model.size() + 10)) found.insert(hit.key);
      }
      ASSERT_EQ(found.size(), model.size()) << "seed " << seed << " write " << op;
    }
  }
}

// Writes, as an earlier build left a graph, n vectors and then removes
// those whose index removed(i) holds, in one commit with no repair row
// (earlier builds wrote none with a graph's first node); model gets the
// live ones.
void WriteOldGraph(Engine& engine, const DiskHnswParams& params, Rng& rng, int n,
                   const std::function<bool(int)>& removed, Model& model) {
  auto ctx = BeginWriteCtx(engine.store());
  ASSERT_TRUE(ctx.has_value());
  for (int i = 0; i < n; ++i) {
    std::string key = "k" + std::to_string(i);
    model[key] = rng.Vector();
    ASSERT_TRUE(dann_upsert(*ctx, kNs, params, key, model[key]).has_value());
  }
  for (int i = 0; i < n; ++i) {
    if (!removed(i)) continue;
    std::string key = "k" + std::to_string(i);
    ASSERT_TRUE(dann_remove_key(*ctx, kNs, false, Quantization::kNone, key).value());
    model.erase(key);
  }
  ASSERT_TRUE(delete_row_counted(*ctx, kNs, kDannRepairKey).has_value());
  ASSERT_TRUE(ctx->Commit().has_value());
}

// A graph whose deleted nodes an earlier build left in place (no repair or
// queue rows, deleted bytes set): it keeps answering, and later writes
// repair it a slice at a time until every deleted node is gone.
TEST(HnswRepair, OldDiskGraphWithManyDeletedNodesIsRepairedByLaterWrites) {
  auto engine = test::MemEngine();
  const DiskHnswParams params = L2Params();
  Rng rng(5);
  Model model;
  ASSERT_NO_FATAL_FAILURE(
      WriteOldGraph(*engine, params, rng, 400, [](int i) { return i % 4 != 0; }, model));
  auto search = [&](const std::vector<float>& q) {
    auto txn = engine->store().BeginRead();
    auto hits = dann_search(ReadView(*txn), kNs, params, q, 10);
    EXPECT_TRUE(hits.has_value());
    return hits ? *hits : std::vector<HnswHit>{};
  };
  auto meta = [&] {
    auto txn = engine->store().BeginRead();
    return *read_dann_meta_ro(ReadView(*txn), kNs);
  };
  ASSERT_EQ(meta().deleted, 300u);
  const HnswRepairLimits limits;
  int writes = 0;
  for (; writes < 1000 && meta().deleted > 0; ++writes) {
    // A write that leaves its vector as it was: one step of the debt an
    // earlier build's graph owes, and nothing else.
    auto ctx = BeginWriteCtx(engine->store());
    const auto& [key, v] = *std::next(model.begin(), writes % model.size());
    std::optional<uint64_t> removed;
    ASSERT_TRUE(dann_upsert(*ctx, kNs, params, key, v, &removed).has_value());
    ASSERT_FALSE(removed.has_value());
    auto counts = dann_repair_after_write(*ctx, kNs, params, removed, limits);
    ASSERT_TRUE(counts.has_value()) << counts.error().Message();
    ExpectWithin(*counts, limits);
    ASSERT_TRUE(ctx->Commit().has_value());
    if (writes % 5 == 0) {
      for (const auto& [k2, v2] : model) {
        auto hits = search(v2);
        ASSERT_FALSE(hits.empty());
        EXPECT_EQ(hits.front().key, k2);
        for (const HnswHit& hit : hits) EXPECT_TRUE(model.contains(hit.key)) << hit.key;
      }
    }
  }
  EXPECT_EQ(meta().deleted, 0u);
  EXPECT_GT(writes, 3) << "repaired in one write";
  size_t node_rows = 0;
  auto txn = engine->store().BeginRead();
  ASSERT_TRUE(ReadView(*txn)
                  .view_for_each_prefix(kNs, std::string(1, kDannNodePrefix),
                                        [&](std::string_view, std::string_view) -> Result<bool> {
                                          ++node_rows;
                                          return true;
                                        })
                  .has_value());
  EXPECT_EQ(node_rows, model.size());
  // Repaired, the graph owes nothing: a write that removes nothing does nothing.
  auto ctx = BeginWriteCtx(engine->store());
  auto counts = dann_repair_after_write(*ctx, kNs, params, std::nullopt, limits);
  ASSERT_TRUE(counts.has_value());
  ExpectWriteWithin(*counts, false, limits);
}

// A graph an earlier build was repairing (its 17-byte repair row holds no
// debt; queue rows wait) is repaired by this build's writes: each write,
// removing or not, pays a step of what such a graph owes until its deleted
// nodes are gone; then the row has this build's layout, owes nothing, and
// writes that remove nothing do nothing.
TEST(HnswRepair, RepairRowWithoutADebtIsReadAndItsGraphRepaired) {
  DiskGraph graph;
  Model model;
  Rng rng(31);
  for (int i = 0; i < 300; ++i) {
    std::string key = "k" + std::to_string(i);
    model[key] = rng.Vector();
    graph.Put(key, model[key], kSmall);
  }
  for (int i = 0; i < 300; i += 2) {
    graph.Remove("k" + std::to_string(i), kSmall);
    model.erase("k" + std::to_string(i));
  }
  ASSERT_GT(graph.Deleted(), 0u);
  auto row = [&]() -> std::string {
    auto txn = graph.engine().store().BeginRead();
    auto found = ReadView(*txn).view_get(kNs, kDannRepairKey);
    EXPECT_TRUE(found.has_value() && found->has_value());
    return found && *found ? **found : std::string();
  };
  ASSERT_EQ(row().size(), 33u);
  {
    auto ctx = BeginWriteCtx(graph.engine().store());
    ASSERT_TRUE(put_row(*ctx, kNs, kDannRepairKey, row().substr(0, 17)).has_value());
    ASSERT_TRUE(ctx->Commit().has_value());
  }
  const HnswRepairLimits limits;
  int writes = 0;
  for (; writes < 200 && graph.Deleted() > 0; ++writes) {
    const auto& [key, v] = *std::next(model.begin(), writes % model.size());
    bool removed = true;
    ExpectWithin(graph.Put(key, v, limits, &removed), limits);
    EXPECT_FALSE(removed);
  }
  EXPECT_EQ(graph.Deleted(), 0u);
  EXPECT_EQ(graph.CheckInvariants(model), model.size());
  ExpectSearchesRight(graph, model, rng, 0.95);
  const std::string repaired = row();
  ASSERT_EQ(repaired.size(), 33u);
  EXPECT_EQ(decode_dann_repair_cursor(kNs, repaired).value().debt, 0u);
  EXPECT_EQ(decode_dann_repair_cursor(kNs, repaired).value().unanchored, 0u);
  const auto& [key, v] = *model.begin();
  ExpectWriteWithin(graph.Put(key, v, limits), false, limits);
}

// More deleted nodes queued than a step reads the queue rows of (as in an
// earlier build's graph with thousands of them): the sweep then tells a
// doomed neighbour by its row, and the graph is still repaired whole.
TEST(HnswRepair, QueueBeyondWhatAStepReadsIsRepairedToo) {
  auto engine = test::MemEngine();
  const DiskHnswParams params = L2Params();
  Rng rng(41);
  Model model;
  ASSERT_NO_FATAL_FAILURE(
      WriteOldGraph(*engine, params, rng, 5000, [](int i) { return i % 10 != 0; }, model));
  auto meta = [&] {
    auto txn = engine->store().BeginRead();
    return *read_dann_meta_ro(ReadView(*txn), kNs);
  };
  const HnswRepairLimits limits{256, 64, 256};
  for (int writes = 0; writes < 400 && meta().deleted > 0; ++writes) {
    auto ctx = BeginWriteCtx(engine->store());
    auto counts = dann_repair_after_write(*ctx, kNs, params, std::nullopt, limits);
    ASSERT_TRUE(counts.has_value()) << counts.error().Message();
    ExpectWithin(*counts, limits);
    ASSERT_TRUE(ctx->Commit().has_value());
  }
  EXPECT_EQ(meta().deleted, 0u);
  auto txn = engine->store().BeginRead();
  for (const auto& [key, v] : model) {
    auto hits = dann_search(ReadView(*txn), kNs, params, v, 10);
    ASSERT_TRUE(hits.has_value());
    ASSERT_FALSE(hits->empty());
    EXPECT_EQ(hits->front().key, key);
    for (const HnswHit& hit : *hits) EXPECT_TRUE(model.contains(hit.key)) << hit.key;
  }
}

// Thousands of queued nodes, all within what a step reads of the queue
// (as after an earlier build's graph's first pass): the sweep tells each
// doomed neighbour by the queue it read, most ids by a filter of it, and
// every link to a queued node is gone before the node is dropped.
TEST(HnswRepair, ManyQueuedNodesWithinWhatAStepReadsAreRepairedWhole) {
  auto engine = test::MemEngine();
  const DiskHnswParams params = L2Params();
  Rng rng(43);
  Model model;
  // 3,000 removed: fewer than the queue a step reads.
  ASSERT_NO_FATAL_FAILURE(
      WriteOldGraph(*engine, params, rng, 5000, [](int i) { return i % 5 < 3; }, model));
  const HnswRepairLimits limits{256, 64, 256};
  // The present nodes and their lists, checked for links to dropped nodes.
  auto check_links = [&] {
    auto txn = engine->store().BeginRead();
    std::map<uint64_t, DiskHnswNode> nodes;
    auto visit = [&](std::string_view key, std::string_view value) -> Result<bool> {
      const uint64_t id = DecodeFixed64BE(key.data() + 1);
      auto node = decode_dann_node(kNs, id, value, false, Quantization::kNone);
      EXPECT_TRUE(node.has_value());
      if (node) nodes[id] = std::move(*node);
      return true;
    };
    EXPECT_TRUE(ReadView(*txn).view_for_each_prefix(kNs, std::string(1, kDannNodePrefix), visit).has_value());
    for (const auto& [id, node] : nodes) {
      for (const auto& list : node.layers) {
        for (uint64_t v : list) EXPECT_TRUE(nodes.contains(v)) << id << " links to dropped " << v;
      }
    }
    return *read_dann_meta_ro(ReadView(*txn), kNs);
  };
  for (int writes = 0; writes < 400 && check_links().deleted > 0; ++writes) {
    auto ctx = BeginWriteCtx(engine->store());
    auto counts = dann_repair_after_write(*ctx, kNs, params, std::nullopt, limits);
    ASSERT_TRUE(counts.has_value()) << counts.error().Message();
    ExpectWithin(*counts, limits);
    ASSERT_TRUE(ctx->Commit().has_value());
  }
  EXPECT_EQ(check_links().deleted, 0u);
  auto txn = engine->store().BeginRead();
  for (const auto& [key, v] : model) {
    auto hits = dann_search(ReadView(*txn), kNs, params, v, 10);
    ASSERT_TRUE(hits.has_value());
    ASSERT_FALSE(hits->empty());
    EXPECT_EQ(hits->front().key, key);
  }
}

// A damaged repair row starts the repair over: writes go on, and the
// deleted nodes still go.
TEST(HnswRepair, DamagedRepairRowStartsTheRepairOver) {
  auto engine = test::MemEngine();
  const DiskHnswParams params = L2Params();
  Rng rng(9);
  auto write = [&](const std::function<Status(WriteCtx&)>& fn) {
    auto ctx = BeginWriteCtx(engine->store());
    ASSERT_TRUE(ctx.has_value());
    ASSERT_TRUE(fn(*ctx).has_value());
    auto step = dann_repair(*ctx, kNs, params, kSmall);
    ASSERT_TRUE(step.has_value()) << step.error().Message();
    ASSERT_TRUE(ctx->Commit().has_value());
  };
  for (int i = 0; i < 60; ++i) {
    write([&](WriteCtx& ctx) { return dann_upsert(ctx, kNs, params, "k" + std::to_string(i), rng.Vector()); });
  }
  write([&](WriteCtx& ctx) { return put_row(ctx, kNs, kDannRepairKey, "junk"); });
  for (int i = 0; i < 30; ++i) {
    if (i == 10) write([&](WriteCtx& ctx) { return put_row(ctx, kNs, kDannRepairKey, std::string(17, '\7')); });
    write([&](WriteCtx& ctx) -> Status {
      auto removed = dann_remove_key(ctx, kNs, false, Quantization::kNone, "k" + std::to_string(i));
      if (!removed) return Fail(removed.error());
      return Ok();
    });
  }
  for (int i = 0; i < 200; ++i) write([](WriteCtx&) { return Ok(); });
  auto txn = engine->store().BeginRead();
  EXPECT_EQ(read_dann_meta_ro(ReadView(*txn), kNs)->deleted, 0u);
}

TEST(HnswRepair, RepairRowLayoutAndDamage) {
  HnswRepairCursor cursor{0x0102030405060708ull, true, 42, 0x1112131415161718ull, 0x2122232425262728ull};
  std::string bytes = encode_dann_repair_cursor(cursor);
  ASSERT_EQ(bytes.size(), 33u);
  EXPECT_EQ(bytes.substr(0, 9), std::string("\1\2\3\4\5\6\7\x08\1", 9));
  EXPECT_EQ(bytes.substr(17, 8), std::string("\x11\x12\x13\x14\x15\x16\x17\x18", 8));
  EXPECT_EQ(bytes.substr(25), std::string("\x21\x22\x23\x24\x25\x26\x27\x28", 8));
  bool has_debt = false;
  EXPECT_EQ(decode_dann_repair_cursor(kNs, bytes, &has_debt).value(), cursor);
  EXPECT_TRUE(has_debt);
  // The rows of earlier builds, which kept no anchors: one removal counts
  // unanchored, so that the next repair anchors every live node.
  HnswRepairCursor debt_only = cursor;
  debt_only.unanchored = 1;
  EXPECT_EQ(decode_dann_repair_cursor(kNs, bytes.substr(0, 25), &has_debt).value(), debt_only);
  EXPECT_TRUE(has_debt);
  HnswRepairCursor old = debt_only;
  old.debt = 0;
  EXPECT_EQ(decode_dann_repair_cursor(kNs, bytes.substr(0, 17), &has_debt).value(), old);
  EXPECT_FALSE(has_debt);
  for (std::string bad : {bytes.substr(0, 16), bytes.substr(0, 18), bytes.substr(0, 24), bytes.substr(0, 26),
                          bytes.substr(0, 32), bytes + "x", std::string(8, '\0') + "\2" + std::string(16, '\0')}) {
    auto decoded = decode_dann_repair_cursor(kNs, bad);
    ASSERT_FALSE(decoded.has_value());
    EXPECT_EQ(decoded.error().Message(), "corrupt index state: malformed repair row in index namespace '__dann__c__v'");
  }
  EXPECT_EQ(dann_queue_row_key(3, 0x0a), std::string("d\1\0\0\0\0\0\0\0\x0a", 10));
  EXPECT_EQ(dann_queue_row_key(4, 0x0a), std::string("d\0\0\0\0\0\0\0\0\x0a", 10));
}

}  // namespace
}  // namespace pallix
