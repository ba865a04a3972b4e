// The edit state of an open text editor, and every write the editor makes: the text kept as it is
// typed, the record from which the next start offers it again, the file itself when it is saved,
// the Saved Files copy of a server's file and the copy that goes back to the server. Save, Cancel,
// Discard, the page going away, the program's end and the next start all go through here, and each
// keeps one promise: until the person saves or discards, both what was typed and what the file
// held exist on disk.
//
// - The typed text is kept in a working file of the editor's own, never in the person's file: a
//   server's file in its download (the working copy the editor opened), a file of the device
//   (Saved Files, the cloud container) in a working copy of its own in the temporary folder. The
//   file keeps what it held until Save writes it.
// - The text is kept in the file's encoding, or in UTF-8 when that encoding cannot hold what was
//   typed; the record says which, with the encoding in force.
// - A write that fails is reported (which file, the system's reason) and changes nothing else:
//   nothing is sent back and nothing counts as saved.
//
// Main thread.
#pragma once

#include "app/editor/EditorCodec.h"
#include "app/foundation/ServerFileLook.h"
#include "app/foundation/WorkingCopy.h"

#include "platform/foundation/FileManager.h"
#include "platform/foundation/RunLoop.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class EditFileView;

// An edit as its record keeps it, for the next start.
struct KeptEdit {
  std::string workingFile; // where the text typed so far is ("EditingFTPFile")
  // A file of the device: the file itself, which holds what it held before ("EditingSavedFile");
  // empty for a server's file, whose working file is its download.
  std::string savedFile;
  std::string name, folder;
  // A server's file: its Saved Files copy, which a save updates too (empty: none).
  std::string savedCopy;
  // The record says how its text is written (else it is read as a file is read): in UTF-8 (the
  // encoding in force could not hold it) or in that encoding, with its byte-order mark.
  bool textRecorded = false, textInUTF8 = false;
  uint32_t encoding = 0;
  int unicodeTag = 0; // 0 no mark, 1 FF FE, 2 FE FF, 3 EF BB BF
  // What the file held when the edit began: a file of the device as it was read, a server's file
  // as it was downloaded (empty: not kept).
  std::string base;
};

// What a file held, as the edit state keeps it: its size, its modification time and a hash of its
// bytes. Two marks are the same content when size and hash agree (a file written again with the
// same bytes is no change).
struct FileMark {
  uint64_t size = 0;
  // Nanoseconds since the epoch; 0 when not known. kSizeOnly: a server's file whose bytes were not
  // read (its size told it apart already): only its size is known.
  int64_t mtime = 0;
  // kGone: no file at all (a save agreed to make it anew).
  static constexpr int64_t kSizeOnly = -1, kGone = -2;
  uint64_t hash = 0;
  static FileMark of(const editor::Bytes &bytes, const std::string &path = {});
  static std::optional<FileMark> parse(const std::string &text);
  std::string text() const;
  bool sameContent(const FileMark &o) const { return size == o.size && hash == o.hash; }
};

class EditState {
public:
  explicit EditState(EditFileView &editor) : e_(editor) {}
  EditState(const EditState &) = delete;
  EditState &operator=(const EditState &) = delete;

  // The edit state as it stands now: the text into the editor's working file, and the record
  // (per file tab, and on iPhone the one plain record too). A server's file is recorded as long as
  // passwords are kept; a file of the device only while its text differs from the file. The
  // failure of the text's write, if any (the record then still says what the working file holds).
  // `quiet`: kept as the text is typed, with no word in the log (the moments that keep it by name
  // log as they always did).
  platform::FileStatus keep(bool quiet = false);
  // The text changed: it is kept shortly after the typing pauses (and at least every few seconds
  // while it goes on), on a timer of the main run loop.
  void typed();
  // A keep that waits for the typing to pause is not needed any more (saved, discarded, closed).
  void cancelPendingKeep();

  // What the file holds as the editor reads it (or as the person chose to take it): no write goes
  // over anything else without a question.
  void fileIs(const editor::Bytes &bytes);
  // Whether the bytes are what the file held when the edit began (true when that is not known).
  bool holdsBase(const editor::Bytes &now) const;

  // Save's writes that come before anything is sent back: a server's file into its working file
  // and its Saved Files copy; a file of the device into the file itself (the cloud's through
  // writeCloudFile). The first write that fails ends them, and its status is returned.
  // A file of the device that no longer holds what it held when the edit began (another program
  // wrote it) is not written: `changed` gets its bytes now, and the person is asked.
  platform::FileStatus writeForSave(const editor::Bytes &bytes,
                                    std::optional<editor::Bytes> *changed = nullptr);
  // A cloud file's save, coordinated, on the edit queue; `done` runs on the main thread with the
  // status once the write has landed (or failed), as long as the editor lives. Once it has the
  // lock the write looks again: discarded meanwhile, it writes nothing; the file changed by
  // another program since the edit began, it writes nothing and `changed` gets the file's bytes.
  void writeCloudFile(const editor::Bytes &bytes, std::function<void(platform::FileStatus)> done,
                      std::function<void(const editor::Bytes &)> changed = nullptr);
  // A file of the device was saved: its working copy and its record go. (A server's file keeps
  // both until the server has it.)
  void saved();
  // Cancel's "Yes, Discard": the working file and the record go; the file keeps what it held. A
  // write of this edit still waiting (a cloud file's, for another program's lock) writes nothing.
  void discard();
  // iPhone: the numbered record the edit state writes beside the plain one is read by nothing
  // there: it goes with the editor.
  void forgetNumberedRecord();

