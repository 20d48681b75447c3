// Security through the real binary: cross-site requests (padded ones too),
// rebound host names and refused edits change nothing; the token guards
// every gateway route over HTTP and raw, a session cookie only with a sign of
// the gateway's own origin; the lock-out refuses a guessing address; a client
// cannot take every place; bad settings stop the start.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "../common/http_replies.h"
#include "harness.h"

using namespace e2e;

namespace {

const std::string TOKEN = "0123456789abcdef0123";
const std::string DEVICES = "@0a1b2c/rel/Kitchen\n";
const std::string CRON = "001/SMTWTFS/07:30/@0a1b2c=50\n";
const std::string JSON_NO_CACHE = "Content-type: application/json\r\nCache-Control: no-cache no-store\r\n";
const std::string H401 = "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Bearer\r\n" + REPLY_CORS + JSON_NO_CACHE +
                         REPLY_TAIL + "{\"cmd\":\"ERROR\",\"data\":\"UNAUTHORIZED\"}";
const std::string H403 = "HTTP/1.1 403 Forbidden\r\n" + JSON_NO_CACHE + REPLY_TAIL + "{\"cmd\":\"ERROR\",\"data\":\"FORBIDDEN\"}";
const std::string PAD(4100, 'x');  // pushes what follows past one receive
const std::string CROSS = "Origin: http://evil.example\r\nSec-Fetch-Site: cross-site\r\n";

Options with(const std::string &settings) {
  Options o;
  o.settings = settings;
  o.files = {{"mem/kk", "original"}, {"devices", DEVICES}, {"cron", CRON}, {"www/index.html", "<p>hi</p>"}};
  return o;
}

// A request for `target` with extra header lines (each ending in CRLF).
std::string req(const Gateway &g, const std::string &target, const std::string &headers = "",
                const std::string &method = "GET", const std::string &body = "") {
  return method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(g.port) + "\r\n" + headers +
         (body.empty() ? "" : "Content-Length: " + std::to_string(body.size()) + "\r\n") + "\r\n" + body;
}

// Sends raw lines on one connection, each followed by the reply it must get.
void raw_dialogue(Gateway &g, const std::vector<std::pair<std::string, std::string>> &steps, bool closed_after) {
  int s = g.connect();
  for (const auto &[line, reply] : steps) {
    SCOPED_TRACE(line);
    send_all(s, line);
    EXPECT_EQ(recv_until(s, "\n", 2000).substr(0, reply.size()), reply);
  }
  EXPECT_EQ(wait_closed(s, closed_after ? 2000 : 200), closed_after);
  close(s);
}

void expect_state_unchanged(Gateway &g) {
  EXPECT_EQ(g.read_file("mem/kk"), "original");
  EXPECT_EQ(g.read_file("devices"), DEVICES);
  EXPECT_EQ(g.read_file("cron"), CRON);
  EXPECT_FALSE(g.modem().next_write(50)) << "a radio command went out";
  EXPECT_TRUE(g.alive());
}

// Each row a request and the start of the reply it must get; none changes anything.
struct Row {
  const char *name;
  std::string request, reply;
};
void expect_replies(Gateway &g, const std::vector<Row> &rows) {
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(g.request(r.request, 3000).substr(0, r.reply.size()), r.reply);
    expect_state_unchanged(g);
  }
}

}  // namespace

