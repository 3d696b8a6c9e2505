// The exact route's walk over a whole collection (RawBatchWalk) shared with
// the helpers of the WorkPool, so that the walk itself, whose steps onto
// rows lying apart wait for memory, runs on several cores, not only the
// work on the rows.
//
// Parts and lanes. The collection's rows are cut into parts of about equal
// size by keys of the store's inner pages (ReadView::view_split_keys), and
// each part is walked and worked whole by one lane: the caller's, in its
// own snapshot, or a helper's, in a snapshot of the same commit
// (Store::BeginReadOf). Each lane has its own RawBatchWalk and vector
// pools; each part keeps its rows apart (its own StreamedRows). Lanes take
// the parts in key order, one at a time. At the end the parts' rows are put
// together in key order and the lanes' vector pools merged (their order is
// total), so the answer is the serial walk's exactly, and so is the error:
// the first failing part's, every part before it worked whole. The rows a
// helper keeps view its snapshot's pages, which the caller's snapshot of
// the same commit holds as long as it is open.
//
// State, all of it under mu_:
//   next_       the first part not taken yet; only grows.
//   failed_at_  the first part whose work failed (kNone while none has);
//               only falls. No part is taken once one has failed: the
//               serial walk would have stopped there. Parts already taken
//               are still worked to their end, and one before it that
//               fails as well lowers it. Abandon sets it to 0.
//   busy_       the helpers at work. A helper counts itself under the
//               same lock that finds a part left to take, before it
//               touches anything outside this object (its snapshot, the
//               store, the caller's spec, view, filter and fields), and
//               stops counting only after it has closed its snapshot and
//               is done with all of those. The caller's own lane is never
//               counted. The caller waits (idle_) for busy_ to fall to 0
//               before it reads the parts and the lanes' pools, and before
//               its frame, which the lanes read, may go.
//   finished_   set once, by the caller, with busy_ at 0: the walk is over
//               (Run has waited for the helpers, or Abandon has). Once
//               set, no part is taken and no helper counts itself busy
//               again, and Abandon does nothing.
// A part can be taken (CanTake) only while the walk is not finished_ and
// next_ is below both the number of parts and failed_at_. As each of these
// moves one way only, once no part can be taken none ever can again. A
// part is written only by the lane that took it, and read by the caller
// after its wait for busy_ to fall to 0, which mu_ orders after the
// writes.
//
// Joining and leaving. Run adds the caller's lane, then posts one helper
// job per part past the first, at most its share of the pool's helpers
// (WorkPool::Sharer: while other walks are at work, it asks for fewer),
// each holding this object (a shared_ptr), and then walks parts itself. A job
// joins only if a part can still be taken when it starts: it counts itself
// busy, opens its snapshot, adds its lane (under mu_; lanes never move)
// and takes parts until none is left; then it closes its snapshot and
// stops counting itself, waking the caller if it was the last. A helper
// that finds a commit came in after the caller's snapshot (or cannot open
// one, or whose start throws) leaves without taking a part: the other
// lanes, the caller's at least, take the parts left. What a part's work
// throws is kept in the part; when that part is the first failing one,
// Run throws it again once every lane is idle, as the serial walk would
// have thrown it.
//
// Late helpers. A job may start long after it was posted (the pool's
// helpers are busy with other callers' jobs): after every part was taken,
// after a part failed, or after the walk finished or was abandoned, even
// once Run has returned and the caller's frame is gone. It then finds no
// part to take and leaves at once, having touched nothing but this
// object's lock and state, which its shared_ptr keeps alive; never
// counted busy, it is waited for by nobody. Whichever holder of this
// object lets go last, the caller or a helper job, destroys it.
//
// Ending. The walk must be ended, with no helper at work, before the
// caller's frame goes. Run ends it when it returns, and when it throws
// again what a part threw. Run may also be left by another exception (a
// failed allocation, a thread's forced unwind) while helpers are at work,
// so the caller calls Abandon on every exit from its scope: once Run has
// ended the walk it does nothing; otherwise it stops the lanes taking
// parts and waits for the helpers at work to finish the parts they took.
//
// Callers: StreamedExactRoute (exact_route.cc). Thread-safety: the caller
// alone calls Run, Abandon and TextCandidates; the helper jobs run on the
// WorkPool's threads under the rules above.

