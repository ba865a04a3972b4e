// The passcode's keychain item and the reachability answers the connect screen relies on.
#include "app/foundation/KeychainWrapper.h"
#include "app/foundation/Reachability.h"

#include "FoundationFixture.h"

#include "platform/foundation/Log.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/RunLoop.h"
#include "tests/support/TimeScale.h"

#include <sys/stat.h>

using namespace platform;
using namespace platform::net;

namespace {

// The keychain file's identity: every write replaces the file, so a new inode means a write.
ino_t keychainInode() {
  struct stat st;
  return stat(Keychain::filePath().c_str(), &st) == 0 ? st.st_ino : 0;
}

class KeychainWrapperTest : public FoundationTest {};

} // namespace

TEST_F(KeychainWrapperTest, FirstWrapperReadsEmptyPasscodeAndWritesNothing) {
  KeychainWrapper wrapper;
  EXPECT_EQ(wrapper.objectForKey(kSecValueData), "");
  EXPECT_EQ(wrapper.objectForKey(kSecAttrService), "Ferrowen");
  EXPECT_EQ(wrapper.objectForKey(kSecAttrAccount), "bsdname");
  EXPECT_EQ(wrapper.objectForKey(kSecAttrLabel), "Name");
  EXPECT_EQ(wrapper.objectForKey(kSecAttrDescription), "FerrowenLock");
  EXPECT_EQ(wrapper.objectForKey(kSecAttrComment), "Ferrowen - Password Lock.");
  EXPECT_EQ(wrapper.objectForKey("nope"), std::nullopt);
  wrapper.setObject("", kSecValueData); // unchanged
  wrapper.setObject(std::nullopt, kSecValueData);
  KeychainItem item;
  EXPECT_EQ(Keychain::copyMatching(wrapper.genericPasswordQuery(), &item),
            KeychainStatus::ItemNotFound);
  EXPECT_EQ(keychainInode(), 0u) << "no keychain file was written";
}

TEST_F(KeychainWrapperTest, SameValueWritesOnceAndLaterWrappersReadIt) {
  KeychainWrapper first;
  first.setObject("4711", kSecValueData);
  ino_t afterFirstWrite = keychainInode();
  ASSERT_NE(afterFirstWrite, 0u);
  first.setObject("4711", kSecValueData);
  EXPECT_EQ(keychainInode(), afterFirstWrite) << "an unchanged value is not written again";

  KeychainWrapper second;
  EXPECT_EQ(second.objectForKey(kSecValueData), "4711");
  second.setObject("0815", kSecValueData);
  EXPECT_NE(keychainInode(), afterFirstWrite);
  EXPECT_EQ(KeychainWrapper().objectForKey(kSecValueData), "0815");

  // The stored secret is the UTF-8 text, the item tagged with the identifier.
  KeychainItem item;
  ASSERT_EQ(Keychain::copyMatching(second.genericPasswordQuery(), &item), KeychainStatus::Success);
  EXPECT_EQ(std::string(item.data.begin(), item.data.end()), "0815");
  std::string tag(item.attributes.generic->begin(), item.attributes.generic->end());
  EXPECT_TRUE(tag.size() > 13 && tag.substr(tag.size() - 13) == ".KeychainLock") << tag;

  // Clearing the passcode keeps the item with an empty value.
  second.setObject("", kSecValueData);
  KeychainWrapper third;
  EXPECT_EQ(third.objectForKey(kSecValueData), "");
  EXPECT_EQ(Keychain::copyMatching(third.genericPasswordQuery(), &item), KeychainStatus::Success);
}

TEST_F(KeychainWrapperTest, ResetDeletesTheItemAndNextSetCreatesItAgain) {
  KeychainWrapper wrapper;
  wrapper.setObject("1234", kSecValueData);
  wrapper.resetKeychainItem();
  EXPECT_EQ(wrapper.objectForKey(kSecValueData), "");
  KeychainItem item;
  EXPECT_EQ(Keychain::copyMatching(wrapper.genericPasswordQuery(), &item),
            KeychainStatus::ItemNotFound);
  wrapper.setObject("9", kSecValueData);
  EXPECT_EQ(KeychainWrapper().objectForKey(kSecValueData), "9");
}

