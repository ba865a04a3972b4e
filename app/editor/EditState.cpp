#include "app/editor/EditState.h"

#include "app/editor/EditFileView.h"
#include "app/editor/EditorServices.h"
#include "app/foundation/EditOrigin.h"
#include "app/foundation/PlatformExtensions.h"
#include "app/foundation/SettingsKeys.h"
#include "app/queue/BatchListView.h"

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/media/CloudContainer.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include <sys/stat.h>

using namespace platform;

namespace {

UserDefaults &settings() {
  return UserDefaults::standard();
}
std::string setting(const std::string &key) {
  return settings().stringForKey(key).value_or("");
}
bool isPad() {
  return Hardware::isiPad();
}

// What a save back from the working file was to look for on its server goes.
void forgetSendingBack(const std::string &workingFile) {
  for (const char *key :
       {kSendingBackBaseKey, kSendingBackTextKey, kSendingBackEarlierKey, kSendingBackJoinedKey})
    settings().removeObjectForKey(std::string(key) + workingFile);
}

// A key of one record: the plain one (none) or a file tab's.
std::string recordKey(std::optional<int> slot, const char *key) {
  return slot ? keyForTab(*slot, key) : std::string(key);
}

// Every key of one record goes: the plain record, or a file tab's (its slot no longer in use).
void forgetRecord(std::optional<int> slot) {
  for (const char *key : kEditRecordKeys)
    settings().setObject("", recordKey(slot, key));
  if (slot) settings().setObject("0", keyIndexIsUsed(*slot));
}

// Each record that names `workingFile`: the plain one (none), then each file tab's.
template <typename Fn> void forEachRecordOf(const std::string &workingFile, Fn fn) {
  if (setting(kEditingFTPFile) == workingFile) fn(std::optional<int>());
  const int slots = std::max(0, settings().integerForKey("TabIndexMax"));
  for (int i = 0; i < slots; ++i)
    if (setting(keyForTab(i, kEditingFTPFile)) == workingFile) fn(std::optional<int>(i));
}

// The working copy of a file of the device is named after the file it belongs to: two files of
// one name in two folders never share one.
std::string ownCopySource(const std::string &file) {
  return "device\n" + standardizePath(file);
}

// Typing keeps the text once it pauses this long, and never later than the longest wait after the
// first keystroke not yet kept.
constexpr Duration kTypingPause = std::chrono::milliseconds(1000);
constexpr Duration kLongestUnkept = std::chrono::milliseconds(5000);

uint64_t hashOf(const editor::Bytes &bytes) {
  uint64_t h = 1469598103934665603ull; // FNV-1a
  for (uint8_t b : bytes) {
    h ^= b;
    h *= 1099511628211ull;
  }
  return h;
}

} // namespace

FileMark FileMark::of(const editor::Bytes &bytes, const std::string &path) {
  FileMark m;
  m.size = bytes.size();
  m.hash = hashOf(bytes);
  struct stat st {};
  if (!path.empty() && ::stat(path.c_str(), &st) == 0)
    m.mtime = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return m;
}

std::string FileMark::text() const {
  char out[80];
  std::snprintf(out, sizeof out, "%" PRIu64 ":%" PRId64 ":%016" PRIx64, size, mtime, hash);
  return out;
}

std::optional<FileMark> FileMark::parse(const std::string &text) {
  FileMark m;
  if (text.empty() || std::sscanf(text.c_str(), "%" SCNu64 ":%" SCNd64 ":%" SCNx64, &m.size,
                                  &m.mtime, &m.hash) != 3)
    return std::nullopt;
  return m;
}

int EditState::unicodeTagOf(bool withFFFE, bool bigEndian, bool utf8Mark) {
  return bigEndian ? 2 : withFFFE ? 1 : utf8Mark ? 3 : 0;
}

std::string EditState::keptIn() const {
  return e_.isLocalFile() ? ownCopy_ : e_.editingFileAtPath;
}

std::string EditState::ownCopyPath() {
  if (ownCopy_.empty() && !e_.editingFileAtPath.empty()) {
    ownCopy_ = workingCopyPath(ownCopySource(e_.editingFileAtPath),
                               lastPathComponent(e_.editingFileAtPath));
    ownCopyInUse_.hold(ownCopy_);
  }
  return ownCopy_;
}

