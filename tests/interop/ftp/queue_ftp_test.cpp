// The queue's own FTP connection against pyftpdlib: a download and an upload one after the other
// on one session, sessions reused only for the same host and port, an "ftps" item on a server
// without TLS, pause and play, deleting the running row, and downloads queued for unpacking.
#include "tests/interop/ftp/QueueFtpPeers.h"

#include "app/foundation/Globals.h"
#include "app/foundation/PartialFile.h"
#include "app/foundation/SettingsKeys.h"
#include "app/foundation/StringUtils.h"

using namespace queuetest;

namespace {

// Real servers, real time: the connection's timers and the queue's looks run on the system clock.
class QueueFtpTest : public QueueTest {
protected:
  void SetUp() override {
    QueueTest::SetUp();
    Clock::install(nullptr);
  }
  void TearDown() override {
    currentLocalFolder.clear();
    QueueTest::TearDown();
  }
  bool runUntilEmpty(double limit = 40) {
    return waitFor([&] { return queue_->batchItemList().empty(); }, limit);
  }
  int add(int action, const std::string &name, int port, const std::string &localpath = "",
          const std::string &protocol = "ftp") {
    return queue_->addBatchItemAction(action, name, "/", 0, "127.0.0.1", port, "joe", "secret",
                                      protocol, localpath, false, true);
  }
};

} // namespace

// Active mode, as the queue's connection runs by default: pyftpdlib connects at "PORT", so the
// upload's data connection stands before "STOR" is sent; its bytes must still wait for the reply
// to "STOR".
TEST_F(QueueFtpTest, DownloadThenUploadOnOneSession) {
  QueuePeer peer;
  ASSERT_TRUE(peer.ready());
  const std::string down = pattern(700000), up = pattern(300000, 13);
  ASSERT_TRUE(testsupport::writeFile(peer.root() + "/down.bin", down));
  ASSERT_TRUE(testsupport::writeFile(Paths::documents() + "/Files/up.bin", up));
  makeQueue();
  add(2, "down.bin", peer.port());
  add(3, "up.bin", peer.port(), "/Files/up.bin");
  ASSERT_TRUE(runUntilEmpty()) << testsupport::readFile(peer.log());
  waitFor([&] { return FileManager::fileExists(Paths::documents() + "/Files/down.bin"); });
  EXPECT_EQ(testsupport::readFile(Paths::documents() + "/Files/down.bin"), down);
  EXPECT_FALSE(FileManager::fileExists(Paths::tmp() + "/down.bin")) << "moved, not left behind";
  EXPECT_EQ(testsupport::readFile(peer.root() + "/up.bin"), up);
  EXPECT_TRUE(rows().empty());
  // One session: the second item reused the logged-in connection; the download came first.
  EXPECT_EQ(peer.count("USER"), 1u) << testsupport::readFile(peer.log());
  auto commands = peer.commands();
  size_t retr = 0, stor = 0;
  for (size_t i = 0; i < commands.size(); ++i) {
    if (commands[i].find(" RETR ") != std::string::npos) retr = i;
    if (commands[i].find(" STOR ") != std::string::npos && !stor) stor = i;
  }
  EXPECT_GT(retr, 0u);
  EXPECT_GT(stor, retr);
  // The queue's connection writes its own transfer log.
  EXPECT_TRUE(FileManager::fileExists(Paths::tmp() + "/Ferrowen-2.log"));
}

