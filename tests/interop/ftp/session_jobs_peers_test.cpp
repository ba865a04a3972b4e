// What a connection keeps between sessions and what a queue row may lead to: a transfer runs
// only against the server it was started for, a row added for looking at a file ends with the
// look, and no download replaces a Saved Files copy without the "Saved File Exists" question.
#include "tests/interop/ftp/QueueFtpPeers.h"
#include "tests/interop/ftp/TaskPeers.h"

#include "app/foundation/Globals.h"

#include "platform/foundation/FileManager.h"

using namespace taskpeers;

namespace {

class SessionJobsTest : public TaskPeerTest {
protected:
  bool reportsHave(const std::string &report) {
    auto reports = services->queue->reports();
    return std::find(reports.begin(), reports.end(), report) != reports.end();
  }
};

// The queue's connection uploads to server A, then is sent to server B (as the queue does for a
// row of another server): the finished upload must not go to B at the login.
TEST_F(SessionJobsTest, AFinishedUploadIsNotRunAgainOnTheNextServer) {
  for (const bool viaReinit : {true, false}) {
    SCOPED_TRACE(viaReinit ? "reinit, then connect" : "connect alone");
    Server a = startPyftpdlib();
    Server b = startScripted("{}");
    for (const std::string &left : {a.root + "/upme.txt", b.root + "/upme.txt"})
      FileManager::removeItem(left);
    const std::string local = home.file("upme.txt");
    testsupport::writeFile(local, "upload me");
    startConnection(address(a), false);
    conn->uploadFile("upme.txt", local, "/", false, 0); // no session yet: stored, then run
    ASSERT_TRUE(waitFor([&] { return reportsHave("done:1") && idle(); })) << conn->transferLog();
    EXPECT_EQ(testsupport::readFile(a.root + "/upme.txt"), "upload me");

    // reinit empties the log; without it, B's session is what follows A's.
    const size_t mark = viaReinit ? 0 : conn->transferLog().size();
    if (viaReinit) conn->reinit();
    conn->setServerAddress(address(b));
    conn->connect();
    auto sentToB = [&] { return commandsSince(mark); };
    ASSERT_TRUE(waitFor([&] {
      auto sent = sentToB();
      return std::find(sent.begin(), sent.end(), "PWD") != sent.end() && idle();
    })) << conn->transferLog();
    waitFor([] { return false; }, 0.3); // a job run at the login would have sent by now
    for (const std::string &command : sentToB())
      for (const char *transfer : {"STOR", "RNFR", "RNTO", "DELE", "CWD"})
        EXPECT_NE(command.rfind(transfer, 0), 0u) << command;
    EXPECT_FALSE(FileManager::fileExists(b.root + "/upme.txt"));
    EXPECT_FALSE(FileManager::fileExists(b.root + "/upme.upload.txt"));
    stopConnection();
    services->queue = std::make_shared<QueueDouble>();
  }
}

// A job asked for before any session is stored for the login; the login to server A is refused,
// and the connection is sent to server B (as the queue does for a row of another server, with or
// without a reinit): B gets none of the job meant for A, whatever the job, and A none either.
// Each job is a case of its own, on a data folder of its own.
struct StoredJob {
  const char *name;
  std::function<void(FTPConnection &, const std::string &local)> start;
};

void PrintTo(const StoredJob &job, std::ostream *out) {
  *out << job.name;
}

const StoredJob kStoredJobs[] = {
    {"UploadOfAFile",
     [](FTPConnection &c, const std::string &local) {
       c.uploadFile("upme.txt", local, "/", false, 0);
     }},
    {"UploadFromMemory",
     [](FTPConnection &c, const std::string &) {
       c.uploadFile("upme.txt", FTPConnection::Bytes{'x'}, "/", false);
     }},
    {"Download",
     [](FTPConnection &c, const std::string &) {
       c.downloadFile("victim.txt", 0, false, true, "/", false, false, 0);
     }},
    {"Rename",
     [](FTPConnection &c, const std::string &) { c.renameFile("victim.txt", "renamed.txt", "/"); }},
    {"Delete",
     [](FTPConnection &c, const std::string &) { c.deleteFile("victim.txt", "/", false); }},
    {"NewFolder", [](FTPConnection &c, const std::string &) { c.makeDirectory("newdir", "/"); }},
    {"Permissions",
     [](FTPConnection &c, const std::string &) { c.chmodFile("victim.txt", "/", "600"); }},
    {"RawCommand",
     [](FTPConnection &c, const std::string &) { c.doRawFTPCommand("DELE victim.txt", "/"); }},
    {"FolderListing", [](FTPConnection &c, const std::string &) { c.changeDirectory("/sub"); }},
};

class StoredJobAfterRefusedLogin
    : public SessionJobsTest,
      public ::testing::WithParamInterface<std::tuple<StoredJob, bool>> {};

TEST_P(StoredJobAfterRefusedLogin, NeverReachesTheNextServer) {
  const auto &[job, viaReinit] = GetParam();
  const std::string local = home.file("upme.txt");
  testsupport::writeFile(local, "upload me");
  queuetest::QueuePeer a, b;
  ASSERT_TRUE(a.ready() && b.ready());
  for (const std::string &root : {a.root(), b.root()}) {
    ASSERT_TRUE(testsupport::writeFile(root + "/victim.txt", "keep me"));
    FileManager::createDirectory(root + "/sub", true);
  }
  startConnection("127.0.0.1:" + std::to_string(a.port()), false, "joe", "not-the-password");
  job.start(*conn, local); // no session yet: stored, then the login to A
  ASSERT_TRUE(waitFor([&] { return !delegate->taken().empty() && !conn->isStreamConnected(); }))
      << conn->transferLog();
  EXPECT_EQ(a.count("PASS"), 1u) << testsupport::readFile(a.log());

  if (viaReinit) conn->reinit();
  conn->setServerAddress("127.0.0.1:" + std::to_string(b.port()));
  conn->setLoginPass("secret");
  conn->connect();
  ASSERT_TRUE(waitFor([&] { return b.count("PWD") > 0 && idle(); })) << conn->transferLog();
  waitFor([] { return false; }, 0.3); // a job run at the login would have been sent by now
  for (const auto *peer : {&a, &b})
    for (const char *command :
         {"STOR", "APPE", "RETR", "RNFR", "DELE", "MKD", "SITE", "CWD", "LIST", "MLSD"})
      EXPECT_EQ(peer->count(command), 0u)
          << command << (peer == &a ? " on A\n" : " on B\n") << testsupport::readFile(peer->log());
  EXPECT_EQ(testsupport::readFile(b.root() + "/victim.txt"), "keep me");
  EXPECT_FALSE(FileManager::fileExists(b.root() + "/upme.txt"));
  EXPECT_FALSE(FileManager::fileExists(b.root() + "/newdir"));
  EXPECT_FALSE(FileManager::fileExists(savedFile("victim.txt")));
}

INSTANTIATE_TEST_SUITE_P(SessionJobs, StoredJobAfterRefusedLogin,
                         ::testing::Combine(::testing::ValuesIn(kStoredJobs), ::testing::Bool()),
                         [](const auto &info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) ? "_ReinitThenConnect" : "_Connect");
                         });

