// Bulk removals from vector graphs (the "Bulk removals" of
// vector/hnsw_repair.h), in memory and on disk: a filtered delete, a batch
// of deletes and a dump load that replaces documents each leave the graph
// with no removed node, every live vector reachable from the entry point
// and recall as good as a graph declared afresh; the repair of a large
// bulk is one pass over the graph, and a small one costs what as many
// single removals would; deletes cut short before their repair leave it to
// later writes.

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "doc/value.h"
#include "dump/dump_loader.h"
#include "dump/dump_writer.h"
#include "index/index_state.h"
#include "index/vector_index.h"
#include "index/vector_repair_batch.h"
#include "query/delete_where.h"
#include "storage/read_view.h"
#include "clustered_vectors.h"
#include "test_util.h"
#include "vector/disk_hnsw_repair.h"
#include "vector/hnsw_repair.h"
#include "write/write.h"

namespace pallix {
namespace {

using test::Doc;

constexpr size_t kDim = 8;
constexpr uint64_t kK = 10;
constexpr size_t kDocs = 2000;

using Live = std::map<std::string, std::vector<float>>;

std::string KeyOf(size_t i) { return "k" + std::to_string(10000 + i); }

// A graph as its nodes and links tell it, from either kind.
struct GraphShot {
  std::optional<uint64_t> entry;
  std::map<uint64_t, std::pair<bool, std::vector<std::vector<uint64_t>>>> nodes;  // id -> (deleted, layers)
  size_t queue_rows = 0;
  uint64_t deleted_count = 0;  // as the graph counts its deleted nodes
  size_t node_ids = 0;         // in memory: the ids in use, dropped or not

