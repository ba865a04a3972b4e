// The cloud container: a folder that a sync client keeps in step with the person's other
// machines (default FERROWEN_HOME/Cloud). It is available while that folder exists and can be
// written. Every item in it is whole on this machine (a plain folder holds whole files), so
// nothing ever waits for a download.
//
// Coordination: processes that read or write an item through coordinateReading/coordinateWriting
// take an advisory lock (flock) on the item, shared for reading and exclusive for writing, so a
// coordinated write never interleaves with a coordinated read, in this process or another.
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
  static bool coordinateReading(const std::string &path,
                                const std::function<void(const std::string &)> &accessor);
  static bool coordinateWriting(const std::string &path,
                                const std::function<void(const std::string &)> &accessor);

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
