// A scripted SSH server over the library's own packet layer, for what no real server does on
// demand (a MAC of "none", an old server's HMAC-key quirk, tampered or oversized packets, a host
// key that changes at a re-key, a message slipped into a strict key exchange). It listens on a free
// loopback port and runs its script on a thread against the one client that connects.
#pragma once

#include <arpa/inet.h>
#include <functional>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "sshlib/core/LogNull.h"
#include "tests/support/SshTestSupport.h"
#include "tests/support/TestSupport.h"

namespace testsupport {

struct FakeSshOptions {
  std::string ident = "SSH-2.0-FakeServer_1.0";
  int kex = 1; // 1 or 14
  int cipher = 2;
  const char *cipherName = "aes128-cbc";
  int mac = 1;
  const char *macName = "hmac-sha1";
  bool badF = false; // sends f = 1, which makes K = 1
  // The name the exchange hash's signature is sent under.
  std::string sigName = "ssh-rsa";
  // Announces OpenSSH's strict key exchange (and numbers packets from zero at each NEWKEYS).
  bool strictKex = false;
  // Sends an IGNORE before its KEXINIT, or before its NEWKEYS in the first exchange.
  bool ignoreBeforeKexInit = false;
  bool ignoreBeforeNewKeys = false;
  // Run between the client's NEWKEYS and ours, with our old outgoing keys still in force.
  std::function<bool(class FakeSshServer &)> beforeNewKeys;
  // Run in a re-key after our KEXINIT went out and before the client's is read.
  std::function<bool(class FakeSshServer &)> afterKexInit;
};

class FakeSshServer {
public:
  using Script = std::function<void(FakeSshServer &)>;
  explicit FakeSshServer(Script script, FakeSshOptions o = {}) : opts(o) {
    listenFd_ = testsupport::listenOnLoopback(port);
    thread_ = std::thread([this, script] {
      int fd = accept(listenFd_, nullptr, nullptr);
      if (fd < 0) return;
      s.socket.socketFd = fd;
      s.socket.isConnected = true;
      s.setTimeouts(5000, 5000);
      script(*this);
    });
  }
  ~FakeSshServer() {
    shutdown(listenFd_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    close(listenFd_);
  }

  bool sendRaw(const std::string &bytes) {
    return s.socket.SendBytes2((const unsigned char *)bytes.data(), (unsigned int)bytes.size(), 0,
                               0, log, nullptr);
  }
  // Bytes as they stand, encrypted under our outgoing cipher when one is in force (no MAC).
  bool sendEncrypted(const std::string &plain) {
    DataBuffer in, out;
    in.append(plain.data(), (unsigned int)plain.size());
    s.outCrypt.put_FirstChunk(s.outCipherRestart);
    s.outCrypt.put_LastChunk(false);
    s.outCipherRestart = false;
    if (s.activeCipherOut == 0)
      out.append(in);
    else
      s.outCrypt.encrypt(in, out, nullptr, log);
    return s.socket.SendBytes(out, 0, 0, log, nullptr);
  }
  bool send(DataBuffer &payload) { return s.sendMessage("fake", payload, nullptr, log, false); }
  bool read(DataBuffer &payload) {
    if (!s.readRawPacket(payload, 0, nullptr, log, false)) return false;
    received.push_back(SshTransport::msgType(payload));
    return true;
  }
  // Ends when the script has run (the destructor waits too).
  void join() {
    if (thread_.joinable()) thread_.join();
  }
  // Reads until a message of the type arrives.
  bool readType(unsigned int type, DataBuffer &payload) {
    for (int i = 0; i < 20; ++i) {
      if (!read(payload)) return false;
      if (SshTransport::msgType(payload) == type) return true;
    }
    return false;
  }

  // Identification lines, then the first key exchange with the host key given.
  bool handshake(SshLoginKey &hostKey) {
    if (!sendRaw(opts.ident + "\r\n")) return false;
    DataBuffer line;
    if (!s.socket.ReadToNextEndOfLine(line, 0, log, nullptr, false)) return false;
    s.clientIdent.clear();
    s.clientIdent.appendN((const char *)line.getData2(), (int)line.getSize());
    s.clientIdent.trimTrailingCRLFs();
    s.serverIdent.setString(opts.ident.c_str());
    if (opts.ident.find("F-SECURE") != std::string::npos) s.serverHasHmacBug = true;
    if (opts.ignoreBeforeKexInit && !sendIgnore()) return false;
    return keyExchange(hostKey, true);
  }

  // One key exchange: our KEXINIT first when we start it.
  bool keyExchange(SshLoginKey &hostKey, bool first) {
    DataBuffer kexinit, msg;
    kexinit.appendChar(20);
    kexinit.appendCharN(0, 16);
    std::string kexList =
        opts.kex == 1 ? "diffie-hellman-group1-sha1" : "diffie-hellman-group14-sha1";
    if (opts.strictKex && first) kexList += ",kex-strict-s-v00@openssh.com";
    for (const char *l : {kexList.c_str(), "ssh-rsa", opts.cipherName, opts.cipherName,
                          opts.macName, opts.macName, "none", "none", "", ""})
      SshTransport::pack_string(l, kexinit);
    SshTransport::pack_bool(false, kexinit);
    SshTransport::pack_uint32(0, kexinit);
    s.serverKexInit.clear();
    s.serverKexInit.append(kexinit);
    if (!send(kexinit)) return false;
    if (!first && opts.afterKexInit && !opts.afterKexInit(*this)) return false;
    if (!readType(20, msg)) return false;
    s.clientKexInit.clear();
    s.clientKexInit.append(msg);
    if (!readType(30, msg)) return false;
    unsigned int idx = 1;
    unsigned int *e = SshTransport::parseBignum(msg, idx, log);
    s.dh.UseOakleyGroup(opts.kex == 1 ? 2 : 14);
    bool ok = e && s.dh.create_E(320);
    DataBuffer f;
    SshTransport::pack_bignum(s.dh.get_e(), f);
    if (opts.badF) {
      f.clear();
      SshTransport::pack_binString((const unsigned char *)"\x01", 1, f);
    }
    ok = ok && s.dh.find_K(e);
    DataBuffer blob, h;
    SshKeyBlob::rsaPublicBlob(hostKey.key, blob);
    SshTransport::pack_sb(s.clientIdent, h);
    SshTransport::pack_sb(s.serverIdent, h);
    SshTransport::pack_db(s.clientKexInit, h);
    SshTransport::pack_db(s.serverKexInit, h);
    SshTransport::pack_db(blob, h);
    SshTransport::pack_bignum(e, h);
    h.append(f);
    SshTransport::pack_bignum(s.dh.get_K(), h);
    RazudodBignum::freebn(e);
    s.exchangeHash.clear();
    Sha1::sha1_db(h, s.exchangeHash);
    if (first) {
      s.sessionId.clear();
      s.sessionId.append(s.exchangeHash);
    }
    DataBuffer hh, sig, sigBlob, reply;
    Sha1::sha1_db(s.exchangeHash, hh);
    ok = ok && Rsa2::padAndSignHash(hh.getData2(), hh.getSize(), 1, _ckHash::hashId("sha1"), 0,
                                    hostKey.key, 1, false, sig, log);
    SshTransport::pack_string(opts.sigName.c_str(), sigBlob);
    SshTransport::pack_db(sig, sigBlob);
    reply.appendChar(31);
    SshTransport::pack_db(blob, reply);
    reply.append(f);
    SshTransport::pack_db(sigBlob, reply);
    if (!ok || !send(reply)) return false;
    // Our keys are the client's with the directions swapped.
    s.kexAlgorithm = opts.kex;
    s.pendingCipherIn = s.pendingCipherOut = opts.cipher;
    s.pendingMacIn = s.pendingMacOut = opts.mac;
    s.calculateKeys(log);
    swapDb(s.ivClientToServer, s.ivServerToClient);
    swapDb(s.encKeyClientToServer, s.encKeyServerToClient);
    swapDb(s.macKeyClientToServer, s.macKeyServerToClient);
    if (first) s.strictKex = opts.strictKex;
    if (!readType(21, msg)) return false;
    s.installIncomingKeys(log);
    if (first && opts.ignoreBeforeNewKeys && !sendIgnore()) return false;
    if (!first && opts.beforeNewKeys && !opts.beforeNewKeys(*this)) return false;
    return s.sendNewKeys(nullptr, log, false);
  }

  bool sendIgnore() {
    DataBuffer ig;
    ig.appendChar(2);
    SshTransport::pack_string("slipped in", ig);
    return send(ig);
  }

  static void swapDb(DataBuffer &a, DataBuffer &b) {
    DataBuffer t;
    t.append(a);
    a.clear();
    a.append(b);
    b.clear();
    b.append(t);
  }

  FakeSshOptions opts;
  int port = 0;
  std::vector<unsigned int> received; // types of the messages read, in order
  SshTransport s;
  LogNull log;

private:
  int listenFd_ = -1;
  std::thread thread_;
};

} // namespace testsupport
