// The queue's storage: loading the table `batchlist`, adding items (normalised and
// de-duplicated), and the look-ups that the connections and the file manager use.
#include "app/queue/BatchListView.h"

#include "app/foundation/Database.h"
#include "app/foundation/StringUtils.h"

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"

#include <sqlite3.h>

#include <algorithm>
#include <utility>

using platform::Log;
using platform::ui::AlertView;
using platform::ui::AlertViewDelegate;

namespace {

std::string columnText(sqlite3_stmt *stmt, int column) {
  const unsigned char *text = sqlite3_column_text(stmt, column);
  return text ? reinterpret_cast<const char *>(text) : std::string();
}

// A name with the bytes a column keeps for it (hexadecimal; empty: the text goes out as typed).
RemoteName columnName(sqlite3_stmt *stmt, int textColumn, int bytesColumn) {
  const std::string hex = columnText(stmt, bytesColumn);
  return RemoteName::of(columnText(stmt, textColumn), hex.empty() ? std::nullopt : bytesOfHex(hex));
}
std::string bytesColumnOf(const RemoteName &name) {
  return name.bytes() ? hexOfBytes(*name.bytes()) : std::string();
}

std::vector<std::string> pathComponents(const std::string &text) {
  std::vector<std::string> parts;
  size_t at = 0;
  while (at <= text.size()) {
    size_t slash = text.find('/', at);
    if (slash == std::string::npos) slash = text.size();
    if (slash > at) parts.push_back(text.substr(at, slash - at));
    at = slash + 1;
  }
  return parts;
}

// A port typed after the host is the row's port, and goes out of the server text, which keeps the
// host and the folder typed after it ("host:2121/pub" is "host/pub" on port 2121); web items keep
// their whole address.
void splitHostPort(std::string &server, int &port) {
  const ServerText typed = ServerText::parse(server);
  // A port out of range stays in the text: the connection refuses it, no other port is used.
  if (typed.portRefused) return;
  if (typed.port) port = typed.port;
  server = typed.withPort(0);
}

// Whether a row is of the same transfer as `wanted`: the same action (or its twin), name, folder,
// user and password, and the same server and port over the same kind of connection (a web
// download: the same address). A row stored before names kept their bytes has only their text:
// it is the transfer of the listed name of that text, as it always was.
bool sameTransfer(const BatchItem &row, const BatchItem &wanted, int twin) {
  if ((row.action() != wanted.action() && row.action() != twin) ||
      !row.remoteFilename().sameAs(wanted.remoteFilename()) ||
      !row.remotePath().sameAs(wanted.remotePath()) || row.user() != wanted.user() ||
      row.password() != wanted.password())
    return false;
  if (wanted.action() == BatchItem::kWebDownload) return row.server() == wanted.server();
  return row.origin().sameConnectionAs(wanted.origin());
}

// A transfer as a row holds it, not stored: what rows are compared with.
BatchItem transferOf(int action, const RemoteName &filename, const RemoteName &path,
                     const std::string &server, int port, const std::string &user,
                     const std::string &password, const std::string &protocol) {
  BatchItem row;
  row.setAction(action);
  row.setRemoteFilename(filename);
  row.setRemotePath(path);
  row.setServer(server);
  row.setPort(port);
  row.setUser(user);
  row.setPassword(password);
  row.setProtocol(protocol);
  return row;
}

// The first stored row of the same transfer as `wanted`, else -1.
int storedKey(sqlite3 *db, const BatchItem &wanted, int twin) {
  if (!db) return -1;
  const std::string sql = Log::format(
      "SELECT pk,action,filename,path,server,port,user,password,protocol,filenamebytes,pathbytes "
      "FROM batchlist WHERE (action='%i' OR action='%i') AND filename='%s' ORDER BY roworder,pk",
      wanted.action(), twin, mySQL(wanted.filename()).c_str());
  sqlite3_stmt *stmt = nullptr;
  int key = -1;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK) {
    while (key < 0 && sqlite3_step(stmt) == SQLITE_ROW) {
      const int pk = sqlite3_column_int(stmt, 0);
      const BatchItem row =
          transferOf(sqlite3_column_int(stmt, 1), columnName(stmt, 2, 9), columnName(stmt, 3, 10),
                     columnText(stmt, 4), sqlite3_column_int(stmt, 5), columnText(stmt, 6),
                     columnText(stmt, 7), columnText(stmt, 8));
      if (sameTransfer(row, wanted, twin)) key = pk;
    }
  }
  sqlite3_finalize(stmt);
  return key;
}

