// Region locks between processes and between two opens in one process.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "platform/fileio.h"
#include "tests/platform/helpers.h"

using namespace plat;
using testing_platform::Child;
using testing_platform::read_byte;
using testing_platform::ScratchDir;
using testing_platform::send_byte;

namespace {

bool refused(int r) {
    return r == -1 && (errno == EAGAIN || errno == EACCES);
}

class RegionLocks : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.ok());
        path = dir.file("data");
        int fd = FH_open_file(path.c_str(), FH_RDWR | FH_CREAT);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(FH_write_file(fd, "0123456789", 10), 10);
        FH_close_file(fd);
    }
    int open_rw() { return FH_open_file(path.c_str(), FH_RDWR); }

    ScratchDir dir;
    std::string path;
};

TEST_F(RegionLocks, SharedOpenLocksCoexistAndOnlyRefuseTheExclusiveLock) {
    int fd = open_rw();
    ASSERT_GE(fd, 0);
    ASSERT_EQ(FH_lock_file_region(fd, FH_LOCK_SHARED, 0, 2), 0);

    // Each step the child reports by exit status; a step that waited instead
    // of answering is ended by the child's alarm.
    Child child([this](int, int) {
        int cfd = FH_open_file(path.c_str(), FH_RDWR);
        if (cfd < 0) return 10;
        if (FH_lock_file_region(cfd, FH_LOCK_SHARED, 0, 2) != 0) return 11;
        if (FH_lock_file_region(cfd, FH_LOCK_UPDATE, 2, 0) != 0) return 12;
        if (FH_unlock_file_region(cfd, 2, 0) != 0) return 13;
        if (FH_unlock_file_region(cfd, 0, 2) != 0) return 14;
        if (!refused(FH_lock_file_region(cfd, FH_LOCK_EXCLUSIVE, 0, 2))) return 15;
        if (!refused(FH_lock_file_region(cfd, FH_LOCK_EXCLUSIVE, 1, 1))) return 16;
        // The rest of the file is free for an exclusive lock.
        if (FH_lock_file_region(cfd, FH_LOCK_EXCLUSIVE, 2, 0) != 0) return 17;
        return 0;
    });
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.wait(), 0);
    FH_close_file(fd);
}

TEST_F(RegionLocks, LengthZeroCoversBytesAppendedLater) {
    int fd = open_rw();
    ASSERT_GE(fd, 0);
    ASSERT_EQ(FH_lock_file_region(fd, FH_LOCK_UPDATE, 2, 0), 0);
    std::string more(90, 'x');
    ASSERT_EQ(FH_lseek_file(fd, 0, SEEK_END), 10);
    ASSERT_EQ(FH_write_file(fd, more.data(), more.size()), 90);

    Child child([this](int, int) {
        int cfd = FH_open_file(path.c_str(), FH_RDWR);
        if (cfd < 0) return 10;
        if (!refused(FH_lock_file_region(cfd, FH_LOCK_EXCLUSIVE, 50, 10))) return 11;
        if (!refused(FH_lock_file_region(cfd, FH_LOCK_EXCLUSIVE, 5000, 1))) return 12;
        if (FH_lock_file_region(cfd, FH_LOCK_EXCLUSIVE, 0, 2) != 0) return 13;
        return 0;
    });
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.wait(), 0);
    FH_close_file(fd);
}

