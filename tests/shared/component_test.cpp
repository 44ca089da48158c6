// The component registry, the installation's group, and numbers from the
// environment read at start-up.
#include "utils/libs/abiutil.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "msg_test_util.h"
#include "options_testhome.h"
#include "utils/libs/stdfuncs.h"

namespace {

using optstest::EnvVar;
using optstest::TestHome;

std::string upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

TEST(InstallationGroup, FirstLineOfTheProductAtTheHomeDirectory) {
    TestHome h;
    h.write("registry", "OTHER\t6.0\t" + h.home() + "\tgrp0\n" + "VORTAN\t6.0\t" + h.home() +
                            "/sub\tgrp0\n" + "vortan , 6.0,, " + upper(h.home()) + " \tgrp1\n" +
                            "VORTAN\t6.0\t" + h.home() + "\tgrp2\n");
    EnvVar reg(kComponentFileVariable, h.path("registry").c_str());
    std::string group = "old";
    auto r = msgtest::run_in_child([&] {
        std::string g;
        std::printf("rc=%d group=%s\n", installation_group(g), g.c_str());
    });
    EXPECT_EQ(r.out, "rc=0 group=grp1\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(installation_group(group, PRODUCT_VORTAN), COMP_NO_ERROR);
    EXPECT_EQ(group, "grp1");
}

TEST(InstallationGroup, FailureIsReportedAndTheGroupLeftEmpty) {
    TestHome h;
    msgtest::MsgStateGuard msgs;
    // The installed catalogs, so that the message is the real one.
    std::filesystem::create_directory_symlink(std::string(KORVEX_BUILD_DIR) + "/catalog",
                                              h.path("catalog"));
    const std::string longpath(kComponentPathMax + 1, 'p');
    h.write("registry", "VORTAN 6.0 " + longpath + " grp\nVORTAN 6.0 " + h.home() + " grp1\n");
    const struct {
        const char* registry;
        int rc;
    } cases[] = {
        {nullptr, COMP_FILE_NOT_FOUND},
        {"", COMP_FILE_NOT_FOUND},
        {"registry", COMP_BUFFER_OVERFLOW},
    };
    for (const auto& c : cases) {
        const std::string value = c.registry == nullptr   ? ""
                                  : c.registry[0] == '\0' ? ""
                                                          : h.path(c.registry);
        EnvVar reg(kComponentFileVariable, c.registry == nullptr ? nullptr : value.c_str());
        auto r = msgtest::run_in_child([&] {
            std::string g = "x";
            const int rc = installation_group(g);
            std::fflush(stdout);
            std::fprintf(stderr, "rc=%d group=[%s]\n", rc, g.c_str());
        });
        EXPECT_EQ(r.err, "rc=" + std::to_string(c.rc) + " group=[]\n");
        // Message 1100/53 on standard output, naming the product and the home.
        EXPECT_NE(r.out.find("no entry for product VORTAN installed in"), std::string::npos)
            << r.out;
        EXPECT_NE(r.out.find(h.home() + "; the installation group"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("[1100.53]"), std::string::npos) << r.out;
    }
}

TEST(FindComponent, RegistryFileChecks) {
    TestHome h;
    ComponentInfo ci;
    std::string path;
    ci.componentFilePath = h.path("missing");
    EXPECT_EQ(find_component(ci, path, kComponentPathMax, true), COMP_FILE_NOT_FOUND);
    ci.componentFilePath = h.home();
    EXPECT_EQ(find_component(ci, path, kComponentPathMax, true), COMP_FILE_NAME_INVALID_ERROR);
    ci.componentFilePath = h.path("missing/below");
    EXPECT_EQ(find_component(ci, path, kComponentPathMax, true), COMP_FILE_NOT_FOUND);
    EXPECT_EQ(find_component(ci, path, -1, true), COMP_BAD_ARGUMENTS);
    // A later call without an open registry finds nothing more.
    EXPECT_EQ(find_component(ci, path, kComponentPathMax, false), COMP_PRODUCT_NOT_FOUND);

    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not stop the super user";
    h.write("registry", "VORTAN 6.0 /x g\n");
    ASSERT_EQ(::chmod(h.path("registry").c_str(), 0), 0);
    ci.componentFilePath = h.path("registry");
    EXPECT_EQ(find_component(ci, path, kComponentPathMax, true), COMP_FILE_PERMISSION_ERROR);
}

TEST(FindComponent, ScanningWithCriteria) {
    TestHome h;
    h.write("registry",
            "VORTAN 6.0 /a g1\n"
            "VORTAN 7.1 /b g2\n"
            "VORTAN 7.2 /c g2\n"
            "VORTAN 8.0 /d\n");
    ComponentInfo ci;
    ci.componentFilePath = h.path("registry");
    ci.product = "vortan";
    ci.group = "G2";
    ci.close_on_match = false;
    std::string path;
    // Every matching line in turn, with the criteria of the first call.
    EXPECT_EQ(find_component(ci, path, kComponentPathMax, true), COMP_NO_ERROR);
    EXPECT_EQ(path, "/b");
    EXPECT_EQ(ci.version, "7.1");
    EXPECT_EQ(ci.product, "VORTAN");
    EXPECT_EQ(find_component(ci, path, kComponentPathMax, false), COMP_NO_ERROR);
    EXPECT_EQ(path, "/c");
    EXPECT_EQ(find_component(ci, path, kComponentPathMax, false), COMP_PRODUCT_NOT_FOUND);
    EXPECT_FALSE(ci.file);

    // Versions: exact, major, and a version without either flag.
    ci = ComponentInfo{};
    ci.componentFilePath = h.path("registry");
    ci.version = "7.2";
    ci.flags = COMP_EXACT_VERSION;
    path.clear();
    EXPECT_EQ(find_component(ci, path, kComponentPathMax, true), COMP_NO_ERROR);
    EXPECT_EQ(path, "/c");
    EXPECT_FALSE(ci.file);  // closed after the match
    ci.version = "7.9";
    ci.group.clear();
    ci.flags = COMP_MAJOR_VERSION;
    path.clear();
    EXPECT_EQ(find_component(ci, path, kComponentPathMax, true), COMP_NO_ERROR);
    EXPECT_EQ(path, "/b");
    ci.flags = 0;
    auto r = msgtest::run_in_child([&] {
        std::string p;
        ComponentInfo c;
        c.componentFilePath = h.path("registry");
        c.version = "6.0";
        std::printf("%d\n", find_component(c, p, kComponentPathMax, true));
    });
    EXPECT_EQ(r.out, "20\n");
    EXPECT_EQ(r.err, "Exact or Major version flag should be specified\n");

    // An over-long path field anywhere stops the scan.
    h.write("registry", "OTHER 1.0 /" + std::string(40, 'x') + " g\nVORTAN 6.0 /a g1\n");
    ci = ComponentInfo{};
    ci.componentFilePath = h.path("registry");
    ci.product = "VORTAN";
    path.clear();
    EXPECT_EQ(find_component(ci, path, 40, true), COMP_BUFFER_OVERFLOW);
    EXPECT_EQ(find_component(ci, path, 41, true), COMP_NO_ERROR);
    EXPECT_EQ(path, "/a");
}

TEST(FindComponent, ResultTextsForUnknownCodes) {
    EXPECT_EQ(component_result_text(50), "50=BUFFER_OVERFLOW");
    EXPECT_EQ(component_result_text(7), "7, No error code for this number");
}

TEST(EnvNumber, SetUnsetAndNonNumeric) {
    std::int16_t v = -1;
    {
        EnvVar e("KORVEX_TEST_NUMBER", "123");
        EXPECT_EQ(env_number("KORVEX_TEST_NUMBER", &v), ENV_SET);
        EXPECT_EQ(v, 123);
    }
    {
        EnvVar e("KORVEX_TEST_NUMBER", "abc");
        EXPECT_EQ(env_number("KORVEX_TEST_NUMBER", &v), ENV_SET);
        EXPECT_EQ(v, 0);
    }
    {
        EnvVar e("KORVEX_TEST_NUMBER", "99999999999999999999");
        EXPECT_EQ(env_number("KORVEX_TEST_NUMBER", &v), ENV_SET);  // no overflow fault
    }
    v = 5;
    EnvVar e("KORVEX_TEST_NUMBER", nullptr);
    EXPECT_EQ(env_number("KORVEX_TEST_NUMBER", &v), ENV_UNSET);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(env_number(nullptr, nullptr), ENV_UNSET);
}
