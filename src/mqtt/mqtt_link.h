// What the bridge's parts share: its settings and the one publish call. The
// connection itself (mqtt.cpp) is the only user of libmosquitto.
#pragma once
#include <cstddef>
#include <cstdint>

#include "mqtt/mqtt_payload.h"

constexpr int MQTT_TEXT = 64;     // a setting's value (the settings reader gives at most 62 characters)
constexpr int MQTT_NODE = MQTT_TEXT + 8;  // a node id: the base made safe, and "_" and six hex digits
constexpr int MQTT_TOPIC = 192;   // base or prefix (62) + node (69) + fixed parts

struct mqtt_conf {
  char host[MQTT_TEXT];   // address or name, without the port
  int port;               // 1883 unless MQTT_HOST names one
  char user[MQTT_TEXT];   // MQTT_USER; empty = anonymous
  char pass[MQTT_TEXT];   // MQTT_PASS
  char base[MQTT_TEXT];   // MQTT_BASE, "orvel"
  char cafile[MQTT_TEXT]; // MQTT_CAFILE; set = TLS
  bool discovery;         // HA_DISCOVERY, on unless "0"
  char prefix[MQTT_TEXT]; // HA_PREFIX, "homeassistant"
  // The base with every character but [A-Za-z0-9_-] as '_' (the node id of
  // the layout before the node level), and the node id of ids and discovery
  // topics: the same, with "_" and six hex digits of a hash of the base added
  // when the base needed such a change, so that two bases never share one.
  char legacy_node[MQTT_TEXT];
  char node[MQTT_NODE];
  char dashboard[MQTT_TOPIC];  // the dashboard's address, "http://<BIND or host name>:<PORT>/"
};
extern mqtt_conf mqtt_cfg;

// Reads the settings into mqtt_cfg; false when MQTT_HOST is absent (bridge off).
bool mqtt_conf_read();
// True while the broker has accepted the connection.
bool mqtt_online();
// True while the bridge reads what the broker retains for it (after a
// connect): nothing retained is published until that ends.
bool mqtt_scanning();
// Publishes at `qos` (0 or 1) when online (payload "" with retain clears a
// retained message); false when offline or refused. Counts into
// mqtt_published_total.
bool mqtt_publish(const char *topic, const char *payload, bool retain, int qos = 0);
// Writes "<base>/<rest>" into topic (MQTT_TOPIC bytes).
void mqtt_topic(char *topic, const char *rest);
// Publishes a problem with a message the bridge received on <base>/bridge/log.
void mqtt_log(const char *topic, const char *problem);

// What the broker retains for this gateway (mqtt_retained.cpp): one record
// per retained topic, with a hash of what it holds, so that only what changed
// is published and what nobody wants any more is cleared. A key is the topic
// without "<prefix>/" and "/config" (configs) or without "<base>/" (states,
// availability).
enum retained_kind : uint8_t { RETAINED_CONFIG, RETAINED_STATE };
// Publishes `body` retained at `qos` under the key unless the broker holds
// exactly it already (`force` publishes anyway), and marks the key wanted.
void retained_put(retained_kind kind, const char *key, const char *body, int qos, bool force = false);
// Marks the key wanted without publishing: the broker keeps what it holds.
void retained_keep(retained_kind kind, const char *key);
// A retained message the broker holds, seen while scanning: its key is
// recorded with an unknown content.
void retained_found(retained_kind kind, const char *key);
// Starts a sweep: every key unwanted until put or kept.
void retained_sweep_begin();
// Ends a sweep: clears every unwanted key, all configs before any state (a
// hub parses a state against its config).
void retained_sweep_end();
// Forgets every record: what the broker holds is unknown (a new connection).
void retained_reset();

// Discovery (mqtt_discovery.cpp).
// Brings the broker in line with the device table: publishes each config and
// state that changed, then clears those no listed device owns. `force`
// publishes every config again (the hub restarted).
void mqtt_discovery_sync(bool force);
// Publishes the configs of listed device `index` that changed (its version,
// its buttons).
void mqtt_discovery_device(int index);
// A press of `button` on listed device `index`: its trigger config is
// published the first time this number is seen.
void mqtt_discovery_button(int index, int button);
// A retained config of this node seen while scanning, by its object id
// ("<id>_press_<n>"): a listed button's trigger is adopted.
void mqtt_discovery_found(const char *object_id);
// The device's state (retained, QoS 0) and availability (retained, QoS 1).
void mqtt_discovery_state(int index);
void mqtt_discovery_reset();

// Request/response (mqtt_request.cpp).
// Handles one message on <base>/bridge/request/command. The answer comes
// through the awaited-reply table: the device's event, "NO REPLY" after two
// ticks, or "USB REMOVED".
void mqtt_request(const char *payload, size_t len);
// Sends the radio commands of one /set message (`topic`) and awaits the last
// one's reply: a NO REPLY runs hook_no_reply and is logged.
void mqtt_set_send(const char *topic, char cmds[SET_CMDS_MAX][SET_CMD_SIZE], int n);
void mqtt_request_reset();
