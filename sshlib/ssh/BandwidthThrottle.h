// Average-rate limiter of one direction of a socket.
#pragma once

class ProgressMonitor;

class BandwidthThrottle {
public:
  BandwidthThrottle();
  virtual ~BandwidthThrottle();

  void resetThrottle();
  // Counts bytes just moved.
  void addBytes32(unsigned int n);
  // Sleeps as long as needed to bring the average rate down to the limit.
  void waitForGo(unsigned int heartbeatMs, ProgressMonitor *pm, bool &aborted);
  // The pause waitForGo would take now (0 for none), after bringing the window up to date.
  unsigned int pauseNeededMs();

  // Bytes per second, 0 for no limit.
  void setMaxBytesPerSec(long long n) { maxBytesPerSec = n < 0 ? 0 : n; }

  unsigned long long windowStartMs;
  long long windowElapsedMs;
  unsigned long long windowBytes;
  long long maxBytesPerSec;

  // The sleep the throttle takes; tests put a recorder in its place.
  static void (*sleepFn)(int ms);
};
