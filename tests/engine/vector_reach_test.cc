// Every live vector stays reachable, in both graph kinds, after every call:
// a model test over the data that breaks graphs whose nodes only check
// their own neighbourhood (tight clusters with far outliers, blocks of
// copies of one vector, a handful of distinct vectors, positive vectors
// under "dot"), every metric, quantized and not, with random single writes
// (inserts, replacements, removals), bulk removals, batches of inserts
// sharing one node cache, and on disk bulk calls cut short between their
// transactions (a kill before the repair that ends them). After every call
// a walk from the entry point over each layer must reach every live node
// with that layer, and a query with k = live + 10 must return every live
// key.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tests/engine/graph_reach.h"
#include "tests/engine/test_util.h"
#include "vector/disk_hnsw.h"
#include "vector/disk_hnsw_repair.h"
#include "vector/hnsw.h"
#include "vector/hnsw_repair.h"

namespace pallix {
namespace {

constexpr char kNs[] = "__dann__reach__v";
using Model = std::map<std::string, std::vector<float>>;

using OracleNode = test::ReachNode;
using test::Unreached;

class MemoryGraph {
 public:
  MemoryGraph(Metric metric, Quantization quant, std::optional<double> ml = std::nullopt)
      : graph_(metric, quant), ml_(ml) {}

  void Put(const std::string& key, const std::vector<float>& v) {
    const std::optional<uint64_t> before = graph_.find(key);
    std::optional<uint32_t> level;
    if (ml_) level = dann_level(puts_++, *ml_);
    hnsw_internal::InsertAtLevel(graph_, key, v, level);
    std::optional<uint32_t> gone;
    if (before && graph_.find(key) != before) gone = static_cast<uint32_t>(*before);
    hnsw_repair_after_write(graph_, gone);
  }
  void Remove(const std::string& key) {
    const std::optional<uint64_t> before = graph_.find(key);
    hnsw_remove_key(graph_, key);
    std::optional<uint32_t> gone;
    if (before) gone = static_cast<uint32_t>(*before);
    hnsw_repair_after_write(graph_, gone);
  }
  // Removals, then one repair for them all. An in-memory graph's bulk
  // runs under one lock: nothing can cut it short.
  void RemoveMany(const std::vector<std::string>& keys, bool /*cut_short*/) {
    std::vector<uint32_t> removed;
    for (const std::string& key : keys) {
      if (auto id = graph_.find(key)) removed.push_back(static_cast<uint32_t>(*id));
      hnsw_remove_key(graph_, key);
    }
    hnsw_repair_after_bulk(graph_, removed);
  }
  void PutMany(const std::vector<std::pair<std::string, std::vector<float>>>& docs, bool /*cut_short*/) {
    for (const auto& [key, v] : docs) Put(key, v);
  }
  std::vector<HnswHit> Search(const std::vector<float>& q, uint64_t k) { return hnsw_search(graph_, q, k); }

  std::map<uint64_t, OracleNode> Nodes() {
    std::map<uint64_t, OracleNode> nodes;
    for (uint64_t id = 0; id < graph_.node_count(); ++id) {
      if (!graph_.present(id)) continue;
      OracleNode& node = nodes[id];
      node.live = graph_.key(id).has_value();
      if (node.live) node.key = std::string(*graph_.key(id));
      for (uint32_t l = 0; l <= graph_.level(id); ++l) {
        auto list = graph_.neighbours(id, l);
        node.layers.emplace_back(list.begin(), list.end());
      }
    }
    return nodes;
  }
  std::optional<uint64_t> Entry() { return graph_.entry(); }
  uint64_t Born(uint64_t id) { return hnsw_internal::Born(graph_, id); }

 private:
  HnswIndex graph_;
  std::optional<double> ml_;
  uint64_t puts_ = 0;
};

class DiskGraph {
 public:
  DiskGraph(Metric metric, Quantization quant, std::optional<double> ml = std::nullopt) {
    params_.metric = metric;
    params_.quant = quant;
    if (ml) params_.ml = *ml;
  }

