#include "app/sharing/FTPServer.h"

#include "app/foundation/Globals.h"
#include "app/foundation/Scrambler.h"
#include "app/foundation/SettingsKeys.h"
#include "app/foundation/StringUtils.h"
#include "app/sharing/ConnectionLimit.h"
#include "app/sharing/SharingHost.h"

#include "platform/device/Application.h"
#include "platform/foundation/DateFormatter.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <set>

using namespace platform;
using namespace platform::net;

namespace {

constexpr const char *kProductName = "Ferrowen";
constexpr const char *kProductVersion = "3.0";
// Bytes moved at a time: large blocks keep system calls and events few per byte.
constexpr size_t kBlock = 256 * 1024;
// How many chunk steps one handling moves at most before giving the run loop back.
constexpr int kStepsPerHandling = 16;
// Replies waiting for a client that does not read: above this the object stops reading commands.
constexpr size_t kControlBacklogLimit = 256 * 1024;
constexpr const char *kPrivateKeys = "PrivateKeys";

std::set<std::shared_ptr<FTPServer>> &liveServers() {
  static std::set<std::shared_ptr<FTPServer>> servers;
  return servers;
}

UserDefaults &settings() {
  return globalUserDefaults ? *globalUserDefaults : UserDefaults::standard();
}

std::string greeting() {
  return Log::format("220 %s v%s ready...", kProductName, kProductVersion);
}

// The IPv4 address bytes of a socket address, empty when it is not an IPv4 one.
std::vector<uint8_t> ipv4Bytes(const std::vector<uint8_t> &sockaddrBytes) {
  if (sockaddrBytes.size() < sizeof(sockaddr_in)) return {};
  sockaddr_in sin;
  std::memcpy(&sin, sockaddrBytes.data(), sizeof sin);
  if (sin.sin_family != AF_INET) return {};
  const uint8_t *a = reinterpret_cast<const uint8_t *>(&sin.sin_addr);
  return {a[0], a[1], a[2], a[3]};
}

// Path components without the separators, for comparing folders by their parts.
std::vector<std::string> partsOf(const std::string &path) {
  std::vector<std::string> out;
  for (auto &c : pathComponents(path))
    if (c != "/") out.push_back(c);
  return out;
}

std::string trimLine(const std::string &line) {
  size_t b = 0, e = line.size();
  auto ws = [](unsigned char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' || c == 0;
  };
  while (b < e && ws(static_cast<unsigned char>(line[b])))
    ++b;
  while (e > b && ws(static_cast<unsigned char>(line[e - 1])))
    --e;
  return line.substr(b, e - b);
}

std::string upperASCII(std::string s) {
  for (auto &c : s)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  return s;
}

// The process (or the system) has no file descriptor left for a file, a folder or a socket.
bool isDescriptorShortage(int error) {
  return error == EMFILE || error == ENFILE;
}

std::string errorText(int error) {
  return std::strerror(error);
}

// "" when the open file is a plain file (then made to block again, as reads and writes of a file
// do anyway); else the reply that refuses it: a pipe, a device or a socket has no end to send or
// keep.
std::string notAPlainFile(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return "550 Unable to open the file: " + errorText(errno) + ".";
  if (!S_ISREG(st.st_mode)) return "550 Not a regular file.";
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return "";
}

// The commands that move bytes over a data connection.
bool isTransfer(const std::string &command) {
  return command == "RETR" || command == "STOR" || command == "APPE" || command == "LIST" ||
         command == "NLST";
}

std::string padOrCut(const std::string &s, size_t width) {
  std::string out = s.substr(0, width);
  out.append(width - out.size(), ' ');
  return out;
}

} // namespace

FTPServer::FTPServer()
    : today(Clock::current().wallNow()),
      sharedRoot_(appendPathComponent(Paths::documents(), "Files")),
      idle_(kIdleLimit, [this] { idleLimitPassed(); }), login_(kLoginLimit, [this] {
        Log::debug("FTPServer: closing a session that did not log in in time\n");
        sendCommandToStream("421 Login timeout.\r\n");
        disconnectFromClient();
      }) {}

FTPServer::~FTPServer() {
  if (dataWriteRetry_) dataWriteRetry_->invalidate();
  stopAwaitingDataConnection();
  closeSendFile();
  closeSaveFile();
}

std::string FTPServer::turnAwayReply(int errorCode) {
  return "421 " + cannotTakeConnection(errorCode) + "\r\n";
}

size_t FTPServer::liveCount() {
  return liveServers().size();
}

// Sessions that still hold a place: one that has been closed is only waiting to be released.
size_t FTPServer::sessionsHoldingPlaces() {
  return size_t(std::count_if(liveServers().begin(), liveServers().end(),
                              [](const auto &s) { return !s->disconnected_; }));
}

void FTPServer::disconnectAll() {
  auto copy = liveServers();
  for (auto &s : copy)
    s->disconnectFromClient();
}

void FTPServer::serverIsActive() {
  if (auto d = SharingHost::current()) d->serverIsActive();
}

// --- Connections -----------------------------------------------------------------------------

void FTPServer::didAcceptIncomingConnection(TCPServer &server,
                                            std::shared_ptr<SocketInputStream> in,
                                            std::shared_ptr<SocketOutputStream> out) {
  if (readStream || disconnected_ || !in || !out) return;
  if (sessionsHoldingPlaces() >= kMaxSessions) {
    std::vector<std::shared_ptr<FTPServer>> holders;
    std::vector<PlaceHolder> places;
    for (const auto &s : liveServers()) {
      if (s->disconnected_) continue;
      holders.push_back(s);
      places.push_back({peerIPv4Address(s->fromAddress), s->loggedIn, s->idle_.lastProgress()});
    }
    const size_t victim = placeToFree(places, peerIPv4Address(server.peer()));
    if (victim >= holders.size()) {
      Log::debug("FTPServer: a session over the limit refused\n");
      refuseConnection(std::move(in), std::move(out),
                       "421 Too many connections. Please try again later.\r\n");
      return;
    }
    holders[victim]->giveUpPlace();
  }
  readStream = std::move(in);
  writeStream = std::move(out);
  fromAddress = server.peer();
  liveServers().insert(shared_from_this());

  std::weak_ptr<FTPServer> weak = weak_from_this();
  readStream->setClient(StreamEventOpenCompleted | StreamEventHasBytesAvailable |
                            StreamEventErrorOccurred | StreamEventEndEncountered,
                        [weak](StreamEvent ev) {
                          if (auto self = weak.lock()) self->handleReadEvent(ev);
                        });
  writeStream->setClient(StreamEventOpenCompleted | StreamEventCanAcceptBytes |
                             StreamEventErrorOccurred | StreamEventEndEncountered,
                         [weak](StreamEvent ev) {
                           if (auto self = weak.lock()) self->handleWriteEvent(ev);
                         });
  readStream->scheduleWithRunLoop(RunLoop::current());
  writeStream->scheduleWithRunLoop(RunLoop::current());
  if (!readStream->open() || !writeStream->open()) {
    disconnectFromClient();
    return;
  }
  // Replies are short and often come two in a row with no command between ("150" then "226"):
  // with Nagle's algorithm the second waits for the client's delayed acknowledgement.
  if (int fd = writeStream->nativeSocket(); fd >= 0) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  idle_.start();
  login_.start();
  serverIsActive();
}

void FTPServer::giveUpPlace() {
  Log::debug("FTPServer: a session makes room for a client of another address\n");
  sendCommandToStream("421 Too many connections from your address.\r\n");
  disconnectFromClient();
}

void FTPServer::loginMayHaveChanged(bool wasLoggedIn) {
  if (disconnected_ || !readStream) return;
  if (loggedIn)
    login_.stop();
  else if (wasLoggedIn)
    login_.start(); // a login given up counts from now; failed attempts do not restart it
}

