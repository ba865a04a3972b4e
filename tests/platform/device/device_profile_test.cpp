#include "platform/device/DeviceProfile.h"
#include "platform/foundation/NotificationCenter.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

using namespace platform;

namespace {
using testsupport::EnvGuard;

const char *kVars[] = {"FERROWEN_DEVICE",      "FERROWEN_SYSTEM_VERSION", "FERROWEN_PLATFORM",
                       "FERROWEN_MODEL",       "FERROWEN_SCREEN",         "FERROWEN_SCALE",
                       "FERROWEN_ORIENTATION", "FERROWEN_MULTITASKING"};
} // namespace

TEST(DeviceProfile, DefaultIsACurrentIPhone) {
  EnvGuard env;
  for (auto *v : kVars)
    env.set(v, nullptr);
  auto p = DeviceProfile::fromEnvironment();
  EXPECT_FALSE(p.isiPad());
  EXPECT_TRUE(p.isiPhone());
  EXPECT_EQ(p.model, "iPhone");
  EXPECT_TRUE(p.osVersionIsAtLeast(5.0));
  EXPECT_EQ(p.screenSize, (ScreenSize{320, 480}));
  EXPECT_EQ(p.scale, 2.0);
  EXPECT_TRUE(p.isRetinaDisplay());
  EXPECT_EQ(p.orientation, Orientation::Portrait);
  EXPECT_TRUE(p.multitaskingSupported);
}

TEST(DeviceProfile, VersionCountsOnlyItsFirstTwoParts) {
  DeviceProfile p;
  p.systemVersion = "4.3.1";
  EXPECT_DOUBLE_EQ(p.systemVersionNumber(), 4.3);
  EXPECT_TRUE(p.osVersionIsAtLeast(4.3));
  EXPECT_FALSE(p.osVersionIsAtLeast(4.31));
  p.systemVersion = "3.1.3";
  EXPECT_FALSE(p.osVersionIsAtLeast(3.2));
  EXPECT_TRUE(p.osVersionIsAtLeast(3.0));
  p.systemVersion = "10.0";
  EXPECT_TRUE(p.osVersionIsAtLeast(4.0)); // not a text comparison
  p.systemVersion = "5";
  EXPECT_TRUE(p.osVersionIsAtLeast(5.0));
}

TEST(DeviceProfile, EnvironmentSetsEveryField) {
  EnvGuard env;
  env.set("FERROWEN_DEVICE", "iPad");
  env.set("FERROWEN_SYSTEM_VERSION", "4.2.1");
  env.set("FERROWEN_PLATFORM", "iPad1,1");
  env.set("FERROWEN_MODEL", "iPad");
  env.set("FERROWEN_SCREEN", "768x1024");
  env.set("FERROWEN_SCALE", "1");
  env.set("FERROWEN_ORIENTATION", "landscape-left");
  env.set("FERROWEN_MULTITASKING", "0");
  std::vector<std::string> problems;
  auto p = DeviceProfile::fromEnvironment(&problems);
  EXPECT_TRUE(problems.empty());
  EXPECT_TRUE(p.isiPad());
  EXPECT_FALSE(p.isiPad2());
  EXPECT_EQ(p.systemVersion, "4.2.1");
  EXPECT_EQ(p.scale, 1.0);
  EXPECT_EQ(p.orientation, Orientation::LandscapeLeft);
  EXPECT_EQ(p.orientedScreenSize(), (ScreenSize{1024, 768}));
  EXPECT_FALSE(p.multitaskingSupported);
  env.set("FERROWEN_ORIENTATION", "2");
  EXPECT_EQ(DeviceProfile::fromEnvironment().orientation, Orientation::PortraitUpsideDown);
}

TEST(DeviceProfile, BadEnvironmentValuesAreReportedAndIgnored) {
  EnvGuard env;
  for (auto *v : kVars)
    env.set(v, nullptr);
  env.set("FERROWEN_DEVICE", "watch");
  env.set("FERROWEN_SYSTEM_VERSION", "five");
  env.set("FERROWEN_SCREEN", "320by480");
  env.set("FERROWEN_SCALE", "-2");
  env.set("FERROWEN_ORIENTATION", "sideways");
  env.set("FERROWEN_MULTITASKING", "yes");
  std::vector<std::string> problems;
  auto p = DeviceProfile::fromEnvironment(&problems);
  EXPECT_EQ(problems.size(), 6u);
  auto def = DeviceProfile::iPhone();
  EXPECT_EQ(p.idiom, def.idiom);
  EXPECT_EQ(p.systemVersion, def.systemVersion);
  EXPECT_EQ(p.screenSize, def.screenSize);
  EXPECT_EQ(p.scale, def.scale);
  EXPECT_EQ(p.orientation, def.orientation);
  EXPECT_TRUE(p.multitaskingSupported);
}

TEST(DeviceProfile, TurningTheDevicePostsOnlyRealChanges) {
  DeviceProfile::setCurrent(DeviceProfile::iPhone());
  int me = 0, posts = 0;
  NotificationCenter::defaultCenter().addObserver(&me, kDeviceOrientationDidChangeNotification,
                                                  nullptr, [&](const Notification &) { ++posts; });
  DeviceProfile::setOrientation(Orientation::LandscapeRight);
  DeviceProfile::setOrientation(Orientation::LandscapeRight);
  EXPECT_EQ(posts, 1);
  EXPECT_TRUE(DeviceProfile::current().isLandscape());
  DeviceProfile::setOrientation(Orientation::FaceUp);
  EXPECT_EQ(posts, 2);
  EXPECT_FALSE(DeviceProfile::current().isLandscape());
  EXPECT_FALSE(DeviceProfile::current().isPortrait());
  NotificationCenter::defaultCenter().removeObserver(&me);
  DeviceProfile::setCurrent(DeviceProfile::iPhone());
}
