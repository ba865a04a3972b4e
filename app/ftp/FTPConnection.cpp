#include "app/ftp/FTPConnection.h"
#include "app/ftp/FTPTaskHelpers.h"

#include "app/foundation/RemoteOrigin.h"
#include "app/foundation/SettingsKeys.h"
#include "app/foundation/StringUtils.h"

#include "platform/device/Application.h"
#include "platform/device/DeviceProfile.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using platform::Log;
using platform::UserDefaults;
namespace net = platform::net;

namespace {

std::mutex servicesMutex;
std::shared_ptr<FTPAppServices> sharedServices;

constexpr unsigned kControlReadEvents =
    net::StreamEventOpenCompleted | net::StreamEventHasBytesAvailable |
    net::StreamEventErrorOccurred | net::StreamEventEndEncountered;
constexpr unsigned kControlWriteEvents =
    net::StreamEventOpenCompleted | net::StreamEventCanAcceptBytes | net::StreamEventErrorOccurred |
    net::StreamEventEndEncountered;

} // namespace

std::shared_ptr<FTPAppServices> FTPAppServices::shared() {
  std::lock_guard<std::mutex> lock(servicesMutex);
  return sharedServices;
}

void FTPAppServices::setShared(std::shared_ptr<FTPAppServices> services) {
  std::lock_guard<std::mutex> lock(servicesMutex);
  sharedServices = std::move(services);
}

// ------------------------------------------------------------------------------------------------
// Life

FTPConnection::FTPConnection() : myThread_(platform::RunLoop::current()) {
  utf8Safe_ = UserDefaults::standard().integerForKey(kAlwaysUseUnicode) == 1;
}

FTPConnection::~FTPConnection() {
  Log::system("Deallocated FTPConnection!");
  // Only what needs no thread hop: the streams and timers die with the object.
  for (auto *t :
       {&connectTimer_, &inactiveTimer_, &dataConnectTimer_, &pbszConnectTimer_, &sslHelperTimer_,
        &sslDataHelperTimer_, &pumpTimer_, &dataStallTimer_, &lookTimer_})
    if (*t) (*t)->invalidate();
  for (auto *pair : {&control_, &data_}) {
    if (pair->input) {
      pair->input->setClient(0, nullptr);
      pair->input->close();
    }
    if (pair->output) {
      pair->output->setClient(0, nullptr);
      pair->output->close();
    }
  }
  if (portServer_) portServer_->invalidate();
  if (writeStreamFileDownload_) writeStreamFileDownload_->close();
  cleanupFileDownload();
}

void FTPConnection::onThread(std::function<void()> fn) {
  if (myThread_->isCurrent()) {
    fn();
    return;
  }
  std::weak_ptr<FTPConnection> weak = weak_from_this();
  myThread_->perform([weak, fn = std::move(fn)] {
    if (auto self = weak.lock()) fn();
  });
}

void FTPConnection::onMain(std::function<void(FTPAppServices &)> fn) {
  auto services = FTPAppServices::shared();
  if (!services) return;
  platform::RunLoop::main()->perform([services, fn = std::move(fn)] { fn(*services); });
}

void FTPConnection::onFolderScreen(std::function<void(DirViewerScreen &)> fn) {
  std::weak_ptr<FTPConnection> weak = weak_from_this();
  onMain([weak, fn = std::move(fn)](FTPAppServices &s) {
    auto self = weak.lock();
    if (auto top = self ? s.folderScreenOf(*self) : nullptr) fn(*top);
  });
}

// One end of a queue item on its way to the main thread: owed from its making until it has run
// there, or until it is dropped unrun.
class FTPConnection::QueueReport {
public:
  explicit QueueReport(std::shared_ptr<std::atomic<int>> owed) : owed_(std::move(owed)) {
    ++*owed_;
  }
  ~QueueReport() { arrived(); }
  QueueReport(const QueueReport &) = delete;
  QueueReport &operator=(const QueueReport &) = delete;
  void arrived() {
    if (owed_) --*owed_;
    owed_.reset();
  }

private:
  std::shared_ptr<std::atomic<int>> owed_;
};

std::shared_ptr<FTPConnection::QueueReport> FTPConnection::oweQueueReport() {
  return std::make_shared<QueueReport>(queueReportsOwed_);
}

