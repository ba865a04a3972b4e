// A download never writes into the file it is to replace. Its bytes go to a partial file beside
// that file, and the partial file takes the file's place by one rename once every byte is in:
// the same folder, so the old file is replaced whole or not at all. A download that fails before
// its end leaves the old file as it was; the partial file of a cut download is what a resume
// continues (never the finished file of that name).
#pragma once

#include "platform/foundation/FileManager.h"

#include <string>

// The partial file of a download into `target`: beside it, under a name no other download of
// another file uses.
std::string partialFilePath(const std::string &target);

// Puts the partial file in the target's place; a file there is replaced in the same step. A
// folder there is not replaced: the partial file stays and the status says why.
platform::FileStatus putPartialFileInPlace(const std::string &partial, const std::string &target);

// Puts a copy of `source` (or `source` itself, when `move`) in the target's place through the
// target's partial file: the target is replaced only by a whole copy, and a copy or move that
// fails leaves both files as they were.
platform::FileStatus replaceFileWith(const std::string &source, const std::string &target,
                                     bool move);

// Removes the partial file when it holds nothing: a failed download with no byte in gives no
// resume, and leaves nothing behind.
void removePartialFileIfEmpty(const std::string &partial);
