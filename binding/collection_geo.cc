// The geo searches of a Collection: geo_within_radius, geo_nearest and
// geo_within_bbox. Each parses its numbers before the lock, runs the
// engine's search under it (index/geo_search.h: pending index builds are
// resumed first, candidates come from the geo index when one can answer,
// and every hit is tested exactly) and builds the GeoHit objects after it.
// A resumed build writes its batches, so the search may wait for the
// writer turn: it lets go of the lock then, as a write does
// (WithOpenWrite).

#include "binding/collection.h"
#include "binding/value.h"
#include "index/geo_search.h"

namespace pallix::py {

namespace {

using Hits = std::vector<GeoHitRow>;

// A list of GeoHit objects, in the engine's order.
PyObject* HitsToPy(const Hits& hits) {
  return HitsToPyList(hits, [](const auto& hit, Ref key, Ref doc) {
    return NewGeoHit(std::move(key), hit.distance_km, std::move(doc));
  });
}

// Matches the arguments: `field` first, then `count` floats.
bool FieldAndFloats(const Params& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::string* field, double* numbers, int count) {
  PyObject* a[5];
  if (!MatchArgs(params, args, nargs, kwnames, a) || !ArgStr(params, 0, a[0], field)) return false;
  for (int i = 0; i < count; ++i)
    if (!ArgF64(params, i + 1, a[i + 1], &numbers[i])) return false;
  return true;
}

}  // namespace

PyObject* CollectionGeoWithinRadius(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.geo_within_radius", 4, "field", "lat", "lon", "radius_km");
  std::string field;
  double n[3];
  if (!FieldAndFloats(kParams, args, nargs, kwnames, &field, n, 3)) return nullptr;
  auto hits = WithOpenWrite(self, [&](const std::string& name, Engine& engine) -> BResult<Hits> {
    return geo_radius_search(engine, name, field, n[0], n[1], n[2]);
  });
  return Finish(std::move(hits), HitsToPy);
}

PyObject* CollectionGeoNearest(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.geo_nearest", 4, "field", "lat", "lon", "k");
  PyObject* a[4];
  std::string field;
  double lat, lon;
  uint64_t k;
  if (!MatchArgs(kParams, args, nargs, kwnames, a) || !ArgStr(kParams, 0, a[0], &field) ||
      !ArgF64(kParams, 1, a[1], &lat) || !ArgF64(kParams, 2, a[2], &lon) || !ArgU64(kParams, 3, a[3], &k))
    return nullptr;
  auto hits = WithOpenWrite(self, [&](const std::string& name, Engine& engine) -> BResult<Hits> {
    return geo_nearest(engine, name, field, lat, lon, k);
  });
  return Finish(std::move(hits), HitsToPy);
}

PyObject* CollectionGeoWithinBbox(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.geo_within_bbox", 5, "field", "min_lat", "min_lon", "max_lat", "max_lon");
  std::string field;
  double n[4];
  if (!FieldAndFloats(kParams, args, nargs, kwnames, &field, n, 4)) return nullptr;
  auto hits = WithOpenWrite(self, [&](const std::string& name, Engine& engine) -> BResult<Hits> {
    return geo_bbox_search(engine, name, field, GeoBox{n[0], n[1], n[2], n[3]});
  });
  return Finish(std::move(hits), HitsToPy);
}

}  // namespace pallix::py
