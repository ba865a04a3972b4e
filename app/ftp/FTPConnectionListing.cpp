// The listing bytes of a "LIST" reply become folder entries as they arrive, line by line; and the
// queue's folder download walks a remote tree one listing after another: each listing's files
// become queue rows and its sub-folders are listed next, each once both the listing has been
// walked and its "226" has come.
#include "app/ftp/FTPConnection.h"
#include "app/ftp/FTPListParser.h"
#include "app/ftp/FTPTaskHelpers.h"

#include "app/foundation/DirItemInfo.h"
#include "app/foundation/Globals.h"
#include "app/foundation/SettingsKeys.h"
#include "app/foundation/StringUtils.h"

#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"

using platform::Log;
using platform::Paths;
using platform::UserDefaults;

int64_t ftptasks::sizeFromReply(const std::string &reply) {
  if (reply.size() < 4) return 0;
  return platform::longLongValue(myTrimWS(reply.substr(3)));
}

namespace {
// A listing line and the number of entries of one listing are bounded.
constexpr size_t kMaxListingLineBytes = 65536;
constexpr size_t kMaxListingEntries = 250000;
// A listing of short lines that never ends has no entries to count: its bytes are bounded too.
constexpr int64_t kMaxListingBytes = int64_t(128) << 20;
} // namespace

void FTPConnection::parseDirectoryListing() {
  if (dataReadData_.empty()) return;
  const auto encoding = uint32_t(UserDefaults::standard().integerForKey("FolderTextEncoding"));
  // Lines of this call, for the progress text (every seventh line).
  int lines = 0;
  auto showCount = [this] {
    updateProgressText(Log::format("Getting Directory (%i)...", int(currentDirectory_.size())));
  };
  while (!dataReadData_.empty()) {
    std::string line = FTPReplyAssembler::popLineFromData(dataReadData_, true, encoding);
    if (line.empty()) {
      // The last line of a listing may come without its line end: once the data stream has
      // ended nothing more will complete it, so it is a line of its own.
      if (!data_.input || data_.input->status() != platform::net::StreamStatus::AtEnd) {
        if (dataReadData_.size() >= kMaxListingLineBytes)
          abandonTask("The server sent a listing line longer than 64 KiB.", false);
        return;
      }
      line.assign(dataReadData_.begin(), dataReadData_.end());
      dataReadData_.clear();
    }
    if (myTrimWS(line) == "****DIRECTORY DONE****") {
      updateViewWithDirectory();
      return;
    }
    if (lines % 7 == 0) showCount();
    iBytesProcessed_ += int64_t(line.size());
    iDirectoryLines_ = (iDirectoryLines_ + 1) % 100;
    updateProgressMark(0.5f + 0.005f * float(iDirectoryLines_));
    parseDirectoryLine(line);
    ++lines;
    if (currentDirectory_.size() > kMaxListingEntries || iBytesProcessed_ > kMaxListingBytes) {
      abandonTask(Log::format("The server's listing of one folder passed %zu entries or %lld MiB.",
                              kMaxListingEntries, (long long)(kMaxListingBytes >> 20)),
                  false);
      return;
    }
  }
  showCount();
}

void FTPConnection::parseDirectoryLine(const std::string &line) {
  if (characterCount(line) < 10) return;
  // The first entries go to the visible transcript, the rest to the log file only.
  if (currentDirectory_.size() < 3)
    addToLog("*** " + line);
  else
    addToLogFile("*** " + line);

  // Today is taken for each listing: the browsing connection lives as long as the process.
  FTPListParser parser;
  parser.iServerType = iServerType_;
  parser.canDoChmod = canDoChmod_;
  parser.showHiddenFiles = UserDefaults::standard().integerForKey(kShowHiddenFilesKey) != 0;
  auto item = parser.parseDirectoryLine(line);
  iServerType_ = parser.iServerType;
  canDoChmod_ = parser.canDoChmod;
  if (item) currentDirectory_.push_back(item);
}

// --- Folder download --------------------------------------------------------------------------

