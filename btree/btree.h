// B-tree index files: a disk B+tree that maps a key (1 to 234 bytes for the
// usual 512-byte pages) to one 32-bit value. The keyed file layer keeps one
// index file beside every data file and stores record positions as values.
//
// File format (every integer a big-endian 32-bit word):
//   page 0, first 28 bytes: magic 72251, page size P, depth, key type, root
//   offset, free-list head (-1 empty), end offset (next page to append).
//   page n at n * P: left sibling, right sibling, high pointer (-1 leaf,
//   -2 free page, else child for keys above every key of the page), key count
//   K, key bytes B, the keys, 1..4 bytes of padding, K key end offsets, K
//   pointers (values in a leaf, children in an interior page).
//
// All operations return small result codes (BT_FAIL, BT_OK, BT_NOT_FOUND,
// BT_END, BT_BEGIN) and keep an error code (BTE_...) in the handle; a failure
// of the operating system leaves the error code at 0 and errno set, and
// bterror_text then gives the system's text. The tree has no locking of its
// own: callers serialise access and call btree_refresh before they trust
// pages cached by an earlier operation.
//
// Page cache: every page read or written goes through a per-handle cache of
// page images, bounded by BT_CACHE_BYTES. Writes go straight to the file (a
// change is on its way to the disk when the call that made it returns); the
// cache only saves reads. A cached image is always the file's bytes as this
// handle last read or wrote them: a failed write drops the image, so the
// next use reads the file again. The cache is trusted until btree_refresh
// finds the file changed by someone else, and dropped by btree_sync (which
// the keyed files call before giving up their update lock) and by close.
//
// While the caller holds the file to itself (btree_hold), a page missing from
// the cache is read together with a run of its neighbours in one call, and
// those that are sound tree pages are kept as well; the runs grow with every
// miss up to BT_RUN_MAX_BYTES, and neighbours only take room the cache has
// not used yet, never that of a page it holds. Without the hold every page is
// read on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

// ---- constants --------------------------------------------------------------

constexpr std::int32_t BT_MAGIC = 72251;    // first superblock word
constexpr std::int32_t BT_PAGE_SIZE = 512;  // page size of every file we create
constexpr int BT_SUPER_SIZE = 28;           // bytes of the superblock
constexpr int BT_NBUFFERS = 5;              // page buffers a handle can always have
constexpr std::int64_t BT_CACHE_BYTES = std::int64_t{8} << 20;  // page images cached per handle
constexpr std::int32_t BT_NOPAGE = -1;                          // "no such page" in a pointer word
constexpr std::int64_t BT_RUN_FIRST_BYTES = std::int64_t{16} << 10;  // first run read under a hold
constexpr std::int64_t BT_RUN_MAX_BYTES = std::int64_t{256} << 10;   // longest run read
constexpr std::int32_t BT_FREEPAGE = -2;       // high pointer of a page on the free list
constexpr int BT_MAX_DEPTH = 64;               // deeper trees are taken as corrupt
constexpr std::int32_t BT_MIN_PAGE_SIZE = 64;  // page sizes honoured when read from a file
constexpr std::int32_t BT_MAX_PAGE_SIZE = 65536;

// Longest key for a page size: ((P - 36) / 2) - 4, i.e. 234 for 512.
constexpr int bt_max_key_length(std::int32_t page_size) {
    return ((page_size - 36) / 2) - 4;
}
constexpr int BT_MAX_KEY = bt_max_key_length(BT_PAGE_SIZE);

// Results of the tree operations.
enum : int {
    BT_FAIL = -1,      // failure: error code in the handle (or errno)
    BT_OK = 0,         // success
    BT_NOT_FOUND = 1,  // btfind, btdelete: no such key
    BT_END = 2,        // btravrs: end of the index reached
    BT_BEGIN = 3,      // btravrs: beginning of the index reached
};

// Directions and positions for btravrs and btgoto.
enum : int {
    BT_NEXT = 2,      // btravrs: ascending; btgoto: after the last key
    BT_PREVIOUS = 3,  // btravrs: descending; btgoto: before the first key
};

