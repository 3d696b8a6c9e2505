// Scalar indexes: one field (a dotted path) of every document of a
// collection, mapped to the document keys holding each value, as two-row
// entries (index/entry.h) of ScalarKeys (index/scalar_key.h) in the
// namespace "__scalar__<collection>__<field>", declared by a row of
// "__scalar_indexes__" whose payload is empty.
//
// Life: create_scalar_index writes the registry row (build pending), marks
// the index building in memory and builds it over the stored rows
// (index/backfill.h); a crash leaves the cursor for resume_index_builds.
// Re-declaring a complete index rebuilds it from the first row; one with a
// cursor resumes. While building, the index is kept in step by writes but
// answers no lookup. Indexes are never dropped.
//
// Lookups over the entries are in index/scalar_lookup.h.
//
// Callers: the binding and the dump loader (create), the write path
// (upkeep, unique check), the query engine (has_scalar_index*).
//
// Thread-safety: the registry is read and changed under "scalar lock",
// released before any row is touched; field lists are copied out.

#ifndef PALLIX_INDEX_SCALAR_INDEX_H_
#define PALLIX_INDEX_SCALAR_INDEX_H_

#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "db/engine.h"
#include "doc/value.h"
#include "storage/rows.h"

namespace pallix {

// Declares the index and builds it over every stored row before returning.
// Errors: ReservedCollection, InvalidName (names, or a namespace another
// scalar index of another collection or field already uses), Transaction,
// Storage, Commit, Decode (a stored document; the batches before it stay
// committed with their cursor).
Status create_scalar_index(Engine& engine, std::string_view collection, std::string_view field);

// Builds (or resumes, from `start`) the index's entries; on success the
// index stops being building. Errors as the build's (index/backfill.h).
Status build_scalar_index(Engine& engine, std::string_view collection, std::string_view field, std::string start);

// Declared and built (may answer lookups).
Result<bool> has_scalar_index(Engine& engine, std::string_view collection, std::string_view field);
// Declared, built or not.
Result<bool> has_scalar_index_for_read(Engine& engine, std::string_view collection, std::string_view field);
// Every declared field of the collection, built or not, in field order.
Result<std::vector<std::string>> scalar_fields_of(Engine& engine, std::string_view collection);

// Upkeep inside the write transaction: replaces the key's entry in every
// scalar index of the collection with the document's (removing it when the
// document lacks the field or holds an unindexable value), or removes it.
// Errors: Storage.
Status scalar_index_put(Engine& engine, WriteCtx& ctx, std::string_view collection, std::string_view key,
                        const Value& doc);
Status scalar_index_remove(Engine& engine, WriteCtx& ctx, std::string_view collection, std::string_view key);

}  // namespace pallix

#endif  // PALLIX_INDEX_SCALAR_INDEX_H_
