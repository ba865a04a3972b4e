#include "app/sharing/WebServer.h"

#include "app/foundation/DirItemInfo.h"
#include "app/foundation/Globals.h"
#include "app/foundation/Scrambler.h"
#include "app/foundation/SettingsKeys.h"
#include "app/foundation/StringUtils.h"
#include "app/sharing/ConnectionLimit.h"
#include "app/sharing/SharingHost.h"

#include "platform/device/Application.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/DateFormatter.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Text.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <unordered_map>

using platform::appendPathComponent;
using platform::FileManager;
using namespace platform::net;

namespace {

// Bytes read or copied at a time: large blocks keep system calls and events few per byte.
constexpr size_t kBlock = 256 * 1024;
// Files up to this size are sent with their header, in one write.
constexpr int64_t kInlineFile = 32 * 1024;
// Reads of the request per bytes-available event.
constexpr size_t kReadBlock = 64 * 1024;
// Writes per can-accept event before the handler lets other connections have the loop. Each
// write copies at most the stream's buffer (64 KiB): with hundreds of clients taking big pages, a
// turn of the loop stays short, and the screens (which share it) answer between turns.
constexpr int kWritesPerEvent = 8;
const char *const kServerName = "Ferrowen";
const char *const kServerVersion = "3.0";
const char *const kWebServerLogsKey = "WebServerLogs";

std::set<std::shared_ptr<WebServer>> &liveServers() {
  static std::set<std::shared_ptr<WebServer>> servers;
  return servers;
}

platform::UserDefaults &settings() {
  return globalUserDefaults ? *globalUserDefaults : platform::UserDefaults::standard();
}

std::string setting(const char *key) {
  return settings().stringForKey(key).value_or("");
}

std::string documentsFolder(const char *name) {
  return appendPathComponent(platform::Paths::documents(), name);
}

// Dates to the second. Under load the same few seconds are written again and again (each reply's
// date and expiry, a file's modification), so the last few texts are kept.
std::string httpDate(platform::WallTime when) {
  static const platform::DateFormatter fallback("EEE, dd MMM yyyy HH:mm:ss",
                                                platform::TimeZone::GMT);
  const platform::DateFormatter *format = dateFormatHTTP ? dateFormatHTTP.get() : &fallback;
  const auto second = std::chrono::floor<std::chrono::seconds>(when.time_since_epoch()).count();
  struct Known {
    const platform::DateFormatter *format = nullptr;
    long long second = 0;
    std::string text;
  };
  thread_local std::array<Known, 4> known;
  thread_local size_t next = 0;
  for (const auto &k : known)
    if (k.format == format && k.second == second && !k.text.empty()) return k.text;
  Known &slot = known[next];
  next = (next + 1) % known.size();
  slot = {format, second, format->stringFromDate(when)};
  return slot.text;
}

std::string httpLogDate(platform::WallTime when) {
  if (dateFormatHTTPLog) return dateFormatHTTPLog->stringFromDate(when);
  static const platform::DateFormatter format("dd/MMM/yyyy:HH:mm:ss", platform::TimeZone::GMT);
  return format.stringFromDate(when);
}

// The status line's reason: each status its own, never "OK" for a failure.
const char *reasonPhrase(int code) {
  switch (code) {
  case 200:
    return "OK";
  case 206:
    return "Partial Content";
  case 301:
    return "Moved Permanently";
  case 400:
    return "Bad Request";
  case 401:
    return "Unauthorized";
  case 403:
    return "Forbidden";
  case 404:
    return "Not Found";
  case 411:
    return "Length Required";
  case 413:
    return "Payload Too Large";
  case 416:
    return "Range Not Satisfiable";
  case 500:
    return "Internal Server Error";
  case 501:
    return "Not Implemented";
  case 503:
    return "Service Unavailable";
  default:
    return code < 300   ? "OK"
           : code < 400 ? "Redirection"
           : code < 500 ? "Client Error"
                        : "Server Error";
  }
}

// The process (or the system) has no descriptor left to open a file or a folder with.
bool isDescriptorShortage(int error) {
  return error == EMFILE || error == ENFILE;
}

// An error is answered afresh every time: a cached "404" would outlive the upload of the file.
constexpr const char *kNoStore = "Cache-Control: no-store\r\n";

void serverIsActive() {
  if (auto host = SharingHost::current()) host->serverIsActive();
}

void incrementBadLogins() {
  if (auto host = SharingHost::current()) host->incrementBadLogins();
}

void savedFilesChanged() {
  sharing::SharedListing::shared().filesChanged();
  if (auto host = SharingHost::current()) host->reloadSavedFilesScreen();
}

// The largest request body the server can take for `requestPath`: what the disk it names in
// Saved Files (else the disk of Saved Files) holds in all.
int64_t largestBody(const std::string &requestPath) {
  struct statvfs disk {};
  const std::string files = documentsFolder("Files");
  const auto local = webLocalPath(files, requestPath);
  if ((!local || ::statvfs(local->c_str(), &disk) != 0) && ::statvfs(files.c_str(), &disk) != 0 &&
      ::statvfs(platform::Paths::documents().c_str(), &disk) != 0)
    return INT64_MAX;
  const uint64_t block = disk.f_frsize, blocks = disk.f_blocks;
  if (block != 0 && blocks > uint64_t(INT64_MAX) / block) return INT64_MAX;
  return int64_t(blocks * block);
}

struct FileFacts {
  bool isDirectory = false;
  int64_t size = 0;
  platform::WallTime modified{};
};

FileFacts factsOf(const struct stat &st) {
  FileFacts facts;
  facts.isDirectory = S_ISDIR(st.st_mode);
  facts.size = static_cast<int64_t>(st.st_size);
  facts.modified = platform::wallTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  return facts;
}

// Facts of the item a path names, symbolic links followed.
std::optional<FileFacts> statPath(const std::string &path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return factsOf(st);
}

// Nothing under a "PrivateKeys" folder leaves the device through the web server.
bool isPrivatePath(std::string_view path) {
  return platform::containsCaseInsensitive(path, "PrivateKeys");
}

// The same, and also when a symbolic link inside Saved Files (unpacked from an archive, say)
// names the keys folder or a key by another name: the item, or for a missing one the nearest
// folder above it, is looked at with every link followed. `known`: the real paths webLocalPath
// found for this item in Saved Files, when it was asked.
bool isPrivateItem(const std::string &path, const WebRealPaths *known = nullptr) {
  if (isPrivatePath(path)) return true;
  std::optional<std::string> realRoot, real;
  if (known && !known->root.empty() && !known->item.empty()) {
    realRoot = known->root;
    real = known->item;
  } else {
    realRoot = FileManager::realPath(documentsFolder("Files"));
    if (!realRoot) return false;
    std::string probe = path;
    while (!(real = FileManager::realPath(probe)) && probe != "/" && !probe.empty())
      probe = platform::deleteLastPathComponent(probe);
  }
  if (!real || real->size() <= realRoot->size() || real->compare(0, realRoot->size(), *realRoot) ||
      (*real)[realRoot->size()] != '/')
    return false;
  return isPrivatePath(std::string_view(*real).substr(realRoot->size()));
}

// Replaces each "**NAME**" placeholder of a template in one pass, so text put in for one
// placeholder is never searched for another. A placeholder that stands right after `="` or `='`
// is inside an attribute: it gets the value for links.
struct Placeholder {
  const char *name;
  std::string text;
  std::string link;
};

std::string fillTemplate(const std::string &page, const std::vector<Placeholder> &values) {
  std::string out;
  out.reserve(page.size());
  size_t i = 0;
  while (i < page.size()) {
    bool replaced = false;
    if (page.compare(i, 2, "**") == 0) {
      for (const auto &value : values) {
        const std::string token = std::string("**") + value.name + "**";
        if (page.compare(i, token.size(), token) != 0) continue;
        const bool inAttribute =
            i >= 2 && (page[i - 1] == '"' || page[i - 1] == '\'') && page[i - 2] == '=';
        out += inAttribute ? value.link : value.text;
        i += token.size();
        replaced = true;
        break;
      }
    }
    if (!replaced) out += page[i++];
  }
  return out;
}

// The icons that folder pages name for files live with the templates. The start-up writes the
// folder and generic icons there; the per-type icons are copied from the resources when missing,
// so no page names an icon that is not there.
void ensureIcon(const std::string &webFolder, const std::string &name) {
  const std::string target = appendPathComponent(webFolder, name);
  if (FileManager::fileExists(target)) return;
  FileManager::createDirectory(webFolder, true);
  FileManager::copyItem(appendPathComponent(platform::Paths::resources(), name), target);
}

std::atomic<unsigned> uploadCounter{0};

// The content type of a file, remembered by the end of its name that decides it (the table is
// searched as text): for "x.tar.old" the ".tar.old", for "x.jpg" the ".jpg", else the name.
std::string contentTypeOf(const std::string &path) {
  thread_local std::string resources;
  thread_local std::unordered_map<std::string, std::string> known;
  const std::string &now = platform::Paths::resources();
  if (now != resources || known.size() >= 256) {
    known.clear();
    resources = now;
  }
  const size_t slash = path.rfind('/');
  std::string_view name(path);
  if (slash != std::string::npos) name.remove_prefix(slash + 1);
  size_t dot = name.rfind('.');
  if (dot != std::string_view::npos && dot > 0 &&
      platform::lowercase(name.substr(dot + 1)) == "old") {
    const size_t before = name.rfind('.', dot - 1);
    dot = before == std::string_view::npos ? 0 : before;
  }
  const std::string key(dot == std::string_view::npos ? name : name.substr(dot));
  auto it = known.find(key);
  if (it == known.end()) it = known.emplace(key, myMimeType(path)).first;
  return it->second;
}

// The temporary files of the uploads now arriving (main thread only).
std::set<std::string> &uploadPiecesInProgress() {
  static std::set<std::string> pieces;
  return pieces;
}

// A request path for links and locations: doubled slashes collapsed, since a link that starts
// with "//" names another host (a request for "//elsewhere/../" would otherwise send the upload
// form there).
std::string singleSlashes(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  for (const char c : path)
    if (c != '/' || out.empty() || out.back() != '/') out += c;
  return out;
}

// The rows of a folder's page, made in steps: the entries are looked at, sorted as
// DirItemInfo::compareByName sorts them (folders first, then the names in the user's collation)
// by a merge sort whose sorted runs and merges are steps of their own, then written.
class FolderRows final : public sharing::ListingMaker {
public:
  FolderRows(std::string folder, std::string web)
      : folder_(std::move(folder)), web_(std::move(web)) {}
  ~FolderRows() override { closeFolder(); }
  FolderRows(const FolderRows &) = delete;
  FolderRows &operator=(const FolderRows &) = delete;

