// The ordered hook lists: the one place where an event of the gateway meets
// every subsystem that wants it. A subsystem adds its functions in its own
// start function; the order of the starts (app/start.cpp) is the order in
// which they hear, cause before effect. The lists hold plain function
// pointers, so core needs to know nothing of the subsystems above it.
#pragma once
#include <cstdint>
#include <ctime>

template <class... Args>
class hook_list {
 public:
  static constexpr int MAX = 16;  // functions per event
  using fn = void (*)(Args...);
  // False when the list is full (a wiring fault: app/ checks it at start).
  bool add(fn f) {
    if (count_ == MAX) return false;
    fns_[count_++] = f;
    return true;
  }
  // Calls every function in the order added. A function may add to the list;
  // the new one is called from the next event on.
  void run(Args... args) const {
    for (int i = 0, n = count_; i < n; i++) fns_[i](args...);
  }
  void clear() { count_ = 0; }

 private:
  fn fns_[MAX] = {};
  int count_ = 0;
};

// A received radio packet that passed the filters: its 65 bytes, its radio
// event (the JSON object a long-poll receives) and its dotted text form.
struct packet_view {
  const uint8_t *bytes;
  const char *event;
  const char *line;
};

// Why a connection is closed.
enum close_reason : uint8_t {
  CLOSE_DONE,     // answered, or the client said "exit"
  CLOSE_PEER,     // the client hung up
  CLOSE_FAILED,   // a receive or send failed
  CLOSE_STALLED,  // its queued bytes made no progress
  CLOSE_EVICTED,  // made room for a newcomer
  CLOSE_REFUSED,  // the door refused it
  CLOSE_TIMEOUT,  // it said nothing in time
};

// Where a radio command came from (counted once, where it is written).
enum tx_source : uint8_t { TX_HTTP, TX_RAW, TX_CRON, TX_MQTT, TX_RULE, TX_SOURCES };

// What a `config` change concerns: the household's set-up, which every open
// dashboard follows.
enum config_what : uint8_t { CONFIG_DEVICES, CONFIG_ROOMS, CONFIG_SCHEDULE, CONFIG_RULES, CONFIG_VALUE };

// Why a packet from the modem was dropped before dispatch.
enum rx_drop : uint8_t { RX_DROP_LENGTH, RX_DROP_DUPLICATE, RX_DROP_WEAK, RX_DROPS };

extern hook_list<const packet_view &> hook_packet;   // a packet passed the filters
extern hook_list<rx_drop> hook_rx_drop;               // a packet was dropped
extern hook_list<int> hook_device;                    // cached state of dev_list[index] changed
extern hook_list<int> hook_devices_loaded;            // the device table was (re)loaded: count
extern hook_list<bool> hook_usb;                      // the modem came (true) or went (false)
extern hook_list<const char *> hook_no_reply;         // device id as commanded (six hex digits) did not answer
extern hook_list<tx_source> hook_tx;                  // a radio command was written to the modem
extern hook_list<bool> hook_cron;                     // a scheduled command was sent (false) or given up (true)
extern hook_list<uint32_t, close_reason> hook_close;  // a connection is being closed
extern hook_list<time_t> hook_tick;                   // once per change of the clock second
extern hook_list<> hook_pass;                         // end of every pass: deferred work (closes)
extern hook_list<> hook_started;                      // start-up is over: the loop begins
extern hook_list<bool> hook_hub;                      // the MQTT bridge reached (true) or lost its broker
extern hook_list<config_what, const char *> hook_config;  // a set-up changed (a stored value: its key, else "")
extern hook_list<const char *, const char *> hook_rule;   // a rule's event: rule id, text
extern hook_list<const char *, bool> hook_reach;     // a listed device became reachable (true) or not
