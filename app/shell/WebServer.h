// The web sharing server's client handler, as the hosting code reaches it: made for every
// connection accepted on port 8080 and handed the listener and the two streams through
// didAcceptConnectionForServer(); from then on it owns itself and ends with its connection.
//
// Placeholder until the web server itself lands: it takes the connection and closes it at once,
// so the hosting (listener, Bonjour, idle stop, bad logins) is complete and testable without it.
#pragma once

#include "app/foundation/TCPServer.h"

#include <memory>

class WebServer : public TCPServerDelegate, public std::enable_shared_from_this<WebServer> {
public:
  void
  didAcceptConnectionForServer(TCPServer &server,
                               std::shared_ptr<platform::net::SocketInputStream> in,
                               std::shared_ptr<platform::net::SocketOutputStream> out) override {
    (void)server;
    if (in) in->close();
    if (out) out->close();
  }
};
