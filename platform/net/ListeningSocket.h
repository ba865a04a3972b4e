// An IPv4 TCP listening socket on a run loop: bound to the wildcard address on a chosen port or on
// any free one, handing every accepted connection (its native socket and the peer's address) to
// an accept handler on the loop it was started on. Make streams of an accepted socket with
// createSocketStreamPairWithNativeSocket (SocketStream.h).
#pragma once

#include "platform/foundation/RunLoop.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform::net {

class ListeningSocket {
public:
  enum class Failure {
    None,
    CannotCreate, // no socket could be made
    CannotBind,   // the address could not be bound (port in use, not permitted) or listened on
  };

  // The handler owns nativeSocket from then on (it must close it or hand it to a stream pair).
  // It is non-blocking and close-on-exec already.
  // peerAddress holds the peer's socket address bytes (a sockaddr_in for IPv4), empty when the
  // peer's address could not be read.
  using AcceptHandler = std::function<void(int nativeSocket, std::vector<uint8_t> peerAddress)>;
  // A waiting connection could not be taken because the process had no descriptor left
  // (errorCode EMFILE or ENFILE): it was closed for its client. Called on the loop after the fact.
  using TurnAwayHandler = std::function<void(int errorCode)>;
  // The bytes a connection turned away for want of descriptors is sent before it is closed (the
  // protocol's word for it, made from the reason errorCode), so its client knows why; nothing
  // when it gives an empty text. Called on the loop, while the spare descriptor is out.
  using TurnAwayReply = std::function<std::string(int errorCode)>;

  ListeningSocket();
  ~ListeningSocket(); // invalidates
  ListeningSocket(const ListeningSocket &) = delete;
  ListeningSocket &operator=(const ListeningSocket &) = delete;

  // Creates the socket (SO_REUSEADDR on), binds it to 0.0.0.0:port (0: the system picks a free
  // port), listens and watches it on `loop`. False on failure: failure() and errorText() say why,
  // and nothing stays open.
  bool start(uint16_t port, std::shared_ptr<RunLoop> loop, AcceptHandler handler,
             TurnAwayHandler turnedAway = nullptr, TurnAwayReply turnAwayReply = nullptr);
  // Stops listening and closes the socket; no handler call starts after it returns when called on
  // the loop's thread. Safe to call twice.
  void invalidate();
  bool isValid() const { return fd_ >= 0; }

  // The bound port and address (host byte order; 0 for the wildcard), known after start().
  uint16_t port() const { return port_; }
  uint32_t address() const { return address_; }
  int nativeSocket() const { return fd_; }

  Failure failure() const { return failure_; }
  int errorCode() const { return errorCode_; } // errno of the failure
  const std::string &errorText() const { return errorText_; }

private:
  struct State;

  int fd_ = -1;
  uint16_t port_ = 0;
  uint32_t address_ = 0;
  Failure failure_ = Failure::None;
  int errorCode_ = 0;
  std::string errorText_;
  std::shared_ptr<State> state_;
  FdSourceRef source_;
  std::shared_ptr<RunLoop> sourceLoop_;
};

} // namespace platform::net
