#include "platform/fileio.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/faults.h"

namespace plat {

namespace {

constexpr int known_flags = FH_WRONLY | FH_RDWR | FH_CREAT | FH_EXCL | FH_TRUNC | FH_APPEND;

// Asks the fault hook about a call that has no byte count. True when the call
// must fail now, with errno set.
bool injected_failure(FaultOp op) {
    int f = fault_check(op);
    if (f == 0) [[likely]]
        return false;
    errno = f == FAULT_SHORT ? EIO : f;
    return true;
}

// What a SHORT fault leaves of a transfer of n bytes: half, at least one less.
std::size_t shortened(std::size_t n) {
    return n / 2;
}

// The kernel never moves more than this in one call; larger requests would
// only make the count overflow the signed result.
constexpr std::size_t max_transfer = static_cast<std::size_t>(SSIZE_MAX);

long read_once(int fd, void* buf, std::size_t n) {
    ssize_t r;
    do {
        r = ::read(fd, buf, n);
    } while (r < 0 && errno == EINTR);
    return static_cast<long>(r);
}

// Writes all n bytes unless the kernel reports a failure.
long write_all(int fd, const char* p, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
        ssize_t w = ::write(fd, p + done, n - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (w == 0) {
            errno = EIO;
            return -1;
        }
        done += static_cast<std::size_t>(w);
    }
    return static_cast<long>(done);
}

long pwrite_all(int fd, const char* p, std::size_t n, std::int64_t offset) {
    std::size_t done = 0;
    while (done < n) {
        ssize_t w = ::pwrite(fd, p + done, n - done, static_cast<off_t>(offset + done));
        if (w < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (w == 0) {
            errno = EIO;
            return -1;
        }
        done += static_cast<std::size_t>(w);
    }
    return static_cast<long>(done);
}

// Copies a caller's vector so that it can be advanced over partial transfers;
// false (errno EINVAL) for a bad count or a total that cannot be returned.
bool copy_vector(const struct iovec* iov, int count, std::vector<iovec>* out, std::size_t* total) {
    if (count < 0 || count > IOV_MAX || (count > 0 && iov == nullptr)) {
        errno = EINVAL;
        return false;
    }
    out->assign(iov, iov + count);
    *total = 0;
    for (const iovec& v : *out) {
        if (v.iov_len > max_transfer - *total) {
            errno = EINVAL;
            return false;
        }
        *total += v.iov_len;
    }
    return true;
}

// Cuts a vector down so that it covers only the first n bytes.
void cut_vector(std::vector<iovec>* v, std::size_t n) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < v->size(); ++i) {
        iovec& e = (*v)[i];
        if (e.iov_len >= n - kept) {
            e.iov_len = n - kept;
            v->resize(i + 1);
            return;
        }
        kept += e.iov_len;
    }
}

int to_open_flags(int flags) {
    int o = O_CLOEXEC;
    switch (flags & (FH_WRONLY | FH_RDWR)) {
        case FH_RDONLY:
            o |= O_RDONLY;
            break;
        case FH_WRONLY:
            o |= O_WRONLY;
            break;
        case FH_RDWR:
            o |= O_RDWR;
            break;
        default:
            return -1;
    }
    if (flags & FH_CREAT) o |= O_CREAT;
    if (flags & FH_EXCL) o |= O_EXCL;
    if (flags & FH_TRUNC) o |= O_TRUNC;
    if (flags & FH_APPEND) o |= O_APPEND;
    return o;
}

void fill_status(const struct stat& s, FileStatus* st) {
    st->is_regular = S_ISREG(s.st_mode);
    st->is_directory = S_ISDIR(s.st_mode);
    st->mode = static_cast<unsigned>(s.st_mode & 07777);
    st->owner_uid = static_cast<unsigned>(s.st_uid);
    st->size = static_cast<std::int64_t>(s.st_size);
    st->mtime_sec = static_cast<std::int64_t>(s.st_mtim.tv_sec);
    st->mtime_nsec = static_cast<long>(s.st_mtim.tv_nsec);
}

// Closes a descriptor without disturbing the errno of an earlier failure.
void close_quietly(int fd) {
    int saved = errno;
    ::close(fd);
    errno = saved;
}

}  // namespace

