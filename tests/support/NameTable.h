// One table of names and one table of actions, run against a server cell by cell: every action on
// every name, each in a folder of its own beside a look-alike and a bystander, with the server's
// file system read before and after (names as bytes, contents by their SHA-256, modes). A cell
// passes when its action changed exactly what its row names and nothing else, and what came to
// this machine is the named file's. A new name or action is one row; a peer gives the calls that
// carry each action out and says which cells it cannot carry (and why).
#pragma once

#include "tests/support/TestSupport.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace nametable {

struct Name {
  std::string label; // how reports name the row
  std::string bytes; // the name as the server's file system holds it
  std::string twin;  // a look-alike that lies beside it ("": none)
};

// Shift-JIS "テスト"; bytes a Latin-1 reader takes for C1 controls.
inline const std::vector<Name> &names() {
  static const std::vector<Name> rows = {
      {"blank at the end", "trail.txt ", "trail.txt"},
      {"blank at the start", " lead.txt", "lead.txt"},
      {"two blanks inside", "two  blanks.txt", "two blanks.txt"},
      {"Latin-1 alone", "caf\xE9.txt", ""},
      {"Latin-1 beside UTF-8", "caf\xE9.txt", "caf\xC3\xA9.txt"},
      {"UTF-8 beside Latin-1", "caf\xC3\xA9.txt", "caf\xE9.txt"},
      {"UTF-8 NFC alone", "caf\xC3\xA9.txt", ""},
      {"UTF-8 NFD alone", "cafe\xCC\x81.txt", ""},
      {"NFC beside NFD", "caf\xC3\xA9.txt", "cafe\xCC\x81.txt"},
      {"NFD beside NFC", "cafe\xCC\x81.txt", "caf\xC3\xA9.txt"},
      {"Shift-JIS", "\x83\x65\x83\x58\x83\x67.txt", ""},
      {"bytes 0x80-0x9F", "\x80\x85\x8A\x9F.txt", ""},
      {"control byte", "new\nline.txt", "line.txt"},
      {"all blanks", "   ", " "},
      {"starts with a dash", "-rf.txt", "rf.txt"},
  };
  return rows;
}

enum class Action {
  List,
  Download,
  Delete,
  Rename,
  Permissions,
  EditSave,
  DownloadFolder,
  UploadFolder,
  Move,
  QueuedAcrossRestart,
};

struct ActionRow {
  Action action;
  std::string label;
};

inline const std::vector<ActionRow> &actions() {
  static const std::vector<ActionRow> rows = {
      {Action::List, "list"},
      {Action::Download, "download"},
      {Action::Delete, "delete"},
      {Action::Rename, "rename"},
      {Action::Permissions, "permissions"},
      {Action::EditSave, "edit and save back"},
      {Action::DownloadFolder, "download folder"},
      {Action::UploadFolder, "upload folder"},
      {Action::Move, "move"},
      {Action::QueuedAcrossRestart, "upload queued across a new start"},
  };
  return rows;
}

// What each case folder holds besides the name and its look-alike.
inline constexpr const char *kBystander = "other.txt";
inline constexpr const char *kInto = "into";           // the folder a move goes into
inline constexpr const char *kUploaded = "up";         // the folder an upload folder makes
inline constexpr const char *kRenamed = "renamed.txt"; // what a rename names the file
inline constexpr unsigned kNewMode = 0600;
inline constexpr unsigned kAnyMode = ~0u; // a new file's mode is the server's umask's

// A name as a report shows it: bytes outside printable ASCII as \xNN, blanks visible.
inline std::string shown(const std::string &bytes) {
  std::string out = "\"";
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') {
      out += char(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out + "\"";
}

inline std::string sha256(const std::string &data) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char *>(data.data()), data.size(), digest);
  std::string hex;
  char buf[3];
  for (unsigned char c : digest) {
    std::snprintf(buf, sizeof buf, "%02x", c);
    hex += buf;
  }
  return hex;
}

struct Entry {
  bool folder = false;
  std::string hash; // of a file's content
  unsigned mode = 0;
  bool operator==(const Entry &o) const {
    return folder == o.folder && hash == o.hash &&
           (mode == o.mode || mode == kAnyMode || o.mode == kAnyMode);
  }
};
// Paths relative to the folder read, in the bytes the file system holds.
using Tree = std::map<std::string, Entry>;

