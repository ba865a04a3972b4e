#include "app/sftp/SFTPService.h"

#include "app/ftp/FTPServices.h"

#include "app/foundation/DirItemInfo.h"
#include "app/foundation/FolderDownloadBounds.h"
#include "app/foundation/Globals.h"
#include "app/foundation/PartialFile.h"
#include "app/foundation/RemoteOrigin.h"
#include "app/foundation/SettingsKeys.h"
#include "app/foundation/StringUtils.h"

#include "platform/device/Application.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/DateFormatter.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/Presentation.h"

#include "sshlib/ssh/CkSFtp.h"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <sstream>
#include <thread>
#include <unordered_set>

using platform::FileManager;
using platform::Log;
using platform::Paths;
using platform::UserDefaults;

namespace {

constexpr int kDefaultPort = 22;
constexpr int kTimeoutMs = 30000;
// How often a wait in the library asks whether the operation is to stop (reinit).
constexpr int kHeartbeatMs = 100;
// Files whose requests are in flight at once in a batch, and upload rows one batch takes.
constexpr unsigned int kFilesInFlight = 16;
constexpr size_t kUploadBatch = 64;
// Files of a folder batch up to this size go through the pipelined batch; larger ones (and
// links, whose size the listing does not tell) are fetched one by one with their progress.
constexpr long long kPipelinedFileMax = 1 << 20;

// What a person reads when the local file could not take a download's bytes.
std::string localWriteProblem(int error) {
  return error == ENOSPC ? std::string("The disk is full.")
                         : std::string(std::strerror(error)) + ".";
}

// What the server answered to the request that failed, as the library's record of the call
// names it ("StatusCode: 4", "StatusMessage: Failure"): its code and its words (either may be
// empty).
std::pair<std::string, std::string> serverStatusIn(const std::string &record) {
  std::string code, message;
  std::istringstream lines(record);
  for (std::string line; std::getline(lines, line);) {
    const size_t start = line.find_first_not_of(' ');
    if (start == std::string::npos) continue;
    const std::string_view text = std::string_view(line).substr(start);
    if (text.starts_with("StatusCode: ")) code = text.substr(12);
    if (text.starts_with("StatusMessage: ")) message = text.substr(15);
  }
  return {code, message};
}

// The same in words; empty when it answered nothing.
std::string serverAnswerIn(const std::string &record) {
  const auto [code, message] = serverStatusIn(record);
  if (code.empty()) return {};
  return "the server answered \"" + (message.empty() ? "status " + code : message) +
         "\" (SFTP status " + code + ")";
}

// What a transfer's row says of a failure the server gave (the line under its name is short):
// the server's words, else its status code; that the connection went when it answered nothing
// and is gone; empty otherwise.
std::string serverFailure(const std::string &record, bool connected) {
  const auto [code, message] = serverStatusIn(record);
  if (code.empty())
    return connected ? std::string() : std::string("The connection to the server was lost.");
  std::string said = message.empty() ? "SFTP status " + code : message;
  if (said.back() != '.') said += '.';
  return said;
}

// Why a file of a folder download was not fetched: a local reason as it was given, else the
// file's path in the folder and what the server answered.
std::string fileNotFetched(const std::string &path, const std::string &localReason,
                           const std::string &serverAnswer) {
  if (!localReason.empty()) return localReason;
  std::string why = serverAnswer.empty() ? std::string("the server did not send it") : serverAnswer;
  if (why.back() != '.') why += '.';
  return "\"" + path + "\" could not be downloaded: " + why;
}

// The line with every byte that is not part of UTF-8 text written as "\xNN": paths in the log are
// in the server's bytes, which need not be text.
std::string utf8Escaped(std::string_view line) {
  if (platform::isValidUTF8(line)) return std::string(line);
  std::string out;
  for (size_t i = 0; i < line.size();) {
    const auto b = static_cast<unsigned char>(line[i]);
    const size_t length = b < 0x80         ? 1
                          : (b >> 5) == 6  ? 2
                          : (b >> 4) == 14 ? 3
                          : (b >> 3) == 30 ? 4
                                           : 0;
    if (length && i + length <= line.size() && platform::isValidUTF8(line.substr(i, length))) {
      out.append(line.substr(i, length));
      i += length;
      continue;
    }
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02x", b);
    out += hex;
    ++i;
  }
  return out;
}

// A queue row the caller let go meanwhile (a job without a row is always wanted).
bool letGo(const std::weak_ptr<void> &row) {
  const std::weak_ptr<void> none;
  const bool neverSet = !row.owner_before(none) && !none.owner_before(row);
  return !neverSet && row.expired();
}

// Temporary upload files a cut connection left on a server, removed on the next connection.
std::mutex leftoverMutex;
std::string leftoverKey(const std::string &server, const std::string &user) {
  return "sftp-leftover-uploads-" + server + "-" + user;
}
constexpr const char *kKeyExtensions[] = {".pem", ".ppk", ".rsa", ".dsa"};

std::string parentOf(const std::string &path) {
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return "";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string permissionText(bool dir, bool link, int perms) {
  std::string s(1, dir ? 'd' : link ? 'l' : '-');
  const char *rwx = "rwxrwxrwx";
  for (int i = 0; i < 9; ++i)
    s += (perms & (0400 >> i)) ? rwx[i] : '-';
  // Set-id and sticky bits as a listing shows them, so that a permissions change can keep them.
  const struct {
    int bit, place;
    char withExecute, without;
  } specials[] = {{04000, 3, 's', 'S'}, {02000, 6, 's', 'S'}, {01000, 9, 't', 'T'}};
  for (const auto &sp : specials)
    if (perms & sp.bit)
      s[size_t(sp.place)] = s[size_t(sp.place)] == 'x' ? sp.withExecute : sp.without;
  return s;
}

// Alert answers go to a function.
class AlertAnswer : public platform::ui::AlertViewDelegate {
public:
  explicit AlertAnswer(std::function<void(int)> f) : f_(std::move(f)) {}
  void clickedButtonAtIndex(platform::ui::AlertView &, int index) override {
    if (f_) std::exchange(f_, nullptr)(index);
  }
  // Closed from code: the question counts as cancelled.
  void didDismissWithButtonIndex(platform::ui::AlertView &, int) override {
    if (f_) std::exchange(f_, nullptr)(0);
  }

private:
  std::function<void(int)> f_;
};

} // namespace

// Transfer progress from the library, passed on as fraction and bytes; a reinit aborts.
class SFTPService::Progress : public CkSFtpProgress {
public:
  explicit Progress(SFTPService &s) : s_(s) {}
  // From the transfer's thread and from a watcher of the growing file.
  void PercentDone(int pct, bool &abort) override {
    abort = s_.abort_;
    std::lock_guard lock(mutex_);
    if (pct <= last_) return;
    last_ = pct;
    SFTPProgressDic dic{(int64_t)(total_ * pct / 100), pct / 100.0f};
    s_.report([dic](SFTPWrapperDelegate &d, SFTPWrapper &w) {
      d.progress(w, dic.percent);
      d.progressDic(w, dic);
    });
  }
  void AbortCheck(bool &abort) override { abort = s_.abort_; }
  // The whole-file operations may not report every step: a finished transfer is 100 %.
  void finish() {
    bool abort = false;
    PercentDone(100, abort);
  }
  // Bytes done so far, as a whole percent of the total.
  void at(long long bytes) {
    bool abort = false;
    if (total_ > 0) PercentDone((int)(std::min(bytes, total_) * 100 / total_), abort);
  }
  void start(long long total) {
    total_ = total < 0 ? 0 : total;
    last_ = -1;
  }

private:
  SFTPService &s_;
  std::mutex mutex_;
  long long total_ = 0;
  int last_ = -1;
};

// One operation at a time: a second one is refused with a log line.
class SFTPService::Busy {
public:
  explicit Busy(SFTPService &s) : s_(s) {
    bool expected = false;
    ok_ = !s.batchRunning_ && s.active_.compare_exchange_strong(expected, true);
    if (!ok_) {
      Log::system("Huh?SomethingInProgress");
      s.logLine("Huh?SomethingInProgress");
    }
  }
  ~Busy() {
    if (ok_) s_.active_ = false;
  }
  explicit operator bool() const { return ok_; }

private:
  SFTPService &s_;
  bool ok_ = false;
};

SFTPService::SFTPService() = default;
SFTPService::~SFTPService() {
  if (log_) std::fclose(log_);
}

void SFTPService::install() {
  SFTPWrapper::setMaker(
      [] { return std::static_pointer_cast<SFTPWrapper>(std::make_shared<SFTPService>()); });
}

std::string SFTPService::hostKeySettingKey(const std::string &server) {
  return "SSH-hostkey-" + server;
}

std::string SFTPService::logPath() {
  return Paths::tmp() + (mainConnection() ? "/Ferrowen-SFTP.log" : "/Ferrowen-SFTP-2.log");
}

// --- Reports and logs

void SFTPService::report(std::function<void(SFTPWrapperDelegate &, SFTPWrapper &)> call) {
  std::weak_ptr<SFTPService> weak = weak_from_this();
  platform::dispatchAsyncMain([weak, call = std::move(call)] {
    auto self = weak.lock();
    if (!self) return;
    if (auto d = self->delegate()) call(*d, *self);
  });
}

void SFTPService::serverAway(const std::string &reason) {
  logLine("Server away: " + reason);
  report([reason](SFTPWrapperDelegate &d, SFTPWrapper &w) { d.serverAway(w, reason); });
}

void SFTPService::noteSessionLost() {
  // The library drops a session the server closed as soon as an operation meets it.
  if (sessionLostNoted_ || !sftp_ || sftp_->get_IsConnected()) return;
  sessionLostNoted_ = true;
  serverAway("the connection was lost");
}

void SFTPService::status(const std::string &text) {
  logLine(text);
  report([text](SFTPWrapperDelegate &d, SFTPWrapper &w) { d.connectStatus(w, text); });
}

// The log stays open between lines (a folder of many files writes a few lines per file); each
// line reaches the file at once, for the log screen. It is opened again when its path changes
// or the file was removed meanwhile.
void SFTPService::logLine(const std::string &line) {
  std::lock_guard lock(stateMutex_);
  const std::string path = logPath();
  struct stat st {};
  if (log_ && (logOpenPath_ != path || ::fstat(::fileno(log_), &st) != 0 || st.st_nlink == 0)) {
    std::fclose(log_);
    log_ = nullptr;
  }
  if (!log_) {
    FileManager::createDirectory(Paths::tmp(), true);
    log_ = std::fopen(path.c_str(), "ae");
    if (!log_) return;
    logOpenPath_ = path;
  }
  if (!logDate_) logDate_ = std::make_unique<platform::DateFormatter>("yyyy-MM-dd HH:mm:ss");
  const std::string text = logDate_->stringFromDate(platform::Clock::current().wallNow()) + " " +
                           withControlsEscaped(utf8Escaped(line)) + "\n";
  std::fwrite(text.data(), 1, text.size(), log_);
  std::fflush(log_);
}

void SFTPService::logFailure(const std::string &what) {
  logLine(what);
  if (!sftp_) return;
  std::istringstream lines(sftp_->lastErrorText());
  for (std::string line; std::getline(lines, line);)
    logLine("  " + line);
}

void SFTPService::showHelpPage(const char *page) {
  if (!mainConnection()) return;
  std::string p = page;
  platform::dispatchAsyncMain([p] {
    if (auto s = FTPAppServices::shared()) s->showErrorForTopFtpTab(p);
  });
}

// --- State

void SFTPService::reinit() {
  abort_ = true;
  std::lock_guard op(opMutex_);
  abort_ = false;
  dropConnection();
  active_ = connecting_ = pending_ = paused_ = batchRunning_ = false;
  std::lock_guard lock(stateMutex_);
  batchFolders_.clear();
  batchNext_ = 0;
}

void SFTPService::dropConnection() {
  if (sftp_) sftp_->Disconnect();
  sftp_.reset();
  connected_ = false;
}

bool SFTPService::isConnected() {
  if (connecting_) return true;
  // The library is asked only while no operation uses it; one that does found the connection
  // there when it began. The library drops a connection the server closed as soon as an
  // operation meets it: from then on this is false, until an operation connects again.
  std::unique_lock op(opMutex_, std::try_to_lock);
  if (!op) return connected_;
  return connected_ && sftp_ && sftp_->get_IsConnected();
}
bool SFTPService::isActive() {
  return (connected_ || connecting_) && (active_ || batchRunning_);
}
bool SFTPService::isAnythingPending() {
  return pending_;
}
void SFTPService::paused() {
  paused_ = true;
}
std::string SFTPService::userRootDir() {
  std::lock_guard lock(stateMutex_);
  return userRootDir_;
}
std::string SFTPService::lastOperationDir() {
  std::lock_guard lock(stateMutex_);
  return lastOperationDir_;
}
std::string SFTPService::dir() {
  std::lock_guard lock(stateMutex_);
  return dir_;
}
void SFTPService::setDir(const std::string &d) {
  std::lock_guard lock(stateMutex_);
  dir_ = d;
}

// --- Connection

SFTPService::Endpoint SFTPService::endpoint() {
  Endpoint e;
  std::string text = myTrimWS(server());
  if (text.rfind("sftp://", 0) == 0) text = text.substr(7);
  auto slash = text.find('/');
  if (slash != std::string::npos) {
    e.path = text.substr(slash);
    text = text.substr(0, slash);
  }
  auto colon = text.rfind(':');
  if (colon != std::string::npos && text.find(':') == colon) {
    const std::string portText = text.substr(colon + 1);
    if (portTextRefused(portText))
      e.portRefused = true;
    else if (const int p = portNumber(myTrimWS(portText)); p > 0)
      e.port = p;
    text = text.substr(0, colon);
  }
  e.host = text;
  // A port given apart (a queue row's) stands over the text's; one out of range is refused, and
  // so is a text whose own port is.
  if (port() > 0 && port() < 65536)
    e.port = port();
  else if (port() != 0)
    e.portRefused = true;
  return e;
}

bool SFTPService::ensureConnected() {
  if (connected_ && sftp_ && sftp_->get_IsConnected()) return true;
  const Endpoint e = endpoint();
  dropConnection();
  connecting_ = true;
  sftp_ = std::make_unique<CkSFtp>();
  progress_ = std::make_unique<Progress>(*this);
  sftp_->put_EventCallbackObject(progress_.get());
  sftp_->put_ConnectTimeoutMs(kTimeoutMs);
  sftp_->put_IdleTimeoutMs(kTimeoutMs);
  sftp_->put_HeartbeatMs(kHeartbeatMs);
  status("Connecting...");
  logLine("Connect " + e.host + ":" + std::to_string(e.port));
  using Report = void (SFTPWrapperDelegate::*)(SFTPWrapper &, const std::string &);
  auto fail = [&](const std::string &text, Report kind) {
    logFailure(text);
    connecting_ = false;
    pending_ = false;
    dropConnection();
    report([text, kind](SFTPWrapperDelegate &d, SFTPWrapper &w) { (d.*kind)(w, text); });
    return false;
  };
  const Report connectError = &SFTPWrapperDelegate::connectError;
  if (e.host.empty()) return fail("No server address.", connectError);
  if (e.portRefused) return fail(kPortRangeMessage, connectError);
  {
    // A server whose key is remembered is asked for that key's type first (the fingerprint
    // starts with it), so that a client offering newer key types still meets the same key.
    const std::string server =
        e.port == kDefaultPort ? e.host : e.host + ":" + std::to_string(e.port);
    auto known = UserDefaults::standard().stringForKey(hostKeySettingKey(server));
    if (known && !known->empty())
      sftp_->put_PreferredHostKeyType(known->substr(0, known->find(' ')).c_str());
  }
  // How long each step of the set-up took goes to the log, so that a slow first connection can
  // be told apart: the network and key exchange, the login, or the SFTP start.
  auto stepStart = std::chrono::steady_clock::now();
  std::string steps;
  auto step = [&](const char *name) {
    const auto now = std::chrono::steady_clock::now();
    steps += std::string(steps.empty() ? "" : ", ") + name + " " +
             std::to_string(
                 std::chrono::duration_cast<std::chrono::milliseconds>(now - stepStart).count()) +
             " ms";
    stepStart = now;
  };
  if (!sftp_->Connect(e.host.c_str(), e.port)) {
    // A refusal comes at once: "did not answer in time" would send the person looking for a
    // network fault instead of a server that is not running or a wrong port.
    const bool refused = sftp_->lastErrorText().find("ECONNREFUSED") != std::string::npos;
    showHelpPage(refused ? "error-sftp-refused.html" : "error-sftp-timeout.html");
    serverAway(refused ? "Connection refused" : "no answer");
    return fail("Unable to connect to the SFTP server.", connectError);
  }
  // The question itself names both keys; the folder screen's status says only what it is about.
  if (!checkHostKey(e)) return fail("Host key changed", connectError);
  step("connect and key exchange");
  status("Logging In...");
  if (!loginWithKeyFiles(e) && !sftp_->AuthenticatePw(username().c_str(), password().c_str())) {
    showHelpPage("error-sftp-login.html");
    return fail("Unable to log in to the SFTP server.", &SFTPWrapperDelegate::loginError);
  }
  step("login");
  if (!sftp_->InitializeSftp())
    return fail("Unable to start SFTP on the server.", &SFTPWrapperDelegate::sftpError);
  // Names go to the server and come from it in their own bytes (see SFTPWrapper::wireOf), whatever
  // charset the server's greeting named: the program reads them for the screens itself.
  sftp_->put_FilenameCharset("");
  CkString root;
  // A server that will not name the login folder still lists it as ".": "/" is its top folder.
  std::string rootDir = sftp_->RealPath(".", "", root) ? root.getString() : ".";
  step("SFTP start");
  {
    std::lock_guard lock(stateMutex_);
    userRootDir_ = rootDir;
    if (dir_.empty()) dir_ = e.path.empty() ? rootDir : SFTPWrapper::wireOf(e.path);
  }
  connected_ = true;
  sessionLostNoted_ = false;
  connecting_ = false;
  pending_ = false;
  logLine("Logged in; root " + rootDir);
  logLine("Set-up took " + steps);
  removeLeftoverUploads();
  return true;
}

std::string SFTPService::leftoverSettingKey() {
  const Endpoint e = endpoint();
  const std::string server =
      e.port == kDefaultPort ? e.host : e.host + ":" + std::to_string(e.port);
  return leftoverKey(server, username());
}

void SFTPService::rememberLeftoverUpload(const std::string &remote) {
  std::lock_guard lock(leftoverMutex);
  auto &defaults = UserDefaults::standard();
  const std::string key = leftoverSettingKey();
  auto list = defaults.arrayForKey(key).value_or(platform::DefaultsValue::Array{});
  for (auto &v : list)
    if (v.string() && *v.string() == remote) return;
  list.emplace_back(remote);
  defaults.setObject(list, key);
  defaults.synchronize();
  logLine("Left on the server for now: " + remote);
}

// Removes what a cut connection left behind, once the connection to that server is back. A name
// stays on the list only when the connection went again before it could be removed.
void SFTPService::removeLeftoverUploads() {
  std::lock_guard lock(leftoverMutex);
  auto &defaults = UserDefaults::standard();
  const std::string key = leftoverSettingKey();
  auto list = defaults.arrayForKey(key);
  if (!list || list->empty()) return;
  platform::DefaultsValue::Array keep;
  for (auto &v : *list) {
    if (!v.string()) continue;
    const std::string &path = *v.string();
    if (!sftp_->get_IsConnected()) {
      keep.push_back(v);
      continue;
    }
    if (sftp_->RemoveFile(path.c_str()))
      logLine("Removed the temporary file of an earlier upload: " + path);
    else if (!sftp_->get_IsConnected())
      keep.push_back(v);
  }
  if (keep.empty())
    defaults.removeObjectForKey(key);
  else
    defaults.setObject(keep, key);
  defaults.synchronize();
}

bool SFTPService::checkHostKey(const Endpoint &e) {
  const std::string now = sftp_->hostKeyFingerprint();
  const std::string server =
      e.port == kDefaultPort ? e.host : e.host + ":" + std::to_string(e.port);
  const std::string key = hostKeySettingKey(server);
  auto &defaults = UserDefaults::standard();
  auto known = defaults.stringForKey(key);
  if (!known || known->empty()) {
    defaults.setObject(now, key);
    defaults.synchronize();
    logLine("Host key of " + server + " remembered: " + now);
    return true;
  }
  if (*known == now) return true;
  logLine("Host key of " + server + " changed: remembered " + *known + ", now " + now);
  // Each fingerprint on a line of its own, whole, so that the two can be compared.
  const std::string text = "The host key of " + server + " has changed.\nRemembered:\n" + *known +
                           "\nNow:\n" + now +
                           "\nSomeone may be posing as the server. Connect only if you expect "
                           "the change.";
  {
    std::lock_guard lock(stateMutex_);
    pendingHostKey_ = key + "\n" + now;
  }
  std::weak_ptr<SFTPService> weak = weak_from_this();
  auto answer = std::make_shared<AlertAnswer>([weak](int index) {
    if (auto self = weak.lock()) self->answerHostKeyChange(index == 1);
  });
  alertDelegate_ = answer;
  platform::dispatchAsyncMain([text, answer] {
    auto alert = std::make_shared<platform::ui::AlertView>(
        "Host Key Changed", text, answer, "Cancel", std::vector<std::string>{"Accept New Key"});
    alert->show();
  });
  return false;
}

void SFTPService::answerHostKeyChange(bool accept) {
  std::string pending;
  {
    std::lock_guard lock(stateMutex_);
    pending = std::exchange(pendingHostKey_, "");
  }
  auto nl = pending.find('\n');
  if (nl == std::string::npos) return;
  if (!accept) {
    logLine("New host key not accepted: not connected");
    // Nothing was connected: the folder screen that asked, on top of the FTP tab, makes way for
    // the connect screen, where the person may go on (another server, or Connect again).
    if (mainConnection()) {
      std::weak_ptr<SFTPService> weak = weak_from_this();
      platform::dispatchAsyncMain([weak] {
        auto self = weak.lock();
        auto services = FTPAppServices::shared();
        if (!self || !services) return;
        auto top = services->topDirViewer();
        auto asked = self->delegate();
        if (top && asked && dynamic_cast<void *>(top.get()) == dynamic_cast<void *>(asked.get()))
          services->popFtpTabToRoot(true);
      });
    }
    return;
  }
  UserDefaults::standard().setObject(pending.substr(nl + 1), pending.substr(0, nl));
  UserDefaults::standard().synchronize();
  logLine("New host key accepted");
  // The folder screen that asked connects again with the key now accepted and lists its folder.
  if (mainConnection())
    report(
        [](SFTPWrapperDelegate &d, SFTPWrapper &w) { d.sftpConnectionShouldRefreshDirectory(w); });
}

std::vector<std::string> SFTPService::keyFileExtensions() {
  return {std::begin(kKeyExtensions), std::end(kKeyExtensions)};
}

// Key files named "user@server" with one of the key extensions; each is tried without a pass
// phrase, then with the login password.
bool SFTPService::loginWithKeyFiles(const Endpoint &e) {
  const std::string base = username() + "@" + e.host;
  if (!isSingleFileName(base)) return false;
  const std::string folder = Paths::documents() + "/Files/PrivateKeys";
  // Names on the device's file system match whatever their case: a key handed over as
  // "alice@host.PEM" is found here as it is there.
  const auto names = FileManager::contentsOfDirectory(folder).value_or(std::vector<std::string>{});
  for (const char *ext : kKeyExtensions) {
    std::string name = base + ext;
    if (!FileManager::fileExists(folder + "/" + name))
      for (const std::string &there : names)
        if (platform::lowercase(there) == platform::lowercase(name)) {
          name = there;
          break;
        }
    const std::string path = folder + "/" + name;
    if (!FileManager::fileExists(path)) continue;
    // Why the file could not be used, kept from the last try: a wrong pass phrase or a damaged
    // file is written to the log rather than passed over in silence.
    std::string notRead;
    for (const std::string &phrase : {std::string(), password()}) {
      CkSshKey key;
      key.put_Password(phrase.c_str());
      if (!key.LoadKeyFile(path.c_str())) {
        notRead = key.lastErrorText();
        continue;
      }
      if (!key.get_IsPrivateKey()) {
        notRead = "Requires a private key, not a public key.";
        continue;
      }
      notRead.clear();
      if (sftp_->AuthenticatePk(username().c_str(), key)) {
        logLine("Logged in with key " + name);
        return true;
      }
      logFailure("Key login refused: " + name);
      if (!sftp_->get_IsConnected()) return false;
      break;
    }
    if (!notRead.empty()) {
      logLine("Key file not read: " + name);
      std::istringstream lines(notRead);
      for (std::string line; std::getline(lines, line);)
        logLine("  " + line);
    }
  }
  return false;
}

// --- Listing

void SFTPService::getThisDirectory(const std::string &path) {
  setDir(path);
  getDirectory();
}

void SFTPService::getDirectory() {
  Busy busy(*this);
  if (!busy) return;
  std::lock_guard op(opMutex_);
  pending_ = !connected_;
  if (!ensureConnected()) return;
  std::vector<std::shared_ptr<DirItemInfo>> items;
  if (listFolder(dir(), items, true))
    report([items](SFTPWrapperDelegate &d, SFTPWrapper &w) { d.gotDirectory(w, items); });
}

bool SFTPService::listFolder(const std::string &folder,
                             std::vector<std::shared_ptr<DirItemInfo>> &items, bool report_,
                             size_t *serverEntries) {
  {
    std::lock_guard lock(stateMutex_);
    lastOperationDir_ = folder;
  }
  if (report_) status("Loading Directory...");
  auto dirError = [&](const std::string &text) {
    logFailure(text + " " + folder);
    report([text](SFTPWrapperDelegate &d, SFTPWrapper &w) { d.dirError(w, text); });
    return false;
  };
  CkString handle;
  if (!sftp_->OpenDir(folder.c_str(), handle)) return dirError("Error Opening Directory!");
  std::unique_ptr<CkSFtpDir> listing(sftp_->ReadDir(handle.getString().c_str()));
  sftp_->CloseHandle(handle.getString().c_str());
  if (!listing) return dirError("Error Reading Directory!");
  const int n = listing->get_NumFilesAndDirs();
  if (serverEntries) *serverEntries = n < 0 ? 0 : (size_t)n;
  if (report_) status("Loading Directory (" + std::to_string(n) + ")...");
  const bool showHidden = UserDefaults::standard().integerForKey(kShowHiddenFilesKey) == 1;
  for (int i = 0; i < n; ++i) {
    std::unique_ptr<CkSFtpFile> f(listing->GetFileObject(i));
    if (!f) continue;
    // The name's bytes as the server sent them: shown as text, sent back as they came.
    const std::string bytes = f->filename();
    const std::string name = SFTPWrapper::textOfName(bytes);
    // Every entry is a row, control bytes and all (they read as U+FFFD). Only a name no file on
    // the server can have (a "/" or a NUL in it), which could lead out of its folder or reach
    // another file, is never taken.
    if (!isSingleFileName(name) || bytes.find('\0') != std::string::npos ||
        bytes.find('/') != std::string::npos) {
      logLine("Skipped entry " + bytes);
      continue;
    }
    if (!showHidden && bytes[0] == '.') continue;
    auto item = std::make_shared<DirItemInfo>();
    item->setName(name);
    item->setNameBytes(bytes);
    item->isDirectory = f->get_IsDirectory();
    item->isLink = f->get_IsSymLink();
    item->size = std::to_string(f->get_Size64());
    item->attrib = permissionText(item->isDirectory, item->isLink, f->get_Permissions());
    item->owner = f->owner();
    item->group = f->group();
    if (long long t = f->get_LastModifiedUnix()) item->date = platform::wallTimeFromUnix(t);
    item->setupSizeDisplay();
    items.push_back(std::move(item));
  }
  return true;
}

// --- Downloads

void SFTPService::setupToDownloadThisFile(const std::string &remotePath, const std::string &toPath,
                                          bool editWhenDone) {
  std::lock_guard lock(stateMutex_);
  downloadRemote_ = remotePath;
  downloadTo_ = toPath;
  editWhenDone_ = editWhenDone;
  replaceExisting_ = false;
}

std::string SFTPService::savedFilesPathFor(const std::string &name) {
  const std::string folder = Paths::documents() + "/Files";
  FileManager::createDirectory(folder, true);
  return folder + "/" + name;
}

bool SFTPService::askSavedFileExists(const std::string &name) {
  if (UserDefaults::standard().integerForKey(kOverwriteSavedFilesKey) == 1) return true;
  auto answered = std::make_shared<std::promise<int>>();
  auto answer = std::make_shared<AlertAnswer>([answered](int i) { answered->set_value(i); });
  platform::dispatchAsyncMain([name, answer] {
    auto alert = std::make_shared<platform::ui::AlertView>(
        "Saved File Exists", "A file named \"" + name + "\" already exists in the Saved Files tab.",
        answer, "Cancel", std::vector<std::string>{"Replace", "Replace & Don't Ask Again"});
    alert->show();
  });
  // A reinit meanwhile (it waits for this operation) counts as "Cancel".
  auto future = answered->get_future();
  while (future.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready)
    if (abort_) return false;
  const int index = future.get();
  if (index == 2) {
    UserDefaults::standard().setObject("1", kOverwriteSavedFilesKey);
    UserDefaults::standard().synchronize();
  }
  return index != 0;
}

void SFTPService::downloadFile() {
  Busy busy(*this);
  if (!busy) return;
  std::lock_guard op(opMutex_);
  std::string remote, to;
  bool edit;
  {
    std::lock_guard lock(stateMutex_);
    remote = downloadRemote_;
    to = downloadTo_;
    edit = editWhenDone_;
  }
  pending_ = !connected_;
  if (!ensureConnected()) return;
  status("Downloading...");
  // The local file takes the name as the folder screen shows it; the server is asked for its
  // bytes.
  const std::string name = SFTPWrapper::textOfName(platform::lastPathComponent(remote));
  std::string local;
  if (!isSingleFileName(name)) {
    local.clear();
  } else if (to.empty()) {
    // A file to be opened goes to a working copy of its own origin (one no editor or record
    // still uses): another server's file of that name never takes its place.
    if (edit) {
      workingCopyInUse_.release();
      local = workingCopyPath(originOf(remote), name);
      workingCopyInUse_.hold(local);
    } else {
      local = savedFilesPathFor(name);
    }
    if (!edit && FileManager::fileExists(local) && !askSavedFileExists(name)) {
      report([](SFTPWrapperDelegate &d, SFTPWrapper &w) { d.sftpConnectionDone(w); });
      doneBatchItem();
      return;
    }
  } else {
    // A queue item names its folder relative to Saved Files; a folder of the shared folder, beside
    // Saved Files in Documents, as "../name".
    const std::string documents = Paths::documents();
    const std::string folder =
        to[0] == '/' ? to : platform::standardizePath(documents + "/Files/" + to);
    local = folder + "/" + name;
    if (!pathLiesInside(local, folder) || (to[0] != '/' && !pathLiesInside(folder, documents)))
      local.clear();
  }
  if (local.empty()) {
    finishDownload(remote, "", false);
    return;
  }
  std::string why;
  const bool ok = downloadTo(remote, local, -1, &why);
  // Not the local side: the row says what the server answered, or that the connection went (a
  // download stopped on purpose has nothing more to say).
  if (!ok && why.empty() && !abort_)
    why = serverFailure(sftp_->lastErrorText(), sftp_->get_IsConnected());
  finishDownload(remote, local, ok, why);
  if (edit && ok) {
    setOpenedRemote(remote);
    openDownloaded(local);
  }
}

// Into a partial file beside the target (the download's own: another download into the same name
// at once writes into its own), renamed into place only when the whole file came. Only a file is
// replaced that way: a folder under the name is the person's, and stays whole with everything in
// it; the download fails and says why.
bool SFTPService::downloadTo(const std::string &remote, const std::string &local,
                             long long knownSize, std::string *why) {
  {
    std::lock_guard lock(stateMutex_);
    lastOperationDir_ = parentOf(remote);
  }
  // A folder that cannot be made (a file in its place, say) is said as such: nothing can be
  // written there.
  const auto made = FileManager::createDirectory(parentOf(local), true);
  std::string problem = folderInTheWay(local);
  if (!made) {
    const std::string &error = made.error();
    const size_t colon = error.rfind(": ");
    problem = "\"" + platform::lastPathComponent(parentOf(local)) + "\" could not be made: " +
              (colon == std::string::npos ? error : error.substr(colon + 2)) + ".";
  }
  const std::string part = partialPathFor(remote, local);
  const FileInUse writing(part);
  bool ok = problem.empty();
  if (ok) {
    // A folder's listing gave the size already: no request of its own for it.
    progress_->start(knownSize >= 0 ? knownSize : sftp_->GetFileSize64(remote.c_str(), true));
    // The library reports the progress of the transfer itself, and answers an abort within a
    // heartbeat.
    ok = sftp_->DownloadFileByName(remote.c_str(), part.c_str());
    if (!ok && sftp_->lastLocalWriteError())
      problem = localWriteProblem(sftp_->lastLocalWriteError());
  }
  if (ok) {
    if (auto placed = putPartialFileInPlace(part, local); !placed) {
      ok = false;
      problem = folderInTheWay(local);
      if (problem.empty()) problem = placed.error() + ".";
    }
  }
  if (!ok) {
    FileManager::removeItem(part);
    logFailure("Download failed: " + remote + (problem.empty() ? "" : ": " + problem));
    if (why) *why = problem;
  } else {
    progress_->finish();
    logLine("Downloaded " + remote);
  }
  return ok;
}

RemoteOrigin SFTPService::originOf(const std::string &remote) {
  RemoteOrigin origin = RemoteOrigin::of(
      "sftp", server(), port(), username(), SFTPWrapper::textOfName(parentOf(remote)),
      SFTPWrapper::textOfName(platform::lastPathComponent(remote)));
  // Two files whose paths read alike are two: each keeps a working copy of its own.
  if (SFTPWrapper::textOfName(remote) != remote) origin.pathBytes = remote;
  return origin;
}

std::string SFTPService::partialPathFor(const std::string &remote, const std::string &local) {
  return downloadPartialPath(server(), port(), username(), remote, local);
}

std::string SFTPService::folderInTheWay(const std::string &local) {
  auto there = FileManager::attributesOfItem(local);
  if (!there || there->type != platform::FileAttributes::Type::Directory) return {};
  return "A folder named \"" + platform::lastPathComponent(local) +
         "\" is where the file goes: it is not replaced.";
}

void SFTPService::finishDownload(const std::string &remote, const std::string &local, bool ok,
                                 const std::string &why) {
  if (ok) {
    report([local](SFTPWrapperDelegate &d, SFTPWrapper &w) { d.downloadedFile(w, local); });
  } else {
    const std::string text = local.empty() ? "Refused local name for " + remote
                             : why.empty() ? "Error Downloading File!"
                                           : "Error Downloading File! " + why;
    logLine(text);
    report([text](SFTPWrapperDelegate &d, SFTPWrapper &w) { d.downloadError(w, text); });
  }
  report([](SFTPWrapperDelegate &d, SFTPWrapper &w) { d.sftpConnectionDone(w); });
}

void SFTPService::openDownloaded(const std::string &path) {
  platform::dispatchAsyncMain([path] {
    auto s = FTPAppServices::shared();
    if (!s) return;
    if (DirItemInfo info; (info.setName(path), info.fileType() == DirItemInfo::kFileTypeText))
      s->openTextEditor(path);
    else
      s->showDocumentViewer(platform::lastPathComponent(path), path);
  });
}

// --- Uploads

void SFTPService::setupToUploadThisFile(const std::string &localPath, const std::string &toPath) {
  std::lock_guard lock(stateMutex_);
  uploadLocal_ = localPath;
  uploadRemote_ = toPath;
}

void SFTPService::uploadFile() {
  // Taken whatever happens: a refused call must not leave it for another file's upload.
  const std::string temp = takeUploadTempName();
  Busy busy(*this);
  if (!busy) return;
  std::lock_guard op(opMutex_);
  std::string local, remote;
  {
    std::lock_guard lock(stateMutex_);
    local = uploadLocal_;
    remote = uploadRemote_;
  }
  pending_ = !connected_;
  if (!ensureConnected()) return;
  uploadTo(local, remote, temp);
}

LookedFile SFTPService::lookAtFile(const std::string &remote, const BytesToRead &bytesToRead) {
  LookedFile found;
  Busy busy(*this);
  if (!busy) return found;
  std::lock_guard op(opMutex_);
  pending_ = !connected_;
  if (!ensureConnected()) return found;
  found.inPlace = !uploadsToTempNames();
  auto failed = [&] {
    logFailure("Could not look at " + remote);
    noteSessionLost();
    const std::string text = serverFailure(sftp_->lastErrorText(), sftp_->get_IsConnected());
    report([text](SFTPWrapperDelegate &d, SFTPWrapper &w) {
      d.uploadError(w, text.empty() ? "Error Uploading File!" : "Error Uploading File! " + text);
    });
    report([](SFTPWrapperDelegate &d, SFTPWrapper &w) { d.sftpConnectionDone(w); });
    return LookedFile{};
  };
  const long long size = sftp_->GetFileSize64(remote.c_str(), true);
  if (size < 0) {
    // No such file (SFTP status 2): another removed it.
    if (sftp_->get_IsConnected() && serverStatusIn(sftp_->lastErrorText()).first == "2") {
      found.looked = true;
      return found;
    }
    return failed();
  }
  found.exists = true;
  found.size = static_cast<uint64_t>(size);
  // At most what the caller asks for, and never more than one read's worth: the caller asks for
  // one byte more than it knows of.
  const uint64_t wanted =
      found.size == 0 ? 0 : std::min<uint64_t>(bytesToRead(found.size), 0x7fffffffu);
  if (wanted > 0) {
    CkString handle;
    if (!sftp_->OpenFile(remote.c_str(), "readOnly", "openExisting", handle)) return failed();
    const bool read = sftp_->ReadFileBytes64(handle.getString().c_str(), 0,
                                             static_cast<unsigned int>(wanted), found.bytes);
    sftp_->CloseHandle(handle.getString().c_str());
    if (!read) return failed();
  }
  found.looked = true;
  return found;
}

// Under a temporary name renamed into place when wanted: the file in place is kept under an
// ".old." name until the new one stands, and put back when the swap fails. A server that refuses
// the rename is remembered and later uploads go straight to the final name.
bool SFTPService::uploadTo(const std::string &local, const std::string &remote,
                           const std::string &keptTemp) {
  {
    std::lock_guard lock(stateMutex_);
    lastOperationDir_ = parentOf(remote);
  }
  status("Uploading...");
  const bool ok = uploadOne(local, remote, keptTemp);
  if (!ok) noteSessionLost();
  // Either way the folder is listed again: a failed upload may have left part of the file.
  report([remote, ok](SFTPWrapperDelegate &d, SFTPWrapper &w) {
    if (ok)
      d.uploadedFile(w, remote);
    else
      d.uploadError(w, "Error Uploading File!");
    d.sftpConnectionShouldRefreshDirectory(w);
  });
  report([](SFTPWrapperDelegate &d, SFTPWrapper &w) { d.sftpConnectionDone(w); });
  return ok;
}

bool SFTPService::uploadsToTempNames() {
  auto &defaults = UserDefaults::standard();
  return defaults.integerForKey("UploadToTempName") == 1 &&
         defaults.integerForKey(keySFTPNoRenaming(endpoint().host, username())) != 1;
}

// Most servers do not rename over an existing file: the file in place is moved aside first and
// removed once the new one stands; when that fails too it is put back, the server is remembered
// as one that does not rename, and the file goes straight to its name.
bool SFTPService::placeRefusedRename(const std::string &local, const std::string &temp,
                                     const std::string &remote, const std::string &stamp) {
  const std::string old = remote + ".old." + stamp;
  const int mode = sftp_->GetFilePermissions(remote.c_str());
  const bool movedAside = sftp_->RenameFileOrDir(remote.c_str(), old.c_str());
  if (movedAside && sftp_->RenameFileOrDir(temp.c_str(), remote.c_str())) {
    keepMode(remote, mode);
    sftp_->RemoveFile(old.c_str());
    return true;
  }
  if (movedAside) sftp_->RenameFileOrDir(old.c_str(), remote.c_str());
  logFailure("Rename refused: " + temp);
  auto &defaults = UserDefaults::standard();
  defaults.setObject("1", keySFTPNoRenaming(endpoint().host, username()));
  defaults.synchronize();
  sftp_->RemoveFile(temp.c_str());
  return sftp_->UploadFileByName(remote.c_str(), local.c_str());
}

// Over a connection that is gone the removal cannot reach the server: the name is kept and the
// file removed when the connection is back.
void SFTPService::dropTempUpload(const std::string &temp) {
  if (sftp_->get_IsConnected()) sftp_->RemoveFile(temp.c_str());
  if (!sftp_->get_IsConnected()) rememberLeftoverUpload(temp);
}

std::string SFTPService::uploadStamp() {
  return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                            platform::Clock::current().wallNow().time_since_epoch())
                            .count());
}

