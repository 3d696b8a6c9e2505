#include "index/backfill.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "index/index_state.h"
#include "index/registry.h"
#include "index/resume.h"
#include "storage/read_view.h"
#include "test_util.h"
#include "write/write.h"

namespace pallix {
namespace {

using test::Doc;
using test::MemEngine;

std::string K(int i) {
  char buf[16];
  std::snprintf(buf, sizeof(buf), "k%06d", i);
  return buf;
}

void Fill(Engine& engine, int n) {
  std::vector<std::pair<std::string, Value>> docs;
  for (int i = 0; i < n; ++i) docs.emplace_back(K(i), Doc({{"a", Value::Int(i % 7)}}));
  ASSERT_TRUE(put_many(engine, "c", docs));
}

TEST(BackfillTest, AbortThresholdParsing) {
  using T = std::optional<uint64_t>;
  EXPECT_EQ(parse_abort_threshold(nullptr), T());
  EXPECT_EQ(parse_abort_threshold("3"), T(3));
  EXPECT_EQ(parse_abort_threshold("+3"), T(3));
  EXPECT_EQ(parse_abort_threshold("0"), T(0));
  EXPECT_EQ(parse_abort_threshold("18446744073709551615"), T(UINT64_MAX));
  for (const char* off : {"", "+", "-1", "3 ", " 3", "0x3", "18446744073709551616", "++3", "\xff"})
    EXPECT_EQ(parse_abort_threshold(off), T()) << off;
}

TEST(BackfillTest, BatchesCursorsAndCompletion) {
  for (int n : {0, 2048, 5000}) {
    auto engine = MemEngine();
    Fill(*engine, n);
    std::vector<size_t> sizes;
    std::vector<std::optional<std::string>> cursors;
    auto writer = [&](WriteCtx& ctx, const std::vector<Row>& batch) -> Status {
      sizes.push_back(batch.size());
      // The registry row as this batch's transaction sees it: the cursor of
      // the batch before.
      auto row = get_row(ctx, "__reg", "r");
      cursors.push_back(row && *row ? decode_index_state(**row).cursor : std::nullopt);
      return Ok();
    };
    ASSERT_TRUE(backfill_index(*engine, "c", "__entries", "__reg", "r", "\x07", "", writer));
    std::vector<size_t> want = n == 0 ? std::vector<size_t>{} : n == 2048 ? std::vector<size_t>{2048}
                                                                            : std::vector<size_t>{2048, 2048, 904};
    EXPECT_EQ(sizes, want);
    if (n == 5000) {
      EXPECT_EQ(cursors[2], K(4095) + std::string(1, '\0'));
    }
    EXPECT_EQ(get_row_once(engine->store(), "__reg", "r").value(), std::string("\xff\x00\x07", 3));
  }
}

TEST(BackfillTest, AFailedBatchKeepsTheCursorBeforeIt) {
  auto engine = MemEngine();
  Fill(*engine, 5000);
  int calls = 0;
  auto writer = [&](WriteCtx& ctx, const std::vector<Row>& batch) -> Status {
    RETURN_IF_ERROR(put_row(ctx, "__entries", batch.front().key, ""));
    if (++calls == 3) return Fail(EngineError::Decode("bad row"));
    return Ok();
  };
  auto r = backfill_index(*engine, "c", "__entries", "__reg", "r", "", "", writer);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ErrorKind::kDecode);
  auto state = decode_index_state(get_row_once(engine->store(), "__reg", "r").value().value());
  EXPECT_EQ(state.cursor, K(4095) + std::string(1, '\0'));
  EXPECT_EQ(count_rows(engine->store(), "__entries").value(), 2u);  // the failed batch left nothing
}

TEST(BackfillTest, ResumeTakesTheLockOnlyWhenSomethingIsPending) {
  auto engine = MemEngine();
  Fill(*engine, 10);
  // Nothing pending: succeeds even while another holder has the lock.
  ASSERT_TRUE(engine->index_resume_lock.TryLock());
  EXPECT_TRUE(resume_index_builds(*engine, "c"));
  // A pending scalar build (as a crash leaves it): skipped while the lock is
  // held elsewhere, done once it is free.
  ASSERT_TRUE(put_row_once(engine->store(), kScalarRegistry, registry_key("c", "a"), encode_index_state("", "")));
  EXPECT_TRUE(resume_index_builds(*engine, "c"));
  EXPECT_EQ(count_rows(engine->store(), scalar_namespace("c", "a")).value(), 0u);
  engine->index_resume_lock.Unlock();
  EXPECT_TRUE(resume_index_builds(*engine, "c"));
  EXPECT_EQ(count_rows(engine->store(), scalar_namespace("c", "a")).value(), 20u);
  auto state = read_index_state_once(engine->store(), kScalarRegistry, registry_key("c", "a")).value();
  EXPECT_FALSE(state->cursor.has_value());
  // Other collections' pending builds are not touched.
  ASSERT_TRUE(put_row_once(engine->store(), kScalarRegistry, registry_key("d", "a"), encode_index_state("", "")));
  EXPECT_TRUE(resume_index_builds(*engine, "c"));
  EXPECT_TRUE(read_index_state_once(engine->store(), kScalarRegistry, registry_key("d", "a")).value()->cursor);
}

}  // namespace
}  // namespace pallix