void FTPServer::idleLimitPassed() {
  const bool transferring =
      readStreamSendFile || writeStreamSaveFile || dataToWriteOffset < dataToWrite.size();
  Log::debug("FTPServer: closing a session that made no progress in time\n");
  sendCommandToStream(transferring ? "421 Data timeout. Reconnect. Sorry.\r\n"
                                   : "421 Timeout.\r\n");
  disconnectFromClient();
}

void FTPServer::didAcceptConnectionForServer(TCPServer &server,
                                             std::shared_ptr<SocketInputStream> in,
                                             std::shared_ptr<SocketOutputStream> out) {
  if (disconnected_ || !pasvListener || &server != pasvListener.get() || readStreamData ||
      writeStreamData)
    return; // the streams are dropped, which closes the connection
  // Only the client that holds the control connection may connect: anyone else on the network
  // could otherwise take (or inject) the data of this transfer.
  auto want = ipv4Bytes(fromAddress);
  if (want.empty() || ipv4Bytes(server.peer()) != want) {
    Log::debug("FTPServer: data connection from another address refused");
    return;
  }
  dropPassiveListener();
  stopAwaitingDataConnection();

  readStreamData = std::move(in);
  writeStreamData = std::move(out);
  dataReadEnded = false;
  openDataStreams();
}

void FTPServer::didTurnAwayConnectionForServer(TCPServer &server, int errorCode) {
  if (disconnected_ || !pasvListener || &server != pasvListener.get()) return;
  // The client's data connection was closed unused: the transfer it was meant for cannot happen.
  // One that is waiting already is answered now; otherwise the next transfer command is.
  dropPassiveListener();
  const std::string reason = std::strerror(errorCode);
  Log::debug("FTPServer: data connection turned away: " + reason);
  if (transferWaiting() && !readStreamData && !writeStreamData) {
    stopAwaitingDataConnection();
    abortTransfer("425 Can't open data connection: " + reason + ".");
    return;
  }
  dataConnectionRefusal_ = reason;
}

// The passive listener goes once it has been used; it may be inside its own accept call, so it is
// stopped and released once that has returned.
void FTPServer::dropPassiveListener() {
  if (!pasvListener) return;
  auto listener = std::move(pasvListener);
  RunLoop::current()->perform([listener] { listener->stop(); });
}

bool FTPServer::transferWaiting() const {
  return readStreamSendFile || writeStreamSaveFile || dataToWriteOffset < dataToWrite.size();
}

// A transfer answered "150" whose data connection has not come: it is given up after a bound, so
// the client hears why instead of waiting for a "226" that cannot come.
void FTPServer::awaitDataConnection() {
  stopAwaitingDataConnection();
  if (!dataConnectionRefusal_.empty()) {
    // It came and was turned away while the command was being prepared: it will not come again.
    const std::string reason = std::move(dataConnectionRefusal_);
    dataConnectionRefusal_.clear();
    abortTransfer("425 Can't open data connection: " + reason + ".");
    return;
  }
  std::weak_ptr<FTPServer> weak = weak_from_this();
  dataConnectionWait_ = RunLoop::current()->performAfter(kDataConnectionWait, [weak] {
    auto self = weak.lock();
    if (!self || self->disconnected_) return;
    self->dataConnectionWait_.reset();
    if (self->readStreamData || self->writeStreamData || !self->transferWaiting()) return;
    self->dropPassiveListener();
    self->abortTransfer("425 Can't open data connection.");
  });
}

void FTPServer::stopAwaitingDataConnection() {
  if (dataConnectionWait_) dataConnectionWait_->invalidate();
  dataConnectionWait_.reset();
}

void FTPServer::openDataStreams() {
  std::weak_ptr<FTPServer> weak = weak_from_this();
  readStreamData->setClient(StreamEventOpenCompleted | StreamEventHasBytesAvailable |
                                StreamEventErrorOccurred | StreamEventEndEncountered,
                            [weak](StreamEvent ev) {
                              if (auto self = weak.lock()) self->handleDataReadEvent(ev);
                            });
  writeStreamData->setClient(StreamEventOpenCompleted | StreamEventCanAcceptBytes |
                                 StreamEventErrorOccurred | StreamEventEndEncountered,
                             [weak](StreamEvent ev) {
                               if (auto self = weak.lock()) self->handleDataWriteEvent(ev);
                             });
  readStreamData->scheduleWithRunLoop(RunLoop::current());
  writeStreamData->scheduleWithRunLoop(RunLoop::current());
  if (!readStreamData->open() || !writeStreamData->open()) {
    disconnectFromClient();
    return;
  }
  serverIsActive();
}

void FTPServer::disconnectFromClient() {
  if (disconnected_) return;
  disconnected_ = true;
  idle_.stop();
  login_.stop();
  Application::shared().setNetworkActivityIndicatorVisible(false);
  flushControlOutput();
  for (SocketStream *s : {static_cast<SocketStream *>(readStream.get()),
                          static_cast<SocketStream *>(writeStream.get())}) {
    if (!s) continue;
    s->setClient(0, {});
    s->unscheduleFromRunLoop();
  }
  if (readStream) readStream->close();
  if (writeStream) writeStream->close();
  readStream.reset();
  writeStream.reset();
  disconnectDataFromClient();
  dropPassiveListener();
  stopAwaitingDataConnection();
  // A file being received keeps what arrived; one being sent is simply closed.
  closeSendFile();
  closeSaveFile();
  if (dataWriteRetry_) dataWriteRetry_->invalidate();
  // Release the object once the caller (possibly one of its own callbacks) has returned.
  auto self = shared_from_this();
  RunLoop::current()->perform([self] { liveServers().erase(self); });
}

void FTPServer::disconnectDataFromClient() {
  for (SocketStream *s : {static_cast<SocketStream *>(readStreamData.get()),
                          static_cast<SocketStream *>(writeStreamData.get())}) {
    if (!s) continue;
    s->setClient(0, {});
    s->unscheduleFromRunLoop();
  }
  if (readStreamData) readStreamData->close();
  if (writeStreamData) writeStreamData->close();
  readStreamData.reset();
  writeStreamData.reset();
  readStreamDataReady = false;
  writeStreamDataReady = false;
  dataReadEnded = false;
  RESTat = 0;
}

void FTPServer::sendCommandToStream(const std::string &reply) {
  if (reply.empty()) return;
  controlOutput_ += reply;
  Log::debug("sendCommand:sent:" + reply);
  flushControlOutput();
}

void FTPServer::flushControlOutput() {
  if (!writeStream || controlOutput_.empty()) return;
  size_t done = 0;
  while (done < controlOutput_.size()) {
    long n = writeStream->write(reinterpret_cast<const uint8_t *>(controlOutput_.data()) + done,
                                controlOutput_.size() - done);
    if (n < 0) {
      Log::debug("sendCommand:SEND-ERROR:" + controlOutput_);
      controlOutput_.clear();
      return;
    }
    if (n == 0) break;
    done += size_t(n);
  }
  controlOutput_.erase(0, done);
}

void FTPServer::receiveControlBytes(const uint8_t *data, size_t size) {
  if (disconnected_) return;
  dataRead.insert(dataRead.end(), data, data + size);
  parseControlData();
}

std::string FTPServer::takePendingReplies() {
  std::string out;
  out.swap(controlOutput_);
  return out;
}

// --- Control events ----------------------------------------------------------------------------

