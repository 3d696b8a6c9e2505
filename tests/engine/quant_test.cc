#include "vector/quant.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "vector/quant_internal.h"

namespace pallix {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

uint32_t Bits(float x) { return std::bit_cast<uint32_t>(x); }

float ReadF32Le(const std::vector<uint8_t>& bytes, size_t at) {
  uint32_t u = 0;
  for (int i = 0; i < 4; ++i) u |= uint32_t{bytes[at + i]} << (8 * i);
  return std::bit_cast<float>(u);
}

std::vector<uint8_t> Tail(const std::vector<uint8_t>& bytes, size_t from) {
  return std::vector<uint8_t>(bytes.begin() + static_cast<long>(from), bytes.end());
}

TEST(QuantTest, BinaryCodesFollowSignBitsLeastSignificantFirst) {
  std::vector<float> x = {0.5f, -0.5f, 0.0f, -0.0f, kNaN, 1, 1, 1, 1};
  EXPECT_EQ(quantize_binary(x), (std::vector<uint8_t>{0b11101101, 0b00000001}));
  EXPECT_TRUE(quantize_binary({}).empty());
}

TEST(QuantTest, ScalarCodesRoundHalfAwayFromZero) {
  auto codes = quantize_scalar(std::vector<float>{0.0f, 127.5f, 255.0f});
  ASSERT_EQ(codes.size(), 11u);
  EXPECT_EQ(Bits(ReadF32Le(codes, 0)), Bits(0.0f));
  EXPECT_EQ(Bits(ReadF32Le(codes, 4)), Bits(1.0f));
  EXPECT_EQ(Tail(codes, 8), (std::vector<uint8_t>{0, 128, 255}));
}

TEST(QuantTest, ScalarQuotientJustBelowHalfRoundsDown) {
  // (2 - 1) / (2 / 255) in float32 is just below 127.5.
  auto codes = quantize_scalar(std::vector<float>{1, 2, 3});
  EXPECT_EQ(Bits(ReadF32Le(codes, 0)), Bits(1.0f));
  EXPECT_EQ(Bits(ReadF32Le(codes, 4)), Bits(2.0f / 255.0f));
  EXPECT_EQ(Tail(codes, 8), (std::vector<uint8_t>{0, 127, 255}));
}

TEST(QuantTest, ScalarConstantAllNaNAndInfiniteInputs) {
  auto constant = quantize_scalar(std::vector<float>{4, 4, 4});
  EXPECT_EQ(Bits(ReadF32Le(constant, 0)), Bits(4.0f));
  EXPECT_EQ(Bits(ReadF32Le(constant, 4)), Bits(1.0f));
  EXPECT_EQ(Tail(constant, 8), (std::vector<uint8_t>{0, 0, 0}));

  auto nans = quantize_scalar(std::vector<float>{kNaN, kNaN});
  EXPECT_EQ(Bits(ReadF32Le(nans, 0)), Bits(0.0f));
  EXPECT_EQ(Bits(ReadF32Le(nans, 4)), Bits(1.0f));
  EXPECT_EQ(Tail(nans, 8), (std::vector<uint8_t>{0, 0}));

  // The infinite minimum is replaced by 0.0; -inf codes as 0, +inf as 255.
  auto inf = quantize_scalar(std::vector<float>{-kInf, 0, 1});
  EXPECT_EQ(Bits(ReadF32Le(inf, 0)), Bits(0.0f));
  EXPECT_EQ(Bits(ReadF32Le(inf, 4)), Bits(1.0f / 255.0f));
  EXPECT_EQ(Tail(inf, 8), (std::vector<uint8_t>{0, 0, 255}));
  // An infinite maximum is replaced too, leaving scale 1.0.
  auto pos_inf = quantize_scalar(std::vector<float>{0, 1, kInf, kNaN});
  EXPECT_EQ(Bits(ReadF32Le(pos_inf, 4)), Bits(1.0f));
  EXPECT_EQ(Tail(pos_inf, 8), (std::vector<uint8_t>{0, 1, 255, 0}));

  EXPECT_EQ(quantize_scalar({}).size(), 8u);
}

TEST(QuantTest, ScalarMinimumOfSignedZerosIsNegativeZero) {
  // -0.0 is the smaller zero wherever it stands; the maximum takes +0.0.
  for (auto v : {std::vector<float>{0.0f, -0.0f, 1.0f}, std::vector<float>{-0.0f, 0.0f, 1.0f}}) {
    auto codes = quantize_scalar(v);
    EXPECT_EQ(Bits(ReadF32Le(codes, 0)), Bits(-0.0f));
    EXPECT_EQ(Bits(ReadF32Le(codes, 4)), Bits(1.0f / 255.0f));
    EXPECT_EQ(Tail(codes, 8), (std::vector<uint8_t>{0, 0, 255}));
  }
  // A vector of zeros only: minimum -0.0, scale 1.0 (the maximum is +0.0,
  // which is not greater).
  auto zeros = quantize_scalar(std::vector<float>{-0.0f, 0.0f});
  EXPECT_EQ(Bits(ReadF32Le(zeros, 0)), Bits(-0.0f));
  EXPECT_EQ(Bits(ReadF32Le(zeros, 4)), Bits(1.0f));
  auto positive = quantize_scalar(std::vector<float>{0.0f, 0.0f});
  EXPECT_EQ(Bits(ReadF32Le(positive, 0)), Bits(0.0f));
}

TEST(QuantTest, QuantizeVectorDispatchesOnTheByte) {
  std::vector<float> x = {1, -2, 3};
  EXPECT_EQ(quantize_vector(Quantization::kNone, x).f32, x);
  EXPECT_EQ(quantize_vector(Quantization::kBinary, x).codes, quantize_binary(x));
  EXPECT_EQ(quantize_vector(Quantization::kScalar, x).codes, quantize_scalar(x));
  EXPECT_EQ(quantize_vector(static_cast<Quantization>(9), x).codes, quantize_scalar(x));
}

TEST(QuantTest, CosineOfZeroVectorIsExactlyOne) {
  std::vector<float> zero(5, 0.0f), v = {1, 2, 3, 4, 5}, nan = {kNaN, 1, 1, 1, 1};
  EXPECT_EQ(Bits(distance_by_metric(Metric::kCosine, zero, v)), Bits(1.0f));
  EXPECT_EQ(Bits(distance_by_metric(Metric::kCosine, v, zero)), Bits(1.0f));
  EXPECT_EQ(Bits(distance_by_metric(Metric::kCosine, zero, zero)), Bits(1.0f));
  EXPECT_EQ(Bits(distance_by_metric(Metric::kCosine, zero, nan)), Bits(1.0f));
  EXPECT_EQ(Bits(distance_by_metric(Metric::kCosine, {}, {})), Bits(1.0f));
  EXPECT_NEAR(distance_by_metric(Metric::kCosine, v, v), 0.0f, 1e-6f);
}

TEST(QuantTest, DotAndL2Basics) {
  std::vector<float> a = {1, 0}, b = {0, 1}, c = {3, 4};
  float dot = distance_by_metric(Metric::kDot, a, b);
  EXPECT_EQ(dot, 0.0f);  // -0.0 or 0.0
  EXPECT_EQ(Bits(distance_by_metric(Metric::kL2, c, c)), Bits(0.0f));
  EXPECT_EQ(distance_by_metric(Metric::kL2, std::vector<float>{0, 0}, c), 25.0f);  // no square root
  EXPECT_EQ(distance_by_metric(static_cast<Metric>(7), std::vector<float>{0, 0}, c), 25.0f);
  EXPECT_EQ(distance_by_metric(Metric::kDot, c, c), -25.0f);
}

TEST(QuantTest, NaNInputsGiveNaNDistances) {
  std::vector<float> a = {kNaN, 1, 2}, b = {1, 1, 1};
  EXPECT_TRUE(std::isnan(distance_by_metric(Metric::kL2, a, b)));
  EXPECT_TRUE(std::isnan(distance_by_metric(Metric::kDot, a, b)));
  EXPECT_TRUE(std::isnan(distance_by_metric(Metric::kCosine, a, b)));
  std::vector<float> inf = {kInf, 0, 0};
  EXPECT_TRUE(std::isnan(distance_by_metric(Metric::kL2, inf, inf)));  // inf - inf
}

TEST(QuantTest, LanesAreSummedInAccumulatorOrderNotComponentOrder) {
  // Blocks [2^24, 0, 0, 0, -2^24, 0, 0, 0] and [0, 1, 1, 1, 0, 0, 0, 0]:
  // the first accumulator ends as [2^24, 1, 1, 1], whose ones vanish when
  // added to 2^24 one at a time, and the second as [-2^24, 0, 0, 0]; the sum
  // is 0. Adding component by component would give 3.
  float big = 16777216.0f;
  std::vector<float> a = {big, 0, 0, 0, -big, 0, 0, 0, 0, 1, 1, 1, 0, 0, 0, 0};
  std::vector<float> ones(16, 1.0f);
  EXPECT_EQ(Bits(dot_f32(a, ones)), Bits(0.0f));
  EXPECT_EQ(Bits(l2_f32(a, std::vector<float>(16, 0.0f))), Bits(big * big * 2.0f));
}

TEST(QuantTest, UnequalLengthsPairTheTails) {
  // 10 and 17 components: components 0-7 block-wise, then a[8] with b[16].
  std::vector<float> a(10, 0.0f), b(17, 0.0f);
  a[0] = 2;
  b[0] = 3;
  a[8] = 5;
  a[9] = 100;
  b[8] = 1000;
  b[16] = 7;
  EXPECT_EQ(dot_f32(a, b), 6.0f + 35.0f);
  EXPECT_EQ(dot_f32(b, a), 6.0f + 35.0f);
  EXPECT_EQ(dot_f32({}, b), 0.0f);
}

// Every kernel variant must give the reference's bits for every input.
TEST(QuantTest, KernelVariantsAreBitwiseIdentical) {
  using quant_internal::Kernels;
  std::vector<const Kernels*> variants = {&quant_internal::ActiveKernels()};
  if (auto* k = quant_internal::Sse2Kernels()) variants.push_back(k);
  if (auto* k = quant_internal::AvxKernels()) variants.push_back(k);
  if (auto* k = quant_internal::Avx512Kernels()) variants.push_back(k);
  const Kernels& ref = quant_internal::ReferenceKernels();
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> uniform(-1000.0f, 1000.0f);
  std::vector<float> specials = {0.0f, -0.0f, kInf, -kInf, kNaN, 1e-40f, -1e38f, 3e38f};
  for (int round = 0; round < 400; ++round) {
    size_t la = rng() % 70, lb = round % 3 == 0 ? la : rng() % 70;
    std::vector<float> a(la), b(lb);
    for (auto& x : a) x = rng() % 50 == 0 ? specials[rng() % specials.size()] : uniform(rng);
    for (auto& x : b) x = rng() % 50 == 0 ? specials[rng() % specials.size()] : uniform(rng);
    float want_dot = ref.dot(a.data(), la, b.data(), lb), want_l2 = ref.l2(a.data(), la, b.data(), lb);
    for (const Kernels* k : variants) {
      SCOPED_TRACE(k->name);
      EXPECT_EQ(Bits(k->dot(a.data(), la, b.data(), lb)), Bits(want_dot));
      EXPECT_EQ(Bits(k->l2(a.data(), la, b.data(), lb)), Bits(want_l2));
      if (la == lb) {
        float qv, vv;
        k->dot_self(a.data(), b.data(), la, &qv, &vv);
        EXPECT_EQ(Bits(qv), Bits(want_dot));
        EXPECT_EQ(Bits(vv), Bits(ref.dot(b.data(), lb, b.data(), lb)));
      }
    }
  }
}

// The names PALLIX_KERNELS takes: each the variant of that name, when the
// processor runs it; any other name none, which leaves the widest.
TEST(QuantTest, KernelVariantsByName) {
  using quant_internal::KernelsNamed;
  EXPECT_EQ(KernelsNamed("reference"), &quant_internal::ReferenceKernels());
  EXPECT_EQ(KernelsNamed("sse2"), quant_internal::Sse2Kernels());
  EXPECT_EQ(KernelsNamed("avx"), quant_internal::AvxKernels());
  EXPECT_EQ(KernelsNamed("avx512"), quant_internal::Avx512Kernels());
  for (const char* name : {"", "AVX", "avx2", "avx512f", "neon"}) EXPECT_EQ(KernelsNamed(name), nullptr) << name;
  for (const char* name : {"reference", "sse2", "avx", "avx512"}) {
    if (const auto* k = KernelsNamed(name)) {
      EXPECT_STREQ(k->name, name);
    }
  }
}

// The many-vector kernels interleave vectors; each result must still be the
// single kernel's bits, for every count (full groups and remainders).
TEST(QuantTest, ManyVectorKernelsMatchSingleOnes) {
  using quant_internal::Kernels;
  std::vector<const Kernels*> variants = {&quant_internal::ReferenceKernels()};
  if (auto* k = quant_internal::Sse2Kernels()) variants.push_back(k);
  if (auto* k = quant_internal::AvxKernels()) variants.push_back(k);
  for (size_t width : {8u, 16u}) {
    if (auto* k = quant_internal::Avx512KernelsOfWidth(width)) variants.push_back(k);
  }
  const Kernels& ref = quant_internal::ReferenceKernels();
  std::mt19937 rng(9);
  std::uniform_real_distribution<float> uniform(-10.0f, 10.0f);
  for (size_t n : {0u, 3u, 8u, 21u, 64u}) {
    std::vector<float> q(n);
    for (auto& x : q) x = uniform(rng);
    // Up to 35: groups of sixteen, eight and four, and every remainder
    // after them.
    std::vector<std::vector<float>> vs(35, std::vector<float>(n));
    std::vector<const float*> ptrs;
    for (auto& v : vs) {
      for (auto& x : v) x = uniform(rng);
      ptrs.push_back(v.data());
    }
    for (const Kernels* k : variants) {
      SCOPED_TRACE(k->name);
      for (size_t count = 0; count <= vs.size(); ++count) {
        std::vector<float> dots(count), l2s(count), qv(count), vv(count);
        k->dot_many(q.data(), ptrs.data(), count, n, dots.data());
        k->l2_many(q.data(), ptrs.data(), count, n, l2s.data());
        k->dot_self_many(q.data(), ptrs.data(), count, n, qv.data(), vv.data());
        // The cosine step over those products, a zero and a NaN self
        // product among them.
        std::vector<float> selfs = vv, cosines(count), want(count);
        if (count > 2) selfs[1] = 0.0f;
        if (count > 9) selfs[9] = std::numeric_limits<float>::quiet_NaN();
        for (float aa : {dots.empty() ? 1.0f : std::fabs(dots[0]), 0.0f}) {
          k->cosine_many(dots.data(), aa, selfs.data(), count, cosines.data());
          ref.cosine_many(dots.data(), aa, selfs.data(), count, want.data());
          for (size_t i = 0; i < count; ++i) EXPECT_EQ(Bits(cosines[i]), Bits(want[i])) << i;
        }
        // The kernels for a stream give the same bits.
        std::vector<float> dots_ahead(count), l2s_ahead(count), qv_ahead(count), vv_ahead(count);
        k->dot_many_ahead(q.data(), ptrs.data(), count, n, dots_ahead.data());
        k->l2_many_ahead(q.data(), ptrs.data(), count, n, l2s_ahead.data());
        k->dot_self_many_ahead(q.data(), ptrs.data(), count, n, qv_ahead.data(), vv_ahead.data());
        for (size_t i = 0; i < count; ++i) {
          EXPECT_EQ(Bits(dots_ahead[i]), Bits(dots[i]));
          EXPECT_EQ(Bits(l2s_ahead[i]), Bits(l2s[i]));
          EXPECT_EQ(Bits(qv_ahead[i]), Bits(qv[i]));
          EXPECT_EQ(Bits(vv_ahead[i]), Bits(vv[i]));
        }
        for (size_t i = 0; i < count; ++i) {
          EXPECT_EQ(Bits(dots[i]), Bits(ref.dot(q.data(), n, ptrs[i], n)));
          EXPECT_EQ(Bits(l2s[i]), Bits(ref.l2(q.data(), n, ptrs[i], n)));
          EXPECT_EQ(Bits(qv[i]), Bits(ref.dot(q.data(), n, ptrs[i], n)));
          EXPECT_EQ(Bits(vv[i]), Bits(ref.dot(ptrs[i], n, ptrs[i], n)));
        }
      }
    }
  }
}

// Components stored at every byte offset, as documents hold them, score
// the very bits of aligned ones: lengths the block kernels read in place
// and lengths they do not, more vectors than one chunk.
TEST(QuantTest, ScorerBatchOverStoredBytesMatchesAlignedVectors) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> uniform(-2.0f, 2.0f);
  for (size_t n : {24u, 20u, 384u}) {
    std::vector<std::vector<float>> vs(21, std::vector<float>(n));
    for (auto& v : vs) {
      for (auto& x : v) x = uniform(rng);
    }
    std::vector<std::string> stored;
    std::vector<const float*> ptrs;
    std::vector<const std::byte*> bytes;
    for (size_t i = 0; i < vs.size(); ++i) {
      stored.emplace_back(1 + i % 7 + n * sizeof(float), '\0');
      std::memcpy(stored.back().data() + 1 + i % 7, vs[i].data(), n * sizeof(float));
    }
    for (size_t i = 0; i < vs.size(); ++i) {
      ptrs.push_back(vs[i].data());
      bytes.push_back(reinterpret_cast<const std::byte*>(stored[i].data() + 1 + i % 7));
    }
    for (Metric metric : {Metric::kCosine, Metric::kDot, Metric::kL2}) {
      PreparedQuery q = prepare_query(nullptr, metric, Quantization::kNone, vs[0]);
      QueryScorer scorer(nullptr, metric, Quantization::kNone, q.ref());
      std::vector<float> want(vs.size()), got(vs.size());
      scorer.FloatBatch(ptrs.data(), ptrs.size(), want.data());
      scorer.FloatBatchStored(bytes.data(), bytes.size(), got.data());
      for (size_t i = 0; i < vs.size(); ++i) EXPECT_EQ(Bits(got[i]), Bits(want[i])) << n << " " << i;
    }
  }
}

