// SSH-2 data types: appending to a message and reading from one through a moving index.
#include <cstring>

#include "sshlib/core/CharsetNaming.h"
#include "sshlib/core/ClsStringArray.h"
#include "sshlib/core/EncodingConvert.h"
#include "sshlib/core/LogBase.h"
#include "sshlib/core/Output.h"
#include "sshlib/core/Psdk.h"
#include "sshlib/crypto/RazudodBignum.h"
#include "sshlib/ssh/SshChannel.h"
#include "sshlib/ssh/SshTransport.h"

namespace {
constexpr unsigned int kMaxBinaryString = 99000000;
constexpr unsigned int kMaxTextString = 65000;

unsigned int be32(const unsigned char *p) {
  return ((unsigned int)p[0] << 24) | ((unsigned int)p[1] << 16) | ((unsigned int)p[2] << 8) | p[3];
}
} // namespace

void SshTransport::pack_uint32(unsigned int v, DataBuffer &out) {
  unsigned char b[4] = {(unsigned char)(v >> 24), (unsigned char)(v >> 16), (unsigned char)(v >> 8),
                        (unsigned char)v};
  out.append(b, 4);
}

void SshTransport::pack_int64(long long v, DataBuffer &out) {
  unsigned long long u = (unsigned long long)v;
  pack_uint32((unsigned int)(u >> 32), out);
  pack_uint32((unsigned int)u, out);
}

void SshTransport::pack_bool(bool b, DataBuffer &out) {
  out.appendChar(b ? 1 : 0);
}

void SshTransport::pack_binString(const unsigned char *p, unsigned int n, DataBuffer &out) {
  pack_uint32(n, out);
  if (n) out.append(p, n);
}

void SshTransport::pack_db(const DataBuffer &data, DataBuffer &out) {
  pack_binString(data.getData2(), data.getSize(), out);
}

void SshTransport::pack_sb(const StringBuffer &s, DataBuffer &out) {
  pack_binString((const unsigned char *)s.getString(), (unsigned int)s.getSize(), out);
}

void SshTransport::pack_string(const char *s, DataBuffer &out) {
  if (!s) s = "";
  pack_binString((const unsigned char *)s, (unsigned int)strlen(s), out);
}

void SshTransport::pack_bignum(const unsigned int *bn, DataBuffer &out) {
  if (!bn) {
    pack_uint32(0, out);
    return;
  }
  DataBuffer body;
  RazudodBignum::ssh2_mpint_fmt(bn, body);
  pack_db(body, out);
}

bool SshTransport::pack_filename(XString &name, StringBuffer &charset, DataBuffer &out) {
  if (charset.getSize() == 0 || charset.equalsIgnoreCase("utf-8")) {
    pack_string(name.getUtf8(), out);
    return true;
  }
  int codePage = Psdk::getAnsiCodePage();
  if (!charset.equalsIgnoreCase("ansi")) {
    _ckCharset cs;
    cs.setByName(charset.getString());
    codePage = cs.getCodePage();
  }
  // Only bytes that read back as the whole name: a character the charset lacks would be left out
  // or replaced, and the request would name another file.
  DataBuffer conv;
  if (!EncodingConvert::fromUtf8Whole(codePage,
                                      reinterpret_cast<const unsigned char *>(name.getUtf8()),
                                      name.getSizeUtf8(), conv))
    return false;
  pack_db(conv, out);
  return true;
}

bool SshTransport::parseByte(const DataBuffer &msg, unsigned int &idx, unsigned char &v) {
  if (idx >= msg.getSize()) return false;
  v = msg.getData2()[idx++];
  return true;
}

bool SshTransport::parseBool(const DataBuffer &msg, unsigned int &idx, bool &v) {
  unsigned char b = 0;
  if (!parseByte(msg, idx, b)) return false;
  v = b != 0;
  return true;
}

bool SshTransport::parseUint32(const DataBuffer &msg, unsigned int &idx, unsigned int &v) {
  v = 0;
  if (idx >= msg.getSize() || msg.getSize() - idx < 4) return false;
  v = be32(msg.getData2() + idx);
  idx += 4;
  return true;
}

bool SshTransport::parseInt64(const DataBuffer &msg, unsigned int &idx, long long &v) {
  v = 0;
  if (idx >= msg.getSize() || msg.getSize() - idx < 8) return false;
  const unsigned char *p = msg.getData2() + idx;
  v = (long long)(((unsigned long long)be32(p) << 32) | be32(p + 4));
  idx += 8;
  return true;
}

bool SshTransport::parseBytes(const DataBuffer &msg, unsigned int &idx, int n, DataBuffer &out) {
  out.clear();
  if (n < 0 || idx >= msg.getSize() || msg.getSize() - idx < (unsigned int)n) return false;
  out.append(msg.getData2() + idx, (unsigned int)n);
  idx += (unsigned int)n;
  return true;
}

