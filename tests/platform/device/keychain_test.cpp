#include "platform/device/Keychain.h"
#include "platform/foundation/Paths.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace platform;

namespace {

std::vector<uint8_t> bytes(const std::string &s) {
  return {s.begin(), s.end()};
}

class KeychainTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(dir.ok());
    Paths::setHome(home);
  }
  void TearDown() override { Paths::setHome(""); }

  // The passcode item as the application stores it.
  static KeychainAttributes lockQuery() {
    KeychainAttributes q;
    q.generic = bytes("org.ferrowen.KeychainLock");
    return q;
  }
  static KeychainItem lockItem(const std::string &secret) {
    KeychainItem item;
    item.attributes = lockQuery();
    item.attributes.label = "Name";
    item.attributes.description = "FerrowenLock";
    item.attributes.account = "bsdname";
    item.attributes.service = "Ferrowen";
    item.attributes.comment = "Ferrowen - Password Lock.";
    item.data = bytes(secret);
    return item;
  }
  std::string fileText() const { return testsupport::readFile(home + "/keychain"); }
  std::vector<std::string> filesInHome() const {
    std::vector<std::string> names;
    if (DIR *d = ::opendir(home.c_str())) {
      while (dirent *e = ::readdir(d))
        if (e->d_name[0] != '.') names.push_back(e->d_name);
      ::closedir(d);
    }
    return names;
  }

  testsupport::TempDir dir{"ferrowen-keychain"};
  const std::string home = dir.path();
};

} // namespace

TEST_F(KeychainTest, EmptyKeychainFindsNothingAndCreatesNoFile) {
  KeychainItem found;
  EXPECT_EQ(Keychain::copyMatching(lockQuery(), &found), KeychainStatus::ItemNotFound);
  EXPECT_EQ(Keychain::remove(lockQuery()), KeychainStatus::Success)
      << "deleting an item that is not there succeeds";
  struct stat st;
  EXPECT_NE(::stat((home + "/keychain").c_str(), &st), 0);
}

TEST_F(KeychainTest, AddedItemRoundTripsWithEveryAttributeAndBinaryData) {
  KeychainItem item = lockItem("");
  item.data = {0, 1, 2, 0xFF, 0xFE, '"', '\\', '\n'};
  ASSERT_EQ(Keychain::add(item), KeychainStatus::Success);

  KeychainItem found;
  ASSERT_EQ(Keychain::copyMatching(lockQuery(), &found), KeychainStatus::Success);
  EXPECT_EQ(found.attributes, item.attributes);
  EXPECT_EQ(found.data, item.data);

  // Found by any attribute it has; not by one it differs in.
  KeychainAttributes byService;
  byService.service = "Ferrowen";
  EXPECT_EQ(Keychain::copyMatching(byService, nullptr), KeychainStatus::Success);
  KeychainAttributes other = lockQuery();
  other.account = "someone-else";
  EXPECT_EQ(Keychain::copyMatching(other, nullptr), KeychainStatus::ItemNotFound);
}

