// The event stream, metrics and health through the real binary: the stream's
// exact framing and its three event kinds, replay after a reconnect with and
// without a gap, an earlier run's id, the keepalive, a client that stops
// reading; the metrics read by a real Prometheus parser and moving; health in
// both states and the service notifications.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>

#include "harness.h"

using namespace e2e;
using Clock = std::chrono::steady_clock;

namespace {

const std::string HEAD =
    "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
    "Access-Control-Allow-Origin: *\r\nServer: ORVEL\r\n\r\nretry: 2000\n\n";
const std::string USB_OFF = "{\"connected\":false}", USB_ON = "{\"connected\":true}", GAP = "{\"reason\":\"restart\"}";

std::string frame(uint64_t id, const std::string &kind, const std::string &data) {
  return "id: " + std::to_string(id) + "\nevent: " + kind + "\ndata: " + data + "\n\n";
}

// The id of the first frame in `text`, 0 when there is none.
uint64_t first_id(const std::string &text) {
  size_t at = text.find("id: ");
  return at == std::string::npos ? 0 : std::stoull(text.substr(at + 4));
}

// A stream client: the request is sent and its head (through "retry") read,
// unless the client is to stop reading (a small receive buffer given).
struct Stream {
  Stream(Gateway &g, const std::string &target, const std::string &headers = "", int rcvbuf = 0) {
    if ((fd = connect_to(g.port, rcvbuf)) < 0) return;
    send_all(fd, "GET " + target + " HTTP/1.1\r\nHost: localhost\r\n" + headers + "\r\n");
    if (!rcvbuf) head = take(1);
  }
  ~Stream() { close(fd); }
  // The next `n` frames (each ends with a blank line), or what came in time.
  std::string take(size_t n, int ms = 3000) {
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    size_t at = 0;
    for (size_t found = 0; found < n;) {
      size_t next = buf.find("\n\n", at);
      if (next != std::string::npos) {
        at = next + 2, found++;
        continue;
      }
      long left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      pollfd p = {fd, POLLIN, 0};
      char b[16384];
      ssize_t got = left > 0 && poll(&p, 1, (int)left) == 1 ? recv(fd, b, sizeof b, 0) : 0;
      if (got <= 0) return std::exchange(buf, "");
      buf.append(b, (size_t)got);
    }
    std::string out = buf.substr(0, at);
    buf.erase(0, at);
    return out;
  }
  int fd;
  std::string head, buf;
};

Bytes status_ack(uint32_t id, uint8_t counter = 0, uint8_t rssi_raw = 0x50) {
  return radio_packet(id, 0x82, {0x81, 0x0c, 0x3e}, rssi_raw, counter);
}

}  // namespace

