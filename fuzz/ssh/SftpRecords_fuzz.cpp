// SFTP records from a server: ATTRS for every version, NAME listings, user-authentication
// questions and failures. No crash; a record that decodes encodes back to the bytes it used.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "sshlib/core/ClsStringArray.h"
#include "sshlib/core/LogNull.h"
#include "sshlib/ssh/ClsSFtp.h"
#include "sshlib/ssh/SshTransport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  unsigned int version = 3 + data[0] % 4;
  DataBuffer msg;
  msg.append(data + 1, (unsigned int)size - 1);
  LogNull log;
  SFtpFileAttr attr;
  unsigned int offset = 0;
  int step = 0;
  if (attr.unpackFileAttr(version, offset, msg, log, step, false)) {
    DataBuffer again;
    attr.packFileAttr(version, again, log);
    if (again.getSize() != offset || memcmp(again.getData2(), msg.getData2(), offset) != 0)
      std::abort();
    StringBuffer text;
    SFtpFileAttr back;
    attr.serialize(text, log);
    if (!back.unserialize(text, log, step, false) || back.size != attr.size) std::abort();
  }
  ClsSFtpDir dir;
  StringBuffer noCharset;
  dir.loadSshFxpName((int)version, noCharset, false, msg, log);
  for (int i = 0; i < dir.get_NumFilesAndDirs(); ++i) {
    std::unique_ptr<ClsSFtpFile> copy(dir.GetFileObject(i, log));
    if (!copy || copy->filenameUtf8() != dir.entry(i)->filenameUtf8() ||
        copy->get_Size64() != dir.entry(i)->get_Size64())
      std::abort();
  }
  unsigned int prompts = 0;
  StringBuffer first;
  bool change = false, partial = false;
  SshTransport::parseUserAuthInfoRequest(msg, prompts, first, log, change);
  ClsStringArray methods;
  SshTransport::parseUserAuthFailMsg(msg, methods, partial, log);
  return 0;
}
