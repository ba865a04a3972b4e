// The text editor: one file held in a local working file (a download in the temporary folder, a
// Saved Files file), shown in a text view with rows of extra keys above the keyboard. It loads
// the file through the codec (EditorCodec.h), saves it back to the server it came from (through
// the transfer queue on iPad, directly on iPhone), into Saved Files, or nowhere (view-only). Its
// edit state and every write it makes go through EditState: until the person saves or discards,
// the file keeps what it held and the typed text is kept beside it, with the record from which
// the next start offers to reopen it.
// Search, replace, going to a line and shaking to search again are here too (FindReplaceView is
// its panel). Main thread.
#pragma once

#include "app/editor/EditState.h"
#include "app/editor/EditorCodec.h"
#include "app/editor/EditorScreens.h"
#include "app/foundation/WorkingCopy.h"
#include "app/ftp/FTPServices.h"

#include "platform/ui/Presentation.h"
#include "platform/ui/Services.h"
#include "platform/ui/TextInput.h"
#include "platform/ui/ViewController.h"

#include "platform/media/CloudContainer.h"

#include <atomic>

#include <functional>
#include <memory>
#include <optional>
#include <string>

class FTPConnection;
class SFTPWrapper;
class SoundEffect;
class FindReplaceView;
class EditDataViewController;

// The editor's text view: it always takes and gives up the focus, and passes the touches it gets
// to its superview before it handles them (a double tap shows or hides the keyboard).
class UIMyTextView : public platform::ui::TextView {
public:
  using TextView::TextView;
  bool canBecomeFirstResponder() const override { return true; }
  bool canResignFirstResponder() const override { return true; }
  void touchesEnded(int tapCount) override;
  std::function<void(int tapCount)> onTouchesEnded;
};

// The not-found location of a text range.
inline constexpr size_t kNotFound = static_cast<size_t>(-1);

