// Fuzz target: the message dispatcher (raw protocol and HTTP router) driven
// through sequences of client messages, radio packets, ticks and modem
// removals on up to 16 connections, each a real socketpair so that the
// gateway's own close lands on a harmless descriptor.
//
// Input: records separated by NUL bytes. The first byte of a record says
// what it is:
//   '0'-'9','a'-'f'  the rest is one received message on connection 0-15
//                    (any other byte: connection byte % 16)
//   'P'              the rest is hex for packet bytes 1..64 (byte 0 = 1)
//   'T'              one tick: duplicate window, waits, scheduler run
//   'M'              three more bytes: weekday, hour, minute for the
//                    scheduler's minute check
//   'U' / 'R'        modem unplugged / plugged again
//   'C' + digit      the client of that connection hangs up
//   'X' + digit      sends to that connection fail from now on
//
// Properties, checked after every record and at the end:
//   - a handle is sent to only while it is an open connection;
//   - the connection table holds exactly the open connections, and at most
//     ten of them are parked;
//   - an HTTP message ends its connection at once, parks it, starts an
//     upload that receives the rest of its body, or makes it an event stream
//     (which may also have closed it on a failed send);
//   - a handle is closed only at the pass's close point;
//   - every HTTP reply has one status line, a header end, and a JSON body
//     whenever its header says JSON (parked replies included: at the end
//     every wait is answered by the ticks and a modem removal); left out are
//     connections whose client hung up, whose sends failed, or that also
//     registered as raw listeners (their "USB0"/packet lines share the
//     stream by the client's own choice);
//   - no file is created outside the working directory (fuzz_support).
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/wire.h"
#include "core/clock.h"
#include "core/hooks.h"
#include "core/settings.h"
#include "core/text.h"
#include "fuzz_support.h"
#include "net/conn.h"
#include "net/socket.h"
#include "proto/waits.h"
#include "radio/modem.h"
#include "radio/packet.h"
#include "sched/cron.h"

namespace {

constexpr int CONNS = 16;

struct Conn {
  int fd = -1;     // the gateway's end
  int peer = -1;   // the client's end
  bool broken = false;
  bool hung_up = false;    // the client left: a reply may be cut short
  bool listened = false;   // a raw listener too: its notices share the stream
  bool http = false;       // an HTTP request was dispatched on it
  size_t http_start = 0;   // where its reply starts in `out`
  std::string out;         // everything the gateway sent on it
  std::string request;     // the HTTP request, for the report
};

Conn conns[CONNS];

Conn *conn_of(uint32_t fd) {
  for (Conn &c : conns)
    if (c.fd == (int)fd) return &c;
  return nullptr;
}

bool capture(uint32_t sock, const void *data, size_t len) {
  Conn *c = conn_of(sock);
  if (!c) fuzz::fail("send to a handle that is no open connection", std::to_string(sock));
  if (c->broken) return false;
  c->out.append((const char *)data, len);
  return true;
}

bool fd_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

// The reply of a finished HTTP request.
void reply_check(const Conn &c) {
  if (!c.http || c.broken || c.hung_up || c.listened) return;
  std::string r = c.out.substr(c.http_start);
  static const bool trace = getenv("ORVEL_FUZZ_TRACE") != nullptr;
  if (trace) fprintf(stderr, "--- %s\n%s\n", c.request.substr(0, c.request.find('\r')).c_str(), r.c_str());
  if (r.empty()) return;  // refused without a reply (no route, failed upload)
  // "HTTP/1.1 NNN Reason\r\n"
  bool line = r.rfind("HTTP/1.1 ", 0) == 0 && r.size() > 13 && isdigit((unsigned char)r[9]) &&
              isdigit((unsigned char)r[10]) && isdigit((unsigned char)r[11]) && r[12] == ' ' &&
              r.find("\r\n") < r.find('\n') + 1;
  if (!line) fuzz::fail("reply without a status line", c.request + "\n---\n" + r);
  size_t end = r.find("\r\n\r\n");
  if (end == std::string::npos) fuzz::fail("reply without a header end", c.request + "\n---\n" + r);
  std::string head = r.substr(0, end + 4), body = r.substr(end + 4);
  if (body.find("HTTP/1.1 ") != std::string::npos)
    fuzz::fail("two replies on one request", c.request + "\n---\n" + r);
  if (head.find("Content-type: application/json") != std::string::npos ||
      head.find("Content-Type: application/json") != std::string::npos) {
    std::string why;
    if (!fuzz::json_valid(body, &why)) fuzz::fail(("JSON reply does not parse: " + why).c_str(), c.request + "\n---\n" + body);
  }
}

void conn_forget(Conn &c) {
  reply_check(c);
  if (c.peer >= 0) close(c.peer);
  c = Conn{};
}

Conn &conn_new(int i) {
  Conn &c = conns[i];
  if (c.fd >= 0) return c;
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) fuzz::fail("socketpair");
  // The client never sends more than the records say: an upload that waits
  // for the rest of its body sees the end at once instead of waiting.
  shutdown(sv[1], SHUT_WR);
  c.fd = sv[0];
  c.peer = sv[1];
  if (!socket_adopt(c.fd, 0)) fuzz::fail("the connection table refused a connection");
  return c;
}

// The pass's close point, then the connections the gateway closed there.
void conns_reap() {
  for (Conn &c : conns)
    if (c.fd >= 0 && !fd_open(c.fd)) fuzz::fail("a handle was closed before the close point");
  socket_reap();
  for (Conn &c : conns)
    if (c.fd >= 0 && !fd_open(c.fd)) {
      if (conn_find(c.fd)) fuzz::fail("closed handle left in the connection table");
      conn_forget(c);
    }
}

