// Cloud Files in the whole application, driven through the probe from a fresh start: the cloud
// folder is offered at once; a cloud text file opened in the editor follows another process's
// coordinated write (Save waits while that process holds its lock) and is saved under a
// coordinated write of its own; the viewer reloads a document changed elsewhere; a movie plays
// in the movie player screen until its end is reported; a copy into Saved Files badges the tab.
#include "AppFixture.h"

#include "tests/support/ChildProcess.h"

#include "app/editor/EditFileView.h"
#include "app/editor/WebDocumentViewController.h"
#include "app/files/MyMoviePlayer.h"
#include "app/foundation/PlatformExtensions.h"
#include "app/foundation/SettingsKeys.h"

#include "platform/foundation/Log.h"
#include "platform/media/CloudContainer.h"
#include "platform/media/MoviePlayer.h"
#include "tests/support/TimeScale.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

using namespace platform;
using namespace platform::ui;

namespace {

class CloudFilesTest : public AppTest {
protected:
  void SetUp() override {
    AppTest::SetUp();
    cloud = home_ + "/Cloud";
  }
  // Runs the main loop (the watches, the edit queue's hand-overs) until the condition holds; the
  // application's clock moves on meanwhile (a presenter looks again for a lock given up).
  bool until(const std::function<bool()> &cond) {
    return RunLoop::main()->runUntil(
        [&] {
          clock->advance(std::chrono::milliseconds(10));
          return cond();
        },
        testsupport::scaled(seconds(20)));
  }
  // A fresh start with these documents in the cloud (the account already has its about file),
  // Saved Files chosen and Cloud Files opened.
  void openCloudFiles(const std::map<std::string, std::string> &documents,
                      const DeviceProfile &profile = DeviceProfile::iPhone()) {
    boot(profile);
    ASSERT_TRUE(probe->tapTab("Saved Files")) << probe->lastError();
    advance(0.5);
    ASSERT_TRUE(FileManager::isDirectory(cloud)) << "made at the first start";
    CloudContainer::setKeyValueFlagOnce("StoredAbout");
    for (auto &[name, content] : documents) {
      std::filesystem::create_directories(std::filesystem::path(cloud + "/" + name).parent_path());
      testsupport::writeFile(cloud + "/" + name, content);
    }
    ASSERT_TRUE(probe->tapRow("Cloud Files")) << probe->lastError();
    advance(0.5);
    ASSERT_TRUE(until([&] { return probe->visibleRows().size() == documents.size(); }));
  }
  // Selects a row and taps the navigation bar's button for it.
  void openRow(const std::string &row, const std::string &button) {
    ASSERT_TRUE(probe->tapRow(row)) << probe->lastError();
    ASSERT_TRUE(probe->tap(button)) << probe->lastError();
    advance(0.5);
  }
  // The other program's signal, and its end, waited for while the application runs on (it may
  // need the main thread to give up a lock the other program waits for).
  bool signalled(testsupport::ForkedChild &other) {
    return until([&] { return other.awaitSignal(std::chrono::milliseconds(0)); });
  }
  std::optional<int> ended(testsupport::ForkedChild &other) {
    std::optional<int> code;
    until([&] { return (code = other.wait(std::chrono::milliseconds(0))).has_value(); });
    return code;
  }
  // The kernel's list of locks on the file: held ones, or ones waited for.
  static bool lockListed(const std::string &path, bool waited) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    std::ifstream locks("/proc/locks");
    std::string line;
    const std::string inode = ":" + std::to_string(st.st_ino) + " ";
    while (std::getline(locks, line))
      if (line.find(inode) != std::string::npos &&
          (!waited || line.find("-> FLOCK") != std::string::npos))
        return true;
    return false;
  }
  static bool someoneWaitsToLock(const std::string &path) { return lockListed(path, true); }
  // A forked program keeps the locks this one holds as it forks: it starts once the application's
  // own accesses of the file are over.
  bool quiet(const std::string &path) {
    return until([&] { return !lockListed(path, false); });
  }