  bool step() override {
    constexpr size_t kLook = sharing::SharedListing::kEntriesPerStep;
    switch (phase_) {
    case Phase::Read:
      if (auto names = FileManager::contentsOfDirectory(folder_)) {
        names_ = std::move(*names);
      } else if (const int error = errno; isDescriptorShortage(error)) {
        failure_ = error;
        phase_ = Phase::Done;
        return true;
      }
      // Without a descriptor to spare, each entry is looked at by its path.
      dir_ = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      entries_.reserve(names_.size());
      phase_ = Phase::Look;
      [[fallthrough]];
    case Phase::Look:
      for (const size_t end = std::min(names_.size(), next_ + kLook); next_ < end; ++next_)
        look(names_[next_]);
      if (next_ < names_.size()) return false;
      names_ = {};
      closeFolder();
      order_.resize(entries_.size());
      for (uint32_t i = 0; i < order_.size(); ++i)
        order_[i] = i;
      next_ = 0;
      phase_ = Phase::SortRuns;
      [[fallthrough]];
    case Phase::SortRuns:
      for (int runs = 0; runs < 4 && next_ < order_.size(); ++runs, next_ += kRun)
        std::stable_sort(order_.begin() + long(next_),
                         order_.begin() + long(std::min(order_.size(), next_ + kRun)), less());
      if (next_ < order_.size()) return false;
      next_ = 0;
      width_ = kRun;
      merged_.resize(order_.size());
      phase_ = Phase::Merge;
      [[fallthrough]];
    case Phase::Merge:
      for (size_t moved = 0; width_ < order_.size() && moved < 16 * kLook;) {
        const size_t lo = next_, mid = std::min(order_.size(), lo + width_),
                     hi = std::min(order_.size(), lo + 2 * width_);
        std::merge(order_.begin() + long(lo), order_.begin() + long(mid),
                   order_.begin() + long(mid), order_.begin() + long(hi),
                   merged_.begin() + long(lo), less());
        moved += hi - lo;
        next_ = hi;
        if (next_ >= order_.size()) {
          order_.swap(merged_);
          width_ *= 2;
          next_ = 0;
        }
      }
      if (width_ < order_.size()) return false;
      merged_ = {};
      phase_ = Phase::Write;
      [[fallthrough]];
    case Phase::Write:
      for (const size_t end = std::min(order_.size(), next_ + 2 * kLook); next_ < end; ++next_)
        write(entries_[order_[next_]]);
      if (next_ < order_.size()) return false;
      phase_ = Phase::Done;
      [[fallthrough]];
    case Phase::Done:
      break;
    }
    return true;
  }

