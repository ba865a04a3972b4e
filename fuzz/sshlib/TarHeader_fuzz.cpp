// Tar header parsing of arbitrary blocks: no crash, and the parsed fields keep their rules.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sshlib/core/DataSource.h"
#include "sshlib/core/LogNull.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/TarHeader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  unsigned char block[512];
  std::memset(block, 0, sizeof(block));
  std::memcpy(block, data, size < 512 ? size : 512);

  TarHeader h;
  LogNull log;
  bool end = false;
  bool ok = h.parseFromMemory(block, end, log, true);
  if (ok && !end) {
    if (h.m_size < 0) std::abort();
    std::string name(h.m_name.getString());
    std::string prefix(h.m_prefix.getString());
    std::string path(h.m_path.getString());
    if (name.size() > 100 || prefix.size() > 155) std::abort();
    if (path != (prefix.empty() ? name : prefix + "/" + name)) std::abort();
    if (h.m_typeflag == '5' && !h.m_isDirectory) std::abort();
    if (h.m_linkname && h.m_linkname->getSize() == 0) std::abort();
  }
  if (end) {
    for (unsigned char c : block)
      if (c) std::abort();
  }
  StringBuffer qp;
  h.getFieldsQP(block, qp);
  if (!qp.beginsWith("name: ")) std::abort();

  // The same block through a data source gives the same answer.
  MemoryDataSource src;
  src.initializeMemSource(reinterpret_cast<const char *>(block), 512, false);
  TarHeader h2;
  bool end2 = false;
  bool ok2 = h2.parseFromDataSource(src, nullptr, end2, log);
  if (ok2 != ok || end2 != end) std::abort();
  if (ok && h2.m_size != h.m_size) std::abort();
  return 0;
}
