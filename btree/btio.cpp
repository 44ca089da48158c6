// Page input and output: the cache of page buffers kept in least to most
// recently used order, page allocation and the free list, the superblock and
// writing everything out.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "btree/btpriv.h"
#include "platform/fileio.h"

// ---- raw file access ----------------------------------------------------------

int bt_pread_all(btree_handle* h, void* buf, std::size_t n, std::int64_t off) {
    auto* p = static_cast<std::uint8_t*>(buf);
    std::size_t done = 0;
    while (done < n) {
        const long got =
            plat::FH_pread_file(h->fd, p + done, n - done, off + static_cast<std::int64_t>(done));
        if (got < 0) return -1;
        if (got == 0) {
            // The page lies (partly) beyond the end of the file.
            h->error = BTE_CORRUPT;
            return -1;
        }
        done += static_cast<std::size_t>(got);
    }
    return 0;
}

int bt_pwrite_all(int fd, const void* buf, std::size_t n, std::int64_t off) {
    const long put = plat::FH_pwrite_file(fd, buf, n, off);
    if (put < 0) return -1;
    if (static_cast<std::size_t>(put) != n) {
        if (errno == 0) errno = EIO;
        return -1;
    }
    return 0;
}

// ---- superblock ---------------------------------------------------------------

void bt_encode_super(const bt_superblock& sb, std::uint8_t* out) {
    bt_put32(out + 0, sb.magic);
    bt_put32(out + 4, sb.page_size);
    bt_put32(out + 8, sb.depth);
    bt_put32(out + 12, sb.key_type);
    bt_put32(out + 16, sb.root);
    bt_put32(out + 20, sb.free_list);
    bt_put32(out + 24, sb.end);
}

void bt_decode_super(const std::uint8_t* in, bt_superblock* sb) {
    sb->magic = bt_get32(in + 0);
    sb->page_size = bt_get32(in + 4);
    sb->depth = bt_get32(in + 8);
    sb->key_type = bt_get32(in + 12);
    sb->root = bt_get32(in + 16);
    sb->free_list = bt_get32(in + 20);
    sb->end = bt_get32(in + 24);
}

static bool offset_in(const bt_superblock& sb, std::int32_t off) {
    return off > 0 && off < sb.end && off % sb.page_size == 0;
}

bool bt_super_valid(const bt_superblock& sb) {
    if (sb.magic != BT_MAGIC) return false;
    if (sb.page_size < BT_MIN_PAGE_SIZE || sb.page_size > BT_MAX_PAGE_SIZE || sb.page_size % 4 != 0)
        return false;
    if (sb.end < 2 * sb.page_size || sb.end % sb.page_size != 0) return false;
    if (sb.depth < 1 || sb.depth > BT_MAX_DEPTH || sb.depth >= sb.end / sb.page_size) return false;
    if (!offset_in(sb, sb.root)) return false;
    return sb.free_list == BT_NOPAGE || offset_in(sb, sb.free_list);
}

int bt_write_super(btree_handle* h) {
    std::uint8_t raw[BT_SUPER_SIZE];
    h->sb_dirty = 1;
    h->unsynced = true;
    bt_encode_super(h->sb, raw);
    if (bt_pwrite_all(h->fd, raw, sizeof raw, 0) != 0) return -1;
    h->sb_dirty = 0;
    return 0;
}

// ---- the pool -----------------------------------------------------------------
//
// Buffers are chained from the least recently used (front) to the most
// recently used (back); a buffer holding no page sits at the front, to be
// used first. The pool grows a buffer at a time up to the cache budget and
// then reuses its least recently used buffer. Every buffer bound to a page
// is in the where map; scratch and empty buffers are not.

bool bt_valid_offset(const btree_handle* h, std::int32_t off) {
    return offset_in(h->sb, off);
}

static bt_buffer& buf_at(btree_handle* h, int i) {
    return h->buffers[static_cast<std::size_t>(i)];
}

