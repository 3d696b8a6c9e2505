// Compound indexes: an ordered list of fields of every document mapped to
// the document keys, as two-row entries (index/entry.h) whose value part is
// the compound key (the fields' ScalarKeys concatenated, index/scalar_key.h)
// in the namespace "__cscalar__<collection>__<f1>\x01<f2>...", declared by a
// row of "__cscalar_indexes__" under compound_registry_key.
//
// The registry payload is one state byte (index/index_state.h): 2 while
// building (and left, without a cursor, when the build met a document it
// could not index), 1 complete and covering (every document has an entry),
// 0 complete and not covering (a later write could not be indexed). A
// document "cannot be indexed" when it lacks a field or a field's value has
// no ScalarKey. While a build is unfinished such a document leaves a marker
// row in "__cscalar_misses__" under the same key, which decides the final
// state. Only a covering index may answer for a leading part of its fields.
//
// Field names may not hold the byte 0x01 (it joins them in the namespace),
// the list may not be empty, and a declaration whose namespace another
// compound declaration already uses is refused (see index/declare.h).
//
// Callers: the binding and the dump loader (create), the write path
// (upkeep), the query planner (compound_indexes, find_compound_index and
// the scan in index/scalar_lookup.h).
//
// Thread-safety: the registry lives under "scalar lock", released before
// any row is touched, except that a build's final step (the covering
// decision) sets the entry under it inside its write transaction.

#ifndef PALLIX_INDEX_COMPOUND_INDEX_H_
#define PALLIX_INDEX_COMPOUND_INDEX_H_

#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "db/engine.h"
#include "doc/value.h"
#include "storage/rows.h"

namespace pallix {

// Declares the index and builds it over every stored row. Errors:
// ReservedCollection, InvalidName (a name holding NUL, "__" or 0x01, or a
// namespace already used), InvalidArgument (no field), Transaction,
// Storage, Commit, Decode.
Status create_compound_index(Engine& engine, std::string_view collection, const std::vector<std::string>& fields);

// Builds or resumes from `start`, then settles the covering state.
Status build_compound_index(Engine& engine, std::string_view collection, const std::vector<std::string>& fields,
                            std::string start);

// In one transaction: the registry row becomes "building from the first
// row, state 2" and the miss marker goes.
Status reset_compound_state(Engine& engine, std::string_view registry_key);

// The declared field lists of the collection, built or not.
struct CompoundInfo {
  std::vector<std::string> fields;
  bool building = false;
  bool covering = false;
};
Result<std::vector<CompoundInfo>> compound_indexes_of(Engine& engine, std::string_view collection);
// Declared, built and covering.
Result<bool> find_compound_index(Engine& engine, std::string_view collection, const std::vector<std::string>& fields);
// Declared and built (covering or not).
Result<bool> has_compound_index(Engine& engine, std::string_view collection, const std::vector<std::string>& fields);

// Upkeep inside the write transaction. A put that cannot index the
// document removes its entry and records the miss (marker row while the
// build is unfinished, state 0 once complete; covering off either way).
// Errors: Storage.
Status compound_index_put(Engine& engine, WriteCtx& ctx, std::string_view collection, std::string_view key,
                          const Value& doc);
Status compound_index_remove(Engine& engine, WriteCtx& ctx, std::string_view collection, std::string_view key);

}  // namespace pallix

#endif  // PALLIX_INDEX_COMPOUND_INDEX_H_
