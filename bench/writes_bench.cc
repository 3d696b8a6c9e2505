// Write-path and read-path throughput of the engine against raw LMDB.
//
// For N documents of about 200 encoded bytes (nested maps) it times, in
// one run:
//   put_many      all documents in one transaction
//   insert        one transaction per document (file and in-memory)
//   get_document  point reads in random order, each its own snapshot
//   walk          scan_each_walk over the whole collection
// and the same work done with raw LMDB on the same encoded bytes under the
// same records keys (8-byte collection id + document key): puts in one
// transaction, a put per transaction, gets each in a renewed read
// transaction, and a cursor walk. It prints each figure and the ratio
// engine / raw (how many times faster raw LMDB is).
//
// Usage: writes_bench [N] [N for the file single-insert runs, default N]
// A timing program, not a test: nothing is checked beyond the counts.

#include <lmdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "index/open.h"
#include "storage/read_view.h"
#include "storage/rows.h"
#include "storage/store.h"
#include "write/write.h"

namespace pallix {
namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

void Die(const char* what, const std::string& detail) {
  std::fprintf(stderr, "%s: %s\n", what, detail.c_str());
  std::exit(1);
}

template <typename T>
T Must(Result<T> r, const char* what) {
  if (!r) Die(what, r.error().Message());
  return std::move(*r);
}

void Must(Status s, const char* what) {
  if (!s) Die(what, s.error().Message());
}

void MustLmdb(int rc, const char* what) {
  if (rc != 0) Die(what, mdb_strerror(rc));
}

Value Text(std::mt19937_64& rng, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>('a' + rng() % 26));
  return Value::Text(s);
}

// A user-profile-like document: three levels of maps, ~200 bytes encoded.
Value MakeDoc(std::mt19937_64& rng, uint64_t i) {
  ValueMap address;
  address.Set("city", Text(rng, 10));
  address.Set("zip", Value::Int(static_cast<int64_t>(rng() % 100000)));
  ValueMap profile;
  profile.Set("age", Value::Int(static_cast<int64_t>(18 + rng() % 60)));
  profile.Set("address", Value::Map(std::move(address)));
  profile.Set("tags", Value::Array({Text(rng, 4), Text(rng, 4)}));
  ValueMap scores;
  scores.Set("a", Value::Float(static_cast<double>(rng() % 1000) / 7.0));
  scores.Set("b", Value::Float(static_cast<double>(rng() % 1000) / 3.0));
  ValueMap doc;
  doc.Set("id", Value::Int(static_cast<int64_t>(i)));
  doc.Set("name", Text(rng, 12));
  doc.Set("active", Value::Bool(rng() % 2 == 0));
  doc.Set("profile", Value::Map(std::move(profile)));
  doc.Set("scores", Value::Map(std::move(scores)));
  doc.Set("note", Text(rng, 8));
  return Value::Map(std::move(doc));
}

struct Dataset {
  std::vector<std::pair<std::string, Value>> docs;  // insertion order (shuffled keys)
  std::vector<std::string> encoded;                 // encode_value of each doc
  std::vector<size_t> get_order;                    // random permutation for reads
};

// Documents are built in insertion order (keys shuffled), so that, as
// with values just converted by a caller, each one's parts lie together
// in memory in the order the writer reads them.
Dataset MakeDataset(size_t n) {
  std::mt19937_64 rng(7);
  std::vector<size_t> ids(n);
  for (size_t i = 0; i < n; ++i) ids[i] = i;
  std::shuffle(ids.begin(), ids.end(), rng);
  Dataset d;
  d.docs.reserve(n);
  for (size_t id : ids) {
    char key[32];
    std::snprintf(key, sizeof(key), "user:%08zu", id);
    d.docs.emplace_back(key, MakeDoc(rng, id));
  }
  for (const auto& [k, v] : d.docs) d.encoded.push_back(encode_value(v));
  d.get_order.resize(n);
  for (size_t i = 0; i < n; ++i) d.get_order[i] = i;
  std::shuffle(d.get_order.begin(), d.get_order.end(), rng);
  return d;
}