TEST_F(QueueFtpTest, SessionsAreReusedOnlyForTheSameHostAndPort) {
  QueuePeer first, second;
  ASSERT_TRUE(first.ready() && second.ready());
  for (const char *name : {"a.txt", "b.txt", "d.txt"})
    ASSERT_TRUE(testsupport::writeFile(first.root() + "/" + name, name));
  ASSERT_TRUE(testsupport::writeFile(second.root() + "/c.txt", "c.txt"));
  makeQueue();
  add(2, "a.txt", first.port());
  add(2, "b.txt", first.port());
  add(2, "c.txt", second.port());
  add(2, "d.txt", first.port());
  ASSERT_TRUE(runUntilEmpty()) << testsupport::readFile(first.log())
                               << testsupport::readFile(second.log());
  // The row goes when the transfer ends; the file reaches Saved Files right after.
  waitFor([&] { return FileManager::fileExists(Paths::documents() + "/Files/d.txt"); });
  for (const char *name : {"a.txt", "b.txt", "c.txt", "d.txt"})
    EXPECT_EQ(testsupport::readFile(Paths::documents() + "/Files/" + name), name);
  // a and b share a session; c needs its own server; d cannot ride on c's session.
  EXPECT_EQ(first.count("USER"), 2u) << testsupport::readFile(first.log());
  EXPECT_EQ(second.count("USER"), 1u);
}

TEST_F(QueueFtpTest, SecureItemWithoutTLSFailsUnlessPlainWasAccepted) {
  QueuePeer peer;
  ASSERT_TRUE(peer.ready());
  ASSERT_TRUE(testsupport::writeFile(peer.root() + "/s.txt", "secret data"));
  makeQueue();
  add(2, "s.txt", peer.port(), "", "ftps");
  ASSERT_TRUE(waitFor(
      [&] {
        return !queue_->batchItemList().empty() && !queue_->batchItemList()[0]->errorMsg().empty();
      },
      30))
      << testsupport::readFile(peer.log())
      << testsupport::readFile(Paths::tmp() + "/Ferrowen-2.log");
  EXPECT_NE(queue_->batchItemList()[0]->errorMsg().find("FTPS"), std::string::npos)
      << queue_->batchItemList()[0]->errorMsg();
  // The credentials never went out in plain text.
  EXPECT_EQ(peer.count("USER"), 0u) << testsupport::readFile(peer.log());
  EXPECT_EQ(peer.count("PASS"), 0u);
  EXPECT_FALSE(FileManager::fileExists(Paths::documents() + "/Files/s.txt"));

  // Once the user accepted plain FTP for that server, the item runs.
  // With its only item failed, the queue pauses a second later.
  EXPECT_TRUE(waitFor([&] { return queue_->fPaused(); }, 5));
  UserDefaults::standard().setObject("1", keySSLNo("127.0.0.1"));
  ASSERT_TRUE(probe_->tap("Play"));
  ASSERT_TRUE(runUntilEmpty()) << testsupport::readFile(peer.log())
                               << testsupport::readFile(Paths::tmp() + "/Ferrowen-2.log");
  waitFor([&] { return FileManager::fileExists(Paths::documents() + "/Files/s.txt"); });
  EXPECT_EQ(testsupport::readFile(Paths::documents() + "/Files/s.txt"), "secret data");
}

TEST_F(QueueFtpTest, PauseStopsTheTransferAndPlayResumesIt) {
  QueuePeer peer(100 * 1024);
  ASSERT_TRUE(peer.ready());
  const std::string data = pattern(600000, 5);
  ASSERT_TRUE(testsupport::writeFile(peer.root() + "/slow.bin", data));
  makeQueue();
  add(2, "slow.bin", peer.port());
  const std::string partial = ftpPartialOf("slow.bin", peer.port());
  ASSERT_TRUE(waitFor(
      [&] {
        return !queue_->batchItemList().empty() && queue_->batchItemList()[0]->start() > 0 &&
               sizeOfFileAtPath(partial) >= 100000;
      },
      20));
  // What the queue's connection moves, as the other side's guard against double work reads it.
  EXPECT_EQ(queue_->ftp()->fileToDownload(), "slow.bin");
  ASSERT_TRUE(probe_->tap("Pause"));
  EXPECT_TRUE(queue_->fPaused());
  EXPECT_EQ(queue_->inProgressPK(), -1);
  // The queue's session is closed and the partial file stops growing.
  ASSERT_TRUE(waitFor([&] { return !queue_->ftp()->isStreamConnected(); }, 5));
  const uint64_t stopped = sizeOfFileAtPath(partial);
  waitFor([] { return false; }, 1.5);
  EXPECT_EQ(sizeOfFileAtPath(partial), stopped);
  EXPECT_EQ(peer.count("RETR"), 1u);
  ASSERT_EQ(queue_->batchItemList().size(), 1u);
  EXPECT_LT(stopped, data.size());

  ASSERT_TRUE(probe_->tap("Play"));
  ASSERT_TRUE(runUntilEmpty(40)) << testsupport::readFile(peer.log());
  waitFor([&] { return FileManager::fileExists(Paths::documents() + "/Files/slow.bin"); });
  EXPECT_TRUE(testsupport::readFile(Paths::documents() + "/Files/slow.bin") == data);
  EXPECT_EQ(peer.count("RETR"), 2u);
  EXPECT_EQ(peer.count("REST"), 1u) << testsupport::readFile(peer.log());
}

