// Listings made once for the requests that want them at the same time: who shares a text, who
// gets a new one (the folder changed, the servers reported a change, the text is too old or made
// for another moment), one maker at a time, and texts that go once no one holds them.
#include "app/sharing/SharedListing.h"

#include "tests/support/TestSupport.h"

#include "platform/foundation/Clock.h"
#include "platform/foundation/RunLoop.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace platform;
using namespace std::chrono_literals;
using sharing::SharedListing;
using sharing::SharedText;

namespace {

// A text of `steps` steps: "<name>#<n>" for the n-th text made under that name.
class CountingMaker : public sharing::ListingMaker {
public:
  CountingMaker(std::string text, int steps, WallTime from, WallTime until)
      : text_(std::move(text)), steps_(steps), from_(from), until_(until) {}
  bool step() override { return --steps_ <= 0; }
  std::string take() override { return text_; }
  WallTime sameFrom() const override { return from_; }
  WallTime sameUntil() const override { return until_; }

private:
  std::string text_;
  int steps_;
  WallTime from_, until_;
};

class SharedListingTest : public ::testing::Test {
protected:
  void SetUp() override {
    RunLoop::makeMainThread();
    clock = std::make_shared<ManualClock>();
    Clock::install(clock);
    tmp = std::make_unique<testsupport::TempDir>("ferrowen-shared-listing");
    folder = tmp->path() + "/folder";
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    ASSERT_TRUE(testsupport::writeFile(folder + "/a", "a"));
    // Dated back, so that any change of its entries, however soon, shows in its times.
    const timespec old[2] = {{946684800, 0}, {946684800, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, folder.c_str(), old, 0), 0);
  }
  void TearDown() override {
    held.clear();
    RunLoop::main()->runUntil([] { return SharedListing::shared().makersQueued() == 0; },
                              testsupport::scaled(10s));
    Clock::install(nullptr);
  }

  // Asks for `key` (a text of `steps` steps, the same for moments in [from, until]); the answer
  // lands in `held`, in order.
  size_t ask(const std::string &key, int steps = 3, WallTime at = WallTime{},
             WallTime from = WallTime::min(), WallTime until = WallTime::max(),
             const std::string &where = "") {
    const size_t slot = held.size();
    held.emplace_back();
    const std::string name = key + "#" + std::to_string(++made[key]);
    auto *into = &held;
    SharedListing::shared().request(
        key + tmp->path(), where.empty() ? folder : where, at,
        [=] { return std::make_unique<CountingMaker>(name, steps, from, until); },
        [into, slot](SharedText text, int) { (*into)[slot] = std::move(text); });
    return slot;
  }
  void settle() {
    RunLoop::main()->runUntil([] { return SharedListing::shared().makersQueued() == 0; },
                              testsupport::scaled(10s));
  }
  std::string text(size_t slot) const { return held[slot] ? *held[slot] : "(none)"; }

public:
  std::shared_ptr<ManualClock> clock;
  std::unique_ptr<testsupport::TempDir> tmp;
  std::string folder;
  std::vector<SharedText> held;
  std::map<std::string, int> made;
};

} // namespace

TEST_F(SharedListingTest, RequestsThatComeWhileATextIsMadeShareIt) {
  const uint64_t before = SharedListing::shared().textsBegun();
  const size_t first = ask("k");
  EXPECT_EQ(held[first], nullptr) << "three steps: not made at once";
  const size_t second = ask("k"), third = ask("k");
  settle();
  EXPECT_EQ(text(first), "k#1");
  EXPECT_EQ(held[first], held[second]);
  EXPECT_EQ(held[first], held[third]);
  EXPECT_EQ(SharedListing::shared().textsBegun() - before, 1u);
  // Within the reuse time, a held text serves later requests at once.
  const size_t later = ask("k");
  EXPECT_EQ(held[later], held[first]);
}

