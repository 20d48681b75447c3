// The event ring's replay decisions at the edges of what it keeps, and its frames.
#include <gtest/gtest.h>

#include <string>

#include "events/event_ring.h"

namespace {

TEST(EventRing, ResumeAtTheEdgesOfWhatIsKept) {
  event_ring_reset();
  const uint64_t base = event_ring_last_id();
  auto resume = [](uint64_t id, const char *tail = "") { return event_ring_resume((std::to_string(id) + tail).c_str()); };
  // Nothing added yet: the run's base is known and nothing is missed.
  EXPECT_FALSE(resume(base).gap);
  EXPECT_EQ(resume(base - 1).gap_id, base);

  size_t len;
  for (int i = 0; i < EVENT_RING_MAX + 76; i++) event_ring_add(EVENT_USB, "{}", &len);
  const uint64_t last = base + EVENT_RING_MAX + 76, oldest = last - EVENT_RING_MAX + 1;
  struct Row {
    std::string since;
    bool gap;
    std::string reason;
    uint64_t gap_id, from;
  } rows[] = {
      {std::to_string(last), false, "", 0, 0},
      {std::to_string(last - 1) + "\r\n", false, "", 0, last},
      {std::to_string(oldest - 1), false, "", 0, oldest},             // missed nothing that is gone
      {std::to_string(oldest - 2), true, "expired", oldest - 1, oldest},
      {std::to_string(base - 1), true, "restart", oldest - 1, oldest},  // an earlier run's
      {std::to_string(last + 1), true, "restart", oldest - 1, oldest},
      {std::to_string(last) + "x", true, "restart", oldest - 1, oldest},
      {"", true, "restart", oldest - 1, oldest},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.since);
    event_resume got = event_ring_resume(r.since.c_str());
    EXPECT_EQ(got.gap, r.gap);
    EXPECT_EQ(got.reason, r.reason);
    EXPECT_EQ(got.gap_id, r.gap_id);
    EXPECT_EQ(got.from, r.from);
  }
  EXPECT_EQ(event_ring_frame(oldest - 1, &len), nullptr);
  ASSERT_NE(event_ring_frame(oldest, &len), nullptr);
}

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
