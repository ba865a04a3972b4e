// The reply assembly of the control connection and the command table.
#include "app/ftp/FTPConnection.h"

#include "app/foundation/StringUtils.h"

#include "platform/foundation/Log.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"

using platform::Log;
using platform::UserDefaults;

namespace {
// Consecutive attempts in which the control stream took nothing before the connection counts as
// broken.
constexpr int kMaxControlWriteRetries = 20;
} // namespace

FTPConnection::Bytes FTPConnection::commandBytes(const std::string &line, bool utf8) {
  const std::string bytes = commandEncoding(line, utf8);
  return Bytes(bytes.begin(), bytes.end());
}

FTPConnection::CommandLine
FTPConnection::commandLine(std::initializer_list<RemoteName> parts) const {
  CommandLine line;
  for (const auto &part : parts) {
    line.text += part.text();
    line.bytes += part.wire(utf8Safe_);
  }
  return line;
}

void FTPConnection::doTasks() {
  FTPReplyAssembler::Hooks hooks;
  hooks.isLoginTask = [this] {
    int t = iTask_.load();
    return t == kTaskLogin || t == kTaskLoginSecure;
  };
  hooks.lineTaken = [this](const std::string &line) { addToLog(line); };
  hooks.replyComplete = [this] {
    replyCode_ = replies_.iReplyCode;
    // The transfer command's preliminary reply (not the "200" of "PORT") starts the handshake of
    // a protected data connection.
    if (fSecureData_ && !data_ && portServer_ && replies_.iReplyCode >= 100 &&
        replies_.iReplyCode < 200)
      dataPreliminaryEarly_ = true;
    const bool preliminary = replies_.iReplyCode >= 100 && replies_.iReplyCode < 200;
    if (dataTlsPending_ && preliminary) {
      dataTlsPending_ = false;
      if (data_.input) data_.input->setTlsSettings(tlsSettings());
    }
    if (preliminary && (iTask_ == kTaskUpload || iTask_ == kTaskUploadAfterMkDir) &&
        !uploadPreliminaryIn_) {
      uploadPreliminaryIn_ = true;
      // An upload held back its bytes until now: an empty write asks the stream for a
      // can-accept-bytes event (under TLS once the handshake is done). A data connection that
      // is accepted only now reports room by itself.
      if (data_.output) {
        const uint8_t none = 0;
        data_.output->write(&none, 0);
      }
    }
    // A transfer's final reply with its data connection still open: that connection now has
    // a bounded time to deliver the rest and close.
    if ((iState_ == 16 || iState_ == 18) && data_ && replies_.iReplyCode >= 200 &&
        replies_.iReplyCode < 300)
      armDataStallTimer();
    doTaskItems();
  };
  unsigned long generation = controlGeneration_;
  // A handler that closed (or replaced) the connection ends the assembly of the old bytes.
  hooks.keepGoing = [this, generation] {
    return controlGeneration_ == generation && bool(control_.input);
  };
  replies_.doTasks(hooks);
  if (!replies_.failure.empty() && controlGeneration_ == generation) {
    const std::string why = replies_.failure;
    replies_.reset();
    abandonTask(why, true);
  }
}

void FTPConnection::doTaskItems() {
  replyCode_ = replies_.iReplyCode;
  switch (iTask_.load()) {
  case kTaskIdle:
    Log::debugf("readyTask:code:%i", replies_.iReplyCode);
    if (replies_.iReplyCode < 200) break;
    if (abortRepliesOwed_ > 0 && --abortRepliesOwed_ == 0) abortRepliesIn();
    break;
  case kTaskLogin:
    if (replies_.welcomeComplete) doTaskLogin();
    break;
  case kTaskDir:
    doTaskDir();
    break;
  case kTaskDownload:
    doTaskDownload();
    break;
  case kTaskUpload:
  case kTaskUploadAfterMkDir:
    doTaskUpload();
    break;
  case kTaskRename:
    doTaskRename();
    break;
  case kTaskDelete:
    doTaskDelete();
    break;
  case kTaskMkDir:
    doTaskMkDir();
    break;
  case kTaskLoginSecure:
    doTaskLoginSecure();
    break;
  case kTaskChmod:
    doTaskChmod();
    break;
  case kTaskRaw:
    doTaskRaw();
    break;
  case kTaskLook:
    doTaskLook();
    break;
  default:
    break;
  }
}

void FTPConnection::sendCommand(const RemoteName &argument) {
  if (!onOwnThread()) {
    onThread([this, argument] { sendCommand(argument); });
    return;
  }
  if (iTask_ == kTaskIdle) return;
  if (iState_ == 0 && (loginUser().empty() || skipSSL_)) setState(2);
  if ((iState_ == 10 || iState_ == 43) && zlibHelp_) {
    if (iTask_ == kTaskUpload || iTask_ == kTaskUploadAfterMkDir)
      zlibHelp_->resetDeflate();
    else
      zlibHelp_->resetInflate();
    bytesSaved_ = 0;
  }
  CommandLine line = commandForState(argument);
  if (!line.empty()) sendCommandToStream(line);
}

