#include "tests/platform/net/NetTestSupport.h"

#include "platform/net/InterfaceAddresses.h"
#include "platform/net/NetworkReachability.h"
#include "tests/support/TimeScale.h"

#include <gtest/gtest.h>

using namespace platform;
using namespace platform::net;

namespace {

InterfaceAddress iface(const std::string &name, const std::string &address, const std::string &mask,
                       bool loopback = false) {
  InterfaceAddress a;
  a.interfaceName = name;
  a.address = *parseIPv4(address);
  a.netmask = *parseIPv4(mask);
  a.isLoopback = loopback;
  return a;
}

const uint32_t kAny = 0;
const uint32_t kLinkLocalNet = 0xA9FE0000;

class ReachabilityTest : public ::testing::Test {
protected:
  void SetUp() override {
    RunLoop::makeMainThread();
    loop = RunLoop::current();
    NetworkReachability::setFactsSource([this]() -> std::optional<NetworkFacts> {
      std::lock_guard lock(mutex);
      return facts;
    });
  }
  void TearDown() override {
    NetworkReachability::setFactsSource(nullptr);
    setInterfaceAddressSource(nullptr);
  }
  void setFacts(std::optional<NetworkFacts> f) {
    std::lock_guard lock(mutex);
    facts = std::move(f);
  }
  uint32_t flagsOf(const std::shared_ptr<NetworkReachability> &r) {
    uint32_t flags = 0xFFFFFFFF;
    EXPECT_TRUE(r->getFlags(flags));
    return flags;
  }

  std::mutex mutex;
  std::optional<NetworkFacts> facts;
  std::shared_ptr<RunLoop> loop;
};

NetworkFacts wifiWithRoute() {
  return {true,
          {iface("lo", "127.0.0.1", "255.0.0.0", true),
           iface("wlan0", "192.168.1.20", "255.255.255.0")}};
}
NetworkFacts adHocOnly() {
  return {
      false,
      {iface("lo", "127.0.0.1", "255.0.0.0", true), iface("wlan0", "169.254.7.9", "255.255.0.0")}};
}
NetworkFacts nothing() {
  return {false, {iface("lo", "127.0.0.1", "255.0.0.0", true)}};
}

} // namespace

TEST_F(ReachabilityTest, InternetAndLinkLocalQueriesMapRoutesAndAddresses) {
  auto internet = NetworkReachability::createWithAddress(kAny);
  auto local = NetworkReachability::createWithAddress(kLinkLocalNet);

  // A default route: the internet is reachable, as Wi-Fi (no WWAN, not transient, not direct);
  // there is no ad-hoc network.
  setFacts(wifiWithRoute());
  EXPECT_EQ(flagsOf(internet), uint32_t(ReachabilityReachable));
  EXPECT_EQ(flagsOf(local) & ReachabilityIsDirect, 0u);

  // Only a link-local address: the internet query is direct (no internet), the ad-hoc network is
  // reachable and direct.
  setFacts(adHocOnly());
  EXPECT_EQ(flagsOf(internet), uint32_t(ReachabilityReachable | ReachabilityIsDirect));
  EXPECT_EQ(flagsOf(local), uint32_t(ReachabilityReachable | ReachabilityIsDirect));

  // Loopback alone reaches nothing outside the device.
  setFacts(nothing());
  EXPECT_EQ(flagsOf(internet), 0u);
  EXPECT_EQ(flagsOf(local), 0u);

  // Facts that cannot be read: no answer.
  setFacts(std::nullopt);
  uint32_t flags = 0;
  EXPECT_FALSE(internet->getFlags(flags));
}

TEST_F(ReachabilityTest, HostsAndAddressesWithoutAnyTraffic) {
  setFacts(wifiWithRoute());
  EXPECT_EQ(NetworkReachability::createWithName(""), nullptr);
  EXPECT_EQ(flagsOf(NetworkReachability::createWithName("ftp.example.org")),
            uint32_t(ReachabilityReachable));
  uint32_t loopback = ReachabilityReachable | ReachabilityIsLocalAddress | ReachabilityIsDirect;
  EXPECT_EQ(flagsOf(NetworkReachability::createWithName("localhost")), loopback);
  EXPECT_EQ(flagsOf(NetworkReachability::createWithName("127.0.0.1")), loopback);
  EXPECT_EQ(flagsOf(NetworkReachability::createWithName("192.168.1.20")), loopback)
      << "the device's own address";
  EXPECT_EQ(flagsOf(NetworkReachability::createWithName("192.168.1.77")),
            uint32_t(ReachabilityReachable));

  // Without a default route only the own subnet is reachable.
  NetworkFacts lanOnly = wifiWithRoute();
  lanOnly.hasDefaultRoute = false;
  setFacts(lanOnly);
  EXPECT_EQ(flagsOf(NetworkReachability::createWithName("192.168.1.77")),
            uint32_t(ReachabilityReachable));
  EXPECT_EQ(flagsOf(NetworkReachability::createWithName("10.1.2.3")), 0u);
  EXPECT_EQ(flagsOf(NetworkReachability::createWithName("ftp.example.org")), 0u);
  EXPECT_EQ(flagsOf(NetworkReachability::createWithAddress(kAny)), 0u);
}

