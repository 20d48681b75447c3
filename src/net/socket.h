// The listening socket, the set of open connections and the two primitives
// every other part uses to talk to a connection.
#pragma once
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

constexpr int SOCKETS_MAX = 64;  // the listening socket and up to 63 clients
constexpr int RX_BUF = 4096;     // one message is at most RX_BUF - 1 bytes

struct socket_set {
  uint32_t count;
  uint32_t fd[SOCKETS_MAX];  // in order of insertion
};
extern socket_set sockets_set;
extern int master_soc;   // the listening socket, -1 before socket_init
extern int fdmax;        // greatest handle ever added; only grows
extern ssize_t g_nbytes; // byte count of the last receive

bool socket_init();
// Waits up to `ms` for the connections and the watched descriptors, then
// serves each ready one once: accepts, sends queued bytes, reads one message.
void socket_rx_wait(int ms);
// Once a second: closes connections whose send failed or whose queued bytes
// made no progress for CONN_STALL_S.
void socket_tick();
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
// Closes the socket now and removes it from sockets_set (not from other tables).
void soc_close(uint32_t sock);
// Ends a connection: clears it from every connection table and closes it
// once its queued bytes are sent.
void soc_drop(uint32_t sock);

bool socket_set_add(uint32_t fd);
void socket_set_remove(uint32_t fd);
bool socket_set_has(uint32_t fd);

// Test seam: when set, soc_send hands the bytes here instead of the socket.
extern bool (*soc_send_hook)(uint32_t sock, const void *data, size_t len);
void sockets_reset();
