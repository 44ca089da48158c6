// The access check: the order of its steps, the first matching rule, user
// selection, variables, FILE names and the file test.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/security/sec_testutil.h"
#include "utils/libs/stdutil.h"

using namespace sectest;

namespace {

std::string rules_file(const TempDir& dir, const std::vector<Rec>& rules,
                       const std::string& user_conditions = cond('+', SEC_ATTR_LOGON, {lit("@")})) {
    std::vector<Rec> records = {user(user_conditions), begin()};
    records.insert(records.end(), rules.begin(), rules.end());
    records.push_back(end());
    const std::string f = dir.file("Security");
    write_file(f, header_line() + block("blk", records));
    return f;
}

Rec name_rule(const std::string& pattern, std::initializer_list<int> allowed) {
    return file_rule(cond('+', SEC_ATTR_NAME, {lit(pattern)}) + actions(allowed));
}

}  // namespace

TEST(SecurityCheck, WithoutASecurityFileOnlyASuperUserPasses) {
    TempDir dir;
    const std::string missing = dir.file("none");
    Session plain(missing, "operator", "CPU1", "CPU1");
    expect_check(plain.check(SEC_ACT_BUILD, SEC_OBJ_FILE, "prodsked"), false, SEC_NO_FILE);
    EXPECT_EQ(security_error(plain.ctx.get()).error_number, ENOENT);
    EXPECT_EQ(plain.ctx->file_name, missing);

    Session super(missing, "root", "CPU1", "CPU1", true);
    expect_check(super.check(SEC_ACT_BUILD, SEC_OBJ_FILE, "prodsked"), true, 0);
    // The identity record's test mode gives the super-user mark.
    Session test_mode(missing, "operator", "CPU1", "CPU1", false, kIdentityTestMode);
    expect_check(test_mode.check(SEC_ACT_BUILD, SEC_OBJ_FILE, "prodsked"), true, 0);
    // An object type without handler is refused before anything else.
    expect_check(super.check(SEC_ACT_DISPLAY, SEC_OBJ_SECURITY, "x"), false, SEC_NO_HANDLER);
}

TEST(SecurityCheck, InstallationFileLocations) {
    TempDir dir;
    const std::string home = dir.file("home");
    std::filesystem::create_directories(home);
    std::filesystem::create_directories(dir.file("telvar/network"));
    const std::string saved_home = home_dir();
    set_home_dir(home);
    const std::string local = dir.file("telvar/Security");
    const std::string network = dir.file("telvar/network/Security");
    auto open_default = [&]() {
        UserIdentity u;
        u.full_name = "operator";
        SecurityOpenOptions o;
        o.user = &u;
        o.this_cpu = "CPU1";
        o.master = "CPU1";
        std::string err;
        return open_security(o, err);
    };
    // Neither: the name tried last is remembered.
    auto none = open_default();
    EXPECT_LT(none->fd, 0);
    EXPECT_EQ(none->file_name, home + "/../telvar/Security");
    std::string value;
    ASSERT_TRUE(security_variable_value(*none, SEC_VAR_SEC_FNAME, 0, value));
    EXPECT_EQ(value, none->file_name);

    write_file(local,
               header_line() + block("b", {user(cond('+', SEC_ATTR_LOGON, {lit("@")})), begin(),
                                           name_rule("@", {SEC_ACT_DISPLAY}), end()}));
    auto second = open_default();
    EXPECT_GE(second->fd, 0);
    EXPECT_EQ(second->file_name, home + "/../telvar/Security");
    EXPECT_TRUE(check_access(second.get(), SEC_ACT_DISPLAY, SEC_OBJ_FILE, "prodsked"));

    write_file(network, header_line());
    auto first = open_default();
    EXPECT_EQ(first->file_name, home + "/../telvar/network/Security");
    EXPECT_FALSE(check_access(first.get(), SEC_ACT_DISPLAY, SEC_OBJ_FILE, "prodsked"));
    EXPECT_EQ(security_error(first.get()).reason, SEC_NO_USER_BLOCK);
    set_home_dir(saved_home);
}

TEST(SecurityCheck, SystemAccountPassesWhenTheFileExists) {
    TempDir dir;
    const std::string f = rules_file(dir, {name_rule("NOTHING", {SEC_ACT_BUILD})},
                                     cond('+', SEC_ATTR_LOGON, {lit("nobody")}));
    for (const char* name :
         {"NT AUTHORITY\\SYSTEM", "nt authority\\system", "NT_AUTHORITY\\System"}) {
        expect_check(check_once(f, name, SEC_ACT_BUILD, "prodsked"), true, 0);
    }
    expect_check(check_once(f, "SYSTEM", SEC_ACT_BUILD, "prodsked"), false, SEC_NO_USER_BLOCK);
    // Without a file the account is not special.
    expect_check(check_once(dir.file("none"), "NT AUTHORITY\\SYSTEM", SEC_ACT_BUILD, "prodsked"),
                 false, SEC_NO_FILE);
}

