#include "app/editor/EditorScreens.h"

#include "app/editor/EditFileView.h"
#include "app/editor/WebDocumentViewController.h"
#include "app/foundation/EditOrigin.h"
#include "app/foundation/SettingsKeys.h"
#include "app/ftp/FTPConnection.h"
#include "app/sftp/SFTPWrapper.h"

#include "platform/device/Application.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"

using platform::UserDefaults;

namespace {
std::string setting(const std::string &key) {
  return UserDefaults::standard().stringForKey(key).value_or("");
}
// The editor on the file of the plain record; none when the file is gone or too big to edit (the
// person is told).
std::shared_ptr<EditFileView> editorOnRecordedFile() {
  const std::string path = setting(kEditingFTPFile);
  if (path.empty() || !platform::FileManager::fileExists(path)) return nullptr;
  if (EditFileView::tooBigToEdit(path)) {
    EditFileView::tellTooBigToEdit(setting(kWasEditingFileName));
    return nullptr;
  }
  return EditFileView::initWithFile(path);
}

// Whether a file tab's record is of a file of the device.
bool slotIsOfDeviceFile(int slot) {
  return !setting(keyForTab(slot, kEditingSavedFile)).empty();
}

// A server's file reopened from its record takes the text the record kept.
void resumeServerFile(EditFileView &editor, std::optional<int> slot) {
  if (auto kept = EditState::recorded(slot)) editor.resumeKeptEdit(*kept);
}
} // namespace

namespace {
// The screens that hide the status bar now, and whether it was hidden before the first of them.
int statusBarHiders = 0;
bool statusBarWasHidden = false;
} // namespace

void StatusBarHiding::appearing() {
  if (hiding_ || UserDefaults::standard().integerForKey(kEditorHideStatusKey) != 1) return;
  hiding_ = true;
  auto &app = platform::Application::shared();
  if (statusBarHiders++ == 0) statusBarWasHidden = app.isStatusBarHidden();
  app.setStatusBarHidden(true);
}

void StatusBarHiding::disappearing() {
  if (!hiding_) return;
  hiding_ = false;
  if (--statusBarHiders == 0)
    platform::Application::shared().setStatusBarHidden(statusBarWasHidden);
}

std::shared_ptr<EditFileView> editKeptDeviceFile(std::optional<int> slot) {
  auto kept = EditState::recorded(slot);
  if (!kept || kept->savedFile.empty() || !platform::FileManager::fileExists(kept->workingFile))
    return nullptr;
  if (EditFileView::tooBigToEdit(kept->savedFile)) {
    EditFileView::tellTooBigToEdit(kept->name);
    return nullptr;
  }
  auto editor = EditFileView::initWithFile(kept->savedFile);
  if (!editor) return nullptr;
  editor->setTextFileName(kept->name.empty() ? platform::lastPathComponent(kept->savedFile)
                                             : kept->name);
  editor->setEditingSavedFile(true);
  editor->setEditingSavedFilePath(kept->savedFile);
  editor->resumeKeptEdit(*kept);
  return editor;
}

std::shared_ptr<platform::ui::ViewController> makeTextEditorScreen(const std::string &path) {
  auto editor = EditFileView::initWithFile(path);
  if (editor) editor->setTextFileName(platform::lastPathComponent(path));
  return editor;
}

std::shared_ptr<platform::ui::ViewController> makeDocumentViewerScreen(const std::string &name,
                                                                       const std::string &path) {
  auto viewer = WebDocumentViewController::initWithNibName("WebDocumentView", name, path);
  // Only a download in the temporary folder is the viewer's to delete; every other file (Saved
  // Files above all) stays where it is.
  const std::string tmp = platform::Paths::tmp() + "/";
  viewer->editingSavedFile = path.compare(0, tmp.size(), tmp) != 0;
  return viewer;
}

