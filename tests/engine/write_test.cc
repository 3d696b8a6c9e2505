#include "write/write.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <tuple>

#include "db/edges.h"
#include "db/engine.h"
#include "db/schema.h"
#include "db/ttl.h"
#include "storage/read_view.h"
#include "storage/rows.h"
#include "tests/engine/test_util.h"

namespace pallix {
namespace {

using test::Doc;
using test::MemEngine;

std::optional<Value> Stored(Engine& e, std::string_view c, std::string_view key) {
  auto r = get_document(e.store(), c, key);
  EXPECT_TRUE(r.has_value());
  return r.value_or(std::nullopt);
}

bool Same(const std::optional<Value>& a, const Value& b) { return a && values_same(*a, b); }

// An entry's outcome as text, so that engine and model compare directly:
// the error's display form, or the result.
struct Outcome {
  std::string error;
  std::string value;
  bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
  return os << (o.error.empty() ? "ok " + o.value : "error " + o.error);
}

Outcome Of(const Status& s) { return s ? Outcome{} : Outcome{s.error().Message(), ""}; }
Outcome Of(const Result<bool>& r) { return r ? Outcome{"", *r ? "true" : "false"} : Outcome{r.error().Message(), ""}; }
Outcome Of(const Result<std::string>& r) { return r ? Outcome{"", *r} : Outcome{r.error().Message(), ""}; }
Outcome Of(const Result<uint64_t>& r) {
  return r ? Outcome{"", std::to_string(*r)} : Outcome{r.error().Message(), ""};
}
Outcome Err(std::string message) { return Outcome{std::move(message), ""}; }
Outcome Val(std::string value) { return Outcome{"", std::move(value)}; }

bool Injected(const Outcome& o) { return o.error.ends_with(": injected fault"); }

// Runs op once under each injected fault (begin, commit, read begin, then
// the n-th write for n = 0, 1, ...) until it runs free of them, checking
// after every injected failure that storage is byte-identical to before.
// Returns the outcome of the run that met no fault. The read fault goes
// with a commit fault, so that an entry which reads nothing still fails
// there instead of taking effect early. Multi-transaction entries (the
// purge) commit their first transactions before a later one can fail, so
// they are only given the faults that stop the first.
Outcome RunWithFaults(Engine& e, const std::function<Outcome()>& op, bool multi_txn = false) {
  StoreFaults faults;
  e.store().set_faults(&faults);
  const auto before = test::StoreRows(e.store());
  Outcome out;
  for (int at = -3;; ++at) {
    faults = StoreFaults{};
    if (at == -3) faults.fail_begin_write = true;
    if (at == -2) faults.fail_commit = true;
    if (at == -1) faults.fail_begin_read = faults.fail_commit = true;
    if (at >= 0 && !multi_txn) faults.fail_write_at = at;
    out = op();
    if (!Injected(out)) break;
    EXPECT_EQ(test::StoreRows(e.store()), before) << "fault " << at;
    if (::testing::Test::HasFailure()) break;
  }
  e.store().set_faults(nullptr);
  return out;
}

// ---------------------------------------------------------------- model

using Edge = std::tuple<std::string, std::string, std::string>;  // from, relation, to

class Model {
 public:
  explicit Model(std::vector<SchemaField> schema) : schema_(std::move(schema)) {}

  std::map<std::string, Value> docs;
  std::map<std::string, int64_t> ttl;
  std::set<Edge> edges;
  uint64_t counter = 0;

  Outcome Insert(const std::string& k, const Value& d, std::optional<int64_t> expiry) {
    if (auto err = Validate(d); !err.empty()) return Err(err);
    if (auto err = Unique(docs, k, d); !err.empty()) return Err(err);
    docs.insert_or_assign(k, d);
    if (expiry) {
      ttl[k] = *expiry;
    } else {
      ttl.erase(k);
    }
    return Val("true");
  }

  Outcome Delete(const std::string& k) {
    DropEdges(k);
    if (!docs.erase(k)) return Val("false");
    ttl.erase(k);
    return Val("true");
  }

  Outcome CompareAndSet(const std::string& k, const std::optional<Value>& expected,
                        const std::optional<Value>& replacement) {
    if (replacement) {
      if (auto err = Validate(*replacement); !err.empty()) return Err(err);
    }
    auto it = docs.find(k);
    bool applies = it == docs.end() ? !expected : expected && values_same(it->second, *expected);
    if (!applies) return Val("false");
    if (!replacement) return Delete(k);
    if (auto err = Unique(docs, k, *replacement); !err.empty()) return Err(err);
    docs.insert_or_assign(k, *replacement);
    ttl.erase(k);
    return Val("true");
  }

