// The HTTP router (see router.h): a request line "GET /<target>" or
// "POST /<target>" is matched against the route table.
#include "net/router.h"

#include <cstring>

#include "core/text.h"
#include "net/conn.h"

namespace {

struct route_slot {
  route_row row;
  size_t len;      // of the pattern
  uint64_t count;  // requests matched, refused ones included
};

route_slot routes[ROUTES_MAX];
int route_count = 0;
route_door_fn door = nullptr;

bool ends_word(char c) { return c == ' ' || c == '\r' || c == '\n' || c == 0; }

// The length of the pattern when the slot's row matches `target`, else -1.
int route_match_len(const route_slot &slot, const char *target) {
  const route_row &row = slot.row;
  size_t n = slot.len;
  if (strncmp(target, row.pattern, n) != 0) return -1;
  switch (row.match) {
    case MATCH_PREFIX: return (int)n;
    case MATCH_WORD: return ends_word(target[n]) ? (int)n : -1;
    case MATCH_NAME: return ends_word(target[n]) || target[n] == '?' ? (int)n : -1;
  }
  return -1;
}

route_slot *route_find(const char *target, http_method method) {
  route_slot *best = nullptr;
  int best_len = -1;
  for (int i = 0; i < route_count; i++) {
    if (!(routes[i].row.methods & method)) continue;
    int len = route_match_len(routes[i], target);
    if (len > best_len) {
      best = &routes[i];
      best_len = len;
    }
  }
  return best;
}

}  // namespace

bool route_add(const route_row &row) {
  if (route_count == ROUTES_MAX) return false;
  routes[route_count++] = {row, strlen(row.pattern), 0};
  return true;
}

void route_door_set(route_door_fn fn) { door = fn; }

const route_row *route_at(int i, uint64_t *count) {
  if (i < 0 || i >= route_count) return nullptr;
  if (count) *count = routes[i].count;
  return &routes[i].row;
}

bool HTTP_req(uint32_t sock, char *request, size_t len) {
  http_method method;
  size_t skip;
  if (str_begin(request, "GET /")) {
    method = HTTP_GET, skip = 5;
  } else if (str_begin(request, "POST /")) {
    method = HTTP_POST, skip = 6;
  } else {
    return false;  // not a request line this gateway serves
  }
  conn_role_set((int)sock, ROLE_REQUEST, true);
  http_req req = {sock, method, request, len, request + skip};
  route_slot *slot = route_find(req.target, method);
  if (!slot) return false;
  slot->count++;
  if (slot->row.door != DOOR_OPEN && door && !door(req, slot->row)) return false;
  return slot->row.handler(req) == ROUTE_KEEP;
}

void router_reset() {
  route_count = 0;
  door = nullptr;
}