// A file written under a temporary name and renamed over the one it replaces gets the mode the
// temporary file was made with: the replaced file's mode (-1: there was none) is given back, so
// that a private file stays private. A refusal is only logged.
void SFTPService::keepMode(const std::string &remote, int mode) {
  if (mode < 0) return;
  if (!sftp_->SetPermissions(remote.c_str(), mode & 07777))
    logFailure("The permissions of " + remote + " could not be kept");
}

bool SFTPService::uploadOne(const std::string &local, const std::string &remote,
                            const std::string &keptTemp) {
  const bool useTemp = uploadsToTempNames();
  const std::string stamp = uploadStamp();
  // A queue row keeps its temporary name: started again after a kill, it writes over the part
  // the killed start left (the open truncates it) instead of leaving it beside the file.
  const std::string temp = !useTemp            ? remote
                           : !keptTemp.empty() ? keptTemp
                                               : remote + ".upload." + stamp;
  progress_->start((long long)sizeOfFileAtPath(local));
  // The temporary file is made with the mode of the file it replaces (writable by its owner, who
  // writes it): a private file's new content is never readable by others on its way, where the
  // server takes the mode at the open. The whole mode is given back after the rename.
  const bool exists = FileManager::fileExists(local);
  const int mode = useTemp && exists ? sftp_->GetFilePermissions(remote.c_str()) : -1;
  bool ok = exists && sftp_->UploadFileByName(temp.c_str(), local.c_str(),
                                              mode < 0 ? -1 : (mode & 0777) | 0200);
  if (ok && useTemp && !sftp_->RenameFileOrDir(temp.c_str(), remote.c_str())) {
    ok = placeRefusedRename(local, temp, remote, stamp);
  } else if (ok && useTemp) {
    keepMode(remote, mode);
  } else if (!ok && useTemp) {
    dropTempUpload(temp);
  }
  if (ok) {
    progress_->finish();
    logLine("Uploaded " + remote);
  } else {
    logFailure("Upload failed: " + remote);
  }
  return ok;
}

