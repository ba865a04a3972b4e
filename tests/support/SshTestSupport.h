// Helpers for tests of the SSH transport: a log kept as text, connecting to a loopback server,
// round trips through the dispatcher, a public-key login, and an independent check of the key
// exchange's hash and keys.
#pragma once

#include <cctype>
#include <string>

#include "sshlib/core/LogBase.h"
#include "sshlib/crypto/Hashes.h"
#include "sshlib/crypto/Rsa2.h"
#include "sshlib/crypto/SshKeyBlob.h"
#include "sshlib/ssh/ProxySettings.h"
#include "sshlib/ssh/SshTransport.h"
#include "tests/support/SshPeers.h"

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

inline bool sshConnectTo(SshTransport &t, int port, LogBase &log) {
  t.hostname.setString("127.0.0.1");
  t.port = (unsigned int)port;
  t.keepSessionLog = true;
  t.setTimeouts(10000, 5000);
  ClsSocksClient socks;
  SocketReadFailInfo fi;
  return t.sshConnect(socks, nullptr, nullptr, log, fi, false);
}

// Sends the message, then reads through the dispatcher with the wait code; the type read, or 0.
inline unsigned int sshAsk(SshTransport &t, DataBuffer &msg, int wait, LogBase &log) {
  DataBuffer out;
  unsigned int type = 0;
  bool eof, close, disc, satisfied;
  SocketReadFailInfo fi;
  if (msg.getSize() && !t.sendMessage("test", msg, nullptr, log, false)) return 0;
  return t.generalizedRead(wait, 0, 10000, nullptr, eof, close, out, type, disc, nullptr, log, fi,
                           satisfied, false)
             ? type
             : 0;
}

// SERVICE_REQUEST "ssh-userauth", answered by SERVICE_ACCEPT.
inline bool sshServiceRoundTrip(SshTransport &t, LogBase &log) {
  DataBuffer msg;
  msg.appendChar(5);
  SshTransport::pack_string("ssh-userauth", msg);
  return sshAsk(t, msg, 1, log) == 6;
}

inline int countIn(const StringBuffer &text, const char *what) {
  int n = 0;
  for (const char *p = text.getString(); (p = strstr(p, what)); ++p)
    ++n;
  return n;
}

// A global request that wants a reply, read until the server's REQUEST_FAILURE, serving whatever
// the server sends first (announcements, a key exchange it starts).
inline bool sshGlobalRequestRoundTrip(SshTransport &t, LogBase &log) {
  DataBuffer msg;
  msg.appendChar(80);
  SshTransport::pack_string("no-such-request@example.com", msg);
  SshTransport::pack_bool(true, msg);
  int before = countIn(t.sessionLog, "TRAN< REQUEST_FAILURE");
  for (int i = 0; i < 20; ++i, msg.clear()) {
    if (sshAsk(t, msg, 99, log) == 0 && !t.socket.isSock()) return false;
    if (countIn(t.sessionLog, "TRAN< REQUEST_FAILURE") > before) return true;
  }
  return false;
}

// An RSA key made by ssh-keygen, as the library's private-key record, with its authorized_keys
// line in a file of its own for a test server.
struct SshLoginKey {
  rsa_key key;
  std::string authorizedLine;
  TempDir dir;
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
    ok = !authorizedLine.empty() && Rsa2::xmlToKey(sb, key, false, log) &&
         writeFile(dir.file("authorized_keys"), authorizedLine);
  }
  std::string authorizedKeys() const { return dir.file("authorized_keys"); }
};

