// The automations in the gateway: the world the engine acts in (the device
// cache, the radio, the hub's state, the gateway's hooks), the hooks that feed
// it, and its routes.
//   GET  /&rules            the rules, with last_fired, next and paused
//   POST /&rule/<id>        create or replace (a JSON body), or delete (empty)
//   GET  /&rule/<id>/run    run its actions now
//   GET  /&rules/trace      the last evaluations
#include <cstring>
#include <string>

#include "core/clock.h"
#include "core/hooks.h"
#include "core/text.h"
#include "decode/packet_layout.h"
#include "devices/device_list.h"
#include "net/http_reply.h"
#include "net/router.h"
#include "radio/awaits.h"
#include "radio/modem.h"
#include "radio/transmit.h"
#include "rules/rules.h"

namespace {

constexpr uint8_t CMD_PRESS = 0x0F;  // d0: the button number
constexpr int START_MODEM_WAIT_S = 10;  // "start" rules wait this long for the modem to open
constexpr int SEND_WAIT_TICKS = 2;      // as an HTTP command: NO REPLY after two ticks
constexpr int SEND_AWAITS_MAX = 8;      // a rule's commands awaited at once; the table keeps room for requests
bool hub = false;
int send_awaits = 0;
bool start_pending = false;  // the gateway started before its modem opened
time_t start_by = 0;

const char *device_state(const char *id) {
  int i = device_list_find(id[0] == '@' ? id + 1 : id);
  return i < 0 ? nullptr : dev_list[i].val;
}

bool hub_online() { return hub; }

// A rule's command is awaited like a request's: a device that does not answer
// is a NO REPLY for the whole gateway (the household's reachability, the
// bridge, and the rules' own "unreachable" triggers).
void send_done(uint32_t, await_end end, const tx_target &target, const char *) {
  send_awaits--;
  if (end != AWAIT_TIMEOUT) return;
  tx_target radio = target;
  radio.id[2] &= 0xF0;  // a multi-channel device answers from its channel-0 id
  char id[7];
  await_target_id(radio, id);
  hook_no_reply.run(id);
}

uint8_t rule_send(const char *command) {
  uint8_t result = rules_radio_send(command);
  if (result == RF_TX_AWAIT && send_awaits < SEND_AWAITS_MAX && await_add(send_done, 0, last_tx, SEND_WAIT_TICKS))
    send_awaits++;
  return result;
}

void rule_event(const char *id, const char *text) { hook_rule.run(id, text); }

void rule_paused(const char *) { hook_config.run(CONFIG_RULES, ""); }

void rules_packet(const packet_view &p) {
  if (p.bytes[PK_CMD] != CMD_PRESS || p.bytes[PK_LEN] <= PK_DATA) return;
  char id[7];
  sprint_hex(id, p.bytes + PK_ID1, 3);
  rules_button(id, p.bytes[PK_DATA]);
}

void rules_device(int index) { rules_state(dev_list[index].id, dev_list[index].val); }

// "start" rules fire once the gateway has started with its modem open (the
// reader thread opens it just after the start), so that their commands go
// out; without a modem they fire START_MODEM_WAIT_S later all the same.
void start_fire() {
  start_pending = false;
  rules_started();
}
void start_hook() {
  if (usb_handle) return start_fire();
  start_pending = true;
  start_by = clock_wall() + START_MODEM_WAIT_S;
}
void start_modem(bool up) {
  if (up && start_pending) start_fire();
}
void start_tick(time_t now) {
  if (start_pending && now >= start_by) start_fire();
  rules_tick(now);
}

void rules_hub_changed(bool online) {
  hub = online;
  rules_hub(online);
}

route_verdict reply_json(http_req &req, int status, const std::string &body) {
  const char *line = status == 200 ? "200 OK" : status == 400 ? "400 Bad Request" : status == 404 ? "404 Not Found"
                                                                                                  : "500 Internal Server Error";
  http_respond(req.sock, line, "application/json", "Cache-Control: no-cache\r\n", body.data(), body.size());
  return ROUTE_CLOSE;
}

route_verdict route_rules(http_req &req) {
  std::string body;
  int status = str_begin(req.target, "&rules/trace") ? rules_trace(body) : rules_list(body);
  return reply_json(req, status, body);
}

// "&rule/<id>" or "&rule/<id>/run", the id up to '/', '?' or the blank.
route_verdict route_rule(http_req &req) {
  const char *id = req.target + 6;
  size_t n = strcspn(id, "/? \r\n");
  std::string rid(id, n > RULE_ID_MAX ? RULE_ID_MAX + 1 : n), body;
  if (str_begin(id + n, "/run")) return reply_json(req, rules_run(rid.c_str(), body), body);
  if (req.method != HTTP_POST) return reply_json(req, 404, "{\"ok\":false,\"error\":\"POST a rule, or /run\"}");
  const char *end = strstr(req.text, "\r\n\r\n");
  size_t skip = 4;
  if (!end) end = strstr(req.text, "\n\n"), skip = 2;
  const char *data = end ? end + skip : req.text + req.len;
  int status = rules_put(rid.c_str(), data, (size_t)(req.text + req.len - data), body);
  if (status == 200) hook_config.run(CONFIG_RULES, "");
  return reply_json(req, status, body);
}

}  // namespace

void rules_start() {
  static const rules_world world = {device_state, hub_online, rule_send, rule_event, rule_paused, nullptr};
  hub = start_pending = false;
  send_awaits = 0;
  rules_start(world);
  constexpr uint8_t ANY = HTTP_GET | HTTP_POST;
  route_add({"&rules", MATCH_NAME, ANY, DOOR_TOKEN, "rules", route_rules});
  route_add({"&rules/trace", MATCH_NAME, ANY, DOOR_TOKEN, "rules", route_rules});
  route_add({"&rule/", MATCH_PREFIX, ANY, DOOR_TOKEN, "rules", route_rule});
  hook_packet.add(rules_packet);
  hook_device.add(rules_device);
  hook_no_reply.add(rules_unreachable);
  hook_hub.add(rules_hub_changed);
  hook_started.add(start_hook);
  hook_usb.add(start_modem);
  hook_tick.add(start_tick);
}
