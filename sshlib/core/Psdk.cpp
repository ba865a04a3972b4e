#include "sshlib/core/Psdk.h"

#include <cstdint>

#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "sshlib/core/StringBuffer.h"

unsigned int Psdk::getTickCount() {
  struct timeval tv;
  if (gettimeofday(&tv, nullptr) != 0) return 0;
  const uint64_t ms =
      static_cast<uint64_t>(tv.tv_sec) * 1000u + static_cast<uint64_t>(tv.tv_usec) / 1000u;
  return static_cast<unsigned int>(ms);
}

void Psdk::sleepMs(int ms) {
  if (ms <= 0) return;
  struct timespec ts;
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) != 0) {
  }
}

int Psdk::getAnsiCodePage() {
  return 28591;
}

int Psdk::getOemCodePage() {
  return 28591;
}

void Psdk::getComputerName(StringBuffer &out) {
  out.clear();
  char name[256];
  if (gethostname(name, sizeof(name)) != 0) return;
  name[sizeof(name) - 1] = 0;
  out.append(name);
}

void Psdk::getUsername(StringBuffer &out) {
  out.clear();
  char name[256];
  if (getlogin_r(name, sizeof(name)) != 0) return;
  name[sizeof(name) - 1] = 0;
  out.append(name);
}
