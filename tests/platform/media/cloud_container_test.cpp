// The cloud container against a second process on the same folder: availability as the folder
// comes and goes, coordinated writes and reads that never interleave across processes, what
// coordination refuses, and the query seeing another process's new file through its watch.
#include "platform/media/CloudContainer.h"

#include "tests/support/ChildProcess.h"
#include "tests/support/FarTimes.h"
#include "tests/support/TestSupport.h"

#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

using namespace platform;
using testsupport::ForkedChild;
namespace fs = std::filesystem;

namespace {

class CloudContainerTest : public ::testing::Test {
protected:
  void SetUp() override {
    RunLoop::makeMainThread();
    Paths::setHome(tmp.path() + "/home");
    cloud = Paths::home() + "/Cloud";
  }
  void TearDown() override {
    CloudContainer::setFolder("");
    Paths::setHome("");
  }
  // Writes `n` blocks of one letter in place, slowly, so that a reader could meet half of them.
  static void writeSlowly(const std::string &path, char letter, int n = 8) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC);
    const std::string block(4096, letter);
    for (int i = 0; i < n; ++i) {
      (void)!::write(fd, block.data(), block.size());
      ::usleep(20000);
    }
    ::close(fd);
  }
  static bool uniform(const std::string &s, char letter, size_t size) {
    return s.size() == size && s.find_first_not_of(letter) == std::string::npos;
  }
  testsupport::TempDir tmp{"ferrowen-cloud"};
  std::string cloud;
};

TEST_F(CloudContainerTest, AvailableOnlyWhileAWritableFolderIsThere) {
  EXPECT_EQ(CloudContainer::folder(), cloud);
  EXPECT_FALSE(CloudContainer::isAvailable()) << "no folder yet";
  testsupport::writeFile(cloud, "a file in its place");
  EXPECT_FALSE(CloudContainer::isAvailable());
  fs::remove(cloud);
  fs::create_directories(tmp.path() + "/elsewhere");
  fs::create_directory_symlink(tmp.path() + "/elsewhere", cloud);
  EXPECT_FALSE(CloudContainer::isAvailable()) << "a link to a folder elsewhere";
  fs::remove(cloud);
  fs::create_directories(cloud);
  EXPECT_TRUE(CloudContainer::isAvailable());
  if (::geteuid() != 0) {
    ::chmod(cloud.c_str(), 0555);
    EXPECT_FALSE(CloudContainer::isAvailable()) << "read-only";
    ::chmod(cloud.c_str(), 0755);
  }
  fs::remove_all(cloud);
  EXPECT_FALSE(CloudContainer::isAvailable()) << "gone again";

  // The setting names another folder; empty returns to the default.
  CloudContainer::setFolder(tmp.path() + "/elsewhere/");
  EXPECT_EQ(CloudContainer::folder(), tmp.path() + "/elsewhere");
  EXPECT_TRUE(CloudContainer::isAvailable());
  CloudContainer::setFolder("");
  EXPECT_EQ(CloudContainer::folder(), cloud);
}

TEST_F(CloudContainerTest, ContainsOnlyPathsBelowTheFolder) {
  const struct {
    std::string path;
    bool inside;
  } cases[] = {
      {cloud + "/a.txt", true},       {cloud + "/sub/b.txt", true}, {cloud, false},
      {cloud + "/", false},           {cloud + "/../x.txt", false}, {cloud + "/sub/../../x", false},
      {cloud + "Other/a.txt", false}, {"Cloud/a.txt", false},       {"", false},
  };
  for (const auto &c : cases)
    EXPECT_EQ(CloudContainer::contains(c.path), c.inside) << c.path;
}