// Upload rows of one server, many at a time, with the requests of several files in flight.
size_t SFTPService::uploadBatchLimit() {
  return kUploadBatch;
}

void SFTPService::uploadFiles(const std::vector<SFTPUploadJob> &jobs, const UploadResult &result) {
  Busy busy(*this);
  if (!busy) return;
  std::lock_guard op(opMutex_);
  // The queue starts a batch only when it is not paused: a pause from now on stops it.
  paused_ = false;
  pending_ = !connected_;
  if (!ensureConnected()) return;
  std::vector<const SFTPUploadJob *> wanted;
  for (auto &job : jobs)
    if (!letGo(job.row)) wanted.push_back(&job);
  if (wanted.empty()) return;
  {
    std::lock_guard lock(stateMutex_);
    lastOperationDir_ = parentOf(wanted.back()->remote);
  }
  status("Uploading...");
  bool anyDone = false;
  auto ended = [&](const SFTPUploadJob &job, bool ok) {
    anyDone = anyDone || ok;
    result(job, ok, ok ? std::string() : std::string("Error Uploading File!"));
  };
  // Under temporary names each file is renamed into place as soon as it is closed, still with
  // the requests of other files in flight; a rename the server refuses, and the removal of what a
  // failed file left, wait until the batch is through.
  const bool useTemp = uploadsToTempNames();
  const std::string stamp = uploadStamp();
  std::vector<SftpBatchFile> files(wanted.size());
  for (size_t i = 0; i < wanted.size(); ++i) {
    files[i].local = wanted[i]->local;
    files[i].remote = wanted[i]->remote;
    if (useTemp) {
      // A row's own temporary name, kept across a kill, else a new one.
      files[i].remote =
          wanted[i]->temp.empty() ? files[i].remote + ".upload." + stamp : wanted[i]->temp;
      files[i].renameTo = wanted[i]->remote;
    }
  }
  std::vector<size_t> refused, leftOver;
  sftp_->UploadFiles(files, kFilesInFlight, [&](size_t i) {
    if (files[i].renameRefused) {
      refused.push_back(i);
    } else {
      if (files[i].ok)
        logLine("Uploaded " + wanted[i]->remote);
      else
        logLine("Upload failed: " + wanted[i]->remote + ": " + files[i].error);
      if (!files[i].ok && useTemp) leftOver.push_back(i);
      if (!files[i].ok) noteSessionLost();
      ended(*wanted[i], files[i].ok);
    }
    return !abort_ && !paused_;
  });
  for (size_t i : leftOver)
    dropTempUpload(files[i].remote);
  for (size_t i : refused) {
    const bool ok = placeRefusedRename(files[i].local, files[i].remote, wanted[i]->remote, stamp);
    logLine((ok ? "Uploaded " : "Upload failed: ") + wanted[i]->remote);
    ended(*wanted[i], ok);
  }
  if (anyDone)
    report(
        [](SFTPWrapperDelegate &d, SFTPWrapper &w) { d.sftpConnectionShouldRefreshDirectory(w); });
  report([](SFTPWrapperDelegate &d, SFTPWrapper &w) { d.sftpConnectionDone(w); });
}

