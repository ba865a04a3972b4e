// Key files and key blobs of arbitrary content: no crash, no leak, and a key that loads gives a
// public blob that loads again to the same blob. The first byte picks the path: even, the whole
// rest as key-file text; odd, the rest as a public blob and a private-part blob (split in half).
#include <cstdint>
#include <cstdlib>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/LogNull.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/crypto/ClsSshKey.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1 || size > 64 * 1024) return 0;
  LogNull log;
  ClsSshKey key;
  key.put_Password("fuzz");
  bool loaded;
  if (data[0] % 2 == 0) {
    StringBuffer text(reinterpret_cast<const char *>(data + 1), static_cast<int>(size - 1), 0);
    loaded = key.loadAnyFormat(text, log);
  } else {
    const size_t half = (size - 1) / 2;
    DataBuffer pub, priv;
    pub.append(data + 1, static_cast<unsigned int>(half));
    priv.append(data + 1 + half, static_cast<unsigned int>(size - 1 - half));
    loaded = key.fromBlobs(pub, &priv, log);
  }
  if (!loaded) {
    if (key.hasKey()) std::abort();
    return 0;
  }
  DataBuffer blob, again;
  if (!key.getPublicKeyBlob(blob, log)) return 0;
  ClsSshKey other;
  if (!other.fromBlobs(blob, nullptr, log) || !other.getPublicKeyBlob(again, log) ||
      !again.equals(blob))
    std::abort();
  return 0;
}
