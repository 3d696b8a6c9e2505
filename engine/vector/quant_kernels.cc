// The float32 kernels of vector/quant_internal.h: the portable reference
// and the SSE2, AVX and AVX-512 variants, and the dispatch between them.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "base/port.h"
#include "vector/quant_internal.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define PALLIX_X86_KERNELS 1
#endif

// ---------------------------------------------------------------------------
// Kernels. Every variant performs the same float operations in the same
// order; only the number of lanes per instruction differs.

namespace pallix::quant_internal {

namespace {

// Lanes 0..3 are the first accumulator, 4..7 the second.
inline float SumLanes(const float lanes[8]) {
  float sum = 0.0f;
  for (int i = 0; i < 8; ++i) sum += lanes[i];
  return sum;
}

inline size_t CommonBlocks(size_t la, size_t lb) { return (la < lb ? la : lb) / 8; }

// The paired tails: a from 8 * (la / 8), b from 8 * (lb / 8), as many pairs
// as the shorter tail holds.
template <bool kL2>
inline float AddTails(float sum, const float* a, size_t la, const float* b, size_t lb) {
  size_t ta = la / 8 * 8, tb = lb / 8 * 8;
  size_t pairs = (la - ta) < (lb - tb) ? la - ta : lb - tb;
  for (size_t i = 0; i < pairs; ++i) {
    if constexpr (kL2) {
      float d = a[ta + i] - b[tb + i];
      sum += d * d;
    } else {
      sum += a[ta + i] * b[tb + i];
    }
  }
  return sum;
}

template <bool kL2>
float ReferencePair(const float* a, size_t la, const float* b, size_t lb) {
  float lanes[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  size_t blocks = CommonBlocks(la, lb);
  for (size_t blk = 0; blk < blocks; ++blk) {
    for (int i = 0; i < 8; ++i) {
      if constexpr (kL2) {
        float d = a[blk * 8 + i] - b[blk * 8 + i];
        lanes[i] += d * d;
      } else {
        lanes[i] += a[blk * 8 + i] * b[blk * 8 + i];
      }
    }
  }
  return AddTails<kL2>(SumLanes(lanes), a, la, b, lb);
}

void ReferenceDotSelf(const float* q, const float* v, size_t n, float* qv, float* vv) {
  *qv = ReferencePair<false>(q, n, v, n);
  *vv = ReferencePair<false>(v, n, v, n);
}

void CosineManyBySingles(const float* ab, float aa, const float* bb, size_t n, float* out) {
  for (size_t i = 0; i < n; ++i) out[i] = CosineOf(ab[i], aa, bb[i]);
}

// The "ahead" kernels score vectors read once from memory (a walk's rows)
// and ask for the lines of the vectors they score next while they score
// the ones before, whose loads would otherwise wait when their turn came.
// At component off (a multiple of 8) of the group at work, AheadLines asks
// for the line at component off of each vector ahead, every other block:
// the asks spread over the group's work. Asked all at once, a group's
// lines fill the processor's queue of loads, and the work waits behind
// them: on a walk of 60,000 rows of 384 components, spread asks took 10%
// less CPU than the same asks made a group before. The lines are asked
// into the second-level cache (port::PrefetchLineToL2): on AMD Zen 4 the
// same walk took another 12% less CPU on one thread, 8% on six. AheadTail
// asks for the lines past the group's blocks (a vector that starts inside
// a line ends in one more). Only hints: nothing is read, the results are
// the same.
[[gnu::always_inline]] inline void AheadLines(const float* const* ahead, size_t aheads, size_t off) {
  if (off % 16 != 0) return;
  for (size_t k = 0; k < aheads; ++k) port::PrefetchLineToL2(ahead[k] + off);
}

[[gnu::always_inline]] inline void AheadTail(const float* const* ahead, size_t aheads, size_t from, size_t n) {
  if (n == 0) return;
  for (size_t k = 0; k < aheads; ++k) {
    for (size_t off = (from + 15) / 16 * 16; off < n; off += 16) port::PrefetchLineToL2(ahead[k] + off);
    port::PrefetchLineToL2(reinterpret_cast<const char*>(ahead[k] + n) - 1);
  }
}

// One vector at a time; kAhead: the one after next asked for before each.
template <PairKernel kPair, bool kAhead = false>
void ManyBySingles(const float* q, const float* const* vs, size_t count, size_t n, float* out) {
  for (size_t i = 0; i < count; ++i) {
    if (kAhead && i + 2 < count) AheadTail(vs + i + 2, 1, 0, n);
    out[i] = kPair(q, n, vs[i], n);
  }
}

template <DotSelfKernel kDotSelf, bool kAhead = false>
void DotSelfManyBySingles(const float* q, const float* const* vs, size_t count, size_t n, float* out_qv,
                          float* out_vv) {
  for (size_t i = 0; i < count; ++i) {
    if (kAhead && i + 2 < count) AheadTail(vs + i + 2, 1, 0, n);
    kDotSelf(q, vs[i], n, &out_qv[i], &out_vv[i]);
  }
}

#ifdef PALLIX_X86_KERNELS

template <bool kL2>
float Sse2Pair(const float* a, size_t la, const float* b, size_t lb) {
  __m128 acc0 = _mm_setzero_ps(), acc1 = _mm_setzero_ps();
  size_t blocks = CommonBlocks(la, lb);
  for (size_t blk = 0; blk < blocks; ++blk) {
    __m128 a0 = _mm_loadu_ps(a + blk * 8), a1 = _mm_loadu_ps(a + blk * 8 + 4);
    __m128 b0 = _mm_loadu_ps(b + blk * 8), b1 = _mm_loadu_ps(b + blk * 8 + 4);
    if constexpr (kL2) {
      __m128 d0 = _mm_sub_ps(a0, b0), d1 = _mm_sub_ps(a1, b1);
      acc0 = _mm_add_ps(acc0, _mm_mul_ps(d0, d0));
      acc1 = _mm_add_ps(acc1, _mm_mul_ps(d1, d1));
    } else {
      acc0 = _mm_add_ps(acc0, _mm_mul_ps(a0, b0));
      acc1 = _mm_add_ps(acc1, _mm_mul_ps(a1, b1));
    }
  }
  float lanes[8];
  _mm_storeu_ps(lanes, acc0);
  _mm_storeu_ps(lanes + 4, acc1);
  return AddTails<kL2>(SumLanes(lanes), a, la, b, lb);
}

void Sse2DotSelf(const float* q, const float* v, size_t n, float* qv, float* vv) {
  __m128 x0 = _mm_setzero_ps(), x1 = _mm_setzero_ps();
  __m128 s0 = _mm_setzero_ps(), s1 = _mm_setzero_ps();
  size_t blocks = n / 8;
  for (size_t blk = 0; blk < blocks; ++blk) {
    __m128 q0 = _mm_loadu_ps(q + blk * 8), q1 = _mm_loadu_ps(q + blk * 8 + 4);
    __m128 v0 = _mm_loadu_ps(v + blk * 8), v1 = _mm_loadu_ps(v + blk * 8 + 4);
    x0 = _mm_add_ps(x0, _mm_mul_ps(q0, v0));
    x1 = _mm_add_ps(x1, _mm_mul_ps(q1, v1));
    s0 = _mm_add_ps(s0, _mm_mul_ps(v0, v0));
    s1 = _mm_add_ps(s1, _mm_mul_ps(v1, v1));
  }
  float lanes[8];
  _mm_storeu_ps(lanes, x0);
  _mm_storeu_ps(lanes + 4, x1);
  *qv = AddTails<false>(SumLanes(lanes), q, n, v, n);
  _mm_storeu_ps(lanes, s0);
  _mm_storeu_ps(lanes + 4, s1);
  *vv = AddTails<false>(SumLanes(lanes), v, n, v, n);
}

// The AVX functions are compiled for AVX only (no FMA: a fused multiply-add
// would round once instead of twice and change the result) and are called
// only after the processor reported AVX.
template <bool kL2>
__attribute__((target("avx"))) float AvxPair(const float* a, size_t la, const float* b, size_t lb) {
  __m256 acc = _mm256_setzero_ps();
  size_t blocks = CommonBlocks(la, lb);
  for (size_t blk = 0; blk < blocks; ++blk) {
    __m256 va = _mm256_loadu_ps(a + blk * 8), vb = _mm256_loadu_ps(b + blk * 8);
    if constexpr (kL2) {
      __m256 d = _mm256_sub_ps(va, vb);
      acc = _mm256_add_ps(acc, _mm256_mul_ps(d, d));
    } else {
      acc = _mm256_add_ps(acc, _mm256_mul_ps(va, vb));
    }
  }
  float lanes[8];
  _mm256_storeu_ps(lanes, acc);
  return AddTails<kL2>(SumLanes(lanes), a, la, b, lb);
}

__attribute__((target("avx"))) void AvxDotSelf(const float* q, const float* v, size_t n, float* qv, float* vv) {
  __m256 x = _mm256_setzero_ps(), s = _mm256_setzero_ps();
  size_t blocks = n / 8;
  for (size_t blk = 0; blk < blocks; ++blk) {
    __m256 vq = _mm256_loadu_ps(q + blk * 8), vv8 = _mm256_loadu_ps(v + blk * 8);
    x = _mm256_add_ps(x, _mm256_mul_ps(vq, vv8));
    s = _mm256_add_ps(s, _mm256_mul_ps(vv8, vv8));
  }
  float lanes[8];
  _mm256_storeu_ps(lanes, x);
  *qv = AddTails<false>(SumLanes(lanes), q, n, v, n);
  _mm256_storeu_ps(lanes, s);
  *vv = AddTails<false>(SumLanes(lanes), v, n, v, n);
}

// Eight vectors at a time against the same query: eight independent
// accumulators, each receiving its own vector's blocks in block order. One
// accumulator's adds wait on each other; eight chains side by side keep the
// adder busy where four left it waiting.
template <bool kL2>
__attribute__((target("avx"), always_inline)) inline __m256 AvxStep(__m256 acc, __m256 vq, const float* v) {
  __m256 x = _mm256_loadu_ps(v);
  if constexpr (kL2) {
    x = _mm256_sub_ps(vq, x);
    return _mm256_add_ps(acc, _mm256_mul_ps(x, x));
  } else {
    return _mm256_add_ps(acc, _mm256_mul_ps(vq, x));
  }
}

template <bool kL2, bool kAhead>
__attribute__((target("avx"))) void AvxEight(const float* q, const float* const* vs, size_t n, float* out,
                                             const float* const* ahead, size_t aheads) {
  const size_t blocks = n / 8;
  const float *v0 = vs[0], *v1 = vs[1], *v2 = vs[2], *v3 = vs[3];
  const float *v4 = vs[4], *v5 = vs[5], *v6 = vs[6], *v7 = vs[7];
  __m256 a0 = _mm256_setzero_ps(), a1 = _mm256_setzero_ps(), a2 = _mm256_setzero_ps(), a3 = _mm256_setzero_ps();
  __m256 a4 = _mm256_setzero_ps(), a5 = _mm256_setzero_ps(), a6 = _mm256_setzero_ps(), a7 = _mm256_setzero_ps();
  for (size_t off = 0; off < blocks * 8; off += 8) {
    if constexpr (kAhead) AheadLines(ahead, aheads, off);
    __m256 vq = _mm256_loadu_ps(q + off);
    a0 = AvxStep<kL2>(a0, vq, v0 + off);
    a1 = AvxStep<kL2>(a1, vq, v1 + off);
    a2 = AvxStep<kL2>(a2, vq, v2 + off);
    a3 = AvxStep<kL2>(a3, vq, v3 + off);
    a4 = AvxStep<kL2>(a4, vq, v4 + off);
    a5 = AvxStep<kL2>(a5, vq, v5 + off);
    a6 = AvxStep<kL2>(a6, vq, v6 + off);
    a7 = AvxStep<kL2>(a7, vq, v7 + off);
  }
  if constexpr (kAhead) AheadTail(ahead, aheads, blocks * 8, n);
  const __m256 acc[8] = {a0, a1, a2, a3, a4, a5, a6, a7};
  float lanes[8];
  for (size_t j = 0; j < 8; ++j) {
    _mm256_storeu_ps(lanes, acc[j]);
    out[j] = AddTails<kL2>(SumLanes(lanes), q, n, vs[j], n);
  }
}

// Eight vectors at a time while eight remain (AvxEight), then four: four
// independent accumulators, each receiving its own vector's blocks in block
// order. kAhead: each group asks for the next one's lines (AheadLines).
template <bool kL2, bool kAhead = false>
__attribute__((target("avx"))) void AvxMany(const float* q, const float* const* vs, size_t count, size_t n,
                                            float* out) {
  size_t blocks = n / 8, i = 0;
  for (; i + 8 <= count; i += 8)
    AvxEight<kL2, kAhead>(q, vs + i, n, out + i, vs + i + 8, std::min<size_t>(8, count - i - 8));
  for (; i + 4 <= count; i += 4) {
    const float *v0 = vs[i], *v1 = vs[i + 1], *v2 = vs[i + 2], *v3 = vs[i + 3];
    const float* const* ahead = vs + i + 4;
    const size_t aheads = std::min<size_t>(4, count - i - 4);
    __m256 a0 = _mm256_setzero_ps(), a1 = _mm256_setzero_ps(), a2 = _mm256_setzero_ps(), a3 = _mm256_setzero_ps();
    for (size_t blk = 0; blk < blocks; ++blk) {
      if constexpr (kAhead) AheadLines(ahead, aheads, blk * 8);
      __m256 vq = _mm256_loadu_ps(q + blk * 8);
      __m256 x0 = _mm256_loadu_ps(v0 + blk * 8), x1 = _mm256_loadu_ps(v1 + blk * 8);
      __m256 x2 = _mm256_loadu_ps(v2 + blk * 8), x3 = _mm256_loadu_ps(v3 + blk * 8);
      if constexpr (kL2) {
        x0 = _mm256_sub_ps(vq, x0);
        x1 = _mm256_sub_ps(vq, x1);
        x2 = _mm256_sub_ps(vq, x2);
        x3 = _mm256_sub_ps(vq, x3);
        a0 = _mm256_add_ps(a0, _mm256_mul_ps(x0, x0));
        a1 = _mm256_add_ps(a1, _mm256_mul_ps(x1, x1));
        a2 = _mm256_add_ps(a2, _mm256_mul_ps(x2, x2));
        a3 = _mm256_add_ps(a3, _mm256_mul_ps(x3, x3));
      } else {
        a0 = _mm256_add_ps(a0, _mm256_mul_ps(vq, x0));
        a1 = _mm256_add_ps(a1, _mm256_mul_ps(vq, x1));
        a2 = _mm256_add_ps(a2, _mm256_mul_ps(vq, x2));
        a3 = _mm256_add_ps(a3, _mm256_mul_ps(vq, x3));
      }
    }
    float lanes[8];
    _mm256_storeu_ps(lanes, a0);
    out[i] = AddTails<kL2>(SumLanes(lanes), q, n, v0, n);
    _mm256_storeu_ps(lanes, a1);
    out[i + 1] = AddTails<kL2>(SumLanes(lanes), q, n, v1, n);
    _mm256_storeu_ps(lanes, a2);
    out[i + 2] = AddTails<kL2>(SumLanes(lanes), q, n, v2, n);
    _mm256_storeu_ps(lanes, a3);
    out[i + 3] = AddTails<kL2>(SumLanes(lanes), q, n, v3, n);
    if constexpr (kAhead) AheadTail(ahead, aheads, blocks * 8, n);
  }
  // A remainder of two or three runs as a group of four whose missing
  // members repeat the last vector; the repeats' results are dropped.
  if (count - i >= 2) {
    const float* group[4] = {vs[i], vs[i + 1], vs[count - 1], vs[count - 1]};
    float results[4];
    AvxMany<kL2>(q, group, 4, n, results);
    for (size_t j = 0; i + j < count; ++j) out[i + j] = results[j];
    return;
  }
  for (; i < count; ++i) out[i] = AvxPair<kL2>(q, n, vs[i], n);
}

// Four vectors' dot and self products at once: eight independent chains.
template <bool kAhead>
__attribute__((target("avx"))) void AvxDotSelfFour(const float* q, const float* const* vs, size_t n, float* out_qv,
                                                   float* out_vv, const float* const* ahead, size_t aheads) {
  const size_t blocks = n / 8;
  const float *v0 = vs[0], *v1 = vs[1], *v2 = vs[2], *v3 = vs[3];
  __m256 x0 = _mm256_setzero_ps(), x1 = _mm256_setzero_ps(), x2 = _mm256_setzero_ps(), x3 = _mm256_setzero_ps();
  __m256 s0 = _mm256_setzero_ps(), s1 = _mm256_setzero_ps(), s2 = _mm256_setzero_ps(), s3 = _mm256_setzero_ps();
  for (size_t off = 0; off < blocks * 8; off += 8) {
    if constexpr (kAhead) AheadLines(ahead, aheads, off);
    __m256 vq = _mm256_loadu_ps(q + off);
    __m256 y0 = _mm256_loadu_ps(v0 + off), y1 = _mm256_loadu_ps(v1 + off);
    x0 = _mm256_add_ps(x0, _mm256_mul_ps(vq, y0));
    s0 = _mm256_add_ps(s0, _mm256_mul_ps(y0, y0));
    x1 = _mm256_add_ps(x1, _mm256_mul_ps(vq, y1));
    s1 = _mm256_add_ps(s1, _mm256_mul_ps(y1, y1));
    __m256 y2 = _mm256_loadu_ps(v2 + off), y3 = _mm256_loadu_ps(v3 + off);
    x2 = _mm256_add_ps(x2, _mm256_mul_ps(vq, y2));
    s2 = _mm256_add_ps(s2, _mm256_mul_ps(y2, y2));
    x3 = _mm256_add_ps(x3, _mm256_mul_ps(vq, y3));
    s3 = _mm256_add_ps(s3, _mm256_mul_ps(y3, y3));
  }
  if constexpr (kAhead) AheadTail(ahead, aheads, blocks * 8, n);
  const __m256 dots[4] = {x0, x1, x2, x3}, selfs[4] = {s0, s1, s2, s3};
  float lanes[8];
  for (size_t j = 0; j < 4; ++j) {
    _mm256_storeu_ps(lanes, dots[j]);
    out_qv[j] = AddTails<false>(SumLanes(lanes), q, n, vs[j], n);
    _mm256_storeu_ps(lanes, selfs[j]);
    out_vv[j] = AddTails<false>(SumLanes(lanes), vs[j], n, vs[j], n);
  }
}

template <bool kAhead = false>
__attribute__((target("avx"))) void AvxDotSelfMany(const float* q, const float* const* vs, size_t count, size_t n,
                                                   float* out_qv, float* out_vv) {
  size_t blocks = n / 8, i = 0;
  for (; i + 4 <= count; i += 4)
    AvxDotSelfFour<kAhead>(q, vs + i, n, out_qv + i, out_vv + i, vs + i + 4, std::min<size_t>(4, count - i - 4));
  for (; i + 2 <= count; i += 2) {
    const float *v0 = vs[i], *v1 = vs[i + 1];
    __m256 x0 = _mm256_setzero_ps(), x1 = _mm256_setzero_ps();
    __m256 s0 = _mm256_setzero_ps(), s1 = _mm256_setzero_ps();
    for (size_t blk = 0; blk < blocks; ++blk) {
      __m256 vq = _mm256_loadu_ps(q + blk * 8);
      __m256 y0 = _mm256_loadu_ps(v0 + blk * 8), y1 = _mm256_loadu_ps(v1 + blk * 8);
      x0 = _mm256_add_ps(x0, _mm256_mul_ps(vq, y0));
      x1 = _mm256_add_ps(x1, _mm256_mul_ps(vq, y1));
      s0 = _mm256_add_ps(s0, _mm256_mul_ps(y0, y0));
      s1 = _mm256_add_ps(s1, _mm256_mul_ps(y1, y1));
    }
    float lanes[8];
    _mm256_storeu_ps(lanes, x0);
    out_qv[i] = AddTails<false>(SumLanes(lanes), q, n, v0, n);
    _mm256_storeu_ps(lanes, s0);
    out_vv[i] = AddTails<false>(SumLanes(lanes), v0, n, v0, n);
    _mm256_storeu_ps(lanes, x1);
    out_qv[i + 1] = AddTails<false>(SumLanes(lanes), q, n, v1, n);
    _mm256_storeu_ps(lanes, s1);
    out_vv[i + 1] = AddTails<false>(SumLanes(lanes), v1, n, v1, n);
  }
  for (; i < count; ++i) AvxDotSelf(q, vs[i], n, &out_qv[i], &out_vv[i]);
}

// CosineOf eight at a time: the same correctly rounded square roots,
// product, quotient and difference, in the same order, so bitwise the same
// values.
__attribute__((target("avx"))) void AvxCosineMany(const float* ab, float aa, const float* bb, size_t n, float* out) {
  const float root_aa = std::sqrt(aa);
  const __m256 ra = _mm256_set1_ps(root_aa), one = _mm256_set1_ps(1.0f), zero = _mm256_setzero_ps();
  const bool aa_zero = aa == 0.0f;
  size_t i = 0;
  for (; !aa_zero && i + 8 <= n; i += 8) {
    __m256 b = _mm256_loadu_ps(bb + i);
    __m256 q = _mm256_div_ps(_mm256_loadu_ps(ab + i), _mm256_mul_ps(ra, _mm256_sqrt_ps(b)));
    __m256 d = _mm256_sub_ps(one, q);
    _mm256_storeu_ps(out + i, _mm256_blendv_ps(d, one, _mm256_cmp_ps(b, zero, _CMP_EQ_OQ)));
  }
  for (; i < n; ++i) out[i] = CosineOf(ab[i], aa, bb[i]);
}

// AVX-512: two vectors per 16-lane register, the low eight lanes one
// vector's accumulator and the high eight another's, so that each vector
// still receives its own blocks in block order by the same additions as
// in AvxPair. Compiled for AVX-512F only (its one-rounding multiply-add is
// not used) and called only after the processor reported it.
__attribute__((target("avx512f"), always_inline)) inline __m512 Avx512Join(__m256 lo, __m256 hi) {
  // The masked form with every lane taken: the plain one starts from an
  // undefined register, which GCC 12 reports as maybe uninitialised.
  const __m512d base = _mm512_castpd256_pd512(_mm256_castps_pd(lo));
  return _mm512_castpd_ps(_mm512_mask_insertf64x4(base, 0xFF, base, _mm256_castps_pd(hi), 1));
}

template <bool kL2>
__attribute__((target("avx512f"), always_inline)) inline __m512 Avx512Step(__m512 acc, __m512 vq, const float* a,
                                                                             const float* b) {
  __m512 x = Avx512Join(_mm256_loadu_ps(a), _mm256_loadu_ps(b));
  if constexpr (kL2) {
    x = _mm512_sub_ps(vq, x);
    return _mm512_add_ps(acc, _mm512_mul_ps(x, x));
  } else {
    return _mm512_add_ps(acc, _mm512_mul_ps(vq, x));
  }
}

// 2 * kPairs vectors in kPairs two-vector accumulators, side by side so
// that their additions overlap.
template <bool kL2, size_t kPairs>
__attribute__((target("avx512f"))) void Avx512Pairs(const float* q, const float* const* v, size_t n, float* out) {
  const size_t blocks = n / 8;
  // Unrolled, so that the accumulators live in registers.
  __m512 acc[kPairs];
#pragma GCC unroll 8
  for (size_t j = 0; j < kPairs; ++j) acc[j] = _mm512_setzero_ps();
  for (size_t off = 0; off < blocks * 8; off += 8) {
    const __m256 q8 = _mm256_loadu_ps(q + off);
    const __m512 vq = Avx512Join(q8, q8);
#pragma GCC unroll 8
    for (size_t j = 0; j < kPairs; ++j) acc[j] = Avx512Step<kL2>(acc[j], vq, v[2 * j] + off, v[2 * j + 1] + off);
  }
  float lanes[16];
  for (size_t j = 0; j < kPairs; ++j) {
    _mm512_storeu_ps(lanes, acc[j]);
    out[2 * j] = AddTails<kL2>(SumLanes(lanes), q, n, v[2 * j], n);
    out[2 * j + 1] = AddTails<kL2>(SumLanes(lanes + 8), q, n, v[2 * j + 1], n);
  }
}

// kWide vectors at a time (kWide / 2 pairs), then eight; a remainder of two
// or more as one group of pairs, an odd one out repeating the last vector
// (its repeat's result is dropped); a single one alone. Which width is
// faster depends on the core, not on the bits, which are the same.
// Sixteen at a time take sixteen pointers, more than the registers left
// beside the loop's own: the compiler parks them in vector registers and
// moves each back before its load, two more instructions per pair and
// block on the ports the multiplies and adds use. On a core with one
// 512-bit unit for both (Intel's client cores with AVX-512) those moves
// cost as much as the arithmetic, and eight at a time is faster; on
// Intel's server cores, with two such units, both widths measured alike.
// On AMD's Zen 4, which splits each 512-bit operation into two 256-bit
// halves, sixteen at a time built a 60,000-vector graph in less time: 4%
// (cosine, six alternated builds, five of them faster) and 2% (l2). A
// build waits mostly on its vectors' loads from memory, and sixteen of
// them start at once rather than eight. Avx512Kernels picks by the
// processor's maker.
template <bool kL2, size_t kWide>
__attribute__((target("avx512f"))) void Avx512Many(const float* q, const float* const* vs, size_t count, size_t n,
                                                  float* out) {
  size_t i = 0;
  if constexpr (kWide > 8) {
    for (; i + kWide <= count; i += kWide) Avx512Pairs<kL2, kWide / 2>(q, vs + i, n, out + i);
  }
  for (; i + 8 <= count; i += 8) Avx512Pairs<kL2, 4>(q, vs + i, n, out + i);
  const size_t rest = count - i;
  if (rest == 0) return;
  if (rest == 1) {
    out[i] = AvxPair<kL2>(q, n, vs[i], n);
    return;
  }
  const float* group[8];
  float results[8];
  for (size_t j = 0; j < 8; ++j) group[j] = vs[i + std::min(j, rest - 1)];
  switch ((rest + 1) / 2) {
    case 1: Avx512Pairs<kL2, 1>(q, group, n, results); break;
    case 2: Avx512Pairs<kL2, 2>(q, group, n, results); break;
    case 3: Avx512Pairs<kL2, 3>(q, group, n, results); break;
    default: Avx512Pairs<kL2, 4>(q, group, n, results); break;
  }
  for (size_t j = 0; j < rest; ++j) out[i + j] = results[j];
}

__attribute__((target("popcnt"))) uint32_t HammingPopcnt(const uint8_t* a, const uint8_t* b, size_t n) {
  uint64_t count = 0;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    count += static_cast<uint64_t>(__builtin_popcountll(x ^ y));
  }
  for (; i < n; ++i) count += static_cast<uint64_t>(__builtin_popcount(static_cast<unsigned>(a[i] ^ b[i])));
  return static_cast<uint32_t>(count);
}

#endif  // PALLIX_X86_KERNELS

uint32_t HammingPortable(const uint8_t* a, const uint8_t* b, size_t n) {
  uint64_t count = 0;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    count += static_cast<uint64_t>(__builtin_popcountll(x ^ y));
  }
  for (; i < n; ++i) count += static_cast<uint64_t>(__builtin_popcount(static_cast<unsigned>(a[i] ^ b[i])));
  return static_cast<uint32_t>(count);
}

const Kernels kReference = {"reference",
                            ReferencePair<false>,
                            ReferencePair<true>,
                            ReferenceDotSelf,
                            ManyBySingles<ReferencePair<false>>,
                            ManyBySingles<ReferencePair<true>>,
                            DotSelfManyBySingles<ReferenceDotSelf>,
                            CosineManyBySingles,
                            ManyBySingles<ReferencePair<false>, true>,
                            ManyBySingles<ReferencePair<true>, true>,
                            DotSelfManyBySingles<ReferenceDotSelf, true>,
                            false};
#ifdef PALLIX_X86_KERNELS
const Kernels kSse2 = {"sse2",
                       Sse2Pair<false>,
                       Sse2Pair<true>,
                       Sse2DotSelf,
                       ManyBySingles<Sse2Pair<false>>,
                       ManyBySingles<Sse2Pair<true>>,
                       DotSelfManyBySingles<Sse2DotSelf>,
                       CosineManyBySingles,
                       ManyBySingles<Sse2Pair<false>, true>,
                       ManyBySingles<Sse2Pair<true>, true>,
                       DotSelfManyBySingles<Sse2DotSelf, true>,
                       true};
const Kernels kAvx = {"avx",
                      AvxPair<false>,
                      AvxPair<true>,
                      AvxDotSelf,
                      AvxMany<false>,
                      AvxMany<true>,
                      AvxDotSelfMany<>,
                      AvxCosineMany,
                      AvxMany<false, true>,
                      AvxMany<true, true>,
                      AvxDotSelfMany<true>,
                      true};
// The AVX-512 tables, whose many-vector kernels score kWide vectors at a
// time, score a stream with the AVX ahead kernels: a walk's rows come from
// memory, whose pace the width does not change, and the bits are the same.
template <size_t kWide>
const Kernels kAvx512 = {"avx512",
                         AvxPair<false>,
                         AvxPair<true>,
                         AvxDotSelf,
                         Avx512Many<false, kWide>,
                         Avx512Many<true, kWide>,
                         AvxDotSelfMany<>,
                         AvxCosineMany,
                         AvxMany<false, true>,
                         AvxMany<true, true>,
                         AvxDotSelfMany<true>,
                         true};
#endif

using HammingFn = uint32_t (*)(const uint8_t*, const uint8_t*, size_t);

HammingFn PickHamming() {
#ifdef PALLIX_X86_KERNELS
  if (__builtin_cpu_supports("popcnt")) return HammingPopcnt;
#endif
  return HammingPortable;
}

}  // namespace

