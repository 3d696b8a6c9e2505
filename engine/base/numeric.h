// Float helpers shared by every module that ranks or prints numbers.
//
// Total ordering: the engine orders floats by the IEEE total order, except
// that every NaN, whatever its sign bit, sorts after +infinity (x86-64
// arithmetic produces NaNs with the sign bit set, which the raw total order
// would put first). -0.0 sorts before +0.0; all NaNs tie with each other.
//
// Formatting: the shortest decimal that reads back to the same value, in
// positional notation (never an exponent), integral values without a
// fraction, "NaN" and "inf"/"-inf" for the specials.
//
// Thread-safety: pure functions.

#ifndef PALLIX_BASE_NUMERIC_H_
#define PALLIX_BASE_NUMERIC_H_

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>

namespace pallix {

// Maps a double to a signed integer whose order is the engine's total order.
inline int64_t TotalOrderKey(double x) {
  if (std::isnan(x)) return INT64_MAX;
  int64_t k = std::bit_cast<int64_t>(x);
  k ^= static_cast<int64_t>(static_cast<uint64_t>(k >> 63) >> 1);
  return k;
}

inline int32_t TotalOrderKey(float x) {
  if (std::isnan(x)) return INT32_MAX;
  int32_t k = std::bit_cast<int32_t>(x);
  k ^= static_cast<int32_t>(static_cast<uint32_t>(k >> 31) >> 1);
  return k;
}

// -1, 0 or 1.
inline int TotalCompare(double a, double b) {
  int64_t ka = TotalOrderKey(a), kb = TotalOrderKey(b);
  return (ka > kb) - (ka < kb);
}
inline int TotalCompare(float a, float b) {
  int32_t ka = TotalOrderKey(a), kb = TotalOrderKey(b);
  return (ka > kb) - (ka < kb);
}
inline bool TotalLess(double a, double b) { return TotalOrderKey(a) < TotalOrderKey(b); }
inline bool TotalLess(float a, float b) { return TotalOrderKey(a) < TotalOrderKey(b); }

// Shortest round-tripping positional decimal of a 64-bit float.
std::string FormatFloat(double x);
// The same for a 32-bit float (shortest that reads back as that float32).
std::string FormatFloat32(float x);

}  // namespace pallix

#endif  // PALLIX_BASE_NUMERIC_H_
