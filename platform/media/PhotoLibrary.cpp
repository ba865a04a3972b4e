#include "platform/media/PhotoLibrary.h"

#include <fcntl.h>
#include <libexif/exif-data.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "platform/media/BitmapContext.h"
#include "platform/media/Image.h"

namespace fs = std::filesystem;

namespace platform::media {

namespace {

std::mutex overrideMutex;
std::optional<std::string> folderOverride;

std::string lower(std::string s) {
  for (char &c : s)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string upper(std::string s) {
  for (char &c : s)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string extensionOf(const std::string &name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return {};
  return lower(name.substr(dot + 1));
}

// XDG_PICTURES_DIR as user-dirs.dirs names it ("$HOME/Pictures" or an absolute path).
std::optional<std::string> userDirsPictures(const std::string &home) {
  const char *config = std::getenv("XDG_CONFIG_HOME");
  const std::string file =
      (config && *config ? std::string(config) : home + "/.config") + "/user-dirs.dirs";
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("XDG_PICTURES_DIR=", 0) != 0) continue;
    std::string value = line.substr(17);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    if (value.rfind("$HOME", 0) == 0) value = home + value.substr(5);
    if (!value.empty() && value.front() == '/') return value;
  }
  return std::nullopt;
}

const char *typeIdentifierFor(const std::string &ext) {
  static const std::pair<const char *, const char *> types[] = {
      {"jpg", "public.jpeg"},       {"jpeg", "public.jpeg"},
      {"png", "public.png"},        {"gif", "com.compuserve.gif"},
      {"tif", "public.tiff"},       {"tiff", "public.tiff"},
      {"heic", "public.heic"},      {"webp", "org.webmproject.webp"},
      {"bmp", "com.microsoft.bmp"}, {"mov", "com.apple.quicktime-movie"},
      {"mp4", "public.mpeg-4"},     {"m4v", "com.apple.m4v-video"},
      {"3gp", "public.3gpp"},       {"avi", "public.avi"},
      {"mpg", "public.mpeg"},       {"mpeg", "public.mpeg"},
      {"mkv", "org.matroska.mkv"},  {"webm", "org.webmproject.webm"},
  };
  for (const auto &[e, type] : types)
    if (ext == e) return type;
  return "public.data";
}

// A stable id for a file's place in the library, in the phone's form (8-4-4-4-12 hex digits):
// two FNV-1a hashes of the relative path.
std::string assetId(const std::string &relative) {
  auto fnv = [&](uint64_t seed) {
    uint64_t h = seed;
    for (unsigned char c : relative) {
      h ^= c;
      h *= 0x100000001b3ULL;
    }
    return h;
  };
  char hex[33];
  std::snprintf(hex, sizeof hex, "%016llX%016llX",
                static_cast<unsigned long long>(fnv(0xcbf29ce484222325ULL)),
                static_cast<unsigned long long>(fnv(0x84222325cbf29ce4ULL)));
  const std::string h(hex);
  return h.substr(0, 8) + "-" + h.substr(8, 4) + "-" + h.substr(12, 4) + "-" + h.substr(16, 4) +
         "-" + h.substr(20, 12);
}

// "YYYY:MM:DD HH:MM:SS" of the EXIF original date (else the plain date), as local time.
std::optional<time_t> exifDate(const std::string &path) {
  ExifData *data = exif_data_new_from_file(path.c_str());
  if (!data) return std::nullopt;
  std::optional<time_t> when;
  for (ExifTag tag : {EXIF_TAG_DATE_TIME_ORIGINAL, EXIF_TAG_DATE_TIME}) {
    ExifEntry *entry = exif_data_get_entry(data, tag);
    if (!entry) continue;
    char text[64] = {};
    exif_entry_get_value(entry, text, sizeof text);
    struct tm tm {};
    if (std::sscanf(text, "%d:%d:%d %d:%d:%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                    &tm.tm_min, &tm.tm_sec) == 6 &&
        tm.tm_year > 1900 && tm.tm_mon >= 1 && tm.tm_mon <= 12) {
      tm.tm_year -= 1900;
      tm.tm_mon -= 1;
      tm.tm_isdst = -1;
      const time_t t = mktime(&tm);
      if (t != static_cast<time_t>(-1)) {
        when = t;
        break;
      }
    }
  }
  exif_data_unref(data);
  return when;
}

bool isAssetFile(const fs::directory_entry &entry) {
  std::error_code ec;
  if (!entry.is_regular_file(ec)) return false;
  const std::string name = entry.path().filename().string();
  if (name.empty() || name[0] == '.') return false;
  const std::string ext = extensionOf(name);
  return PhotoLibrary::isPictureExtension(ext) || PhotoLibrary::isVideoExtension(ext);
}

int countAssets(const std::string &folder) {
  int count = 0;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
    if (isAssetFile(*it) && ++count >= static_cast<int>(PhotoLibrary::kMaxAssetsPerAlbum)) break;
  return count;
}

} // namespace

std::string PhotoLibrary::picturesFolder() {
  {
    std::lock_guard lock(overrideMutex);
    if (folderOverride) return *folderOverride;
  }
  if (const char *env = std::getenv("XDG_PICTURES_DIR"); env && *env == '/') return env;
  const char *home = std::getenv("HOME");
  const std::string h = home && *home ? home : "/";
  if (auto dirs = userDirsPictures(h)) return *dirs;
  return h + "/Pictures";
}

void PhotoLibrary::setPicturesFolder(std::optional<std::string> folder) {
  std::lock_guard lock(overrideMutex);
  folderOverride = std::move(folder);
}

bool PhotoLibrary::isAvailable() {
  std::error_code ec;
  return fs::is_directory(picturesFolder(), ec);
}

bool PhotoLibrary::makeFolder() {
  const std::string root = picturesFolder();
  std::error_code ec;
  if (!fs::exists(root, ec)) {
    fs::create_directories(root, ec);
    if (!ec) ::chmod(root.c_str(), 0700);
  }
  return isAvailable();
}

bool PhotoLibrary::isPictureExtension(const std::string &ext) {
  static const char *const kinds[] = {"jpg",  "jpeg", "png",  "gif", "tif",
                                      "tiff", "heic", "webp", "bmp"};
  return std::find(std::begin(kinds), std::end(kinds), lower(ext)) != std::end(kinds);
}

bool PhotoLibrary::isVideoExtension(const std::string &ext) {
  static const char *const kinds[] = {"mov", "mp4",  "m4v", "3gp", "avi",
                                      "mpg", "mpeg", "mkv", "webm"};
  return std::find(std::begin(kinds), std::end(kinds), lower(ext)) != std::end(kinds);
}

std::string PhotoLibrary::urlParameter(const std::string &url, const std::string &key) {
  const size_t q = url.find('?');
  if (q == std::string::npos) return "unknown";
  size_t start = q + 1;
  while (start <= url.size()) {
    size_t end = url.find('&', start);
    if (end == std::string::npos) end = url.size();
    const std::string part = url.substr(start, end - start);
    if (part.rfind(key + "=", 0) == 0) return part.substr(key.size() + 1);
    start = end + 1;
  }
  return "unknown";
}

std::vector<PhotoAlbum> PhotoLibrary::albums(std::string *error, bool *denied) {
  const std::string root = picturesFolder();
  std::vector<PhotoAlbum> found;
  std::error_code ec;
  fs::directory_iterator it(root, ec);
  if (ec) {
    if (error) *error = root + ": " + ec.message();
    if (denied) *denied = ec == std::errc::permission_denied;
    return found;
  }
  for (fs::directory_iterator end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    std::error_code dirEc;
    if (name.empty() || name[0] == '.' || !it->is_directory(dirEc)) continue;
    found.push_back(PhotoAlbum{name, it->path().string(), countAssets(it->path().string())});
  }
  std::sort(found.begin(), found.end(),
            [](const PhotoAlbum &a, const PhotoAlbum &b) { return a.name < b.name; });
  if (const int own = countAssets(root); own > 0)
    found.insert(found.begin(), PhotoAlbum{kSavedPhotosAlbum, root, own});
  return found;
}

std::vector<PhotoAsset> PhotoLibrary::assets(const PhotoAlbum &album) {
  std::vector<PhotoAsset> found;
  const fs::path root = fs::path(picturesFolder()).lexically_normal();
  std::error_code ec;
  std::vector<fs::directory_entry> files;
  for (fs::directory_iterator it(album.path, ec), end; !ec && it != end; it.increment(ec)) {
    if (!isAssetFile(*it)) continue;
    files.push_back(*it);
    if (files.size() >= kMaxAssetsPerAlbum) break;
  }
  std::sort(files.begin(), files.end(),
            [](const auto &a, const auto &b) { return a.path().filename() < b.path().filename(); });
  for (const auto &file : files) {
    const std::string path = file.path().string();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) continue;
    const std::string ext = extensionOf(file.path().filename().string());
    PhotoAsset asset;
    asset.path = path;
    asset.size = st.st_size;
    asset.isVideo = isVideoExtension(ext);
    asset.typeIdentifier = typeIdentifierFor(ext);
    asset.date = st.st_mtime;
    if (!asset.isVideo)
      if (auto taken = exifDate(path)) asset.date = *taken;
    const std::string relative = file.path().lexically_normal().lexically_relative(root).string();
    const std::string EXT = upper(ext);
    asset.url = "assets-library://asset/asset." + EXT + "?id=" + assetId(relative) + "&ext=" + EXT;
    found.push_back(std::move(asset));
  }
  return found;
}

std::optional<PhotoAsset> PhotoLibrary::assetForURL(const std::string &url) {
  if (url.rfind("assets-library://", 0) != 0) return std::nullopt;
  const std::string id = urlParameter(url, "id");
  if (id == "unknown") return std::nullopt;
  for (const PhotoAlbum &album : albums())
    for (PhotoAsset &asset : assets(album))
      if (urlParameter(asset.url, "id") == id) return std::move(asset);
  return std::nullopt;
}

bool PhotoLibrary::writeAsset(const PhotoAsset &asset, const std::string &path,
                              const std::function<void(double)> &progress, std::string *error) {
  auto fail = [&](const std::string &why, int out) {
    if (out >= 0) ::close(out);
    ::unlink(path.c_str());
    if (error) *error = why;
    return false;
  };
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  const int in = ::open(asset.path.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    if (error) *error = asset.path + ": " + std::strerror(errno);
    return false;
  }
  // A name already standing there (even a link) is replaced, never written through.
  ::unlink(path.c_str());
  const int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (out < 0) {
    const std::string why = path + ": " + std::strerror(errno);
    ::close(in);
    if (error) *error = why;
    return false;
  }
  constexpr size_t kPiece = 512000;
  std::vector<char> buffer(kPiece);
  int64_t written = 0;
  while (written < asset.size) {
    const size_t want = static_cast<size_t>(std::min<int64_t>(kPiece, asset.size - written));
    const ssize_t got = ::pread(in, buffer.data(), want, written);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ::close(in);
      return fail(got < 0 ? std::string("Reading the picture failed: ") + std::strerror(errno)
                          : std::string("The picture ended before its size: it was read in part."),
                  out);
    }
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = ::write(out, buffer.data() + done, static_cast<size_t>(got - done));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) {
        ::close(in);
        return fail(std::string("Writing the copy failed: ") + std::strerror(errno), out);
      }
      done += put;
    }
    written += got;
    if (progress) progress(static_cast<double>(written) / static_cast<double>(asset.size));
  }
  ::close(in);
  if (::close(out) != 0)
    return fail(std::string("Writing the copy failed: ") + std::strerror(errno), -1);
  if (progress) progress(1.0);
  return true;
}

