// Downloads against real servers and the scripted one: whole files, resumes, head and tail views,
// refused sizes, the order of the final reply and the data's end, failed transfers, and the
// "Saved File Exists" question.
#include "tests/interop/ftp/TaskPeers.h"

#include "app/foundation/PartialFile.h"

#include "platform/foundation/DateFormatter.h"
#include "platform/foundation/FileManager.h"
#include "tests/support/Peers.h"

#include <cctype>

using namespace taskpeers;

namespace {

class DownloadPeersTest : public TaskPeerTest {
protected:
  // Starts a download and waits for its task to end: it has sent its commands (it may wait on
  // the connection for a while first) and is over.
  void download(const std::string &name, int64_t size = 0, bool justDownload = true,
                bool head = false, bool tail = false, int64_t resumeAt = 0) {
    const size_t before = commandsSent().size();
    conn->downloadFile(name, size, false, justDownload, "/", head, tail, resumeAt);
    ASSERT_TRUE(waitFor([&] { return commandsSent().size() > before && idle(); }))
        << conn->transferLog();
    // What the connection posted to the main thread has run.
    ASSERT_TRUE(throughConnectionThread(true));
  }
  // The final replies (code 200 or more) logged since the first line that starts with `from`.
  int finalRepliesSince(const std::string &from) {
    const std::string log = conn->transferLog();
    const size_t pos = log.find(from);
    return pos == std::string::npos ? 0 : finalRepliesIn(log.substr(pos));
  }
  // The final replies in a piece of the log, after its first line.
  static int finalRepliesIn(const std::string &log) {
    size_t pos = 0;
    int n = 0;
    while ((pos = log.find('\n', pos)) != std::string::npos) {
      ++pos;
      if (log.size() >= pos + 4 && log[pos] >= '2' && log[pos] <= '5' &&
          std::isdigit(log[pos + 1]) && std::isdigit(log[pos + 2]) && log[pos + 3] == ' ')
        ++n;
    }
    return n;
  }
  // The final replies logged after the first line that starts with `from` and before the next
  // line after it that starts with `to`.
  int finalRepliesBetween(const std::string &from, const std::string &to) {
    const std::string log = conn->transferLog();
    size_t pos = log.find(from);
    if (pos == std::string::npos) return 0;
    const size_t end = log.find("\n" + to, pos);
    return finalRepliesIn(log.substr(pos, end == std::string::npos ? end : end + 1 - pos));
  }
  // Head and tail views. A head view cuts its transfer with "ABOR"; the command that follows at
  // once (here a tail view's) must get its own replies, not the cut transfer's and the abort's,
  // which come in after the head view has ended.
  void headThenTail(const std::string &root, const std::string &address) {
    // Larger than the socket buffers between the server and us can ever hold: however late the
    // connection reads (a loaded machine), the file cannot have come whole before its first
    // read, so the transfer is cut part-way and both its own final reply and the abort's follow.
    const std::string big = randomBytes(64 << 20, 3);
    const auto bigSize = int64_t(big.size());
    const std::string small = randomBytes(40000, 4);
    testsupport::writeFile(root + "/big.log", big);
    testsupport::writeFile(root + "/small.log", small);
    connectAndList(address);

    // Head: stops after the first read past 64 KiB and aborts the transfer. The tail view of a
    // file under 64 KiB (the whole file, without a "REST") is asked for in the same breath.
    conn->downloadFile("big.log", bigSize, false, false, "/", true, false, 0);
    conn->downloadFile("small.log", 40000, false, false, "/", false, true, 0);
    ASSERT_TRUE(waitFor([&] { return logHas(">>> RETR small.log") && idle(); }))
        << conn->transferLog();
    ASSERT_TRUE(throughConnectionThread(true));
    EXPECT_EQ(finalRepliesBetween(">>> ABOR", ">>> "), 2) << conn->transferLog();
    const std::string head = testsupport::readFile(services->fileHandedOn("big.log"));
    EXPECT_GT(head.size(), 65536u);
    EXPECT_LT(head.size(), big.size());
    EXPECT_TRUE(head == big.substr(0, head.size())); // (no dump of megabytes when it fails)
    // A preview is never saved into Saved Files.
    EXPECT_FALSE(FileManager::fileExists(savedFile("big.log")));
    auto sent = commandsFrom("ABOR");
    EXPECT_EQ(std::count_if(sent.begin(), sent.end(),
                            [](const std::string &c) { return c.rfind("REST", 0) == 0; }),
              0);
    EXPECT_EQ(testsupport::readFile(services->fileHandedOn("small.log")), small);
    EXPECT_EQ(services->handOns(), 2);

    // Tail: the last 64 KiB.
    download("big.log", bigSize, false, false, true);
    EXPECT_TRUE(logHas(">>> REST " + std::to_string(bigSize - 65536)));
    EXPECT_TRUE(testsupport::readFile(services->fileHandedOn("big.log")) ==
                big.substr(big.size() - 65536));
    EXPECT_EQ(services->handOns(), 3);
    EXPECT_TRUE(errors().empty()) << errors().front();
  }
  std::vector<std::string> errors() { return delegate->taken(); }
  // Where a download's bytes from that server go until it is whole (logged in as the tests here
  // log in, with no user name).
  std::string partialFile(const std::string &name, const Server &from) {
    return partialFilePath(tmpFile(name), ftpDownloadSource("127.0.0.1", from.port, "", "/", name));
  }
};

TEST_F(DownloadPeersTest, WholeFileAndResumeFromACutTemporaryFile) {
  Server s = startPyftpdlib();
  const std::string content = randomBytes(3 * 1024 * 1024 + 17);
  testsupport::writeFile(s.root + "/data.bin", content);
  connectAndList(address(s));

  download("data.bin", int64_t(content.size()));
  EXPECT_EQ(sha256(testsupport::readFile(savedFile("data.bin"))), sha256(content));
  EXPECT_FALSE(FileManager::fileExists(tmpFile("data.bin"))); // a save-only download
  auto rows = services->queue->addedRows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_TRUE(services->queue->allRows().empty()); // done, so out of the queue
  EXPECT_EQ(rows[0].action, 2);
  EXPECT_EQ(rows[0].filename, "data.bin");
  EXPECT_EQ(rows[0].path, "/");
  EXPECT_EQ(services->queue->reports(), std::vector<std::string>{"done:1"});
  EXPECT_EQ(services->queue->lastSize, int64_t(content.size()));

  // A partial file cut short (a broken earlier try) is resumed where it ends, whatever finished
  // copy of that name the temporary folder holds (one a viewer showed, say).
  UserDefaults::standard().setObject("1", kOverwriteSavedFilesKey);
  testsupport::writeFile(partialFile("data.bin", s), content.substr(0, 1000000));
  testsupport::writeFile(tmpFile("data.bin"), std::string(2000000, 'v'));
  download("data.bin", int64_t(content.size()), true, false, false, 1);
  EXPECT_TRUE(logHas(">>> REST 1000000"));
  EXPECT_EQ(sha256(testsupport::readFile(savedFile("data.bin"))), sha256(content));
  EXPECT_FALSE(FileManager::fileExists(partialFile("data.bin", s)));

  // A partial file as long as the remote one, or a size that differs, starts again at 0.
  testsupport::writeFile(partialFile("data.bin", s), content);
  download("data.bin", int64_t(content.size()), true, false, false, 1);
  EXPECT_EQ(sha256(testsupport::readFile(savedFile("data.bin"))), sha256(content));
  testsupport::writeFile(partialFile("data.bin", s), content.substr(0, 5000));
  download("data.bin", 12345, true, false, false, 1);
  EXPECT_TRUE(logHas("!!! File Size Mismatch! Don't Resume."));
  auto last = commandsFrom("CWD");
  EXPECT_EQ(std::count_if(last.begin(), last.end(),
                          [](const std::string &c) { return c.rfind("REST", 0) == 0; }),
            0);
  EXPECT_EQ(sha256(testsupport::readFile(savedFile("data.bin"))), sha256(content));
  EXPECT_TRUE(errors().empty());
}

// A transfer started together with the connection (the job waits for the login) completes:
// the report of a transfer cut by closing the previous session, which comes half a second after
// that, is not for it.
TEST_F(DownloadPeersTest, TransferStartedWhileConnectingCompletes) {
  Server s = startScripted(R"({"retrdelay": 1.0})");
  const std::string content = randomBytes(50000, 31);
  testsupport::writeFile(s.root + "/slow.bin", content);
  startConnection(address(s));
  conn->downloadFile("slow.bin", int64_t(content.size()), false, true, "/", false, false, 0);
  ASSERT_TRUE(waitFor([&] { return testsupport::readFile(savedFile("slow.bin")) == content; }))
      << conn->transferLog();
  ASSERT_TRUE(waitIdle());
  EXPECT_EQ(services->queue->reports(), std::vector<std::string>{"done:1"});
  EXPECT_TRUE(delegate->taken().empty());
}

TEST_F(DownloadPeersTest, HeadAndTailViews) {
  Server s = startPyftpdlib();
  headThenTail(s.root, address(s));
}

TEST_F(DownloadPeersTest, HeadAndTailViewsOnVsftpd) {
  REQUIRE_PEER(testsupport::program("/usr/sbin/vsftpd", "vsftpd"));
  Server s = startVsftpd();
  ASSERT_NE(s.port, 0) << "vsftpd cannot run here";
  headThenTail(s.root, address(s));
}

// A server that answers the abort of a running transfer once only (no reply of the transfer's
// own) holds the next command up for a bounded while, not for good.
TEST_F(DownloadPeersTest, HeadViewAtAServerThatAnswersTheAbortOnce) {
  Server s = startScripted(R"({"retr": "until-closed"})");
  testsupport::writeFile(s.root + "/big.log", randomBytes(300000, 3));
  connectAndList(address(s));
  conn->downloadFile("big.log", 0, false, false, "/", true, false, 0);
  conn->makeDirectory("made", "/");
  ASSERT_TRUE(waitFor([&] { return logHas(">>> MKD made") && idle(); }, 60)) << conn->transferLog();
  ASSERT_TRUE(throughConnectionThread(true));
  EXPECT_EQ(finalRepliesBetween(">>> ABOR", ">>> "), 1) << conn->transferLog();
  EXPECT_TRUE(FileManager::fileExists(s.root + "/made"));
  EXPECT_EQ(services->handOns(), 1);
  EXPECT_TRUE(errors().empty()) << errors().front();
}

TEST_F(DownloadPeersTest, RefusedSizeAndReplyBeforeData) {
  const std::string content = randomBytes(200000, 5);
  {
    Server s = startScripted(R"({"size": "refuse", "retr": "reply-first"})");
    testsupport::writeFile(s.root + "/f.bin", content);
    connectAndList(address(s));
    // No size from the caller or the server: the file is taken as it comes.
    download("f.bin");
    EXPECT_EQ(sha256(testsupport::readFile(savedFile("f.bin"))), sha256(content));
    EXPECT_EQ(services->queue->reports(), std::vector<std::string>{"done:1"});
    // A size from the caller that the server cannot confirm is no reason to refuse the file.
    UserDefaults::standard().setObject("1", kOverwriteSavedFilesKey);
    FileManager::removeItem(savedFile("f.bin"));
    download("f.bin", 1234);
    EXPECT_EQ(sha256(testsupport::readFile(savedFile("f.bin"))), sha256(content));
    EXPECT_TRUE(errors().empty());
    stopConnection();
  }
  // The same with the size given: the 226 came first, the file is whole all the same.
  Server s = startScripted(R"({"retr": "reply-first"})");
  testsupport::writeFile(s.root + "/g.bin", content);
  connectAndList(address(s));
  download("g.bin", int64_t(content.size()));
  EXPECT_EQ(sha256(testsupport::readFile(savedFile("g.bin"))), sha256(content));
  EXPECT_TRUE(errors().empty());
}

// A server that refuses "SIZE" and cuts the transfer but says 226: the size the listing or the
// queue row gave tells that the file is short. Nothing of it is saved or opened, its row is not
// done, and what came stays in its partial file for a resume.
TEST_F(DownloadPeersTest, ARefusedSizeStillCatchesAShortFile) {
  const std::string content = randomBytes(50000, 8);
  Server s = startScripted(R"({"size": "refuse", "retr": "partial-226", "partial": 20000})");
  testsupport::writeFile(s.root + "/short.bin", content);
  connectAndList(address(s));
  for (bool justDownload : {true, false}) {
    SCOPED_TRACE(justDownload ? "to be saved" : "to be opened");
    const size_t told = errors().size();
    download("short.bin", int64_t(content.size()), justDownload);
    ASSERT_EQ(errors().size(), told + 1) << conn->transferLog();
    EXPECT_EQ(errors().back(),
              "The download of \"short.bin\" is incomplete: 20000 of 50000 bytes.");
    EXPECT_FALSE(FileManager::fileExists(savedFile("short.bin")));
    EXPECT_EQ(services->handOns(), 0);
    EXPECT_EQ(testsupport::readFile(partialFile("short.bin", s)), content.substr(0, 20000));
    for (auto &report : services->queue->reports())
      EXPECT_EQ(report.rfind("done:", 0), std::string::npos) << report;
  }
}

TEST_F(DownloadPeersTest, TransferAbortedAfterPartialDataIsNotHandedOn) {
  const std::string content = randomBytes(50000, 6);
  Server s = startScripted(R"({"retr": "partial-426", "partial": 20000})");
  testsupport::writeFile(s.root + "/cut.bin", content);
  // An older saved copy, and the copy a viewer shows, must survive the failed download.
  FileManager::createDirectory(Paths::documents() + "/Files", true);
  testsupport::writeFile(savedFile("cut.bin"), "the saved copy");
  const std::string viewed = workingCopy("cut.bin", s.port);
  testsupport::writeFile(viewed, "the viewed copy");
  UserDefaults::standard().setObject("1", kOverwriteSavedFilesKey);
  connectAndList(address(s));

  download("cut.bin", int64_t(content.size()), true);
  EXPECT_EQ(testsupport::readFile(savedFile("cut.bin")), "the saved copy");
  EXPECT_EQ(services->handOns(), 0);
  // The partial file stays for a resume, and the error is reported.
  EXPECT_EQ(testsupport::readFile(partialFile("cut.bin", s)), content.substr(0, 20000));
  EXPECT_EQ(testsupport::readFile(viewed), "the viewed copy");
  ASSERT_FALSE(errors().empty());
  EXPECT_NE(errors().back().find("426"), std::string::npos);
  auto reports = services->queue->reports();
  EXPECT_EQ(std::count(reports.begin(), reports.end(), "done:1"), 0);

  // A server that cuts the transfer but says 226: the size it announced tells.
  stopConnection();
  Server liar = startScripted(R"({"retr": "partial-226", "partial": 20000})");
  testsupport::writeFile(liar.root + "/cut.bin", content);
  connectAndList(address(liar));
  download("cut.bin", 0, true);
  EXPECT_EQ(testsupport::readFile(savedFile("cut.bin")), "the saved copy");
  EXPECT_EQ(services->handOns(), 0);
  ASSERT_EQ(errors().size(), 2u);
  EXPECT_NE(errors().back().find("is incomplete: 20000 of 50000 bytes"), std::string::npos);
  EXPECT_EQ(testsupport::readFile(partialFile("cut.bin", liar)), content.substr(0, 20000));
  EXPECT_EQ(testsupport::readFile(viewed), "the viewed copy");

  // Another server's file of that name, of the same size, asked for as a resume: what the other
  // servers left is not its beginning, so it comes whole from its start and then replaces both
  // copies; the other servers' partial files stay theirs.
  stopConnection();
  Server good = startPyftpdlib();
  const std::string other = randomBytes(content.size(), 7);
  testsupport::writeFile(good.root + "/cut.bin", other);
  connectAndList(address(good));
  download("cut.bin", int64_t(other.size()), true, false, false, 20000);
  EXPECT_FALSE(logHas(">>> REST 20000"));
  EXPECT_TRUE(testsupport::readFile(savedFile("cut.bin")) == other);
  EXPECT_FALSE(FileManager::fileExists(partialFile("cut.bin", good)));
  EXPECT_EQ(testsupport::readFile(partialFile("cut.bin", liar)), content.substr(0, 20000));
  ASSERT_EQ(errors().size(), 2u);

  // A file the server refuses gets no partial file, and the copy of that name stays.
  const std::string open = workingCopy("gone.txt", good.port);
  testsupport::writeFile(open, "open in the editor");
  download("gone.txt", 0, false);
  EXPECT_EQ(errors().size(), 3u);
  EXPECT_EQ(testsupport::readFile(open), "open in the editor");
  EXPECT_FALSE(FileManager::fileExists(partialFile("gone.txt", good)));
}

// A download only to be saved goes from its partial file straight into Saved Files: the
// temporary folder's file of its name (the working copy of a file being edited, say, or what a
// same-named download from another server finishing at that moment put there) is never taken
// for it, nor replaced or removed. A folder in Saved Files in its way keeps the whole download
// for a later try, and a try after the folder has gone saves it.
TEST_F(DownloadPeersTest, ASaveOnlyDownloadNeverPassesThroughTheTemporaryFile) {
  Server s = startPyftpdlib();
  const std::string content = randomBytes(200000, 41);
  testsupport::writeFile(s.root + "/same.bin", content);
  testsupport::writeFile(tmpFile("same.bin"), "the working copy of another server's same.bin");
  connectAndList(address(s));
  download("same.bin", int64_t(content.size()));
  EXPECT_EQ(sha256(testsupport::readFile(savedFile("same.bin"))), sha256(content));
  EXPECT_EQ(testsupport::readFile(tmpFile("same.bin")),
            "the working copy of another server's same.bin");
  EXPECT_FALSE(FileManager::fileExists(partialFile("same.bin", s)));

  // Past the "Saved File Exists" question (another test's), to where the folder is met.
  UserDefaults::standard().setObject("1", kOverwriteSavedFilesKey);
  FileManager::removeItem(savedFile("same.bin"));
  ASSERT_TRUE(FileManager::createDirectory(savedFile("same.bin") + "/inner"));
  download("same.bin", int64_t(content.size()));
  // The error is told from the connection's thread after the main thread met the folder: one
  // more hop than the download's own end.
  ASSERT_TRUE(waitFor([&] { return !errors().empty(); })) << conn->transferLog();
  ASSERT_EQ(errors().size(), 1u);
  EXPECT_EQ(errors()[0], "The file \"same.bin\" could not be saved in Saved Files: a folder of "
                         "that name is in the way.");
  EXPECT_TRUE(FileManager::isDirectory(savedFile("same.bin") + "/inner"));
  EXPECT_EQ(sha256(testsupport::readFile(partialFile("same.bin", s))), sha256(content));
  EXPECT_EQ(testsupport::readFile(tmpFile("same.bin")),
            "the working copy of another server's same.bin");

  FileManager::removeItem(savedFile("same.bin"));
  download("same.bin", int64_t(content.size()), true, false, false, 1);
  EXPECT_EQ(sha256(testsupport::readFile(savedFile("same.bin"))), sha256(content));
  EXPECT_FALSE(FileManager::fileExists(partialFile("same.bin", s)));
}

TEST_F(DownloadPeersTest, SavedFilesFolderFollowsTheSetting) {
  Server s = startPyftpdlib();
  ::mkdir((s.root + "/docs").c_str(), 0755);
  testsupport::writeFile(s.root + "/docs/notes.pdf", "%PDF-1.4");
  connectAndList(address(s));
  auto &defaults = UserDefaults::standard();
  defaults.setObject("1", kOverwriteSavedFilesKey);
  const std::string files = Paths::documents() + "/Files/";
  const std::string today =
      platform::DateFormatter("yyyy-MM-dd").stringFromDate(platform::Clock::current().wallNow());
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"0", "notes.pdf"},          {"1", "127.0.0.1/notes.pdf"},
      {"2", "pdf/notes.pdf"},      {"3", "127.0.0.1/pdf/notes.pdf"},
      {"4", today + "/notes.pdf"}, {"5", "127.0.0.1/docs/notes.pdf"}};
  for (const auto &[setting, where] : cases) {
    defaults.setObject(setting, kDefaultDownloadFolderKey);
    conn->downloadFile("notes.pdf", 0, false, true, "/docs", false, false, 0);
    ASSERT_TRUE(waitFor([&] { return FileManager::fileExists(files + where); }))
        << setting << " " << where;
    EXPECT_EQ(testsupport::readFile(files + where), "%PDF-1.4");
    ASSERT_TRUE(waitIdle());
  }
}

