// The edit state's rule for a server's file, checked against the model of a person and the world
// (tests/app/editor/EditStateModel.h) with a real FTP server (pyftpdlib, started once) behind a
// relay that cuts it off part way through an upload and refuses it until it is back, and a real
// transfer queue: random sequences of the person's steps (type, erase, pick an encoding and answer,
// Find, GoTo, the keyboard, Save and its "Confirm File Save", Cancel, the page going away, a pause,
// a kill and a new start that reopens the kept edit, a second editor) and the server's (cut off
// mid-upload, back), on the phone and the tablet. A save goes back through the queue (the tablet's
// always; the phone's from an editor with no connection of its own, as when it was reopened from
// its record); a cut save waits in Transfers and goes again once the server is back. After every
// step:
// - what was typed since the last save or discard is on disk after a pause, and the next start
//   offers it, until the server has it;
// - the server's file holds what it held or the text of a save that arrived, never part of one;
// - once the server has a save's text, no record names that edit (and so nothing offers it);
// - a discarded edit leaves no record, and no question is left about a closed edit.
#include "tests/app/editor/EditStateModel.h"
#include "tests/interop/ftp/QueueFtpPeers.h"
#include "tests/support/CutRelay.h"

#include "app/foundation/Database.h"
#include "app/foundation/RemoteOrigin.h"
#include "app/foundation/Scrambler.h"
#include "app/foundation/WorkingCopy.h"
#include "app/queue/BatchListView.h"
#include "app/sftp/SFTPService.h"
#include "tests/support/SftpPeers.h"

#include <set>

using namespace editmodel;

namespace {

const char *const kName = "notes.txt";

// The server's file as it was before any save: big enough that a cut lands part way through its
// upload, or (big) past the size from which a cut upload is resumed.
std::string originalText(bool big) {
  std::string t;
  for (int i = 0; t.size() < (big ? 360000u : 16000u); ++i)
    t += "line " + std::to_string(i) + " of the server's file\n";
  return t;
}

Sequence randomServerSequence(std::mt19937_64 &rng, bool otherWrites) {
  Sequence s;
  s.pad = rng() % 2;
  s.big = rng() % 32 == 0;
  const size_t length = 4 + rng() % 16;
  // Typing is what a person does most; another program's steps on the server's file belong to
  // a world that has them.
  const Do weighted[] = {
      Do::Type,      Do::Type,       Do::Type,       Do::Erase,        Do::Pick,
      Do::Find,      Do::GoTo,       Do::Keyboard,   Do::Save,         Do::Save,
      Do::Save,      Do::Cancel,     Do::PageAway,   Do::Pause,        Do::Pause,
      Do::Kill,      Do::Kill,       Do::Open,       Do::Open,         Do::ServerCut,
      Do::ServerCut, Do::ServerBack, Do::ServerBack, Do::SecondEditor, Do::ServerStall};
  s.steps.push_back({Do::Open, 0, 0});
  for (size_t i = 0; i < length; ++i) {
    // A world whose save back looks at the server's file first has another program that writes
    // it.
    const Do what = otherWrites && rng() % 8 == 0 ? Do::ServerOtherWrites
                                                  : weighted[rng() % std::size(weighted)];
    s.steps.push_back({what, static_cast<int>(rng() % 64), static_cast<int>(rng() % 64)});
  }
  return s;
}

// The application's side of the queue: a queued upload that arrived delivers the edit its file
// kept (its record and working file go), unless the editor open now keeps its text in that file.
struct ModelAppServices : queuetest::AppServicesDouble {
  std::function<std::shared_ptr<EditFileView>()> editorNow;
  void sentBack(const std::string &localFile) override {
    AppServicesDouble::sentBack(localFile);
    auto editor = editorNow ? editorNow() : nullptr;
    if (editor && editor->fCurrentlyActive &&
        standardizePath(editor->editingFileAtPath) == standardizePath(localFile))
      return;
    EditState::forgetSentBack(localFile);
  }
  // As the application's: a save back looks at the server's file first, and the person is asked
  // when another changed it.
  SendBackChecker sendBackCheck(const std::string &localFile) override {
    auto base = EditState::sendBackBase(localFile);
    if (!base) return {};
    return [base = *base, earlier = EditState::sendBackEarlier(localFile),
            localFile](const LookAtServerFile &look) {
      return EditState::checkServerFile(base, localFile, look, earlier);
    };
  }
  void askServerFileChanged(const std::string &localFile, const std::string &name,
                            const std::string &found, std::function<void(bool)> answered) override {
    EditFileView::askServerFileChanged(localFile, name, found, std::move(answered));
  }
};

// The tablet's file tabs: a tab that closes (after a save, a cancel) keeps no record in its slot
// (the shell renumbers the tabs, and a slot no open editor records itself in is emptied). Its save,
// if any, is the queue's from then on.
struct TabServices : ModelServices {
  void cancelFileViewTab(const std::shared_ptr<ViewController> &screen) override {
    ModelServices::cancelFileViewTab(screen);
    auto editor = std::dynamic_pointer_cast<EditFileView>(screen);
    if (!editor) return;
    auto &s = UserDefaults::standard();
    s.setObject("0", keyIndexIsUsed(editor->tabIndex));
    for (const char *key : kEditRecordKeys)
      s.setObject("", keyForTab(editor->tabIndex, key));
    s.synchronize();
  }
};

class EditStateServerModelTest : public EditStateModel {
protected:
  EditStateServerModelTest() { modelServices_ = std::make_shared<TabServices>(); }