// A path that ends with ":" and the port loses that end (its bytes too).
void cutPortSuffix(RemoteName &path, int port) {
  const std::string suffix = ":" + std::to_string(port);
  const auto endsWithSuffix = [&](const std::string &text) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
  };
  if (!endsWithSuffix(path.text())) return;
  const auto cut = [&](const std::string &text) {
    return endsWithSuffix(text) ? text.substr(0, text.size() - suffix.size()) : text;
  };
  path = RemoteName::of(cut(path.text()),
                        path.bytes() ? std::optional(cut(*path.bytes())) : std::nullopt);
}

} // namespace

void BatchListView::loadDatabaseData() {
  writeHeldChanges();
  batchItemList_.clear();
  itemsByName_.clear();
  localPathsStale_ = true;
  totalFilesize_ = 0;
  if (!database_) {
    std::string why;
    database_ = OpenDatabase(&why);
    if (!database_) {
      Log::systemf("Failed to open database with message '%s'.", why.c_str());
      badge();
      return;
    }
  }
  UpdateDatabaseStructure(database_);
  const char *sql = "SELECT pk,filename,path,server,user,password,start,localpath,action,size,"
                    "cleanfile,protocol,port,roworder,filenamebytes,pathbytes,uploadnamebytes "
                    "FROM batchlist ORDER BY roworder,pk";
  sqlite3_stmt *stmt = nullptr;
  if (sqlite3_prepare_v2(database_, sql, -1, &stmt, nullptr) == SQLITE_OK) {
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      auto item = std::make_shared<BatchItem>();
      item->setPrimaryKey(sqlite3_column_int(stmt, 0));
      item->setRemoteFilename(columnName(stmt, 1, 14));
      item->setRemotePath(columnName(stmt, 2, 15));
      item->setServer(columnText(stmt, 3));
      item->setUser(columnText(stmt, 4));
      item->setPassword(columnText(stmt, 5));
      item->setStart(sqlite3_column_int64(stmt, 6));
      item->setLocalpath(columnText(stmt, 7));
      item->setAction(sqlite3_column_int(stmt, 8));
      item->setFilesize(sqlite3_column_int64(stmt, 9));
      item->setCleanFileWhenDone((sqlite3_column_int(stmt, 10) & 0xff) != 0);
      item->setProtocol(columnText(stmt, 11));
      item->setPort(sqlite3_column_int(stmt, 12));
      if (const std::string hex = columnText(stmt, 16); !hex.empty())
        item->setUploadTempName(bytesOfHex(hex).value_or(""));
      Log::systemf("#%i:  Start=%lli, Size=%lli", item->primaryKey(),
                   static_cast<long long>(item->start()), static_cast<long long>(item->filesize()));
      highestKeyGiven_ = std::max(highestKeyGiven_, item->primaryKey());
      batchItemList_.push_back(item);
      indexItem(*item);
    }
  }
  sqlite3_finalize(stmt);
  Log::systemf("Read %i batch items", static_cast<int>(batchItemList_.size()));
  badge();
}