TEST_F(KeychainTest, FileIsPrivateAndReplacedWholeWithNoTemporaryLeftBehind) {
  ::umask(022);
  ASSERT_EQ(Keychain::add(lockItem("1234")), KeychainStatus::Success);
  struct stat st;
  ASSERT_EQ(::stat((home + "/keychain").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ino_t first = st.st_ino;

  std::vector<uint8_t> newSecret = bytes("5678");
  ASSERT_EQ(Keychain::update(lockQuery(), {}, &newSecret), KeychainStatus::Success);
  ASSERT_EQ(::stat((home + "/keychain").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_NE(st.st_ino, first) << "a new file renamed over the old one";
  EXPECT_EQ(filesInHome(), std::vector<std::string>{"keychain"});
  EXPECT_EQ(fileText().find("1234"), std::string::npos);

  // A keychain file made readable by others becomes private again on the next change.
  ::chmod((home + "/keychain").c_str(), 0644);
  ASSERT_EQ(Keychain::update(lockQuery(), {}, nullptr), KeychainStatus::Success);
  ASSERT_EQ(::stat((home + "/keychain").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(KeychainTest, UpdateChangesMatchingItemsAndRefusesDuplicates) {
  ASSERT_EQ(Keychain::add(lockItem("1111")), KeychainStatus::Success);
  EXPECT_EQ(Keychain::add(lockItem("2222")), KeychainStatus::DuplicateItem)
      << "account and service name an item";

  KeychainAttributes changes;
  changes.comment = "changed";
  std::vector<uint8_t> secret = bytes("3333");
  ASSERT_EQ(Keychain::update(lockQuery(), changes, &secret), KeychainStatus::Success);
  KeychainItem found;
  ASSERT_EQ(Keychain::copyMatching(lockQuery(), &found), KeychainStatus::Success);
  EXPECT_EQ(found.data, secret);
  EXPECT_EQ(found.attributes.comment, "changed");
  EXPECT_EQ(found.attributes.label, "Name") << "attributes not changed stay";

  KeychainAttributes missing;
  missing.account = "nobody";
  EXPECT_EQ(Keychain::update(missing, changes, &secret), KeychainStatus::ItemNotFound);
  EXPECT_EQ(Keychain::update({}, changes, &secret), KeychainStatus::Param);
  EXPECT_EQ(Keychain::remove({}), KeychainStatus::Param) << "never everything by accident";

  // A second item, then an update that would give it the first one's identity.
  KeychainItem second = lockItem("x");
  second.attributes.generic = bytes("other");
  second.attributes.account = "other";
  ASSERT_EQ(Keychain::add(second), KeychainStatus::Success);
  KeychainAttributes rename;
  rename.account = "bsdname";
  KeychainAttributes secondQuery;
  secondQuery.generic = bytes("other");
  EXPECT_EQ(Keychain::update(secondQuery, rename, nullptr), KeychainStatus::DuplicateItem);
  ASSERT_EQ(Keychain::copyMatching(secondQuery, &found), KeychainStatus::Success);
  EXPECT_EQ(found.attributes.account, "other") << "a refused update writes nothing";
}

TEST_F(KeychainTest, DeleteRemovesOnlyMatchingItems) {
  ASSERT_EQ(Keychain::add(lockItem("1")), KeychainStatus::Success);
  KeychainItem second = lockItem("2");
  second.attributes.generic = bytes("other");
  second.attributes.account = "other";
  ASSERT_EQ(Keychain::add(second), KeychainStatus::Success);
  ASSERT_EQ(Keychain::remove(lockQuery()), KeychainStatus::Success);
  EXPECT_EQ(Keychain::copyMatching(lockQuery(), nullptr), KeychainStatus::ItemNotFound);
  KeychainAttributes q;
  q.generic = bytes("other");
  EXPECT_EQ(Keychain::copyMatching(q, nullptr), KeychainStatus::Success);
  EXPECT_EQ(Keychain::remove(lockQuery()), KeychainStatus::Success);
}

TEST_F(KeychainTest, DamagedFileIsReportedAndLeftAsItWas) {
  {
    std::ofstream out(home + "/keychain");
    out << "{not json";
  }
  EXPECT_EQ(Keychain::copyMatching(lockQuery(), nullptr), KeychainStatus::Decode);
  EXPECT_EQ(Keychain::add(lockItem("1")), KeychainStatus::Decode);
  EXPECT_EQ(Keychain::remove(lockQuery()), KeychainStatus::Decode);
  EXPECT_EQ(fileText(), "{not json");
  {
    std::ofstream out(home + "/keychain");
    out << R"({"items":[{"data":"not*base64"}]})";
  }
  EXPECT_EQ(Keychain::copyMatching(lockQuery(), nullptr), KeychainStatus::Decode);
}
