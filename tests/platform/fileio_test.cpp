// File handles: opening, transfers, status, copying and renaming.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/uio.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/faults.h"
#include "platform/fileio.h"
#include "tests/platform/helpers.h"

using namespace plat;
using testing_platform::Child;
using testing_platform::ScratchDir;

namespace {

std::string read_all(const std::string& path) {
    std::string out;
    int fd = FH_open_file(path.c_str(), FH_RDONLY);
    if (fd < 0) return "<missing>";
    char buf[4096];
    long r;
    while ((r = FH_read_file(fd, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(r));
    FH_close_file(fd);
    return out;
}

bool write_file(const std::string& path, const std::string& text, int mode = 0600) {
    int fd = FH_open_file(path.c_str(), FH_WRONLY | FH_CREAT | FH_TRUNC, mode);
    if (fd < 0) return false;
    bool ok = FH_write_file(fd, text.data(), text.size()) == static_cast<long>(text.size());
    return FH_close_file(fd) == 0 && ok;
}

std::string pattern(std::size_t n, unsigned seed) {
    std::string s(n, '\0');
    std::uint32_t x = seed * 2654435761u + 1;
    for (char& c : s) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

TEST(FileHandles, OpenFlags) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    std::string p = dir.file("f");
    mode_t old_mask = ::umask(0);
    int fd = FH_open_file(p.c_str(), FH_RDWR | FH_CREAT | FH_EXCL, 0640);
    ::umask(old_mask);
    ASSERT_GE(fd, 0);
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    FileStatus st;
    ASSERT_EQ(FH_fstat_file(fd, &st), 0);
    EXPECT_EQ(st.mode, 0640u);
    ASSERT_EQ(FH_write_file(fd, "abcdef", 6), 6);
    FH_close_file(fd);

    EXPECT_EQ(FH_open_file(p.c_str(), FH_RDWR | FH_CREAT | FH_EXCL), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(FH_open_file(p.c_str(), FH_WRONLY | FH_RDWR), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(FH_open_file(p.c_str(), FH_RDONLY | 0x10000), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(FH_open_file(nullptr, FH_RDONLY), -1);
    EXPECT_EQ(FH_open_file(dir.file("missing").c_str(), FH_RDONLY), -1);
    EXPECT_EQ(errno, ENOENT);

    fd = FH_open_file(p.c_str(), FH_WRONLY | FH_APPEND);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(FH_lseek_file(fd, 0, SEEK_SET), 0);
    ASSERT_EQ(FH_write_file(fd, "gh", 2), 2);
    FH_close_file(fd);
    EXPECT_EQ(read_all(p), "abcdefgh");

    fd = FH_open_file(p.c_str(), FH_WRONLY | FH_TRUNC);
    ASSERT_GE(fd, 0);
    FH_close_file(fd);
    EXPECT_EQ(read_all(p), "");
}

TEST(FileHandles, PositionedGatheredAndTruncatingTransfers) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    std::string p = dir.file("f");
    int fd = FH_open_file(p.c_str(), FH_RDWR | FH_CREAT);
    ASSERT_GE(fd, 0);

    char head[] = "HEAD", empty[1] = {}, body[] = "body-text", nl[] = "\n";
    struct iovec out[] = {{head, 4}, {empty, 0}, {body, 9}, {nl, 1}};
    EXPECT_EQ(FH_writev_file(fd, out, 4), 14);
    EXPECT_EQ(FH_lseek_file(fd, 0, SEEK_CUR), 14);

    char a[3], b[20];
    struct iovec in[] = {{a, 3}, {b, sizeof b}};
    ASSERT_EQ(FH_lseek_file(fd, 0, SEEK_SET), 0);
    ASSERT_EQ(FH_readv_file(fd, in, 2), 14);
    EXPECT_EQ(std::string(a, 3), "HEA");
    EXPECT_EQ(std::string(b, 11), "Dbody-text\n");
    EXPECT_EQ(FH_read_file(fd, b, sizeof b), 0);

    // Positioned transfers leave the file offset alone.
    ASSERT_EQ(FH_pwrite_file(fd, "BODY", 4, 4), 4);
    ASSERT_EQ(FH_pread_file(fd, b, 6, 2), 6);
    EXPECT_EQ(std::string(b, 6), "ADBODY");
    EXPECT_EQ(FH_lseek_file(fd, 0, SEEK_CUR), 14);

    EXPECT_EQ(FH_truncate_file(fd, 4), 0);
    EXPECT_EQ(FH_fsync_file(fd), 0);
    EXPECT_EQ(read_all(p), "HEAD");

    EXPECT_EQ(FH_writev_file(fd, out, -1), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(FH_writev_file(fd, nullptr, 1), -1);
    EXPECT_EQ(FH_lseek_file(fd, -1, SEEK_SET), -1);
    EXPECT_EQ(errno, EINVAL);
    FH_close_file(fd);
    EXPECT_EQ(FH_read_file(fd, b, 1), -1);
    EXPECT_EQ(errno, EBADF);
}

volatile sig_atomic_t ticks = 0;
void on_tick(int) {
    ticks = ticks + 1;
}

// Writes into a pipe that a slow reader drains, under a stream of signals
// that interrupt the writes part-way: every byte must arrive once, in order.
TEST(FileHandles, WritesCarryOnAfterInterruptedPartialTransfers) {
    const std::string data = pattern(3 * 1024 * 1024 + 17, 7);
    int pfd[2];
    ASSERT_EQ(::pipe(pfd), 0);
    Child reader(
        [&](int up, int) {
            ::close(pfd[1]);
            std::uint64_t hash = 1469598103934665603ull, count = 0;
            char buf[4096];
            ssize_t r;
            int n = 0;
            while ((r = ::read(pfd[0], buf, sizeof buf)) != 0) {
                if (r < 0) {
                    if (errno == EINTR) continue;
                    return 10;
                }
                for (ssize_t i = 0; i < r; ++i)
                    hash = (hash ^ static_cast<unsigned char>(buf[i])) * 1099511628211ull;
                count += static_cast<std::uint64_t>(r);
                if (++n % 16 == 0) ::usleep(200);
            }
            std::uint64_t result[2] = {hash, count};
            ::usleep(20000);  // the parent is waiting for this answer by now
            return ::write(up, result, sizeof result) == sizeof result ? 0 : 11;
        },
        4);
    ASSERT_TRUE(reader.started());
    ::close(pfd[0]);

    struct sigaction sa = {}, old_sa, ignore = {}, old_pipe;
    sa.sa_handler = on_tick;  // no SA_RESTART: blocked writes return early
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGALRM, &sa, &old_sa), 0);
    ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &old_pipe), 0);
    struct itimerval every = {{0, 300}, {0, 300}}, off = {};
    ticks = 0;
    ASSERT_EQ(::setitimer(ITIMER_REAL, &every, nullptr), 0);

    std::vector<iovec> vec;
    std::size_t at = 0;
    for (std::size_t len = 1; at < 2 * 1024 * 1024; len = len * 3 + 1) {
        len = std::min(len, 2 * 1024 * 1024 - at);
        vec.push_back({const_cast<char*>(data.data()) + at, len});
        at += len;
    }
    long wv = FH_writev_file(pfd[1], vec.data(), static_cast<int>(vec.size()));
    long w = FH_write_file(pfd[1], data.data() + at, data.size() - at);
    ::close(pfd[1]);
    // The reader answers only after it has seen the end; this read is
    // interrupted by the signals too and must keep waiting.
    std::uint64_t result[2] = {};
    long r = FH_read_file(reader.from_child(), result, sizeof result);

    ::setitimer(ITIMER_REAL, &off, nullptr);
    ::sigaction(SIGALRM, &old_sa, nullptr);
    ::sigaction(SIGPIPE, &old_pipe, nullptr);

    EXPECT_EQ(wv, static_cast<long>(at));
    EXPECT_EQ(w, static_cast<long>(data.size() - at));
    EXPECT_GT(ticks, 0);
    ASSERT_EQ(r, static_cast<long>(sizeof result));
    std::uint64_t hash = 1469598103934665603ull;
    for (char c : data)
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    EXPECT_EQ(result[1], data.size());
    EXPECT_EQ(result[0], hash);
    EXPECT_EQ(reader.wait(), 0);
}

TEST(FileHandles, StatusKeepsTheFullModificationTime) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    std::string p = dir.file("f");
    ASSERT_TRUE(write_file(p, "12345", 0640));

    struct timespec times[2] = {{0, UTIME_OMIT}, {1600000000, 123456789}};
    ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), times, 0), 0);
    FileStatus st;
    ASSERT_EQ(FH_stat_file(p.c_str(), &st), 0);
    EXPECT_EQ(st.mtime_sec, 1600000000);
    EXPECT_EQ(st.mtime_nsec, 123456789);
    EXPECT_TRUE(st.is_regular);
    EXPECT_FALSE(st.is_directory);
    EXPECT_EQ(st.size, 5);
    EXPECT_EQ(st.mode, 0640u);
    EXPECT_EQ(st.owner_uid, static_cast<unsigned>(::getuid()));

    // Two writes a few milliseconds apart, usually within one second, leave
    // different times behind.
    int fd = FH_open_file(p.c_str(), FH_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(FH_write_file(fd, "a", 1), 1);
    FileStatus first, second;
    ASSERT_EQ(FH_fstat_file(fd, &first), 0);
    ::usleep(20000);
    ASSERT_EQ(FH_write_file(fd, "b", 1), 1);
    ASSERT_EQ(FH_fstat_file(fd, &second), 0);
    FH_close_file(fd);
    EXPECT_TRUE(second.mtime_sec > first.mtime_sec ||
                (second.mtime_sec == first.mtime_sec && second.mtime_nsec > first.mtime_nsec));
    EXPECT_GE(second.mtime_nsec, 0);
    EXPECT_LT(second.mtime_nsec, 1000000000);

    ASSERT_EQ(FH_stat_file(dir.path().c_str(), &st), 0);
    EXPECT_TRUE(st.is_directory);
    EXPECT_EQ(FH_stat_file(dir.file("missing").c_str(), &st), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(FileHandles, CopyRenameRemoveAndAccess) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string src = dir.file("src"), dst = dir.file("dst");
    const std::string data = pattern(150000, 3);
    ASSERT_TRUE(write_file(src, data, 0640));
    ASSERT_TRUE(write_file(dst, std::string(300000, 'x'), 0600));

    ASSERT_EQ(FH_copy_file(src.c_str(), dst.c_str()), 0);
    EXPECT_TRUE(read_all(dst) == data);
    FileStatus st;
    ASSERT_EQ(FH_stat_file(dst.c_str(), &st), 0);
    EXPECT_EQ(st.mode, 0640u);
    ASSERT_EQ(FH_copy_file(dst.c_str(), dst.c_str()), 0);
    EXPECT_TRUE(read_all(dst) == data);

    // A failed copy leaves the target as it was and no stray files.
    EXPECT_EQ(FH_copy_file(dir.file("missing").c_str(), dst.c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
    ASSERT_EQ(fault_arm(FaultOp::write, 2, ENOSPC), 0);
    EXPECT_EQ(FH_copy_file(src.c_str(), dst.c_str()), -1);
    EXPECT_EQ(errno, ENOSPC);
    ASSERT_EQ(fault_arm(FaultOp::fsync, 1, EIO), 0);
    EXPECT_EQ(FH_copy_file(src.c_str(), dst.c_str()), -1);
    EXPECT_EQ(errno, EIO);
    fault_disarm();
    EXPECT_TRUE(read_all(dst) == data);
    EXPECT_EQ(FH_copy_file(src.c_str(), dir.file("no/such/dir").c_str()), -1);
    int entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 2);

    const std::string moved = dir.file("moved");
    ASSERT_EQ(FH_rename_file(dst.c_str(), moved.c_str()), 0);
    EXPECT_EQ(FH_access_file(dst.c_str(), 0), -1);
    EXPECT_EQ(FH_access_file(moved.c_str(), 4 | 2), 0);
    EXPECT_EQ(FH_access_file(moved.c_str(), 8), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(read_all(moved) == data);
    EXPECT_EQ(FH_remove_file(moved.c_str()), 0);
    EXPECT_EQ(FH_remove_file(moved.c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(FH_remove_file(dir.path().c_str()), -1);
    EXPECT_FALSE(FH_isatty(-1));
}

}  // namespace