TEST_F(CloudContainerTest, CoordinationRefusesLinksFoldersAndPathsOutside) {
  fs::create_directories(cloud + "/folder");
  testsupport::writeFile(tmp.path() + "/outside.txt", "secret");
  fs::create_symlink(tmp.path() + "/outside.txt", cloud + "/link.txt");
  int calls = 0;
  auto count = [&](const std::string &) { ++calls; };
  for (const std::string &path : {cloud + "/folder", cloud + "/link.txt",
                                  tmp.path() + "/outside.txt", cloud + "/../outside.txt"}) {
    EXPECT_FALSE(CloudContainer::coordinateReading(path, count)) << path;
    EXPECT_FALSE(CloudContainer::coordinateWriting(path, count)) << path;
  }
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(testsupport::readFile(tmp.path() + "/outside.txt"), "secret");

  // A missing item: a read has nothing to lock; a write locks a new empty file.
  EXPECT_TRUE(CloudContainer::coordinateReading(cloud + "/new.txt", count));
  EXPECT_FALSE(fs::exists(cloud + "/new.txt"));
  EXPECT_TRUE(CloudContainer::coordinateWriting(cloud + "/new.txt", [&](const std::string &p) {
    EXPECT_TRUE(fs::is_regular_file(p));
    testsupport::writeFile(p, "made");
  }));
  EXPECT_EQ(testsupport::readFile(cloud + "/new.txt"), "made");
  // A write that writes nothing there (it found it had nothing to do) leaves no empty file behind.
  EXPECT_TRUE(CloudContainer::coordinateWriting(cloud + "/unwritten.txt", count));
  EXPECT_FALSE(fs::exists(cloud + "/unwritten.txt"));
}

TEST_F(CloudContainerTest, AReadWaitsForAnotherProcessesWrite) {
  fs::create_directories(cloud);
  const std::string item = cloud + "/doc.txt";
  testsupport::writeFile(item, std::string(8 * 4096, 'A'));
  ForkedChild writer([&](ForkedChild &me) {
    const bool ok = CloudContainer::coordinateWriting(item, [&](const std::string &p) {
      me.signal(); // the lock is held: the parent may try to read now
      writeSlowly(p, 'B');
    });
    return ok ? 0 : 1;
  });
  ASSERT_TRUE(writer.started());
  ASSERT_TRUE(writer.awaitSignal());
  std::string seen;
  ASSERT_TRUE(CloudContainer::coordinateReading(
      item, [&](const std::string &p) { seen = testsupport::readFile(p); }));
  EXPECT_TRUE(uniform(seen, 'B', 8 * 4096)) << "the read met a half-written file";
  EXPECT_EQ(writer.wait(), 0);
}

TEST_F(CloudContainerTest, AnotherProcessesWriteWaitsForARead) {
  fs::create_directories(cloud);
  const std::string item = cloud + "/doc.txt";
  testsupport::writeFile(item, std::string(8 * 4096, 'A'));
  // Forked before the read takes its lock: a child forked later would share the lock itself.
  ForkedChild writer([&](ForkedChild &me) {
    me.awaitSignal();
    me.signal();
    return CloudContainer::coordinateWriting(item,
                                             [&](const std::string &w) { writeSlowly(w, 'B'); })
               ? 0
               : 1;
  });
  std::string first, second;
  ASSERT_TRUE(CloudContainer::coordinateReading(item, [&](const std::string &p) {
    first = testsupport::readFile(p);
    writer.signal();
    ASSERT_TRUE(writer.awaitSignal());
    ::usleep(200000); // the writer is trying meanwhile
    second = testsupport::readFile(p);
  }));
  EXPECT_TRUE(uniform(first, 'A', 8 * 4096));
  EXPECT_EQ(second, first) << "the write went on during the read";
  EXPECT_EQ(writer.wait(), 0);
  EXPECT_TRUE(uniform(testsupport::readFile(item), 'B', 8 * 4096));
}

