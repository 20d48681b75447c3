// The request headers that authentication and the cross-site rule read, and
// the pure decisions made on them. Nothing here touches a socket.
#pragma once
#include <cstddef>

// A run of bytes inside the request (not terminated); n == 0 means absent.
struct text_view {
  const char *p = nullptr;
  size_t n = 0;
};

struct auth_headers {
  text_view authorization;  // "Authorization"
  text_view cookie;         // "Cookie"
  text_view origin;         // "Origin"
  text_view host;           // "Host"
  text_view fetch_site;     // "Sec-Fetch-Site"
  text_view referer;        // "Referer"
  text_view requested_with; // "X-Requested-With"
  text_view body;           // everything after the blank line (may be empty)
};

// Reads the header lines of a NUL-terminated request: the request line is
// skipped, names match case-insensitively, values are trimmed of blanks and
// the first of repeated headers counts. Lines may end in CRLF or LF; the
// headers end at a blank line or at the NUL.
void auth_headers_parse(const char *request, auth_headers *out);

// The bearer token of "Authorization: Bearer <token>"; false when absent.
bool auth_headers_bearer(const auth_headers &h, text_view *token);
// The value of the cookie `name`; false when the request has none.
bool auth_headers_cookie(const auth_headers &h, const char *name, text_view *value);
// True when the request shows it comes from a page of the gateway's own
// origin, which a page elsewhere cannot fake without a preflight: the
// header X-Requested-With, an Origin equal to the Host, or
// "Sec-Fetch-Site: same-origin".
bool auth_same_origin(const auth_headers &h);

// The value of field `name` in a form-encoded body ("a=1&token=x"), still
// encoded. False when absent.
bool form_field(text_view body, const char *name, text_view *value);

// True when a browser marks the request as made by a page of another origin:
// "Sec-Fetch-Site" is "cross-site" or "same-site", or "Origin" (without an
// Origin, the origin of "Referer") is "null" or names another host:port than
// "Host" (a missing port is the scheme's default). An "Origin" listed in
// `allow` (comma-separated origins, may be empty) always passes. A request
// with none of these headers passes.
bool auth_cross_site(const auth_headers &h, const char *allow);
// True when the request may name this host: no Host header, an IP literal,
// "localhost", `own` (the machine's host name) with or without ".local", or
// a name listed in `allow` (comma-separated); the port is not compared.
// Anything else is a name that could be made to point here (DNS rebinding).
bool auth_host_ok(const auth_headers &h, const char *own, const char *allow);

// True when `origin` is one of the comma-separated origins of `allow`
// (case-insensitive, a trailing '/' ignored).
bool origin_allowed(text_view origin, const char *allow);
