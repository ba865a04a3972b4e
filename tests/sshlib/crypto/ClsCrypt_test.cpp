// The cipher engine, hashes and HMAC: published known answers, chunked runs against one-shot
// runs, and the openssl command as an independent oracle.
#include "sshlib/core/LogNull.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/crypto/ClsCrypt.h"
#include "sshlib/crypto/Hashes.h"
#include "sshlib/crypto/RazudodRand.h"
#include "tests/support/CryptoTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace {

using namespace testsupport;

struct CipherCase {
  const char *alg;
  int bits;
  bool discard;
  // The openssl enc name for the cross-check (empty: none; legacy ones need the legacy provider).
  const char *openssl;
};

void configure(ClsCrypt &c, const CipherCase &s, const DataBuffer &key, const DataBuffer &iv) {
  c.put_CryptAlgorithm(s.alg);
  c.put_KeyLength(s.bits);
  c.put_SecretKey(key);
  c.put_IV(iv);
  c.put_CipherMode(0);
  c.rc4Discard1536 = s.discard;
}

bool transform(ClsCrypt &c, bool enc, bool first, bool last, DataBuffer &in, DataBuffer &out) {
  LogNull log;
  c.put_FirstChunk(first);
  c.put_LastChunk(last);
  return enc ? c.encrypt(in, out, nullptr, log) : c.decrypt(in, out, log);
}

TEST(ClsCrypt, KnownAnswers) {
  struct Kat {
    CipherCase s;
    const char *key, *iv, *plain, *cipher;
  } kats[] = {
      // FIPS-197 appendix C.1 and C.3 (one block: CBC from a zero IV is the block cipher).
      {{"aes", 128, false, ""},
       "000102030405060708090a0b0c0d0e0f",
       "",
       "00112233445566778899aabbccddeeff",
       "69c4e0d86a7b0430d8cdb78070b4c55a"},
      {{"aes", 256, false, ""},
       "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
       "",
       "00112233445566778899aabbccddeeff",
       "8ea2b7ca516745bfeafc49904b496089"},
      // NIST SP 800-67 example (first block).
      {{"3des", 192, false, ""},
       "0123456789abcdef23456789abcdef01456789abcdef0123",
       "",
       "5468652071756663",
       "a826fd8ce53b855f"},
      // Schneier's Blowfish vectors.
      {{"blowfish2", 64, false, ""},
       "0000000000000000",
       "",
       "0000000000000000",
       "4ef997456198dd78"},
      {{"blowfish2", 64, false, ""},
       "ffffffffffffffff",
       "",
       "ffffffffffffffff",
       "51866fd5b85ecb8a"},
      // Twofish reference vectors (ecb_tbl, first entries).
      {{"twofish", 128, false, ""},
       "00000000000000000000000000000000",
       "",
       "00000000000000000000000000000000",
       "9f589f5cf6122c32b6bfec2f2ae8c35a"},
      {{"twofish", 256, false, ""},
       "0123456789abcdeffedcba987654321000112233445566778899aabbccddeeff",
       "",
       "00000000000000000000000000000000",
       "37527be0052334b89f0cfccae87cfa20"},
      // RFC 6229: key stream at offsets 0 and 1536.
      {{"rc4", 40, false, ""},
       "0102030405",
       "",
       "00000000000000000000000000000000",
       "b2396305f03dc027ccc3524a0a1118a8"},
      {{"rc4", 40, true, ""},
       "0102030405",
       "",
       "00000000000000000000000000000000",
       "d8729db41882259bee4f825325f5a130"},
      {{"rc4", 128, true, ""},
       "0102030405060708090a0b0c0d0e0f10",
       "",
       "00000000000000000000000000000000",
       "ffa0b514647ec04f6306b892ae661181"},
      {{"none", 0, false, ""}, "", "", "0011", "0011"},
  };
  for (const Kat &k : kats) {
    DataBuffer key, iv, plain, expect, out, back;
    hexTo(k.key, key);
    hexTo(k.iv, iv);
    hexTo(k.plain, plain);
    ClsCrypt c;
    configure(c, k.s, key, iv);
    ASSERT_TRUE(transform(c, true, true, false, plain, out)) << k.s.alg << k.s.bits;
    EXPECT_EQ(hexOf(out), k.cipher) << k.s.alg << k.s.bits;
    ASSERT_TRUE(transform(c, false, true, false, out, back));
    EXPECT_EQ(hexOf(back), k.plain) << k.s.alg << k.s.bits;
  }
}

