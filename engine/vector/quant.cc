#include "vector/quant.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "base/coding.h"
#include "vector/quant_internal.h"

// ---------------------------------------------------------------------------
// Metrics, quantization and the distance rule.

namespace pallix {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr size_t kScalarHeader = 8;

float LoadF32Le(const uint8_t* p) { return DecodeFloat32LE(reinterpret_cast<const char*>(p)); }
void StoreF32Le(float x, uint8_t* p) { EncodeFloat32LE(reinterpret_cast<char*>(p), x); }

const quant_internal::Kernels& K() { return quant_internal::ActiveKernels(); }

float CosineFrom(float ab, float aa, float bb) { return quant_internal::CosineOf(ab, aa, bb); }

// Decodes scalar codes into out (resized); codes shorter than the header
// decode to nothing.
void DecodeScalarInto(std::span<const uint8_t> codes, std::vector<float>& out) {
  if (codes.size() < kScalarHeader) {
    out.clear();
    return;
  }
  float min = LoadF32Le(codes.data()), scale = LoadF32Le(codes.data() + 4);
  size_t d = codes.size() - kScalarHeader;
  out.resize(d);
  for (size_t i = 0; i < d; ++i) out[i] = min + static_cast<float>(codes[kScalarHeader + i]) * scale;
}

}  // namespace

std::string_view MetricName(Metric metric) {
  switch (metric) {
    case Metric::kCosine: return "cosine";
    case Metric::kDot: return "dot";
    case Metric::kDotLink: return "dot-link";
    default: return "l2";
  }
}

std::string_view QuantizationName(Quantization quant) {
  switch (quant) {
    case Quantization::kNone: return "none";
    case Quantization::kBinary: return "binary";
    default: return "scalar";
  }
}

Result<Metric> parse_metric_byte(uint8_t b) {
  if (b > 2) return Fail(EngineError::InvalidDump("bad metric"));
  return static_cast<Metric>(b);
}

Result<Quantization> parse_quant_byte(uint8_t b) {
  if (b > 2) return Fail(EngineError::InvalidDump("bad quant"));
  return static_cast<Quantization>(b);
}

float dot_f32(std::span<const float> a, std::span<const float> b) {
  return K().dot(a.data(), a.size(), b.data(), b.size());
}

float l2_f32(std::span<const float> a, std::span<const float> b) {
  return K().l2(a.data(), a.size(), b.data(), b.size());
}

bool floats_read_in_place(size_t n) {
  return std::endian::native == std::endian::little && K().unaligned_blocks && n % 8 == 0;
}

float distance_by_metric(Metric metric, std::span<const float> a, std::span<const float> b) {
  switch (metric) {
    case Metric::kCosine: return CosineFrom(dot_f32(a, b), dot_f32(a, a), dot_f32(b, b));
    case Metric::kDot: return -dot_f32(a, b);
    case Metric::kDotLink: return std::max(dot_f32(a, a), dot_f32(b, b)) - dot_f32(a, b);
    default: return l2_f32(a, b);
  }
}

