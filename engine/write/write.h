// The document write path, the expiry purge and the collection walk.
//
// Every change to a user document (insert, insert with an expiry, delete,
// compare-and-set, patch, batch insert, auto-key insert) runs the same
// steps inside one write transaction, in this fixed order:
//
//   put:    unique-field check -> encode -> row put (count raised for a new
//           key) -> index upkeep -> expiry rows set (with an expiry) or
//           removed (without one)
//   delete: row delete -> count lowered -> index entries removed -> every
//           edge of the key removed -> expiry rows removed; a key without a
//           document only has its edges removed, and keeps its expiry rows
//
// then the commit, then the after-commit update of the in-memory indexes.
// Name checks, schema validation and the storable check (a document whose
// encoding or row exceeds a size limit) run before the transaction (except
// in insert_auto, which validates inside it). Any failure before the commit
// drops the transaction, so storage is left exactly as it was; in-memory
// indexes are touched only after a commit, so they never need undoing.
//
// Index upkeep is one dispatcher over the index kinds in a fixed order:
// on-disk vector, on-disk text, scalar, compound, geo. A collection with no
// index of a kind has nothing to do at that kind's step.
//
// Callers: the binding (one call per Collection method). Each entry runs on
// the caller's thread and begins and ends its own transactions.
//
// Thread-safety: entries may run from several threads; the store admits one
// write transaction at a time. A read-modify-write (patch, compare_and_set,
// insert_auto) reads in the transaction that writes; update, whose caller's
// function runs between its read and its write, holds the store's writer
// turn instead, so no other thread's write falls in between either. No registry lock is held across a write
// transaction: the schema and index registries are copied under their lock
// one at a time and the lock released before any row is touched.

#ifndef PALLIX_WRITE_WRITE_H_
#define PALLIX_WRITE_WRITE_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.h"
#include "doc/value.h"
#include "storage/rows.h"
#include "storage/store.h"

