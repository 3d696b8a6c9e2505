// The storage core: the LMDB environment with its three tables and its
// transactions. The row interface (rows.h) and the read view (read_view.h)
// are built on these.
//
// This layer is the only code that includes lmdb.h; every LMDB return code is
// turned into an EngineError in one function (store_internal.h).
//
// Tables (three named LMDB databases in one environment):
//
//   table     logical key             logical value
//   records   u64 BE collection id +  row bytes (document encoding, or an
//             row key                 internal collection's own format)
//   catalog   collection name (text)  collection id, u64
//   meta      text                    u64 ("format_version",
//                                     "next_collection_id", "cnt:<c>",
//                                     "auto:<c>")
//
// u64 values of catalog and meta are stored as 8 bytes little-endian; a
// stored value of any other length is damage, read as a Storage error.
//
// Keys of any length: see rows.h for the long-key scheme every logical key
// goes through.
//
// Things LMDB has no counterpart for, and which are therefore dropped: a
// page size setting (LMDB uses the OS page size), a cache size (the OS page
// cache serves reads from the memory map) and a repair handler (LMDB's
// copy-on-write commit never leaves a half-written tree to repair).
//
// Thread-safety: a Store may be used from several threads. One write
// transaction exists at a time (others wait; a second write transaction on
// the thread that holds one fails at once instead of deadlocking). Read
// transactions run on snapshots beside the writer. A transaction object is
// used by one thread at a time.
//
// The writer turn: every write transaction holds the store's writer turn
// from its begin to its end, and a thread may also hold the turn on its
// own (Store::TakeWriterTurn) across several steps, so that what it reads
// in one and writes in a later one cannot be changed by another thread in
// between. The turn belongs to a thread and that thread may take it again:
// while it holds the turn it still begins write transactions (one at a
// time), and every other thread's write transaction waits until the turn
// is given up.
//
// Waits: a thread may wait for a turn while it holds another store's turn
// or a lock (an update callback writing to a second database, a binding
// handle lock, "index resume lock"), and the holder of what it waits for
// may in turn wait for something this thread holds: then both would wait
// forever. So every wait for a turn, and every wait through WaitForLock,
// is recorded in a process-wide table of waiting threads (what each waits
// for), and a wait is checked against it as it begins: when the holder of
// what this thread would wait for waits, directly or through a chain of
// recorded waits, for something this thread holds, the wait would close a
// cycle, and it is refused at once (InvalidArgument). Only the wait that
// would close a cycle is refused; every other wait simply waits, and the
// table never holds a cycle. A thread that holds nothing cannot close one.
// The check happens once, when the wait begins: a later wait that would
// close a cycle through this one is the one refused.
//
// A wait may instead be one that gives way (WaitForLock with may_give_way):
// its thread has just taken something it can let go of again (a writer
// turn) and will do so rather than close a cycle. Another thread's check
// that reaches it stops there (it will let go); the waiting thread itself
// checks again in short steps and gives up the wait once a cycle runs
// through it.
//
// Waits that no table can see (a callback that hands a write to another
// thread and waits for it) are beyond this: such a thread waits forever.

#ifndef PALLIX_STORAGE_STORE_H_
#define PALLIX_STORAGE_STORE_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/error.h"
#include "base/lock.h"
#include "base/test_point.h"

struct MDB_env;
struct MDB_txn;

