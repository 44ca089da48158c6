// Keyed data files: text files of master records, each identified by a
// fixed-width master key, and up to two kinds of detail records chained from
// their master in key order. A B-tree index file beside the data file (the
// data file's path with ".KEY" appended) maps every master key to the
// position of its master record.
//
// File layout:
//   header (94 bytes): "AH", version "0001", format value (4 hex digits),
//     identity name (16, blank-padded), N (4 hex digits), slot descriptors
//     0..N (record length, key offset, key length, 4 hex digits each), blanks
//     up to byte 93, newline.
//   record line: two type characters ("DM" master, "D1"/"D2" detail, two
//     blanks deleted), N pointers of 8 upper-case hex digits, the record data
//     (the slot's record length), newline. A master's pointer n is the head of
//     its chain of kind n; a detail's pointer 1 is the next of its chain.
//
// Every operation checks its handle (no handle: 1, a handle that is not a
// keyed file handle: 2), clears the stored code, and stores its result code,
// the system error number and a failure detail in the handle for
// isam_status and isam_error_text.
//
// Locks on the data file: every opener holds a shared lock on bytes 0-1 while
// the file is open; updates happen under the update lock on bytes 2 to the
// end of the file (isam_lock / isam_unlock); an exclusive-mode opener holds an
// exclusive lock on bytes 2 to the end instead.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "btree/btree.h"

// ---- constants --------------------------------------------------------------

constexpr std::uint16_t ISAM_MAGIC = 18771;  // 0x4953
constexpr int ISAM_MAX_KINDS = 2;            // detail kinds a handle can hold
constexpr int ISAM_NSLOTS = ISAM_MAX_KINDS + 1;
constexpr int ISAM_HEADER_SIZE = 94;    // file header, newline included
constexpr int ISAM_NAME_SIZE = 16;      // identity name in the header
constexpr int ISAM_PATTERN_EXTRA = 64;  // pattern buffer: key length + this
constexpr int ISAM_POINTER_SIZE = 8;    // hex digits of a record pointer

// Access modes of isam_open.
enum : int {
    ISAM_ACCESS_SHARED = 1,     // normal use (the master database passes 1)
    ISAM_ACCESS_EXCLUSIVE = 3,  // (mode & 3) == 3: exclusive mode
    ISAM_ACCESS_REINDEX = 7,    // (mode & 7) == 7: also accept a new, empty index
};

// Open flags of isam_open.
enum : int {
    ISAM_OPEN_EXISTING = 0,  // no creation
    ISAM_OPEN_CREATE = 2,    // create a missing data file (only with a description)
};

// Handle flags (isam_handle::flags).
enum : unsigned {
    ISAM_FL_OPEN = 0x01,       // data file open
    ISAM_FL_LOCKED = 0x02,     // update lock held
    ISAM_FL_INDEX = 0x04,      // index open
    ISAM_FL_PATTERN = 0x10,    // pattern read in progress
    ISAM_FL_EXCLUSIVE = 0x20,  // exclusive mode
};

// Slot state bits (isam_slot::state).
enum : unsigned {
    ISAM_ST_NOCURRENT = 0x1,  // no current record
    ISAM_ST_RELOCKED = 0x2,   // the update lock was taken after the current record was read
    ISAM_ST_READFAIL = 0x4,   // the last read of this slot failed
};

// Read modes of isam_read.
enum : int {
    ISAM_READ_FIRST = 0,    // slot 0: first in key order; detail: head of the chain
    ISAM_READ_NEXT = 1,     // next (detail without current record: the head)
    ISAM_READ_CURRENT = 2,  // the current record again
    ISAM_READ_EXACT = 3,    // the record with exactly this key
    ISAM_READ_GE = 4,       // this key or else the next greater one
    ISAM_READ_PATTERN = 5,  // slot 0 only: first master whose key matches the pattern
};

// Lock requests of isam_lock (bit 0).
enum : int {
    ISAM_LOCK_UPDATE = 0,     // lock type 2: excludes other updaters, waits
    ISAM_LOCK_EXCLUSIVE = 1,  // lock type 1: fails at once when anyone else holds a lock
};

