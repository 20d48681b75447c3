// Device registry: the loader's line rules, the edit rebuild and its
// refusals, the lookups, the state cache and the JSON listing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "decode/event.h"
#include "devices/device_list.h"
#include "net/socket.h"
#include "radio/transmit.h"

namespace {

std::string g_sent;  // everything the code under test sent
bool capture(uint32_t, const void *data, size_t len) {
  g_sent.append((const char *)data, len);
  return true;
}

// Parses a JSON array of flat objects with string members, strictly (raw
// control characters, bad escapes and bad UTF-8 fail). Empty on failure.
struct Json {
  const std::string &s;
  size_t p = 0;
  bool ok = true;
  bool eat(char c) { return p < s.size() && s[p] == c ? (++p, true) : (ok = false); }
  static void put_utf8(std::string &o, unsigned cp) {
    if (cp < 0x80) { o += (char)cp; return; }
    if (cp < 0x800) { o += (char)(0xC0 | cp >> 6); o += (char)(0x80 | (cp & 0x3F)); return; }
    o += (char)(0xE0 | cp >> 12); o += (char)(0x80 | (cp >> 6 & 0x3F)); o += (char)(0x80 | (cp & 0x3F));
  }
  std::string str() {
    std::string o;
    if (!eat('"')) return o;
    while (ok && p < s.size() && s[p] != '"') {
      unsigned char c = (unsigned char)s[p++];
      if (c < 0x20) { ok = false; break; }
      if (c >= 0x80) {
        size_t n = c >= 0xF0 ? (c <= 0xF4 ? 3 : 9) : c >= 0xE0 ? 2 : c >= 0xC2 ? 1 : 9;
        if (n == 9 || p + n > s.size()) { ok = false; break; }
        o += (char)c;
        for (size_t i = 0; i < n; i++, p++) {
          if (((unsigned char)s[p] & 0xC0) != 0x80) ok = false;
          o += s[p];
        }
      } else if (c == '\\') {
        if (p >= s.size()) { ok = false; break; }
        char e = s[p++];
        const char *simple = "\"\"\\\\//b\bf\fn\nr\rt\t";
        const char *hit = nullptr;
        for (const char *q = simple; *q; q += 2) if (*q == e) hit = q;
        if (hit) { o += hit[1]; continue; }
        if (e != 'u' || p + 4 > s.size()) { ok = false; break; }
        unsigned cp = (unsigned)std::stoul(s.substr(p, 4), nullptr, 16);
        p += 4;
        put_utf8(o, cp);
      } else {
        o += (char)c;
      }
    }
    eat('"');
    return o;
  }
  std::vector<std::map<std::string, std::string>> array() {
    std::vector<std::map<std::string, std::string>> v;
    eat('[');
    if (ok && p < s.size() && s[p] == ']') { p++; return v; }
    do {
      std::map<std::string, std::string> obj;
      eat('{');
      do {
        std::string k = str();
        eat(':');
        obj[k] = str();
      } while (ok && p < s.size() && s[p] == ',' && ++p);
      eat('}');
      v.push_back(obj);
    } while (ok && p < s.size() && s[p] == ',' && ++p);
    eat(']');
    if (p != s.size()) ok = false;
    return ok ? v : decltype(v){};
  }
};

std::string file_read(const char *path = "devices") {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}
void file_put(const std::string &text) { std::ofstream("devices", std::ios::binary) << text; }

// A received packet: length byte 8 + data, command, data, signal byte.
std::vector<uint8_t> packet(uint8_t cmd, std::vector<uint8_t> data, uint8_t signal = 0xC4) {
  std::vector<uint8_t> p(65, 0);
  p[0] = 1;
  p[1] = (uint8_t)(8 + data.size());
  p[7] = cmd;
  for (size_t i = 0; i < data.size(); i++) p[8 + i] = data[i];
  p[8 + data.size()] = signal;
  return p;
}

class Devices : public ::testing::Test {
 protected:
  std::string old_dir, dir;
  void SetUp() override {
    old_dir = std::filesystem::current_path();
    char tmpl[] = "/tmp/orvel_devices_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    ASSERT_EQ(chdir(dir.c_str()), 0);
    device_list_reset();
    g_sent.clear();
    soc_send_hook = capture;
    g_last_set_level = LEVEL_NONE;
    strcpy(g_rssi, "87%");
  }
  void TearDown() override {
    soc_send_hook = nullptr;
    ASSERT_EQ(chdir(old_dir.c_str()), 0);
    std::filesystem::remove_all(dir);
  }
  // The body of the captured reply (after the header).
  static std::string body() {
    size_t h = g_sent.find("\r\n\r\n");
    return h == std::string::npos ? "<no header>" : g_sent.substr(h + 4);
  }
  // Sends one edit whose route is followed by `tail`, in a buffer of exact size.
  static std::string edit(const std::string &route, const std::string &tail) {
    g_sent.clear();
    std::string req = route + tail;
    std::vector<char> buf(req.begin(), req.end());
    buf.push_back(0);
    device_list_http(5, buf.data());
    return body();
  }
  static void cache_from(const char *id, const char *data_text) {
    strcpy(g_last_id_str, id);
    snprintf(g_data, sizeof g_data, "%s", data_text);
  }
};

std::vector<std::string> table_rows() {
  std::vector<std::string> v;
  for (int i = 0; i < DEV_MAX && dev_list[i].id[0]; i++)
    v.push_back(std::string(dev_list[i].id) + "/" + dev_list[i].type + "/" + dev_list[i].name);
  return v;
}

TEST_F(Devices, LoaderLineRules) {
  const std::string x51(51, 'x'), n40 = "0123456789012345678901234567890123456789";
  struct Row { const char *name; std::string file; std::vector<std::string> want; } rows[] = {
      {"valid", "@0a1b2c/rel/Kitchen light\n", {"0a1b2c/rel/Kitchen light"}},
      {"capitals", "@0A1B2C/rel/x\n", {}},
      {"blank, note, short", "\n# hall\n@0a1b2c/rel\n", {}},
      {"empty name with LF", "@0a1b2c/rel/\n", {"0a1b2c/rel/"}},
      {"12 chars without LF", "@0a1b2c/rel/", {}},
      {"13 chars without LF", "@0a1b2c/rel/x", {"0a1b2c/rel/x"}},
      {"CRLF", "@0a1b2c/dim/Lamp\r\n", {"0a1b2c/dim/Lamp"}},
      {"separators", "@0a1b2c-rel/x\n@0a1b2c/rel-x\n#0a1b2c/rel/x\n@0a1b2/rel/xx\n", {}},
      {"type as it is", "@0a1b2c/R%x/n\n", {"0a1b2c/R%x/n"}},
      {"40-char name cut", "@0a1b2c/rel/" + n40 + "\n", {"0a1b2c/rel/" + n40.substr(0, 31)}},
      {"duplicate ids", "@0a1b2c/rel/A\n@0a1b2c/rel/B\n", {"0a1b2c/rel/A", "0a1b2c/rel/B"}},
      {"tail of a long line is no line", "@0a1b2c/rel/" + x51 + "@0d0e0f/rel/tail\n@0d0e0f/dim/ok\n",
       {"0a1b2c/rel/" + x51.substr(0, 31), "0d0e0f/dim/ok"}},
      {"cut keeps UTF-8 whole", "@0a1b2c/rel/" + std::string(30, 'a') + "\xc3\xa9z\n",
       {"0a1b2c/rel/" + std::string(30, 'a')}},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.name);
    device_list_reset();
    file_put(r.file);
    EXPECT_EQ(device_list_load(), (int)r.want.size());
    EXPECT_EQ(table_rows(), r.want);
  }
}

