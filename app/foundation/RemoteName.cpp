#include "app/foundation/RemoteName.h"

#include "platform/foundation/Text.h"

#include <algorithm>

RemoteName RemoteName::named(std::string text, std::string bytes) {
  return of(std::move(text), std::move(bytes));
}

RemoteName RemoteName::of(std::string text, std::optional<std::string> bytes) {
  RemoteName name(std::move(text));
  name.bytes_ = std::move(bytes);
  return name;
}

std::string RemoteName::wire(bool utf8) const {
  return bytes_ ? *bytes_ : commandEncoding(text_, utf8);
}

RemoteName RemoteName::child(const RemoteName &name, bool utf8) const {
  RemoteName joined(platform::appendPathComponent(text_, name.text_));
  if (bytes_ || name.bytes_)
    joined.bytes_ = platform::appendPathComponent(wire(utf8), name.wire(utf8));
  return joined;
}

namespace {
// photo.jpg gives photo.upload.jpg; a name without a "." gets the infix at its end.
std::string infixed(std::string_view name, std::string_view infix) {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return std::string(name) + std::string(infix);
  return std::string(name.substr(0, dot)) + std::string(infix) + std::string(name.substr(dot));
}
} // namespace

RemoteName RemoteName::withInfix(std::string_view infix) const {
  RemoteName out(infixed(text_, infix));
  if (bytes_) out.bytes_ = infixed(*bytes_, infix);
  return out;
}

std::string RemoteName::key() const {
  std::string k = text_;
  if (bytes_) {
    k.push_back('\0');
    k += *bytes_;
  }
  return k;
}

std::string commandEncoding(const std::string &text, bool utf8) {
  if (!utf8) {
    // Only an encoding in which every character arrives: a name that lost or changed a
    // character is another file's name. Non-lossy ASCII spells other characters as "\uXXXX",
    // which a server reads as those six characters, so it counts only when it leaves the text as
    // it is.
    for (auto enc : {platform::Encoding::ASCII, platform::Encoding::ISOLatin1,
                     platform::Encoding::WindowsCP1252}) {
      if (auto b = platform::encodeText(text, enc)) return std::string(b->begin(), b->end());
    }
    if (auto b = platform::encodeText(text, platform::Encoding::NonLossyASCII))
      if (std::equal(b->begin(), b->end(), text.begin(), text.end()))
        return std::string(b->begin(), b->end());
  }
  // A character none of them has goes out in UTF-8, the way most servers store such names. The
  // text's bytes are sent as they are, so nothing of it is lost or changed.
  return text;
}

std::string hexOfBytes(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    hex.push_back(kDigits[c >> 4]);
    hex.push_back(kDigits[c & 15]);
  }
  return hex;
}

std::optional<std::string> bytesOfHex(std::string_view hex) {
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (hex.size() % 2) return std::nullopt;
  std::string bytes;
  bytes.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int hi = digit(hex[i]), lo = digit(hex[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    bytes.push_back(char(hi * 16 + lo));
  }
  return bytes;
}
