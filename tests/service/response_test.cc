#include "service/response.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace halden {
namespace {

// A JSON object of exactly `size` bytes: {"ok":true,"pad":"xxx…"}.
std::string objectOfSize(std::size_t size) {
  const std::string head = R"({"ok":true,"pad":")";
  return head + std::string(size - head.size() - 2, 'x') + R"("})";
}

TEST(DecodeObjectResponse, OnlyATopLevelObjectOfAtMostTheLimitIsAccepted) {
  EXPECT_TRUE(decodeObjectResponse(objectOfSize(responseBodyLimit)).ok());
  EXPECT_EQ(*decodeObjectResponse(" \n{\"a\":[1,{\"b\":null}]}\t"),
            (JsonObject{{"a", {1, {{"b", nullptr}}}}}));
  const std::string tooLarge = objectOfSize(responseBodyLimit + 1);
  // Parsing, refusing and destroying must not recurse once per level.
  const std::string deep(responseBodyLimit, '[');
  // Past the parser's own strictness (tested by its authors): what the
  // project asks of it, a single object, no comments, nothing after it.
  const std::string_view refused[] = {
      tooLarge, deep, "", "[]", "null", "<html>Sign in</html>", "{\"ok\":true} {}",
      "{\"ok\":true /* c */}",
      // The parser would stop at a NUL and accept what came before it.
      std::string_view("{\"ok\":true}\0", 12), std::string_view("{\"ok\":true}\0{\"x\":1", 18)};
  for (std::string_view body : refused) {
    EXPECT_EQ(decodeObjectResponse(body).error(), failure(std::string(unexpectedResponseMessage)))
        << body.substr(0, 80);
  }
}

// An acknowledgement with a deep member elsewhere is judged by "ok" alone.
TEST(RequireAcknowledgement, ADeeplyNestedMemberElsewhereIsNeverLookedAt) {
  const std::size_t depth = (responseBodyLimit - 64) / 6;
  std::string deep = R"({"ok":true,"sequence":7,"x":)";
  for (std::size_t i = 0; i < depth; ++i) deep += R"({"a":)";
  deep += "0" + std::string(depth + 1, '}');
  EXPECT_TRUE(requireAcknowledgement(*decodeObjectResponse(deep), int64_t{7}).ok());
}

TEST(RequireAcknowledgement, AcceptsOnlyOkTrueWithTheExpectedIntegerSequence) {
  constexpr std::optional<int64_t> none;
  const Error accepted = failure("(accepted)");
  const Error unconfirmed = failure(std::string(unconfirmedMessage));
  const struct {
    std::string_view body;
    std::optional<int64_t> expected;
    bool accepted;
  } cases[] = {
      {R"({"ok":true})", none, true},
      {R"({})", none, false},
      {R"({"ok":false,"sequence":0})", 0, false},
      {R"({"ok":1,"sequence":0})", 0, false},
      {R"({"ok":true,"sequence":3})", 3, true},
      {R"({"ok":true,"sequence":3})", 4, false},
      {R"({"ok":true})", 0, false},
      {R"({"ok":true,"sequence":null})", none, true},
      // A sequence that is no integer is refused even when none is expected;
      // a fraction part, even zero, makes no integer.
      {R"({"ok":true,"sequence":"3"})", 3, false},
      {R"({"ok":true,"sequence":3.5})", none, false},
      {R"({"ok":true,"sequence":3.0})", 3, false},
      // The signed 64-bit range, and nothing beyond it.
      {R"({"ok":true,"sequence":9223372036854775807})", INT64_MAX, true},
      {R"({"ok":true,"sequence":-9223372036854775808})", INT64_MIN, true},
      {R"({"ok":true,"sequence":9223372036854775808})", none, false},
      {R"({"ok":true,"sequence":18446744073709551616})", none, false},
      {R"({"ok":true,"sequence":2,"error":"x","extra":[1,{}]})", 2, true},
      {"[true]", none, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.body) + " expecting " +
                 (c.expected ? std::to_string(*c.expected) : "none"));
    const Result<void> verdict = requireAcknowledgement(JsonObject::parse(c.body), c.expected);
    EXPECT_EQ(verdict.ok() ? accepted : verdict.error(), c.accepted ? accepted : unconfirmed);
  }
}

}  // namespace
}  // namespace halden
