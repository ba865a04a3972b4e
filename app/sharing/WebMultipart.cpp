#include "app/sharing/WebMultipart.h"

#include "platform/foundation/Text.h"

#include <algorithm>
#include <functional>

namespace {

std::string_view trimmed(std::string_view s, std::string_view set) {
  const size_t start = s.find_first_not_of(set);
  if (start == std::string_view::npos) return {};
  const size_t end = s.find_last_not_of(set);
  return s.substr(start, end - start + 1);
}

} // namespace

WebMultipartParser::WebMultipartParser(std::string delimiter, Handler handler)
    : delimiter_(std::move(delimiter)), contentEnd_("\r\n" + delimiter_),
      handler_(std::move(handler)) {
  if (delimiter_.empty()) fail();
}

void WebMultipartParser::feed(const uint8_t *data, size_t size) {
  if (state_ == State::Done || size == 0) return;
  buffer_.insert(buffer_.end(), data, data + size);
  process();
}

void WebMultipartParser::finish() {
  if (state_ == State::Content && handler_.partEnds) handler_.partEnds(false);
  state_ = State::Done;
  buffer_.clear();
}

void WebMultipartParser::fail() {
  if (state_ == State::Content && handler_.partEnds) handler_.partEnds(false);
  malformed_ = true;
  state_ = State::Done;
  buffer_.clear();
}

bool WebMultipartParser::takeLine(std::string &line) {
  const auto lf = std::find(buffer_.begin(), buffer_.end(), uint8_t('\n'));
  if (lf == buffer_.end()) {
    if (buffer_.size() > kMaxLineBytes) fail();
    return false;
  }
  line.assign(buffer_.begin(), lf);
  buffer_.erase(buffer_.begin(), lf + 1);
  if (line.size() > kMaxLineBytes) {
    fail();
    return false;
  }
  return true;
}

void WebMultipartParser::process() {
  std::string line;
  while (state_ != State::Done) {
    if (state_ == State::Content) {
      const std::boyer_moore_horspool_searcher searcher(contentEnd_.begin(), contentEnd_.end());
      const auto *begin = reinterpret_cast<const char *>(buffer_.data());
      const auto *end = begin + buffer_.size();
      const auto found = std::search(begin, end, searcher);
      if (found != end) {
        const auto n = static_cast<size_t>(found - begin);
        if (n > 0 && handler_.partData) handler_.partData(buffer_.data(), n);
        if (handler_.partEnds) handler_.partEnds(true);
        // The CR LF before the delimiter belongs to it; the delimiter line is read next.
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(n + 2));
        state_ = State::Boundary;
        continue;
      }
      // Keep what could be the start of a delimiter that the next piece completes.
      const size_t keep = contentEnd_.size() - 1;
      if (buffer_.size() > keep) {
        const size_t n = buffer_.size() - keep;
        if (handler_.partData) handler_.partData(buffer_.data(), n);
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(n));
      }
      return;
    }

    if (!takeLine(line)) return;
    // Transport padding (blanks, tabs) and the CR may follow a delimiter.
    const std::string_view text = trimmed(line, " \t\r");
    switch (state_) {
    case State::Preamble:
    case State::Boundary:
      if (text == delimiter_) {
        fileName_.clear();
        state_ = State::Headers;
      } else if (text.size() == delimiter_.size() + 2 && text.starts_with(delimiter_) &&
                 text.ends_with("--")) {
        state_ = State::Done;
        buffer_.clear();
      } else if (state_ == State::Boundary) {
        // A delimiter must be a line of its own.
        fail();
      }
      break;
    case State::Headers:
      if (text.empty()) {
        state_ = State::Content;
        if (handler_.partBegins) handler_.partBegins(fileName_);
      } else if (platform::hasPrefixCaseInsensitive(text, "Content-Disposition:")) {
        fileName_ = fileNameFromDisposition(text);
      }
      break;
    default:
      break;
    }
  }
}

std::string WebMultipartParser::fileNameFromDisposition(std::string_view line) {
  const auto at = platform::rangeOfCaseInsensitive(line, "filename=", true);
  if (!at.found()) return "";
  std::string_view value = line.substr(at.location + at.length);
  value = trimmed(value, " \t\r\n");
  if (!value.empty() && value.front() == '"') {
    // A quoted name is the client's file name as it stands: blanks at its ends are its own, and
    // trimming them made " lead.txt" land over "lead.txt". Only a name of blanks alone names no
    // file.
    value.remove_prefix(1);
    value = value.substr(0, value.find('"'));
    if (value.find_first_not_of(" \t") == std::string_view::npos) value = {};
  } else {
    value = trimmed(value.substr(0, value.find(';')), "\" \t\r\n");
  }
  if (const size_t slash = value.rfind('/'); slash != std::string_view::npos)
    value = value.substr(slash + 1);
  if (const size_t backslash = value.rfind('\\'); backslash != std::string_view::npos)
    value = value.substr(backslash + 1);
  return std::string(value);
}