// Result codes (texts: catalog messages 1110/<code>).
enum : std::int16_t {
    ISAM_OK = 0,
    ISAM_E_NO_HANDLE = 1,
    ISAM_E_BAD_HANDLE = 2,
    ISAM_E_NOT_OPEN = 4,
    ISAM_E_NOT_LOCKED = 5,
    ISAM_E_MASTER_STALE = 6,  // master record not read under the current lock
    ISAM_E_BAD_MODE = 7,
    ISAM_E_NOT_FOUND = 8,  // record not found, or end of file
    ISAM_E_NO_MASTER = 9,  // detail read without a current master record
    ISAM_E_READ_SEEK = 10,
    ISAM_E_READ = 11,
    ISAM_E_CLOSE = 14,
    ISAM_E_LOCK = 15,
    ISAM_E_LOCK_HELD = 16,
    ISAM_E_UNLOCK = 17,
    ISAM_E_MEMORY = 18,
    ISAM_E_OPEN = 19,  // data file cannot be opened
    ISAM_E_FLUSH = 20,
    ISAM_E_OPEN_LOCK = 22,
    ISAM_E_HDR_SEEK = 23,
    ISAM_E_HDR_READ = 24,
    ISAM_E_NOT_KEYED = 25,
    ISAM_E_NAME = 26,
    ISAM_E_VERSION = 27,
    ISAM_E_KINDS = 28,
    ISAM_E_SLOTS_READ = 29,
    ISAM_E_CREATE = 30,
    ISAM_E_CREATE_LOCK = 31,
    ISAM_E_CREATE_WRITE = 32,
    ISAM_E_INDEX_OPEN = 34,
    ISAM_E_INDEX_CREATE = 35,
    ISAM_E_MEMORY_DESC = 39,
    ISAM_E_MEMORY_OPEN = 40,
    ISAM_E_PATTERN_LONG = 41,
    ISAM_E_TRUNCATE = 42,
    ISAM_E_BAD_SLOT = 239,
    ISAM_E_REPLACE_SEEK = 240,
    ISAM_E_REPLACE_WRITE = 241,
    ISAM_E_ADD_SEEK = 242,
    ISAM_E_ADD_WRITE = 243,
    ISAM_E_KEY_DIFFERS = 244,
    ISAM_E_DETAIL_STALE = 245,  // detail record not read under the current lock
    ISAM_E_NO_CURRENT = 246,
    ISAM_E_WRONG_TYPE = 247,  // record header of the wrong type
    ISAM_E_HDRW_SEEK = 349,
    ISAM_E_HDRW_WRITE = 350,
    ISAM_E_HDRR_SEEK = 351,
    ISAM_E_HDRR_READ = 352,
    ISAM_E_SLOT_RECLEN = 353,
    ISAM_E_SLOT_KEYOFF = 354,
    ISAM_E_SLOT_KEYLEN = 355,
    ISAM_E_IX_REFRESH = 453,
    ISAM_E_IX_GOTO = 454,
    ISAM_E_IX_FIND = 455,
    ISAM_E_IX_TRAVERSE = 456,
    ISAM_E_IX_DELETE = 457,
    ISAM_E_IX_SYNC = 458,
    ISAM_E_IX_CLOSE = 459,
    ISAM_E_IX_RESET = 460,
    ISAM_E_IX_INSERT = 461,
    ISAM_E_IX_LOAD = 462,
    ISAM_E_SORT_TEMP = 463,      // rebuild: a sort run file cannot be created
    ISAM_E_SORT_WRITE = 464,     // rebuild: a sort run cannot be written
    ISAM_E_SORT_READ = 465,      // rebuild: a sort run cannot be read back
    ISAM_E_NO_INDEX = 466,       // existing data file without an index
    ISAM_E_RB_SEEK = 467,        // rebuild: cannot position in the data file
    ISAM_E_RB_READ = 468,        // rebuild: cannot read the data file
    ISAM_E_RB_KEYS_TEMP = 469,   // rebuild: the key file cannot be created
    ISAM_E_RB_KEYS_WRITE = 470,  // rebuild: the key file cannot be written
    ISAM_E_RB_NEW = 471,         // rebuild: the new data file cannot be created
    ISAM_E_RB_WRITE = 472,       // rebuild: the new data file cannot be written
    ISAM_E_RB_FLUSH = 473,       // rebuild: the new data file cannot be flushed or closed
    ISAM_E_RB_REOPEN = 474,      // rebuild: the rebuilt file cannot be reopened and locked
    ISAM_E_RB_SAVE_OLD = 475,    // rebuild: the old file cannot be moved to ".old"
    ISAM_E_RB_INSTALL = 476,     // rebuild: the new file cannot take the file's name
    ISAM_E_RB_KEYS_READ = 477,   // rebuild: the key file cannot be read back
    ISAM_E_RB_RECORD = 478,      // rebuild: a record too large for the file's positions
    ISAM_E_RB_CLOSE = 479,       // rebuild: the old data file cannot be closed
    ISAM_E_RELEASE = 480,        // unlock failed
    ISAM_E_EXCL_REFUSED = 481,   // exclusive lock refused: another process has the file
    ISAM_E_RELOCK = 482,         // the shared lock cannot be taken again
};