  size_t Deleted() const {
    return std::count_if(nodes.begin(), nodes.end(), [](const auto& n) { return n.second.first; });
  }
  // Live nodes no walk over the links from the entry point reaches.
  size_t Unreachable() const {
    std::set<uint64_t> seen;
    std::vector<uint64_t> todo;
    if (entry) todo.push_back(*entry), seen.insert(*entry);
    while (!todo.empty()) {
      const uint64_t id = todo.back();
      todo.pop_back();
      auto it = nodes.find(id);
      if (it == nodes.end()) continue;
      for (const auto& list : it->second.second)
        for (uint64_t v : list)
          if (seen.insert(v).second) todo.push_back(v);
    }
    size_t out = 0;
    for (const auto& [id, node] : nodes) out += !node.first && !seen.contains(id);
    return out;
  }
};

GraphShot ShotOf(Engine& engine, std::string_view c) {
  GraphShot shot;
  auto in_memory = memory_vector_index_for(engine, c, "e", [&](const HnswIndex& g) {
    shot.entry = g.entry();
    shot.deleted_count = g.tombstone_count();
    shot.node_ids = g.node_count();
    for (uint64_t id = 0; id < g.node_count(); ++id) {
      if (!g.present(id)) continue;
      auto& node = shot.nodes[id];
      node.first = !g.key(id).has_value();
      for (uint32_t layer = 0; layer <= g.level(id); ++layer) {
        auto list = g.neighbours(id, layer);
        node.second.emplace_back(list.begin(), list.end());
      }
    }
  });
  EXPECT_TRUE(in_memory.has_value());
  if (*in_memory) return shot;
  const std::string ns = vector_namespace(c, "e");
  auto txn = engine.store().BeginRead();
  ReadView view(*txn);
  auto meta = read_dann_meta_ro(view, ns);
  EXPECT_TRUE(meta.has_value());
  if (meta->has_entry) shot.entry = meta->entry;
  shot.deleted_count = meta->deleted;
  EXPECT_TRUE(view.view_for_each(ns, [&](std::string_view key, std::string_view value) -> Result<bool> {
                    if (key[0] == kDannQueuePrefix) ++shot.queue_rows;
                    if (key[0] != kDannNodePrefix) return true;
                    const uint64_t id = DecodeFixed64BE(key.data() + 1);
                    auto node = decode_dann_node(ns, id, value, false, Quantization::kNone);
                    EXPECT_TRUE(node.has_value());
                    shot.nodes[id] = {node->deleted, node->layers};
                    return true;
                  })
                  .has_value());
  return shot;
}

std::vector<HnswHit> Search(Engine& engine, std::string_view c, const std::vector<float>& q) {
  std::vector<HnswHit> hits;
  auto in_memory = memory_vector_index_for(engine, c, "e", [&](const HnswIndex& g) { hits = hnsw_search(g, q, kK); });
  if (*in_memory) return hits;
  auto txn = engine.store().BeginRead();
  auto disk = disk_vector_index_search(engine, ReadView(*txn), c, "e", q, kK);
  EXPECT_TRUE(disk.has_value() && disk->has_value());
  return disk && *disk ? **disk : hits;
}

// Mean recall@10 of `queries`; a removed key returned fails the test.
double Recall(Engine& engine, std::string_view c, const Live& live, const std::vector<std::vector<float>>& queries) {
  double found = 0;
  for (const auto& q : queries) {
    std::vector<std::pair<float, std::string>> all;
    for (const auto& [key, v] : live) all.emplace_back(l2_f32(q, v), key);
    std::sort(all.begin(), all.end());
    std::set<std::string> want;
    for (size_t i = 0; i < kK; ++i) want.insert(all[i].second);
    for (const HnswHit& hit : Search(engine, c, q)) {
      EXPECT_TRUE(live.contains(hit.key)) << "removed key " << hit.key << " returned";
      found += want.count(hit.key);
    }
  }
  return found / (queries.size() * kK);
}

Status Declare(Engine& engine, std::string_view c, bool on_disk) {
  if (on_disk) return create_vector_index_ondisk(engine, c, "e", Metric::kL2, Quantization::kNone);
  RETURN_IF_ERROR(create_vector_index(engine, c, "e", Metric::kL2));
  // Loaded now, so that the removals reach the in-memory graph.
  RETURN_IF_ERROR(memory_vector_index_for(engine, c, "e", [](const HnswIndex&) {}));
  return Ok();
}

Status PutAll(Engine& engine, std::string_view c, const Live& docs) {
  std::vector<std::pair<std::string, Value>> pairs;
  for (const auto& [key, v] : docs) {
    const int64_t odd = (key.back() - '0') % 2;
    pairs.emplace_back(key, Doc({{"e", Value::Vector(v)}, {"odd", Value::Int(odd)}}));
  }
  return put_many(engine, c, pairs);
}

enum class Bulk { kDeleteWhere, kDeleteBatch, kLoad };

class VectorBulkRepair : public ::testing::TestWithParam<std::tuple<bool, Bulk>> {};

// Half the documents go (or, by a load, get new vectors) in one call; the
// graph is then as a fresh declaration's would be: no removed node left,
// nothing unreachable, the same recall.
TEST_P(VectorBulkRepair, LeavesNoRemovedNodeNothingUnreachableAndFreshRecall) {
  const auto [on_disk, bulk] = GetParam();
  auto engine = test::MemEngine();
  test::LcgRng rng(7);
  Live live;
  for (size_t i = 0; i < kDocs; ++i) live[KeyOf(i)] = rng.Vector(kDim);
  ASSERT_TRUE(PutAll(*engine, "c", live).has_value());
  ASSERT_TRUE(Declare(*engine, "c", on_disk).has_value());
  Live odd;
  for (size_t i = 1; i < kDocs; i += 2) odd[KeyOf(i)] = rng.Vector(kDim);
  if (bulk == Bulk::kDeleteWhere) {
    auto removed = delete_where(engine, "c", Predicate::Compare("odd", CompareOp::kEq, Value::Int(1)));
    ASSERT_TRUE(removed.has_value());
    EXPECT_EQ(*removed, odd.size());
  } else if (bulk == Bulk::kDeleteBatch) {
    std::vector<std::string> keys;
    for (const auto& [key, v] : odd) keys.push_back(key);
    auto removed = delete_batch(*engine, "c", keys);
    ASSERT_TRUE(removed.has_value());
    EXPECT_EQ(*removed, odd.size());
  } else {
    test::TempDir dir;
    auto source = test::MemEngine();
    ASSERT_TRUE(PutAll(*source, "c", odd).has_value());
    ASSERT_TRUE(dump_to_path(*source, dir.path() + "/d").has_value());
    ASSERT_TRUE(load_dump_file(*engine, dir.path() + "/d", {}).has_value());
  }
  for (const auto& [key, v] : odd) {
    if (bulk == Bulk::kLoad) {
      live[key] = v;
    } else {
      live.erase(key);
    }
  }
  const GraphShot shot = ShotOf(*engine, "c");
  EXPECT_EQ(shot.Deleted(), 0u) << "removed nodes left after the bulk";
  EXPECT_EQ(shot.deleted_count, 0u);
  EXPECT_EQ(shot.queue_rows, 0u);
  EXPECT_EQ(shot.nodes.size(), live.size());
  EXPECT_EQ(shot.Unreachable(), 0u);
  // A load drops the nodes it replaces before inserting: the new nodes
  // take their ids rather than growing the graph.
  if (!on_disk && bulk == Bulk::kLoad) {
    EXPECT_EQ(shot.node_ids, live.size());
  }

  std::vector<std::vector<float>> queries;
  for (int i = 0; i < 100; ++i) queries.push_back(rng.Vector(kDim));
  ASSERT_TRUE(PutAll(*engine, "fresh", live).has_value());
  ASSERT_TRUE(Declare(*engine, "fresh", on_disk).has_value());
  EXPECT_GE(Recall(*engine, "c", live, queries), Recall(*engine, "fresh", live, queries) - 0.005);
}

INSTANTIATE_TEST_SUITE_P(VectorBulk, VectorBulkRepair,
                         ::testing::Combine(::testing::Bool(),
                                            ::testing::Values(Bulk::kDeleteWhere, Bulk::kDeleteBatch, Bulk::kLoad)));

// A load of the documents a database holds already leaves its graph, in
// memory or on disk, as it was: no node of an unchanged vector is removed and inserted
// again.
TEST(VectorBulkRepairLoad, UnchangedVectorsKeepTheirNodes) {
  for (bool on_disk : {false, true}) {
    SCOPED_TRACE(on_disk);
    auto engine = test::MemEngine();
    test::LcgRng rng(3);
    Live live;
    for (size_t i = 0; i < 500; ++i) live[KeyOf(i)] = rng.Vector(kDim);
    ASSERT_TRUE(PutAll(*engine, "c", live).has_value());
    ASSERT_TRUE(Declare(*engine, "c", on_disk).has_value());
    const GraphShot before = ShotOf(*engine, "c");
    // Half of them, so that nodes put in again could not make the same graph.
    Live half;
    for (size_t i = 0; i < live.size(); i += 2) half[KeyOf(i)] = live[KeyOf(i)];
    auto source = test::MemEngine();
    ASSERT_TRUE(PutAll(*source, "c", half).has_value());
    test::TempDir dir;
    ASSERT_TRUE(dump_to_path(*source, dir.path() + "/d").has_value());
    ASSERT_TRUE(load_dump_file(*engine, dir.path() + "/d", {}).has_value());
    const GraphShot after = ShotOf(*engine, "c");
    EXPECT_EQ(after.entry, before.entry);
    EXPECT_EQ(after.nodes, before.nodes);
    EXPECT_EQ(after.node_ids, before.node_ids);
  }
}

// The vectors of collection c's documents as stored.
Live StoredVectors(Engine& engine, std::string_view c) {
  Live out;
  auto txn = engine.store().BeginRead();
  EXPECT_TRUE(ReadView(*txn)
                  .view_for_each(c,
                                 [&](std::string_view key, std::string_view value) -> Result<bool> {
                                   ASSIGN_OR_RETURN(Value doc, decode_value(value));
                                   const ValueVector& v = get_path(doc, "e")->as_vector();
                                   out[std::string(key)].assign(v.begin(), v.end());
                                   return true;
                                 })
                  .has_value());
  return out;
}

// A load into an on-disk graph that fails at any one write keeps the
// documents before the failing one and leaves the rest as they were (or,
// should the failure fall where the load can do without it, loads them
// all); either way the graph holds exactly the stored documents' vectors,
// each found by its own value, and reaches every one.
TEST(VectorBulkRepairLoad, FailedWriteLeavesTheDiskGraphAsTheDocuments) {
  test::LcgRng rng(5);
  Live before, replacing;
  for (size_t i = 0; i < 120; ++i) before[KeyOf(i)] = rng.Vector(kDim);
  for (size_t i = 0; i < 120; i += 8) replacing[KeyOf(i)] = rng.Vector(kDim);
  test::TempDir dir;
  auto source = test::MemEngine();
  ASSERT_TRUE(PutAll(*source, "c", replacing).has_value());
  ASSERT_TRUE(dump_to_path(*source, dir.path() + "/d").has_value());
  // Until the fault falls past the load's last write: a fault early on
  // may fall where the load can do without the write, and the load then
  // ends whole, so this goes on until loads failed and then ended whole 8
  // times in a row.
  bool failed = false;
  for (int64_t at = 0, whole = 0; whole < 8 && !::testing::Test::HasFailure(); at += 9) {
    ASSERT_LT(at, 20000);
    SCOPED_TRACE(at);
    auto engine = test::MemEngine();
    ASSERT_TRUE(PutAll(*engine, "c", before).has_value());
    ASSERT_TRUE(Declare(*engine, "c", true).has_value());
    StoreFaults faults;
    faults.fail_write_at = at;
    engine->store().set_faults(&faults);
    const Status loaded = load_dump_file(*engine, dir.path() + "/d", {});
    engine->store().set_faults(nullptr);
    failed = failed || !loaded;
    whole = loaded && failed ? whole + 1 : 0;
    const Live stored = StoredVectors(*engine, "c");
    bool replaced_so_far = true;
    for (const auto& [key, v] : replacing) {
      const bool replaced = stored.at(key) == v;
      EXPECT_TRUE(replaced ? replaced_so_far : stored.at(key) == before.at(key)) << key;
      EXPECT_TRUE(replaced || !loaded) << key;
      replaced_so_far = replaced;
    }
    const GraphShot shot = ShotOf(*engine, "c");
    EXPECT_EQ(shot.nodes.size() - shot.Deleted(), stored.size());
    EXPECT_TRUE(!loaded || shot.Deleted() == 0) << shot.Deleted();
    EXPECT_EQ(shot.Unreachable(), 0u);
    for (const auto& [key, v] : stored) {
      const std::vector<HnswHit> hits = Search(*engine, "c", v);
      EXPECT_TRUE(!hits.empty() && hits[0].key == key) << key;
    }
  }
}

// Where links are scarce, a live node may have had in-links from removed
// nodes alone: tight clusters with far outliers (every graph kind), and
// product-quantized distances. The bulk links every such node in again.
TEST(VectorBulkRepairHard, FilteredDeleteLeavesNothingUnreachable) {
  const test::ClusteredVectors clustered = test::TightClustersWithOutliers(3);
  enum Kind { kMemory, kDisk, kMemoryPq, kDiskScalar };
  for (Kind kind : {kMemory, kDisk, kMemoryPq, kDiskScalar}) {
    SCOPED_TRACE(kind);
    auto engine = test::MemEngine();
    test::LcgRng rng(13);
    Live live;
    if (kind == kMemory || kind == kDisk) {
      for (size_t i = 0; i < clustered.vectors.size(); ++i) live[KeyOf(i)] = clustered.vectors[i];
    } else {
      for (size_t i = 0; i < kDocs; ++i) live[KeyOf(i)] = rng.Vector(kDim);
    }
    ASSERT_TRUE(PutAll(*engine, "c", live).has_value());
    if (kind == kMemoryPq) {
      ASSERT_TRUE(create_vector_index_pq(*engine, "c", "e", Metric::kL2, 4, 16).has_value());
      ASSERT_TRUE(memory_vector_index_for(*engine, "c", "e", [](const HnswIndex&) {}).has_value());
    } else if (kind == kDiskScalar) {
      ASSERT_TRUE(create_vector_index_ondisk(*engine, "c", "e", Metric::kL2, Quantization::kScalar).has_value());
    } else {
      ASSERT_TRUE(Declare(*engine, "c", kind == kDisk).has_value());
    }
    auto removed = delete_where(engine, "c", Predicate::Compare("odd", CompareOp::kEq, Value::Int(1)));
    ASSERT_TRUE(removed.has_value());
    std::erase_if(live, [](const auto& kv) { return (kv.first.back() - '0') % 2 == 1; });
    const GraphShot shot = ShotOf(*engine, "c");
    EXPECT_EQ(shot.Deleted(), 0u);
    EXPECT_EQ(shot.nodes.size(), live.size());
    EXPECT_EQ(shot.Unreachable(), 0u);
    for (const HnswHit& hit : Search(*engine, "c", live.begin()->second)) EXPECT_TRUE(live.contains(hit.key));
  }
}

// The repair's own work, counted on each graph kind: a large bulk passes
// each node once, relinks at most each live node once and drops every
// removed node; a small one takes the per-node path, whose work follows
// its removals, not the graph's size.
TEST(VectorBulkRepairWork, LargeBulkIsOnePassSmallBulkFollowsItsRemovals) {
  const HnswRepairLimits limits;
  for (size_t removals : {size_t{1000}, size_t{8}}) {
    SCOPED_TRACE(removals);
    test::LcgRng rng(11);
    HnswIndex memory(Metric::kL2, Quantization::kNone);
    auto engine = test::MemEngine();
    const std::string ns = "__dann__c__e";
    DiskHnswParams params;
    params.metric = Metric::kL2;
    auto ctx = BeginWriteCtx(engine->store());
    ASSERT_TRUE(ctx.has_value());
    for (size_t i = 0; i < kDocs; ++i) {
      const std::vector<float> v = rng.Vector(kDim);
      hnsw_insert(memory, KeyOf(i), v);
      ASSERT_TRUE(dann_upsert(*ctx, ns, params, KeyOf(i), v).has_value());
    }
    std::vector<uint32_t> memory_removed;
    std::vector<uint64_t> disk_removed;
    for (size_t i = 0; i < removals; ++i) {
      const std::string key = KeyOf(i * (kDocs / removals));
      memory_removed.push_back(static_cast<uint32_t>(*memory.find(key)));
      hnsw_remove_key(memory, key);
      std::optional<uint64_t> gone;
      ASSERT_TRUE(dann_remove_key(*ctx, ns, false, Quantization::kNone, key, &gone).has_value());
      ASSERT_TRUE(dann_note_removal(*ctx, ns, *gone).has_value());
      disk_removed.push_back(*gone);
    }
    const HnswRepairCounts in_memory = hnsw_repair_after_bulk(memory, memory_removed);
    auto on_disk = dann_repair_after_bulk(*ctx, ns, params, disk_removed);
    ASSERT_TRUE(on_disk.has_value()) << on_disk.error().Message();
    for (const HnswRepairCounts& counts : {in_memory, *on_disk}) {
      if (removals == 1000) {
        EXPECT_EQ(counts.passed, kDocs);
        EXPECT_LE(counts.relinked, kDocs - removals);
        EXPECT_EQ(counts.dropped, removals);
      } else {
        EXPECT_LE(counts.passed + counts.dropped, removals * limits.per_removal + limits.nodes);
        EXPECT_LE(counts.relinked, removals * (kHnswM0 + 7 * kHnswM) + counts.passed);
      }
    }
    if (removals == 1000) {
      EXPECT_EQ(memory.tombstone_count(), 0u);
      EXPECT_EQ(read_dann_meta(*ctx, ns)->deleted, 0u);
    }
  }
}

// A batch of deletes cut short before its repair (a crash after some of
// its per-key commits): each delete noted what it owes in its own rows, so
// later writes, though they remove nothing, repair the graph until no
// removed node is left.
TEST(VectorBulkRepairWork, DeletesCutShortBeforeTheirRepairAreRepairedByLaterWrites) {
  auto engine = test::MemEngine();
  test::LcgRng rng(5);
  Live live;
  for (size_t i = 0; i < 600; ++i) live[KeyOf(i)] = rng.Vector(kDim);
  ASSERT_TRUE(PutAll(*engine, "c", live).has_value());
  ASSERT_TRUE(Declare(*engine, "c", /*on_disk=*/true).has_value());
  {
    VectorRepairBatch batch;  // never finished
    for (size_t i = 0; i < 600; i += 2) {
      auto ctx = BeginWriteCtx(engine->store());
      ASSERT_TRUE(ctx.has_value());
      ASSERT_TRUE(delete_in(*engine, *ctx, "c", KeyOf(i), &batch).value());
      ASSERT_TRUE(ctx->Commit().has_value());
      live.erase(KeyOf(i));
    }
  }
  ASSERT_EQ(ShotOf(*engine, "c").Deleted(), 300u);
  int writes = 0;
  for (; writes < 2000 && ShotOf(*engine, "c").deleted_count > 0; ++writes) {
    const auto& [key, v] = *std::next(live.begin(), writes % live.size());
    ASSERT_TRUE(patch(*engine, "c", key, Doc({{"n", Value::Int(writes)}})).has_value());
  }
  const GraphShot shot = ShotOf(*engine, "c");
  EXPECT_EQ(shot.Deleted(), 0u);
  EXPECT_EQ(shot.queue_rows, 0u);
  EXPECT_EQ(shot.Unreachable(), 0u);
  for (const auto& [key, v] : live) EXPECT_EQ(Search(*engine, "c", v).front().key, key);
}

}  // namespace
}  // namespace pallix
