// The value store: short named values kept one per file under "mem", read and
// written over HTTP ("&set/", "&get/", "_set/", "_get/"). The upload shares
// its name rules and its directory.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int MEM_KEY_MAX = 15;    // characters in a key or upload name
constexpr int MEM_NAME_SIZE = 20;  // "mem/" + key + NUL
constexpr int MEM_READ_BLOCK = 1024;

// Reads a key at `text`: 1..MEM_KEY_MAX characters accepted by valid_char,
// ended by '/' or a blank. Refuses an empty or over-long key, any other
// character (the NUL included) and the names "." and "..". Copies the key
// into `key` (>= MEM_KEY_MAX + 1 bytes) and returns its length, or -1.
int mem_key_parse(const char *text, char *key);

// A store route as read by mem_route_parse.
struct mem_route {
  char verb;                   // 'g' or 's' (a capital letter is lowered)
  char key[MEM_KEY_MAX + 1];   // the key, terminated
  int value_off;               // offset of the value in the route; 0 = no value
};

// Reads "&set/<key>[/<value>]" (or "&get", '_' in place of '&'; the verb
// letters in either case). No value when the key is followed by a blank or
// by '/' and a blank. False for an unknown verb or a refused key.
bool mem_route_parse(const char *route, mem_route *out);

// Handles a store route (at its '&' or '_'): true when a reply was written,
// false when nothing was (the router answers 404).
bool memcache(uint32_t sock, char *route);
// Decodes the value in place (it ends at a blank, CR, LF or the NUL) and
// replaces the file with it crash-safely (through "<name>~"). False, with the
// old file whole, when the value is empty or the write fails.
bool mem_file_set(const char *name, char *value);
// Sends the value's header (application/octet-stream, nosniff, a sandboxing
// content policy) and the file's bytes; false when the file cannot
// be opened or is not a regular file (nothing sent), or a read or send failed
// part-way.
bool mem_file_get(const char *name, uint32_t sock);
