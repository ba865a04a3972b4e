// What the transfer queue needs of the application delegate and of the neighbouring screens: the
// browsing connection's transfer (to avoid moving a file twice), the web browser's badge, the
// Saved Files and remote folder screens on top of their tabs, and the photo library. The
// application installs its implementation at start; tests install doubles. Main thread.
#pragma once

#include "app/files/LocalFolderScreen.h"
#include "app/foundation/RemoteOrigin.h"
#include "app/foundation/ServerFileLook.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

class SFTPWrapper;

// What the FTP tab's connection is moving right now: the file of that name in the folder it is
// in, on its server, port and user.
struct BrowsingTransfer {
  bool isFileTransferInProgress = false;
  RemoteOrigin file;
  // Whether that transfer moves the queue row's file (the same file of the same session).
  bool moves(const RemoteOrigin &rowFile) const {
    return isFileTransferInProgress && file.sameFileAs(rowFile);
  }
};

// A remote folder and the session it is reached by: the server (a host name, or a server text
// "host:port..." as typed), its port (0 for the protocol's own), the user, and whether the session
// is SFTP.
struct RemoteFolderPlace {
  std::string server;
  int port = 0;
  std::string user;
  bool sftp = false;
  std::string folder;
  // The same folder of the same server for the same user (host names in any case, a folder with
  // or without a trailing "/").
  bool sameAs(const RemoteFolderPlace &other) const;
};

// The remote folder screen on top of the FTP tab, as the queue's changes to its folder reach it.
class RemoteFolderScreen {
public:
  virtual ~RemoteFolderScreen() = default;
  // What the screen lists.
  virtual RemoteFolderPlace remoteFolderPlace() const = 0;
  // Lists the folder again (a queued upload into it has finished).
  virtual void listFolderAgain() = 0;
};

// The photo library's answer to a conversion: the asset's address and either the file written
// or the error's description.
struct AssetConvertReply {
  std::string url, path;
  std::optional<std::string> error;
};

class BatchAppServices {
public:
  virtual ~BatchAppServices() = default;
  static std::shared_ptr<BatchAppServices> shared();
  static void setShared(std::shared_ptr<BatchAppServices> services);

  // The FTP tab's connection's transfer, or none when there is no browsing connection.
  virtual std::optional<BrowsingTransfer> browsingTransfer() { return std::nullopt; }
  // Stops that transfer (its queue row was deleted): the connection closes its session.
  virtual void stopBrowsingTransfer() {}
  // A queued upload has put `localFile` on its server: an edit kept in that file is delivered, its
  // record and working copy go (unless the editor open now keeps newer text in that file).
  virtual void sentBack(const std::string & /*localFile*/) {}
  // Before a queued upload of `localFile` writes over its server's file (each time the row starts
  // or starts again): the check it must pass, run on the session the upload uses with that
  // session's look at the file. Empty when there is nothing to check (not an edit's save back,
  // or one whose base is not known).
  using SendBackChecker = std::function<SendBackCheck(const LookAtServerFile &)>;
  virtual SendBackChecker sendBackCheck(const std::string & /*localFile*/) { return {}; }
  // The check found the server's file `name` changed since the edit of `localFile` began (as
  // `found` says): the row waits, and the person is asked. `answered(true)`: the typed text goes
  // over it; `answered(false)`: the server's file stays and the edit is given up. Until answered
  // the row, the edit's record and its working file stay.
  virtual void askServerFileChanged(const std::string & /*localFile*/, const std::string & /*name*/,
                                    const std::string & /*found*/,
                                    std::function<void(bool keepTyped)> /*answered*/) {}
  // The web browser's button badge.
  virtual void badgeValtry(const std::string &) {}
  virtual std::shared_ptr<LocalFolderScreen> topLocalFolderScreen() { return nullptr; }
  virtual std::shared_ptr<RemoteFolderScreen> topRemoteFolderScreen() { return nullptr; }
  // Writes the photo-library asset at `url` to a file named `name` in a folder made for it and
  // answers on the main thread. Without a photo library the answer is an error.
  virtual void getSelectedAsset(const std::string &url, const std::string & /*name*/,
                                std::function<void(const AssetConvertReply &)> reply) {
    reply(AssetConvertReply{url, {}, std::string("The photo library is not available.")});
  }
};
