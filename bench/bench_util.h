// Small helpers shared by the benchmark programs: timing, failing loudly on
// an engine error, resident memory, row-number keys and the vector file the
// Python drivers write. Benchmarks only; never linked into the engine.

#ifndef PALLIX_BENCH_BENCH_UTIL_H_
#define PALLIX_BENCH_BENCH_UTIL_H_

#include <time.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "base/coding.h"
#include "base/error.h"

namespace bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// CPU seconds the calling thread has run: on a machine shared with other
// work, the time it was not waiting for a processor.
inline double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

[[noreturn]] inline void Die(const char* what, const std::string& detail) {
  std::fprintf(stderr, "%s: %s\n", what, detail.c_str());
  std::exit(1);
}

template <typename T>
T Must(pallix::Result<T> r, const char* what) {
  if (!r) Die(what, r.error().Message());
  return std::move(*r);
}

inline void Must(pallix::Status s, const char* what) {
  if (!s) Die(what, s.error().Message());
}

// Resident set size of this process in bytes, from /proc (0 elsewhere).
inline uint64_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  uint64_t pages = 0, resident = 0;
  if (!(statm >> pages >> resident)) return 0;
  return resident * 4096;
}

// Row number <-> document key: 8 bytes big-endian, so keys sort by row.
inline std::string KeyOf(uint64_t row) {
  std::string key(8, '\0');
  pallix::EncodeFixed64BE(key.data(), row);
  return key;
}

inline uint64_t RowOf(const std::string& key) {
  uint64_t row = 0;
  for (char c : key) row = row << 8 | static_cast<uint8_t>(c);
  return row;
}

// The vector file: u32 n, u32 q, u32 d (host order), then (n + q) * d
// float32 values, the n base vectors followed by the q queries.
inline bool ReadVectors(const char* path, uint32_t& n, uint32_t& q, uint32_t& d, std::vector<float>& data) {
  n = q = d = 0;
  std::ifstream in(path, std::ios::binary);
  uint32_t header[3];
  if (!in.read(reinterpret_cast<char*>(header), sizeof(header))) return false;
  n = header[0];
  q = header[1];
  d = header[2];
  data.resize((size_t{n} + q) * d);
  return static_cast<bool>(in.read(reinterpret_cast<char*>(data.data()), data.size() * sizeof(float)));
}

}  // namespace bench

#endif  // PALLIX_BENCH_BENCH_UTIL_H_
