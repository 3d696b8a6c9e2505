// The exact route's walk on its own: a filtered vector query answered by
// scoring every row the filter keeps, run on the calling thread alone and
// shared with the work pool's helpers, reporting CPU per row walked (of
// every thread of the process). The rows are the real corpus's paragraphs
// and embeddings (text, emb, length), the filter length > the median
// length, as the hybrid benchmark (hybrid_bench.py) queries them; here no
// interpreter or binding stands between the query and the walk, so that a
// profiler (perf, callgrind with --toggle-collect=pallix::run_query_entry*)
// sees the walk alone.
//
// Usage: exact_walk_bench [data dir = bench/data] [queries per round = 20]
//                         [mode = both|serial|shared] [rows = 0: all]
// The digest (of the first round's answers) must not change with the walk.

#include <time.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench_util.h"
#include "base/siphash.h"
#include "index/open.h"
#include "query/executor.h"
#include "query/predicate.h"
#include "query/query_spec.h"
#include "storage/store.h"
#include "write/write.h"

using namespace pallix;

namespace {

constexpr size_t kHeldOut = 200;  // the first rows are the queries, as the hybrid benchmark holds them out
constexpr uint64_t kTop = 10;

// CPU seconds of every thread of the process: a shared walk's helpers too.
double ProcessCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : "bench/data";
  const size_t queries = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 20;
  const std::string mode = argc > 3 ? argv[3] : "both";
  const size_t limit = argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 0;
  std::ifstream text_in(dir + "/paragraphs.txt");
  std::vector<std::string> texts;
  for (std::string line; std::getline(text_in, line);) texts.push_back(line);
  std::ifstream vec_in(dir + "/embeddings.f32", std::ios::binary);
  constexpr size_t kDim = 384;
  std::vector<float> vecs(texts.size() * kDim);
  if (texts.size() <= kHeldOut ||
      !vec_in.read(reinterpret_cast<char*>(vecs.data()), static_cast<std::streamsize>(vecs.size() * sizeof(float))))
    bench::Die("data", "paragraphs.txt and embeddings.f32 missing or short in " + dir);

  // A map of 1 GiB, not the default reservation, so that the walk also runs
  // under valgrind, whose address space is smaller.
  auto engine = bench::Must(
      open_engine_over(bench::Must(Store::OpenInMemory(StoreOptions{.map_size = uint64_t{1} << 30}), "store")),
      "open");
  std::vector<int64_t> lengths;
  std::vector<std::pair<std::string, Value>> batch;
  const size_t end = limit == 0 ? texts.size() : std::min(texts.size(), kHeldOut + limit);
  for (size_t i = kHeldOut; i < end; ++i) {
    ValueMap m;
    m.Set("text", Value::Text(texts[i]));
    m.Set("emb", Value::Vector(ValueVector(vecs.begin() + i * kDim, vecs.begin() + (i + 1) * kDim)));
    m.Set("length", Value::Int(static_cast<int64_t>(texts[i].size())));
    lengths.push_back(static_cast<int64_t>(texts[i].size()));
    char key[32];
    std::snprintf(key, sizeof(key), "p%06zu", i);
    batch.emplace_back(key, Value::Map(std::move(m)));
    if (batch.size() == 5000 || i + 1 == end) {
      bench::Must(put_many(*engine, "paras", batch), "put_many");
      batch.clear();
    }
  }
  std::vector<int64_t> sorted = lengths;
  std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
  const int64_t median = sorted[sorted.size() / 2];
  const size_t rows = lengths.size();
  std::printf("%zu rows, filter length > %lld, %zu queries\n", rows, static_cast<long long>(median), queries);

  // Rounds of the queries, each timed on its own: on a machine shared with
  // other work the least and the median CPU of a round say more than one
  // long run's total.
  constexpr size_t kRounds = 5;
  auto run = [&](bool shared) {
    uint64_t digest = 0;
    std::vector<double> cpu;
    double wall = 0;
    for (size_t round = 0; round < kRounds; ++round) {
      const double c0 = ProcessCpuSeconds();
      const auto t0 = bench::Clock::now();
      for (size_t j = 0; j < queries; ++j) {
        QuerySpec spec;
        spec.engine = engine;
        spec.collection = "paras";
        spec.filters.push_back(Predicate::Compare("length", CompareOp::kGt, Value::Int(median)));
        const size_t q = j % kHeldOut;
        spec.sources.push_back(
            VectorSource{"emb", std::vector<float>(vecs.begin() + q * kDim, vecs.begin() + (q + 1) * kDim), kTop,
                         Metric::kCosine});
        spec.limit = kTop;
        spec.select = std::vector<std::string>{"length"};
        auto got = bench::Must(run_query_entry(std::move(spec), ExecuteOptions{.shared_walk = shared}), "query");
        if (round > 0) continue;
        for (const QueryRow& r : got) {
          digest = digest * 1000003 + std::hash<std::string>()(r.key);
          digest = digest * 1000003 + std::bit_cast<uint32_t>(r.score);
        }
      }
      wall += bench::Seconds(t0);
      cpu.push_back(ProcessCpuSeconds() - c0);
    }
    std::sort(cpu.begin(), cpu.end());
    const double per_row = 1e9 / static_cast<double>(queries * rows);
    std::printf("%-7s wall %.3f ms/query; CPU per row over every thread: least %.1f ns, median %.1f ns; digest %016llx\n",
                shared ? "shared" : "serial", wall * 1e3 / static_cast<double>(kRounds * queries), cpu[0] * per_row,
                cpu[kRounds / 2] * per_row, static_cast<unsigned long long>(digest));
  };
  if (mode != "shared") run(false);
  if (mode != "serial") run(true);
  return 0;
}