  int failure() const override { return failure_; }
  std::string take() override {
    if (rows_.capacity() > rows_.size() + rows_.size() / 4) rows_.shrink_to_fit();
    return std::move(rows_);
  }

private:
  static constexpr size_t kRun = 256;
  enum class Phase { Read, Look, SortRuns, Merge, Write, Done };
  struct Entry {
    std::string name;
    int64_t size = 0;
    bool isDirectory = false;
    uint8_t icon = 0; // in icons_
  };

  // The icon of a file follows from the end of its name (DirItemInfo's classification), looked
  // up once per kind of name.
  uint8_t iconFor(const std::string &name) {
    std::string kind = myFileType(name);
    for (const char *tar : {".tar.gz", ".tar.bz2", ".tar.z"})
      if (platform::hasSuffixCaseInsensitive(name, tar)) kind += std::string("\n") + tar;
    if (auto known = iconOfKind_.find(kind); known != iconOfKind_.end()) return known->second;
    probe_.setName(name);
    const std::string icon = probe_.imageNameForType();
    auto at = std::find(icons_.begin(), icons_.end(), icon);
    if (at == icons_.end()) {
      ensureIcon(web_, icon);
      at = icons_.insert(icons_.end(), icon);
    }
    // Names of endless kinds (a file type is any text after a dot) are not all kept.
    const auto index = uint8_t(at - icons_.begin());
    if (iconOfKind_.size() < 4096) iconOfKind_.emplace(std::move(kind), index);
    return index;
  }

  struct Less {
    const std::vector<Entry> *entries;
    bool operator()(uint32_t a, uint32_t b) const {
      const Entry &x = (*entries)[a], &y = (*entries)[b];
      if (x.isDirectory != y.isDirectory) return x.isDirectory;
      return platform::localizedCaseInsensitiveCompare(x.name, y.name) < 0;
    }
  };
  Less less() const { return {&entries_}; }

  // Each entry is looked at through the folder's descriptor: no path is walked again per entry.
  void look(const std::string &name) {
    const int at = dir_ >= 0 ? dir_ : AT_FDCWD;
    const std::string where = dir_ >= 0 ? name : folder_ + "/" + name;
    struct stat own {};
    struct stat followed {};
    if (::fstatat(at, where.c_str(), &own, AT_SYMLINK_NOFOLLOW) != 0) return;
    std::optional<FileFacts> target;
    if (!S_ISLNK(own.st_mode))
      target = factsOf(own);
    else if (::fstatat(at, where.c_str(), &followed, 0) == 0)
      target = factsOf(followed);
    Entry entry;
    entry.name = name;
    entry.size = target ? target->size : int64_t(own.st_size);
    // A link counts as a folder when it leads to one.
    entry.isDirectory =
        S_ISDIR(own.st_mode) || (S_ISLNK(own.st_mode) && target && target->isDirectory);
    if (!entry.isDirectory) entry.icon = iconFor(name);
    rowBytes_ += 190 + 3 * entry.name.size();
    entries_.push_back(std::move(entry));
  }

  void write(const Entry &item) {
    if (rows_.empty()) rows_.reserve(rowBytes_);
    const std::string link = webHTMLEscape(webURLEncode(item.name));
    // The link names the entry by its bytes; the text shows what they read as.
    const std::string text = webHTMLEscape(webShownText(item.name));
    if (item.isDirectory) {
      rows_ += "<tr class='stdrow1'><td class='view'><a href='" + link +
               "/'><img src='/dir.png' width=24 height=24 /></a></td>";
      rows_ += "<td class='desc'><a href='" + link + "/'>" + text + "</a></td>";
      rows_ += "<td class='size'></td></tr>\r\n";
    } else {
      rows_ += "<tr class='stdrow1'><td class='view'><a href='" + link + "'><img src='/" +
               webHTMLEscape(icons_[item.icon]) + "' width=24 height=24 /></a></td>";
      rows_ += "<td class='desc'><a href='" + link + "'>" + text + "</a></td>";
      rows_ +=
          "<td class='size'>" + webHTMLEscape(myFileSize(double(item.size))) + "</td></tr>\r\n";
    }
  }

  void closeFolder() {
    if (dir_ >= 0) ::close(dir_);
    dir_ = -1;
  }

  std::string folder_, web_;
  int dir_ = -1;
  Phase phase_ = Phase::Read;
  std::vector<std::string> names_;
  std::vector<Entry> entries_;
  std::vector<uint32_t> order_, merged_;
  std::vector<std::string> icons_;
  std::unordered_map<std::string, uint8_t> iconOfKind_;
  DirItemInfo probe_;
  size_t next_ = 0, width_ = 0, rowBytes_ = 0;
  std::string rows_;
  int failure_ = 0;
};

} // namespace

// --- Life ---------------------------------------------------------------------------------------

WebServer::WebServer()
    : idle_(kIdleLimit,
            [this] {
              platform::Log::debug("WebServer: closing a client that made no progress in time");
              disconnectFromClient();
            }),
      rate_([this] { requestTooSlow(); }) {}

// Without an answer, as for a client that stalls: it is not reading what we would say.
void WebServer::requestTooSlow() {
  if (iTask == kTaskReplying) return;
  platform::Log::debug("WebServer: closing a client whose request came too slowly");
  disconnectFromClient();
}

WebServer::~WebServer() {
  if (readStreamSendFile) readStreamSendFile->close();
  dropSaveFile();
}

size_t WebServer::liveCount() {
  return liveServers().size();
}

void WebServer::disconnectAll() {
  const auto servers = liveServers();
  for (const auto &server : servers)
    server->disconnectFromClient();
}

