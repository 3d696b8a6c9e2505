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
// A batch (put_many) would pay one collection scan per document for fields
// without an index, O(n^2) over the batch; a UniqueBatch instead reads the
// rows once, on the first document that needs a scan, and then keeps an
// in-memory table of every key's unique values, updated as each pair is
// written, so each later probe is one hash lookup. The answers are those of
// the per-document scan: the table holds exactly what the transaction
// holds at that moment (stored rows overridden by the earlier pairs).
//
// Callers: the write path (write.cc), for every put.
// Thread-safety: uses only the caller's transaction, and "scalar lock" to
// ask whether an index may answer.

#ifndef PALLIX_WRITE_UNIQUE_H_
#define PALLIX_WRITE_UNIQUE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
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
class UniqueBatch;
Status check_unique_fields(Engine& engine, WriteCtx& ctx, const std::optional<std::vector<SchemaField>>& fields,
                           std::string_view collection, std::string_view key, const Value& document,
                           UniqueBatch* batch = nullptr);

// The in-transaction table of a batch's unique values (see above). One per
// put_many call; Record every pair right after it is written.
class UniqueBatch {
 public:
  explicit UniqueBatch(const std::vector<SchemaField>& fields);

  // Whether the table has been filled (it is filled on first need).
  bool loaded() const { return loaded_; }
  // Fills the table from the transaction's rows. Errors: Decode, Storage.
  Status Load(WriteCtx& ctx, std::string_view collection);
  // The key now holds `document`: its old values leave the table.
  void Record(std::string_view key, const Value& document);
  // Whether another key holds a value values_same to `value` in the unique
  // field named `field`.
  bool Conflicts(const std::string& field, std::string_view key, const Value& value) const;

 private:
  std::vector<std::string> fields_;  // the unique fields, declared order
  bool loaded_ = false;
  // Per key, its value of each unique field (nullopt: none).
  std::unordered_map<std::string, std::vector<std::optional<Value>>> values_;
  // Per unique field, the keys by the hash of their value.
  std::vector<std::unordered_multimap<uint64_t, std::string>> by_hash_;
};

// The same with the collection's current schema.
Status prepare_document_write(Engine& engine, WriteCtx& ctx, std::string_view collection, std::string_view key,
                              const Value& document);

}  // namespace pallix

#endif  // PALLIX_WRITE_UNIQUE_H_
