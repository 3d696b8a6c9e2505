#include "vector/pq.h"

#include <algorithm>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// A table laid out for scoring sixteen centroids at once (four lanes in
// each of four independent sums, so that their additions overlap): value j
// of centroid c at [j * padded + c], where padded is k rounded up to a
// multiple of 16 (the padding centroids are zeros and never win).
struct TransposedTable {
  std::vector<float> values;
  uint32_t k = 0;
  uint32_t padded = 0;
  uint32_t subspace_dim = 0;

  TransposedTable(const float* table, uint32_t k_in, uint32_t sd) : k(k_in), padded((k_in + 15) / 16 * 16), subspace_dim(sd) {
    values.assign(size_t{padded} * sd, 0.0f);
    for (uint32_t c = 0; c < k; ++c) {
      for (uint32_t j = 0; j < sd; ++j) values[size_t{j} * padded + c] = table[size_t{c} * sd + j];
    }
  }
};

// NearestCentroid of a full slice against a transposed table. Each lane
// holds one centroid's sum and receives its terms in index order, starting
// from 0, exactly as SliceDistance adds them. The scan keeps, per lane, the
// first strictly smallest distance; the lowest index among the lanes' equal
// minima is then the first strictly smallest overall, which is what the
// one-at-a-time scan picks (NaN never wins; all +inf or NaN gives 0).
// `distances` is scratch of padded entries.
uint32_t NearestTransposed(const float* slice, const TransposedTable& t, float* distances) {
  const float* values = t.values.data();
#if defined(__SSE2__)
  for (uint32_t c = 0; c < t.padded; c += 16) {
    __m128 s0 = _mm_setzero_ps(), s1 = _mm_setzero_ps(), s2 = _mm_setzero_ps(), s3 = _mm_setzero_ps();
    for (uint32_t j = 0; j < t.subspace_dim; ++j) {
      const float* row = values + size_t{j} * t.padded + c;
      __m128 x = _mm_set1_ps(slice[j]);
      __m128 d0 = _mm_sub_ps(x, _mm_loadu_ps(row)), d1 = _mm_sub_ps(x, _mm_loadu_ps(row + 4));
      __m128 d2 = _mm_sub_ps(x, _mm_loadu_ps(row + 8)), d3 = _mm_sub_ps(x, _mm_loadu_ps(row + 12));
      s0 = _mm_add_ps(s0, _mm_mul_ps(d0, d0));
      s1 = _mm_add_ps(s1, _mm_mul_ps(d1, d1));
      s2 = _mm_add_ps(s2, _mm_mul_ps(d2, d2));
      s3 = _mm_add_ps(s3, _mm_mul_ps(d3, d3));
    }
    _mm_storeu_ps(distances + c, s0);
    _mm_storeu_ps(distances + c + 4, s1);
    _mm_storeu_ps(distances + c + 8, s2);
    _mm_storeu_ps(distances + c + 12, s3);
  }
#else
  for (uint32_t c = 0; c < t.padded; c += 4) {
    float sum[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    for (uint32_t j = 0; j < t.subspace_dim; ++j) {
      for (int lane = 0; lane < 4; ++lane) {
        float d = slice[j] - values[size_t{j} * t.padded + c + lane];
        sum[lane] += d * d;
      }
    }
    std::memcpy(distances + c, sum, sizeof(sum));
  }
#endif
  // Padding centroids must never win.
  for (uint32_t c = t.k; c < t.padded; ++c) distances[c] = std::numeric_limits<float>::quiet_NaN();
  float best[4];
  uint32_t index[4] = {0, 0, 0, 0};
#if defined(__SSE2__)
  __m128 best4 = _mm_set1_ps(std::numeric_limits<float>::infinity());
  __m128i index4 = _mm_setzero_si128(), current = _mm_set_epi32(3, 2, 1, 0);
  const __m128i four = _mm_set1_epi32(4);
  for (uint32_t c = 0; c < t.padded; c += 4) {
    __m128 d = _mm_loadu_ps(distances + c);
    __m128 less = _mm_cmplt_ps(d, best4);
    best4 = _mm_or_ps(_mm_and_ps(less, d), _mm_andnot_ps(less, best4));
    __m128i pick = _mm_castps_si128(less);
    index4 = _mm_or_si128(_mm_and_si128(pick, current), _mm_andnot_si128(pick, index4));
    current = _mm_add_epi32(current, four);
  }
  _mm_storeu_ps(best, best4);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(index), index4);
#else
  for (int lane = 0; lane < 4; ++lane) best[lane] = std::numeric_limits<float>::infinity();
  for (uint32_t c = 0; c < t.padded; ++c) {
    if (distances[c] < best[c % 4]) {
      best[c % 4] = distances[c];
      index[c % 4] = c;
    }
  }
#endif
  uint32_t winner = 0;
  for (int lane = 1; lane < 4; ++lane) {
    if (best[lane] < best[winner] || (best[lane] == best[winner] && index[lane] < index[winner])) winner = lane;
  }
  return index[winner];
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
    std::vector<uint32_t> next = PqAssignNearest(slices, n, centroids, k, subspace_dim, team);
    bool changed = next != assignment;
    assignment = std::move(next);
    UpdateCentroids(slices, assignment, k, subspace_dim, centroids);
    if (!changed) break;
  }
  return centroids;
}

std::vector<uint32_t> PqAssignNearest(std::span<const float> slices, size_t n, std::span<const float> table,
                                      uint32_t k, uint32_t subspace_dim, Team* team) {
  // The table is not touched until every member has finished the map, so
  // the members read this one copy.
  TransposedTable transposed(table.data(), k, subspace_dim);
  // Scratch for one slice's distances: on the stack for every k training
  // uses, on the heap beyond.
  auto nearest = [&](size_t i) {
    float local[kPqMaxK];
    std::vector<float> heap;
    float* distances = local;
    if (transposed.padded > kPqMaxK) {
      heap.resize(transposed.padded);
      distances = heap.data();
    }
    return NearestTransposed(slices.data() + i * subspace_dim, transposed, distances);
  };
  if (team != nullptr) return team->Map(n, nearest);
  std::vector<uint32_t> out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) out.push_back(nearest(i));
  return out;
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
