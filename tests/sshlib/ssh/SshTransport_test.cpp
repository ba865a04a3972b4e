#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "sshlib/ssh/SshChannel.h"
#include "tests/support/CryptoTestSupport.h"
#include "tests/support/FakeSshServer.h"

using namespace testsupport;

namespace {

std::string hex(const DataBuffer &d) {
  StringBuffer sb;
  d.toHexString(sb);
  return sb.getString();
}

// Two transports joined by a socket pair, with no keys: one plays the server.
struct Pair {
  SshTransport client, server;
  CaptureLog log;
  Pair() {
    int fds[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
    for (auto [t, fd] : {std::pair{&client, fds[0]}, std::pair{&server, fds[1]}}) {
      t->socket.socketFd = fd;
      t->socket.isConnected = true;
      t->setTimeouts(2000, 2000);
    }
  }
  void rawToClient(const std::string &b) {
    ASSERT_EQ(write(server.socket.socketFd, b.data(), b.size()), (ssize_t)b.size());
  }
  bool serverSends(std::initializer_list<unsigned char> head, const char *str = nullptr,
                   int boolean = -1) {
    DataBuffer m;
    for (unsigned char c : head)
      m.appendChar(c);
    if (str) SshTransport::pack_string(str, m);
    if (boolean >= 0) SshTransport::pack_bool(boolean, m);
    return server.sendMessage("test", m, nullptr, log, false);
  }
  unsigned int read(int wait, SshChannel *ch, bool &ok, bool &satisfied) {
    DataBuffer out;
    unsigned int type = 0;
    bool eof, close, disc;
    SocketReadFailInfo fi;
    ok = client.generalizedRead(wait, 0, 2000, ch, eof, close, out, type, disc, nullptr, log, fi,
                                satisfied, false);
    return type;
  }
  // The next message the server side receives, or 0 when none came.
  unsigned int serverGets() {
    DataBuffer m;
    return server.readRawPacket(m, 300, nullptr, log, false) ? SshTransport::msgType(m) : 0;
  }
};

TEST(SshWire, PackAndParseAtTheLimits) {
  DataBuffer d;
  SshTransport::pack_string(nullptr, d);
  SshTransport::pack_string("", d);
  SshTransport::pack_uint32(1, d);
  SshTransport::pack_int64(-2, d);
  EXPECT_EQ(hex(d), "00000000000000000000000"
                    "1FFFFFFFFFFFFFFFE");
  struct {
    unsigned int declared;
    unsigned int present;
    bool binaryOk;
    bool textOk;
    const char *error;
  } cases[] = {{65000, 65000, true, true, nullptr},
               {65001, 65001, true, false, nullptr},
               {99000000, 0, false, false, "Error 4 parsing binary string"},
               {99000001, 0, false, false, "Error 3 parsing binary string"}};
  for (auto &c : cases) {
    DataBuffer m;
    SshTransport::pack_uint32(c.declared, m);
    m.appendCharN('a', c.present);
    DataBuffer out;
    StringBuffer text;
    CaptureLog log;
    unsigned int i1 = 0, i2 = 0;
    EXPECT_EQ(SshTransport::parseBinaryString(m, i1, out, log), c.binaryOk) << c.declared;
    EXPECT_EQ(SshTransport::parseString(m, i2, text), c.textOk) << c.declared;
    EXPECT_TRUE(!c.error || log.has(c.error)) << log.text;
  }
  DataBuffer shortCh;
  shortCh.appendChar(94);
  shortCh.appendChar(0);
  EXPECT_EQ(SshTransport::parseChannelNum(shortCh), 0xFFFFFFFFu);
  EXPECT_EQ(SshTransport::msgType(DataBuffer()), 999999u);
}

TEST(SshWire, NamesAndSessionLog) {
  StringBuffer n;
  const std::pair<int, const char *> names[] = {{8, "Unknown(8)"},
                                                {7, "Unknown(7)"},
                                                {61, "USERAUTH_INFO_RESPONSE"},
                                                {100, "CHANNEL_FAILURE"}};
  for (auto [number, name] : names) {
    SshTransport::msgTypeName(number, n);
    EXPECT_STREQ(n.getString(), name) << number;
  }
  SshTransport t;
  t.toSessionLog("TRAN< ", "CHANNEL_DATA", "\r\n"); // off: nothing
  t.keepSessionLog = true;
  for (const char *m : {"CHANNEL_DATA", "CHANNEL_DATA", "CHANNEL_DATA", "CHANNEL_EOF"})
    t.toSessionLog("TRAN< ", m, "\r\n");
  t.toSessionLog("TRAN< ", (const char *)nullptr, "\r\n");
  EXPECT_STREQ(t.sessionLog.getString(), "TRAN< CHANNEL_DATA...\r\nTRAN< CHANNEL_EOF\r\n");
  // The second buffer has its own switch; a server's text cannot end a line or forge another.
  t.keepSessionLog = false;
  t.keepSshLog = true;
  t.toSessionLog("TRAN* Reason: ", "bye\r\nTRAN< USERAUTH_SUCCESS\\\x01\xC3\xA9", "\r\n");
  EXPECT_STREQ(t.sshLog.getString(),
               "TRAN* Reason: bye\\r\\nTRAN< USERAUTH_SUCCESS\\x5C\\x01\\xC3\\xA9\r\n");
  EXPECT_STREQ(t.sessionLog.getString(), "TRAN< CHANNEL_DATA...\r\nTRAN< CHANNEL_EOF\r\n");
}

TEST(SshPacket, PaddingAndBoundsOfReceivedPackets) {
  struct {
    unsigned int payload;
    int cipher;
    unsigned int total;
  } sent[] = {{1, 0, 16}, {12, 0, 24}, {1, 2, 16}, {27, 2, 48}};
  for (auto &c : sent) {
    Pair p;
    if (c.cipher) {
      p.client.pendingCipherOut = c.cipher;
      p.client.encKeyClientToServer.appendCharN(1, 16);
      p.client.ivClientToServer.appendCharN(2, 16);
      p.client.installOutgoingKeys(p.log);
    }
    DataBuffer m;
    m.appendCharN(2, c.payload);
    ASSERT_TRUE(p.client.sendMessage("x", m, nullptr, p.log, false));
    unsigned char buf[128];
    EXPECT_EQ(read(p.server.socket.socketFd, buf, sizeof buf), (ssize_t)c.total) << c.payload;
  }
  // Lengths a peer controls: too long (misaligned, and whole blocks but over the bound, which
  // must be refused before its body is waited for), too short, not whole blocks, too little
  // padding.
  auto packet = [](unsigned int len, unsigned char pad, unsigned int bytes) {
    std::string s = {char(len >> 24), char(len >> 16), char(len >> 8), char(len), char(pad)};
    return s + std::string(bytes, '\x02');
  };
  struct {
    std::string bytes;
    bool ok;
    const char *error;
  } received[] = {{packet(12, 4, 11), true, nullptr},
                  {packet(300000, 4, 64), false, "Invalid packet length."},
                  {packet(0x000FFFFC, 4, 64), false, "Invalid packet length."},
                  {packet(8, 4, 7), false, "Invalid packet length."},
                  {packet(13, 4, 12), false, "Invalid packet length."},
                  {packet(12, 3, 11), false, "Packet padding too short."},
                  {packet(12, 11, 11), false, "Payload is empty"}};
  for (auto &c : received) {
    Pair p;
    p.rawToClient(c.bytes);
    DataBuffer payload;
    EXPECT_EQ(p.client.readRawPacket(payload, 0, nullptr, p.log, false), c.ok) << p.log.text;
    EXPECT_TRUE(!c.error || p.log.has(c.error)) << p.log.text;
  }
}

TEST(SshKexInit, ChoosesOursInOurOrder) {
  struct {
    const char *ciphers;
    const char *comp;
    const char *hostKeys;
    bool ok;
    int cipher;
    const char *error;
  } cases[] = {
      {"AES128-CBC,aes256-cbc", "none", "ssh-rsa", true, 1, nullptr},
      {"cast128-cbc", "none", "ssh-rsa", false, 0,
       "Unable to agree upon client-to-server encryption algorithm."},
      {"blowfish-cbc", "zlib", "ssh-dss,ssh-rsa", false, 5,
       "Unable to agree upon server-to-client compression algorithm."},
  };
  for (auto &c : cases) {
    DataBuffer k;
    k.appendChar(20);
    k.appendCharN(7, 16);
    for (const char *l : {"diffie-hellman-group14-sha1", c.hostKeys, c.ciphers, c.ciphers,
                          "hmac-md5", "hmac-md5", c.comp, c.comp, "", ""})
      SshTransport::pack_string(l, k);
    SshTransport::pack_bool(false, k);
    SshTransport t;
    CaptureLog log;
    EXPECT_EQ(t.parseKexInit(k, log), c.ok) << log.text;
    EXPECT_EQ(t.pendingCipherOut, c.cipher);
    EXPECT_EQ(t.kexAlgorithm, 14);
    EXPECT_TRUE(!c.error || log.has(c.error)) << log.text;
    k.shorten(30);
    EXPECT_FALSE(t.parseKexInit(k, log));
    EXPECT_TRUE(log.has("Error in KEXINIT message from server"));
  }
}

// What we offer and choose: the newer algorithms ahead of the old ones (which stay); no MAC for an
// authenticated cipher; markers only in the first KEXINIT; a remembered host-key type first.
TEST(SshKexInit, NewerAlgorithmsFirstAndRememberedHostKeyType) {
  auto lists = [](SshTransport &t) {
    DataBuffer k;
    t.build_kexInit(k);
    unsigned int idx = 17;
    std::vector<std::string> out;
    for (int i = 0; i < 10; ++i) {
      StringBuffer sb;
      EXPECT_TRUE(SshTransport::parseString(k, idx, sb));
      out.push_back(sb.getString());
    }
    return out;
  };
  SshTransport t;
  auto first = lists(t);
  EXPECT_EQ(first[0].rfind("curve25519-sha256,curve25519-sha256@libssh.org,", 0), 0u) << first[0];
  // The group exchanges come after every fixed group; the old ones all stay.
  EXPECT_LT(first[0].find("group14-sha256"), first[0].find("group-exchange"));
  for (const char *old :
       {"diffie-hellman-group-exchange-sha1", "diffie-hellman-group1-sha1",
        "diffie-hellman-group14-sha1", "ext-info-c", "kex-strict-c-v00@openssh.com"})
    EXPECT_NE(first[0].find(old), std::string::npos) << old;
  EXPECT_EQ(first[1].rfind("ssh-ed25519,", 0), 0u) << first[1];
  EXPECT_NE(first[1].find("ssh-dss,ssh-rsa"), std::string::npos) << first[1];
  EXPECT_EQ(first[2].rfind("chacha20-poly1305@openssh.com,", 0), 0u);
  EXPECT_NE(first[2].find("aes256-cbc,aes128-cbc,twofish256-cbc"), std::string::npos);
  EXPECT_EQ(first[4].rfind("hmac-sha2-256-etm@openssh.com,", 0), 0u);
  EXPECT_NE(first[4].find("hmac-sha1,hmac-md5,none"), std::string::npos);
  t.initialKexDone = true;
  EXPECT_EQ(lists(t)[0].find("kex-strict"), std::string::npos);
  EXPECT_EQ(lists(t)[0].find("ext-info-c"), std::string::npos);

  struct {
    const char *remembered;
    bool preferRsa;
    const char *serverHostKeys;
    int chosen;
  } cases[] = {
      {"", false, "rsa-sha2-512,ssh-ed25519,ssh-rsa", SshTransport::kHostEd25519},
      {"ssh-rsa", false, "ssh-ed25519,rsa-sha2-256,ssh-rsa", SshTransport::kHostRsaSha256},
      {"ssh-rsa", false, "ssh-ed25519,ssh-rsa", 1},
      {"ssh-dss", false, "ssh-ed25519,ssh-rsa,ssh-dss", 2},
      {"ecdsa-sha2-nistp384", false, "ssh-ed25519,ecdsa-sha2-nistp384",
       SshTransport::kHostEcdsaP384},
      {"", true, "ssh-ed25519,rsa-sha2-512", SshTransport::kHostRsaSha512},
      {"", false, "ssh-rsa,ssh-dss", 2},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(std::string(c.remembered) + " / " + c.serverHostKeys);
    DataBuffer k;
    k.appendChar(20);
    k.appendCharN(7, 16);
    // An authenticated cipher needs no MAC in common.
    for (const char *l :
         {"curve25519-sha256", c.serverHostKeys, "aes256-gcm@openssh.com", "aes256-gcm@openssh.com",
          "umac-64@openssh.com", "umac-64@openssh.com", "none", "none", "", ""})
      SshTransport::pack_string(l, k);
    SshTransport::pack_bool(false, k);
    SshTransport t2;
    t2.preferredHostKeyType = c.remembered;
    t2.preferRsaHostKey = c.preferRsa;
    CaptureLog log;
    EXPECT_TRUE(t2.parseKexInit(k, log)) << log.text;
    EXPECT_EQ(t2.hostKeyAlgorithm, c.chosen);
    EXPECT_EQ(t2.kexAlgorithm, SshTransport::kKexCurve25519);
    EXPECT_EQ(t2.pendingCipherIn, SshTransport::kCipherAes256Gcm);
    EXPECT_EQ(t2.pendingMacIn, 0);
    EXPECT_FALSE(t2.strictKex);
  }
}

TEST(SshDispatcher, AnswersWhatThePeerAsksAndNothingElse) {
  Pair p;
  SshChannel ch;
  ch.clientChannelNum = 5;
  ch.serverChannelNum = 9;
  bool ok, sat;
  // Keep-alive without want-reply: nothing is sent; with it: one failure answer (after IGNORE).
  ASSERT_TRUE(p.serverSends({98, 0, 0, 0, 5}, "keepalive@openssh.com", 0));
  ASSERT_TRUE(p.serverSends({2, 0, 0, 0, 0}));
  EXPECT_EQ(p.read(99, &ch, ok, sat), 98u);
  EXPECT_EQ(p.read(99, &ch, ok, sat), 2u);
  EXPECT_EQ(p.serverGets(), 0u);
  ASSERT_TRUE(p.serverSends({98, 0, 0, 0, 5}, "keepalive@openssh.com", 1));
  ASSERT_TRUE(p.serverSends({98, 0, 0, 0, 5}, "x-unknown@example.com", 1));
  p.read(99, &ch, ok, sat);
  p.read(99, &ch, ok, sat);
  EXPECT_EQ(p.serverGets(), 2u);
  EXPECT_EQ(p.serverGets(), 100u);
  EXPECT_EQ(p.serverGets(), 100u);
  // A message number nobody knows gets UNIMPLEMENTED; data for a channel never opened is dropped.
  ASSERT_TRUE(p.serverSends({199}));
  EXPECT_TRUE(p.read(3, &ch, ok, sat) == 0 && ok && !sat);
  EXPECT_EQ(p.serverGets(), 3u);
  ASSERT_TRUE(p.serverSends({94, 0, 0, 0, 7}, "data"));
  ASSERT_TRUE(p.serverSends({94, 0, 0, 0, 5}, "data"));
  EXPECT_EQ(p.read(3, &ch, ok, sat), 94u);
  EXPECT_EQ(p.client.queuedMessages.getSize(), 0);
  EXPECT_TRUE(p.log.has("Received a message for a channel that is not open."));
  // DISCONNECT ends the call and closes the socket.
  DataBuffer d;
  d.appendChar(1);
  SshTransport::pack_uint32(11, d);
  SshTransport::pack_string("bye", d);
  SshTransport::pack_string("", d);
  ASSERT_TRUE(p.server.sendMessage("DISCONNECT", d, nullptr, p.log, false));
  p.read(99, &ch, ok, sat);
  EXPECT_FALSE(ok);
  EXPECT_EQ(p.client.disconnectCode, 11u);
  EXPECT_STREQ(p.client.disconnectReason.getString(), "bye");
  EXPECT_EQ(p.client.socket.socketFd, -1);
}

TEST(SshConnect, BindAddressAndProxyChoice) {
  SshTransport t;
  t.setClientIp(" http://127.0.0.1/ ");
  EXPECT_STREQ(t.socket.bindIpAddress.getString(), "127.0.0.1");
  ClsSocksClient socks;
  socks.put_SocksVersion(6);
  EXPECT_EQ(socks.get_SocksVersion(), 0);
  // A proxy that cannot be used fails the connect; it never silently goes direct.
  socks.put_SocksVersion(5);
  CaptureLog log;
  SocketReadFailInfo fi;
  t.hostname.setString("127.0.0.1");
  EXPECT_FALSE(t.sshConnect(socks, nullptr, nullptr, log, fi, false));
  EXPECT_TRUE(log.has("No SOCKS5 hostname and/or port")) << log.text;
}

// ---- Against the scripted server.

struct FakeCase {
  const char *name;
  FakeSshOptions opts;
  FakeSshServer::Script script;
  bool connects;
  bool roundTrip;
  const char *clientLog;
};

// Serves one SERVICE_REQUEST.
void serveOne(FakeSshServer &f) {
  DataBuffer m;
  if (f.readType(5, m)) {
    DataBuffer a;
    a.appendChar(6);
    SshTransport::pack_string("ssh-userauth", a);
    f.send(a);
  }
}

TEST(SshTransportFake, QuirksRefusalsAndTampering) {
  static SshLoginKey key1, key2(3072);
  ASSERT_TRUE(key1.ok && key2.ok);
  FakeSshOptions noMac, hmacBug, ssh1, base, badF;
  badF.badF = true;
  noMac.mac = 0;
  noMac.macName = "none";
  hmacBug.ident = "SSH-2.0-3.2.9 F-SECURE SSH 2.1 something";
  ssh1.ident = "SSH-1.5-OldServer";
  FakeSshOptions strict, strictSlipped, strictLate, slippedNotStrict;
  strict.strictKex = strictSlipped.strictKex = strictLate.strictKex = true;
  strictSlipped.ignoreBeforeNewKeys = slippedNotStrict.ignoreBeforeNewKeys = true;
  strictLate.ignoreBeforeKexInit = true;
  FakeSshOptions switchEarly;
  // Between the client's NEWKEYS and ours the client must already send under its new keys.
  switchEarly.beforeNewKeys = [](FakeSshServer &f) {
    DataBuffer g, r;
    g.appendChar(80);
    SshTransport::pack_string("probe@example.com", g);
    SshTransport::pack_bool(true, g);
    return f.send(g) && f.readType(82, r);
  };
  std::vector<FakeCase> cases = {
      {"mac none", noMac, [](FakeSshServer &f) { f.handshake(key1) && (serveOne(f), true); }, true,
       true, "MAC: None"},
      {"hmac bug", hmacBug, [](FakeSshServer &f) { f.handshake(key1) && (serveOne(f), true); },
       true, true, "Shortened HMAC key by 4 bytes for buggy server."},
      {"ssh-1", ssh1, [](FakeSshServer &f) { f.sendRaw("SSH-1.5-OldServer\r\n"); }, false, false,
       "The older SSH v1.* protocol is not supported."},
      {"pre-lines", base,
       [](FakeSshServer &f) {
         for (int i = 0; i < 200; ++i)
           f.sendRaw("hello\r\n");
       },
       false, false, "Too many lines before the server's identification."},
      {"control bytes in a pre-line", base,
       [](FakeSshServer &f) {
         f.sendRaw("note\x1b]0;x\x07 \rforged\r\n");
         f.handshake(key1) && (serveOne(f), true);
       },
       true, true, "initialDataFromSshServer: note\\x1B]0;x\\x07 \\rforged"},
      {"f out of range", badF, [](FakeSshServer &f) { f.handshake(key1); }, false, false,
       "The server's Diffie-Hellman value is not acceptable."},
      {"tampered mac", base,
       [](FakeSshServer &f) {
         if (!f.handshake(key1)) return;
         DataBuffer wrongKey;
         wrongKey.appendCharN(9, 20);
         f.s.outMac.init(SshMac::Hash::Sha1, wrongKey.getData2(), wrongKey.getSize());
         DataBuffer ig;
         ig.appendChar(2);
         SshTransport::pack_string("x", ig);
         f.send(ig);
       },
       true, false, "MAC verification failed."},
      {"oversize", base,
       [](FakeSshServer &f) {
         if (f.handshake(key1))
           f.sendEncrypted(std::string("\x00\x10\x00\x00", 4) + std::string(60, 'a'));
       },
       true, false, "Invalid packet length."},
      {"host key changed at re-key", base,
       [](FakeSshServer &f) {
         DataBuffer m;
         f.handshake(key1) && f.readType(5, m) && f.keyExchange(key2, false);
       },
       true, false, "The server presented a different host key in a re-key."},
      // Strict key exchange: sequence numbers start again at each NEWKEYS; a message slipped
      // into the first exchange, or ahead of the server's KEXINIT, ends the connection. Without
      // it the slipped message is passed over as before.
      {"strict", strict, [](FakeSshServer &f) { f.handshake(key1) && (serveOne(f), true); }, true,
       true, "Strict key exchange in force."},
      {"strict, IGNORE before NEWKEYS", strictSlipped, [](FakeSshServer &f) { f.handshake(key1); },
       false, false, "Unexpected message during strict key exchange."},
      {"strict, IGNORE before KEXINIT", strictLate, [](FakeSshServer &f) { f.handshake(key1); },
       false, false, "The server sent other messages before its KEXINIT"},
      {"IGNORE before NEWKEYS, not strict", slippedNotStrict,
       [](FakeSshServer &f) { f.handshake(key1) && (serveOne(f), true); }, true, true,
       "SSH Key Exchange Success."},
      {"keys switch after our NEWKEYS", switchEarly,
       [](FakeSshServer &f) {
         DataBuffer m, a;
         a.appendChar(6);
         SshTransport::pack_string("ssh-userauth", a);
         f.handshake(key1) && f.readType(5, m) && f.keyExchange(key1, false) && f.send(a);
       },
       true, true, "Return condition still not satisfied..."},
  };
  for (auto &c : cases) {
    FakeSshServer server(c.script, c.opts);
    SshTransport t;
    CaptureLog log;
    EXPECT_EQ(sshConnectTo(t, server.port, log), c.connects) << c.name << "\n" << log.text;
    EXPECT_EQ(c.connects && sshServiceRoundTrip(t, log), c.roundTrip) << c.name << log.text;
    EXPECT_TRUE(log.has(c.clientLog)) << c.name << "\n" << log.text;
    EXPECT_TRUE(!c.connects || c.roundTrip || t.socket.socketFd == -1) << c.name;
    t.forcefulClose(log);
  }
}

} // namespace

namespace {

// Test keys with values whose top bits are set, so that their mpints carry a leading zero byte.
// The expected blobs were written out independently of the library.
const std::string kRsaXml =
    "<RSAKeyValue><Modulus>tlvwto11bohRujp8h4FqmQ==</Modulus><Exponent>AQAB</Exponent>"
    "<P>8eLTxLWml5M=</P><Q>wP/uEjRWeKM=</Q><DP>i/eoeQRwIPc=</DP><DQ>nH3o+HHfu6k=</DQ>"
    "<InverseQ>CjvjKgYFjp4=</InverseQ><D>YBS9FVIfB2cClgDJMd8kSQ==</D></RSAKeyValue>";
const char *kRsaPrivateBlob = "000000106014bd15521f0767029600c931df24490000000900f1e2d3c4b5a69793"
                              "0000000900c0ffee12345678a3000000080a3be32a06058e9e";
const char *kRsaPublicBlob =
    "000000077373682d727361000000030100010000001100b65bf0b68d756e8851ba3a7c87816a99";
const std::string kDsaXml =
    "<DSAKeyValue><P>46Gyw9Tl9gcYKTpLXG1+pw==</P><Q>mot8bV5POkU=</Q><G>ASNFZ4mrze8=</G>"
    "<Y>JhR5l3pAt5M76H/2jjlPkg==</Y><X>iHdmVUQzIhE=</X></DSAKeyValue>";
const char *kDsaPrivateBlob = "00000009008877665544332211";
const char *kDsaPublicBlob =
    "000000077373682d6473730000001100e3a1b2c3d4e5f60718293a4b5c6d7ea700000009009a8b7c6d5e4f3a4500"
    "0000080123456789abcdef00000010261479977a40b7933be87ff68e394f92";

std::string without(std::string xml, const std::string &element) {
  size_t a = xml.find("<" + element + ">"), b = xml.find("</" + element + ">");
  return xml.erase(a, b + element.size() + 3 - a);
}
std::string replaced(std::string xml, const std::string &from, const std::string &to) {
  return xml.replace(xml.find(from), from.size(), to);
}

} // namespace

TEST(SshKeyBlobs, XmlKeyTextToPrivateAndPublicBlobs) {
  struct Case {
    const char *name;
    std::string xml;
    const char *privateBlob, *publicBlob; // null: refused
    const char *error;
  } cases[] = {
      {"RSA", kRsaXml, kRsaPrivateBlob, kRsaPublicBlob, nullptr},
      {"RSA without InverseQ (computed)", without(kRsaXml, "InverseQ"), kRsaPrivateBlob,
       kRsaPublicBlob, nullptr},
      {"RSA with line breaks", replaced(kRsaXml, "<D>", "\n<D>\n"), kRsaPrivateBlob, kRsaPublicBlob,
       nullptr},
      {"DSA", kDsaXml, kDsaPrivateBlob, kDsaPublicBlob, nullptr},
      {"RSA public key only", without(kRsaXml, "D"), nullptr, kRsaPublicBlob,
       "Failed to convert RSA key from XML."},
      {"DSA public key only", without(kDsaXml, "X"), nullptr, kDsaPublicBlob,
       "Failed to convert DSA key from XML."},
      {"RSA without Modulus", without(kRsaXml, "Modulus"), nullptr, nullptr,
       "Failed to convert RSA key from XML."},
      {"RSA without P", without(kRsaXml, "P"), nullptr, nullptr,
       "Failed to convert RSA key from XML."},
      {"RSA whose P and Q do not make the modulus",
       replaced(kRsaXml, "wP/uEjRWeKM=", "wP/uEjRWeKU="), nullptr, nullptr,
       "Failed to convert RSA key from XML."},
      {"RSA with a wrong InverseQ", replaced(kRsaXml, "CjvjKgYFjp4=", "CjvjKgYFjp8="), nullptr,
       kRsaPublicBlob, "Failed to convert RSA key from XML."},
      {"RSA with a D that is not Base64", replaced(kRsaXml, "YBS9FVIfB2cClgDJMd8kSQ==", "*"),
       nullptr, nullptr, "Failed to convert RSA key from XML."},
      {"DSA without Y", without(kDsaXml, "Y"), nullptr, nullptr,
       "Failed to convert DSA key from XML."},
      {"RSA text that is not XML", "RSAKeyValue", nullptr, nullptr,
       "Failed to convert RSA key from XML."},
      {"RSA name on another root", "<Key><RSAKeyValue/></Key>", nullptr, nullptr,
       "Failed to convert RSA key from XML."},
      {"neither kind", "<ECKeyValue><X>AQ==</X></ECKeyValue>", nullptr, nullptr,
       "XML root tag must be RSAKeyValue or DSAKeyValue"},
      {"empty text", "", nullptr, nullptr, "XML root tag must be RSAKeyValue or DSAKeyValue"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    StringBuffer xml(c.xml.c_str());
    // The blobs are appended; a refusal leaves what was there.
    for (auto [convert, expected] : {std::pair{&SshTransport::xmlToPrivateKeyBlob, c.privateBlob},
                                     std::pair{&SshTransport::xmlToPublicKeyBlob, c.publicBlob}}) {
      ErrorLines log;
      DataBuffer blob;
      blob.appendChar(0xEE);
      EXPECT_EQ(convert(xml, blob, log), expected != nullptr) << log.errors;
      EXPECT_EQ(hexOf(blob), std::string("ee") + (expected ? expected : ""));
      if (!expected) {
        EXPECT_TRUE(log.has(c.error)) << log.errors;
      }
    }
  }
}

TEST(SshKeyBlobs, BlobsBackToXmlKeyText) {
  ErrorLines log;
  // RSA: the public blob and the private part make the whole key again.
  DataBuffer pub, priv, again;
  hexTo(kRsaPublicBlob, pub);
  hexTo(kRsaPrivateBlob, priv);
  StringBuffer xml("left over");
  int keyType = -1;
  unsigned int exponent = 1;
  ASSERT_TRUE(SshTransport::publicKeyBlobToXml(pub, xml, keyType, exponent, log)) << log.errors;
  EXPECT_EQ(keyType, 0);
  EXPECT_EQ(exponent, 65537u);
  EXPECT_STREQ(xml.getString(), "<RSAKeyValue><Modulus>tlvwto11bohRujp8h4FqmQ==</Modulus>"
                                "<Exponent>AQAB</Exponent></RSAKeyValue>");
  ASSERT_TRUE(SshTransport::privateKeyBlobToXml(0, priv, exponent, xml, log)) << log.errors;
  EXPECT_EQ(std::string(xml.getString()), kRsaXml);
  ASSERT_TRUE(SshTransport::xmlToPrivateKeyBlob(xml, again, log));
  EXPECT_EQ(hexOf(again), kRsaPrivateBlob);
  // DSA: the public key's XML, and the private part as a fragment for the caller to join.
  hexTo(kDsaPublicBlob, pub);
  hexTo(kDsaPrivateBlob, priv);
  ASSERT_TRUE(SshTransport::publicKeyBlobToXml(pub, xml, keyType, exponent, log));
  EXPECT_EQ(keyType, 1);
  EXPECT_EQ(exponent, 0u);
  EXPECT_EQ(std::string(xml.getString()), without(kDsaXml, "X"));
  again.clear();
  ASSERT_TRUE(SshTransport::xmlToPublicKeyBlob(xml, again, log));
  EXPECT_EQ(hexOf(again), kDsaPublicBlob);
  ASSERT_TRUE(SshTransport::privateKeyBlobToXml(1, priv, 0, xml, log));
  EXPECT_STREQ(xml.getString(), "<DsaPrivate><X>iHdmVUQzIhE=</X></DsaPrivate>");
  // Short or malformed blobs are refused.
  for (const char *bad :
       {"", "00000007737368", "000000077373682d72736100000003010001", kRsaPrivateBlob + 2}) {
    SCOPED_TRACE(bad);
    hexTo(bad, pub);
    EXPECT_FALSE(SshTransport::publicKeyBlobToXml(pub, xml, keyType, exponent, log));
    EXPECT_FALSE(SshTransport::privateKeyBlobToXml(0, pub, 65537, xml, log));
  }
}
