// Folder pages and listings of the sharing servers, made once for all the clients that want the
// same one at the same time and made a slice at a time on the main run loop.
//
// A folder of 50,000 files makes a page of some 10 MB and takes a good part of a second to read
// and sort. Made whole per request, two hundred clients asking at once held two hundred copies and
// kept the main thread (the screens share it) busy for a minute. Here:
// - a text is made by one Maker at a time, in short steps posted to the main run loop one after
//   the other, so the screens and the other connections run between them;
// - every request for the same key (the same folder, listed the same way) that comes while its
//   text is waiting or being made, or within kReuseFor after it began, gets that one text, shared,
//   unless the folder changed since it began (its entries were added, removed or renamed, or one
//   of the sharing servers reported a change through filesChanged());
// - the text lives while some connection still sends it, no longer; once texts and the working
//   memory of a maker are released, the freed memory goes back to the system.
// Main thread only.
#pragma once

#include "platform/foundation/Clock.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace sharing {

using SharedText = std::shared_ptr<const std::string>;

// Makes one text a bounded step at a time.
class ListingMaker {
public:
  virtual ~ListingMaker() = default;
  // Does the next step (reading, looking at or writing up a bounded number of entries); true once
  // the text is complete.
  virtual bool step() = 0;
  // The text, once complete.
  virtual std::string take() = 0;
  // The moments at which the text would read the same (a listing that tells a date from its age
  // changes when an entry's age passes a bound); a request for another moment gets a text of its
  // own. Asked once the text is complete.
  virtual platform::WallTime sameFrom() const { return platform::WallTime::min(); }
  virtual platform::WallTime sameUntil() const { return platform::WallTime::max(); }
  // Why the text could not be made (an errno value, such as running out of descriptors), else 0.
  virtual int failure() const { return 0; }
};

class SharedListing {
public:
  // The text, or none with the reason (`failure`) why it could not be made; a failure is told to
  // the requests that waited for that text and serves no later one.
  using Ready = std::function<void(SharedText text, int failure)>;
  using MakerFactory = std::function<std::unique_ptr<ListingMaker>()>;

  // A finished text serves requests that come this long after its making began.
  static constexpr platform::Duration kReuseFor = platform::seconds(1);
  // Entries each step of a maker handles.
  static constexpr size_t kEntriesPerStep = 512;

  static SharedListing &shared();

  // The text of `key` for `folder` (whose changes make new texts), as of the moment `at`, to
  // `ready`: at once (before this returns) when a finished text serves or a new one is made in a
  // single step; else later, on the main run loop. `make` is called when a new text is begun.
  void request(const std::string &key, const std::string &folder, platform::WallTime at,
               MakerFactory make, Ready ready);
  // Something in the shared folders changed: no text begun before serves a later request.
  void filesChanged();

  // For tests: texts begun so far, texts alive now, makers waiting or running.
  uint64_t textsBegun() const { return begun_; }
  size_t textsAlive() const { return alive_; }
  size_t makersQueued() const { return queue_.size(); }
  uint64_t changesReported() const { return generation_; }

private:
  struct Making;
  struct FolderStamp {
    bool exists = false;
    uint64_t device = 0, inode = 0;
    int64_t modified = 0, changed = 0; // nanoseconds
    bool operator==(const FolderStamp &) const = default;
  };
  static FolderStamp stampOf(const std::string &folder);
  bool fresh(const Making &m) const;
  void postStep();
  void runStep();
  void finish(const std::shared_ptr<Making> &m);
  SharedText keep(std::string text);
  void releaseMemorySoon();

  std::deque<std::shared_ptr<Making>> queue_; // front: the one being made
  std::map<std::string, std::shared_ptr<Making>> latest_;
  uint64_t generation_ = 0;
  uint64_t begun_ = 0;
  size_t alive_ = 0;
  bool stepPosted_ = false;
  bool trimPosted_ = false;
};

} // namespace sharing
