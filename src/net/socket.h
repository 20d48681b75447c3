// The socket server: the listening socket, accepting clients into the
// connection table, receiving their messages, and the primitives every other
// part uses to talk to a connection. A raw line is what one receive returns
// (at most RX_BUF - 1 bytes; the rest of a longer line is dropped); an HTTP
// request is gathered until it is whole (net/request.h). A message goes to
// the handler that the protocol layer installs (socket_handler_set); net
// itself knows no protocol.
#pragma once
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "core/hooks.h"

constexpr int RX_BUF = 4096;  // one message is at most RX_BUF - 1 bytes

extern int master_soc;  // the listening socket, -1 before socket_init

// Handles one received message (`len` bytes and a NUL; the handler may change
// it in place without making it longer). Returns the verdict: true keeps the
// connection open, false closes it (CLOSE_DONE).
using socket_handler_fn = bool (*)(uint32_t sock, char *msg, size_t len);
void socket_handler_set(socket_handler_fn handler);
// The door every message passes before its handler (authentication): it
// lets the message on, or answers it itself and keeps or closes the connection.
enum msg_verdict : uint8_t { MSG_PASS, MSG_KEEP, MSG_CLOSE };
using socket_door_fn = msg_verdict (*)(uint32_t sock, char *msg, size_t len);
void socket_door_set(socket_door_fn door);

// Opens the listening socket (PORT, BIND) and puts it in the poll set; false
// after printing the failing call's message.
bool socket_init();
// Once a second: closes connections whose send failed or whose queued bytes
// made no progress for CONN_STALL_S.
void socket_tick(time_t now);
// The pass's close point (hook_pass): see conn_reap.
void socket_reap();

// Sends the text (without its NUL); false when the send failed.
bool soc_msg(uint32_t sock, const char *text);
// Queues `len` bytes for the connection; they leave as the socket takes them
// and never hold the loop. False when the connection failed or is too far behind.
bool soc_send(uint32_t sock, const void *data, size_t len);
// Queues `size` bytes of the open file `file` (the connection owns it now).
bool soc_send_file(uint32_t sock, int file, off_t size);
// Sends what the socket takes of the queued bytes now (before the process ends).
void soc_flush(uint32_t sock);
// Bytes accepted by soc_send for `sock` that the peer has not taken yet.
size_t soc_queued(uint32_t sock);
// The IPv4 address (host order) a connection was accepted from; 0 unknown.
uint32_t soc_peer_ipv4(uint32_t sock);

// Test seam: when set, soc_send hands the bytes here instead of the socket.
extern bool (*soc_send_hook)(uint32_t sock, const void *data, size_t len);
// Takes an already connected descriptor as a client connection, in the poll
// set (fuzz targets and tests that drive the server without a listener).
bool socket_adopt(int fd, uint32_t peer);
// Serves a readable connection: one receive, then the message (or the
// upload's body bytes) as below.
void socket_receive(uint32_t sock);
// Hands one message to the door and the handler, and closes the connection
// on their verdict.
void socket_deliver(uint32_t sock, char *msg, size_t len);
void socket_reset();
