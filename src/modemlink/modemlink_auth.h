// The network modem link's cryptography: the mutual proof of the shared key,
// then the sealing of every later frame. Each side sends a
// fresh random challenge, and each proves the key with HMAC-SHA256 over both
// challenges and a label of its own role, so that neither proof can be
// replayed on another connection nor reflected to the other side.
//
//   client proof = HMAC-SHA256(key, "orvel modemlink client" | daemon challenge | client challenge)
//   daemon proof = HMAC-SHA256(key, "orvel modemlink daemon" | daemon challenge | client challenge)
//
// The key is the bytes of the shared text (MODEMKEY, the key file's first line).
//
// Sealing (frame layout in modemlink.h) uses one key per direction, drawn
// the same way, so each connection has keys of its own:
//
//   daemon-to-client key = HMAC-SHA256(key, "orvel modemlink seal daemon" | daemon challenge | client challenge)
//   client-to-daemon key = HMAC-SHA256(key, "orvel modemlink seal client" | daemon challenge | client challenge)
//
// A recorded session can be read by whoever learns the shared key later:
// there is no forward secrecy.
#pragma once
#include <cstddef>
#include <cstdint>

#include "modemlink/modemlink.h"

constexpr int MODEMLINK_CHALLENGE_LEN = 32;
constexpr int MODEMLINK_PROOF_LEN = 32;
constexpr int MODEMLINK_KEY_MAX = 255;

enum modemlink_role : uint8_t { MODEMLINK_CLIENT, MODEMLINK_DAEMON };

// Fills `challenge` with MODEMLINK_CHALLENGE_LEN random bytes from the
// kernel; false when it has none to give.
bool modemlink_challenge_new(uint8_t *challenge);
// The proof of `role` for this pair of challenges into `proof`.
void modemlink_proof(modemlink_role role, const uint8_t *key, size_t key_len, const uint8_t *daemon_challenge,
                     const uint8_t *client_challenge, uint8_t *proof);
// True when `proof` is that of `role`; compares in constant time.
bool modemlink_proof_ok(modemlink_role role, const uint8_t *key, size_t key_len, const uint8_t *daemon_challenge,
                        const uint8_t *client_challenge, const uint8_t *proof);

constexpr int MODEMLINK_SEAL_KEY_LEN = 32;

// One connection's sealing state, both directions; zeroed = off.
struct modemlink_seal {
  bool on;
  uint8_t tx_key[MODEMLINK_SEAL_KEY_LEN], rx_key[MODEMLINK_SEAL_KEY_LEN];
  uint64_t tx_count, rx_count;  // frames sealed and opened so far: the next nonces
};

// Turns sealing on for the side `me`, with keys drawn from the shared key and
// this connection's challenges.
void modemlink_seal_start(modemlink_seal *s, modemlink_role me, const uint8_t *key, size_t key_len,
                          const uint8_t *daemon_challenge, const uint8_t *client_challenge);
// Seals the frame `type`/`body` into the body of an 'S' frame at `out`
// (MODEMLINK_BODY_MAX bytes); its length, or 0 when the frame is out of its
// type's bounds or longer than MODEMLINK_INNER_MAX.
int modemlink_seal_put(modemlink_seal *s, uint8_t type, const uint8_t *body, int len, uint8_t *out);
// Opens the 'S' frame `f` in place into the frame it carries. False when `f`
// is not sealed, fails its tag (forged, replayed, out of order, the other
// direction's) or carries a frame out of its type's bounds.
bool modemlink_seal_open(modemlink_seal *s, modemlink_frame *f);
