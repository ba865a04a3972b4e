// vsftpd for a local user with a password, as the FTP tests run it: the user, the folders the
// server needs and its configuration. vsftpd checks the password through PAM.
#pragma once

#include "tests/support/TestSupport.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace vsftpdpeer {

inline constexpr const char *kUser = "ferrowen-ftp6";
inline constexpr const char *kPass = "Secret-ftp6";

// Several test programs may do this at once: creating an existing user fails harmlessly, and a
// locked password file is retried.
inline bool ensureLocalUser() {
  if (!::getpwnam(kUser))
    testsupport::runCommand(std::string("useradd -m -s /bin/bash ") + kUser + " 2>/dev/null");
  // vsftpd enters the home folder before the configured root.
  if (passwd *pw = ::getpwnam(kUser)) ::mkdir(pw->pw_dir, 0755);
  for (int i = 0; i < 20; ++i) {
    int code = -1;
    testsupport::runCommand(std::string("echo '") + kUser + ":" + kPass + "' | chpasswd", &code);
    if (code == 0) {
      ::mkdir("/var/run/vsftpd", 0755);
      ::mkdir("/var/run/vsftpd/empty", 0755);
      return ::getpwnam(kUser) != nullptr;
    }
    ::usleep(200 * 1000);
  }
  return false;
}

// The user may write into `folder` (made by the test as root).
inline bool letUserWrite(const std::string &folder) {
  passwd *pw = ::getpwnam(kUser);
  return pw && ::chown(folder.c_str(), pw->pw_uid, pw->pw_gid) == 0;
}

// FTPS as vsftpd's users get it: TLS turned on with a certificate, every other TLS setting at
// its default (TLS 1.3 with OpenSSL 3, protected logins and data connections, and TLS session
// reuse required on each data connection).
inline std::string stockTls(const std::string &cert, const std::string &key) {
  return "ssl_enable=YES\nrsa_cert_file=" + cert + "\nrsa_private_key_file=" + key + "\n";
}

// The configuration for the local user, logged in at `root`, on 127.0.0.1:port; `tls` and
// `extra` are added at the end.
inline std::string config(int port, const std::string &root, const std::string &logFile,
                          const std::string &tls, const std::string &extra = "") {
  return "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" +
         std::to_string(port) +
         "\nbackground=NO\nseccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\n"
         "anonymous_enable=NO\nlocal_enable=YES\nwrite_enable=YES\nlocal_umask=022\n"
         "local_root=" +
         root +
         "\nchroot_local_user=NO\npasv_enable=YES\npasv_address=127.0.0.1\n"
         "port_enable=YES\nconnect_from_port_20=NO\npam_service_name=vsftpd\n"
         "secure_chroot_dir=/var/run/vsftpd/empty\nxferlog_enable=NO\nvsftpd_log_file=" +
         logFile + "\ndual_log_enable=NO\n" + tls + extra;
}

// vsftpd as installed, serving the local user (logged in at `root`, whose files become the
// user's, as if the user had put them there) over plain FTP on a free loopback port; its
// configuration and log go into `dir`. `ok` is false (and `why` says why) when it did not start.
struct Served {
  testsupport::Process process;
  int port = 0;
  bool ok = false;
  std::string why;
};
// `extra` lines are added to the configuration.
inline Served serveAsInstalled(const std::string &root, const std::string &dir,
                               const std::string &extra = "") {
  Served s;
  if (!ensureLocalUser()) {
    s.why = "the local user could not be made";
    return s;
  }
  testsupport::runCommand("chown -R " + std::string(kUser) + " '" + root + "'");
  s.port = testsupport::freeTcpPort();
  testsupport::writeFile(dir + "/vsftpd.conf",
                         config(s.port, root, dir + "/vsftpd.log", "", extra));
  s.process = testsupport::Process({"/usr/sbin/vsftpd", dir + "/vsftpd.conf"}, dir);
  s.ok = testsupport::waitForTcpPort(s.port);
  if (!s.ok) s.why = s.process.errors();
  return s;
}

} // namespace vsftpdpeer
