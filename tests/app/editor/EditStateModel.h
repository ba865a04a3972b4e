// The model of a person and the world that the edit state's random sequences run against: the
// steps, a sequence and how it is written down to be kept, and the fixture that runs a sequence
// from a fresh start, checks the edit state's promises after every step and shrinks a failing
// sequence. The files of the device are its own world (edit_state_model_test.cpp); a server's file
// runs the same steps in a world of its own
// (tests/interop/editor/edit_state_server_model_test.cpp), which opens, kills and checks as a
// server's file needs, and adds the server's own steps.
#pragma once

#include "tests/app/editor/EditorFixture.h"
#include "tests/support/EditRecords.h"
#include "tests/support/RandomSteps.h"

#include "app/editor/EditorScreens.h"
#include "app/foundation/EditOrigin.h"

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Paths.h"

#include <filesystem>
#include <optional>
#include <random>
#include <sstream>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace editmodel {

using namespace platform;
using namespace platform::ui;

enum class Do {
  Open,
  Type,
  Erase,
  Pick,
  Find,
  GoTo,
  Keyboard,
  Save,
  Cancel,
  PageAway,
  Pause,
  Kill,
  OtherWrites,
  OtherRemoves,
  LockTake,
  LockRelease,
  SecondEditor,
  // A server's file only: the server cut off part way through the upload under way (or the next
  // one), its port refusing connections, until it is back.
  ServerCut,
  ServerBack,
  // The server stops taking bytes part way through the next upload (or the one under way), which
  // waits until the server is back: what the person does meanwhile comes while it is in flight.
  ServerStall,
  // Another program changes the server's file.
  ServerOtherWrites,
};
const char *const kDoNames[] = {"Open",        "Type",         "Erase",
                                "Pick",        "Find",         "GoTo",
                                "Keyboard",    "Save",         "Cancel",
                                "PageAway",    "Pause",        "Kill",
                                "OtherWrites", "OtherRemoves", "LockTake",
                                "LockRelease", "SecondEditor", "ServerCut",
                                "ServerBack",  "ServerStall",  "ServerOtherWrites"};

struct Step {
  Do what;
  int a = 0; // which word, how many characters, which encoding row, which content
  int b = 0; // which button of the questions the step leaves open
};

struct Sequence {
  bool pad = false, cloud = false;
  std::vector<Step> steps;
  // A server's file: one big enough that an upload cut late is resumed (a world of its own may
  // make every file big; most are small, as they are quicker).
  bool big = false;
};

std::string describe(const Sequence &s) {
  std::ostringstream out;
  out << "{" << (s.pad ? "true" : "false") << ", " << (s.cloud ? "true" : "false") << ", {";
  for (size_t i = 0; i < s.steps.size(); ++i)
    out << (i ? ", " : "") << "{Do::" << kDoNames[static_cast<int>(s.steps[i].what)] << ", "
        << s.steps[i].a << ", " << s.steps[i].b << "}";
  out << "}" << (s.big ? ", true" : "") << "}";
  return out.str();
}

const char *const kWords[] = {"x", "typed ", "\xC3\xBC", "\xE2\x82\xAC ", "\xE6\x97\xA5\n", " "};
const char *const kContents[] = {"first line\n", "caf\xC3\xA9 other\n", "caf\xE9 latin\n",
                                 "\x82\xA0\x82\xA2 sjis\n"};

Sequence randomSequence(std::mt19937_64 &rng) {
  Sequence s;
  s.pad = rng() % 2;
  s.cloud = rng() % 2;
  const size_t length = 4 + rng() % 16;
  // Typing is what a person does most.
  const Do weighted[] = {Do::Type,     Do::Type,     Do::Type,        Do::Erase,        Do::Pick,
                         Do::Pick,     Do::Find,     Do::GoTo,        Do::Keyboard,     Do::Save,
                         Do::Save,     Do::Cancel,   Do::PageAway,    Do::Pause,        Do::Pause,
                         Do::Kill,     Do::Kill,     Do::OtherWrites, Do::OtherRemoves, Do::Open,
                         Do::LockTake, Do::LockTake, Do::LockRelease, Do::SecondEditor};
  s.steps.push_back({Do::Open, 0, 0});
  for (size_t i = 0; i < length; ++i)
    s.steps.push_back({weighted[rng() % std::size(weighted)], static_cast<int>(rng() % 64),
                       static_cast<int>(rng() % 64)});
  return s;
}

