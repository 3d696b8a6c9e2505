// Nested write transactions, backup into a new file and compaction by copy
// and rename, including crashes of a compacting child process.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>

#include <gtest/gtest.h>

#include "index/index_state.h"
#include "index/scalar_index.h"
#include "storage/copy.h"
#include "storage/read_view.h"
#include "storage/rows.h"
#include "test_util.h"
#include "write/write.h"

namespace pallix {
namespace {

using test::StoreRows;
using test::TempDir;

TEST(CopyTest, NestedTransactionsFoldOrVanish) {
  auto store = Store::OpenInMemory();
  ASSERT_TRUE(store.has_value());
  auto ctx = BeginWriteCtx(**store);
  ASSERT_TRUE(ctx.has_value());
  ASSERT_TRUE(ctx->BeginNested().has_value());
  ASSERT_TRUE(put_row(*ctx, "c", "kept", "1").has_value());
  ASSERT_TRUE(ctx->CommitNested().has_value());
  ASSERT_TRUE(ctx->BeginNested().has_value());
  ASSERT_TRUE(put_row(*ctx, "c", "dropped", "2").has_value());
  ASSERT_TRUE(put_row(*ctx, "d", "dropped", "3").has_value());
  ctx->AbortNested();
  ASSERT_TRUE(ctx->Commit().has_value());
  auto rows = scan_all_rows(**store, "c");
  ASSERT_TRUE(rows.has_value());
  EXPECT_EQ(*rows, (std::vector<Row>{{"kept", "1"}}));
  auto count = count_rows(**store, "c");
  ASSERT_TRUE(count.has_value());
  EXPECT_EQ(*count, 1u);
  auto d = scan_all_rows(**store, "d");
  ASSERT_TRUE(d.has_value());
  EXPECT_TRUE(d->empty());
}

std::shared_ptr<Engine> FileEngine(const std::string& path) {
  auto e = open_engine(path);
  EXPECT_TRUE(e.has_value());
  return e ? *e : nullptr;
}

std::vector<std::string> DirEntries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(CopyTest, BackupCopiesEveryRowAndRefusesExistingTargets) {
  TempDir dir;
  auto e = test::MemEngine();
  for (int i = 0; i < 300; ++i)
    ASSERT_TRUE(insert(*e, "c", std::string(600 + i, 'k'), Value::Int(i)).has_value());  // long keys too
  ASSERT_TRUE(create_scalar_index(*e, "c", "x").has_value());
  std::string target = dir.path() + "/b.db";
  ASSERT_TRUE(backup_store(e->store(), target).has_value());
  auto copy = Store::OpenFile(target);
  ASSERT_TRUE(copy.has_value());
  EXPECT_EQ(StoreRows(**copy), StoreRows(e->store()));
  copy->reset();
  EXPECT_EQ(std::vector<std::string>{"b.db"}.size(), std::distance(std::filesystem::directory_iterator(dir.path()),
                                                                   std::filesystem::directory_iterator()));

  std::string empty = dir.path() + "/empty";
  { std::ofstream(empty).flush(); }
  auto exists = backup_store(e->store(), empty);
  ASSERT_FALSE(exists.has_value());
  EXPECT_EQ(exists.error().kind(), ErrorKind::kBackupTargetExists);
  EXPECT_EQ(test::ReadFile(empty), "");
  auto missing_dir = backup_store(e->store(), dir.path() + "/no/such");
  ASSERT_FALSE(missing_dir.has_value());
  EXPECT_EQ(missing_dir.error().kind(), ErrorKind::kDatabase);
  auto nul = backup_store(e->store(), dir.path() + std::string("/a\0b", 4));
  ASSERT_FALSE(nul.has_value());
  EXPECT_EQ(nul.error().Message(), "database: I/O error: file name contained an unexpected NUL byte");
}

TEST(CopyTest, FailedBackupRemovesOnlyItsOwnFile) {
  TempDir dir;
  auto e = test::MemEngine();
  ASSERT_TRUE(insert(*e, "c", "k", Value::Int(1)).has_value());
  StoreFaults faults;
  faults.fail_begin_read = true;
  e->store().set_faults(&faults);
  std::string target = dir.path() + "/b.db";
  auto s = backup_store(e->store(), target);
  e->store().set_faults(nullptr);
  ASSERT_FALSE(s.has_value());
  EXPECT_FALSE(std::filesystem::exists(target));
  // A dangling link's end is created through the link, but it was not
  // created by name here, so a failure leaves it.
  std::string end = dir.path() + "/end";
  std::filesystem::create_symlink(end, dir.path() + "/link");
  e->store().set_faults(&faults);
  ASSERT_FALSE(backup_store(e->store(), dir.path() + "/link").has_value());
  e->store().set_faults(nullptr);
  EXPECT_TRUE(std::filesystem::exists(end));
}

uint64_t FileSize(const std::string& path) { return std::filesystem::file_size(path); }

// Puts 300 padding rows in one transaction and removes them in another,
// leaving the file larger than its data.
void FillAndEmpty(Store& store, const std::string& pad) {
  for (bool fill : {true, false}) {
    auto ctx = BeginWriteCtx(store);
    if (!ctx) return;
    for (int i = 0; i < 300; ++i) {
      if (fill) {
        (void)put_row(*ctx, "pad", std::to_string(i), pad);
      } else {
        (void)delete_row_counted(*ctx, "pad", std::to_string(i));
      }
    }
    (void)ctx->Commit();
  }
}

// A compaction that strikes between an opener's open and its lock: the
// file the opener holds is replaced at the path, and its lock released
// with the old store. The owner is then kept open or closed.
struct CompactionRace {
  std::shared_ptr<Engine> owner;
  bool close_owner = false;
  int calls = 0;
};
CompactionRace* g_race = nullptr;

void CompactBeforeLock(const std::string&) {
  if (g_race == nullptr || g_race->calls++ > 0) return;
  auto shrank = compact_engine(*g_race->owner);
  EXPECT_TRUE(shrank.has_value() && *shrank);
  if (g_race->close_owner) g_race->owner.reset();
}

TEST(CopyTest, OpenerOfAFileReplacedBeforeItsLockOpensThePathAgain) {
  TempDir dir;
  std::string path = dir.path() + "/a.db";
  for (bool close_owner : {false, true}) {
    CompactionRace race{FileEngine(path), close_owner};
    FillAndEmpty(race.owner->store(), std::string(4000, 'x'));
    g_race = &race;
    SetStoreTestHooks({.before_lock = CompactBeforeLock});
    auto second = open_engine(path);
    SetStoreTestHooks({});
    g_race = nullptr;
    ASSERT_GE(race.calls, 1);
    if (!close_owner) {
      // The new file is locked by the compacting owner.
      ASSERT_FALSE(second.has_value());
      EXPECT_EQ(second.error().Message(), "database: Database already open. Cannot acquire lock.");
      continue;
    }
    // The owner is gone: the opener holds the file at the path, so what it
    // writes is there for the next opener.
    ASSERT_TRUE(second.has_value());
    ASSERT_TRUE(insert(**second, "c", "kept", Value::Int(1)).has_value());
    second->reset();
    auto reopened = FileEngine(path);
    auto doc = get_document(reopened->store(), "c", "kept");
    ASSERT_TRUE(doc.has_value());
    EXPECT_TRUE(doc->has_value());
  }
}

// A failure during the copy is a compaction error, whatever step failed,
// and leaves the database and its folder as they were.
TEST(CopyTest, FailedCompactionCopyIsACompactionError) {
  TempDir dir;
  std::string path = dir.path() + "/a.db";
  auto e = FileEngine(path);
  FillAndEmpty(e->store(), std::string(4000, 'x'));
  ASSERT_TRUE(insert(*e, "c", "k", Value::Int(1)).has_value());
  auto before = StoreRows(e->store());
  StoreFaults faults;
  faults.fail_begin_read = true;
  e->store().set_faults(&faults);
  auto failed = compact_engine(*e);
  e->store().set_faults(nullptr);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().kind(), ErrorKind::kCompaction);
  EXPECT_EQ(failed.error().Message(), "compaction: injected fault");
  EXPECT_EQ(StoreRows(e->store()), before);
  EXPECT_EQ(DirEntries(dir.path()), std::vector<std::string>{"a.db"});
}

TEST(CopyTest, CompactionShrinksKeepsEverythingAndHoldsTheLock) {
  TempDir dir;
  std::string path = dir.path() + "/a.db";
  auto e = FileEngine(path);
  ASSERT_TRUE(create_scalar_index(*e, "c", "n").has_value());
  std::vector<std::pair<std::string, Value>> docs;
  for (int i = 0; i < 400; ++i) {
    ValueMap m;
    m.Set("n", Value::Int(i));
    m.Set("pad", Value::Text(std::string(8000, 'p')));
    docs.emplace_back("k" + std::to_string(i), Value::Map(std::move(m)));
  }
  ASSERT_TRUE(put_many(*e, "c", docs).has_value());
  for (int i = 0; i < 400; ++i) {
    if (i % 10 != 0) {
      ASSERT_TRUE(delete_document(*e, "c", "k" + std::to_string(i)).has_value());
    }
  }
  auto before_rows = StoreRows(e->store());
  uint64_t before = FileSize(path);
  auto shrank = compact_engine(*e);
  ASSERT_TRUE(shrank.has_value());
  EXPECT_TRUE(*shrank);
  EXPECT_LT(FileSize(path), before);
  EXPECT_EQ(StoreRows(e->store()), before_rows);
  auto second = Store::OpenFile(path);
  ASSERT_FALSE(second.has_value());
  EXPECT_EQ(second.error().detail(), "Database already open. Cannot acquire lock.");
  // A packed file does not shrink again; writes go on in the new file,
  // and nothing else is left in the folder.
  auto again = compact_engine(*e);
  ASSERT_TRUE(again.has_value());
  EXPECT_FALSE(*again);
  ASSERT_TRUE(insert(*e, "c", "after", Value::Int(1)).has_value());
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()),
            1);
  e.reset();
  auto reopened = FileEngine(path);
  auto doc = get_document(reopened->store(), "c", "after");
  ASSERT_TRUE(doc.has_value() && doc->has_value());
  auto entries = count_rows(reopened->store(), scalar_namespace("c", "n"));
  ASSERT_TRUE(entries.has_value());
  EXPECT_EQ(*entries, 2u * 40u);
}

