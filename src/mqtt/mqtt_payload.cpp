// The MQTT bridge's payload readers and writers (see mqtt_payload.h).
#include "mqtt/mqtt_payload.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "core/text.h"

constexpr size_t BAD = (size_t)-1;

static size_t json_ws(const char *s, size_t i, size_t n) {
  while (i < n && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) i++;
  return i;
}

static int hex_val(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Appends one byte to out (capacity cap, length *o); false when it is full.
static bool out_put(char *out, size_t cap, size_t *o, char c) {
  if (!out) return true;
  if (*o + 1 >= cap) return false;
  out[(*o)++] = c;
  out[*o] = 0;
  return true;
}

// Reads the string that starts at s[i] == '"'; returns the index after its
// closing quote, or BAD. With `out`, the unescaped text goes there (\u escapes
// as UTF-8; a surrogate half as '?'); *fits turns false when it does not fit.
static size_t json_string(const char *s, size_t i, size_t n, char *out, size_t cap, bool *fits) {
  size_t o = 0;
  if (out && cap) out[0] = 0;
  for (i++; i < n; i++) {
    char c = s[i];
    if (c == '"') return i + 1;
    if ((unsigned char)c < 0x20) return BAD;
    if (c != '\\') {
      if (!out_put(out, cap, &o, c)) *fits = false;
      continue;
    }
    if (++i >= n) return BAD;
    char e = s[i];
    const char *plain = strchr("\"\\/bfnrt", e);
    if (e && plain) {
      static const char map[] = "\"\\/\b\f\n\r\t";
      if (!out_put(out, cap, &o, map[plain - "\"\\/bfnrt"])) *fits = false;
      continue;
    }
    if (e != 'u' || i + 4 >= n) return BAD;
    unsigned cp = 0;
    for (int k = 1; k <= 4; k++) {
      int v = hex_val(s[i + k]);
      if (v < 0) return BAD;
      cp = cp * 16 + (unsigned)v;
    }
    i += 4;
    char utf[3];
    int len;
    if (cp < 0x80) {
      utf[0] = (char)cp, len = 1;
    } else if (cp < 0x800) {
      utf[0] = (char)(0xC0 | (cp >> 6)), utf[1] = (char)(0x80 | (cp & 0x3F)), len = 2;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      utf[0] = '?', len = 1;
    } else {
      utf[0] = (char)(0xE0 | (cp >> 12)), utf[1] = (char)(0x80 | ((cp >> 6) & 0x3F));
      utf[2] = (char)(0x80 | (cp & 0x3F)), len = 3;
    }
    for (int k = 0; k < len; k++)
      if (!out_put(out, cap, &o, utf[k])) *fits = false;
  }
  return BAD;
}

// Reads a number or true/false/null at s[i]; returns the index after it, or BAD.
static size_t json_scalar(const char *s, size_t i, size_t n, char *out, size_t cap, bool *fits) {
  size_t start = i;
  while (i < n && strchr("+-.0123456789eEtruefalsn", s[i]) && s[i]) i++;
  size_t len = i - start;
  if (len == 0) return BAD;
  bool word = (len == 4 && !memcmp(s + start, "true", 4)) || (len == 5 && !memcmp(s + start, "false", 5)) ||
              (len == 4 && !memcmp(s + start, "null", 4));
  if (!word) {
    char num[32];
    if (len >= sizeof num) return BAD;
    memcpy(num, s + start, len);
    num[len] = 0;
    char *end;
    strtod(num, &end);
    if (*end || !(num[0] == '-' || (num[0] >= '0' && num[0] <= '9'))) return BAD;
  }
  if (out) {
    if (len + 1 > cap) {
      *fits = false;
    } else {
      memcpy(out, s + start, len);
      out[len] = 0;
    }
  }
  return i;
}

int json_flat_get(const char *json, size_t len, const char *key, char *out, size_t cap, bool *is_string) {
  size_t i = json_ws(json, 0, len);
  if (i >= len || json[i] != '{') return -1;
  i = json_ws(json, i + 1, len);
  int found = 0;
  bool fits = true;
  if (i < len && json[i] == '}') return json_ws(json, i + 1, len) == len ? 0 : -1;
  for (;;) {
    if (i >= len || json[i] != '"') return -1;
    char name[32];
    bool name_fits = true;
    i = json_string(json, i, len, name, sizeof name, &name_fits);
    if (i == BAD) return -1;
    i = json_ws(json, i, len);
    if (i >= len || json[i] != ':') return -1;
    i = json_ws(json, i + 1, len);
    if (i >= len) return -1;
    bool wanted = !found && name_fits && strcmp(name, key) == 0;
    bool str = json[i] == '"';
    if (str)
      i = json_string(json, i, len, wanted ? out : nullptr, cap, &fits);
    else
      i = json_scalar(json, i, len, wanted ? out : nullptr, cap, &fits);
    if (i == BAD) return -1;
    if (wanted) {
      found = 1;
      if (is_string) *is_string = str;
    }
    i = json_ws(json, i, len);
    if (i < len && json[i] == ',') {
      i = json_ws(json, i + 1, len);
      continue;
    }
    if (i < len && json[i] == '}') break;
    return -1;
  }
  if (json_ws(json, i + 1, len) != len) return -1;
  if (found && !fits) return -1;
  return found;
}

// A whole decimal number lo..hi, nothing else; -1 when it is not.
static long whole_number(const char *text, long lo, long hi) {
  if (!*text || strlen(text) > 6) return -1;
  for (const char *p = text; *p; p++)
    if (*p < '0' || *p > '9') return -1;
  long v = strtol(text, nullptr, 10);
  return v < lo || v > hi ? -1 : v;
}

// The command of one state word (ON sets `on_level`); false for any other word.
static bool set_word(const char *word, const char *id, int on_level, char *cmd) {
  if (!strcasecmp(word, "ON")) return snprintf(cmd, SET_CMD_SIZE, "@%s=%d", id, on_level), true;
  if (!strcasecmp(word, "OFF")) return snprintf(cmd, SET_CMD_SIZE, "@%s=0", id), true;
  if (!strcasecmp(word, "TOGGLE")) return snprintf(cmd, SET_CMD_SIZE, "@%s!", id), true;
  return false;
}

int mqtt_set_parse(const char *payload, size_t len, const char *id, char cmds[SET_CMDS_MAX][SET_CMD_SIZE],
                   const char **why, int on_level) {
  if (on_level < 1 || on_level > 100) on_level = 100;
  size_t a = json_ws(payload, 0, len), b = len;
  while (b > a && (payload[b - 1] == ' ' || payload[b - 1] == '\n' || payload[b - 1] == '\r' || payload[b - 1] == '\t'))
    b--;
  *why = "expected ON, OFF, TOGGLE, 0-100 or a JSON object";
  if (a < b && payload[a] != '{') {
    char word[8];
    if (b - a >= sizeof word) return 0;
    memcpy(word, payload + a, b - a);
    word[b - a] = 0;
    if (set_word(word, id, on_level, cmds[0])) return 1;
    long level = whole_number(word, 0, 100);
    if (level < 0) return 0;
    snprintf(cmds[0], SET_CMD_SIZE, "@%s=%ld", id, level);
    return 1;
  }
  char state[8], bright[8], timer[8];
  bool s_str = false, b_str = false, t_str = false;
  int has_s = json_flat_get(payload, len, "state", state, sizeof state, &s_str);
  int has_b = json_flat_get(payload, len, "brightness", bright, sizeof bright, &b_str);
  int has_t = json_flat_get(payload, len, "off_timer", timer, sizeof timer, &t_str);
  if (has_s < 0 || has_b < 0 || has_t < 0) {
    *why = "not a flat JSON object, or a value too long";
    return 0;
  }
  if (!has_s && !has_b && !has_t) {
    *why = "the object holds none of state, brightness, off_timer";
    return 0;
  }
  int n = 0;
  if (has_t) {
    long secs = t_str ? -1 : whole_number(timer, 1, 65535);
    if (secs < 0) return *why = "off_timer must be 1-65535", 0;
    snprintf(cmds[n++], SET_CMD_SIZE, "@%s+%ld", id, secs);
  }
  if (has_s && (!s_str || (strcasecmp(state, "ON") && strcasecmp(state, "OFF") && strcasecmp(state, "TOGGLE"))))
    return *why = "state must be ON, OFF or TOGGLE", 0;
  if (has_b) {
    long level = b_str ? -1 : whole_number(bright, 0, 100);
    if (level < 0) return *why = "brightness must be 0-100", 0;
    if (has_s && !strcasecmp(state, "OFF")) level = 0;
    snprintf(cmds[n++], SET_CMD_SIZE, "@%s=%ld", id, level);
  } else if (has_s) {
    set_word(state, id, on_level, cmds[n++]);
  }
  return n;
}

const char *mqtt_component(const char *type) {
  if (!strcmp(type, "rel") || !strcmp(type, "rtc")) return "switch";
  if (!strcmp(type, "dim") || !strcmp(type, "led")) return "light";
  if (!strcmp(type, "btn")) return "event";
  return "sensor";
}

// A temperature text such as "21.5C" or "-3C": its number part when it is one.
static bool temperature_text(const char *val, char *num, size_t cap) {
  size_t n = 0;
  if (val[n] == '-') n++;
  size_t digits = n;
  while (val[n] >= '0' && val[n] <= '9') n++;
  if (n == digits || (val[digits] == '0' && n - digits > 1)) return false;  // a JSON number has no leading 0
  if (val[n] == '.') {
    size_t frac = ++n;
    while (val[n] >= '0' && val[n] <= '9') n++;
    if (n == frac) return false;
  }
  if (val[n] && strcmp(val + n, "C")) return false;
  if (n + 1 > cap) return false;
  memcpy(num, val, n);
  num[n] = 0;
  return true;
}

bool mqtt_state_json(const dev_rec *d, char *out, size_t cap) {
  if (!d->time[0]) return false;
  const char *comp = mqtt_component(d->type);
  const char *v = d->val;
  bool pct = v[0] >= '0' && v[0] <= '9' && strchr(v, '%');
  int level = pct ? atoi(v) : 0;
  char body[128] = "";
  char num[16];
  if (!strcmp(comp, "switch") && (str_begin(v, "ON") || str_begin(v, "OFF") || pct)) {
    bool on = pct ? level > 0 : str_begin(v, "ON");
    snprintf(body, sizeof body, "\"state\":\"%s\",", on ? "ON" : "OFF");
  } else if (!strcmp(comp, "light") && pct) {
    snprintf(body, sizeof body, "\"state\":\"%s\",\"brightness\":%d,", level > 0 ? "ON" : "OFF", level);
  } else if (!strcmp(comp, "light") && (str_begin(v, "ON") || str_begin(v, "OFF"))) {
    snprintf(body, sizeof body, "\"state\":\"%s\",", str_begin(v, "ON") ? "ON" : "OFF");
  } else if (!strcmp(d->type, "tmp")) {
    if (temperature_text(v, num, sizeof num)) snprintf(body, sizeof body, "\"temperature\":%s,", num);
  } else if (strcmp(comp, "event")) {
    strcpy(body, "\"state\":\"");
    json_escape_append(body, sizeof body - 3, v);
    strcat(body, "\",");
  }
  char rssi[24] = "";
  if (d->rssi[0]) snprintf(rssi, sizeof rssi, "\"rssi\":%d,", atoi(d->rssi));
  int n = snprintf(out, cap, "{%s%s\"last_seen\":%lu}", body, rssi, strtoul(d->time, nullptr, 10));
  return n > 0 && (size_t)n < cap;
}