void FTPConnection::onMainForQueue(std::function<void(FTPAppServices &)> fn,
                                   std::shared_ptr<QueueReport> owed) {
  auto report = owed ? std::move(owed) : oweQueueReport();
  onMain([report, fn = std::move(fn)](FTPAppServices &s) {
    fn(s);
    report->arrived();
  });
}

void FTPConnection::setShared(std::string &field, std::string value) {
  std::lock_guard<std::mutex> lock(sharedMutex_);
  field = std::move(value);
}

void FTPConnection::setShared(RemoteName &field, RemoteName value) {
  std::lock_guard<std::mutex> lock(sharedMutex_);
  field = std::move(value);
}

void FTPConnection::setCwdFromReply() {
  setShared(cwd_, RemoteName::named(ftptasks::quotedFolderOf(replies_.replyText),
                                    ftptasks::quotedFolderOf(replies_.replyBytes)));
  Log::debugf("CurrentWorkingDir:%s", cwd().c_str());
}

#define FTP_SHARED_GETTER(name, field)                                                             \
  std::string FTPConnection::name() const {                                                        \
    std::lock_guard<std::mutex> lock(sharedMutex_);                                                \
    return field;                                                                                  \
  }
FTP_SHARED_GETTER(transferLog, transferLog_)
FTP_SHARED_GETTER(cwd, cwd_.text())
FTP_SHARED_GETTER(currentServerName, currentServerName_)
FTP_SHARED_GETTER(serverAddress, serverAddress_)
FTP_SHARED_GETTER(loginUser, loginUser_)
FTP_SHARED_GETTER(loginPass, loginPass_)
FTP_SHARED_GETTER(fileToDownload, fileToDownload_.text())
FTP_SHARED_GETTER(saveToLocalFolder, saveToLocalFolder_)
FTP_SHARED_GETTER(ftpStatusMessage, ftpStatusMessage_)
FTP_SHARED_GETTER(initialCurrentDirectory, initialCurrentDirectory_.text())
#undef FTP_SHARED_GETTER

RemoteName FTPConnection::cwdName() const {
  std::lock_guard<std::mutex> lock(sharedMutex_);
  return cwd_;
}

RemoteName FTPConnection::fileToDownloadName() const {
  std::lock_guard<std::mutex> lock(sharedMutex_);
  return fileToDownload_;
}

void FTPConnection::setDelegate(std::weak_ptr<FTPConnectionDelegate> delegate) {
  onThread([this, delegate] { delegate_ = delegate; });
}
void FTPConnection::setMainConnection(bool main) {
  onThread([this, main] { mainConnection_ = main; });
}
void FTPConnection::setServerAddress(const std::string &address) {
  onThread([this, address] { setShared(serverAddress_, address); });
}
void FTPConnection::setLoginUser(const std::string &user) {
  onThread([this, user] { setShared(loginUser_, user); });
}
void FTPConnection::setLoginPass(const std::string &pass) {
  onThread([this, pass] { setShared(loginPass_, pass); });
}
void FTPConnection::setSkipSSL(bool skip) {
  onThread([this, skip] { skipSSL_ = skip; });
}
void FTPConnection::setWarnIfNoSSL(bool warn) {
  onThread([this, warn] { warnIfNoSSL_ = warn; });
}
void FTPConnection::setInitialCurrentDirectory(const RemoteName &folder) {
  onThread([this, folder] {
    setShared(initialCurrentDirectory_, folder);
    jobFolderStored_ = false;
  });
}
void FTPConnection::setFDisconnectWhenDone(bool flag) {
  onThread([this, flag] { fDisconnectWhenDone_ = flag; });
}
void FTPConnection::setBatchPK(int pk) {
  onThread([this, pk] { batchPK_ = pk; });
}
void FTPConnection::setSaveToLocalFolder(const std::string &folder) {
  onThread([this, folder] { setShared(saveToLocalFolder_, folder); });
}

std::vector<net::PeerCertificate> FTPConnection::peerCertificates() const {
  // The stream pair's queries may be called from any thread; the pair itself is swapped only on
  // the connection's thread, so take it under the lock.
  std::shared_ptr<net::SocketInputStream> input;
  {
    std::lock_guard<std::mutex> lock(sharedMutex_);
    input = control_.input;
  }
  return input ? input->peerCertificates() : std::vector<net::PeerCertificate>{};
}

