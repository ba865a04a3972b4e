// Streams on local files, used synchronously (no run loop): the transfer code reads a file it
// uploads and writes a file it downloads through them, a chunk at a time.
#pragma once

#include "platform/net/Stream.h"

#include <cstdint>
#include <string>

namespace platform::net {

// Reads a file from its start or from a set offset.
class FileInputStream final : public InputStream {
public:
  explicit FileInputStream(std::string path);
  ~FileInputStream() override;
  FileInputStream(const FileInputStream &) = delete;
  FileInputStream &operator=(const FileInputStream &) = delete;

  // Opens the file for reading, positioned at the offset set before (0 by default).
  bool open() override;
  // Opens on a descriptor just opened for reading, at its start (the stream closes it), instead
  // of opening the path. False, and the descriptor closed, when the stream was opened before or
  // the descriptor is invalid.
  bool openDescriptor(int fileDescriptor);
  void close() override;
  StreamStatus status() const override;
  StreamError error() const override;
  // Up to maxLength bytes from the current offset; 0 at the end of the file (status() becomes
  // AtEnd), -1 on error or when not open.
  long read(uint8_t *buffer, size_t maxLength) override;
  // True while open and not at the end.
  bool hasBytesAvailable() const override;

  // The offset of the next read. Settable before open() (it then applies on opening) or while
  // open. False when the offset cannot be set.
  bool setCurrentOffset(int64_t offset);
  int64_t currentOffset() const;
  // Bytes read since open().
  int64_t bytesRead() const { return bytesRead_; }
  bool isAtEnd() const { return status_ == StreamStatus::AtEnd; }
  const std::string &path() const { return path_; }
  // The open file (for the kernel to send from, SocketOutputStream::sendFile), -1 when not open.
  int fileDescriptor() const { return fd_; }

private:
  std::string path_;
  int fd_ = -1;
  int64_t offset_ = 0;
  int64_t bytesRead_ = 0;
  StreamStatus status_ = StreamStatus::NotOpen;
  StreamError error_;
};

// Writes a file: from its start, replacing what was there, or (append) keeping the file's bytes.
// An appending stream starts at the file's end; setCurrentOffset() moves where the next write
// goes, over the kept bytes (a resumed transfer restarting from 0 rewrites the file in place).
class FileOutputStream final : public OutputStream {
public:
  FileOutputStream(std::string path, bool append = false);
  ~FileOutputStream() override;
  FileOutputStream(const FileOutputStream &) = delete;
  FileOutputStream &operator=(const FileOutputStream &) = delete;

  // Creates the file when missing (mode 0644 less the umask); without append, empties it.
  bool open() override;
  // Opens on a descriptor just opened for writing (the stream closes it), instead of opening the
  // path; it is neither emptied nor created. The offset set before (else the end, when
  // appending) applies. False, with the descriptor left to the caller, when the stream was opened
  // before, the descriptor is invalid or the offset cannot be set.
  bool openDescriptor(int fileDescriptor);
  void close() override;
  StreamStatus status() const override;
  StreamError error() const override;
  // Writes all of the bytes (retrying short writes); -1 on error or when not open.
  long write(const uint8_t *buffer, size_t length) override;
  bool hasSpaceAvailable() const override;

  void setAppend(bool append) { append_ = append; }
  bool isAppending() const { return append_; }
  // The offset of the next write. Before open() it applies on opening (the file is then kept as
  // with append); while open it moves the position. False when it cannot be set.
  bool setCurrentOffset(int64_t offset);
  int64_t currentOffset() const;
  // Bytes written since open().
  int64_t bytesWritten() const { return bytesWritten_; }
  const std::string &path() const { return path_; }

private:
  std::string path_;
  bool append_;
  int fd_ = -1;
  int64_t pendingOffset_ = -1;
  int64_t bytesWritten_ = 0;
  StreamStatus status_ = StreamStatus::NotOpen;
  StreamError error_;
};

} // namespace platform::net
