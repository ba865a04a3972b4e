// A re-key the server starts while it goes on sending: it repeats its KEXINIT before it has read
// ours and sends channel data in the middle of the exchange (as ProFTPD does for some clients).
#include <gtest/gtest.h>

#include <algorithm>

#include "sshlib/ssh/SshChannel.h"
#include "tests/support/FakeSshServer.h"

using namespace testsupport;

namespace {

constexpr unsigned int kOurChannel = 5, kServerChannel = 9;

bool sendData(FakeSshServer &f, const char *text) {
  DataBuffer m;
  m.appendChar(94);
  SshTransport::pack_uint32(kOurChannel, m);
  SshTransport::pack_string(text, m);
  return f.send(m);
}

TEST(SshRekey, ServerRepeatingKexInitAndSendingDataMidExchange) {
  static SshLoginKey key;
  ASSERT_TRUE(key.ok);
  struct Case {
    const char *name;
    int repeats;    // KEXINITs the server sends again before reading ours
    int dataMidway; // channel data messages among them
  } cases[] = {{"plain re-key", 0, 0},
               {"data during the exchange", 0, 3},
               {"repeated KEXINITs", 3, 0},
               {"repeats and data interleaved", 4, 4}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    FakeSshOptions o;
    std::vector<std::string> sent = {"before"};
    for (int i = 0; i < c.dataMidway; ++i)
      sent.push_back("during-" + std::to_string(i));
    sent.push_back("after");
    o.afterKexInit = [&](FakeSshServer &f) {
      for (int i = 0; i < std::max(c.repeats, c.dataMidway); ++i) {
        if (i < c.repeats) {
          // Another cookie: the exchange is signed over the last KEXINIT the server sent.
          DataBuffer again;
          again.append(f.s.serverKexInit);
          again.getData2()[1] = (unsigned char)(i + 1);
          if (!f.send(again)) return false;
          f.s.serverKexInit.clear();
          f.s.serverKexInit.append(again);
        }
        if (i < c.dataMidway && !sendData(f, sent[1 + i].c_str())) return false;
      }
      return true;
    };
    FakeSshServer server(
        [&](FakeSshServer &f) {
          DataBuffer m;
          if (!f.handshake(key) || !sendData(f, "before") || !f.keyExchange(key, false)) return;
          sendData(f, "after");
          f.read(m); // the client's next message, if it sends one
        },
        o);
    SshTransport t;
    CaptureLog log;
    ASSERT_TRUE(sshConnectTo(t, server.port, log)) << log.text;
    SshChannel ch;
    ch.clientChannelNum = kOurChannel;
    ch.serverChannelNum = kServerChannel;
    ch.m_curClientWinSize = 1 << 20;
    t.channelOpened(ch);
    std::vector<std::string> got;
    for (size_t i = 0; i < sent.size(); ++i) {
      DataBuffer data;
      bool eof = false, close = false, disc = false;
      SocketReadFailInfo fi;
      ASSERT_TRUE(t.readChannelData(ch, data, eof, close, nullptr, log, disc, fi, false))
          << i << log.text;
      got.emplace_back((const char *)data.getData2(), data.getSize());
    }
    // Every byte, in the order sent, and the exchange finished with the new keys.
    EXPECT_EQ(got, sent);
    EXPECT_FALSE(t.rekeyRunning);
    DataBuffer ignore;
    ASSERT_TRUE(t.sendIgnoreMsg(ignore, nullptr, log, false));
    server.join();
    // One KEXINIT of ours per exchange, whatever the server repeats.
    EXPECT_EQ(std::count(server.received.begin(), server.received.end(), 20u), 2) << log.text;
    EXPECT_EQ(server.received.back(), 2u) << "the client's IGNORE under the new keys";
    t.forcefulClose(log);
  }
}

} // namespace

namespace {

TEST(SshRekey, AnswersOwedDuringTheExchangeWaitForItsEnd) {
  // Only transport and key-exchange messages may follow our KEXINIT until our NEWKEYS: a
  // request the server makes in between is answered right after our NEWKEYS.
  static SshLoginKey key;
  ASSERT_TRUE(key.ok);
  FakeSshOptions o;
  o.afterKexInit = [](FakeSshServer &f) {
    DataBuffer global, channelRequest;
    global.appendChar(80);
    SshTransport::pack_string("probe@example.com", global);
    SshTransport::pack_bool(true, global);
    channelRequest.appendChar(98);
    SshTransport::pack_uint32(kOurChannel, channelRequest);
    SshTransport::pack_string("x-probe@example.com", channelRequest);
    SshTransport::pack_bool(true, channelRequest);
    return f.send(global) && f.send(channelRequest);
  };
  FakeSshServer server(
      [](FakeSshServer &f) {
        DataBuffer m;
        if (!f.handshake(key) || !f.keyExchange(key, false) || !sendData(f, "after")) return;
        while (std::count(f.received.begin(), f.received.end(), 100u) == 0 && f.read(m)) {
        }
      },
      o);
  SshTransport t;
  CaptureLog log;
  ASSERT_TRUE(sshConnectTo(t, server.port, log)) << log.text;
  SshChannel ch;
  ch.clientChannelNum = kOurChannel;
  ch.serverChannelNum = kServerChannel;
  ch.m_curClientWinSize = 1 << 20;
  t.channelOpened(ch);
  DataBuffer data;
  bool eof = false, close = false, disc = false;
  SocketReadFailInfo fi;
  ASSERT_TRUE(t.readChannelData(ch, data, eof, close, nullptr, log, disc, fi, false)) << log.text;
  EXPECT_EQ(std::string((const char *)data.getData2(), data.getSize()), "after");
  server.join();
  const auto &got = server.received;
  auto lastNewKeys = std::find(got.rbegin(), got.rend(), 21u);
  auto requestFailure = std::find(got.begin(), got.end(), 82u);
  auto channelFailure = std::find(got.begin(), got.end(), 100u);
  ASSERT_TRUE(lastNewKeys != got.rend() && requestFailure != got.end() &&
              channelFailure != got.end());
  const long newKeysAt = got.rend() - lastNewKeys - 1;
  EXPECT_GT(requestFailure - got.begin(), newKeysAt);
  EXPECT_GT(channelFailure - got.begin(), requestFailure - got.begin());
  EXPECT_TRUE(t.heldReplies.empty());
  t.forcefulClose(log);
}

} // namespace
