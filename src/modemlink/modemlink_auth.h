// The network modem link's mutual proof of the shared key: each side sends a
// fresh random challenge, and each proves the key with HMAC-SHA256 over both
// challenges and a label of its own role, so that neither proof can be
// replayed on another connection nor reflected to the other side.
//
//   client proof = HMAC-SHA256(key, "orvel modemlink client" | daemon challenge | client challenge)
//   daemon proof = HMAC-SHA256(key, "orvel modemlink daemon" | daemon challenge | client challenge)
//
// The key is the bytes of the shared text (MODEMKEY, the key file's first line).
#pragma once
#include <cstddef>
#include <cstdint>

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
