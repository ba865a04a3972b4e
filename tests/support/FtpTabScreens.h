// The FTP tab as a person drives it, for scenario tests against real servers: the connect screen
// as the root of the tab in a key window, the transfer queue, and the application's services the
// tab's screens reach (the folder screen on top, the queue, the files handed to the editor and the
// viewer, the help pages of errors), all driven through the probe.
#pragma once

#include "app/foundation/Globals.h"
#include "app/foundation/SettingsKeys.h"
#include "app/ftp/FTPConnection.h"
#include "app/queue/BatchListView.h"
#include "app/queue/BatchServices.h"
#include "app/remote/Connect.h"
#include "app/remote/DirViewer.h"

#include "platform/device/DeviceProfile.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/Probe.h"
#include "platform/ui/Window.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tabtest {

using namespace platform;
using namespace platform::ui;

// The editor as the tab hands it a file: whether it was told it may not save the file back.
struct EditorSeen : EditFileViewScreen {
  std::optional<bool> readOnly;
  void setFReadOnly(bool on) override { readOnly = on; }
};

class TabServices : public FTPAppServices, public BatchAppServices {
public:
  std::shared_ptr<DirViewerScreen> topDirViewer() override {
    return nav ? std::dynamic_pointer_cast<DirViewerScreen>(nav->topViewController()) : nullptr;
  }
  std::shared_ptr<BatchQueueReceiver> batchView() override { return queue; }
  std::optional<BrowsingTransfer> browsingTransfer() override {
    auto c = connect ? connect->theConnection : nullptr;
    if (!c) return std::nullopt;
    return BrowsingTransfer{c->isFileTransferInProgress(), c->fileInFolderOrigin()};
  }
  // As the application's: the folder screen on top, and a stop of the tab's own transfer.
  std::shared_ptr<RemoteFolderScreen> topRemoteFolderScreen() override {
    return nav ? std::dynamic_pointer_cast<RemoteFolderScreen>(nav->topViewController()) : nullptr;
  }
  void stopBrowsingTransfer() override {
    if (auto c = connect ? connect->theConnection : nullptr) c->disconnectFromServer();
  }
  std::shared_ptr<EditFileViewScreen> openTextEditor(const std::string &path) override {
    edited.push_back(testsupport::readFile(path));
    editors.push_back(std::make_shared<EditorSeen>());
    return editors.back();
  }
  void showDocumentViewer(const std::string &, const std::string &path) override {
    viewed.push_back(testsupport::readFile(path));
  }
  void showErrorForTopFtpTab(const std::string &page) override { helpPages.push_back(page); }
  void popFtpTab(bool animated) override {
    if (nav) nav->popViewControllerAnimated(animated);
  }
  void popFtpTabToRoot(bool animated) override {
    if (nav) nav->popToRootViewControllerAnimated(animated);
  }

  std::shared_ptr<NavigationController> nav;
  std::shared_ptr<BatchListView> queue;
  std::shared_ptr<Connect> connect;
  std::vector<std::string> edited, viewed, helpPages;
  std::vector<std::shared_ptr<EditorSeen>> editors; // one per file in `edited`
};

class TabFixture : public ::testing::Test {
protected:
  void SetUp() override {
    RunLoop::makeMainThread();
    Paths::setHome(home.path());
    Paths::setResources(std::string(FERROWEN_SOURCE_DIR) + "/resources");
    UserDefaults::resetStandard();
    // A slow phone of old: files over 262,144 bytes are too big to open whole. It runs its
    // last system, which has SFTP.
    auto phone = DeviceProfile::iPhone();
    phone.scale = 1;
    phone.platform = "iPhone1,2";
    phone.systemVersion = "4.2.1";
    DeviceProfile::setCurrent(phone);
    InitGlobals();
    RegisterDefaultSettings();
    for (auto [key, value] : {std::pair{"TutorialPrompt", "1"}, {kRawMenuOptionKey, "1"}})
      UserDefaults::standard().setObject(value, key);
    Connect::restoreDone = true;
    FileManager::createDirectory(Paths::documents() + "/Files", true);
    FTPAppServices::setShared(services);
    BatchAppServices::setShared(services);
    // Tall enough that every row of the test's folders is laid out: the probe taps only rows in
    // view.
    window = std::make_shared<Window>(Size{320, 1600});
    window->makeKeyAndVisible();
    services->connect = std::make_shared<Connect>();
    services->connect->hooks.reachable = [] { return true; };
    services->nav = std::make_shared<NavigationController>(services->connect);
    window->setRootViewController(services->nav);
    services->queue = BatchListView::create();
    probe = std::make_unique<Probe>(window);
  }
  void TearDown() override {
    // What the folder screens started over SFTP ends before the screens go.
    waitFor([&] {
      for (auto &vc : services->nav->viewControllers())
        if (auto s = std::dynamic_pointer_cast<DirViewer>(vc); s && s->sftpOperationsRunning())
          return false;
      return true;
    });
    probe.reset();
    std::make_shared<Window>()->makeKeyAndVisible();
    window.reset();
    services->nav.reset();
    services->queue.reset();
    services->connect.reset(); // lets the browsing connection and its thread go
    RunLoop::main()->runUntil([] { return BatchListView::liveConnectionThreads() == 0; },
                              testsupport::scaled(seconds(10)));
    RunLoop::main()->runPending();
    FTPAppServices::setShared(nullptr);
    BatchAppServices::setShared(nullptr);
    DeviceProfile::setCurrent(DeviceProfile::iPhone());
    Paths::setHome("");
  }
  // Runs the main loop until `cond` holds, for at most `limit` seconds (scaled).
  bool waitFor(const std::function<bool()> &cond, double limit = 30) {
    return RunLoop::main()->runUntil(cond, testsupport::scaled(seconds(limit)));
  }
  std::shared_ptr<DirViewer> top() {
    return std::dynamic_pointer_cast<DirViewer>(services->nav->topViewController());
  }
  std::vector<std::string> names() {
    std::vector<std::string> out;
    if (auto s = top())
      for (auto &e : s->currentDirectory)
        out.push_back(e->name());
    return out;
  }
  bool listed(const std::string &name) {
    auto n = names();
    return std::find(n.begin(), n.end(), name) != n.end();
  }
  // A prompt's text replaced (an empty field has nothing to clear) and saved.
  bool answerPrompt(const std::string &field, const std::string &text) {
    probe->clear(field);
    return probe->type(field, text) && probe->tap("Done");
  }
  // The row's own menu button, once it is on the screen.
  bool openRowMenu(const std::string &name) {
    return waitFor([&] { return probe->tap(name + " Menu"); });
  }
  // Types the connect fields and taps Connect.
  bool connectTo(const std::string &server, const std::string &user, const std::string &pass) {
    return probe->type("Server", server) && probe->type("User Name", user) &&
           probe->type("Password", pass) && probe->tap("Connect");
  }
  std::string savedFile(const std::string &relative) {
    return testsupport::readFile(Paths::documents() + "/Files/" + relative);
  }

  testsupport::TempDir home{"ferrowen-ftptab"};
  std::shared_ptr<TabServices> services = std::make_shared<TabServices>();
  std::shared_ptr<Window> window;
  std::unique_ptr<Probe> probe;
};

} // namespace tabtest