TEST(QuantTest, ScorerBatchMatchesTheDistanceRule) {
  std::mt19937 rng(4);
  std::uniform_real_distribution<float> uniform(-2.0f, 2.0f);
  std::vector<std::vector<float>> vs(9, std::vector<float>(24));
  for (auto& v : vs) {
    for (auto& x : v) x = uniform(rng);
  }
  vs[3].assign(24, 0.0f);  // a zero vector under cosine
  std::vector<const float*> ptrs;
  for (auto& v : vs) ptrs.push_back(v.data());
  for (Metric metric : {Metric::kCosine, Metric::kDot, Metric::kL2}) {
    PreparedQuery q = prepare_query(nullptr, metric, Quantization::kNone, vs[0]);
    QueryScorer scorer(nullptr, metric, Quantization::kNone, q.ref());
    ASSERT_TRUE(scorer.float_batch());
    std::vector<float> out(vs.size());
    scorer.FloatBatch(ptrs.data(), ptrs.size(), out.data());
    // The graph's cached self products must give the very same bits.
    std::vector<float> selfs, cached(vs.size());
    for (auto& v : vs) selfs.push_back(dot_f32(v, v));
    scorer.FloatBatchWithSelf(ptrs.data(), selfs.data(), ptrs.size(), cached.data());
    // In two steps, self products given after the dot products.
    std::vector<float> stepped(vs.size());
    scorer.FloatDots(ptrs.data(), ptrs.size(), stepped.data());
    scorer.CosineFromDots(selfs.data(), ptrs.size(), stepped.data());
    // A node's own vector as the query, its self product given.
    QueryScorer known(nullptr, metric, Quantization::kNone, q.ref(), selfs[0]);
    std::vector<float> from_known(vs.size());
    known.FloatBatchWithSelf(ptrs.data(), selfs.data(), ptrs.size(), from_known.data());
    for (size_t i = 0; i < vs.size(); ++i) {
      EXPECT_EQ(Bits(out[i]), Bits(pq_code_distance(nullptr, metric, Quantization::kNone, q.ref(),
                                                     StoredVector::F32(vs[i]).ref())));
      EXPECT_EQ(Bits(out[i]), Bits(distance_by_metric(metric, vs[0], vs[i])));
      EXPECT_EQ(Bits(cached[i]), Bits(out[i]));
      EXPECT_EQ(Bits(stepped[i]), Bits(out[i]));
      EXPECT_EQ(Bits(from_known[i]), Bits(out[i]));
    }
  }
}

