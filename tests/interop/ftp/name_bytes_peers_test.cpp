// Names on the servers people run, whose "FEAT" names no UTF-8: vsftpd as Debian installs it (it
// offers UTF8 only with utf8_filesystem=YES, which Debian leaves off) and pyftpdlib with "UTF8"
// left out, keeping names' bytes as vsftpd does. A folder holds "café.txt" twice: once stored as
// UTF-8 (as every file made on a Linux machine of today is) and once as ISO Latin-1; both read
// "café.txt". Every action on a listed name reaches that name's own file, in folders the server
// named too, and a folder download walks both look-alike folders, each by its own bytes.
#include "tests/interop/ftp/TaskPeers.h"
#include "tests/interop/ftp/VsftpdPeer.h"
#include "tests/support/Peers.h"

#include "platform/foundation/FileManager.h"

#include <sys/stat.h>

#include <set>

using namespace taskpeers;

namespace {

const std::string kUtf8 = "caf\xC3\xA9.txt", kLatin1 = "caf\xE9.txt";
const std::string kUtf8Folder = "d\xC3\xA9", kLatin1Folder = "d\xE9";

class NameBytesPeersTest : public TaskPeerTest, public ::testing::WithParamInterface<std::string> {
protected:
  void SetUp() override {
    TaskPeerTest::SetUp();
    UserDefaults::standard().setObject("1", kOverwriteSavedFilesKey);
    if (GetParam() == "vsftpd") {
      REQUIRE_PEER(testsupport::program("/usr/sbin/vsftpd", "vsftpd"));
      REQUIRE_MACHINE(::geteuid() == 0, "vsftpd and its local user need root");
      ASSERT_NO_FATAL_FAILURE(startVsftpdAsInstalled(server));
    } else {
      REQUIRE_PEER(testsupport::pythonModule("pyftpdlib", "python3-pyftpdlib"));
      server = startPyftpdlibWithoutUtf8(true);
      server.user.clear();
    }
  }

