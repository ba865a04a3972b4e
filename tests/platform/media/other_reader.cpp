// Another program on the cloud folder, for the tests of coordination across processes: it makes
// one coordinated read of an item and prints what it read ("read:" and the bytes), then the
// system log lines it wrote ("log:" each). With a hold file, the read lasts until that file
// exists (at most 20 s), so the test can look at the presenters while the read is under way.
// Usage: cloud_other_reader CONTAINER ITEM ANSWER-LIMIT-MS [HOLD-FILE]
#include "platform/foundation/Log.h"
#include "platform/media/CloudContainer.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

int main(int argc, char **argv) {
  if (argc != 4 && argc != 5) return 2;
  platform::CloudContainer::setFolder(argv[1]);
  platform::CloudContainer::setPresenterAnswerLimit(std::chrono::milliseconds(std::atoi(argv[3])));
  const std::string hold = argc == 5 ? argv[4] : "";
  platform::LogCapture log(platform::Log::Sink::System);
  std::string seen;
  const bool ran = platform::CloudContainer::coordinateReading(argv[2], [&](const std::string &p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    seen = all.str();
    std::printf("reading\n");
    std::fflush(stdout);
    for (int waited = 0; !hold.empty() && ::access(hold.c_str(), F_OK) != 0 && waited < 2000;
         ++waited)
      ::usleep(10000);
  });
  std::printf("read:%s\n", seen.c_str());
  for (const auto &line : log.lines())
    std::printf("log:%s\n", line.c_str());
  return ran ? 0 : 1;
}