TEST(QuantTest, ScalarDecodeMultipliesThenAdds) {
  auto out = sq8_decode(0.5f, 0.25f, std::vector<uint8_t>{0, 1, 255});
  EXPECT_EQ(out, (std::vector<float>{0.5f, 0.75f, 64.25f}));
}

TEST(QuantTest, ShortScalarCodesDecodeToNothing) {
  StoredVector seven = StoredVector::Codes(std::vector<uint8_t>(7, 1));
  PreparedQuery query = prepare_query(nullptr, Metric::kL2, Quantization::kScalar, std::vector<float>{1});
  EXPECT_EQ(pq_code_distance(nullptr, Metric::kL2, Quantization::kScalar, query.ref(), seven.ref()), kInf);
  PreparedQuery empty = prepare_query(nullptr, Metric::kCosine, Quantization::kScalar, {});
  EXPECT_EQ(pq_code_distance(nullptr, Metric::kCosine, Quantization::kScalar, empty.ref(), seven.ref()), 1.0f);
  EXPECT_EQ(pq_code_distance(nullptr, Metric::kL2, Quantization::kScalar, empty.ref(), seven.ref()), 0.0f);
  EXPECT_TRUE(query_from_stored(Quantization::kScalar, seven.ref()).floats.empty());
}

TEST(QuantTest, ScalarDistanceComparesTheRawQueryWithDecodedCodes) {
  std::vector<float> v = {0.1f, -3.0f, 2.5f, 7.0f}, q = {1, 2, 3, 4};
  StoredVector stored = quantize_vector(Quantization::kScalar, v);
  std::vector<float> decoded = sq8_decode(ReadF32Le(stored.codes, 0), ReadF32Le(stored.codes, 4), Tail(stored.codes, 8));
  for (Metric metric : {Metric::kCosine, Metric::kDot, Metric::kL2}) {
    PreparedQuery prepared = prepare_query(nullptr, metric, Quantization::kScalar, q);
    EXPECT_EQ(prepared.kind, QueryKind::kRaw);
    EXPECT_EQ(Bits(pq_code_distance(nullptr, metric, Quantization::kScalar, prepared.ref(), stored.ref())),
              Bits(distance_by_metric(metric, q, decoded)));
  }
  // A query of another length never matches.
  PreparedQuery longer = prepare_query(nullptr, Metric::kL2, Quantization::kScalar, std::vector<float>(5, 1));
  EXPECT_EQ(pq_code_distance(nullptr, Metric::kL2, Quantization::kScalar, longer.ref(), stored.ref()), kInf);
}

