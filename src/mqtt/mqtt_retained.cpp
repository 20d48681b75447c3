// What the broker retains for this gateway (see mqtt_link.h). The table
// `held` has one record per retained topic the bridge published or found
// while scanning; a record's hash is that of the content last published (0:
// unknown, found by a scan), so an unchanged config or state is never sent
// twice, and a sweep clears every record nobody wanted, configs first.
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "devices/device_list.h"
#include "mqtt/mqtt_link.h"

// Per listed device: main entity, two diagnostics, state, availability, the
// button's event and triggers; and the bridge's own, with room to spare.
constexpr int HELD_MAX = DEV_MAX * 8 + 64;
constexpr int KEY_SIZE = 112;  // component (17) + node (71) + object id (16) and the slashes

struct held_rec {
  char key[KEY_SIZE];  // empty = free
  uint32_t hash;       // of the content published; 0 = unknown
  retained_kind kind;
  bool wanted;         // put or kept since the sweep began
};

static held_rec held[HELD_MAX];

void retained_reset() { memset(held, 0, sizeof held); }

// FNV-1a; never 0, which marks an unknown content.
static uint32_t body_hash(const char *body) {
  uint32_t h = 2166136261u;
  for (const char *p = body; *p; p++) h = (h ^ (uint8_t)*p) * 16777619u;
  return h ? h : 1;
}

static held_rec *held_find(retained_kind kind, const char *key, bool add) {
  if (strlen(key) >= KEY_SIZE) return nullptr;
  held_rec *free_rec = nullptr;
  for (auto &r : held) {
    if (r.key[0] && r.kind == kind && !strcmp(r.key, key)) return &r;
    if (!r.key[0] && !free_rec) free_rec = &r;
  }
  if (!add || !free_rec) return nullptr;
  *free_rec = {};
  snprintf(free_rec->key, KEY_SIZE, "%s", key);
  free_rec->kind = kind;
  return free_rec;
}

static void held_topic(const held_rec &r, char *t) {
  if (r.kind == RETAINED_CONFIG)
    snprintf(t, MQTT_TOPIC, "%s/%.*s/config", mqtt_cfg.prefix, KEY_SIZE - 1, r.key);
  else
    mqtt_topic(t, r.key);
}

void retained_put(retained_kind kind, const char *key, const char *body, int qos, bool force) {
  if (!mqtt_online() || mqtt_scanning()) return;
  held_rec *r = held_find(kind, key, true);
  uint32_t h = body_hash(body);
  if (r && r->hash == h && !force) {
    r->wanted = true;
    return;
  }
  char t[MQTT_TOPIC];
  if (r) held_topic(*r, t);
  if (!r || !mqtt_publish(t, body, true, qos)) return;  // a full table publishes nothing it could not clear
  r->hash = h;
  r->wanted = true;
}

void retained_keep(retained_kind kind, const char *key) {
  if (held_rec *r = held_find(kind, key, false)) r->wanted = true;
}

void retained_found(retained_kind kind, const char *key) {
  if (held_rec *r = held_find(kind, key, true)) r->hash = 0;
}

void retained_sweep_begin() {
  for (auto &r : held) r.wanted = false;
}

void retained_sweep_end() {
  for (retained_kind kind : {RETAINED_CONFIG, RETAINED_STATE})
    for (auto &r : held) {
      if (!r.key[0] || r.wanted || r.kind != kind) continue;
      char t[MQTT_TOPIC];
      held_topic(r, t);
      if (mqtt_publish(t, "", true, 1)) r = {};
    }
}