  // A copy into Saved Files badges the tab for 3 s; a file's sheet comes from its row and the
  // folder's menu from its button on iPad, both from the tab bar on iPhone.
  void copyAndBadge(const DeviceProfile &profile) {
    openCloudFiles({{"a.txt", "cloud a"}}, profile);
    auto files = delegate->navigationControllerFiles();
    ASSERT_TRUE(probe->tapAccessory("a.txt")) << probe->lastError();
    auto sheets = delegate->window()->actionSheets();
    ASSERT_EQ(sheets.size(), 1u);
    EXPECT_EQ(sheets[0]->anchor().kind,
              profile.isiPad() ? Anchor::Kind::Rect : Anchor::Kind::TabBar);
    ASSERT_TRUE(probe->answerSheet("Copy From Cloud Files")) << probe->lastError();
    ASSERT_TRUE(until([&] { return files->tabBarItem()->badgeValue() == "+"; }));
    EXPECT_EQ(testsupport::readFile(root + "/a.txt"), "cloud a");
    EXPECT_EQ(testsupport::readFile(cloud + "/a.txt"), "cloud a");
    advance(3);
    EXPECT_FALSE(files->tabBarItem()->badgeValue()) << "for 3 s";
    ASSERT_TRUE(probe->tap("Menu")) << probe->lastError();
    sheets = delegate->window()->actionSheets();
    ASSERT_EQ(sheets.size(), 1u);
    EXPECT_EQ(sheets[0]->anchor().kind,
              profile.isiPad() ? Anchor::Kind::BarButtonItem : Anchor::Kind::TabBar);
    ASSERT_TRUE(probe->answerSheet("Cancel")) << probe->lastError();
  }

  // Opens a document of the list in the editor and waits for its text.
  std::shared_ptr<EditFileView> openEditor(const std::string &name, const std::string &text) {
    openRow(name, "Edit");
    auto editor = std::dynamic_pointer_cast<EditFileView>(probe->topViewController());
    if (!editor) return nullptr;
    if (!until([&] { return editor->theText && editor->theText->text() == text; })) return nullptr;
    return editor;
  }
  // Another program changes the document as programs do, without coordination: a whole new file
  // renamed over it, or (no content) the document unlinked.
  bool changedElsewhere(const std::string &path, const std::optional<std::string> &content) {
    if (!quiet(path)) return false;
    testsupport::ForkedChild other([&](testsupport::ForkedChild &) {
      if (!content) return ::unlink(path.c_str()) == 0 ? 0 : 1;
      const std::string temp = path + ".tmp-other";
      FILE *f = std::fopen(temp.c_str(), "wb");
      if (!f || std::fputs(content->c_str(), f) < 0 || std::fclose(f) != 0) return 2;
      return ::rename(temp.c_str(), path.c_str()) == 0 ? 0 : 3;
    });
    return ended(other) == 0;
  }
  // The alerts shown now, by title.
  std::vector<std::string> alertTitles() {
    std::vector<std::string> out;
    for (auto &a : probe->pendingAlerts())
      out.push_back(a.title);
    return out;
  }
  // What the phone's edit record keeps of the typed text: the working copy it names.
  static std::string keptText() {
    const std::string kept = UserDefaults::standard().stringForKey(kEditingFTPFile).value_or("");
    return kept.empty() ? std::string("(no record)") : testsupport::readFile(kept);
  }

  // Save waits for another program's lock, and the edit is discarded meanwhile (below).
  void discardWhileASaveWaits(bool pad);

  std::string cloud;
};

// Another program on the same folder, with plain system calls: it holds the document's lock
// (exclusive to write, shared to read) from its first signal until the test lets it go on.
int otherProgram(testsupport::ForkedChild &self, const std::string &path, bool write,
                 const std::string &content) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || ::flock(fd, write ? LOCK_EX : LOCK_SH) != 0) return 1;
  const std::string temp = path + ".tmp-other";
  if (write) {
    // Written as an atomic save does: a new file beside it, renamed over it when whole.
    FILE *f = std::fopen(temp.c_str(), "wb");
    if (!f || std::fputs(content.c_str(), f) < 0 || std::fclose(f) != 0) return 2;
  }
  self.signal();
  if (!self.awaitSignal()) return 3;
  if (write && ::rename(temp.c_str(), path.c_str()) != 0) return 4;
  ::close(fd);
  return 0;
}

