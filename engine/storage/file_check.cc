#include "storage/file_check.h"

#include <lmdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "base/port.h"

namespace pallix::store_internal {

namespace {

constexpr uint32_t kMetaMagic = 0xBEEFC0DE;
constexpr size_t kMagicOffset = 16;
constexpr size_t kVersionOffset = 20;
constexpr uint32_t kDataVersion = 1;
constexpr size_t kPageSizeOffset = 40;
constexpr size_t kLastPageOffset = 136;
constexpr size_t kMetaReadSize = kLastPageOffset + 8;
// LMDB's page sizes: powers of two up to 64 KiB (the OS page size of the
// machine that made the file).
constexpr uint64_t kMinPageSize = 512;
constexpr uint64_t kMaxPageSize = uint64_t{1} << 16;

EngineError Truncated(uint64_t size, uint64_t needed) {
  return EngineError::Database("file is truncated: " + std::to_string(size) + " bytes, " + std::to_string(needed) +
                               " expected");
}

EngineError IoError(int err) { return EngineError::Database("I/O error: " + port::OsErrorText(err)); }

// (last + 1) * page_size, saturating: a damaged meta page may claim any
// page number.
uint64_t BytesThrough(uint64_t last_page, uint64_t page_size) {
  uint64_t pages = last_page == UINT64_MAX ? UINT64_MAX : last_page + 1;
  return pages > UINT64_MAX / page_size ? UINT64_MAX : pages * page_size;
}

uint64_t OsPageSize() {
  long size = sysconf(_SC_PAGESIZE);
  return size > 0 ? static_cast<uint64_t>(size) : 4096;
}

// Reads up to kMetaReadSize bytes at offset 0; returns how many it read.
Result<size_t> ReadFirstMeta(int fd, char* buf) {
  size_t got = 0;
  while (got < kMetaReadSize) {
    ssize_t n = pread(fd, buf + got, kMetaReadSize - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Fail(IoError(errno));
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return got;
}

}  // namespace

Status CheckMetaPages(int fd) {
  // The offsets above are those of 64-bit builds (pointer-sized fields
  // precede the page size); elsewhere LMDB's own checks are all there is.
  if constexpr (sizeof(void*) != 8 || sizeof(size_t) != 8) return Ok();
  struct stat st;
  if (fstat(fd, &st) != 0) return Fail(IoError(errno));
  const auto size = static_cast<uint64_t>(st.st_size);
  if (size == 0) return Ok();
  char meta[kMetaReadSize];
  ASSIGN_OR_RETURN(size_t got, ReadFirstMeta(fd, meta));
  uint32_t magic = 0;
  if (got < kMagicOffset + 4) return Ok();
  std::memcpy(&magic, meta + kMagicOffset, 4);
  if (magic != kMetaMagic) return Ok();
  // A file cut inside its first meta page may have lost the page size too;
  // it was then written on a machine of this one's page size, most likely.
  uint64_t page_size = 0;
  if (got >= kPageSizeOffset + 4) {
    uint32_t stored = 0;
    std::memcpy(&stored, meta + kPageSizeOffset, 4);
    page_size = stored;
  }
  if (page_size < kMinPageSize || page_size > kMaxPageSize || (page_size & (page_size - 1)) != 0)
    page_size = OsPageSize();
  if (size >= 2 * page_size) return Ok();
  uint64_t needed = 2 * page_size;
  if (got >= kLastPageOffset + 8) {
    uint64_t last_page = 0;
    std::memcpy(&last_page, meta + kLastPageOffset, 8);
    needed = std::max(needed, BytesThrough(last_page, page_size));
  }
  return Fail(Truncated(size, needed));
}

Status CheckMappedFile(MDB_env* env, int fd) {
  struct stat ours, mapped;
  if (fstat(fd, &ours) != 0) return Fail(IoError(errno));
  mdb_filehandle_t lmdb_fd;
  if (mdb_env_get_fd(env, &lmdb_fd) != 0 || fstat(lmdb_fd, &mapped) != 0)
    return Fail(EngineError::Database("I/O error: cannot inspect the file LMDB opened"));
  // LMDB opened the file through a link to our descriptor; should that ever
  // reach another file, the exclusive lock would guard the wrong one.
  if (ours.st_dev != mapped.st_dev || ours.st_ino != mapped.st_ino)
    return Fail(EngineError::Database("I/O error: LMDB opened another file than the locked database file"));
  MDB_envinfo info;
  MDB_stat stat;
  if (mdb_env_info(env, &info) != 0 || mdb_env_stat(env, &stat) != 0)
    return Fail(EngineError::Database("I/O error: cannot read the database's meta page"));
  const auto size = static_cast<uint64_t>(ours.st_size);
  const uint64_t needed = BytesThrough(info.me_last_pgno, stat.ms_psize);
  if (needed > size) return Fail(Truncated(size, needed));
  return Ok();
}

bool MayBeStoreFile(int fd) {
  // Offsets of 64-bit builds, as above; elsewhere no file is taken for one.
  if constexpr (sizeof(void*) != 8 || sizeof(size_t) != 8) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (st.st_size == 0) return true;
  char meta[kMetaReadSize];
  Result<size_t> got = ReadFirstMeta(fd, meta);
  if (!got || *got < kVersionOffset + 4) return false;
  uint32_t magic = 0, version = 0;
  std::memcpy(&magic, meta + kMagicOffset, 4);
  std::memcpy(&version, meta + kVersionOffset, 4);
  return magic == kMetaMagic && version == kDataVersion;
}

}  // namespace pallix::store_internal
