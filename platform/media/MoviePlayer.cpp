#include "platform/media/MoviePlayer.h"

#include <sys/stat.h>

#include <filesystem>
#include <mutex>

#include "platform/device/Spawn.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"

namespace platform {

namespace {

struct State {
  std::mutex mutex;
  MoviePlayer::Page page;
  MoviePlayer::Launcher launcher;
  std::optional<MoviePlayer::Playing> playing;
  std::function<void()> ended;
  unsigned generation = 0;
};

State &state() {
  static State s;
  return s;
}

// `follow`: what a link names counts (for playing); else a link is no file (for deleting).
bool isRegularFile(const std::string &path, bool follow = false) {
  struct stat st {};
  return (follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) == 0 &&
         S_ISREG(st.st_mode);
}

bool launchDesktop(const std::vector<std::string> &argv) {
  const std::string program = findOnPath(argv.at(0));
  if (program.empty()) {
    Log::system("Movie player: " + argv.at(0) + " is not available");
    return false;
  }
  std::vector<std::string> full = argv;
  full[0] = program;
  return spawnDetached(full);
}

// Ends the playback of one generation: clean-up first, then the caller's callback.
void endPlayback(unsigned generation) {
  std::optional<MoviePlayer::Playing> played;
  std::function<void()> ended;
  {
    std::lock_guard lock(state().mutex);
    if (!state().playing || state().generation != generation) return;
    played = std::move(state().playing);
    state().playing.reset();
    ended = std::move(state().ended);
  }
  if (played->cleanupWhenDone) {
    if (MoviePlayer::mayDelete(played->path)) {
      Log::debug("Delete:file://" + played->path);
      FileManager::removeItem(played->path);
    } else {
      Log::system("Movie player: not deleting " + played->path +
                  ": not a file of the application's storage");
    }
  }
  if (ended) ended();
}

} // namespace

bool MoviePlayer::mayDelete(const std::string &path) {
  if (path.empty() || path[0] != '/' || !isRegularFile(path)) return false;
  namespace fs = std::filesystem;
  std::error_code ec;
  // The file's folder resolved (links included) must lie inside the resolved data root.
  const fs::path folder = fs::canonical(fs::path(path).parent_path(), ec);
  if (ec) return false;
  const fs::path root = fs::canonical(Paths::home(), ec);
  if (ec) return false;
  const std::string f = folder.string() + "/", r = root.string() + "/";
  return f.compare(0, r.size(), r) == 0;
}

bool MoviePlayer::play(const std::string &path, bool cleanupWhenDone, std::function<void()> ended) {
  if (!isRegularFile(path, true)) {
    Log::system("Movie player: no file to play at " + path);
    return false;
  }
  if (nowPlaying()) finish();
  Page page;
  Launcher launcher;
  unsigned generation;
  {
    std::lock_guard lock(state().mutex);
    page = state().page;
    launcher = state().launcher ? state().launcher : Launcher(launchDesktop);
    generation = ++state().generation;
    state().playing = Playing{path, cleanupWhenDone, Where::Desktop};
    state().ended = std::move(ended);
  }
  auto onEnd = [generation] {
    RunLoop::main()->perform([generation] { endPlayback(generation); });
  };
  if (page && page(path, onEnd)) {
    std::lock_guard lock(state().mutex);
    if (state().playing && state().generation == generation) state().playing->where = Where::Page;
    return true;
  }
  if (launcher({"xdg-open", path})) return true;
  std::lock_guard lock(state().mutex);
  if (state().generation == generation) {
    state().playing.reset();
    state().ended = nullptr;
  }
  return false;
}

std::optional<MoviePlayer::Playing> MoviePlayer::nowPlaying() {
  std::lock_guard lock(state().mutex);
  return state().playing;
}

void MoviePlayer::finish() {
  unsigned generation;
  {
    std::lock_guard lock(state().mutex);
    if (!state().playing) return;
    generation = state().generation;
  }
  endPlayback(generation);
}

void MoviePlayer::setPage(Page page) {
  std::lock_guard lock(state().mutex);
  state().page = std::move(page);
}

void MoviePlayer::setLauncher(Launcher launcher) {
  std::lock_guard lock(state().mutex);
  state().launcher = std::move(launcher);
}

} // namespace platform
