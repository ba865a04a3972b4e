// Cuts the bytes of an FTP control connection into lines and joins the lines of one reply. The
// rules are lenient on purpose: servers send bare LF line ends, blank continuation lines, text
// lines without a code inside multi-line replies, and stray empty lines before their welcome.
#pragma once

#include "platform/foundation/Text.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class FTPReplyAssembler {
public:
  using Bytes = std::vector<uint8_t>;

  // YES when the buffer holds a LF or a zero byte (a complete line).
  static bool hasLineToPopLineFromData(const Bytes &data);
  // Removes one line (up to and including its LF or zero byte) and returns it decoded: with
  // forDir and a non-zero folderTextEncoding, in that encoding first; then UTF-8, ISO Latin-1
  // (which always succeeds). Empty, buffer untouched, when no complete line is there.
  static std::string popLineFromData(Bytes &data, bool forDir, uint32_t folderTextEncoding = 0);
  // The same for a line that starts at `from`: returns it and moves `from` past it, leaving the
  // buffer as it is (a listing takes many lines from one buffer and drops them at once). Empty
  // when no whole line starts there. `used`, when given, gets the encoding the line was read in.
  static std::string lineFromData(const Bytes &data, size_t &from, bool forDir,
                                  uint32_t folderTextEncoding = 0,
                                  platform::Encoding *used = nullptr);
  // Decodes the bytes of one line as popLineFromData does (a listing's last line may come
  // without its line end, and is decoded all the same).
  static std::string decodeLine(const uint8_t *bytes, size_t length, bool forDir,
                                uint32_t folderTextEncoding = 0,
                                platform::Encoding *used = nullptr);
  // The code of a reply line: the integer value of its first three characters.
  static int replyCodeOf(const std::string &line);

  struct Hooks {
    // Asked for every line: does the login (or the secure login) run? Its rules are more lenient.
    std::function<bool()> isLoginTask;
    // Every line taken, as received (for the transfer log), after it was added to replyText.
    std::function<void(const std::string &line)> lineTaken;
    // A complete reply: replyText holds all of its lines, iReplyCode its code.
    std::function<void()> replyComplete;
    // Asked before each line: false stops the assembly (the connection went away).
    std::function<bool()> keepGoing;
  };

  // A server's line and a whole reply (all the lines since the last command) are bounded: past
  // either, doTasks stops and says why in `failure`; the session cannot go on.
  static constexpr size_t kMaxLineBytes = 65536;
  static constexpr size_t kMaxReplyBytes = 1048576;

  // Assembles replies from dataRead while it holds complete lines.
  void doTasks(const Hooks &hooks);

  // Empties everything (a new session).
  void reset();

  Bytes dataRead;        // control bytes not yet consumed
  std::string replyText; // the reply being assembled (emptied when a command is written)
  // The same lines as the server sent them: a name a reply gives goes back in its own bytes.
  std::string replyBytes;
  int iReplyCode = 0; // code of the last line that carried one
  bool welcomeComplete = false;
  bool replyOpen = false; // a coded line announced more lines ("-") and the last has not come
  std::string failure;    // set when a bound was passed
};