TEST_F(CloudContainerTest, TheQuerySeesAnotherProcessesFileThroughItsWatch) {
  fs::create_directories(cloud + "/old");
  testsupport::writeFile(cloud + "/old/a.txt", "a");
  testsupport::writeFile(cloud + "/b.txt.ferrowen-part", "half");
  testsupport::writeFile(cloud + "/old/a.txt.tmp-Xy12z9", "saving"); // an atomic save under way
  testsupport::writeFile(cloud + "/notes.tmp-", "a document");
  fs::create_symlink("/etc/hostname", cloud + "/link");
  std::vector<std::vector<std::string>> deliveries;
  std::vector<CloudQuery::Event> events;
  auto query = CloudQuery::start(cloud, [&](CloudQuery::Event e, const std::vector<CloudItem> &is) {
    events.push_back(e);
    std::vector<std::string> names;
    for (auto &i : is)
      names.push_back(i.relative + ":" + std::to_string(i.size));
    deliveries.push_back(names);
  });
  ASSERT_TRUE(RunLoop::main()->runUntil([&] { return !deliveries.empty(); },
                                        testsupport::scaled(seconds(10))));
  EXPECT_EQ(events[0], CloudQuery::Event::FinishGathering);
  EXPECT_EQ(deliveries[0], (std::vector<std::string>{"notes.tmp-:10", "old/a.txt:1"}));

  // The other process makes a new sub-folder, then a file in it.
  ForkedChild other([&](ForkedChild &me) {
    ::mkdir((cloud + "/new").c_str(), 0755);
    me.awaitSignal();
    return CloudContainer::coordinateWriting(
               cloud + "/new/c.txt", [](const std::string &p) { testsupport::writeFile(p, "ccc"); })
               ? 0
               : 1;
  });
  auto listed = [&](const std::string &what) {
    return !deliveries.empty() && std::find(deliveries.back().begin(), deliveries.back().end(),
                                            what) != deliveries.back().end();
  };
  // The new folder is watched once a delivery has followed its making.
  ASSERT_TRUE(RunLoop::main()->runUntil(
      [&] { return deliveries.size() >= 2 && fs::exists(cloud + "/new"); },
      testsupport::scaled(seconds(20))));
  other.signal();
  EXPECT_TRUE(RunLoop::main()->runUntil([&] { return listed("new/c.txt:3"); },
                                        testsupport::scaled(seconds(20))));
  EXPECT_EQ(other.wait(), 0);
  EXPECT_EQ(events.back(), CloudQuery::Event::Update);
}

} // namespace

namespace {

// A presenter that notes what it hears, in order, in a log shared with the test.
struct Recorder : FilePresenter {
  Recorder(std::string p, std::string n, std::vector<std::string> *l)
      : path(std::move(p)), name(std::move(n)), log(l) {}
  std::string presentedItemPath() const override { return path; }
  void presentedItemDidChange() override { log->push_back(name + ":changed"); }
  std::function<void()> relinquishPresentedItemToWriter() override {
    log->push_back(name + ":toWriter");
    return [this] { log->push_back(name + ":reacquired"); };
  }
  std::function<void()> relinquishPresentedItemToReader() override {
    log->push_back(name + ":toReader");
    return [this] { log->push_back(name + ":reacquired"); };
  }
  void savePresentedItemChanges() override { log->push_back(name + ":save"); }
  void accommodatePresentedItemDeletion() override { log->push_back(name + ":deleted"); }
  std::string path, name;
  std::vector<std::string> *log;
};

bool has(const std::vector<std::string> &log, const std::string &entry) {
  return std::find(log.begin(), log.end(), entry) != log.end();
}

} // namespace

// A file dated past the clock's reach (touched to the year 2300): listed at the clock's last day,
// and its presenter hears of a write to it like any other.
TEST_F(CloudContainerTest, FilesDatedPastTheClocksReachAreListedAndPresented) {
  fs::create_directories(cloud);
  const std::string path = cloud + "/far.txt";
  testsupport::writeFile(path, "one");
  ASSERT_TRUE(testsupport::setModificationTime(path, testsupport::kYear2300));
  std::vector<CloudItem> listed;
  auto query = CloudQuery::start(
      cloud, [&](CloudQuery::Event, const std::vector<CloudItem> &items) { listed = items; });
  ASSERT_TRUE(
      RunLoop::main()->runUntil([&] { return !listed.empty(); }, testsupport::scaled(seconds(10))));
  EXPECT_EQ(testsupport::yearOf(listed[0].modified), testsupport::kLastClockYear);

  std::vector<std::string> log;
  auto viewer = std::make_shared<Recorder>(path, "viewer", &log);
  CloudContainer::addFilePresenter(viewer);
  ASSERT_TRUE(CloudContainer::coordinateWriting(path, [](const std::string &p) {
    testsupport::writeFile(p, "two");
    testsupport::setModificationTime(p, testsupport::kYear2300 + 1);
  }));
  EXPECT_TRUE(has(log, "viewer:changed"));
  CloudContainer::removeFilePresenter(viewer.get());
}

