// The on-disk graph's repair around deleted nodes: one bounded step of the
// rule of vector/hnsw_repair.h per write, inside the write's transaction.
//
// Deleted nodes are queued for dropping when the sweep passes them (so a
// node deleted by any earlier build, which never queued it, is queued and
// dropped the same way: a graph full of them is repaired over later writes,
// never refused). A node is dropped by deleting its row and its queue row
// and lowering the meta row's deleted count; node ids are still never
// reused. The other rows keep their layout (vector/disk_hnsw.h); the two
// kinds added here are unknown to earlier builds, which pass them by.
//
// Rows of the namespace added by the repair (integers big-endian):
//
//   row key                                   value
//   "r"                                       repair cursor, below
//   "d" + parity u8 + node id u64 (10 bytes)  empty: a queued node
//
// Repair cursor ("r", 17 bytes; a graph without one, or with a damaged
// one, starts at pass 1, sweeping from id 0, which is always safe):
//   offset  size  field
//   0       8     pass (passes begun, from 1)
//   8       1     phase: 0 sweeping, 1 dropping
//   9       8     while sweeping, the lowest node id not passed yet
//
// A node queued during pass p is queued under parity p mod 2; the drops
// after pass p take the rows of parity (p + 1) mod 2, those queued in pass
// p - 1 (the drops of pass p - 1 emptied that parity before pass p began).
// Stored on disk, never change.
//
// Callers: the index layer, after each write's upkeep of an on-disk index.
// Thread-safety: inside one write transaction on one thread.

#ifndef PALLIX_VECTOR_DISK_HNSW_REPAIR_H_
#define PALLIX_VECTOR_DISK_HNSW_REPAIR_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "base/error.h"
#include "storage/rows.h"
#include "vector/disk_hnsw.h"
#include "vector/hnsw_repair.h"

namespace pallix {

// Row keys; stored on disk, never change.
inline constexpr char kDannRepairKey[] = "r";
inline constexpr char kDannQueuePrefix = 'd';

std::string encode_dann_repair_cursor(const HnswRepairCursor& cursor);
// Errors: CorruptIndex ("malformed repair row in index namespace '<ns>'")
// for a length other than 17 or a phase byte other than 0 and 1.
Result<HnswRepairCursor> decode_dann_repair_cursor(std::string_view ns, std::string_view bytes);
// The queue row key of node id under the parity of pass.
std::string dann_queue_row_key(uint64_t pass, uint64_t id);

// One step of the repair of the graph in namespace ns: reads the meta and
// repair rows, passes or drops a slice, writes the changed node rows, the
// queue rows and then the meta and repair rows. A graph without nodes
// writes nothing. Errors: CorruptIndex (a malformed meta row, or a node row
// a relink must read), Storage.
Result<HnswRepairCounts> dann_repair(WriteCtx& ctx, std::string_view ns, const DiskHnswParams& params,
                                     const HnswRepairLimits& limits = HnswRepairLimits{});

}  // namespace pallix

#endif  // PALLIX_VECTOR_DISK_HNSW_REPAIR_H_