TEST(SecurityCheck, FirstMatchingRuleDecides) {
    TempDir dir;
    // PROD@ allows BUILD; a rule that would refuse it afterwards is not reached.
    std::string f = rules_file(dir, {name_rule("PROD@", {SEC_ACT_BUILD, SEC_ACT_DISPLAY}),
                                     name_rule("@", {SEC_ACT_DISPLAY})});
    expect_check(check_once(f, "u", SEC_ACT_BUILD, "prodsked"), true, 0);
    expect_check(check_once(f, "u", SEC_ACT_BUILD, "PROD"), true, 0);
    expect_check(check_once(f, "u", SEC_ACT_BUILD, "other.dat"), false, SEC_REFUSED);
    // Without BUILD the first rule refuses, even though a later one allows.
    f = rules_file(dir, {name_rule("PROD@", {SEC_ACT_DISPLAY}), name_rule("@", {SEC_ACT_BUILD})});
    Session s(f, "u", "CPU1", "CPU1");
    expect_check(s.check(SEC_ACT_BUILD, SEC_OBJ_FILE, "/no/such/dir/prodsked.dat"), false,
                 SEC_REFUSED);
    expect_check(s.check(SEC_ACT_BUILD, SEC_OBJ_FILE, "prodsked"), false, SEC_REFUSED);
    EXPECT_EQ(s.ctx->display, "prodsked");
    expect_check(s.check(SEC_ACT_BUILD, SEC_OBJ_FILE, "x"), true, 0);
    EXPECT_EQ(s.ctx->display, "");
    // Action 0 asks only whether some rule matches.
    expect_check(s.check(0, SEC_OBJ_FILE, "prodsked"), true, 0);
    // An action that does not apply to files is allowed without the rules.
    expect_check(s.check(SEC_ACT_KILL, SEC_OBJ_FILE, "prodsked"), true, 0);
    // No object name.
    expect_check(s.check(SEC_ACT_BUILD, SEC_OBJ_FILE, nullptr), false, SEC_NO_HANDLER);
    // Rules of another type are passed over; rules of the plan's counterpart
    // types are not checked by the FILE handler.
    f = rules_file(
        dir, {Rec{SEC_OBJ_JOB, cond('+', SEC_ATTR_NAME, {lit("@")}) + actions({SEC_ACT_BUILD})},
              name_rule("@", {SEC_ACT_DISPLAY})});
    expect_check(check_once(f, "u", SEC_ACT_BUILD, "prodsked"), false, SEC_REFUSED);
    // The refusal text names the action, the type and the object.
    Session t(f, "u", "CPU1", "CPU1");
    t.check(SEC_ACT_BUILD, SEC_OBJ_FILE, "/data/prodsked");
    EXPECT_NE(security_error_text(t.ctx.get()).find("FILE prodsked"), std::string::npos)
        << security_error_text(t.ctx.get());
}

TEST(SecurityCheck, MalformedRulesAndForeignAttributes) {
    TempDir dir;
    // OWNER does not belong to files: the rule never matches, negated or not.
    std::string f = rules_file(
        dir, {file_rule(cond('+', SEC_ATTR_OWNER, {lit("@")}) + actions({SEC_ACT_BUILD})),
              file_rule(cond('+', SEC_ATTR_NAME, {lit("@")}) +
                        cond('~', SEC_ATTR_OWNER, {lit("x")}) + actions({SEC_ACT_BUILD})),
              name_rule("@", {SEC_ACT_DISPLAY})});
    expect_check(check_once(f, "u", SEC_ACT_BUILD, "prodsked"), false, SEC_REFUSED);
    // Rule data the match function cannot read, and a variable that has no
    // provider: reason 12, not a match.
    f = rules_file(dir, {file_rule(std::string{'+', SEC_ATTR_NAME, 9, 'P'} + actions({4})),
                         name_rule("@", {SEC_ACT_BUILD})});
    expect_check(check_once(f, "u", SEC_ACT_BUILD, "prodsked"), false, SEC_BAD_MATCH_RESULT);
    f = rules_file(dir, {file_rule(cond('+', SEC_ATTR_NAME, {lit("@")})),  // no '='
                         name_rule("@", {SEC_ACT_BUILD})});
    expect_check(check_once(f, "u", SEC_ACT_BUILD, "prodsked"), false, SEC_BAD_MATCH_RESULT);
    f = rules_file(dir, {file_rule(cond('+', SEC_ATTR_CPU, {var(77)}) + actions({4}))});
    expect_check(check_once(f, "u", SEC_ACT_BUILD, "prodsked"), false, SEC_BAD_MATCH_RESULT);
    // A USER record that cannot be read.
    f = rules_file(dir, {name_rule("@", {SEC_ACT_BUILD})}, std::string{'+', SEC_ATTR_LOGON, 40});
    expect_check(check_once(f, "u", SEC_ACT_BUILD, "prodsked"), false, SEC_BAD_USER_RESULT);
}

