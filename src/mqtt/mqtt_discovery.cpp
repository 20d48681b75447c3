// Home Assistant discovery configs (see mqtt_link.h), retained under
// <prefix>/<component>/<node>/<object id>/config, where the object id is
// "<id>_<object>" for a listed device and "bridge_<object>" for the gateway.
// Every entity of a device is available while the gateway is online and the
// device answers (<base>/<id>/availability). `buttons` remembers which button
// numbers of which devices were pressed (this run, remembered by the
// household, or found on the broker): one trigger config each, and the
// event entity's types.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/text.h"
#include "core/version.h"
#include "devices/device_list.h"
#include "home/home.h"
#include "mqtt/mqtt_link.h"
#include "mqtt/mqtt_payload.h"

constexpr int BUTTON_DEV_MAX = 64;    // button devices whose presses are remembered
constexpr int BUTTON_TYPES_MIN = 4;   // event types a button offers before a higher number is seen
constexpr int TMP_EXPIRE_S = 600;     // a sensor reports every minute: ten missed reports
constexpr size_t CONFIG_SIZE = 3072;  // one config: topics, the escaped names, the device block

struct button_rec {
  char id[7];        // empty = free
  uint8_t seen[32];  // bit n: button number n was pressed
};

static button_rec buttons[BUTTON_DEV_MAX];

void mqtt_discovery_reset() { memset(buttons, 0, sizeof buttons); }

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

static bool button_seen(const button_rec *b, int n) { return b && (b->seen[n / 8] & (1 << (n % 8))); }

// A config under construction: appends while it fits, remembers when it did not.
struct config_buf {
  char text[CONFIG_SIZE];
  size_t n;
  bool fits;
};

static void put(config_buf &c, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
static void put(config_buf &c, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int w = c.fits ? vsnprintf(c.text + c.n, sizeof c.text - c.n, fmt, ap) : -1;
  va_end(ap);
  if (w < 0 || (size_t)w >= sizeof c.text - c.n) {
    c.fits = false;
    return;
  }
  c.n += (size_t)w;
}

// Appends `s` as the body of a JSON string.
static void put_escaped(config_buf &c, const char *s) {
  if (!c.fits) return;
  json_escape_append(c.text, sizeof c.text - 1, s);
  c.n = strlen(c.text);
  if (c.n + 2 >= sizeof c.text) c.fits = false;
}

// The node id as an entity id's object part: lower case, [a-z0-9_], no
// doubled, leading or trailing '_' (what the hub itself made of the node id).
static void node_slug(char *out) {
  size_t n = 0;
  for (const char *p = mqtt_cfg.node; *p && n + 1 < MQTT_NODE; p++) {
    char c = *p >= 'A' && *p <= 'Z' ? (char)(*p - 'A' + 'a') : *p;
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) c = '_';
    if (c == '_' && (n == 0 || out[n - 1] == '_')) continue;
    out[n++] = c;
  }
  while (n > 0 && out[n - 1] == '_') n--;
  out[n] = 0;
  if (!n) strcpy(out, "orvel");
}

static const char *model_name(const char *type) {
  static const char *const MODELS[][2] = {{"dim", "Dimmer"},        {"rel", "Relay"},       {"rtc", "Clock relay"},
                                          {"led", "LED controller"}, {"btn", "Wall button"}, {"tmp", "Temperature sensor"}};
  for (const auto &m : MODELS)
    if (!strcmp(type, m[0])) return m[1];
  return type;
}

// The shared tail of every config: availability, device block and origin.
// `d` null: the gateway itself.
static void put_tail(config_buf &c, const dev_rec *d) {
  char state[MQTT_TOPIC], avail[MQTT_TOPIC], rest[24];
  mqtt_topic(state, "bridge/state");
  if (d) {
    snprintf(rest, sizeof rest, "%s/availability", d->id);
    mqtt_topic(avail, rest);
    put(c, "\"availability\":[{\"topic\":\"%s\"},{\"topic\":\"%s\"}],\"availability_mode\":\"all\",", state, avail);
    put(c, "\"device\":{\"identifiers\":[\"%s_%s\"],\"name\":\"", mqtt_cfg.node, d->id);
    put_escaped(c, d->name[0] ? d->name : d->id);
    put(c, "\",\"model\":\"");
    put_escaped(c, model_name(d->type));
    put(c, "\",");
    if (d->version[0]) put(c, "\"sw_version\":\"%s\",", d->version);
    if (const char *room = room_get(d->id); room[0]) {
      put(c, "\"suggested_area\":\"");
      put_escaped(c, room);
      put(c, "\",");
    }
    put(c, "\"via_device\":\"%s_bridge\"},", mqtt_cfg.node);
  } else {
    put(c, "\"availability_topic\":\"%s\",\"device\":{\"identifiers\":[\"%s_bridge\"],\"name\":\"orvel gateway ",
        state, mqtt_cfg.node);
    put_escaped(c, mqtt_cfg.base);
    put(c, "\",\"model\":\"gateway\",\"sw_version\":\"%s\",\"configuration_url\":\"", ORVEL_VERSION_TEXT);
    put_escaped(c, mqtt_cfg.dashboard);
    put(c, "\"},");
  }
  put(c, "\"origin\":{\"name\":\"orvel\",\"sw_version\":\"%s\"}}", ORVEL_VERSION_TEXT);
}