TEST_F(Devices, LoaderKeeps200AndTableWhenFileMissing) {
  std::string text;
  char line[32];
  for (int i = 0; i < 250; i++) {
    snprintf(line, sizeof line, "@%06x/rel/n%d\n", 0x100000 + i, i);
    text += line;
  }
  file_put(text);
  ASSERT_EQ(device_list_load(), 200);
  EXPECT_STREQ(dev_list[199].id, "1000c7");
  EXPECT_EQ(dev_list[200].id[0], 0);
  std::filesystem::remove("devices");
  EXPECT_EQ(device_list_load(), 0);
  EXPECT_STREQ(dev_list[0].id, "100000");
  EXPECT_EQ(table_rows().size(), 200u);
}

TEST(DeviceFileRebuild, Edits) {
  const std::string line = "@0a1b2c/rel/New";
  struct Row { const char *name; std::string file; char del; int want; std::string out; } rows[] = {
      {"replace in place, notes kept", "# hall\n\n@0a1b2c/rel/Old\n@0d0e0f/dim/X\n", 0, 1,
       "# hall\n\n@0a1b2c/rel/New\n@0d0e0f/dim/X\n"},
      {"replace CRLF line", "@0a1b2c/rel/Old\r\nnote\n", 0, 1, "@0a1b2c/rel/New\nnote\n"},
      {"replace last line without LF", "@0a1b2c/rel/Old", 0, 1, "@0a1b2c/rel/New\n"},
      {"replace every duplicate", "@0a1b2c/rel/A\n@0a1b2c/rel/B\n", 0, 1, "@0a1b2c/rel/New\n@0a1b2c/rel/New\n"},
      {"append", "@0d0e0f/dim/X\n", 0, 0, "@0d0e0f/dim/X\n@0a1b2c/rel/New\n"},
      {"append after missing LF", "@0d0e0f/dim/X", 0, 0, "@0d0e0f/dim/X\n@0a1b2c/rel/New\n"},
      {"append to empty", "", 0, 0, "@0a1b2c/rel/New\n"},
      {"note with the id is no device", "@0a1b2c is the hall\n", 0, 0, "@0a1b2c is the hall\n@0a1b2c/rel/New\n"},
      {"delete every match", "@0a1b2c/rel/A\n\nx\n@0a1b2c/rel/B", 1, 1, "\nx\n"},
      {"delete keeps the note", "@0a1b2c is the hall\n@0a1b2c/rel/A\n", 1, 1, "@0a1b2c is the hall\n"},
      {"delete absent", "@0d0e0f/dim/X\n", 1, 0, "@0d0e0f/dim/X\n"},
  };
  static char out[DEV_FILE_CAP];
  for (const Row &r : rows) {
    SCOPED_TRACE(r.name);
    size_t n = 99;
    EXPECT_EQ(device_file_rebuild(out, sizeof out, &n, r.file.data(), r.file.size(), line.data(),
                                  r.del ? 7 : line.size(), r.del), r.want);
    EXPECT_EQ(std::string(out, n), r.out);
  }
}

