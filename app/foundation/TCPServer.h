// The one listening TCP socket of the application: the FTP client's active data connections, the
// FTP sharing server's control and passive data ports and the web sharing server. It listens on
// IPv4 on a chosen or any free port, hands every accepted connection to its delegate as a pair of
// streams, can publish itself with Bonjour and tells the user the device's address. It lives on
// the run loop of the thread that starts it.
//
// Ports the application fixes (2121, 8080) can be moved for tests and side-by-side runs without
// changing what the application asks for: setPortOverride() in code, or the environment variable
// FERROWEN_PORT_OVERRIDES ("2121=0,8080=18080"; 0 means any free port). `useAssignedPort` keeps
// the port asked for; `port` is the port actually bound.
#pragma once

#include "platform/net/BonjourService.h"
#include "platform/net/ListeningSocket.h"
#include "platform/net/SocketStream.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class TCPServer;

inline constexpr const char *TCPServerErrorDomain = "TCPServerErrorDomain";

// Codes of TCPServerErrorDomain.
enum TCPServerErrorCode {
  kTCPServerCouldNotBindToIPv4Address = 1,
  kTCPServerNoSocketsAvailable = 3
};

struct TCPServerError {
  std::string domain;
  int code = 0;
  std::string description; // the system's reason, for logs
};

// Receives accepted connections and Bonjour results, on the server's run loop. Every method is
// optional.
class TCPServerDelegate {
public:
  virtual ~TCPServerDelegate() = default;
  // The streams are neither opened nor scheduled; closing both closes the connection.
  virtual void
  didAcceptConnectionForServer(TCPServer &server,
                               std::shared_ptr<platform::net::SocketInputStream> in,
                               std::shared_ptr<platform::net::SocketOutputStream> out) {
    (void)server, (void)in, (void)out;
  }
  // A connection came but could not be taken: the process had no descriptor left (errorCode
  // EMFILE or ENFILE), so it was closed for its client.
  virtual void didTurnAwayConnectionForServer(TCPServer &server, int errorCode) {
    (void)server, (void)errorCode;
  }
  virtual void serverDidEnableBonjour(TCPServer &server, const std::string &name) {
    (void)server, (void)name;
  }
  // errorDict: "NSNetServicesErrorCode" and "NSNetServicesErrorDomain".
  virtual void didNotEnableBonjour(TCPServer &server,
                                   const std::map<std::string, long> &errorDict) {
    (void)server, (void)errorDict;
  }
};

class TCPServer {
public:
  TCPServer() = default;
  ~TCPServer(); // stops first
  TCPServer(const TCPServer &) = delete;
  TCPServer &operator=(const TCPServer &) = delete;

  // Opens the listening socket on the current thread's run loop. False with the error (domain
  // "TCPServerErrorDomain", code 3 no socket, code 1 the address could not be bound).
  bool start(TCPServerError *error = nullptr);
  // Withdraws Bonjour and closes the socket. Always true.
  bool stop();

  // Publishes the listening port; false without a type or when not listening. An empty domain is
  // the default one, an empty name the device's own.
  bool enableBonjourWithDomain(const std::string &domain, const std::string &protocol,
                               const std::string &name);
  void disableBonjour();
  // "_<identifier>._tcp.", none for an empty identifier.
  static std::optional<std::string> bonjourTypeFromIdentifier(const std::string &identifier);

  // "<address> : <port>" and "<address> port <port>" with the device's address, or "unknown".
  std::string getListeningAddress() const;
  std::string getListeningAddressText() const;
  std::string description() const;

  // Called for every accepted connection (also by the accept handler).
  void handleNewConnectionFromAddress(std::vector<uint8_t> addr,
                                      std::shared_ptr<platform::net::SocketInputStream> in,
                                      std::shared_ptr<platform::net::SocketOutputStream> out);

  std::shared_ptr<TCPServerDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<TCPServerDelegate> d) { delegate_ = std::move(d); }
  std::shared_ptr<platform::net::BonjourService> netService() const { return netService_; }
  void setNetService(std::shared_ptr<platform::net::BonjourService> s) {
    netService_ = std::move(s);
  }
  uint16_t port() const { return port_; }
  void setPort(uint16_t p) { port_ = p; }
  uint32_t ip() const { return ip_; }
  void setIp(uint32_t ip) { ip_ = ip; }
  const std::vector<uint8_t> &peer() const { return peer_; }
  void setPeer(std::vector<uint8_t> p) { peer_ = std::move(p); }
  uint16_t useAssignedPort() const { return useAssignedPort_; }
  void setUseAssignedPort(uint16_t p) { useAssignedPort_ = p; }
  bool isListening() const { return ipv4socket_ != nullptr; }
  // What a connection turned away for want of descriptors is told before it is closed (see
  // ListeningSocket::TurnAwayReply); takes effect at the next start.
  void setTurnAwayReply(platform::net::ListeningSocket::TurnAwayReply reply) {
    turnAwayReply_ = std::move(reply);
  }

  // The port really bound when the application asks for `asked` (none: no override). Any thread.
  static void setPortOverride(uint16_t asked, std::optional<uint16_t> use);
  static uint16_t portToBind(uint16_t asked);

private:
  std::string listeningAddressFormatted(bool asText) const;

  std::weak_ptr<TCPServerDelegate> delegate_;
  uint16_t port_ = 0;
  uint32_t ip_ = 0;
  std::unique_ptr<platform::net::ListeningSocket> ipv4socket_;
  std::shared_ptr<platform::net::BonjourService> netService_;
  std::vector<uint8_t> peer_;
  uint16_t useAssignedPort_ = 0;
  platform::net::ListeningSocket::TurnAwayReply turnAwayReply_;
};