// Buffers the pool may grow to for the handle's page size.
static std::size_t pool_limit(const btree_handle* h) {
    std::size_t limit = h->cache_pages;
    if (limit == 0) {
        const std::int64_t size = h->sb.page_size > 0 ? h->sb.page_size : BT_PAGE_SIZE;
        limit = static_cast<std::size_t>(BT_CACHE_BYTES / size);
    }
    return std::max<std::size_t>(limit, BT_NBUFFERS);
}

void bt_pool_init(btree_handle* h) {
    // Given back rather than kept: a handle that waits between uses holds
    // no more than it needs.
    std::vector<bt_buffer>().swap(h->buffers);
    std::vector<std::uint8_t>().swap(h->run);
    h->run_pages = 0;
    std::vector<std::unique_ptr<std::uint8_t[]>>().swap(h->store);
    std::unordered_map<std::int32_t, int>().swap(h->where);
    h->front = -1;
    h->back = -1;
    h->last_buf = -1;
}

static void unlink_buf(btree_handle* h, int i) {
    bt_buffer& b = buf_at(h, i);
    if (b.prev >= 0)
        buf_at(h, b.prev).next = b.next;
    else
        h->front = b.next;
    if (b.next >= 0)
        buf_at(h, b.next).prev = b.prev;
    else
        h->back = b.prev;
    b.prev = b.next = -1;
}

static void link_front(btree_handle* h, int i) {
    bt_buffer& b = buf_at(h, i);
    b.prev = -1;
    b.next = h->front;
    if (h->front >= 0)
        buf_at(h, h->front).prev = i;
    else
        h->back = i;
    h->front = i;
}

static void link_back(btree_handle* h, int i) {
    bt_buffer& b = buf_at(h, i);
    b.next = -1;
    b.prev = h->back;
    if (h->back >= 0)
        buf_at(h, h->back).next = i;
    else
        h->front = i;
    h->back = i;
}

// A buffer holding no page goes to the front (first to be reused), one
// holding a page to the back.
static void move_buf(btree_handle* h, int i) {
    const bt_buffer& b = buf_at(h, i);
    if (b.offset == BT_NOPAGE) {
        if (h->front == i) return;
        unlink_buf(h, i);
        link_front(h, i);
    } else {
        if (h->back == i) return;
        unlink_buf(h, i);
        link_back(h, i);
    }
}

// Ties the buffer to the page at off.
static void bind_buf(btree_handle* h, int i, std::int32_t off) {
    buf_at(h, i).offset = off;
    h->where[off] = i;
}

// Empties the buffer: whatever image it held is no longer the page's.
static void unbind_buf(btree_handle* h, int i) {
    bt_buffer& b = buf_at(h, i);
    if (b.offset != BT_NOPAGE) {
        auto it = h->where.find(b.offset);
        if (it != h->where.end() && it->second == i) h->where.erase(it);
    }
    b.offset = BT_NOPAGE;
    b.state = BT_BUF_CLEAN;
    move_buf(h, i);
}

static int write_buf(btree_handle* h, bt_buffer& b) {
    h->unsynced = true;
    if (bt_pwrite_all(h->fd, b.image.data(), b.image.size(), b.offset) != 0) return -1;
    b.state = BT_BUF_CLEAN;
    return 0;
}

// The buffer holding the page at off, or -1.
static int find_buf(btree_handle* h, std::int32_t off) {
    const int last = h->last_buf;
    if (last >= 0 && static_cast<std::size_t>(last) < h->buffers.size()) {
        const bt_buffer& b = buf_at(h, last);
        if (b.offset == off && b.state != BT_BUF_SCRATCH) return last;
    }
    auto it = h->where.find(off);
    return it == h->where.end() ? -1 : it->second;
}

