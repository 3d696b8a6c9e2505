#include "index/registry.h"

#include <gtest/gtest.h>

#include "base/coding.h"
#include "storage/read_view.h"
#include "storage/rows.h"
#include "test_util.h"

namespace pallix {
namespace {

std::string B(std::initializer_list<int> bytes) {
  std::string out;
  for (int b : bytes) out.push_back(static_cast<char>(b));
  return out;
}

// Writes raw registry rows into a new database file in `dir`, then reopens
// it: the open loads the registries.
std::shared_ptr<Engine> WithRows(const test::TempDir& dir,
                                 const std::vector<std::tuple<std::string_view, std::string, std::string>>& rows) {
  std::string path = dir.path() + "/db";
  {
    auto engine = open_engine(path);
    EXPECT_TRUE(engine.has_value());
    for (const auto& [coll, key, value] : rows) EXPECT_TRUE(put_row_once((*engine)->store(), coll, key, value));
  }
  auto engine = open_engine(path);
  EXPECT_TRUE(engine.has_value());
  return *engine;
}

TEST(RegistryTest, VectorRowsLoadByTheirRules) {
  PqCodebook cb;
  cb.m = 2, cb.k = 2, cb.subspace_dim = 1, cb.dim = 2, cb.centroids = {1, 2, 3, 4};
  test::TempDir dir;
  auto engine = WithRows(dir, {
      {kVectorRegistry, registry_key("c", "bad"), B({0xFF, 0, 5, 0, 0})},  // metric 5: skipped
      {kVectorRegistry, registry_key("c", "empty"), B({0xFF, 0})},         // no payload: skipped
      {kVectorRegistry, registry_key("c", "old"), B({0, 7})},              // old form, quantization 7
      {kVectorRegistry, registry_key("c", "pq"), B({0xFF, 1, 0, 0, 0, 0, 2, 0, 2})},
      {kVectorRegistry, registry_key("c", "pqok"), B({0xFF, 0, 1, 0, 3})},
      {vector_namespace("c", "pqok"), std::string(kDannCodebookKey), encode_dann_codebook(cb)},
      {kVectorRegistry, "nokey", B({0xFF, 0, 0, 0, 0})},
  });
  NamedMutex::Guard guard(engine->index_lock);
  auto& declared = (*vector_registry(*engine))->declared;
  ASSERT_EQ(declared.size(), 3u);
  const VectorIndexInfo& old = declared.at({"c", "old"});
  EXPECT_EQ(old.metric, 0);
  EXPECT_EQ(old.quantization, 0);
  EXPECT_EQ(old.storage_kind, kVectorInMemory);
  const VectorIndexInfo& pq = declared.at({"c", "pq"});
  EXPECT_EQ(pq.metric, 2);
  EXPECT_EQ(pq.storage_kind, kVectorOnDiskPq);
  EXPECT_TRUE(pq.building);
  EXPECT_EQ(pq.codebook, nullptr);  // no "q" row
  const VectorIndexInfo& ok = declared.at({"c", "pqok"});
  ASSERT_NE(ok.codebook, nullptr);
  EXPECT_EQ(ok.codebook->centroids, cb.centroids);
  EXPECT_EQ(ok.storage_kind, kVectorInMemoryPq);
}

TEST(RegistryTest, OtherKindsLoad) {
  test::TempDir dir;
  auto engine = WithRows(dir, {
      {kTextRegistry, registry_key("c", "disk"), B({0xFF, 1, 0, 0, 0, 0, 1})},
      {kTextRegistry, registry_key("c", "damaged"), B({0xFF, 9})},
      {kScalarRegistry, registry_key("c", "a"), B({0xFF, 0})},
      {kScalarRegistry, registry_key("c", "b"), B({0xFF})},
      {kCompoundRegistry, compound_registry_key("c", {"a", "b"}), B({0xFF, 0, 1})},
      {kCompoundRegistry, compound_registry_key("c", {"b"}), B({0xFF, 0, 2})},
      {kCompoundRegistry, "c", B({0xFF, 0, 1})},
      {kGeoRegistry, registry_key("c", "p"), B({0xFF, 1, 0, 0, 0, 1, 'k'})},
  });
  {
    NamedMutex::Guard guard(engine->fts_lock);
    auto& texts = (*text_registry(*engine))->declared;
    EXPECT_TRUE(texts.at({"c", "disk"}).on_disk && texts.at({"c", "disk"}).building);
    EXPECT_FALSE(texts.at({"c", "damaged"}).on_disk);
    EXPECT_TRUE(texts.at({"c", "damaged"}).building);
  }
  {
    NamedMutex::Guard guard(engine->scalar_lock);
    ScalarRegistry* reg = *scalar_registry(*engine);
    EXPECT_EQ(reg->scalars, (std::map<FieldKey, bool>{{{"c", "a"}, false}, {{"c", "b"}, true}}));
    ASSERT_EQ(reg->compounds.size(), 2u);
    EXPECT_TRUE(reg->compounds.at({"c", {"a", "b"}}).covering);
    EXPECT_FALSE(reg->compounds.at({"c", {"b"}}).covering);
  }
  NamedMutex::Guard guard(engine->geo_lock);
  EXPECT_EQ((*geo_registry(*engine))->fields, (std::map<FieldKey, bool>{{{"c", "p"}, true}}));
}

// Every open, in memory or from a file, loads every registry, as the
// binding's does: none is left to load on first use.
TEST(RegistryTest, OpenLoadsEveryRegistry) {
  test::TempDir dir;
  auto file = open_engine(dir.path() + "/db");
  auto memory = open_in_memory();
  ASSERT_TRUE(file.has_value());
  ASSERT_TRUE(memory.has_value());
  for (const auto& engine : {*file, *memory}) {
    EXPECT_NE(engine->vector_registry, nullptr);
    EXPECT_NE(engine->text_registry, nullptr);
    EXPECT_NE(engine->scalar_registry, nullptr);
    EXPECT_NE(engine->geo_registry, nullptr);
    EXPECT_NE(engine->schemas, nullptr);
  }
}

TEST(RegistryTest, CodebookRecords) {
  PqCodebook cb;
  cb.m = 1, cb.k = 2, cb.subspace_dim = 2, cb.dim = 2, cb.centroids = {1, 2, 3, 4};
  std::string rec = encode_dann_codebook(cb);
  EXPECT_EQ(rec.size(), 16u + 16u);
  EXPECT_EQ(decode_dann_codebook(rec + "trailing")->centroids, cb.centroids);
  EXPECT_FALSE(decode_dann_codebook(rec.substr(0, rec.size() - 1)).has_value());
  EXPECT_FALSE(decode_dann_codebook(rec.substr(0, 15)).has_value());
  std::string huge = rec;
  EncodeFixed32LE(huge.data() + 4, UINT32_MAX);  // k beyond a byte code
  EXPECT_FALSE(decode_dann_codebook(huge).has_value());
  std::string wrong_dim = rec;
  EncodeFixed32LE(wrong_dim.data() + 12, 3);
  EXPECT_FALSE(decode_dann_codebook(wrong_dim).has_value());
}

}  // namespace
}  // namespace pallix
