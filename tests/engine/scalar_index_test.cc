// Scalar and compound indexes against a brute-force model: the stored
// entries, every lookup and the unique check, over random documents of
// mixed kinds before and after random updates and deletes.

#include "index/scalar_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <set>

#include "db/schema.h"
#include "index/compound_index.h"
#include "index/entry.h"
#include "index/index_state.h"
#include "index/registry.h"
#include "index/scalar_lookup.h"
#include "storage/read_view.h"
#include "test_util.h"
#include "write/write.h"

namespace pallix {
namespace {

using test::Doc;
using test::MemEngine;
using Docs = std::map<std::string, Value>;

constexpr double kInf = std::numeric_limits<double>::infinity();

Value RandomScalar(std::mt19937_64& rng) {
  static const double specials[] = {0.0, -0.0, kInf, -kInf, std::nan(""), 1.0, 2.5, -1e300};
  switch (rng() % 9) {
    case 0: return Value::Bool(rng() % 2);
    case 1:
    case 2: return Value::Int(static_cast<int64_t>(rng() % 9) - 3);
    case 3: return Value::Float(specials[rng() % 8]);
    case 4: return Value::Float(static_cast<double>(rng() % 13) / 2 - 3);
    case 5: {
      std::string s;
      for (int n = rng() % 3; n > 0; --n) s.push_back("a\0b"[rng() % 3]);
      return Value::Text(s);
    }
    case 6: return Value::Text(std::string(2000 + rng() % 3, "xy"[rng() % 2]));  // long index keys
    case 7: return Value::Array({Value::Int(1)});                                 // never indexed
    default: return Value::Null();
  }
}

std::string RandomKey(std::mt19937_64& rng) {
  int i = rng() % 120;
  if (i == 0) return std::string(600, 'L');  // a long document key
  if (i == 1) return std::string("z\0z", 3);
  return "k" + std::to_string(i);
}

Value RandomDoc(std::mt19937_64& rng) {
  ValueMap m;
  if (rng() % 6) m.Set("v", RandomScalar(rng));
  if (rng() % 3 == 0) m.Set("n", Doc({{"v", RandomScalar(rng)}}));
  if (rng() % 8) m.Set("a", Value::Int(rng() % 4));
  if (rng() % 8) m.Set("b", rng() % 5 ? Value::Float(static_cast<double>(rng() % 10)) : RandomScalar(rng));
  return Value::Map(std::move(m));
}

// Applies one random put or delete to the engine and the model.
void RandomWrite(Engine& engine, Docs& model, std::mt19937_64& rng) {
  std::string key = RandomKey(rng);
  if (rng() % 4 == 0) {
    ASSERT_TRUE(delete_document(engine, "c", key));
    model.erase(key);
  } else {
    Value doc = RandomDoc(rng);
    ASSERT_TRUE(insert(engine, "c", key, doc));
    model[key] = doc;
  }
}

// The namespace's rows as the model says they must be.
std::vector<Row> ExpectedRows(const Docs& docs, const std::vector<std::string>& fields) {
  std::vector<Row> rows;
  for (const auto& [key, doc] : docs) {
    std::vector<const Value*> values;
    for (const std::string& f : fields) values.push_back(get_path(doc, f));
    if (std::count(values.begin(), values.end(), nullptr)) continue;
    std::optional<std::string> part = compound_key(values);
    if (!part) continue;
    rows.push_back(Row{*part + key, ""});
    rows.push_back(Row{back_pointer_key(key), *part});
  }
  std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.key < b.key; });
  return rows;
}

void ExpectEntries(Engine& engine, const std::string& ns, const Docs& docs, const std::vector<std::string>& fields) {
  std::vector<Row> want = ExpectedRows(docs, fields);
  EXPECT_EQ(scan_all_rows(engine.store(), ns).value(), want) << ns;
  EXPECT_EQ(count_rows(engine.store(), ns).value(), want.size()) << ns;
}

