#include "base/error.h"

#include <gtest/gtest.h>

#include "base/lock.h"

namespace pallix {
namespace {

TEST(ErrorTest, EveryKindHasItsCodeAndText) {
  struct Case {
    EngineError error;
    uint32_t code;
    const char* message;
  };
  const Case cases[] = {
      {EngineError::Database("d"), 1, "database: d"},
      {EngineError::Transaction("t"), 2, "transaction: t"},
      {EngineError::Table("t"), 3, "table: t"},
      {EngineError::Storage("s"), 4, "storage: s"},
      {EngineError::Commit("c"), 5, "commit: c"},
      {EngineError::SetDurability("x"), 6, "durability: x"},
      {EngineError::Compaction("x"), 7, "compaction: x"},
      {EngineError::Decode("unexpected end of input"), 8, "decode: unexpected end of input"},
      {EngineError::CorruptIndex("bad row"), 9, "corrupt index state: bad row"},
      {EngineError::ReservedCollection("__x"), 10, "reserved collection name: __x"},
      {EngineError::InvalidName("a__b"), 11, "invalid name (NUL byte or `__` is not allowed): a__b"},
      {EngineError::InvalidArgument("k"), 12, "invalid argument: k"},
      {EngineError::IncompatibleFormat(2, 1), 13, "incompatible format: file is v2, engine expects v1"},
      {EngineError::EmptyIndexTraining(), 14, "cannot train a PQ codebook: no usable training vectors"},
      {EngineError::SchemaViolation("field 'a' is required"), 15, "schema violation: field 'a' is required"},
      {EngineError::InvalidDump("bad magic"), 16, "invalid dump: bad magic"},
      {EngineError::BackupTargetExists("/tmp/x"), 17, "backup target already exists: /tmp/x"},
      {EngineError::Io("No such file"), 18, "io: No such file"},
  };
  ASSERT_EQ(std::size(cases), static_cast<size_t>(kErrorKindCount));
  for (const Case& c : cases) {
    EXPECT_EQ(c.error.code(), c.code);
    EXPECT_EQ(c.error.Message(), c.message);
  }
  EXPECT_EQ(EngineError::CorruptIndex("x").DebugString(), "CorruptIndex { context: \"x\" }");
  EXPECT_EQ(EngineError::IncompatibleFormat(7, 1).DebugString(), "IncompatibleFormat { found: 7, expected: 1 }");
  EXPECT_EQ(EngineError::IncompatibleFormat(UINT64_MAX, 1).Message(),
            "incompatible format: file is v18446744073709551615, engine expects v1");
}

Result<int> Half(int x) {
  if (x % 2 != 0) return Fail(EngineError::InvalidArgument("odd"));
  return x / 2;
}

Result<int> Quarter(int x) {
  ASSIGN_OR_RETURN(int h, Half(x));
  ASSIGN_OR_RETURN(int q, Half(h));
  return q;
}

Status CheckEven(int x) {
  RETURN_IF_ERROR(Half(x));
  return Ok();
}

// The helpers nest: a lambda inside one helper's expression may use them
// again, on the same line too, without one temporary shadowing the other.
#pragma GCC diagnostic push
#pragma GCC diagnostic error "-Wshadow"
Result<int> Nested(int x) {
  RETURN_IF_ERROR(([&]() -> Status { ASSIGN_OR_RETURN(int h, Half(x)); RETURN_IF_ERROR(Half(h)); return Ok(); })());
  ASSIGN_OR_RETURN(int q, ([&]() -> Result<int> { ASSIGN_OR_RETURN(int h, Half(x)); return Half(h); })());
  return q;
}
#pragma GCC diagnostic pop

TEST(ErrorTest, ResultHelpersPropagate) {
  EXPECT_EQ(*Nested(8), 2);
  EXPECT_EQ(Nested(6).error().detail(), "odd");
  EXPECT_EQ(*Quarter(8), 2);
  EXPECT_EQ(Quarter(6).error().detail(), "odd");
  EXPECT_TRUE(CheckEven(2).has_value());
  EXPECT_EQ(CheckEven(3).error().code(), 12u);
}

TEST(LockTest, UnwindingHolderPoisonsTheLock) {
  NamedMutex mu("schema lock");
  { NamedMutex::Guard g(mu); }
  EXPECT_FALSE(mu.poisoned());
  try {
    NamedMutex::Guard g(mu);
    throw InvariantError("every slot filled by its chunk");
  } catch (const InvariantError& e) {
    EXPECT_STREQ(e.what(), "every slot filled by its chunk");
  }
  EXPECT_TRUE(mu.poisoned());
  try {
    NamedMutex::Guard g(mu);
    FAIL() << "a poisoned lock must not be taken";
  } catch (const InvariantError& e) {
    EXPECT_STREQ(e.what(), "schema lock");
  }
  EXPECT_THROW(mu.TryLock(), InvariantError);
}

}  // namespace
}  // namespace pallix
