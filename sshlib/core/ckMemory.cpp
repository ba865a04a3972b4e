#include "sshlib/core/ckMemory.h"

#include <cstdio>
#include <cstdlib>
#include <new>

namespace {
thread_local int t_failNext = 0;
}

unsigned char *ckNewBytes(size_t n) {
  if (t_failNext > 0) {
    --t_failNext;
    return nullptr;
  }
  if (n == 0) n = 1;
  return new (std::nothrow) unsigned char[n];
}

void ckFreeBytes(void *p) {
  delete[] static_cast<unsigned char *>(p);
}

void ckFailNextAllocations(int count) {
  t_failNext = count < 0 ? 0 : count;
}

void ckFatalInternalError(const char *what) {
  std::fprintf(stderr, "Fatal internal error: %s\n", what ? what : "corrupt object");
  std::fflush(stderr);
  std::abort();
}
