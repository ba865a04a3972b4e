#include "app/sharing/ConnectionLimit.h"

#include "platform/foundation/RunLoop.h"

using namespace platform::net;

void refuseConnection(std::shared_ptr<SocketInputStream> in,
                      std::shared_ptr<SocketOutputStream> out, const std::string &reply) {
  if (!in || !out) return;
  const auto loop = platform::RunLoop::current();
  in->scheduleWithRunLoop(loop);
  out->scheduleWithRunLoop(loop);
  if (in->open() && out->open())
    out->writeLast(reinterpret_cast<const uint8_t *>(reply.data()), reply.size());
  // The pair finishes by itself: the reply leaves, then the socket closes once the client has.
  in->close();
  out->close();
}