TEST(QuantTest, BinaryDistanceIsHammingAndIgnoresTheMetric) {
  std::vector<float> a(20, 1.0f), b(20, 1.0f);
  b[0] = b[9] = b[19] = -1.0f;
  StoredVector stored = quantize_vector(Quantization::kBinary, b);
  for (Metric metric : {Metric::kCosine, Metric::kDot, Metric::kL2}) {
    PreparedQuery q = prepare_query(nullptr, metric, Quantization::kBinary, a);
    ASSERT_EQ(q.kind, QueryKind::kBits);
    EXPECT_EQ(pq_code_distance(nullptr, metric, Quantization::kBinary, q.ref(), stored.ref()), 3.0f);
  }
  PreparedQuery shorter = prepare_query(nullptr, Metric::kL2, Quantization::kBinary, std::vector<float>(8, 1));
  EXPECT_EQ(pq_code_distance(nullptr, Metric::kL2, Quantization::kBinary, shorter.ref(), stored.ref()), kInf);
  PreparedQuery empty = prepare_query(nullptr, Metric::kL2, Quantization::kBinary, {});
  StoredVector no_bits = StoredVector::Codes({});
  EXPECT_EQ(Bits(pq_code_distance(nullptr, Metric::kL2, Quantization::kBinary, empty.ref(), no_bits.ref())), Bits(0.0f));
}

