// The NTLM builder against the worked examples of the NTLM protocol document (user "User",
// domain "Domain", password "Password", server challenge 0123456789abcdef, client challenge
// aaaaaaaaaaaaaaaa, time 0): the TYPE3 message is decoded and its responses compared.
#include <gtest/gtest.h>

#include "sshlib/core/ContentCoding.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/ssh/ClsNtlm.h"
#include "tests/support/SshTestSupport.h"

namespace {

std::string hex(const unsigned char *p, unsigned int n) {
  std::string s;
  for (unsigned int i = 0; i < n; ++i)
    s += "0123456789abcdef"[p[i] >> 4], s += "0123456789abcdef"[p[i] & 15];
  return s;
}

// A CHALLENGE message with the given flags and target information (hex).
StringBuffer type2(uint32_t flags, const std::string &infoHex) {
  DataBuffer info, m;
  info.appendEncoded(infoHex.c_str(), "hex");
  m.append("NTLMSSP\0\2\0\0\0\0\0\0\0\0\0\0\0", 20);
  for (int i = 0; i < 4; ++i)
    m.appendChar((unsigned char)(flags >> (8 * i)));
  m.appendEncoded("0123456789abcdef0000000000000000", "hex");
  unsigned int n = info.getSize();
  unsigned char sec[8] = {(unsigned char)n,
                          (unsigned char)(n >> 8),
                          (unsigned char)n,
                          (unsigned char)(n >> 8),
                          48,
                          0,
                          0,
                          0};
  m.append(sec, 8);
  m.append(info);
  StringBuffer out;
  ContentCoding().encodeBase64_noCrLf(m.getData2(), (int)m.getSize(), out);
  return out;
}

// The field of the TYPE3 message at the given security-buffer offset, as hex.
std::string field(const DataBuffer &m, unsigned int at) {
  const unsigned char *p = m.getData2();
  unsigned int len = p[at] | p[at + 1] << 8, off = p[at + 4] | p[at + 5] << 8;
  return off + len <= m.getSize() ? hex(p + off, len) : "out of range";
}

TEST(ClsNtlm, ResponsesMatchTheDocumentsExamples) {
  const std::string avPairs = "02000c0044006f006d00610069006e00"
                              "01000c00530065007200760065007200"
                              "00000000";
  const struct {
    const char *form;
    uint32_t flags;
    std::string info, lm, nt;
  } cases[] = {
      {"NTLMv1", 0x00000201, "", "67c43011f30298a2ad35ece64f16331c44bdbed927841f94",
       "67c43011f30298a2ad35ece64f16331c44bdbed927841f94"},
      {"NTLMv1 with client challenge", 0x00080201, "",
       "aaaaaaaaaaaaaaaa00000000000000000000000000000000",
       "7537f803ae367128ca458204bde7caf81e97ed2683267232"},
      {"NTLMv2", 0x00880201, avPairs, "86c35097ac9cec102554764a57cccc19aaaaaaaaaaaaaaaa",
       "68cd0ab851e51c96aabc927bebef6a1c0101000000000000" + std::string(16, '0') +
           std::string(16, 'a') + "00000000" + avPairs + "00000000"},
  };
  for (auto &c : cases) {
    ClsNtlm n;
    XString user, domain, password, ws;
    user.setFromUtf8("User");
    domain.setFromUtf8("Domain");
    password.setFromUtf8("Password");
    ws.setFromUtf8("COMPUTER");
    n.put_UserName(user);
    n.put_Domain(domain);
    n.put_Password(password);
    n.put_Workstation(ws);
    const unsigned char cc[8] = {0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa};
    n.setClientChallenge(cc);
    n.setTimestamp(0);
    StringBuffer t1, t3;
    testsupport::CaptureLog log;
    ASSERT_TRUE(n.genType1(t1, log));
    ASSERT_TRUE(n.genType3(type2(c.flags, c.info), t3, log)) << log.text;
    DataBuffer m;
    ContentCoding().decodeBase64ToDb(t3.getString(), t3.getSize(), m);
    ASSERT_GE(m.getSize(), 64u) << c.form;
    EXPECT_EQ(field(m, 12), c.lm) << c.form;
    EXPECT_EQ(field(m, 20), c.nt) << c.form;
    EXPECT_EQ(field(m, 28), "44006f006d00610069006e00") << c.form;         // Domain
    EXPECT_EQ(field(m, 36), "5500730065007200") << c.form;                 // User
    EXPECT_EQ(field(m, 44), "43004f004d0050005500540045005200") << c.form; // COMPUTER
  }
}

TEST(ClsNtlm, UndecodableChallengesAreRefused) {
  StringBuffer good = type2(0x00880201, "0100040041004100"), shortTarget = type2(0x00880201, "");
  DataBuffer m;
  ContentCoding().decodeBase64ToDb(good.getString(), good.getSize(), m);
  m.getData2()[40] = 200; // target information longer than the message
  StringBuffer outside;
  ContentCoding().encodeBase64_noCrLf(m.getData2(), (int)m.getSize(), outside);
  for (const char *bad : {"", "!!!!", "TlRMTVNTUAABAAAA", outside.getString()}) {
    ClsNtlm n;
    StringBuffer out;
    testsupport::CaptureLog log;
    EXPECT_FALSE(n.genType3(StringBuffer(bad), out, log)) << bad;
    EXPECT_TRUE(log.has("Failed to decode TYPE2 input message.")) << bad;
  }
}

} // namespace
