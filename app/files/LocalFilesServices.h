// What the Saved Files screens need of the application delegate: the browsing connection and the
// transfer queue. The shell installs its implementation at start; until then nothing is
// connected and nothing can be queued.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform::ui {
class ViewController;
}

class LocalFilesServices {
public:
  virtual ~LocalFilesServices() = default;
  // Never null: a service that knows no connection when none was installed.
  static LocalFilesServices &shared();
  static void setShared(std::shared_ptr<LocalFilesServices> services);

  // The FTP tab's connection (FTP or SFTP) is logged in.
  virtual bool browsingConnected() { return false; }
  // Its present remote folder: the SFTP connection's when there is one, else the FTP one's.
  virtual std::string browsingFolder() { return {}; }
  // The remote folder of the remote folder screen on top of the FTP tab; false when that tab
  // shows no remote folder.
  virtual bool remoteBrowserFolder(std::string *folder) {
    (void)folder;
    return false;
  }
  // The names in that remote folder as last listed; false when the FTP tab shows no remote
  // folder.
  virtual bool remoteBrowserNames(std::vector<std::string> *names) {
    (void)names;
    return false;
  }
  // Queues one transfer on the browsing connection (actions: 3 upload, 6 make a remote folder,
  // 10 upload into a folder just made). The row's key, -1 when nothing was stored.
  virtual int addBatchItem(int action, const std::string &name, const std::string &path,
                           int64_t size, const std::string &localPath, bool kickstart) {
    (void)action, (void)name, (void)path, (void)size, (void)localPath, (void)kickstart;
    return -1;
  }
  // Starts the queue when nothing is in progress.
  virtual void startQueue() {}
  // A queued transfer uses this local file.
  virtual bool isInProgress(const std::string &path) {
    (void)path;
    return false;
  }
  // iPad: shows a screen of Saved Files (the image editor) as a right-hand file tab named `name`,
  // and closes it again; false when there is no such tab (the caller pushes and pops it).
  virtual bool showSavedFileTab(const std::shared_ptr<platform::ui::ViewController> &screen,
                                const std::string &name) {
    (void)screen, (void)name;
    return false;
  }
  virtual bool cancelFileViewTab(const std::shared_ptr<platform::ui::ViewController> &screen) {
    (void)screen;
    return false;
  }
  // The split container's button that widens the file tabs: its picture (empty: no button) and
  // its action.
  virtual std::string resizeImage() { return {}; }
  virtual void clickedResize() {}
};
