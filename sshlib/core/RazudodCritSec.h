#pragma once

// Lock base of the public objects. The library does no locking: every object is used by one thread
// at a time, and the pair below only brackets public operations.
class RazudodCritSec {
public:
  RazudodCritSec() = default;
  virtual ~RazudodCritSec() = default;

  void enterCriticalSection() {}
  void leaveCriticalSection() {}
};