TEST(QuantTest, MismatchedKindsAreInfinitelyFar) {
  std::vector<float> v = {1, 2, 3};
  StoredVector f32 = StoredVector::F32(v), codes = StoredVector::Codes({1, 2, 3});
  PreparedQuery raw = prepare_query(nullptr, Metric::kL2, Quantization::kNone, v);
  PreparedQuery bits = prepare_query(nullptr, Metric::kL2, Quantization::kBinary, v);
  EXPECT_EQ(pq_code_distance(nullptr, Metric::kL2, Quantization::kNone, raw.ref(), f32.ref()), 0.0f);
  EXPECT_EQ(pq_code_distance(nullptr, Metric::kL2, Quantization::kNone, raw.ref(), codes.ref()), kInf);
  EXPECT_EQ(pq_code_distance(nullptr, Metric::kL2, Quantization::kNone, bits.ref(), f32.ref()), kInf);
  EXPECT_EQ(pq_code_distance(nullptr, Metric::kL2, Quantization::kBinary, raw.ref(), codes.ref()), kInf);
  EXPECT_EQ(pq_code_distance(nullptr, Metric::kL2, Quantization::kScalar, raw.ref(), f32.ref()), kInf);
  EXPECT_EQ(pq_code_distance(nullptr, Metric::kL2, Quantization::kNone, raw.ref(), StoredVector::F32({1, 2}).ref()),
            distance_by_metric(Metric::kL2, v, std::vector<float>{1, 2}));
}

