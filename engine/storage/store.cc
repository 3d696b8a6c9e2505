#include "storage/store.h"

#include <fcntl.h>
#include <lmdb.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/port.h"
#include "storage/store_internal.h"

namespace pallix {

namespace {

constexpr uint64_t kDefaultFileMap = uint64_t{256} << 30;    // 256 GiB of address space
constexpr uint64_t kDefaultMemoryMap = uint64_t{64} << 30;   // bounded by RAM anyway
constexpr unsigned kMaxReaders = 1024;
constexpr size_t kIdleReaderCap = 16;

const char* const kTableNames[3] = {"records", "catalog", "meta"};

BlockingWaitHooks g_wait_hooks;

std::string OsErrorText(int err) { return port::OsErrorText(err); }

}  // namespace

namespace store_internal {

// The one place where LMDB return codes become engine errors.
EngineError FromLmdb(ErrorKind kind, int rc) {
  std::string text = mdb_strerror(rc);
  switch (kind) {
    case ErrorKind::kDatabase: return EngineError::Database(text);
    case ErrorKind::kTransaction: return EngineError::Transaction(text);
    case ErrorKind::kTable: return EngineError::Table(text);
    case ErrorKind::kCommit: return EngineError::Commit(text);
    case ErrorKind::kCompaction: return EngineError::Compaction(text);
    default: return EngineError::Storage(text);
  }
}

EngineError InjectedFault(ErrorKind kind) {
  return kind == ErrorKind::kCommit ? EngineError::Commit("injected fault")
                                    : kind == ErrorKind::kTransaction ? EngineError::Transaction("injected fault")
                                                                      : EngineError::Storage("injected fault");
}

}  // namespace store_internal

using store_internal::FromLmdb;
using store_internal::InjectedFault;

void SetBlockingWaitHooks(BlockingWaitHooks hooks) { g_wait_hooks = hooks; }

// ------------------------------------------------------------------ Store

Result<std::unique_ptr<Store>> Store::OpenEnv(const std::string& path, unsigned flags, StoreOptions options) {
  std::unique_ptr<Store> store(new Store());
  int rc = mdb_env_create(&store->env_);
  if (rc != 0) return Fail(FromLmdb(ErrorKind::kDatabase, rc));
  store->map_size_ = options.map_size;
  store->fixed_map_size_ = options.fixed_map_size;
  mdb_env_set_maxdbs(store->env_, 4);
  mdb_env_set_maxreaders(store->env_, kMaxReaders);
  // Reserve address space; shrink the request if the system refuses it.
  for (uint64_t size = store->map_size_;; size /= 4) {
    rc = mdb_env_set_mapsize(store->env_, size);
    if (rc == 0) rc = mdb_env_open(store->env_, path.c_str(), flags, 0666);
    if (rc != ENOMEM || size < (uint64_t{64} << 20) || store->fixed_map_size_) break;
    mdb_env_close(store->env_);
    store->env_ = nullptr;
    if ((rc = mdb_env_create(&store->env_)) != 0) break;
    mdb_env_set_maxdbs(store->env_, 4);
    mdb_env_set_maxreaders(store->env_, kMaxReaders);
    store->map_size_ = size / 4;
  }
  // LMDB created "<path>-lock" for its reader table and writer mutex. Our
  // exclusive lock (or the private directory) proves nobody else can share
  // them, so the file is removed at once: the user sees one file.
  unlink((path + "-lock").c_str());
  if (rc != 0) return Fail(FromLmdb(ErrorKind::kDatabase, rc));

  MDB_txn* txn = nullptr;
  rc = mdb_txn_begin(store->env_, nullptr, 0, &txn);
  if (rc != 0) return Fail(FromLmdb(ErrorKind::kDatabase, rc));
  for (int t = 0; t < 3; ++t) {
    MDB_dbi dbi;
    rc = mdb_dbi_open(txn, kTableNames[t], MDB_CREATE, &dbi);
    if (rc != 0) {
      mdb_txn_abort(txn);
      return Fail(FromLmdb(ErrorKind::kTable, rc));
    }
    store->dbi_[t] = dbi;
  }
  rc = mdb_txn_commit(txn);
  if (rc != 0) return Fail(FromLmdb(ErrorKind::kDatabase, rc));
  return store;
}

Result<std::unique_ptr<Store>> Store::OpenFile(const std::string& path, StoreOptions options) {
  if (path.find('\0') != std::string::npos)
    return Fail(EngineError::Database("I/O error: file name contained an unexpected NUL byte"));
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return Fail(EngineError::Database("I/O error: " + OsErrorText(errno)));
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int err = errno;
    if (err == EWOULDBLOCK) {
      close(fd);
      return Fail(EngineError::Database("Database already open. Cannot acquire lock."));
    }
    // A file system without lock support: use the file unlocked.
    if (err != ENOLCK && err != EOPNOTSUPP && err != ENOSYS && err != EINVAL) {
      close(fd);
      return Fail(EngineError::Database("I/O error: " + OsErrorText(err)));
    }
  }
  if (options.map_size == 0) options.map_size = kDefaultFileMap;
  auto store = OpenEnv(path, MDB_NOSUBDIR | MDB_NOTLS, options);
  if (!store) {
    close(fd);
    return store;
  }
  (*store)->lock_fd_ = fd;
  return store;
}

