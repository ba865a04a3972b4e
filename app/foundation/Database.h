// The bookmark and transfer-queue database "bookmarks.sql" in Documents, seeded from the
// resources. Every user opens its own handle, uses it on one thread and closes it with
// sqlite3_close. Statements are formatted text; text values pass through mySQL.
#pragma once

#include <string>

struct sqlite3;

// An open handle on Documents/"bookmarks.sql" (the seed is copied there first when missing), or
// null when no database is available.
// `error`, when given, receives why the database could not be opened (SQLite's own message, or
// why its file could not be made).
sqlite3 *OpenDatabase(std::string *error = nullptr);
// Runs one non-query statement. Returns the handle's last inserted row id (the new pk after an
// INSERT), or -1 when the statement did not run to its end: callers take -1 as "not stored".
int SQLExecute(sqlite3 *db, const std::string &sql);
// 1 when the query yields at least one row, else 0.
int SQLGetCountNotZero(sqlite3 *db, const std::string &sql);
// Brings the schema up to date; idempotent, runs in full on every call. Returns the result code
// of its last step.
int UpdateDatabaseStructure(sqlite3 *db);