PqCodebook TinyCodebook() {
  // m 2, k 3, subspace_dim 2: table 0 centroids (0,0) (1,0) (0,2); table 1
  // centroids (5,5) (6,5) (5,7).
  PqCodebook cb;
  cb.m = 2;
  cb.k = 3;
  cb.subspace_dim = 2;
  cb.dim = 4;
  cb.centroids = {0, 0, 1, 0, 0, 2, 5, 5, 6, 5, 5, 7};
  return cb;
}

TEST(QuantTest, PreparedQueryVariants) {
  PqCodebook cb = TinyCodebook();
  std::vector<float> q = {1, 1, 5, 5};
  PreparedQuery table = prepare_query(&cb, Metric::kL2, Quantization::kNone, q);
  EXPECT_EQ(table.kind, QueryKind::kPqTable);
  EXPECT_EQ(table.floats, (std::vector<float>{2, 1, 2, 0, 1, 4}));
  PreparedQuery fallback = prepare_query(&cb, Metric::kL2, Quantization::kNone, std::vector<float>{1, 1});
  EXPECT_EQ(fallback.kind, QueryKind::kPqRaw);
  EXPECT_EQ(fallback.floats, (std::vector<float>{1, 1}));
  EXPECT_EQ(prepare_query(&cb, Metric::kCosine, Quantization::kBinary, q).kind, QueryKind::kPqRaw);
  EXPECT_EQ(prepare_query(nullptr, Metric::kL2, Quantization::kBinary, q).kind, QueryKind::kBits);
  EXPECT_EQ(prepare_query(nullptr, Metric::kL2, Quantization::kScalar, q).kind, QueryKind::kRaw);
  EXPECT_EQ(prepare_query(nullptr, Metric::kL2, Quantization::kNone, q).floats, q);
}

