#include "app/editor/EditFileView.h"

#include "app/editor/EditorServices.h"
#include "app/editor/FindReplaceView.h"
#include "app/editor/TextSearch.h"
#include "app/foundation/AppDelegateServices.h"
#include "app/foundation/EditDataViewController.h"
#include "app/foundation/EditOrigin.h"
#include "app/foundation/PlatformExtensions.h"
#include "app/foundation/Scrambler.h"
#include "app/foundation/SettingsKeys.h"
#include "app/foundation/SmallClasses.h"
#include "app/foundation/SoundEffect.h"
#include "app/foundation/StringUtils.h"
#include "app/ftp/FTPConnection.h"
#include "app/queue/BatchListView.h"
#include "app/sftp/SFTPWrapper.h"

#include "platform/device/DeviceProfile.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/Thread.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/Window.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <set>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace platform;
using namespace platform::ui;

namespace {

// "File Changed": the file's bytes are not what the editor began from.
std::shared_ptr<AlertView> fileChangedAlert(const std::string &name,
                                            std::weak_ptr<AlertViewDelegate> delegate) {
  return std::make_shared<AlertView>(
      "File Changed",
      withControlsEscaped("\"" + name +
                          "\" was changed outside the editor. Keep the text typed here, or take "
                          "the file as it is now?"),
      std::move(delegate), "Keep Typed Text", std::vector<std::string>{"Take the File"});
}

// The same question about a save back waiting in Transfers, with no editor open: held until it is
// answered.
class ServerFileQuestion : public AlertViewDelegate,
                           public std::enable_shared_from_this<ServerFileQuestion> {
public:
  static std::set<std::shared_ptr<ServerFileQuestion>> &open() {
    static std::set<std::shared_ptr<ServerFileQuestion>> questions;
    return questions;
  }
  std::function<void(bool)> answered;
  std::shared_ptr<AlertView> alert;
  void clickedButtonAtIndex(AlertView &, int index) override {
    auto self = shared_from_this();
    open().erase(self);
    // Gone unanswered: the row waits, and the next start asks again.
    if (index < 0 || !answered) return;
    answered(index == 0);
  }
};

UserDefaults &settings() {
  return UserDefaults::standard();
}
std::string setting(const std::string &key) {
  return settings().stringForKey(key).value_or("");
}

bool isPad() {
  return Hardware::isiPad();
}

std::string deviceModel() {
  return DeviceProfile::current().model;
}

// The keys of the two portrait rows and the two landscape rows (a row of characters each; "⇧" is
// shift, "⌄" hides the rows).
const char *const kRowKeys[4] = {"⇧<>/\"=:;#{}⌄", "⇧[]()&|\\_-+*⌄", "⇧<>/\"=:;#{}$%'!⌄",
                                 "⇧[]()&|\\_-+*~^`?⌄"};

// The widths of the two keys labelled with words, in points (with the gap after them).
constexpr double kShiftKeyWidth = 42, kHideKeyWidth = 74;

// The tag of a key: 0 shift, -1 hide, else the character's UTF-16 unit.
int tagOfKey(char32_t key) {
  if (key == U'⇧') return 0;
  if (key == U'⌄') return -1;
  return static_cast<int>(key);
}

// The editor as the presenter of its cloud file: the container's calls reach the editor while it
// lives.
class EditorPresenter : public FilePresenter {
public:
  EditorPresenter(std::weak_ptr<EditFileView> editor, std::string path)
      : editor_(std::move(editor)), path_(std::move(path)) {}
  std::string presentedItemPath() const override { return path_; }
  void presentedItemDidChange() override {
    if (auto e = editor_.lock()) e->presentedItemDidChange();
  }
  std::function<void()> relinquishPresentedItemToWriter() override {
    auto e = editor_.lock();
    return e ? e->relinquishPresentedItemToWriter() : nullptr;
  }
  std::function<void()> relinquishPresentedItemToReader() override {
    auto e = editor_.lock();
    return e ? e->relinquishPresentedItemToReader() : nullptr;
  }
  void savePresentedItemChanges() override {
    if (auto e = editor_.lock()) e->savePresentedItemChanges();
  }
  void accommodatePresentedItemDeletion() override {
    if (auto e = editor_.lock()) e->accommodatePresentedItemDeletion();
  }

private:
  std::weak_ptr<EditFileView> editor_;
  std::string path_;
};

// Stands in for the SFTP service's delegate while the editor sends its file back: every report
// still reaches the screen that was listening, and the editor hears whether its file arrived, and
// whether a failure was told to a screen that shows it.
class UploadWatch : public SFTPWrapperDelegate {
public:
  UploadWatch(std::weak_ptr<SFTPWrapperDelegate> listener, std::string remote,
              std::function<void()> arrived)
      : listener_(std::move(listener)), remote_(std::move(remote)), arrived_(std::move(arrived)) {}
  // Main thread.
  bool fileArrived() const { return fileArrived_; }
  bool failureShown() const { return failureShown_; }
  void uploadedFile(SFTPWrapper &w, const std::string &path) override {
    if (path == remote_) {
      fileArrived_ = true;
      if (arrived_) std::exchange(arrived_, nullptr)();
    }
    if (auto l = listener_.lock()) l->uploadedFile(w, path);
  }
  void connectError(SFTPWrapper &w, const std::string &t) override {
    if (auto l = shownTo()) l->connectError(w, t);
  }
  void loginError(SFTPWrapper &w, const std::string &t) override {
    if (auto l = shownTo()) l->loginError(w, t);
  }
  void sftpError(SFTPWrapper &w, const std::string &t) override {
    if (auto l = shownTo()) l->sftpError(w, t);
  }
  void connectStatus(SFTPWrapper &w, const std::string &t) override {
    if (auto l = listener_.lock()) l->connectStatus(w, t);
  }
  void progress(SFTPWrapper &w, float f) override {
    if (auto l = listener_.lock()) l->progress(w, f);
  }
  void progressDic(SFTPWrapper &w, const SFTPProgressDic &p) override {
    if (auto l = listener_.lock()) l->progressDic(w, p);
  }
  void gotDirectory(SFTPWrapper &w, const std::vector<std::shared_ptr<DirItemInfo>> &i) override {
    if (auto l = listener_.lock()) l->gotDirectory(w, i);
  }
  void downloadedFile(SFTPWrapper &w, const std::string &t) override {
    if (auto l = listener_.lock()) l->downloadedFile(w, t);
  }
  void downloadError(SFTPWrapper &w, const std::string &t) override {
    if (auto l = listener_.lock()) l->downloadError(w, t);
  }
  void uploadError(SFTPWrapper &w, const std::string &t) override {
    if (auto l = shownTo()) l->uploadError(w, t);
  }
  void dirError(SFTPWrapper &w, const std::string &t) override {
    if (auto l = listener_.lock()) l->dirError(w, t);
  }
  void errorStatus(SFTPWrapper &w, const std::string &t) override {
    if (auto l = shownTo()) l->errorStatus(w, t);
  }
  void sftpConnectionShouldRefreshDirectory(SFTPWrapper &w) override {
    // A server that went away is not looked for again by the screen: the save waits in Transfers.
    if (away_) return;
    if (auto l = listener_.lock()) l->sftpConnectionShouldRefreshDirectory(w);
  }
  void serverAway(SFTPWrapper &w, const std::string &reason) override {
    away_ = true;
    if (auto l = listener_.lock()) l->serverAway(w, reason);
  }
  void sftpConnectionDone(SFTPWrapper &w) override {
    if (auto l = listener_.lock()) l->sftpConnectionDone(w);
  }

private:
  // The listener a failure goes to (noted as shown), if it is still there. The failure of a save
  // whose server went away is the editor's to tell: it waits in Transfers.
  std::shared_ptr<SFTPWrapperDelegate> shownTo() {
    if (away_) return nullptr;
    auto l = listener_.lock();
    if (l) failureShown_ = true;
    return l;
  }
  std::weak_ptr<SFTPWrapperDelegate> listener_;
  std::string remote_;
  std::function<void()> arrived_; // main thread
  bool fileArrived_ = false, failureShown_ = false, away_ = false;
};

// A save that did not reach the server, and that no screen has told the person about (the service
// was busy and refused it, or the screen that would show its failure has gone): said here, with
// what became of the edits.
void tellNotSentBack(const std::string &name, const std::string &workingFile, bool queued) {
  const bool kept = !workingFile.empty() && setting(kEditingFTPFile) == workingFile &&
                    FileManager::fileExists(workingFile);
  auto alert = std::make_shared<AlertView>(
      "File Not Saved",
      "\"" + name + "\" could not be sent back to the server." +
          (queued ? " It waits in Transfers to be sent again."
           : kept ? " The changes are kept: they are offered again at the next start."
                  : ""),
      std::weak_ptr<AlertViewDelegate>(), "OK");
  alert->show();
}

// What the editor reads of a file: its bytes, unless it is larger than the editor takes (then
// only that much is read, to find out). Nothing when it cannot be read.
struct EditableBytes {
  std::optional<editor::Bytes> bytes;
  bool tooBig = false;
};
EditableBytes readEditable(const std::string &path) {
  EditableBytes out;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  const auto limit = static_cast<uint64_t>(textEditSizeLimit());
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) > limit) {
    ::close(fd);
    out.tooBig = true;
    return out;
  }
  // The file may grow while it is read: never more than the limit and one byte.
  editor::Bytes bytes(
      std::min<uint64_t>(limit + 1, S_ISREG(st.st_mode) ? st.st_size + 1 : limit + 1));
  size_t got = 0;
  for (;;) {
    if (got == bytes.size()) {
      if (got > limit) break;
      bytes.resize(std::min<uint64_t>(limit + 1, got * 2 + 4096));
    }
    const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return out;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  if (got > limit) {
    out.tooBig = true;
    return out;
  }
  bytes.resize(got);
  out.bytes = std::move(bytes);
  return out;
}