void CloudFilesTest::discardWhileASaveWaits(bool pad) {
  openCloudFiles({{"h.txt", "first"}}, pad ? DeviceProfile::iPad() : DeviceProfile::iPhone());
  const std::string path = cloud + "/h.txt";
  LogCapture logged(Log::Sink::System);
  openRow("h.txt", "Edit");
  auto editor = std::dynamic_pointer_cast<EditFileView>(delegate->editFileView());
  ASSERT_TRUE(editor);
  ASSERT_TRUE(until([&] { return editor->theText && editor->theText->text() == "first"; }));
  ASSERT_TRUE(quiet(path));
  testsupport::ForkedChild reader(
      [&](testsupport::ForkedChild &c) { return otherProgram(c, path, false, ""); });
  ASSERT_TRUE(signalled(reader));
  ASSERT_TRUE(probe->type("File Text", "discarded ")) << probe->lastError();
  ASSERT_TRUE(probe->tap("Save")) << probe->lastError();
  ASSERT_TRUE(until([&] { return someoneWaitsToLock(path); }));
  ASSERT_TRUE(probe->tap(pad ? "Close File" : "Cancel")) << probe->lastError();
  ASSERT_TRUE(probe->answerAlert("Yes, Discard")) << probe->lastError();
  EXPECT_TRUE(until([&] { return !editor->fCurrentlyActive; }));
  reader.signal();
  EXPECT_EQ(ended(reader), 0);
  // The waiting write has its turn, and writes or not.
  ASSERT_TRUE(until([&] {
    return logged.contains("save:to:" + path) ||
           logged.contains("EditFileView: discarded, not written: " + path);
  }));
  advance(1);
  EXPECT_EQ(testsupport::readFile(path), "first") << "the discarded text was written";
  EXPECT_TRUE(alertTitles().empty());
}

} // namespace

TEST_F(CloudFilesTest, TheEditorFollowsAnotherProcessAndSavesCoordinated) {
  openCloudFiles({{"notes.txt", "first"}});
  const std::string path = cloud + "/notes.txt";
  openRow("notes.txt", "Edit");
  auto editor = std::dynamic_pointer_cast<EditFileView>(probe->topViewController());
  ASSERT_TRUE(editor);
  EXPECT_TRUE(editor->editingCloudFile());
  ASSERT_TRUE(until([&] { return editor->theText->text() == "first"; }));

  // Another program writes the file: Save waits while it holds its lock, then the editor shows
  // what it wrote.
  {
    ASSERT_TRUE(quiet(path));
    testsupport::ForkedChild other(
        [&](testsupport::ForkedChild &c) { return otherProgram(c, path, true, "second"); });
    ASSERT_TRUE(signalled(other));
    EXPECT_TRUE(until([&] { return !editor->saveButton->isEnabled(); }));
    EXPECT_EQ(editor->theText->text(), "first");
    other.signal();
    EXPECT_EQ(ended(other), 0);
    EXPECT_TRUE(until(
        [&] { return editor->saveButton->isEnabled() && editor->theText->text() == "second"; }));
  }

  // Saving while another program reads it: the write waits for the reader, then lands; the
  // editor stays (its Save off) until it has, and closes then.
  {
    ASSERT_TRUE(quiet(path));
    testsupport::ForkedChild reader(
        [&](testsupport::ForkedChild &c) { return otherProgram(c, path, false, ""); });
    ASSERT_TRUE(signalled(reader));
    ASSERT_TRUE(probe->type("File Text", "mine ")) << probe->lastError();
    ASSERT_TRUE(probe->tap("Save")) << probe->lastError();
    advance(0.5);
    EXPECT_TRUE(until([&] { return someoneWaitsToLock(path); }));
    EXPECT_EQ(testsupport::readFile(path), "second");
    EXPECT_EQ(probe->topViewController(), editor) << "closed before the file was written";
    EXPECT_FALSE(editor->saveButton->isEnabled());
    reader.signal();
    EXPECT_EQ(ended(reader), 0);
    EXPECT_TRUE(until([&] { return testsupport::readFile(path) == "mine second"; }));
    EXPECT_TRUE(until([&] { return probe->topViewController() != editor; }));
  }
}

