// Parked HTTP requests through the real binary and the virtual modem: radio
// commands answered by the device's event, by "NO REPLY" at the second tick,
// by the immediate result objects; channel-masked matching; long-polls
// answered by any event; the full wait table and hang-ups. (Unplugging with
// parked requests is covered in faults_e2e.cpp.)
//
// A raw listener gets each accepted packet's line only after the waits were
// served, so its line tells when a packet has been fully dispatched.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include "../common/http_replies.h"
#include "harness.h"

using namespace e2e;
using Ms = std::chrono::milliseconds;

namespace {

// The event of a status acknowledgement 81 0c 3e at raw signal 0x50.
std::string status_event(const std::string &id) {
  return "{\"id\":\"@" + id + "\",\"cmd\":\"STATUS.ACK\",\"data\":\"50%,RX1DIM,V12\",\"rssi\":\"86%\"}";
}

Bytes status_ack(uint32_t id, uint8_t counter) { return radio_packet(id, 0x82, {0x81, 0x0c, 0x3e}, 0x50, counter); }

// Sends a packet and waits until it has been dispatched (its listener line).
std::string deliver(Gateway &g, Listener &l, const Bytes &packet) {
  return g.modem().send_report(packet) ? l.line() : "<modem not connected>";
}

// Starts a request and reads its header: it is then parked (or answered).
int request_park(Gateway &g, const std::string &target, std::string *head = nullptr) {
  int s = g.connect();
  send_all(s, "GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n");
  std::string got = recv_until(s, "\r\n\r\n", 3000);
  if (head) *head = got;
  return s;
}

// The rest of a parked reply, up to the close; "<open>" appended if it stays open.
std::string body_of(int s, int ms = 3000) {
  std::string got;
  auto deadline = std::chrono::steady_clock::now() + Ms(ms);
  while (std::chrono::steady_clock::now() < deadline) {
    struct pollfd p = {s, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    char buf[4096];
    ssize_t n = recv(s, buf, sizeof buf, 0);
    if (n <= 0) return got;
    got.append(buf, (size_t)n);
  }
  return got + "<open>";
}

// True when the connection is still open with nothing to read.
bool still_waiting(int s) {
  char c;
  ssize_t n = recv(s, &c, 1, MSG_DONTWAIT | MSG_PEEK);
  return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

// Sleeps until just after the start of a wall-clock second, so that the next
// two ticks of the gateway are about 0.8 s and 1.8 s away.
void align_to_second(int after_ms = 200) {
  for (;;) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    long ms = ts.tv_nsec / 1000000;
    if (ms >= after_ms && ms < after_ms + 100) return;
    long wait = (after_ms - ms + 1000) % 1000;
    usleep((useconds_t)(wait ? wait : 1) * 1000);
  }
}

long ms_since(std::chrono::steady_clock::time_point t) {
  return (long)std::chrono::duration_cast<Ms>(std::chrono::steady_clock::now() - t).count();
}

}  // namespace

TEST(Waits, DeviceAnswerEndsEveryWaitEvenForASplitRequest) {
  Gateway g;
  ASSERT_TRUE(g.wait_output("USB Found\n"));
  Listener l(g);
  // Request A arrives in two segments; the second must not touch the reply.
  int a = g.connect();
  send_all(a, "GET /@1a2b30? HTTP/1.1\r\n");
  std::optional<Bytes> sent = g.modem().next_write();
  ASSERT_TRUE(sent.has_value());
  EXPECT_EQ(hex(Bytes(sent->begin(), sent->begin() + 9)), "0001061a2b30000002");
  EXPECT_EQ(recv_until(a, "\r\n\r\n", 3000), H202);
  send_all(a, "Host: x\r\n\r\n");
  int b = request_park(g, "/@1a2b30=?");  // B waits for the same device and command
  ASSERT_TRUE(g.modem().next_write().has_value());
  usleep(100000);  // the rest of A has been read by now
  EXPECT_TRUE(still_waiting(a) && still_waiting(b));
  EXPECT_EQ(deliver(g, l, status_ack(0x1a2b30, 1)), "@1a2b30.00.01.82.810c3e.50\n");
  EXPECT_EQ(body_of(a), status_event("1a2b30"));
  EXPECT_EQ(body_of(b), status_event("1a2b30"));
  close(a);
  close(b);
}

TEST(Waits, NoReplyAtTheSecondTickWhileACometWaitsOn) {
  Gateway g;
  ASSERT_TRUE(g.wait_output("USB Found\n"));
  Listener l(g);
  std::string head;
  int comet = request_park(g, "/&listen", &head);
  EXPECT_EQ(head, H202);
  auto start = std::chrono::steady_clock::now();
  int w = request_park(g, "/@123456?", &head);
  EXPECT_EQ(head, H202);
  EXPECT_EQ(body_of(w, 4000), error_object("NO REPLY", "@123450"));
  EXPECT_TRUE(ms_since(start) >= 900 && ms_since(start) <= 3000) << ms_since(start);
  close(w);
  // The comet is never timed out; the next event of any device ends it.
  EXPECT_TRUE(still_waiting(comet));
  EXPECT_EQ(deliver(g, l, radio_packet(0x0a0b0c, 0x0f, {3}, 0x50, 2)), "@0a0b0c.00.02.0f.03.50\n");
  EXPECT_EQ(body_of(comet), "{\"id\":\"@0a0b0c\",\"cmd\":\"SS PRESS\",\"data\":\"BUTTON 3\",\"rssi\":\"86%\"}");
  close(comet);
}

TEST(Waits, ImmediateResultObjects) {
  Gateway g;
  ASSERT_TRUE(g.wait_output("USB Found\n"));
  const struct { const char *target; std::string body; bool written; } rows[] = {  // written: a report reached the modem
      {"/@1a2b3000050712-", "{\"id\":\"\",\"cmd\":\"OK\",\"data\":\"\",\"rssi\":\"\"}", true},
      {"/@1a2b3g?", error_object("BAD DATA"), false},
      {"/@1a2b30/xyz", error_object("BAD DATA"), false},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.target);
    EXPECT_EQ(g.get(r.target), H202 + r.body);
    EXPECT_EQ(g.modem().next_write(r.written ? 2000 : 150).has_value(), r.written);
  }
  g.modem().unplug();
  ASSERT_TRUE(g.wait_output("USB Removed\n"));
  EXPECT_EQ(g.get("/@zz"), H202 + error_object("USB MODEM NOT CONNECTED"));
}

