#include "app/ftp/zLibHelper.h"

#include <cstring>

namespace {
constexpr size_t kOutputArea = 65536;
}

zLibHelper::zLibHelper() {
  std::memset(&zzstream_, 0, sizeof zzstream_);
}

zLibHelper::~zLibHelper() {
  end();
}

void zLibHelper::end() {
  if (mode_ == Mode::Inflate) inflateEnd(&zzstream_);
  if (mode_ == Mode::Deflate) deflateEnd(&zzstream_);
  mode_ = Mode::None;
  std::memset(&zzstream_, 0, sizeof zzstream_);
}

void zLibHelper::resetInflate() {
  end();
  pending_.clear();
  bytesLeft_ = 0;
  if (inflateInit2(&zzstream_, 47) == Z_OK) {
    mode_ = Mode::Inflate;
    inflateReset(&zzstream_);
  }
}

void zLibHelper::resetDeflate() {
  end();
  pending_.clear();
  bytesLeft_ = 0;
  if (deflateInit(&zzstream_, 6) == Z_OK) {
    mode_ = Mode::Deflate;
    deflateReset(&zzstream_);
  }
}

template <class Sink> bool zLibHelper::run(const uint8_t *bytes, size_t length, Sink &&sink) {
  if (buffer_.empty()) buffer_.resize(kOutputArea);
  bytesDoneOut_ = 0;
  if (mode_ == Mode::None) return false;
  zzstream_.next_in = const_cast<Bytef *>(bytes);
  zzstream_.avail_in = static_cast<uInt>(length);
  zzstream_.total_in = static_cast<uLong>(bytesDoneIn_);
  for (;;) {
    zzstream_.next_out = buffer_.data();
    zzstream_.avail_out = static_cast<uInt>(buffer_.size());
    int result = mode_ == Mode::Inflate ? inflate(&zzstream_, Z_SYNC_FLUSH)
                                        : deflate(&zzstream_, Z_SYNC_FLUSH);
    // Z_BUF_ERROR only says no progress was possible (nothing left to do): not a failure.
    if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) return false;
    size_t produced = buffer_.size() - zzstream_.avail_out;
    if (produced) sink(buffer_.data(), produced);
    bytesDoneOut_ += static_cast<int64_t>(produced);
    bool filled = zzstream_.avail_out == 0;
    if (result == Z_STREAM_END || result == Z_BUF_ERROR) {
      if (!filled) break;
      continue;
    }
    if (zzstream_.avail_in == 0 && !filled) break;
  }
  return true;
}

int64_t zLibHelper::expandAndWriteToBuffer(Bytes &target, const uint8_t *bytes, size_t length) {
  if (mode_ != Mode::Inflate) return 0;
  int64_t appended = 0;
  run(bytes, length, [&](const uint8_t *p, size_t n) {
    target.insert(target.end(), p, p + n);
    appended += static_cast<int64_t>(n);
  });
  return appended;
}

int64_t zLibHelper::compressAndWriteToBuffer(Bytes &target, const uint8_t *bytes, size_t length) {
  if (mode_ != Mode::Deflate) return 0;
  int64_t compressed = 0;
  bool ok = run(bytes, length, [&](const uint8_t *p, size_t n) {
    target.insert(target.end(), p, p + n);
    compressed += static_cast<int64_t>(n);
  });
  if (!ok) return 0;
  return static_cast<int64_t>(length) - compressed;
}

bool zLibHelper::flushPending(platform::net::OutputStream &stream) {
  while (!pending_.empty()) {
    long n = stream.write(pending_.data(), pending_.size());
    if (n <= 0) return false;
    pending_.erase(pending_.begin(), pending_.begin() + n);
  }
  return true;
}

int64_t zLibHelper::compressAndWriteToStream(platform::net::OutputStream &stream,
                                             const Bytes &source, size_t length) {
  if (mode_ != Mode::Deflate) return 0;
  length = std::min(length, source.size());
  int64_t compressed = 0;
  bool ok = run(source.data(), length, [&](const uint8_t *p, size_t n) {
    pending_.insert(pending_.end(), p, p + n);
    compressed += static_cast<int64_t>(n);
  });
  flushPending(stream);
  if (!ok) return 0;
  return static_cast<int64_t>(length) - compressed;
}