  // One server for the whole test: its control port and its passive data port, each behind the
  // relay, which cuts both at once (the SFTP world: sshd behind it).
  static void SetUpTestSuite() {
    const int control = testsupport::freeTcpPort(), data = testsupport::freeTcpPort();
    relay_ = std::make_unique<testsupport::CutRelay>(std::vector<int>{control, data});
    peer_ = std::make_unique<queuetest::QueuePeer>(
        control,
        std::map<std::string, std::string>{
            {"QUEUE_FTP_PASSIVE", std::to_string(data) + ":" + std::to_string(relay_->port(1))}});
  }
  static void TearDownTestSuite() {
    peer_.reset();
    relay_.reset();
    sshd_.reset();
    remote_.reset();
  }
  virtual bool overSftp() const { return false; }

  void SetUp() override {
    EditStateModel::SetUp();
    appServices_->editorNow = [this] { return editor_; };
    BatchAppServices::setShared(appServices_);
    FTPAppServices::setShared(appServices_);
  }
  void TearDown() override {
    endProgram();
    EditStateModel::TearDown();
    BatchAppServices::setShared(nullptr);
    FTPAppServices::setShared(nullptr);
  }

  std::string serverRoot() const { return overSftp() ? remote_->path() : peer_->root(); }
  std::string serverPath() const { return serverRoot() + "/" + kName; }
  std::string serverText() const { return testsupport::readFile(serverPath()); }
  std::string serverAddress() const { return "127.0.0.1:" + std::to_string(relay_->port()); }

  // The program's queue: made at its start from what the table holds (it looks at its rows a
  // second later), gone with the program.
  void startProgram() override {
    queue_ = BatchListView::create();
    services->queue = queue_;
    appServices_->queue = queue_;
    advance(seconds(1.5));
  }
  void endProgram() override {
    services->queue.reset();
    queue_.reset();
    RunLoop::main()->runPending();
    RunLoop::main()->runUntil([] { return BatchListView::liveConnectionThreads() == 0; },
                              testsupport::scaled(seconds(20)));
  }
  // Whether the queue is under way: a row that neither failed nor waits for its server's next
  // try (a row tried again once that try is due is under way too).
  bool queueWorks() const {
    if (!queue_) return false;
    if (queue_->inProgressPK() >= 0) return true;
    for (auto &item : queue_->batchItemList())
      if (item->working() || (item->errorMsg().empty() && !queue_->waitsToRetry(*item)))
        return true;
    return false;
  }
  std::string rowsNow() const {
    std::string out;
    if (queue_)
      for (auto &item : queue_->batchItemList())
        out += "[" + item->filename() + " " + item->statusMsg() + " " + item->errorMsg() + "]";
    return out.empty() ? "no rows" : out;
  }
  // What the queue does by itself comes to rest: its transfer arrived, or was cut and waits. Time
  // passes meanwhile (the queue holds its items a moment after a connect, say), a little for each
  // moment the queue is seen under way.
  // (A transfer the stalled server holds part way rests there until the server is back.)
  std::string settle() override {
    const auto limit = std::chrono::steady_clock::now() + testsupport::scaled(seconds(60));
    auto moving = [&] { return queueWorks() && !relay_->isHolding(); };
    for (int calm = 0; calm < 2;) {
      while (moving()) {
        // The queue's look found the server's file changed: the person answers as the step says.
        if (!probe->pendingAlerts().empty()) answerQuestions(stepB_);
        if (std::chrono::steady_clock::now() > limit)
          return "the queue did not come to rest: " + rowsNow();
        RunLoop::main()->runUntil([&] { return !moving(); }, std::chrono::milliseconds(2));
        if (moving()) advance(std::chrono::milliseconds(250));
      }
      RunLoop::main()->runUntil([] { return false; }, std::chrono::milliseconds(1));
      // The queue's look found the server's file changed: the person answers as the step says.
      if (!probe->pendingAlerts().empty()) {
        answerQuestions(stepB_);
        calm = 0;
        continue;
      }
      calm = moving() ? 0 : calm + 1;
    }
    return {};
  }

