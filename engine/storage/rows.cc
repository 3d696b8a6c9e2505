#include "storage/rows.h"

#include <lmdb.h>

#include <algorithm>
#include <cstring>

#include "base/coding.h"
#include "base/lock.h"
#include "base/sha256.h"
#include "storage/read_view.h"
#include "storage/store_internal.h"

namespace pallix {

using store_internal::FromLmdb;
using store_internal::InjectedFault;
using store_internal::Val;
using store_internal::View;
using store_internal::ScanCollection;
using store_internal::ScanLimited;

// ------------------------------------------------------------ long keys

namespace {

constexpr size_t kInlineMax = 495;
constexpr size_t kDigestSize = 16;
constexpr size_t kLongKeySize = kInlineMax + kDigestSize;  // LMDB's 511-byte limit
static_assert(kLongKeySize == 511);

// LMDB's largest stored value (its MAXDATASIZE on 64-bit systems).
constexpr uint64_t kMaxStoredValue = UINT32_MAX;

// Whether a row fits that limit: its logical value plus, for a long key,
// the key's tail and the tail's u32 length. full_size is the size of the
// table-prefixed logical key. Overflow-free for any sizes.
bool RowFits(uint64_t full_size, uint64_t value_size) {
  if (full_size <= kInlineMax) return value_size <= kMaxStoredValue;
  uint64_t tail = full_size - kInlineMax;
  return tail <= kMaxStoredValue - 4 && value_size <= kMaxStoredValue - 4 - tail;
}

EngineError RowTooLarge(uint64_t key_size, uint64_t value_size) {
  return EngineError::InvalidArgument("row too large: key length " + std::to_string(key_size) +
                                      " and value length " + std::to_string(value_size) +
                                      " exceed the storage limit of " + std::to_string(kMaxStoredValue) + " bytes");
}

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

EngineError DamagedLongRow(StoreTable table, const std::string& what) {
  return EngineError::Storage(std::string("damaged long-key row in ") + store_internal::TableName(table) + ": " +
                              what);
}

// A long row's stored value, split.
struct LongParts {
  std::string_view tail;   // the key's bytes past the first 495
  std::string_view value;  // the logical value
};

// Splits a long row's stored value. A header that cannot be right (no room
// for it, an empty tail, a tail running past the value) is damage: it is
// reported, never read as absence, which would hide the row from scans and
// let a write "insert" a key that is already there.
Result<LongParts> SplitLongValue(StoreTable table, std::string_view stored_value) {
  if (stored_value.size() < 4)
    return Fail(DamagedLongRow(table, "a " + std::to_string(stored_value.size()) +
                                          "-byte value has no room for its 4-byte header"));
  uint32_t n = DecodeFixed32LE(stored_value.data());
  if (n == 0) return Fail(DamagedLongRow(table, "empty key tail"));
  if (stored_value.size() - 4 < n)
    return Fail(DamagedLongRow(table, "a key tail of " + std::to_string(n) + " bytes runs past the end of a " +
                                          std::to_string(stored_value.size()) + "-byte value"));
  return LongParts{stored_value.substr(4, n), stored_value.substr(4 + n)};
}

// Whether the digest in a long row's stored key is that of full.
bool DigestMatches(std::string_view stored_key, std::string_view full) {
  uint8_t digest[32];
  Sha256(full, digest);
  return std::memcmp(stored_key.data() + kInlineMax, digest, kDigestSize) == 0;
}

// For a long key `full` found under stored_key: the logical value when the
// row is full's; nullopt when it is another key's whose digest collides
// with full's. A tail that is neither full's nor hashes to the stored
// digest is a damaged row, not a collision. Errors: Storage.
Result<std::optional<std::string_view>> LongValueFor(StoreTable table, std::string_view full,
                                                     std::string_view stored_key, std::string_view stored_value) {
  ASSIGN_OR_RETURN(LongParts parts, SplitLongValue(table, stored_value));
  if (parts.tail == full.substr(kInlineMax)) return std::optional<std::string_view>(parts.value);
  std::string other(full.substr(0, kInlineMax));
  other.append(parts.tail);
  if (!DigestMatches(stored_key, other)) return Fail(DamagedLongRow(table, "its key does not match its digest"));
  return std::optional<std::string_view>();
}

}  // namespace

// ------------------------------------------------------------ transactions

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
  ASSIGN_OR_RETURN(std::optional<std::string_view> value, LongValueFor(table, full, View(k), View(v)));
  if (!value) return false;  // another key with the same digest
  fn(*value);
  return true;
}