FTPConnection::CommandLine FTPConnection::commandForState(const RemoteName &argument) {
  auto upload = [this](const char *infix) { return uploadNameWith(infix); };
  auto line = [this](std::initializer_list<RemoteName> parts) { return commandLine(parts); };
  // Commands that need the data connection wait for it in passive mode.
  auto waitsForData = [this] {
    if (!dataConnectionOpen_ && !portServer_) {
      sendCommandWhenDataOpen_ = true;
      return true;
    }
    return false;
  };
  std::string user = loginUser();
  switch (iState_.load()) {
  case 0:
  case 32:
    setState(32);
    return line({"AUTH TLS\r\n"});
  case 1:
  case 2:
    setState(2);
    return user.empty() ? line({"USER anonymous\r\n"}) : line({"USER ", user, "\r\n"});
  case 3: {
    std::string pass;
    {
      std::lock_guard<std::mutex> lock(sharedMutex_);
      pass = loginPass_;
    }
    return pass.empty() ? line({"PASS guestpilot@\r\n"}) : line({"PASS ", pass, "\r\n"});
  }
  case 4:
    return line({"UTF8\r\n"});
  case 5:
    return line({"OPTS UTF8 ON\r\n"});
  case 10:
    uploadPreliminaryIn_ = false;
    return line({"PASV\r\n"});
  case 11:
    return line({"SYST\r\n"});
  case 12:
    return line({"TYPE I\r\n"});
  case 13:
    return line({"CWD ", argument, "\r\n"});
  case 15:
    return line({"PWD\r\n"});
  case 16:
    iBytesProcessed_ = 0;
    iBytesTotal_ = 0;
    if (waitsForData()) return {};
    return line({UserDefaults::standard().integerForKey("ShowHiddenFiles") == 1 ? "LIST -la\r\n"
                                                                                : "LIST\r\n"});
  case 17:
    return line({"CDUP\r\n"});
  case 18:
    if (waitsForData()) return {};
    onMain([](FTPAppServices &s) { s.activeTransfer(); });
    iBytesProcessed_ = 0;
    iBytesTotal_ = 0;
    return line({"RETR ", fileToDownload_, "\r\n"});
  case 19:
    if (waitsForData()) return {};
    notePartSource();
    onMain([](FTPAppServices &s) { s.activeTransfer(); });
    return line(
        {"STOR ", useRenames_ && !skipRenames_ ? upload(".upload") : fileToUpload_, "\r\n"});
  case 20:
    return line({toDeleteIsFolder_ ? "RMD " : "DELE ", deleteFilename_, "\r\n"});
  case 21:
    return line({"RNTO ", upload(".old"), "\r\n"});
  case 22:
    return line({"RNFR ", fileToUpload_, "\r\n"});
  case 23:
    return line({"RNTO ", fileToUpload_, "\r\n"});
  case 24:
    return line({"RNFR ", upload(".upload"), "\r\n"});
  case 25:
  case 26:
    return line({"DELE ", upload(".old"), "\r\n"});
  case 27: {
    const RemoteName folder = cwdName();
    const bool slash = !folder.text().empty() && folder.text().back() != '/';
    return line({"DELE ", folder, slash ? "/" : "", deleteFilename_, "/*\r\n"});
  }
  case 30:
    return line({"FEAT\r\n"});
  case 33:
  case 34:
    setState(34);
    return line({"AUTH SSL\r\n"});
  case 35: {
    stopPBSZTimeoutTimer();
    std::weak_ptr<FTPConnection> weak = weak_from_this();
    pbszConnectTimer_ = myThread_->addTimer(platform::seconds(20), true, [weak](platform::Timer &) {
      if (auto self = weak.lock()) self->pbszConnectTimeout();
    });
    return line({"PBSZ 0\r\n"});
  }
  case 36:
    return line({"PROT P\r\n"});
  case 37:
    return line({"RNTO ", renameTo_, "\r\n"});
  case 38:
    return line({"RNFR ", renameFrom_, "\r\n"});
  case 39:
    return line({"MKD ", makeDirectoryName_, "\r\n"});
  case 40: {
    const std::string rest = Log::format("REST %lld\r\n", (long long)(fileDownloadSize_ - 65536));
    fileDownloadSize_ = 65536;
    return line({rest});
  }
  case 41:
    setState(24);
    return line({"RNFR ", upload(".upload"), "\r\n"});
  case 43: {
    uploadPreliminaryIn_ = false;
    std::string port;
    if (!startPortListener(port)) return {};
    return line({port});
  }
  case 45:
    return line({"RNTO ", fileToUpload_, "\r\n"});
  case 46:
    return line({"RNFR ", upload(".old"), "\r\n"});
  case 47:
    return line({"RNTO ", upload(".upload"), "\r\n"});
  case 48:
    addToLog("!!! Checking that server supports renames...\r\n");
    return line({"RNFR ", upload(".upload"), "\r\n"});
  case 50:
    return line({"SITE chmod ", chmodTo_, " ", chmodFilename_, "\r\n"});
  case 51:
    return line({rawCommand_, "\r\n"});
  case 52:
    return line({"MODE Z\r\n"});
  case 53:
    return line({Log::format("REST %lld\r\n",
                             (long long)(iTask_ == kTaskUpload || iTask_ == kTaskUploadAfterMkDir
                                             ? resumeUploadAt_
                                             : resumeDownloadAt_))});
  case 54:
    if (iTask_ == kTaskUpload || iTask_ == kTaskUploadAfterMkDir)
      return line(
          {"SIZE ", useRenames_ && !skipRenames_ ? upload(".upload") : fileToUpload_, "\r\n"});
    return line({"SIZE ", fileToDownload_, "\r\n"});
  case 55:
    return line({"SIZE ", fileToUpload_, "\r\n"});
  case 56:
    return line({"SIZE ", upload(".upload"), "\r\n"});
  case 57:
    return line({"DELE ", upload(".upload"), "\r\n"});
  case 60:
    return line({"CLNT Ferrowen-3.0\r\n"});
  case 65:
    return line({"TYPE I\r\n"});
  case 61:
    return line({"SIZE ", renameTo_, "\r\n"});
  case 62:
    return line({"CWD ", renameTo_, "\r\n"});
  case 63:
    return line({"CWD ", cwdName(), "\r\n"});
  case 64:
    return line({"SITE CHMOD ", modeToGiveBack_, " ", fileToUpload_, "\r\n"});
  case 66:
    return line({"SITE CHMOD ", tempMode_, " ", upload(".upload"), "\r\n"});
  case 67:
    return line({"SIZE ", lookName_, "\r\n"});
  case 68:
    if (waitsForData()) return {};
    return line({"RETR ", lookName_, "\r\n"});
  default:
    Log::debugf("sendCommand:WTFstate:%i", iState_.load());
    return {};
  }
}