// The Saved Files screen on top: notes whether the finished file was in place when it was told
// to reload.
class SavedFilesWatcher : public LocalFolderScreen {
public:
  explicit SavedFilesWatcher(std::string file) : file_(std::move(file)) {}
  std::string currentFolder() const override { return {}; }
  void loadFolderData() override {
    ++reloads;
    if (FileManager::fileExists(file_)) ++reloadsWithFile;
  }
  int reloads = 0, reloadsWithFile = 0;

private:
  std::string file_;
};

TEST_F(QueueFtpTest, DownloadQueuedForUnpackingReachesTheTarService) {
  QueuePeer peer;
  ASSERT_TRUE(peer.ready());
  const std::string archive = pattern(50000, 3);
  ASSERT_TRUE(testsupport::writeFile(peer.root() + "/pack.tar.gz", archive));
  const std::string saved = Paths::documents() + "/Files/pack.tar.gz";
  auto watcher = std::make_shared<SavedFilesWatcher>(saved);
  services_->localFolder = watcher;
  makeQueue();
  queue_->addBatchItemAction(2, "pack.tar.gz", "/", 0, "127.0.0.1", peer.port(), "joe", "secret",
                             "ftp", "", true, true);
  ASSERT_TRUE(runUntilEmpty());
  // Done is reported with the file in place: unpacked and shown at once, not looked for later.
  EXPECT_EQ(tar_->paths, std::vector<std::string>{saved});
  EXPECT_EQ(watcher->reloads, 1);
  EXPECT_EQ(watcher->reloadsWithFile, 1);
  EXPECT_EQ(testsupport::readFile(saved), archive);
}