namespace pallix {

enum class StoreTable : uint8_t { kRecords = 0, kCatalog = 1, kMeta = 2 };

// One row: a row key (without the collection id) and its value bytes.
struct Row {
  std::string key;
  std::string value;
  bool operator==(const Row&) const = default;
};

// Visitor over rows: true to go on, false to stop, or an error that ends the
// walk and is passed through. The views are valid only during the call,
// with one exception: in a read snapshot (Txn::is_snapshot) a value view
// stays valid until the transaction ends. It points into the memory map,
// which moves only while no transaction is live, at pages that no writer
// reuses while a snapshot that sees them is open. A write transaction
// gives no such promise (its own writes move and reuse pages), nor does
// any key (a long key is assembled in a buffer of the walk).
using RowVisitor = std::function<Result<bool>(std::string_view key, std::string_view value)>;

// One row as a pair of views, for visitors that take rows a batch at a time.
struct RowRef {
  std::string_view key;
  std::string_view value;
};

// Visitor over batches of rows, in key order: as RowVisitor, once per batch
// of up to kRowBatch rows; the views are valid only during the call, the
// values of a read snapshot excepted as for RowVisitor. A
// whole-table walk pays one indirect call per batch instead of per row.
using RowBatchVisitor = std::function<Result<bool>(std::span<const RowRef> rows)>;
inline constexpr size_t kRowBatch = 256;

// Test-only fault injection: makes the n-th put or delete of a write
// transaction, the commit, or the begin of a transaction fail as LMDB
// failures would. Counts are per write transaction; -1 is off.
struct StoreFaults {
  int64_t fail_write_at = -1;  // the n-th (0-based) put/delete fails with Storage
  bool fail_commit = false;    // commit fails with Commit (nothing persists)
  bool fail_begin_write = false;
  bool fail_begin_read = false;
};

// Called around a wait for a writer turn or for a lock through
// LockWithoutTurnCycle, so that an embedder can let go of what must not be
// held while this thread waits (an interpreter its own lock; the binding
// also the handle lock of the write that waits). after() may end the
// thread by unwinding it; what the wait took is not kept then.
struct BlockingWaitHooks {
  void* (*before)() = nullptr;       // returns a token
  void (*after)(void* token) = nullptr;
};
void SetBlockingWaitHooks(BlockingWaitHooks hooks);

struct StoreOptions {
  // Initial size of the memory map. The file only grows with use; the map
  // is doubled before a write transaction once more than half is used.
  uint64_t map_size = 0;  // 0: the default for the backend
  // Never grow the map (tests of the full-map path).
  bool fixed_map_size = false;
};

// Hash of std::string that also accepts string_view, so maps keyed by
// collection name are searched by a borrowed name without a copy.
struct NameHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

class Txn;
class ReadTxn;
struct SnapshotTag;
class WriteTxn;

class Store {
 public:
  // Opens (creating when absent, never truncating) the database file at
  // path, locked exclusively; the lock is held on the file the path names
  // once it is taken (a file a compaction replaced meanwhile is let go and
  // the path opened again). Nothing but that file is touched or made,
  // there or anywhere: LMDB's lock file has no name, so the file's own
  // directory may be read-only, a "<path>-lock" there is none of our
  // business, and a process killed while opening leaves nothing. Errors:
  // Database ("I/O error: ..." for the file, "Database already open. Cannot
  // acquire lock." for a file another opener holds, "file is truncated:
  // <size> bytes, <needed> expected" for a file shorter than its meta pages
  // claim, the LMDB text for a file LMDB cannot open).
  static Result<std::unique_ptr<Store>> OpenFile(const std::string& path, StoreOptions options = {});
  // A private database in memory: nothing is visible in the file system,
  // not even while it opens.
  static Result<std::unique_ptr<Store>> OpenInMemory(StoreOptions options = {});

  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Transaction: a read snapshot. Errors: Transaction.
  Result<ReadTxn> BeginRead();
  // Transaction: a read snapshot of the commit `like` names (see
  // SnapshotTag), for another thread to read alongside the transaction
  // that gave the tag, and its views valid while that one is open; nullopt
  // when a commit came in between. Errors: Transaction.
  Result<std::optional<ReadTxn>> BeginReadOf(const SnapshotTag& like);
  // Transaction: the single write transaction; waits for the writer turn
  // unless this thread holds it. Errors: Transaction (also for a second
  // write transaction on a thread that has one open).
  Result<WriteTxn> BeginWrite();

  // The writer turn held for a scope: until it is destroyed, write
  // transactions of other threads wait, while this thread may still begin
  // its own. Taking it waits (through the blocking-wait hooks) while
  // another thread holds it or has a write transaction open; a thread that
  // holds it already takes it again at once. A wait that would close a
  // cycle (see above) is refused: InvalidArgument ("writer turn is held by
  // a thread waiting for this thread's write"). Whatever this thread waits
  // for while it holds the turn must be a recorded wait (a turn, or
  // WaitForLock), so that such a cycle is seen.
  class [[nodiscard]] WriterTurn {
   public:
    WriterTurn(WriterTurn&& other) noexcept : store_(std::exchange(other.store_, nullptr)) {}
    WriterTurn& operator=(WriterTurn&&) = delete;
    ~WriterTurn() {
      if (store_ != nullptr) store_->ReleaseTurn();
    }

   private:
    friend class Store;
    explicit WriterTurn(Store* store) : store_(store) {}
    Store* store_;
  };
  Result<WriterTurn> TakeWriterTurn();
  // Whether no thread holds the writer turn. Every write transaction and
  // every write's after-commit upkeep of in-memory copies runs inside a
  // turn, so a reader that sees it free, and then no commit newer than its
  // snapshot (LastCommitId), knows every commit up to its snapshot has had
  // that upkeep: an in-memory copy it reads under the copy's own lock then
  // holds exactly what its snapshot holds.
  bool WriterTurnFree() const { return turn_owner_.load(std::memory_order_seq_cst) == std::thread::id(); }
  // The turn when it is free or already this thread's, without waiting.
  std::optional<WriterTurn> TryTakeWriterTurn();

