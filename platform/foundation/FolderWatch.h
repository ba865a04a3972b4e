// Watches one folder for changes to its list of entries (made, removed, renamed in or out, or
// written) and, unless left out, to their attributes (mode, owner, times), with inotify, and calls
// back on the run loop it was made on. Events that arrive together are handed on as one call.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace platform {

class FolderWatch {
public:
  enum class Attributes { Included, LeftOut };
  // None when the folder cannot be watched (the caller then simply gets no change calls).
  static std::unique_ptr<FolderWatch> watch(const std::string &folder,
                                            std::function<void()> changed,
                                            Attributes attributes = Attributes::Included);
  ~FolderWatch();
  FolderWatch(const FolderWatch &) = delete;
  FolderWatch &operator=(const FolderWatch &) = delete;

private:
  FolderWatch() = default;
  struct State;
  std::shared_ptr<State> state_;
};

} // namespace platform
