// Strict JSON check for tests: Python's json module reads the text (RFC 8259:
// valid UTF-8, no bare control characters, no NaN or Infinity, no lone
// surrogate) and hands back each object in it, the text itself or each
// element of a top-level array, as its members in order; a member that is not
// a string keeps its JSON text. Header-only; unit and end-to-end tests
// include it by relative path. python3 comes with the test dependencies.
#pragma once
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace json_check {

struct Object {
  std::vector<std::pair<std::string, std::string>> members;
  std::string str(const std::string &key) const {
    for (const auto &m : members)
      if (m.first == key) return m.second;
    return "<missing " + key + ">";
  }
};

// Written back: '[' or '{', then each object ended by 0x1d, its members
// separated by 0x1e, a key from its value by 0x1f.
inline const char SCRIPT[] = R"(import json, sys
def refuse(word): raise ValueError(word)
v = json.loads(sys.stdin.buffer.read().decode('utf-8'), parse_constant=refuse)
text = lambda x: x if isinstance(x, str) else json.dumps(x, ensure_ascii=False)
objects = v if isinstance(v, list) else [v]
if not all(isinstance(o, dict) for o in objects): refuse('not an object')
out = ''.join('\x1e'.join(k + '\x1f' + text(x) for k, x in o.items()) + '\x1d' for o in objects)
sys.stdout.buffer.write(('[' if isinstance(v, list) else '{').encode() + out.encode())
)";

// False when `text` is not one valid JSON text of the `kind` asked for: '{' an
// object, '[' an array of objects.
inline bool parse(const std::string &text, char kind, std::vector<Object> *out) {
  char path[] = "/tmp/json_check.XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return false;
  const bool written = write(fd, text.data(), text.size()) == (ssize_t)text.size();
  close(fd);
  setenv("JSON_CHECK_PY", SCRIPT, 1);  // the shell hands it over untouched
  FILE *p = written ? popen(("python3 -c \"$JSON_CHECK_PY\" <" + std::string(path) + " 2>/dev/null").c_str(), "r") : nullptr;
  std::string got;
  for (int c; p && (c = fgetc(p)) != EOF;) got += (char)c;
  const bool ok = p && pclose(p) == 0 && !got.empty() && got[0] == kind;
  unlink(path);
  out->clear();
  for (size_t at = 1; ok && at < got.size();) {  // split the objects, then their members
    size_t end = got.find('\x1d', at);
    out->emplace_back();
    for (size_t m = at; m < end;) {
      size_t next = std::min(got.find('\x1e', m), end), key = got.find('\x1f', m);
      out->back().members.emplace_back(got.substr(m, key - m), got.substr(key + 1, next - key - 1));
      m = next + 1;
    }
    at = end + 1;
  }
  return ok;
}

}  // namespace json_check
