// SipHash-1-3, the keyed hash of the long-lived in-memory maps keyed by
// user bytes: a text index's term and document maps (text/fts.h), an HNSW
// graph's key map (vector/hnsw.h), and the key sets of scalar lookups
// (index/scalar_lookup.h). A fixed hash would let a crafted set of keys
// degrade such a map to a list; a per-map random key prevents that. The
// other hash maps (the registries' and schemas' name maps, and maps that
// live for one call over one query's rows) use std::hash.
//
// Thread-safety: pure functions; SeededHash objects are immutable after
// construction.

#ifndef PALLIX_BASE_SIPHASH_H_
#define PALLIX_BASE_SIPHASH_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace pallix {

// SipHash-1-3 of bytes under the 128-bit key (k0, k1).
uint64_t SipHash13(uint64_t k0, uint64_t k1, std::string_view bytes);
// SipHash-2-4, the reference variant: the same code with more rounds, so
// its published vectors check the words, the tail and the finish shared
// with SipHash-1-3.
uint64_t SipHash24(uint64_t k0, uint64_t k1, std::string_view bytes);

// A hasher for unordered maps with its own key: a process-wide random base
// drawn once from the system's random source, the first word advanced per
// hasher. Transparent, so maps keyed by std::string can be searched with a
// std::string_view. Nothing may depend on iteration order.
class SeededHash {
 public:
  using is_transparent = void;
  SeededHash();
  size_t operator()(std::string_view bytes) const noexcept {
    return static_cast<size_t>(SipHash13(k0_, k1_, bytes));
  }
  // Equal hashers hash alike (a copy equals its original; no two hashers
  // made apart do).
  bool operator==(const SeededHash&) const = default;

 private:
  uint64_t k0_;
  uint64_t k1_;
};

}  // namespace pallix

#endif  // PALLIX_BASE_SIPHASH_H_
