// The name table (tests/support/NameTable.h) against our own sharing servers, driven by stock
// clients: the FTP server by Python's ftplib and by curl, the web server by Python's http.client
// and by curl. Each action is the client's own commands (RETR, STOR, DELE, RNFR and RNTO, NLST;
// GET and an upload), and each must reach the file of the bytes the client sent, and that file
// alone. The server runs on this process's main run loop; each client is a child process started
// from a worker thread.
#include "tests/app/sharing/WebServerFixture.h"
#include "tests/support/NameTable.h"
#include "tests/support/Peers.h"

#include "app/sharing/FTPServer.h"

#include <future>
#include <sstream>
#include <tuple>

using nametable::Action;
using nametable::Cell;
using nametable::Outcome;

namespace {

std::string hex(const std::string &bytes) {
  std::string out;
  char b[3];
  for (unsigned char c : bytes) {
    std::snprintf(b, sizeof b, "%02x", c);
    out += b;
  }
  return out;
}

std::string unhex(const std::string &text) {
  std::string out;
  for (size_t i = 0; i + 1 < text.size(); i += 2)
    out += char(std::strtol(text.substr(i, 2).c_str(), nullptr, 16));
  return out;
}

// Each client's commands for each action ("": the server offers no such command).
const char *commandOf(Action a, bool web) {
  switch (a) {
  case Action::List:
    return "list";
  case Action::Download:
    return "download";
  case Action::DownloadFolder:
    return "download-folder";
  case Action::EditSave:
    return "save";
  case Action::Delete:
    return web ? "" : "delete";
  case Action::Rename:
    return web ? "" : "rename";
  case Action::Move:
    return web ? "" : "move";
  case Action::UploadFolder:
    return web ? "" : "upload-folder";
  case Action::Permissions:         // no SITE CHMOD on our FTP server, nothing of it on the web
  case Action::QueuedAcrossRestart: // a queue is the app's, not a stock client's
    return "";
  }
  return "";
}

class NameTableClients : public WebServerTest, public ::testing::WithParamInterface<std::string> {
protected:
  bool web() const { return GetParam().find("http") != std::string::npos; }

  void act(const Cell &c, Outcome &out) {
    const std::string newFile = tmp_->file("new-" + c.folder);
    testsupport::writeFile(newFile, c.newContent);
    const std::vector<std::string> argv{
        "/usr/bin/python3",
        std::string(FERROWEN_SOURCE_DIR) + "/tests/support/name_table_client.py",
        GetParam(),
        std::to_string(web() ? port : ftpPort),
        commandOf(c.action.action, web()),
        "table/" + c.folder,
        hex(c.name.bytes),
        newFile,
        local + (c.action.action == Action::Download ? "/" + c.folder : "")};
    // The client runs while the main run loop serves.
    const std::string logs = tmp_->path();
    auto done = std::async(std::launch::async, [argv, logs] {
      testsupport::Process p(argv, logs);
      auto status = p.wait(std::chrono::seconds(60));
      return std::make_tuple(status.value_or(-1), p.output(), p.errors());
    });
    auto [status, listing, said] = await(std::move(done));
    EXPECT_EQ(status, 0) << said;
    if (c.action.action == Action::List) {
      std::istringstream lines(listing);
      for (std::string line; std::getline(lines, line);)
        if (!line.empty()) out.listed.push_back(unhex(line));
    }
    settle();
  }

  int ftpPort = 0;
  std::string local;
};

INSTANTIATE_TEST_SUITE_P(Clients, NameTableClients,
                         ::testing::Values("ftplib", "curl-ftp", "http.client", "curl-http"),
                         [](const auto &info) {
                           std::string n = info.param;
                           for (auto &ch : n)
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return n;
                         });

TEST_P(NameTableClients, EveryCommandOnEveryNameReachesTheFileOfItsBytes) {
  REQUIRE_PEER(testsupport::program("/usr/bin/curl", "curl"));
  delegate->startFTPServer();
  ASSERT_NE(delegate->ftpServerListener(), nullptr);
  ftpPort = delegate->ftpServerListener()->port();
  const std::string table = file("table");
  ::mkdir(table.c_str(), 0755);
  local = tmp_->file("client");
  ::mkdir(local.c_str(), 0755);

  nametable::Peer peer;
  peer.label = std::string(web() ? "our web server" : "our FTP server") + " with " + GetParam();
  peer.localRoot = local;
  peer.act = [this](const Cell &c, Outcome &o) { act(c, o); };
  const bool isWeb = web();
  peer.leftOut = [isWeb](const Cell &c) -> std::optional<std::string> {
    if (!*commandOf(c.action.action, isWeb))
      return isWeb ? "the web server offers no such action" : "no such FTP command here";
    // An upload's name of blanks alone names no file on our web server.
    if (isWeb && c.action.action == Action::EditSave &&
        c.name.bytes.find_first_not_of(' ') == std::string::npos)
      return "an upload's name of blanks alone names no file on our web server";
    // Our FTP server takes a path of blanks alone for none at all (it never names the folder the
    // client is in): such a file is out of an FTP client's reach there.
    if (!isWeb && c.name.bytes.find_first_not_of(' ') == std::string::npos)
      return "a path of blanks alone names nothing on our FTP server";
    // An FTP command ends at the line break, and so does a line of a listing; so does a header
    // line of an upload's part, where the name travels.
    if (c.name.bytes.find('\n') != std::string::npos &&
        (!isWeb || c.action.action == Action::EditSave))
      return isWeb ? "an upload's header cannot carry a line break"
                   : "FTP commands cannot carry a line break";
    return std::nullopt;
  };
  auto tally = nametable::runTable(table, peer);
  EXPECT_EQ(tally.ran + int(tally.leftOut.size()), tally.cells);
  FTPServer::disconnectAll();
}

} // namespace