// ---- records ----------------------------------------------------------------

// One slot descriptor: slot 0 describes the master records, slot n the
// detail records of kind n.
struct isam_slot_desc {
    std::int16_t record_length = 0;  // bytes of record data (no header, no newline)
    std::int16_t key_offset = 0;     // offset of this kind's key in the record data
    std::int16_t key_length = 0;     // its length (0: a detail kind without sub-key)

    bool operator==(const isam_slot_desc&) const = default;
};

// File description given to isam_open (and build_datafile) by a caller that
// knows the layout.
struct isam_file_desc {
    std::string name;  // identity name, at most 16 characters
    int format = 0;    // in: written into a new file; out (isam_open): the header's value
    int kinds = 0;     // N, 0..2
    std::array<isam_slot_desc, ISAM_NSLOTS> slots{};
};

// Pattern match of a master key for read mode 5: the index key, the pattern,
// the key's length and the pattern's length; nonzero accepts. The default is
// match_pattern_exact over the whole key.
using isam_match_fn = int (*)(const char* key, const char* pattern, int key_len, int pattern_len);

// One slot of a handle: the current record of its kind.
struct isam_slot {
    unsigned state = ISAM_ST_NOCURRENT;
    std::int64_t current = 0;   // position of the current record, 0 for none
    std::int64_t previous = 0;  // detail slots: predecessor in the chain, 0 at the head
    std::vector<char> key;      // key of the current record, a terminating zero byte after it
    std::vector<char> header;   // record header of the current record, a zero byte after it
    isam_slot_desc desc;

    // Bookkeeping of this implementation.
    bool key_valid = false;       // slot 0: key holds a master key to continue from
    std::int64_t resume = -1;     // detail slots: the record after a deleted current one
    std::int64_t steps = 0;       // detail slots: records stepped since the chain head
    std::int64_t step_limit = 0;  // most records the file can hold, as last computed
    // Detail slots: pointer 1 of the header as the last read decoded it, and
    // the eight digits it was decoded from (used only while the header still
    // holds them; link -1: nothing decoded).
    std::uint64_t link_digits = 0;
    std::int64_t link = -1;
};

// Read-ahead of the data file, used while the handle holds the update (or
// exclusive) lock: no other process can change the file then, so bytes read
// once stay valid; the handle's own writes go into them as they go to the
// file. Unlock and close drop everything. Outside the lock a single call may
// use it for one walk along a chain; it is dropped when the call returns.
//
// The bytes are held in runs (extents) that never overlap. A read that
// misses fetches a run starting at the record it wants, as long as the
// records that belong with it are expected to be: up to the next master
// record the handle knows of (the records of a master usually follow it),
// else about as much as recent fetches were read of. A chain that runs past
// the end of a run makes it longer.
struct isam_read_cache {
    struct extent {
        std::int64_t start = -1;       // file position of data[0], -1 unused
        std::unique_ptr<char[]> data;  // capacity bytes, the first size of them held
        std::size_t size = 0;
        std::size_t capacity = 0;
        bool used = false;  // read since the replacement hand last passed
    };
    std::vector<extent> extents;
    std::vector<std::size_t> spare;                // unused entries of extents
    std::map<std::int64_t, std::size_t> by_start;  // start -> index in extents
    // What released extents leave behind, kept (a few of each) for the next
    // fetches so that fetching does not allocate every time.
    struct free_buffer {
        std::unique_ptr<char[]> data;
        std::size_t capacity = 0;
    };
    std::vector<free_buffer> free_buffers;
    std::vector<std::map<std::int64_t, std::size_t>::node_type> free_nodes;
    std::size_t bytes = 0;   // held in all extents
    std::size_t hand = 0;    // next extent the replacement looks at
    std::int64_t last = -1;  // extent of the last hit
    // Learning the size of a fetch: the run most recently fetched, the
    // furthest of its bytes read so far, where the next known master
    // followed it (-1 none), what runs typically got read, and how often
    // (of 256) a run was read up to the next known master.
    std::int64_t run_start = -1;
    std::int64_t run_reach = 0;
    std::int64_t run_mark = -1;
    std::size_t typical = 0;
    unsigned whole = 128;
    // Where master records start: one bit per bucket of 2^mark_shift bytes.
    std::vector<std::uint64_t> masters;
    int mark_shift = 0;
    std::unordered_map<std::string, std::int32_t> positions;  // master key -> position, 0 absent
    std::string probe;  // the key being looked up in positions
    struct first_match {
        std::int64_t position = 0;  // 0: no key matches
        std::vector<char> key;      // the matching index key
    };
    std::unordered_map<std::string, first_match> patterns;  // pattern -> its first match
    std::int64_t file_size = -1;                            // data file size, -1 not known
    bool transient = false;  // held for the current call only (no lock)
};

