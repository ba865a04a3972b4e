#include "platform/net/InterfaceAddresses.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <mutex>
#include <net/if.h>
#include <netinet/in.h>

namespace platform::net {

namespace {
std::mutex sourceMutex;
InterfaceAddressSource &injectedSource() {
  static InterfaceAddressSource source;
  return source;
}

std::optional<std::vector<InterfaceAddress>> systemAddresses() {
  ifaddrs *list = nullptr;
  if (getifaddrs(&list) != 0) return std::nullopt;
  std::vector<InterfaceAddress> result;
  for (ifaddrs *i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
    InterfaceAddress a;
    a.interfaceName = i->ifa_name ? i->ifa_name : "";
    a.address = ntohl(reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr);
    if (i->ifa_netmask && i->ifa_netmask->sa_family == AF_INET)
      a.netmask = ntohl(reinterpret_cast<const sockaddr_in *>(i->ifa_netmask)->sin_addr.s_addr);
    a.isUp = (i->ifa_flags & IFF_UP) != 0;
    a.isLoopback = (i->ifa_flags & IFF_LOOPBACK) != 0;
    result.push_back(std::move(a));
  }
  freeifaddrs(list);
  return result;
}
} // namespace

std::string ipv4Text(uint32_t hostOrderAddress) {
  in_addr a{htonl(hostOrderAddress)};
  char buf[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &a, buf, sizeof buf);
  return buf;
}

std::optional<uint32_t> parseIPv4(const std::string &text) {
  in_addr a{};
  if (inet_pton(AF_INET, text.c_str(), &a) != 1) return std::nullopt;
  return ntohl(a.s_addr);
}

std::string InterfaceAddress::addressText() const {
  return ipv4Text(address);
}

std::optional<std::vector<InterfaceAddress>> interfaceIPv4Addresses() {
  InterfaceAddressSource source;
  {
    std::lock_guard lock(sourceMutex);
    source = injectedSource();
  }
  return source ? source() : systemAddresses();
}

void setInterfaceAddressSource(InterfaceAddressSource source) {
  std::lock_guard lock(sourceMutex);
  injectedSource() = std::move(source);
}

} // namespace platform::net
