// Operations inside one page: the consistency check, taking a page apart and
// building its image again, key comparison and the binary search.
#include <algorithm>
#include <bit>
#include <cstring>

#include "btree/btpriv.h"

bool bt_page_valid(const std::uint8_t* img, std::int32_t page_size) {
    const std::int64_t count = bt_get32(img + BT_PG_COUNT);
    const std::int64_t bytes = bt_get32(img + BT_PG_BYTES);
    if (bytes < 0 || count < 0 || bytes + 8 * count + 24 > page_size) return false;
    if (bt_get32(img + BT_PG_HIGH) == BT_FREEPAGE) return true;

    // A page of the tree: every key 1 to max_key bytes, the last ending at B.
    const int max_key = bt_max_key_length(page_size);
    const std::uint8_t* table = img + bt_table_offset(static_cast<int>(bytes));
    std::int64_t prev = 0;
    for (std::int64_t i = 0; i < count; ++i) {
        const std::int64_t end = bt_get32(table + 4 * i);
        if (end - prev < 1 || end - prev > max_key) return false;
        prev = end;
    }
    return prev == bytes;
}

void bt_page::insert(int i, const std::uint8_t* key, int len, std::int32_t ptr) {
    const int start = key_start(i);
    keys.insert(keys.begin() + start, key, key + len);
    for (std::size_t j = static_cast<std::size_t>(i); j < ends.size(); ++j)
        ends[j] += len;
    ends.insert(ends.begin() + i, start + len);
    ptrs.insert(ptrs.begin() + i, ptr);
}

void bt_page::erase(int i) {
    const int start = key_start(i);
    const int len = key_len(i);
    keys.erase(keys.begin() + start, keys.begin() + start + len);
    ends.erase(ends.begin() + i);
    for (std::size_t j = static_cast<std::size_t>(i); j < ends.size(); ++j)
        ends[j] -= len;
    ptrs.erase(ptrs.begin() + i);
}

void bt_page::clear_keys() {
    keys.clear();
    ends.clear();
    ptrs.clear();
}

void bt_page_decode(const std::uint8_t* img, bt_page* out) {
    const int count = bt_img_count(img);
    const int bytes = bt_img_bytes(img);
    out->left = bt_get32(img + BT_PG_LEFT);
    out->right = bt_get32(img + BT_PG_RIGHT);
    out->high = bt_get32(img + BT_PG_HIGH);
    out->keys.assign(img + BT_PG_KEYS, img + BT_PG_KEYS + bytes);
    const std::uint8_t* table = img + bt_table_offset(bytes);
    out->ends.resize(static_cast<std::size_t>(count));
    out->ptrs.resize(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        out->ends[static_cast<std::size_t>(i)] = bt_get32(table + 4 * i);
        out->ptrs[static_cast<std::size_t>(i)] = bt_get32(table + 4 * (count + i));
    }
}

bool bt_page_encode(const bt_page& pg, std::int32_t page_size, std::uint8_t* img) {
    const int count = pg.count();
    const int bytes = pg.bytes();
    if (std::int64_t{bytes} + 8 * std::int64_t{count} + 24 > page_size) return false;
    std::memset(img, 0, static_cast<std::size_t>(page_size));
    bt_put32(img + BT_PG_LEFT, pg.left);
    bt_put32(img + BT_PG_RIGHT, pg.right);
    bt_put32(img + BT_PG_HIGH, pg.high);
    bt_put32(img + BT_PG_COUNT, count);
    bt_put32(img + BT_PG_BYTES, bytes);
    if (bytes > 0) std::memcpy(img + BT_PG_KEYS, pg.keys.data(), static_cast<std::size_t>(bytes));
    std::uint8_t* table = img + bt_table_offset(bytes);
    for (int i = 0; i < count; ++i) {
        bt_put32(table + 4 * i, pg.ends[static_cast<std::size_t>(i)]);
        bt_put32(table + 4 * (count + i), pg.ptrs[static_cast<std::size_t>(i)]);
    }
    return true;
}

