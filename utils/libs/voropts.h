// Options files: key = value lines in "localopts" (this workstation) and
// "globalopts" (the whole network). Every setting is looked up in the near
// file, then in the far file, then falls back to its default.
//
//   global, near   <home>/brantis/globalopts
//   global, far    <home>/../telvar/network/globalopts
//   local, near    <home>/localopts
//   local, far     <home>/../telvar/localopts
//
// Line syntax: lines hold at most 255 characters (the rest of a longer line
// is dropped). A line beginning with '#' or '*' is a comment. Words are split
// at blank, tab, newline and '='; a '#' ends the words and the rest of the
// line is a comment. The words before the first word ended by '=' form the
// key (lower-cased and joined without blanks: "Brantis Directory = x" defines
// brantisdirectory); the single word after the '=' is the value, which keeps
// its case. The first line with a matching key wins, even without a value.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <variant>

// ---- files and lines --------------------------------------------------------

// The longest line the readers look at; the rest of a longer line is read and
// dropped, so the next line is always read from its beginning.
constexpr int kOptionsLineMax = 255;

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f != nullptr) std::fclose(f);
    }
};
// An open options file, closed when the owner goes.
using OptionsFile = std::unique_ptr<std::FILE, FileCloser>;

// Opens a file for reading; null when it is missing, cannot be opened or is a
// directory.
OptionsFile open_options_file(const std::string& path);

// Reads the next line (without its line feed) into line, keeping at most
// limit characters and dropping the rest of a longer line. False at the end
// of the file or on a read error, when nothing was read.
bool read_options_line(std::FILE* file, std::string& line, int limit = kOptionsLineMax);

// The key and the value of one options line. has_key is false for comments,
// lines of fewer than 2 characters and lines without a word ended by '='.
struct OptionLine {
    bool has_key = false;
    std::string key;  // lower case, words joined without blanks
    std::string value;
};
OptionLine parse_option_line(std::string_view line);

// Rewinds the file and looks for the first line whose key is key (compared
// case-insensitively); its value goes to value. value is emptied first, so an
// empty value means absent or empty. Returns true when a line matched (even
// one without a value). A null file matches nothing.
bool find_option(std::FILE* file, std::string_view key, std::string& value);

// The readers of workstation names: reads the file at path line by line
// (comment lines skipped) for a line whose first word, lower-cased, is key1
// or key2 and is not ended by '#'; the next word, upper-cased, cut to width
// characters and without trailing blanks, is returned. No '=' is needed
// between the two words. A line whose name comes out empty is passed over.
// Empty when the file is missing or has no such line.
std::string find_leading_word_value(const std::string& path, std::string_view key1,
                                    std::string_view key2, int width);

// ---- the general options call -----------------------------------------------

// Numbers of the keys a caller may ask for.
enum : int {
    OPT_COMPANY = 1,
    OPT_HISTORY = 2,
    OPT_START = 3,
    OPT_CARRYFORWARD = 4,
    OPT_SKIPINSTALLATION = 5,
    OPT_RULESMODE = 6,
    OPT_IGNORECALENDARS = 7,
    OPT_RETAINRERUNJOBNAME = 8,
    OPT_EMPTYSCHEDSARESUCC = 9,
    OPT_NETWORKNAME = 11,
    OPT_ALLUSERJOBSINUSERJOBSSCHEDULE = 12,
    OPT_SETMPEJOBPRITOZERO = 13,
    OPT_KEEPMPEPRI = 15,
    OPT_CONSOLEWIDTH = 41,
    OPT_STDLISTWIDTH = 42,
    OPT_SYSLOGLOCAL = 43,
    OPT_MERGESTDLISTS = 44,
    OPT_CARRYJOBSTATES = 49,
    OPT_EXPANDEDVERSION = 53,
    OPT_VORTANDIRECTORY = 54,
    OPT_TELVARNETWORKDIRECTORY = 55,
    OPT_PARAMETERSDIRECTORY = 56,
    OPT_AUTOMATICALLYGRANTLOGONASBATCH = 57,
};

enum class OptionType {
    text,           // any word; empty means absent
    short_number,   // a word beginning with a decimal digit, 16 bits
    long_number,    // as short_number, 32 bits
    boolean,        // YES/ON/TRUE, NO/OFF/FALSE or a unique prefix
    carry_forward,  // yes 1, no 0, all 2 (whole words), 16 bits
};

enum class OptionGroup { global, local };

struct OptionKey {
    int number;
    const char* key;
    OptionGroup group;
    OptionType type;
    std::int32_t default_value;  // 0 for text keys, whose default is empty
};

// The key table; null for a number that names no key.
const OptionKey* option_key(int number);
std::span<const OptionKey> option_keys();

// Where a value came from.
enum : int {
    OPTION_DEFAULT = 0,
    OPTION_NEAR = 1,
    OPTION_FAR = 2,
};

// Destination of one value. Text keys take a std::string; short numbers and
// carry-forward a 16-bit (or 32-bit) integer; long numbers a 32-bit integer;
// booleans a bool or a one-byte flag (1 or 0).
using OptionDest = std::variant<std::string*, std::int16_t*, std::int32_t*, bool*, std::uint8_t*>;

struct OptionRequest {
    int number;
    OptionDest dest;
};

// Fills every request's destination with its key's value and sources[i] with
// the source of request i (OPTION_NEAR, OPTION_FAR or OPTION_DEFAULT). sources
// may be shorter than requests (even empty): the sources past its end are not
// reported. The files are opened as needed and closed before the call
// returns; missing files are skipped. A request with an unknown number, a
// null destination or a destination of the wrong kind is refused: it is left
// untouched with source OPTION_DEFAULT. Returns the number of refused
// requests (0 when all were served).
int get_options(std::span<const OptionRequest> requests, std::span<int> sources = {});
