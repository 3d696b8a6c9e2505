#include "index/entry.h"

#include <optional>

#include "index/scalar_key.h"

namespace pallix {

std::string back_pointer_key(std::string_view doc_key) {
  std::string out(1, '\0');
  out.append(doc_key);
  return out;
}

Status index_entry_remove(WriteCtx& ctx, std::string_view ns, std::string_view doc_key) {
  const std::string bp = back_pointer_key(doc_key);
  ASSIGN_OR_RETURN(std::optional<std::string> part, get_row(ctx, ns, bp));
  if (!part) return Ok();
  std::string forward = std::move(*part);
  forward.append(doc_key);
  // A forward row that is already gone only means nothing is removed for it.
  RETURN_IF_ERROR(delete_row_counted(ctx, ns, forward));
  RETURN_IF_ERROR(delete_row_counted(ctx, ns, bp));
  return Ok();
}

Status index_entry_write(WriteCtx& ctx, std::string_view ns, std::string_view doc_key, std::string_view part) {
  std::string forward(part);
  forward.append(doc_key);
  RETURN_IF_ERROR(put_row(ctx, ns, forward, {}));
  return put_row(ctx, ns, back_pointer_key(doc_key), part);
}

Status scalar_entry_put(WriteCtx& ctx, std::string_view ns, std::string_view doc_key, const Value& value) {
  RETURN_IF_ERROR(index_entry_remove(ctx, ns, doc_key));
  std::optional<std::string> key = encode_scalar_key(value);
  if (!key) return Ok();
  return index_entry_write(ctx, ns, doc_key, *key);
}

Result<bool> compound_entry_put(WriteCtx& ctx, std::string_view ns, std::string_view doc_key,
                                std::span<const Value* const> values) {
  RETURN_IF_ERROR(index_entry_remove(ctx, ns, doc_key));
  std::optional<std::string> key = compound_key(values);
  if (!key) return false;
  RETURN_IF_ERROR(index_entry_write(ctx, ns, doc_key, *key));
  return true;
}

Status scan_index_from(const ReadView& view, std::string_view ns, std::string_view start, const RowVisitor& visit) {
  ASSIGN_OR_RETURN(std::optional<uint64_t> id, view.view_collection_id(ns));
  if (!id) return Ok();
  // The namespace's rows end where the next collection id begins.
  std::string upper = *id == UINT64_MAX ? std::string() : RecordKey(*id + 1, {});
  return view.txn().Scan(StoreTable::kRecords, RecordKey(*id, start), upper.empty() ? nullptr : &upper,
                         [&](std::string_view k, std::string_view v) { return visit(k.substr(8), v); });
}

}  // namespace pallix
