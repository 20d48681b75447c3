// The cross-site rule and the credential a request carries, over request
// bytes: each row a request head and what must be decided.
#include <gtest/gtest.h>

#include <string>

#include "auth/headers.h"

namespace {

std::string head(const std::string &lines) { return "GET /&get/k HTTP/1.1\r\n" + lines + "\r\nbody"; }

}  // namespace

// Each row a request head, whether it is cross-site, the bearer token and the
// session cookie it carries ("-" none), whether it shows the gateway's own
// origin, and whether its Host may name the gateway (own name "gw").
TEST(AuthHeaders, CrossSiteRuleTokenAndForm) {
  const char *allow = "http://dash.example:8080, https://hub.lan/";
  const struct {
    const char *lines;
    bool cross;
    const char *bearer = "-", *cookie = "-";
    bool same = false, host_ok = true;
  } rows[] = {
      {"Host: gw:2020\r\n", false},
      {"Host: gw:2020\r\nOrigin: http://gw:2020\r\n", false, "-", "-", true},
      {"host: GW:2020\r\norigin:   http://gw:2020/ \r\n", false, "-", "-", true},  // names and host case-insensitive
      {"Host: gw:80\r\nOrigin: http://gw\r\n", false, "-", "-", true},  // default ports
      {"Host: gw\r\nOrigin: https://gw\r\n", false, "-", "-", true},    // through a TLS proxy
      {"Host: gw:80\r\nOrigin: https://gw\r\n", true},  // 80 against 443
      {"Host: gw:2020\r\nOrigin: http://gw:2021\r\n", true},
      {"Host: [::1]:2020\r\nOrigin: http://[::1]:2020\r\n", false, "-", "-", true},
      {"Host: gw:2020\r\nOrigin: null\r\n", true},
      {"Origin: http://gw:2020\r\n", true},              // nothing to compare with
      {"Host: gw:2020\r\nSec-Fetch-Site: cross-site\r\n", true},
      {"Host: gw:2020\r\nSec-Fetch-Site: same-site\r\n", true},
      {"Host: gw:2020\r\nSec-Fetch-Site: same-origin\r\n", false, "-", "-", true},
      {"Host: gw:2020\r\nReferer: http://evil.example/page?x\r\n", true},  // no Origin: the Referer's
      {"Host: gw:2020\r\nReferer: http://gw:2020/index.html\r\n", false},
      {"Host: gw:2020\r\nReferer: http://dash.example:8080/x\r\n", false},
      {"Host: gw:2020\r\nX-Requested-With: orvel\r\n", false, "-", "-", true},
      {"Host: evil.example:2020\r\n", false, "-", "-", false, false},  // DNS rebinding
      {"Host: GW.local.\r\n", false},
      {"Host: 192.168.1.9:2020\r\n", false},
      {"Host: localhost\r\n", false},
      {"Host: hub.lan\r\n", false},  // listed in ALLOW_HOST
      {"Host: gw:2020\r\nOrigin: http://dash.example:8080\r\nSec-Fetch-Site: cross-site\r\n", false},
      {"Host: gw:2020\r\nOrigin: HTTPS://HUB.LAN\r\n", false},
      {"Host: gw:2020\r\n\r\nOrigin: http://evil\r\n", false},  // in the body: not a header
      {"Authorization: Bearer abc\r\n", false, "abc"},
      {"authorization: bearer   abc  \r\nCookie: orvel_session=zzz\r\n", false, "abc", "zzz"},
      {"Authorization: Basic abc\r\nCookie: a=1;orvel_session=xyz; b=2\r\n", false, "-", "xyz"},
      {"Cookie: my_orvel_session=no; orvel_session=yes\r\n", false, "-", "yes"},
      {"Cookie: xorvel_session=no\r\n", false},
      {"Authorization: Bearer \r\n", false},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.lines);
    std::string req = head(r.lines);
    auth_headers h;
    auth_headers_parse(req.c_str(), &h);
    EXPECT_EQ(auth_cross_site(h, allow), r.cross);
    text_view t;
    EXPECT_EQ(auth_headers_bearer(h, &t) ? std::string(t.p, t.n) : "-", r.bearer);
    EXPECT_EQ(auth_headers_cookie(h, "orvel_session", &t) ? std::string(t.p, t.n) : "-", r.cookie);
    EXPECT_EQ(auth_same_origin(h), r.same);
    EXPECT_EQ(auth_host_ok(h, "gw", "nas.lan, hub.lan"), r.host_ok);
  }
  text_view v;
  ASSERT_TRUE(form_field({"a=1&token=x%2By&b=2", 19}, "token", &v));
  EXPECT_EQ(std::string(v.p, v.n), "x%2By");
  EXPECT_FALSE(form_field({"mytoken=x", 9}, "token", &v));
}
