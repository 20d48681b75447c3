// Raw-protocol listeners (see listeners.h).
#include "proto/listeners.h"

#include "core/hooks.h"
#include "net/conn.h"
#include "net/socket.h"

bool listen_add(uint32_t sock) {
  if (conn_has_role((int)sock, ROLE_LISTENER)) return true;
  if (conn_count_role(ROLE_LISTENER) >= LISTN_MAX) return false;
  conn_role_set((int)sock, ROLE_LISTENER, true);
  return true;
}

// `text` to every listener; one whose send fails stops listening (the
// connection itself closes when the server next reads it).
static void listen_send(const char *text, const char *tail) {
  for (int i = 0; i < CONN_MAX; i++) {
    const conn_rec *c = conn_at(i);
    if (!c || !(c->roles & ROLE_LISTENER)) continue;
    if (soc_msg((uint32_t)c->fd, text)) {
      if (tail) soc_msg((uint32_t)c->fd, tail);
    } else {
      conn_role_set(c->fd, ROLE_LISTENER, false);
    }
  }
}

static void listen_packet(const packet_view &p) { listen_send(p.line, "\n"); }

static void listen_usb(bool on) { listen_send(on ? "USB1\n" : "USB0\n", nullptr); }

void listeners_start() {
  hook_packet.add(listen_packet);
  hook_usb.add(listen_usb);
}