// The edit queue as the model's world has it: while another program holds its lock on the file,
// the queue's accesses of the file wait (its blocks are held); when it lets go they run, in
// order; a kill ends the ones still waiting with the program.
class HeldQueue : public DispatchQueue {
public:
  void async(std::function<void()> block) override {
    if (held)
      waiting_.push_back(std::move(block));
    else
      block();
  }
  const std::string &label() const override { return label_; }
  Kind kind() const override { return Kind::Serial; }
  void release() {
    held = false;
    for (auto blocks = std::exchange(waiting_, {}); auto &block : blocks)
      block();
  }
  void dropWaiting() { waiting_.clear(); }
  bool waits() const { return !waiting_.empty(); }
  bool held = false;

private:
  std::vector<std::function<void()>> waiting_;
  std::string label_ = "editQueue";
};

struct ModelServices : EditorServicesDouble {
  std::shared_ptr<HeldQueue> queue = std::make_shared<HeldQueue>();
  std::shared_ptr<DispatchQueue> editQueue() override { return queue; }
};

class EditStateModel : public EditorTest {
protected:
  // Thousands of starts write thousands of small files, each flushed to its disk: a folder in
  // memory, where there is one, keeps that from being the whole run.
  void SetUp() override {
    if (const char *t = std::getenv("TMPDIR")) tmpdir_ = t;
    if (FileManager::isDirectory("/dev/shm") && ::access("/dev/shm", W_OK) == 0)
      ::setenv("TMPDIR", "/dev/shm", 1);
    services = modelServices_;
    EditorTest::SetUp();
  }
  void TearDown() override {
    fresh();
    DeviceProfile::setCurrent(DeviceProfile::iPhone());
    EditorTest::TearDown();
    if (tmpdir_)
      ::setenv("TMPDIR", tmpdir_->c_str(), 1);
    else
      ::unsetenv("TMPDIR");
  }
  std::optional<std::string> tmpdir_;
  std::shared_ptr<ModelServices> modelServices_ = std::make_shared<ModelServices>();

  // Another program's lock on the file (shared: it reads), and its end.
  void takeLock() {
    if (lockFd_ >= 0) return;
    lockFd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (lockFd_ < 0) return;
    if (::flock(lockFd_, LOCK_SH) != 0) {
      ::close(std::exchange(lockFd_, -1));
      return;
    }
    modelServices_->queue->held = true;
  }
  void releaseLock() {
    if (lockFd_ >= 0) ::close(std::exchange(lockFd_, -1));
    modelServices_->queue->release();
    RunLoop::main()->runPending();
    unread_ = false;
  }
  int lockFd_ = -1;

  // A fresh start of the world: no editor, no record, no working copy, the file as it came.
  void fresh() {
    modelServices_->queue->dropWaiting();
    releaseLock();
    editor_.reset();
    nav->popToRootViewControllerAnimated(false);
    RunLoop::main()->runPending();
    services->closedTabs.clear();
    while (!window->popovers().empty())
      window->popovers().front()->dismissPopoverAnimated(false);
    for (auto &alert : probe->pendingAlerts())
      if (!alert.buttons.empty()) probe->answerAlert(alert.buttons.front());
    RunLoop::main()->runPending();
    auto &s = UserDefaults::standard();
    for (const char *key : kEditRecordKeys) {
      s.setObject("", key);
      s.setObject("", keyForTab(0, key));
    }
    s.setObject("0", keyIndexIsUsed(0));
    s.synchronize();
    std::error_code ec;
    std::filesystem::remove_all(Paths::tmp(), ec);
    std::filesystem::create_directories(Paths::tmp(), ec);
  }

  std::optional<int> slot() const { return pad_ ? std::optional<int>(0) : std::nullopt; }
  std::optional<std::string> fileNow() const {
    if (!FileManager::fileExists(path_)) return std::nullopt;
    return testsupport::readFile(path_);
  }
  // The text a record keeps, read as the next start reads it; none without a record.
  std::optional<std::string> keptText() const { return keptText(slot()); }
  static std::optional<std::string> keptText(std::optional<int> slot) {
    auto kept = EditState::recorded(slot);
    if (!kept || !FileManager::fileExists(kept->workingFile)) return std::nullopt;
    const std::string bytes = testsupport::readFile(kept->workingFile);
    auto decoded = editor::decodeFileAs(editor::Bytes(bytes.begin(), bytes.end()),
                                        kept->textInUTF8 ? editor::kEncodingUTF8 : kept->encoding);
    return decoded.text;
  }
  bool open() const { return editor_ && editor_->fCurrentlyActive; }
  // What the person sees as the editor's text; edits beyond the file are kept.
  // (A cloud file opened while another program holds its lock shows its text once it is read.)
  bool holdsEdits() const {
    return open() && editor_->theText && !unread_ && editor_->textDiffers();
  }

