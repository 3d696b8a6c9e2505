// The great-circle test of the `within_km` filter: reading a point from a
// document value and the haversine distance in kilometres.
//
// The geo index reads points and measures distances with the same rules;
// a radius search and a `within_km` filter must agree on every document, so
// once the index layer's geo module exports its point reader and distance,
// these two functions must become calls to those (same formula, same
// constant, same order of operations, hence the same bits).
//
// Thread-safety: pure functions.

#ifndef PALLIX_QUERY_GEO_DISTANCE_H_
#define PALLIX_QUERY_GEO_DISTANCE_H_

#include <optional>

#include "doc/value.h"

namespace pallix {

// Twice the mean Earth radius used by every distance of the engine.
inline constexpr double kEarthDiameterKm = 12742.0176;
inline constexpr double kRadiansPerDegree = 0.017453292519943295;

struct GeoPointDeg {
  double lat = 0;
  double lon = 0;
};

// An Array of exactly two numbers [lat, lon], or a Map whose "lat" and "lon"
// are numbers (other keys ignored); otherwise none. No range or NaN check.
std::optional<GeoPointDeg> GeoPointOf(const Value& value);

// Haversine distance in km from the centre (lat, lon) to point p:
// asin(min(sqrt(a), 1)) * diameter with
// a = sin(dlat/2)^2 + (cos(lat) * cos(p.lat)) * sin(dlon/2)^2.
// NaN in any input gives NaN. Nothing is clamped.
double HaversineKm(double lat, double lon, GeoPointDeg p);

}  // namespace pallix

#endif  // PALLIX_QUERY_GEO_DISTANCE_H_
