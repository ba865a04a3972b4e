#include "app/queue/LocalPathIndex.h"

void LocalPathIndex::add(const std::string &path) {
  if (path.empty()) return;
  if (++paths_[path] == 1) ++lengths_[path.size()];
}

void LocalPathIndex::remove(const std::string &path) {
  auto it = paths_.find(path);
  if (it == paths_.end()) return;
  if (--it->second > 0) return;
  paths_.erase(it);
  auto length = lengths_.find(path.size());
  if (length != lengths_.end() && --length->second == 0) lengths_.erase(length);
}

void LocalPathIndex::clear() {
  paths_.clear();
  lengths_.clear();
}

bool LocalPathIndex::endsWithAny(std::string_view path) const {
  for (const auto &[length, count] : lengths_) {
    if (length > path.size()) break; // the lengths come in ascending order
    if (paths_.find(path.substr(path.size() - length)) != paths_.end()) return true;
  }
  return false;
}
