// The whole program under a low descriptor limit (as `ulimit -n 256` gives it), with the page's
// server and both sharing servers on: clients that take every descriptor it has are told why they
// are turned away, the program runs on, and once the descriptors come back the page, the web
// server and the FTP server all serve again.
#include "tests/support/FewDescriptors.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

const std::string kProgram = FERROWEN_BINARY_DIR "/ferrowen";

int connectTo(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && testsupport::connectToLoopback(fd, port, 10)) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

// Whatever comes on `fd` within `limit`, until the peer closes or `enough` has come.
std::string heardOn(int fd, std::chrono::milliseconds limit, const std::string &enough = "") {
  std::string heard;
  const auto deadline = std::chrono::steady_clock::now() + testsupport::scaled(limit);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, int(left.count())) != 1) break;
    char buf[4096];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    heard.append(buf, size_t(n));
    if (!enough.empty() && heard.find(enough) != std::string::npos) break;
  }
  return heard;
}

bool sendText(int fd, const std::string &text) {
  return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == ssize_t(text.size());
}

// The first line of an HTTP answer to GET `target` on a connection of its own ("" for none).
std::string statusOf(int port, const std::string &target, std::string *body = nullptr) {
  const int fd = connectTo(port);
  if (fd < 0) return "";
  sendText(fd,
           "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n");
  const std::string heard = heardOn(fd, 10s);
  ::close(fd);
  if (body && heard.find("\r\n\r\n") != std::string::npos)
    *body = heard.substr(heard.find("\r\n\r\n") + 4);
  return heard.substr(0, heard.find("\r\n"));
}

} // namespace

TEST(ProgramDescriptors, ThePageAndBothServersServeAgainOnceDescriptorsComeBack) {
  ASSERT_GE(testsupport::raiseDescriptorLimit(2048), 1024u);
  testsupport::TempDir home("ferrowen-descriptors");
  ASSERT_TRUE(home.ok());
  ASSERT_EQ(::mkdir(home.file("Documents").c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(home.file("Documents/Files").c_str(), 0700), 0);
  ASSERT_TRUE(testsupport::writeFile(home.file("Documents/Files/shared.txt"), "shared bytes"));
  ASSERT_TRUE(
      testsupport::writeFile(home.file("Preferences.json"),
                             R"({"WebServer":"1","FTPServer":"1","ActiveServerMinutes":"0"})"));
  const int web = testsupport::freeTcpPort(), ftp = testsupport::freeTcpPort(),
            page = testsupport::freeTcpPort();
  // The limit a person's shell may well give (the program itself is run as it comes).
  testsupport::Process program({"/bin/sh", "-c", "ulimit -n 256 && exec \"$0\"", kProgram},
                               home.path(),
                               {{"FERROWEN_HOME", home.path()},
                                {"FERROWEN_RESOURCES", FERROWEN_SOURCE_DIR "/resources"},
                                {"FERROWEN_RENDERER_PORT", std::to_string(page)},
                                {"FERROWEN_PORT_OVERRIDES",
                                 "2121=" + std::to_string(ftp) + ",8080=" + std::to_string(web)}});
  ASSERT_TRUE(program.started());
  ASSERT_TRUE(testsupport::waitForTcpPort(web));
  ASSERT_TRUE(testsupport::waitForTcpPort(ftp));
  ASSERT_TRUE(testsupport::waitForTcpPort(page));
  std::string address;
  for (auto until = std::chrono::steady_clock::now() + testsupport::scaled(30s);
       address.empty() && std::chrono::steady_clock::now() < until;
       std::this_thread::sleep_for(10ms)) {
    const std::string out = program.output();
    if (const size_t at = out.find("?t=");
        at != std::string::npos && out.find('\n', at) != out.npos)
      address = out.substr(out.rfind('/', at), out.find('\n', at) - out.rfind('/', at));
  }
  ASSERT_FALSE(address.empty()) << program.output() << program.errors();

  auto allServe = [&] {
    std::string body;
    const bool web200 =
        statusOf(web, "/shared.txt", &body) == "HTTP/1.0 200 OK" && body == "shared bytes";
    const int f = connectTo(ftp);
    const bool ftp220 = f >= 0 && heardOn(f, 10s, "\n").starts_with("220 ");
    if (f >= 0) ::close(f);
    return web200 && ftp220 && statusOf(page, address) == "HTTP/1.0 200 OK";
  };
  ASSERT_TRUE(allServe());

  // Connections that take the program's every descriptor (each holds a place and says nothing),
  // and more: those it has no descriptor for are turned away at once, the others stay silent.
  std::vector<int> holders;
  std::string refusal;
  for (int i = 0; i < 300; ++i) {
    const int fd = connectTo(web);
    ASSERT_GE(fd, 0);
    holders.push_back(fd);
  }
  std::this_thread::sleep_for(500ms);
  std::erase_if(holders, [&](int fd) {
    char byte;
    if (::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) < 0 && errno == EAGAIN) return false;
    const std::string heard = heardOn(fd, 1s);
    if (refusal.empty()) refusal = heard;
    ::close(fd);
    return true;
  });
  const std::string reason = "Cannot take the connection: Too many open files.";
  EXPECT_TRUE(refusal.starts_with("HTTP/1.0 503 Service Unavailable\r\n")) << refusal;
  EXPECT_NE(refusal.find(reason), std::string::npos) << refusal;
  const int ftpClient = connectTo(ftp);
  ASSERT_GE(ftpClient, 0);
  EXPECT_EQ(heardOn(ftpClient, 10s), "421 " + reason + " Please try again later.\r\n");
  ::close(ftpClient);
  // A page that connects now waits for a descriptor (its server cannot take it yet, and must
  // not stop listening for that); the program runs on meanwhile.
  const int waiting = connectTo(page);
  ASSERT_GE(waiting, 0);
  std::this_thread::sleep_for(1s);
  ASSERT_TRUE(program.running()) << program.errors();

  for (int fd : holders)
    ::close(fd);
  // Within seconds (the program lets the closed connections go first) all serve again, and the
  // page that connected meanwhile is served on its connection.
  bool served = false;
  for (auto until = std::chrono::steady_clock::now() + testsupport::scaled(20s);
       !served && std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(100ms))
    served = statusOf(page, address) == "HTTP/1.0 200 OK";
  EXPECT_TRUE(served);
  ASSERT_TRUE(sendText(waiting, "GET " + address + " HTTP/1.0\r\nHost: 127.0.0.1:" +
                                    std::to_string(page) + "\r\n\r\n"));
  const std::string answer = heardOn(waiting, 20s);
  EXPECT_EQ(answer.substr(0, answer.find("\r\n")), "HTTP/1.0 200 OK");
  ::close(waiting);
  served = false;
  for (auto until = std::chrono::steady_clock::now() + testsupport::scaled(20s);
       !served && std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(100ms))
    served = allServe();
  EXPECT_TRUE(served);
  ASSERT_TRUE(program.running()) << program.errors();
  const int status = program.stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << program.errors();
}
