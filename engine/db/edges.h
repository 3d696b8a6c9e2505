// Graph edges between document keys: directed, labelled by a relation name,
// optionally weighted; neighbour reads, breadth-first traversal, and the
// removal of a deleted document's edges.
//
// Nodes are document keys; no document has to exist under either end. For
// user collection c the edges live in four internal collections. The edge
// and reverse-edge tables are the record of truth; the two adjacency tables
// index the same edges by node (any relation), are derived data, are built
// from the edge table on first need and are rebuilt when found damaged.
//
// Row keys. Every variable part but the last carries its length before it,
// so all edges of one (relation, node) form one key prefix and neighbours
// come back in ascending key order.
//
//   edge table __edges__<c> (edge_key(rel, from) + to):
//     offset     size  field
//     0          4     r = |relation|, u32 big-endian
//     4          r     relation, UTF-8
//     4+r        4     f = |from|, u32 big-endian
//     8+r        f     from
//     8+r+f      rest  to
//   reverse table __redges__<c>: the same with from and to swapped.
//
//   out-adjacency __adj_out__<c> (adjacency_key(from, rel, to)):
//     offset     size  field
//     0          1     0x01 (stored on disk, never change)
//     1          4     f = |from|, u32 big-endian
//     5          f     from
//     5+f        4     r = |relation|, u32 big-endian
//     9+f        r     relation, UTF-8
//     9+f+r      rest  to
//   in-adjacency __adj_in__<c>: the same with from and to swapped.
//
//   adjacency marker, in __adj_out__<c>: key 0x00 "adjacency" (10 bytes,
//   stored on disk, never change), value the one byte "1".
//
// The marker key begins with 0x00 and every adjacency key with 0x01, so the
// marker never falls inside a node's prefix. Adjacency is built exactly
// when the marker row holds "1"; then each adjacency table holds one row
// per edge row.
//
// Row values, the same in all four tables:
//
//   offset  size  field
//   -       0     a plain edge (weight reads as 1.0)
//   0       8     the weight, IEEE 754 double, little-endian (any value,
//                 NaN and infinities too)
//
// A value of any other length reads as weight 1.0. Edge rows are written
// and deleted uncounted: the four collections keep no row counts.
//
// Callers: the binding (link, unlink, neighbour reads, traverse), the write
// path (remove_node_edges on every delete), the dump writer (collect_edges)
// and loader (link, link_weighted).
//
// Thread-safety: no engine lock is taken; entry points run in their own
// transaction, remove_node_edges in the caller's.

#ifndef PALLIX_DB_EDGES_H_
#define PALLIX_DB_EDGES_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.h"
#include "storage/read_view.h"
#include "storage/rows.h"
#include "storage/store.h"

