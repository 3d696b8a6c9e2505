// Product quantization: k-means codebooks, codes and distance tables.
//
// A vector of dimension dim is cut into m equal subspaces of subspace_dim =
// dim / m components; each subspace has its own table of k centroids learned
// by k-means, and a vector is stored as m one-byte codes, code s being the
// index of the centroid nearest to its s-th slice. The index layer trains a
// codebook when a product-quantized vector index is created (pq_train), the
// HNSW graphs encode their nodes with it (pq_encode), and the distance rule
// of vector/quant.h compares queries with codes through a distance table
// (pq_distance_table, metric l2) or by decoding (pq_decode, other metrics).
//
// Arithmetic: every squared distance of a slice to a centroid is the sum of
// (x[j] - c[j])^2 in float32, added in index order j = 0, 1, ...; centroid
// updates sum their slices in slice order. Training is therefore bitwise
// reproducible, with or without the worker team.
//
// Thread-safety: a PqCodebook is immutable once trained and is shared
// read-only (by std::shared_ptr) between the index registry and every graph
// and search that uses it. pq_train may run worker threads internally
// (vector/team.h) and joins them before returning.

#ifndef PALLIX_VECTOR_PQ_H_
#define PALLIX_VECTOR_PQ_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "vector/team.h"

namespace pallix {

// The most centroids a subspace may have: a code is one byte.
inline constexpr uint64_t kPqMaxK = 256;
// k-means stops after this many iterations even if assignments still move.
inline constexpr int kPqMaxIterations = 16;
// Training sets at least this large are trained on a worker team.
inline constexpr size_t kPqTeamMinVectors = 512;

struct PqCodebook {
  // m tables one after another; table s holds k centroids of subspace_dim
  // values each, centroid c of table s starting at (s * k + c) * subspace_dim.
  std::vector<float> centroids;
  uint32_t m = 0;
  uint32_t k = 0;
  uint32_t subspace_dim = 0;
  uint32_t dim = 0;  // m * subspace_dim

  // The fields agree with each other and with the centroid count: dim = m *
  // subspace_dim, 1 <= k <= 256, and m * k * subspace_dim values. pq_train
  // only makes such codebooks; one decoded from a damaged stored row might
  // not be, and every function here treats it as unusable rather than read
  // outside its centroids.
  bool valid() const {
    return m > 0 && k > 0 && k <= 256 && subspace_dim > 0 && uint64_t{dim} == uint64_t{m} * subspace_dim &&
           centroids.size() == uint64_t{m} * k * subspace_dim;
  }

  // The k * subspace_dim values of table s.
  std::span<const float> table(size_t s) const {
    return std::span<const float>(centroids).subspan(s * k * subspace_dim, size_t{k} * subspace_dim);
  }
  // The subspace_dim values of centroid c of table s.
  const float* centroid(size_t s, size_t c) const { return centroids.data() + (s * k + c) * subspace_dim; }
};

// The team size training uses for n vectors on a machine with `processors`
// online processors (0 when unknown): min(processors, 8) when n >= 512 and
// processors >= 2, else 1 (no worker threads).
size_t PqTeamSize(size_t n, size_t processors);

// Trains a codebook of m subspaces with k centroids each. Returns none when
// there are no vectors, m is 0, k is below 2 or above 256, the first vector
// is empty, its length (dim) is not a multiple of m, or any vector's length
// differs from dim. `processors` decides the worker team (see PqTeamSize);
// it defaults to the machine's online processors and exists so that tests
// can force or forbid a team. The codebook does not depend on it.
// A failure inside the team's job (InvariantError) propagates.
std::optional<PqCodebook> pq_train(std::span<const std::vector<float>> vectors, uint64_t m, uint64_t k,
                                   size_t processors = OnlineProcessors());

// Runs k-means over n slices of subspace_dim values each, stored one after
// another in `slices` (n * subspace_dim values), and returns the k *
// subspace_dim centroid values. Centroid j starts as slice (j * n / k) mod n;
// at most 16 iterations, stopping at the first that changes no assignment.
// The assignment step runs on `team` when it is given, has workers and n is
// at least its minimum map size; the result is the same either way.
// Requires n >= 1, k >= 1 and subspace_dim >= 1.
std::vector<float> pq_kmeans(std::span<const float> slices, size_t n, uint32_t k, uint32_t subspace_dim,
                             Team* team);

// The index of the centroid of `table` (k = table.size() / subspace_dim
// centroids) nearest to `slice`: strictly smaller distance wins, so ties go
// to the lowest index, and 0 when every distance is NaN.
uint32_t pq_nearest_centroid(std::span<const float> slice, std::span<const float> table, uint32_t subspace_dim);

// pq_nearest_centroid of each of the n slices (n * subspace_dim values in
// `slices`) against `table` (k centroids), scoring several centroids at once
// with the same arithmetic per centroid, so the result is the same. Runs on
// `team` when given (a map over the slices), else on the calling thread.
std::vector<uint32_t> PqAssignNearest(std::span<const float> slices, size_t n, std::span<const float> table,
                                      uint32_t k, uint32_t subspace_dim, Team* team);

// The m code bytes of `vector`; m zero bytes when its length is not dim or
// the codebook is not valid().
std::vector<uint8_t> pq_encode(const PqCodebook& codebook, std::span<const float> vector);

// The concatenation of centroid codes[s] of table s, s = 0 .. m-1. None for
// codes pq_encode cannot produce (possible only in a damaged stored node):
// a length other than m, or a code not below k (and for a codebook that is
// not valid()).
std::optional<std::vector<float>> pq_decode(const PqCodebook& codebook, std::span<const uint8_t> codes);

// pq_decode into out[0 .. dim): false (out unspecified) for damaged codes.
bool PqDecodeInto(const PqCodebook& codebook, std::span<const uint8_t> codes, float* out);

// The asymmetric distance table of a query: m * k float32 values, entry
// s * k + c the squared distance between query slice s and centroid c of
// table s. None when the query's length is not dim or the codebook is not
// valid().
std::optional<std::vector<float>> pq_distance_table(const PqCodebook& codebook, std::span<const float> query);

}  // namespace pallix

#endif  // PALLIX_VECTOR_PQ_H_
