#include "app/foundation/SoundEffect.h"

#include "platform/foundation/Log.h"

using namespace platform;
using namespace platform::ui;

std::shared_ptr<SoundEffect>
SoundEffect::soundEffectWithContentsOfFile(const std::optional<std::string> &path) {
  if (!path) return nullptr;
  return initWithContentsOfFile(*path);
}

std::shared_ptr<SoundEffect> SoundEffect::initWithContentsOfFile(const std::string &path) {
  return std::make_shared<SoundEffect>(path);
}

SoundEffect::SoundEffect(std::string path) : soundFilePath(std::move(path)) {}

SoundEffect::~SoundEffect() {
  dispose();
}

void SoundEffect::dispose() {
  if (_soundID == 0) return;
  SoundService::shared().removeSystemSoundCompletion(_soundID);
  SoundService::shared().disposeSystemSound(_soundID);
  _soundID = 0;
}

bool SoundEffect::loadSoundFromFile(const std::string &path) {
  if (path.empty()) return false; // no file address can be made
  SystemSoundID id = 0;
  int status = SoundService::shared().createSystemSound(path, &id);
  if (status != SoundStatusOK) {
    Log::systemf("Error %d loading sound at path: %s", status, path.c_str());
    return false;
  }
  _soundID = id;
  return true;
}

void SoundEffect::registerCompletion() {
  if (_soundID == 0) return;
  SoundService::shared().addSystemSoundCompletion(
      _soundID, [this](SystemSoundID id) { soundDoneCallback(id, this); });
}

void SoundEffect::play() {
  if (playingNow) return; // a second play during a playback is dropped
  playingNow = true;
  if (_soundID == 0 && !loadSoundFromFile(soundFilePath)) {
    // Nothing to play, so no playback will end: later plays must not be dropped for it.
    playingNow = false;
    return;
  }
  registerCompletion();
  SoundService::shared().playSystemSound(_soundID);
}

void SoundEffect::setPlayCompleteTarget(std::function<void(SoundEffect &)> done) {
  selector = std::move(done);
  registerCompletion();
}

void SoundEffect::playComplete() {
  if (selector) selector(*this);
  playingNow = false;
  if (lowMemory) dispose();
}

void SoundEffect::lowMem() {
  lowMemory = true;
  if (!playingNow) dispose();
}

void soundDoneCallback(SystemSoundID soundID, void *object) {
  SoundService::shared().removeSystemSoundCompletion(soundID);
  if (object) static_cast<SoundEffect *>(object)->playComplete();
}

// --- QuickScrollView ---

std::shared_ptr<QuickScrollView> QuickScrollView::initWithFrame(Rect frame) {
  return std::make_shared<QuickScrollView>(frame);
}

void QuickScrollView::viewDidLoad() {
  scrollArrow = std::make_shared<ImageView>("left-arrow24.png");
  scrollArrow->setFrame(Rect(0, 0, 24, 24));
  addSubview(scrollArrow);
}

bool QuickScrollView::beginTrackingWithTouch(std::optional<Point> touch) {
  if (scrollArrow) scrollArrow->setFrame(Rect(0, touch ? touch->y : 0, 24, 24));
  return true;
}

bool QuickScrollView::continueTrackingWithTouch(std::optional<Point> touch) {
  return beginTrackingWithTouch(touch);
}
