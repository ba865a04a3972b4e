// A small file system mounted over a folder for the life of the object: a disk that fills up after
// a few megabytes, for the tests of what a full disk does to a transfer. It needs root and the
// right to mount (a container may refuse it): mounted() says whether it stands, error() why not.
#pragma once

#include <sys/mount.h>
#include <sys/stat.h>

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

  bool mounted() const { return mounted_; }
  const std::string &error() const { return error_; }
  const std::string &folder() const { return folder_; }

private:
  std::string folder_;
  bool mounted_ = false;
  std::string error_;
};

} // namespace testsupport
