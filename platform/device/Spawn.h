// Handing work to desktop programs (xdg-open, xdg-email): finding them on PATH and starting them
// with an argument vector (never through a shell), reaped in the background.
#pragma once

#include <string>
#include <vector>

namespace platform {

// The full path of an executable program found on PATH, or empty.
std::string findOnPath(const std::string &program);
// Starts argv[0] (a full path) with the arguments and the process's environment; does not wait
// for it. False when it could not be started.
bool spawnDetached(const std::vector<std::string> &argv);

} // namespace platform
