// Small helpers shared by the task files of the FTP connection (listing, downloads, uploads and
// file operations).
#pragma once

#include "app/ftp/FTPQueueStorage.h"
#include "app/ftp/FTPServices.h"

#include "platform/foundation/RunLoop.h"

#include <functional>
#include <memory>
#include <string>

namespace ftptasks {

// The folder named in a "PWD" reply: between the first pair of double quotes, or of single quotes
// when the reply has no double quote.
inline std::string quotedFolderOf(const std::string &reply) {
  const char quote = reply.find('"') != std::string::npos ? '"' : '\'';
  const size_t a = reply.find(quote);
  if (a == std::string::npos) return {};
  const size_t b = reply.find(quote, a + 1);
  return b == std::string::npos ? reply.substr(a + 1) : reply.substr(a + 1, b - a - 1);
}

// Runs fn with the queue's storage on the main thread and waits for it. False (fn not run) when
// the application has no queue.
inline bool withQueueStorage(const std::function<void(FTPQueueStorage &)> &fn) {
  auto services = FTPAppServices::shared();
  if (!services) return false;
  bool ran = false;
  platform::RunLoop::main()->performAndWait([&] {
    auto storage = std::dynamic_pointer_cast<FTPQueueStorage>(services->batchView());
    if (!storage) return;
    fn(*storage);
    ran = true;
  });
  return ran;
}

// The integer after the first three characters of a reply ("213 5368709120"), 0 when there is
// none.
int64_t sizeFromReply(const std::string &reply);

} // namespace ftptasks