// The head of an entity config: name (null: the device's own), ids, and the
// default entity id "<component>.<node>_<id>" (plus "_<object>" when `suffix`).
static void put_head(config_buf &c, const char *comp, const char *owner, const char *object, const char *name,
                     bool suffix) {
  char slug[MQTT_NODE];
  node_slug(slug);
  c.n = 0, c.fits = true, c.text[0] = 0;
  if (name)
    put(c, "{\"name\":\"%s\",", name);
  else
    put(c, "{\"name\":null,");
  put(c, "\"unique_id\":\"%s_%s_%s\",\"default_entity_id\":\"%s.%s_%s%s%s\",", mqtt_cfg.node, owner, object, comp,
      slug, owner, suffix ? "_" : "", suffix ? object : "");
}

// Publishes config `c` as <prefix>/<comp>/<node>/<owner>_<object>/config.
static void config_put(const config_buf &c, const char *comp, const char *owner, const char *object, bool force) {
  if (!c.fits) return;
  char key[MQTT_TOPIC];
  snprintf(key, sizeof key, "%s/%s/%s_%s", comp, mqtt_cfg.node, owner, object);
  retained_put(RETAINED_CONFIG, key, c.text, 1, force);
}

static void bridge_configs(bool force) {
  static config_buf c;
  char info[MQTT_TOPIC];
  mqtt_topic(info, "bridge/info");
  put_head(c, "sensor", "bridge", "devices", "Devices", true);
  put(c, "\"state_topic\":\"%s\",\"value_template\":\"{{ value_json.devices }}\",\"json_attributes_topic\":\"%s\","
         "\"entity_category\":\"diagnostic\",", info, info);
  put_tail(c, nullptr);
  config_put(c, "sensor", "bridge", "devices", force);
  put_head(c, "binary_sensor", "bridge", "modem", "Radio modem", true);
  put(c, "\"state_topic\":\"%s\",\"value_template\":\"{{ 'ON' if value_json.modem else 'OFF' }}\","
         "\"device_class\":\"connectivity\",\"entity_category\":\"diagnostic\",", info);
  put_tail(c, nullptr);
  config_put(c, "binary_sensor", "bridge", "modem", force);
}

// The main entity of a listed device: its component, object and the
// component's own keys.
static void main_config(config_buf &c, const dev_rec *d, bool force) {
  const char *comp = mqtt_component(d->type);
  char state[MQTT_TOPIC], set[MQTT_TOPIC], rest[24];
  mqtt_topic(state, d->id);
  snprintf(rest, sizeof rest, "%s/set", d->id);
  mqtt_topic(set, rest);
  const char *object;
  if (!strcmp(comp, "switch")) {
    put_head(c, comp, d->id, object = "switch", nullptr, false);
    put(c, "\"state_topic\":\"%s\",\"command_topic\":\"%s\",\"payload_on\":\"ON\",\"payload_off\":\"OFF\","
           "\"value_template\":\"{{ value_json.state }}\",\"state_on\":\"ON\",\"state_off\":\"OFF\",", state, set);
  } else if (!strcmp(comp, "light")) {
    put_head(c, comp, d->id, object = "light", nullptr, false);
    put(c, "\"schema\":\"json\",\"state_topic\":\"%s\",\"command_topic\":\"%s\",\"brightness\":true,"
           "\"brightness_scale\":100,\"supported_color_modes\":[\"brightness\"],\"flash\":false,\"transition\":false,",
        state, set);
  } else if (!strcmp(comp, "event")) {
    snprintf(rest, sizeof rest, "%s/action", d->id);
    mqtt_topic(set, rest);
    put_head(c, comp, d->id, object = "button", nullptr, false);
    put(c, "\"state_topic\":\"%s\",\"device_class\":\"button\",\"value_template\":\"{\\\"event_type\\\":"
           "\\\"{{ value }}\\\"}\",\"event_types\":[", set);
    const button_rec *b = button_find(d->id, false);
    int last = BUTTON_TYPES_MIN;
    for (int n = 255; n > last; n--)
      if (button_seen(b, n)) last = n;
    for (int n = 1; n <= last; n++) put(c, "%s\"press_%d\"", n > 1 ? "," : "", n);
    put(c, "],");
  } else if (!strcmp(d->type, "tmp")) {
    put_head(c, comp, d->id, object = "temperature", nullptr, false);
    put(c, "\"state_topic\":\"%s\",\"device_class\":\"temperature\",\"unit_of_measurement\":\"\xC2\xB0" "C\","
           "\"state_class\":\"measurement\",\"value_template\":\"{{ value_json.temperature }}\","
           "\"expire_after\":%d,", state, TMP_EXPIRE_S);
  } else {
    put_head(c, comp, d->id, object = "state", nullptr, false);
    put(c, "\"state_topic\":\"%s\",\"value_template\":\"{{ value_json.state }}\",", state);
  }
  if (strcmp(comp, "event")) put(c, "\"json_attributes_topic\":\"%s\",", state);
  put_tail(c, d);
  config_put(c, comp, d->id, object, force);
}

