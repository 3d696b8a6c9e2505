#include "doc/value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "base/coding.h"
#include "base/lock.h"
#include "base/numeric.h"

namespace pallix {
namespace {

Value MapOf(std::initializer_list<std::pair<std::string, Value>> entries) {
  ValueMap m;
  for (auto& [k, v] : entries) m.Set(k, v);
  return Value::Map(std::move(m));
}

std::string DecodeError(std::string_view bytes) {
  auto r = decode_value(bytes);
  EXPECT_FALSE(r.has_value());
  if (r) return "";
  EXPECT_EQ(r.error().kind(), ErrorKind::kDecode);
  return r.error().detail();
}

Value Nested(int depth) {
  Value v = Value::Array({});
  for (int i = 0; i < depth - 1; ++i) v = Value::Array({v});
  return v;
}

TEST(ValueTest, RoundTripEveryKind) {
  std::vector<Value> values = {
      Value::Null(),
      Value::Bool(true),
      Value::Bool(false),
      Value::Int(INT64_MIN),
      Value::Int(INT64_MAX),
      Value::Float(-0.0),
      Value::Float(std::numeric_limits<double>::infinity()),
      Value::Float(std::nan("")),
      Value::Text(""),
      Value::Text("h\xc3\xa9llo \xe4\xb8\xad"),
      Value::Bytes(std::string("\0\xff", 2)),
      Value::Array({Value::Int(1), Value::Text("x"), Value::Array({})}),
      MapOf({{"b", Value::Int(2)}, {"a", MapOf({{"", Value::Null()}})}}),
      Value::Vector({}),
      Value::Vector({1.5f, -0.0f, std::numeric_limits<float>::quiet_NaN()}),
  };
  for (const Value& v : values) {
    std::string bytes = encode_value(v);
    auto back = decode_value(bytes);
    ASSERT_TRUE(back.has_value()) << back.error().Message();
    EXPECT_TRUE(values_same(*back, v));
    EXPECT_EQ(encode_value(*back), bytes);
  }
}

TEST(ValueTest, EncodingLayout) {
  EXPECT_EQ(encode_value(Value::Null()), std::string(1, '\0'));
  EXPECT_EQ(encode_value(Value::Bool(true)), std::string("\x01\x01", 2));
  EXPECT_EQ(encode_value(Value::Int(1)), std::string("\x02\x01\0\0\0\0\0\0\0", 9));
  EXPECT_EQ(encode_value(Value::Text("ab")), std::string("\x04\x02\0\0\0ab", 7));
  EXPECT_EQ(encode_value(Value::Vector({1.0f})), std::string("\x08\x01\0\0\0\0\0\x80\x3f", 9));
  // Map entries are written in bytewise key order whatever the insertion order.
  EXPECT_EQ(encode_value(MapOf({{"b", Value::Null()}, {"a", Value::Null()}})),
            std::string("\x07\x02\0\0\0\x01\0\0\0a\0\x01\0\0\0b\0", 17));
  // Non-ASCII keys sort by their bytes, and a prefix comes first.
  ValueMap m;
  m.Set("\xc3\xa9", Value::Null());
  m.Set("z", Value::Null());
  m.Set("zz", Value::Null());
  EXPECT_EQ(m.entries()[0].key, "z");
  EXPECT_EQ(m.entries()[1].key, "zz");
}

TEST(ValueTest, EncodedSizeIsTheEncodingsLength) {
  const Value values[] = {
      Value::Null(),
      Value::Bool(true),
      Value::Int(-3),
      Value::Float(0.5),
      Value::Text(""),
      Value::Text("h\xc3\xa9"),
      Value::Bytes(std::string(300, 'b')),
      Value::Array({}),
      Value::Vector({1.0f, 2.0f, 3.0f}),
      MapOf({{"a", Value::Array({Value::Int(1), MapOf({{"", Value::Null()}})})}, {"bb", Value::Vector({})}}),
  };
  for (const Value& v : values) {
    auto n = encoded_size(v);
    ASSERT_TRUE(n.has_value()) << n.error().Message();
    EXPECT_EQ(*n, encode_value(v).size());
  }
}

// The u32 limit is checked on every length and count; a small limit
// reaches each check without values of 4 GiB.
TEST(ValueTest, EncodedSizeRefusesLengthsOverTheLimit) {
  auto refused = [](const Value& v) {
    auto n = encoded_size(v, 3);
    EXPECT_FALSE(n.has_value());
    if (n) return std::string();
    EXPECT_EQ(n.error().kind(), ErrorKind::kInvalidArgument);
    return n.error().detail();
  };
  const Value three = Value::Array({Value::Null(), Value::Null(), Value::Null()});
  EXPECT_EQ(*encoded_size(Value::Text("abc"), 3), 8u);
  EXPECT_EQ(*encoded_size(three, 3), 8u);
  EXPECT_EQ(*encoded_size(MapOf({{"abc", three}}), 3), 5u + 4 + 3 + 8);
  EXPECT_EQ(refused(Value::Text("abcd")), "text length 4 exceeds the limit of 3");
  EXPECT_EQ(refused(Value::Bytes("abcd")), "bytes length 4 exceeds the limit of 3");
  EXPECT_EQ(refused(Value::Array({Value::Null(), Value::Null(), Value::Null(), Value::Null()})),
            "array length 4 exceeds the limit of 3");
  EXPECT_EQ(refused(MapOf({{"a", {}}, {"b", {}}, {"c", {}}, {"d", {}}})), "map length 4 exceeds the limit of 3");
  EXPECT_EQ(refused(MapOf({{"abcd", {}}})), "map key length 4 exceeds the limit of 3");
  EXPECT_EQ(refused(Value::Vector({0, 0, 0, 0})), "vector length 4 exceeds the limit of 3");
  // Deep inside, and the first offender in encoding order: entry "a"'s
  // value comes before entry "bbbb"'s key.
  EXPECT_EQ(refused(Value::Array({three, MapOf({{"k", Value::Text("long")}})})),
            "text length 4 exceeds the limit of 3");
  EXPECT_EQ(refused(MapOf({{"a", Value::Bytes("xxxx")}, {"bbbb", {}}})), "bytes length 4 exceeds the limit of 3");
  EXPECT_EQ(*encoded_size(Value::Text(std::string(1000, 'x'))), 1005u);  // the real limit is u32
}

TEST(ValueTest, DecodeErrors) {
  EXPECT_EQ(DecodeError(""), "unexpected end of input");
  EXPECT_EQ(DecodeError(std::string(2, '\0')), "1 trailing byte(s) after value");
  EXPECT_EQ(DecodeError(std::string("\x02\x01", 2)), "unexpected end of input");
  EXPECT_EQ(DecodeError("\x09"), "unknown tag 9");
  EXPECT_EQ(DecodeError("\xff"), "unknown tag 255");
  EXPECT_EQ(DecodeError("\x01"), "unexpected end of input");
  // A length past the end is not allocated.
  EXPECT_EQ(DecodeError(std::string("\x04\xff\xff\xff\xff", 5)), "unexpected end of input");
  EXPECT_EQ(DecodeError(std::string("\x06\xff\xff\xff\xff", 5)), "unexpected end of input");
  EXPECT_EQ(DecodeError(std::string("\x08\xff\xff\xff\xff\0\0\0\0", 9)), "unexpected end of input");
  EXPECT_EQ(DecodeError(std::string("\x07\x01\0\0\0\x05\0\0\0ab", 11)), "unexpected end of input");
  EXPECT_EQ(DecodeError(std::string("\x04\x01\0\0", 4)), "unexpected end of input");
  EXPECT_EQ(DecodeError(std::string("\x04\x02\0\0\0a\xff", 7)), "invalid utf-8: invalid utf-8 sequence of 1 bytes from index 1");
  EXPECT_EQ(DecodeError(std::string("\x04\x02\0\0\0a\xc3", 7)), "invalid utf-8: incomplete utf-8 byte sequence from index 1");
  EXPECT_EQ(DecodeError(std::string("\x07\x01\0\0\0\x01\0\0\0\x80\0", 11)),
            "invalid utf-8 map key: invalid utf-8 sequence of 1 bytes from index 0");
  EXPECT_EQ(DecodeError(std::string("\x06\x02\0\0\0\0\x09", 7)), "unknown tag 9");
  auto b = decode_value(std::string("\x01\x02", 2));
  ASSERT_TRUE(b.has_value());
  EXPECT_TRUE(b->as_bool());
}

TEST(ValueTest, Utf8FaultTexts) {
  EXPECT_EQ(DescribeUtf8Fault("plain ascii text that is long"), "");
  EXPECT_EQ(DescribeUtf8Fault("\xe2\x82\xac\xf0\x9f\x98\x80"), "");
  EXPECT_EQ(DescribeUtf8Fault("abc\xe2\x82"), "incomplete utf-8 byte sequence from index 3");
  EXPECT_EQ(DescribeUtf8Fault("abc\xe2\x28\xa1"), "invalid utf-8 sequence of 1 bytes from index 3");
  EXPECT_EQ(DescribeUtf8Fault("\xe2\x82\x28"), "invalid utf-8 sequence of 2 bytes from index 0");
  EXPECT_EQ(DescribeUtf8Fault("\xf0\x9f\x98\x28"), "invalid utf-8 sequence of 3 bytes from index 0");
  EXPECT_EQ(DescribeUtf8Fault("\xed\xa0\x80"), "invalid utf-8 sequence of 1 bytes from index 0");  // surrogate
  EXPECT_EQ(DescribeUtf8Fault("\xc0\x80"), "invalid utf-8 sequence of 1 bytes from index 0");      // overlong
  EXPECT_EQ(DescribeUtf8Fault("\xf4\x90\x80\x80"), "invalid utf-8 sequence of 1 bytes from index 0");  // > U+10FFFF
  EXPECT_EQ(DescribeUtf8Fault("\xf0\x9f\x98"), "incomplete utf-8 byte sequence from index 0");
  EXPECT_EQ(DescribeUtf8Fault("12345678\x80"), "invalid utf-8 sequence of 1 bytes from index 8");
}

// A model of UTF-8 validity by code points (RFC 3629): a lead byte's
// length, continuation bytes, then the code point outside the overlong
// forms, the surrogates and past U+10FFFF.
bool ModelValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t len;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4, cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > s.size()) return false;
    for (size_t k = 1; k < len; ++k) {
      const auto b = static_cast<unsigned char>(s[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      cp = cp << 6 | (b & 0x3F);
    }
    const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

TEST(ValueTest, Utf8CheckMatchesTheModel) {
  std::mt19937 rng(17);
  // Bytes drawn mostly from ASCII runs (the fast path's words, cut at
  // every alignment) with lead, continuation and invalid bytes among them.
  const unsigned char pool[] = {'a', 'b', ' ', 0x7F, 0x80, 0xBF, 0xC0, 0xC2, 0xDF, 0xE0, 0xED, 0xEF,
                                0xF0, 0xF4, 0xF5, 0xFF, 0xA0, 0x9F, 0x90, 0x8F};
  int valid = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string s;
    const size_t n = rng() % 40;
    const unsigned ascii_run = rng() % 4;
    for (size_t i = 0; i < n; ++i) {
      if (rng() % 4 < ascii_run) {
        s.push_back(static_cast<char>('a' + rng() % 26));
      } else {
        s.push_back(static_cast<char>(pool[rng() % sizeof(pool)]));
      }
    }
    const bool model = ModelValidUtf8(s);
    valid += model;
    ASSERT_EQ(IsValidUtf8(s), model) << testing::PrintToString(s);
    ASSERT_EQ(DescribeUtf8Fault(s).empty(), model) << testing::PrintToString(s);
    // The decoder takes the same texts, as a text and as a map key.
    std::string text("\x04", 1);
    text.append(4, '\0');
    EncodeFixed32LE(text.data() + 1, static_cast<uint32_t>(s.size()));
    text += s;
    ASSERT_EQ(decode_value(text).has_value(), model) << testing::PrintToString(s);
  }
  EXPECT_GT(valid, 1000);  // both answers were tried often
  EXPECT_LT(valid, 19000);
}

TEST(ValueTest, DuplicateMapKeysKeepTheLater) {
  std::string bytes("\x07\x02\0\0\0\x01\0\0\0k\x02\x01\0\0\0\0\0\0\0\x01\0\0\0k\x02\x02\0\0\0\0\0\0\0", 33);
  auto v = decode_value(bytes);
  ASSERT_TRUE(v.has_value()) << v.error().Message();
  ASSERT_EQ(v->as_map().size(), 1u);
  EXPECT_EQ(v->as_map().Find("k")->as_int(), 2);
  EXPECT_EQ(encode_value(*v).size(), 19u);
  // Entries out of order decode into an ordered map.
  std::string unordered("\x07\x02\0\0\0\x01\0\0\0b\0\x01\0\0\0a\0", 17);
  auto u = decode_value(unordered);
  ASSERT_TRUE(u.has_value());
  EXPECT_EQ(u->as_map().entries()[0].key, "a");
}

TEST(ValueTest, NestingLimit) {
  for (int depth : {30, 128, 129}) {
    auto back = decode_value(encode_value(Nested(depth)));
    EXPECT_TRUE(back.has_value()) << depth;
  }
  EXPECT_EQ(DecodeError(encode_value(Nested(130))), "value nests deeper than 128");
  // Any value at depth 129 fails, even Null.
  Value v = Value::Null();
  for (int i = 0; i < 129; ++i) v = Value::Array({v});
  EXPECT_EQ(DecodeError(encode_value(v)), "value nests deeper than 128");
  // Maps nest the same way.
  Value m = MapOf({});
  for (int i = 0; i < 129; ++i) m = MapOf({{"k", m}});
  EXPECT_EQ(DecodeError(encode_value(m)), "value nests deeper than 128");
}

TEST(ValueTest, MalformedInputNeverCrashes) {
  // Every truncation and every single-byte corruption of a rich document
  // decodes to a value or a Decode error.
  Value doc = MapOf({{"name", Value::Text("x\xc3\xa9")},
                     {"tags", Value::Array({Value::Int(1), Value::Float(2.5), Value::Bytes("b")})},
                     {"vec", Value::Vector({1, 2, 3})},
                     {"nested", MapOf({{"t", Value::Bool(true)}})}});
  std::string bytes = encode_value(doc);
  for (size_t n = 0; n < bytes.size(); ++n) EXPECT_FALSE(decode_value(bytes.substr(0, n)).has_value());
  std::mt19937 rng(7);
  for (size_t i = 0; i < bytes.size(); ++i) {
    for (int trial = 0; trial < 8; ++trial) {
      std::string bad = bytes;
      bad[i] = static_cast<char>(rng());
      auto r = decode_value(bad);
      if (!r) {
        EXPECT_EQ(r.error().kind(), ErrorKind::kDecode);
      }
    }
  }
}

TEST(ValueTest, Equality) {
  Value nan = Value::Float(std::nan(""));
  EXPECT_FALSE(values_equal(nan, nan));
  EXPECT_TRUE(values_same(nan, nan));
  EXPECT_TRUE(values_equal(Value::Float(-0.0), Value::Float(0.0)));
  EXPECT_FALSE(values_equal(Value::Int(1), Value::Float(1.0)));
  EXPECT_FALSE(values_same(Value::Int(1), Value::Float(1.0)));
  EXPECT_FALSE(values_same(Value::Bool(true), Value::Int(1)));
  Value deep_nan = MapOf({{"a", Value::Array({nan})}});
  EXPECT_FALSE(values_equal(deep_nan, deep_nan));
  EXPECT_TRUE(values_same(deep_nan, deep_nan));
  Value vnan = Value::Vector({1.0f, std::numeric_limits<float>::quiet_NaN()});
  EXPECT_FALSE(values_equal(vnan, vnan));
  EXPECT_TRUE(values_same(vnan, vnan));
  EXPECT_FALSE(values_equal(Value::Text("a"), Value::Bytes("a")));
  EXPECT_FALSE(values_equal(MapOf({{"a", Value::Null()}}), MapOf({{"b", Value::Null()}})));
  EXPECT_FALSE(values_equal(Value::Array({}), Value::Array({Value::Null()})));
}

TEST(ValueTest, PartialOrder) {
  EXPECT_EQ(value_partial_cmp(Value::Int(1), Value::Float(1.0)), std::partial_ordering::equivalent);
  EXPECT_EQ(value_partial_cmp(Value::Text("ab"), Value::Text("abc")), std::partial_ordering::less);
  EXPECT_EQ(value_partial_cmp(Value::Text("\xc3\xa9"), Value::Text("z")), std::partial_ordering::greater);
  EXPECT_EQ(value_partial_cmp(Value::Bool(false), Value::Bool(true)), std::partial_ordering::unordered);
  EXPECT_EQ(value_partial_cmp(Value::Int(2), Value::Float(std::nan(""))), std::partial_ordering::unordered);
  EXPECT_EQ(value_partial_cmp(Value::Null(), Value::Null()), std::partial_ordering::unordered);
  EXPECT_EQ(value_partial_cmp(Value::Int(1), Value::Text("1")), std::partial_ordering::unordered);
  // Int against Int is exact, even where doubles cannot tell them apart.
  EXPECT_EQ(value_partial_cmp(Value::Int(INT64_MAX), Value::Int(INT64_MAX - 1)), std::partial_ordering::greater);
  EXPECT_EQ(value_partial_cmp(Value::Int(INT64_MAX), Value::Float(9223372036854775807.0)),
            std::partial_ordering::equivalent);
  EXPECT_EQ(value_partial_cmp(Value::Float(-0.0), Value::Int(0)), std::partial_ordering::equivalent);
}

TEST(ValueTest, DottedPaths) {
  Value doc = MapOf({{"a", MapOf({{"b", Value::Int(5)}, {"", MapOf({{"c", Value::Null()}})}})},
                     {"arr", Value::Array({MapOf({{"b", Value::Int(1)}})})}});
  ASSERT_NE(get_path(doc, "a.b"), nullptr);
  EXPECT_EQ(get_path(doc, "a.b")->as_int(), 5);
  EXPECT_TRUE(get_path(doc, "a")->is_map());
  EXPECT_EQ(get_path(doc, "a.b.c"), nullptr);
  EXPECT_EQ(get_path(doc, ""), nullptr);
  EXPECT_EQ(get_path(doc, "arr.0.b"), nullptr);
  ASSERT_NE(get_path(doc, "a..c"), nullptr);
  EXPECT_TRUE(get_path(doc, "a..c")->is_null());
  EXPECT_EQ(get_path(Value::Int(3), "a"), nullptr);
  EXPECT_TRUE(get_path(doc, "a.")->is_map());  // the empty key under a
  EXPECT_EQ(get_path(doc, "a.b."), nullptr);
}

TEST(NumericTest, TotalOrderPutsEveryNanLast) {
  double neg_nan = -std::nan("");
  ASSERT_TRUE(std::signbit(neg_nan));
  std::vector<double> xs = {neg_nan, std::nan(""), -INFINITY, -1.0, -0.0, 0.0, 1.0, INFINITY};
  std::sort(xs.begin(), xs.end(), [](double a, double b) { return TotalLess(a, b); });
  EXPECT_EQ(xs[0], -INFINITY);
  EXPECT_TRUE(std::signbit(xs[2]) && xs[2] == 0.0);
  EXPECT_FALSE(std::signbit(xs[3]));
  EXPECT_EQ(xs[5], INFINITY);
  EXPECT_TRUE(std::isnan(xs[6]) && std::isnan(xs[7]));
  EXPECT_EQ(TotalCompare(neg_nan, std::nan("")), 0);
  EXPECT_TRUE(TotalLess(static_cast<float>(INFINITY), -std::nanf("")));
  EXPECT_TRUE(TotalLess(-0.0f, 0.0f));
}

TEST(NumericTest, ShortestPositionalFormatting) {
  EXPECT_EQ(FormatFloat(90.0), "90");
  EXPECT_EQ(FormatFloat(-180.0), "-180");
  EXPECT_EQ(FormatFloat(91.5), "91.5");
  EXPECT_EQ(FormatFloat(0.1), "0.1");
  EXPECT_EQ(FormatFloat(1e21), "1000000000000000000000");
  EXPECT_EQ(FormatFloat(1e-7), "0.0000001");
  EXPECT_EQ(FormatFloat(std::nan("")), "NaN");
  EXPECT_EQ(FormatFloat(INFINITY), "inf");
  EXPECT_EQ(FormatFloat(-INFINITY), "-inf");
  EXPECT_EQ(FormatFloat(-0.0), "-0");
  EXPECT_EQ(FormatFloat32(1e20f), "100000000000000000000");
  EXPECT_EQ(FormatFloat32(-1.5f), "-1.5");
  EXPECT_EQ(FormatFloat32(0.1f), "0.1");
  EXPECT_EQ(FormatFloat32(1.25e-7f), "0.000000125");
  EXPECT_EQ(FormatFloat32(123.456f), "123.456");
  EXPECT_EQ(FormatFloat(5e-324), "0." + std::string(323, '0') + "5");
  EXPECT_EQ(FormatFloat(5e-324).size(), 326u);
  EXPECT_EQ(FormatFloat32(0.1f), "0.1");
  EXPECT_EQ(FormatFloat32(60.0f), "60");
  EXPECT_EQ(FormatFloat(static_cast<double>(0.1f)), "0.10000000149011612");
}

}  // namespace
}  // namespace pallix