void FTPConnection::reinit() {
  onThread([this] {
    disconnectFromServer();
    // A new session starts with no job of the old one's.
    dropStoredJob();
    setShared(initialCurrentDirectory_, RemoteName());
    jobFolderStored_ = false;
    skipSSL_ = false;
    fSecureLogin_ = false;
    fSecureData_ = false;
    sslProblems_ = false;
    fIsConnected_ = false;
    fIsLoggedIn_ = false;
    forcePORT_ = false;
    implicitSSL_ = false;
    reconnectedWithoutTls_ = false;
    retryDirectory_ = false;
    canDoUTF8_ = false;
    canDoAPPE_ = false;
    useModeZ_ = false;
    modeZ_ = false;
    utf8Safe_ = UserDefaults::standard().integerForKey(kAlwaysUseUnicode) == 1;
    zlibHelp_.reset();
    setShared(transferLog_, "");
  });
}

bool FTPConnection::isFileTransferInProgress() const {
  int t = iTask_.load();
  return t == kTaskDownload || t == kTaskUpload || t == kTaskUploadAfterMkDir;
}

bool FTPConnection::isAnythingInProgress() const {
  if (queueReportsOwed_->load() > 0) return true;
  if (!controlOpen_.load()) return false;
  // The task is read on both sides of the flag: a login's end that sets the next task between
  // the reads is seen either still finishing or with that task.
  if (iTask_.load() != kTaskIdle || loginFinishing_.load()) return true;
  return iTask_.load() != kTaskIdle || abortRepliesDue_.load();
}

void FTPConnection::iPhoneIsLocking() {
  onThread([this] {
    if (isBusy())
      fDisconnectWhenDone_ = true;
    else
      disconnectFromServer();
  });
}

void FTPConnection::didReceiveMemoryWarning() {
  onThread([this] { addToLog("*** Received Memory Warning!\r\n"); });
}

// ------------------------------------------------------------------------------------------------
// Opening and closing

void FTPConnection::connect() {
  onThread([this] {
    dropStoredJob();
    reconnectedWithoutTls_ = false;
    reconnect();
  });
}

void FTPConnection::reconnect() {
  onThread([this] {
    disconnectFromServer();
    setTask(kTaskLogin);
    setState(0);
    std::string host = serverAddress();
    if (myContains(host, "/")) {
      setShared(initialCurrentDirectory_, RemoteName(mySubStringAfterFirstStringTrim(host, "/")));
      host = host.substr(0, host.find('/'));
    }
    int port = 21;
    if (myContains(host, ":")) {
      size_t colon = host.find(':');
      const std::string portText = host.substr(colon + 1);
      // A port out of range (or no number) is refused, never wrapped into another port.
      if (portTextRefused(portText)) return refuseServerPort();
      port = portNumber(myTrimWS(portText));
      host = host.substr(0, colon);
    }
    connectToServer(host, port);
  });
}

void FTPConnection::refuseServerPort() {
  Log::system("Not connecting: the server's port is not a number from 1 to 65535");
  updateViewWithFatalError(kPortRangeMessage);
}

