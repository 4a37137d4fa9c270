#include "service/service_url.h"

#include <gtest/gtest.h>

namespace halden {
namespace {

ServiceUrl url(std::string_view text) {
  std::optional<ServiceUrl> parsed = ServiceUrl::parse(text);
  EXPECT_TRUE(parsed) << text;
  return parsed.value_or(*ServiceUrl::parse("http://invalid.invalid"));
}

TEST(ServiceUrl, KeepsTheTextAsWrittenButSchemeAndHostInLowerCase) {
  const struct {
    std::string_view written, text, origin;
  } cases[] = {
      {"HTTPS://App.Example.COM:8443/a?x#y", "https://app.example.com:8443/a?x#y",
       "https://app.example.com:8443/a?x#y"},
      {"http://127.0.0.1:8787//", "http://127.0.0.1:8787//", "http://127.0.0.1:8787"},
      {"http://[::1]:8080", "http://[::1]:8080", "http://[::1]:8080"},
      {"http://host:/x", "http://host:/x", "http://host:/x"},
      {"about:blank", "about:blank", "about:blank"},
      // Escapes take their normal form; the port is plain decimal.
      {"https://app.halden.io/a%7e%2fb?%41#%2a", "https://app.halden.io/a~%2Fb?A#%2A",
       "https://app.halden.io/a~%2Fb?A#%2A"},
      {"https://%41pp.halden.io/", "https://app.halden.io/", "https://app.halden.io"},
      {"http://127.0.0.1:08787/", "http://127.0.0.1:8787/", "http://127.0.0.1:8787"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(url(c.written).text(), c.text);
    EXPECT_EQ(url(c.written).originText(), c.origin);
  }
}

TEST(ServiceUrl, RefusesTextThatIsNoAbsoluteUrl) {
  for (std::string_view text :
       {"", "app.example.com", "/api/x", "//host/x", "https://", "https:///x", "http:x",
        "https://exa mple.com", "https://example.com/a b", "https://example.com/\\evil",
        "https://example.com:99999", "https://example.com:8x", "https://[::1",
        "https://example.com/\xc3\xa9", "https://example.com/a\nb", "https://ex<ample.com",
        "1http://example.com",
        // A '%' that starts no escape; escapes in the host that would change it.
        "https://example.com/100%", "https://example.com/%zz", "https://example.com%2F.evil/",
        "https://cafe.de%3A8/", "https://[fe80::1%25eth0]/",
        // Not an IPv6 address; a second '@' or a ';' in the authority.
        "https://[1:2]/", "https://a@b@example.com/", "https://example.com;evil/"}) {
    EXPECT_FALSE(ServiceUrl::parse(text)) << text;
  }
}

// The merge itself is GLib's; these rows are what the project adds around it.
TEST(ServiceUrl, ResolvesLikeABrowser) {
  const struct {
    const char* base;
    const char* reference;
    const char* expected;  // nullptr: no URL results
  } cases[] = {
      {"https://app.halden.io", "/api/desktop/signin", "https://app.halden.io/api/desktop/signin"},
      // "//" names another authority.
      {"https://app.halden.io", "//user@evil.example/x", "https://user@evil.example/x"},
      {"https://app.halden.io", "http://other.example/p", "http://other.example/p"},
      {"https://app.halden.io", "/desktop/connect?id=a%20b",
       "https://app.halden.io/desktop/connect?id=a%20b"},
      {"https://app.halden.io", "/\\evil.example", nullptr},
      {"https://app.halden.io", "//evil.example:70000/", nullptr},
      {"https://app.halden.io", "/%7e/a%2fb", "https://app.halden.io/~/a%2Fb"},
      // An empty port is no port: it is not carried into the result.
      {"http://host:/x", "y", "http://host/y"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.base) + " + " + c.reference);
    std::optional<ServiceUrl> resolved = url(c.base).resolve(c.reference);
    EXPECT_EQ(resolved ? resolved->text() : "(none)", c.expected ? c.expected : "(none)");
  }
}

TEST(Trusted, ComparesSchemeHostAndExplicitPortOnly) {
  const ServiceUrl app = url("https://app.halden.io");
  const ServiceUrl local = url("http://127.0.0.1:8787");
  for (std::string_view same :
       {"https://app.halden.io", "https://APP.halden.io/clients/w?x#y",
        "https://user@app.halden.io/x", "https://%61pp.halden.io/",
        // as a web engine leaves them
        "https://app.halden.io/q?a|b{c}^", "https://app.halden.io/100%/%zz"}) {
    EXPECT_TRUE(trusted(app, same)) << same;
  }
  EXPECT_TRUE(trusted(local, "http://127.0.0.1:8787/api"));
  for (std::string_view other :
       {"http://app.halden.io/", "https://app.halden.io:443/", "https://evil.example/",
        "https://app.halden.io.evil.example/", "https://sub.app.halden.io/", "about:blank",
        "mailto:a@app.halden.io", "not a url", "https://a@evil.example@app.halden.io/"}) {
    EXPECT_FALSE(trusted(app, other)) << other;
  }
  for (std::string_view other :
       {"http://127.0.0.1/api", "http://127.0.0.1:8788/api", "http://localhost:8787/api"}) {
    EXPECT_FALSE(trusted(local, other)) << other;
  }
  EXPECT_FALSE(trusted(app, std::optional<ServiceUrl>()));
}

}  // namespace
}  // namespace halden
