#include "FoundationFixture.h"

#include "app/foundation/Database.h"
#include "app/foundation/Globals.h"
#include "app/foundation/SettingsKeys.h"
#include "app/foundation/StringUtils.h"

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

namespace {

std::string sqliteCli(const std::string &file, const std::string &command) {
  int rc = -1;
  const std::string out =
      testsupport::runCommand("sqlite3 '" + file + "' \"" + command + "\" 2>&1", &rc);
  EXPECT_EQ(rc, 0) << out;
  return out;
}

struct Db {
  sqlite3 *db = OpenDatabase();
  ~Db() {
    if (db) sqlite3_close(db);
  }
};

} // namespace

class Database : public FoundationTest {
protected:
  std::string file() const { return documents() + "/bookmarks.sql"; }
};

TEST_F(Database, SeedHoldsOnlyTheBaseColumns) {
  const std::string seed = std::string(FERROWEN_SOURCE_DIR) + "/resources/bookmarks.sql";
  EXPECT_EQ(sqliteCli(seed, ".tables"), "bookmark\n");
  EXPECT_EQ(sqliteCli(seed, "SELECT group_concat(name) FROM pragma_table_info('bookmark')"),
            "pk,server,user,password\n");
  EXPECT_EQ(sqliteCli(seed, "SELECT pk FROM pragma_table_info('bookmark') WHERE name='pk'"), "1\n");
}

TEST_F(Database, FirstOpenCopiesTheSeedAndTheMigrationBuildsTheSchemaOnce) {
  {
    Db d;
    ASSERT_NE(d.db, nullptr);
    platform::LogCapture log(platform::Log::Sink::System);
    UpdateDatabaseStructure(d.db);
    // six columns, the table, its three columns, the two that keep names' bytes, and the one that
    // keeps an upload's temporary name
    EXPECT_EQ(log.count(), 13u);
    EXPECT_TRUE(log.contains("DB Update: 101"));
  }
  EXPECT_EQ(sqliteCli(file(), "SELECT group_concat(name || ':' || type || ':' || "
                              "ifnull(dflt_value,'-') || ':' || \\\"notnull\\\", ' ') "
                              "FROM pragma_table_info('bookmark')"),
            "pk:INTEGER:-:0 server:TEXT:-:0 user:TEXT:-:0 password:TEXT:-:0 "
            "alwaystryssl:VARCHAR(1):'1':1 warnnossl:VARCHAR(1):'1':1 parent:INTEGER:'0':0 "
            "name:CHAR(80):'':0 weburl:CHAR(120):'':0 protocol:CHAR(8):'ftp':0\n");
  EXPECT_EQ(sqliteCli(file(), "SELECT group_concat(name || ':' || type || ':' || "
                              "ifnull(dflt_value,'-'), ' ') FROM pragma_table_info('batchlist')"),
            "pk:INTEGER:- action:VARCHAR(10):'' filename:VARCHAR(120):'' "
            "path:VARCHAR(250):'' server:VARCHAR(120):'' user:VARCHAR(80):'' "
            "password:VARCHAR(80):'' start:INTEGER:'0' size:INTEGER:'0' "
            "localpath:VARCHAR(500):'' cleanfile:INTEGER:'0' roworder:INTEGER:'9999' "
            "port:INTEGER:'21' protocol:VARCHAR(8):'ftp' filenamebytes:VARCHAR(240):'' "
            "pathbytes:VARCHAR(500):'' uploadnamebytes:VARCHAR(600):''\n");
  const std::string schema = sqliteCli(file(), ".schema");
  EXPECT_NE(schema.find("CREATE TABLE bookmark (pk integer primary key, server text, user text, "
                        "password text, 'alwaystryssl' VARCHAR(1) NOT NULL DEFAULT '1'"),
            std::string::npos)
      << schema;
  EXPECT_NE(schema.find("'cleanfile' integer DEFAULT '0', 'roworder' integer DEFAULT '9999', "
                        "'port' integer DEFAULT '21', 'protocol' VARCHAR(8) DEFAULT 'ftp', "
                        "'filenamebytes' VARCHAR(240) DEFAULT '', 'pathbytes' VARCHAR(500) "
                        "DEFAULT '', 'uploadnamebytes' VARCHAR(600) DEFAULT '')"),
            std::string::npos)
      << schema;
  {
    Db d;
    platform::LogCapture log(platform::Log::Sink::System);
    UpdateDatabaseStructure(d.db);
    EXPECT_EQ(log.count(), 0u) << "a second run must change nothing";
  }
  EXPECT_EQ(sqliteCli(file(), ".schema"), schema);
  // The Documents copy is used from now on: the seed is not copied over it again.
  {
    Db d;
    SQLExecute(d.db, "INSERT INTO bookmark (server) VALUES ('kept')");
  }
  Db again;
  EXPECT_EQ(SQLGetCountNotZero(again.db, "SELECT * FROM bookmark WHERE server='kept'"), 1);
}

