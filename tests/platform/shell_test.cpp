#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/shell.h"

namespace kelvo {
namespace {

namespace fs = std::filesystem;

// Puts a stand-in xdg-open first on PATH that writes its argument to a file, and reads it back.
class ShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kelvo-shell-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    const fs::path fake = dir_ / "xdg-open";
    std::ofstream(fake) << "#!/bin/sh\nprintf '%s' \"$1\" > \"" << (dir_ / "opened.tmp").string() << "\"\nmv \""
                        << (dir_ / "opened.tmp").string() << "\" \"" << (dir_ / "opened").string() << "\"\n";
    fs::permissions(fake, fs::perms::owner_all);
    savedPath_ = std::getenv("PATH");
    setenv("PATH", (dir_.string() + ":" + savedPath_).c_str(), 1);
  }
  void TearDown() override {
    setenv("PATH", savedPath_.c_str(), 1);
    fs::remove_all(dir_);
  }

  std::string Opened() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!fs::exists(dir_ / "opened") && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::ifstream in(dir_ / "opened");
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  fs::path dir_;
  std::string savedPath_;
};

TEST_F(ShellTest, BareWebAddressIsOpenedAsHttp) {
  EXPECT_GT(reinterpret_cast<std::uintptr_t>(ShellExecuteW(nullptr, u"open", u"www.kelvo.net/", nullptr, nullptr,
                                                           SW_SHOW)),
            32u);
  EXPECT_EQ(Opened(), "http://www.kelvo.net/");
}

TEST_F(ShellTest, AddressWithSchemeIsHandedOnUnchanged) {
  ShellExecuteW(nullptr, u"open", u"https://www.kelvo.net/путь", nullptr, nullptr, SW_SHOW);
  EXPECT_EQ(Opened(), "https://www.kelvo.net/путь");
}

TEST_F(ShellTest, DesktopWithoutXdgOpenIsAFailure) {
  setenv("PATH", "/nonexistent", 1);
  EXPECT_LE(reinterpret_cast<std::uintptr_t>(ShellExecuteW(nullptr, u"open", u"www.kelvo.net/", nullptr, nullptr,
                                                           SW_SHOW)),
            32u);
}

}  // namespace
}  // namespace kelvo