const Kernels& ReferenceKernels() { return kReference; }

const Kernels* Sse2Kernels() {
#ifdef PALLIX_X86_KERNELS
  return &kSse2;
#else
  return nullptr;
#endif
}

const Kernels* AvxKernels() {
#ifdef PALLIX_X86_KERNELS
  if (__builtin_cpu_supports("avx")) return &kAvx;
#endif
  return nullptr;
}

const Kernels* Avx512KernelsOfWidth(size_t vectors) {
#ifdef PALLIX_X86_KERNELS
  if (__builtin_cpu_supports("avx512f")) return vectors == 16 ? &kAvx512<16> : vectors == 8 ? &kAvx512<8> : nullptr;
#endif
  (void)vectors;
  return nullptr;
}

const Kernels* Avx512Kernels() {
#ifdef PALLIX_X86_KERNELS
  return Avx512KernelsOfWidth(__builtin_cpu_is("amd") ? 16 : 8);
#else
  return nullptr;
#endif
}

const Kernels* KernelsNamed(std::string_view name) {
  if (name == "reference") return &kReference;
  if (name == "sse2") return Sse2Kernels();
  if (name == "avx") return AvxKernels();
  if (name == "avx512") return Avx512Kernels();
  return nullptr;
}

const Kernels& ActiveKernels() {
  static const Kernels& active = [] () -> const Kernels& {
    // PALLIX_KERNELS caps the choice at a narrower variant, so that one
    // machine can measure what a processor without the wider one runs
    // (every variant gives the same bits, so only speed changes). A name
    // this processor cannot run, or none, leaves the widest it has.
    if (const char* forced = std::getenv("PALLIX_KERNELS")) {
      if (const Kernels* k = KernelsNamed(forced)) return *k;
    }
    if (const Kernels* avx512 = Avx512Kernels()) return *avx512;
    if (const Kernels* avx = AvxKernels()) return *avx;
    if (const Kernels* sse2 = Sse2Kernels()) return *sse2;
    return kReference;
  }();
  return active;
}

uint32_t HammingBytes(const uint8_t* a, const uint8_t* b, size_t n) {
  static const HammingFn fn = PickHamming();
  return fn(a, b, n);
}

}  // namespace pallix::quant_internal
