// Builds one of the engine's text paths over real paragraphs and times BM25
// top-k phrase searches. Driven by bench/text_bench.py, which writes the
// input files and runs the peers.
//
// Usage: text_real_bench <paragraphs file> <queries file> <results file> <memory|disk|scan> [k [passes]]
//   memory  the in-memory index (fts_add_document, SearchPhraseInIndex)
//   disk    the on-disk index in a database file under $TMPDIR: documents
//           {"text": paragraph} written with their index rows
//           (dfts_upkeep_document) in transactions of 1,000, then
//           SearchPhraseOnDisk with the page cache warm (one untimed pass)
//   scan    the same documents without an index, SearchPhraseByScan (a
//           walk over every document per query)
// With passes > 1 the queries are searched that many times and the fastest
// pass is reported.
//
// Input files: UTF-8, one paragraph (or one phrase) per line; the document
// key of line i is i as 8 big-endian bytes.
// Results file: one line per query, the row numbers found, best first,
// separated by spaces.
//
// Prints one line of JSON: build seconds, search seconds, queries per
// second, the number of queries, and the database file's size for disk.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench_util.h"
#include "doc/value.h"
#include "index/open.h"
#include "storage/read_view.h"
#include "storage/rows.h"
#include "storage/store.h"
#include "text/disk_fts.h"
#include "text/fts.h"
#include "text/phrase.h"
#include "write/write.h"

namespace {

using namespace bench;

std::vector<std::string> ReadLines(const char* path) {
  std::ifstream in(path);
  if (!in) Die("cannot read", path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

constexpr char kCollection[] = "docs";
constexpr char kField[] = "text";
constexpr size_t kBatch = 1000;

}  // namespace

int main(int argc, char** argv) {
  using namespace pallix;
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s <paragraphs> <queries> <results> <memory|disk|scan> [k [passes]]\n", argv[0]);
    return 2;
  }
  std::vector<std::string> texts = ReadLines(argv[1]);
  std::vector<std::string> phrases = ReadLines(argv[2]);
  std::string mode = argv[4];
  uint64_t k = argc > 5 ? std::stoull(argv[5]) : 10;
  int passes = argc > 6 ? std::max(1, std::stoi(argv[6])) : 1;
  std::vector<std::vector<uint64_t>> results(phrases.size());
  double build = 0, search = 0;
  uint64_t bytes = 0;

  auto timed_passes = [&](auto&& one_query) {
    for (int pass = 0; pass < passes; ++pass) {
      auto t = Clock::now();
      for (size_t i = 0; i < phrases.size(); ++i) {
        auto hits = one_query(phrases[i]);
        results[i].clear();
        for (const auto& hit : hits) results[i].push_back(RowOf(hit.key));
      }
      double took = Seconds(t);
      if (pass == 0 || took < search) search = took;
    }
  };

  if (mode == "memory") {
    auto t0 = Clock::now();
    TextIndex index;
    for (size_t i = 0; i < texts.size(); ++i) fts_add_document(index, KeyOf(i), texts[i]);
    build = Seconds(t0);
    timed_passes([&](const std::string& phrase) { return SearchPhraseInIndex(index, phrase, k); });
  } else if (mode == "disk" || mode == "scan") {
    std::string dir = (std::filesystem::temp_directory_path() / "pallix-tbench-XXXXXX").string();
    if (mkdtemp(dir.data()) == nullptr) Die("mkdtemp", dir);
    auto engine = Must(open_engine(dir + "/db"), "open_engine");
    const std::string ns = dfts_namespace(kCollection, kField);
    auto t0 = Clock::now();
    for (size_t lo = 0; lo < texts.size(); lo += kBatch) {
      WriteCtx ctx = Must(BeginWriteCtx(engine->store()), "BeginWriteCtx");
      for (size_t i = lo; i < std::min(texts.size(), lo + kBatch); ++i) {
        ValueMap map;
        map.Set(kField, Value::Text(texts[i]));
        Value doc = Value::Map(std::move(map));
        std::string key = KeyOf(i);
        Must(put_row(ctx, kCollection, key, encode_value(doc)), "put_row");
        if (mode == "disk") Must(dfts_upkeep_document(ctx, ns, kField, key, &doc), "dfts_upkeep_document");
      }
      Must(ctx.Commit(), "commit");
    }
    build = Seconds(t0);
    auto txn = Must(engine->store().BeginRead(), "BeginRead");
    ReadView view(txn);
    if (mode == "disk") {
      auto one = [&](const std::string& phrase) {
        return Must(SearchPhraseOnDisk(view, ns, phrase, k), "SearchPhraseOnDisk");
      };
      for (const std::string& phrase : phrases) one(phrase);  // warm the cache
      timed_passes(one);
    } else {
      timed_passes([&](const std::string& phrase) {
        return Must(SearchPhraseByScan(view, kCollection, kField, phrase, k), "SearchPhraseByScan");
      });
    }
    bytes = std::filesystem::file_size(dir + "/db");
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  } else {
    Die("unknown mode", mode);
  }

  std::ofstream out(argv[3]);
  for (const auto& row : results) {
    for (size_t j = 0; j < row.size(); ++j) out << (j ? " " : "") << row[j];
    out << "\n";
  }
  std::printf("{\"build_s\": %.4f, \"search_s\": %.5f, \"qps\": %.1f, \"queries\": %zu, \"bytes\": %llu}\n", build,
              search, phrases.size() / search, phrases.size(), static_cast<unsigned long long>(bytes));
  return 0;
}