TEST(QuantTest, ProductCodesByTableAndByDecoding) {
  PqCodebook cb = TinyCodebook();
  std::vector<float> q = {1, 1, 5, 5};
  StoredVector codes = StoredVector::Codes({2, 1});  // decodes to (0, 2, 6, 5)
  PreparedQuery table = prepare_query(&cb, Metric::kL2, Quantization::kNone, q);
  EXPECT_EQ(pq_code_distance(&cb, Metric::kL2, Quantization::kNone, table.ref(), codes.ref()), 2.0f + 1.0f);
  PreparedQuery raw = prepare_query(&cb, Metric::kDot, Quantization::kNone, q);
  EXPECT_EQ(pq_code_distance(&cb, Metric::kDot, Quantization::kNone, raw.ref(), codes.ref()), -(0 + 2 + 30 + 25.0f));
  // Without the codebook, or against float nodes, product queries never match.
  EXPECT_EQ(pq_code_distance(nullptr, Metric::kL2, Quantization::kNone, table.ref(), codes.ref()), kInf);
  EXPECT_EQ(pq_code_distance(nullptr, Metric::kDot, Quantization::kNone, raw.ref(), codes.ref()), kInf);
  EXPECT_EQ(pq_code_distance(&cb, Metric::kL2, Quantization::kNone, table.ref(), StoredVector::F32(q).ref()), kInf);
  // A plain query against a product-quantized index never matches either.
  PreparedQuery plain = prepare_query(nullptr, Metric::kL2, Quantization::kNone, q);
  EXPECT_EQ(pq_code_distance(&cb, Metric::kL2, Quantization::kNone, plain.ref(), codes.ref()), kInf);
}

TEST(QuantTest, DamagedProductCodesRankLast) {
  PqCodebook cb = TinyCodebook();
  std::vector<float> q = {1, 1, 5, 5};
  PreparedQuery table = prepare_query(&cb, Metric::kL2, Quantization::kNone, q);
  PreparedQuery raw = prepare_query(&cb, Metric::kCosine, Quantization::kNone, q);
  for (const std::vector<uint8_t>& damaged :
       {std::vector<uint8_t>{0, 3}, std::vector<uint8_t>{255, 0}, std::vector<uint8_t>{0},
        std::vector<uint8_t>{0, 0, 0}, std::vector<uint8_t>{}}) {
    StoredVector stored = StoredVector::Codes(damaged);
    EXPECT_EQ(pq_code_distance(&cb, Metric::kL2, Quantization::kNone, table.ref(), stored.ref()), kInf);
    EXPECT_EQ(pq_code_distance(&cb, Metric::kCosine, Quantization::kNone, raw.ref(), stored.ref()), kInf);
  }
  // A table of the wrong size (built for another codebook) is not read.
  PreparedQuery foreign;
  foreign.kind = QueryKind::kPqTable;
  foreign.floats = {1, 2};
  EXPECT_EQ(pq_code_distance(&cb, Metric::kL2, Quantization::kNone, foreign.ref(), StoredVector::Codes({2, 2}).ref()),
            kInf);
}

