// The network modem link's challenge, proofs and sealing (see
// modemlink_auth.h): HMAC-SHA256 and AES-256-GCM from libcrypto.
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
const char LABEL_SEAL_CLIENT[] = "orvel modemlink seal client";
const char LABEL_SEAL_DAEMON[] = "orvel modemlink seal daemon";
constexpr int LABEL_MAX = 32;
constexpr int NONCE_LEN = 12;

// HMAC-SHA256(key, label | daemon challenge | client challenge) into `out` (32 bytes).
void draw(const char *label, const uint8_t *key, size_t key_len, const uint8_t *daemon_challenge,
          const uint8_t *client_challenge, uint8_t *out) {
  size_t label_len = strlen(label);
  uint8_t msg[LABEL_MAX + 2 * MODEMLINK_CHALLENGE_LEN];
  memcpy(msg, label, label_len);
  memcpy(msg + label_len, daemon_challenge, MODEMLINK_CHALLENGE_LEN);
  memcpy(msg + label_len + MODEMLINK_CHALLENGE_LEN, client_challenge, MODEMLINK_CHALLENGE_LEN);
  unsigned out_len = 0;
  static const uint8_t none = 0;  // HMAC wants a pointer even for an empty key
  HMAC(EVP_sha256(), key_len ? key : &none, (int)key_len, msg, label_len + 2 * MODEMLINK_CHALLENGE_LEN, out,
       &out_len);
}

// AES-256-GCM over `len` bytes of `in` into `out`, with the frame's number
// as the nonce and `aad` authenticated too. Sealing writes `tag`; opening
// checks it and is false when it does not match.
bool gcm(bool seal, const uint8_t *key, uint64_t count, const uint8_t *aad, int aad_len, const uint8_t *in, int len,
         uint8_t *out, uint8_t *tag) {
  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  if (!ctx) return false;
  uint8_t nonce[NONCE_LEN] = {};
  for (int i = 0; i < 8; i++) nonce[NONCE_LEN - 1 - i] = (uint8_t)(count >> (8 * i));
  int n = 0;
  bool ok = EVP_CipherInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key, nonce, seal ? 1 : 0) == 1 &&
            EVP_CipherUpdate(ctx, nullptr, &n, aad, aad_len) == 1 && EVP_CipherUpdate(ctx, out, &n, in, len) == 1 &&
            (seal || EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, MODEMLINK_TAG_LEN, tag) == 1) &&
            EVP_CipherFinal_ex(ctx, out + n, &n) == 1 &&
            (!seal || EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, MODEMLINK_TAG_LEN, tag) == 1);
  EVP_CIPHER_CTX_free(ctx);
  return ok;
}

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
  draw(role == MODEMLINK_CLIENT ? LABEL_CLIENT : LABEL_DAEMON, key, key_len, daemon_challenge, client_challenge,
       proof);
}

bool modemlink_proof_ok(modemlink_role role, const uint8_t *key, size_t key_len, const uint8_t *daemon_challenge,
                        const uint8_t *client_challenge, const uint8_t *proof) {
  uint8_t want[EVP_MAX_MD_SIZE];
  modemlink_proof(role, key, key_len, daemon_challenge, client_challenge, want);
  return CRYPTO_memcmp(want, proof, MODEMLINK_PROOF_LEN) == 0;
}

void modemlink_seal_start(modemlink_seal *s, modemlink_role me, const uint8_t *key, size_t key_len,
                          const uint8_t *daemon_challenge, const uint8_t *client_challenge) {
  bool client = me == MODEMLINK_CLIENT;
  draw(client ? LABEL_SEAL_CLIENT : LABEL_SEAL_DAEMON, key, key_len, daemon_challenge, client_challenge, s->tx_key);
  draw(client ? LABEL_SEAL_DAEMON : LABEL_SEAL_CLIENT, key, key_len, daemon_challenge, client_challenge, s->rx_key);
  s->tx_count = s->rx_count = 0;
  s->on = true;
}

int modemlink_seal_put(modemlink_seal *s, uint8_t type, const uint8_t *body, int len, uint8_t *out) {
  if (type == MODEMLINK_SEALED || len > MODEMLINK_INNER_MAX || !modemlink_size_ok(type, len)) return 0;
  uint8_t plain[1 + MODEMLINK_INNER_MAX];
  plain[0] = type;
  if (len > 0) memcpy(plain + 1, body, (size_t)len);
  int sealed = 1 + len + MODEMLINK_TAG_LEN;
  const uint8_t header[2] = {(uint8_t)(1 + sealed), MODEMLINK_SEALED};
  if (!gcm(true, s->tx_key, s->tx_count, header, 2, plain, 1 + len, out, out + 1 + len)) return 0;
  s->tx_count++;
  return sealed;
}

bool modemlink_seal_open(modemlink_seal *s, modemlink_frame *f) {
  if (f->type != MODEMLINK_SEALED || f->len < 1 + MODEMLINK_TAG_LEN) return false;
  int inner = f->len - MODEMLINK_TAG_LEN;  // type and body
  const uint8_t header[2] = {(uint8_t)(1 + f->len), MODEMLINK_SEALED};
  uint8_t plain[MODEMLINK_BODY_MAX];
  if (!gcm(false, s->rx_key, s->rx_count, header, 2, f->body, inner, plain, f->body + inner)) return false;
  s->rx_count++;
  if (plain[0] == MODEMLINK_SEALED || !modemlink_size_ok(plain[0], inner - 1)) return false;
  f->type = plain[0];
  f->len = inner - 1;
  memcpy(f->body, plain + 1, (size_t)f->len);
  return true;
}