// A head view that stops at its limit ends the queue row the view added: the rest of the file was
// never wanted. A view whose transfer is cut or refused keeps its row, for the queue to finish.
TEST_F(SessionJobsTest, ARowAddedForAViewEndsOnlyWithAHeadViewsLimit) {
  Server s = startPyftpdlib();
  testsupport::writeFile(s.root + "/big.txt", randomBytes(300000, 9));
  connectAndList(address(s));
  conn->downloadFile("big.txt", 300000, false, false, "/", true, false, 0);
  ASSERT_TRUE(waitFor([&] { return logHas(">>> ABOR") && idle(); })) << conn->transferLog();
  ASSERT_TRUE(waitFor([&] { return reportsHave("done:1"); }));
  EXPECT_TRUE(services->queue->allRows().empty());
  stopConnection();

  struct Failing {
    // The scripted server's script (none: pyftpdlib); the file is on the server unless it is
    // "gone.txt".
    const char *what, *script, *name;
    bool forEditing;
  };
  for (const Failing &f :
       {Failing{"cut", R"({"retr": "partial-426", "partial": 20000})", "cut.txt", false},
        Failing{"refused", nullptr, "gone.txt", true}}) {
    SCOPED_TRACE(f.what);
    services->queue = std::make_shared<QueueDouble>(); // its first row is 1
    Server peer = f.script ? startScripted(f.script) : startPyftpdlib();
    if (std::string(f.name) != "gone.txt")
      testsupport::writeFile(peer.root + "/" + f.name, randomBytes(50000, 10));
    connectAndList(address(peer));
    const size_t before = delegate->taken().size();
    conn->downloadFile(f.name, 50000, f.forEditing, false, "/", false, false, 0);
    ASSERT_TRUE(waitFor([&] { return delegate->taken().size() > before && idle(); }))
        << conn->transferLog();
    ASSERT_TRUE(waitFor([&] { return reportsHave("abort:1"); })) << conn->transferLog();
    EXPECT_FALSE(reportsHave("done:1"));
    ASSERT_EQ(services->queue->allRows().size(), 1u);
    EXPECT_EQ(services->queue->allRows()[0].filename, f.name);
    stopConnection();
  }
}

