// The row interface: rows of named collections inside the records table,
// with collection ids resolved through catalog and row counts kept in meta.
// Every module reads and writes storage through these functions or through
// the read view (read_view.h); none builds an LMDB key itself.
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
// overwriting another key. A stored value whose header cannot be right, or
// whose tail is neither the requested key's nor hashes to the stored digest,
// is damage: reads, scans, writes and deletes of it fail with a Storage error
// ("damaged long-key row in <table>: ...") rather than skip the row or take
// it for a collision. Costs: a long key pays a SHA-256 of itself per point
// operation and its tail bytes in the value; a scan hashes every long key it
// passes, and over a run of r long keys with one 495-byte prefix holds the
// run in memory and sorts it.
//
// Thread-safety: a WriteCtx belongs to the thread holding its transaction.

#ifndef PALLIX_STORAGE_ROWS_H_
#define PALLIX_STORAGE_ROWS_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/error.h"
#include "storage/store.h"

namespace pallix {

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
  // A nested transaction (store.h); aborting one also forgets the cached
  // ids and counts, which may hold what the nested writes did; so does a
  // fold that fails.
  Status BeginNested() { return txn_.BeginNested(); }
  Status CommitNested() {
    Status folded = txn_.CommitNested();
    if (!folded) {
      ids.clear();
      counts.clear();
    }
    return folded;
  }
  void AbortNested() {
    txn_.AbortNested();
    ids.clear();
    counts.clear();
  }

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
// The row key of a records key met by a scan: the bytes after the 8-byte
// collection id. A shorter key inside a collection's range can only come
// from a damaged page (its nodes out of order): Storage ("damaged row in
// records: ...").
Result<std::string_view> RowKeyOf(std::string_view records_key);
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
// As get_row, handing a view of the stored bytes to fn instead of a copy;
// returns whether the row exists. The bytes stay valid until the
// transaction's next write or its end.
Result<bool> get_row_with(WriteCtx& ctx, std::string_view collection, std::string_view key,
                          const std::function<void(std::string_view)>& fn);
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
// for_each_row over the rows with key >= start: what scan_rows_from reads,
// without a copy of each row (a short walk read on every write pays for
// the copies more than for the walk).
Status for_each_row_from(WriteCtx& ctx, std::string_view collection, std::string_view start,
                         const RowVisitor& visit);

// Whether a row of a named collection with a row key of key_size bytes and
// a value of value_size bytes can be stored: LMDB holds at most 2^32 - 1
// bytes in one value, and a long key's tail goes there too. Sizes alone,
// nothing read: for a check before any transaction. InvalidArgument ("row
// too large: ...") otherwise; the row functions above return the same
// error for such a row, inside their transaction.
Status check_row_fits(size_t key_size, size_t value_size);

// In a transaction of its own. Errors: Transaction on begin, Storage on the
// write, Commit on commit.
Status put_row_once(Store& store, std::string_view collection, std::string_view key, std::string_view value);

}  // namespace pallix

#endif  // PALLIX_STORAGE_ROWS_H_
