// File upload: "POST /&save/<name>" receives the body into a temporary file
// of its own connection and moves it over "mem/<name>" only once complete.
#pragma once
#include <cstddef>
#include <cstdint>

#include "net/memstore.h"

constexpr int UPLOAD_IDLE_MAX = 6;        // seconds without data before giving up
constexpr int UPLOAD_TIME_MAX = 600;      // seconds an upload may take in all
constexpr long UPLOAD_SIZE_DEFAULT = 16L << 20;  // MAXUPLOAD when not set
constexpr int UPLOAD_MAX = 64;            // uploads at once (one per connection)

// What the first receive of an upload says.
struct upload_req {
  char target[MEM_NAME_SIZE];  // "mem/<name>"
  size_t body_off;             // offset of the first body byte in the message
  size_t body_len;             // body bytes received with the header
  long expected;               // the Content-Length value, > 0
};

// Reads the first receive (`nbytes` bytes, NUL-terminated): the name after
// "POST /&save/" (the store's key rules), the end of the header "\r\n\r\n",
// and "Content-Length:" within the header. False when any is missing or
// refused, or the length is not a positive number.
bool upload_req_parse(const char *msg, size_t nbytes, upload_req *out);

// Starts the upload that the first receive `msg` (`nbytes` bytes) announces: checks the name, the length against MAXUPLOAD and the free
// space, writes the body bytes that came with the header into the
// connection's own temporary file in "mem" (a name the value store never
// serves) and completes at once when they are all. False when refused or
// failed (no answer; nothing left behind): the caller closes the connection.
// While the body arrives the connection has the role ROLE_UPLOAD.
bool upload_begin(uint32_t sock, char *msg, size_t nbytes);
// Reads what arrived for the connection's upload. A complete upload is
// synced, moved over its target and answered kind 200; a failed one is
// removed; either way the connection is then closed.
void upload_rx(uint32_t sock);
// Reads MAXUPLOAD, registers the route "POST /&save/" and the upload's
// close and tick: a closed connection's upload leaves no partial file, and
// an upload idle for UPLOAD_IDLE_MAX seconds ("\nPOST TIMEOUT!" on the
// console) or running longer than UPLOAD_TIME_MAX is ended.
void upload_start();
void upload_reset();
