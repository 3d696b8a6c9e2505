// A walk of a whole collection cut into parts, for the walks without a
// source whose answer is put together from per-part results in key order:
// the aggregates' walk and the filtered scan bounded by an ordered window.
//
// The parts (cut by keys of the store's inner pages, as the exact route's
// shared walk cuts them) are walked by the caller and the WorkPool's
// helpers side by side (WorkPool::ForEach), a helper in a snapshot of the
// caller's commit (Store::BeginReadOf). A part whose helper finds a later
// commit is left undone and walked afterwards by the caller in its own
// snapshot. Each part's work writes only that part's result, which the
// caller reads once ForEach has returned. The first failing part in key
// order gives the error, every part before it having been walked whole:
// the error the one-thread walk meets first. Part work must take no lock
// and wait for nothing (WorkPool::ForEach).
//
// Callers: aggregate.cc, scan_routes.cc (and exact_route.cc, whose shared
// walk is cut by PartSplits). Thread-safety: the caller alone
// calls these; the part work runs on the caller and the helpers.

#ifndef PALLIX_QUERY_PART_WALK_H_
#define PALLIX_QUERY_PART_WALK_H_

#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "storage/read_view.h"

namespace pallix {

// The keys that cut collection's rows in view into parts for WalkParts:
// none (one part, walked by the caller alone) when view is no read
// snapshot, the pool has no helpers, or the collection holds fewer than
// kSharedWalkRows rows. Errors: Storage.
Result<std::vector<std::string>> PartSplits(const ReadView& view, std::string_view collection);

// Walks part i (i in [0, splits.size()]), running from splits[i - 1] (the
// first: the collection's start) to splits[i] (the last: its end), with
// part(i, rows) for each batch of its rows in key order; part(i, rows)
// returns false to end part i early. Returns the first failing part's
// error in key order. Errors: Transaction, Storage, part's.
using PartBatch = std::function<Result<bool>(size_t part, std::span<const RowRef> rows)>;
Status WalkParts(const ReadView& view, std::string_view collection, const std::vector<std::string>& splits,
                 const PartBatch& part);

}  // namespace pallix

#endif  // PALLIX_QUERY_PART_WALK_H_
