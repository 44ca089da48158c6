// Opening an index file, initialising an empty one, and re-reading it when
// another process has changed it.
#include <cerrno>
#include <chrono>
#include <cstring>

#include "btree/btpriv.h"
#include "platform/fileio.h"

namespace {

// A stamp taken less than this long after the file's last change may miss a
// later change that lands within the same clock tick of the file system.
constexpr std::int64_t kRacyWindowNs = 2'000'000'000;

std::int64_t now_ns() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
}

bt_superblock new_superblock() {
    bt_superblock sb;
    sb.magic = BT_MAGIC;
    sb.page_size = BT_PAGE_SIZE;
    sb.depth = 1;
    sb.key_type = BT_KEY_BYTES;
    sb.root = BT_PAGE_SIZE;
    sb.free_list = BT_NOPAGE;
    sb.end = 2 * BT_PAGE_SIZE;
    return sb;
}

// Makes a zero-length file an empty index: the superblock and an empty root leaf.
int init_empty(btree_handle* h) {
    h->sb = new_superblock();
    if (bt_write_super(h) != 0) return -1;
    std::vector<std::uint8_t> img(static_cast<std::size_t>(BT_PAGE_SIZE), 0);
    h->unsynced = true;
    bt_page_encode(bt_page{}, BT_PAGE_SIZE, img.data());
    return bt_pwrite_all(h->fd, img.data(), img.size(), h->sb.root);
}

}  // namespace

void bt_take_stamp(btree_handle* h) {
    plat::FileStatus st;
    if (plat::FH_fstat_file(h->fd, &st) != 0) {
        h->stamp_recent = true;  // nothing to compare with: re-read next time
        return;
    }
    h->mtime_sec = st.mtime_sec;
    h->mtime_nsec = st.mtime_nsec;
    h->stamp_size = st.size;
    const std::int64_t mtime_ns = st.mtime_sec * 1'000'000'000 + st.mtime_nsec;
    h->stamp_recent = now_ns() - mtime_ns < kRacyWindowNs;
}

int bt_load_super(btree_handle* h) {
    h->sb = bt_superblock{};
    h->sb_dirty = 0;
    bt_pool_init(h);
    std::uint8_t raw[BT_SUPER_SIZE];
    std::size_t got = 0;
    while (got < sizeof raw) {
        const long n =
            plat::FH_pread_file(h->fd, raw + got, sizeof raw - got, static_cast<std::int64_t>(got));
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    if (got == 0) {
        if (init_empty(h) != 0) {
            h->sb.magic = 0;
            return -1;
        }
    } else {
        bt_superblock sb;
        if (got == sizeof raw) bt_decode_super(raw, &sb);
        if (got != sizeof raw || !bt_super_valid(sb)) {
            h->error = BTE_CORRUPT;
            return -1;
        }
        h->sb = sb;
    }
    h->path.assign(static_cast<std::size_t>(h->sb.depth) + 2, bt_path_entry{});
    bt_forget_position(h);
    return 0;
}

btree_ptr btopen(const char* path, int flags, int mode, int* error) {
    if (error) *error = BTE_NONE;
    if (path == nullptr) {
        if (error) *error = BTE_BAD_ARGUMENT;
        return nullptr;
    }
    auto h = std::make_unique<btree_handle>();
    h->fd = plat::FH_open_file(path, plat::FH_RDWR | flags, mode);
    if (h->fd < 0) return nullptr;
    if (bt_load_super(h.get()) != 0) {
        if (error) *error = h->error;
        const int saved = errno;
        plat::FH_close_file(h->fd);
        errno = saved;
        return nullptr;
    }
    bt_take_stamp(h.get());
    h->error = BTE_NONE;
    return btree_ptr(h.release());
}

int btree_refresh(btree_handle* h) {
    if (!h || h->fd < 0) return BTE_REFRESH;
    plat::FileStatus st;
    if (plat::FH_fstat_file(h->fd, &st) != 0) return BTE_REFRESH;
    if (h->sb.magic == BT_MAGIC && !h->stamp_recent && st.mtime_sec == h->mtime_sec &&
        st.mtime_nsec == h->mtime_nsec && st.size == h->stamp_size)
        return 0;
    // Whatever is cached may be stale: drop it unwritten and start again.
    bt_take_stamp(h);
    if (bt_load_super(h) != 0) {
        h->sb.magic = 0;  // unusable until a refresh succeeds
        h->stamp_recent = true;
        return BTE_REFRESH;
    }
    h->error = BTE_NONE;
    return 0;
}
