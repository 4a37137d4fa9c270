#include <gtest/gtest.h>

#include "service/cookie_store.h"

namespace halden {
namespace {

Cookie cookie(std::string name, std::string domain, std::string value = "v") {
  Cookie made;
  made.name = std::move(name);
  made.value = std::move(value);
  made.domain = std::move(domain);
  return made;
}

std::vector<std::string> names(const std::vector<Cookie>& cookies) {
  std::vector<std::string> out;
  for (const Cookie& c : cookies) out.push_back(c.name + "@" + c.domain);
  return out;
}

TEST(SessionCookies, SelectsByExactHostAndMarkerInStoreOrder) {
  const std::vector<Cookie> store = {
      cookie("authjs.session-token.1", "app.halden.io"),
      cookie("authjs.session-token", ".app.halden.io"),
      cookie("__Secure-authjs.session-token", "app.halden.io."),
      cookie("authjs.session-token", "..app.halden.io.."),
      cookie("authjs.session-token", "sub.app.halden.io"),
      cookie("authjs.session-token", "halden.io"),
      cookie("authjs.session-token", "evilapp.halden.io"),
      cookie("authjs.session-token", "app.halden.io.evil.example"),
      cookie("authjs.csrf-token", "app.halden.io"),
      cookie("next-auth.session-token", "app.halden.io"),
      cookie("AUTHJS.SESSION-TOKEN", "app.halden.io"),
      cookie("authjs.session-token", ""),
  };
  EXPECT_EQ(names(selectSessionCookies(store, std::string("app.halden.io"))),
            (std::vector<std::string>{"authjs.session-token.1@app.halden.io",
                                      "authjs.session-token@.app.halden.io",
                                      "__Secure-authjs.session-token@app.halden.io.",
                                      "authjs.session-token@..app.halden.io.."}));
}

TEST(SessionCookies, NoHostSelectsNothing) {
  EXPECT_TRUE(selectSessionCookies({cookie("authjs.session-token", "")}, std::nullopt).empty());
}

TEST(SessionCookies, LeavesOutCookiesThatWouldBreakTheHeaderLine) {
  const std::vector<Cookie> store = {
      cookie("authjs.session-token", "h", "a\r\nX-Evil: 1"),
      cookie("authjs.session-token.0", "h", "a;b=c"),
      cookie("authjs.session-token=x", "h"),
      cookie("authjs.session-token x", "h"),
      cookie("authjs.session-token.1", "h", std::string("a\0b", 3)),
      cookie("authjs.session-token.2", "h", "plain-value_01="),
  };
  EXPECT_EQ(names(selectSessionCookies(store, std::string("h"))),
            std::vector<std::string>{"authjs.session-token.2@h"});
}

TEST(SessionCookies, FormatOneHeaderFieldOrNone) {
  EXPECT_EQ(cookieHeaderValue({}), std::nullopt);
  EXPECT_EQ(cookieHeaderValue({cookie("a", "h", "1")}), "a=1");
  EXPECT_EQ(cookieHeaderValue({cookie("a", "h", "1"), cookie("b", "h", ""), cookie("c", "h", "3")}),
            "a=1; b=; c=3");
}

}  // namespace
}  // namespace halden
