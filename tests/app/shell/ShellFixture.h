// Every case gets its own data root with Saved Files, the source tree's resources, fresh settings
// and a fresh application object with our delegate installed; the fixed server ports are moved to
// free ones.
#pragma once

#include "tests/support/TestSupport.h"

#include "app/foundation/Globals.h"
#include "app/foundation/Scrambler.h"
#include "app/foundation/SettingsKeys.h"
#include "app/foundation/TCPServer.h"
#include "app/queue/BatchListView.h"
#include "app/sharing/FTPServer.h"
#include "app/shell/FerrowenAppDelegate.h"

#include "platform/device/Application.h"
#include "platform/device/DeviceProfile.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/Window.h"

#include "platform/media/MoviePlayer.h"
#include "platform/media/PhotoLibrary.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

class ShellTest : public ::testing::Test {
protected:
  void SetUp() override {
    platform::RunLoop::makeMainThread();
    tmp_ = std::make_unique<testsupport::TempDir>("ferrowen-srv9a");
    home_ = tmp_->path() + "/home";
    platform::Paths::setHome(home_);
    platform::Paths::setResources(std::string(FERROWEN_SOURCE_DIR) + "/resources");
    platform::UserDefaults::resetStandard();
    platform::DeviceProfile::setCurrent(platform::DeviceProfile::iPhone());
    InitGlobals();
    RegisterDefaultSettings();
    TCPServer::setPortOverride(FerrowenAppDelegate::kFTPServerPort, 0);
    TCPServer::setPortOverride(FerrowenAppDelegate::kWebServerPort, 0);
    platform::Application::shared().reset();
    delegate = std::make_shared<FerrowenAppDelegate>();
    platform::Application::shared().setDelegate(delegate);
    root = platform::Paths::documents() + "/Files";
    // The user's own pictures never reach a test: the case's data root holds the pictures folder
    // (missing at first, as on a fresh account).
    pictures = tmp_->path() + "/Pictures";
    platform::media::PhotoLibrary::setPicturesFolder(pictures);
    // Media never reach a desktop player from a test.
    platform::MoviePlayer::setLauncher([](const std::vector<std::string> &) { return true; });
  }
  void TearDown() override {
    platform::MoviePlayer::finish();
    platform::MoviePlayer::setLauncher(nullptr);
    for (auto &alert : std::vector(platform::ui::Window::keyWindow()->alerts()))
      alert->dismissWithClickedButtonIndex(0, false);
    FTPServer::disconnectAll();
    platform::Application::shared().setDelegate(nullptr);
    delegate.reset();
    platform::RunLoop::main()->runPending();
    // The queue's connection threads end shortly after their queue, and until then still log and
    // write into the data root that goes below.
    platform::RunLoop::main()->runUntil([] { return BatchListView::liveConnectionThreads() == 0; },
                                        testsupport::scaled(platform::seconds(10)));
    // The workers this case started (a page's history save, a site icon, a picture conversion)
    // still read the settings, the data root and the clock that go below.
    if (!platform::waitForBackgroundWork(platform::seconds(20)))
      ADD_FAILURE() << "background work of this case still runs at its end";
    platform::Application::shared().reset();
    platform::Clock::install(nullptr);
    TCPServer::setPortOverride(FerrowenAppDelegate::kFTPServerPort, std::nullopt);
    TCPServer::setPortOverride(FerrowenAppDelegate::kWebServerPort, std::nullopt);
    platform::media::PhotoLibrary::setPicturesFolder(std::nullopt);
    platform::Paths::setHome("");
    platform::Paths::setResources("");
    platform::UserDefaults::resetStandard();
    globalUserDefaults = &platform::UserDefaults::standard();
    tmp_.reset();
  }

  void set(const std::string &key, const std::string &value) {
    globalUserDefaults->setObject(value, key);
  }
  void setSharing(const std::string &user, const std::string &password) {
    set(kFileShareUserKey, user);
    set(kFileSharePassKey, password.empty() ? "" : myEncryptString1(password));
  }
  std::string file(const std::string &relative) const { return root + "/" + relative; }
  void makeFile(const std::string &relative, const std::string &content) {
    platform::FileManager::createDirectory(platform::deleteLastPathComponent(file(relative)));
    ASSERT_TRUE(testsupport::writeFile(file(relative), content)) << relative;
  }

  std::unique_ptr<testsupport::TempDir> tmp_;
  std::string home_;
  std::string root;
  std::string pictures;
  std::shared_ptr<FerrowenAppDelegate> delegate;
};
