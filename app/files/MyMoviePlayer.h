// The movie player screen: plays one local audio or video file full screen through the platform's
// movie player (the page's video or audio element, else the desktop's player) and, when asked,
// deletes the file when playback ends. The application delegate presents it modally for every
// file that Saved Files, the photo library and Cloud Files play. Main thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/ui/Controls.h"
#include "platform/ui/ViewController.h"

class MyMoviePlayer : public platform::ui::ViewController {
public:
  // The screen for the file at `filePath`; with `cleanup` the file is deleted after playback.
  static std::shared_ptr<MyMoviePlayer> initWithNibName(const std::string &nibName,
                                                        const std::string &filePath, bool cleanup);
  MyMoviePlayer(const std::string &nibName, std::string filePath, bool cleanup);

  bool cleanupMovieWhenDone() const { return cleanupMovieWhenDone_; }
  void setCleanupMovieWhenDone(bool on) { cleanupMovieWhenDone_ = on; }
  const std::string &contentPath() const { return path_; }
  bool playedMovie() const { return playedMovie_; }

  // The end of playback (the player reports it, or the person taps Done): stops listening,
  // deletes the file when asked, lets go of the player and closes the screen. Once.
  void myMovieFinishedCallback();
  // The player's Done: ends the playback, which ends here.
  void finishPlayback();

  // Told once the screen has closed for the end of playback (the application delegate).
  std::function<void()> onFinished;

  // The player's view (the file's name and Done), added when the screen first appears.
  std::shared_ptr<platform::ui::View> theMoviePlayerView;

  void viewDidLoad() override;
  void viewDidAppear(bool animated) override;
  bool shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation) override {
    return true;
  }

private:
  std::string path_;
  bool cleanupMovieWhenDone_ = false;
  bool playedMovie_ = false;
  bool observing_ = false;
  bool finished_ = false;
  std::shared_ptr<platform::ui::Button> doneButton_;
};