void FTPServer::handleWriteEvent(StreamEvent event) {
  if (disconnected_) return;
  if (event == StreamEventOpenCompleted) {
    writeStreamReady = true;
    sendCommandToStream(greeting() + "\r\n");
  } else if (event == StreamEventCanAcceptBytes) {
    writeStreamReady = true;
    flushControlOutput();
    // Commands held back while replies piled up go on once the client reads them.
    if (readPaused_ && controlOutput_.size() < kControlBacklogLimit) {
      readPaused_ = false;
      parseControlData();
      if (!readPaused_) handleReadEvent(StreamEventHasBytesAvailable);
      if (disconnected_) return;
    }
  } else if (event == StreamEventErrorOccurred || event == StreamEventEndEncountered) {
    Log::debugf("Received unexpected FTPServer Write stream event %d\n", int(event));
    disconnectFromClient();
    return;
  } else {
    Log::debugf("Received unexpected FTPServer Write stream event %d\n", int(event));
    return;
  }
  if (kickReadStream) {
    kickReadStream = false;
    handleReadEvent(StreamEventHasBytesAvailable);
  }
}

void FTPServer::handleReadEvent(StreamEvent event) {
  if (disconnected_) return;
  switch (event) {
  case StreamEventHasBytesAvailable: {
    serverIsActive();
    if (!writeStreamReady) {
      kickReadStream = true;
      return;
    }
    if (!readStream) return;
    if (controlOutput_.size() >= kControlBacklogLimit || listingPending_) {
      // The client does not read its replies (or a listing is on its way): leave its commands in
      // the socket until it does.
      readPaused_ = true;
      return;
    }
    uint8_t buffer[4096];
    long n = readStream->read(buffer, sizeof buffer);
    // Bytes alone are no progress (a line sent a byte at a time would hold the session without
    // end): only a whole command counts (parseControlData).
    if (n > 0) dataRead.insert(dataRead.end(), buffer, buffer + n);
    if (!dataRead.empty()) parseControlData();
    break;
  }
  case StreamEventEndEncountered:
    Log::debug("Disconnected by client or network\n");
    disconnectFromClient();
    break;
  case StreamEventOpenCompleted:
    break;
  case StreamEventErrorOccurred:
    // A reset connection ends the client; keeping it would keep its sockets forever.
    Log::debugf("Received unexpected FTPServer stream event %d\n", int(event));
    disconnectFromClient();
    break;
  default:
    Log::debugf("Received unexpected FTPServer stream event %d\n", int(event));
    break;
  }
}

void FTPServer::doHandleReadEvent() {
  handleReadEvent(StreamEventHasBytesAvailable);
}
void FTPServer::doHandleWriteEvent() {
  handleWriteEvent(StreamEventCanAcceptBytes);
}
void FTPServer::doHandleDataReadEvent() {
  handleDataReadEvent(StreamEventHasBytesAvailable);
}
void FTPServer::doHandleDataWriteEvent() {
  handleDataWriteEvent(StreamEventCanAcceptBytes);
}

// --- Lines and commands ------------------------------------------------------------------------

std::string FTPServer::popLineFromData(Bytes &buffer) {
  return shownText(popLineBytes(buffer));
}

std::string FTPServer::popLineBytes(Bytes &buffer) {
  auto end =
      std::find_if(buffer.begin(), buffer.end(), [](uint8_t b) { return b == '\n' || b == 0; });
  if (end == buffer.end()) return "";
  std::string line(buffer.begin(), end + 1);
  buffer.erase(buffer.begin(), end + 1);
  return line;
}

std::string FTPServer::shownText(std::string_view bytes) {
  for (Encoding e :
       {Encoding::UTF8, Encoding::ISOLatin1, Encoding::WindowsCP1252, Encoding::NonLossyASCII}) {
    auto text = decodeText(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), e);
    if (text && !text->empty()) return *text;
  }
  return "";
}

void FTPServer::parseControlData() {
  while (!disconnected_ && !dataRead.empty()) {
    if (controlOutput_.size() >= kControlBacklogLimit || listingPending_) {
      readPaused_ = true; // resumed when the client reads, or when the listing is there
      return;
    }
    // The line is kept in the bytes the client sent: a path names the file of exactly those
    // bytes (a name in Latin-1 and its look-alike in UTF-8 are two files); the bytes are decoded
    // only for what is shown or logged.
    std::string line = popLineBytes(dataRead);
    if (line.empty()) {
      if (dataRead.size() > kMaxControlLine) {
        sendCommandToStream("500 Command line too long.\r\n");
        disconnectFromClient();
      }
      return;
    }
    // A path is every byte after the blank that follows the command, up to the line's end: the
    // blanks at either end of a name are the name's own ("DELE trail.txt " names "trail.txt ",
    // never its look-alike "trail.txt"). Blanks alone still name nothing.
    std::string untrimmed = line;
    while (!untrimmed.empty() && (untrimmed.back() == '\n' || untrimmed.back() == '\0'))
      untrimmed.pop_back();
    if (!untrimmed.empty() && untrimmed.back() == '\r') untrimmed.pop_back();
    line = trimLine(line);
    untrimmed.erase(0, untrimmed.find(line));
    if (!line.empty()) idle_.touch();
    std::string command, argument;
    size_t blank = line.find(' ');
    if (blank == std::string::npos) {
      command = upperASCII(line);
    } else {
      command = upperASCII(line.substr(0, blank));
      argument = trimLine(line.substr(blank));
      if (!argument.empty() && takesPath(command)) argument = untrimmed.substr(blank + 1);
    }
    handleCommand(command, argument);
  }
}

// Each command: whether it needs a login, whether its argument is a path that must resolve
// inside Saved Files before the handler runs, and the handler.
const std::vector<FTPServer::Command> &FTPServer::commandTable() {
  using A = CommandArgument;
  static const std::vector<Command> table = {
      // Answered whether or not the client has logged in.
      {"USER", false, A::Text, &FTPServer::doUSER},
      {"PASS", false, A::Text, &FTPServer::doPASS},
      {"HOST", false, A::Text, &FTPServer::doHOST},
      {"SYST", false, A::Text, &FTPServer::doSYST},
      {"FEAT", false, A::Text, &FTPServer::doFEAT},
      // Only after the login.
      {"QUIT", true, A::Text, &FTPServer::doQUIT},
      {"PWD", true, A::Text, &FTPServer::doPWD},
      {"OPTS", true, A::Text, &FTPServer::doOPTS},
      {"CDUP", true, A::Text, &FTPServer::doCDUP},
      {"CWD", true, A::Path, &FTPServer::doCWD},
      {"TYPE", true, A::Text, &FTPServer::doTYPE},
      {"PASV", true, A::Text, &FTPServer::doPASV},
      {"REIN", true, A::Text, &FTPServer::doREIN},
      {"ABOR", true, A::Text, &FTPServer::doABOR},
      {"MKD", true, A::Path, &FTPServer::doMKD},
      {"RMD", true, A::Path, &FTPServer::doRemove},
      {"DELE", true, A::Path, &FTPServer::doRemove},
      {"RNFR", true, A::Path, &FTPServer::doRNFR},
      {"RNTO", true, A::Path, &FTPServer::doRNTO},
      {"SIZE", true, A::Path, &FTPServer::doSIZE},
      {"MFMT", true, A::Words, &FTPServer::doMFMT}, // the path follows the time
      {"MDTM", true, A::Path, &FTPServer::doMDTM},
      {"STAT", true, A::Words, &FTPServer::doSTAT}, // no argument: the server's status
      {"REST", true, A::Text, &FTPServer::doREST},
      {"RETR", true, A::Path, &FTPServer::doRETR},
      {"STOR", true, A::Path, &FTPServer::doStore},
      {"APPE", true, A::Path, &FTPServer::doStore},
      {"LIST", true, A::Words, &FTPServer::doList}, // options may precede the path
      {"NLST", true, A::Words, &FTPServer::doList},
      {"NOOP", true, A::Text, &FTPServer::doNOOP},
  };
  return table;
}

bool FTPServer::takesPath(const std::string &command) {
  const auto &table = commandTable();
  return std::any_of(table.begin(), table.end(), [&](const Command &c) {
    return command == c.name && c.argument == CommandArgument::Path;
  });
}

