#include "utils/libs/issuemsg.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/catalogs.h"
#include "utils/libs/dateutil.h"
#include "utils/libs/stdutil.h"

namespace {

// Catalog names by product (set value / 1000). 1 holds the shared modules'
// sets, 2 this program's own; the others belong to products this program
// never addresses.
constexpr int kProducts = 13;
constexpr int kMaxProduct = kProducts - 1;
constexpr std::array<const char*, kProducts> kProductNames = {
    "", "telvar", "vortan", "", "", "", "", "", "", "", "", "", ""};

constexpr int kLineWidth = 78;
constexpr int kDefaultSetValue = 0;
constexpr int kSlots = 5;
constexpr std::size_t kLongString = 2100;  // longer strings keep trailing blanks
constexpr int kSuffixRoom = 11;            // " [pppp.nn]" and the terminator

constexpr int kDateFormatSet = 1050;
constexpr int kDateFormatNumber = 35;

const char kFallbackText[] = "NO MSG: !1,!2,!3,!4,!5";

struct MsgState {
    // nullptr: not opened yet; otherwise an open catalog or the failure
    // marker, kept so that a missing catalog is tried only once.
    std::array<plat::catalog_t, kProducts> catalog{};
    int line_width = kLineWidth;
    std::int16_t date_format = 0;
    int default_set = kDefaultSetValue;
};

MsgState g_state;
bool g_created = false;
MsgExitHook g_exit_hook = nullptr;

bool is_white(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// ---------------------------------------------------------------------------
// Argument texts

// The converted arguments, one after another in a fixed work area whose
// first byte stays 0 so that it doubles as the empty string.
struct ArgArea {
    char text[kMsgTextSize];
    std::size_t used = 1;
    std::array<const char*, kSlots> slot;

    ArgArea() {
        text[0] = '\0';
        slot.fill(text);
    }

    // Stores the first n characters of s (as many as fit) and returns them.
    const char* put(const char* s, std::size_t n) {
        const std::size_t room = sizeof(text) - used;
        if (room == 0) return text;
        if (n > room - 1) n = room - 1;
        char* start = text + used;
        std::memcpy(start, s, n);
        start[n] = '\0';
        used += n + 1;
        return start;
    }
    const char* put(const char* s) { return put(s, std::strlen(s)); }
};

// A NUL-terminated string: leading white space skipped; trailing white
// space removed too when the string is not very long.
const char* convert_string(ArgArea& area, const char* s) {
    if (s == nullptr) return area.text;
    while (is_white(*s))
        ++s;
    std::size_t n = strnlen(s, kLongString);
    if (n < kLongString) {
        while (n > 0 && is_white(s[n - 1]))
            --n;
    } else {
        n = strnlen(s, sizeof(area.text));
    }
    return area.put(s, n);
}

// A field of exactly width characters, not necessarily terminated; a zero
// byte inside it ends it early. Blank fields give one blank.
const char* convert_field(ArgArea& area, const char* f, long width) {
    if (f == nullptr) return area.text;
    const void* nul = std::memchr(f, '\0', static_cast<std::size_t>(width));
    std::size_t end = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - f)
                          : static_cast<std::size_t>(width);
    std::size_t begin = 0;
    while (begin < end && is_white(f[begin]))
        ++begin;
    while (end > begin && is_white(f[end - 1]))
        --end;
    if (begin == end) return area.put(" ", 1);
    return area.put(f + begin, end - begin);
}

const char* convert_number(ArgArea& area, const char* format, long value) {
    char buf[32];
    int n = std::snprintf(buf, sizeof buf, format, value);
    if (n < 0) n = 0;
    return area.put(buf, static_cast<std::size_t>(n) < sizeof buf ? n : sizeof buf - 1);
}

const char* convert_job(ArgArea& area, std::int32_t value) {
    const std::uint32_t bits = static_cast<std::uint32_t>(value);
    char buf[32];
    if ((bits & 0xF0000000u) == 0xF0000000u) {
        std::snprintf(buf, sizeof buf, "#J%ld", -static_cast<long>(value));
    } else if (bits & 0x40000000u) {
        std::snprintf(buf, sizeof buf, "#S%ld",
                      static_cast<long>(static_cast<std::int32_t>(bits & ~0x40000000u)));
    } else {
        std::snprintf(buf, sizeof buf, "#J%ld", static_cast<long>(value));
    }
    return area.put(buf);
}

const char* convert_hhmm(ArgArea& area, std::int32_t value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%d:%02d", value / 100, value % 100);
    return area.put(buf);
}

const char* convert_ipv4(ArgArea& area, std::int32_t value) {
    const std::uint32_t a = static_cast<std::uint32_t>(value);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", (a >> 24) & 0xFFu, (a >> 16) & 0xFFu,
                  (a >> 8) & 0xFFu, a & 0xFFu);
    return area.put(buf);
}