bool bt_compare_keys(int key_type, bt_compare_fn fn, const std::uint8_t* s, int slen,
                     const std::uint8_t* k, int klen, int* result) {
    switch (key_type) {
        case BT_KEY_BYTES: {
            const int common = std::min(slen, klen);
            const int c = common > 0 ? std::memcmp(s, k, static_cast<std::size_t>(common)) : 0;
            if (c != 0) {
                *result = c < 0 ? -1 : 1;
            } else {
                *result = slen < klen ? -1 : (slen > klen ? 1 : 0);
            }
            return true;
        }
        case BT_KEY_INT:
        case BT_KEY_INT2: {
            if (slen < 4 || klen < 4) return false;
            std::int32_t a = 0;
            std::int32_t b = 0;
            std::memcpy(&a, s, 4);
            std::memcpy(&b, k, 4);
            const std::int64_t d = std::int64_t{a} - std::int64_t{b};
            *result = d < 0 ? -1 : (d > 0 ? 1 : 0);
            return true;
        }
        case BT_KEY_FLOAT: {
            if (slen < 4 || klen < 4) return false;
            float a = 0;
            float b = 0;
            std::memcpy(&a, s, 4);
            std::memcpy(&b, k, 4);
            *result = a < b ? -1 : (a > b ? 1 : 0);
            return true;
        }
        case BT_KEY_USER:
            if (fn == nullptr) return false;
            *result = fn(s, slen, k, klen);
            return true;
        default:
            return false;
    }
}

// Negative, zero or positive as s sorts before, with or after k: unsigned
// bytes, a prefix first. Eight bytes at a time, compared as big-endian words.
static int bytes_order(const std::uint8_t* s, int slen, const std::uint8_t* k, int klen) {
    const int common = slen < klen ? slen : klen;
    int i = 0;
    for (; i + 8 <= common; i += 8) {
        std::uint64_t a = 0;
        std::uint64_t b = 0;
        std::memcpy(&a, s + i, 8);
        std::memcpy(&b, k + i, 8);
        if (a != b) {
            if constexpr (std::endian::native == std::endian::little) {
                a = __builtin_bswap64(a);
                b = __builtin_bswap64(b);
            }
            return a < b ? -1 : 1;
        }
    }
    for (; i < common; ++i)
        if (s[i] != k[i]) return s[i] < k[i] ? -1 : 1;
    return slen - klen;
}

int bt_page_search(const btree_handle* h, const std::uint8_t* img, const std::uint8_t* key,
                   int key_len, int* pos, std::int32_t* ptr) {
    const int count = bt_img_count(img);
    const std::uint8_t* keys = img + BT_PG_KEYS;
    const std::uint8_t* ends = img + bt_table_offset(bt_img_bytes(img));
    const int type = h->sb.key_type;
    int lo = 0;
    int hi = count - 1;
    int position = 0;
    while (lo <= hi) {
        const int mid = (lo + hi) / 2;
        const int start = mid == 0 ? 0 : bt_get32(ends + 4 * (mid - 1));
        const int klen = bt_get32(ends + 4 * mid) - start;
        const std::uint8_t* k = keys + start;
        int c = 0;
        if (type == BT_KEY_BYTES) {
            // The byte order, a prefix first (bt_compare_keys, without the call).
            c = bytes_order(key, key_len, k, klen);
        } else if (!bt_compare_keys(type, h->compare, key, key_len, k, klen, &c)) {
            return -1;
        }
        if (c < 0) {
            position = mid;
            hi = mid - 1;
        } else if (c > 0) {
            lo = mid + 1;
            position = lo;
        } else {
            *pos = mid;
            *ptr = bt_get32(ends + 4 * (count + mid));
            return 1;
        }
    }
    *pos = position;
    *ptr = position < count ? bt_get32(ends + 4 * (count + position)) : bt_img_high(img);
    return 0;
}
