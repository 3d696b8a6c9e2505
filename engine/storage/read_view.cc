#include "storage/read_view.h"

#include <cstring>

#include "base/coding.h"
#include "storage/rows.h"
#include "storage/store_internal.h"

namespace pallix {

using store_internal::CollectionUpper;
using store_internal::ScanCollection;
using store_internal::ScanLimited;

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
  EncodeFixed64BE(buf, *id);
  if (!key.empty()) std::memcpy(buf + 8, key.data(), key.size());
  return txn_.GetWith(StoreTable::kRecords, std::string_view(buf, 8 + key.size()), fn);
}

Status ReadView::view_get_batch(std::string_view collection, std::span<const std::string_view> keys,
                               const std::function<void(size_t, std::string_view)>& fn) const {
  ASSIGN_OR_RETURN(std::optional<uint64_t> id, view_collection_id(collection));
  if (!id) return Ok();
  // Every record key in one buffer: one allocation for the batch.
  size_t total = 0;
  for (std::string_view key : keys) total += 8 + key.size();
  std::string buf(total, '\0');
  std::vector<std::string_view> records;
  records.reserve(keys.size());
  char* p = buf.data();
  for (std::string_view key : keys) {
    EncodeFixed64BE(p, *id);
    if (!key.empty()) std::memcpy(p + 8, key.data(), key.size());
    records.emplace_back(p, 8 + key.size());
    p += 8 + key.size();
  }
  return txn_.GetBatch(StoreTable::kRecords, records, fn);
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
  RETURN_IF_ERROR(view_for_each_prefix(collection, prefix, [&](std::string_view k, std::string_view v) -> Result<bool> {
    rows.push_back(Row{std::string(k), std::string(v)});
    return true;
  }));
  return rows;
}

Status ReadView::view_for_each_prefix(std::string_view collection, std::string_view prefix,
                                      const RowVisitor& visit) const {
  ASSIGN_OR_RETURN(std::optional<uint64_t> id, view_collection_id(collection));
  if (!id) return Ok();
  // Upper bound: the prefix successor of (id + prefix): drop trailing 0xFF
  // bytes, then add one to the last byte. All 0xFF: no upper bound.
  std::string upper = RecordKey(*id, prefix);
  while (!upper.empty() && static_cast<uint8_t>(upper.back()) == 0xFF) upper.pop_back();
  const std::string* upper_ptr = nullptr;
  if (!upper.empty()) {
    upper.back() = static_cast<char>(static_cast<uint8_t>(upper.back()) + 1);
    upper_ptr = &upper;
  }
  return txn_.Scan(StoreTable::kRecords, RecordKey(*id, prefix), upper_ptr,
                   [&](std::string_view k, std::string_view v) -> Result<bool> {
                     ASSIGN_OR_RETURN(std::string_view row_key, RowKeyOf(k));
                     return visit(row_key, v);
                   });
}

Result<uint64_t> ReadView::view_count(std::string_view collection) const {
  ASSIGN_OR_RETURN(std::optional<uint64_t> count, txn_.GetU64(StoreTable::kMeta, CountKey(collection)));
  return count.value_or(0);
}

Status ReadView::view_for_each(std::string_view collection, const RowVisitor& visit) const {
  ASSIGN_OR_RETURN(std::optional<uint64_t> id, view_collection_id(collection));
  if (!id) return Ok();
  return ScanCollection(txn_, *id, {}, [&](std::string_view key, std::string_view value) -> Result<bool> {
    ++rows_walked_;
    return visit(key, value);
  });
}

Status ReadView::view_for_each_batch(std::string_view collection, const RowBatchVisitor& visit) const {
  return view_for_each_batch_between(collection, {}, nullptr, visit);
}

Status ReadView::view_for_each_batch_between(std::string_view collection, std::string_view lower,
                                             const std::string* upper, const RowBatchVisitor& visit) const {
  ASSIGN_OR_RETURN(std::optional<uint64_t> id, view_collection_id(collection));
  if (!id) return Ok();
  std::optional<std::string> end = upper != nullptr ? std::optional(RecordKey(*id, *upper)) : CollectionUpper(*id);
  return txn_.ScanBatch(StoreTable::kRecords, RecordKey(*id, lower), end ? &*end : nullptr, 8,
                        [&](std::span<const RowRef> rows) -> Result<bool> {
                          rows_walked_ += rows.size();
                          return visit(rows);
                        });
}

Result<std::vector<std::string>> ReadView::view_split_keys(std::string_view collection, size_t max) const {
  ASSIGN_OR_RETURN(std::optional<uint64_t> id, view_collection_id(collection));
  if (!id) return std::vector<std::string>();
  std::optional<std::string> upper = CollectionUpper(*id);
  ASSIGN_OR_RETURN(std::vector<std::string> keys,
                   txn_.SplitKeys(StoreTable::kRecords, RecordKey(*id, {}), upper ? &*upper : nullptr, max));
  for (std::string& key : keys) key.erase(0, 8);  // inside the range: the id and at least one byte more
  return keys;
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
