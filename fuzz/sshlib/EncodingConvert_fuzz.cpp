// The conversion engine on arbitrary bytes between any pair of code pages (table, Unicode and
// escape-sequence forms), with every error action, plus the table body readers.
#include <cstddef>
#include <cstdint>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/EncodingConvert.h"
#include "sshlib/core/HashConvert.h"
#include "sshlib/core/Japanese.h"

namespace {

const int kCodePages[] = {0,     1200,  1201,  65000, 65001, 65005, 65006, 932,   936,
                          949,   950,   1361,  10001, 51932, 51936, 51949, 50220, 50221,
                          50222, 50225, 10004, 28596, 1256,  1252,  28591, 20127, 37,
                          20290, 864,   1255,  52936, 28600, 12345, 10005, 20269, 20924};
constexpr size_t kCount = sizeof(kCodePages) / sizeof(kCodePages[0]);
const int kActions[] = {0, 1, 2, 6, 7, 8};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3) return 0;
  int src = kCodePages[data[0] % kCount];
  int dst = kCodePages[data[1] % kCount];
  int action = kActions[data[2] % 6];
  const unsigned char *p = data + 3;
  unsigned int n = (unsigned int)(size - 3);

  EncodingConvert ec;
  ec.setErrorAction(action);
  ec.setSubstitutionBytes(p, n < 4 ? (int)n : 4);
  ec.setAltCodePage(kCodePages[(data[2] >> 3) % kCount]);
  DataBuffer out;
  ec.EncConvert(src, dst, p, n, out);

  DataBuffer direct;
  Japanese().Iso2022ToShiftJis(p, (int)n, direct);
  Japanese().ShiftJisToIso2022(p, (int)n, direct);
  Korean().Iso2022ToKsc(p, (int)n, direct);
  Korean().KscToIso2022(p, (int)n, direct);

  HashConvert table;
  table.Initialize(1 + data[0] % 31);
  EncodingConvert::buildFromComplete(p, n, table, (data[1] & 1) != 0);
  EncodingConvert::buildFromDiffs(p, n, table);
  HashConvert reverse;
  reverse.Initialize(7);
  table.BuildReverse(reverse);
  return 0;
}
