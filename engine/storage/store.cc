#include "storage/store.h"

#include <fcntl.h>
#include <lmdb.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/lock.h"
#include "base/port.h"
#include "base/test_point.h"
#include "storage/file_check.h"
#include "storage/store_internal.h"

namespace pallix {

namespace {

constexpr uint64_t kDefaultFileMap = uint64_t{256} << 30;    // 256 GiB of address space
constexpr uint64_t kDefaultMemoryMap = uint64_t{64} << 30;   // bounded by RAM anyway
constexpr unsigned kMaxReaders = 1024;
constexpr size_t kIdleReaderCap = 16;

// LMDB writes a commit in chunks of at most this many pages; a chunk the
// file system cuts short leaves less room than one chunk behind.
constexpr uint64_t kCommitChunkPages = 64;

const char* const kTableNames[3] = {"records", "catalog", "meta"};

BlockingWaitHooks g_wait_hooks;

EngineError IoError(int err) { return EngineError::Database("I/O error: " + port::OsErrorText(err)); }

// Where a store's private files go: /dev/shm (memory) when usable, else
// $TMPDIR, else /tmp.
std::string PrivateFileDir() {
  struct stat st;
  if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK | X_OK) == 0) return "/dev/shm";
  const char* tmp = getenv("TMPDIR");
  return (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
}

// Closes a descriptor unless released.
struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) close(fd);
  }
  int release() { return std::exchange(fd, -1); }
};

// Opens (creating, never truncating) and locks the file at path.
Result<int> OpenAndLock(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return Fail(IoError(errno));
  FdCloser closer{fd};
  ReachTestPoint(TestPoint::kStoreBeforeLock, path);
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int err = errno;
    if (err == EWOULDBLOCK) return Fail(EngineError::Database("Database already open. Cannot acquire lock."));
    // A file system without lock support: use the file unlocked.
    if (err != ENOLCK && err != EOPNOTSUPP && err != ENOSYS && err != EINVAL) return Fail(IoError(err));
  }
  return closer.release();
}

// Whether path names the file open on fd.
bool PathNamesFile(const std::string& path, int fd) {
  struct stat at_path, open_file;
  return fstat(fd, &open_file) == 0 && stat(path.c_str(), &at_path) == 0 && at_path.st_dev == open_file.st_dev &&
         at_path.st_ino == open_file.st_ino;
}

// Attempts before an opener that keeps meeting replaced files gives up.
constexpr int kOpenAttempts = 8;

// Opens and locks the database file. The lock protects the file the path
// names only if the path still names it once the lock is held: compaction
// renames its packed copy over the database file and then closes the old
// file, whose lock goes with it. An opener that opened the path just
// before that rename would take the old file's lock and write to a file
// nobody can reach any more. So the path is checked after locking and,
// when it names another file by then, opened again: the new file is held
// by the compacting opener, and the retry fails as any second opener does.
Result<int> OpenLocked(const std::string& path) {
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    ASSIGN_OR_RETURN(int fd, OpenAndLock(path));
    if (PathNamesFile(path, fd)) return fd;
    close(fd);
  }
  return Fail(EngineError::Database("Database already open. Cannot acquire lock."));
}

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

const char* TableName(StoreTable table) { return kTableNames[static_cast<int>(table)]; }

}  // namespace store_internal

using store_internal::FromLmdb;
using store_internal::InjectedFault;

void SetBlockingWaitHooks(BlockingWaitHooks hooks) { g_wait_hooks = hooks; }

// ------------------------------------------------------------ waits

namespace {

// What a waiting thread waits for: the holder slot of a lock, or the
// turn_owner_ of a store whose turn it waits for; and whether the wait
// gives way rather than close a cycle.
struct Wait {
  const std::atomic<std::thread::id>* owner;
  bool gives_way;
};

// Every thread that waits for a turn or through Store::WaitForLock. An
// entry lives only while its thread waits, so the slot it points at (in
// the store or lock that thread waits for) is alive while it is listed.
// Entries are added, checked and removed under g_waits_mu, so the checks
// of two waits that would close one cycle between them are made one after
// the other, and the second sees the first.
std::mutex g_waits_mu;
std::unordered_map<std::thread::id, Wait> g_waits;

// A chain longer than this is not followed (it cannot be a cycle that a
// check let through; it is cut short to keep the check bounded).
constexpr int kMaxWaitChain = 64;

// Whether the chain from `holder` (the holder of what this thread would
// wait for, through the holders of what each waits for) comes back to
// this thread. For a wait that cannot give way, a thread whose wait gives
// way ends the chain: it will let go. A wait that gives way follows the
// chain through such threads too, so that a cycle with two of them in it
// is given up by both rather than by neither. Holders come and go, but a
// thread listed here is blocked, and a slot names its holder only while
// that holder has the lock (it is cleared before the lock is let go), so
// a cycle found is one that would never end. Called under g_waits_mu.
bool ChainReachesSelf(std::thread::id holder, bool gives_way) {
  const std::thread::id self = std::this_thread::get_id();
  for (int step = 0; step < kMaxWaitChain; ++step) {
    if (holder == std::thread::id()) return false;
    if (holder == self) return true;
    auto it = g_waits.find(holder);
    if (it == g_waits.end() || (it->second.gives_way && !gives_way)) return false;
    holder = it->second.owner->load(std::memory_order_acquire);
  }
  return false;
}

}  // namespace