TEST(DeviceFileRebuild, StaysBelowCapacity) {
  // The appended line with its LF is 16 characters; 4095 is the most a file may hold.
  struct Row { const char *name; std::string file; int want; } rows[] = {
      {"ends at 4095", std::string(4078, '#') + "\n", 0},
      {"would reach 4096", std::string(4079, '#') + "\n", -1},
      {"added LF reaches 4096", std::string(4080, '#'), -1},
      {"replacement grows past", "@0a1b2c/rel/\n" + std::string(4081, '#'), -1},
  };
  static char out[DEV_FILE_CAP];
  const std::string line = "@0a1b2c/rel/New";
  for (const Row &r : rows) {
    SCOPED_TRACE(r.name);
    size_t n = 0;
    EXPECT_EQ(device_file_rebuild(out, sizeof out, &n, r.file.data(), r.file.size(), line.data(), line.size(), 0),
              r.want);
    if (r.want >= 0) {
      EXPECT_EQ(n, r.file.size() + line.size() + 1);
    }
  }
}

TEST_F(Devices, HttpEditsAndRefusals) {
  const std::string http = " HTTP/1.1\r\nHost: gw\r\n\r\n";
  const std::string two = "@0a1b2c/rel/Old\n@0d0e0f/dim/X\n";
  const std::string n50(50, 'n'), big = std::string(4079, '#') + "\n";
  struct Row {
    const char *name;
    const char *file;  // nullptr: no file
    std::string route, tail, reply, after;
    const char *loaded;  // name the device 0a1b2c loads with, or nullptr
  } rows[] = {
      {"add creates file", nullptr, "&device/@0a1b2c/rel/Kitchen%20light", http, "DEVICE ADD",
       "@0a1b2c/rel/Kitchen light\n", "Kitchen light"},
      {"plus is a blank", "", "&device/@0a1b2c/rel/a+b", "", "DEVICE ADD", "@0a1b2c/rel/a b\n", "a b"},
      {"edit in place", two.c_str(), "&device/@0a1b2c/rel/New", http, "DEVICE EDIT",
       "@0a1b2c/rel/New\n@0d0e0f/dim/X\n", "New"},
      {"append never joins", "@0d0e0f/dim/X", "&device/@0a1b2c/dim/N", http, "DEVICE ADD",
       "@0d0e0f/dim/X\n@0a1b2c/dim/N\n", "N"},
      {"62 chars kept, 31 loaded", "", "&device/@0a1b2c/rel/" + n50, http, "DEVICE ADD",
       "@0a1b2c/rel/" + n50 + "\n", "nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn"},
      {"delete", two.c_str(), "&device/@0a1b2c-", http, "DEVICE DELETE", "@0d0e0f/dim/X\n", nullptr},
      {"delete last leaves empty", "@0a1b2c/rel/Old\n", "&device/@0a1b2c-", "", "DEVICE DELETE", "", nullptr},
      {"delete absent", "@0d0e0f/dim/X\n", "&device/@0a1b2c-", http, "ERROR", "@0d0e0f/dim/X\n", nullptr},
      {"capitals", two.c_str(), "&device/@0A1B2C/rel/x", http, "ERROR", two, nullptr},
      {"two-char type", two.c_str(), "&device/@0a1b2c/ab/x", http, "ERROR", two, nullptr},
      {"63 chars", two.c_str(), "&device/@0a1b2c/rel/" + n50 + "n", http, "ERROR", two, nullptr},
      {"encoded LF", two.c_str(), "&device/@0a1b2c/rel/a%0A@0e0e0e/rel/evil", http, "ERROR", two, nullptr},
      {"encoded CR", two.c_str(), "&device/@0a1b2c/rel/a%0D", http, "ERROR", two, nullptr},
      {"encoded NUL", two.c_str(), "&device/@0a1b2c/rel/a%00b", http, "ERROR", two, nullptr},
      {"encoded 0x01", two.c_str(), "&device/@0a1b2c/rel/a%01", http, "ERROR", two, nullptr},
      {"encoded DEL", two.c_str(), "&device/@0a1b2c/rel/a%7F", http, "ERROR", two, nullptr},
      {"raw CRLF after the name", two.c_str(), "&device/@0a1b2c/rel/a", "\r\n\r\n", "ERROR", two, nullptr},
      {"encoded slash shifts the type", two.c_str(), "&device/@0a1b2c/%2F/x", http, "ERROR", two, nullptr},
      {"file would reach 4096", big.c_str(), "&device/@0a1b2c/rel/New", http, "ERROR", big, nullptr},
      {"ends after the type", two.c_str(), "&device/@0a1b2c/re", "", "ERROR", two, nullptr},
      {"ends after the id", two.c_str(), "&device/@0a1b2c", "", "ERROR", two, nullptr},
      {"ends inside the id", two.c_str(), "&device/@0a1b", "", "ERROR", two, nullptr},
      {"no operation", two.c_str(), "&device/@0a1b2c+", http, "ERROR", two, nullptr},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.name);
    std::filesystem::remove("devices");
    if (r.file) file_put(r.file);
    EXPECT_EQ(edit(r.route, r.tail), r.reply);
    EXPECT_EQ(file_read(), r.after);
    EXPECT_FALSE(std::filesystem::exists("devices.tmp"));
    device_list_reset();
    device_list_load();
    if (r.loaded) {
      int i = device_list_find("0a1b2c");
      ASSERT_GE(i, 0);
      EXPECT_STREQ(dev_list[i].name, r.loaded);
    }
  }
}

