// How much longer every wait of a test may take: a build that runs everything slower (the
// ThreadSanitizer build) has a time scale, FERROWEN_TEST_TIME_SCALE. Every test program carries
// its build's (WorkerThreadsEnd.cpp); the environment's, when set, stands over it. Every deadline
// a test waits to (a condition, a port, a child, a watchdog) goes through `scaled`; what a test
// measures of the program (a limit the program keeps) does not.
#pragma once

#include <chrono>
#include <cstdlib>

// The build's scale, in the test programs that carry it (weak: other programs use 1).
extern "C" const int ferrowen_test_time_scale __attribute__((weak));

namespace testsupport {

inline int timeScale() {
  static const int scale = [] {
    const char *text = std::getenv("FERROWEN_TEST_TIME_SCALE");
    const long n = text && *text               ? std::strtol(text, nullptr, 10)
                   : &ferrowen_test_time_scale ? ferrowen_test_time_scale
                                               : 1;
    return n >= 1 && n <= 1000 ? static_cast<int>(n) : 1;
  }();
  return scale;
}

// A wait's limit, scaled.
template <class Rep, class Period>
std::chrono::duration<Rep, Period> scaled(std::chrono::duration<Rep, Period> limit) {
  return limit * timeScale();
}

} // namespace testsupport
