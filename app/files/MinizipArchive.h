// Zip archives over minizip: create one or add to one (a file or a whole folder, each with its
// modification time, optionally encrypted with a password), and unpack one into a folder with its
// directories and times. Entry names from an archive are untrusted: a name that would land
// outside the target folder, and any link entry, is skipped with a logged reason and the unpack
// then fails; outputs are opened without following symbolic links and a file that fails its read
// or its CRC check is removed again. An archive whose local headers disagree with its central
// directory (another name, or entries sharing bytes) is refused before anything is written, and
// an unpack stops, removing the entry it was writing, before the disk would have less than
// kMinFreeSpace free.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/files/ArchiveServices.h"
#include "platform/foundation/Clock.h"

class MinizipArchive : public ZipArchive {
public:
  MinizipArchive();
  ~MinizipArchive() override;
  MinizipArchive(const MinizipArchive &) = delete;
  MinizipArchive &operator=(const MinizipArchive &) = delete;

  // Bit 0 of the first local header's general-purpose flag; false for a file that cannot be
  // read or is too short to hold a header.
  static bool UnzipIsEncrypted(const std::string &path);
  // 1 January 1980, midnight, in the local time zone: the earliest time a zip entry holds.
  static platform::WallTime Date1980();

  bool CreateZipFile2(const std::string &path);
  bool CreateZipFile2(const std::string &path, const std::string &password);
  bool OpenZipFile2(const std::string &path);
  bool addFileToZip(const std::string &file, const std::string &newname);
  // Entries added (folders give none of their own).
  int addFolderToZip(const std::string &folder, const std::string &pathPrefix);
  bool CloseZipFile2();

  bool UnzipOpenFile(const std::string &path) override;
  bool UnzipOpenFile(const std::string &path, const std::string &password);
  bool UnzipFileTo(const std::string &folder, bool overWrite) override;
  bool UnzipCloseFile() override;

  // Error texts (the delegate's ErrorMessage) and the overwrite question (OverWriteOperation;
  // without one existing files are overwritten).
  std::function<void(const std::string &)> errorMessage;
  std::function<bool(const std::string &)> overWriteOperation;

  // Free bytes on the file system holding an open descriptor. Unset, the system is asked; tests
  // set a small budget instead of filling a disk. Any thread.
  using FreeSpaceQuery = std::function<int64_t(int fd)>;
  static void setFreeSpaceQuery(FreeSpaceQuery query);
  static constexpr int64_t kMinFreeSpace = 64LL << 20;

  // Why an entry name may not be written below a folder; empty when it may. The name has its
  // "\" already turned into "/".
  static std::string unsafeEntryName(const std::string &name);

private:
  void OutputErrorMessage(const std::string &text);
  bool OverWrite(const std::string &path);
  void startInBackground();
  void doneInBackground();
  bool unzipCurrent(int root, bool overWrite, bool *skipped);

  void *zipFile_ = nullptr;
  void *unzFile_ = nullptr;
  std::string password_;
  std::string unzPath_;
  // The background task held while an unpack or a folder add runs; its expiry handler shares it,
  // as the handler may run after the archive is gone.
  std::shared_ptr<std::atomic<unsigned>> bgTask_ = std::make_shared<std::atomic<unsigned>>(0);
  int bgDepth_ = 0;
};

// Installs MinizipArchive as the archive maker of the transfer queue; called once at start-up.
void installZipArchive();
