// The house file: parses device lines into `sim_devices` and renders the
// house for the console and for the gateway's device list.
#include "sim_house.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim_device.h"

constexpr int HOUSE_LINE_MAX = 256;
constexpr int HOUSE_WORD_MAX = 64;

// Copies the next blank-separated word of `*text` into `word` and moves past it;
// returns false at the end of the line. Words longer than the buffer are cut.
static bool word_next(const char **text, char *word) {
  const char *p = *text;
  while (*p == ' ' || *p == '\t') p++;
  if (*p == 0 || *p == '\n' || *p == '\r') {
    *text = p;
    return false;
  }
  int n = 0;
  while (*p && *p != ' ' && *p != '\t' && *p != '\n' && *p != '\r') {
    if (n < HOUSE_WORD_MAX - 1) word[n++] = *p;
    p++;
  }
  word[n] = 0;
  *text = p;
  return true;
}

bool sim_id_parse(const char *text, unsigned char id[3]) {
  if (*text == '@') text++;
  for (int i = 0; i < 6; i++) {
    char c = text[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  }
  if (text[6] != 0) return false;
  for (int i = 0; i < 3; i++) {
    char pair[3] = {text[2 * i], text[2 * i + 1], 0};
    id[i] = static_cast<unsigned char>(strtoul(pair, nullptr, 16));
  }
  return true;
}

// A whole decimal number in [lo, hi] that fills the word.
static bool number_parse(const char *text, long lo, long hi, long *value) {
  if (!*text) return false;
  char *end;
  long v = strtol(text, &end, 10);
  if (*end || v < lo || v > hi) return false;
  *value = v;
  return true;
}

bool sim_temp_parse(const char *text, int *half) {
  bool negative = *text == '-';
  if (negative || *text == '+') text++;
  if (!isdigit(static_cast<unsigned char>(*text))) return false;
  long whole = 0;
  while (isdigit(static_cast<unsigned char>(*text))) {
    whole = whole * 10 + (*text++ - '0');
    if (whole > 200) return false;
  }
  int frac = 0;
  if (*text == '.') {
    text++;
    if (*text != '0' && *text != '5') return false;
    frac = *text++ == '5';
    while (*text == '0') text++;
  }
  if (*text) return false;
  long value = whole * 2 + frac;
  if (negative) value = -value;
  if (value < -256 || value > 255) return false;
  *half = static_cast<int>(value);
  return true;
}

bool sim_house_state(sim_device *dev, const char *word) {
  long v;
  switch (dev->kind) {
    case SIM_DIM:
    case SIM_LED:
      if (!number_parse(word, 0, 100, &v)) return false;
      dev->level[0] = static_cast<uint8_t>(v);
      return true;
    case SIM_REL:
    case SIM_RTC:
      if (strcmp(word, "on") && strcmp(word, "off")) return false;
      dev->level[0] = strcmp(word, "on") == 0 ? 100 : 0;
      return true;
    case SIM_DIM2: {
      const char *comma = strchr(word, ',');
      char first[HOUSE_WORD_MAX];
      long w;
      if (!comma || comma - word >= HOUSE_WORD_MAX) return false;
      memcpy(first, word, static_cast<size_t>(comma - word));
      first[comma - word] = 0;
      if (!number_parse(first, 0, 100, &v) || !number_parse(comma + 1, 0, 100, &w)) return false;
      dev->level[0] = static_cast<uint8_t>(v);
      dev->level[1] = static_cast<uint8_t>(w);
      return true;
    }
    case SIM_REL4:
      if (strlen(word) != 4) return false;
      for (int c = 0; c < 4; c++) {
        if (word[c] != '0' && word[c] != '1') return false;
        dev->level[c] = word[c] == '1' ? 100 : 0;
      }
      return true;
    case SIM_TMP: {
      int half;
      if (!sim_temp_parse(word, &half)) return false;
      dev->temp_half = static_cast<int16_t>(half);
      return true;
    }
    default:
      return strcmp(word, "-") == 0;
  }
}

// One "key=value" option or the word "deaf"; returns 1 when taken, 0 when the
// word is no option (the name starts there), -1 for a bad value.
static int option_parse(sim_device *dev, const char *word) {
  long v;
  if (strcmp(word, "deaf") == 0) {
    dev->deaf = true;
    return 1;
  }
  if (strncmp(word, "rssi=", 5) == 0) {
    if (!number_parse(word + 5, 0, 100, &v)) return -1;
    dev->rssi = static_cast<uint8_t>(v);
    return 1;
  }
  if (strncmp(word, "jitter=", 7) == 0) {
    if (!number_parse(word + 7, 0, 40, &v)) return -1;
    dev->jitter = static_cast<uint8_t>(v);
    return 1;
  }
  if (strncmp(word, "every=", 6) == 0) {
    if (!number_parse(word + 6, 0, 65535, &v)) return -1;
    dev->every = static_cast<uint16_t>(v);
    if (dev->every && dev->every_left > dev->every) dev->every_left = dev->every;
    return 1;
  }
  return 0;
}

static bool fail(char *err, size_t cap, const char *what, const char *word) {
  snprintf(err, cap, "%s '%s'", what, word);
  return false;
}

bool sim_house_line(const char *line, char *err, size_t err_cap) {
  char word[HOUSE_WORD_MAX];
  const char *p = line;
  if (!word_next(&p, word) || word[0] == '#') return true;

  int kind = 0;
  while (kind < SIM_KIND_COUNT && strcmp(sim_kinds[kind].word, word)) kind++;
  if (kind == SIM_KIND_COUNT) return fail(err, err_cap, "unknown device kind", word);

  unsigned char id[3];
  if (!word_next(&p, word) || !sim_id_parse(word, id)) return fail(err, err_cap, "bad id", word);
  // A second device on the same address would make the first unreachable.
  bool taken = sim_device_find(id) >= 0;
  for (int i = 0; i < sim_device_count && sim_kinds[kind].channels > 1; i++)
    if (sim_devices[i].id[0] == id[0] && sim_devices[i].id[1] == id[1] &&
        (sim_devices[i].id[2] & 0xF0) == (id[2] & 0xF0))
      taken = true;
  if (taken) return fail(err, err_cap, "id used twice", word);
  long version;
  char id_word[HOUSE_WORD_MAX];
  strcpy(id_word, word);
  if (!word_next(&p, word) || !number_parse(word, 0, 255, &version))
    return fail(err, err_cap, "bad version", word);
  if (!word_next(&p, word)) return fail(err, err_cap, "missing state for", id_word);

  int index = sim_device_add(static_cast<sim_kind>(kind), id);
  if (index < 0) return fail(err, err_cap, "house full at", id_word);
  sim_device *dev = &sim_devices[index];
  dev->version = static_cast<uint8_t>(version);
  dev->regs[4] = dev->version;
  if (!sim_house_state(dev, word)) {
    sim_device_count--;
    return fail(err, err_cap, "bad state", word);
  }
  // Options, then the rest of the line is the name.
  for (;;) {
    const char *before = p;
    if (!word_next(&p, word)) break;
    int taken = option_parse(dev, word);
    if (taken < 0) {
      sim_device_count--;
      return fail(err, err_cap, "bad option", word);
    }
    if (taken == 0) {
      p = before;
      break;
    }
  }
  while (*p == ' ' || *p == '\t') p++;
  size_t n = strcspn(p, "\r\n");
  if (n >= sizeof dev->name) n = sizeof dev->name - 1;
  memcpy(dev->name, p, n);
  dev->name[n] = 0;
  while (n > 0 && (dev->name[n - 1] == ' ' || dev->name[n - 1] == '\t')) dev->name[--n] = 0;
  for (size_t i = 0; i < n; i++)
    if (dev->name[i] == '/' || dev->name[i] == '"' || dev->name[i] == '\\') dev->name[i] = '-';
  if (n == 0) snprintf(dev->name, sizeof dev->name, "%s %02x%02x%02x", sim_kinds[kind].word, id[0], id[1], id[2]);
  return true;
}

int sim_house_load(const char *path, char *err, size_t err_cap) {
  FILE *f = fopen(path, "r");
  if (!f) {
    snprintf(err, err_cap, "%s: cannot open", path);
    return -1;
  }
  sim_devices_reset();
  char line[HOUSE_LINE_MAX];
  char why[128];
  int number = 0;
  while (fgets(line, sizeof line, f)) {
    number++;
    if (!strchr(line, '\n') && !feof(f)) {
      snprintf(err, err_cap, "%s:%d: line too long", path, number);
      fclose(f);
      return -1;
    }
    if (!sim_house_line(line, why, sizeof why)) {
      snprintf(err, err_cap, "%s:%d: %s", path, number, why);
      fclose(f);
      return -1;
    }
  }
  fclose(f);
  return sim_device_count;
}

void sim_house_show(int index, char *text, size_t cap) {
  const sim_device *dev = &sim_devices[index];
  char state[64] = "";
  size_t len = 0;
  for (int c = 0; c < sim_kinds[dev->kind].channels && len < sizeof state; c++) {
    const char *sep = c ? "," : "";
    switch (dev->kind) {
      case SIM_DIM: case SIM_DIM2: case SIM_LED:
        len += static_cast<size_t>(snprintf(state + len, sizeof state - len, "%s%u%%", sep, dev->level[c]));
        break;
      case SIM_REL: case SIM_RTC: case SIM_REL4:
        len += static_cast<size_t>(snprintf(state + len, sizeof state - len, "%s%s", sep, dev->level[c] ? "ON" : "OFF"));
        break;
      case SIM_TMP:
        len += static_cast<size_t>(snprintf(state + len, sizeof state - len, "%s%d.%dC", dev->temp_half < 0 ? "-" : "",
                                            abs(dev->temp_half) / 2, abs(dev->temp_half) % 2 ? 5 : 0));
        break;
      default:
        len += static_cast<size_t>(snprintf(state + len, sizeof state - len, "-"));
        break;
    }
    if (dev->timer[c] && len < sizeof state)
      len += static_cast<size_t>(snprintf(state + len, sizeof state - len, "(off in %us)", dev->timer[c]));
  }
  snprintf(text, cap, "@%02x%02x%02x %-4s v%-3u %-22s rssi %u%%%s%s  %s", dev->id[0], dev->id[1], dev->id[2],
           sim_kinds[dev->kind].word, dev->version, state, dev->rssi, dev->jitter ? "~" : "",
           dev->deaf ? " DEAF" : "", dev->name);
}

size_t sim_house_devices_text(char *text, size_t cap) {
  size_t len = 0;
  if (cap) text[0] = 0;
  for (int i = 0; i < sim_device_count; i++) {
    const sim_device *dev = &sim_devices[i];
    int channels = sim_kinds[dev->kind].channels;
    for (int c = 1; c <= channels; c++) {
      char line[80];
      int id3 = channels > 1 ? dev->id[2] | c : dev->id[2];
      // The gateway keeps 31 name characters; channels get a short suffix.
      if (channels > 1)
        snprintf(line, sizeof line, "@%02x%02x%02x/%s/%.26s %d\n", dev->id[0], dev->id[1], id3,
                 sim_kinds[dev->kind].list_type, dev->name, c);
      else
        snprintf(line, sizeof line, "@%02x%02x%02x/%s/%.31s\n", dev->id[0], dev->id[1], id3,
                 sim_kinds[dev->kind].list_type, dev->name);
      size_t n = strlen(line);
      if (len + n >= cap) return len;
      memcpy(text + len, line, n + 1);
      len += n;
    }
  }
  return len;
}
