// The event ring's frames: one line of data, bounded (the stream cannot be
// given a line break or an oversized object end to end).
#include <gtest/gtest.h>

#include <string>

#include "events/event_ring.h"

namespace {

TEST(EventRing, FramesStayOneEventLong) {
  event_ring_reset();
  const uint64_t id = event_ring_last_id() + 1;
  size_t len;
  std::string frame = event_ring_add(EVENT_PACKET, "{\"a\":\"x\r\ny\"}", &len);
  EXPECT_EQ(frame, "id: " + std::to_string(id) + "\nevent: packet\ndata: {\"a\":\"x  y\"}\n\n");
  EXPECT_EQ(len, frame.size());
  std::string big(EVENT_FRAME_MAX * 2, 'a');
  frame = event_ring_add(EVENT_DEVICE, big.c_str(), &len);
  EXPECT_EQ(len, EVENT_FRAME_MAX - 1);
  EXPECT_EQ(frame.substr(frame.size() - 3), "a\n\n");
}

}  // namespace
