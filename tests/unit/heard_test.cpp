// The heard table's choice of modem: the strongest signal of the last hour,
// the latest standing in once the strongest is older, channels as one
// device, modems that are down passed over.
#include <gtest/gtest.h>

#include <vector>

#include "core/clock.h"
#include "radio/heard.h"

namespace {

int64_t now_ms = 1;
int64_t fake_clock() { return now_ms; }
constexpr int64_t MINUTE = 60 * 1000;

struct hearing {
  int minute, modem;
  uint32_t id;
  uint8_t raw;  // the signal byte: 46 + raw / 2 percent
};

struct heard_case {
  const char *name;
  std::vector<hearing> heard;
  int minute;
  uint32_t id;
  uint32_t up;
  int want;
};

TEST(Heard, TheModemThatHeardTheDeviceBestInTheLastHour) {
  const heard_case cases[] = {
      {"the stronger of two", {{0, 0, 0x1a2b30, 0x40}, {1, 1, 0x1a2b30, 0x60}}, 2, 0x1a2b30, 3, 1},
      {"a tie goes to the lower number", {{0, 1, 0x1a2b30, 0x50}, {0, 0, 0x1a2b30, 0x50}}, 1, 0x1a2b30, 3, 0},
      {"a modem that is down is passed over", {{0, 0, 0x1a2b30, 0x40}, {1, 1, 0x1a2b30, 0x60}}, 2, 0x1a2b30, 1, 0},
      {"another channel is the same device", {{0, 2, 0x1a2b30, 0x40}}, 1, 0x1a2b33, 7, 2},
      {"another device was never heard", {{0, 2, 0x1a2b30, 0x40}}, 1, 0x1a2b40, 7, -1},
      {"the strongest counts for the hour", {{0, 1, 0x1a2b30, 0x70}, {30, 1, 0x1a2b30, 0x20}, {30, 0, 0x1a2b30, 0x50}},
       59, 0x1a2b30, 3, 1},
      {"then the latest stands in", {{0, 1, 0x1a2b30, 0x70}, {30, 1, 0x1a2b30, 0x20}, {30, 0, 0x1a2b30, 0x50}},
       61, 0x1a2b30, 3, 0},
      {"nothing older than an hour", {{0, 1, 0x1a2b30, 0x70}}, 61, 0x1a2b30, 3, -1},
  };
  clock_ms_source = fake_clock;
  for (const heard_case &c : cases) {
    SCOPED_TRACE(c.name);
    heard_reset();
    for (const hearing &h : c.heard) {
      uint8_t packet[65] = {1, 8, (uint8_t)(h.id >> 16), (uint8_t)(h.id >> 8), (uint8_t)h.id, 0, 0, 0x85, h.raw};
      now_ms = 1 + h.minute * MINUTE;
      heard_note(h.modem, packet);
    }
    now_ms = 1 + c.minute * MINUTE;
    uint8_t id[3] = {(uint8_t)(c.id >> 16), (uint8_t)(c.id >> 8), (uint8_t)c.id};
    EXPECT_EQ(heard_best(id, c.up), c.want);
  }
  heard_reset();
  clock_reset();
}

}  // namespace