void WebServer::didAcceptConnectionForServer(TCPServer &server,
                                             std::shared_ptr<SocketInputStream> in,
                                             std::shared_ptr<SocketOutputStream> out) {
  if (readStream || writeStream || !in || !out) return;
  if (liveServers().size() >= kMaxConnections) {
    const std::vector<std::shared_ptr<WebServer>> holders(liveServers().begin(),
                                                          liveServers().end());
    std::vector<PlaceHolder> places;
    for (const auto &h : holders)
      places.push_back(
          {peerIPv4Address(h->fromAddress), h->iTask != kTaskReadingHead, h->idle_.lastProgress()});
    const size_t victim = placeToFree(places, peerIPv4Address(server.peer()));
    if (victim >= holders.size()) {
      platform::Log::debug("WebServer: a connection over the limit refused");
      const std::string text = "Too many connections. Please try again later.";
      refuseConnection(std::move(in), std::move(out), replyHeader(503, text.size(), "") + text);
      return;
    }
    platform::Log::debug("WebServer: a connection makes room for a client of another address");
    holders[victim]->disconnectFromClient();
  }
  iTask = kTaskReadingHead;
  httpOperationLine.clear();
  httpOperation.clear();
  httpObject.reset();
  httpCGI.reset();
  authLine.clear();
  readStream = std::move(in);
  writeStream = std::move(out);
  fromAddress = server.peer();
  liveServers().insert(shared_from_this());
  registered_ = true;
  idle_.start();
  rate_.start(kHeadLimit, kHeadLimitMost, kMinRate);

  const std::weak_ptr<WebServer> weak = weak_from_this();
  readStream->setClient(StreamEventOpenCompleted | StreamEventHasBytesAvailable |
                            StreamEventErrorOccurred | StreamEventEndEncountered,
                        [weak](StreamEvent event) {
                          if (auto self = weak.lock()) self->handleReadEvent(event);
                        });
  writeStream->setClient(StreamEventOpenCompleted | StreamEventCanAcceptBytes |
                             StreamEventErrorOccurred | StreamEventEndEncountered,
                         [weak](StreamEvent event) {
                           if (auto self = weak.lock()) self->handleWriteEvent(event);
                         });
  const auto loop = platform::RunLoop::current();
  readStream->scheduleWithRunLoop(loop);
  writeStream->scheduleWithRunLoop(loop);
  if (!readStream->open() || !writeStream->open()) disconnectFromClient();
}

void WebServer::disconnectFromClient() {
  idle_.stop();
  rate_.stop();
  platform::Application::shared().setNetworkActivityIndicatorVisible(false);
  for (const auto &stream : {std::static_pointer_cast<SocketStream>(readStream),
                             std::static_pointer_cast<SocketStream>(writeStream)}) {
    if (!stream) continue;
    stream->setClient(0, nullptr);
    stream->unscheduleFromRunLoop();
  }
  if (readStream) readStream->close();
  if (writeStream) writeStream->close();
  readStream.reset();
  writeStream.reset();
  if (readStreamSendFile) readStreamSendFile->close();
  readStreamSendFile.reset();
  // An upload cut off with its connection leaves nothing behind.
  dropSaveFile();
  multipart_.reset();
  httpObject.reset();
  httpCGI.reset();
  dataRead.clear();
  dataToWrite.clear();
  dataToWriteSendFile.clear();
  pageParts_.clear();
  if (registered_) {
    registered_ = false;
    // The object may be in one of its own calls: it goes once that call has returned.
    auto self = shared_from_this();
    liveServers().erase(self);
    platform::RunLoop::current()->perform([self] {});
  }
}

std::string WebServer::popLineFromData(Bytes &buffer) {
  return ::popLineFromData(buffer);
}

// --- Reading -----------------------------------------------------------------------------------

void WebServer::handleReadEvent(StreamEvent event) {
  if (!readStream) return;
  switch (event) {
  case StreamEventHasBytesAvailable: {
    serverIsActive();
    static uint8_t buffer[kReadBlock]; // main thread only
    const long n = readStream->read(buffer, sizeof buffer);
    if (n < 0) {
      disconnectFromClient();
      return;
    }
    // While the reply goes out, whatever else the client sends is not kept.
    if (iTask == kTaskReplying) return;
    dataRead.insert(dataRead.end(), buffer, buffer + n);
    if (dataRead.empty()) return;
    if (iTask == kTaskReadingHead) rate_.add(size_t(n));
    // The head's time runs from the connection; after it, every piece of the body is progress.
    if (iTask == kTaskReadingBody) idle_.touch();
    if (iTask == kTaskReadingHead) parseHTMLHeader();
    if (iTask == kTaskReadingBody) parseFormData();
    break;
  }
  case StreamEventEndEncountered:
    platform::Log::debug("Received Stream End");
    // A client that only finished sending still gets its reply.
    if (iTask == kTaskReplying) {
      readStream->setClient(0, nullptr);
      return;
    }
    disconnectFromClient();
    break;
  case StreamEventErrorOccurred:
    platform::Log::debugf("WebServer stream error: %s", readStream->error().text.c_str());
    disconnectFromClient();
    break;
  case StreamEventOpenCompleted:
    break;
  default:
    platform::Log::debugf("Received unexpected WebServer stream event %d", int(event));
  }
}

void WebServer::doHandleReadEvent() {
  handleReadEvent(StreamEventHasBytesAvailable);
}

void WebServer::parseHTMLHeader() {
  const auto status = requestParser_.parse(dataRead);
  if (status == WebRequestParser::Status::NeedMore) return;
  idle_.touch();
  takeRequestHead(requestParser_.head());
  const WebRequestHead &head = requestParser_.head();
  // Without a length it can trust, the server cannot tell where the body ends (nor where another
  // request would begin); a body larger than the disk could never be stored. Both are answered at
  // once, before the body is waited for.
  int refusal = 0;
  if (status == WebRequestParser::Status::TooLarge || head.contentLengthInvalid || head.malformed)
    refusal = 400;
  else if (head.hasContentLength && head.contentLength > 0 &&
           head.contentLength > largestBody(httpObject.value_or("")))
    refusal = 413;
  if (refusal != 0) {
    iTask = kTaskReplying;
    dataRead.clear();
    sendHTMLReplyHeaderCode(refusal, refusal == 413 ? "The body is larger than the disk can hold."
                                                    : "Bad Request");
    return;
  }
  dispatchRequest();
}

void WebServer::takeRequestHead(const WebRequestHead &head) {
  httpOperationLine = head.httpOperationLine;
  httpOperation = head.httpOperation;
  httpObject = head.httpObject;
  httpCGI = head.httpCGI;
  authLine = head.authLine;
  cookieLine = head.cookieLine;
  userAgent = head.userAgent;
  contentLength = head.contentLength;
  multipartBoundary = head.multipartBoundary;
}

