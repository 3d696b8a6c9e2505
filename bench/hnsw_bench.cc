// Builds the in-memory HNSW graph over a vector file and times its searches.
// Driven by bench/hnsw_bench.py, which writes the file, computes the exact
// neighbours and compares the results with hnswlib.
//
// Usage: hnsw_bench <vectors file> <results file> [k [passes]]
// With passes > 1 the queries are searched that many times and the fastest
// pass is reported, which damps the noise of a shared machine.
//
// Vectors file, little-endian:
//   offset  size              field
//   0       4                 base vector count n, u32
//   4       4                 query count q, u32
//   8       4                 dimension d, u32
//   12      4 * n * d         base vectors, float32, row after row
//   ...     4 * q * d         query vectors, float32
//
// Results file: q * k signed 32-bit row numbers (little-endian), nearest
// first, -1 where fewer than k were found. Keys are the row numbers as 8
// big-endian bytes, as a collection would hold binary document keys.
//
// Prints one line of JSON: build seconds, search seconds, queries per
// second, and the resident memory the graph added, in bytes.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench_util.h"
#include "vector/hnsw.h"

namespace {

using namespace bench;

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s <vectors file> <results file> [k]\n", argv[0]);
    return 2;
  }
  uint64_t k = argc > 3 ? std::stoull(argv[3]) : 10;
  int passes = argc > 4 ? std::max(1, std::stoi(argv[4])) : 1;
  uint32_t n, q, d;
  std::vector<float> data;
  if (!ReadVectors(argv[1], n, q, d, data)) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 1;
  }
  std::vector<std::string> keys;
  keys.reserve(n);
  for (uint32_t i = 0; i < n; ++i) keys.push_back(KeyOf(i));

  uint64_t rss_before = ResidentBytes();
  auto t0 = std::chrono::steady_clock::now();
  pallix::HnswIndex graph(pallix::Metric::kL2, pallix::Quantization::kNone);
  for (uint32_t i = 0; i < n; ++i) {
    pallix::hnsw_insert(graph, keys[i], std::span<const float>(data.data() + size_t{i} * d, d));
  }
  auto t1 = std::chrono::steady_clock::now();
  uint64_t rss_after = ResidentBytes();

  std::vector<int32_t> results(size_t{q} * k, -1);
  const float* queries = data.data() + size_t{n} * d;
  double search = 0;
  for (int pass = 0; pass < passes; ++pass) {
    auto t2 = std::chrono::steady_clock::now();
    for (uint32_t i = 0; i < q; ++i) {
      auto hits = pallix::hnsw_search(graph, std::span<const float>(queries + size_t{i} * d, d), k);
      for (size_t j = 0; j < hits.size() && j < k; ++j) results[i * k + j] = RowOf(hits[j].key);
    }
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t2).count();
    if (pass == 0 || took < search) search = took;
  }

  std::ofstream out(argv[2], std::ios::binary);
  out.write(reinterpret_cast<const char*>(results.data()), static_cast<std::streamsize>(results.size() * 4));
  double build = std::chrono::duration<double>(t1 - t0).count();
  std::printf("{\"build_s\": %.4f, \"search_s\": %.5f, \"qps\": %.1f, \"memory_bytes\": %llu, \"n\": %u}\n", build,
              search, q / search, static_cast<unsigned long long>(rss_after - rss_before), n);
  return 0;
}
