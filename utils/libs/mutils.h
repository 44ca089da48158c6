// Program start-up: the identity record, the banner line, the version request
// and the environment switches every program of the system reads first.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// Widths of the identity record's text fields. Longer values are cut.
constexpr std::size_t kIdentityProductWidth = 32;
constexpr std::size_t kIdentityProgramWidth = 8;
constexpr std::size_t kIdentityVersionWidth = 8;
constexpr std::size_t kIdentityRevisionMax = 31;  // 32 bytes with the terminator
constexpr std::size_t kIdentityGroupMax = 37;     // 38 bytes with the terminator
// The banner line is at most this many characters long.
constexpr std::size_t kBannerWidth = 256;
// A first argument longer than this is never a version request.
constexpr std::size_t kVersionArgMax = 15;

// Flags of the identity record.
enum : std::uint32_t {
    ID_DEBUG = 0x1,             // "-debug" before any "-parm"
    ID_TEST_MODE = 0x2,         // CCCTEST is 123: the user counts as a super user
    ID_TEST_MODE2 = 0x4,        // DSTEST is 1
    ID_ARGUMENTS = 0x8,         // the program has at least one argument
    ID_VERSION = 0x10,          // the first argument is VERSION or -V (any case)
    ID_RESERVED20 = 0x20,       // always cleared
    ID_BANNER_REVISION = 0x800  // the banner shows the revision
};

// Texts of this program.
constexpr const char* kProductText = "VORTAN for WINDOWS NT/";
constexpr const char* kProgramVersion = "6.0";
constexpr const char* kKorvexIdentity = "KORVEX";
constexpr const char* kKorvexRevision = "$Revision: 3.21.1.11.1.5.2.2 $";
constexpr const char* kRevisionLabel = "Program patch revision: ";
// Our own notice at the end of the banner line; it begins with a blank.
constexpr const char* kBannerNotice = " KORVEX for Linux: a rebuild of the Windows NT program";

// The identity record. The text fields hold their values without padding:
// product, program (upper case) and version are at most as wide as their
// fields, revision and group at most their maximum lengths.
struct ProgramIdentity {
    std::string product;
    std::string program;
    std::string version;
    std::string revision;
    std::int16_t started = 0;  // 1 once program_start has filled the record
    std::int16_t reserved = 0;
    std::uint32_t flags = 0;          // ID_...
    std::int16_t screen_lines = 0;    // terminal lines minus 1
    std::int16_t screen_columns = 0;  // terminal columns minus 1
    std::int16_t parameter = 0;       // the value of -parm, else 0
    std::string group;                // the installation's group
};

// Start-up option bits. This program uses none of the optional behaviours, so
// it passes 0; the argument keeps the common call shape.
enum : unsigned { START_DEFAULT = 0 };

// Starts the program: sets the home directory from the executable's path,
// fills id, prints the banner line on standard output and reads the
// environment switches. A first argument "VERSION" or "-V" (any case) prints
// the revision line too and ends the process with exit status 0.
// identity_text: the program's identity (upper-cased in place, first 8
// characters); revision: the program's revision string ("$Revision: N $").
// Returns the -parm value (0 without one). The record is also kept for
// program_identity().
int program_start(std::string& identity_text, const char* revision, ProgramIdentity& id,
                  unsigned options, int argc, const char* const* argv);

// Writes the banner line to out.
void print_banner(const ProgramIdentity& id, std::FILE* out);
// Writes "Program patch revision: " and the revision as one line to out.
void print_revision(const ProgramIdentity& id, std::FILE* out);

// The banner line without its line feed.
std::string banner_line(const ProgramIdentity& id);
// The revision number of a revision string: the part after the first blank,
// without its last character and trailing blanks; a string without a blank is
// taken whole. Cut to kIdentityRevisionMax characters.
std::string revision_number(const char* revision);

// The record filled by the last program_start of this process (all zero
// before it).
const ProgramIdentity& program_identity();
// Test hook: forget the kept record.
void program_identity_reset();
