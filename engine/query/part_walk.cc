#include "query/part_walk.h"

#include <optional>
#include <thread>

#include "base/work_pool.h"
#include "query/shared_walk.h"

namespace pallix {

namespace {

Status WalkOne(const ReadView& view, std::string_view collection, const std::vector<std::string>& splits,
               size_t i, const PartBatch& part) {
  const std::string_view lower = i == 0 ? std::string_view() : std::string_view(splits[i - 1]);
  const std::string* upper = i < splits.size() ? &splits[i] : nullptr;
  return view.view_for_each_batch_between(collection, lower, upper,
                                          [&](std::span<const RowRef> rows) { return part(i, rows); });
}

}  // namespace

Result<std::vector<std::string>> PartSplits(const ReadView& view, std::string_view collection) {
  const size_t helpers = WorkPool::Shared().helpers();
  if (!view.txn().is_snapshot() || helpers == 0) return std::vector<std::string>();
  ASSIGN_OR_RETURN(const uint64_t count, view.view_count(collection));
  if (count < kSharedWalkRows) return std::vector<std::string>();
  return view.view_split_keys(collection, kPartsPerLane * (helpers + 1) - 1);
}

Status WalkParts(const ReadView& view, std::string_view collection, const std::vector<std::string>& splits,
                 const PartBatch& part) {
  if (splits.empty()) return WalkOne(view, collection, splits, 0, part);
  const size_t n = splits.size() + 1;
  // Each slot is written by the one thread that took its part, and read
  // here once ForEach has returned (which orders every call before it).
  std::vector<std::optional<Status>> done(n);
  std::vector<uint64_t> rows(n, 0);
  const std::thread::id caller = std::this_thread::get_id();
  const SnapshotTag tag = view.snapshot_tag();
  WorkPool::Shared().ForEach(n, [&](size_t i) {
    if (std::this_thread::get_id() == caller) {
      done[i] = WalkOne(view, collection, splits, i, part);
      return;
    }
    // The store's reader lock is held here only for a moment, and never by
    // a thread that waits for anything: no cycle of waits can pass through
    // it, which is what ForEach asks of its calls.
    Result<std::optional<ReadTxn>> txn = view.txn().store().BeginReadOf(tag);
    if (!txn || !*txn) return;  // left to the caller, in its snapshot
    const ReadView mine(**txn);
    done[i] = WalkOne(mine, collection, splits, i, part);
    rows[i] = mine.rows_walked();
  });
  for (size_t i = 0; i < n; ++i) {
    view.add_rows_walked(rows[i]);
    if (!done[i]) done[i] = WalkOne(view, collection, splits, i, part);
    if (!*done[i]) return *done[i];
  }
  return Ok();
}

}  // namespace pallix