  void backToEditor() {
    while (!window->popovers().empty())
      window->popovers().front()->dismissPopoverAnimated(false);
    if (editor_ && editor_->modalViewController())
      editor_->dismissModalViewControllerAnimated(false);
    if (editor_ && probe->topViewController() != editor_ && nav->viewControllers().size() > 1)
      probe->tapBack();
    RunLoop::main()->runPending();
  }

  // Answers whatever the step left open, by its button number; notes what was asked.
  void answerQuestions(int b) {
    for (int round = 0; round < 6; ++round) {
      RunLoop::main()->runPending();
      auto alerts = probe->pendingAlerts();
      if (alerts.empty()) return;
      const auto &alert = alerts.back();
      if (alert.title == "File Changed" || alert.title == "File Removed") otherChangeSeen_ = true;
      const std::string button =
          alert.buttons[static_cast<size_t>(b + round) % alert.buttons.size()];
      answers_.push_back(alert.title + "|" + button);
      probe->answerAlert(button);
      backToEditor();
    }
  }

  // Runs one step; the fault it shows, or empty.
  std::string run(const Step &step) {
    answers_.clear();
    stepB_ = step.b;
    const bool wasOpen = open();
    const std::optional<std::string> before = fileNow();
    switch (step.what) {
    case Do::Open: {
      if (open()) break;
      editor_.reset();
      nav->popToRootViewControllerAnimated(false);
      RunLoop::main()->runPending();
      if (std::string fault = openEditor(); !fault.empty()) return fault;
      nav->pushViewController(editor_, false);
      RunLoop::main()->runPending();
      unread_ = modelServices_->queue->held;
      // (What the next start offers is looked at once the file's text is read: below.)
      break;
    }
    case Do::Type:
      if (open()) probe->type("File Text", kWords[step.a % std::size(kWords)]);
      break;
    case Do::Erase:
      if (open()) probe->backspace("File Text", 1 + step.a % 3);
      break;
    case Do::Pick:
      if (!open()) break;
      if (probe->tap("Char")) {
        const auto &rows = editor::encodingRows();
        probe->tapRow(rows[static_cast<size_t>(step.a) % rows.size()].title);
        if (!pad_) backToEditor();
      }
      break;
    case Do::Find:
      if (open()) probe->tap("Find");
      break;
    case Do::GoTo:
      if (open()) probe->tap("GoTo");
      break;
    case Do::Keyboard:
      if (open()) probe->tap("Keyboard");
      break;
    case Do::Save:
      if (open()) probe->tap("Save");
      break;
    case Do::Cancel:
      if (open()) probe->tap(pad_ ? "Close File" : "Cancel");
      break;
    case Do::PageAway:
      if (open()) editor_->applicationTerminating();
      break;
    case Do::Pause:
      advance(seconds(2));
      break;
    case Do::Kill: {
      // Killed a pause after the last keystroke: what was typed must be on disk.
      advance(seconds(2));
      if (holdsEdits() && keepsBeyondFile()) {
        const std::string shown = editor_->theText->text();
        auto kept = keptText();
        if (kept != shown)
          return "killed with \"" + shown + "\" typed, but the record keeps " +
                 (kept ? "\"" + *kept + "\"" : std::string("nothing"));
        offered_ = shown;
      }
      // What waited for the lock ends with the program (the lock stays the other program's).
      modelServices_->queue->dropWaiting();
      endProgram();
      editor_.reset();
      killed_ = true;
      nav->popToRootViewControllerAnimated(false);
      services->closedTabs.clear();
      UserDefaults::resetStandard();
      RegisterDefaultSettings();
      RunLoop::main()->runPending();
      startProgram();
      break;
    }
    case Do::OtherWrites: {
      // Never what the file held before: each write of the other program is a change.
      const std::string content = kContents[static_cast<size_t>(step.a) % std::size(kContents)] +
                                  std::to_string(++otherWrites_) + "\n";
      if (holdsEdits() || EditState::recorded(slot()))
        otherChangeSeen_ = false, otherPending_ = true;
      testsupport::writeFile(path_ + ".other", content);
      std::filesystem::rename(path_ + ".other", path_);
      file_ = content;
      break;
    }
    case Do::OtherRemoves:
      // (A save after a removal makes the file anew: nothing of it is written over.)
      otherPending_ = false;
      std::filesystem::remove(path_);
      file_.reset();
      break;
    case Do::LockTake:
      // Only the cloud's files are written under a lock.
      if (path_.rfind(services->cloudFolder + "/", 0) == 0 && !services->cloudFolder.empty())
        takeLock();
      break;
    case Do::LockRelease:
      releaseLock();
      break;
    case Do::SecondEditor:
      if (std::string fault = secondEditor(step); !fault.empty()) return fault;
      break;
    case Do::ServerCut:
    case Do::ServerBack:
    case Do::ServerStall:
    case Do::ServerOtherWrites:
      if (std::string fault = serverStep(step); !fault.empty()) return fault;
      break;
    }
    backToEditor();
    answerQuestions(step.b);
    // A cloud file's watch may tell the editor of the change only now.
    RunLoop::main()->runPending();
    answerQuestions(step.b + 1);
    if (std::string fault = settle(); !fault.empty()) return fault;
    return check(wasOpen, before);
  }

