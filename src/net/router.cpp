// The HTTP request router. It looks only at the request target (from the
// character after "GET /"), tests it against the routes in a fixed order, and
// either answers at once, hands it to the feature that owns it, switches a
// flag, or parks the connection until a radio answer arrives.
#include "net/router.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>

#include "auth/auth.h"
#include "core/flags.h"
#include "core/logs.h"
#include "core/sinks.h"
#include "core/text.h"
#include "devices/device_list.h"
#include "home/home.h"
#include "events/stream.h"
#include "metrics/metrics.h"
#include "net/http_reply.h"
#include "net/logview.h"
#include "net/memstore.h"
#include "net/socket.h"
#include "net/static_files.h"
#include "net/waits.h"
#include "radio/modem.h"
#include "radio/transmit.h"
#include "sched/cron.h"

static const char OK_OBJECT[] = "{\"id\":\"\",\"cmd\":\"OK\",\"data\":\"\",\"rssi\":\"\"}";

static bool reply_error(uint32_t sock, const char *msg) {
  char body[128];
  jerror(body, sizeof body, msg);
  http_reply(sock, 202, body);
  return false;
}

// Route 1: a radio command, answered by its result code.
static bool route_radio(uint32_t sock, const char *route) {
  uint8_t sent = usb_rf_tx(route);
  if (rf_tx_sent(sent)) sinks_tx(TX_HTTP);
  int8_t result = (int8_t)sent;
  if (result == 2) {
    http_reply(sock, 202, OK_OBJECT);
    return false;
  }
  if (result == 0) return reply_error(sock, "BAD DATA");
  if (result == -1) return reply_error(sock, "USB MODEM NOT CONNECTED");
  if (!http_con_reg(sock)) return reply_error(sock, "TOO MANY CONNECTIONS");
  http_reply(sock, 202, "");
  return true;
}

static bool route_static(uint32_t sock, char *request) {
  if (!http_serve_file(sock, request + 4)) {
    dbug("404 Not Found");
    http_reply(sock, 404, "");
  }
  return false;
}

static bool reply_text(uint32_t sock, const char *body) {
  http_reply(sock, 200, body);
  return false;
}

// True when the target is exactly `name`, or `name` and a query.
static bool route_is(const char *t, const char *name, size_t n) {
  return strncmp(t, name, n) == 0 && (t[n] == ' ' || t[n] == '?' || t[n] == 0);
}

// The routes that begin with '&' (rows 5 to 23), and the event stream,
// metrics and health.
static bool route_amp(uint32_t sock, char *request, char *t) {
  if (home_http(sock, t)) return false;
  if (route_is(t, "&events", 7)) return stream_open(sock, request, t);
  if (route_is(t, "&metrics", 8)) return metrics_http(sock);
  if (route_is(t, "&health", 7)) return health_http(sock);
  if (str_begin(t, "&listen")) {
    if (!comet_add(sock)) return reply_error(sock, "ERROR: Sockets Full\n");
    http_reply(sock, 202, "");
    return true;
  }
  if (str_begin(t, "&set/") || str_begin(t, "&get/")) {
    if (!memcache(sock, t)) http_reply(sock, 404, "");
    return false;
  }
  if (str_begin(t, "&device")) {
    if (t[7] == '/') {
      device_list_http(sock, t);
      device_list_load();
    } else {
      device_list_get(sock);
    }
    return false;
  }
  if (str_begin(t, "&log")) {
    if (!logging(sock, t)) http_reply(sock, 404, "");
    return false;
  }
  if (str_begin(t, "&cron")) {
    if (!cron_http(sock, t)) http_reply(sock, 200, "ERROR");
    return false;
  }
  if (str_eq(t, "&kill")) {
    sys_log("&kill");
    http_reply(sock, 200, "Stopping Server...bye!\n");
    soc_flush(sock);
    shutdown((int)sock, SHUT_RDWR);
    fflush(stdout);
    exit(0);
  }
  if (str_eq(t, "&version?")) {
    http_reply(sock, 200, "ORVEL V1.90");
    soc_msg(sock, usb_version);
    return false;
  }
  if (str_eq(t, "&usb?") || str_eq(t, "&ip?")) return reply_text(sock, usb_handle ? "USB:OK\n" : "USB:NONE\n");
  if (str_eq(t, "&usb0")) {
    usb_forget();
    return reply_text(sock, "USB NULL\n");
  }
  if (str_begin(t, "&led=")) return reply_text(sock, usb_led(t + 4) ? "LED:OK\n" : "LED:ER\n");
  if (str_eq(t, "&root1")) { root = 1; return reply_text(sock, "Root Mode\n"); }
  if (str_eq(t, "&root0")) { root = 0; return reply_text(sock, "Root Mode Off\n"); }
  if (str_eq(t, "&debug1")) {
    debug_mode = 1;
    printf("DEBUG ON");
    return reply_text(sock, "Debug ON\n");
  }
  if (str_eq(t, "&debug0")) {
    debug_mode = 0;
    printf("DEBUG OFF");
    return reply_text(sock, "Debug OFF\n");
  }
  if (str_eq(t, "&filter0")) { gfilter = 0; return reply_text(sock, "Filter OFF\n"); }
  if (str_eq(t, "&filter1")) { gfilter = 1; return reply_text(sock, "Filter ON\n"); }
  if (str_begin(t, "&httpdebug")) {
    http_debug = t[10] != '0';
    return reply_text(sock, http_debug ? "HTTP DEBUG ON\n" : "HTTP DEBUG OFF\n");
  }
  return route_static(sock, request);
}

bool HTTP_req(uint32_t sock, char *request) {
  if (request[3] != ' ' || request[4] != '/') return false;
  if (!auth_http(sock, request)) return false;  // refused, or an authentication route
  char *t = request + 5;
  metrics_http_request(t);
  if (t[0] == '@') return route_radio(sock, t);
  if (t[0] == '/') {
    http_reply(sock, 404, "this will proxy");
    return false;
  }
  if (str_begin(t, "_set/") || str_begin(t, "_get/")) {
    if (!memcache(sock, t)) http_reply(sock, 404, "");
    return false;
  }
  if (t[0] != '&') return route_static(sock, request);
  return route_amp(sock, request, t);
}
