#include "db/schema.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "db/engine.h"
#include "storage/read_view.h"
#include "storage/rows.h"
#include "tests/engine/test_util.h"
#include "write/write.h"

namespace pallix {
namespace {

using test::Doc;
using test::MemEngine;

SchemaField Field(std::string name, FieldType type, bool required = false, bool unique = false) {
  return SchemaField{std::move(name), type, required, unique};
}

std::string Message(const Status& s) { return s ? "ok" : s.error().Message(); }
template <typename T>
std::string Message(const Result<T>& r) {
  return r ? "ok" : r.error().Message();
}

TEST(SchemaTest, FieldTypeBytesFollowTheirOwnOrder) {
  // The stored bytes of the last three kinds differ from the value tags.
  EXPECT_TRUE(field_type_accepts(FieldType::kVector, ValueKind::kVector));
  EXPECT_TRUE(field_type_accepts(FieldType::kArray, ValueKind::kArray));
  EXPECT_TRUE(field_type_accepts(FieldType::kMap, ValueKind::kMap));
  EXPECT_EQ(static_cast<int>(FieldType::kVector), 6);
  EXPECT_EQ(static_cast<int>(ValueKind::kVector), 8);
  EXPECT_FALSE(field_type_accepts(FieldType::kVector, static_cast<ValueKind>(6)));
  EXPECT_FALSE(field_type_accepts(FieldType::kArray, static_cast<ValueKind>(7)));
  EXPECT_FALSE(field_type_accepts(FieldType::kMap, static_cast<ValueKind>(8)));
  for (int t = 0; t <= 8; ++t)
    for (int k = 0; k <= 8; ++k) {
      bool expect = t == 0 || (t <= 5 && t == k) || (t == 6 && k == 8) || (t == 7 && k == 6) || (t == 8 && k == 7);
      EXPECT_EQ(field_type_accepts(static_cast<FieldType>(t), static_cast<ValueKind>(k)), expect) << t << " " << k;
    }
  EXPECT_EQ(field_type_from_name("vector"), FieldType::kVector);
  EXPECT_EQ(field_type_from_name("Int"), std::nullopt);
  EXPECT_EQ(field_type_name(FieldType::kMap), "map");
}

TEST(SchemaTest, RecordLayout) {
  std::string record = encode_schema({Field("a.b", FieldType::kArray, true, false), Field("", FieldType::kAny)});
  std::string want("\x02\x00\x00\x00"
                   "\x07\x01\x00\x03\x00\x00\x00"
                   "a.b"
                   "\x00\x00\x00\x00\x00\x00\x00",
                   21);
  EXPECT_EQ(record, want);
  EXPECT_EQ(decode_schema(record),
            (std::vector<SchemaField>{Field("a.b", FieldType::kArray, true, false), Field("", FieldType::kAny)}));
  EXPECT_EQ(decode_schema(record + "trailing"), decode_schema(record));
  // Any non-zero flag byte reads as true.
  std::string loose = record;
  loose[6] = 7;
  EXPECT_TRUE(decode_schema(loose)->at(0).unique);
}

TEST(SchemaTest, RequiredAndTypes) {
  auto engine = MemEngine();
  ASSERT_TRUE(set_schema(*engine, "c",
                         {Field("r", FieldType::kAny, true), Field("i", FieldType::kInt), Field("f", FieldType::kFloat),
                          Field("a.b", FieldType::kText, true)})
                  .has_value());
  Value nested = Doc({{"b", Value::Text("x")}});
  EXPECT_EQ(Message(validate_document(*engine, "c", Doc({{"r", Value::Int(1)}, {"a", nested}}))), "ok");
  EXPECT_EQ(Message(validate_document(*engine, "c", Doc({{"r", Value::Null()}, {"a", nested}}))),
            "schema violation: field 'r' is required");
  EXPECT_EQ(Message(validate_document(*engine, "c", Doc({{"a", nested}}))), "schema violation: field 'r' is required");
  EXPECT_EQ(Message(validate_document(*engine, "c", Doc({{"r", Value::Int(1)}, {"i", Value::Float(1.0)}, {"a", nested}}))),
            "schema violation: field 'i' has the wrong type");
  EXPECT_EQ(Message(validate_document(*engine, "c", Doc({{"r", Value::Int(1)}, {"f", Value::Int(1)}, {"a", nested}}))),
            "schema violation: field 'f' has the wrong type");
  // Optional fields may be absent or Null.
  EXPECT_EQ(Message(validate_document(*engine, "c", Doc({{"r", Value::Int(1)}, {"i", Value::Null()}, {"a", nested}}))),
            "ok");
  // a is not a map: a.b is absent.
  EXPECT_EQ(Message(validate_document(*engine, "c", Doc({{"r", Value::Int(1)}, {"a", Value::Text("b")}}))),
            "schema violation: field 'a.b' is required");
  // A non-map document has no fields at all; the first failing field wins.
  EXPECT_EQ(Message(validate_document(*engine, "c", Value::Int(3))), "schema violation: field 'r' is required");
  // The write entries refuse with code 15 and write nothing.
  auto r = insert(*engine, "c", "k", Value::Int(3));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().code(), 15u);
  EXPECT_EQ(*count_rows(engine->store(), "c"), 0u);
  // Another collection has no schema; an empty schema accepts everything.
  EXPECT_EQ(Message(validate_document(*engine, "d", Value::Int(3))), "ok");
  ASSERT_TRUE(set_schema(*engine, "c", {}).has_value());
  EXPECT_EQ(get_schema(*engine, "c"), std::optional<std::vector<SchemaField>>(std::vector<SchemaField>{}));
  EXPECT_EQ(get_schema(*engine, "d"), std::nullopt);
  EXPECT_TRUE(insert(*engine, "c", "k", Value::Int(3)).has_value());
}

TEST(SchemaTest, UniqueUsesExactSameness) {
  auto engine = MemEngine();
  ASSERT_TRUE(set_schema(*engine, "c", {Field("u", FieldType::kAny, false, true)}).has_value());
  const double nan = std::numeric_limits<double>::quiet_NaN();
  ASSERT_TRUE(insert(*engine, "c", "int", Doc({{"u", Value::Int(1)}})).has_value());
  // The same value under the same key is no conflict.
  EXPECT_TRUE(insert(*engine, "c", "int", Doc({{"u", Value::Int(1)}})).has_value());
  // Int 1 and Float 1.0 are different values.
  EXPECT_TRUE(insert(*engine, "c", "float", Doc({{"u", Value::Float(1.0)}})).has_value());
  EXPECT_EQ(Message(insert(*engine, "c", "other", Doc({{"u", Value::Int(1)}}))),
            "schema violation: field 'u' must be unique; value already exists");
  EXPECT_EQ(Message(insert(*engine, "c", "other", Doc({{"u", Value::Float(1.0)}}))),
            "schema violation: field 'u' must be unique; value already exists");
  // NaN equals NaN for uniqueness.
  EXPECT_TRUE(insert(*engine, "c", "nan", Doc({{"u", Value::Float(nan)}})).has_value());
  EXPECT_EQ(Message(insert(*engine, "c", "nan2", Doc({{"u", Value::Float(-nan)}}))),
            "schema violation: field 'u' must be unique; value already exists");
  EXPECT_TRUE(insert(*engine, "c", "nan", Doc({{"u", Value::Float(nan)}})).has_value());
  // -0.0 and 0.0 are equal floats.
  EXPECT_TRUE(insert(*engine, "c", "zero", Doc({{"u", Value::Float(0.0)}})).has_value());
  EXPECT_FALSE(insert(*engine, "c", "negzero", Doc({{"u", Value::Float(-0.0)}})).has_value());
  // Absent and Null take no part; compound values compare whole.
  EXPECT_TRUE(insert(*engine, "c", "n1", Doc({{"u", Value::Null()}})).has_value());
  EXPECT_TRUE(insert(*engine, "c", "n2", Doc({{"u", Value::Null()}})).has_value());
  EXPECT_TRUE(insert(*engine, "c", "n3", Doc({})).has_value());
  EXPECT_TRUE(insert(*engine, "c", "arr", Doc({{"u", Value::Array({Value::Int(1)})}})).has_value());
  EXPECT_FALSE(insert(*engine, "c", "arr2", Doc({{"u", Value::Array({Value::Int(1)})}})).has_value());
  EXPECT_TRUE(insert(*engine, "c", "arr3", Doc({{"u", Value::Array({Value::Float(1)})}})).has_value());
  // Deleting frees the value.
  ASSERT_TRUE(*delete_document(*engine, "c", "int"));
  EXPECT_TRUE(insert(*engine, "c", "other", Doc({{"u", Value::Int(1)}})).has_value());
}

TEST(SchemaTest, FirstDeclaredUniqueFieldIsReported) {
  auto engine = MemEngine();
  ASSERT_TRUE(set_schema(*engine, "c",
                         {Field("a", FieldType::kAny, false, true), Field("plain", FieldType::kAny),
                          Field("b", FieldType::kAny, false, true)})
                  .has_value());
  // "a" conflicts only with a row that sorts after the row "b" conflicts with.
  ASSERT_TRUE(insert(*engine, "c", "1", Doc({{"a", Value::Int(0)}, {"b", Value::Int(7)}})).has_value());
  ASSERT_TRUE(insert(*engine, "c", "9", Doc({{"a", Value::Int(5)}, {"b", Value::Int(0)}})).has_value());
  EXPECT_EQ(Message(insert(*engine, "c", "new", Doc({{"a", Value::Int(5)}, {"b", Value::Int(7)}}))),
            "schema violation: field 'a' must be unique; value already exists");
  EXPECT_EQ(Message(insert(*engine, "c", "new", Doc({{"a", Value::Int(6)}, {"b", Value::Int(7)}}))),
            "schema violation: field 'b' must be unique; value already exists");
  // A row that does not decode fails the check, unless the first field has
  // already met its conflict before it.
  ASSERT_TRUE(put_row_once(engine->store(), "c", "5bad", "\x09").has_value());
  EXPECT_EQ(Message(insert(*engine, "c", "new", Doc({{"a", Value::Int(6)}, {"b", Value::Int(7)}}))),
            "decode: unknown tag 9");
  EXPECT_EQ(Message(insert(*engine, "c", "new", Doc({{"a", Value::Int(0)}, {"b", Value::Int(8)}}))),
            "schema violation: field 'a' must be unique; value already exists");
  // The key's own row is never read, even when it is damaged: rewriting it
  // repairs it.
  EXPECT_EQ(Message(insert(*engine, "c", "5bad", Doc({{"a", Value::Int(1)}}))), "ok");
  EXPECT_EQ(Message(insert(*engine, "c", "new", Doc({{"a", Value::Int(6)}, {"b", Value::Int(7)}}))),
            "schema violation: field 'b' must be unique; value already exists");
}

TEST(SchemaTest, SetSchemaChecksNamesAndKeepsRegistryOnFailure) {
  auto engine = MemEngine();
  EXPECT_EQ(set_schema(*engine, "__c", {}).error().code(), 10u);
  EXPECT_EQ(set_schema(*engine, "a__b", {}).error().code(), 11u);
  auto bad_field = set_schema(*engine, "c", {Field("ok", FieldType::kAny), Field("x__y", FieldType::kAny)});
  EXPECT_EQ(bad_field.error().Message(), "invalid name (NUL byte or `__` is not allowed): x__y");
  EXPECT_EQ(set_schema(*engine, "c", {Field(std::string("a\0b", 3), FieldType::kAny)}).error().code(), 11u);
  EXPECT_EQ(get_schema(*engine, "c"), std::nullopt);
  EXPECT_TRUE(list_collections(*engine)->empty());

  ASSERT_TRUE(set_schema(*engine, "c", {Field("a", FieldType::kInt)}).has_value());
  auto before = test::StoreRows(engine->store());
  StoreFaults faults;
  engine->store().set_faults(&faults);
  for (int mode = 0; mode < 3; ++mode) {
    faults = StoreFaults{};
    if (mode == 0) faults.fail_begin_write = true;
    if (mode == 1) faults.fail_commit = true;
    if (mode == 2) faults.fail_write_at = 0;
    EXPECT_FALSE(set_schema(*engine, "c", {Field("b", FieldType::kText)}).has_value());
    EXPECT_EQ(test::StoreRows(engine->store()), before);
    EXPECT_EQ(get_schema(*engine, "c"), std::optional<std::vector<SchemaField>>({Field("a", FieldType::kInt)}));
  }
  engine->store().set_faults(nullptr);
}

TEST(SchemaTest, RegistryReloadedAtReopen) {
  test::TempDir dir;
  std::string path = dir.path() + "/db";
  std::vector<SchemaField> fields = {Field("name", FieldType::kText, true, true), Field("v", FieldType::kVector),
                                     Field("a.b", FieldType::kMap, false, true)};
  {
    auto engine = open_engine(path);
    ASSERT_TRUE(engine.has_value());
    ASSERT_TRUE(set_schema(**engine, "people", fields).has_value());
    ASSERT_TRUE(set_schema(**engine, "empty", {}).has_value());
    ASSERT_TRUE(set_schema(**engine, "replaced", {Field("x", FieldType::kInt)}).has_value());
    ASSERT_TRUE(set_schema(**engine, "replaced", {Field("y", FieldType::kBool)}).has_value());
  }
  auto engine = open_engine(path);
  ASSERT_TRUE(engine.has_value());
  EXPECT_EQ(get_schema(**engine, "people"), fields);
  EXPECT_EQ(get_schema(**engine, "empty"), std::optional<std::vector<SchemaField>>(std::vector<SchemaField>{}));
  EXPECT_EQ(get_schema(**engine, "replaced"),
            std::optional<std::vector<SchemaField>>({Field("y", FieldType::kBool)}));
  EXPECT_EQ(insert(**engine, "people", "k", Doc({})).error().code(), 15u);
}

TEST(SchemaTest, BadRegistryRowsAreDroppedAtOpen) {
  test::TempDir dir;
  std::string path = dir.path() + "/db";
  std::string good = encode_schema({Field("a", FieldType::kInt), Field("b", FieldType::kText)});
  std::string bad_type = good;
  bad_type[4 + 7 + 1] = 9;  // second field's type byte
  std::string short_count("\x02\x00\x00\x00\x02\x00\x00\x01\x00\x00\x00" "a", 12);  // ends after one field
  std::string huge_count = good;
  huge_count.replace(0, 4, "\xff\xff\xff\xff");
  std::string bad_utf8("\x01\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\xff", 12);
  std::string long_name("\x01\x00\x00\x00\x00\x00\x00\x09\x00\x00\x00" "ab", 13);
  {
    auto engine = open_engine(path);
    ASSERT_TRUE(engine.has_value());
    Store& store = (*engine)->store();
    ASSERT_TRUE(put_row_once(store, "__schemas__", "good", good).has_value());
    ASSERT_TRUE(put_row_once(store, "__schemas__", "trailing", good + "xyz").has_value());
    ASSERT_TRUE(put_row_once(store, "__schemas__", "zero", std::string(4, '\0')).has_value());
    ASSERT_TRUE(put_row_once(store, "__schemas__", "type9", bad_type).has_value());
    ASSERT_TRUE(put_row_once(store, "__schemas__", "short", short_count).has_value());
    ASSERT_TRUE(put_row_once(store, "__schemas__", "huge", huge_count).has_value());
    ASSERT_TRUE(put_row_once(store, "__schemas__", "utf8", bad_utf8).has_value());
    ASSERT_TRUE(put_row_once(store, "__schemas__", "longname", long_name).has_value());
    ASSERT_TRUE(put_row_once(store, "__schemas__", "tiny", "\x01").has_value());
    ASSERT_TRUE(put_row_once(store, "__schemas__", "\xff\xfe", good).has_value());
  }
  auto engine = open_engine(path);
  ASSERT_TRUE(engine.has_value());
  EXPECT_EQ(get_schema(**engine, "good"), decode_schema(good));
  EXPECT_EQ(get_schema(**engine, "trailing"), decode_schema(good));
  EXPECT_EQ(get_schema(**engine, "zero"), std::optional<std::vector<SchemaField>>(std::vector<SchemaField>{}));
  for (const char* name : {"type9", "short", "huge", "utf8", "longname", "tiny", "\xff\xfe"})
    EXPECT_EQ(get_schema(**engine, name), std::nullopt) << name;
  EXPECT_EQ((*engine)->schemas->by_collection.size(), 3u);
}

// A store whose reads fail: the first registry load fails, and with it the
// open, which leaves no Engine behind.
TEST(SchemaTest, LoadFailureFailsTheOpen) {
  auto store = Store::OpenInMemory();
  ASSERT_TRUE(store.has_value());
  ASSERT_TRUE(check_format_version(**store).has_value());
  StoreFaults faults;
  faults.fail_begin_read = true;
  (*store)->set_faults(&faults);
  auto engine = open_engine_over(std::move(*store));
  ASSERT_FALSE(engine.has_value());
  EXPECT_EQ(engine.error().code(), 2u);
}

}  // namespace
}  // namespace pallix
