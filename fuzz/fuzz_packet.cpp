// Fuzz target: the packet dispatcher rf_got_packet and the radio event
// builder pac_json over arbitrary 65-byte reports.
//
// Input: byte 0 flags (bit 0 root mode, bit 1 duplicate filter off, bit 2
// a wait parked for the first packet's device), then any number of 64-byte
// packets (report bytes 1..64; byte 0 is always 1, the radio packet kind).
// The protocol layer and the device cache are wired (the packet's
// hand-offs that answer clients); the device table holds a few devices, a
// raw listener and a long-poll wait are registered.
//
// Properties, per packet:
//   - pac_json writes one JSON object that parses, with the members id,
//     cmd, data and rssi, shorter than EVENT_SIZE, and the id is the packet's;
//   - the dotted hex text form (lengths 8..63, the ones dispatched) is at
//     most 130 characters and says exactly the packet's bytes;
//   - a listener receives either nothing or exactly that text and "\n";
//     a long-poll or matching wait receives a parsing JSON event;
//   - a packet whose length byte is outside 8..63 reaches nobody;
//   - every field of every device record stays terminated inside its width.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "core/clock.h"
#include "core/flags.h"
#include "core/loop.h"
#include "decode/event.h"
#include "devices/device_list.h"
#include "fuzz_support.h"
#include "net/conn.h"
#include "net/net.h"
#include "net/socket.h"
#include "proto/dispatch.h"
#include "proto/listeners.h"
#include "proto/waits.h"
#include "radio/modem.h"
#include "radio/packet.h"
#include "radio/transmit.h"
#include "sched/cron.h"

namespace {

int listener_fd = -1, comet_fd = -1, wait_fd = -1;
std::string listener_out, comet_out, wait_out;

bool capture(uint32_t sock, const void *data, size_t len) {
  if ((int)sock == listener_fd) listener_out.append((const char *)data, len);
  else if ((int)sock == comet_fd) comet_out.append((const char *)data, len);
  else if ((int)sock == wait_fd) wait_out.append((const char *)data, len);
  else fuzz::fail("send to an unknown handle", std::to_string(sock));
  return true;
}

// A client connection of the gateway's table; its peer is gone at once.
int conn_new() {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) fuzz::fail("socketpair");
  close(sv[1]);
  if (!socket_adopt(sv[0], 0)) fuzz::fail("the connection table refused a connection");
  return sv[0];
}

std::string text_form(const uint8_t *p) {
  char b[32];
  std::string s;
  snprintf(b, sizeof b, "@%02x%02x%02x.%02x.%02x.%02x.", p[2], p[3], p[4], p[5], p[6], p[7]);
  s = b;
  for (int i = 8; i < p[1]; i++) {
    snprintf(b, sizeof b, "%02x", p[i]);
    s += b;
  }
  snprintf(b, sizeof b, ".%02x", p[p[1]]);
  return s + b;
}

void json_check(const std::string &what, const std::string &text, const uint8_t *p) {
  std::string why;
  if (!fuzz::json_valid(text, &why)) fuzz::fail((what + " does not parse: " + why).c_str(), text);
  char id[16];
  snprintf(id, sizeof id, "{\"id\":\"@%02x%02x%02x\",", p[2], p[3], p[4]);
  if (text.rfind(id, 0) != 0 || text.find("\",\"cmd\":\"") == std::string::npos ||
      text.find("\",\"data\":\"") == std::string::npos || text.find("\",\"rssi\":\"") == std::string::npos)
    fuzz::fail((what + " lacks a member").c_str(), text);
}

void fields_check() {
  for (int i = 0; i <= DEV_MAX; i++) {
    const dev_rec &d = dev_list[i];
    if (!memchr(d.id, 0, sizeof d.id) || !memchr(d.type, 0, sizeof d.type) || !memchr(d.name, 0, sizeof d.name) ||
        !memchr(d.val, 0, sizeof d.val) || !memchr(d.time, 0, sizeof d.time) || !memchr(d.rssi, 0, sizeof d.rssi))
      fuzz::fail("a device field is not terminated", std::to_string(i));
  }
}

