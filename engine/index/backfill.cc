#include "index/backfill.h"

#include <cstdlib>

#include "base/test_point.h"
#include "doc/value.h"
#include "index/index_state.h"

namespace pallix {

namespace {

// The process-wide threshold, read when a build first commits a batch;
// later changes of the environment have no effect.
const std::optional<uint64_t>& AbortThreshold() {
  static const std::optional<uint64_t> threshold = parse_abort_threshold(std::getenv("PALLIX_TEST_ABORT_AFTER_PAGES"));
  return threshold;
}

// One batch, read and indexed in one write transaction together with the
// cursor after it. Returns that cursor, or nullopt when no row was left and
// the registry row was written complete instead.
Result<std::optional<std::string>> CommitBatch(Engine& engine, std::string_view collection,
                                               std::string_view registry, std::string_view key,
                                               std::string_view payload, std::string_view start,
                                               const BatchWriter& writer) {
  ASSIGN_OR_RETURN(WriteCtx ctx, BeginWriteCtx(engine.store()));
  ASSIGN_OR_RETURN(std::vector<Row> batch, scan_rows_from(ctx, collection, start, kBackfillBatch));
  std::optional<std::string> next;
  if (!batch.empty()) {
    next = batch.back().key;
    next->push_back('\0');
    RETURN_IF_ERROR(writer(ctx, batch));
  }
  RETURN_IF_ERROR(put_row(ctx, registry, key, encode_index_state(payload, next)));
  RETURN_IF_ERROR(ctx.Commit());
  return next;
}

}  // namespace

std::optional<uint64_t> parse_abort_threshold(const char* text) {
  if (text == nullptr || !IsValidUtf8(text)) return std::nullopt;
  std::string_view s(text);
  if (s.starts_with('+')) s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  uint64_t n = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (n > (UINT64_MAX - digit) / 10) return std::nullopt;
    n = n * 10 + digit;
  }
  return n;
}

Status backfill_index(Engine& engine, std::string_view collection, std::string_view ns, std::string_view registry,
                      std::string_view key, std::string_view payload, std::string start, const BatchWriter& writer) {
  uint64_t pages = 0;
  while (true) {
    ReachTestPoint(TestPoint::kBuildBatchBeforeWrite, ns);
    ASSIGN_OR_RETURN(std::optional<std::string> next,
                     CommitBatch(engine, collection, registry, key, payload, start, writer));
    if (!next) {  // the completing step, not counted as a page
      ReachTestPoint(TestPoint::kBuildComplete, ns);
      return Ok();
    }
    ++pages;
    const std::optional<uint64_t>& threshold = AbortThreshold();
    if (threshold && pages >= *threshold) std::abort();  // crash-test hook: no unwinding, no further write
    start = std::move(*next);
  }
}

}  // namespace pallix