TEST_F(DownloadPeersTest, SavedFileExistsAnswers) {
  Server s = startPyftpdlib();
  testsupport::writeFile(s.root + "/notes.txt", "new text");
  FileManager::createDirectory(Paths::documents() + "/Files", true);
  testsupport::writeFile(savedFile("notes.txt"), "old text");
  connectAndList(address(s));
  auto question = [&] {
    EXPECT_TRUE(waitFor([&] { return !probe->pendingAlerts().empty(); }));
    auto alerts = probe->pendingAlerts();
    return alerts.empty() ? ui::Probe::AlertInfo{} : alerts.back();
  };

  // A save-only download asks first and sends nothing meanwhile; "Cancel" drops the item.
  conn->downloadFile("notes.txt", 0, false, true, "/", false, false, 0);
  auto alert = question();
  EXPECT_EQ(alert.title, "Saved File Exists");
  EXPECT_EQ(alert.message, "A file named \"notes.txt\" already exists in the Saved Files tab.");
  EXPECT_EQ(alert.buttons,
            (std::vector<std::string>{"Cancel", "Replace", "Replace & Don't Ask Again"}));
  EXPECT_TRUE(FTPConnection::overwritePromptShowing());
  conn->downloadFile("other.txt", 0, false, true, "/", false, false, 0); // does nothing
  waitFor([] { return false; }, 0.2);
  EXPECT_FALSE(logHas(">>> RETR"));
  ASSERT_TRUE(probe->answerAlert("Cancel"));
  ASSERT_TRUE(waitFor([&] { return !services->queue->reports().empty(); }));
  EXPECT_EQ(services->queue->reports(), std::vector<std::string>{"done:1"});
  EXPECT_FALSE(FTPConnection::overwritePromptShowing());
  EXPECT_FALSE(logHas(">>> RETR"));

  // A download to open: "Keep File" opens it and leaves the saved copy alone.
  conn->downloadFile("notes.txt", 0, false, false, "/", false, false, 0);
  alert = question();
  EXPECT_EQ(alert.buttons, (std::vector<std::string>{"Cancel", "Keep File", "Replace",
                                                     "Replace & Don't Ask Again"}));
  ASSERT_TRUE(probe->answerAlert("Keep File"));
  ASSERT_TRUE(waitFor([&] { return services->handOns() == 1 && idle(); }));
  EXPECT_EQ(testsupport::readFile(savedFile("notes.txt")), "old text");

  // "Replace & Don't Ask Again" replaces it and is remembered.
  conn->downloadFile("notes.txt", 0, false, true, "/", false, false, 0);
  question();
  ASSERT_TRUE(probe->answerAlert("Replace & Don't Ask Again"));
  ASSERT_TRUE(waitFor([&] { return testsupport::readFile(savedFile("notes.txt")) == "new text"; }));
  EXPECT_EQ(UserDefaults::standard().integerForKey(kOverwriteSavedFilesKey), 1);
  testsupport::writeFile(savedFile("notes.txt"), "old again");
  waitIdle();
  download("notes.txt");
  EXPECT_TRUE(probe->pendingAlerts().empty());
  EXPECT_EQ(testsupport::readFile(savedFile("notes.txt")), "new text");
}

} // namespace
