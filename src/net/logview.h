// The log viewer: "&log=YYMMDD" sends a day file of the daily log,
// "&log/<text>" writes the client's text as one system log line.
#pragma once
#include <cstdint>

constexpr int LOG_DATE_DIGITS = 6;  // year of the century, month, day
constexpr int LOG_TEXT_SIZE = 256;  // client text buffer: at most 255 characters

enum log_req_kind {
  LOG_REQ_BAD,   // refused: the router answers 404
  LOG_REQ_DAY,   // send the day file named in `out`
  LOG_REQ_LINE,  // write `out` as one system log line
};

// Reads a log route (at its "&log"). For a day request `out` receives
// "logs/YYMMDD.log"; for a line request the decoded text, in which every
// control character (LF and CR included) has become a blank, so the text is
// always exactly one line. The text must end at a blank (the one before the
// protocol version): a request line that ends first, or a text of more than
// 255 characters, is refused. `out` holds LOG_TEXT_SIZE bytes.
log_req_kind log_req_parse(const char *route, char *out);

// Handles a log route: true when a reply was written, false when nothing was.
bool logging(uint32_t sock, char *route);
