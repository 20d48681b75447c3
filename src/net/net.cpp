// The network server's start (see net.h) and the routes of its own files.
#include "net/net.h"

#include "core/hooks.h"
#include "core/text.h"
#include "net/http_reply.h"
#include "net/logview.h"
#include "net/mem_quota.h"
#include "net/memstore.h"
#include "net/router.h"
#include "net/socket.h"
#include "net/static_files.h"
#include "net/upload.h"

namespace {

route_verdict route_static(http_req &req) {
  if (!http_serve_file(req.sock, req.target - 1)) {
    dbug("404 Not Found");
    http_reply(req.sock, 404, "");
  }
  return ROUTE_CLOSE;
}

route_verdict route_store(http_req &req) {
  if (!memcache(req.sock, req.target)) http_reply(req.sock, 404, "");
  return ROUTE_CLOSE;
}

route_verdict route_log(http_req &req) {
  if (!logging(req.sock, req.target)) http_reply(req.sock, 404, "");
  return ROUTE_CLOSE;
}

// Targets under "//" were meant for a proxy that was never built.
route_verdict route_proxy(http_req &req) {
  http_reply(req.sock, 404, "this will proxy");
  return ROUTE_CLOSE;
}

constexpr uint8_t ANY = HTTP_GET | HTTP_POST;

const route_row NET_ROUTES[] = {
    {"", MATCH_PREFIX, ANY, DOOR_OPEN, "static", route_static},
    // Any other gateway route is a file too, but behind the door.
    {"&", MATCH_PREFIX, ANY, DOOR_TOKEN, "control", route_static},
    {"/", MATCH_PREFIX, ANY, DOOR_TOKEN, "other", route_proxy},
    {"&set/", MATCH_PREFIX, ANY, DOOR_TOKEN, "store", route_store},
    {"&get/", MATCH_PREFIX, ANY, DOOR_TOKEN, "store", route_store},
    {"_set/", MATCH_PREFIX, ANY, DOOR_TOKEN, "store", route_store},
    {"_get/", MATCH_PREFIX, ANY, DOOR_TOKEN, "store", route_store},
    {"&log", MATCH_PREFIX, ANY, DOOR_TOKEN, "log", route_log},
};

}  // namespace

void net_start() {
  for (const auto &row : NET_ROUTES) route_add(row);
  upload_start();
  mem_quota_start();
  hook_tick.add(socket_tick);
  hook_pass.add(socket_reap);
}

void net_reset() {
  socket_reset();
  router_reset();
  upload_reset();
  mem_quota_reset();
}
