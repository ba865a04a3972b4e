// Connections a sharing server will not take (it serves as many as it can bear already) are told
// so in the server's own protocol and closed gently: the reply goes out whole, what the client
// sent meanwhile is read and dropped, and the connection ends without a reset that could destroy
// the reply on its way.
#pragma once

#include "platform/net/SocketStream.h"

#include <memory>
#include <string>

// Sends `reply` on the accepted connection (streams neither opened nor scheduled) and closes it.
// Runs on the current run loop; nothing of it stays once the client has gone (or 30 s passed).
void refuseConnection(std::shared_ptr<platform::net::SocketInputStream> in,
                      std::shared_ptr<platform::net::SocketOutputStream> out,
                      const std::string &reply);