FileStatus EditState::keep(bool quiet) {
  auto &e = e_;
  cancelPendingKeep(); // kept now
  const bool local = e.isLocalFile();
  FileStatus status;
  // A view-only file is never written. A text that did not load is not the file's: only what was
  // typed into the blank editor is kept (a server's file grown too big to edit is its own working
  // file, and is not written over).
  const bool typedInBlank = !e.textLoaded && e.theText && !e.theText->text().empty() &&
                            (local || !e.fileTooBig) && !(e.cloudFile_ && !e.cloudRead_);
  const bool hasText = !e.fReadOnly && e.theText && (e.textLoaded || typedInBlank);
  bool recordIt = false;
  if (local) {
    // A file of the device needs a record only while its text differs from the file: then the
    // file still holds what it held, and the working copy what was typed.
    if (hasText && e.textDiffers()) {
      status = keepText(quiet);
      recordIt = !ownCopy_.empty() && FileManager::fileExists(ownCopy_);
    } else if (hasText) {
      dropOwnCopy();
    }
  } else {
    if (hasText) status = keepText(quiet);
    recordIt = setting(kSavePasswordsKey) == "1";
  }
  // A pending edit of another file is never written over before the person gives it up.
  if (recordIt && e.fCurrentlyActive && !e.fReadOnly && !recordHoldsOtherEdit())
    writeRecord(local, quiet);
  return status;
}

void EditState::typed() {
  const TimePoint now = Clock::current().now();
  if (pendingKeep_ && pendingKeep_->isValid()) {
    pendingKeep_->setFireDate(std::min(now + kTypingPause, firstUnkept_ + kLongestUnkept));
    return;
  }
  firstUnkept_ = now;
  std::weak_ptr<EditFileView> weak = e_.sharedAs<EditFileView>();
  pendingKeep_ = RunLoop::main()->performAfter(kTypingPause, [weak] {
    if (auto self = weak.lock()) self->keepAsTyped();
  });
}

void EditState::cancelPendingKeep() {
  if (auto timer = std::exchange(pendingKeep_, nullptr)) timer->invalidate();
}

void EditState::fileIs(const editor::Bytes &bytes) {
  base_ = FileMark::of(bytes, e_.editingFileAtPath);
}

bool EditState::holdsBase(const editor::Bytes &now) const {
  return !base_ || base_->sameContent(FileMark::of(now));
}

void EditState::resumeBase(const KeptEdit &kept) {
  if (auto mark = FileMark::parse(kept.base))
    base_ = *mark;
  else if (kept.savedFile.empty())
    // A server's file recorded by an earlier version: its working file holds the typed text, not
    // what the server held, so nothing is known of that.
    base_.reset();
}

FileStatus EditState::keepText(bool quiet) {
  auto &e = e_;
  const uint32_t inForce = e.useEncoding;
  auto bytes = e.getTextAsDataRef();
  // Plain ASCII that gained other characters writes them in UTF-8: so is the text kept, and the
  // encoding in force stays what the person chose (only Save moves it).
  const bool moved = bytes && e.useEncoding != inForce;
  e.useEncoding = inForce;
  const bool utf8 = !bytes || moved;
  if (!bytes) {
    // The encoding in force cannot hold what was typed: it is kept all the same, in UTF-8, and
    // the record says so (Save asks what to do about the encoding). So is text typed into an
    // editor that the encoding left blank.
    if (!quiet && e.textLoaded)
      Log::system("EditFileView: " + editor::encodingTitle(e.useEncoding) +
                  " cannot hold the text: it is kept in UTF-8");
    const std::string &text = e.theText->text();
    bytes = editor::Bytes(text.begin(), text.end());
  }
  const std::string path = e.isLocalFile() ? ownCopyPath() : e.editingFileAtPath;
  if (path.empty()) return {};
  // The working copy's folder may not have been made (a temporary folder that cannot be
  // written): its own failure says why, not the write into a folder that is not there.
  if (auto made = FileManager::createDirectory(deleteLastPathComponent(path), true); !made) {
    Log::system("EditFileView: could not make the folder of " + path + ": " + made.error());
    return made;
  }
  if (!quiet) Log::system("save:toLocal");
  auto status = FileManager::writeAtomically(path, *bytes);
  if (status)
    keptInUTF8_ = utf8;
  else
    Log::system("EditFileView: could not write " + path + ": " + status.error());
  return status;
}