// --- Remote changes

void SFTPService::simpleOperation(const char *statusText, const char *error,
                                  const std::string &path,
                                  const std::function<bool(CkSFtp &)> &opFn, bool reportToQueue,
                                  const char *refusedHint) {
  Busy busy(*this);
  if (!busy) return;
  std::lock_guard op(opMutex_);
  pending_ = !connected_;
  if (!ensureConnected()) return;
  {
    std::lock_guard lock(stateMutex_);
    lastOperationDir_ = parentOf(path);
  }
  status(statusText);
  const bool queue = reportToQueue && !mainConnection();
  if (opFn(*sftp_)) {
    logLine(std::string(statusText) + " " + path);
    report(
        [](SFTPWrapperDelegate &d, SFTPWrapper &w) { d.sftpConnectionShouldRefreshDirectory(w); });
    if (queue) doneBatchItem();
  } else {
    logFailure(std::string(error) + " " + path);
    const std::string text = error;
    report([text, queue](SFTPWrapperDelegate &d, SFTPWrapper &w) {
      queue ? d.dirError(w, text) : d.errorStatus(w, text);
    });
    if (refusedHint && mainConnection()) {
      // Said as the FTP folder screens say a refusal, and the folder listed again: the screen
      // took the entry away before the server answered.
      std::string said = text;
      if (std::string answer = serverAnswerIn(sftp_->lastErrorText()); !answer.empty())
        said += " " + (answer[0] = 'T', answer) + ".";
      said += refusedHint;
      platform::dispatchAsyncMain([said] {
        std::make_shared<platform::ui::AlertView>(
            platform::localizedString("Error from FTP Server"), said,
            std::weak_ptr<platform::ui::AlertViewDelegate>(), "",
            std::vector<std::string>{platform::localizedString("OK")})
            ->show();
      });
      report([](SFTPWrapperDelegate &d, SFTPWrapper &w) {
        d.sftpConnectionShouldRefreshDirectory(w);
      });
    }
  }
}