void FTPConnection::connectToServer(const std::string &host, int port) {
  if (!onOwnThread()) {
    onThread([this, host, port] { connectToServer(host, port); });
    return;
  }
  if (port < 0 || port > 65535) return refuseServerPort();
  auto &app = platform::Application::shared();
  if (mainConnection_) {
    app.setNetworkActivityIndicatorVisible(true);
    app.setStatusBarStyle(platform::StatusBarStyle::Default);
  }
  currentPort_ = port == 0 ? 21 : port;
  setTask(kTaskLogin);
  setState(0);

  // A fresh log file for each session.
  if (writeStreamLog_) writeStreamLog_->close();
  std::string logPath =
      platform::Paths::tmp() + (mainConnection_ ? "/Ferrowen.log" : "/Ferrowen-2.log");
  platform::FileManager::removeItem(logPath);
  writeStreamLog_ = std::make_unique<net::FileOutputStream>(logPath);
  if (!writeStreamLog_->open()) writeStreamLog_.reset();
  logFileBytes_ = 0;

  replies_.reset();
  pendingControlOut_.clear();
  controlWriteRetries_ = 0;
  dataReadData_.clear();
  currentDirectory_.clear();
  setShared(currentServerName_, host);
  // A new session: the server has yet to answer it and to log it in (a session cut before keeps
  // neither).
  fIsConnected_ = false;
  fIsLoggedIn_ = false;

  useRenames_ = true;
  skipRenames_ = false;
  fDisconnectWhenDone_ = false;
  fSecureLogin_ = false;
  fSecureData_ = false;
  writeReady_ = false;
  readReady_ = false;
  welcomeLogged_ = false;
  forcePORT_ = false;
  wasAnError_ = false;
  canDoAPPE_ = false;
  canDoUTF8_ = false;
  tlsSessions_ = std::make_shared<net::TlsSessionCache>();

  updateProgressText("Connecting to Server...");

  int status = 0;
  if (auto services = FTPAppServices::shared()) status = services->internetConnectionStatus();
  const char *kind = status == 1 ? "(Cell," : status == 2 ? "(WiFi," : "(???,";
  addToLog(Log::format("*** %s %s %s %s)\r\n", "Ferrowen", "3.0", kind,
                       platform::DeviceProfile::current().platform.c_str()));
  addToLog(Log::format("*** Connect To %s:%i\r\n", host.c_str(), currentPort_.load()));

  auto pair = net::createSocketStreamPair(host, uint16_t(currentPort_.load()));
  unsigned long generation = ++controlGeneration_;
  std::weak_ptr<FTPConnection> weak = weak_from_this();
  if (pair) {
    pair.input->setClient(kControlReadEvents, [weak, generation](net::StreamEvent e) {
      if (auto self = weak.lock())
        if (self->controlGeneration_ == generation) self->readCallback(e);
    });
    pair.output->setClient(kControlWriteEvents, [weak, generation](net::StreamEvent e) {
      if (auto self = weak.lock())
        if (self->controlGeneration_ == generation) self->writeCallback(e);
    });
    pair.input->scheduleWithRunLoop(myThread_);
    pair.output->scheduleWithRunLoop(myThread_);
  }
  {
    std::lock_guard<std::mutex> lock(sharedMutex_);
    control_ = pair;
  }
  if (!pair || !pair.input->open() || !pair.output->open()) {
    const bool retried = ownerRetriesConnect("the connection could not be opened",
                                             "Unable to connect to the FTP server.");
    disconnectFromServer();
    if (!retried) updateViewWithFatalError("Unable to connect to the FTP server.");
    return;
  }

  if (isImplicitTlsPort(currentPort_)) {
    onMain([](FTPAppServices &s) { s.setProtocol("FTPS"); });
    control_.input->setTlsSettings(tlsSettings());
    setState(1);
    fSecureLogin_ = true;
    fSecureData_ = true;
    implicitSSL_ = true;
  }
  if (sslProblems_) skipSSL_ = true;
  auto &defaults = UserDefaults::standard();
  if (defaults.integerForKey(keyNoRenaming(host, loginUser())) == 1 ||
      defaults.integerForKey("UploadToTempName") == 0)
    useRenames_ = false;

  double limit = defaults.integerForKey("NoAdvancedFTPFeatures") == 1 ? 45 : 20;
  connectTimer_ = myThread_->addTimer(platform::seconds(limit), false, [weak](platform::Timer &) {
    if (auto self = weak.lock()) self->didntConnect();
  });
  controlOpen_ = true; // last: the connect timer runs once the connection says it stands
}

net::TlsSettings FTPConnection::tlsSettings() const {
  net::TlsSettings settings;
  settings.sessionCache = tlsSessions_;
  return settings;
}

void FTPConnection::didntConnect() {
  if (!connectTimer_) return;
  connectTimer_.reset();
  const std::string where = currentServerName() + ":" + std::to_string(currentPort_.load());
  const bool retried = ownerRetriesConnect("no answer", "Unable to connect to the FTP server " +
                                                            where + ": the server did not answer.");
  disconnectFromServer();
  fIsConnected_ = false;
  fIsLoggedIn_ = false;
  if (retried) return;
  updateViewWithFileError(myStartsWith(serverAddress(), "192.") ? "error-timeout-192.html"
                                                                : "error-timeout.html");
}

bool FTPConnection::ownerRetriesConnect(const std::string &reason, const std::string &message) {
  auto d = delegate_.lock();
  return d && d->connectFailed(*this, reason, message);
}

