// A look at a server's file before an upload writes over it, on the session the upload uses:
// "CWD" into its folder and "PWD" as an upload does, "TYPE I", "SIZE", then, only when the caller
// asks for bytes, "RETR" over a data connection whose bytes stay in memory and stop at the number
// asked for (the transfer is aborted there). Without a size, the "RETR" tells it. A "550" to the
// "RETR" tells a file that is not there; a failed or refused step tells nothing (not looked).
#include "app/ftp/FTPConnection.h"

#include "app/foundation/SettingsKeys.h"
#include "app/foundation/StringUtils.h"

#include "platform/foundation/Log.h"
#include "platform/foundation/UserDefaults.h"

#include <condition_variable>
#include <mutex>

using platform::Log;

namespace {
// How long a step of the look may wait for the server (a reply, the data connection, its bytes).
constexpr double kLookSilenceSeconds = 30;
// A server that does not tell the size: the file is read from its start until it ends, at most
// this far. A file larger than that is no file an edit began from.
constexpr uint64_t kUnsizedReadMax = 16u << 20;
// How long a worker waits for the whole look at most.
constexpr auto kLookWaitMax = std::chrono::minutes(10);

// The size in a "213" reply; none when the reply holds no plain number.
std::optional<uint64_t> sizeIn(const std::string &reply) {
  std::string text = myTrimWS(reply.size() > 3 ? reply.substr(3) : std::string());
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  return std::stoull(text);
}
} // namespace

void FTPConnection::lookAtFile(const RemoteName &name, const RemoteName &inFolder,
                               BytesToRead bytesToRead,
                               std::function<void(const LookedFile &)> done) {
  startOrWait([this, name, inFolder, bytesToRead = std::move(bytesToRead),
               done = std::move(done)]() mutable {
    // Only on a session that stands, with nothing else under way on it.
    if (!control_.input || !fIsLoggedIn_ || iTask_ != kTaskIdle || abortRepliesDue_) {
      addToLog("!!! The file could not be looked at: no session to look with\r\n");
      if (done) done(LookedFile{});
      return;
    }
    lookName_ = name;
    lookBytesToRead_ = std::move(bytesToRead);
    lookDone_ = std::move(done);
    lookFound_ = LookedFile{};
    // The upload writes straight over the file unless it goes under a temporary name first.
    lookFound_.inPlace = !useRenames_;
    lookWant_ = 0;
    lookSized_ = lookDataEnded_ = lookDataFailed_ = lookFinalIn_ = false;
    lookFinalCode_ = 0;
    dataReadData_.clear();
    wasAnError_ = false;
    setState(13);
    setTask(kTaskLook);
    restartLookTimer();
    sendCommand(inFolder.empty() ? cwdName() : inFolder);
  });
}

LookedFile FTPConnection::lookAtFileAndWait(const std::weak_ptr<FTPConnection> &connection,
                                            const RemoteName &name, const RemoteName &inFolder,
                                            const BytesToRead &bytesToRead) {
  auto self = connection.lock();
  if (!self || self->onOwnThread()) return LookedFile{};
  struct Waiter {
    std::mutex mutex;
    std::condition_variable cv;
    bool over = false, givenUp = false;
    LookedFile found;
    const BytesToRead *bytesToRead = nullptr;
  };
  // Ends the wait when the look's callback goes unrun (the connection went away first).
  struct Ender {
    explicit Ender(std::shared_ptr<Waiter> w) : waiter(std::move(w)) {}
    Ender(const Ender &) = delete;
    Ender &operator=(const Ender &) = delete;
    std::shared_ptr<Waiter> waiter;
    ~Ender() {
      {
        std::lock_guard<std::mutex> lock(waiter->mutex);
        waiter->over = true;
      }
      waiter->cv.notify_all();
    }
  };
  auto waiter = std::make_shared<Waiter>();
  waiter->bytesToRead = &bytesToRead;
  auto ender = std::make_shared<Ender>(waiter);
  self->lookAtFile(
      name, inFolder,
      [waiter](uint64_t size) -> uint64_t {
        // The caller's function lives as long as it waits.
        std::lock_guard<std::mutex> lock(waiter->mutex);
        return waiter->givenUp || !waiter->bytesToRead ? 0 : (*waiter->bytesToRead)(size);
      },
      [waiter, ender](const LookedFile &found) {
        {
          std::lock_guard<std::mutex> lock(waiter->mutex);
          if (!waiter->over) waiter->found = found;
          waiter->over = true;
        }
        waiter->cv.notify_all();
      });
  ender.reset();
  self.reset();
  std::unique_lock<std::mutex> lock(waiter->mutex);
  if (!waiter->cv.wait_for(lock, kLookWaitMax, [&] { return waiter->over; })) {
    waiter->givenUp = true;
    return LookedFile{};
  }
  waiter->bytesToRead = nullptr;
  return waiter->found;
}

void FTPConnection::restartLookTimer() {
  if (lookTimer_) lookTimer_->invalidate();
  std::weak_ptr<FTPConnection> weak = weak_from_this();
  lookTimer_ = myThread_->performAfter(platform::seconds(kLookSilenceSeconds), [weak] {
    auto self = weak.lock();
    if (!self || !self->lookDone_) return;
    self->lookTimer_.reset();
    // What the server still sends for it could be taken for the next task's replies.
    self->lookFailed("The server did not answer the look at the file in time");
    self->disconnectFromServer();
  });
}

