// The MQTT bridge (see mqtt.h). Not built yet: always off.
#include "mqtt/mqtt.h"

void mqtt_start() {}
const char *mqtt_state() { return "off"; }
long mqtt_down_seconds() { return 0; }
uint64_t mqtt_published_total() { return 0; }
