#include "engine/pq.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace pallix {
namespace {

// Squared distance of x[0 .. len) to c[0 .. len), added in index order. The
// order is part of the codebook's definition: a different order could pick
// a different nearest centroid on near-ties and change the stored codes.
inline float SliceDistance(const float* x, const float* c, size_t len) {
  float sum = 0.0f;
  for (size_t j = 0; j < len; ++j) {
    float d = x[j] - c[j];
    sum += d * d;
  }
  return sum;
}

uint32_t NearestCentroid(const float* slice, size_t len, const float* table, uint32_t k, uint32_t subspace_dim) {
  float best = std::numeric_limits<float>::infinity();
  uint32_t best_index = 0;
  for (uint32_t c = 0; c < k; ++c) {
    float d = SliceDistance(slice, table + size_t{c} * subspace_dim, len);
    if (d < best) {
      best = d;
      best_index = c;
    }
  }
  return best_index;
}

// Recomputes every centroid that owns at least one slice as the mean of its
// slices; a centroid that owns none keeps its value.
void UpdateCentroids(std::span<const float> slices, std::span<const uint32_t> assignment, uint32_t k,
                     uint32_t subspace_dim, std::vector<float>& centroids) {
  std::vector<float> sums(size_t{k} * subspace_dim, 0.0f);
  std::vector<uint64_t> counts(k, 0);
  for (size_t i = 0; i < assignment.size(); ++i) {
    uint32_t c = assignment[i];
    ++counts[c];
    const float* x = slices.data() + i * subspace_dim;
    float* sum = sums.data() + size_t{c} * subspace_dim;
    for (uint32_t j = 0; j < subspace_dim; ++j) sum[j] += x[j];
  }
  for (uint32_t c = 0; c < k; ++c) {
    if (counts[c] == 0) continue;
    float count = static_cast<float>(counts[c]);
    for (uint32_t j = 0; j < subspace_dim; ++j) {
      size_t at = size_t{c} * subspace_dim + j;
      centroids[at] = sums[at] / count;
    }
  }
}

// Trains every subspace in order; the team (or nullptr) serves them all.
PqCodebook TrainSubspaces(std::span<const std::vector<float>> vectors, uint32_t m, uint32_t k, uint32_t dim,
                          Team* team) {
  PqCodebook codebook;
  codebook.m = m;
  codebook.k = k;
  codebook.subspace_dim = dim / m;
  codebook.dim = dim;
  codebook.centroids.reserve(size_t{m} * k * codebook.subspace_dim);
  uint32_t sd = codebook.subspace_dim;
  std::vector<float> slices(vectors.size() * sd);
  for (uint32_t s = 0; s < m; ++s) {
    for (size_t i = 0; i < vectors.size(); ++i) {
      std::memcpy(slices.data() + i * sd, vectors[i].data() + size_t{s} * sd, sd * sizeof(float));
    }
    std::vector<float> table = pq_kmeans(slices, vectors.size(), k, sd, team);
    codebook.centroids.insert(codebook.centroids.end(), table.begin(), table.end());
  }
  return codebook;
}

}  // namespace

size_t PqTeamSize(size_t n, size_t processors) {
  if (processors < 2 || n < kPqTeamMinVectors) return 1;
  return std::min(processors, kMaxTeamSize);
}

std::optional<PqCodebook> pq_train(std::span<const std::vector<float>> vectors, uint64_t m, uint64_t k,
                                   size_t processors) {
  if (vectors.empty() || m == 0 || k < 2 || k > kPqMaxK) return std::nullopt;
  size_t dim = vectors[0].size();
  if (dim == 0 || dim > std::numeric_limits<uint32_t>::max() || dim % m != 0) return std::nullopt;
  for (const auto& v : vectors) {
    if (v.size() != dim) return std::nullopt;
  }
  auto m32 = static_cast<uint32_t>(m), k32 = static_cast<uint32_t>(k), dim32 = static_cast<uint32_t>(dim);
  size_t team_size = PqTeamSize(vectors.size(), processors);
  if (team_size < 2) return TrainSubspaces(vectors, m32, k32, dim32, nullptr);
  return team_run(team_size, [&](Team& team) { return TrainSubspaces(vectors, m32, k32, dim32, &team); });
}

