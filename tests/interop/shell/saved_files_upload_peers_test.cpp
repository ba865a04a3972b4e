// The whole application against vsftpd as installed (no UTF-8 in its "FEAT"): a person browses
// the FTP tab into a folder the server names in UTF-8 ("dé", which ISO Latin-1 could spell too),
// then uploads a file from Saved Files. The file goes into that folder, by the bytes the server
// named it with, and not into the folder beside it whose Latin-1 name reads the same.
#include "tests/app/shell/AppFixture.h"
#include "tests/interop/ftp/VsftpdPeer.h"
#include "tests/support/Peers.h"

#include "app/remote/Connect.h"
#include "app/remote/DirViewer.h"
#include "app/shell/ShellConnect.h"

#include "platform/foundation/FileManager.h"
#include "tests/support/TimeScale.h"

#include <sys/stat.h>
#include <unistd.h>

using namespace platform;
using namespace platform::ui;

namespace {

class SavedFilesUploadPeers : public AppTest {
protected:
  void SetUp() override {
    AppTest::SetUp();
    Clock::install(nullptr); // a real server: real time
    attachConnectScreen(delegate);
    Connect::restoreDone = true;
  }
  bool waitFor(const std::function<bool()> &cond, double limit = 30) {
    return RunLoop::main()->runUntil(cond, testsupport::scaled(seconds(limit)));
  }
  std::shared_ptr<DirViewer> top() {
    return std::dynamic_pointer_cast<DirViewer>(
        delegate->navigationController()->topViewController());
  }
  // The row of the folder the server named in `bytes`, once the screen on top lists it.
  std::optional<int> rowNamed(const std::string &bytes) {
    auto s = top();
    if (!s || s->currentToolbar != 2) return std::nullopt;
    for (size_t i = 0; i < s->currentDirectory.size(); ++i)
      if (s->currentDirectory[i]->nameBytes() == bytes) return int(i);
    return std::nullopt;
  }
};

TEST_F(SavedFilesUploadPeers, AFileGoesIntoTheFolderOnScreenByItsOwnBytes) {
  REQUIRE_PEER(testsupport::program("/usr/sbin/vsftpd", "vsftpd"));
  REQUIRE_MACHINE(::geteuid() == 0, "vsftpd and its local user need root");
  testsupport::TempDir dir("ferrowen-upload-vsftpd");
  ::chmod(dir.path().c_str(), 0755);
  const std::string root = dir.file("root"), utf8 = "d\xC3\xA9", latin1 = "d\xE9";
  for (const std::string &folder : {utf8, latin1})
    FileManager::createDirectory(root + "/" + folder, true);
  auto server = vsftpdpeer::serveAsInstalled(root, dir.path());
  ASSERT_TRUE(server.ok) << server.why;
  const int port = server.port;
  UserDefaults::standard().setObject("1", "TutorialPrompt");
  FileManager::createDirectory(Paths::documents() + "/Files", true);
  ASSERT_TRUE(testsupport::writeFile(Paths::documents() + "/Files/up.txt", "from Saved Files"));

  launch(DeviceProfile::iPhone());
  ASSERT_TRUE(probe->type("Server", "127.0.0.1:" + std::to_string(port)));
  ASSERT_TRUE(probe->type("User Name", vsftpdpeer::kUser));
  ASSERT_TRUE(probe->type("Password", vsftpdpeer::kPass));
  ASSERT_TRUE(probe->tap("Connect")) << probe->lastError();
  ASSERT_TRUE(waitFor([&] { return rowNamed(utf8).has_value(); }))
      << (delegate->ftpConnection() ? delegate->ftpConnection()->transferLog() : "");
  ASSERT_TRUE(probe->tapRow(IndexPath{0, *rowNamed(utf8)})) << probe->lastError();
  ASSERT_TRUE(waitFor([&] {
    auto s = top();
    return s && s->loadedDirectory && s->currentToolbar == 2 && s->currentRemoteFolder().bytes() &&
           s->currentRemoteFolder().bytes()->ends_with("/" + utf8);
  })) << delegate->ftpConnection()->transferLog();

  ASSERT_TRUE(probe->tapTab("Saved Files")) << probe->lastError();
  ASSERT_TRUE(waitFor([&] { return probe->tapRow("up.txt"); })) << probe->lastError();
  ASSERT_TRUE(probe->tap("Upload")) << probe->lastError();
  EXPECT_TRUE(waitFor([&] {
    return testsupport::readFile(root + "/" + utf8 + "/up.txt") == "from Saved Files";
  })) << delegate->ftpConnection()->transferLog();
  EXPECT_FALSE(FileManager::fileExists(root + "/" + latin1 + "/up.txt"));
  server.process.stop();
}

} // namespace