TEST_F(Database, RetiredAlwaysTrySSLConvertsBookmarksOnce) {
  InitGlobals();
  Db d;
  ASSERT_NE(d.db, nullptr);
  UpdateDatabaseStructure(d.db);
  SQLExecute(d.db, "INSERT INTO bookmark (server,protocol) VALUES ('a','ftp')");
  SQLExecute(d.db, "INSERT INTO bookmark (server,protocol) VALUES ('b','sftp')");
  globalUserDefaults->setObject("1", kAlwaysTrySSLKeyOLD);
  UpdateDatabaseStructure(d.db);
  EXPECT_EQ(sqliteCli(file(), "SELECT group_concat(protocol) FROM bookmark"), "ftps,ftps\n");
  EXPECT_EQ(globalUserDefaults->stringForKey(kAlwaysTrySSLKeyOLD).value_or(""), "0");
  // Written to disk: a fresh store sees it too.
  platform::UserDefaults::resetStandard();
  EXPECT_EQ(platform::UserDefaults::standard().integerForKey(kAlwaysTrySSLKeyOLD), 0);
  InitGlobals();
  SQLExecute(d.db, "UPDATE bookmark SET protocol='ftp' WHERE server='a'");
  UpdateDatabaseStructure(d.db);
  EXPECT_EQ(sqliteCli(file(), "SELECT group_concat(protocol) FROM bookmark"), "ftp,ftps\n");
}

TEST_F(Database, ExecuteReportsTheNewKeyOrMinusOne) {
  Db d;
  ASSERT_NE(d.db, nullptr);
  UpdateDatabaseStructure(d.db);
  platform::LogCapture log(platform::Log::Sink::System);
  const int first = SQLExecute(d.db, "INSERT INTO bookmark (server,user) VALUES ('" +
                                         mySQL("o'neil.example") + "','u')");
  EXPECT_EQ(first, 1);
  EXPECT_TRUE(log.contains("DB Command OK"));
  EXPECT_EQ(SQLExecute(d.db, "INSERT INTO bookmark (server) VALUES ('two')"), 2);
  // UPDATE and DELETE report the handle's last insert.
  EXPECT_EQ(SQLExecute(d.db, "UPDATE bookmark SET user='x' WHERE pk='1'"), 2);

  // A failing insert must not hand back the key of the earlier row, which a caller would then
  // delete by mistake.
  log.clear();
  SQLExecute(d.db, "CREATE UNIQUE INDEX one_server ON bookmark(server)");
  const int failed = SQLExecute(d.db, "INSERT INTO bookmark (server) VALUES ('two')");
  EXPECT_EQ(failed, -1);
  EXPECT_TRUE(log.contains("DB Error: #19 -- INSERT INTO bookmark (server) VALUES ('two')"));
  SQLExecute(d.db, "DELETE FROM bookmark WHERE pk='" + std::to_string(failed) + "'");
  EXPECT_EQ(sqliteCli(file(), "SELECT count(*) FROM bookmark"), "2\n");
  EXPECT_EQ(sqliteCli(file(), "SELECT server FROM bookmark WHERE pk=1"), "o'neil.example\n");

  // A query steps once, yields a row and is logged as not done.
  log.clear();
  EXPECT_EQ(SQLExecute(d.db, "SELECT * FROM bookmark"), -1);
  EXPECT_TRUE(log.contains("DB Error: #100 -- SELECT * FROM bookmark"));
  // A statement that does not prepare logs nothing.
  log.clear();
  EXPECT_EQ(SQLExecute(d.db, "INSERT INTO nowhere VALUES (1)"), -1);
  EXPECT_EQ(log.count(), 0u);
  EXPECT_EQ(SQLExecute(nullptr, "DELETE FROM bookmark"), -1);
}

