// The HTTP router and its route table. Each row is registered by the
// subsystem that owns the route, in its start function; the router, the
// door (authentication and the cross-site rule) and the metrics all read the
// same rows.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int ROUTES_MAX = 64;

enum http_method : uint8_t { HTTP_GET = 1, HTTP_POST = 2 };

// One request as a route receives it.
struct http_req {
  uint32_t sock;
  http_method method;
  char *text;    // the whole message, NUL-terminated; a route may change it
  size_t len;    // its bytes
  char *target;  // the request target after its '/' (inside `text`)
};

// What happens to the connection after the route: closed once its reply is
// sent, or kept (a parked request, an event stream, an upload receiving).
enum route_verdict : uint8_t { ROUTE_CLOSE, ROUTE_KEEP };
using route_fn = route_verdict (*)(http_req &req);

// How a row's pattern meets a target.
enum route_match : uint8_t {
  MATCH_PREFIX,  // the target starts with the pattern
  MATCH_WORD,    // the target is the pattern up to its first blank, CR, LF or NUL
  MATCH_NAME,    // the pattern, then a blank, '?', CR, LF or the end
};

// Who may use a row.
enum route_door : uint8_t {
  DOOR_OPEN,   // anyone (files from www/)
  DOOR_SITE,   // refused when a browser marks it cross-site
  DOOR_TOKEN,  // the cross-site rule, then the token when one is set
};

struct route_row {
  const char *pattern;
  route_match match;
  uint8_t methods;    // http_method bits
  route_door door;
  const char *label;  // the metrics label its requests are counted under
  route_fn handler;
};

// Adds a row; false when the table is full. Among the rows that match a
// target the longest pattern wins, so registration order never matters.
bool route_add(const route_row &row);
// The door: returns true to let the request on to its route; false when it
// has answered (refused, or one of its own replies): the connection closes.
using route_door_fn = bool (*)(http_req &req, const route_row &row);
void route_door_set(route_door_fn door);
// The rows and the requests counted under each (for the metrics).
const route_row *route_at(int i, uint64_t *count);

// Handles one message that starts with "GET " or "POST " (`len` bytes):
// parses the method exactly, finds the row, counts it, passes the door and
// calls the route. Returns the verdict (true keeps the connection).
bool HTTP_req(uint32_t sock, char *request, size_t len);
void router_reset();
