// The message dispatcher and the raw line protocol. '$' lines drive the
// modem LED, '@' lines are radio commands, "GET"/"POST" go to HTTP, and a few
// words manage the connection. Raw commands keep their connection open.
#include "net/dispatch.h"

#include <cstdio>
#include <cstdlib>

#include "auth/auth.h"
#include "core/flags.h"
#include "core/sinks.h"
#include "core/text.h"
#include "events/stream.h"
#include "metrics/metrics.h"
#include "net/listeners.h"
#include "net/router.h"
#include "net/socket.h"
#include "net/upload.h"
#include "net/waits.h"
#include "radio/modem.h"
#include "radio/transmit.h"

static const char BANNER[] = "ORVEL V1.90";

static bool raw_word(uint32_t sock, const char *msg) {
  if (str_eq(msg, "ver")) {
    soc_msg(sock, BANNER);
    soc_msg(sock, "\n");
    soc_msg(sock, usb_version);
    soc_msg(sock, "\n");
  } else if (str_eq(msg, "&listen")) {
    listen_add(sock);
    soc_msg(sock, "&OK\n");
    soc_msg(sock, usb_handle ? "USB1\n" : "USB0\n");
  } else if (str_eq(msg, "debug1")) {
    soc_msg(sock, "Debug ON\n");
    debug_mode = 1;
    puts("Debug ON");
  } else if (str_eq(msg, "debug0")) {
    soc_msg(sock, "Debug OFF\n");
    debug_mode = 0;
    puts("Debug OFF");
  } else if (str_eq(msg, "exit")) {
    printf("Socket Close %d\n", (int)sock);
    return false;
  } else if (str_eq(msg, "kill")) {
    printf("Bye");
    fflush(stdout);
    exit(0);
  } else {
    soc_msg(sock, "ERR\n");
  }
  return true;
}

bool soc_got_msg(uint32_t sock, char *msg) {
  // A parked HTTP request owns its connection until its answer: whatever
  // else arrives there (the rest of a split request) is not a new message.
  // The same holds for an event stream, which owns its connection for good.
  if (http_con_has(sock) || stream_has(sock)) return true;
  auth_verdict door = auth_msg(sock, msg);  // before the debug echo: "auth" lines carry the token
  if (door != AUTH_PASS) return door == AUTH_KEEP;
  if (http_debug) dbug(msg);
  switch (msg[0]) {
    case '$':
      soc_msg(sock, usb_led(msg) ? "$OK\n" : "$ERR\n");
      return true;
    case '@': {
      uint8_t result = usb_rf_tx(msg);
      if (rf_tx_sent(result)) sinks_tx(TX_RAW);
      soc_msg(sock, result == RF_TX_BAD ? "@ERR\n" : "@OK\n");
      return true;
    }
    case 'G':
      if (msg[1] == 'E' && msg[2] == 'T') return HTTP_req(sock, msg);
      break;
    case 'P':
      if (msg[1] == 'O' && msg[2] == 'S' && msg[3] == 'T') {
        if (msg[4] && msg[5] && str_begin(msg + 6, "&save/")) {
          metrics_http_request("&save/");
          return upload_begin(sock, msg);
        }
        return HTTP_req(sock, msg + 1);
      }
      break;
  }
  return raw_word(sock, msg);
}