void tables_check() {
  int live = 0;
  for (Conn &c : conns) live += c.fd >= 0;
  if (conn_count() != live) fuzz::fail("connection table count");
  for (int i = 0; i < CONN_MAX; i++) {
    const conn_rec *r = conn_at(i);
    if (!r) continue;
    Conn *c = conn_of((uint32_t)r->fd);
    if (!c) fuzz::fail("the connection table holds a handle that is no open connection");
    if (r->roles & ROLE_LISTENER) c->listened = true;
  }
  if (conn_count_role(ROLE_WAIT | ROLE_LONGPOLL) > HTTP_CON_MAX) fuzz::fail("more than ten parked requests");
}

// Messages that would end the process are left out.
bool ends_process(const char *msg) { return str_eq(msg, "kill") || strstr(msg, "&kill"); }

void message(int i, const char *bytes, size_t n) {
  if (n > (size_t)RX_BUF - 1) n = RX_BUF - 1;
  std::string m(bytes, n);
  if (ends_process(m.c_str())) return;
  Conn &c = conn_new(i);
  int fd = c.fd;
  const conn_rec *r = conn_find(fd);
  if (!r || r->closing) return;  // nothing more is read from a closing connection
  // What arrives on an upload's connection goes to the upload, which reads
  // the socket itself: here it finds the client's end.
  if (r->roles & ROLE_UPLOAD) return socket_receive((uint32_t)fd);
  if (r->roles & ROLES_PARKED) return;  // the server ignores it
  bool is_http = str_begin(m.c_str(), "GET") || str_begin(m.c_str(), "POST");
  if (is_http) {
    c.http = true;
    c.http_start = c.out.size();
    c.request = m;
  }
  // Exactly as long as the message, so a read past its NUL is caught; an
  // upload reuses the receive buffer and gets a whole one.
  size_t cap = str_begin(m.c_str(), "POST") ? (size_t)RX_BUF : n + 1;
  std::vector<char> buf(cap, 0);
  memcpy(buf.data(), m.data(), n);
  socket_deliver((uint32_t)fd, buf.data(), n);
  r = conn_find(fd);
  constexpr uint16_t OPEN_ROLES = ROLE_WAIT | ROLE_LONGPOLL | ROLE_STREAM | ROLE_UPLOAD;
  if (is_http && r && !r->closing && !(r->roles & OPEN_ROLES))
    fuzz::fail("an HTTP request left its connection open without parking it", m);
}

int hexval(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

void packet(const char *hex, size_t n) {
  uint8_t report[65] = {1};
  for (size_t i = 0; i + 1 < n && i / 2 < 64; i += 2) report[1 + i / 2] = (uint8_t)(hexval(hex[i]) * 16 + hexval(hex[i + 1]));
  rf_got_packet(report);
}

// One tick of the loop: every subsystem's timed work.
void tick() {
  fuzz::now_ms += 1000;
  hook_tick.run(clock_wall());
}

// '0'-'9' and 'a'-'f' name connections 0-15; any other byte its value % 16.
int conn_index(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return (uint8_t)c % CONNS;
}

int fake_modem;

void record(const char *r, size_t n) {
  if (n == 0) return;
  char op = r[0];
  int digit = n > 1 ? conn_index(r[1]) : 0;
  switch (op) {
    case 'P': packet(r + 1, n - 1); return;
    case 'T': tick(); return;
    case 'M': {
      struct tm t = {};
      t.tm_wday = n > 1 ? (uint8_t)r[1] % 7 : 0;
      t.tm_hour = n > 2 ? (uint8_t)r[2] % 24 : 0;
      t.tm_min = n > 3 ? (uint8_t)r[3] % 60 : 0;
      cron_at(&t);
      return;
    }
    case 'U':
      if (usb_handle) usb_lost();
      return;
    case 'R':
      if (!usb_handle) usb_opened(reinterpret_cast<hid_device *>(&fake_modem), L"");
      return;
    case 'C':
      if (conns[digit].fd >= 0) {
        conns[digit].hung_up = true;
        conn_close(conns[digit].fd, CLOSE_PEER);  // recv() saw the end
      }
      return;
    case 'X':
      if (conns[digit].fd >= 0) conns[digit].broken = true;
      return;
  }
  message(conn_index(op), r + 1, n - 1);
}

void state_reset() {
  for (Conn &c : conns)
    if (c.fd >= 0) conn_close(c.fd, CLOSE_DONE);
  conns_reap();
  house_reset();
  if (!house_wire()) fuzz::fail("the house does not start");
  clock_ms_source = fuzz::clock_ms;
  soc_send_hook = capture;
  syslogs = 1;
  pac_log = 1;
  usb_opened(reinterpret_cast<hid_device *>(&fake_modem), L"");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::scratch_enter("dispatch");
  state_reset();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const char *p = (const char *)data, *end = p + size;
  while (p < end) {
    const char *nul = (const char *)memchr(p, 0, (size_t)(end - p));
    const char *stop = nul ? nul : end;
    record(p, (size_t)(stop - p));
    conns_reap();
    tables_check();
    p = stop + 1;
  }
  // Every wait is answered: two ticks end the reply waits, a removal the
  // long-polls.
  tick();
  tick();
  if (usb_handle) usb_lost();
  conns_reap();
  if (conn_count_role(ROLE_WAIT | ROLE_LONGPOLL)) fuzz::fail("a wait was never answered");
  state_reset();
  fuzz::scratch_check_and_clean();
  return 0;
}