namespace {

bool writeAll(int fd, const uint8_t *data, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t put = ::write(fd, data + done, size - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<size_t>(put);
  }
  return true;
}

// A new file "Saved Photos" never had (PREFIX_nnnn.ext), filled by `fill`; its path, or empty with
// nothing left behind. It is written under a hidden name (the library lists no hidden files) and
// appears under its own name only when whole; the link claims that name only if no other writer
// took it meanwhile.
std::string storeNew(const char *prefix, const std::string &ext,
                     const std::function<bool(int fd)> &fill) {
  const std::string root = PhotoLibrary::picturesFolder();
  std::error_code ec;
  fs::create_directories(root, ec);
  // Its own hidden name per writer: other threads and processes may store at the same time.
  static std::atomic<unsigned> writers{0};
  char partialName[80];
  std::snprintf(partialName, sizeof partialName, ".%s-%ld-%u.ferrowen-part", prefix,
                static_cast<long>(::getpid()), writers++);
  const std::string partial = root + "/" + partialName;
  ::unlink(partial.c_str());
  const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return {};
  const bool filled = fill(fd);
  if (::close(fd) != 0 || !filled) {
    ::unlink(partial.c_str());
    return {};
  }
  std::string stored;
  for (int n = 1; n < 100000 && stored.empty(); ++n) {
    char name[48];
    std::snprintf(name, sizeof name, "%s_%04d.", prefix, n);
    const std::string path = root + "/" + name + ext;
    if (::link(partial.c_str(), path.c_str()) == 0)
      stored = path;
    else if (errno != EEXIST)
      break;
  }
  ::unlink(partial.c_str());
  return stored;
}

} // namespace

