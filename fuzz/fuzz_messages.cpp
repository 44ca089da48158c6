// Numbered messages with hostile arguments: any set and number (catalog
// texts of the build's catalogs, or the fallback text when there is none),
// up to seven typed arguments of any type code (fields of any width, strings
// of any length, pointers to integers, dates, errno values), and the writer's
// wrapping and framing of any text.
//
// Input: the first byte chooses the installation (bit 0: with catalogs) and
// the writer's flags; then set, number and the arguments; the rest is a text
// for the writer.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_util.h"

namespace {

fuzz::ScratchHome* g_with = nullptr;    // catalogs linked
fuzz::ScratchDir* g_without = nullptr;  // no catalogs
int g_current = -1;

void ignore_exit(int) {}

void use_home(int with_catalogs) {
    if (g_current == with_catalogs) return;
    set_home_dir(with_catalogs != 0 ? g_with->dir().path() : g_without->path());
    msg_state_reset();
    msg_set_exit_hook(&ignore_exit);
    g_current = with_catalogs;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
    tzset();
    static fuzz::ScratchHome with("messages");
    static fuzz::ScratchDir without("messages-bare");
    g_with = &with;
    g_without = &without;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const unsigned mode = data[0];
    use_home(mode & 1);
    FuzzedDataProvider in(data + 1, size - 1);

    // Sets: the real ones of both catalogs, and anything else.
    static const int kSets[] = {0, 1050, 1110,  1112,  1113, 2076, 2207, 2209,
                                1, 999,  12999, 13000, -1,   2000, 1000};
    const int set =
        in.ConsumeBool()
            ? kSets[in.ConsumeIntegralInRange<std::size_t>(0, sizeof kSets / sizeof kSets[0] - 1)]
            : in.ConsumeIntegral<std::int32_t>();
    const int number = in.ConsumeBool() ? in.ConsumeIntegralInRange<int>(0, 120)
                                        : in.ConsumeIntegral<std::int32_t>();

    // Every argument's storage lives until the call: fields are exactly
    // their width, without a terminator, so that a read past them shows.
    const int nargs = in.ConsumeIntegralInRange<int>(0, 7);
    std::vector<std::vector<char>> storage;
    storage.reserve(static_cast<std::size_t>(nargs));
    std::vector<std::int32_t> ints(static_cast<std::size_t>(nargs));
    std::vector<MsgArg> args;
    for (int i = 0; i < nargs; ++i) {
        MsgArg a;
        a.type = in.ConsumeIntegralInRange<int>(-300, 16);
        if (in.ConsumeBool()) a.type = -in.ConsumeIntegralInRange<int>(1, 3000);
        a.value = in.ConsumeIntegral<std::int32_t>();
        if (a.type < 0) {
            const std::size_t width = static_cast<std::size_t>(-a.type);
            std::string bytes = in.ConsumeBytesAsString(width);
            bytes.resize(width, ' ');
            storage.emplace_back(bytes.begin(), bytes.end());
            a.ptr = storage.back().data();
        } else if (a.type == MA_STR) {
            std::string s = in.ConsumeRandomLengthString(3000);
            storage.emplace_back(s.begin(), s.end());
            storage.back().push_back('\0');
            a.ptr = in.ConsumeBool() ? storage.back().data() : nullptr;
        } else if (a.type == MA_PINT || a.type == MA_PINT11) {
            ints[static_cast<std::size_t>(i)] = a.value;
            a.ptr = in.ConsumeBool() ? &ints[static_cast<std::size_t>(i)] : nullptr;
        } else if (a.type == MA_ERRNO || a.type == MA_ERRNO5) {
            a.value = in.ConsumeIntegralInRange<int>(-5, 200);
        }
        args.push_back(a);
    }
    // The typed list as the callers pass it: a braced list of any length.
    auto with_args = [&](auto&& call) {
        switch (args.size()) {
            case 0:
                return call(MsgArgs{});
            case 1:
                return call(MsgArgs{args[0]});
            case 2:
                return call(MsgArgs{args[0], args[1]});
            case 3:
                return call(MsgArgs{args[0], args[1], args[2]});
            case 4:
                return call(MsgArgs{args[0], args[1], args[2], args[3]});
            case 5:
                return call(MsgArgs{args[0], args[1], args[2], args[3], args[4]});
            case 6:
                return call(MsgArgs{args[0], args[1], args[2], args[3], args[4], args[5]});
            default:
                return call(MsgArgs{args[0], args[1], args[2], args[3], args[4], args[5], args[6]});
        }
    };

    char buf[kFormatBufSize];
    std::memset(buf, 0x7f, sizeof buf);
    std::int16_t length = -1;
    with_args([&](MsgArgs list) { format_msg(buf, &length, set, number, list); });
    if (length < 0 || length >= kFormatBufSize ||
        std::strlen(buf) != static_cast<std::size_t>(length)) {
        std::fprintf(stderr, "format_msg(%d, %d) length %d\n", set, number, length);
        std::abort();
    }
    const int flags = static_cast<int>(mode >> 1) &
                      (MSG_STDERR | MSG_FATAL | MSG_TIME | MSG_BELL | MSG_FRAME | MSG_STARS);
    with_args([&](MsgArgs list) { issue_msg(flags, set, number, list); });

    std::string text = in.ConsumeRemainingBytesAsString();
    std::vector<char> writable(text.begin(), text.end());
    writable.push_back('\0');
    issue_text(flags, writable.data(), 0);
    issue_text(flags, writable.data(), static_cast<int>(text.size()));
    get_date_format();
    return 0;
}