class EditFileView : public platform::ui::ViewController,
                     public platform::ui::TextViewDelegate,
                     public platform::ui::AlertViewDelegate,
                     public platform::ui::AccelerometerDelegate,
                     public platform::ui::KeyboardObserver,
                     public ShellTextEditor,
                     public EditFileViewScreen {
public:
  // The editor on a working file (interface "EditFileView"): loads it, and takes the server, user
  // and scrambled password a later save goes back to from the settings as they stand now. None for
  // a file larger than the editor takes on this device (the person is told): such a file is never
  // read.
  static std::shared_ptr<EditFileView> initWithFile(const std::string &path,
                                                    const std::string &nibName = "EditFileView");
  // The file at `path` is larger than the editor takes on this device.
  static bool tooBigToEdit(const std::string &path);
  // Tells the person that the file `name` is too big to be edited.
  static void tellTooBigToEdit(const std::string &name);
  explicit EditFileView(const std::string &nibName);
  ~EditFileView() override;

  // --- Loading and encodings.
  void loadFromFile(const std::string &path);
  void loadFromData(const editor::Bytes &bytes);
  void setTheTextAndFixTextBugs();
  // The text encoded for saving; nothing when the encoding in force cannot hold it, or when the
  // file never loaded.
  std::optional<editor::Bytes> getTextAsDataRef();
  void clickEncoding();
  // Reads the text again in the encoding of the chooser's row: the text as the editor holds it
  // (typed text included), as its bytes in the encoding in force. When that encoding cannot hold
  // what was typed, or the chosen one cannot read it, it asks first (the text is kept as it is in
  // the new encoding, or nothing changes).
  void changedEncoding(int row);
  // Asks whether the text stays as it is in the encoding of the chooser's row (`why` says why it
  // cannot be read again in it).
  void askEncodingChange(int row, const std::string &why);

  // --- Saving and edit state.
  void clickSave();
  void clickCancel();
  void doCancel();
  bool closeOrAsk(std::function<void()> closed) override;
  // Whether the text differs from the file as it came (from the server, or from its folder):
  // typed, replaced, or changed before an encoding reload; what the edit state records.
  bool textDiffers();
  // The edit state (EditState::keep); a write that fails is told once, until one succeeds again.
  void saveEditState() override;
  void applicationTerminating() override;
  void cleanup();
  // A file of the cloud container changed or went away elsewhere: reload it (full detection), or
  // close as if cancelled. With typed text not yet saved nothing of it goes unasked: a change asks
  // whether to keep the typed text or take the file as it is now; a removal keeps the editor open
  // and asks whether to save the text again or discard it.
  void presentedItemDidChange();
  void accommodatePresentedItemDeletion();
  // Another coordinated access of the cloud file starts: Save waits until the returned reacquirer
  // runs (which also reloads the file when it changed).
  std::function<void()> relinquishPresentedItemToWriter();
  std::function<void()> relinquishPresentedItemToReader();
  // Before another access: unsaved edits are written to the file first.
  void savePresentedItemChanges();
  // The working file lies in the cloud container: read and written only coordinated.
  bool editingCloudFile() const { return cloudFile_; }
  std::string tabKey(const std::string &base) const;

  // --- The screen.
  void showHideKeyboard();
  void clickCustomButton(int tag);
  void scrollToPercent(int percent);
  void newOrientation(platform::ui::InterfaceOrientation o) override;
  void resized(platform::ui::Rect frame) override;
  void setupTextFrameSize(platform::ui::InterfaceOrientation o);
  void setupTitlebar() override;
  void viewDidReLoad();
  void reapplyEditorSettings() override;

  // --- Search, replace, lines, shake.
  void clickFindReplace();
  void hideFindReplace();
  void clickDoFindNext();
  void clickDoFindPrevious();
  void doFindNext();
  void doFindPrevious();
  void clickDoReplace();
  void clickDoCancelFindReplace();
  void clickGotoLine();
  void clickDoGotoLine(const std::string &entered);
  // The composed character sequence that holds the location, as an empty range at its start.
  platform::ui::Range adjustRange(platform::ui::Range r) const;

  // --- EditFileViewScreen (what the opener sets).
  // The opener may set these after the screen is shown: the bars follow.
  void setFReadOnly(bool on) override;
  // The connection the file came from: a save goes back to its server, port and user (and the
  // edit state names them, so the next start reopens the file only there).
  void setTheConnection(std::shared_ptr<FTPConnection> c) override;
  void setTextFileName(const std::string &name) override;
  void setDirectoryOfTheFile(const std::string &folder) override {
    directoryOfTheFile = folder;
    directoryOfTheFileBytes.reset();
  }
  void setRemoteFile(const RemoteName &name, const RemoteName &folder) override;
  // The file's name and folder as its server named them (their texts when no bytes are known).
  RemoteName remoteFileName() const { return RemoteName::of(textFileName, textFileNameBytes); }
  RemoteName remoteFolder() const {
    return RemoteName::of(directoryOfTheFile, directoryOfTheFileBytes);
  }
  void setEditingSavedFilePath(const std::string &path) override { editingSavedFilePath = path; }
  void setEditingSavedFile(bool on) override { editingSavedFile = on; }
  void setTabIndex(int i) override { tabIndex = i; }
  std::string workingFile() const override { return editingFileAtPath; }
  void setSftpConnection(std::shared_ptr<SFTPWrapper> c);
  // Reopened from the record of an earlier run: the text is the one the record kept (typed into a
  // file of the device, or into a server's file in an encoding its record names), and from now on
  // it is kept where the record says. Call once the file's name and kind are set.
  void resumeKeptEdit(const KeptEdit &kept);

  // A save back waiting in Transfers found its server's file `name` changed by another since the
  // edit of `workingFile` began (as `found` says), with no editor open: "File Changed" is asked.
  // "Keep Typed Text" lets the save go over that file; "Take the File" gives the edit up (its
  // record and working file go). `answered(keepTyped)` then.
  static void askServerFileChanged(const std::string &workingFile, const std::string &name,
                                   const std::string &found, std::function<void(bool)> answered);

  // --- The view controller.
  void viewDidLoad() override;
  void viewWillAppear(bool animated) override;
  void viewDidAppear(bool animated) override;
  void viewWillDisappear(bool animated) override;
  bool shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation o) override;
  void didRotateFromInterfaceOrientation(platform::ui::InterfaceOrientation from) override;

  // TextViewDelegate.
  void textViewDidBeginEditing(platform::ui::TextView &) override;
  void textViewDidChange(platform::ui::TextView &) override;
  void textViewDidEndEditing(platform::ui::TextView &) override;
  // AlertViewDelegate.
  void clickedButtonAtIndex(platform::ui::AlertView &alert, int index) override;
  // AccelerometerDelegate.
  void didAccelerate(platform::ui::Accelerometer &, const platform::ui::Acceleration &a) override;
  // KeyboardObserver.
  void keyboardWillShow(const platform::ui::KeyboardInfo &info) override;
  void keyboardWillHide(const platform::ui::KeyboardInfo &info) override;
  void keyboardDidHide(const platform::ui::KeyboardInfo &info) override;

  // --- State (named as the opener and the shell know it).
  std::string editingFileAtPath, editingSavedFilePath, textFileName, directoryOfTheFile;
  // The bytes an FTP server named the file and its folder with: the save goes back to them.
  std::optional<std::string> textFileNameBytes, directoryOfTheFileBytes;
  std::string serverName, userLogin, userPassword; // the password in its scrambled form
  // The port and protocol word ("ftp", "ftps", "sftp") of the connection the file came from; 0
  // and empty while not known (a file reopened from an edit state takes them from there).
  int serverPort = 0;
  std::string serverProtocol;
  bool editingSavedFile = false, fReadOnly = false, fCurrentlyActive = false;
  std::shared_ptr<FTPConnection> theConnection;
  std::shared_ptr<SFTPWrapper> sftpConnection;
  int tabIndex = 0;
  uint32_t useEncoding = editor::kEncodingNonLossyASCII;
  bool unicodeWithFFFE = false, unicodeBigEndian = false, utf8WithMark = false, wasCRLF = false;
  std::optional<std::string> textData;
  bool didSaveTheFile = false, dirty = false, fKeyboardShown = false;
  // The working file was reopened from an earlier run's edit state holding edits the server has
  // not got (or an edit state that does not say): its text counts as changed.
  bool restoredChanged = false;
  // False while the working file's bytes did not decode: nothing is written back then.
  bool textLoaded = true;
  // The working file grew larger than the editor takes: it was not read again, and nothing is
  // written over it.
  bool fileTooBig = false;

  std::shared_ptr<UIMyTextView> theText;
  std::shared_ptr<platform::ui::BarButtonItem> saveButton;
  std::shared_ptr<platform::ui::Toolbar> toolbar;
  std::shared_ptr<platform::ui::View> accessoryView, accessoryViewTiny;
  std::shared_ptr<platform::ui::View> keyboard1, keyboard2, keyboard1horiz, keyboard2horiz;
  std::shared_ptr<platform::ui::Button> reshowAccessory;
  std::shared_ptr<SoundEffect> keySound, shiftKeySound;
  platform::ui::InterfaceOrientation orientation = platform::ui::InterfaceOrientation::Portrait;
  platform::ui::Rect fullTextFrame, fullViewFrame;
  double viewYOffset = -1;
  bool isAllLoaded = false;
  std::shared_ptr<platform::ui::AlertView> confirmSave, confirmCancel, encodingProblem;
  // The encoding in force cannot hold the typed text, so the file cannot be read again in the
  // one chosen: asked whether to keep the text as it is in that encoding.
  std::shared_ptr<platform::ui::AlertView> confirmEncodingChange;
  // iPhone: the one edit record holds another file's edits the server has not got (a pending
  // edit): asked whether to go back to that file or give its edits up.
  std::shared_ptr<platform::ui::AlertView> confirmReplaceEdit;
  // The file changed or was removed elsewhere while the editor holds typed text: asked what
  // becomes of it.
  std::shared_ptr<platform::ui::AlertView> confirmOutsideChange, confirmRemoved;

  // Search state.
  std::shared_ptr<FindReplaceView> findReplace;
  std::shared_ptr<platform::ui::PopoverController> popover;
  std::string findString;
  platform::ui::Range findLast{kNotFound, 0};
  bool fLastFindWasFindNext = false, fIgnoreCase = false;
  double myAccelerometer[3] = {0, 0, 0};
  double lastTime = 0;