TEST(QuantTest, InconsistentCodebooksAreNeverRead) {
  PqCodebook cb = TinyCodebook();
  cb.centroids.pop_back();  // one value short of m * k * subspace_dim
  std::vector<float> q = {1, 1, 5, 5};
  EXPECT_FALSE(cb.valid());
  EXPECT_FALSE(pq_distance_table(cb, q).has_value());
  EXPECT_EQ(pq_encode(cb, q), (std::vector<uint8_t>{0, 0}));
  EXPECT_FALSE(pq_decode(cb, std::vector<uint8_t>{2, 2}).has_value());
  PreparedQuery raw = prepare_query(&cb, Metric::kCosine, Quantization::kNone, q);
  EXPECT_EQ(pq_code_distance(&cb, Metric::kCosine, Quantization::kNone, raw.ref(), StoredVector::Codes({2, 2}).ref()),
            kInf);
  PqCodebook wrong_dim = TinyCodebook();
  wrong_dim.dim = 5;
  EXPECT_FALSE(wrong_dim.valid());
}

TEST(QuantTest, QueryFromStoredForms) {
  StoredVector bits = StoredVector::Codes({0xAB, 0x01});
  PreparedQuery q = query_from_stored(Quantization::kBinary, bits.ref());
  EXPECT_EQ(q.kind, QueryKind::kBits);
  EXPECT_EQ(q.bits, bits.codes);
  StoredVector scalar = quantize_vector(Quantization::kScalar, std::vector<float>{0, 127.5f, 255});
  PreparedQuery s = query_from_stored(Quantization::kScalar, scalar.ref());
  EXPECT_EQ(s.kind, QueryKind::kRaw);
  EXPECT_EQ(s.floats, (std::vector<float>{0, 128, 255}));
  PreparedQuery f = query_from_stored(Quantization::kNone, StoredVector::F32({1, 2}).ref());
  EXPECT_EQ(f.kind, QueryKind::kRaw);
  EXPECT_EQ(f.floats, (std::vector<float>{1, 2}));
}

TEST(QuantTest, QuantCodeDistanceReadsProductTagsByTheirBit) {
  std::vector<float> v = {1, 2};
  PreparedQuery pq_raw;
  pq_raw.kind = QueryKind::kPqRaw;
  pq_raw.floats = {1, 3};
  EXPECT_EQ(quant_code_distance(Quantization::kNone, Metric::kL2, pq_raw.ref(), StoredVector::F32(v).ref()), 1.0f);
  PreparedQuery pq_table;
  pq_table.kind = QueryKind::kPqTable;
  pq_table.floats = {1, 2, 3};
  EXPECT_EQ(quant_code_distance(Quantization::kBinary, Metric::kL2, pq_table.ref(), StoredVector::Codes({1}).ref()),
            kInf);
}

TEST(QuantTest, StoredBytesParseOrFailAsInvalidDump) {
  EXPECT_EQ(*parse_metric_byte(0), Metric::kCosine);
  EXPECT_EQ(*parse_metric_byte(2), Metric::kL2);
  auto bad_metric = parse_metric_byte(3);
  ASSERT_FALSE(bad_metric.has_value());
  EXPECT_EQ(bad_metric.error().kind(), ErrorKind::kInvalidDump);
  EXPECT_EQ(bad_metric.error().detail(), "bad metric");
  EXPECT_EQ(*parse_quant_byte(2), Quantization::kScalar);
  auto bad_quant = parse_quant_byte(255);
  ASSERT_FALSE(bad_quant.has_value());
  EXPECT_EQ(bad_quant.error().kind(), ErrorKind::kInvalidDump);
  EXPECT_EQ(bad_quant.error().detail(), "bad quant");
}

TEST(QuantTest, Names) {
  EXPECT_EQ(MetricName(Metric::kL2), "l2");
  EXPECT_EQ(QuantizationName(Quantization::kScalar), "scalar");
}

}  // namespace
}  // namespace pallix
