// The connection table: what the gateway keeps for each open client
// connection beside its handle. Sends never block: bytes the socket does not
// take at once wait in the connection's output queue (memory, then at most a
// file sent with sendfile) and leave as the socket accepts them, driven by
// POLLOUT. A connection asked to close is closed once its queue is empty.
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <sys/types.h>

constexpr size_t CONN_QUEUE_MAX = 1u << 20;  // queued memory bytes before a send counts as failed
constexpr int CONN_STALL_S = 10;             // seconds a queue may make no progress before the close
constexpr size_t CONN_INLINE_FILE = 64 * 1024;  // files up to this size leave with their header

struct conn_rec {
  int fd;                 // -1 = free
  uint32_t peer;          // IPv4 address, network order; 0 unknown
  time_t last_rx;         // monotonic seconds of the last byte received (or the accept)
  time_t last_tx;         // monotonic seconds of the last byte sent (or the first queued)
  bool corked;            // a handler is running: sends wait for the uncork
  bool closing;           // close once the queue is empty; nothing more is read
  bool dead;              // a send failed: close at the next chance
  bool discard_line;      // the last message was cut at RX_BUF - 1 bytes: drop input up to '\n'
  std::string out;        // queued bytes from out_head on
  size_t out_head;
  int file_fd;            // file sent after `out`; -1 none
  off_t file_off, file_end;
};

constexpr int CONN_MAX = 64;  // as many as the socket set holds

// Takes a new connection into the table; false when it is full.
bool conn_open(int fd, uint32_t peer);
// The record of an open connection, or null.
conn_rec *conn_find(int fd);
// Queues `len` bytes (sending at once what the socket takes, unless corked);
// false when the connection is unknown, dead, or its queue would pass
// CONN_QUEUE_MAX (the connection is then closed soon).
bool conn_send(int fd, const void *data, size_t len);
// Queues the bytes [0, size) of the open file `file` after everything queued;
// the connection owns `file` from now on (it is closed when sent or dropped).
bool conn_send_file(int fd, int file, off_t size);
// Sends what the socket takes now; false when the connection failed.
bool conn_flush(conn_rec *c);
// Bytes still queued (memory and file).
size_t conn_queued(const conn_rec *c);
// The poll events the connection needs: POLLIN unless closing, POLLOUT while queued.
short conn_events(const conn_rec *c);
// Closes the handle and frees the record (queued bytes are dropped).
void conn_release(int fd);
// Monotonic seconds: idle and stall times survive clock changes.
time_t conn_now();
// The connection silent longest (no byte received) for which `held` is false,
// if silent for at least `min_idle` seconds; -1 when none.
int conn_idlest(bool (*held)(uint32_t sock), int min_idle);
// Iteration over open records (for the loop and the tick).
conn_rec *conn_at(int i);
void conn_reset();
