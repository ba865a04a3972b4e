// Mail: a message is composed here (recipients, subject, plain or HTML body, attachments) and
// handed to the desktop's mail program through xdg-email. Attachments are written to a folder of
// their own under the temporary folder so that the mail program can pick them up; when the
// message is not handed on, the folder goes again. Tests install a recorder in place of the
// hand-over.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform {

struct MailAttachment {
  std::vector<uint8_t> data;
  std::string mimeType;
  std::string fileName;
};

struct MailMessage {
  std::vector<std::string> toRecipients;
  std::string subject;
  std::string body;
  bool bodyIsHTML = false;
  std::vector<MailAttachment> attachments;
};

class MailService {
public:
  // Whether a message can be handed on: a recorder is installed or xdg-email is on PATH.
  static bool canSendMail();
  // Writes the attachments and hands the message on. `done` hears, once and on the main thread,
  // whether the mail program took the message: no (with a log line) when there is no mail
  // program, it could not be started, or it failed within kHandOverWait (Spawn.h). It may run
  // before send returns (a recorder's answer, a failure known at once). Main thread.
  static void send(const MailMessage &message, std::function<void(bool sent)> done);
  // Tests: receive every message instead of xdg-email (nullptr restores it); its answer is what
  // `done` hears.
  static void setRecorder(std::function<bool(const MailMessage &)> recorder);
};

} // namespace platform