namespace pallix {

class Engine;
class VectorRepairBatch;

// ---------------------------------------------------------------- entries
//
// Unless stated otherwise every entry returns: ReservedCollection or
// InvalidName (the name checks, first); SchemaViolation (validation, or a
// unique value held by another key); InvalidArgument (a document or row
// too large to store: a text, bytes or map key over 2^32 - 1 bytes, an
// array, map or vector over 2^32 - 1 elements, or a key and encoded
// document over LMDB's 2^32 - 1-byte value limit, see check_row_fits);
// Transaction (begin); Decode (a stored document that must be read does
// not decode); CorruptIndex (a damaged expiry row of the key); Storage (a
// row operation); Commit. After any of them storage is unchanged.

// Stores doc under key, replacing any document and removing the key's
// expiry. Always returns true on success.
Result<bool> insert(Engine& engine, std::string_view collection, std::string_view key, const Value& doc);
// The same, setting the key's expiry to `expiry` instead.
Result<bool> insert_with_ttl(Engine& engine, std::string_view collection, std::string_view key, const Value& doc,
                             int64_t expiry);
// insert or insert_with_ttl, by whether an expiry is given.
Result<bool> insert_document(Engine& engine, std::string_view collection, std::string_view key, const Value& doc,
                             std::optional<int64_t> expiry);

// Deletes the key's document with its index entries, edges and expiry;
// true when a document existed. Without a document only the key's edges
// go (its expiry stays) and the result is false.
Result<bool> delete_document(Engine& engine, std::string_view collection, std::string_view key);

// delete_document for each key in turn, one transaction each, stopping at
// the first failure (the deletes before it stay committed); returns how
// many documents were removed. The vector graphs are repaired once, after
// the last delete (index/vector_repair_batch.h), in a transaction of its
// own: each delete notes what it owes in its own rows, so a call cut short
// leaves that repair to later writes. Errors: those of delete_document,
// then the repair's (Transaction, Storage, CorruptIndex, Commit), which
// leave every delete committed.
Result<uint64_t> delete_batch(Engine& engine, std::string_view collection, const std::vector<std::string>& keys);

// In one transaction: applies only when (no stored document and no
// expected) or (a stored document equal to expected under values_same).
// Applying with a replacement stores it like insert (expiry removed) and
// returns true; without one deletes like delete_document and returns
// whether a document was removed. Not applying writes nothing and returns
// false. A replacement is validated before anything is read.
Result<bool> compare_and_set(Engine& engine, std::string_view collection, std::string_view key,
                             const std::optional<Value>& expected, const std::optional<Value>& replacement);

// Stores, in one transaction, the key's document patched: the stored map
// with every entry of the patch set (top level only; nested maps replaced
// whole) when both are maps, else the patch itself. The document is read
// in the transaction that writes it, so no other write can fall between;
// the merged document is validated there. The key's expiry is removed.
Status patch(Engine& engine, std::string_view collection, std::string_view key, const Value& patch_doc);

// What update makes of the key's stored row (the document's encoding, or
// nullopt when there is none): the document to store, or nullopt to delete
// the key. An error ends the update with nothing written.
using UpdateFn = std::function<Result<std::optional<Value>>(const std::optional<std::string>& stored)>;

// Read-modify-write of one key as one step against every other thread's
// writes: holding the store's writer turn (store.h), reads the key's row,
// calls fn exactly once, and then inserts what fn returned (as insert) or
// deletes the key (as delete_document). fn may write through the same
// engine on this thread (its writes commit on their own, before update's
// write); no other thread's write falls between the read and the write.
// fn must not wait for another thread's write. The name is checked only by
// the write, so fn runs even on a collection that the write then refuses.
// Errors: Transaction, Storage (the read), fn's, then insert's or
// delete_document's.
Status update(Engine& engine, std::string_view collection, std::string_view key, const UpdateFn& fn);

// All pairs in one transaction, all or nothing: every document validated
// first; each pair's unique check sees the pairs before it; a key given
// twice stores its later document and counts once; each key's expiry is
// removed. An empty list still checks the name and commits an empty
// transaction.
Status put_many(Engine& engine, std::string_view collection,
                const std::vector<std::pair<std::string, Value>>& pairs);

// Stores doc under the next auto-id key of the collection and returns the
// key: the counter auto:<collection> plus one, as 20 zero-padded decimal
// digits. A number whose key already holds a document is passed over (a
// stored document is never overwritten); the counter is left at the number
// used. Validation runs inside the transaction, so a refused document does
// not advance the counter. Extra error: InvalidArgument "auto-id counter
// exhausted for collection <c>" when no number up to 2^64-1 is free.
Result<std::string> insert_auto(Engine& engine, std::string_view collection, const Value& doc);

// The delete of one key inside the caller's transaction, as
// delete_document does it (no name check, no after-commit update): the
// document with its index entries, count and expiry rows, and the key's
// edges. Returns whether a document was removed. With a batch the vector
// graphs' repair is held back to the batch's end. Errors: Storage,
// CorruptIndex.
Result<bool> delete_in(Engine& engine, WriteCtx& ctx, std::string_view collection, std::string_view key,
                       VectorRepairBatch* batch = nullptr);

// The one-document write without name checks or validation (callers make
// them): a put of *doc (with or without an expiry), or, when doc is null, a
// delete. Returns whether anything changed. No after-commit update.
Result<bool> write_document(Engine& engine, std::string_view collection, std::string_view key, const Value* doc,
                            std::optional<int64_t> expiry);

// The key of auto-id number n: n in decimal, zero-padded to 20 digits.
std::string auto_key(uint64_t n);

// ---------------------------------------------------------------- purge

// Deletes every document whose expiry is <= now and returns how many
// documents were removed. Candidates are gathered first (db/ttl.h);
// each then gets a write transaction of its own in which it is re-checked:
// a stale candidate (the key's expiry changed or went) loses only its
// left-over by-expiry row and is not counted; a current one has its
// document deleted with index entries and edges, and both expiry rows
// removed (a key whose expiry was set without a document loses its rows
// and edges and is not counted). A failure stops the purge; candidates
// before it stay purged. Errors: ReservedCollection, InvalidName,
// Transaction, CorruptIndex, Storage, Commit.
Result<uint64_t> purge_expired(Engine& engine, std::string_view collection, int64_t now);

// ---------------------------------------------------------------- upkeep

// The index-upkeep dispatcher, inside the caller's write transaction: puts
// (or removes) the key's entries in every declared index of every kind, in
// the fixed order of kinds. The first failure is returned. With a batch
// the vector graphs' repair is held back to the batch's end.
Status index_upkeep_put(Engine& engine, WriteCtx& ctx, std::string_view collection, std::string_view key,
                        const Value& doc, VectorRepairBatch* batch = nullptr);
Status index_upkeep_remove(Engine& engine, WriteCtx& ctx, std::string_view collection, std::string_view key,
                           VectorRepairBatch* batch = nullptr);

// After a commit: applies a put (doc) or delete (null) to the collection's
// in-memory vector and text indexes (with one bounded repair step of each
// in-memory graph). Never fails: the write's outcome was decided by its
// commit. Callers hold the store's writer turn from before the write
// transaction until this returns: a second writer of the same key then
// commits, and updates the in-memory indexes, only after it, so they
// always end with the document stored last.
// With a batch the in-memory graphs' repair is held back to its end.
void update_memory_indexes(Engine& engine, std::string_view collection, std::string_view key, const Value* doc,
                           VectorRepairBatch* batch = nullptr);

// ---------------------------------------------------------------- walk

// Visitor of the collection walk: true to go on, false to stop (not an
// error), or an error that ends the walk and is returned unchanged. The
// key is the document key; both views are valid only during the call.
using DocumentVisitor = std::function<Result<bool>(std::string_view key, const Value& doc)>;

// Streams every document of the collection, in key order, to visit, inside
// one read transaction (one snapshot), reading no further than the row on
// which visit stops. *visited is set to 0 and raised by one for every row
// decoded and handed over, including the row on which visit stops or
// fails; it is 64 bits wide, so it cannot wrap. An unknown collection
// visits nothing. No name check. Errors: Transaction, Storage, Decode (the
// undecodable row is not counted), or visit's own.
Status scan_each_walk(Engine& engine, std::string_view collection, uint64_t& visited, const DocumentVisitor& visit);

}  // namespace pallix

#endif  // PALLIX_WRITE_WRITE_H_
