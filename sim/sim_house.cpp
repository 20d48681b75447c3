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

// One channel's level: "0".."100", with or without a trailing '%'.
static bool level_parse(const char *text, long *level) {
  char number[8];
  size_t n = strlen(text);
  if (n > 0 && text[n - 1] == '%') n--;
  if (n == 0 || n >= sizeof number) return false;
  memcpy(number, text, n);
  number[n] = 0;
  return number_parse(number, 0, 100, level);
}

// One channel's state word of kind `kind` into a level 0-100.
static bool channel_parse(sim_kind kind, const char *text, long *level) {
  if (kind == SIM_REL || kind == SIM_RTC || kind == SIM_REL4) {
    if (strcmp(text, "on") && strcmp(text, "off")) return false;
    *level = strcmp(text, "on") == 0 ? 100 : 0;
    return true;
  }
  return level_parse(text, level);
}

bool sim_house_state(sim_device *dev, const char *word) {
  char lower[HOUSE_WORD_MAX];
  size_t len = strlen(word);
  if (len >= sizeof lower) return false;
  for (size_t i = 0; i <= len; i++) lower[i] = static_cast<char>(tolower(static_cast<unsigned char>(word[i])));
  if (dev->kind == SIM_TMP) {
    if (len > 1 && lower[len - 1] == 'c') lower[len - 1] = 0;
    int half;
    if (!sim_temp_parse(lower, &half)) return false;
    dev->temp_half = static_cast<int16_t>(half);
    return true;
  }
  int channels = sim_kinds[dev->kind].channels;
  if (dev->kind == SIM_BTN) return strcmp(lower, "-") == 0;
  // A four-relay board also takes one digit per relay, channel 1 first: 1010.
  if (dev->kind == SIM_REL4 && len == 4 && strspn(lower, "01") == 4) {
    for (int c = 0; c < 4; c++) dev->level[c] = lower[c] == '1' ? 100 : 0;
    return true;
  }
  long levels[SIM_CHANNEL_CAP];
  int count = 0;
  for (char *part = lower;; count++) {
    char *comma = strchr(part, ',');
    if (comma) *comma = 0;
    if (count >= channels || !channel_parse(dev->kind, part, &levels[count])) return false;
    if (!comma) break;
    part = comma + 1;
  }
  if (count + 1 != channels) return false;
  for (int c = 0; c < channels; c++) dev->level[c] = static_cast<uint8_t>(levels[c]);
  return true;
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
