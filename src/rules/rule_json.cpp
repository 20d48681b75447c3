// The rule writer: the model back to the JSON form rule_parse reads, so that
// writing and reading again gives the same rule. Pretty output keeps one
// member a line and one list entry a line, for editing the file by hand.
#include <cstdio>
#include <string>

#include "rules/rule.h"

namespace {

struct writer {
  std::string &o;
  bool pretty;
  int indent;
  // Starts a member of the rule object: its own line when pretty.
  void key(const char *name, bool first) {
    if (!first) o += ',';
    if (pretty) o += '\n' + std::string(indent + 2, ' ');
    rule_json_string(o, name);
    o += pretty ? ": " : ":";
  }
  // "name":value inside one-line objects.
  void inner(const char *name, bool first) {
    if (!first) o += pretty ? ", " : ",";
    rule_json_string(o, name);
    o += pretty ? ": " : ":";
  }
};

void number(std::string &o, double v) {
  char buf[32];
  snprintf(buf, sizeof buf, "%.10g", v);
  o += buf;
}

void device(std::string &o, const char *id) {
  o += "\"@";
  o += id;
  o += '"';
}

void days(std::string &o, uint8_t d) {
  static const char set[] = "SMTWTFS", off[] = "smtwtfs";
  o += '"';
  for (int i = 0; i < 7; i++) o += (d & (0x80 >> i)) ? set[i] : off[i];
  o += '"';
}

void clock(std::string &o, const rule_clock &c) {
  o += '"';
  rule_clock_text(o, c);
  o += '"';
}

void level(writer &w, const rule_level &l) {
  if (l.kind != LEVEL_RANGE) {
    w.o += l.kind == LEVEL_ON ? "\"on\"" : "\"off\"";
    return;
  }
  w.o += '{';
  if (l.has_above) w.inner("above", true), number(w.o, l.above);
  if (l.has_below) w.inner("below", !l.has_above), number(w.o, l.below);
  w.o += '}';
}

void trigger(writer &w, const rule_when &t) {
  std::string &o = w.o;
  o += '{';
  switch (t.kind) {
    case WHEN_BUTTON:
      w.inner("button", true), device(o, t.device);
      if (t.number >= 0) w.inner("number", false), number(o, t.number);
      break;
    case WHEN_STATE:
      w.inner("state", true), o += '{';
      w.inner("device", true), device(o, t.device);
      w.inner("to", false), level(w, t.to);
      o += '}';
      break;
    case WHEN_TEMPERATURE:
      w.inner("temperature", true), o += '{';
      w.inner("device", true), device(o, t.device);
      w.inner(t.rising ? "above" : "below", false), number(o, t.limit);
      w.inner("hysteresis", false), number(o, t.hysteresis);
      o += '}';
      break;
    case WHEN_TIME:
      w.inner("time", true), o += '{';
      w.inner("at", true), clock(o, t.at);
      w.inner("days", false), days(o, t.days);
      o += '}';
      break;
    case WHEN_START:
      w.inner("start", true), o += "true";
      break;
    case WHEN_UNREACHABLE:
      w.inner("unreachable", true), device(o, t.device);
      break;
    case WHEN_HUB:
      w.inner("hub", true), o += t.online ? "\"online\"" : "\"offline\"";
      break;
  }
  o += '}';
}

void condition(writer &w, const rule_if &f) {
  std::string &o = w.o;
  o += '{';
  switch (f.kind) {
    case IF_TIME:
      w.inner("time", true), o += '{';
      if (f.has_after) w.inner("after", true), clock(o, f.after);
      if (f.has_before) w.inner("before", !f.has_after), clock(o, f.before);
      o += '}';
      break;
    case IF_DAYS:
      w.inner("days", true), days(o, f.days);
      break;
    case IF_STATE:
      w.inner("state", true), o += '{';
      w.inner("device", true), device(o, f.device);
      w.inner("is", false), level(w, f.is);
      o += '}';
      break;
    case IF_TEMPERATURE:
      w.inner("temperature", true), o += '{';
      w.inner("device", true), device(o, f.device);
      if (f.has_above) w.inner("above", false), number(o, f.above);
      if (f.has_below) w.inner("below", false), number(o, f.below);
      o += '}';
      break;
    case IF_SUN:
      w.inner("sun", true), o += f.up ? "\"up\"" : "\"down\"";
      break;
    case IF_HUB:
      w.inner("hub", true), o += f.online ? "\"online\"" : "\"offline\"";
      break;
  }
  o += '}';
}

void action(writer &w, const rule_then &a) {
  static const char *const names[] = {"send", "delay", "event"};
  w.o += '{';
  w.inner(names[a.kind], true);
  if (a.kind == THEN_DELAY)
    number(w.o, a.seconds);
  else
    rule_json_string(w.o, a.text);
  w.o += '}';
}

// A list member: entries on their own lines when pretty, "[]" when empty.
template <typename T>
void list(writer &w, const char *name, const T *items, int n, void (*one)(writer &, const T &)) {
  w.key(name, false);
  w.o += '[';
  for (int i = 0; i < n; i++) {
    if (i) w.o += ',';
    if (w.pretty) w.o += '\n' + std::string(w.indent + 4, ' ');
    one(w, items[i]);
  }
  if (w.pretty && n) w.o += '\n' + std::string(w.indent + 2, ' ');
  w.o += ']';
}

}  // namespace

