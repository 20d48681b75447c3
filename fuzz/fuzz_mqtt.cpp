// Fuzz target: what the MQTT bridge reads from the broker and what it writes
// from the device table.
//
// Input: one message payload (any bytes, no terminator: the reader is given
// an exactly sized buffer).
//
// Properties:
//   - a /set payload becomes 0, 1 or 2 radio commands, each one the
//     transmitter accepts, for the topic's device only;
//   - json_flat_get never reads past the payload and an accepted string value
//     fits its buffer;
//   - the state object of a device whose texts come from the input is one
//     valid JSON value.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "mqtt/mqtt_payload.h"
#include "radio/transmit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<char> payload(data, data + size);  // exactly sized: no NUL after it
  std::string in((const char *)data, size);

  char cmds[SET_CMDS_MAX][SET_CMD_SIZE];
  const char *why = nullptr;
  int n = mqtt_set_parse(payload.data(), size, "1a2b30", cmds, &why);
  if (n < 0 || n > SET_CMDS_MAX) fuzz::fail("set: command count", in);
  if (n == 0 && (!why || !*why)) fuzz::fail("set: refused without a reason", in);
  for (int i = 0; i < n; i++) {
    if (strncmp(cmds[i], "@1a2b30", 7) != 0) fuzz::fail("set: command for another device", cmds[i]);
    uint8_t report[RF_REPORT_LEN];
    uint8_t clock[4] = {};
    if (rf_tx_build(cmds[i], report, false, clock) != RF_TX_AWAIT) fuzz::fail("set: command refused", cmds[i]);
  }

  char value[16];
  bool is_string = false;
  int found = json_flat_get(payload.data(), size, "command", value, sizeof value, &is_string);
  if (found == 1 && strnlen(value, sizeof value) >= sizeof value) fuzz::fail("json: value not terminated", in);

  dev_rec d = {};
  std::string text = in.substr(0, in.find('\0'));
  for (char &c : text)
    if ((unsigned char)c >= 0x80) c = '?';  // the state cache holds decoded ASCII text
  strcpy(d.id, "1a2b30");
  static const char *types[] = {"rel", "dim", "tmp", "btn", "xyz"};
  strcpy(d.type, types[size % 5]);
  snprintf(d.val, sizeof d.val, "%s", text.c_str());
  snprintf(d.rssi, sizeof d.rssi, "%s", text.size() > 3 ? text.c_str() + text.size() - 3 : "1%");
  snprintf(d.time, sizeof d.time, "%lu", (unsigned long)size);
  char out[STATE_JSON_SIZE];
  if (mqtt_state_json(&d, out, sizeof out) && !fuzz::json_valid(out))
    fuzz::fail("state: not valid JSON", out);
  return 0;
}
