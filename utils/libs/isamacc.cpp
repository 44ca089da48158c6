#include "utils/libs/isamacc.h"

#include <sys/uio.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string_view>

#include "platform/fileio.h"
#include "utils/libs/dateutil.h"
#include "utils/libs/isamsort.h"
#include "utils/libs/issuemsg.h"

namespace {

constexpr int kIdentPart = 30;  // "AH", version, format, name, N
constexpr int kSlotBlock = 63;  // slot descriptors and blanks
constexpr int kSlotText = 12;   // one slot descriptor: three 4-digit numbers
constexpr std::int64_t kMaxPos = 0xFFFFFFFFLL;
constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr int kMsgSet = 1110;
constexpr char kVersion[] = "0001";

// ---- small helpers ------------------------------------------------------------

int hdr_len(int kinds) {
    return 2 + ISAM_POINTER_SIZE * kinds;
}

constexpr int kMaxHdr = 2 + ISAM_POINTER_SIZE * ISAM_MAX_KINDS + 1;  // a record header and a zero

void put_hex(char* out, std::uint32_t v, int digits) {
    for (int i = digits - 1; i >= 0; --i) {
        out[i] = kHexDigits[v & 0xF];
        v >>= 4;
    }
}

// Value of a hexadecimal digit, -1 for any other character.
constexpr std::array<signed char, 256> kHexValue = [] {
    std::array<signed char, 256> t{};
    t.fill(-1);
    for (int i = 0; i < 10; ++i)
        t[static_cast<std::size_t>('0' + i)] = static_cast<signed char>(i);
    for (int i = 0; i < 6; ++i) {
        t[static_cast<std::size_t>('A' + i)] = static_cast<signed char>(10 + i);
        t[static_cast<std::size_t>('a' + i)] = static_cast<signed char>(10 + i);
    }
    return t;
}();

bool get_hex(const char* in, int digits, std::uint32_t* v) {
    std::uint32_t r = 0;
    int bad = 0;
    for (int i = 0; i < digits; ++i) {
        const int d = kHexValue[static_cast<unsigned char>(in[i])];
        bad |= d;
        r = (r << 4) | static_cast<std::uint32_t>(d & 0xF);
    }
    if (bad < 0) return false;
    *v = r;
    return true;
}

// A layout that records can be read and written with: keys inside their
// records, every detail record long enough to carry its master's key, the
// master key short enough for the index.
bool layout_sound(int kinds, const std::array<isam_slot_desc, ISAM_NSLOTS>& sl) {
    if (kinds < 0 || kinds > ISAM_MAX_KINDS) return false;
    const isam_slot_desc& m = sl[0];
    if (m.record_length <= 0 || m.key_offset < 0 || m.key_length <= 0 || m.key_length > BT_MAX_KEY)
        return false;
    const int master_end = m.key_offset + m.key_length;
    if (master_end > m.record_length) return false;
    for (int n = 1; n <= kinds; ++n) {
        const isam_slot_desc& d = sl[n];
        if (d.record_length <= 0 || d.key_offset < 0 || d.key_length < 0) return false;
        if (d.key_offset + d.key_length > d.record_length) return false;
        if (master_end > d.record_length) return false;
    }
    return true;
}

bool desc_sound(const isam_file_desc& d) {
    return d.name.size() <= static_cast<std::size_t>(ISAM_NAME_SIZE) && d.format >= 0 &&
           d.format <= 0xFFFF && layout_sound(d.kinds, d.slots);
}

// The two parts of a file header: identity part and slot block.
void compose_file_header(const isam_file_desc& d, char* ident, char* block) {
    std::memcpy(ident, "AH", 2);
    std::memcpy(ident + 2, kVersion, 4);
    put_hex(ident + 6, static_cast<std::uint32_t>(d.format), 4);
    pad_field(d.name.c_str(), ident + 10, ISAM_NAME_SIZE);
    put_hex(ident + 26, static_cast<std::uint32_t>(d.kinds), 4);
    std::memset(block, ' ', kSlotBlock);
    for (int i = 0; i <= d.kinds; ++i) {
        char* p = block + kSlotText * i;
        put_hex(p, static_cast<std::uint16_t>(d.slots[i].record_length), 4);
        put_hex(p + 4, static_cast<std::uint16_t>(d.slots[i].key_offset), 4);
        put_hex(p + 8, static_cast<std::uint16_t>(d.slots[i].key_length), 4);
    }
}

// ---- result bookkeeping -------------------------------------------------------

std::int16_t check_handle(const isam_handle* h) {
    if (!h) return ISAM_E_NO_HANDLE;
    if (h->magic != ISAM_MAGIC) return ISAM_E_BAD_HANDLE;
    return ISAM_OK;
}

std::int16_t enter(isam_handle* h) {
    if (std::int16_t c = check_handle(h)) return c;
    h->code = 0;
    h->detail = 0;
    h->sys_errno = 0;
    h->index_error = 0;
    return ISAM_OK;
}

std::int16_t set_code(isam_handle* h, std::int16_t code, std::int64_t detail, int err,
                      int index_error = 0) {
    h->code = code;
    h->detail = detail;
    h->sys_errno = err;
    h->index_error = index_error;
    return code;
}

// A failure that is not the system's: no error number.
std::int16_t fail(isam_handle* h, std::int16_t code, std::int64_t detail = 0) {
    return set_code(h, code, detail, 0);
}

// A failed system call: errno tells why.
std::int16_t sys_fail(isam_handle* h, std::int16_t code, std::int64_t detail = 0) {
    return set_code(h, code, detail, errno);
}

// A failed index operation: the index's error code and errno.
std::int16_t ix_fail(isam_handle* h, std::int16_t code, std::int64_t detail = 0) {
    int e = errno;
    return set_code(h, code, detail, e, h->index ? h->index->error : 0);
}

// A transfer that moved fewer bytes than asked fails with EIO when the
// system did not say why (end of file, injected short transfer).
std::int16_t io_fail(isam_handle* h, std::int16_t code, std::int64_t detail, long result) {
    return set_code(h, code, detail, result < 0 ? errno : 0);
}

// ---- record layout ------------------------------------------------------------

int rec_len(const isam_handle* h, int slot) {
    return h->slots[slot].desc.record_length;
}
int line_len(const isam_handle* h, int slot) {
    return hdr_len(h->kinds) + rec_len(h, slot) + 1;
}
int full_key_len(const isam_handle* h, int slot) {
    return h->slots[0].desc.key_length + (slot > 0 ? h->slots[slot].desc.key_length : 0);
}

void compose_key(const isam_handle* h, int slot, const char* data, char* out) {
    const isam_slot_desc& m = h->slots[0].desc;
    std::memcpy(out, data + m.key_offset, static_cast<std::size_t>(m.key_length));
    if (slot > 0) {
        const isam_slot_desc& d = h->slots[slot].desc;
        std::memcpy(out + m.key_length, data + d.key_offset,
                    static_cast<std::size_t>(d.key_length));
    }
}

// Pointer field n (1..N) of a record header: the position, 0 for none, or -1
// when the field is not a pointer (not hexadecimal, or inside the file header).
std::int64_t get_ptr(const char* hdr, int n) {
    static_assert(ISAM_POINTER_SIZE == 8);
    // The eight digits at once, the first in the lowest byte.
    std::uint64_t x = 0;
    std::memcpy(&x, hdr + 2 + ISAM_POINTER_SIZE * (n - 1), sizeof x);
    if constexpr (std::endian::native == std::endian::big) x = __builtin_bswap64(x);
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
    // Per byte (all below 0x80): the high bit of digit is set for '0'..'9',
    // that of letter for 'A'..'F' and 'a'..'f'.
    const std::uint64_t lower = x | 0x20 * kOnes;
    const std::uint64_t digit = ((x | kHigh) - 0x30 * kOnes) & (0xB9 * kOnes - x);
    const std::uint64_t letter = ((lower | kHigh) - 0x61 * kOnes) & (0xE6 * kOnes - lower);
    if (((((digit | letter) & kHigh) ^ kHigh) | (x & kHigh)) != 0) return -1;
    // Digit values, then pairs into bytes, bytes into halves, halves into
    // the value (the first digit most significant).
    std::uint64_t v = (x & 0x0F * kOnes) + ((letter >> 7) & kOnes) * 9;
    v = ((v << 4) | (v >> 8)) & 0x00FF00FF00FF00FFULL;
    v = ((v << 8) | (v >> 16)) & 0x0000FFFF0000FFFFULL;
    const auto value = static_cast<std::uint32_t>((v << 16) | (v >> 32));
    if (value != 0 && value < static_cast<std::uint32_t>(ISAM_HEADER_SIZE)) return -1;
    return static_cast<std::int64_t>(value);
}

void set_ptr(char* hdr, int n, std::int64_t pos) {
    put_hex(hdr + 2 + ISAM_POINTER_SIZE * (n - 1), static_cast<std::uint32_t>(pos),
            ISAM_POINTER_SIZE);
}

void init_header(char* hdr, int kinds, int slot) {
    hdr[0] = 'D';
    hdr[1] = slot == 0 ? 'M' : static_cast<char>('0' + slot);
    std::memset(hdr + 2, '0', static_cast<std::size_t>(ISAM_POINTER_SIZE * kinds));
}

bool type_ok(const char* hdr, int slot) {
    return hdr[0] == 'D' && hdr[1] == (slot == 0 ? 'M' : static_cast<char>('0' + slot));
}

bool pointers_ok(const char* hdr, int kinds) {
    for (int n = 1; n <= kinds; ++n)
        if (get_ptr(hdr, n) < 0) return false;
    return true;
}

bool blank_type(const char* hdr) {
    return hdr[0] == ' ' && hdr[1] == ' ';
}

// ---- read-ahead under the lock ----------------------------------------------

constexpr std::size_t kCacheBytes = std::size_t{4} << 20;  // bytes a handle keeps at most
constexpr std::size_t kExtentMax = std::size_t{64} << 10;  // longest extent
constexpr std::size_t kKeptFree = 8;       // released buffers (and map entries) kept for reuse
constexpr std::size_t kFetchFirst = 8192;  // a fetch before any was learnt from
constexpr std::size_t kFetchLeast = 1024;  // the least a guessed fetch asks for
constexpr std::size_t kMarkWords = std::size_t{1} << 18;  // master marks: 2 MB at most
constexpr std::size_t kCachePositions = 16384;            // remembered key look-ups at most
constexpr std::size_t kNoExtent = static_cast<std::size_t>(-1);

bool under_lock(const isam_handle* h) {
    return (h->flags & ISAM_FL_LOCKED) != 0;
}

// Forgets every extent (and frees them), the master marks, the remembered
// look-ups and the file size. What fetches typically get read of is kept:
// it is about the file's layout, and only sizes the next fetches.
void drop_cache(isam_handle* h) {
    isam_read_cache& c = h->cache;
    c.extents.clear();
    c.extents.shrink_to_fit();
    c.spare.clear();
    c.spare.shrink_to_fit();
    c.by_start.clear();
    c.free_buffers.clear();
    c.free_buffers.shrink_to_fit();
    c.free_nodes.clear();
    c.free_nodes.shrink_to_fit();
    c.bytes = 0;
    c.hand = 0;
    c.last = -1;
    c.run_start = -1;
    c.run_reach = 0;
    c.run_mark = -1;
    c.masters.clear();
    c.masters.shrink_to_fit();
    c.positions.clear();
    c.patterns.clear();
    c.file_size = -1;
    c.transient = false;
    h->ix_at_key = false;
}

// The index is about to change: look-ups remembered from it no longer hold,
// and its position moves.
void note_index_change(isam_handle* h) {
    h->cache.positions.clear();
    h->cache.patterns.clear();
    h->ix_at_key = false;
}

bool cache_usable(const isam_handle* h) {
    return under_lock(h) || h->cache.transient;
}

std::int64_t extent_end(const isam_read_cache::extent& e) {
    return e.start + static_cast<std::int64_t>(e.size);
}

// Room for n bytes in the extent, its bytes kept; grown ones at least double
// (up to the longest extent), so that appends seldom copy. An empty extent
// takes a kept buffer when one is large enough.
void reserve_extent(isam_read_cache& c, isam_read_cache::extent& e, std::size_t n) {
    if (n <= e.capacity) return;
    if (e.size == 0) {
        auto& pool = c.free_buffers;
        for (std::size_t k = pool.size(); k-- > 0;) {
            if (pool[k].capacity < n) continue;
            std::swap(e.data, pool[k].data);
            std::swap(e.capacity, pool[k].capacity);
            if (pool[k].data == nullptr) {
                pool[k] = std::move(pool.back());
                pool.pop_back();
            }
            return;
        }
    }
    const std::size_t cap = e.capacity == 0 ? n : std::max(n, std::min(2 * e.capacity, kExtentMax));
    auto grown = std::make_unique_for_overwrite<char[]>(cap);
    if (e.size > 0) std::memcpy(grown.get(), e.data.get(), e.size);
    e.data = std::move(grown);
    e.capacity = cap;
}

void release_extent(isam_read_cache& c, std::size_t i) {
    isam_read_cache::extent& e = c.extents[i];
    auto node = c.by_start.extract(e.start);
    if (!node.empty() && c.free_nodes.size() < kKeptFree) c.free_nodes.push_back(std::move(node));
    c.bytes -= e.size;
    if (e.data != nullptr && c.free_buffers.size() < kKeptFree)
        c.free_buffers.push_back({std::move(e.data), e.capacity});
    e.data.reset();
    e.size = 0;
    e.capacity = 0;
    e.start = -1;
    e.used = false;
    c.spare.push_back(i);
    if (c.last == static_cast<std::int64_t>(i)) c.last = -1;
}

// Makes room for more bytes: extents not read since the hand last passed
// them go, except keep.
void make_room(isam_read_cache& c, std::size_t more, std::size_t keep) {
    for (std::size_t looked = 0; c.bytes + more > kCacheBytes && looked < 2 * c.extents.size();
         ++looked) {
        if (c.hand >= c.extents.size()) c.hand = 0;
        const std::size_t i = c.hand++;
        isam_read_cache::extent& e = c.extents[i];
        if (e.start < 0 || i == keep) continue;
        if (e.used)
            e.used = false;
        else
            release_extent(c, i);
    }
}

// A new, empty extent at start (no extent may hold start).
std::size_t new_extent(isam_read_cache& c, std::int64_t start) {
    std::size_t i = c.extents.size();
    if (!c.spare.empty()) {
        i = c.spare.back();
        c.spare.pop_back();
    } else {
        c.extents.emplace_back();
    }
    c.extents[i].start = start;
    c.extents[i].used = true;
    if (c.free_nodes.empty()) {
        c.by_start.emplace(start, i);
    } else {
        auto node = std::move(c.free_nodes.back());
        c.free_nodes.pop_back();
        node.key() = start;
        node.mapped() = i;
        c.by_start.insert(std::move(node));
    }
    return i;
}

// The extent with the greatest start at or before pos, or kNoExtent.
std::size_t extent_before(const isam_read_cache& c, std::int64_t pos) {
    auto it = c.by_start.upper_bound(pos);
    if (it == c.by_start.begin()) return kNoExtent;
    return std::prev(it)->second;
}

// A master record starts at pos: fetches that start before it need not read
// past it.
void mark_master(isam_handle* h, std::int64_t pos) {
    isam_read_cache& c = h->cache;
    if (!cache_usable(h) || pos <= 0) return;
    if (c.masters.empty()) {
        // Buckets no longer than the shortest record line hold one record
        // start at most.
        int shortest = line_len(h, 0);
        for (int n = 1; n <= h->kinds; ++n)
            shortest = std::min(shortest, line_len(h, n));
        c.mark_shift = 0;
        while ((2 << c.mark_shift) <= shortest)
            ++c.mark_shift;
    }
    const auto bucket = static_cast<std::uint64_t>(pos) >> c.mark_shift;
    const auto word = static_cast<std::size_t>(bucket >> 6);
    if (word >= kMarkWords) return;
    if (word >= c.masters.size())
        c.masters.resize(std::min(std::max(word + 1, 2 * c.masters.size()), kMarkWords));
    c.masters[word] |= std::uint64_t{1} << (bucket & 63);
}

// The end of the bucket of the first master marked after pos's bucket, when
// it ends before horizon; -1 when none is.
std::int64_t marked_end(const isam_read_cache& c, std::int64_t pos, std::int64_t horizon) {
    if (c.masters.empty()) return -1;
    std::uint64_t b = (static_cast<std::uint64_t>(pos) >> c.mark_shift) + 1;
    while (true) {
        const std::int64_t b_end = static_cast<std::int64_t>((b + 1) << c.mark_shift);
        const auto word = static_cast<std::size_t>(b >> 6);
        if (b_end > horizon || word >= c.masters.size()) return -1;
        const std::uint64_t bits = c.masters[word] >> (b & 63);
        if (bits == 0) {
            b = static_cast<std::uint64_t>(word + 1) << 6;
            continue;
        }
        b += static_cast<std::uint64_t>(std::countr_zero(bits));
        const auto end = static_cast<std::int64_t>((b + 1) << c.mark_shift);
        return end <= horizon ? end : -1;
    }
}

// The handle wrote n bytes at pos: extents holding those bytes take them,
// an append goes onto the extent that ends at the file's end (reading it
// back needs no fetch), and the file size grows when the write reached past
// it.
void note_written(isam_handle* h, std::int64_t pos, const char* bytes, std::size_t n) {
    isam_read_cache& c = h->cache;
    const std::int64_t old_size = c.file_size;
    const std::int64_t end = pos + static_cast<std::int64_t>(n);
    if (c.file_size >= 0) c.file_size = std::max(c.file_size, end);
    auto it = c.by_start.upper_bound(pos);
    if (it != c.by_start.begin()) --it;
    std::size_t ending_here = kNoExtent;
    for (; it != c.by_start.end() && it->first < end; ++it) {
        isam_read_cache::extent& e = c.extents[it->second];
        const std::int64_t e_end = extent_end(e);
        if (e_end == pos) ending_here = it->second;
        const std::int64_t from = std::max(pos, e.start);
        const std::int64_t to = std::min(end, e_end);
        if (from < to)
            std::memcpy(e.data.get() + (from - e.start), bytes + (from - pos),
                        static_cast<std::size_t>(to - from));
    }
    if (!under_lock(h) || old_size < 0 || pos != old_size || n > kExtentMax) return;
    if (ending_here != kNoExtent && c.extents[ending_here].size + n > kExtentMax)
        ending_here = kNoExtent;
    make_room(c, n, ending_here);
    const std::size_t i = ending_here != kNoExtent ? ending_here : new_extent(c, pos);
    isam_read_cache::extent& e = c.extents[i];
    reserve_extent(c, e, e.size + n);
    std::memcpy(e.data.get() + e.size, bytes, n);
    e.size += n;
    c.bytes += n;
}

// ---- write-behind under the lock ---------------------------------------------

constexpr std::size_t kTailLimit = 256 * 1024;  // a larger tail is written out

bool behind_idle(const isam_handle* h) {
    return h->behind.tail.empty() && h->behind.held.empty();
}

std::int64_t tail_end(const isam_handle* h) {
    return h->behind.base + static_cast<std::int64_t>(h->behind.tail.size());
}

void clear_behind(isam_handle* h, bool release) {
    isam_write_behind& wb = h->behind;
    wb.base = -1;
    wb.tail.clear();
    wb.held_pos = -1;
    wb.held.clear();
    wb.held_code = 0;
    if (release) {
        wb.tail.shrink_to_fit();
        wb.held.shrink_to_fit();
    }
}

// A write-out that failed (result w): the file goes back to its size before
// it, so that no line is left half written and nothing in the file points at
// the lost lines (only the held rewrite could, and it is lost too). Slots
// whose current record was lost, or whose record's header was the held
// rewrite, have no current record any more.
std::int16_t behind_failed(isam_handle* h, std::int16_t code, std::int64_t pos, long w) {
    isam_write_behind& wb = h->behind;
    std::int16_t c = io_fail(h, code, pos, w);
    if (code == ISAM_E_ADD_WRITE && h->sys_errno == 0) h->sys_errno = EIO;
    if (wb.base >= ISAM_HEADER_SIZE) plat::FH_truncate_file(h->fd, wb.base);
    for (int i = 0; i <= h->kinds; ++i) {
        isam_slot& s = h->slots[static_cast<std::size_t>(i)];
        const bool lost = s.current != 0 &&
                          (s.current >= wb.base || (!wb.held.empty() && s.current == wb.held_pos));
        if (lost) {
            s.current = 0;
            s.state |= ISAM_ST_NOCURRENT;
        }
        if (s.resume >= wb.base) s.resume = -1;
    }
    clear_behind(h, false);
    drop_cache(h);
    return c;
}

// Writes the held-back tail and then the held rewrite; ISAM_OK or the code
// of what failed.
std::int16_t write_out(isam_handle* h) {
    if (behind_idle(h)) return ISAM_OK;
    isam_write_behind& wb = h->behind;
    h->unsynced = true;
    if (!wb.tail.empty()) {
        const long w = plat::FH_pwrite_file(h->fd, wb.tail.data(), wb.tail.size(), wb.base);
        if (w != static_cast<long>(wb.tail.size()))
            return behind_failed(h, ISAM_E_ADD_WRITE, wb.base, w);
    }
    if (!wb.held.empty()) {
        const long w = plat::FH_pwrite_file(h->fd, wb.held.data(), wb.held.size(), wb.held_pos);
        if (w != static_cast<long>(wb.held.size()))
            return behind_failed(h, wb.held_code, wb.held_pos, w);
    }
    clear_behind(h, false);
    return ISAM_OK;
}

// Writes n bytes at pos, or holds them back under the lock: an append to the
// end of the file joins the tail, a rewrite inside the tail changes it, and
// one rewrite before the tail waits behind it. Any other write first writes
// out what is held back. ISAM_OK, or the failure stored with code (a failed
// append is cut off the file), or the code of a write-out that failed.
std::int16_t data_write(isam_handle* h, std::int64_t pos, const char* bytes, std::size_t n,
                        std::int16_t code) {
    isam_write_behind& wb = h->behind;
    const std::int64_t end = pos + static_cast<std::int64_t>(n);
    if (wb.enabled && under_lock(h) && h->cache.file_size >= 0) {
        if (!wb.tail.empty() && pos >= wb.base && end <= tail_end(h)) {
            std::memcpy(wb.tail.data() + (pos - wb.base), bytes, n);
            note_written(h, pos, bytes, n);
            return ISAM_OK;
        }
        if (pos == h->cache.file_size && (wb.tail.empty() || pos == tail_end(h))) {
            if (wb.tail.empty()) wb.base = pos;
            wb.tail.append(bytes, n);
            note_written(h, pos, bytes, n);
            return ISAM_OK;
        }
        if (!wb.held.empty() && pos >= wb.held_pos &&
            end <= wb.held_pos + static_cast<std::int64_t>(wb.held.size())) {
            std::memcpy(wb.held.data() + (pos - wb.held_pos), bytes, n);
            note_written(h, pos, bytes, n);
            return ISAM_OK;
        }
        if (!wb.tail.empty() && end <= wb.base && wb.held.empty()) {
            wb.held_pos = pos;
            wb.held.assign(bytes, n);
            wb.held_code = code;
            note_written(h, pos, bytes, n);
            return ISAM_OK;
        }
        if (std::int16_t c = write_out(h)) return c;
    }
    h->unsynced = true;
    const long w = plat::FH_pwrite_file(h->fd, bytes, n, pos);
    if (w == static_cast<long>(n)) {
        note_written(h, pos, bytes, n);
        return ISAM_OK;
    }
    std::int16_t c = io_fail(h, code, pos, w);
    if (code == ISAM_E_ADD_WRITE) {
        if (h->sys_errno == 0) h->sys_errno = EIO;
        plat::FH_truncate_file(h->fd, pos);  // no half line at the end of the file
    }
    drop_cache(h);  // the blocks cannot know what the failed write left
    return c;
}

// Puts the bytes held back into buf, which has the file's bytes at from in
// its first got bytes (of want); returns how many of its bytes are valid now.
std::size_t overlay_behind(const isam_handle* h, std::int64_t from, char* buf, std::size_t want,
                           std::size_t got) {
    const std::int64_t to = from + static_cast<std::int64_t>(want);
    auto put = [&](std::int64_t pos, const std::string& bytes) {
        if (bytes.empty()) return;
        const std::int64_t a = std::max(pos, from);
        const std::int64_t b = std::min(pos + static_cast<std::int64_t>(bytes.size()), to);
        if (a >= b || a - from > static_cast<std::int64_t>(got)) return;
        std::memcpy(buf + (a - from), bytes.data() + (a - pos), static_cast<std::size_t>(b - a));
        got = std::max(got, static_cast<std::size_t>(b - from));
    };
    put(h->behind.held_pos, h->behind.held);
    put(h->behind.base, h->behind.tail);
    return got;
}

// Reads the file's bytes from the end of extent i up to position to onto
// it (fewer at the end of the file); false with errno set when the file
// cannot be read.
bool fill_extent(isam_handle* h, std::size_t i, std::int64_t to) {
    isam_read_cache& c = h->cache;
    isam_read_cache::extent& e = c.extents[i];
    const std::int64_t from = extent_end(e);
    if (to <= from) return true;
    const auto want = static_cast<std::size_t>(to - from);
    reserve_extent(c, e, e.size + want);
    char* at = e.data.get() + e.size;
    std::size_t got = 0;
    while (got < want) {
        const long r =
            plat::FH_pread_file(h->fd, at + got, want - got, from + static_cast<std::int64_t>(got));
        if (r < 0) return false;
        if (r == 0) break;
        got += static_cast<std::size_t>(r);
    }
    got = overlay_behind(h, from, at, want, got);
    e.size += got;
    c.bytes += got;
    return true;
}

std::int64_t data_size(isam_handle* h);

// A read of the n bytes at pos missed: fetches them, onto the end of the
// extent before pos when the read continues it, else into a new extent at
// pos. Returns the extent that holds pos, or kNoExtent with errno set.
std::size_t fetch(isam_handle* h, std::int64_t pos, std::size_t n, std::size_t before) {
    isam_read_cache& c = h->cache;
    const std::int64_t need = pos + static_cast<std::int64_t>(n);
    // How far: as far as fetches typically get read, or up to the next
    // master known to follow when runs are mostly read that far.
    std::size_t guess = kFetchFirst;
    if (c.typical > 0) guess = std::clamp(2 * c.typical, kFetchLeast, kExtentMax);
    const std::int64_t mark = marked_end(c, pos, pos + static_cast<std::int64_t>(kExtentMax));
    std::int64_t to = pos + static_cast<std::int64_t>(guess);
    if (mark >= 0 && (c.whole >= 128 || mark < to)) to = mark;
    to = std::max(to, need);
    if (under_lock(h)) {
        const std::int64_t size = data_size(h);
        // A file the handle can keep whole is read in long runs.
        if (size >= 0 && size <= static_cast<std::int64_t>(kCacheBytes / 2))
            to = std::max(to, pos + static_cast<std::int64_t>(kExtentMax));
        if (size >= 0) to = std::max(std::min(to, size), pos);
    }
    // Extents never overlap: one that the read reaches into goes, the next
    // one ends the fetch.
    for (auto next = c.by_start.upper_bound(pos); next != c.by_start.end();
         next = c.by_start.upper_bound(pos)) {
        if (next->first >= need) {
            to = std::min(to, next->first);
            break;
        }
        release_extent(c, next->second);
    }
    std::size_t i = kNoExtent;
    if (before != kNoExtent) {
        isam_read_cache::extent& e = c.extents[before];
        const std::int64_t e_end = extent_end(e);
        if (pos <= e_end && e.size + static_cast<std::size_t>(to - e_end) <= kExtentMax) {
            i = before;  // a chain running on past the extent
        } else if (pos == e.start) {
            release_extent(c, before);
        } else if (pos < e_end) {
            c.bytes -= static_cast<std::size_t>(e_end - pos);
            e.size = static_cast<std::size_t>(pos - e.start);
        }
    }
    if (i == kNoExtent) {
        // A new run: learn how much of the last one got read.
        if (c.run_start >= 0) {
            const auto read = static_cast<std::size_t>(c.run_reach - c.run_start);
            c.typical = c.typical == 0 ? read : (7 * c.typical + read) / 8;
            if (c.run_mark >= 0) {
                const bool to_mark = c.run_reach > c.run_mark - (std::int64_t{1} << c.mark_shift);
                c.whole = (7 * c.whole + (to_mark ? 256u : 0u)) / 8;
            }
        }
        c.run_start = pos;
        c.run_reach = pos;
        c.run_mark = mark;
    }
    const std::int64_t from = i != kNoExtent ? extent_end(c.extents[i]) : pos;
    make_room(c, static_cast<std::size_t>(std::max<std::int64_t>(to - from, 0)), i);
    if (i == kNoExtent) i = new_extent(c, pos);
    if (!fill_extent(h, i, to)) return kNoExtent;
    return i;
}

// The n bytes at pos, in an extent; *got receives the bytes available
// (fewer at the end of the file). Null with errno set when the file cannot
// be read.
const char* cache_view(isam_handle* h, std::int64_t pos, std::size_t n, long* got) {
    isam_read_cache& c = h->cache;
    const std::int64_t need = pos + static_cast<std::int64_t>(n);
    auto holds = [&](std::size_t i) {
        const isam_read_cache::extent& e = c.extents[i];
        return e.start <= pos && need <= extent_end(e);
    };
    auto i = c.last >= 0 ? static_cast<std::size_t>(c.last) : kNoExtent;
    if (i == kNoExtent || !holds(i)) {
        i = extent_before(c, pos);
        if (i == kNoExtent || !holds(i)) {
            i = fetch(h, pos, n, i);
            if (i == kNoExtent) return nullptr;
        }
        c.last = static_cast<std::int64_t>(i);
    }
    isam_read_cache::extent& e = c.extents[i];
    e.used = true;
    if (pos >= c.run_start && need - c.run_start <= static_cast<std::int64_t>(kExtentMax))
        c.run_reach = std::max(c.run_reach, need);
    *got = static_cast<long>(std::max<std::int64_t>(std::min(need, extent_end(e)) - pos, 0));
    return e.data.get() + (pos - e.start);
}

// The size of the data file: remembered under the lock, where only this
// handle can change it.
std::int64_t data_size(isam_handle* h) {
    if (!h->behind.tail.empty()) return tail_end(h);
    if (under_lock(h) && h->cache.file_size >= 0) return h->cache.file_size;
    plat::FileStatus st;
    if (plat::FH_fstat_file(h->fd, &st) != 0) return -1;
    if (under_lock(h)) h->cache.file_size = st.size;
    return st.size;
}

// Upper bound of the number of records the data file can hold now: bounds
// every walk along a chain, so a damaged chain that loops ends.
std::int64_t record_bound(isam_handle* h) {
    int shortest = line_len(h, 0);
    for (int n = 1; n <= h->kinds; ++n)
        shortest = std::min(shortest, line_len(h, n));
    std::int64_t size = data_size(h);
    if (size < 0) size = kMaxPos;
    if (size < ISAM_HEADER_SIZE) return 1;
    return (size - ISAM_HEADER_SIZE) / shortest + 1;
}

// Reads the record line of the slot's kind at pos: header into hdr, data into
// data, and checks that the line ends where a record line must. The type is
// left to the caller.
std::int16_t read_line(isam_handle* h, int slot, std::int64_t pos, char* hdr, char* data,
                       std::int16_t read_code) {
    if (pos < ISAM_HEADER_SIZE || pos > kMaxPos) return fail(h, ISAM_E_WRONG_TYPE, pos);
    const int hl = hdr_len(h->kinds);
    const int rl = rec_len(h, slot);
    // The header, data and newline are adjacent: one read, then split.
    const std::size_t n = static_cast<std::size_t>(hl + rl + 1);
    char line[512];
    std::vector<char> big;
    char* buf = line;
    long r = 0;
    const char* view = buf;
    if (cache_usable(h)) {
        view = cache_view(h, pos, n, &r);
        if (view == nullptr) r = -1;
    } else {
        if (n > sizeof line) {
            big.resize(n);
            view = buf = big.data();
        }
        r = plat::FH_pread_file(h->fd, buf, n, pos);
    }
    if (r != static_cast<long>(n)) return io_fail(h, read_code, pos, r);
    std::memcpy(hdr, view, static_cast<std::size_t>(hl));
    std::memcpy(data, view + hl, static_cast<std::size_t>(rl));
    if (view[n - 1] != '\n') return fail(h, ISAM_E_WRONG_TYPE, pos);
    return ISAM_OK;
}

// A detail record of kind n that belongs to the current master; *next (when
// given) receives its pointer 1, the next record of its chain.
std::int16_t check_detail(isam_handle* h, int n, std::int64_t pos, const char* hdr,
                          const char* data, std::int64_t* next = nullptr) {
    const isam_slot_desc& m = h->slots[0].desc;
    const std::int64_t link = get_ptr(hdr, 1);
    if (!type_ok(hdr, n) || link < 0 || (h->kinds > 1 && !pointers_ok(hdr, h->kinds)) ||
        std::memcmp(data + m.key_offset, h->slots[0].key.data(),
                    static_cast<std::size_t>(m.key_length)) != 0)
        return fail(h, ISAM_E_WRONG_TYPE, pos);
    if (next != nullptr) *next = link;
    return ISAM_OK;
}

// Pointer 1 of a detail slot's header: what the read that put the header
// there decoded, while the header still holds the same digits.
std::int64_t slot_link(const isam_slot& s) {
    std::uint64_t digits = 0;
    std::memcpy(&digits, s.header.data() + 2, sizeof digits);
    if (s.link >= 0 && digits == s.link_digits) return s.link;
    return get_ptr(s.header.data(), 1);
}

[[noreturn]] void header_write_abort(const isam_handle* h, int slot, std::int64_t pos,
                                     const char* hdr) {
    const int hl = hdr_len(h->kinds);
    std::fprintf(stderr, "file=%s,recpos=%li, which=%d, aborting\n", h->path.c_str(),
                 static_cast<long>(pos), slot);
    if (slot >= 0 && slot <= h->kinds) {
        const isam_slot& s = h->slots[static_cast<std::size_t>(slot)];
        std::fprintf(stderr, "prev=%li,curr=%li,key=\"%s\"\n", static_cast<long>(s.previous),
                     static_cast<long>(s.current), s.key.data());
        std::fprintf(stderr, "hdr=\"%.*s\",new=\"%.*s\"\n", hl, s.header.data(), hl, hdr);
    }
    std::fflush(stderr);
    std::abort();
}

std::int16_t write_header(isam_handle* h, int slot, std::int64_t pos, const char* hdr) {
    if (pos <= 0) header_write_abort(h, slot, pos, hdr);
    const int hl = hdr_len(h->kinds);
    return data_write(h, pos, hdr, static_cast<std::size_t>(hl), ISAM_E_HDRW_WRITE);
}

std::int16_t blank_header(isam_handle* h, int slot, std::int64_t pos) {
    std::string blanks(static_cast<std::size_t>(hdr_len(h->kinds)), ' ');
    return write_header(h, slot, pos, blanks.data());
}

void forget_detail_slots(isam_handle* h) {
    for (int n = 1; n <= h->kinds; ++n) {
        isam_slot& s = h->slots[static_cast<std::size_t>(n)];
        s.current = 0;
        s.previous = 0;
        s.state = 0;
        s.resume = -1;
        s.steps = 0;
    }
}

void forget_all_slots(isam_handle* h) {
    isam_slot& m = h->slots[0];
    m.current = 0;
    m.previous = 0;
    m.state = ISAM_ST_NOCURRENT;
    m.key_valid = false;
    forget_detail_slots(h);
    h->flags &= ~ISAM_FL_PATTERN;
}

// A work area of n bytes (its contents are not kept when the size changes).
void sized(std::vector<char>& v, int n) {
    if (v.size() != static_cast<std::size_t>(n)) v.resize(static_cast<std::size_t>(n));
}

bool has_current(const isam_slot& s) {
    return s.current != 0 && (s.state & (ISAM_ST_NOCURRENT | ISAM_ST_READFAIL)) == 0;
}

int lock_region(int fd, int type, std::int64_t start, std::int64_t length) {
    return plat::FH_lock_file_region(fd, type, start, length);
}

// ---- opening ------------------------------------------------------------------

std::int16_t read_file_header(isam_handle* h, isam_file_desc* desc) {
    char ident[kIdentPart];
    char block[kSlotBlock];
    if (plat::FH_lseek_file(h->fd, 0, SEEK_SET) < 0) return sys_fail(h, ISAM_E_HDR_SEEK);
    long r = plat::FH_read_file(h->fd, ident, kIdentPart);
    if (r != kIdentPart) return io_fail(h, ISAM_E_HDR_READ, 0, r);
    r = plat::FH_read_file(h->fd, block, kSlotBlock);
    if (r != kSlotBlock) return io_fail(h, ISAM_E_SLOTS_READ, 0, r);

    if (desc ? std::memcmp(ident, "AH", 2) != 0 : std::memcmp(ident, "AH", 2) > 0)
        return fail(h, ISAM_E_NOT_KEYED);
    if (desc) {
        std::size_t n = std::min(desc->name.size(), static_cast<std::size_t>(ISAM_NAME_SIZE));
        if (std::memcmp(ident + 10, desc->name.data(), n) != 0) return fail(h, ISAM_E_NAME);
    }
    if (std::memcmp(ident + 2, kVersion, 4) > 0) return fail(h, ISAM_E_VERSION);
    std::uint32_t kinds = 0;
    std::uint32_t format = 0;
    if (!get_hex(ident + 26, 4, &kinds) || !get_hex(ident + 6, 4, &format))
        return fail(h, ISAM_E_NOT_KEYED);
    if (desc ? kinds != static_cast<std::uint32_t>(desc->kinds) : kinds > ISAM_MAX_KINDS)
        return fail(h, ISAM_E_KINDS, kinds);

    std::array<isam_slot_desc, ISAM_NSLOTS> slots{};
    for (std::uint32_t i = 0; i <= kinds; ++i) {
        std::uint32_t v[3];
        for (int f = 0; f < 3; ++f) {
            if (!get_hex(block + kSlotText * i + 4 * f, 4, &v[f]) || v[f] > 0x7FFF)
                return fail(h, ISAM_E_NOT_KEYED, i);
        }
        slots[i] = {static_cast<std::int16_t>(v[0]), static_cast<std::int16_t>(v[1]),
                    static_cast<std::int16_t>(v[2])};
        if (desc) {
            const isam_slot_desc& d = desc->slots[i];
            if (slots[i].record_length != d.record_length) return fail(h, ISAM_E_SLOT_RECLEN, i);
            if (slots[i].key_offset != d.key_offset) return fail(h, ISAM_E_SLOT_KEYOFF, i);
            if (slots[i].key_length != d.key_length) return fail(h, ISAM_E_SLOT_KEYLEN, i);
        }
    }
    if (!layout_sound(static_cast<int>(kinds), slots)) return fail(h, ISAM_E_NOT_KEYED);
    if (desc) desc->format = static_cast<int>(format);

    try {
        h->kinds = static_cast<int>(kinds);
        const int hl = hdr_len(h->kinds);
        for (int i = 0; i <= h->kinds; ++i) {
            isam_slot& s = h->slots[static_cast<std::size_t>(i)];
            s = isam_slot{};
            s.desc = slots[static_cast<std::size_t>(i)];
            s.key.assign(static_cast<std::size_t>(full_key_len(h, i) + 1), '\0');
            s.header.assign(static_cast<std::size_t>(hl + 1), '\0');
            init_header(s.header.data(), h->kinds, i);
            s.state = i == 0 ? unsigned{ISAM_ST_NOCURRENT} : 0u;
        }
        h->pattern.reserve(static_cast<std::size_t>(slots[0].key_length + ISAM_PATTERN_EXTRA));
    } catch (const std::bad_alloc&) {
        return set_code(h,
                        desc ? std::int16_t{ISAM_E_MEMORY_DESC} : std::int16_t{ISAM_E_MEMORY_OPEN},
                        0, ENOMEM);
    }
    std::memcpy(h->ident.data(), ident + 10, ISAM_NAME_SIZE);
    std::memcpy(h->ident.data() + ISAM_NAME_SIZE, ident + 6, 4);
    h->ident[ISAM_NAME_SIZE + 4] = '\0';
    h->format = static_cast<int>(format);
    return ISAM_OK;
}

std::int16_t open_keyfile(isam_handle* h, bool created, bool build_flag, bool reindex) {
    const std::string kp = h->path + ".KEY";
    int bterr = BTE_NONE;
    if (!created) {
        errno = 0;
        h->index = btopen(kp.c_str(), 0, 0600, &bterr);
        if (h->index) {
            h->flags |= ISAM_FL_INDEX;
            return ISAM_OK;
        }
        int e = errno;
        if (!build_flag && !reindex) return set_code(h, ISAM_E_INDEX_OPEN, 0, e, bterr);
        // An existing data file must not silently get an empty index: only
        // an opener that asked for one (access mode 7) gets it.
        if (!reindex) return set_code(h, ISAM_E_NO_INDEX, 0, e, bterr);
    }
    // A brand-new data file, or an index that exists but is not sound,
    // starts from an empty file.
    int flags = plat::FH_CREAT;
    if (created || bterr != BTE_NONE) flags |= plat::FH_TRUNC;
    bterr = BTE_NONE;
    errno = 0;
    h->index = btopen(kp.c_str(), flags, 0600, &bterr);
    if (!h->index) return set_code(h, ISAM_E_INDEX_CREATE, 0, errno, bterr);
    h->flags |= ISAM_FL_INDEX;
    if (btzap(h->index.get()) != 0) return ix_fail(h, ISAM_E_IX_RESET);
    return ISAM_OK;
}

std::int16_t open_steps(isam_handle* h, isam_file_desc* desc, int access, int open_flags) {
    bool created = false;
    int fd = plat::FH_open_file(h->path.c_str(), plat::FH_RDWR);
    if (fd < 0) {
        int e = errno;
        if ((open_flags & ISAM_OPEN_CREATE) && desc) {
            int err = 0;
            std::int16_t c = build_datafile(h->path.c_str(), *desc, &fd, &err);
            if (c) return set_code(h, c, 0, err);
            created = true;
        } else {
            return set_code(h, ISAM_E_OPEN, 0, e);
        }
    }
    h->fd = fd;
    h->flags |= ISAM_FL_OPEN;

    std::int16_t c = read_file_header(h, desc);
    if (c == ISAM_OK) {
        if ((access & 3) == 3) {
            if (lock_region(fd, plat::FH_LOCK_EXCLUSIVE, 2, 0) < 0)
                c = sys_fail(h, ISAM_E_OPEN_LOCK);
            else
                h->flags |= ISAM_FL_LOCKED | ISAM_FL_EXCLUSIVE;
        } else if (lock_region(fd, plat::FH_LOCK_SHARED, 0, 2) < 0) {
            c = sys_fail(h, ISAM_E_OPEN_LOCK);
        }
    }
    if (c == ISAM_OK)
        c = open_keyfile(h, created, (open_flags & ISAM_OPEN_CREATE) != 0, (access & 7) == 7);
    if (c != ISAM_OK) {
        h->index.reset();
        plat::FH_close_file(h->fd);
        h->fd = -1;
        h->flags = 0;
        // A file made by this call is no use without its index: leave no
        // half-made file behind for the next opener to trip over.
        if (created) plat::FH_remove_file(h->path.c_str());
        return c;
    }
    return ISAM_OK;
}

// ---- reading ------------------------------------------------------------------

std::int16_t refresh_unlocked(isam_handle* h) {
    if (h->flags & ISAM_FL_LOCKED) return ISAM_OK;
    int r = btree_refresh(h->index.get());
    if (r != 0) {
        int e = errno;
        return set_code(h, ISAM_E_IX_REFRESH, 0, e, r > 0 ? r : h->index->error);
    }
    return ISAM_OK;
}

// Steps the index to the next key (that the pattern accepts, in a pattern
// read). The key goes to ixkey, its length to *ixlen.
std::int16_t step_forward(isam_handle* h, bool use_pattern, std::int64_t* pos,
                          std::vector<char>* ixkey, int* ixlen) {
    const int klen = h->slots[0].desc.key_length;
    for (;;) {
        int len = 0;
        std::int32_t value = 0;
        int r = btravrs(h->index.get(), BT_NEXT, ixkey->data(), klen, &len, &value);
        if (r == BT_END) return fail(h, ISAM_E_NOT_FOUND);
        if (r != BT_OK) return ix_fail(h, ISAM_E_IX_TRAVERSE);
        if (use_pattern &&
            !h->match(ixkey->data(), h->pattern.data(), len, static_cast<int>(h->pattern.size())))
            continue;
        *pos = static_cast<std::uint32_t>(value);
        *ixlen = len;
        return ISAM_OK;
    }
}

std::int16_t read_master(isam_handle* h, char* rec, int mode, const char* key) {
    isam_slot& s = h->slots[0];
    const int klen = s.desc.key_length;
    const int hl = hdr_len(h->kinds);
    std::vector<char>& ixkey = h->work_key;
    ixkey.assign(static_cast<std::size_t>(klen), '\0');
    int ixlen = -1;  // the length of the index key the position came from
    std::int64_t pos = 0;
    std::int16_t c = ISAM_OK;
    // Under the lock only this handle moves the index: a read that leaves it
    // on the key read says so, and the next step can go on from there.
    const bool was_at_key = h->ix_at_key;
    const bool continue_walk = mode == ISAM_READ_NEXT && under_lock(h) && was_at_key &&
                               s.key_valid && (s.state & ISAM_ST_READFAIL) == 0;
    bool positioned = false;  // the index ends on the key read
    h->ix_at_key = false;

    switch (mode) {
        case ISAM_READ_FIRST:
        case ISAM_READ_PATTERN:
            if (mode == ISAM_READ_PATTERN) {
                const std::size_t limit = static_cast<std::size_t>(klen + ISAM_PATTERN_EXTRA);
                std::size_t n = key ? strnlen(key, limit) : 0;
                if (n >= limit) {
                    c = fail(h, ISAM_E_PATTERN_LONG, static_cast<std::int64_t>(n));
                    break;
                }
                while (n > 0 && (key[n - 1] == ' ' || key[n - 1] == '\t' || key[n - 1] == '\n' ||
                                 key[n - 1] == '\r' || key[n - 1] == '\f' || key[n - 1] == '\v'))
                    --n;
                h->pattern.assign(key ? key : "", n);
                h->flags |= ISAM_FL_PATTERN;
            } else {
                h->flags &= ~ISAM_FL_PATTERN;
            }
            if ((c = refresh_unlocked(h))) break;
            if (mode == ISAM_READ_PATTERN && under_lock(h)) {
                // The first match of a pattern cannot change under the lock.
                auto known = h->cache.patterns.find(h->pattern);
                if (known != h->cache.patterns.end()) {
                    if (known->second.position == 0) {
                        c = fail(h, ISAM_E_NOT_FOUND);
                    } else {
                        pos = known->second.position;
                        ixkey = known->second.key;
                        ixlen = klen;
                    }
                    break;
                }
            }
            if (btgoto(h->index.get(), BT_PREVIOUS) != BT_OK) {
                c = ix_fail(h, ISAM_E_IX_GOTO);
                break;
            }
            c = step_forward(h, mode == ISAM_READ_PATTERN, &pos, &ixkey, &ixlen);
            positioned = c == ISAM_OK;
            if (mode == ISAM_READ_PATTERN && under_lock(h) &&
                ((c == ISAM_OK && ixlen == klen) || c == ISAM_E_NOT_FOUND)) {
                if (h->cache.patterns.size() >= kCachePositions) h->cache.patterns.clear();
                h->cache.patterns[h->pattern] = {c == ISAM_OK ? pos : 0, ixkey};
            }
            break;
        case ISAM_READ_NEXT:
            if (s.state & ISAM_ST_READFAIL) {
                c = fail(h, ISAM_E_NOT_FOUND);
                break;
            }
            // Continue from the current key: our own inserts and deletes move
            // the index's position, a search puts it back.
            if (continue_walk) {
                // The index is still on the current key.
            } else if (s.key_valid) {
                std::int32_t v = 0;
                if (btfind(h->index.get(), s.key.data(), klen, &v) < 0) {
                    c = ix_fail(h, ISAM_E_IX_TRAVERSE);
                    break;
                }
            } else if (btgoto(h->index.get(), BT_PREVIOUS) != BT_OK) {
                c = ix_fail(h, ISAM_E_IX_GOTO);
                break;
            }
            c = step_forward(h, (h->flags & ISAM_FL_PATTERN) != 0, &pos, &ixkey, &ixlen);
            positioned = c == ISAM_OK;
            break;
        case ISAM_READ_CURRENT:
            if ((s.state & ISAM_ST_READFAIL) || s.current == 0) {
                c = fail(h, ISAM_E_NOT_FOUND);
                break;
            }
            pos = s.current;
            std::memcpy(ixkey.data(), s.key.data(), static_cast<std::size_t>(klen));
            ixlen = klen;
            positioned = was_at_key;
            break;
        case ISAM_READ_EXACT:
        case ISAM_READ_GE: {
            std::fill(s.key.begin(), s.key.end(), '\0');
            if (key) std::memcpy(s.key.data(), key, strnlen(key, static_cast<std::size_t>(klen)));
            s.key_valid = true;
            if ((c = refresh_unlocked(h))) break;
            std::int32_t v = 0;
            std::string& probe = h->cache.probe;  // its buffer is reused
            probe.assign(s.key.data(), static_cast<std::size_t>(klen));
            auto known = under_lock(h) && mode == ISAM_READ_EXACT ? h->cache.positions.find(probe)
                                                                  : h->cache.positions.end();
            int r = BT_OK;
            if (known != h->cache.positions.end()) {
                // Looked up before under this lock: the index has not changed.
                v = known->second;
                r = v == 0 ? BT_NOT_FOUND : BT_OK;
            } else {
                r = btfind(h->index.get(), s.key.data(), klen, &v);
                positioned = r == BT_OK;
                if (mode == ISAM_READ_EXACT && under_lock(h) && (r == BT_OK || r == BT_NOT_FOUND)) {
                    if (h->cache.positions.size() >= kCachePositions) h->cache.positions.clear();
                    h->cache.positions.emplace(probe, r == BT_OK ? v : 0);
                }
            }
            if (r == BT_OK) {
                pos = static_cast<std::uint32_t>(v);
                std::memcpy(ixkey.data(), s.key.data(), static_cast<std::size_t>(klen));
                ixlen = klen;
            } else if (r == BT_NOT_FOUND) {
                if (mode == ISAM_READ_EXACT)
                    c = fail(h, ISAM_E_NOT_FOUND);
                else
                    positioned = (c = step_forward(h, false, &pos, &ixkey, &ixlen)) == ISAM_OK;
            } else {
                c = ix_fail(h, ISAM_E_IX_FIND);
            }
            break;
        }
        default:
            c = fail(h, ISAM_E_BAD_MODE, mode);
            break;
    }

    std::vector<char>& hdr = h->work_hdr;
    hdr.resize(static_cast<std::size_t>(hl));
    if (c == ISAM_OK && pos == 0) c = fail(h, ISAM_E_NOT_FOUND);
    if (c == ISAM_OK) c = read_line(h, 0, pos, hdr.data(), rec, ISAM_E_READ);
    if (c == ISAM_OK) {
        // The record must be the master the index names.
        if (!type_ok(hdr.data(), 0) || !pointers_ok(hdr.data(), h->kinds) || ixlen != klen ||
            std::memcmp(rec + s.desc.key_offset, ixkey.data(), static_cast<std::size_t>(klen)) != 0)
            c = fail(h, ISAM_E_WRONG_TYPE, pos);
    }
    forget_detail_slots(h);
    if (c != ISAM_OK) {
        s.current = 0;
        s.state |= ISAM_ST_NOCURRENT | ISAM_ST_READFAIL;
        return c;
    }
    s.current = pos;
    s.previous = 0;
    mark_master(h, pos);
    std::memcpy(s.header.data(), hdr.data(), static_cast<std::size_t>(hl));
    compose_key(h, 0, rec, s.key.data());
    s.key_valid = true;
    s.state = 0;
    h->ix_at_key = positioned && under_lock(h);
    return ISAM_OK;
}

// The record line of the slot's kind at pos, in place: *line points into
// the read-ahead when it can be used, else into the handle's line buffer
// (valid until the next operation on the handle). Checks that the line ends
// where a record line must; the type is left to the caller. Fails exactly as
// read_line does.
std::int16_t view_line(isam_handle* h, int slot, std::int64_t pos, const char** line,
                       std::int16_t read_code) {
    if (pos < ISAM_HEADER_SIZE || pos > kMaxPos) return fail(h, ISAM_E_WRONG_TYPE, pos);
    const auto n = static_cast<std::size_t>(line_len(h, slot));
    long r = 0;
    const char* view = nullptr;
    if (cache_usable(h)) {
        view = cache_view(h, pos, n, &r);
        if (view == nullptr) r = -1;
    } else {
        std::vector<char>& buf = h->work_view;
        if (buf.size() < n) buf.resize(n);
        view = buf.data();
        r = plat::FH_pread_file(h->fd, buf.data(), n, pos);
    }
    if (r != static_cast<long>(n)) return io_fail(h, read_code, pos, r);
    if (view[n - 1] != '\n') return fail(h, ISAM_E_WRONG_TYPE, pos);
    *line = view;
    return ISAM_OK;
}

// The detail record at pos, with this header and record data, becomes the
// slot's current record, as a read of it leaves the slot: previous record,
// steps from the chain head, header, decoded next pointer and key.
void set_detail_current(isam_handle* h, int n, std::int64_t pos, std::int64_t prev,
                        std::int64_t steps, const char* hdr, const char* data, std::int64_t link) {
    isam_slot& s = h->slots[static_cast<std::size_t>(n)];
    const int hl = hdr_len(h->kinds);
    s.current = pos;
    s.previous = prev;
    s.resume = -1;
    s.steps = steps;
    std::memcpy(s.header.data(), hdr, static_cast<std::size_t>(hl));
    std::memcpy(&s.link_digits, hdr + 2, sizeof s.link_digits);
    s.link = link;
    compose_key(h, n, data, s.key.data());
    s.state = 0;
}

// Reads a detail record of kind n. The record's data is copied to rec, or,
// with rec null, *view points at it (in the read-ahead or a work area of the
// handle, valid until the next operation on the handle).
std::int16_t read_detail_body(isam_handle* h, char* rec, int mode, const char* key, int n,
                              const char** view) {
    isam_slot& m = h->slots[0];
    isam_slot& s = h->slots[static_cast<std::size_t>(n)];
    const int hl = hdr_len(h->kinds);
    std::int64_t pos = 0;
    std::int64_t prev = 0;
    std::int64_t steps = 1;
    // The line read: its header and data (in the work areas after a search,
    // else in place).
    const char* lhdr = nullptr;
    const char* ldata = nullptr;
    std::int64_t link = -1;  // its pointer 1
    std::int16_t c = ISAM_OK;

    // The chain's head, from the master's header where the read starts there.
    const bool from_head =
        mode != ISAM_READ_CURRENT && !(mode == ISAM_READ_NEXT && (s.current != 0 || s.resume >= 0));
    std::int64_t head = 0;
    if (!has_current(m))
        c = fail(h, ISAM_E_NO_MASTER, n);
    else if (from_head && (head = get_ptr(m.header.data(), n)) < 0)
        c = fail(h, ISAM_E_WRONG_TYPE, m.current);

    if (c == ISAM_OK) {
        switch (mode) {
            case ISAM_READ_FIRST:
                pos = head;
                break;
            case ISAM_READ_NEXT:
                if (s.current != 0) {
                    prev = s.current;
                    pos = slot_link(s);
                    steps = s.steps + 1;
                } else if (s.resume >= 0) {
                    pos = s.resume;
                    prev = s.previous;
                    steps = s.steps;
                } else {
                    pos = head;
                }
                if (pos < 0) {
                    c = fail(h, ISAM_E_WRONG_TYPE, prev);
                } else if (steps > s.step_limit) {
                    s.step_limit = record_bound(h);
                    if (steps > s.step_limit) c = fail(h, ISAM_E_WRONG_TYPE, pos);
                }
                break;
            case ISAM_READ_CURRENT:
                pos = s.current;
                prev = s.previous;
                steps = s.steps;
                break;
            case ISAM_READ_EXACT:
            case ISAM_READ_GE: {
                const int klen = full_key_len(h, n);
                std::vector<char>& hdr = h->work_hdr;
                std::vector<char>& data = h->work_data;
                std::vector<char>& k = h->work_key;
                sized(hdr, hl);
                sized(data, rec_len(h, n));
                sized(k, klen);
                std::vector<char>& want = h->work_probe;
                want.assign(static_cast<std::size_t>(klen), '\0');
                if (key)
                    std::memcpy(want.data(), key, strnlen(key, static_cast<std::size_t>(klen)));
                const std::int64_t bound = record_bound(h);
                pos = head;
                for (;;) {
                    if (pos == 0) {
                        c = fail(h, ISAM_E_NOT_FOUND);
                        break;
                    }
                    if (steps > bound) {
                        c = fail(h, ISAM_E_WRONG_TYPE, pos);
                        break;
                    }
                    c = read_line(h, n, pos, hdr.data(), data.data(), ISAM_E_READ);
                    if (c == ISAM_OK) c = check_detail(h, n, pos, hdr.data(), data.data(), &link);
                    if (c != ISAM_OK) break;
                    compose_key(h, n, data.data(), k.data());
                    int cmp = std::memcmp(k.data(), want.data(), static_cast<std::size_t>(klen));
                    if (cmp == 0 || (cmp > 0 && mode == ISAM_READ_GE)) {
                        lhdr = hdr.data();
                        ldata = data.data();
                        break;
                    }
                    if (cmp > 0) {
                        c = fail(h, ISAM_E_NOT_FOUND);
                        break;
                    }
                    prev = pos;
                    pos = get_ptr(hdr.data(), 1);
                    ++steps;
                }
                break;
            }
            default:
                c = fail(h, ISAM_E_BAD_MODE, mode);
                break;
        }
    }
    if (c == ISAM_OK && pos == 0) c = fail(h, ISAM_E_NOT_FOUND);
    if (c == ISAM_OK && lhdr == nullptr) {
        // Checked where it lies: nothing of the line is copied but the
        // header and key the slot keeps.
        c = view_line(h, n, pos, &lhdr, ISAM_E_READ);
        if (c == ISAM_OK) {
            ldata = lhdr + hl;
            c = check_detail(h, n, pos, lhdr, ldata, &link);
        }
    }
    if (c != ISAM_OK) {
        s.current = 0;
        s.previous = 0;
        s.resume = -1;
        s.steps = 0;
        s.state |= ISAM_ST_NOCURRENT | ISAM_ST_READFAIL;
        return c;
    }
    if (rec != nullptr)
        std::memcpy(rec, ldata, static_cast<std::size_t>(rec_len(h, n)));
    else
        *view = ldata;
    set_detail_current(h, n, pos, prev, steps, lhdr, ldata, link);
    return ISAM_OK;
}

// The common read along a chain under the lock, done where the line lies:
// the next record of the chain (or its head), held whole by the extent of
// the last hit. Checks the line as read_detail_body does and leaves the
// slot and the read-ahead exactly as it would; every other case, and every
// line that fails a check, is left to it (-1, nothing changed).
int read_detail_in_place(isam_handle* h, int mode, int n, const char** view) {
    const isam_slot& m = h->slots[0];
    isam_slot& s = h->slots[static_cast<std::size_t>(n)];
    if (!under_lock(h) || !has_current(m)) return -1;
    std::int64_t pos = 0;
    std::int64_t prev = 0;
    std::int64_t steps = 1;
    if (mode == ISAM_READ_NEXT && s.current != 0) {
        prev = s.current;
        pos = slot_link(s);
        steps = s.steps + 1;
        if (steps > s.step_limit) return -1;
    } else if (mode == ISAM_READ_FIRST || (mode == ISAM_READ_NEXT && s.resume < 0)) {
        pos = get_ptr(m.header.data(), n);
        if (mode == ISAM_READ_NEXT && steps > s.step_limit) return -1;
    } else {
        return -1;
    }
    if (pos < ISAM_HEADER_SIZE || pos > kMaxPos) return -1;
    isam_read_cache& c = h->cache;
    if (c.last < 0) return -1;
    isam_read_cache::extent& e = c.extents[static_cast<std::size_t>(c.last)];
    const int hl = hdr_len(h->kinds);
    const std::int64_t len = line_len(h, n);
    if (pos < e.start || pos + len > extent_end(e)) return -1;
    const char* line = e.data.get() + (pos - e.start);
    const char* data = line + hl;
    if (line[len - 1] != '\n' || !type_ok(line, n)) return -1;
    const std::int64_t link = get_ptr(line, 1);
    if (link < 0 || (h->kinds > 1 && !pointers_ok(line, h->kinds))) return -1;
    if (std::memcmp(data + m.desc.key_offset, m.key.data(),
                    static_cast<std::size_t>(m.desc.key_length)) != 0)
        return -1;
    // What a hit of cache_view notes.
    e.used = true;
    if (pos >= c.run_start && pos + len - c.run_start <= static_cast<std::int64_t>(kExtentMax))
        c.run_reach = std::max(c.run_reach, pos + len);
    *view = data;
    set_detail_current(h, n, pos, prev, steps, line, data, link);
    return ISAM_OK;
}

std::int16_t read_detail(isam_handle* h, char* rec, int mode, const char* key, int n,
                         const char** view = nullptr) {
    // Outside the lock a walk along a chain reads ahead for this call only:
    // what it sees is the file as it was at one moment of the call.
    const bool walk = !under_lock(h) && (mode == ISAM_READ_EXACT || mode == ISAM_READ_GE);
    if (walk) h->cache.transient = true;
    const std::int16_t c = read_detail_body(h, rec, mode, key, n, view);
    if (walk) drop_cache(h);
    return c;
}

// ---- updating -----------------------------------------------------------------

// Reads the current master's header from the file; records change under other
// processes, so a header about to be rewritten is taken from the file.
std::int16_t reread_master_header(isam_handle* h, char* hdr) {
    isam_slot& m = h->slots[0];
    std::vector<char>& data = h->work_data;
    data.resize(static_cast<std::size_t>(rec_len(h, 0)));
    std::int16_t c = read_line(h, 0, m.current, hdr, data.data(), ISAM_E_HDRR_READ);
    if (c) return c;
    if (!type_ok(hdr, 0) || !pointers_ok(hdr, h->kinds) ||
        std::memcmp(data.data() + m.desc.key_offset, m.key.data(),
                    static_cast<std::size_t>(m.desc.key_length)) != 0)
        return fail(h, ISAM_E_WRONG_TYPE, m.current);
    return ISAM_OK;
}

// Sets the current master's pointer field n and rewrites its header.
std::int16_t relink_master(isam_handle* h, int n, std::int64_t expect, std::int64_t value) {
    isam_slot& m = h->slots[0];
    const int hl = hdr_len(h->kinds);
    char hdr[kMaxHdr];
    if (std::int16_t c = reread_master_header(h, hdr)) return c;
    if (expect >= 0 && get_ptr(hdr, n) != expect) return fail(h, ISAM_E_WRONG_TYPE, m.current);
    set_ptr(hdr, n, value);
    if (std::int16_t c = write_header(h, n, m.current, hdr)) return c;
    std::memcpy(m.header.data(), hdr, static_cast<std::size_t>(hl));
    return ISAM_OK;
}

std::int16_t check_update(isam_handle* h, int slot) {
    if (!(h->flags & ISAM_FL_OPEN)) return fail(h, ISAM_E_NOT_OPEN);
    if (!(h->flags & ISAM_FL_LOCKED)) return fail(h, ISAM_E_NOT_LOCKED);
    if (slot < 0 || slot > h->kinds) return fail(h, ISAM_E_BAD_SLOT, slot);
    return ISAM_OK;
}

// Replace and delete: the slot's current record, read under the current lock.
std::int16_t check_current(isam_handle* h, int slot) {
    if (std::int16_t c = check_update(h, slot)) return c;
    const isam_slot& m = h->slots[0];
    if (!has_current(m)) return fail(h, ISAM_E_NO_CURRENT, 0);
    if (slot > 0 && !has_current(h->slots[static_cast<std::size_t>(slot)]))
        return fail(h, ISAM_E_NO_CURRENT, slot);
    return ISAM_OK;
}

std::int16_t check_fresh(isam_handle* h, int slot) {
    const isam_slot& s = h->slots[static_cast<std::size_t>(slot)];
    if (s.state & ISAM_ST_RELOCKED)
        return fail(h, slot > 0 ? ISAM_E_DETAIL_STALE : ISAM_E_MASTER_STALE, s.current);
    return ISAM_OK;
}

// Finds the predecessor of a new detail record with key nk in chain n.
std::int16_t find_predecessor(isam_handle* h, int n, const char* nk, std::int64_t* pred,
                              char* predhdr, std::int64_t* next) {
    isam_slot& m = h->slots[0];
    isam_slot& s = h->slots[static_cast<std::size_t>(n)];
    const int hl = hdr_len(h->kinds);
    const int klen = full_key_len(h, n);
    const bool subkey = s.desc.key_length > 0;
    char hdr[kMaxHdr];
    std::vector<char>& data = h->work_data;
    data.resize(static_cast<std::size_t>(rec_len(h, n)));
    std::vector<char>& k = h->work_key;
    k.resize(static_cast<std::size_t>(klen));

    std::int64_t head = get_ptr(m.header.data(), n);
    if (head < 0) return fail(h, ISAM_E_WRONG_TYPE, m.current);
    *pred = 0;
    *next = head;
    if (has_current(s) &&
        (!subkey || std::memcmp(nk, s.key.data(), static_cast<std::size_t>(klen)) >= 0)) {
        // Start at the current detail, as it is in the file now.
        std::int16_t c = read_line(h, n, s.current, hdr, data.data(), ISAM_E_HDRR_READ);
        if (c == ISAM_OK) c = check_detail(h, n, s.current, hdr, data.data());
        if (c) return c;
        compose_key(h, n, data.data(), k.data());
        if (!subkey || std::memcmp(k.data(), nk, static_cast<std::size_t>(klen)) <= 0) {
            *pred = s.current;
            std::memcpy(predhdr, hdr, static_cast<std::size_t>(hl));
            *next = get_ptr(hdr, 1);
        }
    }
    if (!subkey) return ISAM_OK;
    const std::int64_t bound = record_bound(h);
    std::int64_t steps = 0;
    while (*next != 0) {
        if (++steps > bound) return fail(h, ISAM_E_WRONG_TYPE, *next);
        std::int16_t c = read_line(h, n, *next, hdr, data.data(), ISAM_E_HDRR_READ);
        if (c == ISAM_OK) c = check_detail(h, n, *next, hdr, data.data());
        if (c) return c;
        compose_key(h, n, data.data(), k.data());
        if (std::memcmp(k.data(), nk, static_cast<std::size_t>(klen)) > 0) break;
        *pred = *next;
        std::memcpy(predhdr, hdr, static_cast<std::size_t>(hl));
        *next = get_ptr(hdr, 1);
    }
    return ISAM_OK;
}

// Undoes an appended record whose linking failed: its type becomes blanks
// (unless a failed write-out took the record off the file). The failure
// being reported stays the stored one.
void undo_append(isam_handle* h, std::int64_t pos) {
    const std::int16_t code = h->code;
    const std::int64_t detail = h->detail;
    const int err = h->sys_errno;
    const int ix = h->index_error;
    const std::int64_t size = data_size(h);
    if (size >= 0 && pos < size) data_write(h, pos, "  ", 2, ISAM_E_HDRW_WRITE);
    set_code(h, code, detail, err, ix);
}

// ---- rebuilding ---------------------------------------------------------------

// Reads a data file forward from an offset, a record line or a text line at a
// time.
class line_reader {
  public:
    line_reader(int fd, std::int64_t start) : fd_(fd), base_(start) {}

