// Parked HTTP requests through the real binary: radio commands answered by
// the device's event (any channel of it), by "NO REPLY" at the second tick or
// by an immediate result object; long-polls answered by any event; the full
// wait table. A raw listener gets a packet's line only after the waits were
// served, so its line tells when a packet has been fully dispatched.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "../common/http_replies.h"
#include "harness.h"

using namespace e2e;

namespace {

std::string status_event(const std::string &id) {
  return "{\"id\":\"@" + id + "\",\"cmd\":\"STATUS.ACK\",\"data\":\"50%,RX1DIM,V12\",\"rssi\":\"86%\"}";
}

// Starts a request and reads its header: it is then parked (or answered).
int park(Gateway &g, const std::string &target, std::string *head = nullptr) {
  int s = g.connect();
  send_all(s, "GET " + target + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
  std::string got = recv_until(s, "\r\n\r\n", 3000);
  if (head) *head = got;
  return s;
}

// The rest of a parked reply up to the close, then closes it.
std::string body_of(int s, int ms = 3000) {
  std::string got = recv_until_close(s, ms);
  close(s);
  return got;
}

bool still_waiting(int s) {
  char c;
  return recv(s, &c, 1, MSG_DONTWAIT | MSG_PEEK) < 0 && errno == EAGAIN;
}

}  // namespace

TEST(Waits, DeviceAnswerOfAnyChannelEndsTheWaitsAnotherPacketDoesNot) {
  Gateway g;
  ASSERT_TRUE(g.wait_output("USB Found\n"));
  Listener l(g);
  // What arrives after A's request must not touch the reply.
  int a = g.connect();
  send_all(a, "GET /@1a2b32? HTTP/1.1\r\n\r\n");
  std::optional<Bytes> sent = g.modem().next_write();
  ASSERT_TRUE(sent.has_value());
  EXPECT_EQ(hex(Bytes(sent->begin(), sent->begin() + 9)), "0001061a2b32000002");
  EXPECT_EQ(recv_until(a, "\r\n\r\n", 3000), H202);
  send_all(a, "GET /@1a2b30=50 HTTP/1.1\r\n\r\n");
  int b = park(g, "/@1a2b30=?");  // the same device and command
  ASSERT_TRUE(g.modem().next_write().has_value());
  const struct { Bytes packet; const char *line; } others[] = {
      {radio_packet(0x1a2b32, 0x85, {}, 0x50, 1), "@1a2b32.00.01.85..50\n"},        // other command
      {radio_packet(0x1a2b42, 0x82, {0x01}, 0x50, 2), "@1a2b42.00.02.82.01.50\n"},  // other device
      {radio_packet(0x1b2b32, 0x82, {0x01}, 0x50, 3), "@1b2b32.00.03.82.01.50\n"},  // other first id byte
  };
  for (const auto &o : others) {
    ASSERT_TRUE(g.modem().send_report(o.packet));
    EXPECT_EQ(l.line(), o.line);
    EXPECT_TRUE(still_waiting(a) && still_waiting(b)) << o.line;
  }
  ASSERT_TRUE(g.modem().send_report(radio_packet(0x1a2b31, 0x82, {0x81, 0x0c, 0x3e}, 0x50, 4)));
  EXPECT_EQ(l.line(), "@1a2b31.00.04.82.810c3e.50\n");
  EXPECT_EQ(body_of(a), status_event("1a2b31"));
  EXPECT_EQ(body_of(b), status_event("1a2b31"));
}

// The scheduler sends an unanswered command once a tick (CRONRETRY=10): its
// writes count the ticks. A tick answers the waits before the scheduler
// sends, so a write seen while a request still waits is a tick it waited.
TEST(Waits, NoReplyAtTheSecondTickWhileALongPollWaitsOn) {
  Options o;
  o.settings = "CRONRETRY=10\n";
  o.faketime = "@2026-01-07 07:29:59";
  o.files = {{"cron", "001/SMTWTFS/07:30/@0a0a0a=1\n"}};
  Gateway g(o);
  ASSERT_TRUE(g.wait_output("USB Found\n"));
  Listener l(g);
  std::string head;
  int comet = park(g, "/&listen", &head);
  EXPECT_EQ(head, H202);
  ASSERT_TRUE(g.modem().next_write(5000).has_value()) << "the schedule did not run";
  int a = park(g, "/@abcdef?", &head), b = park(g, "/@12345f=50");
  EXPECT_EQ(head, H202);
  for (int i = 0; i < 2; i++) ASSERT_TRUE(g.modem().next_write().has_value());
  int ticks = 0;
  for (int i = 0; i < 60 && still_waiting(a); i++)
    if (g.modem().next_write(100) && still_waiting(a)) ticks++;
  EXPECT_EQ(ticks, 1) << "ticks waited before the one that answers";
  EXPECT_EQ(body_of(a, 4000), error_object("NO REPLY", "@abcdef"));
  EXPECT_EQ(body_of(b, 400), error_object("NO REPLY", "@12345f")) << "each its own object, in one tick";
  // The long-poll is never timed out; the next event of any device ends it.
  EXPECT_TRUE(still_waiting(comet));
  ASSERT_TRUE(g.modem().send_report(radio_packet(0x0a0b0c, 0x0f, {3}, 0x50, 2)));
  EXPECT_EQ(l.line(), "@0a0b0c.00.02.0f.03.50\n");
  EXPECT_EQ(body_of(comet), "{\"id\":\"@0a0b0c\",\"cmd\":\"SS PRESS\",\"data\":\"BUTTON 3\",\"rssi\":\"86%\"}");
}

TEST(Waits, ImmediateResultsAndTheFullTable) {
  Gateway g({.settings = "MAXPERADDR=64\n"});
  ASSERT_TRUE(g.wait_output("USB Found\n"));
  const struct { const char *target; std::string body; bool written; } rows[] = {  // written: reached the modem
      {"/@1a2b3000050712-", "{\"id\":\"\",\"cmd\":\"OK\",\"data\":\"\",\"rssi\":\"\"}", true},
      {"/@1a2b3g?", error_object("BAD DATA"), false},
      {"/@1a2b30/xyz", error_object("BAD DATA"), false},
  };
  for (const auto &r : rows) {
    EXPECT_EQ(g.get(r.target), H202 + r.body) << r.target;
    EXPECT_EQ(g.modem().next_write(r.written ? 2000 : 150).has_value(), r.written) << r.target;
  }
  std::vector<int> comets, waits;
  for (int i = 0; i < 10; i++) comets.push_back(park(g, "/&listen"));
  // Long-polls never take a radio command's place: ten of each park.
  for (int i = 0; i < 10; i++) {
    waits.push_back(park(g, "/@1a2b30?"));
    ASSERT_TRUE(g.modem().next_write().has_value()) << i;
  }
  // An 11th of each is answered at once; the refused command was never sent,
  // and the long-poll's message has its line end escaped.
  EXPECT_EQ(g.get("/@1a2b30?"), H202 + error_object("TOO MANY CONNECTIONS"));
  EXPECT_FALSE(g.modem().next_write(150).has_value());
  EXPECT_EQ(g.get("/&listen"), H202 + error_object("ERROR: Sockets Full\\n"));
  for (int w : waits) close(w);
  // Hang-ups free their entries.
  for (int i = 0; i < 4; i++) close(comets[i]);
  EXPECT_EQ(g.raw("ver", 200), "ORVEL V1.90\nORVEL RF MODEM\n");  // the hang-ups were read
  std::string head;
  for (int i = 0; i < 4; i++) {
    comets[i] = park(g, "/&listen", &head);
    EXPECT_EQ(head, H202) << i;
  }
  EXPECT_EQ(g.get("/&listen"), H202 + error_object("ERROR: Sockets Full\\n"));
  for (int c : comets) close(c);
  g.modem().unplug();
  ASSERT_TRUE(g.wait_output("USB Removed\n"));
  EXPECT_EQ(g.get("/@zz"), H202 + error_object("USB MODEM NOT CONNECTED"));
}
