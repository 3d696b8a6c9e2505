// Distance metrics, binary and scalar quantization, and the one distance
// rule between a prepared query and a stored vector.
//
// Every vector index measures closeness with a Metric and may keep its
// vectors in a reduced form (Quantization here, product-quantization codes
// from vector/pq.h). Both HNSW graphs (vector/hnsw.h and the on-disk graph)
// compute every node distance through pq_code_distance, or through the
// equivalent QueryScorer that prepares the query side once; the index layer
// parses metric and quantization names and bytes; the query executor scores
// candidates exactly with distance_by_metric.
//
// Arithmetic (float32, never contracted into fused multiply-adds): dot
// products and l2 sums walk both vectors in blocks of 8 components, adding
// components 0-3 of a block into one 4-lane accumulator and 4-7 into a
// second; the lanes are then summed in the order first accumulator lanes
// 0..3, second accumulator lanes 0..3, and the unblocked tails are paired
// and added one by one. Vector units give bitwise the same result because
// they keep exactly these lanes. For vectors of unequal length only the
// common blocks and the paired tails count.
//
// Stored forms of a d-component vector:
//   none    d float32 components
//   binary  ceil(d/8) bytes; byte i/8 holds component i in bit i mod 8
//           (least significant first); set when the component is >= 0.0
//           (so -0.0 sets it and NaN leaves it clear); trailing bits 0
//   scalar  8 + d bytes:
//             offset  size  field
//             0       4     minimum, float32 little-endian
//             4       4     scale, float32 little-endian
//             8       d     one unsigned code per component
//
// Mismatches never fail: a query and a stored vector of different kinds or
// lengths are at distance +infinity, which sorts after every finite
// distance.
//
// Thread-safety: pure functions over caller-owned data. A QueryScorer keeps
// scratch space and belongs to one thread.

#ifndef PALLIX_VECTOR_QUANT_H_
#define PALLIX_VECTOR_QUANT_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "vector/pq.h"

namespace pallix {

// Stored in index descriptors and the dump file; never change.
enum class Metric : uint8_t {
  kCosine = 0,  // 1 - cos(a, b); exactly 1.0 when either vector has zero length
  kDot = 1,     // -dot(a, b)
  kL2 = 2,      // squared Euclidean distance, no square root
  // Never stored: what a "dot" graph links by (vector/hnsw_search.h),
  // max(dot(a, a), dot(b, b)) - dot(a, b).
  kDotLink = 3,
};

// Stored in index descriptors and the dump file; never change.
enum class Quantization : uint8_t {
  kNone = 0,
  kBinary = 1,
  kScalar = 2,
};

std::string_view MetricName(Metric metric);
std::string_view QuantizationName(Quantization quant);

// Stored bytes 0..2 map to the variants; 3 and above fail with InvalidDump
// "bad metric" / "bad quant".
Result<Metric> parse_metric_byte(uint8_t b);
Result<Quantization> parse_quant_byte(uint8_t b);

// The dot product under the block rule above; 0 for empty vectors.
float dot_f32(std::span<const float> a, std::span<const float> b);
// The squared Euclidean distance under the same block rule.
float l2_f32(std::span<const float> a, std::span<const float> b);
// Whether the float kernels in use read a vector of n float32 components
// (little-endian) at any byte offset, as a record stores them, with the
// same results as from an aligned copy: they load whole blocks through
// unaligned loads, and n leaves no tail.
bool floats_read_in_place(size_t n);
// The distance of a and b under `metric` (smaller is closer). Cosine is
// 1 - dot(a,b) / (sqrt(dot(a,a)) * sqrt(dot(b,b))), exactly 1.0 when either
// self product is 0; dot is -dot(a,b); any other byte is l2.
float distance_by_metric(Metric metric, std::span<const float> a, std::span<const float> b);

// What a graph node keeps of its vector: float32 components (quantization
// none) or code bytes (binary, scalar or product-quantization codes).
enum class StoredKind : uint8_t { kF32 = 0, kCodes = 1 };

// A non-owning view of a stored vector; what the distance rule reads.
struct StoredRef {
  StoredKind kind = StoredKind::kF32;
  std::span<const float> f32;
  std::span<const uint8_t> codes;