TEST_F(ReachabilityTest, ScheduledObjectReportsChangesOnlyWhenFlagsChange) {
  setFacts(wifiWithRoute());
  auto internet = NetworkReachability::createWithAddress(kAny);
  std::vector<uint32_t> seen;
  internet->setCallback([&](uint32_t flags) { seen.push_back(flags); });
  ASSERT_TRUE(internet->scheduleWithRunLoop(loop));
  EXPECT_FALSE(internet->scheduleWithRunLoop(loop));
  EXPECT_TRUE(internet->isScheduledOn(loop));

  NetworkReachability::factsChanged(); // same facts: nothing to report
  loop->runPending();
  EXPECT_TRUE(seen.empty());

  setFacts(adHocOnly());
  NetworkReachability::factsChanged();
  ASSERT_TRUE(
      loop->runUntil([&] { return seen.size() == 1; }, testsupport::scaled(nettest::kLimit)));
  EXPECT_EQ(seen[0], uint32_t(ReachabilityReachable | ReachabilityIsDirect));

  ASSERT_TRUE(internet->unscheduleFromRunLoop(loop));
  EXPECT_FALSE(internet->unscheduleFromRunLoop(loop));
  setFacts(nothing());
  NetworkReachability::factsChanged();
  loop->runPending();
  EXPECT_EQ(seen.size(), 1u) << "no report once unscheduled";
}

TEST_F(ReachabilityTest, SystemFactsAreReadableHere) {
  NetworkReachability::setFactsSource(nullptr);
  auto facts = NetworkReachability::currentFacts();
  ASSERT_TRUE(facts.has_value());
  bool sawLoopback = false;
  for (const auto &a : facts->addresses)
    sawLoopback |= a.address == 0x7F000001;
  EXPECT_TRUE(sawLoopback);
  uint32_t flags = 0;
  EXPECT_TRUE(NetworkReachability::createWithName("localhost")->getFlags(flags));
  EXPECT_NE(flags & ReachabilityReachable, 0u);
}

TEST(InterfaceAddresses, InjectedListIsReturnedInOrderAndTextsAreDotted) {
  setInterfaceAddressSource([] {
    return std::optional<std::vector<InterfaceAddress>>(
        {iface("lo", "127.0.0.1", "255.0.0.0", true),
         iface("eth0", "192.168.1.20", "255.255.255.0"), iface("eth1", "10.0.0.5", "255.0.0.0")});
  });
  auto list = interfaceIPv4Addresses();
  ASSERT_TRUE(list);
  ASSERT_EQ(list->size(), 3u);
  EXPECT_EQ((*list)[0].interfaceName, "lo");
  EXPECT_EQ((*list)[1].addressText(), "192.168.1.20");
  EXPECT_EQ((*list)[2].addressText(), "10.0.0.5");

  setInterfaceAddressSource([] { return std::optional<std::vector<InterfaceAddress>>(); });
  EXPECT_FALSE(interfaceIPv4Addresses()) << "a list that cannot be read";

  setInterfaceAddressSource(nullptr);
  auto real = interfaceIPv4Addresses();
  ASSERT_TRUE(real);
  bool sawLoopback = false;
  for (const auto &a : *real)
    sawLoopback |= a.isLoopback && a.addressText() == "127.0.0.1";
  EXPECT_TRUE(sawLoopback);
}

TEST(InterfaceAddresses, ParsesOnlyDottedQuads) {
  EXPECT_EQ(parseIPv4("192.168.1.20"), 0xC0A80114u);
  EXPECT_EQ(parseIPv4("0.0.0.0"), 0u);
  EXPECT_FALSE(parseIPv4("192.168.1"));
  EXPECT_FALSE(parseIPv4("256.1.1.1"));
  EXPECT_FALSE(parseIPv4("host.example"));
  EXPECT_FALSE(parseIPv4(""));
  EXPECT_EQ(ipv4Text(0xC0A80114u), "192.168.1.20");
}