  // Waits for a lock held by another thread, the lock whose holder `owner`
  // records: try_for(d) tries to take it, waiting up to d. The wait is
  // recorded and checked (see above). kTaken once the lock is taken;
  // kRefused, without it, when the wait would close a cycle; with
  // may_give_way, kGaveWay instead, also once a cycle runs through the
  // wait later (the caller then lets go of what it can and waits again).
  enum class LockWait { kTaken, kRefused, kGaveWay };
  template <class TryFor>
  static LockWait WaitForLock(const std::atomic<std::thread::id>& owner, TryFor&& try_for,
                              bool may_give_way = false);

  bool in_memory() const { return in_memory_; }

  // The id of the newest committed write transaction: a read snapshot whose
  // SnapshotTag::txn_id equals it holds every commit made so far, so
  // nothing kept up after a commit can be ahead of it.
  uint64_t LastCommitId() const;

  // The database file's absolute path as resolved at open ("" in memory).
  const std::string& path() const { return path_; }
  // (device, inode) of the locked database file; nullopt in memory or when
  // the system cannot say. Lets a writer of another file refuse to write
  // over the database it reads from (a hard link or the very path).
  std::optional<std::pair<uint64_t, uint64_t>> FileIdentity() const;

  // Collection ids seen in committed catalog rows. A catalog row, once
  // committed, never changes and never goes, so a remembered id stays
  // valid for the life of the store; reads then skip the catalog lookup.
  // Only ids read through a read snapshot are remembered (a write
  // transaction may still roll back the row it read).
  std::optional<uint64_t> KnownCollectionId(std::string_view collection) const;
  void RememberCollectionId(std::string_view collection, uint64_t id);

  // Names a write transaction of this thread looked up in the catalog and
  // did not find, so that the next write skips the lookup (every write
  // asks for its collection's expiry rows, which most collections never
  // have). Catalog rows are only ever added, each by a write transaction
  // that calls NoteCollectionMade first; write transactions run one at a
  // time, so an answer stays true until the count of collections made
  // moves, and one transaction's own additions move it before it asks
  // again. Only for write transactions: a read snapshot may predate a row.
  bool KnownAbsent(std::string_view collection) const;
  void RememberAbsent(std::string_view collection);
  void NoteCollectionMade() { collections_made_.fetch_add(1, std::memory_order_release); }

  // Test hook; the pointer must outlive its use.
  void set_faults(StoreFaults* faults) { faults_ = faults; }
  StoreFaults* faults() const { return faults_; }

 private:
  friend class Txn;
  friend class ReadTxn;
  friend class WriteTxn;
  friend struct StoreCopy;  // copy.cc: raw table copies for backup and compaction
  Store() = default;
  // Opens the database on fd, already open read-write and locked (owned
  // from here on, closed on failure); path is what path() reports.
  static Result<std::unique_ptr<Store>> OpenLockedFd(int fd, std::string path, StoreOptions options);
  // Opens the environment at path (the path of an open descriptor). With
  // locked_fd >= 0, the file open there is checked against it before any
  // page but the meta pages is read.
  static Result<std::unique_ptr<Store>> OpenEnv(const std::string& path, unsigned flags, StoreOptions options,
                                                int locked_fd);
  // The LMDB return code of a failed write, with a write the file system cut
  // short for want of room (which LMDB reports as EIO) as ENOSPC.
  int WriteFailure(int rc) const;
  void MaybeGrowMap();
  void ReleaseReader(MDB_txn* txn);
  void ReleaseWriter();
  Status AcquireTurn();
  bool TryAcquireTurn();
  void TakeOwnership();
  void ReleaseTurn();
  // The recording of a wait for what `owner` names, checked as it begins:
  // false, and nothing recorded, when the wait would close a cycle.
  // Ended with EndWait.
  static bool BeginWait(const std::atomic<std::thread::id>* owner, bool gives_way);
  static void EndWait();
  // Whether a cycle of recorded waits runs through this thread's wait for
  // what `owner` names (for a wait that gives way).
  static bool WaitCloses(const std::atomic<std::thread::id>* owner);

