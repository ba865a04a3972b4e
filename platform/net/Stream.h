// Byte streams as the application sees them: one read side and one write side, each opened and
// closed on its own, each reporting its state and its last error. Socket streams (SocketStream.h)
// add events and a run loop; file streams (FileStream.h) are used synchronously.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform::net {

// Stream event codes. The values are those the application stores and compares, so they are part
// of the interface: 1 open completed, 2 bytes available, 4 can accept bytes, 8 error, 16 end.
enum StreamEvent : unsigned {
  StreamEventNone = 0,
  StreamEventOpenCompleted = 1,
  StreamEventHasBytesAvailable = 2,
  StreamEventCanAcceptBytes = 4,
  StreamEventErrorOccurred = 8,
  StreamEventEndEncountered = 16,
};

enum class StreamStatus {
  NotOpen, // made, open() not called yet
  Opening, // open() called, the connection is being made
  Open,    // ready for reading or writing
  AtEnd,   // read side: the peer finished and every byte was read; file: past the last byte
  Closed,  // close() was called
  Error,   // failed; error() tells why
};

// Why a stream failed. Posix codes are errno values; NameResolution codes are getaddrinfo codes;
// Tls codes are OpenSSL's SSL_get_error values. text is readable on its own ("Connection refused",
// "TLS handshake failed: ...").
struct StreamError {
  enum class Domain { None, Posix, NameResolution, Tls };
  Domain domain = Domain::None;
  int code = 0;
  std::string text;
  explicit operator bool() const { return domain != Domain::None; }
};

class InputStream {
public:
  virtual ~InputStream() = default;
  // Starts the stream. False when it fails at once (error() tells why).
  virtual bool open() = 0;
  // Ends the stream; no event follows. Safe to call twice.
  virtual void close() = 0;
  virtual StreamStatus status() const = 0;
  virtual StreamError error() const = 0;
  // Copies up to maxLength bytes; never blocks. Returns the count copied, 0 when nothing is there
  // now or the stream is at its end (status() tells which), -1 on error or when not open.
  virtual long read(uint8_t *buffer, size_t maxLength) = 0;
  // True when read() would return at least one byte now.
  virtual bool hasBytesAvailable() const = 0;
};

class OutputStream {
public:
  virtual ~OutputStream() = default;
  virtual bool open() = 0;
  virtual void close() = 0;
  virtual StreamStatus status() const = 0;
  virtual StreamError error() const = 0;
  // Takes up to length bytes; never blocks. Returns the count taken, which may be short or 0 when
  // the stream has no room now; -1 on error or when not open.
  virtual long write(const uint8_t *buffer, size_t length) = 0;
  // True when write() would take at least one byte now.
  virtual bool hasSpaceAvailable() const = 0;
};

} // namespace platform::net