void FTPServer::handleCommand(const std::string &command, const std::string &argument) {
  const auto &table = commandTable();
  auto entry =
      std::find_if(table.begin(), table.end(), [&](const Command &c) { return command == c.name; });
  if (entry == table.end() || (entry->needsLogin && !loggedIn))
    return notUnderstood(shownText(command));
  if (entry->argument == CommandArgument::Path) {
    // An empty path would name the folder the client is in: a command that needs a path says so.
    if (argument.empty()) return reply("501 Syntax error in parameters or arguments.");
    if (illegalPath(argument)) return;
  }
  if (!dataConnectionRefusal_.empty() && isTransfer(command)) {
    // The data connection this transfer was to use came and was turned away: said now, once.
    const std::string reason = std::move(dataConnectionRefusal_);
    dataConnectionRefusal_.clear();
    return reply("425 Can't open data connection: " + reason + ".");
  }
  (this->*entry->handler)(command, entry->argument == CommandArgument::Text ? shownText(argument)
                                                                            : argument);
}

void FTPServer::reply(const std::string &text) {
  sendCommandToStream(text + "\r\n");
}

void FTPServer::notUnderstood(const std::string &command) {
  reply("500 '" + command + "': command not understood.");
}

void FTPServer::doUSER(const std::string &, const std::string &argument) {
  const std::string user = settings().stringForKey(kFileShareUserKey).value_or("");
  const std::string scrambled = settings().stringForKey(kFileSharePassKey).value_or("");
  const bool wasLoggedIn = loggedIn;
  loggedIn = false;
  if (argument == user || user.empty()) {
    gotUsername = true;
    if (!scrambled.empty()) {
      reply("331 Please specify the password.");
    } else {
      reply("230 Login successful.");
      loggedIn = true;
    }
  } else {
    gotUsername = false;
    reply("530 Login incorrect.");
  }
  loginMayHaveChanged(wasLoggedIn);
}

void FTPServer::doPASS(const std::string &, const std::string &argument) {
  const std::string scrambled = settings().stringForKey(kFileSharePassKey).value_or("");
  if (gotUsername && argument == myDecryptString1(scrambled)) {
    reply("230 Login successful.");
    const bool wasLoggedIn = loggedIn;
    loggedIn = true;
    loginMayHaveChanged(wasLoggedIn);
  } else {
    reply("530 Login incorrect.");
    disconnectFromClient();
    if (auto d = SharingHost::current()) d->incrementBadLogins();
  }
}

void FTPServer::doHOST(const std::string &, const std::string &) {
  reply(greeting());
}

void FTPServer::doSYST(const std::string &, const std::string &) {
  reply("215 UNIX Type: L8");
}

void FTPServer::doFEAT(const std::string &, const std::string &) {
  reply("211-Features:\r\n HOST domain\r\n UTF8\r\n SIZE\r\n REST STREAM\r\n MDTM\r\n "
        "MFMT\r\n211 End");
}

void FTPServer::doQUIT(const std::string &, const std::string &) {
  reply("221 Goodbye.");
  disconnectFromClient();
}

void FTPServer::doPWD(const std::string &, const std::string &) {
  reply("257 \"" + currentDirectory + "\" is current directory.");
}

void FTPServer::doOPTS(const std::string &command, const std::string &argument) {
  if (argument == "UTF-8 ON" || argument == "UTF8 ON") return reply("200 UTF-8 Set.");
  notUnderstood(command);
}

void FTPServer::doCDUP(const std::string &, const std::string &) {
  std::string up = deleteLastPathComponent(currentDirectory);
  if (up.empty()) up = "/";
  // One that no longer lies inside Saved Files after dropping its last part (through a link that
  // was changed since) goes back to the root.
  if (!insideRoot(standardizePath(appendPathComponent(sharedRoot(), up)))) up = "/";
  currentDirectory = up;
  reply("250 CDUP command successful.");
}

void FTPServer::doCWD(const std::string &, const std::string &argument) {
  std::string path = getOSPathFor(argument);
  if (FileManager::isDirectory(path)) {
    // Kept in its normal form, as the path that was checked: bounded by what a path may be, and
    // never a text that grows with every "./" a client sends.
    currentDirectory = ftpPathOf(path);
    return reply("250 CWD command successful.");
  }
  reply("550 " + shownText(getFTPPathFor(argument)) + ": No such file or directory.");
}

void FTPServer::doTYPE(const std::string &, const std::string &argument) {
  std::string t = upperASCII(argument);
  if (t == "A") {
    type = 0;
    return reply("200 Type set to A.");
  }
  if (t == "I") {
    type = 1;
    return reply("200 Type set to I.");
  }
  reply("500 Type not understood.");
}

void FTPServer::doPASV(const std::string &, const std::string &) {
  reply(doPASVCommand());
}

void FTPServer::doREIN(const std::string &, const std::string &) {
  const bool wasLoggedIn = loggedIn;
  loggedIn = false;
  gotUsername = false;
  loginMayHaveChanged(wasLoggedIn);
  reply(greeting());
}

void FTPServer::doABOR(const std::string &, const std::string &) {
  stopAwaitingDataConnection();
  closeSendFile();
  closeSaveFile();
  disconnectDataFromClient();
  dataToWrite.clear();
  dataToWriteOffset = 0;
  reply("226 Transfer interrupted.");
}

void FTPServer::doMKD(const std::string &, const std::string &argument) {
  std::string path = getOSPathFor(argument);
  FileManager::createDirectory(path, true);
  if (FileManager::isDirectory(path)) {
    reply("257 \"" + getFTPPathFor(argument) + "\" created.");
    filesChanged();
    return;
  }
  reply("550 Error creating directory.");
}

void FTPServer::doRemove(const std::string &command, const std::string &argument) {
  const bool folder = command == "RMD";
  const std::string path = getOSPathFor(argument);
  // Nothing goes that was not named: DELE takes a file (a link is a file: what it points to
  // stays), RMD an empty folder; a folder with anything in it, or Saved Files itself, stays.
  // Only a removal that took place is a success: a name that is not there removed nothing.
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return reply("550 File not found.");
  if (removalCheckedHook) removalCheckedHook(path);
  int failure = EPERM;
  if (path != standardizePath(sharedRoot()) && (folder || !S_ISDIR(st.st_mode)))
    failure = (folder ? ::rmdir(path.c_str()) : ::unlink(path.c_str())) == 0 ? 0 : errno;
  // (Gone meanwhile by another hand: still nothing this command removed.)
  if (failure == ENOENT) return reply("550 File not found.");
  if (failure != 0 || ::lstat(path.c_str(), &st) == 0)
    return reply(folder ? "550 Error deleting folder." : "550 Error deleting file.");
  reply("250 Deleted.");
  filesChanged();
}

void FTPServer::doRNFR(const std::string &, const std::string &argument) {
  std::string path = standardizePath(getOSPathFor(argument));
  if (path != standardizePath(sharedRoot()) && FileManager::attributesOfItem(path)) {
    renameFrom = argument;
    renameFromPath = path;
    haveRenameFrom = true;
    return reply("350 Ready to rename.");
  }
  haveRenameFrom = false;
  renameFrom.clear();
  reply("550 File not found.");
}

void FTPServer::doRNTO(const std::string &, const std::string &argument) {
  if (!haveRenameFrom) return reply("550 send RNFR command first.");
  std::string from = renameFromPath;
  haveRenameFrom = false;
  renameFrom.clear();
  std::string target = standardizePath(getOSPathFor(argument));
  if (FileManager::attributesOfItem(target)) return reply("550 Rename-To file already exists.");
  // Keys may be renamed among themselves but never moved where they could be read.
  if (isInPrivateKeys(from) && !isInPrivateKeys(target)) return reply("550 Error renaming file.");
  FileManager::moveItem(from, target);
  if (FileManager::attributesOfItem(target)) {
    reply("250 Renamed OK.");
    filesChanged();
    return;
  }
  reply("550 Error renaming file.");
}

