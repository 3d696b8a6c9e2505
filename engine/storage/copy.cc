#include "storage/copy.h"

#include <dirent.h>
#include <fcntl.h>
#include <lmdb.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "base/port.h"
#include "storage/store_internal.h"

namespace pallix {

using store_internal::FromLmdb;

// Friend of Store and Txn: the raw LMDB handles a table copy needs.
struct StoreCopy {
  // Appends every row of the three tables of `from` to the empty tables of
  // `to`. Rows are copied as stored, long keys included: the source's LMDB
  // order is the order MDB_APPEND requires.
  static Status CopyTables(const Txn& from, WriteTxn& to) {
    for (int t = 0; t < 3; ++t) RETURN_IF_ERROR(CopyTable(from, to, t));
    return Ok();
  }

  static Status CopyTable(const Txn& from, WriteTxn& to, int table) {
    MDB_cursor* cur = nullptr;
    int rc = mdb_cursor_open(from.txn_, from.store_->dbi_[table], &cur);
    if (rc != 0) return Fail(FromLmdb(ErrorKind::kStorage, rc));
    MDB_val k, v;
    for (rc = mdb_cursor_get(cur, &k, &v, MDB_FIRST); rc == 0; rc = mdb_cursor_get(cur, &k, &v, MDB_NEXT)) {
      int put = mdb_put(to.txn_, to.store_->dbi_[table], &k, &v, MDB_APPEND);
      if (put != 0) {
        mdb_cursor_close(cur);
        return Fail(FromLmdb(ErrorKind::kStorage, to.store_->WriteFailure(put)));
      }
    }
    mdb_cursor_close(cur);
    if (rc != MDB_NOTFOUND) return Fail(FromLmdb(ErrorKind::kStorage, rc));
    return Ok();
  }

  static Result<std::unique_ptr<Store>> Open(int fd, std::string path) {
    return Store::OpenLockedFd(fd, std::move(path), StoreOptions{});
  }

  static int Fd(const Store& store) { return store.lock_fd_; }

