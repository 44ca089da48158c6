// This workstation's name from the options files, or from the node name.
#include "utils/libs/thiscpu.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "options_testhome.h"
#include "platform/identity.h"

using optstest::TestHome;

TEST(ThisCpuName, SearchOrderAndLineForm) {
    TestHome h;
    h.write("../telvar/localopts", "cpuid far\n");
    EXPECT_EQ(this_cpu_name(), "FAR");
    this_cpu_reset();
    h.write("config", "CPUID ws3\n");
    EXPECT_EQ(this_cpu_name(), "WS3");
    this_cpu_reset();
    h.write("localopts",
            "# thiscpu = c1\n*thiscpu = c2\nthiscpu # c3\nthiscpu\nmaster = m\n"
            "thiscpu = ws1\n");
    EXPECT_EQ(this_cpu_name(), "WS1");
    // Found once and kept.
    h.write("localopts", "thiscpu = ws2\n");
    EXPECT_EQ(this_cpu_name(), "WS1");
    this_cpu_reset();
    EXPECT_EQ(this_cpu_name(), "WS2");
    this_cpu_reset();
    h.write("localopts", "thiscpu abcdefghijklmnopqrst\n");
    EXPECT_EQ(this_cpu_name(), "ABCDEFGHIJKLMNOP");
}

TEST(ThisCpuName, FallsBackToTheNodeName) {
    TestHome h;
    h.write("localopts", "master = ws1\n");
    std::string want = plat::node_name().substr(0, 8);
    for (char& c : want)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(this_cpu_name(), want);
    EXPECT_LE(this_cpu_name().size(), 8u);
}