void WebServer::dispatchRequest() {
  const std::string user = setting(kFileShareUserKey);
  const std::string scrambled = setting(kFileSharePassKey);
  if (!user.empty() || !scrambled.empty()) {
    const std::string password = myDecryptString1(scrambled);
    if (authLine.empty() || !basicCredentialsMatch(authLine, user, password)) {
      // Asking is free; a wrong answer counts towards the limit of the hosting.
      if (!authLine.empty()) incrementBadLogins();
      iTask = kTaskReplying;
      dataRead.clear();
      sendHTMLReplyHeaderCode(401, "Login Required!");
      return;
    }
  }

  if (httpOperation == "GET") {
    iTask = kTaskReplying;
    dataRead.clear();
    if (httpObject && !httpObject->empty() && httpObject->back() == '/')
      makeDirectoryListing();
    else
      sendHttpObjectFileHeaderCode(200);
  } else if (httpOperation == "POST") {
    if (!requestParser_.head().hasContentLength) {
      // Without a length the end of the body cannot be known (no chunked bodies in HTTP/1.0).
      iTask = kTaskReplying;
      dataRead.clear();
      sendHTMLReplyHeaderCode(411, "Length Required");
      return;
    }
    iTask = kTaskReadingBody;
    rate_.start(kBodyLimit, platform::Duration::max(), kMinRate);
    beginUpload();
    parseFormData();
  } else {
    iTask = kTaskReplying;
    dataRead.clear();
    sendHTMLReplyHeaderCode(501, "Not Implemented");
  }
}

// --- Uploads -----------------------------------------------------------------------------------

void WebServer::beginUpload() {
  totalBytesRead = 0;
  uploadFailed_ = false;
  uploadFailure_.clear();
  inDataContents = false;
  multipart_.reset();
  if (multipartBoundary.empty()) return;
  WebMultipartParser::Handler handler;
  handler.partBegins = [this](const std::string &name) { uploadPartBegins(name); };
  handler.partData = [this](const uint8_t *data, size_t size) { uploadPartData(data, size); };
  handler.partEnds = [this](bool complete) { uploadPartEnds(complete); };
  multipart_ = std::make_unique<WebMultipartParser>(multipartBoundary, std::move(handler));
}

void WebServer::parseFormData() {
  if (iTask != kTaskReadingBody) return;
  const int64_t wanted = contentLength - totalBytesRead;
  const size_t n = static_cast<size_t>(std::min<int64_t>(wanted, int64_t(dataRead.size())));
  if (n > 0) {
    rate_.add(n);
    if (multipart_) multipart_->feed(dataRead.data(), n);
    totalBytesRead += int64_t(n);
    dataRead.erase(dataRead.begin(), dataRead.begin() + static_cast<std::ptrdiff_t>(n));
  }
  if (totalBytesRead < contentLength) return;
  // Bytes past the announced length are not part of the request.
  dataRead.clear();
  if (multipart_) multipart_->finish();
  multipart_.reset();
  iTask = kTaskReplying;
  rate_.stop();
  if (uploadFailed_)
    sendUploadFailure();
  else
    makeDirectoryListing();
}

void WebServer::uploadFails(std::string reason) {
  if (!uploadFailed_) uploadFailure_ = std::move(reason);
  uploadFailed_ = true;
}

// The page says what went wrong and leads back to the folder the upload was for.
void WebServer::sendUploadFailure() {
  const std::string folder = singleSlashes(httpObject.value_or("/"));
  const std::string link = webHTMLEscape(webURLEncode(folder.empty() ? "/" : folder, true));
  const std::string reason =
      uploadFailure_.empty() ? std::string("The file could not be stored.") : uploadFailure_;
  const std::string page = "<html><head><title>Upload Failed</title></head><body>"
                           "<h1>Upload Failed</h1><p>" +
                           webHTMLEscape(reason) + "</p><p><a href='" + link +
                           "'>Back to the folder</a></p></body></html>";
  sendHTMLReplyHeaderCode(500, page);
}

void WebServer::uploadPartBegins(const std::string &fileName) {
  dropSaveFile();
  inDataContents = true;
  contentDispositionFileName = fileName;
  // A part that names no file (a form field, an empty file chooser) is read and dropped.
  if (fileName.empty()) return;
  const std::string files = documentsFolder("Files");
  FileManager::createDirectory(files, true);
  const auto target = webLocalPath(files, httpObject.value_or("") + "/" + fileName);
  const std::string folder = target ? platform::deleteLastPathComponent(*target) : "";
  // The piece of another upload still arriving is not a target: renaming over it would hand
  // this part's content to that upload's file.
  // The file is named by the bytes the client sent; the page says what they read as.
  const std::string quoted = "\"" + webShownText(fileName) + "\"";
  if (!target || fileName == "." || fileName == "..")
    return uploadFails("The name " + quoted + " cannot be used for a file here.");
  if (!FileManager::isDirectory(folder))
    return uploadFails("The folder to store " + quoted + " in does not exist.");
  if (FileManager::isDirectory(*target))
    return uploadFails("A folder named " + quoted + " is in the way.");
  if (uploadPiecesInProgress().count(*target))
    return uploadFails("Another upload of " + quoted + " is in progress.");
  // Written beside its target under a name of its own (never one that is taken), and renamed
  // into place when complete.
  std::string tempPath;
  do {
    char temp[64];
    std::snprintf(temp, sizeof temp, ".upload-%ld-%u.part", long(::getpid()), ++uploadCounter);
    tempPath = appendPathComponent(folder, temp);
  } while (FileManager::attributesOfItem(tempPath) || uploadPiecesInProgress().count(tempPath));
  saveFileTempPath_ = tempPath;
  uploadPiecesInProgress().insert(tempPath);
  saveFilePath_ = *target;
  writeStreamSaveFile = std::make_unique<FileOutputStream>(saveFileTempPath_);
  if (!writeStreamSaveFile->open()) {
    platform::Log::debugf("WebServer cannot write %s: %s", saveFileTempPath_.c_str(),
                          writeStreamSaveFile->error().text.c_str());
    const std::string why = writeStreamSaveFile->error().text;
    dropSaveFile();
    return uploadFails(quoted + " could not be stored: " + why + ".");
  }
  if (isPrivateItem(*target)) protectFile(saveFileTempPath_);
}

