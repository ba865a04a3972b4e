// What the text editor and the document viewer need of the application around them, as one small
// interface the shell installs: closing their file tab on iPad, the transfer queue for uploads,
// the turn of the folder screens' SFTP operations, the split container's resize button, the photo
// library and the cloud container. Tests install doubles. Main thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace platform::ui {
class ViewController;
}
namespace platform::media {
class Image;
}
namespace platform {
class DispatchQueue;
}
class BatchListView;
class SFTPWrapper;

class EditorServices {
public:
  virtual ~EditorServices() = default;

  // The process's services (none until the shell, or a test, installs them).
  static std::shared_ptr<EditorServices> shared();
  static void setShared(std::shared_ptr<EditorServices> services);

  // iPad: the application delegate closes the screen's file tab (`cancelFileViewTab:`).
  virtual void cancelFileViewTab(const std::shared_ptr<platform::ui::ViewController> &) {}
  // The transfer queue screen, or none.
  virtual std::shared_ptr<BatchListView> batchView() { return nullptr; }
  // Runs `op` on the SFTP service in turn with the operations of the folder screens that work on
  // it (after those asked for before, before those asked for later), on a thread of its own, the
  // service's reports going to the folder screen that runs it. False when no folder screen works
  // on that service: `op` has not run, and the caller runs it itself.
  virtual bool runInFolderScreensTurn(const std::shared_ptr<SFTPWrapper> &service,
                                      const std::string &what,
                                      std::function<void(SFTPWrapper &)> op) {
    (void)service;
    (void)what;
    (void)op;
    return false;
  }
  // The split container's resize button: its present image and its action.
  virtual std::string resizeImage() { return "window-full-4.png"; }
  virtual void clickedResize() {}
  // An editor goes away: the delegate forgets it as the current editor.
  virtual void editorGoingAway(const platform::ui::ViewController *) {}
  // iPhone: back to the file the edit record keeps (a pending edit), as the start offers it: the
  // connect screen connects to its server and the file opens there.
  virtual void continueRecordedEdit() {}
  // Writes the picture into the photo library's saved-photos album; false when there is none.
  virtual bool writeImageToSavedPhotosAlbum(const std::shared_ptr<platform::media::Image> &) {
    return false;
  }
  // True for a file of the cloud container (read and written only through coordination).
  virtual bool isCloudFile(const std::string &) { return false; }
  // The queue on which the editor and the viewer read and write cloud files; none: they do so
  // on the calling thread, still coordinated.
  virtual std::shared_ptr<platform::DispatchQueue> editQueue() { return nullptr; }
};
