// Authentication and the cross-site rule: the two doors every request passes
// (the HTTP router's and the raw dispatcher's), the token, and the state of
// raw connections. Without TOKEN and ALLOW_ORIGIN in setup.ini, only the
// cross-site rule acts, and only on requests that carry browser headers.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int TOKEN_MIN = 16;
// Longer values could be cut by the settings reader (63-character pieces)
// without notice, so they are refused instead.
constexpr int TOKEN_MAX = 48;
constexpr int RAW_AUTH_TRIES = 3;  // wrong "auth" lines before a raw connection is closed

// Reads TOKEN and ALLOW_ORIGIN. False, after printing why, when TOKEN is set
// but unusable (too short, too long, a character outside A-Z a-z 0-9 - . _ ~ +
// /, or a setting name inside it): the gateway must not start then.
bool auth_settings();
// True when TOKEN is set.
bool auth_on();
// Compares `given` with the token in time that depends only on `len`.
bool auth_token_ok(const char *given, size_t len);
// The comma-separated origins of ALLOW_ORIGIN ("" when unset).
const char *auth_allow_origin();

// The router's door, for a request starting with a method and " /". True:
// the router goes on. False: the door has answered (403 cross-site, 401, or
// one of its own routes &auth?, &login, &logout) and the connection closes.
// Files from www/ always pass.
bool auth_http(uint32_t sock, char *request);

// The dispatcher's door, for every message before it is handled.
enum auth_verdict : uint8_t {
  AUTH_PASS,   // handle the message as usual
  AUTH_KEEP,   // answered here; keep the connection
  AUTH_CLOSE,  // answered here (or refused); close the connection
};
auth_verdict auth_msg(uint32_t sock, char *msg);

// A CORS preflight ("OPTIONS ...") from an origin named in ALLOW_ORIGIN:
// answers it and returns true (the connection then closes). Anything else
// returns false untouched.
bool auth_preflight(uint32_t sock, const char *msg);

// The connection is closing: forget its raw authentication.
void auth_close(uint32_t sock);
// Back to no token, no origins, no connection and no lock-out (tests).
void auth_reset();