  static void SetPath(Store& store, std::string path) { store.path_ = std::move(path); }
};

namespace {

EngineError DbIo(int err) { return EngineError::Database("I/O error: " + port::OsErrorText(err)); }
EngineError CompactIo(const std::string& what, int err) {
  return EngineError::Compaction(what + ": " + port::OsErrorText(err));
}

// Copies a snapshot of source into target and commits (a synced commit).
Status CopyAndCommit(Store& source, Store& target) {
  ASSIGN_OR_RETURN(ReadTxn read, source.BeginRead());
  ASSIGN_OR_RETURN(WriteTxn write, target.BeginWrite());
  RETURN_IF_ERROR(StoreCopy::CopyTables(read, write));
  if (auto hook = store_internal::TestHooks().before_copy_commit) hook(target.path());
  return write.Commit();
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Removes path when it still names the file open on fd.
void RemoveIfSame(const std::string& path, int fd) {
  struct stat at_path, open_file;
  if (fd < 0 || fstat(fd, &open_file) != 0 || stat(path.c_str(), &at_path) != 0) return;
  if (SameFile(at_path, open_file)) unlink(path.c_str());
}

// The directory part of path with its slash ("" for a bare name), and the
// directory to open for it.
std::string DirPrefix(const std::string& path) { return path.substr(0, path.rfind('/') + 1); }
std::string DirOf(const std::string& path) {
  std::string dir = DirPrefix(path);
  return dir.empty() ? "." : dir;
}

// Syncs the directory holding path, so that a name made or changed there
// survives a power cut. Returns 0 or the errno value.
int SyncDirOf(const std::string& path) {
  int fd = open(DirOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  int err = fsync(fd) == 0 ? 0 : errno;
  close(fd);
  return err;
}

// The copies are made under the target's name followed by one of these and
// six letters or digits (mkostemp's pattern), beside the target.
constexpr std::string_view kCompactTag = ".compact-";
constexpr std::string_view kBackupTag = ".backup-";
constexpr size_t kUniqueChars = 6;

bool IsCopyName(std::string_view name, std::string_view prefix) {
  if (name.size() != prefix.size() + kUniqueChars || !name.starts_with(prefix)) return false;
  // Not isalnum: an embedding interpreter sets the locale.
  return std::all_of(name.begin() + prefix.size(), name.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
  });
}

// Removes file when it is a regular file that nobody holds locked. A copy
// being made is locked by its maker right after its creation, and one
// whose maker was killed is locked by nobody.
void RemoveIfUnlocked(const std::string& file) {
  struct stat named;
  if (lstat(file.c_str(), &named) != 0 || !S_ISREG(named.st_mode)) return;
  int fd = open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  struct stat opened;
  if (fstat(fd, &opened) == 0 && SameFile(named, opened) && flock(fd, LOCK_EX | LOCK_NB) == 0)
    RemoveIfSame(file, fd);
  close(fd);
}

// Removes the unlocked copies made for `path` under `tag` that a killed
// process left behind.
void RemoveLeftovers(const std::string& path, std::string_view tag) {
  const std::string dir = DirPrefix(path);
  const std::string prefix = path.substr(dir.size()) + std::string(tag);
  std::vector<std::string> found;
  DIR* d = opendir(DirOf(path).c_str());
  if (d == nullptr) return;
  while (const dirent* entry = readdir(d))
    if (IsCopyName(entry->d_name, prefix)) found.push_back(dir + entry->d_name);
  closedir(d);
  for (const std::string& file : found) RemoveIfUnlocked(file);
}

// Where a backup to path is made: the name a symbolic link at path finally
// leads to (a relative link read from the link's own directory), or path
// itself. A dangling link's end is where the backup appears, as a file
// created through the link would.
std::string FollowLinks(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
    std::string to(4096, '\0');
    ssize_t n = readlink(path.c_str(), to.data(), to.size());
    if (n <= 0 || static_cast<size_t>(n) == to.size()) break;
    to.resize(static_cast<size_t>(n));
    path = to.front() == '/' ? to : DirPrefix(path) + to;
  }
  return path;
}

// A copy of a database in a file of its own at `temp`, open and locked;
// `probe` is a second descriptor of it, which recognises the file after
// the store is gone.
struct Copy {
  std::unique_ptr<Store> store;
  std::string temp;
  int probe = -1;

  Copy() = default;
  Copy(Copy&& other) noexcept
      : store(std::move(other.store)), temp(std::move(other.temp)), probe(std::exchange(other.probe, -1)) {}
  // The copy is closed and, unless kept, its file removed (when `temp`
  // still names it: a backup moved into place is not there any more).
  ~Copy() {
    store.reset();
    if (probe < 0) return;
    RemoveIfSame(temp, probe);
    close(probe);
  }
  std::unique_ptr<Store> Keep() {
    close(std::exchange(probe, -1));
    return std::move(store);
  }
};

// Creates a new file beside path under a name of its own (permission bits
// 0666 before the process's file-creation mask, as a database file opened
// by name gets) and locks it. Errors: Database.
Result<Copy> CreateBackupFile(const std::string& path) {
  Copy copy;
  const std::string prefix = path + std::string(kBackupTag);
  static constexpr char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 64; ++attempt) {
    port::RandomSeed seed = port::DrawRandomSeed();
    copy.temp = prefix;
    for (size_t i = 0; i < kUniqueChars; ++i, seed.k0 /= 62) copy.temp += kChars[seed.k0 % 62];
    fd = open(copy.temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return Fail(DbIo(errno));
  }
  if (fd < 0) return Fail(DbIo(EEXIST));
  copy.probe = dup(fd);
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    close(fd);
    return Fail(EngineError::Database("Database already open. Cannot acquire lock."));
  }
  ASSIGN_OR_RETURN(copy.store, StoreCopy::Open(fd, copy.temp));
  return copy;
}

}  // namespace

