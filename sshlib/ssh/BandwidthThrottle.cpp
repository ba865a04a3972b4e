#include "sshlib/ssh/BandwidthThrottle.h"

#include "sshlib/core/ProgressMonitor.h"
#include "sshlib/core/Psdk.h"
#include "sshlib/core/TickSource.h"

void (*BandwidthThrottle::sleepFn)(int ms) = &Psdk::sleepMs;

BandwidthThrottle::BandwidthThrottle()
    : windowStartMs(TickSource::now()), windowElapsedMs(0), windowBytes(0), maxBytesPerSec(0) {}

BandwidthThrottle::~BandwidthThrottle() = default;

void BandwidthThrottle::resetThrottle() {
  windowStartMs = TickSource::now();
  windowElapsedMs = 0;
  windowBytes = 0;
}

void BandwidthThrottle::addBytes32(unsigned int n) {
  if (maxBytesPerSec == 0) return;
  unsigned long long now = TickSource::now();
  if (now > windowStartMs) {
    windowElapsedMs = (long long)(now - windowStartMs);
    windowBytes += n;
  } else {
    // Same millisecond, or the clock went back or wrapped: start a new window.
    resetThrottle();
  }
}

unsigned int BandwidthThrottle::pauseNeededMs() {
  if (maxBytesPerSec == 0) return 0;
  addBytes32(0);
  // No judgement on less than 200 ms of data.
  if (windowElapsedMs < 200) return 0;
  unsigned long long scaled = windowBytes * 1000ULL;
  unsigned long long rate = scaled / (unsigned long long)windowElapsedMs;
  if (rate < (unsigned long long)maxBytesPerSec) return 0;
  unsigned long long due = scaled / (unsigned long long)maxBytesPerSec;
  if (due <= (unsigned long long)windowElapsedMs) return 0;
  unsigned long long wait = due - (unsigned long long)windowElapsedMs;
  return wait > 20000 ? 20000u : (unsigned int)wait;
}

void BandwidthThrottle::waitForGo(unsigned int heartbeatMs, ProgressMonitor *pm, bool &aborted) {
  aborted = false;
  unsigned int wait = pauseNeededMs();
  if (wait == 0) return;
  if (!pm || heartbeatMs == 0 || wait < heartbeatMs) {
    sleepFn((int)wait);
    return;
  }
  while (wait > 0) {
    unsigned int piece = wait < heartbeatMs ? wait : heartbeatMs;
    sleepFn((int)piece);
    wait -= piece;
    if (pm->heartbeatCheck(heartbeatMs, 0)) {
      aborted = true;
      return;
    }
  }
}
