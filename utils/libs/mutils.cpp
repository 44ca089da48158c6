// Program start-up and identity. See mutils.h.
#include "utils/libs/mutils.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "utils/libs/abiutil.h"
#include "utils/libs/stdutil.h"
#include "utils/libs/tokenutils.h"

namespace {

ProgramIdentity& kept_identity() {
    static ProgramIdentity id;
    return id;
}

void trim_trailing_blanks(std::string& s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.pop_back();
}

std::string upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// A field value: cut to width, without trailing blanks.
std::string field_value(const std::string& text, std::size_t width) {
    std::string s = text.substr(0, width);
    trim_trailing_blanks(s);
    return s;
}

// Reads a decimal number the way atoi does (leading blanks and a sign,
// reading stops at the first other character, no digits give 0), except that
// a value out of range saturates instead of being undefined.
long decimal_value(const char* text) {
    return std::strtol(text, nullptr, 10);
}

// An environment variable as a number; false (value 0) when it is not set.
// The full value is kept: a 16-bit cut would let 65659 pass for 123.
bool env_value(const char* name, long& value) {
    const char* text = std::getenv(name);
    value = text != nullptr ? decimal_value(text) : 0;
    return text != nullptr;
}

std::int16_t clamp16(long v) {
    return static_cast<std::int16_t>(std::clamp<long>(v, INT16_MIN, INT16_MAX));
}

// A screen size from the first variable that is set, else the default; the
// record holds it minus 1.
std::int16_t screen_size(const char* first, const char* second, long fallback) {
    long v = 0;
    if (!env_value(first, v) && !env_value(second, v)) v = fallback;
    v = std::clamp<long>(v, long{INT16_MIN} + 1, long{INT16_MAX} + 1);
    return static_cast<std::int16_t>(v - 1);
}

bool is_version_request(const char* arg) {
    if (arg == nullptr || std::strlen(arg) > kVersionArgMax) return false;
    const std::string u = upper(arg);
    return u == "VERSION" || u == "-V";
}

}  // namespace

std::string revision_number(const char* revision) {
    if (revision == nullptr) return {};
    std::string r = revision;
    const std::size_t blank = r.find(' ');
    if (blank != std::string::npos) {
        r.erase(0, blank + 1);
        if (!r.empty()) r.pop_back();
        trim_trailing_blanks(r);
    }
    if (r.size() > kIdentityRevisionMax) r.resize(kIdentityRevisionMax);
    return r;
}

std::string banner_line(const ProgramIdentity& id) {
    std::string line = field_value(id.product, kIdentityProductWidth);
    line += field_value(id.program, kIdentityProgramWidth);
    line += ' ';
    line += field_value(id.version, kIdentityVersionWidth);
    line += ' ';
    if (id.flags & ID_BANNER_REVISION) {
        line += '(';
        line += id.revision.substr(0, kIdentityRevisionMax);
        line += ") ";
    }
    line += kBannerNotice;
    if (line.size() > kBannerWidth) line.resize(kBannerWidth);
    return line;
}

void print_banner(const ProgramIdentity& id, std::FILE* out) {
    if (out == nullptr) return;
    std::fprintf(out, "%s\n", banner_line(id).c_str());
}

void print_revision(const ProgramIdentity& id, std::FILE* out) {
    if (out == nullptr) return;
    std::fprintf(out, "%s%s\n", kRevisionLabel,
                 id.revision.substr(0, kIdentityRevisionMax).c_str());
}

int program_start(std::string& identity_text, const char* revision, ProgramIdentity& id,
                  unsigned options, int argc, const char* const* argv) {
    (void)options;  // none of the optional behaviours is used
    set_home_from_module();

    if (argv == nullptr || argc < 0) argc = 0;

    // The arguments: the version request, then -debug and -parm.
    const bool has_argument = argc > 1 && argv[1] != nullptr;
    const bool version_request = has_argument && is_version_request(argv[1]);
    bool debug = false;
    std::int16_t parameter = 0;
    for (int i = 0; i < argc; ++i) {
        if (argv[i] == nullptr) continue;
        if (std::strcmp(argv[i], "-debug") == 0) {
            debug = true;
        } else if (std::strcmp(argv[i], "-parm") == 0) {
            if (i + 1 < argc && argv[i + 1] != nullptr) {
                parameter = clamp16(decimal_value(argv[i + 1]));
            }
            break;
        }
    }

    id = ProgramIdentity{};
    id.program = upper(field_value(identity_text, kIdentityProgramWidth));
    id.version = kProgramVersion;
    id.revision = revision_number(revision);

    // A missing registry entry has been reported; start-up goes on without a
    // group.
    installation_group(id.group);
    if (id.group.size() > kIdentityGroupMax) id.group.resize(kIdentityGroupMax);

    if (has_argument) id.flags |= ID_ARGUMENTS;
    if (version_request) id.flags |= ID_VERSION;
    id.flags |= ID_BANNER_REVISION;
    for (std::size_t i = 0; i < identity_text.size() && i < kIdentityProgramWidth; ++i) {
        identity_text[i] =
            static_cast<char>(std::toupper(static_cast<unsigned char>(identity_text[i])));
    }
    id.started = 1;
    id.product = kProductText;

    print_banner(id, stdout);
    if (version_request) print_revision(id, stdout);

    long value = 0;
    if (env_value("CCCTEST", value) && value == 123) {
        id.flags |= ID_TEST_MODE;
    } else {
        id.flags &= ~std::uint32_t{ID_TEST_MODE};
    }
    id.flags &= ~std::uint32_t{ID_RESERVED20};

    if (version_request) {
        kept_identity() = id;
        std::fflush(stdout);
        std::fflush(stderr);
        std::exit(0);
    }

    if (env_value("DSTEST", value) && value == 1) {
        id.flags |= ID_TEST_MODE2;
    } else {
        id.flags &= ~std::uint32_t{ID_TEST_MODE2};
    }

    id.screen_lines = screen_size("VORTANLINES", "LINES", 24);
    id.screen_columns = screen_size("VORTANCOLUMNS", "COLUMNS", 80);

    std::fflush(stdout);
    std::fflush(stderr);

    // Acting as the program file's owner.
    become_program_owner();

    if (debug) id.flags |= ID_DEBUG;
    id.parameter = parameter;
    kept_identity() = id;
    return parameter;
}

const ProgramIdentity& program_identity() {
    return kept_identity();
}

void program_identity_reset() {
    kept_identity() = ProgramIdentity{};
}
