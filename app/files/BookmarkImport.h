// Server bookmarks read back from a text file in Saved Files: "bookmarks.txt" as the export
// writes it (passwords scrambled) or "bookmarks-p.txt" written by hand (passwords plain). Each line
// "name|server|user|password[|weburl[|protocol]]" ("," or a tab may separate instead) updates the
// bookmark with the same server and user, or adds one.
#pragma once

#include <string>

struct sqlite3;

struct BookmarkImportCounts {
  int imported = 0;
  int updated = 0;
};

// The file's name decides how its passwords are read. An unreadable file imports nothing.
BookmarkImportCounts importBookmarksFile(sqlite3 *db, const std::string &path);
// "Imported %i bookmark(s)\nUpdated %i bookmark(s)"
std::string bookmarkImportMessage(const BookmarkImportCounts &counts);