Result<std::unique_ptr<Store>> Store::OpenInMemory(StoreOptions options) {
  std::string base = "/dev/shm";
  struct stat st;
  if (stat(base.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || access(base.c_str(), W_OK | X_OK) != 0) {
    const char* tmp = getenv("TMPDIR");
    base = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
  }
  std::string dir = base + "/pallix-mem-XXXXXX";
  if (mkdtemp(dir.data()) == nullptr) return Fail(EngineError::Database("I/O error: " + OsErrorText(errno)));
  std::string path = dir + "/db";
  if (options.map_size == 0) options.map_size = kDefaultMemoryMap;
  auto store = OpenEnv(path, MDB_NOSUBDIR | MDB_NOTLS | MDB_NOSYNC | MDB_NOMETASYNC, options);
  // The environment keeps its descriptors and mappings; the names go now.
  unlink(path.c_str());
  unlink((path + "-lock").c_str());
  rmdir(dir.c_str());
  if (store) (*store)->in_memory_ = true;
  return store;
}

Store::~Store() {
  for (MDB_txn* txn : idle_readers_) mdb_txn_abort(txn);
  idle_readers_.clear();
  if (env_ != nullptr) mdb_env_close(env_);
  // The file lock goes last: until the environment is closed, nobody else
  // may open the file.
  if (lock_fd_ >= 0) close(lock_fd_);
}

void Store::MaybeGrowMap() {
  if (fixed_map_size_) return;
  MDB_envinfo info;
  MDB_stat stat;
  if (mdb_env_info(env_, &info) != 0 || mdb_env_stat(env_, &stat) != 0) return;
  uint64_t used = (static_cast<uint64_t>(info.me_last_pgno) + 1) * stat.ms_psize;
  if (used * 2 <= map_size_) return;
  std::lock_guard<std::mutex> lock(readers_mu_);
  if (live_txns_.load() != 0) return;  // resizing needs every transaction finished
  for (MDB_txn* txn : idle_readers_) mdb_txn_abort(txn);
  idle_readers_.clear();
  if (mdb_env_set_mapsize(env_, map_size_ * 2) == 0) map_size_ *= 2;
}

Result<ReadTxn> Store::BeginRead() {
  if (faults_ != nullptr && faults_->fail_begin_read) return Fail(InjectedFault(ErrorKind::kTransaction));
  MDB_txn* txn = nullptr;
  {
    std::lock_guard<std::mutex> lock(readers_mu_);
    if (!idle_readers_.empty()) {
      txn = idle_readers_.back();
      idle_readers_.pop_back();
    }
    live_txns_.fetch_add(1);
  }
  int rc = txn != nullptr ? mdb_txn_renew(txn) : mdb_txn_begin(env_, nullptr, MDB_RDONLY, &txn);
  if (rc != 0) {
    if (txn != nullptr) mdb_txn_abort(txn);
    live_txns_.fetch_sub(1);
    return Fail(FromLmdb(ErrorKind::kTransaction, rc));
  }
  return ReadTxn(this, txn);
}

void Store::ReleaseReader(MDB_txn* txn) {
  mdb_txn_reset(txn);
  std::lock_guard<std::mutex> lock(readers_mu_);
  live_txns_.fetch_sub(1);
  if (idle_readers_.size() < kIdleReaderCap) {
    idle_readers_.push_back(txn);
  } else {
    mdb_txn_abort(txn);
  }
}

Result<WriteTxn> Store::BeginWrite() {
  if (faults_ != nullptr && faults_->fail_begin_write) return Fail(InjectedFault(ErrorKind::kTransaction));
  if (writer_thread_.load() == std::this_thread::get_id())
    return Fail(EngineError::Transaction("a write transaction is already open on this thread"));
  std::unique_lock<std::mutex> slot(writer_mu_, std::try_to_lock);
  if (!slot) {
    void* token = g_wait_hooks.before ? g_wait_hooks.before() : nullptr;
    slot.lock();
    // An embedder may end this thread inside after() by unwinding it (an
    // interpreter at exit does); `slot` then frees the writer slot.
    if (g_wait_hooks.after) g_wait_hooks.after(token);
  }
  slot.release();
  writer_thread_.store(std::this_thread::get_id());
  MaybeGrowMap();
  MDB_txn* txn = nullptr;
  int rc = mdb_txn_begin(env_, nullptr, 0, &txn);
  if (rc != 0) {
    ReleaseWriter();
    return Fail(FromLmdb(ErrorKind::kTransaction, rc));
  }
  live_txns_.fetch_add(1);
  return WriteTxn(this, txn);
}

std::optional<uint64_t> Store::KnownCollectionId(std::string_view collection) const {
  std::lock_guard<std::mutex> lock(ids_mu_);
  auto it = committed_ids_.find(collection);
  if (it == committed_ids_.end()) return std::nullopt;
  return it->second;
}

void Store::RememberCollectionId(std::string_view collection, uint64_t id) {
  std::lock_guard<std::mutex> lock(ids_mu_);
  committed_ids_.emplace(std::string(collection), id);
}

void Store::ReleaseWriter() {
  writer_thread_.store(std::thread::id());
  writer_mu_.unlock();
}

// ------------------------------------------------------------------ Txn

Txn::Txn(Txn&& other) noexcept
    : store_(other.store_), txn_(std::exchange(other.txn_, nullptr)), snapshot_(other.snapshot_) {}

ReadTxn::~ReadTxn() {
  if (txn_ != nullptr) store_->ReleaseReader(txn_);
}

WriteTxn::~WriteTxn() {
  if (txn_ == nullptr) return;
  mdb_txn_abort(txn_);
  store_->live_txns_.fetch_sub(1);
  store_->ReleaseWriter();
}

Status WriteTxn::Commit() {
  MDB_txn* txn = std::exchange(txn_, nullptr);
  StoreFaults* f = store_->faults();
  int rc;
  if (f != nullptr && f->fail_commit) {
    mdb_txn_abort(txn);
    rc = -1;
  } else {
    rc = mdb_txn_commit(txn);  // frees the transaction whatever the outcome
  }
  store_->live_txns_.fetch_sub(1);
  store_->ReleaseWriter();
  if (rc == -1) return Fail(InjectedFault(ErrorKind::kCommit));
  if (rc != 0) return Fail(FromLmdb(ErrorKind::kCommit, rc));
  return Ok();
}

}  // namespace pallix