// What a range lookup must return: every document whose value (the last of
// `fields`, after the leading ones equal `prefix`) lies in the range, in
// index order.
std::vector<std::string> ModelRange(const Docs& docs, const std::vector<std::string>& fields, const std::string& prefix,
                                    const ScalarRange& r) {
  std::vector<std::pair<std::string, std::string>> hits;  // (forward key, doc key)
  for (const auto& [key, doc] : docs) {
    std::vector<const Value*> values;
    for (const std::string& f : fields) values.push_back(get_path(doc, f));
    if (std::count(values.begin(), values.end(), nullptr)) continue;
    std::optional<std::string> all = compound_key(values);
    std::optional<std::string> bound = scalar_key_bound(*values.back());
    std::optional<std::string> lead = compound_key(std::span(values).first(values.size() - 1));
    if (!all || *lead != prefix || static_cast<uint8_t>((*bound)[0]) != r.type) continue;
    if (*bound < r.lower || (r.upper && *bound > *r.upper)) continue;
    hits.emplace_back(*all + key, key);
  }
  std::sort(hits.begin(), hits.end());
  std::vector<std::string> out;
  for (auto& h : hits) out.push_back(h.second);
  return out;
}

// Whether a document value satisfies `v op target` as predicates see it.
bool Holds(const Value& v, CompareOp op, const Value& target) {
  std::partial_ordering c = std::partial_ordering::unordered;
  if ((v.is_number() && target.is_number()) || (v.is_text() && target.is_text())) {
    c = value_partial_cmp(v, target);
  } else if (v.is_bool() && target.is_bool()) {
    return op == CompareOp::kEq && v.as_bool() == target.as_bool();
  }
  switch (op) {
    case CompareOp::kEq: return c == 0;
    case CompareOp::kLt: return c < 0;
    case CompareOp::kLe: return c <= 0;
    case CompareOp::kGt: return c > 0;
    case CompareOp::kGe: return c >= 0;
    default: return false;
  }
}

// The lookup answer against the model: exact keys in index order, and
// after the caller's predicate filter, exactly the brute-force matches.
void CheckLookup(const KeyList& got, const std::vector<std::string>& want, const Docs& docs,
                 const std::function<bool(const Value&)>& pred, const std::string& field) {
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, want);
  std::set<std::string> filtered, brute;
  for (const std::string& k : *got) {
    const Value* v = get_path(docs.at(k), field);
    if (v && pred(*v)) filtered.insert(k);
  }
  for (const auto& [k, doc] : docs) {
    const Value* v = get_path(doc, field);
    if (v && pred(*v)) brute.insert(k);
  }
  EXPECT_EQ(filtered, brute);
}

void CheckScalarLookups(Engine& engine, const Docs& docs, const std::string& field, std::mt19937_64& rng) {
  ReadTxn txn = engine.store().BeginRead().value();
  ReadView view(txn);
  for (int q = 0; q < 60; ++q) {
    Value t1 = RandomScalar(rng), t2 = RandomScalar(rng);
    auto op = static_cast<CompareOp>(rng() % 6);
    IndexComparison cmp[2] = {{&t1, op}, {&t2, q % 2 ? CompareOp::kLe : CompareOp::kGe}};
    size_t n = 1 + q % 2;
    std::optional<ScalarRange> range = scalar_range_for_comparisons({cmp, n});
    KeyList got = scalar_index_lookup(engine, view, "c", field, {cmp, n}).value();
    if (!range) {
      EXPECT_FALSE(got.has_value());
      continue;
    }
    auto pred = [&](const Value& v) { return Holds(v, op, t1) && (n == 1 || Holds(v, cmp[1].op, t2)); };
    CheckLookup(got, ModelRange(docs, {field}, "", *range), docs, pred, field);
  }
  for (int q = 0; q < 20; ++q) {
    std::vector<Value> values = {RandomScalar(rng), RandomScalar(rng), Value::Int(1), Value::Float(1.0)};
    KeyList got = scalar_in_lookup(engine, view, "c", field, values).value();
    bool keyless = std::any_of(values.begin(), values.end(), [](const Value& v) { return !scalar_key_type(v); });
    if (keyless) {
      EXPECT_FALSE(got.has_value());
      continue;
    }
    std::vector<std::string> want;
    std::set<std::string> seen;
    for (const Value& v : values) {
      IndexComparison eq{&v, CompareOp::kEq};
      for (const std::string& k : ModelRange(docs, {field}, "", *scalar_range_for_comparisons({&eq, 1})))
        if (seen.insert(k).second) want.push_back(k);
    }
    auto pred = [&](const Value& v) {
      return std::any_of(values.begin(), values.end(), [&](const Value& t) { return Holds(v, CompareOp::kEq, t); });
    };
    CheckLookup(got, want, docs, pred, field);
  }
  for (std::string prefix : {std::string(), std::string("a"), std::string("a\0", 2), std::string("b"), std::string("xx")}) {
    KeyList got = scalar_prefix_lookup(engine, view, "c", field, prefix).value();
    std::vector<std::pair<std::string, std::string>> want;
    for (const auto& [k, doc] : docs) {
      const Value* v = get_path(doc, field);
      if (v && v->is_text() && v->as_text().starts_with(prefix)) want.emplace_back(*encode_scalar_key(*v) + k, k);
    }
    std::sort(want.begin(), want.end());
    std::vector<std::string> keys;
    for (auto& w : want) keys.push_back(w.second);
    CheckLookup(got, keys, docs, [&](const Value& v) { return v.is_text() && v.as_text().starts_with(prefix); }, field);
  }
  Value low = Value::Int(-1), high = Value::Float(2.5);
  IndexComparison between[2] = {{&low, CompareOp::kGe}, {&high, CompareOp::kLe}};
  CheckLookup(scalar_between_lookup(engine, view, "c", field, low, high).value(),
              ModelRange(docs, {field}, "", *scalar_range_for_comparisons(between)), docs,
              [&](const Value& v) { return Holds(v, CompareOp::kGe, low) && Holds(v, CompareOp::kLe, high); }, field);
}

