#include "platform/net/BonjourService.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>

#include <atomic>

namespace platform::net {

namespace {
std::string withoutTrailingDot(std::string s) {
  while (!s.empty() && s.back() == '.')
    s.pop_back();
  return s;
}
} // namespace

// The Avahi client runs on Avahi's own thread; its results are carried to the loop of publish().
struct BonjourService::Avahi {
  std::weak_ptr<BonjourService> owner;
  std::string type, domain, name;
  uint16_t port = 0;
  AvahiThreadedPoll *poll = nullptr;
  AvahiClient *client = nullptr;
  AvahiEntryGroup *group = nullptr;
  std::atomic<bool> finished{false};

  ~Avahi() {
    if (poll) avahi_threaded_poll_stop(poll);
    if (group) avahi_entry_group_free(group);
    if (client) avahi_client_free(client);
    if (poll) avahi_threaded_poll_free(poll);
  }

  void succeed() {
    if (finished) return;
    finished = true;
    if (auto o = owner.lock()) o->report(true, name, {});
  }

  void failWith(long code, std::string message) {
    if (finished) return;
    finished = true;
    BonjourError e;
    e.code = code;
    e.message = std::move(message);
    if (auto o = owner.lock()) o->report(false, {}, std::move(e));
  }

  void addService(AvahiClient *c) {
    if (!group) {
      group = avahi_entry_group_new(c, &Avahi::groupChanged, this);
      if (!group) {
        failWith(BonjourError::Unknown, std::string("Avahi could not make an entry group: ") +
                                            avahi_strerror(avahi_client_errno(c)));
        return;
      }
    }
    if (!avahi_entry_group_is_empty(group)) return;
    if (name.empty()) {
      const char *host = avahi_client_get_host_name(c);
      name = host ? host : "Ferrowen";
    }
    for (int attempt = 0; attempt < 16; ++attempt) {
      int rc = avahi_entry_group_add_service(
          group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0), name.c_str(),
          type.c_str(), domain.empty() ? nullptr : domain.c_str(), nullptr, port, nullptr);
      if (rc == AVAHI_ERR_COLLISION) {
        rename();
        continue;
      }
      if (rc < 0) {
        failWith(BonjourError::BadArgument,
                 std::string("Avahi refused the service: ") + avahi_strerror(rc));
        return;
      }
      rc = avahi_entry_group_commit(group);
      if (rc < 0)
        failWith(BonjourError::Unknown,
                 std::string("Avahi could not publish the service: ") + avahi_strerror(rc));
      return;
    }
    failWith(BonjourError::Collision, "Every name tried is taken on the network");
  }

  void rename() {
    char *n = avahi_alternative_service_name(name.c_str());
    if (n) {
      name = n;
      avahi_free(n);
    }
  }

  static void groupChanged(AvahiEntryGroup *g, AvahiEntryGroupState state, void *userdata) {
    auto *a = static_cast<Avahi *>(userdata);
    switch (state) {
    case AVAHI_ENTRY_GROUP_ESTABLISHED:
      a->succeed();
      break;
    case AVAHI_ENTRY_GROUP_COLLISION:
      a->rename();
      avahi_entry_group_reset(g);
      a->addService(avahi_entry_group_get_client(g));
      break;
    case AVAHI_ENTRY_GROUP_FAILURE:
      a->failWith(BonjourError::Unknown,
                  std::string("Avahi could not publish the service: ") +
                      avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(g))));
      break;
    default:
      break;
    }
  }

  static void clientChanged(AvahiClient *c, AvahiClientState state, void *userdata) {
    auto *a = static_cast<Avahi *>(userdata);
    switch (state) {
    case AVAHI_CLIENT_S_RUNNING:
      a->addService(c);
      break;
    case AVAHI_CLIENT_FAILURE:
      a->failWith(BonjourError::NotFound, std::string("The Avahi daemon connection failed: ") +
                                              avahi_strerror(avahi_client_errno(c)));
      break;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING:
      if (a->group) avahi_entry_group_reset(a->group);
      break;
    default:
      break;
    }
  }
};

