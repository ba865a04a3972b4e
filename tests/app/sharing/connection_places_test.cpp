// How the places of a sharing server are shared out among addresses once all are taken: who makes
// room for a newcomer, and when the newcomer is refused.
#include "app/sharing/ConnectionLimit.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

using namespace std::chrono_literals;

TEST(ConnectionPlaces, TheAddressHoldingTheMostMakesRoomItsWaitingConnectionsFirst) {
  const platform::TimePoint t0{};
  struct Case {
    const char *what;
    std::vector<PlaceHolder> holders;
    uint32_t newcomer;
    size_t freed; // npos: refused
  };
  const size_t refused = size_t(-1);
  const Case cases[] = {
      {"one address holds all: another gets in",
       {{2, true, t0 + 5s}, {2, false, t0 + 9s}, {2, false, t0 + 3s}, {2, true, t0 + 1s}},
       3,
       2},
      {"only settled ones: the one that waited longest",
       {{2, true, t0 + 5s}, {2, true, t0 + 1s}, {2, true, t0 + 3s}},
       3,
       1},
      {"the same address is refused", {{2, false, t0}, {2, false, t0}}, 2, refused},
      {"even shares are kept",
       {{2, false, t0}, {2, false, t0}, {3, false, t0}, {3, false, t0}},
       3,
       refused},
      {"one more than the newcomer's is its share",
       {{2, false, t0}, {2, false, t0}, {3, false, t0}},
       3,
       refused},
      {"two more: one goes",
       {{3, false, t0}, {2, false, t0 + 1s}, {2, false, t0}, {2, false, t0}},
       3,
       2},
      {"the heaviest of several gives",
       {{4, false, t0}, {2, false, t0}, {2, false, t0}, {4, false, t0}, {4, true, t0}},
       5,
       0},
      {"nothing held", {}, 3, refused},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(placeToFree(c.holders, c.newcomer), c.freed);
  }
}

TEST(ConnectionPlaces, AddressOfAPeerIsItsIPv4AddressOnly) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  ::inet_pton(AF_INET, "127.0.0.3", &sin.sin_addr);
  std::vector<uint8_t> bytes(sizeof sin);
  std::memcpy(bytes.data(), &sin, sizeof sin);
  EXPECT_EQ(peerIPv4Address(bytes), 0x7f000003u);
  EXPECT_EQ(peerIPv4Address({}), 0u);
  sin.sin_family = AF_INET6;
  std::memcpy(bytes.data(), &sin, sizeof sin);
  EXPECT_EQ(peerIPv4Address(bytes), 0u);
}
