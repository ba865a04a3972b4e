// The FTP tab over SFTP against OpenSSH's sshd as it comes, on a folder holding "café.txt" stored
// as UTF-8 and as ISO Latin-1: with "Folder Text Encoding" at Auto-Detect both are listed (two rows
// that read alike); at Latin 1 they read apart ("café.txt" and "cafÃ©.txt"), and each row's Edit,
// permissions, Rename and Delete, tapped as a person taps them, reach that row's own file and
// leave the other as it was.
#include "tests/support/FtpTabScreens.h"
#include "tests/support/SftpPeers.h"

#include "app/sftp/SFTPService.h"

#include <sys/stat.h>

using namespace tabtest;
using namespace testsupport;

namespace {

const std::string kUtf8 = "caf\xC3\xA9.txt", kLatin1 = "caf\xE9.txt";
// How each reads with the setting at Latin 1.
const std::string kLatin1Row = "caf\xC3\xA9.txt", kUtf8Row = "caf\xC3\x83\xC2\xA9.txt";

class SftpNamesTab : public TabFixture {
protected:
  void SetUp() override {
    ASSERT_TRUE(ensureSftpUser());
    TabFixture::SetUp();
    SFTPService::install();
    ::chmod(dir.path().c_str(), 0777);
    peer = SshPeer::sshd({});
    ASSERT_TRUE(peer->started()) << peer->why();
    writeFile(dir.file(kUtf8), "the UTF-8 file");
    writeFile(dir.file(kLatin1), "the Latin-1 file");
    for (const auto &name : {kUtf8, kLatin1})
      ::chmod(dir.file(name).c_str(), 0644);
    // The login's own files, as if it had put them there: it may change their modes.
    runCommand("chown " + std::string(kSftpUser) + " '" + dir.file(kUtf8) + "' '" +
               dir.file(kLatin1) + "'");
  }
  bool connect(const char *encoding) {
    UserDefaults::standard().setObject(encoding, "SFTPEncoding");
    return connectTo("sftp://127.0.0.1:" + std::to_string(peer->port()) + dir.path(), kSftpUser,
                     kSftpPass);
  }
  // The top screen shows its listing (`count` rows), with nothing of its own still running.
  bool shows(size_t count) {
    return waitFor(
        [&] {
          auto s = top();
          return s && s->currentToolbar == 2 && !s->sftpOperationsRunning() &&
                 names().size() == count;
        },
        60);
  }
  unsigned modeOf(const std::string &bytes) {
    struct stat st {};
    return ::stat(dir.file(bytes).c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }
  std::string content(const std::string &bytes) { return readFile(dir.file(bytes)); }

  TempDir dir{"ferrowen-sftpnames-tab"};
  std::unique_ptr<SshPeer> peer;
};

TEST_F(SftpNamesTab, AutoDetectListsBothLookAlikes) {
  ASSERT_TRUE(connect("0")) << probe->lastError();
  ASSERT_TRUE(shows(2)) << peer->log();
  EXPECT_EQ(names(), (std::vector<std::string>{kLatin1Row, kLatin1Row}));
}

TEST_F(SftpNamesTab, AtLatin1EachRowsActionsReachItsOwnFile) {
  ASSERT_TRUE(connect("5")) << probe->lastError();
  ASSERT_TRUE(shows(2)) << peer->log();
  auto sorted = names();
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, (std::vector<std::string>{kUtf8Row, kLatin1Row}));

  // Edit opens each row's own file.
  for (auto [row, expected] :
       {std::pair{kLatin1Row, "the Latin-1 file"}, {kUtf8Row, "the UTF-8 file"}}) {
    const size_t before = services->edited.size();
    ASSERT_TRUE(probe->tapRow(row));
    ASSERT_TRUE(probe->tap("Edit")) << probe->lastError();
    ASSERT_TRUE(waitFor([&] { return services->edited.size() == before + 1; })) << row;
    EXPECT_EQ(services->edited.back(), expected) << row;
    ASSERT_TRUE(shows(2));
  }

  // Permissions of the row "café.txt": the Latin-1 file's, and its alone.
  ASSERT_TRUE(openRowMenu(kLatin1Row));
  ASSERT_TRUE(probe->answerSheet("Permissions (CHMOD)"));
  ASSERT_TRUE(probe->tap("Group Write"));
  ASSERT_TRUE(probe->tap("Save"));
  ASSERT_TRUE(waitFor([&] { return modeOf(kLatin1) == 0664; })) << modeOf(kLatin1);
  EXPECT_EQ(modeOf(kUtf8), 0644u);
  ASSERT_TRUE(shows(2));

  // Rename of the row "cafÃ©.txt" takes the UTF-8 file.
  ASSERT_TRUE(openRowMenu(kUtf8Row));
  ASSERT_TRUE(probe->answerSheet("Rename File"));
  ASSERT_TRUE(answerPrompt("Rename File To:", "renamed.txt"));
  ASSERT_TRUE(waitFor([&] { return FileManager::fileExists(dir.file("renamed.txt")); }));
  EXPECT_EQ(content("renamed.txt"), "the UTF-8 file");
  EXPECT_EQ(content(kLatin1), "the Latin-1 file");
  ASSERT_TRUE(waitFor([&] { return listed("renamed.txt"); }, 60));
  ASSERT_TRUE(shows(2));

  // Delete of the row "café.txt" takes the Latin-1 file.
  ASSERT_TRUE(openRowMenu(kLatin1Row));
  ASSERT_TRUE(probe->answerSheet("Delete File"));
  ASSERT_TRUE(probe->answerAlert("Delete"));
  ASSERT_TRUE(waitFor([&] { return !FileManager::fileExists(dir.file(kLatin1)); }));
  EXPECT_EQ(content("renamed.txt"), "the UTF-8 file");
}

} // namespace