void FTPConnection::batchDirectoryDownload(const std::string &localRoot) {
  std::string localFolder;
  if (FTPAppServices::shared())
    platform::RunLoop::main()->performAndWait([&] { localFolder = currentLocalFolder; });
  onThread([=, this] {
    if (directoryBatchActive_) return; // one folder download at a time
    directoryBatch_.clear();
    directoryBatchActive_ = true;
    directory226Done_ = false;
    directoryProcessed_ = false;
    directoryBatchCurRoot_ = localRoot;
    currentLocalFolderBatch_ = localFolder;
    // The folder's own name came from a listing too.
    std::string why;
    batchRootUsable_ = isSingleFileName(localRoot, &why);
    batchSkipped_ = 0;
    if (!batchRootUsable_) {
      ++batchSkipped_;
      addToLog("!!! Skipped \"" + withControlsEscaped(localRoot) + "\": " + why + "\r\n");
    }
  });
}

void FTPConnection::walkBatchDirectoryListing() {
  Log::systemf("BatchDir:%s containsFiles:%i", directoryToGetList_.c_str(),
               int(currentDirectory_.size()));
  const std::string server = serverAddress(), user = loginUser();
  std::string pass;
  {
    std::lock_guard<std::mutex> lock(sharedMutex_);
    pass = loginPass_;
  }
  const int port = currentPort_;
  const std::string protocol = fSecureLogin_ ? "ftps" : "ftp";
  const std::string localFolder =
      platform::appendPathComponent(currentLocalFolderBatch_, directoryBatchCurRoot_);
  const std::string savedFiles = Paths::documents() + "/Files";
  for (const auto &entry : currentDirectory_) {
    if (!batchRootUsable_) break;
    const std::string name = entry->name();
    if (name == "." || name == "..") continue; // the folder itself and its parent, as listed
    // A name from the server becomes a local path only as one file name inside the folder.
    std::string why;
    if (!isSingleFileName(name, &why)) {
      ++batchSkipped_;
      addToLog("!!! Skipped \"" + withControlsEscaped(name) + "\": " + why + "\r\n");
      Log::systemf("Folder download skipped an entry: %s", why.c_str());
      continue;
    }
    if (entry->isDirectory) {
      std::string dir = directoryToGetList_ + "/" + name;
      std::string root = directoryBatchCurRoot_ + "/" + name;
      Log::systemf("dir:%s  root:%s", dir.c_str(), root.c_str());
      directoryBatch_.emplace_back(root, dir);
      continue;
    }
    // A file already saved whole is not fetched again.
    std::string local = platform::appendPathComponent(localFolder, name);
    if (!myStartsWith(local, "/var/mobile/"))
      local = platform::appendPathComponent(savedFiles, local);
    const int64_t size = platform::longLongValue(entry->size);
    ftptasks::withQueueStorage([&](FTPQueueStorage &queue) {
      if (queue.alreadyExists(2, name, directoryToGetList_, 0, server, port, user, pass) >= 0)
        return;
      const int64_t have = int64_t(sizeOfFileAtPath(local));
      if (have > 0 && have == size) return;
      queue.addBatchItemAction(2, name, directoryToGetList_, 0, server, port, user, pass, protocol,
                               localFolder, false, false);
    });
  }
  directoryProcessed_ = true;
  nextBatchDirectory();
}

void FTPConnection::nextBatchDirectory() {
  if (!directory226Done_ || !directoryProcessed_) return;
  disconnectDataStreamFromServer();
  directory226Done_ = false;
  directoryProcessed_ = false;
  if (!directoryBatch_.empty()) {
    auto [root, dir] = directoryBatch_.front();
    directoryBatch_.erase(directoryBatch_.begin());
    directoryBatchCurRoot_ = root;
    std::weak_ptr<FTPConnection> weak = weak_from_this();
    myThread_->performAfter(platform::seconds(0.01), [weak, dir = dir] {
      if (auto self = weak.lock()) self->changeDirectory(dir);
    });
    return;
  }
  if (batchSkipped_ > 0) {
    // Never reported done when something of the folder was left out.
    abandonTask(Log::format("The folder download left out %i item%s whose name%s cannot be a "
                            "local file name (see the transfer log).",
                            batchSkipped_, batchSkipped_ == 1 ? "" : "s",
                            batchSkipped_ == 1 ? "" : "s"),
                false);
    return;
  }
  directoryBatchActive_ = false;
  doneBatchItem();
}