int BatchListView::addBatchItemAction(int action, const RemoteName &filename,
                                      const RemoteName &path, int64_t size,
                                      const std::shared_ptr<FTPConnection> &ftpConnection,
                                      const std::shared_ptr<SFTPWrapper> &sftpConnection,
                                      const std::string &localpath, bool cleanWhenDone,
                                      bool kickstart) {
  if (ftpConnection) {
    return addBatchItemAction(
        action, filename, path, size, ftpConnection->serverAddress(), ftpConnection->currentPort(),
        ftpConnection->loginUser(), ftpConnection->loginPass(),
        ftpConnection->fSecureLogin() ? "ftps" : "ftp", localpath, cleanWhenDone, kickstart);
  }
  if (sftpConnection) {
    int mapped = action;
    switch (action) {
    case 2:
      mapped = 30;
      break;
    case 3:
      mapped = 31;
      break;
    case 10:
      mapped = 32;
      break;
    case 1:
      mapped = 33;
      break;
    case 6:
      mapped = 34;
      break;
    default:
      break;
    }
    return addBatchItemAction(mapped, filename, path, size, sftpConnection->server(),
                              sftpConnection->port(), sftpConnection->username(),
                              sftpConnection->password(), "sftp", localpath, cleanWhenDone,
                              kickstart);
  }
  Log::system("CONNECTION-TYPE-UNKNOWN");
  return -1;
}

int BatchListView::addBatchItemAction(int action, RemoteName filename, RemoteName path,
                                      int64_t size, std::string server, int port,
                                      const std::string &user, const std::string &password,
                                      const std::string &protocol, std::string localpath,
                                      bool cleanWhenDone, bool kickstart) {
  const int twin = BatchItem::twinAction(action);
  if (size == 0 && BatchItem::isUploadAction(action)) {
    BatchItem probe;
    probe.setAction(action);
    probe.setLocalpath(localpath);
    auto attributes = platform::FileManager::attributesOfItem(localFileOfItem(probe));
    size = attributes ? static_cast<int64_t>(attributes->size) : 0;
  }
  if (action == BatchItem::kWebDownload && myStartsWith(server, "ftp://")) {
    auto parts = pathComponents(server.substr(6));
    if (!parts.empty()) {
      server = parts.front();
      filename = parts.back();
      path = stringFromPathComponents(parts, 1, static_cast<int>(parts.size()) - 1);
    }
    if (port == 80) port = 21;
    action = BatchItem::kDownload;
    if (!filename.empty() && myEndsWith(localpath, filename.text())) {
      size_t slash = localpath.rfind('/');
      localpath = slash == std::string::npos ? std::string() : localpath.substr(0, slash);
    }
  }
  if (action != BatchItem::kWebDownload) splitHostPort(server, port);
  cutPortSuffix(path, port);
  const std::string documents = platform::Paths::documents();
  if (!documents.empty() && myStartsWith(localpath, documents))
    localpath = localpath.substr(documents.size());

  const BatchItem wanted =
      transferOf(action, filename, path, server, port, user, password, protocol);
  if (int found = storedKey(database_, wanted, twin); found >= 0) {
    if (kickstart) doStartIfNoneInProgress();
    return found;
  }
  if (int queued = queuedKey(wanted, twin); queued >= 0) return queued;

  int key = SQLExecute(
      database_,
      Log::format("INSERT INTO batchlist (action,filename,path,server,port,user,password,"
                  "localpath,size,cleanfile,protocol,filenamebytes,pathbytes) VALUES ('%i', '%s', "
                  "'%s', '%s', '%li', '%s','%s', '%s', '%lli', '%i', '%s', '%s', '%s')",
                  action, mySQL(filename.text()).c_str(), mySQL(path.text()).c_str(),
                  mySQL(server).c_str(), static_cast<long>(port), mySQL(user).c_str(),
                  mySQL(password).c_str(), mySQL(localpath).c_str(), static_cast<long long>(size),
                  cleanWhenDone ? 1 : 0, mySQL(protocol).c_str(), bytesColumnOf(filename).c_str(),
                  bytesColumnOf(path).c_str()));
  if (key >= 0) key = keyNotGivenBefore(key);
  if (key < 0) {
    // Not stored (no database, or the table refused it): the transfer is kept for this run all
    // the same, under a key no stored row has, and the person hears once that the queue is not
    // being saved.
    key = ++highestKeyGiven_;
    Log::systemf("Transfer not stored, kept until the application ends: %s",
                 withControlsEscaped(filename.text()).c_str());
    sayQueueNotSaved();
  }

  auto item = std::make_shared<BatchItem>();
  item->setPrimaryKey(key);
  item->setAction(action);
  item->setRemoteFilename(filename);
  item->setRemotePath(path);
  item->setServer(server);
  item->setUser(user);
  item->setPassword(password);
  item->setPort(port);
  item->setCleanFileWhenDone(cleanWhenDone);
  item->setStart(0);
  item->setFilesize(size);
  item->setLocalpath(localpath);
  item->setProtocol(protocol);
  batchItemList_.push_back(item);
  indexItem(*item);
  reloadTable();
  badge();
  updateSizeDisplay();

  if (kickstart) {
    if (fPaused_) {
      fPaused_ = false;
      showPauseButton();
    }
    doStartIfNoneInProgress();
  }
  return key;
}

