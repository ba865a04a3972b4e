// The local paths of the queued items, kept so that "does this file belong to a queued transfer?"
// is a few hash look-ups rather than a scan of every row: a path answers yes when it ends with a
// held path. Only the suffixes of the lengths held are looked up, so a query costs one look-up
// per distinct length, whatever the number of items. Empty paths are never held (an empty
// suffix would claim every file).
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>

class LocalPathIndex {
public:
  void add(const std::string &path);
  void remove(const std::string &path);
  void clear();
  // True when `path` ends with one of the held paths (a plain suffix, as the queue has always
  // matched them).
  bool endsWithAny(std::string_view path) const;
  size_t size() const { return paths_.size(); }

private:
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  // Each held path with the number of items that hold it.
  std::unordered_map<std::string, int, Hash, std::equal_to<>> paths_;
  // The lengths of the held paths, with the number of distinct paths of each length.
  std::map<size_t, int> lengths_;
};
