// Random documents and random predicates for the query tests, and the
// brute-force oracle they are checked against: walk every document, keep
// those every filter accepts, then sort and cut.

#ifndef PALLIX_TESTS_ENGINE_QUERY_CORPUS_H_
#define PALLIX_TESTS_ENGINE_QUERY_CORPUS_H_

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "query/ordering.h"
#include "query/planner.h"
#include "query/predicate_eval.h"
#include "query/query_spec.h"
#include "tests/engine/test_util.h"
#include "write/write.h"

namespace pallix::test {

inline const char* const kWords[] = {"apple", "river", "stone", "cloud", "green", "tiger", "ocean", "lamp"};
inline const char* const kGroups[] = {"a", "b", "c", "d", "i:1", ""};

// A document with a mix of kinds in n (int, float, text, bool, null,
// NaN, missing), a group text g, a text t, a 4-d vector v, a point p and a
// nested m.x.
inline Value RandomDoc(std::mt19937_64& rng) {
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<uint64_t>(n)); };
  ValueMap m;
  switch (pick(10)) {
    case 0: case 1: case 2: case 3: m.Set("n", Value::Int(pick(40) - 5)); break;
    case 4: case 5: m.Set("n", Value::Float(pick(80) / 2.0 - 5)); break;
    case 6: m.Set("n", Value::Text(kWords[pick(8)])); break;
    case 7: m.Set("n", pick(2) ? Value::Bool(true) : Value::Null()); break;
    case 8: if (pick(4) == 0) m.Set("n", Value::Float(std::nan(""))); break;
    default: break;  // missing
  }
  if (pick(8) != 0) m.Set("g", Value::Text(kGroups[pick(6)]));
  std::string text;
  for (int i = 0, n = 1 + pick(6); i < n; ++i) text += std::string(i ? " " : "") + kWords[pick(8)];
  if (pick(6) != 0) m.Set("t", Value::Text(text));
  if (pick(6) != 0) {
    ValueVector v(4);
    for (float& x : v) x = static_cast<float>(pick(200) - 100) / 50.0f;
    m.Set("v", Value::Vector(std::move(v)));
  }
  if (pick(3) != 0) m.Set("p", Value::Array({Value::Float(pick(100) / 10.0), Value::Float(pick(100) / 10.0)}));
  if (pick(2) != 0) {
    ValueMap inner;
    inner.Set("x", Value::Int(pick(5)));
    m.Set("m", Value::Map(std::move(inner)));
  }
  return Value::Map(std::move(m));
}

inline Value RandomScalar(std::mt19937_64& rng) {
  switch (rng() % 4) {
    case 0: return Value::Float(static_cast<double>(rng() % 80) / 2.0 - 5);
    case 1: return Value::Text(kWords[rng() % 8]);
    default: return Value::Int(static_cast<int64_t>(rng() % 40) - 5);
  }
}

// A leaf over n, g, m.x or p.
inline Predicate RandomLeaf(std::mt19937_64& rng) {
  const char* path = rng() % 5 == 0 ? "m.x" : "n";
  switch (rng() % 9) {
    case 0: return Predicate::Compare("g", CompareOp::kEq, Value::Text(kGroups[rng() % 6]));
    case 1: return Predicate::In(path, {RandomScalar(rng), RandomScalar(rng), Value::Int(3)});
    case 2: {
      Value lo = RandomScalar(rng), hi = RandomScalar(rng);
      return Predicate::Between(path, lo, hi);
    }
    case 3: return Predicate::StartsWith(rng() % 2 ? "g" : "n", std::string(1, "acgirs"[rng() % 6]));
    case 4: return Predicate::WithinKm("p", static_cast<double>(rng() % 100) / 10.0,
                                       static_cast<double>(rng() % 100) / 10.0, static_cast<double>(rng() % 400));
    case 5: return Predicate::Exists(rng() % 2 ? "t" : "m.x");
    default: return Predicate::Compare(path, static_cast<CompareOp>(rng() % 6), RandomScalar(rng));
  }
}

// A leaf, or a small And / Or / Not of leaves.
inline Predicate RandomPredicate(std::mt19937_64& rng) {
  switch (rng() % 8) {
    case 0: return Predicate::Or(RandomLeaf(rng), RandomLeaf(rng));
    case 1: return Predicate::And(RandomLeaf(rng), RandomLeaf(rng));
    case 2: return Predicate::Not(RandomLeaf(rng));
    default: return RandomLeaf(rng);
  }
}

inline std::vector<Predicate> RandomFilters(std::mt19937_64& rng) {
  std::vector<Predicate> out;
  for (int i = 0, n = static_cast<int>(rng() % 3); i < n; ++i) out.push_back(RandomPredicate(rng));
  return out;
}

// Stores n random documents under keys k0000.. and returns them.
inline std::vector<CandidateRow> FillRandom(Engine& engine, const std::string& collection, std::mt19937_64& rng,
                                            int n) {
  std::vector<std::pair<std::string, Value>> pairs;
  for (int i = 0; i < n; ++i) {
    char key[16];
    snprintf(key, sizeof key, "k%04d", i);
    pairs.emplace_back(key, RandomDoc(rng));
  }
  EXPECT_TRUE(put_many(engine, collection, pairs).has_value());
  return pairs;
}

// The oracle's filter: every document the filters accept, key order.
inline std::vector<CandidateRow> OracleFilter(const std::vector<CandidateRow>& docs,
                                              const std::vector<Predicate>& filters) {
  std::vector<CandidateRow> out;
  for (const auto& row : docs) {
    if (EvalFilters(filters, row.second)) out.push_back(row);
  }
  return out;
}

inline std::vector<std::string> KeysOf(const std::vector<CandidateRow>& rows) {
  std::vector<std::string> keys;
  for (const auto& r : rows) keys.push_back(r.first);
  return keys;
}

inline std::vector<std::string> KeysOf(const std::vector<QueryRow>& rows) {
  std::vector<std::string> keys;
  for (const auto& r : rows) keys.push_back(r.key);
  return keys;
}

inline QuerySpec SpecOf(std::shared_ptr<Engine> engine, std::string collection, std::vector<Predicate> filters = {}) {
  QuerySpec spec;
  spec.engine = std::move(engine);
  spec.collection = std::move(collection);
  spec.filters = std::move(filters);
  return spec;
}

}  // namespace pallix::test

#endif  // PALLIX_TESTS_ENGINE_QUERY_CORPUS_H_
