// The connection table: one record per open client connection, owned by the
// connection layer. Besides its handle a record holds what every subsystem
// asks about a connection: its peer, its idle and stall times, its roles
// (parked wait, listener, stream, upload, authenticated, ...) and its output
// queue. Sends never block: bytes the socket does not take at once wait in
// the queue (memory, then at most one file sent with sendfile) and leave as
// POLLOUT allows.
//
// Closing is deferred: conn_close marks the record and clears its roles, and
// the close itself happens at one point of the pass (conn_reap, from the
// loop's pass hook): hook_close tells every subsystem once, then the handle
// is closed as soon as its queue is empty. So no table is ever cleared while
// a subsystem walks it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <sys/types.h>

#include "core/hooks.h"

constexpr int CONN_MAX = 63;                    // client connections at once
constexpr size_t CONN_QUEUE_MAX = 1u << 20;     // queued memory bytes before a send counts as failed
constexpr int CONN_STALL_S = 10;                // seconds a queue may make no progress before the close
constexpr size_t CONN_INLINE_FILE = 64 * 1024;  // files up to this size leave with their header

// What a connection is, besides a client that sends messages.
enum conn_role : uint16_t {
  ROLE_REQUEST = 1 << 0,   // it has spoken HTTP
  ROLE_WAIT = 1 << 1,      // a parked HTTP request awaiting a device's reply
  ROLE_LONGPOLL = 1 << 2,  // a parked HTTP long-poll awaiting the next event
  ROLE_LISTENER = 1 << 3,  // a raw listener
  ROLE_STREAM = 1 << 4,    // an event stream client
  ROLE_UPLOAD = 1 << 5,    // receiving an upload's body
  ROLE_AUTHED = 1 << 6,    // a raw connection that gave the token
};
// Roles whose connection something is waiting to write to: never closed to
// make room for a newcomer.
constexpr uint16_t ROLES_HELD = ROLE_WAIT | ROLE_LONGPOLL | ROLE_LISTENER | ROLE_STREAM;
// Roles whose connection belongs to its answer: further input is not a message.
constexpr uint16_t ROLES_PARKED = ROLE_WAIT | ROLE_LONGPOLL | ROLE_STREAM;

struct conn_rec {
  int fd;                 // -1 = free
  uint32_t peer;          // IPv4 address, host order; 0 unknown
  uint16_t roles;         // conn_role bits
  time_t opened;          // monotonic seconds of the accept
  time_t last_rx;         // monotonic seconds of the last byte received (or the accept)
  time_t last_tx;         // monotonic seconds of the last byte sent (or the first queued)
  bool corked;            // a handler is running: sends wait for the uncork
  bool closing;           // closed as soon as its queue is empty; nothing more is read or queued
  bool told;              // hook_close has run for it
  bool dead;              // a send failed: close at the next chance
  bool discard_line;      // the last message was cut: drop input up to '\n'
  close_reason reason;    // why it is closing
  std::string in;         // an HTTP request received so far, until it is whole
  std::string out;        // queued bytes from out_head on
  size_t out_head;
  int file_fd;            // file sent after `out`; -1 none
  off_t file_off, file_end;
};

// Takes a new connection into the table; false when it is full.
bool conn_open(int fd, uint32_t peer);
// The record of an open connection (closing ones included), or null.
conn_rec *conn_find(int fd);
// Iteration over the table's slots: the record in slot i, or null.
conn_rec *conn_at(int i);
// Open connections, and those holding any bit of `roles`.
int conn_count();
int conn_count_role(uint16_t roles);
// Sets or clears role bits; a closing connection takes no role.
void conn_role_set(int fd, uint16_t roles, bool on);
bool conn_has_role(int fd, uint16_t roles);

// Queues `len` bytes (sending at once what the socket takes, unless corked);
// false when the connection is unknown, closing, dead, or its queue would
// pass CONN_QUEUE_MAX (the connection then fails).
bool conn_send(int fd, const void *data, size_t len);
// Queues the bytes [0, size) of the open file `file` after everything queued;
// the connection owns `file` from now on (closed when sent or dropped).
bool conn_send_file(int fd, int file, off_t size);
// Sends what the socket takes now; false when the connection failed.
bool conn_flush(conn_rec *c);
// Bytes still queued (memory and file).
size_t conn_queued(const conn_rec *c);
// The poll events the connection needs: POLLIN unless closing, POLLOUT while queued.
short conn_events(const conn_rec *c);

// Asks for the close (see the file comment). Idempotent: the first reason counts.
void conn_close(int fd, close_reason reason);
// The one point of the pass where closes happen: tells hook_close about new
// ones and closes every closing connection whose queue is empty or failed.
// `closed` is called for each handle just before it is closed.
void conn_reap(void (*closed)(int fd));
// The connection silent longest (no byte received), holding none of
// ROLES_HELD, if silent for at least `min_idle` seconds; -1 when none.
int conn_idlest(int min_idle);
void conn_reset();
