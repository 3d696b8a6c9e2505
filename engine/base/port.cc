#include "base/port.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <sys/random.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <utility>
#include <vector>

#include "base/sha256.h"
#include "base/test_point.h"

namespace pallix::port {

namespace {

// strerror_r has two incompatible signatures; overloads pick whichever the
// C library declared.
[[maybe_unused]] const char* StrerrorResult(int rc, const char* buf) { return rc == 0 ? buf : "Unknown error"; }
[[maybe_unused]] const char* StrerrorResult(const char* text, const char*) { return text; }

}  // namespace

std::string OsErrorText(int err) {
  char buf[256] = {0};
  const char* text = StrerrorResult(strerror_r(err, buf, sizeof(buf)), buf);
  return std::string(text) + " (os error " + std::to_string(err) + ")";
}

void SetCurrentThreadName(const std::string& name) {
#if defined(__APPLE__)
  pthread_setname_np(name.c_str());
#elif defined(__linux__)
  // Linux allows 15 bytes plus the terminator.
  pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
#else
  (void)name;
#endif
}

RandomSeed DrawRandomSeed() {
  uint64_t words[2] = {0, 0};
  if (getentropy(words, sizeof(words)) != 0) {
    const auto now = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    words[0] = now * 0x9E3779B97F4A7C15ULL;
    words[1] = reinterpret_cast<uintptr_t>(&words) ^ (now << 17);
  }
  return {words[0], words[1]};
}

std::string OpenFilePath(int fd) {
#if defined(__linux__)
  return "/proc/self/fd/" + std::to_string(fd);
#elif defined(__APPLE__) || defined(__FreeBSD__) || defined(__NetBSD__) || defined(__OpenBSD__)
  return "/dev/fd/" + std::to_string(fd);
#else
  (void)fd;
  return "";
#endif
}

std::optional<uint64_t> FreeBytes(int fd) {
  struct statvfs st;
  if (fstatvfs(fd, &st) != 0) return std::nullopt;
  const uint64_t blocks = geteuid() == 0 ? st.f_bfree : st.f_bavail;
  return blocks * static_cast<uint64_t>(st.f_frsize);
}

void* MapPages(size_t bytes) {
  void* pages = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return pages == MAP_FAILED ? nullptr : pages;
}

void UnmapPages(void* pages, size_t bytes) { (void)munmap(pages, bytes); }

void* MapHugePages(size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr size_t kHuge = size_t{2} << 20;
  if (bytes >= kHuge) {
    // Mapped a huge page longer, then cut to a boundary on both sides: only
    // a whole, aligned 2 MiB range can be one huge page.
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t used = (bytes + page - 1) / page * page;
    const size_t span = used + kHuge;
    void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const auto at = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t start = (at + kHuge - 1) & ~uintptr_t{kHuge - 1};
    const size_t head = start - at;
    if (head > 0) (void)munmap(raw, head);
    if (span - head > used) (void)munmap(reinterpret_cast<void*>(start + used), span - head - used);
    // Advice only: without huge pages the memory is as good, only slower.
    (void)madvise(reinterpret_cast<void*>(start), used, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(start);
  }
#endif
  return MapPages(bytes);
}

int RenameNoReplace(const std::string& from, const std::string& to) {
#if defined(__linux__)
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  // EINVAL: a file system without the flag; ENOSYS: a kernel without the call.
  if (errno != EINVAL && errno != ENOSYS) return errno;
#elif defined(__APPLE__)
  if (renamex_np(from.c_str(), to.c_str(), RENAME_EXCL) == 0) return 0;
  if (errno != ENOTSUP && errno != EINVAL) return errno;
#endif
  if (link(from.c_str(), to.c_str()) != 0) return errno;
  // The file is in place; should the unlink fail, it keeps a second name.
  (void)unlink(from.c_str());
  return 0;
}

namespace {

// The directory part of path with its slash ("" for a bare name: the
// working directory), its last component, and the directory to open.
std::string DirPrefix(const std::string& path) { return path.substr(0, path.rfind('/') + 1); }
std::string BaseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }
std::string DirOf(const std::string& path) {
  std::string dir = DirPrefix(path);
  return dir.empty() ? "." : dir;
}

std::string Hex(const uint8_t* bytes, size_t n) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (size_t i = 0; i < n; ++i) {
    hex += kDigits[bytes[i] >> 4];
    hex += kDigits[bytes[i] & 15];
  }
  return hex;
}

// 16 lowercase hex digits from the system's random source.
std::string RandomHex() {
  uint64_t word = DrawRandomSeed().k0;
  uint8_t bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(word >> (8 * i));
  return Hex(bytes, 8);
}

constexpr size_t kRandomDigits = 16;

// A name nobody else picks, for a file that is unlinked at once: the
// process id tells processes apart, the random part calls within one.
std::string OwnName() { return ".pallix-tmp-" + std::to_string(getpid()) + "-" + RandomHex(); }

// target's staging names of kind (port.h) without their random part: the
// readable one, then the one of fixed length.
struct StagingPrefixes {
  std::string readable;
  std::string short_form;

