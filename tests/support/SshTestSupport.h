// Helpers for tests of the SSH transport: a log that keeps its lines as text, connecting a
// transport to a loopback server, and a service-request round trip over the new keys.
#pragma once

#include <cctype>
#include <cstring>
#include <string>

#include "sshlib/core/LogBase.h"
#include "sshlib/ssh/ProxySettings.h"
#include "sshlib/ssh/SshTransport.h"

namespace testsupport {

// Keeps every line (errors, information and named values) as "tag: value" text.
class CaptureLog : public LogBase {
public:
  bool LogError(const char *t) override { return add("ERROR", t); }
  bool LogInfo(const char *t) override { return add("INFO", t); }
  bool LogData(const char *tag, const char *v) override { return add(tag, v); }
  bool LogDataLong(const char *tag, int v) override { return add(tag, std::to_string(v).c_str()); }
  bool has(const std::string &s) const { return text.find(s) != std::string::npos; }
  std::string text;

private:
  bool add(const char *tag, const char *v) {
    text += std::string(tag) + ": " + (v ? v : "") + "\n";
    return true;
  }
};

inline bool sshConnectTo(SshTransport &t, int port, LogBase &log,
                         SocketReadFailInfo *fail = nullptr) {
  t.hostname.setString("127.0.0.1");
  t.port = (unsigned int)port;
  t.keepSessionLog = true;
  t.setTimeouts(10000, 5000);
  ClsSocksClient socks;
  SocketReadFailInfo fi;
  return t.sshConnect(socks, nullptr, nullptr, log, fail ? *fail : fi, false);
}

// Sends SERVICE_REQUEST "ssh-userauth" and waits for its SERVICE_ACCEPT through the dispatcher.
inline bool sshServiceRoundTrip(SshTransport &t, LogBase &log) {
  DataBuffer msg;
  msg.appendChar(5);
  SshTransport::pack_string("ssh-userauth", msg);
  if (!t.sendMessage("SERVICE_REQUEST", msg, nullptr, log, false)) return false;
  DataBuffer out;
  unsigned int type = 0;
  bool eof, close, disc, satisfied;
  SocketReadFailInfo fi;
  bool ok = t.generalizedRead(1, 0, 10000, nullptr, eof, close, out, type, disc, nullptr, log, fi,
                              satisfied, false);
  return ok && satisfied && type == 6;
}

} // namespace testsupport

#include "sshlib/core/StringBuffer.h"
#include "sshlib/crypto/Hashes.h"
#include "sshlib/crypto/Rsa2.h"
#include "sshlib/crypto/SshKeyBlob.h"
#include "tests/support/SshPeers.h"

namespace testsupport {

// An RSA key pair for logging in to a test server: the private key as the library's record and
// the authorized_keys line for the server.
struct SshLoginKey {
  rsa_key key;
  std::string authorizedLine;
  bool ok = false;
  explicit SshLoginKey(int bits = 2048) {
    std::string path = sshHostKey("rsa", bits);
    authorizedLine = runCommand("ssh-keygen -y -f '" + path + "'");
    std::string xml = runCommand(
        "/usr/bin/python3 -W ignore -c \"import sys,base64 as b\n"
        "from cryptography.hazmat.primitives import serialization as s\n"
        "k=s.load_pem_private_key(open(sys.argv[1],'rb').read(),None).private_numbers()\n"
        "e=lambda n:b.b64encode(n.to_bytes((n.bit_length()+7)//8,'big')).decode()\n"
        "p=k.public_numbers\n"
        "print('<RSAKeyValue><Modulus>%s</Modulus><Exponent>%s</Exponent><P>%s</P><Q>%s</Q>"
        "<DP>%s</DP><DQ>%s</DQ><InverseQ>%s</InverseQ><D>%s</D></RSAKeyValue>'%(e(p.n),e(p.e),"
        "e(k.p),e(k.q),e(k.dmp1),e(k.dmq1),e(k.iqmp),e(k.d)))\" '" +
        path + "'");
    StringBuffer sb(xml.c_str());
    LogBase log;
    ok = !authorizedLine.empty() && Rsa2::xmlToKey(sb, key, false, log);
  }
};

// Public-key login of root (a test server's config allows it): USERAUTH_REQUEST signed over the
// session identifier, answered by USERAUTH_SUCCESS.
inline bool sshPublicKeyLogin(SshTransport &t, SshLoginKey &k, LogBase &log) {
  DataBuffer blob;
  if (!SshKeyBlob::rsaPublicBlob(k.key, blob)) return false;
  DataBuffer head;
  head.appendChar(50);
  SshTransport::pack_string("root", head);
  SshTransport::pack_string("ssh-connection", head);
  SshTransport::pack_string("publickey", head);
  SshTransport::pack_bool(true, head);
  SshTransport::pack_string("ssh-rsa", head);
  SshTransport::pack_db(blob, head);
  DataBuffer signedData, hash, sig, sigBlob;
  SshTransport::pack_db(t.sessionId, signedData);
  signedData.append(head);
  Sha1::sha1_db(signedData, hash);
  if (!Rsa2::padAndSignHash(hash.getData2(), hash.getSize(), 1, _ckHash::hashId("sha1"), 0, k.key,
                            1, false, sig, log))
    return false;
  SshTransport::pack_string("ssh-rsa", sigBlob);
  SshTransport::pack_db(sig, sigBlob);
  SshTransport::pack_db(sigBlob, head);
  if (!t.sendMessage("USERAUTH_REQUEST", head, nullptr, log, false)) return false;
  DataBuffer out;
  unsigned int type = 0;
  bool eof, close, disc, satisfied;
  SocketReadFailInfo fi;
  return t.generalizedRead(7, 0, 10000, nullptr, eof, close, out, type, disc, nullptr, log, fi,
                           satisfied, false) &&
         type == 52;
}

} // namespace testsupport

