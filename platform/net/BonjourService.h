// Publication of a TCP service on the local network (DNS-SD / Bonjour), through the Avahi daemon.
// When no Avahi daemon answers (none runs on many machines) publication fails with a clear
// reason: a service is never reported as published unless the daemon published it.
#pragma once

#include "platform/foundation/RunLoop.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace platform::net {

// Why publication failed, as the application reports it.
struct BonjourError {
  // Error codes in the classic service-discovery numbering.
  enum Code : long {
    Unknown = -72000,
    Collision = -72001,
    NotFound = -72002,
    ActivityInProgress = -72003,
    BadArgument = -72004,
    Cancelled = -72005,
    Invalid = -72006,
    Timeout = -72007,
  };
  long code = Unknown;
  long domain = 10; // the network-services error domain
  std::string message;
};

class BonjourService : public std::enable_shared_from_this<BonjourService> {
public:
  // domain: "" or "local" for the default domain; type: "_name._tcp." (the trailing dot is
  // optional); name: "" for the device's own name; port: the listening port.
  static std::shared_ptr<BonjourService> create(std::string domain, std::string type,
                                                std::string name, uint16_t port);
  ~BonjourService();

  // Results arrive on the loop given to publish().
  void setCallbacks(std::function<void(const std::string &publishedName)> didPublish,
                    std::function<void(const BonjourError &error)> didNotPublish);

  // Starts publishing; the answer comes later through one of the callbacks (also a failure that
  // is known at once). A second publish() while one runs reports ActivityInProgress.
  void publish(std::shared_ptr<RunLoop> loop);
  // Withdraws the service; no callback comes after it (on the loop's thread).
  void stop();

  const std::string &domain() const { return domain_; }
  const std::string &type() const { return type_; }
  // The name asked for, and once published the name actually used (after a collision Avahi
  // picks another).
  std::string name() const;
  uint16_t port() const { return port_; }

private:
  BonjourService() = default;
  struct Avahi;
  void report(bool ok, std::string name, BonjourError error);

  std::string domain_, type_, requestedName_;
  uint16_t port_ = 0;
  mutable std::mutex mutex_;
  std::string publishedName_;
  std::function<void(const std::string &)> didPublish_;
  std::function<void(const BonjourError &)> didNotPublish_;
  std::shared_ptr<RunLoop> loop_;
  uint64_t generation_ = 0;
  std::unique_ptr<Avahi> avahi_;
};

} // namespace platform::net