Status Txn::GetBatch(StoreTable table, std::span<const std::string_view> keys,
                     const std::function<void(size_t, std::string_view)>& fn) const {
  for (size_t lo = 0; lo < keys.size(); lo += MDB_BATCH_MAX) {
    const size_t n = std::min<size_t>(MDB_BATCH_MAX, keys.size() - lo);
    std::string pbufs[MDB_BATCH_MAX];
    MDB_val k[MDB_BATCH_MAX], v[MDB_BATCH_MAX];
    int rcs[MDB_BATCH_MAX];
    bool single[MDB_BATCH_MAX];
    unsigned int batched = 0;
    size_t slot[MDB_BATCH_MAX];
    for (size_t i = 0; i < n; ++i) {
      std::string_view full = Prefixed(table, keys[lo + i], pbufs[i]);
      // Long keys need their stored tail compared: they are read one by
      // one below.
      single[i] = full.size() > kInlineMax;
      if (single[i]) continue;
      slot[i] = batched;
      k[batched++] = Val(full);
    }
    int rc = mdb_get_batch(txn_, store_->dbi_[static_cast<int>(table)], batched, k, v, rcs);
    if (rc != 0) return Fail(FromLmdb(ErrorKind::kStorage, rc));
    for (size_t i = 0; i < n; ++i) {
      if (single[i]) {
        RETURN_IF_ERROR(GetWith(table, keys[lo + i], [&](std::string_view value) { fn(lo + i, value); }));
        continue;
      }
      int key_rc = rcs[slot[i]];
      if (key_rc == MDB_NOTFOUND) continue;
      if (key_rc != 0) return Fail(FromLmdb(ErrorKind::kStorage, key_rc));
      fn(lo + i, View(v[slot[i]]));
    }
  }
  return Ok();
}

Result<std::optional<std::string>> Txn::Get(StoreTable table, std::string_view key) const {
  std::optional<std::string> out;
  RETURN_IF_ERROR(GetWith(table, key, [&](std::string_view v) { out.emplace(v); }));
  return out;
}

Result<std::optional<uint64_t>> Txn::GetU64(StoreTable table, std::string_view key) const {
  std::optional<uint64_t> out;
  bool damaged = false;
  RETURN_IF_ERROR(GetWith(table, key, [&](std::string_view v) {
    if (v.size() == 8) {
      out = DecodeFixed64LE(v.data());
    } else {
      damaged = true;
    }
  }));
  // Stored bytes, not our memory: a wrong length is damage to report.
  if (damaged) return Fail(EngineError::Storage("damaged u64 value under " + std::string(key)));
  return out;
}

namespace {

// Gathered rows of one run of long keys, sorted by full key.
struct LongRow {
  std::string key;  // full prefixed logical key
  std::string_view value;
};

// Whether key is at or past the scan's upper bound, tested for every row
// the walk meets. A records range ends at the next collection's 8-byte
// id, and every records key starts with its own id: those compare as two
// big-endian integers (equal ids: key starts with the bound, so it is at
// or past it). A part of a collection's walk ends at a row key, which the
// keys before it mostly share all but their last bytes with: eight bytes
// at a time, as big-endian words, this costs a few loads and compares
// where a memcmp call per row cost several times the row's other key work.
bool AtOrPast(std::string_view key, std::string_view upper) {
  if (upper.size() == 8 && key.size() >= 8) return DecodeFixed64BE(key.data()) >= DecodeFixed64BE(upper.data());
  const size_t n = std::min(key.size(), upper.size());
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const uint64_t a = DecodeFixed64BE(key.data() + i), b = DecodeFixed64BE(upper.data() + i);
    if (a != b) return a > b;
  }
  if (i < n && n >= 8) {
    // The last eight bytes, overlapping those found equal: the bytes from
    // i on decide, in one compare instead of a loop over each.
    const uint64_t a = DecodeFixed64BE(key.data() + n - 8), b = DecodeFixed64BE(upper.data() + n - 8);
    if (a != b) return a > b;
    i = n;
  }
  for (; i < n; ++i) {
    const auto a = static_cast<unsigned char>(key[i]), b = static_cast<unsigned char>(upper[i]);
    if (a != b) return a > b;
  }
  return key.size() >= upper.size();
}

}  // namespace

