// The HTTP request router: one route per request target, in a fixed order.
#pragma once
#include <cstdint>

// `request` starts with a three-letter method; returns the verdict (true
// only for a parked request).
bool HTTP_req(uint32_t sock, char *request);