// Public-key login of root: USERAUTH_REQUEST signed over the session identifier (with SHA-256
// where the server announced rsa-sha2-256, else SHA-1), answered by USERAUTH_SUCCESS.
inline bool sshPublicKeyLogin(SshTransport &t, SshLoginKey &k, LogBase &log) {
  DataBuffer blob, msg, signedData, hash, sig, sigBlob;
  const bool sha2 = t.serverAcceptsSigAlg("rsa-sha2-256");
  const char *alg = sha2 ? "rsa-sha2-256" : "ssh-rsa";
  SshKeyBlob::rsaPublicBlob(k.key, blob);
  msg.appendChar(50);
  for (const char *s : {"root", "ssh-connection", "publickey"})
    SshTransport::pack_string(s, msg);
  SshTransport::pack_bool(true, msg);
  SshTransport::pack_string(alg, msg);
  SshTransport::pack_db(blob, msg);
  SshTransport::pack_db(t.sessionId, signedData);
  signedData.append(msg);
  _ckHash::doHash(signedData.getData2(), signedData.getSize(),
                  _ckHash::hashId(sha2 ? "sha256" : "sha1"), hash);
  if (!Rsa2::padAndSignHash(hash.getData2(), hash.getSize(), 1,
                            _ckHash::hashId(sha2 ? "sha256" : "sha1"), 0, k.key, 1, false, sig,
                            log))
    return false;
  SshTransport::pack_string(alg, sigBlob);
  SshTransport::pack_db(sig, sigBlob);
  SshTransport::pack_db(sigBlob, msg);
  return sshAsk(t, msg, 7, log) == 52;
}

// The exchange hash and keys A-F of the transport's last key exchange, recomputed by Python's
// hashlib from the exchanged values; empty when they agree, else what differs.
inline std::string sshIndependentKexCheck(SshTransport &t) {
  auto hx = [](const unsigned char *p, unsigned int n) {
    StringBuffer sb;
    DataBuffer::toHexString2(p, n, sb);
    return std::string(sb.getString());
  };
  auto db = [&](const DataBuffer &d) { return hx(d.getData2(), d.getSize()); };
  auto num = [&](const unsigned int *bn) {
    DataBuffer d;
    RazudodBignum::toBytes(bn, d);
    return db(d);
  };
  auto txt = [&](const StringBuffer &s) {
    return hx((const unsigned char *)s.getString(), (unsigned int)s.getSize());
  };
  int l[6];
  t.getKeySizes(l[0], l[1], l[2], l[3], l[4], l[5]);
  unsigned int numBits = 0, pbits = 0;
  t.calcKeyExchangeNumBits(numBits, pbits);
  std::string cmd = "/usr/bin/python3 " + std::string(FERROWEN_SOURCE_DIR) +
                    "/tests/support/ssh_kex_check.py hash=" +
                    (SshTransport::kexHashBits(t.kexAlgorithm) == 1
                         ? std::string("sha1")
                         : "sha" + std::to_string(SshTransport::kexHashBits(t.kexAlgorithm))) +
                    " lens=";
  for (int i = 0; i < 6; ++i)
    cmd += std::to_string(l[i]) + (i < 5 ? "," : "");
  cmd += " vc=" + txt(t.clientIdent) + " vs=" + txt(t.serverIdent) + " ic=" + db(t.clientKexInit) +
         " is=" + db(t.serverKexInit) + " ks=" + db(t.serverHostKeyBlob) +
         " sid=" + db(t.sessionId);
  if (SshTransport::isEcKex(t.kexAlgorithm)) {
    // The curves' values travel as strings; K is the mpint string's body.
    const DataBuffer &k = t.kexSharedK;
    cmd += " qc=" + db(t.ecKex.publicKey()) + " qs=" + db(t.serverEcPublic) +
           " k=" + (k.getSize() > 4 ? hx(k.getData2() + 4, k.getSize() - 4) : std::string("00"));
  } else {
    cmd += " e=" + num(t.dh.get_e()) + " f=" + num(t.serverDhPublic) + " k=" + num(t.dh.get_K());
  }
  if (t.kexAlgorithm == 160 || t.kexAlgorithm == 256) {
    cmd += " p=" + num(t.dh.get_p()) + " g=" + num(t.dh.get_g());
    cmd += t.gexRangeRequest
               ? " gexmin=" + std::to_string(t.gexMin) + " pbits=" + std::to_string(t.gexN) +
                     " gexmax=" + std::to_string(t.gexMax)
               : " pbits=" + std::to_string(pbits);
  }
  std::string expected = runCommand(cmd), ours = db(t.exchangeHash) + "\n";
  for (DataBuffer *k : {&t.ivClientToServer, &t.ivServerToClient, &t.encKeyClientToServer,
                        &t.encKeyServerToClient, &t.macKeyClientToServer, &t.macKeyServerToClient})
    ours += db(*k) + "\n";
  for (auto &c : expected)
    c = (char)toupper((unsigned char)c);
  return expected == ours ? "" : "independent: " + expected + "ours:        " + ours;
}

} // namespace testsupport