void SFTPService::createDirectory(const std::string &path) {
  simpleOperation(
      "Creating Directory...", "Error Creating Directory!", path,
      [&](CkSFtp &s) { return s.CreateDir(path.c_str()); }, true);
}
void SFTPService::deleteFile(const std::string &path) {
  simpleOperation("Deleting File...", "Error Deleting File!", path,
                  [&](CkSFtp &s) { return s.RemoveFile(path.c_str()); });
}
void SFTPService::deleteDirectory(const std::string &path) {
  simpleOperation(
      "Deleting Directory...", "Error Deleting Directory!", path,
      [&](CkSFtp &s) { return s.RemoveDir(path.c_str()); }, false,
      "\n(You may need to delete files in this folder before deleting the folder.)");
}
void SFTPService::renameFile(const std::string &oldName, const std::string &newName) {
  simpleOperation("Renaming File...", "Error Renaming File!", oldName,
                  [&](CkSFtp &s) { return s.RenameFileOrDir(oldName.c_str(), newName.c_str()); });
}
void SFTPService::changePermissions(const std::string &name, int permissions) {
  simpleOperation("Changing Permissions...", "Error Changing Permissions!", name,
                  [&](CkSFtp &s) { return s.SetPermissions(name.c_str(), permissions & 07777); });
}

