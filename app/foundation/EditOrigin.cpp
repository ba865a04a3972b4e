#include "app/foundation/EditOrigin.h"

#include "app/foundation/SettingsKeys.h"

RemoteName editRecordName(const std::string &text, const std::string &hexBytes) {
  return RemoteName::of(text, hexBytes.empty() ? std::nullopt : bytesOfHex(hexBytes));
}

std::string editProtocolWord(bool sftp, bool secure) {
  return sftp ? "sftp" : secure ? "ftps" : "ftp";
}

EditOrigin editOriginOf(const std::string &serverText, const std::string &user,
                        const std::string &protocol) {
  return RemoteOrigin::of(protocol, serverText, 0, user);
}

std::optional<EditOrigin>
storedEditOrigin(const std::function<std::string(const char *)> &setting) {
  const std::string server = setting(kWasEditingServerNameKey);
  const std::string protocol = setting(kWasEditingProtocolKey);
  // The port kept is the connection's, whatever the server text says.
  const int port = portNumber(setting(kWasEditingServerPortKey));
  if (server.empty() || port == 0 ||
      (protocol != "ftp" && protocol != "ftps" && protocol != "sftp"))
    return std::nullopt;
  return RemoteOrigin::ofNames(
      protocol, server, port, setting(kWasEditingUserNameKey),
      editRecordName(setting(kWasEditingInFolder), setting(kWasEditingInFolderBytesKey)),
      editRecordName(setting(kWasEditingFileName), setting(kWasEditingFileNameBytesKey)));
}
