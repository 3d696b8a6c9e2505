#include "query/geo_distance.h"

#include <algorithm>
#include <cmath>

namespace pallix {

std::optional<GeoPointDeg> GeoPointOf(const Value& value) {
  if (value.is_array()) {
    const ValueArray& a = value.as_array();
    if (a.size() != 2 || !a[0].is_number() || !a[1].is_number()) return std::nullopt;
    return GeoPointDeg{a[0].as_number(), a[1].as_number()};
  }
  if (value.is_map()) {
    const Value* lat = value.as_map().Find("lat");
    const Value* lon = value.as_map().Find("lon");
    if (lat == nullptr || lon == nullptr || !lat->is_number() || !lon->is_number()) return std::nullopt;
    return GeoPointDeg{lat->as_number(), lon->as_number()};
  }
  return std::nullopt;
}

double HaversineKm(double lat, double lon, GeoPointDeg p) {
  const double r = kRadiansPerDegree;
  double dlat = (p.lat - lat) * r;
  double dlon = (p.lon - lon) * r;
  double s_lat = std::sin(dlat * 0.5);
  double s_lon = std::sin(dlon * 0.5);
  double a = s_lat * s_lat + (std::cos(lat * r) * std::cos(p.lat * r)) * (s_lon * s_lon);
  // A NaN root passes through std::min (it returns its first argument when
  // the comparison fails), so a NaN input ends as a NaN distance.
  double clamped = std::min(std::sqrt(a), 1.0);
  return std::asin(clamped) * kEarthDiameterKm;
}

}  // namespace pallix
