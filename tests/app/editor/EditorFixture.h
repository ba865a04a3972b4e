// The editor's screens driven as a person drives them: a fresh data root and settings, the main
// thread with a manual clock, a navigation stack in a key window, a probe, and a double of the
// application's editor services that records what the screens ask of it.
#pragma once

#include "tests/app/foundation/ScreenFixture.h"

#include "app/editor/EditFileView.h"
#include "app/editor/EditorServices.h"
#include "app/editor/WebDocumentViewController.h"
#include "app/foundation/Globals.h"
#include "app/foundation/SettingsKeys.h"

#include "platform/foundation/FileManager.h"
#include "platform/foundation/UserDefaults.h"

#include <string>
#include <vector>

struct EditorServicesDouble : EditorServices {
  std::vector<std::string> closedTabs;
  std::vector<std::shared_ptr<platform::media::Image>> savedPictures;
  std::shared_ptr<BatchListView> queue;
  // Files below this folder belong to the cloud container (none while it is empty).
  std::string cloudFolder;
  bool isCloudFile(const std::string &path) override {
    return !cloudFolder.empty() && path.rfind(cloudFolder + "/", 0) == 0;
  }
  void cancelFileViewTab(const std::shared_ptr<platform::ui::ViewController> &screen) override {
    closedTabs.push_back(screen ? screen->title() : "");
  }
  std::shared_ptr<BatchListView> batchView() override { return queue; }
  bool writeImageToSavedPhotosAlbum(const std::shared_ptr<platform::media::Image> &i) override {
    savedPictures.push_back(i);
    return true;
  }
};

class EditorTest : public ScreenTest {
protected:
  void SetUp() override {
    ScreenTest::SetUp();
    InitGlobals();
    RegisterDefaultSettings();
    EditorServices::setShared(services);
    files = documents() + "/Files";
    platform::FileManager::createDirectory(files, true);
  }
  void TearDown() override {
    EditorServices::setShared(nullptr);
    ScreenTest::TearDown();
  }
  static void set(const std::string &key, const std::string &value) {
    platform::UserDefaults::standard().setObject(value, key);
  }
  static std::string get(const std::string &key) {
    return platform::UserDefaults::standard().stringForKey(key).value_or("");
  }
  std::string write(const std::string &name, const std::string &bytes) {
    const std::string path = files + "/" + name;
    testsupport::writeFile(path, bytes);
    return path;
  }
  // The editor on a file, pushed as the Saved Files screen or the FTP tab pushes it.
  std::shared_ptr<EditFileView> open(const std::string &path, bool local = true,
                                     bool readOnly = false) {
    auto editor = EditFileView::initWithFile(path);
    editor->setTextFileName(platform::lastPathComponent(path));
    editor->setEditingSavedFile(local);
    if (local) editor->setEditingSavedFilePath(path);
    editor->setFReadOnly(readOnly);
    editor->setDirectoryOfTheFile("/remote");
    nav->pushViewController(editor, false);
    platform::RunLoop::main()->runPending();
    return editor;
  }
  // The newest alert, answered with the button; its title and message.
  std::string answer(const std::string &button) {
    platform::RunLoop::main()->runPending();
    auto alerts = probe->pendingAlerts();
    if (alerts.empty()) return "(no alert)";
    EXPECT_TRUE(probe->answerAlert(button)) << probe->lastError();
    return alerts.back().title + ": " + alerts.back().message;
  }
  std::string text(const std::shared_ptr<EditFileView> &e) { return e->theText->text(); }
  platform::ui::Range selection(const std::shared_ptr<EditFileView> &e) {
    return e->theText->selectedRange();
  }

  std::shared_ptr<EditorServicesDouble> services = std::make_shared<EditorServicesDouble>();
  std::string files;
};