int BatchListView::keyNotGivenBefore(int key) {
  if (key > highestKeyGiven_) {
    highestKeyGiven_ = key;
    return key;
  }
  // The table gives a finished row's key again once the rows after it are gone (or a key a row
  // kept only in memory has). A report or a wait still meant for that row would then be taken for
  // this one: it gets a key of its own (the stored table stays as it is; only the number differs).
  const int fresh = highestKeyGiven_ + 1;
  if (SQLExecute(database_, Log::format("UPDATE batchlist SET pk='%i' WHERE pk='%i'", fresh, key)) <
      0) {
    // Stored under a key that may be another row's: taken back, the row is kept in memory.
    SQLExecute(database_, Log::format("DELETE FROM batchlist WHERE pk='%i'", key));
    return -1;
  }
  highestKeyGiven_ = fresh;
  return fresh;
}

void BatchListView::sayQueueNotSaved() {
  if (std::exchange(saidQueueNotSaved_, true)) return;
  std::make_shared<AlertView>("Queue Not Saved",
                              "The transfer queue cannot be saved. New transfers run now, but "
                              "are lost if Ferrowen ends before they are done.",
                              std::weak_ptr<AlertViewDelegate>(), "OK")
      ->showOnMainThread();
}

int BatchListView::alreadyExists(int action, const RemoteName &filename, RemoteName path,
                                 int64_t size, std::string server, int port,
                                 const std::string &user, const std::string &password) {
  (void)size;
  splitHostPort(server, port);
  cutPortSuffix(path, port);
  const BatchItem wanted = transferOf(action, filename, path, server, port, user, password, "");
  if (int found = storedKey(database_, wanted, action); found >= 0) return found;
  return queuedKey(wanted, action);
}

void BatchListView::removeFinishedRow(int pk) {
  // Off the disk at once: a finished transfer never comes back after a crash.
  heldStarts_.erase(pk);
  if (!database_) return;
  sqlite3_stmt *remove = nullptr;
  if (sqlite3_prepare_v2(database_, "DELETE FROM batchlist WHERE pk=?", -1, &remove, nullptr) ==
      SQLITE_OK) {
    sqlite3_bind_int(remove, 1, pk);
    if (const int rc = sqlite3_step(remove); rc != SQLITE_DONE)
      Log::systemf("DB Error: #%i -- DELETE FROM batchlist WHERE pk='%i'", rc, pk);
  }
  sqlite3_finalize(remove);
}

void BatchListView::holdStart(int pk, int64_t bytes) {
  heldStarts_[pk] = bytes;
  owedHeldWrite();
}

void BatchListView::owedHeldWrite() {
  if (heldWriteOwed_) return;
  heldWriteOwed_ = true;
  auto weak = weakSelf();
  platform::RunLoop::main()->performAfter(platform::seconds(kHeldChangesEvery), [weak] {
    if (auto self = weak.lock()) {
      self->heldWriteOwed_ = false;
      self->writeHeldChanges();
    }
  });
}