  StagingPrefixes(const std::string& name, Staging kind) {
    const std::string tag = kind == Staging::kBackup ? ".pallix-backup-" : ".pallix-compact-";
    uint8_t digest[32];
    Sha256(name, digest);
    readable = "." + name + tag;
    short_form = tag + Hex(digest, 8) + "-";
  }

  // Whether name is one of the two names, exactly.
  bool Match(std::string_view name) const {
    for (const std::string* prefix : {&readable, &short_form}) {
      if (name.size() != prefix->size() + kRandomDigits || !name.starts_with(*prefix)) continue;
      if (std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix->size()), name.end(),
                      [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }))
        return true;
    }
    return false;
  }
};

// Draws target's staging names (paths), readable ones while they fit.
class StagingNamer {
 public:
  StagingNamer(const std::string& target, Staging kind)
      : dir_(DirPrefix(target)), prefixes_(BaseName(target), kind),
        readable_(prefixes_.readable.size() + kRandomDigits <= NAME_MAX) {}

  std::string Next() const { return dir_ + (readable_ ? prefixes_.readable : prefixes_.short_form) + RandomHex(); }
  // After ENAMETOOLONG: whether a shorter name remains to be tried.
  bool Shorten() { return std::exchange(readable_, false); }

 private:
  std::string dir_;
  StagingPrefixes prefixes_;
  bool readable_;
};

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Whether path itself (not what a link there leads to) is the file open
// on fd.
bool NamesFile(const std::string& path, int fd) {
  struct stat named, open_file;
  return lstat(path.c_str(), &named) == 0 && fstat(fd, &open_file) == 0 && SameFile(named, open_file);
}

// Whether the file open on fd has exactly one name. A staging file has
// only its staging name until it is given the target's: a file with a
// second name that is not the target is someone's, a hard link perhaps
// that happens to be spelt like a staging name, and never removed.
bool OneName(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && st.st_nlink == 1;
}

// Whether the file open on fd, found under one of target's staging names
// (path), was left by a maker killed before it finished and may go.
//
// A maker killed between the link that gave its file target's name and
// the unlink of the staging name (RenameNoReplace where the file system
// cannot rename without replacing) leaves the complete file under both
// names. The staging name is then target itself under a second name:
// removing it takes nothing but that name, whoever holds the file (a
// store that opened the target holds its lock; so does a live maker in
// that same moment, whose own unlink then finds the name gone, which it
// ignores). target is taken as it stands, not through a link there: a
// link to the staging name would otherwise make that name look like a
// spare one when it is the file's only name.
//
// Any other file must be one no live maker holds (locked: its maker was
// killed and its lock went with it, and none can take it back, LockNew)
// with no other name, checked again once locked. A file with other names
// is not locked even for a moment: an opener of it by one of those names
// would find it taken. The caller keeps fd open, and so the lock, until
// it has removed the name.
bool Stale(const std::string& target, const std::string& path, int fd, bool (*ours)(int fd)) {
  if (!NamesFile(path, fd)) return false;
  if (NamesFile(target, fd)) return ours(fd);
  return OneName(fd) && flock(fd, LOCK_EX | LOCK_NB) == 0 && OneName(fd) && ours(fd);
}

// Whether flock failed because the file system has no such locks.
bool NoLocks(int err) { return err == ENOLCK || err == EOPNOTSUPP || err == ENOSYS || err == EINVAL; }

// Locks a staging file just made under `name` (exclusive, non-blocking).
// EAGAIN: a RemoveStaleStaging took the new, still empty file for a stale
// one in the moment before; it holds or has removed it, so the caller
// takes another name. A file system without locks leaves it unlocked.
int LockNew(int fd, const std::string& name) {
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return EAGAIN;
    if (!NoLocks(errno)) return errno;
  }
  return NamesFile(name, fd) ? 0 : EAGAIN;
}

// Creates a new file under one of target's staging names of kind.
// Returns 0 and sets *fd (locked) and *name, or the errno value.
int CreateStaged(const std::string& target, Staging kind, unsigned mode, int* fd, std::string* name) {
  StagingNamer namer(target, kind);
  for (int attempt = 0; attempt < 16; ++attempt) {
    *name = namer.Next();
    *fd = open(name->c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, static_cast<mode_t>(mode));
    if (*fd < 0) {
      if (errno == ENAMETOOLONG && namer.Shorten()) continue;
      if (errno == EEXIST) continue;
      return errno;
    }
    int err = LockNew(*fd, *name);
    if (err == 0) return 0;
    // Nothing of a failed attempt stays; a file a remover holds is its.
    if (err != EAGAIN && NamesFile(*name, *fd)) (void)unlink(name->c_str());
    close(*fd);
    *fd = -1;
    if (err != EAGAIN) return err;
  }
  return EEXIST;
}

// Creates a new file under a name of OwnName's in dir (a directory path;
// "" is not one). Returns 0 and sets *fd and *name, or the errno value.
int CreateOwnNamed(const std::string& dir, unsigned mode, int* fd, std::string* name) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    *name = dir + "/" + OwnName();
    *fd = open(name->c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, static_cast<mode_t>(mode));
    if (*fd >= 0) return 0;
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

