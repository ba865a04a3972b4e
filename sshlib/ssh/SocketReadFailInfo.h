// Why a socket read failed, as handed between the socket and the SSH layers.
#pragma once

class ProgressMonitor;

struct SocketReadFailInfo {
  unsigned char connectionClosed = 0;
  unsigned char timedOut = 0;
  unsigned char aborted = 0;
  unsigned char socketError = 0;
  void clear() { connectionClosed = timedOut = aborted = socketError = 0; }
};

class SocketReadParams {
public:
  virtual ~SocketReadParams() = default;
  unsigned int heartbeatMs = 0;
  ProgressMonitor *progressMonitor = nullptr;
  bool timedOut = false;
  bool aborted = false;
  bool socketError = false;
  bool connectionClosed = false;
};
