// Names that begin or end with a blank, beside the names without it, on vsftpd as Debian installs
// it and on pyftpdlib as installed: "trail.txt " beside "trail.txt", " lead.txt" beside
// "lead.txt", a folder " d " beside "d". Each is a row of its own, and every action on a row
// (download, save back, permissions, rename, delete, a folder entered) reaches that row's file and
// changes no other: the server's folder is read by names' bytes and files' hashes before and after.
#include "tests/interop/ftp/TaskPeers.h"
#include "tests/interop/ftp/VsftpdPeer.h"
#include "tests/support/Peers.h"

#include "platform/foundation/FileManager.h"

#include <dirent.h>
#include <sys/stat.h>

using namespace taskpeers;

namespace {

// The look-alike pairs, each file with a content of its own length.
const std::map<std::string, std::string> kFiles = {
    {"trail.txt ", "twenty bytes of it.\n"},
    {"trail.txt", "twenty-three bytes here\n"},
    {" lead.txt", "the one with a blank\n"},
    {"lead.txt", "the one without a blank\n"},
};

class NameBlanksPeersTest : public TaskPeerTest, public ::testing::WithParamInterface<std::string> {
protected:
  void SetUp() override {
    TaskPeerTest::SetUp();
    UserDefaults::standard().setObject("1", kOverwriteSavedFilesKey);
    auto fill = [](const std::string &root) {
      for (const auto &[name, content] : kFiles)
        testsupport::writeFile(root + "/" + name, content);
      for (const char *folder : {" d ", "d"}) {
        ::mkdir((root + "/" + folder).c_str(), 0777);
        testsupport::writeFile(root + "/" + folder + "/in.txt",
                               "in \"" + std::string(folder) + "\"\n");
      }
    };
    if (GetParam() == "vsftpd") {
      REQUIRE_PEER(testsupport::program("/usr/sbin/vsftpd", "vsftpd"));
      REQUIRE_MACHINE(::geteuid() == 0, "vsftpd and its local user need root");
      ASSERT_NO_FATAL_FAILURE(startVsftpdAsInstalled(server, fill));
      testsupport::runCommand("chown -R " + std::string(vsftpdpeer::kUser) + " '" + server.root +
                              "'");
    } else {
      REQUIRE_PEER(testsupport::pythonModule("pyftpdlib", "python3-pyftpdlib"));
      server = startPyftpdlib();
      fill(server.root);
    }
    for (const auto &[name, content] : kFiles)
      ::chmod(file(name).c_str(), 0644);
  }

  std::string file(const std::string &name) { return server.root + "/" + name; }
  // Every file below the served folder, by the bytes of its path: the hash of its content.
  std::map<std::string, std::string> served() {
    std::map<std::string, std::string> out;
    std::function<void(const std::string &)> walk = [&](const std::string &rel) {
      DIR *d = ::opendir((server.root + rel).c_str());
      if (!d) return;
      while (dirent *e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = rel + "/" + name;
        struct stat st {};
        ::lstat((server.root + path).c_str(), &st);
        if (S_ISDIR(st.st_mode)) {
          out[path] = "folder";
          walk(path);
        } else {
          out[path] = sha256(testsupport::readFile(server.root + path));
        }
      }
      ::closedir(d);
    };
    walk("");
    return out;
  }
  // The rows whose names read `text` exactly.
  std::vector<std::shared_ptr<DirItemInfo>> rowsNamed(const std::string &text) {
    std::vector<std::shared_ptr<DirItemInfo>> out;
    for (auto &e : services->top->shown())
      if (e->name() == text) out.push_back(e);
    return out;
  }
  std::shared_ptr<DirItemInfo> row(const std::string &text) {
    auto rows = rowsNamed(text);
    EXPECT_EQ(rows.size(), 1u) << "rows named \"" << text << "\"\n" << conn->transferLog();
    return rows.empty() ? nullptr : rows.front();
  }
  void settleJob() {
    settle();
    ASSERT_TRUE(throughConnectionThread(true));
  }
  void list(const RemoteName &folder) {
    const int before = services->top->listingCount();
    services->top->setCurrentWorkingDirectory("");
    conn->changeDirectory(folder);
    ASSERT_TRUE(waitFor([&] { return services->top->listingCount() > before && idle(); }))
        << conn->transferLog();
  }
  // What `act` changed on the server is exactly `expected` (paths' bytes: new state, or "" for
  // gone); everything else is as it was.
  void expectOnly(const std::function<void()> &act,
                  const std::map<std::string, std::string> &expected) {
    auto before = served();
    ASSERT_NO_FATAL_FAILURE(act());
    ASSERT_NO_FATAL_FAILURE(settleJob());
    for (const auto &[path, now] : expected)
      if (now.empty())
        before.erase(path);
      else
        before[path] = now;
    EXPECT_EQ(served(), before) << conn->transferLog();
  }
  unsigned modeOf(const std::string &name) {
    struct stat st {};
    return ::stat(file(name).c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
  }

  Server server;
};

INSTANTIATE_TEST_SUITE_P(Servers, NameBlanksPeersTest, ::testing::Values("vsftpd", "pyftpdlib"),
                         [](const auto &info) { return info.param; });

TEST_P(NameBlanksPeersTest, EachRowIsItsOwnFileForEveryAction) {
  ASSERT_NO_FATAL_FAILURE(connectAndList(address(server), server.user, server.pass));
  const RemoteName top = conn->cwdName();
  // One row per name, each row keyed apart (a checked row checks no other).
  std::set<std::string> keys;
  for (const auto &[name, content] : kFiles) {
    auto r = row(name);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->size, std::to_string(content.size())) << "\"" << name << "\"";
    keys.insert(r->remoteName().key());
  }
  EXPECT_EQ(keys.size(), kFiles.size());
  ASSERT_TRUE(row(" d ") && row("d"));

