// The library's own blocking TCP socket, under every SSH connection and proxy tunnel.
#pragma once

#include "sshlib/core/ParseEngine.h"
#include "sshlib/core/ProgressMonitor.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/ssh/BandwidthThrottle.h"
#include "sshlib/ssh/SocketReadFailInfo.h"

#include <cstddef>
#include <vector>

struct addrinfo;
struct sockaddr;
class DataBuffer;
class LogBase;
class XString;

class RazudodSocket {
public:
  RazudodSocket();
  virtual ~RazudodSocket();
  RazudodSocket(const RazudodSocket &) = delete;
  RazudodSocket &operator=(const RazudodSocket &) = delete;

  // Settings.
  void SetConnectMsTimeout(unsigned int ms) { connectTimeoutMs = ms; }
  unsigned int get_ConnectTimeoutMs() const { return connectTimeoutMs; }
  void SetIdleMsTimeout(unsigned int ms) { idleTimeoutMs = ms == 0 ? 21600000u : ms; }
  unsigned int get_IdleMsTimeout() const { return idleTimeoutMs; }
  void setNoDelay(bool on);
  // A limit on the whole of a set-up, whatever the peer sends: every wait from now on ends by
  // the deadline, msFromNow ahead (0: no deadline), until it is cleared.
  void setDeadline(unsigned int msFromNow);
  void clearDeadline() { hasDeadline = false; }
  // The wait cut to what is left before the deadline; false (with a log line) when it has passed.
  bool capToDeadline(unsigned int &timeoutMs, LogBase &log) const;
  bool GetSockName2(StringBuffer &addr, int &port, LogBase &log);
  void CloseSocket(int unused, LogBase &log);
  bool isSock() const { return socketFd != -1; }

  // Connect.
  bool ConnectSocketWithHB2(const char *host, int port, unsigned int initialDelayMs,
                            unsigned int heartbeatMs, LogBase &log, bool &nameResolutionFailed,
                            ProgressMonitor *pm);

  // Send and receive.
  bool SendBytes2(const unsigned char *data, unsigned int n, unsigned int maxChunk,
                  unsigned int heartbeatMs, LogBase &log, ProgressMonitor *pm);
  bool SendBytes(const DataBuffer &db, unsigned int maxChunk, unsigned int heartbeatMs,
                 LogBase &log, ProgressMonitor *pm);
  bool SendString(const StringBuffer &sb, unsigned int maxChunk, unsigned int heartbeatMs,
                  LogBase &log, ProgressMonitor *pm);
  bool SendOnSocket(const unsigned char *p, int n, unsigned int maxChunk, unsigned int heartbeatMs,
                    LogBase &log, ProgressMonitor *pm);
  bool ReceiveBytes2(unsigned char *buf, unsigned int &count, unsigned int heartbeatMs,
                     LogBase &log, ProgressMonitor *pm, bool &timedOut, bool &aborted,
                     bool &socketError, bool &connectionClosed);
  bool ReceiveNBytes(unsigned char *buf, unsigned int n, unsigned int heartbeatMs, LogBase &log,
                     ProgressMonitor *pm, unsigned int &total, bool &timedOut, bool &aborted,
                     bool &socketError, bool &connectionClosed);
  bool ReadN(unsigned int n, DataBuffer &out, SocketReadParams &params, LogBase &log);
  bool ReadN(unsigned int n, DataBuffer &out, unsigned int heartbeatMs, LogBase &log,
             ProgressMonitor *pm, bool &timedOut, bool &aborted, bool &socketError,
             bool &connectionClosed);
  // Line readers: one byte at a time, every byte appended, the terminator included. A line longer
  // than maxLineLen bytes fails like a read failure (a peer could otherwise send without end).
  bool ReadToNextEndOfLine(DataBuffer &out, unsigned int heartbeatMs, LogBase &log,
                           ProgressMonitor *pm, bool addCr);
  bool ReadToNextCRLF(DataBuffer &out, unsigned int heartbeatMs, LogBase &log, ProgressMonitor *pm);
  bool ReadToDoubleCRLF(DataBuffer &out, unsigned int heartbeatMs, LogBase &log,
                        ProgressMonitor *pm);
  bool checkDataAvailable(LogBase &log);

  // Waits (poll on the one descriptor, sliced by the heartbeat).
  bool waitForDataHB(unsigned int heartbeatMs, unsigned int timeoutMs, ProgressMonitor *pm,
                     bool &socketError, bool &aborted, bool &timedOut, LogBase &log);
  bool waitForData2(unsigned int timeoutMs, bool exact, ProgressMonitor *pm, bool &socketError,
                    LogBase &log, int unused);
  bool waitWriteableMs2(unsigned int timeoutMs, bool forConnect, LogBase &log,
                        bool &exceptionRaised, bool &timedOut, bool &socketError);
  bool waitWriteableMsHB(unsigned int heartbeatMs, unsigned int initialDelayMs,
                         unsigned int timeoutMs, bool forConnect, LogBase &log, ProgressMonitor *pm,
                         bool &exceptionRaised, bool &aborted, bool &timedOut, bool &socketError);

