// Shared pieces of the fuzz targets (see fuzz_support.h), and the hidapi
// stand-in the library links against: the targets never touch a device.
#include "fuzz_support.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <vector>


namespace fs = std::filesystem;

namespace fuzz {

// The validator checks itself once: a validator that accepts everything
// would make every JSON property of the targets vacuous.
static void json_self_check() {
  static const struct {
    const char *text;
    bool ok;
  } rows[] = {
      {"{\"id\":\"@0a1b2c\",\"cmd\":\"STATUS\",\"data\":\"\",\"rssi\":\"86%\"}", true},
      {"[]", true},
      {" [1,-2.5e+3,true,false,null,{\"a\":[]}] ", true},
      {"\"\\u00e9\\n\xc3\xa9\"", true},
      {"{\"a\":\"b\"", false},
      {"{\"a\":\"b\"}}", false},
      {"[1,]", false},
      {"{\"a\" \"b\"}", false},
      {"\"tab\tin\"", false},
      {"\"\\x\"", false},
      {"\"\xc0\xaf\"", false},   // overlong
      {"\"\xed\xa0\x80\"", false},  // surrogate
      {"\"\xff\"", false},
      {"01", false},
      {"", false},
      {"[\"a\"]x", false},
  };
  for (const auto &r : rows)
    if (json_valid(r.text, strlen(r.text)) != r.ok) fail("JSON validator self-check", r.text);
}

// ------------------------------------------------------------------ failures

void fail(const char *what, const std::string &detail) {
  fprintf(stderr, "\n*** PROPERTY FAILED: %s\n", what);
  if (!detail.empty()) {
    fprintf(stderr, "    bytes: \"");
    for (unsigned char c : detail) {
      if (c >= 0x20 && c < 0x7f && c != '\\' && c != '"')
        fputc(c, stderr);
      else
        fprintf(stderr, "\\x%02x", c);
    }
    fprintf(stderr, "\"\n");
  }
  abort();
}

// ------------------------------------------------------------------ scratch

namespace {

std::string g_base;   // owned scratch tree
std::string g_work;   // <base>/a/b/work
std::set<std::string> g_www;  // the files under www at start

const char *const ALLOWED_TOP[] = {"www", "mem", "logs", "home", "devices", "devices.tmp",
                                   "cron", "cron.tmp", "tmp_file", "runs", "rules", "rules.tmp"};

std::set<std::string> tree(const std::string &dir) {
  std::set<std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec))
    out.insert(it->path().string().substr(dir.size() + 1));
  return out;
}

void remove_base() {
  if (g_base.empty()) return;
  std::error_code ec;
  fs::remove_all(g_base, ec);
}

void put(const std::string &rel, const std::string &content) {
  FILE *f = fopen((g_work + "/" + rel).c_str(), "wb");
  if (!f) fail("scratch write", rel);
  fwrite(content.data(), 1, content.size(), f);
  fclose(f);
}

}  // namespace

void scratch_enter(const char *target) {
  json_self_check();
  const char *env = getenv("ORVEL_FUZZ_SCRATCH");
  std::string parent = env && *env ? env : (fs::is_directory("/dev/shm") ? "/dev/shm" : "/tmp");
  std::string tmpl = parent + "/orvel-fuzz-" + target + "-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back(0);
  if (!mkdtemp(buf.data())) fail("mkdtemp", tmpl);
  g_base = buf.data();
  atexit(remove_base);
  g_work = g_base + "/a/b/work";
  fs::create_directories(g_work + "/www/sub");
  fs::create_directories(g_work + "/www/.hidden");
  fs::create_directories(g_work + "/mem");
  fs::create_directories(g_work + "/logs");
  put("www/index.html", "<html><body>orvel</body></html>\n");
  put("www/app.js", "var a = 1;\n");
  put("www/style.css", "body { color: #123; }\n");
  put("www/data.bin", std::string(1500, 'x'));
  put("www/sub/index.html", "<p>sub</p>\n");
  put("www/.hidden/secret", "secret\n");
  put("www/.env", "KEY=1\n");
  put("mem/stored", "42");
  if (chdir(g_work.c_str()) != 0) fail("chdir", g_work);
  g_www = tree(g_work + "/www");
  // The gateway prints progress and debug text on standard output.
  if (!freopen("/dev/null", "w", stdout)) fail("stdout");
}

void scratch_check_and_clean() {
  std::set<std::string> base = tree(g_base);
  for (const std::string &p : base) {
    if (p == "a" || p == "a/b" || p == "a/b/work" || p.rfind("a/b/work/", 0) == 0) continue;
    fail("a file was created outside the working directory", p);
  }
  std::error_code ec;
  for (const auto &e : fs::directory_iterator(g_work, ec)) {
    std::string name = e.path().filename().string();
    bool ok = false;
    for (const char *a : ALLOWED_TOP) ok = ok || name == a;
    if (!ok) fail("unexpected file in the working directory", name);
  }
  if (tree(g_work + "/www") != g_www) fail("www was changed");
  for (const auto &e : fs::directory_iterator(g_work + "/mem", ec)) {
    std::string name = e.path().filename().string();
    if (!e.is_regular_file()) fail("mem holds something other than a file", name);
    if (name.empty() || name.size() > 15 || name == "." || name == "..") fail("bad stored name", name);
    for (char c : name)
      if (!(c == '.' || isalnum((unsigned char)c))) fail("bad stored name", name);
  }
  for (const char *dir : {"mem", "logs"})
    for (const auto &e : fs::directory_iterator(g_work + "/" + dir, ec)) fs::remove_all(e.path(), ec);
  fs::remove_all(g_work + "/home", ec);
  for (const char *f : {"devices", "devices.tmp", "cron", "cron.tmp", "tmp_file", "runs", "rules", "rules.tmp"})
    unlink((g_work + "/" + f).c_str());
  put("mem/stored", "42");
}

int64_t now_ms = 0;
int64_t clock_ms() { return now_ms; }

}  // namespace fuzz
