// The read view: the read-only interface over one transaction, which the
// query executor, the dump writer and every reader use; plus the one-shot
// reads that open a snapshot of their own, and document reads.
//
// Thread-safety: a ReadView borrows its transaction and is used by one
// thread at a time.

#ifndef PALLIX_STORAGE_READ_VIEW_H_
#define PALLIX_STORAGE_READ_VIEW_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.h"
#include "doc/value.h"
#include "storage/store.h"

namespace pallix {

// The read-only interface over one transaction (one snapshot). Borrows the
// transaction, which must outlive it. Results are owned copies; keys are
// row keys without the collection id; lists are in ascending bytewise order.
// Views handed to visitors follow RowVisitor's rule (store.h): valid during
// the call, and a value of a read snapshot until the transaction ends.
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
  // As view_for_each, handing rows over a batch at a time (RowBatchVisitor):
  // for walks over whole collections, which would otherwise pay an
  // indirect call or two per row.
  Status view_for_each_batch(std::string_view collection, const RowBatchVisitor& visit) const;
  // As view_for_each_batch over the rows with lower <= key (< *upper when
  // given).
  Status view_for_each_batch_between(std::string_view collection, std::string_view lower, const std::string* upper,
                                     const RowBatchVisitor& visit) const;
  // Up to max row keys that cut the collection's rows into parts of about
  // equal size (Txn::SplitKeys), ascending: the bounds of walks of the
  // parts (view_for_each_batch_between), which may run side by side on
  // other threads in snapshots of the same commit (Store::BeginReadOf).
  // None for an unknown collection, few or none for one of a few pages.
  Result<std::vector<std::string>> view_split_keys(std::string_view collection, size_t max) const;
  // As view_for_each over the rows whose key starts with prefix.
  Status view_for_each_prefix(std::string_view collection, std::string_view prefix, const RowVisitor& visit) const;

  // As view_get, handing a view of the stored bytes to fn instead of a copy.
  Result<bool> view_get_with(std::string_view collection, std::string_view key,
                             const std::function<void(std::string_view)>& fn) const;

  // As view_get_with for each of the collection's row keys in order,
  // calling fn(i, value) for each key i found (Txn::GetBatch); nothing for
  // an unknown collection. The first error ends the walk.
  Status view_get_batch(std::string_view collection, std::span<const std::string_view> keys,
                        const std::function<void(size_t, std::string_view)>& fn) const;

  const Txn& txn() const { return txn_; }
  SnapshotTag snapshot_tag() const { return txn_.snapshot_tag(); }

  // How many rows the collection walks (view_for_each, view_for_each_batch)
  // have handed to their visitors so far (a batch counts whole): what a caller learns about how far a walk
  // went, which tests and benchmarks read to show that a walk stops early.
  uint64_t rows_walked() const { return rows_walked_; }
  // Counts rows that walks in other snapshots of the same commit walked
  // for this view's caller.
  void add_rows_walked(uint64_t rows) const { rows_walked_ += rows; }

 private:
  // Scans [id + lower, upper of the collection's range or of the prefix).
  Status ScanRange(uint64_t id, std::string_view lower, const std::string* prefix_upper,
                   const RowVisitor& visit) const;

  const Txn& txn_;
  mutable std::string cached_name_;
  mutable std::optional<uint64_t> cached_id_;
  mutable bool cache_valid_ = false;
  mutable uint64_t rows_walked_ = 0;
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

// ------------------------------------------------------------ one-shot reads

// Each in a read snapshot of its own. Errors: Transaction on begin, Storage
// on reads.

Result<std::optional<std::string>> get_row_once(Store& store, std::string_view collection, std::string_view key);
Result<std::vector<Row>> scan_all_rows(Store& store, std::string_view collection);
Result<uint64_t> count_rows(Store& store, std::string_view collection);
Result<std::vector<Row>> scan_rows_batch(Store& store, std::string_view collection, std::string_view start,
                                         size_t limit);

}  // namespace pallix

#endif  // PALLIX_STORAGE_READ_VIEW_H_