  // Where the text typed so far is kept: a server's file's download, or the working copy of a file
  // of the device (empty until there is one).
  std::string keptIn() const;
  // iPhone: the one plain record names another file's edits the server (or the file) has not got:
  // this editor's record must not take its place.
  bool recordHoldsOtherEdit() const;
  // The same, and no editor open now holds that file: an edit left from an earlier run or a save
  // that did not arrive, about which the person is asked.
  bool otherEditPending() const;
  // The pending edit of another file is given up: its record and its working copy go.
  void giveUpPendingEdit();

  // An edit reopened from its record: its text is kept where the record says from now on (a
  // server's file whose save waits in Transfers: in a copy of that file, see leaveQueuedSave).
  void resumeIn(const KeptEdit &kept);
  // The file as the record says it was when the edit began (once the file itself has been read).
  void resumeBase(const KeptEdit &kept);

  // The edit a record keeps: a file tab's slot, or the plain record (iPhone). None when it names
  // no working file.
  static std::optional<KeptEdit> recorded(std::optional<int> slot);
  // A server's file saved back needs no reopening at the next start: its record and its working
  // file go. Only this file's record: another may have been recorded since.
  static void forgetSentBack(const std::string &workingFile);
  // The save of `workingFile` joined the waiting save that sends `sends`, which now carries its
  // text: once that arrives, the joined edit has arrived too.
  static void joins(const std::string &sends, const std::string &workingFile);
  // --- A save back over the server's file. Whatever road it takes (the transfer queue, the
  // phone's own connection, the save of an edit reopened at the next start, a row sent again after
  // a cut), nothing goes over the server's file before it was looked at: it must still hold what
  // it held when the edit began.
  // Save hands the text to be sent back: the base it must find on the server is kept for the send
  // (the tablet's tab takes its record with it when it closes), until the server has the text or
  // the person gives the edit up. Main thread.
  void sendingBack(const editor::Bytes &bytes);
  // `bytes` are what `workingFile` sends back from now on; the save it held before is kept as
  // the text the server may hold from it (sendBackEarlier). Main thread.
  static void sendsText(const std::string &workingFile, const editor::Bytes &bytes);
  // The base a save back of `workingFile` must find on its server first; none when none is known
  // (an edit recorded by an earlier version): then the save goes without a look. Main thread.
  static std::optional<FileMark> sendBackBase(const std::string &workingFile);
  // The earlier save sent from `workingFile` (none: none known), which the server may hold when
  // the newer one goes. Main thread.
  static std::optional<FileMark> sendBackEarlier(const std::string &workingFile);
  // The look and what it means, on the session the upload uses (any thread): the server's file's
  // size first, and its bytes (at most one more than the base holds) only when the size agrees.
  // A file that holds the base, or what is being sent (all of it, or the part of it a cut left of
  // an upload that writes straight over the file), lets the save go; a file gone or changed does
  // not.
  // The server's file holding `earlier`, the edit's own earlier save, lets it go too.
  static SendBackCheck checkServerFile(const FileMark &base, const std::string &workingFile,
                                       const LookAtServerFile &look,
                                       const std::optional<FileMark> &earlier = std::nullopt);
  // "Keep Typed Text" about the server's file as `found` it: the save goes over it, and that same
  // file is not asked about again. Main thread.
  static void keepTypedOver(const std::string &workingFile, const std::string &found);
  // "Take the File": the edit is given up for the server's file; its record and its working file
  // go. Main thread.
  static void takeServerFile(const std::string &workingFile);

  // The byte-order mark of an encoding state as the record keeps it, and back.
  static int unicodeTagOf(bool withFFFE, bool bigEndian, bool utf8Mark);

private:
  // A server's file reopened while its save waits in the queue: the edit goes on in a working
  // file of its own.
  void leaveQueuedSave();
  // Its save: into the file the waiting save sends, which the edit takes back.
  platform::FileStatus backToQueuedSave(const editor::Bytes &bytes);
  platform::FileStatus keepText(bool quiet);
  void writeRecord(bool local, bool quiet);
  // The record keys (plain and numbered) that name `workingFile` go.
  void forgetRecordOf(const std::string &workingFile);
  // A file of the device: the working copy goes (with its record).
  void dropOwnCopy();
  std::string ownCopyPath();

  EditFileView &e_;
  // A file of the device: where the typed text is kept, held while the editor is open.
  std::string ownCopy_;
  FileInUse ownCopyInUse_;
  // What the working file holds now: the text in UTF-8 (else in the encoding in force).
  bool keptInUTF8_ = false;
  // What the file held when the edit began (none: not known).
  std::optional<FileMark> base_;
  // The keep that waits for the typing to pause, and when the text it will keep first changed.
  platform::TimerRef pendingKeep_;
  platform::TimePoint firstUnkept_{};
  // The working file a waiting save sends, which this edit left (see leaveQueuedSave).
  std::string leftForQueue_;
  // Set by Discard: a write still waiting for its lock writes nothing.
  std::shared_ptr<std::atomic<bool>> discarded_ = std::make_shared<std::atomic<bool>>(false);
};