bool Store::BeginWait(const std::atomic<std::thread::id>* owner, bool gives_way) {
  std::lock_guard<std::mutex> lock(g_waits_mu);
  if (ChainReachesSelf(owner->load(std::memory_order_acquire), gives_way)) return false;
  g_waits[std::this_thread::get_id()] = Wait{owner, gives_way};
  return true;
}

void Store::EndWait() {
  std::lock_guard<std::mutex> lock(g_waits_mu);
  g_waits.erase(std::this_thread::get_id());
}

bool Store::WaitCloses(const std::atomic<std::thread::id>* owner) {
  std::lock_guard<std::mutex> lock(g_waits_mu);
  return ChainReachesSelf(owner->load(std::memory_order_acquire), true);
}

Status LockWithoutTurnCycle(NamedMutex& mu) {
  if (mu.TryLock()) return Ok();
  void* token = g_wait_hooks.before ? g_wait_hooks.before() : nullptr;
  Store::LockWait waited = Store::LockWait::kRefused;
  try {
    waited = Store::WaitForLock(mu.owner(), [&](std::chrono::nanoseconds wait) { return mu.TryLockFor(wait); });
  } catch (...) {  // a poisoned lock: the embedder's lock is taken back first
    if (g_wait_hooks.after) g_wait_hooks.after(token);
    throw;
  }
  // An embedder may end this thread inside after() by unwinding it; the
  // lock taken is let go then.
  struct Unwound {
    NamedMutex* held;
    ~Unwound() {
      if (held != nullptr) held->Unlock();
    }
  } unwound{waited == Store::LockWait::kTaken ? &mu : nullptr};
  if (g_wait_hooks.after) g_wait_hooks.after(token);
  unwound.held = nullptr;
  if (waited == Store::LockWait::kTaken) return Ok();
  return Fail(EngineError::InvalidArgument(std::string(mu.name()) +
                                           " is held by a thread waiting for this thread's write"));
}

// ------------------------------------------------------------------ Store

namespace {

// The settings every environment gets before it opens. An in-memory
// database (no sync) commits by copying its dirty pages into a writable
// map of its file: a commit writes a page per B-tree level per touched
// leaf, and each write as a system call into the temporary file costs
// several times the copy itself. A file database keeps writing pages, so
// that an I/O error on a real disk comes back from the write as an error.
void ConfigureEnv(MDB_env* env, unsigned flags, int lock_file) {
  mdb_env_set_lockfile_fd(env, lock_file);
  mdb_env_set_maxdbs(env, 4);
  mdb_env_set_maxreaders(env, kMaxReaders);
  if ((flags & MDB_NOSYNC) != 0) mdb_env_set_commit_map(env);
}

// Every map a store makes gets a number never used before in this process.
uint64_t NextMapping() {
  static std::atomic<uint64_t> next{1};
  return next.fetch_add(1);
}

}  // namespace

