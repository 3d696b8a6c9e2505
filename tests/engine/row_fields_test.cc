// RowFields and decode_top_fields against the whole-document oracle:
// decode_value, EvalFilters and get_path over random documents, some of
// them damaged.

#include "query/row_fields.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "doc/value.h"
#include "query/predicate_eval.h"

namespace pallix {
namespace {

Value RandomField(std::mt19937_64& rng, int depth) {
  switch (depth > 2 ? rng() % 6 : rng() % 9) {
    case 0: return Value::Int(static_cast<int64_t>(rng() % 5));
    case 1: return Value::Text(std::string(1 + rng() % 2, static_cast<char>('a' + rng() % 2)));
    case 2: return Value::Float(static_cast<double>(rng() % 5) / 2);
    case 3: return Value::Null();
    case 4: return Value::Bool(rng() % 2 == 0);
    case 5: return Value::Vector({1.0f, 2.0f});
    case 6: {
      ValueArray a;
      for (uint64_t i = 0, n = rng() % 3; i < n; ++i) a.push_back(RandomField(rng, depth + 1));
      return Value::Array(std::move(a));
    }
    default: {
      ValueMap m;
      const char* keys[] = {"a", "b", "c", ""};
      for (uint64_t i = 0, n = rng() % 4; i < n; ++i) m.Set(keys[rng() % 4], RandomField(rng, depth + 1));
      return Value::Map(std::move(m));
    }
  }
}

// Mostly maps at the top, as stored documents are; now and then a scalar.
Value RandomRow(std::mt19937_64& rng) {
  if (rng() % 10 == 0) return RandomField(rng, 3);
  ValueMap m;
  const char* keys[] = {"a", "b", "c", "d", ""};
  for (uint64_t i = 0, n = rng() % 5; i < n; ++i) m.Set(keys[rng() % 5], RandomField(rng, 1));
  return Value::Map(std::move(m));
}

// A map whose entries are written in the order given, duplicates kept, as
// a stored row may hold them.
std::string EncodeEntries(const std::vector<std::pair<std::string, Value>>& entries) {
  std::string out(1, '\x07');
  auto u32 = [&](uint32_t n) { for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(n >> (8 * i))); };
  u32(static_cast<uint32_t>(entries.size()));
  for (const auto& [k, v] : entries) {
    u32(static_cast<uint32_t>(k.size()));
    out += k;
    out += encode_value(v);
  }
  return out;
}

const char* kPaths[] = {"a", "b", "a.b", "a.c.a", "c.a", "d", "", "a.", "b..a"};

Predicate RandomFilter(std::mt19937_64& rng) {
  std::string path = kPaths[rng() % std::size(kPaths)];
  switch (rng() % 5) {
    case 0: return Predicate::Exists(path);
    case 1: return Predicate::Compare(path, CompareOp::kEq, Value::Int(static_cast<int64_t>(rng() % 3)));
    case 2: return Predicate::Compare(path, CompareOp::kGe, Value::Float(1.0));
    case 3: return Predicate::Not(Predicate::Exists(path));
    default: return Predicate::Or(Predicate::Compare(path, CompareOp::kNe, Value::Text("a")),
                                  Predicate::Exists(kPaths[rng() % std::size(kPaths)]));
  }
}

// Every byte checked as decode_value checks it: the same failures with the
// same messages; the named fields decoded as the whole document holds
// them, the others handed back as their encoded bytes.
TEST(RowFieldsTest, TopFieldsAgreeWithDecode) {
  std::mt19937_64 rng(29);
  const std::string_view names[] = {"a", "c", "b", ""};
  std::vector<Value> values(2);
  for (int round = 0; round < 4000; ++round) {
    std::string bytes;
    if (round % 5 == 4) {
      bytes = EncodeEntries({{"a", RandomField(rng, 1)}, {"b", RandomField(rng, 1)}, {"a", RandomField(rng, 1)},
                             {"b", RandomField(rng, 1)}});
    } else {
      bytes = encode_value(RandomRow(rng));
    }
    if (round % 3 == 0 && !bytes.empty()) {
      bytes[rng() % bytes.size()] = static_cast<char>(rng());
      if (rng() % 2) bytes.resize(rng() % bytes.size());
    }
    const Value* found[2];
    std::string_view raw[2];
    auto status = decode_top_fields(bytes, names, values, found, raw);
    auto full = decode_value(bytes);
    ASSERT_EQ(full.has_value(), status.has_value()) << "round " << round;
    if (!full) {
      EXPECT_EQ(full.error().Message(), status.error().Message());
      continue;
    }
    for (size_t i = 0; i < 4; ++i) {
      const Value* want = full->is_map() ? full->as_map().Find(names[i]) : nullptr;
      if (i < 2) {
        ASSERT_EQ(want == nullptr, found[i] == nullptr) << "round " << round;
        if (want != nullptr) {
          EXPECT_TRUE(values_same(*want, *found[i])) << "round " << round;
        }
      } else {
        ASSERT_EQ(want == nullptr, raw[i - 2].empty()) << "round " << round;
        if (want != nullptr) {
          auto decoded = decode_value(raw[i - 2]);  // the stored bytes: a bool's byte may be any non-zero
          ASSERT_TRUE(decoded.has_value()) << "round " << round;
          EXPECT_TRUE(values_same(*want, *decoded)) << "round " << round;
        }
      }
    }
  }
}

// One RowFields reused over many rows answers as the whole document: the
// same rows pass, every path finds the same value, the same rows fail to
// decode with the same message, and the partial document reads as the
// whole one at the caller's paths.
TEST(RowFieldsTest, AgreesWithWholeDocuments) {
  std::mt19937_64 rng(31);
  for (int shape = 0; shape < 60; ++shape) {
    std::vector<Predicate> filters;
    for (uint64_t i = 0, n = rng() % 3; i < n; ++i) filters.push_back(RandomFilter(rng));
    std::vector<std::string> owned;
    for (uint64_t i = 0, n = rng() % 4; i < n; ++i) owned.push_back(kPaths[rng() % std::size(kPaths)]);
    const std::vector<std::string_view> fields(owned.begin(), owned.end());
    RowFields walk(filters, fields);
    for (int round = 0; round < 150; ++round) {
      std::string bytes = encode_value(RandomRow(rng));
      if (round % 7 == 0 && !bytes.empty()) bytes[rng() % bytes.size()] = static_cast<char>(rng());
      auto full = decode_value(bytes);
      auto passed = walk.Next(bytes);
      ASSERT_EQ(full.has_value(), passed.has_value()) << "shape " << shape << " round " << round;
      if (!full) {
        EXPECT_EQ(full.error().Message(), passed.error().Message());
        continue;
      }
      ASSERT_EQ(EvalFilters(filters, *full), *passed) << "shape " << shape << " round " << round;
      if (!*passed) continue;
      const Value partial = walk.Partial();
      for (size_t i = 0; i < fields.size(); ++i) {
        const Value* want = get_path(*full, fields[i]);
        for (const Value* got : {walk.At(i), get_path(partial, fields[i])}) {
          ASSERT_EQ(want == nullptr, got == nullptr) << "path '" << fields[i] << "' round " << round;
          if (want != nullptr) {
            EXPECT_TRUE(values_same(*want, *got)) << "path '" << fields[i] << "' round " << round;
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace pallix