// The target is built in a file of its own beside it and given the
// target's name only once its commit is synced, by a rename that never
// replaces a file: a backup killed part-way leaves no target (which a
// retry would refuse), only its unfinished file, which the next backup to
// the same target removes; and a target that appears meanwhile is never
// written over.
Status backup_store(Store& source, const std::string& path) {
  if (path.find('\0') != std::string::npos)
    return Fail(EngineError::Database("I/O error: file name contained an unexpected NUL byte"));
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return Fail(EngineError::BackupTargetExists(path));
  const std::string target = FollowLinks(path);
  RemoveLeftovers(target, kBackupTag);
  ASSIGN_OR_RETURN(Copy copy, CreateBackupFile(target));
  RETURN_IF_ERROR(CopyAndCommit(source, *copy.store));
  if (int err = port::RenameNoReplace(copy.temp, target); err != 0)
    return Fail(err == EEXIST ? EngineError::BackupTargetExists(path) : DbIo(err));
  if (int err = SyncDirOf(target); err != 0) {
    // The backup might not survive a power cut: it is not made.
    RemoveIfSame(target, copy.probe);
    return Fail(DbIo(err));
  }
  return Ok();
}

namespace {

// Creates the file beside path exclusively (with the database's mode),
// locks it and copies a snapshot of `store` into it with a synced commit.
Result<Copy> CopyBeside(Store& store, const std::string& path, mode_t mode) {
  Copy copy;
  copy.temp = path + std::string(kCompactTag) + std::string(kUniqueChars, 'X');
  int fd = mkostemp(copy.temp.data(), O_CLOEXEC);
  if (fd < 0) return Fail(CompactIo("create " + copy.temp, errno));
  copy.probe = dup(fd);
  fchmod(fd, mode & 07777);
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    close(fd);
    return Fail(EngineError::Compaction("the new file is locked by another opener: " + copy.temp));
  }
  Result<std::unique_ptr<Store>> opened = StoreCopy::Open(fd, copy.temp);
  if (!opened) return Fail(EngineError::Compaction(opened.error().detail()));
  copy.store = std::move(*opened);
  // Whatever step of the copy fails (a read snapshot, a row, the commit on
  // a full disk), the compaction failed: the caller hears one kind of error
  // with the store's text, and the database is as it was.
  if (Status copied = CopyAndCommit(store, *copy.store); !copied)
    return Fail(EngineError::Compaction(copied.error().detail()));
  return copy;
}

}  // namespace

namespace store_internal {

void RemoveCompactionLeftovers(const std::string& path) { RemoveLeftovers(path, kCompactTag); }

}  // namespace store_internal

Result<std::unique_ptr<Store>> compact_store(Store& store) {
  if (store.in_memory()) return std::unique_ptr<Store>();
  const std::string& path = store.path();
  struct stat old_st, at_path, new_st;
  if (fstat(StoreCopy::Fd(store), &old_st) != 0) return Fail(CompactIo("stat", errno));
  if (stat(path.c_str(), &at_path) != 0 || !SameFile(old_st, at_path))
    return Fail(EngineError::Compaction("the database file was moved or replaced since it was opened: " + path));
  ASSIGN_OR_RETURN(Copy copy, CopyBeside(store, path, old_st.st_mode));
  if (fstat(copy.probe, &new_st) != 0 || new_st.st_size >= old_st.st_size) return std::unique_ptr<Store>();
  // The copy stays locked across the rename: an opener of the path meets
  // the old file (locked by `store`) or the new one (locked by the copy).
  if (rename(copy.temp.c_str(), path.c_str()) != 0) return Fail(CompactIo("rename", errno));
  std::unique_ptr<Store> packed = copy.Keep();
  StoreCopy::SetPath(*packed, path);
  // The rename is done; a failed directory sync only means it might not
  // survive a power cut, and the old store cannot take its place again.
  (void)SyncDirOf(path);
  return packed;
}

}  // namespace pallix
