// Dashboard sessions (see sessions.h). File "sessions", one item a line:
//   token <64 hex: SHA-256 of the token>
//   <64 hex: SHA-256 of a session id> <unix seconds of its last use>
#include "auth/sessions.h"

#include <openssl/evp.h>
#include <sys/random.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "core/clock.h"
#include "core/files.h"
#include "core/text.h"

namespace {

constexpr int HASH_BYTES = 32;  // SHA-256
constexpr int HASH_HEX = 2 * HASH_BYTES;
const char FILE_NAME[] = "sessions";

struct session_rec {
  char hash[HASH_HEX + 1];  // empty = free
  time_t last_used;
};

session_rec sessions[SESSIONS_MAX];
char token_hash[HASH_HEX + 1];
bool dirty = false;       // last-use times changed since the last write
time_t last_save = 0;

void hash_hex(const char *data, size_t len, char *out) {
  uint8_t digest[HASH_BYTES];
  unsigned int n = 0;
  if (!EVP_Digest(data, len, digest, &n, EVP_sha256(), nullptr) || n != HASH_BYTES) memset(digest, 0, sizeof digest);
  sprint_hex(out, digest, HASH_BYTES);
}

bool sessions_save() {
  char text[32 + SESSIONS_MAX * (HASH_HEX + 24)];
  size_t n = (size_t)snprintf(text, sizeof text, "token %s\n", token_hash);
  for (const auto &s : sessions)
    if (s.hash[0]) n += (size_t)snprintf(text + n, sizeof text - n, "%s %lld\n", s.hash, (long long)s.last_used);
  // Created private: it says who is logged in.
  mode_t old = umask(077);
  bool ok = file_write_atomic(FILE_NAME, text, n);
  umask(old);
  if (ok) {
    chmod(FILE_NAME, 0600);
    dirty = false;
    last_save = clock_wall();
  }
  return ok;
}

session_rec *session_find(const char *id, size_t len) {
  if (len != SESSION_ID_HEX) return nullptr;
  char h[HASH_HEX + 1];
  hash_hex(id, len, h);
  for (auto &s : sessions)
    if (s.hash[0] && memcmp(s.hash, h, HASH_HEX) == 0) return &s;
  return nullptr;
}

// Drops expired sessions; true when one was dropped.
bool sessions_expire(time_t now) {
  bool dropped = false;
  for (auto &s : sessions)
    if (s.hash[0] && now - s.last_used >= SESSION_IDLE_S) s = session_rec{}, dropped = true;
  return dropped;
}

}  // namespace

void sessions_load(const char *token, size_t len) {
  sessions_reset();
  hash_hex(token, len, token_hash);
  FILE *f = fopen(FILE_NAME, "r");
  if (!f) return;
  char line[160], file_token[HASH_HEX + 1] = "";
  int n = 0;
  bool changed = false;
  while (fgets(line, sizeof line, f)) {
    char hash[HASH_HEX + 1];
    long long t;
    if (sscanf(line, "token %64s", file_token) == 1) continue;
    if (sscanf(line, "%64s %lld", hash, &t) != 2 || strlen(hash) != HASH_HEX || n == SESSIONS_MAX) {
      changed = true;
      continue;
    }
    memcpy(sessions[n].hash, hash, sizeof hash);
    sessions[n++].last_used = (time_t)t;
  }
  fclose(f);
  if (strcmp(file_token, token_hash) != 0) {  // another token: none of them counts
    for (auto &s : sessions) s = session_rec{};
    changed = true;
  }
  if (sessions_expire(clock_wall()) || changed) sessions_save();
}

bool session_new(char *id) {
  uint8_t raw[SESSION_ID_HEX / 2];
  if (getrandom(raw, sizeof raw, 0) != (ssize_t)sizeof raw) return false;
  sprint_hex(id, raw, sizeof raw);
  session_rec *slot = &sessions[0];
  for (auto &s : sessions) {
    if (!s.hash[0]) {
      slot = &s;
      break;
    }
    if (s.last_used < slot->last_used) slot = &s;
  }
  session_rec before = *slot;
  hash_hex(id, SESSION_ID_HEX, slot->hash);
  slot->last_used = clock_wall();
  if (sessions_save()) return true;
  *slot = before;
  return false;
}

bool session_valid(const char *id, size_t len) {
  session_rec *s = session_find(id, len);
  time_t now = clock_wall();
  if (!s || now - s->last_used >= SESSION_IDLE_S) return false;
  if (s->last_used != now) s->last_used = now, dirty = true;
  return true;
}

void session_end(const char *id, size_t len) {
  if (session_rec *s = session_find(id, len)) {
    *s = session_rec{};
    sessions_save();
  }
}

void sessions_tick(time_t now) {
  bool dropped = sessions_expire(now);
  if (dropped || (dirty && now - last_save >= SESSION_SAVE_S)) sessions_save();
}

void sessions_reset() {
  for (auto &s : sessions) s = session_rec{};
  token_hash[0] = 0;
  dirty = false;
  last_save = 0;
}
