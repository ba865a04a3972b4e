// What the sharing servers tell the application they run in: a client is active (the device stays
// awake), a login was refused (it counts towards the lock-out), a file arrived (Saved Files
// reloads). The application's delegate is the host; without one the servers simply run on.
// Main thread.
#pragma once

#include <memory>

class SharingHost {
public:
  virtual ~SharingHost() = default;
  virtual void serverIsActive() = 0;
  virtual void incrementBadLogins() = 0;
  virtual void reloadSavedFilesScreen() = 0;

  // The application's delegate when it is a host, else none.
  static std::shared_ptr<SharingHost> current();
};
