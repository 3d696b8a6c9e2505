// Geo arithmetic: points read from documents, the 0.1-degree grid cells the
// geo index files them under, the degree box around a circle, and the
// haversine distance. Every result the geo searches return is decided by
// the exact distance or box test here; the grid only narrows candidates.
//
// Callers: the geo index (entries, cell scans, searches) and the query
// engine (the within_km predicate and its planner). Pure computation; all
// arithmetic is 64-bit and done in the order written, so results are the
// same on every machine.
//
// Cell bytes (stored on disk at the start of geo forward keys and as the
// value of geo back-pointer rows; never change):
//
//   offset  size  field
//   0       4     latitude cell, u32 big-endian (0..1800, or 65535)
//   4       4     longitude cell, u32 big-endian (0..3600)
//
// latitude cell = floor((clamp(lat, -90, 90) + 90) / 0.1), longitude cell =
// floor((clamp(lon, -180, 180) + 180) / 0.1); the division stays a division
// (-89.7 gives 2.9999999999999996, cell 2). The float-to-integer step
// saturates: NaN and negatives give 0, values above 2^32-1 give 2^32-1, so
// no input, however damaged, is undefined behaviour.
//
// Points out of range. The haversine distance does not clamp: a stored
// point at latitude 95 is, for the distance, a point near the pole on the
// other meridian, far from the clamped cell. A point with a finite
// coordinate out of range (|lat| > 90 or |lon| > 180) is therefore filed
// under the reserved cell (65535, 0), which every cell scan reads as well,
// so such a point is always a candidate and the exact test decides. (Box
// tests use the stored coordinates, and such a point is inside no box that
// a cell scan serves.) A NaN or infinite coordinate gives a NaN distance
// and lies in no box: it matches nothing, and keeps its clamped cell.
// Latitude cell 65535 still begins with 0x00 0x00, below every
// back-pointer key. The reserved cell value is stored on disk; never change.
//
// Thread-safety: pure functions.

#ifndef PALLIX_INDEX_GEO_H_
#define PALLIX_INDEX_GEO_H_

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "doc/value.h"

namespace pallix {

inline constexpr double kDegToRad = 0.017453292519943295;
inline constexpr double kRadToDeg = 57.29577951308232;
// Twice the mean Earth radius the distances use, in kilometres.
inline constexpr double kEarthDiameterKm = 12742.0176;
// Kilometres per degree of latitude, for the circle's box.
inline constexpr double kKmPerDegreeLat = 110.574;
inline constexpr double kCellDegrees = 0.1;

struct GeoPoint {
  double lat = 0;
  double lon = 0;
};

// Latitude/longitude box in degrees, bounds inclusive.
struct GeoBox {
  double lat_lo = 0;
  double lon_lo = 0;
  double lat_hi = 0;
  double lon_hi = 0;
};

// A point from [lat, lon] (exactly two Int or Float elements) or a map with
// numeric "lat" and "lon" (other keys ignored); nullopt for anything else.
// No range or NaN check.
std::optional<GeoPoint> geo_point_from_value(const Value& value);

// The float-to-cell step: NaN and negatives 0, above 2^32-1 saturated.
uint32_t saturating_cell(double x);
uint32_t lat_cell(double lat);
uint32_t lon_cell(double lon);

// The reserved latitude cell of points out of range (longitude cell 0).
inline constexpr uint32_t kOutOfRangeLatCell = 0xFFFF;

using CellBytes = std::array<char, 8>;
CellBytes cell_bytes(uint32_t lat_cell, uint32_t lon_cell);
// The cell a point is filed under: its grid cell, or the reserved cell for
// a finite coordinate out of range.
CellBytes point_cell(const GeoPoint& p);

// The degree box around a circle of radius_km, or nullopt when none can be
// formed (radius of 9951.66 km or more, or NaN; a centre at a pole; a box
// crossing the antimeridian): the caller then reads every document.
std::optional<GeoBox> radius_box(double lat, double lon, double radius_km);

// Haversine distance in kilometres between the centre and p (NaN when a
// coordinate is NaN).
double haversine_km(double lat, double lon, const GeoPoint& p);

// Whether p lies in the box, bounds inclusive; a box whose lon_lo is above
// lon_hi crosses the antimeridian and holds lon >= lon_lo or lon <= lon_hi.
// A NaN coordinate is never inside.
bool box_contains(const GeoBox& box, const GeoPoint& p);

}  // namespace pallix

#endif  // PALLIX_INDEX_GEO_H_
