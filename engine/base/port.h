// The few operating-system calls whose form differs between platforms: the
// text of an errno value, naming the calling thread, the system's random
// source, a path naming an open descriptor and the room left on a file
// system. Everything else in the engine uses plain POSIX or the C++ library.
// SIMD kernels live with their portable fallback in the vector layer.
//
// Thread-safety: every function may be called from any thread.

#ifndef PALLIX_BASE_PORT_H_
#define PALLIX_BASE_PORT_H_

#include <cstdint>
#include <optional>
#include <string>

namespace pallix::port {

// The system's text for errno value err, as "<text> (os error <err>)".
std::string OsErrorText(int err);

// Names the calling thread (shown by debuggers and ps); names longer than
// the platform allows are cut. Failure is ignored: a name is a courtesy.
void SetCurrentThreadName(const std::string& name);

// Two words from the system's random source, for seeding hash maps keyed by
// user data. Should the source be unavailable, a mix of the clock and an
// address, which still differs between processes and runs.
struct RandomSeed {
  uint64_t k0;
  uint64_t k1;
};
RandomSeed DrawRandomSeed();

// Creates a symbolic link at link_path through which opening reaches the
// file open on fd itself (Linux: "/proc/self/fd/<fd>"; the BSDs and macOS:
// "/dev/fd/<fd>"), not whatever a name points at by then. Returns 0, or the
// errno value of the failure (ENOSYS where the platform has no such path).
// The link is only meaningful inside this process.
int LinkToOpenFile(int fd, const std::string& link_path);

// The bytes the file system holding fd can still give this process (the
// superuser may also use the blocks reserved for it), or nullopt when the
// system does not say.
std::optional<uint64_t> FreeBytes(int fd);

}  // namespace pallix::port

#endif  // PALLIX_BASE_PORT_H_
