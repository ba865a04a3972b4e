// Whether a host or an address could be reached, answered from what the system knows (routes and
// interface addresses) without sending anything, with a callback when the answer changes.
//
// Linux has no Wi-Fi/cellular distinction to report, so the answer is mapped:
// - a default route makes the network reachable, as over Wi-Fi (IsWWAN and TransientConnection
//   are never set);
// - only link-local (169.254/16) addresses of the device make an answer direct (IsDirect: an
//   ad-hoc network), besides loopback and the device's own addresses (IsLocalAddress too);
// - an address in a subnet of one of the device's interfaces is reachable without a route;
// - with no default route and no matching interface address, nothing is reachable (flags 0).
// Host names are not resolved (no network traffic): a name is reachable when the default route
// is, "localhost" like loopback, and a name written as an IPv4 address like that address.
#pragma once

#include "platform/foundation/RunLoop.h"
#include "platform/net/InterfaceAddresses.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform::net {

enum ReachabilityFlags : uint32_t {
  ReachabilityTransientConnection = 1u << 0,
  ReachabilityReachable = 1u << 1,
  ReachabilityConnectionRequired = 1u << 2,
  ReachabilityIsLocalAddress = 1u << 16,
  ReachabilityIsDirect = 1u << 17,
  ReachabilityIsWWAN = 1u << 18,
};

// What the answers are made from.
struct NetworkFacts {
  bool hasDefaultRoute = false;
  std::vector<InterfaceAddress> addresses;
};

class NetworkReachability : public std::enable_shared_from_this<NetworkReachability> {
public:
  // For a host name (or an address written as text). Null for an empty name.
  static std::shared_ptr<NetworkReachability> createWithName(const std::string &hostName);
  // For an IPv4 address in host byte order (0 = "any": the internet at large).
  static std::shared_ptr<NetworkReachability> createWithAddress(uint32_t hostOrderAddress);

  ~NetworkReachability();

  // The current flags (ReachabilityFlags bits). False when the facts cannot be read.
  bool getFlags(uint32_t &flags) const;

  // Called on the scheduled run loop with the new flags when they change. Replaces any earlier
  // callback; an empty one removes it.
  void setCallback(std::function<void(uint32_t flags)> callback);
  // Starts watching for changes on `loop` (the system's routing and address changes, and
  // factsChanged()). False when already scheduled there.
  bool scheduleWithRunLoop(std::shared_ptr<RunLoop> loop);
  bool unscheduleFromRunLoop(const std::shared_ptr<RunLoop> &loop);
  bool isScheduledOn(const std::shared_ptr<RunLoop> &loop) const;

  // The flags for a target under given facts (the mapping above; public for tests and logs).
  static uint32_t flagsFor(const NetworkFacts &facts, std::optional<uint32_t> address,
                           const std::string &hostName);

  using FactsSource = std::function<std::optional<NetworkFacts>()>;
  // Replaces where the facts come from (tests); an empty function returns to the system's.
  static void setFactsSource(FactsSource source);
  // The facts now (the system's: /proc/net/route and the interface addresses).
  static std::optional<NetworkFacts> currentFacts();
  // Tells every scheduled object to look again (tests after changing injected facts; the system's
  // own changes are noticed by themselves).
  static void factsChanged();

private:
  NetworkReachability() = default;
  void reevaluate();

  std::optional<uint32_t> address_;
  std::string hostName_;

  mutable std::mutex mutex_;
  std::function<void(uint32_t)> callback_;
  std::shared_ptr<RunLoop> loop_;
  FdSourceRef source_;
  int netlinkFd_ = -1;
  uint32_t lastFlags_ = 0;
  bool haveLast_ = false;
};

} // namespace platform::net
