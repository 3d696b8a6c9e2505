// The dump writer: streams a whole open database into a dump file
// (byte layout in dump_format.h). Documents are read from one snapshot,
// streamed (their count filled in afterwards, or counted first when the
// sink cannot write back, see DumpSink), never held in memory together;
// the declarations come from copies of the registries taken under their
// locks, one lock at a time; expiry instants, counters and edges are
// collected per section. The database is only read.
//
// Callers: the binding (Db.dump_to_path). Thread-safety: may run beside
// writers on other threads; it sees the snapshot its read began with.

#ifndef PALLIX_DUMP_DUMP_WRITER_H_
#define PALLIX_DUMP_DUMP_WRITER_H_

#include <string>
#include <string_view>

#include "base/error.h"
#include "db/engine.h"

namespace pallix {

// Where dump bytes go. Errors: Io.
class DumpSink {
 public:
  virtual ~DumpSink() = default;
  virtual Status Write(std::string_view bytes) = 0;
  // As Write, for bytes the caller is done with: a sink may take the
  // string's storage instead of copying it (a file sink writes it on a
  // thread of its own meanwhile). bytes is left empty, its capacity free
  // for the caller to fill again.
  virtual Status Hand(std::string& bytes) {
    Status written = Write(bytes);
    bytes.clear();
    return written;
  }
  // A sink that can overwrite bytes it already took (a file) lets the
  // writer stream the documents once and fill their count in afterwards,
  // instead of walking them twice.
  virtual bool CanRewrite() const { return false; }
  virtual uint64_t Position() const { return 0; }
  virtual Status Rewrite(uint64_t /*offset*/, std::string_view /*bytes*/) {
    return Fail(EngineError::Io("this sink cannot rewrite"));
  }
};

// Writes sections 1 to 10 (not the magic) to sink. Errors: Transaction
// (the read), Table/Storage (a read), Io (the sink), and a lock poisoned
// by a failed holder stops it with the lock's name.
Status dump_database(Engine& engine, DumpSink& sink);

// Creates or replaces the file at path with the magic and dump_database's
// sections. The file is opened without truncation first and refused when
// it is the open database's own file (the same device and inode: its path
// or a hard link), since truncating a mapped database file destroys it;
// only then is a regular file truncated. A target that is not a regular
// file (/dev/null, a FIFO, a terminal) is neither truncated nor written
// back into: the documents are counted before they are written, so its
// bytes are exactly a regular file's. The file is written by a thread of
// its own while the documents are read, and joined before this returns.
// After a failure the bytes written so far stay. Errors: Io (a NUL byte in
// path before any system call, open, truncate, write, close, the own-file
// refusal), and dump_database's.
Status dump_to_path(Engine& engine, const std::string& path);

}  // namespace pallix

#endif  // PALLIX_DUMP_DUMP_WRITER_H_
