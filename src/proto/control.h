// The control routes: stop the gateway, versions, the modem's presence and
// LED, and the run-time switches (root mode, debug output, the duplicate
// filter, the echo of received messages).
#pragma once

void control_start();
