// orvel-sim ctl: sends one control line to a running simulator and prints its
// answer, so the house can be driven from a shell with nothing else installed.
#pragma once

// `args` are the words after "ctl": [--control PATH] WORD...; the words are
// joined by blanks into one control line (see sim_control.h). Without
// --control the socket is `default_path`. Returns the exit status: 0, 1 when
// the simulator cannot be reached or answers "error: ...", 2 for bad usage.
int sim_ctl_main(int argc, char **args, const char *default_path);