template <class Sink>
Status Txn::Walk(StoreTable table, std::string_view lower_key, const std::string* upper_key, Sink& sink) const {
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

  // Returns: true go on, false stop (bound passed or the sink asked), or
  // an error. Keys come in ascending order, so once one reaches the lower
  // bound every later one does, and the comparison is skipped.
  bool reached_lower = false;
  auto emit = [&](std::string_view full, std::string_view value) -> Result<bool> {
    if (!reached_lower) {
      if (full < lower) return true;
      reached_lower = true;
    }
    if (upper && AtOrPast(full, *upper)) return false;
    // Stored keys are never empty, so strip (0 or 1) lies within full.
    return sink.Row(std::string_view(full.data() + strip, full.size() - strip), value);
  };

  // Seek to the first stored key at or after the lower bound's stored
  // prefix; a long lower bound may fall inside a run, which emit() trims.
  MDB_val k = Val(lower.substr(0, std::min(lower.size(), kInlineMax))), v;
  rc = mdb_cursor_get(cur, &k, &v, k.mv_size == 0 ? MDB_FIRST : MDB_SET_RANGE);
  std::vector<LongRow> run;
  while (rc == 0) {
    std::string_view stored = View(k);
    // Stored keys are inline (at most 495 bytes) or long (exactly 511).
    if (stored.size() > kInlineMax && stored.size() != kLongKeySize) {
      if (upper && stored >= *upper) return Ok();
      return Fail(EngineError::Storage(std::string("damaged row in ") + store_internal::TableName(table) + ": a " +
                                       std::to_string(stored.size()) + "-byte stored key"));
    }
    if (stored.size() != kLongKeySize) {
      ASSIGN_OR_RETURN(bool go_on, emit(stored, View(v)));
      if (!go_on) return Ok();
      rc = mdb_cursor_get(cur, &k, &v, MDB_NEXT);
      continue;
    }
    // A run of long keys sharing their first 495 bytes: gather, sort, emit.
    std::string prefix(stored.substr(0, kInlineMax));
    if (upper && std::string_view(prefix) > *upper) return Ok();
    run.clear();
    while (rc == 0 && k.mv_size == kLongKeySize && View(k).substr(0, kInlineMax) == prefix) {
      ASSIGN_OR_RETURN(LongParts parts, SplitLongValue(table, View(v)));
      std::string full = prefix + std::string(parts.tail);
      // A damaged tail would otherwise be emitted as a key nobody wrote.
      if (!DigestMatches(View(k), full)) return Fail(DamagedLongRow(table, "its key does not match its digest"));
      run.push_back(LongRow{std::move(full), parts.value});
      rc = mdb_cursor_get(cur, &k, &v, MDB_NEXT);
    }
    std::sort(run.begin(), run.end(), [](const LongRow& a, const LongRow& b) { return a.key < b.key; });
    for (const LongRow& row : run) {
      ASSIGN_OR_RETURN(bool go_on, emit(row.key, row.value));
      if (!go_on) return Ok();
    }
    ASSIGN_OR_RETURN(bool go_on, sink.EndRun());
    if (!go_on) return Ok();
  }
  if (rc != MDB_NOTFOUND) return Fail(FromLmdb(ErrorKind::kStorage, rc));
  return Ok();
}

namespace {

// Scan's sink: each row straight to the visitor.
struct EachRow {
  const RowVisitor& visit;
  Result<bool> Row(std::string_view key, std::string_view value) { return visit(key, value); }
  Result<bool> EndRun() { return true; }
};

// ScanBatch's sink: rows gathered and handed over kRowBatch at a time, and
// at the end of each long-key run, whose keys the walk is about to drop.
class RowBatcher {
 public:
  RowBatcher(const RowBatchVisitor& visit, size_t key_offset) : visit_(visit), key_offset_(key_offset) {
    rows_.reserve(kRowBatch);
  }

  Result<bool> Row(std::string_view key, std::string_view value) {
    // Every key of a range shares its first key_offset bytes; a shorter
    // one comes from a damaged page.
    if (key.size() < key_offset_) [[unlikely]]
      return Fail(EngineError::Storage("damaged row: a " + std::to_string(key.size()) + "-byte key inside a range of " +
                                       std::to_string(key_offset_) + "-byte prefixes"));
    rows_.push_back(RowRef{key.substr(key_offset_), value});
    if (rows_.size() < kRowBatch) return true;
    return Flush();
  }
  Result<bool> EndRun() { return Flush(); }

  // Hands over the rows gathered; remembers a visitor's stop, after which
  // nothing more is handed over.
  Result<bool> Flush() {
    if (stopped_) return false;
    if (rows_.empty()) return true;
    ASSIGN_OR_RETURN(bool go_on, visit_(rows_));
    rows_.clear();
    stopped_ = !go_on;
    return go_on;
  }

 private:
  const RowBatchVisitor& visit_;
  const size_t key_offset_;
  std::vector<RowRef> rows_;
  bool stopped_ = false;
};

}  // namespace

