// Fault injection in the file layer.
#include <fcntl.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/faults.h"
#include "platform/fileio.h"
#include "tests/platform/helpers.h"

using namespace plat;
using testing_platform::Child;
using testing_platform::ScratchDir;

namespace {

class FaultInjection : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.ok());
        fd = FH_open_file(dir.file("f").c_str(), FH_RDWR | FH_CREAT);
        ASSERT_GE(fd, 0);
        fault_disarm();
    }
    void TearDown() override {
        fault_disarm();
        if (fd >= 0) FH_close_file(fd);
    }
    std::int64_t size() {
        FileStatus st;
        return FH_fstat_file(fd, &st) == 0 ? st.size : -1;
    }

    ScratchDir dir;
    int fd = -1;
};

TEST_F(FaultInjection, FailsOnlyTheNthCallOfItsKind) {
    ASSERT_EQ(fault_arm(FaultOp::write, 3, ENOSPC), 0);
    char buf[4];
    EXPECT_EQ(FH_write_file(fd, "ab", 2), 2);
    EXPECT_EQ(FH_pread_file(fd, buf, 2, 0), 2);  // a read is not a write
    EXPECT_EQ(FH_pwrite_file(fd, "cd", 2, 2), 2);
    errno = 0;
    EXPECT_EQ(FH_write_file(fd, "XX", 2), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(size(), 4);  // the failed write wrote nothing
    EXPECT_EQ(FH_write_file(fd, "ef", 2), 2);
    EXPECT_EQ(fault_count(FaultOp::write), 4u);
    EXPECT_EQ(fault_count(FaultOp::read), 1u);
    EXPECT_EQ(fault_count(FaultOp::any), 5u);
}

TEST_F(FaultInjection, ShortTransfersMoveHalfTheBytes) {
    ASSERT_EQ(fault_arm(FaultOp::write, 1, FAULT_SHORT), 0);
    EXPECT_EQ(FH_write_file(fd, "0123456789", 10), 5);
    EXPECT_EQ(size(), 5);

    char a[] = "abc", b[] = "defghij";
    struct iovec v[] = {{a, 3}, {b, 7}};
    ASSERT_EQ(fault_arm(FaultOp::write, 1, FAULT_SHORT), 0);
    EXPECT_EQ(FH_writev_file(fd, v, 2), 5);
    EXPECT_EQ(size(), 10);

    char buf[16] = {};
    ASSERT_EQ(fault_arm(FaultOp::read, 2, FAULT_SHORT), 0);
    EXPECT_EQ(FH_pread_file(fd, buf, 10, 0), 10);
    EXPECT_EQ(FH_pread_file(fd, buf, 10, 0), 5);
    EXPECT_EQ(std::string(buf, 10), "01234abcde");
    ASSERT_EQ(fault_arm(FaultOp::read, 1, FAULT_SHORT), 0);
    ASSERT_EQ(FH_lseek_file(fd, 0, SEEK_SET), 0);
    EXPECT_EQ(FH_read_file(fd, buf, 1), 0);  // one byte less than one
    ASSERT_EQ(fault_arm(FaultOp::read, 1, FAULT_SHORT), 0);
    struct iovec r[] = {{buf, 2}, {buf + 2, 8}};
    EXPECT_EQ(FH_readv_file(fd, r, 2), 5);

    // Calls that move no bytes fail instead.
    ASSERT_EQ(fault_arm(FaultOp::truncate, 1, FAULT_SHORT), 0);
    EXPECT_EQ(FH_truncate_file(fd, 0), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(size(), 10);
}

TEST_F(FaultInjection, AnyKindCountsEveryCheckedCall) {
    ASSERT_EQ(fault_arm(FaultOp::any, 4, EIO), 0);
    EXPECT_EQ(FH_lseek_file(fd, 0, SEEK_SET), 0);
    EXPECT_EQ(FH_lock_file_region(fd, FH_LOCK_UPDATE, 2, 0), 0);
    EXPECT_EQ(FH_unlock_file_region(fd, 2, 0), 0);
    errno = 0;
    EXPECT_EQ(FH_fsync_file(fd), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(FH_fsync_file(fd), 0);
    EXPECT_EQ(fault_count(FaultOp::lock), 2u);
    EXPECT_EQ(fault_count(FaultOp::any), 5u);

    ASSERT_EQ(fault_arm(FaultOp::lock, 2, EIO), 0);
    EXPECT_EQ(FH_lock_file_region(fd, FH_LOCK_SHARED, 0, 2), 0);
    EXPECT_EQ(FH_unlock_file_region(fd, 0, 2), -1);
    EXPECT_EQ(errno, EIO);
}

// How a reliability test uses the hook: count the checked calls of a piece
// of work, then fail each of them in turn.
TEST_F(FaultInjection, WalkingEveryFailurePoint) {
    const std::string path = dir.file("work");
    auto work = [&]() {
        int w = FH_open_file(path.c_str(), FH_RDWR | FH_CREAT | FH_TRUNC);
        if (w < 0) return false;
        char buf[8];
        bool ok = FH_lock_file_region(w, FH_LOCK_UPDATE, 0, 0) == 0 &&
                  FH_write_file(w, "record\n", 7) == 7 && FH_fsync_file(w) == 0 &&
                  FH_lseek_file(w, 0, SEEK_SET) == 0 && FH_read_file(w, buf, 8) == 7 &&
                  FH_truncate_file(w, 3) == 0 && FH_unlock_file_region(w, 0, 0) == 0;
        FH_close_file(w);
        return ok;
    };
    fault_disarm();
    ASSERT_TRUE(work());
    const unsigned long points = fault_count(FaultOp::any);
    EXPECT_EQ(points, 7u);
    for (unsigned long i = 1; i <= points; ++i) {
        ASSERT_EQ(fault_arm(FaultOp::any, i, EIO), 0);
        EXPECT_FALSE(work()) << "failure point " << i;
    }
    ASSERT_EQ(fault_arm(FaultOp::any, points + 1, EIO), 0);
    EXPECT_TRUE(work());
}

TEST_F(FaultInjection, TextForm) {
    ASSERT_EQ(fault_arm_text("write:2:ENOSPC"), 0);
    EXPECT_EQ(FH_write_file(fd, "a", 1), 1);
    EXPECT_EQ(FH_write_file(fd, "b", 1), -1);
    EXPECT_EQ(errno, ENOSPC);
    ASSERT_EQ(fault_arm_text("seek:1:EIO"), 0);
    EXPECT_EQ(FH_lseek_file(fd, 0, SEEK_SET), -1);
    ASSERT_EQ(fault_arm_text("read:1:SHORT"), 0);
    char buf[4];
    EXPECT_EQ(FH_pread_file(fd, buf, 1, 0), 0);

    const char* const bad_texts[] = {"",
                                     "write",
                                     "write:1",
                                     "write:0:EIO",
                                     "write:-1:EIO",
                                     "write:1x:EIO",
                                     "disk:1:EIO",
                                     "write:1:EPERM",
                                     "Write:1:EIO",
                                     "write:1:EIO:",
                                     nullptr};
    for (const char* bad : bad_texts) {
        SCOPED_TRACE(bad ? bad : "(null)");
        ASSERT_EQ(fault_arm_text("write:1:EIO"), 0);
        EXPECT_EQ(fault_arm_text(bad), -1);
        // A rejected text leaves nothing armed.
        EXPECT_EQ(FH_write_file(fd, "c", 1), 1);
    }
}

// Run with KORVEX_FAULT set by the next test, in a program of its own, so
// that its first checked call is the first of the program.
TEST(FaultEnvironment, ArmedAtFirstUse) {
    if (std::getenv("KORVEX_FAULT") == nullptr) GTEST_SKIP() << "run by EnvironmentArmsAFault";
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    int fd = FH_open_file(dir.file("f").c_str(), FH_WRONLY | FH_CREAT);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(FH_write_file(fd, "a", 1), 1);
    EXPECT_EQ(FH_lseek_file(fd, 0, SEEK_END), 1);
    EXPECT_EQ(FH_write_file(fd, "b", 1), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(FH_write_file(fd, "c", 1), 1);
    FH_close_file(fd);
}

TEST(FaultEnvironment, EnvironmentArmsAFault) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string log = dir.file("log");
    Child child(
        [&log](int, int) {
            int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (out < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0) return 90;
            ::setenv("KORVEX_FAULT", "write:2:ENOSPC", 1);
            ::execl("/proc/self/exe", "test_platform",
                    "--gtest_filter=FaultEnvironment.ArmedAtFirstUse", static_cast<char*>(nullptr));
            return 91;
        },
        6);
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.wait(8000), 0);
    std::string output;
    int fd = ::open(log.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    char buf[4096];
    ssize_t r;
    while ((r = ::read(fd, buf, sizeof buf)) > 0)
        output.append(buf, static_cast<size_t>(r));
    ::close(fd);
    EXPECT_NE(output.find("[       OK ] FaultEnvironment.ArmedAtFirstUse"), std::string::npos)
        << output;
}

// Run by CountsReportedAtExit in a program of its own: a few checked calls,
// then an exit() the way a fatal message ends a program. A forked child
// makes more calls and ends with exit() after the program has ended.
TEST(FaultEnvironment, CountsWrittenAtExit) {
    if (std::getenv("KORVEX_FAULT_COUNTS") == nullptr)
        GTEST_SKIP() << "run by CountsReportedAtExit";
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    int fd = FH_open_file(dir.file("f").c_str(), FH_RDWR | FH_CREAT);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(FH_write_file(fd, "ab", 2), 2);
    EXPECT_EQ(FH_write_file(fd, "cd", 2), 2);
    EXPECT_EQ(FH_lseek_file(fd, 0, SEEK_SET), 0);
    const pid_t parent = ::getpid();
    if (::fork() == 0) {
        for (int i = 0; i < 400 && ::getppid() == parent; ++i)
            ::usleep(5000);
        for (int i = 0; i < 5; ++i)
            (void)FH_write_file(fd, "x", 1);
        std::exit(0);
    }
    std::exit(3);
}

TEST(FaultEnvironment, CountsReportedAtExit) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string report = dir.file("counts");
    // Open in the program and in its child until both have ended.
    int alive[2];
    ASSERT_EQ(::pipe(alive), 0);
    Child child(
        [&report, &alive](int, int) {
            ::close(alive[0]);
            int out = ::open("/dev/null", O_WRONLY);
            if (out < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0) return 90;
            ::setenv("KORVEX_FAULT_COUNTS", report.c_str(), 1);
            ::unsetenv("KORVEX_FAULT");
            ::execl("/proc/self/exe", "test_platform",
                    "--gtest_filter=FaultEnvironment.CountsWrittenAtExit",
                    static_cast<char*>(nullptr));
            return 91;
        },
        6);
    ::close(alive[1]);
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.wait(8000), 3);
    EXPECT_EQ(testing_platform::read_byte(alive[0], 5000), -1);
    ::close(alive[0]);
    std::string text;
    int fd = ::open(report.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0) << "no report";
    char buf[512];
    ssize_t r;
    while ((r = ::read(fd, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(r));
    ::close(fd);
    // The child's writes are its own: the report is the parent's.
    EXPECT_EQ(text, "read 0\nwrite 2\nseek 1\nlock 0\nfsync 0\ntruncate 0\n");
}

}  // namespace
