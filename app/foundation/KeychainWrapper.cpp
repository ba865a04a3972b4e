#include "app/foundation/KeychainWrapper.h"

#include "platform/foundation/Log.h"

#include <cstring>

using namespace platform;

namespace {

std::vector<uint8_t> identifierBytes() {
  const char *id = kKeychainItemIdentifier;
  return std::vector<uint8_t>(id, id + std::strlen(id)); // without the terminating NUL
}

void putAttribute(std::map<std::string, std::string> &out, const char *key,
                  const std::optional<std::string> &value) {
  if (value) out[key] = *value;
}

std::optional<std::string> attribute(const std::map<std::string, std::string> &dict,
                                     const char *key) {
  auto it = dict.find(key);
  if (it == dict.end()) return std::nullopt;
  return it->second;
}

} // namespace

KeychainWrapper::KeychainWrapper() {
  genericPasswordQuery_.generic = identifierBytes();
  KeychainItem found;
  if (Keychain::copyMatching(genericPasswordQuery_, &found) == KeychainStatus::Success)
    keychainData_ = secItemFormatToDictionary(found);
  else
    resetKeychainItem();
}

std::optional<std::string> KeychainWrapper::objectForKey(const std::string &key) const {
  auto it = keychainData_.find(key);
  if (it == keychainData_.end()) return std::nullopt;
  return it->second;
}

void KeychainWrapper::setObject(const std::optional<std::string> &value, const std::string &key) {
  if (!value) return;
  auto it = keychainData_.find(key);
  if (it != keychainData_.end() && it->second == *value) return;
  keychainData_[key] = *value;
  writeToKeychain();
}

void KeychainWrapper::resetKeychainItem() {
  if (!keychainData_.empty()) {
    SecItem item = dictionaryToSecItemFormat(keychainData_);
    KeychainStatus status = Keychain::remove(item.attributes);
    if (status != KeychainStatus::Success && status != KeychainStatus::ItemNotFound)
      Log::system("Problem deleting current dictionary.");
  }
  keychainData_.clear();
  keychainData_[kSecAttrLabel] = "Name";
  keychainData_[kSecAttrDescription] = "FerrowenLock";
  keychainData_[kSecAttrAccount] = "bsdname";
  keychainData_[kSecAttrService] = "Ferrowen";
  keychainData_[kSecAttrComment] = "Ferrowen - Password Lock.";
  keychainData_[kSecValueData] = "";
}

KeychainWrapper::SecItem
KeychainWrapper::dictionaryToSecItemFormat(const std::map<std::string, std::string> &dict) const {
  SecItem item;
  item.attributes.label = attribute(dict, kSecAttrLabel);
  item.attributes.description = attribute(dict, kSecAttrDescription);
  item.attributes.account = attribute(dict, kSecAttrAccount);
  item.attributes.service = attribute(dict, kSecAttrService);
  item.attributes.comment = attribute(dict, kSecAttrComment);
  item.attributes.generic = identifierBytes();
  if (auto value = attribute(dict, kSecValueData)) item.data.assign(value->begin(), value->end());
  return item;
}

std::map<std::string, std::string>
KeychainWrapper::secItemFormatToDictionary(const KeychainItem &found) {
  std::map<std::string, std::string> dict;
  putAttribute(dict, kSecAttrLabel, found.attributes.label);
  putAttribute(dict, kSecAttrDescription, found.attributes.description);
  putAttribute(dict, kSecAttrAccount, found.attributes.account);
  putAttribute(dict, kSecAttrService, found.attributes.service);
  putAttribute(dict, kSecAttrComment, found.attributes.comment);
  // Fetch the secret of exactly that item.
  KeychainItem withData;
  if (Keychain::copyMatching(found.attributes, &withData) != KeychainStatus::Success) {
    Log::system("Serious error, nothing is found in the Keychain.\n");
    keychainData_.clear();
    resetKeychainItem();
    return keychainData_;
  }
  dict[kSecValueData] = std::string(withData.data.begin(), withData.data.end());
  return dict;
}

void KeychainWrapper::writeToKeychain() {
  KeychainItem found;
  SecItem item = dictionaryToSecItemFormat(keychainData_);
  if (Keychain::copyMatching(genericPasswordQuery_, &found) != KeychainStatus::Success) {
    KeychainItem added{item.attributes, item.data};
    if (Keychain::add(added) != KeychainStatus::Success)
      Log::system("Couldn't add the Keychain Item.");
    return;
  }
  if (Keychain::update(found.attributes, item.attributes, &item.data) != KeychainStatus::Success)
    Log::system("Couldn't update the Keychain Item.");
}
