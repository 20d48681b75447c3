// Static files from "www" and the file streamer shared with the log viewer.
#pragma once
#include <cstdint>

// Serves the request target (pointing at its '/'); false when nothing was
// written or the transfer failed part-way (the router then answers 404).
bool http_serve_file(uint32_t sock, const char *target);
// Sends a file with the reply kind chosen by its name; false when it cannot
// be opened or is not a regular file (nothing written), or the connection failed.
bool file_to_soc(const char *name, uint32_t sock);
// The same with the reply kind given.
bool file_reply(uint32_t sock, const char *name, int kind);
// The same with "200 OK" and the header lines `extra` (each ending in CRLF).
bool file_reply_head(uint32_t sock, const char *name, const char *extra);
// Builds the decoded file name "www<path>" from the target into dst
// (>= 142 bytes); false when the name must not be served (a dot segment).
bool static_file_name(char *dst, const char *target);