TEST_F(Devices, FindAndMask) {
  file_put("@0a1b21/rel/a\n@0a1b22/rel/b\n@0d0e0f/dim/c\n@0a1b21/rel/d\n");
  ASSERT_EQ(device_list_load(), 4);
  struct Row { const char *id; int find, mask; } rows[] = {
      {"0a1b2f", -1, 0}, {"0a1b22", 1, 0}, {"0a1b21", 0, 0}, {"0d0e0f", 2, 2},
      {"0a1b21 and more", 0, 0}, {"0d0e0", -1, 2}, {"0d0e", -1, -1}, {"", -1, -1}, {"ffffff", -1, -1},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.id);
    EXPECT_EQ(device_list_find(r.id), r.find);
    EXPECT_EQ(device_list_find_mask(r.id), r.mask);
  }
}

TEST_F(Devices, CacheMultiChannelReports) {
  struct Row {
    const char *name, *from;
    uint8_t cmd;
    std::vector<uint8_t> data;
    std::vector<const char *> vals;  // 0a1b21, 0a1b22, 0a1b23 and 0d0e0f, as listed below
    int channels;                    // listed channels the report names
  } rows[] = {
      {"four relays 0xA0", "0a1b22", 0x82, {0x94, 0x01, 0xA0}, {"ON", "OFF", "ON", "was"}, 3},
      {"four relays by level ack", "0a1b23", 0x87, {0x94, 0x01, 0x50}, {"OFF", "ON", "OFF", "was"}, 3},
      {"two-channel dimmer", "0a1b21", 0x82, {0x82, 0x05, 0x00, 0x7d}, {"100%", "0%", "was", "was"}, 2},
      {"report too short for a state", "0a1b21", 0x82, {0x94, 0x01}, {"was", "was", "was", "was"}, 3},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.name);
    file_put("@0a1b21/rel/1\n@0a1b22/rel/2\n@0a1b23/rel/3\n@0d0e0f/rel/other\n");
    device_list_reset();
    ASSERT_EQ(device_list_load(), 4);
    for (int i = 0; i < 4; i++) strcpy(dev_list[i].val, "was");
    cache_from(r.from, "ignored");
    unsigned long before = (unsigned long)time(nullptr);
    auto p = packet(r.cmd, r.data);
    EXPECT_EQ(device_list_cache(p.data()), 0);
    unsigned long after = (unsigned long)time(nullptr);
    for (int i = 0; i < 4; i++) EXPECT_STREQ(dev_list[i].val, r.vals[i]) << "record " << i;
    unsigned long t = std::stoul(dev_list[0].time);
    EXPECT_TRUE(t >= before && t <= after);
    for (int i = 0; i < 4; i++) {
      bool named = i < r.channels;
      EXPECT_STREQ(dev_list[i].time, named ? dev_list[0].time : "") << "record " << i;
      EXPECT_STREQ(dev_list[i].rssi, named ? "87%" : "") << "record " << i;
    }
  }
}