void BatchListView::writeHeldChanges() {
  if (heldStarts_.empty()) return;
  auto starts = std::move(heldStarts_);
  heldStarts_.clear();
  if (!database_) return;
  batchUpdates([&] {
    for (const auto &[pk, bytes] : starts)
      SQLExecute(database_, Log::format("UPDATE batchlist SET start='%lli' WHERE pk='%i'",
                                        static_cast<long long>(bytes), pk));
  });
}

void BatchListView::batchUpdates(const std::function<void()> &fn) {
  // One transaction: one write to the disk for the whole batch. Nested batches join the outer.
  const bool outer = database_ && sqlite3_get_autocommit(database_) &&
                     sqlite3_exec(database_, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
  fn();
  if (outer && sqlite3_exec(database_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    Log::systemf("DB Error: #%i -- COMMIT", sqlite3_errcode(database_));
    sqlite3_exec(database_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
}

std::string BatchListView::nameKey(const std::string &filename, const std::string &path) {
  std::string key;
  key.reserve(filename.size() + path.size() + 1);
  key.append(filename).push_back('\0');
  key.append(path);
  return key;
}

void BatchListView::indexItem(const BatchItem &item) {
  itemsByName_.emplace(nameKey(item.filename(), item.path()), &item);
  localPathsStale_ = true;
  totalFilesize_ += item.filesize();
}

void BatchListView::setItemFilesize(BatchItem &item, int64_t size) {
  if (itemForPK(item.primaryKey()).get() == &item) totalFilesize_ += size - item.filesize();
  item.setFilesize(size);
}

void BatchListView::unindexItem(const BatchItem &item) {
  totalFilesize_ -= item.filesize();
  localPathsStale_ = true;
  auto [from, to] = itemsByName_.equal_range(nameKey(item.filename(), item.path()));
  for (auto it = from; it != to; ++it)
    if (it->second == &item) {
      itemsByName_.erase(it);
      return;
    }
}

int BatchListView::queuedKey(const BatchItem &wanted, int twin) const {
  std::vector<const BatchItem *> matches;
  auto [from, to] = itemsByName_.equal_range(nameKey(wanted.filename(), wanted.path()));
  for (auto it = from; it != to; ++it)
    if (sameTransfer(*it->second, wanted, twin)) matches.push_back(it->second);
  if (matches.empty()) return -1;
  if (matches.size() == 1) return matches.front()->primaryKey();
  // Twins queued more than once: the first in queue order, as before.
  for (auto &item : batchItemList_)
    if (std::find(matches.begin(), matches.end(), item.get()) != matches.end())
      return item->primaryKey();
  return -1;
}

int BatchListView::batchIndexForPK(int pk) const {
  for (size_t i = 0; i < batchItemList_.size(); ++i)
    if (batchItemList_[i]->primaryKey() == pk) return static_cast<int>(i);
  return -1;
}

int BatchListView::actionForBatchItemPK(int pk) const {
  int index = batchIndexForPK(pk);
  return index < 0 ? -1 : batchItemList_[static_cast<size_t>(index)]->action();
}

bool BatchListView::isInProgress(const std::string &path) const {
  // Made again at most once per change of the queue, however many files are asked about.
  const uint64_t changes = BatchItem::localpathChanges();
  if (localPathsStale_ || changes != localPathsMadeAt_) {
    localPaths_.clear();
    for (auto &item : batchItemList_)
      localPaths_.add(item->localpath());
    localPathsStale_ = false;
    localPathsMadeAt_ = changes;
  }
  return localPaths_.endsWithAny(path);
}

void BatchListView::sendAgainOnceDone(int pk) {
  if (auto item = itemForPK(pk); item && BatchItem::isUploadAction(item->action()))
    againPKs_.insert(pk);
}

std::shared_ptr<BatchItem> BatchListView::itemForPK(int pk) const {
  int index = batchIndexForPK(pk);
  return index < 0 ? nullptr : batchItemList_[static_cast<size_t>(index)];
}