void FTPConnection::sendCommandToStream(const std::string &line) {
  sendCommandToStream(commandLine({line}));
}

void FTPConnection::sendCommandToStream(const CommandLine &line) {
  noteEventThread(); // commands, like events, belong to the connection's thread
  if (!control_.output) return;
  if (line.empty()) {
    Log::debugf("sendCommand:WTFstate:%i", iState_.load());
    return;
  }
  // A line break or a zero byte inside a name would end the command there and start another
  // one at the server: such a command is never sent. The bytes are looked at too: they are what
  // the server reads.
  auto bodyOf = [](const std::string &text) {
    return std::string_view(text).substr(0,
                                         myEndsWith(text, "\r\n") ? text.size() - 2 : text.size());
  };
  const std::string_view body = bodyOf(line.text);
  constexpr std::string_view kBreaks("\r\n\0", 3);
  if (body.find_first_of(kBreaks) != std::string_view::npos ||
      bodyOf(line.bytes).find_first_of(kBreaks) != std::string_view::npos) {
    const std::string shown =
        iState_ == 3 ? std::string("PASS [hidden]") : withControlsEscaped(body);
    abandonTask("The command \"" + shown +
                    "\" was not sent: a name in it holds a line break or a zero byte.",
                iTask_ == kTaskLogin || iTask_ == kTaskLoginSecure);
    return;
  }
  const std::string logged = iState_ == 3 ? std::string("PASS [hidden]\r\n") : line.text;
  addToLog(">>> " + logged);

  pendingControlOut_.insert(pendingControlOut_.end(), line.bytes.begin(), line.bytes.end());
  // The reply that follows belongs to this command.
  replies_.replyText.clear();
  replies_.replyBytes.clear();
  Log::debugf("sendCommand:sent:%s", logged.c_str());
  flushControlOutput();
}

void FTPConnection::flushControlOutput() {
  if (!control_.output || pendingControlOut_.empty()) return;
  long n = control_.output->write(pendingControlOut_.data(), pendingControlOut_.size());
  if (n < 0) {
    // The connection is broken: close it the way a stream error does, never by resending.
    Log::debugf("sendCommand:SEND-ERROR:%s", control_.output->error().text.c_str());
    controlStreamFailed();
    return;
  }
  if (n > 0) {
    pendingControlOut_.erase(pendingControlOut_.begin(), pendingControlOut_.begin() + n);
    controlWriteRetries_ = 0;
  }
  if (pendingControlOut_.empty()) return;
  // A short write: the rest goes on the next can-accept-bytes event, a bounded number of times.
  if (n == 0 && ++controlWriteRetries_ > kMaxControlWriteRetries) {
    Log::debug("sendCommand:SEND-ERROR:stream takes nothing");
    controlStreamFailed();
  }
}
