// What the dispatcher keeps of the messages it cannot hand to the caller at once: channel data
// only within the window granted, other messages within the queue's bounds, and nothing that no
// later read would take (window adjustments count for their channel at once; extended data that
// was set aside is given back to the window when the channel is read).
#include <gtest/gtest.h>

#include <functional>

#include "sshlib/ssh/SshChannel.h"
#include "tests/support/FakeSshServer.h"

using namespace testsupport;

namespace {

// Sends a channel message: type, recipient channel, then the rest as it stands.
bool sendChannel(FakeSshServer &f, unsigned char type, unsigned int channel,
                 const std::string &rest = "") {
  DataBuffer m;
  m.appendChar(type);
  SshTransport::pack_uint32(channel, m);
  m.append(rest.data(), (unsigned int)rest.size());
  return f.send(m);
}

std::string u32(unsigned int v) {
  DataBuffer d;
  SshTransport::pack_uint32(v, d);
  return std::string((const char *)d.getData2(), d.getSize());
}

std::string sshString(const std::string &s) {
  return u32((unsigned int)s.size()) + s;
}

// Two open channels of the client: A (ours 5, the server's 9) and B (6, 10).
struct TwoChannels {
  SshChannel a, b;
  explicit TwoChannels(SshTransport &t, unsigned int window) {
    for (auto [ch, ours, theirs] : {std::tuple{&a, 5u, 9u}, std::tuple{&b, 6u, 10u}}) {
      ch->clientChannelNum = ours;
      ch->serverChannelNum = theirs;
      ch->initialWindowSize = ch->m_curClientWinSize = window;
      ch->m_curServerWinSize = 1000;
      t.channelOpened(*ch);
    }
  }
};

bool readData(SshTransport &t, SshChannel &ch, std::string &got, LogBase &log) {
  DataBuffer data;
  bool eof = false, close = false, disc = false;
  SocketReadFailInfo fi;
  bool ok = t.readChannelData(ch, data, eof, close, nullptr, log, disc, fi, false);
  got.assign((const char *)data.getData2(), data.getSize());
  return ok;
}

TEST(SshDispatchBounds, WhatCannotBeHandedOverAtOnce) {
  static SshLoginKey key;
  ASSERT_TRUE(key.ok);
  struct Case {
    const char *name;
    unsigned int window; // granted to the server on both channels
    // Sent after the handshake; the client's read of channel A follows.
    std::function<bool(FakeSshServer &)> script;
    // The client's side once the server is done: reads channel A and checks what it got.
    std::function<void(SshTransport &, TwoChannels &, CaptureLog &)> check;
  } cases[] = {
      {"a window adjustment for another channel counts for it at once", 100000,
       [](FakeSshServer &f) {
         return sendChannel(f, 93, 6, u32(5000)) && sendChannel(f, 94, 5, sshString("x"));
       },
       [](SshTransport &t, TwoChannels &c, CaptureLog &log) {
         std::string got;
         ASSERT_TRUE(readData(t, c.a, got, log)) << log.text;
         EXPECT_EQ(got, "x");
         EXPECT_EQ(c.b.m_curServerWinSize, 6000u);
         EXPECT_EQ(t.queuedMessages.getSize(), 0);
       }},
      {"extended data set aside is dropped when the channel is read, its bytes given back", 100000,
       [](FakeSshServer &f) {
         return sendChannel(f, 95, 5, u32(1) + sshString(std::string(3000, 'e'))) &&
                sendChannel(f, 93, 5, u32(10)) && sendChannel(f, 94, 5, sshString("after"));
       },
       [](SshTransport &t, TwoChannels &c, CaptureLog &log) {
         // Waiting for window, the client sets the extended data aside.
         bool eof = false, close = false, disc = false;
         SocketReadFailInfo fi;
         ASSERT_TRUE(t.readWindowAdjust(c.a, eof, close, nullptr, log, disc, fi, false));
         std::string got;
         ASSERT_TRUE(readData(t, c.a, got, log)) << log.text;
         EXPECT_EQ(got, "after");
         EXPECT_EQ(t.queuedMessages.getSize(), 0);
         EXPECT_EQ(c.a.m_unreadBytes, 0u);
         EXPECT_EQ(c.a.m_curClientWinSize, 100000u - 3000u - 5u);
       }},
      {"data beyond the window ends the session as it arrives", 1000,
       [](FakeSshServer &f) {
         // The client waits for a channel request's reply meanwhile.
         for (int i = 0; i < 3; ++i)
           if (!sendChannel(f, 94, 5, sshString(std::string(600, 'd')))) return false;
         return sendChannel(f, 99, 5);
       },
       [](SshTransport &t, TwoChannels &c, CaptureLog &log) {
         DataBuffer reply;
         bool disc = false;
         SocketReadFailInfo fi;
         EXPECT_FALSE(t.readChannelResponse(c.a, reply, nullptr, log, disc, fi, false));
         EXPECT_TRUE(log.has("Server sent more data than the channel window allows.")) << log.text;
         EXPECT_TRUE(fi.connectionClosed);
         EXPECT_FALSE(t.socket.isSock());
       }},
      {"messages for another channel beyond the queue's bounds end the session", 100000,
       [](FakeSshServer &f) {
         for (int i = 0; i < 6000; ++i)
           if (!sendChannel(f, 99, 6)) return true; // the client has gone
         return sendChannel(f, 94, 5, sshString("x"));
       },
       [](SshTransport &t, TwoChannels &c, CaptureLog &log) {
         std::string got;
         EXPECT_FALSE(readData(t, c.a, got, log));
         EXPECT_TRUE(log.has("Too many messages are waiting for a later read.")) << log.text.size();
         EXPECT_FALSE(t.socket.isSock());
       }},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    FakeSshServer server([&](FakeSshServer &f) {
      DataBuffer m;
      if (!f.handshake(key) || !c.script(f)) return;
      while (f.read(m)) {
      }
    });
    SshTransport t;
    CaptureLog log;
    ASSERT_TRUE(sshConnectTo(t, server.port, log)) << log.text;
    TwoChannels channels(t, c.window);
    c.check(t, channels, log);
    t.forcefulClose(log);
  }
}

} // namespace
