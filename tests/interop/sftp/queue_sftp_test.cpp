// The transfer queue running its SFTP items on the real service against OpenSSH's sshd.
#include "tests/app/queue/QueueTestSupport.h"

#include "app/foundation/Globals.h"
#include "app/foundation/SettingsKeys.h"
#include "app/foundation/StringUtils.h"
#include "app/sftp/SFTPService.h"
#include "tests/interop/ftp/QueueFtpPeers.h"
#include "tests/support/FakeSftpServer.h"
#include "tests/support/Peers.h"
#include "tests/support/SftpPeers.h"
#include "tests/support/SmallDisk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

using namespace queuetest;

namespace {

class QueueSftp : public QueueTest {
protected:
  void SetUp() override {
    QueueTest::SetUp();
    ASSERT_TRUE(testsupport::ensureSftpUser());
    SFTPService::install();
    ::chmod(remote_.path().c_str(), 0777);
  }
  void TearDown() override {
    currentLocalFolder.clear();
    QueueTest::TearDown();
  }
  // Half a second of the queue's clock on, then whether just two rows are left, each with the
  // message of its failure.
  bool twoFailedRowsLeft() {
    advance(0.5);
    auto &list = queue_->batchItemList();
    return list.size() == 2 && !list[0]->errorMsg().empty() && !list[1]->errorMsg().empty();
  }
  testsupport::TempDir remote_{"ferrowen-queue-sftp"};
};

TEST_F(QueueSftp, DownloadUploadFolderAndFolderBatchRun) {
  auto peer = testsupport::SshPeer::sshd({});
  ASSERT_TRUE(peer->started()) << peer->why();
  const std::string r = remote_.path();
  testsupport::writeFile(r + "/fetch.txt", "fetched");
  testsupport::writeFile(r + "/beside.txt", "beside");
  ::mkdir((r + "/tree").c_str(), 0777);
  testsupport::writeFile(r + "/tree/inner.txt", "inner");
  testsupport::writeFile(Paths::documents() + "/send.txt", "sent");
  makeQueue();
  // "../Mine": a folder of the shared folder, beside Saved Files, as the Saved Files tab names it.
  for (auto [action, name, local] : {std::tuple{30, "fetch.txt", "got"},
                                     {30, "beside.txt", "../Mine"},
                                     {34, "made", ""},
                                     {31, "send.txt", "send.txt"},
                                     {33, "tree", ""}})
    queue_->addBatchItemAction(action, name, r, 1, "127.0.0.1", peer->port(),
                               testsupport::kSftpUser, testsupport::kSftpPass, "sftp", local, false,
                               true);
  auto allDone = [&] { return advance(0.5), rows().empty(); };
  ASSERT_TRUE(waitFor(allDone, 60)) << rows().size();
  const std::string files = Paths::documents() + "/Files";
  EXPECT_EQ(testsupport::readFile(files + "/got/fetch.txt"), "fetched");
  EXPECT_EQ(testsupport::readFile(Paths::documents() + "/Mine/beside.txt"), "beside");
  EXPECT_TRUE(FileManager::fileExists(r + "/made"));
  EXPECT_EQ(testsupport::readFile(r + "/send.txt"), "sent");
  EXPECT_EQ(testsupport::readFile(files + "/tree/inner.txt"), "inner");
}

// A folder download goes into the Saved Files folder on screen when it starts (a folder below the
// top, or a folder of the shared folder beside Saved Files), or into the folder the download
// setting names, with the folder's tree below it.
TEST_F(QueueSftp, AFolderDownloadGoesIntoTheOpenFolderOrTheOneTheSettingNames) {
  auto peer = testsupport::SshPeer::sshd({});
  ASSERT_TRUE(peer->started()) << peer->why();
  const std::string r = remote_.path();
  ::mkdir((r + "/tree").c_str(), 0777);
  ::mkdir((r + "/tree/sub").c_str(), 0777);
  testsupport::writeFile(r + "/tree/top.txt", "top");
  testsupport::writeFile(r + "/tree/sub/inner.txt", "inner");
  const std::string documents = Paths::documents(), files = documents + "/Files";
  struct Case {
    const char *setting, *open;
    std::string top, inner; // where the two files land
  } cases[] = {
      {"0", "Work", files + "/Work/tree/top.txt", files + "/Work/tree/sub/inner.txt"},
      {"0", "../Mine", documents + "/Mine/tree/top.txt", documents + "/Mine/tree/sub/inner.txt"},
      {"1", "Work", files + "/127.0.0.1/tree/top.txt", files + "/127.0.0.1/tree/sub/inner.txt"},
      {"2", "Work", files + "/txt/tree/top.txt", files + "/txt/tree/sub/inner.txt"},
      {"5", "Work", files + "/127.0.0.1" + r + "/tree/top.txt",
       files + "/127.0.0.1" + r + "/tree/sub/inner.txt"},
  };
  makeQueue();
  for (auto &c : cases) {
    SCOPED_TRACE(std::string(c.setting) + " " + c.open);
    UserDefaults::standard().setObject(c.setting, kDefaultDownloadFolderKey);
    currentLocalFolder = c.open;
    queue_->addBatchItemAction(33, "tree", r, 0, "127.0.0.1", peer->port(), testsupport::kSftpUser,
                               testsupport::kSftpPass, "sftp", "", false, true);
    ASSERT_TRUE(waitFor([&] { return advance(0.5), queue_->batchItemList().empty(); }, 60))
        << queue_->batchItemList()[0]->errorMsg();
    EXPECT_EQ(testsupport::readFile(c.top), "top");
    EXPECT_EQ(testsupport::readFile(c.inner), "inner");
  }
  // Nothing went to the top of Saved Files.
  EXPECT_FALSE(FileManager::fileExists(files + "/tree"));
}

// Three servers queued, two FTP (pyftpdlib) and one SFTP (OpenSSH); the first FTP server goes
// away part way through its download. While its row waits for it, the rows of the other two
// servers run to their end; the waiting row keeps its place and what it had fetched, and once its
// server is back it goes on from there. Real time: the FTP servers and their sessions run on it
// (the waits between tries are a few seconds here; their spacing is tested with a moved clock).
TEST_F(QueueSftp, RowsOfOtherServersRunWhileOneServerIsAway) {
  Clock::install(nullptr);
  auto sshd = testsupport::SshPeer::sshd({});
  ASSERT_TRUE(sshd->started()) << sshd->why();
  const int awayPort = testsupport::freeTcpPort();
  QueuePeer away("127.0.0.1", awayPort, 100 * 1024), other;
  ASSERT_TRUE(away.ready() && other.ready());
  const std::string data = pattern(700000, 5);
  ASSERT_TRUE(testsupport::writeFile(away.root() + "/away.bin", data));
  ASSERT_TRUE(testsupport::writeFile(other.root() + "/other.txt", "from the other server"));
  ASSERT_TRUE(testsupport::writeFile(remote_.path() + "/over-sftp.txt", "over sftp"));
  makeQueue();
  auto ftpRow = [&](const std::string &name, int port) {
    return queue_->addBatchItemAction(2, name, "/", 0, "127.0.0.1", port, "joe", "secret", "ftp",
                                      "", false, true);
  };
  const int awayRow = ftpRow("away.bin", awayPort);
  ftpRow("other.txt", other.port());
  queue_->addBatchItemAction(30, "over-sftp.txt", remote_.path(), 0, "127.0.0.1", sshd->port(),
                             testsupport::kSftpUser, testsupport::kSftpPass, "sftp", "", false,
                             true);
  auto first = [&] { return queue_->batchItemList().front(); };
  ASSERT_TRUE(waitFor([&] { return first()->start() > 0; }, 30));
  ASSERT_TRUE(
      waitFor([&] { return sizeOfFileAtPath(ftpPartialOf("away.bin", awayPort)) >= 100000; }, 30));

  away.stop();
  // Well before the row's server has been away for half a minute, the other servers' rows are
  // done; the waiting row is still first, with its offset and no error.
  ASSERT_TRUE(waitFor([&] { return queue_->batchItemList().size() == 1; }, 25))
      << first()->statusMsg() << " " << queue_->batchItemList().size();
  const std::string files = Paths::documents() + "/Files";
  EXPECT_EQ(testsupport::readFile(files + "/other.txt"), "from the other server");
  EXPECT_EQ(testsupport::readFile(files + "/over-sftp.txt"), "over sftp");
  EXPECT_EQ(first()->primaryKey(), awayRow);
  const int64_t offset = first()->start();
  EXPECT_GT(offset, 0);
  EXPECT_TRUE(first()->errorMsg().empty()) << first()->errorMsg();
  ASSERT_TRUE(waitFor([&] { return !first()->statusMsg().empty(); }, 10));
  EXPECT_EQ(first()->statusMsg().rfind("Waiting for the server: ", 0), 0u) << first()->statusMsg();
  EXPECT_FALSE(FileManager::fileExists(files + "/away.bin"));

  ASSERT_TRUE(away.restart());
  ASSERT_TRUE(waitFor([&] { return queue_->batchItemList().empty(); }, 90))
      << first()->statusMsg() << " " << first()->errorMsg();
  ASSERT_TRUE(waitFor([&] { return FileManager::fileExists(files + "/away.bin"); }));
  EXPECT_TRUE(testsupport::readFile(files + "/away.bin") == data);
  // It went on from where it was: one resumed fetch after the first.
  EXPECT_EQ(away.count("RETR"), 2u) << testsupport::readFile(away.log());
  EXPECT_EQ(away.count("REST"), 1u);
}

// Deleting the row of a download under way stops its transfer: what came of it goes, the file
// never arrives, and the queue goes on with the next row.
TEST_F(QueueSftp, DeletingTheRunningDownloadStopsIt) {
  auto peer = testsupport::SshPeer::sshd({});
  ASSERT_TRUE(peer->started()) << peer->why();
  const std::string r = remote_.path();
  // Far from done when its row goes, and sparse: the server's side takes no disk.
  ASSERT_TRUE(testsupport::writeFile(r + "/huge.bin", ""));
  std::filesystem::resize_file(r + "/huge.bin", 512LL << 20);
  testsupport::writeFile(r + "/small.txt", "small");
  const std::string files = Paths::documents() + "/Files";
  const std::string part = SFTPWrapper::downloadPartialPath(
      "127.0.0.1", peer->port(), testsupport::kSftpUser, r + "/huge.bin", files + "/huge.bin");
  makeQueue();
  for (const char *name : {"huge.bin", "small.txt"})
    queue_->addBatchItemAction(30, name, r, 0, "127.0.0.1", peer->port(), testsupport::kSftpUser,
                               testsupport::kSftpPass, "sftp", "", false, true);
  ASSERT_TRUE(waitFor([&] { return advance(0.1), sizeOfFileAtPath(part) >= (1 << 20); }, 60));
  ASSERT_TRUE(probe_->tap("Edit"));
  ASSERT_TRUE(probe_->deleteRow({0, 0}));
  ASSERT_TRUE(probe_->tap("Done"));
  ASSERT_TRUE(waitFor([&] { return advance(0.1), queue_->batchItemList().empty(); }, 60));
  EXPECT_EQ(testsupport::readFile(files + "/small.txt"), "small");
  EXPECT_FALSE(FileManager::fileExists(part));
  EXPECT_FALSE(FileManager::fileExists(files + "/huge.bin"));
}

// Deleting the row of an upload under way stops it and leaves nothing on the server: neither
// what it wrote under its temporary name nor the file; the queue goes on with the next row.
TEST_F(QueueSftp, DeletingTheRunningUploadLeavesNothingOnTheServer) {
  auto peer = testsupport::SshPeer::sshd({});
  ASSERT_TRUE(peer->started()) << peer->why();
  RegisterDefaultSettings(); // uploads go under a temporary name, as the application's default
  const std::string r = remote_.path();
  // Far from sent when its row goes, and sparse here (not on the server's side).
  const std::string local = Paths::documents() + "/Files/huge.bin";
  ASSERT_TRUE(testsupport::writeFile(local, ""));
  std::filesystem::resize_file(local, 128LL << 20);
  testsupport::writeFile(r + "/small.txt", "small");
  makeQueue();
  queue_->addBatchItemAction(31, "huge.bin", r, 0, "127.0.0.1", peer->port(),
                             testsupport::kSftpUser, testsupport::kSftpPass, "sftp",
                             "/Files/huge.bin", false, true);
  queue_->addBatchItemAction(30, "small.txt", r, 0, "127.0.0.1", peer->port(),
                             testsupport::kSftpUser, testsupport::kSftpPass, "sftp", "", false,
                             true);
  auto onServer = [&] {
    std::vector<std::string> names;
    for (auto &entry : std::filesystem::directory_iterator(r))
      names.push_back(entry.path().filename().string());
    return names;
  };
  auto temporary = [&] {
    for (auto &name : onServer())
      if (name.rfind("huge.bin.upload.", 0) == 0) return r + "/" + name;
    return std::string();
  };
  ASSERT_TRUE(
      waitFor([&] { return advance(0.1), sizeOfFileAtPath(temporary()) >= (1 << 20); }, 60));
  ASSERT_TRUE(probe_->tap("Edit"));
  ASSERT_TRUE(probe_->deleteRow({0, 0}));
  ASSERT_TRUE(probe_->tap("Done"));
  ASSERT_TRUE(waitFor([&] { return advance(0.1), queue_->batchItemList().empty(); }, 60));
  EXPECT_EQ(testsupport::readFile(Paths::documents() + "/Files/small.txt"), "small");
  EXPECT_EQ(onServer(), std::vector<std::string>{"small.txt"});
  EXPECT_EQ(sizeOfFileAtPath(local), 128ULL << 20) << "the local file is the person's";
}

// A download row (one file, or a folder's file) whose name is taken by a folder of the person's
// leaves that folder whole and stays in the list with the reason; the rows after it run.
TEST_F(QueueSftp, ARowsFileNeverReplacesAFolderAndTheRowSaysWhy) {
  auto peer = testsupport::SshPeer::sshd({});
  ASSERT_TRUE(peer->started()) << peer->why();
  const std::string r = remote_.path();
  testsupport::writeFile(r + "/fetch.txt", "fetched");
  ::mkdir((r + "/tree").c_str(), 0777);
  testsupport::writeFile(r + "/tree/inner.txt", "inner");
  testsupport::writeFile(r + "/after.txt", "after");
  const std::string files = Paths::documents() + "/Files";
  for (const char *folder : {"/got/fetch.txt", "/tree/inner.txt"}) {
    ASSERT_TRUE(FileManager::createDirectory(files + folder, true));
    ASSERT_TRUE(testsupport::writeFile(files + folder + "/mine.txt", "the person's own"));
  }
  makeQueue();
  for (auto [action, name, local] :
       {std::tuple{30, "fetch.txt", "got"}, {33, "tree", ""}, {30, "after.txt", ""}})
    queue_->addBatchItemAction(action, name, r, 1, "127.0.0.1", peer->port(),
                               testsupport::kSftpUser, testsupport::kSftpPass, "sftp", local, false,
                               true);
  ASSERT_TRUE(waitFor([&] { return twoFailedRowsLeft(); }, 60)) << rows().size();
  const auto &list = queue_->batchItemList();
  EXPECT_EQ(list[0]->errorMsg(), "Error Downloading File! A folder named \"fetch.txt\" is where "
                                 "the file goes: it is not replaced.");
  EXPECT_EQ(list[1]->errorMsg(), "Error Downloading Folder! A folder named \"inner.txt\" is "
                                 "where the file goes: it is not replaced.");
  for (const char *folder : {"/got/fetch.txt", "/tree/inner.txt"})
    EXPECT_EQ(testsupport::readFile(files + folder + "/mine.txt"), "the person's own") << folder;
  EXPECT_EQ(testsupport::readFile(files + "/after.txt"), "after");
}

// A folder download over SFTP says when a file of it failed, as an FTP folder's row does, on
// OpenSSH as installed: a folder holding "loop -> ." (a link the server cannot read as a file)
// fetches its other files, and its row stays with the link's name and the server's answer; a
// file the server will not open ends the folder, and the row names it. Play runs the folder again
// and it says so again: the row stays until its folder comes whole.
TEST_F(QueueSftp, AFolderDownloadSaysWhichFileFailedAndWhy) {
  auto peer = testsupport::SshPeer::sshd({});
  ASSERT_TRUE(peer->started()) << peer->why();
  const std::string r = remote_.path(), files = Paths::documents() + "/Files";
  struct Case {
    const char *name;
    std::function<void(const std::string &folder)> make;
    std::string said;
    bool othersFetched;
  } cases[] = {
      {"a link to the folder itself",
       [](const std::string &folder) { ASSERT_EQ(::symlink(".", (folder + "/loop").c_str()), 0); },
       "Error Downloading Folder! \"tree1/loop\" could not be downloaded: the server answered "
       "\"Failure\" (SFTP status 4).",
       true},
      {"a file the login may not read",
       [](const std::string &folder) {
         testsupport::writeFile(folder + "/secret.txt", "not yours");
         ::chmod((folder + "/secret.txt").c_str(), 0);
       },
       "Error Downloading Folder! \"tree2/secret.txt\" could not be downloaded: Failed to open "
       "the remote file.",
       false},
  };
  makeQueue();
  int n = 0;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string tree = "tree" + std::to_string(++n);
    ::mkdir((r + "/" + tree).c_str(), 0777);
    testsupport::writeFile(r + "/" + tree + "/a.txt", "aaa");
    ASSERT_NO_FATAL_FAILURE(c.make(r + "/" + tree));
    queue_->addBatchItemAction(33, tree, r, 0, "127.0.0.1", peer->port(), testsupport::kSftpUser,
                               testsupport::kSftpPass, "sftp", "", false, true);
    for (int run = 0; run < 2; ++run) {
      if (run) queue_->clickedResume();
      ASSERT_TRUE(waitFor(
          [&] {
            advance(0.5);
            auto &list = queue_->batchItemList();
            return list.size() <= 1 && (list.empty() || !list[0]->errorMsg().empty());
          },
          60));
      ASSERT_EQ(queue_->batchItemList().size(), 1u)
          << "the folder's row is gone, as if it were whole\n"
          << testsupport::readFile(Paths::tmp() + "/Ferrowen-SFTP-2.log");
      EXPECT_EQ(queue_->batchItemList()[0]->errorMsg(), c.said);
    }
    if (c.othersFetched) {
      EXPECT_EQ(testsupport::readFile(files + "/" + tree + "/a.txt"), "aaa");
    }
    ASSERT_TRUE(probe_->deleteRow({0, 0})) << probe_->lastError(); // as a person gives it up
  }
}

