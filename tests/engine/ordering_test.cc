#include "query/ordering.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <tuple>

#include "tests/engine/test_util.h"

namespace pallix {
namespace {

using test::Doc;

const double kNan = std::numeric_limits<double>::quiet_NaN();

QueryRow RowWith(std::string key, std::optional<Value> v) {
  ValueMap m;
  if (v) m.Set("f", std::move(*v));
  m.Set("other", Value::Int(0));
  return QueryRow{std::move(key), Value::Map(std::move(m)), 0.0f};
}

std::vector<std::string> Keys(const std::vector<QueryRow>& rows) {
  std::vector<std::string> out;
  for (const auto& r : rows) out.push_back(r.key);
  return out;
}

TEST(Ordering, MixedKindsAscendingAndDescending) {
  std::vector<QueryRow> rows = {RowWith("k1", Value::Int(3)), RowWith("k2", Value::Text("a")),
                                RowWith("k3", Value::Float(1.5)), RowWith("k4", Value::Null()),
                                RowWith("k5", std::nullopt), RowWith("k6", Value::Bool(true))};
  std::vector<QueryRow> asc = rows;
  sort_rows_by_order(asc, "f", false);
  EXPECT_EQ(Keys(asc), (std::vector<std::string>{"k3", "k1", "k2", "k4", "k6", "k5"}));
  std::vector<QueryRow> desc = rows;
  sort_rows_by_order(desc, "f", true);
  EXPECT_EQ(Keys(desc), (std::vector<std::string>{"k2", "k1", "k3", "k4", "k6", "k5"}));
}

TEST(Ordering, EqualNumbersAndMissingFieldsFallToKeys) {
  std::vector<QueryRow> rows = {RowWith("b", Value::Int(2)), RowWith("a", Value::Float(2.0)),
                                RowWith("d", std::nullopt), RowWith("c", std::nullopt)};
  for (bool desc : {false, true}) {
    auto r = rows;
    sort_rows_by_order(r, "f", desc);
    EXPECT_EQ(Keys(r), (std::vector<std::string>{"a", "b", "c", "d"}));
  }
}

TEST(Ordering, NanSitsWithUnorderableValues) {
  std::vector<QueryRow> rows = {RowWith("n", Value::Null()), RowWith("z", Value::Float(kNan)),
                                RowWith("i", Value::Int(9))};
  auto asc = rows;
  sort_rows_by_order(asc, "f", false);
  EXPECT_EQ(Keys(asc), (std::vector<std::string>{"i", "z", "n"}));
  auto desc = rows;
  sort_rows_by_order(desc, "f", true);
  EXPECT_EQ(Keys(desc), (std::vector<std::string>{"i", "n", "z"}));
}

TEST(Ordering, KeysCompareAsUnsignedBytesThenLength) {
  Value one = Value::Int(1);
  EXPECT_TRUE(compare_rows_for_order(&one, &one, true, "a", "ab") < 0);
  EXPECT_TRUE(compare_rows_for_order(&one, &one, true, "\x7f", "\x80") < 0);
  EXPECT_TRUE(compare_rows_for_order(nullptr, nullptr, false, "k", "k") == 0);
}

// The model: a sort key per row, lexicographic. Values are drawn so that
// every number is exactly representable both ways.
struct ModelKey {
  int cls;
  int group;  // 0 number, 1 other
  double num;
  std::string text;
  std::string key;
};

ModelKey ModelOf(const QueryRow& row, bool desc) {
  const Value* v = nullptr;
  for (const auto& e : row.document.as_map()) if (e.key == "f") v = &e.value;
  ModelKey k{2, 0, 0, "", row.key};
  if (v == nullptr) return k;
  bool num = v->is_int() || v->is_float();
  bool nan = v->is_float() && std::isnan(v->as_float());
  k.cls = (v->is_int() || v->is_text() || (v->is_float() && !nan)) ? 0 : 1;
  k.group = num ? 0 : 1;
  if (k.cls == 0) {
    if (num) k.num = v->is_int() ? static_cast<double>(v->as_int()) : v->as_float();
    else k.text = v->as_text();
  }
  if (desc) {
    k.group = -k.group;
    k.num = -k.num;
  }
  return k;
}

bool ModelLess(const ModelKey& a, const ModelKey& b, bool desc) {
  if (a.cls != b.cls) return a.cls < b.cls;
  if (a.group != b.group) return a.group < b.group;
  if (a.num != b.num) return a.num < b.num;
  if (a.text != b.text) return desc ? a.text > b.text : a.text < b.text;
  return a.key < b.key;
}

TEST(Ordering, AgreesWithModelOnRandomRows) {
  std::mt19937 rng(42);
  const std::vector<std::optional<Value>> pool = {
      Value::Int(-2), Value::Int(0), Value::Int(5), Value::Float(-0.0), Value::Float(0.0), Value::Float(5.0),
      Value::Float(2.5), Value::Float(-std::numeric_limits<double>::infinity()), Value::Float(kNan),
      Value::Text(""), Value::Text("a"), Value::Text("ab"), Value::Text("\xc3\xa9"), Value::Null(),
      Value::Bool(false), Value::Bytes("a"), Value::Array({}), Value::Vector({1.0f}), std::nullopt};
  for (int round = 0; round < 300; ++round) {
    std::vector<QueryRow> rows;
    size_t n = rng() % 60;
    for (size_t i = 0; i < n; ++i) {
      std::string key(1 + rng() % 3, 'a');
      for (char& c : key) c = static_cast<char>('a' + rng() % 3);
      rows.push_back(RowWith(key + std::to_string(i), pool[rng() % pool.size()]));
    }
    bool desc = rng() % 2;
    auto got = rows;
    sort_rows_by_order(got, "f", desc);
    auto want = rows;
    std::sort(want.begin(), want.end(), [&](const QueryRow& a, const QueryRow& b) {
      return ModelLess(ModelOf(a, desc), ModelOf(b, desc), desc);
    });
    ASSERT_EQ(Keys(got), Keys(want)) << "round " << round;
  }
}

TEST(Ordering, SortByOrderLooksDocumentsUp) {
  // Fused candidates carry only keys; documents come from a lookup.
  std::vector<std::pair<std::string, Value>> docs = {{"x", Doc({{"f", Value::Int(2)}})},
                                                     {"y", Doc({{"f", Value::Int(1)}})}};
  std::vector<std::string> keys = {"x", "gone", "y"};
  auto doc_of = [&](const std::string& k) -> const Value* {
    for (auto& [key, d] : docs) if (key == k) return &d;
    return nullptr;
  };
  SortByOrder(keys, "f", false, doc_of, [](const std::string& k) { return std::string_view(k); });
  EXPECT_EQ(keys, (std::vector<std::string>{"y", "x", "gone"}));
}

TEST(Window, OffsetThenLimit) {
  std::mt19937 rng(3);
  for (int round = 0; round < 500; ++round) {
    std::vector<int> rows(rng() % 12);
    for (size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<int>(i);
    uint64_t offset = rng() % 15;
    std::optional<uint64_t> limit;
    if (rng() % 3) limit = rng() % 15;
    std::vector<int> want;
    for (size_t i = 0; i < rows.size(); ++i)
      if (i >= offset && (!limit || i < offset + *limit)) want.push_back(static_cast<int>(i));
    apply_window(rows, offset, limit);
    ASSERT_EQ(rows, want);
  }
  std::vector<int> ten = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  apply_window(ten, 2, 3);
  EXPECT_EQ(ten, (std::vector<int>{2, 3, 4}));
  std::vector<int> huge = {1, 2};
  apply_window(huge, std::numeric_limits<uint64_t>::max(), std::numeric_limits<uint64_t>::max());
  EXPECT_TRUE(huge.empty());
  std::vector<int> none = {1, 2};
  apply_window(none, 0, 0);
  EXPECT_TRUE(none.empty());
}

}  // namespace
}  // namespace pallix
