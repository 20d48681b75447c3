// Start-up and the main loop.
#pragma once

// The whole life of the process; returns only the start-up failure code 1.
int orvel_main();
// One pass of the main loop: flush, serve sockets, poll the modem, count down, tick.
void main_loop_pass();
