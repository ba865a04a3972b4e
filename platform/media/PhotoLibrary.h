// The photo library on the desktop: the user's pictures folder (XDG_PICTURES_DIR, else
// ~/Pictures; a test sets its own). Its folders are the albums and the picture and video files
// in them the assets; pictures lying in the folder itself form the album "Saved Photos", where
// pictures written "to the photo library" go. An asset has one representation: its file's bytes.
//
// Assets are addressed like the phone's ("assets-library://asset/asset.JPG?id=...&ext=JPG");
// the id is derived from the file's place in the folder, so an address resolves only to a file
// inside the pictures folder, whatever the address says. Any thread; nothing is cached.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform::media {

class Image;

struct PhotoAlbum {
  std::string name;
  std::string path; // absolute folder
  int assetCount = 0;
};

struct PhotoAsset {
  std::string url;            // the asset's address
  std::string path;           // absolute file
  std::string typeIdentifier; // "public.jpeg", "public.png", "com.apple.quicktime-movie", ...
  int64_t size = 0;
  time_t date = 0; // when it was taken (EXIF) else the file's modification time
  bool isVideo = false;
};

class PhotoLibrary {
public:
  static constexpr const char *kSavedPhotosAlbum = "Saved Photos";
  static constexpr size_t kMaxAssetsPerAlbum = 100000;

  // The pictures folder: the test override, else XDG_PICTURES_DIR (environment, then
  // user-dirs.dirs), else ~/Pictures.
  static std::string picturesFolder();
  static void setPicturesFolder(std::optional<std::string> folder);
  // The library can be browsed: the pictures folder exists.
  static bool isAvailable();
  // Makes the pictures folder when it is missing, as a desktop session does for its user; true
  // when it is there afterwards.
  static bool makeFolder();

  // Albums sorted by name; "Saved Photos" first when the folder itself holds assets. Empty with
  // `error` set when the folder cannot be read; `denied` tells a folder this user may not read
  // (access refused for every program) from one that is missing or broken.
  static std::vector<PhotoAlbum> albums(std::string *error = nullptr, bool *denied = nullptr);
  // The assets of one album (its files, not its sub-folders), sorted by file name.
  static std::vector<PhotoAsset> assets(const PhotoAlbum &album);
  // The asset an address names, searched in every album.
  static std::optional<PhotoAsset> assetForURL(const std::string &url);

  // Copies the asset's bytes to `path` in pieces, reporting the fraction written after each.
  // A file that ends before its size (it shrank while read) or any read or write error fails:
  // the partial file is removed and `error` says why.
  static bool writeAsset(const PhotoAsset &asset, const std::string &path,
                         const std::function<void(double)> &progress, std::string *error);
  // Stores a new picture in "Saved Photos" as IMG_nnnn.<ext>; its path, empty on failure.
  static std::string addPicture(const std::vector<uint8_t> &bytes, const std::string &ext);
  // Stores a copy of a video file in "Saved Photos" as MOV_nnnn.<its extension>; its path, empty
  // when the file is no video or cannot be copied.
  static std::string addVideo(const std::string &path);
  // A small picture of the asset (longest side `side` pixels); none for videos and undecodable
  // files.
  static std::shared_ptr<Image> thumbnail(const PhotoAsset &asset, int side = 64);
  // The library's square thumbnail: the middle of the picture, filling `side` by `side` pixels;
  // none for videos and undecodable files.
  static std::shared_ptr<Image> squareThumbnail(const PhotoAsset &asset, int side = 88);

  // File kinds by extension (lower case, without the dot).
  static bool isPictureExtension(const std::string &ext);
  static bool isVideoExtension(const std::string &ext);
  // The address's "id=" and "ext=" values, "unknown" when missing.
  static std::string urlParameter(const std::string &url, const std::string &key);
};

} // namespace platform::media
