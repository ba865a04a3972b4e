// AES decryption against the openssl command as the encrypting peer: default settings, other key
// lengths and ECB, and the failures (refused pass phrase, partial blocks, wrong padding).
#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/Logger.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/crypto/AesCrypt.h"
#include "tests/sshlib/core/ExternalTool.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

std::string zeros(int bytes) {
  return std::string(static_cast<size_t>(bytes) * 2, '0');
}

std::string opensslEncrypt(const std::string &cipher, int keyBytes, const std::string &plain,
                           bool pad = true) {
  std::string cmd = "openssl enc -" + cipher + " -K " + zeros(keyBytes);
  if (cipher.find("ecb") == std::string::npos) cmd += " -iv " + zeros(16);
  if (!pad) cmd += " -nopad";
  int status = -1;
  std::string out = externaltool::filter(cmd, plain, &status);
  EXPECT_EQ(status, 0) << cmd;
  return out;
}

void fill(DataBuffer &db, const std::string &s) {
  db.clear();
  db.append(s.data(), static_cast<unsigned int>(s.size()));
}

std::string str(const DataBuffer &db) {
  return std::string(reinterpret_cast<const char *>(db.getData2()), db.getSize());
}

TEST(AesDecrypt, AgreesWithOpensslForEveryLengthAndMode) {
  std::mt19937 rng(4242);
  const size_t sizes[] = {0, 1, 15, 16, 17, 31, 32, 100, 4096};
  for (size_t n : sizes) {
    const std::string plain = externaltool::randomBytes(rng, n);
    struct Case {
      const char *cipher;
      int keyBits;
      int mode;
    } cases[] = {{"aes-128-cbc", 128, 0},
                 {"aes-192-cbc", 192, 0},
                 {"aes-256-cbc", 256, 0},
                 {"aes-128-ecb", 128, 1},
                 {"aes-256-ecb", 256, 1}};
    for (const Case &c : cases) {
      DataBuffer in;
      fill(in, opensslEncrypt(c.cipher, c.keyBits / 8, plain));
      AesCrypt aes;
      aes.m_keyLength = c.keyBits;
      aes.m_cipherMode = c.mode;
      DataBuffer out;
      ASSERT_TRUE(aes.decrypt(in, out)) << c.cipher << " " << n;
      EXPECT_EQ(str(out), plain) << c.cipher << " " << n;
    }
  }
  // An empty pass phrase keeps the default all-zero key.
  AesCrypt aes;
  aes.setPassPhrase("");
  aes.setPassPhrase(nullptr);
  DataBuffer in, out;
  fill(in, opensslEncrypt("aes-128-cbc", 16, "hello"));
  EXPECT_TRUE(aes.decrypt(in, out));
  EXPECT_EQ(str(out), "hello");
}

TEST(AesDecrypt, FailuresLeaveNothingBehind) {
  DataBuffer good;
  fill(good, opensslEncrypt("aes-128-cbc", 16, "secret text that spans three blocks"));

  AesCrypt phrase;
  phrase.setPassPhrase("password");
  Logger log;
  DataBuffer out;
  out.append("old", 3);
  EXPECT_FALSE(phrase.decrypt(good, out, log));
  EXPECT_EQ(out.getSize(), 0u);
  StringBuffer text;
  log.getText(text);
  EXPECT_NE(std::string(text.getString()).find("pass phrase"), std::string::npos);

  AesCrypt aes;
  DataBuffer partial;
  fill(partial, str(good).substr(0, 20));
  EXPECT_FALSE(aes.decrypt(partial, out));
  EXPECT_EQ(out.getSize(), 0u);

  // Data whose last block does not decrypt to PKCS #7 padding: bytes of 0 at the end, and a pad
  // length byte larger than a block.
  DataBuffer zeroPad;
  fill(zeroPad, opensslEncrypt("aes-128-cbc", 16, std::string(16, '\0'), false));
  EXPECT_FALSE(aes.decrypt(zeroPad, out));
  EXPECT_EQ(out.getSize(), 0u);
  DataBuffer bigPad;
  fill(bigPad, opensslEncrypt("aes-128-cbc", 16, std::string(32, '\x20'), false));
  EXPECT_FALSE(aes.decrypt(bigPad, out));
  DataBuffer mixed;
  fill(mixed, opensslEncrypt("aes-128-cbc", 16, std::string(14, 'a') + "\x01\x02", false));
  EXPECT_FALSE(aes.decrypt(mixed, out));

  AesCrypt odd;
  odd.m_keyLength = 100;
  EXPECT_FALSE(odd.decrypt(good, out));

  DataBuffer empty;
  EXPECT_TRUE(aes.decrypt(empty, out));
  EXPECT_EQ(out.getSize(), 0u);
}

} // namespace