inline void readTree(const std::string &root, const std::string &rel, Tree &out) {
  DIR *d = ::opendir((rel.empty() ? root : root + "/" + rel).c_str());
  if (!d) return;
  std::vector<std::string> names;
  for (dirent *e; (e = ::readdir(d));) {
    const std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  ::closedir(d);
  for (const auto &n : names) {
    const std::string r = rel.empty() ? n : rel + "/" + n;
    struct stat st {};
    if (::lstat((root + "/" + r).c_str(), &st) != 0) continue;
    Entry e;
    e.mode = st.st_mode & 07777;
    e.folder = S_ISDIR(st.st_mode);
    if (e.folder)
      readTree(root, r, out);
    else
      e.hash = sha256(testsupport::readFile(root + "/" + r));
    out[r] = e;
  }
}

inline Tree snapshot(const std::string &root) {
  Tree t;
  readTree(root, "", t);
  return t;
}

// What differs, one line a path: "+ new", "- gone", "~ changed".
inline std::string difference(const Tree &expected, const Tree &found) {
  std::string out;
  for (const auto &[path, e] : expected) {
    auto it = found.find(path);
    if (it == found.end())
      out += "  missing: " + shown(path) + "\n";
    else if (!(it->second == e)) {
      char modes[64];
      std::snprintf(modes, sizeof modes, " (mode %o, expected %o)", it->second.mode, e.mode);
      out += "  changed: " + shown(path) + (it->second.hash != e.hash ? " content" : "") + modes +
             "\n";
    }
  }
  for (const auto &[path, e] : found)
    if (!expected.count(path)) out += "  unexpected: " + shown(path) + "\n";
  return out;
}

// One cell: a name, an action, and the case folder that holds them on the server.
struct Cell {
  const Name &name;
  const ActionRow &action;
  std::string folder; // the case folder's name, in the table's folder on the server
  std::string path;   // the case folder on this machine
  std::string content, twinContent, newContent;
};

// What the peer's client reports back for the checks.
struct Outcome {
  std::vector<std::string> listed; // the names a listing gave, in their bytes
  std::string told;                // what the client told of files it left out
};

struct Peer {
  std::string label;
  // Why the peer cannot carry the cell (a protocol limit), or nothing: the cell runs.
  std::function<std::optional<std::string>(const Cell &)> leftOut;
  // Carries the action out through the client, filling what it reports back.
  std::function<void(const Cell &, Outcome &)> act;
  // Makes what the test put on the server the login's own (as if it had put it there).
  std::function<void(const std::string &folder)> own;
  // Where downloads land on this machine ("": none are checked).
  std::string localRoot;
  // The bytes a file made from a local name gets on the server (as they are, unless the client
  // names new files in an encoding of the server's).
  std::function<std::string(const std::string &)> newName = [](const std::string &n) { return n; };
};

struct Tally {
  int cells = 0, ran = 0, passed = 0;
  std::vector<std::string> leftOut;
};

inline int failedParts() {
  const auto *result = ::testing::UnitTest::GetInstance()->current_test_info()->result();
  int n = 0;
  for (int i = 0; i < result->total_part_count(); ++i)
    if (result->GetTestPartResult(i).failed()) ++n;
  return n;
}

// The server's tree as the action should leave it.
inline Tree expectedAfter(const Tree &before, const Cell &c, const Peer &peer) {
  Tree t = before;
  const std::string self = c.folder + "/" + c.name.bytes;
  switch (c.action.action) {
  case Action::List:
  case Action::Download:
  case Action::DownloadFolder:
    break;
  case Action::Delete:
    t.erase(self);
    break;
  case Action::Rename:
    t[c.folder + "/" + kRenamed] = t[self];
    t.erase(self);
    break;
  case Action::Permissions:
    t[self].mode = kNewMode;
    break;
  case Action::EditSave:
  case Action::QueuedAcrossRestart:
    t[self].hash = sha256(c.newContent);
    break;
  case Action::Move:
    t[c.folder + "/" + kInto + "/" + c.name.bytes] = t[self];
    t.erase(self);
    break;
  case Action::UploadFolder:
    t[c.folder + "/" + kUploaded] = Entry{true, "", kAnyMode};
    t[c.folder + "/" + kUploaded + "/" + peer.newName(c.name.bytes)] =
        Entry{false, sha256(c.newContent), kAnyMode};
    break;
  }
  return t;
}

// The files under `root` whose content is `content`.
inline std::vector<std::string> holding(const std::string &root, const std::string &content) {
  std::vector<std::string> out;
  for (const auto &[path, e] : snapshot(root))
    if (!e.folder && e.hash == sha256(content)) out.push_back(path);
  return out;
}

// Runs every action on every name against the peer, each cell in a folder of its own under
// `tableRoot` (the folder the peer's client starts in, as this machine sees it).
inline Tally runTable(const std::string &tableRoot, const Peer &peer) {
  Tally tally;
  int row = 0;
  // NAME_TABLE_ONLY=text runs only the cells whose name or action label holds the text (when
  // looking into one cell by hand).
  const char *only = std::getenv("NAME_TABLE_ONLY");
  for (const auto &name : names()) {
    ++row;
    int column = 0;
    for (const auto &action : actions()) {
      ++column;
      if (only && name.label.find(only) == std::string::npos &&
          action.label.find(only) == std::string::npos)
        continue;
      ++tally.cells;
      const std::string folder = "c" + std::to_string(row) + "-" + std::to_string(column);
      Cell cell{name,
                action,
                folder,
                tableRoot + "/" + folder,
                "the file " + name.label + " in " + folder + "\n",
                "the look-alike of the file " + name.label + " in " + folder + ", a bit longer\n",
                "new content for " + name.label + " by " + action.label + "\n"};
      const std::string where = peer.label + ", " + action.label + " on " + name.label + " " +
                                shown(name.bytes) + " (" + folder + ")";
      if (auto why = peer.leftOut(cell)) {
        tally.leftOut.push_back(where + ": " + *why);
        continue;
      }
      SCOPED_TRACE(where);
      const int failedBefore = failedParts();
      ++tally.ran;
      ::mkdir(cell.path.c_str(), 0755);
      ::mkdir((cell.path + "/" + kInto).c_str(), 0755);
      testsupport::writeFile(cell.path + "/" + name.bytes, cell.content);
      if (!name.twin.empty()) testsupport::writeFile(cell.path + "/" + name.twin, cell.twinContent);
      testsupport::writeFile(cell.path + "/" + kBystander, "a bystander\n");
      for (const auto &f : {name.bytes, name.twin, std::string(kBystander)})
        if (!f.empty()) ::chmod((cell.path + "/" + f).c_str(), 0644);
      if (peer.own) peer.own(cell.path);
      const Tree before = snapshot(tableRoot);
      const Tree localBefore = peer.localRoot.empty() ? Tree{} : snapshot(peer.localRoot);

      Outcome outcome;
      peer.act(cell, outcome);

      const Tree after = snapshot(tableRoot);
      const Tree expected = expectedAfter(before, cell, peer);
      EXPECT_TRUE(after == expected) << "the server's files, against what the action should "
                                        "leave:\n"
                                     << difference(expected, after);
      if (action.action == Action::List) {
        std::vector<std::string> want{kBystander, kInto, name.bytes};
        if (!name.twin.empty()) want.push_back(name.twin);
        std::sort(want.begin(), want.end());
        auto got = outcome.listed;
        std::sort(got.begin(), got.end());
        std::string gotText;
        for (auto &g : got)
          gotText += shown(g) + " ";
        EXPECT_EQ(got, want) << "listed: " << gotText;
      }
      if (!peer.localRoot.empty() &&
          (action.action == Action::Download || action.action == Action::DownloadFolder)) {
        // What came is the named file's content (and, for a folder, inside that folder's copy).
        const Tree localAfter = snapshot(peer.localRoot);
        bool arrived = false;
        for (const auto &[path, e] : localAfter) {
          auto was = localBefore.find(path);
          const bool fresh = was == localBefore.end() || !(was->second == e);
          const bool inFolder = action.action == Action::Download || path.find(folder + "/") == 0;
          if (fresh && inFolder && e.hash == sha256(cell.content)) arrived = true;
        }
        // Two names that read alike become one local file: the one left out is told of.
        EXPECT_TRUE(arrived || (action.action == Action::DownloadFolder && !outcome.told.empty()))
            << "the named file's content did not arrive under " << peer.localRoot
            << ", and nothing told of it";
      }
      if (failedParts() == failedBefore) ++tally.passed;
    }
  }
  std::string summary = peer.label + ": " + std::to_string(names().size()) + " names x " +
                        std::to_string(actions().size()) +
                        " actions = " + std::to_string(tally.cells) + " cells, " +
                        std::to_string(tally.ran) + " ran, " + std::to_string(tally.passed) +
                        " passed, " + std::to_string(tally.leftOut.size()) + " left out";
  std::printf("NAME TABLE %s\n", summary.c_str());
  for (const auto &l : tally.leftOut)
    std::printf("  left out: %s\n", l.c_str());
  std::fflush(stdout);
  ::testing::Test::RecordProperty("name_table", summary);
  return tally;
}

} // namespace nametable