TEST_F(CloudContainerTest, PresentersHearOfEveryOtherAccessInOrder) {
  fs::create_directories(cloud);
  const std::string path = cloud + "/doc.txt";
  testsupport::writeFile(path, "one");
  std::vector<std::string> log;
  auto editor = std::make_shared<Recorder>(path, "editor", &log);
  auto viewer = std::make_shared<Recorder>(path, "viewer", &log);
  CloudContainer::addFilePresenter(editor);
  CloudContainer::addFilePresenter(viewer);
  struct Case {
    bool write;
    const FilePresenter *by;
    std::vector<std::string> heard;
  };
  const Case cases[] = {
      // The editor's own write: only the viewer hears of it, and learns of the change after.
      {true,
       editor.get(),
       {"viewer:save", "viewer:toWriter", "access", "viewer:reacquired", "viewer:changed"}},
      // A read by no presenter: both save first and get the item back; nothing changed.
      {false,
       nullptr,
       {"editor:save", "editor:toReader", "viewer:save", "viewer:toReader", "access",
        "editor:reacquired", "viewer:reacquired"}},
      // The viewer's own read: the editor saves for it.
      {false, viewer.get(), {"editor:save", "editor:toReader", "access", "editor:reacquired"}},
  };
  for (const Case &c : cases) {
    log.clear();
    auto access = [&](const std::string &) { log.push_back("access"); };
    ASSERT_TRUE(c.write ? CloudContainer::coordinateWriting(path, access, c.by)
                        : CloudContainer::coordinateReading(path, access, c.by));
    EXPECT_EQ(log, c.heard);
  }

  // Another program writes it: both let go while it holds its lock, then hear of the change.
  log.clear();
  {
    ForkedChild other([&](ForkedChild &self) {
      const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0 || ::flock(fd, LOCK_EX) != 0) return 1;
      testsupport::writeFile(path + ".tmp-other", "two");
      self.signal();
      if (!self.awaitSignal()) return 2;
      if (::rename((path + ".tmp-other").c_str(), path.c_str()) != 0) return 3;
      ::close(fd);
      return 0;
    });
    ASSERT_TRUE(other.awaitSignal());
    EXPECT_TRUE(RunLoop::main()->runUntil(
        [&] { return has(log, "editor:toWriter") && has(log, "viewer:toWriter"); },
        testsupport::scaled(std::chrono::seconds(20))));
    EXPECT_FALSE(has(log, "editor:changed")) << "not while it writes";
    other.signal();
    EXPECT_EQ(other.wait(), 0);
    EXPECT_TRUE(RunLoop::main()->runUntil(
        [&] { return has(log, "editor:changed") && has(log, "viewer:changed"); },
        testsupport::scaled(std::chrono::seconds(20))));
    const auto at = [&](const std::string &e) { return std::find(log.begin(), log.end(), e); };
    EXPECT_LT(at("editor:reacquired"), at("editor:changed"));
  }

  // Another program removes it.
  fs::remove(path);
  EXPECT_TRUE(RunLoop::main()->runUntil(
      [&] { return has(log, "editor:deleted") && has(log, "viewer:deleted"); },
      testsupport::scaled(std::chrono::seconds(20))));
  CloudContainer::removeFilePresenter(editor.get());
  CloudContainer::removeFilePresenter(viewer.get());
  RunLoop::main()->runPending();
}

namespace {

// A presenter with changes of its own: asked to save, it writes them to its item.
struct Keeper : Recorder {
  using Recorder::Recorder;
  void savePresentedItemChanges() override {
    Recorder::savePresentedItemChanges();
    testsupport::writeFile(path, "saved by the presenter");
  }
};

// The other program's one coordinated read of `item` (see other_reader.cpp).
testsupport::Process otherReader(const std::string &container, const std::string &item,
                                 int answerLimitMs, const std::string &logDir,
                                 const std::string &hold = "") {
  std::vector<std::string> argv{CLOUD_OTHER_READER, container, item, std::to_string(answerLimitMs)};
  if (!hold.empty()) argv.push_back(hold);
  return testsupport::Process(argv, logDir);
}

} // namespace

