// The application's SFTP service against OpenSSH's sshd: every operation with the reports it
// delivers on the main thread, uploads under a temporary name, a folder batch, key login from
// the key folder in each file form, a server whose host key changed, and downloads that replace
// no folder of the person's and keep their bytes apart from a same-named download's.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "app/foundation/DirItemInfo.h"
#include "app/foundation/WorkingCopy.h"
#include "app/ftp/FTPServices.h"
#include "app/sftp/SFTPService.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/Presentation.h"
#include "platform/ui/Window.h"
#include "sshlib/ssh/CkSFtp.h"
#include "tests/support/FakeSftpServer.h"
#include "tests/support/FarTimes.h"
#include "tests/support/SftpPeers.h"
#include "tests/support/TimeScale.h"

using namespace testsupport;
using platform::RunLoop;
using platform::UserDefaults;

namespace {

// Every report as "kind:text", and whether each came on the main thread.
struct Recorder : SFTPWrapperDelegate {
  std::vector<std::string> events;
  bool allOnMain = true;
  void add(const std::string &e) {
    allOnMain = allOnMain && RunLoop::isMainThread();
    events.push_back(e);
  }
  void connectError(SFTPWrapper &, const std::string &t) override { add("connectError:" + t); }
  void loginError(SFTPWrapper &, const std::string &t) override { add("loginError:" + t); }
  void connectStatus(SFTPWrapper &, const std::string &t) override { add("status:" + t); }
  std::vector<std::shared_ptr<DirItemInfo>> listed; // the last listing's entries
  void gotDirectory(SFTPWrapper &, const std::vector<std::shared_ptr<DirItemInfo>> &v) override {
    listed = v;
    std::set<std::string> sorted;
    for (auto &i : v)
      sorted.insert(i->name() + (i->isDirectory ? "/" : ""));
    std::string names;
    for (auto &n : sorted)
      names += n + ",";
    add("list:" + names);
  }
  void downloadedFile(SFTPWrapper &, const std::string &t) override { add("downloaded:" + t); }
  void downloadError(SFTPWrapper &, const std::string &t) override { add("downloadError:" + t); }
  void uploadedFile(SFTPWrapper &, const std::string &t) override { add("uploaded:" + t); }
  void uploadError(SFTPWrapper &, const std::string &t) override { add("uploadError:" + t); }
  void dirError(SFTPWrapper &, const std::string &t) override { add("dirError:" + t); }
  void errorStatus(SFTPWrapper &, const std::string &t) override { add("error:" + t); }
  void progressDic(SFTPWrapper &, const SFTPProgressDic &d) override {
    if (d.percent >= 1) add("progress:100");
  }
  void sftpConnectionShouldRefreshDirectory(SFTPWrapper &) override { add("refresh"); }
  void sftpConnectionDone(SFTPWrapper &) override { add("done"); }
  // Events after the status lines, joined.
  std::string outcome() {
    std::string out;
    for (auto &e : events)
      if (e.rfind("status:", 0) != 0) out += e + ";";
    events.clear();
    return out;
  }
};

struct QueueDouble : BatchQueueReceiver, FTPAppServices {
  std::vector<int> done;
  std::vector<std::string> opened; // files handed to the editor or the viewer
  void doneBatchItemObject(const BatchObject &o) override { done.push_back(o.primaryKey); }
  std::shared_ptr<EditFileViewScreen> openTextEditor(const std::string &path) override {
    opened.push_back(path);
    return nullptr;
  }
  void showDocumentViewer(const std::string &, const std::string &path) override {
    opened.push_back(path);
  }
  std::shared_ptr<BatchQueueReceiver> batchView() override {
    return std::shared_ptr<BatchQueueReceiver>(std::shared_ptr<void>(), this);
  }
};

class SftpService : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(ensureSftpUser());
    ::chmod(dir.path().c_str(), 0777);
    RunLoop::makeMainThread();
    platform::Paths::setHome(home.path());
    UserDefaults::resetStandard();
    queue = std::make_shared<QueueDouble>();
    FTPAppServices::setShared(queue);
    window->makeKeyAndVisible();
  }
  // Waits for the newest alert, checks its title and answers it with a button.
  void answerAlert(const std::string &title, int button) {
    ASSERT_TRUE(RunLoop::main()->runUntil([&] { return !window->alerts().empty(); },
                                          testsupport::scaled(platform::seconds(20))));
    auto alert = window->alerts().back();
    EXPECT_EQ(alert->title(), title);
    std::string why;
    EXPECT_TRUE(alert->userAnswer(button, why)) << why;
  }
  void TearDown() override {
    FTPAppServices::setShared(nullptr);
    platform::Paths::setHome("");
  }
  std::shared_ptr<SFTPService> service(int port, const std::string &password = kSftpPass) {
    auto s = std::make_shared<SFTPService>();
    s->setServer("127.0.0.1:" + std::to_string(port) + dir.path());
    s->setUsername(kSftpUser);
    s->setPassword(password);
    s->setDelegate(recorder);
    return s;
  }
  // Runs an operation on a thread of its own, as the screens and the queue do, and delivers
  // what it reported.
  void run(const std::function<void()> &op) {
    std::atomic<bool> finished{false};
    std::thread t([&] {
      op();
      finished = true;
    });
    RunLoop::main()->runUntil([&] { return finished.load(); },
                              testsupport::scaled(platform::seconds(60)));
    t.join();
    RunLoop::main()->runPending();
  }
  std::unique_ptr<SshPeer> start(const std::string &lead = "", const std::string &extra = "") {
    SshPeerOptions o;
    o.leadConfig = lead;
    o.extraConfig = extra;
    auto p = SshPeer::sshd(o);
    EXPECT_TRUE(p->started()) << p->why();
    return p;
  }
  std::string path(const std::string &name) { return dir.file(name); }
  // Where a file of the served folder opened for editing is put (a working copy of its own).
  std::string workingCopyOf(const std::string &name, int port) {
    return workingCopyPath(RemoteOrigin::of("sftp", "127.0.0.1", port, kSftpUser, dir.path(), name),
                           name);
  }

  TempDir dir{"ferrowen-sftpsvc"}, home{"ferrowen-sftpsvc-home"};
  std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
  std::shared_ptr<QueueDouble> queue;
  std::shared_ptr<platform::ui::Window> window = std::make_shared<platform::ui::Window>();
};

