#include "base/port.h"

#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/statvfs.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <sys/random.h>
#endif

#include <cerrno>
#include <chrono>
#include <cstdint>

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

int LinkToOpenFile(int fd, const std::string& link_path) {
#if defined(__linux__)
  const char* fd_dir = "/proc/self/fd/";
#elif defined(__APPLE__) || defined(__FreeBSD__) || defined(__NetBSD__) || defined(__OpenBSD__)
  const char* fd_dir = "/dev/fd/";
#else
  const char* fd_dir = nullptr;
#endif
  if (fd_dir == nullptr) return ENOSYS;
  const std::string target = fd_dir + std::to_string(fd);
  return symlink(target.c_str(), link_path.c_str()) == 0 ? 0 : errno;
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
  // The file is in place; a failure here leaves a second name behind,
  // which the caller's clean-up of its own leftovers finds.
  (void)unlink(from.c_str());
  return 0;
}

}  // namespace pallix::port