namespace pallix {
namespace {

Value RandomNested(std::mt19937_64& rng, int depth) {
  switch (depth > 3 ? rng() % 5 : rng() % 8) {
    case 0: return Value::Int(static_cast<int64_t>(rng() % 100));
    case 1: return Value::Text(std::string(1 + rng() % 3, static_cast<char>('a' + rng() % 3)));
    case 2: return Value::Float(static_cast<double>(rng() % 7) / 2);
    case 3: return Value::Null();
    case 4: return Value::Vector({1.0f, 2.0f});
    case 5: {
      ValueArray a;
      for (uint64_t i = 0, n = rng() % 3; i < n; ++i) a.push_back(RandomNested(rng, depth + 1));
      return Value::Array(std::move(a));
    }
    default: {
      ValueMap m;
      for (uint64_t i = 0, n = rng() % 4; i < n; ++i) m.Set(std::string(1, static_cast<char>('a' + rng() % 4)), RandomNested(rng, depth + 1));
      return Value::Map(std::move(m));
    }
  }
}

// Every selected path (and prefix) reads the same from the partial decode;
// damaged bytes fail both decoders with the same message. The raw decode,
// into one value reused from round to round, builds what the partial
// decode builds and hands back the top-level entries' encoded bytes.
TEST(ValueTest, DecodeSelectedAgreesWithDecode) {
  std::mt19937_64 rng(17);
  const char* paths[] = {"a", "b", "a.b", "a.c.d", "c.a", "d", "", "a..b"};
  const std::string_view raw_names[] = {"a", "c"};
  Value reused;
  for (int round = 0; round < 3000; ++round) {
    Value doc = RandomNested(rng, 0);
    std::string bytes = encode_value(doc);
    if (round % 3 == 0 && !bytes.empty()) {
      bytes[rng() % bytes.size()] = static_cast<char>(rng());
      if (rng() % 2) bytes.resize(rng() % bytes.size());
    }
    PathSet set;
    std::vector<std::string> chosen;
    for (const char* p : paths) {
      if (rng() % 3 == 0) set.Add(p), chosen.push_back(p);
    }
    auto full = decode_value(bytes);
    auto part = decode_selected(bytes, set);
    std::string_view raw[2];
    auto raw_status = decode_selected_raw_into(bytes, set, raw_names, raw, reused);
    std::string_view scanned[2];
    auto scan_status = scan_top_level(bytes, raw_names, scanned);
    ASSERT_EQ(full.has_value(), part.has_value()) << "round " << round;
    ASSERT_EQ(full.has_value(), raw_status.has_value()) << "round " << round;
    // The scan checks the shape alone: past a bad text it may succeed or
    // stop later; what it hands back is the raw decode's views.
    const bool utf8_only = !full && full.error().Message().find("invalid utf-8") != std::string::npos;
    if (!utf8_only) {
      ASSERT_EQ(full.has_value(), scan_status.has_value()) << "round " << round;
    }
    if (!full) {
      EXPECT_EQ(full.error().Message(), part.error().Message());
      EXPECT_EQ(full.error().Message(), raw_status.error().Message());
      EXPECT_EQ(full.error().Message(), check_value(bytes).error().Message());
      if (!utf8_only) {
        EXPECT_EQ(full.error().Message(), scan_status.error().Message());
      }
      continue;
    }
    EXPECT_TRUE(check_value(bytes).has_value());
    EXPECT_EQ(raw[0], scanned[0]);
    EXPECT_EQ(raw[1], scanned[1]);
    EXPECT_TRUE(values_same(*part, reused)) << "round " << round;
    for (size_t i = 0; i < 2; ++i) {
      const Value* at = full->is_map() ? full->as_map().Find(raw_names[i]) : nullptr;
      ASSERT_EQ(at == nullptr, raw[i].empty()) << "round " << round;
      if (at != nullptr) {
        EXPECT_EQ(raw[i], encode_value(*at)) << "round " << round;
      }
    }
    for (const std::string& p : chosen) {
      std::vector<size_t> cuts;
      for (size_t i = 0; i < p.size(); ++i) {
        if (p[i] == '.') cuts.push_back(i);
      }
      cuts.push_back(p.size());
      for (size_t cut : cuts) {
        const Value* a = get_path(*full, std::string_view(p).substr(0, cut));
        const Value* b = get_path(*part, std::string_view(p).substr(0, cut));
        ASSERT_EQ(a == nullptr, b == nullptr) << "round " << round << " path " << p << " cut " << cut;
        if (a != nullptr && cut == p.size()) {
          EXPECT_TRUE(values_same(*a, *b));
        }
      }
    }
  }
}

}  // namespace
}  // namespace pallix
