#include "platform/device/MailService.h"

#include "platform/device/Spawn.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Text.h"

#include <cctype>
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

// The character references of HTML text replaced by their characters (unknown ones kept).
std::string decodeReferences(std::string_view text) {
  static const std::pair<const char *, const char *> named[] = {
      {"amp", "&"}, {"lt", "<"}, {"gt", ">"}, {"quot", "\""}, {"apos", "'"}, {"nbsp", " "}};
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const size_t semi = text[i] == '&' ? text.find(';', i) : std::string_view::npos;
    if (semi == std::string_view::npos || semi - i > 10) {
      out += text[i];
      continue;
    }
    const std::string_view name = text.substr(i + 1, semi - i - 1);
    std::string replacement;
    if (name.size() > 1 && name[0] == '#') {
      const bool hex = name[1] == 'x' || name[1] == 'X';
      unsigned long code = 0;
      bool digits = name.size() > (hex ? 2u : 1u);
      for (char c : name.substr(hex ? 2 : 1)) {
        const int d = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                      : hex && std::isxdigit(static_cast<unsigned char>(c))
                          ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                          : -1;
        if (d < 0 || code > 0x10FFFF) digits = false;
        if (!digits) break;
        code = code * (hex ? 16 : 10) + unsigned(d);
      }
      // Control characters (but for tab and line feed) and non-characters stay as written.
      if (digits && code <= 0x10FFFF && (code >= 0x20 || code == '\t' || code == '\n') &&
          code != 0x7F && (code < 0xD800 || code > 0xDFFF)) {
        appendUTF8(replacement, static_cast<char32_t>(code));
      }
    } else {
      for (auto &[n, v] : named)
        if (name == n) replacement = v;
    }
    if (replacement.empty()) {
      out += text[i];
      continue;
    }
    out += replacement;
    i = semi;
  }
  return out;
}

// An HTML body as the plain text a mail program is handed (xdg-email's body is plain text): tags
// dropped, line breaks kept, references decoded, and a link's address after its text when the
// text is not the address itself.
std::string plainTextOfHTML(std::string_view html) {
  std::string out, href;
  size_t anchorStart = std::string::npos;
  size_t i = 0;
  while (i < html.size()) {
    const size_t open = html.find('<', i);
    out += decodeReferences(html.substr(i, open == std::string_view::npos ? open : open - i));
    if (open == std::string_view::npos) break;
    const size_t close = html.find('>', open);
    if (close == std::string_view::npos) break; // an unfinished tag shows nothing
    std::string tag = lowercase(std::string(html.substr(open + 1, close - open - 1)));
    i = close + 1;
    const std::string name = tag.substr(0, tag.find_first_of(" \t\n/", tag[0] == '/' ? 1 : 0));
    if (name == "br" || name == "/p" || name == "/div" || name == "/li" || name == "/tr") {
      out += '\n';
    } else if (name == "a") {
      href.clear();
      anchorStart = out.size();
      const size_t at = tag.find("href=");
      if (at != std::string::npos) {
        // The value as written, not lower-cased.
        std::string_view raw = html.substr(open + 1 + at + 5, close - open - 1 - at - 5);
        const char quote = !raw.empty() && (raw[0] == '\'' || raw[0] == '"') ? raw[0] : ' ';
        if (quote != ' ') raw.remove_prefix(1);
        href = decodeReferences(raw.substr(0, raw.find(quote)));
      }
    } else if (name == "/a") {
      if (anchorStart != std::string::npos && !href.empty() && out.substr(anchorStart) != href)
        out += " (" + href + ")";
      anchorStart = std::string::npos;
      href.clear();
    }
  }
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

void MailService::send(const MailMessage &message, std::function<void(bool)> done) {
  auto answer = [&done](bool sent) {
    if (done) done(sent);
  };
  if (auto r = currentRecorder()) return answer(r(message));
  const std::string program = findOnPath("xdg-email");
  if (program.empty()) {
    Log::system("Mail: xdg-email is not available; the message was not handed on");
    return answer(false);
  }
  const std::string body = message.bodyIsHTML ? plainTextOfHTML(message.body) : message.body;
  // xdg-email refuses an option with an empty value: a subject or body that is empty is left out.
  std::vector<std::string> argv{program, "--utf8"};
  for (const auto &[option, value] : {std::pair{"--subject", &message.subject}, {"--body", &body}})
    if (!value->empty()) {
      argv.push_back(option);
      argv.push_back(*value);
    }
  // The attachments' folder stays for the mail program that took the message (it may read them
  // after xdg-email has ended); a message not handed on leaves none behind.
  std::string folder;
  if (!message.attachments.empty()) {
    folder = Paths::tmp() + "/mail-XXXXXX";
    if (!::mkdtemp(folder.data())) {
      Log::system("Mail: could not make a folder for the attachments");
      return answer(false);
    }
    for (size_t i = 0; i < message.attachments.size(); ++i) {
      const auto &a = message.attachments[i];
      const std::string path = folder + "/" + safeAttachmentName(a.fileName, i);
      if (!FileManager::writeAtomically(path, a.data, 0600)) {
        Log::system("Mail: could not write the attachment " + path);
        FileManager::removeItem(folder);
        return answer(false);
      }
      argv.push_back("--attach");
      argv.push_back(path);
    }
  }
  for (const auto &to : message.toRecipients)
    if (safeArgument(to)) argv.push_back(to);
  spawnReported(argv, kHandOverWait,
                [done = std::move(done), folder](bool took, const std::string &why) {
                  if (!took) {
                    Log::system("Mail: the mail program did not take the message: " + why);
                    if (!folder.empty()) FileManager::removeItem(folder);
                  }
                  if (done) done(took);
                });
}

} // namespace platform