const CipherCase kSetups[] = {
    {"aes", 128, false, "aes-128-cbc"},
    {"aes", 256, false, "aes-256-cbc"},
    {"3des", 192, false, "des-ede3-cbc"},
    {"blowfish2", 128, false, "bf-cbc"},
    {"twofish", 256, false, ""},
    {"twofish", 128, false, ""},
    {"rc4", 256, true, ""},
    {"rc4", 128, false, "rc4"},
};

TEST(ClsCrypt, ChunksSplitAtRandomBlockBoundariesEqualOneShot) {
  std::mt19937 rng(16);
  for (const CipherCase &s : kSetups) {
    DataBuffer key, iv, plain, whole;
    randomFill(rng, 32, key);
    randomFill(rng, 16, iv);
    ClsCrypt one, parts, back;
    configure(one, s, key, iv);
    configure(parts, s, key, iv);
    configure(back, s, key, iv);
    const unsigned int bs = static_cast<unsigned int>(one.get_BlockSize());
    randomFill(rng, bs * 97, plain);
    ASSERT_TRUE(transform(one, true, true, false, plain, whole));
    ASSERT_EQ(whole.getSize(), plain.getSize());
    // The same stream cut into chunks of random whole-block sizes, twice over: the second run
    // must restart from the IV because FirstChunk is set again.
    for (int run = 0; run < 2; ++run) {
      DataBuffer enc, dec;
      for (unsigned int at = 0, i = 0; at < plain.getSize(); ++i) {
        const unsigned int n =
            std::min(plain.getSize() - at, bs * static_cast<unsigned int>(rng() % 9));
        DataBuffer piece, cpiece;
        piece.append(plain.getData2() + at, n);
        ASSERT_TRUE(transform(parts, true, i == 0, false, piece, enc));
        cpiece.append(whole.getData2() + at, n);
        ASSERT_TRUE(transform(back, false, i == 0, false, cpiece, dec));
        at += n;
      }
      EXPECT_EQ(hexOf(enc), hexOf(whole)) << s.alg << s.bits;
      EXPECT_EQ(hexOf(dec), hexOf(plain)) << s.alg << s.bits;
    }
  }
}

TEST(ClsCrypt, AgreesWithOpensslIncludingPadding) {
  TempDir dir;
  std::mt19937 rng(61);
  for (const CipherCase &s : kSetups) {
    if (!*s.openssl) continue;
    for (unsigned int len : {0u, 1u, 15u, 16u, 1000u}) {
      ClsCrypt c;
      DataBuffer key, iv, plain, ours, back;
      randomFill(rng, static_cast<unsigned int>(s.bits / 8), key);
      randomFill(rng, 16, iv);
      randomFill(rng, len, plain);
      configure(c, s, key, iv);
      c.put_PaddingScheme(0);
      ASSERT_TRUE(transform(c, true, true, true, plain, ours));
      const int bs = c.get_BlockSize();
      std::string cmd =
          std::string("openssl enc -") + s.openssl +
          " -provider legacy -provider default -nosalt -K " + hexOf(key) +
          (bs > 1 ? " -iv " + hexOf(iv.getData2(), static_cast<unsigned int>(bs)) : std::string()) +
          " -in " + dir.file("p");
      int rc = -1;
      const std::string theirs = runOn(dir.file("p"), plain, cmd, &rc);
      ASSERT_EQ(rc, 0) << cmd;
      EXPECT_TRUE(bytesOf(ours) == theirs) << s.alg << s.bits << " len " << len;
      ASSERT_TRUE(transform(c, false, true, true, ours, back));
      EXPECT_EQ(hexOf(back), hexOf(plain));
    }
  }
}