// btload operations.
enum : int {
    BT_LOAD_KEY = 0,     // add one key (keys come in descending order)
    BT_LOAD_FINISH = 2,  // end of the load (nothing to do)
    BT_LOAD_START = 3,   // reset the index to empty
};

// Key types (superblock word at offset 12).
enum : int {
    BT_KEY_BYTES = 0,  // unsigned byte strings, a prefix sorts first
    BT_KEY_INT = 1,    // 32-bit integers in host order
    BT_KEY_INT2 = 2,   // same as BT_KEY_INT
    BT_KEY_FLOAT = 3,  // 32-bit floating point values
    BT_KEY_USER = 4,   // the handle's comparison function
};

// Error codes kept in the handle; bterror_text turns them into text.
enum : int {
    BTE_NONE = 0,           // "no btree error"
    BTE_KEY_TOO_BIG = 1,    // "btree key too big"
    BTE_ZERO_KEY = 2,       // "zero sized btree key"
    BTE_DUPLICATE = 3,      // "duplicate btree key"
    BTE_BAD_POINTER = 4,    // "invalid btree pointer"
    BTE_NO_BUFFERS = 5,     // "insufficient btree buffers"
    BTE_LABEL = 6,          // "btree label too big"
    BTE_BUFFER_SMALL = 7,   // "btree buffer too small"
    BTE_CORRUPT = 8,        // "btree page is corrupt"
    BTE_SEARCH = 9,         // "cannot search btree page"
    BTE_BAD_ARGUMENT = 10,  // "invalid btree argument"
    BTE_REFRESH = 11,       // "refresh was called with dirty buffers" (returned, not stored)
};

// Comparison for key type 4: search key and its length, page key and its
// length; negative, zero or positive.
using bt_compare_fn = int (*)(const void* search, int search_len, const void* key, int key_len);

// ---- records ----------------------------------------------------------------

// The superblock words, host order, in file order.
struct bt_superblock {
    std::int32_t magic = 0;
    std::int32_t page_size = 0;
    std::int32_t depth = 0;
    std::int32_t key_type = 0;
    std::int32_t root = BT_NOPAGE;
    std::int32_t free_list = BT_NOPAGE;
    std::int32_t end = 0;
};

// Page buffer states.
enum : std::uint8_t {
    BT_BUF_CLEAN = 0,
    BT_BUF_DIRTY = 1,
    BT_BUF_SCRATCH = 2,  // reserved scratch buffer, not yet bound to a page
};

// One page buffer of the pool. The image holds the page as it is on disk
// (big-endian words); words are converted as they are read and written.
struct bt_buffer {
    std::uint8_t state = BT_BUF_CLEAN;
    std::span<std::uint8_t> image;    // page-size bytes in the handle's page store
    std::int32_t offset = BT_NOPAGE;  // page held, -1 for none
    int next = -1;                    // towards the back (most recently used)
    int prev = -1;                    // towards the front
};

// One level of the path stack: page offset and position within it.
struct bt_path_entry {
    std::int32_t page = BT_NOPAGE;
    int index = 0;
};

// The index handle: one per open index file. Create with btopen, free with
// btclose (or by letting the btree_ptr go, which closes it).
struct btree_handle {
    int fd = -1;                        // file descriptor
    int error = BTE_NONE;               // error code of the last operation
    std::uint8_t sb_dirty = 0;          // superblock not yet written
    int cur_index = 0;                  // position of the current key in the current page
    std::int32_t cur_page = BT_NOPAGE;  // leaf of the current position, -1 for none
    bt_compare_fn compare = nullptr;    // comparison for key type 4
    bt_superblock sb;                   // superblock words
    std::vector<bt_buffer> buffers;     // the cache, chained front to back
    std::vector<std::unique_ptr<std::uint8_t[]>> store;  // the buffers' images, in blocks
    std::unordered_map<std::int32_t, int> where;         // page offset -> buffer holding it
    int front = -1;                                      // least recently used end
    int back = -1;                                       // most recently used end
    int last_buf = -1;                                   // buffer of the last page asked for
    std::vector<bt_path_entry> path;  // root first, one entry per level (btload: leaf first)
    // Modification stamp of the file as last seen.
    std::int64_t mtime_sec = 0;
    long mtime_nsec = 0;
    std::int64_t stamp_size = 0;
    bool stamp_recent = false;  // taken so soon after a change that a later one may not show

