// HTTP reply framing: a status line and headers chosen by the reply kind.
#pragma once
#include <cstdint>

// Reply kinds: 200 text, 201 cacheable file, 202 JSON, 203 CSS, 204 JavaScript,
// 205 HTML, 301 redirect (body = location), 401 token needed (JSON, "WWW-Authenticate:
// Bearer"), 403 refused (JSON, no CORS header), 404 not found. Other kinds write nothing.
void http_reply(uint32_t sock, int kind, const char *body);
