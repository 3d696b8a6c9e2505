// The filtered delete: every document of a collection that a predicate
// matches is removed, as one step against every other thread's writes.
//
// The predicate is evaluated (through the collection's indexes where they
// can narrow, as a query with this one filter would) against the rows as
// they stand inside the write transaction that deletes them, so a document
// that another thread changes so that it no longer matches is either
// changed before the evaluation (and kept) or after the delete (and the
// change lands on a deleted key); it is never deleted for a value it no
// longer holds.
//
// Callers: the binding's Collection.delete_where.
// Thread-safety: as every write entry (write/write.h); the store's single
// write transaction is held from the evaluation to the commit.

#ifndef PALLIX_QUERY_DELETE_WHERE_H_
#define PALLIX_QUERY_DELETE_WHERE_H_

#include <cstdint>
#include <memory>
#include <string_view>

#include "base/error.h"
#include "query/predicate.h"

namespace pallix {

class Engine;

// Deletes every document of `collection` matching `pred` and returns how
// many were removed. Order: the name checks (ReservedCollection,
// InvalidName), the resume of the collection's pending index builds (their
// errors), then one write transaction (Transaction) in which the matches
// are found and each is deleted as delete_document deletes (index entries,
// edges, expiry rows), and the commit (Commit); after it the in-memory
// indexes are updated. All or nothing: on any failure no document is
// deleted. Other errors: Storage, Decode, CorruptIndex.
Result<uint64_t> delete_where(const std::shared_ptr<Engine>& engine, std::string_view collection,
                              const Predicate& pred);

}  // namespace pallix

#endif  // PALLIX_QUERY_DELETE_WHERE_H_
