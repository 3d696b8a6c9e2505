#include "base/sha256.h"

#include <gtest/gtest.h>

#include <string>

namespace pallix {
namespace {

std::string Hex(std::string_view data) {
  uint8_t digest[32];
  Sha256(data, digest);
  static const char* kDigits = "0123456789abcdef";
  std::string out;
  for (uint8_t b : digest) out += {kDigits[b >> 4], kDigits[b & 15]};
  return out;
}

// The FIPS 180-2 examples: one block, two blocks (the padding spills into a
// second), and a million bytes.
TEST(Sha256Test, StandardVectors) {
  EXPECT_EQ(Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(Hex(std::string(1000000, 'a')), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  EXPECT_EQ(Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

}  // namespace
}  // namespace pallix
