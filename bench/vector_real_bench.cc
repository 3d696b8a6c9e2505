// Builds one of the engine's vector graphs over a vector file and times its
// searches. Driven by bench/vector_bench.py, which writes the file (real
// sentence embeddings), computes the exact neighbours and runs the peers.
//
// Usage: vector_real_bench <vectors file> <results file> <cosine|l2> <memory|disk-file|disk-mem> [k [passes]]
//   memory     the in-memory graph (HnswIndex, hnsw_insert / hnsw_search)
//   disk-file  the on-disk graph (dann_insert / dann_search) in a database
//              file under $TMPDIR, built in transactions of 1,000 inserts
//              as the index layer builds an index (one node cache and one
//              flush per transaction; VECTOR_BENCH_UPSERTS=1: one
//              dann_upsert per vector instead);
//              searches run with the page cache warm (one untimed pass
//              first)
//   disk-mem   the same graph over a private in-memory database
// With passes > 1 the queries are searched that many times and the fastest
// pass is reported, which damps the noise of a shared machine.
//
// Vectors file, little-endian (as bench/hnsw_bench.cc):
//   offset  size              field
//   0       4                 base vector count n, u32
//   4       4                 query count q, u32
//   8       4                 dimension d, u32
//   12      4 * n * d         base vectors, float32, row after row
//   ...     4 * q * d         query vectors, float32
//
// Results file: q * k signed 32-bit row numbers, nearest first, -1 where
// fewer than k were found. Keys are the row numbers as 8 big-endian bytes.
//
// Prints one line of JSON: build seconds, search seconds, queries per
// second, the same build and search as CPU seconds of the running thread
// (what a shared machine's other work does not inflate), the bytes the
// graph takes (resident memory added for the in-memory graph; the
// database file's size, or the pages in use for the in-memory database,
// for the on-disk graph), and for the in-memory graph a hash of its links
// (GraphHash).

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench_util.h"
#include "index/open.h"
#include "storage/read_view.h"
#include "storage/rows.h"
#include "storage/store.h"
#include "vector/disk_hnsw.h"
#include "vector/hnsw.h"

