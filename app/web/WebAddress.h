// What the web screens make of an address: its parts, the address-or-search rule of the address
// field, the text the field shows, and where a web download is saved. Every name taken from an
// address is untrusted: a file or folder made from it stays inside Saved Files.
#pragma once

#include <string>

struct WebAddress {
  std::string scheme, user, password, host, path, query;
  int port = 0; // 0 when the address names none
  static WebAddress parse(const std::string &url);
};

// The search service's address: the "WebSearchService" setting when set (tests point it at a
// local server), else the one chosen by "SearchProvider".
std::string searchServiceAddress();
// Typed text that is an address (a dot and no blank), not search words.
bool isAddressText(const std::string &typed);
// The address field's rule: an address (a dot and no blank) gets "http://" unless it carries an
// http, https or ftp scheme; anything else becomes a search, percent-escaped in UTF-8.
std::string addressOrSearch(const std::string &typed);
// The text percent-escaped in UTF-8 as one value of a query.
std::string queryEscape(const std::string &text);
// Everything up to and including the last "http://" removed (case ignored).
std::string withoutLastHttp(const std::string &url);
// The host is, or lies below, the advertising host.
bool isAdvertisingHost(const std::string &host);
// Where a web download of the address is saved (the folder is created). Empty when the address
// names no usable file; `why` then tells the user why, in a sentence.
std::string getSavedFilesPath(const std::string &url, std::string *why = nullptr);
// The last component of the address's path, decoded; empty when it is not a single safe name,
// with the reason in `why`.
std::string webFileName(const std::string &url, std::string *why = nullptr);
std::string htmlEscape(const std::string &text);
// The red page a failed load shows: the description, escaped, and nothing more.
std::string webErrorPage(const std::string &description);