// Another program reads the file the editor shows, coordinated: the editor keeps what was typed
// (beside the file, which holds what it held until Save) and lets go (Save is off) while it reads,
// so it reads the file; then Save is back, and the typed text still in the editor.
TEST_F(CloudFilesTest, AnotherProgramsReadGetsTheFileNotTheUnsavedText) {
  openCloudFiles({{"notes.txt", "first"}});
  const std::string path = cloud + "/notes.txt", hold = home_ + "/read-over";
  openRow("notes.txt", "Edit");
  auto editor = std::dynamic_pointer_cast<EditFileView>(probe->topViewController());
  ASSERT_TRUE(editor);
  ASSERT_TRUE(until([&] { return editor->theText->text() == "first"; }));
  ASSERT_TRUE(probe->type("File Text", "mine ")) << probe->lastError();
  ASSERT_TRUE(quiet(path));
  LogCapture logged(Log::Sink::System);
  testsupport::Process reader({CLOUD_OTHER_READER, cloud, path, "20000", hold}, home_);
  ASSERT_TRUE(reader.started());
  ASSERT_TRUE(until([&] { return reader.output().find("reading") != std::string::npos; }))
      << reader.output() << reader.errors();
  EXPECT_FALSE(editor->saveButton->isEnabled()) << "let go while the other program reads";
  testsupport::writeFile(hold, "");
  ASSERT_TRUE(until([&] { return !reader.running(); }));
  EXPECT_NE(reader.output().find("read:first\n"), std::string::npos) << reader.output();
  EXPECT_TRUE(until([&] { return editor->saveButton->isEnabled(); }));
  EXPECT_EQ(editor->theText->text(), "mine first");
  EXPECT_TRUE(logged.contains("savePresentedItemChangesWithCompletionHandlerSAVED"));
  EXPECT_EQ(testsupport::readFile(path), "first");
}

TEST_F(CloudFilesTest, TheViewerShowsAChangeMadeElsewhere) {
  openCloudFiles({{"report.pdf", "%PDF-1.4 one"}});
  const std::string path = cloud + "/report.pdf";
  openRow("report.pdf", "View");
  std::shared_ptr<WebDocumentViewController> viewer;
  ASSERT_TRUE(until([&] {
    viewer = std::dynamic_pointer_cast<WebDocumentViewController>(probe->topViewController());
    return viewer != nullptr;
  }));
  advance(0.5);
  ASSERT_TRUE(until([&] { return !viewer->webView->loads().empty(); }));
  EXPECT_NE(viewer->webView->loads().back().url.find("report.pdf"), std::string::npos);
  ASSERT_TRUE(quiet(path));
  const size_t loads = viewer->webView->loads().size();
  testsupport::ForkedChild other(
      [&](testsupport::ForkedChild &c) { return otherProgram(c, path, true, "%PDF-1.4 two"); });
  ASSERT_TRUE(signalled(other));
  other.signal();
  EXPECT_EQ(ended(other), 0);
  EXPECT_TRUE(until([&] { return viewer->webView->loads().size() > loads; }));
  // Closing leaves the cloud document where it is.
  ASSERT_TRUE(probe->tap("Cancel")) << probe->lastError();
  advance(0.5);
  EXPECT_EQ(testsupport::readFile(path), "%PDF-1.4 two");
}

TEST_F(CloudFilesTest, AMoviePlaysInThePlayerScreenUntilItsEnd) {
  openCloudFiles({{"clip.mp4", "movie"}});
  openRow("clip.mp4", "Play");
  ASSERT_TRUE(until([&] { return modalCount() == 1; }));
  advance(0.5);
  auto player = delegate->moviePlayer();
  ASSERT_TRUE(player);
  EXPECT_TRUE(player->playedMovie());
  auto playing = MoviePlayer::nowPlaying();
  ASSERT_TRUE(playing);
  EXPECT_EQ(playing->path, cloud + "/clip.mp4");
  // Appearing again adds no second player.
  ASSERT_TRUE(player->theMoviePlayerView);
  player->viewDidAppear(false);
  EXPECT_EQ(player->view()->subviews().size(), 1u);
  // The end of playback is reported: the screen closes and the cloud document stays.
  MoviePlayer::finish();
  advance(0.5);
  EXPECT_EQ(modalCount(), 0u);
  EXPECT_FALSE(delegate->moviePlayer());
  EXPECT_FALSE(player->theMoviePlayerView);
  EXPECT_EQ(testsupport::readFile(cloud + "/clip.mp4"), "movie");
}

TEST_F(CloudFilesTest, ACopyIntoSavedFilesBadgesItsTabOnThePhone) {
  copyAndBadge(DeviceProfile::iPhone());
}

TEST_F(CloudFilesTest, ACopyIntoSavedFilesBadgesItsTabOnTheTablet) {
  copyAndBadge(DeviceProfile::iPad());
}

