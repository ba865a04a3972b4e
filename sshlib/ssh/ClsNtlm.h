// NTLMSSP messages for HTTP proxy authentication: the NEGOTIATE (TYPE1) message, and the
// AUTHENTICATE (TYPE3) message answering a server's CHALLENGE (TYPE2), all as Base64 without line
// breaks.
//
// The response is chosen by what the challenge offers: NTLMv2 when it carries target
// information (every current server sends it), else the NTLMv1 response with a client challenge
// when extended session security is agreed, else the plain NTLMv1 response. No session key is
// exchanged: the proxy only needs the responses.
#pragma once

#include <cstdint>

#include "sshlib/core/ClsBase.h"
#include "sshlib/core/ClsEncode.h"
#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/RazudodCritSec.h"
#include "sshlib/core/XString.h"

class LogBase;
class StringBuffer;

// A public object of the library like the others (its own call log, made only when written, and
// the critical section its message builders bracket their work with). The messages travel as
// text through the encoder this object is (Base64, its starting mode); the builders log into the
// log their caller hands them.
class ClsNtlm : public ClsBase, public ClsEncode, public RazudodCritSec {
public:
  ClsNtlm();
  ~ClsNtlm() override;
  ClsNtlm(const ClsNtlm &) = delete;
  ClsNtlm &operator=(const ClsNtlm &) = delete;

  void put_UserName(XString &v) { m_user.copyFromX(v); }
  void put_Password(XString &v) { m_password.copyFromX(v); }
  void put_Domain(XString &v) { m_domain.copyFromX(v); }
  void put_Workstation(XString &v) { m_workstation.copyFromX(v); }

  bool genType1(StringBuffer &out, LogBase &log);
  bool genType3(const StringBuffer &type2, StringBuffer &out, LogBase &log);

  // Fixed values in place of the random client challenge and the clock (known-answer tests).
  void setClientChallenge(const unsigned char c[8]);
  void setTimestamp(uint64_t windowsFileTime) {
    m_fixedTime = windowsFileTime;
    m_timeFixed = true;
  }

  // The responses of the three forms over a server challenge (8 bytes).
  static void ntowfV1(XString &password, unsigned char out[16]);
  static bool ntlmV1Response(const unsigned char ntHash[16], const unsigned char challenge[8],
                             DataBuffer &out);
  static bool ntlmV1ClientChallengeResponse(const unsigned char ntHash[16],
                                            const unsigned char serverChallenge[8],
                                            const unsigned char clientChallenge[8],
                                            DataBuffer &ntOut, DataBuffer &lmOut);
  static bool ntlmV2Response(const unsigned char ntHash[16], XString &user, XString &domain,
                             const unsigned char serverChallenge[8],
                             const unsigned char clientChallenge[8], uint64_t timestamp,
                             const DataBuffer &targetInfo, DataBuffer &ntOut, DataBuffer &lmOut);

private:
  bool type1(StringBuffer &out, LogBase &log);
  bool type3(const StringBuffer &type2, StringBuffer &out, LogBase &log);

  XString m_user, m_password, m_domain, m_workstation;
  DataBuffer m_clientChallenge; // empty: a random one per message
  uint64_t m_fixedTime = 0;
  bool m_timeFixed = false; // else the clock
};