// --- Folder batches

void SFTPService::batchDirectoryDownload(const std::string &remoteFolder) {
  std::string folder = remoteFolder;
  while (folder.size() > 1 && folder.back() == '/')
    folder.pop_back();
  // Into the Saved Files folder that is open when the download starts, or the folder the setting
  // names for downloads, as FTP's folder downloads go; the folder's tree is kept below it.
  std::string open;
  if (FTPAppServices::shared())
    platform::RunLoop::main()->performAndWait([&] { open = currentLocalFolder; });
  const std::string root = batchRootFor(folder, open);
  std::lock_guard lock(stateMutex_);
  batchLocalRoot_ = root;
  batchByFileType_ = false;
  if (const int choice = UserDefaults::standard().integerForKey(kDefaultDownloadFolderKey);
      choice == 2 || choice == 3)
    batchByFileType_ = true;
  BatchFolder asked;
  asked.name = folder;
  batchFolders_.push_back(std::move(asked));
}

std::string SFTPService::batchRootFor(const std::string &remoteFolder,
                                      const std::string &openFolder) {
  const std::string documents = Paths::documents(), files = documents + "/Files";
  const std::string host = endpoint().host;
  std::string root = files, confine = files;
  switch (UserDefaults::standard().integerForKey(kDefaultDownloadFolderKey)) {
  case 0:
    // A folder of the shared folder is named from Saved Files ("../name"), beside it.
    if (!openFolder.empty()) root = platform::appendPathComponent(files, openFolder);
    confine = documents;
    break;
  case 1:
  case 3:
    root = confine = platform::appendPathComponent(files, host);
    break;
  case 4:
    root = platform::appendPathComponent(
        files,
        platform::DateFormatter("yyyy-MM-dd").stringFromDate(platform::Clock::current().wallNow()));
    break;
  case 5:
    // The server's folders, from its top: the folder lands where its remote path says.
    confine = platform::appendPathComponent(files, host);
    root = platform::appendPathComponent(confine, parentOf(remoteFolder));
    break;
  default:
    break;
  }
  root = platform::standardizePath(root);
  // A name that would lead out of its place (a host or folder of "..") takes Saved Files' top.
  if (!pathLiesInside(root, platform::standardizePath(confine))) root = files;
  return root;
}