namespace {

using namespace bench;

constexpr char kNs[] = "__dann__bench__v";
constexpr size_t kBatch = 1000;

// FNV-1a over every node's level and neighbour lists: two builds made the
// same graph when their hashes agree (a change meant to keep graphs as they
// were is checked by it).
uint64_t GraphHash(const pallix::HnswIndex& graph) {
  uint64_t h = 0xcbf29ce484222325ull;
  auto mix = [&h](uint64_t v) {
    for (int i = 0; i < 8; ++i) {
      h ^= (v >> (8 * i)) & 0xff;
      h *= 0x100000001b3ull;
    }
  };
  for (uint64_t id = 0; id < graph.node_count(); ++id) {
    const uint32_t level = graph.level(id);
    mix(level);
    for (uint32_t layer = 0; layer <= level; ++layer) {
      auto list = graph.neighbours(id, layer);
      mix(list.size());
      for (uint32_t v : list) mix(v);
    }
  }
  return h;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace pallix;
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s <vectors file> <results file> <cosine|l2> <memory|disk-file|disk-mem> [k [passes]]\n",
                 argv[0]);
    return 2;
  }
  std::string metric_name = argv[3], mode = argv[4];
  Metric metric = metric_name == "l2" ? Metric::kL2 : Metric::kCosine;
  uint64_t k = argc > 5 ? std::stoull(argv[5]) : 10;
  int passes = argc > 6 ? std::max(1, std::stoi(argv[6])) : 1;
  uint32_t n, q, d;
  std::vector<float> data;
  if (!ReadVectors(argv[1], n, q, d, data)) Die("cannot read", argv[1]);
  std::vector<std::string> keys;
  keys.reserve(n);
  for (uint32_t i = 0; i < n; ++i) keys.push_back(KeyOf(i));
  const float* queries = data.data() + size_t{n} * d;
  std::vector<int32_t> results(size_t{q} * k, -1);
  double build = 0, search = 0, build_cpu = 0, search_cpu = 0;
  uint64_t graph_hash = 0;
  uint64_t bytes = 0;

  auto timed_passes = [&](auto&& one_query) {
    for (int pass = 0; pass < passes; ++pass) {
      auto t = Clock::now();
      const double cpu = ThreadCpuSeconds();
      for (uint32_t i = 0; i < q; ++i) {
        auto hits = one_query(std::span<const float>(queries + size_t{i} * d, d));
        for (size_t j = 0; j < hits.size() && j < k; ++j) results[i * k + j] = RowOf(hits[j].key);
      }
      double took = Seconds(t), took_cpu = ThreadCpuSeconds() - cpu;
      if (pass == 0 || took < search) search = took;
      if (pass == 0 || took_cpu < search_cpu) search_cpu = took_cpu;
    }
  };

  if (mode == "memory") {
    uint64_t rss_before = ResidentBytes();
    auto t0 = Clock::now();
    const double cpu0 = ThreadCpuSeconds();
    HnswIndex graph(metric, Quantization::kNone);
    for (uint32_t i = 0; i < n; ++i) hnsw_insert(graph, keys[i], std::span<const float>(data.data() + size_t{i} * d, d));
    build = Seconds(t0);
    build_cpu = ThreadCpuSeconds() - cpu0;
    bytes = ResidentBytes() - rss_before;
    graph_hash = GraphHash(graph);
    timed_passes([&](std::span<const float> query) { return hnsw_search(graph, query, k); });
  } else if (mode == "disk-file" || mode == "disk-mem") {
    std::string dir;
    std::shared_ptr<Engine> engine;
    // VECTOR_BENCH_DB names a database file to keep: built on the first
    // run, searched again by later ones without rebuilding (for profiling).
    const char* kept = std::getenv("VECTOR_BENCH_DB");
    bool reuse = false;
    std::string db_path;
    if (mode == "disk-file" && kept != nullptr) {
      db_path = kept;
      reuse = std::filesystem::exists(db_path);
      engine = Must(open_engine(db_path), "open_engine");
    } else if (mode == "disk-file") {
      dir = (std::filesystem::temp_directory_path() / "pallix-vbench-XXXXXX").string();
      if (mkdtemp(dir.data()) == nullptr) Die("mkdtemp", dir);
      db_path = dir + "/db";
      engine = Must(open_engine(db_path), "open_engine");
    } else {
      engine = Must(open_in_memory(), "open_in_memory");
    }
    DiskHnswParams params;
    params.metric = metric;
    auto t0 = Clock::now();
    const double cpu0 = ThreadCpuSeconds();
    // As the index layer builds an index: per transaction one meta read,
    // one node cache for all its inserts, one flush and one meta write.
    // VECTOR_BENCH_UPSERTS=1 writes each vector by itself instead (one
    // dann_upsert each, as single document writes do).
    const bool upserts = std::getenv("VECTOR_BENCH_UPSERTS") != nullptr;
    for (uint32_t lo = 0; !reuse && lo < n; lo += kBatch) {
      WriteCtx ctx = Must(BeginWriteCtx(engine->store()), "BeginWriteCtx");
      const uint32_t hi = std::min<uint32_t>(n, lo + kBatch);
      if (upserts) {
        for (uint32_t i = lo; i < hi; ++i) {
          Must(dann_upsert(ctx, kNs, params, keys[i], std::span<const float>(data.data() + size_t{i} * d, d)),
               "dann_upsert");
        }
      } else {
        DiskHnswMeta meta = Must(read_dann_meta(ctx, kNs), "read_dann_meta");
        DannNodeCache cache;
        for (uint32_t i = lo; i < hi; ++i) {
          Must(dann_insert(ctx, kNs, params, cache, meta, keys[i],
                           std::span<const float>(data.data() + size_t{i} * d, d)),
               "dann_insert");
        }
        Must(flush_dann_nodes(ctx, kNs, cache), "flush_dann_nodes");
        Must(put_row(ctx, kNs, kDannMetaKey, encode_dann_meta(meta)), "write meta");
      }
      Must(ctx.Commit(), "commit");
    }
    build = Seconds(t0);
    build_cpu = ThreadCpuSeconds() - cpu0;
    auto txn = Must(engine->store().BeginRead(), "BeginRead");
    ReadView view(txn);
    auto one = [&](std::span<const float> query) { return Must(dann_search(view, kNs, params, query, k), "search"); };
    for (uint32_t i = 0; i < q; ++i) one(std::span<const float>(queries + size_t{i} * d, d));  // warm the cache
    timed_passes(one);
    if (mode == "disk-file") {
      bytes = std::filesystem::file_size(db_path);
    } else {
      // The in-memory database's pages: walk the namespace's rows.
      uint64_t total = 0;
      Must(view.view_for_each(kNs, [&](std::string_view key, std::string_view value) -> Result<bool> {
        total += key.size() + value.size();
        return true;
      }), "walk");
      bytes = total;
    }
    if (!dir.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(dir, ec);
    }
  } else {
    Die("unknown mode", mode);
  }

  std::ofstream out(argv[2], std::ios::binary);
  out.write(reinterpret_cast<const char*>(results.data()), static_cast<std::streamsize>(results.size() * 4));
  std::printf(
      "{\"build_s\": %.4f, \"search_s\": %.5f, \"qps\": %.1f, \"build_cpu_s\": %.4f, \"search_cpu_s\": %.5f, "
      "\"bytes\": %llu, \"n\": %u, \"graph_hash\": \"%016llx\"}\n",
      build, search, q / search, build_cpu, search_cpu, static_cast<unsigned long long>(bytes), n,
      static_cast<unsigned long long>(graph_hash));
  return 0;
}