void WebServer::uploadPartData(const uint8_t *data, size_t size) {
  if (!writeStreamSaveFile) return;
  if (writeStreamSaveFile->write(data, size) != long(size)) {
    platform::Log::debugf("WebServer write failed: %s", writeStreamSaveFile->error().text.c_str());
    const std::string why = writeStreamSaveFile->error().text;
    dropSaveFile();
    uploadFails("\"" + webShownText(contentDispositionFileName) + "\" could not be stored: " + why +
                ".");
  }
}

void WebServer::uploadPartEnds(bool complete) {
  inDataContents = false;
  if (!writeStreamSaveFile) return;
  const std::string quoted = "\"" + webShownText(contentDispositionFileName) + "\"";
  if (!complete) {
    dropSaveFile();
    return uploadFails(quoted + " did not arrive whole.");
  }
  writeStreamSaveFile->close();
  const bool failed = writeStreamSaveFile->status() == StreamStatus::Error;
  const std::string closeError = writeStreamSaveFile->error().text;
  writeStreamSaveFile.reset();
  uploadPiecesInProgress().erase(saveFileTempPath_);
  const bool renamed =
      !failed && std::rename(saveFileTempPath_.c_str(), saveFilePath_.c_str()) == 0;
  if (!renamed) {
    const std::string why = failed ? closeError : std::string(std::strerror(errno));
    ::unlink(saveFileTempPath_.c_str());
    saveFileTempPath_.clear();
    return uploadFails(quoted + " could not be stored: " + why + ".");
  }
  saveFileTempPath_.clear();
  savedFilesChanged();
}

void WebServer::dropSaveFile() {
  if (writeStreamSaveFile) {
    writeStreamSaveFile->close();
    writeStreamSaveFile.reset();
  }
  if (!saveFileTempPath_.empty()) {
    ::unlink(saveFileTempPath_.c_str());
    uploadPiecesInProgress().erase(saveFileTempPath_);
  }
  saveFileTempPath_.clear();
}

// --- Pages and files ---------------------------------------------------------------------------

void WebServer::makeDirectoryListing() {
  const std::string files = documentsFolder("Files");
  const std::string web = documentsFolder("WebServer");
  WebRealPaths real;
  const auto folder = webLocalPath(files, httpObject.value_or(""), &real);
  const auto facts = folder ? statPath(*folder) : std::nullopt;
  if (!facts || !facts->isDirectory) {
    sendHTMLReplyHeaderCode(404, "File Not Found");
    return;
  }

  // Layout: simple for phones, the PC layout for other browsers when its template exists; a
  // cookie can choose, a query chooses (and sets the cookie).
  bool simple = true;
  if (!myContains(userAgent, "iPhone OS") &&
      FileManager::fileExists(appendPathComponent(web, "header-pc.html")))
    simple = false;
  const std::string query = httpCGI.value_or("");
  if (query.empty()) {
    if (myContains(cookieLine, "simple=no")) simple = false;
    if (myContains(cookieLine, "simple=yes")) simple = true;
  } else {
    if (myContains(query, "simple=no")) simple = false;
    if (myContains(query, "simple=yes")) simple = true;
  }

  const std::string path = httpObject.value_or("");
  const std::string phoneName = setting(kiPhoneNameKey);
  const std::string up =
      characterCount(path) < 2
          ? "<img src='/blank.png' width=24 height=24 />"
          : "<a href='..'><img src='/left-arrow24.png' width=24 height=24 /></a>";
  const std::vector<Placeholder> values = {
      {"APPNAME", "Ferrowen", "Ferrowen"},
      {"APPURL", "ferrowen", "ferrowen"},
      {"TITLE", "Ferrowen", "Ferrowen"},
      {"IPHONENAME", webHTMLEscape(phoneName), webHTMLEscape(webURLEncode(phoneName))},
      {"PATH", webHTMLEscape(webShownText(path)),
       webHTMLEscape(webURLEncode(singleSlashes(path), true))},
      {"UP", up, up},
  };
  int shortage = 0; // a template there but not read for want of a descriptor
  auto readTemplate = [&](const char *name) {
    auto text = FileManager::stringContentsAtPath(appendPathComponent(web, name));
    if (!text && isDescriptorShortage(errno)) shortage = errno;
    return text.value_or("");
  };
  std::string head = fillTemplate(readTemplate(simple ? "header.html" : "header-pc.html"), values);
  std::string foot = fillTemplate(readTemplate(simple ? "footer.html" : "footer-pc.html"), values);
  if (shortage != 0) return sendShortOfDescriptors(shortage);
  if (isPrivateItem(*folder, &real)) {
    sendPage(head, nullptr, foot);
    return;
  }
  // The rows are the same for every request of this folder: made once for those that come
  // together, a slice at a time.
  const std::weak_ptr<WebServer> weak = weak_from_this();
  sharing::SharedListing::shared().request(
      "page\n" + *folder, *folder, platform::WallTime{},
      [folder = *folder, web] { return std::make_unique<FolderRows>(folder, web); },
      [weak, head = std::move(head), foot = std::move(foot)](sharing::SharedText rows,
                                                             int failure) {
        auto self = weak.lock();
        if (!self || !self->writeStream) return;
        // A folder that could not be read is not shown empty.
        if (failure != 0) return self->sendShortOfDescriptors(failure);
        self->sendPage(head, std::move(rows), foot);
      });
}

void WebServer::sendHttpObjectFileHeaderCode(int code) {
  auto notFound = [&] {
    if (code == 200) {
      httpObject = "/404.html";
      sendHttpObjectFileHeaderCode(404);
    } else {
      sendHTMLReplyHeaderCode(404, "File Not Found");
    }
  };
  if (!httpObject || httpObject->empty()) {
    notFound();
    return;
  }
  // Checked, opened and looked at once: what is sent is the item that was checked.
  WebLocalItem inFiles = webOpenLocalItem(documentsFolder("Files"), *httpObject);
  if (!inFiles.inside || isPrivateItem(inFiles.path, &inFiles.real)) {
    sendHTMLReplyHeaderCode(404, "File Not Found");
    return;
  }
  if (inFiles.facts) {
    if (!S_ISDIR(inFiles.facts->st_mode)) {
      sendFile(std::move(inFiles), code);
    } else if (code == 200) {
      redirectToFolder();
    } else {
      sendHTMLReplyHeaderCode(404, "File Not Found");
    }
    return;
  }
  WebLocalItem inTemplates = webOpenLocalItem(documentsFolder("WebServer"), *httpObject);
  if (inTemplates.inside && inTemplates.facts && !S_ISDIR(inTemplates.facts->st_mode)) {
    sendFile(std::move(inTemplates), code);
    return;
  }
  notFound();
}