// Write-behind of the handle's appends while it holds the update (or
// exclusive) lock, for a handle that asked for it (isam_set_write_behind).
// The lines appended since the last write-out wait in tail, the bytes that
// belong at the file's end (base: its size when the tail began); rewrites of
// records in the tail go into it. One rewrite before base (typically the
// record that links the first line of the tail) waits in held and is written
// after the tail, so that the file never points at bytes it does not have
// yet. Everything is written out before the index changes, when the tail
// grows large, at isam_write_out, unlock, close, zap and rebuild; reads under
// the lock see it through the read-ahead.
struct isam_write_behind {
    bool enabled = false;        // appends may be held back
    std::int64_t base = -1;      // file position of tail[0]
    std::string tail;            // appended bytes not yet in the file
    std::int64_t held_pos = -1;  // position of the held rewrite
    std::string held;            // its bytes (empty: none)
    std::int16_t held_code = 0;  // the code its failure reports
};

// The keyed file handle. Create with isam_open, free with isam_close (or let
// the owning isam_ptr go, which closes quietly).
struct isam_handle {
    std::uint16_t magic = ISAM_MAGIC;  // cleared when the handle is freed
    int sys_errno = 0;                 // system error number of the last failure
    std::int64_t detail = 0;           // slot or record position of the last failure
    std::int16_t code = 0;             // result code of the last operation
    btree_ptr index;                   // the ".KEY" index
    int fd = -1;                       // data file descriptor
    unsigned flags = 0;                // ISAM_FL_...
    int kinds = 0;                     // N
    std::string pattern;               // pattern of a pattern read (< key length + 64)
    std::string path;                  // data file path
    std::array<char, ISAM_NAME_SIZE + 4 + 1> ident{};  // identity name and format value
    isam_match_fn match = nullptr;                     // pattern match function
    int format = 0;                                    // the header's format value
    std::array<isam_slot, ISAM_NSLOTS> slots;

    // Bookkeeping of this implementation.
    int index_error = 0;       // index error code saved for the error text
    isam_read_cache cache;     // read-ahead while locked
    isam_write_behind behind;  // appends not yet written (under the lock only)
    bool unsynced = false;     // the data file was written since it was last flushed to disk
    bool ix_at_key = false;    // under the lock: the index position is on slots[0].key
    // Work areas of the record reads and appends, sized as they are used.
    std::vector<char> work_hdr, work_data, work_key, work_probe, work_line;
    std::vector<char> work_view, work_record;  // lines and records handed out in place
};

struct isam_closer {
    void operator()(isam_handle* h) const;  // closes quietly and frees
};
using isam_ptr = std::unique_ptr<isam_handle, isam_closer>;

// ---- operations -------------------------------------------------------------

// Opens a keyed data file and its index. desc may be null (the file's own
// layout is used); with a description the file must match it, and its format
// value is returned in desc->format. On failure *out is empty and *msg (when
// given) holds the error text; on success *msg is emptied.
std::int16_t isam_open(isam_ptr* out, const char* path, isam_file_desc* desc, int access,
                       int open_flags, std::string* msg);