  void Put(const std::string& key, const std::vector<float>& v) {
    Write([&](WriteCtx& ctx) {
      std::optional<uint64_t> gone;
      ASSERT_TRUE(dann_upsert(ctx, kNs, params_, key, v, &gone, /*repair_follows=*/true).has_value());
      ASSERT_TRUE(dann_repair_after_write(ctx, kNs, params_, gone).has_value());
    });
  }
  void Remove(const std::string& key) {
    Write([&](WriteCtx& ctx) {
      std::optional<uint64_t> gone;
      ASSERT_TRUE(dann_remove_key(ctx, kNs, false, params_.quant, key, &gone).has_value());
      ASSERT_TRUE(dann_repair_after_write(ctx, kNs, params_, gone).has_value());
    });
  }
  // As a filtered delete or a batch of deletes: each removal noted in the
  // transaction that makes it, a few per transaction, and one repair at
  // the end; cut short, the repair never runs (the process was killed).
  void RemoveMany(const std::vector<std::string>& keys, bool cut_short) {
    std::vector<uint64_t> removed;
    for (size_t at = 0; at < keys.size(); at += 7) {
      Write([&](WriteCtx& ctx) {
        for (size_t i = at; i < std::min(keys.size(), at + 7); ++i) {
          std::optional<uint64_t> gone;
          ASSERT_TRUE(dann_remove_key(ctx, kNs, false, params_.quant, keys[i], &gone).has_value());
          if (!gone) continue;
          ASSERT_TRUE(dann_note_removal(ctx, kNs, *gone).has_value());
          removed.push_back(*gone);
        }
      });
      CheckReach("bulk removal, between transactions");
    }
    if (cut_short) return;
    Write([&](WriteCtx& ctx) {
      ASSERT_TRUE(dann_repair_after_bulk(ctx, kNs, params_, removed).has_value());
    });
  }
  // As a dump load or an index build: inserts in batches that share one
  // node cache per transaction, the replaced nodes noted, one repair at
  // the end (none when cut short).
  void PutMany(const std::vector<std::pair<std::string, std::vector<float>>>& docs, bool cut_short) {
    std::vector<uint64_t> removed;
    for (size_t at = 0; at < docs.size(); at += 11) {
      Write([&](WriteCtx& ctx) {
        DiskHnswMeta meta = read_dann_meta(ctx, kNs).value();
        DannNodeCache cache;
        std::vector<uint64_t> here;
        for (size_t i = at; i < std::min(docs.size(), at + 11); ++i) {
          std::optional<uint64_t> gone;
          ASSERT_TRUE(dann_insert(ctx, kNs, params_, cache, meta, docs[i].first, docs[i].second, &gone).has_value());
          if (gone) here.push_back(*gone);
        }
        ASSERT_TRUE(flush_dann_nodes(ctx, kNs, cache).has_value());
        ASSERT_TRUE(put_row(ctx, kNs, kDannMetaKey, encode_dann_meta(meta)).has_value());
        for (uint64_t id : here) ASSERT_TRUE(dann_note_removal(ctx, kNs, id).has_value());
        removed.insert(removed.end(), here.begin(), here.end());
      });
      CheckReach("batch of inserts, between transactions");
    }
    if (cut_short) return;
    Write([&](WriteCtx& ctx) {
      ASSERT_TRUE(dann_repair_after_bulk(ctx, kNs, params_, removed).has_value());
    });
  }
  std::vector<HnswHit> Search(const std::vector<float>& q, uint64_t k) {
    auto txn = engine_->store().BeginRead();
    auto hits = dann_search(ReadView(*txn), kNs, params_, q, k);
    EXPECT_TRUE(hits.has_value());
    return hits ? *hits : std::vector<HnswHit>{};
  }

  std::map<uint64_t, OracleNode> Nodes() {
    auto txn = engine_->store().BeginRead();
    std::map<uint64_t, OracleNode> nodes;
    auto visit = [&](std::string_view key, std::string_view value) -> Result<bool> {
      const uint64_t id = DecodeFixed64BE(key.data() + 1);
      auto node = decode_dann_node(kNs, id, value, false, params_.quant);
      EXPECT_TRUE(node.has_value());
      if (node) nodes[id] = OracleNode{node->key, !node->deleted, node->layers};
      return true;
    };
    EXPECT_TRUE(ReadView(*txn).view_for_each_prefix(kNs, std::string(1, kDannNodePrefix), visit).has_value());
    return nodes;
  }
  static uint64_t Born(uint64_t id) { return id; }  // ids are never reused
  std::optional<uint64_t> Entry() {
    auto txn = engine_->store().BeginRead();
    auto meta = read_dann_meta_ro(ReadView(*txn), kNs);
    EXPECT_TRUE(meta.has_value());
    return meta && meta->has_entry ? std::optional<uint64_t>(meta->entry) : std::nullopt;
  }

  // A transaction of raw row changes, for tests that lay out a graph.
  template <typename Fn>
  void Edit(Fn fn) {
    Write(fn);
  }

