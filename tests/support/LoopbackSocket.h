#pragma once

#include <QtGlobal>

// Sockets of the loopback stand-ins for devices: bound to 127.0.0.1 only, on a port the
// kernel picks, so that nothing a test starts can be reached from another machine.
namespace orvane::test {

// Opens a socket of `type` (SOCK_STREAM: also listening) bound to 127.0.0.1 on a free
// port and stores the port. Returns the descriptor (close-on-exec), -1 on failure.
int bindLoopback(int type, quint16& port);

}  // namespace orvane::test
