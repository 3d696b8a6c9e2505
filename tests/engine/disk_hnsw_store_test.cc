// The tables on-disk graph queries search with: what threads keep of them
// once their queries are done.

#include <thread>

#include <gtest/gtest.h>

#include "tests/engine/test_util.h"
#include "vector/disk_hnsw.h"
#include "vector/disk_hnsw_internal.h"

namespace pallix {
namespace {

constexpr char kNs[] = "__dann__c__v";

// Queries on a graph whose node ids reach past those found by id (so both
// the table by id and the hashed one grow large), run on many threads at
// once, answer as one thread alone does; afterwards no thread holds any
// tables, and what the pool keeps for later queries stays bounded however
// many threads queried.
TEST(DiskHnswStoreTest, IdleThreadsKeepNoLargeTables) {
  test::TempDir dir;
  auto engine = open_engine(dir.path() + "/a.db");
  ASSERT_TRUE(engine.has_value());
  Store& store = (*engine)->store();
  constexpr uint64_t kFirstId = (uint64_t{1} << 18) - 300;
  constexpr size_t kN = 600, kThreads = 8;
  DiskHnswParams params;
  params.metric = Metric::kL2;
  test::LcgRng rng(3);
  {
    auto ctx = BeginWriteCtx(store);
    ASSERT_TRUE(ctx.has_value());
    DiskHnswMeta meta;
    meta.next = kFirstId;
    ASSERT_TRUE(put_row(*ctx, kNs, "m", encode_dann_meta(meta)).has_value());
    for (size_t i = 0; i < kN; ++i)
      ASSERT_TRUE(dann_upsert(*ctx, kNs, params, "k" + std::to_string(i), rng.Vector(4)).has_value());
    ASSERT_TRUE(ctx->Commit().has_value());
  }
  const std::vector<float> q = rng.Vector(4);
  auto search = [&] {
    auto txn = store.BeginRead();
    EXPECT_TRUE(txn.has_value());
    auto hits = dann_search(ReadView(*txn), kNs, params, q, kN);
    EXPECT_TRUE(hits.has_value());
    return hits.value_or(std::vector<HnswHit>{});
  };
  std::vector<HnswHit> alone;
  std::thread([&] { alone = search(); }).join();
  ASSERT_EQ(alone.size(), kN);

  std::vector<std::vector<HnswHit>> got(kThreads);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 3; ++i) got[t] = search();
    });
  }
  for (std::thread& t : threads) t.join();
  for (size_t t = 0; t < kThreads; ++t) {
    ASSERT_EQ(got[t].size(), kN) << t;
    for (size_t i = 0; i < kN; ++i) {
      EXPECT_EQ(got[t][i].key, alone[i].key) << t << " " << i;
      EXPECT_EQ(got[t][i].distance, alone[i].distance) << t << " " << i;
    }
  }
  // Tables that find these ids by id take 16 MiB a set, which each thread
  // kept for itself before: only two such sets are ever made, the other
  // queries hash the few hundred ids they meet.
  dann_internal::DannStore::KeptTables kept = dann_internal::DannStore::Kept();
  EXPECT_EQ(kept.readers, kept.pooled_readers);
  EXPECT_GE(kept.pooled_bytes, size_t{16} << 20);
  EXPECT_LE(kept.pooled_bytes, size_t{40} << 20);
  EXPECT_LE(kept.pooled_readers, kThreads);
}

}  // namespace
}  // namespace pallix