  Outcome Patch(const std::string& k, const Value& p) {
    auto it = docs.find(k);
    Value next = p;
    if (it != docs.end() && it->second.is_map() && p.is_map()) {
      next = it->second;
      for (const MapEntry& e : p.as_map()) next.mutable_map().Set(e.key, e.value);
    }
    Outcome o = Insert(k, next, std::nullopt);
    return o.error.empty() ? Val("") : o;
  }

  Outcome PutMany(const std::vector<std::pair<std::string, Value>>& pairs) {
    for (const auto& [k, d] : pairs) {
      if (auto err = Validate(d); !err.empty()) return Err(err);
    }
    std::map<std::string, Value> next = docs;
    for (const auto& [k, d] : pairs) {
      if (auto err = Unique(next, k, d); !err.empty()) return Err(err);
      next.insert_or_assign(k, d);
    }
    docs = std::move(next);
    for (const auto& [k, d] : pairs) ttl.erase(k);
    return Val("");
  }

  Outcome InsertAuto(const Value& d) {
    if (auto err = Validate(d); !err.empty()) return Err(err);
    uint64_t n = counter + 1;
    while (docs.count(auto_key(n))) ++n;
    std::string key = auto_key(n);
    if (auto err = Unique(docs, key, d); !err.empty()) return Err(err);
    docs.insert_or_assign(key, d);
    ttl.erase(key);
    counter = n;
    return Val(key);
  }

  Outcome Purge(int64_t now) {
    std::vector<std::pair<int64_t, std::string>> due;
    for (const auto& [k, at] : ttl)
      if (at <= now) due.emplace_back(at, k);
    std::sort(due.begin(), due.end());
    uint64_t removed = 0;
    for (const auto& [at, k] : due) {
      removed += docs.erase(k);
      DropEdges(k);
      ttl.erase(k);
    }
    return Val(std::to_string(removed));
  }

  std::vector<std::string> Out(const std::string& from, const std::string& relation) const {
    std::vector<std::string> out;
    for (const auto& [f, r, t] : edges)
      if (f == from && r == relation) out.push_back(t);
    std::sort(out.begin(), out.end());
    return out;
  }

 private:
  std::string Validate(const Value& d) const {
    auto r = validate_against(schema_, d);
    return r ? "" : r.error().Message();
  }

  // The unique rule, stated directly: another key holding a same value.
  std::string Unique(const std::map<std::string, Value>& all, const std::string& key, const Value& d) const {
    for (const SchemaField& f : schema_) {
      if (!f.unique) continue;
      const Value* v = get_path(d, f.name);
      if (v == nullptr || v->is_null()) continue;
      for (const auto& [k, other] : all) {
        const Value* w = get_path(other, f.name);
        if (k != key && w != nullptr && values_same(*w, *v))
          return "schema violation: field '" + f.name + "' must be unique; value already exists";
      }
    }
    return "";
  }

  void DropEdges(const std::string& k) {
    std::erase_if(edges, [&](const Edge& e) { return std::get<0>(e) == k || std::get<2>(e) == k; });
  }

  std::vector<SchemaField> schema_;
};

class RandomWrites {
 public:
  RandomWrites(Engine& engine, Model& model, uint64_t seed) : e_(engine), m_(model), rng_(seed) {
    keys_ = {"", "k1", "k2", "k3", std::string(600, 'L'), auto_key(1), auto_key(2)};
  }