void SFTPService::batchFolderPaths(size_t index, std::string &remote, std::string &relative) {
  std::vector<size_t> chain;
  for (size_t i = index; i != BatchFolder::kAskedFor; i = batchFolders_[i].parent)
    chain.push_back(i);
  // The server is asked by the names' bytes; the local folders take their texts.
  remote = batchFolders_[chain.back()].name;
  relative = SFTPWrapper::textOfName(platform::lastPathComponent(remote));
  for (size_t k = chain.size() - 1; k-- > 0;) {
    const std::string &name = batchFolders_[chain[k]].name;
    remote = SFTPWrapper::remotePathIn(remote, name);
    relative += "/" + SFTPWrapper::textOfName(name);
  }
}

// What one walk of a folder download carries from folder to folder.
struct SFTPService::BatchWalk {
  bool ok = true;
  std::string error = "Error Downloading Folder!";
  // The first file of the folder that was not fetched while the rest of it was (a link that leads
  // to a folder or nowhere): the folder is never reported whole without it.
  std::string notFetched;
  size_t entries = 0;
  // The local files of the folder download so far (a hash of each path): two names of the server
  // that read alike would go to one local file, and the second would take the first one's place.
  std::unordered_set<size_t> localFiles;
};

// The folder of the walk being listed.
struct SFTPService::BatchStep {
  size_t index = 0, depth = 0;
  std::string remoteFolder, relative, root, localFolder;
  bool byFileType = false;
};

void SFTPService::stopBatch(BatchWalk &walk, const std::string &why, const std::string &what) {
  logLine(why + ": " + what.substr(0, 512));
  walk.error = folderdownload::errorText(why);
  walk.ok = false;
}

bool SFTPService::takeBatchFolder(BatchStep &step) {
  std::lock_guard lock(stateMutex_);
  if (batchNext_ >= batchFolders_.size()) return false;
  step.index = batchNext_++;
  step.depth = batchFolders_[step.index].depth;
  batchFolderPaths(step.index, step.remoteFolder, step.relative);
  step.root = batchLocalRoot_;
  step.byFileType = batchByFileType_;
  step.localFolder = step.root + "/" + step.relative;
  return true;
}

bool SFTPService::listBatchFolder(const BatchStep &step,
                                  std::vector<std::shared_ptr<DirItemInfo>> &items,
                                  BatchWalk &walk) {
  if (!isSingleFileName(platform::lastPathComponent(step.relative)) ||
      !pathLiesInside(step.localFolder, step.root)) {
    stopBatch(walk, "A folder name cannot be used here", step.relative);
    return false;
  }
  // Files that go by their type make their folders as they come.
  if (!step.byFileType && !FileManager::createDirectory(step.localFolder, true)) {
    stopBatch(walk, "A local folder could not be made", step.localFolder);
    return false;
  }
  size_t listed = 0;
  if (!listFolder(step.remoteFolder, items, false, &listed)) {
    walk.ok = false;
    return false;
  }
  walk.entries += listed;
  if (walk.entries > folderdownload::kMaxEntries) {
    stopBatch(walk, folderdownload::tooManyEntries(), step.remoteFolder);
    return false;
  }
  return true;
}

