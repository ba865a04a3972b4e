#include "platform/foundation/FolderWatch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include "platform/foundation/RunLoop.h"

namespace platform {

struct FolderWatch::State {
  int fd = -1;
  FdSourceRef source;
  std::function<void()> changed;
  ~State() {
    if (source) source->remove();
    if (fd >= 0) close(fd);
  }
};

std::unique_ptr<FolderWatch> FolderWatch::watch(const std::string &folder,
                                                std::function<void()> changed,
                                                Attributes attributes) {
  auto state = std::make_shared<State>();
  state->fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (state->fd < 0) return nullptr;
  uint32_t mask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE | IN_ONLYDIR;
  if (attributes == Attributes::Included) mask |= IN_ATTRIB;
  if (inotify_add_watch(state->fd, folder.c_str(), mask) < 0) return nullptr;
  state->changed = std::move(changed);
  std::weak_ptr<State> weak = state;
  state->source = RunLoop::current()->addFdSource(state->fd, static_cast<unsigned>(FdEvent::Read),
                                                  [weak](unsigned) {
                                                    auto s = weak.lock();
                                                    if (!s) return;
                                                    // Drain everything queued, then report once.
                                                    alignas(inotify_event) char buf[4096];
                                                    bool any = false;
                                                    while (read(s->fd, buf, sizeof buf) > 0)
                                                      any = true;
                                                    if (any && s->changed) s->changed();
                                                  });
  std::unique_ptr<FolderWatch> w(new FolderWatch);
  w->state_ = std::move(state);
  return w;
}

FolderWatch::~FolderWatch() = default;

} // namespace platform
