#include "storage/read_view.h"
#include "storage/rows.h"
#include "storage/store.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <random>
#include <span>
#include <set>

#include "base/test_point.h"
#include "db/engine.h"
#include "db/schema.h"
#include "tests/engine/test_util.h"

namespace pallix {
namespace {

using test::TempDir;

std::unique_ptr<Store> MemStore() {
  auto s = Store::OpenInMemory();
  EXPECT_TRUE(s.has_value());
  return std::move(*s);
}

// All rows of all three tables, via full scans: the byte-level state that
// failure tests compare before and after.
std::vector<std::pair<int, Row>> Snapshot(Store& store) {
  std::vector<std::pair<int, Row>> out;
  auto txn = store.BeginRead();
  EXPECT_TRUE(txn.has_value());
  for (int t = 0; t < 3; ++t) {
    EXPECT_TRUE(txn->Scan(static_cast<StoreTable>(t), {}, nullptr,
                          [&](std::string_view k, std::string_view v) -> Result<bool> {
                            out.push_back({t, Row{std::string(k), std::string(v)}});
                            return true;
                          })
                    .has_value());
  }
  return out;
}

TEST(StoreTest, OpenCreatesOneFileWithFormatVersion) {
  TempDir dir;
  std::string path = dir.path() + "/db.pallix";
  {
    auto engine = open_engine(path);
    ASSERT_TRUE(engine.has_value()) << engine.error().Message();
    auto txn = (*engine)->store().BeginRead();
    ASSERT_TRUE(txn.has_value());
    auto v = txn->GetU64(StoreTable::kMeta, "format_version");
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(*v, std::optional<uint64_t>(1));
  }
  // After close the only file is the database itself.
  std::vector<std::string> files;
  for (auto& e : std::filesystem::directory_iterator(dir.path())) files.push_back(e.path().filename());
  EXPECT_EQ(files, std::vector<std::string>{"db.pallix"});
  // Reopening writes nothing.
  std::string before = test::ReadFile(path);
  { ASSERT_TRUE(open_engine(path).has_value()); }
  EXPECT_EQ(test::ReadFile(path), before);
}

TEST(StoreTest, OtherFormatVersionIsRefusedAndFileUnchanged) {
  TempDir dir;
  std::string path = dir.path() + "/db";
  for (uint64_t version : {2u, 7u}) {
    {
      auto store = Store::OpenFile(path);
      ASSERT_TRUE(store.has_value());
      auto txn = (*store)->BeginWrite();
      ASSERT_TRUE(txn.has_value());
      ASSERT_TRUE(txn->PutU64(StoreTable::kMeta, "format_version", version).has_value());
      ASSERT_TRUE(txn->Commit().has_value());
    }
    std::string before = test::ReadFile(path);
    auto engine = open_engine(path);
    ASSERT_FALSE(engine.has_value());
    EXPECT_EQ(engine.error().code(), 13u);
    EXPECT_EQ(engine.error().Message(),
              "incompatible format: file is v" + std::to_string(version) + ", engine expects v1");
    EXPECT_EQ(test::ReadFile(path), before);
  }
}

TEST(StoreTest, SecondOpenFailsInProcessAndInChild) {
  TempDir dir;
  std::string path = dir.path() + "/db";
  auto first = open_engine(path);
  ASSERT_TRUE(first.has_value());
  auto second = open_engine(path);
  ASSERT_FALSE(second.has_value());
  EXPECT_EQ(second.error().code(), 1u);
  EXPECT_EQ(second.error().Message(), "database: Database already open. Cannot acquire lock.");

  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    auto r = Store::OpenFile(path);
    _exit(!r.has_value() && r.error().code() == 1 ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  first->reset();
  EXPECT_TRUE(open_engine(path).has_value());
}

TEST(StoreTest, OpenFailuresCarryDatabaseErrors) {
  auto nul = Store::OpenFile(std::string("a\0b", 3));
  ASSERT_FALSE(nul.has_value());
  EXPECT_EQ(nul.error().Message(), "database: I/O error: file name contained an unexpected NUL byte");

  auto missing = Store::OpenFile("/nonexistent-dir/x/db");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().Message(), "database: I/O error: No such file or directory (os error 2)");

  TempDir dir;
  std::string path = dir.path() + "/garbage";
  std::ofstream(path) << std::string(10000, 'x');
  std::string before = test::ReadFile(path);
  auto garbage = Store::OpenFile(path);
  ASSERT_FALSE(garbage.has_value());
  EXPECT_EQ(garbage.error().code(), 1u);
  EXPECT_EQ(test::ReadFile(path), before);
}

std::vector<std::string> DirEntries(const std::string& dir) {
  std::vector<std::string> names;
  for (auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(StoreTest, OpenTouchesNothingButTheDatabaseFile) {
  TempDir dir;
  // A file of the user's that happens to carry the lock file's name, and a
  // link by that name planted towards a file of someone else's.
  std::string mine = dir.path() + "/a.db-lock";
  std::ofstream(mine) << "the user's own file";
  std::string victim = dir.path() + "/victim";
  std::ofstream(victim) << "not to be overwritten";
  ASSERT_EQ(symlink(victim.c_str(), (dir.path() + "/b.db-lock").c_str()), 0);
  std::vector<std::string> expected = {"a.db-lock", "b.db-lock", "victim"};
  for (std::string name : {"a.db", "b.db"}) {
    std::string path = dir.path() + "/" + name;
    expected.push_back(name);
    std::sort(expected.begin(), expected.end());
    {
      auto engine = open_engine(path);
      ASSERT_TRUE(engine.has_value()) << engine.error().Message();
      ASSERT_TRUE(put_row_once((*engine)->store(), "c", "k", "v").has_value());
      // While open: the database file and nothing else.
      EXPECT_EQ(DirEntries(dir.path()), expected);
    }
    auto engine = open_engine(path);
    ASSERT_TRUE(engine.has_value());
    EXPECT_EQ(*get_row_once((*engine)->store(), "c", "k"), std::optional<std::string>("v"));
  }
  EXPECT_EQ(test::ReadFile(mine), "the user's own file");
  EXPECT_EQ(test::ReadFile(victim), "not to be overwritten");
  EXPECT_EQ(DirEntries(dir.path()), (std::vector<std::string>{"a.db", "a.db-lock", "b.db", "b.db-lock", "victim"}));
}

// Opens the database in a directory its user cannot write, writes to it and
// reads the write back after a reopen; 0 when all went right.
int WriteInReadOnlyDir(const std::string& path) {
  {
    auto engine = open_engine(path);
    if (!engine) return 1;
    if (!put_row_once((*engine)->store(), "c", "k", "v")) return 2;
  }
  auto engine = open_engine(path);
  if (!engine) return 3;
  auto row = get_row_once((*engine)->store(), "c", "k");
  return row && *row == std::optional<std::string>("v") ? 0 : 4;
}

TEST(StoreTest, WritableDatabaseInReadOnlyDirectory) {
  TempDir dir;
  std::string sub = dir.path() + "/ro";
  std::string path = sub + "/db";
  ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  { ASSERT_TRUE(open_engine(path).has_value()); }
  if (geteuid() != 0) {
    ASSERT_EQ(chmod(sub.c_str(), 0555), 0);
    EXPECT_EQ(WriteInReadOnlyDir(path), 0);
    ASSERT_EQ(chmod(sub.c_str(), 0755), 0);
  } else {
    // Root writes anywhere: the directory and file go to an unprivileged
    // user, who opens the database in a child process.
    struct passwd* nobody = getpwnam("nobody");
    if (nobody == nullptr) GTEST_SKIP() << "no unprivileged user to run as";
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(chown(sub.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    ASSERT_EQ(chown(path.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    ASSERT_EQ(chmod(sub.c_str(), 0555), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      if (setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) _exit(10);
      _exit(WriteInReadOnlyDir(path));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  EXPECT_EQ(DirEntries(sub), std::vector<std::string>{"db"});
}

// The private directories ("pallix-env-*") in /dev/shm and /tmp that
// older builds made while opening a store; none is made any more.
std::set<std::string> PrivateDirs() {
  std::set<std::string> names;
  for (const char* base : {"/dev/shm", "/tmp"}) {
    std::error_code ec;
    for (auto& e : std::filesystem::directory_iterator(base, ec))
      if (e.path().filename().string().starts_with("pallix-env-")) names.insert(e.path().string());
  }
  return names;
}

TEST(StoreTest, OpensLeaveNoPrivateDirectoryBehind) {
  std::set<std::string> before = PrivateDirs();
  TempDir dir;
  auto file = open_engine(dir.path() + "/db");
  auto a = open_in_memory();
  auto b = open_in_memory();
  ASSERT_TRUE(file.has_value() && a.has_value() && b.has_value());
  // Tests of older builds running beside this one may make such a
  // directory for a moment, so only a name still there after a while is a
  // leak.
  std::set<std::string> left;
  for (int round = 0; round < 200; ++round) {
    left.clear();
    for (const std::string& name : PrivateDirs())
      if (!before.contains(name)) left.insert(name);
    if (left.empty()) break;
    usleep(10000);
  }
  EXPECT_EQ(left, std::set<std::string>());
  // Two in-memory databases share nothing.
  ASSERT_TRUE(put_row_once((*a)->store(), "c", "k", "v").has_value());
  EXPECT_EQ(*get_row_once((*b)->store(), "c", "k"), std::nullopt);
  EXPECT_EQ(*get_row_once((*a)->store(), "c", "k"), std::optional<std::string>("v"));
}

// A thread keeps its last few collection ids without the lock: stores in
// which one name has different ids, read in turn on one thread (more of
// them than the thread keeps, and each new store's id answered where a
// closed store's was), each read their own rows.
TEST(StoreTest, RememberedCollectionIdsBelongToTheirStore) {
  std::vector<std::unique_ptr<Store>> stores;
  auto open = [&](size_t i) {
    auto store = MemStore();
    auto ctx = BeginWriteCtx(*store);
    ASSERT_TRUE(ctx.has_value());
    // "x" takes id 0 in even stores, id 1 in odd ones.
    for (const char* name : i % 2 == 0 ? std::vector<const char*>{"x", "y"} : std::vector<const char*>{"y", "x"}) {
      ASSERT_TRUE(put_row(*ctx, name, "k", std::string(name) + std::to_string(i)).has_value());
    }
    ASSERT_TRUE(ctx->Commit().has_value());
    stores[i] = std::move(store);
  };
  stores.resize(7);
  for (size_t i = 0; i < stores.size(); ++i) open(i);
  for (size_t round = 0; round < 3; ++round) {
    for (size_t i = 0; i < stores.size(); ++i) {
      for (const char* name : {"x", "y", "x"}) {
        EXPECT_EQ(*get_row_once(*stores[i], name, "k"), std::optional<std::string>(name + std::to_string(i)))
            << "round " << round << " store " << i;
      }
    }
    // A store closed and another opened, most likely where it was.
    stores[round].reset();
    open(round);
  }
}

// A write that found no collection of a name remembers that on its thread;
// whatever makes that collection afterwards (another thread, a transaction
// whose ids the store never learns, a nested transaction rolled back and
// made again, another store) must be seen by the next write.
TEST(StoreTest, WritesSeeCollectionsMadeAfterTheyFoundNone) {
  for (bool in_memory : {true, false}) {
    TempDir dir;
    auto opened = in_memory ? Store::OpenInMemory() : Store::OpenFile(dir.path() + "/db");
    ASSERT_TRUE(opened.has_value());
    Store& store = **opened;
    auto lookup = [&](std::string_view name) {
      auto ctx = BeginWriteCtx(store);
      EXPECT_TRUE(ctx.has_value());
      auto id = collection_id(*ctx, name);
      EXPECT_TRUE(id.has_value());
      EXPECT_TRUE(ctx->Commit().has_value());
      return *id;
    };
    ASSERT_EQ(lookup("x"), std::nullopt);
    ASSERT_EQ(lookup("x"), std::nullopt);
    // Made on another thread, committed without the store learning its id.
    std::thread([&] {
      auto ctx = BeginWriteCtx(store);
      ASSERT_TRUE(ctx.has_value());
      ASSERT_TRUE(put_row(*ctx, "x", "k", "v").has_value());
      ASSERT_TRUE(ctx->txn().Commit().has_value());
    }).join();
    EXPECT_EQ(lookup("x"), std::optional<uint64_t>(0));
    {
      auto ctx = BeginWriteCtx(store);
      EXPECT_EQ(*get_row(*ctx, "x", "k"), std::optional<std::string>("v"));
    }

    // Made in a nested transaction that rolls back, then for good.
    ASSERT_EQ(lookup("y"), std::nullopt);
    {
      auto ctx = BeginWriteCtx(store);
      EXPECT_EQ(*collection_id(*ctx, "y"), std::nullopt);
      ASSERT_TRUE(ctx->BeginNested().has_value());
      EXPECT_EQ(*collection_id_or_create(*ctx, "y"), 1u);
      ctx->AbortNested();
      EXPECT_EQ(*collection_id(*ctx, "y"), std::nullopt);
      EXPECT_EQ(*collection_id_or_create(*ctx, "y"), 1u);
      ASSERT_TRUE(ctx->txn().Commit().has_value());
    }
    EXPECT_EQ(lookup("y"), std::optional<uint64_t>(1));

    // Another store's absence says nothing of this one.
    auto other = Store::OpenInMemory();
    ASSERT_TRUE(other.has_value());
    {
      auto ctx = BeginWriteCtx(**other);
      EXPECT_EQ(*collection_id(*ctx, "x"), std::nullopt);
      ASSERT_TRUE(ctx->Commit().has_value());
    }
    EXPECT_EQ(lookup("x"), std::optional<uint64_t>(0));
  }
}

TEST(StoreTest, CollectionIdsAndCounts) {
  auto store = MemStore();
  {
    auto ctx = BeginWriteCtx(*store);
    ASSERT_TRUE(ctx.has_value());
    EXPECT_EQ(*collection_id(*ctx, "a"), std::nullopt);
    EXPECT_EQ(*collection_id_or_create(*ctx, "a"), 0u);
    EXPECT_EQ(*collection_id_or_create(*ctx, ""), 1u);
    EXPECT_EQ(*collection_id_or_create(*ctx, "a"), 0u);
    ASSERT_TRUE(put_row(*ctx, "a", "k", "1").has_value());
    ASSERT_TRUE(put_row(*ctx, "a", "k", "2").has_value());
    ASSERT_TRUE(put_row_uncounted(*ctx, "u", "k", "x").has_value());
    ASSERT_TRUE(put_row(*ctx, "", "", "empty").has_value());
    ASSERT_TRUE(ctx->Commit().has_value());
  }
  EXPECT_EQ(*count_rows(*store, "a"), 1u);
  EXPECT_EQ(*count_rows(*store, "u"), 0u);
  EXPECT_EQ(*count_rows(*store, ""), 1u);
  EXPECT_EQ(*get_row_once(*store, "", ""), std::optional<std::string>("empty"));
  EXPECT_EQ(*get_row_once(*store, "a", "k"), std::optional<std::string>("2"));
  {
    auto txn = store->BeginRead();
    EXPECT_EQ(*txn->GetU64(StoreTable::kMeta, "next_collection_id"), std::optional<uint64_t>(3));
    // The first collection's rows start with eight zero bytes.
    EXPECT_EQ(*txn->Get(StoreTable::kRecords, std::string(8, '\0') + "k"), std::optional<std::string>("2"));
    auto names = ReadView(*txn).view_list_collections();
    EXPECT_EQ(*names, (std::vector<std::string>{"", "a", "u"}));
  }
  {
    auto ctx = BeginWriteCtx(*store);
    EXPECT_FALSE(*delete_row_counted(*ctx, "a", "missing"));
    EXPECT_TRUE(*delete_row_counted(*ctx, "a", "k"));
    ASSERT_TRUE(adjust_row_count(*ctx, "b", 3).has_value());
    ASSERT_TRUE(adjust_row_count(*ctx, "b", -5).has_value());
    ASSERT_TRUE(adjust_row_count(*ctx, "m", INT64_MAX).has_value());
    ASSERT_TRUE(adjust_row_count(*ctx, "m", INT64_MAX).has_value());
    ASSERT_TRUE(adjust_row_count(*ctx, "m", INT64_MAX).has_value());
    ASSERT_TRUE(adjust_row_count(*ctx, "n", INT64_MIN).has_value());
    // Reads of never-written collections create nothing.
    EXPECT_EQ(*get_row(*ctx, "never", "k"), std::nullopt);
    EXPECT_FALSE(*delete_row(*ctx, "never", "k"));
    EXPECT_TRUE(scan_rows_from(*ctx, "never", "", 10)->empty());
    EXPECT_EQ(*collection_id(*ctx, "never"), std::nullopt);
    ASSERT_TRUE(ctx->Commit().has_value());
  }
  EXPECT_EQ(*count_rows(*store, "a"), 0u);
  EXPECT_EQ(*count_rows(*store, "b"), 0u);
  EXPECT_EQ(*count_rows(*store, "m"), UINT64_MAX);
  EXPECT_EQ(*count_rows(*store, "n"), 0u);
  EXPECT_EQ(*count_rows(*store, "never"), 0u);
  auto txn = store->BeginRead();
  EXPECT_EQ(*txn->GetU64(StoreTable::kCatalog, "never"), std::nullopt);
}

// for_each_row_from sees what scan_rows_from returns from the same start:
// the collection's rows at or after it, in key order, none of another
// collection's, the transaction's own writes included; a visitor's false
// stops the walk.
TEST(StoreTest, ForEachRowFromMatchesScan) {
  auto store = MemStore();
  auto ctx = BeginWriteCtx(*store);
  std::mt19937 rng(5);
  for (int i = 0; i < 300; ++i) {
    std::string key(1 + rng() % 4, '\0');
    for (char& c : key) c = static_cast<char>("ab\0\xff"[rng() % 4]);
    ASSERT_TRUE(put_row(*ctx, "c", key, "v" + std::to_string(i)).has_value());
  }
  ASSERT_TRUE(put_row(*ctx, "b", "a", "x").has_value());
  ASSERT_TRUE(put_row(*ctx, "d", "", "y").has_value());
  for (const std::string& start : {std::string(), std::string("a"), std::string("b\0", 2), std::string("\xff\xff"),
                                  std::string("\xff\xff\xff\xff\xff")}) {
    std::vector<Row> walked;
    ASSERT_TRUE(for_each_row_from(*ctx, "c", start, [&](std::string_view k, std::string_view v) -> Result<bool> {
                  walked.push_back({std::string(k), std::string(v)});
                  return true;
                }).has_value());
    EXPECT_EQ(walked, *scan_rows_from(*ctx, "c", start, 1000)) << "start of " << start.size() << " bytes";
    size_t seen = 0;
    ASSERT_TRUE(for_each_row_from(*ctx, "c", start, [&](std::string_view, std::string_view) -> Result<bool> {
                  return ++seen < 3;
                }).has_value());
    EXPECT_EQ(seen, std::min<size_t>(3, walked.size()));
  }
  size_t never = 0;
  ASSERT_TRUE(for_each_row_from(*ctx, "never", "", [&](std::string_view, std::string_view) -> Result<bool> {
                ++never;
                return true;
              }).has_value());
  EXPECT_EQ(never, 0u);
}

TEST(StoreTest, ClearCollectionInBatches) {
  auto store = MemStore();
  {
    auto ctx = BeginWriteCtx(*store);
    for (int i = 0; i < 5000; ++i) ASSERT_TRUE(put_row(*ctx, "c", "k" + std::to_string(i), "v").has_value());
    ASSERT_TRUE(put_row(*ctx, "d", "k", "v").has_value());
    ASSERT_TRUE(ctx->Commit().has_value());
  }
  {
    auto ctx = BeginWriteCtx(*store);
    ASSERT_TRUE(clear_collection_rows(*ctx, "c").has_value());
    ASSERT_TRUE(ctx->Commit().has_value());
  }
  EXPECT_EQ(*count_rows(*store, "c"), 0u);
  EXPECT_TRUE(scan_all_rows(*store, "c")->empty());
  EXPECT_EQ(scan_all_rows(*store, "d")->size(), 1u);
  auto ctx = BeginWriteCtx(*store);
  EXPECT_EQ(*collection_id(*ctx, "c"), std::optional<uint64_t>(0));
}

TEST(StoreTest, ScanFromAndLimits) {
  auto store = MemStore();
  for (const char* k : {"a", "c", "e"}) ASSERT_TRUE(put_row_once(*store, "x", k, k).has_value());
  EXPECT_TRUE(scan_rows_batch(*store, "x", "", 0)->empty());
  auto rows = scan_rows_batch(*store, "x", "b", 10);
  ASSERT_EQ(rows->size(), 2u);
  EXPECT_EQ((*rows)[0].key, "c");
  rows = scan_rows_batch(*store, "x", "a", 2);
  ASSERT_EQ(rows->size(), 2u);
  EXPECT_EQ((*rows)[1].key, "c");
  std::string next = (*rows)[1].key + std::string(1, '\0');
  rows = scan_rows_batch(*store, "x", next, 2);
  ASSERT_EQ(rows->size(), 1u);
  EXPECT_EQ((*rows)[0].key, "e");
}

TEST(StoreTest, LargestCollectionIdScansToTableEnd) {
  auto store = MemStore();
  {
    auto ctx = BeginWriteCtx(*store);
    ASSERT_TRUE(ctx->txn().PutU64(StoreTable::kMeta, "next_collection_id", UINT64_MAX - 1).has_value());
    EXPECT_EQ(*collection_id_or_create(*ctx, "p"), UINT64_MAX - 1);
    // The largest id is never handed out (the allocator would wrap); a
    // catalog row can still name it.
    EXPECT_FALSE(collection_id_or_create(*ctx, "more").has_value());
    ASSERT_TRUE(ctx->txn().PutU64(StoreTable::kCatalog, "last", UINT64_MAX).has_value());
    ASSERT_TRUE(put_row(*ctx, "p", "\xff\xff", "1").has_value());
    ASSERT_TRUE(put_row(*ctx, "last", "a", "2").has_value());
    ASSERT_TRUE(put_row(*ctx, "last", std::string(600, '\xff'), "3").has_value());
    ASSERT_TRUE(put_row(*ctx, "last", "\xff\xff", "4").has_value());
    ASSERT_TRUE(ctx->Commit().has_value());
  }
  EXPECT_EQ(scan_all_rows(*store, "p")->size(), 1u);
  auto rows = scan_all_rows(*store, "last");
  ASSERT_EQ(rows->size(), 3u);
  EXPECT_EQ((*rows)[2].key, std::string(600, '\xff'));
  auto txn = store->BeginRead();
  ReadView view(*txn);
  EXPECT_EQ(view.view_scan_prefix("last", "\xff")->size(), 2u);
  EXPECT_EQ(view.view_scan_prefix("p", "\xff")->size(), 1u);
}

TEST(StoreTest, ReadViewOnFreshDatabase) {
  auto store = MemStore();
  auto txn = store->BeginRead();
  ReadView view(*txn);
  EXPECT_EQ(*view.view_get("c", "k"), std::nullopt);
  EXPECT_TRUE(view.view_scan_all("c")->empty());
  EXPECT_TRUE(view.view_list_collections()->empty());
  EXPECT_TRUE(view.view_scan_from("c", "", 5)->empty());
  EXPECT_TRUE(view.view_scan_prefix("c", "")->empty());
  EXPECT_EQ(*view.view_count("c"), 0u);
  int calls = 0;
  EXPECT_TRUE(view.view_for_each("c", [&](auto, auto) -> Result<bool> {
                    ++calls;
                    return true;
                  }).has_value());
  EXPECT_EQ(calls, 0);
}

TEST(StoreTest, PrefixScanWithTrailingFf) {
  auto store = MemStore();
  std::vector<std::string> keys = {"ab", std::string("ab\xff", 3), std::string("ab\xff\xff", 4),
                                   std::string("ab\xff\x01", 4), "ac", "b"};
  for (auto& k : keys) ASSERT_TRUE(put_row_once(*store, "c", k, "v").has_value());
  ASSERT_TRUE(put_row_once(*store, "d", std::string("ab\xff", 3), "other").has_value());
  auto txn = store->BeginRead();
  ReadView view(*txn);
  auto rows = view.view_scan_prefix("c", std::string("ab\xff", 3));
  std::vector<std::string> got;
  for (auto& r : *rows) got.push_back(r.key);
  EXPECT_EQ(got, (std::vector<std::string>{std::string("ab\xff", 3), std::string("ab\xff\x01", 4),
                                           std::string("ab\xff\xff", 4)}));
  EXPECT_EQ(view.view_scan_prefix("c", "")->size(), keys.size());
}

TEST(StoreTest, VisitorStopsAndErrorsPassThrough) {
  auto store = MemStore();
  for (const char* k : {"a", "b", "c"}) ASSERT_TRUE(put_row_once(*store, "c", k, k).has_value());
  auto txn = store->BeginRead();
  ReadView view(*txn);
  int calls = 0;
  ASSERT_TRUE(view.view_for_each("c", [&](auto, auto) -> Result<bool> {
                    ++calls;
                    return false;
                  }).has_value());
  EXPECT_EQ(calls, 1);
  auto err = view.view_for_each("c", [&](auto, auto) -> Result<bool> {
    return Fail(EngineError::InvalidArgument("stop"));
  });
  ASSERT_FALSE(err.has_value());
  EXPECT_EQ(err.error().Message(), "invalid argument: stop");
}

TEST(StoreTest, SnapshotIsolation) {
  auto store = MemStore();
  ASSERT_TRUE(put_row_once(*store, "c", "a", "1").has_value());
  auto txn = store->BeginRead();
  ASSERT_TRUE(put_row_once(*store, "c", "b", "2").has_value());
  ReadView view(*txn);
  EXPECT_EQ(view.view_scan_all("c")->size(), 1u);
  EXPECT_EQ(scan_all_rows(*store, "c")->size(), 2u);
}

// A read snapshot's scans hand out value views that stay valid until the
// transaction ends, whatever commits meanwhile: rows small and large, under
// short and long keys, rewritten and deleted many times over while the
// views are held.
TEST(StoreTest, SnapshotValueViewsOutliveTheScan) {
  auto store = MemStore();
  std::mt19937 rng(17);
  std::map<std::string, std::string> model;
  for (int i = 0; i < 200; ++i) {
    std::string key = (i % 10 == 0 ? std::string(600, 'L') : std::string()) + "k" + std::to_string(i);
    std::string value(i % 3 == 0 ? 3000 + rng() % 9000 : rng() % 100, static_cast<char>('a' + i % 26));
    ASSERT_TRUE(put_row_once(*store, "c", key, value).has_value());
    model[key] = value;
  }
  auto txn = store->BeginRead();
  ASSERT_TRUE(txn.has_value());
  ReadView view(*txn);
  std::vector<std::string_view> rows, batched;
  ASSERT_TRUE(view.view_for_each("c", [&](std::string_view, std::string_view v) -> Result<bool> {
                    rows.push_back(v);
                    return true;
                  }).has_value());
  ASSERT_TRUE(view.view_for_each_batch("c", [&](std::span<const RowRef> batch) -> Result<bool> {
                    for (const RowRef& r : batch) batched.push_back(r.value);
                    return true;
                  }).has_value());
  for (int round = 0; round < 20; ++round) {
    for (const auto& [key, value] : model) {
      if (round % 4 == 3) {
        auto ctx = BeginWriteCtx(*store);
        ASSERT_TRUE(ctx.has_value());
        ASSERT_TRUE(delete_row(*ctx, "c", key).has_value());
        ASSERT_TRUE(ctx->Commit().has_value());
      } else {
        ASSERT_TRUE(put_row_once(*store, "c", key, std::string(value.size() + round, 'z')).has_value());
      }
    }
  }
  ASSERT_EQ(rows.size(), model.size());
  ASSERT_EQ(batched.size(), model.size());
  size_t i = 0;
  for (const auto& [key, value] : model) {
    EXPECT_EQ(rows[i], value) << key;
    EXPECT_EQ(batched[i], value) << key;
    ++i;
  }
}

TEST(StoreTest, NestedWriteOnSameThreadFailsFast) {
  auto store = MemStore();
  auto w1 = store->BeginWrite();
  ASSERT_TRUE(w1.has_value());
  auto w2 = store->BeginWrite();
  ASSERT_FALSE(w2.has_value());
  EXPECT_EQ(w2.error().code(), 2u);
}

// The writer turn: its holder takes it again and writes, one transaction
// at a time; another thread's write waits until the last hold ends, and
// the wait goes through the blocking-wait hooks.
TEST(StoreTest, WriterTurnHoldsOffOtherThreadsOnly) {
  auto store = MemStore();
  static std::atomic<int> hooked_waits;
  hooked_waits = 0;
  SetBlockingWaitHooks({[]() -> void* { ++hooked_waits; return nullptr; }, [](void*) {}});
  struct Unhook {
    ~Unhook() { SetBlockingWaitHooks({}); }
  } unhook;
  std::mutex mu;
  std::condition_variable cv;
  bool waiting = false;
  ScopedTestHook hook(TestPoint::kWriterWaits, [&](std::string_view) {
    std::lock_guard<std::mutex> lock(mu);
    waiting = true;
    cv.notify_all();
  });
  std::thread other;
  {
    Store::WriterTurn outer = store->TakeWriterTurn().value();
    {
      Store::WriterTurn inner = store->TakeWriterTurn().value();
      ASSERT_TRUE(put_row_once(*store, "c", "a", "mine").has_value());
      auto w1 = store->BeginWrite();
      ASSERT_TRUE(w1.has_value());
      EXPECT_EQ(store->BeginWrite().error().code(), 2u);
    }
    other = std::thread([&] { EXPECT_TRUE(put_row_once(*store, "c", "a", "theirs").has_value()); });
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return waiting; });
    // The other thread is held back: the row is still this thread's.
    EXPECT_EQ(*get_row_once(*store, "c", "a"), "mine");
    ASSERT_TRUE(put_row_once(*store, "c", "b", "mine").has_value());
  }
  other.join();
  EXPECT_EQ(hooked_waits.load(), 1);
  EXPECT_EQ(*get_row_once(*store, "c", "a"), "theirs");
  EXPECT_EQ(*get_row_once(*store, "c", "b"), "mine");
}

// A wait for a lock through LockWithoutTurnCycle goes through the
// blocking-wait hooks too: an embedder's own lock (an interpreter's) is
// not held while this thread waits, since the holder may need it to
// finish.
TEST(StoreTest, LockWaitsGoThroughTheBlockingWaitHooks) {
  static std::atomic<int> befores, afters;
  befores = 0;
  afters = 0;
  SetBlockingWaitHooks({[]() -> void* { ++befores; return nullptr; }, [](void*) { ++afters; }});
  struct Unhook {
    ~Unhook() { SetBlockingWaitHooks({}); }
  } unhook;
  NamedMutex mu("some lock");
  std::promise<void> held, waiting;
  std::thread holder([&] {
    NamedMutex::Guard hold(mu);
    held.set_value();
    waiting.get_future().wait();
  });
  held.get_future().wait();
  {
    ScopedTestHook hook(TestPoint::kLockWaits, [&](std::string_view) { waiting.set_value(); });
    ASSERT_TRUE(LockWithoutTurnCycle(mu).has_value());
  }
  mu.Unlock();
  holder.join();
  EXPECT_EQ(befores.load(), 1);
  EXPECT_EQ(afters.load(), 1);
}

TEST(StoreTest, InjectedFaultsLeaveStorageUnchanged) {
  auto store = MemStore();
  ASSERT_TRUE(put_row_once(*store, "c", "a", "1").has_value());
  auto before = Snapshot(*store);
  StoreFaults faults;
  store->set_faults(&faults);
  for (int at = 0; at < 4; ++at) {
    faults = StoreFaults{};
    faults.fail_write_at = at;
    auto r = put_row_once(*store, "new", std::string(600, 'k'), "v");
    EXPECT_FALSE(r.has_value());
    EXPECT_EQ(r.error().code(), 4u);
    EXPECT_EQ(Snapshot(*store), before);
  }
  faults = StoreFaults{};
  faults.fail_commit = true;
  auto r = put_row_once(*store, "new", "k", "v");
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().code(), 5u);
  EXPECT_EQ(Snapshot(*store), before);
  faults = StoreFaults{};
  faults.fail_begin_write = true;
  EXPECT_EQ(put_row_once(*store, "new", "k", "v").error().code(), 2u);
  store->set_faults(nullptr);
  EXPECT_TRUE(put_row_once(*store, "new", "k", "v").has_value());
}

TEST(StoreTest, FullMapFailsCleanly) {
  StoreOptions options;
  options.map_size = 1 << 20;
  options.fixed_map_size = true;
  auto opened = Store::OpenInMemory(options);
  ASSERT_TRUE(opened.has_value());
  Store& store = **opened;
  ASSERT_TRUE(put_row_once(store, "c", "small", "v").has_value());
  auto before = Snapshot(store);
  auto ctx = BeginWriteCtx(store);
  ASSERT_TRUE(ctx.has_value());
  Status status = Ok();
  for (int i = 0; i < 100 && status; ++i) status = put_row(*ctx, "c", "k" + std::to_string(i), std::string(100000, 'x'));
  ASSERT_FALSE(status.has_value());
  EXPECT_EQ(status.error().code(), 4u);
  EXPECT_TRUE(status.error().Message().starts_with("storage: MDB_MAP_FULL")) << status.error().Message();
  { WriteCtx dropped = std::move(*ctx); }
  EXPECT_EQ(Snapshot(store), before);
  EXPECT_TRUE(put_row_once(store, "c", "after", "v").has_value());
}

TEST(StoreTest, MapGrowsWhenHalfUsed) {
  StoreOptions options;
  options.map_size = 4 << 20;
  auto opened = Store::OpenInMemory(options);
  ASSERT_TRUE(opened.has_value());
  // 40 MiB of rows through a 4 MiB initial map, one transaction each.
  for (int i = 0; i < 40; ++i)
    ASSERT_TRUE(put_row_once(**opened, "c", "k" + std::to_string(i), std::string(1 << 20, 'x')).has_value()) << i;
  EXPECT_EQ(*count_rows(**opened, "c"), 40u);
}

// In memory, a commit copies its pages into a map of the file: rows of
// every size (one page, several, overflow runs) read back byte for byte,
// also after the map has been replaced by a larger one.
TEST(StoreTest, InMemoryRowsReadBackAcrossMapGrowth) {
  StoreOptions options;
  options.map_size = 4 << 20;
  auto opened = Store::OpenInMemory(options);
  ASSERT_TRUE(opened.has_value());
  Store& store = **opened;
  std::mt19937 rng(5);
  std::map<std::string, std::string> model;
  for (int i = 0; i < 300; ++i) {
    size_t size = i % 10 == 0 ? (rng() % (1 << 20)) : rng() % 3000;
    std::string value(size, static_cast<char>('a' + i % 26));
    if (!value.empty()) value[rng() % value.size()] = static_cast<char>(i);
    std::string key = "k" + std::to_string(rng() % 200);
    ASSERT_TRUE(put_row_once(store, "c", key, value).has_value()) << i;
    model[key] = value;
  }
  for (const auto& [key, value] : model) {
    auto got = get_row_once(store, "c", key);
    ASSERT_TRUE(got.has_value());
    ASSERT_TRUE(got->has_value()) << key;
    EXPECT_EQ(**got, value) << key;
  }
}

// Copying into a map never meets a block the file system could not give:
// the blocks are allocated first, and a refusal there fails the commit.
// Here the refusal is the file size limit, in a child process so that the
// limit stays there; a fault instead of an error would kill the child.
TEST(StoreTest, InMemoryCommitPastTheFileLimitFailsWithAnError) {
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {8 << 20, 8 << 20};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(10);
    auto opened = Store::OpenInMemory();
    if (!opened.has_value()) _exit(11);
    Store& store = **opened;
    int written = 0;
    Status status = Ok();
    for (; written < 100 && status; ++written)
      status = put_row_once(store, "c", "k" + std::to_string(written), std::string(1 << 18, 'x'));
    if (status.has_value()) _exit(12);  // the limit was never met
    if (status.error().code() != 5u || status.error().Message().find("File too large") == std::string::npos) _exit(13);
    // What was committed before still reads back.
    for (int i = 0; i + 1 < written; ++i) {
      auto got = get_row_once(store, "c", "k" + std::to_string(i));
      if (!got.has_value() || !got->has_value() || (*got)->size() != (1u << 18)) _exit(14);
    }
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << "signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(StoreTest, DamagedU64ValuesAreStorageErrors) {
  TempDir dir;
  std::string path = dir.path() + "/db";
  auto damage = [&](StoreTable table, std::string_view key, std::string_view value) {
    auto store = Store::OpenFile(path);
    ASSERT_TRUE(store.has_value());
    auto txn = (*store)->BeginWrite();
    ASSERT_TRUE(txn.has_value());
    ASSERT_TRUE(txn->Put(table, key, value).has_value());
    ASSERT_TRUE(txn->Commit().has_value());
  };
  {
    auto engine = open_engine(path);
    ASSERT_TRUE(engine.has_value());
    ASSERT_TRUE(put_row_once((*engine)->store(), "c", "k", "v").has_value());
    ASSERT_TRUE(put_row_once((*engine)->store(), "d", "k", "v").has_value());
  }
  damage(StoreTable::kMeta, "cnt:c", "abc");
  damage(StoreTable::kCatalog, "d", std::string(9, '\1'));
  {
    auto engine = open_engine(path);
    ASSERT_TRUE(engine.has_value());
    Store& store = (*engine)->store();
    // Reads and writes that meet a damaged value fail naming its key; the
    // rest of the database reads on.
    auto count = count_rows(store, "c");
    ASSERT_FALSE(count.has_value());
    EXPECT_EQ(count.error().code(), 4u);
    EXPECT_EQ(count.error().Message(), "storage: damaged u64 value under cnt:c");
    auto before = test::StoreRows(store);
    auto put = put_row_once(store, "c", "new", "v");
    ASSERT_FALSE(put.has_value());
    EXPECT_EQ(put.error().Message(), "storage: damaged u64 value under cnt:c");
    EXPECT_EQ(test::StoreRows(store), before);
    auto get = get_row_once(store, "d", "k");
    ASSERT_FALSE(get.has_value());
    EXPECT_EQ(get.error().Message(), "storage: damaged u64 value under d");
    EXPECT_EQ(*get_row_once(store, "c", "k"), std::optional<std::string>("v"));
  }
  damage(StoreTable::kMeta, "format_version", "1");
  auto engine = open_engine(path);
  ASSERT_FALSE(engine.has_value());
  EXPECT_EQ(engine.error().Message(), "storage: damaged u64 value under format_version");
}

TEST(StoreTest, DocumentReads) {
  auto store = MemStore();
  ASSERT_TRUE(put_row_once(*store, "c", "k", encode_value(Value::Int(5))).has_value());
  ASSERT_TRUE(put_row_once(*store, "c", "bad", std::string("\x04\x05\x00\x00\x00" "ab", 7)).has_value());
  EXPECT_EQ(get_document(*store, "c", "k")->value().as_int(), 5);
  EXPECT_EQ(*get_document(*store, "unknown", "k"), std::nullopt);
  auto bad = get_document(*store, "c", "bad");
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().Message(), "decode: unexpected end of input");
  auto txn = store->BeginRead();
  auto all = scan_documents(ReadView(*txn), "c");
  ASSERT_FALSE(all.has_value());
  EXPECT_EQ(all.error().code(), 8u);
}

// ---------------------------------------------------------------- model test

// Random operations over keys of every awkward length (empty, around the
// inline limit, megabytes, hundreds sharing a 600-byte prefix), checked
// against a std::map: exact order and counts after every step.
class RowModel {
 public:
  explicit RowModel(Store& store) : store_(store) {}

  void Put(const std::string& c, const std::string& k, const std::string& v) {
    auto ctx = BeginWriteCtx(store_);
    ASSERT_TRUE(ctx.has_value());
    ASSERT_TRUE(put_row(*ctx, c, k, v).has_value());
    ASSERT_TRUE(ctx->Commit().has_value());
    model_[c][k] = v;
  }
  void Delete(const std::string& c, const std::string& k) {
    auto ctx = BeginWriteCtx(store_);
    auto removed = delete_row_counted(*ctx, c, k);
    ASSERT_TRUE(removed.has_value());
    EXPECT_EQ(*removed, model_[c].erase(k) == 1);
    ASSERT_TRUE(ctx->Commit().has_value());
  }
  void Check(const std::string& c, std::mt19937_64& rng, const std::vector<std::string>& probes) {
    auto& m = model_[c];
    EXPECT_EQ(*count_rows(store_, c), m.size());
    auto all = scan_all_rows(store_, c);
    ASSERT_TRUE(all.has_value());
    ASSERT_EQ(all->size(), m.size());
    size_t i = 0;
    for (auto& [k, v] : m) {
      ASSERT_EQ((*all)[i].key, k) << "at " << i;
      ASSERT_EQ((*all)[i].value, v);
      ++i;
    }
    for (const auto& probe : probes) {
      auto got = get_row_once(store_, c, probe);
      auto it = m.find(probe);
      ASSERT_EQ(got->has_value(), it != m.end());
      if (it != m.end()) {
        ASSERT_EQ(**got, it->second);
      }
      // The same key read in a batch with the other probes.
      std::vector<std::string_view> batch(probes.begin(), probes.end());
      std::vector<std::optional<std::string>> batched(batch.size());
      auto read = store_.BeginRead();
      ASSERT_TRUE(ReadView(*read)
                      .view_get_batch(c, batch, [&](size_t i, std::string_view v) { batched[i].emplace(v); })
                      .has_value());
      for (size_t j = 0; j < batch.size(); ++j) ASSERT_EQ(batched[j], *get_row_once(store_, c, probes[j]));
      // Paged scan from the probe with a random limit.
      size_t limit = 1 + rng() % 7;
      auto page = scan_rows_batch(store_, c, probe, limit);
      auto mit = m.lower_bound(probe);
      for (auto& row : *page) {
        ASSERT_NE(mit, m.end());
        ASSERT_EQ(row.key, mit->first);
        ++mit;
      }
      EXPECT_EQ(page->size(), std::min<size_t>(limit, std::distance(m.lower_bound(probe), m.end())));
      // Prefix scan.
      std::string prefix = probe.substr(0, rng() % (probe.size() + 1));
      auto txn = store_.BeginRead();
      auto pre = ReadView(*txn).view_scan_prefix(c, prefix);
      std::vector<std::string> want;
      for (auto pit = m.lower_bound(prefix); pit != m.end() && pit->first.starts_with(prefix); ++pit)
        want.push_back(pit->first);
      ASSERT_EQ(pre->size(), want.size());
      for (size_t j = 0; j < want.size(); ++j) ASSERT_EQ((*pre)[j].key, want[j]);
    }
  }

 private:
  Store& store_;
  std::map<std::string, std::map<std::string, std::string>> model_;
};

TEST(StoreTest, RandomRowsAgainstModel) {
  auto store = MemStore();
  std::mt19937_64 rng(42);
  std::string shared(600, 'p');
  std::vector<std::string> keys = {"", std::string(1, '\0'), "a", std::string(503, 'x'), std::string(504, 'x'),
                                   std::string(511, 'x'), std::string(512, 'x'), std::string(4096, 'x'),
                                   std::string(487, 'y'), std::string(488, 'y'), std::string(495, 'z'),
                                   std::string(496, 'z'), std::string(1000000, 'm'), shared, shared.substr(0, 495)};
  for (int i = 0; i < 300; ++i) {
    std::string k = shared;
    size_t extra = rng() % 40;
    for (size_t j = 0; j < extra; ++j) k.push_back(static_cast<char>("\x00\x01pq\xfe\xff"[rng() % 6]));
    keys.push_back(k);
  }
  // Keys that differ only after a long common prefix of the 8-byte id too.
  for (int i = 0; i < 50; ++i) keys.push_back(std::string(480 + rng() % 40, 'y') + static_cast<char>(rng()));
  RowModel model(*store);
  const std::vector<std::string> collections = {"", "c", std::string(700, 'n')};
  for (int step = 0; step < 1500; ++step) {
    const std::string& c = collections[rng() % collections.size()];
    const std::string& k = keys[rng() % keys.size()];
    if (rng() % 3 == 0) {
      model.Delete(c, k);
    } else {
      model.Put(c, k, "v" + std::to_string(step));
    }
    if (step % 250 == 249) {
      std::vector<std::string> probes;
      for (int p = 0; p < 12; ++p) probes.push_back(keys[rng() % keys.size()]);
      for (const auto& cc : collections) model.Check(cc, rng, probes);
    }
  }
  auto names = list_collections(*test::MemEngine());
  EXPECT_TRUE(names->empty());
}

// Batched point reads against one-by-one reads over a tree several levels
// deep: keys present and absent, repeated, long (read alone) and short,
// values inline and on overflow pages (left to the single read), batches
// past the most LMDB takes at once, in a read snapshot and in a write
// transaction (where every key is read alone).
TEST(StoreTest, BatchedReadsMatchSingleReads) {
  auto store = MemStore();
  std::mt19937_64 rng(7);
  std::vector<std::string> keys;
  for (int i = 0; i < 4000; ++i) {
    std::string k(1 + rng() % (rng() % 10 == 0 ? 600 : 24), '\0');
    for (char& ch : k) ch = "\x00\x01\x7f\x80\xfe\xff"[rng() % 6];
    keys.push_back(k);
  }
  {
    auto ctx = BeginWriteCtx(*store);
    ASSERT_TRUE(ctx.has_value());
    for (size_t i = 0; i < keys.size(); i += 2) {
      size_t size = rng() % 20 == 0 ? 3000 + rng() % 9000 : rng() % 1500;
      ASSERT_TRUE(put_row(*ctx, "c", keys[i], std::string(size, static_cast<char>('a' + i % 26))).has_value());
    }
    ASSERT_TRUE(ctx->Commit().has_value());
  }
  auto check = [&](const Txn& txn) {
    ReadView view(txn);
    for (int round = 0; round < 200; ++round) {
      std::vector<std::string_view> batch(rng() % 150);
      for (auto& k : batch) k = keys[rng() % keys.size()];
      std::vector<std::optional<std::string>> got(batch.size());
      auto read = view.view_get_batch("c", batch, [&](size_t i, std::string_view v) {
        EXPECT_FALSE(got[i].has_value());
        got[i].emplace(v);
      });
      ASSERT_TRUE(read.has_value());
      for (size_t i = 0; i < batch.size(); ++i) ASSERT_EQ(got[i], *view.view_get("c", batch[i])) << i;
    }
    size_t calls = 0;
    std::vector<std::string_view> some(keys.begin(), keys.begin() + 10);
    ASSERT_TRUE(view.view_get_batch("unknown", some, [&](size_t, std::string_view) { ++calls; }).has_value());
    EXPECT_EQ(calls, 0u);
  };
  {
    auto txn = store->BeginRead();
    ASSERT_TRUE(txn.has_value());
    check(*txn);
  }
  auto ctx = BeginWriteCtx(*store);
  ASSERT_TRUE(ctx.has_value());
  ASSERT_TRUE(put_row(*ctx, "c", keys[1], "written in this transaction").has_value());
  check(ctx->txn());
}

// Batched scans against row-by-row scans: many batches of short keys, a
// run of long keys sharing their first 495 bytes between them (handed
// over when the run ends), neighbouring collections that must not leak
// in, in a read snapshot and in a write transaction seeing its own rows.
TEST(StoreTest, BatchedScansMatchRowScans) {
  auto store = MemStore();
  std::mt19937_64 rng(11);
  std::string shared(600, 's');
  {
    auto ctx = BeginWriteCtx(*store);
    ASSERT_TRUE(ctx.has_value());
    for (const char* c : {"b", "c", "d"})
      for (int i = 0; i < 1000; ++i) {
        std::string k = "k" + std::to_string(rng() % 100000);
        if (i % 50 == 0) k = shared + std::to_string(rng() % 1000);
        ASSERT_TRUE(put_row(*ctx, c, k, std::string(rng() % 40, 'v')).has_value());
      }
    ASSERT_TRUE(ctx->Commit().has_value());
  }
  auto check = [&](const Txn& txn) {
    ReadView view(txn);
    for (const char* c : {"b", "c", "d", "unknown"}) {
      std::vector<Row> rows, batched;
      ASSERT_TRUE(view.view_for_each(c, [&](std::string_view k, std::string_view v) -> Result<bool> {
                        rows.push_back(Row{std::string(k), std::string(v)});
                        return true;
                      }).has_value());
      ASSERT_TRUE(view.view_for_each_batch(c, [&](std::span<const RowRef> batch) -> Result<bool> {
                        EXPECT_FALSE(batch.empty());
                        EXPECT_LE(batch.size(), kRowBatch);
                        for (const RowRef& r : batch) batched.push_back(Row{std::string(r.key), std::string(r.value)});
                        return true;
                      }).has_value());
      EXPECT_EQ(batched, rows) << c;
    }
    // The whole table, keys whole, against Scan.
    std::vector<Row> rows, batched;
    ASSERT_TRUE(txn.Scan(StoreTable::kRecords, {}, nullptr, [&](std::string_view k, std::string_view v) -> Result<bool> {
                     rows.push_back(Row{std::string(k), std::string(v)});
                     return true;
                   }).has_value());
    ASSERT_TRUE(txn.ScanBatch(StoreTable::kRecords, {}, nullptr, 0, [&](std::span<const RowRef> batch) -> Result<bool> {
                     for (const RowRef& r : batch) batched.push_back(Row{std::string(r.key), std::string(r.value)});
                     return true;
                   }).has_value());
    EXPECT_EQ(batched, rows);
    EXPECT_GT(rows.size(), 2000u);
  };
  {
    auto txn = store->BeginRead();
    ASSERT_TRUE(txn.has_value());
    check(*txn);
  }
  auto ctx = BeginWriteCtx(*store);
  ASSERT_TRUE(ctx.has_value());
  ASSERT_TRUE(put_row(*ctx, "c", shared + "new", "written in this transaction").has_value());
  ASSERT_TRUE(put_row(*ctx, "c", "a", "written in this transaction").has_value());
  check(ctx->txn());
}

// A walk between two bounds against a model: keys of many lengths that
// share long prefixes with each other and with the bounds, bytes on both
// sides of 0x80 (keys order as unsigned bytes), bounds equal to a key, a
// key's prefix, a key with a byte added or its last byte moved.
TEST(StoreTest, WalksBetweenBoundsMatchAModel) {
  auto store = MemStore();
  std::mt19937_64 rng(23);
  const char alphabet[] = {'\0', 'a', 'b', '\x7f', '\x80', '\xff'};
  auto random_key = [&] {
    std::string k = rng() % 2 ? "shared-prefix-of-the-part-" : "";
    const size_t n = rng() % 20;
    for (size_t i = 0; i < n; ++i) k.push_back(alphabet[rng() % sizeof(alphabet)]);
    return k.empty() ? std::string("a") : k;
  };
  std::set<std::string> model;
  {
    auto ctx = BeginWriteCtx(*store);
    ASSERT_TRUE(ctx.has_value());
    for (int i = 0; i < 1500; ++i) {
      const std::string k = random_key();
      ASSERT_TRUE(put_row(*ctx, "c", k, "v").has_value());
      model.insert(k);
    }
    // The neighbouring collections stay out of every walk.
    ASSERT_TRUE(put_row(*ctx, "b", "shared-prefix-of-the-part-", "x").has_value());
    ASSERT_TRUE(put_row(*ctx, "d", "a", "x").has_value());
    ASSERT_TRUE(ctx->Commit().has_value());
  }
  const std::vector<std::string> keys(model.begin(), model.end());
  auto bound = [&] {
    std::string b = keys[rng() % keys.size()];
    switch (rng() % 5) {
      case 0:
        break;
      case 1:
        b.push_back(alphabet[rng() % sizeof(alphabet)]);
        break;
      case 2:
        b.resize(rng() % (b.size() + 1));
        break;
      case 3:
        if (!b.empty()) b.back() = static_cast<char>(b.back() + (rng() % 2 ? 1 : -1));
        break;
      default:
        b = random_key();
    }
    return b;
  };
  auto txn = store->BeginRead();
  ASSERT_TRUE(txn.has_value());
  ReadView view(*txn);
  for (int round = 0; round < 400; ++round) {
    std::string lower = rng() % 3 == 0 ? std::string() : bound();
    std::string upper = bound();
    const bool bounded = rng() % 8 != 0;
    std::vector<std::string> walked, expected;
    ASSERT_TRUE(view.view_for_each_batch_between("c", lower, bounded ? &upper : nullptr,
                                                 [&](std::span<const RowRef> batch) -> Result<bool> {
                                                   for (const RowRef& r : batch) walked.emplace_back(r.key);
                                                   return true;
                                                 })
                    .has_value());
    for (const std::string& k : model)
      if (k >= lower && (!bounded || k < upper)) expected.push_back(k);
    ASSERT_EQ(walked, expected) << testing::PrintToString(lower) << " " << testing::PrintToString(upper);
  }
}

// Split keys cut a collection into parts whose walks, one after another,
// are the collection's walk: rows of a few bytes to a few pages, runs of
// long keys sharing their stored prefix, collections around it.
TEST(StoreTest, SplitKeysCutAWalkIntoPartsInOrder) {
  auto store = MemStore();
  std::mt19937_64 rng(12);
  const std::string shared(600, 's');
  {
    auto ctx = BeginWriteCtx(*store);
    ASSERT_TRUE(ctx.has_value());
    for (const char* c : {"b", "c", "d"}) {
      const int rows = c[0] == 'c' ? 6000 : 300;
      for (int i = 0; i < rows; ++i) {
        std::string k = "k" + std::to_string(rng() % 100000);
        if (i % 40 == 0) k = shared + std::to_string(rng() % 1000);
        const size_t size = rng() % 10 == 0 ? 3000 + rng() % 9000 : rng() % 60;
        ASSERT_TRUE(put_row(*ctx, c, k, std::string(size, 'v')).has_value());
      }
    }
    for (int i = 0; i < 400; ++i) ASSERT_TRUE(collection_id_or_create(*ctx, "name" + std::to_string(i)).has_value());
    ASSERT_TRUE(ctx->Commit().has_value());
  }
  // after_deletes: most rows deleted, so that inner pages keep keys of
  // rows that are gone and parts may be empty.
  auto check = [&](const Txn& txn, bool after_deletes) {
    ReadView view(txn);
    auto walk = [&](std::string_view c, std::string_view lower, const std::string* upper) {
      std::vector<Row> rows;
      EXPECT_TRUE(view.view_for_each_batch_between(c, lower, upper, [&](std::span<const RowRef> batch) -> Result<bool> {
                        for (const RowRef& r : batch) rows.push_back(Row{std::string(r.key), std::string(r.value)});
                        return true;
                      }).has_value());
      return rows;
    };
    for (const char* c : {"b", "c", "d", "unknown"}) {
      const std::vector<Row> whole = walk(c, {}, nullptr);
      for (size_t max : {1, 3, 7, 23, 200}) {
        auto keys = view.view_split_keys(c, max);
        ASSERT_TRUE(keys.has_value());
        ASSERT_LE(keys->size(), max);
        ASSERT_TRUE(std::is_sorted(keys->begin(), keys->end()));
        ASSERT_EQ(std::adjacent_find(keys->begin(), keys->end()), keys->end());
        std::vector<Row> parts;
        size_t largest = 0;
        for (size_t i = 0; i <= keys->size(); ++i) {
          const std::vector<Row> part = walk(c, i == 0 ? std::string_view() : (*keys)[i - 1],
                                             i < keys->size() ? &(*keys)[i] : nullptr);
          EXPECT_TRUE(!part.empty() || whole.empty() || after_deletes) << c << " " << max << " part " << i;
          largest = std::max(largest, part.size());
          parts.insert(parts.end(), part.begin(), part.end());
        }
        ASSERT_EQ(parts, whole) << c << " " << max << " " << after_deletes;
        if (c[0] == 'c' && max <= 23 && !after_deletes) {
          // A run of long keys is one part, and takes the keys inside it.
          EXPECT_GE(keys->size(), (max + 1) / 2);
          EXPECT_LE(largest, 3 * whole.size() / (keys->size() + 1)) << max;  // about equal parts
        }
      }
    }
  };
  {
    auto txn = store->BeginRead();
    ASSERT_TRUE(txn.has_value());
    check(*txn, false);
  }
  {
    // Also in a write transaction, whose changed pages are its own copies.
    auto ctx = BeginWriteCtx(*store);
    ASSERT_TRUE(ctx.has_value());
    std::vector<std::string> keys;
    for (const char* c : {"b", "c"}) {
      ASSERT_TRUE(ReadView(ctx->txn()).view_for_each(c, [&](std::string_view k, std::string_view) -> Result<bool> {
                        keys.emplace_back(k);
                        return true;
                      }).has_value());
      for (const std::string& k : keys) {
        if (rng() % 5 == 0) continue;
        ASSERT_TRUE(delete_row(*ctx, c, k).has_value());
      }
      keys.clear();
    }
    check(ctx->txn(), true);
    ASSERT_TRUE(ctx->Commit().has_value());
  }
  auto txn = store->BeginRead();
  ASSERT_TRUE(txn.has_value());
  check(*txn, true);
  // The catalog's keys, without the table's prefix, through the
  // transaction.
  std::vector<std::string> names;
  ASSERT_TRUE(txn->Scan(StoreTable::kCatalog, {}, nullptr, [&](std::string_view k, std::string_view) -> Result<bool> {
                   names.emplace_back(k);
                   return true;
                 }).has_value());
  auto keys = txn->SplitKeys(StoreTable::kCatalog, {}, nullptr, 5);
  ASSERT_TRUE(keys.has_value());
  ASSERT_FALSE(keys->empty());
  for (const std::string& k : *keys) EXPECT_TRUE(std::binary_search(names.begin(), names.end(), k)) << k;
}

TEST(StoreTest, BatchedScanStopsAndErrorsPassThrough) {
  auto store = MemStore();
  {
    auto ctx = BeginWriteCtx(*store);
    ASSERT_TRUE(ctx.has_value());
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(put_row(*ctx, "c", "k" + std::to_string(i), "v").has_value());
    ASSERT_TRUE(ctx->Commit().has_value());
  }
  auto txn = store->BeginRead();
  ReadView view(*txn);
  int calls = 0;
  ASSERT_TRUE(view.view_for_each_batch("c", [&](std::span<const RowRef> rows) -> Result<bool> {
                    EXPECT_EQ(rows.size(), kRowBatch);
                    ++calls;
                    return false;
                  }).has_value());
  EXPECT_EQ(calls, 1);
  // The last, partial batch is handed over too; a stop there is a success.
  size_t seen = 0;
  ASSERT_TRUE(view.view_for_each_batch("c", [&](std::span<const RowRef> rows) -> Result<bool> {
                    seen += rows.size();
                    return seen < 1000;
                  }).has_value());
  EXPECT_EQ(seen, 1000u);
  auto err = view.view_for_each_batch("c", [&](std::span<const RowRef>) -> Result<bool> {
    return Fail(EngineError::InvalidArgument("stop"));
  });
  ASSERT_FALSE(err.has_value());
  EXPECT_EQ(err.error().Message(), "invalid argument: stop");
}

// Writes 400 rows k0000.. to a file store, then sets the 16-bit key size
// of k0250's node (just in front of its key, on its leaf page: page flags
// at offset 10, leaf 0x02) to key_size. Rows of the same page come in
// front of it, so the damage is inside the page, not at its first node.
std::string DamageKeySize(const std::string& path, uint16_t key_size) {
  {
    auto store = Store::OpenFile(path);
    EXPECT_TRUE(store.has_value());
    auto ctx = BeginWriteCtx(**store);
    EXPECT_TRUE(ctx.has_value());
    for (int i = 0; i < 400; ++i) {
      char key[8];
      std::snprintf(key, sizeof(key), "k%04d", i);
      EXPECT_TRUE(put_row(*ctx, "c", key, std::string(40, 'v')).has_value());
    }
    EXPECT_TRUE(ctx->Commit().has_value());
  }
  std::string bytes = test::ReadFile(path);
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const std::string stored = RecordKey(0, "k0250");
  size_t at = std::string::npos, in_front = 0;
  for (size_t pos = bytes.find(stored); pos != std::string::npos; pos = bytes.find(stored, pos + 1)) {
    uint8_t flags = static_cast<uint8_t>(bytes[pos / page * page + 10]);
    if ((flags & 0x02) != 0 && pos % page >= 8) at = pos;
  }
  EXPECT_NE(at, std::string::npos);
  for (int i = 0; i < 250; ++i) {
    char key[8];
    std::snprintf(key, sizeof(key), "k%04d", i);
    size_t pos = bytes.find(RecordKey(0, key));
    if (pos != std::string::npos && pos / page == at / page) ++in_front;
  }
  EXPECT_GT(in_front, 0u);
  bytes[at - 2] = static_cast<char>(key_size & 0xFF);
  bytes[at - 1] = static_cast<char>(key_size >> 8);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  return path;
}

// A damaged node in the middle of a leaf page (a key running past the
// page, or a key shorter than a collection id): a walk in a read snapshot
// hands over every row in front of it, then fails with a Storage error
// where it meets it; a walk that stops before it succeeds. Pages are
// checked a whole page at a time; that must not move where damage shows.
TEST(StoreTest, DamagedNodeFailsWhereTheWalkMeetsIt) {
  for (uint16_t key_size : {uint16_t{0xFFFF}, uint16_t{0}}) {
    TempDir dir;
    auto store = Store::OpenFile(DamageKeySize(dir.path() + "/db", key_size));
    ASSERT_TRUE(store.has_value());
    auto txn = (*store)->BeginRead();
    ASSERT_TRUE(txn.has_value());
    ReadView view(*txn);
    std::vector<std::string> seen;
    auto walk = view.view_for_each("c", [&](std::string_view k, std::string_view) -> Result<bool> {
      seen.emplace_back(k);
      return true;
    });
    ASSERT_FALSE(walk.has_value()) << key_size;
    EXPECT_EQ(walk.error().kind(), ErrorKind::kStorage);
    ASSERT_EQ(seen.size(), 250u);
    EXPECT_EQ(seen.back(), "k0249");
    auto fresh = (*store)->BeginRead();
    ASSERT_TRUE(fresh.has_value());
    size_t before = 0;
    ASSERT_TRUE(ReadView(*fresh).view_for_each("c", [&](std::string_view k, std::string_view) -> Result<bool> {
                                  ++before;
                                  return k != "k0249";
                                }).has_value());
    EXPECT_EQ(before, 250u);
    if (key_size != 0) continue;
    // The short key through the other walks of a collection's range.
    EXPECT_EQ(walk.error().Message(), "storage: damaged row in records: a 0-byte key inside a collection's range");
    auto again = (*store)->BeginRead();
    ASSERT_TRUE(again.has_value());
    auto prefix = ReadView(*again).view_scan_prefix("c", "k");
    ASSERT_FALSE(prefix.has_value());
    EXPECT_EQ(prefix.error().kind(), ErrorKind::kStorage);
    auto batched = ReadView(*again).view_for_each_batch("c", [](std::span<const RowRef>) -> Result<bool> {
      return true;
    });
    ASSERT_FALSE(batched.has_value());
    EXPECT_EQ(batched.error().kind(), ErrorKind::kStorage);
  }
}

TEST(StoreTest, LongCatalogAndMetaKeys) {
  auto store = MemStore();
  std::string name(2000, 'n');
  ASSERT_TRUE(put_row_once(*store, name, "k", "v").has_value());
  ASSERT_TRUE(put_row_once(*store, name + "x", "k", "v").has_value());
  EXPECT_EQ(*count_rows(*store, name), 1u);
  EXPECT_EQ(*get_row_once(*store, name, "k"), std::optional<std::string>("v"));
  auto txn = store->BeginRead();
  auto names = ReadView(*txn).view_list_collections();
  EXPECT_EQ(*names, (std::vector<std::string>{name, name + "x"}));
}

// LMDB keeps at most 2^32 - 1 bytes in one value, and a long key's tail and
// its u32 length share that value: rows past it are bad input, refused by
// size before a byte is read, never a broken invariant or a Storage error.
TEST(StoreTest, RowsTooLargeForLmdbAreRefusedBySize) {
  const uint64_t max = UINT32_MAX;
  auto fits = [](uint64_t key, uint64_t value) { return check_row_fits(key, value).has_value(); };
  // An inline records key (8-byte id + row key <= 495 bytes): the value alone.
  EXPECT_TRUE(fits(0, max));
  EXPECT_TRUE(fits(487, max));
  EXPECT_FALSE(fits(0, max + 1));
  // A long key: its tail (8 + key - 495 bytes) and 4 length bytes come off.
  EXPECT_TRUE(fits(488, max - 4 - 1));
  EXPECT_FALSE(fits(488, max - 4));
  EXPECT_TRUE(fits(max, 483));
  EXPECT_FALSE(fits(max, 484));
  EXPECT_FALSE(fits(max + 484, 0));
  EXPECT_FALSE(fits(SIZE_MAX, 0));
  EXPECT_FALSE(fits(0, SIZE_MAX));
  auto e = check_row_fits(max, 484);
  ASSERT_FALSE(e.has_value());
  EXPECT_EQ(e.error().kind(), ErrorKind::kInvalidArgument);
  EXPECT_EQ(e.error().detail(),
            "row too large: key length 4294967295 and value length 484 exceed the storage limit of 4294967295 bytes");

  // The transaction's own puts refuse the same rows, and stay usable.
  auto store = MemStore();
  const auto before = Snapshot(*store);
  test::ZeroBytes zeros(size_t{1} << 33);
  auto txn = store->BeginWrite();
  ASSERT_TRUE(txn.has_value());
  for (StoreTable table : {StoreTable::kRecords, StoreTable::kCatalog, StoreTable::kMeta}) {
    auto long_key = txn->Put(table, zeros.view().substr(0, max + 500), "v");
    ASSERT_FALSE(long_key.has_value());
    EXPECT_EQ(long_key.error().kind(), ErrorKind::kInvalidArgument);
    auto long_value = txn->Put(table, "k", zeros.view().substr(0, max + 1));
    ASSERT_FALSE(long_value.has_value());
    EXPECT_EQ(long_value.error().kind(), ErrorKind::kInvalidArgument);
  }
  auto tail_and_value = txn->Put(StoreTable::kRecords, zeros.view().substr(0, 1000), zeros.view().substr(0, max - 508));
  ASSERT_FALSE(tail_and_value.has_value());
  EXPECT_EQ(tail_and_value.error().detail(),
            "row too large: key length 1000 and value length 4294966787 exceed the storage limit of 4294967295 bytes");
  ASSERT_TRUE(txn->Commit().has_value());
  EXPECT_EQ(Snapshot(*store), before);
  ASSERT_TRUE(put_row_once(*store, "c", "k", "v").has_value());
  EXPECT_EQ(*get_row_once(*store, "c", "k"), std::optional<std::string>("v"));
}

TEST(EngineTest, NameRules) {
  EXPECT_TRUE(validate_name("").has_value());
  EXPECT_TRUE(validate_name("a_b.c").has_value());
  EXPECT_EQ(validate_name("a__b").error().code(), 11u);
  EXPECT_EQ(validate_name(std::string("a\0b", 3)).error().code(), 11u);
  EXPECT_EQ(validate_name("x__").error().Message(), "invalid name (NUL byte or `__` is not allowed): x__");
  // A leading "__" is reserved before the name rule is asked.
  EXPECT_EQ(check_collection_name("__").error().code(), 10u);
  EXPECT_EQ(check_collection_name("__a__b").error().Message(), "reserved collection name: __a__b");
  EXPECT_EQ(check_collection_name("_a").has_value(), true);
  EXPECT_EQ(check_collection_name("a_").has_value(), true);
}

TEST(EngineTest, ListingAndAutoCounters) {
  auto engine = open_in_memory();
  ASSERT_TRUE(engine.has_value());
  Engine& e = **engine;
  EXPECT_TRUE(list_collections(e)->empty());
  ASSERT_TRUE(set_schema(e, "people", {}).has_value());
  ASSERT_TRUE(put_row_once(e.store(), "b", "k", "v").has_value());
  EXPECT_EQ(*list_collections(e), (std::vector<std::string>{"__schemas__", "b"}));
  auto counter = [&](const char* c) {
    auto txn = e.store().BeginRead();
    return *txn->GetU64(StoreTable::kMeta, AutoKey(c));
  };
  ASSERT_TRUE(raise_auto_counters(e, {{"a", 5}, {"b", 0}}).has_value());
  EXPECT_EQ(counter("a"), std::optional<uint64_t>(5));
  EXPECT_EQ(counter("b"), std::optional<uint64_t>(0));  // written even when unchanged
  ASSERT_TRUE(raise_auto_counters(e, {{"a", 3}}).has_value());
  EXPECT_EQ(counter("a"), std::optional<uint64_t>(5));
  ASSERT_TRUE(raise_auto_counters(e, {{"a", 9}, {"a", 7}}).has_value());
  EXPECT_EQ(counter("a"), std::optional<uint64_t>(9));
  // Counters need no collection: no catalog row appears.
  EXPECT_EQ(*list_collections(e), (std::vector<std::string>{"__schemas__", "b"}));
}

}  // namespace
}  // namespace pallix
