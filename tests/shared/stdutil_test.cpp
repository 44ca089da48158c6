// The home directory and home-relative paths.
#include "utils/libs/stdutil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "platform/process.h"

namespace {

class HomeTest : public ::testing::Test {
  protected:
    ~HomeTest() override { set_home_dir(""); }

    // Runs make_abs_path on a copy of path in a buffer of size bytes.
    static std::pair<int, std::string> abs_in(const std::string& path, int size) {
        std::string buf(static_cast<std::size_t>(size), '\0');
        std::memcpy(buf.data(), path.c_str(), std::min(path.size() + 1, buf.size()));
        const int n = make_abs_path(buf.data(), size);
        return {n, std::string(buf.c_str())};
    }
};

TEST_F(HomeTest, HomeIsTheExecutablePathWithoutTwoComponents) {
    EXPECT_EQ(home_from_executable("D:\\inst\\bin\\prog.exe"), "D:\\inst");
    EXPECT_EQ(home_from_executable("/opt/korvex/bin/korvex"), "/opt/korvex");
    EXPECT_EQ(home_from_executable("/bin/korvex"), "");
    // The test program lives in <build>/bin, so the build tree is its home.
    set_home_dir("");
    const std::filesystem::path build = std::filesystem::canonical(KORVEX_BUILD_DIR);
    EXPECT_EQ(home_dir(), build.string());
    EXPECT_EQ(plat::executable_path(), (build / "bin" / "test_shared").string());
}

TEST_F(HomeTest, RelativePathsGoBelowTheHome) {
    set_home_dir("D:\\inst");
    EXPECT_EQ(abs_in("localopts", 64), std::make_pair(17, std::string("D:\\inst/localopts")));
    EXPECT_EQ(abs_in("catalog/x.cat \t\n", 64),
              std::make_pair(21, std::string("D:\\inst/catalog/x.cat")));
    EXPECT_EQ(abs_in("d:x", 64), std::make_pair(11, std::string("D:\\inst/d:x")));
    EXPECT_EQ(abs_in("", 64), std::make_pair(8, std::string("D:\\inst/")));
    EXPECT_EQ(make_abs_path(std::string("localopts  ")), "D:\\inst/localopts");
    set_home_dir("/h/");
    EXPECT_EQ(make_abs_path(std::string("x")), "/h/x");
}

TEST_F(HomeTest, AbsolutePathsOnlyLoseTrailingBlanks) {
    set_home_dir("/h");
    EXPECT_EQ(abs_in("d:\\x  ", 64), std::make_pair(4, std::string("d:\\x")));
    EXPECT_EQ(abs_in("D:/x", 64), std::make_pair(4, std::string("D:/x")));
    EXPECT_EQ(abs_in("\\x\t", 64), std::make_pair(2, std::string("\\x")));
    EXPECT_EQ(abs_in("/x ", 64), std::make_pair(2, std::string("/x")));
    EXPECT_EQ(make_abs_path(std::string("/abs/path ")), "/abs/path");
}

TEST_F(HomeTest, ResultsThatDoNotFitAreRefused) {
    set_home_dir("/h");
    // "/h/abc" needs 7 bytes with its terminator.
    EXPECT_EQ(abs_in("abc", 7), std::make_pair(6, std::string("/h/abc")));
    EXPECT_EQ(abs_in("abc", 6), std::make_pair(-1, std::string("abc")));
    EXPECT_EQ(abs_in("abc   ", 7), std::make_pair(6, std::string("/h/abc")));
    char unterminated[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(make_abs_path(unterminated, 4), -1);
    EXPECT_EQ(make_abs_path(nullptr, 10), -1);
}

}  // namespace
