// Reachability of the listed devices (see device_list.h): the `lost` mark of
// each record, set by a NO REPLY and cleared by any packet of the device.
#include <cstring>

#include "core/hooks.h"
#include "devices/device_list.h"

// Sets the mark of record `i`; hook_reach hears a change only.
static void reach_set(int i, bool lost) {
  if (dev_list[i].lost == lost) return;
  dev_list[i].lost = lost;
  hook_reach.run(dev_list[i].id, !lost);
}

void device_reach_lost(const char *id) {
  bool exact = device_list_find(id) >= 0;
  for (int i = 0; i < DEV_MAX && dev_list[i].id[0]; i++)
    if (exact ? !strncmp(dev_list[i].id, id, 6) : id[5] == '0' && !strncmp(dev_list[i].id, id, 5))
      reach_set(i, true);
}

void device_reach_heard(const char *id) {
  for (int i = 0; i < DEV_MAX && dev_list[i].id[0]; i++)
    if (!strncmp(dev_list[i].id, id, 5)) reach_set(i, false);
}
