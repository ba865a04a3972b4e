// Connections a sharing server will not take (it serves as many as it can bear already) are told
// so in the server's own protocol and closed gently: the reply goes out whole, what the client
// sent meanwhile is read and dropped, and the connection ends without a reset that could destroy
// the reply on its way.
//
// The places are shared among the addresses that want them: one address alone may take every
// place, but once all are taken a client of an address that holds fewer makes room by closing a
// connection of the address that holds the most, so no one address (a client that opens
// connections and never logs in, say) keeps the others out.
#pragma once

#include "platform/foundation/Clock.h"
#include "platform/net/SocketStream.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Sends `reply` on the accepted connection (streams neither opened nor scheduled) and closes it.
// Runs on the current run loop; nothing of it stays once the client has gone (or 30 s passed).
void refuseConnection(std::shared_ptr<platform::net::SocketInputStream> in,
                      std::shared_ptr<platform::net::SocketOutputStream> out,
                      const std::string &reply);

// Why a connection the process has no descriptor for (errorCode: EMFILE or ENFILE) is not taken,
// as each server's turn-away reply says it.
std::string cannotTakeConnection(int errorCode);

// The IPv4 address (host order) of a peer's socket address bytes; 0 when it is not an IPv4 one.
uint32_t peerIPv4Address(const std::vector<uint8_t> &sockaddrBytes);

// One connection that holds a place, as the share-out sees it.
struct PlaceHolder {
  uint32_t address = 0;
  // Past the first step (logged in, or its request head read): such a connection gives its place
  // up only after every one of its address that is not.
  bool settled = false;
  // Its last progress: of two alike, the one that waited longer gives its place up.
  platform::TimePoint lastProgress{};
};

// Which of `holders` (all places taken) closes so that a client of `newcomer` comes in: one of the
// address holding the most, when that holds at least two more than the newcomer's address (so
// that two addresses never take places from each other in turn). None (npos): the newcomer is
// refused.
size_t placeToFree(const std::vector<PlaceHolder> &holders, uint32_t newcomer);
