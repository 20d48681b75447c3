// Dashboard sessions: a login with the token creates a random session id,
// and the cookie holds that id, never the token. Sessions are kept across a
// restart in "sessions" (mode 0600) as hashes only: the file holds the
// SHA-256 of each id with its last use, and the hash of the token they were
// made under, so a changed TOKEN revokes them all. A session idle for
// SESSION_IDLE_S expires; a logout revokes its own.
#pragma once
#include <cstddef>
#include <ctime>

constexpr int SESSIONS_MAX = 64;                  // sessions at once; the idlest makes room
constexpr long SESSION_IDLE_S = 30L * 24 * 3600;  // idle time before a session expires
constexpr int SESSION_ID_HEX = 32;                // 16 random bytes as hex
constexpr long SESSION_SAVE_S = 3600;             // last-use times are written at most this often

// Reads "sessions" for the token `token` (`len` bytes): sessions made under
// another token, or expired, are dropped (and the file rewritten).
void sessions_load(const char *token, size_t len);
// A new session: its id into `id` (SESSION_ID_HEX + 1 bytes). False when no
// randomness could be had or the file cannot be written.
bool session_new(char *id);
// True when `id` (`len` bytes) is a live session; its last use becomes now.
bool session_valid(const char *id, size_t len);
// Revokes the session `id`, if any.
void session_end(const char *id, size_t len);
// Once a second: writes the last-use times when they changed and the last
// write is SESSION_SAVE_S old, and drops expired sessions.
void sessions_tick(time_t now);
void sessions_reset();