TEST(Events, FramingKindsReplayAndTheNextRun) {
  Options o;
  o.files = {{"devices", "@0a1b2c/dim/Hall\n"}};
  Gateway g(o);
  ASSERT_TRUE(g.wait_output("USB Found\n"));
  Stream live(g, "/&events");
  EXPECT_EQ(live.head, HEAD);
  g.modem().unplug();
  std::string got = live.take(1);
  g.modem().plug();
  got += live.take(1);
  int comet = g.connect();
  send_all(comet, "GET /&listen HTTP/1.1\r\n\r\n");
  recv_until(comet, "\r\n\r\n", 3000);
  ASSERT_TRUE(g.modem().send_report(status_ack(0x0a1b2c)));
  got += live.take(2);
  // The packet's data is what the long-poll received; the device's is its listed object.
  std::string event = recv_until_close(comet, 3000);
  close(comet);
  std::string list = http_body(g.get("/&devices"));
  ASSERT_GT(list.size(), 2u);
  uint64_t n = first_id(got);
  // A packet comes before the device event it caused.
  std::vector<std::string> kept = {frame(n - 1, "usb", USB_ON), frame(n, "usb", USB_OFF), frame(n + 1, "usb", USB_ON),
                                   frame(n + 2, "packet", event),
                                   frame(n + 3, "device", list.substr(1, list.size() - 2))};
  EXPECT_EQ(got, kept[1] + kept[2] + kept[3] + kept[4]);

  // Reconnects: the kept events after the client's id, then live ones. The
  // start's modem event is this run's first (n - 1), so run_base is n - 2.
  struct Row {
    std::string target, header, prefix;
    size_t from;  // first replayed entry of `kept`
  } rows[] = {
      {"/&events", "Last-Event-ID: " + std::to_string(n) + "\r\n", "", 2},
      {"/&events?since=" + std::to_string(n + 2), "", "", 4},
      {"/&events?since=" + std::to_string(n + 3), "last-event-id:" + std::to_string(n + 1) + "\r\n", "", 3},
      {"/&events?since=" + std::to_string(n + 3), "", "", 5},
      {"/&events?since=0", "", frame(n - 2, "gap", GAP), 0},
  };
  std::vector<std::unique_ptr<Stream>> clients;
  for (auto &r : rows) clients.push_back(std::make_unique<Stream>(g, r.target, r.header));
  g.modem().unplug();
  std::string live_frame = frame(n + 4, "usb", USB_OFF);
  EXPECT_EQ(live.take(1), live_frame);
  for (size_t i = 0; i < std::size(rows); i++) {
    SCOPED_TRACE(rows[i].target + " " + rows[i].header);
    std::string want = rows[i].prefix;
    for (size_t k = rows[i].from; k < kept.size(); k++) want += kept[k];
    EXPECT_EQ(clients[i]->head, HEAD);
    EXPECT_EQ(clients[i]->take(kept.size() - rows[i].from + !rows[i].prefix.empty() + 1), want + live_frame);
    EXPECT_EQ(clients[i]->buf + recv_for(clients[i]->fd, 150), "") << "nothing twice";
  }
  // The next run's ids are all greater, and this run's last id is a gap there.
  Gateway next;
  ASSERT_TRUE(next.wait_output("USB Found\n"));
  Stream s(next, "/&events", "Last-Event-ID: " + std::to_string(n + 4) + "\r\n");
  std::string got_next = s.take(2);
  uint64_t base = first_id(got_next);
  EXPECT_GT(base, n + 4);
  EXPECT_EQ(got_next, frame(base, "gap", GAP) + frame(base + 1, "usb", USB_ON));
}

