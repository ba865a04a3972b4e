#include "platform/foundation/UserDefaults.h"

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Text.h"

#include <nlohmann/json.hpp>

namespace platform {

namespace {

using json = nlohmann::json;

// In the file, strings, arrays and dictionaries are JSON strings, arrays and objects. Bytes are an
// object with the single member "$data" holding Base64; so that no dictionary can be mistaken for
// bytes, dictionary keys that begin with "$" are written with one more "$" in front. A string that
// is not valid UTF-8 (JSON cannot hold it) is an object with the single member "$bytes" holding
// its bytes in Base64, so that it reads back as the same string.
const char kBytesTag[] = "$data";
const char kRawStringTag[] = "$bytes";

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string toBase64(const DefaultsValue::Bytes &in) {
  std::string out;
  out.reserve((in.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    uint32_t v = (in[i] << 16) | (in[i + 1] << 8) | in[i + 2];
    out += kBase64[(v >> 18) & 63];
    out += kBase64[(v >> 12) & 63];
    out += kBase64[(v >> 6) & 63];
    out += kBase64[v & 63];
  }
  if (i < in.size()) {
    uint32_t v = in[i] << 16;
    if (i + 1 < in.size()) v |= in[i + 1] << 8;
    out += kBase64[(v >> 18) & 63];
    out += kBase64[(v >> 12) & 63];
    out += i + 1 < in.size() ? kBase64[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::optional<DefaultsValue::Bytes> fromBase64(const std::string &in) {
  DefaultsValue::Bytes out;
  uint32_t acc = 0;
  int bits = 0;
  for (char c : in) {
    if (c == '=') break;
    const char *p = std::char_traits<char>::find(kBase64, 64, c);
    if (!p) return std::nullopt;
    acc = (acc << 6) | static_cast<uint32_t>(p - kBase64);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<uint8_t>((acc >> bits) & 0xff));
    }
  }
  return out;
}

json encode(const DefaultsValue &v) {
  if (auto s = v.string()) {
    if (isValidUTF8(*s)) return *s;
    return json::object({{kRawStringTag, toBase64(DefaultsValue::Bytes(s->begin(), s->end()))}});
  }
  if (auto b = v.bytes()) return json::object({{kBytesTag, toBase64(*b)}});
  if (auto a = v.array()) {
    json out = json::array();
    for (const auto &e : *a)
      out.push_back(encode(e));
    return out;
  }
  json out = json::object();
  for (const auto &[k, e] : *v.dictionary())
    out[k.empty() || k[0] != '$' ? k : "$" + k] = encode(e);
  return out;
}

// Values that this store did not write (numbers, booleans) are read as their text. Nesting
// deeper than any caller uses is dropped rather than followed down the stack.
constexpr int kMaxDepth = 64;

std::optional<DefaultsValue> decode(const json &j, int depth = 0) {
  if (depth > kMaxDepth) return std::nullopt;
  switch (j.type()) {
  case json::value_t::string:
    return DefaultsValue(j.get<std::string>());
  case json::value_t::boolean:
    return DefaultsValue(j.get<bool>() ? "1" : "0");
  case json::value_t::number_integer:
  case json::value_t::number_unsigned:
  case json::value_t::number_float:
    return DefaultsValue(j.dump());
  case json::value_t::array: {
    DefaultsValue::Array a;
    for (const auto &e : j)
      if (auto v = decode(e, depth + 1)) a.push_back(std::move(*v));
    return DefaultsValue(std::move(a));
  }
  case json::value_t::object: {
    if (j.size() == 1 && j.contains(kBytesTag) && j[kBytesTag].is_string()) {
      if (auto b = fromBase64(j[kBytesTag].get<std::string>())) return DefaultsValue(std::move(*b));
    }
    if (j.size() == 1 && j.contains(kRawStringTag) && j[kRawStringTag].is_string()) {
      if (auto b = fromBase64(j[kRawStringTag].get<std::string>()))
        return DefaultsValue(std::string(b->begin(), b->end()));
    }
    DefaultsValue::Dictionary d;
    for (auto it = j.begin(); it != j.end(); ++it) {
      std::string key = it.key();
      if (!key.empty() && key[0] == '$') key.erase(0, 1);
      if (auto v = decode(it.value(), depth + 1)) d[key] = std::move(*v);
    }
    return DefaultsValue(std::move(d));
  }
  default:
    return std::nullopt;
  }
}

std::mutex &standardMutex() {
  static std::mutex m;
  return m;
}
UserDefaults *&standardStore() {
  static UserDefaults *store = nullptr;
  return store;
}
std::vector<std::unique_ptr<UserDefaults>> &allStandardStores() {
  static std::vector<std::unique_ptr<UserDefaults>> stores;
  return stores;
}

} // namespace

UserDefaults &UserDefaults::standard() {
  std::lock_guard lock(standardMutex());
  if (!standardStore()) {
    allStandardStores().push_back(std::make_unique<UserDefaults>(Paths::preferencesFile()));
    standardStore() = allStandardStores().back().get();
  }
  return *standardStore();
}

void UserDefaults::resetStandard() {
  std::lock_guard lock(standardMutex());
  standardStore() = nullptr;
}

UserDefaults::UserDefaults(std::string file) : file_(std::move(file)) {
  load();
}

void UserDefaults::load() {
  if (!FileManager::fileExists(file_)) return;
  std::string error;
  auto text = FileManager::stringContentsAtPath(file_, &error);
  if (!text) {
    Log::system("Cannot read the settings: " + error);
    return;
  }
  json root = json::parse(*text, nullptr, false);
  if (root.is_discarded() || !root.is_object()) {
    // Keep the damaged file for the user instead of overwriting it at the next synchronize.
    std::string aside = file_ + ".damaged";
    FileManager::removeItem(aside);
    FileStatus moved = FileManager::moveItem(file_, aside);
    if (moved)
      Log::system("The settings file \"" + file_ + "\" is damaged; it was kept as \"" + aside +
                  "\" and the settings start empty");
    else
      Log::system("The settings file \"" + file_ + "\" is damaged and could not be set aside (" +
                  moved.error() + "); the settings start empty");
    return;
  }
  Value::Dictionary values;
  for (auto it = root.begin(); it != root.end(); ++it)
    if (auto v = decode(it.value())) values[it.key()] = std::move(*v);
  std::lock_guard lock(mutex_);
  values_ = std::move(values);
}

void UserDefaults::registerDefaults(const Value::Dictionary &defaults) {
  std::lock_guard lock(mutex_);
  for (const auto &[k, v] : defaults)
    registered_[k] = v;
}

std::optional<DefaultsValue> UserDefaults::objectForKey(const std::string &key) const {
  std::lock_guard lock(mutex_);
  auto it = values_.find(key);
  if (it != values_.end()) return it->second;
  it = registered_.find(key);
  if (it != registered_.end()) return it->second;
  return std::nullopt;
}

std::optional<std::string> UserDefaults::stringForKey(const std::string &key) const {
  auto v = objectForKey(key);
  if (!v || !v->isString()) return std::nullopt;
  return *v->string();
}

int UserDefaults::integerForKey(const std::string &key) const {
  auto s = stringForKey(key);
  return s ? intValue(*s) : 0;
}

std::optional<DefaultsValue::Bytes> UserDefaults::dataForKey(const std::string &key) const {
  auto v = objectForKey(key);
  if (!v || !v->isBytes()) return std::nullopt;
  return *v->bytes();
}

std::optional<DefaultsValue::Array> UserDefaults::arrayForKey(const std::string &key) const {
  auto v = objectForKey(key);
  if (!v || !v->isArray()) return std::nullopt;
  return *v->array();
}

std::optional<DefaultsValue::Dictionary>
UserDefaults::dictionaryForKey(const std::string &key) const {
  auto v = objectForKey(key);
  if (!v || !v->isDictionary()) return std::nullopt;
  return *v->dictionary();
}

void UserDefaults::setObject(const Value &value, const std::string &key) {
  std::lock_guard lock(mutex_);
  values_[key] = value;
  ++generation_;
}

void UserDefaults::removeObjectForKey(const std::string &key) {
  std::lock_guard lock(mutex_);
  values_.erase(key);
  ++generation_;
}

bool UserDefaults::synchronize() {
  std::lock_guard fileLock(fileMutex_);
  json root = json::object();
  unsigned long generation;
  {
    std::lock_guard lock(mutex_);
    generation = generation_;
    if (everWritten_ && generation == writtenGeneration_ && FileManager::fileExists(file_))
      return true; // nothing changed since the last write
    for (const auto &[k, v] : values_)
      root[k] = encode(v);
  }
  std::string text;
  try {
    // Values are kept whole (see encode); invalid UTF-8 in a key must still not stop the whole
    // file from being written.
    text = root.dump(2, ' ', false, json::error_handler_t::replace);
  } catch (const std::exception &e) {
    Log::system(std::string("Cannot save the settings: ") + e.what());
    return false;
  }
  text.push_back('\n');
  size_t slash = file_.rfind('/');
  if (slash != std::string::npos && slash > 0) FileManager::createDirectory(file_.substr(0, slash));
  FileStatus s = FileManager::writeAtomically(file_, text, 0600);
  if (!s) {
    Log::system("Cannot save the settings: " + s.error());
    return false;
  }
  std::lock_guard lock(mutex_);
  writtenGeneration_ = generation;
  everWritten_ = true;
  return true;
}

} // namespace platform
