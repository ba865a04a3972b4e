// The millisecond tick read by progress reporting, rate measurement and data sources:
// Psdk::getTickCount, unless a test has put a source of its own in place.
#pragma once

class TickSource {
public:
  using Fn = unsigned int (*)();
  static unsigned int now();
  // A null source restores the system tick.
  static void setSource(Fn fn);
};
