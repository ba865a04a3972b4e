// The edit state a run leaves behind when it closes with a remote file open in the editor: the
// working file with the text typed so far, and its record in the settings (the plain keys an
// iPhone reads, or one file-tab slot of an iPad). An earlier version kept no port and no protocol
// (nor whether the text holds edits): leave those empty to write such a record.
#pragma once

#include "app/foundation/EditOrigin.h"
#include "app/foundation/Scrambler.h"
#include "app/foundation/SettingsKeys.h"

#include "platform/foundation/Paths.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/support/TestSupport.h"

#include <optional>
#include <string>

namespace testsupport {

struct EditRecord {
  std::string server, user, password; // the password as typed (stored scrambled)
  int port = 0;                       // 0: not kept (an earlier version's record)
  std::string protocol;               // "ftp", "ftps", "sftp"; empty: not kept
  std::string folder, name, text;     // remote folder and file name; the text typed so far
  std::string changed = {}; // "1": the text holds edits, "0": it does not; empty: not kept
};

// Writes the working file (in the temporary folder, named after the slot and the file) and the
// record; returns the working file's path. Without a slot: the plain keys of an iPhone.
inline std::string leaveEditRecord(const EditRecord &r, std::optional<int> slot = std::nullopt) {
  auto &s = platform::UserDefaults::standard();
  const std::string working =
      platform::Paths::tmp() + "/" + (slot ? std::to_string(*slot) + "-" : "") + r.name;
  writeFile(working, r.text);
  auto key = [&](const char *base) { return slot ? keyForTab(*slot, base) : std::string(base); };
  s.setObject(working, key(kEditingFTPFile));
  s.setObject(r.name, key(kWasEditingFileName));
  s.setObject(r.folder, key(kWasEditingInFolder));
  s.setObject(r.server, key(kWasEditingServerNameKey));
  s.setObject(r.user, key(kWasEditingUserNameKey));
  s.setObject(myEncryptString1(r.password), key(kWasEditingUserPassKey));
  if (r.port > 0) s.setObject(std::to_string(r.port), key(kWasEditingServerPortKey));
  if (!r.protocol.empty()) s.setObject(r.protocol, key(kWasEditingProtocolKey));
  if (!r.changed.empty()) s.setObject(r.changed, key(kWasEditingChangedKey));
  if (slot) s.setObject("1", keyIndexIsUsed(*slot));
  s.synchronize();
  return working;
}

// The record as the settings hold it now (the plain keys, or a slot's with its "IndexIsUsed"):
// one "key=value" line for each key that is not empty and not "0"; empty once it is forgotten.
inline std::string editRecordNow(std::optional<int> slot = std::nullopt) {
  auto &s = platform::UserDefaults::standard();
  std::string out;
  auto add = [&](const std::string &key) {
    const std::string value = s.stringForKey(key).value_or("");
    if (!value.empty() && value != "0") out += key + "=" + value + "\n";
  };
  for (const char *base : kEditRecordKeys)
    add(slot ? keyForTab(*slot, base) : std::string(base));
  if (slot) add(keyIndexIsUsed(*slot));
  return out;
}

} // namespace testsupport
