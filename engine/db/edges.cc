#include "db/edges.h"

#include <cstring>
#include <unordered_set>

#include "base/coding.h"
#include "base/lock.h"
#include "db/engine.h"
#include "doc/value.h"
#include "storage/read_view.h"
#include "storage/rows.h"

namespace pallix {

namespace {

constexpr size_t kEdgePage = 1024;
constexpr char kAdjacencyTag = '\x01';
constexpr std::string_view kMarkerKey("\0adjacency", 10);
constexpr std::string_view kMarkerBuilt = "1";

void PutLength(std::string& out, std::string_view part) {
  PALLIX_INVARIANT(part.size() <= UINT32_MAX, "edge key part exceeds 4 GiB");
  PutFixed32BE(&out, static_cast<uint32_t>(part.size()));
}

void PutPart(std::string& out, std::string_view part) {
  PutLength(out, part);
  out.append(part);
}

// Reads one length-prefixed part at *at; nullopt when it runs past bytes.
std::optional<std::string_view> TakePart(std::string_view bytes, size_t* at) {
  if (bytes.size() - *at < 4) return std::nullopt;
  uint32_t n = DecodeFixed32BE(bytes.data() + *at);
  *at += 4;
  if (bytes.size() - *at < n) return std::nullopt;
  std::string_view part = bytes.substr(*at, n);
  *at += n;
  return part;
}

std::string EncodeWeight(double weight) {
  std::string out(8, '\0');
  EncodeFixed64LE(out.data(), std::bit_cast<uint64_t>(weight));
  return out;
}

// The four row keys of one edge.
struct EdgeRows {
  std::string edge, reverse, out, in;
};

EdgeRows RowsOf(std::string_view from, std::string_view relation, std::string_view to) {
  EdgeRows r{edge_key(relation, from), edge_key(relation, to), adjacency_key(from, relation, to),
             adjacency_key(to, relation, from)};
  r.edge.append(to);
  r.reverse.append(from);
  return r;
}

// Whether part fits the u32 length every part of an edge row key carries.
bool PartFits(std::string_view part) { return part.size() <= kMaxEncodedLength; }

Status CheckPart(const char* what, std::string_view part) {
  if (!PartFits(part)) return Fail(LengthExceeded(what, part.size(), kMaxEncodedLength));
  return Ok();
}

Status CheckLinkArgs(std::string_view collection, std::string_view from, std::string_view relation,
                     std::string_view to) {
  RETURN_IF_ERROR(check_collection_name(collection));
  if (!IsValidUtf8(relation)) return Fail(EngineError::InvalidArgument("relation is not valid UTF-8"));
  RETURN_IF_ERROR(CheckPart("node key", from));
  RETURN_IF_ERROR(CheckPart("relation", relation));
  return CheckPart("node key", to);
}

Status PutEdge(Engine& engine, std::string_view collection, std::string_view from, std::string_view relation,
               std::string_view to, std::string_view value) {
  RETURN_IF_ERROR(CheckLinkArgs(collection, from, relation, to));
  EdgeRows rows = RowsOf(from, relation, to);
  ASSIGN_OR_RETURN(WriteCtx ctx, BeginWriteCtx(engine.store()));
  ASSIGN_OR_RETURN(bool built, adjacency_built(ctx, collection));
  if (!built) RETURN_IF_ERROR(build_adjacency(ctx, collection));
  RETURN_IF_ERROR(put_row_uncounted(ctx, edges_collection(collection), rows.edge, value));
  RETURN_IF_ERROR(put_row_uncounted(ctx, redges_collection(collection), rows.reverse, value));
  RETURN_IF_ERROR(put_row_uncounted(ctx, adj_out_collection(collection), rows.out, value));
  RETURN_IF_ERROR(put_row_uncounted(ctx, adj_in_collection(collection), rows.in, value));
  return ctx.Commit();
}

// Neighbour rows of node in one read transaction, adjacency first.
Result<std::vector<Row>> ReadNeighbours(Engine& engine, std::string_view collection, std::string_view node,
                                        std::string_view relation, EdgeDirection direction) {
  // No edge names a part that link refuses.
  if (!PartFits(node) || !PartFits(relation)) return std::vector<Row>();
  ASSIGN_OR_RETURN(ReadTxn txn, engine.store().BeginRead());
  ReadView view(txn);
  std::string marker = adj_out_collection(collection);
  if (direction == EdgeDirection::kOut)
    return scan_adjacency(view, marker, edges_collection(collection), marker, node, relation,
                          AdjacencyMode::kAdjacencyOrEdges);
  return scan_adjacency(view, adj_in_collection(collection), redges_collection(collection), marker, node,
                        relation, AdjacencyMode::kAdjacencyOrEdges);
}

std::vector<std::string> KeysOf(std::vector<Row> rows) {
  std::vector<std::string> keys;
  keys.reserve(rows.size());
  for (Row& row : rows) keys.push_back(std::move(row.key));
  return keys;
}

Result<bool> MarkerBuilt(const ReadView& view, std::string_view marker_table) {
  ASSIGN_OR_RETURN(std::optional<std::string> marker, view.view_get(marker_table, kMarkerKey));
  return marker && *marker == kMarkerBuilt;
}

}  // namespace

std::string edges_collection(std::string_view c) { return "__edges__" + std::string(c); }
std::string redges_collection(std::string_view c) { return "__redges__" + std::string(c); }
std::string adj_out_collection(std::string_view c) { return "__adj_out__" + std::string(c); }
std::string adj_in_collection(std::string_view c) { return "__adj_in__" + std::string(c); }

std::string edge_key(std::string_view a, std::string_view b) {
  std::string out;
  out.reserve(8 + a.size() + b.size());
  PutPart(out, a);
  PutPart(out, b);
  return out;
}

std::string adjacency_prefix(std::string_view node) {
  std::string out(1, kAdjacencyTag);
  PutPart(out, node);
  return out;
}

std::string adjacency_key(std::string_view node, std::string_view relation, std::string_view other) {
  std::string out = adjacency_prefix(node);
  PutPart(out, relation);
  out.append(other);
  return out;
}

std::string_view adjacency_marker_key() { return kMarkerKey; }

std::optional<ParsedEdge> parse_edge_key(std::string_view key) {
  size_t at = 0;
  std::optional<std::string_view> relation = TakePart(key, &at);
  if (!relation || !IsValidUtf8(*relation)) return std::nullopt;
  std::optional<std::string_view> from = TakePart(key, &at);
  if (!from) return std::nullopt;
  return ParsedEdge{std::string(*relation), std::string(*from), std::string(key.substr(at))};
}

double edge_weight(std::string_view value) {
  if (value.size() != 8) return 1.0;
  return std::bit_cast<double>(DecodeFixed64LE(value.data()));
}

Status link(Engine& engine, std::string_view collection, std::string_view from, std::string_view relation,
            std::string_view to) {
  return PutEdge(engine, collection, from, relation, to, {});
}

Status link_weighted(Engine& engine, std::string_view collection, std::string_view from,
                     std::string_view relation, std::string_view to, double weight) {
  return PutEdge(engine, collection, from, relation, to, EncodeWeight(weight));
}

Result<bool> unlink(Engine& engine, std::string_view collection, std::string_view from,
                    std::string_view relation, std::string_view to) {
  RETURN_IF_ERROR(CheckLinkArgs(collection, from, relation, to));
  EdgeRows rows = RowsOf(from, relation, to);
  ASSIGN_OR_RETURN(WriteCtx ctx, BeginWriteCtx(engine.store()));
  ASSIGN_OR_RETURN(bool existed, delete_row(ctx, edges_collection(collection), rows.edge));
  RETURN_IF_ERROR(delete_row(ctx, redges_collection(collection), rows.reverse));
  ASSIGN_OR_RETURN(bool built, adjacency_built(ctx, collection));
  if (built) {
    RETURN_IF_ERROR(delete_row(ctx, adj_out_collection(collection), rows.out));
    RETURN_IF_ERROR(delete_row(ctx, adj_in_collection(collection), rows.in));
  }
  RETURN_IF_ERROR(ctx.Commit());
  return existed;
}

Result<std::vector<std::string>> neighbors(Engine& engine, std::string_view collection, std::string_view from,
                                           std::string_view relation) {
  ASSIGN_OR_RETURN(std::vector<Row> rows, ReadNeighbours(engine, collection, from, relation, EdgeDirection::kOut));
  return KeysOf(std::move(rows));
}

Result<std::vector<std::string>> in_neighbors(Engine& engine, std::string_view collection, std::string_view to,
                                              std::string_view relation) {
  ASSIGN_OR_RETURN(std::vector<Row> rows, ReadNeighbours(engine, collection, to, relation, EdgeDirection::kIn));
  return KeysOf(std::move(rows));
}

Result<std::vector<std::pair<std::string, double>>> neighbors_weighted(Engine& engine, std::string_view collection,
                                                                       std::string_view from,
                                                                       std::string_view relation) {
  ASSIGN_OR_RETURN(std::vector<Row> rows, ReadNeighbours(engine, collection, from, relation, EdgeDirection::kOut));
  std::vector<std::pair<std::string, double>> out;
  out.reserve(rows.size());
  for (Row& row : rows) out.emplace_back(std::move(row.key), edge_weight(row.value));
  return out;
}

Result<std::vector<std::string>> traverse(Engine& engine, std::string_view collection, std::string_view start,
                                          std::string_view relation, uint64_t hops) {
  std::vector<std::string> result;
  if (hops == 0 || !PartFits(start) || !PartFits(relation)) return result;  // no such edge can exist
  ASSIGN_OR_RETURN(ReadTxn txn, engine.store().BeginRead());
  ReadView view(txn);
  std::string adj_out = adj_out_collection(collection), edges = edges_collection(collection);
  ASSIGN_OR_RETURN(bool built, MarkerBuilt(view, adj_out));
  AdjacencyMode mode = built ? AdjacencyMode::kAdjacency : AdjacencyMode::kEdgeTable;
  std::unordered_set<std::string> visited{std::string(start)};
  std::vector<std::string> frontier{std::string(start)};
  for (uint64_t level = 0; level < hops && !frontier.empty(); ++level) {
    std::vector<std::string> next;
    for (const std::string& node : frontier) {
      ASSIGN_OR_RETURN(std::vector<Row> rows, scan_adjacency(view, adj_out, edges, adj_out, node, relation, mode));
      for (Row& row : rows) {
        if (!visited.insert(row.key).second) continue;
        result.push_back(row.key);
        next.push_back(std::move(row.key));
      }
    }
    frontier = std::move(next);
  }
  return result;
}

Result<std::vector<EdgeRecord>> collect_edges(const ReadView& view) {
  std::vector<EdgeRecord> out;
  ASSIGN_OR_RETURN(std::vector<std::string> names, view.view_list_collections());
  // The user collections are found through their edge tables, not through
  // their own catalog rows: edges need no documents, so a collection may
  // hold edges without ever having stored a document, and its edges must
  // still reach the dump.
  constexpr std::string_view kEdgesPrefix = "__edges__";
  for (const std::string& name : names) {
    if (!name.starts_with(kEdgesPrefix)) continue;
    std::string collection = name.substr(kEdgesPrefix.size());
    if (collection.starts_with("__")) continue;
    RETURN_IF_ERROR(view.view_for_each(name,
                                       [&](std::string_view key, std::string_view value) -> Result<bool> {
                                         std::optional<ParsedEdge> e = parse_edge_key(key);
                                         if (e)
                                           out.push_back(EdgeRecord{collection, std::move(e->relation),
                                                                    std::move(e->from), std::move(e->to),
                                                                    edge_weight(value)});
                                         return true;
                                       }));
  }
  return out;
}

Result<bool> adjacency_built(WriteCtx& ctx, std::string_view collection) {
  ASSIGN_OR_RETURN(std::optional<std::string> marker, get_row(ctx, adj_out_collection(collection), kMarkerKey));
  return marker && *marker == kMarkerBuilt;
}

Status build_adjacency(WriteCtx& ctx, std::string_view collection) {
  std::string adj_out = adj_out_collection(collection), adj_in = adj_in_collection(collection);
  std::string edges = edges_collection(collection);
  RETURN_IF_ERROR(clear_collection_rows(ctx, adj_out));
  RETURN_IF_ERROR(clear_collection_rows(ctx, adj_in));
  std::string start;
  while (true) {
    ASSIGN_OR_RETURN(std::vector<Row> page, scan_rows_from(ctx, edges, start, kEdgePage));
    if (page.empty()) break;
    for (const Row& row : page) {
      std::optional<ParsedEdge> e = parse_edge_key(row.key);
      if (!e) continue;
      RETURN_IF_ERROR(put_row_uncounted(ctx, adj_out, adjacency_key(e->from, e->relation, e->to), row.value));
      RETURN_IF_ERROR(put_row_uncounted(ctx, adj_in, adjacency_key(e->to, e->relation, e->from), row.value));
    }
    start = page.back().key;
    start.push_back('\0');
  }
  return put_row_uncounted(ctx, adj_out, kMarkerKey, kMarkerBuilt);
}

Result<bool> remove_edges_of(WriteCtx& ctx, std::string_view collection, std::string_view node,
                             EdgeDirection direction) {
  const bool out = direction == EdgeDirection::kOut;
  std::string adj_out = adj_out_collection(collection), adj_in = adj_in_collection(collection);
  std::string edges = edges_collection(collection), redges = redges_collection(collection);
  const std::string& table = out ? adj_out : adj_in;
  const std::string& other_table = out ? adj_in : adj_out;
  const std::string prefix = adjacency_prefix(node);
  bool all_parsed = true;
  std::string start = prefix;
  while (true) {
    ASSIGN_OR_RETURN(std::vector<Row> page, scan_rows_from(ctx, table, start, kEdgePage));
    if (page.empty()) return all_parsed;
    for (const Row& row : page) {
      if (!row.key.starts_with(prefix)) return all_parsed;
      size_t at = prefix.size();
      std::optional<std::string_view> relation = TakePart(row.key, &at);
      if (!relation || !IsValidUtf8(*relation)) {
        all_parsed = false;
        continue;
      }
      std::string_view other = std::string_view(row.key).substr(at);
      // The edge seen from its source: (src, relation, dst).
      std::string_view src = out ? node : other, dst = out ? other : node;
      EdgeRows rows = RowsOf(src, *relation, dst);
      RETURN_IF_ERROR(delete_row(ctx, edges, rows.edge));
      RETURN_IF_ERROR(delete_row(ctx, redges, rows.reverse));
      RETURN_IF_ERROR(delete_row(ctx, table, row.key));
      RETURN_IF_ERROR(delete_row(ctx, other_table, out ? rows.in : rows.out));
    }
    start = page.back().key;
    start.push_back('\0');
  }
}

Status remove_node_edges(WriteCtx& ctx, std::string_view collection, std::string_view key) {
  ASSIGN_OR_RETURN(bool built, adjacency_built(ctx, collection));
  if (!built) RETURN_IF_ERROR(build_adjacency(ctx, collection));
  ASSIGN_OR_RETURN(bool out_clean, remove_edges_of(ctx, collection, key, EdgeDirection::kOut));
  ASSIGN_OR_RETURN(bool in_clean, remove_edges_of(ctx, collection, key, EdgeDirection::kIn));
  if (out_clean && in_clean) return Ok();
  // A damaged adjacency row hid an edge from us; the edge table is the
  // record of truth, so rebuild from it and sweep once more.
  RETURN_IF_ERROR(build_adjacency(ctx, collection));
  RETURN_IF_ERROR(remove_edges_of(ctx, collection, key, EdgeDirection::kOut));
  RETURN_IF_ERROR(remove_edges_of(ctx, collection, key, EdgeDirection::kIn));
  return Ok();
}

Result<std::vector<Row>> scan_adjacency(const ReadView& view, std::string_view adjacency_table,
                                        std::string_view edge_table, std::string_view marker_table,
                                        std::string_view node, std::string_view relation, AdjacencyMode mode) {
  std::string prefix;
  std::string_view table;
  if (mode == AdjacencyMode::kEdgeTable) {
    prefix = edge_key(relation, node);
    table = edge_table;
  } else {
    prefix = adjacency_prefix(node);
    PutPart(prefix, relation);
    table = adjacency_table;
  }
  ASSIGN_OR_RETURN(std::vector<Row> rows, view.view_scan_prefix(table, prefix));
  if (rows.empty() && mode == AdjacencyMode::kAdjacencyOrEdges) {
    ASSIGN_OR_RETURN(bool built, MarkerBuilt(view, marker_table));
    if (!built) return scan_adjacency(view, adjacency_table, edge_table, marker_table, node, relation,
                                      AdjacencyMode::kEdgeTable);
  }
  for (Row& row : rows) row.key.erase(0, prefix.size());
  return rows;
}

}  // namespace pallix
