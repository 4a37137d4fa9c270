#include "service/service_url.h"

#include <gtest/gtest.h>

namespace halden {
namespace {

ServiceUrl url(std::string_view text) {
  std::optional<ServiceUrl> parsed = ServiceUrl::parse(text);
  EXPECT_TRUE(parsed) << text;
  return parsed.value_or(*ServiceUrl::parse("http://invalid.invalid"));
}

TEST(ServiceUrl, ParsesComponents) {
  ServiceUrl parsed = url("HTTPS://App.Example.COM:8443/a/b?x=1&y=2#top");
  EXPECT_EQ(parsed.scheme(), "https");
  EXPECT_EQ(parsed.host(), "app.example.com");
  EXPECT_EQ(parsed.port(), 8443);
  EXPECT_EQ(parsed.path(), "/a/b");
  EXPECT_EQ(parsed.query(), "x=1&y=2");
  EXPECT_EQ(parsed.fragment(), "top");
  EXPECT_EQ(parsed.text(), "https://app.example.com:8443/a/b?x=1&y=2#top");

  ServiceUrl v6 = url("http://[::1]:8080");
  EXPECT_EQ(v6.host(), "[::1]");
  EXPECT_EQ(v6.port(), 8080);

  ServiceUrl mail = url("mailto:someone@example.com");
  EXPECT_EQ(mail.scheme(), "mailto");
  EXPECT_FALSE(mail.host());
  EXPECT_EQ(mail.path(), "someone@example.com");
}

TEST(ServiceUrl, RefusesTextThatIsNoAbsoluteUrl) {
  for (std::string_view text :
       {"", "app.example.com", "/api/x", "//host/x", "https://", "https:///x", "http:x",
        "https://exa mple.com", "https://example.com/a b", "https://example.com/\\evil",
        "https://example.com:99999", "https://example.com:8x", "https://[::1",
        "https://example.com/\xc3\xa9", "https://example.com/a\nb", "https://ex<ample.com",
        "1http://example.com"}) {
    EXPECT_FALSE(ServiceUrl::parse(text)) << text;
  }
}

TEST(ServiceUrl, TextKeepsTheBaseAsWritten) {
  for (std::string_view text : {"https://app.halden.io", "http://127.0.0.1:8787",
                                "https://app.halden.io/", "http://host:/x", "about:blank"}) {
    EXPECT_EQ(url(text).text(), text);
  }
}

TEST(ServiceUrl, OriginTextDropsLeadingAndTrailingSlashes) {
  EXPECT_EQ(url("https://app.halden.io").originText(), "https://app.halden.io");
  EXPECT_EQ(url("https://app.halden.io/").originText(), "https://app.halden.io");
  EXPECT_EQ(url("http://127.0.0.1:8787//").originText(), "http://127.0.0.1:8787");
}

struct ResolveCase {
  const char* base;
  const char* reference;
  const char* expected;  // nullptr: no URL results
};

TEST(ServiceUrl, ResolvesLikeABrowser) {
  const ResolveCase cases[] = {
      {"https://app.halden.io", "/api/desktop/signin", "https://app.halden.io/api/desktop/signin"},
      {"https://app.halden.io/", "/api/x", "https://app.halden.io/api/x"},
      // The base's own path is dropped by a reference that starts with "/".
      {"https://app.halden.io/tenant/home?q=1", "/api/x", "https://app.halden.io/api/x"},
      {"http://127.0.0.1:8787", "/api/meetings/m/audio?sequence=2",
       "http://127.0.0.1:8787/api/meetings/m/audio?sequence=2"},
      // "/" + a path that itself starts with "/" names another authority.
      {"https://app.halden.io", "//evil.example/x", "https://evil.example/x"},
      {"https://app.halden.io", "//evil.example:8443", "https://evil.example:8443"},
      {"https://app.halden.io", "//user@evil.example/x", "https://user@evil.example/x"},
      {"https://app.halden.io", "/a/./b/../c", "https://app.halden.io/a/c"},
      {"https://app.halden.io", "/../../x", "https://app.halden.io/x"},
      {"https://app.halden.io", "/a/..", "https://app.halden.io/"},
      {"https://app.halden.io/a/b", "c", "https://app.halden.io/a/c"},
      {"https://app.halden.io", "c", "https://app.halden.io/c"},
      {"https://app.halden.io/a?q", "?r", "https://app.halden.io/a?r"},
      {"https://app.halden.io/a?q", "#f", "https://app.halden.io/a?q#f"},
      {"https://app.halden.io", "http://other.example/p", "http://other.example/p"},
      {"https://app.halden.io", "/desktop/connect?id=a%20b",
       "https://app.halden.io/desktop/connect?id=a%20b"},
      {"https://app.halden.io", "/a b", nullptr},
      {"https://app.halden.io", "/\\evil.example", nullptr},
      {"https://app.halden.io", "//evil.example:70000/", nullptr},
      {"https://app.halden.io", "/caf\xc3\xa9", nullptr},
  };
  for (const ResolveCase& c : cases) {
    std::optional<ServiceUrl> resolved = url(c.base).resolve(c.reference);
    if (c.expected) {
      ASSERT_TRUE(resolved) << c.base << " + " << c.reference;
      EXPECT_EQ(resolved->text(), c.expected) << c.base << " + " << c.reference;
    } else {
      EXPECT_FALSE(resolved) << c.base << " + " << c.reference << " -> "
                             << (resolved ? resolved->text() : "");
    }
  }
}

TEST(Trusted, ComparesSchemeHostAndExplicitPortOnly) {
  const ServiceUrl app = url("https://app.halden.io");
  EXPECT_TRUE(trusted(app, "https://app.halden.io"));
  EXPECT_TRUE(trusted(app, "https://APP.halden.io/clients/workspace?x#y"));
  EXPECT_TRUE(trusted(app, "https://user@app.halden.io/x"));
  EXPECT_FALSE(trusted(app, "http://app.halden.io/"));
  EXPECT_FALSE(trusted(app, "https://app.halden.io:443/"));  // explicit default port
  EXPECT_FALSE(trusted(app, "https://evil.example/"));
  EXPECT_FALSE(trusted(app, "https://app.halden.io.evil.example/"));
  EXPECT_FALSE(trusted(app, "https://sub.app.halden.io/"));
  EXPECT_FALSE(trusted(app, "about:blank"));
  EXPECT_FALSE(trusted(app, "mailto:a@app.halden.io"));
  EXPECT_FALSE(trusted(app, "not a url"));
  EXPECT_FALSE(trusted(app, std::optional<ServiceUrl>()));

  const ServiceUrl local = url("http://127.0.0.1:8787");
  EXPECT_TRUE(trusted(local, "http://127.0.0.1:8787/api"));
  EXPECT_FALSE(trusted(local, "http://127.0.0.1/api"));
  EXPECT_FALSE(trusted(local, "http://127.0.0.1:8788/api"));
  EXPECT_FALSE(trusted(local, "http://localhost:8787/api"));
}

TEST(PercentEncode, KeepsOnlyUnreservedCharacters) {
  EXPECT_EQ(percentEncode("AZaz09-._~"), "AZaz09-._~");
  EXPECT_EQ(percentEncode("a b&c=d#e/f?g%h"), "a%20b%26c%3Dd%23e%2Ff%3Fg%25h");
  EXPECT_EQ(percentEncode("\xc3\xa9\n"), "%C3%A9%0A");
  EXPECT_EQ(percentEncode(""), "");
}

}  // namespace
}  // namespace halden
