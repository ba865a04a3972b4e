#include "app/sharing/ConnectionLimit.h"

#include "platform/foundation/RunLoop.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <unordered_map>

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

std::string cannotTakeConnection(int errorCode) {
  return "Cannot take the connection: " + std::string(std::strerror(errorCode)) +
         ". Please try again later.";
}

uint32_t peerIPv4Address(const std::vector<uint8_t> &sockaddrBytes) {
  if (sockaddrBytes.size() < sizeof(sockaddr_in)) return 0;
  sockaddr_in sin;
  std::memcpy(&sin, sockaddrBytes.data(), sizeof sin);
  if (sin.sin_family != AF_INET) return 0;
  return ntohl(sin.sin_addr.s_addr);
}

size_t placeToFree(const std::vector<PlaceHolder> &holders, uint32_t newcomer) {
  std::unordered_map<uint32_t, size_t> held;
  for (const auto &h : holders)
    ++held[h.address];
  uint32_t most = 0;
  size_t mostHeld = 0;
  for (const auto &[address, count] : held)
    if (count > mostHeld || (count == mostHeld && address < most)) most = address, mostHeld = count;
  const size_t newcomerHeld = held.count(newcomer) ? held[newcomer] : 0;
  if (mostHeld < newcomerHeld + 2) return size_t(-1);
  size_t chosen = size_t(-1);
  for (size_t i = 0; i < holders.size(); ++i) {
    const PlaceHolder &h = holders[i];
    if (h.address != most) continue;
    if (chosen == size_t(-1)) {
      chosen = i;
      continue;
    }
    const PlaceHolder &c = holders[chosen];
    if (h.settled != c.settled ? !h.settled : h.lastProgress < c.lastProgress) chosen = i;
  }
  return chosen;
}
