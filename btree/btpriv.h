// Internals shared by the B-tree modules: word access, the page layout, the
// decoded page record, the buffer pool and the descent.
#pragma once

#include <cstdint>
#include <vector>

#include "btree/btree.h"

// ---- big-endian words -------------------------------------------------------

inline std::int32_t bt_get32(const std::uint8_t* p) {
    return static_cast<std::int32_t>((std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
                                     (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]});
}

inline void bt_put32(std::uint8_t* p, std::int32_t v) {
    const auto u = static_cast<std::uint32_t>(v);
    p[0] = static_cast<std::uint8_t>(u >> 24);
    p[1] = static_cast<std::uint8_t>(u >> 16);
    p[2] = static_cast<std::uint8_t>(u >> 8);
    p[3] = static_cast<std::uint8_t>(u);
}

// ---- page layout ------------------------------------------------------------

enum : int {
    BT_PG_LEFT = 0,
    BT_PG_RIGHT = 4,
    BT_PG_HIGH = 8,
    BT_PG_COUNT = 12,
    BT_PG_BYTES = 16,
    BT_PG_KEYS = 20,
};

// Offset of the key end table for B key bytes: the keys start at 20 and are
// followed by 1 to 4 bytes of padding.
inline int bt_table_offset(int bytes) {
    return BT_PG_KEYS + bytes + (4 - (BT_PG_KEYS + bytes) % 4);
}

// The room rule: a key of key_len bytes fits a page with count keys and bytes
// key bytes.
inline bool bt_fits(int count, int bytes, int key_len, std::int32_t page_size) {
    return std::int64_t{bytes} + 8 * std::int64_t{count} + key_len + 32 < page_size;
}

// A page image that passed bt_page_valid can be read with these.
inline int bt_img_count(const std::uint8_t* img) {
    return bt_get32(img + BT_PG_COUNT);
}
inline int bt_img_bytes(const std::uint8_t* img) {
    return bt_get32(img + BT_PG_BYTES);
}
inline std::int32_t bt_img_high(const std::uint8_t* img) {
    return bt_get32(img + BT_PG_HIGH);
}
inline std::int32_t bt_img_end(const std::uint8_t* img, int i) {
    return bt_get32(img + bt_table_offset(bt_img_bytes(img)) + 4 * i);
}
inline std::int32_t bt_img_ptr(const std::uint8_t* img, int i) {
    return bt_get32(img + bt_table_offset(bt_img_bytes(img)) + 4 * (bt_img_count(img) + i));
}
inline const std::uint8_t* bt_img_key(const std::uint8_t* img, int i, int* len) {
    const int start = i == 0 ? 0 : bt_img_end(img, i - 1);
    *len = bt_img_end(img, i) - start;
    return img + BT_PG_KEYS + start;
}

// ---- btpage1: checking, decoding, encoding and searching one page ---------

// The consistency rule (B >= 0, K >= 0, B + 8K + 24 <= P). A page in the tree
// (high pointer not -2) must also have a key end table that rises by 1 to
// max_key bytes per key and ends at B.
bool bt_page_valid(const std::uint8_t* img, std::int32_t page_size);

// A page taken apart for editing.
struct bt_page {
    std::int32_t left = BT_NOPAGE;
    std::int32_t right = BT_NOPAGE;
    std::int32_t high = BT_NOPAGE;
    std::vector<std::uint8_t> keys;  // all keys, concatenated
    std::vector<std::int32_t> ends;  // end of each key within keys
    std::vector<std::int32_t> ptrs;  // value or child of each key

    int count() const { return static_cast<int>(ends.size()); }
    int bytes() const { return static_cast<int>(keys.size()); }
    bool leaf() const { return high == BT_NOPAGE; }
    int key_start(int i) const { return i == 0 ? 0 : ends[static_cast<std::size_t>(i - 1)]; }
    int key_len(int i) const { return ends[static_cast<std::size_t>(i)] - key_start(i); }
    const std::uint8_t* key(int i) const { return keys.data() + key_start(i); }

    void insert(int i, const std::uint8_t* key, int len, std::int32_t ptr);
    void erase(int i);
    void clear_keys();
};