std::shared_ptr<DispatchQueue> editQueue() {
  auto services = EditorServices::shared();
  return services ? services->editQueue() : nullptr;
}

} // namespace

void UIMyTextView::touchesEnded(int tapCount) {
  if (auto parent = superview()) parent->touchesEnded(tapCount);
  if (onTouchesEnded) onTouchesEnded(tapCount);
}

// --- Creation
// -------------------------------------------------------------------------------------

// Said as the remote folder says it of a file larger than the editor takes.
void EditFileView::tellTooBigToEdit(const std::string &name) {
  auto alert = std::make_shared<AlertView>("The Full File is Too Big to Edit", "\"" + name + "\"",
                                           std::weak_ptr<AlertViewDelegate>(), "OK");
  alert->show();
}

bool EditFileView::tooBigToEdit(const std::string &path) {
  auto attributes = FileManager::attributesOfItem(path);
  return attributes && attributes->type != FileAttributes::Type::Directory &&
         attributes->size > static_cast<uint64_t>(textEditSizeLimit());
}

std::shared_ptr<EditFileView> EditFileView::initWithFile(const std::string &path,
                                                         const std::string &nibName) {
  // Checked on the file itself, whatever a listing said of it: it may have grown since.
  if (tooBigToEdit(path)) {
    Log::system("EditFileView: too big to edit: " + path);
    tellTooBigToEdit(lastPathComponent(path));
    return nullptr;
  }
  Log::systemf("EditFileView:%s", path.c_str());
  auto editor = std::make_shared<EditFileView>(nibName);
  editor->editingFileAtPath = path;
  editor->workingFileInUse_.hold(path);
  // A file of the cloud container is read and written only coordinated, with the editor as its
  // presenter: it hears of other screens' and other processes' accesses.
  if (auto services = EditorServices::shared(); services && services->isCloudFile(path)) {
    editor->cloudFile_ = true;
    editor->presenter_ = std::make_shared<EditorPresenter>(editor, path);
    CloudContainer::addFilePresenter(editor->presenter_);
    editor->textLoaded = false; // until the coordinated read has handed its bytes over
  }
  editor->loadFromFile(path);
  editor->findLast = {kNotFound, 0};
  editor->serverName = setting(kServerNameKey);
  editor->userLogin = setting(kUserNameKey);
  editor->userPassword = setting(kUserPassKey);
  // Open from now until it closes, shown or not: a file tab not yet looked at keeps its record.
  editor->fCurrentlyActive = true;
  return editor;
}

EditFileView::EditFileView(const std::string &nibName) : ViewController(nibName) {}

void EditFileView::setTheConnection(std::shared_ptr<FTPConnection> c) {
  theConnection = std::move(c);
  if (!theConnection) return;
  serverName = theConnection->serverAddress();
  userLogin = theConnection->loginUser();
  userPassword = myEncryptString1(theConnection->loginPass());
  serverPort = theConnection->currentPort();
  serverProtocol = editProtocolWord(false, theConnection->fSecureLogin());
}

void EditFileView::setSftpConnection(std::shared_ptr<SFTPWrapper> c) {
  sftpConnection = std::move(c);
  if (!sftpConnection) return;
  serverName = sftpConnection->server();
  userLogin = sftpConnection->username();
  userPassword = myEncryptString1(sftpConnection->password());
  serverProtocol = editProtocolWord(true, false);
  serverPort = sftpConnection->port() > 0
                   ? sftpConnection->port()
                   : editOriginOf(serverName, userLogin, serverProtocol).port;
}

void EditFileView::resumeKeptEdit(const KeptEdit &kept) {
  state_.resumeIn(kept);
  // A server's file saved into Saved Files as it came: a save updates that copy too, as it did
  // before the restart (a copy since deleted, or one outside Saved Files, is left alone).
  if (kept.savedFile.empty() && !kept.savedCopy.empty() && editingSavedFilePath.empty() &&
      pathLiesInside(kept.savedCopy, Paths::documents() + "/Files")) {
    auto there = FileManager::attributesOfItem(kept.savedCopy);
    if (there && there->type == FileAttributes::Type::Regular)
      editingSavedFilePath = kept.savedCopy;
  }
  // A cloud file's own bytes are still on their way (a coordinated read): its text comes after.
  if (cloudFile_ && !cloudRead_) {
    keptToResume_ = kept;
    return;
  }
  applyKept(kept);
}

void EditFileView::applyKept(const KeptEdit &kept) {
  // The file as it was when the edit began, not as it is now: a change made meanwhile by another
  // program is asked about before Save writes over it.
  state_.resumeBase(kept);
  // An earlier version's record of a server's file: its working file was read as a file is.
  if (!kept.textRecorded) return;
  auto read = readEditable(kept.workingFile);
  if (!read.bytes) {
    Log::system("EditFileView: the kept text could not be read: " + kept.workingFile);
    return;
  }
  auto decoded =
      editor::decodeFileAs(*read.bytes, kept.textInUTF8 ? editor::kEncodingUTF8 : kept.encoding);
  if (!decoded.loaded) {
    Log::system("EditFileView: the kept text does not read as its record says: " +
                kept.workingFile);
    return;
  }
  if (kept.savedFile.empty()) {
    // A server's file: its working file is the file as the editor holds it.
    takeDecoded(*read.bytes, std::move(decoded));
  } else {
    // A file of the device: the file as loaded is what it holds; the text is the one typed.
    textData = std::move(decoded.text);
    restoredChanged = true;
  }
  // The encoding in force when the text was kept (Save asks when it cannot hold the text).
  useEncoding = kept.encoding;
  unicodeWithFFFE = kept.unicodeTag == 1;
  unicodeBigEndian = kept.unicodeTag == 2;
  utf8WithMark = kept.unicodeTag == 3;
  if (theText) setTheTextAndFixTextBugs();
}

std::string EditFileView::shownName() const {
  return textFileName.empty() ? lastPathComponent(editingFileAtPath) : textFileName;
}

EditFileView::~EditFileView() {
  if (presenter_) CloudContainer::removeFilePresenter(presenter_.get());
  if (auto services = EditorServices::shared()) services->editorGoingAway(this);
}

void EditFileView::setTextFileName(const std::string &name) {
  textFileName = name;
  textFileNameBytes.reset();
  setTitle(name);
  refreshBars();
}

void EditFileView::setRemoteFile(const RemoteName &name, const RemoteName &folder) {
  setTextFileName(name.text());
  textFileNameBytes = name.bytes();
  directoryOfTheFile = folder.text();
  directoryOfTheFileBytes = folder.bytes();
}

void EditFileView::setFReadOnly(bool on) {
  fReadOnly = on;
  refreshBars();
}

void EditFileView::refreshBars() {
  if (!isAllLoaded) return;
  if (titleButton_) titleButton_->setTitle(textFileName);
  saveButton->setEnabled(!fReadOnly);
  if (isPad())
    setupTitlebar();
  else
    navigationItem().setRightBarButtonItem(fReadOnly ? nullptr : saveButton);
}

// --- Loading
// --------------------------------------------------------------------------------------

void EditFileView::loadFromFile(const std::string &path) {
  if (cloudFile_ && path == editingFileAtPath) {
    readCloudFile([](EditFileView &self, const editor::Bytes &bytes) {
      self.loadFromData(bytes);
      self.cloudRead_ = true;
      if (self.theText) self.theText->setEditable(true);
      if (self.keptToResume_) self.applyKept(*std::exchange(self.keptToResume_, std::nullopt));
      // A screen not yet shown takes the text when its view loads.
      if (self.theText) self.setTheTextAndFixTextBugs();
    });
    return;
  }
  auto read = readEditable(path);
  if (!read.bytes && !read.tooBig) Log::system("EditFileView: the file could not be read: " + path);
  loadFromData(read.bytes ? *read.bytes : editor::Bytes());
  // A file that could not be read at all is not a text to write back either.
  if (!read.bytes && FileManager::fileExists(path)) textLoaded = false;
  if (read.tooBig) refuseTooBigFile();
}

void EditFileView::refuseTooBigFile() {
  Log::system("EditFileView: too big to edit: " + editingFileAtPath);
  textLoaded = false;
  if (!fileTooBig) tellTooBigToEdit(shownName());
  fileTooBig = true;
}

void EditFileView::loadFromData(const editor::Bytes &bytes) {
  didSaveTheFile = false;
  const long configured = settings().integerForKey(kDefaultEncodingKey);
  takeDecoded(bytes,
              editor::decodeFile(bytes, configured > 0 ? static_cast<uint32_t>(configured) : 0));
  knownBytes_ = originalBytes_ = bytes;
  state_.fileIs(bytes);
}

void EditFileView::takeDecoded(const editor::Bytes &bytes, editor::DecodedText decoded) {
  useEncoding = decoded.useEncoding;
  unicodeWithFFFE = decoded.unicodeWithFFFE;
  unicodeBigEndian = decoded.unicodeBigEndian;
  utf8WithMark = decoded.utf8WithMark;
  wasCRLF = decoded.wasCRLF;
  textLoaded = decoded.loaded;
  fileTooBig = false;
  loaded_.bytes = bytes;
  loaded_.text = decoded.text;
  loaded_.state = {useEncoding,  unicodeWithFFFE,        unicodeBigEndian,
                   utf8WithMark, decoded.fileHasEscapes, decoded.upperCaseEscapes};
  loaded_.markLength = decoded.markLength;
  textData = std::move(decoded.text);
}

void EditFileView::setTheTextAndFixTextBugs() {
  if (!textData) return;
  // The text goes in as it is: no display fix-ups, so nothing needs undoing on the way out.
  if (!theText) view();
  if (theText) theText->setText(*textData);
  textData.reset();
}

