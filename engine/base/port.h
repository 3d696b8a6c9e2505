// The few operating-system calls whose form differs between platforms: the
// text of an errno value, naming the calling thread, the system's random
// source, a path naming an open descriptor, the room left on a file system,
// a rename that never replaces, files that have no name until they are
// complete and the removal of what a killed process left of them; the mark
// of handlers that let a thread's end through; and a hint that bytes will
// soon be read.
// Everything else in the engine uses plain POSIX or the C++ library.
// SIMD kernels live with their portable fallback in the vector layer.
//
// Thread-safety: every function may be called from any thread.

#ifndef PALLIX_BASE_PORT_H_
#define PALLIX_BASE_PORT_H_

#include <cxxabi.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// glibc ends a thread (pthread_exit, cancellation; an embedding interpreter
// calls pthread_exit on threads that touch it during its exit) by unwinding
// its stack with abi::__forced_unwind, which every handler must rethrow:
// one that stops it aborts the process ("FATAL: exception not rethrown").
// So each catch (...) that a thread's end can cross comes after
//   catch (abi::__forced_unwind&) { ...; throw; }
// in a function marked PALLIX_CATCHES_FORCED_UNWIND. The runtime binds that
// reference to no object (the unwind carries none), which the undefined
// behaviour sanitizer would report as a null reference; it is never read.
#define PALLIX_CATCHES_FORCED_UNWIND __attribute__((no_sanitize("null")))

namespace pallix::port {

// Asks the processor to start loading the cache line that holds p. Only a
// hint: nothing is read, and p may point anywhere (even unmapped).
//
// GCC takes a function whose only statements are prefetches for one without
// effects and drops every call to it, so a helper (or lambda) that prefetches
// a node's lines would silently do nothing; the empty volatile asm, which
// emits no instruction, makes the hint an effect it keeps.
[[gnu::always_inline]] inline void PrefetchLine(const void* p) {
  __builtin_prefetch(p, 0, 3);
  asm volatile("" : : "r"(p));
}

// PrefetchLine into the second-level cache only (PREFETCHT2 on x86), for
// lines asked for well before they are read, many at a time. A line asked
// into the first-level cache holds one of that cache's few miss buffers
// until it arrives: a burst of them, or a steady stream from memory, then
// waits on those buffers, not on the memory. The second level's queue of
// misses is longer, and its lines do not push out the first level's.
[[gnu::always_inline]] inline void PrefetchLineToL2(const void* p) {
  __builtin_prefetch(p, 0, 1);
  asm volatile("" : : "r"(p));
}

// Asks the processor to start loading every cache line of bytes, so that a
// walk over rows scattered through memory can overlap their loads with the
// work on the rows before them. Only a hint, as PrefetchLine.
inline void PrefetchBytes(std::string_view bytes) {
  for (size_t at = 0; at < bytes.size(); at += 64) PrefetchLine(bytes.data() + at);
}

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

// The path through which opening reaches the file open on fd itself
// (Linux: "/proc/self/fd/<fd>"; the BSDs and macOS: "/dev/fd/<fd>"), not
// whatever a name points at by then; "" where the platform has none. Only
// meaningful inside this process.
std::string OpenFilePath(int fd);

// The bytes the file system holding fd can still give this process (the
// superuser may also use the blocks reserved for it), or nullopt when the
// system does not say.
std::optional<uint64_t> FreeBytes(int fd);

// Gives the file at `from` the name `to` (same file system) only when `to`
// does not exist: an existing file, directory or link at `to`, even a
// dangling one or one that another process creates at the last moment, is
// never replaced. Returns 0, or the errno value of the failure (EEXIST when
// `to` exists). Where the file system cannot rename this way, the file is
// linked under `to` (which never replaces either) and `from` unlinked.
int RenameNoReplace(const std::string& from, const std::string& to);

// Maps `bytes` of fresh zeroed memory (whole pages, private, anonymous)
// straight from the system; null when it has none to give. UnmapPages gives
// them back at once, with the same size.
void* MapPages(size_t bytes);
void UnmapPages(void* pages, size_t bytes);
// MapPages for memory read at random all over: from 2 MiB on the mapping
// starts on a 2 MiB boundary and asks the system to back it with huge
// pages where it can (on Linux; elsewhere, and below that size, it is
// MapPages). UnmapPages frees it.
void* MapHugePages(size_t bytes);

// Opens, in the directory dir, a new regular file that has no name at all
// (read-write, close-on-exec, permission bits 0600), for bytes that live
// only while the file is open: a process killed at any moment leaves
// nothing of it. Where the file system cannot make an unnamed file, it is
// created under a name nobody else picks and unlinked at once. Returns 0
// and sets *fd, or returns the errno value of the failure.
int OpenAnonymousFile(const std::string& dir, int* fd);

// What a staging file (below) is made for: a backup, or a compaction's
// copy that takes a database's place.
enum class Staging { kBackup, kCompact };

// Staging names. A file made for the file at path `target` that needs a
// name before it gets target's own has one of target's staging names of
// its kind, in target's directory:
//   .<name>.pallix-<kind>-<random>
// with <name> target's last component, <kind> "backup" or "compact" and
// <random> 16 lowercase hex digits; or, where that name would be longer
// than the file system allows (a target name near the limit),
//   .pallix-<kind>-<digest>-<random>
// with <digest> the first 16 lowercase hex digits of SHA-256(<name>). So
// each file's staging names tell which file it was made for and why, and
// no name of one target (or kind) is ever a name of another.
//
// A new regular file that is filled first and given its name only once
// complete (a copy of a database, made for `target`). Where the file
// system can (Linux's O_TMPFILE), it has no name at all until Link or
// Replace, so a process killed before that leaves nothing behind.
// Elsewhere it is made under a staging name for target. Replace gives an
// unnamed file a staging name too, for the two system calls between its
// link and the rename over target. The file is locked (flock, exclusive)
// from its creation on, through its descriptor and any duplicate of it, so
// RemoveStaleStaging never takes a file that is still being made. This
// object removes the staging name unless the file was named; only a kill
// leaves one, for RemoveStaleStaging. No file this object did not make is
// ever removed.
class PendingFile {
 public:
  // Makes the file in target's directory, open read-write and
  // close-on-exec, with the permission bits mode before the process's
  // file-creation mask. Returns 0, or the errno value of the failure
  // (ENOENT: no such directory).
  static int Create(const std::string& target, Staging kind, unsigned mode, PendingFile* out);
  // As Create, always under a staging name: what Create falls back to.
  static int CreateNamed(const std::string& target, Staging kind, unsigned mode, PendingFile* out);

