// pyftpdlib servers for the transfer queue's tests: each serves its own folder on a free loopback
// port and logs the commands it receives, one session number per control connection.
#pragma once

#include "tests/app/queue/QueueTestSupport.h"

#include "app/foundation/PartialFile.h"

#include <sstream>

namespace queuetest {

class QueuePeer {
public:
  // dropOn: the first "RETR" of that name closes the control connection instead. refuseSize: the
  // server does not know "SIZE".
  explicit QueuePeer(long throttle = 0, const std::string &dropOn = "", bool refuseSize = false)
      : dir_("ferrowen-q8-ftp"), port_(testsupport::freeTcpPort()), refuseSize_(refuseSize) {
    start(throttle, dropOn);
  }
  // On another loopback address and a port of the test's choosing (the port FTP has by default,
  // say, on an address no other test uses).
  QueuePeer(const std::string &address, int port, long throttle = 0)
      : dir_("ferrowen-q8-ftp"), port_(port), address_(address) {
    start(throttle, "");
  }
  // On a port of the test's choosing, with the server's environment beside its own (see
  // queue_ftp_server.py: QUEUE_FTP_PASSIVE, say).
  QueuePeer(int port, std::map<std::string, std::string> env)
      : dir_("ferrowen-q8-ftp"), port_(port), env_(std::move(env)) {
    start(0, "");
  }
  ~QueuePeer() { process_.stop(); }
  // The server goes away (its process is stopped) and comes back on its address and port, with
  // its files and its command log.
  void stop() { process_.stop(); }
  bool restart() {
    start(throttle_, "");
    return ready_;
  }
  bool ready() const { return ready_; }
  int port() const { return port_; }
  std::string root() const { return dir_.path() + "/root"; }
  std::string log() const { return dir_.path() + "/commands.log"; }
  std::vector<std::string> commands() const {
    std::vector<std::string> out;
    std::istringstream in(testsupport::readFile(log()));
    for (std::string line; std::getline(in, line);)
      out.push_back(line);
    return out;
  }
  size_t count(const std::string &command) const {
    size_t n = 0;
    for (auto &line : commands()) {
      auto space = line.find(' ');
      if (line.compare(space + 1, command.size(), command) == 0) ++n;
    }
    return n;
  }
  std::string serverLog() { return process_.errors(); }

private:
  void start(long throttle, const std::string &dropOn) {
    throttle_ = throttle;
    platform::FileManager::createDirectory(root(), true);
    std::vector<std::string> argv{"/usr/bin/python3",
                                  std::string(FERROWEN_SOURCE_DIR) +
                                      "/tests/interop/ftp/queue_ftp_server.py",
                                  std::to_string(port_), root(), log()};
    if (throttle > 0) argv.push_back(std::to_string(throttle));
    std::map<std::string, std::string> env = env_;
    env["QUEUE_FTP_ADDRESS"] = address_;
    if (!dropOn.empty()) env["QUEUE_FTP_DROP_ON"] = dropOn;
    if (refuseSize_) env["QUEUE_FTP_NO_SIZE"] = "1";
    process_ = testsupport::Process(argv, dir_.path(), env);
    ready_ = testsupport::waitForTcpPort(port_, std::chrono::seconds(15), address_);
  }

  testsupport::TempDir dir_;
  int port_;
  std::string address_ = "127.0.0.1";
  std::map<std::string, std::string> env_;
  testsupport::Process process_;
  long throttle_ = 0;
  bool refuseSize_ = false;
  bool ready_ = false;
};

inline std::string pattern(size_t n, unsigned seed = 7) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i)
    s[i] = static_cast<char>((i * seed + i / 251) & 0xff);
  return s;
}

// Where the FTP connections keep what came so far of a download of `name` from the loopback
// server on `port`, for that user and remote folder.
inline std::string ftpPartialOf(const std::string &name, int port, const std::string &user = "joe",
                                const std::string &folder = "/") {
  return partialFilePath(Paths::tmp() + "/" + name,
                         ftpDownloadSource("127.0.0.1", port, user, folder, name));
}

} // namespace queuetest