  void Step() {
    int pick = static_cast<int>(rng_() % 100);
    Outcome want, got;
    std::string what;
    if (pick < 18) {
      std::string k = Key();
      Value d = RandomDoc();
      what = "insert";
      got = RunWithFaults(e_, [&] { return Of(insert(e_, "c", k, d)); });
      want = m_.Insert(k, d, std::nullopt);
    } else if (pick < 28) {
      std::string k = Key();
      Value d = RandomDoc();
      int64_t at = Instant();
      what = "insert_with_ttl";
      got = RunWithFaults(e_, [&] { return Of(insert_with_ttl(e_, "c", k, d, at)); });
      want = m_.Insert(k, d, at);
    } else if (pick < 40) {
      std::string k = Key();
      what = "delete";
      got = RunWithFaults(e_, [&] { return Of(delete_document(e_, "c", k)); });
      want = m_.Delete(k);
    } else if (pick < 50) {
      std::string k = Key();
      std::optional<Value> expected, replacement;
      int shape = static_cast<int>(rng_() % 3);
      if (shape == 1 && m_.docs.count(k)) expected = m_.docs.at(k);
      if (shape == 2) expected = RandomDoc();
      if (rng_() % 4 != 0) replacement = RandomDoc();
      what = "compare_and_set";
      got = RunWithFaults(e_, [&] { return Of(compare_and_set(e_, "c", k, expected, replacement)); });
      want = m_.CompareAndSet(k, expected, replacement);
    } else if (pick < 58) {
      std::string k = Key();
      Value p = RandomDoc();
      what = "patch";
      got = RunWithFaults(e_, [&] { return Of(patch(e_, "c", k, p)); });
      want = m_.Patch(k, p);
    } else if (pick < 68) {
      std::vector<std::pair<std::string, Value>> pairs;
      size_t n = rng_() % 6;
      for (size_t i = 0; i < n; ++i) pairs.emplace_back(Key(), RandomDoc());
      what = "put_many";
      got = RunWithFaults(e_, [&] { return Of(put_many(e_, "c", pairs)); });
      want = m_.PutMany(pairs);
    } else if (pick < 76) {
      Value d = RandomDoc();
      what = "insert_auto";
      got = RunWithFaults(e_, [&] { return Of(insert_auto(e_, "c", d)); });
      want = m_.InsertAuto(d);
    } else if (pick < 83) {
      std::string k = Key();
      int64_t at = Instant();
      what = "set_ttl";
      got = RunWithFaults(e_, [&] { return Of(set_ttl(e_, "c", k, at)); });
      m_.ttl[k] = at;
      want = Val("");
    } else if (pick < 93) {
      std::string a = Key(), b = Key(), r = rng_() % 2 ? "r" : "rr";
      if (rng_() % 3) {
        what = "link";
        got = RunWithFaults(e_, [&] { return Of(link(e_, "c", a, r, b)); });
        m_.edges.insert({a, r, b});
        want = Val("");
      } else {
        what = "unlink";
        got = RunWithFaults(e_, [&] { return Of(unlink(e_, "c", a, r, b)); });
        want = Val(m_.edges.erase({a, r, b}) ? "true" : "false");
      }
    } else if (pick < 97) {
      int64_t now = Instant();
      what = "purge_expired";
      got = RunWithFaults(e_, [&] { return Of(purge_expired(e_, "c", now)); }, true);
      want = m_.Purge(now);
    } else {
      // Refused names change nothing.
      std::string name = rng_() % 2 ? "__c" : "c__d";
      what = "insert under " + name;
      got = RunWithFaults(e_, [&] { return Of(insert(e_, name, "k", Value::Int(1))); });
      want = Err(name == "__c" ? "reserved collection name: __c"
                               : "invalid name (NUL byte or `__` is not allowed): c__d");
    }
    ASSERT_EQ(got, want) << what;
  }

  void Check() {
    auto rows = scan_all_rows(e_.store(), "c");
    ASSERT_TRUE(rows.has_value());
    ASSERT_EQ(rows->size(), m_.docs.size());
    auto it = m_.docs.begin();
    for (const Row& row : *rows) {
      ASSERT_EQ(row.key, it->first);
      ASSERT_TRUE(values_same(*decode_value(row.value), it->second)) << row.key;
      ++it;
    }
    EXPECT_EQ(*count_rows(e_.store(), "c"), m_.docs.size());
    EXPECT_EQ(*count_rows(e_.store(), "__ttl__c"), 2 * m_.ttl.size());
    EXPECT_EQ(scan_all_rows(e_.store(), "__ttl__c")->size(), 2 * m_.ttl.size());
    for (const std::string& k : keys_) {
      auto at = m_.ttl.find(k);
      EXPECT_EQ(*get_ttl(e_, "c", k), at == m_.ttl.end() ? std::nullopt : std::optional<int64_t>(at->second));
      for (const char* r : {"r", "rr"}) EXPECT_EQ(*neighbors(e_, "c", k, r), m_.Out(k, r)) << k << " " << r;
    }
    auto txn = e_.store().BeginRead();
    auto counter = txn->GetU64(StoreTable::kMeta, "auto:c");
    EXPECT_EQ(counter->value_or(0), m_.counter);
  }

 private:
  std::string Key() {
    // Mostly the shared keys; now and then the next auto key, so inserts
    // and auto inserts meet.
    if (rng_() % 8 == 0) return auto_key(m_.counter + 1 + rng_() % 2);
    return keys_[rng_() % keys_.size()];
  }

  int64_t Instant() {
    switch (rng_() % 6) {
      case 0: return std::numeric_limits<int64_t>::min();
      case 1: return std::numeric_limits<int64_t>::max();
      default: return static_cast<int64_t>(rng_() % 21) - 10;
    }
  }

