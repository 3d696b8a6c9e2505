// The float32 kernels behind vector/quant.h, exposed so that tests can hold
// every instruction-set variant to the portable reference bit for bit.
//
// Each kernel follows the block rule of vector/quant.h: blocks =
// min(la / 8, lb / 8) blocks of 8 components into two 4-lane accumulators,
// lanes summed 0..3 of the first then 0..3 of the second, then the paired
// tails added in order. The SSE2 variant keeps the two accumulators in two
// 4-lane registers; the AVX variant keeps both in the two halves of one
// 8-lane register, which is the same arithmetic; the AVX-512 variant keeps
// two vectors' accumulators in the halves of one 16-lane register. The
// dispatcher picks the widest the processor has at run time.
//
// Thread-safety: pure functions.

#ifndef PALLIX_VECTOR_QUANT_INTERNAL_H_
#define PALLIX_VECTOR_QUANT_INTERNAL_H_

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace pallix::quant_internal {

// Dot product and l2 sum of a[0 .. la) and b[0 .. lb).
using PairKernel = float (*)(const float* a, size_t la, const float* b, size_t lb);
// dot(q, v) and dot(v, v) of two vectors of the same length n in one pass;
// the same values the dot kernel gives for each.
using DotSelfKernel = void (*)(const float* q, const float* v, size_t n, float* qv, float* vv);

// The dot or l2 kernel of q against each of count vectors of q's length n,
// into out[0 .. count); independent vectors are interleaved so that their
// additions overlap, each still in its own order.
using ManyKernel = void (*)(const float* q, const float* const* vs, size_t count, size_t n, float* out);
// dot_self of q against each of count vectors: out_qv[i], out_vv[i].
using DotSelfManyKernel = void (*)(const float* q, const float* const* vs, size_t count, size_t n, float* out_qv,
                                   float* out_vv);

// out[i] = the cosine distance from the products ab[i] = dot(a, b_i),
// aa = dot(a, a) and bb[i] = dot(b_i, b_i), by the metric's rule (exactly
// 1 when a self product is 0); out may be ab.
using CosineManyKernel = void (*)(const float* ab, float aa, const float* bb, size_t n, float* out);

// The cosine distance from the products ab = dot(a, b), aa = dot(a, a) and
// bb = dot(b, b): exactly 1 when either self product is 0.
inline float CosineOf(float ab, float aa, float bb) {
  if (aa == 0.0f || bb == 0.0f) return 1.0f;
  return 1.0f - ab / (std::sqrt(aa) * std::sqrt(bb));
}

struct Kernels {
  const char* name;
  PairKernel dot;
  PairKernel l2;
  DotSelfKernel dot_self;
  ManyKernel dot_many;
  ManyKernel l2_many;
  DotSelfManyKernel dot_self_many;
  CosineManyKernel cosine_many;
  // dot_many, l2_many and dot_self_many again, with the same results, for
  // vectors read once from memory (a walk's rows): while they score some,
  // they ask for the lines of the ones they score next.
  ManyKernel dot_many_ahead;
  ManyKernel l2_many_ahead;
  DotSelfManyKernel dot_self_many_ahead;
  // Whether the kernels read every vector through unaligned block loads
  // and, for a length that is a multiple of 8, nothing else: they may then
  // read components where a document stores them, at any byte offset.
  bool unaligned_blocks;
};

// The portable lane-by-lane reference.
const Kernels& ReferenceKernels();
// The SSE2, AVX and AVX-512 variants; nullptr when not built for, or not
// supported by, this processor.
const Kernels* Sse2Kernels();
const Kernels* AvxKernels();
const Kernels* Avx512Kernels();
// The AVX-512 variant whose many-vector kernels score `vectors` (8 or 16)
// at a time; nullptr for another count or without AVX-512. Avx512Kernels
// is one of the two, by the processor; tests check both.
const Kernels* Avx512KernelsOfWidth(size_t vectors);
// The variant of that name ("reference", "sse2", "avx", "avx512");
// nullptr when there is none or the processor cannot run it.
const Kernels* KernelsNamed(std::string_view name);
// The variant in use: the widest the processor runs, unless the
// environment variable PALLIX_KERNELS, read once, names another it runs.
const Kernels& ActiveKernels();

// Number of differing bits of a[0 .. n) and b[0 .. n).
uint32_t HammingBytes(const uint8_t* a, const uint8_t* b, size_t n);

}  // namespace pallix::quant_internal

#endif  // PALLIX_VECTOR_QUANT_INTERNAL_H_
