// The message dispatcher and the raw line protocol. '$' lines drive the
// modem LED, '@' lines are radio commands, "GET "/"POST " go to the HTTP
// router, and a few words manage the connection. Raw commands keep their
// connection open.
#include "proto/dispatch.h"

#include <cstdio>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

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
    if (!listen_add(sock)) {
      soc_msg(sock, "&ERR LISTENERS FULL\n");
      return true;
    }
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

// The echo of a received message ("&httpdebug1") with its credentials
// blanked: the value of an Authorization or Cookie line and of a form's
// token field.
static void debug_echo(const char *msg, size_t len) {
  std::string m(msg, len);
  std::string lower = m;
  for (char &c : lower) c = (char)tolower((unsigned char)c);
  static const char *const MARKS[] = {"authorization:", "cookie:", "token="};
  for (const char *mark : MARKS)
    for (size_t at = lower.find(mark); at != std::string::npos; at = lower.find(mark, at + 1)) {
      size_t from = at + strlen(mark), to = m.find_first_of(mark[strlen(mark) - 1] == '=' ? "&\r\n " : "\r\n", from);
      if (to == std::string::npos) to = m.size();
      m.replace(from, to - from, std::string(to - from, '*'));
    }
  dbug(m.c_str());
}

bool soc_got_msg(uint32_t sock, char *msg, size_t len) {
  if (http_debug) debug_echo(msg, len);
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