std::optional<editor::Bytes> EditFileView::getTextAsDataRef() {
  if (!textLoaded || !theText) return std::nullopt;
  const std::string &text = theText->text();
  const int carriage = settings().integerForKey("CarriageControl");
  editor::EncodeState state{useEncoding,
                            unicodeWithFFFE,
                            unicodeBigEndian,
                            utf8WithMark,
                            loaded_.state.fileHasEscapes,
                            loaded_.state.upperCaseEscapes};
  // The text as it was loaded, in the encoding it was loaded with, is the file's own bytes: a
  // file that is only looked at saves unchanged, unless its line ends are to be rewritten (by
  // setting, or CR LF throughout for a file that had CR LF).
  const bool lineEndsRewritten = carriage == 1 || carriage == 2 || (carriage == 0 && wasCRLF);
  if (!lineEndsRewritten && text == loaded_.text &&
      state.useEncoding == loaded_.state.useEncoding &&
      state.unicodeWithFFFE == loaded_.state.unicodeWithFFFE &&
      state.unicodeBigEndian == loaded_.state.unicodeBigEndian &&
      state.utf8WithMark == loaded_.state.utf8WithMark && !loaded_.bytes.empty())
    return loaded_.bytes;
  // An edited text keeps the file's own bytes wherever it was not edited.
  auto bytes = editor::encodeEdited(text, carriage, wasCRLF, loaded_, state);
  if (bytes) useEncoding = state.useEncoding;
  return bytes;
}

void EditFileView::clickEncoding() {
  const auto &rows = editor::encodingRows();
  std::vector<EditDataItem> items;
  for (auto &row : rows)
    items.emplace_back(row.title);
  std::weak_ptr<EditFileView> weak = sharedAs<EditFileView>();
  // One pick, one answer: on the tablet the chooser answers on the row's tap and again as its
  // popover closes, which would ask the same question twice (and take the later answer).
  auto answered = std::make_shared<bool>(false);
  auto chooser = EditDataViewController::initWithTitle(
      "Select Encoding", items, editor::rowForEncoding(useEncoding),
      "Reload File Using Encoding...", "EditDataView", [weak, answered](EditDataViewController &c) {
        if (std::exchange(*answered, true)) return;
        if (auto self = weak.lock()) self->changedEncoding(c.rowSelected);
      });
  chooser->tableItemsAreStrings = true;
  chooser->extraMessage =
      "Note: The text can show totally blank if the wrong encoding is selected!";
  chooser->doSelectorOnChange = isPad();
  showChooser(chooser, charItem_, {320, 480});
  saveEditState();
}

void EditFileView::changedEncoding(int row) {
  const auto &rows = editor::encodingRows();
  if (row < 0 || static_cast<size_t>(row) >= rows.size()) return;
  const uint32_t chosen = rows[static_cast<size_t>(row)].identifier;
  if (chosen == useEncoding) return;
  // A Save on its way (a cloud write waiting for another program's lock) writes the text as it
  // was: the text stays so until it lands, as it does for typing. A cloud file's text still on its
  // way (a kept edit's too) is not read again before it has come.
  if (saving_ || (cloudFile_ && !cloudRead_)) return;
  // A file grown past what the editor takes is neither read again nor written over.
  if (tooBigToEdit(editingFileAtPath)) return refuseTooBigFile();
  editor::Bytes bytes;
  if (textLoaded && theText) {
    // What the editor holds, typed text included, as its bytes in the encoding in force (the
    // file's own bytes while nothing was typed), read again in the chosen one.
    const uint32_t inForce = useEncoding;
    auto encoded =
        theText->text() == loaded_.text ? std::optional(loaded_.bytes) : getTextAsDataRef();
    // Plain ASCII writes characters outside it in UTF-8 when it saves: those are not the text's
    // bytes in ASCII, and read in another encoding they would garble what was typed.
    if (encoded && useEncoding != inForce) {
      useEncoding = inForce;
      if (std::any_of(encoded->begin(), encoded->end(), [](uint8_t b) { return b >= 0x80; }))
        encoded.reset();
    }
    if (encoded) {
      bytes = std::move(*encoded);
    } else {
      // No bytes stand for what was typed: reading them again would throw it away.
      return askEncodingChange(row, "The text holds characters that \"" +
                                        editor::encodingTitle(useEncoding) +
                                        "\" cannot hold, so the file cannot be read again in \"" +
                                        editor::encodingTitle(chosen) + "\".");
    }
  } else if (theText && !theText->text().empty() && !fReadOnly) {
    // Text typed into an editor its encoding left blank: the file's text read in the chosen
    // encoding would take its place.
    return askEncodingChange(row, "The text typed here is not the file's text, which read in \"" +
                                      editor::encodingTitle(chosen) + "\" would take its place.");
  } else if (!loaded_.bytes.empty()) {
    // A text that did not load: the bytes of the last load, read in another encoding. They hold
    // what was typed before that load; the file on disk may not.
    bytes = loaded_.bytes;
  } else {
    // Nothing was read yet (the file could not be read): the file's bytes.
    auto read = readEditable(editingFileAtPath);
    if (read.tooBig) return refuseTooBigFile();
    if (read.bytes) bytes = std::move(*read.bytes);
  }
  auto decoded = editor::decodeFileAs(bytes, chosen);
  // Read in an encoding that cannot read them, the bytes would show as nothing: typed text is
  // never taken off the screen without a question.
  if (!decoded.loaded && textLoaded && theText && textDiffers())
    return askEncodingChange(row, "The text cannot be read in \"" + editor::encodingTitle(chosen) +
                                      "\": the editor would show nothing.");
  const bool bigEndian = decoded.unicodeBigEndian;
  takeDecoded(bytes, std::move(decoded));
  useEncoding = loaded_.state.useEncoding = chosen;
  unicodeWithFFFE = loaded_.state.unicodeWithFFFE = row == 2 && !bigEndian;
  setTheTextAndFixTextBugs();
  dirty = false;
  // The record says the encoding in force from now on (the next start reads the text in it).
  keepEditState(true);
}

void EditFileView::askEncodingChange(int row, const std::string &why) {
  const auto &rows = editor::encodingRows();
  const std::string chosen = rows[static_cast<size_t>(row)].title;
  encodingRowAsked_ = row;
  confirmEncodingChange = std::make_shared<AlertView>(
      "Change Encoding?", why + " Keep the text as it is, in \"" + chosen + "\"?",
      std::weak_ptr<AlertViewDelegate>(sharedAs<EditFileView>()), "Cancel",
      std::vector<std::string>{"Keep Text"});
  confirmEncodingChange->show();
}

// --- Saving
// ---------------------------------------------------------------------------------------

std::string EditFileView::tabKey(const std::string &base) const {
  return std::to_string(tabIndex) + "-" + base;
}

void EditFileView::readCloudFile(
    std::function<void(EditFileView &, const editor::Bytes &)> loaded) {
  std::weak_ptr<EditFileView> weak = sharedAs<EditFileView>();
  auto presenter = presenter_;
  const std::string path = editingFileAtPath;
  auto work = [weak, presenter, path, loaded] {
    EditableBytes read;
    bool exists = true;
    const bool ran = CloudContainer::coordinateReading(
        path,
        [&](const std::string &coordinated) {
          read = readEditable(coordinated);
          exists = FileManager::fileExists(coordinated);
        },
        presenter.get());
    auto &bytes = read.bytes;
    // The editor is looked at (and let go) on the main thread only.
    RunLoop::main()->performAndWait([&] {
      auto self = weak.lock();
      if (!self || !self->presenter_) return; // closed meanwhile
      if (!exists) return self->accommodatePresentedItemDeletion();
      if (read.tooBig) return self->refuseTooBigFile();
      if (!ran || !bytes) {
        Log::system("EditFileView: the file could not be read: " + path);
        return;
      }
      loaded(*self, *bytes);
    });
  };
  if (auto queue = editQueue())
    queue->async(std::move(work));
  else
    work();
}

void EditFileView::saveEditState() {
  keepEditState(false);
}

void EditFileView::keepAsTyped() {
  if (fCurrentlyActive) keepEditState(true);
}

void EditFileView::keepEditState(bool quiet) {
  const auto status = state_.keep(quiet);
  if (status) {
    keepFailureTold_ = false;
    return;
  }
  // Told once: the edit state is written again and again (each search, each keyboard toggle).
  if (keepFailureTold_) return;
  keepFailureTold_ = true;
  const std::string name = shownName();
  auto alert = std::make_shared<AlertView>(
      "Changes Not Kept",
      withControlsEscaped("What was typed in \"" + name + "\" could not be kept on disk: " +
                          status.error() + ". It stays in the editor while the editor is open."),
      std::weak_ptr<AlertViewDelegate>(), "OK");
  alert->show();
}

void EditFileView::applicationTerminating() {
  saveEditState();
}

void EditFileView::clickSave() {
  const std::string &text = theText ? theText->text() : std::string();
  if (text.rfind("Lorem ipsum dolor", 0) == 0) {
    auto alert = std::make_shared<AlertView>(
        "File Save Error",
        Log::format("There is an error that is preventing the file from being saved correctly.  "
                    "This may be caused by low memory on your %s, try turning off and restarting.",
                    deviceModel().c_str()),
        std::weak_ptr<AlertViewDelegate>(), "OK");
    alert->show();
    return;
  }
  if (fReadOnly) return closeEditor();
  if (fileTooBig) return tellTooBigToEdit(textFileName);
  if (!textLoaded) {
    auto alert = std::make_shared<AlertView>(
        "File Not Loaded",
        "The file could not be read with the encoding \"" + editor::encodingTitle(useEncoding) +
            "\", so nothing is saved over it. Choose another encoding to read it.",
        std::weak_ptr<AlertViewDelegate>(), "OK");
    alert->show();
    return;
  }
  if (isLocalFile()) return confirmedSave();
  confirmSave = std::make_shared<AlertView>(
      "Confirm File Save", "Saving will upload the changed file back to the FTP server.  Continue?",
      std::weak_ptr<AlertViewDelegate>(sharedAs<EditFileView>()), "Cancel",
      std::vector<std::string>{"Save"});
  confirmSave->show();
}