  // The world's own parts, for a world other than the files of the device (a server's file).
  // The editor on the file (a new edit, or the one a record keeps): into editor_, not yet shown.
  virtual std::string openEditor() {
    if (!fileNow()) testsupport::writeFile(path_, kContents[0]), file_ = fileNow();
    if (auto kept = EditState::recorded(slot())) {
      editor_ = editKeptDeviceFile(slot());
      if (!editor_) return "the next start did not reopen the kept edit";
    } else {
      // A new edit begins from what the file holds now.
      otherPending_ = otherChangeSeen_ = false;
      editor_ = EditFileView::initWithFile(path_);
      editor_->setTextFileName("notes.txt");
      editor_->setEditingSavedFile(true);
      editor_->setEditingSavedFilePath(path_);
    }
    return {};
  }
  // Whether what the editor holds is more than its file holds (a server's file may have got it).
  virtual bool keepsBeyondFile() const { return true; }
  // The program ends with a kill (before its editor goes), and the next one starts.
  virtual void endProgram() {}
  virtual void startProgram() {}
  // The steps of a world of its own.
  virtual std::string serverStep(const Step &) { return {}; }
  // After each step, what the world does by itself before it is looked at.
  virtual std::string settle() { return {}; }
  // Before the first step of a sequence (after the fresh start): the file and its world.
  virtual void freshWorld(const Sequence &s) {
    const std::string cloud = Paths::home() + "/Cloud";
    services->cloudFolder = s.cloud ? cloud : std::string();
    FileManager::createDirectory(cloud, true);
    path_ = (s.cloud ? cloud : files) + "/notes.txt";
    testsupport::writeFile(path_, kContents[0]);
    file_ = kContents[0];
  }

  virtual std::string check(bool wasOpen, const std::optional<std::string> &before) {
    const auto now = fileNow();
    const bool killed = std::exchange(killed_, false);
    const bool closed = wasOpen && !open() && !killed;
    const bool saved = closed && editor_ && editor_->didSaveTheFile;
    if (now != file_) {
      if (!saved) return "the file changed without a save";
      if (otherPending_ && !otherChangeSeen_)
        return "a save wrote over another program's change unasked";
      auto bytes = editor_->getTextAsDataRef();
      if (!bytes || std::string(bytes->begin(), bytes->end()) != now)
        return "the file holds what was not saved";
      file_ = now;
    }
    (void)before;
    // The next start offers what was typed, once the file's text is read (a cloud file's read
    // waits for another program's lock).
    if (offered_ && open() && !modelServices_->queue->waits()) {
      if (editor_->theText->text() != *offered_)
        return "the next start offered \"" + editor_->theText->text() + "\", not \"" + *offered_ +
               "\"";
      offered_.reset();
    }
    if (closed) {
      if (const std::string record = testsupport::editRecordNow(slot()); !record.empty())
        return "a record names an edit already " + std::string(saved ? "saved" : "discarded") +
               ": " + record;
      if (!probe->pendingAlerts().empty())
        return "a question is left about a closed edit: " + probe->pendingAlerts().back().title;
      editor_.reset();
      otherPending_ = otherChangeSeen_ = false;
      offered_.reset(); // saved or discarded: nothing is left to offer
    }
    // After a pause, what the editor holds beyond the file is kept as the next start reads it.
    if (holdsEdits() && !editor_->fileTooBig) {
      advance(seconds(2));
      const std::string shown = editor_->theText->text();
      if (keptText() != shown)
        return "\"" + shown + "\" typed is not kept (the record keeps " +
               (keptText() ? "\"" + *keptText() + "\"" : std::string("nothing")) + ")";
    }
    return {};
  }

