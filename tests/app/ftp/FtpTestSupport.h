// Shared set-up of the FTP connection tests: the main thread with a key window and a probe, a
// private data root, doubles of the application's services and of the folder screen, and a
// connection running on a thread of its own, as in the application.
#pragma once

#include "app/foundation/SettingsKeys.h"
#include "app/ftp/FTPConnection.h"
#include "tests/app/ftp/FtpConnectionThread.h"

#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/Probe.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace ftptest {

using namespace platform;

// Records every call the connection makes on the application's services, with the thread it came
// on (every one must be the main thread).
class ServicesDouble : public FTPAppServices {
public:
  std::shared_ptr<BatchQueueReceiver> batchView() override { return queue; }
  std::shared_ptr<DirViewerScreen> topDirViewer() override {
    note("topDirViewer");
    return top;
  }
  bool connectScreenOnTop() override { return connectOnTop; }
  void setProtocol(const std::string &p) override { note("protocol:" + p); }
  void activeTransfer() override { note("activeTransfer"); }
  void finishedTransfer() override { note("finishedTransfer"); }
  void showErrorForTopFtpTab(const std::string &page) override { note("page:" + page); }
  void popFtpTab(bool animated) override { note(animated ? "pop:animated" : "pop"); }
  void popFtpTabToRoot(bool) override { note("popToRoot"); }
  void pushHelpScreen(const std::string &title, const std::string &path, bool log) override {
    note("help:" + title + ":" + path + (log ? ":log" : ""));
  }

  std::vector<std::string> calls() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls_;
  }
  bool called(const std::string &what) {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto &c : calls_)
      if (c == what) return true;
    return false;
  }
  int offMainCalls() const { return offMain.load(); }

  std::shared_ptr<BatchQueueReceiver> queue;
  std::shared_ptr<DirViewerScreen> top;
  std::atomic<bool> connectOnTop{false};

private:
  void note(const std::string &what) {
    if (!RunLoop::isMainThread()) ++offMain;
    std::lock_guard<std::mutex> lock(mutex);
    calls_.push_back(what);
  }
  std::mutex mutex;
  std::vector<std::string> calls_;
  std::atomic<int> offMain{0};
};

// Takes the errors instead of the alerts.
class ErrorDelegate : public FTPConnectionDelegate {
public:
  bool handleError(FTPConnection &, const std::string &text) override {
    std::lock_guard<std::mutex> lock(mutex);
    errors.push_back(text);
    return true;
  }
  std::vector<std::string> taken() {
    std::lock_guard<std::mutex> lock(mutex);
    return errors;
  }
  std::mutex mutex;
  std::vector<std::string> errors;
};

// The connection with a window onto what the listing and the tasks see.
class TestConnection : public FTPConnection {
public:
  using FTPConnection::connectToServer;
  using FTPConnection::connectToServerData;
  using FTPConnection::doneBatchItem;
  using FTPConnection::updateViewWithError;
  using FTPConnection::updateViewWithFatalError;
  using FTPConnection::updateViewWithFileError;
  using FTPConnection::updateViewWithReply;

  std::string listing() {
    std::lock_guard<std::mutex> lock(listingMutex);
    return listing_;
  }
  int listingsDone() const { return listingsDone_.load(); }
  // Runs fn on the connection's thread (for reading its own fields in tests).
  void inThread(std::function<void(TestConnection &)> fn) {
    auto self = std::static_pointer_cast<TestConnection>(shared_from_this());
    onThread([self, fn] { fn(*self); });
  }
  std::string replyTextNow() const { return replies_.replyText; }
  bool dataOpen() const { return bool(data_); }
  // The line of a command state with the given task and fields (no connection needed).
  struct Fields {
    std::string user, pass;
    RemoteName fileToUpload, fileToDownload, rename, deleteName, cwd;
    std::string chmodTo, raw;
    int64_t resumeDownloadAt = 0, resumeUploadAt = 0, fileDownloadSize = 0;
    bool useRenames = true, skipRenames = false, folder = false;
  };
  std::string line(int task, int state, const Fields &f, const std::string &arg = "") {
    return commandFor(task, state, f, arg).text;
  }
  CommandLine commandFor(int task, int state, const Fields &f, const RemoteName &arg = {}) {
    setShared(loginUser_, f.user);
    setShared(loginPass_, f.pass);
    setShared(cwd_, f.cwd);
    fileToUpload_ = f.fileToUpload;
    fileToDownload_ = f.fileToDownload;
    renameFrom_ = renameTo_ = f.rename;
    deleteFilename_ = f.deleteName;
    toDeleteIsFolder_ = f.folder;
    chmodTo_ = f.chmodTo;
    chmodFilename_ = f.fileToUpload;
    rawCommand_ = f.raw;
    resumeDownloadAt_ = f.resumeDownloadAt;
    resumeUploadAt_ = f.resumeUploadAt;
    fileDownloadSize_ = f.fileDownloadSize;
    useRenames_ = f.useRenames;
    skipRenames_ = f.skipRenames;
    dataConnectionOpen_ = true;
    setTask(task);
    setState(state);
    return commandForState(arg);
  }
  int64_t fileDownloadSizeNow() const { return fileDownloadSize_; }
  using FTPConnection::sendCommandToStream;
  size_t pendingControlBytes() const { return pendingControlOut_.size(); }
  // Closes the control connection's write side under the connection's feet, then sends.
  void sendOnBrokenStream(const std::string &line) {
    if (control_.output) control_.output->close();
    sendCommandToStream(line);
  }
  bool hasPortListener() const { return bool(portServer_); }
  // The port taken for implicit FTPS (990 in the application): a test serves it on a free port.
  std::atomic<int> implicitTlsPort{990};
  // The TLS version of the control connection ("TLSv1.3"), empty without TLS.
  std::string controlTlsVersion() const {
    std::lock_guard<std::mutex> lock(sharedMutex_);
    return control_.input ? control_.input->tlsProtocolVersion() : std::string();
  }

protected:
  bool isImplicitTlsPort(int port) const override { return port == implicitTlsPort.load(); }
  void parseDirectoryListing() override {
    std::lock_guard<std::mutex> lock(listingMutex);
    listing_.append(dataReadData_.begin(), dataReadData_.end());
    dataReadData_.clear();
  }
  void doTaskDir() override {
    bool wasListing = iState_ == 16;
    FTPConnection::doTaskDir();
    if (wasListing && replies_.iReplyCode >= 200) ++listingsDone_;
  }

private:
  std::mutex listingMutex;
  std::string listing_;
  std::atomic<int> listingsDone_{0};
};

