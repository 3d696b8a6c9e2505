#include "index/geo_index.h"

#include "base/coding.h"
#include "index/backfill.h"
#include "index/declare.h"
#include "index/entry.h"
#include "index/registry.h"

namespace pallix {

namespace {

bool StartsWithZero(std::string_view key) { return !key.empty() && key[0] == '\0'; }

Status MarkBuilding(Engine& engine, std::string_view collection, std::string_view field, bool building) {
  NamedMutex::Guard guard(engine.geo_lock);
  ASSIGN_OR_RETURN(GeoRegistry * reg, geo_registry(engine));
  engine.NoteIndexed(collection);
  reg->fields[FieldKey(collection, field)] = building;
  return Ok();
}

Status CheckNamespaceFree(Engine& engine, std::string_view collection, std::string_view field) {
  const std::string ns = geo_namespace(collection, field);
  NamedMutex::Guard guard(engine.geo_lock);
  ASSIGN_OR_RETURN(GeoRegistry * reg, geo_registry(engine));
  for (const auto& [declared, building] : reg->fields) {
    if (declared.first == collection && declared.second == field) continue;
    RETURN_IF_ERROR(check_namespace_free(field, ns, geo_namespace(declared.first, declared.second),
                                         "collection '" + declared.first + "' field '" + declared.second + "'"));
  }
  return Ok();
}

// A document without the field loses any entry it had (see the scalar
// index's build for why).
Status IndexRow(WriteCtx& ctx, const std::string& ns, std::string_view field, const Row& row, int64_t* delta) {
  ASSIGN_OR_RETURN(Value doc, decode_value(row.value));
  const Value* v = get_path(doc, field);
  if (v == nullptr) return StartsWithZero(row.key) ? Ok() : index_entry_remove(ctx, ns, row.key, delta);
  return geo_entry_put(ctx, ns, row.key, *v, delta);
}

// Appends the keys of latitude row `lat` from lon_lo to lon_hi; false once
// the cap is passed.
Result<bool> ScanLatitudeRow(const ReadView& view, const std::string& ns, uint32_t lat, uint32_t lon_lo,
                             uint32_t lon_hi, std::vector<std::string>& keys) {
  CellBytes start = cell_bytes(lat, lon_lo);
  bool within_cap = true;
  RETURN_IF_ERROR(scan_index_from(view, ns, {start.data(), start.size()},
                                  [&](std::string_view k, std::string_view) -> Result<bool> {
                                    if (k.size() < 8) return true;
                                    if (DecodeFixed32BE(k.data()) != lat || DecodeFixed32BE(k.data() + 4) > lon_hi)
                                      return false;
                                    keys.emplace_back(k.substr(8));
                                    within_cap = keys.size() <= kGeoCellCap;
                                    return within_cap;
                                  }));
  return within_cap;
}

// Appends the collection's keys that begin with 0x00 (they have no geo
// rows); false once the cap is passed.
Result<bool> AddZeroKeys(const ReadView& view, std::string_view collection, std::vector<std::string>& keys) {
  bool within_cap = true;
  RETURN_IF_ERROR(scan_index_from(view, collection, std::string_view("\0", 1),
                                  [&](std::string_view k, std::string_view) -> Result<bool> {
                                    if (!StartsWithZero(k)) return false;
                                    keys.emplace_back(k);
                                    within_cap = keys.size() <= kGeoCellCap;
                                    return within_cap;
                                  }));
  return within_cap;
}

}  // namespace

Status create_geo_index(Engine& engine, std::string_view collection, std::string_view field) {
  RETURN_IF_ERROR(check_index_names(collection, {std::string(field)}));
  RETURN_IF_ERROR(CheckNamespaceFree(engine, collection, field));
  ASSIGN_OR_RETURN(std::string start, begin_registry_build(engine, kGeoRegistry, registry_key(collection, field), {}));
  RETURN_IF_ERROR(MarkBuilding(engine, collection, field, true));
  return build_geo_index(engine, collection, field, std::move(start));
}

Status build_geo_index(Engine& engine, std::string_view collection, std::string_view field, std::string start) {
  const std::string ns = geo_namespace(collection, field);
  auto writer = [&](WriteCtx& ctx, const std::vector<Row>& batch) -> Status {
    int64_t added = 0;
    for (const Row& row : batch) RETURN_IF_ERROR(IndexRow(ctx, ns, field, row, &added));
    return adjust_row_count(ctx, ns, added);
  };
  RETURN_IF_ERROR(
      backfill_index(engine, collection, ns, kGeoRegistry, registry_key(collection, field), {}, std::move(start), writer));
  return MarkBuilding(engine, collection, field, false);
}

Result<bool> has_geo_index(Engine& engine, std::string_view collection, std::string_view field) {
  NamedMutex::Guard guard(engine.geo_lock);
  ASSIGN_OR_RETURN(GeoRegistry * reg, geo_registry(engine));
  auto it = reg->fields.find(FieldKey(collection, field));
  return it != reg->fields.end() && !it->second;
}

Result<std::vector<std::string>> geo_fields_of(Engine& engine, std::string_view collection) {
  NamedMutex::Guard guard(engine.geo_lock);
  ASSIGN_OR_RETURN(GeoRegistry * reg, geo_registry(engine));
  return fields_of(reg->fields, collection);
}

Status geo_entry_put(WriteCtx& ctx, std::string_view ns, std::string_view key, const Value& value, int64_t* delta) {
  if (StartsWithZero(key)) return Ok();
  std::optional<GeoPoint> p = geo_point_from_value(value);
  std::optional<std::string> part;
  if (p) {
    CellBytes cell = point_cell(*p);
    part.emplace(cell.data(), cell.size());
  }
  return index_entry_replace(ctx, ns, key, part, delta);
}

Status geo_index_put(Engine& engine, WriteCtx& ctx, std::string_view collection, std::string_view key,
                     const Value& doc) {
  if (StartsWithZero(key)) return Ok();
  ASSIGN_OR_RETURN(std::vector<std::string> fields, geo_fields_of(engine, collection));
  for (const std::string& field : fields) {
    const std::string ns = geo_namespace(collection, field);
    const Value* v = get_path(doc, field);
    if (v == nullptr) {
      RETURN_IF_ERROR(index_entry_remove(ctx, ns, key));
    } else {
      RETURN_IF_ERROR(geo_entry_put(ctx, ns, key, *v));
    }
  }
  return Ok();
}

Status geo_index_remove(Engine& engine, WriteCtx& ctx, std::string_view collection, std::string_view key) {
  if (StartsWithZero(key)) return Ok();
  ASSIGN_OR_RETURN(std::vector<std::string> fields, geo_fields_of(engine, collection));
  for (const std::string& field : fields) RETURN_IF_ERROR(index_entry_remove(ctx, geo_namespace(collection, field), key));
  return Ok();
}

Result<std::optional<std::vector<std::string>>> geo_cell_ranges(Engine& engine, std::string_view collection,
                                                                std::string_view field, const ReadView& view,
                                                                const GeoBox& box) {
  using Keys = std::optional<std::vector<std::string>>;
  if (box.lon_lo > box.lon_hi) return Keys();
  ASSIGN_OR_RETURN(bool usable, has_geo_index(engine, collection, field));
  if (!usable) return Keys();
  const uint32_t lat_lo = lat_cell(box.lat_lo), lat_hi = lat_cell(box.lat_hi);
  const uint32_t lon_lo = lon_cell(box.lon_lo), lon_hi = lon_cell(box.lon_hi);
  const std::string ns = geo_namespace(collection, field);
  std::vector<std::string> keys;
  for (uint32_t lat = lat_lo; lat <= lat_hi; ++lat) {
    ASSIGN_OR_RETURN(bool within_cap, ScanLatitudeRow(view, ns, lat, lon_lo, lon_hi, keys));
    if (!within_cap) return Keys();
  }
  ASSIGN_OR_RETURN(bool cell_within_cap, ScanLatitudeRow(view, ns, kOutOfRangeLatCell, 0, 0, keys));
  if (!cell_within_cap) return Keys();
  ASSIGN_OR_RETURN(bool within_cap, AddZeroKeys(view, collection, keys));
  if (!within_cap) return Keys();
  return Keys(std::move(keys));
}

}  // namespace pallix
