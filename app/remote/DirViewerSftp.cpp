// The remote folder over SFTP: its operations run one at a time on worker threads against the
// browsing service, and the service's reports come back here on the main thread.
#include "app/remote/DirViewer.h"

#include "app/foundation/AppDelegateServices.h"
#include "app/foundation/StringUtils.h"
#include "app/foundation/WorkingCopy.h"

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Text.h"

#include <algorithm>
#include <fstream>
#include <future>
#include <mutex>

namespace {
// The browsing service takes one operation at a time: the screens' operations run one after
// another, each with its reports delivered before the next one starts, so that every report
// reaches the screen that asked and none is refused for a busy service.
std::mutex &screenOperations() {
  static std::mutex m;
  return m;
}

// Waits (bounded) until the main thread has run everything posted to it before now.
void drainMainQueue() {
  auto done = std::make_shared<std::promise<void>>();
  auto future = done->get_future();
  platform::dispatchAsyncMain([done] { done->set_value(); });
  future.wait_for(std::chrono::seconds(30));
}

// The first or last 64 KiB of a file, as the FTP connection fetches them.
constexpr size_t kPartBytes = 65536;
} // namespace

void DirViewer::runOnService(const std::string &what, std::function<void(SFTPWrapper &)> op) {
  auto service = sftpConnection;
  if (!service) return;
  ++sftpRunning_;
  std::weak_ptr<DirViewer> weak = weakSelf();
  platform::startThread(
      "sftp " + what,
      [service, weak, op = std::move(op)] {
        {
          std::lock_guard lock(screenOperations());
          // A screen that has gone hears nothing; its operation still runs (a confirmed
          // deletion, say).
          service->setDelegate(std::weak_ptr<SFTPWrapperDelegate>(weak));
          op(*service);
          drainMainQueue();
        }
        platform::dispatchAsyncMain([weak] {
          auto self = weak.lock();
          if (!self) return;
          self->sftpRunning_ = std::max(0, self->sftpRunning_ - 1);
          // The operation has ended and its reports are in: a loaded folder gets its toolbar
          // back, whatever the screen was shown meanwhile.
          if (self->sftpRunning_ == 0 && self->currentToolbar != 2 && self->loadedDirectory &&
              !self->errorShown_)
            self->showAppropriateToolbar();
        });
      },
      false);
}

void DirViewer::refreshSftp() {
  // Refresh requests that come while one is waiting to run are answered by that one (a batch of
  // deletions asks once per file).
  if (refreshQueued_->exchange(true)) return;
  const std::string folder = SFTPWrapper::wireOf(currentRemoteFolder());
  runOnService("list", [folder, queued = refreshQueued_](SFTPWrapper &s) {
    *queued = false;
    s.getThisDirectory(folder);
  });
}

void DirViewer::showSftpError(const std::string &text, bool folderToolbarLater) {
  showWorkingTextToolbar();
  updateProgressText(text);
  if (activity_) activity_->stopAnimating();
  errorShown_ = true;
  if (!folderToolbarLater) return;
  // The error stays a while, then the folder toolbar (with its refresh button) returns, unless
  // something else was shown meanwhile.
  std::weak_ptr<DirViewer> weak = weakSelf();
  const unsigned generation = statusGeneration_;
  platform::RunLoop::main()->performAfter(platform::seconds(kErrorStatusSeconds),
                                          [weak, generation] {
                                            auto self = weak.lock();
                                            if (!self || self->statusGeneration_ != generation)
                                              return;
                                            self->errorShown_ = false;
                                            self->showDirToolbar();
                                            self->doButtonStates();
                                          });
}

// A failed connection or login: the service words it (and shows the host-key question or the
// help page itself); the screen shows it, and its refresh button comes back to try again.
void DirViewer::connectError(SFTPWrapper &, const std::string &text) {
  showSftpError(text, true);
  connectionCameOut(false);
}
void DirViewer::loginError(SFTPWrapper &, const std::string &text) {
  showSftpError(text, true);
  connectionCameOut(false);
}
void DirViewer::sftpError(SFTPWrapper &, const std::string &text) {
  showSftpError(text, true);
  connectionCameOut(false);
}

void DirViewer::connectionCameOut(bool listed) {
  if (auto told = std::exchange(whenConnected, nullptr)) told(listed);
}

void DirViewer::connectStatus(SFTPWrapper &, const std::string &text) {
  showWorkingTextToolbar();
  if (activity_) activity_->startAnimating();
  updateProgressText(text);
}

void DirViewer::progress(SFTPWrapper &, float fraction) {
  showWorkingToolbar();
  updateProgress(fraction);
}

void DirViewer::gotDirectory(SFTPWrapper &s,
                             const std::vector<std::shared_ptr<DirItemInfo>> &items) {
  if (originalRootDir.empty()) originalRootDir = s.userRootDir();
  currentDirectoryEverything = items;
  loadedDirectory = true;
  showDirToolbar();
  doButtonStates();
  reSort();
  tableView->reloadData();
  connectionCameOut(true);
}

// Only a head or tail view asks for the file itself: the part wanted goes to the editor.
void DirViewer::downloadedFile(SFTPWrapper &s, const std::string &path) {
  const Part part = std::exchange(pendingPart_, Part::Whole);
  if (part == Part::Whole || pendingPartFolder_.empty() ||
      !pathLiesInside(path, pendingPartFolder_))
    return;
  std::string data;
  {
    std::ifstream in(path, std::ios::binary);
    in.seekg(0, std::ios::end);
    const auto size = static_cast<size_t>(std::max<std::streamoff>(0, in.tellg()));
    const size_t take = std::min(size, kPartBytes);
    in.seekg(part == Part::Head ? 0 : std::streamoff(size - take));
    data.resize(take);
    in.read(data.data(), std::streamsize(take));
    data.resize(size_t(in.gcount()));
  }
  platform::FileManager::removeItem(path);
  // The part shown is a working copy of the file's own origin: it never takes the place of
  // another server's file of that name (a pending edit's, say).
  const std::string name = platform::lastPathComponent(path);
  const std::string shown =
      workingCopyPath(RemoteOrigin::of("sftp", s.server(), s.port(), s.username(),
                                       platform::deleteLastPathComponent(pendingPartRemote_), name),
                      name);
  {
    std::ofstream out(shown, std::ios::binary | std::ios::trunc);
    out.write(data.data(), std::streamsize(data.size()));
  }
  // Only part of the file: it is looked at, never saved back over the whole file.
  if (auto services = FTPAppServices::shared())
    if (auto editor = services->openTextEditor(shown))
      editor->setFReadOnly(opensReadOnly(true, s.username()));
}

void DirViewer::downloadError(SFTPWrapper &, const std::string &text) {
  pendingPart_ = Part::Whole;
  showSftpError(text, true);
}
void DirViewer::uploadError(SFTPWrapper &, const std::string &text) {
  showSftpError(text, true);
}

void DirViewer::dirError(SFTPWrapper &, const std::string &text) {
  showSftpError(text, false);
  connectionCameOut(false);
}

void DirViewer::errorStatus(SFTPWrapper &, const std::string &text) {
  showSftpError(text, true);
}

void DirViewer::sftpConnectionShouldRefreshDirectory(SFTPWrapper &) {
  showWorkingTextToolbar();
  refreshSftp();
}

void DirViewer::sftpConnectionDone(SFTPWrapper &) {
  if (errorShown_) return; // the error stays its while
  showDirToolbar();
  doButtonStates();
  reSort();
  tableView->reloadData();
}