const char* convert_date(ArgArea& area, std::int32_t value, int date_format) {
    char buf[kFormatBufSize];
    buf[0] = '\0';
    int n = format_date(value, buf, sizeof buf, date_format);
    if (n <= 0) return area.text;
    buf[sizeof buf - 1] = '\0';
    return area.put(buf);
}

const std::int32_t* int_ptr(const MsgArg& a) {
    return static_cast<const std::int32_t*>(a.ptr);
}

// Walks the typed argument list until five slots are filled or a type code
// above 13 (the terminator among them) ends it.
void convert_args(ArgArea& area, MsgArgs args, int date_format) {
    int filled = 0;
    for (const MsgArg& a : args) {
        if (filled == kSlots) break;
        const char* text = area.text;
        if (a.type < 0) {
            const long width = -static_cast<long>(a.type);
            text = convert_field(area, static_cast<const char*>(a.ptr), width);
        } else {
            switch (a.type) {
                case MA_STR:
                    text = convert_string(area, static_cast<const char*>(a.ptr));
                    break;
                case MA_INT:
                    text = convert_number(area, "%ld", a.value);
                    break;
                case MA_PINT:
                    if (int_ptr(a)) text = convert_number(area, "%li", *int_ptr(a));
                    break;
                case MA_EMPTY:
                    break;
                case MA_ERRNO:
                case MA_ERRNO5:
                    text = area.put(std::strerror(a.value));
                    break;
                case MA_SKIP6:
                case MA_SKIP7:
                    continue;
                case MA_DATE:
                    text = convert_date(area, a.value, date_format);
                    break;
                case MA_INT6:
                    text = convert_number(area, "%6ld", a.value);
                    break;
                case MA_PINT11:
                    if (int_ptr(a)) text = convert_number(area, "%11li", *int_ptr(a));
                    break;
                case MA_JOB:
                    text = convert_job(area, a.value);
                    break;
                case MA_HHMM:
                    text = convert_hhmm(area, a.value);
                    break;
                case MA_IPV4:
                    text = convert_ipv4(area, a.value);
                    break;
                default:  // the terminator, and every code above 13
                    return;
            }
        }
        area.slot[filled++] = text;
    }
}

// ---------------------------------------------------------------------------
// Catalogs and lookup

void open_msg_catalog(MsgState& st, int product) {
    const char* name = kProductNames[product];
    if (name[0] == '\0') {
        // No catalog belongs to this product: the slot stays empty.
        errno = ENOENT;
        return;
    }
    plat::catalog_t cat = plat::catalog_open(name, 0);
    if (cat != plat::catalog_failed() && cat != nullptr) {
        const char* signature = plat::catalog_get(cat, 1, 1);
        if (signature != nullptr && std::strncmp(signature, name, std::strlen(name)) == 0) {
            st.catalog[product] = cat;
            return;
        }
        plat::catalog_close(cat);
    }
    const std::string path = make_abs_path(std::string("catalog/") + name + ".cat");
    cat = plat::catalog_open(path.c_str(), 0);
    const int err = errno;
    st.catalog[product] = cat;
    if (cat == plat::catalog_failed()) {
        std::fprintf(stderr, "catopen on %s error: %s\n", path.c_str(), std::strerror(err));
    }
    errno = err;
}