TEST_F(SftpService, OperationsReportInOrderOnTheMainThread) {
  auto peer = start();
  auto s = service(peer->port());
  auto &defaults = UserDefaults::standard();
  defaults.setObject("1", "UploadToTempName");
  makeDataFile(path("src.bin"), 300000);
  writeFile(path(".hidden"), "h");
  ::mkdir(path("sub").c_str(), 0777);
  ::chmod(path("sub").c_str(), 0777);
  s->setMainConnection(true);
  int chmodSeen = 0;
  bool swapped = false;
  const std::string down = home.file("down");
  platform::FileManager::createDirectory(down, true);
  const std::string up = path("up.bin");
  struct Step {
    const char *what;
    std::function<void()> op;
    std::string expected;
  } steps[] = {
      {"listing", [&] { s->getDirectory(); }, "list:src.bin,sub/,;"},
      {"hidden shown",
       [&] {
         defaults.setObject("1", "ShowHiddenFiles");
         s->getDirectory();
       },
       "list:.hidden,src.bin,sub/,;"},
      {"download",
       [&] {
         s->setupToDownloadThisFile(path("src.bin"), down, false);
         s->downloadFile();
       },
       "progress:100;downloaded:" + down + "/src.bin;done;"},
      {"upload new", [&] { s->uploadThisFile(path("src.bin"), dir.path() + "/sub"); },
       "progress:100;uploaded:" + path("sub/src.bin") + ";refresh;done;"},
      // Over an existing file the rename needs the swap through the ".old." name.
      {"upload over",
       [&] {
         writeFile(up, "old contents");
         s->setupToUploadThisFile(path("src.bin"), up);
         s->uploadFile();
       },
       "progress:100;uploaded:" + up + ";refresh;done;"},
      {"make folder", [&] { s->createDirectory(path("made")); }, "refresh;"},
      {"make folder again", [&] { s->createDirectory(path("made")); },
       "error:Error Creating Directory!;"},
      {"rename", [&] { s->renameFile(path("up.bin"), path("moved.bin")); }, "refresh;"},
      {"chmod",
       [&] {
         s->changePermissions(path("moved.bin"), 0640);
         struct stat st {};
         ::stat(path("moved.bin").c_str(), &st);
         chmodSeen = st.st_mode & 0777;
         swapped = sha256Of(path("moved.bin")) == sha256Of(path("src.bin"));
       },
       "refresh;"},
      {"delete file", [&] { s->deleteFile(path("moved.bin")); }, "refresh;"},
      {"delete missing", [&] { s->deleteFile(path("moved.bin")); }, "error:Error Deleting File!;"},
      {"delete folder", [&] { s->deleteDirectory(path("made")); }, "refresh;"},
      {"missing folder", [&] { s->getThisDirectory(path("nowhere")); },
       "dirError:Error Opening Directory!;"},
  };
  for (auto &step : steps) {
    run(step.op);
    EXPECT_EQ(recorder->outcome(), step.expected) << step.what;
  }
  EXPECT_TRUE(recorder->allOnMain);
  EXPECT_EQ(chmodSeen, 0640);
  EXPECT_TRUE(swapped);
  EXPECT_EQ(sha256Of(down + "/src.bin"), sha256Of(path("src.bin")));
  EXPECT_EQ(sha256Of(path("sub/src.bin")), sha256Of(path("src.bin")));
  // Nothing of the temporary names is left behind, and the user's root was reported.
  std::string left = runCommand("ls -a '" + dir.path() + "' '" + path("sub") + "'");
  EXPECT_EQ(left.find(".upload."), std::string::npos) << left;
  EXPECT_EQ(left.find(".old."), std::string::npos) << left;
  EXPECT_EQ(s->userRootDir(), "/home/" + std::string(kSftpUser));
  EXPECT_TRUE(s->isConnected());
  s->reinit();
  EXPECT_FALSE(s->isConnected());
  std::string log = readFile(platform::Paths::tmp() + "/Ferrowen-SFTP.log");
  EXPECT_NE(log.find("Uploaded " + up), std::string::npos);
  EXPECT_EQ(log.find(kSftpPass), std::string::npos);
}

// A folder the server will not delete (OpenSSH as installed refuses one that holds a file) stays,
// and the browsing connection says why as the FTP folder screens say a refusal: an alert with the
// server's answer and the hint to empty the folder first. The folder is listed again, so that its
// row, taken away when the delete was asked for, comes back.
TEST_F(SftpService, AFolderTheServerWillNotDeleteIsSaidAndListedAgain) {
  auto peer = start();
  ::mkdir(path("full").c_str(), 0777);
  writeFile(path("full/inside.txt"), "inside");
  auto s = service(peer->port());
  s->setMainConnection(true);
  run([&] { s->deleteDirectory(path("full")); });
  EXPECT_EQ(recorder->outcome(), "error:Error Deleting Directory!;refresh;");
  ASSERT_TRUE(RunLoop::main()->runUntil([&] { return !window->alerts().empty(); },
                                        testsupport::scaled(platform::seconds(20))));
  EXPECT_EQ(window->alerts().back()->message(),
            "Error Deleting Directory! The server answered \"Failure\" (SFTP status 4).\n(You may "
            "need to delete files in this folder before deleting the folder.)");
  answerAlert("Error from FTP Server", 0);
  EXPECT_EQ(readFile(path("full/inside.txt")), "inside");
}

TEST_F(SftpService, FolderBatchFetchesTheTreeAndReportsToTheQueue) {
  auto peer = start();
  for (auto d : {"tree", "tree/a", "tree/a/b", "tree/empty"})
    ::mkdir(path(d).c_str(), 0777);
  for (auto f : {"tree/top.txt", "tree/a/one.txt", "tree/a/b/two.txt"})
    writeFile(path(f), f);
  auto s = service(peer->port());
  s->setBatchPK(7);
  run([&] {
    s->batchDirectoryDownload(path("tree"));
    s->nextBatchDirectory();
  });
  EXPECT_EQ(recorder->outcome(), "progress:100;progress:100;progress:100;done;");
  EXPECT_EQ(queue->done, std::vector<int>{7});
  EXPECT_EQ(s->batchPK(), -1);
  const std::string files = platform::Paths::documents() + "/Files/tree/";
  for (auto f : {"top.txt", "a/one.txt", "a/b/two.txt"})
    EXPECT_EQ(readFile(files + f), std::string("tree/") + f) << f;
  EXPECT_TRUE(platform::FileManager::fileExists(files + "empty"));
}