// Many small items one after another on the queue's one SFTP thread: every upload and every file
// of a folder download arrives whole, and an upload whose local file is gone fails alone.
TEST_F(QueueSftp, ManySmallItemsEachWayAndOneFailingAmongThem) {
  auto peer = testsupport::SshPeer::sshd({});
  ASSERT_TRUE(peer->started()) << peer->why();
  const std::string r = remote_.path();
  ::mkdir((r + "/many").c_str(), 0777);
  ::mkdir((r + "/up").c_str(), 0777);
  ::chmod((r + "/up").c_str(), 0777); // the SFTP user writes there
  constexpr int kFiles = 40;
  auto content = [](int i) { return std::string((size_t)(i * 997 % 9000), (char)('a' + i % 26)); };
  for (int i = 0; i < kFiles; ++i) {
    testsupport::writeFile(r + "/many/m" + std::to_string(i), content(i));
    testsupport::writeFile(Paths::documents() + "/u" + std::to_string(i), content(i + 1));
  }
  makeQueue();
  auto add = [&](int action, const std::string &name, const std::string &path,
                 const std::string &local) {
    queue_->addBatchItemAction(action, name, path, 1, "127.0.0.1", peer->port(),
                               testsupport::kSftpUser, testsupport::kSftpPass, "sftp", local, false,
                               true);
  };
  queue_->batchUpdates([&] {
    for (int i = 0; i < kFiles; ++i) {
      const std::string name = "u" + std::to_string(i);
      add(31, name, r + "/up", name);
      if (i == kFiles / 2) add(31, "gone", r + "/up", "gone");
    }
    add(33, "many", r, "");
  });
  auto onlyTheFailedLeft = [&] {
    advance(0.5);
    auto &list = queue_->batchItemList();
    return list.size() == 1 && !list[0]->errorMsg().empty();
  };
  auto left = [&] {
    std::string text;
    for (auto &item : queue_->batchItemList())
      text += item->filename() + ": " + item->errorMsg() + "\n";
    return text + testsupport::readFile(Paths::tmp() + "/Ferrowen-SFTP-2.log");
  };
  ASSERT_TRUE(waitFor(onlyTheFailedLeft, 120)) << left();
  EXPECT_EQ(queue_->batchItemList()[0]->filename(), "gone");
  for (int i = 0; i < kFiles; ++i) {
    EXPECT_EQ(testsupport::readFile(r + "/up/u" + std::to_string(i)), content(i + 1)) << i;
    EXPECT_EQ(testsupport::readFile(Paths::documents() + "/Files/many/m" + std::to_string(i)),
              content(i))
        << i;
  }
  EXPECT_FALSE(FileManager::fileExists(r + "/up/gone"));
}