namespace pallix {

class Engine;

// Internal collection names of user collection c.
std::string edges_collection(std::string_view collection);      // "__edges__" + c
std::string redges_collection(std::string_view collection);     // "__redges__" + c
std::string adj_out_collection(std::string_view collection);    // "__adj_out__" + c
std::string adj_in_collection(std::string_view collection);     // "__adj_in__" + c

// u32 |a|, a, u32 |b|, b (the caller appends the third part).
std::string edge_key(std::string_view a, std::string_view b);
// 0x01, u32 |node|, node, u32 |relation|, relation, other.
std::string adjacency_key(std::string_view node, std::string_view relation, std::string_view other);
// 0x01, u32 |node|, node.
std::string adjacency_prefix(std::string_view node);
// The adjacency marker's row key: 0x00 "adjacency".
std::string_view adjacency_marker_key();

struct ParsedEdge {
  std::string relation;
  std::string from;
  std::string to;
  bool operator==(const ParsedEdge&) const = default;
};
// Inverts an edge-table key; nullopt when a length runs past the key or the
// relation is not UTF-8. (On a reverse-table key, from and to swap.)
std::optional<ParsedEdge> parse_edge_key(std::string_view key);
// The weight an edge row value carries: its 8 bytes as a little-endian
// double, else 1.0.
double edge_weight(std::string_view value);

// ---------------------------------------------------------------- entries

// Adds or replaces the edge (from, relation, to), plain (weight 1.0) or
// with a weight, building the adjacency first when it is not built. Errors:
// ReservedCollection, InvalidName, InvalidArgument (a relation that is not
// UTF-8, which could never be read back or removed; a node key or relation
// over 2^32 - 1 bytes, which no edge row key can hold), Transaction,
// Storage, Commit; nothing is written on failure.
Status link(Engine& engine, std::string_view collection, std::string_view from, std::string_view relation,
            std::string_view to);
Status link_weighted(Engine& engine, std::string_view collection, std::string_view from,
                     std::string_view relation, std::string_view to, double weight);
// Removes one edge; true when its edge-table row existed. Errors: as link.
Result<bool> unlink(Engine& engine, std::string_view collection, std::string_view from,
                    std::string_view relation, std::string_view to);

// Destinations of from's out-edges under relation, ascending; sources of
// to's in-edges; destinations with weights. No name check; an unknown
// collection, node or relation (one link would refuse included) gives an
// empty list. Errors: Transaction, Storage.
Result<std::vector<std::string>> neighbors(Engine& engine, std::string_view collection, std::string_view from,
                                           std::string_view relation);
Result<std::vector<std::string>> in_neighbors(Engine& engine, std::string_view collection, std::string_view to,
                                              std::string_view relation);
Result<std::vector<std::pair<std::string, double>>> neighbors_weighted(Engine& engine, std::string_view collection,
                                                                       std::string_view from,
                                                                       std::string_view relation);

// Breadth-first over out-edges under relation, at most `hops` levels: every
// node reachable in 1..hops steps, each once, in discovery order (level by
// level, each node's neighbours ascending), never the start. hops 0 gives
// the empty list. No name check. Errors: Transaction, Storage.
Result<std::vector<std::string>> traverse(Engine& engine, std::string_view collection, std::string_view start,
                                          std::string_view relation, uint64_t hops);

// One edge, as the dump writer needs it.
struct EdgeRecord {
  std::string collection;
  std::string relation;
  std::string from;
  std::string to;
  double weight;
};
// Every edge of every user collection (names not beginning with "__",
// ascending), each collection's edges in key order; unparsable rows are
// skipped. A collection is found through its edge table, so the edges of a
// collection that never stored a document are included. Errors: Storage.
Result<std::vector<EdgeRecord>> collect_edges(const ReadView& view);

// ---------------------------------------------------------------- upkeep

// Removes every edge touching key (both directions, every relation) inside
// the caller's transaction, building the adjacency first when needed. A
// damaged adjacency row met on the way triggers one rebuild of both
// adjacency tables from the edge table and a second pass. Errors: Storage.
Status remove_node_edges(WriteCtx& ctx, std::string_view collection, std::string_view key);

// Whether the marker row holds "1". Errors: Storage.
Result<bool> adjacency_built(WriteCtx& ctx, std::string_view collection);
// Empties both adjacency tables, refills them from the edge table (rows
// that do not parse are skipped), then writes the marker. Errors: Storage.
Status build_adjacency(WriteCtx& ctx, std::string_view collection);

enum class EdgeDirection { kOut, kIn };
// Deletes the four rows of every edge found in the direction's adjacency
// table under node. Returns false when some adjacency row did not parse
// (it is skipped). Errors: Storage.
Result<bool> remove_edges_of(WriteCtx& ctx, std::string_view collection, std::string_view node,
                             EdgeDirection direction);

// How scan_adjacency finds a node's neighbours.
enum class AdjacencyMode : uint8_t {
  kEdgeTable = 0,        // prefix scan of the edge (or reverse) table
  kAdjacency = 1,        // prefix scan of the adjacency table
  kAdjacencyOrEdges = 2, // adjacency; when empty and not built, the edge table
};
// One node's neighbours under one relation as (neighbour key, row value),
// ascending. Errors: Storage.
Result<std::vector<Row>> scan_adjacency(const ReadView& view, std::string_view adjacency_table,
                                        std::string_view edge_table, std::string_view marker_table,
                                        std::string_view node, std::string_view relation, AdjacencyMode mode);

}  // namespace pallix

#endif  // PALLIX_DB_EDGES_H_
