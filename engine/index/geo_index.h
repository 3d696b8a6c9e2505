// Geo indexes: every document whose field holds a point (index/geo.h) filed
// under its 0.1-degree grid cell, so that a circle or a box is answered by
// reading only the cells it covers. Results are always decided exactly by
// the caller (index/geo_search.h, the query planner); the grid only
// narrows the candidates.
//
// Rows of namespace "__geo__<collection>__<field>" (two-row entries,
// index/entry.h; stored on disk, never change):
//
//   row            key                              value
//   forward        8 cell bytes + document key      empty
//   back-pointer   0x00 + document key              8 cell bytes
//
// and one row of "__geo_indexes__" under registry_key with an empty payload.
//
// Keys beginning with 0x00. Every forward key begins 0x00 0x00 (a latitude
// cell is below 65536), so the back-pointer of a document key that itself
// begins with 0x00 would lie among the forward keys: the back-pointer of
// 0x00 + C[2..8] + K is the forward row of document K in cell C, and
// writing or removing it would overwrite or delete another document's
// entry. Such documents therefore get no geo rows at all; geo_cell_ranges
// adds them to every candidate list by a prefix scan of the collection
// (they count toward the cap) and the exact test decides them.
//
// Life: as scalar indexes (index/scalar_index.h): declared with a pending
// build, built in batches, resumed after a crash, kept in step by writes
// while building, never dropped.
//
// Callers: the binding and the dump loader (create), the write path
// (upkeep), the geo searches and the query planner (cell ranges).
//
// Thread-safety: the registry lives under "geo lock", released before any
// row is touched.

#ifndef PALLIX_INDEX_GEO_INDEX_H_
#define PALLIX_INDEX_GEO_INDEX_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "db/engine.h"
#include "doc/value.h"
#include "index/geo.h"
#include "storage/read_view.h"
#include "storage/rows.h"

namespace pallix {

// The most candidate keys a cell scan gathers; past it the caller reads the
// whole collection instead.
inline constexpr size_t kGeoCellCap = 4096;

// Declares the index and builds it over every stored row. Errors:
// ReservedCollection, InvalidName (names, or a namespace already used by
// another geo index), Transaction, Storage, Commit, Decode.
Status create_geo_index(Engine& engine, std::string_view collection, std::string_view field);
// Builds or resumes from `start`; on success the index stops building.
Status build_geo_index(Engine& engine, std::string_view collection, std::string_view field, std::string start);

// Declared and built.
Result<bool> has_geo_index(Engine& engine, std::string_view collection, std::string_view field);
// Every declared field of the collection, built or not.
Result<std::vector<std::string>> geo_fields_of(Engine& engine, std::string_view collection);

// Replaces the document's entry in namespace ns by the cell of `value`'s
// point (none when it holds no point). Keys beginning with 0x00 get none.
// `delta` as for index_entry_replace (index/entry.h).
Status geo_entry_put(WriteCtx& ctx, std::string_view ns, std::string_view key, const Value& value,
                     int64_t* delta = nullptr);

// Upkeep inside the write transaction. Errors: Storage.
Status geo_index_put(Engine& engine, WriteCtx& ctx, std::string_view collection, std::string_view key,
                     const Value& doc);
Status geo_index_remove(Engine& engine, WriteCtx& ctx, std::string_view collection, std::string_view key);

// The document keys filed in the cells the box covers (each corner's cell
// by the cell rule, clamping included), latitude row by latitude row, then
// those of the reserved out-of-range cell (index/geo.h), then every key of
// the collection beginning with 0x00. nullopt: no built index,
// a box whose lon_lo is above lon_hi, or more than 4096 keys. A box whose
// low latitude is above the high one gives an empty list.
Result<std::optional<std::vector<std::string>>> geo_cell_ranges(Engine& engine, std::string_view collection,
                                                                std::string_view field, const ReadView& view,
                                                                const GeoBox& box);

}  // namespace pallix

#endif  // PALLIX_INDEX_GEO_INDEX_H_
