// The keychain: generic-password items (a few text attributes, an opaque tag and secret bytes)
// kept in FERROWEN_HOME/keychain, readable by the user alone (mode 0600) and replaced atomically
// on every change, so a crash never leaves half a file. Items are found by their attributes: an
// item matches a query when every attribute the query sets is equal in the item.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct KeychainAttributes {
  std::optional<std::string> label;
  std::optional<std::string> description;
  std::optional<std::string> account;
  std::optional<std::string> service;
  std::optional<std::string> comment;
  std::optional<std::vector<uint8_t>> generic; // the application's own tag

  // True when every attribute set in query is set here with the same value.
  bool matches(const KeychainAttributes &query) const;
  // Copies the attributes set in changes over these.
  void apply(const KeychainAttributes &changes);
  bool operator==(const KeychainAttributes &) const = default;
};

struct KeychainItem {
  KeychainAttributes attributes;
  std::vector<uint8_t> data; // the secret
};

// Result codes, numbered as the application's keychain code expects them.
enum class KeychainStatus : int {
  Success = 0,
  Param = -50,            // an update or delete without any attribute to find items by
  IO = -36,               // the file could not be read or written
  DuplicateItem = -25299, // an item with the same account and service exists
  ItemNotFound = -25300,
  Decode = -26275, // the file exists but cannot be understood; it is left untouched
};

class Keychain {
public:
  // The first item (in the order added) that matches query.
  static KeychainStatus copyMatching(const KeychainAttributes &query, KeychainItem *result);
  // Adds an item. Account and service together name an item: a second item with the same pair
  // is refused with DuplicateItem.
  static KeychainStatus add(const KeychainItem &item);
  // Changes every item that matches query: the attributes set in changes, and the data when
  // newData is given. ItemNotFound when nothing matches.
  static KeychainStatus update(const KeychainAttributes &query, const KeychainAttributes &changes,
                               const std::vector<uint8_t> *newData = nullptr);
  // Deletes every item that matches query. Deleting an item that is not there succeeds.
  static KeychainStatus remove(const KeychainAttributes &query);

  // FERROWEN_HOME/keychain.
  static std::string filePath();
};

} // namespace platform