// A file listed small that has grown past what the editor takes by the time Edit is pressed is
// never read (it stays as it is) and the person is told, in Cloud Files and in Saved Files alike.
TEST_F(CloudFilesTest, AFileGrownSinceItWasListedIsNotOpenedInTheEditor) {
  testsupport::writeFile(root + "/big.txt", "small");
  openCloudFiles({{"grown.txt", "small"}});
  const auto tooBig = static_cast<uintmax_t>(textEditSizeLimit()) + 1;
  auto refused = [&](const std::string &row, const std::string &path) {
    SCOPED_TRACE(path);
    ASSERT_TRUE(probe->tapRow(row)) << probe->lastError();
    std::filesystem::resize_file(path, tooBig);
    ASSERT_TRUE(probe->tap("Edit")) << probe->lastError();
    advance(0.5);
    EXPECT_FALSE(std::dynamic_pointer_cast<EditFileView>(probe->topViewController()));
    auto alerts = probe->pendingAlerts();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].title, "The Full File is Too Big to Edit");
    EXPECT_EQ(alerts[0].message, "\"" + row + "\"");
    ASSERT_TRUE(probe->answerAlert("OK")) << probe->lastError();
    EXPECT_EQ(std::filesystem::file_size(path), tooBig);
  };
  refused("grown.txt", cloud + "/grown.txt");
  ASSERT_TRUE(probe->tapBack()) << probe->lastError();
  advance(0.5);
  refused("big.txt", root + "/big.txt");
}

// Another program changes the document open in the editor. With nothing typed the editor shows
// the new content at once; with typed text nothing of it goes before the person chooses: the
// text stays in the editor and in its working copy, and the person keeps it (Save then writes it
// over the change) or takes the file as it is now.
TEST_F(CloudFilesTest, AChangeElsewhereNeverTakesTheTypedTextsPlaceUnasked) {
  struct Case {
    const char *name;
    bool typed;
    const char *answer; // nullptr: no question
    const char *textAfter, *fileAfterClose;
  } cases[] = {
      {"a.txt", false, nullptr, "second", "second"},
      {"b.txt", true, "Keep Typed Text", "mine first", "mine first"},
      {"c.txt", true, "Take the File", "second", "second"},
  };
  openCloudFiles({{"a.txt", "first"}, {"b.txt", "first"}, {"c.txt", "first"}});
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = cloud + "/" + c.name;
    auto editor = openEditor(c.name, "first");
    ASSERT_TRUE(editor);
    if (c.typed) {
      ASSERT_TRUE(probe->type("File Text", "mine ")) << probe->lastError();
    }
    ASSERT_TRUE(changedElsewhere(path, "second"));
    if (!c.answer) {
      EXPECT_TRUE(until([&] { return editor->theText->text() == "second"; }));
      EXPECT_TRUE(alertTitles().empty());
    } else {
      ASSERT_TRUE(until([&] { return !alertTitles().empty(); })) << editor->theText->text();
      EXPECT_EQ(alertTitles(), std::vector<std::string>{"File Changed"});
      EXPECT_EQ(editor->theText->text(), "mine first");
      EXPECT_EQ(keptText(), "mine first") << "the working copy and its record stay";
      ASSERT_TRUE(probe->answerAlert(c.answer)) << probe->lastError();
      advance(0.5);
      EXPECT_EQ(editor->theText->text(), c.textAfter);
    }
    EXPECT_EQ(testsupport::readFile(path), "second");
    // Save writes what the editor shows, and the editor closes.
    ASSERT_TRUE(probe->tap("Save")) << probe->lastError();
    EXPECT_TRUE(until([&] { return probe->topViewController() != editor; }));
    EXPECT_TRUE(until([&] { return testsupport::readFile(path) == c.fileAfterClose; }));
    EXPECT_EQ(keptText(), "(no record)");
  }
}

