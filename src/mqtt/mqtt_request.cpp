// Request/response over MQTT: a radio command received on
// <base>/bridge/request/command as {"command":"@1a2b30=50","transaction":"t1"}
// is sent as the HTTP radio route sends it, and the answer that route would
// give is published on <base>/bridge/response/command with the transaction
// added: the device's event, or an error object ("BAD DATA", "USB MODEM NOT
// CONNECTED", "NO REPLY" after two ticks, "USB REMOVED"). A pending request
// is an entry of the awaited-reply table whose owner is its slot in
// `pending`, which keeps its transaction.
#include <cstdio>
#include <cstring>

#include "core/text.h"
#include "decode/event.h"
#include "mqtt/mqtt_link.h"
#include "mqtt/mqtt_payload.h"
#include "radio/awaits.h"
#include "radio/transmit.h"

constexpr int REQ_MAX = 10;        // requests awaiting a device's reply
constexpr int REQ_WAIT_TICKS = 2;  // as the HTTP route: "NO REPLY" after two ticks
constexpr int TRANSACTION_SIZE = 64;
constexpr int COMMAND_SIZE = 128;
constexpr size_t RESPONSE_SIZE = 256 + 24 + 6 * TRANSACTION_SIZE;  // an event, the key, the escaped transaction

struct req_rec {
  bool used;
  char transaction[TRANSACTION_SIZE];
};

static req_rec pending[REQ_MAX];

static void request_done(uint32_t slot, await_end end, const tx_target &target, const char *event);

void mqtt_request_reset() {
  for (uint32_t i = 0; i < REQ_MAX; i++) await_cancel(request_done, i);
  memset(pending, 0, sizeof pending);
}

// Publishes `object` (a JSON object) with "transaction" added before its last '}'.
static void response_publish(const char *object, const char *transaction) {
  char body[RESPONSE_SIZE];
  size_t n = strlen(object);
  if (n < 2 || object[n - 1] != '}' || n + 1 > sizeof body) return;
  memcpy(body, object, n - 1);
  body[n - 1] = 0;
  strcat(body, n > 2 ? ",\"transaction\":\"" : "\"transaction\":\"");
  json_escape_append(body, sizeof body - 3, transaction);
  strcat(body, "\"}");
  char t[MQTT_TOPIC];
  mqtt_topic(t, "bridge/response/command");
  mqtt_publish(t, body, false);
}

static void error_publish(const char *msg, const char *transaction) {
  char body[128];
  jerror(body, sizeof body, msg);
  response_publish(body, transaction);
}

static void request_done(uint32_t slot, await_end end, const tx_target &target, const char *event) {
  req_rec &r = pending[slot];
  r.used = false;
  if (end == AWAIT_REPLY) return response_publish(event, r.transaction);
  if (end == AWAIT_REMOVED) return error_publish("USB REMOVED", r.transaction);
  char body[96];
  snprintf(body, sizeof body, "{\"id\":\"@%02x%02x%02x\",\"cmd\":\"ERROR\",\"data\":\"NO REPLY\",\"rssi\":\"\"}",
           target.id[0], target.id[1], target.id[2] & 0xF0);
  response_publish(body, r.transaction);
}

void mqtt_request(const char *payload, size_t len) {
  char command[COMMAND_SIZE], transaction[TRANSACTION_SIZE] = "";
  bool is_str = false;
  int has_t = json_flat_get(payload, len, "transaction", transaction, sizeof transaction, &is_str);
  if (has_t < 0) transaction[0] = 0;
  int has_c = json_flat_get(payload, len, "command", command, sizeof command, &is_str);
  char t[MQTT_TOPIC];
  mqtt_topic(t, "bridge/request/command");
  if (has_c != 1 || !is_str || command[0] != '@') {
    mqtt_log(t, "expected {\"command\":\"@<id>...\",\"transaction\":\"...\"}");
    error_publish("BAD DATA", transaction);
    return;
  }
  uint8_t result = usb_rf_tx(command, TX_MQTT);
  if (result == RF_TX_NO_MODEM) return error_publish("USB MODEM NOT CONNECTED", transaction);
  if (result == RF_TX_BAD) return error_publish("BAD DATA", transaction);
  if (result == RF_TX_NO_REPLY) return response_publish("{\"id\":\"\",\"cmd\":\"OK\",\"data\":\"\",\"rssi\":\"\"}", transaction);
  for (uint32_t i = 0; i < REQ_MAX; i++) {
    req_rec &r = pending[i];
    if (r.used || !await_add(request_done, i, last_tx, REQ_WAIT_TICKS)) continue;
    r.used = true;
    snprintf(r.transaction, sizeof r.transaction, "%s", transaction);
    return;
  }
  error_publish("TOO MANY CONNECTIONS", transaction);
}
