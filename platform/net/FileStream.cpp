#include "platform/net/FileStream.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace platform::net {

namespace {
StreamError posixError(int code) {
  return {StreamError::Domain::Posix, code, std::strerror(code)};
}
} // namespace

// ---------------------------------------------------------------------------------------------

FileInputStream::FileInputStream(std::string path) : path_(std::move(path)) {}

FileInputStream::~FileInputStream() {
  close();
}

bool FileInputStream::open() {
  if (status_ != StreamStatus::NotOpen) return false;
  // A path with a NUL in it names no file (the system would stop reading it at the NUL).
  fd_ = path_.find('\0') != std::string::npos ? (errno = EINVAL, -1)
                                              : ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) {
    error_ = posixError(errno);
    status_ = StreamStatus::Error;
    return false;
  }
  if (offset_ > 0 && ::lseek(fd_, offset_, SEEK_SET) < 0) {
    error_ = posixError(errno);
    status_ = StreamStatus::Error;
    return false;
  }
  status_ = StreamStatus::Open;
  bytesRead_ = 0;
  return true;
}

bool FileInputStream::openDescriptor(int fileDescriptor) {
  if (status_ != StreamStatus::NotOpen || fileDescriptor < 0) {
    if (fileDescriptor >= 0) ::close(fileDescriptor);
    if (status_ == StreamStatus::NotOpen) {
      error_ = posixError(EBADF);
      status_ = StreamStatus::Error;
    }
    return false;
  }
  fd_ = fileDescriptor;
  offset_ = 0;
  status_ = StreamStatus::Open;
  bytesRead_ = 0;
  return true;
}

void FileInputStream::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (status_ != StreamStatus::NotOpen) status_ = StreamStatus::Closed;
}

StreamStatus FileInputStream::status() const {
  return status_;
}
StreamError FileInputStream::error() const {
  return error_;
}

long FileInputStream::read(uint8_t *buffer, size_t maxLength) {
  if (status_ == StreamStatus::AtEnd) return 0;
  if (status_ != StreamStatus::Open) return -1;
  if (maxLength == 0) return 0;
  for (;;) {
    ssize_t n = ::read(fd_, buffer, maxLength);
    if (n > 0) {
      bytesRead_ += n;
      offset_ += n;
      return long(n);
    }
    if (n == 0) {
      status_ = StreamStatus::AtEnd;
      return 0;
    }
    if (errno == EINTR) continue;
    error_ = posixError(errno);
    status_ = StreamStatus::Error;
    return -1;
  }
}

bool FileInputStream::hasBytesAvailable() const {
  return status_ == StreamStatus::Open;
}

bool FileInputStream::setCurrentOffset(int64_t offset) {
  if (offset < 0) return false;
  if (fd_ >= 0) {
    if (::lseek(fd_, offset, SEEK_SET) < 0) return false;
    if (status_ == StreamStatus::AtEnd) status_ = StreamStatus::Open;
  } else if (status_ != StreamStatus::NotOpen) {
    return false;
  }
  offset_ = offset;
  return true;
}

int64_t FileInputStream::currentOffset() const {
  return offset_;
}

// ---------------------------------------------------------------------------------------------

FileOutputStream::FileOutputStream(std::string path, bool append)
    : path_(std::move(path)), append_(append) {}

FileOutputStream::~FileOutputStream() {
  close();
}

bool FileOutputStream::open() {
  if (status_ != StreamStatus::NotOpen) return false;
  // Appending keeps the file and starts at its end, but is not O_APPEND: a later offset must move
  // where bytes go (a download that restarts from 0 over a partial file).
  bool keep = append_ || pendingOffset_ >= 0;
  fd_ = path_.find('\0') != std::string::npos
            ? (errno = EINVAL, -1)
            : ::open(path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (keep ? 0 : O_TRUNC), 0644);
  if (fd_ < 0) {
    error_ = posixError(errno);
    status_ = StreamStatus::Error;
    return false;
  }
  off_t where = pendingOffset_ >= 0 ? ::lseek(fd_, pendingOffset_, SEEK_SET)
                : append_           ? ::lseek(fd_, 0, SEEK_END)
                                    : 0;
  if (where < 0) {
    error_ = posixError(errno);
    status_ = StreamStatus::Error;
    ::close(fd_);
    fd_ = -1;
    return false;
  }
  pendingOffset_ = -1;
  bytesWritten_ = 0;
  status_ = StreamStatus::Open;
  return true;
}

bool FileOutputStream::openDescriptor(int fileDescriptor) {
  if (status_ != StreamStatus::NotOpen) return false;
  if (fileDescriptor < 0) {
    error_ = posixError(EBADF);
    return false;
  }
  off_t where = pendingOffset_ >= 0 ? ::lseek(fileDescriptor, pendingOffset_, SEEK_SET)
                : append_           ? ::lseek(fileDescriptor, 0, SEEK_END)
                                    : 0;
  if (where < 0) {
    error_ = posixError(errno);
    return false;
  }
  fd_ = fileDescriptor;
  pendingOffset_ = -1;
  bytesWritten_ = 0;
  status_ = StreamStatus::Open;
  return true;
}

void FileOutputStream::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (status_ != StreamStatus::NotOpen) status_ = StreamStatus::Closed;
}

StreamStatus FileOutputStream::status() const {
  return status_;
}
StreamError FileOutputStream::error() const {
  return error_;
}

long FileOutputStream::write(const uint8_t *buffer, size_t length) {
  if (status_ != StreamStatus::Open) return -1;
  size_t done = 0;
  while (done < length) {
    ssize_t n = ::write(fd_, buffer + done, length - done);
    if (n > 0) {
      done += size_t(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    error_ = posixError(n < 0 ? errno : ENOSPC);
    status_ = StreamStatus::Error;
    if (done == 0) return -1;
    break;
  }
  bytesWritten_ += int64_t(done);
  return long(done);
}

bool FileOutputStream::hasSpaceAvailable() const {
  return status_ == StreamStatus::Open;
}

bool FileOutputStream::setCurrentOffset(int64_t offset) {
  if (offset < 0) return false;
  if (fd_ >= 0) return ::lseek(fd_, offset, SEEK_SET) >= 0;
  if (status_ != StreamStatus::NotOpen) return false;
  pendingOffset_ = offset;
  return true;
}

int64_t FileOutputStream::currentOffset() const {
  if (fd_ >= 0) return ::lseek(fd_, 0, SEEK_CUR);
  return pendingOffset_ >= 0 ? pendingOffset_ : 0;
}

} // namespace platform::net