Status Txn::Scan(StoreTable table, std::string_view lower_key, const std::string* upper_key,
                 const RowVisitor& visit) const {
  EachRow sink{visit};
  return Walk(table, lower_key, upper_key, sink);
}

Status Txn::ScanBatch(StoreTable table, std::string_view lower_key, const std::string* upper_key,
                      size_t key_offset, const RowBatchVisitor& visit) const {
  RowBatcher sink(visit, key_offset);
  RETURN_IF_ERROR(Walk(table, lower_key, upper_key, sink));
  // The walk ended at a bound or the table's end with rows still gathered.
  RETURN_IF_ERROR(sink.Flush());
  return Ok();
}

Result<std::vector<std::string>> Txn::SplitKeys(StoreTable table, std::string_view lower_key,
                                                const std::string* upper_key, size_t max) const {
  std::vector<std::string> keys;
  max = std::min<size_t>(max, MDB_SPLIT_PAGES - 1);
  if (max == 0) return keys;
  std::string lbuf, ubuf;
  const std::string_view lower = Prefixed(table, lower_key, lbuf);
  std::optional<std::string_view> upper;
  if (upper_key != nullptr) upper = Prefixed(table, *upper_key, ubuf);
  // Stored keys order as their first kInlineMax bytes: the bounds cut
  // there are at or before the full ones, and every key given is checked
  // against the full bounds below.
  MDB_val lo = Val(lower.substr(0, std::min(lower.size(), kInlineMax)));
  MDB_val hi = upper ? Val(upper->substr(0, std::min(upper->size(), kInlineMax))) : MDB_val{};
  std::vector<MDB_val> found(max);
  unsigned int count = 0;
  const int rc = mdb_range_splits(txn_, store_->dbi_[static_cast<int>(table)], &lo, upper ? &hi : nullptr,
                                  static_cast<unsigned int>(max), found.data(), &count);
  if (rc != 0) return Fail(FromLmdb(ErrorKind::kStorage, rc));
  const size_t strip = table == StoreTable::kCatalog ? 1 : 0;
  for (unsigned int i = 0; i < count; ++i) {
    std::string_view key = View(found[i]);
    // A long key's stored form is not a key of the table (its tail is in
    // its value); its first kInlineMax bytes are, below every key of its
    // run: a part starts at the run, which stays in one part.
    if (key.size() > kInlineMax) key = key.substr(0, kInlineMax);
    if (key <= lower || (upper && key >= *upper)) continue;
    if (!keys.empty() && key.substr(strip) <= keys.back()) continue;
    keys.emplace_back(key.substr(strip));
  }
  return keys;
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
  // Sizes only, before a byte of either is read (a long key is hashed).
  const uint64_t prefix = table == StoreTable::kCatalog ? 1 : 0;
  if (!RowFits(prefix + key.size(), value.size())) return Fail(RowTooLarge(key.size(), value.size()));
  RETURN_IF_ERROR(CountWrite());
  std::string pbuf, sbuf, vbuf;
  std::string_view full = Prefixed(table, key, pbuf);
  MDB_dbi dbi = store_->dbi_[static_cast<int>(table)];
  std::string_view stored_value = value;
  if (full.size() > kInlineMax) {
    size_t tail = full.size() - kInlineMax;  // fits u32: checked above
    vbuf.reserve(4 + tail + value.size());
    PutFixed32LE(&vbuf, static_cast<uint32_t>(tail));
    vbuf.append(full.substr(kInlineMax));
    vbuf.append(value);
    stored_value = vbuf;
  }
  MDB_val k = Val(StoredKey(full, sbuf)), v = Val(stored_value);
  if (existed == nullptr && full.size() <= kInlineMax) {
    // Nothing to learn about the old row and no digest to verify: one put.
    int rc = mdb_put(txn_, dbi, &k, &v, 0);
    if (rc != 0) return Fail(FromLmdb(ErrorKind::kStorage, store_->WriteFailure(rc)));
    return Ok();
  }
  int rc = mdb_put(txn_, dbi, &k, &v, MDB_NOOVERWRITE);
  if (rc == MDB_KEYEXIST) {
    if (full.size() > kInlineMax) {
      ASSIGN_OR_RETURN(std::optional<std::string_view> old, LongValueFor(table, full, View(k), View(v)));
      if (!old) return Fail(EngineError::Storage("key digest collision"));
    }
    if (existed) *existed = true;
    v = Val(stored_value);
    rc = mdb_put(txn_, dbi, &k, &v, 0);
  } else if (existed) {
    *existed = false;
  }
  if (rc != 0) return Fail(FromLmdb(ErrorKind::kStorage, store_->WriteFailure(rc)));
  return Ok();
}