void FTPConnection::disconnectFromServer() {
  if (!onOwnThread()) {
    onThread([this] { disconnectFromServer(); });
    return;
  }
  dropWaitingTasks();
  if (mainConnection_) platform::Application::shared().setNetworkActivityIndicatorVisible(false);
  fDisconnectWhenDone_ = false;
  bool hadControl = bool(control_.input) || bool(control_.output);
  ++controlGeneration_;
  if (control_.input) {
    control_.input->setClient(0, nullptr);
    control_.input->unscheduleFromRunLoop();
    control_.input->close();
  }
  if (control_.output) {
    control_.output->setClient(0, nullptr);
    control_.output->unscheduleFromRunLoop();
    control_.output->close();
  }
  {
    std::lock_guard<std::mutex> lock(sharedMutex_);
    control_ = {};
  }
  controlOpen_ = false;
  pendingControlOut_.clear();
  if (hadControl) addToLog("*** Disconnected\r\n\r\n");

  stopSslHelperTimer();
  stopSslDataHelperTimer();
  stopDataTimeoutTimer();
  stopPBSZTimeoutTimer();
  if (inactiveTimer_) inactiveTimer_->invalidate();
  inactiveTimer_.reset();
  if (connectTimer_) connectTimer_->invalidate();
  connectTimer_.reset();

  onMain([](FTPAppServices &s) { s.finishedTransfer(); });
  disconnectDataStreamFromServer();
  // What a cut download wrote stays in its partial file for a resume; the file itself is let go
  // now, so that a partial file removed meanwhile (its queue row was deleted) frees its space.
  if (writeStreamFileDownload_) {
    writeStreamFileDownload_->close();
    writeStreamFileDownload_.reset();
  }

  // A look under way ends with the session: nothing was looked at.
  if (lookDone_) endLook(LookedFile{});

  // The cut transfer is reported to the queue half a second later, unless a transfer has started
  // meanwhile (connect closes the old session first and may start the next transfer at once).
  std::weak_ptr<FTPConnection> weak = weak_from_this();
  const unsigned long generation = transferGeneration_;
  if (!weak.expired())
    myThread_->performAfter(platform::seconds(0.5), [weak, generation] {
      if (auto self = weak.lock())
        if (self->transferGeneration_ == generation) self->abortBatchItem();
    });
}

void FTPConnection::disconnectDataStreamFromServer() {
  ++dataGeneration_;
  for (auto *t : {&pumpTimer_, &dataStallTimer_}) {
    if (*t) (*t)->invalidate();
    t->reset();
  }
  for (auto *s : {static_cast<net::SocketStream *>(data_.input.get()),
                  static_cast<net::SocketStream *>(data_.output.get())}) {
    if (!s) continue;
    s->setClient(0, nullptr);
    s->unscheduleFromRunLoop();
  }
  if (data_.input) data_.input->close();
  if (data_.output) data_.output->close();
  data_ = {};
  dataConnectionOpen_ = false;
  dataTlsPending_ = false;
  dataPreliminaryEarly_ = false;
}

void FTPConnection::cleanupFileDownload() {
  // The working copy of the last download to be opened, unless an editor, a viewer or an edit
  // record still uses it (a pending edit's copy is never this connection's to remove).
  workingCopyInUse_.release();
  if (!workingCopy_.empty() && !fileInUse(workingCopy_)) removeWorkingCopy(workingCopy_);
}

// ------------------------------------------------------------------------------------------------
// Data connections