  // Each download fetches its own row's bytes (nothing changes on the server).
  for (const auto &[name, content] : kFiles) {
    SCOPED_TRACE("download \"" + name + "\"");
    auto r = row(name);
    expectOnly(
        [&] {
          conn->downloadFile(r->remoteName(), platform::longLongValue(r->size), false, true, top,
                             false, false, 0);
        },
        {});
    EXPECT_EQ(testsupport::readFile(savedFile(name)), content);
  }

  // Permissions, a save back and a rename each reach the row's own file.
  expectOnly([&] { conn->chmodFile(row("trail.txt ")->remoteName(), top, "600"); }, {});
  EXPECT_EQ(modeOf("trail.txt "), 0600u);
  EXPECT_EQ(modeOf("trail.txt"), 0644u);
  expectOnly(
      [&] {
        conn->uploadFile(row(" lead.txt")->remoteName(), Bytes{'n', 'e', 'w'}, top, false);
      },
      {{"/ lead.txt", sha256("new")}, {"/ lead.old.txt", sha256(kFiles.at(" lead.txt"))}});
  expectOnly([&] { conn->renameFile(row("trail.txt ")->remoteName(), "renamed.txt", top); },
             {{"/trail.txt ", ""}, {"/renamed.txt", sha256(kFiles.at("trail.txt "))}});
  // Deletes: the row's file goes, its look-alike stays.
  ASSERT_NO_FATAL_FAILURE(list(top));
  expectOnly([&] { conn->deleteFile(row(" lead.txt")->remoteName(), top, false); },
             {{"/ lead.txt", ""}});
  expectOnly([&] { conn->deleteFile(row("trail.txt")->remoteName(), top, false); },
             {{"/trail.txt", ""}});

  // The folder " d " is entered by its own name, and what is done inside stays inside it.
  ASSERT_NO_FATAL_FAILURE(list(top.child(row(" d ")->remoteName())));
  const RemoteName inside = conn->cwdName();
  EXPECT_TRUE(inside.wire(false).ends_with("/ d ")) << inside.wire(false);
  auto in = row("in.txt");
  ASSERT_TRUE(in);
  expectOnly([&] { conn->downloadFile(in->remoteName(), 0, false, true, inside, false, false, 0); },
             {});
  EXPECT_EQ(testsupport::readFile(savedFile("in.txt")), "in \" d \"\n");
  expectOnly([&] { conn->deleteFile(in->remoteName(), inside, false); }, {{"/ d /in.txt", ""}});
  for (const auto &said : delegate->taken())
    ADD_FAILURE() << said;
}

} // namespace
