#include "app/foundation/RemoteOrigin.h"

#include "platform/foundation/Text.h"

#include <cctype>

int portNumber(const std::string &text) {
  if (text.empty() || text.size() > 5) return 0;
  int port = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return 0;
    port = port * 10 + (c - '0');
  }
  return port <= 65535 ? port : 0;
}

namespace {
std::string trimmed(const std::string &text);
}

bool portTextRefused(const std::string &text) {
  const std::string port = trimmed(text);
  return !port.empty() && portNumber(port) == 0;
}

namespace {

bool knownProtocol(const std::string &word) {
  return word == "ftp" || word == "ftps" || word == "sftp";
}

// FTP and FTPS reach one server; SFTP is another service.
const char *kindOf(const std::string &protocol) {
  return protocol == "sftp" ? "sftp" : "ftp";
}

std::string trimmed(const std::string &text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// A remote path by its names: "/pub/", "/pub" and "/pub//" are one folder; "pub", below the
// login folder, is another.
std::string remotePath(const std::string &folder, const std::string &name) {
  const std::string whole = name.empty() ? folder : folder + "/" + name;
  std::string path = !whole.empty() && whole[0] == '/' ? "/" : "";
  for (const auto &part : platform::pathComponents(whole))
    if (!part.empty() && part != "/") path += (path.empty() || path == "/" ? "" : "/") + part;
  return path;
}

} // namespace

ServerText ServerText::parse(const std::string &text) {
  ServerText parts;
  std::string rest = trimmed(text);
  if (auto scheme = rest.find("://"); scheme != std::string::npos) {
    parts.scheme = rest.substr(0, scheme + 3);
    rest = rest.substr(scheme + 3);
  }
  if (auto slash = rest.find('/'); slash != std::string::npos) {
    parts.folder = rest.substr(slash);
    rest.resize(slash);
  }
  if (rest.rfind('[', 0) == 0 && rest.find(']') != std::string::npos) {
    const size_t close = rest.find(']');
    if (rest.size() > close + 1 && rest[close + 1] == ':') {
      parts.port = portNumber(trimmed(rest.substr(close + 2)));
      parts.portRefused = portTextRefused(rest.substr(close + 2));
    }
    rest.resize(close + 1);
  } else if (auto colon = rest.find(':'); colon != std::string::npos && colon == rest.rfind(':')) {
    parts.port = portNumber(trimmed(rest.substr(colon + 1)));
    parts.portRefused = portTextRefused(rest.substr(colon + 1));
    rest.resize(colon);
  }
  parts.host = rest;
  return parts;
}

std::string ServerText::withPort(int newPort) const {
  return scheme + host + (newPort ? ":" + std::to_string(newPort) : "") + folder;
}

RemoteOrigin RemoteOrigin::of(const std::string &protocol, const std::string &serverText, int port,
                              const std::string &user, const std::string &folder,
                              const std::string &name) {
  const ServerText parts = ServerText::parse(serverText);
  RemoteOrigin origin;
  origin.host = parts.host;
  origin.port = port >= 1 && port <= 65535 ? port
                : parts.port               ? parts.port
                : protocol == "sftp"       ? 22
                                           : 21;
  origin.user = user;
  origin.protocol = protocol;
  origin.path = remotePath(folder, name);
  return origin;
}

RemoteOrigin RemoteOrigin::ofNames(const std::string &protocol, const std::string &serverText,
                                   int port, const std::string &user, const RemoteName &folder,
                                   const RemoteName &name) {
  RemoteOrigin origin = of(protocol, serverText, port, user, folder.text(), name.text());
  if (folder.bytes() || name.bytes()) {
    std::string bytes =
        remotePath(folder.wire(false), name.empty() ? std::string() : name.wire(false));
    if (bytes != origin.path) origin.pathBytes = std::move(bytes);
  }
  return origin;
}

bool RemoteOrigin::sameConnectionAs(const RemoteOrigin &other) const {
  return knownProtocol(protocol) && knownProtocol(other.protocol) &&
         std::string(kindOf(protocol)) == kindOf(other.protocol) && port > 0 &&
         port == other.port && !host.empty() &&
         platform::lowercase(host) == platform::lowercase(other.host) && user == other.user;
}

bool RemoteOrigin::sameFileAs(const RemoteOrigin &other) const {
  return sameConnectionAs(other) && path == other.path && pathBytes == other.pathBytes;
}

std::string RemoteOrigin::key() const {
  // A path whose bytes are its text's own keeps the key it always had.
  return std::string(kindOf(protocol)) + "\n" + platform::lowercase(host) + "\n" +
         std::to_string(port) + "\n" + user + "\n" + path +
         (pathBytes ? "\n" + hexOfBytes(*pathBytes) : std::string());
}
