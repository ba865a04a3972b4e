#include "app/foundation/EditOrigin.h"

#include "app/foundation/SettingsKeys.h"

#include "platform/foundation/Text.h"

#include <cctype>

namespace {
// A port in decimal digits only, 1 to 65535; 0 for anything else.
int portNumber(const std::string &text) {
  if (text.empty() || text.size() > 5) return 0;
  int port = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return 0;
    port = port * 10 + (c - '0');
  }
  return port <= 65535 ? port : 0;
}

bool knownProtocol(const std::string &word) {
  return word == "ftp" || word == "ftps" || word == "sftp";
}
} // namespace

bool EditOrigin::sameConnectionAs(const EditOrigin &other) const {
  const bool sftp = protocol == "sftp", otherSftp = other.protocol == "sftp";
  return knownProtocol(protocol) && knownProtocol(other.protocol) && sftp == otherSftp &&
         port > 0 && port == other.port && !host.empty() &&
         platform::lowercase(host) == platform::lowercase(other.host) && user == other.user;
}

std::string editProtocolWord(bool sftp, bool secure) {
  return sftp ? "sftp" : secure ? "ftps" : "ftp";
}

EditOrigin editOriginOf(const std::string &serverText, const std::string &user,
                        const std::string &protocol) {
  std::string text = serverText;
  if (auto scheme = text.find("://"); scheme != std::string::npos) text = text.substr(scheme + 3);
  text = text.substr(0, text.find('/'));
  int port = 0;
  // One colon parts host and port; more are an address of another form, kept whole.
  if (auto colon = text.find(':'); colon != std::string::npos && colon == text.rfind(':')) {
    port = portNumber(text.substr(colon + 1));
    text = text.substr(0, colon);
  }
  if (port == 0) port = protocol == "sftp" ? 22 : 21;
  return EditOrigin{text, port, user, protocol};
}

std::optional<EditOrigin>
storedEditOrigin(const std::function<std::string(const char *)> &setting) {
  const std::string server = setting(kWasEditingServerNameKey);
  const std::string protocol = setting(kWasEditingProtocolKey);
  const int port = portNumber(setting(kWasEditingServerPortKey));
  if (server.empty() || !knownProtocol(protocol) || port == 0) return std::nullopt;
  EditOrigin origin = editOriginOf(server, setting(kWasEditingUserNameKey), protocol);
  origin.port = port;
  return origin;
}
