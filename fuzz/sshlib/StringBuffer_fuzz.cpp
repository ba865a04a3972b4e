// Applies editing operations chosen by the input to a StringBuffer holding arbitrary bytes and
// checks the invariants every operation must keep: the length stays within the block and the
// text is NUL-terminated.
#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/LogNull.h"
#include "sshlib/core/StringBuffer.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {
void checkInvariants(const StringBuffer &sb) {
  if (sb.getSize() < 0 || sb.getSize() >= sb.getCapacity() || sb.getString()[sb.getSize()] != 0)
    std::abort();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  size_t split = data[0] % size;
  const char *text = reinterpret_cast<const char *>(data + 1);
  size_t textLen = split > 0 ? split - 1 : 0;
  StringBuffer sb(text, static_cast<int>(textLen), 0);
  StringBuffer arg(reinterpret_cast<const char *>(data + split), static_cast<int>(size - split), 0);
  const char *a = arg.getString();
  for (size_t i = split; i < size && i < split + 48; ++i) {
    uint8_t op = data[i];
    int n = static_cast<int>(data[(i + 1) % size]) - 16;
    switch (op % 24) {
    case 0:
      sb.trim2();
      break;
    case 1:
      sb.trimTrailingCRLFs();
      break;
    case 2:
      sb.trimInsideSpaces();
      break;
    case 3:
      sb.removeChunk(n, static_cast<int>(data[(i + 2) % size]) - 8);
      break;
    case 4:
      sb.replaceAllOccurances(a, "xy");
      break;
    case 5:
      sb.replaceAllOccurancesNoCase(a + (op % 3 < arg.getSize() ? op % 3 : 0), "");
      break;
    case 6:
      sb.replaceFirstOccurance("a", a);
      break;
    case 7:
      sb.toLowerCase();
      sb.toUpperCase();
      break;
    case 8:
      sb.toCRLF();
      break;
    case 9:
      sb.toLF();
      break;
    case 10:
      sb.replaceHTMLSpecial();
      break;
    case 11:
      sb.stripDirectory();
      break;
    case 12:
      sb.removeInvalidXmlTagChars();
      break;
    case 13:
      sb.chopAtSubstr(a, op & 1);
      break;
    case 14:
      sb.eliminateChar(static_cast<char>(op), n);
      break;
    case 15:
      sb.shorten(n);
      break;
    case 16:
      sb.prepend(sb.getString() + (sb.getSize() > 0 ? (n & 3) % sb.getSize() : 0));
      break;
    case 17:
      sb.appendN(sb.getString(), sb.getSize());
      if (sb.getSize() > 4096) sb.shorten(sb.getSize() - 64);
      break;
    case 18: {
      StringBuffer out;
      unsigned c;
      sb.copyUntil(a, n, c, out);
      sb.getBetween("<", ">", out);
      checkInvariants(out);
    } break;
    case 19:
      StringBuffer::findWordOnlyLatin1(sb.getString(), a, op & 1, op & 2);
      break;
    case 20:
      sb.matches(a, op & 1);
      break;
    case 21: {
      DataBuffer db;
      db.append(sb);
      db.padForEncryption(op % 5, n);
      LogNull log;
      db.unpadAfterDecryption(op % 5, n, log);
      sb.takeFromDb(db);
    } break;
    case 22:
      sb.setString(sb.getString() + (sb.getSize() / 2));
      break;
    default:
      sb.minimizeMemoryUsage();
      break;
    }
    checkInvariants(sb);
    if (sb.getSize() > 2048) sb.shorten(sb.getSize() - 1024);
  }
  return 0;
}
