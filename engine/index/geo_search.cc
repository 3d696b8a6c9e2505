#include "index/geo_search.h"

#include <algorithm>
#include <cmath>

#include "base/numeric.h"
#include "index/geo_index.h"
#include "index/resume.h"
#include "storage/read_view.h"

namespace pallix {

namespace {

// The radius of the last expanding search covers the whole sphere.
constexpr double kNearestFirstRadiusKm = 1.0;
constexpr double kNearestGrowth = 4.0;
constexpr double kNearestLastBelowKm = 20100.0;

// The document's point at `field`, if any.
std::optional<GeoPoint> PointAt(const Value& doc, std::string_view field) {
  const Value* v = get_path(doc, field);
  if (v == nullptr) return std::nullopt;
  return geo_point_from_value(*v);
}

Status CheckBound(std::string_view name, double value, double limit) {
  if (std::fabs(value) <= limit) return Ok();  // NaN fails
  return Fail(EngineError::InvalidArgument("geo_within_bbox: " + std::string(name) + " = " + FormatFloat(value) +
                                           " is outside [" + FormatFloat(-limit) + ", " + FormatFloat(limit) + "]"));
}

Status CheckBox(const GeoBox& box) {
  RETURN_IF_ERROR(CheckBound("min_lat", box.lat_lo, 90.0));
  RETURN_IF_ERROR(CheckBound("max_lat", box.lat_hi, 90.0));
  RETURN_IF_ERROR(CheckBound("min_lon", box.lon_lo, 180.0));
  RETURN_IF_ERROR(CheckBound("max_lon", box.lon_hi, 180.0));
  if (box.lat_lo > box.lat_hi)
    return Fail(EngineError::InvalidArgument("geo_within_bbox: min_lat = " + FormatFloat(box.lat_lo) +
                                             " is greater than max_lat = " + FormatFloat(box.lat_hi) +
                                             " (latitude cannot wrap; only longitude does)"));
  return Ok();
}

}  // namespace

Status for_each_geo_candidate(Engine& engine, std::string_view collection, std::string_view field,
                              const std::optional<GeoBox>& box, const GeoCandidateVisitor& fn) {
  ASSIGN_OR_RETURN(ReadTxn txn, engine.store().BeginRead());
  ReadView view(txn);
  std::optional<std::vector<std::string>> keys;
  if (box) {
    ASSIGN_OR_RETURN(keys, geo_cell_ranges(engine, collection, field, view, *box));
  }
  if (!keys) {
    return view.view_for_each(collection, [&](std::string_view key, std::string_view bytes) -> Result<bool> {
      ASSIGN_OR_RETURN(Value doc, decode_value(bytes));
      RETURN_IF_ERROR(fn(key, std::move(doc)));
      return true;
    });
  }
  for (const std::string& key : *keys) {
    ASSIGN_OR_RETURN(std::optional<Value> doc, get_document_via(view, collection, key));
    if (doc) RETURN_IF_ERROR(fn(key, std::move(*doc)));
  }
  return Ok();
}

Result<std::vector<std::pair<std::string, Value>>> geo_bbox_candidates(Engine& engine, const std::optional<GeoBox>& box,
                                                                       std::string_view collection,
                                                                       std::string_view field) {
  std::vector<std::pair<std::string, Value>> out;
  RETURN_IF_ERROR(for_each_geo_candidate(engine, collection, field, box, [&](std::string_view key, Value&& doc) {
    out.emplace_back(std::string(key), std::move(doc));
    return Ok();
  }));
  return out;
}

Result<std::vector<GeoHitRow>> geo_radius_search(Engine& engine, std::string_view collection, std::string_view field,
                                                 double lat, double lon, double radius_km) {
  std::optional<GeoBox> box = radius_box(lat, lon, radius_km);
  RETURN_IF_ERROR(resume_index_builds(engine, collection));
  std::vector<GeoHitRow> hits;
  if (!(radius_km >= 0)) return hits;  // no distance is negative, none is below NaN
  RETURN_IF_ERROR(for_each_geo_candidate(engine, collection, field, box, [&](std::string_view key, Value&& doc) {
    std::optional<GeoPoint> p = PointAt(doc, field);
    if (!p) return Ok();
    double d = haversine_km(lat, lon, *p);
    if (d <= radius_km) hits.push_back(GeoHitRow{std::string(key), std::move(doc), d});
    return Ok();
  }));
  std::sort(hits.begin(), hits.end(), [](const GeoHitRow& a, const GeoHitRow& b) {
    int c = TotalCompare(a.distance_km, b.distance_km);
    return c != 0 ? c < 0 : a.key < b.key;
  });
  return hits;
}

Result<std::vector<GeoHitRow>> geo_nearest(Engine& engine, std::string_view collection, std::string_view field,
                                           double lat, double lon, uint64_t k) {
  std::vector<GeoHitRow> hits;
  if (k == 0) return hits;
  for (double r = kNearestFirstRadiusKm;; r *= kNearestGrowth) {
    ASSIGN_OR_RETURN(hits, geo_radius_search(engine, collection, field, lat, lon, r));
    if (hits.size() >= k || !(r < kNearestLastBelowKm)) break;
  }
  if (hits.size() > k) hits.erase(hits.begin() + static_cast<std::ptrdiff_t>(k), hits.end());
  return hits;
}

Result<std::vector<GeoHitRow>> geo_bbox_search(Engine& engine, std::string_view collection, std::string_view field,
                                               const GeoBox& box) {
  RETURN_IF_ERROR(CheckBox(box));
  RETURN_IF_ERROR(resume_index_builds(engine, collection));
  std::vector<GeoHitRow> hits;
  RETURN_IF_ERROR(for_each_geo_candidate(engine, collection, field, box, [&](std::string_view key, Value&& doc) {
    std::optional<GeoPoint> p = PointAt(doc, field);
    if (p && box_contains(box, *p)) hits.push_back(GeoHitRow{std::string(key), std::move(doc), 0.0});
    return Ok();
  }));
  std::sort(hits.begin(), hits.end(), [](const GeoHitRow& a, const GeoHitRow& b) { return a.key < b.key; });
  return hits;
}

}  // namespace pallix
