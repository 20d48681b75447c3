// The house's wiring: every subsystem started in one order, and every
// subsystem put back to its start state.
#pragma once

// Starts every subsystem in the order in which they hear events; false when
// a setting forbids the start (the reason is printed). Opens nothing: the
// listening socket and the modem reader are opened by the caller.
bool house_wire();
// Every subsystem's state back to the start, the hook lists and routes
// emptied (tests and fuzz targets; house_wire may be called again).
void house_reset();