    // At least n bytes from the current place (fewer only at the end of the
    // file); -1 on a read failure.
    long ensure(std::size_t n) {
        while (buf_.size() - pos_ < n && !eof_) {
            if (pos_ > 0) {
                buf_.erase(0, pos_);
                base_ += static_cast<std::int64_t>(pos_);
                pos_ = 0;
            }
            std::size_t old = buf_.size();
            std::size_t want = std::max<std::size_t>(n - old, 1u << 16);
            buf_.resize(old + want);
            long r = plat::FH_pread_file(fd_, buf_.data() + old, want,
                                         base_ + static_cast<std::int64_t>(old));
            if (r < 0) {
                buf_.resize(old);
                return -1;
            }
            buf_.resize(old + static_cast<std::size_t>(r));
            if (r == 0) eof_ = true;
        }
        return static_cast<long>(std::min(n, buf_.size() - pos_));
    }
    const char* here() const { return buf_.data() + pos_; }
    std::int64_t offset() const { return base_ + static_cast<std::int64_t>(pos_); }
    void skip(std::size_t n) { pos_ += n; }

    // The text of the next line without its newline, at most cap bytes of it
    // (the rest of a longer line is skipped). 1, 0 at the end, -1 on failure.
    int line(std::string* out, std::size_t cap) {
        out->clear();
        long avail = ensure(1);
        if (avail <= 0) return static_cast<int>(avail);
        for (;;) {
            std::size_t have = buf_.size() - pos_;
            const char* p = here();
            const void* nl = std::memchr(p, '\n', have);
            std::size_t len =
                nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - p) : have;
            if (out->size() < cap) out->append(p, std::min(len, cap - out->size()));
            if (nl) {
                skip(len + 1);
                return 1;
            }
            skip(have);
            long r = ensure(1);
            if (r < 0) return -1;
            if (r == 0) return 1;  // last line without its newline
        }
    }

