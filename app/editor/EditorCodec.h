// The text editor's codec: turns a file's bytes into the text the editor shows (an encoding by
// setting or by detection: byte-order marks, charset declarations, a UTF-8 pair count and a
// Shift JIS test), and turns the edited text back into bytes with the encoding and the line ends
// in force. Pure functions: the screen keeps the state between a load and a save.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace editor {

using Bytes = std::vector<uint8_t>;

// Encoding identifiers as the settings store them (the phone's string-encoding numbers; 1285,
// 1286, 2368, 2562 and 2563 are its lower-level text-encoding numbers).
inline constexpr uint32_t kEncodingASCII = 1;
inline constexpr uint32_t kEncodingEUCJP = 3;
inline constexpr uint32_t kEncodingUTF8 = 4;
inline constexpr uint32_t kEncodingLatin1 = 5;
inline constexpr uint32_t kEncodingNonLossyASCII = 7;
inline constexpr uint32_t kEncodingShiftJIS = 8;
inline constexpr uint32_t kEncodingLatin2 = 9;
inline constexpr uint32_t kEncodingUTF16 = 10;
inline constexpr uint32_t kEncodingWin1251 = 11;
inline constexpr uint32_t kEncodingWin1252 = 12;
inline constexpr uint32_t kEncodingWin1253 = 13;
inline constexpr uint32_t kEncodingWin1254 = 14;
inline constexpr uint32_t kEncodingISO2022JP = 21;

// One row of the encoding chooser.
struct EncodingRow {
  const char *title;
  uint32_t identifier;
};
// The fifteen rows, in menu order.
const std::vector<EncodingRow> &encodingRows();
// The row of an identifier; 0 for an identifier without a row (3, 21, unknown ones).
int rowForEncoding(uint32_t identifier);
// The chooser's title of an identifier (the row's title; the charset name for 3 and 21).
std::string encodingTitle(uint32_t identifier);
bool isLowerLevelEncoding(uint32_t identifier);

// Bytes to text in one encoding, without detection or fallbacks. Nothing when the bytes are not
// valid in it (or the identifier is unknown). Non-lossy ASCII (7) takes 7-bit bytes only and
// reads "\uXXXX" escapes of characters outside ASCII; an escape of an ASCII character stays as
// it is written, so every pure-ASCII file reads back to its own bytes.
std::optional<std::string> decodeWith(const uint8_t *data, size_t size, uint32_t identifier);
inline std::optional<std::string> decodeWith(const Bytes &data, uint32_t identifier) {
  return decodeWith(data.data(), data.size(), identifier);
}
// Text to bytes in one encoding, no mark. Nothing when the encoding cannot hold the text.
std::optional<Bytes> encodeWith(std::string_view text, uint32_t identifier);

// What a load found.
struct DecodedText {
  uint32_t useEncoding = kEncodingNonLossyASCII;
  bool unicodeWithFFFE = false;  // UTF-16 little-endian written after FF FE
  bool unicodeBigEndian = false; // UTF-16 big-endian written after FE FF
  bool utf8WithMark = false;     // UTF-8 written after EF BB BF
  bool wasCRLF = false;
  // False when the bytes were there but no encoding took them: such a text must never be saved
  // over the file.
  bool loaded = true;
  std::string text;
  size_t markLength = 0; // the byte-order mark taken off before the text was read
  // Non-lossy ASCII: the file holds escapes of characters outside ASCII (the first of them with
  // capital hex digits).
  bool fileHasEscapes = false, upperCaseEscapes = false;
};

// The whole load: `defaultEncoding` is the setting "DefaultEncoding" (0: detect).
DecodedText decodeFile(const Bytes &bytes, uint32_t defaultEncoding);
// A reload in a chosen encoding: no detection, no fallbacks; a mark of that encoding is read.
DecodedText decodeFileAs(const Bytes &bytes, uint32_t identifier);

// The detection steps on their own (exposed for the tests of their edges).
// The charset that the first 2048 bytes declare ("charset=" or "encoding="), or 0.
uint32_t declaredEncoding(const uint8_t *data, size_t size);
// More UTF-8 lead-continuation pairs than broken ones.
bool utf8PairsWin(const uint8_t *data, size_t size);
// Lead and trail bytes of Shift JIS outnumber broken pairs eight to one.
bool looksLikeShiftJIS(const uint8_t *data, size_t size);

// The line ends for saving by "CarriageControl": 2 LF, 1 CR LF, 0 CR LF when the file had CR LF;
// anything else leaves the text as it is.
std::string lineEndsForSaving(std::string text, int carriageControl, bool wasCRLF);

// What a save needs of the editor's state.
struct EncodeState {
  uint32_t useEncoding = kEncodingNonLossyASCII;
  bool unicodeWithFFFE = false, unicodeBigEndian = false, utf8WithMark = false;
  // Non-lossy ASCII only: new characters outside ASCII are written as escapes only in a file that
  // already uses them, spelt in the case the file uses.
  bool fileHasEscapes = false, upperCaseEscapes = false;
};
// The bytes of the text (line ends already applied) with the mark in force. An empty text in
// non-lossy ASCII moves to UTF-8, and so does a text with characters outside ASCII when the file
// used no escapes (`state.useEncoding` is updated). Nothing when the encoding cannot hold the
// text: the caller asks the user what to do instead of picking an encoding.
std::optional<Bytes> encodeForSaving(std::string_view text, EncodeState &state);

// A file as it was loaded: its bytes, the text read from them and how they were read.
struct LoadedFile {
  Bytes bytes;
  std::string text;
  EncodeState state;
  size_t markLength = 0;
};
// The bytes of an edited text for saving (line ends by `carriageControl`, as lineEndsForSaving):
// every character that is as it was loaded keeps the file's own bytes, so an edit changes no byte
// outside it even where the encoding would write a character differently. A plain ASCII file that
// gains other characters moves to UTF-8 the same way. A file whose encoding changed otherwise, or
// that carries a shift state, is encoded whole. Nothing when the encoding cannot hold the edited
// text.
std::optional<Bytes> encodeEdited(std::string_view text, int carriageControl, bool wasCRLF,
                                  const LoadedFile &loaded, EncodeState &state);

} // namespace editor
