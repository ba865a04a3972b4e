#include "platform/device/Keychain.h"

#include "platform/foundation/Paths.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

using json = nlohmann::json;

std::mutex keychainMutex;

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string toBase64(const std::vector<uint8_t> &in) {
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    uint32_t v = (uint32_t(in[i]) << 16) | (uint32_t(in[i + 1]) << 8) | in[i + 2];
    for (int s = 18; s >= 0; s -= 6)
      out += kBase64[(v >> s) & 63];
  }
  if (i < in.size()) {
    uint32_t v = uint32_t(in[i]) << 16;
    if (i + 1 < in.size()) v |= uint32_t(in[i + 1]) << 8;
    out += kBase64[(v >> 18) & 63];
    out += kBase64[(v >> 12) & 63];
    out += i + 1 < in.size() ? kBase64[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::optional<std::vector<uint8_t>> fromBase64(const std::string &in) {
  std::vector<uint8_t> out;
  uint32_t v = 0;
  int bits = 0;
  size_t pad = 0;
  for (char c : in) {
    if (c == '=') {
      ++pad;
      continue;
    }
    if (pad) return std::nullopt;
    const char *p = std::strchr(kBase64, c);
    if (!p || c == '\0') return std::nullopt;
    v = (v << 6) | uint32_t(p - kBase64);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(uint8_t(v >> bits));
    }
  }
  if (pad > 2) return std::nullopt;
  return out;
}

bool sameIdentity(const KeychainAttributes &a, const KeychainAttributes &b) {
  return a.account == b.account && a.service == b.service;
}

bool isEmptyQuery(const KeychainAttributes &q) {
  return q == KeychainAttributes{};
}

// ---- the file ----

struct Items {
  std::vector<KeychainItem> list;
};

const char *kTextKeys[] = {"label", "description", "account", "service", "comment"};

std::optional<std::string> *textField(KeychainAttributes &a, int i) {
  std::optional<std::string> *fields[] = {&a.label, &a.description, &a.account, &a.service,
                                          &a.comment};
  return fields[i];
}

// Reads the file. Missing file: no items. Unreadable: IO; not understood: Decode.
KeychainStatus load(Items &items) {
  struct stat st;
  if (::stat(Keychain::filePath().c_str(), &st) != 0)
    return errno == ENOENT ? KeychainStatus::Success : KeychainStatus::IO;
  std::ifstream in(Keychain::filePath(), std::ios::binary);
  if (!in) return KeychainStatus::IO;
  std::stringstream buffer;
  buffer << in.rdbuf();
  json doc = json::parse(buffer.str(), nullptr, false);
  if (doc.is_discarded() || !doc.is_object() || !doc.contains("items") || !doc["items"].is_array())
    return KeychainStatus::Decode;
  for (const auto &e : doc["items"]) {
    if (!e.is_object()) return KeychainStatus::Decode;
    KeychainItem item;
    for (int i = 0; i < 5; ++i) {
      auto it = e.find(kTextKeys[i]);
      if (it == e.end()) continue;
      if (!it->is_string()) return KeychainStatus::Decode;
      *textField(item.attributes, i) = it->get<std::string>();
    }
    if (auto it = e.find("generic"); it != e.end()) {
      if (!it->is_string()) return KeychainStatus::Decode;
      auto bytes = fromBase64(it->get<std::string>());
      if (!bytes) return KeychainStatus::Decode;
      item.attributes.generic = std::move(*bytes);
    }
    if (auto it = e.find("data"); it != e.end()) {
      if (!it->is_string()) return KeychainStatus::Decode;
      auto bytes = fromBase64(it->get<std::string>());
      if (!bytes) return KeychainStatus::Decode;
      item.data = std::move(*bytes);
    }
    items.list.push_back(std::move(item));
  }
  return KeychainStatus::Success;
}

// Writes a new file beside the old one (created 0600) and renames it over it.
KeychainStatus save(const Items &items) {
  json list = json::array();
  for (const auto &item : items.list) {
    json e = json::object();
    KeychainAttributes a = item.attributes;
    for (int i = 0; i < 5; ++i)
      if (auto *f = textField(a, i); f->has_value()) e[kTextKeys[i]] = **f;
    if (a.generic) e["generic"] = toBase64(*a.generic);
    e["data"] = toBase64(item.data);
    list.push_back(std::move(e));
  }
  json doc = {{"version", 1}, {"items", std::move(list)}};
  std::string text = doc.dump(1, ' ', false, json::error_handler_t::replace) + "\n";

  const std::string path = Keychain::filePath();
  std::string tmp = path + ".XXXXXX";
  int fd = ::mkstemp(tmp.data());
  if (fd < 0) return KeychainStatus::IO;
  ::fchmod(fd, 0600);
  size_t done = 0;
  bool ok = true;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    done += size_t(n);
  }
  ok = ok && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(tmp.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(tmp.c_str());
    return KeychainStatus::IO;
  }
  std::string dir = path.substr(0, path.find_last_of('/'));
  int dfd = ::open(dir.empty() ? "/" : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return KeychainStatus::Success;
}

} // namespace

