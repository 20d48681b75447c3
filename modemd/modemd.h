// orvel-modemd: serves the radio modem of this machine to one gateway on the
// network (frames and proofs in src/modemlink/). modemd_main.cpp owns the
// arguments, the key, the listening socket, the modem reader and the poll
// loop; modemd_clients.cpp owns the connections.
#pragma once
#include <cstddef>
#include <cstdint>
#include <poll.h>

// Connections at once: the gateway served and newcomers proving the key.
constexpr int MODEMD_CLIENT_MAX = 4;

// The shared key every client must prove (copied).
void modemd_clients_key(const uint8_t *key, size_t len);
// A new connection from `peer` (text for the log): greeted, or refused when the table is full.
void modemd_client_accept(int fd, const char *peer);
// The connections' descriptors and the events each waits for; the count.
int modemd_clients_poll(struct pollfd *out);
// Serves the connection on `fd` (nothing when it is no longer open).
void modemd_client_ready(int fd, short revents);
// Keepalives and the silence rule; returns the next time (monotonic ms) this
// needs calling, or -1 when no connection is open.
int64_t modemd_clients_tick(int64_t now);

// The modem came (its product string as UTF-8), went, or sent a report:
// the gateway served is told.
void modemd_modem_opened(const uint8_t *product, int len);
void modemd_modem_lost();
void modemd_modem_report(const uint8_t *report, int len);
