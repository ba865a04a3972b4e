// A download never writes into the file it is to replace. Its bytes go to a partial file beside
// that file, and the partial file takes the file's place by one rename once every byte is in:
// the same folder, so the old file is replaced whole or not at all. A download that fails before
// its end leaves the old file as it was; the partial file of a cut download is what a resume
// continues (never the finished file of that name).
#pragma once

#include "app/foundation/RemoteOrigin.h"

#include "platform/foundation/FileManager.h"

#include <string>

// The partial file of a download into `target`: beside it, under a name no other download of
// another file uses.
std::string partialFilePath(const std::string &target);

// The partial file of a download of `source` (where the bytes come from, see the two functions
// below) into `target`: beside it, under a name of that source's own, the same in every run. Two
// downloads of one name from different servers, ports, users or folders never write into, or
// resume from, each other's partial file; a download of the same file after a restart finds its
// own.
std::string partialFilePath(const std::string &target, const std::string &source);

// A short name of a source, the same in every run: 16 hexadecimal digits.
std::string sourceTag(const std::string &source);

// The partial file of a download of a remote file into `target`: named by the file's origin.
std::string partialFilePath(const std::string &target, const RemoteOrigin &origin);

// The partial file of an FTP download of a remote file: in the temporary folder, beside the
// file's name there (where a resume of an earlier version finds it too).
std::string temporaryPartialFilePath(const RemoteOrigin &origin);

// Where the bytes of an FTP download come from: the origin (see RemoteOrigin) of the file `name` in
// `folder` on the server `host` (as typed, any case; a port or folder after it is left out).
std::string ftpDownloadSource(const std::string &host, int port, const std::string &user,
                              const std::string &folder, const std::string &name);

// Where the bytes of an SFTP download come from: the origin of the file at `remotePath` on the
// connection's server (its text as given; its port when none is given apart).
std::string sftpDownloadSource(const std::string &server, int port, const std::string &user,
                               const std::string &remotePath);

// Where the bytes of a web download come from: its address.
std::string webDownloadSource(const std::string &url);

// Puts the partial file in the target's place; a file there is replaced in the same step. A
// folder there is not replaced: the partial file stays and the status says why.
platform::FileStatus putPartialFileInPlace(const std::string &partial, const std::string &target);

// Puts the partial file in the target's place when nothing stands there, else beside it under the
// first free name of "name-2.ext", "name-3.ext", ...: nothing is replaced, not even what arrives
// under one of those names meanwhile. `placed` (when given) gets the path the file took.
platform::FileStatus putPartialFileUnderFreeName(const std::string &partial,
                                                 const std::string &target,
                                                 std::string *placed = nullptr);

// Puts a copy of `source` (or `source` itself, when `move`) in the target's place through the
// target's partial file: the target is replaced only by a whole copy, and a copy or move that
// fails leaves both files as they were.
platform::FileStatus replaceFileWith(const std::string &source, const std::string &target,
                                     bool move);

// Removes the partial file when it holds nothing: a failed download with no byte in gives no
// resume, and leaves nothing behind.
void removePartialFileIfEmpty(const std::string &partial);
