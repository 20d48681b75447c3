// Device registry: the loader's line rules, the edit rebuild, the lookups,
// the state cache rules and the JSON listing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
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

void file_put(const std::string &text) { std::ofstream("devices", std::ios::binary) << text; }

// A received packet: length byte 8 + data, command, data, signal byte.
std::vector<uint8_t> packet(uint8_t cmd, std::vector<uint8_t> data, uint8_t signal = 0xC4) {
  std::vector<uint8_t> p(65, 0);
  p[0] = 1, p[1] = (uint8_t)(8 + data.size()), p[7] = cmd;
  std::copy(data.begin(), data.end(), p.begin() + 8);
  p[8 + data.size()] = signal;
  return p;
}

// Each test runs in its own empty directory.
class Devices : public ::testing::Test {
 protected:
  std::string old_dir, dir;
  void SetUp() override {
    old_dir = std::filesystem::current_path();
    char tmpl[] = "/tmp/orvel_devices_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    ASSERT_EQ(chdir(tmpl), 0);
    device_list_reset(), g_sent.clear();
    soc_send_hook = capture, g_last_set_level = LEVEL_NONE;
    strcpy(g_rssi, "87%");
  }
  void TearDown() override {
    soc_send_hook = nullptr;
    ASSERT_EQ(chdir(old_dir.c_str()), 0);
    std::filesystem::remove_all(dir);
  }
  // Caches one packet as the dispatcher would, right after its event was built.
  static int cache(const char *id, const char *data_text, uint8_t cmd, std::vector<uint8_t> data, uint8_t signal = 0xC4) {
    strcpy(g_last_id_str, id);
    snprintf(g_data, sizeof g_data, "%s", data_text);
    return device_list_cache(packet(cmd, data, signal).data());
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
      {"CRLF, empty name", "@0a1b2c/dim/Lamp\r\n@0d0e0f/rel/\n", {"0a1b2c/dim/Lamp", "0d0e0f/rel/"}},
      {"13 chars without LF", "@0a1b2c/rel/x", {"0a1b2c/rel/x"}},
      {"40-char name cut", "@0a1b2c/rel/" + n40 + "\n", {"0a1b2c/rel/" + n40.substr(0, 31)}},
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
  std::filesystem::remove("devices");
  EXPECT_EQ(device_list_load(), 0);
  EXPECT_EQ(table_rows().size(), 1u) << "a missing file leaves the table as it was";
}

TEST(DeviceFileRebuild, EditsAndCapacity) {
  const std::string line = "@0a1b2c/rel/New";  // 16 characters with its LF
  struct Row { const char *name; std::string file; char del; int want; std::string out; } rows[] = {
      {"replace in place, notes kept", "# hall\n\n@0a1b2c/rel/Old\r\n@0d0e0f/dim/X\n", 0, 1,
       "# hall\n\n@0a1b2c/rel/New\n@0d0e0f/dim/X\n"},
      {"append after missing LF", "@0d0e0f/dim/X", 0, 0, "@0d0e0f/dim/X\n@0a1b2c/rel/New\n"},
      // 12 characters unterminated: a device once the edit adds its LF, so it is replaced.
      {"unterminated fragment of the id", "@0a1b2c/re|/", 0, 1, "@0a1b2c/rel/New\n"},
      {"note with the id is no device", "@0a1b2c is the hall\n", 0, 0, "@0a1b2c is the hall\n@0a1b2c/rel/New\n"},
      {"delete every match, note kept", "@0a1b2c is the hall\n@0a1b2c/rel/A\n\nx\n@0a1b2c/rel/B", 1, 1,
       "@0a1b2c is the hall\n\nx\n"},
      {"ends at 4095", std::string(4078, '#') + "\n", 0, 0, std::string(4078, '#') + "\n" + line + "\n"},
      {"would reach 4096", std::string(4079, '#') + "\n", 0, -1, ""},
      {"replacement grows past", "@0a1b2c/rel/\n" + std::string(4081, '#'), 0, -1, ""},
  };
  static char out[DEV_FILE_CAP];
  for (const Row &r : rows) {
    SCOPED_TRACE(r.name);
    size_t n = 0;
    EXPECT_EQ(device_file_rebuild(out, sizeof out, &n, r.file.data(), r.file.size(), line.data(),
                                  r.del ? 7 : line.size(), r.del), r.want);
    if (r.want >= 0) {
      EXPECT_EQ(std::string(out, n), r.out);
    }
  }
}

TEST_F(Devices, CacheRules) {
  const uint8_t N = LEVEL_NONE;
  struct Row {
    const char *name, *from, *text;
    uint8_t cmd;
    std::vector<uint8_t> data;
    uint8_t level, signal;
    int want;
    std::vector<const char *> vals;  // 0a1b21, 0a1b22, 0d0e0f, 0c0c0c afterwards
  } rows[] = {
      {"two-channel dimmer", "0a1b21", "x", 0x82, {0x82, 0x05, 0x00, 0x7d}, N, 0xC4, 0, {"100%", "0%", "-", "-"}},
      {"ack with no level pending", "0c0c0c", "", 0x87, {}, N, 0xC4, -1, {"-", "-", "-", "-"}},
      {"ack whose signal byte looks like a type", "0d0e0f", "", 0x87, {}, 0, 0x94, 2, {"-", "-", "OFF", "-"}},
      {"ack data wins over the level", "0c0c0c", "50%,RX1DIM,V12", 0x87, {0x81, 0x0c, 0x3e}, 7, 0xC4, 3,
       {"-", "-", "-", "50%"}},
      {"not a state report", "0d0e0f", "ON,RX1REL,V1", 0x81, {0x91, 1, 0x80}, N, 0xC4, -1, {"-", "-", "-", "-"}},
      {"unlisted", "0d0e0e", "ON,RX1REL,V1", 0x82, {0x91, 1, 0x80}, N, 0xC4, -1, {"-", "-", "-", "-"}},
  };
  file_put("@0a1b21/dim/1\n@0a1b22/dim/2\n@0d0e0f/rel/R\n@0c0c0c/dim/D\n");
  for (const Row &r : rows) {
    SCOPED_TRACE(r.name);
    device_list_reset();
    ASSERT_EQ(device_list_load(), 4);
    for (int i = 0; i < 4; i++) strcpy(dev_list[i].val, "-");
    g_last_set_level = r.level;
    EXPECT_EQ(cache(r.from, r.text, r.cmd, r.data, r.signal), r.want);
    for (int i = 0; i < 4; i++) EXPECT_STREQ(dev_list[i].val, r.vals[i]) << "record " << i;
    for (int i = 0; i < 4; i++) EXPECT_STREQ(dev_list[i].rssi, strcmp(r.vals[i], "-") ? "87%" : "") << "record " << i;
  }
  device_list_reset();
  EXPECT_EQ(cache("0c0c0c", "57%,RX1DIM,V12", 0x82, {0x81, 0x0c, 0x3e}), -1) << "empty list";
}


}  // namespace