void EditState::writeRecord(bool local, bool quiet) {
  auto &e = e_;
  if (!quiet) Log::system("EditFileView:SaveEditState");
  const std::string none;
  const std::pair<const char *, std::string> record[] = {
      {kWasEditingServerNameKey, local ? none : e.serverName},
      {kWasEditingUserNameKey, local ? none : e.userLogin},
      {kWasEditingUserPassKey, local ? none : e.userPassword},
      {kWasEditingInFolder, local ? none : e.directoryOfTheFile},
      {kWasEditingFileName, e.textFileName},
      {kWasEditingInFolderBytesKey,
       !local && e.directoryOfTheFileBytes ? hexOfBytes(*e.directoryOfTheFileBytes) : none},
      {kWasEditingFileNameBytesKey,
       !local && e.textFileNameBytes ? hexOfBytes(*e.textFileNameBytes) : none},
      {kEditingFTPFile, keptIn()},
      {kWasEditingServerPortKey,
       !local && e.serverPort > 0 ? std::to_string(e.serverPort) : std::string()},
      {kWasEditingProtocolKey, local ? none : e.serverProtocol},
      {kWasEditingChangedKey, e.textDiffers() ? "1" : "0"},
      {kEditingSavedFile, local ? e.editingFileAtPath : none},
      {kWasEditingSavedCopyKey, local ? none : e.editingSavedFilePath},
      {kWasEditingTextInUTF8Key, keptInUTF8_ ? "1" : "0"},
      {kWasEditingFileEncoding, std::to_string(e.useEncoding)},
      {kWasEditingFileEncodingUnicodeTag,
       std::to_string(unicodeTagOf(e.unicodeWithFFFE, e.unicodeBigEndian, e.utf8WithMark))},
      {kWasEditingFileBaseKey, base_ ? base_->text() : none}};
  for (auto &[key, value] : record) {
    settings().setObject(value, e.tabKey(key));
    // On iPhone the next start reads the one record without a tab number.
    if (!isPad()) settings().setObject(value, key);
  }
  settings().setObject("1", e.tabKey("IndexIsUsed"));
  settings().synchronize();
}

FileStatus EditState::writeForSave(const editor::Bytes &bytes,
                                   std::optional<editor::Bytes> *changed) {
  auto &e = e_;
  // A file of the device that another program wrote since the edit began is not written over
  // unasked (a cloud file looks under its writing lock, in writeCloudFile).
  if (changed && e.isLocalFile() && !e.cloudFile_ && base_) {
    if (auto now = FileManager::contentsAtPath(e.editingFileAtPath); now && !holdsBase(*now)) {
      *changed = std::move(*now);
      return {};
    }
  }
  std::vector<std::string> paths;
  if (!e.isLocalFile() || !e.cloudFile_) paths.push_back(e.editingFileAtPath);
  // The Saved Files copy of a server's file (of a file of the device: the file itself again).
  if (!e.editingSavedFilePath.empty() && e.editingSavedFilePath != e.editingFileAtPath)
    paths.push_back(e.editingSavedFilePath);
  for (const auto &path : paths) {
    if (path.empty()) continue;
    if (auto status = FileManager::writeAtomically(path, bytes); !status) {
      Log::system("EditFileView: could not write " + path + ": " + status.error());
      return status;
    }
    // A server's working file now holds the text as it goes back, in the file's encoding.
    if (path == e.editingFileAtPath && !e.isLocalFile()) keptInUTF8_ = false;
  }
  if (!e.isLocalFile() && !leftForQueue_.empty()) return backToQueuedSave(bytes);
  return {};
}

FileStatus EditState::backToQueuedSave(const editor::Bytes &bytes) {
  auto &e = e_;
  // The queue takes one upload of a file at a time and sends the one still waiting: this save
  // goes into the file that waiting save sends (and the edit's own copy, which held nothing more,
  // goes), so that it is the newest save that arrives.
  const std::string sent = leftForQueue_;
  if (auto status = FileManager::writeAtomically(sent, bytes); !status) {
    Log::system("EditFileView: could not write " + sent + ": " + status.error());
    return status;
  }
  const std::string own = std::exchange(e.editingFileAtPath, sent);
  leftForQueue_.clear();
  e.workingFileInUse_.hold(sent);
  if (setting(kEditingFTPFile) == own || setting(e.tabKey(kEditingFTPFile)) == own)
    writeRecord(false, true);
  removeWorkingCopy(own);
  return {};
}

