// The storage core: the LMDB environment with its three tables, transactions,
// the row interface every module reads and writes through, and the read view.
//
// This is the only module that includes lmdb.h; every LMDB return code is
// turned into an EngineError in one function of store.cc.
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
// stored value of any other length is a broken invariant.
//
// Keys of any length. LMDB refuses empty keys and keys over 511 bytes, but
// row keys are arbitrary byte strings (empty collection names, megabyte
// document keys, index keys embedding whole values). Every logical key K is
// first given its table prefix (catalog: one 0x00 byte, so the empty name is
// a valid LMDB key; records and meta: none), then stored as:
//
//   |K| <= 495 ("inline"):   LMDB key = K
//                            LMDB value = the logical value
//   |K| >  495 ("long"):     LMDB key (511 bytes):
//                              offset 0    size 495  K[0..495)
//                              offset 495  size 16   first 16 bytes of SHA-256(K)
//                            LMDB value:
//                              offset 0    size 4    u32 LE n = |K| - 495
//                              offset 4    size n    K[495..|K|)
//                              offset 4+n  ...       the logical value
//
// Order: an inline key and a long key compare in LMDB exactly as the logical
// keys do, because the long key's stored form starts with its first 495
// bytes and is longer than any inline key. Only long keys sharing their
// first 495 bytes ("a run") are out of logical order among themselves (they
// sort by digest); scans gather such a run, sort it by full key and emit it
// in exact bytewise order. Point reads and writes stay O(log n): the digest
// locates the row; the stored tail is compared with the requested key, so a
// digest collision reads as absent and refuses a write instead of
// overwriting another key. Costs: a long key pays a SHA-256 of itself per
// point operation and its tail bytes in the value; a scan over a run of r
// long keys with one 495-byte prefix holds the run in memory and sorts it.
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

#ifndef PALLIX_ENGINE_STORE_H_
#define PALLIX_ENGINE_STORE_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/error.h"
#include "engine/value.h"

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
// walk and is passed through. The views are valid only during the call.
using RowVisitor = std::function<Result<bool>(std::string_view key, std::string_view value)>;

// Test-only fault injection: makes the n-th put or delete of a write
// transaction, the commit, or the begin of a transaction fail as LMDB
// failures would. Counts are per write transaction; -1 is off.
struct StoreFaults {
  int64_t fail_write_at = -1;  // the n-th (0-based) put/delete fails with Storage
  bool fail_commit = false;    // commit fails with Commit (nothing persists)
  bool fail_begin_write = false;
  bool fail_begin_read = false;
};

// Called around a wait for the single writer slot, so that an embedding
// interpreter can release its own lock while this thread waits.
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
class WriteTxn;

class Store {
 public:
  // Opens (creating when absent, never truncating) the database file at
  // path, locked exclusively. Errors: Database ("I/O error: ..." for the
  // file, "Database already open. Cannot acquire lock." for a file another
  // opener holds, the LMDB text for a file LMDB cannot open).
  static Result<std::unique_ptr<Store>> OpenFile(const std::string& path, StoreOptions options = {});
  // A private database in memory: nothing is visible in the file system.
  static Result<std::unique_ptr<Store>> OpenInMemory(StoreOptions options = {});

  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Transaction: a read snapshot. Errors: Transaction.
  Result<ReadTxn> BeginRead();
  // Transaction: the single write transaction. Errors: Transaction.
  Result<WriteTxn> BeginWrite();

  bool in_memory() const { return in_memory_; }

  // Collection ids seen in committed catalog rows. A catalog row, once
  // committed, never changes and never goes, so a remembered id stays
  // valid for the life of the store; reads then skip the catalog lookup.
  // Only ids read through a read snapshot are remembered (a write
  // transaction may still roll back the row it read).
  std::optional<uint64_t> KnownCollectionId(std::string_view collection) const;
  void RememberCollectionId(std::string_view collection, uint64_t id);

  // Test hook; the pointer must outlive its use.
  void set_faults(StoreFaults* faults) { faults_ = faults; }
  StoreFaults* faults() const { return faults_; }

 private:
  friend class Txn;
  friend class ReadTxn;
  friend class WriteTxn;
  Store() = default;
  static Result<std::unique_ptr<Store>> OpenEnv(const std::string& path, unsigned flags, StoreOptions options);
  void MaybeGrowMap();
  void ReleaseReader(MDB_txn* txn);
  void ReleaseWriter();

