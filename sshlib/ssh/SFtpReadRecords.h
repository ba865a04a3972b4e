// The two records of a pipelined download: a READ in flight, and a reply that came before the
// replies to older READs and waits for its turn.
#pragma once

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/RazudodObject.h"
#include "sshlib/core/StringBuffer.h"

// One SSH_FXP_READ in flight: what it asked for.
class SFtpReadRequest : public RazudodObject {
public:
  SFtpReadRequest(unsigned int id, long long offset, unsigned int length)
      : requestId(id), offset(offset), length(length) {}
  unsigned int requestId = 0;
  long long offset = 0;
  unsigned int length = 0;
  // Asks for the rest of an answer that came short: when data comes for it, the short answer
  // was not the end of the file but all the server gives at once.
  unsigned int restOf = 0;
};

// A reply held until the replies to older requests have been consumed.
class SFtpReadReceived : public RazudodObject {
public:
  SFtpReadReceived() = default;
  unsigned char packetType = 0; // 101 STATUS or 103 DATA
  unsigned int requestId = 0;
  DataBuffer data;  // DATA: the bytes
  bool eof = false; // DATA: the end-of-file byte that may follow the bytes
  unsigned int statusCode = 0;
  StringBuffer statusMessage;
};
