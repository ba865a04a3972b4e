// The listing bytes of a "LIST" reply become folder entries as they arrive, line by line; and the
// queue's folder download walks a remote tree one listing after another.
#include "app/ftp/FTPConnection.h"
#include "app/ftp/FTPListParser.h"
#include "app/ftp/FTPTaskHelpers.h"

#include "app/foundation/DirItemInfo.h"
#include "app/foundation/SettingsKeys.h"
#include "app/foundation/StringUtils.h"

#include "platform/foundation/Log.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"

using platform::Log;
using platform::UserDefaults;

int64_t ftptasks::sizeFromReply(const std::string &reply) {
  if (reply.size() < 4) return 0;
  return platform::longLongValue(myTrimWS(reply.substr(3)));
}

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
      if (!data_.input || data_.input->status() != platform::net::StreamStatus::AtEnd) return;
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
