// Home Assistant discovery configs (see mqtt_link.h), retained under
// <prefix>/<component>/<node>_<id>/<object>/config, where node is the topic
// base made safe for ids. The table `told` remembers what the broker was last
// given, so that a device deleted or retyped since has its configs and its
// retained state cleared with empty retained messages; `buttons` remembers
// which button numbers of which devices were pressed, one trigger config each.
#include <cstdio>
#include <cstring>

#include "core/text.h"
#include "core/version.h"
#include "devices/device_list.h"
#include "mqtt/mqtt_link.h"
#include "mqtt/mqtt_payload.h"

constexpr int BUTTON_DEV_MAX = 64;     // button devices whose presses are remembered
constexpr size_t CONFIG_SIZE = 2304;   // one config: four topics, an escaped name, the device block

struct told_rec {
  char id[7];    // empty = free
  char type[4];
};
struct button_rec {
  char id[7];          // empty = free
  uint8_t seen[32];    // bit n: button number n was pressed
};

static told_rec told[DEV_MAX];
static int told_count;
static button_rec buttons[BUTTON_DEV_MAX];

void mqtt_discovery_reset() {
  memset(told, 0, sizeof told);
  told_count = 0;
  memset(buttons, 0, sizeof buttons);
}

static button_rec *button_find(const char *id, bool add) {
  for (auto &b : buttons)
    if (!strcmp(b.id, id)) return &b;
  if (!add) return nullptr;
  for (auto &b : buttons)
    if (!b.id[0]) {
      memcpy(b.id, id, sizeof b.id);
      return &b;
    }
  return nullptr;
}

// "<prefix>/<component>/<node>_<id>/<object>/config"
static void config_topic(char *t, const char *component, const char *id, const char *object) {
  snprintf(t, MQTT_TOPIC, "%s/%s/%s_%s/%s/config", mqtt_cfg.prefix, component, mqtt_cfg.node, id, object);
}

// The "device" block of a listed device, the gateway as the device it comes through.
static void device_block(char *out, size_t cap, const dev_rec *d) {
  snprintf(out, cap, "\"device\":{\"identifiers\":[\"%s_%s\"],\"name\":\"", mqtt_cfg.node, d->id);
  json_escape_append(out, cap - 96, d->name[0] ? d->name : d->id);
  snprintf(out + strlen(out), cap - strlen(out), "\",\"model\":\"%s\",\"via_device\":\"%s_bridge\"}", d->type,
           mqtt_cfg.node);
}

// The topics every entity shares: state, availability and attributes.
static int common_part(char *out, size_t cap, const dev_rec *d, const char *object) {
  char state[MQTT_TOPIC], avail[MQTT_TOPIC];
  mqtt_topic(state, d->id);
  mqtt_topic(avail, "bridge/state");
  return snprintf(out, cap,
                  "\"unique_id\":\"%s_%s_%s\",\"object_id\":\"%s_%s\",\"state_topic\":\"%s\","
                  "\"json_attributes_topic\":\"%s\",\"availability_topic\":\"%s\","
                  "\"payload_available\":\"online\",\"payload_not_available\":\"offline\",",
                  mqtt_cfg.node, d->id, object, mqtt_cfg.node, d->id, state, state, avail);
}

// The entity config of a listed device (not a button); its object name in *object.
static bool entity_config(char *out, size_t cap, const dev_rec *d, const char **object) {
  const char *comp = mqtt_component(d->type);
  char set[MQTT_TOPIC], rest[16];
  snprintf(rest, sizeof rest, "%s/set", d->id);
  mqtt_topic(set, rest);
  char kind[384];
  if (!strcmp(comp, "switch")) {
    *object = "switch";
    snprintf(kind, sizeof kind,
             "\"command_topic\":\"%s\",\"payload_on\":\"ON\",\"payload_off\":\"OFF\","
             "\"value_template\":\"{{ value_json.state }}\",\"state_on\":\"ON\",\"state_off\":\"OFF\",",
             set);
  } else if (!strcmp(comp, "light")) {
    *object = "light";
    snprintf(kind, sizeof kind,
             "\"schema\":\"json\",\"command_topic\":\"%s\",\"brightness\":true,\"brightness_scale\":100,"
             "\"supported_color_modes\":[\"brightness\"],",
             set);
  } else if (!strcmp(d->type, "tmp")) {
    *object = "temperature";
    snprintf(kind, sizeof kind,
             "\"device_class\":\"temperature\",\"unit_of_measurement\":\"\xC2\xB0" "C\","
             "\"state_class\":\"measurement\",\"value_template\":\"{{ value_json.temperature }}\",");
  } else {
    *object = "state";
    snprintf(kind, sizeof kind, "\"value_template\":\"{{ value_json.state }}\",");
  }
  char common[1280], dev[320];
  common_part(common, sizeof common, d, *object);
  device_block(dev, sizeof dev, d);
  int n = snprintf(out, cap, "{\"name\":null,%s%s%s}", kind, common, dev);
  return n > 0 && (size_t)n < cap;
}

