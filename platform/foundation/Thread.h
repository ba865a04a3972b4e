// Small thread helpers: names (seen in debuggers and `top -H`) and the recursive lock.
#pragma once

#include <string>

namespace platform {

// Names the calling thread (the system keeps the first 15 bytes).
void setCurrentThreadName(const std::string &name);
std::string currentThreadName();

} // namespace platform
