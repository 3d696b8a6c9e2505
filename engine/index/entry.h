// Index entries: the two rows through which every scalar, compound and geo
// index records one document, and their writing and removal inside the
// caller's write transaction.
//
// Rows of one entry, in the index's namespace (an internal collection):
//
//   row            key                               value
//   forward        value part + document key         empty
//   back-pointer   0x00 + document key               the value part
//
// The value part is the document's ScalarKey (scalar index), its compound
// key (compound index) or its 8 cell bytes (geo index). Forward rows answer
// range questions; the back-pointer finds a document's forward row without
// reading the old document, so the write path never reads what it replaces.
// In scalar and compound namespaces forward keys start with a type byte 1,
// 2 or 3 and back-pointers with 0x00, so the two never meet. (Geo forward
// keys start with 0x00 too; see index/geo_index.h for how they are kept
// apart.) The namespace's row count is twice the number of entries. This
// layout is stored on disk; never change it.
//
// Callers: the scalar, compound and geo index modules (upkeep and builds).
//
// Thread-safety: runs inside the caller's write transaction; no lock.

#ifndef PALLIX_INDEX_ENTRY_H_
#define PALLIX_INDEX_ENTRY_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/error.h"
#include "doc/value.h"
#include "storage/read_view.h"
#include "storage/rows.h"

namespace pallix {

// The back-pointer key of a document: 0x00 + key.
std::string back_pointer_key(std::string_view doc_key);

// Counts. A namespace's row count follows its rows. The operations below
// take an optional `delta`: without it they keep the count themselves (one
// count write per operation that changes rows); with it they leave the
// count alone and add the change to *delta, so a build writes the count
// once per batch (adjust_row_count) instead of once per document.

// Makes the document's entry the one of value part `part` (nullopt: no
// entry): reads the back-pointer; an entry that already holds `part` only
// has its forward row put back should it be missing; any other entry is
// removed (its forward row and back-pointer) before the new one is
// written. The stored result is the same as removing and rewriting every
// time. Errors: the row interface's (Storage), returned unchanged.
Status index_entry_replace(WriteCtx& ctx, std::string_view ns, std::string_view doc_key,
                           const std::optional<std::string>& part, int64_t* delta = nullptr);

// Removes the document's entry when it has one. No back-pointer: nothing
// changes. A back-pointer naming a forward row that is gone only means
// nothing is removed for that row.
Status index_entry_remove(WriteCtx& ctx, std::string_view ns, std::string_view doc_key, int64_t* delta = nullptr);

// The entry of the value's ScalarKey; a value without a key leaves the
// document with no entry.
Status scalar_entry_put(WriteCtx& ctx, std::string_view ns, std::string_view doc_key, const Value& value,
                        int64_t* delta = nullptr);

// The same with the compound key of `values`. Returns false (no entry)
// when some value has no key.
Result<bool> compound_entry_put(WriteCtx& ctx, std::string_view ns, std::string_view doc_key,
                                std::span<const Value* const> values, int64_t* delta = nullptr);

// Streams the rows of namespace `ns` whose key is at least `start`, in key
// order, to visit (true: go on, false: stop), reading no further than the
// row where it stops and gathering nothing. An unknown namespace visits
// nothing. The lookups use it in place of paged scans. Errors: Storage,
// or visit's own.
Status scan_index_from(const ReadView& view, std::string_view ns, std::string_view start, const RowVisitor& visit);

}  // namespace pallix

#endif  // PALLIX_INDEX_ENTRY_H_