void FTPConnection::doTaskLook() {
  int code = replies_.iReplyCode;
  const std::string reply = replies_.replyText;
  Log::debugf("doTaskLook:code:%i", code);
  restartLookTimer();
  if (code < 100) {
    lookFailed("The server's reply could not be read");
    disconnectFromServer();
    return;
  }
  // The "226" of an earlier transfer that ended with its data connection.
  if (code == 226 && iState_ != 68) return;
  if (code < 200 && iState_ != 68) return;
  switch (iState_.load()) {
  case 13:
    if (code >= 400) return lookFailed(reply);
    setState(15);
    sendCommand();
    return;
  case 15:
    if (code < 400) setCwdFromReply();
    setState(12);
    sendCommand();
    return;
  case 12: // a refused "TYPE I" leaves the type as it was: "SIZE" says what it can
    setState(67);
    sendCommand();
    return;
  case 67: {
    // A "550" says no such file, or only that the server gives no size ("SIZE not allowed"):
    // the "RETR" tells which.
    if (code >= 400 && code < 500) return lookFailed(reply);
    auto size = code == 213 ? sizeIn(reply) : std::nullopt;
    if (size) {
      lookSized_ = true;
      lookFound_.size = *size;
      lookWant_ = lookBytesToRead_ ? lookBytesToRead_(*size) : 0;
      if (lookWant_ == 0) {
        lookFound_.looked = lookFound_.exists = true;
        endLook(lookFound_);
        return;
      }
    } else {
      // No size told: the file's own bytes tell it, read to their end (within a bound).
      addToLog("!!! No size for the file: reading it to tell\r\n");
      lookWant_ = kUnsizedReadMax + 1;
    }
    startLookData();
    return;
  }
  case 10:
    if (!connectToServerData(reply)) {
      if (!forcePORT_) {
        addToLog("!!! No PASV allowed? Trying PORT...\r\n");
        forcePORT_ = true;
        setState(43);
        sendCommand();
        return;
      }
      return lookFailed(reply);
    }
    setState(68);
    sendCommand();
    return;
  case 43:
    if (code >= 400) return lookFailed(reply);
    setState(68);
    sendCommand();
    return;
  case 68:
    if (code < 200) return;
    lookFinalIn_ = true;
    lookFinalCode_ = code;
    if (code >= 400) {
      disconnectDataStreamFromServer();
      if (code == 550 && !lookSized_) {
        lookFound_.looked = true; // not there
        endLook(lookFound_);
      } else if (code >= 500 && lookSized_) {
        // There, of that size, and not to be read: its bytes are not known.
        lookFound_.looked = lookFound_.exists = true;
        endLook(lookFound_);
      } else {
        lookFailed(reply);
      }
      return;
    }
    lookFinishedIfComplete();
    return;
  default:
    lookFailed(reply);
    return;
  }
}

void FTPConnection::startLookData() {
  dataReadData_.clear();
  iBytesTotal_ = 0;
  setState(forcePORT_ || platform::UserDefaults::standard().integerForKey(kUsePASVKey) != 1 ? 43
                                                                                            : 10);
  sendCommand();
}

void FTPConnection::lookDataIn() {
  restartLookTimer();
  if (dataReadData_.size() < lookWant_) return;
  // All that was asked for is in: the rest is not read. The server is told to stop; its replies
  // (the transfer's own final reply when it has not come yet, and the abort's) are not taken for
  // the next task's.
  dataReadData_.resize(lookWant_);
  disconnectDataStreamFromServer();
  if (control_.output) {
    sendCommandToStream("ABOR\r\n");
    expectAbortReplies(lookFinalIn_ ? 1 : 2);
  }
  lookFound_.looked = lookFound_.exists = true;
  if (!lookSized_) {
    // Larger than any file an edit is made of: only that it is there, and that large, is told.
    lookFound_.size = dataReadData_.size();
    dataReadData_.clear();
  }
  lookFound_.bytes = std::move(dataReadData_);
  dataReadData_.clear();
  endLook(lookFound_);
}

void FTPConnection::lookDataEnded(bool failed) {
  if (dataReadData_.size() > lookWant_) dataReadData_.resize(lookWant_);
  disconnectDataStreamFromServer();
  lookDataEnded_ = true;
  lookDataFailed_ = failed;
  lookFinishedIfComplete();
}

void FTPConnection::lookFinishedIfComplete() {
  if (!lookDataEnded_ || !lookFinalIn_) return;
  if (lookDataFailed_ || lookFinalCode_ >= 400) return lookFailed("The file's data did not arrive");
  lookFound_.looked = lookFound_.exists = true;
  if (!lookSized_) {
    lookFound_.size = dataReadData_.size();
    const uint64_t want = lookBytesToRead_ ? lookBytesToRead_(lookFound_.size) : 0;
    if (dataReadData_.size() > want) dataReadData_.resize(want);
  }
  lookFound_.bytes = std::move(dataReadData_);
  dataReadData_.clear();
  endLook(lookFound_);
}

void FTPConnection::lookFailed(const std::string &why) {
  addToLog("!!! The file could not be looked at: " + withControlsEscaped(myTrimWS(why)) + "\r\n");
  disconnectDataStreamFromServer();
  dataReadData_.clear();
  endLook(LookedFile{});
}

void FTPConnection::endLook(LookedFile found) {
  if (lookTimer_) lookTimer_->invalidate();
  lookTimer_.reset();
  auto done = std::move(lookDone_);
  lookDone_ = nullptr;
  lookBytesToRead_ = nullptr;
  lookName_.clear();
  if (iTask_ == kTaskLook) {
    setTask(kTaskIdle);
    setState(0);
  }
  if (done) done(found);
}
