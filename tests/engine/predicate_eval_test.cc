#include "query/predicate_eval.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <random>

#include "query/byte_search.h"
#include "query/row_filter.h"
#include "index/geo.h"
#include "tests/engine/test_util.h"

namespace pallix {
namespace {

using test::Doc;

const double kNan = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// ------------------------------------------------------------ the model
// An independent reading of the truth rules, recursive and plain: small
// random trees only.

const Value* ModelGet(const Value& doc, const std::string& path) {
  if (path.empty()) return nullptr;
  const Value* cur = &doc;
  size_t start = 0;
  while (true) {
    size_t dot = path.find('.', start);
    std::string seg = path.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
    if (!cur->is_map()) return nullptr;
    const Value* next = nullptr;
    for (const auto& e : cur->as_map()) if (e.key == seg) next = &e.value;
    if (next == nullptr) return nullptr;
    if (dot == std::string::npos) return next;
    cur = next;
    start = dot + 1;
  }
}

bool IsNum(const Value& v) { return v.is_int() || v.is_float(); }

// -1, 0, 1, or nullopt when incomparable.
std::optional<int> ModelCmp(const Value& a, const Value& b) {
  if (a.is_int() && b.is_int()) return a.as_int() < b.as_int() ? -1 : a.as_int() > b.as_int() ? 1 : 0;
  if (IsNum(a) && IsNum(b)) {
    double x = a.is_int() ? static_cast<double>(a.as_int()) : a.as_float();
    double y = b.is_int() ? static_cast<double>(b.as_int()) : b.as_float();
    if (std::isnan(x) || std::isnan(y)) return std::nullopt;
    return x < y ? -1 : x > y ? 1 : 0;
  }
  if (a.is_text() && b.is_text()) {
    const std::string& s = a.as_text();
    const std::string& t = b.as_text();
    int c = std::memcmp(s.data(), t.data(), std::min(s.size(), t.size()));
    if (c != 0) return c < 0 ? -1 : 1;
    return s.size() < t.size() ? -1 : s.size() > t.size() ? 1 : 0;
  }
  return std::nullopt;
}

bool ModelStructEq(const Value& a, const Value& b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case ValueKind::kNull: return true;
    case ValueKind::kBool: return a.as_bool() == b.as_bool();
    case ValueKind::kInt: return a.as_int() == b.as_int();
    case ValueKind::kFloat: return a.as_float() == b.as_float();
    case ValueKind::kText: return a.as_text() == b.as_text();
    case ValueKind::kBytes: return a.as_bytes() == b.as_bytes();
    case ValueKind::kVector: return a.as_vector() == b.as_vector();
    case ValueKind::kArray: {
      if (a.as_array().size() != b.as_array().size()) return false;
      for (size_t i = 0; i < a.as_array().size(); ++i)
        if (!ModelStructEq(a.as_array()[i], b.as_array()[i])) return false;
      return true;
    }
    case ValueKind::kMap: {
      const auto& x = a.as_map().entries();
      const auto& y = b.as_map().entries();
      if (x.size() != y.size()) return false;
      for (size_t i = 0; i < x.size(); ++i)
        if (x[i].key != y[i].key || !ModelStructEq(x[i].value, y[i].value)) return false;
      return true;
    }
  }
  return false;
}

bool ModelEqual(const Value& v, const Value& x) {
  if (IsNum(v) && IsNum(x)) return ModelCmp(v, x) == 0;
  return ModelStructEq(v, x);
}

std::optional<std::pair<double, double>> ModelPoint(const Value& v) {
  if (v.is_array() && v.as_array().size() == 2 && IsNum(v.as_array()[0]) && IsNum(v.as_array()[1]))
    return std::pair{v.as_array()[0].as_number(), v.as_array()[1].as_number()};
  if (v.is_map()) {
    const Value* la = ModelGet(v, "lat");
    const Value* lo = ModelGet(v, "lon");
    if (la && lo && IsNum(*la) && IsNum(*lo)) return std::pair{la->as_number(), lo->as_number()};
  }
  return std::nullopt;
}

bool ModelWithin(const WithinKmPred& w, const Value& v) {
  auto p = ModelPoint(v);
  if (!p) return false;
  double r = 0.017453292519943295;
  double dlat = (p->first - w.lat) * r;
  double dlon = (p->second - w.lon) * r;
  double a = std::pow(std::sin(dlat * 0.5), 2) + (std::cos(w.lat * r) * std::cos(p->first * r)) *
                                                     std::pow(std::sin(dlon * 0.5), 2);
  double s = std::sqrt(a);
  double d = std::asin(s < 1.0 || std::isnan(s) ? s : 1.0) * 12742.0176;
  return d <= w.radius_km;
}

bool Model(const Predicate& p, const Value& doc) {
  const auto& n = p.node();
  switch (p.kind()) {
    case PredicateKind::kAnd: return Model(*std::get<AndPred>(n).left, doc) && Model(*std::get<AndPred>(n).right, doc);
    case PredicateKind::kOr: return Model(*std::get<OrPred>(n).left, doc) || Model(*std::get<OrPred>(n).right, doc);
    case PredicateKind::kNot: return !Model(*std::get<NotPred>(n).inner, doc);
    default: break;
  }
  std::string path = std::visit([](const auto& l) -> std::string {
    if constexpr (requires { l.path; }) return l.path; else return "";
  }, n);
  const Value* v = ModelGet(doc, path);
  if (v == nullptr) return false;
  switch (p.kind()) {
    case PredicateKind::kCompare: {
      const auto& c = std::get<ComparePred>(n);
      auto o = ModelCmp(*v, c.value);
      switch (c.op) {
        case CompareOp::kEq: return ModelEqual(*v, c.value);
        case CompareOp::kNe: return !ModelEqual(*v, c.value);
        case CompareOp::kLt: return o && *o < 0;
        case CompareOp::kLe: return o && *o <= 0;
        case CompareOp::kGt: return o && *o > 0;
        case CompareOp::kGe: return o && *o >= 0;
      }
      return false;
    }
    case PredicateKind::kExists: return true;
    case PredicateKind::kIn: {
      for (const Value& x : std::get<InPred>(n).values) if (ModelEqual(*v, x)) return true;
      return false;
    }
    case PredicateKind::kBetween: {
      const auto& b = std::get<BetweenPred>(n);
      auto lo = ModelCmp(*v, b.low);
      auto hi = ModelCmp(*v, b.high);
      return lo && *lo >= 0 && hi && *hi <= 0;
    }
    case PredicateKind::kStartsWith: {
      const auto& pre = std::get<StartsWithPred>(n).prefix;
      return v->is_text() && v->as_text().substr(0, pre.size()) == pre;
    }
    case PredicateKind::kContains:
      return v->is_text() && v->as_text().find(std::get<ContainsPred>(n).substring) != std::string::npos;
    case PredicateKind::kWithinKm: return ModelWithin(std::get<WithinKmPred>(n), *v);
    default: return false;
  }
}

// ------------------------------------------------------------ random data

std::vector<Value> Pool() {
  ValueMap pt;
  pt.Set("lat", Value::Int(1));
  pt.Set("lon", Value::Float(2.0));
  return {Value::Null(), Value::Bool(true), Value::Bool(false), Value::Int(-1), Value::Int(0), Value::Int(1),
          Value::Int(3), Value::Float(0.0), Value::Float(-0.0), Value::Float(1.0), Value::Float(2.5),
          Value::Float(kNan), Value::Float(kInf), Value::Float(-kInf), Value::Text(""), Value::Text("a"),
          Value::Text("ab"), Value::Text("b"), Value::Text("1"), Value::Text("\xc3\xa9t\xc3\xa9"),
          Value::Bytes("a"), Value::Array({Value::Int(1), Value::Float(2.0)}),
          Value::Array({Value::Float(1.0), Value::Int(2), Value::Int(3)}), Value::Map(pt),
          Value::Vector({1.0f, 2.0f})};
}

const std::vector<std::string> kPaths = {"a", "b", "c", "c.d", "x", "a.d", ""};

Value RandomDoc(std::mt19937& rng, const std::vector<Value>& pool) {
  auto pick = [&] { return pool[rng() % pool.size()]; };
  ValueMap m;
  if (rng() % 4) m.Set("a", pick());
  if (rng() % 4) m.Set("b", pick());
  if (rng() % 2) {
    ValueMap inner;
    if (rng() % 3) inner.Set("d", pick());
    m.Set("c", Value::Map(std::move(inner)));
  } else if (rng() % 2) {
    m.Set("c", pick());
  }
  return Value::Map(std::move(m));
}

Predicate RandomLeaf(std::mt19937& rng, const std::vector<Value>& pool) {
  auto pick = [&] { return pool[rng() % pool.size()]; };
  std::string path = kPaths[rng() % kPaths.size()];
  static const char* kTexts[] = {"", "a", "b", "ab", "\xc3", "\xc3\xa9", "A"};
  switch (rng() % 7) {
    case 0: return Predicate::Compare(path, static_cast<CompareOp>(rng() % 6), pick());
    case 1: return Predicate::Exists(path);
    case 2: {
      std::vector<Value> vs;
      for (size_t i = rng() % 3; i > 0; --i) vs.push_back(pick());
      return Predicate::In(path, std::move(vs));
    }
    case 3: return Predicate::Between(path, pick(), pick());
    case 4: return Predicate::StartsWith(path, kTexts[rng() % 7]);
    case 5: return Predicate::Contains(path, kTexts[rng() % 7]);
    default: {
      static const double kRadii[] = {0.0, 100.0, 250.0, 1e5, kNan};
      return Predicate::WithinKm(path, (rng() % 3) * 1.0, 2.0, kRadii[rng() % 5]);
    }
  }
}

Predicate RandomTree(std::mt19937& rng, const std::vector<Value>& pool, int depth) {
  if (depth == 0 || rng() % 3 == 0) return RandomLeaf(rng, pool);
  switch (rng() % 3) {
    case 0: return Predicate::And(RandomTree(rng, pool, depth - 1), RandomTree(rng, pool, depth - 1));
    case 1: return Predicate::Or(RandomTree(rng, pool, depth - 1), RandomTree(rng, pool, depth - 1));
    default: return Predicate::Not(RandomTree(rng, pool, depth - 1));
  }
}

TEST(PredicateEval, AgreesWithModelOnRandomTreesAndDocuments) {
  std::mt19937 rng(20261207);
  const std::vector<Value> pool = Pool();
  int held = 0;
  for (int round = 0; round < 4000; ++round) {
    Predicate tree = RandomTree(rng, pool, 4);
    for (int d = 0; d < 8; ++d) {
      Value doc = RandomDoc(rng, pool);
      bool want = Model(tree, doc);
      ASSERT_EQ(eval_predicate(tree, doc), want) << "round " << round << " doc " << d;
      held += want;
    }
  }
  // Both outcomes are well represented.
  EXPECT_GT(held, 4000);
  EXPECT_LT(held, 28000);
}

// A walk's row test on encoded rows gives the model's truth, whether the
// filters read whole top-level fields (tested on those fields' bytes alone)
// or paths below one (a partial decode), and hands back the bytes of the
// fields the walk names either way.
TEST(PredicateEval, RowTestOnEncodedRowsAgreesWithModel) {
  std::mt19937 rng(20261208);
  const std::vector<Value> pool = Pool();
  const std::vector<std::string_view> fields = {"b", "c"};
  int top_level = 0;
  for (int round = 0; round < 2000; ++round) {
    std::vector<Predicate> filters;
    for (int i = static_cast<int>(rng() % 3); i > 0; --i) filters.push_back(RandomTree(rng, pool, 3));
    const RowFilter filter(filters, {fields.begin(), fields.end()});
    RowFilter::RawScratch scratch = filter.NewRawScratch(fields);
    top_level += scratch.filter_fields > 0;
    for (int d = 0; d < 6; ++d) {
      const Value doc = RandomDoc(rng, pool);
      const std::string bytes = encode_value(doc);
      bool want = true;
      for (const Predicate& f : filters) want = want && Model(f, doc);
      std::string_view raw[2];
      Result<bool> got = filter.PassesRaw(bytes, scratch, raw);
      ASSERT_TRUE(got.has_value()) << got.error().Message();
      ASSERT_EQ(*got, want) << "round " << round << " doc " << d;
      for (size_t i = 0; i < 2; ++i) {
        const Value* at = doc.as_map().Find(fields[i]);
        ASSERT_EQ(at == nullptr, raw[i].empty());
        if (at != nullptr) {
          EXPECT_EQ(raw[i], encode_value(*at));
        }
      }
    }
  }
  EXPECT_GT(top_level, 200);
}

// Filters that are all orderings of a top-level field against a literal
// (most against a number, which the row test compares on the field's
// stored bytes) give the model's truth on every row, whatever the field
// holds: an Int, a Float (NaN, -0.0, infinities), another kind, nothing.
TEST(PredicateEval, OrderingsOnStoredNumbersAgreeWithModel) {
  std::mt19937 rng(20261209);
  const std::vector<Value> pool = Pool();
  const CompareOp ops[] = {CompareOp::kLt, CompareOp::kLe, CompareOp::kGt, CompareOp::kGe, CompareOp::kEq};
  const std::vector<std::string_view> fields = {"c"};
  int held = 0, rows = 0;
  for (int round = 0; round < 3000; ++round) {
    std::vector<Predicate> filters;
    for (int i = 1 + static_cast<int>(rng() % 2); i > 0; --i) {
      // Mostly numbers; now and then a text or an equality, which the
      // general test decides.
      const Value literal = rng() % 8 == 0 ? pool[rng() % pool.size()] : pool[3 + rng() % 11];
      const CompareOp op = ops[rng() % (rng() % 8 == 0 ? 5 : 4)];
      filters.push_back(Predicate::Compare(rng() % 2 ? "a" : "b", op, literal));
    }
    const RowFilter filter(filters, {fields.begin(), fields.end()});
    RowFilter::RawScratch scratch = filter.NewRawScratch(fields);
    for (int d = 0; d < 8; ++d) {
      const Value doc = RandomDoc(rng, pool);
      bool want = true;
      for (const Predicate& f : filters) want = want && Model(f, doc);
      std::string_view raw[1];
      Result<bool> got = filter.PassesRaw(encode_value(doc), scratch, raw);
      ASSERT_TRUE(got.has_value()) << got.error().Message();
      ASSERT_EQ(*got, want) << "round " << round << " doc " << d;
      held += want;
      ++rows;
    }
  }
  // Both outcomes occur (most random fields hold no number).
  EXPECT_GT(held, rows / 20);
  EXPECT_LT(held, rows / 2);
}

// Rows of one layout (a number, a text, a vector) tested one after the
// other, as a walk meets them: once the first row has taught the layout,
// every row whose filtered fields hold numbers is answered on it
// (PassesOnLayout), with the model's truth and the field views the full
// test hands back; a row holding another kind there (a text of the same
// key) is left to PassesRaw, which gives the model's truth too. The numbers
// sit at the edges of the orders: equal to the literal, NaN, -0.0,
// infinities, Ints beyond a double's precision against Floats and Ints.
TEST(PredicateEval, OrderingsOnOneLayoutAgreeWithModel) {
  std::mt19937_64 rng(20261210);
  const std::vector<Value> numbers = {
      Value::Int(0),         Value::Int(-1),        Value::Int(7),           Value::Int(8),
      Value::Int(INT64_MAX), Value::Int(INT64_MIN), Value::Int(9007199254740993),
      Value::Float(9007199254740992.0),             Value::Float(7.0),       Value::Float(7.5),
      Value::Float(0.0),     Value::Float(-0.0),    Value::Float(kNan),      Value::Float(kInf),
      Value::Float(-kInf)};
  const CompareOp ops[] = {CompareOp::kLt, CompareOp::kLe, CompareOp::kGt, CompareOp::kGe};
  const std::vector<std::string_view> fields = {"emb", "text"};
  int on_layout = 0, held = 0, rows = 0;
  for (int round = 0; round < 400; ++round) {
    std::vector<Predicate> filters;
    for (int i = 1 + static_cast<int>(rng() % 2); i > 0; --i)
      filters.push_back(Predicate::Compare(i == 1 ? "length" : "n", ops[rng() % 4], numbers[rng() % numbers.size()]));
    const RowFilter filter(filters, {fields.begin(), fields.end()});
    RowFilter::RawScratch scratch = filter.NewRawScratch(fields);
    std::optional<std::pair<ValueKind, ValueKind>> last_kinds;  // none before the first row
    // Each field holds mostly one kind of number in a round, as a
    // collection's rows mostly do; now and then the other.
    const bool length_ints = rng() % 2 == 0, n_ints = rng() % 2 == 0;
    auto draw = [&](bool ints) {
      const size_t first_float = 7;  // numbers[0, 7) are Ints, the rest Floats
      if (rng() % 8 == 0) ints = !ints;
      return ints ? numbers[rng() % first_float] : numbers[first_float + rng() % (numbers.size() - first_float)];
    };
    for (int d = 0; d < 40; ++d) {
      ValueMap m;
      m.Set("emb", Value::Vector(std::vector<float>(4, static_cast<float>(d))));
      // Now and then a text where the numbers are: the same layout's keys,
      // another kind of value.
      m.Set("length", rng() % 16 == 0 ? Value::Text("7") : draw(length_ints));
      m.Set("n", draw(n_ints));
      m.Set("text", Value::Text(std::string(rng() % 30, 'x')));
      const Value doc = Value::Map(std::move(m));
      const std::string bytes = encode_value(doc);
      bool want = true;
      for (const Predicate& f : filters) want = want && Model(f, doc);
      // The layout holds each value's kind: an Int after a Float is
      // another layout, which the full test learns.
      const std::pair<ValueKind, ValueKind> kinds{doc.as_map().Find("length")->kind(), doc.as_map().Find("n")->kind()};
      std::string_view raw[2];
      const std::optional<bool> quick = filter.PassesOnLayout(bytes, scratch, raw);
      bool got;
      if (quick) {
        got = *quick;
        ++on_layout;
      } else {
        EXPECT_FALSE(kinds == last_kinds && !doc.as_map().Find("length")->is_text() &&
                     !doc.as_map().Find("n")->is_text())
            << "round " << round << " row " << d << ": a row of numbers on a known layout took the full test";
        Result<bool> full = filter.PassesRaw(bytes, scratch, raw);
        ASSERT_TRUE(full.has_value()) << full.error().Message();
        got = *full;
      }
      ASSERT_EQ(got, want) << "round " << round << " row " << d;
      for (size_t i = 0; i < 2; ++i) EXPECT_EQ(raw[i], encode_value(*doc.as_map().Find(fields[i])));
      held += want;
      ++rows;
      last_kinds = kinds;
    }
  }
  EXPECT_GT(on_layout, rows / 2);
  EXPECT_GT(held, rows / 10);
  EXPECT_LT(held, rows * 9 / 10);
}

TEST(PredicateEval, EqualityRules) {
  Value one_f = Doc({{"f", Value::Float(1.0)}});
  Value one_i = Doc({{"f", Value::Int(1)}});
  Value nan = Doc({{"f", Value::Float(kNan)}});
  Value neg0 = Doc({{"f", Value::Float(-0.0)}});
  Value text1 = Doc({{"f", Value::Text("1")}});
  Value null = Doc({{"f", Value::Null()}});
  Value missing = Doc({{"g", Value::Int(1)}});
  auto eq = [](Value v) { return Predicate::Compare("f", CompareOp::kEq, std::move(v)); };
  auto ne = [](Value v) { return Predicate::Compare("f", CompareOp::kNe, std::move(v)); };
  EXPECT_TRUE(eval_predicate(eq(Value::Int(1)), one_f));
  EXPECT_TRUE(eval_predicate(eq(Value::Int(1)), one_i));
  EXPECT_TRUE(eval_predicate(Predicate::In("f", {Value::Int(1)}), one_f));
  EXPECT_FALSE(eval_predicate(eq(Value::Float(kNan)), nan));
  EXPECT_TRUE(eval_predicate(ne(Value::Float(kNan)), nan));
  EXPECT_TRUE(eval_predicate(ne(Value::Float(kNan)), null));
  EXPECT_FALSE(eval_predicate(ne(Value::Float(kNan)), missing));
  EXPECT_TRUE(eval_predicate(eq(Value::Float(0.0)), neg0));
  EXPECT_FALSE(eval_predicate(eq(Value::Text("1")), one_i));
  EXPECT_FALSE(eval_predicate(eq(Value::Int(1)), text1));
  EXPECT_TRUE(eval_predicate(eq(Value::Null()), null));
  EXPECT_FALSE(eval_predicate(eq(Value::Null()), missing));
  EXPECT_FALSE(eval_predicate(ne(Value::Float(1.0)), one_i));
  EXPECT_TRUE(eval_predicate(Predicate::Not(eq(Value::Int(1))), missing));
  EXPECT_TRUE(eval_predicate(Predicate::Not(ne(Value::Int(1))), missing));
  EXPECT_FALSE(eval_predicate(Predicate::In("f", {}), one_i));
}

TEST(PredicateEval, OrderingComparisonsAndBetween) {
  auto doc = [](Value v) { return Doc({{"f", std::move(v)}}); };
  auto gt3 = Predicate::Compare("f", CompareOp::kGt, Value::Int(3));
  for (Value v : {Value::Text("9"), Value::Bool(true), Value::Null()}) EXPECT_FALSE(eval_predicate(gt3, doc(v)));
  auto lt_b = Predicate::Compare("f", CompareOp::kLt, Value::Text("b"));
  EXPECT_TRUE(eval_predicate(lt_b, doc(Value::Text("a"))));
  EXPECT_TRUE(eval_predicate(lt_b, doc(Value::Text("ab"))));
  EXPECT_FALSE(eval_predicate(lt_b, doc(Value::Text("b"))));
  EXPECT_FALSE(eval_predicate(lt_b, doc(Value::Int(0))));
  auto between = Predicate::Between("f", Value::Int(1), Value::Int(3));
  for (Value v : {Value::Int(1), Value::Float(2.5), Value::Int(3)}) EXPECT_TRUE(eval_predicate(between, doc(v)));
  for (Value v : {Value::Float(3.0000001), Value::Float(kNan), Value::Text("2")})
    EXPECT_FALSE(eval_predicate(between, doc(v)));
  auto reversed = Predicate::Between("f", Value::Int(3), Value::Int(1));
  for (int i = 0; i <= 4; ++i) EXPECT_FALSE(eval_predicate(reversed, doc(Value::Int(i))));
}

TEST(PredicateEval, TextLeaves) {
  auto doc = [](Value v) { return Doc({{"f", std::move(v)}}); };
  EXPECT_TRUE(eval_predicate(Predicate::StartsWith("f", ""), doc(Value::Text(""))));
  EXPECT_FALSE(eval_predicate(Predicate::StartsWith("f", ""), doc(Value::Bytes("x"))));
  EXPECT_TRUE(eval_predicate(Predicate::Contains("f", ""), doc(Value::Text("x"))));
  EXPECT_FALSE(eval_predicate(Predicate::Contains("f", ""), doc(Value::Bytes("x"))));
  EXPECT_FALSE(eval_predicate(Predicate::Contains("f", "A"), doc(Value::Text("abc"))));
  EXPECT_TRUE(eval_predicate(Predicate::Contains("f", "\xc3\xa9"), doc(Value::Text("caf\xc3\xa9!"))));
  EXPECT_FALSE(eval_predicate(Predicate::Contains("f", "abcd"), doc(Value::Text("abc"))));
  EXPECT_TRUE(eval_predicate(Predicate::Contains("f", "abc"), doc(Value::Text("abc"))));
  EXPECT_FALSE(eval_predicate(Predicate::Contains("f", "a"), doc(Value::Array({Value::Text("a")}))));
  EXPECT_TRUE(eval_predicate(Predicate::StartsWith("f", "ca"), doc(Value::Text("cat"))));
  EXPECT_FALSE(eval_predicate(Predicate::StartsWith("f", "Ca"), doc(Value::Text("cat"))));
}

TEST(PredicateEval, ExistsAndPaths) {
  Value d = Doc({{"n", Value::Null()}, {"arr", Value::Array({Value::Int(5)})},
                 {"m", Doc({{"k", Value::Int(1)}})}});
  EXPECT_TRUE(eval_predicate(Predicate::Exists("n"), d));
  EXPECT_FALSE(eval_predicate(Predicate::Exists("arr.0"), d));
  EXPECT_TRUE(eval_predicate(Predicate::Exists("m.k"), d));
  EXPECT_FALSE(eval_predicate(Predicate::Exists("m.k.z"), d));
  EXPECT_FALSE(eval_predicate(Predicate::Exists(""), d));
}

TEST(PredicateEval, WithinKm) {
  auto doc = [](Value v) { return Doc({{"p", std::move(v)}}); };
  ValueMap ints;
  ints.Set("lat", Value::Int(10));
  ints.Set("lon", Value::Int(20));
  ints.Set("name", Value::Text("x"));
  EXPECT_TRUE(eval_predicate(Predicate::WithinKm("p", 10, 20, 0.0), doc(Value::Map(ints))));
  EXPECT_TRUE(eval_predicate(Predicate::WithinKm("p", 10, 20, 0.0), doc(Value::Array({Value::Int(10), Value::Int(20)}))));
  EXPECT_FALSE(eval_predicate(Predicate::WithinKm("p", 10, 20, 1e9),
                              doc(Value::Array({Value::Int(10), Value::Int(20), Value::Int(0)}))));
  EXPECT_FALSE(eval_predicate(Predicate::WithinKm("p", 10, 20, 1e9), doc(Value::Array({Value::Text("10"), Value::Int(20)}))));
  EXPECT_FALSE(eval_predicate(Predicate::WithinKm("p", 10, 20, kNan), doc(Value::Map(ints))));
  EXPECT_FALSE(eval_predicate(Predicate::WithinKm("p", kNan, 20, 1e9), doc(Value::Map(ints))));
  // One degree of latitude: 12742.0176 * pi / 360 km.
  double one_degree = haversine_km(0, 0, GeoPoint{1, 0});
  EXPECT_NEAR(one_degree, 12742.0176 * M_PI / 360.0, 1e-9);
  EXPECT_TRUE(eval_predicate(Predicate::WithinKm("p", 0, 0, one_degree), doc(Value::Array({Value::Int(1), Value::Int(0)}))));
  EXPECT_FALSE(eval_predicate(Predicate::WithinKm("p", 0, 0, std::nextafter(one_degree, 0.0)),
                              doc(Value::Array({Value::Int(1), Value::Int(0)}))));
  // Antipodes: sqrt(a) reaches 1, the distance is half the circumference.
  EXPECT_NEAR(haversine_km(0, 0, GeoPoint{0, 180}), 12742.0176 * M_PI / 2, 1e-6);
}

TEST(PredicateEval, GeoPointsFromArraysAndMaps) {
  auto pt = geo_point_from_value(Value::Array({Value::Int(10), Value::Int(20)}));
  ASSERT_TRUE(pt);
  EXPECT_EQ(pt->lat, 10.0);
  EXPECT_EQ(pt->lon, 20.0);
  pt = geo_point_from_value(Doc({{"lat", Value::Float(1.5)}, {"lon", Value::Int(2)}, {"name", Value::Text("x")}}));
  ASSERT_TRUE(pt);
  EXPECT_EQ(pt->lat, 1.5);
  EXPECT_EQ(pt->lon, 2.0);
  EXPECT_FALSE(geo_point_from_value(Value::Array({Value::Int(1), Value::Int(2), Value::Int(3)})));
  EXPECT_FALSE(geo_point_from_value(Value::Array({Value::Int(1)})));
  EXPECT_FALSE(geo_point_from_value(Value::Array({Value::Text("1"), Value::Int(2)})));
  EXPECT_FALSE(geo_point_from_value(Doc({{"lat", Value::Int(1)}})));
  EXPECT_FALSE(geo_point_from_value(Value::Vector({1.0f, 2.0f})));
  // No range check: a latitude outside [-90, 90] enters the formula as is.
  EXPECT_TRUE(geo_point_from_value(Value::Array({Value::Int(200), Value::Float(kNan)})));
}

TEST(PredicateEval, ShortCircuitSkipsTheRightChild) {
  // A right child that would hold proves nothing; use the model's view of
  // whole-tree truth with right children whose truth differs.
  Value d = Doc({{"a", Value::Int(1)}});
  Predicate yes = Predicate::Exists("a");
  Predicate no = Predicate::Exists("z");
  EXPECT_TRUE(eval_predicate(Predicate::Or(yes, no), d));
  EXPECT_FALSE(eval_predicate(Predicate::And(no, yes), d));
  EXPECT_TRUE(eval_predicate(Predicate::Or(no, yes), d));
  EXPECT_FALSE(eval_predicate(Predicate::And(yes, no), d));
}

TEST(PredicateEval, FilterListStopsAtFirstFalse) {
  Value d = Doc({{"a", Value::Int(1)}});
  std::vector<Predicate> filters;
  EXPECT_TRUE(EvalFilters(filters, d));
  filters.push_back(Predicate::Exists("a"));
  EXPECT_TRUE(EvalFilters(filters, d));
  filters.push_back(Predicate::Exists("b"));
  EXPECT_FALSE(EvalFilters(filters, d));
}

TEST(PredicateEval, FlattenOr) {
  Predicate a = Predicate::Exists("a"), b = Predicate::Exists("b"), c = Predicate::Exists("c"),
            d = Predicate::Exists("d");
  Predicate tree = Predicate::Or(Predicate::Or(a, b), Predicate::And(c, d));
  std::vector<const Predicate*> out;
  flatten_or(tree, out);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_TRUE(out[0]->SameAs(a));
  EXPECT_TRUE(out[1]->SameAs(b));
  EXPECT_TRUE(out[2]->SameAs(Predicate::And(c, d)));
  out.clear();
  Predicate right_nested = Predicate::Or(a, Predicate::Or(b, Predicate::Or(c, d)));
  flatten_or(right_nested, out);
  ASSERT_EQ(out.size(), 4u);
  EXPECT_TRUE(out[3]->SameAs(d));
  out.clear();
  Predicate n = Predicate::Not(a);
  flatten_or(n, out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], &n);
}

