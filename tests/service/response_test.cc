#include "service/response.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace halden {
namespace {

const Error unexpected = failure(std::string(unexpectedResponseMessage));
const Error unconfirmedError = failure(std::string(unconfirmedMessage));

// A JSON object of exactly `size` bytes: {"ok":true,"pad":"xxx…"}.
std::string objectOfSize(std::size_t size) {
  const std::string head = R"({"ok":true,"pad":")";
  const std::string tail = R"("})";
  return head + std::string(size - head.size() - tail.size(), 'x') + tail;
}

TEST(DecodeObjectResponse, BodyAtTheLimitIsParsedAndOneByteMoreIsNot) {
  const std::string atLimit = objectOfSize(responseBodyLimit);
  ASSERT_EQ(atLimit.size(), 2'000'000u);
  Result<JsonObject> decoded = decodeObjectResponse(atLimit);
  ASSERT_TRUE(decoded.ok());
  EXPECT_EQ((*decoded)["ok"], true);

  Result<JsonObject> over = decodeObjectResponse(objectOfSize(responseBodyLimit + 1));
  ASSERT_FALSE(over.ok());
  EXPECT_EQ(over.error(), unexpected);
  // Refused for its size alone: the same bytes would otherwise parse.
  EXPECT_TRUE(decodeObjectResponse(objectOfSize(responseBodyLimit - 1)).ok());
}

TEST(DecodeObjectResponse, OnlyATopLevelObjectIsAccepted) {
  const std::string_view accepted[] = {
      "{}",
      R"({"ok":true,"sequence":5})",
      " \n{\"a\":[1,2,{\"b\":null}]}\t",
  };
  for (std::string_view body : accepted) {
    Result<JsonObject> decoded = decodeObjectResponse(body);
    ASSERT_TRUE(decoded.ok()) << body;
    EXPECT_TRUE(decoded->is_object()) << body;
  }

  const std::string_view refused[] = {
      "",
      "[]",
      "[{\"ok\":true}]",
      "null",
      "1",
      "true",
      "\"ok\"",
      "<html>Sign in</html>",
      "<!DOCTYPE html><html><body>{\"ok\":true}</body></html>",
      "{\"ok\":true",                                   // truncated
      "{\"ok\":true}}",                                 // trailing data
      "{\"ok\":true} {}",                               // two values
      "{\"ok\":true,}",                                 // trailing comma
      "{'ok':true}",                                    // not JSON quoting
      "{\"ok\":true /* c */}",                          // comments
      "{\"ok\":NaN}",                                   // not a JSON number
      "{\"ok\":\"\xff\xfe\"}",                          // invalid UTF-8
      std::string_view("{\"ok\":true}\0", 12),          // a NUL after the object
      std::string_view("{\"ok\":true}\0{\"x\":1", 18),  // and data after that
  };
  for (std::string_view body : refused) {
    Result<JsonObject> decoded = decodeObjectResponse(body);
    ASSERT_FALSE(decoded.ok()) << body;
    EXPECT_EQ(decoded.error(), unexpected) << body;
  }
}

TEST(DecodeObjectResponse, DeeplyNestedBodiesNeitherCrashNorPass) {
  // Two million bytes of nesting: parsing, refusing and destroying must not
  // recurse once per level.
  const std::size_t depth = responseBodyLimit / 2;
  const std::string arrays = std::string(depth, '[') + std::string(depth, ']');
  EXPECT_FALSE(decodeObjectResponse(arrays).ok());
  const std::string unclosed(responseBodyLimit, '[');
  EXPECT_FALSE(decodeObjectResponse(unclosed).ok());

  // An acknowledgement with a deep member elsewhere is judged by "ok" alone.
  const std::size_t objects = (responseBodyLimit - 64) / 6;
  std::string deep = R"({"ok":true,"sequence":7,"x":)";
  for (std::size_t i = 0; i < objects; ++i) deep += R"({"a":)";
  deep += "0" + std::string(objects, '}') + "}";
  ASSERT_LE(deep.size(), responseBodyLimit);
  Result<JsonObject> decoded = decodeObjectResponse(deep);
  ASSERT_TRUE(decoded.ok());
  EXPECT_TRUE(requireAcknowledgement(*decoded, int64_t{7}).ok());
}

struct AcknowledgementCase {
  std::string_view body;
  std::optional<int64_t> expected;
  bool accepted;
};

std::ostream& operator<<(std::ostream& out, const AcknowledgementCase& c) {
  out << c.body << " expecting ";
  return c.expected ? out << *c.expected : out << "none";
}

class RequireAcknowledgement : public ::testing::TestWithParam<AcknowledgementCase> {};