  MDB_env* env_ = nullptr;
  unsigned dbi_[3] = {0, 0, 0};
  int lock_fd_ = -1;  // the flock'ed descriptor, kept until after env close
  std::string path_;
  bool in_memory_ = false;
  uint64_t map_size_ = 0;
  bool fixed_map_size_ = false;
  // SnapshotTag::mapping of the current map; set when the map is made or
  // moved, which happens only while no transaction is live.
  uint64_t mapping_ = 0;
  StoreFaults* faults_ = nullptr;

  std::mutex readers_mu_;
  std::vector<MDB_txn*> idle_readers_;  // reset read transactions for reuse
  std::atomic<int64_t> live_txns_{0};

  // The writer turn: turn_mu_ is locked while some thread holds it,
  // turn_owner_ names that thread, turn_depth_ (touched by the owner only)
  // counts its holds, write transactions included. turn_owner_ is only
  // compared with the reading thread's own id, or read under the wait
  // table's mutex, which orders it as the lock owners' slots are ordered,
  // or tested for no owner at all (WriterTurnFree).
  std::mutex turn_mu_;
  std::atomic<std::thread::id> turn_owner_{};
  uint64_t turn_depth_ = 0;
  // The thread with the write transaction open, if any. Compared only
  // with the reading thread's own id, which only that thread stores.
  std::atomic<std::thread::id> writer_thread_{};

  mutable std::mutex ids_mu_;
  std::unordered_map<std::string, uint64_t, NameHash, std::equal_to<>> committed_ids_;
  std::atomic<uint64_t> collections_made_{0};
  // A number no other store of this process has, by which a thread's
  // recent KnownCollectionId answers name their store.
  static uint64_t NextSerial();
  const uint64_t serial_ = NextSerial();
};

template <class TryFor>
Store::LockWait Store::WaitForLock(const std::atomic<std::thread::id>& owner, TryFor&& try_for, bool may_give_way) {
  if (!BeginWait(&owner, may_give_way)) return may_give_way ? LockWait::kGaveWay : LockWait::kRefused;
  struct Ended {
    ~Ended() { EndWait(); }
  } ended;
  ReachTestPoint(TestPoint::kLockWaits);
  // A wait that may give way looks again in short steps; any other was
  // checked as it began, and a later cycle through it is refused to the
  // wait that would close it.
  const std::chrono::nanoseconds step = may_give_way ? std::chrono::nanoseconds(std::chrono::milliseconds(2))
                                                     : std::chrono::nanoseconds(std::chrono::hours(1));
  for (;;) {
    if (try_for(step)) return LockWait::kTaken;
    if (may_give_way && WaitCloses(&owner)) return LockWait::kGaveWay;
  }
}

// Takes `mu`, waiting while another thread holds it (Store::WaitForLock,
// through the blocking-wait hooks). On success the caller holds it and
// lets it go with mu.Unlock(). Throws InvariantError when it is poisoned,
// as NamedMutex::Guard. Errors: InvalidArgument ("<name> is held by a
// thread waiting for this thread's write") when the wait would close a
// cycle of waits.
Status LockWithoutTurnCycle(NamedMutex& mu);

// What the bytes of a read snapshot are: the store's current memory map
// (a process-unique number that changes whenever the map may move: a store
// opening, the map growing) and the snapshot's transaction id. A snapshot
// is always the newest commit when it starts, and the pages of the newest
// commit are never written over, so two read transactions with equal tags
// see the same rows at the same addresses: a view of a row taken in one is
// valid in the other while that one is open (a read transaction's values
// are always views into the map). A write transaction's tag equals no
// other tag.
struct SnapshotTag {
  uint64_t mapping = 0;
  uint64_t txn_id = 0;

  bool SameSnapshot(const SnapshotTag& other) const {
    return mapping != 0 && mapping == other.mapping && txn_id == other.txn_id;
  }
};

// Operations common to read and write transactions. Keys are logical keys
// (for records: the 8-byte collection id followed by the row key).
class Txn {
 public:
  Txn(Txn&& other) noexcept;
  Txn& operator=(Txn&&) = delete;
  Txn(const Txn&) = delete;