namespace testsupport {

// The exchange hash and keys A-F of the transport's last key exchange, recomputed by Python's
// hashlib from the exchanged values; empty when they agree, else what differs.
inline std::string sshIndependentKexCheck(SshTransport &t) {
  auto hx = [](const DataBuffer &d) {
    StringBuffer sb;
    d.toHexString(sb);
    return std::string(sb.getString());
  };
  auto num = [&](const unsigned int *bn) {
    DataBuffer d;
    RazudodBignum::toBytes(bn, d);
    return hx(d);
  };
  auto txt = [&](const StringBuffer &s) {
    DataBuffer d;
    d.append(s);
    return hx(d);
  };
  bool gex = t.kexAlgorithm == 160 || t.kexAlgorithm == 256;
  int l[6];
  t.getKeySizes(l[0], l[1], l[2], l[3], l[4], l[5]);
  std::string lens;
  for (int n : l)
    lens += (lens.empty() ? "" : ",") + std::to_string(n);
  std::string cmd =
      "/usr/bin/python3 " + std::string(FERROWEN_SOURCE_DIR) +
      "/tests/support/ssh_kex_check.py hash=" + (t.kexAlgorithm == 256 ? "sha256" : "sha1") +
      " lens=" + lens + " vc=" + txt(t.clientIdent) + " vs=" + txt(t.serverIdent) +
      " ic=" + hx(t.clientKexInit) + " is=" + hx(t.serverKexInit) +
      " ks=" + hx(t.serverHostKeyBlob) + " e=" + num(t.dh.get_e()) + " f=" + num(t.serverDhPublic) +
      " k=" + num(t.dh.get_K()) + " sid=" + hx(t.sessionId);
  unsigned int numBits = 0, pbits = 0;
  t.calcKeyExchangeNumBits(numBits, pbits);
  if (gex)
    cmd +=
        " pbits=" + std::to_string(pbits) + " p=" + num(t.dh.get_p()) + " g=" + num(t.dh.get_g());
  std::string expected = runCommand(cmd);
  std::string ours = hx(t.exchangeHash) + "\n";
  for (DataBuffer *k : {&t.ivClientToServer, &t.ivServerToClient, &t.encKeyClientToServer,
                        &t.encKeyServerToClient, &t.macKeyClientToServer, &t.macKeyServerToClient})
    ours += hx(*k) + "\n";
  for (auto &c : expected)
    c = (char)toupper((unsigned char)c);
  return expected == ours ? "" : "independent: " + expected + "ours:        " + ours;
}

} // namespace testsupport

namespace testsupport {

// Sends a global request that wants a reply and reads until the server's REQUEST_FAILURE, serving
// whatever the server sends first (announcements, a key exchange it starts).
inline bool sshGlobalRequestRoundTrip(SshTransport &t, LogBase &log) {
  DataBuffer req;
  req.appendChar(80);
  SshTransport::pack_string("no-such-request@example.com", req);
  SshTransport::pack_bool(true, req);
  int before = 0;
  for (const char *p = t.sessionLog.getString(); (p = strstr(p, "TRAN< REQUEST_FAILURE")); ++p)
    ++before;
  if (!t.sendMessage("GLOBAL_REQUEST", req, nullptr, log, false)) return false;
  for (int i = 0; i < 20; ++i) {
    DataBuffer out;
    unsigned int type = 0;
    bool eof, close, disc, satisfied;
    SocketReadFailInfo fi;
    if (!t.generalizedRead(99, 0, 10000, nullptr, eof, close, out, type, disc, nullptr, log, fi,
                           satisfied, false))
      return false;
    int now = 0;
    for (const char *p = t.sessionLog.getString(); (p = strstr(p, "TRAN< REQUEST_FAILURE")); ++p)
      ++now;
    if (now > before) return true;
  }
  return false;
}

// Logs root in with a fresh login key, against a server given the authorized-keys file made here.
struct SshLoginSetup {
  SshLoginKey key;
  TempDir dir;
  std::string authorizedKeys() {
    writeFile(dir.file("authorized_keys"), key.authorizedLine);
    return dir.file("authorized_keys");
  }
};

} // namespace testsupport
