// One program per data folder, as the phone runs one copy of an application: the first start
// holds the folder's lock for as long as it runs and listens on a local channel in the folder; a
// later start on the same folder hands what it was given (an address or a file) over that channel
// to the running one, which takes it as the system would hand it, and ends.
//
// The lock is an flock on "ferrowen.lock", so the kernel lets it go with the process however the
// process ends: a start after a crash is never refused by what the crash left. The channel is the
// unix socket "ferrowen.sock"; only programs of the same user are heard on it.
#pragma once

#include "platform/foundation/Clock.h"
#include "platform/foundation/RunLoop.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class ProgramInstance {
public:
  // What a handed-over text gets back: nothing when it was taken, else why not.
  using Handler = std::function<std::optional<std::string>(const std::string &handed)>;

  struct Claim {
    // Set when this process is the one program on the folder (it holds the lock while the
    // object lives).
    std::unique_ptr<ProgramInstance> instance;
    // Another program holds the folder.
    bool heldElsewhere = false;
    // Why neither (the folder's lock file cannot be made or locked).
    std::string error;
  };
  // Takes the folder's lock without waiting. Whoever holds it listens on the channel at once (what
  // arrives waits there until serve()).
  static Claim claim(const std::string &folder);

  // Hands `text` to the program holding the folder and waits (within `limit`) for its answer. True
  // when it was taken; else `why` says what went wrong (no answer, refused, ...). A program that
  // ends meanwhile lets the lock go: then `claimed` receives the lock and this returns false with
  // `why` empty, so that the caller can run as the one program after all.
  static bool handOver(const std::string &folder, const std::string &text, std::string &why,
                       std::unique_ptr<ProgramInstance> &claimed,
                       Duration limit = std::chrono::seconds(60));

  ~ProgramInstance();
  ProgramInstance(const ProgramInstance &) = delete;
  ProgramInstance &operator=(const ProgramInstance &) = delete;

  // Answers what later starts hand over, on the main run loop, through `handler`.
  void serve(Handler handler);
  // Stops answering (the program is ending): later starts wait for the lock instead.
  void stopServing();

private:
  struct Peer;
  ProgramInstance() = default;
  void accept();
  void read(const std::shared_ptr<Peer> &peer);
  void finish(const std::shared_ptr<Peer> &peer);

  int lockFd_ = -1;
  int listenFd_ = -1;
  std::string socketPath_;
  int folderFd_ = -1; // keeps a long folder path reachable by a short one
  Handler handler_;
  FdSourceRef source_;
  std::vector<std::shared_ptr<Peer>> peers_;
};

} // namespace platform
