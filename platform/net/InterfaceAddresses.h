// The device's IPv4 interface addresses, in the order the system lists them. Tests replace the
// source of that list with facts of their own.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform::net {

struct InterfaceAddress {
  std::string interfaceName; // "eth0", "lo"
  uint32_t address = 0;      // host byte order
  uint32_t netmask = 0;      // host byte order
  bool isUp = true;
  bool isLoopback = false;

  // Dotted decimal ("192.168.1.20").
  std::string addressText() const;
};

// Dotted decimal of an IPv4 address in host byte order.
std::string ipv4Text(uint32_t hostOrderAddress);
// Parses a dotted-decimal IPv4 address into host byte order; nullopt when the text is not one.
std::optional<uint32_t> parseIPv4(const std::string &text);

// The IPv4 addresses of every interface, in the system's order; nullopt when the list cannot be
// read (getifaddrs failed).
std::optional<std::vector<InterfaceAddress>> interfaceIPv4Addresses();

using InterfaceAddressSource = std::function<std::optional<std::vector<InterfaceAddress>>()>;
// Replaces where interfaceIPv4Addresses() takes its answer from (tests); an empty function
// returns to the system's list.
void setInterfaceAddressSource(InterfaceAddressSource source);

} // namespace platform::net
