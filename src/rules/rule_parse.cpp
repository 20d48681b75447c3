// The rule validator: one rule object read into the model, every member
// checked, the first problem reported as "<path>: <reason>". The forms are in
// rule.h and docs/automations.md.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/text.h"
#include "rules/rule.h"

namespace {

constexpr uint32_t RULE_NODES_MAX = 512;  // values in one rule's text; a full rule has about 150
constexpr size_t PATH_NAME_MAX = 24;      // characters of an unknown member's name in a path
constexpr const char *DAY_SET = "SMTWTFS";
constexpr const char *DAY_OFF = "smtwtfs";

struct checker {
  const rule_context &ctx;
  char *err;
  bool fail(const std::string &path, const char *reason) {
    snprintf(err, RULE_ERROR_MAX, "%s: %s", path.c_str(), reason);
    return false;
  }
};

std::string sub(const std::string &path, const char *name) { return path.empty() ? name : path + "." + name; }
std::string at(const std::string &path, uint32_t i) { return path + "[" + std::to_string(i) + "]"; }

// A member name as it may appear in a message: printable ASCII, cut short.
std::string shown(const char *name) {
  std::string s;
  for (size_t i = 0; name[i] && i < PATH_NAME_MAX; i++) s += (name[i] > 0x20 && name[i] < 0x7f) ? name[i] : '?';
  return s;
}

// Every member of `obj` must be one of `names` (a nullptr-ended list).
bool only(checker &c, const json_node *obj, const std::string &path, const char *const *names) {
  const json_node *m = obj + 1;
  for (uint32_t i = 0; i < obj->len; i++, m = json_next(m)) {
    bool known = false;
    for (const char *const *n = names; *n && !known; n++) known = !strcmp(*n, m->key);
    if (!known) return c.fail(sub(path, shown(m->key).c_str()), "unknown member");
  }
  return true;
}

bool object(checker &c, const json_node *n, const std::string &path) {
  return n->type == JSON_OBJECT ? true : c.fail(path, "an object expected");
}

bool text(checker &c, const json_node *n, const std::string &path, char *out, size_t max, bool empty_ok) {
  if (n->type != JSON_STRING) return c.fail(path, "a text expected");
  if (strlen(n->str) != n->len) return c.fail(path, "a text without \\u0000");
  if (n->len > max) return c.fail(path, ("at most " + std::to_string(max) + " bytes").c_str());
  if (!empty_ok && n->len == 0) return c.fail(path, "an empty text");
  memcpy(out, n->str, n->len + 1);
  return true;
}

bool number(checker &c, const json_node *n, const std::string &path, double lo, double hi, const char *why,
            double *out, bool whole = false) {
  if (n->type != JSON_NUMBER || n->num < lo || n->num > hi || (whole && n->num != floor(n->num)))
    return c.fail(path, why);
  *out = n->num;
  return true;
}

bool device(checker &c, const json_node *n, const std::string &path, char *out) {
  if (n->type != JSON_STRING) return c.fail(path, "not a device id");
  const char *s = n->str[0] == '@' ? n->str + 1 : n->str;
  if (strlen(s) != 6 || !isID(s)) return c.fail(path, "not a device id");
  memcpy(out, s, 7);
  return true;
}

bool word(checker &c, const json_node *n, const std::string &path, const char *yes, const char *no, bool *out) {
  if (n->type == JSON_STRING && !strcmp(n->str, yes)) return *out = true, true;
  if (n->type == JSON_STRING && !strcmp(n->str, no)) return *out = false, true;
  std::string why = std::string(yes) + " or " + no;
  return c.fail(path, why.c_str());
}

// "HH:MM" into seconds; false when it is not one (hours up to `max_h`).
bool hhmm(const char *s, int max_h, int32_t *out) {
  for (int i : {0, 1, 3, 4})
    if (s[i] < '0' || s[i] > '9') return false;
  if (s[2] != ':' || s[5]) return false;
  int h = (s[0] - '0') * 10 + (s[1] - '0'), m = (s[3] - '0') * 10 + (s[4] - '0');
  if (h > max_h || m > 59 || h * 3600 + m * 60 > (max_h == 23 ? 86399 : RULE_OFFSET_MAX)) return false;
  *out = h * 3600 + m * 60;
  return true;
}

bool clock(checker &c, const json_node *n, const std::string &path, rule_clock *out) {
  static const char *const why = "HH:MM, or sunrise or sunset with an offset such as sunset-00:30";
  if (n->type != JSON_STRING) return c.fail(path, why);
  const char *s = n->str;
  if (hhmm(s, 23, &out->offset)) return out->base = CLOCK_AT, true;
  size_t k = str_begin(s, "sunrise") ? 7 : str_begin(s, "sunset") ? 6 : 0;
  if (!k) return c.fail(path, why);
  out->base = k == 7 ? CLOCK_SUNRISE : CLOCK_SUNSET;
  out->offset = 0;
  if (s[k] && ((s[k] != '+' && s[k] != '-') || !hhmm(s + k + 1, 12, &out->offset)))
    return c.fail(path, "a sun offset is +HH:MM or -HH:MM, at most 12:00");
  if (s[k] == '-') out->offset = -out->offset;
  if (!c.ctx.has_place) return c.fail(path, "sun times need the LAT and LON settings");
  return true;
}

bool days(checker &c, const json_node *n, const std::string &path, uint8_t *out) {
  static const char *const why = "seven days SMTWTFS, a day left out in lower case or -";
  if (n->type != JSON_STRING || n->len != 7) return c.fail(path, why);
  *out = 0;
  for (int d = 0; d < 7; d++) {
    char ch = n->str[d];
    if (ch == DAY_SET[d])
      *out |= (uint8_t)(0x80 >> d);
    else if (ch != DAY_OFF[d] && ch != '-')
      return c.fail(path, why);
  }
  return *out ? true : c.fail(path, "no day set");
}

// "on", "off", or {"above":n,"below":m} with 0 <= n < m <= 100.
bool level(checker &c, const json_node *n, const std::string &path, rule_level *out) {
  *out = rule_level{};
  if (n->type == JSON_STRING && !strcmp(n->str, "on")) return out->kind = LEVEL_ON, true;
  if (n->type == JSON_STRING && !strcmp(n->str, "off")) return out->kind = LEVEL_OFF, true;
  if (n->type != JSON_OBJECT) return c.fail(path, "on, off or a level range {\"above\":n,\"below\":m}");
  static const char *const names[] = {"above", "below", nullptr};
  if (!only(c, n, path, names)) return false;
  out->kind = LEVEL_RANGE;
  const json_node *a = json_member(n, "above"), *b = json_member(n, "below");
  if (!a && !b) return c.fail(path, "above, below or both");
  if (a && !number(c, a, sub(path, "above"), 0, 100, "a level 0-100", &out->above)) return false;
  if (b && !number(c, b, sub(path, "below"), 0, 100, "a level 0-100", &out->below)) return false;
  out->has_above = a, out->has_below = b;
  if (a && b && out->above >= out->below) return c.fail(path, "above must be lower than below");
  return true;
}

// The one member of `obj` that names its kind, from `kinds` (nullptr-ended).
int kind_of(checker &c, const json_node *obj, const std::string &path, const char *const *kinds, const char *why,
            const json_node **value) {
  int found = -1;
  for (int k = 0; kinds[k]; k++) {
    const json_node *v = json_member(obj, kinds[k]);
    if (!v) continue;
    if (found >= 0) {
      std::string two = std::string("one per entry, not ") + kinds[found] + " and " + kinds[k];
      c.fail(path, two.c_str());
      return -1;
    }
    found = k, *value = v;
  }
  if (found < 0) c.fail(path, why);
  return found;
}

bool device_block(checker &c, const json_node *v, const std::string &p, const char *const *names, char *dev) {
  if (!object(c, v, p) || !only(c, v, p, names)) return false;
  const json_node *d = json_member(v, "device");
  return d ? device(c, d, sub(p, "device"), dev) : c.fail(sub(p, "device"), "missing");
}

bool trigger(checker &c, const json_node *n, const std::string &path, rule_when *w) {
  static const char *const kinds[] = {"button", "state", "temperature", "time", "start", "unreachable", "hub", nullptr};
  *w = rule_when{};
  if (!object(c, n, path)) return false;
  const json_node *v = nullptr;
  int k = kind_of(c, n, path, kinds, "no trigger (button, state, temperature, time, start, unreachable or hub)", &v);
  if (k < 0) return false;
  w->kind = (rule_when_kind)k;
  std::string p = sub(path, kinds[k]);
  static const char *const button_members[] = {"button", "number", nullptr};
  static const char *const alone[][2] = {{"button", nullptr}, {"state", nullptr}, {"temperature", nullptr},
                                         {"time", nullptr},   {"start", nullptr}, {"unreachable", nullptr},
                                         {"hub", nullptr}};
  if (!only(c, n, path, k == WHEN_BUTTON ? button_members : alone[k])) return false;
  switch (w->kind) {
    case WHEN_BUTTON: {
      w->number = -1;
      const json_node *num = json_member(n, "number");
      double d = -1;
      if (!device(c, v, p, w->device)) return false;
      if (num && !number(c, num, sub(path, "number"), 0, 255, "a button number 0-255", &d, true)) return false;
      w->number = (int16_t)d;
      return true;
    }
    case WHEN_STATE: {
      static const char *const names[] = {"device", "to", nullptr};
      if (!device_block(c, v, p, names, w->device)) return false;
      const json_node *to = json_member(v, "to");
      return to ? level(c, to, sub(p, "to"), &w->to) : c.fail(sub(p, "to"), "missing");
    }
    case WHEN_TEMPERATURE: {
      static const char *const names[] = {"device", "above", "below", "hysteresis", nullptr};
      if (!device_block(c, v, p, names, w->device)) return false;
      const json_node *a = json_member(v, "above"), *b = json_member(v, "below"), *h = json_member(v, "hysteresis");
      if (!a == !b) return c.fail(p, "above or below (one of them)");
      w->rising = a;
      if (!number(c, a ? a : b, sub(p, a ? "above" : "below"), -100, 200, "degrees -100 to 200", &w->limit))
        return false;
      w->hysteresis = 0.5;
      return !h || number(c, h, sub(p, "hysteresis"), 0, 20, "degrees 0 to 20", &w->hysteresis);
    }
    case WHEN_TIME: {
      static const char *const names[] = {"at", "days", nullptr};
      if (!object(c, v, p) || !only(c, v, p, names)) return false;
      const json_node *a = json_member(v, "at"), *d = json_member(v, "days");
      if (!a) return c.fail(sub(p, "at"), "missing");
      w->days = RULE_DAYS_ALL;
      return clock(c, a, sub(p, "at"), &w->at) && (!d || days(c, d, sub(p, "days"), &w->days));
    }
    case WHEN_START:
      return v->type == JSON_TRUE ? true : c.fail(p, "true");
    case WHEN_UNREACHABLE:
      return device(c, v, p, w->device);
    case WHEN_HUB:
      return word(c, v, p, "online", "offline", &w->online);
  }
  return false;
}

bool condition(checker &c, const json_node *n, const std::string &path, rule_if *f) {
  static const char *const kinds[] = {"time", "days", "state", "temperature", "sun", "hub", nullptr};
  *f = rule_if{};
  if (!object(c, n, path)) return false;
  const json_node *v = nullptr;
  int k = kind_of(c, n, path, kinds, "no condition (time, days, state, temperature, sun or hub)", &v);
  if (k < 0) return false;
  if (n->len > 1) return c.fail(path, "one condition per entry");
  f->kind = (rule_if_kind)k;
  std::string p = sub(path, kinds[k]);
  switch (f->kind) {
    case IF_TIME: {
      static const char *const names[] = {"after", "before", nullptr};
      if (!object(c, v, p) || !only(c, v, p, names)) return false;
      const json_node *a = json_member(v, "after"), *b = json_member(v, "before");
      if (!a && !b) return c.fail(p, "after, before or both");
      f->has_after = a, f->has_before = b;
      return (!a || clock(c, a, sub(p, "after"), &f->after)) && (!b || clock(c, b, sub(p, "before"), &f->before));
    }
    case IF_DAYS:
      return days(c, v, p, &f->days);
    case IF_STATE: {
      static const char *const names[] = {"device", "is", nullptr};
      if (!device_block(c, v, p, names, f->device)) return false;
      const json_node *is = json_member(v, "is");
      return is ? level(c, is, sub(p, "is"), &f->is) : c.fail(sub(p, "is"), "missing");
    }
    case IF_TEMPERATURE: {
      static const char *const names[] = {"device", "above", "below", nullptr};
      if (!device_block(c, v, p, names, f->device)) return false;
      const json_node *a = json_member(v, "above"), *b = json_member(v, "below");
      if (!a && !b) return c.fail(p, "above, below or both");
      if (a && !number(c, a, sub(p, "above"), -100, 200, "degrees -100 to 200", &f->above)) return false;
      if (b && !number(c, b, sub(p, "below"), -100, 200, "degrees -100 to 200", &f->below)) return false;
      f->has_above = a, f->has_below = b;
      return a && b && f->above >= f->below ? c.fail(p, "above must be lower than below") : true;
    }
    case IF_SUN:
      if (!word(c, v, p, "up", "down", &f->up)) return false;
      return c.ctx.has_place ? true : c.fail(p, "sun times need the LAT and LON settings");
    case IF_HUB:
      return word(c, v, p, "online", "offline", &f->online);
  }
  return false;
}

bool action(checker &c, const json_node *n, const std::string &path, rule_then *a) {
  static const char *const kinds[] = {"send", "delay", "event", nullptr};
  *a = rule_then{};
  if (!object(c, n, path)) return false;
  const json_node *v = nullptr;
  int k = kind_of(c, n, path, kinds, "no action (send, delay or event)", &v);
  if (k < 0) return false;
  if (n->len > 1) return c.fail(path, "one action per entry");
  a->kind = (rule_then_kind)k;
  std::string p = sub(path, kinds[k]);
  if (a->kind == THEN_DELAY) {
    double d;
    if (!number(c, v, p, 1, RULE_DELAY_MAX, "a whole number of seconds 1-86400", &d, true)) return false;
    a->seconds = (uint32_t)d;
    return true;
  }
  if (!text(c, v, p, a->text, RULE_TEXT_MAX, false)) return false;
  const char *why = nullptr;
  if (a->kind == THEN_SEND && !rule_command_valid(a->text, &why)) return c.fail(p, why);
  return true;
}

template <typename T>
bool list(checker &c, const json_node *root, const char *name, int lo, int hi, T *items, uint8_t *count,
          bool (*one)(checker &, const json_node *, const std::string &, T *)) {
  const json_node *arr = json_member(root, name);
  *count = 0;
  if (!arr) return lo == 0 ? true : c.fail(name, "missing");
  if (arr->type != JSON_ARRAY) return c.fail(name, "a list expected");
  if ((int)arr->len < lo) return c.fail(name, "empty");
  if ((int)arr->len > hi) {
    std::string why = "at most " + std::to_string(hi);
    return c.fail(name, why.c_str());
  }
  const json_node *e = arr + 1;
  for (uint32_t i = 0; i < arr->len; i++, e = json_next(e))
    if (!one(c, e, at(name, i), &items[i])) return false;
  *count = (uint8_t)arr->len;
  return true;
}

}  // namespace