  // Another file of Saved Files opened in a second editor (the tablet's next file tab; on the
  // phone the one plain record stays the first edit's) while the first holds what it holds: a
  // word typed, a pause, then saved or discarded. That file then holds what was saved or what it
  // held, no record names its edit, and the first edit is kept as before (checked after the step).
  std::string secondEditor(const Step &step) {
    const std::string before = testsupport::readFile(secondPath_);
    auto second = EditFileView::initWithFile(secondPath_);
    second->setTextFileName("other.txt");
    second->setEditingSavedFile(true);
    second->setEditingSavedFilePath(secondPath_);
    second->setTabIndex(1);
    nav->pushViewController(second, false);
    RunLoop::main()->runPending();
    answerQuestions(step.b);
    if (probe->topViewController() != second) return "the second editor did not open";
    probe->type("File Text", kWords[static_cast<size_t>(step.a) % std::size(kWords)]);
    advance(seconds(2));
    const std::string typed = second->theText->text();
    // The tablet keeps it in its own file tab's record.
    if (pad_ && typed != before && keptText(1) != typed)
      return "\"" + typed + "\" typed in the second editor is not kept";
    const bool save = step.b % 2 == 0;
    if (save) {
      probe->tap("Save");
    } else {
      probe->tap(pad_ ? "Close File" : "Cancel");
      RunLoop::main()->runPending();
      if (!probe->pendingAlerts().empty()) probe->answerAlert("Yes, Discard");
    }
    RunLoop::main()->runPending();
    if (second->fCurrentlyActive) return "the second editor did not close";
    if (probe->topViewController() == second) nav->popViewControllerAnimated(false);
    RunLoop::main()->runPending();
    const std::string now = testsupport::readFile(secondPath_);
    if (save && now != typed) return "the second file holds \"" + now + "\", not what was saved";
    if (!save && now != before) return "the second file changed without a save";
    for (const std::optional<int> s : {std::optional<int>(1), std::optional<int>()})
      if (auto kept = EditState::recorded(s); kept && kept->savedFile == secondPath_)
        return "a record names the second editor's edit, already " +
               std::string(save ? "saved" : "discarded");
    return {};
  }

  // Runs a sequence from a fresh start; the first fault, with the step it showed at.
  std::string runSequence(const Sequence &s) {
    fresh();
    pad_ = s.pad;
    DeviceProfile::setCurrent(pad_ ? DeviceProfile::iPad() : DeviceProfile::iPhone());
    freshWorld(s);
    secondPath_ = files + "/other.txt";
    testsupport::writeFile(secondPath_, "second file\n");
    offered_.reset();
    otherPending_ = otherChangeSeen_ = killed_ = false;
    for (size_t i = 0; i < s.steps.size(); ++i) {
      if (std::string fault = run(s.steps[i]); !fault.empty())
        return "step " + std::to_string(i) + " (" + kDoNames[static_cast<int>(s.steps[i].what)] +
               "): " + fault;
    }
    return {};
  }

  // Runs the sequence; a failing one is shrunk and reported with the seed it came from.
  void expectHolds(const Sequence &s, const std::string &origin) {
    const std::string fault = runSequence(s);
    if (fault.empty()) return;
    Sequence shortest = s;
    shortest.steps = testsupport::shrinkSteps<Step>(s.steps, [&](const std::vector<Step> &steps) {
      Sequence t = s;
      t.steps = steps;
      return runSequence(t);
    });
    ADD_FAILURE() << origin << ": " << fault << "\nshrunk to (keep it in " << keptListName()
                  << "): " << describe(shortest) << "\nwhich fails with: " << runSequence(shortest);
  }

  virtual const char *keptListName() const { return "kKept"; }

  std::shared_ptr<EditFileView> editor_;
  bool pad_ = false, killed_ = false, unread_ = false;
  int otherWrites_ = 0;
  std::string path_, secondPath_;
  std::optional<std::string> file_, offered_;
  // Another program changed or removed the file while an edit of it was pending, and whether the
  // person was asked about it since.
  bool otherPending_ = false, otherChangeSeen_ = false;
  // The questions answered during the step ("title|button"), and the step's button number.
  std::vector<std::string> answers_;
  int stepB_ = 0;
};

} // namespace editmodel
