// Per-insert cost of keeping the on-disk text and vector indexes on the
// write path, against the same insert without an index.
//
// Every document is {"text": paragraph, "embedding": [384 floats]} and is
// written in the transaction shape of the write path: begin, put the
// document row, the index upkeep (dfts_upkeep_document for the text index,
// dann_upsert for the vector graph, both, or none), commit. Each variant
// runs on a new database file (synced on commit):
//   batched  the first B documents, 1,000 per transaction
//   single   the next S documents, one transaction each (so each insert
//            lands in an index already holding B documents)
// and the same again on a private in-memory database ("mem single": the
// CPU cost without the disk sync, which dominates and varies on a busy
// disk), and, for reference, the engine's own insert() of the same S documents
// without any declared index.
//
// Usage: index_write_bench <paragraphs file> <embeddings file> <dim> [B [S]]
// Paragraphs: one per line. Embeddings: float32 rows of dim, row i for line
// i. Defaults: B = 20,000, S = 1,000. Prints a table of microseconds per
// insert and the ratio to the no-index variant.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "bench_util.h"
#include "doc/value.h"
#include "index/open.h"
#include "storage/rows.h"
#include "storage/store.h"
#include "text/disk_fts.h"
#include "vector/disk_hnsw.h"
#include "write/write.h"

namespace {

using namespace bench;

constexpr char kCollection[] = "docs";
constexpr char kTextField[] = "text";
constexpr size_t kBatch = 1000;

enum Upkeep { kNone = 0, kText = 1, kVector = 2, kBoth = 3 };

struct Input {
  std::vector<std::string> keys;
  std::vector<pallix::Value> docs;
  std::vector<std::string> encoded;
  std::vector<float> vectors;
  size_t dim = 0;
};

struct Timing {
  double batched_s = 0, single_s = 0;
};

// path empty: a private in-memory database (no disk sync).
Timing Run(const Input& in, Upkeep upkeep, size_t b, size_t s, const std::string& path) {
  using namespace pallix;
  auto engine = path.empty() ? Must(open_in_memory(), "open_in_memory") : Must(open_engine(path), "open_engine");
  const std::string text_ns = dfts_namespace(kCollection, kTextField);
  const std::string vector_ns = "__dann__docs__embedding";
  DiskHnswParams params;  // cosine, no quantization, M 16, ef_construction 128
  auto write = [&](WriteCtx& ctx, size_t i) {
    Must(put_row(ctx, kCollection, in.keys[i], in.encoded[i]), "put_row");
    if (upkeep & kText) Must(dfts_upkeep_document(ctx, text_ns, kTextField, in.keys[i], &in.docs[i]), "dfts_upkeep");
    if (upkeep & kVector) {
      Must(dann_upsert(ctx, vector_ns, params, in.keys[i],
                       std::span<const float>(in.vectors.data() + i * in.dim, in.dim)),
           "dann_upsert");
    }
  };
  Timing t;
  auto t0 = Clock::now();
  for (size_t lo = 0; lo < b; lo += kBatch) {
    WriteCtx ctx = Must(BeginWriteCtx(engine->store()), "BeginWriteCtx");
    for (size_t i = lo; i < std::min(b, lo + kBatch); ++i) write(ctx, i);
    Must(ctx.Commit(), "commit");
  }
  t.batched_s = Seconds(t0);
  t0 = Clock::now();
  for (size_t i = b; i < b + s; ++i) {
    WriteCtx ctx = Must(BeginWriteCtx(engine->store()), "BeginWriteCtx");
    write(ctx, i);
    Must(ctx.Commit(), "commit");
  }
  t.single_s = Seconds(t0);
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace pallix;
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s <paragraphs> <embeddings.f32> <dim> [B [S]]\n", argv[0]);
    return 2;
  }
  Input in;
  in.dim = std::stoul(argv[3]);
  size_t b = argc > 4 ? std::stoul(argv[4]) : 20000;
  size_t s = argc > 5 ? std::stoul(argv[5]) : 1000;
  {
    std::ifstream text(argv[1]);
    if (!text) Die("cannot read", argv[1]);
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line) && lines.size() < b + s;) lines.push_back(line);
    std::ifstream vec(argv[2], std::ios::binary);
    in.vectors.resize(lines.size() * in.dim);
    if (!vec.read(reinterpret_cast<char*>(in.vectors.data()), in.vectors.size() * sizeof(float)))
      Die("cannot read", argv[2]);
    if (lines.size() < b + s) Die("too few paragraphs", std::to_string(lines.size()));
    for (size_t i = 0; i < lines.size(); ++i) {
      char key[24];
      std::snprintf(key, sizeof(key), "p%08zu", i);
      in.keys.push_back(key);
      std::vector<Value> embedding;
      embedding.reserve(in.dim);
      for (size_t j = 0; j < in.dim; ++j) embedding.push_back(Value::Float(in.vectors[i * in.dim + j]));
      ValueMap map;
      map.Set(kTextField, Value::Text(lines[i]));
      map.Set("embedding", Value::Array(std::move(embedding)));
      in.docs.push_back(Value::Map(std::move(map)));
      in.encoded.push_back(encode_value(in.docs.back()));
    }
  }

  std::string dir = (std::filesystem::temp_directory_path() / "pallix-iwbench-XXXXXX").string();
  if (mkdtemp(dir.data()) == nullptr) Die("mkdtemp", dir);
  int fresh = 0;
  auto path = [&] { return dir + "/db" + std::to_string(fresh++); };

  std::printf("%zu documents batched (1,000 per transaction), then %zu single-insert transactions, file database "
              "synced on commit; files in %s\n",
              b, s, dir.c_str());
  const char* names[] = {"no index", "text index", "vector index", "text + vector"};
  Timing none{}, none_mem{};
  std::printf("%-16s %16s %7s %16s %7s %16s %7s\n", "upkeep", "batched us/ins", "x none", "single us/ins", "x none",
              "mem single us", "x none");
  for (Upkeep u : {kNone, kText, kVector, kBoth}) {
    Timing t = Run(in, u, b, s, path());
    Timing m = Run(in, u, b, s, "");
    if (u == kNone) none = t, none_mem = m;
    std::printf("%-16s %16.1f %7.2f %16.1f %7.2f %16.1f %7.2f\n", names[u], 1e6 * t.batched_s / b,
                t.batched_s / none.batched_s, 1e6 * t.single_s / s, t.single_s / none.single_s, 1e6 * m.single_s / s,
                m.single_s / none_mem.single_s);
    std::fflush(stdout);
  }
  {
    // On a new, empty database: the write path's own single insert.
    auto engine = Must(open_engine(path()), "open_engine");
    auto t0 = Clock::now();
    for (size_t i = b; i < b + s; ++i) Must(insert(*engine, kCollection, in.keys[i], in.docs[i]), "insert");
    double secs = Seconds(t0);
    std::printf("%-16s %16s %7s %16.1f %7.2f\n", "insert() ref", "-", "-", 1e6 * secs / s, secs / none.single_s);
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return 0;
}