  MDB_env* env_ = nullptr;
  unsigned dbi_[3] = {0, 0, 0};
  int lock_fd_ = -1;  // the flock'ed descriptor, kept until after env close
  bool in_memory_ = false;
  uint64_t map_size_ = 0;
  bool fixed_map_size_ = false;
  StoreFaults* faults_ = nullptr;

  std::mutex readers_mu_;
  std::vector<MDB_txn*> idle_readers_;  // reset read transactions for reuse
  std::atomic<int64_t> live_txns_{0};

  std::mutex writer_mu_;
  std::atomic<std::thread::id> writer_thread_{};

  mutable std::mutex ids_mu_;
  std::unordered_map<std::string, uint64_t, NameHash, std::equal_to<>> committed_ids_;
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
  // Visits, in ascending bytewise order of the logical key, every row with
  // lower <= key (< *upper when upper is given). The visitor must not write
  // through this transaction. Errors: Storage, or the visitor's.
  Status Scan(StoreTable table, std::string_view lower, const std::string* upper, const RowVisitor& visit) const;
  // A u64 meta or catalog value: nullopt when absent. A stored value that is
  // not 8 bytes long throws InvariantError. Errors: Storage.
  Result<std::optional<uint64_t>> GetU64(StoreTable table, std::string_view key) const;

  Store& store() const { return *store_; }
  // True for a read snapshot: everything it reads is committed.
  bool is_snapshot() const { return snapshot_; }

 protected:
  Txn(Store* store, MDB_txn* txn, bool snapshot) : store_(store), txn_(txn), snapshot_(snapshot) {}
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
  WriteTxn(WriteTxn&& other) noexcept : Txn(std::move(other)), writes_(other.writes_) {}
  // Aborts unless committed.
  ~WriteTxn();

  // Inserts or replaces. *existed (when given) tells whether the key held a
  // value before. Errors: Storage (including a full map).
  Status Put(StoreTable table, std::string_view key, std::string_view value, bool* existed = nullptr);
  Status PutU64(StoreTable table, std::string_view key, uint64_t value);
  // Removes the key; returns whether it existed. Errors: Storage.
  Result<bool> Delete(StoreTable table, std::string_view key);
  // Makes every write durable (file databases sync). Errors: Commit; the
  // transaction is gone either way.
  Status Commit();

 private:
  friend class Store;
  WriteTxn(Store* store, MDB_txn* txn) : Txn(store, txn, false) {}
  Status CountWrite();
  int64_t writes_ = 0;
};

// ------------------------------------------------------------ row interface

// The context of one write transaction: the transaction plus a cache of
// collection name to id, so a collection's catalog row is read once per
// transaction. Misses are cached too (nullopt: not in catalog), since a
// write looks up internal collections that usually do not exist (the
// key's expiry rows, for one); collection_id_or_create replaces the entry
// when it creates the collection, so collections must be created through
// it, not by writing catalog rows directly.
class WriteCtx {
 public:
  explicit WriteCtx(WriteTxn txn) : txn_(std::move(txn)) {}
  WriteTxn& txn() { return txn_; }
  Store& store() { return txn_.store(); }
  // Commits the transaction; once committed, the ids it used are known to
  // the store. Errors: Commit.
  Status Commit();

  std::unordered_map<std::string, std::optional<uint64_t>, NameHash, std::equal_to<>> ids;
  // Row counts as this transaction last wrote them (adjust_row_count
  // writes through at once, so the meta rows are always current); spares
  // a read per counted row. Counts change only through adjust_row_count.
  std::unordered_map<std::string, uint64_t, NameHash, std::equal_to<>> counts;

 private:
  WriteTxn txn_;
};

// Begins a write transaction and wraps it. Errors: Transaction.
Result<WriteCtx> BeginWriteCtx(Store& store);

// The records key of (collection id, row key).
std::string RecordKey(uint64_t id, std::string_view row_key);
// The meta keys of a collection.
std::string CountKey(std::string_view collection);
std::string AutoKey(std::string_view collection);

// Inside a write transaction (no name checks here).

// The collection's id: cached, else from catalog, else allocated from
// next_collection_id and recorded in catalog. Errors: Storage.
Result<uint64_t> collection_id_or_create(WriteCtx& ctx, std::string_view collection);
// The collection's id, or nullopt when it was never created. Creates
// nothing. Errors: Storage.
Result<std::optional<uint64_t>> collection_id(WriteCtx& ctx, std::string_view collection);
// Inserts or replaces a row; a new key raises cnt:<collection> by one.
Status put_row(WriteCtx& ctx, std::string_view collection, std::string_view key, std::string_view value);
// As put_row, never touching the count. Sets *existed when given.
Status put_row_uncounted(WriteCtx& ctx, std::string_view collection, std::string_view key,
                         std::string_view value, bool* existed = nullptr);
