// Tight clusters with far outliers: the data on which a graph that links
// each node to its nearest nodes alone falls apart into islands, one per
// cluster, and leaves each far point on an island of its own. Shared by the
// tests of both vector graphs, which must find every stored vector by its
// own value there.

#ifndef PALLIX_TESTS_ENGINE_CLUSTERED_VECTORS_H_
#define PALLIX_TESTS_ENGINE_CLUSTERED_VECTORS_H_

#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace pallix::test {

struct ClusteredVectors {
  std::vector<std::vector<float>> vectors;  // in insertion order
  std::vector<bool> outlier;                // per vector
};

// 20 clusters of 100 points in 16 dimensions (centres spread 1 per
// component, so about 4 from the origin and 5.7 from each other, points
// 0.01 per component around them) and 20 outliers at distance `far` from
// the origin, a hundred cluster radii from any cluster, all in one
// shuffled order, so that about half the outliers arrive after the
// clusters have filled their nodes' lists. The same for a seed on every
// machine.
inline ClusteredVectors TightClustersWithOutliers(uint64_t seed, double far = 5.0) {
  constexpr size_t kClusters = 20, kPerCluster = 100, kOutliers = 20, kDim = 16;
  uint64_t state = seed;
  auto next = [&] {
    state += 0x9E3779B97F4A7C15ull;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  };
  auto uniform = [&] { return static_cast<double>(next() >> 11) * 0x1p-53; };
  auto normal = [&] {
    double u = 1.0 - uniform(), v = uniform();
    return static_cast<float>(std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * v));
  };
  ClusteredVectors out;
  for (size_t c = 0; c < kClusters; ++c) {
    std::vector<float> centre(kDim);
    for (float& x : centre) x = normal();
    for (size_t i = 0; i < kPerCluster; ++i) {
      std::vector<float> v(centre);
      for (float& x : v) x += 0.01f * normal();
      out.vectors.push_back(std::move(v));
      out.outlier.push_back(false);
    }
  }
  for (size_t i = 0; i < kOutliers; ++i) {
    std::vector<float> v(kDim);
    double norm = 0;
    for (float& x : v) {
      x = normal();
      norm += double{x} * x;
    }
    for (float& x : v) x = static_cast<float>(far * x / std::sqrt(norm));
    out.vectors.push_back(std::move(v));
    out.outlier.push_back(true);
  }
  for (size_t i = out.vectors.size(); i > 1; --i) {
    size_t j = next() % i;
    std::swap(out.vectors[i - 1], out.vectors[j]);
    bool a = out.outlier[i - 1], b = out.outlier[j];
    out.outlier[i - 1] = b;
    out.outlier[j] = a;
  }
  return out;
}

struct Misses {
  size_t total = 0;
  size_t outliers = 0;
};

// The vectors whose own value does not find them first: nearest(i) is the
// key a k = 1 search for vector i returns (empty for none), key(i) its own.
template <typename Nearest, typename KeyOf>
Misses CountMisses(const ClusteredVectors& data, Nearest nearest, KeyOf key) {
  Misses misses;
  for (size_t i = 0; i < data.vectors.size(); ++i) {
    if (nearest(i) == key(i)) continue;
    ++misses.total;
    misses.outliers += data.outlier[i];
  }
  return misses;
}

}  // namespace pallix::test

#endif  // PALLIX_TESTS_ENGINE_CLUSTERED_VECTORS_H_
