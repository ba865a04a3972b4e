// The application's one keychain item (the start-up passcode), seen as a small dictionary of
// attributes read and written by key. Every wrapper addresses the same item; a value set through
// one is written through at once, so a wrapper made later reads it.
#pragma once

#include "platform/device/Keychain.h"

#include <map>
#include <optional>
#include <string>

// Attribute keys, with the keychain's own names.
inline constexpr const char *kSecClass = "class";
inline constexpr const char *kSecAttrLabel = "labl";
inline constexpr const char *kSecAttrDescription = "desc";
inline constexpr const char *kSecAttrAccount = "acct";
inline constexpr const char *kSecAttrService = "svce";
inline constexpr const char *kSecAttrComment = "icmt";
inline constexpr const char *kSecAttrGeneric = "gena";
inline constexpr const char *kSecValueData = "v_Data";
inline constexpr const char *kSecClassGenericPassword = "genp";

// The tag every wrapper looks its item up by.
inline constexpr const char *kKeychainItemIdentifier = "org.ferrowen.KeychainLock";

class KeychainWrapper {
public:
  // Looks the item up; without one the wrapper holds the default attributes and an empty value.
  KeychainWrapper();

  // The cached value (no keychain access); none for an unknown key.
  std::optional<std::string> objectForKey(const std::string &key) const;
  // A missing value is ignored, an unchanged one writes nothing; otherwise the cache takes it
  // and the item is written at once.
  void setObject(const std::optional<std::string> &value, const std::string &key);
  // Deletes the stored item and returns the cache to the defaults (nothing is written).
  void resetKeychainItem();

  // The cache in the keychain's form, and back.
  struct SecItem {
    platform::KeychainAttributes attributes;
    std::vector<uint8_t> data;
  };
  SecItem dictionaryToSecItemFormat(const std::map<std::string, std::string> &dictionary) const;
  std::map<std::string, std::string> secItemFormatToDictionary(const platform::KeychainItem &item);
  void writeToKeychain();

  const std::map<std::string, std::string> &keychainData() const { return keychainData_; }
  const platform::KeychainAttributes &genericPasswordQuery() const { return genericPasswordQuery_; }

private:
  platform::KeychainAttributes genericPasswordQuery_;
  std::map<std::string, std::string> keychainData_;
};