// Checks the length field of a binary string; on success idx is past it and len holds the count.
static bool binaryStringHead(const DataBuffer &msg, unsigned int &idx, unsigned int &len,
                             LogBase &log) {
  unsigned int sz = msg.getSize();
  if (idx >= sz) {
    log.LogError("Error 1 parsing binary string");
    return false;
  }
  if (sz - idx < 4) {
    log.LogError("Error 2 parsing binary string");
    log.LogDataLong("sz", (int)sz);
    return false;
  }
  len = be32(msg.getData2() + idx);
  if (len > kMaxBinaryString) {
    log.LogError("Error 3 parsing binary string");
    return false;
  }
  idx += 4;
  if (len == 0) return true;
  if (sz - idx < len) {
    log.LogError("Error 4 parsing binary string");
    log.LogDataLong("sz", (int)sz);
    log.LogDataLong("sLen", (int)len);
    log.LogDataLong("idx", (int)idx);
    return false;
  }
  return true;
}

bool SshTransport::parseBinaryString(const DataBuffer &msg, unsigned int &idx, DataBuffer &out,
                                     LogBase &log) {
  unsigned int len = 0;
  if (!binaryStringHead(msg, idx, len, log)) return false;
  if (len) out.append(msg.getData2() + idx, len);
  idx += len;
  return true;
}

bool SshTransport::parseBinaryStringToOutput(const DataBuffer &msg, unsigned int &idx, Output &out,
                                             unsigned int &numWritten, ProgressMonitor *pm,
                                             LogBase &log) {
  unsigned int len = 0;
  if (!binaryStringHead(msg, idx, len, log)) return false;
  if (len && out.fwrite_pm(msg.getData2() + idx, 1, len, pm, log) != len) return false;
  idx += len;
  numWritten = len;
  return true;
}

bool SshTransport::parseString(const DataBuffer &msg, unsigned int &idx, StringBuffer &out) {
  out.clear();
  unsigned int sz = msg.getSize();
  if (idx >= sz || sz - idx < 4) return false;
  unsigned int len = be32(msg.getData2() + idx);
  if (len > kMaxTextString || sz - idx - 4 < len) return false;
  out.appendN((const char *)msg.getData2() + idx + 4, (int)len);
  idx += 4 + len;
  return true;
}

bool SshTransport::parseUtf8(const DataBuffer &msg, unsigned int &idx, XString &out) {
  out.clear();
  StringBuffer sb;
  if (!parseString(msg, idx, sb)) return false;
  out.setFromUtf8(sb.getString());
  return true;
}

bool SshTransport::parseMpInt(const DataBuffer &msg, unsigned int &idx, mp_int &out, LogBase &log) {
  DataBuffer bytes;
  if (!parseBinaryString(msg, idx, bytes, log)) return false;
  return RazudodMp::read_unsigned_bin(out, bytes.getData2(), bytes.getSize());
}

unsigned int *SshTransport::parseBignum(const DataBuffer &msg, unsigned int &idx, LogBase &log) {
  DataBuffer bytes;
  if (!parseBinaryString(msg, idx, bytes, log)) return nullptr;
  return RazudodBignum::fromBytes(bytes.getData2(), bytes.getSize());
}

bool SshTransport::parseNameList2(const DataBuffer &msg, unsigned int &idx, ClsStringArray &out) {
  XString text;
  if (!parseUtf8(msg, idx, text)) return false;
  XString comma;
  comma.setFromUtf8(",");
  out.SplitAndAppend(text, comma);
  return true;
}

bool SshTransport::parseNameList3(const DataBuffer &msg, unsigned int &idx, ExtPtrArray &out,
                                  StringBuffer &raw) {
  if (!parseString(msg, idx, raw)) return false;
  raw.split(out, ',', true, true);
  return true;
}

unsigned int SshTransport::msgType(const DataBuffer &msg) {
  return msg.getSize() == 0 ? 999999u : msg.getData2()[0];
}

unsigned int SshTransport::parseChannelNum(const DataBuffer &msg) {
  unsigned int t = msgType(msg);
  if (t < 91 || t > 100) return 0xFFFFFFFFu;
  unsigned int idx = 1, v = 0;
  return parseUint32(msg, idx, v) ? v : 0xFFFFFFFFu;
}

bool SshTransport::parseChannelOpenSuccess(const DataBuffer &msg, SshChannel &ch, LogBase &log) {
  unsigned int idx = 0, v = 0;
  unsigned char t = 0;
  if (!parseByte(msg, idx, t) || t != 91) {
    log.LogError("Error parsing channel open response (1)");
    return false;
  }
  if (!parseUint32(msg, idx, v)) {
    log.LogError("Error parsing channel open response (2)");
    return false;
  }
  log.LogDataLong("ClientChannelNum", (int)v);
  if (!parseUint32(msg, idx, ch.serverChannelNum)) {
    log.LogError("Error parsing channel open response (3)");
    return false;
  }
  log.LogDataLong("ServerChannelNum", (int)ch.serverChannelNum);
  if (!parseUint32(msg, idx, v)) {
    log.LogError("Error parsing channel open response (4)");
    return false;
  }
  // A window of 0 means the server grants data later with WINDOW_ADJUST.
  ch.serverInitialWindowSize = v;
  ch.m_curServerWinSize = v;
  log.LogDataLong("ServerInitialWindowSize", (int)v);
  if (!parseUint32(msg, idx, ch.serverMaxPacketSize)) {
    log.LogError("Error parsing channel open response (5)");
    return false;
  }
  log.LogDataLong("ServerMaxPacketSize", (int)ch.serverMaxPacketSize);
  return true;
}

