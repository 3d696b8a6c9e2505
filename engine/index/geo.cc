#include "index/geo.h"

#include <cmath>

#include "base/coding.h"

namespace pallix {

namespace {

std::optional<double> Number(const Value* v) {
  if (v == nullptr || !v->is_number()) return std::nullopt;
  return v->as_number();
}

// Clamps into [lo, hi]; a NaN passes through (and lands in cell 0).
double Clamp(double x, double lo, double hi) {
  if (x < lo) return lo;
  if (x > hi) return hi;
  return x;
}

}  // namespace

std::optional<GeoPoint> geo_point_from_value(const Value& value) {
  std::optional<double> lat, lon;
  if (value.is_array()) {
    const ValueArray& a = value.as_array();
    if (a.size() != 2) return std::nullopt;
    lat = Number(&a[0]);
    lon = Number(&a[1]);
  } else if (value.is_map()) {
    lat = Number(value.as_map().Find("lat"));
    lon = Number(value.as_map().Find("lon"));
  }
  if (!lat || !lon) return std::nullopt;
  return GeoPoint{*lat, *lon};
}

uint32_t saturating_cell(double x) {
  if (!(x > 0)) return 0;  // NaN and negatives
  if (x >= 4294967295.0) return UINT32_MAX;
  return static_cast<uint32_t>(x);
}

uint32_t lat_cell(double lat) { return saturating_cell(std::floor((Clamp(lat, -90.0, 90.0) + 90.0) / kCellDegrees)); }

uint32_t lon_cell(double lon) {
  return saturating_cell(std::floor((Clamp(lon, -180.0, 180.0) + 180.0) / kCellDegrees));
}

CellBytes cell_bytes(uint32_t lat_cell, uint32_t lon_cell) {
  CellBytes out;
  EncodeFixed32BE(out.data(), lat_cell);
  EncodeFixed32BE(out.data() + 4, lon_cell);
  return out;
}

CellBytes point_cell(const GeoPoint& p) {
  bool finite = std::isfinite(p.lat) && std::isfinite(p.lon);
  if (finite && (std::fabs(p.lat) > 90.0 || std::fabs(p.lon) > 180.0)) return cell_bytes(kOutOfRangeLatCell, 0);
  return cell_bytes(lat_cell(p.lat), lon_cell(p.lon));
}

std::optional<GeoBox> radius_box(double lat, double lon, double radius_km) {
  double dlat = radius_km / kKmPerDegreeLat;
  if (!(dlat < 90.0)) return std::nullopt;
  double c = std::cos(lat * kDegToRad);
  if (!std::isfinite(c) || std::fabs(c) < 1e-12) return std::nullopt;
  double x = std::sin(dlat * kDegToRad) / c;
  if (!std::isfinite(x) || !(std::fabs(x) < 1.0)) return std::nullopt;
  double dlon = std::asin(x) * kRadToDeg;
  if (lon - dlon < -180.0 || lon + dlon > 180.0) return std::nullopt;
  return GeoBox{lat - dlat, lon - dlon, lat + dlat, lon + dlon};
}

double haversine_km(double lat, double lon, const GeoPoint& p) {
  double s1 = std::sin((p.lat - lat) * kDegToRad * 0.5);
  double s2 = std::sin((p.lon - lon) * kDegToRad * 0.5);
  double a = s1 * s1 + std::cos(lat * kDegToRad) * std::cos(p.lat * kDegToRad) * (s2 * s2);
  double root = std::sqrt(a);
  return kEarthDiameterKm * std::asin(root > 1.0 ? 1.0 : root);  // a NaN stays NaN
}

bool box_contains(const GeoBox& box, const GeoPoint& p) {
  if (!(box.lat_lo <= p.lat && p.lat <= box.lat_hi)) return false;
  if (box.lon_lo <= box.lon_hi) return box.lon_lo <= p.lon && p.lon <= box.lon_hi;
  return p.lon >= box.lon_lo || p.lon <= box.lon_hi;
}

}  // namespace pallix