void FTPServer::doSIZE(const std::string &, const std::string &argument) {
  std::string path = getOSPathFor(argument);
  auto attrs = FileManager::attributesOfItem(path);
  if (!attrs || isInPrivateKeys(path)) return reply("550 File not found.");
  reply(Log::format("213 %llu", static_cast<unsigned long long>(attrs->size)));
}

void FTPServer::doMFMT(const std::string &, const std::string &argument) {
  std::string stamp = mySubStringBeforeFirstString(argument, " ");
  std::string pathArg = argument.find(' ') == std::string::npos
                            ? std::string()
                            : trimLine(argument.substr(argument.find(' ')));
  if (pathArg.empty()) return reply("501 Syntax error in parameters or arguments.");
  if (illegalPath(pathArg)) return;
  std::string path = getOSPathFor(pathArg);
  if (!FileManager::attributesOfItem(path)) return reply("550 File not found.");
  if (stamp.size() != 14 ||
      !std::all_of(stamp.begin(), stamp.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return reply("501 Syntax error in parameters or arguments.");
  DateComponents c;
  c.year = intValue(stamp.substr(0, 4));
  c.month = intValue(stamp.substr(4, 2));
  c.day = intValue(stamp.substr(6, 2));
  c.hour = intValue(stamp.substr(8, 2));
  c.minute = intValue(stamp.substr(10, 2));
  c.second = intValue(stamp.substr(12, 2));
  // Clients send the time in UTC (as MDTM reports it).
  if (auto date = GregorianCalendar::dateFromComponents(c, TimeZone::GMT))
    FileManager::setModificationDate(path, *date);
  reply(Log::format("213 ModifyTime=%04i%02i%02i%02i%02i%02i", c.year, c.month, c.day, c.hour,
                    c.minute, c.second));
}

void FTPServer::doMDTM(const std::string &, const std::string &argument) {
  auto attrs = FileManager::attributesOfItem(getOSPathFor(argument));
  if (!attrs) return reply("550 File not found.");
  DateComponents c = GregorianCalendar::components(attrs->modificationDate, TimeZone::GMT);
  reply(Log::format("213 %04i%02i%02i%02i%02i%02i", c.year, c.month, c.day, c.hour, c.minute,
                    c.second));
}

void FTPServer::doSTAT(const std::string &, const std::string &argument) {
  if (argument.empty()) return reply(greeting());
  if (illegalPath(argument)) return;
  std::string path = getOSPathFor(argument);
  if (!FileManager::attributesOfItem(path) || isInPrivateKeys(path))
    return reply("550 File not found.");
  std::string line =
      getDirectoryLISTItem(lastPathComponent(path), deleteLastPathComponent(path), false, true);
  reply("211-Begin File Status\r\n" + line + "211 End File Status");
}

void FTPServer::doREST(const std::string &, const std::string &argument) {
  RESTat = longLongValue(argument);
  reply(Log::format("350 Restarting at %lld, send STOR or RETR", static_cast<long long>(RESTat)));
}

void FTPServer::doRETR(const std::string &, const std::string &argument) {
  std::string path = getOSPathFor(argument);
  auto attrs = FileManager::attributesOfItem(path);
  if (!attrs || isInPrivateKeys(path) || FileManager::isDirectory(path))
    return reply("550 File not found.");
  if (!pasvListener && !writeStreamData) return reply("425 Use PASV first.");
  closeSendFile();
  // Opened without waiting (a named pipe would hold the whole program in open() until another
  // process opened its other end), and only a plain file is sent.
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int error = errno;
    // The file is there; a process without a descriptor to spare must not say it is not.
    if (isDescriptorShortage(error))
      return reply("425 Unable to open the file: " + errorText(error) + ".");
    if (error == ENOENT) return reply("550 File not found.");
    return reply("550 Unable to open the file: " + errorText(error) + ".");
  }
  if (const std::string refusal = notAPlainFile(fd); !refusal.empty()) {
    ::close(fd);
    return reply(refusal);
  }
  auto file = std::make_unique<FileInputStream>(path);
  file->openDescriptor(fd);
  if (RESTat >= 1 && !file->setCurrentOffset(RESTat))
    return reply("550 Unable to start at " + std::to_string(RESTat) + ".");
  readStreamSendFile = std::move(file);
  dataToWriteSendFile.clear();
  dataToWriteSendFileOffset = 0;
  sendFileOffset_ = readStreamSendFile->currentOffset();
  sendFileByKernel_ = true;
  log("RETR " + shownText(argument) + "  (CWD " + shownText(currentDirectory) + ")");
  const int64_t size = int64_t(attrs->size);
  reply(Log::format("150 Opening %s mode data connection for '%s' (%lld bytes).",
                    type == 1 ? "BINARY" : "ASCII", shownText(argument).c_str(),
                    static_cast<long long>(size)));
  startSending();
}

void FTPServer::doStore(const std::string &command, const std::string &argument) {
  std::string path = getOSPathFor(argument);
  if (!pasvListener && !readStreamData) return reply("425 Use PASV first.");
  if (command == "APPE") {
    auto attrs = FileManager::attributesOfItem(path);
    if (attrs) RESTat = int64_t(attrs->size);
  }
  closeSaveFile();
  if (FileManager::isDirectory(path)) return reply("550 Error opening file.");
  const bool existed = ::access(path.c_str(), F_OK) == 0;
  // Opened without waiting and without emptying it first: a named pipe would hold the whole
  // program in open() until another process read it, and only a plain file is written.
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int error = errno;
    if (isDescriptorShortage(error))
      return reply("425 Unable to open the file: " + errorText(error) + ".");
    // A pipe no one reads (ENXIO) is no file to write either.
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
      return reply("550 Not a regular file.");
    return reply("550 Error opening file.");
  }
  if (const std::string refusal = notAPlainFile(fd); !refusal.empty()) {
    ::close(fd);
    return reply(refusal);
  }
  auto file = std::make_unique<FileOutputStream>(path, false);
  if (RESTat >= 1) file->setCurrentOffset(RESTat);
  const bool opened = (RESTat >= 1 || ::ftruncate(fd, 0) == 0) && file->openDescriptor(fd);
  if (!opened) {
    if (file->status() == StreamStatus::NotOpen) ::close(fd);
    // A file that the refused command created (before its offset could be set) goes again.
    if (!existed) ::unlink(path.c_str());
    return reply("550 Error opening file.");
  }
  writeStreamSaveFile = std::move(file);
  saveFileCreated_ = !existed;
  writeSaveFilePath = path;
  saveBlockFill_ = 0;
  saveFileFailed = false;
  log("STOR " + shownText(argument) + "  (CWD " + shownText(currentDirectory) + ")");
  reply("150 OK to send '" + shownText(argument) + "'.");
  startReceiving();
}

void FTPServer::doList(const std::string &command, const std::string &argument) {
  std::string pathArg = argument;
  bool hidden = false;
  if (!pathArg.empty() && pathArg[0] == '-') {
    std::string option = mySubStringBeforeFirstString(pathArg, " ");
    hidden = option == "-a" || option == "-la";
    pathArg = pathArg.find(' ') == std::string::npos ? std::string()
                                                     : trimLine(pathArg.substr(pathArg.find(' ')));
  }
  if (illegalPath(pathArg)) return;
  if (!pasvListener && !writeStreamData) return reply("425 Use PASV first.");
  // The commands after this one wait for the listing (its replies come first).
  listingPending_ = true;
  getDirectoryLISTReply(pathArg, command == "NLST", hidden, [this] {
    listingPending_ = false;
    if (listingError_ != 0) {
      // An empty listing of a folder that could not be read would be a false one.
      dataToWrite.clear();
      reply("425 Unable to read the folder: " + errorText(listingError_) + ".");
    } else if (!dataConnectionRefusal_.empty() && !writeStreamData) {
      // The data connection came while the listing was being made, and was turned away.
      dataToWrite.clear();
      const std::string reason = std::move(dataConnectionRefusal_);
      dataConnectionRefusal_.clear();
      reply("425 Can't open data connection: " + reason + ".");
    } else if (lengthDataToWrite == 0) {
      reply("550 File or Folder not found.");
    } else {
      reply(Log::format("150 Opening %s mode data connection for LIST (%lld bytes).",
                        type == 1 ? "BINARY" : "ASCII", static_cast<long long>(lengthDataToWrite)));
      startSending();
    }
    if (readPaused_ && controlOutput_.size() < kControlBacklogLimit) {
      readPaused_ = false;
      parseControlData();
      if (!readPaused_ && !disconnected_) handleReadEvent(StreamEventHasBytesAvailable);
    }
  });
}