TEST_F(QueueFtpTest, DownloadsLandInTheItemsOwnFolder) {
  QueuePeer peer;
  ASSERT_TRUE(peer.ready());
  for (const char *name : {"a.txt", "b.txt", "c.txt", "d.txt", "e.txt"})
    ASSERT_TRUE(testsupport::writeFile(peer.root() + "/" + name, std::string("file ") + name));
  const std::string files = Paths::documents() + "/Files";
  const std::string outside = Paths::home() + "/outside";
  // The user browses another Saved Files folder meanwhile.
  currentLocalFolder = "other";
  makeQueue();
  add(2, "a.txt", peer.port(), "/sub/deeper");
  add(2, "b.txt", peer.port(), outside + "/b.txt"); // an absolute local path names the file
  // A folder of the shared folder, beside Saved Files, as the Saved Files tab names it.
  add(2, "e.txt", peer.port(), "../Mine");
  add(2, "c.txt", peer.port());
  ASSERT_TRUE(runUntilEmpty()) << testsupport::readFile(peer.log());
  EXPECT_EQ(testsupport::readFile(Paths::documents() + "/Mine/e.txt"), "file e.txt");
  EXPECT_EQ(testsupport::readFile(files + "/sub/deeper/a.txt"), "file a.txt");
  EXPECT_EQ(testsupport::readFile(outside + "/b.txt"), "file b.txt");
  EXPECT_EQ(testsupport::readFile(files + "/c.txt"), "file c.txt");
  EXPECT_FALSE(FileManager::fileExists(files + "/other"));
  EXPECT_EQ(queue_->ftp()->saveToLocalFolder(), "Files");

  // A file that cannot be saved (a file stands where its folder should be) is not done: its row
  // stays with the error, and the download stays whole in its partial file in the temporary
  // folder, for the row's next try.
  ASSERT_TRUE(testsupport::writeFile(files + "/blocker", "in the way"));
  int blocked = add(2, "d.txt", peer.port(), "/blocker");
  auto errorOf = [&] {
    const int index = queue_->batchIndexForPK(blocked);
    return index < 0 ? std::string() : queue_->batchItemList()[size_t(index)]->errorMsg();
  };
  ASSERT_TRUE(waitFor([&] { return !errorOf().empty(); }, 30)) << testsupport::readFile(peer.log());
  EXPECT_NE(errorOf().find("could not be saved"), std::string::npos) << errorOf();
  EXPECT_EQ(testsupport::readFile(
                partialFilePath(Paths::tmp() + "/d.txt",
                                ftpDownloadSource("127.0.0.1", peer.port(), "joe", "/", "d.txt"))),
            "file d.txt");
  EXPECT_EQ(rows().size(), 1u);
}

// Waits for the connection to walk a folder's listings into rows (its folder batch is not yet
// driven by the end of a listing); enable it then.
TEST_F(QueueFtpTest, FolderDownloadQueuesItsFilesAndFinishesFirst) {
  QueuePeer peer;
  ASSERT_TRUE(peer.ready());
  FileManager::createDirectory(peer.root() + "/tree/sub", true);
  ASSERT_TRUE(testsupport::writeFile(peer.root() + "/tree/a.txt", "file a"));
  ASSERT_TRUE(testsupport::writeFile(peer.root() + "/tree/sub/b.txt", "file b"));
  makeQueue();
  int folder = queue_->addBatchItemAction(1, "tree", "/tree", 0, "127.0.0.1", peer.port(), "joe",
                                          "secret", "ftp", "", false, true);
  ASSERT_GT(folder, 0);
  // The folder's files become rows of their own, fetched after the folder item is done.
  ASSERT_TRUE(waitFor([&] { return queue_->batchIndexForPK(folder) < 0; }, 20))
      << testsupport::readFile(peer.log());
  ASSERT_TRUE(runUntilEmpty()) << testsupport::readFile(peer.log());
  EXPECT_EQ(peer.count("RETR"), 2u) << testsupport::readFile(peer.log());
  EXPECT_TRUE(rows().empty());
}

TEST_F(QueueFtpTest, DeletingTheRunningRowStopsItsTransfer) {
  QueuePeer peer(100 * 1024);
  ASSERT_TRUE(peer.ready());
  ASSERT_TRUE(testsupport::writeFile(peer.root() + "/slow.bin", pattern(800000)));
  ASSERT_TRUE(testsupport::writeFile(peer.root() + "/next.txt", "next"));
  makeQueue();
  add(2, "slow.bin", peer.port());
  add(2, "next.txt", peer.port());
  const std::string partial = ftpPartialOf("slow.bin", peer.port());
  ASSERT_TRUE(waitFor([&] { return sizeOfFileAtPath(partial) >= 50000; }, 20));
  ASSERT_TRUE(probe_->tap("Edit"));
  ASSERT_TRUE(probe_->deleteRow({0, 0}));
  ASSERT_TRUE(probe_->tap("Done"));
  EXPECT_EQ(rows().size(), 1u);
  // What came of it goes with its row: no resume will ever want it.
  EXPECT_FALSE(FileManager::fileExists(partial));
  // The queue's session goes, and the kicker moves on to the next item.
  ASSERT_TRUE(waitFor([&] { return !queue_->ftp()->isStreamConnected(); }, 5));
  ASSERT_TRUE(runUntilEmpty(30)) << testsupport::readFile(peer.log());
  waitFor([&] { return FileManager::fileExists(Paths::documents() + "/Files/next.txt"); });
  EXPECT_EQ(testsupport::readFile(Paths::documents() + "/Files/next.txt"), "next");
  EXPECT_FALSE(FileManager::fileExists(Paths::documents() + "/Files/slow.bin"));
  EXPECT_EQ(peer.count("USER"), 2u);
}

