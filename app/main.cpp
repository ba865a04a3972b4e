// The ferrowen program: starts the platform (data root, settings store, device profile, main run
// loop) and the application delegate, which builds the whole application (the five tabs, the
// transfer queue, the sharing servers that the settings ask for, the services every screen
// reaches), runs the main loop until SIGINT or SIGTERM, then lets the application terminate and
// writes the settings.
#include "app/queue/BatchListView.h"
#include "app/shell/FerrowenAppDelegate.h"
#include "app/shell/ShellConnect.h"

#include "platform/device/Application.h"
#include "platform/device/DeviceProfile.h"
#include "platform/device/ProgramInstance.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/Renderer.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

namespace {

const char kHelp[] =
    "Usage: ferrowen [--help] [ADDRESS-OR-FILE]\n"
    "\n"
    "Ferrowen: file transfer and file management (FTP, FTPS and SFTP client, transfer queue,\n"
    "local files, FTP and web sharing servers, editors).\n"
    "\n"
    "The program starts the application (its tabs, the transfer queue, the sharing servers) and\n"
    "runs until it receives SIGINT (Ctrl-C) or SIGTERM; it then saves the settings and exits\n"
    "with status 0. An ftp:// or ftps:// address given on the command line fills the connect\n"
    "fields; a file is copied into Saved Files (key files .rsa .dsa .ppk .pem into\n"
    "Files/PrivateKeys).\n"
    "A refused address (one without a server, or whose port is not 1 to 65535), a file that\n"
    "does not exist or an unknown argument ends it at once, with the reason and status 2.\n"
    "One program runs on a data folder: started again on it, ferrowen hands the address or\n"
    "file to the program running there and exits (status 0 once it was taken; 1, with the\n"
    "reason, when it could not be handed over or none was given).\n"
    "The FTP sharing server (port 2121) and the web sharing server (port 8080) serve\n"
    "Documents/Files when the settings \"FTPServer\" and \"WebServer\" are \"1\".\n"
    "\n"
    "Environment:\n"
    "  FERROWEN_HOME            data folder: Documents/, tmp/, Preferences.json, keychain\n"
    "                           (default $XDG_DATA_HOME/ferrowen, else ~/.local/share/ferrowen)\n"
    "  FERROWEN_RESOURCES       resources folder (default: the installed or built resources)\n"
    "  FERROWEN_DEBUG           when set (not 0), debug output also goes to standard error\n"
    "  FERROWEN_PORT_OVERRIDES  other ports for the fixed ones, e.g. 2121=2221,8080=0 (0: any)\n"
    "  FERROWEN_RENDERER        0: no browser front end (default: on; the program prints the\n"
    "                           address to open, on 127.0.0.1 behind a random token)\n"
    "  FERROWEN_RENDERER_PORT   the front end's port (default: any free port)\n"
    "Device profile (default: a current iPhone):\n"
    "  FERROWEN_DEVICE          iphone | ipad\n"
    "  FERROWEN_SYSTEM_VERSION  system version, e.g. 5.1.1\n"
    "  FERROWEN_PLATFORM        hardware identifier, e.g. iPhone4,1\n"
    "  FERROWEN_MODEL           model name, e.g. iPhone\n"
    "  FERROWEN_SCREEN          screen size in points (portrait), WIDTHxHEIGHT, e.g. 320x480\n"
    "  FERROWEN_SCALE           screen scale, e.g. 2\n"
    "  FERROWEN_ORIENTATION     portrait | upside-down | landscape-left | landscape-right |\n"
    "                           face-up | face-down\n"
    "  FERROWEN_MULTITASKING    1 | 0: whether background tasks are offered (default 1)\n";

// What the system hands to the application at launch: an address as it stands, a file as a file
// address.
std::string launchAddress(const std::string &argument) {
  if (argument.find("://") != std::string::npos) return argument;
  char *full = ::realpath(argument.c_str(), nullptr);
  if (!full) return {};
  std::string path = full;
  std::free(full);
  return "file://" + platform::addPercentEscapes(path);
}

// Every client of the sharing servers holds descriptors (its connection, a passive listener, a data
// connection, a file), and the usual soft limit of 1024 runs out long before the program does; the
// hard limit is what the system grants this process, so the program takes all of it.
void raiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
    std::fprintf(stderr, "ferrowen: cannot raise the open-files limit: %s\n", std::strerror(errno));
}

