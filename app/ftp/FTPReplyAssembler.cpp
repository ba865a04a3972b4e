#include "app/ftp/FTPReplyAssembler.h"

#include "platform/foundation/Text.h"

#include <algorithm>

bool FTPReplyAssembler::hasLineToPopLineFromData(const Bytes &data) {
  return std::any_of(data.begin(), data.end(), [](uint8_t b) { return b == '\n' || b == 0; });
}

std::string FTPReplyAssembler::popLineFromData(Bytes &data, bool forDir,
                                               uint32_t folderTextEncoding) {
  size_t from = 0;
  std::string text = lineFromData(data, from, forDir, folderTextEncoding);
  data.erase(data.begin(), data.begin() + long(from));
  return text;
}

std::string FTPReplyAssembler::lineFromData(const Bytes &data, size_t &from, bool forDir,
                                            uint32_t folderTextEncoding, platform::Encoding *used) {
  if (from >= data.size()) return {};
  auto begin = data.begin() + long(from);
  auto end = std::find_if(begin, data.end(), [](uint8_t b) { return b == '\n' || b == 0; });
  if (end == data.end()) return {};
  const size_t length = size_t(end - begin) + 1;
  std::string text = decodeLine(data.data() + from, length, forDir, folderTextEncoding, used);
  from += length;
  return text;
}

std::string FTPReplyAssembler::decodeLine(const uint8_t *bytes, size_t length, bool forDir,
                                          uint32_t folderTextEncoding, platform::Encoding *used) {
  std::string text;
  if (forDir && folderTextEncoding != 0) {
    if (auto enc = platform::encodingFromNumber(folderTextEncoding))
      if (auto t = platform::decodeText(bytes, length, *enc)) {
        text = *t;
        if (used) *used = *enc;
      }
  }
  if (text.empty()) {
    std::string raw(reinterpret_cast<const char *>(bytes), length);
    if (platform::isValidUTF8(raw)) {
      text = std::move(raw);
      if (used) *used = platform::Encoding::UTF8;
    }
  }
  if (text.empty()) {
    if (auto t = platform::decodeText(bytes, length, platform::Encoding::ISOLatin1)) text = *t;
    if (used) *used = platform::Encoding::ISOLatin1;
  }
  return text;
}

int FTPReplyAssembler::replyCodeOf(const std::string &line) {
  return platform::intValue(std::string_view(line).substr(0, 3));
}

void FTPReplyAssembler::reset() {
  dataRead.clear();
  replyText.clear();
  replyBytes.clear();
  iReplyCode = 0;
  welcomeComplete = false;
  replyOpen = false;
  failure.clear();
}

namespace {
bool isBlank(const std::string &s) {
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
}
} // namespace

void FTPReplyAssembler::doTasks(const Hooks &hooks) {
  int bareLines = 0;
  bool codedLineThisPass = false;
  while (!dataRead.empty() && failure.empty()) {
    if (hooks.keepGoing && !hooks.keepGoing()) return;
    const auto end = std::find_if(dataRead.begin(), dataRead.end(),
                                  [](uint8_t b) { return b == '\n' || b == 0; });
    if (size_t(end - dataRead.begin()) >= kMaxLineBytes) {
      failure = "The server sent a reply line longer than 64 KiB.";
      return;
    }
    if (end == dataRead.end()) return; // the partial line waits for more bytes
    if (replyText.size() + size_t(end - dataRead.begin()) >= kMaxReplyBytes) {
      failure = "The server sent a reply longer than 1 MiB.";
      return;
    }
    const std::string raw(dataRead.begin(), end + 1);
    std::string line = popLineFromData(dataRead, false);
    bool login = hooks.isLoginTask && hooks.isLoginTask();
    if (login && line.size() == 1 && bareLines < 20) {
      ++bareLines; // stray line ends before or between replies
      continue;
    }
    bareLines = 0;
    bool complete = false;
    if (line.size() >= 4) {
      int code = replyCodeOf(line);
      if (code == 0 && (login || replyOpen)) {
        // A text line inside a reply: it continues it.
      } else {
        iReplyCode = code;
        codedLineThisPass = true;
        if (line[3] == '-') {
          replyOpen = true;
        } else if (line[0] == ' ') {
          // A blank first character continues the reply.
        } else {
          complete = true;
          replyOpen = false;
          if (login) welcomeComplete = true;
        }
      }
    } else if (login && !isBlank(line) && dataRead.empty() && codedLineThisPass && !replyOpen) {
      complete = true;
    }
    replyText += line;
    replyBytes += raw;
    if (hooks.lineTaken) hooks.lineTaken(line);
    if (complete && !replyText.empty() && hooks.replyComplete) hooks.replyComplete();
  }
}