bool FTPConnection::connectToServerData(const std::string &replyText) {
  size_t open = replyText.find('(');
  if (open == std::string::npos) return false;
  std::string inner = replyText.substr(open + 1);
  size_t close = inner.find(')');
  if (close != std::string::npos) inner = inner.substr(0, close);
  // Six numbers 0 to 255 (h1,h2,h3,h4,p1,p2), nothing else.
  std::vector<int> numbers;
  size_t start = 0;
  for (;;) {
    size_t comma = inner.find(',', start);
    std::string piece = myTrimWS(
        inner.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (piece.empty() || piece.size() > 3 ||
        piece.find_first_not_of("0123456789") != std::string::npos)
      return false;
    int value = std::stoi(piece);
    if (value > 255) return false;
    numbers.push_back(value);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (numbers.size() != 6) return false;

  dataConnectionOpen_ = false;
  pasvIPPrefix_ = numbers[0];
  int port = numbers[4] * 256 + numbers[5];
  auto pair = net::createSocketStreamPair(currentServerName(), uint16_t(port));
  attachDataStreams(pair, "Unable to connect to the FTP server.");
  // A protected data connection starts its handshake with the server's preliminary reply to the
  // transfer command, which goes out as soon as the connection stands: servers such as pyftpdlib
  // drop a data connection whose handshake begins before that.
  dataTlsPending_ = fSecureData_ && bool(data_);
  return true;
}

bool FTPConnection::attachDataStreams(net::SocketStreamPair pair, const char *failureText) {
  unsigned long generation = ++dataGeneration_;
  std::weak_ptr<FTPConnection> weak = weak_from_this();
  if (pair) {
    pair.input->setClient(kControlReadEvents, [weak, generation](net::StreamEvent e) {
      if (auto self = weak.lock())
        if (self->dataGeneration_ == generation) self->dataReadCallback(e);
    });
    pair.output->setClient(kControlWriteEvents, [weak, generation](net::StreamEvent e) {
      if (auto self = weak.lock())
        if (self->dataGeneration_ == generation) self->dataWriteCallback(e);
    });
    pair.input->scheduleWithRunLoop(myThread_);
    pair.output->scheduleWithRunLoop(myThread_);
  }
  data_ = pair;
  if (!pair || !pair.input->open() || !pair.output->open()) {
    disconnectFromServer();
    updateViewWithFatalError(failureText);
    return false;
  }
  return true;
}

std::string FTPConnection::localIPv4Address() const {
  int fd = control_.input ? control_.input->nativeSocket() : -1;
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len) != 0 ||
      ss.ss_family != AF_INET)
    return "0,0,0,0";
  auto *sin = reinterpret_cast<sockaddr_in *>(&ss);
  uint32_t a = ntohl(sin->sin_addr.s_addr);
  return Log::format("%i,%i,%i,%i", int(a >> 24), int((a >> 16) & 255), int((a >> 8) & 255),
                     int(a & 255));
}

bool FTPConnection::startPortListener(std::string &portCommand) {
  if (portServer_) portServer_->invalidate();
  auto server = std::make_unique<net::ListeningSocket>();
  auto *raw = server.get();
  std::weak_ptr<FTPConnection> weak = weak_from_this();
  bool ok = server->start(0, myThread_, [weak, raw](int fd, std::vector<uint8_t>) {
    if (auto self = weak.lock())
      self->didAcceptConnectionForServer(raw, fd);
    else
      ::close(fd);
  });
  if (!ok) {
    std::string why = server->errorText();
    updateViewWithFatalError(
        Log::format("Error creating socket for PORT command: %s", why.c_str()));
    return false;
  }
  uint16_t port = server->port();
  portServer_ = std::move(server);
  dataPreliminaryEarly_ = false;
  portCommand = Log::format("PORT %s,%i,%i\r\n", localIPv4Address().c_str(), port >> 8, port & 255);
  return true;
}

void FTPConnection::didAcceptConnectionForServer(net::ListeningSocket *server, int nativeSocket) {
  if (data_ || !portServer_ || server != portServer_.get()) {
    ::close(nativeSocket); // one data connection per "PORT"
    return;
  }
  // One connection per listener: stop it now, free it once its handler has returned.
  portServer_->invalidate();
  std::shared_ptr<net::ListeningSocket> done(portServer_.release());
  myThread_->perform([done] {});
  auto pair = net::createSocketStreamPairWithNativeSocket(nativeSocket, true);
  if (!attachDataStreams(pair, "Unable to accept PORT response from the FTP server.")) return;
  // A protected data channel is protected in active mode too (we are the TLS client here as in
  // passive mode), its handshake starting with the preliminary reply as in passive mode, or now
  // when that reply was read before the connection was accepted.
  dataTlsPending_ = fSecureData_ && !dataPreliminaryEarly_;
  if (fSecureData_ && dataPreliminaryEarly_) data_.input->setTlsSettings(tlsSettings());
  dataPreliminaryEarly_ = false;
}

// ------------------------------------------------------------------------------------------------
// Transfer log

namespace {
// What a server sends reaches the log: the transcript in memory keeps its newest part, the log
// file of a session stops growing at its bound.
constexpr size_t kMaxTranscriptBytes = 1 << 20;
constexpr uint64_t kMaxLogFileBytes = 16 << 20;
} // namespace

void FTPConnection::addToLog(const std::string &text) {
  {
    std::lock_guard<std::mutex> lock(sharedMutex_);
    transferLog_ += text;
    if (transferLog_.size() > kMaxTranscriptBytes) {
      size_t cut = transferLog_.size() - kMaxTranscriptBytes / 2;
      const size_t lineEnd = transferLog_.find('\n', cut);
      if (lineEnd != std::string::npos) cut = lineEnd + 1;
      transferLog_.erase(0, cut);
    }
  }
  addToLogFile(text);
}

