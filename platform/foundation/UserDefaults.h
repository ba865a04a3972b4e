// The settings store (the phone's user defaults). Values live in two layers: the registered
// defaults (kept in memory, set at every start) and the user's own values, which `synchronize`
// writes to Preferences.json in the data root. Every method may be called from any thread.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace platform {

// A stored value: almost always a string; a few callers keep raw bytes, arrays or dictionaries.
class DefaultsValue {
public:
  using Bytes = std::vector<uint8_t>;
  using Array = std::vector<DefaultsValue>;
  using Dictionary = std::map<std::string, DefaultsValue>;

  DefaultsValue() : v_(std::string()) {}
  DefaultsValue(std::string s) : v_(std::move(s)) {}
  DefaultsValue(const char *s) : v_(std::string(s)) {}
  DefaultsValue(Bytes b) : v_(std::move(b)) {}
  DefaultsValue(Array a) : v_(std::move(a)) {}
  DefaultsValue(Dictionary d) : v_(std::move(d)) {}

  bool isString() const { return std::holds_alternative<std::string>(v_); }
  bool isBytes() const { return std::holds_alternative<Bytes>(v_); }
  bool isArray() const { return std::holds_alternative<Array>(v_); }
  bool isDictionary() const { return std::holds_alternative<Dictionary>(v_); }

  // Null when the value is of another kind.
  const std::string *string() const { return std::get_if<std::string>(&v_); }
  const Bytes *bytes() const { return std::get_if<Bytes>(&v_); }
  const Array *array() const { return std::get_if<Array>(&v_); }
  const Dictionary *dictionary() const { return std::get_if<Dictionary>(&v_); }

  bool operator==(const DefaultsValue &other) const { return v_ == other.v_; }

private:
  std::variant<std::string, Bytes, Array, Dictionary> v_;
};

class UserDefaults {
public:
  using Value = DefaultsValue;

  // The process's store, reading Paths::preferencesFile() when first used.
  static UserDefaults &standard();
  // Tests: the next standard() is a fresh store read from the current data root. Stores handed
  // out earlier stay valid (they are kept until the process ends).
  static void resetStandard();

  // A store backed by the given file (read now when it exists).
  explicit UserDefaults(std::string file);
  UserDefaults(const UserDefaults &) = delete;
  UserDefaults &operator=(const UserDefaults &) = delete;

  // Adds to (and replaces within) the registration layer; never written to disk.
  void registerDefaults(const Value::Dictionary &defaults);

  // The user's value, else the registered default, else nothing.
  std::optional<Value> objectForKey(const std::string &key) const;
  // Nothing when missing or when the value is not a string.
  std::optional<std::string> stringForKey(const std::string &key) const;
  // The integer value of the string (see platform::intValue); 0 when missing.
  int integerForKey(const std::string &key) const;
  std::optional<Value::Bytes> dataForKey(const std::string &key) const;
  std::optional<Value::Array> arrayForKey(const std::string &key) const;
  std::optional<Value::Dictionary> dictionaryForKey(const std::string &key) const;

  void setObject(const Value &value, const std::string &key);
  void removeObjectForKey(const std::string &key);

  // Writes the user's values to the file atomically (temporary file, then rename). False, with a
  // log line, when the file cannot be written.
  bool synchronize();

  const std::string &file() const { return file_; }

private:
  void load();

  std::string file_;
  mutable std::mutex mutex_;
  Value::Dictionary registered_;
  Value::Dictionary values_;
  unsigned long generation_ = 0; // bumped by every change
  // Serialises writers of the file so that a later snapshot never lands before an earlier one.
  std::mutex fileMutex_;
  unsigned long writtenGeneration_ = 0;
  bool everWritten_ = false;
};

} // namespace platform
