// The permissions the folder screens' listings showed for each file, so that a file replaced by an
// upload under a temporary name (renamed over it) can be given its mode back.
#pragma once

#include "app/foundation/RemoteName.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

class DirItemInfo;

namespace ftpmodes {

// The mode of a listing's permissions column ("-rw-------": "600", "-rwsr-xr-x": "4755"); nothing
// for a column that is not of that form (a server that lists no such column).
std::optional<std::string> modeOfAttributes(const std::string &attrib);

// `connection` names the server, port and user; the folder as the listing's "PWD" named it.
void rememberListing(const std::string &connection, const RemoteName &folder,
                     const std::vector<std::shared_ptr<DirItemInfo>> &entries);
std::optional<std::string> listedMode(const std::string &connection, const RemoteName &folder,
                                      const RemoteName &name);

} // namespace ftpmodes