class FtpTest : public ::testing::Test {
protected:
  void SetUp() override {
    RunLoop::makeMainThread();
    Paths::setHome(home.path());
    UserDefaults::resetStandard();
    RegisterDefaultSettings();
    services = std::make_shared<ServicesDouble>();
    FTPAppServices::setShared(services);
    window = std::make_shared<ui::Window>(ui::Size{320, 480});
    window->makeKeyAndVisible();
    window->setRootViewController(std::make_shared<ui::ViewController>("RootView"));
    probe = std::make_unique<ui::Probe>(window);
  }

  void TearDown() override {
    stopConnection();
    FTPAppServices::setShared(nullptr);
    RunLoop::main()->runPending();
    Clock::install(nullptr);
    Paths::setHome("");
  }

  // A connection made on a thread of its own.
  std::shared_ptr<TestConnection> startConnection(bool mainConnection = true) {
    std::shared_ptr<TestConnection> made;
    std::mutex m;
    connLoop = startThread("ftp-connection", [&] {
      auto c = std::make_shared<TestConnection>();
      std::lock_guard<std::mutex> lock(m);
      made = c;
    });
    waitFor([&] {
      std::lock_guard<std::mutex> lock(m);
      return made != nullptr;
    });
    conn = made;
    conn->setMainConnection(mainConnection);
    return conn;
  }

  void stopConnection() { ftptest::stopConnectionOnItsThread(conn, connLoop); }

  bool waitFor(const std::function<bool()> &cond, double limitSeconds = 30) {
    return RunLoop::main()->runUntil(cond, testsupport::scaled(seconds(limitSeconds)));
  }
  bool logHas(const std::string &text) {
    return conn && conn->transferLog().find(text) != std::string::npos;
  }
  // Whether the server answered with `code`: a reply line that starts with it (the number alone
  // may stand in a passive port or a size).
  bool replied(const std::string &code) {
    const std::string log = conn ? conn->transferLog() : std::string();
    for (size_t pos = 0; pos < log.size();) {
      size_t end = log.find('\n', pos);
      if (end == std::string::npos) end = log.size();
      const std::string_view line(log.data() + pos, end - pos);
      if (line.size() > code.size() && line.starts_with(code) &&
          (line[code.size()] == ' ' || line[code.size()] == '-'))
        return true;
      pos = end + 1;
    }
    return false;
  }
  bool waitForLog(const std::string &text, double limitSeconds = 30) {
    return waitFor([&] { return logHas(text); }, limitSeconds);
  }
  // The commands of the transfer log, in order (">>> " lines without their line ends).
  std::vector<std::string> commandsSent() {
    std::vector<std::string> out;
    std::string log = conn->transferLog();
    size_t pos = 0;
    while ((pos = log.find(">>> ", pos)) != std::string::npos) {
      size_t end = log.find("\r\n", pos);
      out.push_back(log.substr(pos + 4, end - pos - 4));
      pos = end;
    }
    return out;
  }

  static std::string sourceDir() { return FERROWEN_SOURCE_DIR; }

  testsupport::TempDir home{"ferrowen-ftp"};
  std::shared_ptr<ServicesDouble> services;
  std::shared_ptr<ui::Window> window;
  std::unique_ptr<ui::Probe> probe;
  std::shared_ptr<RunLoop> connLoop;
  std::shared_ptr<TestConnection> conn;
};

} // namespace ftptest