bool SFTPService::queueBatchFolder(const BatchStep &step, const std::string &nameBytes,
                                   const std::string &remote, BatchWalk &walk) {
  if (step.depth + 1 > folderdownload::kMaxDepth) {
    stopBatch(walk, folderdownload::tooManyLevels(), remote);
    return false;
  }
  {
    std::lock_guard lock(stateMutex_);
    if (batchFolders_.size() < folderdownload::kMaxFolders) {
      BatchFolder found;
      found.parent = step.index;
      found.name = nameBytes;
      found.depth = step.depth + 1;
      batchFolders_.push_back(std::move(found));
      return true;
    }
  }
  stopBatch(walk, folderdownload::tooManyFolders(), remote);
  return false;
}

bool SFTPService::takeBatchEntry(const BatchStep &step, const DirItemInfo &item,
                                 std::vector<SftpBatchFile> &small, BatchWalk &walk) {
  const std::string &name = item.name();
  const std::string &nameBytes = item.nameBytes().value_or(name);
  const std::string remote = SFTPWrapper::remotePathIn(step.remoteFolder, nameBytes);
  const std::string local =
      step.byFileType && !item.isDirectory
          ? step.root + "/" + myFileType(name) + "/" + step.relative + "/" + name
          : step.localFolder + "/" + name;
  if (name.size() > folderdownload::kMaxLocalName) {
    logLine("Skipped " + remote.substr(0, 512) + "...: the name is too long for a local file");
    return true;
  }
  if (local.size() > folderdownload::kMaxLocalPath) {
    stopBatch(walk, folderdownload::kLocalPathTooLong, local);
    return false;
  }
  if (item.isDirectory) return queueBatchFolder(step, nameBytes, remote, walk);
  const std::string shown = step.relative + "/" + name;
  if (!walk.localFiles.insert(std::hash<std::string>{}(local)).second) {
    // The file whose name came first is fetched; this one is named on the folder's row.
    const std::string said =
        fileNotFetched(shown,
                       "\"" + shown +
                           "\" could not be downloaded: another file of the folder has a name "
                           "that reads the same.",
                       "");
    logLine("Not downloaded: " + remote.substr(0, 512) + ": another name reads the same");
    if (walk.notFetched.empty()) walk.notFetched = said;
    return true;
  }
  if (std::string inTheWay = folderInTheWay(local); !inTheWay.empty() && !item.isLink) {
    // The person's folder stays whole; the batch ends and says why.
    logLine("Download failed: " + remote.substr(0, 512) + ": " + inTheWay);
    walk.error = "Error Downloading Folder! " + inTheWay;
    walk.ok = false;
    return false;
  }
  if (step.byFileType && !FileManager::createDirectory(parentOf(local), true)) {
    stopBatch(walk, "A local folder could not be made", parentOf(local));
    return false;
  }
  const long long size = std::strtoll(item.size.c_str(), nullptr, 10);
  if (!item.isLink && size >= 0 && size <= kPipelinedFileMax) {
    small.push_back(SftpBatchFile(remote, local, size));
    return true;
  }
  std::string why;
  if (downloadTo(remote, local, item.isLink ? -1 : size, &why)) return true;
  const std::string said = fileNotFetched(shown, why, serverAnswerIn(sftp_->lastErrorText()));
  if (item.isLink && !sftp_->lastLocalWriteError()) {
    // A link may lead to a folder or nowhere: the folder's other files are fetched, and its row
    // says which link was not and why.
    if (walk.notFetched.empty()) walk.notFetched = said;
    return true;
  }
  // A plain file that fails ends the batch, and so does a full disk whatever the entry.
  walk.error = "Error Downloading Folder! " + said;
  walk.ok = false;
  return false;
}

void SFTPService::endBatch(BatchWalk &walk) {
  if (walk.ok && !abort_ && !walk.notFetched.empty()) {
    logLine("Not downloaded: " + walk.notFetched);
    walk.error = "Error Downloading Folder! " + walk.notFetched;
    walk.ok = false;
  }
  batchRunning_ = false;
  {
    std::lock_guard lock(stateMutex_);
    batchFolders_.clear();
    batchFolders_.shrink_to_fit();
    batchNext_ = 0;
  }
  if (walk.ok) {
    doneBatchItem();
  } else if (connected_) {
    report([error = walk.error](SFTPWrapperDelegate &d, SFTPWrapper &w) { d.dirError(w, error); });
  }
  report([](SFTPWrapperDelegate &d, SFTPWrapper &w) { d.sftpConnectionDone(w); });
}

// Lists the folders one after another: sub-folders join the list, files are fetched into the
// matching local folder; an empty list ends the batch and reports it to the queue. A server can
// list folders without end: the walk stops with a clear error where a local folder cannot be
// made, the local path would grow past the system's limit, or the folders lie deeper, or are
// more, or list more entries, than one folder download takes; a name that cannot be a local file
// is skipped with its reason logged.
void SFTPService::nextBatchDirectory() {
  Busy busy(*this);
  if (!busy) return;
  std::lock_guard op(opMutex_);
  batchRunning_ = true;
  pending_ = !connected_;
  BatchWalk walk;
  walk.ok = ensureConnected();
  BatchStep step;
  while (walk.ok && !abort_ && takeBatchFolder(step)) {
    std::vector<std::shared_ptr<DirItemInfo>> items;
    if (!listBatchFolder(step, items, walk)) break;
    // The small files of the folder, fetched together once the others are through.
    std::vector<SftpBatchFile> small;
    for (auto &item : items)
      if (!takeBatchEntry(step, *item, small, walk)) break;
    if (std::string why;
        walk.ok && !small.empty() && !downloadFolderFiles(small, step.relative, &why)) {
      if (!why.empty()) walk.error = "Error Downloading Folder! " + why;
      walk.ok = false;
    }
  }
  endBatch(walk);
}

bool SFTPService::downloadFolderFiles(std::vector<SftpBatchFile> &files,
                                      const std::string &relative, std::string *why) {
  {
    std::lock_guard lock(stateMutex_);
    lastOperationDir_ = parentOf(files.front().remote);
  }
  // Each into a partial file of its own beside its target, renamed into place once whole.
  std::vector<std::string> targets;
  targets.reserve(files.size());
  for (auto &f : files) {
    targets.push_back(f.local);
    f.local = partialPathFor(f.remote, f.local);
  }
  bool failed = false;
  sftp_->DownloadFiles(files, kFilesInFlight, [&](size_t i) {
    auto &f = files[i];
    if (f.ok) {
      // Only a file is replaced: a folder that came under the name meanwhile stays whole.
      if (auto placed = putPartialFileInPlace(f.local, targets[i]); !placed) {
        f.ok = false;
        f.error = folderInTheWay(targets[i]);
        if (f.error.empty()) f.error = placed.error() + ".";
        if (why) *why = f.error;
      }
    }
    if (f.ok) {
      // The row shows each file whole, as when the files come one by one.
      progress_->start(f.size);
      progress_->finish();
      logLine("Downloaded " + f.remote);
    } else {
      FileManager::removeItem(f.local);
      if (f.localErrno && why) *why = localWriteProblem(f.localErrno);
      if (why && why->empty())
        *why = fileNotFetched(relative + "/" +
                                  SFTPWrapper::textOfName(platform::lastPathComponent(f.remote)),
                              "", f.error);
      logLine("Download failed: " + f.remote + ": " + f.error);
      failed = true;
    }
    return !failed && !abort_;
  });
  // A file that never ended (the connection went, or the batch was stopped) fails the folder.
  for (auto &f : files)
    if (!f.ok) failed = true;
  return !failed;
}

void SFTPService::doneBatchItem() {
  const int key = batchPK();
  if (key < 0 || mainConnection()) return;
  setBatchPK(-1);
  const BatchObject object{key, 0, 0};
  platform::dispatchAsyncMain([object] {
    if (auto s = FTPAppServices::shared())
      if (auto q = s->batchView()) q->doneBatchItemObject(object);
  });
}
