#include "app/foundation/Database.h"

#include "app/foundation/Globals.h"
#include "app/foundation/SettingsKeys.h"

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"

#include <sqlite3.h>
#include <sys/stat.h>

namespace {

platform::UserDefaults &settings() {
  return platform::UserDefaults::standard(); // the store globalUserDefaults names
}

// One migration step: a statement that SQLite refuses to prepare (an existing column or table)
// is skipped without a word.
int runUpdateStep(sqlite3 *db, const char *sql, int last) {
  sqlite3_stmt *stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt);
    return last;
  }
  const int rc = sqlite3_step(stmt);
  platform::Log::systemf("DB Update: %i", rc);
  sqlite3_finalize(stmt);
  return rc;
}

} // namespace

sqlite3 *OpenDatabase(std::string *error) {
  const std::string path =
      platform::appendPathComponent(platform::Paths::documents(), "bookmarks.sql");
  if (!platform::FileManager::fileExists(path)) {
    const std::string seed =
        platform::appendPathComponent(platform::Paths::resources(), "bookmarks.sql");
    const auto copied = platform::FileManager::copyItem(seed, path);
    if (!copied) {
      platform::Log::systemf("Failed to create writable database file with message '%s'.",
                             copied.error().c_str());
      if (error) *error = copied.error();
      return nullptr;
    }
    // An installed seed may be read-only; the copy is the user's and must take writes.
    ::chmod(path.c_str(), 0644);
  }
  sqlite3 *db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
    if (error) *error = db ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    return nullptr;
  }
  // Another reader of the file (a second connection, another process) holds it for a moment at
  // most: a write waits for it instead of failing. A failed COMMIT lost the queue's held-back
  // rows and left its transaction open.
  sqlite3_busy_timeout(db, 5000);
  return db;
}

int SQLExecute(sqlite3 *db, const std::string &sql) {
  if (!db) return -1;
  sqlite3_stmt *stmt = nullptr;
  bool stored = false;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK && stmt) {
    const int rc = sqlite3_step(stmt);
    if (rc == SQLITE_OK || rc == SQLITE_DONE) {
      platform::Log::system("DB Command OK");
      stored = true;
    } else {
      platform::Log::systemf("DB Error: #%i -- %s", rc, sql.c_str());
    }
  }
  sqlite3_finalize(stmt);
  // A failed statement must not hand back the key of some earlier insert.
  if (!stored) return -1;
  return static_cast<int>(sqlite3_last_insert_rowid(db));
}

int SQLGetCountNotZero(sqlite3 *db, const std::string &sql) {
  if (!db) return 0;
  sqlite3_stmt *stmt = nullptr;
  int result = 0;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK && stmt &&
      sqlite3_step(stmt) == SQLITE_ROW)
    result = 1;
  sqlite3_finalize(stmt);
  return result;
}

int UpdateDatabaseStructure(sqlite3 *db) {
  if (!db) return SQLITE_MISUSE;
  int rc = SQLITE_OK;
  rc = runUpdateStep(
      db, "ALTER TABLE 'bookmark' ADD 'alwaystryssl' VARCHAR(1) NOT NULL DEFAULT '1'", rc);
  rc = runUpdateStep(db, "ALTER TABLE 'bookmark' ADD 'warnnossl' VARCHAR(1) NOT NULL DEFAULT '1'",
                     rc);
  rc = runUpdateStep(db, "ALTER TABLE 'bookmark' ADD 'parent' integer DEFAULT '0'", rc);
  rc = runUpdateStep(db, "ALTER TABLE 'bookmark' ADD 'name' CHAR(80) DEFAULT ''", rc);
  rc = runUpdateStep(db, "ALTER TABLE 'bookmark' ADD 'weburl' CHAR(120) DEFAULT ''", rc);
  rc = runUpdateStep(db, "ALTER TABLE 'bookmark' ADD 'protocol' CHAR(8) DEFAULT 'ftp'", rc);

  // The retired "always try TLS" setting becomes the protocol of every bookmark, once.
  auto &defaults = settings();
  if (defaults.integerForKey(kAlwaysTrySSLKeyOLD) == 1) {
    SQLExecute(db, "UPDATE 'bookmark' SET protocol='ftps'");
    defaults.setObject("0", kAlwaysTrySSLKeyOLD);
    defaults.synchronize();
  }

  rc = runUpdateStep(
      db,
      "CREATE TABLE 'batchlist' ('pk' integer primary key, 'action' VARCHAR(10) DEFAULT '', "
      "'filename' VARCHAR(120) DEFAULT '', 'path' VARCHAR(250) DEFAULT '', 'server' VARCHAR(120) "
      "DEFAULT '', 'user' VARCHAR(80) DEFAULT '', 'password' VARCHAR(80) DEFAULT '', 'start' "
      "integer DEFAULT '0', 'size' integer DEFAULT '0', 'localpath' VARCHAR(500) DEFAULT '', "
      "'cleanfile' integer DEFAULT '0')",
      rc);
  rc = runUpdateStep(db, "ALTER TABLE 'batchlist' ADD 'roworder' integer DEFAULT '9999'", rc);
  rc = runUpdateStep(db, "ALTER TABLE 'batchlist' ADD 'port' integer DEFAULT '21'", rc);
  rc = runUpdateStep(db, "ALTER TABLE 'batchlist' ADD 'protocol' VARCHAR(8) DEFAULT 'ftp'", rc);
  // The bytes an FTP server named a row's file and folder with (in hexadecimal; empty: none, the
  // text goes out as typed), so that the row reaches the file it was made for after a restart.
  // Rows stored before keep working as they did.
  rc = runUpdateStep(db, "ALTER TABLE 'batchlist' ADD 'filenamebytes' VARCHAR(240) DEFAULT ''", rc);
  rc = runUpdateStep(db, "ALTER TABLE 'batchlist' ADD 'pathbytes' VARCHAR(500) DEFAULT ''", rc);
  // The temporary name an SFTP upload row writes under (its bytes in hexadecimal; empty: none
  // yet), so that a start after a kill writes over the part the killed one left.
  rc = runUpdateStep(db, "ALTER TABLE 'batchlist' ADD 'uploadnamebytes' VARCHAR(600) DEFAULT ''",
                     rc);
  // Every queued item is first looked up by its name and folder: without an index each lookup
  // reads the whole queue.
  // (Not logged: it is no step of the migration, and it runs at every start.)
  sqlite3_exec(db,
               "CREATE INDEX IF NOT EXISTS 'batchlist_name' ON 'batchlist' ('filename', 'path')",
               nullptr, nullptr, nullptr);
  return rc;
}
