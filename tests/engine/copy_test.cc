// Nested write transactions, backup into a new file and compaction by copy
// and rename, including kills of a child process at every moment of an
// open, a backup and a compaction.

#include <limits.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <set>

#include <gtest/gtest.h>

#include "base/test_point.h"
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
  // A backup through a dangling link is made at the link's end; a failed
  // one leaves nothing there, and the link as it was.
  std::string end = dir.path() + "/end";
  std::filesystem::create_symlink("end", dir.path() + "/link");
  e->store().set_faults(&faults);
  ASSERT_FALSE(backup_store(e->store(), dir.path() + "/link").has_value());
  e->store().set_faults(nullptr);
  EXPECT_EQ(DirEntries(dir.path()), std::vector<std::string>{"link"});
  ASSERT_TRUE(backup_store(e->store(), dir.path() + "/link").has_value());
  EXPECT_EQ(DirEntries(dir.path()), (std::vector<std::string>{"end", "link"}));
  auto copy = Store::OpenFile(end);
  ASSERT_TRUE(copy.has_value());
  EXPECT_EQ(StoreRows(**copy), StoreRows(e->store()));
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

// Runs body in a child process that stops at its first copy commit; kills
// it there. The child opens what it needs itself: an LMDB environment is
// not to be used across fork.
void KillAtCopyCommit(const std::function<void()>& body) {
  static int ready_fd = -1;
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(ready[0]);
    ready_fd = ready[1];
    ScopedTestHook stop(TestPoint::kCopyBeforeCommit, [](std::string_view) {
      (void)!write(ready_fd, "r", 1);
      for (;;) pause();
    });
    body();
    _exit(3);  // never reached the commit
  }
  close(ready[1]);
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  close(ready[0]);
  kill(child, SIGKILL);
  int status;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));
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

