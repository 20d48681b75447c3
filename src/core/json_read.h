// A small strict JSON reader (RFC 8259): one whole value read into a compact
// array of nodes, in document order, over a text the caller owns. Strings are
// decoded in place (escapes, \u with surrogate pairs, to UTF-8) and
// NUL-terminated there, so the text must be writable and outlive the nodes.
//
// Strict: no comments, no trailing commas, no leading zeros, no bare control
// characters, valid shortest-form UTF-8 only, no lone surrogates, no
// duplicate member names, nothing after the value but white space. Bounded:
// at most `cap` nodes and JSON_DEPTH_MAX levels of nesting; numbers of at
// most JSON_NUMBER_MAX characters that fit a double.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int JSON_DEPTH_MAX = 32;    // arrays and objects nested in one another
constexpr int JSON_NUMBER_MAX = 64;   // characters of one number

enum json_type : uint8_t { JSON_NULL, JSON_FALSE, JSON_TRUE, JSON_NUMBER, JSON_STRING, JSON_ARRAY, JSON_OBJECT };

// One value. A container's members follow it directly; `size` counts the
// nodes of the whole value, itself included, so `this + size` is the next
// sibling. Member names never hold a NUL (\u0000 there is refused).
struct json_node {
  const char *key;  // member name when the parent is an object, else nullptr
  union {
    const char *str;  // JSON_STRING: the decoded text, NUL-terminated
    double num;       // JSON_NUMBER
  };
  uint32_t len;   // JSON_STRING: decoded bytes (a \u0000 may sit inside); containers: members
  uint32_t size;  // nodes of this value, itself included
  uint32_t pos;   // byte offset of the value in the text
  json_type type;
};

// The outcome of json_read: the node count, or where and why it stopped.
struct json_result {
  uint32_t count;     // nodes written (the root is nodes[0])
  const char *error;  // nullptr when the text is one valid value
  uint32_t pos;       // byte offset of the offending character
  uint32_t line, col; // the same as 1-based line and column
};

// Reads `len` bytes of `text` (no NUL needed) into `nodes` (capacity `cap`).
// True when the text is exactly one valid value; otherwise `res` says where
// and why, and the text and nodes hold partial results.
bool json_read(char *text, size_t len, json_node *nodes, uint32_t cap, json_result *res);

// The member `key` of an object, or nullptr (also when `obj` is no object).
const json_node *json_member(const json_node *obj, const char *key);
// The element `i` of an array or member `i` of an object, or nullptr.
const json_node *json_item(const json_node *container, uint32_t i);
// The next sibling of a member or element.
inline const json_node *json_next(const json_node *n) { return n + n->size; }