// LMDB's lock file holds its reader table and writer mutex, which nobody
// else may share anyway: the database file is locked exclusively, and an
// in-memory database is private. So it is a file without a name, which
// LMDB is handed open (it keeps a duplicate): nothing of it is left when
// the process ends, however it ends.
Result<std::unique_ptr<Store>> Store::OpenEnv(const std::string& path, unsigned flags, StoreOptions options,
                                              int locked_fd) {
  int lock_file = -1;
  if (int err = port::OpenAnonymousFile(PrivateFileDir(), &lock_file); err != 0) return Fail(IoError(err));
  FdCloser lock_closer{lock_file};
  ReachTestPoint(TestPoint::kStoreBeforeEnvOpen, path);
  std::unique_ptr<Store> store(new Store());
  int rc = mdb_env_create(&store->env_);
  if (rc != 0) return Fail(FromLmdb(ErrorKind::kDatabase, rc));
  store->map_size_ = options.map_size;
  store->fixed_map_size_ = options.fixed_map_size;
  ConfigureEnv(store->env_, flags, lock_file);
  // Reserve address space; shrink the request if the system refuses it.
  for (uint64_t size = store->map_size_;; size /= 4) {
    rc = mdb_env_set_mapsize(store->env_, size);
    if (rc == 0) rc = mdb_env_open(store->env_, path.c_str(), flags, 0666);
    if (rc != ENOMEM || size < (uint64_t{64} << 20) || store->fixed_map_size_) break;
    mdb_env_close(store->env_);
    store->env_ = nullptr;
    if ((rc = mdb_env_create(&store->env_)) != 0) break;
    ConfigureEnv(store->env_, flags, lock_file);
    store->map_size_ = size / 4;
  }
  if (rc != 0) return Fail(FromLmdb(ErrorKind::kDatabase, rc));
  store->mapping_ = NextMapping();
  // Before the first transaction reads a page past the meta pages.
  if (locked_fd >= 0) RETURN_IF_ERROR(store_internal::CheckMappedFile(store->env_, locked_fd));

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
  ASSIGN_OR_RETURN(int fd, OpenLocked(path));
  // Resolved now: compaction renames a new file over this one later, when
  // the working directory or a link on the way may have changed.
  std::string resolved = path;
  if (char* real = realpath(path.c_str(), nullptr); real != nullptr) {
    resolved = real;
    free(real);
  }
  ASSIGN_OR_RETURN(std::unique_ptr<Store> store, OpenLockedFd(fd, std::move(resolved), options));
  // A compaction killed while its copy had a staging name (between the
  // link and the rename, or throughout where the file system cannot make
  // unnamed files) left the copy there. Only a compaction of this database
  // makes such a file, holding the lock this opener now holds: what is
  // left is stale. A copy that is still locked is nevertheless left alone.
  (void)port::RemoveStaleStaging(store->path(), port::Staging::kCompact, store_internal::MayBeStoreFile);
  return store;
}

Result<std::unique_ptr<Store>> Store::OpenLockedFd(int fd, std::string path, StoreOptions options) {
  // Declared before the store: a store that fails to open closes its
  // environment before the lock goes.
  FdCloser lock{fd};
  RETURN_IF_ERROR(store_internal::CheckMetaPages(fd));
  // LMDB opens the data file by name. Given the user's path, it would open
  // by name a file that could be swapped after our lock was taken; it gets
  // instead the path that leads to the very file locked above. Its lock
  // file has no name at all (OpenEnv), so nothing beside the database file
  // is touched and its directory may be read-only.
  const std::string env_path = port::OpenFilePath(fd);
  if (env_path.empty()) return Fail(IoError(ENOSYS));
  if (options.map_size == 0) options.map_size = kDefaultFileMap;
  ASSIGN_OR_RETURN(std::unique_ptr<Store> store, OpenEnv(env_path, MDB_NOSUBDIR | MDB_NOTLS, options, fd));
  store->lock_fd_ = lock.release();
  store->path_ = std::move(path);
  return store;
}

std::optional<std::pair<uint64_t, uint64_t>> Store::FileIdentity() const {
  struct stat st;
  if (lock_fd_ < 0 || fstat(lock_fd_, &st) != 0) return std::nullopt;
  return std::make_pair(static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino));
}

