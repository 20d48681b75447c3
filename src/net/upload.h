// File upload: "POST /&save/<name>" streams the body into "tmp_file" and
// moves it over "mem/<name>" only once it is complete.
#pragma once
#include <cstddef>
#include <cstdint>

#include "net/memstore.h"

constexpr const char *UPLOAD_TMP = "tmp_file";
constexpr int UPLOAD_IDLE_MAX = 6;      // one-second waits without data before giving up
constexpr int UPLOAD_IDLE_WAIT_MS = 1000;

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

// Receives the upload on `sock`; `msg` is the first receive inside the
// caller's RX_BUF buffer (byte count in g_nbytes), reused for further reads.
// 1 after a complete upload (answered kind 200), 0 otherwise (no answer; the
// target untouched and "tmp_file" removed).
int POST_save(uint32_t sock, char *msg);
