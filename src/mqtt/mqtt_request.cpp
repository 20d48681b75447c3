// Request/response over MQTT, and the replies the bridge's own /set commands
// await. A radio command received on <base>/bridge/request/command as
// {"command":"@1a2b30=50","transaction":"t1"} is sent as the HTTP radio route
// sends it, and its outcome is published on <base>/bridge/response/command:
//   {"data":<the reply GET /@... gives>,"status":"ok"}
//   {"data":<the error object>,"status":"error","error":"NO REPLY"}
// with "transaction" added only when the request had one, as the same JSON
// value (a number stays a number). Errors: "BAD DATA", "USB MODEM NOT
// CONNECTED", "TOO MANY CONNECTIONS", "NO REPLY" after two ticks, "USB
// REMOVED". A pending request or /set is an entry of the awaited-reply table
// whose owner is its slot in `pending`.
#include <cstdio>
#include <cstring>

#include "core/hooks.h"
#include "core/text.h"
#include "decode/event.h"
#include "mqtt/mqtt_link.h"
#include "mqtt/mqtt_payload.h"
#include "radio/awaits.h"
#include "radio/transmit.h"

constexpr int REQ_MAX = 10;        // requests and /set messages awaiting a device's reply
constexpr int REQ_WAIT_TICKS = 2;  // as the HTTP route: "NO REPLY" after two ticks
constexpr int TRANSACTION_SIZE = 64;
constexpr int COMMAND_SIZE = 128;
// The reply, the keys and the transaction (escaped: 6 bytes a character at most).
constexpr size_t RESPONSE_SIZE = 256 + 96 + 6 * TRANSACTION_SIZE;

struct req_rec {
  bool used;
  bool set;                            // a /set message: nothing is answered
  bool has_transaction;
  bool transaction_text;               // a JSON string (else a number, true, false or null)
  char transaction[TRANSACTION_SIZE];  // unescaped string, or the value's JSON text
  char topic[MQTT_TOPIC];              // the /set topic, for its log
};

static req_rec pending[REQ_MAX];

static void request_done(uint32_t slot, await_end end, const tx_target &target, const char *event);

void mqtt_request_reset() {
  for (uint32_t i = 0; i < REQ_MAX; i++) await_cancel(request_done, i);
  memset(pending, 0, sizeof pending);
}

// Publishes the outcome `reply` (a JSON object) of request `r`; `error` null
// when it succeeded.
static void response_publish(const char *reply, const char *error, const req_rec &r) {
  char body[RESPONSE_SIZE];
  snprintf(body, sizeof body, "{\"data\":%s,\"status\":\"%s\"", reply, error ? "error" : "ok");
  if (error) {
    strcat(body, ",\"error\":\"");
    json_escape_append(body, sizeof body - 3, error);
    strcat(body, "\"");
  }
  if (r.has_transaction && r.transaction_text) {
    strcat(body, ",\"transaction\":\"");
    json_escape_append(body, sizeof body - 3, r.transaction);
    strcat(body, "\"");
  } else if (r.has_transaction) {
    snprintf(body + strlen(body), sizeof body - strlen(body), ",\"transaction\":%s", r.transaction);
  }
  strcat(body, "}");
  char t[MQTT_TOPIC];
  mqtt_topic(t, "bridge/response/command");
  mqtt_publish(t, body, false);
}

static void error_publish(const char *msg, const req_rec &r) {
  char body[128];
  jerror(body, sizeof body, msg);
  response_publish(body, msg, r);
}

static void request_done(uint32_t slot, await_end end, const tx_target &target, const char *event) {
  req_rec &r = pending[slot];
  r.used = false;
  if (end == AWAIT_REPLY) {
    if (!r.set) response_publish(event, nullptr, r);
    return;
  }
  if (end == AWAIT_REMOVED) {
    if (!r.set) error_publish("USB REMOVED", r);
    return;
  }
  char id[7], body[96];
  await_target_id(target, id);
  if (r.set) {
    mqtt_log(r.topic, "NO REPLY");
  } else {
    snprintf(body, sizeof body, "{\"id\":\"@%s\",\"cmd\":\"ERROR\",\"data\":\"NO REPLY\",\"rssi\":\"\"}", id);
    response_publish(body, "NO REPLY", r);
  }
  hook_no_reply.run(id);
}

// Takes a free slot awaiting the last command sent; null when none is free.
static req_rec *await_slot() {
  for (uint32_t i = 0; i < REQ_MAX; i++) {
    req_rec &r = pending[i];
    if (r.used || !await_add(request_done, i, last_tx, REQ_WAIT_TICKS)) continue;
    r = {};
    r.used = true;
    return &r;
  }
  return nullptr;
}

void mqtt_set_send(const char *topic, char cmds[SET_CMDS_MAX][SET_CMD_SIZE], int n) {
  uint8_t result = RF_TX_BAD;
  for (int i = 0; i < n; i++) {
    result = usb_rf_tx(cmds[i], TX_MQTT);
    if (!rf_tx_sent(result)) mqtt_log(topic, result == RF_TX_NO_MODEM ? "USB MODEM NOT CONNECTED" : "BAD DATA");
  }
  if (result != RF_TX_AWAIT) return;
  if (req_rec *r = await_slot()) {
    r->set = true;
    snprintf(r->topic, sizeof r->topic, "%s", topic);
  }
}

void mqtt_request(const char *payload, size_t len) {
  req_rec r = {};
  char command[COMMAND_SIZE];
  bool is_str = false;
  r.has_transaction =
      json_flat_get(payload, len, "transaction", r.transaction, sizeof r.transaction, &r.transaction_text) == 1;
  int has_c = json_flat_get(payload, len, "command", command, sizeof command, &is_str);
  char t[MQTT_TOPIC];
  mqtt_topic(t, "bridge/request/command");
  if (has_c != 1 || !is_str || command[0] != '@') {
    mqtt_log(t, "expected {\"command\":\"@<id>...\",\"transaction\":...}");
    return error_publish("BAD DATA", r);
  }
  uint8_t result = usb_rf_tx(command, TX_MQTT);
  if (result == RF_TX_NO_MODEM) return error_publish("USB MODEM NOT CONNECTED", r);
  if (result == RF_TX_BAD) return error_publish("BAD DATA", r);
  if (result == RF_TX_NO_REPLY) return response_publish("{\"id\":\"\",\"cmd\":\"OK\",\"data\":\"\",\"rssi\":\"\"}", nullptr, r);
  req_rec *slot = await_slot();
  if (!slot) return error_publish("TOO MANY CONNECTIONS", r);
  *slot = r;
  slot->used = true;
}
