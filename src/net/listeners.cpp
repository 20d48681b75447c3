// The raw-protocol listener table: connections that receive every accepted
// radio packet as a line of dotted hex, and the modem presence notices.
#include "net/listeners.h"

#include "net/socket.h"

uint32_t listn[LISTN_MAX];

bool listen_add(uint32_t sock) {
  for (int i = 0; i < LISTN_MAX; i++)
    if (listn[i] == sock) return true;  // one slot per connection
  for (int i = 0; i < LISTN_MAX; i++) {
    if (listn[i] == 0) {
      listn[i] = sock;
      return true;
    }
  }
  return false;
}

bool listen_has(uint32_t sock) {
  for (int i = 0; i < LISTN_MAX; i++)
    if (listn[i] == sock) return true;
  return false;
}

void listen_close(uint32_t sock) {
  for (int i = 0; i < LISTN_MAX; i++)
    if (listn[i] == sock) listn[i] = 0;
}

void listen_usb(bool on) {
  for (int i = 0; i < LISTN_MAX; i++)
    if (listn[i]) soc_msg(listn[i], on ? "USB1\n" : "USB0\n");
}

void listen_packet(const char *text) {
  for (int i = 0; i < LISTN_MAX; i++) {
    if (!listn[i]) continue;
    if (!soc_msg(listn[i], text))
      listn[i] = 0;  // the connection itself stays open until it is read
    else
      soc_msg(listn[i], "\n");
  }
}

void listen_reset() {
  for (int i = 0; i < LISTN_MAX; i++) listn[i] = 0;
}
