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

// Removes the document's entry when it has one: reads the back-pointer,
// deletes the forward row it names and the back-pointer (each lowering the
// count only when a row went). No back-pointer: nothing changes. Errors:
// the row interface's (Storage), returned unchanged.
Status index_entry_remove(WriteCtx& ctx, std::string_view ns, std::string_view doc_key);

// Writes an entry whose value part is `part` (the old entry must be gone).
Status index_entry_write(WriteCtx& ctx, std::string_view ns, std::string_view doc_key, std::string_view part);

// Removes the old entry, then writes one for the value's ScalarKey; a value
// without a key leaves the document with no entry.
Status scalar_entry_put(WriteCtx& ctx, std::string_view ns, std::string_view doc_key, const Value& value);

// The same with the compound key of `values`. Returns false (nothing
// written, the old entry removed) when some value has no key.
Result<bool> compound_entry_put(WriteCtx& ctx, std::string_view ns, std::string_view doc_key,
                                std::span<const Value* const> values);

// Streams the rows of namespace `ns` whose key is at least `start`, in key
// order, to visit (true: go on, false: stop), reading no further than the
// row where it stops and gathering nothing. An unknown namespace visits
// nothing. The lookups use it in place of paged scans. Errors: Storage,
// or visit's own.
Status scan_index_from(const ReadView& view, std::string_view ns, std::string_view start, const RowVisitor& visit);

}  // namespace pallix

#endif  // PALLIX_INDEX_ENTRY_H_