private:
  friend class EditState;
  // What Cancel would throw away is worth a question: typed text, or edits the working copy held.
  bool cancelAsks() const;
  // Runs once "Yes, Discard" closed the editor, when it was not its own Cancel that asked.
  std::function<void()> afterDiscard_;
  // iPhone: asks before this editor's record takes the place of a pending edit of another file.
  void askAboutPendingEdit();
  void confirmedSave();
  // After Save's own writes: the file goes back, the editor closes.
  void finishSave(const editor::Bytes &bytes);
  // Save's write failed: the editor stays open with its text, and says which file and why.
  void tellNotSaved(const platform::FileStatus &status);
  void uploadBack(const editor::Bytes &bytes);
  void closeEditor();
  bool isLocalFile() const { return editingSavedFile; }
  // The file's name as the person is told it.
  std::string shownName() const;
  // Takes decoded bytes as the file as loaded (an encoding reload, a reopened record).
  void takeDecoded(const editor::Bytes &bytes, editor::DecodedText decoded);
  // The text a record kept becomes the editor's.
  void applyKept(const KeptEdit &kept);
  // The file's bytes as another program left them: taken at once, or asked about when the text
  // holds what was typed.
  void changedElsewhere(const editor::Bytes &bytes);
  // The person chose the file as it is now over the typed text.
  void takeChangedFile();
  // "File Changed", about the bytes the file holds now (changedBytes_).
  void askFileChanged();
  // Save found the file changed by another program since the edit began: asked before anything
  // is written over it.
  void changedBeforeSave(const editor::Bytes &bytes);
  // The edit state, quietly or at a moment that logs it; a write that fails is told once.
  void keepEditState(bool quiet);
  // The typing paused: what was typed is kept.
  void keepAsTyped();
  void applyFontSettings();
  void refreshBars();
  void applyAccessorySetting();
  void buildKeyRows();
  std::shared_ptr<platform::ui::View> keyRow(const std::string &keys, bool landscape, int row);
  void showChooser(std::shared_ptr<EditDataViewController> chooser,
                   const std::shared_ptr<platform::ui::BarButtonItem> &from,
                   platform::ui::Size size);
  // Finds the text in the range of the text; the range of the match or {kNotFound, 0}.
  platform::ui::Range findInText(const std::string &what, platform::ui::Range in, bool backwards,
                                 bool ignoreCase) const;
  void selectFound(platform::ui::Range found);
  void restoreTextFrame();

  // The working file is in use while the editor is open: nothing that clears the temporary folder
  // removes it, and no download of its remote file is put in its place.
  FileInUse workingFileInUse_;
  // The bytes as loaded (a save keeps them wherever the text was not edited), the text decoded
  // from them and the encoding in force then.
  editor::LoadedFile loaded_;
  // The file's bytes as the last load found them (an encoding reload keeps them: what it reads
  // may hold edits already).
  editor::Bytes originalBytes_;
  // The edit state and every write of the editor.
  EditState state_{*this};
  bool keepFailureTold_ = false;
  // A Save whose cloud write has not landed yet: Save waits.
  bool saving_ = false;
  // "File Changed" was asked by Save: keeping the typed text goes on with the save.
  bool saveAfterAnswer_ = false;
  // The encoding chosen while the text cannot be read again in it (the question is open).
  int encodingRowAsked_ = -1;
  // A kept edit of a cloud file waits until the file's coordinated read is in.
  std::optional<KeptEdit> keptToResume_;
  bool cloudRead_ = false;
  StatusBarHiding statusBar_;
  std::shared_ptr<platform::ui::BarButtonItem> charItem_, findItem_, gotoItem_;
  std::shared_ptr<EditDataViewController> chooser_;
  std::shared_ptr<platform::ui::Button> titleButton_;
  // Coordinated reads and writes of a cloud file on the edit queue (or here, without one); a
  // read hands its bytes to `loaded` on the main thread.
  void readCloudFile(std::function<void(EditFileView &, const editor::Bytes &)> loaded);
  // The working file is too big to be read: it stays as it is, and the person is told.
  void refuseTooBigFile();
  std::function<void()> relinquish(const char *name);

  // The presenter of a cloud file (registered with the container while the editor is open), and
  // the bytes the file last had as far as this editor knows (its own writes are no change).
  std::shared_ptr<platform::FilePresenter> presenter_;
  bool cloudFile_ = false;
  editor::Bytes knownBytes_;
  // The file's bytes after a change elsewhere, while the person is asked about it.
  std::optional<editor::Bytes> changedBytes_;
  // The newest of this editor's coordinated writes: an older one that waited longer for the lock
  // does not overwrite it.
  std::shared_ptr<std::atomic<uint64_t>> writesStarted_ =
      std::make_shared<std::atomic<uint64_t>>(0);
  std::shared_ptr<std::atomic<uint64_t>> newestWritten_ =
      std::make_shared<std::atomic<uint64_t>>(0);
};