  // A fresh world: the server holds its file and is there, the queue has no row.
  void freshWorld(const Sequence &s) override {
    // Nothing of the world before reaches the server of this one: its connections are cut (what
    // the relay held never arrives) and its work comes to rest before the server's files are new.
    relay_->cutNow();
    RunLoop::main()->runUntil([] { return relay_->isCut(); }, testsupport::scaled(seconds(5)));
    endProgram();
    platform::waitForBackgroundWork(testsupport::scaled(seconds(20)));
    if (sqlite3 *db = OpenDatabase()) {
      SQLExecute(db, "DELETE FROM batchlist");
      sqlite3_close(db);
    }
    relay_->back();
    std::error_code ec;
    for (auto &e : std::filesystem::directory_iterator(serverRoot(), ec))
      std::filesystem::remove_all(e.path(), ec);
    original_ = originalText(s.big);
    testsupport::writeFile(serverPath(), original_);
    serverTexts_ = {original_};
    pendingSave_.reset();
    pendingWorking_.clear();
    pendingTyped_ = false;
    openedText_.reset();
    otherText_.reset();
    otherUnasked_ = false;
    services->cloudFolder.clear();
    auto &settings = UserDefaults::standard();
    settings.setObject(serverAddress(), kServerNameKey);
    settings.setObject(overSftp() ? testsupport::kSftpUser : "joe", kUserNameKey);
    settings.setObject(myEncryptString1(overSftp() ? testsupport::kSftpPass : "secret"),
                       kUserPassKey);
    settings.setObject("1", kSavePasswordsKey);
    settings.setObject("1", "TabIndexMax");
    settings.synchronize();
    startProgram();
  }

  // A new edit downloads the server's file into a working copy of its own; a kept one reopens as
  // the next start reopens it: the tablet's file tab from its slot, the phone's "Edit File" (the
  // editor has no connection of its own: its save goes through the queue).
  std::string openEditor() override {
    if (EditState::recorded(slot())) {
      if (pad_) {
        restoreEditFiles([&](std::shared_ptr<EditFileView> e, const std::string &) {
          if (e->tabIndex == 0 || !editor_) editor_ = e;
        });
      } else if ((editor_ = editPreviouslySavedFile(std::shared_ptr<FTPConnection>(), ""))) {
        // The program reopens it over a connection of the kind and port it came from; without
        // one, its save goes through the queue to that same place.
        editor_->setFReadOnly(false);
        editor_->serverProtocol = overSftp() ? "sftp" : "ftp";
        editor_->serverPort = relay_->port();
      }
      if (!editor_) return "the next start did not reopen the kept edit";
      return {};
    }
    const std::string protocol = overSftp() ? "sftp" : "ftp",
                      folder = overSftp() ? remote_->path() : "/";
    const std::string working = workingCopyPath(
        RemoteOrigin::of(protocol, serverAddress(), relay_->port(),
                         overSftp() ? testsupport::kSftpUser : "joe", folder, kName),
        kName);
    testsupport::writeFile(working, serverText());
    // A new edit begins from what the server's file holds now (with no save of the file still
    // waiting, whose look is another's).
    if (!pendingSave_) otherUnasked_ = false;
    editor_ = EditFileView::initWithFile(working);
    if (!editor_) return "no editor on the download";
    editor_->setTextFileName(kName);
    editor_->setDirectoryOfTheFile(folder);
    editor_->setEditingSavedFile(false);
    editor_->serverPort = relay_->port();
    editor_->serverProtocol = protocol;
    return {};
  }

