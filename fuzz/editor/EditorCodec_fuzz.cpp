// The editor's codec and search over any bytes a server may hand over: detection and decoding
// never read outside the bytes; a file read as UTF-8 or Latin 1 saves back to its own bytes; the
// search results lie inside the text.
#include "app/editor/EditorCodec.h"
#include "app/editor/TextSearch.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const editor::Bytes bytes(data, data + size);
  const uint32_t configured = size > 0 && data[0] == 0x01 ? 2563 : 0;
  editor::DecodedText d = editor::decodeFile(bytes, configured);
  if (d.loaded && configured == 0 && !d.utf8WithMark &&
      (d.useEncoding == editor::kEncodingUTF8 || d.useEncoding == editor::kEncodingLatin1)) {
    editor::EncodeState state{d.useEncoding};
    auto saved = editor::encodeForSaving(editor::lineEndsForSaving(d.text, 3, d.wasCRLF), state);
    if (!saved || *saved != bytes) std::abort();
  }
  editor::decodeFileAs(bytes, size > 1 ? data[1] % 16 : editor::kEncodingUTF16);

  // Search: the first byte splits the input into the text and what is looked for.
  const std::u16string text = editor::toUtf16(d.text);
  const size_t cut = size > 2 ? data[2] % 8 : 0;
  const std::u16string what = text.substr(0, std::min(cut, text.size()));
  for (bool backwards : {false, true}) {
    editor::SearchOptions o;
    o.backwards = backwards;
    o.ignoreCase = size > 3 && (data[3] & 1);
    const platform::ui::Range in{size > 4 ? data[4] : 0u, size > 5 ? data[5] : 0u};
    auto r = editor::findText(text, what, in, o);
    if (r.location != editor::kNotFoundLocation &&
        (r.location + r.length > text.size() || r.length != what.size()))
      std::abort();
  }
  auto line = editor::lineSelection(text, size > 6 ? static_cast<int8_t>(data[6]) : 1);
  if (line.location != editor::kNotFoundLocation && line.location + line.length > text.size())
    std::abort();
  return 0;
}
