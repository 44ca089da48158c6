// Date texts and date values: parse_date in every order, format_date into
// buffers of every size, the conversions between time values, packed and
// ordinal dates, day numbers and short dates, and the text-field helpers
// that sit beside them.
//
// Input: a few bytes of modes and integers, then the date text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_util.h"

namespace {

// format_date's contract: the count is the text's length, the text fits the
// buffer, and nothing is written past it.
void check_format(time_value t, int code, int size) {
    std::vector<char> buf(static_cast<std::size_t>(size > 0 ? size : 1), '\x7f');
    const int n = format_date(t, size > 0 ? buf.data() : buf.data(), size, code);
    if (size <= 0) return;
    if (n < 0 || n >= size || std::strlen(buf.data()) != static_cast<std::size_t>(n)) {
        std::fprintf(stderr, "format_date(%d, size %d, code %d) gave %d for \"%.*s\"\n", t, size,
                     code, n, size, buf.data());
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
    tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const int code = in.ConsumeIntegralInRange<int>(-1, 4);
    const int strip = in.ConsumeIntegralInRange<int>(-1, 1);
    const int buf_size = in.ConsumeIntegralInRange<int>(0, 40);
    const std::int32_t a = in.ConsumeIntegral<std::int32_t>();
    const std::int32_t b = in.ConsumeIntegral<std::int32_t>();
    const int hhmm = in.ConsumeIntegralInRange<int>(-100, 2500);
    const std::string text = in.ConsumeRemainingBytesAsString();

    date_state_reset();
    set_date_strip(strip);

    // The text as a date, and the date written back in every order.
    time_value t = 0;
    const int valid = parse_date(text.c_str(), &t, code);
    for (int c = 0; c < 4; ++c)
        check_format(t, c, buf_size);
    if (valid == 1) {
        char buf[64];
        if (format_date(t, buf, sizeof buf, code) > 0) {
            time_value again = 0;
            parse_date(buf, &again, code);
        }
    }
    // The text as a format string.
    analyse_date_format(text.c_str());

    // The integers through every conversion, as values of each form.
    valid_ymd(a);
    valid_date(a);
    expand_year(static_cast<std::int16_t>(a));
    std::tm tm{};
    ymd_to_time(a, hhmm);
    ymd_to_tm(a, hhmm, &tm);
    time_to_ymd(a);
    time_to_ymd8(a);
    time_at_hhmm(a, hhmm, &tm);
    time_to_daynum(a);
    daynum_to_yddd(a);
    yddd_to_daynum(a);
    daynum_to_time(a);
    yddd_to_ymd(a);
    short_date_to_time(static_cast<std::uint16_t>(b));
    midnight_of(a);
    midnight_of(b);
    check_format(a, code, buf_size);
    check_format(ymd_to_time(b, hhmm), code, 64);
    check_format(daynum_to_time(b), code, 64);

    // The text through the text-field helpers.
    const int width = static_cast<int>(static_cast<unsigned>(b) % 48);
    std::vector<char> field(static_cast<std::size_t>(width) + 1, '\0');
    pad_field(text.c_str(), field.data(), width);
    field_to_str(field.data(), width);
    match_pattern(field.data(), text.c_str(), width, -1, a & 1);
    match_pattern(field.data(), text.data(), width, static_cast<int>(text.size()), 0);
    match_pattern_exact(field.data(), text.c_str(), width, -1);
    escape_text(text.c_str(), 0, width);
    escape_text(text.data(), static_cast<int>(text.size()), hhmm & 0x1ff);
    char base[8];
    base_name(text.c_str(), base, static_cast<int>(sizeof base));
    std::string copy = text;
    copy.push_back('\0');
    trim_right(copy.data());
    upper_in_place(copy.data());
    lower_in_place(copy.data());
    bounded_len(copy.c_str(), width);
    return 0;
}
