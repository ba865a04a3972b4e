// Short sounds: SoundEffect plays one sound file on request and tells an optional target when a
// playback has ended; the text editor's key row uses two. QuickScrollView is a control that moves
// a small arrow to where the finger is while it is dragged.
#pragma once

#include "platform/device/SoundService.h"
#include "platform/ui/Controls.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

class SoundEffect {
public:
  // A new sound for the path; none when there is no path.
  static std::shared_ptr<SoundEffect>
  soundEffectWithContentsOfFile(const std::optional<std::string> &path);
  // Keeps the path; nothing is loaded until the first play.
  static std::shared_ptr<SoundEffect> initWithContentsOfFile(const std::string &path);
  explicit SoundEffect(std::string path);
  ~SoundEffect(); // disposes of the loaded sound
  SoundEffect(const SoundEffect &) = delete;
  SoundEffect &operator=(const SoundEffect &) = delete;

  // True when a system sound could be made from the file; false (with a log line carrying the
  // system's code) otherwise.
  bool loadSoundFromFile(const std::string &path);
  // Plays the sound, loading it first when needed; ignored while a playback runs.
  void play();
  // Told (with this sound) when a playback ends.
  void setPlayCompleteTarget(std::function<void(SoundEffect &)> selector);
  // A playback ended.
  void playComplete();
  // From now on the sound is disposed of after each playback (at once when idle).
  void lowMem();

  platform::SystemSoundID _soundID = 0;
  std::string soundFilePath;
  bool lowMemory = true;
  bool playingNow = false;
  std::function<void(SoundEffect &)> selector;

private:
  void registerCompletion();
  void dispose();
};

// The completion of a system sound: removes the registration and ends the playback of `object`.
void soundDoneCallback(platform::SystemSoundID soundID, void *object);

class QuickScrollView : public platform::ui::Control {
public:
  using Control::Control;
  static std::shared_ptr<QuickScrollView> initWithFrame(platform::ui::Rect frame);
  const char *typeName() const override { return "quickScroller"; }

  // Makes the arrow ("left-arrow24.png", 24 x 24 at the top) and adds it.
  void viewDidLoad();
  // The finger at `touch` (its position in the control; none: the top): the arrow follows it.
  bool beginTrackingWithTouch(std::optional<platform::ui::Point> touch);
  bool continueTrackingWithTouch(std::optional<platform::ui::Point> touch);
  void endTrackingWithTouch(std::optional<platform::ui::Point> touch) { (void)touch; }
  bool shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation o) const {
    return o == platform::ui::InterfaceOrientation::Portrait;
  }

  std::shared_ptr<platform::ui::ImageView> scrollArrow;
};
