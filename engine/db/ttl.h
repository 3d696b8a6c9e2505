// Expiry rows: the per-key expiry instants of a collection (TTL), stored as
// rows of the internal collection "__ttl__<collection>".
//
// An instant is a signed 64-bit number in units of the caller's choosing;
// the engine never reads a clock. Nothing expires by itself: a key goes
// only when the caller purges with its own "now" (purge_expired in
// write/write.h, over the operations at the end of this header).
//
// Callers: the write path sets or drops a key's rows inside each document
// write's transaction; the binding calls set_ttl, get_ttl and the purge;
// the dump writer reads the rows and the dump loader calls set_ttl.
//
// Rows (two per key with an expiry, both counted in cnt:__ttl__<c>):
//
//   row           key bytes                         value bytes
//   by-document   0x00, document key                 E (8 bytes)
//   by-expiry     0x01, E (8 bytes), document key    empty
//
// The leading bytes 0x00 and 0x01 are stored on disk, never change. E is
// the instant as a two's-complement u64 with its top bit flipped
// (x XOR 0x8000000000000000), big-endian:
//
//   offset  size  field
//   0       8     instant XOR 0x8000000000000000, big-endian
//
// so bytewise order equals signed order: INT64_MIN encodes as eight 0x00
// bytes and sorts first, INT64_MAX as eight 0xFF bytes and sorts last. The
// by-expiry rows therefore sort by instant, then key, and every by-document
// row sorts before every by-expiry row.
//
// Invariant: a key's by-document row holds exactly the 8 bytes at offsets
// 1..8 of its by-expiry key. A by-document value of another length can only
// come from a damaged file; every operation that meets one fails with
// CorruptIndex and changes nothing.
//
// Thread-safety: no engine lock is taken; the store's single writer keeps a
// key's two rows consistent. Functions taking a WriteCtx run inside the
// caller's transaction.

#ifndef PALLIX_DB_TTL_H_
#define PALLIX_DB_TTL_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "storage/rows.h"
#include "storage/store.h"

namespace pallix {

class Engine;

// "__ttl__" + collection.
std::string ttl_collection(std::string_view collection);

// E, the 8-byte order-preserving form of an instant, and its inverse
// (bytes must be exactly 8 long).
std::string encode_expiry(int64_t expiry);
int64_t decode_expiry(std::string_view bytes);

// 0x00 + key. The same shape serves as the back-pointer key of index
// entries.
std::string ttl_key_by_doc(std::string_view key);
// 0x01 + E + key.
std::string ttl_key_by_expiry(int64_t expiry, std::string_view key);

// Removes the key's two rows from the expiry collection `ttl_coll` (the
// full "__ttl__<c>" name), lowering its count once per row removed. A key
// without an expiry changes nothing. Errors: CorruptIndex (a by-document
// value that is not 8 bytes), Storage.
Status clear_ttl(WriteCtx& ctx, std::string_view ttl_coll, std::string_view key);

// Sets the key's expiry inside the caller's transaction: clear_ttl, then
// the by-expiry row, then the by-document row. Errors: as clear_ttl.
Status put_ttl_rows(WriteCtx& ctx, std::string_view collection, std::string_view key, int64_t expiry);
// Removes the key's expiry inside the caller's transaction (clear_ttl on
// "__ttl__<collection>").
Status drop_ttl_rows(WriteCtx& ctx, std::string_view collection, std::string_view key);

// Sets a key's expiry in a write transaction of its own, whether or not a
// document exists under the key. Errors: ReservedCollection, InvalidName,
// InvalidArgument (check_document_key), Transaction, CorruptIndex,
// Storage, Commit; nothing written on failure.
Status set_ttl(Engine& engine, std::string_view collection, std::string_view key, int64_t expiry);

// The key's expiry, or nullopt (no expiry, unknown collection). No name
// check. Errors: Transaction, Storage, CorruptIndex.
Result<std::optional<int64_t>> get_ttl(Engine& engine, std::string_view collection, std::string_view key);

// ---------------------------------------------------------------- purge
//
// What a purge needs of the rows (the purge itself, which deletes
// documents, is purge_expired in write/write.h):
//  1. collect_expired gathers every by-expiry row with an instant <= now,
//     in (instant, key) order, before anything is removed;
//  2. each candidate is re-checked in its own write transaction against
//     the key's by-document row (expiry_candidate_state): a candidate
//     whose by-document row is absent or holds another instant is stale,
//     and only its by-expiry row is removed; a current one has its
//     document deleted like any delete and both rows removed.

struct ExpiredKey {
  std::string key;  // the document key
  int64_t expiry;
  bool operator==(const ExpiredKey&) const = default;
};

// Every by-expiry row with instant <= now, read in batches of 4096 rows
// from the key 0x01, each batch in a read transaction of its own; stops at
// the first row past now, and likewise at the first key too short to hold
// an instant (a damaged row): what follows it is not trusted as a
// candidate. No name check. Errors: Transaction, Storage.
Result<std::vector<ExpiredKey>> collect_expired(Engine& engine, std::string_view collection, int64_t now);

enum class ExpiryState {
  kCurrent,  // the by-document row holds the candidate's instant
  kStale,    // absent, or another instant: only the by-expiry row is left over
};

// Reads the candidate key's by-document row in the caller's transaction.
// Errors: CorruptIndex (a value that is not 8 bytes), Storage.
Result<ExpiryState> expiry_candidate_state(WriteCtx& ctx, std::string_view ttl_coll, const ExpiredKey& candidate);

}  // namespace pallix

#endif  // PALLIX_DB_TTL_H_
