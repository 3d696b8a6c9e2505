#include "index/entry.h"

#include <optional>

#include "index/scalar_key.h"

namespace pallix {

std::string back_pointer_key(std::string_view doc_key) {
  std::string out(1, '\0');
  out.append(doc_key);
  return out;
}

namespace {

// Applies a row-count change: to the caller's tally, or to the count.
Status Count(WriteCtx& ctx, std::string_view ns, int64_t change, int64_t* delta) {
  if (delta != nullptr) {
    *delta += change;
    return Ok();
  }
  return change == 0 ? Ok() : adjust_row_count(ctx, ns, change);
}

// Puts a row without counting; returns 1 when it is new.
Result<int64_t> PutNew(WriteCtx& ctx, std::string_view ns, std::string_view key, std::string_view value) {
  bool existed = false;
  RETURN_IF_ERROR(put_row_uncounted(ctx, ns, key, value, &existed));
  return existed ? 0 : 1;
}

// Removes the entry whose back-pointer holds `old`; returns the rows removed.
Result<int64_t> RemoveRows(WriteCtx& ctx, std::string_view ns, std::string_view doc_key, const std::string& bp,
                           const std::string& old) {
  ASSIGN_OR_RETURN(bool forward_gone, delete_row(ctx, ns, old + std::string(doc_key)));
  ASSIGN_OR_RETURN(bool bp_gone, delete_row(ctx, ns, bp));
  return int64_t{forward_gone} + int64_t{bp_gone};
}

}  // namespace

Status index_entry_replace(WriteCtx& ctx, std::string_view ns, std::string_view doc_key,
                           const std::optional<std::string>& part, int64_t* delta) {
  const std::string bp = back_pointer_key(doc_key);
  ASSIGN_OR_RETURN(std::optional<std::string> old, get_row(ctx, ns, bp));
  int64_t change = 0;
  if (old && part && *old == *part) {
    // Unchanged: the entry stays; a forward row lost to damage comes back.
    ASSIGN_OR_RETURN(change, PutNew(ctx, ns, *part + std::string(doc_key), {}));
    return Count(ctx, ns, change, delta);
  }
  if (old) {
    ASSIGN_OR_RETURN(int64_t removed, RemoveRows(ctx, ns, doc_key, bp, *old));
    change -= removed;
  }
  if (part) {
    ASSIGN_OR_RETURN(int64_t forward_new, PutNew(ctx, ns, *part + std::string(doc_key), {}));
    ASSIGN_OR_RETURN(int64_t bp_new, PutNew(ctx, ns, bp, *part));
    change += forward_new + bp_new;
  }
  return Count(ctx, ns, change, delta);
}

Status index_entry_remove(WriteCtx& ctx, std::string_view ns, std::string_view doc_key, int64_t* delta) {
  return index_entry_replace(ctx, ns, doc_key, std::nullopt, delta);
}

Status scalar_entry_put(WriteCtx& ctx, std::string_view ns, std::string_view doc_key, const Value& value,
                        int64_t* delta) {
  return index_entry_replace(ctx, ns, doc_key, encode_scalar_key(value), delta);
}

Result<bool> compound_entry_put(WriteCtx& ctx, std::string_view ns, std::string_view doc_key,
                                std::span<const Value* const> values, int64_t* delta) {
  std::optional<std::string> key = compound_key(values);
  RETURN_IF_ERROR(index_entry_replace(ctx, ns, doc_key, key, delta));
  return key.has_value();
}

Status scan_index_from(const ReadView& view, std::string_view ns, std::string_view start, const RowVisitor& visit) {
  ASSIGN_OR_RETURN(std::optional<uint64_t> id, view.view_collection_id(ns));
  if (!id) return Ok();
  // The namespace's rows end where the next collection id begins.
  std::string upper = *id == UINT64_MAX ? std::string() : RecordKey(*id + 1, {});
  return view.txn().Scan(StoreTable::kRecords, RecordKey(*id, start), upper.empty() ? nullptr : &upper,
                         [&](std::string_view k, std::string_view v) -> Result<bool> {
                           ASSIGN_OR_RETURN(std::string_view row_key, RowKeyOf(k));
                           return visit(row_key, v);
                         });
}

}  // namespace pallix
