// Helpers shared by the engine tests: a temporary directory removed at the
// end of the test, whole-file reads for byte-for-byte comparisons, a dump
// of every stored row for before/after comparisons of failed writes, and
// gigabytes of zero bytes that cost no memory.

#ifndef PALLIX_TESTS_ENGINE_TEST_UTIL_H_
#define PALLIX_TESTS_ENGINE_TEST_UTIL_H_

#include <stdlib.h>
#include <sys/mman.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "db/engine.h"
#include "doc/value.h"
#include "index/open.h"
#include "storage/store.h"

namespace pallix {

// Readable failure output for row comparisons.
inline void PrintTo(const Row& row, std::ostream* os) {
  auto quote = [os](const std::string& s) {
    *os << '"';
    for (unsigned char c : s) {
      if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
        *os << c;
      } else {
        static const char* hex = "0123456789abcdef";
        *os << "\\x" << hex[c >> 4] << hex[c & 15];
      }
    }
    *os << '"';
  };
  quote(row.key);
  *os << " => ";
  quote(row.value);
}

}  // namespace pallix

namespace pallix::test {

// A fresh in-memory database.
inline std::shared_ptr<Engine> MemEngine() {
  auto e = open_in_memory();
  EXPECT_TRUE(e.has_value());
  return *e;
}

// A map document from (key, value) pairs.
inline Value Doc(std::initializer_list<std::pair<const char*, Value>> entries) {
  ValueMap m;
  for (const auto& [k, v] : entries) m.Set(k, v);
  return Value::Map(std::move(m));
}

// n zero bytes that cost no memory: a private read-only anonymous mapping,
// address space only, whose pages stay unbacked until read. Lets the size
// limits of keys and rows (4 GiB) be tested by code that checks sizes
// before it reads a byte.
class ZeroBytes {
 public:
  explicit ZeroBytes(size_t n) : n_(n) {
    void* p = mmap(nullptr, n, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    EXPECT_NE(p, MAP_FAILED);
    p_ = p == MAP_FAILED ? nullptr : static_cast<const char*>(p);
  }
  ~ZeroBytes() {
    if (p_ != nullptr) munmap(const_cast<char*>(p_), n_);
  }
  ZeroBytes(const ZeroBytes&) = delete;
  ZeroBytes& operator=(const ZeroBytes&) = delete;

  std::string_view view() const { return p_ != nullptr ? std::string_view(p_, n_) : std::string_view(); }

 private:
  size_t n_;
  const char* p_ = nullptr;
};

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "pallix-test-XXXXXX").string();
    path_ = mkdtemp(tmpl.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Every row of the three tables (records, catalog, meta) in stored order:
// the whole logical state of a database, rows and counts alike.
// Injected faults are suspended while it reads.
inline std::vector<std::pair<int, Row>> StoreRows(Store& store) {
  std::vector<std::pair<int, Row>> out;
  StoreFaults* faults = store.faults();
  store.set_faults(nullptr);
  auto txn = store.BeginRead();
  store.set_faults(faults);
  if (!txn) return out;
  for (int t = 0; t < 3; ++t) {
    auto status = txn->Scan(static_cast<StoreTable>(t), {}, nullptr,
                            [&](std::string_view k, std::string_view v) -> Result<bool> {
                              out.push_back({t, Row{std::string(k), std::string(v)}});
                              return true;
                            });
    if (!status) out.push_back({-1, Row{"scan failed", status.error().Message()}});
  }
  return out;
}

// A small deterministic generator (a 64-bit LCG), so that test data is
// the same on every machine.
class LcgRng {
 public:
  explicit LcgRng(uint64_t seed) : s_(seed) {}
  uint64_t Next() {
    s_ = s_ * 6364136223846793005ull + 1442695040888963407ull;
    return s_ >> 11;
  }
  float Uniform() { return static_cast<float>(Next() % 2000001) / 1000000.0f - 1.0f; }  // [-1, 1]
  std::vector<float> Vector(size_t dim) {
    std::vector<float> v(dim);
    for (float& x : v) x = Uniform();
    return v;
  }

 private:
  uint64_t s_;
};

}  // namespace pallix::test

#endif  // PALLIX_TESTS_ENGINE_TEST_UTIL_H_
