// What a connection keeps between sessions and what a queue row may lead to: a transfer runs
// only against the server it was started for, a row added for looking at a file ends with the
// look, and no download replaces a Saved Files copy without the "Saved File Exists" question.
#include "tests/interop/ftp/TaskPeers.h"

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

// A head view that stops at its limit, and a view whose transfer fails, end the queue row the
// view added: the queue would otherwise run it later as a download into Saved Files.
TEST_F(SessionJobsTest, ARowAddedForAViewEndsWithTheView) {
  Server s = startPyftpdlib();
  testsupport::writeFile(s.root + "/big.txt", randomBytes(300000, 9));
  connectAndList(address(s));
  conn->downloadFile("big.txt", 300000, false, false, "/", true, false, 0);
  ASSERT_TRUE(waitFor([&] { return logHas(">>> ABOR") && idle(); })) << conn->transferLog();
  ASSERT_TRUE(waitFor([&] { return reportsHave("done:1"); }));
  EXPECT_TRUE(services->queue->allRows().empty());
  stopConnection();

  Server cut = startScripted(R"({"retr": "partial-426", "partial": 20000})");
  testsupport::writeFile(cut.root + "/cut.txt", randomBytes(50000, 10));
  connectAndList(address(cut));
  conn->downloadFile("cut.txt", 50000, false, false, "/", false, false, 0);
  ASSERT_TRUE(waitFor([&] { return !delegate->taken().empty() && idle(); })) << conn->transferLog();
  ASSERT_TRUE(waitFor([&] { return reportsHave("done:2"); }));
  EXPECT_FALSE(reportsHave("abort:2"));
  EXPECT_TRUE(services->queue->allRows().empty());
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