void EditState::writeCloudFile(const editor::Bytes &bytes, std::function<void(FileStatus)> done,
                               std::function<void(const editor::Bytes &)> changed) {
  auto &e = e_;
  Log::system("save:toCloud");
  const uint64_t generation = ++*e.writesStarted_;
  auto newest = e.newestWritten_;
  auto presenter = e.presenter_;
  const std::string path = e.editingFileAtPath;
  std::weak_ptr<EditFileView> weak = e.sharedAs<EditFileView>();
  auto work = [path, bytes, generation, newest, presenter, weak, done = std::move(done),
               changed = std::move(changed), discarded = discarded_, base = base_] {
    FileStatus status;
    std::optional<editor::Bytes> found;
    std::string failure; // said in the log once the outcome is on its way to the main thread
    const bool ran = CloudContainer::coordinateWriting(
        path,
        [&](const std::string &coordinated) {
          // Under the writing lock: a newer save that got there first stays, and a discarded
          // edit writes nothing.
          if (newest->load() > generation) return;
          if (discarded->load()) {
            failure = "EditFileView: discarded, not written: " + coordinated;
            return;
          }
          // Another program wrote the file since the edit began: the person is asked first.
          if (auto now = FileManager::contentsAtPath(coordinated);
              now && base && !base->sameContent(FileMark::of(*now))) {
            found = std::move(*now);
            return;
          }
          newest->store(generation);
          Log::system("save:to:" + coordinated);
          status = FileManager::writeAtomically(coordinated, bytes);
          if (!status)
            failure = "EditFileView: could not write " + coordinated + ": " + status.error();
        },
        presenter.get());
    if (!ran) {
      failure = "EditFileView: cannot coordinate a write of " + path;
      status = FileStatus::failure("Cannot write \"" + path +
                                   "\": the cloud container does not let it be written");
    }
    // The editor is looked at (and let go) on the main thread only.
    RunLoop::main()->perform([weak, status, done, changed, found = std::move(found)] {
      if (!weak.lock()) return;
      if (found && changed)
        changed(*found);
      else if (done)
        done(status);
    });
    if (!failure.empty()) Log::system(failure);
  };
  auto services = EditorServices::shared();
  if (auto queue = services ? services->editQueue() : nullptr)
    queue->async(std::move(work));
  else
    work();
}

void EditState::saved() {
  cancelPendingKeep();
  if (e_.isLocalFile()) dropOwnCopy();
}

void EditState::discard() {
  auto &e = e_;
  discarded_->store(true);
  cancelPendingKeep();
  if (e.isLocalFile()) return dropOwnCopy();
  e.workingFileInUse_.release();
  forgetRecordOf(e.editingFileAtPath);
  removeWorkingCopy(e.editingFileAtPath);
  // The save that waits in Transfers stays the queue's: no record offers it again.
  if (!leftForQueue_.empty()) forgetRecordOf(leftForQueue_);
}

void EditState::dropOwnCopy() {
  if (ownCopy_.empty()) return;
  forgetRecordOf(ownCopy_);
  ownCopyInUse_.release();
  removeWorkingCopy(ownCopy_);
  ownCopy_.clear();
  keptInUTF8_ = false;
}

void EditState::forgetRecordOf(const std::string &workingFile) {
  if (workingFile.empty()) return;
  bool changed = false;
  // Only this file's record: a pending edit of another file (kept from the last run, not yet
  // reopened) keeps its record and its working file.
  if (setting(kEditingFTPFile) == workingFile) {
    forgetRecord(std::nullopt);
    changed = true;
  }
  if (setting(e_.tabKey(kEditingFTPFile)) == workingFile) {
    forgetRecord(e_.tabIndex);
    changed = true;
  }
  if (changed) settings().synchronize();
}

void EditState::forgetNumberedRecord() {
  const std::string kept = keptIn();
  if (kept.empty() || setting(e_.tabKey(kEditingFTPFile)) != kept) return;
  forgetRecord(e_.tabIndex);
  settings().synchronize();
}

bool EditState::recordHoldsOtherEdit() const {
  if (isPad()) return false;
  const std::string other = setting(kEditingFTPFile);
  // (The file this edit left to its waiting save names this edit, not another.)
  return !other.empty() && other != keptIn() && other != leftForQueue_ &&
         FileManager::fileExists(other) && setting(kWasEditingChangedKey) != "0";
}

bool EditState::otherEditPending() const {
  return recordHoldsOtherEdit() && !fileHeldOpen(setting(kEditingFTPFile));
}