TEST(SecurityCheck, UserSelection) {
    TempDir dir;
    const std::string rule_data = cond('+', SEC_ATTR_NAME, {lit("@")}) + actions({SEC_ACT_BUILD});
    auto selects = [&](const std::string& user_conditions, const std::string& name,
                       const std::string& cpu = "CPU1") {
        const std::string f = rules_file(dir, {file_rule(rule_data)}, user_conditions);
        return check_once(f, name, SEC_ACT_BUILD, "prodsked", cpu).allowed;
    };
    const std::string batch = cond('+', SEC_ATTR_LOGON, {lit("batch")});
    // A bare account name selects that account in any domain, in any case.
    EXPECT_TRUE(selects(batch, "batch"));
    EXPECT_TRUE(selects(batch, "CORP\\BATCH"));
    EXPECT_FALSE(selects(batch, "batchx"));
    // A qualified pattern needs the whole name.
    const std::string corp = cond('+', SEC_ATTR_LOGON, {lit("CORP\\batch")});
    EXPECT_TRUE(selects(corp, "corp\\Batch"));
    EXPECT_FALSE(selects(corp, "OTHER\\batch"));
    EXPECT_FALSE(selects(corp, "batch"));
    // The name counts up to its first comma, unless the pattern has one.
    EXPECT_TRUE(selects(batch, "batch,night"));
    EXPECT_TRUE(selects(cond('+', SEC_ATTR_LOGON, {lit("batch,night")}), "batch,night"));
    EXPECT_FALSE(selects(cond('+', SEC_ATTR_LOGON, {lit("batch,night")}), "batch"));
    // Negation, several conditions, several values.
    EXPECT_FALSE(
        selects(cond('+', SEC_ATTR_LOGON, {lit("@")}) + cond('~', SEC_ATTR_LOGON, {lit("batch")}),
                "batch"));
    EXPECT_TRUE(selects(cond('+', SEC_ATTR_LOGON, {lit("x"), lit("y"), lit("op@")}), "operator"));
    EXPECT_TRUE(selects(cond('~', SEC_ATTR_LOGON, {lit("x")}), "operator"));
    // CPU respects case; GROUP never holds, since users have no groups here.
    EXPECT_TRUE(selects(batch + cond('+', SEC_ATTR_CPU, {lit("CPU1")}), "batch"));
    EXPECT_FALSE(selects(batch + cond('+', SEC_ATTR_CPU, {lit("cpu1")}), "batch"));
    EXPECT_FALSE(selects(cond('+', SEC_ATTR_GROUP, {lit("@")}), "batch"));
    EXPECT_TRUE(selects(batch + cond('~', SEC_ATTR_GROUP, {lit("@")}), "batch"));
    // An attribute foreign to USER records: not selected.
    EXPECT_FALSE(selects(batch + cond('+', SEC_ATTR_NAME, {lit("@")}), "batch"));
    // $USER yields the full name.
    EXPECT_TRUE(selects(cond('+', SEC_ATTR_LOGON, {var(SEC_VAR_USER)}), "CORP\\batch"));
}

TEST(SecurityCheck, WorkstationVariables) {
    TempDir dir;
    auto cpu_rule = [&](int variable) {
        return rules_file(
            dir, {file_rule(cond('+', SEC_ATTR_CPU, {var(variable)}) + actions({SEC_ACT_BUILD}))});
    };
    std::string f = cpu_rule(SEC_VAR_THISCPU);
    EXPECT_TRUE(check_once(f, "u", SEC_ACT_BUILD, "prodsked", "CPU1", "CPU1").allowed);
    EXPECT_TRUE(check_once(f, "u", SEC_ACT_BUILD, "prodsked", "CPU2", "CPU1").allowed);
    // Without long names the variable is cut to 8 characters, which a longer
    // workstation name does not match.
    EXPECT_FALSE(
        check_once(f, "u", SEC_ACT_BUILD, "prodsked", "WORKSTATION1", "WORKSTATION1").allowed);
    {
        Session s(f, "u", "WORKSTATION1", "WORKSTATION1", false, 0, true);
        EXPECT_TRUE(s.check(SEC_ACT_BUILD, SEC_OBJ_FILE, "prodsked").allowed);
    }
    f = cpu_rule(SEC_VAR_MASTER);
    EXPECT_TRUE(check_once(f, "u", SEC_ACT_BUILD, "prodsked", "CPU1", "CPU1").allowed);
    EXPECT_FALSE(check_once(f, "u", SEC_ACT_BUILD, "prodsked", "CPU2", "CPU1").allowed);
    for (int variable : {SEC_VAR_SLAVES, SEC_VAR_REMOTES}) {
        f = cpu_rule(variable);
        EXPECT_TRUE(check_once(f, "u", SEC_ACT_BUILD, "prodsked", "CPU1", "CPU1").allowed);
        EXPECT_FALSE(check_once(f, "u", SEC_ACT_BUILD, "prodsked", "CPU2", "CPU1").allowed);
    }
    // Empty values match everything; no values match nothing.
    f = cpu_rule(SEC_VAR_OWNER);
    EXPECT_TRUE(check_once(f, "u", SEC_ACT_BUILD, "prodsked").allowed);
    f = cpu_rule(SEC_VAR_USERGROUPS);
    EXPECT_FALSE(check_once(f, "u", SEC_ACT_BUILD, "prodsked").allowed);
}

