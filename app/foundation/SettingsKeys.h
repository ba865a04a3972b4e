// Settings keys. Every value is stored as a string: flags "0"/"1" (read with their integer value,
// so a missing key counts as 0), numbers as decimal text, the connect and sharing passwords
// scrambled (myEncryptString1).
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Registered keys (their defaults are in registeredDefaultSettings()).
inline constexpr const char *kServerNameKey = "ServerAddress";
inline constexpr const char *kUserNameKey = "UserName";
inline constexpr const char *kUserPassKey = "UserPass";
inline constexpr const char *kOpenInWebViewKey = "OpenInWebView";
inline constexpr const char *kPasswordLockKey = "PasswordLock";
inline constexpr const char *kOpenBookmarkNowKey = "OpenBookmarkNow";
inline constexpr const char *kSecurityWarningKey = "SecurityWarning";
inline constexpr const char *kAlwaysTrySSLKey = "AlwaysTrySSL-v3";
inline constexpr const char *kUsePASVKey = "UsePASV";
inline constexpr const char *kBookmarksAutoOpenKey = "BookmarksAutoOpen";
inline constexpr const char *kWasEditingServerNameKey = "EditingServerAddress";
inline constexpr const char *kWasEditingUserNameKey = "EditingUserName";
inline constexpr const char *kWasEditingUserPassKey = "EditingUserPass";
inline constexpr const char *kWasEditingInFolder = "EditingInFolder";
inline constexpr const char *kWasEditingFileName = "EditingFileName";
inline constexpr const char *kWasViewingFile = "ViewingFile";
inline constexpr const char *kDefaultSortKey = "DefaultSort";
inline constexpr const char *kWasEditingFileEncoding = "EditingFileEncoding";
inline constexpr const char *kWasEditingFileEncodingUnicodeTag = "EditingFileEncodingUnicodeTag";
inline constexpr const char *kUploadImageFileTypeKey = "UploadImageFileTypeKey";
inline constexpr const char *kLastBookmarkPKKey = "LastBookmarkPK";
inline constexpr const char *kDefaultDownloadFolderKey = "DefaultDownloadFolder";
inline constexpr const char *kAutoSaveAllDownloadsKey = "AutoSaveAllDownloads";
inline constexpr const char *kiPhoneNameKey = "iPhoneName";
inline constexpr const char *kWebServerKey = "WebServer";
inline constexpr const char *kFileShareUserKey = "FileShareUser";
inline constexpr const char *kFileSharePassKey = "FileSharePass";
inline constexpr const char *kShowHiddenFilesKey = "ShowHiddenFiles";
inline constexpr const char *kSavePasswordsKey = "SavePasswords";
inline constexpr const char *kActiveServerMinutesKey = "ActiveServerMinutes";
inline constexpr const char *kWebPreviewTabKey = "WebPreviewTab";
inline constexpr const char *kDeleteDotOldKey = "DeleteDotOldFiles";
inline constexpr const char *kDefaultEncodingKey = "DefaultEncoding";
inline constexpr const char *kDefaultFontKey = "DefaultFont";
inline constexpr const char *kDefaultFontSizeKey = "DefaultFontSize";
inline constexpr const char *kModeZKey = "ModeZ";
inline constexpr const char *kRawMenuOptionKey = "RawMenuOption";
inline constexpr const char *kOverwriteSavedFilesKey = "OverwriteSaveFiles";
inline constexpr const char *kAlwaysUseUnicode = "AlwaysUnicode";
inline constexpr const char *kEditingFTPFile = "EditingFTPFile";
inline constexpr const char *kEditingSavedFile = "EditingSavedFile";
inline constexpr const char *kWebViewURLKey = "WebViewURL";
inline constexpr const char *kFolderStyleKey = "FolderStyle";
inline constexpr const char *kExtraFolderDetailsKey = "ExtraFolderDetails";

// Keys of fixed name without a registered default.
inline constexpr const char *kFTPServerKey = "FTPServer";
inline constexpr const char *kAlwaysTrySSLKeyOLD = "AlwaysTrySSL"; // retired; read by the migration
inline constexpr const char *kEditorHideStatusKey = "EditHideStatus";

// Start pages of the web tab (configuration). A stored "WebViewURL" that begins with the welcome
// prefix is an older welcome page and is replaced at start-up by the current one.
inline constexpr const char *kWebViewStartPageiPhone = "http://www.ferrowen.example/welcome/3/";
inline constexpr const char *kWebViewStartPageiPad = "http://www.ferrowen.example/welcome/3/ipad/";
inline constexpr const char *kWebViewWelcomePrefix = "http://www.ferrowen.example/welcome/";

// The 52 registered keys with their defaults, in the order of registration. "WebViewURL" takes the
// start page of the device kind.
std::vector<std::pair<std::string, std::string>> registeredDefaultSettings(bool iPad);
// Registers them with the standard settings store and synchronizes.
void RegisterDefaultSettings();

// Keys built from a pattern.
std::string keySSLNo(std::string_view server);                             // "SSL-no-%@"
std::string keyNoRenaming(std::string_view server, std::string_view user); // "no-renaming-%@-%@"
std::string keySFTPNoRenaming(std::string_view server,
                              std::string_view user); // "sftp-no-renaming-%@-%@"
std::string keySort(std::string_view server);         // "Sort-%@"
std::string keyIndexIsUsed(int tabIndex);             // "%i-IndexIsUsed"
// "%i-" followed by one of the unnumbered editing keys: "EditingFTPFile", "EditingFileName",
// "EditingInFolder", "EditingServerAddress", "EditingUserName" or "EditingUserPass".
std::string keyForTab(int tabIndex, std::string_view editingKey);