// A buffer that holds no page, without letting one go: an empty one, or a
// new one while the pool may grow; -1 when there is none.
static int spare_buf(btree_handle* h) {
    if (h->front >= 0) {
        const bt_buffer& b = buf_at(h, h->front);
        if (b.offset == BT_NOPAGE && b.state != BT_BUF_SCRATCH) return h->front;
    }
    const std::size_t limit = pool_limit(h);
    if (h->buffers.size() >= limit) return -1;
    // Images come in blocks, so that thousands of pages do not scatter over
    // the heap.
    const std::size_t page = static_cast<std::size_t>(h->sb.page_size);
    const std::size_t per_block = std::min<std::size_t>(limit, 64);
    const std::size_t n = h->buffers.size();
    if (n % per_block == 0) h->store.push_back(std::make_unique<std::uint8_t[]>(per_block * page));
    bt_buffer b;
    b.image = std::span<std::uint8_t>(h->store.back().get() + (n % per_block) * page, page);
    h->buffers.push_back(b);
    const int i = static_cast<int>(h->buffers.size()) - 1;
    link_front(h, i);
    return i;
}

// How many pages spare_buf can still give.
static std::int64_t spare_count(const btree_handle* h) {
    std::int64_t n = 0;
    for (int i = h->front; i >= 0; i = h->buffers[static_cast<std::size_t>(i)].next) {
        const bt_buffer& b = h->buffers[static_cast<std::size_t>(i)];
        if (b.offset != BT_NOPAGE || b.state == BT_BUF_SCRATCH) break;
        ++n;
    }
    const std::size_t limit = pool_limit(h);
    if (h->buffers.size() < limit) n += static_cast<std::int64_t>(limit - h->buffers.size());
    return n;
}

// A buffer to take a new page or serve as scratch: an empty one, a new one
// while the pool may grow, else the least recently used; -1 on failure.
static int free_buf(btree_handle* h) {
    if (const int i = spare_buf(h); i >= 0) return i;
    int victim = -1;
    for (int i = h->front; i >= 0; i = buf_at(h, i).next) {
        if (buf_at(h, i).state != BT_BUF_SCRATCH) {
            victim = i;
            break;
        }
    }
    if (victim < 0) {
        h->error = BTE_NO_BUFFERS;
        return -1;
    }
    bt_buffer& b = buf_at(h, victim);
    if (b.state == BT_BUF_DIRTY && b.offset != BT_NOPAGE && write_buf(h, b) != 0) return -1;
    unbind_buf(h, victim);
    return victim;
}

// Reads the page at off into buffer i (empty, at the front) together with a
// run of its neighbours, which are kept in buffers the pool can spare when
// they are sound pages and not cached yet. The run is aligned to its length
// and never passes the end the superblock gives. What happens to the page at
// off is what a read of that page alone would do: a failed call is its
// failure, and should the run end before the page is complete (the file is
// shorter, or the call was cut short) the page is read on its own.
// Returns 1 when the page was read, checked and bound with its neighbours,
// 0 when it was read but is still to be checked and bound, -1 on failure.
static int read_run(btree_handle* h, int i, std::int32_t off) {
    const std::int64_t page = h->sb.page_size;
    if (h->run_pages == 0) h->run_pages = std::max<std::int64_t>(2, BT_RUN_FIRST_BYTES / page);
    const std::int64_t len = std::min(h->run_pages, spare_count(h) + 1);
    const std::int64_t n = off / page;
    std::int64_t first = n - n % std::max<std::int64_t>(len, 1);
    if (first < 1) first = 1;  // page 0 is the superblock's
    const std::int64_t last = std::min(first + len, bt_page_count(h));
    std::uint8_t* img = buf_at(h, i).image.data();
    if (last - first < 2) return bt_pread_all(h, img, static_cast<std::size_t>(page), off);
    h->run_pages = std::min(h->run_pages * 2, std::max<std::int64_t>(2, BT_RUN_MAX_BYTES / page));

    const auto bytes = static_cast<std::size_t>((last - first) * page);
    if (h->run.size() < bytes) h->run.resize(bytes);
    const long got = plat::FH_pread_file(h->fd, h->run.data(), bytes, first * page);
    if (got < 0) return -1;
    const std::int64_t whole = got / page;  // pages read completely
    if (n >= first + whole) return bt_pread_all(h, img, static_cast<std::size_t>(page), off);
    std::memcpy(img, h->run.data() + (n - first) * page, static_cast<std::size_t>(page));
    if (!bt_page_valid(img, h->sb.page_size)) return 0;  // the caller reports it

    // The page itself is bound first, so that no neighbour takes its buffer.
    bind_buf(h, i, off);
    move_buf(h, i);
    for (std::int64_t p = first; p < first + whole; ++p) {
        if (p == n) continue;
        const auto at = static_cast<std::int32_t>(p * page);
        if (h->where.count(at) != 0) continue;
        const std::uint8_t* src = h->run.data() + (p - first) * page;
        if (!bt_page_valid(src, h->sb.page_size)) continue;  // read alone if ever asked for
        const int j = spare_buf(h);
        if (j < 0) break;
        std::memcpy(buf_at(h, j).image.data(), src, static_cast<std::size_t>(page));
        bind_buf(h, j, at);
        move_buf(h, j);
    }
    move_buf(h, i);  // the most recently used again
    return 1;
}

