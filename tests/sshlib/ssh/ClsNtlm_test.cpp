// The NTLM builder against the worked examples of the NTLM protocol document (user "User",
// domain "Domain", password "Password", server challenge 0123456789abcdef, client challenge
// aaaaaaaaaaaaaaaa, time 0): the TYPE3 message is decoded and its fields compared.
#include <gtest/gtest.h>

#include "sshlib/core/ContentCoding.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/ssh/ClsNtlm.h"
#include "tests/support/SshTestSupport.h"

namespace {

TEST(ClsNtlm, ResponsesMatchTheDocumentsExamples) {
  const std::string t2 = "TlRMTVNTUAACAAAAAAAAAAAAAAABA",
                    av = "02000c0044006f006d00610069006e00"
                         "01000c00530065007200760065007200"
                         "00000000",
                    v1 = "67c43011f30298a2ad35ece64f16331c44bdbed927841f94";
  const struct {
    std::string challenge, lm, nt; // challenge: the CHALLENGE message in Base64
  } cases[] = {
      {t2 + "gAAASNFZ4mrze8AAAAAAAAAAAAAAAAwAAAA", v1, v1}, // NTLMv1: NT response twice
      {t2 + "ggAASNFZ4mrze8AAAAAAAAAAAAAAAAwAAAA", "aaaaaaaaaaaaaaaa" + std::string(32, '0'),
       "7537f803ae367128ca458204bde7caf81e97ed2683267232"}, // with client challenge
      {t2 + "ogAASNFZ4mrze8AAAAAAAAAACQAJAAwAAAAAgAMAEQAbwBtAGEAaQBuAAEADABTAGUAcgB2AGUAcgAAAAAA",
       "86c35097ac9cec102554764a57cccc19aaaaaaaaaaaaaaaa", // NTLMv2 with the target information
       "68cd0ab851e51c96aabc927bebef6a1c0101000000000000" + std::string(16, '0') +
           std::string(16, 'a') + "00000000" + av + "00000000"},
  };
  for (auto &c : cases) {
    ClsNtlm n;
    XString v[4];
    const char *text[4] = {"User", "Domain", "Password", "COMPUTER"};
    void (ClsNtlm::*put[4])(XString &) = {&ClsNtlm::put_UserName, &ClsNtlm::put_Domain,
                                          &ClsNtlm::put_Password, &ClsNtlm::put_Workstation};
    for (int i = 0; i < 4; ++i) {
      v[i].setFromUtf8(text[i]);
      (n.*put[i])(v[i]);
    }
    n.setClientChallenge((const unsigned char *)"\xaa\xaa\xaa\xaa\xaa\xaa\xaa\xaa");
    n.setTimestamp(0);
    StringBuffer t1, t3, hex;
    testsupport::CaptureLog log;
    ASSERT_TRUE(n.genType1(t1, log) && n.genType3(c.challenge.c_str(), t3, log)) << log.text;
    DataBuffer m, f;
    ContentCoding().decodeBase64ToDb(t3.getString(), t3.getSize(), m);
    ASSERT_GE(m.getSize(), 64u);
    for (unsigned int at = 12; at <= 44; at += 8) { // LM, NT, domain, user, workstation
      const unsigned char *p = m.getData2() + at;
      f.append(m.getData2() + (p[4] | p[5] << 8), p[0] | p[1] << 8);
      f.appendChar('.');
    }
    f.toHexString(hex);
    hex.toLowerCase();
    EXPECT_EQ(hex.getString(), c.lm + "2e" + c.nt +
                                   "2e44006f006d00610069006e002e55007300650072002e43004f004d00"
                                   "50005500540045005200" +
                                   "2e");
  }
}

} // namespace