  // The value under key, or nullopt. Errors: Storage.
  Result<std::optional<std::string>> Get(StoreTable table, std::string_view key) const;
  // As Get, calling fn(value) with a view into the snapshot instead of
  // copying; returns whether the key was found. Errors: Storage.
  Result<bool> GetWith(StoreTable table, std::string_view key,
                       const std::function<void(std::string_view)>& fn) const;
  // As GetWith for each key in order, calling fn(i, value) for each key i
  // found, stopping at the first error. In a read snapshot the keys are
  // searched together, so that their memory loads overlap: many point
  // reads known at once cost much less than one after another. Errors:
  // Storage.
  Status GetBatch(StoreTable table, std::span<const std::string_view> keys,
                  const std::function<void(size_t, std::string_view)>& fn) const;
  // Visits, in ascending bytewise order of the logical key, every row with
  // lower <= key (< *upper when upper is given). The visitor must not write
  // through this transaction. Errors: Storage, or the visitor's.
  Status Scan(StoreTable table, std::string_view lower, const std::string* upper, const RowVisitor& visit) const;
  // As Scan, handing rows to visit in batches, each key without its first
  // key_offset bytes (for records: the collection id, which every key of
  // the range shares). Errors: as Scan.
  Status ScanBatch(StoreTable table, std::string_view lower, const std::string* upper, size_t key_offset,
                   const RowBatchVisitor& visit) const;
  // Up to max keys that cut the rows with lower <= key (< *upper when
  // given) into parts of about equal size, ascending, each strictly inside
  // the range: start and end keys for walks of the parts side by side,
  // which together walk the range's rows in order. Taken from the tree's
  // inner pages, so a small range gets fewer or none. Errors: Storage.
  Result<std::vector<std::string>> SplitKeys(StoreTable table, std::string_view lower, const std::string* upper,
                                             size_t max) const;
  // A u64 meta or catalog value: nullopt when absent. Errors: Storage
  // (including "damaged u64 value under <key>" for a stored value that is
  // not 8 bytes long).
  Result<std::optional<uint64_t>> GetU64(StoreTable table, std::string_view key) const;

  Store& store() const { return *store_; }
  // True for a read snapshot: everything it reads is committed.
  bool is_snapshot() const { return snapshot_; }
  SnapshotTag snapshot_tag() const;

 protected:
  friend struct StoreCopy;
  Txn(Store* store, MDB_txn* txn, bool snapshot) : store_(store), txn_(txn), snapshot_(snapshot) {}
  // The walk under Scan and ScanBatch: hands each row in range, in order,
  // to sink.Row(key, value), and calls sink.EndRun() after a sorted run of
  // long keys, whose keys live only until the next run. Defined and
  // instantiated in rows.cc.
  template <class Sink>
  Status Walk(StoreTable table, std::string_view lower, const std::string* upper, Sink& sink) const;
  ~Txn() = default;

  Store* store_;
  MDB_txn* txn_;
  bool snapshot_;
};

class ReadTxn : public Txn {
 public:
  ReadTxn(ReadTxn&&) noexcept = default;
  ~ReadTxn();

 private:
  friend class Store;
  ReadTxn(Store* store, MDB_txn* txn) : Txn(store, txn, true) {}
};

class WriteTxn : public Txn {
 public:
  WriteTxn(WriteTxn&& other) noexcept
      : Txn(std::move(other)), writes_(other.writes_), parents_(std::move(other.parents_)) {}
  // Aborts unless committed.
  ~WriteTxn();

  // Inserts or replaces. *existed (when given) tells whether the key held a
  // value before. Errors: InvalidArgument (a row too large for LMDB, see
  // check_row_fits in rows.h), Storage (including a full map).
  Status Put(StoreTable table, std::string_view key, std::string_view value, bool* existed = nullptr);
  Status PutU64(StoreTable table, std::string_view key, uint64_t value);
  // Removes the key; returns whether it existed. Errors: Storage.
  Result<bool> Delete(StoreTable table, std::string_view key);
  // Makes every write durable (file databases sync). Errors: Commit ("No
  // space left on device" when the file system is full); the transaction is
  // gone either way and nothing of it persists.
  Status Commit();

  // Nested transactions: every write after BeginNested belongs to the
  // nested transaction until CommitNested folds it into its parent or
  // AbortNested discards it, leaving the parent exactly as it was. They
  // let a batch of writes share one durable commit while each write of
  // the batch stays all or nothing. Nesting may go deeper; Commit folds
  // any still open. Errors: Transaction (begin), Storage (fold).
  Status BeginNested();
  Status CommitNested();
  void AbortNested();
  size_t nesting() const { return parents_.size(); }

 private:
  friend class Store;
  WriteTxn(Store* store, MDB_txn* txn) : Txn(store, txn, false) {}
  Status CountWrite();
  int64_t writes_ = 0;
  std::vector<MDB_txn*> parents_;  // outermost first; txn_ is the innermost
};

}  // namespace pallix

#endif  // PALLIX_STORAGE_STORE_H_