std::vector<float> pq_kmeans(std::span<const float> slices, size_t n, uint32_t k, uint32_t subspace_dim,
                             Team* team) {
  std::vector<float> centroids(size_t{k} * subspace_dim, 0.0f);
  if (n == 0 || k == 0 || subspace_dim == 0) return centroids;
  for (uint32_t j = 0; j < k; ++j) {
    size_t source = (size_t{j} * n / k) % n;
    std::memcpy(centroids.data() + size_t{j} * subspace_dim, slices.data() + source * subspace_dim,
                subspace_dim * sizeof(float));
  }
  std::vector<uint32_t> assignment(n, 0);
  for (int iteration = 0; iteration < kPqMaxIterations; ++iteration) {
    // The centroids are not touched until every member has finished the
    // map, so the members read them directly instead of a copy.
    auto nearest = [&](size_t i) {
      return NearestCentroid(slices.data() + i * subspace_dim, subspace_dim, centroids.data(), k, subspace_dim);
    };
    std::vector<uint32_t> next;
    if (team != nullptr) {
      next = team->Map(n, nearest);
    } else {
      next.reserve(n);
      for (size_t i = 0; i < n; ++i) next.push_back(nearest(i));
    }
    bool changed = next != assignment;
    assignment = std::move(next);
    UpdateCentroids(slices, assignment, k, subspace_dim, centroids);
    if (!changed) break;
  }
  return centroids;
}

uint32_t pq_nearest_centroid(std::span<const float> slice, std::span<const float> table, uint32_t subspace_dim) {
  if (subspace_dim == 0) return 0;
  auto k = static_cast<uint32_t>(std::min<size_t>(table.size() / subspace_dim, std::numeric_limits<uint32_t>::max()));
  size_t len = std::min<size_t>(subspace_dim, slice.size());
  return NearestCentroid(slice.data(), len, table.data(), k, subspace_dim);
}

std::vector<uint8_t> pq_encode(const PqCodebook& codebook, std::span<const float> vector) {
  std::vector<uint8_t> codes(codebook.m, 0);
  if (vector.size() != codebook.dim || !codebook.valid()) return codes;
  uint32_t sd = codebook.subspace_dim;
  for (uint32_t s = 0; s < codebook.m; ++s) {
    codes[s] = static_cast<uint8_t>(NearestCentroid(vector.data() + size_t{s} * sd, sd,
                                                    codebook.table(s).data(), codebook.k, sd));
  }
  return codes;
}

bool PqDecodeInto(const PqCodebook& codebook, std::span<const uint8_t> codes, float* out) {
  if (codes.size() != codebook.m || !codebook.valid()) return false;
  uint32_t sd = codebook.subspace_dim;
  for (uint32_t s = 0; s < codebook.m; ++s) {
    if (codes[s] >= codebook.k) return false;
    std::memcpy(out + size_t{s} * sd, codebook.centroid(s, codes[s]), sd * sizeof(float));
  }
  return true;
}

std::optional<std::vector<float>> pq_decode(const PqCodebook& codebook, std::span<const uint8_t> codes) {
  std::vector<float> out(codebook.dim);
  if (!PqDecodeInto(codebook, codes, out.data())) return std::nullopt;
  return out;
}

std::optional<std::vector<float>> pq_distance_table(const PqCodebook& codebook, std::span<const float> query) {
  if (query.size() != codebook.dim || !codebook.valid()) return std::nullopt;
  uint32_t sd = codebook.subspace_dim;
  std::vector<float> table(size_t{codebook.m} * codebook.k);
  for (uint32_t s = 0; s < codebook.m; ++s) {
    for (uint32_t c = 0; c < codebook.k; ++c) {
      table[size_t{s} * codebook.k + c] = SliceDistance(query.data() + size_t{s} * sd, codebook.centroid(s, c), sd);
    }
  }
  return table;
}

}  // namespace pallix