TEST_F(SftpService, KeyLoginFromEachKeyFileForm) {
  const std::string keys = path("authorized_keys");
  // The ".rsa" key is encrypted with the login password: it opens on the second try.
  struct KeyCase {
    const char *ext, *type, *format, *phrase;
  } cases[] = {{".pem", "rsa", "PEM", ""},
               {".ppk", "rsa", "ppk", ""},
               {".rsa", "rsa", "PKCS8", "key-login-pass"},
               {".dsa", "dsa", "PEM", ""},
               // Handed over with its ending in capitals: the device's names ignore case.
               {".PEM", "ecdsa", "PEM", ""}};
  for (auto &k : cases) {
    std::string f = path(std::string("key") + k.ext);
    runCommand("ssh-keygen -q -N '" + std::string(k.phrase) + "' -t " + k.type + " -m " +
               (std::string(k.format) == "ppk" ? "PEM" : k.format) + " -f '" + f + "' && cat '" +
               f + ".pub' >> '" + keys + "'");
    if (std::string(k.format) == "ppk")
      runCommand("puttygen '" + f + "' -O private --ppk-param version=2 -o '" + f + "'");
  }
  auto peer = start("PasswordAuthentication no\nPubkeyAcceptedAlgorithms +ssh-rsa,ssh-dss\n",
                    "AuthorizedKeysFile " + keys + "\nStrictModes no\n");
  const std::string folder = platform::Paths::documents() + "/Files/PrivateKeys";
  platform::FileManager::createDirectory(folder, true);
  for (auto &k : cases) {
    const std::string placed = folder + "/" + kSftpUser + "@127.0.0.1" + k.ext;
    platform::FileManager::copyItem(path(std::string("key") + k.ext), placed);
    auto s = service(peer->port(), *k.phrase ? k.phrase : "not-the-password");
    run([&] { s->getThisDirectory(dir.path()); });
    EXPECT_EQ(recorder->outcome().rfind("list:", 0), 0u) << k.ext;
    platform::FileManager::removeItem(placed);
  }
  // Without a key file the refused password is a login error.
  auto s = service(peer->port());
  run([&] { s->getDirectory(); });
  EXPECT_EQ(recorder->outcome(), "loginError:Unable to log in to the SFTP server.;");
}

TEST_F(SftpService, ChangedHostKeyIsRefusedUntilAccepted) {
  auto peer = start();
  const std::string server = "127.0.0.1:" + std::to_string(peer->port());
  const std::string key = SFTPService::hostKeySettingKey(server);
  // The browsing connection, whose folder screen lists again once the new key is accepted.
  for (const bool browsing : {true, false}) {
    SCOPED_TRACE(browsing ? "browsing connection" : "queue's connection");
    UserDefaults::standard().removeObjectForKey(key);
    auto s = service(peer->port());
    s->setMainConnection(browsing);
    run([&] { s->getDirectory(); });
    auto first = UserDefaults::standard().stringForKey(key);
    ASSERT_TRUE(first && !first->empty());
    recorder->outcome();
    // Another key under the same name: refused, naming both.
    const std::string remembered = "ssh-rsa 2048 00:11:22:33:44:55:66:77:88:99:aa:bb:cc:dd:ee:ff";
    UserDefaults::standard().setObject(remembered, key);
    s->reinit();
    run([&] { s->getDirectory(); });
    std::string refused = recorder->outcome();
    EXPECT_NE(refused.find("connectError:Host key changed;"), std::string::npos) << refused;
    EXPECT_FALSE(s->isConnected());
    // The question lays each fingerprint out whole on a line of its own, under its name.
    ASSERT_TRUE(RunLoop::main()->runUntil([&] { return !window->alerts().empty(); },
                                          testsupport::scaled(platform::seconds(20))));
    const std::string message = window->alerts().back()->message();
    EXPECT_EQ(message, "The host key of " + server + " has changed.\nRemembered:\n" + remembered +
                           "\nNow:\n" + *first +
                           "\nSomeone may be posing as the server. Connect only if you expect "
                           "the change.");
    // Cancel keeps the remembered key, so the next connection is refused again.
    answerAlert("Host Key Changed", 0);
    RunLoop::main()->runPending();
    EXPECT_EQ(recorder->outcome(), "");
    EXPECT_EQ(UserDefaults::standard().stringForKey(key).value_or(""), remembered);
    run([&] { s->getDirectory(); });
    refused = recorder->outcome();
    EXPECT_NE(refused.find("connectError:Host key changed;"), std::string::npos) << refused;
    // Accepted: a folder screen of the browsing connection is told to list again at once.
    answerAlert("Host Key Changed", 1);
    EXPECT_EQ(UserDefaults::standard().stringForKey(key), first);
    RunLoop::main()->runUntil([] { return false; }, testsupport::scaled(platform::seconds(0.2)));
    EXPECT_EQ(recorder->outcome(), browsing ? "refresh;" : "");
    run([&] { s->getDirectory(); });
    EXPECT_EQ(recorder->outcome().rfind("list:", 0), 0u);
  }
}

// A server with an RSA and an Ed25519 key (as Debian sets one up) whose RSA key was remembered
// when the client knew no newer key type: that key is asked for and checked again, so no
// "Host Key Changed" comes up; a server first met is remembered by its Ed25519 key.
TEST_F(SftpService, RememberedKeyTypeIsCheckedAgainBesideNewerOnes) {
  SshPeerOptions o;
  o.moreHostKeys = {"ed25519"};
  auto peer = SshPeer::sshd(o);
  ASSERT_TRUE(peer->started()) << peer->why();
  const std::string key =
      SFTPService::hostKeySettingKey("127.0.0.1:" + std::to_string(peer->port()));
  auto s = service(peer->port());
  run([&] { s->getDirectory(); });
  EXPECT_EQ(recorder->outcome().rfind("list:", 0), 0u);
  EXPECT_EQ(UserDefaults::standard().stringForKey(key).value_or("").rfind("ssh-ed25519 256 ", 0),
            0u);
  // The RSA key's fingerprint, as a session that asks for RSA sees it.
  ClsSFtp probe;
  probe.put_PreferredHostKeyType("ssh-rsa");
  ASSERT_TRUE(sftpConnect(probe, peer->port())) << logText(probe);
  StringBuffer rsa;
  probe.get_HostKeyFingerprint(rsa);
  ASSERT_EQ(std::string(rsa.getString()).rfind("ssh-rsa 2048 ", 0), 0u) << rsa.getString();
  UserDefaults::standard().setObject(std::string(rsa.getString()), key);
  s->reinit();
  run([&] { s->getDirectory(); });
  EXPECT_EQ(recorder->outcome().rfind("list:", 0), 0u);
  EXPECT_EQ(UserDefaults::standard().stringForKey(key).value_or(""), rsa.getString());
}