  std::string serverStep(const Step &step) override {
    if (step.what == Do::ServerOtherWrites) {
      // Never what the file held before: each write is a change. What is pending then (a save
      // waiting, an edit open or kept) began before it, and its save must ask. A save whose bytes
      // are on their way already (the server holds them part way) looked before they went: no
      // protocol sees a change that lands while the upload runs.
      const std::string content = "another program's text " + std::to_string(++otherWrites_) + "\n";
      testsupport::writeFile(serverPath() + ".other", content);
      std::filesystem::rename(serverPath() + ".other", serverPath());
      serverTexts_.insert(content);
      otherText_ = content;
      otherUnasked_ =
          !relay_->isHolding() && (pendingSave_ || open() || EditState::recorded(slot()));
      otherChangeSeen_ = false;
      return {};
    }
    if (step.what == Do::ServerBack) {
      if (!relay_->back()) return "the relay could not listen again";
      // Time passes until the queue tries again (it waits a minute at most between tries).
      advance(seconds(60));
      return {};
    }
    if (relay_->isCut()) return {};
    if (step.what == Do::ServerStall) {
      // Slow part way through the next upload (or the one under way), until it is back.
      if (!relay_->isHolding())
        relay_->holdAfter(original_.size() * static_cast<size_t>(1 + step.a % 8) / 9 + 300);
      return {};
    }
    if (step.a % 4 == 0 || relay_->isHolding()) {
      // Gone now: the next upload finds no server.
      relay_->cutNow();
      RunLoop::main()->runUntil([] { return relay_->isCut(); }, testsupport::scaled(seconds(5)));
      return relay_->isCut() ? std::string() : "the relay did not cut";
    }
    // Gone part way through the next upload (the one under way has come to rest).
    relay_->cutAfter(original_.size() * static_cast<size_t>(1 + step.a % 8) / 9 + 300);
    return {};
  }

  static std::string summary(const std::string &text) {
    return std::to_string(text.size()) + " bytes beginning \"" + text.substr(0, 40) + "\"";
  }
  // The record (the phone's plain one, the tablet's slot) names that working file.
  bool recordNames(const std::string &working) const {
    auto kept = EditState::recorded(slot());
    return kept && !working.empty() &&
           standardizePath(kept->workingFile) == standardizePath(working);
  }

  bool keepsBeyondFile() const override { return !serverHasEditorText(); }
  bool serverHasEditorText() const {
    auto bytes = editor_->getTextAsDataRef();
    return bytes && std::string(bytes->begin(), bytes->end()) == serverText();
  }

  // Whether the queue sends the saved text: empty when a row's file holds it (the queue sends
  // one upload of the file at a time, from whichever working file), else the fault.
  std::string queueSends(const std::string &text) const {
    std::string sends;
    for (auto &item : queue_->batchItemList()) {
      sends = testsupport::readFile(queue_->localFileOfItem(*item));
      if (sends == text) return {};
    }
    if (queue_->batchItemList().empty())
      return "a save the server has not got is not queued (" + rowsNow() + ")";
    return "the queue sends " + summary(sends) + ", not the saved " + summary(text);
  }

