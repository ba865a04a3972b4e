// A hostile server (the scripted one): names that would lead out of Saved Files or the temporary
// folder, a folder or a link where a download is saved, a line break inside a name, replies that
// never end, a data connection held open after the final reply, and more bytes than announced.
// Each ends the task with an error the user sees and writes nothing outside its folder.
#include "tests/interop/ftp/TaskPeers.h"

#include "platform/foundation/FileManager.h"

using namespace taskpeers;

namespace {

// The server's script, the name downloaded (deleted with `del`), a part of the error the user
// sees; `login`: it fails during the login; `stalled`: only once the clock has moved on.
struct HostileCase {
  const char *label;
  std::string script, name, error;
  bool del = false, login = false, stalled = false;
};

void PrintTo(const HostileCase &c, std::ostream *out) {
  *out << c.label;
}

class HostileServerTest : public TaskPeerTest, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(HostileServerTest, EndsWithAnErrorAndWritesNothingOutside) {
  const HostileCase &c = GetParam();
  auto clock = std::make_shared<ManualClock>();
  if (c.stalled) Clock::install(clock);
  UserDefaults::standard().setObject("1", kOverwriteSavedFilesKey); // "Don't Ask Again" stored
  const std::string files = Paths::documents() + "/Files";
  FileManager::createDirectory(files + "/dir.bin", true);
  testsupport::writeFile(files + "/dir.bin/inner.txt", "kept");
  testsupport::writeFile(home.file("outside.bin"), "kept");
  ::symlink(home.file("outside.bin").c_str(), (files + "/link.bin").c_str());
  Server s = startScripted(c.script);
  testsupport::writeFile(s.root + "/keep.txt", "kept");

  startConnection(address(s));
  conn->connect();
  if (!c.login) {
    ASSERT_TRUE(waitFor([&] { return conn->fIsLoggedIn() && idle(); })) << conn->transferLog();
    waitFor([] { return false; }, 0.3);
    if (c.del)
      conn->deleteFile(c.name, "/", false);
    else
      conn->downloadFile(c.name, 0, false, true, "/", false, false, 0);
  }
  if (c.stalled) {
    ASSERT_TRUE(waitFor([&] { return logHas("226 Transfer complete"); })) << conn->transferLog();
    waitFor([] { return false; }, 0.3);
    EXPECT_FALSE(idle()); // still waiting for the data connection's end
    clock->advance(seconds(31));
  }
  ASSERT_TRUE(waitFor([&] { return !delegate->taken().empty() && idle(); })) << conn->transferLog();
  EXPECT_NE(delegate->taken().front().find(c.error), std::string::npos)
      << delegate->taken().front();
  if (c.login) {
    EXPECT_FALSE(conn->isStreamConnected());
  }
  Clock::install(nullptr);

  // Nothing was written, replaced or removed outside, or over the folder and the link.
  EXPECT_EQ(testsupport::readFile(files + "/dir.bin/inner.txt"), "kept");
  EXPECT_EQ(testsupport::readFile(home.file("outside.bin")), "kept");
  EXPECT_EQ(testsupport::readFile(s.root + "/keep.txt"), "kept");
  for (auto &path : {home.file("escape.bin"), home.file("home/escape.bin"),
                     Paths::documents() + "/escape.bin", files + "/evil"})
    EXPECT_FALSE(FileManager::fileExists(path)) << path;
  EXPECT_EQ(s.process.output().find("DELE keep.txt"), std::string::npos);
}

const std::string kFiles = R"("files": {"../escape.bin": "x", "../../escape.bin": "x",
    "dir.bin": "new", "link.bin": "new", "held.bin": "abc", "big.bin": ")" +
                           std::string(5000, 'b') + R"("})";

INSTANTIATE_TEST_SUITE_P(
    Cases, HostileServerTest,
    ::testing::Values(
        HostileCase{"DotDot", "{" + kFiles + "}", "../escape.bin", "cannot be a local file name"},
        HostileCase{"DotDotTwice", "{" + kFiles + "}", "../../escape.bin", "holds a \"/\""},
        HostileCase{"ControlCharacter", "{" + kFiles + "}", "evil\x01", "control character"},
        HostileCase{"FolderInTheWay", "{" + kFiles + "}", "dir.bin", "a folder of that name"},
        HostileCase{"LinkLeadingOut", "{" + kFiles + "}", "link.bin", "outside Saved Files"},
        HostileCase{"LineBreakInAName", "{" + kFiles + "}", "x\r\nDELE keep.txt", "was not sent",
                    true},
        HostileCase{"MoreThanAnnounced", R"({"size": 1000, )" + kFiles + "}", "big.bin",
                    "more than the 1000 bytes it announced"},
        HostileCase{"DataHeldOpen", R"({"retr": "hold-open", )" + kFiles + "}", "held.bin",
                    "neither delivered nor closed", false, false, true},
        HostileCase{"ReplyLineWithoutEnd", R"({"pwd": "long-line"})", "", "longer than 64 KiB",
                    false, true},
        HostileCase{"ReplyThatNeverEnds", R"({"pwd": "endless"})", "", "longer than 1 MiB", false,
                    true}),
    [](const auto &info) { return std::string(info.param.label); });

} // namespace
