// The end-to-end fixture itself: the tree's layout, and runs that feed
// input, collect large output, set the environment and stop hung programs.
#include <cstdlib>

#include "tests/e2e/install_tree.h"

#include <gtest/gtest.h>

namespace {

TEST(InstallTree, LaysOutAnInstallationAndRemovesIt) {
    std::filesystem::path root;
    {
        e2e::TreeOptions o;
        o.thiscpu = "WS1";
        o.telvar = true;
        o.telvar_localopts = "thiscpu = FAR\n";
        e2e::InstallTree tree(o);
        root = tree.root();
        EXPECT_TRUE(tree.has_program("mastdb"));
        EXPECT_TRUE(tree.exists("catalog/vortan.cat"));
        EXPECT_TRUE(tree.exists("catalog/telvar.cat"));
        EXPECT_EQ(tree.read("localopts"), "thiscpu = WS1\nmaster = MASTER\n");
        EXPECT_TRUE(tree.exists("brantis/globalopts"));
        EXPECT_EQ(tree.read((tree.telvar() / "localopts").string()), "thiscpu = FAR\n");
        EXPECT_EQ(tree.home().parent_path() / "telvar", tree.telvar());
    }
    EXPECT_FALSE(std::filesystem::exists(root));
}

TEST(InstallTree, RunsProgramsWithInputEnvironmentAndTimeout) {
    e2e::InstallTree tree;

    // More input and output than a pipe holds: both are moved at once.
    std::string big;
    for (int i = 0; big.size() < (1u << 20); ++i)
        big += "line " + std::to_string(i) + "\n";
    e2e::RunOptions o;
    o.input = big;
    e2e::RunResult r = tree.run("/bin/sh", {"-c", "cat; echo done >&2; exit 3"}, o);
    EXPECT_TRUE(r.exited(3)) << r.status;
    EXPECT_EQ(r.out, big);
    EXPECT_EQ(r.err, "done\n");

    // The test modes are not inherited; the options set them; the working
    // directory is the home directory.
    ::setenv("CCCTEST", "123", 1);
    o = {};
    o.env = {{"SCHDEBUG", "4"}};
    r = tree.run("/bin/sh", {"-c", "echo \"[$CCCTEST][$SCHDEBUG][$TELVAR_COMPONENT_FILE]\"; pwd"},
                 o);
    ::unsetenv("CCCTEST");
    EXPECT_EQ(r.out, "[][4][" + (tree.root() / "components").string() + "]\n" +
                         tree.home().string() + "\n");

    // A program that does not end is killed at the timeout; one that does
    // not read its input does not stop the test.
    o = {};
    o.timeout = std::chrono::milliseconds(300);
    o.input = big;
    r = tree.run("/bin/sh", {"-c", "exec sleep 30"}, o);
    EXPECT_TRUE(r.timed_out);
    EXPECT_EQ(r.signal, SIGKILL);
    EXPECT_LT(r.seconds, 10.0);

    r = tree.run("nosuchprogram", {});
    EXPECT_TRUE(r.exited(127));

    // Two programs at once; standard input is empty without a text.
    e2e::Process first = tree.start("/bin/sh", {"-c", "sleep 0.3; read x; echo first $x"});
    EXPECT_TRUE(first.started());
    EXPECT_EQ(tree.run("/bin/sh", {"-c", "echo second"}).out, "second\n");
    r = first.wait();
    EXPECT_TRUE(r.exited(0));
    EXPECT_EQ(r.out, "first\n");
    EXPECT_GE(r.seconds, 0.25);
}

}  // namespace
