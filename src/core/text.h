// Text and hex helpers shared by every protocol parser. They work on
// NUL-terminated byte strings in caller buffers, keep no state and never read
// past a terminating NUL.
#pragma once
#include <cstddef>
#include <cstdint>

// Word equality: both texts are read up to their first blank, CR, LF or NUL.
bool str_eq(const char *text, const char *word);
// Plain prefix test; an empty prefix is always true.
bool str_begin(const char *text, const char *prefix);
// Copies until `stop`, the NUL or 128 characters; always terminates (dst >= 129 bytes).
int str_copy_till(char *dst, const char *src, char stop);
// Two hex digits to a byte; on a non-hex character sets *err to 1 (never clears it) and returns 0.
uint8_t hexdec(const char *two, uint8_t *err);
// One byte as two lower-case hex digits, no terminator.
void dechex(char *dst, uint8_t value);
// `count` bytes as lower-case hex, terminated: dst holds 2*count+1 bytes.
void sprint_hex(char *dst, const uint8_t *bytes, int count);
// The byte of a URL escape "%XY", without validation.
uint8_t x2c(char first, char second);
// URL-decodes in place ('%XY', '+'), ending the text at the first blank;
// returns the decoded length. An escape cut short by the end of the text is dropped.
int url_decode(char *text);
// '.', digits and ASCII letters: the characters of stored value and upload names.
bool valid_char(char c);
bool isnumch(char c);
// An optional '@' then six characters 0-9 a-f.
bool isID(const char *text);
// Prints the message and a newline while debug_mode is on.
void dbug(const char *msg);

// Appends `src` to the NUL-terminated `dst` (capacity `cap` bytes) as the body
// of a JSON string: quotes, backslashes and control characters are escaped.
// Never writes past `cap`; an escape that does not fit whole is left out.
void json_escape_append(char *dst, size_t cap, const char *src);