  // Host lookup and address text.
  bool DnsLookup(const char *host, unsigned int, unsigned int, unsigned int, LogBase &log,
                 ProgressMonitor *pm, XString &dotted, unsigned int &addr, bool &aborted,
                 bool &timedOut);
  static bool isDottedIpAddress(const char *text);
  static bool CkGetHostByNameHB_ipv4(const char *host, int, unsigned int, unsigned int,
                                     unsigned int, LogBase &log, ProgressMonitor *pm,
                                     StringBuffer &dotted, unsigned int &addr, bool &aborted,
                                     bool &timedOut);
  // The first IPv4 address of a name (network order), 0 when there is none; `found` tells
  // whether the name has an entry at all.
  static unsigned int ck_gethostbyname(const char *host, LogBase &log, bool *found = nullptr);
  static int ck_inet_pton(int family, const char *text, unsigned char *out);
  static int inet_pton4(const char *text, unsigned char *out);
  static int inet_pton6(const char *text, unsigned char *out);
  static int ck_inet_ntop(int family, const unsigned char *addr, StringBuffer &out);
  static void inet_ntop4(const unsigned char *addr, StringBuffer &out);
  static void ck_freeaddrinfo(struct addrinfo *list, LogBase &log);

  static void reportSocketError(LogBase &log);
  static void reportSocketError2(int err, LogBase &log);
  // The symbolic name of an errno value ("ECONNREFUSED"), or "errno N".
  static void errnoName(int err, StringBuffer &out);

  // Fields.
  int sendBufferSize = 0;
  int recvBufferSize = 0;
  PerformanceMon recvPerfMon;
  PerformanceMon sendPerfMon;
  bool isConnected = false;
  int socketFd = -1;
  int addressFamily;
  unsigned int objectId;
  ParseBuffer readAheadBuffer;
  BandwidthThrottle sendThrottle;
  BandwidthThrottle recvThrottle;
  unsigned int idleTimeoutMs = 30000;
  unsigned int connectTimeoutMs = 7000;
  int lastSendErrno = 0;
  StringBuffer remoteIpAddress;
  int connectFailReason = 0;
  StringBuffer bindIpAddress;
  int bindPort = 0;
  bool perfMonEnabled = false;
  // Bytes received ahead of what was asked, handed out by the next receives.
  std::vector<unsigned char> recvBuf;
  std::size_t recvPos = 0, recvLen = 0;
  static constexpr unsigned int kRecvAhead = 256 * 1024;
  bool hasDeadline = false;
  unsigned int deadlineTick = 0;
  // Longest line the line readers accept.
  unsigned int maxLineLen = 8192;

  // Internal operations (public for the proxy code and tests).
  bool connectSocketHB_ipv6(const char *host, int port, unsigned int heartbeatMs,
                            unsigned int initialDelayMs, LogBase &log, bool &nameResolutionFailed,
                            ProgressMonitor *pm);
  bool connectSocket2_ipv6(const char *host, int port, LogBase &log, ProgressMonitor *pm,
                           bool &nameResolutionFailed, bool &retryIpv4);
  bool connectSocket2_ipv4(const char *host, int port, LogBase &log, ProgressMonitor *pm,
                           bool &nameResolutionFailed);
  bool createSocket_ipv6_or_ipv4(const struct addrinfo *ai, LogBase &log, bool bindIfConfigured);
  bool createSocket_ipv4(LogBase &log, bool bindIfConfigured);
  bool clientBind_ipv4(const char *addr, LogBase &log);
  // bind() of the descriptor to the address, logged; false for a missing address.
  bool bindSysCall(const struct sockaddr *addr, unsigned int addrLen, LogBase &log);
  // getaddrinfo for the heartbeat connect: false (with the list null) when it fails, logged.
  static bool getAddressInfo(const char *host, int port, const struct addrinfo *hints,
                             struct addrinfo **list, LogBase &log);
  // The first stream entry of the family in the list, or null.
  static const struct addrinfo *findIpv4AddrInfo(const struct addrinfo *list);
  static const struct addrinfo *findIpv6AddrInfo(const struct addrinfo *list);
  // The local address and port of the descriptor for either family; both clear the outputs
  // first and fail without a descriptor or when getsockname fails.
  bool ck_getsockname_ipv4(StringBuffer &addr, int &port, LogBase &log);
  bool ck_getsockname_ipv6(StringBuffer &addr, int &port, LogBase &log);
  void checkSetBufSizes();
  void setBlocking();
  void setNonBlocking();
  // The connect attempts on the created descriptor; pathNo names the caller in the log.
  bool connectLoop(const void *addr, unsigned int addrLen, bool heartbeatPath,
                   unsigned int heartbeatMs, unsigned int initialDelayMs, int pathNo, LogBase &log,
                   ProgressMonitor *pm);

private:
  // The accounting of received bytes: throttle, rate meter and progress (with its abort).
  bool deliverReceived(unsigned int count, ProgressMonitor *pm, bool &aborted);
  bool bindIfNeeded(LogBase &log, bool bindIfConfigured);
  void closeAfterFailure();
  bool readLine(DataBuffer &out, unsigned int heartbeatMs, LogBase &log, ProgressMonitor *pm,
                int mode, bool addCr);
  int pollOnce(short events, int timeoutMs, short &revents);
};
