#include "app/files/MyMoviePlayer.h"

#include "app/foundation/StringUtils.h"

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Text.h"
#include "platform/media/MoviePlayer.h"

using namespace platform;
using namespace platform::ui;

std::shared_ptr<MyMoviePlayer> MyMoviePlayer::initWithNibName(const std::string &nibName,
                                                              const std::string &filePath,
                                                              bool cleanup) {
  return std::make_shared<MyMoviePlayer>(nibName, filePath, cleanup);
}

MyMoviePlayer::MyMoviePlayer(const std::string &nibName, std::string filePath, bool cleanup)
    : ViewController(nibName), path_(std::move(filePath)), cleanupMovieWhenDone_(cleanup) {
  // The player's own view: what plays, and its Done.
  theMoviePlayerView = std::make_shared<View>(Rect(0, 0, 320, 480));
  theMoviePlayerView->setBackgroundColor(Color::blackColor());
  theMoviePlayerView->setAutoresizingMask(FlexibleWidth | FlexibleHeight);
  auto name = std::make_shared<Label>(Rect(10, 200, 300, 40));
  name->setText(lastPathComponent(path_));
  name->setTextColor(Color::whiteColor());
  name->setBackgroundColor(Color::clearColor());
  name->setTextAlignment(TextAlignment::Center);
  name->setAdjustsFontSizeToFitWidth(true);
  name->setAutoresizingMask(FlexibleWidth | FlexibleTopMargin | FlexibleBottomMargin);
  theMoviePlayerView->addSubview(name);
  doneButton_ = std::make_shared<Button>(ButtonType::RoundedRect, Rect(10, 30, 70, 32));
  doneButton_->setTitle("Done");
  doneButton_->setAccessibilityLabel("Done");
  theMoviePlayerView->addSubview(doneButton_);
}

void MyMoviePlayer::viewDidLoad() {
  view()->setBackgroundColor(Color::blackColor());
  std::weak_ptr<MyMoviePlayer> weak = sharedAs<MyMoviePlayer>();
  doneButton_->addTarget(TouchUpInside, [weak](Control &) {
    if (auto s = weak.lock()) s->finishPlayback();
  });
}

void MyMoviePlayer::viewDidAppear(bool) {
  if (playedMovie_ || finished_) return;
  playedMovie_ = true;
  theMoviePlayerView->setFrame(view()->bounds());
  view()->addSubview(theMoviePlayerView);
  observing_ = true;
  std::weak_ptr<MyMoviePlayer> weak = sharedAs<MyMoviePlayer>();
  // The service plays in the page, else on the desktop; its end comes back here.
  const bool playing = MoviePlayer::play(path_, false, [weak] {
    if (auto s = weak.lock(); s && s->observing_) s->myMovieFinishedCallback();
  });
  if (!playing) {
    // Nothing can play it: the end of playback comes at once (after the screen is shown).
    RunLoop::main()->perform([weak] {
      if (auto s = weak.lock()) s->myMovieFinishedCallback();
    });
  }
}

void MyMoviePlayer::finishPlayback() {
  auto now = MoviePlayer::nowPlaying();
  if (observing_ && now && now->path == path_)
    MoviePlayer::finish(); // its end calls back
  else
    myMovieFinishedCallback();
}

void MyMoviePlayer::myMovieFinishedCallback() {
  if (finished_) return;
  finished_ = true;
  observing_ = false;
  if (cleanupMovieWhenDone_) {
    // Only a file of the application's own storage (never a link, a folder or anything outside).
    if (MoviePlayer::mayDelete(path_)) {
      Log::debug("Delete:file://" + path_);
      FileManager::removeItem(path_);
    } else {
      Log::system("MyMoviePlayer: not deleting " + withControlsEscaped(path_) +
                  ": not a file of the application's storage");
    }
  }
  if (theMoviePlayerView) theMoviePlayerView->removeFromSuperview();
  theMoviePlayerView.reset();
  auto self = sharedAs<MyMoviePlayer>(); // lives through its own closing
  dismissModalViewControllerAnimated(true);
  if (auto finished = std::move(onFinished)) finished();
}