void CompactBeforeLock(std::string_view) {
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
    Result<std::shared_ptr<Engine>> second;
    {
      ScopedTestHook compact(TestPoint::kStoreBeforeLock, CompactBeforeLock);
      second = open_engine(path);
    }
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

TEST(CopyTest, KilledBackupLeavesNoTargetAndNoFile) {
  TempDir dir;
  std::string source = dir.path() + "/a.db";
  std::string target = dir.path() + "/b.db";
  {
    auto e = FileEngine(source);
    std::vector<std::pair<std::string, Value>> docs;
    for (int i = 0; i < 200; ++i) docs.emplace_back("k" + std::to_string(i), Value::Int(i));
    ASSERT_TRUE(put_many(*e, "c", docs).has_value());
  }
  KillAtCopyCommit([&] {
    auto e = open_engine(source);
    if (e) (void)backup_store((*e)->store(), target);
  });
  EXPECT_EQ(DirEntries(dir.path()), std::vector<std::string>{"a.db"});
  auto e = FileEngine(source);
  ASSERT_TRUE(backup_store(e->store(), target).has_value());
  EXPECT_EQ(DirEntries(dir.path()), (std::vector<std::string>{"a.db", "b.db"}));
  {
    auto copy = Store::OpenFile(target);
    ASSERT_TRUE(copy.has_value());
    EXPECT_EQ(StoreRows(**copy), StoreRows(e->store()));
  }
  auto again = backup_store(e->store(), target);
  ASSERT_FALSE(again.has_value());
  EXPECT_EQ(again.error().Message(), "backup target already exists: " + target);

  // A target that appears while the copy is made is not replaced either.
  std::string racer = dir.path() + "/c.db";
  Status raced;
  {
    ScopedTestHook appear(TestPoint::kCopyBeforeCommit, [&](std::string_view) { std::ofstream(racer) << "theirs"; });
    raced = backup_store(e->store(), racer);
  }
  ASSERT_FALSE(raced.has_value());
  EXPECT_EQ(raced.error().kind(), ErrorKind::kBackupTargetExists);
  EXPECT_EQ(test::ReadFile(racer), "theirs");
  EXPECT_EQ(DirEntries(dir.path()), (std::vector<std::string>{"a.db", "b.db", "c.db"}));
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


// Files of the user's whose names look like a copy's (as older builds
// named them, or LMDB's lock file) are none of the engine's business: no
// open, backup (made or failed) or compaction touches them.
TEST(CopyTest, UserFilesNamedLikeCopiesSurviveOpenBackupAndCompaction) {
  TempDir dir;
  const std::string app = dir.path() + "/app.db";
  const std::vector<std::string> theirs = {"app.db-lock",          "app.db.backup-240101", "app.db.backup-240102",
                                           "app.db.backup-240103", "app.db.compact-Ab12Cd", "app.db.compact-before"};
  for (const std::string& name : theirs) std::ofstream(dir.path() + "/" + name) << "kept " << name;
  auto expect_kept = [&](const char* after) {
    for (const std::string& name : theirs) EXPECT_EQ(test::ReadFile(dir.path() + "/" + name), "kept " + name) << after;
  };
  auto source = test::MemEngine();
  ASSERT_TRUE(insert(*source, "c", "k", Value::Int(1)).has_value());

  StoreFaults faults;
  faults.fail_begin_read = true;
  source->store().set_faults(&faults);
  EXPECT_EQ(backup_store(source->store(), app).error().kind(), ErrorKind::kTransaction);
  source->store().set_faults(nullptr);
  expect_kept("a failed backup");
  {
    ScopedTestHook appear(TestPoint::kCopyBeforeCommit, [&](std::string_view) { std::ofstream(app) << "theirs"; });
    EXPECT_EQ(backup_store(source->store(), app).error().kind(), ErrorKind::kBackupTargetExists);
  }
  expect_kept("a backup that met a new target");
  std::filesystem::remove(app);
  ASSERT_TRUE(backup_store(source->store(), app).has_value());
  expect_kept("a backup");
  EXPECT_EQ(backup_store(source->store(), app).error().kind(), ErrorKind::kBackupTargetExists);
  expect_kept("a backup to an existing target");

  auto e = FileEngine(app);
  ASSERT_NE(e, nullptr);
  expect_kept("open");
  FillAndEmpty(e->store(), std::string(4000, 'x'));
  auto shrank = compact_engine(*e);
  ASSERT_TRUE(shrank.has_value() && *shrank);
  expect_kept("compaction");
  std::vector<std::string> all = theirs;
  all.insert(all.begin(), "app.db");
  EXPECT_EQ(DirEntries(dir.path()), all);
}

// Names in the places shared with other programs that a store or a copy
// could leave: private directories ("pallix-env-*") and files under a
// made-up name (".pallix-*"). Tests beside this one, of other builds, may
// hold one for a moment, so only a new name that stays counts.
std::set<std::string> SharedTempNames() {
  std::set<std::string> names;
  std::vector<std::string> bases = {"/dev/shm", "/tmp"};
  if (const char* tmp = getenv("TMPDIR"); tmp != nullptr && *tmp != '\0') bases.push_back(tmp);
  for (const std::string& base : bases) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(base, ec)) {
      std::string name = entry.path().filename();
      if (name.starts_with("pallix-env-") || name.starts_with(".pallix-")) names.insert(entry.path());
    }
  }
  return names;
}

std::set<std::string> NamesLeftSince(const std::set<std::string>& before) {
  std::set<std::string> left;
  for (int round = 0; round < 100; ++round) {
    left.clear();
    for (const std::string& name : SharedTempNames())
      if (!before.contains(name)) left.insert(name);
    if (left.empty()) break;
    usleep(20000);
  }
  return left;
}

