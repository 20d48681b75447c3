// Control lines: the words an operator or a test uses to act on the simulated
// house (press a button, change a reading, make a device deaf, unplug the modem).
#include "sim_control.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim_house.h"

constexpr int CONTROL_WORD_MAX = 32;
constexpr int CONTROL_WORDS = 4;

static const char control_help[] =
    "commands:\n"
    "  press <id> <button>    wall button sends SS PRESS <button> (1-255)\n"
    "  temp <id> <degrees>    sensor reading, e.g. 21.5 or -3, reported now\n"
    "  set <id> <state>       local switch: new state as show prints it or the house file\n"
    "                         writes it (60%, on, 100%,0%, on,off,on,off, 21.5C), status reported\n"
    "  status <id>            device reports its status unasked\n"
    "  deaf <id> on|off       device ignores / answers commands\n"
    "  rssi <id> <percent>    signal strength the device is heard at\n"
    "  show                   list the house\n"
    "  devices                device-list lines for the gateway's \"devices\" file\n"
    "  unplug | plug          drop the modem connection / accept the next one\n"
    "  quit                   stop the simulator\n"
    "words are read in any case\n";

// Splits into at most CONTROL_WORDS blank-separated words, lower-cased (every
// control word means the same in any case); returns the count.
static int words_split(const char *line, char words[CONTROL_WORDS][CONTROL_WORD_MAX]) {
  int count = 0;
  const char *p = line;
  while (count < CONTROL_WORDS) {
    while (*p == ' ' || *p == '\t') p++;
    if (!*p || *p == '\n' || *p == '\r') break;
    int n = 0;
    while (*p && *p != ' ' && *p != '\t' && *p != '\n' && *p != '\r') {
      if (n < CONTROL_WORD_MAX - 1) words[count][n++] = static_cast<char>(tolower(static_cast<unsigned char>(*p)));
      p++;
    }
    words[count++][n] = 0;
  }
  return count;
}

// The device named by an id word, or -1 with the reason in `reply`.
static int device_pick(const char *word, char *reply, size_t cap) {
  unsigned char id[3];
  if (!sim_id_parse(word, id)) {
    snprintf(reply, cap, "error: '%s' is not a device id\n", word);
    return -1;
  }
  int index = sim_device_find(id);
  if (index < 0) snprintf(reply, cap, "error: no device @%02x%02x%02x\n", id[0], id[1], id[2]);
  return index;
}

static void show_one(int index, char *reply, size_t cap) {
  char line[160];
  sim_house_show(index, line, sizeof line);
  snprintf(reply, cap, "%s\n", line);
}

// "set": a local change at the device, reported with a status like a real wall switch.
static sim_action state_set(int index, const char *word, sim_out *out, char *reply, size_t cap) {
  sim_device *dev = &sim_devices[index];
  sim_device changed = *dev;
  if (dev->kind == SIM_BTN || !sim_house_state(&changed, word)) {
    snprintf(reply, cap, "error: '%s' is no state of a %s\n", word, sim_kinds[dev->kind].text);
    return SIM_ACT_NONE;
  }
  for (int c = 0; c < SIM_CHANNEL_CAP; c++) {
    if (dev->level[c]) dev->last_on[c] = dev->level[c];
    if (changed.level[c]) dev->last_on[c] = changed.level[c];
    dev->level[c] = changed.level[c];
  }
  dev->temp_half = changed.temp_half;
  if (dev->kind == SIM_TMP)
    sim_device_temp(index, out);
  else
    sim_device_status(index, 0, out);
  show_one(index, reply, cap);
  return SIM_ACT_NONE;
}