void WebServer::sendFile(WebLocalItem item, int code) {
  // A file that is there but cannot be opened for want of a descriptor is not missing.
  if (item.fd < 0 && isDescriptorShortage(item.openError))
    return sendShortOfDescriptors(item.openError);
  // Only a plain file has bytes to send; a pipe or a device would never end (or never start).
  if (item.fd < 0 || !S_ISREG(item.facts->st_mode)) {
    sendHTMLReplyHeaderCode(404, "File Not Found");
    return;
  }
  const FileFacts facts = factsOf(*item.facts);
  auto stream = std::make_unique<FileInputStream>(item.path);
  stream->openDescriptor(item.release());
  readStreamSendFile = std::move(stream);
  sendFileRemaining_ = facts.size;
  sendFileOffset_ = 0;
  sendFileByKernel_ = true;
  dataToWriteSendFile.clear();
  sendFileSent_ = 0;
  sendFileReplyHeaderCode(code, facts.size, contentTypeOf(item.path), facts.modified);
}

// A folder asked for without its closing "/": the page's relative links need it.
void WebServer::redirectToFolder() {
  const std::string location = webURLEncode(singleSlashes(*httpObject + "/"), true);
  sendHTMLReplyHeaderCode(301, "Moved", "Location: " + location + "\r\n");
}

// --- Replies -----------------------------------------------------------------------------------

void WebServer::sendHTMLReplyHeaderCode(int code, const std::string &text,
                                        const std::string &extraHeaders) {
  queueReply(replyHeader(code, text.size(), extraHeaders), text, code, int64_t(text.size()));
}

namespace {

// The head of an HTML reply whose body has `length` bytes; `cookie` is the Set-Cookie value, if
// any.
std::string htmlReplyHeader(int code, size_t length, const std::string &extraHeaders,
                            const std::string &cookie) {
  const auto now = platform::Clock::current().wallNow();
  std::string header = "HTTP/1.0 " + std::to_string(code) + " " + reasonPhrase(code) + "\r\n";
  header += "Date: " + httpDate(now) + " GMT\r\n";
  header += std::string("Server: ") + kServerName + "/" + kServerVersion + "\r\n";
  header += "Content-Type: text/html\r\n";
  header += "Content-Length: " + std::to_string(length) + "\r\n";
  header += "Connection: close\r\n";
  if (code >= 400) header += kNoStore;
  if (code == 401) {
    std::string realm = webHeaderValue(setting(kiPhoneNameKey));
    std::replace(realm.begin(), realm.end(), '"', '\'');
    header += "WWW-Authenticate: Basic Realm=\"" + realm + "\"\r\n";
  }
  header += extraHeaders;
  if (!cookie.empty()) header += "Set-Cookie: " + cookie + "; path=/;\r\n";
  header += "\r\n";
  return header;
}

} // namespace

std::string WebServer::replyHeader(int code, size_t length, const std::string &extraHeaders) const {
  return htmlReplyHeader(code, length, extraHeaders, webCookiePair(httpCGI.value_or("")));
}

void WebServer::sendShortOfDescriptors(int errorCode) {
  sendHTMLReplyHeaderCode(503, "Cannot open the file: " + std::string(std::strerror(errorCode)) +
                                   ". Please try again later.");
}

std::string WebServer::turnAwayReply(int errorCode) {
  const std::string text = cannotTakeConnection(errorCode);
  return htmlReplyHeader(503, text.size(), "", "") + text;
}

// A folder page: its head and foot, made for this request, around the rows it shares.
void WebServer::sendPage(const std::string &head, sharing::SharedText rows,
                         const std::string &foot) {
  const size_t rowBytes = rows ? rows->size() : 0;
  const size_t length = head.size() + rowBytes + foot.size();
  std::vector<sharing::SharedText> parts;
  if (rowBytes > 0) parts.push_back(std::move(rows));
  if (!foot.empty()) parts.push_back(std::make_shared<const std::string>(foot));
  queueReply(replyHeader(200, length, ""), head, 200, int64_t(length), std::move(parts));
}

void WebServer::sendFileReplyHeaderCode(int code, int64_t length, const std::string &contentType,
                                        platform::WallTime contentDate) {
  const auto now = platform::Clock::current().wallNow();
  std::string header = "HTTP/1.0 " + std::to_string(code) + " " + reasonPhrase(code) + "\r\n";
  header += "Date: " + httpDate(now) + " GMT\r\n";
  header += std::string("Server: ") + kServerName + "/" + kServerVersion + "\r\n";
  header += "Last-Modified: " + httpDate(contentDate) + " GMT\r\n";
  header += "Content-Type: " + webHeaderValue(contentType) + "\r\n";
  header += "Content-Length: " + std::to_string(length) + "\r\n";
  header += "Connection: close\r\n";
  if (code >= 400) {
    header += kNoStore; // the templates' error page, sent as a file
  } else {
    header += "Cache-Control: max-age=3600\r\n";
    header += "Expires: " + httpDate(now + std::chrono::seconds(3600)) + " GMT\r\n";
  }
  if (const std::string cookie = webCookiePair(httpCGI.value_or("")); !cookie.empty())
    header += "Set-Cookie: " + cookie + "\r\n";
  header += "\r\n";
  queueReply(std::move(header), "", code, length);
}

void WebServer::queueReply(std::string header, const std::string &body, int code, int64_t logSize,
                           std::vector<sharing::SharedText> parts) {
  rate_.stop();
  pageParts_ = std::move(parts);
  pagePart_ = pagePartSent_ = 0;
  dataToWrite.assign(header.begin(), header.end());
  dataToWrite.insert(dataToWrite.end(), body.begin(), body.end());
  dataToWriteSent_ = 0;
  log(code, logSize);
  if (writeStreamReady) sendPending();
}

// --- Sending -----------------------------------------------------------------------------------

