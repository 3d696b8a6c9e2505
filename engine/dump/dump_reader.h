// Reading the primitives of a dump file (layout in dump_format.h) through
// an 8192-byte buffer, for version 2 (8-byte lengths) and version 1
// (4-byte lengths). A length is never trusted for an allocation: bytes
// arrive in chunks of at most 64 KiB into a growing buffer, so a damaged
// length ends in "unexpected end of dump" rather than a huge reservation.
//
// Callers: the dump loader. Thread-safety: one thread per reader.

#ifndef PALLIX_DUMP_DUMP_READER_H_
#define PALLIX_DUMP_DUMP_READER_H_

#include <cstdint>
#include <string>

#include "base/error.h"

namespace pallix {

class DumpReader {
 public:
  // Takes ownership of fd (closed by the destructor).
  explicit DumpReader(int fd) : fd_(fd) {}
  ~DumpReader();
  DumpReader(const DumpReader&) = delete;
  DumpReader& operator=(const DumpReader&) = delete;

  // Reads the 12-byte magic and sets the length width. InvalidDump "bad
  // magic / unknown dump version" for anything else.
  Status ReadHeader();

  // Errors of every read: InvalidDump "unexpected end of dump" when the
  // file ends inside the field, Io for a failed read.
  Result<uint8_t> ReadU8();
  Result<uint64_t> ReadU64();
  Result<double> ReadF64();
  Result<uint64_t> ReadLen();
  Result<std::string> ReadBytes();
  // As ReadBytes; InvalidDump "non-utf8 string" unless valid UTF-8.
  Result<std::string> ReadStr();

 private:
  Status ReadExact(size_t n, std::string& out);
  Status Fill();

  int fd_;
  bool v1_ = false;
  std::string buffer_;
  size_t pos_ = 0;
};

}  // namespace pallix

#endif  // PALLIX_DUMP_DUMP_READER_H_
