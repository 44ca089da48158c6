// Program start-up: identity record, banner, version request, arguments and
// environment switches.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "shared/msg_test_util.h"
#include "utils/libs/abiutil.h"
#include "utils/libs/issuemsg.h"
#include "utils/libs/mutils.h"
#include "utils/libs/stdutil.h"

namespace {

const char* const kVars[] = {"CCCTEST",       "DSTEST",  "VORTANLINES",         "LINES",
                             "VORTANCOLUMNS", "COLUMNS", kComponentFileVariable};
const std::string kBanner =
    "VORTAN for WINDOWS NT/KORVEX 6.0 (3.21.1.11.1.5.2.2)  KORVEX for Linux: a rebuild of the "
    "Windows NT program";

struct Output {
    int status = -1;
    std::string out;
};

// Runs body in this process with standard output in a temporary file.
Output capture(const std::function<int()>& body) {
    Output r;
    std::FILE* tmp = std::tmpfile();
    if (tmp == nullptr) return r;
    std::fflush(stdout);
    const int saved = dup(1);
    dup2(fileno(tmp), 1);
    r.status = body();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::rewind(tmp);
    char buf[512];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, tmp)) > 0)
        r.out.append(buf, n);
    std::fclose(tmp);
    return r;
}

class Startup : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* v : kVars) {
            const char* value = std::getenv(v);
            saved_.emplace_back(value != nullptr, value != nullptr ? value : "");
            unsetenv(v);
        }
        msg_state_reset();
        program_identity_reset();
    }
    void TearDown() override {
        for (std::size_t i = 0; i < saved_.size(); ++i) {
            if (saved_[i].first) {
                setenv(kVars[i], saved_[i].second.c_str(), 1);
            } else {
                unsetenv(kVars[i]);
            }
        }
        msg_state_reset();
        set_home_dir("");
        program_identity_reset();
    }

    // Starts in this process; returns program_start's result in status.
    Output start(std::vector<const char*> args, ProgramIdentity& id, std::string& name) {
        args.insert(args.begin(), "korvex");
        return capture([&] {
            return program_start(name, kKorvexRevision, id, START_DEFAULT,
                                 static_cast<int>(args.size()), args.data());
        });
    }
    Output start(std::vector<const char*> args, ProgramIdentity& id) {
        std::string name = kKorvexIdentity;
        return start(std::move(args), id, name);
    }

    std::vector<std::pair<bool, std::string>> saved_;
};

TEST_F(Startup, IdentityRecordAndBanner) {
    ProgramIdentity id;
    std::string name = "korvexLongName";
    const Output r = start({}, id, name);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(id.product, "VORTAN for WINDOWS NT/");
    EXPECT_EQ(id.program, "KORVEXLO");
    EXPECT_EQ(name, "KORVEXLOngName");  // the caller's text, first 8 characters
    EXPECT_EQ(id.version, "6.0");
    EXPECT_EQ(id.revision, "3.21.1.11.1.5.2.2");
    EXPECT_EQ(id.started, 1);
    EXPECT_EQ(id.flags, std::uint32_t{ID_BANNER_REVISION});
    EXPECT_EQ(id.screen_lines, 23);
    EXPECT_EQ(id.screen_columns, 79);
    EXPECT_EQ(id.parameter, 0);
    EXPECT_EQ(program_identity().program, "KORVEXLO");
    EXPECT_EQ(program_identity().started, 1);

    // Without a registry the group stays empty: message 1100/53 comes first,
    // then the banner, and start-up goes on.
    EXPECT_EQ(id.group, "");
    const std::size_t msg = r.out.find("[1100.53]");
    const std::size_t banner =
        r.out.find("VORTAN for WINDOWS NT/KORVEXLO 6.0 (3.21.1.11.1.5.2.2)  KORVEX for Linux");
    EXPECT_NE(msg, std::string::npos) << r.out;
    EXPECT_NE(banner, std::string::npos) << r.out;
    EXPECT_LT(msg, banner);

    // The group from the registry line of this installation, cut to its field.
    char reg[] = "/tmp/korvex_startup_XXXXXX";
    const int fd = mkstemp(reg);
    ASSERT_GE(fd, 0);
    close(fd);
    for (const std::string& group : {std::string("prodgrp"), std::string(60, 'g')}) {
        std::ofstream(reg) << "VORTAN 6.0 " << home_dir() << " " << group << "\n";
        setenv(kComponentFileVariable, reg, 1);
        const Output g = start({}, id);
        EXPECT_EQ(id.group, group.substr(0, kIdentityGroupMax));
        EXPECT_EQ(g.out, kBanner + "\n");
    }
    unlink(reg);
}

TEST_F(Startup, RevisionNumberAndBannerFields) {
    EXPECT_EQ(revision_number("$Revision: 1.2  $"), "1.2");
    EXPECT_EQ(revision_number("4.5"), "4.5");
    EXPECT_EQ(revision_number("x "), "");
    EXPECT_EQ(revision_number(nullptr), "");
    EXPECT_EQ(revision_number(("$R: " + std::string(40, '9') + " $").c_str()),
              std::string(kIdentityRevisionMax, '9'));

    ProgramIdentity id;
    id.product = "PROD  ";
    id.program = "ABCDEFGHIJ";
    id.version = "1.0 ";
    id.revision = "7";
    EXPECT_EQ(banner_line(id), std::string("PRODABCDEFGH 1.0 ") + kBannerNotice);
    id.flags = ID_BANNER_REVISION;
    EXPECT_EQ(banner_line(id), std::string("PRODABCDEFGH 1.0 (7) ") + kBannerNotice);
}