void CheckCompoundLookups(Engine& engine, const Docs& docs, std::mt19937_64& rng) {
  const std::vector<std::string> fields = {"a", "b"};
  ReadTxn txn = engine.store().BeginRead().value();
  ReadView view(txn);
  for (int q = 0; q < 30; ++q) {
    Value a = Value::Int(rng() % 4);
    Value b = q % 3 ? Value::Float(static_cast<double>(rng() % 10)) : RandomScalar(rng);
    const Value* equal[1] = {&a};
    IndexComparison next{&b, static_cast<CompareOp>(2 + rng() % 4)};
    std::optional<ScalarRange> range = scalar_range_for_comparisons({&next, 1});
    KeyList got = compound_index_scan(engine, view, "c", fields, equal, {&next, 1}).value();
    if (!range) {
      EXPECT_FALSE(got.has_value());
      continue;
    }
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, ModelRange(docs, fields, *compound_key(equal), *range));
    // The leading field alone: every document whose a equals.
    KeyList lead = compound_index_scan(engine, view, "c", fields, equal, {}).value();
    std::vector<std::string> want;
    for (const auto& [k, doc] : docs) {
      const Value* va = get_path(doc, "a");
      const Value* vb = get_path(doc, "b");
      if (va && vb && encode_scalar_key(*va) == encode_scalar_key(a) && encode_scalar_key(*vb)) want.push_back(k);
    }
    std::set<std::string> got_set(lead->begin(), lead->end());
    EXPECT_EQ(got_set, std::set<std::string>(want.begin(), want.end()));
  }
}

TEST(ScalarIndexTest, EntriesAndLookupsFollowTheModel) {
  std::mt19937_64 rng(11);
  auto engine = MemEngine();
  Docs model;
  for (int i = 0; i < 300; ++i) RandomWrite(*engine, model, rng);
  ASSERT_TRUE(create_scalar_index(*engine, "c", "v"));
  ASSERT_TRUE(create_scalar_index(*engine, "c", "n.v"));
  ASSERT_TRUE(create_compound_index(*engine, "c", {"a", "b"}));
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(round);
    ExpectEntries(*engine, scalar_namespace("c", "v"), model, {"v"});
    ExpectEntries(*engine, scalar_namespace("c", "n.v"), model, {"n.v"});
    ExpectEntries(*engine, compound_table_name("c", {"a", "b"}), model, {"a", "b"});
    CheckScalarLookups(*engine, model, "v", rng);
    CheckScalarLookups(*engine, model, "n.v", rng);
    CheckCompoundLookups(*engine, model, rng);
    for (int i = 0; i < 150; ++i) RandomWrite(*engine, model, rng);
  }
}