// A client that stops reading must not hold up the others and is closed once
// its queue is full. (The gateway reads one modem report per pass of its loop;
// the reader's ignored input wakes each pass, which is also the check that a
// stream's input is ignored.) With more events than are kept, a replay from
// just before the oldest kept one has no gap, and one from further back has.
TEST(Events, KeepaliveAClientThatStopsReadingAndExpiredReplay) {
  std::string devices;
  for (char c = '1'; c <= '4'; c++) devices += std::string("@0a1b2") + c + "/rel/Relay " + c + " with a long name..\n";
  Options o;
  o.settings = "EVENTS_KEEPALIVE=1\n";
  o.files = {{"devices", devices}};
  Gateway g(o);
  ASSERT_TRUE(g.wait_output("USB Found\n"));
  Stream reader(g, "/&events");
  Stream stuck(g, "/&events", "", 4096);
  int one = 1;
  setsockopt(reader.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // each wake-up byte goes out at once
  EXPECT_EQ(reader.take(1), ": keepalive\n\n");
  long worst_ms = 0;
  uint64_t expect_id = 0, first = 0;
  bool stuck_closed = false;
  for (int i = 0; i < 4000 && !(stuck_closed && expect_id - first > 1100); i++) {
    auto t0 = Clock::now();
    ASSERT_TRUE(g.modem().send_report(radio_packet(0x0a1b20, 0x82, {0x94, 0, (uint8_t)(i << 4), 0}, 0x50, i & 7)));
    send_all(reader.fd, "x");
    std::string got = reader.take(5);  // four devices and the packet
    worst_ms = std::max(worst_ms, (long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
    for (size_t at = got.find("id: "); at != std::string::npos; at = got.find("id: ", at + 1)) {
      uint64_t id = std::stoull(got.substr(at + 4));
      ASSERT_TRUE(!expect_id || id == expect_id) << "packet " << i << ": " << got;
      if (!first) first = id;
      expect_id = id + 1;
    }
    if (i % 100 == 99 && !stuck_closed)
      stuck_closed = g.get("/&metrics").find("\norvel_stream_clients 1\n") != std::string::npos;
  }
  EXPECT_TRUE(stuck_closed) << "the client that stopped reading is still open";
  EXPECT_LT(worst_ms, 1000) << "the reader waited behind the stuck client";
  EXPECT_TRUE(wait_closed(stuck.fd, 5000));
  const uint64_t oldest = expect_id - 1024;
  Stream edge(g, "/&events?since=" + std::to_string(oldest - 1)), gone(g, "/&events?since=" + std::to_string(oldest - 2));
  EXPECT_EQ(first_id(edge.take(1)), oldest);
  EXPECT_EQ(gone.take(1), frame(oldest - 1, "gap", "{\"reason\":\"expired\"}"));
}

TEST(Metrics, ParsedByPrometheusAndMoving) {
  Options o;
  o.settings = "CRONRETRY=1\nDEBUG=1\n";
  o.faketime = "@2026-01-07 07:29:58";
  o.files = {{"devices", "@0a1b2c/dim/Hall\n"}, {"cron", "001/SMTWTFS/07:30/@0d0e0f=50\n"},
             {"parse.py",  // one HELP and TYPE per family, counters end in _total
              "import sys\n"
              "from prometheus_client.parser import text_string_to_metric_families as parse\n"
              "text = open(sys.argv[1]).read()\n"
              "fams = list(parse(text))\n"
              "assert text.count('# HELP ') == text.count('# TYPE ') == len(fams) > 0\n"
              "types = [l.split()[2:] for l in text.splitlines() if l.startswith('# TYPE ')]\n"
              "assert all(n.endswith('_total') == (t == 'counter') for n, t in types)\n"
              "for f in fams:\n"
              "    for s in f.samples:\n"
              "        print(s.name + '{' + ','.join(k + '=' + v for k, v in sorted(s.labels.items())) + '}', s.value)\n"}};
  Gateway g(o);
  ASSERT_TRUE(g.wait_output("USB Found\n"));
  auto scrape = [&g]() {
    std::string reply = g.get("/&metrics");
    EXPECT_EQ(http_head(reply), "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4\r\nCache-Control: no-cache\r\n"
                                "Access-Control-Allow-Origin: *\r\nServer: ORVEL\r\nConnection: close\r\n\r\n");
    g.write_file("metrics.txt", http_body(reply));
    FILE *p = popen(("/usr/bin/python3 " + g.dir + "/parse.py " + g.dir + "/metrics.txt 2>&1").c_str(), "r");
    std::map<std::string, double> m;
    char line[512], name[256];
    double value;
    while (fgets(line, sizeof line, p))
      if (sscanf(line, "%255s %lf", name, &value) == 2) m[name] = value;
      else ADD_FAILURE() << "parser: " << line;
    EXPECT_EQ(pclose(p), 0);
    return m;
  };
  auto before = scrape();
  Listener l(g);
  // A radio command over HTTP and its reply; a raw command.
  int s = g.connect();
  send_all(s, "GET /@0a1b2c? HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(g.modem().next_write().has_value());
  ASSERT_TRUE(g.modem().send_report(status_ack(0x0a1b2c, 1)));
  EXPECT_NE(recv_until_close(s, 3000).find("STATUS.ACK"), std::string::npos);
  close(s);
  EXPECT_EQ(g.raw("@0a1b2c?\n"), "@OK\n");
  // Dropped packets: a duplicate, a bad length, a weak unlisted device; the
  // listener's line of the packet after them shows they were all read.
  Bytes shortp = status_ack(0x112233, 3);
  shortp[1] = 5;
  for (const Bytes &p : {status_ack(0x112233, 2), status_ack(0x112233, 2), shortp, status_ack(0x112233, 4, 0xc4),
                         status_ack(0x445566, 5)})
    ASSERT_TRUE(g.modem().send_report(p));
  for (int i = 0; i < 3 && l.line().find("445566") == std::string::npos; i++) {
  }
  // The schedule fires at 07:30 and gives its command up after its one try.
  for (auto end = Clock::now() + std::chrono::seconds(8); Clock::now() < end; usleep(100000))
    if (g.read_file("logs/260107.log").find("Cron NOREPLY") != std::string::npos) break;
  Stream stream(g, "/&events");
  int comet = g.connect();
  send_all(comet, "GET /&listen HTTP/1.1\r\n\r\n");
  recv_until(comet, "\r\n\r\n", 3000);
  auto after = scrape();
  close(comet);
  const struct { std::string name; double delta; } moved[] = {  // after - before
      {"orvel_radio_packets_received_total{}", 6},
      {"orvel_radio_packets_dropped_total{reason=duplicate}", 1},
      {"orvel_radio_packets_dropped_total{reason=length}", 1},
      {"orvel_radio_packets_dropped_total{reason=weak}", 1},
      {"orvel_radio_commands_sent_total{source=http}", 1},
      {"orvel_radio_commands_sent_total{source=raw}", 1},
      {"orvel_radio_commands_sent_total{source=cron}", 1},
      {"orvel_radio_commands_sent_total{source=mqtt}", 0},
      {"orvel_radio_replies_received_total{}", 3},
      {"orvel_radio_commands_unanswered_total{}", 1},
      {"orvel_scheduled_commands_run_total{}", 1},
      {"orvel_scheduled_commands_given_up_total{}", 1},
      {"orvel_http_requests_total{route=radio}", 1},
      {"orvel_http_requests_total{route=metrics}", 1},
      {"orvel_http_requests_total{route=events}", 1},
      {"orvel_http_requests_total{route=longpoll}", 1},
      {"orvel_listeners{}", 1},
      {"orvel_waits{}", 1},
      {"orvel_stream_clients{}", 1},
      {"orvel_connections_open{}", 3},  // listener, stream, long-poll (the scrape is in both)
  };
  for (auto &r : moved) {
    SCOPED_TRACE(r.name);
    ASSERT_TRUE(before.count(r.name) && after.count(r.name));
    EXPECT_EQ(after[r.name] - before[r.name], r.delta);
  }
  const std::map<std::string, double> now = {
      {"orvel_mqtt_connected{}", 0}, {"orvel_mqtt_messages_published_total{}", 0}, {"orvel_modem_connected{}", 1},
      {"orvel_build_info{version=1.90}", 1}, {"orvel_device_signal_strength_ratio{id=0a1b2c}", 0.86}};
  for (auto &[name, value] : now) EXPECT_EQ(after[name], value) << name;
  double seen = after["orvel_device_last_seen_timestamp_seconds{id=0a1b2c}"];
  EXPECT_TRUE(seen >= 1767770998 && seen < 1767770998 + 30) << seen;  // the faked start, 2026-01-07 07:29:58 UTC
}

TEST(Health, BothStatesAndTheServiceNotifications) {
  // systemd's side: a datagram socket named by NOTIFY_SOCKET.
  int notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{AF_UNIX, {}};
  std::string path = "/tmp/orvel-notify-" + std::to_string(getpid());
  snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
  unlink(path.c_str());
  ASSERT_EQ(bind(notify, (sockaddr *)&a, sizeof a), 0);
  setenv("NOTIFY_SOCKET", path.c_str(), 1);
  Options o;
  o.settings = "HEALTH_GRACE=1\n";
  Gateway g(o);
  unsetenv("NOTIFY_SOCKET");
  for (const char *want : {"READY=1", "WATCHDOG=1"}) {
    pollfd p = {notify, POLLIN, 0};
    char b[64] = {};
    if (poll(&p, 1, 3000) == 1) recv(notify, b, sizeof b - 1, 0);
    EXPECT_STREQ(b, want);
  }
  close(notify);
  unlink(path.c_str());
  ASSERT_TRUE(g.wait_output("USB Found\n"));
  const std::string json_head = "Content-Type: application/json\r\nCache-Control: no-cache\r\n"
                                "Access-Control-Allow-Origin: *\r\nServer: ORVEL\r\nConnection: close\r\n\r\n";
  auto health = [&g](const std::string &part) {  // the first reply holding `part`, within 5 s
    std::string got;
    for (auto end = Clock::now() + std::chrono::seconds(5); Clock::now() < end; usleep(100000))
      if ((got = g.get("/&health")).find(part) != std::string::npos) break;
    return got;
  };
  std::string ok = health(",\"mqtt\":\"off\",\"last_packet_age\":null}");
  EXPECT_EQ(http_head(ok), "HTTP/1.1 200 OK\r\n" + json_head);
  EXPECT_NE(http_body(ok).find("{\"status\":\"ok\",\"modem\":true,\"uptime\":"), std::string::npos) << ok;
  g.modem().unplug();  // degraded after the grace, until the modem is back
  std::string bad = health("{\"status\":\"degraded\",\"modem\":false,");
  EXPECT_EQ(http_head(bad), "HTTP/1.1 503 Service Unavailable\r\n" + json_head);
  g.modem().plug();
  ASSERT_TRUE(g.modem().wait_connected());
  ASSERT_TRUE(g.modem().send_report(status_ack(0x445566)));
  std::string back = health("\"last_packet_age\":0}");
  EXPECT_EQ(http_head(back), "HTTP/1.1 200 OK\r\n" + json_head);
  EXPECT_NE(back.find("{\"status\":\"ok\",\"modem\":true,"), std::string::npos) << back;
}
