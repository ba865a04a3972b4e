// Where an edited remote file came from: the server's host, its port, the login user and the
// protocol word ("ftp", "ftps" or "sftp"). The edit state keeps it beside the file, so that the
// next start opens the file again only on a connection to that same place, and a save never goes
// to another server.
#pragma once

#include "app/foundation/RemoteOrigin.h"
#include "app/foundation/SettingsKeys.h"

#include <functional>
#include <optional>
#include <string>

// Beside the edit state's server ("EditingServerAddress") and user ("EditingUserName"): the port
// and the protocol word of the connection the file came from; per tab as "%i-EditingProtocol".
inline constexpr const char *kWasEditingServerPortKey = "EditingServerPort";
inline constexpr const char *kWasEditingProtocolKey = "EditingProtocol";
// "1" when the working file holds edits the server has not got, "0" when it is the file as it
// came; a record without it counts as changed.
inline constexpr const char *kWasEditingChangedKey = "EditingChanged";
// Beside the file's folder ("EditingInFolder") and name ("EditingFileName"): the bytes an FTP
// server named them with, in hexadecimal (empty: none kept), so that the save of a reopened file
// reaches the file it came from.
inline constexpr const char *kWasEditingInFolderBytesKey = "EditingInFolderBytes";
inline constexpr const char *kWasEditingFileNameBytesKey = "EditingFileNameBytes";

// "1" when the working file holds the text in UTF-8 because the file's encoding cannot hold what
// was typed, "0" when it holds it in the file's encoding; either way the record also keeps the
// encoding in force ("EditingFileEncoding", "EditingFileEncodingUnicodeTag"). A record without it
// (an earlier version's) holds the text as the file holds it, read as a file is read.
inline constexpr const char *kWasEditingTextInUTF8Key = "EditingTextInUTF8";

// A server's file saved into Saved Files as it was downloaded: that copy, which a save updates
// too (empty: none). The next start's save of the reopened file updates it as well.
inline constexpr const char *kWasEditingSavedCopyKey = "EditingSavedCopy";
// What the file held when the edit began ("size:mtime:hash"): a file of the device as read, a
// server's file as downloaded; so that no write goes over what another program or person put
// there meanwhile.
inline constexpr const char *kWasEditingFileBaseKey = "EditingFileBase";
// A server's file whose edit was saved and is on its way back: the base the server's file must
// still hold, under this key followed by the working file's path. It stays until the server has
// the text or the person gives the edit up (a tablet's record goes with its tab at Save).
inline constexpr const char *kSendingBackBaseKey = "SendingBackBase:";
// The same file's save handed to the queue last, and the one before it (which may be what the
// server holds when the newer one goes: the edit's own text, no change of another's), as marks.
inline constexpr const char *kSendingBackTextKey = "SendingBackText:";
inline constexpr const char *kSendingBackEarlierKey = "SendingBackEarlier:";
// The working file of the edit whose save joined the waiting save of this working file (the
// queue sends one upload of a file at a time): it arrives with that one.
inline constexpr const char *kSendingBackJoinedKey = "SendingBackJoined:";

// The base names of one edit record (plain on iPhone, "%i-" in front per file tab on iPad). A
// record of a file of the device names it under "EditingSavedFile" and keeps no server.
inline constexpr const char *kEditRecordKeys[] = {
    kWasEditingServerNameKey,    kWasEditingUserNameKey,   kWasEditingUserPassKey,
    kWasEditingInFolder,         kWasEditingFileName,      kEditingFTPFile,
    kWasEditingServerPortKey,    kWasEditingProtocolKey,   kWasEditingChangedKey,
    kEditingSavedFile,           kWasEditingTextInUTF8Key, kWasEditingInFolderBytesKey,
    kWasEditingFileNameBytesKey, kWasEditingSavedCopyKey,  kWasEditingFileBaseKey};

// Where an edited file came from (the edit state keeps its server, port, user, protocol and the
// file's folder and name): a remote file's origin.
using EditOrigin = RemoteOrigin;

// A name of the edit record with the bytes kept beside it (see kWasEditingFileNameBytesKey).
RemoteName editRecordName(const std::string &text, const std::string &hexBytes);

// The protocol word of a connection kind: "sftp", "ftps" (TLS) or "ftp".
std::string editProtocolWord(bool sftp, bool secure);

// The server a server text names (see RemoteOrigin::of), with no file.
EditOrigin editOriginOf(const std::string &serverText, const std::string &user,
                        const std::string &protocol);

// The origin an edit state holds (its server and the file's folder and name), read through
// `setting` (which maps a base key such as "EditingProtocol" to its value, plain or per tab). None
// when the state was written by a version that kept no port or protocol, or holds no server: such
// a file is reopened nowhere.
std::optional<EditOrigin> storedEditOrigin(const std::function<std::string(const char *)> &setting);