int bt_get_page(btree_handle* h, std::int32_t off) {
    if (off != BT_NOPAGE && !bt_valid_offset(h, off)) {
        h->error = BTE_BAD_POINTER;
        return -1;
    }
    if (off != BT_NOPAGE) {
        const int i = find_buf(h, off);
        if (i >= 0) {
            move_buf(h, i);
            h->last_buf = i;
            return i;
        }
    }
    const int i = free_buf(h);
    if (i < 0) return -1;
    bt_buffer& b = buf_at(h, i);
    if (off == BT_NOPAGE) {
        b.state = BT_BUF_SCRATCH;
        return i;
    }
    // The buffer is empty (and at the front) until the read has succeeded.
    if (h->held) {
        const int r = read_run(h, i, off);
        if (r < 0) return -1;
        if (r > 0) {
            h->last_buf = i;
            return i;
        }
    } else if (bt_pread_all(h, b.image.data(), b.image.size(), off) != 0) {
        return -1;
    }
    if (!bt_page_valid(buf_at(h, i).image.data(), h->sb.page_size)) {
        h->error = BTE_CORRUPT;
        return -1;
    }
    bind_buf(h, i, off);
    move_buf(h, i);
    h->last_buf = i;
    return i;
}

int bt_put_page(btree_handle* h, int i) {
    bt_buffer& b = buf_at(h, i);
    if (b.offset == BT_NOPAGE) {
        b.state = BT_BUF_CLEAN;
        move_buf(h, i);
        return 0;
    }
    if (b.state == BT_BUF_DIRTY) {
        if (!bt_page_valid(b.image.data(), h->sb.page_size)) {
            // Never let a bad image reach the file.
            h->error = BTE_CORRUPT;
            unbind_buf(h, i);
            return -1;
        }
        if (write_buf(h, b) != 0) {
            // The file may hold the old page, the new one or part of each:
            // it is read again when next needed.
            unbind_buf(h, i);
            return -1;
        }
    }
    move_buf(h, i);
    return 0;
}

int bt_fetch(btree_handle* h, std::int32_t off, const std::uint8_t** img) {
    // The page asked for last and still the most recently used, as in a walk
    // along a leaf: the pool has nothing to do.
    const int last = h->last_buf;
    if (last >= 0 && last == h->back && off != BT_NOPAGE) {
        const bt_buffer& b = buf_at(h, last);
        if (b.offset == off && b.state == BT_BUF_CLEAN) {
            if (bt_img_high(b.image.data()) == BT_FREEPAGE) {
                h->error = BTE_CORRUPT;
                return -1;
            }
            *img = b.image.data();
            return 0;
        }
    }
    const int i = bt_get_page(h, off);
    if (i < 0) return -1;
    bt_buffer& b = buf_at(h, i);
    if (bt_img_high(b.image.data()) == BT_FREEPAGE) {
        // A page on the free list reached from the tree.
        h->error = BTE_CORRUPT;
        return -1;
    }
    *img = b.image.data();
    return bt_put_page(h, i);
}