bool KeychainAttributes::matches(const KeychainAttributes &q) const {
  return (!q.label || label == q.label) && (!q.description || description == q.description) &&
         (!q.account || account == q.account) && (!q.service || service == q.service) &&
         (!q.comment || comment == q.comment) && (!q.generic || generic == q.generic);
}

void KeychainAttributes::apply(const KeychainAttributes &c) {
  if (c.label) label = c.label;
  if (c.description) description = c.description;
  if (c.account) account = c.account;
  if (c.service) service = c.service;
  if (c.comment) comment = c.comment;
  if (c.generic) generic = c.generic;
}

std::string Keychain::filePath() {
  return Paths::home() + "/keychain";
}

KeychainStatus Keychain::copyMatching(const KeychainAttributes &query, KeychainItem *result) {
  std::lock_guard lock(keychainMutex);
  Items items;
  if (auto st = load(items); st != KeychainStatus::Success) return st;
  for (const auto &item : items.list) {
    if (!item.attributes.matches(query)) continue;
    if (result) *result = item;
    return KeychainStatus::Success;
  }
  return KeychainStatus::ItemNotFound;
}

KeychainStatus Keychain::add(const KeychainItem &item) {
  std::lock_guard lock(keychainMutex);
  Items items;
  if (auto st = load(items); st != KeychainStatus::Success) return st;
  for (const auto &existing : items.list)
    if (sameIdentity(existing.attributes, item.attributes)) return KeychainStatus::DuplicateItem;
  items.list.push_back(item);
  return save(items);
}

KeychainStatus Keychain::update(const KeychainAttributes &query, const KeychainAttributes &changes,
                                const std::vector<uint8_t> *newData) {
  if (isEmptyQuery(query)) return KeychainStatus::Param;
  std::lock_guard lock(keychainMutex);
  Items items;
  if (auto st = load(items); st != KeychainStatus::Success) return st;
  bool found = false;
  for (auto &item : items.list) {
    if (!item.attributes.matches(query)) continue;
    found = true;
    item.attributes.apply(changes);
    if (newData) item.data = *newData;
  }
  if (!found) return KeychainStatus::ItemNotFound;
  for (size_t i = 0; i < items.list.size(); ++i)
    for (size_t j = i + 1; j < items.list.size(); ++j)
      if (sameIdentity(items.list[i].attributes, items.list[j].attributes))
        return KeychainStatus::DuplicateItem; // nothing written
  return save(items);
}

KeychainStatus Keychain::remove(const KeychainAttributes &query) {
  if (isEmptyQuery(query)) return KeychainStatus::Param;
  std::lock_guard lock(keychainMutex);
  Items items;
  if (auto st = load(items); st != KeychainStatus::Success) return st;
  size_t before = items.list.size();
  std::erase_if(items.list, [&](const KeychainItem &i) { return i.attributes.matches(query); });
  if (items.list.size() == before) return KeychainStatus::Success;
  return save(items);
}

} // namespace platform
