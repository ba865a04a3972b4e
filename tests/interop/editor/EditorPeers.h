// The whole application against real servers, with the FTP tab's connect screen attached: real
// time, the welcome question already answered, and the question about the last run's edited file
// not yet asked in this process. A person's ways on the FTP tab: back to the connect screen,
// connecting with typed fields, a folder listed.
#pragma once

#include "tests/app/shell/AppFixture.h"
#include "tests/interop/ftp/QueueFtpPeers.h"

#include "app/editor/EditFileView.h"
#include "app/queue/BatchListView.h"
#include "app/remote/Connect.h"
#include "app/remote/DirViewer.h"
#include "app/shell/HelpScreens.h"
#include "app/shell/ShellConnect.h"

#include "platform/foundation/UserDefaults.h"
#include "tests/support/TimeScale.h"

#include <sys/stat.h>

#include <functional>
#include <memory>
#include <typeinfo>

class EditorPeersTest : public AppTest {
protected:
  void SetUp() override {
    AppTest::SetUp();
    platform::Clock::install(nullptr); // real servers: real time
    attachConnectScreen(delegate);
    Connect::restoreDone = false;
    platform::UserDefaults::standard().setObject("1", "TutorialPrompt");
  }
  bool waitFor(const std::function<bool()> &cond, double limit = 60) {
    return platform::RunLoop::main()->runUntil(cond, testsupport::scaled(platform::seconds(limit)));
  }
  void pause(double s) {
    platform::RunLoop::main()->runUntil([] { return false; },
                                        testsupport::scaled(platform::seconds(s)));
  }
  std::shared_ptr<platform::ui::NavigationController> nav() {
    return delegate->navigationController();
  }
  template <class T> std::shared_ptr<T> onTop() {
    return std::dynamic_pointer_cast<T>(nav()->topViewController());
  }
  std::shared_ptr<Connect> connectScreen() {
    return std::dynamic_pointer_cast<Connect>(nav()->viewControllers().front());
  }
  // The screens of the FTP tab, bottom first (for messages).
  std::string stack() {
    std::string out;
    for (auto &vc : nav()->viewControllers()) {
      auto help = std::dynamic_pointer_cast<HelpViewController>(vc);
      out += std::string(out.empty() ? "" : " > ") + typeid(*vc).name() +
             (help ? "(" + help->fileUrlIn + ")" : "");
    }
    return out;
  }
  // Back on the connect screen, the person connects to `server` with `user` and `password`
  // (segment 0 FTP, 2 SFTP).
  void connectTo(const std::string &server, const std::string &user = "joe",
                 const std::string &password = "secret", int segment = 0) {
    // A help page of a failure leads back with its "Done", a folder screen with "Disconnect".
    for (int i = 0; i < 8 && nav()->topViewController() != connectScreen(); ++i)
      ASSERT_TRUE(onTop<HelpViewController>() ? probe->tap("Done") : probe->tapBack())
          << probe->lastError() << "\n"
          << stack();
    auto c = connectScreen();
    ASSERT_EQ(nav()->topViewController(), c) << stack();
    // Once the screen is what is shown (the tablet's splash takes a moment to go): it fills its
    // fields as it appears.
    ASSERT_TRUE(waitFor(
        [&] {
          auto connect = probe->rightItem();
          return connect && connect->name == "Connect";
        },
        10));
    c->serverName->setText(server);
    c->loginUser->setText(user);
    c->loginPass->setText(password);
    c->protocolType->setSelectedSegmentIndex(segment);
    c->changeProtocolType();
    ASSERT_TRUE(probe->tap("Connect")) << probe->lastError();
  }
  void connectOverFtp(const std::string &server) { connectTo(server); }
  // A folder screen on top lists `name`.
  bool listed(const std::string &name, double limit = 60) {
    return waitFor(
        [&] {
          auto screen = onTop<DirViewer>();
          if (!screen || !screen->loadedDirectory) return false;
          for (auto &e : screen->currentDirectory)
            if (e->name() == name) return true;
          return false;
        },
        limit);
  }
  // B has listed its folder on a folder screen, and what was to follow has had its time.
  void waitForListing(const queuetest::QueuePeer &b) {
    ASSERT_TRUE(waitFor([&] {
      auto screen = onTop<DirViewer>();
      return screen && screen->loadedDirectory && b.count("LIST") + b.count("MLSD") > 0;
    })) << testsupport::readFile(b.log());
    pause(0.5);
  }
  static std::string address(int port) { return "127.0.0.1:" + std::to_string(port); }
  // The editor of the front file tab (tablet) or on top of the FTP tab (phone) once it shows
  // `text`.
  std::shared_ptr<EditFileView> editorShowing(const std::string &text) {
    std::shared_ptr<EditFileView> found;
    waitFor([&] {
      auto editor = std::dynamic_pointer_cast<EditFileView>(delegate->editFileView());
      if (!editor || !editor->theText || editor->theText->text() != text) return false;
      found = editor;
      return true;
    });
    return found;
  }
  // The first row of Transfers (none: empty), and what it says.
  std::shared_ptr<BatchItem> row() {
    auto &list = delegate->batchView()->batchItemList();
    return list.empty() ? nullptr : list.front();
  }
  std::string rowSays() {
    auto r = row();
    return r ? r->statusMsg() + " / " + r->errorMsg() : "no row";
  }
};

// A server's "docs" folder holding a file (note.txt unless named) that anyone may write.
inline void holdNote(const std::string &root, const std::string &text,
                     const std::string &name = "note.txt") {
  platform::FileManager::createDirectory(root + "/docs", true);
  ::chmod((root + "/docs").c_str(), 0777);
  ASSERT_TRUE(testsupport::writeFile(root + "/docs/" + name, text));
  ::chmod((root + "/docs/" + name).c_str(), 0666);
}
