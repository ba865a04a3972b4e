// The events of the control and data streams. The stream callbacks hand each event to the
// connection's thread; the handlers below run there, one at a time, in the order of posting.
#include "app/ftp/FTPConnection.h"

#include <cerrno>

#include "app/foundation/StringUtils.h"

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"

using platform::Log;
namespace net = platform::net;

namespace {
constexpr size_t kControlReadSize = 16384;
// Data moves in large blocks: one event, one read and one file write per block keep the cost per
// byte low. An upload chunk fills the data stream's write buffer.
constexpr size_t kDataReadSize = 256 * 1024;
constexpr size_t kUploadChunk = 64 * 1024;
constexpr int64_t kPreviewBytes = 65536;
// How long a data connection may stay open and silent after the transfer's final reply.
constexpr double kDataStallSeconds = 30;
} // namespace

// ------------------------------------------------------------------------------------------------
// The hop onto the connection's thread

void FTPConnection::readCallback(unsigned event) {
  if (!readReady_ && event == net::StreamEventHasBytesAvailable) readReady_ = true;
  // A connection that fails before it stands (refused, unreachable) is reported at once.
  if ((!readReady_ || !writeReady_) && event != net::StreamEventErrorOccurred) return;
  auto weak = weak_from_this();
  unsigned long generation = controlGeneration_;
  myThread_->perform([weak, event, generation] {
    if (auto self = weak.lock())
      if (self->controlGeneration_ == generation)
        self->handleReadEvent(std::make_unique<HandleXEvent>(event));
  });
}

void FTPConnection::writeCallback(unsigned event) {
  auto weak = weak_from_this();
  unsigned long generation = controlGeneration_;
  if (!writeReady_ && event == net::StreamEventCanAcceptBytes) {
    addToLog("*** Connected to Server\r\n");
    writeReady_ = true;
    if (readReady_)
      myThread_->perform([weak, generation] {
        if (auto self = weak.lock())
          if (self->controlGeneration_ == generation)
            self->handleReadEvent(
                std::make_unique<HandleXEvent>(net::StreamEventHasBytesAvailable));
      });
  }
  if (!readReady_ || !writeReady_) {
    // Command bytes written before the welcome still need the stream's room.
    if (event == net::StreamEventCanAcceptBytes && !pendingControlOut_.empty())
      flushControlOutput();
    return;
  }
  myThread_->perform([weak, event, generation] {
    if (auto self = weak.lock())
      if (self->controlGeneration_ == generation)
        self->handleWriteEvent(std::make_unique<HandleXEvent>(event));
  });
}

void FTPConnection::dataReadCallback(unsigned event) {
  auto weak = weak_from_this();
  unsigned long generation = dataGeneration_;
  myThread_->perform([weak, event, generation] {
    if (auto self = weak.lock())
      if (self->dataGeneration_ == generation)
        self->handleDataReadEvent(std::make_unique<HandleXEvent>(event));
  });
}

void FTPConnection::dataWriteCallback(unsigned event) {
  auto weak = weak_from_this();
  unsigned long generation = dataGeneration_;
  myThread_->perform([weak, event, generation] {
    if (auto self = weak.lock())
      if (self->dataGeneration_ == generation)
        self->handleDataWriteEvent(std::make_unique<HandleXEvent>(event));
  });
}

void FTPConnection::noteEventThread() {
  if (!myThread_->isCurrent()) ++offThreadEvents_;
}

// ------------------------------------------------------------------------------------------------
// Control connection

void FTPConnection::handleReadEvent(std::unique_ptr<HandleXEvent> event) {
  noteEventThread();
  unsigned type = event->eventType;
  event.reset();
  if (!control_.input) return;
  restartInactiveTimer();
  switch (type) {
  case net::StreamEventHasBytesAvailable: {
    uint8_t buffer[kControlReadSize];
    long n = control_.input->read(buffer, sizeof buffer);
    if (n > 0) {
      replies_.dataRead.insert(replies_.dataRead.end(), buffer, buffer + n);
      doTasks();
    }
    break;
  }
  case net::StreamEventEndEncountered: {
    addToLog("*** Server Disconnected Us\r\n");
    Log::system("******** SERVER DISCONNECTED ********");
    int task = iTask_;
    if (task == kTaskLogin || task == kTaskLoginSecure) {
      disconnectFromServer();
      updateViewWithError("Server disconnected while logging in.", true);
    } else {
      sessionCut();
      failedUploadCutShort();
    }
    break;
  }
  case net::StreamEventErrorOccurred:
    controlStreamFailed();
    break;
  case net::StreamEventOpenCompleted:
    break;
  default:
    Log::systemf("Received unexpected CONTROL stream event %d\n", int(type));
    break;
  }
}

