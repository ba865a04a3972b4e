#include "app/files/BookmarkImport.h"

#include <vector>

#include "app/foundation/Database.h"
#include "app/foundation/Scrambler.h"
#include "app/foundation/StringUtils.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"

namespace {

constexpr size_t kMaxFile = 16 * 1024 * 1024;

std::vector<std::string> splitBy(const std::string &line, char sep) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t end = line.find(sep, start);
    fields.push_back(line.substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos) return fields;
    start = end + 1;
  }
}

std::string baseName(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

BookmarkImportCounts importBookmarksFile(sqlite3 *db, const std::string &path) {
  BookmarkImportCounts counts;
  const auto attrs = platform::FileManager::attributesOfItem(path);
  if (attrs && attrs->size > kMaxFile) {
    platform::Log::systemf("Bookmark import: the file is too large");
    return counts;
  }
  const std::string text = platform::FileManager::stringContentsAtPath(path).value_or("");
  const bool plainPasswords = baseName(path) == "bookmarks-p.txt";
  for (const std::string &raw : splitBy(text, '\n')) {
    const std::string line = myTrimWS(raw);
    if (line.rfind("//", 0) == 0) continue;
    std::vector<std::string> f = splitBy(line, '|');
    if (f.size() < 2) f = splitBy(line, ',');
    if (f.size() < 2) f = splitBy(line, '\t');
    if (f.size() < 4) continue;
    const std::string server = mySQLw(f[1]), user = mySQLw(f[2]);
    const std::string protocol = mySQLw(f.size() >= 6 ? f[5] : "ftp");
    const std::string weburl = mySQLw(f.size() >= 5 ? f[4] : "");
    // The scrambled alphabet holds no quote, but the text of the file may.
    const std::string password =
        mySQL(plainPasswords ? myEncryptString1(myTrimWS(f[3])) : myTrimWS(f[3]));
    const std::string where = " WHERE server='" + server + "' AND user='" + user + "'";
    std::string sql;
    if (SQLGetCountNotZero(db, "SELECT pk FROM bookmark" + where)) {
      sql = "UPDATE bookmark SET name='" + mySQLw(f[0]) + "', password='" + password +
            "', weburl='" + weburl + "', protocol='" + protocol + "'" + where;
      ++counts.updated;
    } else {
      sql = "INSERT INTO bookmark (name,server,user,password,weburl,protocol) VALUES ('" +
            mySQLw(f[0]) + "', '" + server + "', '" + user + "', '" + password + "', '" + weburl +
            "', '" + protocol + "')";
      ++counts.imported;
    }
    SQLExecute(db, sql);
  }
  return counts;
}

std::string bookmarkImportMessage(const BookmarkImportCounts &counts) {
  return "Imported " + std::to_string(counts.imported) + " bookmark(s)\nUpdated " +
         std::to_string(counts.updated) + " bookmark(s)";
}
