#include "storage/copy.h"

#include <fcntl.h>
#include <lmdb.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

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

// Opens the backup target: created exclusively when absent. A file that
// was created in the meantime (or the end of a dangling link) is used only
// when it is empty and not held by an opener. *created tells which.
Result<int> OpenTarget(const std::string& path, bool* created) {
  *created = true;
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0 && errno == EEXIST) {
    *created = false;
    fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  }
  if (fd < 0) return Fail(DbIo(errno));
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    close(fd);
    return Fail(EngineError::BackupTargetExists(path));
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_size != 0) {
    close(fd);
    return Fail(EngineError::BackupTargetExists(path));
  }
  return fd;
}

Status FsyncDirOf(const std::string& path) {
  std::string dir = path.substr(0, path.rfind('/') + 1);
  if (dir.empty()) dir = ".";
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Fail(CompactIo("open directory", errno));
  int rc = fsync(fd);
  int err = errno;
  close(fd);
  if (rc != 0) return Fail(CompactIo("sync directory", err));
  return Ok();
}

}  // namespace

Status backup_store(Store& source, const std::string& path) {
  if (path.find('\0') != std::string::npos)
    return Fail(EngineError::Database("I/O error: file name contained an unexpected NUL byte"));
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return Fail(EngineError::BackupTargetExists(path));
  bool created = false;
  ASSIGN_OR_RETURN(int fd, OpenTarget(path, &created));
  // A second descriptor, kept to recognise our file at removal time after
  // the store (which owns fd) is gone.
  int probe = dup(fd);
  Result<std::unique_ptr<Store>> target = StoreCopy::Open(fd, path);
  Status copied = target ? CopyAndCommit(source, **target) : Status(Fail(target.error()));
  if (target) target->reset();
  if (!copied && created) RemoveIfSame(path, probe);
  if (probe >= 0) close(probe);
  return copied;
}

namespace {

// A packed copy of a database beside it, at `temp`, open and locked; `probe`
// is a second descriptor of it, which recognises the file after the store
// is gone.
struct Copy {
  std::unique_ptr<Store> store;
  std::string temp;
  int probe = -1;

  Copy() = default;
  Copy(Copy&& other) noexcept
      : store(std::move(other.store)), temp(std::move(other.temp)), probe(std::exchange(other.probe, -1)) {}
  // Unless kept, the copy is closed and its file removed.
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

// Creates the file beside path exclusively (with the database's mode),
// locks it and copies a snapshot of `store` into it with a synced commit.
Result<Copy> CopyBeside(Store& store, const std::string& path, mode_t mode) {
  Copy copy;
  copy.temp = path + ".compact-XXXXXX";
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
  (void)FsyncDirOf(path);
  return packed;
}

}  // namespace pallix