std::shared_ptr<BonjourService> BonjourService::create(std::string domain, std::string type,
                                                       std::string name, uint16_t port) {
  std::shared_ptr<BonjourService> s(new BonjourService());
  s->domain_ = withoutTrailingDot(std::move(domain));
  s->type_ = withoutTrailingDot(std::move(type));
  s->requestedName_ = std::move(name);
  s->port_ = port;
  return s;
}

BonjourService::~BonjourService() {
  stop();
}

void BonjourService::setCallbacks(std::function<void(const std::string &)> didPublish,
                                  std::function<void(const BonjourError &)> didNotPublish) {
  std::lock_guard lock(mutex_);
  didPublish_ = std::move(didPublish);
  didNotPublish_ = std::move(didNotPublish);
}

std::string BonjourService::name() const {
  std::lock_guard lock(mutex_);
  return publishedName_.empty() ? requestedName_ : publishedName_;
}

void BonjourService::publish(std::shared_ptr<RunLoop> loop) {
  if (!loop) loop = RunLoop::current();
  std::unique_ptr<Avahi> previous; // a publication that already ended
  {
    std::lock_guard lock(mutex_);
    if (avahi_ && avahi_->finished) previous = std::move(avahi_);
    if (avahi_) {
      // Reported without disturbing the publication that runs.
      BonjourError e{BonjourError::ActivityInProgress, 10,
                     "The service is already being published"};
      auto cb = didNotPublish_;
      loop->perform([cb, e] {
        if (cb) cb(e);
      });
      return;
    }
    loop_ = loop;
    ++generation_;
    publishedName_.clear();
  }
  previous.reset();
  if (type_.empty() || type_[0] != '_') {
    report(false, {}, {BonjourError::BadArgument, 10, "The service type is not valid: " + type_});
    return;
  }
  auto a = std::make_unique<Avahi>();
  a->owner = weak_from_this();
  a->type = type_;
  a->domain = domain_ == "local" ? std::string() : domain_;
  a->name = requestedName_;
  a->port = port_;
  a->poll = avahi_threaded_poll_new();
  if (!a->poll) {
    report(false, {}, {BonjourError::Unknown, 10, "Avahi's event thread could not be made"});
    return;
  }
  int error = 0;
  // Without AVAHI_CLIENT_NO_FAIL the client fails at once when no daemon answers.
  a->client = avahi_client_new(avahi_threaded_poll_get(a->poll), AvahiClientFlags(0),
                               &Avahi::clientChanged, a.get(), &error);
  if (!a->client) {
    if (!a->finished)
      report(false, {},
             {BonjourError::NotFound, 10,
              std::string("No Avahi daemon answers, so the service was not published (") +
                  avahi_strerror(error) + ")"});
    return; // `a` goes, with its poll
  }
  if (avahi_threaded_poll_start(a->poll) < 0 && !a->finished) {
    report(false, {}, {BonjourError::Unknown, 10, "Avahi's event thread could not start"});
    return;
  }
  std::lock_guard lock(mutex_);
  avahi_ = std::move(a);
}

void BonjourService::stop() {
  std::unique_ptr<Avahi> a;
  {
    std::lock_guard lock(mutex_);
    ++generation_;
    a = std::move(avahi_);
    loop_.reset();
  }
  a.reset(); // stops Avahi's thread, withdraws the service
}

void BonjourService::report(bool ok, std::string name, BonjourError error) {
  std::shared_ptr<RunLoop> loop;
  uint64_t generation;
  {
    std::lock_guard lock(mutex_);
    loop = loop_;
    generation = generation_;
  }
  if (!loop) return;
  std::weak_ptr<BonjourService> weak = weak_from_this();
  loop->perform([weak, generation, ok, name = std::move(name), error = std::move(error)] {
    auto self = weak.lock();
    if (!self) return;
    std::function<void(const std::string &)> published;
    std::function<void(const BonjourError &)> failed;
    {
      std::lock_guard lock(self->mutex_);
      if (self->generation_ != generation) return;
      if (ok) {
        self->publishedName_ = name;
        published = self->didPublish_;
      } else {
        failed = self->didNotPublish_;
      }
    }
    if (ok && published) published(name);
    if (!ok && failed) failed(error);
  });
}

} // namespace platform::net
