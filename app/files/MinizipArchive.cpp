#include "app/files/MinizipArchive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <minizip/unzip.h>
#include <minizip/zip.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <vector>

#include "app/files/TreeWalk.h"
#include "app/foundation/StringUtils.h"
#include "platform/device/Application.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Text.h"

using platform::Log;

namespace {

constexpr size_t kChunk = 64 * 1024;

// Entries are "made by" Unix (zip 2.0), with the file's type and permissions as their external
// attributes, as Info-ZIP's zip and Python's zipfile write them here: Info-ZIP's unzip takes the
// name of an entry made by MS-DOS for the DOS code page whatever its flags say.
constexpr uLong kMadeByUnix = (3u << 8) | 20u;
// General purpose bit 11: the name (and comment) are UTF-8. Without it readers take the name for
// the old DOS code page (Info-ZIP shows "++mlaut", Python "├╝mlaut" for "ümlaut").
// A plain ASCII name reads the same either way and is left unmarked; bytes that are no UTF-8
// (a name from an old disk) are not claimed to be.
uLong nameFlags(const std::string &name) {
  const bool ascii = std::all_of(name.begin(), name.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  return !ascii && platform::isValidUTF8(name) ? 0x800 : 0;
}

zipFile zipHandle(void *p) {
  return static_cast<zipFile>(p);
}
unzFile unzHandle(void *p) {
  return static_cast<unzFile>(p);
}

// An owned descriptor.
struct Fd {
  int fd = -1;
  explicit Fd(int f = -1) : fd(f) {}
  ~Fd() {
    if (fd >= 0) close(fd);
  }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  Fd(Fd &&o) noexcept : fd(o.fd) { o.fd = -1; }
  Fd &operator=(Fd &&o) noexcept {
    std::swap(fd, o.fd);
    return *this;
  }
};

// The modification time of the "UT" extended-timestamp field, which keeps whole seconds where the
// DOS time keeps only even ones; -1 when absent.
long long extendedTime(const unsigned char *extra, size_t size) {
  size_t at = 0;
  while (at + 4 <= size) {
    const unsigned id = extra[at] | extra[at + 1] << 8;
    const size_t len = extra[at + 2] | extra[at + 3] << 8;
    if (at + 4 + len > size) break;
    if (id == 0x5455 && len >= 5 && (extra[at + 4] & 1)) {
      const unsigned char *t = extra + at + 5;
      return static_cast<int32_t>(t[0] | t[1] << 8 | t[2] << 16 |
                                  static_cast<uint32_t>(t[3]) << 24);
    }
    at += 4 + len;
  }
  return -1;
}

// The names of the path's parts, skipping empty and "." ones.
std::vector<std::string> partsOf(const std::string &name) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    std::string part = name.substr(start, end - start);
    if (!part.empty() && part != ".") parts.push_back(std::move(part));
    start = end + 1;
  }
  return parts;
}