// Two files of one name from two folders: the one running is deleted part way; the other, of
// which an earlier run got a part, resumes only what came of itself (here nothing is left of it,
// so it comes from its start), never the bytes of the deleted one.
TEST_F(QueueFtpTest, AResumeNeverContinuesAnotherFilesBytes) {
  QueuePeer peer(100 * 1024);
  ASSERT_TRUE(peer.ready());
  const std::string deleted = pattern(600000, 5), wanted = pattern(600000, 9);
  for (auto [folder, data] : {std::pair{"/b", &deleted}, {"/a", &wanted}}) {
    FileManager::createDirectory(peer.root() + folder, true);
    ASSERT_TRUE(testsupport::writeFile(peer.root() + folder + "/same.bin", *data));
  }
  const std::string server = "'127.0.0.1'," + std::to_string(peer.port()) + ",'joe','secret',''";
  seedRow("'2','same.bin','/b'," + server + ",600000,0,'ftp',9999,0");
  seedRow("'2','same.bin','/a'," + server + ",600000,0,'ftp',9999,200000");
  makeQueue();
  ASSERT_TRUE(waitFor(
      [&] {
        return queue_->batchItemList().size() == 2 && queue_->batchItemList()[0]->progress() > 0.1;
      },
      20));
  ASSERT_EQ(queue_->batchItemList()[0]->path(), "/b");
  ASSERT_TRUE(probe_->tap("Edit"));
  ASSERT_TRUE(probe_->deleteRow({0, 0}));
  ASSERT_TRUE(probe_->tap("Done"));
  ASSERT_TRUE(runUntilEmpty(40)) << testsupport::readFile(peer.log());
  const std::string saved = Paths::documents() + "/Files/same.bin";
  ASSERT_TRUE(waitFor([&] { return FileManager::fileExists(saved); }));
  EXPECT_TRUE(testsupport::readFile(saved) == wanted);
  for (auto &line : peer.commands())
    EXPECT_TRUE(line.find(" REST ") == std::string::npos ||
                line.find(" REST 0") != std::string::npos)
        << line;
}

// The only row deleted while its download runs: its partial file goes at once, and the
// connection, idle from then on, does not keep the removed file open (its space stays taken
// while it is).
TEST_F(QueueFtpTest, ADeletedDownloadLeavesNoPartialFile) {
  QueuePeer peer(100 * 1024);
  ASSERT_TRUE(peer.ready());
  ASSERT_TRUE(testsupport::writeFile(peer.root() + "/movie.mp4", pattern(2 << 20)));
  makeQueue();
  add(2, "movie.mp4", peer.port());
  const std::string partial = ftpPartialOf("movie.mp4", peer.port());
  ASSERT_TRUE(waitFor([&] { return sizeOfFileAtPath(partial) >= 50000; }, 20));
  ASSERT_TRUE(probe_->tap("Edit"));
  ASSERT_TRUE(probe_->deleteRow({0, 0}));
  EXPECT_FALSE(FileManager::fileExists(partial));
  ASSERT_TRUE(waitFor([&] { return !queue_->ftp()->isStreamConnected(); }, 5));
  EXPECT_TRUE(waitFor([&] { return testsupport::openDescriptorsOn("movie.mp4") == 0; }, 5));
  EXPECT_TRUE(rows().empty());
  EXPECT_FALSE(FileManager::fileExists(Paths::documents() + "/Files/movie.mp4"));
}

