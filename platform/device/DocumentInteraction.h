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
  // Hands the file on; false (with a log line) when there is no handler or it could not start.
  static bool openInMenu(const std::string &path);
  // Tests: receive every path instead of xdg-open (nullptr restores it).
  static void setRecorder(std::function<bool(const std::string &)> recorder);
};

} // namespace platform
