// Geo arithmetic, geo index entries and the three searches against brute
// force over random points, with and without an index.

#include "index/geo_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "base/numeric.h"
#include "index/entry.h"
#include "index/geo_search.h"
#include "index/index_state.h"
#include "test_util.h"
#include "write/write.h"

namespace pallix {
namespace {

using test::Doc;
using test::MemEngine;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Value Point(double lat, double lon) { return Value::Array({Value::Float(lat), Value::Float(lon)}); }

TEST(GeoTest, PointsCellsAndBoxes) {
  EXPECT_TRUE(geo_point_from_value(Value::Array({Value::Int(10), Value::Int(20)})).has_value());
  auto m = geo_point_from_value(Doc({{"lat", Value::Float(1.5)}, {"lon", Value::Int(2)}, {"name", Value::Text("x")}}));
  ASSERT_TRUE(m.has_value());
  EXPECT_EQ(m->lat, 1.5);
  EXPECT_EQ(m->lon, 2.0);
  for (const Value& none : {Value::Array({Value::Int(1), Value::Int(2), Value::Int(3)}), Value::Array({Value::Int(1)}),
                            Value::Array({Value::Text("1"), Value::Int(2)}), Doc({{"lat", Value::Int(1)}}),
                            Value::Text("1,2")})
    EXPECT_FALSE(geo_point_from_value(none).has_value());

  EXPECT_EQ(lat_cell(95), 1800u);
  EXPECT_EQ(lat_cell(90), 1800u);
  EXPECT_EQ(lat_cell(-89.7), 2u);
  EXPECT_EQ(lat_cell(kNaN), 0u);
  EXPECT_EQ(lat_cell(-kInf), 0u);
  EXPECT_EQ(lon_cell(-180), 0u);
  EXPECT_EQ(lon_cell(kInf), 3600u);
  EXPECT_EQ(lon_cell(1e300), 3600u);
  EXPECT_EQ(saturating_cell(1e20), UINT32_MAX);
  EXPECT_EQ(saturating_cell(-5), 0u);
  EXPECT_EQ(saturating_cell(kNaN), 0u);

  EXPECT_FALSE(radius_box(90, 0, 1));          // pole: cos below 1e-12
  EXPECT_FALSE(radius_box(0, 0, 10000));       // dlat >= 90
  EXPECT_FALSE(radius_box(0, 179.99, 5));      // crosses the antimeridian
  EXPECT_FALSE(radius_box(0, 0, kNaN));
  EXPECT_FALSE(radius_box(kNaN, 0, 1));
  auto box = radius_box(45, 10, 100);
  ASSERT_TRUE(box.has_value());
  EXPECT_NEAR(box->lat_hi - 45, 100 / 110.574, 1e-12);
  EXPECT_EQ(haversine_km(0, 0, GeoPoint{0, 0}), 0.0);
  EXPECT_TRUE(std::isnan(haversine_km(0, 0, GeoPoint{kNaN, 0})));
  EXPECT_NEAR(haversine_km(0, 0, GeoPoint{0, 180}), 12742.0176 * std::asin(1.0), 1e-9);
}

// Random points: mostly ordinary, some at the poles and the antimeridian,
// a few out of range or not finite; some keys begin with 0x00.
std::vector<std::pair<std::string, Value>> RandomPoints(std::mt19937_64& rng, int n) {
  static const double odd[] = {90, -90, 180, -180, 179.999, -179.999, 95, -200, kNaN, kInf, 1e300};
  std::uniform_real_distribution<double> lat(-90, 90), lon(-180, 180), near(-0.3, 0.3);
  std::vector<std::pair<std::string, Value>> out;
  for (int i = 0; i < n; ++i) {
    std::string key = (i % 17 == 0 ? std::string(1, '\0') : std::string()) + "p" + std::to_string(i);
    double a = lat(rng), o = lon(rng);
    if (i % 3 == 0) a = 48 + near(rng), o = 2 + near(rng);  // a dense cluster
    if (i % 11 == 0) (i % 2 ? a : o) = odd[rng() % 11];
    Value doc = i % 13 == 0 ? Doc({{"name", Value::Text("no point")}})
                : i % 5 == 0 ? Doc({{"p", Doc({{"lat", Value::Float(a)}, {"lon", Value::Float(o)}})}})
                             : Doc({{"p", Point(a, o)}});
    out.emplace_back(key, doc);
  }
  return out;
}

// Brute force: every point within r, nearest first, ties by key.
std::vector<std::pair<std::string, double>> BruteRadius(const std::vector<std::pair<std::string, Value>>& docs,
                                                        double lat, double lon, double r) {
  std::vector<std::pair<std::string, double>> out;
  for (const auto& [key, doc] : docs) {
    const Value* v = get_path(doc, "p");
    auto p = v ? geo_point_from_value(*v) : std::nullopt;
    if (!p) continue;
    double d = haversine_km(lat, lon, *p);
    if (d <= r) out.emplace_back(key, d);
  }
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
    return TotalCompare(a.second, b.second) != 0 ? TotalLess(a.second, b.second) : a.first < b.first;
  });
  return out;
}

std::vector<std::pair<std::string, double>> Got(const Result<std::vector<GeoHitRow>>& hits) {
  EXPECT_TRUE(hits.has_value());
  std::vector<std::pair<std::string, double>> out;
  if (hits)
    for (const GeoHitRow& h : *hits) out.emplace_back(h.key, h.distance_km);
  return out;
}

