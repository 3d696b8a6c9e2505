// Nested write transactions, backup into a new file and compaction by copy
// and rename, including kills of a child process at every moment of an
// open, a backup and a compaction.

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <set>

#include <gtest/gtest.h>

#include "base/port.h"
#include "base/sha256.h"
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

// Files are made as on a file system without unnamed files (or as this
// one can) for the life of the object, and in children forked meanwhile.
struct UnnamedFiles {
  explicit UnnamedFiles(bool allowed) { port::AllowUnnamedFilesForTesting(allowed); }
  ~UnnamedFiles() { port::AllowUnnamedFilesForTesting(true); }
};

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
  // Also where the copies need staging names: the short ones.
  for (bool unnamed : {false, true}) {
    UnnamedFiles files(unnamed);
    std::filesystem::remove(dir.path() + "/" + longest);
    ASSERT_TRUE(backup_store(source->store(), dir.path() + "/" + longest).has_value());
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

// Files in the folder but the given ones.
std::vector<std::string> EntriesBut(const std::string& dir, const std::set<std::string>& known) {
  std::vector<std::string> names;
  for (const std::string& name : DirEntries(dir))
    if (!known.contains(name)) names.push_back(name);
  return names;
}

// Whether name is ".<of>.pallix-<kind>-" and 16 lowercase hex digits: the
// staging name of a copy made for the file named `of`.
bool IsStagingName(const std::string& name, const std::string& of, const std::string& kind) {
  const std::string prefix = "." + of + ".pallix-" + kind + "-";
  return name.size() == prefix.size() + 16 && name.starts_with(prefix) &&
         std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// The first 16 hex digits of SHA-256(name): the long staging names' part
// that stands for the file they are made for.
std::string NameDigest(const std::string& name) {
  uint8_t digest[32];
  Sha256(name, digest);
  std::string hex;
  for (int i = 0; i < 8; ++i) {
    hex += "0123456789abcdef"[digest[i] >> 4];
    hex += "0123456789abcdef"[digest[i] & 15];
  }
  return hex;
}

// The bytes of a small database file.
std::string StoreFileBytes() {
  TempDir dir;
  auto e = test::MemEngine();
  EXPECT_TRUE(insert(*e, "c", "k", Value::Int(1)).has_value());
  EXPECT_TRUE(backup_store(e->store(), dir.path() + "/s.db").has_value());
  return test::ReadFile(dir.path() + "/s.db");
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// Runs body in a child process and kills it the nth time it reaches point.
// Returns whether it was killed there (and not ended otherwise).
bool KillAt(TestPoint point, int nth, const std::function<void()>& body) {
  pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    int reached = 0;
    ScopedTestHook kill_here(point, [&](std::string_view) {
      if (++reached == nth) raise(SIGKILL);
    });
    body();
    _exit(0);
  }
  int status = 0;
  return waitpid(child, &status, 0) == child && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

int g_ready_fd = -1;

// In a PausedChild's body: tells the parent it got where it was meant to,
// and waits to be killed.
[[noreturn]] void ReadyAndWait() {
  (void)!write(g_ready_fd, "r", 1);
  for (;;) pause();
}

// A child process running body until body calls ReadyAndWait; the parent
// goes on from there (ready() tells whether it got there), and the child is
// killed by Kill or at the end of the scope.
class PausedChild {
 public:
  explicit PausedChild(const std::function<void()>& body) {
    int ready[2];
    if (pipe(ready) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      g_ready_fd = ready[1];
      body();
      _exit(3);
    }
    close(ready[1]);
    char c;
    ready_ = pid_ > 0 && read(ready[0], &c, 1) == 1;
    close(ready[0]);
  }
  ~PausedChild() { Kill(); }
  bool ready() const { return ready_; }
  void Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
};

// A copy killed after it got a name of its own (a compaction's between its
// staging name and the rename; every copy where the file system cannot
// make unnamed files) leaves that name, and only until the next open of
// the database (a compaction's) or the next backup to the same target (a
// backup's) removes it.
TEST(CopyTest, StagingFilesOfKilledCopiesGoAtTheNextOpenOrBackup) {
  TempDir dir;
  const std::string path = dir.path() + "/a.db";
  const std::string target = dir.path() + "/b.db";
  {
    auto e = FileEngine(path);
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(insert(*e, "c", "k" + std::to_string(i), Value::Int(i)).has_value());
    FillAndEmpty(e->store(), std::string(4000, 'x'));  // so compaction gets as far as naming its copy
  }
  const std::function<void()> compact = [&] {
    if (auto e = open_engine(path)) (void)compact_engine(**e);
  };
  const std::function<void()> backup = [&] {
    if (auto e = open_engine(path)) (void)backup_store((*e)->store(), target);
  };
  struct Case {
    const char* what;
    bool unnamed;
    TestPoint point;
    int nth;
    bool compaction;
  };
  const std::vector<Case> cases = {
      {"compaction, between the staging name and the rename", true, TestPoint::kCopyStaged, 1, true},
      {"named compaction copy, opening it", false, TestPoint::kStoreBeforeEnvOpen, 2, true},
      {"named compaction copy, before the commit", false, TestPoint::kCopyBeforeCommit, 1, true},
      {"named compaction copy, before the rename", false, TestPoint::kCopyStaged, 1, true},
      {"named backup copy, opening it", false, TestPoint::kStoreBeforeEnvOpen, 2, false},
      {"named backup copy, before the commit", false, TestPoint::kCopyBeforeCommit, 1, false},
      {"named backup copy, before its name", false, TestPoint::kCopyBeforeName, 1, false},
  };
  for (const Case& c : cases) {
    {
      UnnamedFiles unnamed(c.unnamed);
      ASSERT_TRUE(KillAt(c.point, c.nth, c.compaction ? compact : backup)) << c.what << ": the point was never reached";
    }
    std::vector<std::string> left = EntriesBut(dir.path(), {"a.db"});
    ASSERT_EQ(left.size(), 1u) << c.what;
    EXPECT_TRUE(IsStagingName(left[0], c.compaction ? "a.db" : "b.db", c.compaction ? "compact" : "backup"))
        << c.what << ": " << left[0];
    auto e = FileEngine(path);
    ASSERT_NE(e, nullptr);
    if (c.compaction) {
      EXPECT_EQ(DirEntries(dir.path()), std::vector<std::string>{"a.db"}) << c.what;
    } else {
      ASSERT_TRUE(backup_store(e->store(), target).has_value()) << c.what;
      EXPECT_EQ(DirEntries(dir.path()), (std::vector<std::string>{"a.db", "b.db"})) << c.what;
      std::filesystem::remove(target);
    }
    auto count = count_rows(e->store(), "c");
    ASSERT_TRUE(count.has_value());
    EXPECT_EQ(*count, 50u) << c.what;
  }
}

// An open removes a compaction's staging file only when its name is one
// of that database's two staging names exactly, nobody holds it locked
// and it is a database file (or empty: a copy killed before it was laid
// out). Nothing else is touched: files of the user's with such names,
// another database's copies, backups' copies, near misses, links,
// directories, a file another process holds locked.
TEST(CopyTest, OpenRemovesOnlyItsOwnUnlockedCompactionCopies) {
  TempDir dir;
  const std::string d = dir.path() + "/";
  const std::string store = StoreFileBytes();
  ASSERT_GT(store.size(), 4096u);
  { ASSERT_NE(FileEngine(d + "a.db"), nullptr); }
  const std::string hex = "0123456789abcdef";
  const std::vector<std::pair<std::string, std::string>> ours = {
      {".a.db.pallix-compact-" + hex, store},
      {".pallix-compact-" + NameDigest("a.db") + "-" + hex, store},
      {".a.db.pallix-compact-fedcba9876543210", ""},
  };
  const std::vector<std::pair<std::string, std::string>> theirs = {
      {".a.db.pallix-compact-1111111111111111", "a file of the user's"},
      {".a.db.pallix-compact-2222222222222222", "x" + store},
      {".b.db.pallix-compact-" + hex, store},
      {".pallix-compact-" + NameDigest("b.db") + "-" + hex, store},
      {".a.db.pallix-backup-" + hex, store},
      {".pallix-backup-" + NameDigest("a.db") + "-" + hex, store},
      {".a.db.pallix-compact-0123456789ABCDEF", store},
      {".a.db.pallix-compact-0123456789abcde", store},
      {".a.db.pallix-compact-0123456789abcdef0", store},
      {".a.db.pallix-compact-0123456789abcdef~", store},
      {"a.db.pallix-compact-" + hex, store},
      {"..a.db.pallix-compact-" + hex, store},
      {".a.db.pallix-compact-" + hex + ".db", store},
      {".pallix-tmp-1234-" + hex, store},
      {"elsewhere.db", store},
  };
  for (const auto& [name, bytes] : ours) WriteBytes(d + name, bytes);
  for (const auto& [name, bytes] : theirs) WriteBytes(d + name, bytes);
  std::filesystem::create_symlink("elsewhere.db", d + ".a.db.pallix-compact-3333333333333333");
  std::filesystem::create_directory(d + ".a.db.pallix-compact-4444444444444444");
  // A second name of a database of the user's, spelt like a copy: a file
  // with more than one name is never a copy.
  std::filesystem::create_hard_link(d + "elsewhere.db", d + ".a.db.pallix-compact-6666666666666666");
  const std::string locked = ".a.db.pallix-compact-5555555555555555";
  WriteBytes(d + locked, store);
  PausedChild holder([&] {
    int fd = open((d + locked).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) ReadyAndWait();
  });
  ASSERT_TRUE(holder.ready());

  std::set<std::string> kept = {"a.db", locked, ".a.db.pallix-compact-3333333333333333",
                                ".a.db.pallix-compact-4444444444444444", ".a.db.pallix-compact-6666666666666666"};
  for (const auto& [name, bytes] : theirs) kept.insert(name);
  auto expect_theirs_kept = [&](const char* after) {
    for (const auto& [name, bytes] : theirs) EXPECT_EQ(test::ReadFile(d + name), bytes) << name << " after " << after;
    EXPECT_TRUE(std::filesystem::is_symlink(d + ".a.db.pallix-compact-3333333333333333")) << after;
    EXPECT_TRUE(std::filesystem::is_directory(d + ".a.db.pallix-compact-4444444444444444")) << after;
    EXPECT_TRUE(test::ReadFile(d + ".a.db.pallix-compact-6666666666666666") == store) << after;
  };
  { ASSERT_NE(FileEngine(d + "a.db"), nullptr); }
  EXPECT_EQ(EntriesBut(dir.path(), kept), std::vector<std::string>{}) << "this database's stale copies stay";
  EXPECT_EQ(test::ReadFile(d + locked), store);
  expect_theirs_kept("an open while a copy is held");

  // Once its holder is gone, the locked copy is a stale one too.
  holder.Kill();
  { ASSERT_NE(FileEngine(d + "a.db"), nullptr); }
  kept.erase(locked);
  EXPECT_EQ(DirEntries(dir.path()), std::vector<std::string>(kept.begin(), kept.end()));
  expect_theirs_kept("the second open");
}

// A backup removes, before it makes its copy or refuses an existing
// target, the stale staging files of its own target and no other: a copy
// another backup to the same target is still making (locked) stays, and
// goes at the next backup once that backup was killed, even when that
// backup is refused; files of the user's with such names (a second name
// of a database among them), other targets' and compactions' copies stay
// throughout.
TEST(CopyTest, BackupRemovesOnlyItsTargetsOwnUnlockedStagingFiles) {
  TempDir dir;
  const std::string d = dir.path() + "/";
  const std::string target = d + "b.db";
  const std::string store = StoreFileBytes();
  const std::string hex = "0123456789abcdef";
  const std::vector<std::pair<std::string, std::string>> theirs = {
      {".b.db.pallix-backup-1111111111111111", "a file of the user's"},
      {".c.db.pallix-backup-" + hex, store},
      {".pallix-backup-" + NameDigest("c.db") + "-" + hex, store},
      {".b.db.pallix-compact-" + hex, store},
      {".b.db.pallix-backup-" + hex + "0", store},
      {"c.db", store},
  };
  for (const auto& [name, bytes] : theirs) WriteBytes(d + name, bytes);
  const std::string second_name = ".b.db.pallix-backup-6666666666666666";
  std::filesystem::create_hard_link(d + "c.db", d + second_name);
  WriteBytes(d + ".b.db.pallix-backup-" + hex, store);
  WriteBytes(d + ".pallix-backup-" + NameDigest("b.db") + "-" + hex, store);
  auto source = test::MemEngine();
  ASSERT_TRUE(insert(*source, "c", "k", Value::Int(1)).has_value());
  std::set<std::string> kept;
  for (const auto& [name, bytes] : theirs) kept.insert(name);
  kept.insert(second_name);
  auto expect_theirs_kept = [&](const char* after) {
    for (const auto& [name, bytes] : theirs) EXPECT_EQ(test::ReadFile(d + name), bytes) << name << " after " << after;
    EXPECT_TRUE(test::ReadFile(d + second_name) == store) << after;
  };

  UnnamedFiles named(false);
  PausedChild running([&] {
    auto e = open_in_memory();
    if (!e) return;
    ScopedTestHook pause_here(TestPoint::kCopyBeforeCommit, [](std::string_view) { ReadyAndWait(); });
    (void)backup_store((*e)->store(), target);
  });
  ASSERT_TRUE(running.ready());
  std::vector<std::string> copying = EntriesBut(dir.path(), kept);
  std::erase(copying, ".b.db.pallix-backup-" + hex);
  std::erase(copying, ".pallix-backup-" + NameDigest("b.db") + "-" + hex);
  ASSERT_EQ(copying.size(), 1u);
  EXPECT_TRUE(IsStagingName(copying[0], "b.db", "backup")) << copying[0];

  ASSERT_TRUE(backup_store(source->store(), target).has_value());
  kept.insert("b.db");
  kept.insert(copying[0]);
  EXPECT_EQ(DirEntries(dir.path()), std::vector<std::string>(kept.begin(), kept.end()));
  expect_theirs_kept("a backup while another one runs");

  // The killed backup's copy must not outlive the target the other one
  // made: a backup refused for that target still removes it.
  running.Kill();
  EXPECT_EQ(backup_store(source->store(), target).error().kind(), ErrorKind::kBackupTargetExists);
  kept.erase(copying[0]);
  EXPECT_EQ(DirEntries(dir.path()), std::vector<std::string>(kept.begin(), kept.end()));
  expect_theirs_kept("a backup refused after the other one was killed");
  std::filesystem::remove(target);
  ASSERT_TRUE(backup_store(source->store(), target).has_value());
  EXPECT_EQ(DirEntries(dir.path()), std::vector<std::string>(kept.begin(), kept.end()));
  expect_theirs_kept("a backup after the other one was killed");
  auto copy = Store::OpenFile(target);
  ASSERT_TRUE(copy.has_value());
  EXPECT_EQ(StoreRows(**copy), StoreRows(source->store()));
}

// A backup killed between the link that names its copy and the unlink of
// the copy's staging name (where the file system cannot rename without
// replacing) leaves the finished target under both names, made here by
// hand. The next backup to that target, though refused, removes the
// staging name, even while the target is open as a database; the target
// stays whole, and a staging name that is a second name of another file
// stays as ever. An open does the same for a compaction's staging name.
TEST(CopyTest, StagingNameOfTheTargetItselfGoes) {
  TempDir dir;
  const std::string d = dir.path() + "/";
  const std::string hex = "0123456789abcdef";
  auto source = test::MemEngine();
  ASSERT_TRUE(insert(*source, "c", "k", Value::Int(1)).has_value());
  ASSERT_TRUE(backup_store(source->store(), d + "b.db").has_value());
  std::filesystem::create_hard_link(d + "b.db", d + ".b.db.pallix-backup-" + hex);
  std::filesystem::create_hard_link(d + "b.db", d + ".pallix-backup-" + NameDigest("b.db") + "-" + hex);
  WriteBytes(d + "c.db", StoreFileBytes());
  const std::string theirs = ".b.db.pallix-backup-6666666666666666";
  std::filesystem::create_hard_link(d + "c.db", d + theirs);
  {
    auto open = Store::OpenFile(d + "b.db");
    ASSERT_TRUE(open.has_value());
    EXPECT_EQ(backup_store(source->store(), d + "b.db").error().kind(), ErrorKind::kBackupTargetExists);
  }
  EXPECT_EQ(DirEntries(dir.path()), (std::vector<std::string>{theirs, "b.db", "c.db"}));
  EXPECT_EQ(std::filesystem::hard_link_count(d + "c.db"), 2u);
  {
    auto copy = Store::OpenFile(d + "b.db");
    ASSERT_TRUE(copy.has_value());
    EXPECT_EQ(StoreRows(**copy), StoreRows(source->store()));
  }

  std::filesystem::create_hard_link(d + "b.db", d + ".b.db.pallix-compact-" + hex);
  { ASSERT_NE(FileEngine(d + "b.db"), nullptr); }
  EXPECT_EQ(DirEntries(dir.path()), (std::vector<std::string>{theirs, "b.db", "c.db"}));
  EXPECT_EQ(std::filesystem::hard_link_count(d + "b.db"), 1u);
}

}  // namespace
}  // namespace pallix
