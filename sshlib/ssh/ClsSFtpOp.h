// The frame of one public SFTP operation: its log context, its progress monitor and the closing
// success or failure line (none when a guard refused the call and closed the context).
#pragma once

#include "sshlib/core/ProgressMonitor.h"
#include "sshlib/ssh/ClsSFtp.h"

class SftpOp {
public:
  SftpOp(ClsSFtp &s, const char *name, ProgressEvent *ev) : s_(s), pmp_(ev, 0u) {
    s.enterCriticalSection();
    s.enterContext(name);
  }
  ~SftpOp() {
    // A guard that refused the call has closed the context already.
    if (s_.guardLeftContext) {
      s_.guardLeftContext = false;
    } else {
      s_.logSuccessFailure(ok_);
      s_.m_log.LeaveContext();
    }
    s_.leaveCriticalSection();
  }
  SftpOp(const SftpOp &) = delete;
  SftpOp &operator=(const SftpOp &) = delete;
  ProgressMonitor *pm() const { return pmp_.getPm(); }
  bool done(bool r) {
    ok_ = r;
    return r;
  }
  // The channel and initialisation guards of every file operation.
  bool ready() { return s_.checkChannel() && s_.checkInitialized(); }

private:
  ClsSFtp &s_;
  ProgressMonitorPtr pmp_;
  bool ok_ = false;
};