// Another program removes the document open in the editor. With nothing typed the editor closes
// as if cancelled; with typed text it stays open with the text, says the file was removed, and
// offers to save it again (the file is back with the text) or to discard it.
TEST_F(CloudFilesTest, ARemovalElsewhereKeepsTheTypedTextUntilThePersonChooses) {
  struct Case {
    const char *name;
    bool typed;
    const char *answer; // nullptr: no question
    std::optional<std::string> fileAfter;
  } cases[] = {
      {"d.txt", false, nullptr, std::nullopt},
      {"e.txt", true, "Save Again", "mine first"},
      {"f.txt", true, "Discard", std::nullopt},
  };
  openCloudFiles({{"d.txt", "first"}, {"e.txt", "first"}, {"f.txt", "first"}});
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = cloud + "/" + c.name;
    auto editor = openEditor(c.name, "first");
    ASSERT_TRUE(editor);
    if (c.typed) {
      ASSERT_TRUE(probe->type("File Text", "mine ")) << probe->lastError();
    }
    ASSERT_TRUE(changedElsewhere(path, std::nullopt));
    if (c.answer) {
      ASSERT_TRUE(until([&] { return !alertTitles().empty(); }));
      EXPECT_EQ(alertTitles(), std::vector<std::string>{"File Removed"});
      EXPECT_EQ(probe->topViewController(), editor);
      EXPECT_EQ(editor->theText->text(), "mine first");
      EXPECT_EQ(keptText(), "mine first");
      ASSERT_TRUE(probe->answerAlert(c.answer)) << probe->lastError();
    }
    EXPECT_TRUE(until([&] { return probe->topViewController() != editor; }));
    if (c.fileAfter)
      EXPECT_TRUE(until([&] { return testsupport::readFile(path) == *c.fileAfter; }));
    else
      EXPECT_FALSE(FileManager::fileExists(path));
    EXPECT_EQ(keptText(), "(no record)");
    EXPECT_TRUE(alertTitles().empty());
  }
}

// A save that lands after its editor has closed does nothing more: no word about an editor that
// is gone. The save waits while another program reads the document; meanwhile the person
// discards the typed text (the editor closes); then that program removes the document and its
// folder and lets go, so the waiting write fails. (A removal while the editor's own write waits
// is told after that write, to the editor still open.)
TEST_F(CloudFilesTest, ASaveLandingAfterItsEditorClosedSaysNothing) {
  openCloudFiles({{"one/g.txt", "first"}});
  auto list = probe->topViewController();
  LogCapture logged(Log::Sink::System);
  const std::string folder = cloud + "/one", path = folder + "/g.txt";
  auto editor = openEditor("g.txt", "first");
  ASSERT_TRUE(editor);
  ASSERT_TRUE(quiet(path));
  // Reads under its lock; when told, removes the document and its folder and lets go.
  testsupport::ForkedChild reader([&](testsupport::ForkedChild &self) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::flock(fd, LOCK_SH) != 0) return 1;
    self.signal();
    if (!self.awaitSignal() || ::unlink(path.c_str()) != 0 || ::rmdir(folder.c_str()) != 0)
      return 2;
    ::close(fd);
    return 0;
  });
  ASSERT_TRUE(signalled(reader));
  ASSERT_TRUE(probe->type("File Text", "mine ")) << probe->lastError();
  ASSERT_TRUE(probe->tap("Save")) << probe->lastError();
  ASSERT_TRUE(until([&] { return someoneWaitsToLock(path); }));
  EXPECT_EQ(probe->topViewController(), editor) << "closed before the file was written";
  ASSERT_TRUE(probe->tap("Cancel")) << probe->lastError();
  ASSERT_TRUE(probe->answerAlert("Yes, Discard")) << probe->lastError();
  EXPECT_TRUE(until([&] { return probe->topViewController() == list; }));
  reader.signal();
  EXPECT_EQ(ended(reader), 0);
  // The write fails (its folder is gone): nothing is said of it, nothing moves. Its outcome is on
  // its way to the main thread before its failure is logged: the loop run below delivers it.
  ASSERT_TRUE(until([&] {
    return logged.contains("EditFileView: cannot coordinate a write of " + path) ||
           logged.contains("EditFileView: could not write " + path);
  }));
  RunLoop::main()->runPending();
  advance(1);
  EXPECT_EQ(alertTitles(), std::vector<std::string>{});
  EXPECT_EQ(probe->topViewController(), list);
  EXPECT_FALSE(FileManager::fileExists(path));
}

// Another program holds the document's lock; Save waits for it; meanwhile the person discards the
// typed text ("Yes, Discard" closes the editor). When the lock goes, the waiting write looks again
// and writes nothing: the document keeps what it held.
TEST_F(CloudFilesTest, ADiscardWhileASaveWaitsForALockWritesNothingOnThePhone) {
  discardWhileASaveWaits(false);
}
TEST_F(CloudFilesTest, ADiscardWhileASaveWaitsForALockWritesNothingOnTheTablet) {
  discardWhileASaveWaits(true);
}
