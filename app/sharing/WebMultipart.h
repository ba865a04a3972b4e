// A multipart/form-data body read as it arrives, in pieces of any size: the web sharing server's
// upload form sends one part per chosen file. The parser tells its handler where each part starts
// (with the file name it names), hands on the part's content bytes exactly (without the CR LF that
// belongs to the delimiter, even when a delimiter arrives split over several pieces) and says
// whether the part ended with its delimiter or was cut off with the body.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

class WebMultipartParser {
public:
  struct Handler {
    // A part's content starts; fileName is "" when the part names no file.
    std::function<void(const std::string &fileName)> partBegins;
    std::function<void(const uint8_t *data, size_t size)> partData;
    // The part ended: complete when its delimiter was seen, else the body ended inside it.
    std::function<void(bool complete)> partEnds;
  };

  // A line of a part's head (or of the text before the first part) longer than this ends the
  // parse as malformed.
  static constexpr size_t kMaxLineBytes = 16 * 1024;

  // `delimiter` is "--" followed by the boundary.
  WebMultipartParser(std::string delimiter, Handler handler);

  // Takes the next piece of the body.
  void feed(const uint8_t *data, size_t size);
  void feed(std::string_view data) {
    feed(reinterpret_cast<const uint8_t *>(data.data()), data.size());
  }
  // The body is over: a part still open ends incomplete.
  void finish();

  // The closing delimiter was seen (or the body was malformed); later bytes are ignored.
  bool isDone() const { return state_ == State::Done; }
  bool isMalformed() const { return malformed_; }

  // The file name of a "Content-Disposition:" line: the value of its last "filename=" parameter
  // without its quotes (a quoted name keeps its own blanks; an unquoted one is trimmed), cut after
  // its last "/" and its last backslash.
  static std::string fileNameFromDisposition(std::string_view line);

private:
  enum class State { Preamble, Boundary, Headers, Content, Done };
  void process();
  bool takeLine(std::string &line);
  void fail();

  std::string delimiter_;
  std::string contentEnd_; // CR LF and the delimiter
  Handler handler_;
  State state_ = State::Preamble;
  std::vector<uint8_t> buffer_;
  std::string fileName_;
  bool malformed_ = false;
};
