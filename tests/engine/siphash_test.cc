#include "base/siphash.h"

#include <gtest/gtest.h>

#include <string>

namespace pallix {
namespace {

// The reference vectors: key 00 01 .. 0f, message 00 01 .. (n-1) for n = 0
// to 63 (every tail length, up to seven whole words).
constexpr uint64_t kK0 = 0x0706050403020100ull, kK1 = 0x0f0e0d0c0b0a0908ull;

std::string Message(size_t n) {
  std::string m;
  for (size_t i = 0; i < n; ++i) m.push_back(static_cast<char>(i));
  return m;
}

TEST(SipHashTest, SipHash24ReferenceVectors) {
  const uint64_t kWant[64] = {
      0x726fdb47dd0e0e31ull, 0x74f839c593dc67fdull, 0x0d6c8009d9a94f5aull,
      0x85676696d7fb7e2dull, 0xcf2794e0277187b7ull, 0x18765564cd99a68dull,
      0xcbc9466e58fee3ceull, 0xab0200f58b01d137ull, 0x93f5f5799a932462ull,
      0x9e0082df0ba9e4b0ull, 0x7a5dbbc594ddb9f3ull, 0xf4b32f46226bada7ull,
      0x751e8fbc860ee5fbull, 0x14ea5627c0843d90ull, 0xf723ca908e7af2eeull,
      0xa129ca6149be45e5ull, 0x3f2acc7f57c29bdbull, 0x699ae9f52cbe4794ull,
      0x4bc1b3f0968dd39cull, 0xbb6dc91da77961bdull, 0xbed65cf21aa2ee98ull,
      0xd0f2cbb02e3b67c7ull, 0x93536795e3a33e88ull, 0xa80c038ccd5ccec8ull,
      0xb8ad50c6f649af94ull, 0xbce192de8a85b8eaull, 0x17d835b85bbb15f3ull,
      0x2f2e6163076bcfadull, 0xde4daaaca71dc9a5ull, 0xa6a2506687956571ull,
      0xad87a3535c49ef28ull, 0x32d892fad841c342ull, 0x7127512f72f27cceull,
      0xa7f32346f95978e3ull, 0x12e0b01abb051238ull, 0x15e034d40fa197aeull,
      0x314dffbe0815a3b4ull, 0x027990f029623981ull, 0xcadcd4e59ef40c4dull,
      0x9abfd8766a33735cull, 0x0e3ea96b5304a7d0ull, 0xad0c42d6fc585992ull,
      0x187306c89bc215a9ull, 0xd4a60abcf3792b95ull, 0xf935451de4f21df2ull,
      0xa9538f0419755787ull, 0xdb9acddff56ca510ull, 0xd06c98cd5c0975ebull,
      0xe612a3cb9ecba951ull, 0xc766e62cfcadaf96ull, 0xee64435a9752fe72ull,
      0xa192d576b245165aull, 0x0a8787bf8ecb74b2ull, 0x81b3e73d20b49b6full,
      0x7fa8220ba3b2eceaull, 0x245731c13ca42499ull, 0xb78dbfaf3a8d83bdull,
      0xea1ad565322a1a0bull, 0x60e61c23a3795013ull, 0x6606d7e446282b93ull,
      0x6ca4ecb15c5f91e1ull, 0x9f626da15c9625f3ull, 0xe51b38608ef25f57ull,
      0x958a324ceb064572ull,
  };
  for (size_t n = 0; n < 64; ++n) EXPECT_EQ(SipHash24(kK0, kK1, Message(n)), kWant[n]) << n;
  EXPECT_EQ(SipHash24(kK0, kK1, Message(15)), 0xa129ca6149be45e5ull);  // the paper's worked example
}

TEST(SipHashTest, SipHash13Vectors) {
  const uint64_t kWant[64] = {
      0xabac0158050fc4dcull, 0xc9f49bf37d57ca93ull, 0x82cb9b024dc7d44dull,
      0x8bf80ab8e7ddf7fbull, 0xcf75576088d38328ull, 0xdef9d52f49533b67ull,
      0xc50d2b50c59f22a7ull, 0xd3927d989bb11140ull, 0x369095118d299a8eull,
      0x25a48eb36c063de4ull, 0x79de85ee92ff097full, 0x70c118c1f94dc352ull,
      0x78a384b157b4d9a2ull, 0x306f760c1229ffa7ull, 0x605aa111c0f95d34ull,
      0xd320d86d2a519956ull, 0xcc4fdd1a7d908b66ull, 0x9cf2689063dbd80cull,
      0x8ffc389cb473e63eull, 0xf21f9de58d297d1cull, 0xc0dc2f46a6cce040ull,
      0xb992abfe2b45f844ull, 0x7ffe7b9ba320872eull, 0x525a0e7fdae6c123ull,
      0xf464aeb267349c8cull, 0x45cd5928705b0979ull, 0x3a3e35e3ca9913a5ull,
      0xa91dc74e4ade3b35ull, 0xfb0bed02ef6cd00dull, 0x88d93cb44ab1e1f4ull,
      0x540f11d643c5e663ull, 0x2370dd1f8c21d1bcull, 0x81157b6c16a7b60dull,
      0x4d54b9e57a8ff9bfull, 0x759f12781f2a753eull, 0xcea1a3bebf186b91ull,
      0x2cf508d3ada26206ull, 0xb6101c2da3c33057ull, 0xb3f47496ae3a36a1ull,
      0x626b57547b108392ull, 0xc1d2363299e41531ull, 0x667cc1923f1ad944ull,
      0x65704ffec8138825ull, 0x24f280d1c28949a6ull, 0xc2ca1cedfaf8876bull,
      0xc2164bfc9f042196ull, 0xa16e9c9368b1d623ull, 0x49fb169c8b5114fdull,
      0x9f3143f8df074c46ull, 0xc6fdaf2412cc86b3ull, 0x7eaf49d10a52098full,
      0x1cf313559d292f9aull, 0xc44a30dda2f41f12ull, 0x36fae98943a71ed0ull,
      0x318fb34c73f0bce6ull, 0xa27abf3670a7e980ull, 0xb4bcc0db243c6d75ull,
      0x23f8d852fdb71513ull, 0x8f035f4da67d8a08ull, 0xd89cd0e5b7e8f148ull,
      0xf6f4e6bcf7a644eeull, 0xaec59ad80f1837f2ull, 0xc3b2f6154b6694e0ull,
      0x9d199062b7bbb3a8ull,
  };
  for (size_t n = 0; n < 64; ++n) EXPECT_EQ(SipHash13(kK0, kK1, Message(n)), kWant[n]) << n;
}

}  // namespace
}  // namespace pallix
