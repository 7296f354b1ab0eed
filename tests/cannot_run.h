// A case that cannot run on this machine (no root, namespace, FUSE or tool) is skipped with its
// reason, or fails with it where KELVO_REQUIRE_PRIVILEGED=1: CI, which is given all of these.
//   if (!test::IsRoot()) KELVO_CANNOT_RUN() << test::kNeedsRoot;
#pragma once

#include <cstdlib>
#include <string_view>

#include <gtest/gtest.h>

namespace kelvo::test {
inline bool PrivilegesRequired() {
  const char* required = std::getenv("KELVO_REQUIRE_PRIVILEGED");
  return required != nullptr && std::string_view(required) == "1";
}
}  // namespace kelvo::test

#define KELVO_CANNOT_RUN()                                                                         \
  return GTEST_MESSAGE_("cannot run here", ::kelvo::test::PrivilegesRequired()                     \
                                               ? ::testing::TestPartResult::kFatalFailure          \
                                               : ::testing::TestPartResult::kSkip)
