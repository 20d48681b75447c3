// The house file: one simulated device a line (format in sim/house.txt), and
// the texts that describe the loaded house.
#pragma once
#include <cstddef>

// Parses one house-file line and adds its device. Blank and '#' lines add
// nothing and succeed. On a bad line writes a reason into `err` and returns false.
bool sim_house_line(const char *line, char *err, size_t err_cap);
// Loads a whole file into the (reset) device table; returns the device count,
// or -1 with "path:line: reason" in `err`.
int sim_house_load(const char *path, char *err, size_t err_cap);
// Reads an id text ("0a1b2c" or "@0a1b2c", six hex digits); false when it is not one.
bool sim_id_parse(const char *text, unsigned char id[3]);
// A temperature text ("21.5", "-3", "-0.5") in half degrees, -256..255; false otherwise.
bool sim_temp_parse(const char *text, int *half);
// Reads a state word of the device's kind into its levels or reading, in any
// case, as the house file writes it or as sim_house_show prints it: "60" or
// "60%", "on", "100,0" or "100%,0%", "1010" or "on,off,on,off", "21.5" or
// "21.5C", "-"; false when the word does not fit (work on a copy).
struct sim_device;
bool sim_house_state(sim_device *dev, const char *word);
// One line describing device `index` (state, timers, signal, deaf), no line end.
void sim_house_show(int index, char *text, size_t cap);
// The gateway's device-list lines for the house ("@0a1b2c/rel/Name\n", one per
// channel of a multi-channel device); returns the length written, cut at `cap`.
size_t sim_house_devices_text(char *text, size_t cap);