TEST_F(Devices, CacheSingleDevice) {
  const std::string hex40(40, 'a');
  struct Row {
    const char *name, *type, *from;
    uint8_t cmd;
    std::vector<uint8_t> data;
    uint8_t level, signal;
    std::string data_text;
    int want;
    const char *val;
  } rows[] = {
      {"relay ack level 0", "rel", "0a1b2c", 0x87, {}, 0, 0xC4, "", 1, "OFF"},
      {"relay ack level 40", "rel", "0a1b2c", 0x87, {}, 40, 0xC4, "", 1, "ON"},
      {"dimmer ack level 40", "dim", "0a1b2c", 0x87, {}, 40, 0xC4, "", 1, "40%"},
      {"ack with no level known", "dim", "0a1b2c", 0x87, {}, LEVEL_NONE, 0xC4, "", -1, "was"},
      {"ack whose signal byte looks like a kind", "rel", "0a1b2c", 0x87, {}, 0, 0x94, "", 1, "OFF"},
      {"ack with data", "dim", "0a1b2c", 0x87, {0x81, 0x0c, 0x3e}, 7, 0xC4, "50%,RX1DIM,V12", 1, "50%"},
      {"status", "dim", "0a1b2c", 0x82, {0x81, 0x0c, 0x3e}, LEVEL_NONE, 0xC4, "57%,RX1DIM,V12", 1, "57%"},
      {"temperature", "tmp", "0a1b2c", 0x10, {0x15, 0x80}, LEVEL_NONE, 0xC4, "21.5C", 1, "21.5C"},
      {"long text cut", "dim", "0a1b2c", 0x82, {0x83, 1, 2}, LEVEL_NONE, 0xC4, hex40, 1,
       "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"},
      {"other command", "rel", "0a1b2c", 0x81, {0x91, 1, 0x80}, LEVEL_NONE, 0xC4, "ON,RX1REL,V1", -1, "was"},
      {"unlisted", "rel", "0a1b2d", 0x82, {0x91, 1, 0x80}, LEVEL_NONE, 0xC4, "ON,RX1REL,V1", -1, "was"},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.name);
    file_put(std::string("@0d0e0f/rel/first\n@0a1b2c/") + r.type + "/dev\n");
    device_list_reset();
    ASSERT_EQ(device_list_load(), 2);
    strcpy(dev_list[1].val, "was");
    g_last_set_level = r.level;
    cache_from(r.from, r.data_text.c_str());
    auto p = packet(r.cmd, r.data, r.signal);
    EXPECT_EQ(device_list_cache(p.data()), r.want);
    EXPECT_STREQ(dev_list[1].val, r.val);
    EXPECT_STREQ(dev_list[1].rssi, r.want < 0 ? "" : "87%");
    EXPECT_EQ(dev_list[1].time[0] != 0, r.want >= 0);
    EXPECT_STREQ(dev_list[0].val, "");
  }
  device_list_reset();
  cache_from("0a1b2c", "57%,RX1DIM,V12");
  auto p = packet(0x82, {0x81, 0x0c, 0x3e});
  EXPECT_EQ(device_list_cache(p.data()), -1) << "empty list";
}