int FH_open_file(const char* path, int flags, int mode) {
    if (path == nullptr || (flags & ~known_flags) != 0) {
        errno = EINVAL;
        return -1;
    }
    int o = to_open_flags(flags);
    if (o == -1) {
        errno = EINVAL;
        return -1;
    }
    int fd;
    do {
        fd = ::open(path, o, static_cast<mode_t>(mode));
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int FH_close_file(int fd) {
    // Linux releases the descriptor even when close reports EINTR, so a
    // retry could close a descriptor that another open has just reused.
    return ::close(fd);
}

long FH_read_file(int fd, void* buf, std::size_t n) {
    int f = fault_check(FaultOp::read);
    if (f == FAULT_SHORT) {
        n = shortened(n);
    } else if (f != 0) {
        errno = f;
        return -1;
    }
    if (n > max_transfer) n = max_transfer;
    return read_once(fd, buf, n);
}

long FH_write_file(int fd, const void* buf, std::size_t n) {
    int f = fault_check(FaultOp::write);
    if (f == 0) [[likely]] {
        if (n > max_transfer) {
            errno = EINVAL;
            return -1;
        }
        return write_all(fd, static_cast<const char*>(buf), n);
    }
    if (f != FAULT_SHORT) {
        errno = f;
        return -1;
    }
    long r = write_all(fd, static_cast<const char*>(buf), shortened(n));
    if (r >= 0) errno = EIO;
    return r;
}

long FH_readv_file(int fd, const struct iovec* iov, int count) {
    int f = fault_check(FaultOp::read);
    if (f != 0 && f != FAULT_SHORT) {
        errno = f;
        return -1;
    }
    std::vector<iovec> v;
    std::size_t total;
    if (!copy_vector(iov, count, &v, &total)) return -1;
    if (f == FAULT_SHORT) cut_vector(&v, shortened(total));
    ssize_t r;
    do {
        r = ::readv(fd, v.data(), static_cast<int>(v.size()));
    } while (r < 0 && errno == EINTR);
    return static_cast<long>(r);
}

long FH_writev_file(int fd, const struct iovec* iov, int count) {
    int f = fault_check(FaultOp::write);
    if (f != 0 && f != FAULT_SHORT) {
        errno = f;
        return -1;
    }
    std::vector<iovec> v;
    std::size_t total;
    if (!copy_vector(iov, count, &v, &total)) return -1;
    if (f == FAULT_SHORT) {
        total = shortened(total);
        cut_vector(&v, total);
    }
    // The kernel may take only part of the vector (a signal, a full pipe);
    // carry on from where it stopped until every byte is written.
    std::size_t done = 0;
    std::size_t first = 0;
    while (done < total) {
        while (v[first].iov_len == 0)
            ++first;
        ssize_t w = ::writev(fd, v.data() + first, static_cast<int>(v.size() - first));
        if (w < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (w == 0) {
            errno = EIO;
            return -1;
        }
        done += static_cast<std::size_t>(w);
        std::size_t left = static_cast<std::size_t>(w);
        while (left > 0) {
            iovec& e = v[first];
            if (left >= e.iov_len) {
                left -= e.iov_len;
                e.iov_len = 0;
                ++first;
            } else {
                e.iov_base = static_cast<char*>(e.iov_base) + left;
                e.iov_len -= left;
                left = 0;
            }
        }
    }
    if (f == FAULT_SHORT) errno = EIO;
    return static_cast<long>(done);
}

std::int64_t FH_lseek_file(int fd, std::int64_t offset, int whence) {
    if (injected_failure(FaultOp::seek)) return -1;
    return static_cast<std::int64_t>(::lseek(fd, static_cast<off_t>(offset), whence));
}

long FH_pread_file(int fd, void* buf, std::size_t n, std::int64_t offset) {
    int f = fault_check(FaultOp::read);
    if (f == FAULT_SHORT) {
        n = shortened(n);
    } else if (f != 0) {
        errno = f;
        return -1;
    }
    if (n > max_transfer) n = max_transfer;
    ssize_t r;
    do {
        r = ::pread(fd, buf, n, static_cast<off_t>(offset));
    } while (r < 0 && errno == EINTR);
    return static_cast<long>(r);
}

long FH_pwrite_file(int fd, const void* buf, std::size_t n, std::int64_t offset) {
    int f = fault_check(FaultOp::write);
    if (f != 0 && f != FAULT_SHORT) {
        errno = f;
        return -1;
    }
    if (f == FAULT_SHORT) n = shortened(n);
    if (n > max_transfer || offset < 0) {
        errno = EINVAL;
        return -1;
    }
    long r = pwrite_all(fd, static_cast<const char*>(buf), n, offset);
    if (r >= 0 && f == FAULT_SHORT) errno = EIO;
    return r;
}

int FH_lock_file_region(int fd, int type, std::int64_t start, std::int64_t length) {
    if (injected_failure(FaultOp::lock)) return -1;
    struct flock fl = {};
    int cmd;
    switch (type) {
        case FH_LOCK_SHARED:
            fl.l_type = F_RDLCK;
            cmd = F_OFD_SETLKW;
            break;
        case FH_LOCK_UPDATE:
            fl.l_type = F_WRLCK;
            cmd = F_OFD_SETLKW;
            break;
        case FH_LOCK_EXCLUSIVE:
            fl.l_type = F_WRLCK;
            cmd = F_OFD_SETLK;
            break;
        default:
            errno = EINVAL;
            return -1;
    }
    if (start < 0 || length < 0) {
        errno = EINVAL;
        return -1;
    }
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(start);
    fl.l_len = static_cast<off_t>(length);
    fl.l_pid = 0;
    int r;
    do {
        r = ::fcntl(fd, cmd, &fl);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? -1 : 0;
}

int FH_unlock_file_region(int fd, std::int64_t start, std::int64_t length) {
    if (injected_failure(FaultOp::lock)) return -1;
    if (start < 0 || length < 0) {
        errno = EINVAL;
        return -1;
    }
    struct flock fl = {};
    fl.l_type = F_UNLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(start);
    fl.l_len = static_cast<off_t>(length);
    fl.l_pid = 0;
    int r;
    do {
        r = ::fcntl(fd, F_OFD_SETLK, &fl);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? -1 : 0;
}

int FH_fsync_file(int fd) {
    if (injected_failure(FaultOp::fsync)) return -1;
    int r;
    do {
        r = ::fsync(fd);
    } while (r < 0 && errno == EINTR);
    return r;
}

int FH_truncate_file(int fd, std::int64_t length) {
    if (injected_failure(FaultOp::truncate)) return -1;
    int r;
    do {
        r = ::ftruncate(fd, static_cast<off_t>(length));
    } while (r < 0 && errno == EINTR);
    return r;
}

int FH_stat_file(const char* path, FileStatus* st) {
    if (path == nullptr || st == nullptr) {
        errno = EINVAL;
        return -1;
    }
    struct stat s;
    if (::stat(path, &s) != 0) return -1;
    fill_status(s, st);
    return 0;
}

int FH_fstat_file(int fd, FileStatus* st) {
    if (st == nullptr) {
        errno = EINVAL;
        return -1;
    }
    struct stat s;
    if (::fstat(fd, &s) != 0) return -1;
    fill_status(s, st);
    return 0;
}

int FH_access_file(const char* path, int what) {
    if (path == nullptr || (what & ~7) != 0) {
        errno = EINVAL;
        return -1;
    }
    int mode = F_OK;
    if (what & 4) mode |= R_OK;
    if (what & 2) mode |= W_OK;
    if (what & 1) mode |= X_OK;
    return ::access(path, mode);
}

int FH_remove_file(const char* path) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return ::unlink(path);
}

int FH_rename_file(const char* from, const char* to) {
    if (from == nullptr || to == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return ::rename(from, to);
}

int FH_link_file(const char* from, const char* to) {
    if (from == nullptr || to == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return ::link(from, to);
}

int FH_copy_file(const char* from, const char* to) {
    if (from == nullptr || to == nullptr || *to == '\0') {
        errno = EINVAL;
        return -1;
    }
    int in = FH_open_file(from, FH_RDONLY);
    if (in < 0) return -1;
    struct stat s;
    if (::fstat(in, &s) != 0) {
        close_quietly(in);
        return -1;
    }
    // The copy is written beside the target under a temporary name and
    // renamed over it at the end, so a failure half-way leaves an existing
    // target as it was (and copying a file onto itself loses nothing).
    std::string temp = std::string(to) + ".XXXXXX";
    int out = ::mkostemp(temp.data(), O_CLOEXEC);
    if (out < 0) {
        close_quietly(in);
        return -1;
    }
    auto fail = [&]() {
        close_quietly(in);
        close_quietly(out);
        int saved = errno;
        ::unlink(temp.c_str());
        errno = saved;
        return -1;
    };
    if (::fchmod(out, s.st_mode & 0777) != 0) return fail();
    std::vector<char> buf(64 * 1024);
    for (;;) {
        long r = FH_read_file(in, buf.data(), buf.size());
        if (r < 0) return fail();
        if (r == 0) break;
        if (FH_write_file(out, buf.data(), static_cast<std::size_t>(r)) != r) return fail();
    }
    if (FH_fsync_file(out) != 0) return fail();
    ::close(in);
    if (::close(out) != 0) {
        int saved = errno;
        ::unlink(temp.c_str());
        errno = saved;
        return -1;
    }
    if (::rename(temp.c_str(), to) != 0) {
        int saved = errno;
        ::unlink(temp.c_str());
        errno = saved;
        return -1;
    }
    // Make the new name durable too; a file system that cannot sync a
    // directory still has the copy, so a failure here is not reported.
    std::string dir(to);
    std::size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return 0;
}

bool FH_isatty(int fd) {
    return ::isatty(fd) == 1;
}

}  // namespace plat
