// Multipart bodies of any bytes, fed whole and in pieces whose size the input chooses: both feeds
// must give the same parts with the same contents and ends, and every part that starts must end.
#include "app/sharing/WebMultipart.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Part {
  std::string name, content;
  int ends = 0;
  bool complete = false;
  bool operator==(const Part &) const = default;
};

std::vector<Part> parse(const std::string &delimiter, const uint8_t *data, size_t size, size_t step,
                        bool &malformed) {
  std::vector<Part> parts;
  WebMultipartParser::Handler h;
  h.partBegins = [&](const std::string &name) {
    if (!parts.empty() && parts.back().ends == 0) std::abort();
    parts.push_back({name, "", 0, false});
  };
  h.partData = [&](const uint8_t *d, size_t n) {
    if (parts.empty() || parts.back().ends != 0 || n == 0) std::abort();
    parts.back().content.append(reinterpret_cast<const char *>(d), n);
  };
  h.partEnds = [&](bool complete) {
    if (parts.empty()) std::abort();
    ++parts.back().ends;
    parts.back().complete = complete;
  };
  WebMultipartParser parser(delimiter, h);
  for (size_t i = 0; i < size; i += step)
    parser.feed(data + i, std::min(step, size - i));
  parser.finish();
  malformed = parser.isMalformed();
  for (const auto &p : parts)
    if (p.ends != 1) std::abort();
  return parts;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2 || size > 200000) return 0;
  const size_t step = 1 + data[0] % 97;
  // The delimiter: "--" and 1 to 8 bytes of the input.
  const size_t boundaryLength = 1 + data[1] % 8;
  data += 2, size -= 2;
  if (size < boundaryLength) return 0;
  const std::string delimiter =
      "--" + std::string(reinterpret_cast<const char *>(data), boundaryLength);
  data += boundaryLength, size -= boundaryLength;

  bool malformedWhole = false, malformedPieces = false;
  const auto whole = parse(delimiter, data, size, size ? size : 1, malformedWhole);
  const auto pieces = parse(delimiter, data, size, step, malformedPieces);
  if (whole != pieces || malformedWhole != malformedPieces) std::abort();
  // A complete part's content never holds its own delimiter.
  for (const auto &p : whole)
    if (p.complete && p.content.find("\r\n" + delimiter) != std::string::npos) std::abort();
  for (const auto &p : whole)
    if (p.name.find('/') != std::string::npos || p.name.find('\\') != std::string::npos)
      std::abort();
  return 0;
}