TEST(ClsCrypt, RefusesWhatItCannotDo) {
  DataBuffer key, iv, in, out;
  hexTo("000102030405060708090a0b0c0d0e0f", key);
  ClsCrypt c;
  configure(c, {"aes", 128, false, ""}, key, iv);
  in.appendCharN(1, 15);
  EXPECT_FALSE(transform(c, true, true, false, in, out)) << "partial block in a middle chunk";
  EXPECT_EQ(out.getSize(), 0u);
  // A last chunk whose padding does not check out is refused, not half-returned.
  in.appendChar(0);
  ASSERT_TRUE(transform(c, true, true, false, in, out));
  EXPECT_FALSE(transform(c, false, true, true, out, in));
  c.put_CryptAlgorithm("rot13");
  EXPECT_EQ(c.get_BlockSize(), 0);
  EXPECT_FALSE(transform(c, true, true, true, in, out));
  c.put_CryptAlgorithm("aes");
  c.put_KeyLength(100);
  EXPECT_FALSE(transform(c, true, true, true, in, out));
}

TEST(Hashes, KnownAnswers) {
  struct Kat {
    const char *hash, *key, *data, *digest;
  } kats[] = {
      // FIPS 180 and RFC 1321 (no key: a plain digest).
      {"sha1", nullptr, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"sha256", nullptr, "abc",
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"md5", nullptr, "message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      // RFC 2202 test cases 1 and 2.
      {"sha1", "0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b", "Hi There",
       "b617318655057264e28bc0b6fb378c8ef146be00"},
      {"sha1", "4a656665", "what do ya want for nothing?",
       "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
      {"md5", "0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b", "Hi There", "9294727a3638bb1c13f48ef8158bfc9d"},
      {"md5", "4a656665", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738"},
  };
  ClsCrypt c;
  for (const Kat &k : kats) {
    DataBuffer data, out;
    data.append(k.data, static_cast<unsigned int>(std::strlen(k.data)));
    if (!k.key) {
      const int id = _ckHash::hashId(k.hash);
      ASSERT_TRUE(_ckHash::doHash(data.getData2(), data.getSize(), id, out));
      EXPECT_EQ(hexOf(out), k.digest) << k.hash;
      continue;
    }
    DataBuffer key;
    hexTo(k.key, key);
    c.put_HashAlgorithm(k.hash);
    ASSERT_TRUE(c.SetHmacKeyBytes(key));
    // Twice: the prepared key is reused for the next message.
    for (int i = 0; i < 2; ++i) {
      out.appendChar('x');
      ASSERT_TRUE(c.HmacBytes(data, out));
      EXPECT_EQ(hexOf(out), k.digest) << k.hash << " " << k.data;
    }
  }
  DataBuffer abc, d1, d2;
  abc.append("abc", 3);
  Sha1::sha1_db(abc, d1);
  Sha2::calcSha256(abc, d2);
  EXPECT_EQ(hexOf(d1), kats[0].digest);
  EXPECT_EQ(hexOf(d2), kats[1].digest);
  EXPECT_EQ(_ckHash::hashId("SHA-1"), 1);
  EXPECT_EQ(_ckHash::hashId("whirlpool"), 0);
}

TEST(RazudodRand, AppendsFreshBytes) {
  DataBuffer a, b;
  a.appendChar(7);
  ASSERT_TRUE(RazudodRand::randomBytes(32, a));
  ASSERT_TRUE(RazudodRand::randomBytes(32, b));
  EXPECT_EQ(a.getSize(), 33u);
  EXPECT_EQ(a.getData2()[0], 7);
  EXPECT_NE(hexOf(a).substr(2), hexOf(b));
}

} // namespace
