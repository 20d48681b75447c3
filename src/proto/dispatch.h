// The gateway's own protocol on the shared port: the message dispatcher that
// tells the raw line protocol from HTTP by the first bytes of each message,
// the raw commands, and the start of the whole protocol layer.
#pragma once
#include <cstddef>
#include <cstdint>

// Handles one received message (`len` bytes); returns the verdict (true
// keeps the connection open, false has it closed).
bool soc_got_msg(uint32_t sock, char *msg, size_t len);
// Installs the dispatcher on the socket server and registers the protocol's
// routes and hooks (listeners, parked requests, control routes).
void proto_start();
