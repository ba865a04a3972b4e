#include "app/shell/FerrowenAppDelegate.h"

#include "app/foundation/Globals.h"
#include "app/foundation/SettingsKeys.h"
#include "app/shell/FTPServer.h"
#include "app/shell/WebServer.h"

#include "platform/foundation/Log.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/Presentation.h"

using namespace platform;

namespace {

UserDefaults &settings() {
  return globalUserDefaults ? *globalUserDefaults : UserDefaults::standard();
}

} // namespace

FerrowenAppDelegate::FerrowenAppDelegate() {
  Log::debug("AppDelegate.init");
}

FerrowenAppDelegate::~FerrowenAppDelegate() {
  if (activeServerTimer_) activeServerTimer_->invalidate();
  stopServer(webServerListener_);
  stopServer(ftpServerListener_);
}

std::shared_ptr<FerrowenAppDelegate> FerrowenAppDelegate::sharedDelegate() {
  return std::dynamic_pointer_cast<FerrowenAppDelegate>(Application::shared().delegate());
}

// --- Launch and lifecycle ---------------------------------------------------------------------

bool FerrowenAppDelegate::didFinishLaunchingWithOptions(Application &, const LaunchOptions &) {
  startupStuff();
  return true;
}

void FerrowenAppDelegate::startupStuff() {
  Log::debug("AppDelegate.applicationDidFinishLaunching");
  bonjourPhoneName_.clear();
  InitGlobals();
  RegisterDefaultSettings();
  startServersFromSettings();
}

void FerrowenAppDelegate::startServersFromSettings() {
  if (settings().integerForKey(kWebServerKey) == 1) startWebServer();
  if (settings().integerForKey(kFTPServerKey) == 1) startFTPServer();
}

void FerrowenAppDelegate::applicationWillResignActive(Application &) {
  applicationActive_ = false;
  stopFTPServer();
  stopWebServer();
  stopActiveServerTimer();
}

void FerrowenAppDelegate::applicationDidBecomeActive(Application &) {
  applicationActive_ = true;
  startServersFromSettings();
}

void FerrowenAppDelegate::applicationDidEnterBackground(Application &) {
  stopWebServer();
  stopFTPServer();
  stopActiveServerTimer();
}

void FerrowenAppDelegate::applicationWillTerminate(Application &) {
  stopWebServer();
  stopFTPServer();
  stopActiveServerTimer();
  FTPServer::disconnectAll();
  WebServer::disconnectAll();
}

// --- Hosting --------------------------------------------------------------------------------

void FerrowenAppDelegate::startWebServer() {
  startServer(webServerListener_, kWebServerPort, kWebServerIdentifier);
}

void FerrowenAppDelegate::startFTPServer() {
  startServer(ftpServerListener_, kFTPServerPort, kFTPServerIdentifier);
}

void FerrowenAppDelegate::startServer(std::unique_ptr<TCPServer> &listener, uint16_t port,
                                      const char *identifier) {
  if (listener) return;
  listener = std::make_unique<TCPServer>();
  listener->setUseAssignedPort(port);
  listener->setDelegate(weak_from_this());
  TCPServerError error;
  if (!listener->start(&error)) {
    // The listener stays: the server counts as on until it is switched off.
    Log::systemf("Failed creating server: Error Domain=%s Code=%d \"%s\"", error.domain.c_str(),
                 error.code, error.description.c_str());
  }
  auto type = TCPServer::bonjourTypeFromIdentifier(identifier);
  if (!type || !listener->enableBonjourWithDomain("local", *type, ""))
    Log::system("Failed advertising server");
}

void FerrowenAppDelegate::stopWebServer() {
  stopServer(webServerListener_);
}
void FerrowenAppDelegate::stopFTPServer() {
  stopServer(ftpServerListener_);
}

void FerrowenAppDelegate::stopServer(std::unique_ptr<TCPServer> &listener) {
  if (!listener) return;
  listener->stop();
  listener.reset();
}

void FerrowenAppDelegate::serverIsActive() {
  stopActiveServerTimer();
  int minutes = settings().integerForKey(kActiveServerMinutesKey);
  if (minutes >= 1) {
    std::weak_ptr<FerrowenAppDelegate> weak = weak_from_this();
    activeServerTimer_ =
        RunLoop::main()->addTimer(seconds(double(minutes) * 60.0), false, [weak](Timer &) {
          if (auto self = weak.lock()) self->noActiveServers();
        });
  }
  Application::shared().setIdleTimerDisabled(true);
}

void FerrowenAppDelegate::stopActiveServerTimer() {
  if (activeServerTimer_) activeServerTimer_->invalidate();
  activeServerTimer_.reset();
}

void FerrowenAppDelegate::noActiveServers() {
  if (settings().integerForKey(kActiveServerMinutesKey) > 0) {
    stopFTPServer();
    stopWebServer();
  }
  Application::shared().setIdleTimerDisabled(false);
  activeServerTimer_.reset();
}

void FerrowenAppDelegate::incrementBadLogins() {
  ++badLoginCount_;
  if (badLoginCount_ < kBadLoginLimit) return;
  stopWebServer();
  stopFTPServer();
  auto alert = std::make_shared<ui::AlertView>(
      "Too Many Bad Logins",
      "There have been too many bad login attempts to the Web/FTP service.  Turning off the "
      "sharing of your \"Saved Files\".",
      std::weak_ptr<ui::AlertViewDelegate>(), "OK");
  alert->showOnMainThread();
}

void FerrowenAppDelegate::didAcceptConnectionForServer(
    TCPServer &server, std::shared_ptr<net::SocketInputStream> in,
    std::shared_ptr<net::SocketOutputStream> out) {
  if (&server == webServerListener_.get()) {
    auto handler = std::make_shared<WebServer>();
    handler->didAcceptConnectionForServer(server, std::move(in), std::move(out));
  } else if (&server == ftpServerListener_.get()) {
    auto handler = std::make_shared<FTPServer>();
    handler->didAcceptIncomingConnection(server, std::move(in), std::move(out));
  }
}

void FerrowenAppDelegate::serverDidEnableBonjour(TCPServer &, const std::string &name) {
  Log::systemf("iPhone Name from Bonjour: %s", name.c_str());
  if (canBeConverted(name, Encoding::ASCII)) {
    bonjourPhoneName_ = name;
    settings().setObject(name, kiPhoneNameKey);
    settings().synchronize();
  }
  reloadSettingsTableView();
}

void FerrowenAppDelegate::didNotEnableBonjour(TCPServer &server,
                                              const std::map<std::string, long> &errorDict) {
  // The server still serves by address; only the log hears of it.
  auto code = errorDict.find("NSNetServicesErrorCode");
  Log::debugf("Bonjour did not publish port %u (error %ld)", unsigned(server.port()),
              code == errorDict.end() ? 0L : code->second);
}

void FerrowenAppDelegate::reloadSavedFilesScreen() {
  if (savedFilesChangedHook) savedFilesChangedHook();
}

void FerrowenAppDelegate::reloadSettingsTableView() {
  if (settingsReloadHook) settingsReloadHook();
}
