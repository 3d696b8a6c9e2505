#include "engine/store.h"

#include <fcntl.h>
#include <lmdb.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "engine/lock.h"
#include "engine/sha256.h"

namespace pallix {

namespace {

constexpr size_t kInlineMax = 495;
constexpr size_t kDigestSize = 16;
constexpr size_t kLongKeySize = kInlineMax + kDigestSize;  // LMDB's 511-byte limit
static_assert(kLongKeySize == 511);

constexpr uint64_t kDefaultFileMap = uint64_t{256} << 30;    // 256 GiB of address space
constexpr uint64_t kDefaultMemoryMap = uint64_t{64} << 30;   // bounded by RAM anyway
constexpr unsigned kMaxReaders = 1024;
constexpr size_t kIdleReaderCap = 16;

const char* const kTableNames[3] = {"records", "catalog", "meta"};

BlockingWaitHooks g_wait_hooks;

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

// The operating system's text for errno, as "<text> (os error <n>)".
std::string OsErrorText(int err) {
  char buf[256];
  const char* text = strerror_r(err, buf, sizeof(buf));
  return std::string(text) + " (os error " + std::to_string(err) + ")";
}

MDB_val Val(std::string_view s) { return MDB_val{s.size(), const_cast<char*>(s.data())}; }
std::string_view View(const MDB_val& v) { return {static_cast<const char*>(v.mv_data), v.mv_size}; }

// Builds the table-prefixed logical key (catalog keys get a 0x00 byte so
// that the empty name is a valid key).
std::string_view Prefixed(StoreTable table, std::string_view key, std::string& buf) {
  if (table != StoreTable::kCatalog) return key;
  buf.assign(1, '\0');
  buf.append(key);
  return buf;
}

// The stored LMDB key of a prefixed logical key.
std::string_view StoredKey(std::string_view full, std::string& buf) {
  if (full.size() <= kInlineMax) return full;
  uint8_t digest[32];
  Sha256(full, digest);
  buf.assign(full.substr(0, kInlineMax));
  buf.append(reinterpret_cast<const char*>(digest), kDigestSize);
  return buf;
}

void PutU32Le(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}

uint32_t GetU32Le(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// For a long key: checks that the stored value's tail belongs to `full`
// and returns the logical value.
std::optional<std::string_view> LongValueFor(std::string_view full, std::string_view stored_value) {
  if (stored_value.size() < 4) return std::nullopt;
  uint32_t n = GetU32Le(stored_value.data());
  if (stored_value.size() - 4 < n || n != full.size() - kInlineMax) return std::nullopt;
  if (std::memcmp(stored_value.data() + 4, full.data() + kInlineMax, n) != 0) return std::nullopt;
  return stored_value.substr(4 + n);
}

// Splits a long row's stored value into (tail, logical value); nullopt when
// the header is damaged.
std::optional<std::pair<std::string_view, std::string_view>> SplitLongValue(std::string_view stored_value) {
  if (stored_value.size() < 4) return std::nullopt;
  uint32_t n = GetU32Le(stored_value.data());
  if (stored_value.size() - 4 < n) return std::nullopt;
  return std::make_pair(stored_value.substr(4, n), stored_value.substr(4 + n));
}

EngineError InjectedFault(ErrorKind kind) {
  return kind == ErrorKind::kCommit ? EngineError::Commit("injected fault")
                                    : kind == ErrorKind::kTransaction ? EngineError::Transaction("injected fault")
                                                                      : EngineError::Storage("injected fault");
}

}  // namespace

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
  if (!writer_mu_.try_lock()) {
    void* token = g_wait_hooks.before ? g_wait_hooks.before() : nullptr;
    writer_mu_.lock();
    if (g_wait_hooks.after) g_wait_hooks.after(token);
  }
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

Result<bool> Txn::GetWith(StoreTable table, std::string_view key,
                          const std::function<void(std::string_view)>& fn) const {
  std::string pbuf, sbuf;
  std::string_view full = Prefixed(table, key, pbuf);
  MDB_val k = Val(StoredKey(full, sbuf)), v;
  int rc = mdb_get(txn_, store_->dbi_[static_cast<int>(table)], &k, &v);
  if (rc == MDB_NOTFOUND) return false;
  if (rc != 0) return Fail(FromLmdb(ErrorKind::kStorage, rc));
  if (full.size() <= kInlineMax) {
    fn(View(v));
    return true;
  }
  auto value = LongValueFor(full, View(v));
  if (!value) return false;  // another key with the same digest
  fn(*value);
  return true;
}

Result<std::optional<std::string>> Txn::Get(StoreTable table, std::string_view key) const {
  std::optional<std::string> out;
  RETURN_IF_ERROR(GetWith(table, key, [&](std::string_view v) { out.emplace(v); }));
  return out;
}

Result<std::optional<uint64_t>> Txn::GetU64(StoreTable table, std::string_view key) const {
  std::optional<uint64_t> out;
  bool bad = false;
  RETURN_IF_ERROR(GetWith(table, key, [&](std::string_view v) {
    if (v.size() != 8) {
      bad = true;
      return;
    }
    uint64_t x;
    std::memcpy(&x, v.data(), 8);
    out = x;
  }));
  PALLIX_INVARIANT(!bad, "stored u64 value is 8 bytes long");
  return out;
}

namespace {

// Gathered rows of one run of long keys, sorted by full key.
struct LongRow {
  std::string key;  // full prefixed logical key
  std::string_view value;
};

}  // namespace

Status Txn::Scan(StoreTable table, std::string_view lower_key, const std::string* upper_key,
                 const RowVisitor& visit) const {
  std::string lbuf, ubuf;
  std::string_view lower = Prefixed(table, lower_key, lbuf);
  std::optional<std::string_view> upper;
  if (upper_key != nullptr) upper = Prefixed(table, *upper_key, ubuf);
  const size_t strip = table == StoreTable::kCatalog ? 1 : 0;

  MDB_cursor* cur = nullptr;
  int rc = mdb_cursor_open(txn_, store_->dbi_[static_cast<int>(table)], &cur);
  if (rc != 0) return Fail(FromLmdb(ErrorKind::kStorage, rc));
  struct Closer {
    MDB_cursor* c;
    ~Closer() { mdb_cursor_close(c); }
  } closer{cur};

  // Returns: 1 go on, 0 stop (bound passed or the visitor asked), or error.
  auto emit = [&](std::string_view full, std::string_view value) -> Result<int> {
    if (full < lower) return 1;
    if (upper && full >= *upper) return 0;
    ASSIGN_OR_RETURN(bool go_on, visit(full.substr(strip), value));
    return go_on ? 1 : 0;
  };

  // Seek to the first stored key at or after the lower bound's stored
  // prefix; a long lower bound may fall inside a run, which emit() trims.
  MDB_val k = Val(lower.substr(0, std::min(lower.size(), kInlineMax))), v;
  rc = mdb_cursor_get(cur, &k, &v, k.mv_size == 0 ? MDB_FIRST : MDB_SET_RANGE);
  std::vector<LongRow> run;
  while (rc == 0) {
    std::string_view stored = View(k);
    if (stored.size() != kLongKeySize) {
      ASSIGN_OR_RETURN(int go, emit(stored, View(v)));
      if (go == 0) return Ok();
      rc = mdb_cursor_get(cur, &k, &v, MDB_NEXT);
      continue;
    }
    // A run of long keys sharing their first 495 bytes: gather, sort, emit.
    std::string prefix(stored.substr(0, kInlineMax));
    if (upper && std::string_view(prefix) > *upper) return Ok();
    run.clear();
    while (rc == 0 && k.mv_size == kLongKeySize && View(k).substr(0, kInlineMax) == prefix) {
      auto parts = SplitLongValue(View(v));
      if (parts) run.push_back(LongRow{prefix + std::string(parts->first), parts->second});
      rc = mdb_cursor_get(cur, &k, &v, MDB_NEXT);
    }
    std::sort(run.begin(), run.end(), [](const LongRow& a, const LongRow& b) { return a.key < b.key; });
    for (const LongRow& row : run) {
      ASSIGN_OR_RETURN(int go, emit(row.key, row.value));
      if (go == 0) return Ok();
    }
  }
  if (rc != MDB_NOTFOUND) return Fail(FromLmdb(ErrorKind::kStorage, rc));
  return Ok();
}

Status WriteTxn::CountWrite() {
  StoreFaults* f = store_->faults();
  if (f != nullptr && f->fail_write_at >= 0 && writes_ == f->fail_write_at) {
    ++writes_;
    return Fail(InjectedFault(ErrorKind::kStorage));
  }
  ++writes_;
  return Ok();
}

Status WriteTxn::Put(StoreTable table, std::string_view key, std::string_view value, bool* existed) {
  RETURN_IF_ERROR(CountWrite());
  std::string pbuf, sbuf, vbuf;
  std::string_view full = Prefixed(table, key, pbuf);
  MDB_dbi dbi = store_->dbi_[static_cast<int>(table)];
  std::string_view stored_value = value;
  if (full.size() > kInlineMax) {
    size_t tail = full.size() - kInlineMax;
    PALLIX_INVARIANT(tail <= UINT32_MAX, "row key length exceeds 4 GiB");
    vbuf.reserve(4 + tail + value.size());
    PutU32Le(vbuf, static_cast<uint32_t>(tail));
    vbuf.append(full.substr(kInlineMax));
    vbuf.append(value);
    stored_value = vbuf;
  }
  MDB_val k = Val(StoredKey(full, sbuf)), v = Val(stored_value);
  if (existed == nullptr && full.size() <= kInlineMax) {
    // Nothing to learn about the old row and no digest to verify: one put.
    int rc = mdb_put(txn_, dbi, &k, &v, 0);
    if (rc != 0) return Fail(FromLmdb(ErrorKind::kStorage, rc));
    return Ok();
  }
  int rc = mdb_put(txn_, dbi, &k, &v, MDB_NOOVERWRITE);
  if (rc == MDB_KEYEXIST) {
    if (full.size() > kInlineMax && !LongValueFor(full, View(v)))
      return Fail(EngineError::Storage("key digest collision"));
    if (existed) *existed = true;
    v = Val(stored_value);
    rc = mdb_put(txn_, dbi, &k, &v, 0);
  } else if (existed) {
    *existed = false;
  }
  if (rc != 0) return Fail(FromLmdb(ErrorKind::kStorage, rc));
  return Ok();
}

Status WriteTxn::PutU64(StoreTable table, std::string_view key, uint64_t value) {
  char b[8];
  std::memcpy(b, &value, 8);
  return Put(table, key, std::string_view(b, 8));
}

Result<bool> WriteTxn::Delete(StoreTable table, std::string_view key) {
  RETURN_IF_ERROR(CountWrite());
  std::string pbuf, sbuf;
  std::string_view full = Prefixed(table, key, pbuf);
  MDB_dbi dbi = store_->dbi_[static_cast<int>(table)];
  MDB_val k = Val(StoredKey(full, sbuf)), v;
  if (full.size() > kInlineMax) {
    int rc = mdb_get(txn_, dbi, &k, &v);
    if (rc == MDB_NOTFOUND) return false;
    if (rc != 0) return Fail(FromLmdb(ErrorKind::kStorage, rc));
    if (!LongValueFor(full, View(v))) return false;
  }
  int rc = mdb_del(txn_, dbi, &k, nullptr);
  if (rc == MDB_NOTFOUND) return false;
  if (rc != 0) return Fail(FromLmdb(ErrorKind::kStorage, rc));
  return true;
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

// ------------------------------------------------------------ row interface

Status WriteCtx::Commit() {
  Store& store = txn_.store();
  RETURN_IF_ERROR(txn_.Commit());
  for (const auto& [name, id] : ids)
    if (id && !store.KnownCollectionId(name)) store.RememberCollectionId(name, *id);
  return Ok();
}

Result<WriteCtx> BeginWriteCtx(Store& store) {
  ASSIGN_OR_RETURN(WriteTxn txn, store.BeginWrite());
  return WriteCtx(std::move(txn));
}

std::string RecordKey(uint64_t id, std::string_view row_key) {
  std::string key(8 + row_key.size(), '\0');
  for (int i = 0; i < 8; ++i) key[i] = static_cast<char>(id >> (56 - 8 * i));
  if (!row_key.empty()) std::memcpy(key.data() + 8, row_key.data(), row_key.size());
  return key;
}

std::string CountKey(std::string_view collection) { return "cnt:" + std::string(collection); }
std::string AutoKey(std::string_view collection) { return "auto:" + std::string(collection); }

namespace {

// The records key range of collection `id` from `start`: [id+start, id+1).
// For the largest id the range runs to the end of the table (no upper).
std::optional<std::string> CollectionUpper(uint64_t id) {
  if (id == UINT64_MAX) return std::nullopt;
  return RecordKey(id + 1, {});
}

Status ScanCollection(const Txn& txn, uint64_t id, std::string_view start, const RowVisitor& visit) {
  std::optional<std::string> upper = CollectionUpper(id);
  return txn.Scan(StoreTable::kRecords, RecordKey(id, start), upper ? &*upper : nullptr,
                  [&](std::string_view key, std::string_view value) { return visit(key.substr(8), value); });
}

Result<std::vector<Row>> ScanLimited(const Txn& txn, uint64_t id, std::string_view start, size_t limit) {
  std::vector<Row> rows;
  if (limit == 0) return rows;
  RETURN_IF_ERROR(ScanCollection(txn, id, start, [&](std::string_view k, std::string_view v) -> Result<bool> {
    rows.push_back(Row{std::string(k), std::string(v)});
    return rows.size() < limit;
  }));
  return rows;
}

}  // namespace

Result<std::optional<uint64_t>> collection_id(WriteCtx& ctx, std::string_view collection) {
  auto it = ctx.ids.find(collection);
  if (it != ctx.ids.end()) return it->second;
  std::optional<uint64_t> id = ctx.store().KnownCollectionId(collection);
  if (!id) {
    ASSIGN_OR_RETURN(id, ctx.txn().GetU64(StoreTable::kCatalog, collection));
  }
  ctx.ids.emplace(std::string(collection), id);
  return id;
}

Result<uint64_t> collection_id_or_create(WriteCtx& ctx, std::string_view collection) {
  ASSIGN_OR_RETURN(std::optional<uint64_t> existing, collection_id(ctx, collection));
  if (existing) return *existing;
  ASSIGN_OR_RETURN(std::optional<uint64_t> next, ctx.txn().GetU64(StoreTable::kMeta, "next_collection_id"));
  uint64_t id = next.value_or(0);
  // Ids are never reused; past the last id there is nothing left to give.
  if (id == UINT64_MAX) return Fail(EngineError::Storage("collection ids exhausted"));
  RETURN_IF_ERROR(ctx.txn().PutU64(StoreTable::kMeta, "next_collection_id", id + 1));
  RETURN_IF_ERROR(ctx.txn().PutU64(StoreTable::kCatalog, collection, id));
  ctx.ids.insert_or_assign(std::string(collection), std::optional<uint64_t>(id));
  return id;
}

Status put_row_uncounted(WriteCtx& ctx, std::string_view collection, std::string_view key, std::string_view value,
                         bool* existed) {
  ASSIGN_OR_RETURN(uint64_t id, collection_id_or_create(ctx, collection));
  return ctx.txn().Put(StoreTable::kRecords, RecordKey(id, key), value, existed);
}

Status put_row(WriteCtx& ctx, std::string_view collection, std::string_view key, std::string_view value) {
  bool existed = false;
  RETURN_IF_ERROR(put_row_uncounted(ctx, collection, key, value, &existed));
  if (!existed) RETURN_IF_ERROR(adjust_row_count(ctx, collection, 1));
  return Ok();
}

Result<std::optional<std::string>> get_row(WriteCtx& ctx, std::string_view collection, std::string_view key) {
  ASSIGN_OR_RETURN(std::optional<uint64_t> id, collection_id(ctx, collection));
  if (!id) return std::optional<std::string>();
  return ctx.txn().Get(StoreTable::kRecords, RecordKey(*id, key));
}

Result<bool> delete_row(WriteCtx& ctx, std::string_view collection, std::string_view key) {
  ASSIGN_OR_RETURN(std::optional<uint64_t> id, collection_id(ctx, collection));
  if (!id) return false;
  return ctx.txn().Delete(StoreTable::kRecords, RecordKey(*id, key));
}

Result<bool> delete_row_counted(WriteCtx& ctx, std::string_view collection, std::string_view key) {
  ASSIGN_OR_RETURN(bool removed, delete_row(ctx, collection, key));
  if (removed) RETURN_IF_ERROR(adjust_row_count(ctx, collection, -1));
  return removed;
}

Status adjust_row_count(WriteCtx& ctx, std::string_view collection, int64_t delta) {
  std::string key = CountKey(collection);
  uint64_t count;
  if (auto it = ctx.counts.find(collection); it != ctx.counts.end()) {
    count = it->second;
  } else {
    ASSIGN_OR_RETURN(std::optional<uint64_t> cur, ctx.txn().GetU64(StoreTable::kMeta, key));
    count = cur.value_or(0);
  }
  if (delta >= 0) {
    uint64_t d = static_cast<uint64_t>(delta);
    count = count > UINT64_MAX - d ? UINT64_MAX : count + d;
  } else {
    uint64_t d = static_cast<uint64_t>(-(delta + 1)) + 1;  // |delta| without overflow
    count = count < d ? 0 : count - d;
  }
  RETURN_IF_ERROR(ctx.txn().PutU64(StoreTable::kMeta, key, count));
  ctx.counts.insert_or_assign(std::string(collection), count);
  return Ok();
}

Result<std::vector<Row>> scan_rows_from(WriteCtx& ctx, std::string_view collection, std::string_view start,
                                        size_t limit) {
  ASSIGN_OR_RETURN(std::optional<uint64_t> id, collection_id(ctx, collection));
  if (!id) return std::vector<Row>();
  return ScanLimited(ctx.txn(), *id, start, limit);
}

Status clear_collection_rows(WriteCtx& ctx, std::string_view collection) {
  std::string start;
  while (true) {
    ASSIGN_OR_RETURN(std::vector<Row> batch, scan_rows_from(ctx, collection, start, 2048));
    if (batch.empty()) return Ok();
    RETURN_IF_ERROR(adjust_row_count(ctx, collection, -static_cast<int64_t>(batch.size())));
    for (const Row& row : batch) RETURN_IF_ERROR(delete_row(ctx, collection, row.key));
    start = batch.back().key;
    start.push_back('\0');
  }
}

Status for_each_row(WriteCtx& ctx, std::string_view collection, const RowVisitor& visit) {
  ASSIGN_OR_RETURN(std::optional<uint64_t> id, collection_id(ctx, collection));
  if (!id) return Ok();
  return ScanCollection(ctx.txn(), *id, {}, visit);
}

Status put_row_once(Store& store, std::string_view collection, std::string_view key, std::string_view value) {
  ASSIGN_OR_RETURN(WriteCtx ctx, BeginWriteCtx(store));
  RETURN_IF_ERROR(put_row(ctx, collection, key, value));
  return ctx.Commit();
}

Result<std::optional<std::string>> get_row_once(Store& store, std::string_view collection, std::string_view key) {
  ASSIGN_OR_RETURN(ReadTxn txn, store.BeginRead());
  return ReadView(txn).view_get(collection, key);
}

Result<std::vector<Row>> scan_all_rows(Store& store, std::string_view collection) {
  ASSIGN_OR_RETURN(ReadTxn txn, store.BeginRead());
  return ReadView(txn).view_scan_all(collection);
}

Result<uint64_t> count_rows(Store& store, std::string_view collection) {
  ASSIGN_OR_RETURN(ReadTxn txn, store.BeginRead());
  return ReadView(txn).view_count(collection);
}

Result<std::vector<Row>> scan_rows_batch(Store& store, std::string_view collection, std::string_view start,
                                         size_t limit) {
  ASSIGN_OR_RETURN(ReadTxn txn, store.BeginRead());
  return ReadView(txn).view_scan_from(collection, start, limit);
}

// ------------------------------------------------------------ read view

Result<std::optional<uint64_t>> ReadView::view_collection_id(std::string_view collection) const {
  if (cache_valid_ && cached_name_ == collection) return cached_id_;
  std::optional<uint64_t> id = txn_.store().KnownCollectionId(collection);
  if (!id) {
    ASSIGN_OR_RETURN(id, txn_.GetU64(StoreTable::kCatalog, collection));
    if (id && txn_.is_snapshot()) txn_.store().RememberCollectionId(collection, *id);
  }
  cached_name_.assign(collection);
  cached_id_ = id;
  cache_valid_ = true;
  return id;
}

Result<bool> ReadView::view_get_with(std::string_view collection, std::string_view key,
                                     const std::function<void(std::string_view)>& fn) const {
  ASSIGN_OR_RETURN(std::optional<uint64_t> id, view_collection_id(collection));
  if (!id) return false;
  // Point reads are the hottest path: short keys are built on the stack.
  char buf[128];
  if (key.size() > sizeof(buf) - 8) return txn_.GetWith(StoreTable::kRecords, RecordKey(*id, key), fn);
  for (int i = 0; i < 8; ++i) buf[i] = static_cast<char>(*id >> (56 - 8 * i));
  if (!key.empty()) std::memcpy(buf + 8, key.data(), key.size());
  return txn_.GetWith(StoreTable::kRecords, std::string_view(buf, 8 + key.size()), fn);
}

Result<std::optional<std::string>> ReadView::view_get(std::string_view collection, std::string_view key) const {
  std::optional<std::string> out;
  RETURN_IF_ERROR(view_get_with(collection, key, [&](std::string_view v) { out.emplace(v); }));
  return out;
}

Result<std::vector<Row>> ReadView::view_scan_all(std::string_view collection) const {
  std::vector<Row> rows;
  RETURN_IF_ERROR(view_for_each(collection, [&](std::string_view k, std::string_view v) -> Result<bool> {
    rows.push_back(Row{std::string(k), std::string(v)});
    return true;
  }));
  return rows;
}

Result<std::vector<std::string>> ReadView::view_list_collections() const {
  std::vector<std::string> names;
  RETURN_IF_ERROR(txn_.Scan(StoreTable::kCatalog, {}, nullptr, [&](std::string_view k, std::string_view) {
    names.emplace_back(k);
    return Result<bool>(true);
  }));
  return names;
}

Result<std::vector<Row>> ReadView::view_scan_from(std::string_view collection, std::string_view start,
                                                  size_t limit) const {
  ASSIGN_OR_RETURN(std::optional<uint64_t> id, view_collection_id(collection));
  if (!id) return std::vector<Row>();
  return ScanLimited(txn_, *id, start, limit);
}

Result<std::vector<Row>> ReadView::view_scan_prefix(std::string_view collection, std::string_view prefix) const {
  std::vector<Row> rows;
  ASSIGN_OR_RETURN(std::optional<uint64_t> id, view_collection_id(collection));
  if (!id) return rows;
  // Upper bound: the prefix successor of (id + prefix): drop trailing 0xFF
  // bytes, then add one to the last byte. All 0xFF: no upper bound.
  std::string upper = RecordKey(*id, prefix);
  while (!upper.empty() && static_cast<uint8_t>(upper.back()) == 0xFF) upper.pop_back();
  const std::string* upper_ptr = nullptr;
  if (!upper.empty()) {
    upper.back() = static_cast<char>(static_cast<uint8_t>(upper.back()) + 1);
    upper_ptr = &upper;
  }
  RETURN_IF_ERROR(txn_.Scan(StoreTable::kRecords, RecordKey(*id, prefix), upper_ptr,
                            [&](std::string_view k, std::string_view v) -> Result<bool> {
                              rows.push_back(Row{std::string(k.substr(8)), std::string(v)});
                              return true;
                            }));
  return rows;
}

Result<uint64_t> ReadView::view_count(std::string_view collection) const {
  ASSIGN_OR_RETURN(std::optional<uint64_t> count, txn_.GetU64(StoreTable::kMeta, CountKey(collection)));
  return count.value_or(0);
}

Status ReadView::view_for_each(std::string_view collection, const RowVisitor& visit) const {
  ASSIGN_OR_RETURN(std::optional<uint64_t> id, view_collection_id(collection));
  if (!id) return Ok();
  return ScanCollection(txn_, *id, {}, visit);
}

// ------------------------------------------------------------ documents

Result<std::optional<Value>> get_document_via(const ReadView& view, std::string_view collection,
                                              std::string_view key) {
  std::optional<Result<Value>> decoded;
  RETURN_IF_ERROR(view.view_get_with(collection, key, [&](std::string_view v) { decoded = decode_value(v); }));
  if (!decoded) return std::optional<Value>();
  if (!*decoded) return Fail(std::move(*decoded).error());
  return std::optional<Value>(std::move(**decoded));
}

Result<std::optional<Value>> get_document(Store& store, std::string_view collection, std::string_view key) {
  ASSIGN_OR_RETURN(ReadTxn txn, store.BeginRead());
  return get_document_via(ReadView(txn), collection, key);
}

Result<std::vector<std::pair<std::string, Value>>> scan_documents(const ReadView& view,
                                                                  std::string_view collection) {
  std::vector<std::pair<std::string, Value>> docs;
  RETURN_IF_ERROR(view.view_for_each(collection, [&](std::string_view k, std::string_view v) -> Result<bool> {
    ASSIGN_OR_RETURN(Value doc, decode_value(v));
    docs.emplace_back(std::string(k), std::move(doc));
    return true;
  }));
  return docs;
}

}  // namespace pallix
