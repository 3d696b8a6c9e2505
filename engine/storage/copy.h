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
// front with BackupTargetExists (path as given); so is, with Database, any
// other reason the target's name cannot be made (a loop of links, a name
// too long), before anything is copied. The copy is made in a file without
// a name in the target's directory, created and locked as Store::OpenFile
// does; only once its commit is synced does it get the target's name, by a
// link that never replaces a file (a target that appeared meanwhile is
// refused the same way, untouched), and the directory is synced. So the
// target exists only after a successful backup, and a failed or killed
// backup leaves nothing anywhere. Where the file system cannot make
// unnamed files, the copy has one of the target's staging names until
// then (port.h: ".<name>.pallix-backup-<16 hex>", or for a name near the
// length limit ".pallix-backup-<digest>-<16 hex>"), locked while it is
// made; only a kill leaves it, and the next backup to the same target
// (even one refused because the target exists) removes such files that
// nobody holds locked, that have no other name and that are database
// files (or empty). A kill between the link that names the copy and the
// removal of its staging name (where the file system cannot rename without
// replacing) leaves the finished backup under both names; the next backup
// to that target removes the staging name, which is then a second name of
// the target itself, and the target stays. No other file is ever removed.
// Errors: BackupTargetExists; Database (create, lock, lay out, link,
// directory sync; a NUL byte in path, before any system call);
// Transaction; Storage (a row copy); Commit.
Status backup_store(Store& source, const std::string& path);

// Copies one snapshot of the file database `store` into a new file without
// a name in its directory (locked) and syncs it. When the copy is smaller,
// puts it in place of the database file by a rename while it is locked, so
// an opener of the path finds one locked file or the other throughout,
// syncs the directory and returns the new store, which the caller puts in
// the old one's place; otherwise drops the copy and returns null. A crash
// at any point leaves the old file or the whole new one at the path, and
// at most the copy under one of the database's staging names (port.h:
// ".<name>.pallix-compact-<16 hex>", or for a name near the length limit
// ".pallix-compact-<digest>-<16 hex>"), which it has only for the two
// system calls that rename it over (throughout where the file system
// cannot make unnamed files). The next Store::OpenFile of the database
// removes such a file. No other file is ever removed. An in-memory store
// returns null: it has no file to shrink. Errors: Compaction, for every
// failure (files, the copy's transactions, rows and commit, the rename, a
// database file moved since open), with the failing step's text; on every
// error the old store stays open and untouched.
Result<std::unique_ptr<Store>> compact_store(Store& store);

}  // namespace pallix

#endif  // PALLIX_STORAGE_COPY_H_
