#include "app/shell/ShellEditor.h"

#include "app/cloud/iCloudFolderView.h"
#include "app/editor/EditorServices.h"
#include "app/remote/Connect.h"
#include "app/remote/DirViewer.h"
#include "app/shell/FerrowenAppDelegate.h"

#include "platform/media/CloudContainer.h"
#include "platform/media/Image.h"
#include "platform/media/PhotoLibrary.h"

using namespace platform::ui;

namespace {

class ShellEditorServices : public EditorServices {
public:
  explicit ShellEditorServices(std::weak_ptr<FerrowenAppDelegate> d) : d_(std::move(d)) {}
  // The picture as the viewer shows it (upright, already scaled down where asked) goes into the
  // pictures folder's own album.
  bool writeImageToSavedPhotosAlbum(const std::shared_ptr<platform::media::Image> &image) override {
    if (!image) return false;
    return !platform::media::PhotoLibrary::addPicture(image->jpegRepresentation(0.99), "jpg")
                .empty();
  }
  void cancelFileViewTab(const std::shared_ptr<ViewController> &screen) override {
    if (auto d = d_.lock()) d->cancelFileViewTab(screen);
  }
  std::shared_ptr<BatchListView> batchView() override {
    auto d = d_.lock();
    return d ? d->batchView() : nullptr;
  }
  // The nearest folder screen of the FTP tab on that service takes the operation into the turn
  // its operations keep.
  bool runInFolderScreensTurn(const std::shared_ptr<SFTPWrapper> &service, const std::string &what,
                              std::function<void(SFTPWrapper &)> op) override {
    auto d = d_.lock();
    auto nav = d ? d->navigationController() : nullptr;
    if (!service || !nav) return false;
    const auto stack = nav->viewControllers();
    for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
      auto screen = std::dynamic_pointer_cast<DirViewer>(*it);
      if (!screen || screen->sftpConnection != service) continue;
      screen->runOnService(what, std::move(op));
      return true;
    }
    return false;
  }
  std::string resizeImage() override {
    auto d = d_.lock();
    return d && d->mySplitVC() ? d->mySplitVC()->getResizeImage() : EditorServices::resizeImage();
  }
  void clickedResize() override {
    if (auto d = d_.lock(); d && d->mySplitVC()) d->mySplitVC()->clickedResize();
  }
  // The FTP tab goes back to its connect screen, which connects to the record's server.
  void continueRecordedEdit() override {
    auto d = d_.lock();
    auto nav = d ? d->navigationController() : nullptr;
    if (!nav || nav->viewControllers().empty()) return;
    nav->popToRootViewControllerAnimated(true);
    if (auto connect = std::dynamic_pointer_cast<Connect>(nav->viewControllers().front()))
      connect->continueRecordedEdit();
  }
  void editorGoingAway(const ViewController *editor) override {
    if (auto d = d_.lock(); d && d->editFileView().get() == editor) d->setEditFileView({});
  }
  // A document of the cloud folder that Cloud Files lists (the setting's folder, once the
  // availability test has chosen it).
  bool isCloudFile(const std::string &path) override {
    return platform::CloudContainer::contains(path);
  }
  std::shared_ptr<platform::DispatchQueue> editQueue() override {
    return iCloudFolderView::edit_queue();
  }

private:
  std::weak_ptr<FerrowenAppDelegate> d_;
};

} // namespace

std::shared_ptr<EditorServices>
makeShellEditorServices(std::weak_ptr<FerrowenAppDelegate> delegate) {
  return std::make_shared<ShellEditorServices>(std::move(delegate));
}
