// Device registry: the loader's line rules and the edit rebuild, by table
// (the edits, the state cache and the listing are checked end to end).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "devices/device_list.h"

namespace {

void file_put(const std::string &text) { std::ofstream("devices", std::ios::binary) << text; }

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
    device_list_reset();
  }
  void TearDown() override {
    ASSERT_EQ(chdir(old_dir.c_str()), 0);
    std::filesystem::remove_all(dir);
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



}  // namespace