void FTPServer::doNOOP(const std::string &, const std::string &) {
  reply("200 Command OK.");
}

// --- Paths ---------------------------------------------------------------------------------

std::string FTPServer::sharedRoot() const {
  return appendPathComponent(Paths::documents(), "Files");
}

std::string FTPServer::getFTPPathFor(const std::string &argument) const {
  if (!argument.empty() && argument[0] == '/') return argument;
  return appendPathComponent(currentDirectory, argument);
}

std::string FTPServer::getOSPathFor(const std::string &argument) const {
  // Normalised here, so the file system is handed exactly the path that was checked: given
  // "link/../x" it would go up from wherever a link leads, not from the folder the link is in.
  return standardizePath(appendPathComponent(sharedRoot(), getFTPPathFor(argument)));
}

bool FTPServer::insideRoot(const std::string &localPath) const {
  // A symbolic link inside Saved Files (unpacked from an archive, say) must not lead out of it.
  return pathLiesInside(localPath, sharedRoot());
}

std::string FTPServer::ftpPathOf(const std::string &localPath) const {
  const std::string root = standardizePath(sharedRoot());
  const std::string path = standardizePath(localPath);
  if (path.size() <= root.size() || path.compare(0, root.size(), root) != 0) return "/";
  return path.substr(root.size());
}

bool FTPServer::illegalPath(const std::string &argument) {
  // The argument is resolved exactly as the command will use it (an empty one is the current
  // folder) and must stay inside Saved Files, compared part by part. A path longer than the
  // system takes names nothing; it is refused before any look at the disk.
  const std::string path = getOSPathFor(argument);
  if (path.size() <= kMaxPathLength && insideRoot(path)) return false;
  sendCommandToStream("550 " + shownText(argument) + ": Bad path argument.\r\n");
  return true;
}

bool FTPServer::isInPrivateKeys(const std::string &localPath) const {
  auto keysPartFrom = [](const std::vector<std::string> &parts, size_t first) {
    for (size_t i = first; i < parts.size(); ++i)
      if (lowercase(parts[i]) == lowercase(kPrivateKeys)) return true;
    return false;
  };
  const std::string lexical = standardizePath(localPath);
  if (keysPartFrom(partsOf(lexical), partsOf(standardizePath(sharedRoot())).size())) return true;
  // A symbolic link inside Saved Files (unpacked from an archive, say) may name the keys folder,
  // or a key, by another name: the part of the path that exists is resolved and looked at too.
  const std::string realRoot = resolvedPath(sharedRoot());
  if (realRoot.empty()) return false;
  std::string existing = lexical;
  std::string real;
  while (!existing.empty() && (real = resolvedPath(existing)).empty()) {
    if (existing == "/") break;
    existing = deleteLastPathComponent(existing);
  }
  if (real.empty()) return false;
  const auto rootParts = partsOf(realRoot);
  const auto realParts = partsOf(real);
  if (realParts.size() < rootParts.size() ||
      !std::equal(rootParts.begin(), rootParts.end(), realParts.begin()))
    return false; // outside Saved Files: refused as a bad path already
  return keysPartFrom(realParts, rootParts.size());
}

// --- Passive mode ----------------------------------------------------------------------------

std::string FTPServer::doPASVCommand() {
  // The address the client reached us on, for the reply.
  int fd = writeStream ? writeStream->nativeSocket() : -1;
  sockaddr_in local{};
  socklen_t len = sizeof local;
  if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &len) != 0 ||
      local.sin_family != AF_INET)
    return "530 Unable to listen for connections.";

  // A data connection left over from a command that was refused is of no use any more; closing
  // it lets the new one in. (A restart offset given before this PASV still applies.)
  if (readStreamData || writeStreamData) {
    int64_t keep = RESTat;
    closeSendFile();
    closeSaveFile();
    disconnectDataFromClient();
    dataToWrite.clear();
    dataToWriteOffset = 0;
    RESTat = keep;
  }
  if (pasvListener) {
    auto old = std::move(pasvListener);
    old->stop();
  }
  dataConnectionRefusal_.clear();
  auto listener = std::make_shared<TCPServer>();
  listener->setDelegate(weak_from_this());
  TCPServerError error;
  if (!listener->start(&error)) {
    // No socket to listen with: the process has no descriptor left. Said as it is, and as a
    // passing failure, so the client tries again later.
    if (error.code == kTCPServerNoSocketsAvailable)
      return "425 Unable to listen for connections: " + error.description + ".";
    return "530 Unable to listen for connections.";
  }
  pasvListener = listener;
  const uint8_t *a = reinterpret_cast<const uint8_t *>(&local.sin_addr);
  unsigned port = listener->port();
  return Log::format("227 Entering Passive Mode (%i,%i,%i,%i,%u,%u)", a[0], a[1], a[2], a[3],
                     port / 256, port % 256);
}

// --- Listings --------------------------------------------------------------------------------

std::string FTPServer::dirAttribString(unsigned bits) {
  std::string s;
  s += (bits & 4) ? 'r' : '-';
  s += (bits & 2) ? 'w' : '-';
  s += (bits & 1) ? 'x' : '-';
  return s;
}

std::string FTPServer::getDirectoryLISTItem(const std::string &name, const std::string &inPath,
                                            bool nlst, bool hidden) const {
  return listingLine(name, inPath, nlst, hidden, today);
}

std::string FTPServer::listingLine(const std::string &name, const std::string &inPath, bool nlst,
                                   bool hidden, WallTime today, WallTime *modified) {
  std::string path = appendPathComponent(inPath, name);
  auto attrs = FileManager::attributesOfItem(path);
  if (!attrs) return "";
  if (nlst) return name + "\r\n";
  if (!hidden && !name.empty() && name[0] == '.') return "";
  bool folder =
      attrs->type == FileAttributes::Type::Directory || attrs->type == FileAttributes::Type::Link;
  std::string attributes = folder ? "d" : "-";
  attributes += dirAttribString((attrs->permissions >> 6) & 7);
  attributes += dirAttribString((attrs->permissions >> 3) & 7);
  attributes += dirAttribString(attrs->permissions & 7);
  std::string line =
      Log::format("%s    1 %s %s %9llu ", attributes.c_str(), padOrCut(attrs->owner, 8).c_str(),
                  padOrCut(attrs->group, 8).c_str(), static_cast<unsigned long long>(attrs->size));
  DateComponents c = GregorianCalendar::components(attrs->modificationDate, TimeZone::Local);
  if (modified) *modified = attrs->modificationDate;
  auto age =
      std::chrono::duration_cast<std::chrono::seconds>(today - attrs->modificationDate).count();
  if (age < 0) age = -age;
  if (age < 31536001)
    line +=
        Log::format("%s %02i %02i:%02i ", myIntToMonth(c.month).c_str(), c.day, c.hour, c.minute);
  else
    line += Log::format("%s %02i  %04i ", myIntToMonth(c.month).c_str(), c.day, c.year);
  return line + name + "\r\n";
}

