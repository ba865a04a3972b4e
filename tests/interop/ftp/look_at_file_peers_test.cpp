// The look at a server's file that comes before a save back's upload, on the connection's session:
// what it tells of the file (there or not, its size, its first bytes), that it reads no more than
// it was asked for whatever the server sends (the transfer is aborted, and the session goes on),
// and that a session the server cuts tells nothing. Against pyftpdlib, and the scripted server for
// what real servers do not do on demand (no "SIZE", a size that is not the file's, a data stream
// that never ends, a cut).
#include "tests/interop/ftp/TaskPeers.h"

#include "platform/foundation/FileManager.h"

#include <algorithm>
#include <optional>

using namespace taskpeers;

namespace {

struct Look {
  const char *name;
  std::string script; // the scripted server's; empty: pyftpdlib, with note.txt holding `content`
  std::optional<std::string> content; // what the file holds (read from the look: its bytes)
  bool exists;
  bool looked = true;
  bool readsBytes = true; // "RETR" sent
  bool aborted = false;   // "ABOR" sent
};

void PrintTo(const Look &look, std::ostream *out) {
  *out << look.name;
}

const std::vector<Look> kLooks = {
    {"ThereWithItsBytes", "", "first line\n", true},
    {"Empty", "", "", true},
    {"NotThere", "", std::nullopt, false},
    // "550 SIZE not allowed": the "RETR" tells the size.
    {"NoSizeTold", R"({"size": "refuse", "files": {"note.txt": "first line\n"}})", "first line\n",
     true},
    // More than the size said: read no further than asked.
    {"MoreThanItsSize",
     R"({"size": 4000, "files": {"note.txt": ")" + std::string(4000, 'x') +
         R"("}, "retr": "until-closed"})",
     std::string(4001, 'x'), true, true, true, true},
    // No size, and data without end: read no further than an edit could hold.
    {"EndlessWithoutSize",
     R"({"size": "refuse", "files": {"note.txt": ")" + std::string(4000, 'x') +
         R"("}, "retr": "until-closed"})",
     std::nullopt, true, true, true, true},
    // A size no edit began from: its bytes are not read.
    {"OtherSize", R"({"size": 50000, "files": {"note.txt": "first line\n"}})", "", true, true,
     false},
    {"CutAtRetr",
     R"({"size": "refuse", "files": {"note.txt": "first line\n"}, "retr": "close-control",
         "cutafter": 0.1})",
     std::nullopt, false, false},
};

class LookAtFileTest : public TaskPeerTest, public ::testing::WithParamInterface<Look> {};

} // namespace

TEST_P(LookAtFileTest, TellsTheFileReadingNoMoreThanAsked) {
  const Look look = GetParam();
  Server server;
  if (!look.script.empty()) {
    server = startScripted(look.script);
  } else {
    server = startPyftpdlib();
    FileManager::removeItem(server.root + "/note.txt");
    if (look.content) {
      ASSERT_TRUE(testsupport::writeFile(server.root + "/note.txt", *look.content));
    }
  }
  startConnection(address(server), false, server.user, server.pass);
  conn->connect();
  ASSERT_TRUE(waitFor([&] { return conn->fIsLoggedIn() && idle(); })) << conn->transferLog();
  const size_t mark = conn->transferLog().size();

  // As a save back asks: the whole file when it is small enough to be what the edit began from.
  struct Found {
    std::mutex mutex;
    std::optional<LookedFile> file;
  };
  auto found = std::make_shared<Found>();
  conn->lookAtFile(
      "note.txt", "/", [](uint64_t size) -> uint64_t { return size <= 10000 ? size + 1 : 0; },
      [found](const LookedFile &file) {
        std::lock_guard<std::mutex> lock(found->mutex);
        found->file = file;
      });
  ASSERT_TRUE(waitFor([&] {
    std::lock_guard<std::mutex> lock(found->mutex);
    return found->file.has_value();
  })) << conn->transferLog();
  const LookedFile file = *found->file;
  auto sent = commandsSince(mark);
  auto did = [&](const char *verb) {
    return std::any_of(sent.begin(), sent.end(),
                       [&](const std::string &c) { return c.rfind(verb, 0) == 0; });
  };
  EXPECT_EQ(file.looked, look.looked) << conn->transferLog();
  EXPECT_EQ(file.exists, look.exists) << conn->transferLog();
  EXPECT_EQ(did("RETR"), look.readsBytes) << conn->transferLog();
  EXPECT_EQ(did("ABOR"), look.aborted) << conn->transferLog();
  EXPECT_FALSE(did("STOR") || did("DELE") || did("RNFR")) << conn->transferLog();
  if (!look.looked) {
    EXPECT_TRUE(waitFor([&] { return !conn->isStreamConnected(); }));
    return;
  }
  if (look.content) {
    EXPECT_EQ(std::string(file.bytes.begin(), file.bytes.end()), *look.content);
  } else if (look.exists) {
    // Cut off far below what the server would have sent, with nothing of it kept.
    EXPECT_TRUE(file.bytes.empty());
    EXPECT_GT(file.size, 10000u);
    EXPECT_LT(file.size, uint64_t(64) << 20);
  }
  if (look.script.empty() && look.exists) {
    EXPECT_EQ(file.size, look.content->size());
  }
  // The session goes on: the next task's replies are its own.
  ASSERT_TRUE(waitFor([&] { return !conn->isAnythingInProgress(); })) << conn->transferLog();
  conn->makeDirectory("made", "/");
  ASSERT_TRUE(waitIdle()) << conn->transferLog();
  sent = commandsSince(mark);
  EXPECT_TRUE(did("MKD")) << conn->transferLog();
  EXPECT_TRUE(conn->isStreamConnected()) << conn->transferLog();
}

INSTANTIATE_TEST_SUITE_P(Files, LookAtFileTest, ::testing::ValuesIn(kLooks),
                         [](const auto &info) { return std::string(info.param.name); });