// Every config of a listed device: its main entity, two diagnostics
// (disabled until the user enables them) and a button's triggers.
static void device_configs(const dev_rec *d, bool force) {
  static config_buf c;
  main_config(c, d, force);
  char state[MQTT_TOPIC];
  mqtt_topic(state, d->id);
  put_head(c, "sensor", d->id, "signal", "Signal", true);
  put(c, "\"state_topic\":\"%s\",\"value_template\":\"{{ value_json.rssi }}\",\"unit_of_measurement\":\"%%\","
         "\"state_class\":\"measurement\",\"icon\":\"mdi:signal\",\"entity_category\":\"diagnostic\","
         "\"enabled_by_default\":false,", state);
  put_tail(c, d);
  config_put(c, "sensor", d->id, "signal", force);
  put_head(c, "sensor", d->id, "last_seen", "Last seen", true);
  put(c, "\"state_topic\":\"%s\",\"value_template\":\"{{ as_datetime(value_json.last_seen) }}\","
         "\"device_class\":\"timestamp\",\"entity_category\":\"diagnostic\",\"enabled_by_default\":false,", state);
  put_tail(c, d);
  config_put(c, "sensor", d->id, "last_seen", force);
  const button_rec *b = button_find(d->id, false);
  for (int n = 1; n < 256 && b; n++) {
    if (!button_seen(b, n)) continue;
    char object[16], action[MQTT_TOPIC], rest[24];
    snprintf(object, sizeof object, "press_%d", n);
    snprintf(rest, sizeof rest, "%s/action", d->id);
    mqtt_topic(action, rest);
    c.n = 0, c.fits = true, c.text[0] = 0;
    put(c, "{\"automation_type\":\"trigger\",\"topic\":\"%s\",\"type\":\"button_short_press\","
           "\"subtype\":\"button_%d\",\"payload\":\"%s\",", action, n, object);
    put_tail(c, d);
    config_put(c, "device_automation", d->id, object, force);
  }
}

void mqtt_discovery_state(int i) {
  const dev_rec *d = &dev_list[i];
  char body[STATE_JSON_SIZE], key[24];
  if (mqtt_state_json(d, body, sizeof body))
    retained_put(RETAINED_STATE, d->id, body, 0);
  else
    retained_keep(RETAINED_STATE, d->id);  // heard before this run: the broker's copy stays
  snprintf(key, sizeof key, "%s/availability", d->id);
  retained_put(RETAINED_STATE, key, d->lost ? "offline" : "online", 1);
}

void mqtt_discovery_sync(bool force) {
  if (!mqtt_online()) return;
  retained_sweep_begin();
  if (mqtt_cfg.discovery) bridge_configs(force);
  for (int i = 0; i < DEV_MAX && dev_list[i].id[0]; i++) {
    if (!strcmp(dev_list[i].type, "btn"))  // the household's remembered press seeds a trigger
      if (int n = press_last(dev_list[i].id); n > 0)
        if (button_rec *b = button_find(dev_list[i].id, true)) b->seen[n / 8] |= (uint8_t)(1 << (n % 8));
    if (mqtt_cfg.discovery) device_configs(&dev_list[i], force);
    mqtt_discovery_state(i);
  }
  retained_sweep_end();
}

void mqtt_discovery_device(int i) {
  if (mqtt_cfg.discovery) device_configs(&dev_list[i], false);
}

void mqtt_discovery_button(int i, int button) {
  if (button < 1 || button > 255 || strcmp(dev_list[i].type, "btn")) return;
  button_rec *b = button_find(dev_list[i].id, true);
  if (!b || button_seen(b, button)) return;
  b->seen[button / 8] |= (uint8_t)(1 << (button % 8));
  mqtt_discovery_device(i);
}

void mqtt_discovery_found(const char *object_id) {
  char id[7];
  int n = 0, end = 0;
  if (sscanf(object_id, "%6[0-9a-f]_press_%d%n", id, &n, &end) != 2 || object_id[end] || n < 1 || n > 255) return;
  int i = device_list_find(id);
  if (i < 0 || strcmp(dev_list[i].type, "btn")) return;
  if (button_rec *b = button_find(id, true)) b->seen[n / 8] |= (uint8_t)(1 << (n % 8));
}
