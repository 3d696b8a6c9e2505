#include "write/unique.h"

#include <map>
#include <random>

#include <gtest/gtest.h>

#include "db/schema.h"
#include "index/scalar_index.h"
#include "storage/read_view.h"
#include "tests/engine/test_util.h"
#include "write/write.h"

namespace pallix::test {
namespace {

std::vector<SchemaField> UniqueSchema() {
  return {SchemaField{"u", FieldType::kAny, false, true}, SchemaField{"w", FieldType::kAny, false, true}};
}

Value RandomUniqueValue(std::mt19937_64& rng) {
  switch (rng() % 6) {
    case 0: return Value::Float(static_cast<double>(rng() % 20));
    case 1: return Value::Float(rng() % 2 ? 0.0 : -0.0);
    case 2: return Value::Float(std::nan(""));
    case 3: return Value::Null();
    default: return Value::Int(static_cast<int64_t>(rng() % 40));
  }
}

// The rule as a model: a pair conflicts when another key of the
// collection, as the batch has left it so far, holds a values_same value.
std::optional<std::string> ModelBatch(std::map<std::string, Value> stored,
                                      const std::vector<std::pair<std::string, Value>>& pairs) {
  for (const auto& [key, doc] : pairs) {
    for (const char* f : {"u", "w"}) {
      const Value* v = get_path(doc, f);
      if (v == nullptr || v->is_null()) continue;
      for (const auto& [other_key, other] : stored) {
        const Value* o = get_path(other, f);
        if (other_key != key && o != nullptr && values_same(*o, *v)) {
          return "schema violation: field '" + std::string(f) + "' must be unique; value already exists";
        }
      }
    }
    stored[key] = doc;
  }
  return std::nullopt;
}

void RandomBatches(bool indexed, uint64_t seed) {
  std::mt19937_64 rng(seed);
  for (int round = 0; round < 150; ++round) {
    auto e = MemEngine();
    ASSERT_TRUE(set_schema(*e, "c", UniqueSchema()).has_value());
    if (indexed) {
      ASSERT_TRUE(create_scalar_index(*e, "c", "u").has_value());
    }
    std::map<std::string, Value> stored;
    for (int i = 0; i < 5; ++i) {
      std::string key = "s" + std::to_string(rng() % 8);
      Value doc = Doc({{"u", Value::Int(1000 + i)}, {"w", Value::Int(2000 + i)}});
      ASSERT_TRUE(insert(*e, "c", key, doc).has_value());
      stored[key] = doc;
    }
    std::vector<std::pair<std::string, Value>> pairs;
    for (int i = 0, n = 1 + static_cast<int>(rng() % 8); i < n; ++i) {
      std::string key = (rng() % 3 ? "b" : "s") + std::to_string(rng() % 8);
      Value u = rng() % 5 == 0 ? Value::Int(1000 + static_cast<int64_t>(rng() % 5)) : RandomUniqueValue(rng);
      pairs.emplace_back(key, Doc({{"u", u}, {"w", RandomUniqueValue(rng)}}));
    }
    std::optional<std::string> want = ModelBatch(stored, pairs);
    Status got = put_many(*e, "c", pairs);
    if (want) {
      ASSERT_FALSE(got.has_value()) << "round " << round;
      EXPECT_EQ(got.error().Message(), *want) << "round " << round;
    } else {
      EXPECT_TRUE(got.has_value()) << "round " << round << ": " << got.error().Message();
    }
  }
}

TEST(UniqueTest, BatchWithoutIndexMatchesModel) { RandomBatches(false, 31); }
TEST(UniqueTest, BatchWithIndexMatchesModel) { RandomBatches(true, 32); }

// A batch large enough that a scan per pair would be quadratic; the table
// makes it one pass. Checks the outcome only.
TEST(UniqueTest, LargeBatchWithoutIndex) {
  auto e = MemEngine();
  ASSERT_TRUE(set_schema(*e, "c", UniqueSchema()).has_value());
  std::vector<std::pair<std::string, Value>> pairs;
  for (int i = 0; i < 50000; ++i) pairs.emplace_back("k" + std::to_string(i), Doc({{"u", Value::Int(i)}}));
  ASSERT_TRUE(put_many(*e, "c", pairs).has_value());
  EXPECT_EQ(*count_rows(e->store(), "c"), 50000u);
  pairs = {{"x", Doc({{"u", Value::Int(50001)}})}, {"y", Doc({{"u", Value::Int(49999)}})}};
  Status dup = put_many(*e, "c", pairs);
  ASSERT_FALSE(dup.has_value());
  EXPECT_EQ(dup.error().code(), 15u);
}

}  // namespace
}  // namespace pallix::test