// A running upload stopped by deleting its row (alone, or with "Delete All") leaves nothing on
// the server: what it wrote under its temporary name is removed, the file itself never appears,
// and the queue goes on with what is left.
class QueueFtpDeletedUpload : public QueueFtpTest, public ::testing::WithParamInterface<bool> {};

TEST_P(QueueFtpDeletedUpload, LeavesNoTemporaryFileOnTheServer) {
  const bool all = GetParam();
  RegisterDefaultSettings(); // uploads go under a temporary name, as the application's default
  QueuePeer peer(100 * 1024);
  ASSERT_TRUE(peer.ready());
  const std::string data = pattern(2 << 20);
  ASSERT_TRUE(testsupport::writeFile(Paths::documents() + "/Files/movie.mp4", data));
  ASSERT_TRUE(testsupport::writeFile(peer.root() + "/next.txt", "next"));
  makeQueue();
  add(3, "movie.mp4", peer.port(), "/Files/movie.mp4");
  if (!all) add(2, "next.txt", peer.port());
  const std::string temporary = peer.root() + "/movie.upload.mp4";
  ASSERT_TRUE(waitFor([&] { return sizeOfFileAtPath(temporary) >= 50000; }, 20))
      << testsupport::readFile(peer.log());
  ASSERT_TRUE(probe_->tap("Edit"));
  if (all) {
    ASSERT_TRUE(probe_->tap("Delete All"));
    ASSERT_TRUE(probe_->answerAlert("Delete All"));
  } else {
    ASSERT_TRUE(probe_->deleteRow({0, 0}));
  }
  ASSERT_TRUE(probe_->tap("Done"));
  EXPECT_TRUE(waitFor([&] { return !FileManager::fileExists(temporary); }, 20))
      << testsupport::readFile(peer.log());
  EXPECT_FALSE(FileManager::fileExists(peer.root() + "/movie.mp4"));
  if (!all) {
    ASSERT_TRUE(runUntilEmpty(30)) << testsupport::readFile(peer.log());
    EXPECT_TRUE(waitFor(
        [&] { return testsupport::readFile(Paths::documents() + "/Files/next.txt") == "next"; }));
  }
  EXPECT_TRUE(rows().empty());
  EXPECT_TRUE(testsupport::readFile(Paths::documents() + "/Files/movie.mp4") == data)
      << "the local file is the person's";
}

INSTANTIATE_TEST_SUITE_P(Queue, QueueFtpDeletedUpload, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "DeleteAll" : "OneRow"; });

// A batch of small downloads rides on one logged-in session; a file the server refuses fails
// alone; a session cut in the middle of the batch is logged into again and the cut file comes
// whole. Nothing is reported done that did not arrive.
TEST_F(QueueFtpTest, ManySmallDownloadsOneSessionADropAndAFailure) {
  QueuePeer peer(0, "f12.txt");
  ASSERT_TRUE(peer.ready());
  constexpr int kFiles = 30;
  auto content = [](int i) { return pattern(size_t(i * 211 % 5000), unsigned(i + 3)); };
  for (int i = 0; i < kFiles; ++i)
    ASSERT_TRUE(
        testsupport::writeFile(peer.root() + "/f" + std::to_string(i) + ".txt", content(i)));
  makeQueue();
  queue_->batchUpdates([&] {
    for (int i = 0; i < kFiles; ++i) {
      add(2, "f" + std::to_string(i) + ".txt", peer.port(), "small");
      if (i == 5) add(2, "missing.txt", peer.port(), "small");
    }
  });
  auto onlyTheFailedLeft = [&] {
    auto &list = queue_->batchItemList();
    return list.size() == 1 && !list[0]->errorMsg().empty();
  };
  ASSERT_TRUE(waitFor(onlyTheFailedLeft, 120)) << testsupport::readFile(peer.log());
  EXPECT_EQ(queue_->batchItemList()[0]->filename(), "missing.txt");
  const std::string files = Paths::documents() + "/Files/small/";
  for (int i = 0; i < kFiles; ++i) {
    const std::string name = "f" + std::to_string(i) + ".txt";
    waitFor([&] { return FileManager::fileExists(files + name); });
    EXPECT_TRUE(testsupport::readFile(files + name) == content(i)) << name;
  }
  EXPECT_FALSE(FileManager::fileExists(files + "missing.txt"));
  // One login before the cut and one after it, not one per file.
  EXPECT_EQ(peer.count("USER"), 2u) << testsupport::readFile(peer.log());
  EXPECT_EQ(peer.count("RETR"), size_t(kFiles + 2)) << testsupport::readFile(peer.log());
}

