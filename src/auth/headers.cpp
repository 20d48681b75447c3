// Header parsing and the cross-site rule over the bytes of one request.
#include "auth/headers.h"

#include <cstring>

namespace {

char lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; }

bool same_nocase(const char *a, size_t an, const char *b, size_t bn) {
  if (an != bn) return false;
  for (size_t i = 0; i < an; i++)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

bool view_is(text_view v, const char *word) { return same_nocase(v.p, v.n, word, strlen(word)); }

text_view trimmed(const char *p, size_t n) {
  while (n && (*p == ' ' || *p == '\t')) p++, n--;
  while (n && (p[n - 1] == ' ' || p[n - 1] == '\t' || p[n - 1] == '\r')) n--;
  return {p, n};
}

void header_take(const char *name, size_t nn, text_view value, auth_headers *out) {
  struct { const char *name; text_view *slot; } const slots[] = {
      {"authorization", &out->authorization}, {"cookie", &out->cookie}, {"origin", &out->origin},
      {"host", &out->host}, {"sec-fetch-site", &out->fetch_site}, {"referer", &out->referer},
      {"x-requested-with", &out->requested_with}};
  for (const auto &s : slots)
    if (same_nocase(name, nn, s.name, strlen(s.name)) && !s.slot->p) *s.slot = value;
}

// host:port of an origin "scheme://host[:port]" or of a Host value, with the
// default port of `scheme_default` filled in when none is given.
struct host_port {
  text_view host;
  text_view port;
};

host_port split_host(text_view v, const char *scheme_default) {
  host_port hp{v, {scheme_default, strlen(scheme_default)}};
  // An IPv6 literal "[::1]:80" keeps its colons inside the brackets.
  size_t from = 0;
  if (v.n && v.p[0] == '[') {
    const char *close = (const char *)memchr(v.p, ']', v.n);
    if (close) from = (size_t)(close - v.p);
  }
  for (size_t i = v.n; i > from; i--) {
    if (v.p[i - 1] != ':') continue;
    hp.host = {v.p, i - 1};
    if (i < v.n) hp.port = {v.p + i, v.n - i};
    break;
  }
  return hp;
}

}  // namespace

void auth_headers_parse(const char *request, auth_headers *out) {
  *out = auth_headers{};
  const char *p = strchr(request, '\n');  // past the request line
  while (p) {
    p++;
    const char *end = strchr(p, '\n');
    size_t len = end ? (size_t)(end - p) : strlen(p);
    text_view line = trimmed(p, len);
    if (line.n == 0) {  // the blank line: the body follows
      if (end) out->body = {end + 1, strlen(end + 1)};
      return;
    }
    const char *colon = (const char *)memchr(line.p, ':', line.n);
    if (colon) header_take(line.p, (size_t)(colon - line.p), trimmed(colon + 1, line.n - (size_t)(colon - line.p) - 1), out);
    p = end;
  }
}

bool auth_headers_bearer(const auth_headers &h, text_view *token) {
  text_view a = h.authorization;
  if (a.n <= 7 || !same_nocase(a.p, 7, "bearer ", 7)) return false;
  *token = trimmed(a.p + 7, a.n - 7);
  return token->n > 0;
}

bool auth_headers_cookie(const auth_headers &h, const char *name, text_view *value) {
  // Cookie: "a=1; name=xyz; b=2"
  size_t nn = strlen(name);
  const char *c = h.cookie.p;
  size_t left = h.cookie.n;
  while (left > nn) {
    size_t cut = 0;
    while (cut < left && c[cut] != ';') cut++;
    text_view pair = trimmed(c, cut);
    if (pair.n > nn && memcmp(pair.p, name, nn) == 0 && pair.p[nn] == '=') {
      *value = {pair.p + nn + 1, pair.n - nn - 1};
      return value->n > 0;
    }
    if (cut == left) break;
    c += cut + 1;
    left -= cut + 1;
  }
  return false;
}

