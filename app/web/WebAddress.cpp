#include "app/web/WebAddress.h"

#include "app/foundation/Globals.h"
#include "app/foundation/SettingsKeys.h"
#include "app/foundation/StringUtils.h"

#include "platform/foundation/Clock.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"

using namespace platform;

WebAddress WebAddress::parse(const std::string &url) {
  WebAddress a;
  size_t rest = 0;
  if (auto colon = url.find("://"); colon != std::string::npos) {
    a.scheme = lowercase(url.substr(0, colon));
    rest = colon + 3;
  } else if (auto c = url.find(':'); c != std::string::npos && url.find('/') > c) {
    a.scheme = lowercase(url.substr(0, c));
    a.path = url.substr(c + 1);
    return a;
  }
  auto end = url.find_first_of("/?#", rest);
  std::string authority =
      url.substr(rest, end == std::string::npos ? std::string::npos : end - rest);
  if (auto at = authority.rfind('@'); at != std::string::npos) {
    auto cred = authority.substr(0, at);
    authority = authority.substr(at + 1);
    auto colon = cred.find(':');
    a.user = replacePercentEscapes(cred.substr(0, colon)).value_or("");
    if (colon != std::string::npos)
      a.password = replacePercentEscapes(cred.substr(colon + 1)).value_or("");
  }
  if (auto colon = authority.rfind(':');
      colon != std::string::npos && authority.find(']', colon) == std::string::npos) {
    a.port = intValue(authority.substr(colon + 1));
    authority = authority.substr(0, colon);
  }
  a.host = lowercase(authority);
  if (end == std::string::npos) return a;
  std::string tail = url.substr(end);
  tail = tail.substr(0, tail.find('#'));
  auto q = tail.find('?');
  a.path = tail.substr(0, q);
  if (q != std::string::npos) a.query = tail.substr(q + 1);
  return a;
}

std::string searchServiceAddress() {
  auto &d = *globalUserDefaults;
  if (auto own = d.stringForKey("WebSearchService"); own && !own->empty()) return *own;
  switch (d.integerForKey("SearchProvider")) {
  case 0:
    return "http://www.google.com/search?q=";
  case 1:
    return "http://www.bing.com/search?q=";
  default:
    return "http://search.yahoo.com/search?p=";
  }
}

bool isAddressText(const std::string &typed) {
  return typed.find('.') != std::string::npos && typed.find(' ') == std::string::npos;
}

std::string addressOrSearch(const std::string &typed) {
  if (isAddressText(typed)) {
    for (const char *scheme : {"http://", "https://", "ftp://"})
      if (hasPrefixCaseInsensitive(typed, scheme)) return typed;
    return "http://" + typed;
  }
  return searchServiceAddress() + queryEscape(typed);
}

std::string queryEscape(const std::string &text) {
  std::string out;
  for (char c : addPercentEscapes(text)) {
    // Characters that would end a value inside a query are escaped too.
    if (std::string_view("&+=#?/;'").find(c) != std::string_view::npos) {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", static_cast<unsigned char>(c));
      out += buf;
    } else {
      out += c;
    }
  }
  return out;
}

std::string withoutLastHttp(const std::string &url) {
  auto lower = lowercase(url);
  auto at = lower.rfind("http://");
  return at == std::string::npos ? url : url.substr(at + 7);
}

bool isAdvertisingHost(const std::string &host) {
  return containsCaseInsensitive(host, "doubleclick.net");
}

namespace {
// A name from an address as an alert shows it: quoted, bounded (the text of a link is the
// page's) and with its control characters written out.
std::string shown(const std::string &text) {
  return "\"" + myEllipseAfter(withControlsEscaped(text), 80) + "\"";
}
} // namespace

std::string webFileName(const std::string &url, std::string *why) {
  auto fail = [why](const std::string &text) {
    if (why) *why = text;
    return std::string();
  };
  auto path = WebAddress::parse(url).path;
  auto slash = path.rfind('/');
  if (slash == std::string::npos || slash + 1 == path.size())
    return fail("The address " + shown(url) + " names no file to download.");
  const std::string raw = path.substr(slash + 1);
  auto name = replacePercentEscapes(raw);
  if (!name) return fail("The name " + shown(raw) + " in the address is not validly escaped.");
  std::string problem;
  if (!isSingleFileName(*name, &problem))
    return fail("The name " + shown(*name) +
                " from the address cannot be a local file name: " + problem + ".");
  return *name;
}

namespace {

// A folder name made from a part of an address: a single safe name, or "_" in its place.
std::string safeFolder(const std::string &name) {
  std::string out;
  for (char c : name)
    out += (c == '/' || c == '\0' || c == '\\') ? '_' : c;
  if (out.empty() || !isSingleFileName(out)) return "_";
  return out;
}

} // namespace

std::string getSavedFilesPath(const std::string &url, std::string *why) {
  // A refused name makes no folder either.
  auto name = webFileName(url, why);
  if (name.empty()) return {};
  const std::string docs = Paths::documents();
  FileManager::createDirectory(docs);
  const std::string files = docs + "/Files";
  auto a = WebAddress::parse(url);
  auto host = safeFolder(a.host);
  auto type = safeFolder(myFileType(lastPathComponent(a.path)));
  std::string folder;
  switch (globalUserDefaults->integerForKey(kDefaultDownloadFolderKey)) {
  case 0:
    // The folder the local files screen showed last, also a folder of the shared folder.
    folder = currentLocalFolderInDocuments.empty()
                 ? files
                 : appendPathComponent(docs, currentLocalFolderInDocuments);
    if (!pathLiesInside(folder, docs) || folder == docs) folder = files;
    break;
  case 1:
    folder = files + "/" + host;
    break;
  case 2:
    folder = files + "/" + type;
    break;
  case 3:
    folder = files + "/" + host + "/" + type;
    break;
  case 4:
    folder =
        files + "/" + safeFolder(dateFormatDateOnly->stringFromDate(Clock::current().wallNow()));
    break;
  default:
    folder = files;
    break;
  }
  // A name the file system does not take is refused before anything is fetched or made.
  std::string problem;
  if (!nameFitsFolder(folder, name, &problem)) {
    if (why)
      *why = "The name " + shown(name) +
             " from the address cannot be a local file name: " + problem + ".";
    return {};
  }
  FileManager::createDirectory(folder, true);
  auto result = folder + "/" + name;
  Log::debug("getSavedFilesPath: " + result);
  return result;
}

std::string htmlEscape(const std::string &text) {
  return platform::htmlEscaped(text);
}

std::string webErrorPage(const std::string &description) {
  return "<html><center><font size=+5 color='red'>An error occurred:<br>" +
         htmlEscape(description) + "</font></center></html>";
}