void FTPConnection::controlStreamFailed() {
  if (iState_ == 4 && !maximumCompatability_) {
    // Some servers drop the connection at "UTF8": log in again without the optional steps.
    disconnectFromServer();
    addToLog("*** Retrying in Compatability mode\r\n");
    maximumCompatability_ = true;
    reconnect();
    return;
  }
  Log::system("******** SERVER ERROR ********");
  logError();
  int task = iTask_;
  const std::string why = control_.input ? control_.input->error().text : std::string();
  if ((task == kTaskLogin || task == kTaskLoginSecure) && control_.input &&
      control_.input->isTlsEstablished()) {
    // The server spoke TLS and then ended the session (an alert after the handshake, such as a
    // TLS 1.3 server's demand for a client certificate, or a reset). Nothing else reports it (the
    // login's timers stop with the connection), and it is no sign of a server without TLS: the
    // login ends now with the reason, and no plain login follows that the person did not choose.
    addToLog("!!! " + why + "\r\n");
    disconnectFromServer();
    updateViewWithError("The server ended the secure connection while logging in: " +
                            (why.empty() ? std::string("the connection failed.") : why),
                        true);
    return;
  }
  if (task == kTaskLogin && !fIsConnected_) {
    // The connection itself failed (refused, unreachable): said at once, with the address and
    // the reason, rather than left to the connect time-out. The owner hears of it before the
    // session is closed, so that the connection is never seen free with the failure untold.
    const std::string where = currentServerName() + ":" + std::to_string(currentPort_.load());
    addToLog("!!! No connection to " + where + ": " + why + "\r\n");
    const std::string message = "Unable to connect to the FTP server " + where + ": " +
                                (why.empty() ? std::string("the connection failed.") : why);
    const bool retried = ownerRetriesConnect(why.empty() ? "the connection failed" : why, message);
    disconnectFromServer();
    if (!retried) updateViewWithFatalError(message);
    return;
  }
  if (task == kTaskLogin || task == kTaskLoginSecure)
    disconnectFromServer();
  else
    sessionCut();
  failedUploadCutShort();
  if (task == kTaskLoginSecure) {
    if (warnIfNoSSL_) {
      disconnectFromServer();
      warnNoSSLAvailable();
    } else {
      skipSSL_ = true;
      reconnect();
    }
  }
}

void FTPConnection::handleWriteEvent(std::unique_ptr<HandleXEvent> event) {
  noteEventThread();
  unsigned type = event->eventType;
  event.reset();
  if (!control_.output) return;
  // Commands are written when they are made; what a short write left goes now.
  if (type == net::StreamEventCanAcceptBytes && !pendingControlOut_.empty()) flushControlOutput();
  // The handshake after "AUTH TLS" is done: the secure login goes on at once.
  if (type == net::StreamEventCanAcceptBytes && iTask_ == kTaskLoginSecure && control_.input &&
      control_.input->isTlsEstablished())
    kickSSL();
}

void FTPConnection::logError() {
  std::string text = control_.input ? control_.input->error().text : std::string();
  Log::systemf("ERR: %s", text.c_str());
}

// ------------------------------------------------------------------------------------------------
// Data connection

void FTPConnection::dataConnectionIsOpen() {
  if (!dataConnectionOpen_) {
    addToLog("*** Data Connection OK\r\n");
    dataConnectionOpen_ = true;
  }
  if (sendCommandWhenDataOpen_) {
    sendCommandWhenDataOpen_ = false;
    sendCommand();
  }
  stopDataTimeoutTimer();
}

void FTPConnection::readDataBytes(size_t maxBytes, bool untilEmpty) {
  // One block per thread (each connection lives on a thread of its own), made once.
  thread_local const std::unique_ptr<uint8_t[]> block =
      std::make_unique_for_overwrite<uint8_t[]>(kDataReadSize);
  uint8_t *const buffer = block.get();
  do {
    if (!data_.input) return;
    long n = data_.input->read(buffer, std::min(maxBytes, kDataReadSize));
    if (n <= 0) return;
    if (modeZ_ && zlibHelp_) {
      int64_t inflated = zlibHelp_->expandAndWriteToBuffer(dataReadData_, buffer, size_t(n));
      iBytesTotal_ += untilEmpty ? n : inflated;
    } else {
      dataReadData_.insert(dataReadData_.end(), buffer, buffer + n);
      iBytesTotal_ += n;
    }
  } while (untilEmpty);
}