// A hundred thousand nodes in every shape the builders and the binding can
// produce: evaluating, flattening, copying and dropping must all hold on
// the default thread stack (and under the sanitizer build).
TEST(PredicateEval, DeepTreesEvaluateCopyAndDrop) {
  constexpr int kDepth = 100'000;
  Value d = Doc({{"a", Value::Int(1)}});
  Predicate yes = Predicate::Exists("a");
  Predicate no = Predicate::Exists("z");
  Predicate left_and = yes;
  Predicate right_and = yes;
  Predicate left_or = no;
  Predicate nots = yes;
  for (int i = 1; i < kDepth; ++i) {
    left_and = Predicate::And(std::move(left_and), yes);
    right_and = Predicate::And(yes, std::move(right_and));
    left_or = Predicate::Or(std::move(left_or), i + 1 == kDepth ? yes : no);
    nots = Predicate::Not(std::move(nots));
  }
  EXPECT_TRUE(eval_predicate(left_and, d));
  EXPECT_TRUE(eval_predicate(right_and, d));
  EXPECT_TRUE(eval_predicate(left_or, d));
  EXPECT_EQ(eval_predicate(nots, d), (kDepth - 1) % 2 == 0);
  Predicate zigzag = yes;
  bool zigzag_truth = true;
  for (int i = 0; i < kDepth; ++i) {
    if (i % 3 == 0) {
      zigzag = Predicate::And(yes, Predicate::Not(std::move(zigzag)));
      zigzag_truth = !zigzag_truth;
    } else {
      zigzag = Predicate::Or(no, std::move(zigzag));
    }
  }
  EXPECT_EQ(eval_predicate(zigzag, d), zigzag_truth);
  std::vector<const Predicate*> out;
  flatten_or(left_or, out);
  EXPECT_EQ(out.size(), static_cast<size_t>(kDepth));
  Predicate copy = left_or;
  EXPECT_TRUE(copy.SameAs(left_or));
  EXPECT_TRUE(eval_predicate(copy, d));
}