  std::string check(bool wasOpen, const std::optional<std::string> &) override {
    const bool killed = std::exchange(killed_, false);
    const bool closed = wasOpen && !open() && !killed;
    const bool saved = closed && editor_ && editor_->didSaveTheFile;
    if (offered_ && open()) {
      if (editor_->theText->text() != *offered_)
        return "the next start offered " + summary(editor_->theText->text()) + ", not " +
               summary(*offered_);
      offered_.reset();
    }
    if (closed) {
      if (!probe->pendingAlerts().empty())
        return "a question is left about a closed edit: " + probe->pendingAlerts().back().title;
      if (saved) {
        auto bytes = editor_->getTextAsDataRef();
        if (!bytes) return "a saved text the file's encoding cannot hold";
        pendingSave_ = std::string(bytes->begin(), bytes->end());
        serverTexts_.insert(*pendingSave_);
        pendingWorking_ = editor_->editingFileAtPath;
        pendingTyped_ = openedText_ && editor_->theText->text() != *openedText_;
        // Until the server has it, the phone's next start offers the saved text (the tablet's
        // closed tab leaves it to the queue).
        if (!pad_) offered_ = editor_->theText->text();
      } else {
        if (recordNames(editor_->editingFileAtPath))
          return "a record names an edit already discarded: " + testsupport::editRecordNow(slot());
        pendingSave_.reset();
        offered_.reset();
      }
      editor_.reset();
    }
    if (!open())
      openedText_.reset();
    else if (!openedText_)
      openedText_ = editor_->theText->text();
    // Asked about another program's change: "Take the File" gives the waiting save up.
    for (const std::string &answer : answers_)
      if (answer == "File Changed|Take the File") {
        pendingSave_.reset();
        offered_.reset();
      }
    if (otherChangeSeen_) otherUnasked_ = false;
    const std::string server = serverText();
    if (otherUnasked_ && otherText_ && server != *otherText_)
      return "a save went over another program's change unasked: " + summary(server) + " (" +
             rowsNow() + ")";
    if (!serverTexts_.count(server))
      return "the server's file holds what was never saved: " + summary(server) + " (" + rowsNow() +
             ")";
    if (pendingSave_ && !queueWorks() && queue_->batchItemList().empty() &&
        server == *pendingSave_) {
      // The server has the save: nothing names it any more (an editor reopened on it keeps its
      // own record while it is open).
      if (!open() && recordNames(pendingWorking_))
        return "a record names an edit the server has: " + testsupport::editRecordNow(slot());
      if (!open()) offered_.reset();
      pendingSave_.reset();
    }
    if (pendingSave_ && !open()) {
      // Not yet on the server: the queue sends the saved text, and the phone's record keeps it
      // for the next start.
      if (std::string fault = queueSends(*pendingSave_); !fault.empty()) return fault;
      // (An edit reopened since and typed into keeps that text instead, offered in its place; a
      // save of nothing typed, another encoding say, is the queue's alone.)
      auto kept = EditState::recorded(slot());
      // Its record taken by another edit (the phone keeps one), the next start offers nothing of
      // it.
      if (!pendingTyped_ && !kept) offered_.reset();
      const std::string keeps = kept && FileManager::fileExists(kept->workingFile)
                                    ? testsupport::readFile(kept->workingFile)
                                    : "";
      if (!pad_ && pendingTyped_ &&
          (!kept || (keeps != *pendingSave_ && (!offered_ || keptText() != *offered_))))
        return "a save the server has not got is not kept for the next start (" + rowsNow() +
               "): " + (kept ? summary(keeps) : "no record");
    }
    // After a pause, what the editor holds beyond the server's file is kept as the next start
    // reads it (a reopened edit whose save arrived meanwhile holds nothing beyond it).
    if (holdsEdits() && !editor_->fileTooBig && keepsBeyondFile()) {
      advance(seconds(2));
      const std::string shown = editor_->theText->text();
      if (keptText() != shown)
        return summary(shown) + " typed is not kept (the record keeps " +
               (keptText() ? summary(*keptText()) : std::string("nothing")) + ")";
    }
    return {};
  }

  const char *keptListName() const override { return "kKeptServer"; }

  static inline std::unique_ptr<testsupport::CutRelay> relay_;
  static inline std::unique_ptr<queuetest::QueuePeer> peer_;
  std::shared_ptr<ModelAppServices> appServices_ = std::make_shared<ModelAppServices>();
  std::shared_ptr<BatchListView> queue_;
  // What the server's file may hold: what it held, and the text of every save.
  std::string original_;
  std::set<std::string> serverTexts_;
  // The last save's text while the server has not got it, and the working file it went from.
  std::optional<std::string> pendingSave_;
  std::string pendingWorking_;
  // Whether that save holds typing (its text is not the one the editor showed when it opened),
  // and that text.
  bool pendingTyped_ = false;
  std::optional<std::string> openedText_;
  // Another program's last write of the server's file, and whether what was pending then has
  // yet to ask before it goes over it.
  std::optional<std::string> otherText_;
  bool otherUnasked_ = false;
  static inline std::unique_ptr<testsupport::SshPeer> sshd_;
  static inline std::unique_ptr<testsupport::TempDir> remote_;
};

// The same world over SFTP (OpenSSH's sshd behind the relay), whose save back looks at the
// server's file first: there another program changes the server's file too.
class EditStateSftpServerModelTest : public EditStateServerModelTest {
protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(testsupport::ensureSftpUser());
    remote_ = std::make_unique<testsupport::TempDir>("ferrowen-edit-model-sftp");
    ::chmod(remote_->path().c_str(), 0777);
    sshd_ = testsupport::SshPeer::sshd({});
    if (sshd_->started()) relay_ = std::make_unique<testsupport::CutRelay>(sshd_->port());
  }
  void SetUp() override {
    SFTPService::install();
    EditStateServerModelTest::SetUp();
  }
  bool overSftp() const override { return true; }
  const char *keptListName() const override { return "kKeptSftp"; }
};

