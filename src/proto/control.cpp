// The control routes (see control.h), one row each in the route table.
#include "proto/control.h"

#include <cstdio>
#include <cstdlib>
#include <sys/socket.h>

#include "core/flags.h"
#include "core/logs.h"
#include "core/text.h"
#include "core/version.h"
#include "net/http_reply.h"
#include "net/router.h"
#include "net/socket.h"
#include "radio/modem.h"
#include "radio/transmit.h"

namespace {

route_verdict reply_text(http_req &req, const char *body) {
  http_reply(req.sock, 200, body);
  return ROUTE_CLOSE;
}

route_verdict route_kill(http_req &req) {
  sys_log("&kill");
  http_reply(req.sock, 200, "Stopping Server...bye!\n");
  soc_flush(req.sock);
  shutdown((int)req.sock, SHUT_RDWR);
  fflush(stdout);
  exit(0);
}

route_verdict route_version(http_req &req) {
  http_reply(req.sock, 200, ORVEL_BANNER);
  soc_msg(req.sock, usb_version);
  return ROUTE_CLOSE;
}

route_verdict route_usb(http_req &req) { return reply_text(req, usb_handle ? "USB:OK\n" : "USB:NONE\n"); }

route_verdict route_usb0(http_req &req) {
  usb_forget();
  return reply_text(req, "USB NULL\n");
}

route_verdict route_led(http_req &req) { return reply_text(req, usb_led(req.target + 4) ? "LED:OK\n" : "LED:ER\n"); }

route_verdict route_root(http_req &req) {
  root = req.target[5] == '1';
  return reply_text(req, root ? "Root Mode\n" : "Root Mode Off\n");
}

route_verdict route_debug(http_req &req) {
  debug_mode = req.target[6] == '1';
  fputs(debug_mode ? "DEBUG ON" : "DEBUG OFF", stdout);
  return reply_text(req, debug_mode ? "Debug ON\n" : "Debug OFF\n");
}

route_verdict route_filter(http_req &req) {
  gfilter = req.target[7] == '1';
  return reply_text(req, gfilter ? "Filter ON\n" : "Filter OFF\n");
}

route_verdict route_httpdebug(http_req &req) {
  http_debug = req.target[10] != '0';
  return reply_text(req, http_debug ? "HTTP DEBUG ON\n" : "HTTP DEBUG OFF\n");
}

constexpr uint8_t ANY = HTTP_GET | HTTP_POST;

const route_row CONTROL_ROUTES[] = {
    {"&kill", MATCH_WORD, ANY, DOOR_TOKEN, "control", route_kill},
    {"&version?", MATCH_WORD, ANY, DOOR_TOKEN, "control", route_version},
    {"&usb?", MATCH_WORD, ANY, DOOR_TOKEN, "control", route_usb},
    {"&ip?", MATCH_WORD, ANY, DOOR_TOKEN, "control", route_usb},
    {"&usb0", MATCH_WORD, ANY, DOOR_TOKEN, "control", route_usb0},
    {"&led=", MATCH_PREFIX, ANY, DOOR_TOKEN, "control", route_led},
    {"&root1", MATCH_WORD, ANY, DOOR_TOKEN, "control", route_root},
    {"&root0", MATCH_WORD, ANY, DOOR_TOKEN, "control", route_root},
    {"&debug1", MATCH_WORD, ANY, DOOR_TOKEN, "control", route_debug},
    {"&debug0", MATCH_WORD, ANY, DOOR_TOKEN, "control", route_debug},
    {"&filter0", MATCH_WORD, ANY, DOOR_TOKEN, "control", route_filter},
    {"&filter1", MATCH_WORD, ANY, DOOR_TOKEN, "control", route_filter},
    {"&httpdebug", MATCH_PREFIX, ANY, DOOR_TOKEN, "control", route_httpdebug},
};

}  // namespace

void control_start() {
  for (const auto &row : CONTROL_ROUTES) route_add(row);
}
