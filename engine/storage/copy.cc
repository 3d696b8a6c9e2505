#include "storage/copy.h"

#include <fcntl.h>
#include <lmdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/port.h"
#include "base/test_point.h"
#include "storage/file_check.h"
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

// Copies a snapshot of source into target and commits (a synced commit);
// `for_path` names the file the copy is for.
Status CopyAndCommit(Store& source, Store& target, const std::string& for_path) {
  ASSIGN_OR_RETURN(ReadTxn read, source.BeginRead());
  ASSIGN_OR_RETURN(WriteTxn write, target.BeginWrite());
  RETURN_IF_ERROR(StoreCopy::CopyTables(read, write));
  ReachTestPoint(TestPoint::kCopyBeforeCommit, for_path);
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

// Where a backup to path is made: the name a symbolic link at path finally
// leads to (a relative link read from the link's own directory), or path
// itself. A dangling link's end is where the backup appears, as a file
// created through the link would. Errors: Database (ELOOP past as many
// links as the system follows).
Result<std::string> FollowLinks(std::string path) {
  constexpr int kMaxLinks = 40;  // Linux's limit
  for (int hops = 0; hops <= kMaxLinks; ++hops) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::string to(4096, '\0');
    ssize_t n = readlink(path.c_str(), to.data(), to.size());
    if (n <= 0 || static_cast<size_t>(n) == to.size()) return path;
    to.resize(static_cast<size_t>(n));
    path = to.front() == '/' ? to : DirPrefix(path) + to;
  }
  return Fail(DbIo(ELOOP));
}

// A copy of a database being made for the file at a path (port.h's
// PendingFile: without a name, or under a staging name, and locked), open
// as Store::OpenFile leaves a file. The store goes first, then the file,
// which leaves nothing unless it was given its name.
struct Copy {
  port::PendingFile file;
  std::unique_ptr<Store> store;
};

// Makes the copy's file for `target` with the permission bits mode (before
// the process's file-creation mask) and opens an empty store on it.
// Errors: Database.
Result<Copy> MakeCopy(const std::string& target, port::Staging kind, unsigned mode) {
  Copy copy;
  if (int err = port::PendingFile::Create(target, kind, mode, &copy.file); err != 0) return Fail(DbIo(err));
  // The store keeps a descriptor of its own; the lock PendingFile took is
  // on the open file both share, and goes when both are closed.
  int fd = fcntl(copy.file.fd(), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return Fail(DbIo(errno));
  ASSIGN_OR_RETURN(copy.store, StoreCopy::Open(fd, ""));
  return copy;
}

}  // namespace

// The target is built in a file without a name in the target's directory
// and given its name only once its commit is synced, by a link that never
// replaces a file: a backup killed part-way leaves nothing at all, and a
// target that appears meanwhile is never written over.
Status backup_store(Store& source, const std::string& path) {
  if (path.find('\0') != std::string::npos)
    return Fail(EngineError::Database("I/O error: file name contained an unexpected NUL byte"));
  struct stat st;
  const bool exists = stat(path.c_str(), &st) == 0;
  // Any failure but "no such file" (a loop of links, a name too long, a
  // file where a directory should be, a directory that may not be
  // searched) is one the target's creation would meet as well: reported
  // now, before anything is copied.
  if (!exists && errno != ENOENT) return Fail(DbIo(errno));
  Result<std::string> followed = FollowLinks(path);
  // A backup to this target that was killed while its copy had a staging
  // name left it there; one still running holds its copy locked. Removed
  // before an existing target is refused too: when two backups ran to one
  // target and the other one made it, every later backup to that target
  // is refused, and the killed one's copy would otherwise stay for good.
  if (followed) (void)port::RemoveStaleStaging(*followed, port::Staging::kBackup, store_internal::MayBeStoreFile);
  if (exists) return Fail(EngineError::BackupTargetExists(path));
  ASSIGN_OR_RETURN(std::string target, std::move(followed));
  ASSIGN_OR_RETURN(Copy copy, MakeCopy(target, port::Staging::kBackup, 0666));
  RETURN_IF_ERROR(CopyAndCommit(source, *copy.store, target));
  ReachTestPoint(TestPoint::kCopyBeforeName, target);
  if (int err = copy.file.Link(target); err != 0)
    return Fail(err == EEXIST ? EngineError::BackupTargetExists(path) : DbIo(err));
  if (int err = SyncDirOf(target); err != 0) {
    // The backup might not survive a power cut: it is not made.
    RemoveIfSame(target, copy.file.fd());
    return Fail(DbIo(err));
  }
  return Ok();
}

namespace {

// Makes the copy beside path (with the database's mode) and copies a
// snapshot of `store` into it with a synced commit.
Result<Copy> CopyBeside(Store& store, const std::string& path, mode_t mode) {
  Result<Copy> made = MakeCopy(path, port::Staging::kCompact, mode & 07777);
  if (!made) return Fail(EngineError::Compaction(made.error().detail()));
  // fchmod: the file-creation mask must not take bits the database had.
  if (fchmod(made->file.fd(), mode & 07777) != 0) return Fail(CompactIo("chmod", errno));
  // Whatever step of the copy fails (a read snapshot, a row, the commit on
  // a full disk), the compaction failed: the caller hears one kind of error
  // with the store's text, and the database is as it was.
  if (Status copied = CopyAndCommit(store, *made->store, path); !copied)
    return Fail(EngineError::Compaction(copied.error().detail()));
  return made;
}

}  // namespace

Result<std::unique_ptr<Store>> compact_store(Store& store) {
  if (store.in_memory()) return std::unique_ptr<Store>();
  const std::string& path = store.path();
  struct stat old_st, at_path, new_st;
  if (fstat(StoreCopy::Fd(store), &old_st) != 0) return Fail(CompactIo("stat", errno));
  if (stat(path.c_str(), &at_path) != 0 || !SameFile(old_st, at_path))
    return Fail(EngineError::Compaction("the database file was moved or replaced since it was opened: " + path));
  ASSIGN_OR_RETURN(Copy copy, CopyBeside(store, path, old_st.st_mode));
  if (fstat(copy.file.fd(), &new_st) != 0 || new_st.st_size >= old_st.st_size) return std::unique_ptr<Store>();
  ReachTestPoint(TestPoint::kCopyBeforeName, path);
  // The copy stays locked across the rename: an opener of the path meets
  // the old file (locked by `store`) or the new one (locked by the copy).
  if (int err = copy.file.Replace(path); err != 0) return Fail(CompactIo("rename", err));
  std::unique_ptr<Store> packed = std::move(copy.store);
  StoreCopy::SetPath(*packed, path);
  // The rename is done; a failed directory sync only means it might not
  // survive a power cut, and the old store cannot take its place again.
  (void)SyncDirOf(path);
  return packed;
}

}  // namespace pallix
