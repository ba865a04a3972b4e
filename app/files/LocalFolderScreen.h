// The Saved Files screen on top of its tab, as the transfer queue and the application shell reach
// it to show a file that has just arrived.
#pragma once

#include <string>

class LocalFolderScreen {
public:
  virtual ~LocalFolderScreen() = default;
  virtual std::string currentFolder() const = 0; // relative to Saved Files; empty at the top
  virtual void loadFolderData() = 0;
};
