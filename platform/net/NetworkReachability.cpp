#include "platform/net/NetworkReachability.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace platform::net {

namespace {

constexpr uint32_t kLinkLocalNet = 0xA9FE0000; // 169.254.0.0/16
constexpr uint32_t kLinkLocalMask = 0xFFFF0000;

bool isLinkLocal(uint32_t a) {
  return (a & kLinkLocalMask) == kLinkLocalNet;
}

std::mutex registryMutex;
NetworkReachability::FactsSource &injectedFacts() {
  static NetworkReachability::FactsSource source;
  return source;
}
std::vector<std::weak_ptr<NetworkReachability>> &scheduledObjects() {
  static std::vector<std::weak_ptr<NetworkReachability>> list;
  return list;
}

bool systemHasDefaultRoute() {
  std::ifstream in("/proc/net/route");
  if (!in) return false;
  std::string line;
  std::getline(in, line); // header
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string iface, destination, gateway, flags;
    if (!(fields >> iface >> destination >> gateway >> flags)) continue;
    unsigned long f = std::strtoul(flags.c_str(), nullptr, 16);
    if (destination == "00000000" && (f & 0x1)) return true; // RTF_UP
  }
  return false;
}

} // namespace

std::optional<NetworkFacts> NetworkReachability::currentFacts() {
  FactsSource source;
  {
    std::lock_guard lock(registryMutex);
    source = injectedFacts();
  }
  if (source) return source();
  auto addresses = interfaceIPv4Addresses();
  if (!addresses) return std::nullopt;
  NetworkFacts facts;
  facts.hasDefaultRoute = systemHasDefaultRoute();
  facts.addresses = std::move(*addresses);
  return facts;
}

void NetworkReachability::setFactsSource(FactsSource source) {
  std::lock_guard lock(registryMutex);
  injectedFacts() = std::move(source);
}

void NetworkReachability::factsChanged() {
  std::vector<std::shared_ptr<NetworkReachability>> live;
  {
    std::lock_guard lock(registryMutex);
    auto &list = scheduledObjects();
    for (auto it = list.begin(); it != list.end();) {
      if (auto p = it->lock()) {
        live.push_back(std::move(p));
        ++it;
      } else {
        it = list.erase(it);
      }
    }
  }
  for (auto &r : live) {
    std::shared_ptr<RunLoop> loop;
    {
      std::lock_guard lock(r->mutex_);
      loop = r->loop_;
    }
    if (!loop) continue;
    std::weak_ptr<NetworkReachability> weak = r;
    loop->perform([weak] {
      if (auto p = weak.lock()) p->reevaluate();
    });
  }
}

uint32_t NetworkReachability::flagsFor(const NetworkFacts &facts, std::optional<uint32_t> address,
                                       const std::string &hostName) {
  if (!address) {
    if (hostName == "localhost")
      address = 0x7F000001;
    else if (auto parsed = parseIPv4(hostName))
      address = parsed;
    else
      return facts.hasDefaultRoute ? ReachabilityReachable : 0u;
  }
  const uint32_t a = *address;
  if ((a >> 24) == 127)
    return ReachabilityReachable | ReachabilityIsLocalAddress | ReachabilityIsDirect;
  bool haveLinkLocal = false;
  bool inSubnet = false;
  for (const auto &i : facts.addresses) {
    if (!i.isUp || i.isLoopback) continue;
    if (a != 0 && a == i.address)
      return ReachabilityReachable | ReachabilityIsLocalAddress | ReachabilityIsDirect;
    if (isLinkLocal(i.address)) haveLinkLocal = true;
    if (a != 0 && i.netmask != 0 && (a & i.netmask) == (i.address & i.netmask)) inSubnet = true;
  }
  if (a == 0) {
    // The internet at large: the default route, else only an ad-hoc (link-local) network.
    if (facts.hasDefaultRoute) return ReachabilityReachable;
    if (haveLinkLocal) return ReachabilityReachable | ReachabilityIsDirect;
    return 0;
  }
  if (isLinkLocal(a) && haveLinkLocal) return ReachabilityReachable | ReachabilityIsDirect;
  if (inSubnet || facts.hasDefaultRoute) return ReachabilityReachable;
  return 0;
}

