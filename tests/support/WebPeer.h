// A small web site on loopback (tests/support/web_peer.py), started for one test and stopped by
// pid: pages with links, frames and pictures, files, a redirect, slow, failing and endless
// answers, a search service and site icons. Every request path it received is kept in order.
#pragma once

#include "tests/support/TestSupport.h"

#include <string>
#include <vector>

namespace testsupport {

class WebPeer {
public:
  explicit WebPeer(const std::string &dir)
      : port_(freeTcpPort()), log_(dir + "/web-peer.log"),
        process_({"/usr/bin/python3",
                  std::string(FERROWEN_SOURCE_DIR) + "/tests/support/web_peer.py",
                  std::to_string(port_), log_},
                 dir) {
    waitForTcpPort(port_);
  }
  ~WebPeer() { process_.stop(); }
  int port() const { return port_; }
  std::string hostPort() const { return "127.0.0.1:" + std::to_string(port_); }
  std::string url(const std::string &path) const { return "http://" + hostPort() + path; }
  std::vector<std::string> requests() const {
    std::vector<std::string> out;
    std::string all = readFile(log_), line;
    for (char c : all)
      if (c == '\n')
        out.push_back(std::move(line)), line.clear();
      else
        line += c;
    return out;
  }

private:
  int port_;
  std::string log_;
  Process process_;
};

} // namespace testsupport