// Server sequences kept as cases of their own: the ways a save goes back, written out (a phone's
// save cut early, a tablet's cut late in a big file, so that it is resumed), and those found
// failing once.
const Sequence kKeptServer[] = {
    // Saved, cut mid-upload, killed; the next start offers the save; back, it arrives.
    {false,
     false,
     {{Do::Open, 0, 0},
      {Do::Type, 1, 0},
      {Do::ServerCut, 3, 0},
      {Do::Save, 0, 1},
      {Do::Kill, 0, 0},
      {Do::Open, 0, 0},
      {Do::ServerBack, 0, 0},
      {Do::Cancel, 0, 0}}},
    {true,
     false,
     {{Do::Open, 0, 0},
      {Do::Type, 1, 0},
      {Do::ServerCut, 7, 0},
      {Do::Save, 0, 1},
      {Do::Kill, 0, 0},
      {Do::ServerBack, 0, 0},
      {Do::Open, 0, 0}},
     true},
    // Found: the kept edit reopened while its save waited in Transfers kept what was typed into
    // it in the file the save sends, and the server got that unsaved text once it was back;
    // delivered while that edit was open, its record stayed on a file the queue had removed.
    {false,
     false,
     {{Do::Open, 0, 0},
      {Do::Type, 1, 0},
      {Do::ServerCut, 3, 0},
      {Do::Save, 0, 1},
      {Do::Open, 0, 0},
      {Do::Type, 2, 0},
      {Do::ServerBack, 0, 0}}},
    {false,
     false,
     {{Do::Open, 0, 0},
      {Do::ServerCut, 3, 0},
      {Do::Save, 0, 1},
      {Do::Open, 0, 0},
      {Do::ServerBack, 0, 0},
      {Do::Kill, 0, 0},
      {Do::Open, 0, 0}}},
    {false,
     false,
     {{Do::Open, 0, 0},
      {Do::Type, 1, 0},
      {Do::ServerCut, 3, 0},
      {Do::Save, 0, 1},
      {Do::Kill, 0, 0},
      {Do::Open, 0, 0},
      {Do::Type, 2, 0},
      {Do::Pause, 0, 0},
      {Do::ServerBack, 0, 0},
      {Do::Kill, 0, 0},
      {Do::Open, 0, 0}}},
    // Found: a save of nothing typed waits; a second editor's edit takes the phone's one record
    // (the queue alone carries that save).
    {false,
     false,
     {{Do::Open, 0, 0}, {Do::ServerCut, 8, 52}, {Do::Save, 32, 25}, {Do::SecondEditor, 9, 25}}},
    // The same, then another program writes the server's file: the file opened again shows what
    // the server holds now (no record is left to offer), the waiting save still sends what was
    // saved, and once the server is back it asks before it goes over the other program's text.
    {false,
     false,
     {{Do::Open, 51, 38},
      {Do::ServerCut, 33, 10},
      {Do::Save, 44, 5},
      {Do::SecondEditor, 59, 55},
      {Do::ServerOtherWrites, 4, 37},
      {Do::Open, 53, 58},
      {Do::Cancel, 0, 0},
      {Do::ServerBack, 0, 0}}},
    // Found: the file opened again after that and saved (the save joins the waiting one, which
    // sends its text): once it arrived, the record of the joined edit stayed, and the next start
    // offered text the server had.
    {false,
     false,
     {{Do::Open, 0, 0},
      {Do::ServerCut, 14, 24},
      {Do::Save, 33, 31},
      {Do::SecondEditor, 13, 41},
      {Do::Open, 16, 60},
      {Do::Save, 52, 23},
      {Do::ServerBack, 3, 62}}},
    // Found: the reopened edit's own save, while the first still waited, was dropped by the queue
    // (one upload of a file at a time) and the older save arrived.
    {false,
     false,
     {{Do::Open, 52, 12},
      {Do::ServerCut, 4, 47},
      {Do::Save, 4, 63},
      {Do::Open, 35, 34},
      {Do::Type, 1, 0},
      {Do::Save, 34, 15},
      {Do::ServerBack, 0, 0}}},
    // Found: delivered while the kept edit was reopened on it, nothing typed since: the editor
    // holds no more than the server has, and nothing need be kept.
    {false,
     false,
     {{Do::Open, 0, 0},
      {Do::ServerCut, 60, 37},
      {Do::Type, 40, 17},
      {Do::Save, 59, 37},
      {Do::Open, 52, 27},
      {Do::ServerBack, 58, 20},
      {Do::Kill, 36, 6}}},
    // Found: a save made while an earlier save of the file waited in Transfers, from an edit that
    // began anew (the tablet's closed tab left the first save to the queue), was dropped by the
    // queue (one upload of a file at a time), and the earlier save arrived.
    {true,
     false,
     {{Do::Open, 0, 0},
      {Do::ServerCut, 28, 9},
      {Do::Save, 12, 61},
      {Do::Open, 36, 63},
      {Do::Type, 1, 0},
      {Do::Save, 47, 47},
      {Do::ServerBack, 0, 0}}},
    // A save that comes while the earlier save of the file is on its way (the server slow part way
    // through it) arrives after it: the phone's edit reopened from its record, the tablet's begun
    // anew.
    {false,
     false,
     {{Do::Open, 0, 0},
      {Do::Type, 1, 0},
      {Do::ServerStall, 3, 0},
      {Do::Save, 0, 1},
      {Do::Open, 0, 0},
      {Do::Type, 2, 0},
      {Do::Save, 0, 1},
      {Do::ServerBack, 0, 0}}},
    {true,
     false,
     {{Do::Open, 0, 0},
      {Do::Type, 1, 0},
      {Do::ServerStall, 5, 0},
      {Do::Save, 0, 1},
      {Do::Open, 0, 0},
      {Do::Type, 2, 0},
      {Do::Save, 0, 1},
      {Do::ServerBack, 0, 0}}},
    // A newer save that joins a big save cut late (the tablet's, begun anew).
    {true,
     false,
     {{Do::Open, 0, 0},
      {Do::Type, 1, 0},
      {Do::ServerCut, 7, 0},
      {Do::Save, 0, 1},
      {Do::Open, 0, 0},
      {Do::Type, 2, 0},
      {Do::Save, 0, 1},
      {Do::ServerBack, 0, 0}},
     true},
    // The same, killed while the newer save waits behind the one on its way.
    {false,
     false,
     {{Do::Open, 0, 0},
      {Do::Type, 1, 0},
      {Do::ServerStall, 3, 0},
      {Do::Save, 0, 1},
      {Do::Open, 0, 0},
      {Do::Type, 2, 0},
      {Do::Save, 0, 1},
      {Do::Kill, 0, 0},
      {Do::ServerBack, 0, 0},
      {Do::Open, 0, 0}}},
    // A newer save that joins a big save cut late (the phone's edit reopened from its record):
    // the upload starts over rather than continue the earlier save's part on the server.
    {false,
     false,
     {{Do::Open, 0, 0},
      {Do::Type, 1, 0},
      {Do::ServerCut, 7, 0},
      {Do::Save, 0, 1},
      {Do::Open, 0, 0},
      {Do::Type, 2, 0},
      {Do::Save, 0, 1},
      {Do::ServerBack, 0, 0}},
     true},
};

