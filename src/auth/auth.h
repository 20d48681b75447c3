// Authentication and the cross-site rule: the two doors every request passes
// (the HTTP router's and the raw dispatcher's), the token, and the state of
// raw connections. Without TOKEN and ALLOW_ORIGIN in setup.ini, only the
// cross-site rule acts, and only on requests that carry browser headers.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int TOKEN_MIN = 16;
constexpr int TOKEN_MAX = 255;  // all a setting's value holds
constexpr int RAW_AUTH_TRIES = 3;   // wrong "auth" lines before a raw connection is closed
constexpr int RAW_AUTH_WAIT_S = 10; // with a token: seconds a raw connection has to give it

// Reads TOKEN and ALLOW_ORIGIN and puts the doors in place: the raw door on
// every message, the HTTP door on every route row, and the routes of
// authentication itself. False, after printing why, when TOKEN is set but
// unusable (shorter than TOKEN_MIN, or a blank or control character in it):
// the gateway must not start then. Without a token every start says so.
bool auth_start();
// True when TOKEN is set.
bool auth_on();
// Compares `given` with the token in time that depends only on `len`.
bool auth_token_ok(const char *given, size_t len);
// The comma-separated origins of ALLOW_ORIGIN ("" when unset).
const char *auth_allow_origin();
// The comma-separated host names of ALLOW_HOST ("" when unset).
const char *auth_allow_host();

// A CORS preflight ("OPTIONS ...") from an origin named in ALLOW_ORIGIN:
// answers it and returns true (the connection then closes). Anything else
// returns false untouched.
bool auth_preflight(uint32_t sock, const char *msg);
// The routes of authentication itself (auth_http.cpp): "&auth" always,
// "&login" and "&logout" while a token is set; and the HTTP door.
void auth_http_start();
// Back to no token, no origins, no connection and no lock-out (tests).
void auth_reset();