    // Bookkeeping of this implementation.
    bool loading = false;         // path holds the leftmost pages of a bulk load
    int walk_direction = 0;       // direction of the sibling moves counted below
    std::int64_t walk_steps = 0;  // consecutive sibling moves, bounded by the page count
    bool unsynced = false;        // written to since the file was last flushed to disk
    // Most pages the cache may hold; 0 for BT_CACHE_BYTES' worth. Never fewer
    // than BT_NBUFFERS are used.
    std::size_t cache_pages = 0;
    bool held = false;              // no one else changes the file: misses read runs
    std::int64_t run_pages = 0;     // pages the next run read asks for, 0 before the first
    std::vector<std::uint8_t> run;  // the bytes of the last run read
};

struct btree_closer {
    void operator()(btree_handle* h) const;  // btclose, result ignored
};
using btree_ptr = std::unique_ptr<btree_handle, btree_closer>;

// ---- operations -------------------------------------------------------------

// Opens (flags: extra plat::FH_ open flags such as FH_CREAT; read-write is
// always added) an index file. A zero-length file becomes an empty index.
// Returns no handle on any failure; *error (when given) then receives the
// btree error code (BTE_CORRUPT for a bad superblock, BTE_NONE when the
// system refused and errno tells why).
btree_ptr btopen(const char* path, int flags, int mode, int* error = nullptr);

// Writes what is pending, syncs and closes the file, frees the handle.
// 0, or -1 when writing, syncing or closing failed.
int btclose(btree_ptr handle);

// 0 found (*value set, current position on the key), 1 not found (current
// position just before where the key would be), -1.
int btfind(btree_handle* h, const void* key, int key_len, std::int32_t* value);

// Inserts the key with its value; an existing key is error 3 unless replace
// is nonzero, when its value is replaced. Clears the current position.
int btinsert(btree_handle* h, const void* key, int key_len, std::int32_t value, int replace);

// 0 deleted, 1 not found, -1. Clears the current position.
int btdelete(btree_handle* h, const void* key, int key_len);

// Steps to the next (BT_NEXT) or previous (BT_PREVIOUS) key and copies it into
// buf (buf_size bytes). 0 with *key_len and *value set; BT_END or BT_BEGIN at
// either end (both outputs 0); -1 (error 7 when the key does not fit buf).
int btravrs(btree_handle* h, int direction, void* buf, int buf_size, int* key_len,
            std::int32_t* value);

// Positions after the last key (BT_NEXT) or before the first (any other value).
int btgoto(btree_handle* h, int where);

// Bulk load: BT_LOAD_START resets the index, BT_LOAD_KEY adds one key (keys in
// strictly descending order), BT_LOAD_FINISH ends; other codes are error 10.
int btload(btree_handle* h, const void* key, int key_len, std::int32_t value, int operation);

// Resets the index to empty (file truncated to two pages).
int btzap(btree_handle* h);

// Writes every pending page and the superblock and flushes the file to disk
// (the flush is left out when nothing was written since the last one), then
// forgets the cached pages: once the caller lets others at the file they may
// be out of date. The current position is kept.
int btree_sync(btree_handle* h);

// The caller holds the file to itself (its update lock, or an exclusive
// open) from now on (held true) or no longer (false). While held, pages are
// read in runs; the hold outlives btree_sync and btree_refresh and ends only
// when the caller says so. Ignored without a handle.
void btree_hold(btree_handle* h, bool held);

// 0 when the cached pages can be trusted (the file did not change, or it was
// re-read successfully); otherwise BTE_REFRESH (11).
int btree_refresh(btree_handle* h);

// Text for the handle's error code; "No comarea" without a handle; the
// system's text when the code is 0 and errno is set.
const char* bterror_text(const btree_handle* h);

// Writes "msg: text" (or the text alone for an empty msg) to standard error.
void btperror(const btree_handle* h, const char* msg);
