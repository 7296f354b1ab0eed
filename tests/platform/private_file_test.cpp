#include "platform/posix/system/private_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>

namespace kelvo {
namespace {

TEST(PrivateFile, BesideTheExecutableElseInstalledFolder) {
  char exe[PATH_MAX] = {};
  ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
  const std::string path(exe);
  const std::string directory = path.substr(0, path.rfind('/') + 1);
  const std::string ownName = path.substr(directory.size());

  EXPECT_EQ(PrivateFilePath(ownName), path);
  EXPECT_EQ(PrivateFilePath("no-such-helper"), directory + "../lib/kelvo/no-such-helper");
}

}  // namespace
}  // namespace kelvo
