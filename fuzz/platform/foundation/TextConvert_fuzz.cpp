// Arbitrary bytes decoded in every encoding (as names and listings from a server are): the text is
// valid UTF-8 and, where it encodes again, decodes to itself. The East Asian tables read a few
// vendor extensions that they do not write (one-way mappings); every other encoding must write
// back whatever it read.
#include <cstdint>
#include <cstdlib>

#include "platform/foundation/Text.h"

using namespace platform;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const Encoding kAll[] = {Encoding::ASCII,
                                  Encoding::JapaneseEUC,
                                  Encoding::UTF8,
                                  Encoding::ISOLatin1,
                                  Encoding::NonLossyASCII,
                                  Encoding::ShiftJIS,
                                  Encoding::ISOLatin2,
                                  Encoding::Unicode,
                                  Encoding::WindowsCP1251,
                                  Encoding::WindowsCP1252,
                                  Encoding::WindowsCP1253,
                                  Encoding::WindowsCP1254,
                                  Encoding::WindowsCP1250,
                                  Encoding::ISO2022JP,
                                  Encoding::WindowsHebrew,
                                  Encoding::WindowsArabic,
                                  Encoding::GBK,
                                  Encoding::GB18030,
                                  Encoding::EUCKR,
                                  Encoding::KOI8R,
                                  Encoding::Big5,
                                  Encoding::UTF16BigEndian,
                                  Encoding::UTF16LittleEndian};
  for (Encoding e : kAll) {
    auto text = decodeText(data, size, e);
    if (!text) continue;
    if (!isValidUTF8(*text)) std::abort();
    auto bytes = encodeText(*text, e);
    bool oneWayPossible = e == Encoding::ShiftJIS || e == Encoding::JapaneseEUC ||
                          e == Encoding::ISO2022JP || e == Encoding::EUCKR || e == Encoding::Big5 ||
                          e == Encoding::GBK;
    if (!bytes && !oneWayPossible) std::abort();
    if (bytes && decodeText(*bytes, e) != text) std::abort();
  }
  // The input as text: encoding never substitutes, so a success decodes back exactly.
  std::string_view input(reinterpret_cast<const char *>(data), size);
  for (Encoding e : kAll) {
    auto bytes = encodeText(input, e);
    if (bytes && decodeText(*bytes, e) != std::string(input)) std::abort();
    if (bytes.has_value() != canBeConverted(input, e)) std::abort();
  }
  return 0;
}