bool form_field(text_view body, const char *name, text_view *value) {
  size_t nn = strlen(name);
  size_t i = 0;
  while (i < body.n) {
    size_t end = i;
    while (end < body.n && body.p[end] != '&' && body.p[end] != '\r' && body.p[end] != '\n') end++;
    if (end - i > nn && memcmp(body.p + i, name, nn) == 0 && body.p[i + nn] == '=') {
      *value = {body.p + i + nn + 1, end - i - nn - 1};
      return true;
    }
    if (end < body.n && body.p[end] != '&') break;  // the body's first line only
    i = end + 1;
  }
  return false;
}

bool origin_allowed(text_view origin, const char *allow) {
  if (!origin.n || !allow) return false;
  while (origin.n && origin.p[origin.n - 1] == '/') origin.n--;
  const char *p = allow;
  while (*p) {
    size_t len = strcspn(p, ",");
    text_view item = trimmed(p, len);
    while (item.n && item.p[item.n - 1] == '/') item.n--;
    if (item.n && same_nocase(item.p, item.n, origin.p, origin.n)) return true;
    p += len;
    if (*p == ',') p++;
  }
  return false;
}

// True when `origin` ("scheme://host[:port]") names another host:port than
// the request's Host; "null" and anything unreadable count as another.
static bool origin_other(text_view origin, text_view host) {
  const char *sep = origin.n > 3 ? (const char *)memmem(origin.p, origin.n, "://", 3) : nullptr;
  if (!sep || !host.n) return true;
  text_view scheme{origin.p, (size_t)(sep - origin.p)};
  const char *def = view_is(scheme, "https") ? "443" : view_is(scheme, "http") ? "80" : nullptr;
  if (!def) return true;
  text_view rest{sep + 3, origin.n - (size_t)(sep + 3 - origin.p)};
  while (rest.n && rest.p[rest.n - 1] == '/') rest.n--;
  host_port o = split_host(rest, def), s = split_host(host, def);
  return !same_nocase(o.host.p, o.host.n, s.host.p, s.host.n) || !same_nocase(o.port.p, o.port.n, s.port.p, s.port.n);
}

// The origin part of a URL: "scheme://host[:port]".
static text_view url_origin(text_view url) {
  const char *sep = url.n > 3 ? (const char *)memmem(url.p, url.n, "://", 3) : nullptr;
  if (!sep) return url;
  const char *end = sep + 3;
  while (end < url.p + url.n && *end != '/' && *end != '?' && *end != '#') end++;
  return {url.p, (size_t)(end - url.p)};
}

bool auth_cross_site(const auth_headers &h, const char *allow) {
  if (origin_allowed(h.origin, allow)) return false;
  if (view_is(h.fetch_site, "cross-site") || view_is(h.fetch_site, "same-site")) return true;
  if (h.origin.p) return origin_other(h.origin, h.host);
  if (!h.referer.n) return false;
  text_view from = url_origin(h.referer);
  return !origin_allowed(from, allow) && origin_other(from, h.host);
}

bool auth_same_origin(const auth_headers &h) {
  if (h.requested_with.n || view_is(h.fetch_site, "same-origin")) return true;
  return h.origin.n && !origin_other(h.origin, h.host);
}

// True when every character of `v` is a digit or '.' (an IPv4 literal), or
// `v` is bracketed (an IPv6 literal).
static bool ip_literal(text_view v) {
  if (v.n && v.p[0] == '[') return true;
  for (size_t i = 0; i < v.n; i++)
    if (!((v.p[i] >= '0' && v.p[i] <= '9') || v.p[i] == '.')) return false;
  return v.n > 0;
}

bool auth_host_ok(const auth_headers &h, const char *own, const char *allow) {
  if (!h.host.p) return true;
  text_view name = split_host(h.host, "").host;
  while (name.n && name.p[name.n - 1] == '.') name.n--;  // "host." is "host"
  if (ip_literal(name) || view_is(name, "localhost")) return true;
  size_t on = strlen(own);
  if (on && (same_nocase(name.p, name.n, own, on) ||
             (name.n == on + 6 && same_nocase(name.p, on, own, on) && same_nocase(name.p + on, 6, ".local", 6))))
    return true;
  for (const char *p = allow; *p;) {
    size_t len = strcspn(p, ",");
    text_view item = trimmed(p, len);
    if (item.n && same_nocase(item.p, item.n, name.p, name.n)) return true;
    p += len;
    if (*p == ',') p++;
  }
  return false;
}