// Whether open(dir, O_TMPFILE) failed because the file system (or the
// kernel: EISDIR) cannot make unnamed files, not for a reason a named file
// would meet as well.
[[maybe_unused]] bool NoUnnamedFiles(int err) { return err == EOPNOTSUPP || err == EISDIR || err == EINVAL; }

// Gives the unnamed file open on fd the name `target`, never replacing.
// Through the descriptor's /proc path first, which anyone may link; then
// by the descriptor itself (AT_EMPTY_PATH), which needs a capability but
// no /proc.
[[maybe_unused]] int LinkUnnamed(int fd, const std::string& target) {
#if defined(__linux__)
  if (linkat(AT_FDCWD, OpenFilePath(fd).c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
  int err = errno;
  if (err != ENOENT) return err;
  return linkat(fd, "", AT_FDCWD, target.c_str(), AT_EMPTY_PATH) == 0 ? 0 : errno;
#else
  (void)fd;
  (void)target;
  return ENOSYS;
#endif
}

std::atomic<bool> g_unnamed_allowed{true};

}  // namespace

void AllowUnnamedFilesForTesting(bool allowed) { g_unnamed_allowed.store(allowed); }

int OpenAnonymousFile(const std::string& dir, int* fd) {
#if defined(O_TMPFILE)
  if (g_unnamed_allowed.load(std::memory_order_relaxed)) {
    // O_EXCL: the file can never be given a name, not even through /proc.
    *fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
    if (*fd >= 0) return 0;
    if (!NoUnnamedFiles(errno)) return errno;
  }
#endif
  std::string name;
  if (int err = CreateOwnNamed(dir, 0600, fd, &name); err != 0) return err;
  (void)unlink(name.c_str());
  return 0;
}

int PendingFile::Create(const std::string& target, Staging kind, unsigned mode, PendingFile* out) {
#if defined(O_TMPFILE)
  if (g_unnamed_allowed.load(std::memory_order_relaxed)) {
    out->fd_ = open(DirOf(target).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, static_cast<mode_t>(mode));
    if (out->fd_ >= 0) {
      out->kind_ = kind;
      // Locked before Replace can give it a staging name.
      if (flock(out->fd_, LOCK_EX | LOCK_NB) == 0 || NoLocks(errno)) return 0;
      int err = errno;
      close(std::exchange(out->fd_, -1));
      return err;
    }
    if (!NoUnnamedFiles(errno)) return errno;
  }
#endif
  return CreateNamed(target, kind, mode, out);
}

int PendingFile::CreateNamed(const std::string& target, Staging kind, unsigned mode, PendingFile* out) {
  out->kind_ = kind;
  return CreateStaged(target, kind, mode, &out->fd_, &out->temp_);
}

PendingFile::PendingFile(PendingFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), kind_(other.kind_), temp_(std::exchange(other.temp_, {})) {}

PendingFile::~PendingFile() {
  if (fd_ < 0) return;
  // The name goes only while it still names this very file.
  if (!temp_.empty() && NamesFile(temp_, fd_)) (void)unlink(temp_.c_str());
  close(fd_);
}

int PendingFile::Link(const std::string& target) {
  if (temp_.empty()) return LinkUnnamed(fd_, target);
  int err = RenameNoReplace(temp_, target);
  if (err == 0) temp_.clear();
  return err;
}

int PendingFile::Replace(const std::string& target) {
  if (temp_.empty()) {
    // No call names an unnamed file in place of another: it is linked
    // under a staging name beside the target and renamed over it at once.
    StagingNamer namer(target, kind_);
    int err = EEXIST;
    for (int attempt = 0; attempt < 16; ++attempt) {
      temp_ = namer.Next();
      err = LinkUnnamed(fd_, temp_);
      if (err == ENAMETOOLONG && namer.Shorten()) continue;
      if (err != EEXIST) break;
    }
    if (err != 0) {
      temp_.clear();
      return err;
    }
  }
  ReachTestPoint(TestPoint::kCopyStaged, temp_);
  if (rename(temp_.c_str(), target.c_str()) != 0) return errno;  // the destructor removes the staging name
  temp_.clear();
  return 0;
}

size_t RemoveStaleStaging(const std::string& target, Staging kind, bool (*ours)(int fd)) {
  const StagingPrefixes prefixes(BaseName(target), kind);
  std::vector<std::string> found;
  DIR* dir = opendir(DirOf(target).c_str());
  if (dir == nullptr) return 0;
  while (const dirent* entry = readdir(dir))
    if (prefixes.Match(entry->d_name)) found.emplace_back(entry->d_name);
  closedir(dir);
  size_t removed = 0;
  for (const std::string& name : found) {
    const std::string path = DirPrefix(target) + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) continue;
    if (Stale(target, path, fd, ours) && NamesFile(path, fd) && unlink(path.c_str()) == 0) ++removed;
    close(fd);
  }
  return removed;
}

}  // namespace pallix::port
