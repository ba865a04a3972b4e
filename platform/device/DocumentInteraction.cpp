#include "platform/device/DocumentInteraction.h"

#include <mutex>

#include "platform/device/Spawn.h"
#include "platform/foundation/Log.h"

namespace platform {

namespace {
std::mutex recorderMutex;
std::function<bool(const std::string &)> recorder;
std::function<bool(const std::string &)> currentRecorder() {
  std::lock_guard lock(recorderMutex);
  return recorder;
}
} // namespace

void DocumentInteraction::setRecorder(std::function<bool(const std::string &)> r) {
  std::lock_guard lock(recorderMutex);
  recorder = std::move(r);
}

bool DocumentInteraction::canOpen() {
  return currentRecorder() || !findOnPath("xdg-open").empty();
}

void DocumentInteraction::openInMenu(const std::string &path, std::function<void(bool)> done) {
  auto answer = [&done](bool opened) {
    if (done) done(opened);
  };
  if (auto r = currentRecorder()) return answer(r(path));
  const std::string program = findOnPath("xdg-open");
  if (program.empty()) {
    Log::system("Open In: xdg-open is not available");
    return answer(false);
  }
  // An absolute path never reads as an option of xdg-open.
  if (path.empty() || path[0] != '/') return answer(false);
  spawnReported({program, path}, kHandOverWait,
                [done = std::move(done)](bool took, const std::string &why) {
                  if (!took) Log::system("Open In: no program opened the file: " + why);
                  if (done) done(took);
                });
}

} // namespace platform