// With uploads to temporary names (a new user's setting) the rows still go many at a time: each
// file ends under its own name, over a file that was there before too, and no temporary name is
// left behind.
TEST_F(QueueSftp, UploadRowsUnderTemporaryNamesEndInPlace) {
  auto peer = testsupport::SshPeer::sshd({});
  ASSERT_TRUE(peer->started()) << peer->why();
  platform::UserDefaults::standard().setObject("1", "UploadToTempName");
  const std::string r = remote_.path();
  ::mkdir((r + "/up").c_str(), 0777);
  ::chmod((r + "/up").c_str(), 0777);
  constexpr int kFiles = 30;
  for (int i = 0; i < kFiles; ++i) {
    testsupport::writeFile(Paths::documents() + "/t" + std::to_string(i),
                           "new " + std::to_string(i));
    if (i % 3 == 0) testsupport::writeFile(r + "/up/t" + std::to_string(i), "old");
  }
  makeQueue();
  queue_->batchUpdates([&] {
    for (int i = 0; i < kFiles; ++i) {
      const std::string name = "t" + std::to_string(i);
      queue_->addBatchItemAction(31, name, r + "/up", 1, "127.0.0.1", peer->port(),
                                 testsupport::kSftpUser, testsupport::kSftpPass, "sftp", name,
                                 false, true);
    }
  });
  ASSERT_TRUE(waitFor([&] { return advance(0.1), queue_->batchItemList().empty(); }, 120));
  for (int i = 0; i < kFiles; ++i)
    EXPECT_EQ(testsupport::readFile(r + "/up/t" + std::to_string(i)), "new " + std::to_string(i))
        << i;
  const std::string names = testsupport::runCommand("ls -a '" + r + "/up'");
  EXPECT_EQ(names.find(".upload."), std::string::npos) << names;
  EXPECT_EQ(names.find(".old."), std::string::npos) << names;
}

