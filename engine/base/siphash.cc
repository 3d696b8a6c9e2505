#include "base/siphash.h"

#include <atomic>

#include "base/coding.h"
#include "base/port.h"

namespace pallix {

namespace {

inline uint64_t Rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
  uint64_t v0, v1, v2, v3;
  void Round() {
    v0 += v1, v1 = Rotl(v1, 13), v1 ^= v0, v0 = Rotl(v0, 32);
    v2 += v3, v3 = Rotl(v3, 16), v3 ^= v2;
    v0 += v3, v3 = Rotl(v3, 21), v3 ^= v0;
    v2 += v1, v1 = Rotl(v1, 17), v1 ^= v2, v2 = Rotl(v2, 32);
  }
};

// The last 0..7 bytes, little-endian.
uint64_t LoadTail(const char* p, size_t n) {
  uint64_t m = 0;
  for (size_t i = 0; i < n; ++i) m |= static_cast<uint64_t>(static_cast<uint8_t>(p[i])) << (8 * i);
  return m;
}

std::atomic<uint64_t> next_hasher{0};

// SipHash-c-d: c rounds per 8-byte word, d rounds to finish.
template <int kC, int kD>
uint64_t SipHashCD(uint64_t k0, uint64_t k1, std::string_view bytes) {
  SipState s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
             k1 ^ 0x7465646279746573ULL};
  auto absorb = [&](uint64_t m) {
    s.v3 ^= m;
    for (int r = 0; r < kC; ++r) s.Round();
    s.v0 ^= m;
  };
  const char* p = bytes.data();
  const size_t n = bytes.size();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) absorb(DecodeFixed64LE(p + i));
  absorb((static_cast<uint64_t>(n) << 56) | LoadTail(p + i, n - i));
  s.v2 ^= 0xff;
  for (int r = 0; r < kD; ++r) s.Round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace

uint64_t SipHash13(uint64_t k0, uint64_t k1, std::string_view bytes) { return SipHashCD<1, 3>(k0, k1, bytes); }

uint64_t SipHash24(uint64_t k0, uint64_t k1, std::string_view bytes) { return SipHashCD<2, 4>(k0, k1, bytes); }

SeededHash::SeededHash() {
  static const port::RandomSeed base = port::DrawRandomSeed();
  k0_ = base.k0 + next_hasher.fetch_add(1, std::memory_order_relaxed);
  k1_ = base.k1;
}

}  // namespace pallix
