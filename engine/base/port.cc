#include "base/port.h"

#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <sys/random.h>
#endif

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <utility>

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
// working directory).
std::string DirPrefix(const std::string& path) { return path.substr(0, path.rfind('/') + 1); }

// A name nobody else picks: the process id tells processes apart (a name
// is only ever removed by the process that made it), the random part
// calls within one.
std::string OwnName() {
  RandomSeed seed = DrawRandomSeed();
  char random[17];
  snprintf(random, sizeof(random), "%016llx", static_cast<unsigned long long>(seed.k0));
  return ".pallix-tmp-" + std::to_string(getpid()) + "-" + random;
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

}  // namespace

namespace {

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

int PendingFile::Create(const std::string& dir, unsigned mode, PendingFile* out) {
#if defined(O_TMPFILE)
  if (g_unnamed_allowed.load(std::memory_order_relaxed)) {
    out->fd_ = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, static_cast<mode_t>(mode));
    if (out->fd_ >= 0) return 0;
    if (!NoUnnamedFiles(errno)) return errno;
  }
#endif
  return CreateNamed(dir, mode, out);
}

int PendingFile::CreateNamed(const std::string& dir, unsigned mode, PendingFile* out) {
  return CreateOwnNamed(dir, mode, &out->fd_, &out->temp_);
}

PendingFile::PendingFile(PendingFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), temp_(std::exchange(other.temp_, {})) {}

PendingFile::~PendingFile() {
  if (fd_ < 0) return;
  // The name goes only while it still names this very file.
  struct stat named, open_file;
  if (!temp_.empty() && stat(temp_.c_str(), &named) == 0 && fstat(fd_, &open_file) == 0 &&
      named.st_dev == open_file.st_dev && named.st_ino == open_file.st_ino)
    (void)unlink(temp_.c_str());
  close(fd_);
}

int PendingFile::Link(const std::string& target) {
  if (temp_.empty()) return LinkUnnamed(fd_, target);
  int err = RenameNoReplace(temp_, target);
  if (err == 0) temp_.clear();
  return err;
}

int PendingFile::Replace(const std::string& target) {
  if (!temp_.empty()) {
    ReachTestPoint(TestPoint::kCopyStaged, temp_);
    if (rename(temp_.c_str(), target.c_str()) != 0) return errno;
    temp_.clear();
    return 0;
  }
  // No call names an unnamed file in place of another: it is linked under
  // a name of its own beside the target and renamed over it at once.
  const std::string dir = DirPrefix(target);
  std::string own;
  int err = EEXIST;
  for (int attempt = 0; attempt < 16 && err == EEXIST; ++attempt) {
    own = dir + OwnName();
    err = LinkUnnamed(fd_, own);
  }
  if (err != 0) return err;
  ReachTestPoint(TestPoint::kCopyStaged, own);
  if (rename(own.c_str(), target.c_str()) != 0) {
    err = errno;
    (void)unlink(own.c_str());
    return err;
  }
  return 0;
}

}  // namespace pallix::port
