// The server's host key and its signature over the exchange hash, with keys made by ssh-keygen:
// the small readers of the blobs, the key parsers and both signature checks, whole and cut short.
#include <gtest/gtest.h>

#include <string>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/crypto/ClsSshKey.h"
#include "sshlib/crypto/Dsa.h"
#include "sshlib/crypto/Hashes.h"
#include "sshlib/crypto/PkKeys.h"
#include "sshlib/crypto/RazudodBignum.h"
#include "sshlib/crypto/Rsa2.h"
#include "sshlib/ssh/SshTransport.h"
#include "tests/support/SshPeers.h"
#include "tests/support/SshTestSupport.h"

using namespace testsupport;

namespace {

std::string sshString(const std::string &s) {
  DataBuffer d;
  SshTransport::pack_binString((const unsigned char *)s.data(), (unsigned int)s.size(), d);
  return std::string((const char *)d.getData2(), d.getSize());
}

void setBytes(DataBuffer &d, const std::string &s) {
  d.clear();
  d.append(s.data(), (unsigned int)s.size());
}

std::string str(const DataBuffer &d) {
  return std::string((const char *)d.getData2(), d.getSize());
}

// The bits of what a reader returned (-1 for none), and how many bytes it took.
struct Read {
  int bits, used;
};
Read readWith(unsigned int *(*reader)(const unsigned char **, unsigned int *),
              const std::string &in) {
  const unsigned char *p = (const unsigned char *)in.data();
  unsigned int left = (unsigned int)in.size();
  unsigned int *bn = reader(&p, &left);
  Read r{bn ? RazudodBignum::bitcount(bn) : -1, (int)(in.size() - left)};
  RazudodBignum::freebn(bn);
  return r;
}

TEST(HostKeyReaders, TakeNumbersAndRefuseWhatIsMissingOrNegative) {
  const struct {
    const char *name;
    unsigned int *(*reader)(const unsigned char **, unsigned int *);
    std::string in;
    Read want;
  } cases[] = {
      {"rsa, positive",
       SshTransport::rsa_getmp,
       sshString(std::string("\x01\x00", 2)) + "x",
       {9, 6}},
      {"rsa, top bit set", SshTransport::rsa_getmp, sshString("\x80"), {8, 5}},
      {"rsa, empty string is zero", SshTransport::rsa_getmp, sshString(""), {0, 4}},
      {"rsa, cut short", SshTransport::rsa_getmp, sshString("abcd").substr(0, 6), {-1, 0}},
      {"dss, leading zero", SshTransport::dss_getmp, sshString(std::string("\x00\x80", 2)), {8, 6}},
      {"dss, negative", SshTransport::dss_getmp, sshString("\x80\x01"), {-1, 6}},
      {"dss, no length", SshTransport::dss_getmp, "\x00\x00", {-1, 0}},
      {"160 bits", SshTransport::get160, "\x80" + std::string(19, 'a') + "rest", {160, 20}},
      {"19 bytes", SshTransport::get160, std::string(19, 'a'), {-1, 0}},
  };
  for (const auto &c : cases) {
    const Read r = readWith(c.reader, c.in);
    EXPECT_EQ(r.bits, c.want.bits) << c.name;
    if (r.bits >= 0) {
      EXPECT_EQ(r.used, c.want.used) << c.name;
    }
  }
}

// An exchange hash signed by a host key of each kind, checked as the transport checks it, in the
// forms a server may send and cut short at each field.
class HostKeySignatures : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    data_ = new DataBuffer;
    setBytes(*data_, "exchange hash stand-in");
    DataBuffer hash;
    Sha1::sha1_db(*data_, hash);
    LogBase none;
    ClsSshKey dss;
    ASSERT_TRUE(dss.loadKeyFile(sshHostKey("dsa").c_str(), none));
    dsa_key dk;
    DataBuffer rs;
    ASSERT_TRUE(dss.toDsaKey(dk, none) && dss.getPublicKeyBlob(dssBlob_, none));
    ASSERT_TRUE(Dsa::sign_hash_for_ssh(hash.getData2(), hash.getSize(), dk, rs, none));
    dssRs_ = str(rs);
    ClsSshKey rsa;
    ASSERT_TRUE(rsa.loadKeyFile(sshHostKey("rsa", 2048).c_str(), none));
    rsa_key rk;
    DataBuffer sig;
    ASSERT_TRUE(rsa.toRsaKey(rk, none) && rsa.getPublicKeyBlob(rsaBlob_, none));
    ASSERT_TRUE(Rsa2::padAndSignHash(hash.getData2(), hash.getSize(), 1, _ckHash::hashId("sha1"), 0,
                                     rk, 1, false, sig, none));
    rsaSig_ = str(sig);
  }
  static void TearDownTestSuite() { delete data_; }

  // The key blob parsed and the signature checked over the data: the outcome, with the log.
  static bool dssCheck(const std::string &sig, CaptureLog &log) {
    dsa_key key;
    return SshTransport::parseDssKey(dssBlob_, key, log, true) &&
           SshTransport::dssVerifySig(key, (const unsigned char *)sig.data(),
                                      (unsigned int)sig.size(), data_->getData2(), data_->getSize(),
                                      log, true);
  }
  static bool rsaCheck(const std::string &sig, CaptureLog &log) {
    rsa_key key;
    return SshTransport::parseRsaKey(rsaBlob_, key, log) &&
           SshTransport::rsaVerifySig(key, (const unsigned char *)sig.data(),
                                      (unsigned int)sig.size(), data_->getData2(), data_->getSize(),
                                      log);
  }

  static DataBuffer *data_;
  static DataBuffer dssBlob_, rsaBlob_;
  static std::string dssRs_, rsaSig_;
};
DataBuffer *HostKeySignatures::data_;
DataBuffer HostKeySignatures::dssBlob_, HostKeySignatures::rsaBlob_;
std::string HostKeySignatures::dssRs_, HostKeySignatures::rsaSig_;

