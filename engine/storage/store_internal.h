// Private to the storage layer: the LMDB glue shared by store.cc (the
// environment and transactions), rows.cc (the row operations and long-key
// scheme) and read_view.cc. Nothing outside engine/storage includes it.

#ifndef PALLIX_STORAGE_STORE_INTERNAL_H_
#define PALLIX_STORAGE_STORE_INTERNAL_H_

#include <lmdb.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "storage/store.h"

namespace pallix::store_internal {

// The one place where LMDB return codes become engine errors.
EngineError FromLmdb(ErrorKind kind, int rc);
// The error a test-injected fault of kind reports.
EngineError InjectedFault(ErrorKind kind);
// The table's LMDB name ("records", "catalog", "meta"), for messages.
const char* TableName(StoreTable table);

// An empty view may carry a null pointer, which LMDB would hand to memcpy
// (undefined even for zero bytes): give it a valid address instead.
inline MDB_val Val(std::string_view s) {
  return MDB_val{s.size(), const_cast<char*>(s.data() != nullptr ? s.data() : "")};
}
inline std::string_view View(const MDB_val& v) { return {static_cast<const char*>(v.mv_data), v.mv_size}; }

// The records key range of collection `id` from `start`: [id+start, id+1).
// For the largest id the range runs to the end of the table (no upper).
std::optional<std::string> CollectionUpper(uint64_t id);
// Visits the collection's rows from start on, keys without the id.
Status ScanCollection(const Txn& txn, uint64_t id, std::string_view start, const RowVisitor& visit);
// Up to limit rows of the collection from start on.
Result<std::vector<Row>> ScanLimited(const Txn& txn, uint64_t id, std::string_view start, size_t limit);

}  // namespace pallix::store_internal

#endif  // PALLIX_STORAGE_STORE_INTERNAL_H_
