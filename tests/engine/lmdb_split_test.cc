// Leaf splits of the vendored LMDB for large nodes: rows added in key order
// fill their pages, and every way of adding them keeps every row.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "third_party/lmdb/lmdb.h"
#include "tests/engine/test_util.h"

namespace pallix {
namespace {

// One environment in a fresh directory, with one unnamed database.
class Env {
 public:
  explicit Env(const std::string& dir) {
    EXPECT_EQ(mdb_env_create(&env_), 0);
    EXPECT_EQ(mdb_env_set_mapsize(env_, size_t{256} << 20), 0);
    EXPECT_EQ(mdb_env_open(env_, (dir + "/data.mdb").c_str(), MDB_NOSUBDIR | MDB_NOSYNC, 0644), 0);
  }
  ~Env() { mdb_env_close(env_); }

  // Puts the rows in the order given, in one write transaction, with a
  // cursor open on the database (which the splits must keep in step).
  void Put(const std::vector<std::pair<std::string, std::string>>& rows) {
    MDB_txn* txn = nullptr;
    ASSERT_EQ(mdb_txn_begin(env_, nullptr, 0, &txn), 0);
    MDB_dbi dbi;
    ASSERT_EQ(mdb_dbi_open(txn, nullptr, 0, &dbi), 0);
    MDB_cursor* watcher = nullptr;
    ASSERT_EQ(mdb_cursor_open(txn, dbi, &watcher), 0);
    for (const auto& [k, v] : rows) {
      MDB_val key{k.size(), const_cast<char*>(k.data())}, val{v.size(), const_cast<char*>(v.data())};
      ASSERT_EQ(mdb_put(txn, dbi, &key, &val, 0), 0);
      // The watcher sits on the key just added; after later splits it
      // must still name a key that is stored.
      MDB_val at{k.size(), const_cast<char*>(k.data())}, data;
      ASSERT_EQ(mdb_cursor_get(watcher, &at, &data, MDB_SET_KEY), 0);
    }
    MDB_val at, data;
    ASSERT_EQ(mdb_cursor_get(watcher, &at, &data, MDB_GET_CURRENT), 0);
    mdb_cursor_close(watcher);
    ASSERT_EQ(mdb_txn_commit(txn), 0);
  }

  // Every row in key order, and the leaf pages holding them.
  std::vector<std::pair<std::string, std::string>> All(size_t& leaf_pages) {
    std::vector<std::pair<std::string, std::string>> out;
    MDB_txn* txn = nullptr;
    EXPECT_EQ(mdb_txn_begin(env_, nullptr, MDB_RDONLY, &txn), 0);
    MDB_dbi dbi;
    EXPECT_EQ(mdb_dbi_open(txn, nullptr, 0, &dbi), 0);
    MDB_stat stat;
    EXPECT_EQ(mdb_stat(txn, dbi, &stat), 0);
    leaf_pages = stat.ms_leaf_pages;
    MDB_cursor* cur = nullptr;
    EXPECT_EQ(mdb_cursor_open(txn, dbi, &cur), 0);
    MDB_val k, v;
    for (int rc = mdb_cursor_get(cur, &k, &v, MDB_FIRST); rc == 0; rc = mdb_cursor_get(cur, &k, &v, MDB_NEXT))
      out.emplace_back(std::string(static_cast<char*>(k.mv_data), k.mv_size),
                       std::string(static_cast<char*>(v.mv_data), v.mv_size));
    mdb_cursor_close(cur);
    mdb_txn_abort(txn);
    return out;
  }

 private:
  MDB_env* env_ = nullptr;
};

std::string KeyOf(size_t i) {
  char buf[16];
  std::snprintf(buf, sizeof(buf), "k%08zu", i);
  return buf;
}

// Rows of 1.2 to 1.9 KB, two to a 4 KB page, added in key order: each leaf
// page ends with two rows, not one, whatever the batches they came in.
TEST(LmdbSplit, LargeRowsAddedInOrderFillTheirPages) {
  test::TempDir dir;
  Env env(dir.path());
  std::mt19937_64 rng(5);
  std::vector<std::pair<std::string, std::string>> want;
  for (size_t i = 0; i < 3000; ++i) want.emplace_back(KeyOf(i), std::string(1200 + rng() % 700, 'a' + i % 26));
  for (size_t at = 0; at < want.size(); at += 500)
    env.Put({want.begin() + static_cast<ptrdiff_t>(at), want.begin() + static_cast<ptrdiff_t>(at + 500)});
  size_t leaf_pages = 0;
  ASSERT_EQ(env.All(leaf_pages), want);
  EXPECT_LE(leaf_pages, want.size() / 2 + 1);
}

// Rows of every size (a few bytes, large, larger than a page) added in key
// order, in reverse, at random and in runs: every row is kept, in order.
TEST(LmdbSplit, RowsOfMixedSizesInAnyOrderAreAllKept) {
  std::mt19937_64 rng(6);
  for (int order = 0; order < 4; ++order) {
    test::TempDir dir;
    Env env(dir.path());
    std::vector<std::pair<std::string, std::string>> rows;
    for (size_t i = 0; i < 2500; ++i) {
      const size_t pick = rng() % 10;
      const size_t size = pick < 4 ? rng() % 40 : pick < 9 ? 900 + rng() % 1200 : 4000 + rng() % 6000;
      rows.emplace_back(KeyOf(i * 2), std::string(size, static_cast<char>('a' + rng() % 26)));
    }
    std::vector<std::pair<std::string, std::string>> put = rows;
    if (order == 1) std::reverse(put.begin(), put.end());
    if (order == 2) std::shuffle(put.begin(), put.end(), rng);
    if (order == 3) {
      // Runs in order, each starting somewhere else.
      std::vector<std::vector<std::pair<std::string, std::string>>> runs(8);
      for (size_t i = 0; i < put.size(); ++i) runs[i * runs.size() / put.size()].push_back(put[i]);
      std::shuffle(runs.begin(), runs.end(), rng);
      put.clear();
      for (const auto& run : runs) put.insert(put.end(), run.begin(), run.end());
    }
    for (size_t at = 0; at < put.size(); at += 700)
      env.Put({put.begin() + static_cast<ptrdiff_t>(at),
               put.begin() + static_cast<ptrdiff_t>(std::min(put.size(), at + 700))});
    // Then rows between those, to split the full pages again.
    std::vector<std::pair<std::string, std::string>> between;
    for (size_t i = 0; i < 2500; i += 3) between.emplace_back(KeyOf(i * 2 + 1), std::string(1500 + rng() % 400, 'z'));
    env.Put(between);
    std::map<std::string, std::string> want(rows.begin(), rows.end());
    want.insert(between.begin(), between.end());
    size_t leaf_pages = 0;
    const auto got = env.All(leaf_pages);
    const std::vector<std::pair<std::string, std::string>> sorted(want.begin(), want.end());
    ASSERT_EQ(got, sorted) << "order " << order;
  }
}

}  // namespace
}  // namespace pallix
