// The network server's own start: the listening socket, the pass's close
// point and stall tick, and the routes net itself serves (static files, the
// value store, the log viewer, uploads).
#pragma once

// Registers net's routes, ticks and close point; the listening socket is
// opened by socket_init.
void net_start();
// Everything net keeps back to its start state (tests and fuzz targets).
void net_reset();