// ---------------------------------------------------------------- raw LMDB

class RawLmdb {
 public:
  RawLmdb(const std::string& path, bool no_sync) {
    MustLmdb(mdb_env_create(&env_), "mdb_env_create");
    MustLmdb(mdb_env_set_mapsize(env_, uint64_t{16} << 30), "mdb_env_set_mapsize");
    MustLmdb(mdb_env_set_maxdbs(env_, 4), "mdb_env_set_maxdbs");
    unsigned flags = MDB_NOSUBDIR | MDB_NOTLS | (no_sync ? MDB_NOSYNC | MDB_NOMETASYNC : 0);
    MustLmdb(mdb_env_open(env_, path.c_str(), flags, 0644), "mdb_env_open");
    MDB_txn* txn;
    MustLmdb(mdb_txn_begin(env_, nullptr, 0, &txn), "begin");
    MustLmdb(mdb_dbi_open(txn, "records", MDB_CREATE, &dbi_), "dbi");
    MustLmdb(mdb_txn_commit(txn), "commit");
  }
  ~RawLmdb() { mdb_env_close(env_); }

  void PutAll(const Dataset& d, bool one_txn) {
    MDB_txn* txn = nullptr;
    for (size_t i = 0; i < d.docs.size(); ++i) {
      if (txn == nullptr) MustLmdb(mdb_txn_begin(env_, nullptr, 0, &txn), "begin");
      std::string key = RecordKey(0, d.docs[i].first);
      MDB_val k{key.size(), key.data()}, v{d.encoded[i].size(), const_cast<char*>(d.encoded[i].data())};
      MustLmdb(mdb_put(txn, dbi_, &k, &v, 0), "put");
      if (!one_txn) {
        MustLmdb(mdb_txn_commit(txn), "commit");
        txn = nullptr;
      }
    }
    if (txn != nullptr) MustLmdb(mdb_txn_commit(txn), "commit");
  }

  // Each get in its own (renewed) read transaction, copying the value out,
  // as a point read of the engine does.
  size_t GetAll(const Dataset& d) {
    size_t bytes = 0;
    MDB_txn* txn;
    MustLmdb(mdb_txn_begin(env_, nullptr, MDB_RDONLY, &txn), "begin");
    mdb_txn_reset(txn);
    for (size_t i : d.get_order) {
      MustLmdb(mdb_txn_renew(txn), "renew");
      std::string key = RecordKey(0, d.docs[i].first);
      MDB_val k{key.size(), key.data()}, v;
      MustLmdb(mdb_get(txn, dbi_, &k, &v), "get");
      std::string copy(static_cast<const char*>(v.mv_data), v.mv_size);
      bytes += copy.size();
      mdb_txn_reset(txn);
    }
    mdb_txn_abort(txn);
    return bytes;
  }

  // Visits every row; with decode, decodes each value as the engine's walk
  // must.
  size_t Walk(bool decode) {
    MDB_txn* txn;
    MustLmdb(mdb_txn_begin(env_, nullptr, MDB_RDONLY, &txn), "begin");
    MDB_cursor* cur;
    MustLmdb(mdb_cursor_open(txn, dbi_, &cur), "cursor");
    MDB_val k, v;
    size_t rows = 0;
    for (int rc = mdb_cursor_get(cur, &k, &v, MDB_FIRST); rc == 0; rc = mdb_cursor_get(cur, &k, &v, MDB_NEXT)) {
      if (decode) Must(decode_value({static_cast<const char*>(v.mv_data), v.mv_size}), "decode");
      ++rows;
    }
    mdb_cursor_close(cur);
    mdb_txn_abort(txn);
    return rows;
  }

 private:
  MDB_env* env_ = nullptr;
  MDB_dbi dbi_ = 0;
};

// ---------------------------------------------------------------- report

void Line(const char* what, size_t n, double secs) {
  std::printf("  %-44s %10.0f /s  (%zu in %.3f s)\n", what, n / secs, n, secs);
}

