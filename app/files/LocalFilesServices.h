// What the Saved Files screens need of the application delegate: the browsing connection and the
// transfer queue. The shell installs its implementation at start; until then nothing is
// connected and nothing can be queued.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform::ui {
class ViewController;
}

// A file handed to the document viewer, with what the opener knows of it: whether the viewer
// deletes it when done, whether it offers to save it to the photo library, and the files to page
// through. Paging is by name in the file's own folder (`localFileArray`), or, with a `source`, by
// asking it for the path of the file that each element of `dataIndexArray` stands for.
struct DocumentViewRequest {
  std::string name, path;
  bool cleanupWhenDone = false;
  bool hideSaveButton = false;
  std::vector<std::string> localFileArray;
  int localFileArrayIndex = 0;
  std::vector<std::string> dataIndexArray;
  std::function<std::string(const std::string &element)> source;
};

class LocalFilesServices {
public:
  virtual ~LocalFilesServices() = default;
  // Never null: a service that knows no connection when none was installed.
  static LocalFilesServices &shared();
  static void setShared(std::shared_ptr<LocalFilesServices> services);

  // The FTP tab's connection (FTP or SFTP) is logged in.
  virtual bool browsingConnected() { return false; }
  // The FTP tab's FTP connection (not an SFTP one) is logged in.
  virtual bool ftpConnected() { return false; }
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
  // The same into the remote folder the FTP tab shows (`remoteBrowserFolder`) or one below it:
  // queued on the connection of that folder's screen, so that the file reaches the folder it
  // names on that folder's own server (the browsing connection may be another server's).
  virtual int addBatchItemInShownFolder(int action, const std::string &name,
                                        const std::string &path, int64_t size,
                                        const std::string &localPath, bool kickstart) {
    return addBatchItem(action, name, path, size, localPath, kickstart);
  }
  // The remote folder an upload from this side names: the folder the FTP tab shows, else the
  // browsing connection's present one. Queued with `addBatchItemInShownFolder`, so that it goes
  // over the connection of the screen that shows it.
  std::string uploadFolder() {
    std::string folder = browsingFolder();
    remoteBrowserFolder(&folder);
    return folder;
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
  // Opens the document viewer on the file, paging as asked. Without a shell the file goes to the
  // FTP services' plain viewer.
  virtual void showDocumentViewer(const DocumentViewRequest &request);
  // Shows a help page among the resources (or an HTML text) over the Saved Files tab, when a
  // Saved Files screen is on top of it.
  virtual void showErrorForTopSavedFilesTab(const std::string &page) { (void)page; }
  // The split container's button that widens the file tabs: its picture (empty: no button) and
  // its action.
  virtual std::string resizeImage() { return {}; }
  virtual void clickedResize() {}
};