std::string PhotoLibrary::addPicture(const std::vector<uint8_t> &bytes, const std::string &ext) {
  const std::string e = lower(ext.empty() ? std::string("jpg") : ext);
  // The extension names a file of the library: never a path.
  if (e.find('/') != std::string::npos || !isPictureExtension(e)) return {};
  return storeNew("IMG", e, [&](int fd) { return writeAll(fd, bytes.data(), bytes.size()); });
}

std::string PhotoLibrary::addVideo(const std::string &path) {
  const std::string e = lower(extensionOf(fs::path(path).filename().string()));
  if (!isVideoExtension(e)) return {};
  const int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return {};
  const std::string stored = storeNew("MOV", e, [&](int fd) {
    std::vector<uint8_t> buffer(512000);
    for (;;) {
      const ssize_t got = ::read(in, buffer.data(), buffer.size());
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return false;
      if (got == 0) return true;
      if (!writeAll(fd, buffer.data(), static_cast<size_t>(got))) return false;
    }
  });
  ::close(in);
  return stored;
}

std::shared_ptr<Image> PhotoLibrary::thumbnail(const PhotoAsset &asset, int side) {
  if (asset.isVideo || side <= 0) return nullptr;
  auto picture = Image::thumbnailWithContentsOfFile(asset.path, side);
  if (!picture) return nullptr;
  const PointSize seen = picture->size();
  if (seen.width <= 0 || seen.height <= 0) return nullptr;
  const double f = static_cast<double>(side) / std::max(seen.width, seen.height);
  const int w = std::max(1, static_cast<int>(seen.width * f + 0.5));
  const int h = std::max(1, static_cast<int>(seen.height * f + 0.5));
  auto context = BitmapContext::create(w, h);
  if (!context) return nullptr;
  context->drawImage(*picture, Rect2{0, 0, static_cast<double>(w), static_cast<double>(h)});
  return context->makeImage();
}

std::shared_ptr<Image> PhotoLibrary::squareThumbnail(const PhotoAsset &asset, int side) {
  if (asset.isVideo || side <= 0) return nullptr;
  auto picture = Image::thumbnailWithContentsOfFile(asset.path, side);
  if (!picture) return nullptr;
  const PointSize seen = picture->size();
  if (seen.width <= 0 || seen.height <= 0) return nullptr;
  // The shorter side fills the square; the longer one is cut evenly at both ends.
  const double f = static_cast<double>(side) / std::min(seen.width, seen.height);
  const double w = seen.width * f, h = seen.height * f;
  auto context = BitmapContext::create(side, side);
  if (!context) return nullptr;
  context->drawImage(*picture, Rect2{(side - w) / 2, (side - h) / 2, w, h});
  return context->makeImage();
}

} // namespace platform::media