TEST_F(SharedListingTest, OneStepTextsAreAnsweredAtOnce) {
  const size_t slot = ask("small", 1);
  EXPECT_EQ(text(slot), "small#1");
  EXPECT_EQ(SharedListing::shared().makersQueued(), 0u);
}

// What makes a request get a text of its own, though an earlier one (still held) is at hand.
TEST_F(SharedListingTest, ChangesAgeAndMomentsMakeNewTexts) {
  const WallTime t0 = clock->wallNow();
  struct Case {
    const char *what;
    std::function<void(SharedListingTest &)> between;
    WallTime at;
  } cases[] = {
      {"the folder gained an entry",
       [](SharedListingTest &t) { ASSERT_TRUE(testsupport::writeFile(t.folder + "/b", "b")); }, t0},
      {"a server reported a change",
       [](SharedListingTest &) { SharedListing::shared().filesChanged(); }, t0},
      {"the text is older than the reuse time",
       [](SharedListingTest &t) { t.clock->advance(SharedListing::kReuseFor); }, t0},
      {"the request is for a moment the text does not read the same at", nullptr, t0 + 2h},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    held.clear();
    const std::string key = std::string("change-") + c.what;
    const size_t first = ask(key, 1, t0, t0 - 1h, t0 + 1h);
    ASSERT_EQ(text(first), key + "#1");
    const size_t again = ask(key, 1, t0, t0 - 1h, t0 + 1h);
    EXPECT_EQ(held[again], held[first]) << "shared before the change";
    if (c.between) c.between(*this);
    const size_t second = ask(key, 1, c.at, t0 - 1h, t0 + 1h);
    settle();
    EXPECT_EQ(text(second), key + "#3") << "made anew (by the third request)";
  }
}

// A request that joins a text being made, and whose moment the text turns out not to fit, gets a
// text of its own once that one is done; the others keep theirs.
TEST_F(SharedListingTest, AWaitingRequestOfAnotherMomentIsMadeAgain) {
  const WallTime t0 = clock->wallNow();
  const size_t first = ask("moment", 2, t0, t0 - 1h, t0 + 1h);
  const size_t other = ask("moment", 2, t0 + 3h, t0 - 1h, t0 + 1h);
  const size_t same = ask("moment", 2, t0 + 30min, t0 - 1h, t0 + 1h);
  settle();
  EXPECT_EQ(text(first), "moment#1");
  EXPECT_EQ(held[same], held[first]);
  EXPECT_NE(held[other], nullptr);
  EXPECT_NE(held[other], held[first]);
}

// A change while a text is being made: requests from then on wait for a new one; those that came
// before keep the one begun for them.
TEST_F(SharedListingTest, AChangeWhileMakingStartsANewTextForLaterRequests) {
  const size_t early = ask("busy", 4); // its first step runs at once
  SharedListing::shared().filesChanged();
  const size_t late = ask("busy", 4);
  settle();
  EXPECT_EQ(text(early), "busy#1");
  EXPECT_EQ(text(late), "busy#2");
}

TEST_F(SharedListingTest, OneMakerAtATimeAndTextsGoWithTheirLastHolder) {
  const size_t alive = SharedListing::shared().textsAlive();
  const size_t a = ask("one", 3),
               b = ask("two", 3, {}, WallTime::min(), WallTime::max(), tmp->path());
  EXPECT_EQ(SharedListing::shared().makersQueued(), 2u);
  RunLoop::main()->runUntil([&] { return held[a] != nullptr; }, testsupport::scaled(10s));
  EXPECT_EQ(held[b], nullptr) << "the second waits for the first";
  settle();
  EXPECT_EQ(text(b), "two#1");
  EXPECT_EQ(SharedListing::shared().textsAlive(), alive + 2);
  held.clear();
  EXPECT_EQ(SharedListing::shared().textsAlive(), alive);
  // Nothing holds the old text: the next request makes a new one.
  EXPECT_EQ(text(ask("one", 1)), "one#2");
}