TEST(CopyTest, InMemoryCompactionMovesNothing) {
  auto e = test::MemEngine();
  auto shrank = compact_engine(*e);
  ASSERT_TRUE(shrank.has_value());
  EXPECT_FALSE(*shrank);
}

// A child grows and shrinks a padding collection and compacts, over and
// over, until it is killed at a random moment; the database at the path is
// then whole: it opens, and the fixed collection holds every document.
TEST(CopyTest, KilledCompactionLeavesOneWholeDatabase) {
  TempDir dir;
  std::string path = dir.path() + "/a.db";
  {
    auto e = FileEngine(path);
    for (int i = 0; i < 200; ++i) ASSERT_TRUE(insert(*e, "fixed", "k" + std::to_string(i), Value::Int(i)).has_value());
  }
  std::mt19937 rng(7);
  for (int round = 0; round < 6; ++round) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(ready[0]);
      auto e = open_engine(path);
      if (!e) _exit(2);
      std::string pad(4000, 'x');
      for (int cycle = 0;; ++cycle) {
        FillAndEmpty((*e)->store(), pad);
        (void)compact_engine(**e);
        if (cycle == 0) (void)!write(ready[1], "r", 1);
      }
    }
    close(ready[1]);
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    usleep(rng() % 200000);
    kill(child, SIGKILL);
    int status;
    waitpid(child, &status, 0);
    auto e = FileEngine(path);
    ASSERT_NE(e, nullptr);
    auto rows = scan_all_rows(e->store(), "fixed");
    ASSERT_TRUE(rows.has_value());
    ASSERT_EQ(rows->size(), 200u);
    auto count = count_rows(e->store(), "fixed");
    ASSERT_TRUE(count.has_value());
    EXPECT_EQ(*count, 200u);
  }
}

}  // namespace
}  // namespace pallix