// Another program's coordinated read: the presenters of the item here save and let go before it
// reads (it reads what they saved), and take the item back only when its read is over.
TEST_F(CloudContainerTest, AnotherProcessesReadWaitsForThePresentersHere) {
  fs::create_directories(cloud);
  const std::string path = cloud + "/doc.txt", hold = tmp.path() + "/read-over";
  testsupport::writeFile(path, "on disk");
  testsupport::writeFile(cloud + "/other.txt", "another document");
  std::vector<std::string> log;
  auto editor = std::make_shared<Keeper>(path, "editor", &log);
  auto elsewhere = std::make_shared<Recorder>(cloud + "/other.txt", "other", &log);
  CloudContainer::addFilePresenter(editor);
  CloudContainer::addFilePresenter(elsewhere);

  auto reader = otherReader(cloud, path, 20000, tmp.path(), hold);
  ASSERT_TRUE(reader.started());
  ASSERT_TRUE(RunLoop::main()->runUntil(
      [&] { return reader.output().find("reading") != std::string::npos || !reader.running(); },
      testsupport::scaled(seconds(30))));
  // Saved, then let go while the other program reads (its own save may come back to it through
  // the watch as a change); the other document's presenter is not asked.
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + 2),
            (std::vector<std::string>{"editor:save", "editor:toReader"}));
  EXPECT_FALSE(has(log, "editor:reacquired"));
  EXPECT_TRUE(std::none_of(log.begin(), log.end(),
                           [](const std::string &e) { return e.rfind("other:", 0) == 0; }));
  testsupport::writeFile(hold, "");
  ASSERT_TRUE(RunLoop::main()->runUntil([&] { return !reader.running(); },
                                        testsupport::scaled(seconds(30))));
  EXPECT_TRUE(RunLoop::main()->runUntil([&] { return has(log, "editor:reacquired"); },
                                        testsupport::scaled(std::chrono::seconds(20))));
  EXPECT_EQ(reader.wait(std::chrono::seconds(5)), 0);
  EXPECT_NE(reader.output().find("read:saved by the presenter\n"), std::string::npos)
      << reader.output();
  EXPECT_EQ(reader.output().find("log:"), std::string::npos) << reader.output();

  // A read of a document nobody here presents asks nothing.
  log.clear();
  testsupport::writeFile(cloud + "/third.txt", "third");
  auto plain = otherReader(cloud, cloud + "/third.txt", 20000, tmp.path());
  ASSERT_TRUE(RunLoop::main()->runUntil([&] { return !plain.running(); },
                                        testsupport::scaled(seconds(30))));
  EXPECT_NE(plain.output().find("read:third\n"), std::string::npos) << plain.output();
  EXPECT_TRUE(log.empty());
  CloudContainer::removeFilePresenter(editor.get());
  CloudContainer::removeFilePresenter(elsewhere.get());
  RunLoop::main()->runPending();
}

// A presenter whose program does not answer in time (its main thread is busy) is passed over: the
// other program reads without it and says so in its log; the late request then disturbs nothing.
TEST_F(CloudContainerTest, AProcessThatDoesNotAnswerInTimeIsPassedOver) {
  fs::create_directories(cloud);
  const std::string path = cloud + "/doc.txt";
  testsupport::writeFile(path, "on disk");
  std::vector<std::string> log;
  auto editor = std::make_shared<Keeper>(path, "editor", &log);
  CloudContainer::addFilePresenter(editor);

  // This thread is the presenter's main thread: waiting here, it answers nothing.
  auto reader = otherReader(cloud, path, 300, tmp.path());
  ASSERT_TRUE(reader.started());
  EXPECT_EQ(reader.wait(std::chrono::seconds(30)), 0);
  const std::string out = reader.output();
  EXPECT_NE(out.find("read:on disk\n"), std::string::npos) << out;
  EXPECT_NE(out.find("log:Cloud: the program " + std::to_string(::getpid()) +
                     " presenting doc.txt did not answer in time; read without it"),
            std::string::npos)
      << out;
  RunLoop::main()->runUntil([] { return false; }, testsupport::scaled(seconds(0.5)));
  EXPECT_TRUE(log.empty()) << "a request whose reader has gone is not acted on";
  EXPECT_EQ(testsupport::readFile(path), "on disk");
  CloudContainer::removeFilePresenter(editor.get());
  RunLoop::main()->runPending();
}
