// The message dispatcher and the raw line protocol. '$' lines drive the
// modem LED, '@' lines are radio commands, "GET "/"POST " go to the HTTP
// router, and a few words manage the connection. Raw commands keep their
// connection open.
#include "proto/dispatch.h"

#include <cstdio>
#include <cstdlib>

#include "core/flags.h"
#include "core/text.h"
#include "core/version.h"
#include "net/router.h"
#include "net/socket.h"
#include "proto/control.h"
#include "proto/listeners.h"
#include "proto/waits.h"
#include "radio/modem.h"
#include "radio/transmit.h"

static bool raw_word(uint32_t sock, const char *msg) {
  if (str_eq(msg, "ver")) {
    soc_msg(sock, ORVEL_BANNER);
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

bool soc_got_msg(uint32_t sock, char *msg, size_t len) {
  if (http_debug) dbug(msg);
  switch (msg[0]) {
    case '$':
      soc_msg(sock, usb_led(msg) ? "$OK\n" : "$ERR\n");
      return true;
    case '@':
      soc_msg(sock, usb_rf_tx(msg, TX_RAW) == RF_TX_BAD ? "@ERR\n" : "@OK\n");
      return true;
    case 'G':
    case 'P':
      if (str_begin(msg, "GET") || str_begin(msg, "POST")) return HTTP_req(sock, msg, len);
      break;
  }
  return raw_word(sock, msg);
}

void proto_start() {
  socket_handler_set(soc_got_msg);
  listeners_start();
  waits_start();
  control_start();
}