// Without a token: each row is an attack or a fault, the reply it must get,
// and every row must leave the value, the device list, the schedule and the
// radio untouched. Pages from www/ and requests without browser headers pass.
TEST(SecurityE2E, AttacksAndFaultsChangeNothing) {
  Gateway g(with("ALLOW_ORIGIN=http://dash.example:8080\n"));
  ASSERT_TRUE(g.modem().wait_connected());
  std::filesystem::create_directory(g.dir + "/cron.tmp");  // the schedule cannot be rewritten
  const std::string same = "Origin: http://127.0.0.1:" + std::to_string(g.port) + "\r\nSec-Fetch-Site: same-origin\r\n";
  expect_replies(g, {
      {"cross-site kill", req(g, "/&kill", "Sec-Fetch-Site: cross-site\r\n"), H403},
      {"same-site radio", req(g, "/@0a1b2c=77", "Sec-Fetch-Site: same-site\r\n"), H403},
      {"foreign origin store", req(g, "/&set/kk/evil", "Origin: http://evil.example\r\n"), H403},
      {"null origin device edit", req(g, "/&device/@0a1b2c/rel/Evil", "Origin: null\r\n"), H403},
      {"cross-site schedule", req(g, "/&cron/005/sMTWTFs/07:30/@0a1b2c=100", "Sec-Fetch-Site: cross-site\r\n"), H403},
      {"cross-site upload", req(g, "/&save/kk", "Origin: http://evil.example\r\n", "POST", "evil"), H403},
      {"cross-site auth state", req(g, "/&auth?", "Sec-Fetch-Site: cross-site\r\n"), H403},
      {"padded cross-site radio", req(g, "/@0a1b2c=100" + PAD, CROSS), H403},
      {"padded cross-site delete", req(g, "/&device/@0a1b2c-" + PAD, CROSS), H403},
      {"headers past 4 KiB", req(g, "/&set/kk/evil", "X-Pad: " + PAD + "\r\n" + CROSS), H403},
      {"foreign referer", req(g, "/&set/kk/evil", "Referer: http://evil.example/page\r\n"), H403},
      {"rebound host name", "GET /&get/kk HTTP/1.1\r\nHost: evil.example:" + std::to_string(g.port) + "\r\n\r\n", H403},
      {"request line past 8 KiB", "GET /&set/kk/" + std::string(9000, 'x') + " HTTP/1.1\r\n", "HTTP/1.1 414 URI Too Long\r\n"},
      {"header block past 8 KiB", req(g, "/&set/kk/evil", "X-Pad: " + std::string(9000, 'x') + "\r\n"),
       "HTTP/1.1 431 Request Header Fields Too Large\r\n"},
      {"refused store keeps the value", req(g, "/&set/kk/%00"), H404},
      {"unsaved schedule edit", req(g, "/&cron/005/sMTWTFs/07:30/@0a1b2c=100"), H200 + "ERROR"},
      {"unsaved schedule delete", req(g, "/&cron/001-"), H200 + "ERROR"},
      {"page from another site", req(g, "/index.html", "Sec-Fetch-Site: cross-site\r\n"), H205 + "<p>hi</p>"},
      {"same origin", req(g, "/&get/kk", same), HVAL + "original"},
      {"allowed origin", req(g, "/&get/kk", "Origin: http://dash.example:8080\r\nSec-Fetch-Site: cross-site\r\n"),
       HVAL + "original"},
      {"no browser headers", req(g, "/&get/kk"), HVAL + "original"},
      {"no Host at all", "GET /&get/kk HTTP/1.0\r\n\r\n", HVAL + "original"},
      {"the machine's name", "GET /&get/kk HTTP/1.1\r\nHost: localhost\r\n\r\n", HVAL + "original"},
      {"no token set", req(g, "/&auth?"), H202 + "{\"auth\":\"off\"}"},
      {"preflight of an allowed origin", req(g, "/&get/kk", "Origin: http://dash.example:8080\r\n", "OPTIONS"),
       "HTTP/1.1 204 No Content\r\nAccess-Control-Allow-Origin: http://dash.example:8080\r\n"},
  });
  EXPECT_TRUE(g.wait_output("AUTH OFF: anyone on the network can control this gateway\n"));
  EXPECT_NE(g.get("/&health").find("\"auth\":\"off\""), std::string::npos);
  std::string crons = http_body(g.get("/&cron?"));  // the table as it was: 001 kept, 005 not added
  EXPECT_TRUE(crons.find("\"key\":\"001\"") != std::string::npos && crons.find("\"key\":\"005\"") == std::string::npos) << crons;
  // A store that succeeds leaves no temporary file a key could name.
  EXPECT_EQ(g.get("/&set/kk2/v"), H200 + "OK");
  int files = 0;
  for (const auto &e : std::filesystem::directory_iterator(g.dir + "/mem")) files += (int)e.is_regular_file();
  EXPECT_EQ(files, 2);
}