  static StoredRef F32(std::span<const float> v) { return {StoredKind::kF32, v, {}}; }
  static StoredRef Codes(std::span<const uint8_t> c) { return {StoredKind::kCodes, {}, c}; }
};

struct StoredVector {
  StoredKind kind = StoredKind::kF32;
  std::vector<float> f32;      // kF32
  std::vector<uint8_t> codes;  // kCodes

  static StoredVector F32(std::vector<float> v) { return {StoredKind::kF32, std::move(v), {}}; }
  static StoredVector Codes(std::vector<uint8_t> c) { return {StoredKind::kCodes, {}, std::move(c)}; }
  StoredRef ref() const { return kind == StoredKind::kF32 ? StoredRef::F32(f32) : StoredRef::Codes(codes); }
};

// The variants of a prepared query. The low bit is the tag the distance
// rule tests: 0 for float components, 1 for bits or a table.
enum class QueryKind : uint8_t {
  kRaw = 0,      // float32 components, against F32 nodes or decoded scalar nodes
  kBits = 1,     // sign bits, against binary codes by Hamming distance
  kPqRaw = 2,    // float32 components, against decoded product-quantization codes
  kPqTable = 3,  // m * k distance table, against product-quantization codes
};

// A non-owning view of a prepared query.
struct QueryRef {
  QueryKind kind = QueryKind::kRaw;
  std::span<const float> floats;  // kRaw, kPqRaw: components; kPqTable: the table
  std::span<const uint8_t> bits;  // kBits
};

// A query vector made ready for repeated distances against one index.
struct PreparedQuery {
  QueryKind kind = QueryKind::kRaw;
  std::vector<float> floats;
  std::vector<uint8_t> bits;

  QueryRef ref() const { return {kind, floats, bits}; }
};

// The binary layout above: exactly ceil(d/8) bytes.
std::vector<uint8_t> quantize_binary(std::span<const float> x);
// The scalar layout above: exactly 8 + d bytes. Minimum and maximum ignore
// NaN and become 0.0 when not finite; scale = (max - min) / 255 when max >
// min, else 1.0; code = round((x - min) / scale) half away from zero,
// clamped to 0..255, NaN coding as 0.
std::vector<uint8_t> quantize_scalar(std::span<const float> x);
// none: F32 (a copy); binary: quantize_binary codes; any other: scalar codes.
StoredVector quantize_vector(Quantization quant, std::span<const float> x);
// Component i = min + codes[i] * scale (multiply, then add).
std::vector<float> sq8_decode(float min, float scale, std::span<const uint8_t> codes);

// A node's own stored form as a query (used when pruning the node's
// neighbour list): binary codes give Bits (a copy); other codes give Raw of
// their scalar decoding (empty when shorter than 8 bytes); F32 gives Raw.
PreparedQuery query_from_stored(Quantization quant, StoredRef stored);
// The same without copying: the result views `stored` or `scratch`, which
// must outlive it.
QueryRef QueryRefFromStored(Quantization quant, StoredRef stored, std::vector<float>& scratch);

// Prepares a query for one index. With a codebook: under l2 its distance
// table (PqTable), or PqRaw of a copy when the query's length is not the
// codebook's dim; under other metrics PqRaw. Without a codebook: Bits for
// binary quantization, else Raw (a scalar index compares the unquantized
// query with decoded nodes).
PreparedQuery prepare_query(const PqCodebook* codebook, Metric metric, Quantization quant,
                            std::span<const float> query);

// The distance from a prepared query to a stored vector, the one rule both
// graphs use:
//   Raw/Bits with a codebook                    +inf
//   Raw/Bits without one                        quant_code_distance
//   PqRaw/PqTable without a codebook, or F32    +inf
//   PqRaw with codes                            metric against pq_decode(codes)
//   PqTable with codes                          sum of table[s*k + codes[s]]
// Codes that could not have been encoded (length other than m, a code not
// below k) are at +inf, so a damaged node ranks last.
float pq_code_distance(const PqCodebook* codebook, Metric metric, Quantization quant, QueryRef query,
                       StoredRef stored);
// The non-product part: quant none compares Raw with F32 by the metric;
// binary compares Bits with codes of the same byte length by Hamming distance
// (the metric is ignored); scalar decodes codes (fewer than 8 bytes decode to
// nothing) and compares Raw with them by the metric when the lengths agree.
// Everything else is +inf.
float quant_code_distance(Quantization quant, Metric metric, QueryRef query, StoredRef stored);

// pq_code_distance for one query against many stored vectors, with the
// query-side work done once (the query's self product for cosine) and
// scratch space for decoding, so the graphs' inner loop allocates nothing.
// Returns bitwise the same values as pq_code_distance. The query's and the
// codebook's data must outlive the scorer.
class QueryScorer {
 public:
  QueryScorer(const PqCodebook* codebook, Metric metric, Quantization quant, QueryRef query);
  // The same for a Raw query against float vectors (no codebook,
  // quantization none) whose self product dot(query, query), as dot_f32
  // gives it, the caller already holds: a graph node's own vector taken as
  // a query, whose self product sits beside it. Any other query scores
  // every vector +inf.
  QueryScorer(const PqCodebook* codebook, Metric metric, Quantization quant, QueryRef query, float query_self);

