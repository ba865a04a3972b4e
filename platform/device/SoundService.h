// System sounds: short sound files registered under an identifier, played on request, with a
// callback when a playback has ended. A sound is played through the system's sound player
// (paplay, pw-play or aplay) when an audio device exists; without one, a playback is only
// recorded (tests read the record) and ends at once. Completions are delivered on the main run
// loop, as the phone delivers them by default. Any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform {

using SystemSoundID = uint32_t;

// Result codes of createSystemSound, numbered as the application reports them.
enum SoundStatus : int {
  SoundStatusOK = 0,
  SoundStatusFileNotFound = -43,           // no file at the path
  SoundStatusPermission = -54,             // the file cannot be read
  SoundStatusUnsupportedType = 1954115647, // not a sound file we know ('typ?')
  SoundStatusBadSound = -1500,             // the identifier names no sound
};

class SoundService {
public:
  static SoundService &shared();

  // Registers the sound file (AIFF, AIFC, WAVE or CAF) and gives its identifier (never 0).
  int createSystemSound(const std::string &path, SystemSoundID *soundID);
  int disposeSystemSound(SystemSoundID soundID);
  // One completion per sound; a second replaces the first. It runs on the main run loop with the
  // sound's identifier after each playback of that sound ends.
  int addSystemSoundCompletion(SystemSoundID soundID, std::function<void(SystemSoundID)> done);
  void removeSystemSoundCompletion(SystemSoundID soundID);
  // Starts a playback and returns at once. An unknown identifier does nothing.
  void playSystemSound(SystemSoundID soundID);

  // Whether sounds reach a device: an ALSA playback device or a sound server socket, and a player
  // program on PATH. Tests may decide it (nullopt: ask the system again).
  bool audioDeviceAvailable() const;
  void setAudioDeviceAvailable(std::optional<bool> available);
  // Tests: the program (and leading arguments) that plays a file; empty: the system's player.
  void setPlayerCommand(std::vector<std::string> argv);

  // What was asked to play, oldest first.
  struct PlayRecord {
    SystemSoundID soundID = 0;
    std::string path;
    bool sentToDevice = false; // false: only recorded
  };
  std::vector<PlayRecord> playRecords() const;
  void clearPlayRecords();
  // Sounds currently registered.
  size_t soundCount() const;

private:
  SoundService() = default;
  void finished(SystemSoundID soundID);
  std::vector<std::string> playerCommand() const;

  mutable std::mutex mutex_;
  struct Sound {
    std::string path;
    std::function<void(SystemSoundID)> completion;
  };
  std::map<SystemSoundID, Sound> sounds_;
  SystemSoundID next_ = 4096;
  std::vector<PlayRecord> records_;
  std::optional<bool> deviceOverride_;
  std::vector<std::string> player_;
};

} // namespace platform
