// The listing bytes of a "LIST" reply become folder entries as they arrive, line by line; and the
// queue's folder download walks a remote tree one listing after another: each listing's files
// become queue rows and its sub-folders are listed next, each once both the listing has been
// walked and its "226" has come.
#include "app/ftp/FTPConnection.h"
#include "app/ftp/FTPListParser.h"
#include "app/ftp/FTPTaskHelpers.h"

#include "app/foundation/DirItemInfo.h"
#include "app/foundation/FolderDownloadBounds.h"
#include "app/foundation/Globals.h"
#include "app/foundation/SettingsKeys.h"
#include "app/foundation/StringUtils.h"

#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"

#include <unordered_map>

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
  // One parser for the lines of this pass: its settings and today's date are read once.
  FTPListParser parser = listParser();
  // Lines are taken from the buffer in place and the used bytes dropped once at the end; the
  // screen hears of the progress once per pass, not once per line.
  size_t used = 0;
  bool progressed = false;
  int lines = 0; // lines of this pass: every seventh, from the first, shows the count so far
  auto finish = [&] {
    if (used > 0) dataReadData_.erase(dataReadData_.begin(), dataReadData_.begin() + long(used));
    iServerType_ = parser.iServerType;
    canDoChmod_ = parser.canDoChmod;
    if (progressed) {
      updateProgressMark(0.5f + 0.005f * float(iDirectoryLines_));
      updateProgressText(Log::format("Getting Directory (%i)...", int(currentDirectory_.size())));
    }
  };
  while (used < dataReadData_.size()) {
    const size_t before = used;
    platform::Encoding readIn = platform::Encoding::UTF8;
    std::string line =
        FTPReplyAssembler::lineFromData(dataReadData_, used, true, encoding, &readIn);
    if (line.empty() && used > before) continue; // a line that decoded to nothing
    if (line.empty()) {
      const size_t rest = dataReadData_.size() - used;
      // However the bytes came in (the stream's end may come with them), the bound is the same.
      if (rest >= kMaxListingLineBytes) {
        finish();
        abandonTask("The server sent a listing line longer than 64 KiB.", false);
        return;
      }
      // The last line of a listing may come without its line end: once the data stream has
      // ended nothing more will complete it, so it is a line of its own.
      if (!data_.input || data_.input->status() != platform::net::StreamStatus::AtEnd) break;
      line =
          FTPReplyAssembler::decodeLine(dataReadData_.data() + used, rest, true, encoding, &readIn);
      used = dataReadData_.size();
    }
    const std::string_view raw(reinterpret_cast<const char *>(dataReadData_.data()) + before,
                               used - before);
    if (myTrimWS(line) == "****DIRECTORY DONE****") {
      finish();
      updateViewWithDirectory();
      return;
    }
    progressed = true;
    if (lines % 7 == 0)
      updateProgressText(Log::format("Getting Directory (%i)...", int(currentDirectory_.size())));
    iBytesProcessed_ += int64_t(line.size());
    iDirectoryLines_ = (iDirectoryLines_ + 1) % 100;
    parseDirectoryLine(line, parser, raw, readIn);
    ++lines;
    if (currentDirectory_.size() > kMaxListingEntries || iBytesProcessed_ > kMaxListingBytes) {
      finish();
      abandonTask(Log::format("The server's listing of one folder passed %zu entries or %lld MiB.",
                              kMaxListingEntries, (long long)(kMaxListingBytes >> 20)),
                  false);
      return;
    }
  }
  progressed = true; // the count is shown after every pass, as before
  finish();
}

FTPListParser FTPConnection::listParser() const {
  // Today is taken for each listing: the browsing connection lives as long as the process.
  FTPListParser parser;
  parser.iServerType = iServerType_;
  parser.canDoChmod = canDoChmod_;
  parser.showHiddenFiles = UserDefaults::standard().integerForKey(kShowHiddenFilesKey) != 0;
  return parser;
}

void FTPConnection::parseDirectoryLine(const std::string &line) {
  FTPListParser parser = listParser();
  parseDirectoryLine(line, parser);
  iServerType_ = parser.iServerType;
  canDoChmod_ = parser.canDoChmod;
}