  float operator()(StoredRef stored);

  // True when distances are the metric of the query's floats against float
  // vectors (quantization none, no codebook): FloatBatch then applies.
  bool float_batch() const { return mode_ == Mode::kFloat; }
  // out[i] = (*this)(F32 vectors[i]) for count vectors, each exactly as long
  // as the query, computed several at a time.
  void FloatBatch(const float* const* vectors, size_t count, float* out);
  // FloatBatch over vectors whose float32 components lie in stored bytes
  // at any alignment (as a document encodes them), each exactly as long as
  // the query: read in place where the kernels allow it, else from aligned
  // copies. The same values as FloatBatch. For a walk's rows, read once
  // from memory: the kernels ask for the next vectors' lines as they go.
  void FloatBatchStored(const std::byte* const* vectors, size_t count, float* out);
  // The same with each vector's self product dot(v, v) already known (as
  // dot_f32 gives it): cosine then needs only the query's products.
  void FloatBatchWithSelf(const float* const* vectors, const float* selfs, size_t count, float* out);
  // FloatBatchWithSelf in two steps, for a caller that fetches the self
  // products only once the vectors are read: under cosine, FloatDots leaves
  // the query's dot products in out and CosineFromDots turns them into the
  // distances (the same values); under other metrics FloatDots gives the
  // distances and CosineFromDots changes nothing.
  void FloatDots(const float* const* vectors, size_t count, float* out);
  void CosineFromDots(const float* selfs, size_t count, float* out) const;

 private:
  enum class Mode : uint8_t { kInfinite, kFloat, kBits, kScalar, kPqRaw, kPqTable };

  // The metric of the query against v, using the cached self product.
  float MetricDistance(std::span<const float> v) const;
  // FloatBatch by the kernels for vectors read in a stream (stream) or not.
  void FloatBatchOf(const float* const* vectors, size_t count, float* out, bool stream);

  const PqCodebook* codebook_;
  Metric metric_;
  Mode mode_ = Mode::kInfinite;
  QueryRef query_;
  float query_self_ = 0.0f;  // dot(query, query), for cosine
  std::vector<float> scratch_;
  std::vector<float> copies_;  // FloatBatchStored's aligned copies
};

}  // namespace pallix

#endif  // PALLIX_VECTOR_QUANT_H_
