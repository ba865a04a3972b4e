// One connection-layer channel: its numbers, windows and end-of-channel flags.
#pragma once

#include "sshlib/core/RazudodObject.h"
#include "sshlib/core/StringBuffer.h"

class SshChannel : public RazudodObject {
public:
  SshChannel() = default;
  ~SshChannel() override = default;

  StringBuffer channelType;
  unsigned int clientChannelNum = 0;
  unsigned int initialWindowSize = 327680;
  unsigned int maxPacketSize = 32768;
  unsigned int serverChannelNum = 0;
  unsigned int serverInitialWindowSize = 0;
  unsigned int serverMaxPacketSize = 0;
  unsigned int m_curClientWinSize = 327680;
  // Data bytes that have arrived and that no read has taken yet (held or queued): the server may
  // send m_curClientWinSize less these before it is granted more.
  unsigned int m_unreadBytes = 0;
  unsigned int m_curServerWinSize = 0;
  bool receivedEof = false;
  bool receivedClose = false;
  bool sentClose = false;
  bool receivedExitStatus = false;
  unsigned int exitStatus = 0;
};