std::vector<std::string> restoreEditFiles(
    const std::function<void(std::shared_ptr<EditFileView>, const std::string &)> &show) {
  auto &defaults = UserDefaults::standard();
  const std::string server = setting(kServerNameKey), user = setting(kUserNameKey),
                    pass = setting(kUserPassKey);
  std::vector<std::string> notReopened;
  const long slots = defaults.integerForKey("TabIndexMax");
  for (int i = 0; i < slots; ++i) {
    if (defaults.integerForKey(keyIndexIsUsed(i)) != 1) continue;
    // A file of the device: it opens with the text typed in it, or (its working copy gone) not
    // at all.
    if (slotIsOfDeviceFile(i)) {
      auto editor = editKeptDeviceFile(i);
      if (!editor) {
        defaults.setObject("0", keyIndexIsUsed(i));
        continue;
      }
      if (show) show(editor, editor->textFileName);
      continue;
    }
    auto origin = storedEditOrigin([i](const char *key) { return setting(keyForTab(i, key)); });
    if (!origin) {
      notReopened.push_back(setting(keyForTab(i, kWasEditingFileName)));
      defaults.setObject("0", keyIndexIsUsed(i));
      continue;
    }
    defaults.setObject(setting(keyForTab(i, kWasEditingServerNameKey)), kServerNameKey);
    defaults.setObject(setting(keyForTab(i, kWasEditingUserNameKey)), kUserNameKey);
    defaults.setObject(setting(keyForTab(i, kWasEditingUserPassKey)), kUserPassKey);
    // A file too big to edit opens nowhere (the person is told): the slot is no longer in use.
    const std::string working = setting(keyForTab(i, kEditingFTPFile));
    std::shared_ptr<EditFileView> editor;
    if (EditFileView::tooBigToEdit(working))
      EditFileView::tellTooBigToEdit(setting(keyForTab(i, kWasEditingFileName)));
    else
      editor = EditFileView::initWithFile(working);
    if (!editor) {
      defaults.setObject("0", keyIndexIsUsed(i));
      continue;
    }
    editor->setRemoteFile(editRecordName(setting(keyForTab(i, kWasEditingFileName)),
                                         setting(keyForTab(i, kWasEditingFileNameBytesKey))),
                          editRecordName(setting(keyForTab(i, kWasEditingInFolder)),
                                         setting(keyForTab(i, kWasEditingInFolderBytesKey))));
    editor->setEditingSavedFile(false);
    editor->serverPort = origin->port;
    editor->serverProtocol = origin->protocol;
    editor->restoredChanged = setting(keyForTab(i, kWasEditingChangedKey)) != "0";
    resumeServerFile(*editor, i);
    if (show) show(editor, editor->textFileName);
  }
  defaults.setObject(server, kServerNameKey);
  defaults.setObject(user, kUserNameKey);
  defaults.setObject(pass, kUserPassKey);
  return notReopened;
}

std::shared_ptr<EditFileView> editPreviouslySavedFile(std::shared_ptr<FTPConnection> connection,
                                                      const std::string &loginUser) {
  auto editor = editorOnRecordedFile();
  if (!editor) return nullptr;
  editor->setFReadOnly(!connection || loginUser.empty());
  editor->setTheConnection(connection);
  editor->setRemoteFile(
      editRecordName(setting(kWasEditingFileName), setting(kWasEditingFileNameBytesKey)),
      editRecordName(setting(kWasEditingInFolder), setting(kWasEditingInFolderBytesKey)));
  editor->restoredChanged = setting(kWasEditingChangedKey) != "0";
  resumeServerFile(*editor, std::nullopt);
  return editor;
}

std::shared_ptr<EditFileView> editPreviouslySavedFile(std::shared_ptr<SFTPWrapper> connection) {
  auto editor = editorOnRecordedFile();
  if (!editor) return nullptr;
  editor->setFReadOnly(!connection || connection->username().empty());
  editor->setSftpConnection(connection);
  editor->setTextFileName(setting(kWasEditingFileName));
  editor->setDirectoryOfTheFile(setting(kWasEditingInFolder));
  editor->restoredChanged = setting(kWasEditingChangedKey) != "0";
  resumeServerFile(*editor, std::nullopt);
  return editor;
}