Result<std::unique_ptr<Store>> Store::OpenInMemory(StoreOptions options) {
  // The database is a file without a name in memory (or the temporary
  // directory), reached through its descriptor; LMDB opens its own, so
  // ours goes once the environment is open, and the file with the store.
  int data = -1;
  if (int err = port::OpenAnonymousFile(PrivateFileDir(), &data); err != 0) return Fail(IoError(err));
  FdCloser data_closer{data};
  const std::string env_path = port::OpenFilePath(data);
  if (env_path.empty()) return Fail(IoError(ENOSYS));
  if (options.map_size == 0) options.map_size = kDefaultMemoryMap;
  ASSIGN_OR_RETURN(std::unique_ptr<Store> store,
                   OpenEnv(env_path, MDB_NOSUBDIR | MDB_NOTLS | MDB_NOSYNC | MDB_NOMETASYNC, options, -1));
  store->in_memory_ = true;
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

uint64_t Store::LastCommitId() const {
  MDB_envinfo info;
  if (mdb_env_info(env_, &info) != 0) return 0;
  return static_cast<uint64_t>(info.me_last_txnid);
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
  mapping_ = NextMapping();  // the map may have moved, failed or not
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

Result<std::optional<ReadTxn>> Store::BeginReadOf(const SnapshotTag& like) {
  ASSIGN_OR_RETURN(ReadTxn txn, BeginRead());
  if (!txn.snapshot_tag().SameSnapshot(like)) return std::optional<ReadTxn>();
  return std::optional<ReadTxn>(std::move(txn));
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
  if (writer_thread_.load(std::memory_order_relaxed) == std::this_thread::get_id())
    return Fail(EngineError::Transaction("a write transaction is already open on this thread"));
  RETURN_IF_ERROR(AcquireTurn());
  writer_thread_.store(std::this_thread::get_id(), std::memory_order_relaxed);
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

uint64_t Store::NextSerial() {
  static std::atomic<uint64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

namespace {

// A thread's last few answers about collection names, each of one store
// (by its serial; 0 for none): the ids found in committed catalog rows,
// and the names a write transaction found missing, with the store's count
// of collections made at the time.
class RecentAnswers {
 public:
  const uint64_t* Find(uint64_t store, std::string_view name) const {
    for (const Answer& a : answers_) {
      if (a.store == store && a.name == name) return &a.value;
    }
    return nullptr;
  }
  void Put(uint64_t store, std::string_view name, uint64_t value) {
    Answer* slot = nullptr;
    for (Answer& a : answers_) {
      if (a.store == store && a.name == name) slot = &a;
    }
    if (slot == nullptr) {
      slot = &answers_[next_++ % answers_.size()];
      slot->store = store;
      slot->name.assign(name);
    }
    slot->value = value;
  }

 private:
  struct Answer {
    uint64_t store = 0;
    std::string name;
    uint64_t value = 0;
  };
  std::array<Answer, 4> answers_;
  size_t next_ = 0;
};

struct Recent {
  RecentAnswers ids;
  RecentAnswers absent;
};
thread_local Recent t_recent;

}  // namespace

std::optional<uint64_t> Store::KnownCollectionId(std::string_view collection) const {
  // A remembered id never changes nor goes, so a thread may keep its last
  // few answers and give them again without the lock: every point read
  // asks, most often for the collection it asked for last.
  Recent& recent = t_recent;
  if (const uint64_t* id = recent.ids.Find(serial_, collection)) return *id;
  std::optional<uint64_t> id;
  {
    std::lock_guard<std::mutex> lock(ids_mu_);
    auto it = committed_ids_.find(collection);
    if (it != committed_ids_.end()) id = it->second;
  }
  if (id) recent.ids.Put(serial_, collection, *id);
  return id;
}

bool Store::KnownAbsent(std::string_view collection) const {
  const uint64_t* made = t_recent.absent.Find(serial_, collection);
  return made != nullptr && *made == collections_made_.load(std::memory_order_acquire);
}

void Store::RememberAbsent(std::string_view collection) {
  t_recent.absent.Put(serial_, collection, collections_made_.load(std::memory_order_acquire));
}

void Store::RememberCollectionId(std::string_view collection, uint64_t id) {
  std::lock_guard<std::mutex> lock(ids_mu_);
  committed_ids_.emplace(std::string(collection), id);
}

int Store::WriteFailure(int rc) const {
  if (rc != EIO) return rc;
  // LMDB turns a write the file system cut short into EIO (a short write
  // sets no errno to pass on). The file system cuts a write short when it
  // has no room for the rest: with less than one commit chunk left, the
  // failure was a full disk, and the user should hear that.
  mdb_filehandle_t fd;
  MDB_stat stat;
  if (mdb_env_get_fd(env_, &fd) != 0 || mdb_env_stat(env_, &stat) != 0) return rc;
  std::optional<uint64_t> free_bytes = port::FreeBytes(fd);
  return free_bytes && *free_bytes < kCommitChunkPages * stat.ms_psize ? ENOSPC : rc;
}

void Store::ReleaseWriter() {
  writer_thread_.store(std::thread::id(), std::memory_order_relaxed);
  ReleaseTurn();
}

Result<Store::WriterTurn> Store::TakeWriterTurn() {
  RETURN_IF_ERROR(AcquireTurn());
  return WriterTurn(this);
}

std::optional<Store::WriterTurn> Store::TryTakeWriterTurn() {
  if (!TryAcquireTurn()) return std::nullopt;
  return WriterTurn(this);
}

bool Store::TryAcquireTurn() {
  // Only this thread ever stores its own id, so this is a re-entry.
  if (turn_owner_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
    ++turn_depth_;
    return true;
  }
  if (!turn_mu_.try_lock()) return false;
  TakeOwnership();
  return true;
}

void Store::TakeOwnership() {
  turn_owner_.store(std::this_thread::get_id(), std::memory_order_release);
  turn_depth_ = 1;
}

Status Store::AcquireTurn() {
  if (TryAcquireTurn()) return Ok();
  // What this thread lets go of while it waits goes before the wait is
  // checked: the check must not count it as held.
  void* token = g_wait_hooks.before ? g_wait_hooks.before() : nullptr;
  if (!BeginWait(&turn_owner_, false)) {
    if (g_wait_hooks.after) g_wait_hooks.after(token);
    return Fail(EngineError::InvalidArgument("writer turn is held by a thread waiting for this thread's write"));
  }
  ReachTestPoint(TestPoint::kWriterWaits);
  std::unique_lock<std::mutex> turn(turn_mu_);
  EndWait();
  // An embedder may end this thread inside after() by unwinding it (an
  // interpreter at exit does); `turn` then gives the turn up.
  if (g_wait_hooks.after) g_wait_hooks.after(token);
  turn.release();
  TakeOwnership();
  return Ok();
}

void Store::ReleaseTurn() {
  if (--turn_depth_ != 0) return;
  turn_owner_.store(std::thread::id(), std::memory_order_release);
  turn_mu_.unlock();
}

// ------------------------------------------------------------------ Txn

SnapshotTag Txn::snapshot_tag() const {
  if (!snapshot_ || txn_ == nullptr) return SnapshotTag{};
  return SnapshotTag{store_->mapping_, static_cast<uint64_t>(mdb_txn_id(txn_))};
}

Txn::Txn(Txn&& other) noexcept
    : store_(other.store_), txn_(std::exchange(other.txn_, nullptr)), snapshot_(other.snapshot_) {}

ReadTxn::~ReadTxn() {
  if (txn_ != nullptr) store_->ReleaseReader(txn_);
}

WriteTxn::~WriteTxn() {
  if (txn_ == nullptr) return;
  mdb_txn_abort(txn_);
  for (auto it = parents_.rbegin(); it != parents_.rend(); ++it) mdb_txn_abort(*it);
  store_->live_txns_.fetch_sub(1);
  store_->ReleaseWriter();
}

Status WriteTxn::BeginNested() {
  MDB_txn* child = nullptr;
  int rc = mdb_txn_begin(store_->env_, txn_, 0, &child);
  if (rc != 0) return Fail(FromLmdb(ErrorKind::kTransaction, rc));
  parents_.push_back(std::exchange(txn_, child));
  return Ok();
}

Status WriteTxn::CommitNested() {
  if (parents_.empty()) throw InvariantError("a nested transaction is open");
  int rc = mdb_txn_commit(txn_);  // frees the child whatever the outcome
  txn_ = parents_.back();
  parents_.pop_back();
  if (rc != 0) return Fail(FromLmdb(ErrorKind::kStorage, rc));
  return Ok();
}

void WriteTxn::AbortNested() {
  if (parents_.empty()) throw InvariantError("a nested transaction is open");
  mdb_txn_abort(txn_);
  txn_ = parents_.back();
  parents_.pop_back();
}

Status WriteTxn::Commit() {
  while (!parents_.empty()) {
    if (Status folded = CommitNested(); !folded) {
      // The outermost transaction still ends here, as a failed commit.
      while (!parents_.empty()) AbortNested();
      mdb_txn_abort(std::exchange(txn_, nullptr));
      store_->live_txns_.fetch_sub(1);
      store_->ReleaseWriter();
      return Fail(EngineError::Commit(folded.error().detail()));
    }
  }
  MDB_txn* txn = std::exchange(txn_, nullptr);
  StoreFaults* f = store_->faults();
  int rc;
  if (f != nullptr && f->fail_commit) {
    mdb_txn_abort(txn);
    rc = -1;
  } else {
    rc = mdb_txn_commit(txn);  // frees the transaction whatever the outcome
    if (rc != 0) rc = store_->WriteFailure(rc);  // judged before the next writer may write
  }
  store_->live_txns_.fetch_sub(1);
  store_->ReleaseWriter();
  if (rc == -1) return Fail(InjectedFault(ErrorKind::kCommit));
  if (rc != 0) return Fail(FromLmdb(ErrorKind::kCommit, rc));
  return Ok();
}

}  // namespace pallix