TEST_P(RequireAcknowledgement, Verdict) {
  const AcknowledgementCase& c = GetParam();
  Result<JsonObject> object = decodeObjectResponse(c.body);
  ASSERT_TRUE(object.ok());
  Result<void> verdict = requireAcknowledgement(*object, c.expected);
  if (c.accepted) {
    EXPECT_TRUE(verdict.ok());
  } else {
    ASSERT_FALSE(verdict.ok());
    EXPECT_EQ(verdict.error(), unconfirmedError);
  }
}

constexpr std::optional<int64_t> none = std::nullopt;
constexpr int64_t int64Max = INT64_MAX;
constexpr int64_t int64Min = INT64_MIN;

INSTANTIATE_TEST_SUITE_P(
    Table, RequireAcknowledgement,
    ::testing::Values(
        // "ok" must be the Boolean true.
        AcknowledgementCase{R"({"ok":true})", none, true},
        AcknowledgementCase{R"({"ok":true,"sequence":5})", none, true},
        AcknowledgementCase{R"({})", none, false},
        AcknowledgementCase{R"({"ok":false})", none, false},
        AcknowledgementCase{R"({"ok":false,"sequence":0})", 0, false},
        AcknowledgementCase{R"({"ok":1})", none, false},
        AcknowledgementCase{R"({"ok":1,"sequence":0})", 0, false},
        AcknowledgementCase{R"({"ok":"true"})", none, false},
        AcknowledgementCase{R"({"ok":null})", none, false},
        AcknowledgementCase{R"({"ok":[true]})", none, false},
        AcknowledgementCase{R"({"ok":{}})", none, false},
        AcknowledgementCase{R"({"OK":true})", none, false},
        // The sequence must name exactly the chunk that was sent.
        AcknowledgementCase{R"({"ok":true,"sequence":3})", 3, true},
        AcknowledgementCase{R"({"ok":true,"sequence":3})", 4, false},
        AcknowledgementCase{R"({"ok":true,"sequence":0})", 0, true},
        AcknowledgementCase{R"({"ok":true,"sequence":-1})", 0, false},
        AcknowledgementCase{R"({"ok":true,"sequence":1})", 0, false},
        AcknowledgementCase{R"({"ok":true})", 0, false},
        AcknowledgementCase{R"({"ok":true,"sequence":null})", 0, false},
        AcknowledgementCase{R"({"ok":true,"sequence":null})", none, true},
        // A sequence that is not an integer is refused even when none is
        // expected.
        AcknowledgementCase{R"({"ok":true,"sequence":"3"})", 3, false},
        AcknowledgementCase{R"({"ok":true,"sequence":"3"})", none, false},
        AcknowledgementCase{R"({"ok":true,"sequence":true})", none, false},
        AcknowledgementCase{R"({"ok":true,"sequence":[3]})", none, false},
        AcknowledgementCase{R"({"ok":true,"sequence":3.5})", none, false},
        // A fraction part, even zero, is not an integer.
        AcknowledgementCase{R"({"ok":true,"sequence":3.0})", 3, false},
        AcknowledgementCase{R"({"ok":true,"sequence":3e0})", 3, false},
        // The signed 64-bit range, and nothing beyond it.
        AcknowledgementCase{R"({"ok":true,"sequence":9223372036854775807})", int64Max, true},
        AcknowledgementCase{R"({"ok":true,"sequence":-9223372036854775808})", int64Min, true},
        AcknowledgementCase{R"({"ok":true,"sequence":9223372036854775808})", none, false},
        AcknowledgementCase{R"({"ok":true,"sequence":18446744073709551615})", none, false},
        AcknowledgementCase{R"({"ok":true,"sequence":18446744073709551616})", none, false},
        AcknowledgementCase{R"({"ok":true,"sequence":-9223372036854775809})", none, false},
        // Other members do not matter, whatever their type.
        AcknowledgementCase{R"({"ok":true,"sequence":2,"error":"x","extra":[1,{}]})", 2, true},
        AcknowledgementCase{R"({"error":"Sign in to Halden to upload recordings."})", none,
                            false}));

TEST(RequireAcknowledgementOfBuiltValues, NonObjectsAreNotAcknowledgements) {
  EXPECT_FALSE(requireAcknowledgement(JsonObject::array({true}), std::nullopt).ok());
  EXPECT_FALSE(requireAcknowledgement(JsonObject(true), std::nullopt).ok());
  EXPECT_FALSE(requireAcknowledgement(JsonObject(), std::nullopt).ok());
  EXPECT_TRUE(requireAcknowledgement(JsonObject{{"ok", true}, {"sequence", 9u}}, 9).ok());
}

}  // namespace
}  // namespace halden