  private:
    int fd_;
    std::int64_t base_;
    std::string buf_;
    std::size_t pos_ = 0;
    bool eof_ = false;
};

// Buffered writer of the new data file, with patches of what was written.
class file_writer {
  public:
    file_writer(int fd, std::int64_t start) : fd_(fd), base_(start) {}
    std::int64_t end() const { return base_ + static_cast<std::int64_t>(buf_.size()); }
    int append(const char* p, std::size_t n) {
        buf_.append(p, n);
        return buf_.size() >= (1u << 20) ? flush() : 0;
    }
    int patch(std::int64_t pos, const char* p, std::size_t n) {
        if (pos >= base_) {
            std::memcpy(buf_.data() + (pos - base_), p, n);
            return 0;
        }
        long w = plat::FH_pwrite_file(fd_, p, n, pos);
        if (w != static_cast<long>(n)) {
            if (w >= 0) errno = EIO;
            return -1;
        }
        return 0;
    }
    int flush() {
        if (buf_.empty()) return 0;
        long w = plat::FH_pwrite_file(fd_, buf_.data(), buf_.size(), base_);
        if (w != static_cast<long>(buf_.size())) {
            if (w >= 0) errno = EIO;
            return -1;
        }
        base_ += static_cast<std::int64_t>(buf_.size());
        buf_.clear();
        return 0;
    }

