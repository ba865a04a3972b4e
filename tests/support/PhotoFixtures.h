// A pictures folder made by a test: JPEGs with an EXIF orientation and date, PNGs, GIF-named
// files and videos in albums. Header-only: only tests that link the media layer include it.
#pragma once

#include "tests/support/ImageFixtures.h"
#include "tests/support/TestSupport.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

// A JPEG of the picture with an EXIF block (orientation 1-8 and, when given, the date as
// "YYYY:MM:DD HH:MM:SS") right after the start marker.
inline std::vector<uint8_t> jpegWithExif(const platform::media::Image &image, int orientation,
                                         const std::string &date = "") {
  std::vector<uint8_t> jpeg = image.jpegRepresentation(0.95);
  std::vector<uint8_t> tiff{'M', 'M', 0, 42, 0, 0, 0, 8};
  const uint16_t entries = date.empty() ? 1 : 2;
  auto put16 = [&](uint16_t v) {
    tiff.push_back(uint8_t(v >> 8));
    tiff.push_back(uint8_t(v));
  };
  auto put32 = [&](uint32_t v) {
    put16(uint16_t(v >> 16));
    put16(uint16_t(v));
  };
  put16(entries);
  put16(0x0112), put16(3), put32(1), put16(uint16_t(orientation)), put16(0);
  const uint32_t dataAt = 8 + 2 + 12 * entries + 4;
  if (!date.empty()) put16(0x0132), put16(2), put32(uint32_t(date.size() + 1)), put32(dataAt);
  put32(0);
  if (!date.empty()) {
    tiff.insert(tiff.end(), date.begin(), date.end());
    tiff.push_back(0);
  }
  std::vector<uint8_t> app1{0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
  app1.insert(app1.end(), tiff.begin(), tiff.end());
  const size_t length = app1.size() - 2;
  app1[2] = uint8_t(length >> 8);
  app1[3] = uint8_t(length);
  jpeg.insert(jpeg.begin() + 2, app1.begin(), app1.end());
  return jpeg;
}

inline bool writeBytes(const std::string &path, const std::vector<uint8_t> &bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  return writeFile(path, std::string(bytes.begin(), bytes.end()));
}

// Pictures/: top.png; Holidays/: beach.jpg (EXIF 6, dated), clip.mov, notes.txt, .hidden.jpg;
// Empty/ (no assets).
inline void makePicturesFolder(const std::string &root) {
  auto picture = coordinatePicture(6, 4);
  writeBytes(root + "/top.png", picture->pngRepresentation());
  writeBytes(root + "/Holidays/beach.jpg", jpegWithExif(*picture, 6, "2021:07:04 10:30:00"));
  writeFile(root + "/Holidays/clip.mov", std::string(3000, 'm'));
  writeFile(root + "/Holidays/notes.txt", "not a picture");
  writeBytes(root + "/Holidays/.hidden.jpg", picture->jpegRepresentation(0.9));
  std::filesystem::create_directories(root + "/Empty");
}

} // namespace testsupport