#ifndef PALLIX_QUERY_SHARED_WALK_H_
#define PALLIX_QUERY_SHARED_WALK_H_

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "query/exact_walk.h"
#include "query/query_spec.h"
#include "query/row_filter.h"
#include "query/sources.h"
#include "storage/read_view.h"
#include "storage/store.h"

namespace pallix {

// A walk over at least kSharedWalkRows rows is shared with the helpers,
// in about kPartsPerLane parts per lane, so that a lane that falls behind
// holds up the others by a small part only. Once no part is left, the
// caller waits for the parts the helpers are still working, and a helper
// that started late or lost its core for a while still holds a whole one:
// on a busy machine that wait was a fifth of the walk with 4 parts a lane,
// and about half that with 12, for the same CPU time. Below kSharedWalkRows
// the helpers cost more than they save: waking them and opening their
// snapshots took about 200 us of wall time and 350 us of CPU a query on an
// 8-core virtual machine. A filtered vector query over 1,999 documents of
// about 2 KB answered in 0.77x the time and 0.39x the CPU on one thread as
// shared; over 2,500, alike either way.
constexpr uint64_t kSharedWalkRows = 2000;
constexpr size_t kPartsPerLane = 12;

class SharedWalk : public std::enable_shared_from_this<SharedWalk> {
 public:
  // A walk of spec's collection in view (a read snapshot), cut at splits
  // (ascending keys) into splits.size() + 1 parts, each keeping its rows
  // in a StreamedRows with like's sources and hashers. Made by
  // std::make_shared: Run hands its helpers shared_from_this.
  SharedWalk(const QuerySpec& spec, const ReadView& view, const RowFilter& filter,
             std::span<const std::string_view> fields, const StreamedRows& like, std::vector<std::string> splits);

  // Walks every part, with the helpers that start in time, and merges the
  // lanes' pools into pools. Returns the first failing part's error, or
  // throws what its work threw.
  Status Run(std::vector<std::optional<NearestPool>>& pools);

  // Ends the walk unless Run has: the lanes stop taking parts, and those
  // taken are worked to their end before this returns. For the caller's
  // every exit from the scope that holds the walk's spec, view, filter and
  // fields; once Run has ended the walk, it does nothing.
  void Abandon();

  // After Run: a text source's candidates, in key order; the keys view
  // this object.
  std::vector<TextCandidate> TextCandidates(size_t source) const;

 private:
  static constexpr size_t kNone = std::numeric_limits<size_t>::max();

  // Part i runs from splits_[i - 1] (the first: from the collection's
  // start) to splits_[i] (the last: to its end).
  struct Part {
    std::optional<StreamedRows> out;
    Status status = Ok();
    std::exception_ptr thrown;
    uint64_t rows = 0;           // walked by a helper
  };
  struct Lane {
    Lane(const QuerySpec& spec, const RowFilter& filter, std::span<const std::string_view> fields)
        : pools(PoolsOf(spec)), walk(filter, fields, pools) {}
    std::vector<std::optional<NearestPool>> pools;
    RawBatchWalk walk;
  };

  void HelperLane();
  bool CanTake() const { return !finished_ && next_ < parts_.size() && next_ < failed_at_; }
  // Takes the next part, if one can be taken, and works it in view with
  // lane's walk. Returns whether it took one.
  bool TakeAndWork(const ReadView& view, Lane& lane);
  void Failed(size_t at);

  const QuerySpec& spec_;
  const ReadView& view_;
  const SnapshotTag tag_;
  const RowFilter& filter_;
  std::span<const std::string_view> fields_;
  const std::vector<std::string> splits_;

  std::mutex mu_;
  std::condition_variable idle_;  // busy_ fell to 0
  std::deque<Part> parts_;        // fixed once made
  std::deque<Lane> lanes_;        // never moves its lanes
  size_t next_ = 0;               // the first part not taken
  size_t busy_ = 0;               // helpers' lanes at work
  size_t failed_at_ = kNone;      // the first part that failed
  bool finished_ = false;
};

}  // namespace pallix

#endif  // PALLIX_QUERY_SHARED_WALK_H_
