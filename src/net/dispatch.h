// The message dispatcher: tells the raw line protocol from HTTP by the first
// bytes of each message.
#pragma once
#include <cstdint>

// Handles one received message; returns the verdict (true keeps the
// connection open, false has it closed and cleared from every table).
bool soc_got_msg(uint32_t sock, char *msg);
