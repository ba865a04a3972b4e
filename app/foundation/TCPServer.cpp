#include "app/foundation/TCPServer.h"

#include "platform/foundation/Log.h"
#include "platform/net/InterfaceAddresses.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <unistd.h>

using namespace platform;
using namespace platform::net;

namespace {

std::mutex &overrideMutex() {
  static std::mutex m;
  return m;
}

std::map<uint16_t, uint16_t> &portOverrides() {
  static std::map<uint16_t, uint16_t> overrides;
  return overrides;
}

// "2121=0,8080=18080" from FERROWEN_PORT_OVERRIDES; malformed pairs are skipped.
std::optional<uint16_t> environmentOverride(uint16_t asked) {
  const char *text = std::getenv("FERROWEN_PORT_OVERRIDES");
  if (!text) return std::nullopt;
  std::string all = text;
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find(',', start);
    if (end == std::string::npos) end = all.size();
    std::string pair = all.substr(start, end - start);
    unsigned from = 0, to = 0;
    char extra = 0;
    if (std::sscanf(pair.c_str(), " %u = %u %c", &from, &to, &extra) == 2 && from == asked &&
        to <= 65535)
      return static_cast<uint16_t>(to);
    start = end + 1;
  }
  return std::nullopt;
}

} // namespace

void TCPServer::setPortOverride(uint16_t asked, std::optional<uint16_t> use) {
  std::lock_guard lock(overrideMutex());
  if (use)
    portOverrides()[asked] = *use;
  else
    portOverrides().erase(asked);
}

uint16_t TCPServer::portToBind(uint16_t asked) {
  {
    std::lock_guard lock(overrideMutex());
    if (auto it = portOverrides().find(asked); it != portOverrides().end()) return it->second;
  }
  if (asked == 0) return 0;
  return environmentOverride(asked).value_or(asked);
}

TCPServer::~TCPServer() {
  stop();
}

bool TCPServer::start(TCPServerError *error) {
  if (ipv4socket_) stop(); // a second start replaces the first socket
  auto socket = std::make_unique<ListeningSocket>();
  auto accept = [this](int nativeSocket, std::vector<uint8_t> peerAddress) {
    // Accepted valid and non-blocking: the pair need not look at it again.
    auto pair = createSocketStreamPairWithNativeSocket(nativeSocket, true, true);
    if (!pair) {
      close(nativeSocket);
      return;
    }
    handleNewConnectionFromAddress(std::move(peerAddress), pair.input, pair.output);
  };
  auto turnedAway = [this](int errorCode) {
    if (auto d = delegate()) d->didTurnAwayConnectionForServer(*this, errorCode);
  };
  if (!socket->start(portToBind(useAssignedPort_), RunLoop::current(), accept, turnedAway,
                     turnAwayReply_)) {
    if (error) {
      error->domain = TCPServerErrorDomain;
      error->code = socket->failure() == ListeningSocket::Failure::CannotCreate
                        ? kTCPServerNoSocketsAvailable
                        : kTCPServerCouldNotBindToIPv4Address;
      error->description = socket->errorText();
    }
    return false;
  }
  port_ = socket->port();
  ip_ = socket->address();
  ipv4socket_ = std::move(socket);
  Log::systemf("Listening on port %i.", static_cast<int>(port_));
  return true;
}

bool TCPServer::stop() {
  disableBonjour();
  if (ipv4socket_) {
    ipv4socket_->invalidate();
    ipv4socket_.reset();
  }
  return true;
}

void TCPServer::handleNewConnectionFromAddress(std::vector<uint8_t> addr,
                                               std::shared_ptr<SocketInputStream> in,
                                               std::shared_ptr<SocketOutputStream> out) {
  peer_ = std::move(addr);
  if (auto d = delegate()) d->didAcceptConnectionForServer(*this, std::move(in), std::move(out));
}

bool TCPServer::enableBonjourWithDomain(const std::string &domain, const std::string &protocol,
                                        const std::string &name) {
  if (protocol.empty() || !ipv4socket_) return false;
  disableBonjour();
  auto service = BonjourService::create(domain, protocol, name, port_);
  if (!service) return false;
  netService_ = service;
  service->setCallbacks(
      [this](const std::string &publishedName) {
        if (auto d = delegate()) d->serverDidEnableBonjour(*this, publishedName);
      },
      [this](const BonjourError &error) {
        if (auto d = delegate())
          d->didNotEnableBonjour(*this, {{"NSNetServicesErrorCode", error.code},
                                         {"NSNetServicesErrorDomain", error.domain}});
      });
  service->publish(RunLoop::current());
  return true;
}

void TCPServer::disableBonjour() {
  if (netService_) {
    netService_->stop();
    netService_.reset();
  }
}

std::optional<std::string> TCPServer::bonjourTypeFromIdentifier(const std::string &identifier) {
  if (identifier.empty()) return std::nullopt;
  return "_" + identifier + "._tcp.";
}

std::string TCPServer::listeningAddressFormatted(bool asText) const {
  auto interfaces = interfaceIPv4Addresses();
  if (!interfaces) {
    Log::system("ERROR:getifaddrs");
    return "unknown";
  }
  for (const auto &iface : *interfaces) {
    std::string address = iface.addressText();
    if (address.find("::") != std::string::npos || address == "127.0.0.1") continue;
    return asText ? Log::format("%s port %i", address.c_str(), static_cast<int>(port_))
                  : Log::format("%s : %i", address.c_str(), static_cast<int>(port_));
  }
  return "unknown";
}

std::string TCPServer::getListeningAddress() const {
  return listeningAddressFormatted(false);
}
std::string TCPServer::getListeningAddressText() const {
  return listeningAddressFormatted(true);
}

std::string TCPServer::description() const {
  std::string service = "(null)";
  if (netService_)
    service = Log::format("<NSNetService %s.%s%s %u>", netService_->domain().c_str(),
                          netService_->type().c_str(), netService_->name().c_str(),
                          static_cast<unsigned>(netService_->port()));
  return Log::format("<%s = 0x%08X | port %d | netService = %s>", "TCPServer",
                     static_cast<unsigned>(reinterpret_cast<uintptr_t>(this) & 0xFFFFFFFFu),
                     static_cast<int>(port_), service.c_str());
}