// The program; `workLeftBehind` is set when background work did not end in time.
int runProgram(int argc, char **argv, bool &workLeftBehind) {
  std::string handedIn;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (argv[i][0] != '-' && handedIn.empty()) {
      handedIn = launchAddress(argv[i]);
      if (const std::string why = FerrowenAppDelegate::refusedAddress(handedIn); !why.empty()) {
        std::fprintf(stderr, "ferrowen: the address is not taken: %s\n", why.c_str());
        return 2;
      }
      if (!handedIn.empty()) continue;
      std::fprintf(stderr, "ferrowen: no such file \"%s\"\n", argv[i]);
      return 2;
    }
    std::fprintf(stderr, "ferrowen: unknown argument \"%s\" (see ferrowen --help)\n", argv[i]);
    return 2;
  }

  raiseDescriptorLimit();

  // One program per data folder: a second start hands its address or file to the running one
  // and ends, as the system hands them to an application that is already open.
  const std::string home = platform::Paths::home();
  auto claim = platform::ProgramInstance::claim(home);
  std::unique_ptr<platform::ProgramInstance> instance = std::move(claim.instance);
  if (!instance && !claim.heldElsewhere) {
    std::fprintf(stderr, "ferrowen: %s\n", claim.error.c_str());
    return 1;
  }
  if (!instance) {
    if (handedIn.empty()) {
      std::fprintf(stderr,
                   "ferrowen: Ferrowen already runs on the data folder %s (a second start only "
                   "hands it an address or a file)\n",
                   home.c_str());
      return 1;
    }
    std::string why;
    if (platform::ProgramInstance::handOver(home, handedIn, why, instance)) {
      std::printf("ferrowen: handed to the Ferrowen running on the data folder %s\n", home.c_str());
      return 0;
    }
    if (!instance) {
      std::fprintf(stderr,
                   "ferrowen: cannot hand it to the Ferrowen running on the data folder %s: %s\n",
                   home.c_str(), why.c_str());
      return 1;
    }
    // The running one ended meanwhile: this start is the program now.
  }

  // SIGINT and SIGTERM are taken from a signal fd on the main run loop, so the stop is ordinary
  // work on the main thread. They are blocked before any thread starts, so every thread
  // inherits the mask and none of them is interrupted by them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  if (pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr) != 0) {
    std::perror("ferrowen: cannot block SIGINT/SIGTERM");
    return 1;
  }
  const int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signalFd < 0) {
    std::perror("ferrowen: signalfd");
    return 1;
  }

  // A peer that goes away mid-write must give the writer an error, not end the program.
  ::signal(SIGPIPE, SIG_IGN);

  platform::Log::system("Starting...");
  platform::RunLoop::makeMainThread();
  auto mainLoop = platform::RunLoop::main();

  std::vector<std::string> problems;
  platform::DeviceProfile::setCurrent(platform::DeviceProfile::fromEnvironment(&problems));
  for (const auto &p : problems)
    std::fprintf(stderr, "ferrowen: %s (ignored)\n", p.c_str());

  // The data root and its folders, then the settings read from it.
  platform::Paths::documents();
  platform::Paths::tmp();
  auto &defaults = platform::UserDefaults::standard();

  int stopSignal = 0;
  auto source = mainLoop->addFdSource(signalFd, unsigned(platform::FdEvent::Read), [&](unsigned) {
    signalfd_siginfo info;
    while (::read(signalFd, &info, sizeof info) == ssize_t(sizeof info)) {
      if (stopSignal == 0) stopSignal = int(info.ssi_signo);
    }
    if (stopSignal != 0) mainLoop->stop();
  });

  // The application delegate: at launch it builds the application and starts the sharing servers
  // whose settings ("WebServer", "FTPServer") are on.
  auto &app = platform::Application::shared();
  auto delegate = std::make_shared<FerrowenAppDelegate>();
  attachConnectScreen(delegate);
  app.setDelegate(delegate);
  app.launch({handedIn, {}});
  // What later starts on this data folder hand over arrives as an address opened in the running
  // application.
  instance->serve([&app](const std::string &handed) -> std::optional<std::string> {
    if (handed.find("://") == std::string::npos) return "not an address or a file";
    if (std::string why = FerrowenAppDelegate::refusedAddress(handed); !why.empty()) return why;
    app.deliverOpenURL(handed);
    return std::nullopt;
  });
  // The browser front end, unless FERROWEN_RENDERER is 0 (it prints the address to open).
  auto renderer = platform::ui::startRenderer();
  // The page out of sight is the application no longer in front: what was typed is kept then,
  // not only at a stop (a page closed and a program killed lose nothing typed).
  if (renderer)
    renderer->setPageAway([weak = std::weak_ptr<FerrowenAppDelegate>(delegate)] {
      if (auto d = weak.lock()) d->pageWentAway();
    });
  mainLoop->run();

  platform::Log::system(std::string("Stopping (") + strsignal(stopSignal) + ")");
  instance->stopServing();
  app.terminate();
  source->remove();
  mainLoop->runPending();
  // The screens go with the window; the queue's connection threads end shortly after the queue.
  std::make_shared<platform::ui::Window>()->makeKeyAndVisible();
  app.setDelegate(nullptr);
  mainLoop->runUntil([] { return BatchListView::liveConnectionThreads() == 0; },
                     platform::seconds(5));
  // What still runs on workers (a history save, a picture conversion, a cloud read) ends before
  // anything it uses is destroyed, and the temporary files it registered are removed after it.
  // A worker stuck on the network is not waited for beyond the bound.
  if (!delegate->endBackgroundWork(std::chrono::seconds(5))) {
    platform::Log::system("Stopping: background work that did not end in time is left behind");
    workLeftBehind = true;
  }
  ::close(signalFd);

  if (!defaults.synchronize()) {
    std::fprintf(stderr, "ferrowen: the settings could not be saved to %s\n",
                 defaults.file().c_str());
    return 1;
  }
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  bool workLeftBehind = false;
  const int status = runProgram(argc, argv, workLeftBehind);
  if (workLeftBehind) {
    // Work that is still running may use the static objects: they are not destroyed under it.
    // The settings and the files are written by now.
    std::fflush(nullptr);
    std::_Exit(status);
  }
  return status;
}
