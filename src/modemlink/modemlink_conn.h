// One end of a network modem link's TCP connection, shared by the daemon and
// the gateway: a non-blocking socket with TCP_NODELAY, a bounded queue of
// frames not yet sent, the frame parser, and the times of the last frame each
// way (for the keepalive and the silence rule of modemlink.h). The owner
// polls the descriptor (POLLOUT only while modemlink_conn_pending). Once the
// owner starts `seal` (after the proofs), every frame sent is sealed and
// every frame received must be.
#pragma once
#include <cstdint>

#include "modemlink/modemlink.h"
#include "modemlink/modemlink_auth.h"

// Bytes queued for a peer that does not read; beyond that the peer is dropped.
constexpr int MODEMLINK_OUT_MAX = 16384;

struct modemlink_conn {
  int fd;  // -1 = closed
  modemlink_parser parser;
  modemlink_seal seal;
  int out_len;
  int64_t last_rx_ms, last_tx_ms;
  uint8_t out[MODEMLINK_OUT_MAX];
};

// Monotonic milliseconds.
int64_t modemlink_now_ms();
// Takes a connected (or connecting) socket: non-blocking, TCP_NODELAY, times set to now.
void modemlink_conn_open(modemlink_conn *c, int fd);
// Closes the socket; the record can be opened again.
void modemlink_conn_close(modemlink_conn *c);
// Queues one frame and sends what it can at once. False when the frame is
// out of bounds, the queue is full or the socket failed: drop the peer.
bool modemlink_conn_send(modemlink_conn *c, uint8_t type, const uint8_t *body, int len);
// Sends what is queued; false when the socket failed.
bool modemlink_conn_flush(modemlink_conn *c);
inline bool modemlink_conn_pending(const modemlink_conn *c) { return c->out_len > 0; }

// Called for each frame received, in order; false stops reading (the handler
// has closed or dropped the connection). On a sealed connection it gets the
// frame opened.
using modemlink_frame_fn = bool (*)(void *ctx, const modemlink_frame *f);
// Reads everything waiting and hands each complete frame to `on_frame`.
// Returns nullptr while the connection is good, else why it is over ("closed
// by the peer", "bad frame", "forged frame", the socket's error); the caller
// closes it.
const char *modemlink_conn_read(modemlink_conn *c, modemlink_frame_fn on_frame, void *ctx);
// True when a keepalive is due (nothing sent for MODEMLINK_KEEPALIVE_MS).
bool modemlink_conn_keepalive_due(const modemlink_conn *c, int64_t now);
// True when the peer has been silent for MODEMLINK_SILENT_MS.
bool modemlink_conn_silent(const modemlink_conn *c, int64_t now);
// The earliest time at which one of the two above changes.
int64_t modemlink_conn_deadline(const modemlink_conn *c);
