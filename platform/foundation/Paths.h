// Where Ferrowen keeps its data. FERROWEN_HOME (default $XDG_DATA_HOME/ferrowen, else
// ~/.local/share/ferrowen) holds Documents/, tmp/, Preferences.json and the keychain; resources
// (seed database, templates, images) are read from the resources folder.
#pragma once

#include <string>

namespace platform {

class Paths {
public:
  // The data root. Created (mode 0700) when missing.
  static std::string home();
  // home()/Documents and home()/tmp, created with their parents when missing.
  static std::string documents();
  static std::string tmp();
  // home()/Preferences.json (not created).
  static std::string preferencesFile();
  // FERROWEN_RESOURCES when set; else the resources folder of the installation
  // (<program>/../share/ferrowen/resources or <program>/resources); else that of the source tree.
  static std::string resources();

  // Tests give each case its own data root; an empty path returns to the environment's choice.
  static void setHome(const std::string &path);
  static void setResources(const std::string &path);
};

} // namespace platform