void EditFileView::confirmedSave() {
  if (saving_) return; // a cloud write is on its way
  // A cloud file's text still on its way (its read waits for another program's lock): nothing of
  // the blank editor goes over the file.
  if (cloudFile_ && !cloudRead_) return;
  auto bytes = getTextAsDataRef();
  if (!bytes) {
    // Never a silent switch to another encoding: the user chooses one.
    encodingProblem = std::make_shared<AlertView>(
        "Encoding Problem",
        "The text holds characters that \"" + editor::encodingTitle(useEncoding) +
            "\" cannot hold. Save it in another encoding?",
        std::weak_ptr<AlertViewDelegate>(sharedAs<EditFileView>()), "Cancel",
        std::vector<std::string>{"Unicode (UTF-8)", "Unicode (UTF-16)"});
    encodingProblem->show();
    return;
  }
  // The edit state first: what was typed stays on disk whatever becomes of the writes below.
  state_.keep();
  if (theText && theText->isFirstResponder()) theText->resignFirstResponder();
  if (didSaveTheFile) return closeEditor();
  std::optional<editor::Bytes> changed;
  if (auto status = state_.writeForSave(*bytes, &changed); !status) return tellNotSaved(status);
  if (changed) return changedBeforeSave(*changed);
  if (!cloudFile_) return finishSave(*bytes);
  // A cloud file is written coordinated, maybe after another program's access: the editor waits
  // for the write to land before it says the file is saved.
  saving_ = true;
  if (saveButton) saveButton->setEnabled(false);
  // What is saved is the text as it is now: typed on while the write waits (for another program's
  // lock), it would be lost when the saved editor closes.
  if (theText) theText->setEditable(false);
  std::weak_ptr<EditFileView> weak = sharedAs<EditFileView>();
  state_.writeCloudFile(
      *bytes,
      [weak, saved = *bytes](FileStatus status) {
        auto self = weak.lock();
        // (Closed meanwhile: cancelled, or its file deleted elsewhere.)
        if (!self || !self->fCurrentlyActive) return;
        self->saving_ = false;
        if (self->saveButton) self->saveButton->setEnabled(!self->fReadOnly);
        if (self->theText) self->theText->setEditable(true);
        if (!status) return self->tellNotSaved(status);
        self->knownBytes_ = saved;
        self->finishSave(saved);
      },
      [weak](const editor::Bytes &now) {
        auto self = weak.lock();
        if (!self || !self->fCurrentlyActive) return;
        self->saving_ = false;
        if (self->saveButton) self->saveButton->setEnabled(!self->fReadOnly);
        if (self->theText) self->theText->setEditable(true);
        self->changedBeforeSave(now);
      });
}

void EditFileView::changedBeforeSave(const editor::Bytes &bytes) {
  Log::system("EditFileView: the file changed since the edit began: " + editingFileAtPath);
  changedBytes_ = bytes;
  saveAfterAnswer_ = true;
  askFileChanged();
}

void EditFileView::finishSave(const editor::Bytes &bytes) {
  didSaveTheFile = true;
  if (isLocalFile())
    state_.saved();
  else
    uploadBack(bytes);
  fCurrentlyActive = false;
  closeEditor();
}

void EditFileView::tellNotSaved(const FileStatus &status) {
  const std::string name = shownName();
  auto alert = std::make_shared<AlertView>(
      "File Not Saved",
      withControlsEscaped(
          "\"" + name + "\"" +
          (isLocalFile() ? " could not be saved: " : " was not sent back to the server: ") +
          status.error() + ". The text stays in the editor."),
      std::weak_ptr<AlertViewDelegate>(), "OK");
  alert->show();
}

void EditFileView::uploadBack(const editor::Bytes &bytes) {
  // Whatever road the text takes, it looks first whether the server's file is still the one the
  // edit began from.
  state_.sendingBack(bytes);
  auto services = EditorServices::shared();
  auto queue = services ? services->batchView() : nullptr;
  // An earlier save of this working file still waiting in Transfers is the one this save joins,
  // on the phone too: sent beside it over the phone's own session, the newer text could arrive
  // first and the waiting row's older text after it.
  const bool viaQueue = isPad() || (!sftpConnection && !theConnection) ||
                        (queue && queue->isInProgress(editingFileAtPath));
  if (viaQueue) {
    // (The working file holds the bytes already: Save wrote it before anything goes back.)
    if (!queue) {
      Log::system("EditFileView: no transfer queue to send " + textFileName + " back");
      return;
    }
    // A file reopened as a tab has no connection: it goes back over the kind it came from.
    const bool sftp = theConnection ? false : sftpConnection || serverProtocol == "sftp";
    const std::string protocol =
        sftp                                                                         ? "sftp"
        : (theConnection ? theConnection->fSecureLogin() : serverProtocol == "ftps") ? "ftps"
                                                                                     : "ftp";
    // To the server and port the file came from (a port the server text does not hold too).
    const int key = queue->addBatchItemAction(
        sftp ? 31 : 3, remoteFileName(), remoteFolder(), 0, serverName, serverPort, userLogin,
        myDecryptString1(userPassword), protocol, editingFileAtPath, true, true);
    // The queue takes one upload of a file at a time: an earlier save of this file that still
    // waits there (from another working file) is the row this save joined, and it sends this
    // save's text, so that the newest save is the one that arrives.
    const int index = key >= 0 ? queue->batchIndexForPK(key) : -1;
    if (index >= 0) {
      auto row = queue->batchItemList()[static_cast<size_t>(index)];
      const std::string sends = queue->localFileOfItem(*row);
      bool written = true;
      if (!row->working() && standardizePath(sends) != standardizePath(editingFileAtPath)) {
        if (auto status = FileManager::writeAtomically(sends, bytes); !status) {
          Log::system("EditFileView: could not write " + sends + ": " + status.error());
          written = false;
        } else {
          EditState::sendsText(sends, bytes);
          EditState::joins(sends, editingFileAtPath);
        }
      }
      // That save's upload may be on its way now with the text it read before: the row goes again
      // once it ends, with this save's text.
      if (written && queue->inProgressPK() == key) queue->sendAgainOnceDone(key);
    }
    return;
  }
  if (sftpConnection && !theConnection) {
    // The service runs an operation on a thread of the caller's own and reports on the main
    // thread, so the main thread does not wait for it.
    auto sftp = sftpConnection;
    const std::string local = editingFileAtPath, name = textFileName;
    // Back to the file it came from, by the bytes the server named it and its folder with.
    const std::string remote =
        SFTPWrapper::wireOf(SFTPWrapper::pathIn(remoteFolder(), remoteFileName()));
    // The working file is what is sent: in use until the service has sent it.
    auto sending = std::make_shared<FileInUse>(local);
    // A save that did not arrive waits in Transfers as the tablet's does, and goes again from
    // there: to the same file, server, port and user.
    auto again = [rname = remoteFileName(), rfolder = remoteFolder(), server = serverName,
                  port = serverPort, user = userLogin, pass = myDecryptString1(userPassword),
                  local] {
      auto services = EditorServices::shared();
      auto queue = services ? services->batchView() : nullptr;
      return queue && queue->addBatchItemAction(31, rname, rfolder, 0, server, port, user, pass,
                                                "sftp", local, true, true) >= 0;
    };
    // What the server's file must still hold before the text goes over it (none: not known).
    auto base = EditState::sendBackBase(local);
    auto send = [sftp, local, remote, name, sending, again, base](SFTPWrapper &) {
      // Only the service's report that the file arrived ends the edit record: a refused or
      // failed upload keeps it (and the working file) for the next start.
      const std::weak_ptr<SFTPWrapperDelegate> listener = sftp->delegate();
      auto watch = std::make_shared<UploadWatch>(listener, remote,
                                                 [local] { EditState::forgetSentBack(local); });
      sftp->setDelegate(watch);
      // The server's file is looked at first, on this session. Changed by another since the edit
      // began, nothing goes over it: the save waits in Transfers, which asks the person.
      auto outcome = SendBackCheck::Outcome::Send;
      if (base)
        outcome = EditState::checkServerFile(*base, local, [&](const BytesToRead &bytesToRead) {
                    return sftp->lookAtFile(remote, bytesToRead);
                  }).outcome;
      if (outcome == SendBackCheck::Outcome::Send) {
        sftp->setupToUploadThisFile(local, remote);
        sftp->uploadFile();
      }
      const bool changed = outcome == SendBackCheck::Outcome::Changed;
      // Its reports are on their way to the main thread, in order; after them the screen that
      // listened gets the service back, unless another one has taken it meanwhile. A save that
      // did not arrive is never left unsaid.
      platform::dispatchAsyncMain([sftp, watch, listener, name, local, sending, again, changed] {
        if (sftp->delegate() == watch) sftp->setDelegate(listener);
        if (watch->fileArrived()) return;
        const bool queued = again();
        // (A changed file: Transfers asks about it.)
        if ((!changed || !queued) && !watch->failureShown()) tellNotSentBack(name, local, queued);
      });
    };
    // The service takes one operation at a time and refuses one that comes while another runs:
    // the save waits for its turn behind the folder screens' operations.
    if (services && services->runInFolderScreensTurn(sftp, "save", send)) return;
    // No folder screen works on the service: a counted worker, so that an ending process waits
    // for it before its static objects go.
    platform::startThread(
        "editor-sftp-upload", [sftp, send] { send(*sftp); }, false);
    return;
  }
  // The working file goes (Save wrote the bytes into it), so the upload is a transfer row as
  // well: a session cut before the file arrived leaves the row, which the queue sends again once
  // the server is back, as the tablet's save does.
  auto connection = theConnection;
  const std::string local = editingFileAtPath, name = textFileName;
  const RemoteName rname = remoteFileName(), rfolder = remoteFolder();
  // What the server's file must still hold before the text goes over it (none: not known).
  auto base = EditState::sendBackBase(local);
  if (!base) {
    connection->uploadFile(rname, local, rfolder, false, 0);
    return;
  }
  // A save that may not go now waits in Transfers as the tablet's does: to the same file,
  // server, port and user.
  auto again = [rname, rfolder, server = serverName, port = serverPort, user = userLogin,
                pass = myDecryptString1(userPassword),
                protocol = std::string(connection->fSecureLogin() ? "ftps" : "ftp"), local] {
    auto services = EditorServices::shared();
    auto queue = services ? services->batchView() : nullptr;
    return queue && queue->addBatchItemAction(3, rname, rfolder, 0, server, port, user, pass,
                                              protocol, local, true, true) >= 0;
  };
  // No session now (it ended while the person typed): the save goes through Transfers, whose
  // session looks at the file and sends it.
  if (!connection->isStreamConnected()) {
    if (!again()) tellNotSentBack(name, local, false);
    return;
  }
  // The working file is what is sent: in use until the look is over.
  auto sending = std::make_shared<FileInUse>(local);
  // The server's file is looked at first, on this session: the connection's thread runs the
  // look, and a worker of its own waits for it (never the main thread).
  platform::startThread(
      "editor-ftp-look",
      [weak = std::weak_ptr<FTPConnection>(connection), base = *base, local, name, rname, rfolder,
       again, sending] {
        const auto outcome =
            EditState::checkServerFile(base, local, [&](const BytesToRead &bytesToRead) {
              return FTPConnection::lookAtFileAndWait(weak, rname, rfolder, bytesToRead);
            }).outcome;
        platform::dispatchAsyncMain([weak, outcome, local, name, rname, rfolder, again, sending] {
          auto connection = weak.lock();
          if (outcome == SendBackCheck::Outcome::Send && connection) {
            connection->uploadFile(rname, local, rfolder, false, 0);
            return;
          }
          // Changed by another since the edit began: nothing goes over it, and Transfers asks
          // the person. Not looked at: it waits there for its server.
          const bool queued = again();
          if (outcome == SendBackCheck::Outcome::NotLooked || !queued)
            tellNotSentBack(name, local, queued);
        });
      },
      false);
}

