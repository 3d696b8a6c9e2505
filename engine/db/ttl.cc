#include "db/ttl.h"

#include "base/coding.h"
#include "db/engine.h"
#include "storage/read_view.h"
#include "storage/rows.h"

namespace pallix {

namespace {

constexpr uint64_t kSignBit = uint64_t{1} << 63;
constexpr size_t kPurgeBatch = 4096;
constexpr char kByDoc = '\x00';
constexpr char kByExpiry = '\x01';

EngineError BadByDocRow(std::string_view ttl_coll, size_t size) {
  return EngineError::CorruptIndex("expiry row in " + std::string(ttl_coll) + " holds " + std::to_string(size) +
                                   " bytes, expected 8");
}

// The key's stored E, or nullopt; a stored value of another length fails.
Result<std::optional<std::string>> ReadByDoc(WriteCtx& ctx, std::string_view ttl_coll, std::string_view key) {
  ASSIGN_OR_RETURN(std::optional<std::string> stored, get_row(ctx, ttl_coll, ttl_key_by_doc(key)));
  if (stored && stored->size() != 8) return Fail(BadByDocRow(ttl_coll, stored->size()));
  return stored;
}

}  // namespace

std::string ttl_collection(std::string_view collection) { return "__ttl__" + std::string(collection); }

std::string encode_expiry(int64_t expiry) {
  uint64_t x = static_cast<uint64_t>(expiry) ^ kSignBit;
  std::string out(8, '\0');
  EncodeFixed64BE(out.data(), x);
  return out;
}

int64_t decode_expiry(std::string_view bytes) {
  uint64_t x = DecodeFixed64BE(bytes.data());
  return static_cast<int64_t>(x ^ kSignBit);
}

std::string ttl_key_by_doc(std::string_view key) {
  std::string out(1, kByDoc);
  out.append(key);
  return out;
}

std::string ttl_key_by_expiry(int64_t expiry, std::string_view key) {
  std::string out(1, kByExpiry);
  out.append(encode_expiry(expiry));
  out.append(key);
  return out;
}

Status clear_ttl(WriteCtx& ctx, std::string_view ttl_coll, std::string_view key) {
  ASSIGN_OR_RETURN(std::optional<std::string> stored, ReadByDoc(ctx, ttl_coll, key));
  if (!stored) return Ok();
  std::string by_expiry(1, kByExpiry);
  by_expiry.append(*stored);
  by_expiry.append(key);
  RETURN_IF_ERROR(delete_row_counted(ctx, ttl_coll, by_expiry));
  RETURN_IF_ERROR(delete_row_counted(ctx, ttl_coll, ttl_key_by_doc(key)));
  return Ok();
}

Status put_ttl_rows(WriteCtx& ctx, std::string_view collection, std::string_view key, int64_t expiry) {
  std::string ttl_coll = ttl_collection(collection);
  RETURN_IF_ERROR(clear_ttl(ctx, ttl_coll, key));
  RETURN_IF_ERROR(put_row(ctx, ttl_coll, ttl_key_by_expiry(expiry, key), {}));
  return put_row(ctx, ttl_coll, ttl_key_by_doc(key), encode_expiry(expiry));
}

Status drop_ttl_rows(WriteCtx& ctx, std::string_view collection, std::string_view key) {
  return clear_ttl(ctx, ttl_collection(collection), key);
}

Status set_ttl(Engine& engine, std::string_view collection, std::string_view key, int64_t expiry) {
  RETURN_IF_ERROR(check_collection_name(collection));
  RETURN_IF_ERROR(check_document_key(key));
  ASSIGN_OR_RETURN(WriteCtx ctx, BeginWriteCtx(engine.store()));
  RETURN_IF_ERROR(put_ttl_rows(ctx, collection, key, expiry));
  return ctx.Commit();
}

Result<std::optional<int64_t>> get_ttl(Engine& engine, std::string_view collection, std::string_view key) {
  std::string ttl_coll = ttl_collection(collection);
  ASSIGN_OR_RETURN(std::optional<std::string> stored, get_row_once(engine.store(), ttl_coll, ttl_key_by_doc(key)));
  if (!stored) return std::optional<int64_t>();
  if (stored->size() != 8) return Fail(BadByDocRow(ttl_coll, stored->size()));
  return std::optional<int64_t>(decode_expiry(*stored));
}

Result<std::vector<ExpiredKey>> collect_expired(Engine& engine, std::string_view collection, int64_t now) {
  std::string ttl_coll = ttl_collection(collection);
  std::vector<ExpiredKey> out;
  std::string start(1, kByExpiry);
  while (true) {
    ASSIGN_OR_RETURN(std::vector<Row> batch, scan_rows_batch(engine.store(), ttl_coll, start, kPurgeBatch));
    if (batch.empty()) return out;
    for (const Row& row : batch) {
      // A key too short to hold an instant ends the scan like a key past
      // the by-expiry rows: nothing after it is taken on trust.
      if (row.key.size() < 9 || row.key[0] != kByExpiry) return out;
      int64_t expiry = decode_expiry(std::string_view(row.key).substr(1, 8));
      if (expiry > now) return out;
      out.push_back(ExpiredKey{row.key.substr(9), expiry});
    }
    start = batch.back().key;
    start.push_back('\0');
  }
}

Result<ExpiryState> expiry_candidate_state(WriteCtx& ctx, std::string_view ttl_coll, const ExpiredKey& candidate) {
  ASSIGN_OR_RETURN(std::optional<std::string> stored, ReadByDoc(ctx, ttl_coll, candidate.key));
  if (stored && *stored == encode_expiry(candidate.expiry)) return ExpiryState::kCurrent;
  return ExpiryState::kStale;
}

}  // namespace pallix