void FTPConnection::addToLogFile(const std::string &text) {
  if (!writeStreamLog_ || !mainConnection_ || text.empty()) return;
  if (logFileBytes_ + text.size() > kMaxLogFileBytes) {
    static const std::string full = "*** The log file is full: nothing more is written to it.\r\n";
    writeStreamLog_->write(reinterpret_cast<const uint8_t *>(full.data()), full.size());
    writeStreamLog_->close();
    writeStreamLog_.reset();
    return;
  }
  logFileBytes_ += text.size();
  writeStreamLog_->write(reinterpret_cast<const uint8_t *>(text.data()), text.size());
}

// ------------------------------------------------------------------------------------------------
// Progress and queue reports

void FTPConnection::updateProgressMark(float fraction) {
  if (auto d = delegate_.lock())
    d->progressPercent(*this, iTask_ == kTaskLogin ? fraction * 0.1f : fraction * 0.9f + 0.1f);
  onFolderScreen([fraction](DirViewerScreen &top) { top.updateProgress(fraction); });
}

void FTPConnection::updateProgressText(const std::string &text) {
  onFolderScreen([text](DirViewerScreen &top) { top.updateProgressText(text); });
}

void FTPConnection::doneBatchItem() {
  auto owed = oweQueueReport(); // busy until the queue has heard of it
  setTask(kTaskIdle);
  BatchObject object{batchPK_, 0, 0};
  onMainForQueue(
      [object](FTPAppServices &s) {
        if (auto q = s.batchView()) q->doneBatchItemObject(object);
      },
      std::move(owed));
}

void FTPConnection::abortBatchItem() {
  // A cut or refused transfer keeps its row, a view's too: the queue finishes it later.
  if (!isFileTransferInProgress() || batchPK_ < 0) return;
  auto owed = oweQueueReport();
  setTask(kTaskIdle);
  BatchObject object{batchPK_, 0, 0};
  onMainForQueue(
      [object](FTPAppServices &s) {
        if (auto q = s.batchView()) q->abortBatchItemObject(object);
      },
      std::move(owed));
}

void FTPConnection::endViewRow() {
  if (batchPK_ < 0) return;
  auto owed = oweQueueReport();
  BatchObject object{batchPK_, 0, 0};
  // The row is the look's alone: the queue must not take it up as a download of its own later.
  batchPK_ = -1;
  onMainForQueue(
      [object](FTPAppServices &s) {
        if (auto q = s.batchView()) q->doneBatchItemObject(object);
      },
      std::move(owed));
}

void FTPConnection::updateBatchProgressMark(float progress, int64_t bytes) {
  BatchObject object{batchPK_, bytes, progress};
  onMain([object](FTPAppServices &s) {
    if (auto q = s.batchView()) q->updateBatchItemObject(object);
  });
}

void FTPConnection::updateBatchFileSize() {
  BatchObject object{batchPK_, fileDownloadSize_, 0};
  onMain([object](FTPAppServices &s) {
    if (auto q = s.batchView()) q->updateFileSizeBatchItemObject(object);
  });
}

void FTPConnection::resetForNextCommand() {
  fileToUpload_.clear();
}

void FTPConnection::allCommandsDone() {
  rawCommand_.clear();
  fileToUpload_.clear();
  renameFrom_.clear();
  renameTo_.clear();
  makeDirectoryName_.clear();
  deleteFilename_.clear();
  chmodFilename_.clear();
  dataToWriteCopy_.clear();
  filePathToUpload_.clear();
}

void FTPConnection::storeJobFolder(const RemoteName &folder) {
  setShared(initialCurrentDirectory_, folder);
  jobFolderStored_ = true;
}

void FTPConnection::dropStoredJob() {
  // A folder the owner set for the next session stays; one stored with the job goes with it.
  if (std::exchange(jobFolderStored_, false)) setShared(initialCurrentDirectory_, RemoteName());
  allCommandsDone();
  quietDelete_ = false;
  initialFileToDownload_.clear();
  chmodTo_.clear();
  dataToWrite_.clear();
  dataFileToUpload_.clear();
  if (readStreamFileToUpload_) readStreamFileToUpload_->close();
  readStreamFileToUpload_.reset();
}