 private:
  template <typename Fn>
  void Write(Fn fn) {
    auto ctx = BeginWriteCtx(engine_->store());
    ASSERT_TRUE(ctx.has_value());
    fn(*ctx);
    ASSERT_TRUE(ctx->Commit().has_value());
  }
  // Between a bulk's transactions its removed nodes are deleted but still
  // route: what it cut off must be reached through them.
  void CheckReach(const char* when) {
    auto nodes = Nodes();
    auto missing = Unreached(nodes, Entry(), 0);
    EXPECT_TRUE(missing.empty()) << when << ": " << missing.size() << " unreachable, e.g. " << *missing.begin();
  }

  std::shared_ptr<Engine> engine_ = test::MemEngine();
  DiskHnswParams params_;
};

// The data sets. Each draws a vector for a new document; `stored` holds the
// vectors of the documents there are, for copies of them.
enum class Data { kClusters, kCopies, kFour, kPositive };

const char* DataName(Data d) {
  switch (d) {
    case Data::kClusters: return "clusters";
    case Data::kCopies: return "copies";
    case Data::kFour: return "four";
    case Data::kPositive: return "positive";
  }
  return "";
}

class Draw {
 public:
  Draw(Data data, uint64_t seed) : data_(data), rng_(seed) {
    const size_t dim = Dim();
    for (int c = 0; c < 12; ++c) centres_.push_back(rng_.Vector(dim));
    for (auto& c : centres_) {
      for (float& x : c) x *= 4.0f;
    }
  }
  size_t Dim() const { return data_ == Data::kPositive ? 4 : data_ == Data::kClusters ? 16 : 8; }

  std::vector<float> Next(const Model& model) {
    const size_t dim = Dim();
    switch (data_) {
      case Data::kClusters: {
        std::vector<float> v = rng_.Vector(dim);
        // Far outliers: six times the clusters' spread.
        if (rng_.Next() % 100 < 3) {
          for (float& x : v) x *= 24.0f;
          return v;
        }
        const auto& c = centres_[rng_.Next() % centres_.size()];
        for (size_t i = 0; i < dim; ++i) v[i] = c[i] + 0.05f * v[i];
        return v;
      }
      case Data::kCopies: {
        const uint64_t r = rng_.Next() % 100;
        if (r < 30) return centres_[0];  // one vector shared by a block of documents
        if (r < 50 && !model.empty()) return std::next(model.begin(), rng_.Next() % model.size())->second;
        std::vector<float> v = rng_.Vector(dim);
        const auto& c = centres_[1 + rng_.Next() % (centres_.size() - 1)];
        for (size_t i = 0; i < dim; ++i) v[i] = c[i] + v[i];
        return v;
      }
      case Data::kFour:
        return centres_[rng_.Next() % 4];
      case Data::kPositive: {
        std::vector<float> v = rng_.Vector(dim);
        for (float& x : v) x = (x + 1.0f) * 0.5f;
        return v;
      }
    }
    return {};
  }
  test::LcgRng& rng() { return rng_; }

