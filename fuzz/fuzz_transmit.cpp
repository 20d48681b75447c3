// Fuzz target: the transmitter's text parser (rf_tx_build, the pure report
// builder behind usb_rf_tx) and the LED report builder.
//
// Input: byte 0 flags (bit 0 root mode), the rest one command text; a run of
// texts separated by NUL bytes is parsed in order, so the counter rule is
// checked across commands.
//
// Properties:
//   - the result is RF_TX_BAD, RF_TX_AWAIT or RF_TX_NO_REPLY;
//   - the report is a radio report (bytes 0, 1 = 0, 1), its length byte is
//     at most 62 and every byte after the data is zero;
//   - the counter advances exactly when positions 1-6 are three hex pairs,
//     and a built report carries the counter value before the advance (the
//     raw form carries its own);
//   - a refused text leaves last_tx as it was and the pending level cleared
//     whenever the id was good; an accepted one records the report's id and
//     its command | 0x80 in last_tx, and a level only for the '=' form.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "radio/transmit.h"

namespace {

bool hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// The id test made independently of the parser: three hex pairs at 1..6.
bool id_good(const std::string &t) {
  if (t.size() < 7) return false;
  for (int i = 1; i <= 6; i++)
    if (!hex_digit(t[i])) return false;
  return true;
}

uint8_t counter = 0;  // the model of the packet counter

void one(const std::string &text, bool root_mode) {
  static const uint8_t clock[4] = {0x10, 7, 30, 0};
  // Exactly as long as the text, so a read past its NUL is caught.
  std::vector<char> buf(text.begin(), text.end());
  buf.push_back(0);
  uint8_t report[RF_REPORT_LEN];
  tx_target before = last_tx;
  uint8_t level_before = g_last_set_level;
  uint8_t r = rf_tx_build(buf.data(), report, root_mode, clock);
  bool good_id = id_good(text);
  uint8_t expected_counter = counter;
  if (good_id) counter = (counter + 1) & 7;

  if (r != RF_TX_BAD && r != RF_TX_AWAIT && r != RF_TX_NO_REPLY) fuzz::fail("unknown result", text);
  if (!good_id && r != RF_TX_BAD) fuzz::fail("accepted a bad id", text);
  if (r == RF_TX_BAD) {
    if (memcmp(&before, &last_tx, sizeof before) != 0) fuzz::fail("a refused text changed last_tx", text);
    if (good_id ? g_last_set_level != LEVEL_NONE : g_last_set_level != level_before)
      fuzz::fail("pending level rule broken on a refused text", text);
  } else {
    if (report[0] != 0 || report[1] != 1) fuzz::fail("not a radio report", text);
    uint8_t len = report[2];
    if (len > 62 || len < 6) fuzz::fail("report length byte out of range", text);
    for (int i = len + 3; i < RF_REPORT_LEN; i++)
      if (report[i]) fuzz::fail("byte after the data is not zero", text);
    bool raw = text.size() > 7 && !strchr("?=!+/", text[7]);
    if (!raw && report[7] != expected_counter) fuzz::fail("report does not carry the counter", text);
    if (r == RF_TX_NO_REPLY && !raw) fuzz::fail("no-reply result outside the raw form", text);
    if (last_tx.id[0] != report[3] || last_tx.id[1] != report[4] || last_tx.id[2] != report[5] ||
        last_tx.cmd != (uint8_t)(report[8] | 0x80))
      fuzz::fail("last_tx does not describe the report", text);
    bool level = text.size() > 7 && text[7] == '=' && !(text.size() > 8 && text[8] == '?');
    if (level ? g_last_set_level != report[9] : g_last_set_level != LEVEL_NONE)
      fuzz::fail("pending level does not follow the command", text);
  }

  uint8_t led[LED_REPORT_LEN] = {0xEE, 0xEE};
  bool led_ok = led_report_build(buf.data(), led);
  bool led_expect = text.size() >= 3 && hex_digit(text[1]) && hex_digit(text[2]);
  if (led_ok != led_expect) fuzz::fail("LED report verdict", text);
  if (led_ok && led[0] != 2) fuzz::fail("LED report kind", text);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::scratch_enter("transmit");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  transmit_reset();
  counter = 0;
  bool root_mode = data[0] & 1;
  const char *p = (const char *)data + 1, *end = (const char *)data + size;
  while (p <= end) {
    const char *nul = (const char *)memchr(p, 0, (size_t)(end - p));
    const char *stop = nul ? nul : end;
    one(std::string(p, stop), root_mode);
    if (!nul) break;
    p = stop + 1;
  }
  return 0;
}
