// Small text, file-name, encoding and formatting helpers used everywhere in the application.
// Strings are UTF-8. Every search ignores case; "first" is the first occurrence searching forwards,
// "last" the last one found searching backwards. An empty marker or argument is never found.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The standard Base64 alphabet.
extern const char szBASE_64Usual[];

// --- Searching and cutting -------------------------------------------------------------------

bool myContains(std::string_view s, std::string_view text);
bool myStartsWith(std::string_view s, std::string_view text);
bool myEndsWith(std::string_view s, std::string_view text);
// The text after the first occurrence; the whole receiver when absent.
std::string mySubStringAfterString(std::string_view s, std::string_view marker);
std::string mySubStringAfterFirstStringTrim(std::string_view s, std::string_view marker);
// From the first occurrence on, the marker included; empty when absent.
std::string mySubStringAfterFirstStringBlankOK(std::string_view s, std::string_view marker);
// Before the first occurrence; the whole receiver when absent.
std::string mySubStringBeforeFirstString(std::string_view s, std::string_view marker);
// Before the last occurrence; the whole receiver when absent.
std::string mySubStringBeforeString(std::string_view s, std::string_view marker);
// Between the first and the last occurrence.
std::string mySubStringBeforeAfterString(std::string_view s, std::string_view marker);
// After the last occurrence; empty when absent.
std::string myStringSuffixAfterString(std::string_view s, std::string_view marker);
// After the last occurrence; the whole receiver when absent.
std::string myStringAfterStringSelfIfNotFound(std::string_view s, std::string_view marker);
// Without white space and line ends at both ends.
std::string myTrimWS(std::string_view s);

// --- SQL quoting -------------------------------------------------------------------------------

// Every "'" doubled, for values spliced between single quotes.
std::string mySQL(std::string_view s);
// Trimmed first, then quoted like mySQL.
std::string mySQLw(std::string_view s);

// --- File names ----------------------------------------------------------------------------

std::string myFName(std::string_view s);
// The lower-cased extension ("old" backups give the extension before it); a name without any "."
// is returned unchanged.
std::string myFileType(std::string_view s);
std::string myBetterFileName(std::string_view s);
std::string myShortenedFileName(std::string_view s);
// The media type for the extension, from the resource "mime-types.plist".
std::string myMimeType(std::string_view s);
int myStringMonthToInteger(std::string_view s);
std::string myEllipseAfter(std::string_view s, size_t n);
std::string stringFromPathComponents(const std::vector<std::string> &components, int start,
                                     int end);

// --- Numbers and sizes -------------------------------------------------------------------

std::string itostr(long long value);
std::string numtostr(double value);
// "" for 0, "%.0f B" below 1000, "%.1f KB" below 1048576, else "%.1f MB".
std::string myFileSize(double bytes);

// --- Encodings ---------------------------------------------------------------------------

// Base64 of the text's 16-bit character codes, three to a group, added whole (standard Base64 of
// the Latin-1 bytes when every code is below 256).
std::string myBase64(std::string_view s);
// Standard Base64 of the bytes.
std::string myBase64(const std::vector<uint8_t> &data);
// The reverse of the string form; nothing for an empty receiver.
std::optional<std::vector<uint8_t>> myFromBase64(std::string_view s);
// The Base64 value of a character: 0 for "=", 0-63 for an alphabet symbol, -1 otherwise.
int _6BitChar(int c);

// --- Arrays and files ----------------------------------------------------------------------

// Takes the element out at `from` and inserts it at `to` (at to - 1 when from is below to).
template <class T> void moveObjectAtIndex(std::vector<T> &list, size_t from, size_t to) {
  if (from >= list.size()) return;
  T item = std::move(list[from]);
  list.erase(list.begin() + static_cast<std::ptrdiff_t>(from));
  if (from < to && to > 0) --to;
  if (to > list.size()) to = list.size();
  list.insert(list.begin() + static_cast<std::ptrdiff_t>(to), std::move(item));
}

// Size in bytes; 0 when the attributes cannot be read.
uint64_t sizeOfFileAtPath(const std::string &path);
// True when a name that came from a peer may become one local file name: not empty, not "." or
// "..", without "/" and without control characters (NUL, CR, LF, ...). Otherwise `why` (when
// given) says what is wrong with it.
bool isSingleFileName(std::string_view name, std::string *why = nullptr);
// True when an item named `name` can be made in `folder`: the name no longer than the folder's
// file system takes (255 bytes on the usual ones), the whole path no longer than a path may be.
// Otherwise `why` (when given) says which, in words that follow "That name cannot be used: ".
bool nameFitsFolder(const std::string &folder, std::string_view name, std::string *why = nullptr);
// The text with each control character written as "\xNN", for messages and log lines.
std::string withControlsEscaped(std::string_view text);
// The path with every symbolic link resolved; "" when it does not exist.
std::string resolvedPath(const std::string &path);
// True when path, normalised, lies in folder (or is folder), compared part by part, and the part
// of it that exists does not lead out of folder through a symbolic link; a dangling link on the
// way is refused, as writing through it would create its target wherever that is.
bool pathLiesInside(const std::string &path, const std::string &folder);
// Restricts the file to its owner on systems that offer file protection (4.0 and later).
void protectFile(const std::string &path);
// "Jan" to "Dec"; "???" otherwise.
std::string myIntToMonth(int month);

// --- UTF-16 helpers shared with the scrambler ------------------------------------------------

// The text as 16-bit code units (invalid UTF-8 bytes become U+FFFD).
std::u16string toUtf16Units(std::string_view utf8);
// 16-bit code units back to UTF-8 (lone surrogates become U+FFFD).
std::string fromUtf16Units(std::u16string_view units);
// Number of characters (code points) of a UTF-8 text.
size_t characterCount(std::string_view utf8);
// The first n characters (code points) of a UTF-8 text.
std::string firstCharacters(std::string_view utf8, size_t n);