// DSS in its full and its bare form (r and s alone), RSA with each of its fail codes, and both
// cut short at each field.
TEST_F(HostKeySignatures, WholeBareAndCutSignatures) {
  const std::string dssFull = sshString("ssh-dss") + sshString(dssRs_);
  const std::string rsaFull = sshString("ssh-rsa") + sshString(rsaSig_);
  std::string flipped = dssRs_;
  flipped[39] ^= 1;
  const struct {
    bool dss;
    const char *name;
    std::string sig;
    bool valid;
    const char *line;
  } cases[] = {
      {true, "full", dssFull, true, "dsaSigValid: 1"},
      {true, "bare r and s", dssRs_, true, "dsaSigValid: 1"},
      {true, "changed s", flipped, false, "dsaSigValid: 0"},
      {true, "s cut short", dssFull.substr(0, dssFull.size() - 1), false, "ERROR: Failed to get s"},
      {true, "r cut short", dssFull.substr(0, 11 + 4 + 19), false, "ERROR: Failed to get r"},
      {true, "no length field", sshString("ssh-dss"), false, "ERROR: Failed to get r"},
      {true, "other name", sshString("ssh-rsa") + sshString(dssRs_), false,
       "ERROR: Expected ssh-dss"},
      {false, "whole", rsaFull, true, "HostKeyNumBits: 2048"},
      {false, "no name", std::string("\x00\x00", 2), false, "HostKeyFailCode: 10"},
      {false, "name of another length", sshString("rsa") + sshString(rsaSig_), false,
       "HostKeyFailCode: 11"},
      {false, "dss name", sshString("ssh-dss") + sshString(rsaSig_), false, "HostKeyFailCode: 12"},
      {false, "signature missing", sshString("ssh-rsa"), false, "HostKeyFailCode: 2"},
  };
  for (const auto &c : cases) {
    CaptureLog log;
    EXPECT_EQ(c.dss ? dssCheck(c.sig, log) : rsaCheck(c.sig, log), c.valid) << c.name << "\n"
                                                                            << log.text;
    EXPECT_TRUE(log.has(c.line)) << c.name << "\n" << log.text;
    EXPECT_TRUE(!c.dss || log.has("qNumBits: 160")) << c.name;
  }
}

TEST_F(HostKeySignatures, KeyBlobsWithAComponentMissingOrNegative) {
  // The DSS blob: type, p, q, g, y. A p string that reads as negative, and a blob without y.
  const std::string dss = str(dssBlob_);
  unsigned int idx = 0, pLen = 0;
  DataBuffer type;
  LogBase none;
  ASSERT_TRUE(SshTransport::parseBinaryString(dssBlob_, idx, type, none));
  ASSERT_TRUE(SshTransport::parseUint32(dssBlob_, idx, pLen));
  const std::string negativeP =
      dss.substr(0, idx) + "\x80" + dss.substr(idx + 1); // the p string's leading byte
  const std::string rsa = str(rsaBlob_);
  const struct {
    const char *name;
    bool dssKey;
    std::string blob;
    bool ok;
    const char *line;
  } cases[] = {
      {"dss whole", true, dss, true, "pNumBits:"},
      {"dss negative p", true, negativeP, false, "ERROR: Failed to get DSS key component values."},
      {"dss without y", true, dss.substr(0, dss.size() - 10), false, "yNumBits: 0"},
      {"dss empty", true, "", false, "ERROR: DSS key is 0-length"},
      {"rsa whole", false, rsa, true, ""},
      {"rsa without n", false, rsa.substr(0, rsa.size() - 10), false, ""},
  };
  for (const auto &c : cases) {
    CaptureLog log;
    DataBuffer blob;
    setBytes(blob, c.blob);
    dsa_key dk;
    rsa_key rk;
    const bool ok = c.dssKey ? SshTransport::parseDssKey(blob, dk, log, true)
                             : SshTransport::parseRsaKey(blob, rk, log);
    EXPECT_EQ(ok, c.ok) << c.name << "\n" << log.text;
    EXPECT_TRUE(log.has(c.line)) << c.name << "\n" << log.text;
    if (!c.dssKey && ok) {
      EXPECT_EQ(rk.get_ModulusBitLen(), 2048);
    }
  }
}

} // namespace