void Ratio(const char* what, double engine_secs, size_t engine_n, double raw_secs, size_t raw_n) {
  double engine_rate = engine_n / engine_secs, raw_rate = raw_n / raw_secs;
  std::printf("  %-44s %10.2fx\n", what, raw_rate / engine_rate);
}

}  // namespace
}  // namespace pallix

int main(int argc, char** argv) {
  using namespace pallix;
  size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
  size_t n_file_single = std::min<size_t>(n, argc > 2 ? std::strtoull(argv[2], nullptr, 10) : n);
  constexpr int kReps = 5;  // every figure but the file single inserts is the best of five runs

  std::string dir = (std::filesystem::temp_directory_path() / "pallix-bench-XXXXXX").string();
  if (mkdtemp(dir.data()) == nullptr) Die("mkdtemp", "failed");
  std::string shm = std::filesystem::exists("/dev/shm") ? "/dev/shm" : dir;
  std::string shm_prefix = shm + "/pallix-bench-raw-" + std::to_string(getpid()) + "-";
  int fresh = 0;
  auto file_path = [&] { return dir + "/db" + std::to_string(fresh++); };
  auto shm_path = [&] { return shm_prefix + std::to_string(fresh++); };
  auto remove_shm = [&](const std::string& path) {
    unlink(path.c_str());
    unlink((path + "-lock").c_str());
  };

  Dataset data = MakeDataset(n);
  Dataset head;  // the documents of the file single-insert runs
  head.docs.assign(data.docs.begin(), data.docs.begin() + n_file_single);
  head.encoded.assign(data.encoded.begin(), data.encoded.begin() + n_file_single);
  size_t total_bytes = 0;
  for (const std::string& e : data.encoded) total_bytes += e.size();
  std::printf("%zu documents, %.0f encoded bytes on average; best of %d runs; files in %s\n", n,
              static_cast<double>(total_bytes) / n, kReps, dir.c_str());

  auto best = [&](auto&& run) {
    double secs = 1e100;
    for (int r = 0; r < kReps; ++r) secs = std::min(secs, run());
    return secs;
  };

  // put_many: one transaction for everything, each run on a new database.
  double put_many_file = best([&] {
    auto e = Must(open_engine(file_path()), "open_engine");
    auto t = Clock::now();
    Must(put_many(*e, "bench", data.docs), "put_many");
    return Seconds(t);
  });
  double put_many_mem = best([&] {
    auto e = Must(open_in_memory(), "open_in_memory");
    auto t = Clock::now();
    Must(put_many(*e, "bench", data.docs), "put_many");
    return Seconds(t);
  });
  double raw_put_file = best([&] {
    RawLmdb raw(file_path(), false);
    auto t = Clock::now();
    raw.PutAll(data, true);
    return Seconds(t);
  });
  double raw_put_mem = best([&] {
    std::string path = shm_path();
    RawLmdb raw(path, true);
    auto t = Clock::now();
    raw.PutAll(data, true);
    double secs = Seconds(t);
    remove_shm(path);
    return secs;
  });

  // One transaction per document.
  double single_mem = best([&] {
    auto e = Must(open_in_memory(), "open_in_memory");
    auto t = Clock::now();
    for (const auto& [k, v] : data.docs) Must(insert(*e, "bench", k, v), "insert");
    return Seconds(t);
  });
  double raw_single_mem = best([&] {
    std::string path = shm_path();
    RawLmdb raw(path, true);
    auto t = Clock::now();
    raw.PutAll(data, false);
    double secs = Seconds(t);
    remove_shm(path);
    return secs;
  });
  // A commit to a file waits for the disk, so these run once each.
  double single_file, raw_single_file;
  {
    auto e = Must(open_engine(file_path()), "open_engine");
    auto t = Clock::now();
    for (const auto& [k, v] : head.docs) Must(insert(*e, "bench", k, v), "insert");
    single_file = Seconds(t);
    RawLmdb raw(file_path(), false);
    t = Clock::now();
    raw.PutAll(head, false);
    raw_single_file = Seconds(t);
  }

  // Point reads in random order and the walk, over one loaded database of
  // each kind.
  auto mem = Must(open_in_memory(), "open_in_memory");
  Must(put_many(*mem, "bench", data.docs), "put_many");
  auto file = Must(open_engine(file_path()), "open_engine");
  Must(put_many(*file, "bench", data.docs), "put_many");
  std::string raw_mem_path = shm_path();
  RawLmdb raw_mem(raw_mem_path, true);
  raw_mem.PutAll(data, true);
  RawLmdb raw_file(file_path(), false);
  raw_file.PutAll(data, true);

  auto engine_gets = [&](Engine& e) {
    return best([&] {
      auto t = Clock::now();
      size_t found = 0;
      for (size_t i : data.get_order)
        found += Must(get_document(e.store(), "bench", data.docs[i].first), "get").has_value();
      if (found != n) Die("get_document", "missing documents");
      return Seconds(t);
    });
  };
  double get_mem = engine_gets(*mem), get_file = engine_gets(*file);
  double raw_get_mem = best([&] {
    auto t = Clock::now();
    raw_mem.GetAll(data);
    return Seconds(t);
  });
  double raw_get_file = best([&] {
    auto t = Clock::now();
    raw_file.GetAll(data);
    return Seconds(t);
  });

  double walk_mem = best([&] {
    uint64_t visited = 0;
    auto t = Clock::now();
    Must(scan_each_walk(*mem, "bench", visited,
                        [](std::string_view, const Value&) -> Result<bool> { return true; }),
         "walk");
    if (visited != n) Die("walk", "wrong count");
    return Seconds(t);
  });
  size_t raw_rows = 0;
  double raw_walk = best([&] {
    auto t = Clock::now();
    raw_rows = raw_mem.Walk(false);
    return Seconds(t);
  });
  double raw_walk_decode = best([&] {
    auto t = Clock::now();
    raw_mem.Walk(true);
    return Seconds(t);
  });

  std::printf("\nengine\n");
  Line("put_many, one transaction (file)", n, put_many_file);
  Line("put_many, one transaction (in-memory)", n, put_many_mem);
  Line("insert, one transaction each (file)", head.docs.size(), single_file);
  Line("insert, one transaction each (in-memory)", n, single_mem);
  Line("get_document, random order (file)", n, get_file);
  Line("get_document, random order (in-memory)", n, get_mem);
  Line("scan_each_walk, rows (in-memory)", n, walk_mem);
  std::printf("raw LMDB, same keys and bytes\n");
  Line("puts, one transaction (file)", n, raw_put_file);
  Line("puts, one transaction (no sync)", n, raw_put_mem);
  Line("put, one transaction each (file)", head.docs.size(), raw_single_file);
  Line("put, one transaction each (no sync)", n, raw_single_mem);
  Line("get, own read transaction each (file)", n, raw_get_file);
  Line("get, own read transaction each (no sync)", n, raw_get_mem);
  Line("cursor walk, rows", raw_rows, raw_walk);
  Line("cursor walk + decode_value, rows", raw_rows, raw_walk_decode);
  std::printf("raw LMDB speed / engine speed (how many times faster raw is)\n");
  Ratio("put_many vs puts in one transaction (file)", put_many_file, n, raw_put_file, n);
  Ratio("put_many vs puts in one transaction (memory)", put_many_mem, n, raw_put_mem, n);
  Ratio("insert vs put per transaction (file)", single_file, head.docs.size(), raw_single_file,
        head.docs.size());
  Ratio("insert vs put per transaction (memory)", single_mem, n, raw_single_mem, n);
  Ratio("get_document vs get (file)", get_file, n, raw_get_file, n);
  Ratio("get_document vs get (memory)", get_mem, n, raw_get_mem, n);
  Ratio("walk vs cursor walk", walk_mem, n, raw_walk, raw_rows);
  Ratio("walk vs cursor walk + decode_value", walk_mem, n, raw_walk_decode, raw_rows);

  mem.reset();
  file.reset();
  remove_shm(raw_mem_path);
  std::filesystem::remove_all(dir);
  return 0;
}
