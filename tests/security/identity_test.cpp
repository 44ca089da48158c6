// The running user's identity as the security rules see it.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/identity.h"
#include "tests/security/sec_testutil.h"
#include "utils/libs/mutils.h"
#include "utils/libs/stdutil.h"
#include "utils/libs/tokenutils.h"

using namespace sectest;

TEST(UserIdentity, ShortNames) {
    EXPECT_EQ(short_user_name("CORP\\batch"), "batch");
    EXPECT_EQ(short_user_name("a\\b\\c"), "c");
    EXPECT_EQ(short_user_name("batch"), "batch");
    EXPECT_EQ(short_user_name("CORP\\"), "");
}

TEST(UserIdentity, FromThePlatform) {
    UserIdentity u;
    u.groups.push_back("stale");
    get_user_identity(u);
    const unsigned uid = ::getuid();
    const std::string account = plat::user_name(uid);
    EXPECT_EQ(u.full_name, account.empty() ? std::to_string(uid) : account);
    EXPECT_EQ(u.short_name, u.full_name);
    EXPECT_EQ(u.super_user, uid == 0);
    EXPECT_TRUE(u.groups.empty());
    // The program file's owner.
    struct stat st;
    ASSERT_EQ(::stat("/proc/self/exe", &st), 0);
    EXPECT_EQ(owner_uid(), st.st_uid);
    EXPECT_EQ(u.program_owner, uid == st.st_uid);
    become_program_owner();  // nothing to do here: the process keeps its user
    EXPECT_EQ(::getuid(), uid);

    // A context opened without a chosen user takes the running one.
    SecurityOpenOptions o;
    o.file = "/nonexistent/Security";
    std::string err;
    auto ctx = open_security(o, err);
    ASSERT_TRUE(ctx);
    EXPECT_EQ(ctx->user.full_name, u.full_name);
    EXPECT_EQ(check_access(ctx.get(), SEC_ACT_BUILD, SEC_OBJ_FILE, "prodsked"), uid == 0);
    EXPECT_EQ(close_security(ctx, err), 0);
    EXPECT_FALSE(ctx);
}

TEST(UserIdentity, UserWithoutAnAccount) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to change user";
    // A user id the user database does not know goes by its number.
    constexpr unsigned kUid = 54321;
    if (!plat::user_name(kUid).empty()) GTEST_SKIP() << "user id in use";
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgid(kUid) != 0 || ::setuid(kUid) != 0) ::_exit(10);
        UserIdentity u;
        get_user_identity(u);
        ::_exit(u.full_name == std::to_string(kUid) && !u.super_user ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(UserIdentity, TestModeOfTheIdentityRecordMakesASuperUser) {
    TempDir dir;
    const std::string saved_home = home_dir();
    set_home_dir(dir.file("home"));  // an installation without a Security file
    for (const bool test_mode : {false, true}) {
        ProgramIdentity id;
        id.flags = test_mode ? std::uint32_t{ID_TEST_MODE} : 0u;
        std::string err;
        auto ctx = open_security(id, false, "CPU1", "CPU1", err);
        ASSERT_TRUE(ctx);
        EXPECT_LT(ctx->fd, 0);
        EXPECT_EQ(ctx->user.super_user, test_mode || ::getuid() == 0);
        EXPECT_EQ(check_access(ctx.get(), SEC_ACT_BUILD, SEC_OBJ_FILE, "prodsked"),
                  test_mode || ::getuid() == 0);
    }
    set_home_dir(saved_home);
}