  Value RandomDoc() {
    switch (rng_() % 12) {
      case 0: return Value::Int(static_cast<int64_t>(rng_() % 3));
      case 1: return Value::Array({Value::Text("x")});
      default: break;
    }
    ValueMap m;
    switch (rng_() % 8) {
      case 0: break;  // absent
      case 1: m.Set("u", Value::Null()); break;
      case 2: m.Set("u", Value::Float(1.0)); break;
      case 3: m.Set("u", Value::Float(std::nan(""))); break;
      default: m.Set("u", Value::Int(static_cast<int64_t>(rng_() % 12))); break;
    }
    if (rng_() % 10 == 0) {
      m.Set("t", Value::Int(5));  // wrong type
    } else if (rng_() % 2) {
      m.Set("t", Value::Text("text"));
    }
    if (rng_() % 2) m.Set("n", Doc({{"x", Value::Int(static_cast<int64_t>(rng_() % 16))}}));
    m.Set("pad", Value::Bytes(std::string(rng_() % 40, 'p')));
    return Value::Map(std::move(m));
  }

  Engine& e_;
  Model& m_;
  std::mt19937_64 rng_;
  std::vector<std::string> keys_;
};

TEST(WriteTest, RandomEntriesAgainstModelWithInjectedFaults) {
  std::vector<SchemaField> schema = {{"u", FieldType::kAny, false, true},
                                     {"t", FieldType::kText, false, false},
                                     {"n.x", FieldType::kInt, false, true}};
  for (uint64_t seed : {1u, 2u, 3u}) {
    auto engine = MemEngine();
    ASSERT_TRUE(set_schema(*engine, "c", schema).has_value());
    Model model(schema);
    RandomWrites run(*engine, model, seed);
    for (int step = 0; step < 400; ++step) {
      run.Step();
      if (::testing::Test::HasFailure()) FAIL() << "seed " << seed << " step " << step;
      if (step % 10 == 9) run.Check();
      if (::testing::Test::HasFailure()) FAIL() << "seed " << seed << " step " << step;
    }
    run.Check();
  }
}

// ---------------------------------------------------------------- entries

TEST(WriteTest, InsertOverExistingKey) {
  auto e = MemEngine();
  ASSERT_TRUE(insert_with_ttl(*e, "c", "k", Value::Int(1), 9).has_value());
  ASSERT_TRUE(insert(*e, "c", "k", Value::Text("v2")).has_value());
  EXPECT_EQ(*count_rows(e->store(), "c"), 1u);
  EXPECT_TRUE(Same(Stored(*e, "c", "k"), Value::Text("v2")));
  EXPECT_EQ(*get_ttl(*e, "c", "k"), std::nullopt);
  // Any value is a document; the empty key is a key.
  ASSERT_TRUE(insert(*e, "c", "", Value::Null()).has_value());
  EXPECT_TRUE(Same(Stored(*e, "c", ""), Value::Null()));
  EXPECT_EQ(*count_rows(e->store(), "c"), 2u);
  EXPECT_FALSE(*delete_document(*e, "c", "absent"));
  EXPECT_FALSE(*delete_document(*e, "never", "k"));
  EXPECT_EQ(*count_rows(e->store(), "c"), 2u);
}

TEST(WriteTest, NameChecksComeFirst) {
  auto e = MemEngine();
  const auto before = test::StoreRows(e->store());
  const std::string nul("a\0b", 3);
  for (const std::string& name : {std::string("__c"), std::string("a__b"), nul}) {
    uint32_t code = name == "__c" ? 10 : 11;
    Value d = Value::Int(1);
    EXPECT_EQ(insert(*e, name, "k", d).error().code(), code);
    EXPECT_EQ(insert_with_ttl(*e, name, "k", d, 1).error().code(), code);
    EXPECT_EQ(delete_document(*e, name, "k").error().code(), code);
    EXPECT_EQ(compare_and_set(*e, name, "k", std::nullopt, d).error().code(), code);
    EXPECT_EQ(patch(*e, name, "k", d).error().code(), code);
    EXPECT_EQ(put_many(*e, name, {}).error().code(), code);
    EXPECT_EQ(insert_auto(*e, name, d).error().code(), code);
    EXPECT_EQ(purge_expired(*e, name, 0).error().code(), code);
  }
  EXPECT_EQ(insert(*e, "__c", "k", Value::Int(1)).error().Message(), "reserved collection name: __c");
  EXPECT_EQ(test::StoreRows(e->store()), before);
  // Reads make no name check.
  EXPECT_EQ(*get_document(e->store(), "__c", "k"), std::nullopt);
  // An empty batch still begins and commits a transaction.
  StoreFaults faults;
  faults.fail_begin_write = true;
  e->store().set_faults(&faults);
  EXPECT_EQ(put_many(*e, "c", {}).error().code(), 2u);
  e->store().set_faults(nullptr);
  EXPECT_TRUE(put_many(*e, "c", {}).has_value());
}

// A key or document too large to store is bad input: InvalidArgument from
// checks made before any transaction (a transaction cannot even begin
// here), storage untouched, the engine usable after.
TEST(WriteTest, WritesTooLargeToStoreAreRefusedBeforeTheTransaction) {
  auto e = MemEngine();
  ASSERT_TRUE(insert(*e, "c", "k", Value::Int(1)).has_value());
  const auto before = test::StoreRows(e->store());
  StoreFaults faults;
  faults.fail_begin_write = true;
  e->store().set_faults(&faults);
  auto error_of = [](const auto& r) { return r.has_value() ? std::string("ok") : r.error().Message(); };

  test::ZeroBytes zeros(size_t{1} << 33);
  const std::string_view over = zeros.view().substr(0, size_t{UINT32_MAX} + 1);
  const std::string key_error = "invalid argument: key length 4294967296 exceeds the limit of 4294967295";
  const Value one = Value::Int(1);
  EXPECT_EQ(error_of(insert(*e, "c", over, one)), key_error);
  EXPECT_EQ(error_of(insert_with_ttl(*e, "c", over, one, 5)), key_error);
  EXPECT_EQ(error_of(delete_document(*e, "c", over)), key_error);
  EXPECT_EQ(error_of(compare_and_set(*e, "c", over, std::nullopt, one)), key_error);
  EXPECT_EQ(error_of(compare_and_set(*e, "c", over, one, std::nullopt)), key_error);
  EXPECT_EQ(error_of(write_document(*e, "c", over, &one, std::nullopt)), key_error);
  EXPECT_EQ(error_of(set_ttl(*e, "c", over, 5)), key_error);
  EXPECT_EQ(error_of(link(*e, "c", over, "r", "b")),
            "invalid argument: node key length 4294967296 exceeds the limit of 4294967295");
  EXPECT_EQ(error_of(unlink(*e, "c", "a", "r", over)),
            "invalid argument: node key length 4294967296 exceeds the limit of 4294967295");

  // The longest key passes; with it, the row limit leaves room for an
  // encoded document of 483 bytes (a text of 478).
  const std::string_view longest = zeros.view().substr(0, UINT32_MAX);
  const std::string begin_error = "transaction: injected fault";
  EXPECT_EQ(error_of(insert(*e, "c", longest, Value::Text(std::string(478, 't')))), begin_error);
  EXPECT_EQ(error_of(delete_document(*e, "c", longest)), begin_error);
  EXPECT_EQ(error_of(insert(*e, "c", longest, Value::Text(std::string(479, 't')))),
            "invalid argument: row too large: key length 4294967295 and value length 484 exceed the storage limit "
            "of 4294967295 bytes");
  EXPECT_EQ(error_of(compare_and_set(*e, "c", longest, std::nullopt, Value::Bytes(std::string(479, 'b')))),
            "invalid argument: row too large: key length 4294967295 and value length 484 exceed the storage limit "
            "of 4294967295 bytes");

  // Reads of such keys find nothing.
  e->store().set_faults(nullptr);
  EXPECT_EQ(*neighbors(*e, "c", over, "r"), std::vector<std::string>());
  EXPECT_EQ(*traverse(*e, "c", over, "r", 3), std::vector<std::string>());
  EXPECT_EQ(test::StoreRows(e->store()), before);
  ASSERT_TRUE(insert(*e, "c", "k2", Value::Int(2)).has_value());
  EXPECT_TRUE(Same(Stored(*e, "c", "k2"), Value::Int(2)));
}

TEST(WriteTest, CompareAndSet) {
  auto e = MemEngine();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  Value a = Doc({{"x", Value::Float(nan)}}), b = Value::Int(2);
  EXPECT_FALSE(*compare_and_set(*e, "c", "k", Value::Int(1), b));  // expected, but absent
  EXPECT_TRUE(*compare_and_set(*e, "c", "k", std::nullopt, a));
  EXPECT_FALSE(*compare_and_set(*e, "c", "k", std::nullopt, b));  // present, none expected
  EXPECT_TRUE(*compare_and_set(*e, "c", "k", Doc({{"x", Value::Float(nan)}}), Value::Float(1.0)));
  EXPECT_FALSE(*compare_and_set(*e, "c", "k", Value::Int(1), b));  // Int 1 is not Float 1.0
  EXPECT_TRUE(Same(Stored(*e, "c", "k"), Value::Float(1.0)));
  // A stored Null is a present document: nothing "expected none" matches it.
  ASSERT_TRUE(insert(*e, "c", "n", Value::Null()).has_value());
  EXPECT_FALSE(*compare_and_set(*e, "c", "n", std::nullopt, b));
  // Delete on a match; none/none on an absent key removes only edges.
  ASSERT_TRUE(insert_with_ttl(*e, "c", "d", Value::Int(7), 5).has_value());
  EXPECT_TRUE(*compare_and_set(*e, "c", "d", Value::Int(7), std::nullopt));
  EXPECT_EQ(*get_ttl(*e, "c", "d"), std::nullopt);
  ASSERT_TRUE(link(*e, "c", "x", "r", "ghost").has_value());
  EXPECT_FALSE(*compare_and_set(*e, "c", "ghost", std::nullopt, std::nullopt));
  EXPECT_TRUE(neighbors(*e, "c", "x", "r")->empty());
  EXPECT_FALSE(*compare_and_set(*e, "c", "k", std::nullopt, std::nullopt));
  EXPECT_TRUE(Stored(*e, "c", "k").has_value());
  // A replacement that breaks the schema fails whatever the comparison.
  ASSERT_TRUE(set_schema(*e, "c", {{"must", FieldType::kAny, true, false}}).has_value());
  EXPECT_EQ(compare_and_set(*e, "c", "k", Value::Int(99), b).error().code(), 15u);
  // An undecodable stored document is a Decode error, nothing written.
  ASSERT_TRUE(put_row_once(e->store(), "c", "bad", "\x02").has_value());
  auto before = test::StoreRows(e->store());
  EXPECT_EQ(compare_and_set(*e, "c", "bad", std::nullopt, std::nullopt).error().code(), 8u);
  EXPECT_EQ(test::StoreRows(e->store()), before);
}

TEST(WriteTest, Patch) {
  auto e = MemEngine();
  ASSERT_TRUE(insert_with_ttl(*e, "c", "k", Doc({{"a", Value::Int(1)}, {"b", Value::Int(1)},
                                                 {"n", Doc({{"x", Value::Int(1)}})}}),
                              100)
                  .has_value());
  ASSERT_TRUE(patch(*e, "c", "k", Doc({{"b", Value::Int(2)}, {"n", Doc({{"y", Value::Int(1)}})}, {"z", Value::Null()}}))
                  .has_value());
  EXPECT_TRUE(Same(Stored(*e, "c", "k"), Doc({{"a", Value::Int(1)}, {"b", Value::Int(2)},
                                              {"n", Doc({{"y", Value::Int(1)}})}, {"z", Value::Null()}})));
  EXPECT_EQ(*get_ttl(*e, "c", "k"), std::nullopt);
  ASSERT_TRUE(patch(*e, "c", "absent", Doc({{"a", Value::Int(1)}})).has_value());
  EXPECT_TRUE(Same(Stored(*e, "c", "absent"), Doc({{"a", Value::Int(1)}})));
  ASSERT_TRUE(patch(*e, "c", "k", Value::Int(7)).has_value());
  EXPECT_TRUE(Same(Stored(*e, "c", "k"), Value::Int(7)));
  ASSERT_TRUE(patch(*e, "c", "k", Doc({{"a", Value::Int(1)}})).has_value());
  EXPECT_TRUE(Same(Stored(*e, "c", "k"), Doc({{"a", Value::Int(1)}})));
  // The merged document is what the schema sees.
  ASSERT_TRUE(set_schema(*e, "c", {{"a", FieldType::kInt, true, false}}).has_value());
  EXPECT_TRUE(patch(*e, "c", "k", Doc({{"b", Value::Int(1)}})).has_value());
  EXPECT_EQ(patch(*e, "c", "k", Doc({{"a", Value::Null()}})).error().code(), 15u);
  // A stored document that does not decode stops the patch.
  ASSERT_TRUE(put_row_once(e->store(), "c", "bad", "\x09").has_value());
  EXPECT_EQ(patch(*e, "c", "bad", Doc({{"a", Value::Int(1)}})).error().Message(), "decode: unknown tag 9");
}

TEST(WriteTest, PutMany) {
  auto e = MemEngine();
  ASSERT_TRUE(set_ttl(*e, "c", "a", 5).has_value());
  ASSERT_TRUE(set_ttl(*e, "c", "other", 5).has_value());
  ASSERT_TRUE(put_many(*e, "c", {{"a", Value::Int(1)}, {"b", Value::Int(1)}, {"a", Value::Int(2)}}).has_value());
  EXPECT_EQ(*count_rows(e->store(), "c"), 2u);
  EXPECT_TRUE(Same(Stored(*e, "c", "a"), Value::Int(2)));
  EXPECT_EQ(*get_ttl(*e, "c", "a"), std::nullopt);
  EXPECT_EQ(*get_ttl(*e, "c", "other"), std::optional<int64_t>(5));

  ASSERT_TRUE(set_schema(*e, "c", {{"u", FieldType::kInt, true, true}}).has_value());
  auto before = test::StoreRows(e->store());
  std::vector<std::pair<std::string, Value>> violating;
  for (int i = 0; i < 4; ++i) violating.emplace_back("v" + std::to_string(i), Doc({{"u", Value::Int(10 + i)}}));
  violating.emplace_back("v4", Doc({{"u", Value::Text("x")}}));
  EXPECT_EQ(put_many(*e, "c", violating).error().Message(), "schema violation: field 'u' has the wrong type");
  // Two pairs of one batch holding the same unique value.
  auto dup = put_many(*e, "c", {{"x", Doc({{"u", Value::Int(1)}})}, {"y", Doc({{"u", Value::Int(1)}})}});
  EXPECT_EQ(dup.error().Message(), "schema violation: field 'u' must be unique; value already exists");
  EXPECT_EQ(test::StoreRows(e->store()), before);
  // The same key twice with the same value is no conflict.
  EXPECT_TRUE(put_many(*e, "c", {{"x", Doc({{"u", Value::Int(1)}})}, {"x", Doc({{"u", Value::Int(1)}})}}).has_value());
}

TEST(WriteTest, InsertAutoKeys) {
  auto e = MemEngine();
  EXPECT_EQ(*insert_auto(*e, "c", Value::Int(1)), "00000000000000000001");
  EXPECT_EQ(*insert_auto(*e, "c", Value::Int(2)), "00000000000000000002");
  EXPECT_EQ(*insert_auto(*e, "d", Value::Int(1)), "00000000000000000001");
  EXPECT_EQ(auto_key(UINT64_MAX), "18446744073709551615");
  ASSERT_TRUE(set_schema(*e, "c", {{"a", FieldType::kAny, true, false}}).has_value());
  auto before = test::StoreRows(e->store());
  EXPECT_EQ(insert_auto(*e, "c", Value::Int(3)).error().code(), 15u);
  EXPECT_EQ(test::StoreRows(e->store()), before);
  EXPECT_EQ(*insert_auto(*e, "c", Doc({{"a", Value::Int(3)}})), "00000000000000000003");
  // The loader may raise the counter; the next key follows it.
  ASSERT_TRUE(raise_auto_counters(*e, {{"c", 41}}).has_value());
  EXPECT_EQ(*insert_auto(*e, "c", Doc({{"a", Value::Int(4)}})), "00000000000000000042");
}

TEST(WriteTest, AutoKeyAlreadyTakenIsPassedOver) {
  auto e = MemEngine();
  ASSERT_TRUE(insert(*e, "c", auto_key(1), Value::Text("mine")).has_value());
  ASSERT_TRUE(insert(*e, "c", auto_key(2), Value::Text("mine too")).has_value());
  ASSERT_TRUE(insert(*e, "c", auto_key(4), Value::Text("and this")).has_value());
  EXPECT_EQ(*insert_auto(*e, "c", Value::Int(1)), auto_key(3));
  EXPECT_EQ(*insert_auto(*e, "c", Value::Int(2)), auto_key(5));
  EXPECT_TRUE(Same(Stored(*e, "c", auto_key(1)), Value::Text("mine")));
  EXPECT_TRUE(Same(Stored(*e, "c", auto_key(4)), Value::Text("and this")));
  auto txn = e->store().BeginRead();
  EXPECT_EQ(*txn->GetU64(StoreTable::kMeta, "auto:c"), std::optional<uint64_t>(5));
  EXPECT_EQ(*count_rows(e->store(), "c"), 5u);
}

TEST(WriteTest, AutoCounterExhausted) {
  auto e = MemEngine();
  ASSERT_TRUE(raise_auto_counters(*e, {{"c", UINT64_MAX - 2}}).has_value());
  ASSERT_TRUE(insert(*e, "c", auto_key(UINT64_MAX - 1), Value::Int(0)).has_value());
  EXPECT_EQ(*insert_auto(*e, "c", Value::Int(1)), "18446744073709551615");
  auto before = test::StoreRows(e->store());
  auto r = insert_auto(*e, "c", Value::Int(2));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().code(), 12u);
  EXPECT_EQ(r.error().Message(), "invalid argument: auto-id counter exhausted for collection c");
  EXPECT_EQ(test::StoreRows(e->store()), before);
  // The last free number taken by a plain insert exhausts the counter too.
  ASSERT_TRUE(raise_auto_counters(*e, {{"d", UINT64_MAX - 1}}).has_value());
  ASSERT_TRUE(insert(*e, "d", auto_key(UINT64_MAX), Value::Int(0)).has_value());
  before = test::StoreRows(e->store());
  EXPECT_EQ(insert_auto(*e, "d", Value::Int(2)).error().code(), 12u);
  EXPECT_EQ(test::StoreRows(e->store()), before);
}

TEST(WriteTest, WriteDocumentReportsChange) {
  auto e = MemEngine();
  Value d = Value::Int(1);
  EXPECT_TRUE(*write_document(*e, "c", "k", &d, 7));
  EXPECT_EQ(*get_ttl(*e, "c", "k"), std::optional<int64_t>(7));
  EXPECT_TRUE(*write_document(*e, "c", "k", nullptr, std::nullopt));
  EXPECT_FALSE(*write_document(*e, "c", "k", nullptr, std::nullopt));
  EXPECT_EQ(*count_rows(e->store(), "__ttl__c"), 0u);
}

// ---------------------------------------------------------------- walk

TEST(WriteTest, WalkVisitsEveryRowInOrder) {
  auto e = MemEngine();
  std::vector<std::string> keys = {"", std::string(1, '\0'), "a", std::string(700, 'z') + "1",
                                   std::string(700, 'z') + "0", "\xff"};
  for (size_t i = 0; i < keys.size(); ++i) ASSERT_TRUE(insert(*e, "c", keys[i], Value::Int(i)).has_value());
  ASSERT_TRUE(insert(*e, "d", "other", Value::Int(0)).has_value());
  std::sort(keys.begin(), keys.end());
  std::vector<std::string> seen;
  uint64_t visited = 99;
  static_assert(sizeof(visited) == 8);
  ASSERT_TRUE(scan_each_walk(*e, "c", visited, [&](std::string_view k, const Value&) -> Result<bool> {
                seen.emplace_back(k);
                return true;
              }).has_value());
  EXPECT_EQ(seen, keys);
  EXPECT_EQ(visited, keys.size());
  ASSERT_TRUE(scan_each_walk(*e, "unknown", visited, [&](auto, const Value&) -> Result<bool> {
                ADD_FAILURE();
                return true;
              }).has_value());
  EXPECT_EQ(visited, 0u);
}

TEST(WriteTest, WalkStopsOnRequestAndCountsTheStoppingRow) {
  auto e = MemEngine();
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(insert(*e, "c", "k" + std::to_string(i), Value::Int(i)).has_value());
  uint64_t visited = 0;
  int calls = 0;
  ASSERT_TRUE(scan_each_walk(*e, "c", visited, [&](auto, const Value& doc) -> Result<bool> {
                ++calls;
                return doc.as_int() < 2;
              }).has_value());
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(visited, 3u);
  auto failed = scan_each_walk(*e, "c", visited, [&](auto, const Value& doc) -> Result<bool> {
    if (doc.as_int() == 1) return Fail(EngineError::InvalidArgument("scan callback failed: boom"));
    return true;
  });
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().Message(), "invalid argument: scan callback failed: boom");
  EXPECT_EQ(visited, 2u);
  // A row that does not decode ends the walk uncounted.
  ASSERT_TRUE(put_row_once(e->store(), "c", "k2x", "\x04\x09").has_value());
  auto bad = scan_each_walk(*e, "c", visited, [&](auto, const Value&) -> Result<bool> { return true; });
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().code(), 8u);
  EXPECT_EQ(visited, 3u);
  // The walk reads one snapshot: writes made from the visitor are not seen.
  ASSERT_TRUE(*delete_document(*e, "c", "k2x"));
  calls = 0;
  ASSERT_TRUE(scan_each_walk(*e, "c", visited, [&](std::string_view k, const Value&) -> Result<bool> {
                if (k == "k0") {
                  EXPECT_TRUE(insert(*e, "c", "k00", Value::Int(0)).has_value());
                }
                ++calls;
                return true;
              }).has_value());
  EXPECT_EQ(calls, 5);
  StoreFaults faults;
  faults.fail_begin_read = true;
  e->store().set_faults(&faults);
  EXPECT_EQ(scan_each_walk(*e, "c", visited, [](auto, const Value&) -> Result<bool> { return true; }).error().code(),
            2u);
  EXPECT_EQ(visited, 0u);
  e->store().set_faults(nullptr);
}

}  // namespace
}  // namespace pallix