// Descends from dir through each part, making missing folders; never through a link.
Fd openFolders(int dir, const std::vector<std::string> &parts, size_t count) {
  Fd cur(dup(dir));
  for (size_t i = 0; i < count && cur.fd >= 0; ++i) {
    mkdirat(cur.fd, parts[i].c_str(), 0755);
    cur = Fd(openat(cur.fd, parts[i].c_str(),
                    O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  }
  return cur;
}

std::mutex freeSpaceMutex;
MinizipArchive::FreeSpaceQuery &freeSpaceQuery() {
  static MinizipArchive::FreeSpaceQuery q;
  return q;
}

// Keeps MinizipArchive::kMinFreeSpace free on the disk an unpack writes to: every write is
// counted against what the file system had free, which is asked again when that runs out and
// at least every kRecheck bytes (others may be writing too).
class SpaceGuard {
public:
  explicit SpaceGuard(int fd) : fd_(fd) {
    std::lock_guard lock(freeSpaceMutex);
    query_ = freeSpaceQuery();
  }
  bool reserve(int64_t n) {
    if (n > allowance_ || sinceCheck_ + n > kRecheck) {
      allowance_ = freeBytes() - MinizipArchive::kMinFreeSpace;
      sinceCheck_ = 0;
      if (n > allowance_) return false;
    }
    allowance_ -= n;
    sinceCheck_ += n;
    return true;
  }

private:
  static constexpr int64_t kRecheck = 1 << 20;
  int64_t freeBytes() const {
    if (query_) return query_(fd_);
    struct statvfs vfs {};
    if (fstatvfs(fd_, &vfs) != 0) return INT64_MAX; // no answer: the write itself will tell
    return static_cast<int64_t>(vfs.f_bavail) * static_cast<int64_t>(vfs.f_frsize);
  }
  int fd_;
  MinizipArchive::FreeSpaceQuery query_;
  int64_t allowance_ = 0;
  int64_t sinceCheck_ = 0;
};

uint64_t le(const unsigned char *p, int n) {
  uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i)
    v = v << 8 | p[i];
  return v;
}

bool readAt(int fd, void *buf, size_t n, uint64_t at) {
  if (at > static_cast<uint64_t>(INT64_MAX)) return false;
  size_t got = 0;
  while (got < n) {
    ssize_t r = pread(fd, static_cast<char *>(buf) + got, n - got, static_cast<off_t>(at + got));
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

// What the central directory says of the archive's entries must agree with the file: each
// local header names the same file as its central entry, and no two entries share bytes (32
// central entries pointing at one local entry would write its data 32 times). The central
// directory is found as minizip finds it, from the end record, with the same allowance for
// bytes before the archive (a self-extracting stub). Empty when all agree, else the reason.
std::string disagreement(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return "the archive cannot be read";
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  const size_t tail = static_cast<size_t>(std::min<uint64_t>(size, 0xffff + 22));
  std::vector<unsigned char> end(tail);
  if (tail < 22 || !readAt(fd, end.data(), tail, size - tail)) return "no end record";
  size_t eocd = tail - 22 + 1;
  do {
    --eocd;
  } while (eocd > 0 && le(&end[eocd], 4) != 0x06054b50);
  if (le(&end[eocd], 4) != 0x06054b50) return "no end record";
  uint64_t endPos = size - tail + eocd;
  uint64_t count = le(&end[eocd + 10], 2), cdSize = le(&end[eocd + 12], 4),
           cdOffset = le(&end[eocd + 16], 4);
  unsigned char loc[20], z64[56];
  if (endPos >= 20 && readAt(fd, loc, 20, endPos - 20) && le(loc, 4) == 0x07064b50) {
    const uint64_t at = le(loc + 8, 8);
    if (!readAt(fd, z64, 56, at) || le(z64, 4) != 0x06064b50) return "a damaged zip64 end record";
    count = le(z64 + 32, 8), cdSize = le(z64 + 40, 8), cdOffset = le(z64 + 48, 8);
    endPos = at;
  }
  if (cdOffset > endPos || cdSize > endPos - cdOffset) return "a damaged end record";
  const uint64_t before = endPos - (cdOffset + cdSize);
  struct Span {
    uint64_t from, to;
    std::string name;
  };
  std::vector<Span> spans;
  uint64_t at = before + cdOffset;
  for (uint64_t i = 0; i < count; ++i) {
    unsigned char c[46];
    if (!readAt(fd, c, 46, at) || le(c, 4) != 0x02014b50) return "a damaged central directory";
    const size_t nameLen = le(c + 28, 2), extraLen = le(c + 30, 2), commentLen = le(c + 32, 2);
    std::string name(nameLen, '\0');
    std::vector<unsigned char> extra(extraLen);
    if (!readAt(fd, name.data(), nameLen, at + 46) ||
        !readAt(fd, extra.data(), extraLen, at + 46 + nameLen))
      return "a damaged central directory";
    uint64_t packed = le(c + 20, 4), plain = le(c + 24, 4), local = le(c + 42, 4);
    // Values too large for their fields are in the zip64 extra field, in this order.
    for (size_t x = 0; x + 4 <= extra.size();) {
      const size_t id = le(&extra[x], 2), len = le(&extra[x + 2], 2);
      if (x + 4 + len > extra.size()) break;
      if (id == 0x0001) {
        size_t f = x + 4;
        for (uint64_t *v : {&plain, &packed, &local})
          if (*v == 0xffffffff && f + 8 <= x + 4 + len) *v = le(&extra[f], 8), f += 8;
      }
      x += 4 + len;
    }
    unsigned char h[30];
    const uint64_t l = before + std::min(local, size);
    if (local > size || !readAt(fd, h, 30, l) || le(h, 4) != 0x04034b50)
      return "no local header for \"" + withControlsEscaped(name) + "\"";
    const size_t localNameLen = le(h + 26, 2), localExtraLen = le(h + 28, 2);
    std::string localName(localNameLen, '\0');
    if (!readAt(fd, localName.data(), localNameLen, l + 30) || localName != name)
      return "the local header of \"" + withControlsEscaped(name) + "\" names another file";
    const uint64_t dataEnd = l + 30 + localNameLen + localExtraLen + packed;
    if (packed > size || dataEnd > size) return "\"" + withControlsEscaped(name) + "\" is cut";
    spans.push_back({l, dataEnd, std::move(name)});
    at += 46 + nameLen + extraLen + commentLen;
  }
  std::sort(spans.begin(), spans.end(),
            [](const Span &a, const Span &b) { return a.from < b.from; });
  for (size_t i = 1; i < spans.size(); ++i)
    if (spans[i].from < spans[i - 1].to)
      return "entries \"" + withControlsEscaped(spans[i - 1].name) + "\" and \"" +
             withControlsEscaped(spans[i].name) + "\" overlap";
  return {};
}

// Traditional PKWARE encryption: three keys stepped by every plain byte.
struct ZipCryptKeys {
  uint32_t k[3] = {0x12345678, 0x23456789, 0x34567890};
  static uint32_t crcByte(uint32_t crc, unsigned char c) {
    return static_cast<uint32_t>(get_crc_table()[(crc ^ c) & 0xff]) ^ (crc >> 8);
  }
  void update(unsigned char c) {
    k[0] = crcByte(k[0], c);
    k[1] = (k[1] + (k[0] & 0xff)) * 134775813 + 1;
    k[2] = crcByte(k[2], static_cast<unsigned char>(k[1] >> 24));
  }
  unsigned char decode(unsigned char c) {
    const uint32_t t = (k[2] & 0xffff) | 2;
    c ^= static_cast<unsigned char>((t * (t ^ 1)) >> 8);
    update(c);
    return c;
  }
  explicit ZipCryptKeys(const std::string &password) {
    for (unsigned char c : password)
      update(c);
  }
};

// Copies the current entry, opened raw, to out as plain bytes: decrypted (the password as its
// UTF-8 bytes), inflated or stored, and checked against its CRC and size. The library as
// packaged cannot decrypt, so this does it all.
bool decodeEntry(unzFile uf, const unz_file_info64 &info, const std::string &password, int out,
                 std::string *why, bool *noSpace) {
  const bool encrypted = (info.flag & 1) != 0;
  const int method = info.compression_method;
  if (method != 0 && method != Z_DEFLATED) return *why = "its compression is not supported", false;
  ZipCryptKeys keys(password);
  size_t headerLeft = encrypted ? 12 : 0;
  z_stream zs{};
  if (method == Z_DEFLATED && inflateInit2(&zs, -MAX_WBITS) != Z_OK)
    return *why = "no memory", false;
  struct End {
    z_stream *zs;
    bool on;
    ~End() {
      if (on) inflateEnd(zs);
    }
  } end{&zs, method == Z_DEFLATED};
  std::vector<unsigned char> in(kChunk), plain(kChunk);
  uLong crc = crc32(0L, Z_NULL, 0);
  unsigned long long total = 0;
  bool finished = method == 0;
  SpaceGuard space(out);
  auto emit = [&](const unsigned char *p, size_t n) {
    crc = crc32(crc, p, static_cast<uInt>(n));
    total += n;
    // The declared size bounds what one entry may write.
    if (total > info.uncompressed_size) return *why = "the data is longer than declared", false;
    if (!space.reserve(static_cast<int64_t>(n)))
      return *noSpace = true, *why = "not enough free disk space", false;
    for (size_t at = 0; at < n;) {
      ssize_t w = write(out, p + at, n - at);
      if (w <= 0) return *why = std::strerror(errno), false;
      at += static_cast<size_t>(w);
    }
    return true;
  };
  for (;;) {
    const int n = unzReadCurrentFile(uf, in.data(), static_cast<unsigned>(in.size()));
    if (n < 0) return *why = "the archive cannot be read", false;
    if (n == 0) break;
    size_t at = 0;
    if (encrypted) {
      for (int i = 0; i < n; ++i)
        in[static_cast<size_t>(i)] = keys.decode(in[static_cast<size_t>(i)]);
      while (headerLeft > 0 && at < static_cast<size_t>(n)) {
        // The header's last byte checks the password against the CRC (or, with a data
        // descriptor, the time).
        if (--headerLeft == 0) {
          const unsigned check = (info.flag & 8) ? (info.dosDate >> 8) & 0xff : (info.crc >> 24);
          if (in[at] != check) return *why = "the password is wrong", false;
        }
        ++at;
      }
    }
    if (method == 0) {
      if (!emit(in.data() + at, static_cast<size_t>(n) - at)) return false;
      continue;
    }
    zs.next_in = in.data() + at;
    zs.avail_in = static_cast<uInt>(static_cast<size_t>(n) - at);
    while (zs.avail_in > 0 && !finished) {
      zs.next_out = plain.data();
      zs.avail_out = static_cast<uInt>(plain.size());
      const int rc = inflate(&zs, Z_NO_FLUSH);
      if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR)
        return *why = "the data is damaged (or the password wrong)", false;
      if (!emit(plain.data(), plain.size() - zs.avail_out)) return false;
      finished = rc == Z_STREAM_END;
    }
  }
  // Output still held back by inflate.
  while (!finished) {
    zs.next_out = plain.data();
    zs.avail_out = static_cast<uInt>(plain.size());
    const int rc = inflate(&zs, Z_FINISH);
    if (rc != Z_STREAM_END && rc != Z_BUF_ERROR && rc != Z_OK)
      return *why = "the data is damaged (or the password wrong)", false;
    const size_t got = plain.size() - zs.avail_out;
    if (!emit(plain.data(), got)) return false;
    finished = rc == Z_STREAM_END;
    if (!finished && got == 0) return *why = "the data ends early", false;
  }
  if (headerLeft > 0) return *why = "the data ends early", false;
  if (crc != info.crc || total != info.uncompressed_size) return *why = "CRC error", false;
  return true;
}

} // namespace

MinizipArchive::MinizipArchive() = default;

MinizipArchive::~MinizipArchive() {
  CloseZipFile2();
  UnzipCloseFile();
  while (bgDepth_ > 0)
    doneInBackground();
}

bool MinizipArchive::UnzipIsEncrypted(const std::string &path) {
  Fd f(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  unsigned char head[8];
  if (f.fd < 0 || pread(f.fd, head, sizeof head, 0) != static_cast<ssize_t>(sizeof head))
    return false;
  return (head[6] & 1) != 0;
}

std::string MinizipArchive::unsafeEntryName(const std::string &name) {
  if (name.empty()) return "the name is empty";
  if (name[0] == '/') return "the name is an absolute path";
  if (name.size() >= 2 && std::isalpha(static_cast<unsigned char>(name[0])) && name[1] == ':')
    return "the name starts with a drive";
  for (const std::string &part : partsOf(name))
    if (part == "..") return "the name leads out of the folder";
  return {};
}

void MinizipArchive::OutputErrorMessage(const std::string &text) {
  Log::systemf("Zip: %s", text.c_str());
  if (errorMessage) errorMessage(text);
}

bool MinizipArchive::OverWrite(const std::string &path) {
  return overWriteOperation ? overWriteOperation(path) : true;
}

namespace {
// Ends the task held in `task`, once, whoever comes first: the archive's end of work or the
// system's expiry.
void endHeldTask(std::atomic<unsigned> &task) {
  if (const unsigned id = task.exchange(platform::kBackgroundTaskInvalid);
      id != platform::kBackgroundTaskInvalid)
    platform::Application::shared().endBackgroundTask(id);
}
} // namespace

platform::WallTime MinizipArchive::Date1980() {
  struct tm tm {};
  tm.tm_year = 80;
  tm.tm_mday = 1;
  tm.tm_isdst = -1;
  return std::chrono::system_clock::from_time_t(mktime(&tm));
}

void MinizipArchive::startInBackground() {
  auto &app = platform::Application::shared();
  if (bgDepth_++ > 0 || !app.backgroundTasksSupported()) return;
  auto task = bgTask_;
  // When the background time runs out, the task is ended on the main thread.
  task->store(app.beginBackgroundTask(
      [task] { platform::RunLoop::main()->perform([task] { endHeldTask(*task); }); }));
}

void MinizipArchive::doneInBackground() {
  if (bgDepth_ == 0 || --bgDepth_ > 0) return;
  endHeldTask(*bgTask_);
}

// --- Writing ----------------------------------------------------------------------------------

bool MinizipArchive::CreateZipFile2(const std::string &path) {
  CloseZipFile2();
  zipFile_ = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
  return zipFile_ != nullptr;
}

bool MinizipArchive::CreateZipFile2(const std::string &path, const std::string &password) {
  password_ = password;
  if (CreateZipFile2(path)) return true;
  password_.clear();
  return false;
}

bool MinizipArchive::OpenZipFile2(const std::string &path) {
  CloseZipFile2();
  zipFile_ = zipOpen64(path.c_str(), APPEND_STATUS_ADDINZIP);
  return zipFile_ != nullptr;
}

bool MinizipArchive::addFileToZip(const std::string &file, const std::string &newname) {
  if (!zipFile_) return false;
  Fd in(open(file.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (in.fd < 0 || fstat(in.fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  zip_fileinfo zi{};
  zi.external_fa = static_cast<uLong>(S_IFREG | (st.st_mode & 0777)) << 16;
  struct tm tm {};
  if (localtime_r(&st.st_mtime, &tm)) {
    zi.tmz_date.tm_sec = static_cast<uInt>(tm.tm_sec);
    zi.tmz_date.tm_min = static_cast<uInt>(tm.tm_min);
    zi.tmz_date.tm_hour = static_cast<uInt>(tm.tm_hour);
    zi.tmz_date.tm_mday = static_cast<uInt>(tm.tm_mday);
    zi.tmz_date.tm_mon = static_cast<uInt>(tm.tm_mon);
    zi.tmz_date.tm_year = static_cast<uInt>(tm.tm_year + 1900);
  }
  std::vector<char> buf(kChunk);
  auto forEachChunk = [&](auto &&use) {
    if (lseek(in.fd, 0, SEEK_SET) != 0) return false;
    for (;;) {
      ssize_t n = read(in.fd, buf.data(), buf.size());
      if (n < 0) return false;
      if (n == 0) return true;
      if (!use(static_cast<unsigned>(n))) return false;
    }
  };
  // Traditional encryption needs the CRC before the data.
  uLong crc = crc32(0L, Z_NULL, 0);
  if (!password_.empty() && !forEachChunk([&](unsigned n) {
        crc = crc32(crc, reinterpret_cast<const Bytef *>(buf.data()), n);
        return true;
      }))
    return false;
  const int zip64 = static_cast<unsigned long long>(st.st_size) >= 0xffffffffULL ? 1 : 0;
  if (zipOpenNewFileInZip4_64(zipHandle(zipFile_), newname.c_str(), &zi, nullptr, 0, nullptr, 0,
                              nullptr, Z_DEFLATED, Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS,
                              DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY,
                              password_.empty() ? nullptr : password_.c_str(), crc, kMadeByUnix,
                              nameFlags(newname), zip64) != ZIP_OK)
    return false;
  const bool written = forEachChunk([&](unsigned n) {
    return zipWriteInFileInZip(zipHandle(zipFile_), buf.data(), n) == ZIP_OK;
  });
  const bool closed = zipCloseFileInZip(zipHandle(zipFile_)) == ZIP_OK;
  return written && closed;
}

int MinizipArchive::addFolderToZip(const std::string &folder, const std::string &pathPrefix) {
  startInBackground();
  int added = 0;
  walkTree(folder, [&](const TreeEntry &e) {
    if (!e.isDirectory &&
        addFileToZip(e.path, pathPrefix.empty() ? e.relative : pathPrefix + "/" + e.relative))
      ++added;
    return true;
  });
  doneInBackground();
  return added;
}

bool MinizipArchive::CloseZipFile2() {
  password_.clear();
  if (!zipFile_) return false;
  const bool ok = zipClose(zipHandle(zipFile_), nullptr) == ZIP_OK;
  zipFile_ = nullptr;
  return ok;
}

// --- Reading ----------------------------------------------------------------------------------

bool MinizipArchive::UnzipOpenFile(const std::string &path) {
  UnzipCloseFile();
  unzFile_ = unzOpen64(path.c_str());
  if (!unzFile_) return false;
  unzPath_ = path;
  unz_global_info64 info{};
  if (unzGetGlobalInfo64(unzHandle(unzFile_), &info) == UNZ_OK)
    Log::debugf("%llu entries in the zip file", static_cast<unsigned long long>(info.number_entry));
  return true;
}

bool MinizipArchive::UnzipOpenFile(const std::string &path, const std::string &password) {
  UnzipCloseFile();
  if (!UnzipOpenFile(path)) return false;
  password_ = password;
  return true;
}

bool MinizipArchive::UnzipCloseFile() {
  password_.clear();
  if (!unzFile_) return true;
  const bool ok = unzClose(unzHandle(unzFile_)) == UNZ_OK;
  unzFile_ = nullptr;
  return ok;
}

// One entry into the folder open at root. False stops the whole unpack; *skipped marks an entry
// that was refused or could not be written, which fails the unpack at its end.
bool MinizipArchive::unzipCurrent(int root, bool overWrite, bool *skipped) {
  unzFile uf = unzHandle(unzFile_);
  unz_file_info64 info{};
  std::vector<char> nameBuf(65536 + 1);
  std::vector<unsigned char> extra(65536);
  if (unzGetCurrentFileInfo64(uf, &info, nameBuf.data(), nameBuf.size() - 1, extra.data(),
                              extra.size(), nullptr, 0) != UNZ_OK) {
    OutputErrorMessage("Error occurs while getting file info");
    return false;
  }
  const bool encrypted = (info.flag & 1) != 0;
  std::string name(nameBuf.data(), std::min<size_t>(info.size_filename, nameBuf.size() - 1));
  auto refuse = [&](const std::string &why) {
    Log::systemf("Zip entry \"%s\" skipped: %s", withControlsEscaped(name).c_str(), why.c_str());
    *skipped = true;
    return true;
  };
  if (name.find('\0') != std::string::npos) return refuse("the name holds a NUL");
  if (encrypted && password_.empty()) return refuse("it is encrypted and no password was given");
  for (char &c : name)
    if (c == '\\') c = '/';
  if (std::string why = unsafeEntryName(name); !why.empty()) return refuse(why);
  const bool unixMade = (info.version >> 8) == 3;
  if (unixMade && S_ISLNK(static_cast<mode_t>(info.external_fa >> 16)))
    return refuse("links are not unpacked");
  const bool isDirectory = name.back() == '/';
  const std::vector<std::string> parts = partsOf(name);
  if (parts.empty()) return refuse("the name is empty");
  Fd dir = openFolders(root, parts, isDirectory ? parts.size() : parts.size() - 1);
  if (dir.fd < 0) return refuse("its folder cannot be made without following a link");
  if (isDirectory) return true;
  const std::string &leaf = parts.back();
  struct stat existing {};
  if (fstatat(dir.fd, leaf.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!overWrite && !OverWrite(name)) return true;
    // Replace rather than write through: an existing link or hard link is never followed.
    if (!S_ISDIR(existing.st_mode)) unlinkat(dir.fd, leaf.c_str(), 0);
  }
  Fd out(openat(dir.fd, leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (out.fd < 0) return refuse(std::string("cannot be written: ") + std::strerror(errno));
  if (unzOpenCurrentFile2(uf, nullptr, nullptr, 1) != UNZ_OK) {
    OutputErrorMessage("Error occurs");
    unlinkat(dir.fd, leaf.c_str(), 0);
    return false;
  }
  std::string why;
  bool noSpace = false;
  bool good = decodeEntry(uf, info, password_, out.fd, &why, &noSpace);
  unzCloseCurrentFile(uf);
  if (!good)
    OutputErrorMessage("Failed to reading zip file: " + withControlsEscaped(name) + ": " + why);
  if (!good) {
    unlinkat(dir.fd, leaf.c_str(), 0);
    *skipped = true;
    return !noSpace; // a full disk stops the unpack; a bad entry only fails it
  }
  long long when = extendedTime(extra.data(), std::min<size_t>(info.size_file_extra, extra.size()));
  if (when < 0) {
    struct tm tm {};
    tm.tm_sec = static_cast<int>(info.tmu_date.tm_sec);
    tm.tm_min = static_cast<int>(info.tmu_date.tm_min);
    tm.tm_hour = static_cast<int>(info.tmu_date.tm_hour);
    tm.tm_mday = static_cast<int>(info.tmu_date.tm_mday);
    tm.tm_mon = static_cast<int>(info.tmu_date.tm_mon);
    tm.tm_year = static_cast<int>(info.tmu_date.tm_year) - 1900;
    tm.tm_isdst = -1;
    when = mktime(&tm);
  }
  const struct timespec times[2] = {{static_cast<time_t>(when), 0}, {static_cast<time_t>(when), 0}};
  if (when < 0 || futimens(out.fd, times) != 0) OutputErrorMessage("Failed to set attributes");
  return true;
}

bool MinizipArchive::UnzipFileTo(const std::string &folder, bool overWrite) {
  if (!unzFile_) return false;
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  Fd root(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (root.fd < 0) return false;
  {
    // Checked before anything is written: an archive whose parts disagree is refused whole.
    Fd archive(open(unzPath_.c_str(), O_RDONLY | O_CLOEXEC));
    const std::string why =
        archive.fd < 0 ? "the archive cannot be read" : disagreement(archive.fd);
    if (!why.empty()) {
      OutputErrorMessage("Failed: " + why);
      return false;
    }
  }
  unzFile uf = unzHandle(unzFile_);
  if (unzGoToFirstFile(uf) != UNZ_OK) {
    // No entries, or no readable directory: nothing unpacked is not a success.
    OutputErrorMessage("Failed");
    return false;
  }
  startInBackground();
  bool skipped = false;
  bool ok = true;
  int rc = UNZ_OK;
  while (rc == UNZ_OK) {
    if (!unzipCurrent(root.fd, overWrite, &skipped)) {
      ok = false;
      break;
    }
    rc = unzGoToNextFile(uf);
  }
  if (ok && rc != UNZ_END_OF_LIST_OF_FILE) {
    OutputErrorMessage("Failed");
    ok = false;
  }
  doneInBackground();
  return ok && !skipped;
}

void MinizipArchive::setFreeSpaceQuery(FreeSpaceQuery query) {
  std::lock_guard lock(freeSpaceMutex);
  freeSpaceQuery() = std::move(query);
}

void installZipArchive() {
  ZipArchive::setMaker([] { return std::make_unique<MinizipArchive>(); });
}