void EditFileView::askServerFileChanged(const std::string &workingFile, const std::string &name,
                                        const std::string &found,
                                        std::function<void(bool)> answered) {
  auto question = std::make_shared<ServerFileQuestion>();
  question->answered = [workingFile, found, answered = std::move(answered)](bool keepTyped) {
    if (keepTyped)
      EditState::keepTypedOver(workingFile, found);
    else
      EditState::takeServerFile(workingFile);
    if (answered) answered(keepTyped);
  };
  question->alert = fileChangedAlert(name, std::weak_ptr<AlertViewDelegate>(question));
  ServerFileQuestion::open().insert(question);
  question->alert->show();
}

void EditFileView::closeEditor() {
  auto self = sharedAs<EditFileView>();
  if (isPad()) {
    if (auto services = EditorServices::shared()) services->cancelFileViewTab(self);
    cleanup();
    return;
  }
  // The phone reads its one record from the plain keys; the numbered ones the edit state also
  // wrote are read by nothing there, and go with the editor (file, server and password).
  state_.forgetNumberedRecord();
  if (auto nav = navigationController()) {
    if (auto presented = modalViewController())
      presented->dismissModalViewControllerAnimated(false);
    nav->popViewControllerAnimated(true);
  }
  cleanup();
}

void EditFileView::presentedItemDidChange() {
  if (cloudFile_) {
    if (!presenter_) return;
    // A full load, coordinated; the editor's own bytes coming back are no change.
    readCloudFile(
        [](EditFileView &self, const editor::Bytes &bytes) { self.changedElsewhere(bytes); });
    return;
  }
  if (!FileManager::fileExists(editingFileAtPath)) return accommodatePresentedItemDeletion();
  auto read = readEditable(editingFileAtPath);
  if (read.tooBig) return refuseTooBigFile();
  if (read.bytes) changedElsewhere(*read.bytes);
}

void EditFileView::changedElsewhere(const editor::Bytes &bytes) {
  if (bytes == knownBytes_) return; // nothing new, or this editor's own write
  // Removed and asked about: the question in force stays the one asked.
  if (confirmRemoved) return;
  Log::system("presentedItemDidChange");
  if (!cancelAsks()) {
    loadFromData(bytes);
    setTheTextAndFixTextBugs();
    return;
  }
  // Typed text is never replaced unasked: it stays in the editor (and in its working copy, with
  // its record) until the person chooses. A further change meanwhile is what a "take" takes.
  changedBytes_ = bytes;
  askFileChanged();
}

void EditFileView::askFileChanged() {
  if (confirmOutsideChange) return;
  saveEditState();
  confirmOutsideChange =
      fileChangedAlert(shownName(), std::weak_ptr<AlertViewDelegate>(sharedAs<EditFileView>()));
  confirmOutsideChange->show();
}

void EditFileView::takeChangedFile() {
  auto bytes = std::exchange(changedBytes_, std::nullopt);
  if (!bytes) return;
  saveAfterAnswer_ = false;
  loadFromData(*bytes);
  setTheTextAndFixTextBugs();
  // What was typed is given up by choice: the text is the file's now.
  dirty = restoredChanged = false;
  saveEditState();
}

void EditFileView::accommodatePresentedItemDeletion() {
  Log::system("accommodatePresentedItemDeletionWithCompletionHandler");
  if (!cancelAsks()) return doCancel();
  if (confirmRemoved) return;
  // Typed text outlives its file: it stays in the editor and its working copy until the person
  // saves it again (the file is made anew) or discards it.
  if (confirmOutsideChange) {
    confirmOutsideChange->dismissWithClickedButtonIndex(-1, false);
    confirmOutsideChange.reset();
  }
  changedBytes_.reset();
  saveEditState();
  confirmRemoved = std::make_shared<AlertView>(
      "File Removed",
      withControlsEscaped("\"" + shownName() +
                          "\" was removed outside the editor. The typed text stays in the "
                          "editor: save it again, or discard it?"),
      std::weak_ptr<AlertViewDelegate>(sharedAs<EditFileView>()), "Discard",
      std::vector<std::string>{"Save Again"});
  confirmRemoved->show();
}

std::function<void()> EditFileView::relinquish(const char *name) {
  Log::system(name);
  if (saveButton) saveButton->setEnabled(false);
  std::weak_ptr<EditFileView> weak = sharedAs<EditFileView>();
  return [weak] {
    auto self = weak.lock();
    if (!self || !self->presenter_) return;
    if (self->saveButton) self->saveButton->setEnabled(!self->fReadOnly);
    self->presentedItemDidChange();
  };
}

std::function<void()> EditFileView::relinquishPresentedItemToWriter() {
  return relinquish("relinquishPresentedItemToWriter");
}

std::function<void()> EditFileView::relinquishPresentedItemToReader() {
  return relinquish("relinquishPresentedItemToReader");
}

void EditFileView::savePresentedItemChanges() {
  Log::system("savePresentedItemChangesWithCompletionHandler");
  // Another access of the file is about to start. What was typed is kept on disk, in the editor's
  // working copy: the file itself holds what it held until the person saves (an access elsewhere
  // never reads a text that may still be discarded).
  if (fReadOnly || !dirty) return;
  Log::system("savePresentedItemChangesWithCompletionHandlerSAVED");
  saveEditState();
}

void EditFileView::cleanup() {
  state_.cancelPendingKeep();
  // Closed: its working file is used only by what still names it (a record, a queued save).
  workingFileInUse_.release();
  // A question about the file changed or removed elsewhere goes with the editor it was about.
  for (auto *asked : {&confirmOutsideChange, &confirmRemoved})
    if (auto alert = std::exchange(*asked, nullptr))
      alert->dismissWithClickedButtonIndex(-1, false);
  changedBytes_.reset();
  // The presenter's watch may be what called: the container lets it go once its call is over.
  if (presenter_) {
    CloudContainer::removeFilePresenter(presenter_.get());
    presenter_.reset();
  }
  if (auto w = Window::keyWindow()) w->removeKeyboardObserver(*this);
  auto &accelerometer = Accelerometer::sharedAccelerometer();
  if (accelerometer.delegate().get() == static_cast<AccelerometerDelegate *>(this))
    accelerometer.setDelegate({});
}

bool EditFileView::textDiffers() {
  if (restoredChanged) return true;
  if (!theText) return false; // never shown: nothing typed
  if (theText->text() != loaded_.text) return true;
  // An encoding reload read the working file, which the edit state may have written edits into.
  return loaded_.bytes != originalBytes_;
}

bool EditFileView::cancelAsks() const {
  // Beyond the edits since the text was loaded (`dirty`), a text that already held edits when it
  // was loaded (an earlier run's, or typed before an encoding reload) asks too: Cancel throws
  // those edits away with the working file that keeps them.
  const bool heldEdits = restoredChanged || loaded_.bytes != originalBytes_;
  return !fReadOnly && (dirty || heldEdits);
}

void EditFileView::clickCancel() {
  afterDiscard_ = nullptr; // its own Cancel: only the editor closes
  if (cancelAsks()) {
    confirmCancel = std::make_shared<AlertView>(
        "Cancel Editing?", "Cancel editing the file and discard all changes?",
        std::weak_ptr<AlertViewDelegate>(sharedAs<EditFileView>()), "No",
        std::vector<std::string>{"Yes, Discard"});
    confirmCancel->show();
    return;
  }
  doCancel();
}

bool EditFileView::closeOrAsk(std::function<void()> closed) {
  if (!cancelAsks()) {
    doCancel();
    return true;
  }
  clickCancel();
  afterDiscard_ = std::move(closed);
  return false;
}

void EditFileView::doCancel() {
  // What was typed goes with its working file and record; the file keeps what it held (a file of
  // the device was never written, a server's Saved Files copy neither).
  state_.discard();
  if (theText && theText->isFirstResponder()) theText->resignFirstResponder();
  fCurrentlyActive = false;
  closeEditor();
}

