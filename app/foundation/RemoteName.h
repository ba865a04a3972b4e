// A name or a path on an FTP server as the program carries it: the text the screens show and,
// when the server named it (a listing, a "PWD" reply), the bytes it named it with. Such a name
// goes back to the server in those very bytes, whatever its text looks like: a "café.txt" stored
// as UTF-8 and a "café.txt" stored as ISO Latin-1 read alike and are two files. A name the person
// typed has no bytes of its own: it goes out in the command encoding (the first of ASCII, ISO
// Latin-1 and Windows-1252 that carries it whole, else UTF-8; UTF-8 for a server that reads it).
#pragma once

#include <optional>
#include <string>
#include <string_view>

class RemoteName {
public:
  RemoteName() = default;
  // Text the person typed (or that an older record kept without bytes). Implicit: every place
  // that takes a remote name takes such text too.
  RemoteName(std::string typed) : text_(std::move(typed)) {}
  RemoteName(const char *typed) : text_(typed) {}
  RemoteName(std::string_view typed) : text_(typed) {}
  // A name the server gave: its text as read and the bytes it came in.
  static RemoteName named(std::string text, std::string bytes);
  // `bytes` when there are any (named), else the typed text.
  static RemoteName of(std::string text, std::optional<std::string> bytes);

  const std::string &text() const { return text_; }
  const std::optional<std::string> &bytes() const { return bytes_; }
  bool empty() const { return text_.empty() && (!bytes_ || bytes_->empty()); }
  void clear() {
    text_.clear();
    bytes_.reset();
  }

  // What goes to the server: the name's own bytes, else its text in the command encoding.
  std::string wire(bool utf8) const;

  // `name` inside this folder (an empty folder is the current one), as appendPathComponent joins
  // texts. A part without bytes joined to one with bytes is spelled in the command encoding.
  RemoteName child(const RemoteName &name, bool utf8 = false) const;
  // The name with `infix` before its extension ("photo.jpg" with ".upload": "photo.upload.jpg").
  RemoteName withInfix(std::string_view infix) const;

  // One key per file of a folder: equal for the same text and bytes only.
  std::string key() const;

  bool operator==(const RemoteName &) const = default;
  // The same text, and the same bytes where both know theirs (a record that kept only the text
  // names the file its text names).
  bool sameAs(const RemoteName &other) const {
    return text_ == other.text_ && (!bytes_ || !other.bytes_ || *bytes_ == *other.bytes_);
  }

private:
  std::string text_;
  std::optional<std::string> bytes_;
};

// The bytes of a command's text: UTF-8 for a server that reads it; otherwise the first of ASCII,
// ISO Latin-1 and Windows-1252 in which every character arrives, and UTF-8 when none does.
std::string commandEncoding(const std::string &text, bool utf8);

// Bytes as lowercase hexadecimal digits, and back (nothing for text that is not such digits).
std::string hexOfBytes(std::string_view bytes);
std::optional<std::string> bytesOfHex(std::string_view hex);