bool rule_id_valid(const char *id) {
  size_t n = strlen(id);
  if (n < 1 || n > (size_t)RULE_ID_MAX) return false;
  for (size_t i = 0; i < n; i++) {
    char ch = id[i];
    if (!((ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '-' || ch == '_')) return false;
  }
  return true;
}

bool rule_parse(const json_node *obj, const rule_context &ctx, rule *out, char *err) {
  checker c{ctx, err};
  err[0] = 0;
  if (obj->type != JSON_OBJECT) return c.fail("rule", "an object expected");
  rule &r = *out;
  memset(&r, 0, sizeof r);
  const json_node *id = json_member(obj, "id");
  if (!id) return c.fail("id", "missing");
  if (id->type != JSON_STRING || !rule_id_valid(id->str)) return c.fail("id", "1-32 characters a-z, 0-9, - or _");
  memcpy(r.id, id->str, id->len + 1);
  static const char *const names[] = {"id", "name", "enabled", "when", "if", "then", "mode",
                                      "last_fired", "next", "paused", nullptr};
  if (!only(c, obj, "", names)) return false;
  const json_node *name = json_member(obj, "name");
  if (name && !text(c, name, "name", r.name, RULE_NAME_MAX, true)) return false;
  const json_node *en = json_member(obj, "enabled");
  if (en && en->type != JSON_TRUE && en->type != JSON_FALSE) return c.fail("enabled", "true or false");
  r.enabled = !en || en->type == JSON_TRUE;
  r.mode = MODE_RESTART;
  if (const json_node *m = json_member(obj, "mode")) {
    static const char *const modes[] = {"single", "restart", "queued"};
    int k = -1;
    for (int i = 0; i < 3; i++)
      if (m->type == JSON_STRING && !strcmp(m->str, modes[i])) k = i;
    if (k < 0) return c.fail("mode", "single, restart or queued");
    r.mode = (rule_mode)k;
  }
  return list(c, obj, "when", 1, RULE_WHEN_MAX, r.when, &r.n_when, trigger) &&
         list(c, obj, "if", 0, RULE_IF_MAX, r.cond, &r.n_if, condition) &&
         list(c, obj, "then", 1, RULE_THEN_MAX, r.then, &r.n_then, action);
}

bool rule_parse_text(const char *text, size_t len, const rule_context &ctx, rule *out, char *err) {
  std::string copy(text, len);
  static std::vector<json_node> nodes(RULE_NODES_MAX);
  json_result res;
  if (!json_read(copy.data(), copy.size(), nodes.data(), RULE_NODES_MAX, &res)) {
    snprintf(err, RULE_ERROR_MAX, "rule: line %u col %u: %s", res.line, res.col, res.error);
    return false;
  }
  return rule_parse(nodes.data(), ctx, out, err);
}
