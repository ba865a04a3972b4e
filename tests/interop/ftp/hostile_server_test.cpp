// A hostile server (the scripted one): names that would lead out of Saved Files or the temporary
// folder, a folder or a link where a download is saved, a line break inside a name, replies that
// never end, a data connection held open after the final reply, and more bytes than announced.
// Each ends the task with an error the user sees and writes nothing outside its folder.
#include "tests/interop/ftp/TaskPeers.h"

#include "platform/foundation/FileManager.h"

using namespace taskpeers;

namespace {

// The server's script, what is done after the login (on `name`), a part of the error the user
// sees, and whether that comes only once the clock has moved on.
enum Action { kDownload, kDelete, kList, kLoginOnly };
struct HostileCase {
  const char *label;
  std::string script;
  Action action;
  std::string name, error;
  bool stalled = false;
};

void PrintTo(const HostileCase &c, std::ostream *out) {
  *out << c.label; // test names stay readable and the same from one build to the next
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
  if (c.action != kLoginOnly) {
    ASSERT_TRUE(waitFor([&] { return conn->fIsLoggedIn() && idle(); })) << conn->transferLog();
    waitFor([] { return false; }, 0.3);
    if (c.action == kDownload) conn->downloadFile(c.name, 0, false, true, "/", false, false, 0);
    if (c.action == kDelete) conn->deleteFile(c.name, "/", false);
    if (c.action == kList) conn->changeDirectory("/");
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
  EXPECT_EQ(conn->isStreamConnected(), c.action != kLoginOnly);
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
    ::testing::Values(HostileCase{"DotDot", "{" + kFiles + "}", kDownload, "../escape.bin",
                                  "cannot be a local file name"},
                      HostileCase{"DotDotTwice", "{" + kFiles + "}", kDownload, "../../escape.bin",
                                  "holds a \"/\""},
                      HostileCase{"ControlCharacter", "{" + kFiles + "}", kDownload, "evil\x01",
                                  "control character"},
                      HostileCase{"FolderInTheWay", "{" + kFiles + "}", kDownload, "dir.bin",
                                  "a folder of that name"},
                      HostileCase{"LinkLeadingOut", "{" + kFiles + "}", kDownload, "link.bin",
                                  "outside Saved Files"},
                      HostileCase{"LineBreakInAName", "{" + kFiles + "}", kDelete,
                                  "x\r\nDELE keep.txt", "was not sent"},
                      HostileCase{"MoreThanAnnounced", R"({"size": 1000, )" + kFiles + "}",
                                  kDownload, "big.bin", "more than the 1000 bytes it announced"},
                      HostileCase{"DataHeldOpen", R"({"retr": "hold-open", )" + kFiles + "}",
                                  kDownload, "held.bin", "neither delivered nor closed", true},
                      HostileCase{"ListingLineWithoutEnd",
                                  R"({"listing": ")" + std::string(100000, 'x') + R"("})", kList,
                                  "", "listing line longer than 64 KiB"},
                      HostileCase{"ReplyLineWithoutEnd", R"({"pwd": "long-line"})", kLoginOnly, "",
                                  "longer than 64 KiB"},
                      HostileCase{"ReplyThatNeverEnds", R"({"pwd": "endless"})", kLoginOnly, "",
                                  "longer than 1 MiB"}),
    [](const auto &info) { return std::string(info.param.label); });

} // namespace
