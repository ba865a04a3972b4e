// One download, upload or folder listing through the FTP connection, timed: the client half of
// bench/compare.sh, which runs curl or lftp against the same server beside it. Prints
// "<seconds> <cpu-seconds>" (CPU of this whole process, every thread), timed after the login.
//
//   bench_ftp_client_transfer PORT download|upload|list REMOTE-FOLDER NAME LOCAL-FILE plain|tls
//
// A download saves NAME from REMOTE-FOLDER into a fresh temporary home and deletes it after; an
// upload sends LOCAL-FILE as NAME; a listing lists REMOTE-FOLDER (NAME and LOCAL-FILE unused) and
// prints its entry count on standard error. The server allows anonymous logins.
#include "app/foundation/SettingsKeys.h"
#include "app/ftp/FTPConnection.h"

#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/UserDefaults.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

using namespace platform;

namespace {

double cpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto s = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  return s(usage.ru_utime) + s(usage.ru_stime);
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 7) {
    std::fprintf(stderr,
                 "usage: %s PORT download|upload|list REMOTE-FOLDER NAME LOCAL-FILE plain|tls\n",
                 argv[0]);
    return 2;
  }
  const int port = std::atoi(argv[1]);
  const std::string direction = argv[2], folder = argv[3], name = argv[4], local = argv[5];
  const bool tls = std::string(argv[6]) == "tls";

  char home[] = "/tmp/ferrowen-ftpclient-XXXXXX";
  if (!::mkdtemp(home)) return 2;
  Paths::setHome(home);
  UserDefaults::resetStandard();
  RegisterDefaultSettings();
  RunLoop::makeMainThread();

  std::shared_ptr<FTPConnection> conn;
  std::atomic<bool> made{false};
  auto loop = startThread("ftp-bench", [&] {
    conn = std::make_shared<FTPConnection>();
    made = true;
  });
  RunLoop::main()->runUntil([&] { return made.load(); }, seconds(10));
  // A listing is timed on its own: the login then lists the top folder, not this one.
  conn->setServerAddress("127.0.0.1:" + std::to_string(port) + (direction == "list" ? "" : folder));
  conn->setLoginUser("anonymous");
  conn->setLoginPass("bench@");
  conn->setSkipSSL(!tls);
  conn->connect();
  const bool loggedIn = RunLoop::main()->runUntil(
      [&] { return conn->fIsLoggedIn() && !conn->isBusy(); }, seconds(30));
  if (!loggedIn || (tls && !conn->fSecureLogin())) {
    std::fprintf(stderr, "login failed:\n%s\n", conn->transferLog().c_str());
    return 1;
  }
  // The report of a transfer cut by the connect's own disconnect comes half a second later.
  RunLoop::main()->runUntil([] { return false; }, seconds(0.6));

  struct stat st {};
  const int64_t size = ::stat(local.c_str(), &st) == 0 ? int64_t(st.st_size) : 0;
  const double cpuBefore = cpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  const size_t logBefore = conn->transferLog().size();
  if (direction == "download")
    conn->downloadFile(name, size, false, true, folder, false, false, 0);
  else if (direction == "list")
    conn->changeDirectory(folder);
  else
    conn->uploadFile(name, local, folder, true, 0);
  RunLoop::main()->runUntil([] { return false; }, seconds(0.01));
  const bool done = RunLoop::main()->runUntil([&] { return !conn->isBusy(); }, seconds(900));
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = cpuSeconds() - cpuBefore;
  const bool failed = !done || conn->wasAnError();
  if (failed) std::fprintf(stderr, "transfer failed:\n%s\n", conn->transferLog().c_str());
  if (direction == "list") {
    const std::string log = conn->transferLog();
    const size_t at = log.find("*** Got ", log.size() > logBefore ? logBefore : 0);
    std::fprintf(stderr, "%s",
                 at == std::string::npos ? "no listing\n"
                                         : log.substr(at, log.find('\n', at) - at + 1).c_str());
  }

  std::atomic<bool> closed{false};
  loop->perform([&] {
    conn->disconnectFromServer();
    conn.reset();
    closed = true;
  });
  RunLoop::main()->runUntil([&] { return closed.load(); }, seconds(10));
  loop->stop();
  std::filesystem::remove_all(home);
  if (failed) return 1;
  std::printf("%.3f %.3f\n", elapsed, cpu);
  return 0;
}
