// Private to the storage layer: the checks a database file passes around
// LMDB's open, called by Store::OpenFile only; and the test that tells a
// copy's leftover staging file from a file of the user's of that name.
//
// LMDB maps the whole file and trusts its meta pages: a file shorter than
// the last page the current meta page claims maps fine, and the first read
// of a page past the end of the file then kills the process with SIGBUS.
// A truncated file (a copy cut short, a full disk during a copy) must
// instead fail to open with an error, so its length is checked against the
// meta pages before any page but the two meta pages is read.
//
// LMDB's meta pages are the file's first two pages; the second starts at
// offset <page size>. The fields read here (host byte order, as LMDB writes
// them; offsets of 64-bit builds, the only ones this check runs on):
//
//   offset  size  field
//   16      4     magic 0xBEEFC0DE
//   20      4     format version 1
//   40      4     page size
//   136     8     last page in use (pages 0 .. last make up the database)
//
// Thread-safety: plain functions over descriptors the caller owns.

#ifndef PALLIX_STORAGE_FILE_CHECK_H_
#define PALLIX_STORAGE_FILE_CHECK_H_

#include "base/error.h"

struct MDB_env;

namespace pallix::store_internal {

// Before LMDB reads the file open on fd: a non-empty file that starts with
// LMDB's magic but is shorter than its two meta pages is refused as
// truncated ("file is truncated: <size> bytes, <needed> expected"; LMDB
// itself would report such a file as not being an LMDB file). An empty
// file (a new database) and a file without the magic (LMDB reports it)
// pass. Errors: Database.
Status CheckMetaPages(int fd);

// After mdb_env_open, before any page but the meta pages is read: the file
// LMDB opened must be the file open on fd (same device and inode), and the
// file must hold every page up to the last one LMDB's current meta page
// claims. Errors: Database.
Status CheckMappedFile(MDB_env* env, int fd);

// Whether the file open on fd may be a database file this engine made:
// one that starts with LMDB's first meta page (its magic and format
// version), or an empty one (a copy killed before LMDB laid it out).
// Anything else, or an unreadable file, is not. For removing what a killed
// copy left under a staging name (port.h), never a file of the user's.
bool MayBeStoreFile(int fd);

}  // namespace pallix::store_internal

#endif  // PALLIX_STORAGE_FILE_CHECK_H_
