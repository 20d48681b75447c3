// The gateway's life: start-up in one readable order, then the main loop.
#pragma once

// Runs the gateway; returns only the start-up failure code 1.
int orvel_main();
