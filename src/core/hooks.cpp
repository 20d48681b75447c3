// The hook lists themselves (see hooks.h).
#include "core/hooks.h"

hook_list<const packet_view &> hook_packet;
hook_list<rx_drop> hook_rx_drop;
hook_list<int> hook_device;
hook_list<int> hook_devices_loaded;
hook_list<bool> hook_usb;
hook_list<const char *> hook_no_reply;
hook_list<tx_source> hook_tx;
hook_list<bool> hook_cron;
hook_list<uint32_t, close_reason> hook_close;
hook_list<time_t> hook_tick;
hook_list<> hook_pass;
hook_list<> hook_started;
hook_list<bool> hook_hub;
hook_list<config_what, const char *> hook_config;
hook_list<const char *, const char *> hook_rule;
hook_list<const char *, bool> hook_reach;
