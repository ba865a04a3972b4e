// "Open In": a file handed to the desktop's handler for its type through xdg-open. Where there is
// no handler program the request is refused, so the caller can say so. Tests install a recorder.
#pragma once

#include <functional>
#include <string>

namespace platform {

class DocumentInteraction {
public:
  // A recorder is installed or xdg-open is on PATH.
  static bool canOpen();
  // Hands the file on. `done` hears, once and on the main thread, whether a program took it: no
  // (with a log line) when there is no xdg-open, it could not be started, or it failed within
  // kHandOverWait (Spawn.h; xdg-open fails when no program opens files of the type). It may run
  // before openInMenu returns (a recorder's answer, a failure known at once). Main thread.
  static void openInMenu(const std::string &path, std::function<void(bool opened)> done);
  // Tests: receive every path instead of xdg-open (nullptr restores it); its answer is what
  // `done` hears.
  static void setRecorder(std::function<bool(const std::string &)> recorder);
};

} // namespace platform
