// Handing work to desktop programs (xdg-open, xdg-email): finding them on PATH and starting them
// with an argument vector (never through a shell), and learning whether they took the work.
#pragma once

#include "platform/foundation/Clock.h"

#include <functional>
#include <string>
#include <vector>

namespace platform {

// The full path of an executable program found on PATH, or empty.
std::string findOnPath(const std::string &program);
// Starts argv[0] (a full path) with the arguments and the process's environment; does not wait
// for it. False when it could not be started.
bool spawnDetached(const std::vector<std::string> &argv);

// How long a program handed some work is given to say it failed: one still running then has
// taken the work (a mail program showing its message, say).
inline constexpr Duration kHandOverWait = std::chrono::seconds(5);

// Starts argv[0] (a full path) like spawnDetached and tells `done`, once and on the main thread,
// whether the program took the work: yes when it ended with status 0 or still runs after `wait`;
// no, with the reason, when it could not be started, or ended otherwise within the wait. The
// program is reaped whenever it ends. Call on the main thread.
void spawnReported(const std::vector<std::string> &argv, Duration wait,
                   std::function<void(bool took, const std::string &why)> done);

} // namespace platform