// A file opened from the tab and kept in Saved Files as it arrives goes into the folder the Saved
// Files tab shows, also a folder of the shared folder, beside Saved Files.
TEST_F(SessionJobsTest, AViewKeptAsItArrivesGoesIntoTheFolderShown) {
  Server s = startPyftpdlib();
  testsupport::writeFile(s.root + "/note.txt", "the note");
  UserDefaults::standard().setObject("1", kAutoSaveAllDownloadsKey);
  currentLocalFolder = "../Mine";
  connectAndList(address(s));
  conn->downloadFile("note.txt", 8, true, false, "/", false, false, 0);
  const std::string shown = Paths::documents() + "/Mine/note.txt";
  EXPECT_TRUE(waitFor([&] { return testsupport::readFile(shown) == "the note"; }))
      << conn->transferLog();
  EXPECT_FALSE(FileManager::fileExists(Paths::documents() + "/Files/Mine"));
  currentLocalFolder.clear();
}

// The queue's connection runs a row the queue handed it; a different file of that name in Saved
// Files is not replaced unasked.
TEST_F(SessionJobsTest, TheQueuesDownloadAsksBeforeReplacingASavedFile) {
  Server s = startPyftpdlib();
  testsupport::writeFile(s.root + "/notes.txt", "the server's text");
  FileManager::createDirectory(Paths::documents() + "/Files", true);
  testsupport::writeFile(savedFile("notes.txt"), "the saved text");
  startConnection(address(s), false);
  conn->setBatchPK(7);
  conn->downloadFile("notes.txt", 0, false, true, "/", false, false, 0);
  ASSERT_TRUE(waitFor([&] { return !probe->pendingAlerts().empty(); })) << conn->transferLog();
  EXPECT_EQ(probe->pendingAlerts().back().title, "Saved File Exists");
  EXPECT_FALSE(logHas(">>> RETR"));
  ASSERT_TRUE(probe->answerAlert("Cancel"));
  ASSERT_TRUE(waitFor([&] { return reportsHave("done:7"); }));
  EXPECT_EQ(testsupport::readFile(savedFile("notes.txt")), "the saved text");

  // Answered "Replace", the download goes on and replaces it.
  conn->downloadFile("notes.txt", 0, false, true, "/", false, false, 0);
  ASSERT_TRUE(waitFor([&] { return !probe->pendingAlerts().empty(); }));
  ASSERT_TRUE(probe->answerAlert("Replace"));
  ASSERT_TRUE(waitFor([&] {
    return testsupport::readFile(savedFile("notes.txt")) == "the server's text";
  })) << conn->transferLog();
}

} // namespace
