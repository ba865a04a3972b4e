#include "platform/media/CloudContainer.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <utility>

#include "platform/foundation/FolderWatch.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Text.h"

namespace platform {

namespace {

std::mutex folderMutex;
std::string chosenFolder;

std::string normal(const std::string &path) {
  std::string s = std::filesystem::path(path).lexically_normal().string();
  while (s.size() > 1 && s.back() == '/')
    s.pop_back();
  return s;
}

// A copy into the container is written under this ending and renamed when whole; the query
// leaves such files out.
constexpr const char *kPartial = ".ferrowen-part";
// The account's key-value store: kept in the synced folder, so it is shared by every device.
constexpr const char *kKeyValueStore = ".ferrowen-keys";

bool isPartial(const std::string &name) {
  const std::string end = kPartial;
  if (name.size() > end.size() && name.compare(name.size() - end.size(), end.size(), end) == 0)
    return true;
  // An atomic write in progress (an editor's save): the new file beside the item, named
  // "<item>.tmp-" and six letters or digits, renamed over the item when whole.
  const size_t at = name.size() >= 11 ? name.size() - 11 : std::string::npos;
  if (at == std::string::npos || at == 0 || name.compare(at, 5, ".tmp-") != 0) return false;
  return std::all_of(name.begin() + static_cast<long>(at) + 5, name.end(),
                     [](unsigned char c) { return std::isalnum(c) != 0; });
}

// The container's own records (its key-value store) are no documents.
bool isOwnRecord(const std::string &name) {
  return name.rfind(".ferrowen-", 0) == 0;
}

bool coordinateLocked(const std::string &path, bool exclusive,
                      const std::function<void(const std::string &)> &accessor);

// --- Presenters ------------------------------------------------------------------------------

// What an item looked like when its presenters last heard of it.
struct Signature {
  bool exists = false;
  ino_t ino = 0;
  dev_t dev = 0;
  off_t size = 0;
  // The time as the file system gives it: any year, no overflow.
  int64_t mtimeSec = 0;
  long mtimeNsec = 0;
  bool operator==(const Signature &) const = default;
};

Signature signatureOf(const std::string &path) {
  struct stat st {};
  Signature sig;
  if (::lstat(path.c_str(), &st) != 0) return sig;
  sig.exists = true;
  sig.ino = st.st_ino;
  sig.dev = st.st_dev;
  sig.size = st.st_size;
  sig.mtimeSec = st.st_mtim.tv_sec;
  sig.mtimeNsec = st.st_mtim.tv_nsec;
  return sig;
}

// One presenter and the watch over its item's folder. Main thread only, except `path`, which is
// read under the registry's lock.
struct Registered {
  std::weak_ptr<FilePresenter> presenter;
  const FilePresenter *raw = nullptr;
  std::string path; // normal form, as at registration
  Signature known;
  std::unique_ptr<FolderWatch> watch;
  std::function<void()> reacquire; // while another process holds its writing lock
  bool waiting = false;
};

std::mutex presentersMutex;
std::vector<std::shared_ptr<Registered>> &registry() {
  static std::vector<std::shared_ptr<Registered>> r;
  return r;
}
// Items this process writes now (another process's lock is told apart from ours by it).
std::multiset<std::string> &writingHere() {
  static std::multiset<std::string> w;
  return w;
}

std::vector<std::shared_ptr<Registered>> registeredFor(const std::string &path,
                                                       const FilePresenter *except) {
  std::vector<std::shared_ptr<Registered>> out;
  std::lock_guard lock(presentersMutex);
  for (auto &r : registry())
    if (r->path == path && r->raw != except && !r->presenter.expired()) out.push_back(r);
  return out;
}

// This process writes the item now: its presenters hear of it when the write is over.
bool writtenHere(const std::string &path) {
  std::lock_guard lock(presentersMutex);
  return writingHere().count(path) > 0;
}

// Another process holds the item's writing lock (never asked while this process writes it).
bool lockedElsewhere(const std::string &path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  bool held = false;
  if (::flock(fd, LOCK_SH | LOCK_NB) != 0) held = errno == EWOULDBLOCK;
  ::close(fd); // releases the probe's lock
  return held;
}

void checkPresented(const std::shared_ptr<Registered> &r);

// After a wait for another process's writer: probes again until the lock is given up. The rename
// that ends an atomic write also wakes the watch; this covers a writer that changes nothing.
void retryLater(const std::weak_ptr<Registered> &weak) {
  RunLoop::main()->performAfter(std::chrono::milliseconds(100), [weak] {
    if (auto r = weak.lock(); r && r->waiting) checkPresented(r);
  });
}

void checkPresented(const std::shared_ptr<Registered> &r) {
  auto presenter = r->presenter.lock();
  if (!presenter || writtenHere(r->path)) return;
  if (lockedElsewhere(r->path)) {
    if (!r->waiting) {
      r->waiting = true;
      r->reacquire = presenter->relinquishPresentedItemToWriter();
    }
    retryLater(r);
    return;
  }
  if (r->waiting) {
    r->waiting = false;
    if (auto reacquire = std::move(r->reacquire)) reacquire();
  }
  const Signature now = signatureOf(r->path);
  if (now == r->known) return;
  const bool wasThere = r->known.exists;
  r->known = now;
  if (!now.exists) {
    if (wasThere) presenter->accommodatePresentedItemDeletion();
    return;
  }
  presenter->presentedItemDidChange();
}

// Tells the other presenters of the item that an access starts; answers what to run on the main
// run loop when it is over.
std::function<void()> relinquishTo(const std::string &path, bool writer,
                                   const FilePresenter *except) {
  {
    std::lock_guard lock(presentersMutex);
    if (registry().empty()) return {};
  }
  auto loop = RunLoop::main();
  if (!loop) return {};
  std::vector<std::pair<std::weak_ptr<Registered>, std::function<void()>>> told;
  loop->performAndWait([&] {
    for (auto &r : registeredFor(path, except)) {
      auto presenter = r->presenter.lock();
      if (!presenter) continue;
      presenter->savePresentedItemChanges();
      told.emplace_back(r, writer ? presenter->relinquishPresentedItemToWriter()
                                  : presenter->relinquishPresentedItemToReader());
    }
  });
  if (told.empty() && !writer) return {};
  return [told, writer, path, except] {
    for (auto &[weak, reacquire] : told)
      if (reacquire) reacquire();
    if (!writer) return;
    // Everyone learns the item's new state now: the watch's later call is then no news, and the
    // writer's own presenter does not hear of its own write.
    std::vector<std::shared_ptr<Registered>> all;
    {
      std::lock_guard lock(presentersMutex);
      for (auto &r : registry())
        if (r->path == path) all.push_back(r);
    }
    const Signature now = signatureOf(path);
    for (auto &r : all) {
      const bool wasThere = r->known.exists;
      r->known = now;
      if (r->raw == except) continue;
      auto presenter = r->presenter.lock();
      if (!presenter) continue;
      if (now.exists)
        presenter->presentedItemDidChange();
      else if (wasThere)
        presenter->accommodatePresentedItemDeletion();
    }
  };
}

// --- Presenters in other processes --------------------------------------------------------------
//
// A coordinated read asks the presenters of the item in other processes to save and let go first,
// as it asks those of its own process. Each process that presents items keeps, in a folder of its
// user's for this container (outside the synced folder: nothing of it travels to other machines),
// a socket it listens on ("<pid>.sock") and the list of the items it presents ("<pid>.items", one
// escaped path a line). A reader asks each process that lists the item, over its socket
// ("read <escaped path>\n"); that process tells its presenters on its main run loop and answers
// "ready\n" (or "none\n" when none is left), and gets the item back (the reacquirers run) when the
// reader closes the connection after its read. A process that does not answer within the bound is
// passed over, and the reader logs it. Writes by other processes are seen by the folder watch.

std::mutex answerLimitMutex;
Duration answerLimit = seconds(5);

Duration presenterAnswerLimit() {
  std::lock_guard lock(answerLimitMutex);
  return answerLimit;
}

// The folder of this user's processes on this container (made, mode 0700, when `make` says so);
// empty when it is missing or is not this user's own.
std::string coordinationFolder(bool make) {
  std::string container = normal(CloudContainer::folder());
  if (char *real = ::realpath(container.c_str(), nullptr)) {
    container = real;
    std::free(real);
  }
  uint64_t hash = 1469598103934665603ull; // FNV-1a: the same in every build
  for (unsigned char c : container) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  const char *runtime = std::getenv("XDG_RUNTIME_DIR");
  const std::string base = runtime && runtime[0] == '/' ? runtime : "/tmp";
  char name[64];
  std::snprintf(name, sizeof name, "/ferrowen-%u", unsigned(::getuid()));
  const std::string user = base + name;
  std::snprintf(name, sizeof name, "/cloud-%016llx", static_cast<unsigned long long>(hash));
  const std::string folder = user + name;
  for (const std::string &dir : {user, folder}) {
    if (make) ::mkdir(dir.c_str(), 0700);
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
        (st.st_mode & 077) != 0)
      return {};
  }
  return folder;
}

bool socketAddress(const std::string &path, sockaddr_un &address) {
  address = sockaddr_un{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Writes the file whole or not at all.
void writeWhole(const std::string &path, const std::string &content) {
  const std::string temp = path + ".new";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return;
  bool ok = true;
  for (size_t at = 0; ok && at < content.size();) {
    const ssize_t n = ::write(fd, content.data() + at, content.size() - at);
    if (n > 0)
      at += size_t(n);
    else if (n < 0 && errno == EINTR)
      continue;
    else
      ok = false;
  }
  ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) ::unlink(temp.c_str());
}

// One reader's request, as this process answers it (main thread).
struct Asked {
  int fd = -1;
  std::string received;
  bool answered = false;
  std::vector<std::function<void()>> reacquirers;
  FdSourceRef source;
  TimerRef idle;
};

// This process's side: its socket, its list of items, the readers it answers. Made once, kept
// until the process ends (its two files are removed then). Main thread.
struct Endpoint {
  std::string folder, socketPath, itemsPath;
  int fd = -1;
  FdSourceRef source;
  std::vector<std::shared_ptr<Asked>> asked;
};

// The files of the endpoint, for the end of the process (plain memory: no object is destroyed
// before the handler runs). Only the process that made them removes them, not a forked child.
char endpointFiles[2][sizeof(sockaddr_un::sun_path) + 8];
char endpointFolder[sizeof(sockaddr_un::sun_path) + 8];
pid_t endpointOwner = 0;
void removeEndpointFiles() {
  if (::getpid() != endpointOwner) return;
  for (const char *file : endpointFiles)
    if (file[0]) ::unlink(file);
  if (endpointFolder[0]) ::rmdir(endpointFolder); // when no other process uses it
}

// Readers that may be answered at once; more wait in the socket's backlog.
constexpr size_t kMaxAsked = 32;
// A request is one line: "read ", an escaped path, a line end.
constexpr size_t kMaxRequest = 5 + 3 * PATH_MAX + 1;

std::unique_ptr<Endpoint> &endpoint() {
  static auto *e = new std::unique_ptr<Endpoint>(); // used until the process ends
  return *e;
}

void endAsked(const std::shared_ptr<Asked> &a) {
  auto &e = endpoint();
  if (a->source) a->source->remove();
  a->source.reset();
  if (a->idle) a->idle->invalidate();
  a->idle.reset();
  if (a->fd >= 0) ::close(a->fd);
  a->fd = -1;
  for (auto &reacquire : std::exchange(a->reacquirers, {}))
    if (reacquire) reacquire();
  if (e) e->asked.erase(std::remove(e->asked.begin(), e->asked.end(), a), e->asked.end());
}

void sendLine(int fd, const char *line) {
  (void)!::send(fd, line, std::strlen(line), MSG_NOSIGNAL | MSG_DONTWAIT);
}

// The reader's request has come whole: its item's presenters save and let go, unless the reader
// has already given up (closed its end), in which case it is not disturbed.
void answer(const std::shared_ptr<Asked> &a, const std::string &request) {
  a->answered = true;
  if (a->idle) a->idle->invalidate();
  if (request.rfind("read ", 0) != 0) return endAsked(a);
  const std::string item = lineUnescaped(std::string_view(request).substr(5));
  char peek;
  if (::recv(a->fd, &peek, 1, MSG_PEEK | MSG_DONTWAIT) == 0) return endAsked(a);
  auto presenters = registeredFor(normal(item), nullptr);
  for (auto &r : presenters) {
    auto presenter = r->presenter.lock();
    if (!presenter) continue;
    presenter->savePresentedItemChanges();
    a->reacquirers.push_back(presenter->relinquishPresentedItemToReader());
  }
  sendLine(a->fd, presenters.empty() ? "none\n" : "ready\n");
  if (presenters.empty()) endAsked(a);
}

void readAsked(const std::weak_ptr<Asked> &weak) {
  auto a = weak.lock();
  if (!a || a->fd < 0) return;
  char buf[4096];
  const ssize_t n = ::recv(a->fd, buf, sizeof buf, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  if (n <= 0) return endAsked(a); // the reader's read is over (or it went away)
  if (a->answered) return;        // nothing more is asked on a connection
  a->received.append(buf, size_t(n));
  const size_t end = a->received.find('\n');
  if (end != std::string::npos) return answer(a, a->received.substr(0, end));
  if (a->received.size() > kMaxRequest) endAsked(a);
}

void acceptReaders() {
  auto &e = endpoint();
  if (!e) return;
  for (;;) {
    const int fd = ::accept4(e->fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    if (e->asked.size() >= kMaxAsked) {
      ::close(fd);
      continue;
    }
    auto a = std::make_shared<Asked>();
    a->fd = fd;
    std::weak_ptr<Asked> weak = a;
    e->asked.push_back(a);
    a->source = RunLoop::main()->addFdSource(fd, unsigned(FdEvent::Read),
                                             [weak](unsigned) { readAsked(weak); });
    // A connection that never says what it wants is not kept.
    a->idle = RunLoop::main()->performAfter(seconds(10), [weak] {
      if (auto held = weak.lock(); held && !held->answered) endAsked(held);
    });
  }
}

// Lists this process's presented items for other processes, starting to listen on the first.
// Main thread.
void advertise() {
  std::set<std::string> items;
  {
    std::lock_guard lock(presentersMutex);
    for (auto &r : registry())
      if (!r->presenter.expired()) items.insert(r->path);
  }
  auto &e = endpoint();
  if (!e) {
    if (items.empty()) return;
    auto made = std::make_unique<Endpoint>();
    made->folder = coordinationFolder(true);
    if (made->folder.empty()) return;
    const std::string self = made->folder + "/" + std::to_string(::getpid());
    sockaddr_un address{};
    if (!socketAddress(self + ".sock", address)) return;
    made->fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (made->fd < 0) return;
    if (self.size() + 7 >= sizeof endpointFiles[0]) {
      ::close(made->fd);
      return;
    }
    // A file of this process's name is a gone process's: this process owns the name now.
    ::unlink(address.sun_path);
    if (::bind(made->fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(made->fd, 16) != 0) {
      Log::systemf("Cloud: cannot listen for other programs' reads: %s", std::strerror(errno));
      ::close(made->fd);
      return;
    }
    made->socketPath = address.sun_path;
    made->itemsPath = self + ".items";
    std::snprintf(endpointFiles[0], sizeof endpointFiles[0], "%s", made->socketPath.c_str());
    std::snprintf(endpointFiles[1], sizeof endpointFiles[1], "%s", made->itemsPath.c_str());
    std::snprintf(endpointFolder, sizeof endpointFolder, "%s", made->folder.c_str());
    endpointOwner = ::getpid();
    std::atexit(removeEndpointFiles);
    made->source = RunLoop::main()->addFdSource(made->fd, unsigned(FdEvent::Read),
                                                [](unsigned) { acceptReaders(); });
    e = std::move(made);
  }
  std::string list;
  for (const auto &item : items)
    list += lineEscaped(item) + "\n";
  writeWhole(e->itemsPath, list);
}

// The other processes that list the item; the files of processes that are gone are removed.
std::vector<pid_t> presentingElsewhere(const std::string &folder, const std::string &item) {
  std::vector<pid_t> out;
  DIR *dir = ::opendir(folder.c_str());
  if (!dir) return out;
  const std::string line = lineEscaped(item);
  while (dirent *d = ::readdir(dir)) {
    const std::string name = d->d_name;
    const size_t dot = name.find(".items");
    if (dot == std::string::npos || dot + 6 != name.size()) continue;
    char *end = nullptr;
    const long pid = std::strtol(name.c_str(), &end, 10);
    if (end != name.c_str() + dot || pid <= 0 || pid == ::getpid()) continue;
    const std::string base = folder + "/" + name.substr(0, dot);
    if (::kill(pid_t(pid), 0) != 0 && errno == ESRCH) {
      ::unlink((base + ".items").c_str());
      ::unlink((base + ".sock").c_str());
      continue;
    }
    const int fd = ::open((base + ".items").c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) continue;
    std::string content;
    char buf[4096];
    ssize_t n;
    while (content.size() < (1u << 20) && (n = ::read(fd, buf, sizeof buf)) > 0)
      content.append(buf, size_t(n));
    ::close(fd);
    if (("\n" + content).find("\n" + line + "\n") != std::string::npos) out.push_back(pid_t(pid));
  }
  ::closedir(dir);
  return out;
}

// Asks the presenters of the item in other processes to save and let go, waiting for their
// answers within the bound. Answers the connections of those that let go: closing them gives the
// item back.
std::vector<int> relinquishElsewhere(const std::string &item) {
  std::vector<int> ready;
  const std::string folder = coordinationFolder(false);
  if (folder.empty()) return ready;
  struct Waiting {
    pid_t pid;
    int fd;
    std::string received;
  };
  std::vector<Waiting> waiting;
  const std::string request = "read " + lineEscaped(item) + "\n";
  for (pid_t pid : presentingElsewhere(folder, item)) {
    sockaddr_un address{};
    if (!socketAddress(folder + "/" + std::to_string(pid) + ".sock", address)) continue;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) continue;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) {
      ::close(fd); // not listening (any more): nothing there to ask
      continue;
    }
    waiting.push_back({pid, fd, {}});
  }
  const TimePoint deadline = Clock::current().now() + presenterAnswerLimit();
  while (!waiting.empty() && Clock::current().now() < deadline) {
    std::vector<pollfd> fds;
    for (auto &w : waiting)
      fds.push_back({w.fd, POLLIN, 0});
    // Short looks: the bound is measured on the process's clock, which a test may move.
    if (::poll(fds.data(), fds.size(), 20) <= 0) continue;
    for (size_t i = fds.size(); i-- > 0;) {
      if (!fds[i].revents) continue;
      Waiting &w = waiting[i];
      char buf[64];
      const ssize_t n = ::recv(w.fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n > 0) w.received.append(buf, size_t(n));
      if (n > 0 && w.received.find('\n') == std::string::npos && w.received.size() < 64) continue;
      if (w.received.rfind("ready\n", 0) == 0)
        ready.push_back(w.fd);
      else
        ::close(w.fd);
      waiting.erase(waiting.begin() + long(i));
    }
  }
  for (auto &w : waiting) {
    Log::systemf("Cloud: the program %d presenting %s did not answer in time; read without it",
                 int(w.pid),
                 addPercentEscapes(std::filesystem::path(item).filename().string()).c_str());
    ::close(w.fd);
  }
  return ready;
}

bool coordinate(const std::string &path, bool exclusive,
                const std::function<void(const std::string &)> &accessor,
                const FilePresenter *presenter) {
  if (!CloudContainer::contains(path)) return false;
  const std::string item = normal(path);
  auto over = relinquishTo(item, exclusive, presenter);
  // Closed once the read is over and its lock given up: the other processes take the item back.
  struct Elsewhere {
    std::vector<int> fds;
    ~Elsewhere() {
      for (int fd : fds)
        ::close(fd);
    }
  } elsewhere;
  if (!exclusive) elsewhere.fds = relinquishElsewhere(item);
  if (exclusive) {
    std::lock_guard lock(presentersMutex);
    writingHere().insert(item);
  }
  // The presenters hear of the write before the watch may tell them again: until then the watch
  // leaves the item alone.
  struct Over {
    const std::string &item;
    bool exclusive;
    std::function<void()> &over;
    ~Over() {
      if (over) RunLoop::main()->performAndWait(over);
      if (!exclusive) return;
      std::lock_guard lock(presentersMutex);
      writingHere().erase(writingHere().find(item));
    }
  } done{item, exclusive, over};
  return coordinateLocked(path, exclusive, accessor);
}

bool coordinateLocked(const std::string &path, bool exclusive,
                      const std::function<void(const std::string &)> &accessor) {
  // A writer may replace or remove the item while we wait for the lock: then we lock again on
  // what the path names now. Bounded, since a peer could keep replacing it.
  for (int attempt = 0; attempt < 16; ++attempt) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    bool made = false;
    if (fd < 0 && errno == ENOENT) {
      if (!exclusive) {
        accessor(path);
        return true;
      }
      fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
      if (fd < 0 && errno == EEXIST) continue;
      made = fd >= 0;
    }
    if (fd < 0) return false;
    struct stat held {};
    if (::fstat(fd, &held) != 0 || !S_ISREG(held.st_mode)) {
      ::close(fd);
      return false;
    }
    while (::flock(fd, exclusive ? LOCK_EX : LOCK_SH) != 0 && errno == EINTR) {
    }
    struct stat now {};
    if (::lstat(path.c_str(), &now) != 0 || now.st_ino != held.st_ino ||
        now.st_dev != held.st_dev) {
      ::close(fd);
      continue;
    }
    accessor(path);
    // The empty file made only to hold the lock goes again when the writer wrote nothing there
    // (a write that found it had nothing to do): a removed item is not left as an empty one.
    if (made && ::lstat(path.c_str(), &now) == 0 && now.st_ino == held.st_ino &&
        now.st_dev == held.st_dev && now.st_size == 0)
      ::unlink(path.c_str());
    ::close(fd); // releases the lock
    return true;
  }
  return false;
}

void scanInto(const std::string &root, const std::string &dir, const std::string &relative,
              int depth, std::vector<CloudItem> &out, std::vector<std::string> *folders) {
  if (depth > CloudQuery::kMaxDepth) return;
  if (folders) {
    if (folders->size() >= CloudQuery::kMaxFolders) return;
    folders->push_back(dir);
  }
  std::error_code ec;
  std::filesystem::directory_iterator it(dir, ec), end;
  std::vector<std::string> names;
  for (; !ec && it != end; it.increment(ec))
    names.push_back(it->path().filename().string());
  std::sort(names.begin(), names.end());
  for (const std::string &name : names) {
    if (out.size() >= CloudQuery::kMaxItems) return;
    const std::string full = dir + "/" + name;
    struct stat st {};
    if (::lstat(full.c_str(), &st) != 0) continue;
    const std::string rel = relative.empty() ? name : relative + "/" + name;
    if (S_ISDIR(st.st_mode)) {
      scanInto(root, full, rel, depth + 1, out, folders);
    } else if (S_ISREG(st.st_mode) && !isPartial(name) && !isOwnRecord(name)) {
      CloudItem item;
      item.name = name;
      item.path = full;
      item.relative = rel;
      item.size = static_cast<uint64_t>(st.st_size);
      item.modified = wallTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
      out.push_back(std::move(item));
    }
  }
}

} // namespace

std::string CloudContainer::folder() {
  {
    std::lock_guard lock(folderMutex);
    if (!chosenFolder.empty()) return chosenFolder;
  }
  return Paths::home() + "/Cloud";
}

void CloudContainer::setFolder(const std::string &path) {
  std::lock_guard lock(folderMutex);
  chosenFolder = path.empty() ? std::string() : normal(path);
}

bool CloudContainer::isAvailable() {
  struct stat st {};
  const std::string f = folder();
  return ::lstat(f.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
         ::access(f.c_str(), W_OK | X_OK) == 0;
}

bool CloudContainer::contains(const std::string &path) {
  if (path.empty() || path[0] != '/') return false;
  const std::string root = normal(folder());
  const std::string p = normal(path);
  return p.size() > root.size() + 1 && p.compare(0, root.size(), root) == 0 &&
         p[root.size()] == '/';
}

bool CloudContainer::coordinateReading(const std::string &path,
                                       const std::function<void(const std::string &)> &accessor,
                                       const FilePresenter *presenter) {
  return coordinate(path, false, accessor, presenter);
}

bool CloudContainer::coordinateWriting(const std::string &path,
                                       const std::function<void(const std::string &)> &accessor,
                                       const FilePresenter *presenter) {
  return coordinate(path, true, accessor, presenter);
}

void CloudContainer::addFilePresenter(const std::shared_ptr<FilePresenter> &presenter) {
  if (!presenter) return;
  auto r = std::make_shared<Registered>();
  r->presenter = presenter;
  r->raw = presenter.get();
  r->path = normal(presenter->presentedItemPath());
  r->known = signatureOf(r->path);
  std::weak_ptr<Registered> weak = r;
  r->watch = FolderWatch::watch(std::filesystem::path(r->path).parent_path().string(), [weak] {
    if (auto held = weak.lock()) checkPresented(held);
  });
  {
    std::lock_guard lock(presentersMutex);
    registry().push_back(std::move(r));
  }
  advertise();
}

void CloudContainer::removeFilePresenter(const FilePresenter *presenter) {
  std::vector<std::shared_ptr<Registered>> gone;
  {
    std::lock_guard lock(presentersMutex);
    auto &all = registry();
    for (auto it = all.begin(); it != all.end();) {
      if ((*it)->raw == presenter || (*it)->presenter.expired()) {
        gone.push_back(std::move(*it));
        it = all.erase(it);
      } else {
        ++it;
      }
    }
  }
  // A watch may be what called: it goes once its call is over.
  if (!gone.empty())
    if (auto loop = RunLoop::main()) loop->perform([gone] {});
  if (!gone.empty()) advertise();
}

void CloudContainer::setPresenterAnswerLimit(Duration limit) {
  std::lock_guard lock(answerLimitMutex);
  answerLimit = limit;
}

bool CloudContainer::keyValueFlag(const std::string &key) {
  std::string content;
  coordinateReading(folder() + "/" + kKeyValueStore, [&](const std::string &path) {
    std::error_code ec;
    if (std::filesystem::file_size(path, ec) > 65536 || ec) return;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
      content.append(buf, n);
    std::fclose(f);
  });
  return ("\n" + content).find("\n" + key + "=1\n") != std::string::npos;
}

bool CloudContainer::setKeyValueFlagOnce(const std::string &key) {
  bool wasUnset = false;
  const bool ran = coordinateWriting(folder() + "/" + kKeyValueStore, [&](const std::string &path) {
    std::string content;
    if (FILE *f = std::fopen(path.c_str(), "rb")) {
      char buf[4096];
      size_t n;
      while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && content.size() < 65536)
        content.append(buf, n);
      std::fclose(f);
    }
    if (("\n" + content).find("\n" + key + "=1\n") != std::string::npos) return;
    wasUnset = true;
    if (FILE *f = std::fopen(path.c_str(), "ab")) {
      std::fputs((key + "=1\n").c_str(), f);
      std::fclose(f);
    }
  });
  return ran && wasUnset;
}

// --- The query ---------------------------------------------------------------------------------

std::vector<CloudItem> CloudQuery::scan(const std::string &folder) {
  std::vector<CloudItem> out;
  scanInto(folder, folder, "", 0, out, nullptr);
  return out;
}

std::unique_ptr<CloudQuery> CloudQuery::start(const std::string &folder, Results results) {
  std::unique_ptr<CloudQuery> q(new CloudQuery);
  q->folder_ = normal(folder);
  q->results_ = std::move(results);
  CloudQuery *self = q.get();
  std::weak_ptr<bool> alive = q->alive_;
  RunLoop::current()->perform([self, alive] {
    if (alive.expired()) return;
    std::vector<CloudItem> items;
    std::vector<std::string> folders;
    scanInto(self->folder_, self->folder_, "", 0, items, &folders);
    self->watches_.clear();
    for (const std::string &dir : folders) {
      std::weak_ptr<bool> a = self->alive_;
      self->watches_.emplace_back(dir, FolderWatch::watch(dir, [self, a] {
                                    if (!a.expired()) self->rescan();
                                  }));
    }
    if (self->results_) self->results_(Event::FinishGathering, items);
  });
  return q;
}

CloudQuery::~CloudQuery() {
  alive_.reset();
}

void CloudQuery::enableUpdates() {
  updatesEnabled_ = true;
  if (pending_) rescan();
}

void CloudQuery::rescan() {
  if (!updatesEnabled_) {
    pending_ = true;
    return;
  }
  pending_ = false;
  std::vector<CloudItem> items;
  std::vector<std::string> folders;
  scanInto(folder_, folder_, "", 0, items, &folders);
  // Keep the watches of folders still there, watch the new ones, drop the gone ones.
  std::vector<std::pair<std::string, std::unique_ptr<FolderWatch>>> kept;
  for (const std::string &dir : folders) {
    auto old = std::find_if(watches_.begin(), watches_.end(),
                            [&](const auto &w) { return w.first == dir; });
    if (old != watches_.end() && old->second) {
      kept.emplace_back(dir, std::move(old->second));
      continue;
    }
    std::weak_ptr<bool> a = alive_;
    kept.emplace_back(dir, FolderWatch::watch(dir, [this, a] {
                        if (!a.expired()) rescan();
                      }));
  }
  // Dropped watches are freed after this call: the callback running now may belong to one.
  auto dropped = std::make_shared<decltype(watches_)>(std::move(watches_));
  watches_ = std::move(kept);
  RunLoop::current()->perform([dropped] {});
  if (results_) results_(Event::Update, items);
}

} // namespace platform