namespace {

// Entries modified this long before (or after) a session began show their time of day in its
// listings; others show their year.
constexpr Duration kRecentAge = std::chrono::seconds(31536001);

// t + d, held to the ends of the clock.
WallTime shifted(WallTime t, Duration d) {
  const auto at = t.time_since_epoch().count();
  const auto by = d.count();
  using Rep = decltype(t.time_since_epoch().count());
  if (by > 0 && at > std::numeric_limits<Rep>::max() - by) return WallTime::max();
  if (by < 0 && at < std::numeric_limits<Rep>::min() - by) return WallTime::min();
  return t + std::chrono::duration_cast<WallTime::duration>(d);
}

// The LIST or NLST text of a folder, some entries at a time. It reads the same for every session
// whose start lies where no listed entry's age passes a year (a date shows a time of day or a
// year by that age): those sessions can share it.
class FolderListing final : public sharing::ListingMaker {
public:
  FolderListing(std::string path, bool nlst, bool hidden, WallTime today)
      : path_(std::move(path)), nlst_(nlst), hidden_(hidden), today_(today) {}

  bool step() override {
    if (!read_) {
      read_ = true;
      if (auto names = FileManager::contentsOfDirectory(path_))
        names_ = std::move(*names);
      else if (const int error = errno; isDescriptorShortage(error))
        failure_ = error;
    }
    const size_t end = std::min(names_.size(), next_ + sharing::SharedListing::kEntriesPerStep);
    for (; next_ < end; ++next_) {
      WallTime modified{};
      WallTime *dated = nlst_ ? nullptr : &modified;
      const std::string line =
          FTPServer::listingLine(names_[next_], path_, nlst_, hidden_, today_, dated);
      if (line.empty()) continue;
      text_ += line;
      if (dated) narrowTo(modified);
    }
    if (next_ < names_.size()) return false;
    names_ = {};
    if (text_.empty()) text_ = "total 0\r\n";
    return true;
  }
  std::string take() override { return std::move(text_); }
  WallTime sameFrom() const override { return from_; }
  WallTime sameUntil() const override { return until_; }
  int failure() const override { return failure_; }

private:
  // The starts at which this entry's date reads as it does for today_.
  void narrowTo(WallTime modified) {
    const WallTime low = shifted(modified, -kRecentAge), high = shifted(modified, kRecentAge);
    const Duration tick(1);
    if (today_ > low && today_ < high) {
      from_ = std::max(from_, shifted(low, tick));
      until_ = std::min(until_, shifted(high, -tick));
    } else if (today_ >= high) {
      from_ = std::max(from_, high);
    } else {
      until_ = std::min(until_, low);
    }
  }

  std::string path_;
  bool nlst_, hidden_;
  WallTime today_;
  bool read_ = false;
  std::vector<std::string> names_;
  size_t next_ = 0;
  std::string text_;
  WallTime from_ = WallTime::min(), until_ = WallTime::max();
  int failure_ = 0;
};

} // namespace

void FTPServer::getDirectoryLISTReply(const std::string &argument, bool nlst, bool hidden,
                                      std::function<void()> ready) {
  std::string path = getOSPathFor(argument);
  auto attrs = FileManager::attributesOfItem(path);
  bool folder =
      FileManager::isDirectory(path) || (attrs && attrs->type == FileAttributes::Type::Link);
  if (!folder || isInPrivateKeys(path)) {
    // One item (nothing at all of what lies under a keys folder), or a keys folder: empty.
    std::string listing;
    if (folder)
      listing = "total 0\r\n";
    else if (!isInPrivateKeys(path))
      listing = getDirectoryLISTItem(lastPathComponent(path), deleteLastPathComponent(path), nlst,
                                     hidden);
    listingError_ = 0;
    dataToWrite.text = std::make_shared<const std::string>(std::move(listing));
    dataToWriteOffset = 0;
    lengthDataToWrite = int64_t(dataToWrite.size());
    ready();
    return;
  }
  const std::string key = std::string(nlst ? "NLST\n" : hidden ? "LIST -a\n" : "LIST\n") + path;
  const WallTime created = today;
  std::weak_ptr<FTPServer> weak = weak_from_this();
  sharing::SharedListing::shared().request(
      key, path, created,
      [path, nlst, hidden, created] {
        return std::make_unique<FolderListing>(path, nlst, hidden, created);
      },
      [weak, ready = std::move(ready)](sharing::SharedText listing, int failure) {
        auto self = weak.lock();
        if (!self || self->disconnected_) return;
        self->listingError_ = failure;
        self->dataToWrite.text = std::move(listing);
        self->dataToWriteOffset = 0;
        self->lengthDataToWrite = int64_t(self->dataToWrite.size());
        ready();
      });
}

// --- Transfers -------------------------------------------------------------------------------

void FTPServer::startSending() {
  if (!writeStreamData) return awaitDataConnection();
  if (writeStreamDataReady) {
    std::weak_ptr<FTPServer> weak = weak_from_this();
    RunLoop::current()->perform([weak] {
      if (auto self = weak.lock()) self->doHandleDataWriteEvent();
    });
  }
}

void FTPServer::startReceiving() {
  if (dataReadEnded) {
    // The client had already sent everything (nothing) and finished.
    std::weak_ptr<FTPServer> weak = weak_from_this();
    RunLoop::current()->perform([weak] {
      if (auto self = weak.lock())
        if (self->writeStreamSaveFile && !self->disconnected_) self->finishReceivedFile();
    });
    return;
  }
  if (!readStreamData) return awaitDataConnection();
  std::weak_ptr<FTPServer> weak = weak_from_this();
  RunLoop::current()->perform([weak] {
    if (auto self = weak.lock()) self->doHandleDataReadEvent();
  });
}

void FTPServer::scheduleDataWriteRetry() {
  if (dataWriteRetryPending_) return;
  dataWriteRetryPending_ = true;
  std::weak_ptr<FTPServer> weak = weak_from_this();
  dataWriteRetry_ = RunLoop::current()->performAfter(seconds(0.0025), [weak] {
    if (auto self = weak.lock()) {
      self->dataWriteRetryPending_ = false;
      self->doHandleDataWriteEvent();
    }
  });
}

void FTPServer::handleDataWriteEvent(StreamEvent event) {
  if (disconnected_) return;
  switch (event) {
  case StreamEventOpenCompleted:
    writeStreamDataReady = true;
    if (dataToWriteOffset < dataToWrite.size() || readStreamSendFile) startSending();
    break;
  case StreamEventCanAcceptBytes:
    writeStreamDataReady = true;
    serverIsActive();
    pumpSend();
    break;
  case StreamEventErrorOccurred:
  case StreamEventEndEncountered:
    // The client went away in the middle of a send.
    Log::debugf("Received unexpected DATA Write stream event %d\n", int(event));
    if (dataToWriteOffset < dataToWrite.size() || readStreamSendFile) {
      abortTransfer("426 Connection closed; transfer aborted.");
    } else if (!writeStreamSaveFile) {
      disconnectDataFromClient();
    }
    break;
  default:
    Log::debugf("Received unexpected DATA Write stream event %d\n", int(event));
    break;
  }
}

