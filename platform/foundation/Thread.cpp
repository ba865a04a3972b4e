#include "platform/foundation/Thread.h"

#include <pthread.h>

namespace platform {

void setCurrentThreadName(const std::string &name) {
  pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

std::string currentThreadName() {
  char buf[32] = {};
  pthread_getname_np(pthread_self(), buf, sizeof buf);
  return buf;
}

} // namespace platform