void one(const uint8_t *bytes) {
  uint8_t p[65] = {1};
  memcpy(p + 1, bytes, 64);

  char *event = new char[EVENT_SIZE];  // exactly the promised size
  memset(event, 0, EVENT_SIZE);
  pac_json(p, event);
  size_t n = strnlen(event, EVENT_SIZE);
  if (n >= (size_t)EVENT_SIZE) fuzz::fail("event does not fit its buffer");
  json_check("event", std::string(event, n), p);
  delete[] event;

  uint8_t len = p[1];
  bool in_range = len >= 8 && len <= 63;
  std::string expect;
  if (in_range) {
    char text[131];
    memset(text, 0x55, sizeof text);
    pac_to_str(p, text);
    size_t tl = strnlen(text, sizeof text);
    if (tl > 130) fuzz::fail("text form longer than 130 characters");
    expect = text_form(p);
    if (expect != text) fuzz::fail("text form does not say the packet's bytes", std::string(text) + " != " + expect);
  }

  listener_out.clear();
  comet_out.clear();
  wait_out.clear();
  if (comet_fd < 0) {
    comet_fd = conn_new();
    comet_add((uint32_t)comet_fd);
  }
  rf_got_packet(p);
  socket_reap();
  if (!in_range && (!listener_out.empty() || !comet_out.empty() || !wait_out.empty()))
    fuzz::fail("a packet of a bad length was dispatched");
  if (!listener_out.empty() && listener_out != expect + "\n")
    fuzz::fail("listener got something other than the text form", listener_out);
  if (!comet_out.empty()) {
    json_check("long-poll event", comet_out, p);
    if (conn_find(comet_fd)) fuzz::fail("answered long-poll still open");
    comet_fd = -1;  // closed by the gateway
  }
  if (!wait_out.empty()) {
    json_check("wait answer", wait_out, p);
    if (conn_find(wait_fd)) fuzz::fail("answered wait still open");
    wait_fd = -1;
  }
  if (!listener_out.empty() != !comet_out.empty()) fuzz::fail("listener and long-poll disagree on a packet");
  fields_check();
}

void state_reset() {
  for (int i = 0; i < CONN_MAX; i++)
    if (const conn_rec *c = conn_at(i)) conn_close(c->fd, CLOSE_DONE);
  socket_reap();
  listener_fd = comet_fd = wait_fd = -1;
  core_reset();
  decode_reset();
  radio_reset();
  net_reset();
  device_list_reset();
  cron_reset();
  proto_start();
  devices_start();
  clock_ms_source = fuzz::clock_ms;
  soc_send_hook = capture;
  static const char *const ids[] = {"0a1b2c", "0d0e01", "0d0e02", "112233", "44556a"};
  static const char *const types[] = {"rel", "dim", "dim", "led", "tmp"};
  for (int i = 0; i < 5; i++) {
    strcpy(dev_list[i].id, ids[i]);
    strcpy(dev_list[i].type, types[i]);
    snprintf(dev_list[i].name, sizeof dev_list[i].name, "Device %d", i);
  }
  listener_fd = conn_new();
  listen_add((uint32_t)listener_fd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::scratch_enter("packet");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  state_reset();
  root = data[0] & 1;
  gfilter = (data[0] & 2) ? 0 : 1;
  if ((data[0] & 4) && size >= 1 + 7) {
    // A reply wait for the first packet's device and command.
    last_tx = {{data[2], data[3], data[4]}, data[7]};
    wait_fd = conn_new();
    http_con_reg((uint32_t)wait_fd);
  }
  for (size_t off = 1; off + 64 <= size; off += 64) {
    one(data + off);
    fuzz::now_ms += 100;  // one pass of the main loop
  }
  state_reset();
  return 0;
}
