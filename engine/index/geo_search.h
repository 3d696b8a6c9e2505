// Geo searches: documents within a radius of a point, the nearest k, and
// those inside a latitude/longitude box. Candidates come from the geo
// index's cells when it can answer, else from every document; each
// candidate is then tested exactly (haversine distance, or the box), so
// the answer never depends on whether an index exists.
//
// Callers: the binding's Collection.geo_within_radius, geo_nearest and
// geo_within_bbox.
//
// Thread-safety: each search reads one snapshot; it first resumes the
// collection's unfinished builds (index/resume.h).

#ifndef PALLIX_INDEX_GEO_SEARCH_H_
#define PALLIX_INDEX_GEO_SEARCH_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.h"
#include "db/engine.h"
#include "doc/value.h"
#include "index/geo.h"

namespace pallix {

struct GeoHitRow {
  std::string key;
  Value document;
  double distance_km = 0;  // 0 for box searches
};

// Calls fn(key, document) for every candidate of the box (no box: every
// document), in one read transaction: through the cell scan when the index
// answers, else a walk of the collection. A candidate row that is gone is
// skipped. Errors: Transaction, Storage, Decode.
using GeoCandidateVisitor = std::function<Status(std::string_view key, Value&& doc)>;
Status for_each_geo_candidate(Engine& engine, std::string_view collection, std::string_view field,
                              const std::optional<GeoBox>& box, const GeoCandidateVisitor& fn);

// The same gathered into a list: a superset of the documents in the box.
Result<std::vector<std::pair<std::string, Value>>> geo_bbox_candidates(Engine& engine, const std::optional<GeoBox>& box,
                                                                       std::string_view collection,
                                                                       std::string_view field);

// Every document whose point lies within radius_km of (lat, lon), with its
// distance, nearest first (ties by key bytes). A negative or NaN radius, or
// NaN coordinates, match nothing. Errors: those of resume_index_builds and
// of the candidate read.
Result<std::vector<GeoHitRow>> geo_radius_search(Engine& engine, std::string_view collection, std::string_view field,
                                                 double lat, double lon, double radius_km);

// The k nearest documents, nearest first (ties by key): radius searches of
// 1, 4, 16, ... km until one returns at least k hits or the radius reaches
// 20100 km (the last, 65536 km, covers the sphere). k = 0 searches nothing.
Result<std::vector<GeoHitRow>> geo_nearest(Engine& engine, std::string_view collection, std::string_view field,
                                           double lat, double lon, uint64_t k);

// The documents whose point lies in the box, bounds inclusive, in key
// order; min_lon above max_lon is a box crossing the antimeridian.
// Errors: InvalidArgument "geo_within_bbox: <name> = <v> is outside [<lo>,
// <hi>]" (checked in the order min_lat, max_lat, min_lon, max_lon; NaN is
// outside), "geo_within_bbox: min_lat = <a> is greater than max_lat = <b>
// (latitude cannot wrap; only longitude does)"; then as the radius search.
Result<std::vector<GeoHitRow>> geo_bbox_search(Engine& engine, std::string_view collection, std::string_view field,
                                               const GeoBox& box);

}  // namespace pallix

#endif  // PALLIX_INDEX_GEO_SEARCH_H_