// Upload rows go many at a time with several files in flight: a pause stops the batch after the
// files it has started, Play takes the rest, and every file arrives whole.
TEST_F(QueueSftp, AnUploadBatchStopsAtAPauseAndGoesOnAfterPlay) {
  auto peer = testsupport::SshPeer::sshd({});
  ASSERT_TRUE(peer->started()) << peer->why();
  const std::string r = remote_.path();
  ::mkdir((r + "/up").c_str(), 0777);
  ::chmod((r + "/up").c_str(), 0777);
  constexpr size_t kFiles = 400;
  auto content = [](size_t i) { return "file " + std::to_string(i) + std::string(i * 37, 'x'); };
  for (size_t i = 0; i < kFiles; ++i)
    testsupport::writeFile(Paths::documents() + "/p" + std::to_string(i), content(i));
  makeQueue();
  queue_->batchUpdates([&] {
    for (size_t i = 0; i < kFiles; ++i) {
      const std::string name = "p" + std::to_string(i);
      queue_->addBatchItemAction(31, name, r + "/up", 1, "127.0.0.1", peer->port(),
                                 testsupport::kSftpUser, testsupport::kSftpPass, "sftp", name,
                                 false, true);
    }
  });
  auto left = [&] { return queue_->batchItemList().size(); };
  ASSERT_TRUE(waitFor([&] { return advance(0.1), left() < kFiles; }, 60));
  queue_->clickedPause();
  const size_t leftAtPause = left();
  // Nothing is awaited here but the absence of more work: a few seconds show that the rows
  // beyond the batch in flight (at most one batch of them) stay.
  waitFor([&] { return advance(0.1), false; }, 3);
  EXPECT_GE(left() + 64, leftAtPause);
  EXPECT_GT(left(), 0u);
  queue_->clickedResume();
  ASSERT_TRUE(waitFor([&] { return advance(0.1), left() == 0; }, 120)) << left();
  for (size_t i = 0; i < kFiles; ++i)
    EXPECT_EQ(testsupport::readFile(r + "/up/p" + std::to_string(i)), content(i)) << i;
}

