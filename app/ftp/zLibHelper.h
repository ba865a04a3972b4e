// One zlib stream of an FTP connection under "MODE Z": it inflates listing and download bytes as
// they arrive and deflates upload bytes before they are sent. Each call flushes (Z_SYNC_FLUSH),
// so the peer can decode every chunk as soon as it arrives.
#pragma once

#include "platform/net/Stream.h"

#include <cstdint>
#include <vector>
#include <zlib.h>

class zLibHelper {
public:
  using Bytes = std::vector<uint8_t>;

  zLibHelper();
  ~zLibHelper();
  zLibHelper(const zLibHelper &) = delete;
  zLibHelper &operator=(const zLibHelper &) = delete;

  // A new inflate stream that recognises a zlib or a gzip header by itself (window bits 47).
  void resetInflate();
  // A new deflate stream at compression level 6 (zlib format).
  void resetDeflate();

  // Inflates the input and appends the result to target; returns the number of bytes appended.
  // Corrupt input keeps what was decoded before the error.
  int64_t expandAndWriteToBuffer(Bytes &target, const uint8_t *bytes, size_t length);
  int64_t expandAndWriteToBuffer(Bytes &target, const Bytes &bytes) {
    return expandAndWriteToBuffer(target, bytes.data(), bytes.size());
  }
  // Deflates the input and appends it to target; returns input length minus compressed length
  // (the bytes saved), or 0 on a zlib error.
  int64_t compressAndWriteToBuffer(Bytes &target, const uint8_t *bytes, size_t length);
  int64_t compressAndWriteToBuffer(Bytes &target, const Bytes &bytes) {
    return compressAndWriteToBuffer(target, bytes.data(), bytes.size());
  }
  // Deflates the first `length` bytes of source and hands the result to the stream. A stream
  // that takes less than it is given keeps the rest in `pendingOutput()` (sent first by the next
  // call or by flushPending), so no compressed byte is ever dropped. Returns length minus the
  // compressed length, or 0 on a zlib error. The caller removes the consumed bytes from source.
  int64_t compressAndWriteToStream(platform::net::OutputStream &stream, const Bytes &source,
                                   size_t length);
  // Writes what an earlier short write left; true when nothing is left (false on a stream error
  // or while the stream still has no room).
  bool flushPending(platform::net::OutputStream &stream);
  const Bytes &pendingOutput() const { return pending_; }

  int64_t bytesDoneOut() const { return bytesDoneOut_; }

private:
  enum class Mode { None, Inflate, Deflate };
  void end();
  // Runs the stream over the input; produced bytes go to sink. Returns false on a zlib error.
  template <class Sink> bool run(const uint8_t *bytes, size_t length, Sink &&sink);

  z_stream zzstream_{};
  Mode mode_ = Mode::None;
  int64_t bytesLeft_ = 0;
  int64_t bytesDoneIn_ = 0;
  int64_t bytesDoneOut_ = 0;
  Bytes buffer_; // 65536-byte output area, made at the first call
  Bytes pending_;
};
