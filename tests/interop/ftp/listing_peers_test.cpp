// Folder listings from real servers reach the folder screen on the main thread, over passive and
// active data connections; DOS, VMS and NetWare listings come from the scripted server.
#include "tests/interop/ftp/TaskPeers.h"

#include "platform/foundation/FileManager.h"
#include "tests/support/Peers.h"

using namespace taskpeers;

namespace {

class ListingPeersTest : public TaskPeerTest {
protected:
  void fill(const std::string &root) {
    testsupport::writeFile(root + "/my file.txt", "hello");
    testsupport::writeFile(root + "/.hidden", "x");
    ::mkdir((root + "/Web Site").c_str(), 0755);
  }
  // vsftpd that requires TLS on both connections of anonymous logins.
  Server startVsftpdWithTls() {
    EXPECT_TRUE(testsupport::makeSelfSignedCert(home.file("cert.pem"), home.file("key.pem")));
    return startVsftpd("ssl_enable=YES\nallow_anon_ssl=YES\nforce_anon_logins_ssl=YES\n"
                       "force_anon_data_ssl=YES\nrequire_ssl_reuse=YES\nssl_ciphers=HIGH\n"
                       "rsa_cert_file=" +
                       home.file("cert.pem") + "\nrsa_private_key_file=" + home.file("key.pem") +
                       "\n");
  }
  // Lists `folder` again and waits for the screen to show it.
  void relist(const std::string &folder) {
    int before = services->top->listingCount();
    services->top->setCurrentWorkingDirectory(folder);
    conn->changeDirectory(folder);
    ASSERT_TRUE(waitFor([&] { return services->top->listingCount() > before && idle(); }))
        << conn->transferLog();
  }
};

TEST_F(ListingPeersTest, PyftpdlibPassiveThenActive) {
  Server s = startPyftpdlib();
  fill(s.root);
  connectAndList(address(s));
  EXPECT_TRUE(services->top->find("my file.txt"));
  EXPECT_TRUE(services->top->find("Web Site")->isDirectory);
  EXPECT_FALSE(services->top->find(".hidden")); // hidden files are off by default
  EXPECT_EQ(services->top->currentWorkingDirectory(), "/");
  EXPECT_TRUE(logHas(">>> PASV"));
  // The progress texts count the entries as they come.
  auto texts = services->top->progressTexts();
  EXPECT_NE(std::find(texts.begin(), texts.end(), "Getting Directory (2)..."), texts.end());

  UserDefaults::standard().setObject("0", kUsePASVKey);
  UserDefaults::standard().setObject("1", kShowHiddenFilesKey);
  relist("/");
  EXPECT_TRUE(logHas(">>> PORT 127,0,0,1,"));
  EXPECT_TRUE(logHas(">>> LIST -la"));
  EXPECT_TRUE(services->top->find(".hidden"));
  EXPECT_EQ(services->top->shown().size(), 3u);
}

TEST_F(ListingPeersTest, VsftpdProftpdAndPureFtpdLongListings) {
  REQUIRE_PEER(testsupport::program("/usr/sbin/vsftpd", "vsftpd"));
  Server vs = startVsftpd();
  ASSERT_NE(vs.port, 0) << "vsftpd cannot run here";
  fill(vs.root + "/pub");
  UserDefaults::standard().setObject("1", kShowHiddenFilesKey);
  connectAndList(address(vs) + "/pub");
  EXPECT_TRUE(services->top->find("my file.txt"));
  EXPECT_TRUE(services->top->find(".hidden"));
  EXPECT_EQ(services->top->find("my file.txt")->size, "5");
  EXPECT_FALSE(services->top->find(".")); // "." and ".." of "LIST -la" never show
  UserDefaults::standard().setObject("0", kUsePASVKey);
  relist("/pub");
  EXPECT_TRUE(logHas(">>> PORT "));
  EXPECT_TRUE(services->top->find("Web Site"));
  stopConnection();

  for (bool pure : {false, true}) {
    SCOPED_TRACE(pure ? "pure-ftpd" : "proftpd");
    Server peer = pure ? startPureftpd() : startProftpd();
    ASSERT_TRUE(peer.port) << "not unpacked (scripts/setup.sh)";
    fill(peer.root);
    connectAndList(address(peer), peer.user, peer.pass);
    EXPECT_TRUE(services->top->find("my file.txt"));
    EXPECT_TRUE(services->top->find(".hidden"));
    EXPECT_TRUE(services->top->find("Web Site")->isDirectory);
    stopConnection();
  }
}

TEST_F(ListingPeersTest, VsftpdWithProtectedData) {
  REQUIRE_PEER(testsupport::program("/usr/sbin/vsftpd", "vsftpd"));
  Server vs = startVsftpdWithTls();
  ASSERT_NE(vs.port, 0) << "vsftpd cannot run here";
  fill(vs.root + "/pub");
  const std::string content = randomBytes(200000, 21);
  testsupport::writeFile(vs.root + "/pub/data.bin", content);
  connectAndList(address(vs) + "/pub", "anonymous", "", true);
  EXPECT_TRUE(logHas(">>> AUTH TLS"));
  EXPECT_TRUE(logHas(">>> PROT P"));
  EXPECT_TRUE(conn->fSecureData());
  EXPECT_TRUE(services->top->find("my file.txt"));
  EXPECT_TRUE(services->top->find("Web Site"));
  waitFor([] { return false; }, 0.6);

  // A download over the protected data connection arrives whole.
  conn->downloadFile("data.bin", int64_t(content.size()), false, true, "/pub", false, false, 0);
  ASSERT_TRUE(waitFor([&] {
    return testsupport::readFile(Paths::documents() + "/Files/data.bin").size() == content.size();
  })) << conn->transferLog();
  EXPECT_EQ(sha256(testsupport::readFile(Paths::documents() + "/Files/data.bin")), sha256(content));
  ASSERT_TRUE(waitFor([&] { return idle(); }));

  // Active mode over TLS: the listing, and the download again.
  UserDefaults::standard().setObject("0", kUsePASVKey);
  UserDefaults::standard().setObject("1", kOverwriteSavedFilesKey);
  services->top->setCurrentWorkingDirectory("/pub");
  const int listed = services->top->listingCount();
  conn->changeDirectory("/pub");
  ASSERT_TRUE(waitFor([&] { return services->top->listingCount() > listed && idle(); }))
      << conn->transferLog();
  EXPECT_TRUE(logHas(">>> PORT "));
  EXPECT_TRUE(services->top->find("data.bin"));
  FileManager::removeItem(Paths::documents() + "/Files/data.bin");
  conn->downloadFile("data.bin", int64_t(content.size()), false, true, "/pub", false, false, 0);
  ASSERT_TRUE(waitFor([&] {
    return testsupport::readFile(Paths::documents() + "/Files/data.bin").size() == content.size();
  })) << conn->transferLog();
  EXPECT_EQ(sha256(testsupport::readFile(Paths::documents() + "/Files/data.bin")), sha256(content));
  EXPECT_TRUE(delegate->taken().empty());
}

// An upload over a protected data connection, passive and active: its bytes wait for the data
// connection's handshake, which starts with the preliminary reply to "STOR".
TEST_F(ListingPeersTest, VsftpdUploadOverProtectedData) {
  REQUIRE_PEER(testsupport::program("/usr/sbin/vsftpd", "vsftpd"));
  Server vs = startVsftpdWithTls();
  ASSERT_NE(vs.port, 0) << "vsftpd cannot run here";
  connectAndList(address(vs) + "/pub", "anonymous", "", true);
  waitFor([] { return false; }, 0.6);
  const std::string content = randomBytes(200000, 22);
  testsupport::writeFile(home.file("back.bin"), content);
  for (const char *passive : {"1", "0"}) {
    UserDefaults::standard().setObject(passive, kUsePASVKey);
    FileManager::removeItem(vs.root + "/pub/back.bin");
    // The upload ends with a listing of the folder on screen: the next upload waits for it.
    const int listed = services->top->listingCount();
    conn->uploadFile("back.bin", home.file("back.bin"), "/pub", false, 0);
    ASSERT_TRUE(waitFor([&] {
      return testsupport::readFile(vs.root + "/pub/back.bin").size() == content.size() &&
             services->top->listingCount() > listed && idle();
    })) << conn->transferLog();
    EXPECT_TRUE(logHas(*passive == '1' ? ">>> PASV" : ">>> PORT "));
    EXPECT_EQ(sha256(testsupport::readFile(vs.root + "/pub/back.bin")), sha256(content));
  }
}

// A listing's "226" still on its way, and the reload of the folder after an operation, hold
// up the tasks asked for meanwhile: they run after, one at a time, none lost or interleaved.
TEST_F(ListingPeersTest, TasksAskedForWhileAReplyOrReloadIsDueWaitTheirTurn) {
  struct Case {
    std::function<void()> start;
    std::function<bool(const std::string &root)> done;
    std::vector<std::string> commands; // from the first one on
  };
  const std::vector<Case> cases = {
      {[&] { conn->changeDirectory("/next"); },
       [](auto &) { return true; },
       {"CWD /next", "PWD", "PASV", "LIST"}},
      {[&] {
         conn->makeDirectory("made", "/");
         conn->uploadFile("up.txt", Bytes{'u', 'p'}, "/", true);
         conn->makeDirectory("later", "/");
       },
       [](const std::string &root) {
         return testsupport::readFile(root + "/up.txt") == "up" &&
                FileManager::fileExists(root + "/later");
       },
       {"MKD made", "CWD /",       "PWD",   "PASV",        "LIST",  "CWD /", "PWD",
        "TYPE I",   "SIZE up.txt", "PASV",  "STOR up.txt", "CWD /", "PWD",   "PASV",
        "LIST",     "MKD later",   "CWD /", "PWD",         "PASV",  "LIST"}},
  };
  for (const Case &c : cases) {
    Server s = startScripted(R"({"cwd": "250 Okay.", "list226delay": 0.5})");
    testsupport::writeFile(s.root + "/one.txt", "1");
    connectAndList(address(s));
    ASSERT_TRUE(services->top->find("one.txt"));
    c.start();
    ASSERT_TRUE(waitFor([&] {
      return c.done(s.root) && commandsFrom(c.commands.front()).size() >= c.commands.size() &&
             idle();
    })) << conn->transferLog();
    EXPECT_EQ(commandsFrom(c.commands.front()), c.commands) << conn->transferLog();
    EXPECT_FALSE(logHas("Resyncing") || logHas("Late Reply")) << conn->transferLog();
    EXPECT_TRUE(services->top->find("one.txt"));
  }
}

TEST_F(ListingPeersTest, LongListingArrivesInPieces) {
  // 3000 lines reach the connection in many reads, lines cut between them.
  std::string listing;
  for (int i = 0; i < 3000; ++i)
    listing += "-rw-r--r--   1 ftp      ftp      " + std::to_string(100000 + i) +
               " Mar 03  2009 file number " + std::to_string(i) + ".txt\\r\\n";
  Server s = startScripted("{\"listing\": \"" + listing + "\"}");
  connectAndList(address(s));
  ASSERT_EQ(services->top->shown().size(), 3000u);
  EXPECT_EQ(services->top->find("file number 2999.txt")->size, "102999");
  auto texts = services->top->progressTexts();
  EXPECT_NE(std::find(texts.begin(), texts.end(), "Getting Directory (3000)..."), texts.end());
  // The count is shown every seven lines however the bytes came, not once per read.
  const auto counts = std::count_if(texts.begin(), texts.end(), [](const std::string &t) {
    return t.rfind("Getting Directory (", 0) == 0;
  });
  EXPECT_GE(counts, 3000 / 7);
  // Only the first entries go to the visible transcript; the rest to the log file alone.
  EXPECT_TRUE(logHas("*** -rw-r--r--   1 ftp      ftp      100000 "));
  EXPECT_FALSE(logHas("file number 10.txt"));
}

// A listing the server cuts, closing its data connection and answering "426" (after the data's
// end or before it), is not the folder: the browsing connection shows none of it, a folder
// download queues none of it, and both report the server's reply.
TEST_F(ListingPeersTest, ACutListingIsReportedAndNeitherShownNorQueued) {
  std::string listing;
  for (int i = 0; i < 200; ++i)
    listing += "-rw-r--r--   1 ftp      ftp      " + std::to_string(1000 + i) +
               " Mar 03  2009 file " + std::to_string(i) + ".txt\\r\\n";
  for (const char *mode : {"partial-426", "426-first"})
    for (bool browsing : {true, false}) {
      SCOPED_TRACE(std::string(mode) + (browsing ? " browsing" : " folder download"));
      Server s = startScripted(std::string(R"({"partial": 3000, "list": ")") + mode +
                               R"(", "listing": ")" + listing + "\"}");
      const size_t told = delegate->taken().size();
      services->top->setCurrentWorkingDirectory("");
      const int listed = services->top->listingCount();
      startConnection(address(s), browsing);
      conn->connect();
      if (!browsing) {
        // The queue's connection lists nothing at login: the folder download lists "/tree".
        ASSERT_TRUE(waitFor([&] { return conn->fIsLoggedIn() && idle(); })) << conn->transferLog();
        conn->setBatchPK(7);
        conn->batchDirectoryDownload("tree");
        conn->changeDirectory("/tree");
      }
      ASSERT_TRUE(waitFor([&] { return delegate->taken().size() > told && idle(); }))
          << conn->transferLog();
      EXPECT_NE(delegate->taken().back().find("426 Connection closed; transfer aborted"),
                std::string::npos)
          << delegate->taken().back();
      // What the connection posted to the main thread has run: none of the listing is shown,
      // queued or reported done.
      ASSERT_TRUE(throughConnectionThread(true));
      EXPECT_EQ(services->top->listingCount(), listed);
      EXPECT_TRUE(services->queue->addedRows().empty());
      EXPECT_TRUE(services->queue->reports().empty());
      EXPECT_FALSE(logHas("*** Got ")) << conn->transferLog();
      stopConnection();
    }
}

// A session the server cuts leaves no folder screen waiting for its listing: the folder change
// under way (here the login's), or one that waited for its turn behind a download, is reported
// as not listed.
TEST_F(ListingPeersTest, AFolderChangeCutWithItsSessionIsReported) {
  struct Case {
    const char *what, *script, *folder;
    bool behindADownload;
  } cases[] = {{"under way", R"({"list": "close-control"})", "/", false},
               {"waiting", R"({"retr": "close-control", "cutafter": 0.5})", "/sub", true}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Server s = startScripted(c.script);
    testsupport::writeFile(s.root + "/f.bin", randomBytes(1000, 9));
    const size_t told = delegate->taken().size();
    if (c.behindADownload) {
      connectAndList(address(s));
      conn->downloadFile("f.bin", 1000, false, true, "/", false, false, 0);
      conn->changeDirectory(c.folder);
    } else {
      startConnection(address(s));
      conn->connect();
    }
    const int listed = services->top->listingCount();
    ASSERT_TRUE(waitFor([&] { return delegate->taken().size() > told && idle(); }))
        << conn->transferLog();
    const std::string why = std::string("The connection to the server was closed before \"") +
                            c.folder + "\" was listed.";
    EXPECT_EQ(delegate->taken().back(), why);
    EXPECT_TRUE(logHas("!!! " + why)) << conn->transferLog();
    EXPECT_FALSE(conn->isStreamConnected());
    ASSERT_TRUE(throughConnectionThread(true));
    EXPECT_EQ(services->top->listingCount(), listed);
    stopConnection();
  }
}

// The last line of a listing may come without its line end: it is decoded as every other line,
// in the folder's text encoding or else as UTF-8 or Latin-1, never taken as raw bytes.
TEST_F(ListingPeersTest, TheLastLineWithoutItsLineEndIsDecodedAsTheOthers) {
  const std::string line = "-rw-r--r--   1 ftp      ftp      5 Mar 03  2009 ";
  struct Case {
    const char *encoding; // the setting "FolderTextEncoding"
    const char *e9;       // the byte E9 in UTF-8
  } cases[] = {{"0", "\xC3\xA9"}, {"2562", "\xD0\x98"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.encoding);
    UserDefaults::standard().setObject(c.encoding, "FolderTextEncoding");
    // The server sends Latin-1 bytes: \u00e9 is the byte E9 (Latin-1 é, KOI8-R И).
    Server s = startScripted(R"({"listing": ")" + line + R"(first \u00e9\r\n)" + line +
                             R"(last \u00e9"})");
    connectAndList(address(s));
    ASSERT_EQ(services->top->shown().size(), 2u) << conn->transferLog();
    EXPECT_TRUE(services->top->find(std::string("first ") + c.e9)) << conn->transferLog();
    EXPECT_TRUE(services->top->find(std::string("last ") + c.e9)) << conn->transferLog();
    for (auto &entry : services->top->shown())
      EXPECT_TRUE(platform::isValidUTF8(entry->name())) << entry->name();
    stopConnection();
  }
}

