#include "base/error.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace halden {
namespace {

Result<int> parsePositive(int value) {
  if (value <= 0) return failure("not positive");
  return value;
}

Result<int> doubled(int value) {
  int checked = HALDEN_TRY(parsePositive(value));
  return checked * 2;
}

TEST(Error, FailureIsTheHaldenDomainWithCodeOne) {
  Error error = failure("Something happened.");
  EXPECT_EQ(error.domain(), "Halden");
  EXPECT_EQ(error.code(), 1);
  EXPECT_EQ(error.description(), "Something happened.");
  EXPECT_TRUE(error.isFailure());
}

TEST(Error, PlatformErrorsKeepTheirOwnDescription) {
  Error error = Error::fromErrno(ENOENT);
  EXPECT_EQ(error.domain(), "POSIX");
  EXPECT_EQ(error.code(), ENOENT);
  EXPECT_EQ(error.description(), "No such file or directory");
  EXPECT_FALSE(error.isFailure());
}

TEST(Error, TryPropagatesTheFirstError) {
  EXPECT_EQ(doubled(4).value(), 8);
  Result<int> refused = doubled(-1);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().description(), "not positive");
}

}  // namespace
}  // namespace halden
