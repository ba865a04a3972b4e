// The movie player: where a file plays (the page, else the desktop program, never started here),
// the end of playback reported once, and play-then-delete removing exactly the played file and
// never a folder, a link or a file outside the application's storage.
#include "platform/media/MoviePlayer.h"

#include "tests/support/TestSupport.h"

#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace platform;
namespace fs = std::filesystem;

namespace {

class MoviePlayerTest : public ::testing::Test {
protected:
  void SetUp() override {
    RunLoop::makeMainThread();
    Paths::setHome(tmp.path() + "/home");
    home = Paths::home();
    MoviePlayer::setLauncher([this](const std::vector<std::string> &argv) {
      launched.push_back(argv);
      return launcherWorks;
    });
  }
  void TearDown() override {
    MoviePlayer::finish();
    RunLoop::main()->runPending();
    MoviePlayer::setPage(nullptr);
    MoviePlayer::setLauncher(nullptr);
    Paths::setHome("");
  }
  std::string file(const std::string &relative) {
    const std::string path = home + "/" + relative;
    fs::create_directories(fs::path(path).parent_path());
    testsupport::writeFile(path, "movie");
    return path;
  }
  testsupport::TempDir tmp{"ferrowen-movie"};
  std::string home;
  bool launcherWorks = true;
  std::vector<std::vector<std::string>> launched;
};

TEST_F(MoviePlayerTest, PlaysOnTheDesktopAndDeletesThePlayedFileWhenEndedByHand) {
  const std::string clip = file("tmp/clip.mp4");
  const std::string neighbour = file("tmp/other.mp4");
  int ended = 0;
  ASSERT_TRUE(MoviePlayer::play(clip, true, [&] {
    ++ended;
    EXPECT_FALSE(fs::exists(clip)) << "the clean-up runs before the caller hears of the end";
  }));
  ASSERT_EQ(launched.size(), 1u);
  EXPECT_EQ(launched[0], (std::vector<std::string>{"xdg-open", clip}));
  auto playing = MoviePlayer::nowPlaying();
  ASSERT_TRUE(playing);
  EXPECT_EQ(playing->path, clip);
  EXPECT_TRUE(playing->cleanupWhenDone);
  EXPECT_EQ(playing->where, MoviePlayer::Where::Desktop);

  MoviePlayer::finish();
  MoviePlayer::finish(); // reported once
  EXPECT_EQ(ended, 1);
  EXPECT_FALSE(MoviePlayer::nowPlaying());
  EXPECT_FALSE(fs::exists(clip));
  EXPECT_TRUE(fs::exists(neighbour));

  // Without the clean-up the file stays.
  ASSERT_TRUE(MoviePlayer::play(neighbour, false, nullptr));
  MoviePlayer::finish();
  EXPECT_TRUE(fs::exists(neighbour));
}

TEST_F(MoviePlayerTest, ThePageTakesTheFileWhenAttachedAndReportsTheEnd) {
  const std::string clip = file("Documents/Files/song.mp3");
  std::function<void()> pageEnded;
  MoviePlayer::setPage([&](const std::string &path, std::function<void()> ended) {
    EXPECT_EQ(path, clip);
    pageEnded = std::move(ended);
    return true;
  });
  int ended = 0;
  ASSERT_TRUE(MoviePlayer::play(clip, true, [&] { ++ended; }));
  EXPECT_TRUE(launched.empty()) << "no desktop program while the page plays";
  EXPECT_EQ(MoviePlayer::nowPlaying()->where, MoviePlayer::Where::Page);
  pageEnded();
  RunLoop::main()->runPending();
  EXPECT_EQ(ended, 1);
  EXPECT_FALSE(fs::exists(clip));

  // A page that cannot take the file leaves it to the desktop.
  MoviePlayer::setPage([](const std::string &, std::function<void()>) { return false; });
  const std::string other = file("Documents/Files/b.mp3");
  ASSERT_TRUE(MoviePlayer::play(other, false, nullptr));
  EXPECT_EQ(launched.size(), 1u);
}

TEST_F(MoviePlayerTest, ALatePageEndDoesNotEndTheNextPlayback) {
  std::vector<std::function<void()>> ends;
  MoviePlayer::setPage([&](const std::string &, std::function<void()> ended) {
    ends.push_back(std::move(ended));
    return true;
  });
  const std::string first = file("tmp/1.mp4"), second = file("tmp/2.mp4");
  ASSERT_TRUE(MoviePlayer::play(first, true, nullptr));
  ASSERT_TRUE(MoviePlayer::play(second, true, nullptr)); // ends the first
  EXPECT_FALSE(fs::exists(first));
  ends[0]();
  RunLoop::main()->runPending();
  ASSERT_TRUE(MoviePlayer::nowPlaying());
  EXPECT_EQ(MoviePlayer::nowPlaying()->path, second);
  EXPECT_TRUE(fs::exists(second));
}

TEST_F(MoviePlayerTest, NothingPlaysWithoutAFileOrAPlayer) {
  fs::create_directories(home + "/tmp/folder.mp4");
  EXPECT_FALSE(MoviePlayer::play(home + "/tmp/folder.mp4", true, nullptr));
  EXPECT_FALSE(MoviePlayer::play(home + "/tmp/missing.mp4", true, nullptr));
  EXPECT_TRUE(launched.empty());
  launcherWorks = false;
  const std::string clip = file("tmp/clip.mp4");
  EXPECT_FALSE(MoviePlayer::play(clip, true, nullptr));
  EXPECT_FALSE(MoviePlayer::nowPlaying());
  EXPECT_TRUE(fs::exists(clip)) << "a playback that never began deletes nothing";
  EXPECT_TRUE(fs::exists(home + "/tmp/folder.mp4"));
}

TEST_F(MoviePlayerTest, TheCleanUpDeletesOnlyRegularFilesOfTheApplicationsStorage) {
  const std::string outside = tmp.path() + "/outside.mp4";
  testsupport::writeFile(outside, "keep");
  fs::create_directories(home + "/tmp");
  fs::create_symlink(outside, home + "/tmp/link.mp4");
  fs::create_directory_symlink(tmp.path(), home + "/tmp/away");
  fs::create_directories(home + "/tmp/dir.mp4");
  const struct {
    std::string path;
    bool mayDelete;
  } cases[] = {
      {file("tmp/a.mp4"), true},
      {file("Documents/Files/deep/b.mov"), true},
      {outside, false},
      {home + "/tmp/link.mp4", false},          // a link: its target is no file of ours
      {home + "/tmp/away/outside.mp4", false},  // through a linked folder to the outside
      {home + "/tmp/../../outside.mp4", false}, // dot-dot out of the storage
      {home + "/tmp/dir.mp4", false},
      {"tmp/a.mp4", false},
  };
  for (const auto &c : cases)
    EXPECT_EQ(MoviePlayer::mayDelete(c.path), c.mayDelete) << c.path;

  // Played from outside with the clean-up asked for: it plays, and the file stays.
  ASSERT_TRUE(MoviePlayer::play(outside, true, nullptr));
  MoviePlayer::finish();
  EXPECT_EQ(testsupport::readFile(outside), "keep");
}

} // namespace
