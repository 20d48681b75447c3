// Fuzz target: the state file readers. The "devices" file reader
// device_list_load with one HTTP edit (device_list_http) applied to it, and
// the settings reader setting_get_text.
//
// Input: three parts separated by NUL bytes: the "devices" file content
// (an empty part: no file at all), the edit request after "&device/", and a
// settings text.
//
// Properties:
//   - the table never holds more than DEV_MAX devices, ends with an empty
//     record, and every field is terminated inside its width; ids are six
//     characters 0-9 a-f and names hold no line end;
//   - an edit answers exactly one of "DEVICE ADD", "DEVICE EDIT",
//     "DEVICE DELETE", "ERROR";
//   - "ERROR" leaves the file byte for byte as it was;
//   - after an add or edit the reloaded table lists the id with the sent
//     type and (a prefix of) the sent name; after a delete it lists no line
//     of that id; the file stays below DEV_FILE_CAP characters;
//   - a setting read says found (1) or not (0) and a found value is trimmed
//     and at most 62 characters.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/settings.h"
#include "core/text.h"
#include "devices/device_list.h"
#include "fuzz_support.h"
#include "net/socket.h"

namespace {

std::string reply;

bool capture(uint32_t, const void *data, size_t len) {
  reply.append((const char *)data, len);
  return true;
}

bool file_read(const char *name, std::string *out) {
  FILE *f = fopen(name, "rb");
  if (!f) return false;
  char buf[4096];
  size_t n;
  out->clear();
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
  fclose(f);
  return true;
}

bool is_hex6(const char *id) {
  for (int i = 0; i < 6; i++)
    if (!((id[i] >= '0' && id[i] <= '9') || (id[i] >= 'a' && id[i] <= 'f'))) return false;
  return id[6] == 0;
}

int table_check(const std::string &ctx) {
  int n = 0;
  while (n <= DEV_MAX && dev_list[n].id[0]) n++;
  if (n > DEV_MAX) fuzz::fail("more devices than DEV_MAX", ctx);
  for (int i = 0; i <= DEV_MAX; i++) {
    const dev_rec &d = dev_list[i];
    if (!memchr(d.id, 0, sizeof d.id) || !memchr(d.type, 0, sizeof d.type) || !memchr(d.name, 0, sizeof d.name) ||
        !memchr(d.val, 0, sizeof d.val) || !memchr(d.time, 0, sizeof d.time) || !memchr(d.rssi, 0, sizeof d.rssi))
      fuzz::fail("a device field is not terminated", ctx);
    if (i < n && (!is_hex6(d.id) || strpbrk(d.name, "\r\n"))) fuzz::fail("a bad device record", ctx);
  }
  return n;
}

void edit_check(const std::string &file_before, bool had_file, const std::string &edit) {
  std::string route = "&device/" + edit;
  std::vector<char> buf(route.begin(), route.end());
  buf.push_back(0);
  reply.clear();
  device_list_http(1, buf.data());
  size_t at = reply.find("\r\n\r\n");
  std::string body = at == std::string::npos ? "" : reply.substr(at + 4);
  std::string after;
  bool has_file = file_read("devices", &after);
  if (body == "ERROR") {
    if (has_file != had_file || after != file_before) fuzz::fail("a refused edit changed the file", edit);
    return;
  }
  if (body != "DEVICE ADD" && body != "DEVICE EDIT" && body != "DEVICE DELETE")
    fuzz::fail("edit reply is none of the four", body);
  if (after.size() >= (size_t)DEV_FILE_CAP) fuzz::fail("devices file reached its cap", edit);
  int n = device_list_load();
  table_check(edit);
  if (n >= DEV_MAX) return;  // the edited line may lie past the table's end
  std::string id = edit.substr(1, 6);
  if (body == "DEVICE DELETE") {
    if (device_list_find(id.c_str()) >= 0) fuzz::fail("a deleted device is still listed", edit);
    return;
  }
  // The line as stored: the decoded request text up to its first blank.
  std::vector<char> line(edit.begin(), edit.end());
  line.push_back(0);
  url_decode(line.data());
  std::string type(line.data() + 8, 3), name(line.data() + 12);
  bool seen = false;
  for (int i = 0; i < n; i++) {
    if (id != dev_list[i].id) continue;
    seen = true;
    if (type != std::string(dev_list[i].type, 3) || name.compare(0, strlen(dev_list[i].name), dev_list[i].name) != 0)
      fuzz::fail("an edited device reads back differently", edit);
  }
  if (!seen) fuzz::fail("an added device is not listed", edit);
}

void settings_check(const std::string &content) {
  static const char *const keys[] = {"PORT", "DEBUG", "CRONRETRY", "LOGS", ""};
  for (const char *key : keys) {
    char *value = new char[63];  // the promised size, so a longer write is caught
    memset(value, 0x55, 63);
    uint8_t r = setting_get_text(content.c_str(), key, value);
    if (r == 1) {
      size_t n = strnlen(value, 63);
      if (n > 62) fuzz::fail("setting value not terminated", content);
      if (n && (strchr(" \t\r\n\v\f", value[0]) || strchr(" \t\r\n\v\f", value[n - 1])))
        fuzz::fail("setting value not trimmed", value);
    } else if (r != 0) {
      fuzz::fail("setting read of a text cannot fail to open", content);
    }
    delete[] value;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::scratch_enter("devices");
  soc_send_hook = capture;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string in((const char *)data, size);
  size_t a = in.find('\0');
  std::string file = in.substr(0, a);
  std::string edit, settings;
  if (a != std::string::npos) {
    size_t b = in.find('\0', a + 1);
    edit = in.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
    if (b != std::string::npos) settings = in.substr(b + 1);
  }
  device_list_reset();
  bool had_file = !file.empty();
  if (had_file) {
    FILE *f = fopen("devices", "wb");
    fwrite(file.data(), 1, file.size(), f);
    fclose(f);
  }
  device_list_load();
  table_check(file);
  if (!edit.empty()) edit_check(file, had_file, edit);
  settings_check(settings);
  fuzz::scratch_check_and_clean();
  return 0;
}