// Writes out the held-back appends, closes the index and the data file and
// frees the handle (*handle becomes empty) in every case except a foreign
// handle (code 2, left alone). On failure *msg receives the error text.
std::int16_t isam_close(isam_ptr* handle, std::string* msg);

// Reads a record of the slot into record (which must hold the slot's record
// length). key is the key text of modes 3, 4 (and the pattern of mode 5), a
// zero-terminated text: master key for slot 0, master key and sub-key for a
// detail slot; it may be null for the other modes.
std::int16_t isam_read(isam_handle* h, void* record, int mode, const char* key, int slot);

// The same read without a copy for the caller: *record points at the
// record's data (the slot's record length) where the handle holds it, valid
// until the next operation on the handle; untouched on failure. Results,
// codes and the slot's state are those of isam_read. Reading the records of
// a chain one after the other under the lock copies nothing but the header
// and key the slot keeps.
std::int16_t isam_read_view(isam_handle* h, const char** record, int mode, const char* key,
                            int slot);

// Appends a new master (slot 0) or detail record (the slot's record length
// bytes). A detail record belongs to the current master. Under the lock the
// new line may wait in the handle's write-behind tail (see isam_write_behind
// and isam_set_write_behind); a master and everything appended before it are
// written out before its key goes into the index. When a write-out fails,
// the operation that caused it fails with the code of what was carried, and
// the records that were waiting (possibly added by earlier calls) are not in
// the file.
std::int16_t isam_add(isam_handle* h, const void* record, int slot);

// Rewrites the slot's current record in place; the key must not change.
std::int16_t isam_replace(isam_handle* h, const void* record, int slot);

// Deletes the slot's current record; slot 0 deletes the master with all its
// details.
std::int16_t isam_delete(isam_handle* h, int slot);

// Takes the update lock (request bit 0: exclusive) and refreshes the index.
std::int16_t isam_lock(isam_handle* h, int request);

// Writes out the held-back appends, flushes the data file and the index and
// releases the update lock. An exclusive-mode handle keeps its lock, but its
// held-back appends are written out all the same. A failed write-out is
// reported with the code of what it carried (243 an append, 350 a record
// header rewrite); the file is cut back to its size before the write-out.
std::int16_t isam_unlock(isam_handle* h);

// Empties the file (header only) and its index. Refused (481) while another
// process has the file open.
std::int16_t isam_zap(isam_handle* h);

// Rewrites the file without its deleted records and rebuilds the index.
// Refused (481) while another process holds a lock on the records.
std::int16_t isam_rebuild(isam_handle* h);

// Replaces the pattern match function (null restores the default).
std::int16_t isam_set_match(isam_handle* h, isam_match_fn fn);

// Lets the handle hold its appends back while it holds the update lock
// (nonzero), or makes every change go to the file before the call that made
// it returns (0, the default; what is held back is written out first, with
// the result of isam_write_out). A caller that turns it on calls
// isam_write_out at the end of each of its own operations, so that a failed
// write-out fails the operation whose records were lost.
std::int16_t isam_set_write_behind(isam_handle* h, int on);

// Writes out what the handle holds back: ISAM_OK when nothing is held. A
// failed write-out reports the code of what it carried (243 an appended
// record, 350 a record header rewrite, 241 a replaced record) and cuts the
// file back to its size before the held-back appends: those records are
// lost, no half-written line stays, and nothing in the file points at them.
std::int16_t isam_write_out(isam_handle* h);

// The header's format value, or -1 without a valid handle.
int isam_format(isam_handle* h);

// The stored result code (also returned) and system error number; detail may
// be null.
std::int16_t isam_status(const isam_handle* h, std::int16_t* code, int* sys_errno,
                         std::int64_t* detail = nullptr);

// Formats the error text for the stored code into *text (empty for code 0).
// Returns the code the text is for (1 or 2 for a missing or foreign handle).
std::int16_t isam_error_text(const isam_handle* h, std::string* text);

// Creates a new data file with the description's header (mode 0600, refused
// when the file exists). On success the file stays open read-write and its
// descriptor goes to *fd (closed when fd is null). Codes 30, 31, 32; on
// failure the new file is removed and *sys_errno (when given) is set.
std::int16_t build_datafile(const char* path, const isam_file_desc& desc, int* fd, int* sys_errno);