TEST_F(Devices, CachedStateFollowsDevice) {
  file_put("@0a0a0a/rel/A\n@0b0b0b/rel/B\n@0c0c0c/dim/C\n");
  ASSERT_EQ(device_list_load(), 3);
  const char *ids[] = {"0b0b0b", "0c0c0c"}, *texts[] = {"ON,RX1REL,V1", "30%,RX1DIM,V2"};
  for (int k = 0; k < 2; k++) {
    cache_from(ids[k], texts[k]);
    auto p = packet(0x82, {0x91, 1, 0x80});
    ASSERT_EQ(device_list_cache(p.data()), k + 1);
  }
  char del[] = "@0a0a0a-";
  ASSERT_EQ(device_list_save(del, 1), 1);
  ASSERT_EQ(device_list_load(), 2);
  EXPECT_STREQ(dev_list[0].val, "ON");
  EXPECT_STREQ(dev_list[1].val, "30%");
  char add[] = "@0d0d0d/rel/D";
  ASSERT_EQ(device_list_save(add, 0), 0);
  ASSERT_EQ(device_list_load(), 3);
  EXPECT_STREQ(dev_list[0].val, "ON");
  EXPECT_STREQ(dev_list[1].val, "30%");
  EXPECT_STREQ(dev_list[2].id, "0d0d0d");
  EXPECT_STREQ(dev_list[2].val, "") << "took the state of the record's former device";
  EXPECT_STREQ(dev_list[2].time, "");
  EXPECT_STREQ(dev_list[2].rssi, "");
}

TEST_F(Devices, ListingIsValidJson) {
  device_list_get(3);
  EXPECT_EQ(body(), "[]");
  EXPECT_NE(g_sent.find("Content-type: application/json"), std::string::npos);

  std::string ctl31(31, '\x01');
  file_put("@0a1b2c/rel/Kitchen\n@0a1b2d/r\"\\/q\"uo\\te\tx\n@0a1b2e/dim/" + ctl31 +
           "\n@0a1b2f/dim/caf\xc3\xa9 \xff\n");
  ASSERT_EQ(device_list_load(), 4);
  memset(dev_list[2].val, '"', 31);
  strcpy(dev_list[2].time, "123456789012345");
  strcpy(dev_list[2].rssi, "\\\\\\\\");
  g_sent.clear();
  device_list_get(3);
  std::string b = body();
  EXPECT_EQ(b.rfind("[{\"id\":\"@0a1b2c\",\"name\":\"Kitchen\",\"type\":\"rel\",\"val\":\"\",\"time\":\"\","
                    "\"rssi\":\"\"},{", 0), 0u) << b;
  Json j{b};
  auto list = j.array();
  ASSERT_TRUE(j.ok) << b;
  ASSERT_EQ(list.size(), 4u);
  for (int i = 0; i < 3; i++) {
    SCOPED_TRACE(dev_list[i].id);
    EXPECT_EQ(list[i]["id"], std::string("@") + dev_list[i].id);
    EXPECT_EQ(list[i]["name"], dev_list[i].name);
    EXPECT_EQ(list[i]["type"], dev_list[i].type);
    EXPECT_EQ(list[i]["val"], dev_list[i].val);
    EXPECT_EQ(list[i]["time"], dev_list[i].time);
    EXPECT_EQ(list[i]["rssi"], dev_list[i].rssi);
  }
  EXPECT_EQ(list[3]["name"], "caf\xc3\xa9 \xc3\xbf") << "a stray byte is listed as its Latin-1 character";

  std::string text;
  char line[32];
  for (int i = 0; i < 200; i++) {
    snprintf(line, sizeof line, "@%06x/rel/n%d\n", 0x200000 + i, i);
    text += line;
  }
  file_put(text);
  ASSERT_EQ(device_list_load(), 200);
  g_sent.clear();
  device_list_get(3);
  Json full{body()};
  auto all = full.array();
  ASSERT_TRUE(full.ok);
  ASSERT_EQ(all.size(), 200u);
  EXPECT_EQ(all[199]["id"], "@2000c7");
}

}  // namespace