void EditFileView::askAboutPendingEdit() {
  if (confirmReplaceEdit || !fCurrentlyActive || fReadOnly || isLocalFile() ||
      setting(kSavePasswordsKey) != "1" || !state_.otherEditPending())
    return;
  // Two files of one name may come from two servers: the server says which one this is.
  std::string server = setting(kWasEditingServerNameKey);
  const std::string port = setting(kWasEditingServerPortKey);
  if (!server.empty() && !port.empty() && server.find(':') == std::string::npos)
    server += ":" + port;
  // A file of the device keeps no server: its changes have not been saved at all.
  const bool deviceFile = !setting(kEditingSavedFile).empty();
  confirmReplaceEdit = std::make_shared<AlertView>(
      "Continue Editing File?",
      "The changes to \"" + withControlsEscaped(setting(kWasEditingFileName)) +
          "\" have not been saved" +
          (deviceFile       ? std::string()
           : server.empty() ? std::string(" to the server")
                            : " to " + withControlsEscaped(server)) +
          ". Editing this file gives them up.",
      std::weak_ptr<AlertViewDelegate>(sharedAs<EditFileView>()), "Edit File",
      std::vector<std::string>{"Discard Changes"});
  confirmReplaceEdit->show();
}

void EditFileView::clickedButtonAtIndex(AlertView &alert, int index) {
  auto self = sharedAs<EditFileView>();
  if (&alert == confirmReplaceEdit.get()) {
    confirmReplaceEdit.reset();
    if (index == 1) {
      state_.giveUpPendingEdit();
      saveEditState(); // the record is this file's from now on
      return;
    }
    // Back to the pending edit: this file closes (nothing was typed in it yet), and the file of
    // the record opens on its own server.
    doCancel();
    if (auto services = EditorServices::shared()) services->continueRecordedEdit();
    return;
  }
  if (&alert == confirmEncodingChange.get()) {
    confirmEncodingChange.reset();
    const int row = std::exchange(encodingRowAsked_, -1);
    const auto &rows = editor::encodingRows();
    if (index != 1 || row < 0 || static_cast<size_t>(row) >= rows.size()) return;
    // The text stays as it is; it is saved in the chosen encoding (or Save asks again).
    useEncoding = rows[static_cast<size_t>(row)].identifier;
    unicodeWithFFFE = row == 2;
    unicodeBigEndian = utf8WithMark = false;
    if (!textLoaded && !fileTooBig) {
      // Typed into a blank editor: the typed text is the text from now on, in that encoding.
      loaded_ = {};
      loaded_.state.useEncoding = useEncoding;
      textLoaded = true;
    }
    saveEditState();
    return;
  }
  if (&alert == confirmOutsideChange.get()) {
    confirmOutsideChange.reset();
    if (index == 1) return takeChangedFile();
    // The typed text stays; the change seen is no news from now on (Save writes over it).
    if (changedBytes_) {
      knownBytes_ = *std::exchange(changedBytes_, std::nullopt);
      state_.fileIs(knownBytes_);
      saveEditState();
    }
    if (std::exchange(saveAfterAnswer_, false)) confirmedSave();
    return;
  }
  if (&alert == confirmRemoved.get()) {
    confirmRemoved.reset();
    if (index == 1) {
      // The file is made anew with the text: there is nothing of it now to write over.
      state_.fileIs({});
      return confirmedSave();
    }
    return doCancel();
  }
  if (&alert == confirmSave.get()) {
    confirmSave.reset();
    if (index == 1) confirmedSave();
  } else if (&alert == confirmCancel.get()) {
    confirmCancel.reset();
    auto then = std::move(afterDiscard_);
    afterDiscard_ = nullptr;
    if (index == 1) {
      doCancel();
      if (then) then();
    }
  } else if (&alert == encodingProblem.get()) {
    encodingProblem.reset();
    if (index == 1) {
      useEncoding = editor::kEncodingUTF8;
      unicodeWithFFFE = unicodeBigEndian = false;
    } else if (index == 2) {
      useEncoding = editor::kEncodingUTF16;
      unicodeWithFFFE = true;
      unicodeBigEndian = utf8WithMark = false;
    } else {
      return;
    }
    confirmedSave();
  }
}

// --- The screen
// -----------------------------------------------------------------------------------

void EditFileView::viewDidLoad() {
  if (isAllLoaded) return;
  isAllLoaded = true;
  Log::system("EditFileView:ViewDidLoad");
  auto root = view();
  const Rect bounds = root->bounds();
  std::weak_ptr<EditFileView> weak = sharedAs<EditFileView>();

  theText = std::make_shared<UIMyTextView>(Rect(0, 0, bounds.size.width, bounds.size.height - 44));
  theText->setAccessibilityLabel("File Text");
  theText->setAutoresizingMask(FlexibleWidth | FlexibleHeight);
  theText->setDelegate(std::weak_ptr<TextViewDelegate>(sharedAs<EditFileView>()));
  // A cloud file's text is still on its way (its read may wait for another program's lock): what
  // would be typed into the blank editor meanwhile would be replaced by the file's text.
  theText->setEditable(!cloudFile_ || cloudRead_);
  theText->onTouchesEnded = [weak](int taps) {
    if (taps != 2) return;
    RunLoop::main()->performAfter(seconds(0.01), [weak] {
      if (auto self = weak.lock()) self->showHideKeyboard();
    });
  };
  root->addSubview(theText);

  if (!isPad() && settings().integerForKey("ShownEditTooltip") < 2) {
    settings().setObject(std::to_string(settings().integerForKey("ShownEditTooltip") + 1),
                         "ShownEditTooltip");
    settings().synchronize();
    Tooltip::initTipString("Tap the Title to Show or Hide the Keyboard", {160, 0}, root);
  }
  if (auto w = Window::keyWindow())
    w->addKeyboardObserver(std::weak_ptr<KeyboardObserver>(sharedAs<EditFileView>()));
  buildKeyRows();
  keySound = SoundEffect::soundEffectWithContentsOfFile(Paths::resources() + "/keypress.aif");
  shiftKeySound = SoundEffect::soundEffectWithContentsOfFile(Paths::resources() + "/shift.aif");

  charItem_ = BarButtonItem::titled("Char", BarButtonItemStyle::Bordered, [weak](BarButtonItem &) {
    if (auto s = weak.lock()) s->clickEncoding();
  });
  findItem_ = BarButtonItem::titled("Find", BarButtonItemStyle::Bordered, [weak](BarButtonItem &) {
    if (auto s = weak.lock()) s->clickFindReplace();
  });
  gotoItem_ = BarButtonItem::titled("GoTo", BarButtonItemStyle::Bordered, [weak](BarButtonItem &) {
    if (auto s = weak.lock()) s->clickGotoLine();
  });
  saveButton = BarButtonItem::systemItem(BarButtonSystemItem::Save, [weak](BarButtonItem &) {
    if (auto s = weak.lock()) s->clickSave();
  });

  fullTextFrame = theText->frame();
  fullViewFrame = root->frame();
  toolbar = std::make_shared<Toolbar>();
  if (isPad()) {
    setupTitlebar();
    theText->setFrame(Rect(0, 44, bounds.size.width, bounds.size.height - 44));
  } else {
    // The bottom bar of the iPhone layout holds the search and encoding tools.
    toolbar->setFrame(Rect(0, bounds.size.height - 44, bounds.size.width, 44));
    toolbar->setAutoresizingMask(FlexibleWidth | FlexibleTopMargin);
    toolbar->setItems({charItem_, BarButtonItem::flexibleSpace(), findItem_,
                       BarButtonItem::flexibleSpace(), gotoItem_});
    root->addSubview(toolbar);
  }
  viewDidReLoad();

  fKeyboardShown = false;
  dirty = false;
  if (!isPad()) {
    if (!fReadOnly) navigationItem().setRightBarButtonItem(saveButton);
    navigationItem().setLeftBarButtonItem(
        BarButtonItem::systemItem(BarButtonSystemItem::Cancel, [weak](BarButtonItem &) {
          if (auto s = weak.lock()) s->clickCancel();
        }));
  }
  auto title = titleButton_ = std::make_shared<Button>(ButtonType::Custom, Rect(0, 0, 200, 38));
  title->setTitle(textFileName);
  title->setTitleColor(Color::whiteColor());
  title->setTitleShadowColor(Color::grayColor());
  title->setTitleShadowOffset({0, -1});
  title->setImage("keyboard3.png");
  title->setTitleFont(Font::boldSystem(Font::systemFontSize() + 5));
  title->setShowsTouchWhenHighlighted(true);
  title->setAccessibilityLabel("Keyboard");
  title->addTarget(TouchUpInside, [weak](Control &) {
    if (auto s = weak.lock()) s->showHideKeyboard();
  });
  navigationItem().setTitleView(title);
}

void EditFileView::viewDidReLoad() {
  if (!isPad()) theText->setFrame(fullTextFrame);
  theText->traits().autocorrectionType = TextAutocorrectionType::No;
  theText->traits().autocapitalizationType = TextAutocapitalizationType::Sentences;
  theText->setShowsHorizontalScrollIndicator(true);
  setTheTextAndFixTextBugs();
  fCurrentlyActive = true;
  theText->setSelectedRange({0, 0});
  theText->scrollRangeToVisible({0, 0});
  saveButton->setEnabled(!fReadOnly);
  orientation = InterfaceOrientation::Portrait;
  setTitle(textFileName);
}

