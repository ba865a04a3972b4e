// The cipher engine, hashes and HMAC: published known answers, chunked runs against one-shot
// runs, and the openssl command as an independent oracle.
#include "sshlib/core/LogNull.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/crypto/ClsCrypt.h"
#include "sshlib/crypto/Hashes.h"
#include "tests/support/CryptoTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>

namespace {

using namespace testsupport;

struct CipherCase {
  const char *alg;
  int bits;
  bool discard;
  // The openssl enc name for the cross-check (empty: libgcrypt, which has Twofish; null: none).
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
  // algorithm, key bits, RC4 discard, key, plain text, cipher text; IV zero, so one CBC block
  // is the block cipher itself.
  const char *kats[] = {
      // FIPS-197 appendix C.1 and C.3; NIST SP 800-67 example (first block).
      "aes 128 0 000102030405060708090a0b0c0d0e0f 00112233445566778899aabbccddeeff "
      "69c4e0d86a7b0430d8cdb78070b4c55a",
      "aes 256 0 000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f "
      "00112233445566778899aabbccddeeff 8ea2b7ca516745bfeafc49904b496089",
      "3des 192 0 0123456789abcdef23456789abcdef01456789abcdef0123 5468652071756663 "
      "a826fd8ce53b855f",
      // Schneier's Blowfish vectors; Twofish reference vectors (ecb_tbl, first entries).
      "blowfish2 64 0 0000000000000000 0000000000000000 4ef997456198dd78",
      "blowfish2 64 0 ffffffffffffffff ffffffffffffffff 51866fd5b85ecb8a",
      "twofish 128 0 00000000000000000000000000000000 00000000000000000000000000000000 "
      "9f589f5cf6122c32b6bfec2f2ae8c35a",
      "twofish 256 0 0123456789abcdeffedcba987654321000112233445566778899aabbccddeeff "
      "00000000000000000000000000000000 37527be0052334b89f0cfccae87cfa20",
      // RFC 6229: key stream at offsets 0 and 1536.
      "rc4 40 0 0102030405 00000000000000000000000000000000 b2396305f03dc027ccc3524a0a1118a8",
      "rc4 40 1 0102030405 00000000000000000000000000000000 d8729db41882259bee4f825325f5a130",
      "rc4 128 1 0102030405060708090a0b0c0d0e0f10 00000000000000000000000000000000 "
      "ffa0b514647ec04f6306b892ae661181",
      "none 0 0 00 0011 0011",
  };
  for (const char *kat : kats) {
    std::istringstream in(kat);
    std::string alg, keyHex, plainHex, cipherHex;
    int bits = 0, discard = 0;
    in >> alg >> bits >> discard >> keyHex >> plainHex >> cipherHex;
    DataBuffer key, iv, plain, out, back;
    hexTo(keyHex, key);
    hexTo(plainHex, plain);
    ClsCrypt c;
    configure(c, {alg.c_str(), bits, discard == 1, nullptr}, key, iv);
    ASSERT_TRUE(transform(c, true, true, false, plain, out)) << kat;
    EXPECT_EQ(hexOf(out), cipherHex) << kat;
    ASSERT_TRUE(transform(c, false, true, false, out, back));
    EXPECT_EQ(hexOf(back), plainHex) << kat;
  }
}

const CipherCase kSetups[] = {
    {"aes", 128, false, "aes-128-cbc"},   {"aes", 256, false, "aes-256-cbc"},
    {"3des", 192, false, "des-ede3-cbc"}, {"blowfish2", 128, false, "bf-cbc"},
    {"twofish", 256, false, ""},          {"twofish", 128, false, ""},
    {"rc4", 256, true, nullptr},          {"rc4", 128, false, "rc4"},
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

// Twofish-CBC with PKCS #7 padding by libgcrypt, for the cipher openssl does not have.
const char kGcryptTwofish[] = R"(import ctypes, sys
g = ctypes.CDLL("libgcrypt.so.20"); g.gcry_check_version(None)
k, iv, d = (bytes.fromhex(a) for a in sys.argv[1:4]); d += bytes([16 - len(d) % 16]) * (16 - len(d) % 16)
h = ctypes.c_void_p(); g.gcry_cipher_open(ctypes.byref(h), 10 if len(k) == 32 else 303, 3, 0)
g.gcry_cipher_setkey(h, k, len(k)); g.gcry_cipher_setiv(h, iv, 16)
o = ctypes.create_string_buffer(len(d)); g.gcry_cipher_encrypt(h, o, len(d), d, len(d)); print(o.raw.hex()))";

TEST(ClsCrypt, AgreesWithOpensslAndLibgcryptIncludingPadding) {
  TempDir dir;
  writeFile(dir.file("twofish.py"), kGcryptTwofish);
  std::mt19937 rng(61);
  for (const CipherCase &s : kSetups) {
    for (unsigned int len : {0u, 1u, 15u, 16u, 1000u}) {
      if (!s.openssl) continue;
      ClsCrypt c;
      DataBuffer key, iv, plain, ours, back;
      randomFill(rng, static_cast<unsigned int>(s.bits / 8), key);
      randomFill(rng, 16, iv);
      randomFill(rng, len, plain);
      configure(c, s, key, iv);
      c.put_PaddingScheme(0);
      ASSERT_TRUE(transform(c, true, true, true, plain, ours));
      const unsigned int bs = static_cast<unsigned int>(c.get_BlockSize());
      const std::string ivHex = hexOf(iv.getData2(), bs);
      const std::string cmd = *s.openssl
                                  ? std::string("openssl enc -") + s.openssl +
                                        " -provider legacy -provider default -nosalt -K " +
                                        hexOf(key) + (bs > 1 ? " -iv " + ivHex : "") + " -in " +
                                        dir.file("p") + " | od -An -v -tx1 | tr -d ' \\n'"
                                  : "/usr/bin/python3 " + dir.file("twofish.py") + " " +
                                        hexOf(key) + " " + ivHex + " '" + hexOf(plain) + "'";
      int rc = -1;
      std::string theirs = runOn(dir.file("p"), plain, cmd, &rc);
      ASSERT_EQ(rc, 0) << cmd;
      EXPECT_EQ(hexOf(ours), theirs.substr(0, theirs.find('\n'))) << s.alg << s.bits << " " << len;
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

} // namespace