// Names a server may send that must never become local paths: only "ok.txt" is listed and
// fetched, and nothing lands outside the batch's folder.
TEST_F(SftpService, HostileNamesNeverBecomeLocalPaths) {
  auto entry = [](const std::string &name, unsigned int mode) {
    return sftpStr(name) + sftpStr(name) + sftpU32(4) + sftpU32(mode);
  };
  const std::string names[] = {"../evil", "a/b", std::string("nul\0x", 5), "ok.txt", "..", "."};
  std::string listing = sftpU32(std::size(names) + 1);
  for (auto &n : names)
    listing += entry(n, 0100644);
  listing += entry("../up", 040755);
  bool listed = false;
  FakeSftpOptions o;
  o.reply = [&](const std::string &pkt) -> std::vector<std::string> {
    const unsigned int id = sftpIdOf(pkt);
    auto status = [&](unsigned int code) {
      return sftpPacket(101, id, sftpU32(code) + sftpStr("") + sftpStr(""));
    };
    switch ((unsigned char)pkt[4]) {
    case 1:
      return {sftpVersion(3)};
    case 16:
      return {sftpPacket(104, id, sftpU32(1) + entry("/", 040755))};
    case 11:
      listed = false;
      return {sftpPacket(102, id, sftpStr("d"))};
    case 3:
      return {sftpPacket(102, id, sftpStr("f"))};
    case 12:
      return {std::exchange(listed, true) ? status(1) : sftpPacket(104, id, listing)};
    case 5: // a READ at offset 0 gets the contents, any other the end
      return {pkt.substr(14, 8) == std::string(8, '\0') ? sftpPacket(103, id, sftpStr("ok"))
                                                        : status(1)};
    case 7:
    case 8:
    case 17:
      return {sftpPacket(105, id, sftpU32(1) + std::string(7, '\0') + "\2")};
    default:
      return {status(0)};
    }
  };
  FakeSftpServer server(o);
  auto s = service(server.port());
  s->setServer("127.0.0.1:" + std::to_string(server.port()) + "/top");
  s->setBatchPK(3);
  run([&] {
    s->getDirectory();
    s->batchDirectoryDownload("/top");
    s->nextBatchDirectory();
  });
  EXPECT_EQ(recorder->outcome(), "list:ok.txt,;progress:100;done;");
  EXPECT_EQ(queue->done, std::vector<int>{3});
  const std::string files = platform::Paths::documents() + "/Files";
  EXPECT_EQ(readFile(files + "/top/ok.txt"), "ok");
  std::string tree = runCommand("find '" + files + "' | sort");
  EXPECT_EQ(tree, files + "\n" + files + "/top\n" + files + "/top/ok.txt\n") << tree;
}

// An SFTP v4 server's times are 64-bit seconds: any year, either side of 1970. Each lists, those
// past the clock's reach at its first or last day.
TEST_F(SftpService, ServerTimesOfAnyYearList) {
  const struct {
    const char *name;
    int64_t seconds;
    int year;
  } cases[] = {{"now.txt", 1700000000, 2023},
               {"far.txt", kYear2300, kLastClockYear},
               {"last.txt", INT64_MAX, kLastClockYear},
               {"first.txt", INT64_MIN, kFirstClockYear},
               {"early.txt", -kYear2300, kFirstClockYear}};
  const auto u64 = [](uint64_t v) { return sftpU32(unsigned(v >> 32)) + sftpU32(unsigned(v)); };
  // Version 4 attributes: size, permissions and the modification time.
  const auto attrs = [&](bool folder, int64_t mtime) {
    return sftpU32(0x1 | 0x4 | 0x20) + std::string(1, folder ? '\2' : '\1') + u64(3) +
           sftpU32(folder ? 040755 : 0100644) + u64(uint64_t(mtime));
  };
  std::string listing = sftpU32(std::size(cases));
  for (const auto &c : cases)
    listing += sftpStr(c.name) + attrs(false, c.seconds);
  bool listed = false;
  FakeSftpOptions o;
  o.reply = [&](const std::string &pkt) -> std::vector<std::string> {
    const unsigned int id = sftpIdOf(pkt);
    switch ((unsigned char)pkt[4]) {
    case 1:
      return {sftpVersion(4)};
    case 16:
      return {sftpPacket(104, id, sftpU32(1) + sftpStr("/top") + attrs(true, 0))};
    case 7:
    case 17:
      return {sftpPacket(105, id, attrs(true, 0))};
    case 11:
      listed = false;
      return {sftpPacket(102, id, sftpStr("d"))};
    case 12:
      return {std::exchange(listed, true) ? sftpStatus(id, 1) : sftpPacket(104, id, listing)};
    default:
      return {sftpStatus(id, 0)};
    }
  };
  FakeSftpServer server(o);
  auto s = service(server.port());
  s->setServer("127.0.0.1:" + std::to_string(server.port()) + "/top");
  run([&] { s->getDirectory(); });
  EXPECT_EQ(recorder->outcome(), "list:early.txt,far.txt,first.txt,last.txt,now.txt,;");
  ASSERT_EQ(recorder->listed.size(), std::size(cases));
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    for (auto &item : recorder->listed) {
      if (item->name() == c.name) {
        EXPECT_EQ(yearOf(item->date), c.year);
      }
    }
  }
}

// A download waiting for the "Saved File Exists" answer holds the connection: another
// operation meanwhile is refused and reports nothing.
TEST_F(SftpService, OneOperationAtATime) {
  auto peer = start();
  writeFile(path("same.txt"), "new");
  const std::string saved = platform::Paths::documents() + "/Files/same.txt";
  platform::FileManager::createDirectory(platform::Paths::documents() + "/Files", true);
  writeFile(saved, "old");
  auto s = service(peer->port());
  s->setupToDownloadThisFile(path("same.txt"), "", false);
  std::thread download([&] { s->downloadFile(); });
  ASSERT_TRUE(RunLoop::main()->runUntil([&] { return !window->alerts().empty(); },
                                        testsupport::scaled(platform::seconds(20))));
  EXPECT_TRUE(s->isActive());
  run([&] { s->getDirectory(); });
  answerAlert("Saved File Exists", 1);
  while (s->isActive())
    RunLoop::main()->runPending();
  download.join();
  RunLoop::main()->runPending();
  EXPECT_EQ(recorder->outcome(), "progress:100;downloaded:" + saved + ";done;");
  EXPECT_EQ(readFile(saved), "new");
  EXPECT_NE(readFile(s->logPath()).find("Huh?SomethingInProgress"), std::string::npos);
}