TEST_F(Database, FreshHandleAndCounts) {
  Db d;
  ASSERT_NE(d.db, nullptr);
  UpdateDatabaseStructure(d.db);
  EXPECT_EQ(SQLExecute(d.db, "DELETE FROM bookmark WHERE pk='5'"), 0); // no insert yet
  EXPECT_EQ(SQLGetCountNotZero(d.db, "SELECT * FROM bookmark"), 0);
  SQLExecute(d.db, "INSERT INTO batchlist (action,filename) VALUES ('2','a.txt')");
  EXPECT_EQ(SQLGetCountNotZero(d.db, "SELECT * FROM batchlist WHERE action='2'"), 1);
  EXPECT_EQ(SQLGetCountNotZero(d.db, "SELEC * FROM"), 0);
  EXPECT_EQ(SQLGetCountNotZero(nullptr, "SELECT 1"), 0);
  EXPECT_EQ(sqliteCli(file(), "SELECT roworder || ',' || port || ',' || protocol FROM batchlist"),
            "9999,21,ftp\n");
}

TEST_F(Database, MissingSeedGivesNoHandle) {
  const std::string empty = tmpPath() + "/no-resources";
  platform::FileManager::createDirectory(empty);
  platform::Paths::setResources(empty);
  platform::LogCapture log(platform::Log::Sink::System);
  EXPECT_EQ(OpenDatabase(), nullptr);
  EXPECT_TRUE(log.contains("Failed to create writable database file with message '"));
  EXPECT_FALSE(platform::FileManager::fileExists(file()));
}

TEST_F(Database, ReadOnlySeedGivesAWritableCopy) {
  const std::string installed = tmpPath() + "/installed";
  platform::FileManager::createDirectory(installed);
  ASSERT_TRUE(platform::FileManager::copyItem(
      std::string(FERROWEN_SOURCE_DIR) + "/resources/bookmarks.sql", installed + "/bookmarks.sql"));
  ::chmod((installed + "/bookmarks.sql").c_str(), 0444);
  platform::Paths::setResources(installed);
  Db d;
  ASSERT_NE(d.db, nullptr);
  EXPECT_TRUE(platform::FileManager::attributesOfItem(file())->permissions & 0200);
  UpdateDatabaseStructure(d.db);
  EXPECT_EQ(SQLExecute(d.db, "INSERT INTO bookmark (server) VALUES ('a')"), 1);
  EXPECT_EQ(SQLGetCountNotZero(d.db, "SELECT * FROM batchlist WHERE 0"), 0);
  EXPECT_EQ(sqliteCli(file(), "SELECT count(*) FROM pragma_table_info('batchlist')"), "17\n");
}

// Another reader holding the file while our write commits (a second connection, another process)
// makes the commit wait, not fail: a failed COMMIT dropped the queue's held-back rows.
TEST_F(Database, ACommitWaitsForAReaderInsteadOfFailing) {
  Db ours;
  ASSERT_TRUE(ours.db);
  ASSERT_EQ(sqlite3_exec(ours.db, "CREATE TABLE t (v INTEGER); INSERT INTO t VALUES (0)", nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  sqlite3 *reader = nullptr;
  ASSERT_EQ(sqlite3_open(file().c_str(), &reader), SQLITE_OK);
  // The reader's open statement holds a shared lock on the file until it is reset.
  sqlite3_stmt *reading = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(reader, "SELECT v FROM t", -1, &reading, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(reading), SQLITE_ROW);
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    sqlite3_reset(reading);
  });
  ASSERT_EQ(sqlite3_exec(ours.db, "BEGIN", nullptr, nullptr, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(ours.db, "INSERT INTO t VALUES (1)", nullptr, nullptr, nullptr),
            SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(ours.db, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK)
      << sqlite3_errmsg(ours.db);
  release.join();
  sqlite3_finalize(reading);
  sqlite3_close(reader);
  sqlite3_stmt *count = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(ours.db, "SELECT COUNT(*) FROM t", -1, &count, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(count), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(count, 0), 2);
  sqlite3_finalize(count);
}
