// The dump loader: replays a dump file (layout in dump_format.h) into an
// open database, merging with what it holds, optionally loading each dump
// collection under another name.
//
// Documents are stored as read (decoded only to validate them), batched
// into one write transaction with a nested transaction per document, so a
// load pays one durable commit per batch while a failing document leaves
// no trace and every document before it stays committed. Each stored
// document also gets the write path's index upkeep (no schema, unique or
// expiry change), so indexes the target declares but the dump does not
// stay complete. Declarations, schemas, expiry instants and edges go
// through the ordinary engine operations, one transaction each; the
// auto-id counters of the dump are raised together in one.
//
// Callers: the binding (Db.load_from_path*). Thread-safety: runs on the
// caller's thread; engine locks are taken by the operations it calls.

#ifndef PALLIX_DUMP_DUMP_LOADER_H_
#define PALLIX_DUMP_DUMP_LOADER_H_

#include <map>
#include <memory>
#include <string>

#include "base/error.h"
#include "db/engine.h"
#include "dump/dump_reader.h"

namespace pallix {

// Source collection name -> target name, walked in ascending source order.
using RenameMap = std::map<std::string, std::string>;

// Opens the dump file at path for reading; nothing is read yet. Errors: Io
// (a NUL byte in path, before any system call; the open's failure).
Result<std::unique_ptr<DumpReader>> open_dump_file(const std::string& path);

// Validates the rename targets (InvalidName for a NUL byte or "__";
// InvalidArgument "rename collision: ..." for two sources on one target),
// then replays the opened file. Every failure ends the load at once,
// leaving what was committed before it. Errors: Io (a read), InvalidDump
// (magic, truncation, UTF-8, a reserved dump collection, bad metric/quant/
// vector mode/field type), InvalidName (a dump collection name with a NUL
// byte or "__"), InvalidArgument (a second dump collection on one target),
// Decode (a document), and whatever a replayed operation returns. The
// exception: a product-quantized declaration whose codebook cannot be
// trained again (the dump holds no codebook, and the field may have lost
// every vector since) is left out while the load goes on; once the last
// section is in, EmptyIndexTraining names every such collection and field,
// each once.
Status load_dump(Engine& engine, DumpReader& in, const RenameMap& renames);

// open_dump_file, then load_dump; the errors of both.
Status load_dump_file(Engine& engine, const std::string& path, const RenameMap& renames);

}  // namespace pallix

#endif  // PALLIX_DUMP_DUMP_LOADER_H_