// A process killed at any moment of an open, a backup or a compaction
// leaves no file and no directory anywhere: not beside the database or the
// target, not in /dev/shm or the temporary directory. Each case kills a
// child at the n-th time it reaches a test point.
TEST(CopyTest, KilledOpenBackupOrCompactionLeavesNothing) {
  TempDir dir;
  const std::string path = dir.path() + "/a.db";
  {
    auto e = FileEngine(path);
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(insert(*e, "c", "k" + std::to_string(i), Value::Int(i)).has_value());
    FillAndEmpty(e->store(), std::string(4000, 'x'));  // so compaction gets as far as naming its copy
  }
  auto open = [&] { (void)open_engine(path); };
  auto backup = [&] {
    if (auto e = open_engine(path)) (void)backup_store((*e)->store(), dir.path() + "/b.db");
  };
  auto compact = [&] {
    if (auto e = open_engine(path)) (void)compact_engine(**e);
  };
  struct Case {
    const char* what;
    TestPoint point;
    int nth;
    std::function<void()> body;
  };
  const std::vector<Case> cases = {
      {"open, before the lock", TestPoint::kStoreBeforeLock, 1, open},
      {"open, before LMDB's", TestPoint::kStoreBeforeEnvOpen, 1, open},
      {"in-memory open", TestPoint::kStoreBeforeEnvOpen, 1, [] { (void)open_in_memory(); }},
      {"backup, opening the copy", TestPoint::kStoreBeforeEnvOpen, 2, backup},
      {"backup, before the commit", TestPoint::kCopyBeforeCommit, 1, backup},
      {"backup, before the name", TestPoint::kCopyBeforeName, 1, backup},
      {"compaction, opening the copy", TestPoint::kStoreBeforeEnvOpen, 2, compact},
      {"compaction, before the commit", TestPoint::kCopyBeforeCommit, 1, compact},
      {"compaction, before the name", TestPoint::kCopyBeforeName, 1, compact},
  };
  const std::vector<std::string> entries = DirEntries(dir.path());
  const std::set<std::string> shared = SharedTempNames();
  for (const Case& c : cases) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      int reached = 0;
      ScopedTestHook kill_here(c.point, [&](std::string_view) {
        if (++reached == c.nth) raise(SIGKILL);
      });
      c.body();
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << c.what << ": the point was never reached (status " << status << ")";
    EXPECT_EQ(DirEntries(dir.path()), entries) << c.what;
    EXPECT_EQ(NamesLeftSince(shared), std::set<std::string>()) << c.what;
  }
  auto e = FileEngine(path);
  auto count = count_rows(e->store(), "c");
  ASSERT_TRUE(count.has_value());
  EXPECT_EQ(*count, 50u);
}

// No name is made by adding to the target's: a target or database name
// of the longest length the file system allows works. Past it, and on a
// loop of links, the backup fails as the file's creation would, before
// anything is copied.
TEST(CopyTest, NamesAtTheLengthLimitWorkAndLinkLoopsFailEarly) {
  TempDir dir;
  auto source = test::MemEngine();
  ASSERT_TRUE(insert(*source, "c", "k", Value::Int(1)).has_value());
  const std::string longest = std::string(NAME_MAX - 3, 'n') + ".db";
  ASSERT_TRUE(backup_store(source->store(), dir.path() + "/" + longest).has_value());
  {
    auto e = FileEngine(dir.path() + "/" + longest);
    ASSERT_NE(e, nullptr);
    FillAndEmpty(e->store(), std::string(4000, 'x'));
    auto shrank = compact_engine(*e);
    ASSERT_TRUE(shrank.has_value()) << shrank.error().Message();
    EXPECT_TRUE(*shrank);
    auto doc = get_document(e->store(), "c", "k");
    ASSERT_TRUE(doc.has_value() && doc->has_value());
  }
  EXPECT_EQ(DirEntries(dir.path()), std::vector<std::string>{longest});
  std::filesystem::create_symlink("loop-b", dir.path() + "/loop-a");
  std::filesystem::create_symlink("loop-a", dir.path() + "/loop-b");
  const std::vector<std::string> entries = DirEntries(dir.path());
  int copies = 0;
  ScopedTestHook count(TestPoint::kCopyBeforeCommit, [&](std::string_view) { ++copies; });
  auto too_long = backup_store(source->store(), dir.path() + "/" + longest + "x");
  ASSERT_FALSE(too_long.has_value());
  EXPECT_EQ(too_long.error().Message(), "database: I/O error: File name too long (os error 36)");
  auto loop = backup_store(source->store(), dir.path() + "/loop-a");
  ASSERT_FALSE(loop.has_value());
  EXPECT_EQ(loop.error().Message(), "database: I/O error: Too many levels of symbolic links (os error 40)");
  EXPECT_EQ(copies, 0);
  EXPECT_EQ(DirEntries(dir.path()), entries);
}
}  // namespace
}  // namespace pallix