// A download that fails ends its row with the failure, whichever way it fails: the server will not
// open the file (OpenSSH as installed), the connection is cut while the file is on its way, the
// local folder cannot take the file, the server fails a read (a scripted server). The row shows
// "Error Downloading File!" and why, no longer "Downloading...", and the file is not in place.
TEST_F(QueueSftp, AFailedDownloadEndsItsRowSayingWhy) {
  using namespace testsupport;
  auto peer = testsupport::SshPeer::sshd({});
  ASSERT_TRUE(peer->started()) << peer->why();
  const std::string r = remote_.path(), files = Paths::documents() + "/Files";
  testsupport::writeFile(r + "/secret.txt", "not yours");
  ::chmod((r + "/secret.txt").c_str(), 0);
  testsupport::writeFile(r + "/fine.txt", "fine");
  // A pipe no one writes to: the server's open waits on it until the connection is cut.
  ASSERT_EQ(::mkfifo((r + "/stalled.bin").c_str(), 0666), 0);
  ASSERT_TRUE(testsupport::writeFile(files + "/taken", "a file where the folder would go"));
  // A server that opens the file and then fails its first read.
  FakeSftpOptions o;
  o.reply = [](const std::string &pkt) -> std::vector<std::string> {
    const unsigned int id = sftpIdOf(pkt);
    auto status = [&](unsigned int code, const std::string &text) {
      return sftpPacket(101, id, sftpU32(code) + sftpStr(text) + sftpStr(""));
    };
    const std::string attrs = sftpU32(1) + std::string(4, '\0') + sftpU32(1000);
    switch ((unsigned char)pkt[4]) {
    case 1:
      return {sftpVersion(3)};
    case 16:
      return {sftpPacket(104, id, sftpU32(1) + sftpStr("/") + sftpStr("/") + sftpU32(0))};
    case 3:
      return {sftpPacket(102, id, sftpStr("h"))};
    case 7:
    case 8:
    case 17:
      return {sftpPacket(105, id, attrs)};
    case 5:
      return {status(4, "Input/output error")};
    default:
      return {status(0, "")};
    }
  };
  FakeSftpServer failing(o);
  struct Case {
    const char *what, *name, *local;
    int port;
    std::string said;
  } cases[] = {
      {"the open refused", "secret.txt", "", peer->port(),
       "Error Downloading File! Permission denied."},
      {"the connection cut", "stalled.bin", "", peer->port(),
       "Error Downloading File! The connection to the server was lost."},
      {"the local folder refused", "fine.txt", "taken", peer->port(),
       "Error Downloading File! \"taken\" could not be made: File exists."},
      {"a read failed", "read.bin", "", failing.port(),
       "Error Downloading File! Input/output error."},
  };
  makeQueue();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    queue_->addBatchItemAction(30, c.name, r, 0, "127.0.0.1", c.port, testsupport::kSftpUser,
                               testsupport::kSftpPass, "sftp", c.local, false, true);
    if (std::string(c.name) == "stalled.bin") {
      ASSERT_TRUE(waitFor(
          [&] {
            advance(0.1);
            auto &list = queue_->batchItemList();
            return !list.empty() && list[0]->statusMsg() == "Downloading...";
          },
          60));
      ASSERT_GT(testsupport::killServerSessions(peer->port()), 0);
    }
    ASSERT_TRUE(waitFor(
        [&] {
          advance(0.5);
          auto &list = queue_->batchItemList();
          return list.size() == 1 && !list[0]->errorMsg().empty();
        },
        60));
    EXPECT_EQ(queue_->batchItemList()[0]->errorMsg(), c.said);
    // What the row shows under its name is the failure.
    auto line = std::dynamic_pointer_cast<ui::Label>(
        queue_->tableView()->cellForRowAtIndexPath({0, 0})->contentView()->viewWithTag(-6));
    ASSERT_TRUE(line);
    EXPECT_FALSE(line->isHidden());
    EXPECT_EQ(line->text(), c.said);
    EXPECT_FALSE(FileManager::fileExists(files + "/" + c.name));
    ASSERT_TRUE(probe_->deleteRow({0, 0})) << probe_->lastError(); // as a person gives it up
  }
}

