// Whether the network can be reached, answered without opening a connection: the internet (the
// default route), the local ad-hoc Wi-Fi network, or a named host or address. A thin layer over
// the platform's reachability service, with one shared instance.
#pragma once

#include "platform/foundation/RunLoop.h"
#include "platform/net/NetworkReachability.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Reachability statuses.
enum NetworkStatus : int {
  NotReachable = 0,
  ReachableViaCarrierDataNetwork = 1,
  ReachableViaWiFiNetwork = 2,
};

// Posted on the default notification centre (object none) when a watched answer changes.
inline constexpr const char *kNetworkReachabilityChangedNotification =
    "kNetworkReachabilityChangedNotification";

// One cached reachability object and the run loops it is scheduled on.
class ReachabilityQuery {
public:
  std::shared_ptr<platform::net::NetworkReachability> reachabilityRef;
  std::vector<std::shared_ptr<platform::RunLoop>> runLoops;
  std::string hostNameOrAddress;

  // Only when notifications are enabled on the shared instance and a loop is given.
  void scheduleOnRunLoop(const std::shared_ptr<platform::RunLoop> &runLoop);
  bool isScheduledOnRunLoop(const std::shared_ptr<platform::RunLoop> &runLoop) const;
  void startListeningForReachabilityChanges(
      const std::shared_ptr<platform::net::NetworkReachability> &reachability,
      const std::shared_ptr<platform::RunLoop> &runLoop);
};

class Reachability {
public:
  static Reachability &sharedReachability();

  NetworkStatus internetConnectionStatus();
  NetworkStatus localWiFiConnectionStatus();
  NetworkStatus remoteHostStatus();
  // With a reachability object made for this question only.
  bool isHostReachable(const std::string &host);

  // Reachable, and either no connection is required or the way is the carrier's network.
  static bool isReachableWithoutRequiringConnection(uint32_t flags);
  bool isNetworkAvailableFlags(uint32_t *outFlags);
  bool isAdHocWiFiNetworkAvailableFlags(uint32_t *outFlags);

  // Cached per text, made on first use; none (with a log line) when it cannot be made.
  std::shared_ptr<platform::net::NetworkReachability>
  reachabilityRefForHostName(const std::string &hostName);
  std::shared_ptr<platform::net::NetworkReachability>
  reachabilityRefForAddress(const std::string &address);
  // The address in host byte order when the text is a dotted IPv4 address.
  static bool addressFromString(const std::string &text, uint32_t *address);

  void stopListeningForReachabilityChanges();

  bool networkStatusNotificationsEnabled() const { return notificationsEnabled_; }
  void setNetworkStatusNotificationsEnabled(bool on) { notificationsEnabled_ = on; }
  const std::string &hostName() const { return hostName_; }
  void setHostName(std::string host) { hostName_ = std::move(host); }
  const std::string &address() const { return address_; }
  void setAddress(std::string address) { address_ = std::move(address); }
  const std::map<std::string, std::shared_ptr<ReachabilityQuery>> &reachabilityQueries() const {
    return queries_;
  }

  // Tests: flags for a text, instead of asking the platform (none: ask the platform). The
  // answer false means the flags could not be read.
  using FlagsSource = std::function<bool(const std::string &hostNameOrAddress, uint32_t &flags)>;
  void setFlagsSourceForTesting(FlagsSource source) { flagsSource_ = std::move(source); }
  // Tests: back to a fresh shared instance's state.
  void reset();

private:
  Reachability() = default;
  bool readFlags(const std::string &text,
                 const std::shared_ptr<platform::net::NetworkReachability> &ref, uint32_t &flags);
  bool addressQueryFlags(const std::string &text, uint32_t *outFlags);
  std::shared_ptr<ReachabilityQuery> queryFor(const std::string &text);

  bool notificationsEnabled_ = false;
  std::string hostName_, address_;
  std::map<std::string, std::shared_ptr<ReachabilityQuery>> queries_;
  FlagsSource flagsSource_;
};