void WebServer::handleWriteEvent(StreamEvent event) {
  if (!writeStream) return;
  switch (event) {
  case StreamEventCanAcceptBytes:
    writeStreamReady = true;
    serverIsActive();
    sendPending();
    break;
  case StreamEventErrorOccurred:
    platform::Log::debugf("WebServer write stream error: %s", writeStream->error().text.c_str());
    disconnectFromClient();
    break;
  case StreamEventOpenCompleted:
    break;
  default:
    platform::Log::debugf("Received unexpected WebServer Write stream event %d", int(event));
  }
}

void WebServer::doHandleWriteEvent() {
  handleWriteEvent(StreamEventCanAcceptBytes);
}

// Header and page first, then the file: handed to the kernel to send straight from the file where
// the connection allows it, else read and written in large blocks. A write that takes nothing
// leaves the stream to announce when it has room again.
void WebServer::sendPending() {
  // Nothing yet while a folder page is being made (a reply always has its head).
  if (iTask != kTaskReplying || !writeStream || dataToWrite.empty()) return;
  // A small file goes out with its header in one piece (one send, one packet).
  if (readStreamSendFile && dataToWriteSent_ == 0 && sendFileRemaining_ <= kInlineFile) {
    size_t have = dataToWrite.size();
    dataToWrite.resize(have + size_t(sendFileRemaining_));
    long n = 1;
    while (have < dataToWrite.size() &&
           (n = readStreamSendFile->read(dataToWrite.data() + have, dataToWrite.size() - have)) > 0)
      have += size_t(n);
    dataToWrite.resize(have); // a file that shrank gives a short body, which tells the client
    readStreamSendFile->close();
    readStreamSendFile.reset();
    sendFileRemaining_ = 0;
  }
  bool progress = false;
  // The last bytes of a reply leave with the close.
  auto put = [this](const uint8_t *bytes, size_t size, bool last) {
    return last ? writeStream->writeLast(bytes, size) : writeStream->write(bytes, size);
  };
  for (int writes = 0; writes < kWritesPerEvent; ++writes) {
    if (dataToWriteSent_ < dataToWrite.size()) {
      // A reply without a file or page parts to follow ends with these bytes.
      const long written =
          put(dataToWrite.data() + dataToWriteSent_, dataToWrite.size() - dataToWriteSent_,
              !readStreamSendFile && pagePart_ >= pageParts_.size());
      if (written < 0) {
        disconnectFromClient();
        return;
      }
      if (written == 0) break;
      progress = true;
      dataToWriteSent_ += size_t(written);
      continue;
    }
    if (pagePart_ < pageParts_.size()) {
      const std::string &part = *pageParts_[pagePart_];
      const long written = put(reinterpret_cast<const uint8_t *>(part.data()) + pagePartSent_,
                               part.size() - pagePartSent_, pagePart_ + 1 >= pageParts_.size());
      if (written < 0) {
        disconnectFromClient();
        return;
      }
      if (written == 0) break;
      progress = true;
      pagePartSent_ += size_t(written);
      if (pagePartSent_ >= part.size()) {
        // A connection lets go of the page as soon as it is out, not when it closes.
        pageParts_[pagePart_++].reset();
        pagePartSent_ = 0;
      }
      continue;
    }
    if (!readStreamSendFile) break;
    if (sendFileSent_ >= dataToWriteSendFile.size()) {
      if (sendFileByKernel_ && sendFileRemaining_ > 0) {
        const long sent = writeStream->sendFile(readStreamSendFile->fileDescriptor(),
                                                sendFileOffset_, size_t(sendFileRemaining_));
        if (sent > 0) {
          progress = true;
          sendFileOffset_ += sent;
          sendFileRemaining_ -= sent;
          continue;
        }
        if (sent == 0) break;
        if (sent != SocketOutputStream::kCopyInstead) {
          disconnectFromClient();
          return;
        }
        sendFileByKernel_ = false;
        readStreamSendFile->setCurrentOffset(sendFileOffset_);
      }
      const size_t want = size_t(std::min<int64_t>(int64_t(kBlock), sendFileRemaining_));
      if (want > 0) dataToWriteSendFile.resize(want);
      const long n = want > 0 ? readStreamSendFile->read(dataToWriteSendFile.data(), want) : 0;
      if (n <= 0) {
        // The whole file is out (or it shrank, and the short body tells the client so).
        readStreamSendFile->close();
        readStreamSendFile.reset();
        dataToWriteSendFile.clear();
        break;
      }
      dataToWriteSendFile.resize(size_t(n));
      sendFileSent_ = 0;
      sendFileOffset_ += n;
      sendFileRemaining_ -= n;
    }
    const long written = writeStream->write(dataToWriteSendFile.data() + sendFileSent_,
                                            dataToWriteSendFile.size() - sendFileSent_);
    if (written < 0) {
      disconnectFromClient();
      return;
    }
    if (written == 0) break;
    progress = true;
    sendFileSent_ += size_t(written);
  }
  if (progress) idle_.touch();
  const bool allSent = dataToWriteSent_ >= dataToWrite.size() && !readStreamSendFile &&
                       pagePart_ >= pageParts_.size();
  if (allSent) disconnectFromClient();
  // Otherwise this event's share is used up; the writes made re-arm the next can-accept event.
}

// --- Log ---------------------------------------------------------------------------------------

void WebServer::log(int code, int64_t size) {
  if (settings().integerForKey(kWebServerLogsKey) != 1) return;
  std::string address;
  if (fromAddress.size() >= 8) {
    char text[32];
    std::snprintf(text, sizeof text, "%i.%i.%i.%i", fromAddress[4], fromAddress[5], fromAddress[6],
                  fromAddress[7]);
    address = text;
  }
  std::string requestLine(myTrimWS(httpOperationLine));
  const std::string line = address + " - - [" + httpLogDate(platform::Clock::current().wallNow()) +
                           " -0000] \"" + webHeaderValue(requestLine) + "\" " +
                           std::to_string(code) + " " + std::to_string(size) + "\r\n";
  const std::string folder = appendPathComponent(documentsFolder("Files"), "Logs");
  FileManager::createDirectory(folder, true);
  const std::string access = appendPathComponent(folder, "access_log");
  const std::string errors = appendPathComponent(folder, "error_log");
  if (!FileManager::fileExists(access)) {
    FileManager::writeAtomically(access, std::string_view());
    if (!FileManager::fileExists(errors)) FileManager::writeAtomically(errors, std::string_view());
  }
  FileOutputStream out(code < 400 ? access : errors, true);
  if (out.open()) {
    out.write(reinterpret_cast<const uint8_t *>(line.data()), line.size());
    out.close();
  }
}