// The connection the server closed is no connection once the library has dropped it (the next
// operation meets it and fails); the operation after connects again. Asked through the interface
// the queue and the screens use.
TEST_F(SftpService, AConnectionTheServerClosedIsNotConnected) {
  auto peer = start();
  std::shared_ptr<SFTPWrapper> s = service(peer->port());
  EXPECT_FALSE(s->isConnected());
  run([&] { s->getDirectory(); });
  ASSERT_EQ(recorder->outcome().rfind("list:", 0), 0u);
  EXPECT_TRUE(s->isConnected());
  ASSERT_GT(killServerSessions(peer->port()), 0);
  run([&] { s->getDirectory(); });
  EXPECT_EQ(recorder->outcome().rfind("list:", 0), std::string::npos);
  EXPECT_FALSE(s->isConnected());
  run([&] { s->getDirectory(); });
  EXPECT_EQ(recorder->outcome().rfind("list:", 0), 0u);
  EXPECT_TRUE(s->isConnected());
}

// A port out of range, in the server text or given apart (a queue row's), is refused with its
// reason; no other port (the default one, or one it would wrap to) is tried.
TEST_F(SftpService, APortOutOfRangeIsRefusedWithItsReason) {
  auto peer = start();
  const int port = peer->port();
  struct Case {
    std::string server;
    int apart;
  } cases[] = {{"127.0.0.1:" + std::to_string(port + 65536) + dir.path(), 0},
               {"127.0.0.1:0" + dir.path(), 0},
               {"127.0.0.1:99999999999" + dir.path(), 0},
               {"127.0.0.1:-" + std::to_string(port) + dir.path(), 0},
               {"127.0.0.1:ssh" + dir.path(), 0},
               {"127.0.0.1" + dir.path(), port + 65536},
               {"127.0.0.1:" + std::to_string(port + 65536) + dir.path(), port}};
  for (const auto &c : cases) {
    auto s = service(port);
    s->setServer(c.server);
    s->setPort(c.apart);
    run([&] { s->getDirectory(); });
    const std::string outcome = recorder->outcome();
    EXPECT_NE(outcome.find("connectError:The port must be a number from 1 to 65535.;"),
              std::string::npos)
        << c.server << " " << c.apart << ": " << outcome;
    EXPECT_FALSE(s->isConnected());
  }
  auto s = service(port);
  s->setServer("127.0.0.1" + dir.path());
  s->setPort(port);
  run([&] { s->getDirectory(); });
  EXPECT_EQ(recorder->outcome().rfind("list:", 0), 0u) << recorder->outcome();
}

// The folder the connection is in is the one it lists: a download from another folder, or an
// upload into one, does not move it.
TEST_F(SftpService, TheFolderItIsInIsTheOneItLists) {
  auto peer = start();
  ::mkdir(path("sub").c_str(), 0777);
  ::chmod(path("sub").c_str(), 0777);
  writeFile(path("top.txt"), "top");
  const std::string local = home.file("up.txt");
  writeFile(local, "up");
  std::shared_ptr<SFTPWrapper> s = service(peer->port());
  run([&] { s->getThisDirectory(path("sub")); });
  EXPECT_EQ(s->dir(), path("sub"));
  run([&] {
    s->setupToDownloadThisFile(path("top.txt"), home.file("down"), false);
    s->downloadFile();
  });
  run([&] { s->uploadThisFile(local, dir.path()); });
  EXPECT_EQ(readFile(path("up.txt")), "up");
  EXPECT_EQ(s->lastOperationDir(), dir.path());
  EXPECT_EQ(s->dir(), path("sub"));
}

// A server that will not say which folder the login starts in is listed in that folder ("."),
// not in its top folder: the library takes "/" as the top folder itself.
TEST_F(SftpService, AServerThatDoesNotNameTheLoginFolderIsListedThere) {
  auto fs = std::make_shared<FakeSftpFs>();
  auto opened = std::make_shared<std::vector<std::string>>();
  fs->hook = [tree = fs.get(), opened](const std::string &pkt) -> std::vector<std::string> {
    const unsigned char type = (unsigned char)pkt[4];
    if (type == 16) return {sftpStatus(sftpIdOf(pkt), 4, "Failure")}; // REALPATH
    if (type == 11) {                                                 // OPENDIR
      SftpFields in(pkt);
      std::lock_guard lock(tree->mutex);
      opened->push_back(in.str());
    }
    return {};
  };
  FakeSftpServer server(fsOptions(fs));
  auto s = service(server.port());
  s->setServer("127.0.0.1:" + std::to_string(server.port())); // no folder given
  run([&] { s->getDirectory(); });
  EXPECT_EQ(recorder->outcome().rfind("list:", 0), 0u);
  EXPECT_EQ(s->userRootDir(), ".");
  EXPECT_EQ(s->dir(), ".");
  std::lock_guard lock(fs->mutex);
  EXPECT_EQ(*opened, std::vector<std::string>{"."});
}