TEST(GeoTest, SearchesMatchBruteForce) {
  std::mt19937_64 rng(3);
  auto engine = MemEngine();
  auto docs = RandomPoints(rng, 3000);
  ASSERT_TRUE(put_many(*engine, "plain", docs));
  ASSERT_TRUE(put_many(*engine, "idx", docs));
  ASSERT_TRUE(create_geo_index(*engine, "idx", "p"));
  // Entries: one per document with a point, none for keys beginning 0x00.
  size_t entries = 0;
  for (const auto& [key, doc] : docs) {
    const Value* v = get_path(doc, "p");
    if (v && geo_point_from_value(*v) && key[0] != '\0') ++entries;
  }
  EXPECT_EQ(count_rows(engine->store(), geo_namespace("idx", "p")).value(), 2 * entries);

  std::uniform_real_distribution<double> lat(-90, 90), lon(-180, 180);
  const double radii[] = {0, 1, 30, 300, 3000, 12000, -1, kNaN, kInf};
  for (int q = 0; q < 120; ++q) {
    double a = q % 4 == 0 ? 48.1 : lat(rng), o = q % 4 == 0 ? 2.05 : lon(rng), r = radii[q % 9];
    if (q % 10 == 1) a = 90;
    if (q % 10 == 2) o = 179.95;
    auto want = BruteRadius(docs, a, o, r);
    EXPECT_EQ(Got(geo_radius_search(*engine, "idx", "p", a, o, r)), want) << a << " " << o << " " << r;
    EXPECT_EQ(Got(geo_radius_search(*engine, "plain", "p", a, o, r)), want);
    uint64_t k = q % 7;
    auto all = BruteRadius(docs, a, o, kInf);
    all.resize(std::min<size_t>(all.size(), k));
    EXPECT_EQ(Got(geo_nearest(*engine, "idx", "p", a, o, k)), all) << a << " " << o << " k=" << k;

    GeoBox box{a - 3, o - 4, std::min(90.0, a + 3), q % 5 == 0 ? o - 8 : std::min(180.0, o + 4)};
    box.lat_lo = std::max(-90.0, box.lat_lo);
    box.lon_lo = std::max(-180.0, box.lon_lo);
    box.lon_hi = std::max(-180.0, box.lon_hi);
    if (q % 10 == 1) continue;
    std::vector<std::pair<std::string, double>> in_box;
    for (const auto& [key, doc] : docs) {
      const Value* v = get_path(doc, "p");
      auto p = v ? geo_point_from_value(*v) : std::nullopt;
      if (p && box_contains(box, *p)) in_box.emplace_back(key, 0.0);
    }
    std::sort(in_box.begin(), in_box.end());
    EXPECT_EQ(Got(geo_bbox_search(*engine, "idx", "p", box)), in_box);
    EXPECT_EQ(Got(geo_bbox_search(*engine, "plain", "p", box)), in_box);
  }
  // Updates and deletes move and drop entries.
  ASSERT_TRUE(insert(*engine, "idx", "p3", Doc({{"p", Point(-33.9, 151.2)}})));
  ASSERT_TRUE(delete_document(*engine, "idx", "p6"));
  EXPECT_EQ(Got(geo_radius_search(*engine, "idx", "p", -33.9, 151.2, 0)), (std::vector<std::pair<std::string, double>>{{"p3", 0.0}}));
}

TEST(GeoTest, CellCapFallsBackToTheCollection) {
  auto engine = MemEngine();
  std::vector<std::pair<std::string, Value>> docs;
  for (int i = 0; i < 5000; ++i) docs.emplace_back("d" + std::to_string(i), Doc({{"p", Point(10 + i * 1e-6, 20)}}));
  ASSERT_TRUE(put_many(*engine, "c", docs));
  ASSERT_TRUE(create_geo_index(*engine, "c", "p"));
  ReadTxn txn = engine->store().BeginRead().value();
  ReadView view(txn);
  EXPECT_FALSE(geo_cell_ranges(*engine, "c", "p", view, GeoBox{9, 19, 11, 21}).value().has_value());
  EXPECT_EQ(geo_cell_ranges(*engine, "c", "p", view, GeoBox{11, 19, 9, 21}).value(), std::vector<std::string>{});
  EXPECT_FALSE(geo_cell_ranges(*engine, "c", "p", view, GeoBox{9, 21, 11, 19}).value().has_value());
  EXPECT_EQ(geo_radius_search(*engine, "c", "p", 10, 20, 5).value().size(), 5000u);
}

TEST(GeoTest, BoxArgumentsAreChecked) {
  auto engine = MemEngine();
  auto message = [&](GeoBox box) { return geo_bbox_search(*engine, "c", "p", box).error().Message(); };
  EXPECT_EQ(message({91, 0, 0, 0}), "invalid argument: geo_within_bbox: min_lat = 91 is outside [-90, 90]");
  EXPECT_EQ(message({0, 0, kNaN, 0}), "invalid argument: geo_within_bbox: max_lat = NaN is outside [-90, 90]");
  EXPECT_EQ(message({0, -180.5, 0, 0}), "invalid argument: geo_within_bbox: min_lon = -180.5 is outside [-180, 180]");
  EXPECT_EQ(message({10, 0, 5, 0}),
            "invalid argument: geo_within_bbox: min_lat = 10 is greater than max_lat = 5 (latitude cannot wrap; only "
            "longitude does)");
}

}  // namespace
}  // namespace pallix
