#include "FoundationFixture.h"

#include "app/foundation/Globals.h"
#include "app/foundation/SettingsKeys.h"

#include <set>

class Settings : public FoundationTest {};

TEST_F(Settings, FiftyTwoDistinctKeysWithTheirDefaults) {
  const auto keys = registeredDefaultSettings(false);
  ASSERT_EQ(keys.size(), 52u);
  std::set<std::string> names;
  for (const auto &[key, value] : keys)
    names.insert(key);
  EXPECT_EQ(names.size(), 52u);
  EXPECT_EQ(keys.front().first, "ServerAddress");
  EXPECT_EQ(keys.back().first, "UploadToTempName");

  RegisterDefaultSettings();
  auto &store = platform::UserDefaults::standard();
  const std::pair<const char *, const char *> expected[] = {
      {"SecurityWarning", "1"},  {"AlwaysTrySSL-v3", "1"},    {"EditingFileEncoding", "7"},
      {"LastBookmarkPK", "-1"},  {"iPhoneName", "Ferrowen"},  {"ActiveServerMinutes", "10"},
      {"DefaultFontSize", "1"},  {"OpenBookmarkNow", "0"},    {"UserPass", ""},
      {"ResumeFTPUploads", "1"}, {"ExtraFolderDetails", "1"}, {"FolderStyle", "1"},
  };
  for (const auto &[key, value] : expected)
    EXPECT_EQ(store.stringForKey(key).value_or("?"), value) << key;
  for (const auto &[key, value] : keys)
    EXPECT_EQ(store.stringForKey(key).value_or("?"), value) << key;
  // Keys without a registered default read as missing (0 as a number).
  EXPECT_FALSE(store.stringForKey(kFTPServerKey).has_value());
  EXPECT_EQ(store.integerForKey(kFTPServerKey), 0);
  EXPECT_EQ(store.integerForKey(kAlwaysTrySSLKeyOLD), 0);
  // A user's own value wins over the registered default and survives a new registration.
  store.setObject("0", kSecurityWarningKey);
  RegisterDefaultSettings();
  EXPECT_EQ(store.integerForKey(kSecurityWarningKey), 0);
}

TEST_F(Settings, StartPageByDeviceKind) {
  const auto find = [](bool iPad) {
    for (const auto &[key, value] : registeredDefaultSettings(iPad))
      if (key == kWebViewURLKey) return value;
    return std::string();
  };
  EXPECT_EQ(find(false), kWebViewStartPageiPhone);
  EXPECT_EQ(find(true), kWebViewStartPageiPad);
  EXPECT_NE(find(false), find(true));
  EXPECT_EQ(std::string(kWebViewStartPageiPad).rfind(kWebViewWelcomePrefix, 0), 0u);
}

TEST_F(Settings, PatternKeys) {
  EXPECT_EQ(keySSLNo("ftp.example.org"), "SSL-no-ftp.example.org");
  EXPECT_EQ(keyNoRenaming("host", "joe"), "no-renaming-host-joe");
  EXPECT_EQ(keySFTPNoRenaming("host", "joe"), "sftp-no-renaming-host-joe");
  EXPECT_EQ(keySort("Host"), "Sort-Host");
  EXPECT_EQ(keyIndexIsUsed(3), "3-IndexIsUsed");
  EXPECT_EQ(keyForTab(2, kEditingFTPFile), "2-EditingFTPFile");
  EXPECT_EQ(keyForTab(0, kWasEditingUserPassKey), "0-EditingUserPass");
}
