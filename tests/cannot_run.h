// A case that cannot run on this machine (no root, no namespace, no FUSE, a missing tool). A
// developer's run reports it skipped with its reason; CI, which is given all of these, sets
// KELVO_REQUIRE_PRIVILEGED=1 and gets a failure with the same reason instead of a green result
// that ran less than it says.
//
//   if (!test::IsRoot()) KELVO_CANNOT_RUN() << test::kNeedsRoot;
#pragma once

#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

namespace kelvo::test {

inline bool PrivilegesRequired() {
  const char* required = std::getenv("KELVO_REQUIRE_PRIVILEGED");
  return required != nullptr && std::strcmp(required, "1") == 0;
}

}  // namespace kelvo::test

#define KELVO_CANNOT_RUN()                                                                  \
  return GTEST_MESSAGE_("cannot run here: ", ::kelvo::test::PrivilegesRequired()            \
                                                 ? ::testing::TestPartResult::kFatalFailure \
                                                 : ::testing::TestPartResult::kSkip)