void EditFileView::setupTitlebar() {
  if (!isPad() || !toolbar) return;
  auto services = EditorServices::shared();
  std::weak_ptr<EditFileView> weak = sharedAs<EditFileView>();
  auto resize = BarButtonItem::withImage(services ? services->resizeImage() : "window-full-4.png",
                                         BarButtonItemStyle::Plain, [](BarButtonItem &) {
                                           if (auto s = EditorServices::shared())
                                             s->clickedResize();
                                         });
  resize->setAccessibilityLabel("Resize Screen");
  auto close =
      BarButtonItem::withImage("delete.png", BarButtonItemStyle::Plain, [weak](BarButtonItem &) {
        if (auto s = weak.lock()) s->clickCancel();
      });
  close->setAccessibilityLabel("Close File");
  auto name = BarButtonItem::titled(textFileName, BarButtonItemStyle::Plain);
  std::vector<std::shared_ptr<BarButtonItem>> items{BarButtonItem::fixedSpace(7),
                                                    resize,
                                                    close,
                                                    BarButtonItem::flexibleSpace(),
                                                    name,
                                                    BarButtonItem::flexibleSpace(),
                                                    charItem_,
                                                    findItem_,
                                                    gotoItem_,
                                                    BarButtonItem::fixedSpace(8),
                                                    saveButton};
  toolbar->setItems(items);
  toolbar->setFrame(Rect(0, 0, view()->bounds().size.width, 44));
  toolbar->setAutoresizingMask(FlexibleWidth);
  if (!toolbar->superview()) view()->addSubview(toolbar);
}

void EditFileView::reapplyEditorSettings() {
  applyFontSettings();
  applyAccessorySetting();
  theText->traits().autocorrectionType = settings().integerForKey("SpellChecker") == 0
                                             ? TextAutocorrectionType::No
                                             : TextAutocorrectionType::Default;
}

void EditFileView::viewWillAppear(bool animated) {
  ViewController::viewWillAppear(animated);
  Log::system("EditFileView:viewWillAppear");
  auto &accelerometer = Accelerometer::sharedAccelerometer();
  accelerometer.setUpdateInterval(0.04);
  accelerometer.setDelegate(std::weak_ptr<AccelerometerDelegate>(sharedAs<EditFileView>()));
  if (theText->isFirstResponder()) theText->resignFirstResponder();
  reapplyEditorSettings();
  statusBar_.appearing();
}

void EditFileView::viewDidAppear(bool animated) {
  ViewController::viewDidAppear(animated);
  // Asked once the opener has set what the file is (it does so after showing the editor).
  if (isPad()) return;
  std::weak_ptr<EditFileView> weak = sharedAs<EditFileView>();
  RunLoop::main()->perform([weak] {
    if (auto self = weak.lock()) self->askAboutPendingEdit();
  });
}

void EditFileView::viewWillDisappear(bool animated) {
  ViewController::viewWillDisappear(animated);
  statusBar_.disappearing();
  auto &accelerometer = Accelerometer::sharedAccelerometer();
  if (accelerometer.delegate().get() == static_cast<AccelerometerDelegate *>(this))
    accelerometer.setDelegate({});
}

void EditFileView::applyFontSettings() {
  static const double step[] = {-2, 0, 3, 8};
  const long which = settings().integerForKey(kDefaultFontSizeKey);
  const double size = Font::systemFontSize() + (which >= 0 && which < 4 ? step[which] : 0);
  theText->setFont(settings().integerForKey(kDefaultFontKey) == 1 ? Font::named("Courier", size)
                                                                  : Font::system(size));
}

void EditFileView::applyAccessorySetting() {
  theText->setInputAccessoryView(settings().integerForKey("WebKeyboard") == 1 ? accessoryView
                                                                              : nullptr);
}

std::shared_ptr<View> EditFileView::keyRow(const std::string &keys, bool landscape, int row) {
  const double width = landscape ? 480 : 320;
  auto container = std::make_shared<View>(Rect(0, 0, width, 40));
  container->setBackgroundColor(Color::darkGrayColor());
  container->setAccessibilityLabel(Log::format("Key Row %d%s", row, landscape ? " Landscape" : ""));
  std::vector<char32_t> chars;
  for (size_t i = 0; i < keys.size();) {
    char32_t cp;
    if (!nextCodePoint(keys, i, cp)) break;
    chars.push_back(cp);
  }
  // Shift and Hide Keys are as wide as their words; the character keys share what is left.
  auto wordWidth = [](int tag) { return tag == 0 ? kShiftKeyWidth : kHideKeyWidth; };
  double left = width;
  size_t characters = 0;
  for (char32_t c : chars) {
    const int tag = tagOfKey(c);
    if (tag == 0 || tag == -1)
      left -= wordWidth(tag);
    else
      ++characters;
  }
  const double keyWidth = characters ? std::max(0.0, left) / static_cast<double>(characters) : 0;
  std::weak_ptr<EditFileView> weak = sharedAs<EditFileView>();
  double x = 0;
  for (size_t i = 0; i < chars.size(); ++i) {
    std::string label;
    appendUTF8(label, chars[i]);
    const int tag = tagOfKey(chars[i]);
    const double w = tag == 0 || tag == -1 ? wordWidth(tag) : keyWidth;
    auto key = std::make_shared<Button>(ButtonType::RoundedRect, Rect(x, 2, w - 2, 36));
    x += w;
    key->setTitle(tag == 0 ? "Shift" : tag == -1 ? "Hide Keys" : label);
    key->setAccessibilityLabel(tag == 0 ? "Shift" : tag == -1 ? "Hide Keys" : "Key " + label);
    key->setTag(tag);
    key->addTarget(TouchUpInside, [weak, tag](Control &) {
      if (auto s = weak.lock()) s->clickCustomButton(tag);
    });
    container->addSubview(key);
  }
  return container;
}

void EditFileView::buildKeyRows() {
  accessoryView = std::make_shared<View>(Rect(0, 0, 320, 40));
  accessoryViewTiny = std::make_shared<View>(Rect(0, 0, 320, 20));
  keyboard1 = keyRow(kRowKeys[0], false, 1);
  keyboard2 = keyRow(kRowKeys[1], false, 2);
  keyboard1horiz = keyRow(kRowKeys[2], true, 1);
  keyboard2horiz = keyRow(kRowKeys[3], true, 2);
  for (auto &row : {keyboard1, keyboard2, keyboard1horiz, keyboard2horiz}) {
    row->setHidden(true);
    accessoryView->addSubview(row);
  }
  keyboard1->setHidden(false);
  applyAccessorySetting();
}

void EditFileView::showHideKeyboard() {
  if (!theText->isFirstResponder()) {
    if (theText->becomeFirstResponder()) fKeyboardShown = true;
  } else {
    theText->resignFirstResponder();
  }
  saveEditState();
}

void EditFileView::clickCustomButton(int tag) {
  const bool landscape = isLandscape(orientation);
  if (tag == 0) {
    auto &first = landscape ? keyboard1horiz : keyboard1;
    auto &second = landscape ? keyboard2horiz : keyboard2;
    const bool firstShown = !first->isHidden();
    for (auto &row : {keyboard1, keyboard2, keyboard1horiz, keyboard2horiz})
      row->setHidden(true);
    first->setHidden(firstShown);
    second->setHidden(!firstShown);
    if (shiftKeySound) shiftKeySound->play();
    return;
  }
  if (tag == -1) {
    theText->setInputAccessoryView(nullptr);
    accessoryView->setHidden(true);
    std::weak_ptr<EditFileView> weak = sharedAs<EditFileView>();
    reshowAccessory = std::make_shared<Button>(ButtonType::RoundedRect, Rect(280, 0, 40, 20));
    reshowAccessory->setAccessibilityLabel("Show Keys");
    reshowAccessory->addTarget(TouchUpInside, [weak](Control &) {
      if (auto s = weak.lock()) s->clickCustomButton(-2);
    });
    view()->addSubview(reshowAccessory);
    setupTextFrameSize(orientation);
    return;
  }
  if (tag == -2) {
    if (reshowAccessory) reshowAccessory->removeFromSuperview();
    reshowAccessory.reset();
    accessoryView->setHidden(false);
    theText->setInputAccessoryView(accessoryView);
    setupTextFrameSize(orientation);
    return;
  }
  // A character key: pasted through the pasteboard, whose own contents are put back.
  auto &board = Pasteboard::generalPasteboard();
  const std::string saved = board.string();
  std::string character;
  appendUTF8(character, static_cast<char32_t>(tag));
  board.setString(character);
  theText->paste();
  board.setString(saved);
  if (keySound) keySound->play();
}

void EditFileView::scrollToPercent(int percent) {
  const std::u16string text = editor::toUtf16(theText->text());
  if (text.empty()) return;
  percent = std::clamp(percent, 0, 100);
  size_t index = static_cast<size_t>(percent) * text.size() / 100;
  if (index >= text.size()) index = text.size() - 1;
  const Range r = editor::composedSequenceAt(text, index);
  theText->setSelectedRange(r);
  theText->scrollRangeToVisible(r);
}

void EditFileView::setupTextFrameSize(InterfaceOrientation o) {
  orientation = o;
  if (isPad()) return;
  const double allowance =
      theText->inputAccessoryView() && !theText->inputAccessoryView()->isHidden() ? 55 : 0;
  if (!isLandscape(o))
    theText->setFrame(Rect(fullTextFrame.origin.x, fullTextFrame.origin.y, fullTextFrame.size.width,
                           222 - allowance));
  else
    theText->setFrame(Rect(0, 0, 480, 158 - allowance));
}

void EditFileView::newOrientation(InterfaceOrientation o) {
  if (!isPad()) {
    if (!isLandscape(o)) {
      view()->setFrame(fullViewFrame);
      theText->setFrame(fKeyboardShown ? Rect(fullTextFrame.origin.x, fullTextFrame.origin.y,
                                              fullTextFrame.size.width, 222)
                                       : fullTextFrame);
      toolbar->setHidden(false);
    } else {
      view()->setFrame(Rect(0, 0, 480, 320));
      theText->setFrame(Rect(0, 0, 480, fKeyboardShown ? 158 : 320));
      toolbar->setHidden(true);
    }
    orientation = o;
    theText->setNeedsDisplay();
    return;
  }
  setupTextFrameSize(o);
  for (auto &row : {keyboard1, keyboard2, keyboard1horiz, keyboard2horiz})
    row->setHidden(true);
  (isLandscape(o) ? keyboard1horiz : keyboard1)->setHidden(false);
}

