#include "dump/dump_reader.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>

#include "base/coding.h"
#include "base/port.h"
#include "doc/value.h"
#include "dump/dump_format.h"

namespace pallix {

namespace {

constexpr size_t kReadBuffer = 8192;
constexpr size_t kChunk = 65536;

EngineError EndOfDump() { return EngineError::InvalidDump("unexpected end of dump"); }

}  // namespace

DumpReader::~DumpReader() {
  if (fd_ >= 0) close(fd_);
}

// Refills the empty buffer; an empty buffer afterwards is the end.
Status DumpReader::Fill() {
  buffer_.resize(kReadBuffer);
  pos_ = 0;
  while (true) {
    ssize_t n = read(fd_, buffer_.data(), kReadBuffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      buffer_.clear();
      return Fail(EngineError::Io(port::OsErrorText(errno)));
    }
    buffer_.resize(static_cast<size_t>(n));
    return Ok();
  }
}

Status DumpReader::ReadExact(size_t n, std::string& out) {
  out.clear();
  while (out.size() < n) {
    if (pos_ == buffer_.size()) {
      RETURN_IF_ERROR(Fill());
      if (buffer_.empty()) return Fail(EndOfDump());
    }
    size_t take = std::min({n - out.size(), buffer_.size() - pos_, kChunk});
    out.append(buffer_, pos_, take);
    pos_ += take;
  }
  return Ok();
}

Status DumpReader::ReadHeader() {
  std::string magic;
  // A file that ends inside the header ends inside a field.
  RETURN_IF_ERROR(ReadExact(kDumpMagic.size(), magic));
  if (magic == kDumpMagic) return Ok();
  if (magic == kDumpMagicV1) {
    v1_ = true;
    return Ok();
  }
  return Fail(EngineError::InvalidDump("bad magic / unknown dump version"));
}

Result<uint8_t> DumpReader::ReadU8() {
  std::string b;
  RETURN_IF_ERROR(ReadExact(1, b));
  return static_cast<uint8_t>(b[0]);
}

Result<uint64_t> DumpReader::ReadU64() {
  std::string b;
  RETURN_IF_ERROR(ReadExact(8, b));
  return DecodeFixed64LE(b.data());
}

Result<double> DumpReader::ReadF64() {
  ASSIGN_OR_RETURN(uint64_t bits, ReadU64());
  return std::bit_cast<double>(bits);
}

Result<uint64_t> DumpReader::ReadLen() {
  if (!v1_) return ReadU64();
  std::string b;
  RETURN_IF_ERROR(ReadExact(4, b));
  return DecodeFixed32LE(b.data());
}

Result<std::string> DumpReader::ReadBytes() {
  ASSIGN_OR_RETURN(uint64_t n, ReadLen());
  std::string out;
  RETURN_IF_ERROR(ReadExact(n, out));
  return out;
}

Result<std::string> DumpReader::ReadStr() {
  ASSIGN_OR_RETURN(std::string s, ReadBytes());
  if (!IsValidUtf8(s)) return Fail(EngineError::InvalidDump("non-utf8 string"));
  return s;
}

}  // namespace pallix