  private:
    int fd_;
    std::int64_t base_;
    std::string buf_;
};

void discard_line(std::string_view line) {
    std::fputs("Discarded:", stdout);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
}

// Sort records: 8 bytes of old position (big-endian), then the record line
// without its newline.
constexpr std::size_t kSortPos = 8;

std::string sort_record(std::int64_t pos, std::string_view line) {
    std::string r(kSortPos, '\0');
    for (int i = 0; i < 8; ++i)
        r[static_cast<std::size_t>(i)] =
            static_cast<char>((static_cast<std::uint64_t>(pos) >> (56 - 8 * i)) & 0xFF);
    r.append(line);
    return r;
}

int kind_of(char c) {
    return c == 'M' ? 0 : c - '0';
}

struct rebuild_state {
    isam_handle* h = nullptr;
    bool excl = false;
    bool had_lock = false;
    int nfd = -1;
    std::string new_path;
    std::string old_path;
};

std::int16_t rebuild_body(rebuild_state& st) {
    isam_handle* h = st.h;
    const int hl = hdr_len(h->kinds);
    const isam_slot_desc& md = h->slots[0].desc;
    const std::size_t klen = static_cast<std::size_t>(md.key_length);
    std::size_t longest = 0;
    for (int n = 0; n <= h->kinds; ++n)
        longest = std::max(longest, static_cast<std::size_t>(line_len(h, n)));

    // Order: master key, the master before its details, kind, sub-key, then
    // the old position (records with equal keys keep their order).
    auto less = [h, hl](std::string_view a, std::string_view b) {
        const char* la = a.data() + kSortPos;
        const char* lb = b.data() + kSortPos;
        const isam_slot_desc& m = h->slots[0].desc;
        int c = std::memcmp(la + hl + m.key_offset, lb + hl + m.key_offset,
                            static_cast<std::size_t>(m.key_length));
        if (c) return c < 0;
        int ka = kind_of(la[1]);
        int kb = kind_of(lb[1]);
        if (ka != kb) return ka < kb;
        if (ka > 0) {
            const isam_slot_desc& d = h->slots[static_cast<std::size_t>(ka)].desc;
            c = std::memcmp(la + hl + d.key_offset, lb + hl + d.key_offset,
                            static_cast<std::size_t>(d.key_length));
            if (c) return c < 0;
        }
        return std::memcmp(a.data(), b.data(), kSortPos) < 0;
    };
    isam_sorter sorter(h->path, less);

    // Pass 1: every record line into the sort.
    line_reader in(h->fd, ISAM_HEADER_SIZE);
    std::string text;
    for (;;) {
        long avail = in.ensure(2);
        if (avail < 0) return sys_fail(h, ISAM_E_RB_READ);
        if (avail == 0) break;
        const char* p = in.here();
        if (avail >= 2 && p[0] == 'D') {
            int kind = -1;
            if (p[1] == 'M')
                kind = 0;
            else if (p[1] >= '1' && p[1] <= '0' + h->kinds)
                kind = p[1] - '0';
            if (kind >= 0) {
                const std::size_t len = static_cast<std::size_t>(line_len(h, kind));
                long got = in.ensure(len);
                if (got < 0) return sys_fail(h, ISAM_E_RB_READ);
                if (static_cast<std::size_t>(got) == len && in.here()[len - 1] == '\n') {
                    std::int16_t c =
                        sorter.add(sort_record(in.offset(), std::string_view(in.here(), len - 1)));
                    if (c) return set_code(h, c, 0, sorter.sys_errno());
                    in.skip(len);
                    continue;
                }
            }
        }
        // Not a record line: deleted records go silently, the rest is shown.
        int r = in.line(&text, longest);
        if (r < 0) return sys_fail(h, ISAM_E_RB_READ);
        if (r == 0) break;
        if (text.empty() || text[0] != ' ') discard_line(text);
    }
    if (std::int16_t c = sorter.finish()) return set_code(h, c, 0, sorter.sys_errno());

    // The new file, locked against openers until its index is loaded.
    plat::FH_remove_file(st.new_path.c_str());
    isam_file_desc desc;
    desc.name = field_to_str(h->ident.data(), ISAM_NAME_SIZE);
    desc.format = isam_format(h);
    desc.kinds = h->kinds;
    for (int n = 0; n <= h->kinds; ++n)
        desc.slots[static_cast<std::size_t>(n)] = h->slots[static_cast<std::size_t>(n)].desc;
    int err = 0;
    if (build_datafile(st.new_path.c_str(), desc, &st.nfd, &err))
        return set_code(h, ISAM_E_RB_NEW, 0, err);
    if (lock_region(st.nfd, plat::FH_LOCK_EXCLUSIVE, 0, 2) < 0)
        return sys_fail(h, ISAM_E_RB_REOPEN);

    isam_temp_file keys;
    if (keys.create(h->path) < 0) return sys_fail(h, ISAM_E_RB_KEYS_TEMP);
    std::int64_t masters = 0;

    // Pass 2: the sorted records with their new pointers.
    file_writer out(st.nfd, ISAM_HEADER_SIZE);
    std::string rec;
    std::string master_key;
    std::string master_old;  // the master's header in the old file
    bool have_master = false;
    std::int64_t master_pos = 0;
    std::string pending;  // a detail line waiting for its successor
    int pending_kind = 0;
    std::string line;
    // A chain without sub-key is kept in its old order: its records are
    // gathered (up to a bound; beyond it they keep the file's order) and
    // put in the order their old pointers give.
    struct old_record {
        std::int64_t pos;
        std::string line;
    };
    std::vector<old_record> group;
    int group_kind = 0;
    std::size_t group_bytes = 0;
    bool group_streaming = false;
    constexpr std::size_t group_limit = 64u << 20;

    auto write_pending = [&](bool chained) -> std::int16_t {
        if (pending.empty()) return ISAM_OK;
        std::int64_t pos = out.end();
        const std::int64_t len = line_len(h, pending_kind);
        if (pos + len - 1 > kMaxPos) return set_code(h, ISAM_E_RB_RECORD, pos, EFBIG);
        init_header(pending.data(), h->kinds, pending_kind);
        if (chained) set_ptr(pending.data(), 1, pos + len);
        pending.push_back('\n');
        if (out.append(pending.data(), pending.size()) < 0)
            return sys_fail(h, ISAM_E_RB_WRITE, pos);
        pending.clear();
        return ISAM_OK;
    };
    // Queues a detail line of the current master behind the ones before it.
    auto emit_detail = [&](std::string_view lv, int kind) -> std::int16_t {
        const bool same_chain = !pending.empty() && pending_kind == kind;
        if (std::int16_t c = write_pending(same_chain)) return c;
        if (!same_chain) {
            // The first of its chain: the master points at it.
            char ptr[ISAM_POINTER_SIZE];
            put_hex(ptr, static_cast<std::uint32_t>(out.end()), ISAM_POINTER_SIZE);
            if (out.patch(master_pos + 2 + ISAM_POINTER_SIZE * (kind - 1), ptr, sizeof ptr) < 0)
                return sys_fail(h, ISAM_E_RB_WRITE, master_pos);
        }
        pending.assign(lv);
        pending_kind = kind;
        return ISAM_OK;
    };
    auto flush_group = [&]() -> std::int16_t {
        if (group.empty()) return ISAM_OK;
        std::vector<std::size_t> order;
        if (!group_streaming) {
            std::vector<std::pair<std::int64_t, std::size_t>> by_pos;
            for (std::size_t i = 0; i < group.size(); ++i)
                by_pos.emplace_back(group[i].pos, i);
            std::sort(by_pos.begin(), by_pos.end());
            std::vector<bool> taken(group.size(), false);
            std::int64_t at = get_ptr(master_old.data(), group_kind);
            while (at > 0) {
                auto it = std::lower_bound(by_pos.begin(), by_pos.end(),
                                           std::make_pair(at, std::size_t{0}));
                if (it == by_pos.end() || it->first != at || taken[it->second]) break;
                taken[it->second] = true;
                order.push_back(it->second);
                at = get_ptr(group[it->second].line.data(), 1);
            }
            for (std::size_t i = 0; i < group.size(); ++i)
                if (!taken[i]) order.push_back(i);  // not in the chain: file order
        } else {
            for (std::size_t i = 0; i < group.size(); ++i)
                order.push_back(i);
        }
        for (std::size_t i : order)
            if (std::int16_t c = emit_detail(group[i].line, group_kind)) return c;
        group.clear();
        group_bytes = 0;
        return ISAM_OK;
    };

    for (;;) {
        int r = sorter.next(&rec);
        if (r < 0) return set_code(h, sorter.error(), 0, sorter.sys_errno());
        if (r == 0) break;
        std::string_view lv(rec.data() + kSortPos, rec.size() - kSortPos);
        const int kind = kind_of(lv[1]);
        std::string_view key = lv.substr(static_cast<std::size_t>(hl + md.key_offset), klen);
        if (kind != group_kind || kind == 0 || key != master_key) {
            if (std::int16_t c = flush_group()) return c;
            group_streaming = false;
            group_kind = 0;
        }
        if (kind == 0) {
            if (std::int16_t c = write_pending(false)) return c;
            if (have_master && key == master_key) {
                discard_line(lv);  // a second master with the same key
                continue;
            }
            master_pos = out.end();
            if (master_pos + line_len(h, 0) - 1 > kMaxPos)
                return set_code(h, ISAM_E_RB_RECORD, master_pos, EFBIG);
            master_key.assign(key);
            master_old.assign(lv.substr(0, static_cast<std::size_t>(hl)));
            have_master = true;
            line.assign(lv);
            init_header(line.data(), h->kinds, 0);
            line.push_back('\n');
            if (out.append(line.data(), line.size()) < 0)
                return sys_fail(h, ISAM_E_RB_WRITE, master_pos);
            unsigned char pos4[4] = {static_cast<unsigned char>(master_pos >> 24),
                                     static_cast<unsigned char>(master_pos >> 16),
                                     static_cast<unsigned char>(master_pos >> 8),
                                     static_cast<unsigned char>(master_pos)};
            if (keys.write(key.data(), klen) < 0 || keys.write(pos4, 4) < 0)
                return sys_fail(h, ISAM_E_RB_KEYS_WRITE);
            ++masters;
            continue;
        }
        if (!have_master || key != master_key) {
            discard_line(lv);  // a detail whose master is gone
            continue;
        }
        if (h->slots[static_cast<std::size_t>(kind)].desc.key_length > 0 || group_streaming) {
            if (std::int16_t c = emit_detail(lv, kind)) return c;
            continue;
        }
        std::int64_t old_pos = 0;
        for (std::size_t i = 0; i < kSortPos; ++i)
            old_pos = (old_pos << 8) | static_cast<unsigned char>(rec[i]);
        group_kind = kind;
        group_bytes += lv.size() + sizeof(old_record);
        group.push_back({old_pos, std::string(lv)});
        if (group_bytes > group_limit) {
            // Too many to hold: what is gathered and the rest in file order.
            group_streaming = true;
            if (std::int16_t c = flush_group()) return c;
            group_kind = kind;
        }
    }
    if (std::int16_t c = flush_group()) return c;
    if (std::int16_t c = write_pending(false)) return c;
    if (out.flush() < 0) return sys_fail(h, ISAM_E_RB_WRITE);
    if (plat::FH_fsync_file(st.nfd) < 0) return sys_fail(h, ISAM_E_RB_FLUSH);
    if (keys.flush() < 0) return sys_fail(h, ISAM_E_RB_KEYS_WRITE);

    // Swap the files: the old one is kept as ".old", the new one takes the
    // name. The name never stands empty, not even for a moment: the old file
    // first gets its second name (a copy where links are refused), then the
    // rename puts the new file in its place in one step. A process killed in
    // between leaves the old file where it was.
    plat::FH_remove_file(st.old_path.c_str());
    if (plat::FH_link_file(h->path.c_str(), st.old_path.c_str()) < 0 &&
        plat::FH_copy_file(h->path.c_str(), st.old_path.c_str()) < 0)
        return sys_fail(h, ISAM_E_RB_SAVE_OLD);
    if (plat::FH_rename_file(st.new_path.c_str(), h->path.c_str()) < 0)
        return sys_fail(h, ISAM_E_RB_INSTALL);
    std::int16_t late = ISAM_OK;  // failures after the swap that do not stop the reload
    if (plat::FH_close_file(h->fd) < 0) late = sys_fail(h, ISAM_E_RB_CLOSE);
    h->fd = st.nfd;
    st.nfd = -1;
    forget_all_slots(h);

    // The index from the collected keys, last first.
    if (btzap(h->index.get()) != 0) return ix_fail(h, ISAM_E_IX_RESET);
    if (btload(h->index.get(), nullptr, 0, 0, BT_LOAD_START) != 0)
        return ix_fail(h, ISAM_E_IX_LOAD);
    std::vector<char> entry(klen + 4);
    for (std::int64_t i = masters - 1; i >= 0; --i) {
        if (keys.read_at(i * static_cast<std::int64_t>(klen + 4), entry.data(), entry.size()) < 0)
            return sys_fail(h, ISAM_E_RB_KEYS_READ);
        const auto* p = reinterpret_cast<const unsigned char*>(entry.data() + klen);
        std::uint32_t pos = (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
                            (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
        if (btload(h->index.get(), entry.data(), static_cast<int>(klen),
                   static_cast<std::int32_t>(pos), BT_LOAD_KEY) != 0)
            return ix_fail(h, ISAM_E_IX_LOAD);
    }
    if (btload(h->index.get(), nullptr, 0, 0, BT_LOAD_FINISH) != 0)
        return ix_fail(h, ISAM_E_IX_LOAD);
    if (btree_sync(h->index.get()) != 0) return ix_fail(h, ISAM_E_IX_SYNC);
    return late;
}

}  // namespace

// ---- interface ----------------------------------------------------------------

void isam_closer::operator()(isam_handle* h) const {
    if (!h) return;
    if (h->magic == ISAM_MAGIC) {
        write_out(h);
        h->index.reset();
        if (h->fd >= 0) plat::FH_close_file(h->fd);
        h->fd = -1;
    }
    h->magic = 0;
    std::default_delete<isam_handle>()(h);
}

std::int16_t build_datafile(const char* path, const isam_file_desc& desc, int* fd_out,
                            int* sys_errno) {
    if (fd_out) *fd_out = -1;
    if (sys_errno) *sys_errno = 0;
    auto failed = [sys_errno](std::int16_t code, int err) {
        if (sys_errno) *sys_errno = err;
        return code;
    };
    if (!path || !desc_sound(desc)) return failed(ISAM_E_CREATE, EINVAL);
    int fd = plat::FH_open_file(path, plat::FH_CREAT | plat::FH_EXCL | plat::FH_RDWR, 0600);
    if (fd < 0) return failed(ISAM_E_CREATE, errno);
    auto abandon = [&](std::int16_t code, int err) {
        plat::FH_close_file(fd);
        plat::FH_remove_file(path);
        return failed(code, err);
    };
    if (lock_region(fd, plat::FH_LOCK_EXCLUSIVE, 0, 0) < 0)
        return abandon(ISAM_E_CREATE_LOCK, errno);
    char ident[kIdentPart];
    char block[kSlotBlock];
    char nl = '\n';
    compose_file_header(desc, ident, block);
    struct iovec iov[3] = {{ident, sizeof ident}, {block, sizeof block}, {&nl, 1}};
    long w = plat::FH_writev_file(fd, iov, 3);
    if (w != ISAM_HEADER_SIZE) return abandon(ISAM_E_CREATE_WRITE, w < 0 ? errno : EIO);
    plat::FH_unlock_file_region(fd, 0, 0);
    if (fd_out)
        *fd_out = fd;
    else
        plat::FH_close_file(fd);
    return ISAM_OK;
}

std::int16_t isam_open(isam_ptr* out, const char* path, isam_file_desc* desc, int access,
                       int open_flags, std::string* msg) {
    if (msg) msg->clear();
    if (!out) {
        if (msg) isam_error_text(nullptr, msg);
        return ISAM_E_NO_HANDLE;
    }
    out->reset();
    isam_ptr h;
    try {
        h.reset(std::make_unique<isam_handle>().release());
        h->path = path ? path : "";
    } catch (const std::bad_alloc&) {
        if (msg) {
            char buf[kFormatBufSize];
            std::int16_t len = 0;
            format_msg(buf, &len, kMsgSet, ISAM_E_MEMORY,
                       {arg_str(path ? path : ""), arg_int(0), arg_errno(ENOMEM)});
            msg->assign(buf);
        }
        return ISAM_E_MEMORY;
    }
    h->match = match_pattern_exact;
    std::int16_t c = path ? open_steps(h.get(), desc, access, open_flags)
                          : set_code(h.get(), ISAM_E_OPEN, 0, EINVAL);
    if (c != ISAM_OK) {
        if (msg) isam_error_text(h.get(), msg);
        return c;
    }
    *out = std::move(h);
    return ISAM_OK;
}

std::int16_t isam_close(isam_ptr* handle, std::string* msg) {
    if (msg) msg->clear();
    isam_handle* h = handle ? handle->get() : nullptr;
    if (std::int16_t c = enter(h)) {
        if (msg) isam_error_text(h, msg);
        return c;
    }
    std::int16_t c = write_out(h);
    drop_cache(h);
    clear_behind(h, true);
    if (h->index) {
        errno = 0;
        if (btclose(std::move(h->index)) != 0 && c == ISAM_OK) c = sys_fail(h, ISAM_E_IX_CLOSE);
    }
    if (h->fd >= 0) {
        int fd = h->fd;
        h->fd = -1;
        if (plat::FH_close_file(fd) < 0 && c == ISAM_OK) c = sys_fail(h, ISAM_E_CLOSE);
    }
    h->flags = 0;
    if (c != ISAM_OK && msg) isam_error_text(h, msg);
    handle->reset();
    return c;
}

std::int16_t isam_read(isam_handle* h, void* record, int mode, const char* key, int slot) {
    if (std::int16_t c = enter(h)) return c;
    if (!(h->flags & ISAM_FL_OPEN)) return fail(h, ISAM_E_NOT_OPEN);
    if (slot < 0 || slot > h->kinds) return fail(h, ISAM_E_BAD_SLOT, slot);
    if (!record) return set_code(h, ISAM_E_READ, 0, EINVAL);
    char* rec = static_cast<char*>(record);
    return slot == 0 ? read_master(h, rec, mode, key) : read_detail(h, rec, mode, key, slot);
}

std::int16_t isam_read_view(isam_handle* h, const char** record, int mode, const char* key,
                            int slot) {
    if (std::int16_t c = enter(h)) return c;
    if (!(h->flags & ISAM_FL_OPEN)) return fail(h, ISAM_E_NOT_OPEN);
    if (slot < 0 || slot > h->kinds) return fail(h, ISAM_E_BAD_SLOT, slot);
    if (!record) return set_code(h, ISAM_E_READ, 0, EINVAL);
    // The stepping reads of a chain (while a walk cannot drop the
    // read-ahead) check the record where it lies and hand it out from there.
    if (slot > 0 &&
        (mode == ISAM_READ_FIRST || mode == ISAM_READ_NEXT || mode == ISAM_READ_CURRENT)) {
        const int c = read_detail_in_place(h, mode, slot, record);
        if (c >= 0) return static_cast<std::int16_t>(c);
        return read_detail(h, nullptr, mode, key, slot, record);
    }
    std::vector<char>& buf = h->work_record;
    const auto n = static_cast<std::size_t>(rec_len(h, slot));
    if (buf.size() < n) buf.resize(n);
    const std::int16_t c = slot == 0 ? read_master(h, buf.data(), mode, key)
                                     : read_detail(h, buf.data(), mode, key, slot);
    if (c == ISAM_OK) *record = buf.data();
    return c;
}

std::int16_t isam_add(isam_handle* h, const void* record, int slot) {
    if (std::int16_t c = enter(h)) return c;
    if (std::int16_t c = check_update(h, slot)) return c;
    if (!record) return set_code(h, ISAM_E_ADD_WRITE, 0, EINVAL);
    if (h->behind.tail.size() >= kTailLimit) {
        if (std::int16_t c = write_out(h)) return c;
    }
    const char* data = static_cast<const char*>(record);
    isam_slot& m = h->slots[0];
    isam_slot& s = h->slots[static_cast<std::size_t>(slot)];
    const int hl = hdr_len(h->kinds);
    const int klen = full_key_len(h, slot);
    const int len = line_len(h, slot);

    std::vector<char>& nk = h->work_probe;
    nk.assign(static_cast<std::size_t>(klen + 1), '\0');
    compose_key(h, slot, data, nk.data());
    char hdr[kMaxHdr] = {};
    init_header(hdr, h->kinds, slot);
    std::int64_t pred = 0;
    char predhdr[kMaxHdr];
    if (slot > 0) {
        if (!has_current(m)) return fail(h, ISAM_E_NO_CURRENT, 0);
        if (m.state & ISAM_ST_RELOCKED) return fail(h, ISAM_E_MASTER_STALE, m.current);
        if (std::memcmp(nk.data(), m.key.data(), static_cast<std::size_t>(m.desc.key_length)))
            return fail(h, ISAM_E_KEY_DIFFERS, m.current);
        std::int64_t next = 0;
        if (std::int16_t c = find_predecessor(h, slot, nk.data(), &pred, predhdr, &next)) return c;
        set_ptr(hdr, 1, next);
    }

    std::int64_t pos = data_size(h);
    if (pos < 0) return sys_fail(h, ISAM_E_ADD_SEEK);
    if (pos < ISAM_HEADER_SIZE) return set_code(h, ISAM_E_ADD_SEEK, pos, EINVAL);
    if (pos + len - 1 > kMaxPos) return set_code(h, ISAM_E_ADD_WRITE, pos, EFBIG);
    std::vector<char>& line = h->work_line;
    line.resize(static_cast<std::size_t>(len));
    std::memcpy(line.data(), hdr, static_cast<std::size_t>(hl));
    std::memcpy(line.data() + hl, data, static_cast<std::size_t>(rec_len(h, slot)));
    line.back() = '\n';
    if (std::int16_t c = data_write(h, pos, line.data(), line.size(), ISAM_E_ADD_WRITE)) return c;

    std::int16_t c = ISAM_OK;
    if (slot == 0) {
        // The record a key names is in the file before the key is in the index.
        c = write_out(h);
        if (c == ISAM_OK) {
            note_index_change(h);
            if (btinsert(h->index.get(), nk.data(), klen, static_cast<std::int32_t>(pos), 0) !=
                BT_OK)
                c = ix_fail(h, ISAM_E_IX_INSERT, pos);
        }
    } else if (pred != 0) {
        set_ptr(predhdr, 1, pos);
        c = write_header(h, slot, pred, predhdr);
    } else {
        c = relink_master(h, slot, -1, pos);
    }
    if (c != ISAM_OK) {
        undo_append(h, pos);
        s.current = 0;
        s.state |= ISAM_ST_NOCURRENT;
        return c;
    }
    s.current = pos;
    s.previous = pred;
    std::memcpy(s.header.data(), hdr, static_cast<std::size_t>(hl));
    std::memcpy(s.key.data(), nk.data(), static_cast<std::size_t>(klen));
    s.state = 0;
    if (slot == 0) {
        s.key_valid = true;
        mark_master(h, pos);
        forget_detail_slots(h);
    } else {
        s.resume = -1;
        s.steps = 1;
    }
    return ISAM_OK;
}

std::int16_t isam_replace(isam_handle* h, const void* record, int slot) {
    if (std::int16_t c = enter(h)) return c;
    if (std::int16_t c = check_current(h, slot)) return c;
    if (!record) return set_code(h, ISAM_E_REPLACE_WRITE, 0, EINVAL);
    const char* data = static_cast<const char*>(record);
    isam_slot& s = h->slots[static_cast<std::size_t>(slot)];
    const int klen = full_key_len(h, slot);
    std::vector<char> k(static_cast<std::size_t>(klen));
    compose_key(h, slot, data, k.data());
    if (std::memcmp(k.data(), s.key.data(), static_cast<std::size_t>(klen)) != 0)
        return fail(h, ISAM_E_KEY_DIFFERS, s.current);
    if (std::int16_t c = check_fresh(h, slot)) return c;

    const int hl = hdr_len(h->kinds);
    const int len = line_len(h, slot);
    std::vector<char> line(static_cast<std::size_t>(len));
    std::memcpy(line.data(), s.header.data(), static_cast<std::size_t>(hl));
    std::memcpy(line.data() + hl, data, static_cast<std::size_t>(rec_len(h, slot)));
    line.back() = '\n';
    return data_write(h, s.current, line.data(), line.size(), ISAM_E_REPLACE_WRITE);
}

std::int16_t isam_delete(isam_handle* h, int slot) {
    if (std::int16_t c = enter(h)) return c;
    if (std::int16_t c = check_current(h, slot)) return c;
    if (std::int16_t c = check_fresh(h, slot)) return c;
    isam_slot& m = h->slots[0];
    const int hl = hdr_len(h->kinds);

    if (slot == 0) {
        const std::int64_t bound = record_bound(h);
        for (int n = 1; n <= h->kinds; ++n) {
            std::vector<char> hdr(static_cast<std::size_t>(hl));
            std::vector<char> data(static_cast<std::size_t>(rec_len(h, n)));
            std::int64_t next = get_ptr(m.header.data(), n);
            if (next < 0) return fail(h, ISAM_E_WRONG_TYPE, m.current);
            std::int64_t steps = 0;
            while (next != 0) {
                if (++steps > bound) return fail(h, ISAM_E_WRONG_TYPE, next);
                std::int16_t c = read_line(h, n, next, hdr.data(), data.data(), ISAM_E_HDRR_READ);
                if (c) return c;
                // A chain cut short by an earlier, interrupted delete ends here.
                if (blank_type(hdr.data())) break;
                if ((c = check_detail(h, n, next, hdr.data(), data.data()))) return c;
                std::int64_t after = get_ptr(hdr.data(), 1);
                if ((c = blank_header(h, n, next))) return c;
                next = after;
            }
        }
        if (std::int16_t c = write_out(h)) return c;
        note_index_change(h);
        int r = btdelete(h->index.get(), m.key.data(), m.desc.key_length);
        if (r < 0) return ix_fail(h, ISAM_E_IX_DELETE, m.current);
        if (std::int16_t c = blank_header(h, 0, m.current)) return c;
        m.current = 0;
        m.state = ISAM_ST_NOCURRENT;
        forget_detail_slots(h);
        return ISAM_OK;
    }

    isam_slot& s = h->slots[static_cast<std::size_t>(slot)];
    const std::int64_t after = get_ptr(s.header.data(), 1);
    if (after < 0) return fail(h, ISAM_E_WRONG_TYPE, s.current);
    if (s.previous != 0) {
        // The predecessor takes over the deleted record's next pointer, once
        // the file confirms it is the predecessor.
        std::vector<char> hdr(static_cast<std::size_t>(hl));
        std::vector<char> data(static_cast<std::size_t>(rec_len(h, slot)));
        std::int16_t c = read_line(h, slot, s.previous, hdr.data(), data.data(), ISAM_E_HDRR_READ);
        if (c == ISAM_OK) c = check_detail(h, slot, s.previous, hdr.data(), data.data());
        if (c) return c;
        if (get_ptr(hdr.data(), 1) != s.current) return fail(h, ISAM_E_WRONG_TYPE, s.previous);
        if ((c = write_header(h, slot, s.previous, s.header.data()))) return c;
    } else if (std::int16_t c = relink_master(h, slot, s.current, after)) {
        return c;
    }
    s.state |= ISAM_ST_NOCURRENT;
    std::int64_t gone = s.current;
    s.current = 0;
    s.resume = after;
    if (std::int16_t c = blank_header(h, slot, gone)) return c;
    return ISAM_OK;
}

std::int16_t isam_lock(isam_handle* h, int request) {
    if (std::int16_t c = enter(h)) return c;
    if (!(h->flags & ISAM_FL_OPEN)) return fail(h, ISAM_E_NOT_OPEN);
    if (h->flags & ISAM_FL_EXCLUSIVE) return ISAM_OK;
    if (h->flags & ISAM_FL_LOCKED) return fail(h, ISAM_E_LOCK_HELD);
    int type = (request & 1) ? plat::FH_LOCK_EXCLUSIVE : plat::FH_LOCK_UPDATE;
    if (lock_region(h->fd, type, 2, 0) < 0) return sys_fail(h, ISAM_E_LOCK);
    for (int i = 0; i <= h->kinds; ++i)
        h->slots[static_cast<std::size_t>(i)].state |= ISAM_ST_RELOCKED;
    int r = btree_refresh(h->index.get());
    if (r != 0) {
        int e = errno;
        plat::FH_unlock_file_region(h->fd, 2, 0);
        return set_code(h, ISAM_E_IX_REFRESH, 0, e, r > 0 ? r : h->index->error);
    }
    drop_cache(h);
    h->flags |= ISAM_FL_LOCKED;
    // Nobody else writes the index now: its pages may be read in runs.
    btree_hold(h->index.get(), true);
    return ISAM_OK;
}

std::int16_t isam_unlock(isam_handle* h) {
    if (std::int16_t c = enter(h)) return c;
    if (!(h->flags & ISAM_FL_OPEN)) return fail(h, ISAM_E_NOT_OPEN);
    // What was held back goes to the file first. A failed write-out has put
    // the file back at its size before it: it is reported, and the lock is
    // released all the same.
    std::int16_t c = write_out(h);
    if (h->flags & ISAM_FL_EXCLUSIVE) return c;
    if (!(h->flags & ISAM_FL_LOCKED)) return fail(h, ISAM_E_NOT_LOCKED);
    // Once the lock is gone others may change the file: forget what was read
    // ahead.
    drop_cache(h);
    clear_behind(h, true);
    // The data is in the system's cache and visible to others either way; a
    // failed flush is reported but does not keep the lock. A file this
    // handle has not written since its last flush needs none.
    if (h->unsynced) {
        if (plat::FH_fsync_file(h->fd) < 0) {
            if (c == ISAM_OK) c = sys_fail(h, ISAM_E_FLUSH);
        } else {
            h->unsynced = false;
        }
    }
    // Index pages not yet written must not be seen as released: keep the
    // lock so that no other process works from the stale file.
    if (btree_sync(h->index.get()) != 0) return ix_fail(h, ISAM_E_IX_SYNC);
    if (plat::FH_unlock_file_region(h->fd, 2, 0) < 0)
        return c != ISAM_OK ? c : sys_fail(h, ISAM_E_UNLOCK);
    h->flags &= ~ISAM_FL_LOCKED;
    btree_hold(h->index.get(), false);
    return c;
}

std::int16_t isam_zap(isam_handle* h) {
    if (std::int16_t c = enter(h)) return c;
    if (std::int16_t c = write_out(h)) return c;
    drop_cache(h);
    h->unsynced = true;
    if (!(h->flags & ISAM_FL_OPEN)) return fail(h, ISAM_E_NOT_OPEN);
    const bool excl = (h->flags & ISAM_FL_EXCLUSIVE) != 0;
    if (!excl) {
        if (plat::FH_unlock_file_region(h->fd, 0, 2) < 0) return sys_fail(h, ISAM_E_RELEASE);
        if (lock_region(h->fd, plat::FH_LOCK_EXCLUSIVE, 0, 2) < 0) {
            int e = errno;
            if (lock_region(h->fd, plat::FH_LOCK_SHARED, 0, 2) < 0)
                return sys_fail(h, ISAM_E_RELOCK);
            return set_code(h, ISAM_E_EXCL_REFUSED, 0, e);
        }
    }
    std::int16_t c = ISAM_OK;
    if (btzap(h->index.get()) != 0)
        c = ix_fail(h, ISAM_E_IX_RESET);
    else if (plat::FH_truncate_file(h->fd, ISAM_HEADER_SIZE) < 0)
        c = sys_fail(h, ISAM_E_TRUNCATE);
    if (!excl) {
        if (plat::FH_unlock_file_region(h->fd, 0, 2) < 0) {
            if (c == ISAM_OK) c = sys_fail(h, ISAM_E_RELEASE);
        } else if (lock_region(h->fd, plat::FH_LOCK_SHARED, 0, 2) < 0) {
            if (c == ISAM_OK) c = sys_fail(h, ISAM_E_RELOCK);
        }
    }
    forget_all_slots(h);
    return c;
}

std::int16_t isam_rebuild(isam_handle* h) {
    if (std::int16_t c = enter(h)) return c;
    if (std::int16_t c = write_out(h)) return c;
    drop_cache(h);
    h->unsynced = true;
    if (!(h->flags & ISAM_FL_OPEN)) return fail(h, ISAM_E_NOT_OPEN);
    rebuild_state st;
    st.h = h;
    st.excl = (h->flags & ISAM_FL_EXCLUSIVE) != 0;
    st.had_lock = !st.excl && (h->flags & ISAM_FL_LOCKED) != 0;
    st.new_path = h->path + ".new";
    st.old_path = h->path + ".old";
    if (!st.excl) {
        // Our own update lock turns into the exclusive one in place; without
        // it, nothing of ours is on the records.
        if (!st.had_lock && plat::FH_unlock_file_region(h->fd, 2, 0) < 0)
            return sys_fail(h, ISAM_E_RELEASE);
        if (lock_region(h->fd, plat::FH_LOCK_EXCLUSIVE, 2, 0) < 0) {
            int e = errno;
            if (lock_region(h->fd, plat::FH_LOCK_SHARED, 0, 2) < 0)
                return sys_fail(h, ISAM_E_RELOCK);
            return set_code(h, ISAM_E_EXCL_REFUSED, 0, e);
        }
    }
    const int old_fd = h->fd;
    std::int16_t c;
    try {
        c = rebuild_body(st);
    } catch (const std::bad_alloc&) {
        c = set_code(h, ISAM_E_SORT_TEMP, 0, ENOMEM);
    }
    std::fflush(stdout);

    if (h->fd == old_fd) {
        // The old file is still the file: drop the new one and go back to
        // the locks held before.
        if (st.nfd >= 0) {
            plat::FH_close_file(st.nfd);
            plat::FH_remove_file(st.new_path.c_str());
        }
        if (!st.excl && !st.had_lock) plat::FH_unlock_file_region(h->fd, 2, 0);
        return c;
    }
    // The new file is in place and we hold its bytes 0-1 exclusively: take
    // the locks this handle had on the old one, then let openers in. A
    // failure of the rebuild itself stays the reported one.
    const int saved_errno = h->sys_errno;
    const std::int64_t saved_detail = h->detail;
    const int saved_index_error = h->index_error;
    std::int16_t lc = ISAM_OK;
    if (st.excl) {
        if (lock_region(h->fd, plat::FH_LOCK_EXCLUSIVE, 2, 0) < 0)
            lc = sys_fail(h, ISAM_E_RB_REOPEN);
        if (plat::FH_unlock_file_region(h->fd, 0, 2) < 0 && lc == ISAM_OK)
            lc = sys_fail(h, ISAM_E_RELEASE);
    } else {
        if (st.had_lock && lock_region(h->fd, plat::FH_LOCK_UPDATE, 2, 0) < 0) {
            lc = sys_fail(h, ISAM_E_RB_REOPEN);
            h->flags &= ~ISAM_FL_LOCKED;
            btree_hold(h->index.get(), false);
        }
        if (plat::FH_unlock_file_region(h->fd, 0, 2) < 0) {
            if (lc == ISAM_OK) lc = sys_fail(h, ISAM_E_RELEASE);
        } else if (lock_region(h->fd, plat::FH_LOCK_SHARED, 0, 2) < 0) {
            if (lc == ISAM_OK) lc = sys_fail(h, ISAM_E_RELOCK);
        }
    }
    if (c != ISAM_OK) return set_code(h, c, saved_detail, saved_errno, saved_index_error);
    return lc;
}

std::int16_t isam_set_match(isam_handle* h, isam_match_fn fn) {
    if (std::int16_t c = enter(h)) return c;
    h->match = fn ? fn : match_pattern_exact;
    h->cache.patterns.clear();  // first matches found with the old function
    return ISAM_OK;
}

std::int16_t isam_set_write_behind(isam_handle* h, int on) {
    if (std::int16_t c = enter(h)) return c;
    if (!on) {
        if (std::int16_t c = write_out(h)) return c;
    }
    h->behind.enabled = on != 0;
    return ISAM_OK;
}

std::int16_t isam_write_out(isam_handle* h) {
    if (std::int16_t c = enter(h)) return c;
    return write_out(h);
}

int isam_format(isam_handle* h) {
    if (check_handle(h)) return -1;
    return h->format;
}

std::int16_t isam_status(const isam_handle* h, std::int16_t* code, int* sys_errno,
                         std::int64_t* detail) {
    std::int16_t c = check_handle(h);
    if (c == ISAM_OK) c = h->code;
    if (code) *code = c;
    if (sys_errno) *sys_errno = check_handle(h) ? 0 : h->sys_errno;
    if (detail) *detail = check_handle(h) ? 0 : h->detail;
    return c;
}

std::int16_t isam_error_text(const isam_handle* h, std::string* text) {
    char buf[kFormatBufSize];
    std::int16_t len = 0;
    buf[0] = '\0';
    std::int16_t c = check_handle(h);
    if (c != ISAM_OK) {
        format_msg(buf, &len, kMsgSet, c);
    } else {
        c = h->code;
        if (c > 400) {
            btree_handle probe;
            probe.error = h->index_error;
            errno = h->sys_errno;
            std::string ix = bterror_text(&probe);
            format_msg(buf, &len, kMsgSet, c, {arg_str(h->path.c_str()), arg_str(ix.c_str())});
        } else if (c != ISAM_OK) {
            auto detail = static_cast<std::int32_t>(h->detail);
            if (h->sys_errno)
                format_msg(buf, &len, kMsgSet, c,
                           {arg_str(h->path.c_str()), arg_int(detail), arg_errno(h->sys_errno)});
            else
                format_msg(buf, &len, kMsgSet, c, {arg_str(h->path.c_str()), arg_int(detail)});
        }
    }
    if (text) text->assign(buf);
    return c;
}

int isam_record_length(const isam_handle* h, int slot) {
    if (check_handle(h) || slot < 0 || slot > h->kinds) return -1;
    return rec_len(h, slot);
}

int isam_key_length(const isam_handle* h, int slot) {
    if (check_handle(h) || slot < 0 || slot > h->kinds) return -1;
    return full_key_len(h, slot);
}

isam_chain_cursor::step isam_chain_cursor::next(const char** data) {
    if (stopped_) return step::unknown;
    const isam_handle* h = h_;
    // The checks of a read, in its order.
    if (pos_ < 0 || (steps_ > 1 && steps_ > bound_)) {
        stopped_ = true;
        return step::unknown;
    }
    if (pos_ == 0) {
        stopped_ = true;
        return step::end;
    }
    if (pos_ < ISAM_HEADER_SIZE || pos_ > kMaxPos || pos_ < off_ ||
        pos_ + static_cast<std::int64_t>(line_) > end_) {
        stopped_ = true;
        return step::unknown;
    }
    const char* r = window_ + (pos_ - off_);
    const isam_slot_desc& m = h->slots[0].desc;
    const int hl = hdr_len(h->kinds);
    // The next pointer, decoded once, is the first of the pointers a read
    // checks.
    const std::int64_t after = r[line_ - 1] == '\n' && type_ok(r, n_) ? get_ptr(r, 1) : -1;
    bool sound = after >= 0;
    for (int k = 2; sound && k <= h->kinds; ++k)
        sound = get_ptr(r, k) >= 0;
    if (!sound || std::memcmp(r + hl + m.key_offset, master_data_ + m.key_offset,
                              static_cast<std::size_t>(m.key_length)) != 0) {
        stopped_ = true;
        return step::unknown;
    }
    pos_ = after;
    ++steps_;
    *data = r + hl;
    return step::record;
}

bool isam_chain_cursor::start(const isam_handle* h, int n, const char* window, std::int64_t off,
                              std::int64_t end, std::int64_t pos, std::int64_t bound,
                              const char** data) {
    *data = nullptr;
    stopped_ = true;
    const auto master_len = static_cast<std::int64_t>(line_len(h, 0));
    if (pos < ISAM_HEADER_SIZE || pos > kMaxPos || pos < off || pos + master_len > end)
        return false;
    const char* r = window + (pos - off);
    if (r[master_len - 1] != '\n' || !type_ok(r, 0) || !pointers_ok(r, h->kinds)) return false;
    *data = r + hdr_len(h->kinds);
    h_ = h;
    n_ = n;
    window_ = window;
    off_ = off;
    end_ = end;
    line_ = static_cast<std::size_t>(line_len(h, n));
    bound_ = bound;
    master_data_ = *data;
    pos_ = get_ptr(r, n);
    steps_ = 1;
    stopped_ = false;
    return true;
}

std::int16_t isam_chain_at(isam_handle* h, int n, std::int64_t pos, std::int64_t length,
                           std::vector<char>* buffer, const char** data, isam_chain_cursor* chain) {
    *data = nullptr;
    if (const std::int16_t c = check_handle(h)) return c;
    if ((h->flags & ISAM_FL_OPEN) == 0) return ISAM_E_NOT_OPEN;
    if (!under_lock(h) || !behind_idle(h)) return ISAM_E_NOT_LOCKED;
    if (n < 1 || n > h->kinds) return ISAM_E_BAD_SLOT;
    const std::int64_t size = data_size(h);
    if (size < 0 || pos < ISAM_HEADER_SIZE || pos >= size) return ISAM_E_WRONG_TYPE;
    const std::int64_t want = std::max<std::int64_t>(std::min(length, size - pos), 0);
    buffer->resize(static_cast<std::size_t>(want));
    const long got =
        plat::FH_pread_file(h->fd, buffer->data(), static_cast<std::size_t>(want), pos);
    if (got <= 0) return ISAM_E_READ;
    if (!chain->start(h, n, buffer->data(), pos, pos + got, pos, record_bound(h), data))
        return ISAM_E_WRONG_TYPE;
    return ISAM_OK;
}

std::int16_t isam_scan_chains(isam_handle* h, int n, const std::vector<std::int64_t>& positions,
                              isam_chain_visitor& visitor) {
    if (const std::int16_t c = check_handle(h)) return c;
    if ((h->flags & ISAM_FL_OPEN) == 0) return ISAM_E_NOT_OPEN;
    if (!under_lock(h) || !behind_idle(h)) return ISAM_E_NOT_LOCKED;
    if (n < 1 || n > h->kinds) return ISAM_E_BAD_SLOT;
    const std::int64_t size = data_size(h);
    if (size < 0) return ISAM_E_READ;
    const auto master_len = static_cast<std::size_t>(line_len(h, 0));
    const std::int64_t bound = record_bound(h);

    // Each read holds the masters that start in it with at least kFollow
    // bytes after them (their chains usually lie there), or the rest of the
    // file.
    constexpr std::int64_t kWindow = std::int64_t{1} << 20;
    constexpr std::int64_t kFollow = std::int64_t{64} << 10;
    std::vector<char> window;
    std::int64_t off = 0;
    std::int64_t end = 0;  // the bytes of window: file positions off to end
    for (const std::int64_t pos : positions) {
        isam_chain_cursor chain;
        const char* data = nullptr;
        const bool placed = pos >= ISAM_HEADER_SIZE && pos <= kMaxPos &&
                            pos + static_cast<std::int64_t>(master_len) <= size;
        if (placed && (pos < off || pos + kFollow > end) && end < size) {
            if (pos < off) {
                // Positions go up: only a repeated one comes back.
            } else {
                off = pos;
                const std::int64_t want = std::min(kWindow, size - off);
                window.resize(static_cast<std::size_t>(want));
                const long got =
                    plat::FH_pread_file(h->fd, window.data(), static_cast<std::size_t>(want), off);
                if (got <= 0) return ISAM_E_READ;
                end = off + got;
            }
        }
        if (placed) chain.start(h, n, window.data(), off, end, pos, bound, &data);
        if (!visitor.master(pos, data, chain)) return ISAM_OK;
    }
    return ISAM_OK;
}

std::int16_t isam_walk_keys(
    isam_handle* h, const char* pattern,
    const std::function<bool(const char* key, int length, std::int64_t position)>& visit) {
    if (const std::int16_t c = check_handle(h)) return c;
    if ((h->flags & ISAM_FL_OPEN) == 0) return ISAM_E_NOT_OPEN;
    if (!under_lock(h)) return ISAM_E_NOT_LOCKED;
    const int klen = h->slots[0].desc.key_length;
    // The pattern as a pattern read takes it: trailing blanks dropped.
    const std::size_t limit = static_cast<std::size_t>(klen + ISAM_PATTERN_EXTRA);
    std::size_t n = pattern != nullptr ? strnlen(pattern, limit) : 0;
    if (n >= limit) return ISAM_E_PATTERN_LONG;
    while (n > 0 && (pattern[n - 1] == ' ' || pattern[n - 1] == '\t' || pattern[n - 1] == '\n' ||
                     pattern[n - 1] == '\r' || pattern[n - 1] == '\f' || pattern[n - 1] == '\v'))
        --n;
    const std::string pat(pattern != nullptr ? pattern : "", n);
    h->ix_at_key = false;
    if (btgoto(h->index.get(), BT_PREVIOUS) != BT_OK) return ISAM_E_IX_GOTO;
    std::vector<char> key(static_cast<std::size_t>(klen) + 1, '\0');
    for (;;) {
        int len = 0;
        std::int32_t value = 0;
        const int r = btravrs(h->index.get(), BT_NEXT, key.data(), klen, &len, &value);
        if (r == BT_END) return ISAM_OK;
        if (r != BT_OK) return ISAM_E_IX_TRAVERSE;
        if (!h->match(key.data(), pat.data(), len, static_cast<int>(pat.size()))) continue;
        if (!visit(key.data(), len, static_cast<std::uint32_t>(value))) return ISAM_OK;
    }
}