// Layout helpers for callers that size buffers: the record length and key
// length of a slot (full detail key: master key and sub-key), or -1 for an
// invalid handle or slot.
int isam_record_length(const isam_handle* h, int slot);
int isam_key_length(const isam_handle* h, int slot);

// ---- chains in file order -----------------------------------------------------

// The chain of one master met by isam_scan_chains, walked as a read walks it
// (isam_read: ISAM_READ_FIRST, then ISAM_READ_NEXT), over the bytes the scan
// has read.
class isam_chain_cursor {
  public:
    enum class step {
        record,   // the next record; *data receives its record data
        end,      // the chain ends: a read of the next record would find none
        unknown,  // not vouched for: a read must go on from here
    };
    step next(const char** data);

    // Set up on the master record line at pos among the bytes of window
    // (file positions off to end); false, and stopped, when a read of a
    // master there would not return that record.
    bool start(const isam_handle* h, int n, const char* window, std::int64_t off, std::int64_t end,
               std::int64_t pos, std::int64_t bound, const char** data);

  private:
    const isam_handle* h_ = nullptr;
    int n_ = 0;
    const char* window_ = nullptr;  // the bytes read, from file position off_
    std::int64_t off_ = 0;
    std::int64_t end_ = 0;
    std::size_t line_ = 0;  // a record line of the chain's kind
    std::int64_t bound_ = 0;
    const char* master_data_ = nullptr;
    std::int64_t pos_ = 0;  // the next record's position, -1 when not a pointer
    std::int64_t steps_ = 0;
    bool stopped_ = true;  // until started
};

// What isam_scan_chains finds at each position it was given.
class isam_chain_visitor {
  public:
    virtual ~isam_chain_visitor() = default;
    // The position's master record: its record data, and a cursor on its
    // chain (both valid during the call); data is null when the scan cannot
    // vouch for a master record there (a read must find out). False stops
    // the scan.
    virtual bool master(std::int64_t pos, const char* data, isam_chain_cursor& chain) = 0;
};

// Reads the data file in long sequential reads, under the update lock, and
// hands the visitor the master record at each of the positions (rising),
// with a cursor on its chain of kind n: the record only when a read of a
// master there would return it, with exactly those bytes. The cursor gives a
// chain record only when a read walking the chain from its master
// (isam_read: ISAM_READ_FIRST, then ISAM_READ_NEXT) would return it, with
// exactly those bytes; it stops at the first record it cannot vouch for (not
// among the bytes read with the master, or anything a read would reject), so
// that a caller reads on from there with isam_read and meets whatever a read
// meets. Records already held back for writing are not seen: the scan
// refuses a handle holding appends. Nothing is stored in the handle: a
// failure returns its code (4 not open, 5 no update lock, 239 bad kind, 11 a
// read failed) and the visits made up to it stand.
std::int16_t isam_scan_chains(isam_handle* h, int n, const std::vector<std::int64_t>& positions,
                              isam_chain_visitor& visitor);

// The master record at pos and its chain of kind n from one read, under the
// update lock: reads up to length bytes from pos into *buffer and, when a read
// of a master at pos would return the record there, sets *data to its record
// data and starts *chain on those bytes (see isam_scan_chains). Nothing is
// stored in the handle: returns ISAM_OK, or 4 not open, 5 no update lock, 239
// bad kind, 11 the read failed, 247 no such master record there; the caller
// then reads as usual.
std::int16_t isam_chain_at(isam_handle* h, int n, std::int64_t pos, std::int64_t length,
                           std::vector<char>* buffer, const char** data, isam_chain_cursor* chain);

// Walks the index in key order, under the update lock, giving visit every
// master key that a pattern read (ISAM_READ_PATTERN, then ISAM_READ_NEXT)
// with this pattern would go through, and the position the index holds for
// it; visit returns false to stop. No record is read and no slot changes;
// the next read positions the index again. Nothing is stored in the handle:
// returns ISAM_OK, or 4 not open, 5 no update lock, 41 pattern too long, 456
// the index could not be read.
std::int16_t isam_walk_keys(
    isam_handle* h, const char* pattern,
    const std::function<bool(const char* key, int length, std::int64_t position)>& visit);
