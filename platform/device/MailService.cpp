#include "platform/device/MailService.h"

#include "platform/device/Spawn.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Text.h"

#include <mutex>
#include <stdlib.h>

namespace platform {

namespace {
std::mutex recorderMutex;
std::function<bool(const MailMessage &)> recorder;

std::function<bool(const MailMessage &)> currentRecorder() {
  std::lock_guard lock(recorderMutex);
  return recorder;
}

// A file name that stays inside the folder made for it.
std::string safeAttachmentName(const std::string &name, size_t index) {
  std::string base = lastPathComponent(name);
  std::string out;
  for (unsigned char c : base)
    out += (c < 0x20 || c == 0x7f || c == '/') ? '_' : char(c);
  if (out.empty() || out == "." || out == "..") out = "attachment-" + std::to_string(index + 1);
  return out;
}

// Flags and recipients are separate arguments; a value that starts with "-" would read as a flag.
bool safeArgument(const std::string &text) {
  return !text.empty() && text[0] != '-';
}
} // namespace

void MailService::setRecorder(std::function<bool(const MailMessage &)> r) {
  std::lock_guard lock(recorderMutex);
  recorder = std::move(r);
}

bool MailService::canSendMail() {
  return currentRecorder() || !findOnPath("xdg-email").empty();
}

bool MailService::send(const MailMessage &message) {
  if (auto r = currentRecorder()) return r(message);
  const std::string program = findOnPath("xdg-email");
  if (program.empty()) {
    Log::system("Mail: xdg-email is not available; the message was not handed on");
    return false;
  }
  std::vector<std::string> argv{program,         "--utf8", "--subject",
                                message.subject, "--body", message.body};
  if (!message.attachments.empty()) {
    std::string folder = Paths::tmp() + "/mail-XXXXXX";
    if (!::mkdtemp(folder.data())) {
      Log::system("Mail: could not make a folder for the attachments");
      return false;
    }
    for (size_t i = 0; i < message.attachments.size(); ++i) {
      const auto &a = message.attachments[i];
      const std::string path = folder + "/" + safeAttachmentName(a.fileName, i);
      if (!FileManager::writeAtomically(path, a.data, 0600)) {
        Log::system("Mail: could not write the attachment " + path);
        return false;
      }
      argv.push_back("--attach");
      argv.push_back(path);
    }
  }
  for (const auto &to : message.toRecipients)
    if (safeArgument(to)) argv.push_back(to);
  if (!spawnDetached(argv)) {
    Log::system("Mail: could not start xdg-email");
    return false;
  }
  return true;
}

} // namespace platform