int bt_read_page(btree_handle* h, std::int32_t off, bt_page* pg) {
    const std::uint8_t* img = nullptr;
    if (bt_fetch(h, off, &img) != 0) return -1;
    bt_page_decode(img, pg);
    return 0;
}

int bt_write_page(btree_handle* h, std::int32_t off, const bt_page& pg) {
    if (!bt_valid_offset(h, off)) {
        h->error = BTE_BAD_POINTER;
        return -1;
    }
    const int s = bt_get_page(h, BT_NOPAGE);
    if (s < 0) return -1;
    bt_buffer& sb = buf_at(h, s);
    if (!bt_page_encode(pg, h->sb.page_size, sb.image.data())) {
        h->error = BTE_CORRUPT;
        bt_put_page(h, s);
        return -1;
    }
    const int old = find_buf(h, off);
    if (old >= 0 && old != s) {
        // The page is cached: its buffer takes the new image and the scratch
        // buffer the old one, which is let go.
        std::swap(buf_at(h, old).image, sb.image);
        bt_put_page(h, s);
        buf_at(h, old).state = BT_BUF_DIRTY;
        return bt_put_page(h, old);
    }
    bind_buf(h, s, off);
    sb.state = BT_BUF_DIRTY;
    return bt_put_page(h, s);
}

// ---- allocation and the free list ------------------------------------------

int bt_alloc_page(btree_handle* h, std::int32_t* off) {
    const std::int32_t size = h->sb.page_size;
    if (h->sb.free_list == BT_NOPAGE) {
        if (h->sb.end > INT32_MAX - size) {
            h->error = BTE_BAD_POINTER;  // the file cannot grow any further
            return -1;
        }
        *off = h->sb.end;
        h->sb.end += size;
    } else {
        const int i = bt_get_page(h, h->sb.free_list);
        if (i < 0) return -1;
        const std::uint8_t* img = buf_at(h, i).image.data();
        const std::int32_t next = bt_get32(img + BT_PG_LEFT);
        const bool is_free = bt_img_high(img) == BT_FREEPAGE;
        if (bt_put_page(h, i) != 0) return -1;
        if (!is_free || next == h->sb.free_list) {
            h->error = BTE_CORRUPT;  // the free list leads into a page in use, or loops
            return -1;
        }
        if (next != BT_NOPAGE && !bt_valid_offset(h, next)) {
            h->error = BTE_BAD_POINTER;
            return -1;
        }
        *off = h->sb.free_list;
        h->sb.free_list = next;
    }
    return bt_write_super(h);
}

int bt_free_page(btree_handle* h, std::int32_t off) {
    const int i = bt_get_page(h, off);
    if (i < 0) return -1;
    bt_buffer& b = buf_at(h, i);
    bt_put32(b.image.data() + BT_PG_LEFT, h->sb.free_list);
    bt_put32(b.image.data() + BT_PG_HIGH, BT_FREEPAGE);
    b.state = BT_BUF_DIRTY;
    if (bt_put_page(h, i) != 0) return -1;
    h->sb.free_list = off;
    return bt_write_super(h);
}

void btree_hold(btree_handle* h, bool held) {
    if (!h) return;
    h->held = held;
    h->run_pages = 0;
}

// ---- writing everything out --------------------------------------------------

int btree_sync(btree_handle* h) {
    if (!h || h->fd < 0) return -1;
    int rc = 0;
    for (bt_buffer& b : h->buffers) {
        if (b.state == BT_BUF_DIRTY && b.offset != BT_NOPAGE && write_buf(h, b) != 0) rc = -1;
    }
    // A page that could not be written stays for the next try; otherwise
    // nothing cached is needed any more.
    if (rc == 0) bt_pool_init(h);
    if (h->sb_dirty && h->sb.magic == BT_MAGIC && bt_write_super(h) != 0) rc = -1;
    if (h->unsynced) {
        if (plat::FH_fsync_file(h->fd) != 0)
            rc = -1;
        else if (rc == 0)
            h->unsynced = false;
    }
    return rc;
}