void EditState::giveUpPendingEdit() {
  const std::string other = setting(kEditingFTPFile);
  if (other.empty() || other == keptIn() || other == leftForQueue_) return;
  // Only a working file of the temporary folder is the record's to remove.
  const std::string tmp = standardizePath(Paths::tmp()) + "/";
  if (standardizePath(other).compare(0, tmp.size(), tmp) == 0) removeWorkingCopy(other);
  // The phone writes its record under its tab's number too.
  if (setting(e_.tabKey(kEditingFTPFile)) == other) forgetRecord(e_.tabIndex);
  forgetRecord(std::nullopt);
  settings().synchronize();
}

void EditState::resumeIn(const KeptEdit &kept) {
  keptInUTF8_ = kept.textRecorded && kept.textInUTF8;
  if (kept.savedFile.empty()) return leaveQueuedSave(); // a server's file: its download
  ownCopy_ = kept.workingFile;
  ownCopyInUse_.hold(ownCopy_);
}

void EditState::leaveQueuedSave() {
  auto &e = e_;
  auto services = EditorServices::shared();
  auto queue = services ? services->batchView() : nullptr;
  const std::string sent = e.editingFileAtPath;
  if (!queue || sent.empty() || !queue->isInProgress(sent)) return;
  // A save of this edit waits in Transfers and sends this working file as it stands when the
  // server is back: what is typed from now on is kept in a copy of the edit's own, so that the
  // save sends what was saved and nothing typed since (and the file it sends is the queue's to
  // remove once it has arrived). The record names the copy from then on: the waiting save's
  // end (arrived, or given up for the server's file) is not the end of this edit.
  const std::string own =
      workingCopyPath("edited after a save\n" + standardizePath(sent), lastPathComponent(sent));
  auto bytes = FileManager::contentsAtPath(sent);
  if (!bytes) return;
  if (auto status = FileManager::writeAtomically(own, *bytes); !status) {
    Log::system("EditFileView: could not write " + own + ": " + status.error());
    return;
  }
  Log::system("EditFileView: a save of " + sent + " waits in Transfers; the edit goes on in " +
              own);
  e.editingFileAtPath = own;
  e.workingFileInUse_.hold(own);
  leftForQueue_ = sent;
  forEachRecordOf(sent, [&](std::optional<int> slot) {
    settings().setObject(own, recordKey(slot, kEditingFTPFile));
  });
  settings().synchronize();
}

std::optional<KeptEdit> EditState::recorded(std::optional<int> slot) {
  auto key = [&](const char *base) { return setting(recordKey(slot, base)); };
  KeptEdit kept;
  kept.workingFile = key(kEditingFTPFile);
  if (kept.workingFile.empty()) return std::nullopt;
  kept.savedFile = key(kEditingSavedFile);
  kept.name = key(kWasEditingFileName);
  kept.folder = key(kWasEditingInFolder);
  kept.savedCopy = key(kWasEditingSavedCopyKey);
  kept.base = key(kWasEditingFileBaseKey);
  const std::string inUTF8 = key(kWasEditingTextInUTF8Key);
  kept.textRecorded = inUTF8 == "0" || inUTF8 == "1";
  kept.textInUTF8 = inUTF8 == "1";
  kept.encoding =
      static_cast<uint32_t>(std::strtoul(key(kWasEditingFileEncoding).c_str(), nullptr, 10));
  kept.unicodeTag =
      static_cast<int>(std::strtol(key(kWasEditingFileEncodingUnicodeTag).c_str(), nullptr, 10));
  // A record that does not say its encoding is read as a file is.
  if (kept.encoding == 0) kept.textRecorded = false;
  return kept;
}

void EditState::sendingBack(const editor::Bytes &bytes) {
  const std::string key = kSendingBackBaseKey + e_.editingFileAtPath;
  settings().setObject(base_ ? base_->text() : std::string(), key);
  sendsText(e_.editingFileAtPath, bytes);
}

void EditState::sendsText(const std::string &workingFile, const editor::Bytes &bytes) {
  if (workingFile.empty()) return;
  const std::string before = setting(kSendingBackTextKey + workingFile);
  const FileMark now = FileMark::of(bytes);
  if (auto was = FileMark::parse(before); was && !was->sameContent(now))
    settings().setObject(before, kSendingBackEarlierKey + workingFile);
  settings().setObject(now.text(), kSendingBackTextKey + workingFile);
  settings().synchronize();
}

std::optional<FileMark> EditState::sendBackBase(const std::string &workingFile) {
  if (workingFile.empty()) return std::nullopt;
  return FileMark::parse(setting(kSendingBackBaseKey + workingFile));
}

std::optional<FileMark> EditState::sendBackEarlier(const std::string &workingFile) {
  if (workingFile.empty()) return std::nullopt;
  return FileMark::parse(setting(kSendingBackEarlierKey + workingFile));
}

