#include "app/foundation/SettingsKeys.h"

#include "app/foundation/Globals.h"

#include "platform/device/DeviceProfile.h"
#include "platform/foundation/UserDefaults.h"

std::vector<std::pair<std::string, std::string>> registeredDefaultSettings(bool iPad) {
  return {
      {kServerNameKey, ""},
      {kUserNameKey, ""},
      {kUserPassKey, ""},
      {kOpenInWebViewKey, ""},
      {kPasswordLockKey, ""},
      {kOpenBookmarkNowKey, "0"},
      {kSecurityWarningKey, "1"},
      {kAlwaysTrySSLKey, "1"},
      {kUsePASVKey, "1"},
      {kBookmarksAutoOpenKey, "1"},
      {kWasEditingServerNameKey, ""},
      {kWasEditingUserNameKey, ""},
      {kWasEditingUserPassKey, ""},
      {kWasEditingInFolder, ""},
      {kWasEditingFileName, ""},
      {kWasViewingFile, ""},
      {kDefaultSortKey, "0"},
      {kWasEditingFileEncoding, "7"},
      {kWasEditingFileEncodingUnicodeTag, "0"},
      {kUploadImageFileTypeKey, "0"},
      {kLastBookmarkPKKey, "-1"},
      {kDefaultDownloadFolderKey, "0"},
      {kAutoSaveAllDownloadsKey, "1"},
      {kiPhoneNameKey, "Ferrowen"},
      {kWebServerKey, "0"},
      {kFileShareUserKey, ""},
      {kFileSharePassKey, ""},
      {kShowHiddenFilesKey, "0"},
      {kSavePasswordsKey, "1"},
      {kActiveServerMinutesKey, "10"},
      {kWebPreviewTabKey, "1"},
      {kDeleteDotOldKey, "0"},
      {kDefaultEncodingKey, "0"},
      {kDefaultFontKey, "0"},
      {kDefaultFontSizeKey, "1"},
      {kModeZKey, "1"},
      {kRawMenuOptionKey, "0"},
      {kOverwriteSavedFilesKey, "0"},
      {kAlwaysUseUnicode, "0"},
      {kEditingFTPFile, ""},
      {kEditingSavedFile, ""},
      {kWebViewURLKey, iPad ? kWebViewStartPageiPad : kWebViewStartPageiPhone},
      {kFolderStyleKey, "1"},
      {kExtraFolderDetailsKey, "1"},
      {"NoAdvancedFTPFeatures", "0"},
      {"VideoQuality", "0"},
      {"IncludeEmailLinks", "1"},
      {"SpellChecker", "0"},
      {"WebKeyboard", "1"},
      {"ResumeFTPUploads", "1"},
      {"History", "1"},
      {"UploadToTempName", "1"},
  };
}

void RegisterDefaultSettings() {
  platform::DefaultsValue::Dictionary defaults;
  for (auto &[key, value] : registeredDefaultSettings(platform::DeviceProfile::current().isiPad()))
    defaults[key] = platform::DefaultsValue(value);
  auto &store = platform::UserDefaults::standard();
  store.registerDefaults(defaults);
  store.synchronize();
}

std::string keySSLNo(std::string_view server) {
  return "SSL-no-" + std::string(server);
}

std::string keyNoRenaming(std::string_view server, std::string_view user) {
  return "no-renaming-" + std::string(server) + "-" + std::string(user);
}

std::string keySFTPNoRenaming(std::string_view server, std::string_view user) {
  return "sftp-no-renaming-" + std::string(server) + "-" + std::string(user);
}

std::string keySort(std::string_view server) {
  return "Sort-" + std::string(server);
}

std::string keyIndexIsUsed(int tabIndex) {
  return std::to_string(tabIndex) + "-IndexIsUsed";
}

std::string keyForTab(int tabIndex, std::string_view editingKey) {
  return std::to_string(tabIndex) + "-" + std::string(editingKey);
}
