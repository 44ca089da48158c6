// File handles with region locks, and the other file-system calls the
// system's modules need. This is the only place that talks to the kernel
// about files; every call returns -1 (or a negative count) with errno set on
// failure, so callers can keep the error number for their messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct iovec;

namespace plat {

// Open flags, independent of the host's O_ values.
enum : int {
    FH_RDONLY = 0x0000,
    FH_WRONLY = 0x0001,
    FH_RDWR = 0x0002,
    FH_CREAT = 0x0100,
    FH_EXCL = 0x0200,
    FH_TRUNC = 0x0400,
    FH_APPEND = 0x0800,
};

// Region lock types.
//  0  shared: many holders in any process; waits while an exclusive or update
//     lock covers the region.
//  1  exclusive: fails at once (EAGAIN/EACCES) when any other lock overlaps.
//  2  update: excludes every other update or exclusive lock on the region,
//     waits until it can be had.
// The shared lock is a read lock and needs a descriptor opened for reading;
// the exclusive and update locks are write locks and need a descriptor opened
// for writing (EBADF otherwise). Only the exclusive lock is ever refused:
// readers and updaters queue behind each other, while a reset or rebuild must
// not wait behind readers that keep a file open for hours.
enum : int { FH_LOCK_SHARED = 0, FH_LOCK_EXCLUSIVE = 1, FH_LOCK_UPDATE = 2 };

// Opens a file; the descriptor is never inherited by programs this process
// starts. An unknown flag is refused with EINVAL. mode is used on creation.
int FH_open_file(const char* path, int flags, int mode = 0600);
int FH_close_file(int fd);
// One read, retried after EINTR; fewer bytes than asked at the end of file.
long FH_read_file(int fd, void* buf, std::size_t n);
// Writes all n bytes or fails with -1. Any other count (only an injected
// short write gives one, see platform/faults.h) means the write failed.
long FH_write_file(int fd, const void* buf, std::size_t n);
// Gathered input and output: readv is one read, writev writes every byte of
// the vector (as FH_write_file does). At most IOV_MAX entries.
long FH_readv_file(int fd, const struct iovec* iov, int count);
long FH_writev_file(int fd, const struct iovec* iov, int count);
std::int64_t FH_lseek_file(int fd, std::int64_t offset, int whence);  // SEEK_SET...
long FH_pread_file(int fd, void* buf, std::size_t n, std::int64_t offset);
long FH_pwrite_file(int fd, const void* buf, std::size_t n, std::int64_t offset);

// Region locks on open file descriptions: two opens of one file in the same
// process lock against each other just as two processes do. A length of 0
// reaches to the end of the file, however far it grows. Negative starts or
// lengths and unknown types fail with EINVAL.
int FH_lock_file_region(int fd, int type, std::int64_t start, std::int64_t length);
int FH_unlock_file_region(int fd, std::int64_t start, std::int64_t length);

int FH_fsync_file(int fd);
int FH_truncate_file(int fd, std::int64_t length);

struct FileStatus {
    bool is_regular = false;
    bool is_directory = false;
    unsigned mode = 0;  // permission bits (07777)
    unsigned owner_uid = 0;
    std::int64_t size = 0;
    std::int64_t mtime_sec = 0;  // modification time, full precision
    long mtime_nsec = 0;
};

int FH_stat_file(const char* path, FileStatus* st);
int FH_fstat_file(int fd, FileStatus* st);

// access(2) test; what: 4 read, 2 write, 1 execute, 0 existence.
int FH_access_file(const char* path, int what);

// Removes a file (not a directory).
int FH_remove_file(const char* path);
int FH_rename_file(const char* from, const char* to);
// Gives the file `from` a second name `to`, which must not exist yet.
int FH_link_file(const char* from, const char* to);
// Copies a file's bytes and permission bits to a new file that replaces `to`
// once it is complete and synced to disk; 0 or -1 with errno. On failure an
// existing `to` is left as it was. The copy is made under a temporary name in
// the target's directory, which must therefore be writable.
int FH_copy_file(const char* from, const char* to);

bool FH_isatty(int fd);

}  // namespace plat