void FTPConnection::parseDirectoryLine(const std::string &line, FTPListParser &parser,
                                       std::string_view raw, platform::Encoding encoding) {
  if (characterCount(line) < 10) return;
  // The first entries go to the visible transcript, the rest to the log file only.
  if (currentDirectory_.size() < 3)
    addToLog("*** " + line);
  else
    addToLogFile("*** " + line);
  if (auto item = parser.parseDirectoryLine(line, raw, encoding))
    currentDirectory_.push_back(std::move(item));
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
    directoryBatchCurDepth_ = 0;
    batchFoldersFound_ = 0;
    batchEntriesListed_ = 0;
    batchFoldersWalked_.clear();
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
  Log::systemf("BatchDir:%s containsFiles:%i", directoryToGetList_.text().c_str(),
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
  // The files to queue, handed to the queue in one pass of the main thread: one wake-up of the
  // main thread per folder, not per file.
  struct Wanted {
    RemoteName name;
    std::string local;
    int64_t size;
  };
  std::vector<Wanted> wanted;
  wanted.reserve(currentDirectory_.size());
  std::unordered_map<std::string, std::string> localNames; // local path: the name's bytes
  // A bound of the folder download met (empty: none): what was found before it is queued, and
  // the download ends with it.
  std::string bound;
  batchEntriesListed_ += currentDirectory_.size();
  if (batchEntriesListed_ > folderdownload::kMaxEntries) bound = folderdownload::tooManyEntries();
  for (const auto &entry : currentDirectory_) {
    if (!batchRootUsable_ || !bound.empty()) break;
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
    if (name.size() > folderdownload::kMaxLocalName) {
      ++batchSkipped_;
      addToLog("!!! Skipped \"" + withControlsEscaped(name.substr(0, 512)) +
               "...\": the name is too long for a local file\r\n");
      continue;
    }
    std::string local = platform::appendPathComponent(localFolder, name);
    if (!myStartsWith(local, "/var/mobile/"))
      local = platform::appendPathComponent(savedFiles, local);
    // The remote path grows with the local one: bounding this bounds what is sent.
    if (local.size() > folderdownload::kMaxLocalPath) {
      bound = folderdownload::kLocalPathTooLong;
      break;
    }
    // A link is fetched as a file, never walked as a folder: a link to a folder above would make
    // the tree endless.
    if (entry->isDirectory && !entry->isLink) {
      if (directoryBatchCurDepth_ + 1 > folderdownload::kMaxDepth) {
        bound = folderdownload::tooManyLevels();
        break;
      }
      if (batchFoldersFound_ >= folderdownload::kMaxFolders) {
        bound = folderdownload::tooManyFolders();
        break;
      }
      ++batchFoldersFound_;
      // The folder is entered by the bytes the server named it with.
      RemoteName dir = RemoteName::of(directoryToGetList_.text() + "/" + name, std::nullopt);
      if (directoryToGetList_.bytes() || entry->nameBytes())
        dir = RemoteName::named(dir.text(), directoryToGetList_.wire(utf8Safe_) + "/" +
                                                entry->remoteName().wire(utf8Safe_));
      std::string root = directoryBatchCurRoot_ + "/" + name;
      Log::systemf("dir:%s  root:%s", dir.text().c_str(), root.c_str());
      directoryBatch_.push_back({root, dir, directoryBatchCurDepth_ + 1});
      continue;
    }
    // Two names of one folder that read alike ("café.txt" in UTF-8 and in ISO Latin-1) would be
    // one local file, the second over the first: the first is fetched, the second left out and
    // named in the log, and the download does not end as done. (A name listed twice is one file.)
    const std::string bytes = entry->nameBytes().value_or(name);
    if (auto [at, fresh] = localNames.try_emplace(local, bytes); !fresh) {
      if (at->second != bytes) {
        ++batchSkipped_;
        addToLog("!!! Skipped \"" + withControlsEscaped(name) +
                 "\": another file of the folder has a name that reads the same\r\n");
      }
      continue;
    }
    // A file already saved whole is not fetched again.
    wanted.push_back({entry->remoteName(), std::move(local), platform::longLongValue(entry->size)});
  }
  if (!wanted.empty())
    ftptasks::withQueueStorage([&](FTPQueueStorage &queue) {
      queue.batchUpdates([&] {
        for (const auto &file : wanted) {
          if (queue.alreadyExists(2, file.name, directoryToGetList_, 0, server, port, user, pass) >=
              0)
            continue;
          const int64_t have = int64_t(sizeOfFileAtPath(file.local));
          if (have > 0 && have == file.size) continue;
          queue.addBatchItemAction(2, file.name, directoryToGetList_, 0, server, port, user, pass,
                                   protocol, localFolder, false, false);
        }
      });
    });
  if (!bound.empty()) {
    addToLog("!!! " + bound + ": " +
             withControlsEscaped(directoryToGetList_.text().substr(0, 512)) + "\r\n");
    directoryBatch_.clear();
    abandonTask(folderdownload::errorText(bound), false);
    return;
  }
  directoryProcessed_ = true;
  nextBatchDirectory();
}

bool FTPConnection::batchFolderWalkedBefore() {
  if (batchFoldersWalked_.insert(cwdName().key()).second) return false;
  addToLog("!!! Skipped a folder listed before in this download: " +
           withControlsEscaped(cwd().substr(0, 512)) + "\r\n");
  currentDirectory_.clear();
  directory226Done_ = true;
  directoryProcessed_ = true;
  nextBatchDirectory();
  return true;
}

void FTPConnection::nextBatchDirectory() {
  if (!directory226Done_ || !directoryProcessed_) return;
  disconnectDataStreamFromServer();
  directory226Done_ = false;
  directoryProcessed_ = false;
  if (!directoryBatch_.empty()) {
    auto [root, dir, depth] = directoryBatch_.front();
    directoryBatch_.pop_front();
    directoryBatchCurRoot_ = root;
    directoryBatchCurDepth_ = depth;
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