void EditFileView::resized(Rect frame) {
  view()->setFrame(frame);
  theText->setFrame(
      Rect(0, isPad() ? 44 : 0, frame.size.width, frame.size.height - (isPad() ? 44 : 0)));
}

bool EditFileView::shouldAutorotateToInterfaceOrientation(InterfaceOrientation o) {
  return isPad() || o == InterfaceOrientation::Portrait ||
         appDelegateServices().allowLandscapeView();
}

void EditFileView::didRotateFromInterfaceOrientation(InterfaceOrientation from) {
  // The application lays out what it holds around the turned editor (on the phone it moves the
  // editor into its landscape container and back).
  appDelegateServices().didRotateFromInterfaceOrientation(int(from));
  if (isPad()) setupTextFrameSize(interfaceOrientation());
}

void EditFileView::restoreTextFrame() {
  if (!isPad()) {
    theText->setFrame(isLandscape(orientation) ? Rect(0, 0, 480, 320) : fullTextFrame);
    return;
  }
  if (viewYOffset < 0) viewYOffset = theText->frame().origin.y;
  const double bottom =
      theText->superview() ? theText->superview()->bounds().size.height : theText->frame().maxY();
  theText->setFrame(Rect(theText->frame().origin.x, viewYOffset, theText->frame().size.width,
                         bottom - viewYOffset));
}

void EditFileView::textViewDidBeginEditing(TextView &) {
  fKeyboardShown = true;
  dirty = true;
  setupTextFrameSize(orientation);
}

void EditFileView::textViewDidChange(TextView &) {
  dirty = true;
  state_.typed();
}

void EditFileView::textViewDidEndEditing(TextView &) {
  fKeyboardShown = false;
  restoreTextFrame();
}

void EditFileView::keyboardWillShow(const KeyboardInfo &info) {
  if (!isVisible()) return;
  applyAccessorySetting();
  accessoryView->setHidden(false);
  const double allowance = !isPad() && settings().integerForKey("WebKeyboard") == 1 ? 55 : 0;
  const Rect f = theText->frame();
  const double height =
      view()->bounds().size.height - info.frameEnd.size.height - f.origin.y + 40 - allowance;
  animate(info.animationDuration, [&] {
    theText->setFrame(Rect(f.origin.x, f.origin.y, f.size.width, std::max(0.0, height)));
  });
}

void EditFileView::keyboardWillHide(const KeyboardInfo &info) {
  if (!isVisible()) return;
  Rect b = view()->bounds();
  if (isPad()) b = Rect(0, 44, b.size.width, b.size.height - 44);
  animate(info.animationDuration, [&] { theText->setFrame(b); });
}

void EditFileView::keyboardDidHide(const KeyboardInfo &) {
  if (!isVisible()) return;
  accessoryView->setHidden(true);
  applyAccessorySetting();
}

// --- Search, replace, lines, shake
// ----------------------------------------------------------------

void EditFileView::showChooser(std::shared_ptr<EditDataViewController> chooser,
                               const std::shared_ptr<BarButtonItem> &from, Size size) {
  chooser_ = chooser;
  if (isPad()) {
    popover = std::make_shared<PopoverController>(chooser);
    popover->setPopoverContentSize(size);
    chooser->popoverParent = popover;
    popover->presentPopoverFromBarButtonItem(from, ArrowAny, true);
  } else if (auto nav = navigationController()) {
    nav->pushViewController(chooser, true);
  }
}

void EditFileView::clickFindReplace() {
  if (!findReplace) findReplace = FindReplaceView::make(sharedAs<EditFileView>());
  if (theText->isFirstResponder()) theText->resignFirstResponder();
  if (isPad()) {
    popover = std::make_shared<PopoverController>(findReplace);
    popover->setPopoverContentSize({320, 280});
    popover->setDelegate(std::weak_ptr<PopoverControllerDelegate>(findReplace));
    findReplace->popoverParent = popover;
    popover->presentPopoverFromBarButtonItem(findItem_, ArrowAny, true);
  } else {
    findReplace->popoverParent.reset();
    presentModalViewController(findReplace, true);
  }
  saveEditState();
}

void EditFileView::hideFindReplace() {
  popover.reset();
  if (!findReplace) return;
  if (auto parent = findReplace->popoverParent.lock())
    parent->dismissPopoverAnimated(true);
  else if (modalViewController() == findReplace)
    dismissModalViewControllerAnimated(true);
}

void EditFileView::clickDoFindNext() {
  hideFindReplace();
  findString = findReplace ? findReplace->textFind->text() : findString;
  fIgnoreCase = findReplace && findReplace->ignoreCase->isOn();
  std::weak_ptr<EditFileView> weak = sharedAs<EditFileView>();
  RunLoop::main()->performAfter(seconds(0.5), [weak] {
    if (auto s = weak.lock()) s->doFindNext();
  });
  if (!theText->isFirstResponder()) showHideKeyboard();
}

void EditFileView::clickDoFindPrevious() {
  hideFindReplace();
  findString = findReplace ? findReplace->textFind->text() : findString;
  fIgnoreCase = findReplace && findReplace->ignoreCase->isOn();
  std::weak_ptr<EditFileView> weak = sharedAs<EditFileView>();
  RunLoop::main()->performAfter(seconds(0.5), [weak] {
    if (auto s = weak.lock()) s->doFindPrevious();
  });
  if (!theText->isFirstResponder()) showHideKeyboard();
}

Range EditFileView::findInText(const std::string &what, Range in, bool backwards,
                               bool ignoreCase) const {
  editor::SearchOptions o;
  o.backwards = backwards;
  o.ignoreCase = ignoreCase;
  o.ignoreWidth = !backwards;
  return editor::findText(editor::toUtf16(theText->text()), editor::toUtf16(what), in, o);
}

void EditFileView::selectFound(Range found) {
  theText->setSelectedRange(adjustRange(found));
  Log::systemf("%zu, %zu", found.location, found.length);
  theText->setSelectedRange(found);
  if (!theText->isFirstResponder()) theText->scrollRangeToVisible(found);
}

void EditFileView::doFindNext() {
  if (findString.empty()) return;
  saveEditState();
  fLastFindWasFindNext = true;
  const size_t textLength = utf16Length(theText->text());
  const size_t findLength = utf16Length(findString);
  // "Below the last place a match could start": false whenever the find text is the longer.
  auto belowLastStart = [&](size_t location) {
    return location != kNotFound && findLength <= textLength && location < textLength - findLength;
  };
  size_t location = theText->selectedRange().location;
  if (!belowLastStart(location)) location = findLast.location;
  Range found{kNotFound, 0};
  if (belowLastStart(location))
    found = findInText(findString, {location + 1, textLength - location - 1}, false, fIgnoreCase);
  else
    found = findInText(findString, {0, textLength}, false, fIgnoreCase);
  if (found.location == kNotFound)
    found = findInText(findString, {0, textLength}, false, fIgnoreCase);
  if (found.location != kNotFound) selectFound(found);
  findLast = found;
}

void EditFileView::doFindPrevious() {
  const std::string what = findReplace ? findReplace->textFind->text() : findString;
  if (what.empty()) return;
  saveEditState();
  fLastFindWasFindNext = false;
  const size_t textLength = utf16Length(theText->text());
  const size_t findLength = utf16Length(findString);
  size_t location = theText->selectedRange().location;
  if (location == kNotFound) location = findLast.location;
  Range in{0, findLength <= textLength ? textLength - findLength : 0};
  if (location != kNotFound && location > findLength) in.length = location - 1;
  Range found = findInText(findString, in, true, fIgnoreCase);
  if (found.location == kNotFound)
    found = findInText(findString, {0, textLength}, true, fIgnoreCase);
  if (found.location != kNotFound) selectFound(found);
  findLast = found;
}

void EditFileView::clickDoReplace() {
  hideFindReplace();
  if (!findReplace || findReplace->textFind->text().empty()) return;
  theText->setText(editor::replaceAllOccurrences(theText->text(), findReplace->textFind->text(),
                                                 findReplace->textReplace->text(),
                                                 findReplace->ignoreCase->isOn()));
  saveEditState();
  dirty = true;
}

void EditFileView::clickDoCancelFindReplace() {
  hideFindReplace();
}

void EditFileView::clickGotoLine() {
  std::weak_ptr<EditFileView> weak = sharedAs<EditFileView>();
  auto chooser = EditDataViewController::initWithTitle(
      "Goto Line", "", "Goto Line Number...", "EditDataView", [weak](EditDataViewController &c) {
        if (auto s = weak.lock()) s->clickDoGotoLine(c.textData ? c.textData->text() : "");
      });
  chooser->numericOnly = true;
  showChooser(chooser, gotoItem_, {320, 120});
  saveEditState();
}

void EditFileView::clickDoGotoLine(const std::string &entered) {
  const std::u16string text = editor::toUtf16(theText->text());
  const Range r = editor::lineSelection(text, platform::intValue(entered));
  if (r.location == kNotFound) return;
  theText->setSelectedRange(r);
  if (!theText->isFirstResponder()) theText->scrollRangeToVisible(r);
}

Range EditFileView::adjustRange(Range r) const {
  if (r.location == kNotFound) return r;
  const std::u16string text = editor::toUtf16(theText->text());
  if (r.location >= text.size()) return {text.size(), 0};
  return {editor::composedSequenceAt(text, r.location).location, 0};
}

void EditFileView::didAccelerate(Accelerometer &, const Acceleration &a) {
  const double raw[3] = {a.x, a.y, a.z};
  double sum = 0;
  for (int i = 0; i < 3; ++i) {
    myAccelerometer[i] = 0.1 * raw[i] + 0.9 * myAccelerometer[i];
    sum += (raw[i] - myAccelerometer[i]) * (raw[i] - myAccelerometer[i]);
  }
  if (std::sqrt(sum) < 2.0 || a.timestamp <= lastTime + 0.4) return;
  if (fLastFindWasFindNext)
    doFindNext();
  else
    doFindPrevious();
  lastTime = a.timestamp;
}
