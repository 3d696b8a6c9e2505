// SHA-256, used by the store to give long keys a fixed-size, collision-
// resistant stored form.
//
// Thread-safety: pure function.

#ifndef PALLIX_BASE_SHA256_H_
#define PALLIX_BASE_SHA256_H_

#include <cstdint>
#include <string_view>

namespace pallix {

// Writes the 32-byte digest of data to out.
void Sha256(std::string_view data, uint8_t out[32]);

}  // namespace pallix

#endif  // PALLIX_BASE_SHA256_H_