TEST_F(Startup, VersionRequestPrintsRevisionAndEnds) {
    for (const char* arg : {"VERSION", "version", "VerSion", "-V", "-v"}) {
        const msgtest::ChildResult r = msgtest::run_in_child([&] {
            ProgramIdentity id;
            std::string name = kKorvexIdentity;
            const char* argv[] = {"korvex", arg, "-date", "x"};
            program_start(name, kKorvexRevision, id, START_DEFAULT, 4, argv);
            std::exit(7);  // not reached
        });
        EXPECT_EQ(r.status, 0) << arg;
        const std::string tail = kBanner + "\nProgram patch revision: 3.21.1.11.1.5.2.2\n";
        ASSERT_GE(r.out.size(), tail.size()) << arg;
        EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail) << arg;
    }
    // Not a request: another word, or VERSION in second place.
    for (std::vector<const char*> args :
         {std::vector<const char*>{"-version"}, {"vers"}, {"-date", "VERSION"}}) {
        ProgramIdentity id;
        const Output r = start(args, id);
        EXPECT_EQ(id.flags & (ID_VERSION | ID_ARGUMENTS), std::uint32_t{ID_ARGUMENTS});
        EXPECT_EQ(r.out.find("Program patch revision"), std::string::npos);
    }
}

TEST_F(Startup, TestModeSwitches) {
    const struct {
        const char* ccctest;
        const char* dstest;
        std::uint32_t flags;
    } cases[] = {
        {"123", "1", ID_TEST_MODE | ID_TEST_MODE2},
        {" 123", nullptr, ID_TEST_MODE},
        {"124", "2", 0},
        {"65659", "65537", 0},  // 123 and 1 plus 65536: no 16-bit wrap
        {"abc", "", 0},
        {nullptr, nullptr, 0},
    };
    for (const auto& c : cases) {
        c.ccctest ? setenv("CCCTEST", c.ccctest, 1) : unsetenv("CCCTEST");
        c.dstest ? setenv("DSTEST", c.dstest, 1) : unsetenv("DSTEST");
        ProgramIdentity id;
        start({}, id);
        EXPECT_EQ(id.flags & (ID_TEST_MODE | ID_TEST_MODE2 | ID_RESERVED20), c.flags)
            << (c.ccctest ? c.ccctest : "unset");
    }
}

TEST_F(Startup, ScreenSizeFromEnvironment) {
    const struct {
        const char* first;   // VORTANLINES / VORTANCOLUMNS
        const char* second;  // LINES / COLUMNS
        int expected;        // lines; columns get the same values
    } cases[] = {
        {nullptr, "50", 49},
        {"30", "50", 29},
        {"", "50", -1},  // set but not a number
        {nullptr, "99999999999999999999", 32767},
        {nullptr, "-99999999999999999999", -32768},
    };
    for (const auto& c : cases) {
        c.first ? setenv("VORTANLINES", c.first, 1) : unsetenv("VORTANLINES");
        c.first ? setenv("VORTANCOLUMNS", c.first, 1) : unsetenv("VORTANCOLUMNS");
        setenv("LINES", c.second, 1);
        setenv("COLUMNS", c.second, 1);
        ProgramIdentity id;
        start({}, id);
        EXPECT_EQ(id.screen_lines, c.expected) << c.second;
        EXPECT_EQ(id.screen_columns, c.expected) << c.second;
    }
    unsetenv("VORTANLINES");
    unsetenv("LINES");
    setenv("COLUMNS", "132", 1);
    ProgramIdentity id;
    start({}, id);
    EXPECT_EQ(id.screen_lines, 23);
    EXPECT_EQ(id.screen_columns, 131);
}

TEST_F(Startup, DebugAndParameterArguments) {
    const struct {
        std::vector<const char*> args;
        bool debug;
        int parm;
    } cases[] = {
        {{"-debug", "-parm", "5"}, true, 5},
        {{"-parm", "5", "-debug"}, false, 5},  // the scan ends at -parm
        {{"-date", "0", "-debug"}, true, 0},
        {{"-parm"}, false, 0},
        {{"-parm", "-7x"}, false, -7},
        {{"-parm", "abc"}, false, 0},
        {{"-parm", "99999999999"}, false, 32767},
        {{"-Debug", "-PARM", "3"}, false, 0},
    };
    for (const auto& c : cases) {
        ProgramIdentity id;
        const Output r = start(c.args, id);
        EXPECT_EQ(r.status, c.parm) << c.args[0];
        EXPECT_EQ(id.parameter, c.parm) << c.args[0];
        EXPECT_EQ((id.flags & ID_DEBUG) != 0, c.debug) << c.args[0];
        EXPECT_TRUE(id.flags & ID_ARGUMENTS);
    }
}

}  // namespace