// SFTP sequences kept as cases of their own: another program's change of the server's file
// while a save waits, answered either way; a save while the earlier one is on its way.
const Sequence kKeptSftp[] = {
    {false,
     false,
     {{Do::Open, 0, 0},
      {Do::Type, 1, 0},
      {Do::ServerCut, 4, 0},
      {Do::Save, 0, 1},
      {Do::ServerOtherWrites, 0, 0},
      {Do::ServerBack, 0, 0}}},
    {true,
     false,
     {{Do::Open, 0, 0},
      {Do::Type, 1, 0},
      {Do::ServerCut, 4, 0},
      {Do::Save, 0, 1},
      {Do::ServerOtherWrites, 0, 1},
      {Do::ServerBack, 0, 1}}},
    {false,
     false,
     {{Do::Open, 0, 0}, {Do::Type, 1, 0}, {Do::ServerOtherWrites, 0, 0}, {Do::Save, 0, 1}}},
    {true,
     false,
     {{Do::Open, 0, 0},
      {Do::Type, 1, 0},
      {Do::ServerStall, 3, 0},
      {Do::Save, 0, 1},
      {Do::Open, 0, 0},
      {Do::Type, 2, 0},
      {Do::Save, 0, 1},
      {Do::ServerBack, 0, 0}}},
    // Found: the edit reopened from its record while its save waited, another program's change
    // found when the server was back and the save given up for it: the record of the reopened
    // edit still named the file of the save, and went with it.
    {false,
     false,
     {{Do::Open, 0, 0},
      {Do::ServerOtherWrites, 39, 43},
      {Do::Type, 27, 9},
      {Do::ServerCut, 60, 50},
      {Do::Save, 25, 37},
      {Do::Open, 23, 4},
      {Do::ServerBack, 10, 7}}},
    // The phone's edit of a big file reopened from its record while its save, cut late, waits;
    // its own save then goes to the same server over the same protocol.
    {false,
     false,
     {{Do::Open, 0, 0},
      {Do::ServerCut, 7, 0},
      {Do::Save, 0, 1},
      {Do::Open, 0, 0},
      {Do::Save, 0, 1},
      {Do::ServerBack, 0, 0}},
     true},
};

} // namespace

