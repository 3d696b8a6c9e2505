// The vector index lifecycle against a brute-force oracle: recall@10 of
// every storage kind, quantization and metric, in memory and on disk,
// across reopen, deletes and the repair around them; declarations and
// their failures; upkeep by writes; damaged graph rows.

#include "index/vector_index.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <set>

#include <gtest/gtest.h>

#include "index/index_state.h"
#include "index/resume.h"
#include "storage/read_view.h"
#include "query/delete_where.h"
#include "vector/disk_hnsw_repair.h"
#include "vector/hnsw_repair.h"
#include "test_util.h"
#include "write/write.h"

namespace pallix {
namespace {

using test::Doc;

constexpr size_t kDim = 16;
constexpr uint64_t kK = 10;

struct Corpus {
  std::vector<std::pair<std::string, std::vector<float>>> docs;
  std::vector<std::vector<float>> queries;
};

// Normalised vectors drawn around a few centres, so that neighbourhoods are
// meaningful (uniform noise in 16 dimensions has nearly equal distances).
std::vector<float> Draw(std::mt19937& rng, const std::vector<std::vector<float>>& centres) {
  std::normal_distribution<float> noise(0.0f, 0.35f);
  const auto& c = centres[rng() % centres.size()];
  std::vector<float> v(kDim);
  float norm = 0;
  for (size_t i = 0; i < kDim; ++i) {
    v[i] = c[i] + noise(rng);
    norm += v[i] * v[i];
  }
  for (float& x : v) x /= std::sqrt(norm);
  return v;
}

Corpus MakeCorpus(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> unit(0.0f, 1.0f);
  std::vector<std::vector<float>> centres(12, std::vector<float>(kDim));
  for (auto& c : centres)
    for (float& x : c) x = unit(rng);
  Corpus corpus;
  for (size_t i = 0; i < n; ++i) {
    char key[16];
    snprintf(key, sizeof key, "k%06zu", i);
    corpus.docs.emplace_back(key, Draw(rng, centres));
  }
  for (int q = 0; q < 40; ++q) corpus.queries.push_back(Draw(rng, centres));
  return corpus;
}

void Load(Engine& engine, std::string_view collection, const Corpus& corpus) {
  std::vector<std::pair<std::string, Value>> pairs;
  for (const auto& [key, v] : corpus.docs) pairs.emplace_back(key, Doc({{"e", Value::Vector(v)}}));
  ASSERT_TRUE(put_many(engine, collection, pairs).has_value());
}

// The k nearest live keys by exact float distance.
std::set<std::string> Exact(const std::map<std::string, std::vector<float>>& live, Metric metric,
                            const std::vector<float>& q) {
  std::vector<std::pair<float, std::string>> all;
  for (const auto& [key, v] : live) all.emplace_back(distance_by_metric(metric, q, v), key);
  std::sort(all.begin(), all.end());
  std::set<std::string> out;
  for (size_t i = 0; i < std::min<size_t>(kK, all.size()); ++i) out.insert(all[i].second);
  return out;
}

std::map<std::string, std::vector<float>> LiveOf(const Corpus& corpus) {
  return {corpus.docs.begin(), corpus.docs.end()};
}

// Searches the index of (c, "e") the way the query executor does: the
// loaded in-memory graph, else the complete on-disk one.
std::vector<HnswHit> Search(Engine& engine, std::string_view c, const std::vector<float>& q) {
  std::vector<HnswHit> hits;
  auto in_memory = memory_vector_index_for(engine, c, "e", [&](const HnswIndex& g) { hits = hnsw_search(g, q, kK); });
  EXPECT_TRUE(in_memory.has_value());
  if (*in_memory) return hits;
  auto txn = engine.store().BeginRead();
  EXPECT_TRUE(txn.has_value());
  ReadView view(*txn);
  auto disk = disk_vector_index_search(engine, view, c, "e", q, kK);
  EXPECT_TRUE(disk.has_value() && disk->has_value()) << (disk ? "no index" : disk.error().Message());
  return disk && *disk ? **disk : hits;
}

// Mean recall@10 over the corpus queries; every hit must be live.
double Recall(Engine& engine, std::string_view c, const Corpus& corpus,
              const std::map<std::string, std::vector<float>>& live, Metric metric) {
  double found = 0;
  for (const auto& q : corpus.queries) {
    std::set<std::string> want = Exact(live, metric, q);
    for (const HnswHit& hit : Search(engine, c, q)) {
      EXPECT_TRUE(live.count(hit.key)) << "deleted key " << hit.key << " returned";
      found += want.count(hit.key);
    }
  }
  return found / (corpus.queries.size() * kK);
}

struct Kind {
  const char* name;
  uint8_t storage;
  Quantization quant;
  double min_recall;  // binary codes are ranked by Hamming distance alone
};

// Thresholds sit a little below what this corpus gives (the graphs and the
// corpus are deterministic): product and binary codes are searched without
// rescoring, so their recall is bounded by the codes, not the graph.
constexpr Kind kKinds[] = {
    {"memory", kVectorInMemory, Quantization::kNone, 0.95},
    {"memory_scalar", kVectorInMemory, Quantization::kScalar, 0.93},
    {"memory_binary", kVectorInMemory, Quantization::kBinary, 0.25},
    {"memory_pq", kVectorInMemoryPq, Quantization::kNone, 0.3},
    {"disk", kVectorOnDisk, Quantization::kNone, 0.85},
    {"disk_scalar", kVectorOnDisk, Quantization::kScalar, 0.83},
    {"disk_binary", kVectorOnDisk, Quantization::kBinary, 0.25},
    {"disk_pq", kVectorOnDiskPq, Quantization::kNone, 0.28},
};

Status Declare(Engine& engine, std::string_view c, const Kind& kind, Metric metric) {
  switch (kind.storage) {
    case kVectorInMemory:
      return create_vector_index_quantized(engine, c, "e", metric, kind.quant);
    case kVectorInMemoryPq:
      return create_vector_index_pq(engine, c, "e", metric, 4, 32);
    case kVectorOnDisk:
      return create_vector_index_ondisk(engine, c, "e", metric, kind.quant);
    default:
      return create_vector_index_ondisk_pq(engine, c, "e", metric, 4, 32);
  }
}

// A temporary directory in memory when the machine has one: the test
// commits a few hundred single-document transactions, and a sync to a disk
// costs milliseconds each.
class ShmDir {
 public:
  ShmDir() {
    std::string tmpl = (std::filesystem::exists("/dev/shm") ? std::string("/dev/shm")
                                                             : std::filesystem::temp_directory_path().string()) +
                       "/pallix-test-XXXXXX";
    path_ = mkdtemp(tmpl.data());
  }
  ~ShmDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

class VectorIndexRecall : public ::testing::TestWithParam<std::tuple<Kind, Metric>> {};

TEST_P(VectorIndexRecall, MatchesBruteForceAcrossReopenDeletesAndRepair) {
  const auto& [kind, metric] = GetParam();
  ShmDir dir;
  const std::string path = dir.path() + "/db";
  Corpus corpus = MakeCorpus(600, 7);
  auto live = LiveOf(corpus);
  std::vector<std::vector<std::string>> before;
  double recall = 0;
  {
    auto engine = open_engine(path);
    ASSERT_TRUE(engine.has_value());
    Load(**engine, "c", corpus);
    ASSERT_TRUE(Declare(**engine, "c", kind, metric).has_value());
    recall = Recall(**engine, "c", corpus, live, metric);
    EXPECT_GE(recall, kind.min_recall);
    for (const auto& q : corpus.queries) {
      before.emplace_back();
      for (const HnswHit& h : Search(**engine, "c", q)) before.back().push_back(h.key);
    }
  }
  auto reopened = open_engine(path);
  ASSERT_TRUE(reopened.has_value());
  Engine& engine = **reopened;
  // The same graph, read back or rebuilt from the same rows in the same order.
  for (size_t i = 0; i < corpus.queries.size(); ++i) {
    std::vector<std::string> keys;
    for (const HnswHit& h : Search(engine, "c", corpus.queries[i])) keys.push_back(h.key);
    EXPECT_EQ(keys, before[i]);
  }
  // A quarter deleted: deleted keys never found.
  for (size_t i = 0; i < 150; ++i) {
    ASSERT_TRUE(delete_document(engine, "c", corpus.docs[i * 4].first).has_value());
    live.erase(corpus.docs[i * 4].first);
  }
  recall = Recall(engine, "c", corpus, live, metric);
  EXPECT_GE(recall, kind.min_recall - 0.1);
  // Half deleted: the writes repaired the graph as they went, so few
  // deleted nodes are left.
  for (size_t i = 0; i < 150; ++i) {
    ASSERT_TRUE(delete_document(engine, "c", corpus.docs[i * 4 + 1].first).has_value());
    live.erase(corpus.docs[i * 4 + 1].first);
  }
  if (kind.storage == kVectorOnDisk || kind.storage == kVectorOnDiskPq) {
    auto meta = read_index_meta(engine, vector_namespace("c", "e"));
    ASSERT_TRUE(meta.has_value());
    EXPECT_LT(meta->deleted * 5, live.size()) << "the repair fell behind";
  } else {
    ASSERT_TRUE(memory_vector_index_for(engine, "c", "e", [&](const HnswIndex& g) {
      EXPECT_LT(g.tombstone_count() * 5, live.size()) << "the repair fell behind";
      EXPECT_EQ(g.live_count(), live.size());
    }).value());
  }
  recall = Recall(engine, "c", corpus, live, metric);
  EXPECT_GE(recall, kind.min_recall - 0.1);
}

std::string KindName(const ::testing::TestParamInfo<std::tuple<Kind, Metric>>& info) {
  return std::string(std::get<0>(info.param).name) + "_" + std::string(MetricName(std::get<1>(info.param)));
}

INSTANTIATE_TEST_SUITE_P(VectorIndex, VectorIndexRecall,
                         ::testing::Combine(::testing::ValuesIn(kKinds),
                                            ::testing::Values(Metric::kCosine, Metric::kDot, Metric::kL2)),
                         KindName);

// ------------------------------------------------------------ repair

Value VecDoc(float x) { return Doc({{"e", Value::Vector({x, 1.0f - x, 0.5f})}}); }

IndexMetaInfo Meta(Engine& engine) {
  auto meta = read_index_meta(engine, vector_namespace("c", "e"));
  EXPECT_TRUE(meta.has_value());
  return meta ? *meta : IndexMetaInfo{};
}

// The graph of (c, "e") as one string per node: the loaded in-memory
// graph's nodes by id, else the on-disk graph's node rows by key.
std::map<std::string, std::string> GraphShot(Engine& engine) {
  std::map<std::string, std::string> shot;
  auto in_memory = memory_vector_index_for(engine, "c", "e", [&](const HnswIndex& g) {
    for (uint64_t id = 0; id < g.node_count(); ++id) {
      if (!g.present(id)) continue;
      std::string node = std::string(g.key(id).value_or("(removed)")) + ":";
      for (uint32_t layer = 0; layer <= g.level(id); ++layer) {
        for (uint32_t v : g.neighbours(id, layer)) node += std::to_string(v) + ",";
        node += ";";
      }
      shot[std::to_string(id)] = node;
    }
  });
  EXPECT_TRUE(in_memory.has_value());
  if (*in_memory) return shot;
  auto txn = engine.store().BeginRead();
  EXPECT_TRUE(txn.has_value());
  auto rows = ReadView(*txn).view_scan_prefix(vector_namespace("c", "e"), std::string(1, kDannNodePrefix));
  EXPECT_TRUE(rows.has_value());
  for (const Row& row : *rows) shot[row.key] = row.value;
  return shot;
}

// How many nodes differ between two shots: changed, added or gone.
size_t Touched(const std::map<std::string, std::string>& a, const std::map<std::string, std::string>& b) {
  size_t n = 0;
  for (const auto& [id, node] : a) n += !b.contains(id) || b.at(id) != node;
  for (const auto& [id, node] : b) n += !a.contains(id);
  return n;
}

// Every row of the on-disk graph of (c, "e"): nodes, keys, meta, repair
// and queue rows.
std::map<std::string, std::string> DiskRows(Engine& engine) {
  std::map<std::string, std::string> rows;
  auto txn = engine.store().BeginRead();
  EXPECT_TRUE(txn.has_value());
  auto all = ReadView(*txn).view_scan_prefix(vector_namespace("c", "e"), "");
  EXPECT_TRUE(all.has_value());
  for (const Row& row : *all) rows[row.key] = row.value;
  return rows;
}

// Deleting most of a graph's documents never makes one write rebuild it:
// each delete changes its own node and a bounded number of others (those
// around it, its share of the sweep's relinks and drops); writes that
// leave the vector as it was change nothing at all, not even the repair's
// own rows; a bulk delete repairs within its own call, leaving nothing
// owed; searches stay right and the deleted nodes a small share. Counted
// on the graph itself, in memory and on disk.
TEST(VectorIndex, DeleteHeavyGraphIsRepairedAWriteSliceAtATime) {
  const HnswRepairLimits limits;
  const size_t bound = 1 + kHnswM0 + 3 * kHnswM + limits.per_removal + limits.nodes + limits.drops;
  for (bool on_disk : {false, true}) {
    SCOPED_TRACE(on_disk ? "on disk" : "in memory");
    auto engine = test::MemEngine();
    Corpus corpus = MakeCorpus(900, 3);
    auto live = LiveOf(corpus);
    std::vector<std::pair<std::string, Value>> pairs;
    for (size_t i = 0; i < corpus.docs.size(); ++i) {
      pairs.emplace_back(corpus.docs[i].first,
                         Doc({{"e", Value::Vector(corpus.docs[i].second)}, {"n", Value::Int(int64_t(i % 3))}}));
    }
    ASSERT_TRUE(put_many(*engine, "c", pairs).has_value());
    auto declared = on_disk ? create_vector_index_ondisk(*engine, "c", "e", Metric::kL2, Quantization::kNone)
                            : create_vector_index(*engine, "c", "e", Metric::kL2);
    ASSERT_TRUE(declared.has_value());
    auto before = GraphShot(*engine);
    size_t most = 0;
    for (size_t i = 0; i < corpus.docs.size(); ++i) {
      if (i % 3 != 2) continue;
      ASSERT_TRUE(delete_document(*engine, "c", corpus.docs[i].first).has_value());
      live.erase(corpus.docs[i].first);
      auto after = GraphShot(*engine);
      most = std::max(most, Touched(before, after));
      before = std::move(after);
    }
    EXPECT_LE(most, bound) << "one write changed " << most << " nodes";
    // Writes that leave the vectors as they are change nothing.
    const auto rows = DiskRows(*engine);
    for (int i = 0; i < 60; ++i) {
      const auto& [key, v] = *std::next(live.begin(), i % live.size());
      ASSERT_TRUE(patch(*engine, "c", key, Doc({{"m", Value::Int(i)}})).has_value());
    }
    EXPECT_EQ(GraphShot(*engine), before);
    if (on_disk) {
      EXPECT_EQ(DiskRows(*engine), rows) << "a write that removed nothing wrote graph rows";
    }
    // One bulk delete: its removals repaired within the call.
    auto removed = delete_where(engine, "c", Predicate::Compare("n", CompareOp::kEq, Value::Int(1)));
    ASSERT_TRUE(removed.has_value());
    EXPECT_EQ(*removed, 300u);
    for (size_t i = 1; i < corpus.docs.size(); i += 3) live.erase(corpus.docs[i].first);
    const size_t present = GraphShot(*engine).size();
    EXPECT_LE(present - live.size(), 4 * (present / limits.per_removal + 2)) << "the repair fell behind";
    if (on_disk) {
      auto txn = engine->store().BeginRead();
      auto row = ReadView(*txn).view_get(vector_namespace("c", "e"), kDannRepairKey);
      ASSERT_TRUE(row.has_value() && row->has_value());
      EXPECT_EQ(decode_dann_repair_cursor(vector_namespace("c", "e"), **row).value().debt, 0u);
    }
    double found = 0;
    for (const auto& q : corpus.queries) {
      std::set<std::string> want = Exact(live, Metric::kL2, q);
      for (const HnswHit& hit : Search(*engine, "c", q)) {
        EXPECT_TRUE(live.contains(hit.key)) << "deleted key " << hit.key << " returned";
        found += want.count(hit.key);
      }
    }
    EXPECT_GE(found / (corpus.queries.size() * kK), 0.95);
  }
}

// Every live key found after every write of a churn on a small
// collection: the fresh vectors of new keys, deletions, and replacements
// that drift a little away from the others (the key's old node then lies
// nearest to the new vector, between it and the rest), in both kinds of
// graph, under every metric, in a file and in memory. A search for live +
// 10 keys walks every node its entry reaches, so a key it misses is one no
// link leads to any more: a new node linked only to the removed node it
// replaced (seed 6), or a node whose one link came from a node the repair
// dropped (seed 1).
class VectorIndexChurn : public ::testing::TestWithParam<std::tuple<bool, Metric, bool>> {};

TEST_P(VectorIndexChurn, EveryLiveKeyStaysInTheGraph) {
  const auto& [on_disk, metric, in_file] = GetParam();
  for (const auto& [seed, writes] : {std::pair{6u, 600}, std::pair{1u, 2000}}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    ShmDir dir;
    auto opened = in_file ? open_engine(dir.path() + "/db") : open_in_memory();
    ASSERT_TRUE(opened.has_value());
    Engine& engine = **opened;
    auto declared = on_disk ? create_vector_index_ondisk(engine, "c", "e", metric, Quantization::kNone)
                            : create_vector_index(engine, "c", "e", metric);
    ASSERT_TRUE(declared.has_value());
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::map<std::string, std::vector<float>> live;
    for (int op = 0; op < writes; ++op) {
      const std::string key = "k" + std::to_string(rng() % 90);
      const uint32_t r = rng() % 10;
      if (r < 3 && live.contains(key)) {
        ASSERT_TRUE(delete_document(engine, "c", key).has_value());
        live.erase(key);
      } else {
        std::vector<float> mean(4, 0.0f);
        for (const auto& [other, w] : live)
          for (size_t i = 0; i < 4; ++i) mean[i] += w[i] / static_cast<float>(live.size());
        const bool drift = live.contains(key) && r < 8;
        std::vector<float> v(4);
        for (size_t i = 0; i < 4; ++i)
          v[i] = drift ? live[key][i] + 0.25f * (live[key][i] - mean[i]) + 0.05f * unit(rng) : unit(rng);
        ASSERT_TRUE(insert(engine, "c", key, Doc({{"e", Value::Vector(v)}})).has_value());
        live[key] = v;
      }
      const std::vector<float> probe{0.3f, -0.2f, 0.1f, 0.5f};
      const uint64_t k = live.size() + 10;
      std::set<std::string> found;
      auto in_memory = memory_vector_index_for(engine, "c", "e", [&](const HnswIndex& g) {
        for (const HnswHit& hit : hnsw_search(g, probe, k)) found.insert(hit.key);
      });
      ASSERT_TRUE(in_memory.has_value());
      if (!*in_memory) {
        auto txn = engine.store().BeginRead();
        ASSERT_TRUE(txn.has_value());
        auto hits = disk_vector_index_search(engine, ReadView(*txn), "c", "e", probe, k);
        ASSERT_TRUE(hits.has_value() && hits->has_value());
        for (const HnswHit& hit : **hits) found.insert(hit.key);
      }
      for (const auto& [key, v] : live) ASSERT_TRUE(found.contains(key)) << key << " left out after write " << op;
      ASSERT_EQ(found.size(), live.size());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    VectorIndex, VectorIndexChurn,
    ::testing::Combine(::testing::Bool(), ::testing::Values(Metric::kCosine, Metric::kDot, Metric::kL2),
                       ::testing::Bool()),
    [](const ::testing::TestParamInfo<std::tuple<bool, Metric, bool>>& info) {
      return std::string(std::get<0>(info.param) ? "disk_" : "memory_") + std::string(MetricName(std::get<1>(info.param))) +
             (std::get<2>(info.param) ? "_file" : "_memory");
    });

// ------------------------------------------------------------ declarations

TEST(VectorIndex, DeclarationChecks) {
  auto engine = test::MemEngine();
  EXPECT_EQ(create_vector_index(*engine, "__c", "e", Metric::kCosine).error().kind(),
            ErrorKind::kReservedCollection);
  EXPECT_EQ(create_vector_index(*engine, "c", "a__b", Metric::kCosine).error().kind(), ErrorKind::kInvalidName);
  // Two declarations naming one namespace would share one graph.
  ASSERT_TRUE(create_vector_index(*engine, "a_", "b", Metric::kCosine).has_value());
  EXPECT_EQ(create_vector_index(*engine, "a", "_b", Metric::kCosine).error().kind(), ErrorKind::kInvalidName);
  // No vectors, k out of range, m not dividing the dimension: nothing written.
  EXPECT_EQ(create_vector_index_pq(*engine, "c", "e", Metric::kL2, 1, 4).error().kind(),
            ErrorKind::kEmptyIndexTraining);
  ASSERT_TRUE(insert(*engine, "c", "a", VecDoc(0.1f)));
  ASSERT_TRUE(insert(*engine, "c", "b", VecDoc(0.2f)));
  for (auto [m, k] : {std::pair<uint64_t, uint64_t>{1, 1}, {1, 257}, {2, 2}, {0, 2}})
    EXPECT_EQ(create_vector_index_pq(*engine, "c", "e", Metric::kL2, m, k).error().kind(),
              ErrorKind::kEmptyIndexTraining);
  auto row = get_row_once(engine->store(), kVectorRegistry, registry_key("c", "e"));
  ASSERT_TRUE(row.has_value());
  EXPECT_FALSE(row->has_value());
  ASSERT_TRUE(create_vector_index_ondisk_pq(*engine, "c", "e", Metric::kL2, 3, 2).has_value());
  auto state = read_index_state_once(engine->store(), kVectorRegistry, registry_key("c", "e"));
  ASSERT_TRUE(state.has_value() && state->has_value());
  EXPECT_EQ((*state)->payload, std::string("\x02\x00\x02", 3));
  EXPECT_FALSE((*state)->cursor.has_value());
}

TEST(VectorIndex, TrainingTakesTheFirstVectorsInKeyOrder) {
  auto engine = test::MemEngine();
  std::vector<std::pair<std::string, Value>> pairs;
  for (int i = 0; i < 50010; ++i) {
    char key[16];
    snprintf(key, sizeof key, "k%06d", i);
    pairs.emplace_back(key, Doc({{"e", Value::Vector({static_cast<float>(i)})}}));
  }
  pairs.emplace_back("a", Doc({{"e", Value::Text("not a vector")}}));
  ASSERT_TRUE(put_many(*engine, "c", pairs).has_value());
  auto vectors = collect_training_vectors(*engine, "c", "e");
  ASSERT_TRUE(vectors.has_value());
  ASSERT_EQ(vectors->size(), kMaxTrainingVectors);
  EXPECT_EQ(vectors->front(), std::vector<float>{0.0f});
  EXPECT_EQ(vectors->back(), std::vector<float>{49999.0f});
}

TEST(VectorIndex, RedeclaringDropsTheLoadedGraph) {
  auto engine = test::MemEngine();
  for (const char* key : {"a", "b", "c"}) ASSERT_TRUE(insert(*engine, "c", key, VecDoc(0.1f)));
  ASSERT_TRUE(create_vector_index(*engine, "c", "e", Metric::kL2).has_value());
  size_t nodes = 0;
  ASSERT_TRUE(memory_vector_index_for(*engine, "c", "e", [&](const HnswIndex& g) { nodes = g.node_count(); }));
  EXPECT_EQ(nodes, 3u);
  ASSERT_TRUE(insert(*engine, "c", "a", VecDoc(0.2f)));  // the loaded graph takes the write: a tombstone
  ASSERT_TRUE(memory_vector_index_for(*engine, "c", "e", [&](const HnswIndex& g) { nodes = g.node_count(); }));
  EXPECT_EQ(nodes, 4u);
  ASSERT_TRUE(create_vector_index(*engine, "c", "e", Metric::kCosine).has_value());
  Metric metric = Metric::kL2;
  ASSERT_TRUE(memory_vector_index_for(*engine, "c", "e", [&](const HnswIndex& g) {
    nodes = g.node_count();
    metric = g.metric();
  }));
  EXPECT_EQ(nodes, 3u);
  EXPECT_EQ(metric, Metric::kCosine);
}

// ------------------------------------------------------------ upkeep

TEST(VectorIndex, ADocumentLosingItsVectorLeavesEveryIndex) {
  auto engine = test::MemEngine();
  const std::string long_key(2048, 'x');  // far beyond the store's key limit
  ASSERT_TRUE(insert(*engine, "c", long_key, VecDoc(0.1f)));
  ASSERT_TRUE(insert(*engine, "c", "b", VecDoc(0.9f)));
  ASSERT_TRUE(create_vector_index(*engine, "c", "e", Metric::kL2).has_value());
  ASSERT_TRUE(create_vector_index_ondisk(*engine, "d", "e", Metric::kL2, Quantization::kNone).has_value());
  ASSERT_TRUE(insert(*engine, "d", long_key, VecDoc(0.1f)));
  ASSERT_TRUE(insert(*engine, "d", "b", VecDoc(0.9f)));
  std::vector<float> q{0.1f, 0.9f, 0.5f};
  EXPECT_EQ(Search(*engine, "c", q).front().key, long_key);
  EXPECT_EQ(Search(*engine, "d", q).front().key, long_key);
  ASSERT_TRUE(insert(*engine, "c", long_key, Doc({{"e", Value::Text("gone")}})));
  ASSERT_TRUE(insert(*engine, "d", long_key, Doc({{"f", Value::Int(1)}})));
  for (const char* c : {"c", "d"}) {
    auto hits = Search(*engine, c, q);
    ASSERT_EQ(hits.size(), 1u) << c;
    EXPECT_EQ(hits[0].key, "b");
  }
}

TEST(VectorIndex, AnInterruptedBuildIsKeptUpAndResumed) {
  auto engine = test::MemEngine();
  // Random vectors: points on one line (VecDoc) make a poorly connected
  // graph when neighbours are simply the closest ones.
  Corpus corpus = MakeCorpus(3001, 11);
  for (int i = 0; i < 3000; ++i)
    ASSERT_TRUE(insert(*engine, "c", "k" + std::to_string(i), Doc({{"e", Value::Vector(corpus.docs[i].second)}})));
  // A build stopped part-way, as after a crash: its cursor names the first
  // row not yet in the graph.
  ASSERT_TRUE(register_vector_index(*engine, "c", "e", Metric::kL2, Quantization::kNone, kVectorOnDisk, nullptr));
  const std::string cursor = "k2842";
  ASSERT_TRUE(put_row_once(engine->store(), kVectorRegistry, registry_key("c", "e"),
                           encode_index_state(std::string("\x02\x00\x01", 3), cursor)));
  const std::vector<float> q = corpus.docs[3000].second;
  ASSERT_TRUE(insert(*engine, "c", "new", Doc({{"e", Value::Vector(q)}})));  // indexed at once, while building
  {
    auto txn = engine->store().BeginRead();
    ASSERT_TRUE(txn.has_value());
    ReadView view(*txn);
    auto disk = disk_vector_index_search(*engine, view, "c", "e", q, 1);
    ASSERT_TRUE(disk.has_value());
    EXPECT_FALSE(disk->has_value());  // building: not used for searches
  }
  EXPECT_EQ(Meta(*engine).live, 1u);
  ASSERT_TRUE(resume_index_builds(*engine, "c").has_value());
  auto rows = scan_rows_batch(engine->store(), "c", cursor, 10000);
  ASSERT_TRUE(rows.has_value());
  EXPECT_EQ(Meta(*engine).live, rows->size());  // every row from the cursor on, "new" once
  auto hits = Search(*engine, "c", q);
  ASSERT_FALSE(hits.empty());
  EXPECT_EQ(hits[0].key, "new");
  auto state = read_index_state_once(engine->store(), kVectorRegistry, registry_key("c", "e"));
  ASSERT_TRUE(state.has_value() && state->has_value());
  EXPECT_FALSE((*state)->cursor.has_value());
}

// ------------------------------------------------------------ damage

TEST(VectorIndex, DamagedGraphRowsGiveOneErrorNeverACrash) {
  auto engine = test::MemEngine();
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(insert(*engine, "c", "k" + std::to_string(i), VecDoc(i / 50.0f)));
  ASSERT_TRUE(create_vector_index_ondisk(*engine, "c", "e", Metric::kL2, Quantization::kNone).has_value());
  const std::string ns = vector_namespace("c", "e");
  ASSERT_TRUE(put_row_once(engine->store(), ns, dann_node_row_key(3), std::string("\x00\xff\xff\xff\xff", 5)));
  std::vector<float> q{0.0f, 1.0f, 0.5f};
  bool failed = false;
  for (int i = 0; i < 50 && !failed; ++i) {
    auto txn = engine->store().BeginRead();
    ASSERT_TRUE(txn.has_value());
    ReadView view(*txn);
    auto r = disk_vector_index_search(*engine, view, "c", "e", q, 50);
    if (!r) {
      EXPECT_EQ(r.error().kind(), ErrorKind::kCorruptIndex);
      failed = true;
    }
  }
  EXPECT_TRUE(failed);
  // A write whose upkeep meets the damaged node fails whole or succeeds.
  for (int i = 0; i < 5; ++i) {
    auto w = insert(*engine, "c", "w" + std::to_string(i), VecDoc(0.06f));
    if (!w) {
      EXPECT_EQ(w.error().kind(), ErrorKind::kCorruptIndex);
    }
  }
  ASSERT_TRUE(put_row_once(engine->store(), ns, kDannMetaKey, "short"));
  EXPECT_EQ(read_index_meta(*engine, ns).error().kind(), ErrorKind::kCorruptIndex);
  auto w = insert(*engine, "c", "x", VecDoc(0.3f));
  ASSERT_FALSE(w.has_value());
  EXPECT_EQ(w.error().kind(), ErrorKind::kCorruptIndex);
  EXPECT_TRUE(delete_document(*engine, "other", "x").has_value());  // other collections unaffected
  // Declaring again discards the damaged rows.
  ASSERT_TRUE(create_vector_index_ondisk(*engine, "c", "e", Metric::kL2, Quantization::kNone).has_value());
  EXPECT_EQ(Search(*engine, "c", q).size(), kK);
}

}  // namespace
}  // namespace pallix