void FTPServer::pumpSend() {
  if (!writeStreamData) return;
  if (dataToWriteOffset < dataToWrite.size()) {
    for (int step = 0; step < kStepsPerHandling && dataToWriteOffset < dataToWrite.size(); ++step) {
      size_t n = std::min(kBlock, dataToWrite.size() - dataToWriteOffset);
      long w = writeStreamData->write(dataToWrite.data() + dataToWriteOffset, n);
      if (w < 0) return abortTransfer("426 Connection closed; transfer aborted.");
      if (w == 0) break;
      dataToWriteOffset += size_t(w);
      idle_.touch();
    }
    if (dataToWriteOffset >= dataToWrite.size()) {
      dataToWrite.clear();
      dataToWriteOffset = 0;
      disconnectDataFromClient();
      sendCommandToStream(Log::format("226 Transfer complete. %lld bytes sent.\r\n",
                                      static_cast<long long>(lengthDataToWrite)));
    }
    return;
  }
  if (!readStreamSendFile) return;
  for (int step = 0; step < kStepsPerHandling; ++step) {
    if (dataToWriteSendFileOffset >= dataToWriteSendFile.size()) {
      if (sendFileByKernel_) {
        // The kernel sends straight from the file; it says when it cannot (then bytes are copied).
        long sent = writeStreamData->sendFile(readStreamSendFile->fileDescriptor(), sendFileOffset_,
                                              kBlock * 4);
        if (sent > 0) {
          sendFileOffset_ += sent;
          idle_.touch();
          continue;
        }
        if (sent == 0) return; // the stream reports when it takes bytes again
        if (sent != SocketOutputStream::kCopyInstead)
          return abortTransfer("426 Connection closed; transfer aborted.");
        sendFileByKernel_ = false;
        readStreamSendFile->setCurrentOffset(sendFileOffset_);
      }
      dataToWriteSendFile.resize(kBlock);
      dataToWriteSendFileOffset = 0;
      long r = readStreamSendFile->read(dataToWriteSendFile.data(), kBlock);
      if (r < 0) {
        dataToWriteSendFile.clear();
        return abortTransfer("451 Error reading file.");
      }
      dataToWriteSendFile.resize(size_t(r));
    }
    if (dataToWriteSendFile.empty()) {
      if (readStreamSendFile->isAtEnd()) {
        closeSendFile();
        sendCommandToStream("226 Transfer complete.\r\n");
        disconnectDataFromClient();
        return;
      }
      break;
    }
    long w = writeStreamData->write(dataToWriteSendFile.data() + dataToWriteSendFileOffset,
                                    dataToWriteSendFile.size() - dataToWriteSendFileOffset);
    if (w < 0) return abortTransfer("426 Connection closed; transfer aborted.");
    if (w == 0) return; // the stream reports when it takes bytes again
    dataToWriteSendFileOffset += size_t(w);
    idle_.touch();
  }
  // More to send: the stream's next can-accept event continues, and a retry in case none comes.
  scheduleDataWriteRetry();
}

void FTPServer::handleDataReadEvent(StreamEvent event) {
  if (disconnected_) return;
  switch (event) {
  case StreamEventOpenCompleted:
    readStreamDataReady = true;
    break;
  case StreamEventHasBytesAvailable:
    readStreamDataReady = true;
    serverIsActive();
    if (writeStreamSaveFile) receiveFileBytes();
    break;
  case StreamEventEndEncountered:
    Log::debug("Received Stream End\n");
    if (writeStreamSaveFile) {
      finishReceivedFile();
    } else {
      // The client finished before its STOR was read (an empty upload sent at once); the STOR
      // completes as soon as it comes. A send on this connection goes on.
      dataReadEnded = true;
    }
    break;
  case StreamEventErrorOccurred:
    Log::debugf("Received unexpected DATA stream event %d\n", int(event));
    if (writeStreamSaveFile || readStreamSendFile || dataToWriteOffset < dataToWrite.size())
      abortTransfer("426 Connection closed; transfer aborted.");
    else
      disconnectDataFromClient();
    break;
  default:
    Log::debugf("Received unexpected DATA stream event %d\n", int(event));
    break;
  }
}

void FTPServer::receiveFileBytes() {
  if (!readStreamData) return;
  for (int step = 0; step < kStepsPerHandling; ++step) {
    if (!saveBlock_) saveBlock_ = std::make_unique_for_overwrite<uint8_t[]>(kBlock);
    long n = readStreamData->read(saveBlock_.get(), kBlock);
    if (n <= 0) break;
    saveBlockFill_ = size_t(n);
    idle_.touch();
    writeSaveBuffer();
    if (!readStreamData->hasBytesAvailable()) break;
  }
}

// Writes what waits for the file; false (and the transfer marked failed) when the file refuses.
bool FTPServer::writeSaveBuffer() {
  if (!writeStreamSaveFile) return false;
  if (saveBlockFill_ == 0) return !saveFileFailed;
  if (!saveFileFailed) {
    long w = writeStreamSaveFile->write(saveBlock_.get(), saveBlockFill_);
    if (w < 0 || size_t(w) < saveBlockFill_) saveFileFailed = true;
  }
  // Bytes the file did not take are not kept: the transfer is reported as failed at its end.
  saveBlockFill_ = 0;
  return !saveFileFailed;
}

void FTPServer::finishReceivedFile() {
  // Everything received goes to the file before it is closed; only then is the upload confirmed.
  bool ok = writeSaveBuffer();
  std::string path = writeSaveFilePath;
  closeSaveFile(ok);
  if (ok) {
    auto attrs = FileManager::attributesOfItem(path);
    sendCommandToStream(Log::format("226 File Received OK, (%lld bytes).\r\n",
                                    static_cast<long long>(attrs ? attrs->size : 0)));
  } else {
    sendCommandToStream("451 Error writing file.\r\n");
  }
  filesChanged();
  if (isInPrivateKeys(path)) protectFile(path);
  disconnectDataFromClient();
}

void FTPServer::abortTransfer(const std::string &reply) {
  stopAwaitingDataConnection();
  closeSendFile();
  if (writeStreamSaveFile) {
    writeSaveBuffer();
    closeSaveFile();
    filesChanged();
  }
  dataToWrite.clear();
  dataToWriteOffset = 0;
  disconnectDataFromClient();
  sendCommandToStream(reply + "\r\n");
}

void FTPServer::closeSendFile() {
  if (readStreamSendFile) readStreamSendFile->close();
  readStreamSendFile.reset();
  dataToWriteSendFile.clear();
  dataToWriteSendFileOffset = 0;
}

void FTPServer::closeSaveFile(bool completed) {
  if (!writeStreamSaveFile) return;
  writeSaveBuffer();
  const bool nothingArrived = writeStreamSaveFile->bytesWritten() == 0;
  writeStreamSaveFile->close();
  writeStreamSaveFile.reset();
  saveBlockFill_ = 0;
  // What did arrive stays (a client can resume it); an empty file the failed upload made does not.
  if (!completed && nothingArrived && saveFileCreated_) ::unlink(writeSaveFilePath.c_str());
  saveFileCreated_ = false;
}

// --- Log and screens -------------------------------------------------------------------------

void FTPServer::log(const std::string &message) {
  if (settings().integerForKey("WebServerLogs") != 1) return;
  std::string address;
  auto bytes = ipv4Bytes(fromAddress);
  if (!bytes.empty()) address = Log::format("%i.%i.%i.%i", bytes[0], bytes[1], bytes[2], bytes[3]);
  std::string when;
  if (dateFormatHTTPLog) {
    when = dateFormatHTTPLog->stringFromDate(Clock::current().wallNow());
  } else {
    DateFormatter f("dd/MMM/yyyy:HH:mm:ss", TimeZone::GMT);
    when = f.stringFromDate(Clock::current().wallNow());
  }
  // A name may hold any byte but NUL and LF: what could break the line or its quotes is escaped.
  std::string text;
  for (const char ch : trimLine(message)) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F)
      text += Log::format("\\x%02X", c);
    else if (c == '"' || c == '\\')
      text += std::string("\\") + ch;
    else
      text += ch;
  }
  std::string line = address + " - - [" + when + " -0000] \"" + text + "\"\r\n";
  std::string folder = appendPathComponent(sharedRoot(), "Logs");
  FileManager::createDirectory(folder, true);
  std::string file = appendPathComponent(folder, "ftp_log");
  FileOutputStream out(file, true);
  if (out.open()) {
    out.write(reinterpret_cast<const uint8_t *>(line.data()), line.size());
    out.close();
  }
}

void FTPServer::filesChanged() {
  sharing::SharedListing::shared().filesChanged();
  if (auto d = SharingHost::current()) d->reloadSavedFilesScreen();
}