static void trigger_publish(const dev_rec *d, int button) {
  char object[16], t[MQTT_TOPIC], action[MQTT_TOPIC], rest[16], dev[320], body[CONFIG_SIZE];
  snprintf(object, sizeof object, "press_%d", button);
  snprintf(rest, sizeof rest, "%s/action", d->id);
  mqtt_topic(action, rest);
  device_block(dev, sizeof dev, d);
  snprintf(body, sizeof body,
           "{\"automation_type\":\"trigger\",\"topic\":\"%s\",\"type\":\"button_short_press\","
           "\"subtype\":\"button_%d\",\"payload\":\"%s\",%s}",
           action, button, object, dev);
  config_topic(t, "device_automation", d->id, object);
  mqtt_publish(t, body, true);
}

// Empty retained configs for everything the broker was told about device `r`.
static void told_clear(const told_rec *r) {
  char t[MQTT_TOPIC];
  mqtt_topic(t, r->id);
  mqtt_publish(t, "", true);  // its retained state too
  const char *comp = mqtt_component(r->type);
  if (!strcmp(comp, "device_automation")) {
    if (button_rec *b = button_find(r->id, false))
      for (int n = 0; n < 256; n++)
        if (b->seen[n / 8] & (1 << (n % 8))) {
          char object[16];
          snprintf(object, sizeof object, "press_%d", n);
          config_topic(t, comp, r->id, object);
          mqtt_publish(t, "", true);
        }
    return;
  }
  dev_rec d = {};
  memcpy(d.type, r->type, sizeof d.type);
  const char *object;
  char body[CONFIG_SIZE];
  entity_config(body, sizeof body, &d, &object);
  config_topic(t, comp, r->id, object);
  mqtt_publish(t, "", true);
}

// The gateway itself, as the device every other one comes through.
static void bridge_publish() {
  char t[MQTT_TOPIC], info[MQTT_TOPIC], avail[MQTT_TOPIC], body[CONFIG_SIZE];
  mqtt_topic(info, "bridge/info");
  mqtt_topic(avail, "bridge/state");
  snprintf(body, sizeof body,
           "{\"name\":\"Devices\",\"unique_id\":\"%s_bridge_devices\",\"state_topic\":\"%s\","
           "\"value_template\":\"{{ value_json.devices }}\",\"json_attributes_topic\":\"%s\","
           "\"availability_topic\":\"%s\",\"payload_available\":\"online\",\"payload_not_available\":\"offline\","
           "\"entity_category\":\"diagnostic\",\"device\":{\"identifiers\":[\"%s_bridge\"],"
           "\"name\":\"orvel gateway %s\",\"model\":\"gateway\",\"sw_version\":\"" ORVEL_VERSION "\"}}",
           mqtt_cfg.node, info, info, avail, mqtt_cfg.node, mqtt_cfg.base);
  snprintf(t, sizeof t, "%s/sensor/%s_bridge/devices/config", mqtt_cfg.prefix, mqtt_cfg.node);
  mqtt_publish(t, body, true);
}

static void device_publish(const dev_rec *d) {
  char t[MQTT_TOPIC], body[CONFIG_SIZE];
  if (!strcmp(mqtt_component(d->type), "device_automation")) {
    if (button_rec *b = button_find(d->id, false))
      for (int n = 0; n < 256; n++)
        if (b->seen[n / 8] & (1 << (n % 8))) trigger_publish(d, n);
    return;
  }
  const char *object;
  if (!entity_config(body, sizeof body, d, &object)) return;
  config_topic(t, mqtt_component(d->type), d->id, object);
  mqtt_publish(t, body, true);
}

void mqtt_discovery_all() {
  if (!mqtt_online()) return;
  bridge_publish();
  for (int i = 0; i < DEV_MAX && dev_list[i].id[0]; i++) device_publish(&dev_list[i]);
}

void mqtt_discovery_sync() {
  if (!mqtt_online()) return;
  for (int k = 0; k < told_count; k++) {
    int i = device_list_find(told[k].id);
    if (i < 0 || strcmp(dev_list[i].type, told[k].type)) told_clear(&told[k]);
  }
  told_count = 0;
  for (int i = 0; i < DEV_MAX && dev_list[i].id[0]; i++) {
    memcpy(told[told_count].id, dev_list[i].id, sizeof told[0].id);
    memcpy(told[told_count].type, dev_list[i].type, sizeof told[0].type);
    told_count++;
  }
  mqtt_discovery_all();
}

void mqtt_discovery_button(const char *id, int button) {
  int i = device_list_find(id);
  if (i < 0 || strcmp(dev_list[i].type, "btn") || button < 0 || button > 255) return;
  button_rec *b = button_find(id, true);
  if (!b || (b->seen[button / 8] & (1 << (button % 8)))) return;
  b->seen[button / 8] |= (uint8_t)(1 << (button % 8));
  trigger_publish(&dev_list[i], button);
}