// The row's value, or nullopt (unknown collection or key; creates nothing).
Result<std::optional<std::string>> get_row(WriteCtx& ctx, std::string_view collection, std::string_view key);
// Removes a row; returns whether one existed. The count is not touched.
Result<bool> delete_row(WriteCtx& ctx, std::string_view collection, std::string_view key);
// delete_row, then lowers the count by one when a row was removed.
Result<bool> delete_row_counted(WriteCtx& ctx, std::string_view collection, std::string_view key);
// cnt:<collection> := current + delta, saturating at 0 and at UINT64_MAX;
// always written.
Status adjust_row_count(WriteCtx& ctx, std::string_view collection, int64_t delta);
// Up to limit rows with key >= start, in key order.
Result<std::vector<Row>> scan_rows_from(WriteCtx& ctx, std::string_view collection, std::string_view start,
                                        size_t limit);
// Removes every row of the collection in batches of 2048 and sets its count
// to 0; the collection keeps its id.
Status clear_collection_rows(WriteCtx& ctx, std::string_view collection);
// Streams the collection's rows, in key order, to visit (true: go on, false:
// stop, an error: returned unchanged); sees rows written earlier in the
// transaction. visit must not write through ctx. An unknown collection
// calls visit never. Errors: Storage, or visit's.
Status for_each_row(WriteCtx& ctx, std::string_view collection, const RowVisitor& visit);

// Each in a transaction of its own. Errors: Transaction on begin, Storage
// on reads and writes, Commit on commit.

Status put_row_once(Store& store, std::string_view collection, std::string_view key, std::string_view value);
Result<std::optional<std::string>> get_row_once(Store& store, std::string_view collection, std::string_view key);
Result<std::vector<Row>> scan_all_rows(Store& store, std::string_view collection);
Result<uint64_t> count_rows(Store& store, std::string_view collection);
Result<std::vector<Row>> scan_rows_batch(Store& store, std::string_view collection, std::string_view start,
                                         size_t limit);

// ------------------------------------------------------------ read view

// The read-only interface over one transaction (one snapshot). Borrows the
// transaction, which must outlive it. Results are owned copies; keys are
// row keys without the collection id; lists are in ascending bytewise order.
class ReadView {
 public:
  explicit ReadView(const Txn& txn) : txn_(txn) {}

  // The collection's id, or nullopt when it is not in catalog.
  Result<std::optional<uint64_t>> view_collection_id(std::string_view collection) const;

  Result<std::optional<std::string>> view_get(std::string_view collection, std::string_view key) const;
  Result<std::vector<Row>> view_scan_all(std::string_view collection) const;
  Result<std::vector<std::string>> view_list_collections() const;
  Result<std::vector<Row>> view_scan_from(std::string_view collection, std::string_view start, size_t limit) const;
  Result<std::vector<Row>> view_scan_prefix(std::string_view collection, std::string_view prefix) const;
  Result<uint64_t> view_count(std::string_view collection) const;
  // Calls visit for each row in key order, streaming; false stops the walk
  // successfully, an error ends it and is returned unchanged.
  Status view_for_each(std::string_view collection, const RowVisitor& visit) const;

  // As view_get, handing a view of the stored bytes to fn instead of a copy.
  Result<bool> view_get_with(std::string_view collection, std::string_view key,
                             const std::function<void(std::string_view)>& fn) const;

  const Txn& txn() const { return txn_; }

 private:
  // Scans [id + lower, upper of the collection's range or of the prefix).
  Status ScanRange(uint64_t id, std::string_view lower, const std::string* prefix_upper,
                   const RowVisitor& visit) const;

  const Txn& txn_;
  mutable std::string cached_name_;
  mutable std::optional<uint64_t> cached_id_;
  mutable bool cache_valid_ = false;
};

// ------------------------------------------------------------ documents

// Reads and decodes one document in its own read transaction; nullopt for
// an unknown collection or key. Errors: Transaction, Storage, Decode.
Result<std::optional<Value>> get_document(Store& store, std::string_view collection, std::string_view key);
// The same through an open read view.
Result<std::optional<Value>> get_document_via(const ReadView& view, std::string_view collection,
                                              std::string_view key);
// Every document of the collection, decoded, in key order.
Result<std::vector<std::pair<std::string, Value>>> scan_documents(const ReadView& view,
                                                                  std::string_view collection);

}  // namespace pallix

#endif  // PALLIX_ENGINE_STORE_H_