TEST(SecurityCheck, FileNames) {
    EXPECT_EQ(file_subject("prodsked"), "PRODSKED");
    EXPECT_EQ(file_subject("C:/data/prodsked.dat"), "PRODSKED");
    EXPECT_EQ(file_subject("a\\b\\Sched.v1.txt"), "SCHED");
    EXPECT_EQ(file_subject("dir/name  "), "NAME");
    EXPECT_EQ(file_subject(std::string(40, 'a').c_str()), std::string(32, 'A'));
    EXPECT_EQ(file_subject("dir/"), "");
    SecurityContext ctx;
    EXPECT_EQ(describe_file(ctx, "/x/y/prodsked", nullptr), "prodsked");
    EXPECT_EQ(describe_file(ctx, std::string(40, 'b').c_str(), nullptr), std::string(31, 'b'));

    TempDir dir;
    const std::string f = rules_file(dir, {name_rule("PRODSKED", {SEC_ACT_BUILD, SEC_ACT_DELETE})});
    // C:/... is absolute: the file test fails here, so the rule refuses.
    expect_check(check_once(f, "u", SEC_ACT_BUILD, "C:/data/prodsked.dat"), false, SEC_REFUSED);
    expect_check(check_once(f, "u", SEC_ACT_BUILD, "\\\\srv\\prodsked"), false, SEC_REFUSED);
    // ab/x is relative: no file test.
    expect_check(check_once(f, "u", SEC_ACT_BUILD, "ab/prodsked"), true, 0);
}

TEST(SecurityCheck, FileTest) {
    TempDir dir;
    const std::string existing = dir.file("prodsked");
    write_file(existing, "x");
    const std::string absent = dir.file("new/prodsked");
    // An absent file is judged by the nearest directory that exists, for
    // BUILD, DISPLAY and MODIFY; DELETE needs the file.
    EXPECT_TRUE(security_file_test(existing.c_str(), SEC_ACT_DELETE));
    EXPECT_TRUE(security_file_test(absent.c_str(), SEC_ACT_BUILD));
    EXPECT_TRUE(security_file_test(absent.c_str(), SEC_ACT_DISPLAY));
    EXPECT_FALSE(security_file_test(absent.c_str(), SEC_ACT_DELETE));
    EXPECT_FALSE(security_file_test("C:/nowhere/x", SEC_ACT_BUILD));
    EXPECT_TRUE(security_file_test("/", SEC_ACT_DISPLAY));

    const std::string f = rules_file(dir, {name_rule("PRODSKED", {SEC_ACT_BUILD})});
    expect_check(check_once(f, "u", SEC_ACT_BUILD, existing.c_str()), true, 0);
    expect_check(check_once(f, "u", SEC_ACT_BUILD, absent.c_str()), true, 0);

    if (::geteuid() != 0) GTEST_SKIP() << "needs root to test as another user";
    // As an ordinary user: the access test, or the owner's permission bits.
    const std::string readable = dir.file("own600");
    const std::string closed = dir.file("closed");
    const std::string locked_dir = dir.file("locked");
    write_file(readable, "x");
    write_file(closed, "x");
    std::filesystem::create_directories(locked_dir);
    ::chmod(readable.c_str(), 0600);  // owned by root: the owner bits grant it
    ::chmod(closed.c_str(), 0000);
    ::chmod(locked_dir.c_str(), 0500);
    ::chmod(dir.path().c_str(), 0755);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(10);
        int bad = 0;
        if (!security_file_test(readable.c_str(), SEC_ACT_BUILD)) bad |= 1;
        if (security_file_test(closed.c_str(), SEC_ACT_DISPLAY)) bad |= 2;
        if (security_file_test((locked_dir + "/new").c_str(), SEC_ACT_BUILD)) bad |= 4;
        ::_exit(bad);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
