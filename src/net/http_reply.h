// HTTP reply framing. Every reply says "Connection: close" and carries no
// Content-Length: the end of the body is the end of the connection.
#pragma once
#include <cstddef>
#include <cstdint>

// The classic reply kinds, byte for byte as clients know them: 200 text,
// 201 cacheable file, 202 JSON, 203 CSS, 204 JavaScript, 205 HTML,
// 301 redirect (body = location), 401 token needed (JSON, "WWW-Authenticate:
// Bearer"), 403 refused (JSON, no CORS header), 404 not found. Other kinds
// write nothing.
void http_reply(uint32_t sock, int kind, const char *body);

// Any other reply: "HTTP/1.1 <status>", a Content-Type line when `type` is
// given, the `extra` header lines (each ending in CRLF; may be null), the
// common tail, then `len` bytes of `body`, all in one send.
void http_respond(uint32_t sock, const char *status, const char *type, const char *extra, const char *body,
                  size_t len);
// The same for a NUL-terminated body (null: none).
void http_respond_text(uint32_t sock, const char *status, const char *type, const char *extra, const char *body);