TEST_F(KeychainWrapperTest, UnwritableKeychainKeepsTheValueForThisRun) {
  // The keychain file's place is taken by a folder: writing fails.
  ASSERT_EQ(mkdir(Keychain::filePath().c_str(), 0700), 0);
  LogCapture log(Log::Sink::System);
  KeychainWrapper wrapper;
  wrapper.setObject("2468", kSecValueData);
  EXPECT_TRUE(log.contains("Couldn't add the Keychain Item."));
  EXPECT_EQ(wrapper.objectForKey(kSecValueData), "2468");
}

// --- Reachability ---

namespace {

class ReachabilityAppTest : public ::testing::Test {
protected:
  void SetUp() override {
    RunLoop::makeMainThread();
    Reachability::sharedReachability().reset();
  }
  void TearDown() override {
    Reachability::sharedReachability().reset();
    NetworkReachability::setFactsSource(nullptr);
    RunLoop::main()->runPending();
  }
  // Every query answers these flags.
  void answer(uint32_t internet, uint32_t linkLocal, uint32_t host = 0) {
    Reachability::sharedReachability().setFlagsSourceForTesting(
        [=, this](const std::string &text, uint32_t &flags) {
          asked.push_back(text);
          flags = text == "0.0.0.0" ? internet : text == "169.254.0.0" ? linkLocal : host;
          return true;
        });
  }
  std::vector<std::string> asked;
};

constexpr uint32_t R = ReachabilityReachable, CR = ReachabilityConnectionRequired,
                   T = ReachabilityTransientConnection, D = ReachabilityIsDirect,
                   W = ReachabilityIsWWAN;

} // namespace

TEST_F(ReachabilityAppTest, FlagsMapToStatuses) {
  auto &r = Reachability::sharedReachability();
  EXPECT_TRUE(Reachability::isReachableWithoutRequiringConnection(R));
  EXPECT_FALSE(Reachability::isReachableWithoutRequiringConnection(R | CR));
  EXPECT_TRUE(Reachability::isReachableWithoutRequiringConnection(R | CR | W));
  EXPECT_FALSE(Reachability::isReachableWithoutRequiringConnection(CR | W));

  answer(R, 0);
  EXPECT_EQ(r.internetConnectionStatus(), ReachableViaWiFiNetwork);
  answer(R | T, 0);
  EXPECT_EQ(r.internetConnectionStatus(), ReachableViaCarrierDataNetwork);
  answer(R | CR, 0);
  EXPECT_EQ(r.internetConnectionStatus(), NotReachable) << "a connection would be needed";
  answer(R | CR | W | T, 0);
  EXPECT_EQ(r.internetConnectionStatus(), ReachableViaCarrierDataNetwork);
  // An ad-hoc Wi-Fi without internet: the internet is direct, so not reachable, while the local
  // network is (the connect screen still lets the user log in).
  answer(R | D, R | D);
  EXPECT_EQ(r.internetConnectionStatus(), NotReachable);
  EXPECT_EQ(r.localWiFiConnectionStatus(), ReachableViaWiFiNetwork);
  answer(R, R);
  EXPECT_EQ(r.localWiFiConnectionStatus(), NotReachable) << "not direct: not an ad-hoc network";
  uint32_t flags = 0;
  answer(R | CR, 0);
  EXPECT_FALSE(r.isNetworkAvailableFlags(&flags));
  EXPECT_EQ(flags, R | CR) << "the flags come back even when not available";
}