std::shared_ptr<NetworkReachability>
NetworkReachability::createWithName(const std::string &hostName) {
  if (hostName.empty()) return nullptr;
  std::shared_ptr<NetworkReachability> r(new NetworkReachability());
  r->hostName_ = hostName;
  return r;
}

std::shared_ptr<NetworkReachability> NetworkReachability::createWithAddress(uint32_t address) {
  std::shared_ptr<NetworkReachability> r(new NetworkReachability());
  r->address_ = address;
  return r;
}

NetworkReachability::~NetworkReachability() {
  if (source_) source_->remove();
  if (netlinkFd_ >= 0) {
    int fd = netlinkFd_;
    if (loop_ && !loop_->isCurrent())
      loop_->perform([fd] { ::close(fd); });
    else
      ::close(fd);
  }
}

bool NetworkReachability::getFlags(uint32_t &flags) const {
  auto facts = currentFacts();
  if (!facts) return false;
  flags = flagsFor(*facts, address_, hostName_);
  return true;
}

void NetworkReachability::setCallback(std::function<void(uint32_t)> callback) {
  std::lock_guard lock(mutex_);
  callback_ = std::move(callback);
}

bool NetworkReachability::isScheduledOn(const std::shared_ptr<RunLoop> &loop) const {
  std::lock_guard lock(mutex_);
  return loop && loop_ == loop;
}

bool NetworkReachability::scheduleWithRunLoop(std::shared_ptr<RunLoop> loop) {
  if (!loop) return false;
  {
    std::lock_guard lock(mutex_);
    if (loop_ == loop) return false;
    if (loop_) return false; // one loop at a time
    loop_ = loop;
    uint32_t flags = 0;
    if (getFlags(flags)) {
      lastFlags_ = flags;
      haveLast_ = true;
    }
    // The kernel announces route and address changes on a netlink socket.
    int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd >= 0) {
      sockaddr_nl sa{};
      sa.nl_family = AF_NETLINK;
      sa.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE;
      if (::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0) {
        netlinkFd_ = fd;
        std::weak_ptr<NetworkReachability> weak = shared_from_this();
        source_ = loop->addFdSource(fd, unsigned(FdEvent::Read), [weak, fd](unsigned) {
          char buf[8192];
          while (::recv(fd, buf, sizeof buf, 0) > 0) {
          }
          if (auto p = weak.lock()) p->reevaluate();
        });
      } else {
        ::close(fd);
      }
    }
  }
  std::lock_guard lock(registryMutex);
  scheduledObjects().push_back(weak_from_this());
  return true;
}

bool NetworkReachability::unscheduleFromRunLoop(const std::shared_ptr<RunLoop> &loop) {
  std::lock_guard lock(mutex_);
  if (!loop || loop_ != loop) return false;
  if (source_) source_->remove();
  source_.reset();
  if (netlinkFd_ >= 0) {
    int fd = netlinkFd_;
    netlinkFd_ = -1;
    if (!loop->isCurrent())
      loop->perform([fd] { ::close(fd); });
    else
      ::close(fd);
  }
  loop_.reset();
  return true;
}

void NetworkReachability::reevaluate() {
  uint32_t flags = 0;
  if (!getFlags(flags)) return;
  std::function<void(uint32_t)> cb;
  {
    std::lock_guard lock(mutex_);
    if (!loop_ || (haveLast_ && flags == lastFlags_)) return;
    lastFlags_ = flags;
    haveLast_ = true;
    cb = callback_;
  }
  if (cb) cb(flags);
}

} // namespace platform::net
