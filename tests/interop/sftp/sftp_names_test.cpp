// Names on OpenSSH's sshd as Debian installs it, which keeps a name's bytes as they are: a folder
// holds "café.txt" stored as UTF-8 and "caf\xe9.txt" stored as ISO Latin-1, side by side and each
// alone, with the setting "Folder Text Encoding" at Auto-Detect and at Latin 1. Every entry is
// listed; every action on a listed entry (download, permissions, edit and its save back, rename,
// delete, queue rows across a restart, folder downloads) reaches that entry's own file and no
// other, checked by the files' contents and modes before and after.
#include "tests/app/queue/QueueTestSupport.h"

#include "app/foundation/DirItemInfo.h"
#include "app/foundation/SettingsKeys.h"
#include "app/sftp/SFTPService.h"
#include "tests/support/SftpPeers.h"

#include <sys/stat.h>

#include <thread>

using namespace queuetest;

namespace {

const std::string kUtf8 = "caf\xC3\xA9.txt", kLatin1 = "caf\xE9.txt";
const std::string kUtf8Text = "caf\xC3\xA9.txt";

// Every report of the service as "kind:text"; the last listing kept whole.
struct Heard : SFTPWrapperDelegate {
  std::vector<std::string> events;
  std::vector<std::shared_ptr<DirItemInfo>> listed;
  void gotDirectory(SFTPWrapper &, const std::vector<std::shared_ptr<DirItemInfo>> &v) override {
    listed = v;
  }
  void downloadError(SFTPWrapper &, const std::string &t) override {
    events.push_back("downloadError:" + t);
  }
  void uploadedFile(SFTPWrapper &, const std::string &) override { events.push_back("uploaded"); }
  void uploadError(SFTPWrapper &, const std::string &t) override {
    events.push_back("uploadError:" + t);
  }
  void dirError(SFTPWrapper &, const std::string &t) override { events.push_back("dirError:" + t); }
  void errorStatus(SFTPWrapper &, const std::string &t) override { events.push_back("error:" + t); }
  void sftpConnectionShouldRefreshDirectory(SFTPWrapper &) override { events.push_back("refresh"); }
  std::string taken() {
    std::string out;
    for (auto &e : events)
      out += e + ";";
    events.clear();
    return out;
  }
};

// The application's services, with the files handed to the editor.
struct EditingServices : AppServicesDouble {
  std::vector<std::string> edited;
  std::shared_ptr<EditFileViewScreen> openTextEditor(const std::string &path) override {
    edited.push_back(path);
    return nullptr;
  }
};

// The setting "Folder Text Encoding" of SFTP servers, and what each file's row reads under it.
struct Encoding {
  const char *name, *setting;
  std::string utf8Row, latin1Row;
};
const Encoding kEncodings[] = {
    {"AutoDetect", "0", kUtf8Text, kUtf8Text},
    {"Latin1", "5", "caf\xC3\x83\xC2\xA9.txt", kUtf8Text},
};

void PrintTo(const Encoding &e, std::ostream *out) {
  *out << e.name;
}

class SftpNames : public QueueTest, public ::testing::WithParamInterface<Encoding> {
protected:
  void SetUp() override {
    QueueTest::SetUp();
    services_ = editing_;
    BatchAppServices::setShared(editing_);
    FTPAppServices::setShared(editing_);
    ASSERT_TRUE(testsupport::ensureSftpUser());
    SFTPService::install();
    ::chmod(remote_.path().c_str(), 0777);
    auto &defaults = UserDefaults::standard();
    defaults.setObject(GetParam().setting, "SFTPEncoding");
    defaults.setObject("1", "UploadToTempName");
    defaults.setObject("1", kOverwriteSavedFilesKey);
    peer_ = testsupport::SshPeer::sshd({});
    ASSERT_TRUE(peer_->started()) << peer_->why();
  }
  void TearDown() override {
    service_.reset();
    QueueTest::TearDown();
  }
  // Each look-alike with content of its own, as the test asks.
  void put(bool utf8, bool latin1, const std::string &in = "") {
    const std::string folder = in.empty() ? remote_.path() : remote_.file(in);
    if (utf8) testsupport::writeFile(folder + "/" + kUtf8, "the UTF-8 file");
    if (latin1) testsupport::writeFile(folder + "/" + kLatin1, "the Latin-1 file");
    for (const auto &name : {kUtf8, kLatin1})
      ::chmod((folder + "/" + name).c_str(), 0644);
    // The login's own files, as if it had put them there: it may change their modes.
    testsupport::runCommand("chown -R " + std::string(testsupport::kSftpUser) + " '" + folder +
                            "'");
  }
  std::string content(const std::string &bytes) {
    return testsupport::readFile(remote_.file(bytes));
  }
  unsigned modeOf(const std::string &bytes) {
    struct stat st {};
    return ::stat(remote_.file(bytes).c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
  }
  // The browsing service, as the folder screens hold it.
  SFTPService &service() {
    if (!service_) {
      service_ = std::make_shared<SFTPService>();
      service_->setServer("127.0.0.1:" + std::to_string(peer_->port()));
      service_->setUsername(testsupport::kSftpUser);
      service_->setPassword(testsupport::kSftpPass);
      service_->setMainConnection(true);
      service_->setDelegate(heard_);
    }
    return *service_;
  }
  // One operation on a thread of its own, its reports delivered.
  void run(const std::function<void(SFTPService &)> &op) {
    auto &s = service();
    std::atomic<bool> finished{false};
    std::thread t([&] {
      op(s);
      finished = true;
    });
    waitFor([&] { return finished.load(); }, 60);
    t.join();
    settle();
  }
  // The folder listed as the folder screen lists it: its entries by the bytes they came in.
  std::map<std::string, std::shared_ptr<DirItemInfo>> list() {
    run([&](SFTPService &s) { s.getThisDirectory(remote_.path()); });
    std::map<std::string, std::shared_ptr<DirItemInfo>> byBytes;
    for (auto &e : heard_->listed)
      byBytes[e->nameBytes().value_or("")] = e;
    return byBytes;
  }
  // The entry's path as the folder screen sends it.
  std::string pathOf(const DirItemInfo &e) {
    return SFTPWrapper::wireOf(SFTPWrapper::pathIn(folder(), e.remoteName()));
  }
  // A name typed in this folder, as the folder screen sends it.
  std::string typedPath(const std::string &name) {
    return SFTPWrapper::wireOf(SFTPWrapper::pathIn(folder(), RemoteName(name)));
  }
  RemoteName folder() { return SFTPWrapper::namedByServer(remote_.path()); }
  std::string saved(const std::string &in, const std::string &name) {
    return testsupport::readFile(Paths::documents() + "/Files/" + in + "/" + name);
  }
  bool queueEmpty(double limit = 60) {
    return waitFor([&] { return advance(0.5), queue_->batchItemList().empty(); }, limit);
  }

  testsupport::TempDir remote_{"ferrowen-sftp-names"};
  std::unique_ptr<testsupport::SshPeer> peer_;
  std::shared_ptr<SFTPService> service_;
  std::shared_ptr<Heard> heard_ = std::make_shared<Heard>();
  std::shared_ptr<EditingServices> editing_ = std::make_shared<EditingServices>();
};

INSTANTIATE_TEST_SUITE_P(Encodings, SftpNames, ::testing::ValuesIn(kEncodings),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_P(SftpNames, EveryActionOnAListedEntryReachesItsOwnFile) {
  put(true, true);
  auto entries = list();
  ASSERT_EQ(entries.size(), 2u) << heard_->taken();
  auto utf8 = entries[kUtf8], latin1 = entries[kLatin1];
  ASSERT_TRUE(utf8 && latin1);
  EXPECT_EQ(utf8->name(), GetParam().utf8Row);
  EXPECT_EQ(latin1->name(), GetParam().latin1Row);

  // Queued downloads, as the folder screen queues them: each fetches its own file.
  makeQueue();
  for (auto [e, in] : {std::pair{utf8, "got-utf8"}, {latin1, "got-latin1"}})
    queue_->addBatchItemAction(2, e->remoteName(), folder(), 0, nullptr, service_, in, false, true);
  ASSERT_TRUE(queueEmpty()) << queue_->batchItemList().front()->errorMsg();
  EXPECT_EQ(saved("got-utf8", utf8->name()), "the UTF-8 file");
  EXPECT_EQ(saved("got-latin1", latin1->name()), "the Latin-1 file");

  // Permissions of the Latin-1 one leave the other as it was.
  run([&](SFTPService &s) { s.changePermissions(pathOf(*latin1), 0600); });
  EXPECT_EQ(modeOf(kLatin1), 0600u);
  EXPECT_EQ(modeOf(kUtf8), 0644u);

  // Edit opens the entry's own file; its save goes back to it alone (through a temporary name
  // renamed over it) and keeps its mode.
  editing_->edited.clear();
  run([&](SFTPService &s) {
    s.setupToDownloadThisFile(pathOf(*latin1), "", true);
    s.downloadFile();
  });
  ASSERT_EQ(editing_->edited.size(), 1u) << heard_->taken();
  EXPECT_EQ(testsupport::readFile(editing_->edited[0]), "the Latin-1 file");
  ASSERT_TRUE(testsupport::writeFile(editing_->edited[0], "edited"));
  run([&](SFTPService &s) {
    s.setupToUploadThisFile(editing_->edited[0], s.openedRemote());
    s.uploadFile();
  });
  EXPECT_EQ(content(kLatin1), "edited") << heard_->taken();
  EXPECT_EQ(modeOf(kLatin1), 0600u);
  EXPECT_EQ(content(kUtf8), "the UTF-8 file");
  EXPECT_EQ(modeOf(kUtf8), 0644u);

  // Renamed: the UTF-8 one. Deleted: the Latin-1 one.
  run([&](SFTPService &s) { s.renameFile(pathOf(*utf8), typedPath("renamed.txt")); });
  EXPECT_EQ(content("renamed.txt"), "the UTF-8 file");
  EXPECT_EQ(content(kLatin1), "edited");
  run([&](SFTPService &s) { s.deleteFile(pathOf(*latin1)); });
  EXPECT_FALSE(FileManager::fileExists(remote_.file(kLatin1)));
  EXPECT_EQ(content("renamed.txt"), "the UTF-8 file");
}

// Alone in its folder, each is listed and its folder download fetches it.
TEST_P(SftpNames, EachAloneIsListedAndFetchedByItsFolder) {
  for (const bool utf8 : {true, false}) {
    SCOPED_TRACE(utf8 ? "UTF-8" : "Latin-1");
    const std::string tree = utf8 ? "tree-utf8" : "tree-latin1";
    ::mkdir(remote_.file(tree).c_str(), 0777);
    put(utf8, !utf8, tree);
    run([&](SFTPService &s) { s.getThisDirectory(remote_.file(tree)); });
    ASSERT_EQ(heard_->listed.size(), 1u) << heard_->taken();
    const std::string row = utf8 ? GetParam().utf8Row : GetParam().latin1Row;
    EXPECT_EQ(heard_->listed[0]->name(), row);
    EXPECT_EQ(heard_->listed[0]->nameBytes(), utf8 ? kUtf8 : kLatin1);

    if (!queue_) makeQueue();
    queue_->addBatchItemAction(33, SFTPWrapper::namedByServer(tree), folder(), 0, "127.0.0.1",
                               peer_->port(), testsupport::kSftpUser, testsupport::kSftpPass,
                               "sftp", "", false, true);
    ASSERT_TRUE(queueEmpty()) << queue_->batchItemList().front()->errorMsg();
    EXPECT_EQ(saved(tree, row), utf8 ? "the UTF-8 file" : "the Latin-1 file");
  }
}

// Side by side, a folder download fetches both; where both would be one local file, it fetches
// one and its row names the other, and never goes as done.
TEST_P(SftpNames, AFolderDownloadFetchesBothOrNamesTheOneLeftOut) {
  ::mkdir(remote_.file("tree").c_str(), 0777);
  put(true, true, "tree");
  makeQueue();
  queue_->addBatchItemAction(33, "tree", folder(), 0, "127.0.0.1", peer_->port(),
                             testsupport::kSftpUser, testsupport::kSftpPass, "sftp", "", false,
                             true);
  const bool alike = GetParam().utf8Row == GetParam().latin1Row;
  if (!alike) {
    ASSERT_TRUE(queueEmpty()) << queue_->batchItemList().front()->errorMsg();
    EXPECT_EQ(saved("tree", GetParam().utf8Row), "the UTF-8 file");
    EXPECT_EQ(saved("tree", GetParam().latin1Row), "the Latin-1 file");
    return;
  }
  ASSERT_TRUE(waitFor(
      [&] {
        advance(0.5);
        auto &rows = queue_->batchItemList();
        return rows.size() == 1 && !rows[0]->errorMsg().empty();
      },
      60));
  const std::string said = queue_->batchItemList()[0]->errorMsg();
  EXPECT_NE(said.find("\"tree/" + kUtf8Text + "\" could not be downloaded"), std::string::npos)
      << said;
  const std::string got = saved("tree", kUtf8Text);
  EXPECT_TRUE(got == "the UTF-8 file" || got == "the Latin-1 file") << got;
}

// A name holding a control byte (OpenSSH keeps every byte but "/" and NUL) is a row like any
// other, with U+FFFD where the byte stands, as the screens show a byte they cannot read: every
// action on the row reaches its own file (a line feed and a tab read alike and are two files),
// and a folder download fetches it with the rest and goes as done.
TEST_P(SftpNames, ANameWithAControlByteIsARowReachingItsOwnFile) {
  const std::string kFeed = "new\nline.txt", kTab = "new\tline.txt",
                    kShown = "new\xEF\xBF\xBDline.txt";
  const std::map<std::string, std::string> files = {
      {kFeed, "with a line feed"}, {kTab, "with a tab"}, {"newline.txt", "without"}};
  ::mkdir(remote_.file("tree").c_str(), 0777);
  for (const auto &[name, text] : files) {
    testsupport::writeFile(remote_.file(name), text);
    testsupport::writeFile(remote_.file("tree/" + name), text);
    ::chmod(remote_.file(name).c_str(), 0644);
  }
  for (const char *more : {"a.txt", "b.txt", "c.txt", "d.txt"})
    testsupport::writeFile(remote_.file(std::string("tree/") + more), more);
  testsupport::runCommand("chown -R " + std::string(testsupport::kSftpUser) + " '" +
                          remote_.path() + "'");

  auto entries = list();
  ASSERT_EQ(entries.size(), 4u) << heard_->taken(); // the three and "tree"
  ASSERT_TRUE(entries[kFeed] && entries[kTab]);
  EXPECT_EQ(entries[kFeed]->name(), kShown);
  EXPECT_EQ(entries[kTab]->name(), kShown);
  EXPECT_NE(entries[kFeed]->remoteName().key(), entries[kTab]->remoteName().key());

  makeQueue();
  queue_->addBatchItemAction(2, entries[kFeed]->remoteName(), folder(), 0, nullptr, service_, "got",
                             false, true);
  ASSERT_TRUE(queueEmpty()) << queue_->batchItemList().front()->errorMsg();
  EXPECT_EQ(saved("got", kShown), "with a line feed");

  run([&](SFTPService &s) { s.changePermissions(pathOf(*entries[kFeed]), 0600); });
  EXPECT_EQ(modeOf(kFeed), 0600u);
  EXPECT_EQ(modeOf(kTab), 0644u);
  run([&](SFTPService &s) { s.renameFile(pathOf(*entries[kTab]), typedPath("renamed.txt")); });
  EXPECT_EQ(content("renamed.txt"), "with a tab");
  EXPECT_EQ(content(kFeed), "with a line feed");
  run([&](SFTPService &s) { s.deleteFile(pathOf(*entries[kFeed])); });
  EXPECT_FALSE(FileManager::fileExists(remote_.file(kFeed)));
  EXPECT_EQ(content("newline.txt"), "without");
  EXPECT_EQ(content("renamed.txt"), "with a tab");
  EXPECT_EQ(heard_->taken(), "refresh;refresh;refresh;");

  // The folder download: the two that read alike cannot both be one local file, and the row says
  // which was left out; without the tab's file, all of the folder comes and the row goes.
  queue_->addBatchItemAction(33, "tree", folder(), 0, "127.0.0.1", peer_->port(),
                             testsupport::kSftpUser, testsupport::kSftpPass, "sftp", "", false,
                             true);
  ASSERT_TRUE(waitFor(
      [&] {
        advance(0.5);
        auto &rows = queue_->batchItemList();
        return rows.size() == 1 && !rows[0]->errorMsg().empty();
      },
      60));
  EXPECT_NE(queue_->batchItemList()[0]->errorMsg().find("\"tree/" + kShown + "\" could not be"),
            std::string::npos)
      << queue_->batchItemList()[0]->errorMsg();
  ASSERT_TRUE(probe_->deleteRow({0, 0})) << probe_->lastError();
  ASSERT_EQ(::unlink(remote_.file("tree/" + kTab).c_str()), 0);
  FileManager::removeItem(Paths::documents() + "/Files/tree");
  queue_->addBatchItemAction(33, "tree", folder(), 0, "127.0.0.1", peer_->port(),
                             testsupport::kSftpUser, testsupport::kSftpPass, "sftp", "", false,
                             true);
  ASSERT_TRUE(queueEmpty()) << queue_->batchItemList().front()->errorMsg();
  EXPECT_EQ(saved("tree", kShown), "with a line feed");
  EXPECT_EQ(saved("tree", "newline.txt"), "without");
  for (const char *more : {"a.txt", "b.txt", "c.txt", "d.txt"})
    EXPECT_EQ(saved("tree", more), more);
}

// Rows queued from the listing keep the entries' bytes in the table: the queue of the next start
// fetches each row's own file.
TEST_P(SftpNames, RowsFetchTheirOwnFilesAfterARestart) {
  put(true, true);
  auto entries = list();
  ASSERT_EQ(entries.size(), 2u);
  makeQueue(false);
  queue_->clickedPause();
  for (auto [bytes, in] : {std::pair{kUtf8, "utf8"}, {kLatin1, "latin1"}})
    queue_->addBatchItemAction(2, entries[bytes]->remoteName(), folder(), 0, "127.0.0.1",
                               peer_->port(), testsupport::kSftpUser, testsupport::kSftpPass,
                               "sftp", in, false, false);
  ASSERT_EQ(queue_->batchItemList().size(), 2u);

  makeQueue(); // the next start
  ASSERT_TRUE(queueEmpty()) << queue_->batchItemList().front()->errorMsg();
  EXPECT_EQ(saved("utf8", entries[kUtf8]->name()), "the UTF-8 file");
  EXPECT_EQ(saved("latin1", entries[kLatin1]->name()), "the Latin-1 file");
  EXPECT_EQ(content(kUtf8), "the UTF-8 file");
  EXPECT_EQ(content(kLatin1), "the Latin-1 file");
}

// A row whose file is not there says so; an upload that fails asks for the folder again, as one
// that arrives does.
TEST_P(SftpNames, FailuresAreToldOnTheirRowsAndTheFolderIsListedAgain) {
  makeQueue();
  queue_->addBatchItemAction(2, SFTPWrapper::namedByServer(kLatin1), folder(), 0, "127.0.0.1",
                             peer_->port(), testsupport::kSftpUser, testsupport::kSftpPass, "sftp",
                             "", false, true);
  ASSERT_TRUE(waitFor(
      [&] {
        advance(0.5);
        auto &rows = queue_->batchItemList();
        return rows.size() == 1 && !rows[0]->errorMsg().empty();
      },
      60));
  EXPECT_EQ(queue_->batchItemList()[0]->errorMsg(), "Error Downloading File! No such file.");

  for (const bool arrives : {true, false}) {
    const std::string local = tmp_->file(arrives ? "up.txt" : "missing.txt");
    if (arrives) testsupport::writeFile(local, "up");
    run([&](SFTPService &s) {
      s.setupToUploadThisFile(local, remote_.path() + "/up.txt");
      s.uploadFile();
    });
    EXPECT_EQ(heard_->taken(),
              arrives ? "uploaded;refresh;" : "uploadError:Error Uploading File!;refresh;");
  }
}

} // namespace