// An upload under a temporary name whose connection is cut (the server's session process is
// killed) leaves "NAME.upload.N" behind; the next operation on that server removes it, however
// many attempts were cut.
TEST_F(SftpService, CutUploadsLeaveNoTemporaryFileAfterTheNextOperation) {
  auto peer = start();
  auto s = service(peer->port());
  UserDefaults::standard().setObject("1", "UploadToTempName");
  const std::string local = home.file("big.bin");
  makeDataFile(local, 128LL << 20);
  auto temporaries = [&] {
    std::string names = runCommand("ls -a '" + dir.path() + "'");
    int n = 0;
    for (size_t at = 0; (at = names.find(".upload.", at)) != std::string::npos; ++at)
      ++n;
    return n;
  };
  for (int attempt = 0; attempt < 2; ++attempt) {
    // Names are stamped by the second: each attempt gets its own.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    const std::string before =
        runCommand("find '" + dir.path() + "' -name 'big.bin.upload.*' 2>/dev/null");
    std::atomic<bool> cut{false};
    std::thread cutter([&] {
      // Once this attempt's temporary file is on its way, the connection goes.
      for (int i = 0; i < 6000 && !cut; ++i) {
        std::istringstream grown(
            runCommand("find '" + dir.path() + "' -name 'big.bin.upload.*' -size +2M 2>/dev/null"));
        for (std::string name; std::getline(grown, name);)
          if (before.find(name) == std::string::npos) cut = killServerSessions(peer->port()) > 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
    run([&] { s->uploadThisFile(local, dir.path()); });
    cutter.join();
    ASSERT_TRUE(cut) << "the upload ended before it could be cut";
    // The folder is listed again after a failed upload too.
    EXPECT_EQ(recorder->outcome(), "uploadError:Error Uploading File!;refresh;done;")
        << readFile(s->logPath());
    // The second attempt's connection removed what the first left: one at most, never one per
    // attempt.
    EXPECT_EQ(temporaries(), 1) << attempt;
  }
  run([&] { s->getDirectory(); });
  EXPECT_EQ(recorder->outcome().rfind("list:", 0), 0u);
  EXPECT_EQ(temporaries(), 0) << runCommand("ls -a '" + dir.path() + "'");
  EXPECT_FALSE(platform::FileManager::fileExists(path("big.bin")));
}

// The same for an upload batch cut part-way: what its files left under temporary names is
// removed by the next connection to that server.
TEST_F(SftpService, ACutUploadBatchLeavesNoTemporaryFileAfterTheNextOperation) {
  auto peer = start();
  auto s = service(peer->port());
  UserDefaults::standard().setObject("1", "UploadToTempName");
  std::vector<SFTPUploadJob> jobs;
  for (int i = 0; i < 3; ++i) {
    const std::string name = "b" + std::to_string(i) + ".bin";
    makeDataFile(home.file(name), 64LL << 20, i + 1);
    jobs.push_back({i, home.file(name), path(name), {}});
  }
  auto temporaries = [&] {
    return runCommand("find '" + dir.path() + "' -name '*.upload.*' 2>/dev/null");
  };
  std::atomic<bool> cut{false}, ended{false};
  std::thread cutter([&] {
    // Once a file of the batch is on its way under its temporary name, the connection goes.
    for (int i = 0; i < 6000 && !cut && !ended; ++i) {
      if (!runCommand("find '" + dir.path() + "' -name '*.upload.*' -size +2M 2>/dev/null").empty())
        cut = killServerSessions(peer->port()) > 0;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  std::atomic<int> failed{0};
  run([&] {
    s->uploadFiles(jobs, [&](const SFTPUploadJob &, bool ok, const std::string &) {
      if (!ok) ++failed;
    });
    ended = true;
  });
  cutter.join();
  ASSERT_TRUE(cut) << "the batch ended before it could be cut";
  EXPECT_GT(failed.load(), 0);
  run([&] { s->getDirectory(); });
  EXPECT_EQ(temporaries(), "") << runCommand("ls -a '" + dir.path() + "'");
}

// A running download is stopped by reinit within the library's heartbeat, not at its end.
TEST_F(SftpService, ReinitStopsARunningDownload) {
  auto fs = std::make_shared<FakeSftpFs>();
  fs->files["/big"] = std::string(64 << 20, 'b');
  // 1024 READs of 64 KiB, each answered after 20 ms: the whole file takes 20 s and more.
  fs->readDelayMs = 20;
  FakeSftpServer server(fsOptions(fs));
  auto s = service(server.port());
  s->setServer("127.0.0.1:" + std::to_string(server.port()) + "/");
  const std::string down = home.file("down");
  platform::FileManager::createDirectory(down, true);
  s->setupToDownloadThisFile("/big", down, false);
  const std::string part = SFTPWrapper::downloadPartialPath(s->server(), s->port(), s->username(),
                                                            "/big", down + "/big");
  std::atomic<bool> finished{false};
  std::thread t([&] {
    s->downloadFile();
    finished = true;
  });
  ASSERT_TRUE(
      RunLoop::main()->runUntil([&] { return platform::FileManager::fileExists(part) || finished; },
                                testsupport::scaled(platform::seconds(30))));
  auto t0 = std::chrono::steady_clock::now();
  s->reinit();
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  t.join();
  RunLoop::main()->runPending();
  std::printf("reinit during a 64 MiB download returned after %.3f s\n", took);
  EXPECT_LT(took, 10.0);
  EXPECT_LT(fs->count(5), 1024);
  EXPECT_NE(recorder->outcome().find("downloadError:Error Downloading File!;"), std::string::npos);
  EXPECT_FALSE(platform::FileManager::fileExists(down + "/big"));
  EXPECT_FALSE(platform::FileManager::fileExists(part));
}

// Folder downloads from servers whose folders never end, or whose names cannot be local: each
// stops with a clear error or skips the one name, after fetching what it could.
TEST_F(SftpService, FolderBatchesAreBounded) {
  const std::string longName(70000, 'n'), level(200, 'd');
  struct Case {
    const char *name;
    bool blockLocalFolder; // a file stands where the local folder belongs
    std::string expected;
    std::vector<std::string> fetched; // below the batch's local folder
  } cases[] = {
      {"every folder lists one more",
       false,
       "dirError:Error Downloading Folder! The local path is too long.;done;",
       {"f.txt", level + "/f.txt"}},
      {"the local folder cannot be made",
       true,
       "dirError:Error Downloading Folder! A local folder could not be made.;done;",
       {}},
  };
  for (auto &c : cases) {
    auto fs = std::make_shared<FakeSftpFs>();
    fs->list = [&](const std::string &path) {
      std::vector<std::pair<std::string, bool>> v{{"f.txt", false}, {level, true}};
      if (path == "/top") v.insert(v.begin(), {longName, false});
      return v;
    };
    // Every "f.txt" at any depth, and the file with the long name.
    fs->hook = [&](const std::string &pkt) -> std::vector<std::string> {
      SftpFields in(pkt);
      unsigned char t = (unsigned char)pkt[4];
      if (t != 3 && t != 17 && t != 7) return {};
      std::string p = in.str();
      std::lock_guard lock(fs->mutex);
      if (p.size() > 6 && p.substr(p.size() - 6) == "/f.txt") fs->files[p] = "f";
      if (p == "/top/" + longName) fs->files[p] = "long";
      return {};
    };
    FakeSftpServer server(fsOptions(fs));
    auto s = service(server.port());
    s->setServer("127.0.0.1:" + std::to_string(server.port()) + "/");
    const std::string files = platform::Paths::documents() + "/Files";
    platform::FileManager::removeItem(files);
    platform::FileManager::createDirectory(files, true);
    if (c.blockLocalFolder) writeFile(files + "/top", "a file");
    s->setBatchPK(5);
    queue->done.clear();
    run([&] {
      s->batchDirectoryDownload("/top");
      s->nextBatchDirectory();
    });
    std::string outcome = recorder->outcome();
    std::string withoutProgress;
    for (size_t at = 0; at < outcome.size();) {
      size_t end = outcome.find(';', at);
      std::string e = outcome.substr(at, end - at + 1);
      if (e != "progress:100;") withoutProgress += e;
      at = end + 1;
    }
    EXPECT_EQ(withoutProgress, c.expected) << c.name;
    EXPECT_TRUE(queue->done.empty()) << c.name;
    for (auto &f : c.fetched)
      EXPECT_EQ(readFile(files + "/top/" + f), "f") << c.name << " " << f;
    std::string log = readFile(s->logPath());
    if (!c.blockLocalFolder) {
      EXPECT_NE(log.find("the name is too long for a local file"), std::string::npos) << c.name;
    }
  }
}

// Folder trees that never end, in each direction: wide, deep, and folders full of entries. The
// walk stops by itself with its error, long before the server's own end of the tree (after
// kServerEnd listings every folder is refused), so what it lists, and holds, stays bounded.
TEST_F(SftpService, EndlessFolderTreesStopAtTheirBounds) {
  const int kServerEnd = 1000;
  struct Case {
    const char *name;
    int folders;       // sub-folders in every folder
    int hiddenEntries; // entries every folder lists besides (hidden names: never fetched)
    const char *error;
  } cases[] = {
      {"wide", 50, 0, "Too many folders"},
      {"deep", 1, 0, "Too many folder levels"},
      {"full", 2, 5000, "Too many files and folders"},
  };
  for (auto &c : cases) {
    auto fs = std::make_shared<FakeSftpFs>();
    fs->list = [&](const std::string &) {
      std::vector<std::pair<std::string, bool>> v;
      for (int i = 0; i < c.folders; ++i)
        v.push_back({"folder-" + std::to_string(i), true});
      for (int i = 0; i < c.hiddenEntries; ++i)
        v.push_back({".h" + std::to_string(i), false});
      return v;
    };
    fs->hook = [&](const std::string &pkt) -> std::vector<std::string> {
      if ((unsigned char)pkt[4] != 11 || fs->count(11) <= kServerEnd) return {};
      return {sftpStatus(sftpIdOf(pkt), 3, "Permission denied")};
    };
    // A window for all the walk's requests, so that no WINDOW_ADJUST goes ahead of each reply
    // (two small writes in a row wait for a delayed ACK, and the walk would crawl).
    FakeSftpOptions o = fsOptions(fs);
    o.refillWindow = false;
    o.window = 1u << 30;
    FakeSftpServer server(o);
    auto s = service(server.port());
    s->setServer("127.0.0.1:" + std::to_string(server.port()) + "/");
    s->setBatchPK(7);
    queue->done.clear();
    run([&] {
      s->batchDirectoryDownload("/top");
      s->nextBatchDirectory();
    });
    const std::string outcome = recorder->outcome();
    EXPECT_EQ(outcome.rfind(std::string("dirError:Error Downloading Folder! ") + c.error, 0), 0u)
        << c.name << ": " << outcome;
    EXPECT_EQ(outcome.substr(outcome.size() - 5), "done;") << c.name;
    EXPECT_TRUE(queue->done.empty()) << c.name;
    std::printf("%s tree: the walk listed %d folders\n", c.name, fs->count(11));
    EXPECT_LT(fs->count(11), kServerEnd) << c.name;
    // Every listing it asked for was closed again.
    EXPECT_EQ(fs->count(4), fs->count(11)) << c.name;
  }
}

// The public objects hand out the record of their last operation in three forms.
TEST_F(SftpService, LastErrorInEachForm) {
  CkSFtp s;
  EXPECT_FALSE(s.Connect("127.0.0.1", freeTcpPort()));
  CkSshKey key;
  EXPECT_FALSE(key.LoadKeyFile(path("missing.pem").c_str()));
  for (auto &text : {s.lastErrorText(), s.lastErrorHtml(), s.lastErrorXml(), key.lastErrorText(),
                     key.lastErrorHtml(), key.lastErrorXml()})
    EXPECT_NE(text.find("Failed"), std::string::npos) << text;
}

// What a download left in a folder besides the files it was meant to make: partial files.
std::string partialFilesIn(const std::string &folder) {
  std::string found;
  for (const auto &name :
       platform::FileManager::contentsOfDirectory(folder).value_or(std::vector<std::string>{}))
    if (name.find("part") != std::string::npos) found += name + " ";
  return found;
}

// A folder of the person's under a downloaded file's name is never replaced, nor anything in it:
// the download (queued, opened for editing, or one file of a folder download, small or large)
// fails, says why on the screen or the queue row and in the log, and opens nothing.
TEST_F(SftpService, ADownloadNeverReplacesAFolderUnderItsName) {
  auto peer = start();
  writeFile(path("note.txt"), "remote note");
  for (auto d : {"small", "large"})
    ::mkdir(path(d).c_str(), 0777);
  writeFile(path("small/a.txt"), "small file");
  makeDataFile(path("large/big.bin"), 3 << 20); // past the size fetched several at a time
  const std::string files = platform::Paths::documents() + "/Files";
  const std::string down = home.file("down");
  const std::string inTheWay = " is where the file goes: it is not replaced.";
  struct Case {
    const char *what;
    std::string folder; // the person's folder, under the file's name
    std::function<void(SFTPService &)> op;
    std::string outcome;
  } cases[] = {
      {"a queued download", down + "/note.txt",
       [&](SFTPService &s) {
         s.setupToDownloadThisFile(path("note.txt"), down, false);
         s.downloadFile();
       },
       "downloadError:Error Downloading File! A folder named \"note.txt\"" + inTheWay + ";done;"},
      {"a file opened for editing", workingCopyOf("note.txt", peer->port()),
       [&](SFTPService &s) {
         s.setupToDownloadThisFile(path("note.txt"), "", true);
         s.downloadFile();
       },
       "downloadError:Error Downloading File! A folder named \"note.txt\"" + inTheWay + ";done;"},
      {"a small file of a folder download", files + "/small/a.txt",
       [&](SFTPService &s) {
         s.setBatchPK(7);
         s.batchDirectoryDownload(path("small"));
         s.nextBatchDirectory();
       },
       "dirError:Error Downloading Folder! A folder named \"a.txt\"" + inTheWay + ";done;"},
      {"a large file of a folder download", files + "/large/big.bin",
       [&](SFTPService &s) {
         s.setBatchPK(8);
         s.batchDirectoryDownload(path("large"));
         s.nextBatchDirectory();
       },
       "dirError:Error Downloading Folder! A folder named \"big.bin\"" + inTheWay + ";done;"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(platform::FileManager::createDirectory(c.folder, true));
    ASSERT_TRUE(writeFile(c.folder + "/mine.txt", "the person's own"));
    auto s = service(peer->port());
    s->setMainConnection(true);
    run([&] { c.op(*s); });
    EXPECT_EQ(recorder->outcome(), c.outcome);
    EXPECT_EQ(readFile(c.folder + "/mine.txt"), "the person's own");
    EXPECT_EQ(partialFilesIn(platform::deleteLastPathComponent(c.folder)), "");
    EXPECT_TRUE(queue->opened.empty());
    EXPECT_TRUE(queue->done.empty());
    s->reinit();
  }
  const std::string log = readFile(platform::Paths::tmp() + "/Ferrowen-SFTP.log");
  for (const char *name : {"note.txt", "a.txt", "big.bin"})
    EXPECT_NE(log.find(std::string(name) + ": A folder named \"" + name + "\"" + inTheWay),
              std::string::npos)
        << name << "\n"
        << log;
}

// A file to be opened that could not be fetched is not opened: what an earlier fetch of that name
// left in the temporary folder is not the server's file now, and must not be edited as if it were.
TEST_F(SftpService, AFailedFetchForEditingOpensNothing) {
  auto peer = start();
  ASSERT_TRUE(writeFile(workingCopyOf("gone.txt", peer->port()), "fetched an hour ago"));
  auto s = service(peer->port());
  s->setMainConnection(true);
  run([&] {
    s->setupToDownloadThisFile(path("gone.txt"), "", true);
    s->downloadFile();
  });
  EXPECT_EQ(recorder->outcome(), "downloadError:Error Downloading File! No such file.;done;");
  EXPECT_TRUE(queue->opened.empty());
}

// A download whose partial file was taken away before it could be put in place fails, and the
// person's file of that name stays as it was (nothing is removed to make room).
TEST_F(SftpService, APartialFileGoneKeepsThePersonsFile) {
  auto fs = std::make_shared<FakeSftpFs>();
  fs->files["/same.bin"] = std::string(32 * 65536, 'n');
  fs->readDelayMs = 50;
  FakeSftpServer server(fsOptions(fs));
  auto s = service(server.port());
  s->setServer("127.0.0.1:" + std::to_string(server.port()) + "/");
  const std::string down = home.file("down");
  ASSERT_TRUE(platform::FileManager::createDirectory(down, true));
  ASSERT_TRUE(writeFile(down + "/same.bin", "the person's own"));
  const std::string part = SFTPWrapper::downloadPartialPath(s->server(), s->port(), s->username(),
                                                            "/same.bin", down + "/same.bin");
  s->setupToDownloadThisFile("/same.bin", down, false);
  std::atomic<bool> finished{false};
  std::thread t([&] {
    s->downloadFile();
    finished = true;
  });
  ASSERT_TRUE(
      RunLoop::main()->runUntil([&] { return platform::FileManager::fileExists(part) || finished; },
                                testsupport::scaled(platform::seconds(30))));
  EXPECT_TRUE(platform::FileManager::removeItem(part));
  RunLoop::main()->runUntil([&] { return finished.load(); },
                            testsupport::scaled(platform::seconds(60)));
  t.join();
  RunLoop::main()->runPending();
  EXPECT_NE(recorder->outcome().find("downloadError:Error Downloading File! Cannot put"),
            std::string::npos);
  EXPECT_EQ(readFile(down + "/same.bin"), "the person's own");
}

// Two same-named downloads from two servers into one folder at once (the FTP tab's service and
// the queue's): each writes a partial file of its own, so the file in place at the end is one of
// the two whole, never a mix, and neither removes what the other put there.
TEST_F(SftpService, SameNamedDownloadsAtOnceKeepTheirBytesApart) {
  // Each server answers its first read only once both downloads have begun to read.
  std::mutex gate;
  std::condition_variable opened;
  int reading = 0;
  auto holdFirstRead = [&](const std::string &pkt) {
    if ((unsigned char)pkt[4] == 5) {
      std::unique_lock lock(gate);
      if (++reading == 2) opened.notify_all();
      opened.wait_for(lock, std::chrono::seconds(30), [&] { return reading >= 2; });
    }
    return std::vector<std::string>{};
  };
  // The two servers' handshakes run at once: their host key is made before (it is made once).
  ASSERT_FALSE(sshHostKey("rsa", 2048).empty());
  std::vector<std::shared_ptr<FakeSftpFs>> trees;
  std::vector<std::unique_ptr<FakeSftpServer>> servers;
  for (char fill : {'a', 'b'}) {
    auto fs = std::make_shared<FakeSftpFs>();
    fs->files["/same.bin"] = std::string(16 * 65536, fill);
    fs->readDelayMs = 5;
    fs->hook = holdFirstRead;
    trees.push_back(fs);
    servers.push_back(std::make_unique<FakeSftpServer>(fsOptions(fs)));
  }
  const std::string down = home.file("down");
  ASSERT_TRUE(platform::FileManager::createDirectory(down, true));
  std::vector<std::shared_ptr<SFTPService>> services;
  std::vector<std::thread> threads;
  std::atomic<int> finished{0};
  for (auto &server : servers) {
    auto s = service(server->port());
    s->setServer("127.0.0.1:" + std::to_string(server->port()) + "/");
    s->setupToDownloadThisFile("/same.bin", down, false);
    services.push_back(s);
  }
  for (auto &s : services)
    threads.emplace_back([s, &finished] {
      s->downloadFile();
      ++finished;
    });
  RunLoop::main()->runUntil([&] { return finished == 2; },
                            testsupport::scaled(platform::seconds(90)));
  for (auto &t : threads)
    t.join();
  RunLoop::main()->runPending();
  const std::string outcome = recorder->outcome();
  EXPECT_EQ(outcome.find("Error"), std::string::npos) << outcome;
  const std::string got = readFile(down + "/same.bin");
  EXPECT_TRUE(got == trees[0]->files["/same.bin"] || got == trees[1]->files["/same.bin"])
      << got.size() << " bytes, starting " << got.substr(0, 8);
  EXPECT_EQ(partialFilesIn(down), "");
}

} // namespace
