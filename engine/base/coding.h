// Fixed-width integer byte orders: the one place stored integers are turned
// into bytes and back. Keys that must sort numerically use big-endian forms
// (collection ids in record keys, expiry instants, lengths inside keys);
// values use little-endian forms. Every stored layout names which it uses.
//
// The Decode functions read exactly 4 or 8 bytes at p; callers check the
// length first. Thread-safety: pure functions.

#ifndef PALLIX_BASE_CODING_H_
#define PALLIX_BASE_CODING_H_

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

namespace pallix {

namespace coding_internal {
template <typename T>
inline T ToLittle(T v) {
  if constexpr (std::endian::native == std::endian::little) return v;
  return std::byteswap(v);
}
template <typename T>
inline T ToBig(T v) {
  if constexpr (std::endian::native == std::endian::big) return v;
  return std::byteswap(v);
}
}  // namespace coding_internal

inline void EncodeFixed32LE(char* p, uint32_t v) {
  v = coding_internal::ToLittle(v);
  std::memcpy(p, &v, 4);
}
inline void EncodeFixed64LE(char* p, uint64_t v) {
  v = coding_internal::ToLittle(v);
  std::memcpy(p, &v, 8);
}
inline void EncodeFixed32BE(char* p, uint32_t v) {
  v = coding_internal::ToBig(v);
  std::memcpy(p, &v, 4);
}
inline void EncodeFixed64BE(char* p, uint64_t v) {
  v = coding_internal::ToBig(v);
  std::memcpy(p, &v, 8);
}

inline uint32_t DecodeFixed32LE(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return coding_internal::ToLittle(v);
}
inline uint64_t DecodeFixed64LE(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return coding_internal::ToLittle(v);
}
inline uint32_t DecodeFixed32BE(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return coding_internal::ToBig(v);
}
inline uint64_t DecodeFixed64BE(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return coding_internal::ToBig(v);
}

// Appending forms, for building keys and values piece by piece.
inline void PutFixed32LE(std::string* dst, uint32_t v) {
  char b[4];
  EncodeFixed32LE(b, v);
  dst->append(b, 4);
}
inline void PutFixed64LE(std::string* dst, uint64_t v) {
  char b[8];
  EncodeFixed64LE(b, v);
  dst->append(b, 8);
}
inline void PutFixed32BE(std::string* dst, uint32_t v) {
  char b[4];
  EncodeFixed32BE(b, v);
  dst->append(b, 4);
}
inline void PutFixed64BE(std::string* dst, uint64_t v) {
  char b[8];
  EncodeFixed64BE(b, v);
  dst->append(b, 8);
}

// Little-endian float32, as vectors and quantization headers store them.
inline void EncodeFloat32LE(char* p, float x) { EncodeFixed32LE(p, std::bit_cast<uint32_t>(x)); }
inline float DecodeFloat32LE(const char* p) { return std::bit_cast<float>(DecodeFixed32LE(p)); }

}  // namespace pallix

#endif  // PALLIX_BASE_CODING_H_
