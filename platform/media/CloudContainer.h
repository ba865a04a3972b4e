// The cloud container: a folder that a sync client keeps in step with the person's other
// machines (default FERROWEN_HOME/Cloud). It is available while that folder exists and can be
// written. Every item in it is whole on this machine (a plain folder holds whole files), so
// nothing ever waits for a download.
//
// Coordination: processes that read or write an item through coordinateReading/coordinateWriting
// take an advisory lock (flock) on the item, shared for reading and exclusive for writing, so a
// coordinated write never interleaves with a coordinated read, in this process or another. A
// reader asks the presenters of the item in other processes to save and let go through a local
// socket of each (in a folder of the user's own, outside the container).
//
// The metadata query (CloudQuery) watches the folder tree with inotify and delivers the gathered
// list, and every later change, on the run loop it was started on.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Clock.h"

namespace platform {

class FolderWatch;

// A screen that shows or edits one item of the container (the phone's file presenter). Every call
// comes on the main run loop. Coordinated reads and writes by others (another screen of this
// process, or another process) tell it what happens to its item:
// - before another coordinated write: savePresentedItemChanges (so nothing of its own is lost),
//   then relinquishPresentedItemToWriter; after the write, the reacquirer it returned runs and
//   then presentedItemDidChange;
// - before another coordinated read (in this process or another): savePresentedItemChanges, then
//   relinquishPresentedItemToReader, whose reacquirer runs when the read is over; a reader in
//   another process waits a bounded time for these answers and reads without those of a process
//   that does not give them in time;
// - a change made by another process (seen by inotify): relinquishPresentedItemToWriter while that
//   process still holds its writing lock, its reacquirer once the lock is given up, then
//   presentedItemDidChange; the item removed: accommodatePresentedItemDeletion.
class FilePresenter {
public:
  virtual ~FilePresenter() = default;
  // The path of the item shown (presentedItemURL); it may change between calls.
  virtual std::string presentedItemPath() const = 0;
  virtual void presentedItemDidChange() {}
  // Each answers what to run when the access is over (may be empty).
  virtual std::function<void()> relinquishPresentedItemToWriter() { return {}; }
  virtual std::function<void()> relinquishPresentedItemToReader() { return {}; }
  virtual void savePresentedItemChanges() {}
  virtual void accommodatePresentedItemDeletion() {}
};

class CloudContainer {
public:
  // The folder that the sync client keeps: the one set by setFolder, else home()/Cloud.
  static std::string folder();
  // The setting's choice; empty returns to the default.
  static void setFolder(const std::string &path);
  // The folder exists, is a folder (not a link to one elsewhere) and can be written.
  static bool isAvailable();

  // Runs `accessor` with the item's path while this process holds a shared (reading) or an
  // exclusive (writing) lock on the item. An item that does not exist yet is locked through an
  // empty file made for the write (reads of a missing item run unlocked: there is nothing to
  // protect). False, without calling the accessor, when the item is a link or a folder, lies
  // outside the container, or cannot be opened.
  // `presenter` is the caller's own presenter of the item, if any: it is not told of its own
  // access; every other presenter of the item is (see FilePresenter). Any thread; the presenters
  // are told on the main run loop, the calling thread waiting for them.
  static bool coordinateReading(const std::string &path,
                                const std::function<void(const std::string &)> &accessor,
                                const FilePresenter *presenter = nullptr);
  static bool coordinateWriting(const std::string &path,
                                const std::function<void(const std::string &)> &accessor,
                                const FilePresenter *presenter = nullptr);
  // How long a coordinated read waits for the presenters in other processes (5 s unless set).
  static void setPresenterAnswerLimit(Duration limit);

  // Presenters are held weakly and told on the main run loop; both calls are for the main thread.
  // Adding one starts watching its item's folder for changes made by other processes.
  static void addFilePresenter(const std::shared_ptr<FilePresenter> &presenter);
  static void removeFilePresenter(const FilePresenter *presenter);

  // The account's key-value store (shared by every device through the synced folder): whether a
  // flag is set; and setting one, true only for the caller that found it unset.
  static bool keyValueFlag(const std::string &key);
  static bool setKeyValueFlagOnce(const std::string &key);

  // The path lies inside the container folder (after resolving "." and ".." textually) and is not
  // the folder itself.
  static bool contains(const std::string &path);
};

// One document of the container as the query reports it.
struct CloudItem {
  std::string name;     // the file's own name
  std::string path;     // absolute path
  std::string relative; // path below the container folder
  uint64_t size = 0;
  WallTime modified{};
  bool downloaded = true; // always so: the folder holds whole files
  int percentDownloaded = 100;
};

// The metadata query: every regular file below the folder (links and partial files left out),
// depth and count bounded, delivered on the run loop that started the query: once when gathered,
// then after every change ("update"). Sub-folders made later are watched as they appear.
class CloudQuery {
public:
  enum class Event { FinishGathering, Update };
  using Results = std::function<void(Event, const std::vector<CloudItem> &)>;

  static constexpr size_t kMaxItems = 10000;
  static constexpr int kMaxDepth = 16;
  static constexpr size_t kMaxFolders = 256;

  // Starts watching and posts the gathering to the current run loop.
  static std::unique_ptr<CloudQuery> start(const std::string &folder, Results results);
  ~CloudQuery();
  CloudQuery(const CloudQuery &) = delete;
  CloudQuery &operator=(const CloudQuery &) = delete;

  // The list as now on disk.
  static std::vector<CloudItem> scan(const std::string &folder);
  // Updates are held back (not lost) while disabled.
  void disableUpdates() { updatesEnabled_ = false; }
  void enableUpdates();

private:
  CloudQuery() = default;
  void rescan();
  std::string folder_;
  Results results_;
  bool updatesEnabled_ = true;
  bool pending_ = false;
  std::vector<std::pair<std::string, std::unique_ptr<FolderWatch>>> watches_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace platform