std::vector<uint8_t> quantize_binary(std::span<const float> x) {
  std::vector<uint8_t> out((x.size() + 7) / 8, 0);
  for (size_t i = 0; i < x.size(); ++i) {
    if (x[i] >= 0.0f) out[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
  }
  return out;
}

std::vector<uint8_t> quantize_scalar(std::span<const float> x) {
  // NaN fails every comparison, so it never becomes the minimum or maximum.
  // Of two zeros -0.0 is the smaller and +0.0 the larger, whatever their
  // order in the vector (the IEEE minimumNumber / maximumNumber rule): the
  // stored minimum of [0, -0, 1] is -0.0.
  float min = kInf, max = -kInf;
  for (float v : x) {
    if (v < min || (v == min && std::signbit(v))) min = v;
    if (v > max || (v == max && !std::signbit(v))) max = v;
  }
  if (!std::isfinite(min)) min = 0.0f;
  if (!std::isfinite(max)) max = 0.0f;
  float scale = max > min ? (max - min) / 255.0f : 1.0f;
  std::vector<uint8_t> out(kScalarHeader + x.size());
  StoreF32Le(min, out.data());
  StoreF32Le(scale, out.data() + 4);
  for (size_t i = 0; i < x.size(); ++i) {
    float q = std::round((x[i] - min) / scale);  // halves away from zero
    uint8_t code = 0;
    if (q > 255.0f) {
      code = 255;
    } else if (q > 0.0f) {  // also false for NaN
      code = static_cast<uint8_t>(q);
    }
    out[kScalarHeader + i] = code;
  }
  return out;
}

StoredVector quantize_vector(Quantization quant, std::span<const float> x) {
  switch (quant) {
    case Quantization::kNone: return StoredVector::F32(std::vector<float>(x.begin(), x.end()));
    case Quantization::kBinary: return StoredVector::Codes(quantize_binary(x));
    default: return StoredVector::Codes(quantize_scalar(x));
  }
}

std::vector<float> sq8_decode(float min, float scale, std::span<const uint8_t> codes) {
  std::vector<float> out(codes.size());
  for (size_t i = 0; i < codes.size(); ++i) out[i] = min + static_cast<float>(codes[i]) * scale;
  return out;
}

QueryRef QueryRefFromStored(Quantization quant, StoredRef stored, std::vector<float>& scratch) {
  if (stored.kind == StoredKind::kF32) return {QueryKind::kRaw, stored.f32, {}};
  if (quant == Quantization::kBinary) return {QueryKind::kBits, {}, stored.codes};
  DecodeScalarInto(stored.codes, scratch);
  return {QueryKind::kRaw, scratch, {}};
}

PreparedQuery query_from_stored(Quantization quant, StoredRef stored) {
  std::vector<float> scratch;
  QueryRef ref = QueryRefFromStored(quant, stored, scratch);
  PreparedQuery out;
  out.kind = ref.kind;
  out.floats.assign(ref.floats.begin(), ref.floats.end());
  out.bits.assign(ref.bits.begin(), ref.bits.end());
  return out;
}

PreparedQuery prepare_query(const PqCodebook* codebook, Metric metric, Quantization quant,
                            std::span<const float> query) {
  PreparedQuery out;
  if (codebook != nullptr) {
    if (metric == Metric::kL2) {
      if (auto table = pq_distance_table(*codebook, query)) {
        out.kind = QueryKind::kPqTable;
        out.floats = std::move(*table);
        return out;
      }
    }
    out.kind = QueryKind::kPqRaw;
    out.floats.assign(query.begin(), query.end());
    return out;
  }
  if (quant == Quantization::kBinary) {
    out.kind = QueryKind::kBits;
    out.bits = quantize_binary(query);
    return out;
  }
  out.kind = QueryKind::kRaw;
  out.floats.assign(query.begin(), query.end());
  return out;
}

float pq_code_distance(const PqCodebook* codebook, Metric metric, Quantization quant, QueryRef query,
                       StoredRef stored) {
  return QueryScorer(codebook, metric, quant, query)(stored);
}

float quant_code_distance(Quantization quant, Metric metric, QueryRef query, StoredRef stored) {
  // The rule tests only the tag bit: PqRaw is read as Raw, PqTable as Bits
  // (whose bytes it does not have, so it matches only empty codes).
  QueryRef as_quant = query;
  if (query.kind == QueryKind::kPqRaw) as_quant = {QueryKind::kRaw, query.floats, {}};
  if (query.kind == QueryKind::kPqTable) as_quant = {QueryKind::kBits, {}, {}};
  return QueryScorer(nullptr, metric, quant, as_quant)(stored);
}

QueryScorer::QueryScorer(const PqCodebook* codebook, Metric metric, Quantization quant, QueryRef query)
    : codebook_(codebook), metric_(metric), query_(query) {
  bool product = query.kind == QueryKind::kPqRaw || query.kind == QueryKind::kPqTable;
  if (codebook != nullptr) {
    // A codebook whose fields disagree is never read: every node is +inf.
    if (!codebook->valid()) return;
    if (query.kind == QueryKind::kPqRaw) mode_ = Mode::kPqRaw;
    // A table built for another codebook would be read out of bounds.
    if (query.kind == QueryKind::kPqTable && query.floats.size() == size_t{codebook->m} * codebook->k) {
      mode_ = Mode::kPqTable;
    }
  } else if (!product) {
    bool bits = query.kind == QueryKind::kBits;
    if (quant == Quantization::kNone && !bits) mode_ = Mode::kFloat;
    if (quant == Quantization::kBinary && bits) mode_ = Mode::kBits;
    if (quant != Quantization::kNone && quant != Quantization::kBinary && !bits) mode_ = Mode::kScalar;
  }
  if (mode_ != Mode::kBits && mode_ != Mode::kInfinite && mode_ != Mode::kPqTable &&
      (metric == Metric::kCosine || metric == Metric::kDotLink)) {
    query_self_ = dot_f32(query_.floats, query_.floats);
  }
}

QueryScorer::QueryScorer(const PqCodebook* codebook, Metric metric, Quantization quant, QueryRef query,
                         float query_self)
    : codebook_(codebook), metric_(metric), query_(query), query_self_(query_self) {
  if (codebook == nullptr && query.kind == QueryKind::kRaw && quant == Quantization::kNone) mode_ = Mode::kFloat;
}

float QueryScorer::MetricDistance(std::span<const float> v) const {
  std::span<const float> q = query_.floats;
  // The fused kernels need equal lengths; unequal ones take the general
  // block rule.
  if (q.size() != v.size()) return distance_by_metric(metric_, q, v);
  const quant_internal::Kernels& k = K();
  switch (metric_) {
    case Metric::kCosine: {
      float qv, vv;
      k.dot_self(q.data(), v.data(), v.size(), &qv, &vv);
      return CosineFrom(qv, query_self_, vv);
    }
    case Metric::kDot: return -k.dot(q.data(), q.size(), v.data(), v.size());
    case Metric::kDotLink: {
      float qv, vv;
      k.dot_self(q.data(), v.data(), v.size(), &qv, &vv);
      return std::max(query_self_, vv) - qv;
    }
    default: return k.l2(q.data(), q.size(), v.data(), v.size());
  }
}

void QueryScorer::FloatBatchStored(const std::byte* const* vectors, size_t count, float* out) {
  constexpr size_t kChunk = 16;
  const size_t n = query_.floats.size();
  const bool in_place = floats_read_in_place(n);
  const float* ptrs[kChunk];
  for (size_t at = 0; at < count; at += kChunk) {
    const size_t m = std::min(kChunk, count - at);
    if (!in_place) copies_.resize(m * n);
    for (size_t i = 0; i < m; ++i) {
      if (in_place) {
        ptrs[i] = reinterpret_cast<const float*>(vectors[at + i]);
        continue;
      }
      if (n > 0) std::memcpy(copies_.data() + i * n, vectors[at + i], n * sizeof(float));
      ptrs[i] = copies_.data() + i * n;
    }
    FloatBatchOf(ptrs, m, out + at, true);
  }
}

void QueryScorer::FloatBatch(const float* const* vectors, size_t count, float* out) {
  FloatBatchOf(vectors, count, out, false);
}

void QueryScorer::FloatBatchOf(const float* const* vectors, size_t count, float* out, bool stream) {
  const quant_internal::Kernels& k = K();
  const auto dot_many = stream ? k.dot_many_ahead : k.dot_many;
  const auto dot_self_many = stream ? k.dot_self_many_ahead : k.dot_self_many;
  const float* q = query_.floats.data();
  size_t n = query_.floats.size();
  switch (metric_) {
    case Metric::kCosine: {
      scratch_.resize(count);
      dot_self_many(q, vectors, count, n, out, scratch_.data());
      k.cosine_many(out, query_self_, scratch_.data(), count, out);
      return;
    }
    case Metric::kDot:
      dot_many(q, vectors, count, n, out);
      for (size_t i = 0; i < count; ++i) out[i] = -out[i];
      return;
    case Metric::kDotLink: {
      scratch_.resize(count);
      dot_self_many(q, vectors, count, n, out, scratch_.data());
      for (size_t i = 0; i < count; ++i) out[i] = std::max(query_self_, scratch_[i]) - out[i];
      return;
    }
    default: (stream ? k.l2_many_ahead : k.l2_many)(q, vectors, count, n, out);
  }
}

void QueryScorer::FloatBatchWithSelf(const float* const* vectors, const float* selfs, size_t count, float* out) {
  if (metric_ != Metric::kCosine) return FloatBatch(vectors, count, out);
  K().dot_many(query_.floats.data(), vectors, count, query_.floats.size(), out);
  K().cosine_many(out, query_self_, selfs, count, out);
}

void QueryScorer::FloatDots(const float* const* vectors, size_t count, float* out) {
  if (metric_ != Metric::kCosine) return FloatBatch(vectors, count, out);
  K().dot_many(query_.floats.data(), vectors, count, query_.floats.size(), out);
}

void QueryScorer::CosineFromDots(const float* selfs, size_t count, float* out) const {
  if (metric_ == Metric::kCosine) K().cosine_many(out, query_self_, selfs, count, out);
}

float QueryScorer::operator()(StoredRef stored) {
  bool codes = stored.kind == StoredKind::kCodes;
  switch (mode_) {
    case Mode::kInfinite: return kInf;
    case Mode::kFloat: return codes ? kInf : MetricDistance(stored.f32);
    case Mode::kBits:
      if (!codes || stored.codes.size() != query_.bits.size()) return kInf;
      return static_cast<float>(quant_internal::HammingBytes(query_.bits.data(), stored.codes.data(), stored.codes.size()));
    case Mode::kScalar:
      if (!codes) return kInf;
      DecodeScalarInto(stored.codes, scratch_);
      if (scratch_.size() != query_.floats.size()) return kInf;
      return MetricDistance(scratch_);
    case Mode::kPqRaw:
      if (!codes) return kInf;
      scratch_.resize(codebook_->dim);
      if (!PqDecodeInto(*codebook_, stored.codes, scratch_.data())) return kInf;
      return MetricDistance(scratch_);
    case Mode::kPqTable: {
      // Damaged codes (another length than m, a code not below k) rank last.
      if (!codes || stored.codes.size() != codebook_->m) return kInf;
      const float* table = query_.floats.data();
      uint32_t k = codebook_->k;
      float sum = 0.0f;
      for (size_t j = 0; j < stored.codes.size(); ++j) {
        uint8_t c = stored.codes[j];
        if (c >= k) return kInf;
        sum += table[j * k + c];
      }
      return sum;
    }
  }
  return kInf;
}

}  // namespace pallix
