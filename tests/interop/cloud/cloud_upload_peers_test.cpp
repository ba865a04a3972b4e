// Cloud Files' Upload against pyftpdlib: the coordinated file is handed to the FTP engine, which
// stores it on the real server whole.
#include "tests/interop/ftp/TaskPeers.h"

#include "app/cloud/iCloudFolderView.h"
#include "app/files/LocalFilesServices.h"
#include "app/foundation/Globals.h"

#include <filesystem>

using namespace taskpeers;
namespace fs = std::filesystem;

namespace {

// The browsing connection of the FTP tab: queued uploads go straight to the engine.
struct EngineUploads : LocalFilesServices {
  std::shared_ptr<FTPConnection> conn;
  bool browsingConnected() override { return conn && conn->fIsLoggedIn(); }
  bool ftpConnected() override { return browsingConnected(); }
  std::string browsingFolder() override { return "/"; }
  bool remoteBrowserFolder(std::string *folder) override {
    *folder = "/";
    return true;
  }
  int addBatchItem(int action, const std::string &name, const std::string &path, int64_t,
                   const std::string &local, bool) override {
    EXPECT_EQ(action, 3);
    conn->uploadFile(name, local, path, false, 0);
    return 1;
  }
};

class CloudUploadPeersTest : public TaskPeerTest {};

TEST_F(CloudUploadPeersTest, UploadStoresTheCloudFileOnTheServer) {
  Server server = startPyftpdlib();
  startConnection(address(server), false);
  conn->connect();
  ASSERT_TRUE(waitFor([&] { return conn->fIsLoggedIn() && idle(); })) << conn->transferLog();
  auto uploads = std::make_shared<EngineUploads>();
  uploads->conn = conn;
  LocalFilesServices::setShared(uploads);
  InitGlobals();

  const std::string cloud = Paths::home() + "/Cloud";
  const std::string content = randomBytes(300000, 11);
  fs::create_directories(cloud + "/sub");
  testsupport::writeFile(cloud + "/sub/report.bin", content);
  ASSERT_TRUE(iCloudFolderView::isiCloudAvailable());
  auto screen = iCloudFolderView::make();
  window->setRootViewController(std::make_shared<ui::NavigationController>(screen));
  ASSERT_TRUE(waitFor([&] { return !probe->visibleRows().empty(); }));
  ASSERT_TRUE(probe->tapRow("report.bin"));
  ASSERT_TRUE(probe->tap("Upload")) << probe->lastError();
  EXPECT_TRUE(waitFor([&] {
    return testsupport::readFile(server.root + "/report.bin") == content && idle();
  })) << conn->transferLog();
  EXPECT_TRUE(fs::exists(cloud + "/sub/report.bin")) << "the cloud file stays";
  LocalFilesServices::setShared(nullptr);
}

} // namespace