// The shared walk of the small parsers: each step names its error text.
namespace {
struct Steps {
  const DataBuffer &msg;
  const char *text;
  LogBase &log;
  unsigned int idx = 0;
  int step = 0;
  bool ok = true;
  bool fail() {
    if (ok) {
      StringBuffer e(text);
      e.append(" (");
      e.append(step);
      e.append(")");
      log.LogError(e.getString());
    }
    ok = false;
    return false;
  }
  bool type(unsigned char want) {
    ++step;
    unsigned char t = 0;
    return (SshTransport::parseByte(msg, idx, t) && t == want) ? true : fail();
  }
  bool u32(unsigned int &v) {
    ++step;
    return ok && SshTransport::parseUint32(msg, idx, v) ? true : fail();
  }
  bool str(StringBuffer &v) {
    ++step;
    return ok && SshTransport::parseString(msg, idx, v) ? true : fail();
  }
  bool utf8(XString &v) {
    ++step;
    return ok && SshTransport::parseUtf8(msg, idx, v) ? true : fail();
  }
  bool boolean(bool &v) {
    ++step;
    return ok && SshTransport::parseBool(msg, idx, v) ? true : fail();
  }
};
} // namespace

bool SshTransport::parseChannelOpenFailure(const DataBuffer &msg, unsigned int &reasonCode,
                                           StringBuffer &description, LogBase &log) {
  reasonCode = 0;
  description.clear();
  Steps s{msg, "Error parsing channel open failure", log};
  unsigned int recipient = 0;
  return s.type(92) && s.u32(recipient) && s.u32(reasonCode) && s.str(description);
}

bool SshTransport::parseDisconnect(const DataBuffer &msg, unsigned int &reasonCode,
                                   StringBuffer &description, LogBase &log) {
  reasonCode = 0;
  description.clear();
  Steps s{msg, "Error parsing disconnect", log};
  return s.type(1) && s.u32(reasonCode) && s.str(description);
}

bool SshTransport::parseGlobalRequest(const DataBuffer &msg, XString &name, bool &wantReply,
                                      LogBase &log) {
  name.clear();
  wantReply = false;
  Steps s{msg, "Error parsing global request", log};
  return s.type(80) && s.utf8(name) && s.boolean(wantReply);
}

bool SshTransport::parseBannerMsg(const DataBuffer &msg, XString &message, XString &language,
                                  LogBase &log) {
  Steps s{msg, "Error parsing banner message", log};
  return s.type(53) && s.utf8(message) && s.utf8(language);
}

bool SshTransport::parseChannelRequest2(const DataBuffer &msg, unsigned int &channelNum,
                                        StringBuffer &requestType) {
  channelNum = 0;
  requestType.clear();
  unsigned int idx = 1;
  return msg.getSize() > 0 && parseUint32(msg, idx, channelNum) &&
         parseString(msg, idx, requestType);
}

bool SshTransport::parseExitStatus2(const DataBuffer &msg, unsigned int &channelNum,
                                    StringBuffer &requestType, unsigned int &exitStatus) {
  exitStatus = 0;
  unsigned int idx = 1;
  bool wantReply = false;
  channelNum = 0;
  requestType.clear();
  return msg.getSize() > 0 && parseUint32(msg, idx, channelNum) &&
         parseString(msg, idx, requestType) && parseBool(msg, idx, wantReply) &&
         parseUint32(msg, idx, exitStatus);
}

bool SshTransport::parseData(const DataBuffer &msg, unsigned int &channelNum, DataBuffer &data,
                             LogBase &log) {
  channelNum = 0;
  if (msgType(msg) != 94) {
    log.LogError("Parsing MSG_CHANNEL_DATA failed.");
    log.LogDataLong("mType", (int)msgType(msg));
    return false;
  }
  unsigned int idx = 1;
  return parseUint32(msg, idx, channelNum) && parseBinaryString(msg, idx, data, log);
}

bool SshTransport::parseExtendedData(const DataBuffer &msg, unsigned int &channelNum,
                                     unsigned int &dataTypeCode, DataBuffer &data, LogBase &log) {
  channelNum = 0;
  dataTypeCode = 0;
  if (msgType(msg) != 95) return false;
  unsigned int idx = 1;
  return parseUint32(msg, idx, channelNum) && parseUint32(msg, idx, dataTypeCode) &&
         parseBinaryString(msg, idx, data, log);
}

void getstring(const unsigned char **p, unsigned int *remaining, const unsigned char **str,
               unsigned int *len) {
  *str = nullptr;
  if (*remaining < 4) return;
  *len = be32(*p);
  *p += 4;
  *remaining -= 4;
  if (*len > *remaining) return;
  *str = *p;
  *p += *len;
  *remaining -= *len;
}