// The holder keeps a lock while the child asks for a conflicting one; the
// child may only report success after the holder let go.
TEST_F(RegionLocks, WaitingLocksAreGrantedWhenTheHolderUnlocks) {
    struct Case {
        int held, held_start, held_length;
        int asked, asked_start, asked_length;
    };
    const Case cases[] = {
        {FH_LOCK_UPDATE, 2, 0, FH_LOCK_UPDATE, 2, 0},  // updater behind updater
        {FH_LOCK_UPDATE, 2, 0, FH_LOCK_SHARED, 4, 8},  // reader behind updater
        {FH_LOCK_SHARED, 0, 2, FH_LOCK_UPDATE, 0, 0},  // whole file behind open lock
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("held " + std::to_string(c.held) + ", asked " + std::to_string(c.asked));
        int fd = open_rw();
        ASSERT_GE(fd, 0);
        ASSERT_EQ(FH_lock_file_region(fd, c.held, c.held_start, c.held_length), 0);

        Child child([this, &c](int up, int) {
            int cfd = FH_open_file(path.c_str(), FH_RDWR);
            if (cfd < 0) return 10;
            send_byte(up, 'r');
            if (FH_lock_file_region(cfd, c.asked, c.asked_start, c.asked_length) != 0) return 11;
            send_byte(up, 'L');
            return 0;
        });
        ASSERT_TRUE(child.started());
        ASSERT_EQ(read_byte(child.from_child(), 3000), 'r');
        // Still waiting a while later: nothing has come through the pipe.
        EXPECT_EQ(read_byte(child.from_child(), 150), -1);
        ASSERT_EQ(FH_unlock_file_region(fd, c.held_start, c.held_length), 0);
        EXPECT_EQ(read_byte(child.from_child(), 3000), 'L');
        EXPECT_EQ(child.wait(), 0);
        FH_close_file(fd);
    }
}

TEST_F(RegionLocks, TwoOpensInOneProcessLockAgainstEachOther) {
    ::alarm(5);  // a refusal that waited instead would wait here for ever
    int a = open_rw();
    int b = open_rw();
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);

    ASSERT_EQ(FH_lock_file_region(a, FH_LOCK_UPDATE, 2, 0), 0);
    EXPECT_TRUE(refused(FH_lock_file_region(b, FH_LOCK_EXCLUSIVE, 2, 0)));
    EXPECT_TRUE(refused(FH_lock_file_region(b, FH_LOCK_EXCLUSIVE, 40, 1)));
    ASSERT_EQ(FH_unlock_file_region(a, 2, 0), 0);
    EXPECT_EQ(FH_lock_file_region(b, FH_LOCK_EXCLUSIVE, 2, 0), 0);
    ASSERT_EQ(FH_unlock_file_region(b, 2, 0), 0);

    // Emptying a file: the open lock on bytes 0-1 is turned into an exclusive
    // one, which only succeeds while no other open holds its open lock.
    ASSERT_EQ(FH_lock_file_region(a, FH_LOCK_SHARED, 0, 2), 0);
    ASSERT_EQ(FH_lock_file_region(b, FH_LOCK_SHARED, 0, 2), 0);
    EXPECT_TRUE(refused(FH_lock_file_region(a, FH_LOCK_EXCLUSIVE, 0, 2)));
    ASSERT_EQ(FH_close_file(b), 0);  // closing drops b's locks
    EXPECT_EQ(FH_lock_file_region(a, FH_LOCK_EXCLUSIVE, 0, 2), 0);
    EXPECT_EQ(FH_lock_file_region(a, FH_LOCK_SHARED, 0, 2), 0);
    FH_close_file(a);
    ::alarm(0);
}

TEST_F(RegionLocks, BadRequestsFail) {
    int fd = open_rw();
    ASSERT_GE(fd, 0);
    errno = 0;
    EXPECT_EQ(FH_lock_file_region(fd, 3, 0, 2), -1);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(FH_lock_file_region(fd, -1, 0, 2), -1);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(FH_lock_file_region(fd, FH_LOCK_SHARED, 0, -2), -1);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(FH_lock_file_region(fd, FH_LOCK_SHARED, -1, 2), -1);
    EXPECT_EQ(errno, EINVAL);
    FH_close_file(fd);

    // Read locks need a readable descriptor, write locks a writable one.
    int ro = FH_open_file(path.c_str(), FH_RDONLY);
    int wo = FH_open_file(path.c_str(), FH_WRONLY);
    ASSERT_GE(ro, 0);
    ASSERT_GE(wo, 0);
    EXPECT_EQ(FH_lock_file_region(ro, FH_LOCK_UPDATE, 2, 0), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(FH_lock_file_region(wo, FH_LOCK_SHARED, 0, 2), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(FH_lock_file_region(-1, FH_LOCK_SHARED, 0, 2), -1);
    FH_close_file(ro);
    FH_close_file(wo);
}

}  // namespace
