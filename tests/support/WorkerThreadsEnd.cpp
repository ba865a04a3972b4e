// Linked into every test program as an object of its own (a static library member nobody refers
// to would be left out, and with it the environment below).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "tests/support/TimeScale.h"

// The scale of this build's waits (tests/support/TimeScale.h).
extern "C" const int ferrowen_test_time_scale = FERROWEN_TEST_TIME_SCALE;

// A test program that used the platform's worker threads and dispatch queues ends them after its
// last test, before static objects are destroyed under a worker that is still handling an event
// or running a block. The reference is weak so that programs without the platform layer link this
// file as they are.
namespace platform {
bool stopWorkerThreads(std::chrono::milliseconds limit) __attribute__((weak));
} // namespace platform

namespace {
class WorkerThreadsEnd : public ::testing::Environment {
public:
  void TearDown() override {
    if (platform::stopWorkerThreads &&
        !platform::stopWorkerThreads(testsupport::scaled(std::chrono::seconds(10))))
      std::fprintf(stderr, "[ WARNING  ] background work still runs at the end of the program\n");
  }
};
[[maybe_unused]] ::testing::Environment *const workerThreadsEnd =
    ::testing::AddGlobalTestEnvironment(new WorkerThreadsEnd);
} // namespace
