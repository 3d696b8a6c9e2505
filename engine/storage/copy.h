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

// Copies one snapshot of `source` into a new database file at `path` (at
// the end of a symbolic link there). A target that exists is refused up
// front with BackupTargetExists (path as given). The copy is made in a file
// of its own beside the target, named "<target>.backup-" and six letters or
// digits, created and locked as Store::OpenFile does; only once its commit
// is synced does it get the target's name, by a rename that never replaces
// a file (a target that appeared meanwhile is refused the same way,
// untouched), and the directory is synced. So the target exists only after
// a successful backup; on a failure the copy's file is removed, and a file
// left by a killed backup to the same target is removed by the next one
// when nobody holds it locked. Errors: BackupTargetExists; Database
// (create, lock, lay out, rename, directory sync; a NUL byte in path,
// before any system call); Transaction; Storage (a row copy); Commit.
Status backup_store(Store& source, const std::string& path);

// Copies one snapshot of the file database `store` into a new file beside
// it (created exclusively and locked, named "<path>.compact-" and six
// letters or digits) and syncs it. When the copy is smaller, renames it
// over the database file while it is locked, so an opener of the path
// finds one locked file or the other throughout, syncs the directory and
// returns the new store, which the caller puts in the old one's place;
// otherwise removes the copy and returns null. A crash at any point leaves
// the old file or the whole new one at the path (plus, before the rename,
// the unfinished copy beside it, which the next opener of the database
// removes). An in-memory store returns null: it has no file to shrink.
// Errors: Compaction, for every failure (files, the copy's transactions,
// rows and commit, the rename, a database file moved since open), with the
// failing step's text; on every error the old store stays open and
// untouched.
Result<std::unique_ptr<Store>> compact_store(Store& store);

}  // namespace pallix

#endif  // PALLIX_STORAGE_COPY_H_