TEST(Waits, TwoTimeOutsInOneTickEachGetTheirOwnObject) {
  Gateway g;
  ASSERT_TRUE(g.wait_output("USB Found\n"));
  align_to_second();  // this second's tick is done: the second tick after is ~1.8 s away
  auto start = std::chrono::steady_clock::now();
  int a = request_park(g, "/@abcdef?"), b = request_park(g, "/@12345f=50");
  EXPECT_EQ(body_of(a, 4000), error_object("NO REPLY", "@abcde0"));
  EXPECT_GE(ms_since(start), 1300) << "before the 2nd tick";
  auto at_a = std::chrono::steady_clock::now();
  EXPECT_EQ(body_of(b, 4000), error_object("NO REPLY", "@123450"));
  EXPECT_LE(ms_since(at_a), 400) << "not one tick";
  close(a);
  close(b);
}

TEST(Waits, ReplyFromAnyChannelEndsTheWaitAnotherCommandDoesNot) {
  Gateway g;
  ASSERT_TRUE(g.wait_output("USB Found\n"));
  Listener l(g);
  align_to_second();
  int w = request_park(g, "/@123452?");  // channel 2, awaits 0x82
  const struct { Bytes packet; const char *line; } steps[] = {
      {radio_packet(0x123452, 0x85, {}, 0x50, 1), "@123452.00.01.85..50\n"},        // other command
      {radio_packet(0x123462, 0x82, {0x01}, 0x50, 2), "@123462.00.02.82.01.50\n"},  // other device
      {radio_packet(0x133452, 0x82, {0x01}, 0x50, 3), "@133452.00.03.82.01.50\n"},  // other id byte 1
  };
  for (const auto &s : steps) {
    SCOPED_TRACE(s.line);
    EXPECT_EQ(deliver(g, l, s.packet), s.line);
    EXPECT_TRUE(still_waiting(w));
  }
  EXPECT_EQ(deliver(g, l, status_ack(0x123451, 4)), "@123451.00.04.82.810c3e.50\n");
  EXPECT_EQ(body_of(w), status_event("123451"));
  close(w);
}

TEST(Waits, FullTableAndHangUpsFreeEntries) {
  Gateway g;
  ASSERT_TRUE(g.wait_output("USB Found\n"));
  std::vector<int> comets;
  std::string head;
  for (int i = 0; i < 10; i++) {
    comets.push_back(request_park(g, "/&listen", &head));
    ASSERT_EQ(head, H202) << i;
  }
  // An 11th radio command is still sent, but answered at once.
  EXPECT_EQ(g.get("/@1a2b30?"), H202 + error_object("TOO MANY CONNECTIONS"));
  ASSERT_TRUE(g.modem().next_write().has_value());
  // An 11th long-poll: the message's line end is escaped, the body is valid JSON.
  EXPECT_EQ(g.get("/&listen"), H202 + error_object("ERROR: Sockets Full\\n"));
  // Four hang up and get nothing; four radio waits take their entries, and the table is full again.
  for (int i = 0; i < 4; i++) close(comets[i]);
  comets.erase(comets.begin(), comets.begin() + 4);
  EXPECT_EQ(g.raw("ver", 200), "ORVEL V1.90\nORVEL RF MODEM\n");  // the hang-ups were read
  std::vector<int> waits;
  for (int i = 0; i < 4; i++) {
    waits.push_back(request_park(g, "/@1a2b30?", &head));
    EXPECT_EQ(head, H202) << i;
    ASSERT_TRUE(g.modem().next_write().has_value());
  }
  EXPECT_EQ(g.get("/&listen"), H202 + error_object("ERROR: Sockets Full\\n"));
  for (int c : comets) EXPECT_TRUE(still_waiting(c));
  for (int w : waits) {
    EXPECT_EQ(body_of(w, 4000), error_object("NO REPLY", "@1a2b30"));
    close(w);
  }
  for (int c : comets) close(c);
}