bool FTPConnection::writeDownloadBuffer() {
  if (!writeStreamFileDownload_ || dataReadData_.empty()) return true;
  const size_t want = dataReadData_.size();
  long n = writeStreamFileDownload_->write(dataReadData_.data(), want);
  if (n > 0) {
    dataReadData_.erase(dataReadData_.begin(), dataReadData_.begin() + n);
    iBytesProcessed_ += n; // the file's bytes (inflated under MODE Z)
  }
  if (n >= 0 && size_t(n) == want) return true;
  downloadWriteFailed(writeStreamFileDownload_->error());
  return false;
}

void FTPConnection::downloadWriteFailed(const net::StreamError &error) {
  // The file writes every byte it is given or fails (disk full, quota, an I/O error): keeping
  // the rest in memory would only let it grow without bound, and a file that ends here is not
  // the server's file. The transfer stops now; what the file holds stays for a resume.
  const std::string name = withControlsEscaped(fileToDownload_.text());
  const std::string reason = error.code == ENOSPC ? std::string("The disk is full")
                             : error.text.empty() ? std::string("The file could not be written")
                                                  : error.text;
  dataReadData_.clear();
  dataReadData_.shrink_to_fit();
  // The server is told to stop sending; its replies (the transfer's own final reply when it has
  // not come yet, and the abort's) are not taken for the next task's.
  if (control_.output) {
    sendCommandToStream("ABOR\r\n");
    expectAbortReplies(download226Done_ ? 1 : 2);
  }
  abandonTask(Log::format("%s: \"%s\" could not be saved, and its download was stopped.",
                          reason.c_str(), name.c_str()),
              false);
}

void FTPConnection::handleDataReadEvent(std::unique_ptr<HandleXEvent> event) {
  noteEventThread();
  unsigned type = event->eventType;
  event.reset();
  if (!data_.input) return;
  restartInactiveTimer();
  switch (type) {
  case net::StreamEventOpenCompleted:
    dataConnectionIsOpen();
    break;
  case net::StreamEventHasBytesAvailable: {
    dataConnectionIsOpen();
    stopSslDataHelperTimer();
    if (!data_.input) return;
    int64_t before = iBytesTotal_;
    readDataBytes(kDataReadSize, false);
    if (iTask_ == kTaskLook) {
      lookDataIn();
      return;
    }
    if (iBytesTotal_ == before && dataReadData_.empty()) return;
    if (dataStallTimer_) armDataStallTimer(); // it delivers: the wait starts again
    if (iTask_ != kTaskDir && !writeDownloadBuffer()) return;
    if (iTask_ == kTaskDownload && !downloadHead_ && downloadSizeKnown_ &&
        resumeDownloadAt_ + iBytesProcessed_ + int64_t(dataReadData_.size()) > fileDownloadSize_) {
      // More than announced (however well it compressed under MODE Z): what was written is not
      // the file, and the rest is not waited for.
      const std::string name = fileToDownload_.text();
      if (writeStreamFileDownload_) writeStreamFileDownload_->close();
      writeStreamFileDownload_.reset();
      platform::FileManager::removeItem(downloadPartialPath());
      abandonTask(Log::format("The server sent more than the %lld bytes it announced for \"%s\": "
                              "the download was stopped.",
                              (long long)fileDownloadSize_, withControlsEscaped(name).c_str()),
                  false);
      return;
    }
    if (iTask_ == kTaskDir) {
      parseDirectoryListing();
      break;
    }
    if (downloadHead_) {
      updateProgressMark(float(iBytesTotal_) / float(kPreviewBytes));
      if (iBytesTotal_ > kPreviewBytes) {
        if (writeStreamFileDownload_) writeStreamFileDownload_->close();
        writeStreamFileDownload_.reset();
        editDownloadedFile();
        // The first bytes were all the preview wanted: its queue row ends with it.
        if (mainConnection_) endViewRow();
        disconnectDataStreamFromServer();
        sendCommandToStream("ABOR\r\n");
        // The transfer's own final reply is still due unless it came already; the abort's is.
        expectAbortReplies(download226Done_ ? 1 : 2);
        setTask(kTaskIdle);
        setState(0);
        if (fDisconnectWhenDone_) disconnectFromServer();
      }
    } else if (fileDownloadSize_ > 0) {
      float fraction = float(double(resumeDownloadAt_ + iBytesTotal_) / double(fileDownloadSize_));
      if (std::abs(fraction - batchProgress_) > 0.01f) {
        batchProgress_ = fraction;
        updateProgressMark(fraction);
        updateBatchProgressMark(fraction, resumeDownloadAt_ + iBytesTotal_);
      }
    }
    break;
  }
  case net::StreamEventErrorOccurred:
    if (iTask_ == kTaskLook) {
      lookDataEnded(true);
      break;
    }
    if (implicitSSL_ && fSecureData_ && iTask_ == kTaskDir) {
      Log::system("SSL kCFStreamEventErrorOccurred");
      fSecureData_ = false;
      retryDirectory_ = true;
    }
    break;
  case net::StreamEventEndEncountered: {
    Log::system("Received Stream End\n");
    int task = iTask_;
    if (task == kTaskLook) {
      // What is left in the stream, up to what the look reads.
      for (size_t had = 0; dataReadData_.size() < lookWant_;) {
        had = dataReadData_.size();
        readDataBytes(size_t(std::min<uint64_t>(lookWant_ - had, kDataReadSize)), false);
        if (dataReadData_.size() == had) break;
      }
      lookDataEnded(false);
      break;
    }
    readDataBytes(kDataReadSize, true);
    if (task == kTaskDir) {
      parseDirectoryListing();
      // Shown (or walked into queue rows) once the server's final reply says it is whole.
      if (iTask_ == kTaskDir) listingDataEnded_ = true;
    } else if (task == kTaskDownload) {
      // What is left goes into the file; a file that fails ends the transfer, never as done.
      if (!writeDownloadBuffer()) return;
      if (writeStreamFileDownload_) writeStreamFileDownload_->close();
      writeStreamFileDownload_.reset();
      downloadDataDone_ = true;
      checkDoneBatchDownload();
      editDownloadedFile();
    }
    taskEndsAfterDataStream();
    break;
  }
  default:
    Log::systemf("Received unexpected DATA stream event %lu\n", (unsigned long)type);
    break;
  }
}

