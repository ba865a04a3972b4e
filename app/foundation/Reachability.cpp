#include "app/foundation/Reachability.h"

#include "platform/foundation/Log.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/net/InterfaceAddresses.h"

#include <algorithm>

using namespace platform;
using namespace platform::net;

namespace {
const char *const kInternetAddress = "0.0.0.0";  // the default route
const char *const kLinkLocalNet = "169.254.0.0"; // ad-hoc networks
} // namespace

// --- ReachabilityQuery ---

void ReachabilityQuery::scheduleOnRunLoop(const std::shared_ptr<RunLoop> &runLoop) {
  if (!Reachability::sharedReachability().networkStatusNotificationsEnabled() || !runLoop) return;
  if (isScheduledOnRunLoop(runLoop)) return;
  startListeningForReachabilityChanges(reachabilityRef, runLoop);
  runLoops.push_back(runLoop);
}

bool ReachabilityQuery::isScheduledOnRunLoop(const std::shared_ptr<RunLoop> &runLoop) const {
  return std::find(runLoops.begin(), runLoops.end(), runLoop) != runLoops.end();
}

void ReachabilityQuery::startListeningForReachabilityChanges(
    const std::shared_ptr<NetworkReachability> &reachability,
    const std::shared_ptr<RunLoop> &runLoop) {
  if (!reachability) return;
  reachability->setCallback([](uint32_t) {
    NotificationCenter::defaultCenter().post(kNetworkReachabilityChangedNotification);
  });
  reachability->scheduleWithRunLoop(runLoop);
}

// --- Reachability ---

Reachability &Reachability::sharedReachability() {
  static Reachability *shared = new Reachability(); // used until the process ends
  return *shared;
}

void Reachability::reset() {
  stopListeningForReachabilityChanges();
  queries_.clear();
  hostName_.clear();
  address_.clear();
  notificationsEnabled_ = false;
  flagsSource_ = nullptr;
}

bool Reachability::isReachableWithoutRequiringConnection(uint32_t flags) {
  const bool reachable = flags & ReachabilityReachable;
  const bool noConnectionRequired = !(flags & ReachabilityConnectionRequired);
  const bool wwan = flags & ReachabilityIsWWAN; // the carrier connects on demand
  return reachable && (noConnectionRequired || wwan);
}

bool Reachability::addressFromString(const std::string &text, uint32_t *address) {
  auto parsed = parseIPv4(text);
  if (!parsed) return false;
  if (address) *address = *parsed;
  return true;
}

std::shared_ptr<ReachabilityQuery> Reachability::queryFor(const std::string &text) {
  auto it = queries_.find(text);
  return it == queries_.end() ? nullptr : it->second;
}

std::shared_ptr<NetworkReachability>
Reachability::reachabilityRefForHostName(const std::string &hostName) {
  if (hostName.empty()) return nullptr;
  auto query = queryFor(hostName);
  if (!query) {
    auto ref = NetworkReachability::createWithName(hostName);
    if (!ref) {
      Log::systemf("Failed to create SCNetworkReachabilityRef for host: %s", hostName.c_str());
      return nullptr;
    }
    query = std::make_shared<ReachabilityQuery>();
    query->reachabilityRef = ref;
    query->hostNameOrAddress = hostName;
    queries_[hostName] = query;
  }
  query->scheduleOnRunLoop(RunLoop::current());
  return query->reachabilityRef;
}

std::shared_ptr<NetworkReachability>
Reachability::reachabilityRefForAddress(const std::string &address) {
  if (address.empty()) return nullptr;
  auto query = queryFor(address);
  if (!query) {
    uint32_t ip = 0;
    if (!addressFromString(address, &ip)) {
      Log::systemf("Failed to convert an IP address string to a sockaddr_in: %s", address.c_str());
      return nullptr;
    }
    auto ref = NetworkReachability::createWithAddress(ip);
    if (!ref) {
      Log::systemf("Failed to create SCNetworkReachabilityRef for address: %s", address.c_str());
      return nullptr;
    }
    query = std::make_shared<ReachabilityQuery>();
    query->reachabilityRef = ref;
    query->hostNameOrAddress = address;
    queries_[address] = query;
  }
  query->scheduleOnRunLoop(RunLoop::current());
  return query->reachabilityRef;
}

bool Reachability::readFlags(const std::string &text,
                             const std::shared_ptr<NetworkReachability> &ref, uint32_t &flags) {
  flags = 0;
  if (flagsSource_) return flagsSource_(text, flags);
  return ref && ref->getFlags(flags);
}

bool Reachability::addressQueryFlags(const std::string &text, uint32_t *outFlags) {
  auto ref = reachabilityRefForAddress(text);
  uint32_t flags = 0;
  bool read = ref && readFlags(text, ref, flags);
  if (outFlags) *outFlags = flags;
  return read;
}

bool Reachability::isNetworkAvailableFlags(uint32_t *outFlags) {
  uint32_t flags = 0;
  bool read = addressQueryFlags(kInternetAddress, &flags);
  if (outFlags) *outFlags = flags;
  return read && isReachableWithoutRequiringConnection(flags);
}

bool Reachability::isAdHocWiFiNetworkAvailableFlags(uint32_t *outFlags) {
  uint32_t flags = 0;
  bool read = addressQueryFlags(kLinkLocalNet, &flags);
  if (outFlags) *outFlags = flags;
  return read && isReachableWithoutRequiringConnection(flags);
}

NetworkStatus Reachability::internetConnectionStatus() {
  uint32_t flags = 0;
  if (!isNetworkAvailableFlags(&flags)) return NotReachable;
  if (flags & ReachabilityIsDirect) return NotReachable; // an ad-hoc network has no internet
  return (flags & ReachabilityTransientConnection) ? ReachableViaCarrierDataNetwork
                                                   : ReachableViaWiFiNetwork;
}

NetworkStatus Reachability::localWiFiConnectionStatus() {
  uint32_t flags = 0;
  if (isAdHocWiFiNetworkAvailableFlags(&flags) && (flags & ReachabilityIsDirect))
    return ReachableViaWiFiNetwork;
  return NotReachable;
}

NetworkStatus Reachability::remoteHostStatus() {
  std::shared_ptr<NetworkReachability> ref;
  std::string text;
  if (!hostName_.empty()) {
    text = hostName_;
    ref = reachabilityRefForHostName(text);
  } else if (!address_.empty()) {
    text = address_;
    ref = reachabilityRefForAddress(text);
  } else {
    Log::system("No hostName or address specified. Cannot determine reachability.");
    return NotReachable;
  }
  uint32_t flags = 0;
  if (!ref || !readFlags(text, ref, flags) || !isReachableWithoutRequiringConnection(flags))
    return NotReachable;
  return (flags & ReachabilityTransientConnection) ? ReachableViaCarrierDataNetwork
                                                   : ReachableViaWiFiNetwork;
}

bool Reachability::isHostReachable(const std::string &host) {
  if (host.empty()) return false;
  auto ref = NetworkReachability::createWithName(host);
  if (!ref) {
    Log::systemf("Failed to create SCNetworkReachabilityRef for host: %s", host.c_str());
    return false;
  }
  uint32_t flags = 0;
  return readFlags(host, ref, flags) && isReachableWithoutRequiringConnection(flags);
}

void Reachability::stopListeningForReachabilityChanges() {
  for (auto &[text, query] : queries_) {
    for (auto &loop : query->runLoops)
      if (query->reachabilityRef) query->reachabilityRef->unscheduleFromRunLoop(loop);
    query->runLoops.clear();
  }
}
