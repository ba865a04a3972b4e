// Files the renderer serves: opened only below a root folder, component by component, never
// through a symbolic link, so no name can lead elsewhere.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::ui::detail {

// Opens root/relative for reading. Refuses empty, ".", ".." and NUL components, symbolic links
// anywhere below the root, and anything that is not a regular file. -1 when refused or missing,
// errno saying why (EMFILE or ENFILE: there, but no descriptor was left to open it).
int openConfined(const std::string &root, const std::string &relative);
// The whole file (at most `limit` bytes), or nothing (errno saying why).
std::optional<std::string> readConfined(const std::string &root, const std::string &relative,
                                        size_t limit);
// The path inside `root` that an absolute path names ("" when it is not below the root).
std::string relativeInside(const std::string &root, const std::string &absolute);
// The content type for a file name, by its extension.
const char *contentTypeFor(const std::string &name);
// The content type of a document shown in a web view: pictures and PDF files by their first bytes
// (whatever their name says), else by the name's extension. HTML only ever by the extension.
std::string documentTypeFor(const std::string &head, const std::string &name);
// Whether a document of this type is shown as itself (a picture, a PDF, a movie or a sound)
// rather than as a page or as text.
bool isShownAsItself(const std::string &type);
// The charset a page names in a <meta> tag within its first 1024 bytes, where a browser looks
// for it ("" when none, or when it is no plain name).
std::string metaCharset(std::string_view html);
// Bytes that are no text: a NUL among the first 1024.
bool looksBinary(std::string_view body);
// A page's body made ready to be served in a page of its own: text in UTF-16 becomes UTF-8 (the
// page's script is put before it). `charset` is the server's, or the page's own meta charset, or
// UTF-8; it comes back as the charset to serve the body with.
std::string pageBodyIn(std::string body, std::string &charset);
// A random token of `bytes` random bytes, as hexadecimal.
std::string randomToken(size_t bytes);
// Compares without leaking where two texts differ.
bool sameSecret(const std::string &a, const std::string &b);

} // namespace platform::ui::detail
