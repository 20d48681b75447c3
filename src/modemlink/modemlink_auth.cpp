// The network modem link's challenge and proofs (see modemlink_auth.h),
// HMAC-SHA256 from libcrypto.
#include "modemlink/modemlink_auth.h"

#include <cerrno>
#include <cstring>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/random.h>

namespace {

const char LABEL_CLIENT[] = "orvel modemlink client";
const char LABEL_DAEMON[] = "orvel modemlink daemon";

}  // namespace

bool modemlink_challenge_new(uint8_t *challenge) {
  size_t got = 0;
  while (got < (size_t)MODEMLINK_CHALLENGE_LEN) {
    ssize_t n = getrandom(challenge + got, MODEMLINK_CHALLENGE_LEN - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += (size_t)n;
  }
  return true;
}

void modemlink_proof(modemlink_role role, const uint8_t *key, size_t key_len, const uint8_t *daemon_challenge,
                     const uint8_t *client_challenge, uint8_t *proof) {
  const char *label = role == MODEMLINK_CLIENT ? LABEL_CLIENT : LABEL_DAEMON;
  size_t label_len = strlen(label);
  uint8_t msg[sizeof LABEL_CLIENT + 2 * MODEMLINK_CHALLENGE_LEN];
  memcpy(msg, label, label_len);
  memcpy(msg + label_len, daemon_challenge, MODEMLINK_CHALLENGE_LEN);
  memcpy(msg + label_len + MODEMLINK_CHALLENGE_LEN, client_challenge, MODEMLINK_CHALLENGE_LEN);
  unsigned out_len = 0;
  static const uint8_t none = 0;  // HMAC wants a pointer even for an empty key
  HMAC(EVP_sha256(), key_len ? key : &none, (int)key_len, msg, label_len + 2 * MODEMLINK_CHALLENGE_LEN, proof,
       &out_len);
}

bool modemlink_proof_ok(modemlink_role role, const uint8_t *key, size_t key_len, const uint8_t *daemon_challenge,
                        const uint8_t *client_challenge, const uint8_t *proof) {
  uint8_t want[EVP_MAX_MD_SIZE];
  modemlink_proof(role, key, key_len, daemon_challenge, client_challenge, want);
  return CRYPTO_memcmp(want, proof, MODEMLINK_PROOF_LEN) == 0;
}