  PendingFile() = default;
  PendingFile(PendingFile&& other) noexcept;
  PendingFile& operator=(PendingFile&&) = delete;
  PendingFile(const PendingFile&) = delete;
  // Closes the file; unless it was given its name, nothing of it remains.
  ~PendingFile();

  int fd() const { return fd_; }

  // Gives the file the name `target` only when nothing is there: an
  // existing file, directory or link, even a dangling one, is never
  // replaced. Returns 0, or the errno value (EEXIST when `target` exists).
  // A file with a staging name is renamed (RenameNoReplace); where the
  // file system cannot rename that way, it is linked under `target` and
  // the staging name unlinked after, so a kill between the two leaves the
  // complete file under both names, for RemoveStaleStaging.
  int Link(const std::string& target);
  // Gives the file the name `target` in place of the file there, in one
  // step (a rename): an opener of `target` finds one file or the other.
  // An unnamed file first gets one of target's staging names for the two
  // system calls between, the only moment a kill would leave one.
  // Returns 0, or the errno value.
  int Replace(const std::string& target);

 private:
  int fd_ = -1;
  Staging kind_ = Staging::kBackup;
  std::string temp_;  // the file's staging name while it has one
};

// Removes, from target's directory, the names left under target's staging
// names of `kind` by processes killed while making their files: each name
// that is one of those names exactly, of a regular file (a link,
// directory or device is never opened) that `ours` accepts (given the file
// open read-only), and either
//   - that is target's own file (the same device and inode as the name
//     target itself, not a link there): a maker killed between Link's link
//     and unlink left it, and only that second name goes, whoever holds
//     the file locked; or
//   - that has no other name (a second name of someone's file, spelt like
//     a staging name, is never one of ours) and that nobody holds locked;
//     the file is held locked while it is judged and removed.
// A name is removed only while it still names the file judged. Nothing
// else is touched. For callers that know every live maker of such a file
// holds it locked. Returns how many names it removed; a directory that
// cannot be read removes none.
size_t RemoveStaleStaging(const std::string& target, Staging kind, bool (*ours)(int fd));

// For tests only: with `allowed` false, OpenAnonymousFile and
// PendingFile::Create make files as on a file system without unnamed files
// (their fallback), so that the fallback is tested where the system has
// them. Allowed by default.
void AllowUnnamedFilesForTesting(bool allowed);

}  // namespace pallix::port

#endif  // PALLIX_BASE_PORT_H_
