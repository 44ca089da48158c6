// Structural check of a keyed data file and its index, read-only and
// independent of any handle, for the administrator's tools and the tests.
//
// The data file side checks the header, the syntax of every record line
// (type characters, pointer fields, record length, newline), the detail
// chains of every live master (pointers that lead to record starts of the
// right kind and master, ascending sub-key order, termination, no record in
// two chains) and that every live detail hangs in a chain. The index side is
// the index file's own structural check; when that finds the index sound its
// keys are compared with the live master keys and their positions.
//
// Nothing here trusts the file: every position is checked before it is
// followed, chain walks stop at the first record seen twice, and reads go
// through bounded buffers, so a hostile file gives fault lines, never a crash
// or an endless walk.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "utils/libs/isamacc.h"

// Receives one line (without newline) per fault found.
using isam_check_report = std::function<void(const std::string& line)>;

// The layout read from a data file's header.
struct isam_file_layout {
    std::string version;  // the 4 version characters
    int format = 0;       // format value
    std::string name;     // identity name, trailing blanks removed
    int kinds = 0;        // N
    std::array<isam_slot_desc, ISAM_NSLOTS> slots{};

    int header_length() const { return 2 + ISAM_POINTER_SIZE * kinds; }
    // Bytes of a record line of the slot: record header, data, newline.
    std::int64_t line_length(int slot) const {
        return header_length() + slots[static_cast<std::size_t>(slot)].record_length + 1;
    }
};

// What a record line was taken for.
enum : int {
    ISAM_LINE_MASTER = 0,    // "DM"
    ISAM_LINE_DETAIL1 = 1,   // "D1"
    ISAM_LINE_DETAIL2 = 2,   // "D2"
    ISAM_LINE_DELETED = -1,  // blank type characters
    ISAM_LINE_BAD = -2,      // unknown type or broken line; length up to the next newline
};

// One record line found by the scan.
struct isam_line {
    std::int64_t pos = 0;     // offset of its first byte
    std::int64_t length = 0;  // bytes up to and including its newline (or the end of the file)
    int kind = ISAM_LINE_BAD;
    std::string header;  // record header bytes as found (2 + 8 * N, fewer at the end of file)
    std::string key;     // master key, for a detail followed by its sub-key
    std::string data;    // record data, only when asked for
};

// One key of the index, in key order.
struct isam_index_entry {
    std::string key;
    std::int32_t value = 0;
};

struct isam_check_summary {
    isam_file_layout layout;
    bool header_usable = false;
    std::int64_t file_size = 0;
    std::int64_t masters = 0;
    std::array<std::int64_t, ISAM_NSLOTS> details{};  // by kind (index 0 unused)
    std::int64_t deleted = 0;
    std::int64_t bad_lines = 0;
    std::int64_t index_keys = 0;
    std::int32_t index_depth = 0;
    bool index_checked = false;  // the index was sound enough to compare its keys
};

// Parses the 94-byte header image (len bytes; fewer is a fault). Reports every
// fault; true when the layout is usable for reading the record lines.
bool isam_parse_header(const char* image, std::size_t len, isam_file_layout* layout,
                       const isam_check_report& report);

// Reads the header and every record line of a data file in file order.
// Returns the number of faults found in the lines themselves (not in the
// chains), or -1 when the file cannot be read or its header is unusable
// (reported as well). with_data keeps every line's record data.
int isam_scan_file(const char* path, bool with_data, isam_file_layout* layout,
                   std::vector<isam_line>* lines, const isam_check_report& report,
                   std::int64_t* file_size = nullptr);

// Reads the keys of an index file in key order along its leaf chain, without
// changing the file. Returns the number of faults met on the way (a sound
// index gives 0), or -1 when the file cannot be read at all. A zero-length
// file is an empty index.
int isam_index_entries(const char* index_path, std::vector<isam_index_entry>* entries,
                       const isam_check_report& report, std::int32_t* depth = nullptr);

// Checks the data file at path and its index (path + ".KEY"). Returns the
// number of faults reported; 0 means the pair is sound.
int isam_check(const char* path, const isam_check_report& report,
               isam_check_summary* summary = nullptr);

// The printable form of a byte string: printable ASCII as it is, '"' and '\\'
// escaped with a backslash, every other byte as \xHH; without quotes.
std::string isam_escape(const std::string& bytes);
// Position as 8 upper-case hex digits, as record pointers are written.
std::string isam_hex8(std::int64_t pos);
