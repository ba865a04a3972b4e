#include "platform/device/SoundService.h"

#include "platform/foundation/Log.h"
#include "platform/foundation/RunLoop.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace platform {

namespace {

// What the first bytes of a sound file say it is.
bool knownSoundFile(const unsigned char *head, size_t n) {
  if (n >= 12 && std::memcmp(head, "FORM", 4) == 0 &&
      (std::memcmp(head + 8, "AIFF", 4) == 0 || std::memcmp(head + 8, "AIFC", 4) == 0))
    return true;
  if (n >= 12 && std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WAVE", 4) == 0)
    return true;
  return n >= 4 && std::memcmp(head, "caff", 4) == 0;
}

std::string findOnPath(const std::string &program) {
  const char *path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(start, end - start) + "/" + program;
    if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return {};
}

bool hasAlsaPlaybackDevice() {
  DIR *dir = opendir("/dev/snd");
  if (!dir) return false;
  bool found = false;
  while (dirent *e = readdir(dir)) {
    std::string name = e->d_name;
    if (name.rfind("pcmC", 0) == 0 && !name.empty() && name.back() == 'p') found = true;
  }
  closedir(dir);
  return found;
}

bool hasSoundServer() {
  if (const char *runtime = std::getenv("XDG_RUNTIME_DIR")) {
    struct stat st;
    for (const char *socket : {"/pulse/native", "/pipewire-0"})
      if (stat((std::string(runtime) + socket).c_str(), &st) == 0) return true;
  }
  return std::getenv("PULSE_SERVER") != nullptr;
}

// Runs the player to its end (on a helper thread); false when it could not be started.
bool runPlayer(const std::vector<std::string> &argv) {
  std::vector<char *> args;
  for (const auto &a : argv)
    args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return true;
}

} // namespace

SoundService &SoundService::shared() {
  static SoundService *service = new SoundService(); // outlives player threads at exit
  return *service;
}

int SoundService::createSystemSound(const std::string &path, SystemSoundID *soundID) {
  if (soundID) *soundID = 0;
  struct stat st;
  if (path.empty() || stat(path.c_str(), &st) != 0) return SoundStatusFileNotFound;
  if (!S_ISREG(st.st_mode)) return SoundStatusUnsupportedType;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? SoundStatusFileNotFound : SoundStatusPermission;
  unsigned char head[12] = {};
  ssize_t n = read(fd, head, sizeof head);
  close(fd);
  if (n < 0) return SoundStatusPermission;
  if (!knownSoundFile(head, static_cast<size_t>(n))) return SoundStatusUnsupportedType;
  std::lock_guard lock(mutex_);
  SystemSoundID id = next_++;
  sounds_[id] = Sound{path, {}};
  if (soundID) *soundID = id;
  return SoundStatusOK;
}

int SoundService::disposeSystemSound(SystemSoundID soundID) {
  std::lock_guard lock(mutex_);
  return sounds_.erase(soundID) ? SoundStatusOK : SoundStatusBadSound;
}

int SoundService::addSystemSoundCompletion(SystemSoundID soundID,
                                           std::function<void(SystemSoundID)> done) {
  std::lock_guard lock(mutex_);
  auto it = sounds_.find(soundID);
  if (it == sounds_.end()) return SoundStatusBadSound;
  it->second.completion = std::move(done);
  return SoundStatusOK;
}

void SoundService::removeSystemSoundCompletion(SystemSoundID soundID) {
  std::lock_guard lock(mutex_);
  if (auto it = sounds_.find(soundID); it != sounds_.end()) it->second.completion = nullptr;
}

void SoundService::playSystemSound(SystemSoundID soundID) {
  std::string path;
  bool device = audioDeviceAvailable();
  std::vector<std::string> argv;
  if (device) argv = playerCommand();
  device = device && !argv.empty();
  {
    std::lock_guard lock(mutex_);
    auto it = sounds_.find(soundID);
    if (it == sounds_.end()) return;
    path = it->second.path;
    records_.push_back({soundID, path, device});
  }
  if (!device) {
    RunLoop::main()->perform([this, soundID] { finished(soundID); });
    return;
  }
  argv.push_back(path);
  std::thread([this, soundID, argv] {
    if (!runPlayer(argv)) Log::systemf("Could not start the sound player %s", argv[0].c_str());
    RunLoop::main()->perform([this, soundID] { finished(soundID); });
  }).detach();
}

void SoundService::finished(SystemSoundID soundID) {
  std::function<void(SystemSoundID)> done;
  {
    std::lock_guard lock(mutex_);
    auto it = sounds_.find(soundID);
    if (it == sounds_.end()) return; // disposed while it played
    done = it->second.completion;
  }
  if (done) done(soundID);
}

bool SoundService::audioDeviceAvailable() const {
  {
    std::lock_guard lock(mutex_);
    if (deviceOverride_) return *deviceOverride_;
  }
  return hasAlsaPlaybackDevice() || hasSoundServer();
}

void SoundService::setAudioDeviceAvailable(std::optional<bool> available) {
  std::lock_guard lock(mutex_);
  deviceOverride_ = available;
}

void SoundService::setPlayerCommand(std::vector<std::string> argv) {
  std::lock_guard lock(mutex_);
  player_ = std::move(argv);
}

std::vector<std::string> SoundService::playerCommand() const {
  {
    std::lock_guard lock(mutex_);
    if (!player_.empty()) return player_;
  }
  if (auto p = findOnPath("paplay"); !p.empty()) return {p};
  if (auto p = findOnPath("pw-play"); !p.empty()) return {p};
  if (auto p = findOnPath("aplay"); !p.empty()) return {p, "-q"};
  return {};
}

std::vector<SoundService::PlayRecord> SoundService::playRecords() const {
  std::lock_guard lock(mutex_);
  return records_;
}

void SoundService::clearPlayRecords() {
  std::lock_guard lock(mutex_);
  records_.clear();
}

size_t SoundService::soundCount() const {
  std::lock_guard lock(mutex_);
  return sounds_.size();
}

} // namespace platform