void bt_page_decode(const std::uint8_t* img, bt_page* out);
// Builds the image (zero padding and tail); false when the page does not fit.
bool bt_page_encode(const bt_page& pg, std::int32_t page_size, std::uint8_t* img);

// Compares a search key with a page key by the key type; false when the
// comparison cannot be made.
bool bt_compare_keys(int key_type, bt_compare_fn fn, const std::uint8_t* s, int slen,
                     const std::uint8_t* k, int klen, int* result);

// Binary search of a valid page image. Returns 1 found, 0 not found, -1 when a
// comparison failed. *pos is the position (found key, or the first key not
// smaller), *ptr the pointer there (the high pointer past the last key).
int bt_page_search(const btree_handle* h, const std::uint8_t* img, const std::uint8_t* key,
                   int key_len, int* pos, std::int32_t* ptr);

// ---- btpage2: editing pages -------------------------------------------------

// Removes entry j; j == count (an interior page entered through its high
// pointer) drops the last key and makes its pointer the high pointer.
bool bt_page_remove_entry(bt_page* pg, int j);

// Splits a page that holds one key too many (already merged in). The left
// page gets the first part, the right page the rest; *separator receives the
// key that goes up. Sibling words are left to the caller.
bool bt_page_split(const bt_page& merged, std::int32_t page_size, bt_page* left, bt_page* right,
                   std::vector<std::uint8_t>* separator);

// ---- btio: buffer pool, page allocation, superblock ------------------------

bool bt_valid_offset(const btree_handle* h, std::int32_t off);
// Empties the cache (nothing is written) and gives its memory back.
void bt_pool_init(btree_handle* h);
// Buffer index holding the page (offset, or -1 for a scratch buffer); -1 on failure.
int bt_get_page(btree_handle* h, std::int32_t off);
int bt_put_page(btree_handle* h, int buf);
// Reads a page of the tree (not a free page) and returns its image, valid
// until the next pool call.
int bt_fetch(btree_handle* h, std::int32_t off, const std::uint8_t** img);
int bt_read_page(btree_handle* h, std::int32_t off, bt_page* pg);
// Writes a new image for the page at off through a scratch buffer.
int bt_write_page(btree_handle* h, std::int32_t off, const bt_page& pg);
int bt_alloc_page(btree_handle* h, std::int32_t* off);
int bt_free_page(btree_handle* h, std::int32_t off);
int bt_write_super(btree_handle* h);
void bt_encode_super(const bt_superblock& sb, std::uint8_t* out);
void bt_decode_super(const std::uint8_t* in, bt_superblock* sb);
// The superblock's words make sense (page size, depth, offsets).
bool bt_super_valid(const bt_superblock& sb);
// Pages the file holds by its end offset.
inline std::int64_t bt_page_count(const btree_handle* h) {
    return h->sb.end / h->sb.page_size;
}

// Reads a page at an absolute offset, retrying short counts; a read that ends
// early at the end of the file sets BTE_CORRUPT.
int bt_pread_all(btree_handle* h, void* buf, std::size_t n, std::int64_t off);
int bt_pwrite_all(int fd, const void* buf, std::size_t n, std::int64_t off);

// ---- btopen: superblock loading shared with refresh -------------------------

int bt_load_super(btree_handle* h);
void bt_take_stamp(btree_handle* h);

// ---- btseek: descent ---------------------------------------------------------

// Checks the key length (errors 1 and 2; a missing key is error 10).
bool bt_key_ok(btree_handle* h, const void* key, int key_len);
// Starts an operation: false (error 8 in the handle) when the handle cannot be
// worked with, as after a failed refresh; otherwise clears the error code.
bool bt_begin(btree_handle* h);
// Forgets the current position and any traversal or load in progress.
void bt_forget_position(btree_handle* h);

struct bt_leaf_hit {
    std::int32_t leaf = BT_NOPAGE;
    int pos = 0;
    std::int32_t ptr = 0;
    bool found = false;
};

// Descends from the root to the leaf for the key, filling the path stack
// (root first) and searching the leaf.
int bt_seek(btree_handle* h, const std::uint8_t* key, int key_len, bt_leaf_hit* hit);
