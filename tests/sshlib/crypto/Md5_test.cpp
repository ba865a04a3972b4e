// MD5 of the library (the hash map's buckets, NTLM): the RFC 1321 test suite, and agreement with
// OpenSSL's libcrypto on every length around the padding edges.
#include "sshlib/core/Md5.h"
#include "sshlib/core/StringBuffer.h"

#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

std::string hex(const unsigned char *d) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (int i = 0; i < 16; ++i) {
    s += digits[d[i] >> 4];
    s += digits[d[i] & 15];
  }
  return s;
}

TEST(Md5Digest, Rfc1321Suite) {
  const std::pair<const char *, const char *> suite[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"}};
  Md5 md5;
  for (auto [text, digest] : suite) {
    StringBuffer sb(text);
    unsigned char out[16];
    md5.digestString(sb, out);
    EXPECT_EQ(hex(out), digest) << text;
  }
}

TEST(Md5Digest, AgreesWithLibcryptoOnRandomInput) {
  std::mt19937 rng(7);
  Md5 md5;
  // Every length around the 55/56/64-byte padding edges, then random lengths.
  for (unsigned int len = 0; len < 300; ++len) {
    std::string data(len, '\0');
    for (char &c : data)
      c = static_cast<char>(rng());
    StringBuffer sb(data.data(), static_cast<int>(len), 0);
    unsigned char a[16], b[16];
    md5.digestString(sb, a);
    unsigned int n = 0;
    ASSERT_EQ(EVP_Digest(data.data(), len, b, &n, EVP_md5(), nullptr), 1);
    EXPECT_EQ(hex(a), hex(b)) << len;
  }
}

} // namespace