void rule_json_string(std::string &out, const char *text) {
  out += '"';
  for (const unsigned char *p = (const unsigned char *)text; *p; p++) {
    unsigned char ch = *p;
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += (char)ch;
    } else if (ch == '\n') {
      out += "\\n";
    } else if (ch < 0x20 || ch == 0x7f) {
      char esc[8];
      snprintf(esc, sizeof esc, "\\u%04x", ch);
      out += esc;
    } else if (ch < 0x80) {
      out += (char)ch;
    } else {
      // A whole UTF-8 sequence passes; a stray byte (a text cut short) is
      // written as its Latin-1 code point, so the output stays valid JSON.
      size_t n = ch >= 0xC2 && ch <= 0xDF ? 2 : ch >= 0xE0 && ch <= 0xEF ? 3 : ch >= 0xF0 && ch <= 0xF4 ? 4 : 0;
      for (size_t i = 1; i < n; i++)
        if ((p[i] & 0xC0) != 0x80) n = 0;
      if (n) {
        out.append((const char *)p, n);
        p += n - 1;
      } else {
        char esc[8];
        snprintf(esc, sizeof esc, "\\u%04x", ch);
        out += esc;
      }
    }
  }
  out += '"';
}

void rule_clock_text(std::string &out, const rule_clock &c) {
  char buf[24];
  int32_t off = c.offset < 0 ? -c.offset : c.offset;
  if (c.base == CLOCK_AT) {
    snprintf(buf, sizeof buf, "%02d:%02d", (int)(off / 3600), (int)(off / 60 % 60));
  } else {
    const char *name = c.base == CLOCK_SUNRISE ? "sunrise" : "sunset";
    if (c.offset == 0)
      snprintf(buf, sizeof buf, "%s", name);
    else
      snprintf(buf, sizeof buf, "%s%c%02d:%02d", name, c.offset < 0 ? '-' : '+', (int)(off / 3600), (int)(off / 60 % 60));
  }
  out += buf;
}

void rule_json(std::string &out, const rule &r, int indent) {
  writer w{out, indent >= 0, indent < 0 ? 0 : indent};
  out += '{';
  w.key("id", true), rule_json_string(out, r.id);
  if (r.name[0]) w.key("name", false), rule_json_string(out, r.name);
  w.key("enabled", false), out += r.enabled ? "true" : "false";
  list(w, "when", r.when, r.n_when, trigger);
  list(w, "if", r.cond, r.n_if, condition);
  list(w, "then", r.then, r.n_then, action);
  static const char *const modes[] = {"\"single\"", "\"restart\"", "\"queued\""};
  w.key("mode", false), out += modes[r.mode];
  if (w.pretty) out += '\n' + std::string(w.indent, ' ');
  out += '}';
}