Status WriteTxn::PutU64(StoreTable table, std::string_view key, uint64_t value) {
  char b[8];
  EncodeFixed64LE(b, value);
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
    ASSIGN_OR_RETURN(std::optional<std::string_view> mine, LongValueFor(table, full, View(k), View(v)));
    if (!mine) return false;  // another key with the same digest
  }
  int rc = mdb_del(txn_, dbi, &k, nullptr);
  if (rc == MDB_NOTFOUND) return false;
  if (rc != 0) return Fail(FromLmdb(ErrorKind::kStorage, store_->WriteFailure(rc)));
  return true;
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
  EncodeFixed64BE(key.data(), id);
  if (!row_key.empty()) std::memcpy(key.data() + 8, row_key.data(), row_key.size());
  return key;
}

Result<std::string_view> RowKeyOf(std::string_view records_key) {
  if (records_key.size() < 8) [[unlikely]]
    return Fail(EngineError::Storage("damaged row in records: a " + std::to_string(records_key.size()) +
                                     "-byte key inside a collection's range"));
  return records_key.substr(8);
}

std::string CountKey(std::string_view collection) { return "cnt:" + std::string(collection); }
std::string AutoKey(std::string_view collection) { return "auto:" + std::string(collection); }


Result<std::optional<uint64_t>> collection_id(WriteCtx& ctx, std::string_view collection) {
  auto it = ctx.ids.find(collection);
  if (it != ctx.ids.end()) return it->second;
  Store& store = ctx.store();
  std::optional<uint64_t> id = store.KnownCollectionId(collection);
  if (!id && !store.KnownAbsent(collection)) {
    ASSIGN_OR_RETURN(id, ctx.txn().GetU64(StoreTable::kCatalog, collection));
    if (!id) store.RememberAbsent(collection);
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
  ctx.store().NoteCollectionMade();
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

Result<bool> get_row_with(WriteCtx& ctx, std::string_view collection, std::string_view key,
                          const std::function<void(std::string_view)>& fn) {
  ASSIGN_OR_RETURN(std::optional<uint64_t> id, collection_id(ctx, collection));
  if (!id) return false;
  // Short keys are built on the stack: graph updates read rows by the
  // thousand per insert.
  char buf[128];
  if (key.size() > sizeof(buf) - 8) return ctx.txn().GetWith(StoreTable::kRecords, RecordKey(*id, key), fn);
  EncodeFixed64BE(buf, *id);
  if (!key.empty()) std::memcpy(buf + 8, key.data(), key.size());
  return ctx.txn().GetWith(StoreTable::kRecords, std::string_view(buf, 8 + key.size()), fn);
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

Status for_each_row_from(WriteCtx& ctx, std::string_view collection, std::string_view start,
                         const RowVisitor& visit) {
  ASSIGN_OR_RETURN(std::optional<uint64_t> id, collection_id(ctx, collection));
  if (!id) return Ok();
  return ScanCollection(ctx.txn(), *id, start, visit);
}

Status check_row_fits(size_t key_size, size_t value_size) {
  // The records key: the 8-byte collection id, then the row key.
  if (key_size > UINT64_MAX - 8 || !RowFits(8 + uint64_t{key_size}, value_size))
    return Fail(RowTooLarge(key_size, value_size));
  return Ok();
}

Status put_row_once(Store& store, std::string_view collection, std::string_view key, std::string_view value) {
  ASSIGN_OR_RETURN(WriteCtx ctx, BeginWriteCtx(store));
  RETURN_IF_ERROR(put_row(ctx, collection, key, value));
  return ctx.Commit();
}

namespace store_internal {

// The records key range of collection `id` from `start`: [id+start, id+1).
// For the largest id the range runs to the end of the table (no upper).
std::optional<std::string> CollectionUpper(uint64_t id) {
  if (id == UINT64_MAX) return std::nullopt;
  return RecordKey(id + 1, {});
}

Status ScanCollection(const Txn& txn, uint64_t id, std::string_view start, const RowVisitor& visit) {
  std::optional<std::string> upper = CollectionUpper(id);
  return txn.Scan(StoreTable::kRecords, RecordKey(id, start), upper ? &*upper : nullptr,
                  [&](std::string_view key, std::string_view value) -> Result<bool> {
                    ASSIGN_OR_RETURN(std::string_view row_key, RowKeyOf(key));
                    return visit(row_key, value);
                  });
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

}  // namespace store_internal

}  // namespace pallix
