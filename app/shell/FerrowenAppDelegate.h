// The application delegate. This is its hosting of the two Wi-Fi sharing servers of Saved Files:
// the web server on port 8080 and the FTP server on port 2121, each a listener that is published
// with Bonjour and turns every accepted connection into a client handler (WebServer, FTPServer);
// the inactivity timer that switches both off after "ActiveServerMinutes" idle minutes; the count
// of failed logins that switches sharing off after too many; and keeping the device awake while
// a server is in use. The start-up, the tabs and the rest of the lifecycle join it with the shell.
//
// Main thread only: the listeners, the client handlers' streams and the timer live on the main
// run loop.
#pragma once

#include "app/foundation/TCPServer.h"

#include "platform/device/Application.h"
#include "platform/foundation/RunLoop.h"

#include <functional>
#include <memory>
#include <string>

class FerrowenAppDelegate : public platform::ApplicationDelegate,
                            public TCPServerDelegate,
                            public std::enable_shared_from_this<FerrowenAppDelegate> {
public:
  static constexpr uint16_t kWebServerPort = 8080;
  static constexpr uint16_t kFTPServerPort = 2121;
  static constexpr const char *kWebServerIdentifier = "Ferrowen-WebServer";
  static constexpr const char *kFTPServerIdentifier = "Ferrowen-FTPServer";
  // From this many failed logins on, sharing is switched off.
  static constexpr int kBadLoginLimit = 11;

  FerrowenAppDelegate();
  ~FerrowenAppDelegate() override;

  // The application's delegate when it is one of these (null otherwise: the servers then report
  // their activity and failed logins to nobody).
  static std::shared_ptr<FerrowenAppDelegate> sharedDelegate();

  // --- Launch and lifecycle (the servers' share of them).
  bool didFinishLaunchingWithOptions(platform::Application &app,
                                     const platform::LaunchOptions &options) override;
  void applicationWillResignActive(platform::Application &app) override;
  void applicationDidBecomeActive(platform::Application &app) override;
  void applicationDidEnterBackground(platform::Application &app) override;
  void applicationWillTerminate(platform::Application &app) override;
  // Globals, registered settings, and the servers that the settings ask for.
  void startupStuff();
  // startWebServer / startFTPServer for each server whose setting ("WebServer", "FTPServer") is 1.
  void startServersFromSettings();

  // --- Hosting.
  void startWebServer();
  void startFTPServer();
  void stopWebServer();
  void stopFTPServer();
  // A client handler read or wrote something.
  void serverIsActive();
  void stopActiveServerTimer();
  void noActiveServers();
  // A client handler refused a login.
  void incrementBadLogins();

  // TCPServerDelegate.
  void
  didAcceptConnectionForServer(TCPServer &server,
                               std::shared_ptr<platform::net::SocketInputStream> in,
                               std::shared_ptr<platform::net::SocketOutputStream> out) override;
  void serverDidEnableBonjour(TCPServer &server, const std::string &name) override;
  void didNotEnableBonjour(TCPServer &server,
                           const std::map<std::string, long> &errorDict) override;

  // The Saved Files screen reloads when it is on top of its tab; the settings screen reloads its
  // table (where the server address is shown). The screens come with the shell and the local
  // files; until then these call the hooks below when set.
  void reloadSavedFilesScreen();
  void reloadSettingsTableView();
  std::function<void()> savedFilesChangedHook;
  std::function<void()> settingsReloadHook;

  // --- State.
  TCPServer *webServerListener() const { return webServerListener_.get(); }
  TCPServer *ftpServerListener() const { return ftpServerListener_.get(); }
  bool isActiveServerTimerArmed() const {
    return activeServerTimer_ && activeServerTimer_->isValid();
  }
  platform::TimerRef activeServerTimer() const { return activeServerTimer_; }
  int badLoginCount() const { return badLoginCount_; }
  const std::string &bonjourPhoneName() const { return bonjourPhoneName_; }
  bool applicationActive() const { return applicationActive_; }

private:
  void startServer(std::unique_ptr<TCPServer> &listener, uint16_t port, const char *identifier);
  void stopServer(std::unique_ptr<TCPServer> &listener);

  std::unique_ptr<TCPServer> webServerListener_;
  std::unique_ptr<TCPServer> ftpServerListener_;
  platform::TimerRef activeServerTimer_;
  int badLoginCount_ = 0;
  std::string bonjourPhoneName_;
  bool applicationActive_ = true;
};