// A download whose server goes away part way waits for it, and goes on where it stopped once it
// is back. Meanwhile the tries are spaced (a second at first, longer after: never a storm), each
// says once in the transfer log why it failed, and the row says why it waits.
TEST_F(QueueFtpTest, ADownloadWaitsForItsServerAndResumesWhenItIsBack) {
  const int port = testsupport::freeTcpPort();
  QueuePeer peer("127.0.0.1", port, 100 * 1024);
  ASSERT_TRUE(peer.ready());
  const std::string data = pattern(700000, 11);
  ASSERT_TRUE(testsupport::writeFile(peer.root() + "/away.bin", data));
  makeQueue();
  add(2, "away.bin", port);
  const std::string partial = ftpPartialOf("away.bin", port);
  ASSERT_TRUE(waitFor(
      [&] {
        return !queue_->batchItemList().empty() && queue_->batchItemList()[0]->start() > 0 &&
               sizeOfFileAtPath(partial) >= 100000;
      },
      20));
  auto count = [&](const std::string &what) {
    const std::string log = queue_->ftp()->transferLog();
    size_t n = 0;
    for (size_t at = log.find(what); at != std::string::npos; at = log.find(what, at + 1))
      ++n;
    return n;
  };
  const size_t before = count("*** Connect To ");

  peer.stop();
  auto status = [&] { return queue_->batchItemList()[0]->statusMsg(); };
  ASSERT_TRUE(waitFor([&] { return !status().empty(); }, 10));
  EXPECT_EQ(status().rfind("Waiting for the server: ", 0), 0u) << status();
  // In the next six seconds: tries after 1 and 3 seconds, the next one after 7 (however slow
  // the machine, never more).
  // (A window of the program's own real time, measured: not scaled as the waits are.)
  RunLoop::main()->runUntil([] { return false; }, seconds(6));
  const size_t tries = count("*** Connect To ") - before;
  EXPECT_GE(tries, 1u);
  EXPECT_LE(tries, 4u);
  EXPECT_EQ(count("!!! No connection to 127.0.0.1:" + std::to_string(port)), tries);
  EXPECT_TRUE(queue_->batchItemList()[0]->errorMsg().empty());

  ASSERT_TRUE(peer.restart());
  ASSERT_TRUE(runUntilEmpty(60)) << testsupport::readFile(peer.log());
  const std::string saved = Paths::documents() + "/Files/away.bin";
  ASSERT_TRUE(waitFor([&] { return FileManager::fileExists(saved); }));
  EXPECT_TRUE(testsupport::readFile(saved) == data);
  EXPECT_EQ(peer.count("RETR"), 2u) << testsupport::readFile(peer.log());
  EXPECT_EQ(peer.count("REST"), 1u);
  EXPECT_TRUE(rows().empty());
}