TEST_F(ListingPeersTest, DosVmsAndNetwareServers) {
  {
    Server s = startScripted(R"({"syst": "215 Windows_NT",
      "listing": "01-12-10  03:25PM       <DIR>          Web Site\r\n12-31-99  12:05AM                 1024 a.txt"})");
    connectAndList(address(s));
    auto folder = services->top->find("Web Site");
    ASSERT_TRUE(folder);
    EXPECT_TRUE(folder->isDirectory);
    // The last line came without its line end: it is an entry all the same.
    auto file = services->top->find("a.txt");
    ASSERT_TRUE(file);
    EXPECT_EQ(file->size, "1024");
    EXPECT_EQ(conn->iServerType(), 1);
    stopConnection();
  }
  {
    Server s = startScripted(R"({"syst": "215 NetWare system type.",
      "listing": "d [RWCEAFMS] ADMIN    512 Jan 16 18:53 PUBLIC\r\n- [RWCEAFMS] ADMIN   1287 Oct 20  2009 AUTOEXEC.NCF\r\n"})");
    services->top->setCurrentWorkingDirectory("");
    connectAndList(address(s));
    EXPECT_TRUE(services->top->find("PUBLIC")->isDirectory);
    EXPECT_EQ(services->top->find("AUTOEXEC.NCF")->size, "1287");
    EXPECT_EQ(conn->iServerType(), 3);
    stopConnection();
  }
  {
    Server s = startScripted(R"({"syst": "215 VMS system type.",
      "listing": "LOGIN.COM;3   2/3   5-MAR-2009 10:15:21  [JOE]  (RWED,RWED,RE,)\r\n-rw-r--r--  1 joe  users  1024 Mar  5  2009 login.com\r\n"})");
    services->top->setCurrentWorkingDirectory("");
    connectAndList(address(s));
    EXPECT_EQ(services->top->shown().size(), 1u);
    EXPECT_EQ(services->top->find("login.com")->size, "1024");
    EXPECT_EQ(conn->iServerType(), 2);
  }
}

} // namespace
