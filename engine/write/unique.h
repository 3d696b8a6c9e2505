// The unique-field check of a document put: no other key of the collection
// may hold a value equal (values_same: NaN equals NaN, Int 1 differs from
// Float 1.0) to the document's value in a field the schema declares unique.
// It runs inside the write transaction, so rows and index entries written
// earlier in the same transaction (a batch) count.
//
// Two searches give the same answer. With a built scalar index on the
// field and a value that has a ScalarKey (not a NaN), the index entries
// under that key name every document that may hold an equal value (Int 1
// and Float 1.0 share a key, so each candidate is re-read and compared);
// otherwise the collection's rows are scanned, once for all the fields
// that need it.
//
// Callers: the write path (write.cc), for every put.
// Thread-safety: uses only the caller's transaction, and "scalar lock" to
// ask whether an index may answer.

#ifndef PALLIX_WRITE_UNIQUE_H_
#define PALLIX_WRITE_UNIQUE_H_

#include <optional>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "db/engine.h"
#include "db/schema.h"
#include "doc/value.h"
#include "storage/rows.h"

namespace pallix {

// For each unique field (declared order) whose value in the document is
// present and not Null, another key of the collection holding a value that
// values_same calls equal fails the write with SchemaViolation "field
// '<name>' must be unique; value already exists". The key's own stored row
// never conflicts; no schema (nullopt) passes. Errors: SchemaViolation,
// Decode (another stored document does not decode), Storage.
Status check_unique_fields(Engine& engine, WriteCtx& ctx, const std::optional<std::vector<SchemaField>>& fields,
                           std::string_view collection, std::string_view key, const Value& document);

// The same with the collection's current schema.
Status prepare_document_write(Engine& engine, WriteCtx& ctx, std::string_view collection, std::string_view key,
                              const Value& document);

}  // namespace pallix

#endif  // PALLIX_WRITE_UNIQUE_H_
