// The main loop: one thread, one pass at a time.
#pragma once

// One pass: flush the console, wait for the poll set until just after the
// clock's next second at most and serve what is ready, run hook_pass (the
// deferred closes), and once per change of the clock second hook_tick and
// hook_pass again.
void loop_pass();
// Every core table back to its start state: the hook lists emptied, the
// poll set, the tick, the clock seam, the run-time switches and the settings
// (tests and fuzz targets).
void core_reset();
