// Turns the lines of a "LIST" or "LIST -la" reply into folder entries. It knows UNIX-style
// listings (VMS servers that list in that form included), NetWare listings and DOS listings with
// AM/PM times, and recognises the DOS style from the lines themselves.
//
// The parser keeps no state of its own between lines beyond the two facts that belong to the
// connection (the listing style and whether permissions can be changed): the connection copies
// them in before a listing and back out after it, so two connections parse at the same time
// without sharing anything.
#pragma once

#include "app/foundation/DirItemInfo.h"

#include "platform/foundation/Clock.h"
#include "platform/foundation/DateFormatter.h"
#include "platform/foundation/Text.h"

#include <memory>
#include <string>
#include <string_view>

class FTPListParser {
public:
  // Listing styles (the connection's iServerType).
  enum ServerType : int { kUnix = 0, kDos = 1, kVms = 2, kNetware = 3 };

  // Today's date in local time, as the year inference of "Mon DD HH:MM" lines needs it. The
  // connection takes it afresh for each listing (a browsing connection lives for days).
  explicit FTPListParser(platform::DateComponents today = todayNow());
  static platform::DateComponents todayNow();

  // Parses one line (its line end may be included). Returns the entry, or nothing when the line
  // yields none (too short, the "total" line, hidden with hidden files off, no valid name).
  std::shared_ptr<DirItemInfo> parseDirectoryLine(std::string_view line);
  // The same for a line read in `readIn` from the bytes `raw` (the line end included, as the
  // server sent them): the entry's name keeps the bytes it came in, for everything done to the
  // file on the server. No raw bytes: the line's own text is taken for them.
  std::shared_ptr<DirItemInfo> parseDirectoryLine(const std::string &line, std::string_view raw,
                                                  platform::Encoding readIn);

  int iServerType = kUnix;
  bool canDoChmod = false;
  bool showHiddenFiles = true;
  platform::DateComponents today;
  // Where the name of the entry parseDirectoryLine returned starts in the line it was given (the
  // name's own bytes are taken from there).
  size_t nameOffset = 0;

private:
  void unixPass(DirItemInfo &item, const std::vector<std::string> &tokens, bool firstIsD,
                bool firstIsL);
  void dosPass(DirItemInfo &item, const std::vector<std::string> &tokens);
  // The name is the rest of the line from a token on: its length, to find where it starts.
  void nameIsRestOfLine(DirItemInfo &item, std::string rest);
  size_t nameRestLength_ = 0;
};