TEST(ScalarIndexTest, UniqueCheckThroughTheIndexAgreesWithTheScan) {
  std::mt19937_64 rng(5);
  auto indexed = MemEngine(), plain = MemEngine();
  std::vector<SchemaField> schema = {{"u", FieldType::kAny, false, true}, {"w", FieldType::kAny, false, true}};
  for (Engine* e : {indexed.get(), plain.get()}) ASSERT_TRUE(set_schema(*e, "c", schema));
  ASSERT_TRUE(create_scalar_index(*indexed, "c", "u"));
  const Value pool[] = {Value::Int(1), Value::Float(1.0), Value::Float(std::nan("")), Value::Float(-0.0),
                        Value::Float(0.0), Value::Text("x"), Value::Bool(true), Value::Bytes("b")};
  Docs model;
  int refused = 0;
  for (int i = 0; i < 400; ++i) {
    std::string key = "k" + std::to_string(rng() % 12);
    Value doc = Doc({{"u", pool[rng() % 8]}, {"w", Value::Int(rng() % 40)}});
    bool conflict = false;
    for (const auto& [k, other] : model)
      for (const char* f : {"u", "w"})
        conflict = conflict || (k != key && values_same(*get_path(other, f), *get_path(doc, f)));
    auto a = insert(*indexed, "c", key, doc);
    auto b = insert(*plain, "c", key, doc);
    ASSERT_EQ(a.has_value(), !conflict);
    ASSERT_EQ(b.has_value(), !conflict);
    if (conflict) {
      ++refused;
      EXPECT_EQ(a.error().Message(), b.error().Message());
    } else {
      model[key] = doc;
    }
  }
  EXPECT_GT(refused, 50);
  // A batch sees its own earlier pairs through the index.
  std::vector<std::pair<std::string, Value>> batch = {{"new1", Doc({{"u", Value::Text("fresh")}})},
                                                      {"new2", Doc({{"u", Value::Text("fresh")}})}};
  EXPECT_EQ(put_many(*indexed, "c", batch).error().kind(), ErrorKind::kSchemaViolation);
}

TEST(ScalarIndexTest, RebuildsLeaveNoStaleEntries) {
  auto engine = MemEngine();
  Docs model;
  for (int i = 0; i < 50; ++i) {
    model["k" + std::to_string(i)] = Doc({{"v", Value::Int(i % 5)}, {"a", Value::Int(i)}, {"b", Value::Int(1)}});
    ASSERT_TRUE(insert(*engine, "c", "k" + std::to_string(i), model["k" + std::to_string(i)]));
  }
  ASSERT_TRUE(create_scalar_index(*engine, "c", "v"));
  ASSERT_TRUE(create_compound_index(*engine, "c", {"a", "b"}));
  // Rows replaced behind the indexes' back (as a dump load writes them):
  // some lose the fields, one gets an unindexable value.
  for (int i = 0; i < 50; i += 3) {
    Value doc = i % 2 ? Doc({{"other", Value::Int(1)}}) : Doc({{"v", Value::Bytes("x")}, {"a", Value::Int(i)}});
    model["k" + std::to_string(i)] = doc;
    ASSERT_TRUE(put_row_once(engine->store(), "c", "k" + std::to_string(i), encode_value(doc)));
  }
  ASSERT_TRUE(create_scalar_index(*engine, "c", "v"));
  ASSERT_TRUE(create_compound_index(*engine, "c", {"a", "b"}));
  ExpectEntries(*engine, scalar_namespace("c", "v"), model, {"v"});
  ExpectEntries(*engine, compound_table_name("c", {"a", "b"}), model, {"a", "b"});
  // An ordered walk returns each document once.
  ReadTxn txn = engine->store().BeginRead().value();
  std::vector<std::string> walked;
  ASSERT_TRUE(scalar_range_rows(ReadView(txn), scalar_namespace("c", "v"), [&](std::string_view, auto& keys) {
    walked.insert(walked.end(), keys.begin(), keys.end());
    return Result<bool>(true);
  }));
  EXPECT_EQ(std::set<std::string>(walked.begin(), walked.end()).size(), walked.size());
  EXPECT_EQ(walked.size(), ExpectedRows(model, {"v"}).size() / 2);
}