sim_action sim_control_line(const char *line, sim_out *out, char *reply, size_t cap) {
  char w[CONTROL_WORDS][CONTROL_WORD_MAX];
  int n = words_split(line, w);
  if (cap) reply[0] = 0;
  if (n == 0) return SIM_ACT_NONE;
  const char *verb = w[0];

  if (strcmp(verb, "quit") == 0 && n == 1) {
    snprintf(reply, cap, "bye\n");
    return SIM_ACT_QUIT;
  }
  if (strcmp(verb, "unplug") == 0 && n == 1) {
    snprintf(reply, cap, "modem unplugged\n");
    return SIM_ACT_UNPLUG;
  }
  if (strcmp(verb, "plug") == 0 && n == 1) {
    snprintf(reply, cap, "modem plugged in\n");
    return SIM_ACT_PLUG;
  }
  if (strcmp(verb, "help") == 0) {
    snprintf(reply, cap, "%s", control_help);
    return SIM_ACT_NONE;
  }
  if (strcmp(verb, "show") == 0 && n == 1) {
    size_t len = 0;
    for (int i = 0; i < sim_device_count && len + 1 < cap; i++) {
      show_one(i, reply + len, cap - len);
      len += strlen(reply + len);
    }
    if (sim_device_count == 0) snprintf(reply, cap, "(no devices)\n");
    return SIM_ACT_NONE;
  }
  if (strcmp(verb, "devices") == 0 && n == 1) {
    sim_house_devices_text(reply, cap);
    return SIM_ACT_NONE;
  }

  int index;
  if (strcmp(verb, "press") == 0 && n == 3) {
    if ((index = device_pick(w[1], reply, cap)) < 0) return SIM_ACT_NONE;
    long button = strtol(w[2], nullptr, 10);
    if (button < 1 || button > 255)
      snprintf(reply, cap, "error: button must be 1-255\n");
    else if (!sim_device_press(index, static_cast<uint8_t>(button), out))
      snprintf(reply, cap, "error: @%s is not a button\n", w[1][0] == '@' ? w[1] + 1 : w[1]);
    else
      snprintf(reply, cap, "pressed button %ld\n", button);
    return SIM_ACT_NONE;
  }
  if (strcmp(verb, "temp") == 0 && n == 3) {
    if ((index = device_pick(w[1], reply, cap)) < 0) return SIM_ACT_NONE;
    int half;
    if (sim_devices[index].kind != SIM_TMP) {
      snprintf(reply, cap, "error: not a temperature sensor\n");
    } else if (!sim_temp_parse(w[2], &half)) {
      snprintf(reply, cap, "error: degrees like 21.5 or -3, -128 to 127.5\n");
    } else {
      sim_devices[index].temp_half = static_cast<int16_t>(half);
      sim_device_temp(index, out);
      show_one(index, reply, cap);
    }
    return SIM_ACT_NONE;
  }
  if (strcmp(verb, "deaf") == 0 && n == 3) {
    if ((index = device_pick(w[1], reply, cap)) < 0) return SIM_ACT_NONE;
    if (strcmp(w[2], "on") && strcmp(w[2], "off")) {
      snprintf(reply, cap, "error: deaf <id> on|off\n");
      return SIM_ACT_NONE;
    }
    sim_devices[index].deaf = strcmp(w[2], "on") == 0;
    show_one(index, reply, cap);
    return SIM_ACT_NONE;
  }
  if (strcmp(verb, "rssi") == 0 && n == 3) {
    if ((index = device_pick(w[1], reply, cap)) < 0) return SIM_ACT_NONE;
    char *end;
    long pct = strtol(w[2], &end, 10);
    if (*end || pct < 0 || pct > 100) {
      snprintf(reply, cap, "error: rssi percent 0-100\n");
      return SIM_ACT_NONE;
    }
    sim_devices[index].rssi = static_cast<uint8_t>(pct);
    show_one(index, reply, cap);
    return SIM_ACT_NONE;
  }
  if (strcmp(verb, "status") == 0 && n == 2) {
    if ((index = device_pick(w[1], reply, cap)) < 0) return SIM_ACT_NONE;
    if (!sim_device_status(index, 0, out) && !sim_device_temp(index, out))
      snprintf(reply, cap, "error: this device has no status\n");
    else
      show_one(index, reply, cap);
    return SIM_ACT_NONE;
  }
  if (strcmp(verb, "set") == 0 && n == 3) {
    if ((index = device_pick(w[1], reply, cap)) < 0) return SIM_ACT_NONE;
    return state_set(index, w[2], out, reply, cap);
  }
  snprintf(reply, cap, "error: unknown command '%s' (try help)\n", verb);
  return SIM_ACT_NONE;
}