void FTPConnection::armDataStallTimer() {
  if (dataStallTimer_) dataStallTimer_->invalidate();
  std::weak_ptr<FTPConnection> weak = weak_from_this();
  const unsigned long generation = dataGeneration_;
  dataStallTimer_ = myThread_->addTimer(platform::seconds(kDataStallSeconds), false,
                                        [weak, generation](platform::Timer &) {
                                          if (auto self = weak.lock())
                                            if (self->dataGeneration_ == generation)
                                              self->dataStalled();
                                        });
}

void FTPConnection::dataStalled() {
  dataStallTimer_.reset();
  if (!data_) return;
  abandonTask(Log::format("The server reported the transfer complete, but its data connection "
                          "neither delivered nor closed for %.0f seconds: the transfer was "
                          "stopped.",
                          kDataStallSeconds),
              false);
}

void FTPConnection::taskEndsAfterDataStream() {
  disconnectDataStreamFromServer();
  int task = iTask_;
  bool downloadWaits = task == kTaskDownload && !(downloadDataDone_ && download226Done_);
  // An upload's data connection ends on our side once every byte is out: one the server ended
  // stopped the upload early (a refused or cut data connection), and its reply says how it went.
  if (task == kTaskUpload || task == kTaskUploadAfterMkDir) return;
  if (task == kTaskDir) {
    // The listing ends with its final reply as well (see listingFinishedIfComplete); the next
    // task waits for that reply, which it would otherwise take as its own.
    listingFinishedIfComplete();
    return;
  }
  if (!downloadWaits) {
    setTask(kTaskIdle);
    setState(0);
  }
  if (fDisconnectWhenDone_) disconnectFromServer();
}

void FTPConnection::doHandleDataWriteEvent() {
  handleDataWriteEvent(std::make_unique<HandleXEvent>(net::StreamEventCanAcceptBytes));
}

