// The network server's own start: the listening socket, the pass's close
// point and stall tick, and the routes net itself serves (static files, the
// value store, the log viewer, uploads).
#pragma once

// False when the listening socket cannot be set up (the message is printed).
bool net_start();
// Everything net keeps back to its start state (tests and fuzz targets).
void net_reset();
