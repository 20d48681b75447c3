// The network modem link's sealing: what one side seals the other opens,
// in order, and nothing else opens.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "modemlink/modemlink.h"
#include "modemlink/modemlink_auth.h"

namespace {

const std::string KEY = "a shared key of the house";

struct pair_of_ends {
  modemlink_seal daemon{}, client{};
  uint8_t dch[MODEMLINK_CHALLENGE_LEN], cch[MODEMLINK_CHALLENGE_LEN];
  pair_of_ends() {
    EXPECT_TRUE(modemlink_challenge_new(dch));
    EXPECT_TRUE(modemlink_challenge_new(cch));
    modemlink_seal_start(&daemon, MODEMLINK_DAEMON, (const uint8_t *)KEY.data(), KEY.size(), dch, cch);
    modemlink_seal_start(&client, MODEMLINK_CLIENT, (const uint8_t *)KEY.data(), KEY.size(), dch, cch);
  }
};

// Seals one frame and passes it through the wire's encoder and parser, as
// a peer would receive it.
modemlink_frame seal_wire(modemlink_seal *s, uint8_t type, const std::string &body) {
  uint8_t sealed[MODEMLINK_BODY_MAX], wire[MODEMLINK_FRAME_MAX];
  int n = modemlink_seal_put(s, type, (const uint8_t *)body.data(), (int)body.size(), sealed);
  EXPECT_GT(n, 0);
  int w = modemlink_put(wire, MODEMLINK_SEALED, sealed, n);
  EXPECT_EQ(w, 2 + n);
  modemlink_parser p;
  modemlink_parser_reset(&p);
  modemlink_frame f{};
  size_t used = 0;
  EXPECT_EQ(modemlink_parse(&p, wire, (size_t)w, &used, &f), MODEMLINK_FRAME);
  return f;
}

TEST(ModemlinkSeal, EachDirectionOpensWhatTheOtherSealedInOrder) {
  pair_of_ends e;
  const struct {
    uint8_t type;
    std::string body;
  } frames[] = {
      {MODEMLINK_REPORT, std::string(MODEMLINK_REPORT_MAX, '\x5a')},
      {MODEMLINK_KEEPALIVE, ""},
      {MODEMLINK_OPENED, std::string(MODEMLINK_INNER_MAX, 'p')},
      {MODEMLINK_LOST, ""},
      {MODEMLINK_REPORT, "\x01\x02\x03"},
  };
  for (bool from_daemon : {true, false}) {
    modemlink_seal *tx = from_daemon ? &e.daemon : &e.client, *rx = from_daemon ? &e.client : &e.daemon;
    for (const auto &fr : frames) {
      SCOPED_TRACE(std::string(1, (char)fr.type) + (from_daemon ? " from the daemon" : " from the client"));
      modemlink_frame f = seal_wire(tx, fr.type, fr.body);
      if (fr.body.size() >= 8) {
        EXPECT_EQ(std::string((const char *)f.body, (size_t)f.len).find(fr.body.substr(0, 8)), std::string::npos)
            << "the body travels in the clear";
      }
      ASSERT_TRUE(modemlink_seal_open(rx, &f));
      EXPECT_EQ(f.type, fr.type);
      EXPECT_EQ(std::string((const char *)f.body, (size_t)f.len), fr.body);
    }
  }
}

TEST(ModemlinkSeal, NothingElseOpens) {
  using change = std::function<bool(pair_of_ends &, modemlink_frame &)>;  // true: it opened
  const struct {
    const char *name;
    change open;
  } rows[] = {
      {"a ciphertext bit flipped",
       [](pair_of_ends &e, modemlink_frame &f) {
         f.body[0] ^= 1;
         return modemlink_seal_open(&e.client, &f);
       }},
      {"a tag bit flipped",
       [](pair_of_ends &e, modemlink_frame &f) {
         f.body[f.len - 1] ^= 0x80;
         return modemlink_seal_open(&e.client, &f);
       }},
      {"cut short",
       [](pair_of_ends &e, modemlink_frame &f) {
         f.len--;
         return modemlink_seal_open(&e.client, &f);
       }},
      {"replayed",
       [](pair_of_ends &e, modemlink_frame &f) {
         modemlink_frame copy = f;
         EXPECT_TRUE(modemlink_seal_open(&e.client, &copy));
         return modemlink_seal_open(&e.client, &f);
       }},
      {"one dropped before it",
       [](pair_of_ends &e, modemlink_frame &) {
         modemlink_frame next = seal_wire(&e.daemon, MODEMLINK_KEEPALIVE, "");
         return modemlink_seal_open(&e.client, &next);
       }},
      {"reflected to its sender",
       [](pair_of_ends &e, modemlink_frame &f) { return modemlink_seal_open(&e.daemon, &f); }},
      {"opened with another key",
       [](pair_of_ends &e, modemlink_frame &f) {
         const std::string other = "another key of the house";
         modemlink_seal wrong{};
         modemlink_seal_start(&wrong, MODEMLINK_CLIENT, (const uint8_t *)other.data(), other.size(), e.dch, e.cch);
         return modemlink_seal_open(&wrong, &f);
       }},
      {"opened on another connection",
       [](pair_of_ends &, modemlink_frame &f) {
         pair_of_ends other;
         return modemlink_seal_open(&other.client, &f);
       }},
      {"not sealed",
       [](pair_of_ends &e, modemlink_frame &f) {
         f.type = MODEMLINK_REPORT;
         return modemlink_seal_open(&e.client, &f);
       }},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    pair_of_ends e;
    modemlink_frame f = seal_wire(&e.daemon, MODEMLINK_REPORT, "\x10\x20\x30\x40");
    EXPECT_FALSE(r.open(e, f));
  }
}

TEST(ModemlinkSeal, OnlyFramesThatFitAreSealed) {
  pair_of_ends e;
  uint8_t out[MODEMLINK_BODY_MAX];
  const std::string longest(MODEMLINK_INNER_MAX, 'x'), over(MODEMLINK_INNER_MAX + 1, 'x');
  EXPECT_EQ(modemlink_seal_put(&e.daemon, MODEMLINK_OPENED, (const uint8_t *)longest.data(), (int)longest.size(), out),
            MODEMLINK_BODY_MAX);
  EXPECT_EQ(modemlink_seal_put(&e.daemon, MODEMLINK_OPENED, (const uint8_t *)over.data(), (int)over.size(), out), 0);
  EXPECT_EQ(modemlink_seal_put(&e.daemon, MODEMLINK_SEALED, out, MODEMLINK_TAG_LEN + 1, out), 0);
  EXPECT_EQ(modemlink_seal_put(&e.daemon, MODEMLINK_REPORT, out, 0, out), 0);
  // A product string of wide characters is cut to what can be sealed.
  std::wstring product(200, L'\u00e9');  // two bytes each
  uint8_t text[MODEMLINK_BODY_MAX];
  EXPECT_EQ(modemlink_product_put(product.c_str(), text), MODEMLINK_INNER_MAX - 1);
}

}  // namespace