  // The files the test made belong to the login user, as if the user had put them there.
  void own() {
    if (GetParam() == "vsftpd")
      testsupport::runCommand("chown -R " + std::string(vsftpdpeer::kUser) + " '" + server.root +
                              "'");
  }
  void connect() {
    own();
    ASSERT_NO_FATAL_FAILURE(connectAndList(address(server), server.user, server.pass));
    ASSERT_FALSE(conn->utf8Safe()) << "the server must not offer UTF-8 here";
  }
  // The listed entries whose names read `text`.
  std::vector<std::shared_ptr<DirItemInfo>> listed(const std::string &text) {
    std::vector<std::shared_ptr<DirItemInfo>> out;
    for (auto &e : services->top->shown())
      if (e->name() == text) out.push_back(e);
    return out;
  }
  // The entry of `text` named in `bytes`.
  std::shared_ptr<DirItemInfo> entry(const std::string &text, const std::string &bytes) {
    for (auto &e : listed(text))
      if (e->nameBytes() == bytes) return e;
    return nullptr;
  }
  void settleJob() {
    settle();
    ASSERT_TRUE(throughConnectionThread(true));
  }
  // Lists `folder` on a fresh folder screen and waits for the listing.
  void list(const RemoteName &folder) {
    const int before = services->top->listingCount();
    services->top->setCurrentWorkingDirectory("");
    conn->changeDirectory(folder);
    ASSERT_TRUE(waitFor([&] { return services->top->listingCount() > before && idle(); }))
        << conn->transferLog();
  }
  std::string file(const std::string &name) { return server.root + "/" + name; }
  unsigned modeOf(const std::string &name) {
    struct stat st {};
    return ::stat(file(name).c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
  }
  void expectNoErrors() {
    for (const auto &said : delegate->taken())
      ADD_FAILURE() << said;
  }

  Server server;
};

INSTANTIATE_TEST_SUITE_P(Servers, NameBytesPeersTest, ::testing::Values("vsftpd", "pyftpdlib"),
                         [](const auto &info) { return info.param; });

TEST_P(NameBytesPeersTest, EveryActionOnAListedNameReachesItsOwnFile) {
  testsupport::writeFile(file(kUtf8), "the UTF-8 file");
  testsupport::writeFile(file(kLatin1), "the Latin-1 file");
  ::chmod(file(kUtf8).c_str(), 0644);
  ::chmod(file(kLatin1).c_str(), 0644);
  ASSERT_NO_FATAL_FAILURE(connect());
  ASSERT_EQ(listed(kUtf8).size(), 2u) << conn->transferLog();
  auto utf8 = entry(kUtf8, kUtf8), latin1 = entry(kUtf8, kLatin1);
  ASSERT_TRUE(utf8 && latin1) << conn->transferLog();
  const RemoteName folder = conn->cwdName();

  // Each download fetches the bytes of the file it names.
  for (auto [e, content] : {std::pair{utf8, "the UTF-8 file"}, {latin1, "the Latin-1 file"}}) {
    conn->downloadFile(e->remoteName(), platform::longLongValue(e->size), false, true, folder,
                       false, false, 0);
    ASSERT_NO_FATAL_FAILURE(settleJob());
    EXPECT_EQ(testsupport::readFile(savedFile(kUtf8)), content);
  }

  // New permissions for the Latin-1 one leave the other as it was.
  conn->chmodFile(latin1->remoteName(), folder, "600");
  ASSERT_NO_FATAL_FAILURE(settleJob());
  EXPECT_EQ(modeOf(kLatin1), 0600u);
  EXPECT_EQ(modeOf(kUtf8), 0644u);

  // Its edit goes back to it, through its temporary names, and to it alone.
  conn->uploadFile(latin1->remoteName(), Bytes{'e', 'd', 'i', 't', 'e', 'd'}, folder, false);
  ASSERT_NO_FATAL_FAILURE(settleJob());
  EXPECT_EQ(testsupport::readFile(file(kLatin1)), "edited");
  EXPECT_EQ(testsupport::readFile(file(kUtf8)), "the UTF-8 file");
  // The copy put aside is the Latin-1 file's as it was (kept, as the settings say by default).
  EXPECT_EQ(testsupport::readFile(file("caf\xE9.old.txt")), "the Latin-1 file");
  for (const char *left : {"caf\xE9.upload.txt", "caf\xC3\xA9.upload.txt", "caf\xC3\xA9.old.txt"})
    EXPECT_FALSE(FileManager::fileExists(file(left))) << left;

  // Renamed: the UTF-8 one. Deleted: the Latin-1 one.
  conn->renameFile(utf8->remoteName(), "renamed.txt", folder);
  ASSERT_NO_FATAL_FAILURE(settleJob());
  EXPECT_EQ(testsupport::readFile(file("renamed.txt")), "the UTF-8 file");
  EXPECT_TRUE(FileManager::fileExists(file(kLatin1)));
  conn->deleteFile(latin1->remoteName(), folder, false);
  ASSERT_NO_FATAL_FAILURE(settleJob());
  EXPECT_FALSE(FileManager::fileExists(file(kLatin1)));
  EXPECT_TRUE(FileManager::fileExists(file("renamed.txt")));
  expectNoErrors();
}

// Folders whose names read alike: each is entered by its own bytes, the server names it so in its
// "PWD", and what is done inside reaches its own files (a list delete included).
TEST_P(NameBytesPeersTest, FoldersTheServerNamedAreEnteredAndActedInByTheirOwnBytes) {
  for (auto [name, content] :
       {std::pair{kUtf8Folder, "in the UTF-8 folder"}, {kLatin1Folder, "in the Latin-1 folder"}}) {
    ::mkdir(file(name).c_str(), 0755);
    testsupport::writeFile(file(name + "/in.txt"), content);
    testsupport::writeFile(file(name + "/" + kLatin1), content);
  }
  ASSERT_NO_FATAL_FAILURE(connect());
  const RemoteName top = conn->cwdName();
  for (auto [bytes, content] :
       {std::pair{kUtf8Folder, "in the UTF-8 folder"}, {kLatin1Folder, "in the Latin-1 folder"}}) {
    SCOPED_TRACE(content);
    ASSERT_NO_FATAL_FAILURE(list(top));
    auto folder = entry(kUtf8Folder, bytes);
    ASSERT_TRUE(folder) << conn->transferLog();
    ASSERT_NO_FATAL_FAILURE(list(top.child(folder->remoteName())));
    const RemoteName inside = conn->cwdName();
    EXPECT_TRUE(inside.bytes() && inside.bytes()->ends_with("/" + bytes)) << inside.text();
    auto in = listed("in.txt");
    ASSERT_EQ(in.size(), 1u);
    conn->downloadFile(in.front()->remoteName(), 0, false, true, inside, false, false, 0);
    ASSERT_NO_FATAL_FAILURE(settleJob());
    EXPECT_EQ(testsupport::readFile(savedFile("in.txt")), content);
    // "Delete All Files" of this folder: its own two files go, the other folder's stay.
    std::vector<RemoteName> names;
    for (auto &e : services->top->shown())
      names.push_back(e->remoteName());
    conn->deleteFileBatch(names, inside, false);
    ASSERT_NO_FATAL_FAILURE(settleJob());
    EXPECT_FALSE(FileManager::fileExists(file(bytes + "/in.txt")));
    EXPECT_FALSE(FileManager::fileExists(file(bytes + "/" + kLatin1)));
    const std::string &other = bytes == kUtf8Folder ? kLatin1Folder : kUtf8Folder;
    EXPECT_EQ(FileManager::fileExists(file(other + "/in.txt")), bytes == kUtf8Folder);
  }
  expectNoErrors();
}

// The queue's folder download of a tree holding both look-alike folders walks each of them (the
// second is no folder "listed before"), and each file's row names its folder in that folder's own
// bytes: running the rows fetches each its own file.
TEST_P(NameBytesPeersTest, AFolderDownloadWalksLookAlikeFoldersByTheirOwnBytes) {
  ::mkdir(file("t").c_str(), 0755);
  for (auto [name, content] :
       {std::pair{kUtf8Folder, "in the UTF-8 folder"}, {kLatin1Folder, "in the Latin-1 folder"}}) {
    ::mkdir(file("t/" + name).c_str(), 0755);
    testsupport::writeFile(file("t/" + name + "/f.txt"), content);
  }
  own();
  startConnection(address(server), false, server.user, server.pass);
  conn->connect();
  ASSERT_TRUE(waitFor([&] { return conn->fIsLoggedIn() && idle(); })) << conn->transferLog();
  const RemoteName top = conn->cwdName();
  conn->setBatchPK(7);
  conn->batchDirectoryDownload("t");
  conn->changeDirectory(top.child("t"));
  ASSERT_TRUE(waitFor([&] { return !services->queue->reports().empty() && idle(); }))
      << conn->transferLog();
  EXPECT_EQ(services->queue->reports(), std::vector<std::string>{"done:7"});
  auto rows = services->queue->addedRows();
  ASSERT_EQ(rows.size(), 2u) << conn->transferLog();
  std::set<std::string> folders;
  for (auto &row : rows) {
    ASSERT_TRUE(row.remotePath.bytes()) << row.path;
    folders.insert(*row.remotePath.bytes());
    const std::string content = row.remotePath.bytes()->ends_with(kLatin1Folder)
                                    ? "in the Latin-1 folder"
                                    : "in the UTF-8 folder";
    conn->setBatchPK(-1);
    conn->downloadFile(row.remoteFilename, 0, false, true, row.remotePath, false, false, 0);
    ASSERT_NO_FATAL_FAILURE(settleJob());
    EXPECT_EQ(testsupport::readFile(savedFile("f.txt")), content) << row.path;
  }
  EXPECT_EQ(folders, (std::set<std::string>{top.child("t").wire(false) + "/" + kUtf8Folder,
                                            top.child("t").wire(false) + "/" + kLatin1Folder}));
  expectNoErrors();
}

} // namespace
