// Scalar index throughput of the engine against SQLite with an index on a
// json_extract expression, both in memory, over the same N documents
// ({"v": a permutation of 0..N-1, "name": text}).
//
// It times, in one run:
//   build     create_scalar_index over the N stored documents, against
//             CREATE INDEX ON t(json_extract(doc, '$.v'))   (rows/s)
//   range     between-lookups selecting 1% and 0.01% of the documents,
//             each fetching every matching document's stored bytes, against
//             SELECT key, doc ... WHERE json_extract(doc,'$.v') BETWEEN ? AND ?
// and checks that both sides return the same number of rows. Each line is
// "<name> <ours> <theirs> <ours/theirs>" in operations per second.
//
// Usage: index_bench [N]   (bench/index_bench.py runs it.)

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "index/open.h"
#include "index/scalar_index.h"
#include "index/scalar_lookup.h"
#include "storage/read_view.h"
#include "write/write.h"

namespace pallix {
namespace {

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "index_bench: %s\n", what.c_str());
  std::exit(1);
}

template <typename T>
T Must(Result<T> r, const char* what) {
  if (!r) Die(std::string(what) + ": " + r.error().Message());
  return std::move(*r);
}
void Must(Status s, const char* what) {
  if (!s) Die(std::string(what) + ": " + s.error().Message());
}

void Sql(sqlite3* db, const char* sql) {
  char* err = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) Die(std::string(sql) + ": " + err);
}

std::string Key(int i) {
  char buf[16];
  std::snprintf(buf, sizeof(buf), "k%07d", i);
  return buf;
}

struct Setup {
  std::shared_ptr<Engine> engine;
  sqlite3* sql = nullptr;
  int n = 0;
};

void Load(Setup& s, const std::vector<int>& values) {
  s.engine = Must(open_in_memory(), "open");
  Sql(s.sql, "CREATE TABLE t(key TEXT PRIMARY KEY, doc TEXT) WITHOUT ROWID");
  Sql(s.sql, "BEGIN");
  sqlite3_stmt* ins;
  sqlite3_prepare_v2(s.sql, "INSERT INTO t VALUES(?1, ?2)", -1, &ins, nullptr);
  std::vector<std::pair<std::string, Value>> batch;
  for (int i = 0; i < s.n; ++i) {
    std::string name = "name number " + std::to_string(i);
    ValueMap m;
    m.Set("v", Value::Int(values[i]));
    m.Set("name", Value::Text(name));
    batch.emplace_back(Key(i), Value::Map(std::move(m)));
    std::string json = "{\"v\":" + std::to_string(values[i]) + ",\"name\":\"" + name + "\"}";
    sqlite3_bind_text(ins, 1, batch.back().first.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(ins, 2, json.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(ins) != SQLITE_DONE) Die("sqlite insert");
    sqlite3_reset(ins);
    if (batch.size() == 10000 || i + 1 == s.n) {
      Must(put_many(*s.engine, "c", batch), "put_many");
      batch.clear();
    }
  }
  sqlite3_finalize(ins);
  Sql(s.sql, "COMMIT");
}

void Report(const char* name, double ours, double theirs) {
  std::printf("%s %.1f %.1f %.2f\n", name, ours, theirs, ours / theirs);
  std::fflush(stdout);
}

// Runs `queries` between-lookups of `width` values on both sides.
void RangeLookups(Setup& s, const char* name, int width, int queries) {
  std::mt19937_64 rng(42);
  std::vector<int> lows(queries);
  for (int& lo : lows) lo = static_cast<int>(rng() % static_cast<uint64_t>(s.n - width));
  uint64_t ours_rows = 0, theirs_rows = 0, bytes = 0;
  double t0 = Now();
  for (int lo : lows) {
    ReadTxn txn = Must(s.engine->store().BeginRead(), "read");
    ReadView view(txn);
    Value low = Value::Int(lo), high = Value::Int(lo + width - 1);
    KeyList keys = Must(scalar_between_lookup(*s.engine, view, "c", "v", low, high), "lookup");
    if (!keys) Die("lookup cannot answer");
    for (const std::string& k : *keys)
      Must(view.view_get_with("c", k, [&](std::string_view doc) { bytes += doc.size(); }), "get");
    ours_rows += keys->size();
  }
  double ours = Now() - t0;
  sqlite3_stmt* q;
  sqlite3_prepare_v2(s.sql, "SELECT key, doc FROM t WHERE json_extract(doc, '$.v') BETWEEN ?1 AND ?2", -1, &q,
                     nullptr);
  t0 = Now();
  for (int lo : lows) {
    sqlite3_bind_int(q, 1, lo);
    sqlite3_bind_int(q, 2, lo + width - 1);
    while (sqlite3_step(q) == SQLITE_ROW) {
      bytes += static_cast<size_t>(sqlite3_column_bytes(q, 0)) + static_cast<size_t>(sqlite3_column_bytes(q, 1));
      ++theirs_rows;
    }
    sqlite3_reset(q);
  }
  double theirs = Now() - t0;
  sqlite3_finalize(q);
  if (ours_rows != theirs_rows) Die("row counts differ");
  Report(name, queries / ours, queries / theirs);
}

void Run(int n) {
  Setup s;
  s.n = n;
  std::vector<int> values(n);
  std::iota(values.begin(), values.end(), 0);
  std::shuffle(values.begin(), values.end(), std::mt19937_64(1));
  if (sqlite3_open(":memory:", &s.sql) != SQLITE_OK) Die("sqlite open");
  Load(s, values);
  double t0 = Now();
  Must(create_scalar_index(*s.engine, "c", "v"), "create_scalar_index");
  double ours = Now() - t0;
  t0 = Now();
  Sql(s.sql, "CREATE INDEX tv ON t(json_extract(doc, '$.v'))");
  double theirs = Now() - t0;
  Report("scalar_build_rows_per_s", n / ours, n / theirs);
  RangeLookups(s, "scalar_range_1pct_queries_per_s", n / 100, 200);
  RangeLookups(s, "scalar_range_0.01pct_queries_per_s", n / 10000, 5000);
  sqlite3_close(s.sql);
}

}  // namespace
}  // namespace pallix

int main(int argc, char** argv) {
  int n = argc > 1 ? std::atoi(argv[1]) : 1000000;
  if (n < 10000) n = 10000;
  pallix::Run(n);
  return 0;
}
