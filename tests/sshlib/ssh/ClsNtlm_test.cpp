// The NTLM builder against the worked examples of the NTLM protocol document (user "User",
// domain "Domain", password "Password", server challenge 0123456789abcdef, client challenge
// aaaaaaaaaaaaaaaa, time 0): the TYPE3 message is decoded and its fields compared.
#include <gtest/gtest.h>

#include "sshlib/core/ContentCoding.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/ssh/ClsNtlm.h"
#include "tests/support/SshTestSupport.h"

namespace {

// A CHALLENGE message (Base64) with the flags and target information, or its bytes with a
// target-information length that runs past the end.
StringBuffer type2(uint32_t flags, const std::string &infoHex, bool overrun = false) {
  DataBuffer info, m;
  info.appendEncoded(infoHex.c_str(), "hex");
  m.append("NTLMSSP\0\2\0\0\0\0\0\0\0\0\0\0\0", 20);
  for (int i = 0; i < 4; ++i)
    m.appendChar((unsigned char)(flags >> (8 * i)));
  m.appendEncoded("0123456789abcdef0000000000000000", "hex");
  unsigned char n = overrun ? 200 : (unsigned char)info.getSize(), sec[8] = {n, 0, n, 0, 48};
  m.append(sec, 8);
  m.append(info);
  StringBuffer out;
  ContentCoding().encodeBase64_noCrLf(m.getData2(), (int)m.getSize(), out);
  return out;
}

TEST(ClsNtlm, ResponsesMatchTheDocumentsExamples) {
  const std::string av = "02000c0044006f006d00610069006e0001000c00530065007200760065007200"
                         "00000000",
                    v1 = "67c43011f30298a2ad35ece64f16331c44bdbed927841f94";
  const struct {
    uint32_t flags;
    std::string info, lm, nt;
  } cases[] = {
      {0x00000201, "", v1, v1}, // NTLMv1: the NT response in both places
      {0x00080201, "", "aaaaaaaaaaaaaaaa" + std::string(32, '0'),
       "7537f803ae367128ca458204bde7caf81e97ed2683267232"},
      {0x00880201, av, "86c35097ac9cec102554764a57cccc19aaaaaaaaaaaaaaaa",
       "68cd0ab851e51c96aabc927bebef6a1c0101000000000000" + std::string(16, '0') +
           std::string(16, 'a') + "00000000" + av + "00000000"},
  };
  for (auto &c : cases) {
    ClsNtlm n;
    XString v[4];
    const char *text[4] = {"User", "Domain", "Password", "COMPUTER"};
    for (int i = 0; i < 4; ++i)
      v[i].setFromUtf8(text[i]);
    n.put_UserName(v[0]);
    n.put_Domain(v[1]);
    n.put_Password(v[2]);
    n.put_Workstation(v[3]);
    n.setClientChallenge((const unsigned char *)"\xaa\xaa\xaa\xaa\xaa\xaa\xaa\xaa");
    n.setTimestamp(0);
    StringBuffer t1, t3, hex;
    testsupport::CaptureLog log;
    ASSERT_TRUE(n.genType1(t1, log) && n.genType3(type2(c.flags, c.info), t3, log)) << log.text;
    DataBuffer m;
    ContentCoding().decodeBase64ToDb(t3.getString(), t3.getSize(), m);
    ASSERT_GE(m.getSize(), 64u);
    std::string fields;
    for (unsigned int at = 12; at <= 44; at += 8) { // LM, NT, domain, user, workstation
      const unsigned char *p = m.getData2() + at;
      hex.clear();
      DataBuffer f;
      f.append(m.getData2() + (p[4] | p[5] << 8), p[0] | p[1] << 8);
      f.toHexString(hex);
      hex.toLowerCase();
      fields += std::string(hex.getString()) + " ";
    }
    EXPECT_EQ(fields, c.lm + " " + c.nt +
                          " 44006f006d00610069006e00 5500730065007200"
                          " 43004f004d0050005500540045005200 ");
  }
}

TEST(ClsNtlm, UndecodableChallengesAreRefused) {
  for (const StringBuffer &bad :
       {StringBuffer(""), StringBuffer("!!!!"), StringBuffer("TlRMTVNTUAABAAAA"),
        type2(0x00880201, "0100040041004100", true)}) {
    ClsNtlm n;
    StringBuffer out;
    testsupport::CaptureLog log;
    EXPECT_FALSE(n.genType3(bad, out, log)) << bad.getString();
    EXPECT_TRUE(log.has("Failed to decode TYPE2 input message.")) << bad.getString();
  }
}

} // namespace