// Copies the catalog text into out (size bytes), expanding !1..!5 and the
// other escapes, then adds the reference suffix. Returns the final length.
int get_msg(MsgState& st, int set_value, int number, char* out, int size,
            const std::array<const char*, kSlots>& slot) {
    if (out == nullptr || size <= 0) return 0;

    int sv = set_value;
    if (sv == 0) sv = st.default_set;
    if (sv < 1000) sv += 2000;
    const int product = sv / 1000;
    int set = sv % 1000;
    int msg = number;
    if (set == 0) {
        set = number / 100;
        msg = number % 100;
    }

    errno = 0;
    const char* text = nullptr;
    const bool known_product = product >= 0 && product <= kMaxProduct;
    if (known_product) {
        if (st.catalog[product] == nullptr) open_msg_catalog(st, product);
        if (st.catalog[product] != nullptr) text = plat::catalog_get(st.catalog[product], set, msg);
    }
    char fallback[sizeof kFallbackText + 40];
    if (text == nullptr) {
        const int err = errno;
        if (!known_product) {
            std::snprintf(fallback, sizeof fallback, "%s [product > MAX] ", kFallbackText);
        } else if (st.catalog[product] == nullptr) {
            std::snprintf(fallback, sizeof fallback, "%s open failed %d ", kFallbackText, err);
        } else {
            std::snprintf(fallback, sizeof fallback, "%scatgets failed %d ", kFallbackText, err);
        }
        text = fallback;
    }

    const std::size_t cap = static_cast<std::size_t>(size) - 1;
    std::size_t o = 0;
    const char* p = text;
    while (*p != '\0' && o < cap) {
        if (p[0] == '!') {
            if (p[1] >= '1' && p[1] <= '5') {
                for (const char* s = slot[p[1] - '1']; *s != '\0' && o < cap; ++s)
                    out[o++] = *s;
                p += 2;
            } else if (p[1] == '\0') {
                ++p;
            } else {
                out[o++] = p[1];
                p += 2;
            }
        } else if (p[0] == '~' && p[1] == '!') {
            out[o++] = '!';
            p += 2;
        } else {
            out[o++] = *p++;
        }
    }
    out[o] = '\0';

    if ((o > 0 && out[o - 1] == '#') ||
        static_cast<long>(o) >= static_cast<long>(size) - kSuffixRoom) {
        if (o > 0) out[--o] = '\0';
    } else {
        const std::size_t room = static_cast<std::size_t>(size) - o;
        // In long long: a hostile set/number pair must not overflow the sum.
        int n = std::snprintf(out + o, room, " [%lld.%d]",
                              static_cast<long long>(product) * 1000 + set, msg);
        if (n > 0) o += static_cast<std::size_t>(n) < room ? static_cast<std::size_t>(n) : room - 1;
    }
    return static_cast<int>(o);
}

MsgState& msg_state() {
    if (!g_created) {
        if (std::getenv("LANG") == nullptr) setenv("LANG", "C", 0);
        g_state = MsgState{};
        g_created = true;
        char buf[kFormatBufSize];
        ArgArea area;
        get_msg(g_state, kDateFormatSet, kDateFormatNumber, buf, sizeof buf, area.slot);
        unsigned code = 0;
        for (const char* d = buf; *d >= '0' && *d <= '9'; ++d)
            code = code * 10u + (*d - '0');
        g_state.date_format = static_cast<std::int16_t>(code & 0xFFFFu);
    }
    return g_state;
}

// ---------------------------------------------------------------------------
// Writing

void msg_fatal_exit(const char* text) {
    notify_agent(-1, text);
    if (g_exit_hook != nullptr) {
        std::fflush(stdout);
        std::fflush(stderr);
        g_exit_hook(1);
        return;
    }
    std::fflush(stdout);
    std::fclose(stdout);
    std::fclose(stderr);
    std::exit(1);
}

bool is_line_break(const char* text, std::size_t n, std::size_t q) {
    return text[q] == '\\' && q + 1 < n && (text[q + 1] == 'N' || text[q + 1] == 'n');
}

