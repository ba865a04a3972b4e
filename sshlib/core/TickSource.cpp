#include "sshlib/core/TickSource.h"

#include <atomic>

#include "sshlib/core/Psdk.h"

namespace {
std::atomic<TickSource::Fn> g_source{nullptr};
}

unsigned int TickSource::now() {
  Fn fn = g_source.load(std::memory_order_relaxed);
  return fn ? fn() : Psdk::getTickCount();
}

void TickSource::setSource(Fn fn) {
  g_source.store(fn, std::memory_order_relaxed);
}
