#include "engine/md5.h"

#include <gtest/gtest.h>

namespace zelvo {
namespace {

TEST(Md5Digest, Rfc1321TestSuite) {
  EXPECT_EQ(MD5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(MD5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(MD5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(MD5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(MD5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(MD5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(MD5Hex("1234567890123456789012345678901234567890"
                   "1234567890123456789012345678901234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
}

// Lengths around the 56-byte padding limit and the 64-byte block, and a long input, where a wrong
// length field or a buffer carried between blocks shows.
TEST(Md5Digest, BlockAndPaddingBoundaries) {
  EXPECT_EQ(MD5Hex(std::string(55, 'a')), "ef1772b6dff9a122358552954ad0df65");
  EXPECT_EQ(MD5Hex(std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
  EXPECT_EQ(MD5Hex(std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
  EXPECT_EQ(MD5Hex(std::string(1000000, 'a')), "7707d6ae4e027c70eea2a935c2296f21");
  // Bytes above 0x7F (CP950 text) are hashed as unsigned bytes.
  EXPECT_EQ(MD5Hex("\xa4\xa4\xa4\xe5"), "cf44cae32b117ad696e85eb4aec6b43a");
}

TEST(Md5Digest, PiecewiseUpdatesEqualOneCall) {
  std::string text;
  for (int i = 0; i < 300; ++i)
    text.push_back(static_cast<char>(i * 7));
  for (std::size_t cut : {1u, 13u, 63u, 64u, 65u, 200u}) {
    Md5 md5;
    md5.Update(text.data(), cut);
    md5.Update(text.data() + cut, text.size() - cut);
    auto digest = md5.Final();
    std::string hex;
    char two[3];
    for (auto b : digest) {
      std::snprintf(two, sizeof two, "%02x", b);
      hex += two;
    }
    EXPECT_EQ(hex, MD5Hex(text)) << "cut at " << cut;
  }
}

} // namespace
} // namespace zelvo
