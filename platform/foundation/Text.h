// Text helpers that stand in for the phone's string class: encodings, percent escapes,
// case-insensitive search, collation and path functions. Strings are UTF-8 std::string; bytes are
// std::vector<uint8_t>.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

using Bytes = std::vector<uint8_t>;

// Character encodings by the numbers the settings store (the phone's string-encoding numbers,
// and above 255 its lower-level text-encoding numbers).
enum class Encoding : uint32_t {
  ASCII = 1,       // 7-bit only
  JapaneseEUC = 3, // EUC-JP
  UTF8 = 4,
  ISOLatin1 = 5,
  NonLossyASCII = 7, // 7-bit, other characters as \uXXXX
  ShiftJIS = 8,
  ISOLatin2 = 9,
  Unicode = 10,       // UTF-16: decoding honours a byte-order mark (else little-endian);
                      // encoding writes little-endian, with a mark only before text that
                      // starts with U+FEFF or U+FFFE (which would read as one)
  WindowsCP1251 = 11, // Cyrillic
  WindowsCP1252 = 12, // Western
  WindowsCP1253 = 13, // Greek
  WindowsCP1254 = 14, // Turkish
  WindowsCP1250 = 15, // Central European
  ISO2022JP = 21,
  WindowsHebrew = 0x0505, // 1285, code page 1255
  WindowsArabic = 0x0506, // 1286, code page 1256
  GBK = 0x0421,           // 1057, code page 936
  GB18030 = 0x0632,       // 1586
  EUCKR = 0x0940,         // 2368
  KOI8R = 0x0A02,         // 2562
  Big5 = 0x0A03,          // 2563
  UTF16BigEndian = 0x90000100,
  UTF16LittleEndian = 0x94000100,
};

// The encoding for a stored number; the phone's wrapped form of a lower-level number
// (0x80000000 | n) is accepted too. Nothing for numbers that are not supported.
std::optional<Encoding> encodingFromNumber(uint32_t number);
// The IANA charset name ("UTF-8", "Shift_JIS", "windows-1251", ...).
const char *charsetName(Encoding encoding);

// Bytes to text. Nothing when the bytes are not valid in the encoding.
std::optional<std::string> decodeText(const uint8_t *data, size_t size, Encoding encoding);
inline std::optional<std::string> decodeText(const Bytes &data, Encoding encoding) {
  return decodeText(data.data(), data.size(), encoding);
}
inline std::optional<std::string> decodeText(std::string_view data, Encoding encoding) {
  return decodeText(reinterpret_cast<const uint8_t *>(data.data()), data.size(), encoding);
}
// As decodeText, and `starts` gets, for each byte of the text, the offset in `data` of the first
// byte its character was read from, with `size` after the last (text.size() + 1 entries): the
// bytes behind any run of whole characters. Nothing for data of 4 GB or more.
std::optional<std::string> decodeTextWithOffsets(const uint8_t *data, size_t size,
                                                 Encoding encoding, std::vector<uint32_t> &starts);
// Text to bytes. Nothing when the text is not valid UTF-8 or holds a character that the encoding
// cannot represent: no character is ever substituted or left out (the bytes decode to the text).
std::optional<Bytes> encodeText(std::string_view text, Encoding encoding);
// True when encodeText would succeed.
bool canBeConverted(std::string_view text, Encoding encoding);
bool isValidUTF8(std::string_view text);

// Decodes the code point of the UTF-8 text that starts at byte `i` (i < text.size()) and moves
// `i` past it. False,
// with `i` unchanged, for an ill-formed sequence (overlong, surrogate, above U+10FFFF, cut short).
bool nextCodePoint(std::string_view text, size_t &i, char32_t &cp);
// Appends the UTF-8 form of a code point.
void appendUTF8(std::string &out, char32_t cp);

// Percent escapes of the bytes of the text in the encoding. Letters, digits and
// !#$&'()*+,-./:;=?@_~ stay as they are; every other byte becomes %XX (upper-case hex).
// Nothing when the text cannot be represented in the encoding.
std::string addPercentEscapes(std::string_view text);
std::optional<std::string> addPercentEscapes(std::string_view text, Encoding encoding);
// Replaces every %XX by its byte and decodes the bytes. Nothing when a "%" is not followed by two
// hex digits or the bytes are not valid in the encoding.
std::optional<std::string> replacePercentEscapes(std::string_view text,
                                                 Encoding encoding = Encoding::UTF8);

// The integer value of a text: leading white space, an optional sign, then the leading decimal
// digits; 0 when there are none. Saturates at the int range. " 42x" is 42, "-7" is -7, "x" is 0.
int intValue(std::string_view text);
long long longLongValue(std::string_view text);

// A byte range of a UTF-8 text; `location` is npos when nothing was found.
struct TextRange {
  static constexpr size_t npos = std::string::npos;
  size_t location = npos;
  size_t length = 0;
  bool found() const { return location != npos; }
};

// Case-insensitive search (Unicode simple case folding). The first occurrence, or with
// `backwards` the last. An empty target is never found.
TextRange rangeOfCaseInsensitive(std::string_view text, std::string_view target,
                                 bool backwards = false);
bool containsCaseInsensitive(std::string_view text, std::string_view target);
bool hasPrefixCaseInsensitive(std::string_view text, std::string_view prefix);
bool hasSuffixCaseInsensitive(std::string_view text, std::string_view suffix);
std::string lowercase(std::string_view text);
std::string uppercase(std::string_view text);

// -1, 0 or 1. Case-insensitive comparison by the collation rules of the locale (the process's
// locale from LC_ALL / LC_COLLATE / LANG unless a test set another with setCollationLocale).
int localizedCaseInsensitiveCompare(std::string_view a, std::string_view b);
// -1, 0 or 1. Runs of digits compare by their numeric value ("9" before "10"), everything else by
// character.
int numericCompare(std::string_view a, std::string_view b);
// Tests pin the collation locale ("en_US", "sv_SE", ...); an empty name returns to the process's.
void setCollationLocale(const std::string &locale);

// Path functions on "/"-separated texts, purely lexical (the file system is not asked).
// "a" + "b" is "a/b"; doubled and trailing separators are removed; an empty base gives the
// component alone.
std::string appendPathComponent(std::string_view base, std::string_view component);
// "/a/b/" gives "b", "/" gives "/", "" gives "".
std::string lastPathComponent(std::string_view path);
// "/a/b" gives {"/", "a", "b"}; a trailing separator adds a last "/" component.
std::vector<std::string> pathComponents(std::string_view path);
// "/a/b" gives "/a", "/a" gives "/", "a" gives "", "/" gives "/".
std::string deleteLastPathComponent(std::string_view path);
// Removes "." components and doubled separators, and resolves ".." against the component before
// it ("/a/./b/../c" is "/a/c"; ".." at the root stays at the root; a relative path keeps leading
// ".." components).
std::string standardizePath(std::string_view path);

// The text for HTML: & < > " ' as character references.
std::string htmlEscaped(std::string_view text);

// The text as one line of a line-based exchange: "%", LF and CR as "%25", "%0A" and "%0D" (no
// line end added); and back, other "%" sequences kept as they stand.
std::string lineEscaped(std::string_view text);
std::string lineUnescaped(std::string_view line);

} // namespace platform
