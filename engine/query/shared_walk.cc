#include "query/shared_walk.h"

#include <algorithm>
#include <utility>

#include "base/port.h"
#include "base/test_point.h"
#include "base/work_pool.h"

namespace pallix {

SharedWalk::SharedWalk(const QuerySpec& spec, const ReadView& view, const RowFilter& filter,
                       std::span<const std::string_view> fields, const StreamedRows& like,
                       std::vector<std::string> splits)
    : spec_(spec), view_(view), tag_(view.snapshot_tag()), filter_(filter), fields_(fields),
      splits_(std::move(splits)) {
  for (size_t i = 0; i <= splits_.size(); ++i) parts_.emplace_back().out.emplace(like.Fresh());
}

Status SharedWalk::Run(std::vector<std::optional<NearestPool>>& pools) {
  Lane& mine = lanes_.emplace_back(spec_, filter_, fields_);  // before a helper adds its own
  // Counted among the pool's sharers until the walk is over, so that walks
  // at work at once ask for a share of the helpers each.
  const WorkPool::Sharer sharer(WorkPool::Shared());
  const size_t helpers = std::min(sharer.helpers(), parts_.size() - 1);
  for (size_t i = 0; i < helpers; ++i) WorkPool::Shared().Post([self = shared_from_this()] { self->HelperLane(); });
  ReachTestPoint(TestPoint::kWalkShared, spec_.collection);
  while (TakeAndWork(view_, mine)) {
  }
  std::unique_lock lock(mu_);
  idle_.wait(lock, [&] { return busy_ == 0; });
  finished_ = true;
  for (const Part& part : parts_) view_.add_rows_walked(part.rows);
  if (failed_at_ != kNone) {
    if (parts_[failed_at_].thrown) std::rethrow_exception(parts_[failed_at_].thrown);
    return parts_[failed_at_].status;
  }
  for (Lane& lane : lanes_)
    for (size_t i = 0; i < pools.size(); ++i)
      if (pools[i]) pools[i]->Absorb(std::move(*lane.pools[i]));
  // A helper that starts from now on finds the walk over: it takes
  // nothing.
  return Ok();
}

void SharedWalk::Abandon() {
  std::unique_lock lock(mu_);
  if (finished_) return;
  failed_at_ = 0;
  idle_.wait(lock, [&] { return busy_ == 0; });
  finished_ = true;
}

std::vector<TextCandidate> SharedWalk::TextCandidates(size_t source) const {
  size_t count = 0;
  for (const Part& part : parts_) count += part.out->TextCount(source);
  std::vector<TextCandidate> out;
  out.reserve(count);
  for (const Part& part : parts_) part.out->AddTextCandidates(source, out);
  return out;
}

// A helper's lane: counted busy before it touches the store, so that the
// caller waits for it, and only while parts are left.
PALLIX_CATCHES_FORCED_UNWIND void SharedWalk::HelperLane() {
  {
    std::lock_guard lock(mu_);
    if (!CanTake()) return;
    ++busy_;
  }
  struct Idle {
    SharedWalk* walk;
    ~Idle() {
      std::lock_guard lock(walk->mu_);
      if (--walk->busy_ == 0) walk->idle_.notify_all();
    }
  } idle{this};
  try {
    Result<std::optional<ReadTxn>> txn = view_.txn().store().BeginReadOf(tag_);
    if (!txn || !*txn) return;  // the caller walks the parts itself
    const ReadView view(**txn);
    Lane* lane;
    {
      std::lock_guard lock(mu_);
      lane = &lanes_.emplace_back(spec_, filter_, fields_);
    }
    while (TakeAndWork(view, *lane)) {
    }
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    // Only the lane's start can throw here (a part keeps what its work
    // throws): the other lanes walk the parts left.
  }
}

PALLIX_CATCHES_FORCED_UNWIND bool SharedWalk::TakeAndWork(const ReadView& view, Lane& lane) {
  size_t at;
  {
    std::lock_guard lock(mu_);
    if (!CanTake()) return false;
    at = next_++;
  }
  Part& part = parts_[at];
  const uint64_t walked = view.rows_walked();
  bool failed;
  try {
    const std::string_view lower = at == 0 ? std::string_view() : std::string_view(splits_[at - 1]);
    const std::string* upper = at < splits_.size() ? &splits_[at] : nullptr;
    part.status = view.view_for_each_batch_between(
        spec_.collection, lower, upper, [&](std::span<const RowRef> rows) -> Result<bool> {
          RETURN_IF_ERROR(lane.walk.Batch(rows, *part.out));
          return true;
        });
    failed = !part.status.has_value();
  } catch (abi::__forced_unwind&) {
    Failed(at);
    throw;
  } catch (...) {
    // Thrown where the serial walk would have thrown: the caller throws
    // it again once every lane is idle.
    part.thrown = std::current_exception();
    failed = true;
  }
  if (&view != &view_) part.rows = view.rows_walked() - walked;  // the caller's view counts its own
  if (failed) Failed(at);
  return true;
}

void SharedWalk::Failed(size_t at) {
  std::lock_guard lock(mu_);
  failed_at_ = std::min(failed_at_, at);
}

}  // namespace pallix
