#include "index/scalar_key.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>

namespace pallix {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

std::string Hex(std::string_view s) {
  static const char* d = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    if (!out.empty()) out += ' ';
    out += d[c >> 4];
    out += d[c & 15];
  }
  return out;
}

std::string Key(const Value& v) { return encode_scalar_key(v).value(); }

std::string Pairs(int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += " 00 01";
  return out;
}

TEST(ScalarKeyTest, ExampleKeysBitForBit) {
  EXPECT_EQ(Hex(Key(Value::Bool(false))), "01 00 01 00 00");
  EXPECT_EQ(Hex(Key(Value::Bool(true))), "01 01 00 00");
  for (const Value& zero : {Value::Int(0), Value::Float(0.0), Value::Float(-0.0)})
    EXPECT_EQ(Hex(Key(zero)), "02 80" + Pairs(7) + " 00 00");
  for (const Value& one : {Value::Int(1), Value::Float(1.0)}) EXPECT_EQ(Hex(Key(one)), "02 bf f0" + Pairs(6) + " 00 00");
  EXPECT_EQ(Hex(Key(Value::Float(-1.0))), "02 40 0f ff ff ff ff ff ff 00 00");
  EXPECT_EQ(Hex(Key(Value::Text(""))), "03 00 00");
  EXPECT_EQ(Hex(Key(Value::Text("abc"))), "03 61 62 63 00 00");
  EXPECT_EQ(Hex(Key(Value::Text(std::string("a\0b", 3)))), "03 61 00 01 62 00 00");
  for (const Value& none : {Value::Null(), Value::Bytes("x"), Value::Array({}), Value::Map({}), Value::Vector({1})})
    EXPECT_FALSE(encode_scalar_key(none).has_value());
  Value one = Value::Int(1), text = Value::Text("a"), bytes = Value::Bytes("x");
  const Value* pair[2] = {&one, &text};
  EXPECT_EQ(compound_key(pair).value(), Key(one) + Key(text));
  const Value* bad[2] = {&one, &bytes};
  EXPECT_FALSE(compound_key(bad).has_value());
  EXPECT_EQ(compound_key({}).value(), "");
}

// The class of a value in the key order: bools, then numbers, then texts.
int Rank(const Value& v) { return v.is_bool() ? 0 : v.is_number() ? 1 : 2; }

// -1, 0, 1 in the order keys must follow.
int ModelCompare(const Value& a, const Value& b) {
  if (Rank(a) != Rank(b)) return Rank(a) < Rank(b) ? -1 : 1;
  if (a.is_bool()) return int(a.as_bool()) - int(b.as_bool());
  if (a.is_text()) return a.as_text() < b.as_text() ? -1 : a.as_text() > b.as_text() ? 1 : 0;
  double x = a.as_number(), y = b.as_number();
  // A NaN sorts by its sign bit: below -inf or above +inf; NaNs of one sign
  // tie in this model (their payloads order them among themselves).
  auto place = [](double d) { return std::isnan(d) ? (std::signbit(d) ? -2 : 2) : 0; };
  if (place(x) || place(y)) return place(x) == place(y) ? 0 : place(x) < place(y) ? -1 : 1;
  return x < y ? -1 : x > y ? 1 : 0;
}

Value RandomValue(std::mt19937_64& rng) {
  static const double specials[] = {0.0, -0.0, kInf, -kInf, std::nan(""), -std::nan(""), 1e-310, -1e308, 2.5};
  switch (rng() % 5) {
    case 0: return Value::Bool(rng() % 2);
    case 1: return Value::Int(static_cast<int64_t>(rng() % 41) - 20 + (rng() % 8 == 0 ? INT64_MIN / 3 : 0));
    case 2: return Value::Float(rng() % 3 == 0 ? specials[rng() % 9] : static_cast<double>(rng() % 400) / 8 - 25);
    default: {
      std::string s;
      for (int n = rng() % 4; n > 0; --n) s.push_back("\0\x01" "ab\xff"[rng() % 5]);
      return Value::Text(s);
    }
  }
}

TEST(ScalarKeyTest, KeyOrderIsValueOrder) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 20000; ++i) {
    Value a = RandomValue(rng), b = RandomValue(rng);
    int model = ModelCompare(a, b);
    std::string ka = Key(a), kb = Key(b);
    bool nan_tie = model == 0 && a.is_number() && std::isnan(a.as_number());
    if (model < 0) {
      EXPECT_LT(ka, kb) << Hex(ka) << " / " << Hex(kb);
    } else if (model > 0) {
      EXPECT_GT(ka, kb) << Hex(ka) << " / " << Hex(kb);
    } else if (!nan_tie) {
      EXPECT_EQ(ka, kb);
    }
    // The bound is a prefix of the key; the terminator is found where it is.
    std::string bound = scalar_key_bound(a).value();
    EXPECT_EQ(ka, bound + std::string(2, '\0'));
    EXPECT_EQ(find_key_terminator(ka + "doc"), bound.size());
    EXPECT_EQ(doc_key_from_scalar_key(ka + "doc"), "doc");
    if (a.is_number()) {
      double back = decode_scalar_key(ka).value();
      double want = a.as_number() == 0 ? 0.0 : a.as_number();
      EXPECT_EQ(std::bit_cast<uint64_t>(back), std::bit_cast<uint64_t>(want));
    }
  }
}

TEST(ScalarKeyTest, SplittingForwardKeys) {
  EXPECT_EQ(doc_key_from_scalar_key(std::string("\x03" "a\0\x01\0\0k", 7)), "k");
  EXPECT_FALSE(doc_key_from_scalar_key(std::string("\x03" "a\0", 3)).has_value());
  EXPECT_EQ(doc_key_from_scalar_key(std::string("\x03\0\0", 3)), "");
  EXPECT_FALSE(doc_key_from_scalar_key(std::string("\x03\0", 2)).has_value());
  // A text whose unescaped payload is 8 bytes decodes as a number too.
  EXPECT_TRUE(decode_scalar_key(Key(Value::Text("abcdefgh"))).has_value());
  EXPECT_FALSE(decode_scalar_key(Key(Value::Text("abc"))).has_value());

  const std::string forward = Key(Value::Float(2.5)) + "k";  // the parse holds views into it
  auto parsed = parse_scalar_key("ns", forward);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->doc_key, "k");
  EXPECT_EQ(parsed->number, 2.5);
  struct Bad {
    std::string key, message;
  } bad[] = {
      {"", "corrupt index state: empty index key in index namespace 'ns'"},
      {std::string("\x03" "a\0", 3), "corrupt index state: index key without a value terminator in index namespace 'ns': [3, 97, 0]"},
      {std::string("\x02\0\0", 3), "corrupt index state: numeric index key payload is not 8 bytes in index namespace 'ns': [2, 0, 0]"},
  };
  for (const Bad& b : bad) {
    auto r = parse_scalar_key("ns", b.key);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), ErrorKind::kCorruptIndex);
    EXPECT_EQ(r.error().Message(), b.message);
  }
}

}  // namespace
}  // namespace pallix
