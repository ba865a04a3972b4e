// Every case gets its own data root, the source tree's resources and a fresh settings store.
#pragma once

#include "tests/support/TestSupport.h"

#include "platform/device/DeviceProfile.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/media/Image.h"
#include "platform/media/PhotoLibrary.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

class FoundationTest : public ::testing::Test {
protected:
  void SetUp() override {
    tmp_ = std::make_unique<testsupport::TempDir>("ferrowen-app5a");
    home_ = tmp_->path() + "/home";
    platform::Paths::setHome(home_);
    platform::Paths::setResources(std::string(FERROWEN_SOURCE_DIR) + "/resources");
    platform::UserDefaults::resetStandard();
    platform::media::ImageRegistry::shared().clear();
    platform::setCollationLocale("en_US");
    platform::DeviceProfile::setCurrent(platform::DeviceProfile::iPhone());
    // The user's own pictures never reach a test: the library is absent until a case makes it.
    platform::media::PhotoLibrary::setPicturesFolder(tmp_->path() + "/Pictures");
  }
  void TearDown() override {
    platform::media::PhotoLibrary::setPicturesFolder(std::nullopt);
    platform::Paths::setHome("");
    platform::Paths::setResources("");
    platform::UserDefaults::resetStandard();
    platform::setCollationLocale("");
    tmp_.reset();
  }
  std::string documents() const { return platform::Paths::documents(); }
  std::string tmpPath() const { return tmp_->path(); }

  std::unique_ptr<testsupport::TempDir> tmp_;
  std::string home_;
};