TEST_F(EditStateServerModelTest, KeptServerSequencesHold) {
  ASSERT_TRUE(peer_->ready()) << peer_->serverLog();
  ASSERT_TRUE(relay_->listening());
  for (size_t i = 0; i < std::size(kKeptServer); ++i)
    expectHolds(kKeptServer[i], "kept server sequence " + std::to_string(i));
}

TEST_F(EditStateSftpServerModelTest, KeptSftpSequencesHold) {
  ASSERT_TRUE(sshd_ && sshd_->started()) << (sshd_ ? sshd_->why() : "no sshd");
  ASSERT_TRUE(relay_ && relay_->listening());
  for (size_t i = 0; i < std::size(kKeptSftp); ++i)
    expectHolds(kKeptSftp[i], "kept sftp sequence " + std::to_string(i));
}

TEST_F(EditStateSftpServerModelTest, SftpSequencesHold) {
  ASSERT_TRUE(sshd_ && sshd_->started()) << (sshd_ ? sshd_->why() : "no sshd");
  ASSERT_TRUE(relay_ && relay_->listening());
  const uint64_t seed = testsupport::sequenceSeed();
  const size_t count = testsupport::sequenceCount(40);
  std::cout << "FERROWEN_SEQUENCE_SEED=" << seed << " FERROWEN_SEQUENCES=" << count << std::endl;
  for (size_t i = 0; i < count && !HasFailure(); ++i) {
    std::mt19937_64 rng(seed + i);
    expectHolds(randomServerSequence(rng, true), "sequence of seed " + std::to_string(seed + i));
  }
}

TEST_F(EditStateServerModelTest, ServerSequencesHold) {
  ASSERT_TRUE(peer_->ready()) << peer_->serverLog();
  ASSERT_TRUE(relay_->listening());
  const uint64_t seed = testsupport::sequenceSeed();
  const size_t count = testsupport::sequenceCount(120);
  std::cout << "FERROWEN_SEQUENCE_SEED=" << seed << " FERROWEN_SEQUENCES=" << count << std::endl;
  for (size_t i = 0; i < count && !HasFailure(); ++i) {
    std::mt19937_64 rng(seed + i);
    expectHolds(randomServerSequence(rng, true), "sequence of seed " + std::to_string(seed + i));
    if ((i + 1) % 500 == 0) std::cout << (i + 1) << " sequences held" << std::endl;
  }
}
