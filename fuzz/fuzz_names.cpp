// Fuzz target: the name and text rules of requests: url_decode, the static
// file name, the value store's key and route, the log route and the upload
// request head.
//
// Input: one request text (the part after "GET " for the routes, the whole
// message for the upload).
//
// Properties:
//   - url_decode never grows the text, returns the decoded length and
//     terminates it there;
//   - an accepted static file name is "www" followed by a path that starts
//     with '/', has no segment beginning with '.' (so no "." or ".." and no
//     hidden file), no backslash, and fits its 142-byte buffer;
//   - a store key is 1..15 characters of '.', digits and letters, never "."
//     or "..", and a route's value offset points inside the text;
//   - a log day names "logs/" + 6 digits + ".log"; a log line has at most
//     255 characters and no control character;
//   - an upload names "mem/<key>" and its body offset and length add up to
//     the bytes received, with a positive expected length.
#include <cstring>
#include <string>
#include <vector>

#include "core/text.h"
#include "fuzz_support.h"
#include "net/logview.h"
#include "net/memstore.h"
#include "net/socket.h"
#include "net/static_files.h"
#include "net/upload.h"

namespace {

// A fresh, exactly sized copy: a read or write past it is caught.
std::vector<char> exact(const std::string &s) {
  std::vector<char> v(s.begin(), s.end());
  v.push_back(0);
  return v;
}

bool key_ok(const char *k) {
  size_t n = strlen(k);
  if (n < 1 || n > 15 || !strcmp(k, ".") || !strcmp(k, "..")) return false;
  for (size_t i = 0; i < n; i++)
    if (!valid_char(k[i])) return false;
  return true;
}

void decode_check(const std::string &in) {
  std::vector<char> t = exact(in);
  size_t before = strcspn(t.data(), " ");
  int n = url_decode(t.data());
  if (n < 0 || (size_t)n > before) fuzz::fail("url_decode grew the text", in);
  if (t[n] != 0) fuzz::fail("url_decode did not end the text at its length", in);
}

void static_check(const std::string &in) {
  std::vector<char> t = exact(in);
  char *name = new char[142];
  if (static_file_name(name, t.data())) {
    size_t n = strnlen(name, 142);
    if (n >= 142) fuzz::fail("static name not terminated", in);
    if (strncmp(name, "www/", 4) != 0) fuzz::fail("static name outside www", name);
    if (strchr(name, '\\')) fuzz::fail("static name with a backslash", name);
    for (const char *p = name + 3; *p; p++)
      if (*p == '/' && p[1] == '.') fuzz::fail("static name with a dot segment", name);
  }
  delete[] name;
}

void store_check(const std::string &in) {
  for (const char *prefix : {"&", "_"}) {
    std::string route = prefix + in;
    std::vector<char> t = exact(route);
    mem_route r;
    if (!mem_route_parse(t.data(), &r)) continue;
    if (r.verb != 'g' && r.verb != 's') fuzz::fail("store verb", route);
    if (!key_ok(r.key)) fuzz::fail("store key breaks the rules", r.key);
    if (r.value_off < 0 || (size_t)r.value_off > route.size()) fuzz::fail("store value offset outside", route);
  }
  std::vector<char> t = exact(in);
  char key[MEM_KEY_MAX + 1];
  if (mem_key_parse(t.data(), key) >= 0 && !key_ok(key)) fuzz::fail("mem key breaks the rules", key);
}

void log_check(const std::string &in) {
  std::vector<char> t = exact("&log" + in);
  char *out = new char[LOG_TEXT_SIZE];
  switch (log_req_parse(t.data(), out)) {
    case LOG_REQ_DAY: {
      if (strlen(out) != 15 || strncmp(out, "logs/", 5) != 0 || strcmp(out + 11, ".log") != 0)
        fuzz::fail("log day name", out);
      for (int i = 5; i < 11; i++)
        if (!isnumch(out[i])) fuzz::fail("log day name", out);
      break;
    }
    case LOG_REQ_LINE: {
      size_t n = strnlen(out, LOG_TEXT_SIZE);
      if (n >= (size_t)LOG_TEXT_SIZE) fuzz::fail("log line not terminated");
      for (size_t i = 0; i < n; i++)
        if ((unsigned char)out[i] < 0x20 || out[i] == 0x7f) fuzz::fail("control character in a log line", out);
      break;
    }
    case LOG_REQ_BAD:
      break;
  }
  delete[] out;
}

void upload_check(const std::string &in) {
  std::string msg = "POST /&save/" + in;
  if (msg.size() > (size_t)RX_BUF - 1) msg.resize(RX_BUF - 1);
  std::vector<char> t = exact(msg);
  upload_req r;
  if (!upload_req_parse(t.data(), msg.size(), &r)) return;
  if (strncmp(r.target, "mem/", 4) != 0 || !key_ok(r.target + 4)) fuzz::fail("upload target", r.target);
  if (r.body_off + r.body_len != msg.size() || r.expected <= 0) fuzz::fail("upload sizes", msg);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::scratch_enter("names");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string in((const char *)data, size);
  in = in.substr(0, in.find('\0'));  // requests are texts
  decode_check(in);
  static_check(in);
  store_check(in);
  log_check(in);
  upload_check(in);
  return 0;
}