// A row whose server is typed with a folder ("host/pub") logs in and enters that folder first;
// its transfer starts only once that folder change is over, never on top of it (its data
// connection commands would interleave with the listing's and the row would hang). Every round
// has a queue, and so a login, of its own. `holdLoginEnd` keeps the connection in the moment its
// login ends until the queue has started the row, or for half a second when it does not.
struct FolderLoginCase {
  bool upload;
  bool holdLoginEnd;
};

class QueueFtpFolderLogin : public QueueFtpTest,
                            public ::testing::WithParamInterface<FolderLoginCase> {
protected:
  void TearDown() override {
    FTPConnection::loginFinishingHook = nullptr;
    QueueFtpTest::TearDown();
  }
  void holdLoginEnd() {
    FTPConnection::loginFinishingHook = [this](FTPConnection &) {
      const auto until = std::chrono::steady_clock::now() + testsupport::scaled(seconds(0.5));
      while (std::chrono::steady_clock::now() < until) {
        bool started = false;
        RunLoop::main()->performAndWait([&] { started = queue_ && queue_->inProgressPK() >= 0; });
        if (started) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    };
  }
};

// Every data connection command of a session is followed by its transfer before the next one.
std::string interleavedDataCommands(const std::vector<std::string> &commands) {
  std::map<std::string, std::string> open; // session number: the data command still unused
  for (const auto &line : commands) {
    const auto space = line.find(' ');
    const std::string session = line.substr(0, space);
    const std::string verb = line.substr(space + 1, line.find(' ', space + 1) - space - 1);
    if (verb == "PORT" || verb == "PASV" || verb == "EPRT" || verb == "EPSV") {
      if (open.count(session)) return open[session] + " then " + line;
      open[session] = line;
    } else if (verb == "LIST" || verb == "NLST" || verb == "MLSD" || verb == "RETR" ||
               verb == "STOR" || verb == "APPE") {
      open.erase(session);
    }
  }
  return "";
}

TEST_P(QueueFtpFolderLogin, TheRowStartsAfterTheLoginEnteredItsFolder) {
  QueuePeer peer;
  ASSERT_TRUE(peer.ready());
  ASSERT_TRUE(FileManager::createDirectory(peer.root() + "/pub", true));
  if (GetParam().holdLoginEnd) holdLoginEnd();
  const int rounds = GetParam().holdLoginEnd ? 1 : 8;
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::string name = "f" + std::to_string(round) + ".bin";
    const std::string data = pattern(200000 + round, 5 + round);
    const std::string local = Paths::documents() + "/Files/" + name;
    ASSERT_TRUE(
        testsupport::writeFile((GetParam().upload ? local : peer.root() + "/pub/" + name), data));
    makeQueue();
    queue_->addBatchItemAction(GetParam().upload ? 3 : 2, name, "/pub", 0, "127.0.0.1/pub",
                               peer.port(), "joe", "secret", "ftp",
                               GetParam().upload ? "/Files/" + name : "", false, true);
    ASSERT_TRUE(runUntilEmpty()) << testsupport::readFile(peer.log());
    const std::string arrived = GetParam().upload ? peer.root() + "/pub/" + name : local;
    EXPECT_TRUE(waitFor([&] { return testsupport::readFile(arrived) == data; }))
        << testsupport::readFile(peer.log());
  }
  EXPECT_GE(peer.count("CWD"), static_cast<size_t>(rounds)) << testsupport::readFile(peer.log());
  EXPECT_EQ(interleavedDataCommands(peer.commands()), "") << testsupport::readFile(peer.log());
}

INSTANTIATE_TEST_SUITE_P(Queue, QueueFtpFolderLogin,
                         ::testing::Values(FolderLoginCase{false, false},
                                           FolderLoginCase{true, false},
                                           FolderLoginCase{false, true},
                                           FolderLoginCase{true, true}),
                         [](const auto &info) {
                           return std::string(info.param.upload ? "Upload" : "Download") +
                                  (info.param.holdLoginEnd ? "WithTheLoginEndHeld" : "");
                         });