void write_line(std::FILE* out, const char* prefix, std::size_t prefix_len, const char* s,
                std::size_t n) {
    std::fwrite(prefix, 1, prefix_len, out);
    std::fwrite(s, 1, n, out);
    std::fputc('\n', out);
}

}  // namespace

int issue_text(int flags, char* text, int length) {
    MsgState& st = msg_state();
    std::FILE* out = (flags & MSG_STDERR) ? stderr : stdout;
    std::fflush(stdout);
    if (out == stderr) std::fflush(stderr);

    std::size_t n = 0;
    if (text != nullptr && length >= 0) {
        n = length == 0 ? std::strlen(text) : strnlen(text, static_cast<std::size_t>(length));
    }

    const int width = st.line_width;
    char prefix[32];
    std::size_t plen = 0;
    if (flags & MSG_TIME) {
        std::time_t now = std::time(nullptr);
        const std::tm* tmv = std::localtime(&now);
        if (tmv != nullptr) plen = std::strftime(prefix, sizeof prefix, "%H:%M/", tmv);
    }
    const int frame_len = width - 3 - static_cast<int>(plen);
    if (flags & MSG_BELL) prefix[plen++] = '\a';
    const bool framed = (flags & MSG_FRAME) != 0;
    const char frame_char = (flags & MSG_STARS) ? '*' : '+';
    if (framed) {
        prefix[plen++] = frame_char;
        prefix[plen++] = ' ';
    }
    std::string frame;
    if (framed && frame_len > 0) frame.assign(static_cast<std::size_t>(frame_len), frame_char);

    if (framed) write_line(out, prefix, plen, frame.data(), frame.size());

    const std::size_t avail = static_cast<std::size_t>(width) - plen - 3;
    const char* t = text;
    std::size_t p = 0;
    while (p < n) {
        const std::size_t limit = p + avail;
        std::size_t q = p + 1;
        std::size_t candidate = 0;  // 0: none (a cut never lies at p)
        bool at_limit = false;
        for (; q < n; ++q) {
            if (t[q] == '\n' || is_line_break(t, n, q)) break;
            if (q >= limit) {
                at_limit = true;
                break;
            }
            if (t[q] == ' ' || t[q] == '\t') {
                candidate = q;
            } else if (t[q] == ',') {
                candidate = q + 1;
            }
        }
        std::size_t cut = q;
        if (at_limit && candidate != 0) cut = candidate;
        write_line(out, prefix, plen, t + p, cut - p);

        std::size_t next = cut;
        if (cut < limit && cut < n && (t[cut - 1] != ',' || t[cut] == ' ')) {
            next += is_line_break(t, n, cut) ? 2 : 1;
        }
        p = next;
    }

    if (framed) write_line(out, prefix, plen, frame.data(), frame.size());
    std::fflush(out);

    if (flags & (MSG_FATAL | MSG_FATAL2)) msg_fatal_exit(text);
    return flags;
}

void issue_msg(int flags, int set_value, int number, MsgArgs args) {
    MsgState& st = msg_state();
    ArgArea area;
    convert_args(area, args, st.date_format);
    char text[kMsgTextSize];
    get_msg(st, set_value, number, text, sizeof text, area.slot);
    issue_text(flags, text, 0);
}

char* format_msg(char* buf, std::int16_t* length, int set_value, int number, MsgArgs args) {
    MsgState& st = msg_state();
    if (buf == nullptr) {
        if (length != nullptr) *length = 0;
        return buf;
    }
    ArgArea area;
    convert_args(area, args, st.date_format);
    const int n = get_msg(st, set_value, number, buf, kFormatBufSize, area.slot);
    if (length != nullptr) *length = static_cast<std::int16_t>(n);
    return buf;
}

int get_date_format() {
    return msg_state().date_format;
}

void msg_state_reset() {
    if (g_created) {
        for (plat::catalog_t& cat : g_state.catalog) {
            if (cat != nullptr && cat != plat::catalog_failed()) plat::catalog_close(cat);
            cat = nullptr;
        }
    }
    g_state = MsgState{};
    g_created = false;
}

void msg_set_exit_hook(MsgExitHook hook) {
    g_exit_hook = hook;
}