TEST(ByteSearch, AgreesWithNaiveFind) {
  std::mt19937 rng(7);
  for (int round = 0; round < 20000; ++round) {
    int alphabet = 1 + static_cast<int>(rng() % 3);
    auto make = [&](size_t n) {
      std::string s;
      for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>('a' + rng() % alphabet));
      if (n && rng() % 8 == 0) s[rng() % n] = '\xff';
      return s;
    };
    std::string hay = make(rng() % 40);
    std::string needle = make(rng() % 8);
    if (rng() % 4 == 0 && !hay.empty()) {
      size_t at = rng() % hay.size();
      needle = hay.substr(at, rng() % (hay.size() - at + 1));
    }
    ASSERT_EQ(ContainsBytes(hay, needle), hay.find(needle) != std::string::npos) << hay << " / " << needle;
  }
}

TEST(ByteSearch, PeriodicNeedlesOverLongHaystacks) {
  std::string hay(200'000, 'a');
  std::string needle(50'000, 'a');
  needle.back() = 'b';
  EXPECT_FALSE(ContainsBytes(hay, needle));
  hay.back() = 'b';
  EXPECT_TRUE(ContainsBytes(hay, needle));
  EXPECT_TRUE(ContainsBytes(std::string("abababababc"), "ababc"));
  EXPECT_FALSE(ContainsBytes(std::string("abababababa"), "ababc"));
}

}  // namespace
}  // namespace pallix
