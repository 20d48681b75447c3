// Control lines that drive the simulator while it runs (stdin or the control socket).
#pragma once
#include <cstddef>

#include "sim_device.h"

// What the caller must do after a control line, beyond sending `out`.
enum sim_action { SIM_ACT_NONE, SIM_ACT_UNPLUG, SIM_ACT_PLUG, SIM_ACT_QUIT };

// Runs one control line: changes the house, adds packets to `out`, writes the
// answer (one or more lines, each ending in '\n') into `reply`.
// Lines:  press <id> <button> | temp <id> <degrees> | deaf <id> on|off |
//         set <id> <state> | rssi <id> <percent> | status <id> | show |
//         devices | unplug | plug | help | quit
sim_action sim_control_line(const char *line, sim_out *out, char *reply, size_t cap);
