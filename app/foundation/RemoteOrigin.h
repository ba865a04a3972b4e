// Where a remote file lives: the server's host and port, the login user, the kind of connection
// and the file's path on that server. It is the one name of a remote file: the working copy the
// editor and the viewer open, the partial file of its download, its edit record and its queue
// rows are named by it and compared through it, so that two files of one name from two servers
// (or ports, users, folders) never share any of them.
#pragma once

#include "app/foundation/RemoteName.h"

#include <optional>
#include <string>

// A server text as the connect screen, a bookmark or a queue row keeps it, in its parts:
// "sftp://" + "host" + ":2222" + "/folder". The host ends at the first "/"; one colon in it parts
// the host and the port, "[...]" keeps an IPv6 address whole, and a host of more colons is such an
// address without brackets (no port). The folder is where a login starts.
struct ServerText {
  std::string scheme; // "sftp://" or the like, or empty
  std::string host;
  int port = 0;       // 0: no port (or one that is not a number from 1 to 65535)
  std::string folder; // "/folder" or empty
  // A port was written ("host:70000", "host:-1", "host:ftp") that is no number from 1 to 65535:
  // nothing connects to such a text. (Nothing after the colon is no port.)
  bool portRefused = false;

  static ServerText parse(const std::string &text);
  // The text again, with `port` in place of the one it held, or without a port (0). A port out of
  // range is written as it is, so that what connects to the text refuses it.
  std::string withPort(int port) const;
};

// A port written in decimal digits only, from 1 to 65535; 0 for anything else.
int portNumber(const std::string &text);

// What a connection, the connect screen, a bookmark and a handed address say of a port that is
// out of range or no number.
inline constexpr const char *kPortRangeMessage = "The port must be a number from 1 to 65535.";
// Whether the port text after a server's colon (spaces around it aside) is refused: something is
// written, and it is no number from 1 to 65535.
bool portTextRefused(const std::string &text);

struct RemoteOrigin {
  std::string host; // the host alone, as typed, compared without regard to case
  int port = 0;
  std::string user;
  std::string protocol; // "ftp", "ftps" or "sftp"
  // The file's path on the server: "/pub/a.txt", or "pub/a.txt" below the login folder; empty
  // when only the server is meant. Doubled and trailing slashes are no part of it.
  std::string path;
  // The same path in the bytes the server named it with, when they are not its text's own (an
  // FTP name the server stores in ISO Latin-1, say): two files whose paths read alike are two.
  std::optional<std::string> pathBytes = std::nullopt;

  // From a server text (above): a port given apart (1 to 65535) is the port; else the text's;
  // else the protocol's own, 22 for "sftp" and 21 for the others. The file is `name` in `folder`.
  static RemoteOrigin of(const std::string &protocol, const std::string &serverText, int port,
                         const std::string &user, const std::string &folder = {},
                         const std::string &name = {});
  // The same with the folder and the name as a server named them (their bytes kept).
  static RemoteOrigin ofNames(const std::string &protocol, const std::string &serverText, int port,
                              const std::string &user, const RemoteName &folder,
                              const RemoteName &name);

  // The same host, port and user over the same kind of connection. FTP and FTPS are one kind: a
  // server that turns out to offer no TLS may be reached without it when the person says so.
  bool sameConnectionAs(const RemoteOrigin &other) const;
  // The same connection and the same path on it.
  bool sameFileAs(const RemoteOrigin &other) const;

  // The file as one text, the same in every run, that tells every two files of other origins
  // apart: the kind, the host (in small letters), the port, the user and the path, a line each.
  std::string key() const;
};