// A download onto a disk that fills up (a small tmpfs mounted over the folder it goes into): the
// file alone, and a folder of files small enough to come many at once. The transfer stops, the
// row says the disk is full and stays, and no cut file takes the name.
TEST_F(QueueSftp, ADownloadOntoAFullDiskStopsAndTheRowSaysWhy) {
  REQUIRE_MACHINE(::geteuid() == 0, "mounting a small disk needs root");
  auto peer = testsupport::SshPeer::sshd({});
  ASSERT_TRUE(peer->started()) << peer->why();
  const std::string r = remote_.path(), files = Paths::documents() + "/Files";
  testsupport::writeFile(r + "/big.bin", std::string(24 << 20, 'b'));
  ::mkdir((r + "/tree").c_str(), 0777);
  for (int i = 0; i < 12; ++i)
    testsupport::writeFile(r + "/tree/part" + std::to_string(i), std::string(400 << 10, 'p'));
  struct Case {
    int action;
    const char *name, *local, *disk, *expected;
  } cases[] = {{30, "big.bin", "got", "/got", "Error Downloading File! The disk is full."},
               {33, "tree", "", "/tree", "Error Downloading Folder! The disk is full."}};
  std::vector<std::unique_ptr<testsupport::SmallDisk>> disks;
  for (const Case &c : cases) {
    ASSERT_TRUE(FileManager::createDirectory(files, true));
    disks.push_back(std::make_unique<testsupport::SmallDisk>(files + c.disk, 1 << 20));
    REQUIRE_MACHINE(disks.back()->mounted(), "no small disk: " << disks.back()->error());
  }
  makeQueue();
  for (const Case &c : cases)
    queue_->addBatchItemAction(c.action, c.name, r, 1, "127.0.0.1", peer->port(),
                               testsupport::kSftpUser, testsupport::kSftpPass, "sftp", c.local,
                               false, true);
  ASSERT_TRUE(waitFor([&] { return twoFailedRowsLeft(); }, 60)) << rows().size();
  const auto &list = queue_->batchItemList();
  for (size_t i = 0; i < 2; ++i)
    EXPECT_EQ(list[i]->errorMsg(), cases[i].expected);
  EXPECT_FALSE(FileManager::fileExists(files + "/got/big.bin"));
  int arrived = 0;
  for (int i = 0; i < 12; ++i)
    arrived += FileManager::fileExists(files + "/tree/part" + std::to_string(i));
  EXPECT_LT(arrived, 12);
}

} // namespace
