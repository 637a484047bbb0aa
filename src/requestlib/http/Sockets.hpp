#pragma once

#include <curl/curl.h>

namespace quilo::detail {

// A server that writes an answer's head and its body apart, with Nagle's algorithm on (RGW
// does), holds a small body back until the head is acknowledged, and the kernel delays that
// acknowledgement by some 40 ms on a connection that has answered before: every small GET after
// the first on a connection waited that long. curl does not say which socket a transfer uses
// while it runs, so the sockets it opens are noted, by their ports.

// Has the connections `easy` opens noted, and forgotten when curl closes them.
void noteSockets(CURL* easy);
// Acknowledges at once what has come in on the connection `easy` is using.
void acknowledgeAtOnce(CURL* easy);

}  // namespace quilo::detail
