// The listening socket: binding free and busy ports, the port override for tests, accepting real
// clients, Bonjour refusals and the address texts shown to the user.
#include "app/foundation/TCPServer.h"

#include "tests/support/TestSupport.h"

#include "platform/foundation/Log.h"
#include "platform/foundation/RunLoop.h"
#include "platform/net/InterfaceAddresses.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace platform;
using namespace platform::net;

namespace {

constexpr Duration kLimit = std::chrono::seconds(20); // only a broken server waits this long

struct Recorder : TCPServerDelegate {
  std::vector<std::pair<std::shared_ptr<SocketInputStream>, std::shared_ptr<SocketOutputStream>>>
      accepted;
  std::vector<std::string> published;
  std::vector<std::map<std::string, long>> failures;
  void didAcceptConnectionForServer(TCPServer &, std::shared_ptr<SocketInputStream> in,
                                    std::shared_ptr<SocketOutputStream> out) override {
    accepted.emplace_back(in, out);
  }
  void serverDidEnableBonjour(TCPServer &, const std::string &name) override {
    published.push_back(name);
  }
  void didNotEnableBonjour(TCPServer &, const std::map<std::string, long> &error) override {
    failures.push_back(error);
  }
};

// A blocking client socket connected to 127.0.0.1:port; -1 when refused.
int connectTo(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

InterfaceAddress iface(const std::string &name, const std::string &address, bool loopback = false) {
  InterfaceAddress a;
  a.interfaceName = name;
  a.address = *parseIPv4(address);
  a.netmask = *parseIPv4("255.255.255.0");
  a.isLoopback = loopback;
  return a;
}

class TCPServerTest : public ::testing::Test {
protected:
  void SetUp() override {
    RunLoop::makeMainThread();
    loop = RunLoop::current();
  }
  void TearDown() override {
    setInterfaceAddressSource(nullptr);
    TCPServer::setPortOverride(2121, std::nullopt);
    TCPServer::setPortOverride(8080, std::nullopt);
    loop->runPending();
  }
  std::shared_ptr<RunLoop> loop;
  std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
};

} // namespace

TEST_F(TCPServerTest, FreePortIsBoundAndRealClientsAreHandedOverAsStreams) {
  LogCapture log(Log::Sink::System);
  TCPServer server;
  server.setDelegate(recorder);
  TCPServerError error;
  ASSERT_TRUE(server.start(&error)) << error.description;
  ASSERT_NE(server.port(), 0);
  EXPECT_EQ(server.useAssignedPort(), 0);
  EXPECT_EQ(server.ip(), 0u) << "bound to every address";
  EXPECT_TRUE(log.contains("Listening on port " + std::to_string(server.port()) + "."));

  int client = connectTo(server.port());
  ASSERT_GE(client, 0);
  ASSERT_TRUE(
      loop->runUntil([&] { return recorder->accepted.size() == 1; }, testsupport::scaled(kLimit)));
  // The peer is kept as the platform's socket address bytes.
  ASSERT_GE(server.peer().size(), sizeof(sockaddr_in));
  sockaddr_in peer;
  std::memcpy(&peer, server.peer().data(), sizeof peer);
  EXPECT_EQ(peer.sin_family, AF_INET);
  EXPECT_EQ(ntohl(peer.sin_addr.s_addr), INADDR_LOOPBACK);

  // The streams carry the connection both ways.
  auto [in, out] = recorder->accepted[0];
  std::string received;
  in->setClient(StreamEventHasBytesAvailable, [&](StreamEvent) {
    uint8_t buf[64];
    long n = in->read(buf, sizeof buf);
    if (n > 0) received.append(reinterpret_cast<char *>(buf), size_t(n));
  });
  in->scheduleWithRunLoop(loop);
  out->scheduleWithRunLoop(loop);
  in->open();
  out->open();
  ASSERT_EQ(write(client, "USER anonymous\r\n", 16), 16);
  ASSERT_TRUE(loop->runUntil([&] { return received == "USER anonymous\r\n"; },
                             testsupport::scaled(kLimit)));
  const std::string reply = "220 ready\r\n";
  ASSERT_EQ(out->write(reinterpret_cast<const uint8_t *>(reply.data()), reply.size()),
            long(reply.size()));
  char buf[32] = {};
  std::string got;
  ASSERT_TRUE(loop->runUntil(
      [&] {
        ssize_t n = recv(client, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) got.append(buf, size_t(n));
        return got == reply;
      },
      testsupport::scaled(kLimit)));
  in->close();
  out->close();
  close(client);

  // Stopped, the port no longer takes connections; it can be started again.
  uint16_t first = server.port();
  EXPECT_TRUE(server.stop());
  EXPECT_FALSE(server.isListening());
  EXPECT_LT(connectTo(first), 0);
  EXPECT_TRUE(server.start());
  EXPECT_TRUE(server.isListening());
}

TEST_F(TCPServerTest, BusyPortFailsWithCodeOne) {
  TCPServer first;
  ASSERT_TRUE(first.start());
  TCPServer second;
  second.setUseAssignedPort(first.port());
  TCPServerError error;
  EXPECT_FALSE(second.start(&error));
  EXPECT_EQ(error.domain, "TCPServerErrorDomain");
  EXPECT_EQ(error.code, 1);
  EXPECT_FALSE(second.isListening());
  EXPECT_FALSE(second.start()) << "no error object is needed";
  // The first still serves.
  int client = connectTo(first.port());
  EXPECT_GE(client, 0);
  close(client);
}

TEST_F(TCPServerTest, FixedPortsCanBeMovedWithoutChangingWhatIsAsked) {
  TCPServer::setPortOverride(2121, 0);
  TCPServer ftp;
  ftp.setUseAssignedPort(2121);
  ASSERT_TRUE(ftp.start());
  EXPECT_EQ(ftp.useAssignedPort(), 2121);
  EXPECT_NE(ftp.port(), 0);
  EXPECT_NE(ftp.port(), 2121);

  // The same from the environment, for whole-program runs.
  uint16_t free = static_cast<uint16_t>(testsupport::freeTcpPort());
  testsupport::ScopedEnv env("FERROWEN_PORT_OVERRIDES",
                             "junk, 8080 = " + std::to_string(free) + ",2121=1");
  EXPECT_EQ(TCPServer::portToBind(8080), free);
  EXPECT_EQ(TCPServer::portToBind(2121), 0) << "code beats the environment";
  EXPECT_EQ(TCPServer::portToBind(21), 21) << "ports without an override stay";
  TCPServer web;
  web.setUseAssignedPort(8080);
  ASSERT_TRUE(web.start());
  EXPECT_EQ(web.port(), free);
  EXPECT_EQ(web.useAssignedPort(), 8080);
}

TEST_F(TCPServerTest, AddressTextsNameTheFirstNonLoopbackAddress) {
  TCPServer server;
  server.setPort(2121);
  setInterfaceAddressSource([] {
    return std::optional<std::vector<InterfaceAddress>>(
        std::vector<InterfaceAddress>{iface("lo", "127.0.0.1", true)});
  });
  EXPECT_EQ(server.getListeningAddress(), "unknown");
  EXPECT_EQ(server.getListeningAddressText(), "unknown");

  setInterfaceAddressSource([] {
    return std::optional<std::vector<InterfaceAddress>>(std::vector<InterfaceAddress>{
        iface("lo", "127.0.0.1", true), iface("wlan0", "192.168.1.20"), iface("eth1", "10.0.0.7")});
  });
  EXPECT_EQ(server.getListeningAddress(), "192.168.1.20 : 2121");
  EXPECT_EQ(server.getListeningAddressText(), "192.168.1.20 port 2121");

  LogCapture log(Log::Sink::System);
  setInterfaceAddressSource([] { return std::optional<std::vector<InterfaceAddress>>(); });
  EXPECT_EQ(server.getListeningAddress(), "unknown");
  EXPECT_TRUE(log.contains("ERROR:getifaddrs"));
}

TEST_F(TCPServerTest, BonjourNeedsATypeAndAListeningSocket) {
  EXPECT_EQ(TCPServer::bonjourTypeFromIdentifier(""), std::nullopt);
  EXPECT_EQ(TCPServer::bonjourTypeFromIdentifier("FTP"), "_FTP._tcp.");
  EXPECT_EQ(TCPServer::bonjourTypeFromIdentifier("Ferrowen-WebServer"),
            "_Ferrowen-WebServer._tcp.");

  TCPServer idle;
  EXPECT_TRUE(idle.stop()) << "stopping a server that never started";
  EXPECT_FALSE(idle.enableBonjourWithDomain("", "_http._tcp.", ""));
  EXPECT_FALSE(idle.netService());

  TCPServer server;
  server.setDelegate(recorder);
  ASSERT_TRUE(server.start());
  EXPECT_FALSE(server.enableBonjourWithDomain("", "", "Ferrowen"));
  ASSERT_TRUE(server.enableBonjourWithDomain("", "_Ferrowen-test._tcp.", "Ferrowen test"));
  ASSERT_TRUE(server.netService());
  EXPECT_EQ(server.netService()->port(), server.port());
  EXPECT_NE(server.description().find("netService = <NSNetService"), std::string::npos);
  // Either the daemon publishes it or the delegate hears why not; never both, never silence.
  ASSERT_TRUE(
      loop->runUntil([&] { return !recorder->published.empty() || !recorder->failures.empty(); },
                     testsupport::scaled(kLimit)));
  EXPECT_EQ(recorder->published.size() + recorder->failures.size(), 1u);
  if (!recorder->failures.empty()) {
    EXPECT_TRUE(recorder->failures[0].count("NSNetServicesErrorCode"));
    EXPECT_TRUE(recorder->failures[0].count("NSNetServicesErrorDomain"));
  }
  server.stop();
  EXPECT_FALSE(server.netService()) << "stop withdraws the publication";
  std::string d = server.description();
  EXPECT_EQ(d.rfind("<TCPServer = 0x", 0), 0u) << d;
  EXPECT_NE(d.find(" | port " + std::to_string(server.port()) + " | netService = (null)>"),
            std::string::npos)
      << d;
}
