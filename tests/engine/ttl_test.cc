#include "db/ttl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include "db/edges.h"
#include "db/engine.h"
#include "storage/read_view.h"
#include "storage/rows.h"
#include "tests/engine/test_util.h"
#include "write/write.h"

namespace pallix {
namespace {

using test::Doc;
using test::MemEngine;

constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

std::vector<std::string> RowKeys(Store& store, std::string_view collection) {
  std::vector<std::string> keys;
  auto rows = scan_all_rows(store, collection);
  EXPECT_TRUE(rows.has_value());
  for (const Row& r : *rows) keys.push_back(r.key);
  return keys;
}

// Writes a row straight into storage, bypassing every rule.
void RawPut(Engine& engine, std::string_view collection, std::string_view key, std::string_view value) {
  auto ctx = BeginWriteCtx(engine.store());
  ASSERT_TRUE(ctx.has_value());
  ASSERT_TRUE(put_row(*ctx, collection, key, value).has_value());
  ASSERT_TRUE(ctx->Commit().has_value());
}

TEST(TtlTest, EncodingSortsBySignedValue) {
  EXPECT_EQ(encode_expiry(kMin), std::string(8, '\0'));
  EXPECT_EQ(encode_expiry(kMax), std::string(8, '\xff'));
  EXPECT_EQ(encode_expiry(0), std::string("\x80\0\0\0\0\0\0\0", 8));
  EXPECT_EQ(encode_expiry(-1), std::string("\x7f\xff\xff\xff\xff\xff\xff\xff", 8));
  std::vector<int64_t> values = {kMin, kMin + 1, -256, -1, 0, 1, 255, 256, kMax - 1, kMax};
  for (size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(decode_expiry(encode_expiry(values[i])), values[i]);
    if (i > 0) {
      EXPECT_LT(encode_expiry(values[i - 1]), encode_expiry(values[i]));
    }
  }
  EXPECT_EQ(ttl_key_by_doc("k"), std::string("\0k", 2));
  EXPECT_EQ(ttl_key_by_expiry(kMax, "k"), "\x01" + std::string(8, '\xff') + "k");
  EXPECT_EQ(ttl_collection("c"), "__ttl__c");
}

TEST(TtlTest, SetTwiceKeepsTwoRows) {
  auto engine = MemEngine();
  ASSERT_TRUE(set_ttl(*engine, "c", "k", 100).has_value());
  EXPECT_EQ(*count_rows(engine->store(), "__ttl__c"), 2u);
  ASSERT_TRUE(set_ttl(*engine, "c", "k", -7).has_value());
  EXPECT_EQ(*count_rows(engine->store(), "__ttl__c"), 2u);
  EXPECT_EQ(RowKeys(engine->store(), "__ttl__c"),
            (std::vector<std::string>{ttl_key_by_doc("k"), ttl_key_by_expiry(-7, "k")}));
  EXPECT_EQ(*get_row_once(engine->store(), "__ttl__c", ttl_key_by_doc("k")), encode_expiry(-7));
  // No document exists under k, and none is needed.
  EXPECT_EQ(*get_document(engine->store(), "c", "k"), std::nullopt);
  EXPECT_EQ(*get_ttl(*engine, "c", "k"), std::optional<int64_t>(-7));
  EXPECT_EQ(*get_ttl(*engine, "c", "other"), std::nullopt);
  EXPECT_EQ(*get_ttl(*engine, "never", "k"), std::nullopt);
  EXPECT_EQ(set_ttl(*engine, "__c", "k", 1).error().code(), 10u);
  EXPECT_EQ(set_ttl(*engine, "a__b", "k", 1).error().code(), 11u);
}

TEST(TtlTest, ClearAndWritesOfTheKey) {
  auto engine = MemEngine();
  // Clearing a key without an expiry changes nothing.
  auto before = test::StoreRows(engine->store());
  {
    auto ctx = BeginWriteCtx(engine->store());
    ASSERT_TRUE(clear_ttl(*ctx, "__ttl__c", "k").has_value());
    ASSERT_TRUE(drop_ttl_rows(*ctx, "c", "k").has_value());
    ASSERT_TRUE(ctx->Commit().has_value());
  }
  EXPECT_EQ(test::StoreRows(engine->store()), before);

  ASSERT_TRUE(insert_with_ttl(*engine, "c", "k", Value::Int(1), 50).has_value());
  ASSERT_TRUE(insert_with_ttl(*engine, "c", "j", Value::Int(1), 50).has_value());
  EXPECT_EQ(*get_ttl(*engine, "c", "k"), std::optional<int64_t>(50));
  ASSERT_TRUE(insert_with_ttl(*engine, "c", "k", Value::Int(2), 60).has_value());
  EXPECT_EQ(*get_ttl(*engine, "c", "k"), std::optional<int64_t>(60));
  EXPECT_EQ(*count_rows(engine->store(), "__ttl__c"), 4u);
  // A plain insert removes the expiry; the other key keeps its own.
  ASSERT_TRUE(insert(*engine, "c", "k", Value::Int(3)).has_value());
  EXPECT_EQ(*get_ttl(*engine, "c", "k"), std::nullopt);
  EXPECT_EQ(*get_ttl(*engine, "c", "j"), std::optional<int64_t>(50));
  EXPECT_EQ(*count_rows(engine->store(), "__ttl__c"), 2u);
  // Deleting an absent key keeps its expiry; deleting a document drops it.
  ASSERT_TRUE(set_ttl(*engine, "c", "ghost", 5).has_value());
  EXPECT_FALSE(*delete_document(*engine, "c", "ghost"));
  EXPECT_EQ(*get_ttl(*engine, "c", "ghost"), std::optional<int64_t>(5));
  EXPECT_TRUE(*delete_document(*engine, "c", "j"));
  EXPECT_EQ(*get_ttl(*engine, "c", "j"), std::nullopt);
  EXPECT_EQ(*count_rows(engine->store(), "__ttl__c"), 2u);
}

TEST(TtlTest, ExtremeInstantsAndKeyOrder) {
  auto engine = MemEngine();
  for (auto [key, at] : std::vector<std::pair<std::string, int64_t>>{
           {"max", kMax}, {"b", 0}, {"a", 0}, {"neg", -1}, {"one", 1}, {"min", kMin}, {"", 0}})
    ASSERT_TRUE(set_ttl(*engine, "c", key, at).has_value());
  std::vector<std::string> by_expiry;
  for (const std::string& k : RowKeys(engine->store(), "__ttl__c"))
    if (k[0] == '\x01') by_expiry.push_back(k);
  EXPECT_EQ(by_expiry, (std::vector<std::string>{ttl_key_by_expiry(kMin, "min"), ttl_key_by_expiry(-1, "neg"),
                                                 ttl_key_by_expiry(0, ""), ttl_key_by_expiry(0, "a"),
                                                 ttl_key_by_expiry(0, "b"), ttl_key_by_expiry(1, "one"),
                                                 ttl_key_by_expiry(kMax, "max")}));
  auto expired = collect_expired(*engine, "c", 0);
  ASSERT_TRUE(expired.has_value());
  EXPECT_EQ(*expired, (std::vector<ExpiredKey>{{"min", kMin}, {"neg", -1}, {"", 0}, {"a", 0}, {"b", 0}}));
  EXPECT_EQ(collect_expired(*engine, "c", kMin)->size(), 1u);
  EXPECT_EQ(collect_expired(*engine, "c", kMax)->size(), 7u);
  EXPECT_TRUE(collect_expired(*engine, "never", kMax)->empty());
  EXPECT_EQ(*get_ttl(*engine, "c", "min"), std::optional<int64_t>(kMin));
  EXPECT_EQ(*get_ttl(*engine, "c", "max"), std::optional<int64_t>(kMax));
}

TEST(TtlTest, CollectReadsPastOneBatch) {
  auto engine = MemEngine();
  {
    auto ctx = BeginWriteCtx(engine->store());
    for (int i = 0; i < 5000; ++i) ASSERT_TRUE(put_ttl_rows(*ctx, "c", "k" + std::to_string(i), i).has_value());
    ASSERT_TRUE(ctx->Commit().has_value());
  }
  auto expired = collect_expired(*engine, "c", 4500);
  ASSERT_TRUE(expired.has_value());
  ASSERT_EQ(expired->size(), 4501u);
  for (int i = 0; i <= 4500; ++i) ASSERT_EQ((*expired)[i].expiry, i);
}

TEST(TtlTest, PurgeRemovesDocumentsIndexRowsAndEdges) {
  auto engine = MemEngine();
  ASSERT_TRUE(insert_with_ttl(*engine, "c", "a", Value::Int(1), -5).has_value());
  ASSERT_TRUE(insert_with_ttl(*engine, "c", "b", Value::Int(2), 3).has_value());
  ASSERT_TRUE(insert(*engine, "c", "keep", Value::Int(3)).has_value());
  ASSERT_TRUE(set_ttl(*engine, "c", "nodoc", -10).has_value());
  ASSERT_TRUE(link(*engine, "c", "keep", "r", "a").has_value());
  ASSERT_TRUE(link(*engine, "c", "nodoc", "r", "keep").has_value());
  EXPECT_EQ(*purge_expired(*engine, "c", -6), 0u);  // only nodoc: no document removed
  EXPECT_EQ(*get_ttl(*engine, "c", "nodoc"), std::nullopt);
  EXPECT_TRUE(in_neighbors(*engine, "c", "keep", "r")->empty());
  EXPECT_EQ(*count_rows(engine->store(), "c"), 3u);
  EXPECT_EQ(*purge_expired(*engine, "c", 0), 1u);
  EXPECT_EQ(*get_document(engine->store(), "c", "a"), std::nullopt);
  EXPECT_TRUE(neighbors(*engine, "c", "keep", "r")->empty());
  EXPECT_EQ(*count_rows(engine->store(), "c"), 2u);
  EXPECT_EQ(*purge_expired(*engine, "c", 3), 1u);  // an instant equal to now has expired
  EXPECT_EQ(*count_rows(engine->store(), "c"), 1u);
  EXPECT_EQ(*count_rows(engine->store(), "__ttl__c"), 0u);
  EXPECT_EQ(*purge_expired(*engine, "c", kMax), 0u);
  EXPECT_EQ(*purge_expired(*engine, "never", kMax), 0u);
  EXPECT_EQ(purge_expired(*engine, "__c", 0).error().code(), 10u);
}

TEST(TtlTest, StaleByExpiryRowIsRemovedAlone) {
  auto engine = MemEngine();
  ASSERT_TRUE(insert_with_ttl(*engine, "c", "moved", Value::Int(1), 100).has_value());
  ASSERT_TRUE(insert(*engine, "c", "orphan", Value::Int(2)).has_value());
  // Left-overs of a damaged file: by-expiry rows whose by-document row holds
  // another instant, or is missing.
  RawPut(*engine, "__ttl__c", ttl_key_by_expiry(5, "moved"), "");
  RawPut(*engine, "__ttl__c", ttl_key_by_expiry(6, "orphan"), "");
  EXPECT_EQ(*count_rows(engine->store(), "__ttl__c"), 4u);
  EXPECT_EQ(*purge_expired(*engine, "c", 50), 0u);
  EXPECT_EQ(*count_rows(engine->store(), "c"), 2u);
  EXPECT_EQ(*get_ttl(*engine, "c", "moved"), std::optional<int64_t>(100));
  EXPECT_EQ(*count_rows(engine->store(), "__ttl__c"), 2u);
  EXPECT_EQ(RowKeys(engine->store(), "__ttl__c"),
            (std::vector<std::string>{ttl_key_by_doc("moved"), ttl_key_by_expiry(100, "moved")}));
  EXPECT_EQ(*purge_expired(*engine, "c", 100), 1u);
}

TEST(TtlTest, DamagedRowsFailCleanly) {
  auto engine = MemEngine();
  ASSERT_TRUE(insert(*engine, "c", "k", Value::Int(1)).has_value());
  ASSERT_TRUE(set_ttl(*engine, "c", "ok", 1).has_value());
  RawPut(*engine, "__ttl__c", ttl_key_by_doc("k"), "short");
  RawPut(*engine, "__ttl__c", ttl_key_by_expiry(0, "k"), "");
  auto before = test::StoreRows(engine->store());
  auto got = get_ttl(*engine, "c", "k");
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error().code(), 9u);
  EXPECT_EQ(got.error().Message(), "corrupt index state: expiry row in __ttl__c holds 5 bytes, expected 8");
  EXPECT_EQ(set_ttl(*engine, "c", "k", 3).error().code(), 9u);
  EXPECT_EQ(insert(*engine, "c", "k", Value::Int(2)).error().code(), 9u);
  EXPECT_EQ(insert_with_ttl(*engine, "c", "k", Value::Int(2), 1).error().code(), 9u);
  EXPECT_EQ(delete_document(*engine, "c", "k").error().code(), 9u);
  EXPECT_EQ(put_many(*engine, "c", {{"z", Value::Int(0)}, {"k", Value::Int(1)}}).error().code(), 9u);
  EXPECT_EQ(purge_expired(*engine, "c", 0).error().code(), 9u);
  EXPECT_EQ(test::StoreRows(engine->store()), before);
  // A by-expiry key too short to hold an instant ends the collection: the
  // rows after it are not candidates.
  RawPut(*engine, "__ttl__c", std::string("\x01\x80", 2), "");
  auto expired = collect_expired(*engine, "c", 1);
  ASSERT_TRUE(expired.has_value());
  EXPECT_EQ(*expired, (std::vector<ExpiredKey>{}));
  RawPut(*engine, "__ttl__c", std::string("\x01\x80\x00\x00\x00\x00\x00\x00", 8), "");
  expired = collect_expired(*engine, "c", 1);
  ASSERT_TRUE(expired.has_value());
  EXPECT_EQ(*expired, (std::vector<ExpiredKey>{}));
}

TEST(TtlTest, PurgeFailureKeepsEarlierCandidates) {
  auto engine = MemEngine();
  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(insert_with_ttl(*engine, "c", "k" + std::to_string(i), Value::Int(i), i).has_value());
  RawPut(*engine, "__ttl__c", ttl_key_by_doc("k1"), "bad");  // k1's own rows are damaged
  auto r = purge_expired(*engine, "c", 10);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().code(), 9u);
  EXPECT_EQ(*get_document(engine->store(), "c", "k0"), std::nullopt);
  EXPECT_TRUE(get_document(engine->store(), "c", "k1")->has_value());
  EXPECT_TRUE(get_document(engine->store(), "c", "k2")->has_value());
}

}  // namespace
}  // namespace pallix
