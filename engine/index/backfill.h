// Resumable index builds: fills an index declared over a collection that
// already holds documents, in batches that survive a crash.
//
// The collection's rows are read in key order, 2048 at a time. Each batch
// is one write transaction: it reads its rows, writes their index entries
// and the index's registry row, whose cursor names where the next batch
// starts (the batch's last key followed by 0x00); the last, empty read
// writes the registry row without a cursor. So after a crash at any point
// the stored cursor is exactly the first row whose entries are not stored,
// and resume_index_builds (index/resume.h) goes on from there. Memory is
// bounded by one batch.
//
// Why the rows are read inside the write transaction and not in a snapshot
// of their own: other threads write while a build runs, and each write
// keeps every declared index up, building or not. A row read in an earlier
// snapshot may since have been deleted or replaced, and entries written
// from that stale copy would undo the write's upkeep for good: a deleted
// document back in the index, a replaced one filed under its old value,
// wrong text statistics. The store admits one write transaction at a time,
// so inside it no write can come between the read and the entries. Writes
// that land before the batch's transaction are simply read; those after
// it keep the entries up themselves.
//
// Test hook: the environment variable PALLIX_TEST_ABORT_AFTER_PAGES, read
// once per process when a build first commits a batch. An optional '+'
// followed by decimal digits (at most 2^64-1; nothing else, not even a
// space) sets a threshold N; a build then ends the process with abort()
// (no unwinding, no cleanup, no further write) once it has committed N
// batches (0 acts as 1). Anything else, or no variable, leaves it off.
//
// Callers: the scalar, compound and geo builds of this layer; the on-disk
// text and vector builds join them.
//
// Thread-safety: runs on the caller's thread; each batch is one write
// transaction of the store, which admits one at a time.

#ifndef PALLIX_INDEX_BACKFILL_H_
#define PALLIX_INDEX_BACKFILL_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "db/engine.h"
#include "storage/rows.h"

namespace pallix {

// Rows per batch.
inline constexpr size_t kBackfillBatch = 2048;

// A kind's per-batch writer: writes the index entries of the batch's rows
// (document key, stored document bytes) in the batch's transaction.
using BatchWriter = std::function<Status(WriteCtx& ctx, const std::vector<Row>& batch)>;

// Fills the index from `start` (inclusive; empty: the first row) to the end
// of `collection` and leaves the registry row (`registry`, `key`) complete
// with `payload`. A failing batch (the writer's error, a storage failure, a
// failed commit) stores nothing of itself; the error is returned and the
// registry keeps the cursor of the last committed batch. `ns` is the
// index's namespace, which the test points name: kBuildBatchBeforeWrite
// before each batch's transaction begins, kBuildComplete after the
// completing commit. Errors: Transaction, Storage,
// Commit, or the writer's (Decode for a stored document that does not
// decode).
Status backfill_index(Engine& engine, std::string_view collection, std::string_view ns, std::string_view registry,
                      std::string_view key, std::string_view payload, std::string start, const BatchWriter& writer);

// The threshold PALLIX_TEST_ABORT_AFTER_PAGES would set for `text`
// (nullopt: off). Exposed for tests.
std::optional<uint64_t> parse_abort_threshold(const char* text);

}  // namespace pallix

#endif  // PALLIX_INDEX_BACKFILL_H_