SendBackCheck EditState::checkServerFile(const FileMark &base, const std::string &workingFile,
                                         const LookAtServerFile &look,
                                         const std::optional<FileMark> &earlier) {
  using Outcome = SendBackCheck::Outcome;
  // What is being sent: the server may hold it already (all of it: it arrived and the word of it
  // did not; a part of it: an upload straight over the file was cut).
  struct stat st {};
  const uint64_t ours =
      ::stat(workingFile.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  const LookedFile now = look([&](uint64_t size) -> uint64_t {
    if (size == base.size) return base.size + 1;
    if (earlier && size == earlier->size) return size + 1;
    if (size <= ours) return size + 1;
    return 0;
  });
  if (now.cannotLook) return {Outcome::Send, {}};
  if (!now.looked) return {Outcome::NotLooked, {}};
  if (!now.exists) return {base.mtime == FileMark::kGone ? Outcome::Send : Outcome::Changed, {}};
  const bool read = now.bytes.size() == now.size && (now.size == base.size || now.size <= ours ||
                                                     (earlier && now.size == earlier->size));
  FileMark found = FileMark::of(now.bytes);
  found.size = now.size;
  if (!read) {
    found.mtime = FileMark::kSizeOnly;
    found.hash = 0;
  }
  // A file agreed to be written over without its bytes read: only its size was known.
  if (base.mtime == FileMark::kSizeOnly ? now.size == base.size : read && found.sameContent(base))
    return {Outcome::Send, found.text()};
  // The edit's own earlier save, which arrived before this one.
  if (read && earlier && found.sameContent(*earlier)) return {Outcome::Send, found.text()};
  // (An upload in place cut before its first byte leaves the file empty: a part of ours too, and
  // nothing anyone wrote is lost by going over it.)
  if (read && now.size <= ours) {
    if (auto sending = FileManager::contentsAtPath(workingFile)) {
      const bool whole = now.size == sending->size();
      if ((whole || now.inPlace) &&
          std::equal(now.bytes.begin(), now.bytes.end(), sending->begin()))
        return {Outcome::Send, found.text()};
    }
  }
  return {Outcome::Changed, found.text()};
}

void EditState::keepTypedOver(const std::string &workingFile, const std::string &found) {
  if (workingFile.empty()) return;
  // The file as found, or (gone) no file at all: the save makes it anew.
  const std::string base = found.empty() ? FileMark{0, FileMark::kGone, 0}.text() : found;
  settings().setObject(base, kSendingBackBaseKey + workingFile);
  // A record that reopens the edit writes over that file too, unasked.
  forEachRecordOf(workingFile, [&](std::optional<int> slot) {
    settings().setObject(base, recordKey(slot, kWasEditingFileBaseKey));
  });
  settings().synchronize();
}

void EditState::takeServerFile(const std::string &workingFile) {
  if (workingFile.empty()) return;
  removeWorkingCopy(workingFile);
  forEachRecordOf(workingFile, forgetRecord);
  forgetSendingBack(workingFile);
  settings().synchronize();
}

void EditState::joins(const std::string &sends, const std::string &workingFile) {
  if (sends.empty() || workingFile.empty() || sends == workingFile) return;
  settings().setObject(workingFile, kSendingBackJoinedKey + sends);
  settings().synchronize();
}

void EditState::forgetSentBack(const std::string &workingFile) {
  if (workingFile.empty()) return;
  // The edit whose save joined this one has arrived with it, as long as its working file still
  // holds the text that was sent (and no editor is open on it, which keeps its own record).
  const std::string joined = setting(kSendingBackJoinedKey + workingFile);
  settings().removeObjectForKey(kSendingBackJoinedKey + workingFile);
  if (auto arrived = FileMark::parse(setting(kSendingBackTextKey + workingFile));
      arrived && !joined.empty() && joined != workingFile && !fileHeldOpen(joined))
    if (auto bytes = FileManager::contentsAtPath(joined);
        bytes && FileMark::of(*bytes).sameContent(*arrived))
      forgetSentBack(joined);
  if (!setting(kSendingBackBaseKey + workingFile).empty() ||
      !setting(kSendingBackTextKey + workingFile).empty()) {
    forgetSendingBack(workingFile);
    settings().synchronize();
  }
  if (setting(kEditingFTPFile) != workingFile) return;
  removeWorkingCopy(workingFile);
  forgetRecord(std::nullopt);
  settings().synchronize();
}
