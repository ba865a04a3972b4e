// The movie player: plays one local audio or video file at a time, in the browser page when one
// is attached (a video or audio element), else through the desktop's player (xdg-open). It
// remembers what plays, and reports the end of playback once on the main run loop: when the page
// says so, when the person closes it, or when finish() is called (tests end playback by hand; a
// desktop player cannot tell us, so its end is the closing of our player screen).
//
// Play-then-delete: asked to clean up, it deletes exactly the played file afterwards, and only
// when that is a regular file inside the application's data root (never a folder, a link, or
// anything outside).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class MoviePlayer {
public:
  // The page's player: true when it took the file; `ended` runs when playback ends there.
  using Page = std::function<bool(const std::string &path, std::function<void()> ended)>;
  // Starts a program with an argument vector (never a shell); true when it started.
  using Launcher = std::function<bool(const std::vector<std::string> &argv)>;

  enum class Where { Page, Desktop };
  struct Playing {
    std::string path;
    bool cleanupWhenDone = false;
    Where where = Where::Desktop;
  };

  // Plays the file; `ended` (may be empty) runs on the main run loop after the end of playback
  // and after the clean-up. False, and nothing plays, when the file is no regular file or neither
  // the page nor a desktop player could take it. A file still playing is ended first.
  static bool play(const std::string &path, bool cleanupWhenDone, std::function<void()> ended);
  // What plays now.
  static std::optional<Playing> nowPlaying();
  // Ends the present playback (the player's Done, or a test); nothing when nothing plays.
  static void finish();

  // Whether a clean-up may delete this path: a regular file (not a link) inside the data root.
  static bool mayDelete(const std::string &path);

  // The page hook (installed by whoever runs the renderer; empty: no page).
  static void setPage(Page page);
  // Tests inject the launcher so that no desktop program ever starts; empty restores xdg-open.
  static void setLauncher(Launcher launcher);
};

} // namespace platform
