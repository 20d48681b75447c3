// Parked HTTP requests: a radio command over HTTP waits for the device's
// reply (ROLE_WAIT, one entry of the awaited-reply table), a long-poll
// ("&listen" over HTTP) for the next radio event (ROLE_LONGPOLL). Each kind
// has its own HTTP_CON_MAX places, so long-polls, which never time out, can
// never leave a radio command without one. The reply header was sent when
// the request was parked; the body ends the connection: the device's event,
// "NO REPLY" after two ticks, "USB REMOVED" when the modem goes away.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int HTTP_CON_MAX = 10;  // parked requests of each kind at once
constexpr int WAIT_TICKS = 2;     // ticks until "NO REPLY"

// Parks a long-poll connection; false when HTTP_CON_MAX long-polls wait
// already or the connection is parked.
bool comet_add(uint32_t sock);
// Parks a reply wait for the command described by last_tx; false as above.
bool http_con_reg(uint32_t sock);
// Registers the radio route "@...", the long-poll route "&listen" and the
// hooks that answer parked requests.
void waits_start();
