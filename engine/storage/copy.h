// Whole-store copies: the backup of an open database into a new file, and
// compaction, which copies the database into a fresh file beside it and
// puts that file in the old one's place when it is smaller.
//
// Both copy the three tables (records, catalog, meta) as LMDB holds them,
// row for row in key order, appending into an empty environment, so the
// copy's pages are packed full and hold no free pages. Callers: the Engine
// (compaction swaps the store it owns) and the binding (backup).
//
// Thread-safety: the source store may be written by other threads meanwhile;
// the copy reads one snapshot of it.

#ifndef PALLIX_STORAGE_COPY_H_
#define PALLIX_STORAGE_COPY_H_

#include <memory>
#include <string>

#include "base/error.h"
#include "storage/store.h"

namespace pallix {

// Copies one snapshot of `source` into a new database file at `path`, made
// as Store::OpenFile makes one (created, locked) and closed again before
// returning. A target that exists is refused up front with
// BackupTargetExists (path as given); so is one that appears before it is
// opened and is not empty (another writer won the race), untouched. On a
// later failure the file is removed only when this call created it (and
// it is still the file at `path`). Errors: BackupTargetExists; Database
// (create, lock, lay out; a NUL byte in path, before any system call);
// Transaction; Storage (a row copy); Commit.
Status backup_store(Store& source, const std::string& path);

// Copies one snapshot of the file database `store` into a new file beside
// it (created exclusively and locked) and syncs it. When the copy is
// smaller, renames it over the database file while it is locked, so an
// opener of the path finds one locked file or the other throughout, syncs
// the directory and returns the new store, which the caller puts in the
// old one's place; otherwise removes the copy and returns null. A crash at
// any point leaves the old file or the whole new one at the path (plus,
// before the rename, the unfinished copy beside it). An in-memory store
// returns null: it has no file to shrink. Errors: Compaction, for every
// failure (files, the copy's transactions, rows and commit, the rename, a
// database file moved since open), with the failing step's text; on every
// error the old store stays open and untouched.
Result<std::unique_ptr<Store>> compact_store(Store& store);

}  // namespace pallix

#endif  // PALLIX_STORAGE_COPY_H_