TEST(ScalarIndexTest, CompoundCoveringState) {
  auto engine = MemEngine();
  ASSERT_TRUE(insert(*engine, "c", "x", Doc({{"a", Value::Int(1)}})));  // lacks b
  ASSERT_TRUE(insert(*engine, "c", "y", Doc({{"a", Value::Int(1)}, {"b", Value::Int(2)}})));
  const std::vector<std::string> ab = {"a", "b"};
  ASSERT_TRUE(create_compound_index(*engine, "c", ab));
  auto state = [&] { return *read_index_state_once(engine->store(), kCompoundRegistry, compound_registry_key("c", ab)).value(); };
  EXPECT_EQ(state(), (IndexState{"\x02", std::nullopt}));
  EXPECT_FALSE(find_compound_index(*engine, "c", ab).value());
  EXPECT_TRUE(has_compound_index(*engine, "c", ab).value());
  ASSERT_TRUE(delete_document(*engine, "c", "x"));
  ASSERT_TRUE(create_compound_index(*engine, "c", ab));  // rebuild without the miss
  EXPECT_EQ(state(), (IndexState{"\x01", std::nullopt}));
  EXPECT_TRUE(find_compound_index(*engine, "c", ab).value());
  ASSERT_TRUE(insert(*engine, "c", "z", Doc({{"a", Value::Int(3)}, {"b", Value::Bytes("")}})));
  EXPECT_EQ(state(), (IndexState{std::string(1, '\0'), std::nullopt}));
  EXPECT_FALSE(find_compound_index(*engine, "c", ab).value());
  ASSERT_TRUE(delete_document(*engine, "c", "z"));
  EXPECT_FALSE(find_compound_index(*engine, "c", ab).value());
}

TEST(ScalarIndexTest, DeclarationsAreChecked) {
  auto engine = MemEngine();
  auto kind = [](const Status& s) { return s ? ErrorKind{} : s.error().kind(); };
  EXPECT_EQ(kind(create_scalar_index(*engine, "__c", "f")), ErrorKind::kReservedCollection);
  EXPECT_EQ(kind(create_scalar_index(*engine, "c", "a__b")), ErrorKind::kInvalidName);
  ASSERT_TRUE(create_scalar_index(*engine, "a_", "b"));
  EXPECT_EQ(kind(create_scalar_index(*engine, "a", "_b")), ErrorKind::kInvalidName);
  ASSERT_TRUE(create_scalar_index(*engine, "a_", "b"));  // the same declaration again is fine
  EXPECT_EQ(kind(create_compound_index(*engine, "c", {})), ErrorKind::kInvalidArgument);
  EXPECT_EQ(kind(create_compound_index(*engine, "c", {"a\x01" "b"})), ErrorKind::kInvalidName);
  EXPECT_EQ(kind(create_compound_index(*engine, "c", {"a", std::string("x\0y", 3)})), ErrorKind::kInvalidName);
  ASSERT_TRUE(create_compound_index(*engine, "c_", {"x", "y"}));
  EXPECT_EQ(kind(create_compound_index(*engine, "c", {"_x", "y"})), ErrorKind::kInvalidName);
  ASSERT_TRUE(create_compound_index(*engine, "c_", {"y", "x"}));  // order is identity
  EXPECT_EQ(compound_indexes_of(*engine, "c_").value().size(), 2u);
  EXPECT_TRUE(compound_indexes_of(*engine, "c").value().empty());
}

TEST(ScalarIndexTest, OrderedReads) {
  auto engine = MemEngine();
  for (auto [key, v] : {std::pair{"p", 1}, {"q", 1}, {"r", 2}, {"s", 3}, {"t", 3}})
    ASSERT_TRUE(insert(*engine, "c", key, Doc({{"v", Value::Int(v)}})));
  ASSERT_TRUE(insert(*engine, "c", "nan", Doc({{"v", Value::Float(std::nan(""))}})));
  ASSERT_TRUE(create_scalar_index(*engine, "c", "v"));
  const std::string ns = scalar_namespace("c", "v");
  {
    ReadTxn txn = engine->store().BeginRead().value();
    auto groups = scalar_range_keys(ReadView(txn), ns, 3).value();
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0].keys, (std::vector<std::string>{"r"}));
    EXPECT_EQ(groups[1].keys, (std::vector<std::string>{"s", "t"}));
    EXPECT_EQ(scalar_range_keys(ReadView(txn), ns, std::nullopt).value().size(), 3u);  // NaN skipped
  }
  ASSERT_TRUE(put_row_once(engine->store(), ns, std::string("\x02\0\0", 3), ""));
  ReadTxn txn = engine->store().BeginRead().value();
  auto r = scalar_range_keys(ReadView(txn), ns, std::nullopt);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().Message(),
            "corrupt index state: numeric index key payload is not 8 bytes in index namespace '__scalar__c__v': [2, 0, 0]");
}

}  // namespace
}  // namespace pallix
