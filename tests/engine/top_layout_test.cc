#include "doc/top_layout.h"

#include <gtest/gtest.h>

#include <cmath>
#include <compare>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "doc/value.h"

namespace pallix {
namespace {

// A top-level value of one of the kinds a layout holds (kind < 6), or an
// array or a map (which no layout holds).
Value ValueOfKind(std::mt19937_64& rng, int kind) {
  switch (kind) {
    case 0: return Value::Null();
    case 1: return Value::Bool(rng() % 2 == 0);
    case 2: return Value::Int(static_cast<int64_t>(rng() % 1000) - 500);
    case 3: return Value::Float(static_cast<double>(rng() % 100) / 8);
    case 4: return Value::Text(std::string(rng() % 40, 'x'));
    case 5: return Value::Vector(std::vector<float>(rng() % 5, 0.5f));
    case 6: return Value::Array({Value::Int(1), Value::Text("a")});
    default: {
      ValueMap m;
      m.Set("in", Value::Int(static_cast<int64_t>(rng() % 3)));
      return Value::Map(std::move(m));
    }
  }
}

// A row of one of a few shapes: the shape fixes the keys and the kinds of
// their values, the row draws the values (so the lengths of texts and
// vectors differ from row to row of one shape).
Value RowOfShape(std::mt19937_64& rng, int shape) {
  static const std::vector<std::vector<std::pair<const char*, int>>> kShapes = {
      {{"emb", 5}, {"length", 2}, {"text", 4}},
      {{"emb", 5}, {"length", 3}, {"text", 4}},
      {{"emb", 5}, {"text", 4}},
      {{"a", 0}, {"b", 1}, {"c", 4}, {"d", 5}, {"length", 2}, {"long key of a row", 3}},
      {{"emb", 5}, {"length", 6}, {"text", 4}},
      {{"emb", 7}, {"length", 2}},
      {},
  };
  ValueMap m;
  for (const auto& [key, kind] : kShapes[static_cast<size_t>(shape)]) m.Set(key, ValueOfKind(rng, kind));
  return Value::Map(std::move(m));
}

// Damages bytes as a torn or corrupted row would be: one byte changed, or
// the row cut short, or a byte appended.
void Damage(std::mt19937_64& rng, std::string& bytes) {
  if (bytes.empty()) return;
  switch (rng() % 3) {
    case 0: bytes[rng() % bytes.size()] = static_cast<char>(rng()); break;
    case 1: bytes.resize(rng() % bytes.size()); break;
    default: bytes.push_back(static_cast<char>(rng()));
  }
}

// Row after row, mostly of one shape with runs of others, some damaged and
// some not maps: the layout's scan gives the general scan's status, message
// and views, and knows a layout once rows of one shape follow each other.
TEST(TopLayout, ScanAgreesWithGeneralScan) {
  std::mt19937_64 rng(20261209);
  const std::string_view names[] = {"length", "emb", "text", "length", "missing"};
  TopLayout layout;
  int matched_shape = 0;
  for (int round = 0; round < 20000; ++round) {
    const int shape = rng() % 4 == 0 ? static_cast<int>(rng() % 7) : 0;
    Value row = rng() % 50 == 0 ? Value::Int(3) : RowOfShape(rng, shape);
    std::string bytes = encode_value(row);
    if (rng() % 10 == 0) Damage(rng, bytes);
    std::string_view want[5], got[5];
    const Status w = scan_top_level(bytes, names, want);
    const Status g = layout.Scan(bytes, names, got);
    ASSERT_EQ(w.has_value(), g.has_value()) << "round " << round;
    if (!w) {
      EXPECT_EQ(w.error().Message(), g.error().Message()) << "round " << round;
      continue;
    }
    for (size_t i = 0; i < 5; ++i) {
      ASSERT_EQ(want[i].data(), got[i].data()) << "round " << round << " name " << i;
      ASSERT_EQ(want[i].size(), got[i].size()) << "round " << round << " name " << i;
    }
    matched_shape += layout.known();
  }
  EXPECT_GT(matched_shape, 10000);
}

// Rows whose entry heads differ from the layout only in bytes the match
// reads: a key's length or a letter of it, a value's tag, the map's count.
// Each is scanned in full, as the general scan sees it.
TEST(TopLayout, NearMissesTakeTheGeneralScan) {
  std::mt19937_64 rng(7);
  const std::string_view names[] = {"emb", "length"};
  TopLayout layout;
  const std::string base = encode_value(RowOfShape(rng, 0));
  std::string_view views[2];
  ASSERT_TRUE(layout.Scan(base, names, views).has_value());
  ASSERT_TRUE(layout.known());
  for (size_t at = 0; at < base.size(); ++at) {
    for (int delta : {1, 255}) {
      std::string bytes = base;
      bytes[at] = static_cast<char>(bytes[at] + delta);
      std::string_view want[2], got[2];
      const Status w = scan_top_level(bytes, names, want);
      const Status g = layout.Scan(bytes, names, got);
      ASSERT_EQ(w.has_value(), g.has_value()) << "byte " << at;
      if (!w) {
        EXPECT_EQ(w.error().Message(), g.error().Message()) << "byte " << at;
      } else {
        EXPECT_EQ(want[0].data(), got[0].data()) << "byte " << at;
        EXPECT_EQ(want[1].data(), got[1].data()) << "byte " << at;
        EXPECT_EQ(want[1].size(), got[1].size()) << "byte " << at;
      }
      // Back to the base layout for the next byte.
      ASSERT_TRUE(layout.Scan(base, names, views).has_value());
    }
  }
}

// raw_number_cmp orders a stored number against a literal exactly as
// value_partial_cmp orders the decoded value against it, and declines
// every other stored kind.
TEST(TopLayout, RawNumberCompareAgreesWithValueOrder) {
  const double kNan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<Value> values = {
      Value::Int(0),          Value::Int(-1),          Value::Int(7),         Value::Int(INT64_MAX),
      Value::Int(INT64_MIN),  Value::Int(9007199254740993),                   Value::Float(9007199254740992.0),
      Value::Float(0.0),      Value::Float(-0.0),      Value::Float(6.5),     Value::Float(kNan),
      Value::Float(-INFINITY), Value::Float(INFINITY), Value::Null(),        Value::Bool(true),
      Value::Text("7"),       Value::Vector({7.0f}),   Value::Bytes("\x02\x07\x00\x00\x00\x00\x00\x00")};
  for (const Value& stored : values) {
    const std::string bytes = encode_value(stored);
    for (const Value& literal : values) {
      const std::optional<std::partial_ordering> got = raw_number_cmp(bytes, literal);
      if (!stored.is_number() || !literal.is_number()) {
        EXPECT_FALSE(got.has_value());
        continue;
      }
      ASSERT_TRUE(got.has_value());
      EXPECT_EQ(*got, value_partial_cmp(stored, literal));
    }
  }
}

}  // namespace
}  // namespace pallix
