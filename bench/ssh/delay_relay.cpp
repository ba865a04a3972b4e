// The delaying relay of the link bench (bench/ssh/sftp_link.sh) as a program: a loopback port in
// front of a server whose bytes reach the other side half a round trip late, each way. Prints its
// port on one line, then relays until it is stopped.
//
//   bench_delay_relay <server-port> <round-trip-ms>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "tests/support/DelayRelay.h"

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <server-port> <round-trip-ms>\n", argv[0]);
    return 2;
  }
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  testsupport::DelayRelay relay(std::atoi(argv[1]), std::chrono::milliseconds(std::atoi(argv[2])));
  std::printf("%d\n", relay.port());
  std::fflush(stdout);
  int sig = 0;
  sigwait(&stop, &sig);
  return 0;
}