 private:
  Data data_;
  test::LcgRng rng_;
  std::vector<std::vector<float>> centres_;
};

template <typename Graph>
class VectorReach : public ::testing::Test {};
using GraphKinds = ::testing::Types<MemoryGraph, DiskGraph>;
TYPED_TEST_SUITE(VectorReach, GraphKinds);

// The structure that makes every live node reachable: each live node but
// the entry point is linked, on each of its layers, from a live node made
// before it or from the entry point (its anchor).
template <typename Graph>
std::set<std::string> Unanchored(Graph& graph, const std::map<uint64_t, OracleNode>& nodes,
                                 std::optional<uint64_t> entry) {
  std::set<std::pair<uint64_t, uint32_t>> anchored;
  for (const auto& [y, node] : nodes) {
    if (!node.live) continue;
    for (uint32_t l = 0; l < node.layers.size(); ++l) {
      for (uint64_t w : node.layers[l]) {
        if (entry == y || (entry != w && graph.Born(y) < graph.Born(w))) anchored.insert({w, l});
      }
    }
  }
  std::set<std::string> out;
  for (const auto& [id, node] : nodes) {
    if (!node.live || entry == id) continue;
    for (uint32_t l = 0; l < node.layers.size(); ++l) {
      if (!anchored.contains({id, l})) out.insert(node.key + " layer " + std::to_string(l));
    }
  }
  return out;
}

template <typename Graph>
void ExpectWhole(Graph& graph, const Model& model, Draw& draw, const std::string& where, bool anchors) {
  auto nodes = graph.Nodes();
  const std::optional<uint64_t> entry = graph.Entry();
  for (uint32_t layer = 0; layer < 4; ++layer) {
    std::set<std::string> missing = Unreached(nodes, entry, layer);
    ASSERT_TRUE(missing.empty()) << where << " layer " << layer << ": " << missing.size()
                                 << " live keys unreachable, e.g. " << *missing.begin();
  }
  if (anchors) {
    std::set<std::string> loose = Unanchored(graph, nodes, entry);
    ASSERT_TRUE(loose.empty()) << where << ": " << loose.size() << " live nodes without an anchor, e.g. "
                               << *loose.begin();
  }
  std::set<std::string> found;
  for (const HnswHit& hit : graph.Search(draw.Next(model), model.size() + 10)) found.insert(hit.key);
  ASSERT_EQ(found.size(), model.size()) << where << ": a query as wide as the graph missed keys";
}

TYPED_TEST(VectorReach, EveryLiveKeyIsReachedAfterEveryCall) {
  struct Case {
    Data data;
    Metric metric;
    Quantization quant;
  };
  const Case cases[] = {
      {Data::kClusters, Metric::kL2, Quantization::kNone},     {Data::kClusters, Metric::kCosine, Quantization::kScalar},
      {Data::kClusters, Metric::kDot, Quantization::kNone},    {Data::kCopies, Metric::kL2, Quantization::kNone},
      {Data::kCopies, Metric::kCosine, Quantization::kNone},   {Data::kCopies, Metric::kDot, Quantization::kScalar},
      {Data::kFour, Metric::kL2, Quantization::kBinary},       {Data::kFour, Metric::kCosine, Quantization::kNone},
      {Data::kFour, Metric::kDot, Quantization::kNone},        {Data::kPositive, Metric::kDot, Quantization::kNone},
      {Data::kPositive, Metric::kDot, Quantization::kBinary},  {Data::kPositive, Metric::kL2, Quantization::kScalar},
  };
  uint64_t seed = 0;
  for (const Case& c : cases) {
    ++seed;
    const std::string name = std::string(DataName(c.data)) + " " + std::string(MetricName(c.metric)) + " " +
                             std::string(QuantizationName(c.quant));
    SCOPED_TRACE(name);
    TypeParam graph(c.metric, c.quant);
    Model model;
    Draw draw(c.data, seed * 7919);
    auto& rng = draw.rng();
    std::vector<std::string> keys;
    for (int i = 0; i < 300; ++i) keys.push_back("k" + std::to_string(i));
    bool anchors = true;
    for (int call = 0; call < 260; ++call) {
      const uint64_t op = rng.Next() % 100;
      const std::string where = name + " call " + std::to_string(call);
      if (op < 4) {
        // A bulk removal of up to a third of the documents.
        std::vector<std::string> gone;
        for (const auto& [key, v] : model) {
          if (rng.Next() % 3 == 0) gone.push_back(key);
        }
        const bool cut = rng.Next() % 3 == 0;
        graph.RemoveMany(gone, cut);
        for (const std::string& key : gone) model.erase(key);
        // Cut short, its removed nodes still route searches to what they
        // anchored, until the next write anchors every live node anew.
        anchors = !cut;
      } else if (op < 8) {
        // A batch of inserts, half of them over documents there are.
        std::vector<std::pair<std::string, std::vector<float>>> docs;
        for (int i = 0; i < 40; ++i) {
          const std::string& key = keys[rng.Next() % keys.size()];
          if (std::any_of(docs.begin(), docs.end(), [&](const auto& d) { return d.first == key; })) continue;
          docs.push_back({key, draw.Next(model)});
        }
        const bool cut = rng.Next() % 3 == 0;
        graph.PutMany(docs, cut);
        for (const auto& [key, v] : docs) model[key] = v;
        anchors = !cut;
      } else {
        const std::string& key = keys[rng.Next() % keys.size()];
        if (model.contains(key) && op < 35) {
          graph.Remove(key);
          model.erase(key);
        } else {
          model[key] = draw.Next(model);
          graph.Put(key, model[key]);
        }
        anchors = true;
      }
      ExpectWhole(graph, model, draw, where, anchors);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

// A node rising above the entry point becomes the entry; the old entry point
// then comes in birth order, after nodes it alone anchored. What it linked
// to, and what it lost to the rising insert's own pruning, must be anchored
// again. Levels drawn with a large multiplier and removals of the entry
// point make such rises frequent; anchors are checked after every call.
TYPED_TEST(VectorReach, AnEntryPointThatRisesLeavesNothingItAnchoredLoose) {
  for (const Metric metric : {Metric::kL2, Metric::kDot}) {
    for (uint64_t seed = 1; seed <= 60; ++seed) {
      TypeParam graph(metric, Quantization::kNone, 1.5);
      Draw draw(Data::kClusters, seed * 7919);
      test::LcgRng& rng = draw.rng();
      Model model;
      for (int call = 0; call < 90; ++call) {
        const std::string where = std::string(MetricName(metric)) + " seed " + std::to_string(seed) + " call " +
                                  std::to_string(call);
        const uint64_t op = rng.Next() % 100;
        if (!model.empty() && op < 8) {
          // The entry point's own document goes: a later node takes its place.
          auto nodes = graph.Nodes();
          const std::string key = nodes.at(*graph.Entry()).key;
          graph.Remove(key);
          model.erase(key);
        } else if (!model.empty() && op < 20) {
          const std::string key = std::next(model.begin(), rng.Next() % model.size())->first;
          graph.Remove(key);
          model.erase(key);
        } else {
          const std::string key = "k" + std::to_string(rng.Next() % 150);
          model[key] = draw.Next(model);
          graph.Put(key, model[key]);
        }
        auto nodes = graph.Nodes();
        std::set<std::string> loose = Unanchored(graph, nodes, graph.Entry());
        ASSERT_TRUE(loose.empty()) << where << ": " << loose.size() << " live nodes without an anchor, e.g. "
                                   << *loose.begin();
      }
    }
  }
}

}  // namespace
}  // namespace pallix

namespace pallix {
namespace {

// An on-disk graph as an earlier build left it: no repair row (or one of
// the 25 bytes those builds wrote), and a live node that no list links to
// any more, as their local check let happen. Searches may miss it until the
// first write to the graph, which anchors every live node, whatever that
// write is (here one that leaves its vector as it was).
TEST(VectorReachOldGraph, FirstWriteMakesAnEarlierBuildsGraphWhole) {
  for (bool with_row : {false, true}) {
    SCOPED_TRACE(with_row ? "25-byte repair row" : "no repair row");
    DiskGraph graph(Metric::kL2, Quantization::kNone);
    Model model;
    test::LcgRng rng(with_row ? 11 : 12);
    for (int i = 0; i < 200; ++i) {
      const std::string key = "k" + std::to_string(i);
      model[key] = rng.Vector(8);
      graph.Put(key, model[key]);
    }
    // Cut node 57 out of every list, and note the graph as an earlier
    // build's.
    graph.Edit([&](WriteCtx& ctx) {
      const uint64_t cut = 57;
      for (uint64_t id = 0; id < 200; ++id) {
        auto row = get_row(ctx, kNs, dann_node_row_key(id));
        ASSERT_TRUE(row.has_value() && row->has_value());
        auto node = decode_dann_node(kNs, id, **row, false, Quantization::kNone);
        ASSERT_TRUE(node.has_value());
        bool changed = false;
        for (auto& list : node->layers) changed |= std::erase(list, cut) > 0;
        if (changed) {
          ASSERT_TRUE(put_row(ctx, kNs, dann_node_row_key(id), encode_dann_node(*node)).has_value());
        }
      }
      auto cursor = get_row(ctx, kNs, kDannRepairKey);
      ASSERT_TRUE(cursor.has_value() && cursor->has_value());
      if (with_row) {
        ASSERT_TRUE(put_row(ctx, kNs, kDannRepairKey, (*cursor)->substr(0, 25)).has_value());
      } else {
        ASSERT_TRUE(delete_row_counted(ctx, kNs, kDannRepairKey).has_value());
      }
    });
    ASSERT_EQ(Unreached(graph.Nodes(), graph.Entry(), 0).size(), 1u);
    const auto& [key, v] = *model.begin();
    graph.Put(key, v);
    auto nodes = graph.Nodes();
    for (uint32_t layer = 0; layer < 4; ++layer) EXPECT_TRUE(Unreached(nodes, graph.Entry(), layer).empty());
    EXPECT_TRUE(Unanchored(graph, nodes, graph.Entry()).empty());
    std::set<std::string> found;
    for (const HnswHit& hit : graph.Search(v, model.size() + 10)) found.insert(hit.key);
    EXPECT_EQ(found.size(), model.size());
  }
}

}  // namespace
}  // namespace pallix