// The session cookie a login reply sets ("" when none).
std::string session_of(const std::string &reply) {
  size_t at = reply.find("Set-Cookie: orvel_session=");
  return at == std::string::npos ? "" : reply.substr(at + 26, reply.find(';', at) - at - 26);
}

// With a token: HTTP by bearer or by a session (the cookie with a sign of the
// gateway's own origin); raw by "auth"; sessions kept over a restart, and
// revoked by a logout or another token.
TEST(SecurityE2E, TokenGuardsHttpAndRaw) {
  Gateway g(with("TOKEN=" + TOKEN + "\n"));
  ASSERT_TRUE(g.modem().wait_connected());
  const std::string bearer = "Authorization: Bearer " + TOKEN + "\r\n";
  std::string login = g.request(req(g, "/&login", CROSS, "POST", "token=" + TOKEN));
  EXPECT_EQ(login, H403) << "a cross-site login";
  login = g.request(req(g, "/&login", "Content-Type: application/x-www-form-urlencoded\r\n", "POST", "token=" + TOKEN));
  const std::string id = session_of(login);
  ASSERT_EQ(id.size(), 32u) << login;
  EXPECT_EQ(login.find(TOKEN), std::string::npos) << "the cookie holds a session, never the token";
  const std::string cookie = "Cookie: a=1; orvel_session=" + id + "\r\n";
  const std::string here = "Origin: http://127.0.0.1:" + std::to_string(g.port) + "\r\n";
  expect_replies(g, {
      {"no token", req(g, "/&get/kk"), H401},
      {"wrong bearer", req(g, "/&get/kk", "Authorization: Bearer " + TOKEN + "x\r\n"), H401},
      {"bearer", req(g, "/&get/kk", bearer), HVAL + "original"},
      {"the token as a cookie", req(g, "/&get/kk", "Cookie: orvel_token=" + TOKEN + "\r\n"), H401},
      {"session alone (another port's page)", req(g, "/&get/kk", cookie), H401},
      {"session from a page elsewhere", req(g, "/&get/kk", cookie + "Sec-Fetch-Site: same-site\r\n"), H403},
      {"session and the dashboard's header", req(g, "/&get/kk", cookie + "X-Requested-With: orvel\r\n"),
       HVAL + "original"},
      {"session and its own origin", req(g, "/&get/kk", cookie + here), HVAL + "original"},
      {"session, same-origin fetch", req(g, "/&get/kk", cookie + "Sec-Fetch-Site: same-origin\r\n"), HVAL + "original"},
      {"a made-up session", req(g, "/&get/kk", "Cookie: orvel_session=" + std::string(32, 'a') + "\r\n" + here), H401},
      {"store without", req(g, "/&set/kk/evil"), H401},
      {"radio without", req(g, "/@0a1b2c=77"), H401},
      {"kill without", req(g, "/&kill"), H401},
      {"upload without", req(g, "/&save/kk", "", "POST", "evil"), H401},
      {"page", req(g, "/index.html"), H205 + "<p>hi</p>"},
      {"health is public", req(g, "/&health"), "HTTP/1.1 200 OK\r\n"},
      {"state without", req(g, "/&auth?"), H202 + "{\"auth\":\"required\"}"},
      {"state with", req(g, "/&auth?", bearer), H202 + "{\"auth\":\"ok\"}"},
      {"wrong login", req(g, "/&login", "", "POST", "token=nope"), H401},
  });
  // Credentials never reach the console, even with every debug switch on.
  for (const char *t : {"/&debug1", "/&httpdebug1"}) EXPECT_EQ(g.request(req(g, t, bearer)).substr(0, 15), "HTTP/1.1 200 OK");
  g.request(req(g, "/&login", cookie, "POST", "token=" + TOKEN));
  EXPECT_EQ(g.output().find(TOKEN), std::string::npos);
  EXPECT_EQ(g.output().find(id), std::string::npos);
  // Raw: nothing but "auth" until it succeeds; three wrong tries close.
  raw_dialogue(g, {{"ver\n", "ERR\n"}, {"@0a1b2c=77\n", "ERR\n"}, {"kill\n", "ERR\n"},
                   {"auth nope\n", "AUTH ERR\n"}, {"auth " + TOKEN + "\n", "AUTH OK\n"}, {"ver\n", "ORVEL V1.90\n"}},
               false);
  expect_state_unchanged(g);
  raw_dialogue(g, {{"auth a\n", "AUTH ERR\n"}, {"auth b\n", "AUTH ERR\n"}, {"auth c\n", "AUTH ERR\n"}}, true);
  // Authenticated, the raw protocol is what it always was.
  raw_dialogue(g, {{"auth " + TOKEN + "\r\n", "AUTH OK\n"}, {"@0a1b2c=77\n", "@OK\n"}}, false);
  EXPECT_TRUE(g.modem().next_write());
  // A connection that never gives the token holds no place for long.
  int idle = g.connect();
  EXPECT_TRUE(wait_closed(idle, 13000));
  close(idle);
  // The session outlives a restart (the file is private), not another token.
  const std::string sessions = g.read_file("sessions");
  EXPECT_EQ(std::filesystem::status(g.dir + "/sessions").permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  EXPECT_EQ(sessions.find(id), std::string::npos) << "only its hash is kept";
  for (const std::string &token : {TOKEN, TOKEN + "2"}) {
    Options o = with("TOKEN=" + token + "\n");
    o.files.push_back({"sessions", sessions});
    Gateway again(o);
    EXPECT_EQ(again.request(req(again, "/&get/kk", cookie + "X-Requested-With: x\r\n")),
              token == TOKEN ? HVAL + "original" : H401) << token;
  }
  // A logout revokes the session.
  EXPECT_NE(g.request(req(g, "/&logout", cookie)).find("orvel_session=; HttpOnly"), std::string::npos);
  EXPECT_EQ(g.request(req(g, "/&get/kk", cookie + here)), H401);
}

// Ten failures from one address lock it out: the right token is refused
// too, and the lock is logged once.
TEST(SecurityE2E, LockOutAfterTenFailures) {
  Gateway g(with("TOKEN=" + TOKEN + "\n"));
  const std::string bearer = "Authorization: Bearer " + TOKEN + "\r\n";
  raw_dialogue(g, {{"auth 1\n", "AUTH ERR\n"}, {"auth 2\n", "AUTH ERR\n"}, {"auth 3\n", "AUTH ERR\n"}}, true);
  for (int i = 0; i < 6; i++) EXPECT_EQ(g.request(req(g, "/&get/kk", "Authorization: Bearer x\r\n")), H401);
  EXPECT_EQ(g.request(req(g, "/&get/kk", bearer)), HVAL + "original");  // nine: still let in
  EXPECT_EQ(g.request(req(g, "/&login", "", "POST", "token=x")), H401);  // ten
  EXPECT_TRUE(g.wait_output("AUTH LOCKED 127.0.0.1"));
  EXPECT_EQ(g.request(req(g, "/&get/kk", bearer)), H401);
  EXPECT_EQ(g.request(req(g, "/&auth?", bearer)), H202 + "{\"auth\":\"required\"}");
  raw_dialogue(g, {{"auth " + TOKEN + "\n", "AUTH ERR\n"}, {"ver\n", "ERR\n"}}, false);
  EXPECT_EQ(g.request(req(g, "/&get/kk", "Authorization: Bearer x\r\n")), H401);
  // Addresses enough to fill the table, each locked by wrong tokens on
  // /&auth?, never free the first locked one.
  for (int host = 2; host < 36; host++)
    for (int i = 0; i < 10; i++) {
      int s = connect_from(g.port, host);
      send_all(s, req(g, "/&auth?", "Authorization: Bearer wrong\r\n"));
      EXPECT_EQ(recv_until_close(s, 3000), H202 + "{\"auth\":\"required\"}");
      close(s);
    }
  EXPECT_TRUE(g.wait_output("AUTH LOCKED every unknown address"));
  EXPECT_EQ(g.request(req(g, "/&get/kk", bearer)), H401);
  EXPECT_EQ(g.count_output("AUTH LOCKED 127.0.0.1 "), 1u);
}

// One client cannot take every place: an address holds at most MAXPERADDR
// connections, and event streams are capped by EVENTS_MAX.
TEST(SecurityE2E, BudgetsOfOneClient) {
  Gateway g(with("EVENTS_MAX=2\n"));
  std::vector<int> held;
  for (int i = 0; i < 16; i++) held.push_back(g.connect());
  int over = g.connect();
  EXPECT_TRUE(wait_closed(over, 2000)) << "a 17th connection from one address";
  close(over);
  int other = connect_from(g.port, 2);
  send_all(other, req(g, "/&get/kk"));
  EXPECT_EQ(recv_until_close(other, 3000), HVAL + "original") << "another address is served";
  close(other);
  for (int s : held) close(s);
  // One stream at a time: requests that arrive in one pass are served in
  // slot order, not in the order they were sent.
  std::vector<int> streams;
  for (int host = 3; host < 6; host++) {
    streams.push_back(connect_from(g.port, host));
    send_all(streams.back(), req(g, "/&events"));
    if (host < 5) {
      EXPECT_EQ(recv_until(streams.back(), "retry", 3000).substr(0, 15), "HTTP/1.1 200 OK");
    }
  }
  EXPECT_EQ(recv_until_close(streams[2], 3000).substr(0, 32), "HTTP/1.1 503 Service Unavailable");
  for (int s : streams) close(s);
}

// Settings that must stop the start with a clear message and exit code 1,
// and BIND that is honoured.
TEST(SecurityE2E, SettingsCheckedAtStart) {
  const struct { const char *settings, *message; } rows[] = {
      {"TOKEN=short\n", "TOKEN must be at least 16 characters long (it has 5)"},
      {"TOKEN=0123456789 abcdef\n", "TOKEN may hold no blank or control character"},
      {"BIND=localhost\n", "BIND=localhost is not an IPv4 address"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.settings);
    Options o;
    o.settings = r.settings;
    o.modem = false;
    o.wait_listening = false;
    Gateway g(o);
    EXPECT_EQ(g.wait_exit(), 1);
    EXPECT_TRUE(g.wait_output(r.message, 3000)) << g.output();
  }
  Options o;
  o.settings = "BIND=127.0.0.1\n";
  o.modem = false;
  Gateway g(o);
  char want[48];
  snprintf(want, sizeof want, ": 0100007F:%04X 00000000:0000 0A", g.port);  // listening on loopback only
  std::ifstream tcp("/proc/net/tcp");
  std::string all((std::istreambuf_iterator<char>(tcp)), std::istreambuf_iterator<char>());
  EXPECT_NE(all.find(want), std::string::npos);
  EXPECT_EQ(http_body(g.get("/&auth?")), "{\"auth\":\"off\"}");
  // A later setting's line is its own, ';' and setting names included.
  Options t;
  t.settings = "TOKEN=0123456789abcdef;PORT=1\n";
  t.modem = false;
  Gateway tok(t);
  EXPECT_EQ(http_body(tok.get("/&auth?")), "{\"auth\":\"required\"}");
}
