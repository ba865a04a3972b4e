// A small file system mounted over a folder for the life of the object: a disk that fills up after
// a few megabytes, for the tests of what a full disk does to a transfer. It needs root and the
// right to mount (a container may refuse it): mounted() says whether it stands, error() why not.
#pragma once

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace testsupport {

class SmallDisk {
public:
  SmallDisk(std::string folder, size_t bytes) : folder_(std::move(folder)) {
    ::mkdir(folder_.c_str(), 0700);
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0700";
    if (::mount("tmpfs", folder_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0)
      mounted_ = true;
    else
      error_ = std::strerror(errno);
  }
  // Detached, not just unmounted: a file the program under test still holds open must not keep
  // the mount after the test.
  ~SmallDisk() {
    if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
  }
  SmallDisk(const SmallDisk &) = delete;
  SmallDisk &operator=(const SmallDisk &) = delete;

  // Takes every byte the disk has left with a file of its own ("filler"): the next write that
  // needs room fails with "No space left on device". True once the disk is full.
  bool fill() {
    const std::string filler = folder_ + "/filler";
    const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    static const char block[4096] = {};
    for (;;) {
      const ssize_t n = ::write(fd, block, sizeof block);
      if (n > 0) continue;
      if (n < 0 && errno == EINTR) continue;
      break;
    }
    // A last short write may still fit a few bytes.
    while (::write(fd, block, 1) == 1) {
    }
    const bool full = errno == ENOSPC;
    ::close(fd);
    return full;
  }
  // Gives the room the filler took back.
  void unfill() { ::unlink((folder_ + "/filler").c_str()); }

  // Mounts the disk again read-only (what is on it stays readable): every write or new folder
  // fails with "Read-only file system", also for root. True once it is.
  bool makeReadOnly() {
    return mounted_ && ::mount(nullptr, folder_.c_str(), nullptr,
                               MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV, nullptr) == 0;
  }

  bool mounted() const { return mounted_; }
  const std::string &error() const { return error_; }
  const std::string &folder() const { return folder_; }

private:
  std::string folder_;
  bool mounted_ = false;
  std::string error_;
};

} // namespace testsupport