TEST_F(ReachabilityAppTest, RemoteHostUsesHostNameThenAddress) {
  auto &r = Reachability::sharedReachability();
  LogCapture log(Log::Sink::System);
  EXPECT_EQ(r.remoteHostStatus(), NotReachable);
  EXPECT_TRUE(log.contains("No hostName or address specified. Cannot determine reachability."));

  answer(0, 0, R | T);
  r.setAddress("192.168.1.20");
  EXPECT_EQ(r.remoteHostStatus(), ReachableViaCarrierDataNetwork);
  EXPECT_EQ(asked.back(), "192.168.1.20");
  r.setHostName("www.example.org");
  answer(0, 0, R);
  EXPECT_EQ(r.remoteHostStatus(), ReachableViaWiFiNetwork);
  EXPECT_EQ(asked.back(), "www.example.org");
  EXPECT_TRUE(r.isHostReachable("ftp.example.org"));
  EXPECT_FALSE(r.isHostReachable(""));

  r.setHostName("");
  r.setAddress("300.1.1.1");
  EXPECT_EQ(r.remoteHostStatus(), NotReachable);
  EXPECT_TRUE(log.contains("Failed to convert an IP address string to a sockaddr_in: 300.1.1.1"));
  EXPECT_EQ(r.reachabilityRefForAddress(""), nullptr);
  uint32_t ip = 0;
  EXPECT_TRUE(Reachability::addressFromString("169.254.0.0", &ip));
  EXPECT_EQ(ip, 0xA9FE0000u);
}

TEST_F(ReachabilityAppTest, RepeatedQuestionsReuseTheCachedQuery) {
  auto &r = Reachability::sharedReachability();
  answer(R, 0);
  r.internetConnectionStatus();
  auto ref = r.reachabilityRefForAddress("0.0.0.0");
  r.internetConnectionStatus();
  r.internetConnectionStatus();
  EXPECT_EQ(r.reachabilityQueries().size(), 1u);
  EXPECT_EQ(r.reachabilityRefForAddress("0.0.0.0"), ref);
  r.localWiFiConnectionStatus();
  EXPECT_EQ(r.reachabilityQueries().size(), 2u);
  // Notifications off: nothing is scheduled.
  for (auto &[text, query] : r.reachabilityQueries())
    EXPECT_TRUE(query->runLoops.empty()) << text;
}

TEST_F(ReachabilityAppTest, PlatformFactsOfAnAdHocNetwork) {
  // Only a link-local address and no default route.
  NetworkReachability::setFactsSource([]() -> std::optional<NetworkFacts> {
    NetworkFacts facts;
    InterfaceAddress a;
    a.interfaceName = "wlan0";
    a.address = 0xA9FE0A0B; // 169.254.10.11
    a.netmask = 0xFFFF0000;
    facts.addresses.push_back(a);
    return facts;
  });
  auto &r = Reachability::sharedReachability();
  EXPECT_EQ(r.internetConnectionStatus(), NotReachable);
  EXPECT_EQ(r.localWiFiConnectionStatus(), ReachableViaWiFiNetwork);
}

TEST_F(ReachabilityAppTest, WatchedQueriesPostChangesAndStopListening) {
  NetworkFacts facts;
  facts.hasDefaultRoute = false;
  NetworkReachability::setFactsSource([&]() -> std::optional<NetworkFacts> { return facts; });
  auto &r = Reachability::sharedReachability();
  r.setNetworkStatusNotificationsEnabled(true);
  int posted = 0;
  int observer = 0;
  NotificationCenter::defaultCenter().addObserver(&observer,
                                                  kNetworkReachabilityChangedNotification, nullptr,
                                                  [&](const Notification &) { ++posted; });
  EXPECT_EQ(r.internetConnectionStatus(), NotReachable);
  auto query = r.reachabilityQueries().at("0.0.0.0");
  ASSERT_EQ(query->runLoops.size(), 1u);
  EXPECT_TRUE(query->isScheduledOnRunLoop(RunLoop::current()));
  r.internetConnectionStatus();
  EXPECT_EQ(query->runLoops.size(), 1u) << "scheduled once per run loop";

  facts.hasDefaultRoute = true;
  NetworkReachability::factsChanged();
  EXPECT_TRUE(RunLoop::current()->runUntil([&] { return posted > 0; },
                                           testsupport::scaled(std::chrono::seconds(20))));
  EXPECT_EQ(r.internetConnectionStatus(), ReachableViaWiFiNetwork);

  r.stopListeningForReachabilityChanges();
  EXPECT_TRUE(query->runLoops.empty());
  EXPECT_FALSE(query->reachabilityRef->isScheduledOn(RunLoop::current()));
  NotificationCenter::defaultCenter().removeObserver(&observer);
}
