// The on-disk graph's repair around deleted nodes: the rule of
// vector/hnsw_repair.h, paid by the writes that remove nodes, inside the
// write's transaction.
//
// A removed node is queued for dropping by the write that removes it; a
// deleted node the sweep passes unqueued is queued then (so a node deleted
// by any earlier build, which never queued it, is queued and dropped the
// same way: a graph full of them is repaired over later writes, never
// refused). A node is dropped by deleting its row and its queue row
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
// Repair cursor ("r", 33 bytes; a graph without one, or with a damaged
// one, starts at pass 1, sweeping from id 0, which is always safe):
//   offset  size  field
//   0       8     pass (passes begun, from 1)
//   8       1     phase: 0 sweeping, 1 dropping
//   9       8     while sweeping, the lowest node id not passed yet
//   17      8     debt: nodes the sweep owes removals (HnswRepairCursor)
//   25      8     removals noted without their neighbours' anchors seen to
//                 (HnswRepairCursor::unanchored)
// A graph gets the row with its first node, so one with nodes and without
// the row was made by an earlier build. The 17-byte row of earlier builds
// (no debt, as they repaired on every write) is read as is; so is a missing
// or damaged row. Such a graph, when its meta row counts deleted nodes,
// owes three passes over every id handed out, paid a step per write until
// its deleted nodes are gone. The 17- and 25-byte rows, and a missing row,
// count one removal unanchored: earlier builds kept no anchors, so the
// first repair after them anchors every live node. Earlier builds read the
// longer rows as damaged and start over, which is safe.
//
// A node queued during pass p is queued under parity p mod 2; the drops
// after pass p take the rows of parity (p + 1) mod 2, those queued in pass
// p - 1 (the drops of pass p - 1 emptied that parity before pass p began).
// Stored on disk, never change.
//
// Callers: the index layer, after each write's upkeep of an on-disk index
// (dann_repair_after_write). Thread-safety: inside one write transaction on
// one thread.

#ifndef PALLIX_VECTOR_DISK_HNSW_REPAIR_H_
#define PALLIX_VECTOR_DISK_HNSW_REPAIR_H_

#include <cstdint>
#include <span>
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
// *has_debt (when given): the row holds a debt (33 or 25 bytes; a 17-byte
// row decodes with debt 0). Errors: CorruptIndex ("malformed repair row in
// index namespace '<ns>'") for a length other than 17, 25 and 33 or a
// phase byte other than 0 and 1.
Result<HnswRepairCursor> decode_dann_repair_cursor(std::string_view ns, std::string_view bytes,
                                                   bool* has_debt = nullptr);
// The queue row key of node id under the parity of pass.
std::string dann_queue_row_key(uint64_t pass, uint64_t id);

// Writes the repair row of a graph that gets its first node: nothing owed.
Status dann_repair_new_graph(WriteCtx& ctx, std::string_view ns);

// One step of the repair of the graph in namespace ns, whatever its debt:
// reads the meta and repair rows, passes or drops a slice, writes the
// changed node rows, the queue rows and then the meta and repair rows. A
// graph without nodes writes nothing. Errors: CorruptIndex (a malformed
// meta row, or a node row a relink must read), Storage.
Result<HnswRepairCounts> dann_repair(WriteCtx& ctx, std::string_view ns, const DiskHnswParams& params,
                                     const HnswRepairLimits& limits = HnswRepairLimits{});

// The repair a write owes after it removed the node `removed` (the node
// dann_upsert or dann_remove_key marked deleted; none: the usual case)
// (HnswRepairAfterWrite). With none, it reads the repair row and, unless a
// graph of an earlier build left a debt, nothing else and writes nothing.
// Errors: as dann_repair.
Result<HnswRepairCounts> dann_repair_after_write(WriteCtx& ctx, std::string_view ns, const DiskHnswParams& params,
                                                 std::optional<uint64_t> removed,
                                                 const HnswRepairLimits& limits = HnswRepairLimits{});

// Bulk removals (see "Bulk removals" in vector/hnsw_repair.h): a call
// that removes many nodes notes each removal in the transaction that makes
// it, and repairs once at its end.
//
// Notes the node `removed` (just marked deleted) as the per-node path
// would, without its repair: the node is queued and its share of the debt
// recorded in the repair row. Rows written with the removal, so a call cut
// short leaves the repair to later writes. Errors: CorruptIndex (a
// malformed meta row), Storage.
Status dann_note_removal(WriteCtx& ctx, std::string_view ns, uint64_t removed,
                         const HnswRepairLimits& limits = HnswRepairLimits{});

// The repair owed after a bulk whose removals `removed` were all noted:
// one pass over the node rows that relinks every live node away from every
// deleted one, then every deleted node row and every queue row deleted and
// nothing owed; or, for a small bulk, the per-node path for all of them
// together. Ids no longer deleted are passed by. Errors: as dann_repair.
Result<HnswRepairCounts> dann_repair_after_bulk(WriteCtx& ctx, std::string_view ns, const DiskHnswParams& params,
                                                std::span<const uint64_t> removed,
                                                const HnswRepairLimits& limits = HnswRepairLimits{});

}  // namespace pallix

#endif  // PALLIX_VECTOR_DISK_HNSW_REPAIR_H_