void FTPConnection::handleDataWriteEvent(std::unique_ptr<HandleXEvent> event) {
  noteEventThread();
  unsigned type = event->eventType;
  event.reset();
  if (!data_.output) return;
  restartInactiveTimer();
  if (type == net::StreamEventOpenCompleted) {
    dataConnectionIsOpen();
    return;
  }
  if (type == net::StreamEventErrorOccurred || type == net::StreamEventEndEncountered) return;
  if (type != net::StreamEventCanAcceptBytes) {
    Log::systemf("Received unexpected DATA Write stream event %d", int(type));
    return;
  }
  dataConnectionIsOpen();
  if (iTask_ != kTaskUpload && iTask_ != kTaskUploadAfterMkDir) return;
  if (!data_.output) return;
  // Nothing goes before the preliminary reply to "STOR": a server may still be setting up the
  // data connection (pyftpdlib drops bytes that come before it has taken the command, and in
  // active mode even before it has answered "PORT"). A protected data connection starts its
  // handshake with that reply too: plain bytes ahead of it make the server drop the connection.
  // The stream is armed again then and reports room once it can take bytes.
  if (dataTlsPending_ || !uploadPreliminaryIn_) return;
  // Sends waiting compressed bytes of the last chunk before anything new.
  std::weak_ptr<FTPConnection> weak = weak_from_this();
  auto pumpAgain = [this, weak](double delay) {
    // One retry pending at most: every event would otherwise leave one more chain of retries.
    if (pumpTimer_) pumpTimer_->invalidate();
    pumpTimer_ = myThread_->performAfter(platform::seconds(delay), [weak] {
      if (auto self = weak.lock()) self->doHandleDataWriteEvent();
    });
  };
  if (zlibHelp_ && !zlibHelp_->pendingOutput().empty() && !zlibHelp_->flushPending(*data_.output)) {
    pumpAgain(0.002);
    return;
  }

  auto progress = [this] {
    if (iBytesTotal_ <= 0) return;
    float fraction = float(double(resumeUploadAt_ + iBytesProcessed_) / double(iBytesTotal_));
    if (std::abs(fraction - batchProgress_) > 0.01f) {
      batchProgress_ = fraction;
      updateProgressMark(fraction);
      updateBatchProgressMark(fraction, resumeUploadAt_ + iBytesProcessed_);
    }
  };
  int64_t sent = 0;
  bool complete = false;
  if (!readStreamFileToUpload_) {
    size_t chunk = std::min(kUploadChunk, dataToWrite_.size());
    if (chunk > 0) {
      if (modeZ_ && zlibHelp_) {
        zlibHelp_->compressAndWriteToStream(*data_.output, dataToWrite_, chunk);
        sent = int64_t(chunk);
      } else {
        sent = data_.output->write(dataToWrite_.data(), chunk);
      }
    }
    if (sent > 0) {
      iBytesProcessed_ += sent;
      progress();
      dataToWrite_.erase(dataToWrite_.begin(), dataToWrite_.begin() + sent);
    }
    complete =
        dataToWrite_.empty() && sent <= 0 && (!zlibHelp_ || zlibHelp_->pendingOutput().empty());
  } else {
    if (dataFileToUpload_.empty()) {
      uint8_t buffer[kUploadChunk];
      long n = readStreamFileToUpload_->read(buffer, sizeof buffer);
      if (n > 0) {
        if (modeZ_ && zlibHelp_)
          bytesSaved_ += zlibHelp_->compressAndWriteToBuffer(dataFileToUpload_, buffer, size_t(n));
        else
          dataFileToUpload_.insert(dataFileToUpload_.end(), buffer, buffer + n);
        iBytesProcessed_ += n;
        progress();
      } else if (n < 0) {
        // The local file failed: end the upload with the file's error instead of polling.
        std::string why = readStreamFileToUpload_->error().text;
        readStreamFileToUpload_->close();
        readStreamFileToUpload_.reset();
        disconnectDataStreamFromServer();
        setTask(kTaskIdle);
        setState(0);
        updateViewWithError(why.empty() ? "Error reading the file to upload." : why, false);
        return;
      }
    }
    if (!dataFileToUpload_.empty()) {
      long n = data_.output->write(dataFileToUpload_.data(),
                                   std::min(kUploadChunk, dataFileToUpload_.size()));
      if (n > 0) {
        sent = n;
        dataFileToUpload_.erase(dataFileToUpload_.begin(), dataFileToUpload_.begin() + n);
      }
    }
    complete = dataFileToUpload_.empty() && readStreamFileToUpload_->isAtEnd() && sent <= 0;
  }
  if (complete) {
    if (readStreamFileToUpload_) readStreamFileToUpload_->close();
    readStreamFileToUpload_.reset();
    disconnectDataStreamFromServer(); // the "226" finishes the task
    return;
  }
  bool exhausted = readStreamFileToUpload_
                       ? dataFileToUpload_.empty() && readStreamFileToUpload_->isAtEnd()
                       : dataToWrite_.empty();
  pumpAgain(exhausted && sent > 0 ? 0.502 : 0.002);
}
